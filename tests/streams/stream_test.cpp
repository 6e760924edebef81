// Runtime streams: the stored bytes of a new stream and of its entries, the times and counts an
// append keeps, closing full blobs, the room of a blob at its boundary, the ZUNT_STREAM override and
// the splitting of records too big for one blob.
#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "streams/streamtest.h"

namespace {

using st::OutputCapture;
using st::StreamTest;

std::string bytes(const uint8_t *p, size_t n) {
    return std::string(reinterpret_cast<const char *>(p), n);
}
std::string hex(const char *h) {
    auto b = zt::fromHex(h);
    return std::string(b.begin(), b.end());
}

Area *add(Stream *s, const std::vector<uint8_t> &r, int64_t time = 0, uint8_t **entry = nullptr) {
    return evStreamAdd(nullptr, s, r.data(), static_cast<uint32_t>(r.size()), time, entry);
}

// The blob numbers of the full blobs in list order.
std::vector<uint64_t> blobNumbers(const Stream *s) {
    std::vector<uint64_t> numbers;
    for (StreamBlob *b = s->blobs; b; b = b->next) numbers.push_back(evBlobNumber(evStreamBlobHeader(b)));
    return numbers;
}

using StreamLayout = StreamTest;

TEST_F(StreamLayout, ANewStreamHeaderMessageIsByteExact) {
    Stream *s = makeStream();
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->header->used, 160u);
    EXPECT_GE(s->header->size, s->blobSize + 184);
    std::string expected(160, '\0');
    auto put = [&](size_t at, const std::string &b) { expected.replace(at, b.size(), b); };
    put(0, hex("01 00 00 00"));
    put(48, hex("01 00 00 00"));  // stream id 1
    put(56, hex("B8 50"));
    put(76, "*SH*");
    put(80, hex("50 00 00 00"));
    put(152, "*BH*");
    EXPECT_BYTES_EQ(expected, bytes(evStreamMessage(s), 160));
    EXPECT_EQ(evConfigChanged.load(), 1);
}

TEST_F(StreamLayout, AOneByteRecordIsStoredAsATwelveByteEntry) {
    Stream *s = makeStream();
    uint8_t *data = nullptr;
    ASSERT_NE(add(s, {'X'}, 0, &data), nullptr);
    EXPECT_BYTES_EQ(hex("0C 00 00 00 01 00 00 00 58 00 00 00"), bytes(evStreamMessage(s) + 160, 12));
    EXPECT_EQ(data, evStreamMessage(s) + 168);
    EXPECT_EQ(s->header->used, 172u);
    EXPECT_EQ(evBlobLength(evStreamCurrentBlob(s)), 92u);
    EXPECT_TRUE(evBlobFlags(evStreamCurrentBlob(s)) & BLOB_UPDATED);
    EXPECT_TRUE(s->flags & STREAM_NEEDS_HARDENING);
    EXPECT_EQ(s->blobCount, 1u);
}

TEST_F(StreamLayout, TheBlobIdOfASmallBlobIsByteExact) {
    uint8_t id[24];
    evBlobIdBuild(id, 3, 7, BLOB_KIND_SMALL, 12);
    EXPECT_BYTES_EQ(hex("55 00 00 00 03 00 00 00 07 00 00 00 05 00 00 00 0C 00 00 00 00 00 00 00"),
                    bytes(id, 24));
}

TEST_F(StreamLayout, EntriesChainBothWaysAndRoundUpToFourBytes) {
    Stream *s = makeStream();
    add(s, {1});
    add(s, {1, 2, 3, 4});
    add(s, {1, 2, 3, 4, 5});
    const uint8_t *blob = evStreamCurrentBlob(s);
    uint32_t length = evBlobLength(blob);
    EXPECT_EQ(length, 80u + 12 + 12 + 16);
    auto forward = st::walkBlob(blob, length);
    ASSERT_EQ(forward.entries.size(), 3u);
    EXPECT_EQ(forward.last, 0);
    EXPECT_EQ(forward.entries[0].total, 12);
    EXPECT_EQ(forward.entries[1].total, 12);
    EXPECT_EQ(forward.entries[2].total, 16);
    EXPECT_EQ(forward.entries[2].previous, 12);
    EXPECT_EQ(forward.entries[2].dataLength, 5);
    auto backward = st::walkBlob(blob, length, 1);
    ASSERT_EQ(backward.entries.size(), 3u);
    EXPECT_EQ(backward.last, 0);
    EXPECT_EQ(backward.entries[0].offset, forward.entries[2].offset);
    EXPECT_EQ(backward.entries[2].offset, 80u);
    EXPECT_EQ(s->recordCount, 3u);
    EXPECT_EQ(s->bytes, 40u);
}

