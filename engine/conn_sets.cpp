// The two connection sets: MQCONNX with its fall-backs, the event handler that hears a queue
// manager end, the consumer operations with their holds, and the disconnect of a set.
#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "engine/internal.h"

QmgrContext evContext;

EvDataQueueState evDataQueue;
thread_local ConnectionSet *evCallbackSet = nullptr;

namespace {

// The highest MQCNO version that has worked in this process.
std::atomic<int32_t> highestCnoVersion{7};

// The set whose callback holds the suspension token, or null.
std::atomic<ConnectionSet *> suspendToken{nullptr};

std::mutex holdMutex;
std::condition_variable holdChanged;

// This thread's holds on each set, with the connect count each was taken under.
struct ThreadHolds {
    int32_t count[2];
    uint16_t connectCount[2];
    int32_t tokens;
};
thread_local ThreadHolds threadHolds{};

CfgPublishTarget publishTarget;

bool setupDone = [] {
    ConnectionSet &c = evContext.sets[EV_SET_C];
    ConnectionSet &e = evContext.sets[EV_SET_E];
    c.id = EV_SET_C;
    c.eventSlot = EV_CONN_C_EVENT;
    c.stateSlot = EV_CONN_C_STATE;
    c.notifySlot = EV_CONN_C_STATEN;
    e.id = EV_SET_E;
    e.eventSlot = EV_CONN_E_EVENT;
    e.stateSlot = EV_CONN_E_STATE;
    e.notifySlot = EV_CONN_E_STATEN;
    c.io.hconn = e.io.hconn = -1;
    c.io.hobj = e.io.hobj = -1;
    c.io.batchSize = e.io.batchSize = 1;
    return true;
}();

const char *const kKindText[] = {"Event  Qmgr", "State  Qmgr", "Notify Qmgr"};

// The consumer lock let go completely while a hold waits: the count to take back, and the holder's
// current-set mark, which a callback that takes the lock meanwhile replaces with its own.
struct ConsumerLockGap {
    uint32_t held = 0;
    ConnectionSet *mark = nullptr;
};
ConsumerLockGap releaseConsumerLock(QmgrContext *context) {
    ConsumerLockGap gap;
    gap.held = CSRecursiveHeldCount(&gConsumerLock);
    if (gap.held != 0) gap.mark = context->current;
    for (uint32_t i = 0; i < gap.held; i++) CSUnlockRecursive(&gConsumerLock);
    return gap;
}
void retakeConsumerLock(QmgrContext *context, const ConsumerLockGap &gap) {
    for (uint32_t i = 0; i < gap.held; i++) CSLockRecursive(&gConsumerLock);
    if (gap.held != 0) context->current = gap.mark;
}

void copyRecord(EvQmgrRecord *to, const EvQmgrRecord *from) {
    memcpy(to->name, from->name, sizeof to->name);
    to->nameLength = from->nameLength;
    to->userId = from->userId;
    to->password = from->password;
    to->mq = from->mq;
    to->commandLevel.store(from->commandLevel.load());
    to->platform.store(from->platform.load());
    to->maxUncommitted.store(from->maxUncommitted.load());
    memcpy(to->deadQueue, from->deadQueue, sizeof to->deadQueue);
    to->deadQueueChanged.store(from->deadQueueChanged.load());
}

int32_t hookSuspend(int32_t set) {
    return evSuspendConsumer(&evContext, evSet(set));
}
void hookResume(int32_t set) {
    evResumeConsumer(&evContext, evSet(set));
}
int32_t hookPlatform() {
    return evContext.event.platform.load();
}
int32_t hookMaxMsgLength() {
    int32_t length = evDataQueue.maxMsgLength.load();
    return length > 0 ? length : 4194304;
}

void hookKeepAlerts() {
    CSRecursiveGuard guard(gConsumerLock);
    evKeepAlerts(&evContext);
}

void streamReportMQError(EvStreamIo *io, const char *text, int32_t reason) {
    char message[EV_CONN_MESSAGE_MAX];
    snprintf(message, sizeof message, "%s", text);
    evReportMQError(&evContext, io != nullptr ? io->hconn : -1, reason, message);
}
void streamEndConnection() {
    evEndConnection(&evContext);
}

// A change line waits in the pending lines of the set whose callback makes the change: its commit
// writes it, its backout drops it, so that the log tells only of changes that were kept. Outside a
// callback (the load at connect) there is no unit to wait for.
void streamPendingLogLine(const char *text) {
    ConnectionSet *set = evCallbackSet;
    if (set == nullptr) {
        evOutput(EV_OUT_INFO, text, -1, 1);
    } else if (!logWrite(&set->pending, EV_OUT_INFO, text, -1)) {
        evOutput(EV_OUT_ERROR, "No storage available.", -1, 1);
        evOutput(EV_OUT_INFO, text, -1, 1);  // better logged early than not at all
    }
}

}  // namespace

