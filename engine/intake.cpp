// Intake of set E's messages: sorted by Format, events compressed and stored in the streams the
// record hook names, statistics handed to their intake, everything else dead-lettered. Runs on set
// E's callback thread under the consumer lock, in set E's unit of work.
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <map>
#include <mutex>
#include <set>
#include <string>

#include "engine/internal.h"

std::atomic<uint32_t> evEventSequence{0};

namespace {

constexpr int32_t kCfhLength = 36;
constexpr size_t kImplicitShown = 240;
constexpr size_t kImplicitDots = 246;

void copyBlank(char *to, const char *from, size_t size) {
    std::memset(to, ' ', size);
    if (from != nullptr) {
        size_t length = strnlen(from, size);
        std::memcpy(to, from, length);
    }
}

// The category counter of an event's MQCFH Reason, or -1.
int categoryOf(uint32_t reason) {
    struct Row {
        EvQmgrCounter counter;
        std::initializer_list<uint32_t> reasons;
    };
    static const Row rows[] = {
        {EV_QMC_AUTHOR, {2035}},
        {EV_QMC_CHL, {2233, 2234, 2279, 2282, 2283, 2284, 2295, 2296, 2537, 2577, 2578}},
        {EV_QMC_CMD, {2412, 2413}},
        {EV_QMC_CONFIG, {2367, 2368, 2369, 2370}},
        {EV_QMC_INHIBIT, {2016, 2051}},
        {EV_QMC_LOCAL, {2001, 2082, 2085}},
        {EV_QMC_LOGGER, {2411}},
        {EV_QMC_PERFM, {2053, 2224, 2225, 2226, 2227}},
        {EV_QMC_REMOTE, {2057, 2087, 2091, 2092, 2184, 2196, 2197, 2198, 2199}},
        {EV_QMC_SSL, {2371, 2552}},
        {EV_QMC_STRSTP, {2222, 2223}},
        {EV_QMC_IMSBR, {2125, 2126}},
    };
    for (const Row &row : rows)
        for (uint32_t r : row.reasons)
            if (r == reason) return row.counter;
    return -1;
}

void countQueue(EventQueueDef *queue, EvQueueCounter counter) {
    if (queue != nullptr) queue->counters[counter].current++;
}

// The queue manager of that name, without adding one: null when set C removed it meanwhile.
QmgrEntry *findQmgr(const char *name) {
    QmgrEntry probe{};
    std::memcpy(probe.name, name, strnlen(name, EV_QUEUE_NAME_MAX));
    CSRecursiveGuard guard(gStructureLock);
    return reinterpret_cast<QmgrEntry *>(CSTreeFind(evQmgrTree, probe.name, sizeof probe.name));
}

Stream *findStream(QmgrEntry *qmgr, uint32_t streamId) {
    for (Stream *stream = qmgr->streams; stream; stream = stream->next)
        if (stream->streamId == streamId) return stream;
    return nullptr;
}

// Runs the type's record hook with the consumer lock released (the hook may wait on commands that
// set C handles); the list the hook leaves, or the type's default stream without a script.
void runRecordHook(uint32_t type, EvRecordHook *hook) {
    hook->type = type;
    evStreamDefaultName(hook->streams, type);
    if (evServices.callRecordHook == nullptr) return;
    ConnectionSet *current = evContext.current;
    EvRecordHook *message = evContext.hookMessage.load();
    uint32_t depth = CSRecursiveHeldCount(&gConsumerLock);
    for (uint32_t i = 0; i < depth; i++) CSUnlockRecursive(&gConsumerLock);
    int result;
    {
        CSRecursiveGuard guard(gScriptLock);
        const EvHookMessage saved = gHookMessage;
        gHookMessage = EvHookMessage{static_cast<int32_t>(type), hook, nullptr};
        result = evServices.callRecordHook(hook, static_cast<int32_t>(type));
        gHookMessage = saved;
    }
    for (uint32_t i = 0; i < depth; i++) CSLockRecursive(&gConsumerLock);
    evContext.current = current;
    evContext.hookMessage.store(message);
    if (result == 2) {
        // Handled whole or not at all: stored in no stream and emitted nowhere, its unit never commits.
        evUnits[current != nullptr ? current->id : EV_SET_E].refused = 1;
        hook->streams[0] = 0;
    }
    if (result == 0) hook->streams[0] = 0;
}

// The queues whose event texts have been said to hold substitution characters, and those said to
// hold texts not valid in their CCSID (under the consumer lock, as every message's intake).
std::set<std::string> substitutedQueues;
std::set<std::string> invalidQueues;

// Characters of a UTF-8 or UTF-16 text that are not valid there, which every display and file shows
// as U+FFFD (or a substitution character).
uint32_t invalidCharacters(const char *text, int32_t length, uint32_t ccsid) {
    uint32_t replaced = 0;
    if (ccsid == 1208) {
        (void)MQRepairUtf8(text, static_cast<size_t>(length), nullptr, &replaced);
    } else if (ccsid == 1200 || ccsid == 1201 || ccsid == 1202) {
        std::string utf8(2 * static_cast<size_t>(length) + 4, '\0');
        auto size = static_cast<int32_t>(utf8.size());
        if (MQConvertShown(nullptr, -1, text, length, utf8.data(), &size, static_cast<int32_t>(ccsid), 1208,
                           &replaced) != 0)
            replaced = 0;
    }
    return replaced;
}

// The get converts an event to the queue manager's CCSID; a character that CCSID lacks (a euro sign
// or Japanese in a UTF-8 event, for one) becomes its substitution character, 0x1A. Counted in the
// texts of the message's own CCSID and said once a queue, with the count of the first message. An
// event the get could not convert (a text not valid in its CCSID) keeps its texts as they came: what
// is not valid in them is counted and said the same way.
void noteSubstitutions(const EventQueueDef *queue, const MQMD *md, uint8_t *data, int32_t length) {
    const int32_t ccsid = md->CodedCharSetId;
    if (queue == nullptr) return;
    const bool substitutions = ccsid != 1208 && ccsid != 1200 && substitutedQueues.count(queue->name) == 0;
    const bool invalid = invalidQueues.count(queue->name) == 0;
    if (!substitutions && !invalid) return;
    PcfCursor cursor;
    MQPCFInitParser(&cursor, data, length, 0);  // a default of 0 leaves the message as it is
    uint32_t count = 0;
    uint32_t lost = 0;
    for (;;) {
        int32_t type = 0, parmId = 0, valueLength = 0, items = 0, cc = 0, rc = 0;
        void *value = nullptr;
        MQPCFGetNextParm(&cursor, &type, &parmId, &value, &valueLength, &items, &cc, &rc);
        if (cc == MQCC_FAILED) break;
        if ((type != MQCFT_STRING && type != MQCFT_STRING_LIST) || value == nullptr || valueLength <= 0)
            continue;
        const auto *text = static_cast<const char *>(value);
        const uint32_t own = cursor.lastCcsid != 0 ? cursor.lastCcsid : static_cast<uint32_t>(ccsid);
        if (invalid) lost += invalidCharacters(text, valueLength, own);
        if (!substitutions || own != static_cast<uint32_t>(ccsid)) continue;
        for (int32_t i = 0; i < valueLength; i++) count += text[i] == '\x1A' ? 1 : 0;
    }
    if (lost > 0) {
        invalidQueues.insert(queue->name);
        evOutputF(EV_OUT_INFO, 1,
                  "Event queue '%s': %u characters of an event's texts are not valid in their CCSID and are "
                  "shown as a replacement character (said once for this queue)",
                  queue->name, lost);
    }
    if (count == 0) return;
    substitutedQueues.insert(queue->name);
    evOutputF(EV_OUT_INFO, 1,
              "Event queue '%s': %u characters of an event's texts have no equivalent in CCSID %d and were "
              "replaced by a substitution character (said once for this queue)",
              queue->name, count, ccsid);
}

struct StoreWalk {
    QmgrEntry *qmgr;
    uint32_t type;
    int64_t time;
    EventQueueDef *queue;
    uint8_t *record;
    uint32_t length;
    Area **headerOut;
    const MQMD *md;
    uint32_t implicitCount;
    int32_t stopped;
    int32_t replaced;  // the emitter reloaded memory: nothing the walk holds may be touched
};

// Steps 3 to 7 for one name of the list. 1 to go on, 0 failed.
int storeInStream(StoreWalk *walk, const char *name, size_t length) {
    if (length >= 5 && strncasecmp(name, "$null", 5) == 0) return 1;
    StreamDef *def = evStreamDefine(name, static_cast<int32_t>(length), walk->type, 1, 0);
    if (def == nullptr) return 0;  // out of storage: a failed path, the message comes back
    if (def->type != walk->type) {
        // A hook naming a stream of another type: the walk stops, as redelivery would not help.
        evOutput(EV_OUT_ERROR, "Unknown stream.", -1, 1);
        walk->stopped = 1;
        return 1;
    }
    Stream *stream = findStream(walk->qmgr, def->streamId);
    if (stream == nullptr) stream = evStreamCreate(walk->qmgr, def);
    if (stream == nullptr) return 0;
    stream->lastEventQueue = walk->queue;
    if (def->disImplct) walk->implicitCount++;
    uint32_t eventId = 0;
    if (walk->type == STREAM_TYPE_EVENTS) {
        eventId = mqiGetU32(evStreamMessage(stream), SH_LAST_EVENT_ID) + 1;
        if (eventId == 0) eventId = 1;
        evCFSetEventId(walk->record, eventId);
    }
    if (def->aggrInt != 0 && walk->type != STREAM_TYPE_EVENTS) {
        EvStreamHooks *hooks = evStreamGetHooks();
        int folded = hooks->aggrAddRecord != nullptr
                         ? hooks->aggrAddRecord(&evContext, walk->qmgr, stream, 0, walk->record, walk->length)
                         : 0;
        if (folded == 2) {
            // The fold's absorb emitted, and its emitter replaced memory, as in step 8.
            walk->replaced = 1;
            walk->stopped = 1;
            return 1;
        }
        return folded;
    }
    Area *header = evStreamAddSplit(walk->qmgr, stream, walk->record, walk->length, walk->time, nullptr);
    if (header == nullptr) return 0;
    evUnits[EV_SET_E].marked = 1;
    if (walk->headerOut != nullptr) *walk->headerOut = header;
    if (walk->type == STREAM_TYPE_EVENTS) {
        mqiPutU32(evStreamMessage(stream), SH_LAST_EVENT_ID, eventId);
        uint8_t *current = evStreamCurrentBlob(stream);
        mqiPutU32(current, BH_HIGH_EVENT_ID, eventId);
        if (mqiGetU32(current, BH_LOW_EVENT_ID) == 0) mqiPutU32(current, BH_LOW_EVENT_ID, eventId);
        evAlertLinkRaised(evEventSequence.load(), walk->qmgr, stream->streamId, eventId);
    }
    // Step 8: the stream's emitter; a failing one stops the walk.
    if (def->evEmit[0] != 0 && evServices.emitStored != nullptr) {
        int emitted = evServices.emitStored(&evContext, &evContext.sets[EV_SET_E], walk->qmgr, stream,
                                            walk->md, walk->record, walk->length);
        if (emitted == 2) {
            walk->replaced = 1;
            walk->stopped = 1;
            return 1;
        }
        if (emitted == 0) return 0;
    }
    return 1;
}

// Step 6: the first half of a pair joins the pool; the second becomes the combined record in *area. 1
// to go on with *area, 0 when the half is done with, -1 when storage failed (*area released for both).
// Unlike the documented pairing, which takes the halves in their order and drops an 'after' whose
// 'before' is missing, an 'after' that comes first waits for its 'before' too: another connection's
// unit of work may hold the 'before' and give it back later (a killed run's, on an event queue manager
// that has not yet seen it end while a separate state queue manager has).
int pairHalves(EventQueueDef *queue, QmgrEntry *qmgr, int lastHalf, Area **area) {
    uint8_t *record = AreaData(*area);
    uint32_t length = (*area)->used;
    const uint32_t objectId = mqiGetU32(record, 16);
    const uint16_t objectType = evCFGetObjectType(record);
    uint32_t otherLength = 0;
    uint8_t *other = lastHalf ? evBeforePoolTake(qmgr->name, objectId, objectType, &otherLength)
                              : evAfterPoolTake(qmgr->name, objectId, objectType, &otherLength);
    if (other == nullptr) {
        // The wait runs from the first half that waits: its message is in set E's open unit.
        if (queue != nullptr && queue->beforeWaitingSince == 0) queue->beforeWaitingSince = evClockNow();
        int added = lastHalf ? evAfterPoolAdd(qmgr->name, record, length)
                             : evBeforePoolAdd(qmgr->name, record, length);
        AreaRelease(area);
        return added ? 0 : -1;
    }
    // Only when no half waits any more: a later pair must not let the unit commit an earlier half.
    if (queue != nullptr && !evPairPoolWaiting()) queue->beforeWaitingSince = 0;
    Area *combined = lastHalf ? evCombineChange(other, otherLength, record, length)
                              : evCombineChange(record, length, other, otherLength);
    CSFreeMem(other);
    AreaRelease(area);
    *area = combined;
    return combined != nullptr ? 1 : -1;
}

}  // namespace

