// Keys and lines of a standard input that is no terminal (the null device, a pipe), on Windows as
// on Linux: its bytes are the keys, none waiting gives 0 at once, its end gives -1.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

#include "platform/platform.h"

namespace {

#ifdef _WIN32
using Handle = HANDLE;
Handle openNullDevice() {
    return CreateFileA("NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                       nullptr);
}
bool openPipe(Handle *read, Handle *write) {
    return CreatePipe(read, write, nullptr, 0) != 0;
}
bool writeText(Handle h, const char *text) {
    DWORD n = 0;
    return WriteFile(h, text, static_cast<DWORD>(strlen(text)), &n, nullptr) && n == strlen(text);
}
void closeHandle(Handle h) {
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
Handle openNullDevice() {
    return open("/dev/null", O_RDONLY);
}
bool openPipe(Handle *read, Handle *write) {
    int fds[2];
    if (pipe(fds) != 0) return false;
    *read = fds[0];
    *write = fds[1];
    return true;
}
bool writeText(Handle h, const char *text) {
    return write(h, text, strlen(text)) == static_cast<ssize_t>(strlen(text));
}
void closeHandle(Handle h) {
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

// The next line of standard input; "<end>" at its end.
std::string nextLine() {
    char *line = nullptr;
    size_t length = 0;
    if (!evReadInputLine(&line, &length)) return "<end>";
    std::string text(line, length);
    CSFreeMem(line);
    return text;
}

TEST(KeyboardInput, TheNullDeviceEndsAtOnceForKeysAndLines) {
    Handle device = openNullDevice();
    {
        StdinReplaced input(device);
        EXPECT_EQ(evKeyboardOpen(), 0);
        EXPECT_EQ(evKeyRead(0), -1);
        EXPECT_EQ(evKeyRead(1), -1);
        EXPECT_EQ(nextLine(), "<end>");
    }
    closeHandle(device);
}

TEST(KeyboardInput, APipeGivesKeysAndLinesUntilItsWriterCloses) {
    Handle reader, writer;
    ASSERT_TRUE(openPipe(&reader, &writer));
    {
        StdinReplaced input(reader);
        EXPECT_EQ(evKeyboardOpen(), 0);
        EXPECT_EQ(evKeyRead(0), 0);  // none waiting: no wait for one
        ASSERT_TRUE(writeText(writer, "Qy\r\nlast"));
        EXPECT_EQ(evKeyRead(0), 'Q');
        EXPECT_EQ(nextLine(), "y");
        EXPECT_EQ(evKeyRead(1), 'l');
        closeHandle(writer);
        EXPECT_EQ(nextLine(), "ast");
        EXPECT_EQ(evKeyRead(0), -1);
        EXPECT_EQ(evKeyRead(1), -1);
        EXPECT_EQ(nextLine(), "<end>");
    }
    closeHandle(reader);
}

}  // namespace
