// Aggregation on a stand-in queue manager: bins hardened and committed come back whole after the
// memory is dropped, a rewrite keeps one copy under its MsgId, and under failed puts, removals and
// commits every record is counted once when all bins are finally absorbed.
#include <random>

#include "stats/aggr_qm.h"

using namespace agt;
using zt::MqVerb;

namespace {

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

// A bin's sums past 2^32 come back whole from its aggregation message; a message of the first layout
// (32-bit counters in 7-byte slots) loads as before and is written again in the present layout.
TEST_F(AggrQmTest, SumsPast32BitsComeBackWholeAndTheFirstLayoutLoads) {
    Stream *q = stream("AGGQ", STREAM_TYPE_STATQ, 3600);
    const int64_t big = 3000000000;  // arrives as a negative MQCFIN
    for (int i = 0; i < 2; i++) ASSERT_EQ(fold(q, statQ(kT0, {"Q1"}, big)), 1);
    ASSERT_TRUE(syncPoint());
    ASSERT_EQ(reloadAll(), 1);
    q = find("AGGQ");
    const std::string whole = snapshot(q).begin()->second;
    EXPECT_NE(whole.find(" PUT=6000000000 PUTNP=6000000000 "), std::string::npos) << whole;

    // The same bin as the first layout wrote it, in place of its message.
    AggrBin *bin = activeBins(q)[0];
    AggrFamily *family = aggrFamilyByType(STREAM_TYPE_STATQ);
    AggrEntry *entry = entries(bin)[0];
    auto *record = reinterpret_cast<StatQRecord *>(entry->record);
    record->putsNP = big;  // fits the 32-bit slot
    std::vector<uint8_t> body(8192);
    evCFWriter w;
    evCFWriterInit(&w, body.data(), static_cast<uint32_t>(body.size()), &evStreamStringPool, 850);
    evCFSetCommand(w.record, 165);
    evCFSetIntervalEnd(w.record, bin->end);
    evCFSetIntervalStart(w.record, bin->start);
    w.fixedLength = 1;
    ASSERT_EQ(aggrWriteCommon(&w, family, evStringLookup(qmgr_->nameId), q->definition->streamId, 940), 1);
    ASSERT_EQ(aggrWritePortion(&w, family, record, AGGR_FIXED_V1), 1);
    ASSERT_EQ(w.length, family->commonLength + family->portionLengthV1);
    evCFSetItemCount(w.record, static_cast<uint16_t>(bin->messages->commonCount + 1));
    AggrWork work{&evContext, &io_, qmgr_, q, q->definition, bin, nullptr, nullptr, nullptr, 0, 0, 0, 0};
    ASSERT_EQ(aggrMsgRemove(&work, 0, bin->messages), 1);
    MQMD md = MQMD_DEFAULT;
    md.CorrelId[0] = AGGR_CORREL_KIND;
    md.Persistence = MQPER_PERSISTENT;
    MQPMO pmo = MQPMO_DEFAULT;
    pmo.Options = MQPMO_NO_SYNCPOINT;
    MQLONG cc = 0, rc = 0;
    raw_.MQPUT(hconn_, hobj_, &md, &pmo, static_cast<MQLONG>(w.length), body.data(), &cc, &rc);
    ASSERT_EQ(rc, MQRC_NONE);

    ASSERT_EQ(reloadAll(), 1);
    q = find("AGGQ");
    const std::string first = snapshot(q).begin()->second;
    EXPECT_NE(first.find(" PUT=3000000000 PUTNP=3000000000 "), std::string::npos) << first;
    // The next sync point writes it again, in the present layout, in place of the old copy.
    ASSERT_TRUE(syncPoint());
    EXPECT_EQ(aggrOnQueue(), 1u);
    ASSERT_EQ(reloadAll(), 1);
    q = find("AGGQ");
    EXPECT_EQ(snapshot(q).begin()->second, first);
    EXPECT_EQ(activeBins(q)[0]->messages->portions, 1u);
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