namespace {

// The lines of messages consumed or moved aside: the first of each second is written at once; the
// rest of that second are counted and said in one line with their number, by the next line or by the
// main loop's next tick (so a burst is never hidden behind its first line).
struct AsideLines {
    std::mutex mutex;
    int64_t lastLine = 0;
    uint32_t heldBack = 0;
    char lastQueue[EV_QUEUE_NAME_MAX + 1] = "";
    char lastWhat[96] = "";
};
AsideLines asideLines;

void sayHeldBack(AsideLines &lines) {
    if (lines.heldBack == 0) return;
    evOutputF(EV_OUT_ERROR, 1, "%u more messages %s (the last from queue '%s') in the second before",
              lines.heldBack, lines.lastWhat, lines.lastQueue);
    lines.heldBack = 0;
}

}  // namespace

void evLogAside(const EventQueueDef *queue, const MQMD *md, int32_t feedback, const char *what,
                const char *why) {
    std::lock_guard<std::mutex> lock(asideLines.mutex);
    const int64_t now = evClockNow();
    if (now == asideLines.lastLine) {
        if (asideLines.heldBack != 0 && std::strcmp(asideLines.lastWhat, what) != 0) sayHeldBack(asideLines);
        std::snprintf(asideLines.lastWhat, sizeof asideLines.lastWhat, "%s", what);
        std::snprintf(asideLines.lastQueue, sizeof asideLines.lastQueue, "%s",
                      queue != nullptr ? queue->name : "");
        asideLines.heldBack++;
        return;
    }
    sayHeldBack(asideLines);
    asideLines.lastLine = now;
    std::snprintf(asideLines.lastWhat, sizeof asideLines.lastWhat, "%s", what);
    char id[49];
    evIdToHex(md->MsgId, id);
    evOutputF(EV_OUT_ERROR, 1, "Message %s from queue '%s' MsgId(%s): %s RC(%d), %s", what,
              queue != nullptr ? queue->name : "", id, evReasonText(feedback), feedback, why);
}

