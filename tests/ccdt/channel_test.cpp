// Channel records through the table layer: the file layout of each version, reading back, the
// refusals of damaged records, credentials, the MQSERVER channel, table paths and CRLLDAP slots.
#ifdef _WIN32
#include <windows.h>
#endif

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>

#include "ccdt_testing.h"
#include "testing/built_paths.h"

using namespace cct;

namespace {

constexpr const char *kTable = CCT_MEM_DIR "table.tab";

// A record buffer of the largest size, 8-byte aligned.
struct Rec {
    std::vector<uint64_t> words = std::vector<uint64_t>(CCDT_RECORD_MAX / 8 + 1, 0);
    ChannelRecord *operator->() { return get(); }
    ChannelRecord *get() { return reinterpret_cast<ChannelRecord *>(words.data()); }
    uint8_t *tail() { return reinterpret_cast<uint8_t *>(get() + 1); }
};

void setText(char *field, size_t size, const std::string &value) {
    std::memset(field, ' ', size);
    std::memcpy(field, value.data(), std::min(size, value.size()));
}

// A version-12 client channel with empty exit lists.
Rec channel(const std::string &name) {
    Rec r;
    ccdtDefaultChannel(r.get());
    setText(r->mqcd.ChannelName, 20, name);
    r->mqcd.Version = 12;
    r->mqcd.ChannelType = MQCHT_CLNTCONN;
    r->mqcd.TransportType = MQXPT_TCP;
    setText(r->mqcd.ConnectionName, 264, "host(1414)");
    char text[128];
    EXPECT_EQ(ccdtTrimExits(r.get(), text, sizeof text), 0);
    return r;
}

// An exit array of entries for a record's pointer slot.
MQPTR exits(int32_t width, std::vector<std::string> entries) {
    auto *a = static_cast<ccdtExitArray *>(std::malloc(CCDT_EXIT_ARRAY_HEAD + entries.size() * width));
    a->capacity = a->count = static_cast<int32_t>(entries.size());
    a->width = width;
    for (size_t i = 0; i < entries.size(); i++) setText(a->entries + i * width, width, entries[i]);
    return a;
}

struct OutputVersion {
    explicit OutputVersion(int v) { ccdtSetOutputVersion(v); }
    ~OutputVersion() { ccdtSetOutputVersion(12); }
};

// The file image of a memory record at a version (credentials as the record holds them).
std::string toFile(ChannelRecord *r, int version, int *rc = nullptr, std::string *text = nullptr) {
    OutputVersion v(version);
    void *out = nullptr;
    uint32_t length = 0;
    char message[256] = "";
    int got = ccdtConvertRecord(r, CCDT_RECORD_MAX, &out, &length, 1, message, sizeof message);
    if (rc) *rc = got;
    if (text) *text = message;
    std::string image(static_cast<char *>(out), out ? length : 0);
    std::free(out);
    return image;
}

// A file image read into memory.
int fromFile(const std::string &image, Rec *r, uint32_t *length = nullptr, std::string *text = nullptr) {
    void *out = nullptr;
    uint32_t got = 0;
    char message[256] = "";
    int rc = ccdtConvertRecord(image.data(), static_cast<uint32_t>(image.size()), &out, &got, 0, message,
                               sizeof message);
    if (text) *text = message;
    if (rc == 0) std::memcpy(r->get(), out, got);
    if (length) *length = got;
    std::free(out);
    return rc;
}

std::string field(const char *f, size_t n) {
    return std::string(f, n);
}

std::string text64(const std::string &t) {
    std::string s = t;
    s.resize(CCDT_TEXT_LENGTH, '\0');
    return s;
}

std::string padded(const std::string &s, size_t n) {
    std::string p = s;
    p.resize(n, ' ');
    return p;
}

// A table on the in-memory files, opened by the layer.
struct Table {
    zt::MemFiles files;
    ccdtHandle *handle = nullptr;
    char text[512] = "";
    int open(int mode = 2, const char *path = kTable) {
        close();
        char name[CCDT_PATH_MAX + 1];
        std::snprintf(name, sizeof name, "%s", path);
        return ccdtOpen(mode, name, &handle, text, sizeof text);
    }
    void close() { (void)ccdtClose(&handle, text, sizeof text); }
    ~Table() { close(); }
    int put(Rec &r) { return ccdtPutChannel(handle, r.get(), text, sizeof text); }
    int find(const std::string &name, Rec *r, uint16_t room = CCDT_RECORD_MAX - 8) {
        uint16_t length = room;
        return ccdtFindChannel(handle, key(name).data(), &length, r->get(), text, sizeof text);
    }
    // The stored bytes of a record.
    std::string stored(const std::string &name) {
        std::string data;
        uint32_t length = 20000;
        data.resize(length);
        EXPECT_EQ(ccdtRecRead(handle->file, bytes(key(name)), data.data(), &length, CCDT_READ_EXACT), 0);
        data.resize(length);
        return data;
    }
};

TEST(ChannelLayout, VersionsWriteTheirPartsTrailerAndArea) {
    zt::TestClock clock(1767225600);
    Rec r = channel("LAYOUT");
    r->alterTime = 1767225600;
    const uint32_t parts[13] = {0, 984, 1312, 1480, 1540, 1552, 1648, 1748, 1840, 1864, 1876, 1940, 1944};
    for (int v = 1; v <= 12; v++) {
        SCOPED_TRACE(v);
        std::string f = toFile(r.get(), v);
        uint32_t trailer = v < 4 ? 8 : v == 4 ? 12 : v == 5 ? 68 : 132;
        uint32_t tail = v < 4 ? 0 : 6 + (v < 9 ? 2 : 0);
        ASSERT_EQ(f.size(), parts[v] + trailer + tail);
        EXPECT_EQ(u32(f, 20), static_cast<uint32_t>(v));
        if (v >= 4) {
            EXPECT_EQ(u32(f, 1492), parts[v]);
        }
        if (v >= 5) {
            EXPECT_EQ(u32(f, parts[v] + 64), 1767225600u);
        }
        if (v >= 4) {
            EXPECT_EQ(f.substr(parts[v] + trailer, 6), std::string(6, '\x01'));
        }
    }
    std::string v12 = toFile(r.get(), 12);
    EXPECT_EQ(v12.size(), 2082u);
    EXPECT_EQ(u32(v12, 1952), 6u);
    std::string text;
    EXPECT_EQ(toFile(r.get(), 13, nullptr, &text), "");
    EXPECT_EQ(text, "AMQ8427: Sorry, this program does not support writing version 13 channel records");
    for (int bad : {0, 13}) {
        std::string f = v12;
        mqiPutI32(f.data(), 20, bad);
        Rec back;
        EXPECT_EQ(fromFile(f, &back, nullptr, &text), CCDT_E_PARAM);
        EXPECT_EQ(text, "AMQ8427: Sorry, this program does not support reading version " +
                            std::to_string(bad) + " channel records");
    }
}

TEST(ChannelLayout, OlderRecordsReadWithDefaultsAndSingleExits) {
    Rec r = channel("OLD");
    setText(r->mqcd.SendExit, 128, "X");
    char text[128];
    ASSERT_EQ(ccdtPackExitLists(r.get(), nullptr, 1, text, sizeof text), 0);
    r->mqcd.HeartbeatInterval = 7;
    std::string v3 = toFile(r.get(), 3);
    ASSERT_EQ(v3.size(), 1488u);
    Rec back;
    uint32_t length = 0;
    ASSERT_EQ(fromFile(v3, &back, &length), 0);
    EXPECT_EQ(back->mqcd.Version, 3);
    EXPECT_EQ(back->mqcd.HeartbeatInterval, 300);  // a version-4 field: the default
    EXPECT_EQ(back->mqcd.SharingConversations, 10);
    EXPECT_EQ(back->exitListsLen, 8);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(back.tail()), 8), "\x01\x01X\x02\x01\x01\x01\x01");
    ASSERT_EQ(ccdtUnpackExits(back.get(), length, text, sizeof text), 0);
    auto *send = static_cast<ccdtExitArray *>(back->mqcd.SendExitPtr);
    ASSERT_NE(send, nullptr);
    EXPECT_EQ(send->count, 1);
    EXPECT_EQ(field(send->entries, 128), padded("X", 128));
    EXPECT_EQ(toFile(back.get(), 2).size(), 1320u);
    ccdtFreeChannel(back.get(), 0);

    // Version 1: the connection name is the short one; no credentials are kept or deciphered.
    Rec one = channel("V1");
    setText(one->mqcd.ConnectionName, 264, "conn(1)");
    setText(one->mqcd.UserIdentifier, 12, "user");
    Table t;
    ASSERT_EQ(t.open(), 0);
    OutputVersion v(1);
    ASSERT_EQ(t.put(one), 0);
    std::string stored = t.stored("V1");
    ASSERT_EQ(stored.size(), 992u);
    EXPECT_EQ(u32(stored, 988), 0u);  // Encrypt
    Rec read;
    ASSERT_EQ(t.find("V1", &read), 0);
    EXPECT_EQ(field(read->mqcd.ConnectionName, 264), padded("conn(1)", 264));
    EXPECT_EQ(read->mqcd.UserIdentifier[0], '\0');
    ASSERT_EQ(t.put(read), 0);
    ASSERT_EQ(t.find("V1", &read), 0);
    EXPECT_EQ(field(read->mqcd.ShortConnectionName, 20), padded("conn(1)", 20));
}

