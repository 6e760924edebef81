// The SSL data records: the CRL record's layout, round trip and refusals, its rewrite behind the
// channel records, and the OCSP record's layout and reads.
#include <cstring>

#include "ccdt_testing.h"

using namespace cct;

namespace {

constexpr int64_t kTime = 0x180000001;  // its low 32 bits have the top bit set

void fill(char *field, size_t size, const std::string &text) {
    std::memset(field, ' ', size);
    std::memcpy(field, text.data(), std::min(size, text.size()));
}

ccdtCrlSlot slot(const std::string &name, int32_t type, const std::string &user,
                 const std::string &password) {
    ccdtCrlSlot s;
    fill(s.connectionName, sizeof s.connectionName, name);
    s.type = type;
    fill(s.userName, sizeof s.userName, user);
    fill(s.password, sizeof s.password, password);
    return s;
}

std::string text64(const std::string &t) {
    std::string s = t;
    s.resize(CCDT_TEXT_LENGTH, '\0');
    return s;
}

std::string storedCrl(MemTable &t) {
    std::string data;
    EXPECT_EQ(t.read(CCDT_CRL_KEY, CCDT_READ_CRL, &data), 0);
    return data;
}

TEST(CrlData, OneSlotIsStoredWithRoundedEncipheredCredentials) {
    zt::TestClock clock(kTime);
    MemTable t;
    ASSERT_EQ(t.open(), 0);
    ccdtCrlSlot s = slot("ldap1", 1, "abcde", "");
    ASSERT_EQ(ccdtWriteCrlData(t.handle, 1, &s, text64("crl text").data()), 0);
    std::string d = storedCrl(t);
    ASSERT_EQ(d.size(), 1673u);
    EXPECT_EQ(d.substr(0, 20), CCDT_CRL_KEY);
    EXPECT_EQ(u32(d, 20), 3u);
    EXPECT_EQ(d.substr(32, 9), std::string("crl text\0", 9));
    EXPECT_EQ(u32(d, 1492), 1496u);
    EXPECT_EQ(u32(d, 1560), 0x80000001u);
    EXPECT_EQ(u32(d, 1636), 33u);
    EXPECT_EQ(u32(d, 1640), 5u);
    EXPECT_EQ(d.substr(1644, 5), "ldap1");
    EXPECT_EQ(u32(d, 1649), 4u);
    EXPECT_EQ(u32(d, 1653), 1u);
    EXPECT_EQ(u32(d, 1657), 8u);
    EXPECT_EQ(d.substr(1661, 8), std::string(s.userName, 8));  // the slot holds the ciphertext
    EXPECT_NE(d.substr(1661, 8), "abcde   ");
    EXPECT_EQ(u32(d, 1669), 0u);

    uint32_t count = 0, list = 0;
    ccdtCrlSlot read[CCDT_CRL_MAX_SLOTS];
    int64_t time = 0;
    char text[CCDT_TEXT_LENGTH];
    ASSERT_EQ(ccdtReadCrlData(t.handle, &count, read, &time, text, &list), 0);
    EXPECT_EQ(count, 1u);
    EXPECT_EQ(list, 33u);
    EXPECT_EQ(time, 0x80000001);
    EXPECT_EQ(std::string(text, 64), text64("crl text"));
    EXPECT_EQ(std::string(read[0].connectionName, 6), std::string("ldap1\0", 6));
    EXPECT_EQ(read[0].type, 1);
    EXPECT_EQ(std::string(read[0].userName, 9), std::string("abcde   \0", 9));
    EXPECT_EQ(read[0].password[0], '\0');
}

TEST(CrlData, TenFullSlotsRoundTrip) {
    MemTable t;
    ASSERT_EQ(t.open(), 0);
    ccdtCrlSlot slots[10], original[10];
    for (int i = 0; i < 10; i++) {
        std::string user(1024, 'u'), password(32, 'p');
        for (size_t k = 0; k < user.size(); k++)
            user[k] = static_cast<char>('A' + (k * 7 + static_cast<size_t>(i)) % 50);
        slots[i] = slot(std::string(264, static_cast<char>('a' + i)), i, user, password);
    }
    std::memcpy(original, slots, sizeof slots);
    ASSERT_EQ(ccdtWriteCrlData(t.handle, 10, slots, text64("ten").data()), 0);
    EXPECT_EQ(storedCrl(t).size(), 15040u);
    uint32_t count = 0, list = 0;
    ccdtCrlSlot read[10];
    int64_t time = 0;
    char text[64];
    ASSERT_EQ(ccdtReadCrlData(t.handle, &count, read, &time, text, &list), 0);
    ASSERT_EQ(count, 10u);
    EXPECT_EQ(0, std::memcmp(read, original, sizeof original));
}

TEST(CrlData, ChannelIterationStopsAtTheDataRecords) {
    MemTable t;
    ASSERT_EQ(t.open(), 0);
    ASSERT_EQ(t.insert(record("A", 40)), 0);
    ccdtCrlSlot s = slot("ldap1", 1, "u", "p");
    ASSERT_EQ(ccdtWriteCrlData(t.handle, 1, &s, text64("").data()), 0);
    char url[256] = "http://x/";
    ASSERT_EQ(ccdtWriteOcspData(t.handle, 1, &url, text64("").data(), nullptr, 0), 0);
    int end = 0;
    EXPECT_EQ(t.walk(&end), std::vector<std::string>{record("A", 40)});
    EXPECT_EQ(end, CCDT_RC_NOT_FOUND);
    EXPECT_EQ(t.read(CCDT_CRL_KEY, CCDT_READ_EXACT), CCDT_RC_NOT_FOUND);
    EXPECT_EQ(t.read(CCDT_CRL_KEY, CCDT_READ_CRL), 0);
    EXPECT_EQ(t.read(CCDT_OCSP_KEY, CCDT_READ_CRL), CCDT_RC_NOT_FOUND);
    EXPECT_EQ(t.read(CCDT_OCSP_KEY, CCDT_READ_OCSP), 0);
}

// The CRL record lies last in the file when written after the channels; rewriting it frees the
// block the search started from.
TEST(CrlData, RewriteBehindTheChannelsSurvivesAReopen) {
    MemTable t;
    ASSERT_EQ(t.open(), 0);
    ASSERT_EQ(t.insert(record("A", 40)), 0);
    for (uint32_t count : {1u, 1u, 2u}) {
        ccdtCrlSlot slots[2] = {slot("one", 1, "user1", "pw1"), slot("two", 1, "user2", "pw2")};
        ASSERT_EQ(ccdtWriteCrlData(t.handle, count, slots, text64("").data()), 0) << count;
    }
    ASSERT_EQ(t.open(0), 0);
    uint32_t count = 0;
    ccdtCrlSlot read[10];
    ASSERT_EQ(ccdtReadCrlData(t.handle, &count, read, nullptr, nullptr, nullptr), 0);
    EXPECT_EQ(count, 2u);
    EXPECT_EQ(std::string(read[1].userName, 9), std::string("user2   \0", 9));
    EXPECT_EQ(t.read("A", CCDT_READ_EXACT), 0);
}

// One entry with the given lengths, each field filled with that many bytes.
std::string crlEntry(uint32_t name, uint32_t integer, uint32_t user, uint32_t password) {
    std::string e;
    for (uint32_t length : {name, integer, user, password}) {
        std::string l(4, '\0');
        mqiPutU32(l.data(), 0, length);
        e += l + std::string(length, 'x');
    }
    return e;
}

// A CRL record of the given version, compatibility length and list.
std::string crlRecord(uint32_t version, uint32_t compat, const std::string &list, int64_t listLength = -1) {
    std::string r = std::string(CCDT_CRL_KEY) + std::string(1620, '\0');
    mqiPutU32(r.data(), 20, version);
    mqiPutU32(r.data(), 1492, compat);
    mqiPutU32(r.data(), 1636,
              listLength < 0 ? static_cast<uint32_t>(list.size()) : static_cast<uint32_t>(listLength));
    return r + list;
}

std::string times(int n, const std::string &s) {
    std::string r;
    for (int i = 0; i < n; i++) r += s;
    return r;
}

TEST(CrlData, ReadRefusesWhatDoesNotFitTheSlots) {
    std::string good = crlEntry(5, 4, 8, 8);
    std::string cut = crlEntry(5, 4, 16, 0);
    cut.resize(cut.size() - 10);
    struct Case {
        const char *what;
        std::string record;
        int rc;
        uint32_t count;
    } cases[] = {
        {"ten entries", crlRecord(3, 1496, times(10, good)), 0, 10},
        {"older version, list at its compatibility length", crlRecord(2, 1498, good), 0, 1},
        {"no record", "", 0, 0},
        {"eleven entries", crlRecord(3, 1496, times(11, crlEntry(0, 4, 0, 0))), CCDT_RC_BAD_DATA, 0},
        {"name over 264", crlRecord(3, 1496, crlEntry(265, 4, 0, 0)), CCDT_RC_BAD_DATA, 0},
        {"integer of 5 bytes", crlRecord(3, 1496, crlEntry(5, 5, 0, 0)), CCDT_RC_BAD_DATA, 0},
        {"user over 1024", crlRecord(3, 1496, crlEntry(5, 4, 1032, 0)), CCDT_RC_BAD_DATA, 0},
        {"user not whole blocks", crlRecord(3, 1496, crlEntry(5, 4, 7, 0)), CCDT_RC_BAD_DATA, 0},
        {"password over 32", crlRecord(3, 1496, crlEntry(5, 4, 0, 40)), CCDT_RC_BAD_DATA, 0},
        {"password not whole blocks", crlRecord(3, 1496, crlEntry(5, 4, 0, 12)), CCDT_RC_BAD_DATA, 0},
        {"list past the record", crlRecord(3, 1496, good, static_cast<int64_t>(good.size()) + 1),
         CCDT_RC_BAD_DATA, 0},
        {"field past the list", crlRecord(3, 1496, cut), CCDT_RC_BAD_DATA, 0},
        {"older version, list length past the record", crlRecord(2, 0xFFFFFFF0, good), CCDT_RC_BAD_DATA, 0},
        {"record without its list length", crlRecord(3, 1496, "").substr(0, 1600), CCDT_RC_BAD_DATA, 0},
        {"record larger than a read takes", crlRecord(3, 1496, std::string(16000 - 1640, '\0'), 0),
         CCDT_RC_BAD_DATA, 0},
    };
    for (const Case &c : cases) {
        MemTable t;
        ASSERT_EQ(t.open(), 0);
        if (!c.record.empty()) {
            ASSERT_EQ(t.insert(c.record), 0) << c.what;
        }
        uint32_t count = 99;
        ccdtCrlSlot read[10];
        EXPECT_EQ(ccdtReadCrlData(t.handle, &count, read, nullptr, nullptr, nullptr), c.rc) << c.what;
        EXPECT_EQ(count, c.count) << c.what;
    }
}

TEST(OcspData, OneUrlIsStoredByLengthAndReadBack) {
    zt::TestClock clock(kTime);
    MemTable t;
    ASSERT_EQ(t.open(), 0);
    char url[1][256] = {"http://ocsp.example/"};
    ASSERT_EQ(ccdtWriteOcspData(t.handle, 1, url, text64("ocsp").data(), nullptr, 0), 0);
    std::string d;
    ASSERT_EQ(t.read(CCDT_OCSP_KEY, CCDT_READ_OCSP, &d), 0);
    ASSERT_EQ(d.size(), 1680u);
    EXPECT_EQ(u32(d, 20), 4u);
    EXPECT_EQ(u32(d, 1492), 1496u);
    EXPECT_EQ(u32(d, 1504), 170u);
    EXPECT_EQ(u32(d, 1636), 40u);
    EXPECT_EQ((std::vector<uint32_t>{u32(d, 1640), u32(d, 1644), u32(d, 1648)}),
              (std::vector<uint32_t>{1, 12, 1}));
    EXPECT_EQ(u32(d, 1652), 28u);
    EXPECT_EQ(u32(d, 1656), 20u);
    EXPECT_EQ(d.substr(1660), "http://ocsp.example/");

    uint32_t count = 0;
    char out[256];
    int64_t time = 0;
    char text[64];
    ASSERT_EQ(ccdtReadOcspData(t.handle, &count, out, &time, text, nullptr, 0), 0);
    EXPECT_EQ(count, 1u);
    EXPECT_EQ(std::string(out, 256), text64("http://ocsp.example/") + std::string(192, '\0'));
    EXPECT_EQ(time, 0x80000001);
    EXPECT_EQ(std::string(text, 64), "ocsp" + std::string(60, ' '));
}

TEST(OcspData, UrlFillingItsEntryHasNoTerminator) {
    MemTable t;
    ASSERT_EQ(t.open(), 0);
    char url[1][256];
    std::memset(url[0], 'u', 256);
    ASSERT_EQ(ccdtWriteOcspData(t.handle, 1, url, text64("").data(), nullptr, 0), 0);
    uint32_t count = 0;
    char out[256];
    ASSERT_EQ(ccdtReadOcspData(t.handle, &count, out, nullptr, nullptr, nullptr, 0), 0);
    EXPECT_EQ(count, 1u);
    EXPECT_EQ(std::string(out, 256), std::string(256, 'u'));
    ASSERT_EQ(ccdtWriteOcspData(t.handle, 0, nullptr, nullptr, nullptr, 0), 0);
    EXPECT_EQ(ccdtReadOcspData(t.handle, &count, out, nullptr, nullptr, nullptr, 0), 0);
    EXPECT_EQ(count, 0u);
}

// An OCSP record built from a written one with its list replaced.
std::string ocspRecord(uint32_t version, const std::string &list, int64_t listLength = -1) {
    std::string r = std::string(CCDT_OCSP_KEY) + std::string(1620, '\0');
    mqiPutU32(r.data(), 20, version);
    mqiPutU32(r.data(), 1492, 1496);
    mqiPutU32(r.data(), 1636,
              listLength < 0 ? static_cast<uint32_t>(list.size()) : static_cast<uint32_t>(listLength));
    return r + list;
}
std::string words(std::initializer_list<uint32_t> values) {
    std::string s;
    for (uint32_t v : values) {
        std::string w(4, '\0');
        mqiPutU32(w.data(), 0, v);
        s += w;
    }
    return s;
}

TEST(OcspData, ReadRefusals) {
    std::string one = words({1, 12, 1}) + words({13, 5}) + "http:";
    struct Case {
        const char *what;
        std::string record;
        int rc;
        const char *message;
    } cases[] = {
        {"sound", ocspRecord(4, one), 0, ""},
        {"two URLs", ocspRecord(4, words({1, 12, 2}) + words({9, 1}) + "a" + words({9, 1}) + "b"),
         CCDT_RC_TRUNCATED, "Provided buffer of 256 bytes too small to receive 2 records of size 256"},
        {"URL of 300", ocspRecord(4, words({1, 12, 1}) + words({308, 300}) + std::string(300, 'u')),
         CCDT_RC_BAD_DATA, ""},
        {"two entries under a count of 1", ocspRecord(4, one + words({9, 1}) + "b"), CCDT_RC_BAD_DATA, ""},
        {"version 3", ocspRecord(3, one), CCDT_RC_BAD_DATA, ""},
        {"list past the record", ocspRecord(4, one, static_cast<int64_t>(one.size()) + 1), CCDT_RC_BAD_DATA,
         ""},
        {"header longer than the list", ocspRecord(4, words({1, 40, 1}) + words({13, 5}) + "http:"),
         CCDT_RC_BAD_DATA, ""},
        {"entry shorter than its header", ocspRecord(4, words({1, 12, 1}) + words({4, 0})), CCDT_RC_BAD_DATA,
         ""},
        {"URL past the list", ocspRecord(4, words({1, 12, 1}) + words({30, 22}) + "http:"), CCDT_RC_BAD_DATA,
         "OCSP record too short for URL (5 < 22)"},
    };
    for (const Case &c : cases) {
        MemTable t;
        ASSERT_EQ(t.open(), 0);
        ASSERT_EQ(t.insert(c.record), 0) << c.what;
        uint32_t count = 99;
        char out[256];
        char message[200] = "";
        EXPECT_EQ(ccdtReadOcspData(t.handle, &count, out, nullptr, nullptr, message, sizeof message), c.rc)
            << c.what;
        EXPECT_STREQ(message, c.message) << c.what;
        EXPECT_EQ(count, c.rc == 0 ? 1u : 0u) << c.what;
    }
}

}  // namespace