void evLogDiscarded(const EventQueueDef *queue, const MQMD *md, int32_t feedback, const char *why) {
    evLogAside(queue, md, feedback, "discarded", why);
}

void evFlushAsideLines(bool all) {
    std::lock_guard<std::mutex> lock(asideLines.mutex);
    if (all || asideLines.lastLine != evClockNow()) sayHeldBack(asideLines);
}

bool evConnectionReason(int32_t reason) {
    switch (reason) {
        case 2009:  // MQRC_CONNECTION_BROKEN
        case 2018:  // MQRC_HCONN_ERROR
        case 2019:  // MQRC_HOBJ_ERROR (the connection was made again)
        case 2059:  // MQRC_Q_MGR_NOT_AVAILABLE
        case 2161:  // MQRC_Q_MGR_QUIESCING
        case 2162:  // MQRC_Q_MGR_STOPPING
        case 2202:  // MQRC_CONNECTION_QUIESCING
        case 2203:  // MQRC_CONNECTION_STOPPING
            return true;
        default:
            return false;
    }
}

EvMoveFailure evMoveFailure;

uint32_t evNextEventSequence() {
    uint32_t next = evEventSequence.load() + 1;
    if (next == 0) next = 1;
    evEventSequence.store(next);
    return next;
}

void evBuildDLH(uint8_t *dlh, const MQMD *md, int32_t feedback, const char *destQueue, const char *destQmgr) {
    std::memset(dlh, 0, EV_DLH_LENGTH);
    std::memcpy(dlh, MQDLH_STRUC_ID, 4);
    mqiPutI32(dlh, 4, MQDLH_VERSION_1);
    mqiPutI32(dlh, 8, feedback);
    copyBlank(reinterpret_cast<char *>(dlh + 12), destQueue, 48);
    copyBlank(reinterpret_cast<char *>(dlh + 60), destQmgr, 48);
    mqiPutI32(dlh, 108, md->Encoding);
    mqiPutI32(dlh, 112, md->CodedCharSetId);
    std::memcpy(dlh + 116, md->Format, 8);
    mqiPutI32(dlh, 124, md->PutApplType);
    std::memcpy(dlh + 128, md->PutApplName, 28);
    std::memcpy(dlh + 156, md->PutDate, 8);
    std::memcpy(dlh + 164, md->PutTime, 8);
}

int evMoveAsideCommandMessage(QmgrContext *context, EventQueueDef *queue, const MQMD *md, const uint8_t *data,
                              int32_t length, int32_t feedback) {
    evMoveFailure.clean = 1;
    return evPutToDLQ(context, &context->sets[EV_SET_C], queue, md, data, length, feedback,
                      EV_COMMAND_QUEUE_NAME);
}

void evCloseDeadQueue(QmgrContext *context, ConnectionSet *set) {
    if (set->deadQueueHandle.load() != -1) {
        MQLONG compCode = 0, reason = 0;
        MQHOBJ open = set->deadQueueHandle.load();
        if (context->event.mq && context->event.mq->MQCLOSE)
            context->event.mq->MQCLOSE(evEventHconn(set), &open, MQCO_NONE, &compCode, &reason);
        set->deadQueueHandle.store(-1);
    }
    set->deadQueueName[0] = 0;
}