TEST(ChannelLayout, ExitsAndPeerNameSurviveEveryVersion) {
    Rec r = channel("FULL");
    r->mqcd.MsgExitPtr = exits(128, {"m1", "m2"});
    r->mqcd.SendExitPtr = exits(128, {"s1"});
    r->mqcd.ReceiveUserDataPtr = exits(32, {"rd1", "rd2"});
    const std::string peer = "CN=abc";
    r->mqcd.SSLPeerNameLength = static_cast<int32_t>(peer.size());
    r->mqcd.SSLPeerNamePtr = std::malloc(peer.size());
    std::memcpy(r->mqcd.SSLPeerNamePtr, peer.data(), peer.size());
    char text[128];
    ASSERT_EQ(ccdtTrimExits(r.get(), text, sizeof text), 0);
    for (int v = 1; v <= 12; v++) {
        SCOPED_TRACE(v);
        Rec back;
        uint32_t length = 0;
        std::string image = toFile(r.get(), v);
        ASSERT_EQ(fromFile(image, &back, &length), 0);
        ASSERT_EQ(ccdtUnpackExits(back.get(), length, text, sizeof text), 0) << text;
        auto *msg = static_cast<ccdtExitArray *>(back->mqcd.MsgExitPtr);
        ASSERT_NE(msg, nullptr);
        EXPECT_EQ(msg->count, v < 4 ? 1 : 2);
        EXPECT_EQ(field(msg->entries, 2), "m1");
        auto *data = static_cast<ccdtExitArray *>(back->mqcd.ReceiveUserDataPtr);
        EXPECT_EQ(field(data->entries, 3), "rd1");
        if (v >= 7) {
            ASSERT_EQ(back->mqcd.SSLPeerNameLength, 6);
            EXPECT_EQ(field(static_cast<char *>(back->mqcd.SSLPeerNamePtr), 6), peer);
        }
        // Read and written again at its own version: the same bytes.
        EXPECT_EQ(toFile(back.get(), v), image);
        ccdtFreeChannel(back.get(), 0);
    }
    ccdtFreeChannel(r.get(), 0);
}

