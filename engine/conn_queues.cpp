// Input queues: the open with forwarding and backout queues and the consumer's registration, the
// command queue's wake-up, and the suspension and resumption of single queues.
#include <cstdio>
#include <cstring>
#include <vector>

#include "engine/internal.h"

namespace {

// A name of a fixed-length field, up to its first blank or NUL.
size_t nameLength(const char *name, size_t size) {
    size_t n = 0;
    while (n < size && name[n] != '\0' && name[n] != ' ') n++;
    return n;
}

bool sameName(const char *field, size_t size, const char *name) {
    const size_t n = nameLength(field, size);
    return n == strnlen(name, size) && memcmp(field, name, n) == 0;
}

}  // namespace

bool evIsProgramQueue(const QmgrContext *context, const char *qmgr, const char *queue) {
    const bool eventQmgr = nameLength(qmgr, MQ_Q_MGR_NAME_LENGTH) == 0 ||
                           sameName(qmgr, MQ_Q_MGR_NAME_LENGTH, context->event.name);
    if (eventQmgr && sameName(queue, MQ_Q_NAME_LENGTH, EV_COMMAND_QUEUE_NAME)) return true;
    // The data queue lives on the state queue manager (the same one unless the program keeps its
    // state elsewhere).
    const bool stateQmgr = sameName(qmgr, MQ_Q_MGR_NAME_LENGTH, context->state.name) ||
                           (eventQmgr && strcmp(context->state.name, context->event.name) == 0);
    return stateQmgr && context->dataQueueName[0] != '\0' &&
           sameName(queue, MQ_Q_NAME_LENGTH, context->dataQueueName);
}

bool evIsInputQueue(const QmgrContext *context, const char *qmgr, const char *queue) {
    if (nameLength(qmgr, MQ_Q_MGR_NAME_LENGTH) != 0 &&
        !sameName(qmgr, MQ_Q_MGR_NAME_LENGTH, context->event.name))
        return false;
    CSRecursiveGuard guard(gStructureLock);
    for (CSTree *node = CSTreeFirst(evEventQueueTree); node != nullptr; node = node->next) {
        const auto *input = reinterpret_cast<const EventQueueDef *>(node);
        if (sameName(queue, MQ_Q_NAME_LENGTH, input->name)) return true;
        // The queue an alias event queue reads.
        if (input->inputResolvedName[0] != '\0' &&
            sameName(queue, MQ_Q_NAME_LENGTH, input->inputResolvedName))
            return true;
    }
    return false;
}

bool evIsOwnQueue(const QmgrContext *context, const char *qmgr, const char *queue) {
    return evIsProgramQueue(context, qmgr, queue) || evIsInputQueue(context, qmgr, queue);
}

namespace {

bool openedMatches(const QmgrContext *context, const char *connQmgr, const MQOD *od,
                   bool (*test)(const QmgrContext *, const char *, const char *)) {
    const auto onConn = [&](const MQCHAR *qmgr) {
        return nameLength(qmgr, MQ_Q_MGR_NAME_LENGTH) == 0 ? connQmgr : qmgr;
    };
    if (test(context, onConn(od->ObjectQMgrName), od->ObjectName)) return true;
    return od->Version >= MQOD_VERSION_3 && nameLength(od->ResolvedQName, MQ_Q_NAME_LENGTH) != 0 &&
           test(context, onConn(od->ResolvedQMgrName), od->ResolvedQName);
}

}  // namespace

bool evOpenedOwnQueue(const QmgrContext *context, const char *connQmgr, const MQOD *od) {
    return openedMatches(context, connQmgr, od, evIsOwnQueue);
}

void evOwnQueueText(char *message, const char *role, const char *queue, const char *qmgr,
                    const char *ownQueue) {
    const int q = static_cast<int>(nameLength(ownQueue, MQ_Q_NAME_LENGTH));
    const int m = static_cast<int>(nameLength(qmgr, MQ_Q_MGR_NAME_LENGTH));
    // The command and data queues are the program's own; any other is one of its input queues.
    const bool own = evIsProgramQueue(&evContext, qmgr, ownQueue);
    if (sameName(ownQueue, MQ_Q_NAME_LENGTH, queue))
        snprintf(message, EV_CONN_MESSAGE_MAX, "%s '%s' is %s: not used.", role, queue,
                 own ? "the program's own queue" : "a queue the program reads");
    else
        snprintf(message, EV_CONN_MESSAGE_MAX, "%s '%s' leads to %s '%.*s/%.*s': not used.", role, queue,
                 own ? "the program's own queue" : "the queue the program reads", m, qmgr, q, ownQueue);
}

