// Command lines: the "cmd " rewrite, refusals, failures with their reason, and a started
// process doing its work.
#include <gtest/gtest.h>
#ifndef _WIN32
#include <unistd.h>
#endif

#include <chrono>
#include <string>
#include <thread>

#include "platform/platform.h"
#include "testing/testing.h"

namespace {

TEST(CommandRewrite, CmdBecomesSlashCAndAFollowingSlashCIsBlanked) {
    std::string out;
    ASSERT_TRUE(CSCommandRewrite("cmd /c dir", &out));
    EXPECT_EQ(out, "/c     dir");
    ASSERT_TRUE(CSCommandRewrite("  cmd /C dir", &out));
    EXPECT_EQ(out, "/c     dir");
    ASSERT_TRUE(CSCommandRewrite("cmd echo hi", &out));
    EXPECT_EQ(out, "/c  echo hi");
    ASSERT_TRUE(CSCommandRewrite("cmd /cx", &out));  // not the word /c
    EXPECT_EQ(out, "/c  /cx");
    out = "untouched";
    EXPECT_FALSE(CSCommandRewrite("cmdx /c dir", &out));
    EXPECT_FALSE(CSCommandRewrite("echo cmd ", &out));
    EXPECT_EQ(out, "untouched");
}

std::string runFailing(const char *line) {
    char *message = nullptr;
    EXPECT_EQ(CSRunCommand(line, &message), 0);
    if (!message) return "<none>";
    std::string text = message;
    CSFreeMem(message);
    return text;
}

TEST(RunCommand, EmptyLinesAreRefused) {
    EXPECT_EQ(runFailing(""), "No command supplied");
    EXPECT_EQ(runFailing("   "), "No command supplied");
    EXPECT_EQ(runFailing(nullptr), "No command supplied");
}

TEST(RunCommand, MissingProgramReportsTheSystemReason) {
#ifdef _WIN32
    // The system's text of the code is in the user's language there.
    for (const char *line : {"c:\\no\\such\\program-zunt.exe arg", "no-such-program-zunt"}) {
        std::string text = runFailing(line);
        EXPECT_EQ(text.rfind("Command failed RC(", 0), 0u) << text;
        EXPECT_GT(text.size(), sizeof "Command failed RC(2) ") << text;
    }
#else
    EXPECT_EQ(runFailing("/no/such/program-zunt arg"), "Command failed RC(2) No such file or directory");
    EXPECT_EQ(runFailing("no-such-program-zunt"), "Command failed RC(2) No such file or directory");
#endif
}

bool waitForFile(const zt::TempDir &dir, const char *name) {
    for (int i = 0; i < 500 && !dir.exists(name); i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return dir.exists(name);
}

TEST(RunCommand, CmdLineRunsThroughTheShellWithoutWaiting) {
    zt::TempDir dir;
#ifdef _WIN32
    std::string line = "cmd type nul > \"" + dir.file("F") + "\" && echo ok > \"" + dir.file("G") + "\"";
#else
    std::string line = "cmd touch '" + dir.file("F") + "' && echo ok > '" + dir.file("G") + "'";
#endif
    char *message = reinterpret_cast<char *>(1);
    CSMemCounts before = CSMemCounters();
    ASSERT_EQ(CSRunCommand(line.c_str(), &message), 1);
    EXPECT_EQ(message, nullptr);
    EXPECT_EQ(CSMemCounters().blocks, before.blocks);  // the message block was freed
    EXPECT_TRUE(waitForFile(dir, "F"));
    EXPECT_TRUE(waitForFile(dir, "G"));
}

TEST(RunCommand, PlainLineIsSplitAtBlanksWithQuotesGrouping) {
    zt::TempDir dir;
#ifdef _WIN32
    // Windows hands the line to the program whole, which splits it itself.
    std::string line =
        "  cmd.exe /c type nul > \"" + dir.file("with blank") + "\" & type nul > " + dir.file("plain");
#else
    std::string line = "  touch \"" + dir.file("with blank") + "\" " + dir.file("plain");
#endif
    char *message = nullptr;
    ASSERT_EQ(CSRunCommand(line.c_str(), &message), 1);
    EXPECT_TRUE(waitForFile(dir, "with blank"));
    EXPECT_TRUE(waitForFile(dir, "plain"));
}

#ifndef _WIN32  // sessions, descriptors and /proc are Linux's
TEST(RunCommand, ChildHasItsOwnSessionAndNoInheritedDescriptors) {
    zt::TempDir dir;
    int open = dup(2);  // inheritable in this process
    ASSERT_GE(open, 3);
    std::string fd = std::to_string(open);
    // Field 6 of /proc/PID/stat is the session: a session leader's is its own pid.
    std::string line = "cmd read p c s pp g sid rest < /proc/$$/stat; [ \"$sid\" = \"$$\" ] && touch '" +
                       dir.file("own-session") + "'; [ -e /proc/$$/fd/" + fd + " ] || touch '" +
                       dir.file("closed") + "'; [ -e /proc/$$/fd/0 ] && touch '" + dir.file("done") + "'";
    char *message = nullptr;
    ASSERT_EQ(CSRunCommand(line.c_str(), &message), 1);
    EXPECT_TRUE(waitForFile(dir, "done"));
    EXPECT_TRUE(dir.exists("own-session"));
    EXPECT_TRUE(dir.exists("closed"));
    close(open);
}
#endif

}  // namespace