void evInstallConnectionHooks() {
    // Only the engine's own members of the stream hooks change.
    EvStreamHooks hooks = *evStreamGetHooks();
    hooks.reportMQError = streamReportMQError;
    hooks.endConnection = streamEndConnection;
    hooks.pendingLogLine = streamPendingLogLine;
    evStreamSetHooks(&hooks);
    cfgEngine.publishTarget = &publishTarget;
    cfgEngine.suspend = hookSuspend;
    cfgEngine.resume = hookResume;
    cfgEngine.qmgrPlatform = hookPlatform;
    cfgEngine.dataQueueMaxMsgLength = hookMaxMsgLength;
    cfgEngine.keepAlerts = hookKeepAlerts;
}

void evKeepAlerts(QmgrContext *context) {
    ConnectionSet *setC = &context->sets[EV_SET_C];
    if (evAlertsChanged.load() == 0 || evEventHconn(setC) == -1) return;
    ConnectionSet *current = context->current;
    context->current = setC;
    // Memory changed: a failed save backs set C out and ends the connection (this thread is no
    // callback), whose reconnect reloads.
    evUnits[EV_SET_C].marked = 1;
    evUnits[EV_SET_C].alertsOnly = 1;
    (void)evSyncPoint(context, setC);
    evUnits[EV_SET_C].alertsOnly = 0;
    context->current = current;
}

// ---- Traced calls ----------------------------------------------------------------------------

MQLONG evTracedCtl(const MQIFunctionTable *mq, MQHCONN hconn, MQLONG operation, const char *label) {
    MQCTLO ctlo = MQCTLO_DEFAULT;
    MQLONG cc = 0;
    MQLONG rc = 0;
    evTraceCallIn(label, hconn, EV_TRACE_CONTROL, 0);
    mq->MQCTL(hconn, operation, &ctlo, &cc, &rc);
    evTraceCallOut(label, hconn, EV_TRACE_CONTROL, rc);
    return cc == MQCC_FAILED ? rc : 0;
}

MQLONG evTracedClose(const MQIFunctionTable *mq, MQHCONN hconn, MQHOBJ *hobj, const char *label) {
    MQLONG cc = 0;
    MQLONG rc = 0;
    evTraceCallIn(label, hconn, EV_TRACE_CONTROL, *hobj);
    mq->MQCLOSE(hconn, hobj, MQCO_NONE, &cc, &rc);
    evTraceCallOut(label, hconn, EV_TRACE_CONTROL, rc);
    *hobj = -1;
    return cc == MQCC_FAILED ? rc : 0;
}

MQLONG evTracedOpen(const MQIFunctionTable *mq, MQHCONN hconn, MQOD *od, MQLONG options, MQHOBJ *hobj,
                    const char *label, int32_t registry) {
    MQLONG cc = 0;
    MQLONG rc = 0;
    evTraceOpenIn(label, hconn, EV_TRACE_CONTROL, od);
    mq->MQOPEN(hconn, od, options, hobj, &cc, &rc);
    if (registry >= 0 && cc != MQCC_FAILED) evTraceObjectHandles[registry].store(*hobj);
    evTraceOpenOut(label, hconn, EV_TRACE_CONTROL, od, *hobj, rc);
    if (cc == MQCC_FAILED) *hobj = -1;
    return cc == MQCC_FAILED ? rc : 0;
}

EvQmgrRecord *evRecordOfHandle(QmgrContext *context, MQHCONN hconn) {
    for (const ConnectionSet &set : context->sets) {
        if (hconn == evConnHandles[set.eventSlot].load()) return &context->event;
    }
    for (const ConnectionSet &set : context->sets) {
        if (hconn == evConnHandles[set.stateSlot].load() || hconn == evConnHandles[set.notifySlot].load())
            return &context->state;
    }
    return &context->event;
}

// ---- Errors and the batch size -------------------------------------------------------------