namespace {

void fillOd(MQOD *od, const char *qmgr, const char *queue) {
    *od = MQOD_DEFAULT;
    memcpy(od->ObjectQMgrName, qmgr, strnlen(qmgr, sizeof od->ObjectQMgrName));
    memcpy(od->ObjectName, queue, strnlen(queue, sizeof od->ObjectName));
}

MQHCONN queueConnection(const EventQueueDef *queue) {
    return evConnHandles[queue->ownCommandQueue ? EV_CONN_C_EVENT : EV_CONN_E_EVENT].load();
}

// Whether a queue of the event queue manager, by its name, is one of the program's own: then its
// refusal is in message.
bool namedOwnQueue(QmgrContext *context, const char *name, const char *role, char *message,
                   bool wide = true) {
    if (!(wide ? evIsOwnQueue : evIsProgramQueue)(context, context->event.name, name)) return false;
    evOwnQueueText(message, role, name, context->event.name, name);
    return true;
}

// After an open with a version-3 MQOD: whether what it opened is one of the program's own queues;
// then the handle is closed and the refusal is in message.
bool openedOwnQueue(QmgrContext *context, MQHCONN hconn, const MQOD *od, MQHOBJ *hobj, const char *closeLabel,
                    const char *role, const char *name, char *message, bool wide = true) {
    if (!openedMatches(context, context->event.name, od, wide ? evIsOwnQueue : evIsProgramQueue))
        return false;
    evTracedClose(context->event.mq, hconn, hobj, closeLabel);
    evOwnQueueText(message, role, name, od->ResolvedQMgrName, od->ResolvedQName);
    return true;
}

}  // namespace

bool evIsDeadLetterName(const QmgrContext *context, const char *queue) {
    if (nameLength(queue, MQ_Q_NAME_LENGTH) == 0) return false;
    char deadQueue[EV_QUEUE_NAME_MAX + 1];
    evSettingsDeadQueue(deadQueue);
    return (deadQueue[0] != '\0' && sameName(queue, MQ_Q_NAME_LENGTH, deadQueue)) ||
           (nameLength(context->event.deadQueue, MQ_Q_NAME_LENGTH) != 0 &&
            sameName(context->event.deadQueue, MQ_Q_NAME_LENGTH, queue));
}

