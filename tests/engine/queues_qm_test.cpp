// Input queues end to end on a private stand-in queue manager: the backout and dead-letter paths of
// poisoned and foreign messages, a data queue that holds intake while high or inhibited, and queues
// another application holds at connect.
#include <unistd.h>

#include <atomic>
#include <thread>

#include "engine_qm.h"

namespace {

using eqm::kPerfmEvents;
using eqm::kQmgrEvents;

class QueuesQmTest : public eqm::EngineQmTest {
protected:
    // Waits (real time, at most 10 s) until the condition holds.
    template <typename Condition>
    static bool waitLong(Condition condition) {
        for (int waited = 0; waited < 10000; waited += 10) {
            if (condition()) return true;
            usleep(10000);
        }
        return condition();
    }
};

TEST_F(QueuesQmTest, PoisonedAndForeignMessagesReachTheBackoutAndDeadLetterQueues) {
    ASSERT_EQ(qm.mqsc("DEFINE QLOCAL(Q.BOQ)\nDEFINE QLOCAL(Q.DLQ)\nALTER QMGR DEADQ(Q.DLQ)\n"
                      "ALTER QLOCAL(SYSTEM.ADMIN.QMGR.EVENT) BOQNAME(Q.BOQ) BOTHRESH(3)\n"
                      "ALTER QLOCAL(SYSTEM.ADMIN.PERFM.EVENT) BOTHRESH(3)\n"),
              0);
    ASSERT_EQ(connect(), 1) << logText();
    // Seeded while the queues are suspended: two events past BOTHRESH(3), with BackoutCount 6 (as if
    // it had ended the program twice while taken alone) and 4 (its backouts may be others' doing), a
    // text message with 6 on a queue without a backout queue, and one with 0.
    const MQLONG events = raiseEvents(2);
    ASSERT_EQ(events, 2);
    for (int i = 0; i < 4; i++) backOutFirst(kQmgrEvents, 2);
    for (int i = 0; i < 2; i++) backOutFirst(kQmgrEvents, 1);
    putMessage(kPerfmEvents, MQFMT_STRING, "poisoned");
    for (int i = 0; i < 6; i++) backOutFirst(kPerfmEvents, 1);
    putMessage(kPerfmEvents, MQFMT_STRING, "not an event");
    evSettings.useDlq.store(EV_USEDLQ_YES);
    // The first message sets up the emit code pages: records written in CCSID 500 from 819.
    zt::ScopedEnv emitCcsid("ZUNT_EMIT_CCSID", "500");
    evEmitCodePage.ready.store(0);

    resumeByCommand({kQmgrEvents, kPerfmEvents});
    ASSERT_TRUE(waitLong([this] { return browse("Q.DLQ").size() == 2 && browse("Q.BOQ").size() == 1; }));
    ASSERT_TRUE(waitLong([] { return taken(kQmgrEvents) && taken(kPerfmEvents); }));

    // The event past its threshold kept its context on the backout queue, put in the unit (514).
    std::vector<Browsed> boq = browse("Q.BOQ");
    EXPECT_EQ(qmt::text(boq[0].md.Format, 8), "MQEVENT");
    int boqPuts = 0;
    for (const zt::MqCall &call : wrap->calls(zt::MqVerb::MQPUT))
        if (call.options == (MQPMO_SYNCPOINT | MQPMO_PASS_ALL_CONTEXT) && call.reason == MQRC_NONE) boqPuts++;
    EXPECT_EQ(boqPuts, 1);
    // Without a backout queue: 2362; a message that is no event: 200000, no destination.
    std::vector<int32_t> reasons;
    for (const Browsed &dead : browse("Q.DLQ")) {
        EXPECT_EQ(qmt::text(dead.md.Format, 8), "MQDEAD");
        ASSERT_GE(dead.data.size(), EV_DLH_LENGTH);
        const auto *dlh = reinterpret_cast<const uint8_t *>(dead.data.data());
        reasons.push_back(mqiGetI32(dlh, 8));
        EXPECT_EQ(qmt::text(reinterpret_cast<const char *>(dlh + 12), 48), "");
    }
    EXPECT_EQ(reasons, (std::vector<int32_t>{MQRC_BACKOUT_THRESHOLD_REACHED, EV_FEEDBACK_NOT_EVENT}));
    {
        CSRecursiveGuard lock(gConsumerLock);
        EXPECT_EQ(findQueue(kQmgrEvents)->counters[EV_EQC_BORQ].committed, 1u);
        EXPECT_EQ(findQueue(kPerfmEvents)->counters[EV_EQC_DLQ].committed, 2u);
        EXPECT_STREQ(findQueue(kQmgrEvents)->backoutOpenName, "Q.BOQ") << "the queue's own BOQNAME";
        EXPECT_STREQ(findQueue(kPerfmEvents)->backoutOpenName, "");
    }
    ASSERT_EQ(evEmitCodePage.ready.load(), 1);
    EXPECT_EQ(evEmitCodePage.emitCcsid, 500);
    EXPECT_EQ(evEmitCodePage.messageCcsid, 819);
    EXPECT_EQ(evEmitCodePage.translate, 1);
    EXPECT_EQ(evEmitCodePage.table[static_cast<uint8_t>('A')], 0xC1);
    EXPECT_EQ(evEmitCodePage.table[static_cast<uint8_t>(' ')], 0x40);
    ASSERT_NE(evEmitCodePage.punctuation, nullptr);
    EXPECT_EQ(static_cast<uint8_t>(evEmitCodePage.punctuation->chars[EV_PUNCT_LBRACKET]), 0x4A);
    // The event past its threshold by 1 was taken alone and stored with the rest, each once, as a
    // reload finds them.
    disconnect();
    ASSERT_EQ(connect(), 1) << logText();
    EXPECT_EQ(storedRecords(), static_cast<uint64_t>(events - 1));
}

TEST_F(QueuesQmTest, AHighOrInhibitedDataQueueHoldsIntakeUntilItClears) {
    struct Row {
        const char *name;
        bool fill;            // the data queue filled to MAXDEPTH - 250
        const char *inhibit;  // MQSC applied before the connect
        const char *release;  // MQSC that clears it
        uint32_t status;
        const char *text;
        bool byCommand;  // RESUME EVQ; otherwise a reconnect
    };
    const Row rows[] = {
        {"depth high, released by RESUME EVQ", true, "", "", EV_EVQ_DATAHIGH,
         "  Data Queue is 'high' at 4750 of 5000", true},
        {"put inhibited, released by a reconnect", false,
         "ALTER QLOCAL(HOLVA.ZUNT.DATA.QUEUE) PUT(DISABLED)\n",
         "ALTER QLOCAL(HOLVA.ZUNT.DATA.QUEUE) PUT(ENABLED)\n", EV_EVQ_DATAPUT, "  Put INHIBITED:", false},
        // Its messages may no longer fit: out of space, as a full queue, not put-inhibited.
        {"maximum message length low, released by a reconnect", false,
         "ALTER QLOCAL(HOLVA.ZUNT.DATA.QUEUE) MAXMSGL(100000)\n",
         "ALTER QLOCAL(HOLVA.ZUNT.DATA.QUEUE) MAXMSGL(4194304)\n", EV_EVQ_DATAHIGH,
         "  Maximum message length 100000 is below 4194304: event intake held", false},
    };
    const char *dataQueue = "HOLVA.ZUNT.DATA.QUEUE";
    MQBYTE24 filler;
    std::memset(filler, 0xFF, sizeof filler);
    ASSERT_EQ(connect(), 1) << logText();
    resumeByCommand({kQmgrEvents});
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        const uint64_t before = storedRecords();
        disconnect();
        if (row.fill) {
            MQHOBJ hobj = openQueue(dataQueue, MQOO_OUTPUT);
            for (MQLONG n = 4750 - depth(dataQueue); n > 0; n--) {
                MQMD md = MQMD_DEFAULT;
                std::memcpy(md.CorrelId, filler, sizeof filler);
                MQPMO pmo = MQPMO_DEFAULT;
                pmo.Options = MQPMO_NO_SYNCPOINT;
                MQLONG cc = 0, rc = 0;
                char byte = 0;
                raw.MQPUT(own, hobj, &md, &pmo, 1, &byte, &cc, &rc);
                ASSERT_EQ(rc, MQRC_NONE);
            }
            closeQueue(&hobj);
        }
        if (row.inhibit[0] != '\0') {
            ASSERT_EQ(qm.mqsc(row.inhibit), 0);
        }
        const MQLONG events = raiseEvents(3);

        ASSERT_EQ(connect(), 1) << logText();
        EXPECT_EQ(findQueue(kQmgrEvents)->status, row.status);
        EXPECT_EQ(findQueue(kQmgrEvents)->consumerSuspended, 1u);
        EXPECT_NE(logText().find(row.text), std::string::npos);
        if (row.fill) {
            CSRecursiveGuard lock(gAlertLock);
            const AlertDef *high = nullptr;
            for (const AlertDef *alert = evAlertList; alert; alert = alert->next)
                if (std::strcmp(alert->category, "$DATAQHI") == 0) high = alert;
            ASSERT_NE(high, nullptr);
            EXPECT_EQ(high->severity, 40);
            EXPECT_EQ(high->eventId, 1004u);
            EXPECT_STREQ(high->text, "Data Queue is 'high' at 4750 of 5000 messages.");
        }
        if (!row.fill) {
            // The stored alerts were loaded, not changed: set C's sync point puts nothing to the
            // inhibited data queue.
            EXPECT_EQ(evAlertsChanged.load(), 0);
            resumeByCommand({});
            EXPECT_EQ(logText().find("Error putting alerts"), std::string::npos);
        }
        usleep(300000);
        EXPECT_EQ(depth(kQmgrEvents), events) << "held: the events stay queued";

        if (row.fill) {
            MQHOBJ hobj = openQueue(dataQueue, MQOO_INPUT_SHARED);
            for (;;) {
                MQMD md = MQMD_DEFAULT;
                std::memcpy(md.CorrelId, filler, sizeof filler);
                MQGMO gmo = MQGMO_DEFAULT;
                gmo.Options = MQGMO_NO_SYNCPOINT | MQGMO_ACCEPT_TRUNCATED_MSG;
                gmo.MatchOptions = MQMO_MATCH_CORREL_ID;
                char byte = 0;
                MQLONG length = 0, cc = 0, rc = 0;
                raw.MQGET(own, hobj, &md, &gmo, 1, &byte, &length, &cc, &rc);
                if (cc == MQCC_FAILED) break;
            }
            closeQueue(&hobj);
        }
        if (row.release[0] != '\0') {
            ASSERT_EQ(qm.mqsc(row.release), 0);
        }
        if (row.byCommand) {
            resumeByCommand({kQmgrEvents});
        } else {
            disconnect();
            ASSERT_EQ(connect(), 1) << logText();
        }
        EXPECT_EQ(findQueue(kQmgrEvents)->status, EV_EVQ_ACTIVE);
        ASSERT_TRUE(waitLong([] { return taken(kQmgrEvents); }));
        disconnect();
        ASSERT_EQ(connect(), 1) << logText();
        EXPECT_EQ(storedRecords(), before + static_cast<uint64_t>(events)) << "each event stored once";
    }
}

