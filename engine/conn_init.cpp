// The initialisation of a connection once both sets stand: the command queue, the data queue with
// its fitness checks, the stored state rebuilt from the data queue, and the queues' consumers.
#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

#include "engine/internal.h"

namespace {

// The condition word at the last check, for the "compromised" report once per change.
std::atomic<uint32_t> lastCondition{0};

void walkQueues(void (*visit)(EventQueueDef *queue, void *argument), void *argument) {
    for (CSTree *node = CSTreeFirst(evEventQueueTree); node != nullptr;) {
        CSTree *next = node->next;
        visit(reinterpret_cast<EventQueueDef *>(node), argument);
        node = next;
    }
}

// Unfit result of the last inquiry's threshold checks (the connect ends the program on it).
thread_local bool lastCheckUnfit = false;

}  // namespace

const char *evDataQueueConditionText(uint32_t condition, uint32_t *status) {
    // The last applicable.
    const char *text = "";
    if (condition & EV_DQ_DEPTH_HIGH) {
        text = "is in a depth high condition";
        *status = EV_EVQ_DATAHIGH;
    }
    if (condition & EV_DQ_MSGL_LOW) {
        // A queue whose messages may no longer fit is out of space, not put-inhibited.
        text = "has a maximum message length below 4194304";
        *status = EV_EVQ_DATAHIGH;
    }
    if (condition & EV_DQ_PUT_INHIBITED) {
        text = "is PUT inhibited";
        *status = EV_EVQ_DATAPUT;
    }
    if (condition & EV_DQ_GET_INHIBITED) {
        text = "is GET inhibited";
        *status = EV_EVQ_DATAGET;
    }
    return text;
}