namespace {

// Deliberately beyond the documented open: no event queue is a dead-letter queue (DEADQ or the queue
// manager's own), by name, nor leads to one or is where one leads through an alias or a remote
// definition. What is on it that is no event would be moved aside to the queue it came from, or
// discarded. input is the event queue's resolving open (version 3); the refusal goes to message.
bool inputIsDeadLetterQueue(QmgrContext *context, MQHCONN hconn, const char *name, const MQOD *input,
                            char *message) {
    const char *role = "Event queue";
    const size_t inputQmgr = nameLength(input->ResolvedQMgrName, MQ_Q_MGR_NAME_LENGTH);
    const bool localInput =
        inputQmgr == 0 || sameName(input->ResolvedQMgrName, MQ_Q_MGR_NAME_LENGTH, context->event.name);
    const size_t resolvedLength = nameLength(input->ResolvedQName, MQ_Q_NAME_LENGTH);
    char resolved[MQ_Q_NAME_LENGTH + 1] = "";
    memcpy(resolved, input->ResolvedQName, resolvedLength);
    if (localInput && resolvedLength != 0 && evIsDeadLetterName(context, resolved)) {
        snprintf(message, EV_CONN_MESSAGE_MAX, "%s '%s' leads to the dead-letter queue '%s/%s': not used.",
                 role, name, context->event.name, resolved);
        return true;
    }
    char names[2][EV_QUEUE_NAME_MAX + 1] = {};
    evSettingsDeadQueue(names[0]);
    const size_t own = nameLength(context->event.deadQueue, EV_QUEUE_NAME_MAX);
    memcpy(names[1], context->event.deadQueue, own);
    for (const char *deadQueue : names) {
        if (deadQueue[0] == '\0') continue;
        MQOD od;
        fillOd(&od, context->event.name, deadQueue);
        od.Version = MQOD_VERSION_3;
        MQHOBJ hobj = -1;
        if (evTracedOpen(context->event.mq, hconn, &od, MQOO_OUTPUT | MQOO_FAIL_IF_QUIESCING, &hobj,
                         "MQOPEN(Resolve)") != 0)
            continue;  // its own open says what is wrong
        // A model queue opened as a new dynamic queue, which goes again at once.
        const bool made = !sameName(od.ObjectName, MQ_Q_NAME_LENGTH, deadQueue);
        MQLONG cc = 0;
        MQLONG rc = 0;
        evTraceCallIn("MQCLOSE(Resolve)", hconn, 0, hobj);
        context->event.mq->MQCLOSE(hconn, &hobj, made ? MQCO_DELETE_PURGE : MQCO_NONE, &cc, &rc);
        evTraceCallOut("MQCLOSE(Resolve)", hconn, 0, rc);
        if (made) continue;
        const size_t qmgr = nameLength(od.ResolvedQMgrName, MQ_Q_MGR_NAME_LENGTH);
        if (qmgr != 0 && !sameName(od.ResolvedQMgrName, MQ_Q_MGR_NAME_LENGTH, context->event.name)) continue;
        if (sameName(od.ResolvedQName, MQ_Q_NAME_LENGTH, name) ||
            (localInput && resolvedLength != 0 && sameName(od.ResolvedQName, MQ_Q_NAME_LENGTH, resolved))) {
            snprintf(message, EV_CONN_MESSAGE_MAX,
                     "%s '%s' is where the dead-letter queue '%s' leads: not used.", role, name, deadQueue);
            return true;
        }
    }
    return false;
}

// Deliberately beyond the documented open: no queue the program reads events from may be its own
// command or data queue, and none it forwards to or backs out to may be one of those or one of its
// event queues, by name or through an alias or a remote definition (an event queue there would
// consume the stored state; a forward or backout copy would land among it, be run as a command or be
// read again and copied again, for ever). The queue is then held, with a log line.
// An input queue is resolved by an inquire open first: its input open could wait on the handles
// the program holds on its own queues.
bool inputLeadsToOwnQueue(QmgrContext *context, MQHCONN hconn, EventQueueDef *queue, char *message) {
    const char *name = queue->name;
    {
        CSRecursiveGuard guard(gStructureLock);
        queue->inputResolvedName[0] = '\0';
    }
    if (namedOwnQueue(context, name, "Event queue", message, false)) return true;
    if (evIsDeadLetterName(context, name)) {
        snprintf(message, EV_CONN_MESSAGE_MAX, "Event queue '%s' is a dead-letter queue: not used.", name);
        return true;
    }
    MQOD od;
    fillOd(&od, context->event.name, name);
    od.Version = MQOD_VERSION_3;
    MQHOBJ hobj = -1;
    if (evTracedOpen(context->event.mq, hconn, &od, MQOO_INQUIRE | MQOO_FAIL_IF_QUIESCING, &hobj,
                     "MQOPEN(Resolve)") != 0)
        return false;  // the input open says why
    if (openedOwnQueue(context, hconn, &od, &hobj, "MQCLOSE(Resolve)", "Event queue", name, message, false))
        return true;
    evTracedClose(context->event.mq, hconn, &hobj, "MQCLOSE(Resolve)");
    if (inputIsDeadLetterQueue(context, hconn, name, &od, message)) return true;
    // A queue the program reads by way of an alias is one it reads (evIsInputQueue).
    const size_t qmgr = nameLength(od.ResolvedQMgrName, MQ_Q_MGR_NAME_LENGTH);
    const size_t length = nameLength(od.ResolvedQName, MQ_Q_NAME_LENGTH);
    if (length != 0 &&
        (qmgr == 0 || sameName(od.ResolvedQMgrName, MQ_Q_MGR_NAME_LENGTH, context->event.name))) {
        CSRecursiveGuard guard(gStructureLock);
        memcpy(queue->inputResolvedName, od.ResolvedQName, length);
        queue->inputResolvedName[length] = '\0';
    }
    return false;
}

// Deliberately beyond the documented open: a forwarding or backout queue must keep what is put there.
// A model queue opens as a new dynamic queue (a temporary one goes with the connection, a permanent
// one is made again at every open); a transmission queue takes only messages with a transmission
// header. Either is closed (a dynamic queue made here deleted) and refused in message.
bool cannotKeepCopies(QmgrContext *context, MQHCONN hconn, const MQOD *od, MQHOBJ *hobj,
                      const char *closeLabel, const char *role, const char *name, char *message) {
    return evCannotKeepCopies(context->event.mq, hconn, context->event.name, od, hobj, closeLabel, role, name,
                              message);
}

// Opens the forwarding or backout queue when its name changed; 1, or 0 when the open failed. The
// queue the open found (an alias's target) goes to resolvedName when there is one.
int openSideQueue(QmgrContext *context, EventQueueDef *queue, const char *wanted, char *openName,
                  int32_t *handle, const char *closeLabel, const char *openLabel, const char *failText,
                  const char *role, char *message, char *resolvedName = nullptr) {
    const MQHCONN hconn = queueConnection(queue);
    if (strcmp(wanted, openName) == 0 && (wanted[0] == '\0' || *handle != -1)) return 1;
    if (*handle != -1) {
        MQHOBJ hobj = *handle;
        evTracedClose(context->event.mq, hconn, &hobj, closeLabel);
        *handle = -1;
    }
    openName[0] = '\0';
    if (wanted[0] == '\0') return 1;
    if (namedOwnQueue(context, wanted, role, message)) return 0;
    MQOD od;
    fillOd(&od, context->event.name, wanted);
    od.Version = MQOD_VERSION_3;  // for the resolved names
    MQHOBJ hobj = -1;
    MQLONG rc = evTracedOpen(context->event.mq, hconn, &od, 0x2210, &hobj, openLabel);
    if (rc != 0) {
        snprintf(message, EV_CONN_MESSAGE_MAX, "%s MQOPEN(%s/%s) failed RC(%d) %s", failText,
                 context->event.name, wanted, rc, evReasonText(rc));
        return 0;
    }
    if (openedOwnQueue(context, hconn, &od, &hobj, closeLabel, role, wanted, message)) return 0;
    if (cannotKeepCopies(context, hconn, &od, &hobj, closeLabel, role, wanted, message)) return 0;
    *handle = hobj;
    snprintf(openName, EV_QUEUE_NAME_MAX + 1, "%s", wanted);
    if (resolvedName != nullptr) {
        const size_t length = nameLength(od.ResolvedQName, MQ_Q_NAME_LENGTH);
        memcpy(resolvedName, od.ResolvedQName, length);
        resolvedName[length] = '\0';
    }
    return 1;
}

// The forward and backout queues of the event queue closed, their open names forgotten.
void closeSideQueues(QmgrContext *context, EventQueueDef *queue, MQHCONN hconn) {
    MQHOBJ hobj;
    if (queue->forwardHandle != -1) {
        hobj = queue->forwardHandle;
        evTracedClose(context->event.mq, hconn, &hobj, "MQCLOSE(Forward)");
        queue->forwardHandle = -1;
    }
    if (queue->backoutHandle != -1) {
        hobj = queue->backoutHandle;
        evTracedClose(context->event.mq, hconn, &hobj, "MQCLOSE(Backout)");
        queue->backoutHandle = -1;
    }
    queue->forwardOpenName[0] = queue->forwardResolvedName[0] = queue->backoutOpenName[0] = '\0';
}

void closeAll(QmgrContext *context, EventQueueDef *queue) {
    const MQHCONN hconn = queueConnection(queue);
    MQHOBJ hobj;
    if (queue->inputHandle != -1) {
        hobj = queue->inputHandle;
        evTracedClose(context->event.mq, hconn, &hobj, "MQCLOSE(EventQ)");
        queue->inputHandle = -1;
        queue->registered = 0;
    }
    closeSideQueues(context, queue, hconn);
}

}  // namespace

