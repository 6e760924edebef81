// Retained publications and subscription expiry. A publication put with MQPMO_RETAIN is kept, as
// IBM MQ keeps it, as a message on SYSTEM.RETAINED.PUB.QUEUE whose MQTopicString property names
// its topic; so units of work, persistence across a restart and kill -9, and the loss of
// non-persistent ones at a restart all come from the queue and its journal. One topic string has
// one retained publication: the newest message for it wins, and a new one removes the older.
#include <algorithm>
#include <cstring>

#include "miniqm/os.h"
#include "miniqm/props.h"
#include "miniqm/qmgr.h"
#include "miniqm/topic.h"

namespace qm {

namespace {

constexpr const char *kRetainedQueue = "SYSTEM.RETAINED.PUB.QUEUE";

// The topic string a retained message is kept for (empty when it has none).
std::string topicOf(const Message &m) {
    qmprops::PropertyList list;
    if (!qmprops::PropertyList::decode(m.props, list)) return std::string();
    for (const qmprops::Property &p : list.items())
        if (p.name == qmprops::kTopicStringProperty) return p.value;
    return std::string();
}

bool matches(const Subscription &s, const std::string &topic) {
    return s.charScheme ? qmtopic::matchChar(s.topic, topic) : qmtopic::matchTopic(s.topic, topic);
}

}  // namespace

// The publication's own properties plus the ones the queue manager sets on every delivered
// publication: MQTopicString always, MQIsRetained when it is sent as a retained publication.
std::string publicationProps(const std::string &props, const std::string &topic, bool retained) {
    qmprops::PropertyList list;
    // Properties that cannot be read (our libraries never send such) are dropped, not half kept.
    if (!qmprops::PropertyList::decode(props, list)) list = qmprops::PropertyList();
    qmprops::Property t;
    t.name = qmprops::kTopicStringProperty;
    t.type = MQTYPE_STRING;
    t.ccsid = 1208;
    t.value = topic;
    list.set(std::move(t), false);
    if (retained) {
        qmprops::Property r;
        r.name = qmprops::kIsRetainedProperty;
        r.type = MQTYPE_BOOLEAN;
        int32_t yes = 1;
        r.value.assign(reinterpret_cast<const char *>(&yes), 4);
        list.set(std::move(r), false);
    }
    return list.encode();
}

Queue *QueueManager::retainedQueue() {
    Queue *q = findQueue(kRetainedQueue);
    return q && q->def.kind == K_QLOCAL ? q : nullptr;
}

// Keeps a publication as its topic's retained one before it goes to the subscribers. Under
// syncpoint the new message and the removal of the old one are part of the unit of work, so a
// backout leaves the previous retained publication in place.
Result QueueManager::retainLocked(Conn *c, Handle &h, MQMD &md, PutOptions &pmo, const std::string &data) {
    Queue *q = retainedQueue();
    if (!q) return Result::fail(MQRC_PUT_NOT_RETAINED);
    const bool syncpoint = (pmo.options & MQPMO_SYNCPOINT) != 0;
    std::vector<Message *> older;
    for (auto &[key, m] : q->msgs)
        if ((visible(*m) || m->putter == c) && topicOf(*m) == h.topic) older.push_back(m.get());

    Handle dh = h;
    dh.queue = q;
    dh.named = q;
    dh.topic.clear();
    MQMD copy = md;
    // The topic's default persistence is IBM MQ's DEFPSIST(NO); the retained queue's does not apply.
    if (copy.Persistence == MQPER_PERSISTENCE_AS_Q_DEF) copy.Persistence = MQPER_NOT_PERSISTENT;
    PutOptions po = pmo;
    po.props = publicationProps(pmo.props, h.topic, false);
    Result r = putLocked(c, dh, copy, po, data);
    if (r.failed()) {
        // The queue refusing it is "not retained"; the queue manager's own troubles keep their reason.
        if (r.reason == MQRC_SYNCPOINT_LIMIT_REACHED || r.reason == MQRC_Q_MGR_STOPPING ||
            r.reason == MQRC_RESOURCE_PROBLEM)
            return r;
        return Result::fail(MQRC_PUT_NOT_RETAINED);
    }
    std::vector<std::pair<Queue *, Message *>> gone;
    for (Message *m : older) {
        MsgKey key = keyFor(q, m->md.Priority, m->seq);
        if (m->putter == c) {
            // Retained twice in this unit of work: the first one never becomes visible.
            std::erase_if(c->uow, [m](const UowOp &op) { return op.message == m; });
            q->msgs.erase(key);
            --q->depth;
        } else if (syncpoint) {
            m->getter = c;
            c->uow.push_back({q, m, false});
            --q->depth;
        } else {
            if (m->persistent) gone.emplace_back(q, m);
        }
    }
    if (!syncpoint) {
        // Persistent ones whose removal the journal does not take stay, as a restart would bring
        // them back: the newest retained publication of a topic is the one that counts, so they
        // change nothing, and the next one retained for the topic removes them.
        const bool journalled = gone.empty() || journal_.append(txnRecord({}, gone));
        for (Message *m : older) {
            if (m->putter == c || (m->persistent && !journalled)) continue;
            removeMessage(q, keyFor(q, m->md.Priority, m->seq));
            --q->depth;
        }
    }
    return Result::ok();
}

// Sends a subscription the retained publications of every topic it matches; returns how many.
// r receives MQRC_RETAINED_MSG_Q_ERROR when they cannot be read, MQRC_RETAINED_NOT_DELIVERED when
// the destination refuses one.
int QueueManager::deliverRetained(Conn *c, const Subscription &s, Result &r) {
    Queue *rq = retainedQueue();
    if (!rq) return 0;
    const int64_t now = qmos::wallMs();
    dropExpired(rq, now);
    std::map<std::string, Message *> latest;
    for (auto &[key, m] : rq->msgs) {
        // One being replaced in an open unit of work is the retained publication until the
        // commit; its uncommitted replacement is not yet.
        if (m->putter || expired(*m, now)) continue;
        std::string topic = topicOf(*m);
        if (topic.empty() || !matches(s, topic)) continue;
        PutOptions published;  // the subscription's selection string applies to retained ones too
        published.props = m->props;
        if (!selects(s, m->md, published)) continue;
        Message *&have = latest[topic];
        if (!have || have->seq < m->seq) have = m.get();
    }
    if (latest.empty()) return 0;
    if (rq->def.i(MQIA_INHIBIT_GET) == MQQA_GET_INHIBITED) {
        r = Result::fail(MQRC_RETAINED_MSG_Q_ERROR);
        return 0;
    }
    // A queue on another queue manager is reached through its transmission queue, as new
    // publications reach it; a local queue of the same name is not the destination.
    Queue *dest = nullptr;
    if (!s.destQMgr.empty()) {
        if (resolveXmitQ(s.destQMgr, dest).failed()) dest = nullptr;
    } else {
        dest = findQueue(s.queue);
    }
    if (!dest || dest->deleted) {
        r = Result::fail(MQRC_RETAINED_NOT_DELIVERED);
        return 0;
    }
    int sent = 0;
    for (const auto &[topic, m] : latest) {
        Handle dh;
        dh.objectType = MQOT_Q;
        dh.options = MQOO_OUTPUT | MQOO_SET_ALL_CONTEXT;
        dh.queue = dest;
        dh.named = s.destQMgr.empty() ? dest : nullptr;
        if (!s.destQMgr.empty()) {
            dh.remoteQName = s.queue;
            dh.remoteQMgrName = s.destQMgr;
        }
        MQMD copy = m->md;
        copy.Version = MQMD_VERSION_2;
        std::memcpy(copy.CorrelId, s.correlId, sizeof copy.CorrelId);
        if (m->expiresMs != 0)
            copy.Expiry = static_cast<MQLONG>(std::max<int64_t>(1, (m->expiresMs - now) / 100));
        if (dest->tempDynamic) copy.Persistence = MQPER_NOT_PERSISTENT;
        PutOptions po;
        po.options = MQPMO_NO_SYNCPOINT | MQPMO_SET_ALL_CONTEXT | MQPMO_NEW_MSG_ID;
        po.props = publicationProps(m->props, topic, true);
        Result pr = putLocked(c, dh, copy, po, m->data);
        if (pr.failed()) {
            r = Result::fail(MQRC_RETAINED_NOT_DELIVERED);
            continue;
        }
        ++sent;
    }
    return sent;
}

// CLEAR TOPICSTR(...) CLRTYPE(RETAINED): the pattern may use '#' and '+' levels. Messages inside
// a unit of work are left alone. Returns how many retained publications went, -1 (and none went)
// when the journal did not take their removal.
int QueueManager::clearRetained(const std::string &pattern) {
    Queue *q = retainedQueue();
    if (!q) return 0;
    std::vector<std::pair<Queue *, Message *>> gone;
    std::vector<MsgKey> keys;
    for (auto &[key, m] : q->msgs) {
        if (!visible(*m)) continue;
        std::string topic = topicOf(*m);
        if (topic.empty() || !qmtopic::matchTopic(pattern, topic)) continue;
        keys.push_back(key);
        if (m->persistent) gone.emplace_back(q, m.get());
    }
    if (!gone.empty() && !journal_.append(txnRecord({}, gone))) return -1;
    for (const MsgKey &k : keys) {
        removeMessage(q, k);
        --q->depth;
    }
    return static_cast<int>(keys.size());
}

// Subscriptions past their SubExpiry match nothing more. One without an open Hsub goes at once
// (journalled when durable, its managed queue with it); one still held stays, marked, until the
// Hsub is closed, and meanwhile cannot be resumed or altered (2523). One whose removal the journal
// does not take stays marked too, and goes at a later look.
void QueueManager::expireSubs() {
    int64_t now = qmos::wallMs();
    std::vector<uint32_t> gone;
    for (auto &[id, s] : subs_) {
        if (s.expiresMs == 0 || s.expiresMs > now) continue;
        s.expired = true;
        if (!s.owner) gone.push_back(id);
    }
    for (uint32_t id : gone)
        if (!removeSub(id)) break;  // the journal is failing: the rest wait for the next look too
}

}  // namespace qm
