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

// An earlier layout's message of a stream's first bin, put in place of the bin's message; then the
// bin as a reload finds it, and as it is once written again in the present layout at the next sync point.
class AggrLayoutTest : public AggrQmTest {
protected:
    std::string asEarlierLayout(Stream *s, int mode, uint32_t portionLength) {
        AggrBin *bin = activeBins(s)[0];
        AggrFamily *family = aggrFamilyByType(s->definition->type);
        std::vector<uint8_t> body(8192);
        evCFWriter w;
        evCFWriterInit(&w, body.data(), static_cast<uint32_t>(body.size()), &evStreamStringPool, 850);
        evCFSetCommand(w.record, evCFGetCommand(aggrBody(bin->messages)));
        evCFSetIntervalEnd(w.record, bin->end);
        evCFSetIntervalStart(w.record, bin->start);
        w.fixedLength = 1;
        EXPECT_EQ(aggrWriteCommon(&w, family, evStringLookup(qmgr_->nameId), s->definition->streamId, 940),
                  1);
        EXPECT_EQ(aggrWritePortion(&w, family, entries(bin)[0]->record, mode), 1);
        EXPECT_EQ(w.length, family->commonLength + portionLength);
        EXPECT_NE(portionLength, family->portionLength);
        evCFSetItemCount(w.record, static_cast<uint16_t>(bin->messages->commonCount + 1));
        AggrWork work{&evContext, &io_, qmgr_, s, s->definition, bin, nullptr, nullptr, nullptr, 0, 0, 0, 0};
        EXPECT_EQ(aggrMsgRemove(&work, 0, bin->messages), 1);
        MQMD md = MQMD_DEFAULT;
        md.CorrelId[0] = AGGR_CORREL_KIND;
        md.Persistence = MQPER_PERSISTENT;
        MQPMO pmo = MQPMO_DEFAULT;
        pmo.Options = MQPMO_NO_SYNCPOINT;
        MQLONG cc = 0, rc = 0;
        raw_.MQPUT(hconn_, hobj_, &md, &pmo, static_cast<MQLONG>(w.length), body.data(), &cc, &rc);
        EXPECT_EQ(rc, MQRC_NONE);
        const std::string name = s->definition->name;
        EXPECT_EQ(reloadAll(), 1);
        const std::string loaded = snapshot(find(name.c_str())).begin()->second;
        // The next sync point writes it again, in the present layout, in place of the old copy.
        EXPECT_TRUE(syncPoint());
        EXPECT_EQ(aggrOnQueue(), 1u);
        EXPECT_EQ(reloadAll(), 1);
        s = find(name.c_str());
        EXPECT_EQ(snapshot(s).begin()->second, loaded);
        EXPECT_EQ(activeBins(s)[0]->messages->portions, 1u);
        return loaded;
    }
};

// A bin's sums past 2^32 come back whole from its aggregation message; a message of the first layout
// (32-bit counters in 7-byte slots) loads as before and is written again in the present layout.
TEST_F(AggrLayoutTest, SumsPast32BitsComeBackWholeAndTheFirstLayoutLoads) {
    Stream *q = stream("AGGQ", STREAM_TYPE_STATQ, 3600);
    const int64_t big = 3000000000;  // arrives as a negative MQCFIN
    for (int i = 0; i < 2; i++) ASSERT_EQ(fold(q, statQ(kT0, {"Q1"}, big)), 1);
    ASSERT_TRUE(syncPoint());
    ASSERT_EQ(reloadAll(), 1);
    q = find("AGGQ");
    const std::string whole = snapshot(q).begin()->second;
    EXPECT_NE(whole.find(" PUT=6000000000 PUTNP=6000000000 "), std::string::npos) << whole;
    reinterpret_cast<StatQRecord *>(entries(activeBins(q)[0])[0]->record)->putsNP = big;  // fits 32 bits
    const std::string first =
        asEarlierLayout(q, AGGR_FIXED_V1, aggrFamilyByType(STREAM_TYPE_STATQ)->portionLengthV1);
    EXPECT_NE(first.find(" PUT=3000000000 PUTNP=3000000000 "), std::string::npos) << first;
}

// MQI accounting's connection durations add past 2^31 and come back whole; a message of the second
// layout (the duration in a 7-byte slot) loads as before.
TEST_F(AggrLayoutTest, ConnectionDurationsComeBackWholeAndTheSecondLayoutLoads) {
    Stream *a = stream("AGGA", STREAM_TYPE_ACCTMQI, 3600);
    for (int i = 0; i < 2; i++) {
        stt::RecordBuilder b(167, 0, kT0 - 60, kT0);
        b.add(Items{str(3024, "app"), i32(31108, 2000000000), i32(31003, 1)});
        ASSERT_EQ(fold(a, b.record()), 1);
    }
    ASSERT_TRUE(syncPoint());
    ASSERT_EQ(reloadAll(), 1);
    a = find("AGGA");
    const std::string whole = snapshot(a).begin()->second;
    EXPECT_NE(whole.find(" CONNDURN=4000000000 "), std::string::npos) << whole;
    const std::string second =
        asEarlierLayout(a, AGGR_FIXED_V2, aggrFamilyByType(STREAM_TYPE_ACCTMQI)->portionLengthV2);
    EXPECT_EQ(second, whole);
}

// A channel bin's record count, AVGBATCH and the averages' counts add past 2^32 and come back whole; a
// message of the third layout (those in 7-byte slots) loads as before, their 32 bits unsigned.
TEST_F(AggrLayoutTest, CountsAndAveragesComeBackWholeAndTheThirdLayoutLoads) {
    Stream *c = stream("AGGC", STREAM_TYPE_STATCHL, 3600);
    for (int i = 0; i < 2; i++) {
        stt::RecordBuilder b(166, 0, kT0 - 60, kT0);
        b.add(Items{i32(31, 940)})
            .group(8012)
            .add(Items{str(3501, "CH1"), i32(1511, 1), i32(39409, 2000000000), i32(31146, -1),
                       i32(31182, static_cast<int32_t>(0xC0000000u))})
            .end();
        ASSERT_EQ(fold(c, b.record()), 1);
    }
    ASSERT_TRUE(syncPoint());
    ASSERT_EQ(reloadAll(), 1);
    c = find("AGGC");
    const std::string whole = snapshot(c).begin()->second;
    for (const char *sum : {" RECORDS=4000000000 ", " CNTAVGPBS=6442450944 ", " AVGBATCH=8589934590 "})
        EXPECT_NE(whole.find(sum), std::string::npos) << sum << "\n" << whole;
    auto *record = reinterpret_cast<StatChlRecord *>(entries(activeBins(c)[0])[0]->record);
    record->records = 3000000000;  // each fits 32 bits unsigned
    record->countBatchSize = 4000000000;
    record->avgBatchSize = 4294967295;
    const std::string third =
        asEarlierLayout(c, AGGR_FIXED_V3, aggrFamilyByType(STREAM_TYPE_STATCHL)->portionLengthV3);
    for (const char *value : {" RECORDS=3000000000 ", " CNTAVGPBS=4000000000 ", " AVGBATCH=4294967295 "})
        EXPECT_NE(third.find(value), std::string::npos) << value << "\n" << third;
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
