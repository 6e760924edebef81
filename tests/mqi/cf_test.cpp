// The compressed record format: golden bytes of the writer, date and time folding in fixed zones, the
// readers against short and damaged records, the compressor on real event shapes, and round trips
// back to standard PCF.
#include <algorithm>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "mqi/mempool.h"
#include "mqi/mqi.h"
#include "platform/platform.h"
#include "testing/testing.h"

namespace {

// A writer over a record of fixed capacity, with its own pool.
struct Writer {
    explicit Writer(uint32_t capacity = 4096, bool event = false) : buf(capacity, 0xEE) {
        evCFWriterInit(&w, buf.data(), capacity, &mp.pool, 850);
        if (event) evCFSetFlags(buf.data(), EVCF_FLAG_EVENT);
    }
    int32_t add(const evCFItem &item) {
        int32_t cc = -1, rc = -1;
        evCFAddParm(&w, &item, &cc, &rc);
        EXPECT_EQ(cc, rc ? 2 : 0);
        return rc;
    }
    int32_t integer(int32_t id, int32_t v) {
        return add(evCFItem{MQCFT_INTEGER, id, 0, 0, 0, 4, 1, v, nullptr, nullptr});
    }
    int32_t integer64(int32_t id, int64_t v) {
        return add(evCFItem{MQCFT_INTEGER64, id, 0, 0, 0, 8, 1, v, nullptr, nullptr});
    }
    int32_t string(int32_t id, const std::string &s, uint32_t ccsid = 0) {
        return add(
            evCFItem{MQCFT_STRING, id, 0, 0, ccsid, static_cast<int32_t>(s.size()), 1, 0, s.data(), nullptr});
    }
    int32_t group(int32_t id) { return add(evCFItem{MQCFT_GROUP, id, 0, 0, 0, 0, 0, 0, nullptr, nullptr}); }
    int32_t end(int32_t id = 1) {
        return add(evCFItem{PCF_TYPE_GROUP_END, id, 0, 0, 0, 0, 0, 0, nullptr, nullptr});
    }
    std::string items() const { return std::string(buf.begin() + 32, buf.begin() + w.length); }
    std::string record() const { return std::string(buf.begin(), buf.begin() + w.length); }

    MemStringPool mp;
    std::vector<uint8_t> buf;
    evCFWriter w{};
};

std::string hex(const std::string &h) {
    auto b = zt::fromHex(h);
    return std::string(b.begin(), b.end());
}

// Reads a record to its end.
std::vector<evCFItem> readAll(const EvStringPool *pool, const uint8_t *record, uint32_t length,
                              int32_t *lastRc, uint32_t resolve = 1) {
    evCFCursor c;
    evCFCursorInit(&c, pool, record, length, resolve, 0);
    std::vector<evCFItem> out;
    for (int i = 0; i < 100000; i++) {
        evCFItem item;
        int32_t cc, rc;
        evCFNextParm(&c, &item, &cc, &rc);
        *lastRc = rc;
        if (cc) break;
        out.push_back(item);
    }
    return out;
}

TEST(EvCFWriter, IntegersTakeTheShortestLeadForm) {
    struct Case {
        int32_t v;
        const char *bytes;
    } cases[] = {{10, "F0 03 00"},
                 {11, "9D 03 00 0B"},
                 {12287, "CC 03 00 FF"},
                 {12288, "DC 03 00 00 30"},
                 {32767, "03 03 00 FF 7F 00 00"},
                 {-32768, "03 03 00 00 80 FF FF"},
                 {-4, "DC 03 00 FC FF"},
                 {5000, "F6 03 00"},
                 {-3, "E3 03 00"},
                 {999999999, "F9 03 00"}};
    for (const Case &k : cases) {
        SCOPED_TRACE(k.v);
        Writer w;
        w.integer(3, k.v);
        EXPECT_BYTES_EQ(hex(k.bytes), w.items());
        EXPECT_EQ(evCFGetItemCount(w.buf.data()), 1);
    }
    Writer w64;
    w64.integer64(3, 300);
    w64.integer64(3, -1);
    w64.integer64(3, 5);
    w64.integer64(3, 70000);
    EXPECT_BYTES_EQ(
        hex("FB 03 00 2C 01  17 03 00 FF FF FF FF FF FF FF FF  FA 03 00 05  FC 03 00 70 11 01 00"),
        w64.items());
}

TEST(EvCFWriter, DateAndTimeFoldIntoOneTimestampReadAsLocalTime) {
    zt::ScopedTZ tz("UTC0");
    Writer w;
    w.string(MQCA_ALTERATION_DATE, "2025-03-02  ");
    EXPECT_EQ(w.w.length, 32u);  // held
    w.string(MQCA_ALTERATION_TIME, "13.45.00");
    EXPECT_BYTES_EQ(hex("DE EB 07 EC 07 DC 60 C4 67 00 00 00 00"), w.items());
    EXPECT_EQ(evCFGetItemCount(w.buf.data()), 1);

    // Rebuilt as UTC: two strings of their fixed lengths.
    int32_t rc;
    auto items = readAll(&w.mp.pool, w.buf.data(), w.w.length, &rc);
    ASSERT_EQ(items.size(), 1u);
    EXPECT_EQ(items[0].type, EVCF_DATE_TIME);
    EXPECT_EQ(items[0].secondId, MQCA_ALTERATION_TIME);
    auto *out = static_cast<uint8_t *>(CSGetMem(256));
    MQPCFInitHeader(out, MQCFT_RESPONSE, 0);
    PcfCursor pcf;
    MQPCFInitBuilder(&pcf, out, 256, 1, 0, &out);
    EXPECT_EQ(evCFToPcfParm(&w.mp.pool, &pcf, &items[0]), 0);
    ASSERT_EQ(pcf.position, 36 + 32 + 28);
    EXPECT_EQ(mqiGetI32(out, 36 + 4), 32);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(out) + 56, 10), "2025-03-02");
    EXPECT_EQ(mqiGetI32(out, 68 + 4), 28);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(out) + 88, 8), "13.45.00");
    CSFreeMem(out);
}

