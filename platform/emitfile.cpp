// Output files of the record emitters: stdio streams made with the exclusive create, so that an
// existing file is never truncated or appended to, and write, flush and close with errno results.
// Every write goes through to the file before it returns, so that a full disk or a size limit is
// seen at the write that meets it; a file is cut back to a length its writer knows whole.
#include <fcntl.h>
#include <sys/stat.h>
#ifdef _WIN32
#include <io.h>
#include <windows.h>
#else
#include <sys/ioctl.h>
#include <unistd.h>
#ifdef __linux__
#include <linux/fs.h>
#endif
#endif

#include <atomic>
#include <cerrno>
#include <cstdio>

#include "platform/platform.h"

namespace {

int realCreate(const char *path, CSOutFile **file) {
    errno = 0;
#ifdef _WIN32
    // Windows' C run-time knows no "x" in a mode and would overwrite: the exclusive create by hand.
    int fd = _open(path, _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY | _O_NOINHERIT, _S_IREAD | _S_IWRITE);
    if (fd < 0) return errno != 0 ? errno : EIO;
    std::FILE *f = _fdopen(fd, "wb");
    if (f == nullptr) {
        int rc = errno != 0 ? errno : EIO;
        _close(fd);
        return rc;
    }
#else
    std::FILE *f = std::fopen(path, "wbx");  // O_CREAT | O_EXCL: EEXIST when the name is taken
    if (f == nullptr) return errno != 0 ? errno : EIO;
#endif
    *file = f;
    return 0;
}

int realWrite(CSOutFile *file, const void *data, size_t length) {
    const auto *bytes = static_cast<const unsigned char *>(data);
    size_t done = 0;
    while (done < length) {
        errno = 0;
        size_t n = std::fwrite(bytes + done, 1, length - done, file);
        if (n == 0) return errno != 0 ? errno : EIO;  // no progress: never spin
        done += n;
    }
    // The bytes reach the file now: a full disk or a size limit fails this write, not a later one.
    errno = 0;
    return std::fflush(file) == 0 ? 0 : (errno != 0 ? errno : EIO);
}

int realFlush(CSOutFile *file) {
    errno = 0;
    return std::fflush(file) == 0 ? 0 : (errno != 0 ? errno : EIO);
}

int realClose(CSOutFile *file) {
    errno = 0;
    return std::fclose(file) == 0 ? 0 : (errno != 0 ? errno : EIO);
}

std::atomic<const CSOutFileOps *> outFileOps{&CSRealOutFileOps};

}  // namespace

const CSOutFileOps CSRealOutFileOps = {realCreate, realWrite, realFlush, realClose};

const CSOutFileOps *CSSetOutFileOps(const CSOutFileOps *ops) {
    return outFileOps.exchange(ops ? ops : &CSRealOutFileOps);
}

int CSOutFileCreate(const char *path, CSOutFile **file) {
    *file = nullptr;
    return outFileOps.load()->create(path, file);
}
int CSOutFileOpen(const char *path, int append, CSOutFile **file) {
    *file = nullptr;
    errno = 0;
#ifdef _WIN32
    // 'N': not inherited; text mode gives the CR LF line ends of Windows' text files, as the log has.
    std::FILE *f = std::fopen(path, append ? "aN" : "wN");
#else
    std::FILE *f = std::fopen(path, append ? "ae" : "we");  // 'e': O_CLOEXEC
#endif
    if (f == nullptr) return errno != 0 ? errno : EIO;
    *file = f;
    return 0;
}
int CSOutFileWrite(CSOutFile *file, const void *data, size_t length) {
    return outFileOps.load()->write(file, data, length);
}
int CSOutFileFlush(CSOutFile *file) {
    return outFileOps.load()->flush(file);
}
int CSOutFileClose(CSOutFile *file) {
    return outFileOps.load()->close(file);
}

int CSOutFileLinked(CSOutFile *file) {
#ifdef _WIN32
    // Windows does not remove a file (or its folder) that is open.
    (void)file;
    return 0;
#else
    struct stat status {};
    if (fstat(fileno(file), &status) != 0) return errno != 0 ? errno : EIO;
    return status.st_nlink == 0 ? ENOENT : 0;
#endif
}

