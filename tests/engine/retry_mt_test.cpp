// Retry schemes: the rows and custom texts, the waits and attempts they give, their texts, and
// which reasons end the program. Connect attempts run a fake sequence on the worker pool.
#include "engine_testing.h"

namespace {

using et::note;

std::atomic<int> attempts{0};

// A connect that fails: what the real sequence does at its end.
void failingConnect(WorkItem *) {
    attempts++;
    note("connect");
    evRetryMarkAttempt(evClockNow());
    evRunState.connecting.store(0);
}

const EvSequences kFailing = {failingConnect, nullptr};

class Retry : public et::EngineTest {
protected:
    void SetUp() override {
        EngineTest::SetUp();
        attempts = 0;
        evSetSequences(&kFailing);
    }
    // One retry step per simulated second, each after the attempt before it has finished.
    void tick(int32_t *hookFlag) {
        ASSERT_TRUE(et::waitFor([] { return evRunState.connecting.load() == 0; }));
        clock.advanceMs(1000);
        evClockTick();
        evRetryConnection(hookFlag);
    }
    zt::TestClock clock;
    zt::ConsoleCapture console{false};
};

TEST_F(Retry, NamedAndCustomSchemes) {
    struct Case {
        const char *text;
        int ok;
        RetryScheme row;
        const char *line;
    } cases[] = {
        {"low", 1, {"low", 120, 5, 600, 999999999}, "Retry Scheme 'low' : 120s x 5 then 600s x 999999999"},
        {"HIGH", 1, {"high", 10, 60, 60, 999999999}, "Retry Scheme 'high' : 10s x 60 then 60s x 999999999"},
        {"none", 1, {"none", 0, 0, 0, 0}, "No connection retries requested."},
        {"5(2)", 1, {"Custom", 5, 2, 300, 999999999}, "Retry Scheme 'Custom' : 5s x 2 then 300s x 999999999"},
        {"(3),30",
         1,
         {"Custom", 60, 3, 30, 999999999},
         "Retry Scheme 'Custom' : 60s x 3 then 30s x 999999999"},
        {" 7 ( 4 ) , ( 1 )", 1, {"Custom", 7, 4, 300, 1}, "Retry Scheme 'Custom' : 7s x 4 then 300s x 1"},
        {"5(2)x", 0, {}, "Invalid retry parameter : 5(2)x"},
        {"5x", 0, {}, "Invalid retry parameter : 5x"},
        {"1,2,3", 0, {}, "Invalid retry parameter : 1,2,3"},
        {"5(", 0, {}, "Invalid retry parameter : 5("},
        {"bogus", 0, {}, "Invalid retry parameter : bogus"},
        {"2147483648(1)", 0, {}, "Invalid retry parameter : 2147483648(1)"},  // past the range
    };
    evDebugFlags.store(EV_DBG_r);  // the scheme's line also on the console
    for (const Case &c : cases) {
        console.clear();
        EXPECT_EQ(evSetRetryScheme(c.text), c.ok) << c.text;
        EXPECT_NE(console.out().find(c.line), std::string::npos) << c.text << ": " << console.out();
        if (!c.ok) continue;
        EvRetrySnapshot s{};
        evRetryState(&s);
        EXPECT_STREQ(s.chosen->name, c.row.name);
        EXPECT_EQ(s.working.interval1, c.row.interval1) << c.text;
        EXPECT_EQ(s.working.count1, c.row.count1) << c.text;
        EXPECT_EQ(s.working.interval2, c.row.interval2) << c.text;
        EXPECT_EQ(s.working.count2, c.row.count2) << c.text;
    }
}

TEST_F(Retry, SchemeLineGoesToTheLogOnlyWithoutLetterR) {
    ASSERT_EQ(evSetRetryScheme("5(2)"), 1);
    EXPECT_EQ(console.out().find("Retry Scheme"), std::string::npos);
    EXPECT_NE(logText().find("Retry Scheme 'Custom' : 5s x 2 then 300s x 999999999"), std::string::npos);
}

TEST_F(Retry, BothPhasesRunOutThenTheProgramEnds) {
    ASSERT_EQ(evSetRetryScheme("2(2),3(1)"), 1);
    int32_t hook = 1;
    evStartConnectSequence();
    for (int i = 0; i < 30 && evEndFlag.load() == 0; i++) tick(&hook);
    EXPECT_EQ(attempts.load(), 3);
    const std::string out = console.out();
    EXPECT_EQ(et::countOf(out, "Connect sequence for ''"), 3);
    // One announcement per attempt that is followed by a wait.
    EXPECT_EQ(et::countOf(out, "Connection will be retried in 1 Sec \n"), 1);
    EXPECT_EQ(et::countOf(out, "Connection will be retried in 2 Secs \n"), 1);
    EXPECT_NE(out.find("Connection retry sequence complete, ZUNT ending\n"), std::string::npos);
    EXPECT_EQ(evEndFlag.load(), 1);
}

TEST_F(Retry, NoneTriesOnceAndSaysSo) {
    ASSERT_EQ(evSetRetryScheme("none"), 1);
    int32_t hook = 1;
    evStartConnectSequence();
    tick(&hook);
    EXPECT_EQ(attempts.load(), 1);
    EXPECT_NE(console.out().find("No connection retry configured, ZUNT ending\n"), std::string::npos);
    EXPECT_EQ(evEndFlag.load(), 1);
}

TEST_F(Retry, RemainingTimeIsSpelledInUnits) {
    struct Case {
        int wait;
        const char *text;
    } cases[] = {{91, "1 Min 30 Secs "}, {61, "1 Min "}, {3662, "1 Hr 1 Min 1 Sec "}};
    for (const Case &c : cases) {
        console.clear();
        evEndFlag.store(0);
        char scheme[32];
        std::snprintf(scheme, sizeof scheme, "%d(5)", c.wait);
        ASSERT_EQ(evSetRetryScheme(scheme), 1);
        int32_t hook = 1;
        evStartConnectSequence();
        tick(&hook);
        EXPECT_NE(console.out().find(std::string("Connection will be retried in ") + c.text + "\n"),
                  std::string::npos)
            << console.out();
        EXPECT_EQ(evRunState.retrying.load(), 1);
    }
}

int hookCalls = 0;
int retryHook(int32_t kind, void *) {
    if (kind == EV_HOOK_RETRY) hookCalls++;
    return 1;
}
int sessionExists() {
    return 1;
}

TEST_F(Retry, TheRetryHookRunsOncePerProcessBeforeTheFirstRetry) {
    hookCalls = 0;
    evServices.callHook = retryHook;
    evServices.sessionExists = sessionExists;
    ASSERT_EQ(evSetRetryScheme("1(4)"), 1);
    int32_t hook = 1;
    evStartConnectSequence();
    EXPECT_EQ(hookCalls, 0);
    for (int i = 0; i < 6; i++) tick(&hook);
    EXPECT_EQ(hookCalls, 1);
    EXPECT_EQ(hook, 0);
    EXPECT_GE(attempts.load(), 4);
}

TEST_F(Retry, ARefillAfterAConnectStartsAFreshScheme) {
    // The last attempt of the scheme connects: the wait is 0 until the refill puts it back.
    ASSERT_EQ(evSetRetryScheme("1(1),(0)"), 1);
    int32_t hook = 1;
    evStartConnectSequence();
    tick(&hook);  // uses up the scheme's one retry
    ASSERT_TRUE(et::waitFor([] { return evRunState.connecting.load() == 0; }));
    EvRetrySnapshot s{};
    evRetryState(&s);
    ASSERT_EQ(s.wait, 0);
    evRetryRefill();  // what the connect does once the sets stand
    evRetryState(&s);
    EXPECT_EQ(s.wait, 1);
    EXPECT_EQ(s.working.count1, 1);
    // The next outage is retried rather than ending the program.
    const int before = attempts.load();
    tick(&hook);
    EXPECT_EQ(evEndFlag.load(), 0);
    EXPECT_TRUE(et::waitFor([&] { return attempts.load() == before + 1; }));
}

TEST_F(Retry, NoConnectStartsWhileConnectingOrDisconnectingOrConnected) {
    ASSERT_EQ(evSetRetryScheme("1(9)"), 1);
    int32_t hook = 1;
    evStartConnectSequence();
    ASSERT_TRUE(et::waitFor([] { return evRunState.connecting.load() == 0; }));
    const int before = attempts.load();
    clock.advanceMs(5000);
    evRunState.disconnecting.store(1);
    evRetryConnection(&hook);
    evRunState.disconnecting.store(0);
    evRunState.connecting.store(1);
    evRetryConnection(&hook);
    evRunState.connecting.store(0);
    evConnHandles[EV_CONN_C_EVENT].store(7);
    evRetryConnection(&hook);
    evConnHandles[EV_CONN_C_EVENT].store(-1);
    EXPECT_EQ(et::countOf(console.out(), "Connect sequence for"), 1);
    evRetryConnection(&hook);
    EXPECT_EQ(et::countOf(console.out(), "Connect sequence for"), 2);
    EXPECT_TRUE(et::waitFor([&] { return attempts.load() == before + 1; }));
}

TEST(RetryReasons, WhichReasonsEndTheProgram) {
    const int32_t always[] = {2012, 2035, 2058};
    const int32_t service[] = {2009, 2059, 2161, 2162, 2202, 2203};
    EvStartSettings saved = evStart;
    for (int k = 0; k < 2; k++) {
        for (int separate = 0; separate < 2; separate++) {
            evStart.service = k;
            evStart.separateState = separate;
            for (int32_t reason : always) {
                EXPECT_EQ(evShouldRetry(reason, 0), 0) << reason;
                EXPECT_EQ(evShouldRetry(reason, 1), 0) << reason;
            }
            for (int32_t reason : service) {
                // As a service the program ends with its queue manager: the state one when there are two.
                EXPECT_EQ(evShouldRetry(reason, 1), k ? 0 : 1) << reason;
                EXPECT_EQ(evShouldRetry(reason, 0), k && !separate ? 0 : 1) << reason;
            }
            EXPECT_EQ(evShouldRetry(2538, 0), 1);
        }
    }
    evStart = saved;
}

}  // namespace
