// The run on the main thread: the start-up's texts, one tick of the main loop (zone refresh,
// heartbeat, keys, status words) and the shutdown's order, with fake connect and disconnect
// sequences on the worker pool.
#include <signal.h>

#include "engine_testing.h"

namespace {

using et::note;
using et::noted;

std::atomic<int> connectDelayMs{0};
std::atomic<int> connectSucceeds{0};
std::atomic<int> disconnectDelayMs{0};
std::atomic<int> disconnectHolds{0};  // while set, the fake disconnect does not finish

void sleepReal(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

void fakeConnect(WorkItem *) {
    note("connect");
    sleepReal(connectDelayMs.load());
    if (connectSucceeds.load()) {
        for (auto &handle : evConnHandles) handle.store(1);
        evRunState.connected.store(1);
        evRunState.ready.store(1);
    }
    note("connect-end");
    evRetryMarkAttempt(evClockNow());
    evRunState.connecting.store(0);
}

// Set C's handles go first, then set E's MQDISC takes its time, as the real sequence does.
void fakeDisconnect(WorkItem *) {
    evConnHandles[EV_CONN_C_EVENT].store(-1);
    evConnHandles[EV_CONN_C_STATE].store(-1);
    evConnHandles[EV_CONN_C_STATEN].store(-1);
    sleepReal(disconnectDelayMs.load());
    while (disconnectHolds.load() != 0) sleepReal(5);
    for (auto &handle : evConnHandles) handle.store(-1);
    note("Disconnect complete");
    CSRecursiveGuard guard(gStructureLock);
    evRunState.connected.store(0);
    evRunState.disconnecting.store(0);
}

const EvSequences kFakes = {fakeConnect, fakeDisconnect};

void noteEndSession() {
    note("end-session");
}

class Run : public et::EngineTest {
protected:
    void SetUp() override {
        EngineTest::SetUp();
        connectDelayMs = 0;
        connectSucceeds = 0;
        disconnectDelayMs = 0;
        disconnectHolds = 0;
        evSetSequences(&kFakes);
        evServices.endSession = noteEndSession;
    }
    int run(std::vector<const char *> args) {
        const char *argv[32] = {"zunt"};
        int argc = 1;
        for (const char *arg : args) argv[argc++] = arg;
        EvEnvironment env{nullptr, dir.path().c_str(), nullptr, nullptr};
        return evMain(argc, argv, &env);
    }
    int index(const std::string &event) {
        auto all = noted();
        for (size_t i = 0; i < all.size(); i++)
            if (all[i] == event) return static_cast<int>(i);
        return -1;
    }
    zt::TestClock clock;
    zt::ConsoleCapture console{false};
};

TEST_F(Run, AnOptionErrorPrintsTheVersionLineMessageAndUsageAndConnectsNothing) {
    EXPECT_EQ(run({"foo"}), EV_EXIT_USAGE);
    char usage[EV_OPTION_ERROR_MAX];
    evUsageText(usage, sizeof usage);
    EXPECT_EQ(console.out(), "ZUNT Version:9.4.1 (64 Bit) Build Date:Mar  3 2025\n\n");
    EXPECT_EQ(console.err(), std::string("Unrecognised parameter 'foo'\n\n") + usage);
    EXPECT_TRUE(noted().empty());
    EXPECT_EQ(evEndFlag.load(), 1);
}

TEST_F(Run, ABadSchemeEndsBeforeStartingAndVerboseLettersReplaceTheWord) {
    evDebugFlags.store(EV_DBG_h);
    evDebugOptions.store(EV_OPT_g);
    EXPECT_EQ(run({"-v", "r", "-D", "k", "-r", "5(2)x", "-m", "QM1"}), EV_EXIT_USAGE);
    EXPECT_EQ(evDebugFlags.load(), EV_DBG_r);
    EXPECT_EQ(evDebugOptions.load(), EV_OPT_g | EV_OPT_k);
    const std::string out = console.out();
    EXPECT_NE(out.find("Log Root Directory:" + dir.path() + "\n"), std::string::npos);
    EXPECT_NE(out.find("Invalid retry parameter : 5(2)x\n"), std::string::npos);
    EXPECT_EQ(out.find("Shutting down"), std::string::npos);  // never started: straight to the final wait
    EXPECT_TRUE(noted().empty());
    const std::string log = logText();
    EXPECT_NE(log.find("Queue Manager: QM1"), std::string::npos);
    EXPECT_NE(log.find("Background(No) Service(No) MaxMQCmdL(942) MaxMQCmdLzOS(942)"), std::string::npos);
}

TEST_F(Run, StartUpLinesThenQuitShutsDownInOrder) {
    connectSucceeds = 1;
    et::setKeys({0, 'Q', 'y'});
    EXPECT_EQ(run({"-m", "QM1", "-o", "S", "-o", "A"}), 0);
    const std::string out = console.out();
    EXPECT_EQ(out.rfind("ZUNT Version:9.4.1 (64 Bit) Build Date:Mar  3 2025\n\nLog Root Directory:", 0), 0u);
    EXPECT_NE(out.find("ZUNT Initialising...\nConnect sequence for 'QM1'\n"), std::string::npos);
    EXPECT_NE(out.find("Are you sure you want to quit?\nShutting down....\nShutting down complete.\n"),
              std::string::npos);
    EXPECT_EQ(evConnectSuppress.load(), EV_SUPPRESS_ACCOUNTING);
    EXPECT_LT(index("Disconnect complete"), index("end-session"));
    EXPECT_GE(index("Disconnect complete"), 0);
    const std::string log = logText();
    EXPECT_NE(log.find("Absorb - Grace(15) Sweep(Disabled)"), std::string::npos);
    EXPECT_NE(log.find("Emit Fail - Delay(5) DelayMax(300)"), std::string::npos);
    EXPECT_NE(log.find("Retry Scheme 'default' : 60s x 10 then 300s x 999999999"), std::string::npos);
    EXPECT_NE(evSettings.startTimeText[0], '\0');
}

TEST_F(Run, XSkipsTheWaitAndTheTeardown) {
    connectSucceeds = 1;
    disconnectHolds = 1;
    et::setKeys({0, 'Q', 'y', 0, 'x'});
    EXPECT_EQ(run({}), 0);
    EXPECT_NE(console.out().find("Shutting down....\nShutting down complete.\n"), std::string::npos);
    EXPECT_EQ(index("end-session"), -1);
    disconnectHolds = 0;
}

TEST_F(Run, AQuitDuringAConnectWaitsForItBeforeFreeing) {
    connectDelayMs = 300;
    et::setKeys({'Q', 'y'});
    EXPECT_EQ(run({}), 0);
    ASSERT_GE(index("connect-end"), 0);
    EXPECT_LT(index("connect-end"), index("end-session"));
}

std::atomic<int> blockerHeld{0};
void blocker(WorkItem *) {
    while (blockerHeld.load() != 0) sleepReal(5);
}

TEST_F(Run, TheDrainGivesUpAfter200PassesAndTracesEachWithLetterZ) {
    blockerHeld = 1;
    WorkItem item{};
    item.function = blocker;
    ASSERT_EQ(evWorkPost(&item), 0);
    et::setKeys({'Q', 'y'});
    EXPECT_EQ(run({"-v", "z"}), 0);
    blockerHeld = 0;
    const std::string out = console.out();
    EXPECT_EQ(et::countOf(out, "LoopCount="), 200);
    EXPECT_NE(out.find("LoopCount=200 WorkerThreads="), std::string::npos);
    EXPECT_NE(out.find("LoopCount=1 WorkerThreads="), std::string::npos);
}

TEST_F(Run, NoConnectStartsBeforeTheDisconnectHasEnded) {
    // The queue manager ended mid-connect: connected was never set, and the disconnect clears set C's
    // handles long before set E's MQDISC returns.
    disconnectDelayMs = 300;
    ASSERT_EQ(evSetRetryScheme("1(50)"), 1);
    for (auto &handle : evConnHandles) handle.store(1);
    evStopAndDisconnect(-1);
    int32_t hook = 0;
    for (int i = 0; i < 100 && index("connect") < 0; i++) {
        clock.advanceMs(1000);
        evClockTick();
        evRetryConnection(&hook);
        sleepReal(10);
    }
    ASSERT_GE(index("connect"), 0);
    ASSERT_TRUE(et::waitFor([&] { return index("Disconnect complete") >= 0; }));
    EXPECT_LT(index("Disconnect complete"), index("connect"));
}

class Tick : public Run {
protected:
    void SetUp() override {
        Run::SetUp();
        evRunState.connected.store(1);  // no retry step
        evRunState.ready.store(1);
    }
};

// Storm checks and alert expiry are due items on the timed list: only a tick while ready and
// connected runs them, and only once due.
TEST_F(Tick, DueTimedItemsRunOnlyWhileReadyAndConnected) {
    static std::atomic<int> checks{0};
    checks = 0;
    const auto saved = cfgEngine.stormCheck;
    cfgEngine.stormCheck = [](evTimedItem *) { checks++; };
    evTimedItem item{};
    item.kind = EV_TIMED_STORM;
    item.due = evClockNow() + 100;
    ASSERT_EQ(evTimedItemSchedule(&item, 1), 1);
    int32_t hook = 0;
    evMainTick(&hook);
    EXPECT_EQ(checks.load(), 0);  // not due yet
    evRunState.ready.store(0);
    clock.set(evClockNow() + 200);
    evMainTick(&hook);
    EXPECT_EQ(checks.load(), 0);  // due, but not ready
    evRunState.ready.store(1);
    evMainTick(&hook);
    EXPECT_EQ(checks.load(), 1);
    evMainTick(&hook);
    EXPECT_EQ(checks.load(), 1);
    cfgEngine.stormCheck = saved;
}

TEST_F(Tick, Keys) {
    evHandleTermination();
    struct Case {
        std::vector<int32_t> keys;
        bool raiseTerm;
        int result;
        const char *out;
        uint64_t sleeps;
    } cases[] = {
        {{'q'}, false, 1, "Unrecognised command 'q'.\n", 0},
        {{'Q', 'n'}, false, 1, "Are you sure you want to quit?\nQuit cancelled\n", 0},
        {{'Q', 0, 0, 'Y'}, false, 0, "Are you sure you want to quit?\n", 2},
        {{'Q'}, true, 0, "Are you sure you want to quit?\n", 0},
        {{'!'}, false, 1, "Debug Mode\n", 1},
        {{'\r', ' '}, false, 1, "", 1},
    };
    for (const Case &c : cases) {
        console.clear();
        evEndFlag.store(0);
        evRunState.debugMode.store(0);
        {
            std::lock_guard<std::mutex> lock(et::keyMutex);
            et::keyScript.assign(c.keys.begin(), c.keys.end());
        }
#ifdef _WIN32
        // A console's close notice cannot be sent to oneself: its handler's effect stands in.
        if (c.raiseTerm) et::onKeyDrained = [] { evEndFlag.store(1); };
#else
        if (c.raiseTerm) et::onKeyDrained = [] { raise(SIGTERM); };
#endif
        const uint64_t before = clock.sleepCount();
        int32_t hook = 1;
        EXPECT_EQ(evMainTick(&hook), c.result) << c.out;
        EXPECT_EQ(console.out(), c.out);
        EXPECT_EQ(clock.sleepCount() - before, c.sleeps) << c.out;
    }
    EXPECT_EQ(evRunState.debugMode.load(), 0);
    et::setKeys({'!'});
    int32_t hook = 1;
    evMainTick(&hook);
    EXPECT_EQ(evRunState.debugMode.load(), 1);
    EXPECT_EQ(et::keyReads.load() > 0, true);
    const int reads = et::keyReads.load();
    evMainTick(&hook);  // debug mode: the keyboard is no longer served
    EXPECT_EQ(et::keyReads.load(), reads);
    evEndFlag.store(0);
}

TEST_F(Tick, TheZoneIsRefreshedAtTheFirstTickThenAtThreeNextDay) {
    zt::ScopedTZ tz("UTC");
    const int64_t tenOClock = 1767225600 + 10 * 3600;  // 2026-01-01 10:00
    clock.set(tenOClock);
    evStartTimeZone(tenOClock);
    EXPECT_EQ(evTzNextRefresh.load(), 1767225600 + 3 * 3600);
    int32_t hook = 1;
    evMainTick(&hook);
    const int64_t nextDay = 1767225600 + 86400 + 3 * 3600;
    EXPECT_EQ(evTzNextRefresh.load(), nextDay);
    clock.set(nextDay - 1);
    evMainTick(&hook);
    EXPECT_EQ(evTzNextRefresh.load(), nextDay);
    clock.set(nextDay);
    evMainTick(&hook);
    EXPECT_EQ(evTzNextRefresh.load(), nextDay + 86400);
}

TEST_F(Tick, TheHeartbeatComesOnlyAfterASilentInterval) {
    for (int32_t heartbeat : {60, 0}) {
        et::setLogRoot(dir.path(), heartbeat);
        logWrite(nullptr, EV_OUT_INFO, "some line", -1);
        int32_t hook = 1;
        for (int i = 0; i < 58; i++) evMainTick(&hook);
        EXPECT_EQ(et::countOf(logText(), "ZUNT Log Heartbeat"), 0);
        for (int i = 0; i < 130; i++) evMainTick(&hook);
        EXPECT_EQ(et::countOf(logText(), "ZUNT Log Heartbeat"), heartbeat != 0 ? 3 : 0)
            << heartbeat;  // at 60, 120 and 180 s
        for (const std::string &name : dir.list()) std::remove(dir.file(name).c_str());
    }
}

TEST_F(Tick, TheStatusWordFollowsTheStateFlags) {
    struct Case {
        uint8_t retrying, disconnecting, connecting, connected;
        const char *word;
    } cases[] = {{1, 1, 1, 1, "RETRYING"},
                 {0, 1, 1, 1, "DISCONNECTING"},
                 {0, 0, 1, 1, "CONNECTING"},
                 {0, 0, 0, 1, "CONNECTED"},
                 {0, 0, 0, 0, "INITIALISING"}};
    for (const Case &c : cases) {
        evRunState.retrying.store(c.retrying);
        evRunState.disconnecting.store(c.disconnecting);
        evRunState.connecting.store(c.connecting);
        evRunState.connected.store(c.connected);
        evEndFlag.store(1);  // keeps the retry step out
        int32_t hook = 1;
        evMainTick(&hook);
        char text[256];
        evStatusText(text, sizeof text);
        EXPECT_NE(std::string(text).find(std::string("Qm(") + c.word + ")"), std::string::npos) << text;
    }
    evRunState.connecting.store(0);
    evRunState.retrying.store(0);
    evRunState.disconnecting.store(0);
}

}  // namespace