void evDropEventQueues(QmgrContext *context) {
    std::vector<EventQueueDef *> gone;
    for (CSTree *node = CSTreeFirst(evEventQueueTree); node != nullptr; node = node->next) {
        auto *queue = reinterpret_cast<EventQueueDef *>(node);
        if (!queue->ownCommandQueue) gone.push_back(queue);
    }
    for (EventQueueDef *queue : gone) {
        closeAll(context, queue);
        CSRecursiveGuard guard(gStructureLock);
        if (context->currentQueue == queue) context->currentQueue = nullptr;
        CSTreeDelete(&evEventQueueTree, queue, EV_QUEUE_NAME_MAX);
    }
}

std::atomic<uint32_t> evInputQueueAdds{0};

void evRecheckSideQueues(QmgrContext *context, const EventQueueDef *added) {
    evSettings.deadQueueReopen.store(1);
    evInputQueueAdds.fetch_add(1);
    std::vector<EventQueueDef *> open;
    {
        CSRecursiveGuard guard(gStructureLock);
        for (CSTree *node = CSTreeFirst(evEventQueueTree); node != nullptr; node = node->next) {
            auto *queue = reinterpret_cast<EventQueueDef *>(node);
            // A queue held for another reason stays as it is (its open would resume it).
            if (queue != added && !queue->ownCommandQueue && queue->inputHandle != -1 &&
                queue->openComplete && (queue->forwardHandle != -1 || queue->backoutHandle != -1) &&
                (queue->status == EV_EVQ_ACTIVE || queue->status == EV_EVQ_SUSPENDED))
                open.push_back(queue);
        }
    }
    for (EventQueueDef *queue : open) {
        const MQHCONN hconn = queueConnection(queue);
        closeSideQueues(context, queue, hconn);
        char message[EV_CONN_MESSAGE_MAX] = "";
        int32_t reason = 0;
        (void)evOpenInputQueue(context, queue, 1, message, &reason);  // a refusal is said there
    }
}