int evCheckDataQueue(QmgrContext *context, char *message) {
    const char *state = context->state.name;
    const char *queue = context->dataQueueName;
    if (evDataQueue.maxDepth.load() < 5000) {
        snprintf(message, EV_CONN_MESSAGE_MAX,
                 "Maximum Depth of data queue ''%s/%s' is below minimum threshold of %d.", state, queue,
                 5000);
        return 0;
    }
    // Unlike the documented check, which finds the queue unfit at every inquiry, a MAXMSGL lowered
    // while the program runs holds intake as a full data queue does (below): a blob or a saved state
    // might no longer fit, and ending the program would gain nothing over waiting for the
    // administrator to raise it; so does a reconnect. The first connect still refuses it.
    const int32_t maxMsgLength = evDataQueue.maxMsgLength.load();
    if (maxMsgLength < 4194304 && evRunState.initialised.load() == 0) {
        snprintf(message, EV_CONN_MESSAGE_MAX,
                 "Maximum message length of data queue '%s/%s' is below minimum threshold of %d.", state,
                 queue, 4194304);
        return 0;
    }
    if (evDataQueue.capExpiry.load() >= 1) {
        snprintf(message, EV_CONN_MESSAGE_MAX, "CAPEXPIRY should not be set on data queue '%s/%s'.", state,
                 queue);
        return 0;
    }
    const EvQmgrRecord *records[2] = {&context->event, &context->state};
    for (const EvQmgrRecord *record : records) {
        if (record->maxUncommitted.load() < 1000) {
            snprintf(
                message, EV_CONN_MESSAGE_MAX,
                "Maximum uncommited messages value of Queue Manager '%s' is below minimum threshold of %d.",
                record->name, 1000);
            return 0;
        }
    }
    if (!evDataQueue.loaded.load()) return 1;

    const int32_t depth = evDataQueue.curDepth.load();
    const int32_t maxDepth = evDataQueue.maxDepth.load();
    uint32_t condition = 0;
    if (evDataQueue.inhibitGet.load() == MQQA_GET_INHIBITED) condition |= EV_DQ_GET_INHIBITED;
    if (evDataQueue.inhibitPut.load() == MQQA_PUT_INHIBITED) condition |= EV_DQ_PUT_INHIBITED;
    if (depth >= maxDepth - 250 || evDataQueue.depthForcedHigh.load()) condition |= EV_DQ_DEPTH_HIGH;
    if (maxMsgLength < 4194304) condition |= EV_DQ_MSGL_LOW;
    evDataQueueCondition.store(condition);
    const uint32_t previous = lastCondition.exchange(condition);
    if (condition == 0) return 1;
    if (condition != previous) {
        evOutput(EV_OUT_PROGRESS, "Data Queue compromised:", -1, 1);
        if (condition & EV_DQ_GET_INHIBITED) evOutput(EV_OUT_PROGRESS, "  Get INHIBITED:", -1, 1);
        if (condition & EV_DQ_PUT_INHIBITED) evOutput(EV_OUT_PROGRESS, "  Put INHIBITED:", -1, 1);
        if (condition & EV_DQ_MSGL_LOW)
            evOutputF(EV_OUT_PROGRESS, 1, "  Maximum message length %d is below 4194304: event intake held",
                      maxMsgLength);
        if (condition & EV_DQ_DEPTH_HIGH)
            evOutputF(EV_OUT_PROGRESS, 1, "  Data Queue is 'high' at %d of %d", depth, maxDepth);
    }
    struct Hold {
        QmgrContext *context;
        uint32_t condition;
    } hold{context, condition};
    walkQueues(
        [](EventQueueDef *held, void *argument) {
            auto *h = static_cast<Hold *>(argument);
            if (held->ownCommandQueue || !held->registered || held->consumerSuspended) return;
            char text[EV_CONN_MESSAGE_MAX];
            uint32_t status = held->status;
            snprintf(text, sizeof text, "Data Queue %s", evDataQueueConditionText(h->condition, &status));
            evSuspendQueue(h->context, held, 0, text);
            held->status = status;
        },
        &hold);
    // One "$DATAQHI" a condition: raised when the data queue becomes high, not again while it stays
    // so. A queue that stays high is looked at again and again (by the retry scheme, and by every
    // refused change); a new depth alone raised and published it anew each time, and a subscription
    // whose destination is the data queue itself was filled by its publications.
    if ((condition & EV_DQ_DEPTH_HIGH) != 0 && (previous & EV_DQ_DEPTH_HIGH) == 0) {
        AlertTemplate alert{};
        snprintf(alert.alert.category, sizeof alert.alert.category, "$DATAQHI");
        alert.alert.severity = 40;
        alert.alert.eventId = 1004;
        snprintf(alert.alert.qmgr, sizeof alert.alert.qmgr, "%s", state);
        snprintf(alert.alert.objectName, sizeof alert.alert.objectName, "%s", queue);
        alert.alert.objectType = MQOT_Q;
        alert.alert.time = evClockNow();
        char text[128];
        int length =
            snprintf(text, sizeof text, "Data Queue is 'high' at %d of %d messages.", depth, maxDepth);
        evAlertSetText(&alert.alert, text, length);
        char errorText[EV_CONFIG_TEXT] = "";
        // One "$DATAQHI" per data queue: a later condition replaces it with the depth now, and leaves
        // the one that says it already alone.
        bool same;
        {
            CSRecursiveGuard guard(gAlertLock);
            same = evAlertFind(0, text, length, "$DATAQHI", -1, state, -1, queue, -1, MQOT_Q) != nullptr;
        }
        // Said to the subscribers at once: it is kept with the alerts once the data queue has room.
        if (!same &&
            !evAlertAdd(&alert.alert,
                        EV_ALERT_REPLACE | EV_ALERT_ANY_TEXT | EV_ALERT_PUBLISH | EV_ALERT_PUBLISH_NOW,
                        nullptr, errorText))
            evOutput(EV_OUT_ERROR, errorText, -1, 1);
    }
    return 1;
}

int evResumeHeldQueues(QmgrContext *context) {
    if (evDataQueueCondition.load() != 0) return 0;
    // MQCB on set E's queues from set C's callback: set E's consumer is paused meanwhile.
    const int32_t paused = evSuspendConsumer(context, evSet(EV_SET_E));
    if (paused == EV_SUSPEND_BUSY) return 0;
    bool resumed = false;
    for (CSTree *node = CSTreeFirst(evEventQueueTree); node != nullptr; node = node->next) {
        auto *queue = reinterpret_cast<EventQueueDef *>(node);
        const uint32_t status = queue->status;
        if (queue->ownCommandQueue || queue->suspended || !queue->consumerSuspended ||
            (status != EV_EVQ_DATAHIGH && status != EV_EVQ_DATAPUT && status != EV_EVQ_DATAGET))
            continue;
        char message[EV_CONN_MESSAGE_MAX] = "";
        if (!evResumeQueue(context, queue, 0, message)) evReportMQError(context, -1, 0, message);
        resumed = true;
    }
    if (paused == EV_SUSPEND_HELD) evResumeConsumer(context, evSet(EV_SET_E));
    if (resumed) evOutput(EV_OUT_PROGRESS, "Data Queue has room again: event intake resumed", -1, 1);
    return 1;
}

