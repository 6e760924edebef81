// Output files of the record emitters: stdio streams made with the exclusive create, so that an
// existing file is never truncated or appended to, and write, flush and close with errno results.
#include <atomic>
#include <cerrno>
#include <cstdio>

#include "platform/platform.h"

namespace {

int realCreate(const char *path, CSOutFile **file) {
    errno = 0;
    std::FILE *f = std::fopen(path, "wbx");  // O_CREAT | O_EXCL: EEXIST when the name is taken
    if (f == nullptr) return errno != 0 ? errno : EIO;
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
int CSOutFileWrite(CSOutFile *file, const void *data, size_t length) {
    return outFileOps.load()->write(file, data, length);
}
int CSOutFileFlush(CSOutFile *file) {
    return outFileOps.load()->flush(file);
}
int CSOutFileClose(CSOutFile *file) {
    return outFileOps.load()->close(file);
}