TEST_F(StreamLayout, TimesKeepNewestOldestAndTheLargestOutOfOrderGap) {
    Stream *s = makeStream();
    add(s, {1}, 100);
    add(s, {2}, 90);
    add(s, {3}, 120);
    add(s, {4});  // no time: no change
    const uint8_t *blob = evStreamCurrentBlob(s);
    EXPECT_EQ(evBlobNewest(blob), 120);
    EXPECT_EQ(evBlobOldest(blob), 90);
    EXPECT_EQ(evBlobGap(blob), 10);
    EXPECT_EQ(evBlobOutOfOrder(blob), 1u);
    EXPECT_EQ(evBlobRecords(blob), 4u);
    EXPECT_EQ(mqiGetI64(evStreamMessage(s), SH_NEWEST), 120);
    EXPECT_EQ(s->lastMessage, clock_.now());
}

using StreamClosing = StreamTest;

TEST_F(StreamClosing, FullBlobsAreNumberedFromTheSmallRangeNewestFirst) {
    Stream *s = makeStream();
    auto record = st::plainRecord(4000);  // two fit a 10240-byte blob, a third does not
    add(s, record, 500);
    add(s, record, 400);
    EXPECT_EQ(s->blobs, nullptr);
    add(s, record, 600);
    const uint8_t *message = evStreamMessage(s);
    EXPECT_EQ(mqiGetI64(message, SH_SMALL_FIRST), 1);
    EXPECT_EQ(mqiGetI64(message, SH_SMALL_LAST), 1);
    EXPECT_EQ(blobNumbers(s), std::vector<uint64_t>{1});
    const uint8_t *first = evStreamBlobHeader(s->blobs);
    EXPECT_EQ(evBlobRecords(first), 2u);
    EXPECT_EQ(evBlobLength(first), 80u + 2 * 4008);
    EXPECT_EQ(s->blobs->area->used, evBlobLength(first));
    EXPECT_EQ(evBlobFlags(first) & (BLOB_EXISTS | BLOB_UPDATED), BLOB_UPDATED);
    EXPECT_EQ(s->oldest, 400);
    // The current blob starts over with the third record only.
    const uint8_t *current = evStreamCurrentBlob(s);
    EXPECT_EQ(evBlobRecords(current), 1u);
    EXPECT_EQ(evBlobOldest(current), 600);
    EXPECT_EQ(evBlobNumber(current), 0u);
    EXPECT_EQ(st::walkBlob(current, evBlobLength(current)).entries[0].previous, 0);

    add(s, record);
    add(s, record);
    EXPECT_EQ(mqiGetI64(message, SH_SMALL_FIRST), 1);
    EXPECT_EQ(mqiGetI64(message, SH_SMALL_LAST), 2);
    EXPECT_EQ(blobNumbers(s), (std::vector<uint64_t>{2, 1}));
    EXPECT_EQ(s->smallBlobCount, 2u);
    EXPECT_EQ(s->blobCount, 3u);
    EXPECT_EQ(s->recordCount, 5u);
}

TEST_F(StreamClosing, ARecordFillingTheRoomExactlyKeepsTheBlobOpen) {
    Stream *s = makeStream();
    add(s, st::plainRecord(5000));
    // 10264 bytes of room, 5008 taken: a record of 5248 bytes takes the remaining 5256.
    ASSERT_EQ(evStreamRoom(s), 5256u);
    ASSERT_NE(add(s, st::plainRecord(5248)), nullptr);
    EXPECT_EQ(s->blobs, nullptr);
    EXPECT_EQ(evStreamRoom(s), 0u);
    ASSERT_NE(add(s, {1}), nullptr);
    EXPECT_EQ(blobNumbers(s), std::vector<uint64_t>{1});
}

using StreamRoom = StreamTest;

TEST_F(StreamRoom, AGroupLessRecordOfBlobSizePlus16FillsAnEmptyBlob) {
    Stream *s = makeStream();
    ASSERT_NE(add(s, st::plainRecord(10256)), nullptr);
    EXPECT_EQ(s->header->used, s->blobSize + 184);
    EXPECT_EQ(s->blobs, nullptr);
}

