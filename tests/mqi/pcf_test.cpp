// The PCF builder and parser: exact bytes of what is built, round trips through the parser, and
// hostile messages that must end in a clear reason without a byte outside them being read.
#include "mqi/mqi.h"

#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "testing/testing.h"

namespace {

// A message copied into a heap block of exactly its length, so that ASan sees any over-read.
struct Exact {
    explicit Exact(const std::vector<uint8_t> &bytes) : size(bytes.size()), data(new uint8_t[bytes.size()]) {
        if (size) std::memcpy(data.get(), bytes.data(), size);
    }
    size_t size;
    std::unique_ptr<uint8_t[]> data;
};

// A growable builder over the counted heap; bytes() copies the message out.
struct Builder {
    explicit Builder(int32_t type = MQCFT_RESPONSE, int32_t capacity = 1024) {
        buf = static_cast<uint8_t *>(CSGetMem(static_cast<uint64_t>(capacity)));
        MQPCFInitHeader(buf, type, 42);
        MQPCFInitBuilder(&cur, buf, capacity, 1, 0, &buf);
    }
    ~Builder() {
        if (buf) CSFreeMem(buf);
    }
    Builder(const Builder &) = delete;
    Builder &operator=(const Builder &) = delete;

    void *set(int32_t type, int32_t id, const void *value, int32_t length, int32_t extra = 0) {
        void *r = MQPCFSetParm(&cur, type, id, value, length, extra, &cc, &rc);
        EXPECT_EQ(cc, 0) << "type " << type << " reason " << rc;
        return r;
    }
    void integer(int32_t id, int32_t v) { set(MQCFT_INTEGER, id, &v, 4); }
    void string(int32_t id, const std::string &s) {
        set(MQCFT_STRING, id, s.data(), static_cast<int32_t>(s.size()));
    }
    void group(int32_t id) { set(MQCFT_GROUP, id, nullptr, 0); }
    void end() { set(PCF_TYPE_GROUP_END, 0, nullptr, 0); }
    std::vector<uint8_t> bytes() const { return std::vector<uint8_t>(buf, buf + cur.position); }
    int32_t header(size_t offset) const { return mqiGetI32(buf, offset); }