// The fully set channel of scripts/gen_ccdt_golden.py: each chars field holds its row number of the
// record layout repeated ("r05-r05-..."), each long row * 100 plus its index, with the exceptions
// the script makes as well.
template <typename T, size_t N>
void rowChars(T (&field)[N], int row) {
    char tag[8];
    std::snprintf(tag, sizeof tag, "r%02d-", row);
    for (size_t i = 0; i < N; i++) field[i] = static_cast<T>(tag[i % 4]);
}
template <size_t N>
void rowLongs(MQLONG (&field)[N], int row) {
    for (size_t k = 0; k < N; k++) field[k] = row * 100 + static_cast<MQLONG>(k);
}
void rowLongs(MQLONG &field, int row) {
    field = row * 100;
}

Rec goldenChannel() {
    Rec r;
    MQCD &cd = r->mqcd;
    setText(cd.ChannelName, 20, "GOLDEN");
    cd.Version = 12;
    cd.ChannelType = MQCHT_CLNTCONN;
    cd.TransportType = MQXPT_TCP;
    rowChars(cd.Desc, 5);
    rowChars(cd.QMgrName, 6);
    rowChars(cd.XmitQName, 7);
    rowChars(cd.ShortConnectionName, 8);
    rowChars(cd.MCAName, 9);
    rowChars(cd.ModeName, 10);
    rowChars(cd.TpName, 11);
    rowLongs(cd.BatchSize, 12);
    rowLongs(cd.DiscInterval, 13);
    rowLongs(cd.ShortRetryCount, 14);
    rowLongs(cd.ShortRetryInterval, 15);
    rowLongs(cd.LongRetryCount, 16);
    rowLongs(cd.LongRetryInterval, 17);
    rowChars(cd.SecurityExit, 18);
    rowChars(cd.MsgExit, 19);
    rowChars(cd.SendExit, 20);
    rowChars(cd.ReceiveExit, 21);
    rowLongs(cd.SeqNumberWrap, 22);
    rowLongs(cd.MaxMsgLength, 23);
    rowLongs(cd.PutAuthority, 24);
    rowLongs(cd.DataConversion, 25);
    rowChars(cd.SecurityUserData, 26);
    rowChars(cd.MsgUserData, 27);
    rowChars(cd.SendUserData, 28);
    rowChars(cd.ReceiveUserData, 29);
    rowChars(cd.UserIdentifier, 30);
    rowChars(cd.Password, 31);
    rowChars(cd.MCAUserIdentifier, 32);
    rowLongs(cd.MCAType, 33);
    rowChars(cd.ConnectionName, 34);
    rowChars(cd.RemoteUserIdentifier, 35);
    rowChars(cd.RemotePassword, 36);
    rowChars(cd.MsgRetryExit, 37);
    rowChars(cd.MsgRetryUserData, 38);
    rowLongs(cd.MsgRetryCount, 39);
    rowLongs(cd.MsgRetryInterval, 40);
    rowLongs(cd.HeartbeatInterval, 41);
    rowLongs(cd.BatchInterval, 42);
    rowLongs(cd.NonPersistentMsgSpeed, 43);
    rowLongs(cd.StrucLength, 44);
    cd.ExitNameLength = 64;
    cd.ExitDataLength = 16;
    cd.MsgExitsDefined = cd.SendExitsDefined = cd.ReceiveExitsDefined = 2;
    rowLongs(cd.ClustersDefined, 57);
    rowLongs(cd.NetworkPriority, 58);
    rowLongs(cd.LongMCAUserIdLength, 59);
    rowLongs(cd.LongRemoteUserIdLength, 60);
    rowChars(cd.MCASecurityId, 63);
    rowChars(cd.RemoteSecurityId, 64);
    rowChars(cd.SSLCipherSpec, 65);
    rowLongs(cd.SSLClientAuth, 68);
    rowLongs(cd.KeepAliveInterval, 69);
    rowChars(cd.LocalAddress, 70);
    rowLongs(cd.BatchHeartbeat, 71);
    rowLongs(cd.HdrCompList, 72);
    rowLongs(cd.MsgCompList, 73);
    rowLongs(cd.CLWLChannelRank, 74);
    rowLongs(cd.CLWLChannelPriority, 75);
    rowLongs(cd.CLWLChannelWeight, 76);
    rowLongs(cd.ChannelMonitoring, 77);
    rowLongs(cd.ChannelStatistics, 78);
    rowLongs(cd.SharingConversations, 79);
    rowLongs(cd.PropertyControl, 80);
    rowLongs(cd.MaxInstances, 81);
    rowLongs(cd.MaxInstancesPerClient, 82);
    rowLongs(cd.ClientChannelWeight, 83);
    rowLongs(cd.ConnectionAffinity, 84);
    rowLongs(cd.BatchDataLimit, 85);
    rowLongs(cd.UseDLQ, 86);
    rowLongs(cd.DefReconnect, 87);
    rowChars(cd.CertificateLabel, 88);
    rowLongs(cd.SPLProtection, 89);
    rowLongs(r->newSequenceNumber, 91);
    rowLongs(r->flags, 94);
    rowChars(r->cluster, 95);
    r->alterTime = 12345;  // stamped by the write
    rowChars(r->longMcaUser, 97);

    cd.MsgExitPtr = exits(64, {"msgexit(one)", "msgexit(two)"});
    cd.MsgUserDataPtr = exits(16, {"mdata-1", "mdata-2"});
    cd.SendExitPtr = exits(64, {"sendexit(one)", "sendexit(two)"});
    cd.SendUserDataPtr = exits(16, {"sdata-1", "sdata-2"});
    cd.ReceiveExitPtr = exits(64, {"rcvexit(one)", "rcvexit(two)"});
    cd.ReceiveUserDataPtr = exits(16, {"rdata-1", "rdata-2"});
    const std::string peer = "CN=golden peer,O=zunt";
    cd.SSLPeerNameLength = static_cast<MQLONG>(peer.size());
    cd.SSLPeerNamePtr = std::malloc(peer.size());
    std::memcpy(cd.SSLPeerNamePtr, peer.data(), peer.size());
    char text[128];
    EXPECT_EQ(ccdtTrimExits(r.get(), text, sizeof text), 0) << text;
    return r;
}