TEST_F(StreamRoom, OneByteMoreIsRefusedWithoutClosingOrChangingABlob) {
    for (int filled : {0, 1}) {
        SCOPED_TRACE(filled ? "part-filled" : "fresh");
        evStreamDefFreeAll();
        StreamDef *def = evStreamDefine("S", -1, 1, 0, 0);
        Stream *s = evStreamCreate(nullptr, def);
        streams_.push_back(s);
        if (filled) add(s, st::plainRecord(6000), 50);
        std::string before = bytes(evStreamMessage(s), s->header->used);
        uint64_t records = s->recordCount;
        OutputCapture out;
        EXPECT_EQ(add(s, st::plainRecord(10257), 60), nullptr);
        EXPECT_NE(out.take().find("Runtime Error: Blob Size(10240) too small to accommodate primary "
                                  "blob(10265) on stream S"),
                  std::string::npos);
        EXPECT_EQ(s->blobs, nullptr);
        EXPECT_EQ(s->smallBlobCount, 0u);
        EXPECT_EQ(s->recordCount, records);
        EXPECT_BYTES_EQ(before, bytes(evStreamMessage(s), s->header->used));
    }
}

TEST_F(StreamRoom, BlobSizeMinus100IsStoredWhole) {
    // The room is the size asked for, so a record of blob size - 100 fits an empty blob.
    Stream *s = makeStream();
    ASSERT_NE(evStreamAddSplit(nullptr, s, st::plainRecord(10140).data(), 10140, 0, nullptr), nullptr);
    EXPECT_EQ(s->recordCount, 1u);
}

TEST_F(StreamRoom, AStreamWithoutHeaderOrNoStreamIsUnknown) {
    OutputCapture out;
    EXPECT_EQ(evStreamAdd(nullptr, nullptr, nullptr, 0, 0, nullptr), nullptr);
    EXPECT_EQ(evStreamAddSplit(nullptr, nullptr, nullptr, 0, 0, nullptr), nullptr);
    EXPECT_NE(out.take().find("Unknown stream."), std::string::npos);
}

using StreamOverride = StreamTest;

struct OverrideCase {
    const char *value;
    uint32_t size;
    uint16_t factor;
};

TEST_F(StreamOverride, SizeAndFactorAreTakenAndCappedSoThatABigBlobFitsAMessage) {
    const OverrideCase cases[] = {
        {"4096,10", 4096, 10},     {"4096", 4096, 100},         {"65536,100", 65536, 63},
        {"0,7", 10240, 7},         {"100000", 100000, 41},      {"9999999999", 4194120, 1},
        {"5000000,0", 4194120, 1}, {"10240,99999", 10240, 408},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.value);
        zt::ScopedEnv env("ZUNT_STREAM", c.value);
        OutputCapture out;
        Stream *s = makeStream(c.value);
        ASSERT_NE(s, nullptr);
        EXPECT_EQ(s->blobSize, c.size);
        EXPECT_EQ(s->factor, c.factor);
        EXPECT_LE(uint64_t{s->factor} * (s->blobSize + 24) + 80, STREAM_MAX_MESSAGE);
        EXPECT_LE(s->header->size, STREAM_MAX_MESSAGE);
        char line[120];
        std::snprintf(line, sizeof line, "Stream Size Override : Smallsize:%u Consolidation Factor:%u",
                      c.size, unsigned{c.factor});
        EXPECT_NE(out.take().find(line), std::string::npos);
    }
}

TEST_F(StreamOverride, WithoutTheVariableNothingIsPrinted) {
    OutputCapture out;
    Stream *s = makeStream();
    EXPECT_EQ(s->blobSize, 10240u);
    EXPECT_EQ(s->factor, 100);
    EXPECT_EQ(out.take(), "");
}

TEST_F(StreamOverride, EntriesAreCappedByTheirSixteenBitFields) {
    zt::ScopedEnv env("ZUNT_STREAM", "100000");
    OutputCapture out;
    Stream *s = makeStream();
    ASSERT_NE(add(s, st::plainRecord(65524)), nullptr);
    auto walked = st::walkBlob(evStreamCurrentBlob(s), evBlobLength(evStreamCurrentBlob(s)));
    ASSERT_EQ(walked.entries.size(), 1u);
    EXPECT_EQ(walked.entries[0].total, 65532);
    EXPECT_EQ(walked.entries[0].dataLength, 65524);
    EXPECT_EQ(add(s, st::plainRecord(65525)), nullptr);
    EXPECT_NE(out.take().find("too small to accommodate primary blob(65533) on stream S"), std::string::npos);
    EXPECT_EQ(s->recordCount, 1u);
    // A larger record with groups is split into pieces that each fit the fields.
    auto record = st::groupedRecord({40}, std::vector<uint32_t>(7, 10000));
    ASSERT_NE(evStreamAddSplit(nullptr, s, record.data(), static_cast<uint32_t>(record.size()), 0, nullptr),
              nullptr);
    EXPECT_EQ(s->recordCount, 3u);  // 6 groups in the first piece, 1 in the second
}

