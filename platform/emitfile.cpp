// Output files of the record emitters: stdio streams made with the exclusive create, so that an
// existing file is never truncated or appended to, and write, flush and close with errno results.
#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
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
    return 0;
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