void evWakeUp(QmgrContext *context, EventQueueDef *queue) {
    context->wakeUpDone.store(1);
    const MQHCONN hconn = evConnHandles[EV_CONN_C_EVENT].load();
    MQOD od;
    fillOd(&od, context->event.name, queue->name);
    MQHOBJ hobj = -1;
    if (evTracedOpen(context->event.mq, hconn, &od, MQOO_OUTPUT, &hobj, "MQOPEN(WakeUp)") != 0) return;
    MQMD md = MQMD_DEFAULT;
    md.MsgType = MQMT_DATAGRAM;
    memcpy(md.Format, MQFMT_ADMIN, sizeof md.Format);
    md.Expiry = 20;
    MQPMO pmo = MQPMO_DEFAULT;
    pmo.Options = MQPMO_NO_SYNCPOINT;
    MQLONG cc = 0;
    MQLONG rc = 0;
    evTraceCallIn("MQPUT(WakeUp)", hconn, 0, hobj);
    context->event.mq->MQPUT(hconn, hobj, &md, &pmo, 0, nullptr, &cc, &rc);
    evTraceCallOut("MQPUT(WakeUp)", hconn, 0, rc);
    evTracedClose(context->event.mq, hconn, &hobj, "MQCLOSE(WakeUp)");
}

namespace {

// MQINQ of the backout name and threshold on an open handle.
void inquireBackout(QmgrContext *context, MQHCONN hconn, MQHOBJ hobj, MQLONG *threshold, char *boqName,
                    MQLONG *cc, MQLONG *rc) {
    MQLONG selectors[2] = {MQCA_BACKOUT_REQ_Q_NAME, MQIA_BACKOUT_THRESHOLD};
    memset(boqName, ' ', MQ_Q_NAME_LENGTH);
    *threshold = 0;
    evTraceCallIn("MQINQ(EventQ)", hconn, EV_TRACE_CONTROL, hobj);
    context->event.mq->MQINQ(hconn, hobj, 2, selectors, 1, threshold, MQ_Q_NAME_LENGTH, boqName, cc, rc);
    evTraceCallOut("MQINQ(EventQ)", hconn, EV_TRACE_CONTROL, *rc);
}

// An alias has no backout settings of its own (the inquiry warns 2068 and fills them with asterisks
// and -1): as applications do, they are taken from the local queue the alias resolves to. Without one
// (an alias to a remote queue) the queue has none: threshold 0, no name.
void inquireResolved(QmgrContext *context, MQHCONN hconn, const EventQueueDef *queue, MQLONG *threshold,
                     char *boqName) {
    *threshold = 0;
    memset(boqName, ' ', MQ_Q_NAME_LENGTH);
    MQOD od;
    fillOd(&od, context->event.name, queue->name);
    od.Version = MQOD_VERSION_3;
    MQHOBJ hobj = -1;
    if (evTracedOpen(context->event.mq, hconn, &od, MQOO_INQUIRE | MQOO_FAIL_IF_QUIESCING, &hobj,
                     "MQOPEN(Resolve)") != 0)
        return;
    evTracedClose(context->event.mq, hconn, &hobj, "MQCLOSE(Resolve)");
    const size_t qmgr = nameLength(od.ResolvedQMgrName, MQ_Q_MGR_NAME_LENGTH);
    if (nameLength(od.ResolvedQName, MQ_Q_NAME_LENGTH) == 0 ||
        (qmgr != 0 && !sameName(od.ResolvedQMgrName, MQ_Q_MGR_NAME_LENGTH, context->event.name)))
        return;
    MQOD target;
    fillOd(&target, context->event.name, "");
    memcpy(target.ObjectName, od.ResolvedQName, MQ_Q_NAME_LENGTH);
    if (evTracedOpen(context->event.mq, hconn, &target, MQOO_INQUIRE | MQOO_FAIL_IF_QUIESCING, &hobj,
                     "MQOPEN(Resolve)") != 0)
        return;
    MQLONG cc = 0;
    MQLONG rc = 0;
    inquireBackout(context, hconn, hobj, threshold, boqName, &cc, &rc);
    evTracedClose(context->event.mq, hconn, &hobj, "MQCLOSE(Resolve)");
    if (cc != MQCC_OK) {
        *threshold = 0;
        memset(boqName, ' ', MQ_Q_NAME_LENGTH);
    }
}

// The inquiry of evInquireQueue; backoutName (EV_QUEUE_NAME_MAX + 1 bytes) receives the backout queue
// the queue's setting names: its own BOQNAME for "*", trailing blanks dropped.
int inquireQueue(QmgrContext *context, MQHCONN hconn, EventQueueDef *queue, char *message,
                 char *backoutName) {
    MQLONG threshold = 0;
    char boqName[MQ_Q_NAME_LENGTH];
    MQLONG cc = 0;
    MQLONG rc = 0;
    inquireBackout(context, hconn, queue->inputHandle, &threshold, boqName, &cc, &rc);
    if (cc == MQCC_FAILED) {
        snprintf(message, EV_CONN_MESSAGE_MAX, "MQINQ(%s/%s) failed RC(%d) %s", context->event.name,
                 queue->name, rc, evReasonText(rc));
        evReportMQError(context, hconn, rc, message);
        return 0;
    }
    if (cc == MQCC_WARNING) inquireResolved(context, hconn, queue, &threshold, boqName);
    // BOTHRESH 0 takes the default; a value below (none that applies) does too.
    queue->backoutThreshold = threshold > 0 ? threshold : evSettings.defaultBackoutThreshold.load();
    if (strcmp(queue->backoutQueue, "*") == 0) {
        size_t length = sizeof boqName;
        while (length > 0 && (boqName[length - 1] == ' ' || boqName[length - 1] == '\0')) length--;
        if (length > 0 && boqName[0] == '*') length = 0;  // an attribute that does not apply
        memcpy(backoutName, boqName, length);
        backoutName[length] = '\0';
    } else {
        snprintf(backoutName, EV_QUEUE_NAME_MAX + 1, "%s", queue->backoutQueue);
    }
    return 1;
}

// Step 6's failure, and the forwarding queue's: the queue is suspended and closed with its side queues.
int sideQueueFailed(QmgrContext *context, EventQueueDef *queue, MQHCONN hconn, uint32_t status,
                    char *message) {
    evSuspendQueue(context, queue, 0, message);
    queue->status = status;
    evReportMQError(context, hconn, 0, message);
    closeAll(context, queue);
    return 0;
}

}  // namespace