using StreamSplit = StreamTest;

// The records stored after the first skip records, in order over all blobs (oldest blob first).
std::vector<std::vector<uint8_t>> storedRecords(const Stream *s) {
    std::vector<const uint8_t *> blobs;
    for (StreamBlob *b = s->blobs; b; b = b->next) blobs.push_back(evStreamBlobHeader(b));
    std::reverse(blobs.begin(), blobs.end());
    blobs.push_back(evStreamCurrentBlob(s));
    std::vector<std::vector<uint8_t>> records;
    for (const uint8_t *bh : blobs)
        for (const BlobEntry &e : st::walkBlob(bh, evBlobLength(bh)).entries) {
            std::string data = bytes(e.data, e.dataLength);
            records.emplace_back(data.begin(), data.end());
        }
    return records;
}

// Checks the pieces of a split record: each carries the header and prefix, counts its own items, and
// the groups of all pieces put together are the record's groups.
void expectPieces(const std::vector<std::vector<uint8_t>> &pieces, const std::vector<uint8_t> &record,
                  uint32_t prefixEnd, uint16_t prefixCount, uint32_t maxPiece) {
    std::vector<uint8_t> groups;
    uint32_t groupItems = 0;
    for (const auto &p : pieces) {
        ASSERT_GE(p.size(), prefixEnd);
        EXPECT_LE(p.size(), maxPiece);
        EXPECT_TRUE(std::equal(p.begin(), p.begin() + 28, record.begin()));  // same header and times
        EXPECT_TRUE(std::equal(p.begin() + 32, p.begin() + prefixEnd, record.begin() + 32));
        // The count is the prefix's plus the groups of the piece, as the cursor reads them.
        evCFCursor c;
        evCFCursorInit(&c, nullptr, p.data(), static_cast<uint32_t>(p.size()), 0, 0);
        int32_t cc = 0, rc = 0, topGroups = 0;
        evCFItem item;
        while (evCFNextParm(&c, &item, &cc, &rc), cc == 0)
            if (item.type == MQCFT_GROUP && item.groupId == 0) topGroups++;
        EXPECT_EQ(rc, PCF_END_OF_MESSAGE);
        EXPECT_EQ(c.position, p.size());
        EXPECT_EQ(evCFGetItemCount(p.data()), prefixCount + topGroups);
        groupItems += static_cast<uint32_t>(topGroups);
        groups.insert(groups.end(), p.begin() + prefixEnd, p.end());
    }
    EXPECT_EQ(groupItems + prefixCount, evCFGetItemCount(record.data()));
    EXPECT_TRUE(std::equal(groups.begin(), groups.end(), record.begin() + prefixEnd, record.end()));
}

TEST_F(StreamSplit, ABigRecordIsCutAtGroupBoundariesOnly) {
    Stream *s = makeStream();
    auto record = st::groupedRecord({20, 30}, {3000, 2500, 4000, 1200, 3000, 900, 2000, 5000});
    ASSERT_GE(record.size(), 10240u);
    uint8_t *entry = nullptr;
    ASSERT_NE(evStreamAddSplit(nullptr, s, record.data(), static_cast<uint32_t>(record.size()), 777, &entry),
              nullptr);
    auto pieces = storedRecords(s);
    ASSERT_GE(pieces.size(), 3u);
    expectPieces(pieces, record, 82, 2, 10240 - 108 + 82);
    // Every piece was stored with the time, and *entry is the last piece.
    EXPECT_EQ(evBlobNewest(evStreamCurrentBlob(s)), 777);
    EXPECT_EQ(entry, evStreamCurrentBlob(s) + evBlobLastEntry(evStreamCurrentBlob(s)) + ENTRY_PREFIX);
}

TEST_F(StreamSplit, ARecordWithoutGroupsOrSmallerThanABlobGoesWhole) {
    Stream *s = makeStream();
    auto small = st::groupedRecord({20}, {3000, 3000});
    ASSERT_NE(evStreamAddSplit(nullptr, s, small.data(), static_cast<uint32_t>(small.size()), 0, nullptr),
              nullptr);
    EXPECT_EQ(s->recordCount, 1u);
    OutputCapture out;
    auto plain = st::plainRecord(10300);
    EXPECT_EQ(evStreamAddSplit(nullptr, s, plain.data(), 10300, 0, nullptr), nullptr);
    EXPECT_NE(out.take().find("primary blob(10308)"), std::string::npos);
    EXPECT_EQ(s->recordCount, 1u);
}