std::string golden(const std::string &name) {
    std::ifstream in(std::string(ZUNT_CCDT_GOLDEN) + "/" + name, std::ios::binary | std::ios::ate);
    EXPECT_TRUE(in.good()) << name;
    std::string bytes(in.good() ? static_cast<size_t>(in.tellg()) : 0, '\0');
    in.seekg(0);
    in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return bytes;
}

// The stored record with its credentials deciphered: the images hold them plain, so they do not
// depend on the key. Records from version 2 on keep them enciphered.
std::string plain(std::string stored, int version) {
    constexpr size_t kCredentials = 984;  // User Identifier and Password, behind the version-1 fields
    if (version >= 2 && stored.size() >= kCredentials + 24) {
        EXPECT_EQ(desDecryptBuffer(stored.data() + kCredentials, 24), 0);
    }
    return stored;
}

TEST(ChannelLayout, FullRecordMatchesTheGoldenImageOfEveryVersion) {
    zt::TestClock clock(1767225600);
    for (int v = 1; v <= 12; v++) {
        SCOPED_TRACE(v);
        char name[16];
        std::snprintf(name, sizeof name, "v%02d", v);
        Table t;
        ASSERT_EQ(t.open(), 0);
        Rec r = goldenChannel();
        std::string stored;
        {
            OutputVersion out(v);
            ASSERT_EQ(t.put(r), 0) << t.text;
            stored = t.stored("GOLDEN");
            EXPECT_BYTES_EQ(golden(std::string(name) + ".bin"), plain(stored, v));

            // Read back and written again on the same clock: the same bytes.
            Rec back;
            ASSERT_EQ(t.find("GOLDEN", &back), 0) << t.text;
            ASSERT_EQ(t.put(back), 0) << t.text;
            EXPECT_BYTES_EQ(stored, t.stored("GOLDEN"));
            ccdtFreeChannel(back.get(), 0);
        }
        // What the version lacks reads as the defaults, which a version-12 write shows.
        Rec back;
        ASSERT_EQ(t.find("GOLDEN", &back), 0) << t.text;
        ASSERT_EQ(t.put(back), 0) << t.text;
        EXPECT_BYTES_EQ(golden(std::string(name) + "-at12.bin"), plain(t.stored("GOLDEN"), v));
        ccdtFreeChannel(back.get(), 0);
        ccdtFreeChannel(r.get(), 0);
    }
}

