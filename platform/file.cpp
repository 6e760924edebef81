// Random-access files for the channel-table record files: pread and pwrite on a descriptor opened
// with write-through, so that each header a caller writes is on the device before the next one.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/platform.h"

namespace {

constexpr int kOpenFlags = O_CLOEXEC | O_DSYNC;

void adviseRandom(int fd) {
    (void)posix_fadvise(fd, 0, 0, POSIX_FADV_RANDOM);  // a hint only: its failure changes nothing
}

int realOpenUpdate(const char *path, CSFileHandle *file, int *created) {
    *created = 0;
    // O_EXCL first tells the caller whether it made the file; a file removed between the two
    // opens is tried again.
    for (int attempt = 0; attempt < 8; attempt++) {
        int fd = ::open(path, O_RDWR | O_CREAT | O_EXCL | kOpenFlags, 0666);
        if (fd >= 0) {
            *created = 1;
            adviseRandom(fd);
            *file = fd;
            return 0;
        }
        if (errno != EEXIST) return errno;
        fd = ::open(path, O_RDWR | kOpenFlags);
        if (fd >= 0) {
            adviseRandom(fd);
            *file = fd;
            return 0;
        }
        if (errno != ENOENT) return errno;
    }
    return ENOENT;
}

int realOpenRead(const char *path, CSFileHandle *file) {
    int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return errno;
    adviseRandom(fd);
    *file = fd;
    return 0;
}

int realReadAt(CSFileHandle file, uint64_t offset, void *buffer, size_t length, size_t *got) {
    auto *bytes = static_cast<unsigned char *>(buffer);
    size_t done = 0;
    while (done < length) {
        ssize_t n =
            ::pread(static_cast<int>(file), bytes + done, length - done, static_cast<off_t>(offset + done));
        if (n < 0) {
            if (errno == EINTR) continue;
            *got = done;
            return errno;
        }
        if (n == 0) break;  // the end of the file
        done += static_cast<size_t>(n);
    }
    *got = done;
    return 0;
}

int realWriteAt(CSFileHandle file, uint64_t offset, const void *buffer, size_t length) {
    const auto *bytes = static_cast<const unsigned char *>(buffer);
    size_t done = 0;
    while (done < length) {
        ssize_t n =
            ::pwrite(static_cast<int>(file), bytes + done, length - done, static_cast<off_t>(offset + done));
        if (n < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        if (n == 0) return EIO;  // no progress and no error: never spin
        done += static_cast<size_t>(n);
    }
    return 0;
}

int realSize(CSFileHandle file, uint64_t *size) {
    struct stat info {};
    if (::fstat(static_cast<int>(file), &info) != 0) return errno;
    *size = static_cast<uint64_t>(info.st_size);
    return 0;
}

int realClose(CSFileHandle file) {
    // Not retried on EINTR: Linux has released the descriptor either way.
    return ::close(static_cast<int>(file)) == 0 ? 0 : errno;
}

int realRemove(const char *path) {
    return ::unlink(path) == 0 ? 0 : errno;
}

std::atomic<const CSFileOps *> fileOps{&CSRealFileOps};

}  // namespace

const CSFileOps CSRealFileOps = {realOpenUpdate, realOpenRead, realReadAt, realWriteAt,
                                 realSize,       realClose,    realRemove};

const CSFileOps *CSSetFileOps(const CSFileOps *ops) {
    return fileOps.exchange(ops ? ops : &CSRealFileOps);
}

const CSFileOps *CSGetFileOps() {
    return fileOps.load();
}
