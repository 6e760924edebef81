// Aggregation on a stand-in queue manager: bins hardened and committed come back whole after the
// memory is dropped, a rewrite keeps one copy under its MsgId, and under failed puts, removals and
// commits every record is counted once when all bins are finally absorbed.
#include <map>
#include <random>

#include "miniqm/qm_fixture.h"
#include "stats/aggr_testing.h"
#include "testing/mqi_wrap.h"

using namespace agt;
using zt::MqVerb;

namespace {

constexpr const char *kDataQueue = "HOLVA.ZUNT.DATA.QUEUE";

// A record as text, field by field: strings by their text, streams left out (a reload makes both anew).
std::string rendered(const StatsFamily *family, const uint8_t *record) {
    std::string out;
    for (uint32_t i = 0; i < family->fieldCount; i++) {
        const StatsField &f = family->fields[i];
        char value[96];
        if (f.width == STATS_W_STRING)
            std::snprintf(value, sizeof value, "%s ",
                          stt::text(aggrGet<const StringEntry *>(record, f.offset)).c_str());
        else if (f.width == STATS_W_U32)
            std::snprintf(value, sizeof value, "%u ", aggrGet<uint32_t>(record, f.offset));
        else if (f.width == STATS_W_I64)
            std::snprintf(value, sizeof value, "%lld ",
                          static_cast<long long>(aggrGet<int64_t>(record, f.offset)));
        else
            continue;
        out += f.keyword ? f.keyword : "?";
        out += "=";
        out += value;
    }
    return out;
}

class AggrQmTest : public AggrTest {
protected:
    void SetUp() override {
        AggrTest::SetUp();
        ASSERT_TRUE(qm_.ok());
        ASSERT_EQ(
            qm_.mqsc(std::string("DEFINE QLOCAL(") + kDataQueue + ") MAXDEPTH(100000) MAXMSGL(4194304)\n"),
            0);
        ASSERT_EQ(MQLoadLibrary(MINIQM_MQM_LIBRARY, &raw_), 0);
        wrap_ = std::make_unique<zt::MqiWrapper>(raw_);
        MQCHAR48 name;
        qmt::setText(name, 48, "QM1");
        MQLONG cc = 0, rc = 0;
        wrap_->table()->MQCONN(name, &hconn_, &cc, &rc);
        ASSERT_EQ(cc, MQCC_OK) << rc;
        MQOD od = MQOD_DEFAULT;
        qmt::setText(od.ObjectName, 48, kDataQueue);
        wrap_->table()->MQOPEN(hconn_, &od, MQOO_INPUT_SHARED | MQOO_OUTPUT | MQOO_BROWSE | MQOO_INQUIRE,
                               &hobj_, &cc, &rc);
        ASSERT_EQ(cc, MQCC_OK) << rc;
        io_ = EvStreamIo{wrap_->table(), hconn_, hobj_, 0, 100, 1};
    }
    void TearDown() override {
        MQLONG cc = 0, rc = 0;
        if (hconn_ != MQHC_UNUSABLE_HCONN) {
            raw_.MQBACK(hconn_, &cc, &rc);
            raw_.MQDISC(&hconn_, &cc, &rc);
        }
        AggrTest::TearDown();
        wrap_.reset();
    }

    // The sync point: streams, then the bins, then the commit; a failure backs out and reloads.
    bool syncPoint() {
        EvHardenBlock block{&io_, 0, 0, 0};
        bool ok = evHardenAllStreams(&block) && evAggrHarden(&evContext, &io_) && evStreamCommit(&io_);
        return ok || recover();
    }
    // The absorb after a commit, in a unit of its own.
    bool absorb() {
        bool ok = evAggrAbsorbAll(&evContext, &io_) && evStreamCommit(&io_);
        return ok || recover();
    }
    // The end of a failed unit: backed out, memory dropped and loaded again (the reconnect).
    bool recover() {
        MQLONG cc = 0, rc = 0;
        raw_.MQBACK(hconn_, &cc, &rc);
        evStreamUowBackedOut(&io_);
        EXPECT_EQ(reloadAll(), 1);
        return false;
    }
    int reloadAll() {
        evAggrFreeAll(0);
        std::vector<StreamDef *> defs;
        while (Stream *s = qmgr_->streams) {
            qmgr_->streams = s->next;
            s->next = nullptr;
            defs.push_back(s->definition);
            evStreamFree(s);
        }
        evStringsFree(1);
        int ok = evStreamLoad(&io_, evStringsCreateStream());
        for (StreamDef *def : defs) ok &= evStreamLoad(&io_, evStreamCreate(qmgr_, def));
        return ok && evAggrMsgReadAll(&evContext, &io_);
    }
    Stream *find(const char *name) {
        for (Stream *s = qmgr_->streams; s; s = s->next)
            if (std::strcmp(s->definition->name, name) == 0) return s;
        return nullptr;
    }