int evInquireDataQueue(QmgrContext *context, ConnectionSet *set, char *message) {
    lastCheckUnfit = false;
    // The data queue is the set's: its handle, and the connection and table it was opened with.
    const MQHCONN hconn = set->io.hconn;
    const MQIFunctionTable *mq = set->io.mq;
    const EvQmgrRecord &state = context->state;
    const bool zos = state.platform.load() == MQPL_ZOS;
    const bool capExpiry = state.commandLevel.load() >= (zos ? 940 : 931);
    MQLONG selectors[7] = {MQIA_MAX_Q_DEPTH, MQIA_MAX_MSG_LENGTH,  MQIA_USAGE,     MQIA_INHIBIT_GET,
                           MQIA_INHIBIT_PUT, MQIA_CURRENT_Q_DEPTH, MQIA_CAP_EXPIRY};
    const MQLONG count = capExpiry ? 7 : 6;
    MQLONG values[7] = {};
    MQLONG cc = 0;
    MQLONG rc = 0;
    evTraceCallIn("MQINQ(Data)", hconn, EV_TRACE_CONTROL, set->io.hobj);
    if (mq != nullptr && mq->MQINQ != nullptr) {
        mq->MQINQ(hconn, set->io.hobj, count, selectors, count, values, 0, nullptr, &cc, &rc);
    } else {
        cc = MQCC_FAILED;
        rc = MQRC_HCONN_ERROR;
    }
    evTraceCallOut("MQINQ(Data)", hconn, EV_TRACE_CONTROL, rc);
    if (cc == MQCC_FAILED) {
        snprintf(message, EV_CONN_MESSAGE_MAX, "MQINQ(%s/%s) failed RC(%d) %s", state.name,
                 context->dataQueueName, rc, evReasonText(rc));
        evReportMQError(context, hconn, rc, message);
        return 0;
    }
    evDataQueue.lastInquiry.store(evClockNow());
    evDataQueue.maxDepth.store(values[0]);
    evDataQueue.maxMsgLength.store(values[1]);
    evDataQueue.usage.store(values[2]);
    evDataQueue.inhibitGet.store(values[3]);
    evDataQueue.inhibitPut.store(values[4]);
    evDataQueue.curDepth.store(values[5]);
    evDataQueueMsgCount.store(values[5]);  // then counted up and down by the system's own puts and gets
    evDataQueue.capExpiry.store(capExpiry ? values[6] : -1);
    if (values[2] == MQUS_TRANSMISSION) {
        snprintf(message, EV_CONN_MESSAGE_MAX, "Data queue %s/%s should not be a transmission queue.",
                 state.name, context->dataQueueName);
        evReportMQError(context, hconn, 0, message);
        evEndWith(EV_EXIT_START);
        return 0;
    }
    if (!evCheckDataQueue(context, message)) {
        lastCheckUnfit = true;
        return 0;
    }
    return 1;
}

namespace {

// The data queue's input handles that are the program's own: set C's and set E's.
constexpr MQLONG kOwnInputHandles = 2;
// How long a start waits in place for other holders of the data queue before it leaves the attempt to
// the retry scheme.
constexpr int kHoldersWaitSeconds = 30;

// The data queue's open input count (IPPROCS) through set C's handle, or -1 with the failure in message.
MQLONG inputHandles(QmgrContext *context, char *message) {
    const EvStreamIo &io = evSet(EV_SET_C)->io;
    MQLONG selector = MQIA_OPEN_INPUT_COUNT;
    MQLONG count = -1;
    MQLONG cc = MQCC_FAILED;
    MQLONG rc = MQRC_HCONN_ERROR;
    evTraceCallIn("MQINQ(Data)", io.hconn, EV_TRACE_CONTROL, io.hobj);
    if (io.mq != nullptr && io.mq->MQINQ != nullptr)
        io.mq->MQINQ(io.hconn, io.hobj, 1, &selector, 1, &count, 0, nullptr, &cc, &rc);
    evTraceCallOut("MQINQ(Data)", io.hconn, EV_TRACE_CONTROL, rc);
    // A count the queue manager does not give (not applicable: a warning) holds nothing back.
    if (cc != MQCC_FAILED) return count < 0 ? 0 : count;
    snprintf(message, EV_CONN_MESSAGE_MAX, "MQINQ(%s/%s) failed RC(%d) %s", context->state.name,
             context->dataQueueName, rc, evReasonText(rc));
    evReportMQError(context, io.hconn, rc, message);
    return -1;
}

}  // namespace

