// Windows side of the random-access files for the channel-table record files: CreateFileA with
// write-through, and reads and writes at an offset, so that each header a caller writes is on the
// device before the next one. Results are errno values, as on Linux.
#include <windows.h>

#include <cerrno>

#include "platform/platform.h"

namespace {

// The errno value of a Windows error.
int errnoOf(DWORD code) {
    switch (code) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_INVALID_DRIVE:
            return ENOENT;
        case ERROR_FILE_EXISTS:
        case ERROR_ALREADY_EXISTS:
            return EEXIST;
        case ERROR_ACCESS_DENIED:
        case ERROR_SHARING_VIOLATION:
        case ERROR_LOCK_VIOLATION:
            return EACCES;
        case ERROR_DISK_FULL:
        case ERROR_HANDLE_DISK_FULL:
            return ENOSPC;
        case ERROR_FILENAME_EXCED_RANGE:
            return ENAMETOOLONG;
        case ERROR_INVALID_HANDLE:
            return EBADF;
        case ERROR_NOT_ENOUGH_MEMORY:
        case ERROR_OUTOFMEMORY:
            return ENOMEM;
        default:
            return EIO;
    }
}

int lastError() {
    return errnoOf(GetLastError());
}

HANDLE handleOf(CSFileHandle file) {
    return reinterpret_cast<HANDLE>(static_cast<intptr_t>(file));
}

CSFileHandle fileOf(HANDLE handle) {
    return static_cast<CSFileHandle>(reinterpret_cast<intptr_t>(handle));
}

// Other processes may read, write and delete the file while it is open, as on Linux.
constexpr DWORD kShare = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

int realOpenUpdate(const char *path, CSFileHandle *file, int *created) {
    *created = 0;
    // CREATE_NEW first tells the caller whether it made the file; a file removed between the two
    // opens is tried again.
    for (int attempt = 0; attempt < 8; attempt++) {
        HANDLE h =
            CreateFileA(path, GENERIC_READ | GENERIC_WRITE, kShare, nullptr, CREATE_NEW,
                        FILE_ATTRIBUTE_NORMAL | FILE_FLAG_WRITE_THROUGH | FILE_FLAG_RANDOM_ACCESS, nullptr);
        if (h != INVALID_HANDLE_VALUE) {
            *created = 1;
            *file = fileOf(h);
            return 0;
        }
        int rc = lastError();
        if (rc != EEXIST) return rc;
        h = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, kShare, nullptr, OPEN_EXISTING,
                        FILE_ATTRIBUTE_NORMAL | FILE_FLAG_WRITE_THROUGH | FILE_FLAG_RANDOM_ACCESS, nullptr);
        if (h != INVALID_HANDLE_VALUE) {
            *file = fileOf(h);
            return 0;
        }
        rc = lastError();
        if (rc != ENOENT) return rc;
    }
    return ENOENT;
}

int realOpenRead(const char *path, CSFileHandle *file) {
    HANDLE h = CreateFileA(path, GENERIC_READ, kShare, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL | FILE_FLAG_RANDOM_ACCESS, nullptr);
    if (h == INVALID_HANDLE_VALUE) return lastError();
    *file = fileOf(h);
    return 0;
}

OVERLAPPED at(uint64_t offset) {
    OVERLAPPED position{};
    position.Offset = static_cast<DWORD>(offset);
    position.OffsetHigh = static_cast<DWORD>(offset >> 32);
    return position;
}

DWORD pieceOf(size_t length) {
    return length > 0x40000000 ? 0x40000000 : static_cast<DWORD>(length);
}

int realReadAt(CSFileHandle file, uint64_t offset, void *buffer, size_t length, size_t *got) {
    auto *bytes = static_cast<unsigned char *>(buffer);
    size_t done = 0;
    while (done < length) {
        OVERLAPPED position = at(offset + done);
        DWORD n = 0;
        if (!ReadFile(handleOf(file), bytes + done, pieceOf(length - done), &n, &position)) {
            if (GetLastError() == ERROR_HANDLE_EOF) break;
            *got = done;
            return lastError();
        }
        if (n == 0) break;  // the end of the file
        done += n;
    }
    *got = done;
    return 0;
}

int realWriteAt(CSFileHandle file, uint64_t offset, const void *buffer, size_t length) {
    const auto *bytes = static_cast<const unsigned char *>(buffer);
    size_t done = 0;
    while (done < length) {
        OVERLAPPED position = at(offset + done);
        DWORD n = 0;
        if (!WriteFile(handleOf(file), bytes + done, pieceOf(length - done), &n, &position))
            return lastError();
        if (n == 0) return EIO;  // no progress and no error: never spin
        done += n;
    }
    return 0;
}

int realSize(CSFileHandle file, uint64_t *size) {
    LARGE_INTEGER bytes;
    if (!GetFileSizeEx(handleOf(file), &bytes)) return lastError();
    *size = static_cast<uint64_t>(bytes.QuadPart);
    return 0;
}

int realClose(CSFileHandle file) {
    return CloseHandle(handleOf(file)) ? 0 : lastError();
}

int realRemove(const char *path) {
    return DeleteFileA(path) ? 0 : lastError();
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