TEST_F(StreamSplit, AnOversizedFirstGroupIsAPieceAloneOrFailsWithoutHanging) {
    Stream *s = makeStream();
    // A group above blob size - 108 that still fits an empty blob is stored alone.
    auto fits = st::groupedRecord({20}, {10200, 500});
    ASSERT_NE(evStreamAddSplit(nullptr, s, fits.data(), static_cast<uint32_t>(fits.size()), 0, nullptr),
              nullptr);
    auto pieces = storedRecords(s);
    ASSERT_EQ(pieces.size(), 2u);
    expectPieces(pieces, fits, 52, 1, 10256);
    // One that fits no blob fails, and nothing of the record is stored.
    uint64_t records = s->recordCount;
    auto tooBig = st::groupedRecord({20}, {500, 11000, 500});
    OutputCapture out;
    EXPECT_EQ(evStreamAddSplit(nullptr, s, tooBig.data(), static_cast<uint32_t>(tooBig.size()), 0, nullptr),
              nullptr);
    EXPECT_NE(out.take().find("too small to accommodate primary blob(11060)"), std::string::npos);
    EXPECT_EQ(s->recordCount, records);
}

TEST_F(StreamSplit, ALongPrefixGivesSmallerPiecesThatStillFit) {
    Stream *s = makeStream();
    auto record = st::groupedRecord({3000}, std::vector<uint32_t>(12, 1500));
    ASSERT_NE(evStreamAddSplit(nullptr, s, record.data(), static_cast<uint32_t>(record.size()), 0, nullptr),
              nullptr);
    auto pieces = storedRecords(s);
    // Each piece holds at most blob size + 16 bytes: 3032 of prefix and four groups of 1500.
    expectPieces(pieces, record, 3032, 1, 10256);
    EXPECT_EQ(pieces.size(), 3u);
}

// A padding run just before the first group is a parameter of the prefix: every piece carries it.
TEST_F(StreamSplit, APaddingRunEndingThePrefixIsInEveryPiece) {
    Stream *s = makeStream();
    auto groups = st::groupedRecord({}, {6000, 6000});
    std::vector<uint8_t> record(groups.begin(), groups.begin() + EVCF_HEADER_LENGTH);
    for (uint8_t b : zt::fromHex("E6 01 00 FE FE FE")) record.push_back(b);
    record.insert(record.end(), groups.begin() + EVCF_HEADER_LENGTH, groups.end());
    evCFSetItemCount(record.data(), 4);
    ASSERT_NE(evStreamAddSplit(nullptr, s, record.data(), static_cast<uint32_t>(record.size()), 0, nullptr),
              nullptr);
    auto pieces = storedRecords(s);
    ASSERT_EQ(pieces.size(), 2u);
    for (const auto &p : pieces) {
        EXPECT_EQ(p.size(), 6038u);
        EXPECT_EQ(evCFGetItemCount(p.data()), 3);
    }
    expectPieces(pieces, record, 38, 2, 6038);
}

TEST_F(StreamSplit, DamagedOrShortRecordsAreRefused) {
    zt::ScopedEnv env("ZUNT_STREAM", "100");  // every record takes the split road
    OutputCapture out;
    Stream *s = makeStream();
    uint8_t shortRecord[20] = {};
    EXPECT_EQ(evStreamAddSplit(nullptr, s, shortRecord, sizeof shortRecord, 0, nullptr), nullptr);
    auto record = st::groupedRecord({}, {40, 40});
    record[32] = 99;  // not a lead
    EXPECT_EQ(evStreamAddSplit(nullptr, s, record.data(), static_cast<uint32_t>(record.size()), 0, nullptr),
              nullptr);
    std::string text = out.take();
    EXPECT_NE(text.find("Runtime Error: Error parsing evCFH data RC(2071)"), std::string::npos);
    EXPECT_NE(text.find("Runtime Error: Error parsing evCFH data RC(3001)"), std::string::npos);
    EXPECT_EQ(s->recordCount, 0u);
}