int evPutToDLQ(QmgrContext *context, ConnectionSet *set, EventQueueDef *queue, const MQMD *md,
               const uint8_t *data, int32_t length, int32_t feedback, const char *destQueue) {
    int32_t use = evSettings.useDlq.load();
    // The queue manager's own dead-letter queue, set or changed while the program runs, is read again
    // when a message would be discarded for want of one (no name, or the name whose open failed): at
    // most once a second for each set, as the discards are said.
    static int64_t lastRead[2] = {0, 0};
    if (use != EV_USEDLQ_NO && evSettings.deadQueue[0] == 0 && lastRead[set->id] != evClockNow()) {
        const char *own = context->event.deadQueue;
        const bool wanting = own[0] == 0 || own[0] == ' ' ||
                             (use == EV_USEDLQ_IFAVAIL && set->deadQueueHandle.load() == -1 &&
                              std::strcmp(set->deadQueueName, own) == 0);
        char message[EV_CONN_MESSAGE_MAX] = "";
        if (wanting) {
            lastRead[set->id] = evClockNow();
            (void)evOpenQmgrInquire(context, evEventHconn(set), message);  // reported there
        }
    }
    // A changed DEADQ, or none used any more: the open queue is closed (opened again when needed).
    // Each set's own: the first set to see the change must not take it from the other.
    static int32_t reopenPending[2] = {0, 0};
    if (evSettings.deadQueueReopen.exchange(0) != 0 || context->event.deadQueueChanged.exchange(0) != 0)
        reopenPending[0] = reopenPending[1] = 1;
    bool reopen = reopenPending[set->id] != 0;
    reopenPending[set->id] = 0;
    if (use == EV_USEDLQ_NO || reopen) evCloseDeadQueue(context, set);
    if (use == EV_USEDLQ_NO) {
        evLogDiscarded(queue, md, feedback, "USEDLQ(NO)");
        return 1;
    }
    const char *name = evSettings.deadQueue[0] ? evSettings.deadQueue : evContext.event.deadQueue;
    if (name[0] == 0 || name[0] == ' ') {
        if (use == EV_USEDLQ_IFAVAIL) {
            evLogDiscarded(queue, md, feedback, "no dead-letter queue");
            return 1;
        }
        evOutput(EV_OUT_ERROR, "No Dead Letter Queue defined.", -1, 1);
        evMoveFailure.failed = 1;
        evMoveFailure.feedback = feedback;
        return 0;
    }
    // USEDLQ(IFAVAIL): a queue that failed to open is not tried again until the name changes, the
    // queue manager's dead-letter queue changes or the configuration is loaded (the name is kept
    // without a handle).
    if (use == EV_USEDLQ_IFAVAIL && set->deadQueueHandle.load() == -1 &&
        std::strcmp(set->deadQueueName, name) == 0) {
        evLogDiscarded(queue, md, feedback, "the dead-letter queue did not open");
        return 1;
    }
    if (set->deadQueueHandle.load() == -1 || std::strcmp(set->deadQueueName, name) != 0) {
        MQOD od = MQOD_DEFAULT;
        od.Version = MQOD_VERSION_3;  // for the resolved names
        copyBlank(od.ObjectName, name, MQ_Q_NAME_LENGTH);
        MQLONG compCode = MQCC_FAILED, reason = MQRC_HCONN_ERROR;
        MQHOBJ hobj = -1;
        // Deliberately beyond the documented dead-letter rules: DEADQ, or the queue manager's own
        // dead-letter queue, that is or leads to the program's command or data queue or a queue it
        // reads is not used (a dead-lettered message there would be run as a command, mixed into the
        // stored state, or read and dead-lettered again for ever), nor is a model queue (its dynamic
        // queue goes with the connection, or is made anew at every open) or a transmission queue
        // (a channel stops on a message without a transmission header). Such a queue is there but
        // refuses the message: it stays on its queue, whatever USEDLQ says.
        char own[EV_CONN_MESSAGE_MAX] = "";
        if (evIsOwnQueue(context, evContext.event.name, name)) {
            evOwnQueueText(own, "Dead Letter Queue", name, evContext.event.name, name);
        } else if (evContext.event.mq && evContext.event.mq->MQOPEN) {
            evTraceCallIn("MQOPEN(DLQ)", evEventHconn(set), 0, 0);
            evContext.event.mq->MQOPEN(evEventHconn(set), &od, MQOO_OUTPUT, &hobj, &compCode, &reason);
            evTraceCallOut("MQOPEN(DLQ)", evEventHconn(set), 0, reason);
            if (compCode != MQCC_FAILED && evOpenedOwnQueue(context, evContext.event.name, &od)) {
                MQLONG closeCc = 0, closeRc = 0;
                evContext.event.mq->MQCLOSE(evEventHconn(set), &hobj, MQCO_NONE, &closeCc, &closeRc);
                evOwnQueueText(own, "Dead Letter Queue", name, od.ResolvedQMgrName, od.ResolvedQName);
            } else if (compCode != MQCC_FAILED) {
                (void)evCannotKeepCopies(evContext.event.mq, evEventHconn(set), evContext.event.name, &od,
                                         &hobj, "MQCLOSE(DLQ)", "Dead Letter Queue", name, own);
            }
        }
        const bool refused = own[0] != '\0';
        if (refused) {
            compCode = MQCC_FAILED;
            reason = MQRC_NOT_AUTHORIZED;
        }
        if (compCode == MQCC_FAILED) {
            char text[EV_CONFIG_TEXT + 2];
            char *said = own;
            if (own[0] == '\0') {
                std::snprintf(text, EV_CONFIG_TEXT, "MQOPEN of Dead Letter Queue (%s) failed RC(%d) %s", name,
                              reason, evReasonText(reason));
                said = text;
            }
            evReportMQError(context, evEventHconn(set), reason, said);
            // With IFAVAIL a queue that is not there to open is not available; a connection that
            // failed says nothing of the queue: the message stays, tried again after the reconnect.
            if (use == EV_USEDLQ_IFAVAIL && !refused && !evConnectionReason(reason)) {
                std::snprintf(set->deadQueueName, sizeof set->deadQueueName, "%s", name);
                evLogDiscarded(queue, md, feedback, "the dead-letter queue did not open");
                return 1;
            }
            evMoveFailure.failed = 1;
            evMoveFailure.feedback = feedback;
            evMoveFailure.connection = evConnectionReason(reason) ? 1 : 0;
            return 0;
        }
        set->deadQueueHandle.store(hobj);
        std::snprintf(set->deadQueueName, sizeof set->deadQueueName, "%s", name);
    }
    size_t total = EV_DLH_LENGTH + static_cast<size_t>(length > 0 ? length : 0);
    auto *message = static_cast<uint8_t *>(CSGetMem(total));
    if (message == nullptr) return 0;  // backed out and redelivered rather than lost
    evBuildDLH(message, md, feedback, destQueue, evContext.event.name);
    if (length > 0) std::memcpy(message + EV_DLH_LENGTH, data, static_cast<size_t>(length));
    MQMD dmd = MQMD_DEFAULT;
    dmd.Version = MQMD_VERSION_1;
    dmd.MsgType = MQMT_DATAGRAM;
    dmd.Expiry = MQEI_UNLIMITED;
    dmd.Encoding = 546;
    dmd.CodedCharSetId = 0;
    std::memcpy(dmd.Format, MQFMT_DEAD_LETTER_HEADER, MQ_FORMAT_LENGTH);
    dmd.Priority = md->Priority;
    dmd.Persistence = md->Persistence;
    MQPMO pmo = MQPMO_DEFAULT;
    pmo.Version = MQPMO_VERSION_1;
    pmo.Options = MQPMO_SYNCPOINT;
    MQLONG compCode = MQCC_FAILED, reason = MQRC_HCONN_ERROR;
    if (evContext.event.mq && evContext.event.mq->MQPUT) {
        evTraceCallIn("MQPUT(DLQ)", evEventHconn(set), 0, set->deadQueueHandle.load());
        evContext.event.mq->MQPUT(evEventHconn(set), set->deadQueueHandle.load(), &dmd, &pmo,
                                  static_cast<MQLONG>(total), message, &compCode, &reason);
        evTraceCallOut("MQPUT(DLQ)", evEventHconn(set), 0, reason);
    }
    CSFreeMem(message);
    if (compCode == MQCC_FAILED) {
        char text[EV_CONFIG_TEXT + 2];
        std::snprintf(text, EV_CONFIG_TEXT, "MQPUT(%s/%s) failed RC(%d) %s", evContext.event.name,
                      set->deadQueueName, reason, evReasonText(reason));
        evReportMQError(context, evEventHconn(set), reason, text);
        // Unlike the documented IFAVAIL, which consumes a message whose dead-letter put failed, the
        // message stays whatever USEDLQ says: a full or put-inhibited dead-letter queue, a broken
        // connection or a stopping queue manager says nothing of the message, which was sound as
        // often as not.
        evMoveFailure.failed = 1;
        evMoveFailure.feedback = feedback;
        evMoveFailure.connection = evConnectionReason(reason) ? 1 : 0;
        return 0;
    }
    countQueue(queue, EV_EQC_DLQ);
    evLogAside(queue, md, feedback, "moved to the dead-letter queue", set->deadQueueName);
    return 1;
}