void evSetTxnBatch(QmgrContext *context) {
    int32_t event = context->event.maxUncommitted.load();
    int32_t state = context->state.maxUncommitted.load();
    if (state == 0) state = event;
    int32_t batch = std::min({event, state, 10000}) / 3;
    for (int32_t i = context->rollbacks.load(); i > 0 && batch > 1; i--) batch /= 2;
    batch = std::max(batch, 1);
    context->txnBatch.store(batch);
    for (ConnectionSet &set : context->sets) set.io.batchSize = static_cast<uint32_t>(batch);
}

void evReportMQError(QmgrContext *context, MQHCONN hconn, int32_t reason, char *message) {
    size_t length = strnlen(message, EV_CONN_MESSAGE_MAX);
    if (length == 0 || message[length - 1] == '~') return;
    evOutput(EV_OUT_ERROR, message, static_cast<int32_t>(length), 1);
    if (reason == 2003 && hconn != -1) {
        for (ConnectionSet &set : context->sets) {
            if (hconn != evConnHandles[set.eventSlot].load() && hconn != evConnHandles[set.stateSlot].load())
                continue;
            int32_t rollbacks = context->rollbacks.fetch_add(1) + 1;
            char line[160];
            // Framed by the log as an error line.
            snprintf(line, sizeof line, "MQ Transaction Rolledback : INFLIGHT(%d) MAXTXN(%d) CNT(%d)",
                     set.inFlight.load(), context->txnBatch.load(), rollbacks);
            logWrite(nullptr, EV_OUT_ERROR, line, -1);
            char inquire[EV_CONN_MESSAGE_MAX] = "";
            if (!evOpenQmgrInquire(context, hconn, inquire)) evSetTxnBatch(context);
            break;
        }
    }
    if (length + 1 < EV_CONN_MESSAGE_MAX) {
        message[length] = '~';
        message[length + 1] = '\0';
    }
}

// ---- Connecting ----------------------------------------------------------------------------

int evConnectQmgr(QmgrContext *context, ConnectionSet *set, int32_t kind, EvQmgrRecord *qmgr, char *message) {
    evOutputF(EV_OUT_PROGRESS, 1, "Connecting to %s '%s'", kKindText[kind], qmgr->name);
    EvConnSlot slot = kind == EV_KIND_EVENT   ? set->eventSlot
                      : kind == EV_KIND_STATE ? set->stateSlot
                                              : set->notifySlot;

    MQCNO cno = MQCNO_DEFAULT;
    memset(cno.ApplName, ' ', sizeof cno.ApplName);
    memcpy(cno.ApplName, EV_APPL_NAME, sizeof EV_APPL_NAME);  // with its NUL
    MQCSP csp = MQCSP_DEFAULT;
    if (qmgr->userId != nullptr) {
        csp.AuthenticationType = MQCSP_AUTH_USER_ID_AND_PWD;
        csp.CSPUserIdPtr = const_cast<char *>(qmgr->userId);
        csp.CSPUserIdLength = static_cast<MQLONG>(strlen(qmgr->userId));
        if (qmgr->password != nullptr) {
            csp.CSPPasswordPtr = const_cast<char *>(qmgr->password);
            csp.CSPPasswordLength = static_cast<MQLONG>(strlen(qmgr->password));
        }
        cno.SecurityParmsPtr = &csp;
    }
    const MQLONG floor = qmgr->userId != nullptr ? 5 : 1;
    MQLONG version = std::min<MQLONG>(7, highestCnoVersion.load());
    uint32_t suppress = evConnectSuppress.load();
    MQLONG options = 0x40 | static_cast<MQLONG>(~suppress & 0x1000A000u);
    MQHCONN hconn = -1;
    MQLONG cc = 0;
    MQLONG rc = 0;
    MQCHAR48 name;
    memset(name, ' ', sizeof name);
    memcpy(name, qmgr->name, strnlen(qmgr->name, sizeof name));
    for (;;) {
        cno.Version = version;
        cno.Options = options;
        evTraceCallIn("MQCONNX", -1, EV_TRACE_CONTROL, 0);
        qmgr->mq->MQCONNX(name, &cno, &hconn, &cc, &rc);
        evTraceCallOut("MQCONNX", hconn, EV_TRACE_CONTROL | EV_TRACE_SHOW_HC, rc);
        if (cc != MQCC_FAILED) break;
        if (rc == 2046 && (options & 0x10000000) != 0) {
            options &= ~0x10000000;
            evConnectSuppress.fetch_or(EV_SUPPRESS_ACTIVITY_TRACE);
        } else if (rc == 2046 && (options & 0x2000) != 0) {
            options &= ~0x2000;  // for this call only
        } else if (rc == 2139 && version > floor) {
            version = floor;
        } else {
            break;
        }
    }
    if (cc == MQCC_FAILED) {
        snprintf(message, EV_CONN_MESSAGE_MAX, "Connect '%s' RC(%d) %s", qmgr->name, rc, evReasonText(rc));
        evReportMQError(context, -1, rc, message);
        evLastReason.store(rc);
        if (!evShouldRetry(rc, qmgr == &context->state && evStart.separateState))
            evEndWith(evEndStatusOf(rc));
        return 0;
    }
    evConnHandles[slot].store(hconn);
    set->connectCount.fetch_add(1);
    if (set->id == EV_SET_C && kind == EV_KIND_EVENT) publishTarget.connectCount.fetch_add(1);
    highestCnoVersion.store(version);
    return 1;
}

