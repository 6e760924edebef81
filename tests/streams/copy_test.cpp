// Stream copy over an in-memory data queue: the order records reach the target in, consolidation and
// commits in batches, folding into an aggregating target, the source's bins absorbed, and the
// progress lines with their ETA.
#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "streams/blobtest.h"
#include "streams/fakedq.h"

namespace st {
namespace {

constexpr uint32_t kRecord = 120;  // two to a 300-byte blob, one to a 200-byte blob

struct Seen {
    std::vector<std::string> progress;
    std::vector<std::pair<int32_t, std::string>> errors;
    std::vector<int> fromCopy;
    std::vector<uint32_t> runDueAt;  // open bins at each absorb of due bins
    std::vector<int> reschedule;
    std::vector<Area *> absorbedWith;
    Stream *target = nullptr;
};
Seen seen;

class CopyFake : public StreamTest {
protected:
    void SetUp() override {
        StreamTest::SetUp();
        fdq::reset();
        table_ = fdq::table();
        io_ = EvStreamIo{&table_, 1, 2, 0, 100, 1};
        installHooks(&qmgr_);
        seen = Seen{};
        EvStreamHooks hooks = *evStreamGetHooks();
        hooks.progressReply = [](QmgrContext *, int32_t, const char *text) {
            seen.progress.emplace_back(text);
            return 1;
        };
        hooks.errorReply = [](QmgrContext *, int32_t, int32_t reason, const char *text) {
            seen.errors.emplace_back(reason, text);
            return 1;
        };
        evStreamSetHooks(&hooks);
    }
    void TearDown() override {
        CSSetMemFailHook(nullptr);
        freeStreams(&qmgr_);
        StreamTest::TearDown();
    }
    Stream *qmgrStream(const char *name, uint32_t type = STREAM_TYPE_EVENTS, uint32_t aggrInt = 0) {
        StreamDef *def = evStreamDefine(name, -1, type, 0, 0);
        def->aggrInt = aggrInt;
        return evStreamCreate(reinterpret_cast<QmgrEntry *>(&qmgr_), def);
    }
    void fill(Stream *s, const std::vector<std::pair<int32_t, int64_t>> &records) {
        for (auto [n, t] : records) {
            std::vector<uint8_t> r = numbered(n, t, kRecord);
            ASSERT_NE(evStreamAdd(nullptr, s, r.data(), kRecord, t, nullptr), nullptr);
        }
    }
    // The record numbers in stored order: full blobs oldest first, then the current blob.
    static std::vector<int32_t> inOrder(const Stream *s) {
        std::vector<const uint8_t *> blobs;
        for (StreamBlob *b = s->blobs; b; b = b->next) blobs.push_back(evStreamBlobHeader(b));
        std::reverse(blobs.begin(), blobs.end());
        std::vector<int32_t> out;
        auto take = [&](const uint8_t *bh, uint32_t length) {
            for (const BlobEntry &e : walkBlob(bh, length).entries)
                out.push_back(mqiGetI32(e.data, EVCF_HEADER_LENGTH + 3));
        };
        for (const uint8_t *bh : blobs) take(bh, evBlobLength(bh));
        take(evStreamCurrentBlob(s), s->header->used - SH_BLOB);
        return out;
    }

