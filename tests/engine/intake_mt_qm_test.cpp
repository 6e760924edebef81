// The consumer and set E's sync point on a private stand-in queue manager: real events taken from
// its queue-manager event queue under sync point, stored and committed with them.
#include <unistd.h>

#include "consumer_qm.h"
#include "engine/engine.h"
#include "tests/streams/qmstream.h"

namespace {

constexpr const char *kEventQueue = "SYSTEM.ADMIN.QMGR.EVENT";

class IntakeQmTest : public st::DataQueueTest {
protected:
    void SetUp() override {
        st::DataQueueTest::SetUp();
        freeQmgrStreams();
        cfgInstall();
        eqm::freshIntake();
        evDataQueue.lastInquiry.store(evClockNow());  // set E's data-queue check is not due
        ASSERT_EQ(qm_->mqsc("ALTER QMGR LOCALEV(ENABLED)\n"), 0);
        eqm::setOn(EV_SET_E, wrap_->table(), io_, 10);
        evContext.sets[EV_SET_E].deadQueueHandle.store(-1);
    }
    void TearDown() override {
        cfgFreeModel(1);
        evFreeIntake();
        st::DataQueueTest::TearDown();
    }
    // Local events: each open of a missing queue raises one 2085 event.
    void raiseEvents(int count) {
        const MQIFunctionTable *t = wrap_->table();
        for (int i = 0; i < count; i++) {
            MQOD od = MQOD_DEFAULT;
            std::snprintf(od.ObjectName, sizeof od.ObjectName, "NO.SUCH.QUEUE.%d", i);
            MQHOBJ hobj = -1;
            MQLONG cc = 0, rc = 0;
            t->MQOPEN(io_.hconn, &od, MQOO_OUTPUT, &hobj, &cc, &rc);
            ASSERT_EQ(rc, MQRC_UNKNOWN_OBJECT_NAME);
        }
    }
    MQHOBJ inputHandle() {
        EventQueueDef probe{};
        std::strcpy(probe.name, kEventQueue);
        auto *queue =
            reinterpret_cast<EventQueueDef *>(CSTreeFind(evEventQueueTree, probe.name, sizeof probe.name));
        return queue ? queue->inputHandle : -1;
    }
    // The event queue opened and its consumer registered and started on set E's connection.
    void startConsumer() { eqm::startConsumer(wrap_->table(), io_.hconn, kEventQueue); }
    void stopConsumer() { eqm::stopConsumers(wrap_->table(), io_.hconn); }
    // Waits (real time, at most 10 s) for the consumer's commits.
    void waitForCommits(uint64_t commits) {
        for (int waited = 0; waited < 10000 && wrap_->count(zt::MqVerb::MQCMIT) < commits; waited += 10)
            usleep(10000);
    }
};

TEST_F(IntakeQmTest, EventsAreStoredAndCommittedWithTheirMessages) {
    raiseEvents(5);
    startConsumer();
    waitForCommits(1);
    stopConsumer();
    ASSERT_GE(wrap_->count(zt::MqVerb::MQCMIT), 1u);
    EXPECT_EQ(wrap_->count(zt::MqVerb::MQBACK), 0u);
    char key[EV_QUEUE_NAME_MAX + 1] = "QM1";
    auto *qmgr = reinterpret_cast<QmgrEntry *>(CSTreeFind(evQmgrTree, key, sizeof key));
    ASSERT_NE(qmgr, nullptr);
    uint64_t records = 0;
    for (Stream *stream = qmgr->streams; stream; stream = stream->next) records += stream->recordCount;
    // Each event once (the fixture's own set-up may raise one more).
    EXPECT_GE(records, 5u);
    EXPECT_EQ(qmgr->counters[EV_QMC_EVENTS].committed, records);
    // The event queue's messages went with the commit: after a backout none is there.
    MQLONG cc = 0, rc = 0;
    const MQIFunctionTable *t = wrap_->table();
    t->MQBACK(io_.hconn, &cc, &rc);
    EventQueueDef probe{};
    std::strcpy(probe.name, kEventQueue);
    auto *queue =
        reinterpret_cast<EventQueueDef *>(CSTreeFind(evEventQueueTree, probe.name, sizeof probe.name));
    ASSERT_NE(queue, nullptr);
    MQMD md = MQMD_DEFAULT;
    MQGMO gmo = MQGMO_DEFAULT;
    gmo.Options = MQGMO_SYNCPOINT | MQGMO_ACCEPT_TRUNCATED_MSG;
    char buffer[1];
    MQLONG length = 0;
    t->MQGET(io_.hconn, queue->inputHandle, &md, &gmo, 0, buffer, &length, &cc, &rc);
    EXPECT_EQ(rc, MQRC_NO_MSG_AVAILABLE);
    t->MQBACK(io_.hconn, &cc, &rc);
}

TEST_F(IntakeQmTest, AFailedDataQueuePutBacksOutEndsTheConnectionAndLosesNothing) {
    raiseEvents(5);
    wrap_->failAt(zt::MqVerb::MQPUT, 1, MQRC_Q_FULL);
    startConsumer();
    for (int waited = 0; waited < 10000 && evContext.restartMark.load() == 0; waited += 10) usleep(10000);
    stopConsumer();
    ASSERT_EQ(evContext.restartMark.load(), 1) << "a marked unit that backs out ends the connection";
    EXPECT_EQ(wrap_->count(zt::MqVerb::MQCMIT), 0u);
    EXPECT_GE(wrap_->count(zt::MqVerb::MQBACK), 1u);

    // The disconnect backs out what callbacks took after the end (they return at once), and the
    // reconnect drops memory, so it holds only what is committed (nothing); the consumer then starts
    // again on the redelivered events.
    MQLONG cc = 0, rc = 0;
    wrap_->table()->MQBACK(io_.hconn, &cc, &rc);
    MQHOBJ input = inputHandle();
    wrap_->table()->MQCLOSE(io_.hconn, &input, MQCO_NONE, &cc, &rc);
    ASSERT_EQ(rc, MQRC_NONE);
    cfgFreeModel(1);
    evFreeIntake();
    evStringsFree(1);
    ASSERT_NE(evStringsCreateStream(), nullptr);
    ASSERT_EQ(evStringsInit(0), 1);
    evContext.restartMark.store(0);
    uint64_t commits = wrap_->count(zt::MqVerb::MQCMIT);
    startConsumer();
    // Each redelivered event commits alone.
    waitForCommits(commits + 5);
    stopConsumer();
    char key[EV_QUEUE_NAME_MAX + 1] = "QM1";
    auto *qmgr = reinterpret_cast<QmgrEntry *>(CSTreeFind(evQmgrTree, key, sizeof key));
    ASSERT_NE(qmgr, nullptr);
    uint64_t records = 0;
    for (Stream *stream = qmgr->streams; stream; stream = stream->next) records += stream->recordCount;
    EXPECT_GE(records, 5u);
    EXPECT_EQ(qmgr->counters[EV_QMC_EVENTS].committed, records) << "each redelivered event stored once";
}

}  // namespace
