// Windows side of script files opened as C streams, their identity, and how much stack the calling
// thread has left.
#include <windows.h>

#include <io.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

#include "platform/platform.h"

std::FILE *CSOpenStream(const char *path, const char *mode) {
    // The C run-time's 'N' opens without inheritance: no program started later holds the file.
    char noInherit[16];
    size_t n = std::strlen(mode);
    if (n + 2 > sizeof noInherit) {
        errno = EINVAL;
        return nullptr;
    }
    std::memcpy(noInherit, mode, n);
    noInherit[n] = 'N';
    noInherit[n + 1] = '\0';
    return std::fopen(path, noInherit);
}

int CSStreamIdentity(std::FILE *stream, uint64_t *device, uint64_t *inode) {
    *device = 0;
    *inode = 0;
    if (stream == nullptr) return 0;
    auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
    BY_HANDLE_FILE_INFORMATION info{};
    if (handle == INVALID_HANDLE_VALUE || !GetFileInformationByHandle(handle, &info)) return 0;
    // The volume's serial number and the file's index within it name one file, as device and inode do.
    *device = info.dwVolumeSerialNumber;
    *inode = (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    return 1;
}

size_t CSStackLeft() {
    ULONG_PTR low = 0;
    ULONG_PTR high = 0;
    GetCurrentThreadStackLimits(&low, &high);
    if (low == 0) return SIZE_MAX;
    char here = 0;
    auto at = reinterpret_cast<uintptr_t>(&here);
    return at > low ? at - low : 0;
}
