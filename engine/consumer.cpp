// The message consumer of every input queue: runs on its set's callback thread under the consumer
// lock, takes each message into the set's unit of work, drops what the seen list knows, moves
// poisoned messages aside and hands the rest to the command server or the intake. Also set C's hold
// on set E, which keeps the two units apart.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "engine/internal.h"

std::atomic<int32_t> evConsumerActive{0};
EvDebugValues evDebug;
EvEmitCodePage evEmitCodePage;

namespace {

std::atomic<int32_t> hookWaitLogged{0};

// The emit code pages, from the first message of the process (under the consumer lock).
void setUpEmitCodePage(const MQMD *md, MQHCONN hconn) {
    EvEmitCodePage &page = evEmitCodePage;
    int32_t emit = 0;
    const char *text = std::getenv("ZUNT_EMIT_CCSID");
    if (text == nullptr || !evReadInt(text, &emit, nullptr)) emit = 0;
    page.messageCcsid = md->CodedCharSetId;
    page.emitCcsid = emit != 0 ? emit : md->CodedCharSetId;
    const MQIFunctionTable *mq = evContext.event.mq;
    page.punctuation = MQCcsidPunctuation(mq, hconn, static_cast<uint32_t>(page.emitCcsid));
    page.translate = page.emitCcsid != page.messageCcsid;
    if (page.translate) {
        for (int byte = 0; byte < 256; byte++) {
            char from = static_cast<char>(byte);
            char to = 0;
            int32_t length = 1;
            if (MQConvertString(mq, hconn, &from, 1, &to, &length, page.messageCcsid, page.emitCcsid) != 0 ||
                length != 1)
                to = 0;
            page.table[byte] = static_cast<uint8_t>(to);
        }
    }
    page.ready.store(1);
}

// Per set, under the consumer lock: the message being taken and the one taken before it in the same
// unit; and those two of the last message whose path failed. When they come back, the unit ends after
// the one before the failed message, so that the failed one gets a unit of its own: the others come
// back in full batches, and only a message that fails again is backed out again.
struct Taken {
    MQBYTE24 current;
    MQBYTE24 before;
    bool hasBefore;
};
struct Failure {
    MQBYTE24 failed;
    MQBYTE24 before;
    bool known;
    bool hasBefore;
};
Taken taken[2];
Failure failure[2];

bool sameId(const MQBYTE24 a, const MQBYTE24 b) {
    return std::memcmp(a, b, sizeof(MQBYTE24)) == 0;
}

// A failed message path: the unit backs out (ending the connection when it changed memory).
void failPath(QmgrContext *context, ConnectionSet *set) {
    Failure &failed = failure[set->id];
    const Taken &now = taken[set->id];
    std::memcpy(failed.failed, now.current, sizeof failed.failed);
    std::memcpy(failed.before, now.before, sizeof failed.before);
    failed.hasBefore = now.hasBefore;
    failed.known = true;
    (void)evBackout(context, set, nullptr);
}

// Redelivered messages are taken in full batches again: only the message before the one that failed
// and that one itself end their batch. Under the callback a message's get is already in the open unit
// when the consumer sees it, so the batch before a message can never be committed without it: ending
// the batch after the message before it is what leaves the failed one alone.
bool endsItsBatch(const ConnectionSet *set, const MQMD *md) {
    if (md->BackoutCount <= 0) return false;
    const Failure &failed = failure[set->id];
    if (!failed.known) return false;
    return sameId(md->MsgId, failed.failed) || (failed.hasBefore && sameId(md->MsgId, failed.before));
}

// Steps 5 to 11 for one message. 1, or 0 for a failed path.
int takeMessage(QmgrContext *context, ConnectionSet *set, EventQueueDef *queue, MQMD *md, uint8_t *data,
                MQCBC *cbc) {
    EvUnitState &unit = evUnits[set->id];
    if (evEmitCodePage.ready.load() == 0) setUpEmitCodePage(md, evEventHconn(set));
    queue->counters[EV_EQC_MSGS].current++;
    queue->lastMessageTime = evClockNow();
    queue->queueEmpty = 0;
    int32_t length = cbc->DataLength;
    Taken &now = taken[set->id];
    now.hasBefore = unit.inFlight != 0;
    std::memcpy(now.before, now.current, sizeof now.before);
    std::memcpy(now.current, md->MsgId, sizeof now.current);
    // Counted in flight before anything else, so that even a dead-lettered message is committed by
    // the next sync point of a quiet queue.
    // The message that failed, or the one before it in its failed unit, ends its batch: the unit
    // commits once it is processed (never before: its get is in the unit).
    if (endsItsBatch(set, md)) unit.commitAlone = 1;
    unit.inFlight++;
    set->inFlight.store(static_cast<int32_t>(unit.inFlight));
    // Above the threshold first: a message that fails every time reaches the backout queue.
    if (md->BackoutCount > queue->backoutThreshold)
        return evPutToBackoutQueue(context, set, queue, md, data, length);
    if (cbc->CompCode == MQCC_FAILED || cbc->Reason == MQRC_NOT_CONVERTED)
        return evPutToDLQ(context, set, queue, md, data, length, cbc->Reason, "") &&
               evSyncPoint(context, set);
    // DEBUG BACKOUT: a failed path of its own (a unit that took messages before it costs a reconnect).
    if (evDebug.forcedBackouts.load() > 0) {
        evDebug.forcedBackouts.fetch_sub(1);
        return 0;
    }
    unit.marked = 1;
    // The command server answers a redelivered command by the BackoutCount it came with.
    const MQMD received = *md;
    md->BackoutCount = 0;
    if (set->io.hconn != -1 && set->io.hconn != evEventHconn(set)) {
        int32_t seen = 0;
        if (!evMarkSeen(&unit.seen, md, evClockNow(), &seen)) {
            evOutput(EV_OUT_ERROR, "No storage available.", -1, 1);
            return 0;
        }
        if (seen) return evSyncPoint(context, set);
    }
    if (queue->ownCommandQueue) {
        if (evServices.processCommandMessage == nullptr) return evSyncPoint(context, set);
        return evServices.processCommandMessage(context, queue, &received, data, length);
    }
    int result = evDispatchMessage(context, queue, md, data, length);
    // DEBUG EVREPEAT: the same message again, while it succeeds.
    for (int32_t repeat = evDebug.eventRepeat.load(); result && repeat > 1; repeat--)
        result = evDispatchMessage(context, queue, md, data, length);
    return result;
}

}  // namespace

