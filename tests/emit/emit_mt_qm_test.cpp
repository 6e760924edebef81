// Emitters on a private stand-in queue manager: queue output under the set's unit of work, and
// ONERROR SUSPEND taken by the consumer on its callback thread: the unit backed out, the event
// queue suspended with status EMITFAIL, the alert and configuration committed, memory reloaded.
#include <unistd.h>

#include "emit/emit.h"
#include "emit_testing.h"
#include "engine/engine.h"
#include "tests/engine/consumer_qm.h"
#include "tests/engine/engine_testing.h"
#include "tests/streams/qmstream.h"

namespace {

constexpr const char *kEventQueue = "SYSTEM.ADMIN.QMGR.EVENT";
constexpr int64_t kTime = 1740873600;

class EmitQmTest : public st::DataQueueTest {
protected:
    void SetUp() override {
        st::DataQueueTest::SetUp();
        freeQmgrStreams();
        cfgInstall();
        eqm::freshIntake();
        emitInstall();
        InitialiseCommandFields();
        evAlertFreeAll();
        ASSERT_EQ(qm_->mqsc("ALTER QMGR LOCALEV(ENABLED)\nDEFINE QLOCAL(OUT.Q)\n"), 0);
        eqm::bothSetsOn(wrap_->table(), io_, 10);
        evContext.sets[EV_SET_E].deadQueueHandle.store(-1);
        emitter_ = evCreateEmitterDef("OUT", -1);
        ASSERT_NE(emitter_, nullptr);
        std::strcpy(emitter_->queue, "OUT.Q");
        emitter_->singleRecord = 1;
        emitter_->format = EV_EMIT_NDJSON;
    }
    void TearDown() override {
        emitCloseOutputs(&evContext, &evContext.sets[EV_SET_E]);
        eqm::setsOff();
        ct::freeEmitters();
        evAlertFreeAll();
        cfgFreeModel(1);
        evFreeIntake();
        st::DataQueueTest::TearDown();
    }
    // Messages on a queue, taken off it.
    int drain(const char *queue, std::vector<MQMD> *descriptors = nullptr) {
        std::vector<zt::QueueMessage> taken = zt::queueMessages(wrap_->table(), io_.hconn, queue);
        if (descriptors != nullptr)
            for (const zt::QueueMessage &m : taken) descriptors->push_back(m.md);
        return static_cast<int>(taken.size());
    }
    int emitEvent() {
        StreamDef *def = evStreamDefine("$EVENTS", -1, STREAM_TYPE_EVENTS, 0, 0);
        std::strcpy(def->evEmit, "OUT");
        Stream stream{};
        stream.definition = def;
        std::vector<uint8_t> record(64);
        evCFWriter w{};
        EXPECT_EQ(evCFWriterInit(&w, record.data(), 64, &evStreamStringPool, 850), 1);
        evCFSetCommand(record.data(), 44);
        evCFSetEventTime(record.data(), kTime);
        EmitContext c{};
        c.qmgrContext = &evContext;
        c.set = &evContext.sets[EV_SET_E];
        c.stream = &stream;
        return emitRecord(&c, record.data(), w.length);
    }