// The check the intake makes before anything changes says what the store would say, in the blob size
// of the process.
TEST_F(StreamSplit, TheFitCheckAgreesWithTheStore) {
    uint8_t shortRecord[20] = {};
    struct Row {
        const char *name;
        const char *override;  // ZUNT_STREAM, or null
        std::vector<uint8_t> record;
        int fits;
        uint32_t blobSize;
    };
    const Row rows[] = {
        {"whole, filling an empty blob", nullptr, st::plainRecord(10256), 1, 10240},
        {"whole, a byte more", nullptr, st::plainRecord(10257), 0, 10240},
        {"cut, an oversized group alone", nullptr, st::groupedRecord({20}, {10200, 500}), 1, 10240},
        {"cut, a group no blob holds", nullptr, st::groupedRecord({20}, {500, 11000, 500}), 0, 10240},
        {"short", "100", std::vector<uint8_t>(shortRecord, shortRecord + sizeof shortRecord), 0, 100},
        {"whole in bigger blobs", "20000", st::plainRecord(10300), 1, 20000},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        std::unique_ptr<zt::ScopedEnv> env;
        if (row.override != nullptr) env = std::make_unique<zt::ScopedEnv>("ZUNT_STREAM", row.override);
        OutputCapture out;
        Stream *s = makeStream();
        const auto length = static_cast<uint32_t>(row.record.size());
        uint32_t blobSize = 0;
        EXPECT_EQ(evStreamRecordFits(row.record.data(), length, &blobSize), row.fits);
        EXPECT_EQ(blobSize, row.blobSize);
        EXPECT_EQ(evStreamAddSplit(nullptr, s, row.record.data(), length, 0, nullptr) != nullptr,
                  row.fits == 1);
    }
}

using BlobWalking = StreamTest;

TEST_F(BlobWalking, DamagedEntriesStopTheWalkWithAnError) {
    Stream *s = makeStream();
    add(s, {1, 2, 3});
    add(s, {4, 5, 6, 7, 8});
    add(s, {9});
    uint32_t length = evBlobLength(evStreamCurrentBlob(s));
    std::vector<uint8_t> good(evStreamCurrentBlob(s), evStreamCurrentBlob(s) + length);
    struct Damage {
        const char *what;
        uint32_t offset;
        uint16_t value;
        int forwardEntries;
        int backwardEntries;
    };
    // Entries at 80 (total 12), 92 (16), 108 (12).
    const Damage damages[] = {
        {"total below 8", 92 + ENTRY_TOTAL, 4, 1, 1},
        {"total not a multiple of 4", 92 + ENTRY_TOTAL, 18, 1, 1},
        {"total past the blob", 108 + ENTRY_TOTAL, 16, 2, 0},
        {"data longer than the total", 92 + ENTRY_DATA_LENGTH, 9, 1, 1},
        {"previous not the entry before", 108 + ENTRY_PREVIOUS, 12, 3, 1},
        {"previous before the first entry", 92 + ENTRY_PREVIOUS, 24, 3, 1},
    };
    for (const Damage &d : damages) {
        SCOPED_TRACE(d.what);
        std::vector<uint8_t> blob = good;
        mqiPutU16(blob.data(), d.offset, d.value);
        auto forward = st::walkBlob(blob.data(), length);
        EXPECT_EQ(forward.entries.size(), static_cast<size_t>(d.forwardEntries));
        auto backward = st::walkBlob(blob.data(), length, 1);
        EXPECT_EQ(backward.entries.size(), static_cast<size_t>(d.backwardEntries));
        EXPECT_TRUE(forward.last < 0 || backward.last < 0);
    }
    // A zero total ends a forward walk early without an error; a length past the buffer is cut.
    std::vector<uint8_t> blob = good;
    mqiPutU16(blob.data(), 92, 0);
    auto ended = st::walkBlob(blob.data(), length);
    EXPECT_EQ(ended.entries.size(), 1u);
    EXPECT_EQ(ended.last, 0);
    EXPECT_EQ(st::walkBlob(good.data(), length - 4).last, -1);
    EXPECT_EQ(st::walkBlob(good.data(), 79).entries.size(), 0u);
    // A last-entry offset past the blob (a fuzz finding: it read beyond the buffer).
    blob = good;
    mqiPutU32(blob.data(), BH_LAST_ENTRY, 0x1000);
    EXPECT_EQ(st::walkBlob(blob.data(), length, 1).last, -1);
    mqiPutU32(blob.data(), BH_LAST_ENTRY, 0xFFFFFFF0);
    EXPECT_EQ(st::walkBlob(blob.data(), length, 1).last, -1);
}

}  // namespace