int evInquireQueue(QmgrContext *context, MQHCONN *hconn, EventQueueDef *queue, char *message) {
    char backoutName[EV_QUEUE_NAME_MAX + 1];
    return inquireQueue(context, *hconn, queue, message, backoutName);
}

int evOpenInputQueue(QmgrContext *context, EventQueueDef *queue, int32_t reopen, char *message,
                     int32_t *reason) {
    (void)reopen;
    MQHCONN hconn = queueConnection(queue);
    const bool command = queue->ownCommandQueue != 0;
    *reason = 0;
    if (!command) evForwardHoldEnd(context, queue);
    if (queue->inputHandle == -1) {
        queue->status = EV_EVQ_DEFINED;
        queue->registered = queue->consumerSuspended = queue->openComplete = 0;
        if (!command && inputLeadsToOwnQueue(context, hconn, queue, message)) {
            evReportMQError(context, hconn, 0, message);
            queue->status = EV_EVQ_FAILED;
            *reason = MQRC_NOT_AUTHORIZED;
            return 0;
        }
        MQOD od;
        fillOd(&od, context->event.name, queue->name);
        const MQLONG options = command ? 0x2024 : 0x20A2;
        for (int attempt = 0;; attempt++) {
            MQHOBJ hobj = -1;
            MQLONG rc = evTracedOpen(context->event.mq, hconn, &od, options, &hobj,
                                     command ? "MQOPEN(Command)" : "MQOPEN(EventQ)",
                                     command ? EV_TRACE_HO_C_CMD : -1);
            if (rc == 0) {
                queue->inputHandle = hobj;
                if (command) context->commandQueueHandle.store(hobj);
                break;
            }
            *reason = rc;
            if (command && rc == 2042 && !context->wakeUpDone.load()) {
                evWakeUp(context, queue);
                continue;
            }
            snprintf(message, EV_CONN_MESSAGE_MAX, "MQOPEN(%s/%s) failed RC(%d) %s", context->event.name,
                     queue->name, rc, evReasonText(rc));
            evReportMQError(context, hconn, rc, message);
            if (rc == 2042 && attempt < 10 && !evEndFlag.load()) {
                queue->status = EV_EVQ_INUSE;
                // Commands go on meanwhile; one of them may remove the queue. A callback that takes the
                // lock meanwhile marks its own set current: the holder's mark comes back with the lock.
                char name[EV_QUEUE_NAME_MAX + 1];
                memcpy(name, queue->name, sizeof name);
                uint32_t held = CSRecursiveHeldCount(&gConsumerLock);
                ConnectionSet *mark = held != 0 ? context->current : nullptr;
                for (uint32_t i = 0; i < held; i++) CSUnlockRecursive(&gConsumerLock);
                evSleepMs(5000);
                for (uint32_t i = 0; i < held; i++) CSLockRecursive(&gConsumerLock);
                if (held != 0) context->current = mark;
                if (held != 0 && CSTreeFind(evEventQueueTree, name, EV_QUEUE_NAME_MAX) !=
                                     reinterpret_cast<CSTree *>(queue))
                    return 0;
                // Another open of the queue (a command's, or the connect's) got it meanwhile and set it
                // up: a second handle would replace the one its consumer is registered on.
                if (held != 0 && queue->inputHandle != -1) {
                    *reason = 0;
                    message[0] = '\0';
                    return 1;
                }
                evOutput(EV_OUT_ERROR, "Retrying....", -1, 1);
                message[0] = '\0';
                continue;
            }
            queue->status = rc == 2035   ? EV_EVQ_NOTAUTH
                            : rc == 2042 ? EV_EVQ_INUSE
                            : rc == 2057 ? EV_EVQ_WRONGTYPE
                            : rc == 2085 ? EV_EVQ_NOTEXIST
                                         : EV_EVQ_FAILED;
            return 0;
        }
    }
    char backoutName[EV_QUEUE_NAME_MAX + 1];
    if (!inquireQueue(context, hconn, queue, message, backoutName)) return 0;
    if (!openSideQueue(context, queue, queue->forwardQueue, queue->forwardOpenName, &queue->forwardHandle,
                       "MQCLOSE(Forward)", "MQOPEN(Forward)", "Fail to open forwarding queue.",
                       "Forward queue", message, queue->forwardResolvedName))
        return sideQueueFailed(context, queue, hconn, EV_EVQ_FWDQFAIL, message);
    if (!openSideQueue(context, queue, backoutName, queue->backoutOpenName, &queue->backoutHandle,
                       "MQCLOSE(Backout)", "MQOPEN(Backout)", "Failed to open Backout queue.",
                       "Backout queue", message))
        return sideQueueFailed(context, queue, hconn, EV_EVQ_BOQFAIL, message);
    if (!queue->registered) {
        MQCBD cbd = MQCBD_DEFAULT;
        cbd.CallbackType = MQCBT_MESSAGE_CONSUMER;
        cbd.Options = MQCBDO_FAIL_IF_QUIESCING;
        cbd.CallbackArea = queue;
        cbd.CallbackFunction = reinterpret_cast<MQPTR>(evMessageConsumer);
        MQMD md = MQMD_DEFAULT;
        md.Encoding = 546;
        md.CodedCharSetId = MQCCSI_Q_MGR;
        MQGMO gmo = MQGMO_DEFAULT;
        gmo.Options = 0x6003;
        gmo.WaitInterval = 0;
        MQLONG cc = 0;
        MQLONG rc = 0;
        evTraceCallIn("MQCB(Register)", hconn, EV_TRACE_CONTROL, queue->inputHandle);
        context->event.mq->MQCB(hconn, MQOP_REGISTER, &cbd, queue->inputHandle, &md, &gmo, &cc, &rc);
        evTraceCallOut("MQCB(Register)", hconn, EV_TRACE_CONTROL, rc);
        if (cc == MQCC_FAILED) {
            snprintf(message, EV_CONN_MESSAGE_MAX, "MQCB(%s/%s) failed RC(%d) %s", context->event.name,
                     queue->name, rc, evReasonText(rc));
            evReportMQError(context, hconn, rc, message);
            queue->status = EV_EVQ_FAILED;
            *reason = rc;
            return 0;
        }
        queue->registered = 1;
    }
    queue->openComplete = 1;
    if (queue->suspended) {
        evSuspendQueue(context, queue, 0, message);
        queue->status = EV_EVQ_SUSPENDED;
        return 1;
    }
    // Its message could be neither handled nor moved aside before the connection ended.
    uint8_t msgId[MQ_MSG_ID_LENGTH];
    if (!command && evTakeStopAtOpen(queue, msgId)) {
        evSuspendQueue(context, queue, 0, message);
        queue->status = EV_EVQ_BOQFAIL;
        evStopQueueNotice(context, queue, msgId);
        return 1;
    }
    return evResumeQueue(context, queue, 0, message);
}

