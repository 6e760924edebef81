// Keys and lines of a standard input that is no terminal (the null device, a pipe), on Windows as
// on Linux: its bytes are the keys, none waiting gives 0 at once, its end gives -1.
#include <gtest/gtest.h>

#include <string>

#include "stdin_testing.h"

namespace {

using namespace kbt;

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
