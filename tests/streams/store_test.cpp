// Stream storage over an in-memory data queue: the flags and stamps a backout restores, the commit
// before a blob of the open unit is written again, the numbers "$STRINGS" gives its big blobs, and
// how string housekeeping marks, measures and selects.
#include <algorithm>
#include <cstdio>

#include "streams/blobtest.h"
#include "streams/fakedq.h"

namespace st {
namespace {

int traps = 0;
void countTrap(const char *) {
    traps++;
}

class StoreFake : public StreamTest {
protected:
    void SetUp() override {
        StreamTest::SetUp();
        fdq::reset();
        table_ = fdq::table();
        io_ = EvStreamIo{&table_, 1, 2, 0, 100, 1};
        other_ = EvStreamIo{&table_, 3, 4, 0, 100, 1};
        installHooks(&qmgr_);
    }
    void TearDown() override {
        evStringsRemoveHolder(markAll);
        freeStreams(&qmgr_);
        StreamTest::TearDown();
    }
    // A stream of QM1, reached by the walks over every stream as the configuration's would be.
    Stream *qmgrStream(const char *name) {
        return evStreamCreate(reinterpret_cast<QmgrEntry *>(&qmgr_), evStreamDefine(name, -1, 1, 0, 0));
    }
    // A "$STRINGS" stream of 4096-byte blobs merged by fours.
    Stream *strings() {
        zt::ScopedEnv size("ZUNT_STREAM", "4096,4");
        Stream *s = evStringsCreateStream();
        EXPECT_EQ(evStringsInit(0), 1);
        return s;
    }
    static std::vector<uint8_t> holder;
    static void markAll() { evStringMarkRecord(holder.data(), static_cast<uint32_t>(holder.size())); }