    MQIFunctionTable table_{};
    EvStreamIo io_{};
    FakeQmgr qmgr_;
};

TEST_F(CopyFake, BlobsGoOldestFirstByTheirNewestRecordEachFirstEntryToLast) {
    Stream *source;
    {
        zt::ScopedEnv size("ZUNT_STREAM", "300");
        source = qmgrStream("S");
    }
    fill(source, {{1, 290}, {2, 300}, {3, 100}, {4, 90}, {5, 150}, {6, 200}});  // newest 300, 100, 200
    ASSERT_EQ(blobNumbers(source, false).size(), 2u);
    Stream *target = qmgrStream("T");
    EvStreamCopy copy;
    evStreamCopyInit(&copy, nullptr, &io_, 9033, source, target, 0);
    ASSERT_EQ(evStreamCopy(&copy, nullptr), 1);
    EXPECT_EQ(inOrder(target), (std::vector<int32_t>{3, 4, 5, 6, 1, 2}));
    EXPECT_EQ(inOrder(source), (std::vector<int32_t>{1, 2, 3, 4, 5, 6}));
    // Without a progress interval only the last line goes, not one per record.
    EXPECT_EQ(seen.progress, (std::vector<std::string>{"6 items of 6 copied (100%)"}));
    // Hardened and committed: nothing of the target waits for a later sync point.
    EXPECT_EQ(evBlobFlags(evStreamCurrentBlob(target)) & (BLOB_UPDATED | BLOB_EXISTS), BLOB_EXISTS);
    EXPECT_EQ(fdq::queue().commits, 1u);
}

TEST_F(CopyFake, TwoHundredFiftyBlobsWithFactorHundredConsolidateTwiceInCommittedBatches) {
    zt::ScopedEnv size("ZUNT_STREAM", "200,100");
    Stream *source = qmgrStream("S");
    std::vector<std::pair<int32_t, int64_t>> records;
    std::vector<int32_t> numbers;
    for (int32_t n = 1; n <= 250; n++) records.emplace_back(n, 1000 + n), numbers.push_back(n);
    fill(source, records);
    Stream *target = qmgrStream("T");
    EvStreamCopy copy;
    evStreamCopyInit(&copy, nullptr, &io_, 9033, source, target, 0);
    ASSERT_EQ(evStreamCopy(&copy, nullptr), 1);
    EXPECT_EQ(blobNumbers(target, true), (std::vector<uint64_t>{2, 1}));
    EXPECT_EQ(target->smallBlobCount, 49u);
    EXPECT_EQ(fdq::queue().commits, 3u);            // one per consolidation, then the last batch
    std::vector<int32_t> copied = inOrder(target);  // big blobs hold their small blobs newest first
    std::sort(copied.begin(), copied.end());
    EXPECT_EQ(copied, numbers);
}

TEST_F(CopyFake, AnAggregatingTargetFoldsEveryRecordAndAbsorbsOnlyAboveTheHeldBins) {
    Stream *source = qmgrStream("S", STREAM_TYPE_STATQ);
    std::vector<std::pair<int32_t, int64_t>> records;
    for (int32_t n = 1; n <= 12; n++) records.emplace_back(n, 1000 + n);
    fill(source, records);
    Stream *target = qmgrStream("T", STREAM_TYPE_STATQ, 60);
    EvStreamHooks hooks = *evStreamGetHooks();
    hooks.aggrAddRecord = [](QmgrContext *, QmgrEntry *, Stream *stream, int fromCopy, const uint8_t *,
                             uint32_t) {
        seen.fromCopy.push_back(fromCopy);
        stream->activeBins++;  // every record opens a bin
        return 1;
    };
    hooks.aggrRunDue = [](EmitContext *, Stream *stream, int reschedule) {
        seen.runDueAt.push_back(stream->activeBins);
        seen.reschedule.push_back(reschedule);
        stream->activeBins = 0;
        return 1;
    };
    evStreamSetHooks(&hooks);
    EvStreamCopy copy;
    evStreamCopyInit(&copy, nullptr, &io_, 9033, source, target, 0);
    ASSERT_EQ(evStreamCopyRecords(&copy, nullptr), 1);
    EXPECT_EQ(seen.fromCopy, std::vector<int>(12, 1));
    EXPECT_EQ(seen.runDueAt, std::vector<uint32_t>{11});
    EXPECT_EQ(seen.reschedule, std::vector<int>{0});
    EXPECT_EQ(target->recordCount, 0u);
    EXPECT_EQ(copy.copied, 12u);
}

TEST_F(CopyFake, TheSourcesBinsAreAbsorbedIntoTheTargetWithTheAggregationArea) {
    Stream *source = qmgrStream("S", STREAM_TYPE_STATQ);
    fill(source, {{1, 1000}, {2, 1001}});
    source->activeBins = 1;
    seen.target = qmgrStream("T", STREAM_TYPE_STATQ);
    EvStreamHooks hooks = *evStreamGetHooks();
    hooks.activeBinsByTime = [](Stream *, AggrBin **bins, uint32_t capacity) -> uint32_t {
        static int bin;
        if (capacity) bins[0] = reinterpret_cast<AggrBin *>(&bin);
        return 1;
    };
    hooks.absorb[STREAM_TYPE_STATQ] = [](EmitContext *work, EvStreamCopy *copy, AggrBin *) {
        seen.absorbedWith.push_back(copy->aggrArea);
        std::vector<uint8_t> r = numbered(3, 2000, kRecord);
        evCFSetFlags(r.data(), EVCF_FLAG_AGGREGATED);
        return evStreamStoreRecord(work, copy, r.data(), kRecord);
    };
    evStreamSetHooks(&hooks);

    // Refused: the requester is told, nothing is absorbed.
    AreaFreePool();
    CSSetMemFailHook([](uint64_t size) { return size >= EV_AGGR_AREA_SIZE; });
    EvStreamCopy copy;
    evStreamCopyInit(&copy, nullptr, &io_, 9033, source, seen.target, 0);
    EXPECT_EQ(evStreamCopy(&copy, nullptr), 0);
    CSSetMemFailHook(nullptr);
    EXPECT_EQ(seen.errors, (std::vector<std::pair<int32_t, std::string>>{{2071, "Storage not available."}}));
    EXPECT_TRUE(seen.absorbedWith.empty());

    Stream *target = qmgrStream("U", STREAM_TYPE_STATQ);
    evStreamCopyInit(&copy, nullptr, &io_, 9033, source, target, 0);
    ASSERT_EQ(evStreamCopy(&copy, nullptr), 1);
    ASSERT_EQ(seen.absorbedWith.size(), 1u);
    EXPECT_NE(seen.absorbedWith[0], nullptr);
    EXPECT_EQ(copy.aggrArea, nullptr);
    EXPECT_EQ(inOrder(target), (std::vector<int32_t>{1, 2, 3}));
    EXPECT_EQ(seen.progress.back(), "3 items of 2 copied (100%)");  // absorbed records count too
}

TEST_F(CopyFake, ProgressShowsAnEtaOnlyAfterThreeSecondsWhileTheCopyIsUnderWay) {
    struct Case {
        int64_t elapsed;
        uint64_t copied;
        const char *text;
    };
    const Case cases[] = {
        {10, 50, "50 items of 200 copied (25%) ETA:(30s)"},  {3, 50, "50 items of 200 copied (25%)"},
        {4, 50, "50 items of 200 copied (25%) ETA:(12s)"},   {100, 0, "0 items of 200 copied ( 0%)"},
        {4, 199, "199 items of 200 copied (100%) ETA:(1s)"}, {100, 200, "200 items of 200 copied (100%)"},
        {100, 250, "250 items of 200 copied (100%)"},
    };
    Stream *source = qmgrStream("S");
    source->recordCount = 200;
    for (const Case &c : cases) {
        EvStreamCopy copy;
        evStreamCopyInit(&copy, nullptr, &io_, 9033, source, qmgrStream("T"), 5);
        EXPECT_EQ(copy.nextProgress, clock_.now() + 5);
        copy.copied = c.copied;
        clock_.set(copy.startTime + c.elapsed);
        evStreamCopyProgress(&copy);
        EXPECT_EQ(seen.progress.back(), c.text);
        EXPECT_EQ(copy.nextProgress, clock_.now() + 5);
    }
}

}  // namespace
}  // namespace st
