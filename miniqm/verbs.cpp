// The MQI verbs as the queue manager carries them out: connections, opens and closes with dynamic
// queues, puts and gets with units of work, waits, browse cursors and context, inquire and set.
// Reason codes and their order of checking follow IBM MQ's documented behaviour.
#include <algorithm>
#include <chrono>
#include <cstring>

#include "miniqm/convert.h"
#include "miniqm/os.h"
#include "miniqm/props.h"
#include "miniqm/qmgr.h"
#include "miniqm/topic.h"
#include "miniqm/wire.h"

namespace qm {

namespace {

// The open options that give access to an object (at least one is needed).
constexpr MQLONG kAccessOptions = MQOO_INPUT_AS_Q_DEF | MQOO_INPUT_SHARED | MQOO_INPUT_EXCLUSIVE |
                                  MQOO_BROWSE | MQOO_OUTPUT | MQOO_INQUIRE | MQOO_SET;

bool isNone(const MQBYTE24 &id) {
    for (MQBYTE b : id)
        if (b != 0) return false;
    return true;
}

int countBits(MQLONG options, std::initializer_list<MQLONG> bits) {
    int n = 0;
    for (MQLONG b : bits)
        if (options & b) ++n;
    return n;
}

// Blank identity and origin context, as MQPMO_NO_CONTEXT leaves them.
void clearContext(MQMD &md, bool identity, bool origin) {
    if (identity) {
        setField(md.UserIdentifier, sizeof md.UserIdentifier, "");
        std::memset(md.AccountingToken, 0, sizeof md.AccountingToken);
        setField(md.ApplIdentityData, sizeof md.ApplIdentityData, "");
    }
    if (origin) {
        md.PutApplType = MQAT_NO_CONTEXT;
        setField(md.PutApplName, sizeof md.PutApplName, "");
        setField(md.PutDate, sizeof md.PutDate, "");
        setField(md.PutTime, sizeof md.PutTime, "");
        setField(md.ApplOriginData, sizeof md.ApplOriginData, "");
    }
}

void copyIdentity(MQMD &to, const MQMD &from) {
    std::memcpy(to.UserIdentifier, from.UserIdentifier, sizeof to.UserIdentifier);
    std::memcpy(to.AccountingToken, from.AccountingToken, sizeof to.AccountingToken);
    std::memcpy(to.ApplIdentityData, from.ApplIdentityData, sizeof to.ApplIdentityData);
}

void copyOrigin(MQMD &to, const MQMD &from) {
    to.PutApplType = from.PutApplType;
    std::memcpy(to.PutApplName, from.PutApplName, sizeof to.PutApplName);
    std::memcpy(to.PutDate, from.PutDate, sizeof to.PutDate);
    std::memcpy(to.PutTime, from.PutTime, sizeof to.PutTime);
    std::memcpy(to.ApplOriginData, from.ApplOriginData, sizeof to.ApplOriginData);
}

bool validMd(const MQMD &md) {
    return std::memcmp(md.StrucId, MQMD_STRUC_ID, 4) == 0 && md.Version >= MQMD_VERSION_1 &&
           md.Version <= MQMD_VERSION_2;
}

}  // namespace

// ---- connections ----

Result QueueManager::connect(const std::string &applName, const std::string &user, Conn *&conn) {
    Conn own;
    own.internal = true;
    return connect(applName, user, own, MQCNO_NONE, conn);
}

Result QueueManager::connect(const std::string &applName, const std::string &user, const Conn &who,
                             MQLONG cnoOptions, Conn *&conn) {
    // The user database is asked before the lock is taken: it may be slow.
    Principal principal = principalFor(user);
    std::lock_guard<std::mutex> lock(mu_);
    conn = nullptr;
    Result r;
    if (fault("MQCONN", "", applName, r) || state_ != State::Running) {
        ++mqiStats_.connsFailed;
        if (r.failed()) return r;
        return Result::fail(state_ == State::Quiescing ? MQRC_Q_MGR_QUIESCING : MQRC_Q_MGR_STOPPING);
    }
    // A refusal leaves no trace but its authority event.
    if (!who.internal && !authorized(principal, MQOT_Q_MGR, qmgr_.name, qmauth::bit(MQAUTH_CONNECT))) {
        qmpcf::Writer w;
        w.string(MQCACF_USER_IDENTIFIER, user.substr(0, MQ_USER_ID_LENGTH), MQ_USER_ID_LENGTH);
        w.integer(MQIA_APPL_TYPE, MQAT_DEFAULT);
        w.string(MQCACF_APPL_NAME, applName.substr(0, 28), MQ_APPL_NAME_LENGTH);
        if (who.client) {
            w.string(MQCACH_CONNECTION_NAME, who.connName, MQ_CONN_NAME_LENGTH);
            w.string(MQCACH_CHANNEL_NAME, who.channel, MQ_CHANNEL_NAME_LENGTH);
        }
        authorityEvent(MQRQ_CONN_NOT_AUTHORIZED, w);
        return Result::fail(MQRC_NOT_AUTHORIZED);
    }
    auto c = std::make_unique<Conn>();
    c->principal = std::move(principal);
    c->internal = who.internal;
    c->id = nextConn_++;
    c->applName = applName.substr(0, 28);
    c->user = user.substr(0, 12);
    c->client = who.client;
    c->connName = who.connName;
    c->channel = who.channel;
    c->pid = who.pid;
    c->tid = who.tid;
    c->connectMs = qmos::wallMs();
    std::memcpy(c->connectionId, "AMQC", 4);
    setField(reinterpret_cast<char *>(c->connectionId) + 4, 12, qmgr_.name.substr(0, 12));
    uint64_t n = ++idCounter_;
    std::memcpy(c->connectionId + 16, &n, 8);
    // Accounting is decided now; the MQCNO may override the queue manager's settings only where
    // ACCTCONO allows it.
    ConnAccounting &a = c->acct;
    a.mqi = qmgr_.i(MQIA_ACCOUNTING_MQI) == MQMON_ON;
    a.queueSetting = qmgr_.i(MQIA_ACCOUNTING_Q);
    if (qmgr_.i(MQIA_ACCOUNTING_CONN_OVERRIDE) == MQEVR_ENABLED) {
        if (cnoOptions & MQCNO_ACCOUNTING_MQI_ENABLED) a.mqi = true;
        if (cnoOptions & MQCNO_ACCOUNTING_MQI_DISABLED) a.mqi = false;
        if (cnoOptions & MQCNO_ACCOUNTING_Q_ENABLED) a.queueSetting = MQMON_ON;
        if (cnoOptions & MQCNO_ACCOUNTING_Q_DISABLED) a.queueSetting = MQMON_OFF;
    }
    a.intervalStartMs = c->connectMs;
    a.seqNumber = 1;
    conn = c.get();
    conns_[c->id] = std::move(c);
    ++mqiStats_.conns;
    mqiStats_.connsMax = std::max(mqiStats_.connsMax, static_cast<MQLONG>(conns_.size()));
    return Result::ok();
}

Result QueueManager::disconnect(Conn *c, bool normal) {
    std::lock_guard<std::mutex> lock(mu_);
    Result r;
    if (normal && fault("MQDISC", "", c->applName, r)) {
        if (r.reason == MQRC_BACKED_OUT) backoutUnreported(c);
        if (r.cc == MQCC_FAILED && r.reason != MQRC_BACKED_OUT) return r;
    } else if (normal && !c->uow.empty()) {
        // A queue manager ending at once commits nothing more: the unit is backed out, as on a
        // broken connection, and an application told 2162 that ends its connection loses no work.
        Result cr = state_ == State::Stopping ? Result::fail(MQRC_Q_MGR_STOPPING) : commitUow(c);
        if (cr.cc != MQCC_OK) r = Result::warn(MQRC_BACKED_OUT);
    }
    backoutUnreported(c);
    closeAllHandles(c);
    ++mqiStats_.discs[normal ? 0 : 1];
    if (c->acct.mqi || !c->acct.byQueue.empty())
        writeAccounting(c, qmos::wallMs(), normal ? MQDISCONNECT_NORMAL : MQDISCONNECT_IMPLICIT);
    conns_.erase(c->id);
    changed_.notify_all();
    return r;
}

void QueueManager::closeAllHandles(Conn *c) {
    std::vector<MQLONG> hobjs;
    for (const auto &[h, handle] : c->handles) hobjs.push_back(h);
    for (MQLONG h : hobjs) {
        // A plain close cannot be refused here: it deletes nothing that is journalled, and an
        // expired subscription whose removal the journal does not take is left to expireSubs.
        Result closed = closeLocked(c, h, MQCO_NONE);
        (void)closed;
    }
    // Temporary dynamic queues die with the connection that made them, opened elsewhere or not.
    std::vector<Queue *> doomed;
    for (auto &[name, q] : queues_)
        if (q->tempDynamic && q->creator == c) doomed.push_back(q.get());
    for (Queue *q : doomed) dropQueue(q);  // temporary: not in the journal
}

Handle *QueueManager::handleFor(Conn *c, MQLONG hobj) {
    auto it = c->handles.find(hobj);
    return it == c->handles.end() ? nullptr : &it->second;
}

// ---- open and close ----

Result QueueManager::open(Conn *c, const OpenRequest &od, MQLONG options, MQLONG &hobj, OpenReply &out) {
    std::lock_guard<std::mutex> lock(mu_);
    hobj = MQHO_UNUSABLE_HOBJ;
    // A refusal changes nothing and is not counted as the object's use.
    if (Result denied = authorizeOpen(c, od, options); denied.failed()) return denied;
    Result r = openLocked(c, od, options, hobj, out);
    Handle *h = r.failed() ? nullptr : handleFor(c, hobj);
    countOpen(c, od.objectType, h && !h->remote() ? h->queue : nullptr, r);
    if (r.failed()) openEvent(c, od, r.reason);
    return r;
}

Result QueueManager::openLocked(Conn *c, const OpenRequest &od, MQLONG options, MQLONG &hobj,
                                OpenReply &out) {
    hobj = MQHO_UNUSABLE_HOBJ;
    Result r;
    if (fault("MQOPEN", od.objectName, c->applName, r)) return r;
    if (state_ == State::Stopping) return Result::fail(MQRC_Q_MGR_STOPPING);
    if (quiescingFails(options, MQOO_FAIL_IF_QUIESCING)) return Result::fail(MQRC_Q_MGR_QUIESCING);
    r = checkOpenOptions(c, options);
    if (r.failed()) return r;

    Handle h;
    h.objectType = od.objectType;
    h.options = options;
    r = openSelection(od, options, h);
    if (r.failed()) return r;
    const std::string &qmName = od.objectQMgrName;
    if (od.objectType == MQOT_Q_MGR) {
        r = openQmgr(od, options, out);
    } else if (od.objectType == MQOT_TOPIC) {
        r = openTopic(od, options, h, out);
    } else if (od.objectType == MQOT_Q && !qmName.empty() && qmName != qmgr_.name) {
        r = openRemoteLocked(od, options, h, out);
    } else if (od.objectType == MQOT_Q) {
        r = openQueue(c, od, options, h, out);
    } else {
        r = Result::fail(MQRC_OBJECT_TYPE_ERROR);
    }
    if (r.failed()) return r;
    h.hobj = c->nextHobj++;
    hobj = h.hobj;
    c->handles[h.hobj] = h;
    return Result::ok();
}

// The open options on their own, whatever the object: known, at most one input option, some access,
// and a handle left for the connection.
Result QueueManager::checkOpenOptions(Conn *c, MQLONG options) const {
    if (countBits(options, {MQOO_INPUT_AS_Q_DEF, MQOO_INPUT_SHARED, MQOO_INPUT_EXCLUSIVE}) > 1)
        return Result::fail(MQRC_OPTIONS_ERROR);
    const MQLONG known = kAccessOptions | MQOO_SAVE_ALL_CONTEXT | MQOO_PASS_IDENTITY_CONTEXT |
                         MQOO_PASS_ALL_CONTEXT | MQOO_SET_IDENTITY_CONTEXT | MQOO_SET_ALL_CONTEXT |
                         MQOO_ALTERNATE_USER_AUTHORITY | MQOO_FAIL_IF_QUIESCING | MQOO_BIND_ON_OPEN |
                         MQOO_BIND_NOT_FIXED | MQOO_BIND_ON_GROUP | MQOO_RESOLVE_NAMES |
                         MQOO_RESOLVE_LOCAL_Q | MQOO_READ_AHEAD | MQOO_NO_READ_AHEAD | MQOO_CO_OP |
                         MQOO_NO_MULTICAST;
    if ((options & ~known) != 0) return Result::fail(MQRC_OPTIONS_ERROR);
    if ((options & kAccessOptions) == 0) return Result::fail(MQRC_OPTIONS_ERROR);
    if (c->handles.size() >= static_cast<size_t>(std::max<MQLONG>(qmgr_.i(MQIA_MAX_HANDLES), 1)))
        return Result::fail(MQRC_HANDLE_NOT_AVAILABLE);
    return Result::ok();
}

// The queue manager object: for MQINQ only.
Result QueueManager::openQmgr(const OpenRequest &od, MQLONG options, OpenReply &out) {
    if (!od.objectName.empty() && od.objectName != qmgr_.name) return Result::fail(MQRC_UNKNOWN_OBJECT_NAME);
    if (!od.objectQMgrName.empty() && od.objectQMgrName != qmgr_.name)
        return Result::fail(MQRC_OPTION_NOT_VALID_FOR_TYPE);
    if (options & (kAccessOptions & ~MQOO_INQUIRE)) return Result::fail(MQRC_OPTION_NOT_VALID_FOR_TYPE);
    out.objectName = qmgr_.name;
    out.resolvedQMgrName = qmgr_.name;
    out.resolvedType = MQOT_Q_MGR;
    return Result::ok();
}

// A topic, by topic object, ObjectString or both: publications go to its subscribers (without
// MQSUB there are none, as on a queue manager where nobody has subscribed). Only output makes
// sense on a topic.
Result QueueManager::openTopic(const OpenRequest &od, MQLONG options, Handle &h, OpenReply &out) {
    if (options & (kAccessOptions & ~(MQOO_OUTPUT | MQOO_INQUIRE)))
        return Result::fail(MQRC_OPTION_NOT_VALID_FOR_TYPE);
    if (!od.objectName.empty() && !topics_.count(od.objectName))
        return Result::fail(MQRC_UNKNOWN_OBJECT_NAME);
    if (od.objectName.empty() && od.objectString.empty()) return Result::fail(MQRC_UNKNOWN_OBJECT_NAME);
    if (od.objectString.size() > static_cast<size_t>(MQ_TOPIC_STR_LENGTH))
        return Result::fail(MQRC_OBJECT_STRING_ERROR);
    h.topic = qmtopic::join(
        od.objectName.empty() ? std::string() : topics_[od.objectName].s(MQCA_TOPIC_STRING), od.objectString);
    if (options & MQOO_OUTPUT) {
        MQLONG bad = qmtopic::checkPublish(h.topic);
        if (bad != MQRC_NONE) return Result::fail(bad);
    }
    out.resolvedType = MQOT_TOPIC;
    return Result::ok();
}

// A queue of this queue manager: local, alias (to its base) or model (a new dynamic queue).
Result QueueManager::openQueue(Conn *c, const OpenRequest &od, MQLONG options, Handle &h, OpenReply &out) {
    if (od.objectName.empty()) return Result::fail(MQRC_UNKNOWN_OBJECT_NAME);
    Queue *q = findQueue(od.objectName);
    if (!q) return Result::fail(MQRC_UNKNOWN_OBJECT_NAME);
    if (q->def.kind == K_QREMOTE) {
        // A local definition of a remote queue: the queue and queue manager it names, through its
        // transmission queue (or the one named after that queue manager).
        OpenRequest remote = od;
        remote.objectName = q->def.s(MQCA_REMOTE_Q_NAME);
        remote.objectQMgrName = q->def.s(MQCA_REMOTE_Q_MGR_NAME);
        if (remote.objectQMgrName.empty()) remote.objectQMgrName = qmgr_.name;
        Result r = openRemoteLocked(remote, options, h, out, q->def.s(MQCA_XMIT_Q_NAME));
        out.objectName = od.objectName;
        return r;
    }
    if (q->def.kind == K_QMODEL) {
        Result r = makeDynamicQueue(c, od, *q, q);
        if (r.failed()) return r;
        h.createdDynamic = true;
        out.objectName = q->def.name;
    } else {
        out.objectName = od.objectName;
    }
    h.named = q;
    Queue *target = q;
    if (q->def.kind == K_QALIAS) {
        if (q->def.i(MQIA_BASE_TYPE) == MQOT_TOPIC) return Result::fail(MQRC_OPTION_NOT_VALID_FOR_TYPE);
        target = findQueue(q->def.s(MQCA_BASE_Q_NAME));
        if (!target) return Result::fail(MQRC_UNKNOWN_ALIAS_BASE_Q);
        if (target->def.kind == K_QREMOTE) return openAliasToRemote(od, options, *q, *target, h, out);
        // An alias resolves to a local queue or a remote definition: one naming a model or another
        // alias is in error.
        if (target->def.kind != K_QLOCAL) return Result::fail(MQRC_ALIAS_BASE_Q_TYPE_ERROR);
    }
    h.queue = target;
    if (options & (MQOO_INPUT_AS_Q_DEF | MQOO_INPUT_SHARED | MQOO_INPUT_EXCLUSIVE)) {
        bool exclusive = (options & MQOO_INPUT_EXCLUSIVE) ||
                         ((options & MQOO_INPUT_AS_Q_DEF) &&
                          target->def.i(MQIA_DEF_INPUT_OPEN_OPTION) == MQOO_INPUT_EXCLUSIVE) ||
                         target->def.i(MQIA_SHAREABILITY) == MQQA_NOT_SHAREABLE;
        if (target->openInputExclusive > 0 || (exclusive && target->openInput > 0)) {
            // The queue this open made goes with it, unless the journal will not take that.
            if (h.createdDynamic && !deleteQueue(q)) return Result::fail(MQRC_RESOURCE_PROBLEM);
            return Result::fail(MQRC_OBJECT_IN_USE);
        }
        if (exclusive) h.options |= MQOO_INPUT_EXCLUSIVE;
        ++target->openInput;
        if (exclusive) ++target->openInputExclusive;
    }
    if (options & MQOO_OUTPUT) ++target->openOutput;
    ++target->handles;
    if (q != target) ++q->handles;
    out.resolvedQName = target->def.name;
    out.resolvedQMgrName = qmgr_.name;
    out.resolvedType = MQOT_Q;
    return Result::ok();
}

// An alias whose base is a local definition of a remote queue: its messages go where the definition
// sends them (its transmission queue, behind a transmission header), as a put to the definition
// itself does. There is no queue to read (2045); an inquiry or a set is of the alias itself.
Result QueueManager::openAliasToRemote(const OpenRequest &od, MQLONG options, Queue &alias, const Queue &base,
                                       Handle &h, OpenReply &out) {
    if (options & (MQOO_INPUT_AS_Q_DEF | MQOO_INPUT_SHARED | MQOO_INPUT_EXCLUSIVE | MQOO_BROWSE))
        return Result::fail(MQRC_OPTION_NOT_VALID_FOR_TYPE);
    OpenRequest remote = od;
    remote.objectName = base.def.s(MQCA_REMOTE_Q_NAME);
    remote.objectQMgrName = base.def.s(MQCA_REMOTE_Q_MGR_NAME);
    if (remote.objectQMgrName.empty()) remote.objectQMgrName = qmgr_.name;
    Result r =
        openRemoteLocked(remote, options & ~(MQOO_INQUIRE | MQOO_SET), h, out, base.def.s(MQCA_XMIT_Q_NAME));
    if (r.failed()) return r;
    h.named = &alias;
    ++alias.handles;
    out.objectName = od.objectName;
    return r;
}

// A dynamic local queue from a model, named from DynamicQName ("AMQ.*"); a permanent one is
// journalled before it is made.
Result QueueManager::makeDynamicQueue(Conn *c, const OpenRequest &od, const Queue &model, Queue *&made) {
    std::string dyn = od.dynamicQName;
    size_t star = dyn.find('*');
    if (dyn.empty() || (star != std::string::npos && star != dyn.size() - 1) || dyn[0] == '*')
        return Result::fail(MQRC_DYNAMIC_Q_NAME_ERROR);
    std::string name = dyn;
    if (star != std::string::npos) {
        char suffix[32];
        do {
            std::snprintf(suffix, sizeof suffix, "%016llX", static_cast<unsigned long long>(++dynCounter_));
            name = (dyn.substr(0, star) + suffix).substr(0, 48);
        } while (findQueue(name));
    }
    if (findQueue(name)) return Result::fail(MQRC_OBJECT_ALREADY_EXISTS);
    Object def = model.def;
    def.kind = K_QLOCAL;
    def.name = name;
    MQLONG defType = model.def.i(MQIA_DEFINITION_TYPE);
    def.ints[MQIA_DEFINITION_TYPE] = defType;
    touch(def, true);
    Queue *nq = addQueue(std::move(def));
    nq->tempDynamic = defType == MQQDT_TEMPORARY_DYNAMIC;
    nq->creator = c;
    if (!nq->tempDynamic && !journalObject(nq->def)) {
        dropQueue(nq);
        return Result::fail(MQRC_RESOURCE_PROBLEM);
    }
    made = nq;
    return Result::ok();
}

// A SelectionString selects among the messages of a queue opened to get or browse them; it is
// checked when presented, so that a bad one fails the MQOPEN.
Result QueueManager::openSelection(const OpenRequest &od, MQLONG options, Handle &h) {
    if (od.selection.empty()) return Result::ok();
    const MQLONG reading = MQOO_INPUT_AS_Q_DEF | MQOO_INPUT_SHARED | MQOO_INPUT_EXCLUSIVE | MQOO_BROWSE;
    if (od.objectType != MQOT_Q || !(options & reading)) return Result::fail(MQRC_SELECTOR_INVALID_FOR_TYPE);
    MQLONG why = qmsel::prepare(od.selection, h.selector);
    return why == MQRC_NONE ? Result::ok() : Result::fail(why);
}

Result QueueManager::close(Conn *c, MQLONG hobj, MQLONG options) {
    std::lock_guard<std::mutex> lock(mu_);
    Handle *h = handleFor(c, hobj);
    Result r;
    if (fault("MQCLOSE",
              h && h->named ? h->named->def.name
              : h           ? h->remoteQName
                            : std::string(),
              c->applName, r))
        return r;
    if (!h) return closeLocked(c, hobj, options);
    // What the close is of, taken before it: it may delete the queue.
    const MQLONG type = h->objectType;
    const uint32_t subId = h->subId;
    const std::string queue = h->queue && !h->remote() && !subId ? h->queue->def.name : std::string();
    bool durableSub = false;
    if (subId) {
        auto it = subs_.find(subId);
        durableSub = it != subs_.end() && it->second.durable;
    }
    r = closeLocked(c, hobj, options);
    countClose(c, type, queue, r);
    if (subId) {
        // An Hsub closed: the subscription ends, or a durable one is kept.
        bool removed = !durableSub || (options & MQCO_REMOVE_SUB);
        for (MqiCounts *m : {&mqiStats_, c->acct.mqi ? &c->acct.calls : nullptr}) {
            if (!m) continue;
            if (r.failed())
                ++m->unsubsFailed;
            else
                ++(durableSub ? m->unsubsDurable : m->unsubsNonDurable)[removed ? 1 : 0];
        }
    }
    return r;
}

Result QueueManager::closeLocked(Conn *c, MQLONG hobj, MQLONG options) {
    Handle *h = handleFor(c, hobj);
    if (!h) return Result::fail(MQRC_HOBJ_ERROR);
    if (h->subId) return closeSubHandle(c, hobj, h->subId, options);
    if (options & ~(MQCO_DELETE | MQCO_DELETE_PURGE | MQCO_QUIESCE | MQCO_KEEP_SUB | MQCO_REMOVE_SUB))
        return Result::fail(MQRC_OPTIONS_ERROR);
    if ((options & MQCO_DELETE) && (options & MQCO_DELETE_PURGE)) return Result::fail(MQRC_OPTIONS_ERROR);
    if (h->remote() && (options & (MQCO_DELETE | MQCO_DELETE_PURGE)))
        return Result::fail(MQRC_OPTION_NOT_VALID_FOR_TYPE);
    Queue *q = h->named;
    Queue *target = h->queue;
    bool deleteIt = false;
    if (q && (options & (MQCO_DELETE | MQCO_DELETE_PURGE))) {
        MQLONG defType = q->def.i(MQIA_DEFINITION_TYPE);
        if (q->def.kind != K_QLOCAL || defType == MQQDT_PREDEFINED)
            return Result::fail(MQRC_OPTION_NOT_VALID_FOR_TYPE);
        if (!q->deleted) {
            if (q->handles > 1) return Result::fail(MQRC_OBJECT_IN_USE);
            bool uncommitted = std::any_of(q->msgs.begin(), q->msgs.end(), [](const auto &e) {
                return e.second->putter || e.second->getter;
            });
            if (uncommitted || ((options & MQCO_DELETE) && q->depth > 0))
                return Result::fail(MQRC_Q_NOT_EMPTY);
            deleteIt = true;
        }
    }
    // A temporary dynamic queue goes when the handle that made it is closed.
    if (q && !q->deleted && h->createdDynamic && q->tempDynamic) deleteIt = true;
    // The deletion is journalled before the handle changes, so that a failure leaves it as it was.
    if (deleteIt && !q->tempDynamic && !journalDelete(q->def.kind, q->def.name))
        return Result::fail(MQRC_RESOURCE_PROBLEM);
    if (target) {
        if (h->options & (MQOO_INPUT_AS_Q_DEF | MQOO_INPUT_SHARED | MQOO_INPUT_EXCLUSIVE)) {
            --target->openInput;
            if (h->options & MQOO_INPUT_EXCLUSIVE) --target->openInputExclusive;
        }
        if (h->options & MQOO_OUTPUT) --target->openOutput;
        --target->handles;
        if (q && q != target) --q->handles;
    }
    c->handles.erase(hobj);
    if (deleteIt) dropQueue(q);
    graveyard_.erase(std::remove_if(graveyard_.begin(), graveyard_.end(),
                                    [](const std::unique_ptr<Queue> &g) { return g->handles <= 0; }),
                     graveyard_.end());
    return Result::ok();
}

// Closing an Hsub ends a non-durable subscription; a durable one only with MQCO_REMOVE_SUB (or
// once expired). A failed close leaves the handle as it was.
Result QueueManager::closeSubHandle(Conn *c, MQLONG hsub, uint32_t id, MQLONG options) {
    if (options & ~(MQCO_KEEP_SUB | MQCO_REMOVE_SUB | MQCO_QUIESCE)) return Result::fail(MQRC_OPTIONS_ERROR);
    if ((options & MQCO_KEEP_SUB) && (options & MQCO_REMOVE_SUB)) return Result::fail(MQRC_OPTIONS_ERROR);
    auto it = subs_.find(id);
    if (it != subs_.end() && (options & MQCO_KEEP_SUB) && !it->second.durable)
        return Result::fail(MQRC_OPTIONS_ERROR);
    if (it != subs_.end()) {
        Subscription &s = it->second;
        bool remove = !s.durable || (options & MQCO_REMOVE_SUB) || s.expired;
        if (!remove) {
            s.owner = nullptr;
        } else if (!removeSub(id)) {
            // The journal did not take the removal: one asked for fails with the handle left
            // open; an expired subscription stays unowned, for expireSubs to try again.
            if (options & MQCO_REMOVE_SUB) return Result::fail(MQRC_RESOURCE_PROBLEM);
            s.owner = nullptr;
        }
    }
    c->handles.erase(hsub);
    return Result::ok();
}

// ---- put ----

void QueueManager::newMsgId(MQBYTE24 &id) {
    std::memcpy(id, "AMQ ", 4);
    setField(reinterpret_cast<char *>(id) + 4, 12, qmgr_.name.substr(0, 12));
    uint64_t n = ++idCounter_;
    std::memcpy(id + 16, &n, 8);
}

Result QueueManager::put(Conn *c, MQLONG hobj, MQMD &md, PutOptions &pmo, const std::string &data) {
    std::lock_guard<std::mutex> lock(mu_);
    Handle *h = handleFor(c, hobj);
    if (!h) return Result::fail(MQRC_HOBJ_ERROR);
    Result r;
    if (fault("MQPUT", h->named ? h->named->def.name : h->remoteQName, c->applName, r)) return r;
    r = putLocked(c, *h, md, pmo, data);
    if (r.reason == MQRC_PUT_INHIBITED)
        inhibitEvent(c, r.reason, h->named ? h->named->def.name : h->remoteQName, h->remoteQMgrName);
    countPut(c, h->objectType == MQOT_TOPIC, pmo.stored, false, r, pmo.persistent, data.size());
    maybeCompact();  // puts outside syncpoint grow the journal too
    return r;
}

Result QueueManager::put1(Conn *c, const OpenRequest &od, MQMD &md, PutOptions &pmo, const std::string &data,
                          OpenReply &out) {
    std::lock_guard<std::mutex> lock(mu_);
    Result r;
    if (fault("MQPUT1", od.objectName, c->applName, r)) return r;
    MQLONG options = MQOO_OUTPUT;
    if (pmo.options & MQPMO_PASS_IDENTITY_CONTEXT) options |= MQOO_PASS_IDENTITY_CONTEXT;
    if (pmo.options & MQPMO_PASS_ALL_CONTEXT) options |= MQOO_PASS_ALL_CONTEXT;
    if (pmo.options & MQPMO_SET_IDENTITY_CONTEXT) options |= MQOO_SET_IDENTITY_CONTEXT;
    if (pmo.options & MQPMO_SET_ALL_CONTEXT) options |= MQOO_SET_ALL_CONTEXT;
    if (pmo.options & MQPMO_ALTERNATE_USER_AUTHORITY) options |= MQOO_ALTERNATE_USER_AUTHORITY;
    if (pmo.options & MQPMO_FAIL_IF_QUIESCING) options |= MQOO_FAIL_IF_QUIESCING;
    if (Result denied = authorizeOpen(c, od, options); denied.failed()) return denied;
    MQLONG hobj = 0;
    r = openLocked(c, od, options, hobj, out);
    if (r.failed()) {
        openEvent(c, od, r.reason);
        countPut(c, od.objectType == MQOT_TOPIC, nullptr, true, r, false, 0);
        return r;
    }
    Handle &h = c->handles[hobj];
    const bool topic = h.objectType == MQOT_TOPIC;
    Result pr = putLocked(c, h, md, pmo, data);
    if (pr.reason == MQRC_PUT_INHIBITED)
        inhibitEvent(c, pr.reason, od.objectName, h.remote() ? h.remoteQMgrName : std::string());
    // The queue is looked for again after the close, which may have deleted it.
    std::string stored = pmo.stored ? pmo.stored->def.name : std::string();
    Result cr = closeLocked(c, hobj, MQCO_NONE);
    Result result = pr.failed() || !cr.failed() ? pr : cr;
    countPut(c, topic, stored.empty() ? nullptr : findQueue(stored), true, result, pmo.persistent,
             data.size());
    maybeCompact();
    return result;
}

// Whether the queue behind a handle takes this message now: the checks of a put that depend on
// the queue rather than on the call, shared with publishing, which must know before it delivers.
Result QueueManager::accepts(Conn *c, const Handle &h, const MQMD &md, size_t dataLength,
                             bool syncpoint) const {
    const Queue *named = h.named;
    const Queue *q = h.queue;
    if (!q || q->deleted || (named && named->deleted)) return Result::fail(MQRC_Q_DELETED);
    if ((named && named->def.i(MQIA_INHIBIT_PUT) == MQQA_PUT_INHIBITED) ||
        q->def.i(MQIA_INHIBIT_PUT) == MQQA_PUT_INHIBITED)
        return Result::fail(MQRC_PUT_INHIBITED);
    MQLONG length = static_cast<MQLONG>(dataLength);
    // On a transmission queue the message is the header and the data.
    MQLONG physical = h.remote() ? length + xmitHeaderLength(md) : length;
    if (physical > q->def.i(MQIA_MAX_MSG_LENGTH)) return Result::fail(MQRC_MSG_TOO_BIG_FOR_Q);
    if (length > qmgr_.i(MQIA_MAX_MSG_LENGTH)) return Result::fail(MQRC_MSG_TOO_BIG_FOR_Q_MGR);
    if (q->depth >= q->def.i(MQIA_MAX_Q_DEPTH)) return Result::fail(MQRC_Q_FULL);
    if (syncpoint && c->uow.size() >= static_cast<size_t>(qmgr_.i(MQIA_MAX_UNCOMMITTED_MSGS)))
        return Result::fail(MQRC_SYNCPOINT_LIMIT_REACHED);
    const Object &first = named ? named->def : q->def;
    MQLONG persistence =
        md.Persistence == MQPER_PERSISTENCE_AS_Q_DEF ? first.i(MQIA_DEF_PERSISTENCE) : md.Persistence;
    if (persistence == MQPER_PERSISTENT && q->tempDynamic) return Result::fail(MQRC_PERSISTENT_NOT_ALLOWED);
    return Result::ok();
}

Result QueueManager::putLocked(Conn *c, Handle &h, MQMD &md, PutOptions &pmo, const std::string &data) {
    const MQLONG o = pmo.options;
    Handle *ctx = nullptr;
    Result r = checkPut(c, h, md, pmo, ctx);
    if (r.failed()) return r;
    const bool syncpoint = (o & MQPMO_SYNCPOINT) != 0;
    Queue *q = h.queue;
    if (!q) {
        // A topic: the publication goes to every matching subscription's queue.
        if (h.objectType != MQOT_TOPIC) return Result::fail(MQRC_NOT_OPEN_FOR_OUTPUT);
        return publishLocked(c, h, md, pmo, data);
    }
    Result admitted = accepts(c, h, md, data.size(), syncpoint);
    if (admitted.reason == MQRC_Q_FULL) queueFull(q);
    if (admitted.failed()) return admitted;

    int64_t now = qmos::wallMs();
    auto m = std::make_unique<Message>();
    m->props = pmo.props;
    Result result = describeMessage(c, h, md, o, ctx, now, m->md);
    MQMD &s = m->md;
    MQMD original = s;  // the message as the application put it
    if (h.remote()) {
        m->data = transmissionMessage(h, s, data, now);
    } else {
        m->data = data;
    }
    m->putMs = now;
    m->expiresMs = s.Expiry == MQEI_UNLIMITED ? 0 : now + static_cast<int64_t>(s.Expiry) * 100;
    m->persistent = s.Persistence == MQPER_PERSISTENT;
    m->seq = nextSeq_++;
    const bool persistent = m->persistent;
    r = storeMessage(c, q, std::move(m), syncpoint);
    if (r.failed()) return r;
    pmo.stored = q;
    pmo.persistent = persistent;
    afterPut(q);

    // What MQPUT hands back: the identifiers and the context it set.
    std::memcpy(md.MsgId, original.MsgId, sizeof md.MsgId);
    std::memcpy(md.CorrelId, original.CorrelId, sizeof md.CorrelId);
    if (!(o & MQPMO_SET_ALL_CONTEXT)) {
        copyIdentity(md, original);
        copyOrigin(md, original);
    }
    md.Expiry = original.Expiry;
    std::memcpy(md.ReplyToQMgr, original.ReplyToQMgr, sizeof md.ReplyToQMgr);
    pmo.resolvedQName = h.remote() ? h.remoteQName : q->def.name;
    pmo.resolvedQMgrName = h.remote() ? h.remoteQMgrName : qmgr_.name;
    return result;
}

// The checks of an MQPUT that depend on the call rather than on the queue: its options against
// each other and against the handle, the descriptor, and the handle whose context is passed (ctx).
Result QueueManager::checkPut(Conn *c, const Handle &h, const MQMD &md, const PutOptions &pmo, Handle *&ctx) {
    const MQLONG o = pmo.options;
    if (state_ == State::Stopping) return Result::fail(MQRC_Q_MGR_STOPPING);
    if ((o & MQPMO_SYNCPOINT) && (o & MQPMO_NO_SYNCPOINT)) return Result::fail(MQRC_OPTIONS_ERROR);
    if (countBits(o, {MQPMO_DEFAULT_CONTEXT, MQPMO_NO_CONTEXT, MQPMO_PASS_IDENTITY_CONTEXT,
                      MQPMO_PASS_ALL_CONTEXT, MQPMO_SET_IDENTITY_CONTEXT, MQPMO_SET_ALL_CONTEXT}) > 1)
        return Result::fail(MQRC_OPTIONS_ERROR);
    if (!(h.options & MQOO_OUTPUT)) return Result::fail(MQRC_NOT_OPEN_FOR_OUTPUT);
    if (quiescingFails(o, MQPMO_FAIL_IF_QUIESCING)) return Result::fail(MQRC_Q_MGR_QUIESCING);
    if (!validMd(md)) return Result::fail(MQRC_MD_ERROR);
    if (md.Persistence != MQPER_NOT_PERSISTENT && md.Persistence != MQPER_PERSISTENT &&
        md.Persistence != MQPER_PERSISTENCE_AS_Q_DEF)
        return Result::fail(MQRC_PERSISTENCE_ERROR);
    if (md.Priority < MQPRI_PRIORITY_AS_Q_DEF) return Result::fail(MQRC_PRIORITY_ERROR);
    if (md.Expiry <= 0 && md.Expiry != MQEI_UNLIMITED) return Result::fail(MQRC_EXPIRY_ERROR);
    if (md.MsgType == MQMT_REQUEST && fixedField(md.ReplyToQ, sizeof md.ReplyToQ).empty())
        return Result::fail(MQRC_MISSING_REPLY_TO_Q);
    if ((o & MQPMO_PASS_IDENTITY_CONTEXT) &&
        !(h.options & (MQOO_PASS_IDENTITY_CONTEXT | MQOO_PASS_ALL_CONTEXT | MQOO_SET_IDENTITY_CONTEXT |
                       MQOO_SET_ALL_CONTEXT)))
        return Result::fail(MQRC_NOT_OPEN_FOR_PASS_IDENT);
    if ((o & MQPMO_PASS_ALL_CONTEXT) && !(h.options & (MQOO_PASS_ALL_CONTEXT | MQOO_SET_ALL_CONTEXT)))
        return Result::fail(MQRC_NOT_OPEN_FOR_PASS_ALL);
    if ((o & MQPMO_SET_IDENTITY_CONTEXT) && !(h.options & (MQOO_SET_IDENTITY_CONTEXT | MQOO_SET_ALL_CONTEXT)))
        return Result::fail(MQRC_NOT_OPEN_FOR_SET_IDENT);
    if ((o & MQPMO_SET_ALL_CONTEXT) && !(h.options & MQOO_SET_ALL_CONTEXT))
        return Result::fail(MQRC_NOT_OPEN_FOR_SET_ALL);
    if (o & (MQPMO_PASS_IDENTITY_CONTEXT | MQPMO_PASS_ALL_CONTEXT)) {
        ctx = handleFor(c, pmo.context);
        if (!ctx || !(ctx->options & (MQOO_INPUT_SHARED | MQOO_INPUT_EXCLUSIVE | MQOO_INPUT_AS_Q_DEF)))
            return Result::fail(MQRC_CONTEXT_HANDLE_ERROR);
    }
    return Result::ok();
}

// The descriptor a put stores (s): md with priority, persistence and CCSID resolved as IBM MQ
// resolves them, new identifiers where asked, the context the put options give, and the expiry
// capped. A warning when the priority was above the maximum.
Result QueueManager::describeMessage(Conn *c, const Handle &h, const MQMD &md, MQLONG o, const Handle *ctx,
                                     int64_t now, MQMD &s) {
    const Object &first = h.named ? h.named->def : h.queue->def;  // defaults come from the name opened
    Result result;
    s = md;
    s.Version = MQMD_VERSION_2;
    s.Persistence =
        md.Persistence == MQPER_PERSISTENCE_AS_Q_DEF ? first.i(MQIA_DEF_PERSISTENCE) : md.Persistence;
    s.Priority = md.Priority == MQPRI_PRIORITY_AS_Q_DEF ? first.i(MQIA_DEF_PRIORITY) : md.Priority;
    if (s.Priority > 9) {
        s.Priority = 9;
        result = Result::warn(MQRC_PRIORITY_EXCEEDS_MAXIMUM);
    }
    if (s.CodedCharSetId == MQCCSI_Q_MGR || s.CodedCharSetId == MQCCSI_INHERIT)
        s.CodedCharSetId = qmgr_.i(MQIA_CODED_CHAR_SET_ID);
    s.BackoutCount = 0;
    // A reply-to queue without a queue manager means this one.
    if (!fixedField(s.ReplyToQ, sizeof s.ReplyToQ).empty() &&
        fixedField(s.ReplyToQMgr, sizeof s.ReplyToQMgr).empty())
        setField(s.ReplyToQMgr, sizeof s.ReplyToQMgr, qmgr_.name);
    if ((o & MQPMO_NEW_MSG_ID) || isNone(s.MsgId)) newMsgId(s.MsgId);
    if (o & MQPMO_NEW_CORREL_ID) newMsgId(s.CorrelId);
    setPutContext(c, o, ctx, now, s);
    // Expiry, capped by CAPEXPRY of the name opened and of the queue.
    for (const Object *def : std::initializer_list<const Object *>{&first, &h.queue->def}) {
        MQLONG cap = def->i(MQIA_CAP_EXPIRY);
        if (cap > 0 && (s.Expiry == MQEI_UNLIMITED || s.Expiry > cap)) s.Expiry = cap;
    }
    return result;
}

// The identity and origin context of a put, by its context option (ctx: the handle passed from).
void QueueManager::setPutContext(Conn *c, MQLONG o, const Handle *ctx, int64_t now, MQMD &s) {
    if (o & MQPMO_NO_CONTEXT) {
        clearContext(s, true, true);
        return;
    }
    if (o & MQPMO_SET_ALL_CONTEXT) return;  // as given by the application
    if (o & (MQPMO_PASS_IDENTITY_CONTEXT | MQPMO_PASS_ALL_CONTEXT)) {
        if (ctx->hasContext) {
            copyIdentity(s, ctx->context);
        } else {
            clearContext(s, true, false);
        }
    } else if (!(o & MQPMO_SET_IDENTITY_CONTEXT)) {
        setField(s.UserIdentifier, sizeof s.UserIdentifier, c->user);
        std::memset(s.AccountingToken, 0, sizeof s.AccountingToken);
        setField(s.ApplIdentityData, sizeof s.ApplIdentityData, "");
    }
    if ((o & MQPMO_PASS_ALL_CONTEXT) && ctx->hasContext) {
        copyOrigin(s, ctx->context);
    } else if ((o & MQPMO_PASS_ALL_CONTEXT)) {
        clearContext(s, false, true);
    } else {
        s.PutApplType = MQAT_DEFAULT;
        setField(s.PutApplName, sizeof s.PutApplName, c->applName);
        qmos::mqDateTime(now, s.PutDate, s.PutTime);
        setField(s.ApplOriginData, sizeof s.ApplOriginData, "");
    }
}

// Puts a message on queue q: inside c's unit of work, or at once (journalled first when
// persistent, so that one the journal does not take is not put).
Result QueueManager::storeMessage(Conn *c, Queue *q, std::unique_ptr<Message> m, bool syncpoint) {
    Message *raw = m.get();
    MsgKey key = keyFor(q, m->md.Priority, m->seq);
    if (syncpoint) {
        m->putter = c;
        c->uow.push_back({q, raw, true});
    } else if (m->persistent) {
        if (!journal_.append(txnRecord({{q, raw}}, {}))) return Result::fail(MQRC_RESOURCE_PROBLEM);
        liveBytes_ += m->data.size() + 400;
    }
    if (raw->expiresMs != 0 && raw->expiresMs < q->noExpiryBefore) q->noExpiryBefore = raw->expiresMs;
    q->msgs[key] = std::move(m);
    ++q->depth;
    q->counts.put(q->depth);
    if (!syncpoint) changed_.notify_all();
    return Result::ok();
}

// ---- get ----

void QueueManager::removeMessage(Queue *q, MsgKey key) {
    auto it = q->msgs.find(key);
    if (it == q->msgs.end()) return;
    if (it->second->persistent) liveBytes_ -= std::min<uint64_t>(liveBytes_, it->second->data.size() + 400);
    q->msgs.erase(it);
}

void QueueManager::dropExpired(Queue *q, int64_t now) {
    // Every get looks: without a message that can have expired, a deep queue is not walked each time.
    if (now < q->noExpiryBefore) return;
    std::vector<std::pair<Queue *, Message *>> gone;
    std::vector<MsgKey> keys;
    int64_t earliest = INT64_MAX;
    for (auto &[key, m] : q->msgs) {
        if (m->expiresMs != 0 && m->expiresMs <= now && visible(*m)) {
            keys.push_back(key);
            if (m->persistent) gone.emplace_back(q, m.get());
        } else if (m->expiresMs != 0) {
            earliest = std::min(earliest, m->expiresMs);
        }
    }
    q->noExpiryBefore = earliest;
    if (keys.empty()) return;
    // Until the journal takes their removal they stay, unseen (see expired), as IBM MQ leaves
    // expired messages on a queue until it gets round to them.
    if (!gone.empty() && !journal_.append(txnRecord({}, gone))) return;
    for (const MsgKey &k : keys) {
        removeMessage(q, k);
        --q->depth;
    }
    countExpired(q, static_cast<MQLONG>(keys.size()));
}

Message *QueueManager::findMessage(Conn *c, Handle &h, MQMD &md, const GetOptions &gmo, bool browseNext,
                                   Result &r) {
    (void)c;
    Queue *q = h.queue;
    MQLONG o = gmo.options;
    const int64_t now = qmos::wallMs();
    if (o & (MQGMO_BROWSE_MSG_UNDER_CURSOR | MQGMO_MSG_UNDER_CURSOR)) {
        auto it = h.cursor.set ? q->msgs.find(h.cursor.key) : q->msgs.end();
        if (it == q->msgs.end() || !visible(*it->second) || expired(*it->second, now)) {
            r = Result::fail(MQRC_NO_MSG_UNDER_CURSOR);
            return nullptr;
        }
        return it->second.get();
    }
    bool matchMsgId, matchCorrelId;
    if (gmo.version < MQGMO_VERSION_2) {
        matchMsgId = !isNone(md.MsgId);
        matchCorrelId = !isNone(md.CorrelId);
    } else {
        matchMsgId = (gmo.matchOptions & MQMO_MATCH_MSG_ID) && !isNone(md.MsgId);
        matchCorrelId = (gmo.matchOptions & MQMO_MATCH_CORREL_ID) && !isNone(md.CorrelId);
    }
    auto it = q->msgs.begin();
    if (browseNext && h.cursor.set) it = q->msgs.upper_bound(h.cursor.key);
    for (; it != q->msgs.end(); ++it) {
        const Message &m = *it->second;
        if (!visible(m) || expired(m, now)) continue;
        if (matchMsgId && std::memcmp(m.md.MsgId, md.MsgId, sizeof md.MsgId) != 0) continue;
        if (matchCorrelId && std::memcmp(m.md.CorrelId, md.CorrelId, sizeof md.CorrelId) != 0) continue;
        if (h.selector && !qmsel::matchesMessage(*h.selector, m.md, m.props)) continue;
        return it->second.get();
    }
    r = Result::fail(MQRC_NO_MSG_AVAILABLE);
    return nullptr;
}

Result QueueManager::get(Conn *c, MQLONG hobj, MQMD &md, GetOptions &gmo, MQLONG bufferLength,
                         std::string &data, MQLONG &dataLength) {
    std::unique_lock<std::mutex> lock(mu_);
    dataLength = 0;
    Result r = getLocked(lock, c, hobj, md, gmo, bufferLength, data, dataLength);
    // The command server's get ends every so often to see whether it is to stop, and tries again,
    // where IBM MQ's waits on: those ends are no calls anyone made, and raise and count nothing.
    const bool poll = c->applName == kCommandServerAppl &&
                      (r.reason == MQRC_NO_MSG_AVAILABLE || r.reason == MQRC_GET_INHIBITED);
    Handle *h = handleFor(c, hobj);
    if (h && !poll) {
        if (r.reason == MQRC_GET_INHIBITED && h->named) inhibitEvent(c, r.reason, h->named->def.name, "");
        if (h->queue && !h->remote()) countGet(c, h->queue, gmo, r, dataLength);
    }
    return r;
}

Result QueueManager::getLocked(std::unique_lock<std::mutex> &lock, Conn *c, MQLONG hobj, MQMD &md,
                               GetOptions &gmo, MQLONG bufferLength, std::string &data, MQLONG &dataLength) {
    data.clear();
    Handle *hp = handleFor(c, hobj);
    if (!hp) return Result::fail(MQRC_HOBJ_ERROR);
    Handle &h = *hp;
    Result r;
    if (fault("MQGET", h.named ? h.named->def.name : std::string(), c->applName, r)) return r;
    r = checkGet(h, md, gmo, bufferLength);
    if (r.failed()) return r;
    Message *m = waitForMessage(lock, c, h, md, gmo, r);
    if (!m) return r;

    const MQLONG o = gmo.options;
    const bool browse = (o & (MQGMO_BROWSE_FIRST | MQGMO_BROWSE_NEXT | MQGMO_BROWSE_MSG_UNDER_CURSOR)) != 0;
    const bool syncpoint =
        !browse && ((o & MQGMO_SYNCPOINT) || ((o & MQGMO_SYNCPOINT_IF_PERSISTENT) && m->persistent));
    if (syncpoint && c->uow.size() >= static_cast<size_t>(qmgr_.i(MQIA_MAX_UNCOMMITTED_MSGS)))
        return Result::fail(MQRC_SYNCPOINT_LIMIT_REACHED);
    Queue *q = h.queue;
    MsgKey key = keyFor(q, m->md.Priority, m->seq);
    gmo.resolvedQName = q->def.name;
    if (browse || (o & MQGMO_MSG_UNDER_CURSOR)) {
        h.cursor.set = true;
        h.cursor.key = key;
    }
    Result result = copyMessageOut(*m, md, gmo, bufferLength, data, dataLength);
    gmo.persistent = m->persistent;
    if (result.failed() || browse) return result;

    if (h.options & MQOO_SAVE_ALL_CONTEXT) {
        h.hasContext = true;
        h.context = m->md;
    }
    gmo.persistent = m->persistent;
    gmo.queuedUs = std::max<int64_t>(0, qmos::wallMs() - m->putMs) * 1000;
    if (syncpoint) {
        m->getter = c;
        c->uow.push_back({q, m, false});
        --q->depth;
    } else {
        if (m->persistent && !journal_.append(txnRecord({}, {{q, m}})))
            return Result::fail(MQRC_RESOURCE_PROBLEM);
        removeMessage(q, key);
        --q->depth;
        maybeCompact();
    }
    q->counts.got();
    afterGet(q);
    return result;
}

// The checks of an MQGET that come before looking at the queue: its options against each other
// and against the handle, the descriptor, the buffer and the wait.
Result QueueManager::checkGet(const Handle &h, const MQMD &md, const GetOptions &gmo,
                              MQLONG bufferLength) const {
    const MQLONG o = gmo.options;
    if (state_ == State::Stopping) return Result::fail(MQRC_Q_MGR_STOPPING);
    if ((o & MQGMO_SYNCPOINT) && (o & MQGMO_NO_SYNCPOINT)) return Result::fail(MQRC_OPTIONS_ERROR);
    if ((o & MQGMO_SYNCPOINT_IF_PERSISTENT) && (o & (MQGMO_SYNCPOINT | MQGMO_NO_SYNCPOINT)))
        return Result::fail(MQRC_OPTIONS_ERROR);
    int browseKinds = countBits(
        o, {MQGMO_BROWSE_FIRST, MQGMO_BROWSE_NEXT, MQGMO_BROWSE_MSG_UNDER_CURSOR, MQGMO_MSG_UNDER_CURSOR});
    if (browseKinds > 1) return Result::fail(MQRC_OPTIONS_ERROR);
    bool browse = (o & (MQGMO_BROWSE_FIRST | MQGMO_BROWSE_NEXT | MQGMO_BROWSE_MSG_UNDER_CURSOR)) != 0;
    if (browse && (o & (MQGMO_SYNCPOINT | MQGMO_SYNCPOINT_IF_PERSISTENT)))
        return Result::fail(MQRC_OPTIONS_ERROR);
    if (browse && !(h.options & MQOO_BROWSE)) return Result::fail(MQRC_NOT_OPEN_FOR_BROWSE);
    if (!browse && !(h.options & (MQOO_INPUT_SHARED | MQOO_INPUT_EXCLUSIVE | MQOO_INPUT_AS_Q_DEF)))
        return Result::fail(MQRC_NOT_OPEN_FOR_INPUT);
    if (!h.queue) return Result::fail(browse ? MQRC_NOT_OPEN_FOR_BROWSE : MQRC_NOT_OPEN_FOR_INPUT);
    if (!validMd(md)) return Result::fail(MQRC_MD_ERROR);
    if (bufferLength < 0) return Result::fail(MQRC_BUFFER_LENGTH_ERROR);
    if (gmo.waitInterval < 0 && gmo.waitInterval != MQWI_UNLIMITED && (o & MQGMO_WAIT))
        return Result::fail(MQRC_WAIT_INTERVAL_ERROR);
    return Result::ok();
}

// The message an MQGET is for, waiting (with the lock released) as long as MQGMO_WAIT allows for
// one to arrive; null with r saying why when there is none.
Message *QueueManager::waitForMessage(std::unique_lock<std::mutex> &lock, Conn *c, Handle &h, MQMD &md,
                                      const GetOptions &gmo, Result &r) {
    const MQLONG o = gmo.options;
    Queue *q = h.queue;
    Queue *named = h.named;
    bool waiting = (o & MQGMO_WAIT) && gmo.waitInterval != 0;
    auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(std::max<MQLONG>(gmo.waitInterval, 0));
    bool browseNext = (o & MQGMO_BROWSE_NEXT) != 0;
    Message *m = nullptr;
    for (;;) {
        if (state_ == State::Stopping) {
            r = Result::fail(MQRC_Q_MGR_STOPPING);
            return nullptr;
        }
        if (quiescingFails(o, MQGMO_FAIL_IF_QUIESCING)) {
            r = Result::fail(MQRC_Q_MGR_QUIESCING);
            return nullptr;
        }
        if (c->ending) {
            r = Result::fail(MQRC_CONNECTION_BROKEN);
            return nullptr;
        }
        if (q->deleted || (named && named->deleted)) {
            r = Result::fail(MQRC_Q_DELETED);
            return nullptr;
        }
        if ((named && named->def.i(MQIA_INHIBIT_GET) == MQQA_GET_INHIBITED) ||
            q->def.i(MQIA_INHIBIT_GET) == MQQA_GET_INHIBITED) {
            r = Result::fail(MQRC_GET_INHIBITED);
            return nullptr;
        }
        dropExpired(q, qmos::wallMs());
        r = Result::ok();
        m = findMessage(c, h, md, gmo, browseNext, r);
        if (m || r.reason != MQRC_NO_MSG_AVAILABLE || !waiting) return m;
        // A client gone while its get waits breaks its connection at once, as the channel's end
        // does on IBM MQ, rather than when the wait would have ended (never, when unlimited): its
        // unit is backed out and what it holds set free. Its socket is looked at between slices.
        auto slice = std::chrono::steady_clock::now() + std::chrono::milliseconds(100);
        if (gmo.waitInterval == MQWI_UNLIMITED) {
            changed_.wait_until(lock, slice);
        } else if (changed_.wait_until(lock, std::min(deadline, slice)) == std::cv_status::timeout &&
                   std::chrono::steady_clock::now() >= deadline) {
            // One last look: a put may have landed just as the wait ended.
            dropExpired(q, qmos::wallMs());
            r = Result::ok();
            return findMessage(c, h, md, gmo, browseNext, r);
        }
        if (c->fd >= 0 && qmos::peerClosed(c->fd)) c->ending = true;
    }
}

// What MQGET hands back of message m: its descriptor (whether or not the data fits), the data
// converted when asked and possible, with the properties ahead of it as an MQRFH2 unless they go
// to a message handle, cut to the buffer. Fails only when the message does not fit (2080).
Result QueueManager::copyMessageOut(const Message &m, MQMD &md, GetOptions &gmo, MQLONG bufferLength,
                                    std::string &data, MQLONG &dataLength) {
    const MQLONG o = gmo.options;
    MQLONG length = static_cast<MQLONG>(m.data.size());
    dataLength = length;
    MQLONG version = md.Version;
    MQLONG wantCcsid =
        md.CodedCharSetId == MQCCSI_Q_MGR ? qmgr_.i(MQIA_CODED_CHAR_SET_ID) : md.CodedCharSetId;
    MQLONG wantEncoding = md.Encoding;
    md = m.md;
    md.Version = version;
    if (m.expiresMs != 0)
        md.Expiry = static_cast<MQLONG>(std::max<int64_t>(1, (m.expiresMs - qmos::wallMs()) / 100));
    // Conversion comes first; a message that fits only unconverted is returned unconverted (2120),
    // and one that cannot be converted comes back as it is, with the reason as a warning.
    std::string converted;
    const std::string *body = &m.data;
    Result result;
    // Nothing is converted for an empty message or into an empty buffer (a get that only removes).
    if ((o & MQGMO_CONVERT) && length > 0 && bufferLength > 0 &&
        (wantCcsid != m.md.CodedCharSetId ||
         qmconv::reversedEncoding(wantEncoding) != qmconv::reversedEncoding(m.md.Encoding))) {
        MQLONG why = qmconv::convertMessage(std::string_view(m.md.Format, 8), m.md.CodedCharSetId,
                                            m.md.Encoding, m.data, wantCcsid, wantEncoding, converted);
        if (why != MQRC_NONE) {
            result = Result::warn(why);
        } else if (static_cast<MQLONG>(converted.size()) > bufferLength && length <= bufferLength) {
            result = Result::warn(MQRC_CONVERTED_MSG_TOO_BIG);
        } else {
            body = &converted;
            length = static_cast<MQLONG>(converted.size());
            dataLength = length;
            md.CodedCharSetId = wantCcsid;
            md.Encoding = wantEncoding;
        }
    }
    // Properties go to the caller's message handle, or else ahead of the data as an MQRFH2.
    std::string withHeader;
    if (!m.props.empty()) {
        qmprops::PropertyList list;
        if (gmo.wantHandle && !(o & MQGMO_PROPERTIES_FORCE_MQRFH2)) {
            gmo.props = m.props;
        } else if (qmprops::PropertyList::decode(m.props, list) &&
                   ((o & MQGMO_PROPERTIES_FORCE_MQRFH2) || qmprops::hasApplicationProperties(list))) {
            // Without a handle only a message with application properties gets an MQRFH2; the
            // queue manager's own publication properties alone are dropped, as PROPCTL(COMPAT) does.
            withHeader = qmprops::rfh2(list, md.Encoding, md.CodedCharSetId, md.Format) + *body;
            body = &withHeader;
            length = static_cast<MQLONG>(withHeader.size());
            dataLength = length;
            std::memcpy(md.Format, MQFMT_RF_HEADER_2, 8);
            md.Encoding = MQENC_NATIVE;
        }
    }
    if (length > bufferLength && !(o & MQGMO_ACCEPT_TRUNCATED_MSG)) {
        data.assign(*body, 0, static_cast<size_t>(bufferLength));
        gmo.returnedLength = bufferLength;
        return Result::fail(MQRC_TRUNCATED_MSG_FAILED);
    }
    if (length > bufferLength && result.cc == MQCC_OK) result = Result::warn(MQRC_TRUNCATED_MSG_ACCEPTED);
    data.assign(*body, 0, static_cast<size_t>(std::min(length, bufferLength)));
    gmo.returnedLength = static_cast<MQLONG>(data.size());
    return result;
}

// ---- units of work ----

// The commit record goes first: when it cannot be written the unit of work is backed out (2003),
// so that nothing is reported committed that a restart would not bring back.
Result QueueManager::commitUow(Conn *c) {
    if (c->uow.empty()) return Result::ok();
    std::vector<std::pair<Queue *, Message *>> puts, removes;
    for (const UowOp &op : c->uow) {
        if (!op.message->persistent) continue;
        (op.isPut ? puts : removes).emplace_back(op.queue, op.message);
    }
    if ((!puts.empty() || !removes.empty()) && !journal_.append(txnRecord(puts, removes))) {
        backoutUnreported(c);
        return Result::fail(MQRC_BACKED_OUT);
    }
    for (const UowOp &op : c->uow) {
        if (op.isPut) {
            op.message->putter = nullptr;
            if (op.message->persistent) liveBytes_ += op.message->data.size() + 400;
        } else {
            removeMessage(op.queue, keyFor(op.queue, op.message->md.Priority, op.message->seq));
        }
    }
    c->uow.clear();
    maybeCompact();
    changed_.notify_all();
    return Result::ok();
}

// A backout cannot be refused: it always happens. What can fail is the record that keeps the
// raised BackoutCount of messages on HARDENBO queues across a restart; then 2102 tells the caller
// that those counts are kept in memory only, as on a queue without HARDENBO.
Result QueueManager::backoutUow(Conn *c) {
    if (c->uow.empty()) return Result::ok();
    qmwire::Writer hardened;
    uint32_t nHardened = 0;
    for (auto it = c->uow.rbegin(); it != c->uow.rend(); ++it) {
        Queue *q = it->queue;
        Message *m = it->message;
        if (it->isPut) {
            q->msgs.erase(keyFor(q, m->md.Priority, m->seq));
            --q->depth;
        } else {
            m->getter = nullptr;
            ++m->md.BackoutCount;
            ++q->depth;
            q->counts.raised(q->depth);
            if (m->persistent && !q->tempDynamic &&
                q->def.i(MQIA_HARDEN_GET_BACKOUT) == MQQA_BACKOUT_HARDENED) {
                hardened.str(q->def.name);
                hardened.u64(m->seq);
                hardened.i32(m->md.Priority);
                hardened.i32(m->md.BackoutCount);
                ++nHardened;
            }
        }
    }
    c->uow.clear();
    changed_.notify_all();
    if (nHardened == 0) return Result::ok();
    qmwire::Writer w;
    w.u8('B');
    w.u32(nHardened);
    w.raw(hardened.bytes().data(), hardened.bytes().size());
    return journal_.append(w.bytes()) ? Result::ok() : Result::fail(MQRC_RESOURCE_PROBLEM);
}

// For the backouts nobody can be told about (a broken connection, a failed commit, the end of the
// server): they happen all the same, and only hardened backout counts can miss the journal.
void QueueManager::backoutUnreported(Conn *c) {
    Result ignored = backoutUow(c);
    (void)ignored;
}

Result QueueManager::commit(Conn *c) {
    std::lock_guard<std::mutex> lock(mu_);
    Result r;
    if (fault("MQCMIT", "", c->applName, r)) {
        if (r.reason == MQRC_BACKED_OUT) backoutUnreported(c);
        return r;
    }
    if (state_ == State::Stopping) return Result::fail(MQRC_Q_MGR_STOPPING);
    r = commitUow(c);
    if (r.reason == MQRC_BACKED_OUT) r.cc = MQCC_WARNING;
    for (MqiCounts *m : {&mqiStats_, c->acct.mqi ? &c->acct.calls : nullptr})
        if (m) ++(r.cc == MQCC_OK ? m->commits : m->commitsFailed);
    return r;
}

Result QueueManager::backout(Conn *c) {
    std::lock_guard<std::mutex> lock(mu_);
    Result r;
    if (fault("MQBACK", "", c->applName, r)) return r;
    if (state_ == State::Stopping) return Result::fail(MQRC_Q_MGR_STOPPING);
    ++mqiStats_.backouts;
    if (c->acct.mqi) ++c->acct.calls.backouts;
    return backoutUow(c);
}

// ---- inquire and set ----

// Counts an MQINQ or MQSET by the type of object its handle names.
static void countInquiry(MqiCounts *m, bool set, MQLONG type, const Result &r) {
    if (!m || type < 0 || type >= kObjectTypes) return;
    if (set)
        ++(r.failed() ? m->setsFailed : m->sets)[type];
    else
        ++(r.failed() ? m->inqsFailed : m->inqs)[type];
}

Result QueueManager::inq(Conn *c, MQLONG hobj, const std::vector<MQLONG> &selectors, MQLONG intCount,
                         MQLONG charLength, std::vector<MQLONG> &ints, std::string &chars) {
    std::lock_guard<std::mutex> lock(mu_);
    Result r = inqLocked(c, hobj, selectors, intCount, charLength, ints, chars);
    if (Handle *h = handleFor(c, hobj)) {
        countInquiry(&mqiStats_, false, h->objectType, r);
        countInquiry(c->acct.mqi ? &c->acct.calls : nullptr, false, h->objectType, r);
    }
    return r;
}

Result QueueManager::inqLocked(Conn *c, MQLONG hobj, const std::vector<MQLONG> &selectors, MQLONG intCount,
                               MQLONG charLength, std::vector<MQLONG> &ints, std::string &chars) {
    Handle *h = handleFor(c, hobj);
    if (!h) return Result::fail(MQRC_HOBJ_ERROR);
    Result r;
    if (fault("MQINQ", h->named ? h->named->def.name : std::string(), c->applName, r)) return r;
    if (!(h->options & MQOO_INQUIRE)) return Result::fail(MQRC_NOT_OPEN_FOR_INQUIRE);
    if (selectors.size() > 256) return Result::fail(MQRC_SELECTOR_COUNT_ERROR);
    if (intCount < 0) return Result::fail(MQRC_INT_ATTR_COUNT_ERROR);
    if (charLength < 0) return Result::fail(MQRC_CHAR_ATTR_LENGTH_ERROR);
    if (h->named && h->named->deleted) return Result::fail(MQRC_Q_DELETED);
    const Object *obj = nullptr;
    Queue *q = h->named;
    if (h->objectType == MQOT_Q_MGR) {
        obj = &qmgr_;
    } else if (q) {
        obj = &q->def;
    } else {
        return Result::fail(MQRC_NOT_OPEN_FOR_INQUIRE);
    }
    bool isQueue = obj->kind & K_QUEUES;
    MQLONG cmdLevel = qmgr_.i(MQIA_COMMAND_LEVEL);
    // First every selector must be one this object's class knows.
    for (MQLONG sel : selectors) {
        const AttrDef *a = attrForKind(sel, obj->kind);
        if (!a && isQueue) a = attrForKind(sel, K_QUEUES);
        bool known = a != nullptr;
        if (sel == MQIA_CAP_EXPIRY && cmdLevel < 931) known = false;
        if (!known) return Result::fail(MQRC_SELECTOR_ERROR);
    }
    MQLONG nInts = 0, nChars = 0;
    for (MQLONG sel : selectors) {
        if (sel >= MQCA_FIRST)
            nChars += attrBySelector(sel)->length;
        else
            ++nInts;
    }
    Result result;
    ints.clear();
    chars.clear();
    for (MQLONG sel : selectors) {
        const AttrDef *a = attrBySelector(sel);
        bool applies = attrForKind(sel, obj->kind) != nullptr;
        if (!applies && result.cc == MQCC_OK) result = Result::warn(MQRC_SELECTOR_NOT_FOR_TYPE);
        if (sel >= MQCA_FIRST) {
            std::string v = applies ? obj->s(sel) : std::string(static_cast<size_t>(a->length), '*');
            std::string field(static_cast<size_t>(a->length), ' ');
            field.replace(0, std::min(v.size(), field.size()), v.substr(0, field.size()));
            chars += field;
        } else {
            MQLONG v = MQIAV_NOT_APPLICABLE;
            if (applies) {
                switch (sel) {
                    case MQIA_CURRENT_Q_DEPTH:
                        v = q->depth;
                        break;
                    case MQIA_OPEN_INPUT_COUNT:
                        v = q->openInput;
                        break;
                    case MQIA_OPEN_OUTPUT_COUNT:
                        v = q->openOutput;
                        break;
                    default:
                        v = obj->i(sel);
                        break;
                }
            }
            ints.push_back(v);
        }
    }
    if (nInts > intCount) {
        ints.resize(static_cast<size_t>(intCount));
        if (result.cc == MQCC_OK) result = Result::warn(MQRC_INT_ATTR_COUNT_TOO_SMALL);
    }
    if (nChars > charLength) {
        chars.resize(static_cast<size_t>(charLength));
        if (result.cc == MQCC_OK) result = Result::warn(MQRC_CHAR_ATTRS_TOO_SHORT);
    }
    return result;
}

Result QueueManager::set(Conn *c, MQLONG hobj, const std::vector<MQLONG> &selectors,
                         const std::vector<MQLONG> &ints, const std::string &chars) {
    std::lock_guard<std::mutex> lock(mu_);
    Result r = setLocked(c, hobj, selectors, ints, chars);
    if (Handle *h = handleFor(c, hobj)) {
        countInquiry(&mqiStats_, true, h->objectType, r);
        countInquiry(c->acct.mqi ? &c->acct.calls : nullptr, true, h->objectType, r);
    }
    return r;
}

Result QueueManager::setLocked(Conn *c, MQLONG hobj, const std::vector<MQLONG> &selectors,
                               const std::vector<MQLONG> &ints, const std::string &chars) {
    Handle *h = handleFor(c, hobj);
    if (!h) return Result::fail(MQRC_HOBJ_ERROR);
    Result r;
    if (fault("MQSET", h->named ? h->named->def.name : std::string(), c->applName, r)) return r;
    if (!(h->options & MQOO_SET)) return Result::fail(MQRC_NOT_OPEN_FOR_SET);
    if (selectors.size() > 256) return Result::fail(MQRC_SELECTOR_COUNT_ERROR);
    Queue *q = h->named;
    if (!q) return Result::fail(MQRC_NOT_OPEN_FOR_SET);
    if (q->deleted) return Result::fail(MQRC_Q_DELETED);
    Object next = q->def;
    size_t nextInt = 0, nextChar = 0;
    for (MQLONG sel : selectors) {
        switch (sel) {
            case MQIA_INHIBIT_GET:
            case MQIA_INHIBIT_PUT:
            case MQIA_TRIGGER_CONTROL:
            case MQIA_TRIGGER_TYPE:
            case MQIA_TRIGGER_DEPTH:
            case MQIA_TRIGGER_MSG_PRIORITY: {
                if (nextInt >= ints.size()) return Result::fail(MQRC_INT_ATTR_COUNT_ERROR);
                MQLONG v = ints[nextInt++];
                bool trigger = sel != MQIA_INHIBIT_GET && sel != MQIA_INHIBIT_PUT;
                if (trigger && q->def.kind == K_QALIAS) return Result::fail(MQRC_SELECTOR_NOT_FOR_TYPE);
                if ((sel == MQIA_INHIBIT_GET || sel == MQIA_INHIBIT_PUT) && v != 0 && v != 1)
                    return Result::fail(MQRC_INHIBIT_VALUE_ERROR);
                if (sel == MQIA_TRIGGER_CONTROL && v != MQTC_OFF && v != MQTC_ON)
                    return Result::fail(MQRC_TRIGGER_CONTROL_ERROR);
                if (sel == MQIA_TRIGGER_TYPE && (v < MQTT_NONE || v > MQTT_DEPTH))
                    return Result::fail(MQRC_TRIGGER_TYPE_ERROR);
                if (sel == MQIA_TRIGGER_DEPTH && v < 1) return Result::fail(MQRC_TRIGGER_DEPTH_ERROR);
                if (sel == MQIA_TRIGGER_MSG_PRIORITY && (v < 0 || v > 9))
                    return Result::fail(MQRC_TRIGGER_MSG_PRIORITY_ERR);
                next.ints[sel] = v;
                break;
            }
            case MQCA_TRIGGER_DATA: {
                if (q->def.kind == K_QALIAS) return Result::fail(MQRC_SELECTOR_NOT_FOR_TYPE);
                if (nextChar + 64 > chars.size()) return Result::fail(MQRC_CHAR_ATTR_LENGTH_ERROR);
                next.strs[sel] = trimBlanks(std::string_view(chars).substr(nextChar, 64));
                nextChar += 64;
                break;
            }
            default:
                return Result::fail(MQRC_SELECTOR_ERROR);
        }
    }
    // Journalled first: an attribute the journal does not take keeps its old value.
    if (!journalObject(next)) return Result::fail(MQRC_RESOURCE_PROBLEM);
    Object before = q->def;
    q->def = std::move(next);
    changed_.notify_all();
    if (switchOn(MQIA_CONFIGURATION_EVENT) && !q->tempDynamic) {
        EventOrigin origin;
        origin.origin = MQEVO_MQSET;
        origin.userId = c->user;
        configEvent(MQRC_CONFIG_CHANGE_OBJECT, origin, q->def, &before);
    }
    return Result::ok();
}

}  // namespace qm
