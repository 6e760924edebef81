// The log's settings and DEADQ change (ALTER EV, the debug command, the configuration load) while the
// main loop tests its heartbeat, the status line shows the name and DISPLAY EV answers with the names
// and limits: every reader sees one whole setting, never half of each.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <string>
#include <thread>

#include "cmdserver_testing.h"
#include "engine/engine.h"
#include "testing/testing.h"

namespace {

using ct::fake;
using ct::PcfBuilder;

struct Shown {
    const char *name;
    const char *descr;
    int32_t ageMinutes, sizeKb, retentionDays;
    int32_t heartbeat;
};
// Names of different lengths and limits that all differ, so that a mix of the two is seen.
constexpr Shown kShown[] = {{"ALPHA", "the first settings", 10, 2, 1, 60},
                            {"BRAVO2", "the second", 20, 5, 2, 0}};

std::string trimmed(std::string text) {
    while (!text.empty() && (text.back() == ' ' || text.back() == '\0')) text.pop_back();
    return text;
}

class LogSettingsReaders : public ct::CmdTest {
protected:
    void SetUp() override {
        CmdTest::SetUp();
        for (uint32_t code = 9000; code <= 9033; code++) evRegisterCommandHandler(code, nullptr);
        InitialiseCommandFields();
        logGetSettings(&saved_);
        for (int i = 0; i < 2; i++) {
            const Shown &s = kShown[i];
            paths_[i] = dir_.file(i == 0 ? "a" : "bb");
            std::filesystem::create_directory(paths_[i]);
            LogSettings &l = settings_[i];
            l = saved_;
            std::snprintf(l.name, sizeof l.name, "%s", s.name);
            std::snprintf(l.descr, sizeof l.descr, "%s", s.descr);
            std::snprintf(l.logPath, sizeof l.logPath, "%s", paths_[i].c_str());
            l.maxLogAge = s.ageMinutes * 60;
            l.maxLogSize = int64_t{s.sizeKb} * 1024;
            l.logRetention = s.retentionDays * 86400;
            l.heartbeat = s.heartbeat;
        }
        logSetSettings(&settings_[0]);
        // Connected but not ready: the tick neither retries nor runs timed work; in the background it
        // serves no keys and draws nothing, yet builds the status text.
        evRunState.background.store(1);
        evRunState.connected.store(1);
    }
    void TearDown() override {
        evRunState.connected.store(0);
        evRunState.background.store(0);
        logClose();
        logSetSettings(&saved_);
        CmdTest::TearDown();
    }
    // Which of the two settings a shown name belongs to; -1 for neither.
    static int whichName(const std::string &name) {
        for (int i = 0; i < 2; i++)
            if (name == kShown[i].name) return i;
        return -1;
    }
    // One DISPLAY EV: every name and limit shown comes from the same settings.
    void displayOnce() {
        fake.puts.clear();
        ASSERT_EQ(runPcf(ct::withList(PcfBuilder(9000).done(), 39100, {1009})), 1);
        const std::vector<ct::Pcf> shown = responses();
        ASSERT_EQ(shown.size(), 1u);
        const ct::Pcf &ev = shown[0];
        const int i = whichName(trimmed(ev.get(39305).text));
        ASSERT_GE(i, 0) << ev.get(39305).text;
        EXPECT_EQ(trimmed(ev.get(39306).text), kShown[i].descr);
        EXPECT_EQ(trimmed(ev.get(39310).text), paths_[i]);
        EXPECT_EQ(ev.get(39362).value, kShown[i].ageMinutes);
        EXPECT_EQ(ev.get(39363).value, kShown[i].sizeKb);
        EXPECT_EQ(ev.get(39364).value, kShown[i].retentionDays);
    }
    zt::TestClock clock_;
    zt::TempDir dir_;
    std::string paths_[2];
    LogSettings settings_[2]{};
    LogSettings saved_{};
};

TEST_F(LogSettingsReaders, SeeOneWholeSettingWhileItChanges) {
    std::atomic<bool> stop{false};
    std::thread writer([&] {
        for (int i = 0; !stop.load(); i++) logSetSettings(&settings_[i % 2]);
    });
    std::atomic<int> mixedStatus{0};
    std::thread mainLoop([&] {
        int32_t hook = 1;
        for (int tick = 0; tick < 300; tick++) {
            evMainTick(&hook);
            char text[256];
            evStatusText(text, sizeof text);
            const std::string status(text);  // "hh:mm:ss NAME Qm(..."
            const size_t start = status.find(' ') + 1;
            if (whichName(status.substr(start, status.find(" Qm(") - start)) < 0) mixedStatus++;
        }
    });
    for (int round = 0; round < 300 && !HasFatalFailure(); round++) displayOnce();
    mainLoop.join();
    stop.store(true);
    writer.join();
    EXPECT_EQ(mixedStatus.load(), 0);
}

// DEADQ changes while DISPLAY EV answers: the configuration load writes it on the connect worker,
// while the command server's reads run on set C's callback.
TEST_F(LogSettingsReaders, SeeOneWholeDeadQueueWhileItChanges) {
    const char *const names[] = {"DLQ.A", "THE.OTHER.DEAD.LETTER.QUEUE"};
    EvSettingsValues values[2];
    for (int i = 0; i < 2; i++) {
        evSettingsRead(&values[i]);
        std::snprintf(values[i].deadQueue, sizeof values[i].deadQueue, "%s", names[i]);
    }
    // One of the two from the start: the writer thread may not have run before the first display.
    evSettingsWrite(&values[0]);
    std::atomic<bool> stop{false};
    std::thread load([&] {
        for (int i = 0; !stop.load(); i++) evSettingsWrite(&values[i % 2]);
    });
    for (int round = 0; round < 300 && !HasFailure(); round++) {
        fake.puts.clear();
        ASSERT_EQ(runPcf(ct::withList(PcfBuilder(9000).done(), 39100, {1009})), 1);
        const std::vector<ct::Pcf> shown = responses();
        ASSERT_EQ(shown.size(), 1u);
        const std::string deadQueue = trimmed(shown[0].get(39359).text);
        EXPECT_TRUE(deadQueue == names[0] || deadQueue == names[1]) << deadQueue;
    }
    stop.store(true);
    load.join();
    values[0].deadQueue[0] = '\0';
    evSettingsWrite(&values[0]);
}

}  // namespace
