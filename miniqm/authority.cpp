// Object authority: who may do what, checked as IBM MQ's object authority manager checks it, and
// the authority events of the refusals. The records themselves are kept by qmauth::Store.
#include <algorithm>

#include "miniqm/os.h"
#include "miniqm/qmgr.h"
#include "miniqm/topic.h"

namespace qm {

namespace {

// The authorities an MQOPEN's options need on the object.
qmauth::AuthSet openNeeds(MQLONG options, MQLONG objectType) {
    using qmauth::bit;
    qmauth::AuthSet need = 0;
    if (options & (MQOO_INPUT_AS_Q_DEF | MQOO_INPUT_SHARED | MQOO_INPUT_EXCLUSIVE)) need |= bit(MQAUTH_INPUT);
    if (options & MQOO_BROWSE) need |= bit(MQAUTH_BROWSE);
    if (options & MQOO_OUTPUT) need |= bit(objectType == MQOT_TOPIC ? MQAUTH_PUBLISH : MQAUTH_OUTPUT);
    if ((options & MQOO_INQUIRE) && objectType != MQOT_TOPIC) need |= bit(MQAUTH_INQUIRE);
    if (options & MQOO_SET) need |= bit(MQAUTH_SET);
    if (options & MQOO_PASS_IDENTITY_CONTEXT) need |= bit(MQAUTH_PASS_IDENTITY_CONTEXT);
    if (options & MQOO_PASS_ALL_CONTEXT) need |= bit(MQAUTH_PASS_ALL_CONTEXT);
    if (options & MQOO_SET_IDENTITY_CONTEXT) need |= bit(MQAUTH_SET_IDENTITY_CONTEXT);
    if (options & MQOO_SET_ALL_CONTEXT) need |= bit(MQAUTH_SET_ALL_CONTEXT);
    return need;
}

std::string userId(const Principal &p) {
    return p.name.substr(0, MQ_USER_ID_LENGTH);
}

}  // namespace

Principal QueueManager::principalFor(const std::string &user) const {
    Principal p;
    p.name = user;
    p.groups = qmos::userGroups(user);
    const std::string admin = admin_.empty() ? qmos::userName() : admin_;
    p.admin = user == admin || std::find(p.groups.begin(), p.groups.end(), admin) != p.groups.end();
    return p;
}

std::vector<std::string> QueueManager::topicObjectsFor(const std::string &topicString) const {
    std::vector<std::pair<size_t, std::string>> found;
    for (const auto &[name, t] : topics_) {
        const std::string &str = t.s(MQCA_TOPIC_STRING);
        bool under = str.empty() || topicString == str ||
                     (topicString.size() > str.size() && topicString.compare(0, str.size(), str) == 0 &&
                      topicString[str.size()] == '/');
        if (under) found.emplace_back(str.size(), name);
    }
    std::stable_sort(found.begin(), found.end(),
                     [](const auto &a, const auto &b) { return a.first > b.first; });
    std::vector<std::string> names;
    for (const auto &[length, name] : found) names.push_back(name);
    return names;
}

bool QueueManager::authorized(const Principal &p, MQLONG objectType, const std::string &name,
                              qmauth::AuthSet needed) const {
    if (p.admin || needed == 0) return true;
    if (objectType != MQOT_TOPIC)
        return (auth_.effective(objectType, name, p.name, p.groups) & needed) == needed;
    // A topic: an authority granted on any topic object from the nearest one up counts.
    qmauth::AuthSet held = 0;
    for (const std::string &object : topicObjectsFor(name))
        held |= auth_.effective(MQOT_TOPIC, object, p.name, p.groups);
    return (held & needed) == needed;
}

void QueueManager::authorityEvent(MQLONG qualifier, const qmpcf::Writer &data) {
    if (!switchOn(MQIA_AUTHORITY_EVENT)) return;
    qmpcf::Writer w;
    w.string(MQCA_Q_MGR_NAME, qmgr_.name, MQ_Q_MGR_NAME_LENGTH);
    w.integer(MQIACF_REASON_QUALIFIER, qualifier);
    w.append(data);
    qmgrEvent(MQRC_NOT_AUTHORIZED, w);
}

Result QueueManager::authorizeOpen(Conn *c, const OpenRequest &od, MQLONG options) {
    // An alternate user named by the administrator is checked as that user: that is how a command
    // server run by the administrator checks its requesters. A blank one stands for the caller.
    const bool alternateNamed = (options & MQOO_ALTERNATE_USER_AUTHORITY) && !od.alternateUserId.empty();
    if (c->internal || (c->principal.admin && !alternateNamed)) return Result::ok();
    // Options in error, or an object that is not there, are reported as such by the open itself.
    if (checkOpenOptions(c, options).failed()) return Result::ok();
    MQLONG type = od.objectType;
    std::string name;
    std::string topic;
    if (type == MQOT_Q_MGR) {
        if (!od.objectName.empty() && od.objectName != qmgr_.name) return Result::ok();
        name = qmgr_.name;
    } else if (type == MQOT_TOPIC) {
        auto t = topics_.find(od.objectName);
        if (!od.objectName.empty() && t == topics_.end()) return Result::ok();
        topic = qmtopic::join(od.objectName.empty() ? std::string() : t->second.s(MQCA_TOPIC_STRING),
                              od.objectString);
        name = topic;
    } else if (type == MQOT_Q && !od.objectQMgrName.empty() && od.objectQMgrName != qmgr_.name) {
        // Another queue manager's queue: the transmission queue that leads there is what is used.
        Queue *xmitq = nullptr;
        if (resolveXmitQ(od.objectQMgrName, xmitq).failed()) return Result::ok();
        name = xmitq->def.name;
    } else if (type == MQOT_Q) {
        // An alias or a model is checked as itself, not as the queue it leads to or makes.
        if (!findQueue(od.objectName)) return Result::ok();
        name = od.objectName;
    } else {
        return Result::ok();
    }
    const Principal *checked = &c->principal;
    Principal alternate;
    bool refused = false;
    if (options & MQOO_ALTERNATE_USER_AUTHORITY) {
        if (!authorized(c->principal, MQOT_Q_MGR, qmgr_.name, qmauth::bit(MQAUTH_ALT_USER_AUTHORITY))) {
            refused = true;
        } else if (alternateNamed) {
            alternate = principalFor(od.alternateUserId);
            checked = &alternate;
        }
    }
    if (!refused) refused = !authorized(*checked, type, name, openNeeds(options, type));
    if (!refused) return Result::ok();
    qmpcf::Writer w;
    w.integer(MQIACF_OPEN_OPTIONS, options);
    w.string(MQCACF_USER_IDENTIFIER, userId(*checked), MQ_USER_ID_LENGTH);
    applIdentity(c, w);
    if (!od.objectQMgrName.empty() && od.objectQMgrName != qmgr_.name)
        w.string(MQCACF_OBJECT_Q_MGR_NAME, od.objectQMgrName, MQ_Q_MGR_NAME_LENGTH);
    if (type == MQOT_Q) w.string(MQCA_Q_NAME, od.objectName, MQ_Q_NAME_LENGTH);
    if (type == MQOT_TOPIC) {
        w.string(MQCA_TOPIC_STRING, topic);
        w.strings(MQCA_ADMIN_TOPIC_NAME, topicObjectsFor(topic), MQ_TOPIC_NAME_LENGTH);
    }
    if (c->client) {
        w.string(MQCACH_CONNECTION_NAME, c->connName, MQ_CONN_NAME_LENGTH);
        w.string(MQCACH_CHANNEL_NAME, c->channel, MQ_CHANNEL_NAME_LENGTH);
    }
    authorityEvent(MQRQ_OPEN_NOT_AUTHORIZED, w);
    return Result::fail(MQRC_NOT_AUTHORIZED);
}

Result QueueManager::authorizeSub(Conn *c, const SubRequest &sd, const std::string &topicString) {
    if (c->internal || authorized(c->principal, MQOT_TOPIC, topicString, qmauth::bit(MQAUTH_SUBSCRIBE)))
        return Result::ok();
    qmpcf::Writer w;
    w.integer(MQIACF_SUB_OPTIONS, sd.options);
    w.string(MQCACF_USER_IDENTIFIER, userId(c->principal), MQ_USER_ID_LENGTH);
    applIdentity(c, w);
    w.string(MQCA_TOPIC_STRING, topicString);
    w.strings(MQCA_ADMIN_TOPIC_NAME, topicObjectsFor(topicString), MQ_TOPIC_NAME_LENGTH);
    if (c->client) {
        w.string(MQCACH_CONNECTION_NAME, c->connName, MQ_CONN_NAME_LENGTH);
        w.string(MQCACH_CHANNEL_NAME, c->channel, MQ_CHANNEL_NAME_LENGTH);
    }
    authorityEvent(MQRQ_SUB_NOT_AUTHORIZED, w);
    return Result::fail(MQRC_NOT_AUTHORIZED);
}

bool QueueManager::commandAuthorized(const Principal *asker, MQLONG command, MQLONG objectType,
                                     const std::string &name, MQLONG auth) {
    if (!asker || authorized(*asker, objectType, name, qmauth::bit(auth))) return true;
    qmpcf::Writer w;
    w.integer(MQIACF_COMMAND, command);
    w.string(MQCACF_USER_IDENTIFIER, userId(*asker), MQ_USER_ID_LENGTH);
    authorityEvent(MQRQ_CMD_NOT_AUTHORIZED, w);
    return false;
}

Result QueueManager::setAuthRecords(const MQMD &request, MQLONG objectType, const std::string &profile,
                                    const std::vector<qmauth::Entity> &entities, qmauth::AuthSet add,
                                    qmauth::AuthSet remove) {
    const Principal asker = principalFor(fixedField(request.UserIdentifier, sizeof request.UserIdentifier));
    std::lock_guard<std::mutex> lock(mu_);
    if (!commandAuthorized(&asker, MQCMD_SET_AUTH_REC, MQOT_Q_MGR, qmgr_.name, MQAUTH_CHANGE))
        return Result::fail(MQRC_NOT_AUTHORIZED);
    for (const qmauth::Entity &e : entities) {
        const qmauth::Record *old = auth_.find(objectType, profile, e);
        qmauth::Record rec{objectType, profile, e, ((old ? old->auths : 0) | add) & ~remove};
        if (!journalAuth(rec, false)) return Result::fail(MQRC_RESOURCE_PROBLEM);
        auth_.set(rec.objectType, rec.profile, rec.entity, rec.auths, ~rec.auths);
    }
    return Result::ok();
}

Result QueueManager::inquireAuthRecords(const MQMD &request, MQLONG objectType, const std::string &profile,
                                        MQLONG options, const qmauth::Entity *entity,
                                        std::vector<qmauth::Record> &out) {
    const Principal asker = principalFor(fixedField(request.UserIdentifier, sizeof request.UserIdentifier));
    // A principal's groups, for MQAUTHOPT_ENTITY_SET, are looked up before the lock is taken too.
    const bool set = entity && !entity->group && (options & MQAUTHOPT_ENTITY_SET);
    const std::vector<std::string> groups = set ? qmos::userGroups(entity->name) : std::vector<std::string>();
    std::lock_guard<std::mutex> lock(mu_);
    out.clear();
    if (!commandAuthorized(&asker, MQCMD_INQUIRE_AUTH_RECS, MQOT_Q_MGR, qmgr_.name, MQAUTH_DISPLAY))
        return Result::fail(MQRC_NOT_AUTHORIZED);
    const bool wildcard = options & MQAUTHOPT_NAME_AS_WILDCARD;
    const bool matching = (options & MQAUTHOPT_NAME_ALL_MATCHING) && !wildcard && !qmauth::isGeneric(profile);
    for (const qmauth::Record &r : auth_.select(objectType == MQOT_ALL ? 0 : objectType,
                                                wildcard ? std::string() : profile, matching, nullptr)) {
        if (wildcard && !profile.empty() && !qmauth::matches(profile, r.profile)) continue;
        if (entity && !(r.entity == *entity) &&
            !(set && r.entity.group &&
              std::find(groups.begin(), groups.end(), r.entity.name) != groups.end()))
            continue;
        out.push_back(r);
    }
    return Result::ok();
}

bool QueueManager::journalAuth(const qmauth::Record &r, bool remove) {
    qmwire::Writer w;
    w.u8(remove ? 'a' : 'A');
    std::string body = qmauth::Store::encode(r);
    w.raw(body.data(), body.size());
    return journal_.append(w.bytes());
}

}  // namespace qm
