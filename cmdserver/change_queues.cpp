// The commands that change event queues and monitored queue managers: SUSPEND, RESUME, ADD, ALTER
// and REMOVE EVQ, and REMOVE EVQMGR. Queue work that touches set E's handles or consumer runs with
// set E held, so that no event callback uses a handle while it changes.
#include <cinttypes>
#include <cstdio>

#include "cmdserver/change.h"

namespace {

constexpr int32_t kQueueId = 39333;
constexpr int32_t kQmgrId = 39340;
constexpr int32_t kPurgeId = 39367;
constexpr int32_t kReplaceId = 1006;

// The event queue of that exact name, or null. The command queue's consumer is set C's and the
// server needs its record: only its attributes may change, so the commands that suspend, resume or
// remove a queue do not find it.
EventQueueDef *findQueue(const char *name, bool ownToo = false) {
    char key[EV_QUEUE_NAME_MAX + 1] = {};
    std::snprintf(key, sizeof key, "%s", name);
    auto *queue = reinterpret_cast<EventQueueDef *>(CSTreeFind(evEventQueueTree, key, EV_QUEUE_NAME_MAX));
    return queue != nullptr && (ownToo || !queue->ownCommandQueue) ? queue : nullptr;
}

int readQueueName(QmgrContext *context, uint8_t *command, int32_t length, char *name) {
    return cmdReadParameters(context, command, length, [&](const PcfCursor *cursor) {
        if (static_cast<int32_t>(cursor->parmId) != kQueueId) return -1;
        return cmdGetName(context, cursor, EV_QUEUE_NAME_MAX, 0, name);
    });
}

void closeHandle(QmgrContext *context, int32_t *handle, const char *label) {
    if (*handle == -1) return;
    const MQHCONN hconn = evEventHconn(&context->sets[EV_SET_E]);
    MQHOBJ hobj = *handle;
    if (context->event.mq != nullptr && context->event.mq->MQCLOSE != nullptr && hconn != -1) {
        MQLONG cc = 0;
        MQLONG rc = 0;
        evTraceCallIn(label, hconn, EV_TRACE_CONTROL, hobj);
        context->event.mq->MQCLOSE(hconn, &hobj, MQCO_NONE, &cc, &rc);
        evTraceCallOut(label, hconn, EV_TRACE_CONTROL, rc);
    }
    *handle = -1;
}

// Deliberately beyond the documented commands: a dead-letter queue (DEADQ, or the queue manager's own)
// is not read as an event queue, as DEADQ may not name an event queue: what is on it that is no event
// would be moved aside to where it is, or discarded. One that leads there through an alias, or is where
// a dead-letter queue leads, is held at its open.
int refuseDeadLetterQueue(QmgrContext *context, const char *name) {
    if (!evIsDeadLetterName(context, name)) return 0;
    return cmdRefuseName(context, MQRCCF_PARM_VALUE_ERROR, kQueueId,
                         "Queue '%s' is a dead-letter queue and can not be an event queue.", name);
}

int suspendResume(QmgrContext *context, bool suspend, uint8_t *command, int32_t length) {
    if (cmdTooShort(context, suspend ? 9011 : 9012, command, length)) return 1;
    char name[EV_QUEUE_NAME_MAX + 1] = "";
    if (!readQueueName(context, command, length, name)) return 1;
    EventQueueDef *queue = findQueue(name);
    if (queue == nullptr) return cmdRefuse(context, MQRC_UNKNOWN_OBJECT_NAME, 0, nullptr);
    if (!suspend && refuseDeadLetterQueue(context, name)) return 1;
    // Set E stays held until set C's unit ends: a queue resumed by a command whose save then fails
    // must not have been read meanwhile, its messages committed by set E's next sync point.
    if (!cmdHoldEventSet(context)) return 1;
    char message[EV_CONN_MESSAGE_MAX] = "";
    int done = 0;
    if (suspend) {
        done = evSuspendQueue(context, queue, 1, message) && queue->consumerSuspended;
    } else {
        done = evResumeQueue(context, queue, 1, message) && !queue->consumerSuspended;
    }
    evConfigChanged.store(1);
    if (done) return cmdOk(context);
    return cmdRefuse(context, MQRC_STORAGE_NOT_AVAILABLE, 0, message);
}

// What ADD and ALTER EVQ were given.
struct QueueParms {
    EventQueueDef values;
    bool replace;
    bool descr, forward, persistence, tempQ;
};

void applyQueue(const QueueParms &p, EventQueueDef *queue) {
    if (p.descr) std::memcpy(queue->descr, p.values.descr, sizeof queue->descr);
    if (p.forward) std::memcpy(queue->forwardQueue, p.values.forwardQueue, sizeof queue->forwardQueue);
    if (p.persistence) queue->forwardPersistence = p.values.forwardPersistence;
    if (p.tempQ) queue->tempQ = p.values.tempQ;
}

}  // namespace

