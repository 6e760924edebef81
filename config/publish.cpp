// Publication of alerts: one PCF message per added or removed alert on the topic
// Holva/ZUNT/Alerts, through set C's EVENT connection, with the alert's severity as the message
// property "Severity" so that subscribers can select on it. The topic is opened once per
// connection: the handle is kept with the connect count it was opened under.
// A subscriber sees only what was kept: each publication is held until a unit that saved the alerts
// commits (cfgAlertPublishHeld); after a backout the memory drop (the reload in place, or the one
// before the next connection) drops what is held with the changes it told of.
#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "config/internal.h"

CfgEngine cfgEngine{};

namespace {

constexpr int32_t kBuffer = 14096;
constexpr uint32_t kGrowth = 10000;
constexpr int64_t kUnsetTime = INT64_MIN;    // 0x8000000000000000
constexpr int64_t kOddTime = INT64_MIN + 2;  // 0x8000000000000002, sent as -3
constexpr int64_t kOddTimeSent = -3;

// The topic handle, shared by every thread that publishes.
struct Topic {
    std::mutex mutex;
    MQHOBJ hobj = MQHO_UNUSABLE_HOBJ;
    MQHCONN hconn = MQHC_UNUSABLE_HCONN;
    uint32_t connectCount = 0;
};
Topic topic;

// Publications that found set C held by the other set's callback (EV_SUSPEND_BUSY: the callback of
// set C waits for this one to end, so set C cannot be suspended here). Each is kept as built, in the
// order made, and put before any later publication once set C is free.
struct Waiting {
    Waiting *next;
    uint8_t *message;
    int32_t length;
    int32_t severity;
};
std::mutex waitingMutex;
Waiting *waitingHead = nullptr;
Waiting **waitingTail = &waitingHead;
std::atomic<uint32_t> waitingCount{0};

// Publications built and held until the alerts they tell of are committed, in the order made
// (under waitingMutex).
Waiting *heldHead = nullptr;
Waiting **heldTail = &heldHead;

void keepWaiting(uint8_t *message, int32_t length, int32_t severity) {
    auto *entry = static_cast<Waiting *>(CSGetMem(sizeof(Waiting)));
    if (entry == nullptr) {
        CSFreeMem(message);
        evOutput(EV_OUT_ERROR, "No storage available.", -1, 1);
        return;
    }
    *entry = Waiting{nullptr, message, length, severity};
    std::lock_guard<std::mutex> guard(waitingMutex);
    *waitingTail = entry;
    waitingTail = &entry->next;
    waitingCount.fetch_add(1);
}

void reportFailure(const char *verb, MQLONG reason) {
    char text[160];
    std::snprintf(text, sizeof text, "%s(%s) failed RC(%d) %s", verb, EV_ALERT_TOPIC, reason,
                  evReasonSymbol(reason));
    cfgReportMQError(nullptr, text, reason);
}

// The publication: parameters in a fixed order, the optional ones only when they carry something.
int32_t build(PcfCursor *c, int32_t command, const AlertDef *a) {
    MQPCFInitHeader(c->buffer, MQCFT_COMMAND, command);
    int32_t reason = cfgPutInt(c, HLV_ATTR_ALERT_ID, static_cast<int32_t>(a->id));
    if (!reason) reason = cfgPutText(c, HLV_ATTR_ALERT_TEXT, a->text);
    if (!reason) reason = cfgPutInt(c, HLV_ATTR_ALERT_SEVERITY, a->severity);
    if (!reason && a->category[0]) reason = cfgPutText(c, HLV_ATTR_ALERT_CATEGORY, a->category);
    if (!reason) reason = cfgPutInt(c, HLV_ATTR_RETENTION_INTERVAL, static_cast<int32_t>(a->retention));
    if (!reason && a->time != 0 && a->time != kUnsetTime)
        reason = cfgPutInt64(c, HLV_ATTR_ALERT_TIME, a->time == kOddTime ? kOddTimeSent : a->time);
    if (!reason && a->qmgr[0]) reason = cfgPutText(c, HLV_ATTR_ALERT_Q_MGR, a->qmgr);
    if (!reason && a->objectName[0]) reason = cfgPutText(c, HLV_ATTR_OBJECT, a->objectName);
    if (!reason && a->eventId) reason = cfgPutInt(c, HLV_ATTR_EVENT_ID, static_cast<int32_t>(a->eventId));
    if (!reason && a->streamId)
        if (const StreamDef *def = evStreamDefFindById(a->streamId))
            reason = cfgPutText(c, HLV_ATTR_STREAM_NAME, def->name);
    return reason;
}

// Under the topic mutex: the handle for this connection, opened when the one held belongs to an
// earlier connection (its handle died with it).
bool openTopic(const MQIFunctionTable *mq, MQHCONN hconn, uint32_t connectCount) {
    if (topic.hobj != MQHO_UNUSABLE_HOBJ && topic.hconn == hconn && topic.connectCount == connectCount)
        return true;
    topic.hobj = MQHO_UNUSABLE_HOBJ;
    MQOD od = MQOD_DEFAULT;
    od.Version = MQOD_VERSION_4;
    od.ObjectType = MQOT_TOPIC;
    od.ObjectString.VSPtr = const_cast<char *>(EV_ALERT_TOPIC);
    od.ObjectString.VSLength = static_cast<MQLONG>(std::strlen(EV_ALERT_TOPIC));
    MQHOBJ hobj = MQHO_UNUSABLE_HOBJ;
    MQLONG compCode = MQCC_FAILED, reason = MQRC_FUNCTION_NOT_SUPPORTED;
    evTraceOpenIn("MQOPEN(Topic)", hconn, EV_TRACE_CONTROL, &od);
    if (mq->MQOPEN) mq->MQOPEN(hconn, &od, MQOO_OUTPUT, &hobj, &compCode, &reason);
    evTraceOpenOut("MQOPEN(Topic)", hconn, EV_TRACE_CONTROL, &od, hobj, reason);
    if (compCode == MQCC_FAILED) {
        reportFailure("MQOPEN", reason);
        return false;
    }
    topic.hobj = hobj;
    topic.hconn = hconn;
    topic.connectCount = connectCount;
    return true;
}

// MQCRTMH, MQSETMP "Severity", MQPUT with the handle, MQDLTMH. 1 when put.
int put(const MQIFunctionTable *mq, MQHCONN hconn, uint8_t *message, int32_t length, int32_t severity) {
    MQLONG compCode = MQCC_FAILED, reason = MQRC_FUNCTION_NOT_SUPPORTED;
    MQHMSG hmsg = MQHM_UNUSABLE_HMSG;
    MQCMHO cmho = MQCMHO_DEFAULT;
    evTraceCallIn("MQCRTMH(Topic)", hconn, 0, 0);
    if (mq->MQCRTMH) mq->MQCRTMH(hconn, &cmho, &hmsg, &compCode, &reason);
    evTraceCallOut("MQCRTMH(Topic)", hconn, 0, reason);
    if (compCode == MQCC_FAILED) {
        reportFailure("MQCRTMH", reason);
        return 0;
    }
    int published = 0;
    MQSMPO smpo = MQSMPO_DEFAULT;
    MQPD pd = MQPD_DEFAULT;
    MQCHARV name{};
    name.VSPtr = const_cast<char *>("Severity");
    name.VSLength = 8;
    MQLONG value = severity;
    compCode = MQCC_FAILED;
    reason = MQRC_FUNCTION_NOT_SUPPORTED;
    evTraceCallIn("MQSETMP(Topic)", hconn, 0, 0);
    if (mq->MQSETMP) mq->MQSETMP(hconn, hmsg, &smpo, &name, &pd, MQTYPE_INT32, 4, &value, &compCode, &reason);
    evTraceCallOut("MQSETMP(Topic)", hconn, 0, reason);
    if (compCode == MQCC_FAILED) {
        reportFailure("MQSETMP", reason);
    } else {
        MQMD md = MQMD_DEFAULT;
        md.MsgType = MQMT_DATAGRAM;
        std::memcpy(md.Format, MQFMT_PCF, MQ_FORMAT_LENGTH);
        md.Persistence = MQPER_PERSISTENCE_AS_TOPIC_DEF;
        MQPMO pmo = MQPMO_DEFAULT;
        pmo.Version = MQPMO_VERSION_3;
        pmo.Options = MQPMO_NO_SYNCPOINT;
        pmo.OriginalMsgHandle = hmsg;
        compCode = MQCC_FAILED;
        reason = MQRC_FUNCTION_NOT_SUPPORTED;
        evTraceCallIn("MQPUT(Topic)", hconn, 0, topic.hobj);
        if (mq->MQPUT) mq->MQPUT(hconn, topic.hobj, &md, &pmo, length, message, &compCode, &reason);
        evTraceCallOut("MQPUT(Topic)", hconn, 0, reason);
        if (compCode == MQCC_FAILED) {
            reportFailure("MQPUT", reason);
            if (reason == MQRC_HOBJ_ERROR) topic.hobj = MQHO_UNUSABLE_HOBJ;
        } else {
            published = 1;
        }
    }
    MQDMHO dmho = MQDMHO_DEFAULT;
    evTraceCallIn("MQDLTMH(Topic)", hconn, 0, 0);
    if (mq->MQDLTMH) mq->MQDLTMH(hconn, &hmsg, &dmho, &compCode, &reason);
    evTraceCallOut("MQDLTMH(Topic)", hconn, 0, reason);
    return published;
}

// Under the topic mutex, with set C held (or not started): the waiting publications put in order.
// While set C is not connected they stay (the memory drop before the next connect drops them); a
// topic that does not open, or a put that fails, is reported and costs that publication, as it
// would have at once.
void putWaiting(const CfgPublishTarget *target) {
    for (;;) {
        Waiting *entry;
        {
            std::lock_guard<std::mutex> guard(waitingMutex);
            entry = waitingHead;
        }
        if (entry == nullptr) return;
        const MQHCONN hconn = target->hconn.load();
        if (hconn == MQHC_UNUSABLE_HCONN) return;
        if (openTopic(target->mq, hconn, target->connectCount.load()))
            (void)put(target->mq, hconn, entry->message, entry->length, entry->severity);
        {
            std::lock_guard<std::mutex> guard(waitingMutex);
            waitingHead = entry->next;
            if (waitingHead == nullptr) waitingTail = &waitingHead;
            waitingCount.fetch_sub(1);
        }
        CSFreeMem(entry->message);
        CSFreeMem(entry);
    }
}

}  // namespace

