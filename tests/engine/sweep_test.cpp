// The main loop's sweep decision and the sweep message it puts, on a test clock and a fake console
// connection.
#include <cstring>

#include "engine_testing.h"

namespace {

struct Put {
    MQHOBJ hobj;
    MQMD md;
    MQPMO pmo;
    std::vector<uint8_t> data;
};
std::vector<Put> puts;
std::vector<std::string> opened;
int closes = 0;
MQLONG putReason = 0;
MQLONG openReason = 0;

extern "C" void fakeOpen(MQHCONN, PMQVOID od, MQLONG options, PMQHOBJ hobj, PMQLONG cc, PMQLONG rc) {
    const auto *desc = static_cast<const MQOD *>(od);
    opened.push_back(std::string(desc->ObjectName, strnlen(desc->ObjectName, MQ_Q_NAME_LENGTH)) + "/" +
                     std::to_string(options));
    *hobj = openReason == 0 ? 77 : -1;
    *cc = openReason == 0 ? MQCC_OK : MQCC_FAILED;
    *rc = openReason;
}
extern "C" void fakePut(MQHCONN, MQHOBJ hobj, PMQVOID md, PMQVOID pmo, MQLONG length, PMQVOID data,
                        PMQLONG cc, PMQLONG rc) {
    const auto *bytes = static_cast<const uint8_t *>(data);
    puts.push_back({hobj, *static_cast<MQMD *>(md), *static_cast<MQPMO *>(pmo), {bytes, bytes + length}});
    *cc = putReason == 0 ? MQCC_OK : MQCC_FAILED;
    *rc = putReason;
}
extern "C" void fakeClose(MQHCONN, PMQHOBJ hobj, MQLONG, PMQLONG cc, PMQLONG rc) {
    closes++;
    *hobj = MQHO_UNUSABLE_HOBJ;
    *cc = MQCC_OK;
    *rc = 0;
}

MQIFunctionTable consoleTable() {
    MQIFunctionTable t{};
    t.MQOPEN = fakeOpen;
    t.MQPUT = fakePut;
    t.MQCLOSE = fakeClose;
    return t;
}
const MQIFunctionTable kConsole = consoleTable();

class Sweep : public et::EngineTest {
protected:
    void SetUp() override {
        EngineTest::SetUp();
        puts.clear();
        opened.clear();
        closes = putReason = openReason = 0;
        evAggrState.nextDue.store(0);
        evAggrState.lastMessage.store(0);
        evAggrState.lastSweep.store(0);
        evAggrState.lastSweepFailed.store(0);
        evAggrState.sweepPending.store(0);
        evAbsorb.grace.store(15);
        linkConsole();
    }
    void TearDown() override {
        evConsoleLink.mq.store(nullptr);
        evConsoleLink.hconn.store(-1);
        evConsoleLink.commandQueue.store(-1);
        EngineTest::TearDown();
    }
    void linkConsole() {
        evConsoleLink.mq.store(&kConsole);
        evConsoleLink.hconn.store(5);
        evConsoleLink.commandQueue.store(-1);
    }
    // One tick of the decision at the clock's time.
    void tick() { evSweepDecision(clock.now()); }
    zt::TestClock clock{1767225600};
    zt::ConsoleCapture console{false};
};

TEST_F(Sweep, DecidesBySetEQuietTheDueTimeAndTheGaps) {
    struct Case {
        const char *name;
        bool due;             // a due time is set
        int64_t dueIn;        // seconds from now
        int64_t lastMessage;  // seconds before now
        int64_t lastSweep;    // seconds before now; 0: never
        int64_t lastFailed;   // seconds before now; 0: never
        size_t sent;
    };
    const Case cases[] = {
        {"due, set E quiet past the grace", true, 0, 16, 0, 0, 1},
        {"no due time", false, 0, 16, 0, 0, 0},
        {"not due yet", true, 1, 16, 0, 0, 0},
        {"set E not quiet past the grace", true, -1, 15, 0, 0, 0},
        {"the last sweep within 5 s", true, -1, 16, 4, 0, 0},
        {"the last sweep 5 s ago", true, -1, 16, 5, 0, 1},
        {"a failed sweep within 60 s", true, -1, 16, 0, 59, 0},
        {"a failed sweep 60 s ago", true, -1, 16, 0, 60, 1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        const int64_t now = clock.now();
        evAggrState.nextDue.store(c.due ? now + c.dueIn : 0);
        evAggrState.lastMessage.store(now - c.lastMessage);
        evAggrState.lastSweep.store(c.lastSweep ? now - c.lastSweep : 0);
        evAggrState.lastSweepFailed.store(c.lastFailed ? now - c.lastFailed : 0);
        tick();
        EXPECT_EQ(puts.size(), c.sent);
    }
}

TEST_F(Sweep, TwoDueTimesWithinFiveSecondsSendOne) {
    evAggrState.nextDue.store(clock.now());
    tick();
    ASSERT_EQ(puts.size(), 1u);
    EXPECT_EQ(evAggrState.sweepPending.load(), 0);
    EXPECT_EQ(evAggrState.lastSweep.load(), clock.now());
    clock.advanceMs(4000);
    evAggrState.nextDue.store(clock.now());
    tick();
    EXPECT_EQ(puts.size(), 1u);
    EXPECT_EQ(evAggrState.sweepPending.load(), 1);  // waits for its gap, not dropped
    clock.advanceMs(1000);
    tick();
    EXPECT_EQ(puts.size(), 2u);
    EXPECT_EQ(opened.size(), 1u);  // the command queue stays open between sweeps
}

TEST_F(Sweep, AFailedPutReopensAndWaitsSixtySeconds) {
    evDebugFlags.store(EV_DBG_g);
    putReason = MQRC_Q_FULL;
    evAggrState.nextDue.store(clock.now());
    tick();
    ASSERT_EQ(puts.size(), 1u);
    EXPECT_EQ(closes, 1);
    EXPECT_EQ(evConsoleLink.commandQueue.load(), -1);
    EXPECT_EQ(evAggrState.lastSweepFailed.load(), clock.now());
    EXPECT_NE(console.out().find("Sweep message failed RC(2053)"), std::string::npos);
    putReason = 0;
    clock.advanceMs(59000);
    tick();
    EXPECT_EQ(puts.size(), 1u);
    clock.advanceMs(1000);
    tick();
    ASSERT_EQ(puts.size(), 2u);
    EXPECT_EQ(opened.size(), 2u);
    EXPECT_EQ(evAggrState.lastSweepFailed.load(), 0);
}

TEST_F(Sweep, WithoutADueTimeNothingIsSent) {
    // -o S: the aggregation code sets no due time.
    evAbsorb.sweepDisabled.store(1);
    for (int i = 0; i < 100; i++) {
        tick();
        clock.advanceMs(1000);
    }
    EXPECT_TRUE(puts.empty());
    EXPECT_TRUE(opened.empty());
}

TEST_F(Sweep, AnEmptyLinkOrAFailedOpenMakesTheLastFailureNow) {
    for (int failedOpen = 0; failedOpen < 2; failedOpen++) {
        SCOPED_TRACE(failedOpen ? "failed open" : "empty link");
        SetUp();
        if (failedOpen)
            openReason = MQRC_UNKNOWN_OBJECT_NAME;
        else
            evConsoleLink.hconn.store(-1);
        evAggrState.nextDue.store(clock.now());
        tick();
        EXPECT_TRUE(puts.empty());
        EXPECT_EQ(evAggrState.lastSweepFailed.load(), clock.now());
        EXPECT_EQ(evAggrState.sweepPending.load(), 1);
    }
}

TEST_F(Sweep, TheMessageIsOneCommandHeaderOfDisplayAcctQ) {
    evDebugFlags.store(EV_DBG_g);
    evSendSweepMessage();
    ASSERT_EQ(opened, std::vector<std::string>{std::string(EV_COMMAND_QUEUE_NAME) + "/16"});
    ASSERT_EQ(puts.size(), 1u);
    const Put &put = puts[0];
    EXPECT_EQ(put.hobj, 77);
    const std::vector<uint8_t> cfh =
        zt::fromHex("01000000 24000000 01000000 42230000 01000000 01000000 00000000 00000000 00000000");
    EXPECT_TRUE(zt::bytesEqual(cfh.data(), cfh.size(), put.data.data(), put.data.size()));
    EXPECT_EQ(put.md.Version, MQMD_VERSION_1);
    EXPECT_EQ(put.md.MsgType, MQMT_DATAGRAM);
    EXPECT_EQ(std::string(put.md.Format, 8), "MQADMIN ");
    EXPECT_EQ(put.md.Encoding, 546);
    EXPECT_EQ(put.md.CodedCharSetId, 0);
    EXPECT_EQ(put.md.Expiry, MQEI_UNLIMITED);
    EXPECT_EQ(put.md.Priority, MQPRI_PRIORITY_AS_Q_DEF);
    EXPECT_EQ(put.md.Persistence, MQPER_PERSISTENCE_AS_Q_DEF);
    EXPECT_EQ(put.pmo.Version, MQPMO_VERSION_1);
    EXPECT_EQ(put.pmo.Options, 0x2004);
    EXPECT_NE(console.out().find("Sending sweep message"), std::string::npos);
}

}  // namespace