int evOpenQmgrInquire(QmgrContext *context, MQHCONN hconn, char *message) {
    EvQmgrRecord *record = evRecordOfHandle(context, hconn);
    const MQIFunctionTable *mq = record->mq;
    MQOD od = MQOD_DEFAULT;
    od.ObjectType = MQOT_Q_MGR;
    MQHOBJ hobj = -1;
    MQLONG rc = evTracedOpen(mq, hconn, &od, MQOO_INQUIRE, &hobj, "MQOPEN(Qmgr)");
    if (rc != 0) {
        snprintf(message, EV_CONN_MESSAGE_MAX, "Open Queue Manager '%s' RC(%d) %s", record->name, rc,
                 evReasonText(rc));
        evReportMQError(context, hconn, rc, message);
        evLastReason.store(rc);
        return 0;
    }
    MQLONG selectors[5] = {MQCA_Q_MGR_NAME, MQCA_DEAD_LETTER_Q_NAME, MQIA_COMMAND_LEVEL, MQIA_PLATFORM,
                           MQIA_MAX_UNCOMMITTED_MSGS};
    MQLONG values[3] = {};
    char chars[100];
    memset(chars, ' ', sizeof chars);
    MQLONG cc = 0;
    evTraceCallIn("MQINQ(Qmgr)", hconn, EV_TRACE_CONTROL, hobj);
    mq->MQINQ(hconn, hobj, 5, selectors, 3, values, sizeof chars, chars, &cc, &rc);
    evTraceCallOut("MQINQ(Qmgr)", hconn, EV_TRACE_CONTROL, rc);
    evTracedClose(mq, hconn, &hobj, "MQCLOSE(Qmgr)");
    if (cc == MQCC_FAILED) {
        snprintf(message, EV_CONN_MESSAGE_MAX, "Inquire Queue Manager '%s' RC(%d) %s", record->name, rc,
                 evReasonText(rc));
        evReportMQError(context, hconn, rc, message);
        evLastReason.store(rc);
        return 0;
    }
    record->commandLevel.store(values[0]);
    record->platform.store(values[1]);
    record->maxUncommitted.store(values[2]);
    evSetTxnBatch(context);
    size_t length = 48;
    while (length > 0 && (chars[length - 1] == ' ' || chars[length - 1] == '\0')) length--;
    memcpy(record->name, chars, length);
    record->name[length] = '\0';
    record->nameLength = static_cast<int32_t>(length);
    size_t dlqLength = 48;
    while (dlqLength > 0 && (chars[48 + dlqLength - 1] == ' ' || chars[48 + dlqLength - 1] == '\0'))
        dlqLength--;
    if (strlen(record->deadQueue) != dlqLength || memcmp(record->deadQueue, chars + 48, dlqLength) != 0) {
        memcpy(record->deadQueue, chars + 48, dlqLength);
        record->deadQueue[dlqLength] = '\0';
        record->deadQueueChanged.store(1);
    }
    if (context->state.name[0] == '\0') {
        memcpy(context->state.name, record->name, sizeof record->name);
        context->state.nameLength = record->nameLength;
    }
    return 1;
}