void cfgReportMQError(EvStreamIo *io, const char *text, int32_t reason) {
    EvStreamHooks *hooks = evStreamGetHooks();
    if (hooks->reportMQError)
        hooks->reportMQError(io, text, reason);
    else
        evOutput(EV_OUT_ERROR, text, -1, 1);
}

namespace {

// The put of one built publication (the buffer is freed or kept waiting). 1 when put now.
int send(CfgPublishTarget *target, uint8_t *buffer, int32_t length, int32_t severity) {
    const int32_t held = cfgEngine.suspend ? cfgEngine.suspend(EV_SET_C) : EV_SUSPEND_NOT_STARTED;
    if (held == EV_SUSPEND_BUSY) {
        // Unlike the documented publication, which is left out when set C cannot be suspended, it
        // waits for set C to be free (cfgAlertPublishWaiting) so that no subscriber misses it.
        keepWaiting(buffer, length, severity);
        return 0;
    }
    int published = 0;
    {
        std::lock_guard<std::mutex> guard(topic.mutex);
        putWaiting(target);
        const MQHCONN hconn = target->hconn.load();
        if (waitingCount.load() != 0) {
            // Set C's connection is gone meanwhile: it waits after those before it.
            keepWaiting(buffer, length, severity);
            buffer = nullptr;
        } else if (hconn != MQHC_UNUSABLE_HCONN &&
                   openTopic(target->mq, hconn, target->connectCount.load())) {
            published = put(target->mq, hconn, buffer, length, severity);
        }
    }
    if (held == EV_SUSPEND_HELD && cfgEngine.resume) cfgEngine.resume(EV_SET_C);
    if (buffer != nullptr) CSFreeMem(buffer);
    return published;
}

}  // namespace

