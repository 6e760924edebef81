// The log while the program ends, and a log root that cannot be written (which ends it). Both
// set the end flag, which is never cleared: these tests live in an executable of their own.
#include <gtest/gtest.h>

#include <string>

#include "platform/platform.h"
#include "testing/console_capture.h"
#include "testing/testing.h"

namespace {

constexpr int64_t jan1 = 1767225600;  // 2026-01-01 00:00:00 UTC

void useRoot(const std::string &root, int32_t maxAge, int64_t maxSize, int32_t retention) {
    LogSettings settings = {"ZUNT", "Holva Software IBM MQ Event Processor", "", maxAge, maxSize, retention,
                            86400};
    snprintf(settings.logPath, sizeof settings.logPath, "%s", root.c_str());
    logSetSettings(&settings);
}

TEST(LogWhileEnding, NeitherSizeNorAgeClosesTheFileAndNothingIsDeleted) {
    zt::ScopedTZ tz("UTC0");
    zt::TestClock clock(jan1);
    zt::TempDir dir;
    zt::ConsoleCapture console;
    logClose();
    useRoot(dir.path(), 60, 300, 100);
    logWrite(nullptr, EV_OUT_INFO, "opened before the end", -1);
    evEndFlag.store(1);
    logWrite(nullptr, EV_OUT_INFO, std::string(400, 'x').c_str(), -1);  // past MAXLOGSZ
    clock.advanceMs(3600 * 1000);
    logCheckMaxAge();  // past MAXLOGAGE
    logWrite(nullptr, EV_OUT_INFO, "still the same file", -1);
    logFlushIfWritten();
    EXPECT_EQ(dir.list(), std::vector<std::string>{"ZUNTLog_20260101000000.txt"});
    EXPECT_NE(dir.readText("ZUNTLog_20260101000000.txt").find("[01:00:00] still the same file\n"),
              std::string::npos);
    // A file opened while ending (the first one is far past its retention) deletes nothing.
    logClose();
    logWrite(nullptr, EV_OUT_INFO, "new file", -1);
    logClose();
    EXPECT_EQ(dir.list(),
              (std::vector<std::string>{"ZUNTLog_20260101000000.txt", "ZUNTLog_20260101010000.txt"}));
}

TEST(LogUnwritable, AnUnwritableRootSaysSoOnTheConsoleOnlyAndEndsTheProgram) {
    zt::ScopedTZ tz("UTC0");
    zt::TestClock clock(jan1);
    zt::TempDir dir;
    zt::ConsoleCapture console;
    logClose();
    evRunState.background.store(0);
    std::string root = dir.file("no/such/dir");
    useRoot(root, 14400, 10240000, 604800);
    evOutput(EV_OUT_ERROR, "MQCONNX failed", -1, 1);
    EXPECT_EQ(evEndFlag.load(), 1);
    const std::string unable = "Unable to write to log file '" + root + "/ZUNTLog_20260101000000.txt'.\n";
    EXPECT_EQ(console.out(), "MQCONNX failed\n" + unable);
    // Each later line tries again, and says so again.
    console.clear();
    EXPECT_EQ(logWrite(nullptr, EV_OUT_INFO, "later", -1), 0);
    EXPECT_EQ(console.out(), unable);
    EXPECT_TRUE(dir.list().empty());
}

TEST(LogUnwritable, AnOverlongRootIsRefusedLikeAnUnwritableOne) {
    zt::ScopedTZ tz("UTC0");
    zt::TestClock clock(jan1);
    zt::ConsoleCapture console;
    logClose();
    evRunState.background.store(0);
    useRoot(std::string(1023, 'd'), 14400, 10240000, 604800);
    EXPECT_EQ(logWrite(nullptr, EV_OUT_INFO, "line", -1), 0);
    EXPECT_EQ(evEndFlag.load(), 1);
    EXPECT_NE(console.out().find("Unable to write to log file '"), std::string::npos);
}

}  // namespace
