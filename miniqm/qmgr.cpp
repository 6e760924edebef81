// Objects, persistence and start-up of the queue manager: definitions with IBM MQ's defaults, the
// SYSTEM objects made at creation, and the journal records that make definitions, persistent
// messages and committed units of work durable. The verbs are in verbs.cpp.
//
// Journal record bodies (little-endian, see wire.h's Writer):
//   'O' object:  u8 kind (journalKind), str name, u32 n, n x (i32 selector, i32 value), u32 m, m x (i32
//   selector, str) 'X' deleted: u8 kind (journalKind), str name 'C' cleared: str queue name (every message of
//   the queue is gone) 'T' unit of work: u32 n, then n operations:
//         'P' put:    str queue, u64 seq, md (364 bytes), i64 putMs, i64 expiresMs, str data
//         'Q' put with properties: as 'P', then str properties (qmprops encoded form)
//         'R' remove: str queue, u64 seq, i32 priority
//   'B' backed out: u32 n, n x (str queue, u64 seq, i32 priority, i32 BackoutCount), for HARDENBO
//       queues, so that a message's backout count survives a restart
// Only persistent messages appear in 'T' records; a 'T' record is written when a unit of work
// commits (or at once for a put or get outside one), so an uncommitted put never reaches the disk.
#include <algorithm>
#include <cstring>

#include "miniqm/os.h"
#include "miniqm/qmgr.h"
#include "miniqm/wire.h"

