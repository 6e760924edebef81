// Shared by the aggregation tests: a queue manager "QM1" of the configuration with aggregating streams,
// a test clock and time zone, and (for the tests without a queue manager) a data queue in memory that
// hands out MsgIds and matches by MsgId and CorrelId, with a put or get failing on request.
#pragma once

#include <cstdio>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "stats/aggr.h"
#include "stats/stats_testing.h"

namespace agt {

using stt::i32;
using stt::i64;
using stt::Items;
using stt::str;

// ---- The data queue in memory ----

struct Message {
    uint8_t msgId[24];
    uint8_t correlId[24];
    std::vector<uint8_t> data;
};
struct Queue {
    std::vector<Message> messages;
    size_t cursor = SIZE_MAX;
    uint64_t nextId = 1;
    uint64_t puts = 0;
    uint64_t failPutAt = 0;  // the put of that number (1 upward) fails with failReason
    uint64_t failGetAt = 0;  // likewise a destructive get
    uint64_t gets = 0;
    MQLONG failReason = 0;
};
inline Queue &queue() {
    static Queue q;
    return q;
}
inline bool zero(const uint8_t *b) {
    for (int i = 0; i < 24; i++)
        if (b[i]) return false;
    return true;
}

extern "C" inline void aggrFakePut(MQHCONN, MQHOBJ, PMQVOID pMd, PMQVOID, MQLONG length, PMQVOID buffer,
                                   PMQLONG cc, PMQLONG rc) {
    Queue &q = queue();
    auto *md = static_cast<MQMD *>(pMd);
    if (++q.puts == q.failPutAt) {
        *cc = MQCC_FAILED;
        *rc = q.failReason;
        return;
    }
    Message m;
    if (zero(md->MsgId)) {
        std::memset(md->MsgId, 0, 24);
        std::memcpy(md->MsgId, &q.nextId, sizeof q.nextId);
        q.nextId++;
    }
    std::memcpy(m.msgId, md->MsgId, 24);
    std::memcpy(m.correlId, md->CorrelId, 24);
    m.data.assign(static_cast<uint8_t *>(buffer), static_cast<uint8_t *>(buffer) + length);
    q.messages.push_back(std::move(m));
    *cc = MQCC_OK;
    *rc = MQRC_NONE;
}

extern "C" inline void aggrFakeGet(MQHCONN, MQHOBJ, PMQVOID pMd, PMQVOID pGmo, MQLONG bufferLength,
                                   PMQVOID buffer, PMQLONG dataLength, PMQLONG cc, PMQLONG rc) {
    Queue &q = queue();
    auto *md = static_cast<MQMD *>(pMd);
    MQLONG o = static_cast<MQGMO *>(pGmo)->Options;
    bool browse = o & (MQGMO_BROWSE_FIRST | MQGMO_BROWSE_NEXT);
    if (!browse && ++q.gets == q.failGetAt) {
        *cc = MQCC_FAILED;
        *rc = q.failReason;
        return;
    }
    size_t from = (o & MQGMO_BROWSE_NEXT) && q.cursor != SIZE_MAX ? q.cursor + 1 : 0;
    size_t at = SIZE_MAX;
    for (size_t i = from; i < q.messages.size() && at == SIZE_MAX; i++) {
        const Message &m = q.messages[i];
        if (!zero(md->CorrelId) && std::memcmp(m.correlId, md->CorrelId, 24) != 0) continue;
        if (!browse && !zero(md->MsgId) && std::memcmp(m.msgId, md->MsgId, 24) != 0) continue;
        at = i;
    }
    if (at == SIZE_MAX) {
        *cc = MQCC_FAILED;
        *rc = MQRC_NO_MSG_AVAILABLE;
        return;
    }
    const Message &m = q.messages[at];
    auto length = static_cast<MQLONG>(m.data.size());
    *dataLength = length;
    bool truncated = length > bufferLength;
    std::memcpy(buffer, m.data.data(), static_cast<size_t>(truncated ? bufferLength : length));
    std::memcpy(md->MsgId, m.msgId, 24);
    *cc = truncated ? MQCC_WARNING : MQCC_OK;
    *rc = truncated ? MQRC_TRUNCATED_MSG_ACCEPTED : MQRC_NONE;
    if (browse)
        q.cursor = at;
    else
        q.messages.erase(q.messages.begin() + static_cast<std::ptrdiff_t>(at));
}

extern "C" inline void aggrFakeUnit(MQHCONN, PMQLONG cc, PMQLONG rc) {
    *cc = MQCC_OK;
    *rc = MQRC_NONE;
}

inline size_t aggrMessageCount() {
    size_t n = 0;
    for (const Message &m : queue().messages) n += m.correlId[0] == AGGR_CORREL_KIND;
    return n;
}

// ---- The fixture ----

constexpr int64_t kT0 = 1736933400;  // 2025-01-15 09:30:00 UTC

class AggrTest : public ::testing::Test {
protected:
    AggrTest() : tz_("UTC0"), clock_(kT0) {}