namespace {

int registerHandler(QmgrContext *context, const MQIFunctionTable *mq, MQHCONN hconn, const EvQmgrRecord *qmgr,
                    char *message) {
    MQCBD cbd = MQCBD_DEFAULT;
    cbd.CallbackType = MQCBT_EVENT_HANDLER;
    cbd.Options = MQCBDO_FAIL_IF_QUIESCING;
    cbd.MaxMsgLength = MQCBD_FULL_MSG_LENGTH;
    cbd.CallbackFunction = reinterpret_cast<MQPTR>(evEventHandler);
    // The handler hears which connections the event is of: a late one of a dropped generation
    // must not end the connections made since.
    cbd.CallbackArea = reinterpret_cast<MQPTR>(static_cast<uintptr_t>(evConnectionGeneration()));
    MQLONG cc = 0;
    MQLONG rc = 0;
    evTraceCallIn("MQCB(Register Event)", hconn, EV_TRACE_CONTROL, 0);
    mq->MQCB(hconn, MQOP_REGISTER, &cbd, MQHO_NONE, nullptr, nullptr, &cc, &rc);
    evTraceCallOut("MQCB(Register Event)", hconn, EV_TRACE_CONTROL, rc);
    if (cc != MQCC_FAILED) return 1;
    snprintf(message, EV_CONN_MESSAGE_MAX, "MQCB event failed on Qmgr '%s' RC(%d) %s", qmgr->name, rc,
             evReasonText(rc));
    evReportMQError(context, hconn, rc, message);
    evLastReason.store(rc);
    return 0;
}

}  // namespace

int evConnectSet(QmgrContext *context, ConnectionSet *set, char *message) {
    const bool separate = evStart.separateState != 0;
    const bool setC = set->id == EV_SET_C;
    if (separate) {
        if (!evConnectQmgr(context, set, EV_KIND_STATE, &context->state, message)) return 0;
        if (setC && !evConnectQmgr(context, set, EV_KIND_NOTIFY, &context->state, message)) return 0;
    }
    if (!evConnectQmgr(context, set, EV_KIND_EVENT, &context->event, message)) return 0;
    const MQHCONN event = evConnHandles[set->eventSlot].load();
    if (!separate) evConnHandles[set->stateSlot].store(event);
    if (setC) {
        if (!evOpenQmgrInquire(context, event, message)) return 0;
        if (separate) {
            if (!evOpenQmgrInquire(context, evConnHandles[set->stateSlot].load(), message)) return 0;
        } else {
            copyRecord(&context->state, &context->event);
        }
        publishTarget.mq = context->event.mq;
        publishTarget.hconn.store(event);
    }
    set->io.mq = context->state.mq;
    set->io.hconn = evConnHandles[set->stateSlot].load();
    set->io.hobj = -1;
    set->io.inFlight = 0;
    set->deadQueueHandle.store(-1);
    set->inFlight.store(0);
    set->consumerStarted.store(0);
    evResetHolds(set);
    if (!registerHandler(context, context->event.mq, event, &context->event, message)) return 0;
    if (!setC || !separate) return 1;
    const MQHCONN notify = evConnHandles[set->notifySlot].load();
    if (!registerHandler(context, context->state.mq, notify, &context->state, message)) return 0;
    MQLONG rc = evTracedCtl(context->state.mq, notify, MQOP_START, "MQCTL(START Notify)");
    if (rc == 0) return 1;
    snprintf(message, EV_CONN_MESSAGE_MAX, "Event Consumer '%s' start failed with RC(%d) %s",
             context->state.name, rc, evReasonText(rc));
    evReportMQError(context, notify, rc, message);
    evLastReason.store(rc);
    return 0;
}

int evConnectSets() {
    QmgrContext *context = &evContext;
    evInstallConnectionHooks();
    EvQmgrRecord &event = context->event;
    EvQmgrRecord &state = context->state;
    snprintf(event.name, sizeof event.name, "%s", evStart.event.name);
    event.nameLength = static_cast<int32_t>(strlen(event.name));
    event.userId = evStart.event.userId;
    event.password = evStart.event.password;
    event.mq = evStart.client ? &evMQClientTable : &evMQServerTable;
    snprintf(state.name, sizeof state.name, "%s", evStart.state.name);
    state.nameLength = static_cast<int32_t>(strlen(state.name));
    state.userId = evStart.state.userId;
    state.password = evStart.state.password;
    state.mq = evStart.separateState ? &evMQServerTable : event.mq;
    context->wakeUpDone.store(0);
    char message[EV_CONN_MESSAGE_MAX] = "";
    return evConnectSet(context, evSet(EV_SET_C), message) && evConnectSet(context, evSet(EV_SET_E), message);
}

// ---- The event handler -----------------------------------------------------------------------

