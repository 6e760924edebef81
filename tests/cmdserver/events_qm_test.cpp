// DISPLAY EVENTS and DEBUG end to end on a private stand-in queue manager: events raised by the queue
// manager are stored by the engine and displayed through the command queue; DEBUG RESTART and
// SHUTDOWN act only after set C has committed the command and its reply; a HOUSEKEEP that commits
// its rewritten strings in the middle of the command still commits its reply.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "cmdserver/cmdserver.h"
#include "emit/emit.h"
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
};

TEST_F(EventsQmTest, StoredEventsAreDisplayedAsMqscAndPcf) {
    const MQLONG events = raiseEvents(2);  // held while the queue is suspended
    ASSERT_GE(events, 2);
    resumeByCommand({kQmgrEvents});
    ASSERT_TRUE(et::waitFor([&] { return storedRecords() >= static_cast<uint64_t>(events); })) << logText();
    // The window ends at the cached clock: it must have caught up with the events' put times.
    evClockTick();
    sendCommand(MQFMT_STRING, "DISPLAY EVENTS(*) EVTYPE(LOCAL) DISTYPE(DETAIL)");
    const std::string text = replyText();
    EXPECT_EQ(text.rfind("AMQ8409: Display ZUNT Event details.", 0), 0u) << text;
    EXPECT_NE(text.find("EVOBJNAME(NO.SUCH.QUEUE.1)"), std::string::npos) << text;
    EXPECT_NE(text.find("EVQMGR(QM1)"), std::string::npos);

    std::string pcf(MQCFH_STRUC_LENGTH, '\0');
    MQPCFInitHeader(reinterpret_cast<uint8_t *>(pcf.data()), MQCFT_COMMAND, 9004);
    sendCommand(MQFMT_ADMIN, pcf);
    const std::string answer = replyText();
    ASSERT_GE(answer.size(), MQCFH_STRUC_LENGTH);
    EXPECT_EQ(mqiGetI32(answer.data(), offsetof(MQCFH, Reason)), 0);
    EXPECT_EQ(mqiGetI32(answer.data(), offsetof(MQCFH, Command)), 9004);
}

// The restart is carried out after the commit of the command and its reply: the command is not
// redelivered and answered once.
TEST_F(EventsQmTest, DebugRestartRepliesOnceAndReconnectsOnce) {
    sendCommand(MQFMT_STRING, "DEBUG RESTART");
    EXPECT_EQ(replyText(), "Debug command processed") << logText();
    ASSERT_TRUE(et::waitFor(
        [] { return evConnHandles[EV_CONN_C_EVENT].load() == -1 && evRunState.disconnecting.load() == 0; }));
    evConnectWork(nullptr);
    ASSERT_EQ(evRunState.ready.load(), 1) << logText();
    EXPECT_EQ(replyText(500), "");
    EXPECT_EQ(depth(EV_COMMAND_QUEUE_NAME), 0);
    EXPECT_EQ(evContext.restartRequested.load(), 0);
    EXPECT_EQ(et::countOf(logText(), "Debug RESTART issued."), 1);
}

// Housekeeping runs in set C's unit with set E held; set E takes events again after the commit.
TEST_F(EventsQmTest, DebugHousekeepRunsWithTheEventSetHeldAndGivesItBack) {
    resumeByCommand({kQmgrEvents});
    sendCommand(MQFMT_STRING, "DEBUG HOUSEKEEP(UPDATE)");
    EXPECT_EQ(replyText(), "Debug command processed") << logText();
    EXPECT_EQ(et::countOf(logText(), "Debug HOUSEKEEP started."), 1);
    const uint64_t before = storedRecords();
    raiseEvents(1);  // taken at once: set E runs again
    EXPECT_TRUE(et::waitFor([&] { return storedRecords() > before; })) << logText();
    EXPECT_EQ(depth(kQmgrEvents), 0);
    EXPECT_EQ(depth(EV_COMMAND_QUEUE_NAME), 0);
}