namespace {

int publish(int32_t command, const AlertDef *alert, bool now) {
    // Publishing under the alert lock deadlocks with a set C command waiting for it.
    if (CSRecursiveHeldCount(&gAlertLock)) CS_TRAP(command);
    CfgPublishTarget *target = cfgEngine.publishTarget;
    if (!target || !target->mq || alert->severity == EV_SEVERITY_INFO) return 0;
    if (target->hconn.load() == MQHC_UNUSABLE_HCONN) return 0;

    auto *buffer = static_cast<uint8_t *>(CSGetMem(kBuffer));
    if (!buffer) return 0;
    PcfCursor cursor;
    MQPCFInitBuilder(&cursor, buffer, kBuffer, 1, kGrowth, &buffer);
    if (build(&cursor, command, alert) != 0) {
        CSFreeMem(buffer);
        return 0;
    }
    if (now) return send(target, buffer, cursor.position, alert->severity);
    // Unlike the documented publication, made at once, it waits for the commit of the alerts.
    auto *entry = static_cast<Waiting *>(CSGetMem(sizeof(Waiting)));
    if (entry == nullptr) {
        CSFreeMem(buffer);
        evOutput(EV_OUT_ERROR, "No storage available.", -1, 1);
        return 0;
    }
    *entry = Waiting{nullptr, buffer, cursor.position, alert->severity};
    std::lock_guard<std::mutex> guard(waitingMutex);
    *heldTail = entry;
    heldTail = &entry->next;
    return 1;
}

}  // namespace