void evEventHandler(MQHCONN hconn, PMQVOID, PMQVOID, PMQVOID, PMQCBC cbc) {
    QmgrContext *context = &evContext;
    const MQLONG reason = cbc->Reason;
    if (reinterpret_cast<uintptr_t>(cbc->CallbackArea) != evConnectionGeneration()) {
        evTraceCallbackIn("Event", hconn, EV_TRACE_CONTROL, cbc);
        evTraceCallbackOut("Event", hconn, EV_TRACE_CONTROL);
        return;  // a connection of an earlier connect, already dropped
    }
    const bool ending = reason == 2009 || reason == 2161 || reason == 2162;
    if (ending) evRunState.qmgrEnding.store(1);
    const uint32_t flags = EV_TRACE_CONTROL | (reason != 0 ? EV_TRACE_EVENT_RC : 0);
    evTraceCallbackIn("Event", hconn, flags, cbc);
    if (cbc->CallType == MQCBCT_EVENT_CALL && ending) {
        if (reason == 2009) evRunState.broken.store(1);
        EvQmgrRecord *record = evRecordOfHandle(context, hconn);
        evOutputF(EV_OUT_PROGRESS, 1, "Queue Manager '%s' ending RC(%d) %s", record->name, reason,
                  evReasonText(reason));
        if (!evShouldRetry(reason, record == &context->state && evStart.separateState))
            evEndWith(evEndStatusOf(reason));
        MQLONG rc = evTracedCtl(record->mq, hconn, MQOP_STOP, "MQCTL(Stop Event)");
        if (rc != 0 && rc != 2009) {
            char line[EV_CONN_MESSAGE_MAX];
            snprintf(line, sizeof line, "Event Consumer '%s' stop failed with RC(%d) %s", record->name, rc,
                     evReasonText(rc));
            logWrite(nullptr, EV_OUT_ERROR, line, -1);
        }
        evStopAndDisconnect(hconn);
    }
    evTraceCallbackOut("Event", hconn, flags);
}

// ---- Consumers and their holds -------------------------------------------------------------

namespace {
std::atomic<int32_t> brokenStopSaid{0};  // the stop failure of a broken connection is said
}  // namespace

int evStartConsumer(QmgrContext *context, ConnectionSet *set) {
    if (set->consumerStarted.load()) return 1;
    const MQHCONN hconn = evConnHandles[set->eventSlot].load();
    MQLONG rc = evTracedCtl(context->event.mq, hconn, MQOP_START, "MQCTL(START)");
    if (rc == 0) {
        brokenStopSaid.store(0);
        set->consumerStarted.store(1);
        return 1;
    }
    char message[EV_CONN_MESSAGE_MAX];
    snprintf(message, sizeof message, "Consumer '%s' start failed with RC(%d) %s", context->event.name, rc,
             evReasonText(rc));
    evReportMQError(context, hconn, rc, message);
    return 0;
}

namespace {

// evStopConsumer with the reason of a failed stop (0 when stopped or not started).
MQLONG stopConsumer(QmgrContext *context, ConnectionSet *set) {
    if (!set->consumerStarted.load()) return 0;
    const MQHCONN hconn = evConnHandles[set->eventSlot].load();
    if (hconn == -1) {
        set->consumerStarted.store(0);
        return 0;
    }
    MQLONG rc = evTracedCtl(context->event.mq, hconn, MQOP_STOP, "MQCTL(STOP)");
    if (rc == 0) {
        set->consumerStarted.store(0);
        return 0;
    }
    // A broken connection's consumers are gone with it, and each set is stopped more than once on the
    // way to the disconnect: said once per connection ("Queue Manager ... ending" said why).
    if (rc == MQRC_CONNECTION_BROKEN && brokenStopSaid.exchange(1) != 0) return rc;
    char message[EV_CONN_MESSAGE_MAX];
    snprintf(message, sizeof message, "Command Consumer '%s' stop failed with RC(%d) %s", context->event.name,
             rc, evReasonText(rc));
    evReportMQError(context, hconn, rc, message);
    return rc;
}

}  // namespace

int evStopConsumer(QmgrContext *context, ConnectionSet *set) {
    return stopConsumer(context, set) == 0 ? 1 : 0;
}

void evResetHolds(ConnectionSet *set) {
    std::lock_guard<std::mutex> lock(holdMutex);
    set->holds.store(0);
    ConnectionSet *holder = set == evSet(EV_SET_C) ? evSet(EV_SET_E) : evSet(EV_SET_C);
    // A token taken to suspend this set is void with the set's holds.
    ConnectionSet *expected = holder;
    suspendToken.compare_exchange_strong(expected, nullptr);
}

