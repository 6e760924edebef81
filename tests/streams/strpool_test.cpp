// The string pool: hashing and table sizes, interning by text and code page, ids, the stored form in
// "$STRINGS", strings following their blob when it closes, the rebuild from stored blobs, the
// CHECKSTRINGS report, and the pool as the compressed-record format uses it.
#include <cstring>
#include <string>
#include <vector>

#include "streams/streamtest.h"

namespace {

using st::OutputCapture;
using st::StreamTest;

class StringPool : public StreamTest {
protected:
    void SetUp() override {
        StreamTest::SetUp();
        ASSERT_EQ(evStringsInit(0), 1);
        ASSERT_NE(evStringsCreateStream(), nullptr);
    }
    static uint32_t intern(const std::string &text, uint32_t ccsid = 850) {
        return evStringIntern(1, ccsid, text.data(), static_cast<uint32_t>(text.size()), 0, nullptr);
    }
    static std::string text(uint32_t id) {
        const StringEntry *e = evStringLookup(id);
        return std::string(e->text, e->length);
    }
    static const StringEntry *entry(uint32_t id) { return evStringLookup(id); }
};

std::string hex(const char *h) {
    auto b = zt::fromHex(h);
    return std::string(b.begin(), b.end());
}

TEST(StringHash, SumsBytesByPowersOf53) {
    EXPECT_EQ(evStringHash("A", 1), 3445u);
    EXPECT_EQ(evStringHash("A", 1) % 1009, 418u);
    EXPECT_EQ(evStringHash("AB", 2), 65u * 53 + 66u * 53 * 53);
    EXPECT_EQ(evStringHash("", 0), 0u);
}

TEST(StringHash, TablesTakeTheFirstPrimeAboveTheCount) {
    EXPECT_EQ(evStringBucketCount(0), 1009u);
    EXPECT_EQ(evStringBucketCount(1008), 1009u);
    EXPECT_EQ(evStringBucketCount(1009), 2003u);
    EXPECT_EQ(evStringBucketCount(100003), 200003u);
    EXPECT_EQ(evStringBucketCount(900006), 900007u);
    EXPECT_EQ(evStringBucketCount(900008), 900007u);
}

TEST_F(StringPool, OneTextUnderTwoCodePagesGetsTwoIdsAndRepeatsOneStoredEntry) {
    uint32_t a = intern("Q1", 850);
    uint32_t b = intern("Q1", 1208);
    EXPECT_NE(a, 0u);
    EXPECT_NE(b, 0u);
    EXPECT_NE(a, b);
    EXPECT_EQ(intern("Q1", 850), a);
    EXPECT_EQ(evStrings.stream->recordCount, 2u);
    EXPECT_EQ(evStrings.strings, 2u);
    EXPECT_EQ(text(a), "Q1");
    EXPECT_EQ(entry(b)->ccsid, 1208u);
    // Prefixes and extensions of a text are strings of their own.
    uint32_t q = intern("Q", 850);
    uint32_t q12 = intern("Q12", 850);
    EXPECT_NE(q, a);
    EXPECT_NE(q12, a);
    EXPECT_EQ(intern("Q", 850), q);
    EXPECT_EQ(intern("Q12", 850), q12);
}

// A burst of new names after a load of few: the tables grow past twice their size, and every string
// is still found by its id and by its text.
TEST_F(StringPool, TablesGrowWithTheStringsAndKeepEveryOneFound) {
    ASSERT_EQ(evStrings.buckets, 1009u);
    std::vector<uint32_t> ids;
    for (int i = 0; i < 5000; i++) ids.push_back(intern("Q." + std::to_string(i)));
    EXPECT_GE(evStrings.buckets, 5000u);
    for (int i = 0; i < 5000; i++) {
        EXPECT_EQ(text(ids[static_cast<size_t>(i)]), "Q." + std::to_string(i));
        EXPECT_EQ(intern("Q." + std::to_string(i)), ids[static_cast<size_t>(i)]) << "found, not added again";
    }
    EXPECT_EQ(evStrings.stream->recordCount, 5000u);
}

TEST_F(StringPool, AStringsStoredFormIsByteExact) {
    uint32_t id = intern("Q1");
    ASSERT_EQ(id, 1u);
    const StringEntry *e = entry(id);
    ASSERT_NE(e->storedEntry, nullptr);
    EXPECT_EQ(e->storedEntry, evStreamCurrentBlob(evStrings.stream) + BLOB_HEADER_LENGTH);
    EXPECT_BYTES_EQ(hex("18 00 00 00 0E 00 00 00 01 00 00 00 52 03 00 00 02 00 51 31 00 00 00 00"),
                    std::string(reinterpret_cast<const char *>(e->storedEntry), 24));
}

TEST_F(StringPool, EmptyOverlongAndTablelessTextsGetNoId) {
    EXPECT_EQ(intern(""), 0u);
    std::string huge(65536, 'x');
    EXPECT_EQ(intern(huge), 0u);
    evStringsFree(0);
    EXPECT_EQ(intern("A"), 0u);
}

TEST_F(StringPool, NewIdsSkipZeroAndIdsInUse) {
    // Ids entered at load raise the highest id; a new id moves past any that is taken.
    uint8_t stored[8] = {};
    EXPECT_EQ(evStringIntern(0, 850, "five", 4, 5, stored), 5u);
    EXPECT_EQ(evStringIntern(0, 850, "three", 5, 3, stored), 3u);
    EXPECT_EQ(evStrings.highestId, 5u);
    EXPECT_EQ(intern("next"), 6u);
    evStrings.highestId = 0xFFFFFFFE;
    EXPECT_EQ(intern("last"), 0xFFFFFFFFu);
    EXPECT_EQ(intern("wrapped"), 1u);  // 0 is skipped
    EXPECT_EQ(intern("after"), 2u);
    EXPECT_EQ(intern("skips"), 4u);  // 3 is taken
    EXPECT_EQ(text(3), "three");
    EXPECT_EQ(text(0xFFFFFFFF), "last");
}

TEST_F(StringPool, UnknownIdsLookUpAsNotPresent) {
    intern("HERE");
    for (uint32_t id : {0u, 2u, 1010u}) {
        const StringEntry *e = evStringLookup(id);
        EXPECT_EQ(e, &evStringNotPresentEntry);
        EXPECT_EQ(std::string(e->text, e->length), "<Not Present>");
        EXPECT_EQ(e->ccsid, 850u);
        EXPECT_EQ(e->id, 0u);
    }
    EXPECT_EQ(std::string(evStringMixedEntry.text, evStringMixedEntry.length), "*");
    EXPECT_EQ(evStringMixedEntry.ccsid, 850u);
    // Through the record format's interface the pool gives its default entry too.
    EvStringView view = evPoolLookup(&evStreamStringPool, 77);
    EXPECT_EQ(std::string(view.text, view.length), "<Not Present>");
    EXPECT_EQ(view.ccsid, 850u);
}

TEST_F(StringPool, ClosingAStringBlobRepointsEveryStringIntoIt) {
    std::vector<uint32_t> ids;
    // Each string takes a 40-byte entry: 256 fill the 10264 bytes of room, the next closes the blob.
    for (int i = 0; i < 300; i++) ids.push_back(intern("STRING.NUMBER." + std::to_string(100000 + i)));
    Stream *s = evStrings.stream;
    ASSERT_NE(s->blobs, nullptr);
    const uint8_t *closed = evStreamBlobHeader(s->blobs);
    uint32_t closedLength = evBlobLength(closed);
    const uint8_t *current = evStreamCurrentBlob(s);
    size_t inClosed = 0;
    for (uint32_t id : ids) {
        const StringEntry *e = entry(id);
        ASSERT_NE(e->storedEntry, nullptr);
        bool inOld = e->storedEntry >= closed && e->storedEntry < closed + closedLength;
        bool inCurrent = e->storedEntry >= current && e->storedEntry < current + evBlobLength(current);
        EXPECT_TRUE(inOld || inCurrent);
        inClosed += inOld;
        // The stored entry holds this very string.
        BlobEntry be{0, mqiGetU16(e->storedEntry, 0), 0, mqiGetU16(e->storedEntry, 4), e->storedEntry + 8};
        StoredString stored;
        ASSERT_EQ(evStoredStringParse(&be, &stored), 1);
        EXPECT_EQ(stored.id, id);
        EXPECT_EQ(std::string(stored.text, stored.length), text(id));
    }
    EXPECT_EQ(inClosed, evBlobRecords(closed));
    EXPECT_EQ(inClosed, 256u);
}

TEST_F(StringPool, ThePoolIsRebuiltFromItsStoredBlobs) {
    std::vector<std::pair<uint32_t, std::string>> strings;
    for (int i = 0; i < 400; i++) {
        std::string t = "APP." + std::to_string(i * 7919);
        strings.emplace_back(intern(t, i % 2 ? 850 : 1208), t);
    }
    ASSERT_NE(evStrings.stream->blobs, nullptr);
    uint32_t highest = evStrings.highestId;
    ASSERT_EQ(evStringsLoad(evStrings.stream), 1);
    EXPECT_EQ(evStrings.countAtLoad, 400u);
    EXPECT_EQ(evStrings.strings, 400u);
    EXPECT_EQ(evStrings.buckets, 1009u);
    EXPECT_EQ(evStrings.highestId, highest);
    for (auto &[id, t] : strings) {
        EXPECT_EQ(text(id), t);
        EXPECT_EQ(entry(id)->storedEntry[8], static_cast<uint8_t>(id));  // points at its own stored entry
    }
    // A text interned again after the load keeps its id and is not stored twice.
    uint64_t records = evStrings.stream->recordCount;
    EXPECT_EQ(intern(strings[5].second, 850), strings[5].first);  // i = 5 went in under 850
    EXPECT_EQ(evStrings.stream->recordCount, records);
}

// A "$STRINGS" stream whose stored entries are written by hand.
void storeRaw(Stream *s, uint32_t id, uint32_t ccsid, const std::string &t) {
    std::vector<uint8_t> data(t.size() + 12);
    evStoredStringWrite(data.data(), id, ccsid, t.data(), static_cast<uint16_t>(t.size()));
    ASSERT_NE(evStreamAdd(nullptr, s, data.data(), static_cast<uint32_t>(data.size()), 0, nullptr), nullptr);
}

TEST_F(StringPool, AStoredDuplicateIsEnteredTwiceAndReported) {
    Stream *s = evStrings.stream;
    storeRaw(s, 7, 850, "DUP.Q");
    storeRaw(s, 7, 850, "DUP.Q");  // the same id twice
    storeRaw(s, 9, 850, "DUP.Q");  // the same text under another id
    storeRaw(s, 8, 0, "ODD");
    storeRaw(s, 11, 1208, "DUP.Q");
    // A damaged entry whose text runs past its data is skipped.
    std::vector<uint8_t> bad(16);
    evStoredStringWrite(bad.data(), 12, 850, "ABCD", 4);
    mqiPutU16(bad.data(), 8, 40);
    ASSERT_NE(evStreamAdd(nullptr, s, bad.data(), static_cast<uint32_t>(bad.size()), 0, nullptr), nullptr);
    ASSERT_EQ(evStringsLoad(s), 1);
    EXPECT_EQ(evStrings.strings, 4u);  // 7 is entered once: its second copy has the same id
    EXPECT_EQ(text(12), "<Not Present>");
    OutputCapture out;
    evStringsReport();
    std::string report = out.take();
    EXPECT_NE(report.find("Duplicate String found: DUP.Q"), std::string::npos) << report;
    EXPECT_NE(report.find("Number of strings:4"), std::string::npos) << report;
    EXPECT_NE(report.find("Duplicate Strings:1"), std::string::npos) << report;
    size_t pages = report.find("Codepages: ");
    ASSERT_NE(pages, std::string::npos) << report;
    std::string line = report.substr(pages, report.find('\n', pages) - pages);
    for (const char *page : {" 850 ", " 0 ", " 1208 "}) EXPECT_NE(line.find(page), std::string::npos) << line;
    EXPECT_NE(report.find("Odd looking codepages:1"), std::string::npos) << report;
}

TEST_F(StringPool, AUniquePoolSaysSo) {
    intern("ONE");
    intern("TWO", 1208);
    OutputCapture out;
    evStringsReport();
    std::string report = out.take();
    EXPECT_NE(report.find("Number of strings:2"), std::string::npos);
    EXPECT_NE(report.find("All strings unique"), std::string::npos);
    EXPECT_EQ(report.find("Odd looking"), std::string::npos);
}

TEST_F(StringPool, AStringThatCannotBeStoredKeepsItsIdAndIsStoredLater) {
    Stream *s = evStrings.stream;
    evStrings.stream = nullptr;
    OutputCapture out;
    uint32_t id = intern("LATER");
    EXPECT_NE(id, 0u);
    EXPECT_NE(out.take().find("Unknown stream."), std::string::npos);
    EXPECT_EQ(entry(id)->storedEntry, nullptr);
    // Closing a blob re-points only strings that have a stored entry.
    evStrings.stream = s;
    for (int i = 0; i < 500; i++) intern("FILL." + std::to_string(i));
    ASSERT_NE(s->blobs, nullptr);
    EXPECT_EQ(entry(id)->storedEntry, nullptr);
    EXPECT_EQ(intern("LATER"), id);
    ASSERT_NE(entry(id)->storedEntry, nullptr);
    EXPECT_EQ(mqiGetU32(entry(id)->storedEntry, 8), id);
}

TEST_F(StringPool, ATextTooLongForAStringBlobIsKeptInMemory) {
    std::string longText(20000, 'L');
    OutputCapture out;
    uint32_t id = intern(longText);
    EXPECT_NE(id, 0u);
    EXPECT_NE(out.take().find("too small to accommodate primary blob(20020) on stream $STRINGS"),
              std::string::npos);
    EXPECT_EQ(entry(id)->storedEntry, nullptr);
    EXPECT_EQ(text(id), longText);
    EXPECT_EQ(evStrings.stream->recordCount, 0u);
    // Interned again it keeps its id, and the refusal is not repeated.
    OutputCapture again;
    EXPECT_EQ(intern(longText), id);
    EXPECT_EQ(again.take(), "");
}

TEST_F(StringPool, CompressedRecordsInternAndResolveThroughThePool) {
    std::vector<uint8_t> buffer(256);
    evCFWriter w;
    ASSERT_EQ(evCFWriterInit(&w, buffer.data(), 256, &evStreamStringPool, 850), 1);
    const char name[] = "SYSTEM.ADMIN.QMGR.EVENT";
    evCFItem item{MQCFT_STRING, 2016, 0, 0, 0, static_cast<int32_t>(std::strlen(name)), 1, 0, name, nullptr};
    int32_t cc = -1, rc = -1;
    evCFAddParm(&w, &item, &cc, &rc);
    ASSERT_EQ(rc, 0);
    EXPECT_EQ(text(1), name);
    evCFCursor c;
    evCFCursorInit(&c, &evStreamStringPool, buffer.data(), w.length, 1, 0);
    evCFItem read;
    evCFNextParm(&c, &read, &cc, &rc);
    ASSERT_EQ(rc, 0);
    EXPECT_EQ(std::string(static_cast<const char *>(read.data), static_cast<size_t>(read.length)), name);
}

}  // namespace