int evPassOnMessage(ConnectionSet *set, const EventQueueDef *queue, MQHOBJ target, const char *label,
                    MQMD *md, const uint8_t *data, int32_t length, MQLONG *reason) {
    MQPMO pmo = MQPMO_DEFAULT;
    pmo.Version = MQPMO_VERSION_1;
    pmo.Options = MQPMO_SYNCPOINT | MQPMO_PASS_ALL_CONTEXT;
    pmo.Context = queue->inputHandle;
    MQLONG compCode = MQCC_FAILED;
    *reason = MQRC_HCONN_ERROR;
    if (evContext.event.mq && evContext.event.mq->MQPUT) {
        evTraceCallIn(label, evEventHconn(set), 0, target);
        evContext.event.mq->MQPUT(evEventHconn(set), target, md, &pmo, length, const_cast<uint8_t *>(data),
                                  &compCode, reason);
        evTraceCallOut(label, evEventHconn(set), 0, *reason);
    }
    return compCode != MQCC_FAILED;
}

namespace {

// Deliberately beyond the documented forwarding: a forwarding queue that refuses puts (put inhibited,
// full, out of space) holds forwarding for its event queue. Each failed put may raise an event of its
// own (an inhibit or queue-full event) that the event queue reads and would forward, fail and raise
// again, for ever. While held, a message is not tried but dead-lettered with the refusal's reason as
// a failed forward is, but for the refusal event the program's own failed put raised, which is only
// stored; the hold is said once in the log and by an alert "$FWDHELD". At most once in
// kForwardRetry seconds a message is tried again, never that own refusal event: a put that succeeds ends the
// hold, as does an alter or a resume of the event queue or a new connection (evForwardHoldEnd).
constexpr int64_t kForwardRetry = 5;
constexpr int32_t kObjectTypeEvq = 10005;

struct ForwardHold {
    int32_t reason = 0;
    int64_t lastTry = 0;
};
std::mutex forwardHoldsMutex;
std::map<std::string, ForwardHold> forwardHolds;  // by event queue

// Whether an event is the one the program's own failed forward raised: an event of the refusal's reason
// (its MQCFH Reason) whose application (MQCACF_APPL_NAME) is this program, or a queue-full event,
// which names no application, of the queue the forward queue resolved to (its MQCA_BASE_OBJECT_NAME).
// The message is only read.
bool ownRefusalEvent(const MQMD *md, uint8_t *data, int32_t length, int32_t reason,
                     const char *forwardQueue) {
    if (std::memcmp(md->Format, MQFMT_EVENT, MQ_FORMAT_LENGTH) != 0 || length < kCfhLength ||
        mqiGetI32(data, 28) != reason)
        return false;
    PcfCursor cursor;
    MQPCFInitParser(&cursor, data, length, 0);  // no default CCSID: nothing is written
    for (;;) {
        int32_t type = 0;
        int32_t parmId = 0;
        void *value = nullptr;
        int32_t valueLength = 0;
        int32_t count = 0;
        int32_t cc = 0;
        int32_t rc = 0;
        MQPCFGetNextParm(&cursor, &type, &parmId, &value, &valueLength, &count, &cc, &rc);
        if (cc == MQCC_FAILED) return false;
        if (parmId == MQCACF_APPL_NAME && type == MQCFT_STRING) {
            constexpr size_t own = sizeof EV_APPL_NAME - 1;
            return static_cast<size_t>(valueLength) >= own && std::memcmp(value, EV_APPL_NAME, own) == 0;
        }
        if (reason == MQRC_Q_FULL && parmId == MQCA_BASE_OBJECT_NAME && type == MQCFT_STRING) {
            size_t n = static_cast<size_t>(valueLength);
            const char *name = static_cast<const char *>(value);
            while (n > 0 && (name[n - 1] == ' ' || name[n - 1] == '\0')) n--;
            return n == std::strlen(forwardQueue) && std::memcmp(name, forwardQueue, n) == 0;
        }
    }
}

bool refusesPuts(MQLONG reason) {
    return reason == MQRC_PUT_INHIBITED || reason == MQRC_Q_FULL || reason == MQRC_Q_SPACE_NOT_AVAILABLE;
}

void forwardHoldAlert(const QmgrContext *context, const EventQueueDef *queue, const char *text) {
    AlertTemplate alert{};
    std::snprintf(alert.alert.category, sizeof alert.alert.category, "$FWDHELD");
    alert.alert.severity = EV_SEVERITY_ERROR;
    std::snprintf(alert.alert.qmgr, sizeof alert.alert.qmgr, "%s", context->event.name);
    std::snprintf(alert.alert.objectName, sizeof alert.alert.objectName, "%s", queue->name);
    alert.alert.objectType = kObjectTypeEvq;
    alert.alert.time = evClockNow();
    evAlertSetText(&alert.alert, text, -1);
    char errorText[EV_CONFIG_TEXT + 2] = "";
    if (!evAlertAdd(&alert.alert, EV_ALERT_IF_NONE | EV_ALERT_PUBLISH | EV_ALERT_ANY_TEXT, nullptr,
                    errorText))
        evOutput(EV_OUT_ERROR, errorText, -1, 1);
}

}  // namespace

