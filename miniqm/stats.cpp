// Statistics and accounting as IBM MQ writes them: MQI statistics (MQCMD_STATISTICS_MQI) and queue
// statistics (MQCMD_STATISTICS_Q) on SYSTEM.ADMIN.STATISTICS.QUEUE every STATINT seconds, at RESET
// QMGR TYPE(STATISTICS) and at a controlled stop; MQI and queue accounting (MQCMD_ACCOUNTING_MQI,
// MQCMD_ACCOUNTING_Q) on SYSTEM.ADMIN.ACCOUNTING.QUEUE when a connection ends and every ACCTINT
// seconds for one that goes on. The counts are the queue manager's own, kept as the MQI calls are
// made; interval times are in UTC.
#include <algorithm>
#include <cstring>
#include <tuple>

#include "miniqm/os.h"
#include "miniqm/qmgr.h"

namespace qm {

namespace {

constexpr size_t kGroupsPerMessage = 100;
// Interval and connection dates "yyyy-mm-dd" and times "hh.mm.ss", as IBM MQ writes them here (not
// blank-padded to MQ_DATE_LENGTH as object dates are).
constexpr size_t kDateLength = 10, kTimeLength = 8;

int persistence(bool persistent) {
    return persistent ? 1 : 0;
}

bool validType(MQLONG t) {
    return t >= 0 && t < kObjectTypes;
}

void markUsed(QueueCounts &s, MQLONG depth) {
    if (s.used) return;
    s.used = true;
    s.minDepth = s.maxDepth = depth;
}

void minMax(MQLONG &lo, MQLONG &hi, MQLONG count, MQLONG v) {
    if (count == 1 || v < lo) lo = v;
    if (count == 1 || v > hi) hi = v;
}

void minMax64(int64_t &lo, int64_t &hi, MQLONG count, int64_t v) {
    if (count == 1 || v < lo) lo = v;
    if (count == 1 || v > hi) hi = v;
}

// The parameters of an MQI statistics or accounting record that both share, by kind of call.
void opens(qmpcf::Writer &w, const MqiCounts &m) {
    w.integers(MQIAMO_OPENS, m.opens, kObjectTypes);
    w.integers(MQIAMO_OPENS_FAILED, m.opensFailed, kObjectTypes);
    w.integers(MQIAMO_CLOSES, m.closes, kObjectTypes);
    w.integers(MQIAMO_CLOSES_FAILED, m.closesFailed, kObjectTypes);
}
void inquires(qmpcf::Writer &w, const MqiCounts &m) {
    w.integers(MQIAMO_INQS, m.inqs, kObjectTypes);
    w.integers(MQIAMO_INQS_FAILED, m.inqsFailed, kObjectTypes);
    w.integers(MQIAMO_SETS, m.sets, kObjectTypes);
    w.integers(MQIAMO_SETS_FAILED, m.setsFailed, kObjectTypes);
}
void putsAndGets(qmpcf::Writer &w, const MqiCounts &m) {
    w.integers(MQIAMO_PUTS, m.puts, 2);
    w.integer(MQIAMO_PUTS_FAILED, m.putsFailed);
    w.integers(MQIAMO_PUT1S, m.put1s, 2);
    w.integer(MQIAMO_PUT1S_FAILED, m.put1sFailed);
    w.integers64(MQIAMO64_PUT_BYTES, m.putBytes, 2);
    w.integers(MQIAMO_GETS, m.gets, 2);
    w.integer(MQIAMO_GETS_FAILED, m.getsFailed);
    w.integers64(MQIAMO64_GET_BYTES, m.getBytes, 2);
    w.integers(MQIAMO_BROWSES, m.browses, 2);
    w.integer(MQIAMO_BROWSES_FAILED, m.browsesFailed);
    w.integers64(MQIAMO64_BROWSE_BYTES, m.browseBytes, 2);
    w.integer(MQIAMO_COMMITS, m.commits);
    w.integer(MQIAMO_COMMITS_FAILED, m.commitsFailed);
    w.integer(MQIAMO_BACKOUTS, m.backouts);
}
// Subscriptions, callbacks, controls and status. The library serves MQCB, MQCTL and MQSTAT on
// its own, so the queue manager has no counts of them: they are reported as zero.
void subscriptions(qmpcf::Writer &w, const MqiCounts &m) {
    static const MQLONG zeros[4] = {};
    w.integers(MQIAMO_SUBS_DUR, m.subsDurable, 3);
    w.integers(MQIAMO_SUBS_NDUR, m.subsNonDurable, 3);
    w.integer(MQIAMO_SUBS_FAILED, m.subsFailed);
    w.integers(MQIAMO_UNSUBS_DUR, m.unsubsDurable, 2);
    w.integers(MQIAMO_UNSUBS_NDUR, m.unsubsNonDurable, 2);
    w.integer(MQIAMO_UNSUBS_FAILED, m.unsubsFailed);
    w.integer(MQIAMO_SUBRQS, m.subrqs);
    w.integer(MQIAMO_SUBRQS_FAILED, m.subrqsFailed);
    w.integers(MQIAMO_CBS, zeros, 4);
    w.integer(MQIAMO_CBS_FAILED, 0);
    w.integers(MQIAMO_CTLS, zeros, 4);
    w.integer(MQIAMO_CTLS_FAILED, 0);
    w.integer(MQIAMO_STATS, 0);
    w.integer(MQIAMO_STATS_FAILED, 0);
}
void topicPuts(qmpcf::Writer &w, const MqiCounts &m) {
    w.integers(MQIAMO_TOPIC_PUTS, m.topicPuts, 2);
    w.integer(MQIAMO_TOPIC_PUTS_FAILED, m.topicPutsFailed);
    w.integers(MQIAMO_TOPIC_PUT1S, m.topicPut1s, 2);
    w.integer(MQIAMO_TOPIC_PUT1S_FAILED, m.topicPut1sFailed);
    w.integers64(MQIAMO64_TOPIC_PUT_BYTES, m.topicPutBytes, 2);
}

// Average time on the queue of the messages got, by persistence.
void averages(const QueueCounts &s, int64_t out[2]) {
    for (int p = 0; p < 2; ++p) out[p] = s.gets[p] > 0 ? s.queuedSum[p] / s.gets[p] : 0;
}

}  // namespace

// ---- what is collected ----

// STATQ of the queue (ON, OFF, QMGR) against the queue manager's (ON, OFF, NONE).
bool QueueManager::statQueue(const Queue *q) const {
    if (!q || q->def.kind != K_QLOCAL) return false;
    MQLONG mine = q->def.i(MQIA_STATISTICS_Q), all = qmgr_.i(MQIA_STATISTICS_Q);
    return (mine == MQMON_ON && all != MQMON_NONE) || (mine == MQMON_Q_MGR && all == MQMON_ON);
}

// ACCTQ of the queue against the queue manager's as it applies to the connection.
bool QueueManager::acctQueue(const Conn *c, const Queue *q) const {
    if (!q || q->def.kind != K_QLOCAL) return false;
    MQLONG mine = q->def.i(MQIA_ACCOUNTING_Q), all = c->acct.queueSetting;
    return (mine == MQMON_ON && all != MQMON_NONE) || (mine == MQMON_Q_MGR && all == MQMON_ON);
}

void QueueManager::countDepth(Queue *q) {
    QueueCounts &s = q->stats;
    if (!s.used) return;
    s.minDepth = std::min(s.minDepth, q->depth);
    s.maxDepth = std::max(s.maxDepth, q->depth);
}

void QueueManager::countOpen(Conn *c, MQLONG type, Queue *q, const Result &r) {
    if (validType(type)) {
        MqiCounts &m = mqiStats_;
        (r.failed() ? m.opensFailed : m.opens)[type]++;
        if (c->acct.mqi) (r.failed() ? c->acct.calls.opensFailed : c->acct.calls.opens)[type]++;
    }
    if (r.failed() || !q) return;
    if (statQueue(q)) markUsed(q->stats, q->depth);
    if (acctQueue(c, q)) {
        QueueCounts &a = c->acct.byQueue[q->def.name];
        markUsed(a, q->depth);
        ++a.opens;
        if (a.openMs == 0) a.openMs = qmos::wallMs();
    }
}

void QueueManager::countClose(Conn *c, MQLONG type, const std::string &queue, const Result &r) {
    if (validType(type)) {
        (r.failed() ? mqiStats_.closesFailed : mqiStats_.closes)[type]++;
        if (c->acct.mqi) (r.failed() ? c->acct.calls.closesFailed : c->acct.calls.closes)[type]++;
    }
    if (r.failed() || queue.empty()) return;
    auto it = c->acct.byQueue.find(queue);
    if (it == c->acct.byQueue.end()) return;
    ++it->second.closes;
    it->second.closeMs = qmos::wallMs();
}

void QueueManager::countPut(Conn *c, bool topic, Queue *q, bool put1, const Result &r, bool persistent,
                            size_t bytes) {
    const int p = persistence(persistent);
    const auto n = static_cast<int64_t>(bytes);
    for (MqiCounts *m : {&mqiStats_, c->acct.mqi ? &c->acct.calls : nullptr}) {
        if (!m) continue;
        if (topic) {
            if (r.failed()) {
                ++(put1 ? m->topicPut1sFailed : m->topicPutsFailed);
            } else {
                ++(put1 ? m->topicPut1s : m->topicPuts)[p];
                m->topicPutBytes[p] += n;
            }
        } else if (r.failed()) {
            ++(put1 ? m->put1sFailed : m->putsFailed);
        } else {
            ++(put1 ? m->put1s : m->puts)[p];
            m->putBytes[p] += n;
        }
    }
    if (!q || topic) return;
    QueueCounts *counts[2] = {nullptr, nullptr};
    if (statQueue(q) && (q->stats.used || put1)) counts[0] = &q->stats;
    if (acctQueue(c, q)) {
        auto it = c->acct.byQueue.find(q->def.name);
        if (it != c->acct.byQueue.end() || put1) counts[1] = &c->acct.byQueue[q->def.name];
    }
    for (QueueCounts *s : counts) {
        if (!s) continue;
        markUsed(*s, q->depth);
        if (r.failed()) {
            ++(put1 ? s->put1sFailed : s->putsFailed);
            continue;
        }
        MQLONG count = ++(put1 ? s->put1s : s->puts)[p];
        s->putBytes[p] += n;
        count += (put1 ? s->puts : s->put1s)[p];
        minMax(s->putMin[p], s->putMax[p], count, static_cast<MQLONG>(bytes));
    }
}

void QueueManager::countGet(Conn *c, Queue *q, const GetOptions &gmo, const Result &r, MQLONG dataLength) {
    const bool browse =
        (gmo.options & (MQGMO_BROWSE_FIRST | MQGMO_BROWSE_NEXT | MQGMO_BROWSE_MSG_UNDER_CURSOR)) != 0;
    const int p = persistence(gmo.persistent);
    const bool got = r.cc != MQCC_FAILED;
    for (MqiCounts *m : {&mqiStats_, c->acct.mqi ? &c->acct.calls : nullptr}) {
        if (!m) continue;
        if (!got) {
            ++(browse ? m->browsesFailed : m->getsFailed);
        } else {
            ++(browse ? m->browses : m->gets)[p];
            (browse ? m->browseBytes : m->getBytes)[p] += dataLength;
        }
    }
    if (!q) return;
    QueueCounts *counts[2] = {nullptr, nullptr};
    if (statQueue(q) && q->stats.used) counts[0] = &q->stats;
    if (acctQueue(c, q)) {
        auto it = c->acct.byQueue.find(q->def.name);
        if (it != c->acct.byQueue.end()) counts[1] = &it->second;
    }
    for (QueueCounts *s : counts) {
        if (!s) continue;
        if (!got) {
            ++(browse ? s->browsesFailed : s->getsFailed);
            continue;
        }
        if (browse) {
            MQLONG count = ++s->browses[p];
            s->browseBytes[p] += dataLength;
            minMax(s->browseMin[p], s->browseMax[p], count, dataLength);
            continue;
        }
        MQLONG count = ++s->gets[p];
        s->getBytes[p] += dataLength;
        minMax(s->getMin[p], s->getMax[p], count, dataLength);
        s->queuedSum[p] += gmo.queuedUs;
        minMax64(s->queuedMin[p], s->queuedMax[p], count, gmo.queuedUs);
    }
}

void QueueManager::countExpired(Queue *q, MQLONG n) {
    mqiStats_.expired += n;
    if (q->stats.used) q->stats.expired += n;
}

void QueueManager::countPurged(Queue *q, MQLONG n) {
    mqiStats_.purged += n;
    if (q->stats.used) q->stats.purged += n;
}

// ---- the messages ----

void QueueManager::intervalHeader(qmpcf::Writer &w, int64_t start, int64_t end) const {
    std::string date, time;
    w.string(MQCA_Q_MGR_NAME, qmgr_.name, MQ_Q_MGR_NAME_LENGTH);
    qmos::utcDateTime(start, date, time);
    w.string(MQCAMO_START_DATE, date, kDateLength);
    w.string(MQCAMO_START_TIME, time, kTimeLength);
    qmos::utcDateTime(end, date, time);
    w.string(MQCAMO_END_DATE, date, kDateLength);
    w.string(MQCAMO_END_TIME, time, kTimeLength);
    w.integer(MQIA_COMMAND_LEVEL, qmgr_.i(MQIA_COMMAND_LEVEL));
}

void QueueManager::resetStatistics(int64_t now) {
    statsStartMs_ = now;
    mqiStats_ = MqiCounts{};
    for (auto &[name, q] : queues_) {
        q->stats = QueueCounts{};
        // A queue still open goes on being reported.
        if (q->handles > 0 && statQueue(q.get())) markUsed(q->stats, q->depth);
    }
}

void QueueManager::writeStatistics(int64_t now) {
    if (qmgr_.i(MQIA_STATISTICS_MQI) == MQMON_ON) {
        const MqiCounts &m = mqiStats_;
        qmpcf::Writer w;
        intervalHeader(w, statsStartMs_, now);
        w.integer(MQIAMO_CONNS, m.conns);
        w.integer(MQIAMO_CONNS_FAILED, m.connsFailed);
        w.integer(MQIAMO_CONNS_MAX, m.connsMax);
        w.integers(MQIAMO_DISCS, m.discs, 3);
        opens(w, m);
        inquires(w, m);
        putsAndGets(w, m);
        w.integer(MQIAMO_MSGS_EXPIRED, m.expired);
        w.integer(MQIAMO_MSGS_PURGED, m.purged);
        subscriptions(w, m);
        static const MQLONG zeros[4] = {};
        for (MQLONG id : {MQIAMO_SUB_DUR_HIGHWATER, MQIAMO_SUB_DUR_LOWWATER, MQIAMO_SUB_NDUR_HIGHWATER,
                          MQIAMO_SUB_NDUR_LOWWATER})
            w.integers(id, zeros, 4);
        topicPuts(w, m);
        w.integers(MQIAMO_PUBLISH_MSG_COUNT, m.published, 2);
        w.integers64(MQIAMO64_PUBLISH_MSG_BYTES, m.publishedBytes, 2);
        putInstrument("SYSTEM.ADMIN.STATISTICS.QUEUE",
                      w.message(MQCFT_STATISTICS, MQCFH_VERSION_3, MQCMD_STATISTICS_MQI, 1, MQCFC_LAST,
                                MQCC_OK, MQRC_NONE),
                      MQFMT_ADMIN);
    }
    std::vector<const Queue *> used;
    for (const auto &[name, q] : queues_)
        if (q->stats.used) used.push_back(q.get());
    for (size_t first = 0, seq = 1; first < used.size(); first += kGroupsPerMessage, ++seq) {
        size_t n = std::min(kGroupsPerMessage, used.size() - first);
        qmpcf::Writer w;
        intervalHeader(w, statsStartMs_, now);
        w.integer(MQIAMO_OBJECT_COUNT, static_cast<MQLONG>(n));
        for (size_t i = first; i < first + n; ++i) {
            const Queue *q = used[i];
            const QueueCounts &s = q->stats;
            w.beginGroup(MQGACF_Q_STATISTICS_DATA);
            w.string(MQCA_Q_NAME, q->def.name, MQ_Q_NAME_LENGTH);
            w.string(MQCA_CREATION_DATE, q->def.s(MQCA_CREATION_DATE), MQ_CREATION_DATE_LENGTH);
            w.string(MQCA_CREATION_TIME, q->def.s(MQCA_CREATION_TIME), MQ_CREATION_TIME_LENGTH);
            w.integer(MQIA_Q_TYPE, q->def.i(MQIA_Q_TYPE));
            w.integer(MQIA_DEFINITION_TYPE, q->def.i(MQIA_DEFINITION_TYPE));
            w.integer(MQIAMO_Q_MIN_DEPTH, s.minDepth);
            w.integer(MQIAMO_Q_MAX_DEPTH, s.maxDepth);
            int64_t avg[2];
            averages(s, avg);
            w.integers64(MQIAMO64_AVG_Q_TIME, avg, 2);
            w.integers(MQIAMO_PUTS, s.puts, 2);
            w.integer(MQIAMO_PUTS_FAILED, s.putsFailed);
            w.integers(MQIAMO_PUT1S, s.put1s, 2);
            w.integer(MQIAMO_PUT1S_FAILED, s.put1sFailed);
            w.integers64(MQIAMO64_PUT_BYTES, s.putBytes, 2);
            w.integers(MQIAMO_GETS, s.gets, 2);
            w.integers64(MQIAMO64_GET_BYTES, s.getBytes, 2);
            w.integer(MQIAMO_GETS_FAILED, s.getsFailed);
            w.integers(MQIAMO_BROWSES, s.browses, 2);
            w.integers64(MQIAMO64_BROWSE_BYTES, s.browseBytes, 2);
            w.integer(MQIAMO_BROWSES_FAILED, s.browsesFailed);
            w.integer(MQIAMO_MSGS_NOT_QUEUED, 0);  // every message is queued: none goes straight to a getter
            w.integer(MQIAMO_MSGS_EXPIRED, s.expired);
            w.integer(MQIAMO_MSGS_PURGED, s.purged);
            w.endGroup();
        }
        bool last = first + n >= used.size();
        putInstrument(
            "SYSTEM.ADMIN.STATISTICS.QUEUE",
            w.message(MQCFT_STATISTICS, MQCFH_VERSION_3, MQCMD_STATISTICS_Q, static_cast<MQLONG>(seq),
                      last ? MQCFC_LAST : MQCFC_NOT_LAST, MQCC_OK, MQRC_NONE),
            MQFMT_ADMIN);
    }
    resetStatistics(now);
}

void QueueManager::writeAccounting(Conn *c, int64_t now, MQLONG discType) {
    ConnAccounting &a = c->acct;
    std::string date, time;
    // The connection's identity, which both records begin with.
    auto identity = [&](qmpcf::Writer &w, bool mqi) {
        intervalHeader(w, a.intervalStartMs, now);
        w.bytes(MQBACF_CONNECTION_ID, c->connectionId, sizeof c->connectionId);
        w.integer(MQIACF_SEQUENCE_NUMBER, a.seqNumber);
        w.string(MQCACF_APPL_NAME, c->applName, MQ_APPL_NAME_LENGTH);
        w.integer(MQIACF_PROCESS_ID, c->pid);
        w.integer(MQIACF_THREAD_ID, c->tid);
        w.string(MQCACF_USER_IDENTIFIER, c->user, MQ_USER_ID_LENGTH);
        if (mqi) {
            qmos::utcDateTime(c->connectMs, date, time);
            w.string(MQCAMO_CONN_DATE, date, kDateLength);
            w.string(MQCAMO_CONN_TIME, time, kTimeLength);
        }
        if (c->client) {
            w.string(MQCACH_CONNECTION_NAME, c->connName, MQ_CONN_NAME_LENGTH);
            w.string(MQCACH_CHANNEL_NAME, c->channel, MQ_CHANNEL_NAME_LENGTH);
            if (mqi) {
                w.string(MQCACH_REMOTE_PRODUCT, "MQCC", MQ_REMOTE_PRODUCT_LENGTH);
                w.string(MQCACH_REMOTE_VERSION, "09040000", MQ_REMOTE_VERSION_LENGTH);
            }
        }
    };
    if (a.mqi) {
        const MqiCounts &m = a.calls;
        qmpcf::Writer w;
        identity(w, true);
        if (discType >= 0) {
            qmos::utcDateTime(now, date, time);
            w.string(MQCAMO_DISC_DATE, date, kDateLength);
            w.string(MQCAMO_DISC_TIME, time, kTimeLength);
            w.integer(MQIAMO_DISC_TYPE, discType);
        }
        opens(w, m);
        putsAndGets(w, m);
        inquires(w, m);
        subscriptions(w, m);
        topicPuts(w, m);
        putInstrument("SYSTEM.ADMIN.ACCOUNTING.QUEUE",
                      w.message(MQCFT_ACCOUNTING, MQCFH_VERSION_3, MQCMD_ACCOUNTING_MQI, 1, MQCFC_LAST,
                                MQCC_OK, MQRC_NONE),
                      MQFMT_ADMIN);
    }
    std::vector<std::pair<const std::string *, const QueueCounts *>> used;
    for (const auto &[name, s] : a.byQueue) used.emplace_back(&name, &s);
    for (size_t first = 0, seq = 1; first < used.size(); first += kGroupsPerMessage, ++seq) {
        size_t n = std::min(kGroupsPerMessage, used.size() - first);
        qmpcf::Writer w;
        identity(w, false);
        w.integer(MQIAMO_OBJECT_COUNT, static_cast<MQLONG>(n));
        for (size_t i = first; i < first + n; ++i) {
            const QueueCounts &s = *used[i].second;
            const Queue *q = findQueue(*used[i].first);
            Object gone;  // a queue deleted since: its name only
            const Object &def = q ? q->def : gone;
            w.beginGroup(MQGACF_Q_ACCOUNTING_DATA);
            w.string(MQCA_Q_NAME, *used[i].first, MQ_Q_NAME_LENGTH);
            w.string(MQCA_CREATION_DATE, def.s(MQCA_CREATION_DATE), MQ_CREATION_DATE_LENGTH);
            w.string(MQCA_CREATION_TIME, def.s(MQCA_CREATION_TIME), MQ_CREATION_TIME_LENGTH);
            w.integer(MQIA_Q_TYPE, q ? def.i(MQIA_Q_TYPE) : MQQT_LOCAL);
            w.integer(MQIA_DEFINITION_TYPE, q ? def.i(MQIA_DEFINITION_TYPE) : MQQDT_PREDEFINED);
            w.integer(MQIAMO_OPENS, s.opens);
            for (auto [ms, dateId, timeId] : {std::tuple{s.openMs, MQCAMO_OPEN_DATE, MQCAMO_OPEN_TIME},
                                              std::tuple{s.closeMs, MQCAMO_CLOSE_DATE, MQCAMO_CLOSE_TIME}}) {
                date.clear();
                time.clear();
                if (ms != 0) qmos::utcDateTime(ms, date, time);
                w.string(dateId, date, kDateLength);
                w.string(timeId, time, kTimeLength);
            }
            w.integer(MQIAMO_CLOSES, s.closes);
            w.integers(MQIAMO_PUTS, s.puts, 2);
            w.integer(MQIAMO_PUTS_FAILED, s.putsFailed);
            w.integers(MQIAMO_PUT1S, s.put1s, 2);
            w.integer(MQIAMO_PUT1S_FAILED, s.put1sFailed);
            w.integers64(MQIAMO64_PUT_BYTES, s.putBytes, 2);
            w.integers(MQIAMO_PUT_MIN_BYTES, s.putMin, 2);
            w.integers(MQIAMO_PUT_MAX_BYTES, s.putMax, 2);
            w.integer(MQIAMO_GENERATED_MSGS, 0);
            w.integers(MQIAMO_GETS, s.gets, 2);
            w.integer(MQIAMO_GETS_FAILED, s.getsFailed);
            w.integers64(MQIAMO64_GET_BYTES, s.getBytes, 2);
            w.integers(MQIAMO_GET_MIN_BYTES, s.getMin, 2);
            w.integers(MQIAMO_GET_MAX_BYTES, s.getMax, 2);
            w.integers(MQIAMO_BROWSES, s.browses, 2);
            w.integer(MQIAMO_BROWSES_FAILED, s.browsesFailed);
            w.integers64(MQIAMO64_BROWSE_BYTES, s.browseBytes, 2);
            w.integers(MQIAMO_BROWSE_MIN_BYTES, s.browseMin, 2);
            w.integers(MQIAMO_BROWSE_MAX_BYTES, s.browseMax, 2);
            int64_t avg[2];
            averages(s, avg);
            w.integers64(MQIAMO_Q_TIME_MIN, s.queuedMin, 2);
            w.integers64(MQIAMO_Q_TIME_AVG, avg, 2);
            w.integers64(MQIAMO_Q_TIME_MAX, s.queuedMax, 2);
            static const MQLONG zeros[4] = {};
            w.integers(MQIAMO_CBS, zeros, 4);
            w.integer(MQIAMO_CBS_FAILED, 0);
            w.endGroup();
        }
        bool last = first + n >= used.size();
        putInstrument(
            "SYSTEM.ADMIN.ACCOUNTING.QUEUE",
            w.message(MQCFT_ACCOUNTING, MQCFH_VERSION_3, MQCMD_ACCOUNTING_Q, static_cast<MQLONG>(seq),
                      last ? MQCFC_LAST : MQCFC_NOT_LAST, MQCC_OK, MQRC_NONE),
            MQFMT_ADMIN);
    }
    // The next record of a connection that goes on starts here.
    a.calls = MqiCounts{};
    a.byQueue.clear();
    for (const auto &[hobj, h] : c->handles)
        if (h.queue && !h.subId && acctQueue(c, h.queue))
            markUsed(a.byQueue[h.queue->def.name], h.queue->depth);
    a.intervalStartMs = now;
    ++a.seqNumber;
}

void QueueManager::tick() {
    std::lock_guard<std::mutex> lock(mu_);
    reapServices();
    if (state_ == State::Stopping) return;
    int64_t now = qmos::wallMs();
    if (now - statsStartMs_ >= int64_t{qmgr_.i(MQIA_STATISTICS_INTERVAL)} * 1000) writeStatistics(now);
    const int64_t acctInterval = int64_t{qmgr_.i(MQIA_ACCOUNTING_INTERVAL)} * 1000;
    for (auto &[id, c] : conns_) {
        ConnAccounting &a = c->acct;
        if ((a.mqi || !a.byQueue.empty()) && now - a.intervalStartMs >= acctInterval)
            writeAccounting(c.get(), now, -1);
    }
}

}  // namespace qm