int CSOutFileSize(CSOutFile *file, uint64_t *size) {
    *size = 0;
    errno = 0;
    if (std::fflush(file) != 0) return errno != 0 ? errno : EIO;
#ifdef _WIN32
    const long long end = _filelengthi64(_fileno(file));
    if (end < 0) return errno != 0 ? errno : EIO;
    *size = static_cast<uint64_t>(end);
#else
    struct stat status {};
    if (fstat(fileno(file), &status) != 0) return errno != 0 ? errno : EIO;
    *size = static_cast<uint64_t>(status.st_size);
#endif
    return 0;
}

int CSOutFileCut(CSOutFile *file, uint64_t length) {
    errno = 0;
    if (std::fflush(file) != 0) return errno != 0 ? errno : EIO;
#ifdef _WIN32
    if (_chsize_s(_fileno(file), static_cast<long long>(length)) != 0) return errno != 0 ? errno : EIO;
    if (_fseeki64(file, static_cast<long long>(length), SEEK_SET) != 0) return errno != 0 ? errno : EIO;
#else
    if (ftruncate(fileno(file), static_cast<off_t>(length)) != 0) return errno != 0 ? errno : EIO;
    if (fseeko(file, static_cast<off_t>(length), SEEK_SET) != 0) return errno != 0 ? errno : EIO;
#endif
    return 0;
}

namespace {

int identityOf(int fd, CSFileIdentity *identity) {
    *identity = CSFileIdentity{};
#ifdef _WIN32
    const auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
    BY_HANDLE_FILE_INFORMATION info{};
    if (handle == INVALID_HANDLE_VALUE || !GetFileInformationByHandle(handle, &info)) return EIO;
    identity->device = info.dwVolumeSerialNumber;
    identity->number = uint64_t{info.nFileIndexHigh} << 32 | info.nFileIndexLow;
    // NTFS's file index is the file's record number with the record's sequence number in its top 16
    // bits, which NTFS raises each time it gives the record to a new file: the number alone tells a
    // later file apart. Elsewhere the creation time does (it is kept on other file systems, but
    // follows a file's writes under some emulations, where NTFS is what is reported).
    wchar_t system[MAX_PATH + 1] = {};
    if (GetVolumeInformationByHandleW(handle, nullptr, 0, nullptr, nullptr, nullptr, system, MAX_PATH + 1) &&
        lstrcmpiW(system, L"NTFS") == 0) {
        identity->birthKind = CS_BIRTH_IN_NUMBER;
        identity->birth = 0;
        return 0;
    }
    identity->birthKind = CS_BIRTH_TIME;
    identity->birth = uint64_t{info.ftCreationTime.dwHighDateTime} << 32 | info.ftCreationTime.dwLowDateTime;
#else
    struct stat status {};
    if (fstat(fd, &status) != 0) return errno != 0 ? errno : EIO;
    identity->device = status.st_dev;
    identity->number = status.st_ino;
#ifdef __linux__
    // The birth time, where the file system keeps one: a file made later under a freed number has a
    // later one. Where it keeps none, the number's generation, which the file system changes each
    // time it gives the number to a new file (what makes network file handles go stale).
    struct statx extended {};
    if (statx(fd, "", AT_EMPTY_PATH | AT_STATX_SYNC_AS_STAT, STATX_BTIME, &extended) == 0 &&
        (extended.stx_mask & STATX_BTIME) != 0) {
        identity->birthKind = CS_BIRTH_TIME;
        identity->birth =
            static_cast<uint64_t>(extended.stx_btime.tv_sec) * 1000000000u + extended.stx_btime.tv_nsec;
        return 0;
    }
    int generation = 0;
    if (ioctl(fd, FS_IOC_GETVERSION, &generation) == 0) {
        identity->birthKind = CS_BIRTH_GENERATION;
        identity->birth = static_cast<uint32_t>(generation);
    }
#endif
#endif
    return 0;
}

}  // namespace

int CSOutFileIdentity(CSOutFile *file, CSFileIdentity *identity) {
    errno = 0;
#ifdef _WIN32
    return identityOf(_fileno(file), identity);
#else
    return identityOf(fileno(file), identity);
#endif
}

