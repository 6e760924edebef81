// The trap file and hook, and the function trace with its dump.
#include <gtest/gtest.h>
#ifndef _WIN32
#include <unistd.h>
#endif

#include <cstdio>
#include <string>

#include "platform/platform.h"
#include "testing/testing.h"

namespace {

std::string lastTrap;
void recordTrap(const char *line) {
    lastTrap = line;
}

// Each trap gets a file of its own in the trap folder, created exclusively: an earlier trap's file
// stays, and a link planted in the first name's place is neither followed nor replaced.
TEST(Trap, WritesEachTrapToANewFileOfItsFolderAndCallsTheHook) {
    zt::TempDir dir;
    CSSetTrapFolder(dir.path().c_str());
    CSTrapHook old = CSSetTrapHook(recordTrap);
#ifndef _WIN32
    dir.write("victim.txt", "keep\n");
    ASSERT_EQ(symlink(dir.file("victim.txt").c_str(), dir.file("cstrap.txt").c_str()), 0);
#endif
    CSTrap("C:\\src\\platform/cs_tree.cpp", "9.4.1", 123, -3);
    EXPECT_EQ(lastTrap, "cstrap line 123 file cs_tree.cpp (9.4.1) value -3");
#ifdef _WIN32
    const std::string first = "cstrap.txt", second = "cstrap.1.txt";
#else
    EXPECT_EQ(dir.read("victim.txt"), "keep\n");
    const std::string first = "cstrap.1.txt", second = "cstrap.2.txt";
#endif
    EXPECT_EQ(CSTrapPath(), dir.file(first));
    EXPECT_EQ(dir.readText(first), "cstrap line 123 file cs_tree.cpp (9.4.1) value -3\n");
    CSTrap("dir\\other.cpp", "x", 1, 7);  // the last component follows '\'
    EXPECT_EQ(lastTrap, "cstrap line 1 file other.cpp (x) value 7");
    EXPECT_EQ(CSTrapPath(), dir.file(second));
    EXPECT_EQ(dir.readText(first), "cstrap line 123 file cs_tree.cpp (9.4.1) value -3\n");
    EXPECT_EQ(dir.readText(second), "cstrap line 1 file other.cpp (x) value 7\n");
    CSSetTrapHook(old);
    CSSetTrapFolder(nullptr);
}

TEST(Trap, DefaultHookReturnsWhenNoDebuggerTraces) {
    zt::TempDir dir;
    CSSetTrapFolder(dir.path().c_str());
    CSSetTrapHook(nullptr);
    CS_TRAP(5);  // reaching the next line is the test
    EXPECT_NE(dir.readText("cstrap.txt").find("file cs_trap_test.cpp (9.4.1) value 5"), std::string::npos);
    CSSetTrapFolder(nullptr);
}

TEST(Trap, UnwritableTrapDirectoryStillCallsTheHook) {
    CSSetTrapFolder("/no/such/directory");
    CSTrapHook old = CSSetTrapHook(recordTrap);
    lastTrap.clear();
    CSTrap("a.cpp", "s", 2, 0);
    EXPECT_EQ(lastTrap, "cstrap line 2 file a.cpp (s) value 0");
    CSSetTrapHook(old);
    CSSetTrapFolder(nullptr);
}

class TraceTest : public ::testing::Test {
protected:
    void SetUp() override {
        stream_ = std::tmpfile();
        CSTraceSetStream(stream_);
    }
    void TearDown() override {
        CSTraceSetStream(nullptr);
        std::fclose(stream_);
    }
    std::string text() {
        std::fflush(stream_);
        std::rewind(stream_);
        std::string out;
        int c;
        while ((c = std::fgetc(stream_)) != EOF) out += static_cast<char>(c);
        return out;
    }
    std::FILE *stream_ = nullptr;
};

TEST_F(TraceTest, IndentFollowsTheThreadsDepth) {
    std::string tid = std::to_string(csThreadId());
    while (tid.size() < 5) tid = " " + tid;
    CSTrace(1, "--> %s\n", "outer");
    CSTraceIndent(1, 0);
    CSTraceRelease();
    CSTrace(1, "--> %s\n", "inner");
    CSTrace(0, "plain\n");
    CSTraceIndent(-1, 0);
    CSTraceRelease();
    CSTrace(1, "<-- %s RC(0x%8.8X)\n", "outer", 0u);
    EXPECT_EQ(text(), "TID(" + tid + "): --> outer\nTID(" + tid + "):  --> inner\nplain\nTID(" + tid +
                          "): <-- outer RC(0x00000000)\n");
}

TEST_F(TraceTest, HeapAndLockCallsAreTracedWhileOn) {
    void *p = CSGetMem(10);
    CSFreeMem(p);
    std::string out = text();
    EXPECT_NE(out.find("--> CSGetMem"), std::string::npos);
    EXPECT_NE(out.find("CSGetMem Ptr:"), std::string::npos);
    EXPECT_NE(out.find("--> CSLockIt"), std::string::npos);
    EXPECT_NE(out.find("<-- CSUnlockIt RC(0x00000000)"), std::string::npos);
    EXPECT_NE(out.find("CSFreeMem Ptr:"), std::string::npos);
}

TEST_F(TraceTest, DumpShowsOffsetsHexAndPrintableBytes) {
    CSTraceDump("Title", "ABCDEFGHIJKLMNOPQ\x01", 18);
    EXPECT_EQ(text(),
              "Title (18 bytes)\n"
              "00000000 41424344 45464748 494A4B4C 4D4E4F50 ABCDEFGHIJKLMNOP\n"
              "00000010 5101                                Q.\n");
}

TEST(Trace, SilentWithoutAStream) {
    CSTraceSetStream(nullptr);
    EXPECT_FALSE(CSTraceOn());
    CSTrace(1, "nothing %d\n", 1);
    CSTraceDump("x", "y", 1);
}

}  // namespace
