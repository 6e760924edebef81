// The log files: header, time prefixes, framing, configuration and event-queue blocks, rotation
// by size and age, retention, and the lines a unit of work holds until it commits.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "platform/platform.h"
#include "testing/console_capture.h"
#include "testing/testing.h"

namespace {

constexpr int64_t jan1 = 1767225600;  // 2026-01-01 00:00:00 UTC, a Thursday

const std::string headerJan1 =
    "Holva Software ZUNT : IBM MQ Event Processor : Version 9.4.1 (Build Date:Mar  3 2025)\n"
    "Name: ZUNT Descr: Holva Software IBM MQ Event Processor Current Time: Thu Jan  1 00:00:00 2026\n\n";

class LogTest : public ::testing::Test {
protected:
    LogTest() : tz_("UTC0"), clock_(jan1) {
        logClose();
        evDebugFlags.store(0);
        evRunState.connected.store(0);
        evRunState.background.store(0);
        LogSettings settings = {"ZUNT", "Holva Software IBM MQ Event Processor", "", 14400, 10240000, 604800,
                                86400};
        snprintf(settings.logPath, sizeof settings.logPath, "%s", dir_.path().c_str());
        logSetSettings(&settings);
        console_.clear();
    }
    ~LogTest() override {
        logClose();
        evRunState.connected.store(0);
        evRunState.background.store(0);
        evDebugFlags.store(0);
    }

    void alter(void (*change)(LogSettings *)) {
        LogSettings settings;
        logGetSettings(&settings);
        change(&settings);
        logSetSettings(&settings);
    }

    std::string file(const char *name) {
        logFlushIfWritten();
        return dir_.readText(name);
    }