TEST(ChannelFaults, DamagedRecordsAreRefused) {
    Rec r = channel("DAMAGED");
    r->mqcd.SSLPeerNameLength = 0;
    const std::string good = toFile(r.get(), 12);
    auto with = [&](size_t at, int32_t value) {
        std::string f = good;
        mqiPutI32(f.data(), at, value);
        return f;
    };
    std::string missingEnd = good;
    missingEnd[2076 + 5] = 'x';
    struct Case {
        const char *what;
        std::string image;
        int rc;
        const char *text;
    } cases[] = {
        {"truncated fixed part", good.substr(0, 2000), CCDT_E_FILE, "Error accessing file RC(1001)"},
        {"shorter than its key and version", good.substr(0, 22), CCDT_E_FILE,
         "Error accessing file RC(1001)"},
        {"area longer than the record", with(1952, 60000), CCDT_E_FILE, "Error accessing file RC(1001)"},
        {"negative area", with(1952, -1), CCDT_E_FILE, "Error accessing file RC(1001)"},
        {"peer name past the record", with(1684, 2000), CCDT_E_FILE, "Error accessing file RC(1001)"},
        {"list without its end", missingEnd, CCDT_E_FILE, "File exit format error"},
    };
    // The exit width matters only when the lists hold entries.
    std::string entries = good.substr(0, 2076) + std::string("a\x02\x01\x01\x01\x01\x01\x01", 8);
    mqiPutI32(entries.data(), 1952, 8);
    mqiPutI32(entries.data(), 1496, 100000);
    Rec back;
    EXPECT_EQ(fromFile(with(1496, 100000), &back), 0);
    for (const Case &c : cases) {
        std::string text;
        EXPECT_EQ(fromFile(c.image, &back, nullptr, &text), c.rc) << c.what;
        EXPECT_EQ(text, c.text) << c.what;
    }
    EXPECT_EQ(fromFile(entries, &back), CCDT_E_FILE);
}

// The fixed part (MQCD and trailer) of a file record of each version, 1 to 12.
constexpr uint32_t kFixed[] = {992, 1320, 1488, 1552, 1620, 1780, 1880, 1972, 1996, 2008, 2072, 2076};

// A file record of a version and length: its key and version, zeros (no exits, no peer name) to
// the end of the fixed part, then filler.
std::string longRecord(int version, uint32_t length) {
    std::string image = key("LONG");
    image.resize(kFixed[version - 1], '\0');
    mqiPutI32(image.data(), 20, version);
    image.resize(length, 'x');
    return image;
}

TEST(ChannelFaults, RecordsAtAndPastEachVersionsLongestAreReadOrRefused) {
    for (int version = 1; version <= CCDT_MAX_VERSION; version++) {
        SCOPED_TRACE(version);
        const uint32_t longest = kFixed[version - 1] + CCDT_TAIL_MAX;
        Rec back;
        uint32_t length = 0;
        std::string text;
        ASSERT_EQ(fromFile(longRecord(version, longest), &back, &length, &text), 0) << text;
        EXPECT_LE(length, CCDT_RECORD_MAX);
        // Longer than its fixed part and the largest tail: damaged, even within the file's largest.
        for (uint32_t past : {longest + 1, kFixed[CCDT_MAX_VERSION - 1] + CCDT_TAIL_MAX}) {
            if (past <= longest) continue;
            EXPECT_EQ(fromFile(longRecord(version, past), &back, nullptr, &text), CCDT_E_FILE) << past;
            EXPECT_EQ(text, "Error accessing file RC(1001)");
        }
    }
}

TEST(ChannelFaults, RecordLargerThanTheBufferIsReadWholeAndRefused) {
    Table t;
    ASSERT_EQ(t.open(), 0);
    Rec r = channel("BIG");
    std::vector<std::string> many(70, std::string(128, 'e'));
    r->mqcd.MsgExitPtr = exits(128, many);
    ASSERT_EQ(ccdtTrimExits(r.get(), t.text, sizeof t.text), 0);
    ASSERT_GT(r->exitListsLen, 9000);
    ASSERT_EQ(t.put(r), 0);
    Rec back;
    EXPECT_EQ(t.find("BIG", &back, 2136), CCDT_E_TOO_LARGE);
    EXPECT_STREQ(t.text, "AMQ8147: WebSphere MQ channel 'BIG' too large");
    ASSERT_EQ(t.find("BIG", &back), 0);
    EXPECT_EQ(back->exitListsLen, r->exitListsLen);
    ccdtFreeChannel(r.get(), 0);
    // An area over the limit is refused before it is built.
    r->mqcd.MsgExitPtr = exits(128, std::vector<std::string>(80, std::string(128, 'e')));
    EXPECT_EQ(ccdtTrimExits(r.get(), t.text, sizeof t.text), CCDT_E_PARAM);
    EXPECT_STREQ(t.text, "Exit lists too large");
    ccdtFreeChannel(r.get(), 0);
}

