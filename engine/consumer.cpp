// The message consumer of every input queue: runs on its set's callback thread under the consumer
// lock, takes each message into the set's unit of work, drops what the seen list knows, moves
// poisoned messages aside and hands the rest to the command server or the intake. Also set C's hold
// on set E, which keeps the two units apart.
#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <mutex>

#include "engine/internal.h"

std::atomic<int32_t> evConsumerActive{0};
EvDebugValues evDebug;
EvEmitCodePage evEmitCodePage;

namespace {

std::atomic<int32_t> hookWaitLogged{0};

// Whether the byte table can carry the records' text into ccsid: the letters, digits and punctuation
// of every format each become one byte, none of them 0. A code page of two or more bytes a character
// (UTF-16 among them) or one the queue manager cannot convert to would give a 0 for every byte.
bool oneByteEach(const MQIFunctionTable *mq, MQHCONN hconn, int32_t ccsid) {
    static constexpr char kSample[] =
        " 0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz()[]{},.:;'\"=-_/\\";
    constexpr int32_t kLength = sizeof kSample - 1;
    char out[4 * sizeof kSample];
    int32_t length = sizeof out;
    if (MQConvertString(mq, hconn, kSample, kLength, out, &length, 1208, ccsid) != 0 || length != kLength)
        return false;
    return std::memchr(out, 0, kLength) == nullptr;
}

// The emit code pages, from the first message of the process (under the consumer lock).
void setUpEmitCodePage(const MQMD *md, MQHCONN hconn) {
    EvEmitCodePage &page = evEmitCodePage;
    int32_t emit = 0;
    const char *text = std::getenv("ZUNT_EMIT_CCSID");
    if (text == nullptr || !evReadInt(text, &emit, nullptr)) emit = 0;
    page.messageCcsid = md->CodedCharSetId;
    const MQIFunctionTable *mq = evContext.event.mq;
    // 1208 is converted text by text; any other goes through the byte table, which must carry it.
    if (emit != 0 && emit != 1208 && emit != page.messageCcsid && !oneByteEach(mq, hconn, emit)) {
        evOutputF(EV_OUT_ERROR, 1,
                  "ZUNT_EMIT_CCSID(%d) ignored: not a code page of one byte a character the emitters can "
                  "write; the records' own CCSID %d is used",
                  emit, page.messageCcsid);
        emit = 0;
    }
    page.emitCcsid = emit != 0 ? emit : md->CodedCharSetId;
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

}  // namespace

EvStringView evHeldText(EvStringView text, char *buffer, size_t room) {
    const EvEmitCodePage &page = evEmitCodePage;
    if (text.ccsid == 0 || text.length == 0 || page.ready.load() == 0 || room > INT32_MAX) return text;
    // Text in the held code page is valid as it is, unless that is UTF-8 and the text is not.
    if (static_cast<int32_t>(text.ccsid) == page.messageCcsid &&
        (page.messageCcsid != 1208 || MQRepairUtf8(text.text, text.length, nullptr, nullptr) == text.length))
        return text;
    auto length = static_cast<int32_t>(room);
    if (MQConvertShown(evContext.event.mq, evEventHconn(evSet(EV_SET_E)), text.text,
                       static_cast<int32_t>(text.length), buffer, &length, static_cast<int32_t>(text.ccsid),
                       page.messageCcsid, nullptr) != 0)
        return text;
    return EvStringView{buffer, static_cast<uint32_t>(length), static_cast<uint32_t>(page.messageCcsid)};
}

int evHeldSummary(const uint8_t *record, size_t length, const PcfSummary *summary, char *out) {
    const EvEmitCodePage &page = evEmitCodePage;
    const int32_t ccsid = page.ready.load() != 0 ? page.messageCcsid : 0;
    return evEventSummary(&evStreamStringPool, record, length, summary, out, evContext.event.mq,
                          evEventHconn(evSet(EV_SET_E)), ccsid);
}

namespace {

constexpr int32_t kObjectTypeEvq = 10005;
constexpr uint32_t kStopRetention = 7776000;  // 90 days, as the emitters' alerts

// Queues to stop at their next open, with the MsgId that stopped them: their message could not be
// moved aside in a unit whose backout reloads memory. Kept across the reload.
struct StopAtOpen {
    char queue[EV_QUEUE_NAME_MAX + 1];
    uint8_t msgId[MQ_MSG_ID_LENGTH];
};
std::mutex stopsMutex;
StopAtOpen stops[8];
size_t stopsNext = 0;

}  // namespace

void evStopQueueNotice(QmgrContext *context, EventQueueDef *queue, const uint8_t *msgId) {
    // The failed move is an error met on the queue, counted in ERRORCT once for the stop whatever
    // becomes of a unit: the backout that put the message back took away only the counts of its
    // handling (MSGS, DLQCT, its own ERRORCT), which come again when RESUME takes it.
    EvCounter &errors = queue->counters[EV_EQC_ERRORS];
    errors.current++;
    errors.committed++;
    char id[49];
    evIdToHex(msgId, id);
    char text[EV_CONN_MESSAGE_MAX];
    std::snprintf(text, sizeof text,
                  "Event queue '%s' stopped: message MsgId(%s) could not be moved to the backout or "
                  "dead-letter queue. RESUME EVQ('%s') once that queue can take it.",
                  queue->name, id, queue->name);
    evOutput(EV_OUT_ERROR, text, -1, 1);
    AlertTemplate alert{};
    std::snprintf(alert.alert.category, sizeof alert.alert.category, "$BOQFAIL");
    alert.alert.severity = EV_SEVERITY_SEVERE;
    std::snprintf(alert.alert.qmgr, sizeof alert.alert.qmgr, "%s", context->event.name);
    std::snprintf(alert.alert.objectName, sizeof alert.alert.objectName, "%s", queue->name);
    alert.alert.objectType = kObjectTypeEvq;
    alert.alert.time = evClockNow();
    alert.alert.retention = kStopRetention;
    evAlertSetText(&alert.alert, text, -1);
    char errorText[EV_CONFIG_TEXT + 2] = "";
    if (!evAlertAdd(&alert.alert, EV_ALERT_IF_NONE | EV_ALERT_PUBLISH, nullptr, errorText))
        evOutput(EV_OUT_ERROR, errorText, -1, 1);
}

int evTakeStopAtOpen(const EventQueueDef *queue, uint8_t *msgId) {
    std::lock_guard<std::mutex> lock(stopsMutex);
    for (StopAtOpen &stop : stops) {
        if (stop.queue[0] == 0 || std::strcmp(stop.queue, queue->name) != 0) continue;
        std::memcpy(msgId, stop.msgId, MQ_MSG_ID_LENGTH);
        stop.queue[0] = 0;
        return 1;
    }
    return 0;
}

namespace {

void noteStopAtOpen(const EventQueueDef *queue, const MQMD *md) {
    std::lock_guard<std::mutex> lock(stopsMutex);
    StopAtOpen &stop = stops[stopsNext++ % std::size(stops)];
    std::snprintf(stop.queue, sizeof stop.queue, "%s", queue->name);
    std::memcpy(stop.msgId, md->MsgId, MQ_MSG_ID_LENGTH);
}

// An event queue whose message can be neither handled nor moved aside stops: its consumer is
// suspended with status BOQFAIL until RESUME EVQ, one line says so and an alert "$BOQFAIL" shows it.
// Redelivered at once, the message would otherwise fail for ever.
// Unlike the documented rule, which stops the whole set's consumer, only this queue stops: the other
// event queues go on, and RESUME EVQ, which names one queue, starts it again.
void stopQueue(QmgrContext *context, ConnectionSet *set, EventQueueDef *queue, const MQMD *md) {
    evStopQueueNotice(context, queue, md->MsgId);
    // Kept in a unit of its own, as the emitters keep theirs: the failed message's was backed out.
    char errorText[EV_CONFIG_TEXT + 2] = "";
    if (evAlertsChanged.load() != 0) {
        if (evAlertSave(&set->io, errorText) && evCommit(context, set)) return;
        (void)evBackout(context, set, errorText);
    }
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

// ---- Event queue messages past their backout threshold ----
// MQ raises a message's BackoutCount at every backout of a unit that held it: also when the program
// was killed, its connection broke or the queue manager stopped, which is no fault of the message.
// Deliberately unlike the documented rule, which moves every message past its queue's threshold
// aside, an event queue's message past it is taken alone, in a unit of its own, and moved aside only
// once its count shows kAloneEnds backouts while it was alone: its path failed, or it ended the
// program or the connection. A delivery past the threshold is alone unless other queues' messages
// came first (its unit then ends with it), so each rise past threshold + 1 is such a backout, less
// the rises this process knows were not its own (its unit backed out for another message, or for the
// connection or the queue manager). Two, not one: a failure of its path may be passing (storage, a
// data queue put), and a kill may find it alone by chance.
constexpr MQLONG kAloneEnds = 2;

struct PastThreshold {
    MQBYTE24 msgId;
    MQLONG excusedTo;  // the count it comes back with after the last backout that was not its fault
    bool used;
};
PastThreshold pastRecords[32];
size_t pastNext = 0;
// Set E's unit holds a message past its threshold.
struct PastInUnit {
    bool open;
    bool alone;
    MQBYTE24 msgId;
    MQLONG count;
};
PastInUnit pastInUnit;

PastThreshold *findPast(const MQBYTE24 id, bool add) {
    for (PastThreshold &past : pastRecords)
        if (past.used && sameId(past.msgId, id)) return &past;
    if (!add) return nullptr;
    PastThreshold &past = pastRecords[pastNext++ % std::size(pastRecords)];
    past = PastThreshold{};
    std::memcpy(past.msgId, id, sizeof past.msgId);
    past.used = true;
    return &past;
}

void forgetPast(const MQBYTE24 id) {
    if (PastThreshold *past = findPast(id, false); past != nullptr) past->used = false;
}

// A failed message path: the unit backs out (ending the connection when it changed memory). A message
// that could not be moved aside stops its event queue first, so that it is not redelivered at once.
void failPath(QmgrContext *context, ConnectionSet *set, EventQueueDef *queue, const MQMD *md,
              int32_t markedBefore) {
    Failure &failed = failure[set->id];
    const Taken &now = taken[set->id];
    std::memcpy(failed.failed, now.current, sizeof failed.failed);
    std::memcpy(failed.before, now.before, sizeof failed.before);
    failed.hasBefore = now.hasBefore;
    failed.known = true;
    EvUnitState &unit = evUnits[set->id];
    // The backout of a message past its threshold whose own path failed while it was alone counts
    // against it (closed here, it is not excused); a failure of the connection or the queue manager
    // does not.
    const bool connectionFailed = evMoveFailure.connection != 0 || evContext.restartMark.load() != 0 ||
                                  evRunState.qmgrEnding.load() != 0;
    if (pastInUnit.open && pastInUnit.alone && sameId(pastInUnit.msgId, md->MsgId) && !connectionFailed)
        pastInUnit.open = false;
    // A move aside that failed for the connection's reason says nothing of the message or of the
    // queue it was to go to: backed out, the message stays on its queue for the reconnect.
    if (evMoveFailure.failed != 0 && evMoveFailure.connection != 0) {
        evLogAside(queue, md, evMoveFailure.feedback, "kept on its queue",
                   "the move aside failed: backed out");
        (void)evBackout(context, set, nullptr);
        return;
    }
    // Unlike the documented rule, the command queue never stops (no command, RESUME EVQ among them,
    // would be answered): a command message that can be neither handled nor moved aside is taken off
    // with a log line, committed with what its unit took before it.
    if (evMoveFailure.failed != 0 && evMoveFailure.clean != 0 && queue->ownCommandQueue) {
        evLogDiscarded(queue, md, evMoveFailure.feedback, "it could not be moved aside");
        (void)evCommit(context, set);  // a failed commit has ended the connection
        return;
    }
    bool stop = evMoveFailure.failed != 0 && !queue->ownCommandQueue;
    if (stop && evMoveFailure.clean) unit.marked = markedBefore;
    // A unit that changed memory reloads it: the queue stops once that is done with the connection
    // kept, or else when the reconnect opens it.
    const bool stopAfterReload = stop && unit.marked != 0;
    if (stopAfterReload) {
        noteStopAtOpen(queue, md);
        stop = false;
    }
    char message[EV_CONN_MESSAGE_MAX] = "";
    if (stop) {
        (void)evSuspendQueue(context, queue, 0, message);
        queue->status = EV_EVQ_BOQFAIL;
    }
    (void)evBackout(context, set, nullptr);
    if (stop && evContext.restartMark.load() == 0) stopQueue(context, set, queue, md);
    uint8_t msgId[MQ_MSG_ID_LENGTH];
    if (stopAfterReload && evContext.restartMark.load() == 0 && evTakeStopAtOpen(queue, msgId)) {
        (void)evSuspendQueue(context, queue, 0, message);
        queue->status = EV_EVQ_BOQFAIL;
        stopQueue(context, set, queue, md);
    }
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

// An event queue's message past its threshold (see PastThreshold): 1 or 0 as takeMessage when it is
// moved aside here, -1 to take it in.
int takePastThreshold(QmgrContext *context, ConnectionSet *set, EventQueueDef *queue, const MQMD *md,
                      const uint8_t *data, int32_t length) {
    EvUnitState &unit = evUnits[set->id];
    const Taken &now = taken[set->id];
    PastThreshold *past = findPast(md->MsgId, false);
    // Due to be moved aside: whatever its unit holds, as the move changes nothing else.
    const MQLONG counted =
        std::max<MQLONG>(queue->backoutThreshold + 1, past != nullptr ? past->excusedTo : 0);
    if (md->BackoutCount - counted >= kAloneEnds) {
        char id[49];
        evIdToHex(md->MsgId, id);
        evOutputF(EV_OUT_ERROR, 1,
                  "Queue '%s' MsgId(%s) BackoutCount(%d): backed out %d times while taken alone; moved aside",
                  queue->name, id, md->BackoutCount, md->BackoutCount - counted);
        forgetPast(md->MsgId);
        unit.commitAlone = 1;  // its unit ends with it: a message after it would not be alone
        return evPutToBackoutQueue(context, set, queue, md, data, length);
    }
    // Taken in, the unit ending after it. When others came first (their gets are in the unit, which
    // cannot commit without this one), it is first at its next delivery: backing their unit out to
    // take it alone now would raise their counts for nothing.
    unit.commitAlone = 1;
    pastInUnit = PastInUnit{true, !now.hasBefore, {}, md->BackoutCount};
    std::memcpy(pastInUnit.msgId, md->MsgId, sizeof pastInUnit.msgId);
    return -1;
}

// Steps 5 to 11 for one message. 1, or 0 for a failed path.
int takeMessage(QmgrContext *context, ConnectionSet *set, EventQueueDef *queue, MQMD *md, uint8_t *data,
                MQCBC *cbc) {
    EvUnitState &unit = evUnits[set->id];
    evMoveFailure = EvMoveFailure{};
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
    evMoveFailure.clean = 1;
    if (md->BackoutCount > queue->backoutThreshold) {
        if (queue->ownCommandQueue) return evPutToBackoutQueue(context, set, queue, md, data, length);
        if (int past = takePastThreshold(context, set, queue, md, data, length); past >= 0) return past;
    }
    if (cbc->CompCode == MQCC_FAILED || cbc->Reason == MQRC_NOT_CONVERTED)
        return evPutToDLQ(context, set, queue, md, data, length, cbc->Reason, "") &&
               evSyncPoint(context, set);
    evMoveFailure.clean = 0;
    // DEBUG BACKOUT: a failed path of its own (a unit that took messages before it costs a reload).
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
    if (!evPassOnMessage(set, queue, queue->backoutHandle, "MQPUT(Backout)", &copy, data, length, &reason)) {
        char text[EV_CONFIG_TEXT + 2];
        std::snprintf(text, EV_CONFIG_TEXT, "MQPUT(%s/%s) failed RC(%d) %s", context->event.name,
                      queue->backoutOpenName, reason, evReasonText(reason));
        evReportMQError(context, evEventHconn(set), reason, text);
        if (!evPutToDLQ(context, set, queue, md, data, length, reason, queue->backoutOpenName)) return 0;
    } else {
        evLogAside(queue, md, MQRC_BACKOUT_THRESHOLD_REACHED, "moved to the backout queue",
                   queue->backoutOpenName);
    }
    return evSyncPoint(context, set);
}

void evPastThresholdUnitEnded(const ConnectionSet *set, int committed) {
    if (set->id != EV_SET_E || !pastInUnit.open) return;
    pastInUnit.open = false;
    if (committed) {
        forgetPast(pastInUnit.msgId);
        return;
    }
    // Backed out for a reason not its own (its own failure closed the record first).
    PastThreshold *past = findPast(pastInUnit.msgId, true);
    past->excusedTo = std::max(past->excusedTo, pastInUnit.count + 1);
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
    const int32_t markedBefore = evUnits[set->id].marked;
    if (!takeMessage(context, set, queue, md, static_cast<uint8_t *>(buffer), cbc))
        failPath(context, set, queue, md, markedBefore);
    if (isE) evConsumerActive.store(0);
}

int32_t evHoldEventSet(QmgrContext *context) {
    EvUnitState &unitC = evUnits[EV_SET_C];
    // Memory holds what a backed-out unit of set E did until set C's backout reloads it.
    if (unitC.backOutAtSyncPoint) return EV_HOLD_FAILED;
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
    unitE.closingForHold = 1;
    int ok = evSyncPoint(context, &context->sets[EV_SET_E]);
    unitE.closingForHold = 0;
    if (unitE.inFlight == 0)
        unitE.commitAlone = 0;
    else
        unitE.commitAlone = alone;
    context->current = caller;
    if (!ok && unitC.backOutAtSyncPoint) {
        // Set E's unit backed out, its reload left to set C's backout: set E stays still until then.
        unitC.holdingEvent = 1;
        return EV_HOLD_FAILED;
    }
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