int evWaitForDataQueueAlone(QmgrContext *context, char *message) {
    MQLONG handles = inputHandles(context, message);
    if (handles < 0) return 0;
    if (handles <= kOwnInputHandles) return 1;
    const char *state = context->state.name;
    const char *queue = context->dataQueueName;
    evOutputF(EV_OUT_PROGRESS, 1,
              "Data Queue '%s/%s' is open for input by %d handle(s) besides ZUNT's own: its stored state "
              "is loaded once they close (a run that ended without disconnecting may still hold a unit of "
              "work on it)",
              state, queue, handles - kOwnInputHandles);
    for (int waited = 0; waited < kHoldersWaitSeconds; waited++) {
        evSleepMs(1000);
        if (evEndFlag.load() != 0) return 0;
        handles = inputHandles(context, message);
        if (handles < 0) return 0;
        if (handles <= kOwnInputHandles) {
            evOutputF(EV_OUT_PROGRESS, 1, "Data Queue '%s/%s' is no longer open elsewhere: loading", state,
                      queue);
            return 1;
        }
    }
    snprintf(message, EV_CONN_MESSAGE_MAX,
             "Data Queue '%s/%s' is still open for input by %d handle(s) besides ZUNT's own: its stored "
             "state is not loaded while another connection may hold changes to it",
             state, queue, handles - kOwnInputHandles);
    return 0;
}

int evOpenDataQueue(QmgrContext *context, ConnectionSet *set, char *message) {
    const EvQmgrRecord &state = context->state;
    const MQHCONN hconn = evConnHandles[set->stateSlot].load();
    MQOD od = MQOD_DEFAULT;
    memcpy(od.ObjectQMgrName, state.name, strnlen(state.name, sizeof od.ObjectQMgrName));
    memcpy(od.ObjectName, context->dataQueueName, strnlen(context->dataQueueName, sizeof od.ObjectName));
    MQHOBJ hobj = -1;
    const int32_t registry = set->id == EV_SET_C ? EV_TRACE_HO_C_STATE : EV_TRACE_HO_E_STATE;
    MQLONG rc = evTracedOpen(state.mq, hconn, &od, 0x3A, &hobj, "MQOPEN(Data)", registry);
    if (rc != 0) {
        snprintf(message, EV_CONN_MESSAGE_MAX, "Failed to open data queue '%s/%s' RC(%d) %s", state.name,
                 context->dataQueueName, rc, evReasonText(rc));
        evReportMQError(context, hconn, rc, message);
        evLastReason.store(rc);
        // Unlike the documented rule, a queue manager that ends meanwhile (a 2009 or quiescing or
        // stopping reason) only fails the connect when the retry scheme would retry that end: it is
        // an outage like one heard at any other moment, not an unusable data queue.
        const bool ended = rc == 2009 || rc == 2161 || rc == 2162 || rc == 2202 || rc == 2203;
        if (rc != 2042 && !(ended && evShouldRetry(rc, 1))) evEndWith(EV_EXIT_START);
        return 0;
    }
    set->io.mq = state.mq;
    set->io.hconn = hconn;
    set->io.hobj = hobj;
    return 1;
}

int evFreeStreamLists(Stream **list) {
    while (*list != nullptr) {
        Stream *stream = *list;
        *list = stream->next;
        stream->next = nullptr;
        evStreamFree(stream);
    }
    return 1;
}

int evFreeAll(int32_t all) {
    // Memory caches what is committed: everything goes, and the next connect loads it again.
    evRestoreCommittedCounters();
    {
        CSRecursiveGuard guard(gConsumerLock);
        evFreeIntake();
        if (evServices.aggrFree != nullptr) evServices.aggrFree(all);
    }
    evStringsFree(1);
    cfgFreeModel(all);
    evDataQueue.loaded.store(0);
    return 1;
}