TEST(EvCFWriter, LocalTimeFollowsDaylightSaving) {
    zt::ScopedTZ tz("GMT0BST,M3.5.0/1,M10.5.0");
    Writer w;
    w.string(MQCA_ALTERATION_DATE, "2025-06-02");
    w.string(MQCA_ALTERATION_TIME, "13.45.00");
    ASSERT_EQ(w.w.length, 32u + 13u);
    EXPECT_EQ(mqiGetI64(w.buf.data(), 32 + 5), 1748868300);
}

// The second before 1970 is a time like any other, not a failed conversion.
TEST(EvCFWriter, TheLastSecondOf1969FoldsLikeAnyOtherTime) {
    zt::ScopedTZ tz("UTC0");
    Writer w;
    w.string(MQCA_ALTERATION_DATE, "1969-12-31");
    w.string(MQCA_ALTERATION_TIME, "23.59.59");
    EXPECT_BYTES_EQ(hex("DE EB 07 EC 07 FF FF FF FF FF FF FF FF"), w.items());
    EXPECT_EQ(evCFGetItemCount(w.buf.data()), 1);
}

TEST(EvCFWriter, ATableDateWaitsForItsOwnTimeAndOtherHalvesAreFlushedAsStrings) {
    zt::ScopedTZ tz("UTC0");
    Writer w;
    w.string(MQCA_CREATION_DATE, "2025-01-01");
    w.string(MQCA_Q_NAME, "Q1");
    w.string(MQCA_ALTERATION_DATE, "2025-02-02");
    // The string first, then the first date flushed by the second date, which stays pending.
    uint32_t q1 = w.mp.idOf("Q1"), d1 = w.mp.idOf("2025-01-01");
    ASSERT_NE(d1, 0u);
    std::string want = hex("DF E0 07") + std::string(reinterpret_cast<char *>(&q1), 4) + hex("DF D4 07") +
                       std::string(reinterpret_cast<char *>(&d1), 4);
    EXPECT_BYTES_EQ(want, w.items());
    EXPECT_EQ(w.w.pendingDateId, MQCA_ALTERATION_DATE);
    EXPECT_EQ(evCFFlushPending(&w.w), 0);
    EXPECT_EQ(evCFGetItemCount(w.buf.data()), 3);
}

TEST(EvCFWriter, PendingHalvesAreFlushedBeforeAGroupBoundary) {
    zt::ScopedTZ tz("UTC0");
    Writer w;
    w.string(MQCA_ALTERATION_DATE, "2025-01-01");
    w.group(8001);
    w.string(MQCA_ALTERATION_TIME, "10.00.00");
    w.end(8001);
    int32_t rc;
    auto items = readAll(&w.mp.pool, w.buf.data(), w.w.length, &rc);
    ASSERT_EQ(items.size(), 4u);
    EXPECT_EQ(items[0].type, MQCFT_STRING);
    EXPECT_EQ(items[0].groupId, 0);
    EXPECT_EQ(items[1].type, MQCFT_GROUP);
    EXPECT_EQ(items[2].type, MQCFT_STRING);
    EXPECT_EQ(items[2].groupId, 8001);
    EXPECT_EQ(items[3].type, PCF_TYPE_GROUP_END);
}

TEST(EvCFWriter, BlankStringsAreEmptyAndEmptyListsAreKept) {
    Writer w;
    w.string(2016, "    \t\n");
    EXPECT_BYTES_EQ(hex("DD E0 07"), w.items());
    Writer l;
    l.add(evCFItem{MQCFT_STRING_LIST, 2011, 0, 0, 0, 0, 0, 0, "", nullptr});
    EXPECT_BYTES_EQ(hex("E0 DB 07 00 00"), l.items());
    int32_t rc;
    auto items = readAll(&l.mp.pool, l.buf.data(), l.w.length, &rc);
    ASSERT_EQ(items.size(), 1u);
    EXPECT_EQ(items[0].type, EVCF_STRING_ID_LIST);
    EXPECT_EQ(items[0].count, 0);
}