    MQIFunctionTable table_{};
    EvStreamIo io_{}, other_{};
    FakeQmgr qmgr_;
};
std::vector<uint8_t> StoreFake::holder;

TEST_F(StoreFake, ABackoutMakesEveryBlobOfTheUnitWrittenAgainWithItsFormerExists) {
    zt::ScopedEnv size("ZUNT_STREAM", "200");
    Stream *s = qmgrStream("S");
    std::vector<uint8_t> r = numbered(1, 100, 120);
    ASSERT_NE(evStreamAdd(nullptr, s, r.data(), 120, 100, nullptr), nullptr);
    ASSERT_NE(evStreamAdd(nullptr, s, r.data(), 120, 100, nullptr), nullptr);  // blob 1 closed
    ASSERT_EQ(evStreamHarden(&io_, s), 1);
    ASSERT_EQ(evStreamCommit(&io_), 1);
    uint8_t *blob1 = evStreamBlobHeader(s->blobs);
    ASSERT_NE(evBlobFlags(blob1) & BLOB_EXISTS, 0u);

    ASSERT_NE(evStreamAdd(nullptr, s, r.data(), 120, 100, nullptr), nullptr);  // blob 2 closed, new
    evBlobSetFlags(blob1, evBlobFlags(blob1) | BLOB_UPDATED);                  // blob 1 changed
    ASSERT_EQ(evStreamHarden(&io_, s), 1);
    uint8_t *blob2 = evStreamBlobHeader(s->blobs);
    for (uint8_t *bh : {blob1, blob2, evStreamCurrentBlob(s)}) ASSERT_EQ(evBlobFlags(bh) & BLOB_UPDATED, 0u);
    uint64_t unit = io_.unit;
    evStreamUowBackedOut(&io_);
    EXPECT_EQ(io_.unit, unit + 1);
    EXPECT_EQ(evBlobFlags(blob1) & (BLOB_UPDATED | BLOB_EXISTS), BLOB_UPDATED | BLOB_EXISTS);
    EXPECT_EQ(evBlobFlags(blob2) & (BLOB_UPDATED | BLOB_EXISTS), BLOB_UPDATED);
    EXPECT_EQ(evBlobFlags(evStreamCurrentBlob(s)) & (BLOB_UPDATED | BLOB_EXISTS), BLOB_UPDATED | BLOB_EXISTS);
    EXPECT_NE(s->flags & STREAM_NEEDS_HARDENING, 0u);

    // A committed unit's writes stay as written.
    ASSERT_EQ(evStreamHarden(&io_, s), 1);
    ASSERT_EQ(evStreamCommit(&io_), 1);
    evStreamUowBackedOut(&io_);
    EXPECT_EQ(evBlobFlags(blob2) & (BLOB_UPDATED | BLOB_EXISTS), BLOB_EXISTS);
}

TEST_F(StoreFake, ABlobOfTheOpenUnitIsCommittedFirstAndTheOtherSetsOpenUnitTrapped) {
    Stream *s = makeStream("S");
    std::vector<uint8_t> r = numbered(1, 100);
    auto appendOne = [&] { ASSERT_NE(evStreamAdd(nullptr, s, r.data(), 48, 100, nullptr), nullptr); };
    appendOne();
    ASSERT_EQ(evStreamHarden(&io_, s), 1);
    appendOne();
    uint64_t commits = fdq::queue().commits;
    ASSERT_EQ(evStreamHarden(&io_, s), 1);
    EXPECT_EQ(fdq::queue().commits, commits + 1);

    traps = 0;
    zt::TempDir trapDir;  // the trap line goes to a file there
    zt::ScopedEnv tmp("TMPDIR", trapDir.path().c_str());
    CSTrapHook previous = CSSetTrapHook(countTrap);
    appendOne();
    ASSERT_EQ(evStreamHarden(&other_, s), 1);  // io_'s unit is open over the header
    CSSetTrapHook(previous);
    EXPECT_EQ(traps, 1);
}

TEST_F(StoreFake, AStringsOnlyHardenWritesOnlyStringsButNotesWhatIsDue) {
    zt::ScopedEnv size("ZUNT_STREAM", "200,1");
    Stream *s = qmgrStream("S");
    std::vector<uint8_t> r = numbered(1, 100, 120);
    for (int i = 0; i < 2; i++) ASSERT_NE(evStreamAdd(nullptr, s, r.data(), 120, 100, nullptr), nullptr);
    ASSERT_NE(evStringsCreateStream(), nullptr);
    ASSERT_EQ(evStringsInit(0), 1);
    ASSERT_NE(internNumbered(1), 0u);
    EvHardenBlock block{&io_, 1, 0, 0};
    ASSERT_EQ(evHardenAllStreams(&block), 1);
    EXPECT_EQ(block.consolidationDue, 1);
    EXPECT_NE(s->flags & STREAM_NEEDS_HARDENING, 0u);
    EXPECT_EQ(evStrings.stream->flags & STREAM_NEEDS_HARDENING, 0u);
    EXPECT_EQ(fdq::queue().puts, 1u);  // the "$STRINGS" header alone
}

TEST_F(StoreFake, AHundredThousandMissingBlobsInARowEndTheRangeAsDamaged) {
    Stream *s = qmgrStream("S");
    std::vector<uint8_t> header(evStreamMessage(s), evStreamMessage(s) + STREAM_HEADER_LENGTH);
    mqiPutI64(header.data(), SH_SMALL_FIRST, 1);
    mqiPutI64(header.data(), SH_SMALL_LAST, 1000000);
    uint8_t id[BLOB_ID_LENGTH];
    evBlobIdBuild(id, qmgr_.number, s->streamId, BLOB_KIND_SMALL, 0);
    fdq::put(id, header.data(), header.size());
    OutputCapture out;
    EXPECT_EQ(evStreamLoad(&io_, s), 1);
    EXPECT_NE(out.take().find("Stream 'S' range is damaged at blob 100000: the rest of it skipped"),
              std::string::npos);
    EXPECT_EQ(s->blobs, nullptr);
}

TEST_F(StoreFake, ABlobLongerThanAnyDataQueueMessageIsDamagedAndSkipped) {
    Stream *s = qmgrStream("S");
    std::vector<uint8_t> header(evStreamMessage(s), evStreamMessage(s) + STREAM_HEADER_LENGTH);
    mqiPutI64(header.data(), SH_SMALL_FIRST, 1);
    mqiPutI64(header.data(), SH_SMALL_LAST, 1);
    uint8_t id[BLOB_ID_LENGTH];
    evBlobIdBuild(id, qmgr_.number, s->streamId, BLOB_KIND_SMALL, 0);
    fdq::put(id, header.data(), header.size());
    evBlobIdBuild(id, qmgr_.number, s->streamId, BLOB_KIND_SMALL, 1);
    std::vector<uint8_t> blob(STREAM_MAX_MESSAGE + 1);
    fdq::put(id, blob.data(), blob.size());
    OutputCapture out;
    EXPECT_EQ(evStreamLoad(&io_, s), 1);
    EXPECT_NE(out.take().find("Stream 'S' blob 1 is damaged: skipped"), std::string::npos);
    EXPECT_EQ(s->blobs, nullptr);
}

TEST_F(StoreFake, StringBlobsConsolidateIntoTheFirstFreeBigNumber) {
    struct Case {
        std::vector<uint64_t> big;
        uint64_t expected, first;
    };
    for (const Case &c : {Case{{5, 2, 1}, 3, 1}, Case{{4, 3}, 2, 2}, Case{{}, 1, 1}}) {
        SCOPED_TRACE(c.expected);
        evStringsFree(1);
        fdq::reset();
        Stream *s = strings();
        for (int i = 0; i < 70; i++) internNumbered(i);  // one small blob and the current
        ASSERT_EQ(s->smallBlobCount, 1u);
        StreamBlob **tail = &s->blobs->next;
        for (uint64_t n : c.big) {
            auto *node = static_cast<StreamBlob *>(CSGetMem(sizeof(StreamBlob)));
            *node = StreamBlob{nullptr, AreaGet(BLOB_HEADER_LENGTH, 0, "BLOBMSG"), BlobStamp{}};
            evBlobHeaderInit(evStreamBlobHeader(node), BLOB_BIG | BLOB_EXISTS, n);
            node->area->used = BLOB_HEADER_LENGTH;
            *tail = node;
            tail = &node->next;
        }
        if (!c.big.empty()) {
            mqiPutI64(evStreamMessage(s), SH_BIG_FIRST, static_cast<int64_t>(c.big.back()));
            mqiPutI64(evStreamMessage(s), SH_BIG_LAST, static_cast<int64_t>(c.big.front()));
        }
        uint32_t merged = 0;
        ASSERT_EQ(evStreamConsolidate(&io_, s, &merged), 1);
        EXPECT_EQ(merged, 1u);
        std::vector<uint64_t> numbers = blobNumbers(s, true), sorted = numbers;
        std::sort(sorted.rbegin(), sorted.rend());
        EXPECT_EQ(numbers, sorted);  // still in descending order
        EXPECT_NE(std::find(numbers.begin(), numbers.end(), c.expected), numbers.end());
        EXPECT_EQ(range(s, true).first, c.first);
        // Every string stored in the merged blob now points into the big one.
        const StringEntry *e = evStringLookup(1);
        bool inside = false;
        for (StreamBlob *b = s->blobs; b; b = b->next)
            inside = inside || (e->storedEntry >= evStreamBlobHeader(b) &&
                                e->storedEntry < evStreamBlobHeader(b) + evBlobLength(evStreamBlobHeader(b)));
        EXPECT_TRUE(inside);
    }
}

TEST_F(StoreFake, MarkingCoversEveryFormOfStringIdAndOnlyEventHeaders) {
    Stream *s = strings();
    (void)s;
    std::vector<uint32_t> ids;
    for (int i = 0; i < 8; i++) ids.push_back(internNumbered(i));
    auto marked = [](uint32_t id) { return evStringLookup(id)->storedEntry[ENTRY_MARK] != 0; };
    struct Case {
        const char *what;
        std::vector<uint8_t> items;
        uint16_t flags;
        std::vector<uint32_t> expect;
    };
    auto u32 = [](uint32_t v) {
        return std::vector<uint8_t>{static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8),
                                    static_cast<uint8_t>(v >> 16), static_cast<uint8_t>(v >> 24)};
    };
    auto cat = [](std::vector<uint8_t> a, const std::vector<uint8_t> &b) {
        a.insert(a.end(), b.begin(), b.end());
        return a;
    };
    const Case cases[] = {
        {"string", cat({223, 1, 0}, u32(ids[2])), 0, {ids[2]}},
        {"list", cat(cat({224, 1, 0, 2, 0}, u32(ids[3])), u32(ids[4])), 0, {ids[3], ids[4]}},
        {"filter", cat({14, 1, 1, 0}, u32(ids[5])), 0, {ids[5]}},
        {"bytes", cat({226, 1, 0}, u32(ids[6])), 0, {ids[6]}},
        {"event header", {}, EVCF_FLAG_EVENT, {ids[0], ids[1]}},
        {"statistics header", {}, 0, {}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        for (uint32_t id : ids) evStringLookup(id)->storedEntry[ENTRY_MARK] = 0;
        std::vector<uint8_t> r(EVCF_HEADER_LENGTH, 0);
        evCFSetFlags(r.data(), c.flags);
        evCFSetObjectName(r.data(), ids[0]);
        evCFSetUserId(r.data(), ids[1]);
        r.insert(r.end(), c.items.begin(), c.items.end());
        evCFSetItemCount(r.data(), c.items.empty() ? 0 : 1);
        evStringMarkRecord(r.data(), static_cast<uint32_t>(r.size()));
        for (uint32_t id : ids)
            EXPECT_EQ(marked(id), std::find(c.expect.begin(), c.expect.end(), id) != c.expect.end()) << id;
    }
}

TEST_F(StoreFake, HousekeepingSelectsSparseBigBlobsAndIsRecommendedForThreeWorthTwoBlobs) {
    // Big blobs of 4 small ones each (N = 16384): the test marks every string of the first k.
    struct Case {
        int bigBlobs, usedBlobs;
        bool recommended;
    };
    for (const Case &c : {Case{3, 1, false}, Case{4, 1, true}, Case{4, 4, false}}) {
        SCOPED_TRACE(std::to_string(c.bigBlobs) + " big, " + std::to_string(c.usedBlobs) + " used");
        evStringsFree(1);
        fdq::reset();
        Stream *s = strings();
        std::vector<uint32_t> ids;
        for (int i = 0; ids.size() < 2000 && s->smallBlobCount < uint64_t(4 * c.bigBlobs); i++)
            ids.push_back(internNumbered(i));
        ASSERT_EQ(evStreamConsolidateAll(&io_, s), 1);
        ASSERT_EQ(blobNumbers(s, true).size(), static_cast<size_t>(c.bigBlobs));
        // The strings of the first usedBlobs big blobs (the lowest numbers) are in use.
        holder.assign(EVCF_HEADER_LENGTH, 0);
        uint32_t inUse = 0;
        for (StreamBlob *b = s->blobs; b; b = b->next) {
            const uint8_t *bh = evStreamBlobHeader(b);
            if (!(evBlobFlags(bh) & BLOB_BIG) || evBlobNumber(bh) > uint64_t(c.usedBlobs)) continue;
            for (const BlobEntry &e : walkBlob(bh, evBlobLength(bh)).entries) {
                holder.insert(holder.end(), {223, 1, 0});
                uint8_t id[4];
                mqiPutU32(id, 0, mqiGetU32(e.data, 0));
                holder.insert(holder.end(), id, id + 4);
                inUse++;
            }
        }
        evCFSetItemCount(holder.data(), static_cast<uint16_t>(inUse));
        ASSERT_TRUE(evStringsAddHolder(markAll));
        OutputCapture out;
        ASSERT_EQ(evCheckStringHousekeeping(&io_, 1, 1, 0), 1);
        std::string text = out.take();
        EXPECT_EQ(text.find("Housekeeping recommended") != std::string::npos, c.recommended) << text;
        // A used blob shows 0 % free; an unused one all but its 80-byte header.
        EXPECT_EQ(text.find("Free %  0.00") != std::string::npos, c.usedBlobs > 0) << text;
        EXPECT_EQ(text.find("Free % 99.51") != std::string::npos, c.usedBlobs < c.bigBlobs) << text;
    }
}

}  // namespace
}  // namespace st
