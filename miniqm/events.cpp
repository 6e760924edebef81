// Instrumentation events as IBM MQ writes them: queue manager events (start and stop, inhibit,
// local and remote) on SYSTEM.ADMIN.QMGR.EVENT, performance events on SYSTEM.ADMIN.PERFM.EVENT,
// configuration events on SYSTEM.ADMIN.CONFIG.EVENT and command events on
// SYSTEM.ADMIN.COMMAND.EVENT. Each goes out when its cause happens, outside any unit of work, and
// never fails the call that caused it: an event queue that refuses one drops it with a log line.
// Putting an event raises no event and counts in no statistics.
#include <cstdio>
#include <cstring>

#include "miniqm/os.h"
#include "miniqm/qmgr.h"

namespace qm {

namespace {

bool isInquiry(MQLONG command) {
    switch (command) {
        case MQCMD_INQUIRE_Q_MGR:
        case MQCMD_INQUIRE_PROCESS:
        case MQCMD_INQUIRE_Q:
        case MQCMD_INQUIRE_Q_NAMES:
        case MQCMD_INQUIRE_PROCESS_NAMES:
        case MQCMD_INQUIRE_CHANNEL_NAMES:
        case MQCMD_INQUIRE_CHANNEL:
        case MQCMD_INQUIRE_NAMELIST:
        case MQCMD_INQUIRE_NAMELIST_NAMES:
        case MQCMD_INQUIRE_Q_STATUS:
        case MQCMD_INQUIRE_CHANNEL_STATUS:
        case MQCMD_INQUIRE_TOPIC:
        case MQCMD_INQUIRE_TOPIC_NAMES:
        case MQCMD_INQUIRE_SUBSCRIPTION:
        case MQCMD_INQUIRE_SUB_STATUS:
        case MQCMD_INQUIRE_TOPIC_STATUS:
            return true;
        default:
            return false;
    }
}

MQLONG objectType(Kind kind) {
    switch (kind) {
        case K_TOPIC:
            return MQOT_TOPIC;
        case K_QMGR:
            return MQOT_Q_MGR;
        case K_NAMELIST:
            return MQOT_NAMELIST;
        case K_SERVICE:
            return MQOT_SERVICE;
        case K_CHANNEL:
            return MQOT_CHANNEL;
        default:
            return MQOT_Q;
    }
}

// The parameter that names an object of this kind in configuration events.
MQLONG nameParameter(Kind kind) {
    switch (kind) {
        case K_TOPIC:
            return MQCA_TOPIC_NAME;
        case K_QMGR:
            return MQCA_Q_MGR_NAME;
        case K_NAMELIST:
            return MQCA_NAMELIST_NAME;
        case K_SERVICE:
            return MQCA_SERVICE_NAME;
        case K_CHANNEL:
            return MQCACH_CHANNEL_NAME;
        default:
            return MQCA_Q_NAME;
    }
}

}  // namespace

EventOrigin EventOrigin::fromMessage(const MQMD &md) {
    EventOrigin o;
    o.origin = MQEVO_MSG;
    o.userId = fixedField(md.UserIdentifier, sizeof md.UserIdentifier);
    std::memcpy(o.accountingToken, md.AccountingToken, sizeof o.accountingToken);
    o.applIdentity = fixedField(md.ApplIdentityData, sizeof md.ApplIdentityData);
    o.applType = md.PutApplType;
    o.applName = fixedField(md.PutApplName, sizeof md.PutApplName);
    o.applOrigin = fixedField(md.ApplOriginData, sizeof md.ApplOriginData);
    return o;
}

void QueueManager::log(const std::string &text) {
    std::fprintf(stderr, "miniqmd(%s): %s\n", qmgr_.name.c_str(), text.c_str());
    std::fflush(stderr);
}

void QueueManager::putInstrument(const char *queue, const std::string &pcf, const char *format) {
    Queue *q = findQueue(queue);
    const char *refused = nullptr;
    if (!q || q->def.kind != K_QLOCAL)
        refused = "it does not exist";
    else if (q->def.i(MQIA_INHIBIT_PUT) == MQQA_PUT_INHIBITED)
        refused = "it is put-inhibited";
    else if (q->depth >= q->def.i(MQIA_MAX_Q_DEPTH))
        refused = "it is full";
    else if (static_cast<MQLONG>(pcf.size()) > q->def.i(MQIA_MAX_MSG_LENGTH))
        refused = "the message is too long for it";
    if (refused) {
        log(std::string("message for ") + queue + " dropped: " + refused);
        return;
    }
    int64_t now = qmos::wallMs();
    auto m = std::make_unique<Message>();
    MQMD &md = m->md;
    md = MQMD_DEFAULT;
    md.Version = MQMD_VERSION_2;
    md.Report = MQRO_NONE;
    md.MsgType = MQMT_DATAGRAM;
    md.Expiry = MQEI_UNLIMITED;
    md.Encoding = MQENC_NATIVE;
    md.CodedCharSetId = qmgr_.i(MQIA_CODED_CHAR_SET_ID);
    std::memcpy(md.Format, format, sizeof md.Format);
    md.Priority = q->def.i(MQIA_DEF_PRIORITY);
    md.Persistence = q->def.i(MQIA_DEF_PERSISTENCE);
    newMsgId(md.MsgId);
    setField(md.ReplyToQMgr, sizeof md.ReplyToQMgr, qmgr_.name);
    setField(md.UserIdentifier, sizeof md.UserIdentifier, qmos::userName().substr(0, 12));
    md.PutApplType = MQAT_QMGR;
    setField(md.PutApplName, sizeof md.PutApplName, qmgr_.name.substr(0, 28));
    qmos::mqDateTime(now, md.PutDate, md.PutTime);
    m->data = pcf;
    m->putMs = now;
    m->persistent = md.Persistence == MQPER_PERSISTENT;
    m->seq = nextSeq_++;
    if (storeMessage(nullptr, q, std::move(m), false).failed())
        log(std::string("message for ") + queue + " dropped: the journal did not take it");
}

// ---- queue manager events ----

void QueueManager::qmgrEvent(MQLONG reason, const qmpcf::Writer &data) {
    putInstrument(
        "SYSTEM.ADMIN.QMGR.EVENT",
        data.message(MQCFT_EVENT, MQCFH_VERSION_1, MQCMD_Q_MGR_EVENT, 1, MQCFC_LAST, MQCC_WARNING, reason),
        MQFMT_EVENT);
}

void QueueManager::applIdentity(const Conn *c, qmpcf::Writer &w) const {
    w.integer(MQIA_APPL_TYPE, MQAT_DEFAULT);
    w.string(MQCACF_APPL_NAME, c->applName, MQ_APPL_NAME_LENGTH);
}

// A client's connection and channel names close the data of the events an application causes.
static void clientIdentity(const Conn *c, qmpcf::Writer &w) {
    if (!c->client) return;
    w.string(MQCACH_CONNECTION_NAME, c->connName, MQ_CONN_NAME_LENGTH);
    w.string(MQCACH_CHANNEL_NAME, c->channel, MQ_CHANNEL_NAME_LENGTH);
}

void QueueManager::startStopEvent(bool active, MQLONG qualifier) {
    if (!switchOn(MQIA_START_STOP_EVENT)) return;
    qmpcf::Writer w;
    w.string(MQCA_Q_MGR_NAME, qmgr_.name, MQ_Q_MGR_NAME_LENGTH);
    w.integer(MQIACF_REASON_QUALIFIER, qualifier);
    if (active) w.string(MQCACF_HOST_NAME, qmos::hostName());
    qmgrEvent(active ? MQRC_Q_MGR_ACTIVE : MQRC_Q_MGR_NOT_ACTIVE, w);
}

// The events of a failed MQOPEN or MQPUT1: local (unknown object, alias base) and remote (no way
// to the named queue manager). Names come from the object descriptor, as IBM MQ reports them.
void QueueManager::openEvent(Conn *c, const OpenRequest &od, MQLONG reason) {
    qmpcf::Writer w;
    const bool otherQmgr = !od.objectQMgrName.empty() && od.objectQMgrName != qmgr_.name;
    w.string(MQCA_Q_MGR_NAME, qmgr_.name, MQ_Q_MGR_NAME_LENGTH);
    switch (reason) {
        case MQRC_UNKNOWN_OBJECT_NAME:
            if (!switchOn(MQIA_LOCAL_EVENT) || od.objectType == MQOT_Q_MGR) return;
            applIdentity(c, w);
            if (od.objectType == MQOT_TOPIC)
                w.string(MQCA_TOPIC_NAME, od.objectName, MQ_TOPIC_NAME_LENGTH);
            else
                w.string(MQCA_Q_NAME, od.objectName, MQ_Q_NAME_LENGTH);
            if (otherQmgr) w.string(MQCACF_OBJECT_Q_MGR_NAME, od.objectQMgrName, MQ_Q_MGR_NAME_LENGTH);
            break;
        case MQRC_UNKNOWN_ALIAS_BASE_Q:
        case MQRC_ALIAS_BASE_Q_TYPE_ERROR: {
            if (!switchOn(MQIA_LOCAL_EVENT)) return;
            const Queue *alias = findQueue(od.objectName);
            std::string base = alias ? alias->def.s(MQCA_BASE_Q_NAME) : std::string();
            w.string(MQCA_Q_NAME, od.objectName, MQ_Q_NAME_LENGTH);
            w.string(MQCA_BASE_OBJECT_NAME, base, MQ_Q_NAME_LENGTH);
            if (reason == MQRC_ALIAS_BASE_Q_TYPE_ERROR) {
                const Queue *target = findQueue(base);
                w.integer(MQIA_Q_TYPE, target ? target->def.i(MQIA_Q_TYPE) : MQQT_LOCAL);
            }
            applIdentity(c, w);
            break;
        }
        case MQRC_UNKNOWN_REMOTE_Q_MGR:
        case MQRC_XMIT_Q_TYPE_ERROR:
        case MQRC_XMIT_Q_USAGE_ERROR:
        case MQRC_UNKNOWN_DEF_XMIT_Q:
        case MQRC_DEF_XMIT_Q_TYPE_ERROR:
        case MQRC_DEF_XMIT_Q_USAGE_ERROR: {
            if (!switchOn(MQIA_REMOTE_EVENT)) return;
            w.string(MQCA_Q_NAME, od.objectName, MQ_Q_NAME_LENGTH);
            if (reason != MQRC_UNKNOWN_REMOTE_Q_MGR) {
                // The transmission queue that was looked for: the queue named after the queue
                // manager, or the default one.
                bool named = reason == MQRC_XMIT_Q_TYPE_ERROR || reason == MQRC_XMIT_Q_USAGE_ERROR;
                std::string xmitq = named ? od.objectQMgrName : qmgr_.s(MQCA_DEF_XMIT_Q_NAME);
                w.string(MQCA_XMIT_Q_NAME, xmitq, MQ_Q_NAME_LENGTH);
                if (reason == MQRC_XMIT_Q_TYPE_ERROR || reason == MQRC_DEF_XMIT_Q_TYPE_ERROR) {
                    const Queue *x = findQueue(xmitq);
                    w.integer(MQIA_Q_TYPE, x ? x->def.i(MQIA_Q_TYPE) : MQQT_LOCAL);
                }
            }
            applIdentity(c, w);
            w.string(MQCACF_OBJECT_Q_MGR_NAME, od.objectQMgrName, MQ_Q_MGR_NAME_LENGTH);
            break;
        }
        default:
            return;
    }
    clientIdentity(c, w);
    qmgrEvent(reason, w);
}

void QueueManager::inhibitEvent(Conn *c, MQLONG reason, const std::string &qname,
                                const std::string &objectQMgr) {
    if (!switchOn(MQIA_INHIBIT_EVENT)) return;
    qmpcf::Writer w;
    w.string(MQCA_Q_MGR_NAME, qmgr_.name, MQ_Q_MGR_NAME_LENGTH);
    w.string(MQCA_Q_NAME, qname, MQ_Q_NAME_LENGTH);
    applIdentity(c, w);
    if (!objectQMgr.empty()) w.string(MQCACF_OBJECT_Q_MGR_NAME, objectQMgr, MQ_Q_MGR_NAME_LENGTH);
    clientIdentity(c, w);
    qmgrEvent(reason, w);
}

// ---- performance events ----

QueueStatsReset QueueManager::resetQueueStats(Queue *q) {
    const int64_t now = qmos::wallMs();
    const ResetCounts &c = q->counts;
    QueueStatsReset r;
    r.queue = q->def.name;
    r.timeSinceReset = static_cast<MQLONG>(std::max<int64_t>(0, (now - c.sinceMs) / 1000));
    r.highQDepth = c.highDepth;
    r.msgEnqCount = c.enqueued;
    r.msgDeqCount = c.dequeued;
    q->counts.reset(q->depth, now);
    return r;
}

// The event carries the queue's counts, which it then starts again, as RESET QSTATS would.
void QueueManager::perfEvent(Queue *q, MQLONG reason) {
    QueueStatsReset counts = resetQueueStats(q);
    qmpcf::Writer w;
    w.string(MQCA_Q_MGR_NAME, qmgr_.name, MQ_Q_MGR_NAME_LENGTH);
    w.string(MQCA_BASE_OBJECT_NAME, q->def.name, MQ_Q_NAME_LENGTH);
    w.integer(MQIA_TIME_SINCE_RESET, counts.timeSinceReset);
    w.integer(MQIA_HIGH_Q_DEPTH, counts.highQDepth);
    w.integer(MQIA_MSG_ENQ_COUNT, counts.msgEnqCount);
    w.integer(MQIA_MSG_DEQ_COUNT, counts.msgDeqCount);
    putInstrument(
        "SYSTEM.ADMIN.PERFM.EVENT",
        w.message(MQCFT_EVENT, MQCFH_VERSION_1, MQCMD_PERFM_EVENT, 1, MQCFC_LAST, MQCC_WARNING, reason),
        MQFMT_EVENT);
}

namespace {

// A performance event switches the queue's events over: the switches are attributes, kept in the
// journal with the queue (a switch the journal does not take is still switched in memory).
struct Switches {
    Queue *q;
    bool changed = false;
    void set(MQLONG selector, MQLONG value) {
        if (q->def.i(selector) == value) return;
        q->def.ints[selector] = value;
        changed = true;
    }
};

}  // namespace

void QueueManager::serviceCheck(Queue *q, bool get, int64_t now) {
    if (q->serviceTimerMs == 0) return;
    int64_t elapsed = now - q->serviceTimerMs;
    MQLONG limit = q->def.i(MQIA_Q_SERVICE_INTERVAL);
    MQLONG state = q->def.i(MQIA_Q_SERVICE_INTERVAL_EVENT);
    MQLONG next = state;
    if (state == MQQSIE_HIGH && elapsed > limit) {
        perfEvent(q, MQRC_Q_SERVICE_INTERVAL_HIGH);
        next = MQQSIE_OK;
    } else if (get && state == MQQSIE_OK && elapsed <= limit) {
        perfEvent(q, MQRC_Q_SERVICE_INTERVAL_OK);
        next = MQQSIE_HIGH;
    }
    if (next == state) return;
    q->def.ints[MQIA_Q_SERVICE_INTERVAL_EVENT] = next;
    if (!journalObject(q->def)) log("the journal did not take the service interval switch of " + q->def.name);
}

// A depth event: raised, its own switch off and the others it names on (journalled).
void QueueManager::depthEvent(Queue *q, MQLONG reason, MQLONG own, std::initializer_list<MQLONG> enabled) {
    perfEvent(q, reason);
    Switches s{q};
    s.set(own, MQEVR_DISABLED);
    for (MQLONG other : enabled) s.set(other, MQEVR_ENABLED);
    if (s.changed && !journalObject(q->def))
        log("the journal did not take the depth event switches of " + q->def.name);
}

// After a message went onto q (an application's put, in a unit of work or not).
void QueueManager::afterPut(Queue *q) {
    countDepth(q);
    int64_t now = qmos::wallMs();
    if (switchOn(MQIA_PERFORMANCE_EVENT)) serviceCheck(q, false, now);
    if (q->depth == 1) q->serviceTimerMs = now;
    if (!switchOn(MQIA_PERFORMANCE_EVENT) || q->def.i(MQIA_Q_DEPTH_HIGH_EVENT) != MQEVR_ENABLED) return;
    if (int64_t{q->depth} * 100 < int64_t{q->def.i(MQIA_Q_DEPTH_HIGH_LIMIT)} * q->def.i(MQIA_MAX_Q_DEPTH))
        return;
    depthEvent(q, MQRC_Q_DEPTH_HIGH, MQIA_Q_DEPTH_HIGH_EVENT,
               {MQIA_Q_DEPTH_LOW_EVENT, MQIA_Q_DEPTH_MAX_EVENT});
}

// After a message was got from q (destructively, in a unit of work or not).
void QueueManager::afterGet(Queue *q) {
    countDepth(q);
    int64_t now = qmos::wallMs();
    if (switchOn(MQIA_PERFORMANCE_EVENT)) serviceCheck(q, true, now);
    q->serviceTimerMs = q->depth > 0 ? now : 0;
    if (!switchOn(MQIA_PERFORMANCE_EVENT) || q->def.i(MQIA_Q_DEPTH_LOW_EVENT) != MQEVR_ENABLED) return;
    if (int64_t{q->depth} * 100 > int64_t{q->def.i(MQIA_Q_DEPTH_LOW_LIMIT)} * q->def.i(MQIA_MAX_Q_DEPTH))
        return;
    depthEvent(q, MQRC_Q_DEPTH_LOW, MQIA_Q_DEPTH_LOW_EVENT,
               {MQIA_Q_DEPTH_HIGH_EVENT, MQIA_Q_DEPTH_MAX_EVENT});
}

// A put refused because q is full.
void QueueManager::queueFull(Queue *q) {
    if (!switchOn(MQIA_PERFORMANCE_EVENT) || q->def.i(MQIA_Q_DEPTH_MAX_EVENT) != MQEVR_ENABLED) return;
    depthEvent(q, MQRC_Q_FULL, MQIA_Q_DEPTH_MAX_EVENT, {MQIA_Q_DEPTH_LOW_EVENT});
}

// ---- configuration events ----

void QueueManager::configEventData(qmpcf::Writer &w, const EventOrigin &origin, const Object &o) {
    w.string(MQCACF_EVENT_USER_ID, origin.userId, MQ_USER_ID_LENGTH);
    w.integer(MQIACF_EVENT_ORIGIN, origin.origin);
    w.string(MQCACF_EVENT_Q_MGR, qmgr_.name, MQ_Q_MGR_NAME_LENGTH);
    if (origin.origin == MQEVO_MSG) {
        w.bytes(MQBACF_EVENT_ACCOUNTING_TOKEN, origin.accountingToken, sizeof origin.accountingToken);
        w.string(MQCACF_EVENT_APPL_IDENTITY, origin.applIdentity, MQ_APPL_IDENTITY_DATA_LENGTH);
        w.integer(MQIACF_EVENT_APPL_TYPE, origin.applType);
        w.string(MQCACF_EVENT_APPL_NAME, origin.applName, MQ_APPL_NAME_LENGTH);
        w.string(MQCACF_EVENT_APPL_ORIGIN, origin.applOrigin, MQ_APPL_ORIGIN_DATA_LENGTH);
    }
    w.integer(MQIACF_OBJECT_TYPE, objectType(o.kind));
    w.string(nameParameter(o.kind), o.name,
             o.kind == K_TOPIC     ? MQ_TOPIC_NAME_LENGTH
             : o.kind == K_CHANNEL ? MQ_CHANNEL_NAME_LENGTH
                                   : MQ_Q_NAME_LENGTH);
    // Then every attribute an inquiry of the object returns.
    const Queue *q = (o.kind & K_QUEUES) ? findQueue(o.name) : nullptr;
    for (const AttrDef &a : attrTable()) {
        if (!attrApplies(a, o)) continue;
        if (a.selector == nameParameter(o.kind)) continue;
        if (a.selector == MQIA_CAP_EXPIRY && qmgr_.i(MQIA_COMMAND_LEVEL) < 931) continue;
        if (a.type == AttrType::Str) {
            w.string(a.selector, o.s(a.selector),
                     a.length <= MQ_CONN_NAME_LENGTH ? static_cast<size_t>(a.length) : 0);
            continue;
        }
        if (a.type == AttrType::NameList) {
            w.strings(a.selector, listedNames(a, o.s(a.selector)), static_cast<size_t>(a.length));
            continue;
        }
        MQLONG v = o.i(a.selector);
        if (q && a.selector == MQIA_CURRENT_Q_DEPTH) v = q->depth;
        if (q && a.selector == MQIA_OPEN_INPUT_COUNT) v = q->openInput;
        if (q && a.selector == MQIA_OPEN_OUTPUT_COUNT) v = q->openOutput;
        w.integer(a.selector, v);
    }
}

// A change raises events when CONFIGEV is on before or after it (so that switching it off is
// itself reported).
bool QueueManager::configChangeEvents(const Object &before, const Object &after) const {
    if (switchOn(MQIA_CONFIGURATION_EVENT)) return true;
    return (before.kind == K_QMGR && before.i(MQIA_CONFIGURATION_EVENT) == MQEVR_ENABLED) ||
           (after.kind == K_QMGR && after.i(MQIA_CONFIGURATION_EVENT) == MQEVR_ENABLED);
}

void QueueManager::configEvent(MQLONG reason, const EventOrigin &origin, const Object &obj,
                               const Object *before) {
    auto send = [&](const Object &o, MQLONG seq, MQLONG control) {
        qmpcf::Writer w;
        configEventData(w, origin, o);
        putInstrument(
            "SYSTEM.ADMIN.CONFIG.EVENT",
            w.message(MQCFT_EVENT, MQCFH_VERSION_2, MQCMD_CONFIG_EVENT, seq, control, MQCC_WARNING, reason),
            MQFMT_EVENT);
    };
    if (before) send(*before, 1, MQCFC_NOT_LAST);
    send(obj, before ? 2 : 1, MQCFC_LAST);
}

// ---- command events ----

void QueueManager::commandEvent(const EventOrigin &origin, MQLONG command, const qmpcf::Writer &parameters,
                                bool mqsc) {
    std::lock_guard<std::mutex> lock(mu_);
    commandEventLocked(origin, command, parameters, mqsc);
}

void QueueManager::commandEventLocked(const EventOrigin &origin, MQLONG command,
                                      const qmpcf::Writer &parameters, bool mqsc) {
    MQLONG setting = qmgr_.i(MQIA_COMMAND_EVENT);
    if (setting == MQEVR_DISABLED || (setting == MQEVR_NO_DISPLAY && isInquiry(command))) return;
    qmpcf::Writer w;
    w.beginGroup(MQGACF_COMMAND_CONTEXT);
    w.string(MQCACF_EVENT_USER_ID, origin.userId, MQ_USER_ID_LENGTH);
    w.integer(MQIACF_EVENT_ORIGIN, origin.origin);
    w.string(MQCACF_EVENT_Q_MGR, qmgr_.name, MQ_Q_MGR_NAME_LENGTH);
    if (origin.origin == MQEVO_MSG) {
        w.bytes(MQBACF_EVENT_ACCOUNTING_TOKEN, origin.accountingToken, sizeof origin.accountingToken);
        w.string(MQCACF_EVENT_APPL_IDENTITY, origin.applIdentity, MQ_APPL_IDENTITY_DATA_LENGTH);
        w.integer(MQIACF_EVENT_APPL_TYPE, origin.applType);
        w.string(MQCACF_EVENT_APPL_NAME, origin.applName, MQ_APPL_NAME_LENGTH);
        w.string(MQCACF_EVENT_APPL_ORIGIN, origin.applOrigin, MQ_APPL_ORIGIN_DATA_LENGTH);
    }
    w.integer(MQIACF_COMMAND, command);
    w.endGroup();
    w.beginGroup(MQGACF_COMMAND_DATA);
    w.append(parameters);
    w.endGroup();
    putInstrument("SYSTEM.ADMIN.COMMAND.EVENT",
                  w.message(MQCFT_EVENT, MQCFH_VERSION_3, MQCMD_COMMAND_EVENT, 1, MQCFC_LAST, MQCC_WARNING,
                            mqsc ? MQRC_COMMAND_MQSC : MQRC_COMMAND_PCF),
                  MQFMT_EVENT);
}

}  // namespace qm