namespace {

// Opens an existing file by name for reading, or for writing with write, never through a link: a
// name that is a symbolic link (Windows: any reparse point) gives CS_OTHER_FILE, a name that is not
// a regular file or one of a file with more than one name (a hard link) too. A descriptor, or minus the
// error.
int openOwn(const char *path, bool write) {
    errno = 0;
#ifdef _WIN32
    const HANDLE handle =
        CreateFileA(path, write ? GENERIC_READ | GENERIC_WRITE : GENERIC_READ,
                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? -ENOENT
               : error == ERROR_ACCESS_DENIED                                 ? -EACCES
                                                                              : -EIO;
    }
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(handle, &info) || info.nNumberOfLinks > 1 ||
        (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) != 0) {
        CloseHandle(handle);
        return -CS_OTHER_FILE;
    }
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle),
                                   write ? _O_WRONLY | _O_BINARY : _O_RDONLY | _O_BINARY);
    if (fd < 0) {
        CloseHandle(handle);
        return -EIO;
    }
    return fd;
#else
    // O_NONBLOCK: a FIFO planted under the name does not hold the open.
    const int fd = open(path, (write ? O_WRONLY : O_RDONLY) | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) return errno == ELOOP ? -CS_OTHER_FILE : -(errno != 0 ? errno : EIO);
    // A file of more than one name is another's too: cutting it through this name cuts the other.
    struct stat status {};
    if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode) || status.st_nlink > 1) {
        close(fd);
        return -CS_OTHER_FILE;
    }
    return fd;
#endif
}

void closeFd(int fd) {
#ifdef _WIN32
    _close(fd);
#else
    close(fd);
#endif
}

}  // namespace

int CSOutFileNameState(const char *path, uint64_t *size, CSFileIdentity *identity) {
    *size = 0;
    *identity = CSFileIdentity{};
    const int fd = openOwn(path, false);
    if (fd < 0) return -fd;
    int rc = identityOf(fd, identity);
#ifdef _WIN32
    const long long end = _filelengthi64(fd);
    if (rc == 0 && end < 0) rc = errno != 0 ? errno : EIO;
    if (rc == 0) *size = static_cast<uint64_t>(end);
#else
    struct stat status {};
    if (rc == 0 && fstat(fd, &status) != 0) rc = errno != 0 ? errno : EIO;
    if (rc == 0) *size = static_cast<uint64_t>(status.st_size);
#endif
    closeFd(fd);
    return rc;
}

int CSOutFileCutPath(const char *path, uint64_t length, const void *tail, size_t tailLength,
                     const CSFileIdentity &expected) {
    const int fd = openOwn(path, true);
    if (fd < 0) return -fd;
    // Which file it is, before anything is done to it.
    CSFileIdentity identity{};
    int rc = identityOf(fd, &identity);
    if (rc == 0 && !(identity == expected)) rc = CS_OTHER_FILE;
    if (rc != 0) {
        closeFd(fd);
        return rc;
    }
    errno = 0;
#ifdef _WIN32
    std::FILE *file = _fdopen(fd, "wb");
#else
    std::FILE *file = fdopen(fd, "wb");
#endif
    if (file == nullptr) {
        rc = errno != 0 ? errno : EIO;
        closeFd(fd);
        return rc;
    }
    uint64_t size = 0;
    rc = CSOutFileSize(file, &size);
    // Shorter than its writer knew it: cut already; left as it is.
    if (rc == 0 && size < length) rc = ERANGE;
    if (rc == 0) rc = CSOutFileCut(file, length);
    if (rc == 0 && tailLength > 0) rc = realWrite(file, tail, tailLength);
    errno = 0;
    const int closed = std::fclose(file) == 0 ? 0 : (errno != 0 ? errno : EIO);
    return rc != 0 ? rc : closed;
}

int CSOutFileRemove(const char *path) {
    errno = 0;
    return std::remove(path) == 0 ? 0 : (errno != 0 ? errno : EIO);
}

int CSOutFileExists(const char *path) {
    errno = 0;
#ifdef _WIN32
    struct _stat64 status {};
    if (_stat64(path, &status) == 0) return 0;
#else
    struct stat status {};
    if (stat(path, &status) == 0) return 0;
#endif
    return errno != 0 ? errno : EIO;
}