CmdEventSetPause::CmdEventSetPause(QmgrContext *context, bool wanted) : context_(context) {
    result_ = wanted ? evSuspendConsumer(context, &context->sets[EV_SET_E]) : EV_SUSPEND_NOT_STARTED;
    if (result_ == EV_SUSPEND_BUSY)
        cmdRefuse(context, MQRC_BACKED_OUT, 0, "Command transaction failed, please try again later");
}
void CmdEventSetPause::release() {
    if (result_ == EV_SUSPEND_HELD) evResumeConsumer(context_, &context_->sets[EV_SET_E]);
    result_ = EV_SUSPEND_NOT_STARTED;
}

int cmdHoldEventSet(QmgrContext *context) {
    const int32_t result = evHoldEventSet(context);
    if (result == EV_SUSPEND_HELD || result == EV_SUSPEND_NOT_STARTED) return 1;
    // The connection ends: the request goes back with set C's unit and is answered when the reconnect
    // delivers it again. An answer now could be committed by the disconnect: a second one.
    if (context->restartMark.load() != 0) {
        cmdRequest(context)->noReply = 1;
        return 0;
    }
    cmdRefuse(context, MQRC_BACKED_OUT, 0, "Command transaction failed, please try again later");
    return 0;
}

void evRemoveEventQueueDef(QmgrContext *context, EventQueueDef *queue) {
    closeHandle(context, &queue->inputHandle, "MQCLOSE");
    closeHandle(context, &queue->forwardHandle, "MQCLOSE");
    closeHandle(context, &queue->backoutHandle, "MQCLOSE");
    char line[96];
    std::snprintf(line, sizeof line, "REMOVE EVQ('%s') ", queue->name);
    evPendingLogLine(line);
    CSRecursiveGuard guard(gStructureLock);
    evNoteQueueCountsTaken(queue);
    // A stream remembers the queue that last stored into it: that must not outlive the queue.
    for (CSTree *node = CSTreeFirst(evQmgrTree); node != nullptr; node = node->next)
        for (Stream *stream = reinterpret_cast<QmgrEntry *>(node)->streams; stream != nullptr;
             stream = stream->next)
            if (stream->lastEventQueue == queue) stream->lastEventQueue = nullptr;
    if (context->currentQueue == queue) context->currentQueue = nullptr;
    CSTreeDelete(&evEventQueueTree, queue, EV_QUEUE_NAME_MAX);
    evConfigChanged.store(1);
}

int evSuspendResumeEventQueue(QmgrContext *context, uint32_t suspend, uint8_t *command, int32_t length) {
    return suspendResume(context, suspend != 0, command, length);
}
int evSuspendEventQueue(QmgrContext *context, uint8_t *command, int32_t length) {
    return suspendResume(context, true, command, length);
}
int evResumeEventQueue(QmgrContext *context, uint8_t *command, int32_t length) {
    return suspendResume(context, false, command, length);
}

int evRemoveEventQueue(QmgrContext *context, uint8_t *command, int32_t length) {
    if (cmdTooShort(context, 9009, command, length)) return 1;
    char name[EV_QUEUE_NAME_MAX + 1] = "";
    if (!readQueueName(context, command, length, name)) return 1;
    EventQueueDef *queue = findQueue(name);
    if (queue == nullptr) return cmdRefuse(context, MQRC_UNKNOWN_OBJECT_NAME, 0, nullptr);
    CmdEventSetPause pause(context);
    if (!pause.goOn()) return 1;
    evRemoveEventQueueDef(context, queue);
    pause.release();
    return cmdOk(context);
}

int evRemoveQmgr(QmgrContext *context, uint8_t *command, int32_t length) {
    if (cmdTooShort(context, 9007, command, length)) return 1;
    QmgrEntry probe{};
    int32_t purge = 0;
    const int read = cmdReadParameters(context, command, length, [&](const PcfCursor *cursor) {
        switch (static_cast<int32_t>(cursor->parmId)) {
            case kQmgrId:
                return cmdGetName(context, cursor, EV_QUEUE_NAME_MAX, 0, probe.name);
            case kPurgeId:
                return cmdGetValue(context, cursor, evYesNoNames, &purge);
            default:
                return -1;
        }
    });
    if (!read) return 1;
    auto *qmgr = reinterpret_cast<QmgrEntry *>(CSTreeFind(evQmgrTree, probe.name, sizeof probe.name));
    if (qmgr == nullptr)
        return cmdRefuseName(context, MQRC_UNKNOWN_OBJECT_NAME, 0, "Queue Manager '%s' not found.",
                             probe.name);
    uint64_t records = 0;
    bool removed = false;
    if (qmgr->streams != nullptr) {
        if (purge != 1)
            return cmdRefuseName(context, MQRC_OPERATION_NOT_ALLOWED, 0,
                                 "Queue Manager '%s' has active stream data, specify PURGE(YES).",
                                 qmgr->name);
        if (!cmdHoldEventSet(context)) return 1;
        while (qmgr->streams != nullptr) {
            Stream *first = qmgr->streams;
            StreamPurgeCounts counts{};
            char error[EV_CONFIG_TEXT] = "";
            const int purged = evStreamPurge(&context->sets[EV_SET_C].io, qmgr, first->definition,
                                             &qmgr->streams, &counts, error, sizeof error);
            records += counts.records;
            if (counts.records != 0 || counts.blobs != 0 || (purged && qmgr->streams != first))
                removed = true;
            if (!purged || qmgr->streams == first) {
                // What was removed before the failure stays removed: the answer says so.
                char text[EV_CONFIG_TEXT + 128];
                std::snprintf(text, sizeof text, removed ? "%s %" PRIu64 " event%s purged." : "%s", error,
                              records, records == 1 ? "" : "s");
                return cmdAnswerPurge(context, removed,
                                      counts.reason != 0 ? counts.reason : MQRC_STORAGE_NOT_AVAILABLE, text);
            }
        }
    }
    {
        CSRecursiveGuard guard(gStructureLock);
        CSTreeDelete(&evQmgrTree, qmgr, sizeof qmgr->name);
    }
    evConfigChanged.store(1);
    return cmdAnswerPurge(context, removed, 0, nullptr);
}

