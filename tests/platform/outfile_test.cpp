// The console's copy file: truncated or appended to, and never inherited by a started program.
#include <gtest/gtest.h>

#include <cerrno>
#include <string>

#include "platform/platform.h"
#include "testing/testing.h"

namespace {

TEST(OutFileOpen, TruncatesOrAppendsAndIsCloseOnExec) {
    zt::TempDir dir;
    const std::string path = dir.file("copy.txt");
    const struct {
        int append;
        const char *expected;
    } cases[] = {{0, "new\n"}, {1, "new\nnew\n"}, {0, "new\n"}};
    for (const auto &c : cases) {
        CSOutFile *file = nullptr;
        ASSERT_EQ(CSOutFileOpen(path.c_str(), c.append, &file), 0);
        EXPECT_FALSE(zt::inheritable(file));
        EXPECT_EQ(CSOutFileWrite(file, "new\n", 4), 0);
        EXPECT_EQ(CSOutFileClose(file), 0);
        EXPECT_EQ(dir.readText("copy.txt"), c.expected) << c.append;
    }
    CSOutFile *file = reinterpret_cast<CSOutFile *>(1);
    EXPECT_EQ(CSOutFileOpen(dir.file("no/such").c_str(), 0, &file), ENOENT);
    EXPECT_EQ(file, nullptr);
}

}  // namespace
