// The console's copy file: truncated or appended to, and never inherited by a started program. The
// emitters' files: a write that meets a full device fails itself, and a file is cut back.
#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#ifndef _WIN32
#include <unistd.h>
#endif

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

#ifndef _WIN32
// A full device fails the write that meets it, not a later flush or close.
TEST(OutFileWrite, AFullDeviceFailsTheWriteItself) {
    CSOutFile *file = nullptr;
    ASSERT_EQ(CSOutFileOpen("/dev/full", 0, &file), 0);
    EXPECT_EQ(CSOutFileWrite(file, "a record\n", 9), ENOSPC);
    (void)CSOutFileClose(file);
}
#endif

TEST(OutFileCut, OpenAndByNameWithAnEnding) {
    zt::TempDir dir;
    const std::string path = dir.file("out.json");
    CSOutFile *file = nullptr;
    ASSERT_EQ(CSOutFileCreate(path.c_str(), &file), 0);
    EXPECT_EQ(CSOutFileWrite(file, "{\"a\":[1,2", 9), 0);
    uint64_t size = 0;
    EXPECT_EQ(CSOutFileSize(file, &size), 0);
    EXPECT_EQ(size, 9u);
    EXPECT_EQ(CSOutFileLinked(file), 0);
    EXPECT_EQ(CSOutFileCut(file, 6), 0);
    EXPECT_EQ(CSOutFileWrite(file, "3", 1), 0);
    EXPECT_EQ(CSOutFileClose(file), 0);
    EXPECT_EQ(dir.read("out.json"), "{\"a\":[3");
    CSFileIdentity identity{};
    ASSERT_EQ(CSOutFileNameState(path.c_str(), &size, &identity), 0);
    EXPECT_EQ(size, 7u);
    CSFileIdentity other = identity;
    other.number ^= 1;
    EXPECT_EQ(CSOutFileCutPath(path.c_str(), 6, "]}", 2, other), CS_OTHER_FILE);
    EXPECT_EQ(dir.read("out.json"), "{\"a\":[3");
    EXPECT_EQ(CSOutFileCutPath(path.c_str(), 6, "]}", 2, identity), 0);
    EXPECT_EQ(dir.read("out.json"), "{\"a\":[]}");
    EXPECT_EQ(CSOutFileCutPath(path.c_str(), 20, "", 0, identity), ERANGE);  // shorter: left as it is
    EXPECT_EQ(dir.read("out.json"), "{\"a\":[]}");
#ifndef _WIN32
    // Never through a link, even one to the very file.
    const std::string link = dir.file("link.json");
    ASSERT_EQ(symlink(path.c_str(), link.c_str()), 0);
    EXPECT_EQ(CSOutFileNameState(link.c_str(), &size, &other), CS_OTHER_FILE);
    EXPECT_EQ(CSOutFileCutPath(link.c_str(), 0, "", 0, identity), CS_OTHER_FILE);
    EXPECT_EQ(dir.read("out.json"), "{\"a\":[]}");
#endif
    EXPECT_EQ(CSOutFileExists(path.c_str()), 0);
    EXPECT_EQ(CSOutFileRemove(path.c_str()), 0);
    EXPECT_EQ(CSOutFileExists(path.c_str()), ENOENT);
    EXPECT_EQ(CSOutFileCutPath(path.c_str(), 0, "", 0, identity), ENOENT);
}

}  // namespace