    zt::ScopedTZ tz_;
    zt::TestClock clock_;
    zt::TempDir dir_;
    zt::ConsoleCapture console_;
};

TEST_F(LogTest, FirstLineOpensAFileWithItsHeaderAndLinesOfOneSecondShareOnePrefix) {
    EXPECT_EQ(logWrite(nullptr, EV_OUT_INFO, "first", -1), 1);
    logWrite(nullptr, EV_OUT_PROGRESS, "second line", -1);
    clock_.advanceMs(1000);
    logWrite(nullptr, EV_OUT_INFO, "third", 3);
    EXPECT_EQ(dir_.list(), std::vector<std::string>{"ZUNTLog_20260101000000.txt"});
    EXPECT_BYTES_EQ(headerJan1 + "[00:00:00] first\n" + "           second line\n" + "[00:00:01] thi\n",
                    file("ZUNTLog_20260101000000.txt"));
}

TEST_F(LogTest, ErrorLinesAreFramedAndEmptyTextWritesNothing) {
    EXPECT_EQ(logWrite(nullptr, EV_OUT_INFO, "", -1), 1);
    EXPECT_TRUE(dir_.list().empty());
    logWrite(nullptr, EV_OUT_ERROR, "MQCONNX failed RC(2059) MQRC_Q_MGR_NOT_AVAILABLE", -1);
    logWrite(nullptr, EV_OUT_TRACE, "trace", -1);
    EXPECT_BYTES_EQ(headerJan1 + "[00:00:00] *** MQCONNX failed RC(2059) MQRC_Q_MGR_NOT_AVAILABLE ***\n" +
                        "           trace\n",
                    file("ZUNTLog_20260101000000.txt"));
}

TEST_F(LogTest, ConfigurationBlockIsWrittenOnceAfterEachLoadWithUnknownForMissingNames) {
    logWrite(nullptr, EV_OUT_INFO, "before", -1);
    LogConfiguration configuration = {1209600, "MY.DLQ", nullptr, "DISCARD", jan1, "BUILD", 20, 60};
    logConfigurationLoaded(&configuration);
    logWrite(nullptr, EV_OUT_INFO, "after", -1);
    logWrite(nullptr, EV_OUT_INFO, "again", -1);
    const std::string block =
        "\nZUNT Configuration\n"
        "------------------\n"
        "  Name                                    : ZUNT\n"
        "  Description                             : Holva Software IBM MQ Event Processor\n"
        "  Process Id                              : " +
        std::to_string(getpid()) +
        "\n"
        "  Default Alert Retention Interval  (secs): 1209600\n"
        "  Log file root directory                 : " +
        dir_.path() +
        "\n"
        "  Log file maximum age               (min): 240\n"
        "  Log file maximum size              (Kb) : 10000\n"
        "  Log file retention                (days): 7\n"
        "  Dead Letter Queue                       : MY.DLQ\n"
        "  Use Dead Letter Queue                   : Unknown\n"
        "  Display Commands                        : DISCARD\n"
        "  Count Reset Time                        : Thu Jan  1 00:00:00 2026\n"
        "  Version Check                           : BUILD\n"
        "  Storm Threshold                         : 20\n"
        "  Storm Interval                          : 60\n"
        "\n";
    // The line after the block carries a time again, though it is the same second.
    EXPECT_BYTES_EQ(headerJan1 + "[00:00:00] before\n" + block + "[00:00:00] after\n" + "           again\n",
                    file("ZUNTLog_20260101000000.txt"));
}

TEST_F(LogTest, ConfigurationBlockTruncatesItsDivisions) {
    alter([](LogSettings *s) {
        s->maxLogAge = 119;
        s->maxLogSize = 2047;
        s->logRetention = 86400 * 2 - 1;
    });
    LogConfiguration configuration = {5, "", "YES", "SHOW", jan1, nullptr, 1, 2};
    logConfigurationLoaded(&configuration);
    logWrite(nullptr, EV_OUT_INFO, "x", -1);
    std::string text = file("ZUNTLog_20260101000000.txt");
    EXPECT_NE(text.find("maximum age               (min): 1\n"), std::string::npos) << text;
    EXPECT_NE(text.find("maximum size              (Kb) : 1\n"), std::string::npos) << text;
    EXPECT_NE(text.find("retention                (days): 1\n"), std::string::npos) << text;
    EXPECT_NE(text.find("Dead Letter Queue                       : \n"), std::string::npos) << text;
    EXPECT_NE(text.find("Version Check                           : Unknown\n"), std::string::npos) << text;
}

TEST_F(LogTest, EventQueueBlockIsWrittenOncePerConnectWhileConnected) {
    const LogEventQueue queues[] = {{"SYSTEM.ADMIN.QMGR.EVENT", "ACTIVE"},
                                    {"HOLVA.ZUNT.COMMAND.QUEUE", nullptr}};
    logEventQueuesConnected(queues, 2);
    logWrite(nullptr, EV_OUT_INFO, "not connected yet", -1);
    evRunState.connected.store(1);
    logWrite(nullptr, EV_OUT_INFO, "connected", -1);
    logWrite(nullptr, EV_OUT_INFO, "still", -1);
    logEventQueuesConnected(queues, 1);
    clock_.advanceMs(1000);
    logWrite(nullptr, EV_OUT_INFO, "reconnected", -1);
    const std::string block1 =
        "\nEvent Queues\n------------\n"
        "  Queue : SYSTEM.ADMIN.QMGR.EVENT                          ACTIVE\n"
        "  Queue : HOLVA.ZUNT.COMMAND.QUEUE                         Unknown\n\n";
    const std::string block2 =
        "\nEvent Queues\n------------\n"
        "  Queue : SYSTEM.ADMIN.QMGR.EVENT                          ACTIVE\n\n";
    EXPECT_BYTES_EQ(headerJan1 + "[00:00:00] not connected yet\n" + block1 + "           connected\n" +
                        "           still\n" + block2 + "[00:00:01] reconnected\n",
                    file("ZUNTLog_20260101000000.txt"));
}

TEST_F(LogTest, NewDayRepeatsTheHeaderInTheSameFile) {
    clock_.set(jan1 + 86399);
    logWrite(nullptr, EV_OUT_INFO, "last second", -1);
    clock_.set(jan1 + 86401);
    logWrite(nullptr, EV_OUT_INFO, "new day", -1);
    EXPECT_EQ(dir_.list(), std::vector<std::string>{"ZUNTLog_20260101235959.txt"});
    EXPECT_BYTES_EQ(
        "Holva Software ZUNT : IBM MQ Event Processor : Version 9.4.1 (Build Date:Mar  3 2025)\n"
        "Name: ZUNT Descr: Holva Software IBM MQ Event Processor Current Time: Thu Jan  1 23:59:59 2026\n\n"
        "[23:59:59] last second\n"
        "Holva Software ZUNT : IBM MQ Event Processor : Version 9.4.1 (Build Date:Mar  3 2025)\n"
        "Name: ZUNT Descr: Holva Software IBM MQ Event Processor Current Time: Fri Jan  2 00:00:01 2026\n\n"
        "[00:00:01] new day\n",
        file("ZUNTLog_20260101235959.txt"));
}

TEST_F(LogTest, ReachingMaxSizeClosesTheFileAndTheNextOneWaitsForTheNextSecondsName) {
    alter([](LogSettings *s) { s->maxLogSize = static_cast<int64_t>(headerJan1.size()) + 40; });
    evSetDebugFlags("lD");
    logWrite(nullptr, EV_OUT_INFO, "short", -1);                       // 17 bytes: below the limit
    logWrite(nullptr, EV_OUT_INFO, std::string(30, 'x').c_str(), -1);  // reaches it
    EXPECT_EQ(dir_.list().size(), 1u);
    logWrite(nullptr, EV_OUT_INFO, "next", -1);
    EXPECT_EQ(clock_.sleepCount(), 1u);
    EXPECT_EQ(clock_.sleptMs(), 1000u);
    EXPECT_EQ(evClockNow(), jan1 + 1);
    EXPECT_EQ(dir_.list(),
              (std::vector<std::string>{"ZUNTLog_20260101000000.txt", "ZUNTLog_20260101000001.txt"}));
    EXPECT_BYTES_EQ(headerJan1 + "[00:00:00] short\n" + "           " + std::string(30, 'x') + "\n",
                    file("ZUNTLog_20260101000000.txt"));
    std::string second = file("ZUNTLog_20260101000001.txt");
    EXPECT_NE(second.find("Current Time: Thu Jan  1 00:00:01 2026\n\n[00:00:01] next\n"), std::string::npos)
        << second;
    std::string first = dir_.file("ZUNTLog_20260101000000.txt");
    EXPECT_NE(console_.out().find("Log File '" + first + "' is already being used.\n"), std::string::npos)
        << console_.out();
    EXPECT_NE(console_.err().find("Log file '" + dir_.file("ZUNTLog_20260101000001.txt") +
                                  "' opened for writing.\n"),
              std::string::npos)
        << console_.err();
}

TEST_F(LogTest, AFileOfAnotherProcessIsNeverSharedOrOverwritten) {
    dir_.write("ZUNTLog_20260101000000.txt", "someone else's\n");
    logWrite(nullptr, EV_OUT_INFO, "mine", -1);
    EXPECT_EQ(dir_.read("ZUNTLog_20260101000000.txt"), "someone else's\n");
    EXPECT_NE(file("ZUNTLog_20260101000001.txt").find("[00:00:01] mine\n"), std::string::npos);
}

TEST_F(LogTest, MaxAgeClosesTheFileOnceItIsOldEnough) {
    alter([](LogSettings *s) { s->maxLogAge = 60; });
    evSetDebugFlags("lD");
    logWrite(nullptr, EV_OUT_INFO, "one", -1);
    clock_.advanceMs(59000);
    logCheckMaxAge();
    logWrite(nullptr, EV_OUT_INFO, "two", -1);
    EXPECT_EQ(dir_.list().size(), 1u);
    clock_.advanceMs(1000);
    logCheckMaxAge();
    EXPECT_NE(console_.out().find("Current log file closed - exceeded MAXAGE\n"), std::string::npos);
    logWrite(nullptr, EV_OUT_INFO, "three", -1);
    EXPECT_EQ(dir_.list(),
              (std::vector<std::string>{"ZUNTLog_20260101000000.txt", "ZUNTLog_20260101000100.txt"}));
    EXPECT_NE(file("ZUNTLog_20260101000100.txt").find("[00:01:00] three\n"), std::string::npos);
}

TEST_F(LogTest, MaxAgeWithoutLettersLDSaysNothing) {
    alter([](LogSettings *s) { s->maxLogAge = 60; });
    evSetDebugFlags("l");
    logWrite(nullptr, EV_OUT_INFO, "one", -1);
    clock_.advanceMs(60000);
    logCheckMaxAge();
    EXPECT_EQ(console_.out(), "");
}

TEST_F(LogTest, OnlyThisRunsFilesPastTheirRetentionAreDeleted) {
    alter([](LogSettings *s) { s->logRetention = 100; });
    dir_.write("ZUNTLog_20200101000000.txt", "an earlier run\n");
    auto openAt = [this](int64_t offset) {
        clock_.set(jan1 + offset);
        logClose();
        logWrite(nullptr, EV_OUT_INFO, "line", -1);
    };
    openAt(0);   // a
    openAt(60);  // b; a: 0 + 100 is not before 60
    EXPECT_TRUE(dir_.exists("ZUNTLog_20260101000000.txt"));
    evSetDebugFlags("l");
    openAt(101);  // a: 0 + 100 is before 101
    EXPECT_EQ(dir_.list(),
              (std::vector<std::string>{"ZUNTLog_20200101000000.txt", "ZUNTLog_20260101000100.txt",
                                        "ZUNTLog_20260101000141.txt"}));
    EXPECT_NE(console_.err().find("Log file '" + dir_.file("ZUNTLog_20260101000000.txt") +
                                  "' deleted - beyond Log File Retention period.\n"),
              std::string::npos)
        << console_.err();
    openAt(160);  // b: 60 + 100 is not before 160
    EXPECT_TRUE(dir_.exists("ZUNTLog_20260101000100.txt"));
    openAt(161);
    EXPECT_FALSE(dir_.exists("ZUNTLog_20260101000100.txt"));
    EXPECT_TRUE(dir_.exists("ZUNTLog_20200101000000.txt"));  // never, however old
}

TEST_F(LogTest, PendingLinesWaitForCommitAndAreThenFramed) {
    logWrite(nullptr, EV_OUT_INFO, "meanwhile", -1);
    CSMemCounts before = CSMemCounters();
    LogCapture capture = {};
    EXPECT_EQ(logWrite(&capture, EV_OUT_PROGRESS, "DEFINE EVEMIT('E1') ", -1), 1);
    EXPECT_EQ(logWrite(&capture, EV_OUT_PROGRESS, "ALTER EV STORMTHR(30) ", -1), 1);
    EXPECT_EQ(logWrite(&capture, EV_OUT_PROGRESS, "", -1), 1);  // empty: not kept
    EXPECT_EQ(capture.count, 2u);
    EXPECT_EQ(CSMemCounters().blocks, before.blocks + 2);
    EXPECT_EQ(file("ZUNTLog_20260101000000.txt").find("EVEMIT"), std::string::npos);
    clock_.advanceMs(1000);
    logCommitCapture(&capture);
    EXPECT_EQ(capture.first, nullptr);
    EXPECT_EQ(capture.count, 0u);
    EXPECT_BYTES_EQ(headerJan1 + "[00:00:00] meanwhile\n" + "[00:00:01] *** DEFINE EVEMIT('E1')  ***\n" +
                        "           *** ALTER EV STORMTHR(30)  ***\n",
                    file("ZUNTLog_20260101000000.txt"));
    EXPECT_EQ(CSMemCounters().blocks, before.blocks);
}

TEST_F(LogTest, BackedOutPendingLinesNeverReachTheLog) {
    CSMemCounts before = CSMemCounters();
    LogCapture capture = {};
    logWrite(&capture, EV_OUT_PROGRESS, "DELETE EVEMIT('E1')", -1);
    logFreeCapture(&capture);
    EXPECT_EQ(capture.count, 0u);
    EXPECT_EQ(CSMemCounters().blocks, before.blocks);
    logCommitCapture(&capture);
    EXPECT_TRUE(dir_.list().empty());
}

TEST_F(LogTest, APendingLineOf70000BytesIsWrittenWhole) {
    std::string text(70000, 'q');
    text[0] = '<';
    text[69999] = '>';
    LogCapture capture = {};
    logWrite(&capture, EV_OUT_PROGRESS, text.c_str(), static_cast<int64_t>(text.size()));
    logCommitCapture(&capture);
    EXPECT_BYTES_EQ(headerJan1 + "[00:00:00] *** " + text + " ***\n", file("ZUNTLog_20260101000000.txt"));
}

TEST_F(LogTest, EveryLineMovesTheHeartbeatOnByItsInterval) {
    alter([](LogSettings *s) { s->heartbeat = 30; });
    logWrite(nullptr, EV_OUT_INFO, "x", -1);
    EXPECT_EQ(logNextHeartbeat(), jan1 + 30);
    clock_.advanceMs(7000);
    logWrite(nullptr, EV_OUT_INFO, "y", -1);
    EXPECT_EQ(logNextHeartbeat(), jan1 + 37);
}

TEST_F(LogTest, WithoutALogRootNothingIsWrittenAndNothingFails) {
    alter([](LogSettings *s) { s->logPath[0] = '\0'; });
    EXPECT_EQ(logWrite(nullptr, EV_OUT_INFO, "nowhere", -1), 0);
    EXPECT_EQ(evEndFlag.load(), 0);
    EXPECT_EQ(console_.out(), "");
}

}  // namespace
