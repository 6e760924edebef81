// Failures of the data queue at each call of a harden, a consolidation and a string housekeeping: the
// step fails, the backout gives the blobs it wrote their flags back, a retry completes, and after each
// a reload gives every committed record once and leaves no message that no blob loads.
#include <cstdio>
#include <set>

#include "streams/qmstream.h"

namespace st {
namespace {

using zt::MqVerb;

constexpr uint32_t kOnePerBlob = 120;  // with ZUNT_STREAM "200" the next record closes the blob

class FaultsQm : public DataQueueTest {
protected:
    void add(Stream *s, int count) {
        append(s, next_, next_ + count - 1, clock_.now(), kOnePerBlob);
        for (int i = 0; i < count; i++) pending_.insert(next_++);
    }
    int commitPoint() {
        int ok = syncPoint();
        if (ok) {
            committed_.insert(pending_.begin(), pending_.end());
            pending_.clear();
        }
        return ok;
    }
    // Memory is dropped and loaded again: every committed record once, every message of the queue
    // a loaded blob (one copy each).
    void expectReloadMatchesTheQueue(const char *what) {
        SCOPED_TRACE(what);
        ASSERT_EQ(reload(), 1);
        Stream *s = find("S");
        std::vector<int32_t> numbers = recordNumbers(s);
        EXPECT_EQ(std::multiset<int32_t>(numbers.begin(), numbers.end()), committed_);
        size_t blobs = 0, strings = 0;
        for (StreamBlob *b = s->blobs; b; b = b->next) blobs++;
        for (StreamBlob *b = evStrings.stream->blobs; b; b = b->next) strings++;
        size_t stored = 0, storedStrings = 0;
        for (const auto &[correlId, n] : copies()) {
            EXPECT_EQ(n, 1);
            if (mqiGetU32(correlId.data(), 8) == s->streamId) stored++;
            if (mqiGetU32(correlId.data(), 4) == 0) storedStrings++;
        }
        EXPECT_EQ(stored, 1 + blobs);
        if (storedStrings) {
            EXPECT_EQ(storedStrings, 1 + strings);
        }
        pending_.clear();
    }
    int32_t next_ = 1;
    std::multiset<int32_t> committed_, pending_;
};

TEST_F(FaultsQm, AHardenFailingAtEachPutIsBackedOutAndWrittenAgain) {
    zt::ScopedEnv size("ZUNT_STREAM", "200");
    Stream *s = stream("S");
    add(s, 2);
    ASSERT_EQ(commitPoint(), 1);
    for (uint64_t k = 1; k <= 3; k++) {  // three puts: two closed blobs and the header
        SCOPED_TRACE(k);
        add(s, 2);
        wrap_->failAt(MqVerb::MQPUT, k, MQRC_Q_FULL);
        EXPECT_EQ(syncPoint(), 0);
        EXPECT_NE(evDataQueueCondition.load() & EV_DQ_DEPTH_HIGH, 0u);
        evDataQueueCondition = 0;
        backOut();
        EXPECT_NE(s->flags & STREAM_NEEDS_HARDENING, 0u);
        // Each blob of the unit is written by the next harden: UPDATED again, or not on the queue.
        auto writtenAgain = [](const uint8_t *bh) {
            return (evBlobFlags(bh) & BLOB_UPDATED) || !(evBlobFlags(bh) & BLOB_EXISTS);
        };
        EXPECT_TRUE(writtenAgain(evStreamCurrentBlob(s)));
        EXPECT_TRUE(writtenAgain(evStreamBlobHeader(s->blobs)));
        EXPECT_TRUE(writtenAgain(evStreamBlobHeader(s->blobs->next)));
        ASSERT_EQ(commitPoint(), 1);
        expectReloadMatchesTheQueue("retried harden");
        s = find("S");
    }
    // A failed commit ends the connection; the unit's records are not on the queue.
    add(s, 2);
    wrap_->failAt(MqVerb::MQCMIT, 1, MQRC_BACKED_OUT, MQCC_WARNING);
    EXPECT_EQ(syncPoint(), 0);
    EXPECT_EQ(hookLog().ended, 1);
    expectReloadMatchesTheQueue("failed commit");
}

struct Fault {
    MqVerb verb;
    uint64_t k;
    MQLONG reason;
};
void PrintTo(const Fault &f, std::ostream *out) {
    *out << zt::mqVerbName(f.verb) << " #" << f.k << " " << f.reason;
}
std::string faultName(const ::testing::TestParamInfo<Fault> &info) {
    return std::string(zt::mqVerbName(info.param.verb)) + "_" + std::to_string(info.param.k) + "_" +
           std::to_string(info.param.reason);
}

class ConsolidationFaultsQm : public FaultsQm, public ::testing::WithParamInterface<Fault> {};

// A consolidation of 4 blobs: MQGET 1-4 remove them, then the header and the big blob are each
// removed (MQGET 5, 6) and put (MQPUT 1, 2), then MQCMIT.
TEST_P(ConsolidationFaultsQm, AFailedConsolidationLeavesTheQueueAsItWas) {
    zt::ScopedEnv size("ZUNT_STREAM", "200,4");
    Stream *s = stream("S");
    add(s, 6);
    ASSERT_EQ(commitPoint(), 1);
    Fault f = GetParam();
    wrap_->failAt(f.verb, f.k, f.reason, f.reason == MQRC_BACKED_OUT ? MQCC_WARNING : MQCC_FAILED);
    EXPECT_EQ(evStreamConsolidateAll(&io_, s), 0);
    if (f.verb == MqVerb::MQCMIT)
        EXPECT_EQ(hookLog().ended, 1);
    else
        backOut();
    evDataQueueCondition = 0;
    expectReloadMatchesTheQueue("after the failure");
    s = find("S");
    ASSERT_EQ(evStreamConsolidateAll(&io_, s), 1);
    EXPECT_EQ(blobNumbers(s, true), std::vector<uint64_t>{1});
    expectReloadMatchesTheQueue("after the retry");
}

INSTANTIATE_TEST_SUITE_P(EachCall, ConsolidationFaultsQm,
                         ::testing::Values(Fault{MqVerb::MQGET, 1, MQRC_GET_INHIBITED},
                                           Fault{MqVerb::MQGET, 3, MQRC_GET_INHIBITED},
                                           Fault{MqVerb::MQGET, 6, MQRC_GET_INHIBITED},
                                           Fault{MqVerb::MQPUT, 1, MQRC_Q_FULL},
                                           Fault{MqVerb::MQPUT, 2, MQRC_Q_FULL},
                                           Fault{MqVerb::MQCMIT, 1, MQRC_BACKED_OUT}),
                         faultName);

class HousekeepingFaultsQm : public FaultsQm, public ::testing::WithParamInterface<Fault> {};

// Three sparse big string blobs are rewritten into one: MQGET and MQPUT of the new blob, of the
// header, then the removal of the two dropped blobs, then MQCMIT.
TEST_P(HousekeepingFaultsQm, AFailedHousekeepingLeavesEveryStringAsItWas) {
    zt::ScopedEnv size("ZUNT_STREAM", "4096,4");
    evStringsFree(1);
    Stream *strings = evStringsCreateStream();
    ASSERT_TRUE(evStringsInit(0));
    std::vector<uint32_t> ids;
    for (int i = 0; i < 1000; i++) ids.push_back(internNumbered(i));
    ASSERT_EQ(commitPoint(), 1);
    ASSERT_EQ(evStreamConsolidateAll(&io_, strings), 1);
    Stream *s = stream("S");
    std::vector<uint8_t> r = numbered(next_, clock_.now());
    mqiPutU32(r.data(), 16, ids[300]);
    evCFSetFlags(r.data(), EVCF_FLAG_EVENT);
    ASSERT_NE(evStreamAdd(qmgr(), s, r.data(), static_cast<uint32_t>(r.size()), clock_.now(), nullptr),
              nullptr);
    pending_.insert(next_++);
    ASSERT_EQ(commitPoint(), 1);
    ASSERT_EQ(reload(), 1);

    Fault f = GetParam();
    wrap_->failAt(f.verb, f.k, f.reason, f.reason == MQRC_BACKED_OUT ? MQCC_WARNING : MQCC_FAILED);
    EXPECT_EQ(evCheckStringHousekeeping(&io_, 1, 0, 1), 0);
    if (f.verb == MqVerb::MQCMIT)
        EXPECT_EQ(hookLog().ended, 1);
    else
        backOut();
    evDataQueueCondition = 0;
    expectReloadMatchesTheQueue("after the failure");
    EXPECT_NE(evStringLookup(ids[20]), &evStringNotPresentEntry);  // nothing was removed

    ASSERT_EQ(evCheckStringHousekeeping(&io_, 1, 0, 1), 1);
    expectReloadMatchesTheQueue("after the retry");
    EXPECT_NE(evStringLookup(ids[300]), &evStringNotPresentEntry);
    EXPECT_EQ(evStringLookup(ids[20]), &evStringNotPresentEntry);
}

INSTANTIATE_TEST_SUITE_P(EachCall, HousekeepingFaultsQm,
                         ::testing::Values(Fault{MqVerb::MQPUT, 1, MQRC_Q_FULL},
                                           Fault{MqVerb::MQPUT, 2, MQRC_Q_FULL},
                                           Fault{MqVerb::MQGET, 1, MQRC_GET_INHIBITED},
                                           Fault{MqVerb::MQGET, 4, MQRC_GET_INHIBITED},
                                           Fault{MqVerb::MQCMIT, 1, MQRC_BACKED_OUT}),
                         faultName);

}  // namespace
}  // namespace st
