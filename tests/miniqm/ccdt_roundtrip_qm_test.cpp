// Channel tables written by the system's own table layer, read by the stand-in's client library:
// records of versions 4, 9 and 12 with exits and a peer name, beside a deleted channel and a CRL
// record, lead MQCONNX to the queue manager through MQCHLLIB and MQCHLTAB.
#include <cstring>
#include <vector>

#include "ccdt/ccdt.h"
#include "miniqm/qm_fixture.h"

using namespace qmt;

namespace {

void blankText(char *field, size_t n, const std::string &v) {
    std::memset(field, ' ', n);
    std::memcpy(field, v.data(), std::min(n, v.size()));
}

MQPTR exitList(int32_t width, const std::vector<std::string> &entries) {
    auto *a = static_cast<ccdtExitArray *>(std::malloc(CCDT_EXIT_ARRAY_HEAD + entries.size() * width));
    a->capacity = a->count = static_cast<int32_t>(entries.size());
    a->width = width;
    for (size_t i = 0; i < entries.size(); i++) blankText(a->entries + i * width, width, entries[i]);
    return a;
}

struct Writer {
    ccdtHandle *handle = nullptr;
    char text[512] = "";
    std::vector<uint64_t> words = std::vector<uint64_t>(CCDT_RECORD_MAX / 8 + 1);
    ChannelRecord *record = reinterpret_cast<ChannelRecord *>(words.data());

    explicit Writer(const char *table) {
        char name[CCDT_PATH_MAX + 1];
        std::snprintf(name, sizeof name, "%s", table);
        EXPECT_EQ(ccdtOpen(2, name, &handle, text, sizeof text), 0) << text;
    }
    ~Writer() { (void)ccdtClose(&handle, text, sizeof text); }

    void channel(const std::string &name, int32_t version, const std::string &qmName,
                 const std::string &conname) {
        ccdtDefaultChannel(record);
        MQCD &cd = record->mqcd;
        blankText(cd.ChannelName, 20, name);
        cd.Version = version;
        cd.ChannelType = MQCHT_CLNTCONN;
        cd.TransportType = MQXPT_TCP;
        blankText(cd.QMgrName, 48, qmName);
        blankText(cd.ConnectionName, 264, conname);
        cd.SendExitPtr = exitList(128, {"libexit(send1)", "libexit(send2)"});
        cd.SendUserDataPtr = exitList(32, {"data1", "data2"});
        std::string peer = "CN=" + name;
        cd.SSLPeerNameLength = static_cast<int32_t>(peer.size());
        cd.SSLPeerNamePtr = std::malloc(peer.size());
        std::memcpy(cd.SSLPeerNamePtr, peer.data(), peer.size());
        ASSERT_EQ(ccdtTrimExits(record, text, sizeof text), 0) << text;
        ASSERT_EQ(ccdtPutChannel(handle, record, text, sizeof text), 0) << text;
        ccdtFreeChannel(record, 0);
    }
    void remove(const std::string &name) {
        std::string key = name;
        key.resize(20, ' ');
        uint16_t length = CCDT_RECORD_MAX - 8;
        ASSERT_EQ(ccdtFindChannel(handle, key.data(), &length, record, text, sizeof text), 0) << text;
        ASSERT_EQ(ccdtRecDelete(handle->file, key.data(), 20), 0);
    }
};

MQLONG connectTo(const std::string &name) {
    Rc r;
    MQHCONN h = connect(name, &r);
    if (r.cc != MQCC_FAILED) MQDISC(&h, &r.cc, &r.reason);
    return r.reason;
}

}  // namespace

TEST(ChannelTableRoundTrip, ClientConnectsThroughChannelsOfEachVersion) {
    QmServer qm;
    ASSERT_TRUE(qm.ok());
    zt::TempDir dir;
    zt::ScopedEnv lib("MQCHLLIB", dir.path().c_str()), tab("MQCHLTAB", "RT.TAB"), server("MQSERVER", nullptr);
    std::string conname = "127.0.0.1(" + std::to_string(qm.port()) + ")";
    ccdtSetOutputVersion(0);  // each record at its own version
    {
        Writer w("");
        w.channel("RT.GONE", 12, "V12", conname);
        w.channel("RT.V12", 12, "V12", conname);
        w.channel("RT.V4", 4, "V4", conname);
        w.channel("RT.V9", 9, "V9", conname);
        w.remove("RT.GONE");
        ccdtCrlSlot slot;
        blankText(slot.connectionName, sizeof slot.connectionName, "ldap.example(389)");
        slot.type = 1;
        blankText(slot.userName, sizeof slot.userName, "cn=reader");
        blankText(slot.password, sizeof slot.password, "pw");
        char description[CCDT_TEXT_LENGTH] = "ldap";
        ASSERT_EQ(ccdtAddCrlAuthInfo(w.handle, 0, &slot, 1, description, w.text, sizeof w.text), 0) << w.text;
    }
    ccdtSetOutputVersion(12);
    for (const char *name : {"*V4", "*V9", "*V12"}) EXPECT_EQ(connectTo(name), MQRC_NONE) << name;
    {
        Writer w("");
        w.remove("RT.V9");
    }
    EXPECT_EQ(connectTo("*V9"), MQRC_Q_MGR_NAME_ERROR);
    EXPECT_EQ(connectTo("*V4"), MQRC_NONE);
}

namespace {

void collect(void *context, const char *text, size_t length) {
    static_cast<std::string *>(context)->assign(text, length);
}

TEST(ChannelTableRoundTrip, ChannelDefinedInTheEditModeConnectsUntilDeleted) {
    QmServer qm;
    ASSERT_TRUE(qm.ok());
    zt::TempDir dir;
    zt::ScopedEnv lib("MQCHLLIB", dir.path().c_str()), tab("MQCHLTAB", "T.TAB"), server("MQSERVER", nullptr);
    const std::string table = dir.path() + "/T.TAB";
    std::string reply;
    const ccdtMqscIo io{&collect, nullptr, &reply};
    ccdtSetOutputVersion(12);
    const std::string define =
        "DEFINE CHANNEL(C1) CONNAME('127.0.0.1(" + std::to_string(qm.port()) + ")') QMNAME(EDIT)";
    ASSERT_EQ(ccdtMqscRun(table.c_str(), define.c_str(), io), 0) << reply;
    EXPECT_EQ(connectTo("*EDIT"), MQRC_NONE);
    ASSERT_EQ(ccdtMqscRun(table.c_str(), "DELETE CHANNEL(C1)", io), 0) << reply;
    EXPECT_EQ(connectTo("*EDIT"), MQRC_Q_MGR_NAME_ERROR);
}

}  // namespace
