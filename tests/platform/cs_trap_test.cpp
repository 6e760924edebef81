// The trap file and hook, and the function trace with its dump.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "platform/platform.h"
#include "testing/testing.h"

namespace {

std::string lastTrap;
void recordTrap(const char *line) {
    lastTrap = line;
}

// Windows' trap file has one fixed path, outside any test's folder: there the tests leave it
// unread and check the hook's line only.
#ifdef _WIN32
constexpr bool kTrapFileInTmpDir = false;
#else
constexpr bool kTrapFileInTmpDir = true;
#endif

TEST(Trap, WritesTheLineToTheTrapFileAndCallsTheHook) {
    zt::TempDir dir;
    zt::ScopedEnv tmp("TMPDIR", dir.path().c_str());
    EXPECT_EQ(CSTrapPath(), kTrapFileInTmpDir ? dir.file("cstrap.txt") : "c:\\temp\\cstrap.txt");
    CSTrapHook old = CSSetTrapHook(recordTrap);
    CSTrap("C:\\src\\platform/cs_tree.cpp", "9.4.1", 123, -3);
    EXPECT_EQ(lastTrap, "cstrap line 123 file cs_tree.cpp (9.4.1) value -3");
    if (kTrapFileInTmpDir) {
        EXPECT_EQ(dir.read("cstrap.txt"), "cstrap line 123 file cs_tree.cpp (9.4.1) value -3\n");
    }
    CSTrap("dir\\other.cpp", "x", 1, 7);  // the file is replaced, the last component follows '\'
    EXPECT_EQ(lastTrap, "cstrap line 1 file other.cpp (x) value 7");
    if (kTrapFileInTmpDir) {
        EXPECT_EQ(dir.read("cstrap.txt"), "cstrap line 1 file other.cpp (x) value 7\n");
    }
    CSSetTrapHook(old);
}

TEST(Trap, DefaultHookReturnsWhenNoDebuggerTraces) {
    zt::TempDir dir;
    zt::ScopedEnv tmp("TMPDIR", dir.path().c_str());
    CSSetTrapHook(nullptr);
    CS_TRAP(5);  // reaching the next line is the test
    if (kTrapFileInTmpDir) {
        EXPECT_NE(dir.read("cstrap.txt").find("file cs_trap_test.cpp (9.4.1) value 5"), std::string::npos);
    }
}

TEST(Trap, UnwritableTrapDirectoryStillCallsTheHook) {
    zt::ScopedEnv tmp("TMPDIR", "/no/such/directory");
    CSTrapHook old = CSSetTrapHook(recordTrap);
    lastTrap.clear();
    CSTrap("a.cpp", "s", 2, 0);
    EXPECT_EQ(lastTrap, "cstrap line 2 file a.cpp (s) value 0");
    CSSetTrapHook(old);
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