int evLoadStoredState(QmgrContext *context) {
    EvStreamIo *io = &evSet(EV_SET_C)->io;
    evConfigLoadedChanged.store(0);
    if (!evCfgLoad(io)) return 0;
    if (!evLoadStoredCounters(io)) return 0;
    if (!evAlertLoad(io)) return 0;
    Stream *strings = evStrings.stream != nullptr ? evStrings.stream : evStringsCreateStream();
    if (strings == nullptr || !evStreamLoad(io, strings)) return 0;
    for (CSTree *node = CSTreeFirst(evQmgrTree); node != nullptr; node = node->next) {
        auto *qmgr = reinterpret_cast<QmgrEntry *>(node);
        for (Stream *stream = qmgr->streams; stream != nullptr; stream = stream->next)
            if (!evStreamLoad(io, stream)) return 0;
    }
    // Unlike the documented sequence, blob messages no loaded stream header covers are counted, so
    // that records out of reach are not lost without a word.
    if (!evStreamReportOrphans(io)) return 0;
    if (!evLoadStoredStorms(io)) return 0;
    if (!evLoadEmitFiles(io)) return 0;
    if (evServices.aggrReadAll != nullptr && !evServices.aggrReadAll(context)) return 0;
    evStringsKeepStoredIds();
    evDataQueue.loaded.store(1);
    context->restartMark.store(0);
    return 1;
}

namespace {

// Every event queue but the command queue. Set C serves commands meanwhile: each queue is opened
// under the consumer lock, found by name, as a command may have removed it while an open waited.
// false when the program is to end or the connection is to be dropped.
bool openEventQueues(QmgrContext *context) {
    std::vector<std::array<char, EV_QUEUE_NAME_MAX + 1>> names;
    {
        CSRecursiveGuard guard(gConsumerLock);
        for (CSTree *node = CSTreeFirst(evEventQueueTree); node != nullptr; node = node->next) {
            auto *queue = reinterpret_cast<EventQueueDef *>(node);
            if (queue->ownCommandQueue) continue;
            names.emplace_back();
            memcpy(names.back().data(), queue->name, EV_QUEUE_NAME_MAX + 1);
        }
    }
    for (const auto &name : names) {
        CSRecursiveGuard guard(gConsumerLock);
        auto *queue =
            reinterpret_cast<EventQueueDef *>(CSTreeFind(evEventQueueTree, name.data(), EV_QUEUE_NAME_MAX));
        if (queue == nullptr) continue;
        int32_t openReason = 0;
        char text[EV_CONN_MESSAGE_MAX] = "";
        evOpenInputQueue(context, queue, 0, text, &openReason);
        if (evEndFlag.load() || evRunState.disconnecting.load() != 0) return false;
    }
    return true;
}

// What DISPLAY EVQ counts of each event queue a reload defines anew: the counters and LSTMSGTI live
// in memory only, and the connection that counted them is kept.
struct QueueCounts {
    std::array<char, EV_QUEUE_NAME_MAX + 1> name;
    EvCounter counters[EV_QUEUE_COUNTERS];
    int64_t lastMessageTime;
};

std::vector<QueueCounts> queueCounts() {
    std::vector<QueueCounts> counts;
    CSRecursiveGuard guard(gConsumerLock);
    for (CSTree *node = CSTreeFirst(evEventQueueTree); node != nullptr; node = node->next) {
        const auto *queue = reinterpret_cast<const EventQueueDef *>(node);
        if (queue->ownCommandQueue) continue;
        QueueCounts &c = counts.emplace_back();
        memcpy(c.name.data(), queue->name, EV_QUEUE_NAME_MAX + 1);
        memcpy(c.counters, queue->counters, sizeof c.counters);
        c.lastMessageTime = queue->lastMessageTime;
    }
    return counts;
}

// The counts set C's open unit took (a queue removed, counts reset), each queue's as it first was.
std::mutex gTakenLock;  // a leaf: taken under the consumer or structure lock
std::vector<QueueCounts> gTaken;

std::vector<QueueCounts> takeNotedCounts() {
    std::lock_guard<std::mutex> guard(gTakenLock);
    return std::exchange(gTaken, {});
}

// Each saved count's queue, as the reload defined it anew, with the saved counts (its queue gone:
// none), under the consumer lock.
template <typename Apply>
void toQueues(const std::vector<QueueCounts> &counts, Apply apply) {
    CSRecursiveGuard guard(gConsumerLock);
    for (const QueueCounts &c : counts)
        if (auto *queue = reinterpret_cast<EventQueueDef *>(
                CSTreeFind(evEventQueueTree, c.name.data(), EV_QUEUE_NAME_MAX)))
            apply(queue, c);
}

void restoreQueueCounts(const std::vector<QueueCounts> &counts) {
    toQueues(counts, [](EventQueueDef *queue, const QueueCounts &c) {
        memcpy(queue->counters, c.counters, sizeof queue->counters);
        queue->lastMessageTime = c.lastMessageTime;
    });
}

// Counts a backed-out unit took, added to those the queue has now: a removed queue is defined anew
// with none, a reset one has counted only since the reset.
void giveBackCounts(const std::vector<QueueCounts> &taken) {
    toQueues(taken, [](EventQueueDef *queue, const QueueCounts &c) {
        for (size_t i = 0; i < EV_QUEUE_COUNTERS; i++) {
            queue->counters[i].current += c.counters[i].current;
            queue->counters[i].committed += c.counters[i].committed;
            queue->counters[i].atConnect += c.counters[i].atConnect;
        }
        queue->lastMessageTime = std::max(queue->lastMessageTime, c.lastMessageTime);
    });
}

// The counts a connect's drop of the queues carries to the queues its load defines anew, as a reload
// keeps them: a reconnect takes nothing from what this run counted.
struct CarriedCounts {
    std::vector<QueueCounts> counts;
    std::vector<QueueCounts> taken;
};
std::optional<CarriedCounts> gCarried;

void giveCarriedCounts() {
    if (!gCarried) return;
    restoreQueueCounts(gCarried->counts);
    giveBackCounts(gCarried->taken);
    gCarried.reset();
}

}  // namespace