int evPutToBackoutQueue(QmgrContext *context, ConnectionSet *set, EventQueueDef *queue, const MQMD *md,
                        const uint8_t *data, int32_t length) {
    queue->counters[EV_EQC_BORQ].current++;
    if (queue->backoutHandle == -1)
        return evPutToDLQ(context, set, queue, md, data, length, MQRC_BACKOUT_THRESHOLD_REACHED, "") &&
               evSyncPoint(context, set);
    MQMD copy = *md;
    MQLONG reason = MQRC_NONE;
    if (!evPassOnMessage(set, queue, queue->backoutHandle, "MQPUT(Backout)", &copy, data, length, &reason) &&
        !evPutToDLQ(context, set, queue, md, data, length, reason, queue->backoutOpenName))
        return 0;
    return evSyncPoint(context, set);
}

void evMessageConsumer(MQHCONN, MQMD *md, MQGMO *, void *buffer, MQCBC *cbc) {
    auto *queue = static_cast<EventQueueDef *>(cbc->CallbackArea);
    if (queue == nullptr || evContext.restartMark.load() != 0) return;
    QmgrContext *context = &evContext;
    ConnectionSet *set = queue->ownCommandQueue ? &context->sets[EV_SET_C] : &context->sets[EV_SET_E];
    // The hold and token logic and the end of a connection ask which set's callback runs here.
    struct CallbackMark {
        ConnectionSet *before = evCallbackSet;
        explicit CallbackMark(ConnectionSet *now) { evCallbackSet = now; }
        ~CallbackMark() { evCallbackSet = before; }
    } mark(set);
    bool isE = set->id == EV_SET_E;
    if (isE) evAggrState.lastMessage.store(evClockNow());
    if (cbc->CallType == MQCBCT_EVENT_CALL) {
        if (cbc->Reason != MQRC_NO_MSG_AVAILABLE) return;
        CSRecursiveGuard guard(gConsumerLock);
        context->current = set;
        queue->queueEmpty = 1;
        if (isE) evConsumerActive.store(1);
        (void)evSyncPoint(context, set);
        if (isE) evConsumerActive.store(0);
        return;
    }
    if (cbc->CallType != MQCBCT_MSG_REMOVED) return;
    CSRecursiveGuard guard(gConsumerLock);
    context->current = set;
    if (isE) evConsumerActive.store(1);
    if (!takeMessage(context, set, queue, md, static_cast<uint8_t *>(buffer), cbc)) failPath(context, set);
    if (isE) evConsumerActive.store(0);
}

int32_t evHoldEventSet(QmgrContext *context) {
    EvUnitState &unitC = evUnits[EV_SET_C];
    if (unitC.holdingEvent) return EV_SUSPEND_HELD;
    if (cslEventFunctionFlag.load() != 0 && hookWaitLogged.exchange(1) == 0)
        evOutput(EV_OUT_ERROR, "Command waiting for the running event hook to end", -1, 1);
    // SUSPEND waits for set E's running callback, which may be waiting for this lock, and which marks
    // itself the current set: the caller's mark is put back once the lock is held again.
    ConnectionSet *caller = context->current;
    uint32_t depth = CSRecursiveHeldCount(&gConsumerLock);
    for (uint32_t i = 0; i < depth; i++) CSUnlockRecursive(&gConsumerLock);
    int32_t result = cfgEngine.suspend ? cfgEngine.suspend(EV_SET_E) : EV_SUSPEND_NOT_STARTED;
    for (uint32_t i = 0; i < depth; i++) CSLockRecursive(&gConsumerLock);
    context->current = caller;
    if (result != EV_SUSPEND_HELD) return result;
    context->current = &context->sets[EV_SET_E];
    EvUnitState &unitE = evUnits[EV_SET_E];
    int32_t alone = unitE.commitAlone;
    unitE.commitAlone = 1;  // no deferral: the unit closes now
    int ok = evSyncPoint(context, &context->sets[EV_SET_E]);
    if (unitE.inFlight == 0)
        unitE.commitAlone = 0;
    else
        unitE.commitAlone = alone;
    context->current = caller;
    if (!ok) {
        evEndConnection(context);
        if (cfgEngine.resume) cfgEngine.resume(EV_SET_E);
        return EV_HOLD_FAILED;
    }
    // A 'before' half waiting for its 'after' keeps set E's unit open: not now.
    if (unitE.inFlight != 0) {
        if (cfgEngine.resume) cfgEngine.resume(EV_SET_E);
        return EV_SUSPEND_BUSY;
    }
    unitC.holdingEvent = 1;
    return EV_SUSPEND_HELD;
}

void evReleaseEventSet() {
    EvUnitState &unitC = evUnits[EV_SET_C];
    if (!unitC.holdingEvent) return;
    unitC.holdingEvent = 0;
    if (cfgEngine.resume) cfgEngine.resume(EV_SET_E);
}
