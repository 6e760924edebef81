// Publish/subscribe: MQSUB (managed subscriptions and subscriptions to a named queue, durable and
// non-durable), MQSUBRQ, and delivery of a publication to every matching subscription's queue.
// Durable subscriptions are journalled ('S' record, 'U' when removed) and outlast a restart.
// Retained publications and subscription expiry live in retain.cpp.
#include <algorithm>
#include <cstring>

#include "miniqm/os.h"
#include "miniqm/qmgr.h"
#include "miniqm/topic.h"

namespace qm {

namespace {

// SubExpiry as given, and the wall-clock time it ends (0: never).
void setExpiry(Subscription &s, MQLONG subExpiry) {
    s.expiry = subExpiry;
    s.expiresMs = subExpiry == MQEI_UNLIMITED ? 0 : qmos::wallMs() + static_cast<int64_t>(subExpiry) * 100;
}

}  // namespace

bool QueueManager::removeSub(uint32_t id) {
    auto it = subs_.find(id);
    if (it == subs_.end()) return true;
    if (it->second.durable) {
        qmwire::Writer w;
        w.u8('U');
        w.str(it->second.name);
        if (!journal_.append(w.bytes())) return false;
    }
    Subscription s = it->second;
    subs_.erase(it);
    if (s.owner) std::erase_if(s.owner->handles, [id](const auto &e) { return e.second.subId == id; });
    if (s.managed) {
        // A managed queue whose deletion the journal does not take stays, as the journal has it:
        // an empty permanent dynamic queue that nothing subscribes to any more.
        Queue *q = findQueue(s.queue);
        if (q && !q->deleted) {
            bool deleted = deleteQueue(q);
            (void)deleted;
        }
    }
    return true;
}

Result QueueManager::subscribe(Conn *c, const SubRequest &sd, MQLONG &hobj, MQLONG &hsub,
                               std::string &resolvedTopic, MQBYTE24 &correlId, MQLONG &subExpiry) {
    std::lock_guard<std::mutex> lock(mu_);
    hsub = MQHO_UNUSABLE_HOBJ;
    Result r = checkSubRequest(c, sd);
    if (r.failed()) return r;
    const MQLONG o = sd.options;
    // An existing subscription of that name: resumed, altered, or in the way of a new one.
    Subscription *found = nullptr;
    if (!sd.subName.empty())
        for (auto &[id, s] : subs_)
            if (s.name == sd.subName) found = &s;
    if (found && !(o & (MQSO_RESUME | MQSO_ALTER))) return Result::fail(MQRC_SUB_ALREADY_EXISTS);
    if (found && found->expired) return Result::fail(MQRC_INVALID_SUBSCRIPTION);
    if (!found && !(o & MQSO_CREATE)) return Result::fail(MQRC_NO_SUBSCRIPTION);
    if (found && found->owner) return Result::fail(MQRC_SUBSCRIPTION_IN_USE);
    std::string topicString;
    if (found)
        topicString = found->topic;
    else if (subTopic(sd, topicString).failed())
        topicString.clear();  // the create reports the unknown topic object
    if (found || !topicString.empty()) {
        r = authorizeSub(c, sd, topicString);
        if (r.failed()) return r;
    }

    uint32_t id = 0;
    r = found ? resumeSub(c, sd, *found, hobj) : createSub(c, sd, hobj, id);
    if (r.failed()) return r;
    const Subscription &sub = found ? *found : subs_[id];
    subExpiry = sub.expiry;
    resolvedTopic = sub.topic;
    std::memcpy(correlId, sub.correlId, sizeof correlId);
    Handle hs;
    hs.objectType = -1;  // an Hsub: no queue, only the subscription
    hs.subId = sub.id;
    hs.hobj = c->nextHobj++;
    hsub = hs.hobj;
    c->handles[hs.hobj] = hs;
    // A new subscription receives the retained publications of the topics it matches, unless it
    // asked for new ones only or takes them on request.
    if (!found && !(o & MQSO_NEW_PUBLICATIONS_ONLY) && !(o & MQSO_PUBLICATIONS_ON_REQUEST))
        return sendRetainedToNew(c, o, hobj, hsub);
    return Result::ok();
}

// The checks of an MQSUB that need no subscription: the call, its options and its descriptor.
Result QueueManager::checkSubRequest(Conn *c, const SubRequest &sd) {
    Result r;
    if (fault("MQSUB", sd.objectName, c->applName, r)) return r;
    if (state_ == State::Stopping) return Result::fail(MQRC_Q_MGR_STOPPING);
    const MQLONG o = sd.options;
    if (quiescingFails(o, MQSO_FAIL_IF_QUIESCING)) return Result::fail(MQRC_Q_MGR_QUIESCING);
    int verbs = ((o & MQSO_CREATE) ? 1 : 0) + ((o & MQSO_RESUME) ? 1 : 0) + ((o & MQSO_ALTER) ? 1 : 0);
    if (verbs == 0 || ((o & MQSO_ALTER) && verbs > 1)) return Result::fail(MQRC_OPTIONS_ERROR);
    if ((o & MQSO_WILDCARD_CHAR) && (o & MQSO_WILDCARD_TOPIC)) return Result::fail(MQRC_OPTIONS_ERROR);
    // Matching costs the product of the two lengths, so the documented bound is kept.
    if (sd.objectString.size() > static_cast<size_t>(MQ_TOPIC_STR_LENGTH))
        return Result::fail(MQRC_OBJECT_STRING_ERROR);
    if ((o & (MQSO_CREATE | MQSO_ALTER)) && sd.subExpiry <= 0 && sd.subExpiry != MQEI_UNLIMITED)
        return Result::fail(MQRC_EXPIRY_ERROR);
    expireSubs();
    if (c->handles.size() + 2 > static_cast<size_t>(std::max<MQLONG>(qmgr_.i(MQIA_MAX_HANDLES), 1)))
        return Result::fail(MQRC_HANDLE_NOT_AVAILABLE);
    if ((o & MQSO_DURABLE) && sd.subName.empty()) return Result::fail(MQRC_SUB_NAME_ERROR);
    // A subscription keeps the selection string it was made with.
    if ((o & MQSO_ALTER) && !sd.selection.empty()) return Result::fail(MQRC_SELECTOR_NOT_ALTERABLE);
    return Result::ok();
}

// The topic string an MQSD names: its topic object's string joined with its ObjectString.
Result QueueManager::subTopic(const SubRequest &sd, std::string &topic) {
    std::string base;
    if (!sd.objectName.empty()) {
        auto t = topics_.find(sd.objectName);
        if (t == topics_.end()) return Result::fail(MQRC_UNKNOWN_OBJECT_NAME);
        base = t->second.s(MQCA_TOPIC_STRING);
    }
    topic = qmtopic::join(base, sd.objectString);
    return Result::ok();
}

// MQSO_RESUME and MQSO_ALTER of an existing subscription, which c takes over (a managed one's
// queue opened again in hobj).
Result QueueManager::resumeSub(Conn *c, const SubRequest &sd, Subscription &found, MQLONG &hobj) {
    const MQLONG o = sd.options;
    if (((o & MQSO_DURABLE) != 0) != found.durable)
        return Result::fail((o & MQSO_ALTER) ? MQRC_DURABILITY_NOT_ALTERABLE : MQRC_DURABILITY_NOT_ALLOWED);
    if (o & MQSO_ALTER) {
        Result r = alterSub(c, sd, found);
        if (r.failed()) return r;
    }
    if (found.managed) {
        Queue *q = findQueue(found.queue);
        if (!q) return Result::fail(MQRC_NO_SUBSCRIPTION);
        OpenRequest od;
        od.objectName = q->def.name;
        OpenReply out;
        Result r = openLocked(c, od, MQOO_INPUT_AS_Q_DEF | MQOO_BROWSE | MQOO_INQUIRE, hobj, out);
        if (r.failed()) return r;
    }
    found.owner = c;
    return Result::ok();
}

// MQSO_ALTER: the altered subscription is journalled before it replaces the old one.
Result QueueManager::alterSub(Conn *c, const SubRequest &sd, Subscription &found) {
    if (!sd.objectName.empty() || !sd.objectString.empty()) {
        // The topic cannot be altered: given again, it must resolve to the subscription's own.
        std::string topic;
        Result r = subTopic(sd, topic);
        if (r.failed()) return r;
        if (topic != found.topic) return Result::fail(MQRC_TOPIC_NOT_ALTERABLE);
    }
    Subscription altered = found;
    // ALTER may change the destination of a subscription to a named queue; nothing else here.
    if (!found.managed && sd.hobj != MQHO_NONE) {
        Handle *dh = handleFor(c, sd.hobj);
        if (!dh || !dh->queue || !(dh->options & MQOO_OUTPUT)) return Result::fail(MQRC_HOBJ_ERROR);
        setSubDestination(altered, *dh);
    }
    // ALTER takes the descriptor's SubExpiry (counted from now) and on-request option.
    altered.onRequest = (sd.options & MQSO_PUBLICATIONS_ON_REQUEST) != 0;
    setExpiry(altered, sd.subExpiry);
    if (altered.durable && !journal_.append(subRecord(altered))) return Result::fail(MQRC_RESOURCE_PROBLEM);
    found = std::move(altered);
    return Result::ok();
}

// MQSO_CREATE: a new subscription held by c (id receives it), its managed queue opened in hobj.
Result QueueManager::createSub(Conn *c, const SubRequest &sd, MQLONG &hobj, uint32_t &id) {
    const MQLONG o = sd.options;
    std::string topic;
    Result r = subTopic(sd, topic);
    if (r.failed()) return r;
    if (topic.empty())
        return Result::fail(sd.objectName.empty() ? MQRC_UNKNOWN_OBJECT_NAME : MQRC_TOPIC_STRING_ERROR);
    std::shared_ptr<const qmsel::Selector> selector;
    r = subSelection(sd.selection, selector);
    if (r.failed()) return r;
    Subscription s;
    s.id = nextSub_++;
    s.name = sd.subName;
    s.topic = topic;
    s.charScheme = (o & MQSO_WILDCARD_CHAR) != 0;
    s.durable = (o & MQSO_DURABLE) != 0;
    s.managed = (o & MQSO_MANAGED) != 0;
    s.selection = sd.selection;
    s.selector = std::move(selector);
    s.onRequest = (o & MQSO_PUBLICATIONS_ON_REQUEST) != 0;
    setExpiry(s, sd.subExpiry);
    Queue *managed = nullptr;
    if (s.managed) {
        r = openManagedQueue(c, s.durable, hobj, managed);
        if (r.failed()) return r;
        s.queue = managed->def.name;
    } else {
        Handle *dh = handleFor(c, sd.hobj);
        if (!dh || !dh->queue || !(dh->options & MQOO_OUTPUT)) return Result::fail(MQRC_HOBJ_ERROR);
        setSubDestination(s, *dh);
    }
    if (o & MQSO_SET_CORREL_ID) {
        std::memcpy(s.correlId, sd.correlId, sizeof s.correlId);
    } else {
        newMsgId(s.correlId);
    }
    s.owner = c;
    if (s.durable && !journal_.append(subRecord(s))) {
        if (managed) dropManagedQueue(c, hobj, managed, true);
        return Result::fail(MQRC_RESOURCE_PROBLEM);
    }
    id = s.id;
    subs_[s.id] = std::move(s);
    return Result::ok();
}

// A managed subscription's queue: the queue manager's own, deleted with the subscription (not
// with a handle), opened for c in hobj.
Result QueueManager::openManagedQueue(Conn *c, bool durable, MQLONG &hobj, Queue *&q) {
    OpenRequest od;
    od.objectName = "SYSTEM.DEFAULT.MODEL.QUEUE";
    od.dynamicQName = durable ? "SYSTEM.MANAGED.DURABLE.*" : "SYSTEM.MANAGED.NDURABLE.*";
    OpenReply out;
    Result r = openLocked(c, od, MQOO_INPUT_AS_Q_DEF | MQOO_BROWSE | MQOO_INQUIRE, hobj, out);
    if (r.failed()) return r;
    Handle &mh = c->handles[hobj];
    mh.createdDynamic = false;
    q = mh.queue;
    q->creator = nullptr;
    if (durable) {
        // A durable subscription's queue is permanent, so that it and its persistent
        // publications outlast a restart with the subscription.
        q->tempDynamic = false;
        q->def.ints[MQIA_DEFINITION_TYPE] = MQQDT_PERMANENT_DYNAMIC;
        if (!journalObject(q->def)) {
            dropManagedQueue(c, hobj, q, false);
            return Result::fail(MQRC_RESOURCE_PROBLEM);
        }
    }
    return Result::ok();
}

// Undoes a managed queue made for a subscription that is not made after all; journalled when its
// object record was written, so that its deletion must be too.
void QueueManager::dropManagedQueue(Conn *c, MQLONG hobj, Queue *q, bool journalled) {
    Result closed = closeLocked(c, hobj, MQCO_NONE);  // a plain close: nothing to refuse
    (void)closed;
    if (!journalled) return dropQueue(q);
    // A deletion the journal does not take leaves the queue as the journal has it.
    bool deleted = deleteQueue(q);
    (void)deleted;
}

// Sends a new subscription (Hsub hsub, managed queue hobj) the retained publications it matches;
// when they cannot be sent the subscription is not made.
Result QueueManager::sendRetainedToNew(Conn *c, MQLONG options, MQLONG hobj, MQLONG &hsub) {
    const uint32_t id = c->handles[hsub].subId;
    Result dr;
    deliverRetained(c, subs_[id], dr);
    if (!dr.failed()) return Result::ok();
    Result removed = closeLocked(c, hsub, MQCO_REMOVE_SUB);
    if (removed.failed()) {
        // The journal keeps the durable subscription it could not remove: it stays, not in
        // use, and the caller hears of that rather than of a subscription not made.
        c->handles.erase(hsub);
        subs_[id].owner = nullptr;
        dr = removed;
    }
    if (options & MQSO_MANAGED) {
        Result closed = closeLocked(c, hobj, MQCO_NONE);  // a plain close: nothing to refuse
        (void)closed;
    }
    hsub = MQHO_UNUSABLE_HOBJ;
    return dr;
}

std::string QueueManager::subRecord(const Subscription &s) const {
    qmwire::Writer w;
    w.u8('S');
    w.str(s.name);
    w.str(s.topic);
    w.u8(s.charScheme ? 1 : 0);
    w.u8(s.managed ? 1 : 0);
    w.str(s.queue);
    w.raw(s.correlId, sizeof s.correlId);
    w.str(s.destQMgr);   // added later: older records end before it
    w.str(s.selection);  // added later still
    w.i32(s.expiry);     // appended after the selection: older records end before
    w.i64(s.expiresMs);
    w.u8(s.onRequest ? 1 : 0);
    return w.bytes();
}

bool QueueManager::applySubRecord(qmwire::Reader &r, bool remove) {
    std::string name = r.str();
    if (r.failed()) return false;
    for (auto it = subs_.begin(); it != subs_.end(); ++it)
        if (it->second.name == name) {
            subs_.erase(it);
            break;
        }
    if (remove) return true;
    Subscription s;
    s.name = name;
    s.topic = r.str();
    s.charScheme = r.u8() != 0;
    s.managed = r.u8() != 0;
    s.queue = r.str();
    r.raw(s.correlId, sizeof s.correlId);
    if (r.remaining() > 0) s.destQMgr = r.str();
    if (r.remaining() > 0) {
        s.selection = r.str();
        // It was accepted when the subscription was made; one that no longer compiles selects nothing
        // rather than everything.
        if (subSelection(s.selection, s.selector).failed()) {
            auto nothing = std::make_shared<qmsel::Selector>();
            nothing->compile("FALSE");
            s.selector = std::move(nothing);
        }
    }
    if (r.failed()) return false;
    if (r.remaining() > 0) {
        s.expiry = r.i32();
        s.expiresMs = r.i64();
        s.onRequest = r.u8() != 0;
        if (r.failed()) return false;
    }
    s.durable = true;
    s.id = nextSub_++;
    subs_[s.id] = s;
    return true;
}

Result QueueManager::subrq(Conn *c, MQLONG hsub, MQLONG action, MQLONG options, MQLONG &numPubs) {
    std::lock_guard<std::mutex> lock(mu_);
    numPubs = 0;
    Result r;
    if (fault("MQSUBRQ", std::string(), c->applName, r)) return r;
    if (state_ == State::Stopping) return Result::fail(MQRC_Q_MGR_STOPPING);
    Handle *h = handleFor(c, hsub);
    if (!h || !h->subId || !subs_.count(h->subId)) return Result::fail(MQRC_HOBJ_ERROR);
    if (options & ~MQSRO_FAIL_IF_QUIESCING) return Result::fail(MQRC_OPTIONS_ERROR);
    if (quiescingFails(options, MQSRO_FAIL_IF_QUIESCING)) return Result::fail(MQRC_Q_MGR_QUIESCING);
    if (action != MQSR_ACTION_PUBLICATION) return Result::fail(MQRC_ACTION_ERROR);
    expireSubs();
    const Subscription &s = subs_[h->subId];
    if (s.expired) return Result::fail(MQRC_INVALID_SUBSCRIPTION);
    // The request is for subscriptions made with MQSO_PUBLICATIONS_ON_REQUEST only.
    if (!s.onRequest) return Result::fail(MQRC_OPTIONS_ERROR);
    numPubs = deliverRetained(c, s, r);
    if (r.failed()) return r;
    return numPubs == 0 ? Result::fail(MQRC_NO_RETAINED_MSG) : Result::ok();
}

Result QueueManager::subSelection(const std::string &text, std::shared_ptr<const qmsel::Selector> &out) {
    MQLONG why = qmsel::prepare(text, out);
    // Without an extended message selection provider, a selection string MQ cannot parse is "not
    // available" to a new subscription.
    if (why == MQRC_SELECTOR_SYNTAX_ERROR) why = MQRC_SELECTION_NOT_AVAILABLE;
    return why == MQRC_NONE ? Result::ok() : Result::fail(why);
}

// md is the publication as delivered, its priority and persistence resolved.
bool QueueManager::selects(const Subscription &s, const MQMD &md, const PutOptions &pmo) {
    return !s.selector || qmsel::matchesMessage(*s.selector, md, pmo.props);
}

std::string QueueManager::selectionOf(Conn *c, MQLONG hsub) {
    std::lock_guard<std::mutex> lock(mu_);
    Handle *h = handleFor(c, hsub);
    if (!h || !h->subId) return std::string();
    auto it = subs_.find(h->subId);
    return it == subs_.end() ? std::string() : it->second.selection;
}

Result QueueManager::publishLocked(Conn *c, Handle &h, MQMD &md, PutOptions &pmo, const std::string &data) {
    expireSubs();
    // Priority and persistence AS_Q_DEF (AS_TOPIC_DEF) are the topic's defaults, as IBM MQ
    // resolves a publication's, not each subscriber queue's: SYSTEM.BASE.TOPIC's DEFPRTY(0) and
    // DEFPSIST(NO), topics here having no attributes of their own.
    MQMD pub = md;
    if (pub.Priority == MQPRI_PRIORITY_AS_Q_DEF) pub.Priority = 0;
    if (pub.Persistence == MQPER_PERSISTENCE_AS_Q_DEF) pub.Persistence = MQPER_NOT_PERSISTENT;
    std::vector<const Subscription *> matched;
    for (const auto &[id, s] : subs_) {
        if (s.onRequest || s.expired) continue;  // these take retained publications by MQSUBRQ only
        if ((s.charScheme ? qmtopic::matchChar(s.topic, h.topic) : qmtopic::matchTopic(s.topic, h.topic)) &&
            selects(s, pub, pmo))
            matched.push_back(&s);
    }
    // Where each matched subscription's copy goes: its queue here, or the transmission queue to
    // the queue manager of its queue (null when neither exists any more).
    std::vector<Handle> dests;
    for (const Subscription *s : matched) {
        Handle dh = h;
        dh.topic.clear();
        Queue *q = nullptr;
        if (!s->destQMgr.empty()) {
            if (resolveXmitQ(s->destQMgr, q).failed()) q = nullptr;
            dh.remoteQName = s->queue;
            dh.remoteQMgrName = s->destQMgr;
            dh.named = nullptr;
        } else {
            q = findQueue(s->queue);
            dh.named = q;
        }
        dh.queue = q && !q->deleted ? q : nullptr;
        dests.push_back(dh);
    }
    // A persistent publication must reach every durable subscription (the topic's PMSGDLV(ALLDUR)
    // default): when one of their queues would refuse it, nobody gets it and the put fails. There is
    // no dead-letter queue to fall back on: publications that cannot be delivered are not put there.
    if (pub.Persistence == MQPER_PERSISTENT) {
        bool syncpoint = (pmo.options & MQPMO_SYNCPOINT) != 0;
        for (size_t i = 0; i < matched.size(); ++i) {
            if (!matched[i]->durable) continue;
            if (!dests[i].queue || accepts(c, dests[i], pub, data.size(), syncpoint).failed())
                return Result::fail(MQRC_PUBLICATION_FAILURE);
        }
    }
    // A publication that cannot be retained goes to nobody (2479).
    if (pmo.options & MQPMO_RETAIN) {
        Result rr = retainLocked(c, h, pub, pmo, data);
        if (rr.failed()) return rr;
    }
    const std::string props = publicationProps(pmo.props, h.topic, false);
    MQMD out = md;
    Result result;
    bool durableLost = false;
    for (size_t i = 0; i < matched.size(); ++i) {
        const Subscription *s = matched[i];
        Handle &dh = dests[i];
        if (!dh.queue) continue;
        MQMD copy = pub;
        std::memcpy(copy.CorrelId, s->correlId, sizeof copy.CorrelId);
        // A managed non-durable queue is temporary; its messages end with it anyway.
        if (dh.queue->tempDynamic) copy.Persistence = MQPER_NOT_PERSISTENT;
        PutOptions po = pmo;
        po.props = props;
        Result pr = putLocked(c, dh, copy, po, data);
        // Delivery to the other subscribers goes on when one queue refuses (full, inhibited...).
        // A durable subscription's copy that the journal did not take was checked for too late to
        // send the publication to nobody; the put fails, so it is not reported as delivered.
        if (pr.reason == MQRC_RESOURCE_PROBLEM && s->durable) durableLost = true;
        if (!pr.failed()) {
            out = copy;
            std::memcpy(out.CorrelId, md.CorrelId, sizeof out.CorrelId);
            if (pr.cc == MQCC_WARNING) result = pr;
        }
    }
    std::memcpy(md.MsgId, out.MsgId, sizeof md.MsgId);
    if (durableLost) return Result::fail(MQRC_RESOURCE_PROBLEM);
    if (matched.empty() && (pmo.options & MQPMO_WARN_IF_NO_SUBS_MATCHED))
        return Result::warn(MQRC_NO_SUBS_MATCHED);
    return result;
}

}  // namespace qm