// MQCB SUSPEND or RESUME of the queue's consumer: 1, or 0 with the failure reported in message.
static int queueCallbackOp(QmgrContext *context, EventQueueDef *queue, MQHCONN hconn, MQLONG operation,
                           const char *label, char *message) {
    MQCBD cbd = MQCBD_DEFAULT;
    MQLONG cc = 0;
    MQLONG rc = 0;
    evTraceCallIn(label, hconn, EV_TRACE_CONTROL, queue->inputHandle);
    context->event.mq->MQCB(hconn, operation, &cbd, queue->inputHandle, nullptr, nullptr, &cc, &rc);
    evTraceCallOut(label, hconn, EV_TRACE_CONTROL, rc);
    if (cc != MQCC_FAILED) return 1;
    snprintf(message, EV_CONN_MESSAGE_MAX, "%s of %s/%s failed RC(%d) %s", label, context->event.name,
             queue->name, rc, evReasonText(rc));
    evReportMQError(context, hconn, rc, message);
    return 0;
}

int evSuspendQueue(QmgrContext *context, EventQueueDef *queue, int32_t byCommand, char *message) {
    const MQHCONN hconn = queueConnection(queue);
    int result = 1;
    if (queue->inputHandle != -1 && queue->registered && !queue->consumerSuspended) {
        result = queueCallbackOp(context, queue, hconn, MQOP_SUSPEND, "MQCB(SUSPEND)", message);
    }
    if (byCommand) {
        queue->suspended = 1;
        if (queue->status == EV_EVQ_ACTIVE) queue->status = EV_EVQ_SUSPENDED;
        evEchoSuspendEvq(queue);
    }
    queue->consumerSuspended = 1;
    return result;
}