int evSuspendConsumer(QmgrContext *context, ConnectionSet *set) {
    const int32_t id = set->id;
    ConnectionSet *callback = evCallbackSet;
    const bool ownCallback = callback == set;
    bool tookToken = false;
    if (callback != nullptr && !ownCallback) {
        // A callback suspending the other set: the one token, so that two callbacks never wait
        // for each other's SUSPEND.
        ConnectionSet *expected = nullptr;
        if (!suspendToken.compare_exchange_strong(expected, callback)) {
            if (expected != callback) return EV_SUSPEND_BUSY;
        } else {
            tookToken = true;
        }
    }
    ConsumerLockGap consumerHeld;
    std::unique_lock<std::mutex> lock(holdMutex);
    if (!set->consumerStarted.load()) {
        if (tookToken) suspendToken.store(nullptr);
        return EV_SUSPEND_NOT_STARTED;
    }
    if (set->holdChanging && !ownCallback) {
        lock.unlock();
        consumerHeld = releaseConsumerLock(context);
        lock.lock();
        holdChanged.wait(lock, [set] { return set->holdChanging == 0; });
        if (!set->consumerStarted.load()) {
            lock.unlock();
            retakeConsumerLock(context, consumerHeld);
            if (tookToken) suspendToken.store(nullptr);
            return EV_SUSPEND_NOT_STARTED;
        }
    }
    const uint16_t connectCount = set->connectCount.load();
    if (set->holds.fetch_add(1) == 0) {
        set->holdChanging = 1;
        lock.unlock();
        if (consumerHeld.held == 0) consumerHeld = releaseConsumerLock(context);
        MQLONG rc = evTracedCtl(context->event.mq, evConnHandles[set->eventSlot].load(), MQOP_SUSPEND,
                                "MQCTL(SUSPEND)");
        lock.lock();
        set->holdChanging = 0;
        holdChanged.notify_all();
        if (rc != 0) {
            set->holds.fetch_sub(1);
            lock.unlock();
            retakeConsumerLock(context, consumerHeld);
            if (tookToken) suspendToken.store(nullptr);
            char message[EV_CONN_MESSAGE_MAX];
            snprintf(message, sizeof message, "MQCTL(SUSPEND) of '%s' failed RC(%d) %s", context->event.name,
                     rc, evReasonText(rc));
            evReportMQError(context, evConnHandles[set->eventSlot].load(), rc, message);
            return EV_SUSPEND_NOT_STARTED;
        }
    }
    lock.unlock();
    retakeConsumerLock(context, consumerHeld);
    threadHolds.count[id]++;
    threadHolds.connectCount[id] = connectCount;
    if (callback != nullptr && !ownCallback) threadHolds.tokens++;
    return EV_SUSPEND_HELD;
}

int evResumeConsumer(QmgrContext *context, ConnectionSet *set) {
    const int32_t id = set->id;
    if (threadHolds.count[id] == 0) return 0;
    threadHolds.count[id]--;
    ConnectionSet *callback = evCallbackSet;
    if (callback != nullptr && callback != set && threadHolds.tokens > 0 && --threadHolds.tokens == 0) {
        ConnectionSet *expected = callback;
        suspendToken.compare_exchange_strong(expected, nullptr);
    }
    // A hold from before a reconnect: the connect cleared it already.
    if (threadHolds.connectCount[id] != set->connectCount.load()) return 0;
    ConsumerLockGap consumerHeld;
    std::unique_lock<std::mutex> lock(holdMutex);
    if (set->holdChanging && callback != set) {
        lock.unlock();
        consumerHeld = releaseConsumerLock(context);
        lock.lock();
        holdChanged.wait(lock, [set] { return set->holdChanging == 0; });
    }
    if (set->holds.load() <= 0) {
        lock.unlock();
        retakeConsumerLock(context, consumerHeld);
        return 0;
    }
    int32_t result = 1;
    if (set->holds.fetch_sub(1) == 1) {
        set->holdChanging = 1;
        lock.unlock();
        MQLONG rc = evTracedCtl(context->event.mq, evConnHandles[set->eventSlot].load(), MQOP_RESUME,
                                "MQCTL(RESUME)");
        lock.lock();
        set->holdChanging = 0;
        holdChanged.notify_all();
        if (rc != 0) {
            result = 0;
            char message[EV_CONN_MESSAGE_MAX];
            snprintf(message, sizeof message, "MQCTL(RESUME) of '%s' failed RC(%d) %s", context->event.name,
                     rc, evReasonText(rc));
            lock.unlock();
            evReportMQError(context, evConnHandles[set->eventSlot].load(), rc, message);
            retakeConsumerLock(context, consumerHeld);
            return result;
        }
    }
    lock.unlock();
    retakeConsumerLock(context, consumerHeld);
    return result;
}

