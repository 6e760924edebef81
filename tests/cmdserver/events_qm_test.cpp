// DISPLAY EVENTS and DEBUG end to end on a private stand-in queue manager: events raised by the queue
// manager are stored by the engine and displayed through the command queue; DEBUG RESTART and
// SHUTDOWN act only after set C has committed the command and its reply.
#include <gtest/gtest.h>

#include <string>

#include "cmdserver/cmdserver.h"
#include "tests/engine/engine_qm.h"

namespace {

using eqm::kQmgrEvents;

class EventsQmTest : public eqm::EngineQmTest {
protected:
    void SetUp() override {
        eqm::EngineQmTest::SetUp();
        cmdInstall();
        ASSERT_EQ(qm.mqsc("DEFINE QLOCAL(REPLY.Q)\n"), 0);
        ASSERT_EQ(connect(), 1) << logText();
        evSettings.startTime.store(1);  // every command is put after the start
    }
    void TearDown() override {
        evStopPending.store(0);
        evContext.restartRequested.store(0);
        eqm::EngineQmTest::TearDown();
    }
    void send(const char *format, const std::string &data) {
        MQHOBJ hobj = openQueue(EV_COMMAND_QUEUE_NAME, MQOO_OUTPUT);
        MQMD md = MQMD_DEFAULT;
        std::memcpy(md.Format, format, MQ_FORMAT_LENGTH);
        qmt::setText(md.ReplyToQ, 48, "REPLY.Q");
        MQPMO pmo = MQPMO_DEFAULT;
        pmo.Options = MQPMO_NO_SYNCPOINT;
        MQLONG cc = 0, rc = 0;
        raw.MQPUT(own, hobj, &md, &pmo, static_cast<MQLONG>(data.size()), const_cast<char *>(data.data()),
                  &cc, &rc);
        EXPECT_EQ(rc, MQRC_NONE);
        closeQueue(&hobj);
    }
    // The next reply (waiting up to waitMs), or "".
    std::string reply(MQLONG waitMs = 5000) {
        MQHOBJ hobj = openQueue("REPLY.Q", MQOO_INPUT_SHARED);
        std::string data(65536, '\0');
        MQMD md = MQMD_DEFAULT;
        MQGMO gmo = MQGMO_DEFAULT;
        gmo.Options = MQGMO_WAIT | MQGMO_NO_SYNCPOINT;
        gmo.WaitInterval = waitMs;
        MQLONG length = 0, cc = 0, rc = 0;
        raw.MQGET(own, hobj, &md, &gmo, static_cast<MQLONG>(data.size()), data.data(), &length, &cc, &rc);
        closeQueue(&hobj);
        return cc == MQCC_FAILED ? std::string() : data.substr(0, static_cast<size_t>(length));
    }
};

TEST_F(EventsQmTest, StoredEventsAreDisplayedAsMqscAndPcf) {
    const MQLONG events = raiseEvents(2);  // held while the queue is suspended
    ASSERT_GE(events, 2);
    resumeByCommand({kQmgrEvents});
    ASSERT_TRUE(et::waitFor([&] { return storedRecords() >= static_cast<uint64_t>(events); })) << logText();
    // The window ends at the cached clock: it must have caught up with the events' put times.
    evClockTick();
    send(MQFMT_STRING, "DISPLAY EVENTS(*) EVTYPE(LOCAL) DISTYPE(DETAIL)");
    const std::string text = reply();
    EXPECT_EQ(text.rfind("AMQ8409: Display ZUNT Event details.", 0), 0u) << text;
    EXPECT_NE(text.find("EVOBJNAME(NO.SUCH.QUEUE.1)"), std::string::npos) << text;
    EXPECT_NE(text.find("EVQMGR(QM1)"), std::string::npos);

    std::string pcf(MQCFH_STRUC_LENGTH, '\0');
    MQPCFInitHeader(reinterpret_cast<uint8_t *>(pcf.data()), MQCFT_COMMAND, 9004);
    send(MQFMT_ADMIN, pcf);
    const std::string answer = reply();
    ASSERT_GE(answer.size(), MQCFH_STRUC_LENGTH);
    EXPECT_EQ(mqiGetI32(answer.data(), offsetof(MQCFH, Reason)), 0);
    EXPECT_EQ(mqiGetI32(answer.data(), offsetof(MQCFH, Command)), 9004);
}

// The restart is carried out after the commit of the command and its reply: the command is not
// redelivered and answered once.
TEST_F(EventsQmTest, DebugRestartRepliesOnceAndReconnectsOnce) {
    send(MQFMT_STRING, "DEBUG RESTART");
    EXPECT_EQ(reply(), "Debug command processed") << logText();
    ASSERT_TRUE(et::waitFor(
        [] { return evConnHandles[EV_CONN_C_EVENT].load() == -1 && evRunState.disconnecting.load() == 0; }));
    evConnectWork(nullptr);
    ASSERT_EQ(evRunState.ready.load(), 1) << logText();
    EXPECT_EQ(reply(500), "");
    EXPECT_EQ(depth(EV_COMMAND_QUEUE_NAME), 0);
    EXPECT_EQ(evContext.restartRequested.load(), 0);
    EXPECT_EQ(et::countOf(logText(), "Debug RESTART issued."), 1);
}

// Housekeeping runs in set C's unit with set E held; set E takes events again after the commit.
TEST_F(EventsQmTest, DebugHousekeepRunsWithTheEventSetHeldAndGivesItBack) {
    resumeByCommand({kQmgrEvents});
    send(MQFMT_STRING, "DEBUG HOUSEKEEP(UPDATE)");
    EXPECT_EQ(reply(), "Debug command processed") << logText();
    EXPECT_EQ(et::countOf(logText(), "Debug HOUSEKEEP started."), 1);
    const uint64_t before = storedRecords();
    raiseEvents(1);  // taken at once: set E runs again
    EXPECT_TRUE(et::waitFor([&] { return storedRecords() > before; })) << logText();
    EXPECT_EQ(depth(kQmgrEvents), 0);
    EXPECT_EQ(depth(EV_COMMAND_QUEUE_NAME), 0);
}

TEST_F(EventsQmTest, DebugShutdownEndsTheProgramAfterTheCommit) {
    send(MQFMT_STRING, "DEBUG SHUTDOWN");
    EXPECT_EQ(reply(), "Debug command processed") << logText();
    EXPECT_TRUE(et::waitFor([] { return evEndFlag.load() == 1; }));
    EXPECT_EQ(depth(EV_COMMAND_QUEUE_NAME), 0);
}

}  // namespace