int evResumeQueue(QmgrContext *context, EventQueueDef *queue, int32_t byCommand, char *message) {
    if (queue->inputHandle == -1) {
        int32_t reason = 0;
        if (!evOpenInputQueue(context, queue, 1, message, &reason)) return 0;
        if (!queue->consumerSuspended) return 1;
    }
    if (byCommand) {
        char text[EV_CONN_MESSAGE_MAX] = "";
        evInquireDataQueue(context, evSet(EV_SET_C), text);
    }
    const uint32_t condition = queue->ownCommandQueue ? 0 : evDataQueueCondition.load();
    int result = 1;
    if (condition != 0) {
        uint32_t status = EV_EVQ_DATAHIGH;
        snprintf(message, EV_CONN_MESSAGE_MAX, "Data Queue %s", evDataQueueConditionText(condition, &status));
        result = evSuspendQueue(context, queue, 0, message);
        queue->status = status;
    } else {
        const MQHCONN hconn = queueConnection(queue);
        if (!queueCallbackOp(context, queue, hconn, MQOP_RESUME, "MQCB(RESUME)", message)) {
            result = 0;
        } else {
            queue->consumerSuspended = 0;
            queue->status = EV_EVQ_ACTIVE;
        }
    }
    if (byCommand) {
        evForwardHoldEnd(context, queue);
        // A queue stopped by a message it could not move aside runs again: its alert goes.
        if (result && queue->status == EV_EVQ_ACTIVE)
            (void)evAlertRemoveMatching("", 0, "$BOQFAIL", -1, context->event.name, -1, queue->name, -1,
                                        10005);
        queue->suspended = 0;
        evConfigChanged.store(1);
        evEchoResumeEvq(queue);
    }
    return result;
}

bool evCannotKeepCopies(const MQIFunctionTable *mq, MQHCONN hconn, const char *qmgrName, const MQOD *od,
                        MQHOBJ *hobj, const char *closeLabel, const char *role, const char *name,
                        char *message) {
    if (!sameName(od->ObjectName, MQ_Q_NAME_LENGTH, name)) {
        MQLONG cc = 0;
        MQLONG rc = 0;
        evTraceCallIn(closeLabel, hconn, 0, *hobj);
        mq->MQCLOSE(hconn, hobj, MQCO_DELETE_PURGE, &cc, &rc);
        evTraceCallOut(closeLabel, hconn, 0, rc);
        snprintf(message, EV_CONN_MESSAGE_MAX,
                 "%s '%s' is a model queue, whose copies would not be kept: not used.", role, name);
        return true;
    }
    // Only a queue of the connected queue manager itself can be a transmission queue opened by name.
    const size_t qmgr = nameLength(od->ResolvedQMgrName, MQ_Q_MGR_NAME_LENGTH);
    if (qmgr != 0 && !sameName(od->ResolvedQMgrName, MQ_Q_MGR_NAME_LENGTH, qmgrName)) return false;
    MQOD inquire;
    fillOd(&inquire, qmgrName, "");
    memcpy(inquire.ObjectName, od->ResolvedQName, MQ_Q_NAME_LENGTH);
    MQHOBJ inquiry = -1;
    if (evTracedOpen(mq, hconn, &inquire, MQOO_INQUIRE | MQOO_FAIL_IF_QUIESCING, &inquiry, "MQOPEN(Usage)") !=
        0)
        return false;  // its puts will say what is wrong
    MQLONG selector = MQIA_USAGE;
    MQLONG usage = MQUS_NORMAL;
    MQLONG cc = 0;
    MQLONG rc = 0;
    evTraceCallIn("MQINQ(Usage)", hconn, EV_TRACE_CONTROL, inquiry);
    mq->MQINQ(hconn, inquiry, 1, &selector, 1, &usage, 0, nullptr, &cc, &rc);
    evTraceCallOut("MQINQ(Usage)", hconn, EV_TRACE_CONTROL, rc);
    evTracedClose(mq, hconn, &inquiry, "MQCLOSE(Usage)");
    if (cc != MQCC_OK || usage != MQUS_TRANSMISSION) return false;
    evTracedClose(mq, hconn, hobj, closeLabel);
    snprintf(message, EV_CONN_MESSAGE_MAX, "%s '%s' is a transmission queue: not used.", role, name);
    return true;
}
