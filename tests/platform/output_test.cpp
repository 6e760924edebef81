// Console output, the status line and the -v letters, seen through a capturing console sink.
#include <gtest/gtest.h>

#include <string>

#include "platform/output_internal.h"
#include "platform/platform.h"
#include "testing/console_capture.h"
#include "testing/testing.h"

namespace {

std::string repeat(char c, size_t n) {
    return std::string(n, c);
}

void resetRunState() {
    evRunState.background.store(0);
    evRunState.debugMode.store(0);
    evRunState.connecting.store(0);
    evRunState.retrying.store(0);
    evRunState.connected.store(0);
    evRunState.disconnecting.store(0);
    evRunState.ready.store(0);
    evDebugFlags.store(0);
    evStatusShown.store(0);
    evSetStatusSource(nullptr);
}

class OutputTest : public ::testing::Test {
protected:
    OutputTest() : tz_("UTC0"), clock_(1767225600 + 3 * 3600 + 25 * 60 + 7) {  // 2026-01-01 03:25:07
        resetRunState();
        LogSettings settings;
        logGetSettings(&settings);
        snprintf(settings.logPath, sizeof settings.logPath, "%s", dir_.path().c_str());
        logSetSettings(&settings);
        console_.clear();
    }
    ~OutputTest() override {
        logClose();
        resetRunState();
    }

    // Draws a fresh status line and forgets what that wrote.
    size_t showStatusLine() {
        evStatusRebuild.store(1);
        evStatusLine();
        size_t shown = evStatusShown.load();
        console_.clear();
        return shown;
    }

    std::string logText() {
        logFlushIfWritten();
        std::string all;
        for (const std::string &name : dir_.list()) all += dir_.readText(name);
        return all;
    }