    uint8_t *buf = nullptr;
    PcfCursor cur{};
    int32_t cc = -1, rc = -1;
};

struct Got {
    int32_t type, id, length, count;
    std::string value;  // the value bytes
};

// Walks a message to its end; returns the items and leaves the last CompCode and reason.
std::vector<Got> walk(PcfCursor *c, int32_t *lastCc, int32_t *lastRc, int limit = 1000) {
    std::vector<Got> out;
    for (int i = 0; i < limit; i++) {
        int32_t type, id, len, count, cc, rc;
        void *value;
        MQPCFGetNextParm(c, &type, &id, &value, &len, &count, &cc, &rc);
        *lastCc = cc;
        *lastRc = rc;
        if (cc != 0) break;
        std::string v;
        if (value && len > 0) v.assign(static_cast<const char *>(value), static_cast<size_t>(len));
        out.push_back(Got{type, id, len, count, v});
    }
    return out;
}

// Overwrites one 32-bit field of a message held in a vector.
void poke(std::vector<uint8_t> &m, size_t offset, int32_t v) {
    uint8_t *p = m.data();
    ASSERT_TRUE(p != nullptr && m.size() >= offset + 4);
    mqiPutI32(p, offset, v);
}

constexpr size_t kVersion = 8;
constexpr size_t kParmCount = 32;

TEST(PcfBuilder, GrowsByTheLargerOfCapacityAndStructureAndTheOwnerFollows) {
    auto *first = static_cast<uint8_t *>(CSGetMem(52));
    uint8_t *owner = first;
    MQPCFInitHeader(first, MQCFT_RESPONSE, 7);
    PcfCursor c;
    MQPCFInitBuilder(&c, first, 52, 1, 0, &owner);
    int32_t cc, rc, v = 5;
    MQPCFSetParm(&c, MQCFT_INTEGER, 1, &v, 4, 0, &cc, &rc);
    ASSERT_EQ(cc, 0);
    EXPECT_EQ(c.length, 52);
    std::vector<uint8_t> before(first, first + 52);
    v = 6;
    MQPCFSetParm(&c, MQCFT_INTEGER, 2, &v, 4, 0, &cc, &rc);
    ASSERT_EQ(cc, 0);
    EXPECT_EQ(c.length, 104);
    EXPECT_EQ(owner, c.buffer);
    EXPECT_EQ(c.position, 68);
    EXPECT_EQ(mqiGetI32(owner, kParmCount), 2);
    std::vector<uint8_t> kept(owner, owner + 52);
    poke(kept, kParmCount, 1);  // only the count changed in the first 52 bytes
    EXPECT_BYTES_EQ(std::string(before.begin(), before.end()), std::string(kept.begin(), kept.end()));
    CSFreeMem(owner);
}

TEST(PcfBuilder, AFullFixedBufferRefusesWith2071AndKeepsTheMessage) {
    uint8_t buf[52];
    MQPCFInitHeader(buf, MQCFT_RESPONSE, 7);
    PcfCursor c;
    MQPCFInitBuilder(&c, buf, sizeof buf, 0, 0, nullptr);
    int32_t cc, rc, v = 1;
    MQPCFSetParm(&c, MQCFT_INTEGER, 1, &v, 4, 0, &cc, &rc);
    ASSERT_EQ(cc, 0);
    std::vector<uint8_t> before(buf, buf + 52);
    EXPECT_EQ(MQPCFSetParm(&c, MQCFT_INTEGER, 2, &v, 4, 0, &cc, &rc), nullptr);
    EXPECT_EQ(cc, 2);
    EXPECT_EQ(rc, MQRC_STORAGE_NOT_AVAILABLE);
    EXPECT_EQ(c.position, 52);
    EXPECT_EQ(std::vector<uint8_t>(buf, buf + 52), before);
}

TEST(PcfBuilder, StringWithItsNulIsPaddedWithZeros) {
    Builder b;
    std::memset(b.buf + 36, 0xEE, 64);  // stale heap bytes must not reach the message
    void *field = b.set(MQCFT_STRING, 3001, "AB", -2);
    auto m = b.bytes();
    ASSERT_EQ(m.size(), 36u + 24u);
    EXPECT_EQ(mqiGetI32(m.data(), 36 + 4), 24);
    EXPECT_EQ(mqiGetI32(m.data(), 36 + 16), 3);
    EXPECT_EQ(field, b.buf + 36 + 20);
    EXPECT_BYTES_EQ(std::string("AB\0\0", 4), std::string(m.begin() + 56, m.end()));
}

TEST(PcfBuilder, VersionRisesWithTheTypesAndNeverFalls) {
    Builder b;
    EXPECT_EQ(b.header(kVersion), 1);
    b.set(MQCFT_BYTE_STRING, 7001, "\x01\x02", 2);
    EXPECT_EQ(b.header(kVersion), 2);
    b.group(8001);
    EXPECT_EQ(b.header(kVersion), 3);
    b.integer(1, 1);
    EXPECT_EQ(b.header(kVersion), 3);
}

TEST(PcfBuilder, GroupCountsInItsParentBeforeItOpensAndItemsCountInTheGroup) {
    Builder b;
    b.group(8001);
    EXPECT_EQ(b.header(kParmCount), 1);
    b.integer(1, 1);
    b.integer(2, 2);
    EXPECT_EQ(b.header(kParmCount), 1);
    EXPECT_EQ(mqiGetI32(b.buf, 36 + 12), 2);
    b.end();
    b.integer(3, 3);
    EXPECT_EQ(b.header(kParmCount), 2);
    EXPECT_EQ(b.cur.groupId, 0u);
}

TEST(PcfBuilder, RefusesTooDeepGroupsUnopenedEndsAndUnknownTypes) {
    Builder b;
    for (int i = 0; i < 10; i++) b.group(8001 + i);
    int32_t cc, rc;
    int32_t used = b.cur.position;
    EXPECT_EQ(MQPCFSetParm(&b.cur, MQCFT_GROUP, 9000, nullptr, 0, 0, &cc, &rc), nullptr);
    EXPECT_EQ(rc, MQRC_FORMAT_NOT_SUPPORTED);
    EXPECT_EQ(b.cur.position, used);
    for (int i = 0; i < 10; i++) b.end();
    MQPCFSetParm(&b.cur, PCF_TYPE_GROUP_END, 0, nullptr, 0, 0, &cc, &rc);
    EXPECT_EQ(cc, 2);
    EXPECT_EQ(rc, MQRC_INCOMPLETE_GROUP);
    MQPCFSetParm(&b.cur, 7, 1, nullptr, 0, 0, &cc, &rc);
    EXPECT_EQ(rc, MQRCCF_CFH_TYPE_ERROR);
}

TEST(PcfBuilder, SuppressedInt64IsNeitherWrittenNorCounted) {
    zt::ScopedEnv env("ZUNT_SUPPRESS_INT64", "1");
    MQPCFResetSuppressInt64ForTest();
    Builder b;
    int64_t v = 5;
    int32_t cc = -1, rc = -1;
    EXPECT_EQ(MQPCFSetParm(&b.cur, MQCFT_INTEGER64, 1, &v, 8, 0, &cc, &rc), nullptr);
    EXPECT_EQ(cc, 0);
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(b.cur.position, 36);
    EXPECT_EQ(b.header(kParmCount), 0);
    MQPCFResetSuppressInt64ForTest();
}

TEST(PcfBuilder, UnsuppressedInt64IsWrittenAndRaisesTheVersion) {
    zt::ScopedEnv env("ZUNT_SUPPRESS_INT64", nullptr);
    MQPCFResetSuppressInt64ForTest();
    Builder b;
    int64_t v = -2;
    b.set(MQCFT_INTEGER64, 1, &v, 8);
    EXPECT_EQ(b.cur.position, 60);
    EXPECT_EQ(mqiGetI64(b.buf, 36 + 16), -2);
    EXPECT_EQ(b.header(kVersion), 3);
}

TEST(PcfBuilder, StringListsOfZeroStringsAreValidAndZeroStringLengthsAreRefused) {
    Builder b;
    b.set(MQCFT_STRING_LIST, 2011, "", 0, 0);
    EXPECT_EQ(mqiGetI32(b.buf, 36 + 4), 24);
    EXPECT_EQ(mqiGetI32(b.buf, 36 + 16), 0);
    EXPECT_EQ(mqiGetI32(b.buf, 36 + 20), 0);
    int32_t cc, rc;
    int32_t used = b.cur.position;
    MQPCFSetParm(&b.cur, MQCFT_STRING_LIST, 2011, "ABCD", 4, 0, &cc, &rc);
    EXPECT_EQ(rc, MQRCCF_CFSL_STRING_LENGTH_ERR);
    MQPCFSetStringParm(&b.cur, MQCFT_STRING_LIST, 2011, "ABCD", 4, 850, -1, &cc, &rc);
    EXPECT_EQ(rc, MQRCCF_CFSL_STRING_LENGTH_ERR);
    EXPECT_EQ(b.cur.position, used);
    b.set(MQCFT_STRING_FILTER, 2016, "", 0, 1);  // an empty filter value derives no count
    EXPECT_EQ(b.header(kParmCount), 2);
}

TEST(PcfBuilder, AppendStructCopiesAndCountsAValidStructureAndRefusesADamagedOne) {
    Builder b;
    uint8_t il64[32] = {};
    mqiPutI32(il64, 0, MQCFT_INTEGER64_LIST);
    mqiPutI32(il64, 4, 32);
    mqiPutI32(il64, 8, 1234);
    mqiPutI32(il64, 12, 2);
    mqiPutI64(il64, 16, 7);
    mqiPutI64(il64, 24, -7);
    int32_t cc, rc;
    EXPECT_NE(MQPCFAppendStruct(&b.cur, il64, 32, &cc, &rc), nullptr);
    EXPECT_EQ(cc, 0);
    EXPECT_EQ(b.header(kParmCount), 1);
    EXPECT_EQ(b.header(kVersion), 3);
    EXPECT_EQ(std::vector<uint8_t>(b.buf + 36, b.buf + 68), std::vector<uint8_t>(il64, il64 + 32));
    mqiPutI32(il64, 4, 40);  // claims more than it is given
    EXPECT_EQ(MQPCFAppendStruct(&b.cur, il64, 32, &cc, &rc), nullptr);
    EXPECT_EQ(rc, MQRC_STRUC_LENGTH_ERROR);
    EXPECT_EQ(b.cur.position, 68);
    EXPECT_EQ(b.header(kParmCount), 1);
}

// A message with every builder type, the pseudo-types and three levels of groups.
std::vector<uint8_t> everyType() {
    Builder b(MQCFT_EVENT);
    int32_t list[3] = {1, -2, 3};
    int32_t filter = 99;
    int64_t big = INT64_MIN;
    b.integer(1001, -5);
    b.string(2016, "APP.Q");
    b.set(MQCFT_INTEGER_LIST, 1002, list, 12);
    b.set(MQCFT_STRING_LIST, 2011, "AAAABBBBCCCC", 12, 4);
    b.set(MQCFT_BYTE_STRING, 7001, "\x00\x01\x02", 3);
    b.set(MQCFT_INTEGER_FILTER, 1003, &filter, 4, 5);
    b.set(MQCFT_STRING_FILTER, 2017, "X*", 2, 18);
    b.set(MQCFT_BYTE_STRING_FILTER, 7002, "\xFF", 1, 2);
    b.set(MQCFT_INTEGER64, 1004, &big, 8);
    b.set(PCF_TYPE_STRING_1001, 2018, "ONE", 3);
    b.set(PCF_TYPE_STRING_LIST_1002, 2019, "XY", 2, 1);
    b.group(8001);
    b.integer(1005, 1);
    b.group(8002);
    b.group(8003);
    b.string(2020, "deep");
    b.end();
    b.end();
    b.end();
    b.set(PCF_TYPE_WORD, 0, nullptr, 0);
    return b.bytes();
}

TEST(PcfParser, EveryBuilderTypeReadsBackWithItsValues) {
    zt::ScopedEnv env("ZUNT_SUPPRESS_INT64", nullptr);
    MQPCFResetSuppressInt64ForTest();
    Exact m(everyType());
    PcfCursor c;
    MQPCFInitParser(&c, m.data.get(), static_cast<int32_t>(m.size), 0);
    int32_t cc, rc;
    auto items = walk(&c, &cc, &rc);
    EXPECT_EQ(cc, 2);
    EXPECT_EQ(rc, PCF_END_OF_MESSAGE);
    ASSERT_EQ(items.size(), 20u);
    struct Want {
        int32_t type, id, length, count;
        std::string value;
    };
    std::string list("\x01\x00\x00\x00\xfe\xff\xff\xff\x03\x00\x00\x00", 12);
    std::string big("\x00\x00\x00\x00\x00\x00\x00\x80", 8);
    std::vector<Want> want = {
        {3, 1001, 4, 1, std::string("\xfb\xff\xff\xff", 4)},
        {4, 2016, 5, 1, "APP.Q"},
        {5, 1002, 12, 3, list},
        {6, 2011, 12, 3, "AAAABBBBCCCC"},
        {9, 7001, 3, 1, std::string("\x00\x01\x02", 3)},
        {13, 1003, 4, 5, std::string("\x63\x00\x00\x00", 4)},
        {14, 2017, 2, 18, "X*"},
        {15, 7002, 1, 2, "\xff"},
        {23, 1004, 8, 1, big},
        {1001, 2018, 3, 1, "ONE"},
        {6, 2019, 2, 2, "XY"},
        {20, 8001, 0, 2, ""},
        {3, 1005, 4, 1, std::string("\x01\x00\x00\x00", 4)},
        {20, 8002, 0, 1, ""},
        {20, 8003, 0, 1, ""},
        {4, 2020, 4, 1, "deep"},
        {1003, 8002, 0, 0, ""},
        {1003, 8001, 0, 0, ""},
        {1003, 8001, 0, 0, ""},
        {1000, 0, 0, 0, ""},
    };
    for (size_t i = 0; i < want.size(); i++) {
        SCOPED_TRACE(i);
        EXPECT_EQ(items[i].type, want[i].type);
        EXPECT_EQ(items[i].id, want[i].id);
        EXPECT_EQ(items[i].length, want[i].length);
        EXPECT_EQ(items[i].count, want[i].count);
        EXPECT_EQ(items[i].value, want[i].value);
    }
}

TEST(PcfParser, NestedGroupEndsNameTheEnclosingGroupAndTheOutermostItsOwn) {
    Builder b;
    b.group(8001);
    b.group(8002);
    b.integer(1, 1);
    b.end();
    b.end();
    Exact m(b.bytes());
    PcfCursor c;
    MQPCFInitParser(&c, m.data.get(), static_cast<int32_t>(m.size), 0);
    int32_t cc, rc;
    auto items = walk(&c, &cc, &rc);
    ASSERT_EQ(items.size(), 5u);
    EXPECT_EQ(items[3].type, 1003);
    EXPECT_EQ(items[3].id, 8001);
    EXPECT_EQ(items[4].type, 1003);
    EXPECT_EQ(items[4].id, 8001);
    EXPECT_EQ(rc, PCF_END_OF_MESSAGE);
    int32_t type;
    MQPCFGetNextParm(&c, &type, nullptr, nullptr, nullptr, nullptr, &cc, &rc);  // a repeat ends alike
    EXPECT_EQ(rc, PCF_END_OF_MESSAGE);
}

TEST(PcfParser, DefaultCcsidFillsStringsWithoutOneAndTheLastIsKept) {
    Builder b;
    int32_t cc, rc;
    b.string(2016, "A");
    MQPCFSetStringParm(&b.cur, MQCFT_STRING, 2017, "B", 1, 1208, 0, &cc, &rc);
    b.set(MQCFT_STRING_LIST, 2011, "CD", 2, 1);
    Exact m(b.bytes());
    PcfCursor c;
    MQPCFInitParser(&c, m.data.get(), static_cast<int32_t>(m.size), 850);
    int32_t type, id, len, count;
    void *v;
    MQPCFGetNextParm(&c, &type, &id, &v, &len, &count, &cc, &rc);
    EXPECT_EQ(c.lastCcsid, 850u);
    EXPECT_EQ(mqiGetI32(m.data.get(), 36 + 12), 850);
    MQPCFGetNextParm(&c, &type, &id, &v, &len, &count, &cc, &rc);
    EXPECT_EQ(c.lastCcsid, 1208u);
    MQPCFGetNextParm(&c, &type, &id, &v, &len, &count, &cc, &rc);
    EXPECT_EQ(c.lastCcsid, 850u);
}

TEST(PcfHostile, MoreParametersClaimedThanPresentEndsIn6123) {
    Builder b;
    b.integer(1, 1);
    b.integer(2, 2);
    auto bytes = b.bytes();
    poke(bytes, kParmCount, 5);
    Exact m(bytes);
    PcfCursor c;
    MQPCFInitParser(&c, m.data.get(), static_cast<int32_t>(m.size), 0);
    int32_t cc, rc;
    auto items = walk(&c, &cc, &rc);
    EXPECT_EQ(items.size(), 2u);
    EXPECT_EQ(cc, 2);
    EXPECT_EQ(rc, MQRC_STRUC_LENGTH_ERROR);
}

TEST(PcfHostile, EveryProperPrefixEndsInAFailureAndTheWholeInTheEnd) {
    zt::ScopedEnv env("ZUNT_SUPPRESS_INT64", nullptr);
    MQPCFResetSuppressInt64ForTest();
    auto full = everyType();
    for (size_t n = 36; n <= full.size(); n++) {
        SCOPED_TRACE(n);
        Exact m(std::vector<uint8_t>(full.begin(), full.begin() + static_cast<long>(n)));
        PcfCursor c;
        MQPCFInitParser(&c, m.data.get(), static_cast<int32_t>(n), 0);
        int32_t cc, rc;
        walk(&c, &cc, &rc);
        EXPECT_EQ(cc, 2);
        if (n == full.size())
            EXPECT_EQ(rc, PCF_END_OF_MESSAGE);
        else
            EXPECT_NE(rc, PCF_END_OF_MESSAGE);
    }
}

// One structure after the MQCFH, corrupted by the caller; checks the refusal leaves the walk alone.
void expectRefused(std::vector<uint8_t> bytes, int32_t wantReason, int32_t wantType, int32_t wantId) {
    Exact m(bytes);
    PcfCursor c;
    MQPCFInitParser(&c, m.data.get(), static_cast<int32_t>(m.size), 850);
    PcfCursor before = c;
    for (int attempt = 0; attempt < 2; attempt++) {
        int32_t type = -1, id = -1, len = -1, count = -1, cc = -1, rc = -1;
        void *v = &c;
        MQPCFGetNextParm(&c, &type, &id, &v, &len, &count, &cc, &rc);
        EXPECT_EQ(cc, 2);
        EXPECT_EQ(rc, wantReason);
        EXPECT_EQ(type, wantType);
        EXPECT_EQ(id, wantId);
        EXPECT_EQ(len, 0);
        EXPECT_EQ(count, 0);
        EXPECT_EQ(v, nullptr);
        EXPECT_EQ(c.position, before.position);
        EXPECT_EQ(c.depth, before.depth);
        EXPECT_EQ(c.remaining, before.remaining);
    }
}

std::vector<uint8_t> oneStruct(const std::function<void(Builder &)> &add) {
    Builder b;
    add(b);
    return b.bytes();
}

TEST(PcfHostile, DamagedLengthsAndCountsAreRefusedWithoutMoving) {
    auto in = oneStruct([](Builder &b) { b.integer(1016, 5); });
    for (int32_t bad : {0, 4, -16, 0x7FFFFFFF}) {
        SCOPED_TRACE(bad);
        auto m = in;
        poke(m, 36 + 4, bad);
        expectRefused(m, MQRC_STRUC_LENGTH_ERROR, MQCFT_INTEGER, 1016);
    }
    auto st = oneStruct([](Builder &b) { b.string(2016, "ABCD"); });
    auto m = st;
    poke(m, 36 + 16, -1);
    expectRefused(m, MQRCCF_CFST_STRING_LENGTH_ERR, MQCFT_STRING, 2016);
    m = st;
    poke(m, 36 + 16, 5);
    expectRefused(m, MQRCCF_CFST_STRING_LENGTH_ERR, MQCFT_STRING, 2016);

    int32_t list[2] = {1, 2};
    auto il = oneStruct([&](Builder &b) { b.set(MQCFT_INTEGER_LIST, 1002, list, 8); });
    m = il;
    poke(m, 36 + 12, 1 << 30);
    expectRefused(m, MQRC_STRUC_LENGTH_ERROR, MQCFT_INTEGER_LIST, 1002);

    auto sl = oneStruct([](Builder &b) { b.set(MQCFT_STRING_LIST, 2011, "ABCD", 4, 2); });
    m = sl;
    poke(m, 36 + 16, 0x10000);
    poke(m, 36 + 20, 0x10001);  // Count x StringLength passes 2^32
    expectRefused(m, MQRC_STRUC_LENGTH_ERROR, MQCFT_STRING_LIST, 2011);
    m = sl;
    poke(m, 36 + 20, -2);
    expectRefused(m, MQRC_STRUC_LENGTH_ERROR, MQCFT_STRING_LIST, 2011);

    auto bs = oneStruct([](Builder &b) { b.set(MQCFT_BYTE_STRING, 7001, "ABCD", 4); });
    m = bs;
    poke(m, 36 + 12, 100);  // the bytes pass the message end
    expectRefused(m, MQRCCF_CFBS_STRING_LENGTH_ERR, MQCFT_BYTE_STRING, 7001);
    m = bs;
    poke(m, 36 + 12, -1);
    expectRefused(m, MQRCCF_CFBS_STRING_LENGTH_ERR, MQCFT_BYTE_STRING, 7001);

    auto sf = oneStruct([](Builder &b) { b.set(MQCFT_STRING_FILTER, 2016, "AB", 2, 1); });
    m = sf;
    poke(m, 36 + 20, 9);
    expectRefused(m, MQRC_STRUC_LENGTH_ERROR, MQCFT_STRING_FILTER, 2016);

    auto gr = oneStruct([](Builder &b) {
        b.group(8001);
        b.integer(1, 1);
        b.end();
    });
    m = gr;
    poke(m, 36 + 12, -1);
    expectRefused(m, MQRC_STRUC_LENGTH_ERROR, MQCFT_GROUP, 8001);

    m = in;
    poke(m, 36, 77);
    expectRefused(m, MQRCCF_CFH_TYPE_ERROR, 77, 1016);
}

TEST(PcfHostile, AStructureCutShortOfItsTypeOrLengthIsRefused) {
    auto in = oneStruct([](Builder &b) { b.integer(1016, 5); });
    for (size_t keep : {38u, 42u, 46u}) {
        SCOPED_TRACE(keep);
        std::vector<uint8_t> m(in.begin(), in.begin() + static_cast<long>(keep));
        expectRefused(m, MQRC_STRUC_LENGTH_ERROR, keep >= 40 ? MQCFT_INTEGER : 0, keep >= 48 ? 1016 : 0);
    }
}

TEST(PcfHostile, GroupsNestedBeyondTenAreRefused) {
    std::vector<uint8_t> m(36 + 11 * 16, 0);
    MQPCFInitHeader(m.data(), MQCFT_EVENT, 1);
    poke(m, kParmCount, 1);
    for (int i = 0; i < 11; i++) {
        size_t at = 36 + static_cast<size_t>(i) * 16;
        poke(m, at, MQCFT_GROUP);
        poke(m, at + 4, 16);
        poke(m, at + 8, 8000 + i);
        poke(m, at + 12, 1);
    }
    Exact e(m);
    PcfCursor c;
    MQPCFInitParser(&c, e.data.get(), static_cast<int32_t>(e.size), 0);
    int32_t cc, rc;
    auto items = walk(&c, &cc, &rc);
    EXPECT_EQ(items.size(), 10u);
    EXPECT_EQ(rc, MQRC_FORMAT_NOT_SUPPORTED);
    EXPECT_EQ(c.depth, 10);
}

}  // namespace