int evAddAlterEventQueue(QmgrContext *context, uint8_t *command, int32_t length) {
    const int32_t code = cmdRequest(context)->command;
    if (cmdTooShort(context, code, command, length)) return 1;
    const bool add = code == 9008;
    QueueParms p{};
    p.values.forwardPersistence = EV_PERSIST_ASMSG;
    const int read = cmdReadParameters(context, command, length, [&](const PcfCursor *cursor) {
        switch (static_cast<int32_t>(cursor->parmId)) {
            case kQueueId:
                return cmdGetName(context, cursor, EV_QUEUE_NAME_MAX, 0, p.values.name);
            case 39368:
                p.descr = true;
                return cmdGetText(context, cursor, EV_DESCR_MAX, false, p.values.descr);
            case 39369:
                p.forward = true;
                return cmdGetText(context, cursor, EV_QUEUE_NAME_MAX, true, p.values.forwardQueue);
            case 39393:
                p.persistence = true;
                return cmdGetValue(context, cursor, evPersistenceNames, &p.values.forwardPersistence);
            case 39408:
                p.tempQ = true;
                return cmdGetValue(context, cursor, evTempQNames, &p.values.tempQ);
            case kReplaceId:
                return add ? cmdGetFlag(context, cursor, &p.replace) : -1;
            default:
                return -1;
        }
    });
    if (!read) return 1;
    if (p.values.name[0] == '\0')
        return cmdRefuse(context, MQRCCF_PARM_VALUE_ERROR, kQueueId, "Queue name missing");
    EventQueueDef *queue = findQueue(p.values.name, true);
    if (queue != nullptr && add && !p.replace)
        return cmdRefuseName(context, 2100, 0, "Event queue '%s' already exists.", p.values.name);
    if (queue == nullptr && !add)
        return cmdRefuseName(context, 2152, 0, "Event queue '%s' not found.", p.values.name);
    // The command queue keeps its own record (its attributes may change); no other record may name an
    // own queue.
    if ((queue == nullptr || !queue->ownCommandQueue) &&
        cmdRefuseOwnQueue(context, "", p.values.name, kQueueId, "an event queue", false))
        return 1;
    if (add && refuseDeadLetterQueue(context, p.values.name)) return 1;
    if (p.forward && cmdRefuseOwnQueue(context, "", p.values.forwardQueue, 39369, "a forward queue"))
        return 1;
    // Set E is held before the record changes (busy then changes nothing), until set C's unit ends:
    // what it read of an added queue, or forwarded as altered, would be committed by its next sync
    // point though this unit's save failed.
    const bool own = queue != nullptr && queue->ownCommandQueue;
    if (!own && !cmdHoldEventSet(context)) return 1;
    const bool added = queue == nullptr;
    if (queue != nullptr) {
        EventQueueDef before = *queue;
        applyQueue(p, queue);
        evEchoAlterEvq(&before, queue);
    } else {
        int32_t reason = 0;
        char error[EV_CONFIG_TEXT] = "";
        {
            CSRecursiveGuard guard(gStructureLock);
            queue = evEventQueueFindOrAdd(&p.values, &reason, error);
        }
        if (queue == nullptr) return cmdRefuse(context, reason, 0, error);
    }
    evConfigChanged.store(1);
    if (own) return cmdOk(context);  // open, and set C's: nothing to open
    char message[EV_CONN_MESSAGE_MAX] = "";
    int32_t reason = 0;
    const int opened = evOpenInputQueue(context, queue, 0, message, &reason);
    if (added) evRecheckSideQueues(context, queue);
    if (opened) return cmdOk(context);
    return cmdRefuse(context, reason != 0 ? reason : MQRC_STORAGE_NOT_AVAILABLE, 0, message);
}
