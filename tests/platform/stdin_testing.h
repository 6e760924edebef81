// Standard input replaced for a test, on Windows as on Linux: the null device or a pipe opened, written
// and closed through one set of names, and put in place of standard input for the life of an object
// (the keyboard closed before it is put back).
#pragma once

#include <cstring>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

#include "platform/platform.h"

namespace kbt {

#ifdef _WIN32
using Handle = HANDLE;
inline Handle openNullDevice() {
    return CreateFileA("NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                       nullptr);
}
inline bool openPipe(Handle *read, Handle *write) {
    return CreatePipe(read, write, nullptr, 0) != 0;
}
inline bool writeText(Handle h, const char *text) {
    DWORD n = 0;
    return WriteFile(h, text, static_cast<DWORD>(strlen(text)), &n, nullptr) && n == strlen(text);
}
inline void closeHandle(Handle h) {
    CloseHandle(h);
}
// Puts a handle in place of standard input for the life of the object.
class StdinReplaced {
public:
    explicit StdinReplaced(Handle h) : saved_(GetStdHandle(STD_INPUT_HANDLE)) {
        SetStdHandle(STD_INPUT_HANDLE, h);
    }
    ~StdinReplaced() {
        evKeyboardClose();
        SetStdHandle(STD_INPUT_HANDLE, saved_);
    }

private:
    Handle saved_;
};
#else
using Handle = int;
inline Handle openNullDevice() {
    return open("/dev/null", O_RDONLY);
}
inline bool openPipe(Handle *read, Handle *write) {
    int fds[2];
    if (pipe(fds) != 0) return false;
    *read = fds[0];
    *write = fds[1];
    return true;
}
inline bool writeText(Handle h, const char *text) {
    return write(h, text, strlen(text)) == static_cast<ssize_t>(strlen(text));
}
inline void closeHandle(Handle h) {
    close(h);
}
class StdinReplaced {
public:
    explicit StdinReplaced(Handle h) : saved_(dup(STDIN_FILENO)) { dup2(h, STDIN_FILENO); }
    ~StdinReplaced() {
        evKeyboardClose();
        dup2(saved_, STDIN_FILENO);
        close(saved_);
    }

private:
    int saved_;
};
#endif

}  // namespace kbt