void evForwardHoldEnd(const QmgrContext *context, const EventQueueDef *queue) {
    bool held = false;
    {
        std::lock_guard<std::mutex> lock(forwardHoldsMutex);
        held = forwardHolds.erase(queue->name) != 0;
    }
    // A hold of an earlier run is not in memory, but its alert was kept with the stored ones: the
    // queue's open (a new connection) ends it too.
    if (!held && queue->inputHandle != -1) return;
    (void)evAlertRemoveMatching("", 0, "$FWDHELD", -1, context->event.name, -1, queue->name, -1,
                                kObjectTypeEvq);
}

int evForwardMessage(QmgrContext *context, EventQueueDef *queue, MQMD *md, uint8_t *data, int32_t length) {
    ConnectionSet *set = &context->sets[EV_SET_E];
    const int64_t now = evClockNow();
    int32_t held = 0;
    bool ownEvent = false;
    {
        std::lock_guard<std::mutex> lock(forwardHoldsMutex);
        auto found = forwardHolds.find(queue->name);
        if (found != forwardHolds.end()) {
            held = found->second.reason;
            ownEvent = ownRefusalEvent(
                md, data, length, held,
                queue->forwardResolvedName[0] != '\0' ? queue->forwardResolvedName : queue->forwardOpenName);
            if (!ownEvent && now - found->second.lastTry >= kForwardRetry) {
                found->second.lastTry = now;
                held = -held;  // tried again
            }
        }
    }
    // The program's own refusal event is stored, neither forwarded nor dead-lettered: it tells of a
    // failed put already said, and is not a message whose forward failed.
    if (held > 0 && ownEvent) return 1;
    if (held > 0) {
        evMoveFailure.clean = 1;
        return evPutToDLQ(context, set, queue, md, data, length, held, queue->forwardOpenName);
    }
    MQLONG persistence = md->Persistence;
    if (queue->forwardPersistence == EV_PERSIST_NO || queue->forwardPersistence == EV_PERSIST_YES)
        md->Persistence = queue->forwardPersistence;
    MQLONG reason = MQRC_NONE;
    int put = evPassOnMessage(set, queue, queue->forwardHandle, "MQPUT(Forward)", md, data, length, &reason);
    md->Persistence = persistence;
    char text[EV_CONFIG_TEXT + 2];
    if (put) {
        if (held < 0) {
            evForwardHoldEnd(context, queue);
            evOutputF(EV_OUT_ERROR, 1, "Forwarding from event queue '%s' to '%s' resumed.", queue->name,
                      queue->forwardOpenName);
        }
        return 1;
    }
    if (held == 0) {
        std::snprintf(text, EV_CONFIG_TEXT, "MQPUT(%s/%s) failed RC(%d) %s", context->event.name,
                      queue->forwardOpenName, reason, evReasonText(reason));
        evReportMQError(context, evEventHconn(set), reason, text);
    }
    if (held == 0 && refusesPuts(reason)) {
        {
            std::lock_guard<std::mutex> lock(forwardHoldsMutex);
            forwardHolds[queue->name] = ForwardHold{reason, now};
        }
        char said[2 * EV_CONFIG_TEXT];  // the whole text in the log; the alert keeps what it can
        std::snprintf(said, sizeof said,
                      "Forwarding from event queue '%s' to '%s' held: the queue refuses puts RC(%d) %s. Its "
                      "messages go to the dead-letter queue until it takes puts again or the event queue is "
                      "altered.",
                      queue->name, queue->forwardOpenName, reason, evReasonText(reason));
        evOutput(EV_OUT_ERROR, said, -1, 1);
        forwardHoldAlert(context, queue, said);
    }
    evMoveFailure.clean = 1;
    return evPutToDLQ(context, set, queue, md, data, length, reason, queue->forwardOpenName);
}