    EmitterDef *emitter_ = nullptr;
};

TEST_F(EmitQmTest, NormalPutsGoWithTheUnitImmediatePutsStay) {
    emitter_->msgPersistence = EV_PERSIST_YES;
    ASSERT_EQ(emitEvent(), EMIT_DONE);
    MQLONG cc = 0, rc = 0;
    wrap_->table()->MQBACK(io_.hconn, &cc, &rc);
    EXPECT_EQ(drain("OUT.Q"), 0);
    emitter_->put = EV_PUT_IMMEDIATE;
    ASSERT_EQ(emitEvent(), EMIT_DONE);
    wrap_->table()->MQBACK(io_.hconn, &cc, &rc);
    std::vector<MQMD> mds;
    ASSERT_EQ(drain("OUT.Q", &mds), 1);
    EXPECT_EQ(std::string(mds[0].Format, 8), "MQSTR   ");
    EXPECT_EQ(mds[0].MsgType, MQMT_DATAGRAM);
    EXPECT_EQ(mds[0].Persistence, MQPER_PERSISTENT);
}

TEST_F(EmitQmTest, MissingQueueWithDiscardRaisesOneAlert) {
    std::strcpy(emitter_->queue, "NO.SUCH.Q");
    emitter_->onError = EV_ONERROR_DISCARD;
    ASSERT_EQ(emitEvent(), EMIT_DONE);
    ASSERT_EQ(emitEvent(), EMIT_DONE);
    EXPECT_EQ(emitter_->errorCount, 2u);
    EXPECT_EQ(emitter_->failTime, 0);
    et::expectOneMissingQueueAlert();
}

// Each failed open of the emitter's missing queue raises a local event that is stored and emitted in
// turn. The queue is not opened again before its failure delay (5 s, then 10 s) has passed: the
// missing queue costs one open, and one event, per back-off period, not one per record.
TEST_F(EmitQmTest, AMissingQueueIsOpenedAgainOnlyAfterItsFailureDelay) {
    std::strcpy(emitter_->queue, "NO.SUCH.Q");
    emitter_->onError = EV_ONERROR_DISCARD;
    StreamDef *def = evStreamDefine("$EVENTS", -1, STREAM_TYPE_EVENTS, 0, 0);
    std::strcpy(def->evEmit, "OUT");
    const MQIFunctionTable *t = wrap_->table();
    drain(kEventQueue);  // the queue manager's own events of the set-up
    EventQueueDef *queue = eqm::startConsumer(t, io_.hconn, kEventQueue, MQCBDO_NONE, true);
    ASSERT_NE(queue, nullptr);
    // Events from outside: another application's opens of missing queues, each of its own name.
    MQHCONN other = eqm::connectShared(&raw_);
    int outside = 0;
    auto raiseOutside = [&](int count) {
        for (int i = 0; i < count; i++) {
            MQOD od = MQOD_DEFAULT;
            std::snprintf(od.ObjectName, sizeof od.ObjectName, "ELSEWHERE.%d", ++outside);
            MQHOBJ hobj = -1;
            MQLONG cc = 0, rc = 0;
            raw_.MQOPEN(other, &od, MQOO_OUTPUT, &hobj, &cc, &rc);
            ASSERT_EQ(rc, MQRC_UNKNOWN_OBJECT_NAME);
        }
    };
    // The emitter's opens of NO.SUCH.Q (the only failing opens on the set's connection) and the
    // events taken in, once every event is taken in and committed: none left and none in an open unit
    // (an event a failed open raises is there before the unit that raised it commits).
    auto quiet = [&] {
        uint64_t seen = 0;
        // The unit's counts are the committed ones once its MQCMIT has returned.
        EXPECT_TRUE(et::waitFor([&] {
            if (!qmt::queueTaken("QM1", kEventQueue)) return false;
            CSRecursiveGuard guard(gConsumerLock);
            seen = queue->counters[EV_EQC_MSGS].committed;
            return seen == queue->counters[EV_EQC_MSGS].current;
        }));
        int opens = 0;
        for (const zt::MqCall &call : wrap_->calls(zt::MqVerb::MQOPEN))
            opens += call.reason == MQRC_UNKNOWN_OBJECT_NAME;
        return std::make_pair(opens, seen);
    };

    raiseOutside(1);
    EXPECT_EQ(quiet(), std::make_pair(1, uint64_t{2})) << "one open, its event not emitted to the queue";
    raiseOutside(2);
    EXPECT_EQ(quiet(), std::make_pair(1, uint64_t{4})) << "within the delay, no open";
    clock_.advanceMs(5000);
    raiseOutside(2);
    EXPECT_EQ(quiet(), std::make_pair(2, uint64_t{7})) << "after the delay, one open and its event";
    clock_.advanceMs(5000);
    raiseOutside(1);
    EXPECT_EQ(quiet(), std::make_pair(2, uint64_t{8})) << "the second delay is twice as long";
    clock_.advanceMs(5000);
    raiseOutside(1);
    EXPECT_EQ(quiet(), std::make_pair(3, uint64_t{10}));
    eqm::stopConsumers(t, io_.hconn);

    MQLONG cc = 0, rc = 0;
    raw_.MQDISC(&other, &cc, &rc);
    CSRecursiveGuard guard(gConsumerLock);
    EXPECT_EQ(emitter_->errorCount, 10u) << "every record not written is counted";
    et::expectOneMissingQueueAlert();
}

TEST_F(EmitQmTest, SuspendBacksOutSuspendsTheQueueAndReloads) {
    std::strcpy(emitter_->queue, "NO.SUCH.Q");
    emitter_->onError = EV_ONERROR_SUSPEND;
    StreamDef *def = evStreamDefine("$EVENTS", -1, STREAM_TYPE_EVENTS, 0, 0);
    std::strcpy(def->evEmit, "OUT");
    // One local event: the open of a missing queue.
    const MQIFunctionTable *t = wrap_->table();
    MQOD od = MQOD_DEFAULT;
    std::strcpy(od.ObjectName, "NO.SUCH.QUEUE");
    MQHOBJ hobj = -1;
    MQLONG cc = 0, rc = 0;
    t->MQOPEN(io_.hconn, &od, MQOO_OUTPUT, &hobj, &cc, &rc);
    ASSERT_EQ(rc, MQRC_UNKNOWN_OBJECT_NAME);

    EventQueueDef *queue = eqm::startConsumer(t, io_.hconn, kEventQueue, MQCBDO_NONE, true);
    ASSERT_NE(queue, nullptr);
    // The callback changes the queue's record under the consumer lock.
    auto status = [queue] {
        CSRecursiveGuard guard(gConsumerLock);
        return queue->status;
    };
    for (int waited = 0; waited < 10000 && status() != EV_EVQ_EMITFAIL; waited += 10) usleep(10000);
    for (int waited = 0; waited < 2000 && evDataQueue.loaded.load() == 0; waited += 10) usleep(10000);
    eqm::stopConsumers(t, io_.hconn);

    CSRecursiveGuard guard(gConsumerLock);
    EXPECT_EQ(queue->status, static_cast<uint32_t>(EV_EVQ_EMITFAIL));
    EXPECT_EQ(queue->consumerSuspended, 1u);
    EXPECT_GE(wrap_->count(zt::MqVerb::MQBACK), 1u);
    EXPECT_EQ(evDataQueue.loaded.load(), 1) << "memory was loaded again from the data queue";
    EXPECT_EQ(evContext.restartMark.load(), 0) << "the connection goes on";
    EXPECT_EQ(evContext.hookMessage.load(), nullptr) << "the stopped put left no freed hook message behind";
    bool alert = false;
    for (AlertDef *a = evAlertList; a != nullptr; a = a->next)
        if (std::strcmp(a->category, "$EMIT") == 0 && std::strcmp(a->objectName, kEventQueue) == 0)
            alert = true;
    EXPECT_TRUE(alert) << "the $EMIT alert was saved and loaded back";
    // The event went back to its queue with the backout.
    EXPECT_GE(drain(kEventQueue), 1);
}

}  // namespace