TEST(ChannelFaults, PeerNameAtVersionsSevenAndEightAndCredentialsKeepTheirBytes) {
    Table t;
    ASSERT_EQ(t.open(), 0);
    for (int v : {7, 8}) {
        SCOPED_TRACE(v);
        Rec r = channel("PEER");
        std::string peer = "CN=abc";
        r->mqcd.SSLPeerNameLength = 6;
        std::memcpy(r.tail() + 6, peer.data(), 6);  // a version-12 record: no padding
        OutputVersion out(v);
        Rec found;
        if (t.find("PEER", &found) == 0) ccdtFreeChannel(found.get(), 0);
        ASSERT_EQ(t.put(r), 0) << t.text;
        uint32_t length = 0;
        ASSERT_EQ(t.find("PEER", &found), 0);
        length = static_cast<uint32_t>(sizeof(ChannelRecord) + 6 + 2 + 6);
        ASSERT_EQ(ccdtUnpackExits(found.get(), length, t.text, sizeof t.text), 0);
        EXPECT_EQ(field(static_cast<char *>(found->mqcd.SSLPeerNamePtr), 6), peer);
        ccdtFreeChannel(found.get(), 0);
    }
    // A NUL-padded user identifier from another writer keeps its password whole.
    Rec r = channel("CRED");
    std::memset(r->mqcd.UserIdentifier, 0, 12);
    std::memcpy(r->mqcd.UserIdentifier, "ab", 2);
    setText(r->mqcd.Password, 12, "SECRETPW");
    ASSERT_EQ(t.put(r), 0);
    EXPECT_EQ(field(r->mqcd.Password, 8), "SECRETPW");  // the caller's record stays plain
    std::string stored = t.stored("CRED");
    EXPECT_EQ(u32(stored, 1948), 1u);
    EXPECT_NE(stored.substr(984, 24), field(r->mqcd.UserIdentifier, 24));
    for (int i = 0; i < 2; i++) {
        Rec back;
        ASSERT_EQ(t.find("CRED", &back), 0);
        EXPECT_EQ(field(back->mqcd.UserIdentifier, 12), std::string("ab\0\0\0\0\0\0\0\0\0\0", 12));
        EXPECT_EQ(field(back->mqcd.Password, 12), padded("SECRETPW", 12));
        ASSERT_EQ(t.put(back), 0);  // written again: nothing lost
    }
}

TEST(ChannelTable, MqserverChannelIsReadOnceAndRefusedWhenMalformed) {
    zt::ScopedEnv server("MQSERVER", "SYSTEM.DEF.SVRCONN/tcp/host(1414)");
    Table t;
    ASSERT_EQ(t.open(1, "!"), 0);
    EXPECT_EQ(t.handle->file, nullptr);
    Rec r;
    uint16_t length = CCDT_RECORD_MAX - 8;
    ASSERT_EQ(ccdtReadFirstChannel(t.handle, &length, r.get(), t.text, sizeof t.text), 0);
    EXPECT_EQ(field(r->mqcd.ChannelName, 20), padded("SYSTEM.DEF.SVRCONN", 20));
    EXPECT_EQ(r->mqcd.ChannelType, 6);
    EXPECT_EQ(r->mqcd.TransportType, 2);
    EXPECT_EQ(r->mqcd.QMgrName[0], '*');
    EXPECT_EQ(r->mqcd.HeartbeatInterval, 1);
    EXPECT_EQ(field(r->mqcd.ConnectionName, 10), "host(1414)");
    EXPECT_EQ(ccdtReadNextChannel(t.handle, &length, r.get(), t.text, sizeof t.text), CCDT_E_NO_MORE);

    struct Case {
        const char *value;
        int rc;
        std::string text;
    } cases[] = {
        {"X/FOO/h", CCDT_E_MQSERVER, "Invalid MQSERVER Environment variable protocol 'X/FOO/h'"},
        {"XYZ", CCDT_E_MQSERVER, "Invalid MQSERVER Environment variable 'XYZ'"},
        {"X/LU62/conn/MODE", CCDT_E_MQSERVER, "Invalid MQSERVER Environment variable 'X/LU62/conn/MODE'"},
        {"L/lu62/partner/MODE/TPNAME/*", 0, ""},
    };
    for (const Case &c : cases) {
        zt::ScopedEnv value("MQSERVER", c.value);
        t.text[0] = '\0';
        EXPECT_EQ(ccdtReadFirstChannel(t.handle, &length, r.get(), t.text, sizeof t.text), c.rc) << c.value;
        EXPECT_EQ(std::string(t.text), c.text);
    }
    EXPECT_EQ(r->mqcd.TransportType, 1);
    EXPECT_EQ(field(r->mqcd.ModeName, 8), "MODE    ");
    EXPECT_EQ(field(r->mqcd.TpName, 7), "TPNAME ");
    EXPECT_EQ(field(r->mqcd.UserIdentifier, 2), "* ");
    EXPECT_EQ(field(r->mqcd.ConnectionName, 8), "partner ");
}