int evDispatchMessage(QmgrContext *context, EventQueueDef *queue, MQMD *md, uint8_t *data, int32_t length) {
    ConnectionSet *set = &context->sets[EV_SET_E];
    int result;
    bool forward = queue != nullptr && queue->forwardHandle != -1 && queue->forwardQueue[0] != 0;
    bool event = std::memcmp(md->Format, MQFMT_EVENT, MQ_FORMAT_LENGTH) == 0;
    bool admin = std::memcmp(md->Format, MQFMT_ADMIN, MQ_FORMAT_LENGTH) == 0;
    if ((event || admin) && forward && !evForwardMessage(context, queue, md, data, length)) return 0;
    if (event) {
        countQueue(queue, EV_EQC_EVENTS);
        result = evProcessEvent(context, queue, md, data, length);
    } else if (admin) {
        if (length < kCfhLength) {
            result = 1;
        } else {
            int32_t command = mqiGetI32(data, 12);
            if (command >= 164 && command <= 168 && evServices.statsIntake != nullptr) {
                evUnits[EV_SET_E].marked = 1;
                context->currentMd = md;
                context->currentQueue = queue;
                result = evServices.statsIntake(context, command, data, length);
                context->currentMd = nullptr;
                context->currentQueue = nullptr;
            } else {
                countQueue(queue, EV_EQC_ERRORS);
                evMoveFailure.clean = 1;
                result = evPutToDLQ(context, set, queue, md, data, length, EV_FEEDBACK_NOT_STATS, "");
            }
        }
    } else {
        countQueue(queue, EV_EQC_ERRORS);
        evMoveFailure.clean = 1;
        result = evPutToDLQ(context, set, queue, md, data, length, EV_FEEDBACK_NOT_EVENT, "");
    }
    if (result == 0) return 0;
    return evSyncPoint(context, set);
}

int evProcessEvent(QmgrContext *context, EventQueueDef *queue, MQMD *md, uint8_t *data, int32_t length) {
    char qmgrName[EV_QMGR_NAME_MAX + 1] = {};
    Area *area = nullptr;
    int32_t reason = 0;
    if (!evCFCompress(&evStreamStringPool, md, data, length, qmgrName, &area, &reason)) {
        if (area != nullptr) AreaRelease(&area);
        // Out of storage may pass; a malformed message would fail again at every redelivery.
        if (reason == MQRC_STORAGE_NOT_AVAILABLE) return 0;
        countQueue(queue, EV_EQC_ERRORS);
        evMoveFailure.clean = 1;
        if (!evPutToDLQ(context, &context->sets[EV_SET_E], queue, md, data, length, EV_FEEDBACK_NOT_EVENT,
                        ""))
            return 0;
        return 1;
    }
    noteSubstitutions(queue, md, data, length);
    uint8_t *record = AreaData(area);
    uint32_t recordLength = area->used;
    int result = 1;
    if (qmgrName[0] == 0) {
        size_t n = 0;
        while (n < EV_QMGR_NAME_MAX && md->ReplyToQMgr[n] != ' ' && md->ReplyToQMgr[n] != 0) n++;
        std::memcpy(qmgrName, md->ReplyToQMgr, n);
    }
    // Unlike the documented rule, an event that names no queue manager at all is kept under the
    // connected one, whose queue it came from: a record with an empty name is not loaded again, so
    // events stored under it would be lost at the next start.
    if (qmgrName[0] == 0) std::snprintf(qmgrName, sizeof qmgrName, "%s", context->event.name);
    if ((evCFGetFlags(record) & EVCF_FLAG_INQUIRE) &&
        evSettings.displayCommands.load() == EV_DISPCMDS_DISCARD) {
        AreaRelease(&area);
        return 1;
    }
    // Unlike the documented order, the event time is read before the queue manager is looked up or
    // the halves are paired: a PutDate or PutTime that does not convert fails at every delivery, so
    // the message is moved aside at once, before it changes anything.
    int64_t time = 0;
    if (!evYMDHMSToTime(md->PutDate, md->PutTime, &time)) {
        AreaRelease(&area);
        char id[49];
        evIdToHex(md->MsgId, id);
        evOutputF(EV_OUT_ERROR, 1, "Invalid time format. Queue '%s' MsgId(%s) PutDate(%.8s) PutTime(%.8s)",
                  queue != nullptr ? queue->name : "", id, md->PutDate, md->PutTime);
        countQueue(queue, EV_EQC_ERRORS);
        evMoveFailure.clean = 1;
        return evPutToDLQ(context, &context->sets[EV_SET_E], queue, md, data, length, EV_FEEDBACK_NOT_EVENT,
                          "");
    }
    // A record no blob can hold fails in every stream at every delivery, and a failed store ends the
    // connection: moved aside at once, before anything changes, as above. Each half of a change is
    // checked alone: the pair is cut between its BEFORE and AFTER groups when stored.
    if (uint32_t blobSize = 0; !evStreamRecordFits(record, recordLength, &blobSize)) {
        AreaRelease(&area);
        char id[49];
        evIdToHex(md->MsgId, id);
        evOutputF(EV_OUT_ERROR, 1,
                  "Event too large to store. Queue '%s' MsgId(%s): record of %u bytes, Blob Size(%u)",
                  queue != nullptr ? queue->name : "", id, recordLength, blobSize);
        countQueue(queue, EV_EQC_ERRORS);
        evMoveFailure.clean = 1;
        // Unlike the other events moved aside, with the reason the queue manager gives a message too
        // big for its queue, which says why.
        return evPutToDLQ(context, &context->sets[EV_SET_E], queue, md, data, length, MQRC_MSG_TOO_BIG_FOR_Q,
                          "");
    }
    char errorText[EV_CONFIG_TEXT] = "";
    QmgrEntry *qmgr = evQmgrFindOrAdd(qmgrName, 0, errorText);
    if (qmgr == nullptr) {
        // Out of storage: backed out and redelivered rather than lost.
        evOutput(EV_OUT_ERROR, errorText, -1, 1);
        AreaRelease(&area);
        return 0;
    }
    if (mqiGetU32(record, 16) == 0) {
        uint32_t category = 0, command = 0;
        if (mqiGetU16(record, 28) == MQOT_Q_MGR) {
            mqiPutU32(record, 16, qmgr->nameId);
        } else if (evClassifyEvent(record, recordLength, &category, &command) == 3013) {
            mqiPutU16(record, 28, MQOT_Q_MGR);
            mqiPutU32(record, 16, qmgr->nameId);
        }
    }
    if (evCFGetReason(record) == MQRC_CONFIG_CHANGE_OBJECT) {
        int lastHalf = length >= kCfhLength && (mqiGetI32(data, 20) & MQCFC_LAST) != 0;
        int paired = pairHalves(queue, qmgr, lastHalf, &area);
        if (paired <= 0) return paired == 0 ? 1 : 0;
        record = AreaData(area);
        recordLength = area->used;
    }
    evCFSetEventTime(record, time);
    if (mqiGetU16(record, 28) == 10001) mqiPutU16(record, 28, 0);
    evTimedItem *storm = nullptr;
    if (evRepeatCount(qmgr, record, recordLength, time, &storm)) {
        AreaRelease(&area);
        return 1;  // counted: the storm item stores it when its window ends
    }
    if (storm != nullptr) evStormKeepMqmd(storm, md);
    result =
        evPutToStreams(context, qmgr, STREAM_TYPE_EVENTS, md, time, 1, queue, record, recordLength, nullptr);
    AreaRelease(&area);
    return result;
}