TEST_F(QueuesQmTest, QueuesAnotherApplicationHoldsAtConnect) {
    // The data queue in use: the connect fails and is retried by the scheme; once free it connects.
    MQLONG reason = 0;
    MQHOBJ data = openQueue("HOLVA.ZUNT.DATA.QUEUE", MQOO_INPUT_EXCLUSIVE, &reason);
    ASSERT_EQ(reason, MQRC_NONE);
    EXPECT_EQ(connect(), 0);
    EXPECT_EQ(evEndFlag.load(), 0);
    EXPECT_EQ(evLastReason.load(), MQRC_OBJECT_IN_USE);
    EXPECT_NE(logText().find("Failed to open data queue 'QM1/HOLVA.ZUNT.DATA.QUEUE' RC(2042)"),
              std::string::npos);
    closeQueue(&data);
    disconnect();
    ASSERT_EQ(connect(), 1) << logText();
    disconnect();

    // The command queue held by a first instance: one wake-up message for it, then this instance
    // retries once and gives up (the test ends, at the third open, the retries that would otherwise go
    // on for 50 seconds: when the first instance ended them as soon as it saw its wake-up, the second
    // open, slower as a client, could find them ended before its retry).
    MQHOBJ command = openQueue("HOLVA.ZUNT.COMMAND.QUEUE", MQOO_INPUT_EXCLUSIVE | MQOO_BROWSE, &reason);
    ASSERT_EQ(reason, MQRC_NONE);
    const uint64_t putsBefore = wrap->count(zt::MqVerb::MQPUT);
    std::atomic<int> commandOpens{0};
    wrap->before([&commandOpens](const zt::MqCall &call) {
        if (call.verb == zt::MqVerb::MQOPEN &&
            call.options == (MQOO_INPUT_EXCLUSIVE | MQOO_INQUIRE | MQOO_FAIL_IF_QUIESCING) &&
            ++commandOpens == 3)
            evEndFlag.store(1);
    });
    std::atomic<bool> woken{false};
    MQMD wakeUp = MQMD_DEFAULT;
    MQLONG wakeUpLength = -1;
    std::thread firstInstance([&] {
        // A connection of its own, as the first instance has.
        MQHCONN hconn = connectTo("QM1");
        MQHOBJ browseOnly = openQueue("HOLVA.ZUNT.COMMAND.QUEUE", MQOO_BROWSE, nullptr, hconn);
        for (int waited = 0; waited < 10000 && !woken; waited += 20) {
            MQGMO gmo = MQGMO_DEFAULT;
            gmo.Options = MQGMO_BROWSE_FIRST | MQGMO_NO_SYNCPOINT | MQGMO_ACCEPT_TRUNCATED_MSG;
            MQMD md = MQMD_DEFAULT;
            char byte = 0;
            MQLONG length = 0, cc = 0, rc = 0;
            raw.MQGET(hconn, browseOnly, &md, &gmo, 1, &byte, &length, &cc, &rc);
            if (cc != MQCC_FAILED) {
                wakeUp = md;
                wakeUpLength = length;
                woken = true;
            } else {
                usleep(20000);
            }
        }
        closeQueue(&browseOnly, hconn);
        MQLONG cc = 0, rc = 0;
        raw.MQDISC(&hconn, &cc, &rc);
    });
    EXPECT_EQ(connect(), 0);
    wrap->before(nullptr);
    firstInstance.join();
    ASSERT_TRUE(woken);
    EXPECT_EQ(commandOpens.load(), 3);
    EXPECT_EQ(evEndFlag.load(), 1);
    EXPECT_EQ(wrap->count(zt::MqVerb::MQPUT) - putsBefore, 1u) << "one wake-up";
    EXPECT_EQ(wakeUpLength, 0);
    EXPECT_EQ(wakeUp.MsgType, MQMT_DATAGRAM);
    EXPECT_EQ(qmt::text(wakeUp.Format, 8), "MQADMIN");
    EXPECT_GT(wakeUp.Expiry, 0);
    EXPECT_LE(wakeUp.Expiry, 20);
    const std::string log = logText();
    EXPECT_NE(log.find("MQOPEN(QM1/HOLVA.ZUNT.COMMAND.QUEUE) failed RC(2042)"), std::string::npos) << log;
    EXPECT_EQ(et::countOf(log, "Retrying...."), 1);
    closeQueue(&command);
}

}  // namespace