namespace {

TEST(PcfSummary, KeysFillTheirSlotsAndEverythingElseIsAppendedInOrder) {
    Builder b(MQCFT_EVENT);
    mqiPutI32(b.buf, 28, 2035);
    b.string(MQCA_Q_MGR_NAME, "QM1");
    b.integer(MQIACF_REASON_QUALIFIER, 4);
    b.group(MQGACF_COMMAND_CONTEXT);
    b.integer(MQIACF_COMMAND, 13);
    b.end();
    b.group(8002);
    b.integer(MQIACF_COMMAND, 14);  // not in a key group
    b.end();
    b.string(MQCA_Q_MGR_NAME, "QM2");  // a second occurrence is kept as an item
    auto m = b.bytes();
    Area *area = MQPCFSummarise(m.data(), static_cast<int32_t>(m.size()), 850);
    ASSERT_NE(area, nullptr);
    const PcfSummary *s = pcfSummaryOf(area);
    EXPECT_EQ(s->command, 42u);
    EXPECT_EQ(s->reason, 2035u);
    EXPECT_EQ(s->reasonQualifier, 4u);
    EXPECT_EQ(s->commandValue, 13u);
    EXPECT_EQ(s->parameterCount, 5);
    EXPECT_EQ(s->status, 0);
    EXPECT_EQ(s->keyPresent, 0b110u);
    EXPECT_EQ(s->keys[1].ccsid, 850);
    EXPECT_EQ(std::string(static_cast<const char *>(s->keys[1].value.ptr), 3), "QM1");
    EXPECT_EQ(s->keys[2].groupId, MQGACF_COMMAND_CONTEXT);
    ASSERT_EQ(s->itemCount, 7);
    int32_t types[7] = {3, 20, 1003, 20, 3, 1003, 4};
    for (int i = 0; i < 7; i++) EXPECT_EQ(s->items[i].type, types[i]) << i;
    EXPECT_EQ(s->items[4].groupId, 8002);
    EXPECT_EQ(s->items[4].value.i64, 14);
    EXPECT_EQ(s->items[6].parmId, MQCA_Q_MGR_NAME);
    EXPECT_EQ(area->used, PCF_SUMMARY_HEAD + 7 * PCF_SUMMARY_ITEM);
    AreaRelease(&area);
}

TEST(PcfSummary, DamagedAndOverlongMessagesKeepWhatWasRead) {
    Builder b(MQCFT_EVENT);
    for (int i = 0; i < 1005; i++) b.integer(1, i);
    auto m = b.bytes();
    Area *area = MQPCFSummarise(m.data(), static_cast<int32_t>(m.size()), 0);
    ASSERT_NE(area, nullptr);
    EXPECT_EQ(pcfSummaryOf(area)->itemCount, 1000);
    EXPECT_EQ(pcfSummaryOf(area)->truncated, 1u);
    EXPECT_EQ(pcfSummaryOf(area)->items[999].value.i64, 999);
    AreaRelease(&area);

    std::vector<uint8_t> cut(m.begin(), m.begin() + 36 + 16 * 3 + 5);
    area = MQPCFSummarise(cut.data(), static_cast<int32_t>(cut.size()), 0);
    ASSERT_NE(area, nullptr);
    EXPECT_EQ(pcfSummaryOf(area)->itemCount, 3);
    EXPECT_EQ(pcfSummaryOf(area)->status, MQRC_STRUC_LENGTH_ERROR);
    AreaRelease(&area);
    EXPECT_EQ(MQPCFSummarise(cut.data(), 35, 0), nullptr);
}

}  // namespace