TEST(EvCFWriter, OversizedValuesGoWholeAndComeBackExactly) {
    Writer w(600000);
    std::string big(70000, 'x');
    big[69999] = 'y';
    EXPECT_EQ(w.integer(80000, 7), 0);
    EXPECT_EQ(w.string(2016, big, 1208), 0);
    std::vector<int32_t> many(70000, 3);
    EXPECT_EQ(w.add(evCFItem{MQCFT_INTEGER_LIST, 1002, 0, 0, 0, 280000, 70000, 0, many.data(), nullptr}), 0);
    EXPECT_EQ(w.add(evCFItem{MQCFT_INTEGER_FILTER, 1003, 0, 0, 0, 4, 300, 9, nullptr, nullptr}), 0);
    EXPECT_EQ(w.buf[32], 255);
    int32_t rc;
    auto items = readAll(&w.mp.pool, w.buf.data(), w.w.length, &rc);
    EXPECT_EQ(rc, PCF_END_OF_MESSAGE);
    ASSERT_EQ(items.size(), 4u);
    for (const auto &i : items) EXPECT_EQ(i.type, EVCF_STRUCT);
    EXPECT_EQ(items[0].parmId, 80000);

    auto *out = static_cast<uint8_t *>(CSGetMem(64));
    MQPCFInitHeader(out, MQCFT_RESPONSE, 0);
    PcfCursor pcf;
    MQPCFInitBuilder(&pcf, out, 64, 1, 0, &out);
    for (const auto &i : items) EXPECT_EQ(evCFToPcfParm(&w.mp.pool, &pcf, &i), 0);
    PcfCursor back;
    MQPCFInitParser(&back, out, pcf.position, 0);
    int32_t type, id, len, count, cc;
    void *v;
    MQPCFGetNextParm(&back, &type, &id, &v, &len, &count, &cc, &rc);
    EXPECT_EQ(id, 80000);
    EXPECT_EQ(mqiGetI32(v, 0), 7);
    MQPCFGetNextParm(&back, &type, &id, &v, &len, &count, &cc, &rc);
    EXPECT_EQ(type, MQCFT_STRING);
    EXPECT_EQ(back.lastCcsid, 1208u);
    EXPECT_EQ(std::string(static_cast<char *>(v), static_cast<size_t>(len)), big);
    MQPCFGetNextParm(&back, &type, &id, &v, &len, &count, &cc, &rc);
    EXPECT_EQ(count, 70000);
    MQPCFGetNextParm(&back, &type, &id, &v, &len, &count, &cc, &rc);
    EXPECT_EQ(type, MQCFT_INTEGER_FILTER);
    EXPECT_EQ(count, 300);
    CSFreeMem(out);
}

TEST(EvCFWriter, GroupIdsAndCountsBeyondSixteenBitsAreRefused) {
    Writer w;
    EXPECT_EQ(w.group(70000), MQRCCF_CFGR_PARM_ID_ERROR);
    EXPECT_EQ(w.w.length, 32u);
    evCFSetItemCount(w.buf.data(), 65535);
    EXPECT_EQ(w.integer(1, 1), MQRC_STORAGE_NOT_AVAILABLE);
    EXPECT_EQ(w.w.length, 32u);
}

TEST(EvCFWriter, AFullWriterRefusesAndKeepsAValidRecord) {
    Writer w(40);
    EXPECT_EQ(w.integer(1, 123456789), 0);  // 7 bytes: 39 used
    std::string before = w.record();
    EXPECT_EQ(w.integer(2, 5), MQRC_STORAGE_NOT_AVAILABLE);
    EXPECT_EQ(w.string(2016, "ABC"), MQRC_STORAGE_NOT_AVAILABLE);
    EXPECT_EQ(w.group(8001), MQRC_STORAGE_NOT_AVAILABLE);
    EXPECT_EQ(w.record(), before);
    int32_t rc;
    EXPECT_EQ(readAll(&w.mp.pool, w.buf.data(), w.w.length, &rc).size(), 1u);
    EXPECT_EQ(rc, PCF_END_OF_MESSAGE);
}

TEST(EvCFWriter, GroupsNestTenDeepAndReadBackThroughTheCursor) {
    Writer w;
    for (int i = 0; i < 10; i++) EXPECT_EQ(w.group(8001 + i), 0);
    EXPECT_EQ(w.group(9000), MQRC_FORMAT_NOT_SUPPORTED);
    EXPECT_EQ(w.integer(5, 5), 0);
    for (int i = 0; i < 10; i++) EXPECT_EQ(w.end(), 0);
    EXPECT_EQ(w.end(), MQRC_INCOMPLETE_GROUP);
    int32_t rc;
    auto items = readAll(&w.mp.pool, w.buf.data(), w.w.length, &rc);
    EXPECT_EQ(rc, PCF_END_OF_MESSAGE);
    ASSERT_EQ(items.size(), 21u);
    EXPECT_EQ(items[10].groupId, 8010);
    for (int i = 0; i < 10; i++) {
        EXPECT_EQ(items[11 + static_cast<size_t>(i)].type, PCF_TYPE_GROUP_END);
        EXPECT_EQ(items[11 + static_cast<size_t>(i)].parmId, 8010 - i);  // each its own id
    }
}

TEST(EvCFReader, ARecordClaimingMoreItemsThanItHoldsEndsAtItsEnd) {
    Writer w;
    w.integer(1, 1);
    w.integer(2, 2);
    evCFSetItemCount(w.buf.data(), 3);
    int32_t rc;
    EXPECT_EQ(readAll(&w.mp.pool, w.buf.data(), w.w.length, &rc).size(), 2u);
    EXPECT_EQ(rc, PCF_END_OF_MESSAGE);
    uint8_t tiny[20] = {};
    EXPECT_EQ(readAll(nullptr, tiny, sizeof tiny, &rc).size(), 0u);
    EXPECT_EQ(rc, PCF_END_OF_MESSAGE);
    EXPECT_EQ(evCFFindParm(tiny, sizeof tiny, 1, 0), nullptr);
}

TEST(EvCFReader, UnknownStringIdsReadAsNotPresent) {
    Writer w;
    w.add(evCFItem{EVCF_STRING_ID, 2016, 0, 0, 0, 0, 0, 4242, nullptr, nullptr});
    int32_t rc;
    auto items = readAll(&w.mp.pool, w.buf.data(), w.w.length, &rc);
    ASSERT_EQ(items.size(), 1u);
    EXPECT_EQ(items[0].type, MQCFT_STRING);
    EXPECT_EQ(std::string(static_cast<const char *>(items[0].data), static_cast<size_t>(items[0].length)),
              "<Not Present>");
    EXPECT_EQ(items[0].ccsid, 850u);
    auto raw = readAll(&w.mp.pool, w.buf.data(), w.w.length, &rc, 0);
    EXPECT_EQ(raw[0].type, EVCF_STRING_ID);
    EXPECT_EQ(raw[0].value, 4242);
}

