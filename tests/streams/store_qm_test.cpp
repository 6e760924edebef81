// Streams on a real data queue: what is hardened and committed comes back whole at a reload, one
// message per blob; loading survives missing, duplicated and damaged messages; consolidation, expiry
// and purge leave the queue and memory agreeing.
#include <algorithm>
#include <set>

#include "streams/qmstream.h"

namespace st {
namespace {

using zt::MqVerb;

std::multiset<int32_t> asSet(const std::vector<int32_t> &v) {
    return std::multiset<int32_t>(v.begin(), v.end());
}
std::multiset<int32_t> numbersFrom(int32_t first, int32_t last) {
    std::multiset<int32_t> s;
    for (int32_t n = first; n <= last; n++) s.insert(n);
    return s;
}

class StoreQm : public DataQueueTest {};

// With ZUNT_STREAM "200" a blob takes one record of this size: the next one closes it.
constexpr uint32_t kOnePerBlob = 120;

TEST_F(StoreQm, RoundTripGivesBackEveryBlobAndStoresOneMessagePerBlob) {
    zt::ScopedEnv size("ZUNT_STREAM", "1024");
    Stream *s = stream("S");
    append(s, 1, 31, clock_.now() - 100, 100);  // 9 records a blob: 3 full blobs and 4 in the current
    ASSERT_EQ(s->smallBlobCount, 3u);
    uint32_t qm = evStringIntern(1, 850, "QM1", 3, 0, nullptr);
    ASSERT_EQ(syncPoint(), 1);

    std::vector<std::string> before;
    before.emplace_back(reinterpret_cast<char *>(evStreamMessage(s)), s->header->used);
    for (StreamBlob *b = s->blobs; b; b = b->next)
        before.emplace_back(reinterpret_cast<char *>(evStreamBlobHeader(b)),
                            evBlobLength(evStreamBlobHeader(b)));
    Stream was = *s;

    ASSERT_EQ(reload(), 1);
    s = find("S");
    std::vector<std::string> after;
    after.emplace_back(reinterpret_cast<char *>(evStreamMessage(s)), s->header->used);
    for (StreamBlob *b = s->blobs; b; b = b->next)
        after.emplace_back(reinterpret_cast<char *>(evStreamBlobHeader(b)),
                           evBlobLength(evStreamBlobHeader(b)));
    ASSERT_EQ(after.size(), before.size());
    for (size_t i = 0; i < before.size(); i++) EXPECT_BYTES_EQ(before[i], after[i]) << "blob " << i;
    EXPECT_EQ(s->recordCount, was.recordCount);
    EXPECT_EQ(s->blobCount, was.blobCount);
    EXPECT_EQ(s->smallBlobCount, was.smallBlobCount);
    EXPECT_EQ(s->bytes, was.bytes);
    EXPECT_EQ(s->oldest, was.oldest);
    EXPECT_EQ(std::string(evStringLookup(qm)->text, 3), "QM1");

    std::vector<Stored> stored = contents();
    EXPECT_EQ(stored.size(), 5u);  // S's header and 3 blobs, "$STRINGS"' header
    for (const Stored &m : stored) {
        EXPECT_EQ(copies()[m.correlId], 1);
        EXPECT_EQ(m.md.MsgType, 8);
        EXPECT_EQ(m.md.Persistence, 1);
        EXPECT_EQ(m.md.Expiry, -1);
        EXPECT_EQ(m.md.Encoding, 546);
        EXPECT_EQ(m.md.CodedCharSetId, 850);
        EXPECT_EQ(std::string(m.md.Format, 8), "        ");
    }
}

// The queue holds S's header and small blobs 1 to 8 (4 records each), then each case changes it.
class LoadQm : public DataQueueTest {
protected:
    void SetUp() override {
        DataQueueTest::SetUp();
        size_ = std::make_unique<zt::ScopedEnv>("ZUNT_STREAM", "512");
        s_ = stream("S");
        append(s_, 1, 34, clock_.now() - 100, 100);
        ASSERT_EQ(s_->smallBlobCount, 8u);
        ASSERT_EQ(syncPoint(), 1);
    }
    // S alone dropped and loaded again.
    int reloadS() {
        StreamDef *def = s_->definition;
        freeQmgrStreams();
        s_ = evStreamCreate(qmgr(), def);
        return evStreamLoad(&io_, s_) & evStreamReportOrphans(&io_);
    }
    std::unique_ptr<zt::ScopedEnv> size_;
    Stream *s_ = nullptr;
};

TEST_F(LoadQm, TheRangeBecomesWhatWasFound) {
    for (uint64_t n : {1, 2, 3, 4, 5, 8}) rawRemove(id(s_, BLOB_KIND_SMALL, n));
    ASSERT_EQ(reloadS(), 1);
    EXPECT_EQ(range(s_, false), std::make_pair(uint64_t{6}, uint64_t{7}));
    EXPECT_EQ(s_->smallBlobCount, 2u);
    std::multiset<int32_t> expected = numbersFrom(21, 28);
    expected.insert({33, 34});
    EXPECT_EQ(asSet(recordNumbers(s_)), expected);
}

TEST_F(LoadQm, NoBlobFoundEmptiesTheRangeSoTheNextBlobIsFoundAgain) {
    for (uint64_t n = 1; n <= 8; n++) rawRemove(id(s_, BLOB_KIND_SMALL, n));
    ASSERT_EQ(reloadS(), 1);
    EXPECT_EQ(range(s_, false), std::make_pair(uint64_t{0}, uint64_t{0}));
    append(s_, 35, 40, clock_.now(), 100);  // closes the current blob as small blob 1
    ASSERT_EQ(syncPoint(), 1);
    ASSERT_EQ(reloadS(), 1);
    EXPECT_EQ(range(s_, false), std::make_pair(uint64_t{1}, uint64_t{1}));
    EXPECT_EQ(asSet(recordNumbers(s_)), numbersFrom(33, 40));
}

TEST_F(LoadQm, TheFirstOfTwoCopiesIsUsedAndTheOtherRemoved) {
    rawPut(id(s_, BLOB_KIND_SMALL, 6), "a later copy, never read");
    size_t depth = contents().size();
    ASSERT_EQ(reloadS(), 1);
    EXPECT_EQ(contents().size(), depth - 1);
    EXPECT_EQ(copies()[id(s_, BLOB_KIND_SMALL, 6)], 1);
    EXPECT_EQ(asSet(recordNumbers(s_)), numbersFrom(1, 34));
}

// Without its header message a stream is rebuilt from its full blobs (the header's own records are
// lost); without any message it is a new, empty stream.
TEST_F(LoadQm, NoHeaderMessageRebuildsTheStreamFromItsBlobs) {
    const uint64_t full = s_->recordCount - evBlobRecords(evStreamCurrentBlob(s_));
    ASSERT_GT(full, 0u);
    rawRemove(id(s_, BLOB_KIND_SMALL, 0));
    ASSERT_EQ(reloadS(), 1);
    EXPECT_EQ(s_->recordCount, full);
    ASSERT_NE(s_->blobs, nullptr);
    for (const Stored &m : contents())
        if (mqiGetU32(reinterpret_cast<const uint8_t *>(m.correlId.data()), 8) == s_->streamId)
            rawRemove(m.correlId);
    ASSERT_EQ(reloadS(), 1);
    EXPECT_EQ(s_->recordCount, 0u);
    EXPECT_EQ(s_->blobs, nullptr);
}

TEST_F(LoadQm, AFailingHeaderReadFailsTheLoadInsteadOfMakingANewStream) {
    wrap_->failAt(MqVerb::MQGET, 1, MQRC_GET_INHIBITED);
    EXPECT_EQ(reloadS(), 0);
    EXPECT_NE(evDataQueueCondition.load() & EV_DQ_GET_INHIBITED, 0u);
    evDataQueueCondition = 0;
}

TEST_F(LoadQm, ADamagedEntryIsSkippedNamingTheBlobAndTheRestLoads) {
    std::string blob;
    for (const Stored &m : contents())
        if (m.correlId == id(s_, BLOB_KIND_SMALL, 6)) blob = m.data;
    ASSERT_FALSE(blob.empty());
    blob[BLOB_HEADER_LENGTH + ENTRY_TOTAL] = 3;  // a total below 8
    rawRemove(id(s_, BLOB_KIND_SMALL, 6));
    rawPut(id(s_, BLOB_KIND_SMALL, 6), blob);
    OutputCapture out;
    EXPECT_EQ(reloadS(), 1);
    const std::string text = out.take();
    EXPECT_NE(text.find("Stream 'S' blob 6 is damaged: skipped (CorrelId X'"), std::string::npos) << text;
    EXPECT_NE(text.find("Stream 'S' loaded without 1 damaged and 0 missing blob(s)"), std::string::npos)
        << text;
    std::multiset<int32_t> expected = numbersFrom(1, 20);  // blob 6's 21 to 24 are lost
    for (int32_t n = 25; n <= 34; n++) expected.insert(n);
    EXPECT_EQ(asSet(recordNumbers(s_)), expected);
}

TEST_F(StoreQm, AHeaderLargerThanTheBlobSizeLoadsAndClosesAtTheNextAppend) {
    Stream *s;
    {
        zt::ScopedEnv size("ZUNT_STREAM", "20000");
        s = stream("S");
        append(s, 1, 150, clock_.now(), 100);  // 16200 bytes in the current blob
        ASSERT_EQ(syncPoint(), 1);
    }
    ASSERT_EQ(reload(), 1);  // under the default size of 10240
    s = find("S");
    EXPECT_EQ(s->blobSize, STREAM_BLOB_SIZE);
    EXPECT_EQ(evStreamRoom(s), 0u);
    append(s, 151, 151, clock_.now(), 100);
    EXPECT_EQ(range(s, false), std::make_pair(uint64_t{1}, uint64_t{1}));
    ASSERT_EQ(syncPoint(), 1);
    ASSERT_EQ(reload(), 1);
    EXPECT_EQ(asSet(recordNumbers(find("S"))), numbersFrom(1, 151));
}

TEST_F(StoreQm, ConsolidationMergesTheFirstFactorSmallBlobsIntoOneBigBlob) {
    zt::ScopedEnv size("ZUNT_STREAM", "200,100");
    Stream *s = stream("S");
    Stream *t = stream("T");
    append(s, 1, 151, clock_.now(), kOnePerBlob);
    append(t, 1, 101, clock_.now(), kOnePerBlob);
    ASSERT_EQ(syncPoint(), 1);
    ASSERT_EQ(due_.consolidationDue, 1);

    ASSERT_EQ(evStreamConsolidateAll(&io_, s), 1);
    ASSERT_EQ(evStreamConsolidateAll(&io_, t), 1);
    EXPECT_EQ(blobNumbers(s, true), std::vector<uint64_t>{1});
    EXPECT_EQ(range(s, false), std::make_pair(uint64_t{101}, uint64_t{150}));
    EXPECT_EQ(s->smallBlobCount, 50u);
    EXPECT_EQ(range(t, false), std::make_pair(uint64_t{0}, uint64_t{0}));
    EXPECT_EQ(t->smallBlobCount, 0u);

    // The big blob chains both ways: a backward walk meets each merged record once.
    StreamBlob *big = s->blobs;
    while (!(evBlobFlags(evStreamBlobHeader(big)) & BLOB_BIG)) big = big->next;
    const uint8_t *bh = evStreamBlobHeader(big);
    std::multiset<int32_t> walked;
    for (const BlobEntry &e : walkBlob(bh, evBlobLength(bh), 1).entries)
        walked.insert(mqiGetI32(e.data, EVCF_HEADER_LENGTH + 3));
    EXPECT_EQ(walked, numbersFrom(1, 100));

    std::map<std::string, int> onQueue = copies();
    EXPECT_EQ(onQueue[id(s, BLOB_KIND_BIG, 1)], 1);
    for (uint64_t n = 1; n <= 150; n++)
        EXPECT_EQ(onQueue.count(id(s, BLOB_KIND_SMALL, n)), n > 100 ? 1u : 0u) << n;
    EXPECT_EQ(onQueue.size(), 2u + 50u + 2u);  // S: header, big, 101-150; T: header, big
    ASSERT_EQ(reload(), 1);
    EXPECT_EQ(asSet(recordNumbers(find("S"))), numbersFrom(1, 151));
    EXPECT_EQ(asSet(recordNumbers(find("T"))), numbersFrom(1, 101));
}

TEST_F(StoreQm, ABlobWrittenInTheOpenUnitIsCommittedBeforeItIsWrittenAgainOrPurged) {
    Stream *s = stream("S");
    append(s, 1, 1, clock_.now());
    EvHardenBlock block{&io_, 0, 0, 0};
    ASSERT_EQ(evHardenAllStreams(&block), 1);  // the header is written in the open unit
    append(s, 2, 2, clock_.now());
    uint64_t commits = wrap_->count(MqVerb::MQCMIT);
    ASSERT_EQ(evHardenAllStreams(&block), 1);
    EXPECT_EQ(wrap_->count(MqVerb::MQCMIT), commits + 1);
    ASSERT_EQ(evStreamCommit(&io_), 1);
    EXPECT_EQ(copies()[id(s, BLOB_KIND_SMALL, 0)], 1);

    append(s, 3, 3, clock_.now());
    ASSERT_EQ(evHardenAllStreams(&block), 1);
    StreamPurgeCounts counts{0, 0, 0, 0};
    Stream *slot = s;
    std::string header = id(s, BLOB_KIND_SMALL, 0);
    ASSERT_EQ(evStreamPurge(&io_, qmgr(), s->definition, &slot, &counts, nullptr, 0), 1);
    EXPECT_EQ(slot, nullptr);
    EXPECT_EQ(copies().count(header), 0u);
}

TEST_F(StoreQm, ExpiryTakesABlobWhoseNewestRecordIsExactlyTheRetentionOld) {
    zt::ScopedEnv size("ZUNT_STREAM", "200");
    Stream *s = stream("S", 3600);
    int64_t t0 = clock_.now();
    append(s, 1, 1, t0, kOnePerBlob);
    append(s, 2, 2, t0 + 1, kOnePerBlob);
    append(s, 3, 3, t0 + 2, kOnePerBlob);  // closes blob 2
    ASSERT_EQ(syncPoint(), 1);
    clock_.set(t0 + 3600);
    OutputCapture out;
    int removed = 0;
    ASSERT_EQ(evStreamExpire(&io_, s, &removed), 1);
    EXPECT_EQ(removed, 1);
    ASSERT_EQ(evStreamExpire(&io_, s, &removed), 1);
    EXPECT_EQ(removed, 0);  // blob 2's newest record is a second younger
    clock_.set(t0 + 3601);
    ASSERT_EQ(evStreamExpire(&io_, s, &removed), 1);
    EXPECT_EQ(removed, 1);
    ASSERT_EQ(syncPoint(), 1);
    std::string text = out.take();
    EXPECT_NE(text.find("Housekeeping check at 01:10:00"), std::string::npos) << text;
    EXPECT_EQ(text.find("Housekeeping check at"), text.rfind("Housekeeping check at"));
    ASSERT_EQ(reload(), 1);
    EXPECT_EQ(recordNumbers(find("S")), std::vector<int32_t>{3});
    EXPECT_EQ(range(find("S"), false), std::make_pair(uint64_t{0}, uint64_t{0}));
    EXPECT_EQ(contents().size(), 1u);
}

TEST_F(StoreQm, PurgeOfEverythingRemovesEveryCopyAndTheStream) {
    zt::ScopedEnv size("ZUNT_STREAM", "200");
    Stream *s = stream("S");
    append(s, 1, 1, clock_.now(), kOnePerBlob);
    append(s, 2, 2, clock_.now() + 10 * 86400, kOnePerBlob);  // a blob dated in the future goes too
    append(s, 3, 3, clock_.now(), kOnePerBlob);
    ASSERT_EQ(syncPoint(), 1);
    rawPut(id(s, BLOB_KIND_SMALL, 1), "copy");
    rawPut(id(s, BLOB_KIND_SMALL, 0), "copy");
    uint32_t streamId = s->streamId;
    Stream **slot = &qmgr_.streams;
    StreamPurgeCounts counts{0, 0, 0, 0};
    ASSERT_EQ(evStreamPurge(&io_, qmgr(), s->definition, slot, &counts, nullptr, 0), 1);
    EXPECT_EQ(counts.records, 3u);
    EXPECT_EQ(qmgr_.streams, nullptr);
    for (const Stored &m : contents()) EXPECT_NE(mqiGetU32(m.correlId.data(), 8), streamId);
    EXPECT_EQ(hookLog().logLines, std::vector<std::string>{"PURGE EVSTREAM('S') QMGR('QM1') "});
}

TEST_F(StoreQm, PurgeByAgeLowersCountsAndRangesSoConsolidationStops) {
    zt::ScopedEnv size("ZUNT_STREAM", "200,2");
    Stream *s = stream("S");
    append(s, 1, 3, clock_.now() - 10 * 86400, kOnePerBlob);
    append(s, 4, 4, clock_.now(), kOnePerBlob);
    ASSERT_EQ(syncPoint(), 1);
    StreamPurgeCounts counts{5, 0, 0, 0};
    Stream *slot = s;
    ASSERT_EQ(evStreamPurge(&io_, qmgr(), s->definition, &slot, &counts, nullptr, 0), 1);
    EXPECT_EQ(counts.blobs, 3u);
    EXPECT_EQ(s->smallBlobCount, 0u);
    EXPECT_EQ(s->recordCount, 1u);
    EXPECT_EQ(range(s, false), std::make_pair(uint64_t{0}, uint64_t{0}));
    s->smallBlobCount = 2;  // as the count stood before: consolidation finds nothing and stops
    EXPECT_EQ(evStreamConsolidateAll(&io_, s), 1);
    s->smallBlobCount = 0;
    ASSERT_EQ(syncPoint(), 1);
    ASSERT_EQ(reload(), 1);
    EXPECT_EQ(recordNumbers(find("S")), std::vector<int32_t>{4});
}

TEST_F(StoreQm, BlobsPurgedBeforeAFailedRemovalStayPurged) {
    zt::ScopedEnv size("ZUNT_STREAM", "200");
    Stream *s = stream("S");
    append(s, 1, 5, clock_.now() - 10 * 86400, kOnePerBlob);
    append(s, 6, 6, clock_.now(), kOnePerBlob);
    ASSERT_EQ(syncPoint(), 1);
    wrap_->failAt(MqVerb::MQGET, 3, MQRC_GET_INHIBITED);
    StreamPurgeCounts counts{5, 0, 0, 0};
    Stream *slot = s;
    EXPECT_EQ(evStreamPurge(&io_, qmgr(), s->definition, &slot, &counts, nullptr, 0), 0);
    EXPECT_EQ(counts.reason, MQRC_GET_INHIBITED);
    EXPECT_EQ(counts.blobs, 2u);
    evDataQueueCondition = 0;
    ASSERT_EQ(syncPoint(), 1);
    ASSERT_EQ(reload(), 1);
    EXPECT_EQ(asSet(recordNumbers(find("S"))), (std::multiset<int32_t>{1, 2, 3, 6}));
}

}  // namespace
}  // namespace st
