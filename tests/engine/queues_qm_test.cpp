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
    // Seeded while the queues are suspended: two events with BackoutCount 4 and 3, a text message
    // with 4 on a queue without a backout queue, and one with 0.
    raiseEvents(2);
    const MQLONG events = depth(kQmgrEvents);  // the tool's own opens may raise one more
    ASSERT_GE(events, 2);
    backOutFirst(kQmgrEvents, 2);
    backOutFirst(kQmgrEvents, 2);
    backOutFirst(kQmgrEvents, 2);
    backOutFirst(kQmgrEvents, 1);
    putMessage(kPerfmEvents, MQFMT_STRING, "poisoned");
    for (int i = 0; i < 4; i++) backOutFirst(kPerfmEvents, 1);
    putMessage(kPerfmEvents, MQFMT_STRING, "not an event");
    evSettings.useDlq.store(EV_USEDLQ_YES);

    resumeByCommand({kQmgrEvents, kPerfmEvents});
    ASSERT_TRUE(waitLong([this] { return browse("Q.DLQ").size() == 2 && browse("Q.BOQ").size() == 1; }));
    ASSERT_TRUE(waitLong([this] { return depth(kQmgrEvents) == 0 && depth(kPerfmEvents) == 0; }));

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
    // The event at its threshold is stored with the rest, each once, as a reload finds them.
    disconnect();
    ASSERT_EQ(connect(), 1) << logText();
    EXPECT_EQ(storedRecords(), static_cast<uint64_t>(events - 1));
}

}  // namespace