// An alert that set E raises while a command holds set E cannot suspend set C, whose callback waits
// for set E's: its publication waits until set C is free and goes out at the next tick, or before the
// next publication. A subscriber sees every addition and removal, in order.
TEST_F(EventsQmTest, AlertsRaisedWhileACommandHoldsSetEArePublishedInOrder) {
    emitInstall();
    takeTemplate();
    resumeByCommand({kQmgrEvents});
    putEvent();  // the first event defines the default stream
    ASSERT_TRUE(et::waitFor([] { return storedRecords() == 1; })) << logText();
    for (const char *command :
         {"DEFINE EVEMIT(OUT) QUEUE(NO.SUCH.Q1) ONERROR(DISCARD)", "ALTER EVSTREAM($EVENTS) EVEMIT(OUT)"}) {
        sendCommand(MQFMT_STRING, command);
        EXPECT_NE(replyText().find("successful"), std::string::npos) << command << logText();
    }
    MQSD sd = MQSD_DEFAULT;
    sd.Options = MQSO_CREATE | MQSO_MANAGED | MQSO_NON_DURABLE;
    sd.ObjectString.VSPtr = const_cast<char *>(EV_ALERT_TOPIC);
    sd.ObjectString.VSLength = static_cast<MQLONG>(std::strlen(EV_ALERT_TOPIC));
    MQHOBJ subscribed = MQHO_NONE, subscription = MQHO_NONE;
    MQLONG cc = 0, rc = 0;
    raw.MQSUB(own, &sd, &subscribed, &subscription, &cc, &rc);
    ASSERT_EQ(rc, MQRC_NONE);
    // The next publication within the wait: "<command> <EVALERT>", with the queue its text names.
    auto nextAlert = [&](MQLONG waitMs) -> std::string {
        std::string data(65536, '\0');
        MQMD md = MQMD_DEFAULT;
        MQGMO gmo = MQGMO_DEFAULT;
        gmo.Options = MQGMO_NO_SYNCPOINT | MQGMO_WAIT;
        gmo.WaitInterval = waitMs;
        MQLONG length = 0;
        raw.MQGET(own, subscribed, &md, &gmo, static_cast<MQLONG>(data.size()), data.data(), &length, &cc,
                  &rc);
        if (cc == MQCC_FAILED) return "none";
        const auto *bytes = reinterpret_cast<const uint8_t *>(data.data());
        const size_t at = data.compare(0, 4, "RFH ") == 0 ? static_cast<size_t>(mqiGetI32(bytes, 8)) : 0;
        if (at + MQCFH_STRUC_LENGTH + 16 > static_cast<size_t>(length)) return "short";
        const size_t named = data.find("NO.SUCH.Q");
        std::string seen = std::to_string(mqiGetI32(bytes + at, offsetof(MQCFH, Command))) + " " +
                           std::to_string(mqiGetI32(bytes + at, MQCFH_STRUC_LENGTH + 12));
        // Appended, not added to a literal: GCC 12 at -O3 warns falsely (restrict) on the latter.
        if (named != std::string::npos) seen.append(" ").append(data, named, 10);
        return seen;
    };
    auto emitAlertId = [] {
        CSRecursiveGuard guard(gAlertLock);
        for (AlertDef *a = evAlertList; a != nullptr; a = a->next)
            if (std::strcmp(a->category, "$EMIT") == 0) return std::to_string(a->id);
        return std::string("none");
    };
    // Once armed, set C's hold of set E lets an event in first: set E's callback is emitting it (and
    // fails to open the missing queue) when the hold's SUSPEND is made.
    const MQHCONN eventOfE = evConnHandles[EV_CONN_E_EVENT].load();
    const MQHCONN stateOfE = evConnHandles[EV_CONN_E_STATE].load();
    const MQHCONN other = connectTo("QM1");
    std::atomic<bool> armed{false}, emitting{false};
    wrap->before([&](const zt::MqCall &call) {
        if (call.verb == zt::MqVerb::MQOPEN && call.hconn == stateOfE) emitting = true;
        if (call.verb != zt::MqVerb::MQCTL || call.options != MQOP_SUSPEND || call.hconn != eventOfE ||
            !armed.exchange(false))
            return;
        emitting = false;
        putEvent(other);
        et::waitFor([&] { return emitting.load(); });
        usleep(100000);  // the alert's publication finds set C busy
    });
    auto heldWhileRaised = [&] {
        armed = true;
        sendCommand(MQFMT_STRING, "DEBUG HOUSEKEEP");
        EXPECT_EQ(replyText(), "Debug command processed") << logText();
        EXPECT_FALSE(armed.load()) << "the hold was made";
        EXPECT_TRUE(emitting.load());
    };
    auto removeByCommand = [&](const std::string &id) {
        sendCommand(MQFMT_STRING, "REMOVE EVALERT(" + id + ")");
        EXPECT_NE(replyText().find("successful"), std::string::npos) << logText();
    };

    heldWhileRaised();
    const std::string first = emitAlertId();
    // Held until a unit saves it: set C's, once its hold of set E ends, which then publishes it.
    evTimedItemRun();  // the main thread's tick puts out nothing else meanwhile
    EXPECT_EQ(nextAlert(5000), "9021 " + first + " NO.SUCH.Q1");
    removeByCommand(first);
    EXPECT_EQ(nextAlert(5000), "9014 " + first + " NO.SUCH.Q1");

    // The next one waits until the removal's publication, which puts it first.
    sendCommand(MQFMT_STRING, "ALTER EVEMIT(OUT) QUEUE(NO.SUCH.Q2)");
    EXPECT_NE(replyText().find("successful"), std::string::npos) << logText();
    heldWhileRaised();
    const std::string second = emitAlertId();
    removeByCommand(second);
    EXPECT_EQ(nextAlert(5000), "9021 " + second + " NO.SUCH.Q2");
    EXPECT_EQ(nextAlert(5000), "9014 " + second + " NO.SUCH.Q2");
    EXPECT_EQ(nextAlert(200), "none");
    wrap->before(nullptr);
    raw.MQDISC(const_cast<MQHCONN *>(&other), &cc, &rc);
}

