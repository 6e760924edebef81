// Script files open close-on-exec and know their identity; the stack left is measured on the
// calling thread.

#include "platform/platform.h"
#include "testing/testing.h"

namespace {

TEST(CSOpenStream, OpensCloseOnExecAndTellsFilesApart) {
    zt::TempDir dir;
    dir.write("a.vdr", "x\n");
    dir.write("b.vdr", "y\n");
    std::FILE *a = CSOpenStream(dir.file("a.vdr").c_str(), "r");
    std::FILE *again = CSOpenStream(dir.file("a.vdr").c_str(), "r");
    std::FILE *b = CSOpenStream(dir.file("b.vdr").c_str(), "r");
    ASSERT_NE(a, nullptr);
    ASSERT_NE(again, nullptr);
    ASSERT_NE(b, nullptr);
    EXPECT_FALSE(zt::inheritable(a));
    uint64_t device[3];
    uint64_t inode[3];
    EXPECT_EQ(CSStreamIdentity(a, &device[0], &inode[0]), 1);
    EXPECT_EQ(CSStreamIdentity(again, &device[1], &inode[1]), 1);
    EXPECT_EQ(CSStreamIdentity(b, &device[2], &inode[2]), 1);
    EXPECT_EQ(device[0], device[1]);
    EXPECT_EQ(inode[0], inode[1]);
    EXPECT_NE(inode[0], inode[2]);
    std::fclose(a);
    std::fclose(again);
    std::fclose(b);
    EXPECT_EQ(CSOpenStream(dir.file("missing.vdr").c_str(), "r"), nullptr);
}

TEST(CSStackLeft, MeasuresTheCallingThreadsOwnStack) {
    // Stacks above the 1 MB that wine gives any thread at least, so that each is its true size.
    for (size_t bytes : {1280u * 1024, 2560u * 1024}) {
        static size_t left;
        left = 0;
        zt::runOnStack(
            bytes, [](void *) { left = CSStackLeft(); }, nullptr);
        EXPECT_LE(left, bytes);
        EXPECT_GT(left, bytes - 128 * 1024);
    }
}

}  // namespace