TEST(EvCFReader, ItemsCutByTheRecordEndAreRefusedWithoutMoving) {
    Writer w;
    w.integer(1, 123456789);
    w.string(2016, "ABC");
    std::vector<int32_t> list = {1, 2, 3};
    w.add(evCFItem{MQCFT_INTEGER_LIST, 1002, 0, 0, 0, 12, 3, 0, list.data(), nullptr});
    w.add(evCFItem{MQCFT_BYTE_STRING, 7001, 0, 0, 0, 3, 1, 0, "xyz", nullptr});
    std::string full = w.record();
    std::vector<size_t> boundaries = {32, 39, 46, 63};  // where an item ends: cut there, the record just ends
    for (size_t n = 33; n < full.size(); n++) {
        SCOPED_TRACE(n);
        std::vector<uint8_t> cut(full.begin(), full.begin() + static_cast<long>(n));
        evCFCursor c;
        evCFCursorInit(&c, &w.mp.pool, cut.data(), static_cast<uint32_t>(n), 1, 0);
        evCFItem item;
        int32_t cc = 0, rc = 0;
        uint32_t at = c.position;
        while (at = c.position, evCFNextParm(&c, &item, &cc, &rc), cc == 0) {
        }
        bool boundary = std::find(boundaries.begin(), boundaries.end(), n) != boundaries.end();
        EXPECT_EQ(rc, boundary ? PCF_END_OF_MESSAGE : MQRC_STRUC_LENGTH_ERROR);
        EXPECT_EQ(c.position, at);
        if (boundary) continue;
        int32_t consumed = evCFDecodeParm(&w.mp.pool, cut.data() + at, cut.data() + n, &item, &cc, &rc);
        EXPECT_EQ(consumed, 0);
        EXPECT_EQ(rc, MQRC_STRUC_LENGTH_ERROR);
    }
    uint8_t bad[33] = {};
    evCFSetItemCount(bad, 1);
    bad[32] = 1;  // an invalid lead
    int32_t rc;
    readAll(nullptr, bad, sizeof bad, &rc);
    EXPECT_EQ(rc, MQRCCF_CFH_TYPE_ERROR);
}

// evCFItemsEnd says what a cursor's walk to the end says, without decoding: for records of every item
// form and groups (nested as deep as allowed, or a level deeper once damaged), cut at every length,
// with every byte set to each of a few telling values, and with item counts above and below the truth.
TEST(EvCFReader, ItemsEndAgreesWithTheCursorOnDamagedRecords) {
    std::vector<std::string> records;
    {
        Writer w;
        w.integer(1, 7);
        w.integer(2, 123456789);
        w.integer64(3, 1234567890123LL);
        w.string(2016, "ABC");
        std::vector<int32_t> list = {1, 2, 3};
        w.add(evCFItem{MQCFT_INTEGER_LIST, 1002, 0, 0, 0, 12, 3, 0, list.data(), nullptr});
        w.add(evCFItem{MQCFT_BYTE_STRING, 7001, 0, 0, 0, 3, 1, 0, "xyz", nullptr});
        w.group(8001);
        w.integer(4, 4);
        w.group(8002);
        w.string(2017, "DEF");
        w.end();
        w.end();
        w.integer(5, 5);
        records.push_back(w.record());
    }
    {
        Writer w;
        for (int i = 0; i < 10; i++) w.group(8001 + i);
        w.integer(5, 5);
        for (int i = 0; i < 10; i++) w.end();
        std::string deep = w.record();
        records.push_back(deep);
        // An eleventh group, a copy of the tenth's item (5 bytes, the last before the integer):
        // deeper than a cursor reads.
        const size_t tenth = EVCF_HEADER_LENGTH + 9 * 5;
        records.push_back(deep.substr(0, tenth + 5) + deep.substr(tenth, 5) + deep.substr(tenth + 5));
    }
    auto cursorEnds = [](const std::string &r) {
        int32_t rc = 0;
        readAll(nullptr, reinterpret_cast<const uint8_t *>(r.data()), static_cast<uint32_t>(r.size()), &rc,
                0);
        return rc == PCF_END_OF_MESSAGE ? 1 : 0;
    };
    auto agree = [&cursorEnds](const std::string &r) {
        return evCFItemsEnd(reinterpret_cast<const uint8_t *>(r.data()), static_cast<uint32_t>(r.size())) ==
               cursorEnds(r);
    };
    int checked = 0, ended = 0;
    for (size_t n = 0; n < records.size(); n++) {
        SCOPED_TRACE(n);
        const std::string &full = records[n];
        ASSERT_EQ(cursorEnds(full), n == 2 ? 0 : 1);
        for (size_t length = 0; length <= full.size(); length++, checked++) {
            EXPECT_TRUE(agree(full.substr(0, length))) << "cut at " << length;
            ended += cursorEnds(full.substr(0, length));
        }
        for (size_t at = EVCF_HEADER_LENGTH; at < full.size(); at++)
            for (uint8_t value : {uint8_t{0}, uint8_t{1}, uint8_t{0xFF}, uint8_t{EVCF_LEAD_GROUP},
                                  uint8_t{EVCF_LEAD_PADDING}, uint8_t{EVCF_LEAD_BYTES}, uint8_t{20}}) {
                std::string damaged = full;
                damaged[at] = static_cast<char>(value);
                EXPECT_TRUE(agree(damaged)) << "byte " << at << " set to " << int{value};
                ended += cursorEnds(damaged);
                checked++;
            }
        for (uint16_t count : {0, 1, 3, 40, 65535}) {
            std::string counted = full;
            evCFSetItemCount(reinterpret_cast<uint8_t *>(counted.data()), count);
            EXPECT_TRUE(agree(counted)) << "item count " << count;
            checked++;
        }
    }
    // Both outcomes were met many times.
    EXPECT_GT(ended, 100);
    EXPECT_GT(checked - ended, 100);
}