    void SetUp() override {
        evStreamDefFreeAll();
        evStringsFree(1);
        evStreamSetHooks(nullptr);
        cfgInstall();
        ASSERT_EQ(statsInstall(), 1);
        EvStreamHooks hooks = *evStreamGetHooks();
        hooks.reportMQError = [](EvStreamIo *, const char *text, int32_t) { errors().push_back(text); };
        hooks.endConnection = [] { ended()++; };
        evStreamSetHooks(&hooks);
        errors().clear();
        ended() = 0;
        ASSERT_EQ(evStringsInit(0), 1);
        ASSERT_NE(evStringsCreateStream(), nullptr);
        char text[EV_CONFIG_TEXT];
        qmgr_ = evQmgrFindOrAdd("QM1", 0, text);
        ASSERT_NE(qmgr_, nullptr);
        queue() = Queue{};
        table_ = MQIFunctionTable{};
        table_.MQPUT = aggrFakePut;
        table_.MQGET = aggrFakeGet;
        table_.MQCMIT = aggrFakeUnit;
        table_.MQBACK = aggrFakeUnit;
        io_ = EvStreamIo{&table_, 1, 2, 0, 100, 1};
        evContext.current = nullptr;
        evAbsorb.grace = 15;
        evAbsorb.heldBinThreshold = 10;
        evAbsorb.sweepDisabled = 0;
        evAggrState.binsCreated = 0;
        installedEmit_ = evStatsEmitHooks.emitRecord;  // the emitters' own, for the tests that emit
        evStatsEmitHooks.emitRecord = [](const AggrWork *, int noEmit, const uint8_t *, uint8_t *, uint32_t) {
            if (!noEmit) emitted()++;
            return 1;
        };
        emitted() = 0;
    }
    void TearDown() override {
        evAggrFreeAll(1);
        cfgFreeModel(1);
        evStringsFree(1);
        evStreamDefFreeAll();
        evStreamSetHooks(nullptr);
        evStatsEmitHooks = StatsEmitHooks{};
    }

    static std::vector<std::string> &errors() {
        static std::vector<std::string> e;
        return e;
    }
    static int &ended() {
        static int n = 0;
        return n;
    }
    static int &emitted() {
        static int n = 0;
        return n;
    }

    // A runtime stream of QM1 of a new definition with that interval.
    Stream *stream(const char *name, uint32_t type, uint32_t interval) {
        StreamDef *def = evStreamDefine(name, -1, type, 0, 0);
        def->aggrInt = interval;
        return evStreamCreate(qmgr_, def);
    }

    // A queue statistics record ending at end: one portion per queue name, each with these puts.
    std::vector<uint8_t> statQ(int64_t end, const std::vector<std::string> &queues, int64_t puts = 1,
                               int32_t level = 940, uint32_t interval = 60) {
        std::vector<Items> objects;
        for (const std::string &q : queues)
            objects.push_back({str(2016, q), i32(20, 1), i32(31003, puts), i32(31000, 10), i32(31178, 1)});
        stt::RecordBuilder b(165, 0, end - interval, end);
        b.add(Items{i32(31, level)});
        for (const Items &o : objects) b.group(8011).add(o).end();
        return b.record();
    }

    int fold(Stream *s, const std::vector<uint8_t> &r, int fromCopy = 0) {
        return evAggrAddRecord(&evContext, qmgr_, s, fromCopy, r.data(), static_cast<uint32_t>(r.size()));
    }
    int harden() { return evAggrHarden(&evContext, &io_); }
    int absorbAll() { return evAggrAbsorbAll(&evContext, &io_); }

    // The memory drop and the load of a reconnect.
    int reload() {
        evAggrFreeAll(0);
        return evAggrMsgReadAll(&evContext, &io_);
    }

    static std::vector<AggrBin *> activeBins(Stream *s) {
        std::vector<AggrBin *> bins(s->activeBins + 8);
        uint32_t n = evAggrActiveBinsByTime(s, bins.data(), static_cast<uint32_t>(bins.size()));
        bins.resize(n);
        return bins;
    }
    static std::vector<AggrEntry *> entries(const AggrBin *bin) {
        std::vector<AggrEntry *> out;
        for (AggrKeyGroup *g = bin->groups; g; g = g->next)
            if (g->inUse)
                for (AggrEntry *e = g->entries; e; e = e->next) out.push_back(e);
        return out;
    }
    // Every entry of the stream's bins by "bin end/level/object", as value(family, record) makes it.
    template <typename Value>
    static auto byEntry(Stream *s, Value value) {
        std::map<std::string, decltype(value(std::declval<const AggrFamily &>(), nullptr))> out;
        for (AggrBin *bin : activeBins(s))
            for (AggrEntry *e : entries(bin)) {
                const AggrFamily &family = evAggrFamilies[bin->family];
                const auto *name =
                    aggrGet<const StringEntry *>(e->record, aggrFieldOffset(&family, family.stats->objectId));
                char key[128];
                std::snprintf(key, sizeof key, "%lld/%u/%.*s", static_cast<long long>(bin->end),
                              aggrGet<uint32_t>(e->record, aggrFieldOffset(&family, 31)),
                              static_cast<int>(name->length), name->text);
                out[key] = value(family, e->record);
            }
        return out;
    }
    static uint32_t groupsInUse(const AggrBin *bin) {
        uint32_t n = 0;
        for (AggrKeyGroup *g = bin->groups; g; g = g->next) n += g->inUse;
        return n;
    }
    static uint32_t messages(const AggrBin *bin) {
        uint32_t n = 0;
        for (AggrMsgDesc *m = bin->messages; m; m = m->next) n++;
        return n;
    }

    zt::ScopedTZ tz_;
    zt::TestClock clock_;
    decltype(StatsEmitHooks::emitRecord) installedEmit_ = nullptr;
    QmgrEntry *qmgr_ = nullptr;
    MQIFunctionTable table_{};
    EvStreamIo io_{};
};

}  // namespace agt