TEST(ChannelTable, NamesResolveToPaths) {
    zt::MemFiles files;
    struct Case {
        const char *name, *lib, *tab;
        std::string path;
        int rc;
    } cases[] = {
#ifdef _WIN32
        // '\' or a drive's ':' makes a path; without MQCHLLIB the folder is c:\mqm when the registry
        // has no IBM MQ installation, as in the tests' wine prefix.
        {"*", "c:\\t\\", nullptr, "c:\\t\\AMQCLCHL.TAB", CCDT_E_NO_FILE},
        {"", nullptr, nullptr, "c:\\mqm\\AMQCLCHL.TAB", CCDT_E_NO_FILE},
        {"c:\\x\\", "c:\\t", "T.TAB", "c:\\x\\T.TAB", CCDT_E_NO_FILE},
        {"NAME.TAB", "c:\\lib", "T.TAB", "c:\\lib\\NAME.TAB", CCDT_E_NO_FILE},
        {"d:b.tab", "c:\\t", nullptr, "d:b.tab", CCDT_E_NO_FILE},
        {"!", nullptr, nullptr, "c:\\mqm\\!", CCDT_E_NO_FILE},
#else
        {"*", "/t/", nullptr, "/t/AMQCLCHL.TAB", CCDT_E_NO_FILE},
        {"", nullptr, nullptr, "/var/mqm/AMQCLCHL.TAB", CCDT_E_NO_FILE},
        {"/x/", "/t", "T.TAB", "/x/T.TAB", CCDT_E_NO_FILE},
        {"NAME.TAB", "/lib", "T.TAB", "/lib/NAME.TAB", CCDT_E_NO_FILE},
        {"/a/b:c.tab", "/t", nullptr, "/a/b:c.tab", CCDT_E_NO_FILE},
        {"!", nullptr, nullptr, "/var/mqm/!", CCDT_E_NO_FILE},  // without MQSERVER a file name
#endif
    };
    zt::ScopedEnv server("MQSERVER", nullptr);
    for (const Case &c : cases) {
        zt::ScopedEnv lib("MQCHLLIB", c.lib), tab("MQCHLTAB", c.tab);
        char name[CCDT_PATH_MAX + 1], text[512];
        std::snprintf(name, sizeof name, "%s", c.name);
        ccdtHandle *h = nullptr;
        EXPECT_EQ(ccdtOpen(1, name, &h, text, sizeof text), c.rc) << c.name;
        EXPECT_EQ(std::string(name), c.path);
        EXPECT_EQ(std::string(text), "Can not find file '" + c.path + "'");
    }
    char name[CCDT_PATH_MAX + 1], text[512];
    std::memset(name, 'n', 256);
    name[256] = '\0';
    ccdtHandle *h = nullptr;
    EXPECT_EQ(ccdtOpen(1, name, &h, text, sizeof text), CCDT_E_PARAM);
    EXPECT_STREQ(text, "Channel File name too large");
    files.put(CCT_MEM_DIR "bad.tab", "NOPE");
    std::snprintf(name, sizeof name, CCT_MEM_DIR "bad.tab");
    EXPECT_EQ(ccdtOpen(1, name, &h, text, sizeof text), CCDT_E_FORMAT);
    EXPECT_STREQ(text, "File '" CCT_MEM_DIR "bad.tab' does not appear to be the correct format");
}

#ifdef _WIN32
// Without MQCHLLIB the folder is the IBM MQ installation's work path, else its file path, each read
// from the registry's 32-bit view.
TEST(ChannelTable, TheDefaultFolderComesFromTheInstallationsRegistryValues) {
    zt::MemFiles files;
    zt::ScopedEnv server("MQSERVER", nullptr), lib("MQCHLLIB", nullptr), tab("MQCHLTAB", nullptr);
    const char *const keys[] = {"SOFTWARE\\IBM\\MQSeries\\CurrentVersion", "SOFTWARE\\IBM\\WebSphere MQ"};
    const char *const values[] = {"FilePath", "WorkPath"};
    const char *const paths[] = {"c:\\file path", "c:\\work\\"};
    const char *const expected[] = {"c:\\file path\\AMQCLCHL.TAB", "c:\\work\\AMQCLCHL.TAB"};
    HKEY handles[2] = {};
    for (int i = 0; i < 2; i++) {
        ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, keys[i], 0, nullptr, 0,
                                  KEY_ALL_ACCESS | KEY_WOW64_32KEY, nullptr, &handles[i], nullptr),
                  ERROR_SUCCESS);
        RegDeleteValueA(handles[i], values[i]);
    }
    for (int i = 0; i < 2; i++) {
        ASSERT_EQ(RegSetValueExA(handles[i], values[i], 0, REG_SZ, reinterpret_cast<const BYTE *>(paths[i]),
                                 static_cast<DWORD>(std::strlen(paths[i]) + 1)),
                  ERROR_SUCCESS);
        char name[CCDT_PATH_MAX + 1] = "", text[512];
        ccdtHandle *h = nullptr;
        EXPECT_EQ(ccdtOpen(1, name, &h, text, sizeof text), CCDT_E_NO_FILE);
        EXPECT_STREQ(name, expected[i]);
    }
    for (int i = 0; i < 2; i++) {
        RegDeleteValueA(handles[i], values[i]);
        RegCloseKey(handles[i]);
    }
}
#endif

TEST(ChannelTable, ClusterSenderGetsTheClusterTransmitQueue) {
    Table t;
    ASSERT_EQ(t.open(), 0);
    Rec r = channel("CLUS");
    r->mqcd.ChannelType = MQCHT_CLUSSDR;
    ASSERT_EQ(t.put(r), 0);
    Rec back;
    ASSERT_EQ(t.find("CLUS", &back), 0);
    EXPECT_EQ(field(back->mqcd.XmitQName, 48), padded("SYSTEM.CLUSTER.TRANSMIT.QUEUE", 48));
}