// The same agreement for every lead byte, at every item boundary and inside items, each record cut
// after it at every length: evCFItemsEnd measures most items from a table of leads of its own.
TEST(EvCFReader, ItemsEndAgreesWithTheCursorForEveryLead) {
    Writer w;
    w.integer(1, 7);
    w.integer(2, 123456789);
    w.group(8001);
    w.integer64(3, 1234567890123LL);
    w.string(2016, "ABC");
    w.end();
    w.integer(5, 5);
    const std::string full = w.record();
    auto cursorEnds = [](const std::string &r) {
        int32_t rc = 0;
        readAll(nullptr, reinterpret_cast<const uint8_t *>(r.data()), static_cast<uint32_t>(r.size()), &rc,
                0);
        return rc == PCF_END_OF_MESSAGE ? 1 : 0;
    };
    int ended = 0, checked = 0;
    for (size_t at = EVCF_HEADER_LENGTH; at < full.size(); at++)
        for (int value = 0; value < 256; value++) {
            std::string damaged = full;
            damaged[at] = static_cast<char>(value);
            // Room for the longest fixed item past the last one, so that a lead near the end is read.
            damaged += std::string(16, '\x01');
            for (size_t length = at; length <= damaged.size(); length++, checked++) {
                const std::string r = damaged.substr(0, length);
                const int expected = cursorEnds(r);
                ASSERT_EQ(evCFItemsEnd(reinterpret_cast<const uint8_t *>(r.data()),
                                       static_cast<uint32_t>(r.size())),
                          expected)
                    << "byte " << at << " set to " << value << ", cut at " << length;
                ended += expected;
            }
        }
    EXPECT_GT(ended, 1000);
    EXPECT_GT(checked - ended, 1000);
}

TEST(EvCFReader, FindAndDecodeLocateItemsInsideGroups) {
    Writer w;
    w.integer(MQIACF_REASON_QUALIFIER, 4);
    w.group(8001);
    w.integer(MQIACF_COMMAND, 13);
    w.string(3045, "user1");
    w.end();
    const uint8_t *found = evCFFindParm(w.buf.data(), w.w.length, MQIACF_COMMAND, 8001);
    ASSERT_NE(found, nullptr);
    int32_t v = 0;
    EXPECT_EQ(evCFDecodeInt(found, w.buf.data() + w.w.length, &v), 1);
    EXPECT_EQ(v, 13);
    EXPECT_EQ(evCFFindParm(w.buf.data(), w.w.length, MQIACF_COMMAND, 8002), nullptr);
    const uint8_t *user = evCFFindParm(w.buf.data(), w.w.length, 3045, 0);
    evCFItem item;
    int32_t cc, rc;
    EXPECT_EQ(evCFDecodeParm(&w.mp.pool, user, w.buf.data() + w.w.length, &item, &cc, &rc), 7);
    EXPECT_EQ(std::string(static_cast<const char *>(item.data), 5), "user1");
    EXPECT_EQ(evCFDecodeParm(&w.mp.pool, w.buf.data() + 36, w.buf.data() + w.w.length, &item, &cc, &rc), 0);
    EXPECT_EQ(rc, MQRCCF_CFH_TYPE_ERROR);  // lead 20
}

TEST(EvCFWriter, EventExtrasNameTheObjectAndRankUserIdentifiers) {
    Writer w(4096, true);
    evCFSetReason(w.buf.data(), 2224);
    w.string(MQCA_Q_NAME, "12.34.56");  // held as a time, flushed as a string, still names the object
    EXPECT_EQ(evCFGetObjectName(w.buf.data()), 0u);
    w.string(MQCACH_USER_ID, "low");
    w.string(MQCACF_EVENT_USER_ID, "high");
    w.string(MQCA_IGQ_USER_ID, "lowest");
    EXPECT_EQ(evCFFlushPending(&w.w), 0);
    EXPECT_EQ(evCFGetObjectName(w.buf.data()), w.mp.idOf("12.34.56"));
    EXPECT_EQ(evCFGetObjectType(w.buf.data()), 1);
    EXPECT_EQ(evCFGetUserId(w.buf.data()), w.mp.idOf("high"));
    EXPECT_EQ(evCFGetFlags(w.buf.data()), EVCF_FLAG_EVENT | EVCF_FLAG_MULTI_USER);

    // A parameter naming another kind of object than the header's is not taken; lists give their first id.
    Writer l(4096, true);
    evCFSetReason(l.buf.data(), 2368);
    evCFSetObjectType(l.buf.data(), 2);
    l.string(MQCA_Q_NAME, "Q");
    EXPECT_EQ(evCFGetObjectName(l.buf.data()), 0u);
    l.add(evCFItem{MQCFT_STRING_LIST, MQCA_NAMELIST_NAME, 0, 0, 0, 8, 2, 0, "    NL.A", nullptr});
    EXPECT_EQ(evCFGetObjectName(l.buf.data()), l.mp.idOf("NL.A"));
}