TEST_F(EventsQmTest, DebugShutdownEndsTheProgramAfterTheCommit) {
    sendCommand(MQFMT_STRING, "DEBUG SHUTDOWN");
    EXPECT_EQ(replyText(), "Debug command processed") << logText();
    EXPECT_TRUE(et::waitFor([] { return evEndFlag.load() == 1; }));
    EXPECT_EQ(depth(EV_COMMAND_QUEUE_NAME), 0);
}

// Small "$STRINGS" blobs, four to a big one, so that a few hundred strings fill big blobs.
class SmallBlobsQmTest : public EventsQmTest {
protected:
    zt::ScopedEnv size_{"ZUNT_STREAM", "4096,4"};
};

// String housekeeping that rewrites big blobs commits set C's unit on its way; the reply put after
// it is still committed by the command's own sync point, without a further command.
TEST_F(SmallBlobsQmTest, HousekeepingThatRewritesStringsStillCommitsItsReply) {
    // Strings no record refers to, in big blobs, put with both sets held as a command would.
    QmgrContext *context = &evContext;
    const int32_t heldC = evSuspendConsumer(context, evSet(EV_SET_C));
    const int32_t heldE = evSuspendConsumer(context, evSet(EV_SET_E));
    {
        CSRecursiveGuard lock(gConsumerLock);
        CSRecursiveGuard guard(gStructureLock);
        for (int i = 0; i < 1400; i++) {
            char text[64];
            const int n = std::snprintf(text, sizeof text, "string-%04d-long-enough-to-fill-blobs-soon", i);
            ASSERT_NE(evStringIntern(1, 850, text, static_cast<uint32_t>(n), 0, nullptr), 0u);
        }
        EvStreamIo *io = &evSet(EV_SET_C)->io;
        ASSERT_EQ(evStreamHarden(io, evStrings.stream), 1);
        ASSERT_EQ(evStreamCommit(io), 1);
        ASSERT_EQ(evStreamConsolidateAll(io, evStrings.stream), 1);
        ASSERT_EQ(evStreamCommit(io), 1);
    }
    if (heldE == EV_SUSPEND_HELD) evResumeConsumer(context, evSet(EV_SET_E));
    if (heldC == EV_SUSPEND_HELD) evResumeConsumer(context, evSet(EV_SET_C));
    sendCommand(MQFMT_STRING, "DEBUG HOUSEKEEP(UPDATE)");
    EXPECT_EQ(replyText(5000), "Debug command processed") << logText();
    // The rewrite's own line beside the check's.
    EXPECT_EQ(et::countOf(logText(), "String Housekeeping Complete"), 2) << logText();
    EXPECT_EQ(depth(EV_COMMAND_QUEUE_NAME), 0);
}

}  // namespace
