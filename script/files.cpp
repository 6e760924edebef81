// The files a script opens with FOPEN: one process-wide list (hooks on engine threads and the
// console share it), each file with its own read line and its own unfinished print line, so that an
// FGETS on a file opened for update never picks up text an fprint has not finished.
#include <atomic>
#include <cerrno>
#include <cstring>

#include "script/internal.h"

namespace {

struct OpenFile {
    OpenFile *next;
    int32_t id;
    std::FILE *stream;
    char *line;       // FGETS's line, made on first read
    cmdText print;    // text after the last line end of fprint
    int32_t reading;  // the last operation was a read: a write must reposition first
    char *path;
};

// Guards the list and the files; nothing is called out of it while held.
CSRecursiveLock filesLock{"scriptfiles"};
OpenFile *files = nullptr;  // newest first
int32_t openCount = 0;
int32_t nextId = 100;
std::atomic<int> savedErrno{0};  // a WHERE filter's function may run on a reply thread

OpenFile *find(int32_t id) {
    for (OpenFile *f = files; f != nullptr; f = f->next) {
        if (f->id == id) return f;
    }
    return nullptr;
}

// The C library needs a positioning call between a read and a write on an update stream.
void beforeWrite(OpenFile *f) {
    if (f->reading) std::fseek(f->stream, 0, SEEK_CUR);
    f->reading = 0;
}

bool writeAll(OpenFile *f, const char *bytes, size_t length) {
    if (length == 0) return true;
    beforeWrite(f);
    if (std::fwrite(bytes, 1, length, f->stream) == length) return true;
    cmdSaveErrno(errno);
    return false;
}

// Writes what is left of the print line, closes the stream and frees the record (unlinked).
int closeFile(OpenFile *f) {
    int ok = writeAll(f, f->print.data, f->print.length) ? 1 : 0;
    if (std::fclose(f->stream) != 0) {
        cmdSaveErrno(errno);
        ok = 0;
    }
    cmdTextFree(&f->print);
    if (f->line != nullptr) CSFreeMem(f->line);
    CSFreeMem(f->path);
    CSFreeMem(f);
    --openCount;
    return ok;
}

// r, w or a, then at most one each of '+', 'b' and 't'. The 't' of Windows scripts asks for text
// mode, which is what the stream gives anyway: it is dropped from the mode passed on.
bool validMode(const char *mode, char *out) {
    if (mode[0] != 'r' && mode[0] != 'w' && mode[0] != 'a') return false;
    size_t n = 0;
    out[n++] = mode[0];
    bool plus = false, binary = false, text = false;
    for (const char *p = mode + 1; *p != '\0'; ++p) {
        bool *seen = *p == '+' ? &plus : *p == 'b' ? &binary : *p == 't' ? &text : nullptr;
        if (seen == nullptr || *seen) return false;
        *seen = true;
        if (*p != 't') out[n++] = *p;
    }
    out[n] = '\0';
    return true;
}

}  // namespace

void cmdSaveErrno(int error) {
    savedErrno = error;
}

int cmdSavedErrno() {
    return savedErrno;
}

int32_t cmdFileOpen(const char *path, const char *mode) {
    char cMode[8];
    if (!validMode(mode, cMode)) {
        cmdSaveErrno(EINVAL);
        return -1;
    }
    CSRecursiveGuard guard(filesLock);
    if (openCount >= CMD_MAX_OPEN_FILES) {
        cmdSaveErrno(EMFILE);
        return -1;
    }
    auto *f = static_cast<OpenFile *>(CSGetMem(sizeof(OpenFile)));
    size_t pathLength = std::strlen(path);
    char *pathCopy = static_cast<char *>(CSGetMem(pathLength + 1));
    if (f == nullptr || pathCopy == nullptr) {
        if (f != nullptr) CSFreeMem(f);
        if (pathCopy != nullptr) CSFreeMem(pathCopy);
        cmdSaveErrno(ENOMEM);
        return -1;
    }
    std::memcpy(pathCopy, path, pathLength + 1);
    std::FILE *stream = CSOpenStream(path, cMode);
    if (stream == nullptr) {
        cmdSaveErrno(errno);
        CSFreeMem(f);
        CSFreeMem(pathCopy);
        return -1;
    }
    *f = OpenFile{files, nextId++, stream, nullptr, {}, 0, pathCopy};
    files = f;
    ++openCount;
    return f->id;
}

int32_t cmdFileGets(int32_t id, char **line, size_t *length) {
    CSRecursiveGuard guard(filesLock);
    OpenFile *f = find(id);
    if (f == nullptr) return CMD_FILE_NOT_OPEN;
    if (f->line == nullptr) {
        f->line = static_cast<char *>(CSGetMem(CMD_FILE_LINE));
        if (f->line == nullptr) {
            cmdSaveErrno(ENOMEM);
            return -2;
        }
    }
    // Unwritten fprint text stays where it is: the read starts at the stream's position.
    if (!f->reading) std::fflush(f->stream);
    f->reading = 1;
    size_t n = 0;
    int c = EOF;
    while (n < CMD_FILE_LINE - 1 && (c = std::getc(f->stream)) != EOF) {
        if (c == '\n') break;
        f->line[n++] = static_cast<char>(c);
    }
    if (c == EOF && std::ferror(f->stream)) {
        cmdSaveErrno(errno);
        std::clearerr(f->stream);
        return -2;
    }
    if (c == EOF && n == 0) return -1;
    f->line[n] = '\0';
    *line = f->line;
    *length = n;
    return static_cast<int32_t>(n);
}

int cmdFileClose(int32_t id) {
    CSRecursiveGuard guard(filesLock);
    for (OpenFile **link = &files; *link != nullptr; link = &(*link)->next) {
        OpenFile *f = *link;
        if (f->id != id) continue;
        *link = f->next;
        closeFile(f);
        return 1;
    }
    return 0;
}

int cmdFileLineState(int32_t id) {
    CSRecursiveGuard guard(filesLock);
    OpenFile *f = find(id);
    if (f == nullptr) return CMD_FILE_NOT_OPEN;
    return f->print.length != 0 && f->print.data[f->print.length - 1] != '\n' ? 1 : 0;
}

int cmdFilePrint(int32_t id, const cmdText *formatted) {
    CSRecursiveGuard guard(filesLock);
    OpenFile *f = find(id);
    if (f == nullptr) return CMD_FILE_NOT_OPEN;
    const size_t kept = f->print.length;
    if (!cmdTextAppend(&f->print, formatted->data != nullptr ? formatted->data : "", formatted->length)) {
        cmdSaveErrno(ENOMEM);
        return 0;
    }
    // Complete lines go out at once; the rest waits for the next fprint or the close. Only the new
    // text can hold a line end.
    const char *last = nullptr;
    for (const char *p = f->print.data + f->print.length; p > f->print.data + kept; --p) {
        if (p[-1] == '\n') {
            last = p - 1;
            break;
        }
    }
    if (last == nullptr) return 1;
    size_t complete = static_cast<size_t>(last - f->print.data) + 1;
    int ok = writeAll(f, f->print.data, complete) ? 1 : 0;
    if (std::fflush(f->stream) != 0) {
        cmdSaveErrno(errno);
        ok = 0;
    }
    std::memmove(f->print.data, f->print.data + complete, f->print.length - complete + 1);
    f->print.length -= complete;
    return ok;
}

void cmdCloseAllFiles() {
    CSRecursiveGuard guard(filesLock);
    while (files != nullptr) {
        OpenFile *f = files;
        files = f->next;
        closeFile(f);
    }
}