TEST(EvCFWriter, ObjectNameRulesFollowTheReason) {
    Writer w(4096, true);
    evCFSetReason(w.buf.data(), 2087);
    EXPECT_EQ(evCFParmAllowed(&w.w, MQCA_Q_NAME, 0), 0);
    EXPECT_EQ(evCFParmAllowed(&w.w, MQCA_REMOTE_Q_MGR_NAME, 0), 1);
    evCFSetReason(w.buf.data(), 2091);
    EXPECT_EQ(evCFParmAllowed(&w.w, MQCA_Q_NAME, 8), 1);  // at once, whatever the header holds
    evCFSetReason(w.buf.data(), 2224);
    EXPECT_EQ(evCFParmAllowed(&w.w, MQCA_Q_NAME, 8), 0);
    EXPECT_EQ(evCFParmAllowed(&w.w, 2094, 0), 1);
    w.w.reasonQualifier = 2;
    EXPECT_EQ(evCFParmAllowed(&w.w, 2094, 0), 0);
    int32_t named = 0;
    EXPECT_EQ(evCFKnownString(MQCACH_CHANNEL_NAME, MQOT_CHLAUTH, &named), 1);
    EXPECT_EQ(named, MQOT_CHLAUTH);
    EXPECT_EQ(evCFParmCode(&w.w, 3206), 5);
    w.w.reasonQualifier = 29;
    EXPECT_EQ(evCFParmCode(&w.w, 3206), 100);
}

TEST(EvCFWriter, CompressionListsStopBeforeTheFirstUnsetValue) {
    Writer w;
    int32_t values[4] = {1, 2, -1, 3};
    w.add(evCFItem{MQCFT_INTEGER_LIST, MQIACH_MSG_COMPRESSION, 0, 0, 0, 16, 4, 0, values, nullptr});
    w.add(evCFItem{MQCFT_INTEGER_LIST, 1002, 0, 0, 0, 16, 4, 0, values, nullptr});
    EXPECT_BYTES_EQ(hex("05 28 06 02 00 01 00 00 00 02 00 00 00  05 EA 03 04 00 01 00 00 00 02 00 00 00 FF "
                        "FF FF FF 03 00 00 00"),
                    w.items());
}

TEST(EvCFReader, FlatCursorKeepsOneLevelOfGroups) {
    Writer w;
    w.group(7001);
    w.integer(1, 1);
    w.group(7002);
    w.integer(2, 2);
    w.end();
    w.integer(3, 3);
    w.end();
    w.integer(4, 4);
    evCFCursor c;
    evCFCursorInit(&c, &w.mp.pool, w.buf.data(), w.w.length, 1, 1);
    std::vector<std::pair<int32_t, int32_t>> seen;  // (id, group)
    evCFItem item;
    int32_t cc = 0, rc = 0;
    while (evCFNextParm(&c, &item, &cc, &rc), cc == 0) {
        seen.emplace_back(item.parmId, item.groupId);
        EXPECT_LE(c.depth, 1);
    }
    EXPECT_EQ(rc, PCF_END_OF_MESSAGE);
    std::vector<std::pair<int32_t, int32_t>> want = {{7001, 0}, {1, 7001},    {7002, 7001}, {2, 7002},
                                                     {3, 7002}, {7002, 7002}, {4, 0}};
    EXPECT_EQ(seen, want);
}

// ---- Compressing event messages ----

struct Event {
    explicit Event(int32_t reason, int32_t command = 45) {
        buf = static_cast<uint8_t *>(CSGetMem(256));
        MQPCFInitHeader(buf, MQCFT_EVENT, command);
        mqiPutI32(buf, 28, reason);
        MQPCFInitBuilder(&cur, buf, 256, 1, 0, &buf);
    }
    ~Event() { CSFreeMem(buf); }
    Event(const Event &) = delete;
    Event &operator=(const Event &) = delete;
    void set(int32_t type, int32_t id, const void *v, int32_t len, int32_t extra = 0, int32_t ccsid = 0) {
        int32_t cc, rc;
        if (type == MQCFT_STRING || type == MQCFT_STRING_LIST || type == MQCFT_STRING_FILTER)
            MQPCFSetStringParm(&cur, type, id, v, len, ccsid, extra, &cc, &rc);
        else
            MQPCFSetParm(&cur, type, id, v, len, extra, &cc, &rc);
        ASSERT_EQ(cc, 0) << rc;
    }
    void integer(int32_t id, int32_t v) { set(MQCFT_INTEGER, id, &v, 4); }
    void string(int32_t id, const std::string &s, int32_t ccsid = 0) {
        set(MQCFT_STRING, id, s.data(), static_cast<int32_t>(s.size()), 0, ccsid);
    }
    std::vector<uint8_t> bytes() const { return std::vector<uint8_t>(buf, buf + cur.position); }
    uint8_t *buf;
    PcfCursor cur{};
};

struct Compressed {
    Compressed(const std::vector<uint8_t> &message, MemStringPool &mp) : msg(message) {
        MQMD md = MQMD_DEFAULT;
        md.CodedCharSetId = 1208;
        ok = evCFCompress(&mp.pool, &md, msg.data(), static_cast<int32_t>(msg.size()), qmgr, &area, &reason);
    }
    ~Compressed() { AreaRelease(&area); }
    Compressed(const Compressed &) = delete;
    Compressed &operator=(const Compressed &) = delete;
    const uint8_t *record() const { return AreaData(area); }
    uint32_t length() const { return area->used; }
    std::vector<uint8_t> msg;
    char qmgr[49] = {};
    Area *area = nullptr;
    int32_t reason = -1;
    int ok = 0;
};

struct Parm {
    int32_t type, id;
    std::string value;
    int32_t count;
    bool operator==(const Parm &) const = default;
};

std::vector<Parm> parms(uint8_t *message, int32_t length) {
    PcfCursor c;
    MQPCFInitParser(&c, message, length, 0);
    std::vector<Parm> out;
    for (;;) {
        int32_t type, id, len, count, cc, rc;
        void *v;
        MQPCFGetNextParm(&c, &type, &id, &v, &len, &count, &cc, &rc);
        if (cc) break;
        out.push_back(
            Parm{type, id, v ? std::string(static_cast<char *>(v), static_cast<size_t>(len)) : "", count});
    }
    return out;
}

