// The process: its program's folder, and the signals a service manager or a closed pipe sends it.
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
#include <string>

#include "platform/platform.h"
#include "testing/console_capture.h"

namespace {

TEST(Process, TheProgramFolderHoldsTheRunningProgram) {
    char folder[4096];
    ASSERT_EQ(evProgramFolder(folder, sizeof folder), 1);
    const std::string path = folder;
    ASSERT_FALSE(path.empty());
#ifdef _WIN32
    EXPECT_EQ(path[1], ':');  // a drive's path
    EXPECT_NE(path.back(), '\\');
    EXPECT_TRUE(std::filesystem::exists(path + "\\test_platform_process_test.exe"));
#else
    EXPECT_EQ(path[0], '/');
    EXPECT_NE(path.back(), '/');
    EXPECT_TRUE(std::filesystem::exists(path + "/test_platform_process_test"));
#endif
    char tiny[4];
    EXPECT_EQ(evProgramFolder(tiny, sizeof tiny), 0);  // does not fit: empty, never cut
    EXPECT_STREQ(tiny, "");
}

#ifndef _WIN32  // Windows sends console control events, which a process cannot raise to itself
TEST(Process, SigtermAsksForTheOrderlyEndAndSigpipeIsIgnored) {
    evHandleTermination();
    evEndFlag.store(0);
    raise(SIGPIPE);  // would end the process if not ignored
    EXPECT_EQ(evEndFlag.load(), 0);
    raise(SIGTERM);
    EXPECT_EQ(evEndFlag.load(), 1);
    evEndFlag.store(0);
}
#endif

int32_t oneKey(int32_t) {
    return 'Q';
}

TEST(Process, AKeySourceStandsInForStandardInput) {
    EXPECT_EQ(evSetKeySource(oneKey), nullptr);
    EXPECT_EQ(evKeyboardOpen(), 1);
    EXPECT_EQ(evKeyRead(0), 'Q');
    EXPECT_EQ(evSetKeySource(nullptr), oneKey);
}

TEST(Process, ConsolePrintWritesTextAsItIsAlsoInTheBackground) {
    zt::ConsoleCapture console(false);
    evRunState.background.store(1);
    evConsolePrint(1, "line one\n\n", -1);
    evConsolePrint(2, "usage\nXX", 6);
    evRunState.background.store(0);
    EXPECT_EQ(console.out(), "line one\n\n");
    EXPECT_EQ(console.err(), "usage\n");
}

}  // namespace