int evAlertPublish(int32_t command, const AlertDef *alert) {
    return publish(command, alert, false);
}

int cfgAlertPublishNow(int32_t command, const AlertDef *alert) {
    return publish(command, alert, true);
}

void cfgAlertPublishHeld() {
    Waiting *entry;
    {
        std::lock_guard<std::mutex> guard(waitingMutex);
        entry = heldHead;
        heldHead = nullptr;
        heldTail = &heldHead;
    }
    while (entry) {
        Waiting *next = entry->next;
        CfgPublishTarget *target = cfgEngine.publishTarget;
        if (target && target->mq && target->hconn.load() != MQHC_UNUSABLE_HCONN)
            (void)send(target, entry->message, entry->length, entry->severity);
        else
            CSFreeMem(entry->message);
        CSFreeMem(entry);
        entry = next;
    }
}

void cfgAlertPublishWaiting() {
    if (waitingCount.load() == 0) return;
    CfgPublishTarget *target = cfgEngine.publishTarget;
    if (!target || !target->mq || target->hconn.load() == MQHC_UNUSABLE_HCONN) return;
    const int32_t held = cfgEngine.suspend ? cfgEngine.suspend(EV_SET_C) : EV_SUSPEND_NOT_STARTED;
    if (held == EV_SUSPEND_BUSY) return;
    {
        std::lock_guard<std::mutex> guard(topic.mutex);
        putWaiting(target);
    }
    if (held == EV_SUSPEND_HELD && cfgEngine.resume) cfgEngine.resume(EV_SET_C);
}

void cfgAlertPublishDropHeld() {
    std::lock_guard<std::mutex> guard(waitingMutex);
    // Held ones tell of changes the drop takes away: never committed, never published.
    while (Waiting *entry = heldHead) {
        heldHead = entry->next;
        CSFreeMem(entry->message);
        CSFreeMem(entry);
    }
    heldTail = &heldHead;
}

void cfgAlertPublishDropWaiting() {
    std::lock_guard<std::mutex> guard(waitingMutex);
    if (waitingHead != nullptr)
        evOutputF(EV_OUT_ERROR, 1, "Alert publications not made before the connection ended: %u",
                  waitingCount.load());
    while (Waiting *entry = waitingHead) {
        waitingHead = entry->next;
        CSFreeMem(entry->message);
        CSFreeMem(entry);
    }
    waitingTail = &waitingHead;
    waitingCount.store(0);
}