// The record rebuilt into a standard PCF message.
std::vector<Parm> rebuilt(const Compressed &r, MemStringPool &mp) {
    auto *out = static_cast<uint8_t *>(CSGetMem(64));
    MQPCFInitHeader(out, MQCFT_EVENT, 0);
    PcfCursor pcf;
    MQPCFInitBuilder(&pcf, out, 64, 1, 0, &out);
    int32_t rc;
    for (const auto &item : readAll(&mp.pool, r.record(), r.length(), &rc))
        EXPECT_EQ(evCFToPcfParm(&mp.pool, &pcf, &item), 0);
    EXPECT_EQ(rc, PCF_END_OF_MESSAGE);
    while (pcf.depth > 0) {
        int32_t cc;
        MQPCFSetParm(&pcf, PCF_TYPE_GROUP_END, 0, nullptr, 0, 0, &cc, &rc);
    }
    auto result = parms(out, pcf.position);
    CSFreeMem(out);
    return result;
}

TEST(EvCFCompress, AQueueDepthEventKeepsItsObjectAndQueueManager) {
    MemStringPool mp;
    Event e(2224, 45);
    e.string(MQCA_BASE_Q_NAME, "APP.Q", 819);
    e.string(MQCA_Q_MGR_NAME, "QM1                                             ");
    e.integer(MQIA_HIGH_Q_DEPTH, 80);
    e.integer(MQIA_MSG_ENQ_COUNT, 12345);
    Compressed r(e.bytes(), mp);
    ASSERT_EQ(r.ok, 1) << r.reason;
    uint32_t appq = mp.idOf("APP.Q");
    ASSERT_NE(appq, 0u);
    std::string header = hex("01 00 2D 00") + std::string(12, '\0') +
                         std::string(reinterpret_cast<char *>(&appq), 4) +
                         hex("00 00 00 00  B0 08 00 00  01 00 03 00");
    EXPECT_BYTES_EQ(header, std::string(r.record(), r.record() + 32));
    EXPECT_STREQ(r.qmgr, "QM1");
    EXPECT_EQ(evCFFindParm(r.record(), r.length(), MQCA_Q_MGR_NAME, 0), nullptr);

    auto source = parms(e.buf, e.cur.position);
    source.erase(source.begin() + 1);  // the queue-manager name is not stored
    EXPECT_EQ(rebuilt(r, mp), source);
}

TEST(EvCFCompress, AMessageCutInsideItsLastParameterIsMalformedNotShortOfStorage) {
    MemStringPool mp;
    Event e(2224);
    e.string(MQCA_BASE_Q_NAME, "APP.Q");
    e.integer(MQIA_HIGH_Q_DEPTH, 80);
    auto bytes = e.bytes();
    bytes.resize(bytes.size() - 3);
    Compressed r(bytes, mp);
    EXPECT_EQ(r.ok, 0);
    EXPECT_EQ(r.reason, MQRC_STRUC_LENGTH_ERROR);
    EXPECT_EQ(r.area, nullptr);
    auto notEvent = e.bytes();
    mqiPutI32(notEvent.data(), 0, MQCFT_RESPONSE);
    Compressed n(notEvent, mp);
    EXPECT_EQ(n.reason, MQRCCF_CFH_TYPE_ERROR);
    Compressed s(std::vector<uint8_t>(notEvent.begin(), notEvent.begin() + 20), mp);
    EXPECT_EQ(s.reason, MQRCCF_CFH_LENGTH_ERROR);
}

TEST(EvCFCompress, CommandEventsNameTheirObjectAndMarkInquiries) {
    MemStringPool mp;
    Event e(2412, 99);
    e.set(MQCFT_GROUP, MQGACF_COMMAND_CONTEXT, nullptr, 0);
    e.string(MQCACF_EVENT_USER_ID, "mqm");
    e.integer(MQIACF_COMMAND, 11);
    e.set(PCF_TYPE_GROUP_END, 0, nullptr, 0);
    e.set(MQCFT_GROUP, 8002, nullptr, 0);
    e.string(MQCACF_COMMAND_MQSC, "DEFINE QLOCAL('A.B') MAXDEPTH(5)");
    e.set(PCF_TYPE_GROUP_END, 0, nullptr, 0);
    Compressed r(e.bytes(), mp);
    ASSERT_EQ(r.ok, 1) << r.reason;
    EXPECT_EQ(evCFGetObjectName(r.record()), mp.idOf("A.B"));
    EXPECT_EQ(evCFGetObjectType(r.record()), 1);
    EXPECT_EQ(evCFGetUserId(r.record()), mp.idOf("mqm"));
    EXPECT_EQ(evCFGetFlags(r.record()), EVCF_FLAG_EVENT);

    Event q(2413, 99);
    q.set(MQCFT_GROUP, MQGACF_COMMAND_CONTEXT, nullptr, 0);
    q.integer(MQIACF_COMMAND, 13);
    q.set(PCF_TYPE_GROUP_END, 0, nullptr, 0);
    q.string(MQCACF_APPL_NAME, "Holva Software ZUNT         ");
    Compressed rq(q.bytes(), mp);
    ASSERT_EQ(rq.ok, 1) << rq.reason;
    EXPECT_EQ(evCFGetFlags(rq.record()), EVCF_FLAG_EVENT | EVCF_FLAG_INQUIRE | EVCF_FLAG_OWN_APPL);
}