    // Every entry of the stream's bins by bin end, level and object.
    static std::map<std::string, std::string> snapshot(Stream *s) {
        std::map<std::string, std::string> out;
        for (AggrBin *bin : activeBins(s))
            for (AggrEntry *e : entries(bin)) {
                const AggrFamily &family = evAggrFamilies[bin->family];
                const auto *name =
                    aggrGet<const StringEntry *>(e->record, aggrFieldOffset(&family, family.stats->objectId));
                char key[128];
                std::snprintf(key, sizeof key, "%lld/%u/%.*s", static_cast<long long>(bin->end),
                              aggrGet<uint32_t>(e->record, aggrFieldOffset(&family, 31)),
                              static_cast<int>(name->length), name->text);
                out[key] = rendered(family.stats, e->record);
            }
        return out;
    }

    // The puts and records of every stored record of the stream, by queue.
    static std::map<std::string, std::pair<uint64_t, uint64_t>> storedSums(Stream *s) {
        std::map<std::string, std::pair<uint64_t, uint64_t>> sums;
        auto add = [&](const uint8_t *blob, uint32_t extent) {
            BlobWalk walk;
            evBlobWalkInit(&walk, blob, extent, 0);
            BlobEntry entry;
            while (evBlobWalkNext(&walk, &entry) > 0) {
                std::vector<uint8_t> r(entry.data, entry.data + entry.dataLength);
                for (const auto &o : stt::readObjects(&evStatQFamily, r)) {
                    StatQRecord q;
                    std::memcpy(&q, o.data(), sizeof q);
                    auto &sum = sums[stt::text(q.queueName)];
                    sum.first += q.putsNP;
                    sum.second += q.records;
                }
            }
        };
        add(evStreamCurrentBlob(s), s->header->used - SH_BLOB);
        for (StreamBlob *b = s->blobs; b; b = b->next) add(evStreamBlobHeader(b), b->area->used);
        return sums;
    }

    size_t aggrOnQueue() {
        size_t n = 0;
        MQLONG cc = 0, rc = 0;
        std::vector<char> buffer(4194304);
        for (MQLONG options = MQGMO_BROWSE_FIRST;; options = MQGMO_BROWSE_NEXT) {
            MQMD md = MQMD_DEFAULT;
            MQGMO gmo = MQGMO_DEFAULT;
            gmo.Options = options | MQGMO_ACCEPT_TRUNCATED_MSG;
            MQLONG length = 0;
            raw_.MQGET(hconn_, hobj_, &md, &gmo, 0, buffer.data(), &length, &cc, &rc);
            if (cc == MQCC_FAILED) break;
            n += md.CorrelId[0] == AGGR_CORREL_KIND;
        }
        return n;
    }

