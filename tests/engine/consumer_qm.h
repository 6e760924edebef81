// The real consumer on a stand-in queue manager, started by hand as a connection set starts it: the
// intake's state made fresh, a set put on the fixture's connection, the queue's record made active,
// the queue opened for input, evMessageConsumer registered on it and the connection's consumers
// started. Also the shared connection a second thread (the console's, set C's) holds beside the
// fixture's own.
#pragma once

#include <gtest/gtest.h>

#include <cstring>

#include "engine/engine.h"
#include "miniqm/qm_fixture.h"
#include "testing/mqi_wrap.h"

namespace eqm {

// The intake installed afresh: default settings, no restart asked for, each set's unit empty.
inline void freshIntake() {
    evInstallIntake();
    evSettingsDefaults(evClockNow());
    evContext.restartMark.store(0);
    for (EvUnitState &unit : evUnits) unit = EvUnitState{};
}

// Set `id` on the connection of io in batches of `batch`, the other set not started, on the queue
// manager "QM1" through the library t.
inline void setOn(int32_t id, const MQIFunctionTable *t, const EvStreamIo &io, uint32_t batch) {
    evContext.event.mq = t;
    std::strcpy(evContext.event.name, "QM1");
    std::strcpy(evContext.state.name, "QM1");
    ConnectionSet &set = evContext.sets[id];
    set.id = id;
    set.io = io;
    set.io.batchSize = batch;
    evConnHandles[set.eventSlot].store(io.hconn);
    const int32_t other = id == EV_SET_E ? EV_SET_C : EV_SET_E;
    evContext.sets[other].id = other;
    evConnHandles[evContext.sets[other].eventSlot].store(-1);
}

// Both sets on the connection of io in batches of `batch`, set E's events taken on it too.
inline void bothSetsOn(const MQIFunctionTable *t, const EvStreamIo &io, uint32_t batch) {
    setOn(EV_SET_E, t, io, batch);
    evContext.sets[EV_SET_C].io = io;
    evContext.sets[EV_SET_C].io.batchSize = batch;
    for (int32_t id : {EV_SET_C, EV_SET_E}) evConnHandles[evContext.sets[id].stateSlot].store(io.hconn);
}

// Neither set on a connection any more.
inline void setsOff() {
    for (int32_t id : {EV_SET_C, EV_SET_E}) {
        evConnHandles[evContext.sets[id].stateSlot].store(-1);
        evConnHandles[evContext.sets[id].eventSlot].store(-1);
        evContext.sets[id].io = EvStreamIo{nullptr, -1, -1, 0, 1, 0};
    }
}

// A connection of its own to the queue manager, as the console's and each set's are.
inline MQHCONN connectShared(const MQIFunctionTable *t, const char *qmgr = "QM1") {
    MQCHAR48 name;
    qmt::setText(name, 48, qmgr);
    MQCNO cno = MQCNO_DEFAULT;
    cno.Options = MQCNO_HANDLE_SHARE_BLOCK;
    MQHCONN hconn = MQHC_UNUSABLE_HCONN;
    MQLONG cc = 0, rc = 0;
    t->MQCONNX(name, &cno, &hconn, &cc, &rc);
    EXPECT_EQ(cc, MQCC_OK) << rc;
    return hconn;
}

// The console's connection, made by the test on the library t and linked as the console links its
// own; no sweep or statistics message seen yet.
inline MQHCONN linkConsole(const MQIFunctionTable *t) {
    const MQHCONN hconn = connectShared(t);
    evConsoleLink.mq.store(t);
    evConsoleLink.hconn.store(hconn);
    evConsoleLink.commandQueue.store(-1);
    evAggrState.lastMessage.store(0);
    evAggrState.lastSweep.store(0);
    evAggrState.lastSweepFailed.store(0);
    evAggrState.sweepPending.store(0);
    return hconn;
}
inline void unlinkConsole(const MQIFunctionTable *t, MQHCONN *hconn) {
    evConsoleLink.hconn.store(-1);
    evConsoleLink.commandQueue.store(-1);
    MQLONG cc = 0, rc = 0;
    t->MQDISC(hconn, &cc, &rc);
}

// The queue's consumer registered on hconn, not yet started; null where the queue has no record. A
// failed call is reported and the rest still tried, as the test goes on anyway. `registered` marks
// the record as the connection set does once its consumer is registered.
inline EventQueueDef *registerConsumer(const MQIFunctionTable *t, MQHCONN hconn, const char *queueName,
                                       MQLONG callbackOptions = MQCBDO_FAIL_IF_QUIESCING,
                                       bool registered = false) {
    EventQueueDef probe{};
    std::strcpy(probe.name, queueName);
    int32_t reason = 0;
    char text[EV_CONFIG_TEXT];
    EventQueueDef *queue = evEventQueueFindOrAdd(&probe, &reason, text);
    if (queue == nullptr) {
        ADD_FAILURE() << "no record for " << queueName << ": " << text;
        return nullptr;
    }
    queue->status = EV_EVQ_ACTIVE;
    queue->backoutThreshold = 3;
    queue->backoutHandle = -1;
    queue->forwardHandle = -1;
    MQOD od = MQOD_DEFAULT;
    std::strcpy(od.ObjectName, queueName);
    MQLONG cc = 0, rc = 0;
    // Input shared, inquire, all context saved, failing if quiescing: the set's own open.
    t->MQOPEN(hconn, &od, 0x20A2, &queue->inputHandle, &cc, &rc);
    EXPECT_EQ(rc, MQRC_NONE) << "MQOPEN " << queueName;
    if (registered) queue->registered = 1;
    MQCBD cbd = MQCBD_DEFAULT;
    cbd.CallbackType = MQCBT_MESSAGE_CONSUMER;
    cbd.Options = callbackOptions;
    cbd.CallbackArea = queue;
    cbd.CallbackFunction = reinterpret_cast<MQPTR>(&evMessageConsumer);
    MQMD md = MQMD_DEFAULT;
    MQGMO gmo = MQGMO_DEFAULT;
    gmo.Options = 0x6003;  // wait, under sync point, truncated accepted, failing if quiescing
    t->MQCB(hconn, MQOP_REGISTER, &cbd, queue->inputHandle, &md, &gmo, &cc, &rc);
    EXPECT_EQ(rc, MQRC_NONE) << "MQCB " << queueName;
    return queue;
}

// The consumers registered on hconn started.
inline void startConsumers(const MQIFunctionTable *t, MQHCONN hconn) {
    MQCTLO ctlo = MQCTLO_DEFAULT;
    MQLONG cc = 0, rc = 0;
    t->MQCTL(hconn, MQOP_START, &ctlo, &cc, &rc);
    EXPECT_EQ(rc, MQRC_NONE) << "MQCTL start";
}

// The queue's consumer registered and started on hconn, as registerConsumer.
inline EventQueueDef *startConsumer(const MQIFunctionTable *t, MQHCONN hconn, const char *queueName,
                                    MQLONG callbackOptions = MQCBDO_FAIL_IF_QUIESCING,
                                    bool registered = false) {
    EventQueueDef *queue = registerConsumer(t, hconn, queueName, callbackOptions, registered);
    if (queue != nullptr) startConsumers(t, hconn);
    return queue;
}

inline void stopConsumers(const MQIFunctionTable *t, MQHCONN hconn) {
    MQCTLO ctlo = MQCTLO_DEFAULT;
    MQLONG cc = 0, rc = 0;
    t->MQCTL(hconn, MQOP_STOP, &ctlo, &cc, &rc);
}

}  // namespace eqm