int evPutToStreams(QmgrContext *, QmgrEntry *qmgr, uint32_t type, const MQMD *md, int64_t time, int32_t count,
                   EventQueueDef *queue, uint8_t *record, uint32_t length, Area **headerOut) {
    char qmgrName[EV_QMGR_NAME_MAX + 1] = {};
    if (qmgr != nullptr) std::memcpy(qmgrName, qmgr->name, EV_QMGR_NAME_MAX);
    auto *hook = static_cast<EvRecordHook *>(CSGetMem(sizeof(EvRecordHook)));
    if (hook == nullptr) return 0;
    *hook = EvRecordHook{type, record, length, md, qmgrName, nullptr, {}};
    if (type == STREAM_TYPE_EVENTS) {
        // The hook's event variables read the summary; no storage backs the message out to come again.
        hook->summary = evCFSummarise(&evStreamStringPool, record, length);
        if (hook->summary == nullptr) {
            CSFreeMem(hook);
            return 0;
        }
        evNextEventSequence();
        evActivity.events.fetch_add(1, std::memory_order_relaxed);
        if (qmgr != nullptr) {
            qmgr->counters[EV_QMC_EVENTS].current += static_cast<uint32_t>(count);
            int category = categoryOf(evCFGetReason(record));
            if (category >= 0) qmgr->counters[category].current += static_cast<uint32_t>(count);
        }
    }
    // The current hook message until the put ends: the emitters read its message identifiers.
    EvRecordHook *before = evContext.hookMessage.exchange(hook);
    runRecordHook(type, hook);
    // Set C may have removed the queue manager or its streams while the lock was released.
    if (qmgr != nullptr) qmgr = findQmgr(qmgrName);
    StoreWalk walk{qmgr, type, time, queue, record, length, headerOut, md, 0, 0, 0};
    int result = 1;
    const char *list = hook->streams;
    if (qmgr == nullptr && list[0] != 0) list = "";
    while (*list != 0 && result && !walk.stopped) {
        const char *end = std::strchr(list, ',');
        size_t span = end ? static_cast<size_t>(end - list) : std::strlen(list);
        const char *name = list;
        size_t n = span;
        while (n > 0 && *name == ' ') name++, n--;
        while (n > 0 && name[n - 1] == ' ') n--;
        if (n > 0) result = storeInStream(&walk, name, n);
        list += span + (end ? 1 : 0);
    }
    if (walk.replaced) {
        // The emitter backed the unit out and reloaded memory: nothing of the streams held here is
        // valid any more; the hook message and its summary are this call's own.
        evContext.hookMessage.store(before);
        if (hook->summary != nullptr) AreaRelease(&hook->summary);
        CSFreeMem(hook);
        return 0;
    }
    if (result && walk.implicitCount >= 2) {
        char text[kImplicitShown + 80];
        evImplicitText(text, sizeof text, hook->streams, std::strlen(hook->streams));
        AlertTemplate alert{};
        std::strcpy(alert.alert.category, "$IMPLICIT");
        alert.alert.severity = EV_SEVERITY_ERROR;
        alert.alert.time = evClockNow();
        evAlertSetText(&alert.alert, text, -1);
        char errorText[EV_CONFIG_TEXT];
        if (evAlertAdd(&alert.alert, EV_ALERT_IF_NONE | EV_ALERT_PUBLISH, nullptr, errorText))
            evOutput(EV_OUT_ERROR, text, -1, 1);
    }
    evContext.hookMessage.store(before);
    if (hook->summary != nullptr) AreaRelease(&hook->summary);
    CSFreeMem(hook);
    return result;
}

void evImplicitText(char *text, size_t size, const char *list, size_t length) {
    int shown = static_cast<int>(length < kImplicitShown ? length : kImplicitShown);
    std::snprintf(text, size, "Putting to multiple implicit display streams - '%.*s%s'", shown, list,
                  length >= kImplicitDots ? "..." : "");
}

int32_t evStormExcess(int32_t count, int32_t threshold) {
    return count > threshold ? count - threshold : 0;
}

int32_t evStormSeverity(int32_t excess, int32_t threshold) {
    int64_t t = threshold;
    if (excess > 100 * t) return EV_SEVERITY_SEVERE;
    if (excess > 10 * t) return EV_SEVERITY_ERROR;
    return EV_SEVERITY_WARN;
}

void evInstallIntake() {
    EvStreamHooks hooks = *evStreamGetHooks();
    hooks.commit = evStreamCommitHook;
    evStreamSetHooks(&hooks);
    cfgEngine.stormCheck = evStormCheck;
    evForgetCarriedQueueCounts();
}

QmgrContext *evIntakeContext() {
    return &evContext;
}