void evNoteQueueCountsTaken(const EventQueueDef *queue) {
    if (queue->ownCommandQueue) return;
    std::lock_guard<std::mutex> guard(gTakenLock);
    for (const QueueCounts &c : gTaken)
        if (std::strncmp(c.name.data(), queue->name, EV_QUEUE_NAME_MAX) == 0) return;  // as it first was
    QueueCounts &c = gTaken.emplace_back();
    memcpy(c.name.data(), queue->name, EV_QUEUE_NAME_MAX + 1);
    memcpy(c.counters, queue->counters, sizeof c.counters);
    c.lastMessageTime = queue->lastMessageTime;
}

void evForgetTakenQueueCounts() {
    takeNotedCounts();
}

void evCarryQueueCounts() {
    // Taken at the first drop after they were given back: a connect that failed before its load
    // defined the queues anew with none.
    if (gCarried) return;
    evRestoreCommittedCounters();
    gCarried = CarriedCounts{queueCounts(), takeNotedCounts()};
}

void evForgetCarriedQueueCounts() {
    gCarried.reset();
}

int evReloadStoredState(QmgrContext *context, int32_t queuesToo) {
    // The load frees emitters the stored configuration no longer names: none may hold an output.
    if (evServices.emitClose != nullptr) {
        evServices.emitClose(context, evSet(EV_SET_C));
        evServices.emitClose(context, evSet(EV_SET_E));
    }
    // The memory drop forgets the sets' dead-letter handles: closed first, they are not left open.
    evCloseDeadQueue(context, evSet(EV_SET_C));
    evCloseDeadQueue(context, evSet(EV_SET_E));
    if (!evFreeAll(0)) return 0;  // the counters as committed
    const std::vector<QueueCounts> counts = queuesToo ? queueCounts() : std::vector<QueueCounts>{};
    // What a command took from them goes back only with the queues themselves defined anew.
    const std::vector<QueueCounts> taken = queuesToo ? takeNotedCounts() : std::vector<QueueCounts>{};
    if (queuesToo) evDropEventQueues(context);
    if (!evLoadStoredState(context)) {
        // The reconnect defines the queues anew: it carries the counts taken aside here (the queues
        // that are left, if any, hold none of them).
        if (queuesToo && !gCarried) gCarried = CarriedCounts{counts, taken};
        return 0;
    }
    restoreQueueCounts(counts);
    giveBackCounts(taken);
    // With a separate state queue manager the seen lists are stored state too: dropped with the
    // rest, they are loaded again, or a redelivery after a failed event-side commit would be stored
    // twice.
    if (strcmp(context->state.name, context->event.name) != 0 &&
        (!evLoadStoredSeenList(evSet(EV_SET_C)) || !evLoadStoredSeenList(evSet(EV_SET_E))))
        return 0;
    return !queuesToo || openEventQueues(context) ? 1 : 0;
}