    qmt::QmServer qm_{"QM1"};
    MQIFunctionTable raw_{};
    std::unique_ptr<zt::MqiWrapper> wrap_;
    MQHCONN hconn_ = MQHC_UNUSABLE_HCONN;
    MQHOBJ hobj_ = MQHO_UNUSABLE_HOBJ;
};

TEST_F(AggrQmTest, HardenedBinsComeBackWholeAndARewriteKeepsOneCopy) {
    Stream *q = stream("AGGQ", STREAM_TYPE_STATQ, 3600);
    Stream *c = stream("AGGC", STREAM_TYPE_STATCHL, 3600);
    std::vector<std::string> queues;
    for (int i = 0; i < 80; i++) {
        char name[16];
        std::snprintf(name, sizeof name, "Q%d", i);
        queues.push_back(name);
    }
    ASSERT_EQ(fold(q, statQ(kT0, queues, 3, 940)), 1);
    ASSERT_EQ(fold(q, statQ(kT0, {"Q1"}, 5, 930)), 1);  // a level of its own in the last message
    ASSERT_EQ(fold(q, statQ(kT0 + 3600, {"Q1"}, 7, 940)), 1);
    for (int64_t avg : {int64_t{3000000000}, int64_t{4000000000}}) {
        auto r = stt::rawRecord(&evStatChlFamily, {i32(31, 940)},
                                {{str(3501, "CH1"), str(2017, "QM2"), str(3506, "host"), i32(1511, 1),
                                  i64(31139, avg), i32(31180, 1)}});
        evCFSetIntervalEnd(r.data(), kT0);
        ASSERT_EQ(fold(c, r), 1);
    }
    ASSERT_TRUE(syncPoint());
    EXPECT_EQ(aggrOnQueue(), 5u);
    EXPECT_EQ(wrap_->count(MqVerb::MQPUT) >= 5, true);
    auto beforeQ = snapshot(q), beforeC = snapshot(c);
    uint32_t msgs = q->aggrMsgs + c->aggrMsgs;
    ASSERT_EQ(reloadAll(), 1);
    q = find("AGGQ");
    c = find("AGGC");
    EXPECT_EQ(q->aggrMsgs + c->aggrMsgs, msgs);
    EXPECT_EQ(snapshot(q), beforeQ);
    EXPECT_EQ(snapshot(c), beforeC);
    EXPECT_NE(beforeC.begin()->second.find("NETTIMAVG=7000000000 "), std::string::npos);
    // Nothing loaded is dirty; a change rewrites its message under the same MsgId.
    uint64_t puts = wrap_->count(MqVerb::MQPUT);
    evAggrState.changed = 1;
    ASSERT_TRUE(syncPoint());
    EXPECT_EQ(wrap_->count(MqVerb::MQPUT), puts);
    AggrBin *later = activeBins(q)[1];
    uint8_t msgId[24];
    std::memcpy(msgId, later->messages->msgId, 24);
    ASSERT_EQ(fold(q, statQ(kT0 + 3600, {"Q1"}, 1, 940)), 1);
    ASSERT_TRUE(syncPoint());
    EXPECT_EQ(aggrOnQueue(), 5u);
    EXPECT_EQ(std::memcmp(later->messages->msgId, msgId, 24), 0);
    // A removal of a message already gone succeeds.
    AggrWork work{&evContext, &io_, qmgr_, q, q->definition, later, nullptr, nullptr, nullptr, 0, 0, 0, 0};
    ASSERT_EQ(aggrMsgRemove(&work, 0, later->messages), 1);
    uint32_t left = q->aggrMsgs;
    EXPECT_EQ(aggrMsgRemove(&work, 0, later->messages), 1);
    EXPECT_EQ(q->aggrMsgs, left);
}

TEST_F(AggrQmTest, UnderFailedPutsRemovalsAndCommitsEveryRecordIsCountedOnce) {
    stream("AGG", STREAM_TYPE_STATQ, 3600);
    const std::vector<std::string> queues = {"QA", "QB", "QC"};
    std::mt19937 random(11);
    std::map<std::string, uint64_t> expected;
    uint64_t records = 0;
    int failures = 0;
    // Two records a bin over 30 hourly bins; the sweep runs after every batch.
    for (int batch = 0; batch < 60;) {
        clock_.set(kT0 + batch * 1800 + 20);
        if (random() % 4 == 0) {
            static const struct {
                MqVerb verb;
                MQLONG reason;
            } kFaults[] = {{MqVerb::MQPUT, MQRC_Q_FULL},
                           {MqVerb::MQGET, MQRC_GET_INHIBITED},
                           {MqVerb::MQCMIT, MQRC_BACKED_OUT}};
            const auto &fault = kFaults[random() % 3];
            wrap_->failAt(fault.verb, 1 + random() % 3, fault.reason);
        }
        Stream *s = find("AGG");
        int64_t puts = 1 + batch % 7;
        ASSERT_EQ(fold(s, statQ(kT0 + batch * 1800, queues, puts)), 1);
        bool committed = syncPoint();
        if (committed) {
            // Redelivered until its unit commits: counted once it has.
            for (const std::string &q : queues) expected[q] += static_cast<uint64_t>(puts);
            records += queues.size();
            batch++;
        }
        if (!committed || !absorb()) failures++;
        wrap_->clearRules();
    }
    EXPECT_GT(failures, 0);
    clock_.set(kT0 + 40 * 3600);
    ASSERT_TRUE(absorb());
    ASSERT_EQ(reloadAll(), 1);
    Stream *s = find("AGG");
    EXPECT_EQ(s->activeBins, 0u);
    EXPECT_EQ(aggrOnQueue(), 0u);
    auto sums = storedSums(s);
    uint64_t storedRecords = 0;
    for (const std::string &q : queues) {
        EXPECT_EQ(sums[q].first, expected[q]) << q;
        storedRecords += sums[q].second;
    }
    EXPECT_EQ(storedRecords, records);
}

}  // namespace