TEST(EvCFCompress, ListsOfManyShortStringsFitTheArea) {
    MemStringPool mp;
    for (int32_t count : {65535, 100}) {
        SCOPED_TRACE(count);
        int32_t each = count == 100 ? 1 : 0;
        std::string strings(static_cast<size_t>(count * each), 'a');
        for (size_t i = 0; i < strings.size(); i++) strings[i] = static_cast<char>('a' + i % 26);
        std::vector<uint8_t> msg(36 + 24 + (strings.size() + 3) / 4 * 4, 0);
        MQPCFInitHeader(msg.data(), MQCFT_EVENT, 45);
        mqiPutI32(msg.data(), 32, 1);
        mqiPutI32(msg.data(), 36, MQCFT_STRING_LIST);
        mqiPutI32(msg.data(), 40, static_cast<int32_t>(msg.size() - 36));
        mqiPutI32(msg.data(), 44, 2011);
        mqiPutI32(msg.data(), 52, count);
        mqiPutI32(msg.data(), 56, each);
        std::memcpy(msg.data() + 60, strings.data(), strings.size());
        Compressed r(msg, mp);
        ASSERT_EQ(r.ok, 1) << r.reason;
        EXPECT_EQ(r.length(), 32u + 5u + 4u * static_cast<uint32_t>(count));
    }
}

// Blank strings are stored without a pool entry; they must come back blank, not as the text of an id
// that names no string, and must not widen the other strings of their list.
TEST(EvCFCompress, BlankListEntriesAndFilterValuesRebuildBlank) {
    MemStringPool mp;
    Event e(2224, 44);
    e.set(MQCFT_STRING_LIST, 2011,
          "A       "
          "        "
          "LONGER  ",
          24, 8, 819);
    e.set(MQCFT_STRING_LIST, 2012,
          "    "
          "    ",
          8, 4);
    e.set(MQCFT_STRING_FILTER, 2013, "   ", 3, MQCFOP_EQUAL);
    e.set(MQCFT_STRING_FILTER, 2014, "Q1", 2, MQCFOP_NOT_EQUAL);
    Compressed r(e.bytes(), mp);
    ASSERT_EQ(r.ok, 1) << r.reason;
    std::vector<Parm> want = {{MQCFT_STRING_LIST, 2011,
                               "A     "
                               "      "
                               "LONGER",
                               3},
                              {MQCFT_STRING_LIST, 2012, "  ", 2},
                              {MQCFT_STRING_FILTER, 2013, "", MQCFOP_EQUAL},
                              {MQCFT_STRING_FILTER, 2014, "Q1", MQCFOP_NOT_EQUAL}};
    EXPECT_EQ(rebuilt(r, mp), want);

    int32_t rc;
    auto items = readAll(&mp.pool, r.record(), r.length(), &rc);
    ASSERT_EQ(items.size(), 4u);
    EXPECT_EQ(items[2].type, MQCFT_STRING_FILTER);
    EXPECT_EQ(items[2].length, 0);
}

// Random events: every one compresses, reads cleanly and rebuilds to its source, the queue-manager
// names and the keys' move to the top aside (none are generated), dates kept as texts (no time given).
TEST(EvCFCompress, RandomEventsRoundTrip) {
    zt::ScopedTZ tz("UTC0");
    std::mt19937 rng(12345);
    MemStringPool mp;
    for (int round = 0; round < 300; round++) {
        SCOPED_TRACE(round);
        Event e(2000 + static_cast<int32_t>(rng() % 600), 44);
        int n = 1 + static_cast<int>(rng() % 20);
        int depth = 0;
        for (int i = 0; i < n; i++) {
            int32_t id = 1 + static_cast<int32_t>(rng() % 3000);
            if (id == 1016 || pcfSummaryKeySlot(id) >= 0) id = 1;
            switch (rng() % 8) {
                case 0:
                    e.integer(id, static_cast<int32_t>(rng()));
                    break;
                case 1:
                    e.integer(id, static_cast<int32_t>(rng() % 40000) - 20000);
                    break;
                case 2: {
                    int64_t v = static_cast<int64_t>(rng()) << (rng() % 32);
                    e.set(MQCFT_INTEGER64, id, &v, 8);
                    break;
                }
                case 3: {
                    std::string s(1 + rng() % 20, 'A');
                    for (auto &ch : s) ch = static_cast<char>('A' + rng() % 26);
                    if (s.size() == 8 || s.size() == 10) s += "X";
                    e.string(id + 2000, s, 850);
                    break;
                }
                case 4: {
                    std::vector<int32_t> v(rng() % 5);
                    for (auto &x : v) x = static_cast<int32_t>(rng());
                    e.set(MQCFT_INTEGER_LIST, id, v.data(), static_cast<int32_t>(v.size() * 4));
                    break;
                }
                case 5: {
                    std::string b(rng() % 9, '\0');
                    for (auto &ch : b) ch = static_cast<char>(rng());
                    e.set(MQCFT_BYTE_STRING, id + 7000, b.data(), static_cast<int32_t>(b.size()));
                    break;
                }
                case 6:
                    if (depth < 3 && i + 1 < n) {
                        e.set(MQCFT_GROUP, 8000 + id % 100, nullptr, 0);
                        depth++;
                    }
                    break;
                default:
                    if (depth > 0) {
                        e.set(PCF_TYPE_GROUP_END, 0, nullptr, 0);
                        depth--;
                    }
                    break;
            }
        }
        Compressed r(e.bytes(), mp);
        ASSERT_EQ(r.ok, 1) << r.reason;
        auto want = parms(e.buf, e.cur.position);
        // Rebuilt messages have one level of groups and no empty groups: compare the leaves.
        auto leaves = [](std::vector<Parm> v) {
            std::vector<Parm> out;
            for (auto &p : v)
                if (p.type != MQCFT_GROUP && p.type != PCF_TYPE_GROUP_END) out.push_back(p);
            return out;
        };
        EXPECT_EQ(leaves(rebuilt(r, mp)), leaves(want));
    }
}

}  // namespace