int evReloadAfterBackout(QmgrContext *context, ConnectionSet *set) {
    ConnectionSet *setC = evSet(EV_SET_C);
    const bool isC = set == setC;
    if (evRunState.ready.load() == 0 || context->restartMark.load() != 0 || evRunState.qmgrEnding.load() != 0)
        return 0;
    // Set E's unit closed for set C's hold (set C's callback, set E still): set C's unit backs out at
    // its sync point, with the command and its answer (the request, delivered again, is answered once),
    // and its reload in place takes back what both units did.
    if (!isC && evCallbackSet == setC && evUnits[EV_SET_E].closingForHold != 0) {
        if (evUnits[EV_SET_C].reloaded != 0) return 0;
        evUnits[EV_SET_C].marked = 1;
        evUnits[EV_SET_C].backOutAtSyncPoint = 1;
        return 1;
    }
    // Only the set's own callback on a whole connection; elsewhere (a timed thread's unit, the
    // disconnect's backout, the connect) the reconnect reloads.
    if (evCallbackSet != set) return 0;
    // A failure that comes back at once (the redelivered unit failed again) is not met with a reload
    // each time, which would read the data queue over and over: the reconnect waits between attempts.
    if (evUnits[set->id].reloaded != 0) return 0;
    // The other set is still: set C holds set E, whose open unit commits first (what it holds in
    // memory would go with the drop); set E suspends set C, which commits its changes before its
    // callback returns. Set C's callback waiting to hold set E leaves this to the reconnect.
    if (isC ? evHoldEventSet(context) != EV_SUSPEND_HELD
            : evSuspendConsumer(context, setC) != EV_SUSPEND_HELD)
        return 0;
    // The drop clears set C's unit: one still open (its gets not committed) is the reconnect's too.
    if (!isC && (evUnits[EV_SET_C].inFlight != 0 || setC->io.inFlight != 0)) {
        (void)evResumeConsumer(context, setC);
        return 0;
    }
    // The data queue as it is now, as at a connect: a refused save has marked it full, and the queues
    // are held only while it really is.
    char message[EV_CONN_MESSAGE_MAX] = "";
    if (!evInquireDataQueue(context, setC, message)) evReportMQError(context, -1, 0, message);
    // A command's unit may have added, altered or removed event queues: they are defined anew. Set
    // E's changes none of them, and runs in the callback of one.
    int reloaded = evReloadStoredState(context, isC ? 1 : 0);
    logFreeCapture(&set->pending);  // the load's lines tell of no change
    if (isC)
        evUnits[EV_SET_C].holdingEvent = 1;  // the drop forgot the hold: the backout's release resumes set E
    else if (!evResumeConsumer(context, setC))
        reloaded = 0;
    if (reloaded) {
        evUnits[set->id].reloaded = 1;  // after the drop, which cleared the units' state
        // As a connect says it: a data queue still full holds the intake until it has room.
        uint32_t status = 0;
        if (const uint32_t condition = evDataQueueCondition.load(); condition != 0)
            evOutputF(
                EV_OUT_ERROR, 1,
                "%s unit backed out: the stored state was loaded again, event intake held: Data Queue %s",
                isC ? "Command" : "Event", evDataQueueConditionText(condition, &status));
        else
            evOutputF(EV_OUT_ERROR, 1, "%s unit backed out: the stored state was loaded again",
                      isC ? "Command" : "Event");
    }
    return reloaded;
}