    zt::ScopedTZ tz_;
    zt::TestClock clock_;
    zt::TempDir dir_;
    zt::ConsoleCapture console_;
};

TEST_F(OutputTest, MessageShorterThanTheStatusLineBlanksItsTailThenStartsAtTheLineStart) {
    evStatusShown.store(40);
    evOutput(EV_OUT_INFO, "0123456789", -1, 0);
    EXPECT_BYTES_EQ(repeat('\b', 30) + repeat(' ', 30) + repeat('\b', 40) + "0123456789\n", console_.out());
    EXPECT_EQ(evStatusShown.load(), 0u);
}

TEST_F(OutputTest, MessageLongerThanTheStatusLineOnlyReturnsToTheLineStart) {
    evStatusShown.store(40);
    std::string text = repeat('x', 45);
    evOutput(EV_OUT_INFO, text.c_str(), -1, 0);
    EXPECT_BYTES_EQ(repeat('\b', 40) + text + "\n", console_.out());
}

TEST_F(OutputTest, CountedTextIsPrintedToItsLengthAndWithoutAStatusLineNothingIsErased) {
    evOutput(EV_OUT_INFO, "abcdef", 3, 0);
    EXPECT_BYTES_EQ(std::string("abc\n"), console_.out());
}

TEST_F(OutputTest, StatusLineTextIsTimeNameStateAndCounts) {
    evSetStatusSource([](StatusCounts *counts) { *counts = {12, 34, 5, 6, 789}; });
    size_t shown = showStatusLine();
    const std::string expected = "03:25:07 ZUNT Qm(INITIALISING) Events(12) Stats(34) Cmds(5) Alerts(6)";
    char text[256];
    EXPECT_EQ(evStatusText(text, sizeof text), expected.size());
    EXPECT_EQ(std::string(text), expected);
    EXPECT_EQ(shown, expected.size());
}

TEST_F(OutputTest, StatusLineIsDrawnInPlaceAndTheNextMessageWipesIt) {
    evStatusRebuild.store(1);
    evStatusLine();
    const std::string line = "03:25:07 ZUNT Qm(INITIALISING) Events(0) Stats(0) Cmds(0) Alerts(0)";
    EXPECT_BYTES_EQ(line, console_.out());  // no line end
    EXPECT_EQ(console_.flushes(), 1);
    console_.clear();
    evOutput(EV_OUT_INFO, "0123456789", -1, 0);
    size_t tail = line.size() - 10;
    EXPECT_BYTES_EQ(repeat('\b', tail) + repeat(' ', tail) + repeat('\b', line.size()) + "0123456789\n",
                    console_.out());
    // Redrawn after the message, since none is shown any more.
    console_.clear();
    evStatusLine();
    EXPECT_BYTES_EQ(line, console_.out());
    // Shown and not rebuilt: nothing to do.
    console_.clear();
    evStatusLine();
    EXPECT_EQ(console_.out(), "");
}

TEST_F(OutputTest, StatusLineRedrawOverwritesTheOldLine) {
    size_t first = showStatusLine();
    clock_.advanceMs(1000);
    evStatusRebuild.store(1);
    evStatusLine();
    EXPECT_BYTES_EQ(
        repeat('\b', first) + "03:25:08 ZUNT Qm(INITIALISING) Events(0) Stats(0) Cmds(0) Alerts(0)",
        console_.out());
}

TEST_F(OutputTest, StateWordFollowsItsPrecedence) {
    auto word = [this]() {
        showStatusLine();
        char text[256];
        evStatusText(text, sizeof text);
        std::string s(text);
        size_t open = s.find("Qm(");
        return s.substr(open + 3, s.find(')', open) - open - 3);
    };
    EXPECT_EQ(word(), "INITIALISING");
    evRunState.connected.store(1);
    EXPECT_EQ(word(), "CONNECTED");
    evRunState.connecting.store(1);
    EXPECT_EQ(word(), "CONNECTING");
    evRunState.disconnecting.store(1);
    EXPECT_EQ(word(), "DISCONNECTING");
    evRunState.retrying.store(1);
    EXPECT_EQ(word(), "RETRYING");
}

TEST_F(OutputTest, LoadedCountOnlyWhileConnectedAndNotReady) {
    evSetStatusSource([](StatusCounts *counts) { *counts = {0, 0, 0, 0, 4321}; });
    auto text = [this]() {
        showStatusLine();
        char buffer[256];
        evStatusText(buffer, sizeof buffer);
        return std::string(buffer);
    };
    EXPECT_EQ(text().find("Loaded"), std::string::npos);
    evRunState.connected.store(1);
    EXPECT_EQ(text(), "03:25:07 ZUNT Qm(CONNECTED) Events(0) Stats(0) Cmds(0) Alerts(0) - Loaded 4321");
    evRunState.ready.store(1);
    EXPECT_EQ(text().find("Loaded"), std::string::npos);
}

TEST_F(OutputTest, NoStatusLineWithLetterNDebugModeBackgroundOrNoTerminalButMessagesStillPrint) {
    auto check = [this](const char *why) {
        SCOPED_TRACE(why);
        evStatusRebuild.store(1);
        evStatusLine();
        EXPECT_EQ(evStatusShown.load(), 0u);
        bool background = evRunState.background.load() != 0;
        evOutput(EV_OUT_INFO, "message", -1, 0);
        EXPECT_EQ(console_.out(), background ? "" : "message\n");
        console_.clear();
    };
    evSetDebugFlags("N");
    check("letter N");
    evSetDebugFlags("");
    evRunState.debugMode.store(1);
    check("debug mode");
    evRunState.debugMode.store(0);
    console_.setTerminal(false);
    check("not a terminal");
    console_.setTerminal(true);
    evRunState.background.store(1);
    check("background");
}

TEST_F(OutputTest, BackgroundWritesNothingToTheConsoleButTheLogHasTheLine) {
    evRunState.background.store(1);
    evOutput(EV_OUT_PROGRESS, "ZUNT Initialising...", -1, 1);
    evOutput(EV_OUT_ERROR, "Something failed", -1, 1);
    EXPECT_EQ(console_.out(), "");
    std::string log = logText();
    EXPECT_NE(log.find("[03:25:07] ZUNT Initialising...\n"), std::string::npos) << log;
    EXPECT_NE(log.find("           *** Something failed ***\n"), std::string::npos) << log;
}

TEST_F(OutputTest, WithoutTheLogFlagNothingReachesTheLog) {
    evOutput(EV_OUT_INFO, "console only", -1, 0);
    EXPECT_EQ(console_.out(), "console only\n");
    EXPECT_TRUE(dir_.list().empty());
}

TEST_F(OutputTest, FormattedOutputPrintsTheValues) {
    evOutputF(EV_OUT_INFO, 0, "Count=%d Name=%s", 3, "QM1");
    EXPECT_EQ(console_.out(), "Count=3 Name=QM1\n");
}

TEST_F(OutputTest, PrintDebugModeWipesTheStatusLineAndPrintsTheLine) {
    evStatusShown.store(12);
    evPrintDebugMode();
    EXPECT_BYTES_EQ(repeat('\b', 2) + repeat(' ', 2) + repeat('\b', 12) + "Debug Mode\n", console_.out());
    EXPECT_EQ(evStatusShown.load(), 0u);
}

TEST_F(OutputTest, ConsoleDebugModeWipesTheStatusLineAndNestsForItsOwnThread) {
    evStatusShown.store(5);
    evConsoleDebugMode(1);
    EXPECT_BYTES_EQ(repeat('\b', 5) + repeat(' ', 5) + repeat('\b', 5), console_.out());
    EXPECT_EQ(CSRecursiveHeldCount(&gLogConsoleLock), 1u);
    evOutput(EV_OUT_INFO, "inside", -1, 0);  // the holder itself still prints
    evConsoleDebugMode(0);
    EXPECT_EQ(CSRecursiveHeldCount(&gLogConsoleLock), 0u);
    EXPECT_NE(console_.out().find("inside\n"), std::string::npos);
}

TEST_F(OutputTest, LockConsoleTakesTheLockOnceForTheCallersFlag) {
    int32_t held = 0;
    evLockConsole(&held);
    evLockConsole(&held);
    EXPECT_EQ(held, 1);
    EXPECT_EQ(CSRecursiveHeldCount(&gLogConsoleLock), 1u);
    evUnlockConsole(&held);
    evUnlockConsole(&held);
    EXPECT_EQ(held, 0);
    EXPECT_EQ(CSRecursiveHeldCount(&gLogConsoleLock), 0u);
}

TEST(DebugLetters, EachLetterSetsItsBitsAndALaterCallReplacesTheWord) {
    evSetDebugFlags("sh");
    EXPECT_EQ(evDebugFlags.load(), 0x81u);
    evSetDebugFlags("z");
    EXPECT_EQ(evDebugFlags.load(), 0x100000u);
    evSetDebugFlags("G");
    EXPECT_EQ(evDebugFlags.load(), 0x1800000u);
    evSetDebugFlags("hsshxyZ!");  // order, repetition and unknown letters do not matter
    EXPECT_EQ(evDebugFlags.load(), 0x81u);
    evSetDebugFlags("");
    EXPECT_EQ(evDebugFlags.load(), 0u);
    evSetDebugFlags("spcdthSlrTfDvRNiHzAageG");
    EXPECT_EQ(evDebugFlags.load(), 0x3FDFFE7u);
    evSetDebugFlags(nullptr);
    EXPECT_EQ(evDebugFlags.load(), 0u);
}

}  // namespace
