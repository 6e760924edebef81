// The intake's failure paths on a private stand-in queue manager: messages that can be neither
// handled nor moved aside, messages dropped or moved at once, rolled-back commits and the texts of a
// disconnect. Each runs the real consumer on the real queues and reads what the log, the queues and a
// reload show.
#include <unistd.h>

#include <mutex>
#include <string>

#include "engine_qm.h"

namespace {

using eqm::kPerfmEvents;
using eqm::kQmgrEvents;

class IntakeFailQmTest : public eqm::EngineQmTest {
protected:
    void SetUp() override {
        eqm::EngineQmTest::SetUp();
        ASSERT_EQ(qm.mqsc("DEFINE QLOCAL(Q.DLQ)\n"), 0);
    }
    void TearDown() override {
        evSettings.deadQueue[0] = 0;
        eqm::EngineQmTest::TearDown();
    }
    // Waits (real time, at most 10 s) until the condition holds.
    template <typename Condition>
    static bool waitLong(Condition condition) {
        for (int waited = 0; waited < 10000; waited += 10) {
            if (condition()) return true;
            usleep(10000);
        }
        return condition();
    }
    static uint32_t statusOf(const char *name) {
        CSRecursiveGuard lock(gConsumerLock);
        EventQueueDef *queue = findQueue(name);
        return queue != nullptr ? queue->status : EV_EVQ_DEFINED;
    }
    static bool stopAlertListed(const char *queue) {
        CSRecursiveGuard lock(gAlertLock);
        return evAlertFind(0, "", 0, "$BOQFAIL", -1, "QM1", -1, queue, -1, 10005) != nullptr;
    }
    // DEADQ as ALTER EV sets it: the intake opens it anew.
    static void setDeadQueue(const char *name) {
        std::snprintf(evSettings.deadQueue, sizeof evSettings.deadQueue, "%s", name);
        evSettings.deadQueueReopen.store(1);
    }
    // A text message of that many bytes on the queue.
    void putText(const char *queue, size_t bytes) {
        putMessage(queue, MQFMT_STRING, std::string(bytes, 'x'));
    }
};

// With USEDLQ(YES) a message that is no event and cannot reach the dead-letter queue (none defined;
// or the copy is over the queue's MAXMSGL) stops its queue at once: status BOQFAIL, one line, one
// "$BOQFAIL" alert, the message kept and not taken again, the other queues going on. RESUME EVQ
// once the dead-letter queue can take it moves it there and the queue runs again.
TEST_F(IntakeFailQmTest, AMessageThatCannotBeMovedAsideStopsItsQueueUntilResumed) {
    struct Row {
        const char *deadQueue;  // DEADQ while it fails
        size_t bytes;
        const char *cause;
        const char *mend;  // MQSC that lets the dead-letter queue take it, with DEADQ(Q.DLQ)
    };
    const Row rows[] = {
        {"", 10, "No Dead Letter Queue defined.", ""},
        {"Q.DLQ", 2000, "MQPUT(QM1/Q.DLQ) failed RC(2030)", "ALTER QLOCAL(Q.DLQ) MAXMSGL(4194304)\n"},
    };
    takeTemplate();
    ASSERT_EQ(qm.mqsc("ALTER QLOCAL(Q.DLQ) MAXMSGL(2100)\n"), 0);
    ASSERT_EQ(connect(), 1) << logText();
    evSettings.useDlq.store(EV_USEDLQ_YES);
    resumeByCommand({kQmgrEvents, kPerfmEvents});
    const std::string stopLine = std::string("*** Event queue '") + kPerfmEvents + "' stopped";
    for (const Row &row : rows) {
        SCOPED_TRACE(row.cause);
        setDeadQueue(row.deadQueue);
        const size_t logBefore = logText().size();
        const uint64_t storedBefore = storedRecords();
        putText(kPerfmEvents, row.bytes);
        ASSERT_TRUE(waitLong([] { return statusOf(kPerfmEvents) == EV_EVQ_BOQFAIL; })) << logText();
        // Events on the other queues are still stored.
        putEvent();
        ASSERT_TRUE(waitLong([&] { return storedRecords() == storedBefore + 1; })) << logText();
        sleep(1);
        const std::string log = logText().substr(logBefore);
        EXPECT_EQ(et::countOf(log, stopLine), 1) << log;
        EXPECT_EQ(et::countOf(log, row.cause), 1) << log;
        EXPECT_LT(log.size(), 4000u) << log;
        EXPECT_TRUE(stopAlertListed(kPerfmEvents));
        EXPECT_EQ(depth(kPerfmEvents), 1);
        EXPECT_EQ(evRunState.ready.load(), 1) << "the connection stands";

        if (row.mend[0] != 0) {
            ASSERT_EQ(qm.mqsc(row.mend), 0);
        }
        setDeadQueue("Q.DLQ");
        resumeByCommand({kPerfmEvents});
        ASSERT_TRUE(waitLong([] { return taken(kPerfmEvents); })) << logText();
        EXPECT_EQ(statusOf(kPerfmEvents), EV_EVQ_ACTIVE);
        EXPECT_FALSE(stopAlertListed(kPerfmEvents));
        ASSERT_TRUE(waitLong([this] { return depth("Q.DLQ") == 1; }));
        emptyQueue("Q.DLQ");
        ASSERT_EQ(qm.mqsc("ALTER QLOCAL(Q.DLQ) MAXMSGL(2100)\n"), 0);
    }
}

// A message that cannot be moved aside in a unit that other messages changed memory in: the backout
// reloads memory with the connection kept, and the queue stops then, its messages held. Once resumed,
// the others are stored once each.
TEST_F(IntakeFailQmTest, AQueueWhoseUnitReloadedMemoryStops) {
    takeTemplate();
    ASSERT_EQ(connect(), 1) << logText();
    const MQHCONN eventSet = evConnHandles[EV_CONN_E_EVENT].load();
    evSettings.useDlq.store(EV_USEDLQ_YES);
    for (int i = 0; i < 3; i++) putEvent();
    putText(kQmgrEvents, 10);
    resumeByCommand({kQmgrEvents});
    ASSERT_TRUE(et::waitFor([this] { return statusOf(kQmgrEvents) == EV_EVQ_BOQFAIL; })) << logText();
    EXPECT_EQ(evConnHandles[EV_CONN_E_EVENT].load(), eventSet);
    EXPECT_EQ(et::countOf(logText(), "Event unit backed out: the stored state was loaded again"), 1)
        << logText();
    EXPECT_TRUE(stopAlertListed(kQmgrEvents));
    EXPECT_EQ(depth(kQmgrEvents), 4);
    setDeadQueue("Q.DLQ");
    resumeByCommand({kQmgrEvents});
    ASSERT_TRUE(waitLong([this] { return taken(kQmgrEvents) && depth("Q.DLQ") == 1; })) << logText();
    EXPECT_EQ(storedRecords(), 3u);
    EXPECT_EQ(et::countOf(logText(), "ZUNT Initialised"), 1);
}

// A command message that can be neither handled nor moved aside is taken off with a line: the command
// queue never stops, and the commands behind it are served.
TEST_F(IntakeFailQmTest, ACommandMessageThatCannotBeMovedAsideIsDiscardedWithALine) {
    // The lines are one a second for the whole process: an earlier test's line in this same second
    // would hold this one back as a count. A new second has its first line written at once.
    sleep(1);
    evClockTick();
    ASSERT_EQ(connect(), 1) << logText();
    const int threshold = findQueue(EV_COMMAND_QUEUE_NAME)->backoutThreshold;
    evSettings.useDlq.store(EV_USEDLQ_YES);
    evConfigChanged.store(1);
    resumeByCommand({});  // the setting saved
    disconnect();
    putMessage(EV_COMMAND_QUEUE_NAME, MQFMT_STRING, "DISPLAY EV");
    for (int i = 0; i <= threshold; i++) backOutFirst(EV_COMMAND_QUEUE_NAME, 1);
    ASSERT_EQ(connect(), 1) << logText();
    ASSERT_EQ(evSettings.useDlq.load(), EV_USEDLQ_YES);
    // A message got in an open unit no longer counts in the depth: the line shows it is done with.
    const std::string discarded = std::string("Message discarded from queue '") + EV_COMMAND_QUEUE_NAME;
    ASSERT_TRUE(waitLong([&] { return et::countOf(logText(), discarded) == 1; })) << logText();
    ASSERT_TRUE(waitLong([] { return taken(EV_COMMAND_QUEUE_NAME); })) << logText();
    EXPECT_EQ(et::countOf(logText(), discarded), 1);
    EXPECT_EQ(evRunState.ready.load(), 1);
}

// USEDLQ(IFAVAIL) consumes what it cannot copy, and says so: one line a second at most, naming the
// queue and the MsgId. A dead-letter queue that failed to open is not tried again for each message,
// only once DEADQ changes.
TEST_F(IntakeFailQmTest, MessagesConsumedWithoutACopyAreLoggedAndAFailedOpenIsNotRetried) {
    ASSERT_EQ(connect(), 1) << logText();
    evSettings.useDlq.store(EV_USEDLQ_IFAVAIL);
    resumeByCommand({kPerfmEvents});
    struct Row {
        const char *deadQueue;
        const char *why;
        int opens;  // of the dead-letter queue, for all the row's messages
    };
    const Row rows[] = {{"", "no dead-letter queue", 0}, {"NO.SUCH.DLQ", "did not open", 1}};
    for (const Row &row : rows) {
        SCOPED_TRACE(row.why);
        sleep(1);  // the last line's second is over: this row's first discard has a line
        setDeadQueue(row.deadQueue);
        const size_t logBefore = logText().size();
        const uint64_t opensBefore = wrap->count(zt::MqVerb::MQOPEN);
        const uint64_t inquiresBefore = wrap->count(zt::MqVerb::MQINQ);
        for (int i = 0; i < 5; i++) putText(kPerfmEvents, 10);
        ASSERT_TRUE(waitLong([] { return taken(kPerfmEvents); })) << logText();
        const std::string log = logText().substr(logBefore);
        const int lines =
            et::countOf(log, std::string("Message discarded from queue '") + kPerfmEvents + "' MsgId(");
        EXPECT_GE(lines, 1) << log;
        EXPECT_LE(lines, 3) << "one a second at most" << log;
        EXPECT_NE(log.find(row.why), std::string::npos) << log;
        // The queue manager's own dead-letter queue is read again (an open, inquire and close of the
        // queue manager) at most once a second: the rest are the dead-letter queue's opens.
        const uint64_t rereads = wrap->count(zt::MqVerb::MQINQ) - inquiresBefore;
        EXPECT_LE(rereads, 3u);
        EXPECT_EQ(wrap->count(zt::MqVerb::MQOPEN) - opensBefore - rereads, static_cast<uint64_t>(row.opens));
    }
    // A changed DEADQ is tried at once.
    setDeadQueue("Q.DLQ");
    putText(kPerfmEvents, 10);
    ASSERT_TRUE(waitLong([this] { return depth("Q.DLQ") == 1; })) << logText();
}

// An event whose PutDate and PutTime do not convert goes to the dead-letter queue at its first
// delivery, with one line naming its queue and MsgId: nothing is backed out, the connection stands
// and the next event is stored.
TEST_F(IntakeFailQmTest, AnEventWithAnUnconvertiblePutTimeIsMovedAtOnce) {
    takeTemplate();
    ASSERT_EQ(connect(), 1) << logText();
    evSettings.useDlq.store(EV_USEDLQ_YES);
    setDeadQueue("Q.DLQ");
    resumeByCommand({kQmgrEvents});
    const uint64_t backsBefore = wrap->count(zt::MqVerb::MQBACK);
    MQHOBJ hobj = openQueue(kQmgrEvents, MQOO_OUTPUT | MQOO_SET_ALL_CONTEXT);
    MQMD md = MQMD_DEFAULT;
    std::memcpy(md.Format, MQFMT_EVENT, MQ_FORMAT_LENGTH);
    std::memcpy(md.PutDate, "2026AB08", 8);
    std::memcpy(md.PutTime, "99999999", 8);
    MQPMO pmo = MQPMO_DEFAULT;
    pmo.Options = MQPMO_NO_SYNCPOINT | MQPMO_SET_ALL_CONTEXT;
    std::string event = eventFor("K.BAD.PUT.TIME0");
    MQLONG cc = 0, rc = 0;
    raw.MQPUT(own, hobj, &md, &pmo, static_cast<MQLONG>(event.size()), event.data(), &cc, &rc);
    ASSERT_EQ(rc, MQRC_NONE);
    closeQueue(&hobj);
    ASSERT_TRUE(waitLong([this] { return depth("Q.DLQ") == 1; })) << logText();
    putEvent();
    ASSERT_TRUE(waitLong([] { return storedRecords() == 1; })) << logText();
    EXPECT_EQ(wrap->count(zt::MqVerb::MQBACK), backsBefore);
    char id[49];
    evIdToHex(md.MsgId, id);
    const std::string log = logText();
    EXPECT_EQ(et::countOf(log, "Invalid time format."), 1) << log;
    EXPECT_NE(log.find(std::string("Invalid time format. Queue '") + kQmgrEvents + "' MsgId(" + id),
              std::string::npos)
        << log;
    EXPECT_EQ(et::countOf(log, "ZUNT Initialised"), 1) << "no reconnect";
}

// An event that names no queue manager, with a blank ReplyToQMgr, is stored under the connected
// queue manager and is there again after a reconnect's reload.
TEST_F(IntakeFailQmTest, AnEventNamingNoQueueManagerIsStoredUnderTheConnectedOne) {
    takeTemplate();
    std::string event = eventFor("K.NO.QMGR.NAME0");
    for (size_t at = event.find("QM1"); at != std::string::npos; at = event.find("QM1", at))
        event.replace(at, 3, "   ");
    ASSERT_EQ(connect(), 1) << logText();
    resumeByCommand({kQmgrEvents});
    MQMD md = MQMD_DEFAULT;
    std::memcpy(md.Format, MQFMT_EVENT, MQ_FORMAT_LENGTH);
    md.Persistence = MQPER_PERSISTENT;
    putMessage(kQmgrEvents, md, event);
    ASSERT_TRUE(waitLong([] { return taken(kQmgrEvents); })) << logText();
    EXPECT_EQ(storedRecords(""), 0u);
    disconnect();
    ASSERT_EQ(connect(), 1) << logText();
    EXPECT_EQ(storedRecords(), 1u);
}

// Each rolled-back commit halves the transaction batch only until units commit again: each commit
// takes one rollback back. The refused commit backs its unit out in place, the connection kept, and
// the event comes back and is stored once. The rollback's line is framed once.
TEST_F(IntakeFailQmTest, TheBatchComesBackAfterRolledBackCommits) {
    takeTemplate();
    ASSERT_EQ(connect(), 1) << logText();
    resumeByCommand({kQmgrEvents});
    const int32_t full = evContext.txnBatch.load();
    ASSERT_GT(full, 4);
    // The batch each MQCMIT finds: the refused one the full batch, the next one half of it.
    std::mutex mutex;
    std::vector<int32_t> batches;
    wrap->before([&](const zt::MqCall &call) {
        if (call.verb != zt::MqVerb::MQCMIT) return;
        std::lock_guard<std::mutex> lock(mutex);
        batches.push_back(evContext.txnBatch.load());
    });
    // A first event taken in and committed: the commits of the start and the resume are over, so the
    // next commit refused is the unit of the event put after it.
    putEvent();
    ASSERT_TRUE(waitLong([] { return taken(kQmgrEvents) && storedRecords() == 1; })) << logText();
    for (int round = 1; round <= 2; round++) {
        SCOPED_TRACE(round);
        {
            std::lock_guard<std::mutex> lock(mutex);
            batches.clear();
        }
        wrap->failAt(zt::MqVerb::MQCMIT, 1, MQRC_BACKED_OUT);
        putEvent();
        // The refused commit, then the next one (the record is in memory before either).
        ASSERT_TRUE(waitLong([&] {
            std::lock_guard<std::mutex> lock(mutex);
            return batches.size() >= 2;
        })) << logText();
        ASSERT_TRUE(waitLong([round] { return storedRecords() == static_cast<uint64_t>(round) + 1; }))
            << logText();
        EXPECT_TRUE(waitLong([full] { return evContext.txnBatch.load() == full; }))
            << evContext.txnBatch.load();
        std::lock_guard<std::mutex> lock(mutex);
        EXPECT_EQ(batches[0], full);
        EXPECT_EQ(batches[1], full / 2);
    }
    wrap->before(nullptr);
    EXPECT_FALSE(engineDisconnected());
    const std::string log = logText();
    EXPECT_EQ(et::countOf(log, "Event unit backed out: the stored state was loaded again"), 2) << log;
    EXPECT_EQ(et::countOf(log, "Connect 'QM1' complete"), 1) << log;
    EXPECT_EQ(et::countOf(log, "*** MQ Transaction Rolledback : INFLIGHT("), 2) << log;
    EXPECT_EQ(et::countOf(log, " MAXTXN(" + std::to_string(full) + ") CNT(1) ***"), 2) << log;
    EXPECT_EQ(log.find("*** ***"), std::string::npos) << log;
}

// The disconnect shows no earlier text again, and an MQBACK that finds the connection broken, or
// refused while the consumer still counts as started on a connection that then proves broken, is
// not reported as a failure: the queue manager backs the unit out.
TEST_F(IntakeFailQmTest, TheDisconnectReportsOnlyWhatFailedThere) {
    ASSERT_EQ(connect(), 1) << logText();
    wrap->failAt(zt::MqVerb::MQDISC, 1, MQRC_CONNECTION_BROKEN);
    disconnect();
    std::string log = logText();
    EXPECT_EQ(et::countOf(log, "Disconnect from Event  Qmgr 'QM1' RC(2009)"), 1) << log;
    EXPECT_EQ(log.find('~'), std::string::npos) << log;
    // The connection the failed MQDISC left open holds the command queue.
    for (const zt::MqCall &call : wrap->calls(zt::MqVerb::MQDISC)) {
        if (!call.injected) continue;
        MQHCONN leaked = call.hconn;
        MQLONG cc = 0, rc = 0;
        raw.MQDISC(&leaked, &cc, &rc);
    }

    struct Row {
        MQLONG back;
        MQLONG stop;  // of the consumer after a refused MQBACK
    };
    const Row rows[] = {{MQRC_CONNECTION_BROKEN, 0}, {MQRC_HCONN_ASYNC_ACTIVE, MQRC_CONNECTION_BROKEN}};
    for (const Row &row : rows) {
        SCOPED_TRACE(row.back);
        ASSERT_EQ(connect(), 1) << logText();
        const size_t before = logText().size();
        wrap->failAt(zt::MqVerb::MQBACK, 1, row.back);
        if (row.stop != 0) {
            wrap->before([this, row](const zt::MqCall &call) {
                if (call.verb == zt::MqVerb::MQBACK) wrap->failAt(zt::MqVerb::MQCTL, 1, row.stop);
            });
        }
        {
            CSRecursiveGuard lock(gConsumerLock);
            EXPECT_EQ(evBackout(&evContext, evSet(EV_SET_E), nullptr), 1);
        }
        wrap->before(nullptr);
        wrap->clearRules();
        log = logText().substr(before);
        EXPECT_EQ(log.find("MQBACK(QM1) failed"), std::string::npos) << log;
        disconnect();
    }
}

}  // namespace