namespace {

int initialise(QmgrContext *context, char *message) {
    evForgetTakenQueueCounts();  // what a command took went with the counts the drop carried
    evRunState.disconnecting.store(0);
    context->restartMark.store(0);

    EventQueueDef templ{};
    snprintf(templ.name, sizeof templ.name, "%s", EV_COMMAND_QUEUE_NAME);
    templ.inputHandle = templ.forwardHandle = templ.backoutHandle = -1;
    int32_t reason = 0;
    EventQueueDef *command = evEventQueueFindOrAdd(&templ, &reason, message);
    if (command == nullptr) {
        evEndWith(EV_EXIT_START);
        return 0;
    }
    command->ownCommandQueue = 1;
    if (!evOpenInputQueue(context, command, 0, message, &reason)) {
        evEndWith(EV_EXIT_START);
        return 0;
    }

    if (strcmp(context->state.name, context->event.name) != 0)
        snprintf(context->dataQueueName, sizeof context->dataQueueName, "%s", context->event.name);
    else
        snprintf(context->dataQueueName, sizeof context->dataQueueName, "%s", EV_DATA_QUEUE_NAME);

    if (!evOpenDataQueue(context, evSet(EV_SET_C), message)) return 0;
    if (!evOpenDataQueue(context, evSet(EV_SET_E), message)) return 0;
    if (!evInquireDataQueue(context, evSet(EV_SET_C), message)) {
        // An unfit queue is not cured by retrying.
        if (lastCheckUnfit) evEndWith(EV_EXIT_START);
        return 0;
    }
    evLastReason.store(0);
    evRunState.connected.store(1);

    // The seen lists too are stored state: loaded only once no other connection holds the queue.
    if (!evWaitForDataQueueAlone(context, message)) return 0;
    if (strcmp(context->state.name, context->event.name) != 0 &&
        (!evLoadStoredSeenList(evSet(EV_SET_C)) || !evLoadStoredSeenList(evSet(EV_SET_E))))
        return 0;
    if (!evLoadStoredState(context)) return 0;
    giveCarriedCounts();
    if (!evCheckDataQueue(context, message)) {
        evEndWith(EV_EXIT_START);
        return 0;
    }
    if (command->backoutThreshold == 0) command->backoutThreshold = evSettings.defaultBackoutThreshold.load();
    if (!evStartConsumer(context, evSet(EV_SET_C))) return 0;

    if (evServices.applyConfiguration != nullptr) {
        evServices.applyConfiguration();
        if (evServices.issueMQCommand != nullptr && !evServices.issueMQCommand("=conn", 5, 3, 1, 0)) return 0;
    }
    evRunHook(EV_HOOK_CONNECTED, nullptr);
    // Set C has served commands since its start: a unit that failed there, or the connection's
    // end, asked for the disconnect, which waits until this sequence stops.
    if (evEndFlag.load() || evRunState.disconnecting.load() != 0) return 0;

    if (evConfigLoadedChanged.load()) {
        ConnectionSet *setC = evSet(EV_SET_C);
        int32_t held = evSuspendConsumer(context, setC);
        int saved;
        {
            CSRecursiveGuard guard(gConsumerLock);
            saved = evSyncPoint(context, setC);
        }
        if (held == EV_SUSPEND_HELD) evResumeConsumer(context, setC);
        if (!saved) return 0;
    }

    if (!openEventQueues(context)) return 0;
    if (!evStartConsumer(context, evSet(EV_SET_E))) return 0;
    evRunState.ready.store(1);
    evRunState.initialised.store(1);
    evConfigLoadedChanged.store(0);
    // Unlike the documented last step, "ZUNT Initialised" is not said while the data queue holds the
    // event queues: intake waits until it has room, and the line says so.
    uint32_t status = 0;
    if (const uint32_t condition = evDataQueueCondition.load(); condition != 0)
        evOutputF(EV_OUT_PROGRESS, 1, "ZUNT Connected, event intake held: Data Queue %s",
                  evDataQueueConditionText(condition, &status));
    else
        logWrite(nullptr, EV_OUT_PROGRESS, "ZUNT Initialised", -1);
    return 1;
}

}  // namespace

int evInitialiseConnection() {
    QmgrContext *context = &evContext;
    char message[EV_CONN_MESSAGE_MAX] = "";
    evOutputF(EV_OUT_PROGRESS, 1, "Connect '%s' complete", context->event.name);
    const bool zos = context->event.platform.load() == MQPL_ZOS;
    const int32_t maximum = zos ? evStart.maxZosCommandLevel : evStart.maxCommandLevel;
    const int32_t level = context->event.commandLevel.load();
    if (maximum > 0 && level > maximum) {
        evOutputF(EV_OUT_PROGRESS, 1,
                  "Queue Manager command level (%d) greater than maximum supported command level '%d'.",
                  level, maximum);
        evEndWith(EV_EXIT_START);
        return 0;
    }
    evRunState.qmgrEnding.store(0);
    evRunState.broken.store(0);
    if (initialise(context, message)) return 1;
    size_t length = strnlen(message, sizeof message);
    if (length > 0 && message[length - 1] != '~')
        evOutput(EV_OUT_ERROR, message, static_cast<int32_t>(length), 1);
    return 0;
}