ccdtCrlSlot crl(const std::string &name) {
    ccdtCrlSlot s;
    setText(s.connectionName, sizeof s.connectionName, name);
    s.type = 1;
    setText(s.userName, sizeof s.userName, "");
    setText(s.password, sizeof s.password, "");
    return s;
}

std::vector<std::string> slotNames(Table &t) {
    std::vector<std::string> names;
    ccdtCrlSlot s;
    for (int i = 1; ccdtGetCrlAuthInfo(t.handle, i, &s, nullptr, nullptr, t.text, sizeof t.text) == 0; i++) {
        std::string n(s.connectionName, sizeof s.connectionName);
        names.push_back(n.substr(0, n.find_first_of(std::string(" \0", 2))));
    }
    return names;
}

}  // namespace

TEST(CrlSlots, AddInsertGetAndDeleteMoveLaterSlots) {
    Table t;
    ASSERT_EQ(t.open(), 0);
    std::string description = text64("ldap servers");
    for (const char *n : {"a", "c"}) {
        ccdtCrlSlot s = crl(n);
        ASSERT_EQ(ccdtAddCrlAuthInfo(t.handle, 0, &s, 99, description.data(), t.text, sizeof t.text), 0);
    }
    ccdtCrlSlot b = crl("b");
    ASSERT_EQ(ccdtAddCrlAuthInfo(t.handle, 1, &b, 2, description.data(), t.text, sizeof t.text), 0);
    EXPECT_EQ(slotNames(t), (std::vector<std::string>{"a", "b", "c"}));
    ccdtCrlSlot s;
    EXPECT_EQ(ccdtGetCrlAuthInfo(t.handle, 0, &s, nullptr, nullptr, t.text, sizeof t.text), CCDT_E_NO_MORE);
    EXPECT_EQ(ccdtGetCrlAuthInfo(t.handle, 4, &s, nullptr, nullptr, t.text, sizeof t.text), CCDT_E_NO_MORE);
    EXPECT_EQ(ccdtDeleteCrlAuthInfo(t.handle, 4, t.text, sizeof t.text), CCDT_E_NO_MORE);
    ASSERT_EQ(ccdtDeleteCrlAuthInfo(t.handle, 1, t.text, sizeof t.text), 0);
    EXPECT_EQ(slotNames(t), (std::vector<std::string>{"b", "c"}));
    for (int i = 0; i < 8; i++) {
        ccdtCrlSlot more = crl("x" + std::to_string(i));
        ASSERT_EQ(ccdtAddCrlAuthInfo(t.handle, 0, &more, 99, description.data(), t.text, sizeof t.text), 0);
    }
    ccdtCrlSlot eleventh = crl("y");
    EXPECT_EQ(ccdtAddCrlAuthInfo(t.handle, 1, &eleventh, 1, description.data(), t.text, sizeof t.text),
              CCDT_E_PARAM);
    EXPECT_STREQ(t.text, "AMQ8326: Maximum number (10) of CRLLDAP AUTHINFO definitions reached.");
    EXPECT_EQ(ccdtAddCrlAuthInfo(t.handle, 0, &eleventh, 11, description.data(), t.text, sizeof t.text),
              CCDT_E_PARAM);
    char got[CCDT_TEXT_LENGTH];
    ASSERT_EQ(ccdtGetCrlAuthInfo(t.handle, 10, &s, nullptr, got, t.text, sizeof t.text), 0);
    EXPECT_EQ(std::string(got, 12), "ldap servers");
}

TEST(CrlSlots, DamagedCrlRecordIsReportedAndNothingWritten) {
    Table t;
    ASSERT_EQ(t.open(), 0);
    std::string damaged = CCDT_CRL_KEY;
    damaged.resize(1700, '\0');
    mqiPutU32(damaged.data(), 20, 3);
    mqiPutU32(damaged.data(), 1636, 60);  // a list longer than the record
    ASSERT_EQ(ccdtRecWrite(t.handle->file, damaged.data(), static_cast<uint32_t>(damaged.size())), 0);
    t.close();
    std::string before = t.files.get(kTable);
    ASSERT_EQ(t.open(), 0);
    ccdtCrlSlot s = crl("new");
    std::string description = text64("");
    const std::string text = "AMQ8147: Error accessing authentication information records RC(1001)";
    EXPECT_EQ(ccdtAddCrlAuthInfo(t.handle, 0, &s, 1, description.data(), t.text, sizeof t.text), CCDT_E_FILE);
    EXPECT_EQ(std::string(t.text), text);
    EXPECT_EQ(ccdtAddCrlAuthInfo(t.handle, 1, &s, 1, description.data(), t.text, sizeof t.text), CCDT_E_FILE);
    EXPECT_EQ(ccdtDeleteCrlAuthInfo(t.handle, 1, t.text, sizeof t.text), CCDT_E_FILE);
    EXPECT_EQ(ccdtGetCrlAuthInfo(t.handle, 1, &s, nullptr, nullptr, t.text, sizeof t.text), CCDT_E_FILE);
    EXPECT_EQ(std::string(t.text), text);
    t.close();
    EXPECT_EQ(t.files.get(kTable), before);
}