namespace qm {

namespace {

MQLONG queueType(Kind k) {
    switch (k) {
        case K_QMODEL:
            return MQQT_MODEL;
        case K_QALIAS:
            return MQQT_ALIAS;
        case K_QREMOTE:
            return MQQT_REMOTE;
        default:
            return MQQT_LOCAL;
    }
}

// The byte of a channel definition's kind: no other kind is written as it.
constexpr uint8_t kJournalChannel = 0;

std::string encodeObject(const Object &o) {
    qmwire::Writer w;
    w.u8('O');
    w.u8(journalKind(o.kind));
    w.str(o.name);
    w.u32(static_cast<uint32_t>(o.ints.size()));
    for (const auto &[sel, v] : o.ints) {
        w.i32(sel);
        w.i32(v);
    }
    w.u32(static_cast<uint32_t>(o.strs.size()));
    for (const auto &[sel, v] : o.strs) {
        w.i32(sel);
        w.str(v);
    }
    return w.bytes();
}

void encodePut(qmwire::Writer &w, const std::string &queue, const Message &m) {
    w.u8(m.props.empty() ? 'P' : 'Q');
    w.str(queue);
    w.u64(m.seq);
    w.raw(&m.md, sizeof m.md);
    w.i64(m.putMs);
    w.i64(m.expiresMs);
    w.str(m.data);
    if (!m.props.empty()) w.str(m.props);
}

}  // namespace

uint8_t journalKind(Kind kind) {
    return kind == K_CHANNEL ? kJournalChannel : static_cast<uint8_t>(kind);
}

Kind kindFromJournal(uint8_t byte) {
    return byte == kJournalChannel ? K_CHANNEL : static_cast<Kind>(byte);
}

// ---- objects ----

void QueueManager::touch(Object &o, bool created) {
    std::string date, time;
    qmos::mqscDateTime(qmos::wallMs(), date, time);
    if (created) {
        o.strs[MQCA_CREATION_DATE] = date;
        o.strs[MQCA_CREATION_TIME] = time;
    }
    o.strs[MQCA_ALTERATION_DATE] = date;
    o.strs[MQCA_ALTERATION_TIME] = time;
}

// IBM MQ's defaults for a new definition of this kind (before SYSTEM.DEFAULT.* objects exist).
void QueueManager::defaultsFor(Object &o, Kind kind) {
    o.kind = kind;
    o.ints.clear();
    o.strs.clear();
    if (kind == K_TOPIC) {
        o.ints[MQIA_CAP_EXPIRY] = MQCEX_NOLIMIT;
        o.strs[MQCA_TOPIC_STRING] = "";
        o.strs[MQCA_TOPIC_DESC] = "";
        return;
    }
    if (kind == K_SERVICE) {
        o.ints[MQIA_SERVICE_TYPE] = MQSVC_TYPE_SERVER;
        o.ints[MQIA_SERVICE_CONTROL] = MQSVC_CONTROL_MANUAL;
        for (MQLONG sel : {MQCA_SERVICE_DESC, MQCA_SERVICE_START_COMMAND, MQCA_SERVICE_START_ARGS,
                           MQCA_SERVICE_STOP_COMMAND, MQCA_SERVICE_STOP_ARGS, MQCA_STDOUT_DESTINATION,
                           MQCA_STDERR_DESTINATION})
            o.strs[sel] = "";
        return;
    }
    if (kind == K_NAMELIST) {
        o.strs[MQCA_NAMELIST_DESC] = "";
        o.strs[MQCA_NAMES] = "";
        o.ints[MQIA_NAME_COUNT] = 0;
        return;
    }
    o.strs[MQCA_Q_DESC] = "";
    o.ints[MQIA_INHIBIT_GET] = MQQA_GET_ALLOWED;
    o.ints[MQIA_INHIBIT_PUT] = MQQA_PUT_ALLOWED;
    o.ints[MQIA_DEF_PRIORITY] = 0;
    o.ints[MQIA_DEF_PERSISTENCE] = MQPER_NOT_PERSISTENT;
    o.ints[MQIA_CAP_EXPIRY] = MQCEX_NOLIMIT;
    if (kind == K_QALIAS) {
        o.strs[MQCA_BASE_Q_NAME] = "";
        o.ints[MQIA_BASE_TYPE] = MQOT_Q;
        return;
    }
    if (kind == K_QREMOTE) {
        o.ints.erase(MQIA_INHIBIT_GET);  // a remote queue is only put to
        o.strs[MQCA_REMOTE_Q_NAME] = "";
        o.strs[MQCA_REMOTE_Q_MGR_NAME] = "";
        o.strs[MQCA_XMIT_Q_NAME] = "";
        return;
    }
    o.ints[MQIA_MAX_Q_DEPTH] = 5000;
    o.ints[MQIA_MAX_MSG_LENGTH] = 4194304;
    o.ints[MQIA_USAGE] = MQUS_NORMAL;
    o.ints[MQIA_DEFINITION_TYPE] = kind == K_QMODEL ? MQQDT_TEMPORARY_DYNAMIC : MQQDT_PREDEFINED;
    o.ints[MQIA_DEF_INPUT_OPEN_OPTION] = MQOO_INPUT_SHARED;
    o.ints[MQIA_SHAREABILITY] = MQQA_SHAREABLE;
    o.ints[MQIA_MSG_DELIVERY_SEQUENCE] = MQMDS_PRIORITY;
    o.ints[MQIA_BACKOUT_THRESHOLD] = 0;
    o.strs[MQCA_BACKOUT_REQ_Q_NAME] = "";
    o.ints[MQIA_HARDEN_GET_BACKOUT] = MQQA_BACKOUT_HARDENED;
    o.ints[MQIA_TRIGGER_CONTROL] = MQTC_OFF;
    o.ints[MQIA_TRIGGER_TYPE] = MQTT_FIRST;
    o.ints[MQIA_TRIGGER_DEPTH] = 1;
    o.ints[MQIA_TRIGGER_MSG_PRIORITY] = 0;
    o.strs[MQCA_TRIGGER_DATA] = "";
    o.strs[MQCA_INITIATION_Q_NAME] = "";
    o.strs[MQCA_PROCESS_NAME] = "";
    monitoringDefaults(o);
}

bool QueueManager::createSystemObjects(MQLONG cmdLevel) {
    qmgr_.kind = K_QMGR;
    qmgr_.ints[MQIA_CODED_CHAR_SET_ID] = 819;
    qmgr_.ints[MQIA_COMMAND_LEVEL] = cmdLevel;
    qmgr_.ints[MQIA_PLATFORM] = MQPL_UNIX;
    qmgr_.ints[MQIA_MAX_UNCOMMITTED_MSGS] = 10000;
    qmgr_.ints[MQIA_MAX_MSG_LENGTH] = 4194304;
    qmgr_.ints[MQIA_MAX_HANDLES] = 256;
    qmgr_.ints[MQIA_MAX_PRIORITY] = 9;
    qmgr_.ints[MQIA_SYNCPOINT] = MQSP_AVAILABLE;
    qmgr_.ints[MQIA_TRIGGER_INTERVAL] = 999999999;
    qmgr_.strs[MQCA_Q_MGR_DESC] = "";
    qmgr_.strs[MQCA_DEAD_LETTER_Q_NAME] = "";
    qmgr_.strs[MQCA_DEF_XMIT_Q_NAME] = "";
    qmgr_.strs[MQCA_COMMAND_INPUT_Q_NAME] = "SYSTEM.ADMIN.COMMAND.QUEUE";
    char id[64];
    std::snprintf(id, sizeof id, "%s_%016llX", qmgr_.name.c_str(),
                  static_cast<unsigned long long>(qmos::wallMs()));
    qmgr_.strs[MQCA_Q_MGR_IDENTIFIER] = std::string(id).substr(0, 48);
    monitoringDefaults(qmgr_);
    touch(qmgr_, true);
    if (!journalObject(qmgr_)) return false;

    struct Sys {
        const char *name;
        Kind kind;
        MQLONG maxDepth;
    };
    static const Sys kSystem[] = {
        {"SYSTEM.DEFAULT.LOCAL.QUEUE", K_QLOCAL, 5000},
        {"SYSTEM.DEFAULT.MODEL.QUEUE", K_QMODEL, 5000},
        {"SYSTEM.DEFAULT.ALIAS.QUEUE", K_QALIAS, 0},
        {"SYSTEM.DEAD.LETTER.QUEUE", K_QLOCAL, 999999999},
        {"SYSTEM.ADMIN.COMMAND.QUEUE", K_QLOCAL, 3000},
        {"SYSTEM.ADMIN.QMGR.EVENT", K_QLOCAL, 3000},
        {"SYSTEM.ADMIN.CHANNEL.EVENT", K_QLOCAL, 3000},
        {"SYSTEM.ADMIN.PERFM.EVENT", K_QLOCAL, 3000},
        {"SYSTEM.ADMIN.CONFIG.EVENT", K_QLOCAL, 3000},
        {"SYSTEM.ADMIN.COMMAND.EVENT", K_QLOCAL, 3000},
        {"SYSTEM.ADMIN.LOGGER.EVENT", K_QLOCAL, 3000},
        {"SYSTEM.ADMIN.PUBSUB.EVENT", K_QLOCAL, 3000},
        {"SYSTEM.ADMIN.STATISTICS.QUEUE", K_QLOCAL, 3000},
        {"SYSTEM.ADMIN.ACCOUNTING.QUEUE", K_QLOCAL, 3000},
        {"SYSTEM.ADMIN.ACTIVITY.QUEUE", K_QLOCAL, 3000},
        {"SYSTEM.ADMIN.TRACE.ACTIVITY.QUEUE", K_QLOCAL, 3000},
        {"SYSTEM.RETAINED.PUB.QUEUE", K_QLOCAL, 999999999},
    };
    for (const Sys &s : kSystem) {
        Object o;
        defaultsFor(o, s.kind);
        o.name = s.name;
        if (s.kind != K_QALIAS) o.ints[MQIA_MAX_Q_DEPTH] = s.maxDepth;
        touch(o, true);
        if (!journalObject(o)) return false;
        addQueue(std::move(o));
    }
    Object topic;
    defaultsFor(topic, K_TOPIC);
    topic.name = "SYSTEM.BASE.TOPIC";
    touch(topic, true);
    if (!journalObject(topic)) return false;
    topics_[topic.name] = topic;
    if (!addDefaultNamelist()) return false;
    // The server-connection channel crtmqm defines, which new SVRCONN channels copy. Only at
    // creation: one deleted stays deleted.
    Object channel;
    channelDefaults(channel, MQCHT_SVRCONN);
    channel.name = "SYSTEM.DEF.SVRCONN";
    channel.strs[MQCACH_CHANNEL_NAME] = channel.name;
    touch(channel, true);
    if (!journalObject(channel)) return false;
    channels_[channel.name] = channel;
    return true;
}

bool QueueManager::addDefaultNamelist() {
    Object o;
    defaultsFor(o, K_NAMELIST);
    o.name = "SYSTEM.DEFAULT.NAMELIST";
    o.strs[MQCA_NAMELIST_NAME] = o.name;
    touch(o, true);
    if (!journalObject(o)) return false;
    namelists_[o.name] = o;
    return true;
}

Queue *QueueManager::findQueue(const std::string &name) {
    auto it = queues_.find(name);
    return it == queues_.end() ? nullptr : it->second.get();
}

Queue *QueueManager::addQueue(Object def) {
    auto q = std::make_unique<Queue>();
    q->def = std::move(def);
    q->def.strs[MQCA_Q_NAME] = q->def.name;
    q->def.ints[MQIA_Q_TYPE] = queueType(q->def.kind);
    q->counts.reset(0, qmos::wallMs());
    Queue *raw = q.get();
    queues_[raw->def.name] = std::move(q);
    return raw;
}

bool QueueManager::deleteQueue(Queue *q) {
    if (!q->tempDynamic && !journalDelete(q->def.kind, q->def.name)) return false;
    dropQueue(q);
    return true;
}

void QueueManager::dropQueue(Queue *q) {
    for (auto &[id, c] : conns_)
        c->uow.erase(
            std::remove_if(c->uow.begin(), c->uow.end(), [q](const UowOp &op) { return op.queue == q; }),
            c->uow.end());
    for (auto &[key, m] : q->msgs)
        if (m->persistent && !m->putter) liveBytes_ -= std::min<uint64_t>(liveBytes_, m->data.size() + 400);
    q->msgs.clear();
    q->depth = 0;
    auto it = queues_.find(q->def.name);
    if (it == queues_.end()) return;
    if (q->handles > 0) {
        q->deleted = true;
        graveyard_.push_back(std::move(it->second));
    }
    queues_.erase(it);
    changed_.notify_all();
}

// ---- journal ----

bool QueueManager::journalObject(const Object &o) {
    if (o.kind & K_QUEUES) {
        auto it = queues_.find(o.name);
        if (it != queues_.end() && it->second->tempDynamic) return true;
    }
    return journal_.append(encodeObject(o));
}

bool QueueManager::journalDelete(Kind kind, const std::string &name) {
    qmwire::Writer w;
    w.u8('X');
    w.u8(journalKind(kind));
    w.str(name);
    return journal_.append(w.bytes());
}

bool QueueManager::journalClear(const std::string &name) {
    qmwire::Writer w;
    w.u8('C');
    w.str(name);
    return journal_.append(w.bytes());
}

std::string QueueManager::txnRecord(const std::vector<std::pair<Queue *, Message *>> &puts,
                                    const std::vector<std::pair<Queue *, Message *>> &removes) {
    qmwire::Writer w;
    w.u8('T');
    w.u32(static_cast<uint32_t>(puts.size() + removes.size()));
    for (const auto &[q, m] : puts) encodePut(w, q->def.name, *m);
    for (const auto &[q, m] : removes) {
        w.u8('R');
        w.str(q->def.name);
        w.u64(m->seq);
        w.i32(m->md.Priority);
    }
    return w.bytes();
}

MsgKey QueueManager::keyFor(const Queue *q, MQLONG priority, uint64_t seq) const {
    if (q->def.i(MQIA_MSG_DELIVERY_SEQUENCE) == MQMDS_FIFO) return {0, seq};
    return {9 - priority, seq};
}

bool QueueManager::applyRecord(std::string_view body) {
    qmwire::Reader r(body);
    uint8_t type = r.u8();
    switch (type) {
        case 'O': {
            Object o;
            o.kind = kindFromJournal(r.u8());
            o.name = r.str();
            uint32_t n = r.u32();
            for (uint32_t i = 0; i < n && !r.failed(); ++i) {
                MQLONG sel = r.i32();
                o.ints[sel] = r.i32();
            }
            uint32_t m = r.u32();
            for (uint32_t i = 0; i < m && !r.failed(); ++i) {
                MQLONG sel = r.i32();
                o.strs[sel] = r.str();
            }
            if (r.failed()) return false;
            if (o.kind == K_QMGR) {
                qmgr_ = std::move(o);
            } else if (o.kind == K_TOPIC) {
                topics_[o.name] = std::move(o);
            } else if (o.kind == K_NAMELIST) {
                namelists_[o.name] = std::move(o);
            } else if (o.kind == K_SERVICE) {
                services_[o.name] = std::move(o);
            } else if (o.kind == K_CHANNEL) {
                channels_[o.name] = std::move(o);
            } else if (Queue *q = findQueue(o.name)) {
                bool rekey = q->def.i(MQIA_MSG_DELIVERY_SEQUENCE) != o.i(MQIA_MSG_DELIVERY_SEQUENCE);
                q->def = std::move(o);
                if (rekey) {
                    std::map<MsgKey, std::unique_ptr<Message>> old;
                    old.swap(q->msgs);
                    for (auto &[key, msg] : old)
                        q->msgs[keyFor(q, msg->md.Priority, msg->seq)] = std::move(msg);
                }
            } else {
                addQueue(std::move(o));
            }
            return true;
        }
        case 'X': {
            Kind kind = kindFromJournal(r.u8());
            std::string name = r.str();
            if (r.failed()) return false;
            if (kind == K_TOPIC) {
                topics_.erase(name);
            } else if (kind == K_NAMELIST) {
                namelists_.erase(name);
            } else if (kind == K_SERVICE) {
                services_.erase(name);
            } else if (kind == K_CHANNEL) {
                channels_.erase(name);
            } else {
                queues_.erase(name);
            }
            return true;
        }
        case 'C': {
            std::string name = r.str();
            if (r.failed()) return false;
            if (Queue *q = findQueue(name)) {
                q->msgs.clear();
                q->depth = 0;
            }
            return true;
        }
        case 'T': {
            uint32_t n = r.u32();
            for (uint32_t i = 0; i < n; ++i) {
                uint8_t op = r.u8();
                std::string qname = r.str();
                uint64_t seq = r.u64();
                if (op == 'P' || op == 'Q') {
                    auto m = std::make_unique<Message>();
                    m->seq = seq;
                    r.raw(&m->md, sizeof m->md);
                    m->putMs = r.i64();
                    m->expiresMs = r.i64();
                    m->data = r.str();
                    if (op == 'Q') m->props = r.str();
                    m->persistent = true;
                    if (r.failed()) return false;
                    nextSeq_ = std::max(nextSeq_, seq + 1);
                    if (Queue *q = findQueue(qname)) {
                        MsgKey key = keyFor(q, m->md.Priority, seq);
                        if (!q->msgs.count(key)) ++q->depth;
                        q->msgs[key] = std::move(m);
                        q->noExpiryBefore = 0;
                    }
                } else if (op == 'R') {
                    MQLONG priority = r.i32();
                    if (r.failed()) return false;
                    if (Queue *q = findQueue(qname)) {
                        if (q->msgs.erase(keyFor(q, priority, seq))) --q->depth;
                    }
                } else {
                    return false;
                }
            }
            return !r.failed();
        }
        case 'S':
        case 'U':
            return applySubRecord(r, type == 'U');
        case 'A':
        case 'a': {
            // An authority record as set (its whole image), or its deletion.
            qmauth::Record rec;
            if (!qmauth::Store::decode(body.substr(1), rec)) return false;
            if (type == 'a')
                auth_.remove(rec.objectType, rec.profile, rec.entity);
            else
                auth_.set(rec.objectType, rec.profile, rec.entity, rec.auths, ~rec.auths);
            return true;
        }
        case 'B': {
            uint32_t n = r.u32();
            for (uint32_t i = 0; i < n && !r.failed(); ++i) {
                std::string qname = r.str();
                uint64_t seq = r.u64();
                MQLONG priority = r.i32();
                MQLONG count = r.i32();
                if (Queue *q = findQueue(qname)) {
                    auto it = q->msgs.find(keyFor(q, priority, seq));
                    if (it != q->msgs.end()) it->second->md.BackoutCount = count;
                }
            }
            return !r.failed();
        }
        default:
            return false;
    }
}

// Rewrites the journal as the queue manager, every definition and every committed persistent
// message; run at start (after recovery) and whenever the journal has grown well past that.
bool QueueManager::compact() {
    std::vector<std::string> bodies;
    bodies.push_back(encodeObject(qmgr_));
    for (const auto &[name, t] : topics_) bodies.push_back(encodeObject(t));
    for (const auto &[name, n] : namelists_) bodies.push_back(encodeObject(n));
    for (const auto &[name, n] : services_) bodies.push_back(encodeObject(n));
    for (const auto &[name, c] : channels_) bodies.push_back(encodeObject(c));
    uint64_t live = 0;
    for (const auto &[name, q] : queues_) {
        if (q->tempDynamic) continue;
        bodies.push_back(encodeObject(q->def));
        // Batches of up to 256 messages, and of no more data than a journal record may hold
        // (qmjournal::kMaxRecord): a longer record would not be read back at the next start.
        constexpr uint64_t kBatchBytes = 64u * 1024 * 1024;
        std::vector<std::pair<Queue *, Message *>> puts;
        uint64_t batch = 0;
        for (const auto &[key, m] : q->msgs) {
            if (!m->persistent || m->putter) continue;
            uint64_t size = m->data.size() + m->props.size() + 400;
            if (!puts.empty() && batch + size > kBatchBytes) {
                bodies.push_back(txnRecord(puts, {}));
                puts.clear();
                batch = 0;
            }
            puts.emplace_back(q.get(), m.get());
            batch += size;
            live += m->data.size() + 400;
            if (puts.size() == 256) {
                bodies.push_back(txnRecord(puts, {}));
                puts.clear();
                batch = 0;
            }
        }
        if (!puts.empty()) bodies.push_back(txnRecord(puts, {}));
    }
    for (const auto &[id, sub] : subs_)
        if (sub.durable) bodies.push_back(subRecord(sub));
    for (const qmauth::Record &rec : auth_.all()) {
        std::string body(1, 'A');
        body.append(qmauth::Store::encode(rec));
        bodies.push_back(std::move(body));
    }
    liveBytes_ = live;
    bool ok = journal_.rewrite(bodies);
    compactedBytes_ = journal_.size();
    return ok;
}

// liveBytes_ is an estimate (properties are not in it); a journal that has not at least doubled
// since it was last rewritten is not rewritten again, so that compaction stays paid for by growth.
void QueueManager::maybeCompact() {
    const uint64_t floor = 16u * 1024 * 1024;
    const uint64_t size = journal_.size();
    if (size > floor && size > 4 * liveBytes_ && size > 2 * compactedBytes_) compact();
}

bool QueueManager::start(const std::string &dataDir, const std::string &name, MQLONG cmdLevel, bool sync,
                         std::string &error, std::string &note) {
    std::lock_guard<std::mutex> lock(mu_);
    dir_ = dataDir;
    sync_ = sync;
    if (!journal_.open(dataDir, sync, error)) return false;
    if (!journal_.replay([this](std::string_view body) { return applyRecord(body); }, note)) {
        if (error.empty()) error = note;
        return false;
    }
    idCounter_ = static_cast<uint64_t>(qmos::wallMs()) << 12;
    dynCounter_ = idCounter_;
    if (qmgr_.name.empty()) {
        qmgr_.name = name;
        if (!createSystemObjects(cmdLevel)) {
            error = "cannot write the journal in " + dataDir + ": " + qmos::errorText(qmos::lastError());
            return false;
        }
    }
    qmgr_.strs[MQCA_Q_MGR_NAME] = qmgr_.name;
    if (qmgr_.name != name) {
        error = "data directory holds queue manager " + qmgr_.name + ", not " + name;
        return false;
    }
    for (auto &[qname, q] : queues_) {
        for (auto &[key, m] : q->msgs) nextSeq_ = std::max(nextSeq_, m->seq + 1);
        q->counts.reset(q->depth, qmos::wallMs());
    }
    if (!findQueue("SYSTEM.RETAINED.PUB.QUEUE")) {
        // Made by older miniqm versions without it: retained publications are kept there.
        Object o;
        defaultsFor(o, K_QLOCAL);
        o.name = "SYSTEM.RETAINED.PUB.QUEUE";
        o.ints[MQIA_MAX_Q_DEPTH] = 999999999;
        touch(o, true);
        if (!journalObject(o)) {
            error = "cannot write the journal in " + dataDir + ": " + qmos::errorText(qmos::lastError());
            return false;
        }
        addQueue(std::move(o));
    }
    // Made by older miniqm versions without namelists.
    if (!namelists_.count("SYSTEM.DEFAULT.NAMELIST") && !addDefaultNamelist()) {
        error = "cannot write the journal in " + dataDir + ": " + qmos::errorText(qmos::lastError());
        return false;
    }
    // Queue managers made before the event and monitoring attributes get IBM MQ's defaults.
    monitoringDefaults(qmgr_);
    for (auto &[qname, q] : queues_) monitoringDefaults(q->def);
    // Durable subscriptions whose SubExpiry passed while the queue manager was down end now.
    expireSubs();
    statsStartMs_ = qmos::wallMs();
    startStopEvent(true, MQRQ_FAILOVER_NOT_PERMITTED);
    if (!compact()) {
        error = "cannot rewrite the journal in " + dataDir;
        return false;
    }
    return true;
}

void QueueManager::shutdown() {
    std::lock_guard<std::mutex> lock(mu_);
    state_ = State::Stopping;
    int64_t now = qmos::wallMs();
    for (auto &[id, c] : conns_) {
        backoutUnreported(c.get());
        closeAllHandles(c.get());
        ++mqiStats_.discs[2];
        if (quiesced_ && (c->acct.mqi || !c->acct.byQueue.empty()))
            writeAccounting(c.get(), now, MQDISCONNECT_Q_MGR);
    }
    // A controlled stop reports the interval it ends.
    if (quiesced_) writeStatistics(now);
    conns_.clear();
    compact();
    journal_.close();
    changed_.notify_all();
}

// ---- state ----

void QueueManager::quiesce() {
    std::lock_guard<std::mutex> lock(mu_);
    if (state_ == State::Running) {
        state_ = State::Quiescing;
        quiesced_ = true;
    }
    if (!stopEventSent_) startStopEvent(false, MQRQ_Q_MGR_QUIESCING);
    stopEventSent_ = true;
    changed_.notify_all();
}

void QueueManager::stopNow() {
    std::lock_guard<std::mutex> lock(mu_);
    state_ = State::Stopping;
    if (!stopEventSent_) startStopEvent(false, MQRQ_Q_MGR_STOPPING);
    stopEventSent_ = true;
    changed_.notify_all();
}

State QueueManager::state() {
    std::lock_guard<std::mutex> lock(mu_);
    return state_;
}

size_t QueueManager::connectionCount() {
    std::lock_guard<std::mutex> lock(mu_);
    return conns_.size();
}

void QueueManager::waitForEnd() {
    std::unique_lock<std::mutex> lock(mu_);
    changed_.wait(
        lock, [this] { return state_ == State::Stopping || (state_ == State::Quiescing && conns_.empty()); });
}

// ---- faults on demand ----

bool QueueManager::fault(const char *verb, const std::string &object, const std::string &appl, Result &r) {
    for (auto it = faults_.begin(); it != faults_.end(); ++it) {
        if (it->verb != "*" && it->verb != verb) continue;
        if (!it->object.empty() && it->object != object) continue;
        if (!it->appl.empty() ? it->appl != appl : appl == kCommandServerAppl) continue;
        r.cc = it->cc;
        r.reason = it->reason;
        if (--it->remaining <= 0) faults_.erase(it);
        return true;
    }
    return false;
}

Result QueueManager::libraryFault(Conn *c, const std::string &verb, MQLONG hobj) {
    std::lock_guard<std::mutex> lock(mu_);
    std::string object;
    if (Handle *h = handleFor(c, hobj); h && h->named) object = h->named->def.name;
    Result r;
    fault(verb.c_str(), object, c->applName, r);
    return r;
}

}  // namespace qm