// ---- Disconnecting ---------------------------------------------------------------------------

namespace {

void disconnectOne(QmgrContext *context, const EvQmgrRecord *qmgr, EvConnSlot slot, const char *kindText,
                   bool quietWhenBroken, char *message) {
    MQHCONN hconn = evConnHandles[slot].load();
    evOutputF(EV_OUT_PROGRESS, 1, "Disconnecting from %s '%s'", kindText, qmgr->name);
    MQLONG cc = 0;
    MQLONG rc = 0;
    MQHCONN handle = hconn;
    evTraceCallIn("MQDISC", hconn, EV_TRACE_CONTROL, 0);
    qmgr->mq->MQDISC(&handle, &cc, &rc);
    evTraceCallOut("MQDISC", hconn, EV_TRACE_CONTROL, rc);
    evConnHandles[slot].store(-1);
    if (cc == MQCC_FAILED && !(quietWhenBroken && evRunState.broken.load())) {
        snprintf(message, EV_CONN_MESSAGE_MAX, "Disconnect from %s '%s' RC(%d) %s", kindText, qmgr->name, rc,
                 evReasonText(rc));
        evReportMQError(context, -1, rc, message);
    }
}

}  // namespace

void evDisconnectSet(QmgrContext *context, ConnectionSet *set, char *message) {
    const MQLONG stopped = stopConsumer(context, set);
    const MQHCONN event = evConnHandles[set->eventSlot].load();
    const MQHCONN state = evConnHandles[set->stateSlot].load();
    // The backout gets no text: the buffer may still hold an earlier, already reported, message.
    if (stopped == MQRC_CONNECTION_BROKEN)
        evBackoutBrokenEvent(context, set, nullptr);
    else if (event != -1 || state != -1)
        evBackout(context, set, nullptr);
    // The emitters' queues go with the STATE connection, their files at the disconnect.
    if (evServices.emitClose != nullptr) evServices.emitClose(context, set);
    evResetHolds(set);
    set->consumerStarted.store(0);
    // The data queue goes with its connection.
    const int slot = set->id == EV_SET_C ? EV_TRACE_HO_C_STATE : EV_TRACE_HO_E_STATE;
    evTraceObjectHandles[slot].store(0);
    set->io.hobj = -1;
    if (state != -1 && state != event)
        disconnectOne(context, &context->state, set->stateSlot, "State  Qmgr", false, message);
    if (evConnHandles[set->notifySlot].load() != -1)
        disconnectOne(context, &context->state, set->notifySlot, "Notify Qmgr", false, message);
    if (set->id == EV_SET_C) {
        if (evServices.closeReplyCache != nullptr) evServices.closeReplyCache(context);
        evTraceObjectHandles[EV_TRACE_HO_C_CMD].store(0);
        context->commandQueueHandle.store(-1);
        publishTarget.hconn.store(-1);
    }
    if (event != -1) disconnectOne(context, &context->event, set->eventSlot, "Event  Qmgr", true, message);
    evConnHandles[set->eventSlot].store(-1);
    evConnHandles[set->stateSlot].store(-1);
    evConnHandles[set->notifySlot].store(-1);
    set->io.hconn = -1;
}

void evDisconnectSets() {
    char message[EV_CONN_MESSAGE_MAX] = "";
    evDisconnectSet(&evContext, evSet(EV_SET_C), message);
    evDisconnectSet(&evContext, evSet(EV_SET_E), message);
}

void evEndConnection(QmgrContext *context) {
    // Any thread, also a callback holding the consumer lock: stopping the other set here would
    // wait for its callback, which waits for that lock; and the queues' records are the
    // registered consumers' callback areas, so memory is dropped by the next connect instead.
    context->restartMark.store(1);
    evRunState.ready.store(0);
    if (evCallbackSet != nullptr) evStopConsumer(context, evCallbackSet);
    evStopAndDisconnect(-1);
}
