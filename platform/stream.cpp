// Script files opened as C streams, their identity, and how much stack the calling thread has left:
// the script reader refuses to nest deeper than the thread it runs on can bear.
#include <pthread.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

#include "platform/platform.h"

std::FILE *CSOpenStream(const char *path, const char *mode) {
    // glibc's "e" opens with O_CLOEXEC: the descriptor is closed in a child before it can leak.
    char withCloexec[16];
    size_t n = std::strlen(mode);
    if (n + 2 > sizeof withCloexec) {
        errno = EINVAL;
        return nullptr;
    }
    std::memcpy(withCloexec, mode, n);
    withCloexec[n] = 'e';
    withCloexec[n + 1] = '\0';
    return std::fopen(path, withCloexec);
}

int CSStreamIdentity(std::FILE *stream, uint64_t *device, uint64_t *inode) {
    *device = 0;
    *inode = 0;
    struct stat info {};
    if (stream == nullptr || fstat(fileno(stream), &info) != 0) return 0;
    *device = info.st_dev;
    *inode = info.st_ino;
    return 1;
}

size_t CSStackLeft() {
    pthread_attr_t attributes;
    if (pthread_getattr_np(pthread_self(), &attributes) != 0) return SIZE_MAX;
    void *low = nullptr;
    size_t size = 0;
    int rc = pthread_attr_getstack(&attributes, &low, &size);
    pthread_attr_destroy(&attributes);
    if (rc != 0 || low == nullptr) return SIZE_MAX;
    char here = 0;
    auto at = reinterpret_cast<uintptr_t>(&here);
    auto bottom = reinterpret_cast<uintptr_t>(low);
    return at > bottom ? at - bottom : 0;
}
