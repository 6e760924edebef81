// Client channel definition tables: the table reader against files written here block by block
// (free blocks, key-order links, damage of every kind), the choice of channels for a queue manager
// name, and client connections through MQCHLLIB/MQCHLTAB and the MQCNO's table URL, with their
// precedence against MQSERVER and the MQCD and the reasons IBM MQ's client gives.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdint>

#include "miniqm/chltab.h"
#include "miniqm/qm_fixture.h"

using namespace qmt;

namespace {

// ---- a small table writer: the layout IBM MQ's queue manager writes ----

constexpr size_t kMqcdLength[13] = {0, 984, 1312, 1480, 1540, 1552, 1648, 1748, 1840, 1864, 1876, 1940, 1944};

void setU32(std::string &b, size_t at, uint32_t v) {
    for (size_t i = 0; i < 4; ++i) b[at + i] = static_cast<char>((v >> (8 * i)) & 0xFF);
}

void setField(std::string &b, size_t at, const std::string &v, size_t n) {
    std::string f = v.substr(0, n);
    f.resize(n, ' ');
    b.replace(at, n, f);
}

struct ChannelDef {
    std::string name, qmName, conname;
    int32_t version = 11;
    int32_t type = MQCHT_CLNTCONN;
    int32_t transport = MQXPT_TCP;
    int32_t weight = 0;
};

// A channel record: the MQCD part of its version and a zeroed trailer.
std::string channelRecord(const ChannelDef &d) {
    std::string r(kMqcdLength[d.version] + 132, '\0');
    setField(r, 0, d.name, 20);
    setU32(r, 20, static_cast<uint32_t>(d.version));
    setU32(r, 24, static_cast<uint32_t>(d.type));
    setU32(r, 28, static_cast<uint32_t>(d.transport));
    setField(r, 32, "", 64);
    setField(r, 96, d.qmName, 48);
    setField(r, 144, "", 48);
    setField(r, 192, d.conname, 20);
    if (d.version >= 2) setField(r, 1024, d.conname, 264);
    if (d.version >= 9) setU32(r, 1856, static_cast<uint32_t>(d.weight));
    return r;
}

std::string sslRecord() {
    std::string r(1640, '\0');
    r.replace(0, 20, "{000SSL_CRL_DATA000}");
    return r;
}

// One block in file order: a record, or (data empty) free space with junk in it.
struct Block {
    std::string data;
    size_t space = 0;  // data space when larger than the record
};

struct Table {
    std::string bytes;
    std::vector<size_t> pos;  // of each block, in file order
};

// Blocks one after another, the records linked in ascending key order, the end marker last. Free
// blocks keep stale links, as a deleted record's block does.
Table buildTable(const std::vector<Block> &blocks) {
    Table t;
    t.bytes = "AMQR";
    size_t at = 4;
    std::vector<size_t> used;
    for (size_t i = 0; i < blocks.size(); ++i) {
        t.pos.push_back(at);
        at += 20 + std::max(blocks[i].space, blocks[i].data.size());
        if (!blocks[i].data.empty()) used.push_back(i);
    }
    std::sort(used.begin(), used.end(),
              [&](size_t a, size_t b) { return blocks[a].data.compare(0, 20, blocks[b].data, 0, 20) < 0; });
    std::vector<uint32_t> prev(blocks.size(), 0), next(blocks.size(), 0);
    for (size_t k = 0; k < used.size(); ++k) {
        if (k > 0) prev[used[k]] = static_cast<uint32_t>(t.pos[used[k - 1]]);
        if (k + 1 < used.size()) next[used[k]] = static_cast<uint32_t>(t.pos[used[k + 1]]);
    }
    for (size_t i = 0; i < blocks.size(); ++i) {
        const Block &b = blocks[i];
        size_t space = std::max(b.space, b.data.size());
        std::string header(20, '\0');
        setU32(header, 0, static_cast<uint32_t>(20 + space));
        setU32(header, 4, static_cast<uint32_t>(b.data.size()));
        bool isFree = b.data.empty();
        setU32(header, 12, isFree ? static_cast<uint32_t>(t.pos[i]) : prev[i]);
        setU32(header, 16, isFree ? static_cast<uint32_t>(t.pos[i]) : next[i]);
        std::string data =
            isFree ? std::string(space, 'x') : b.data + std::string(space - b.data.size(), '\0');
        t.bytes += header + data;
    }
    t.bytes += std::string(4, '\0');
    return t;
}

Table channelTable(const std::vector<ChannelDef> &defs) {
    std::vector<Block> blocks;
    for (const ChannelDef &d : defs) blocks.push_back({channelRecord(d), 0});
    return buildTable(blocks);
}

std::vector<std::string> namesOf(const std::vector<qmchl::Channel> &channels) {
    std::vector<std::string> out;
    for (const qmchl::Channel &c : channels) out.push_back(c.name);
    return out;
}

std::string conname(int port) {
    return "127.0.0.1(" + std::to_string(port) + ")";
}

// A port on which nothing listens for the life of the object: bound but never listening, so a
// connection is refused and no server started meanwhile by a test alongside can take the port.
class DeadPort {
public:
    DeadPort() {
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr *>(&a), len) != 0 ||
            ::getsockname(fd_, reinterpret_cast<sockaddr *>(&a), &len) != 0)
            ADD_FAILURE() << "no port to refuse connections";
        port_ = ntohs(a.sin_port);
    }
    ~DeadPort() { ::close(fd_); }
    DeadPort(const DeadPort &) = delete;
    DeadPort &operator=(const DeadPort &) = delete;
    int port() const { return port_; }

private:
    int fd_ = -1;
    int port_ = 0;
};

// The table file in a directory of its own, named to the client through MQCHLLIB and MQCHLTAB.
class TableFile {
public:
    explicit TableFile(const std::string &bytes)
        : lib_("MQCHLLIB", dir_.path().c_str()), tab_("MQCHLTAB", "TEST.TAB"), server_("MQSERVER", nullptr) {
        dir_.write("TEST.TAB", bytes);
    }
    std::string path() const { return dir_.file("TEST.TAB"); }

private:
    zt::TempDir dir_;
    zt::ScopedEnv lib_, tab_, server_;
};

std::string qmNameOf(MQHCONN h) {
    MQOD od = MQOD_DEFAULT;
    od.ObjectType = MQOT_Q_MGR;
    MQHOBJ o = MQHO_UNUSABLE_HOBJ;
    Rc r;
    MQOPEN(h, &od, MQOO_INQUIRE, &o, &r.cc, &r.reason);
    MQLONG selector = MQCA_Q_MGR_NAME;
    char name[48];
    MQINQ(h, o, 1, &selector, 0, nullptr, 48, name, &r.cc, &r.reason);
    MQCLOSE(h, &o, MQCO_NONE, &r.cc, &r.reason);
    return r.cc == MQCC_OK ? text(name, 48) : "";
}

// Connects to name and, when that worked, says which queue manager it reached and disconnects.
std::string reached(const std::string &name, Rc &r, MQCNO *cno = nullptr) {
    MQCHAR48 field;
    setText(field, 48, name);
    MQCNO local = MQCNO_DEFAULT;
    MQHCONN h = MQHC_UNUSABLE_HCONN;
    MQCONNX(field, cno ? cno : &local, &h, &r.cc, &r.reason);
    if (r.cc == MQCC_FAILED) return "";
    std::string qm = qmNameOf(h);
    Rc d;
    MQDISC(&h, &d.cc, &d.reason);
    return qm;
}

}  // namespace

// ---- the reader ----

TEST(ChannelTable, ChannelsComeInKeyOrderWhateverTheFileOrderAndFreeBlocksAreSkipped) {
    ChannelDef c{"CHAN.C", "QM1", "hostc(1416)"}, a{"CHAN.A", "QM1", "hosta(1414),hostb"},
        b{"CHAN.B", "", "shortname(5)"};
    b.version = 1;
    a.version = 9;
    a.weight = 20;
    Table t = buildTable({{channelRecord(c)},
                          {"", 300},
                          {sslRecord()},
                          {channelRecord(a)},
                          {"", 40},
                          {channelRecord(b), 2000}});
    std::vector<qmchl::Channel> all;
    std::string why;
    ASSERT_TRUE(qmchl::readTable(t.bytes, all, &why)) << why;
    ASSERT_EQ(namesOf(all), (std::vector<std::string>{"CHAN.A", "CHAN.B", "CHAN.C"}));
    EXPECT_EQ(all[0].qmName, "QM1");
    EXPECT_EQ(all[0].conname, "hosta(1414),hostb");
    EXPECT_EQ(all[0].weight, 20);
    EXPECT_EQ(all[1].version, 1);
    EXPECT_EQ(all[1].conname, "shortname(5)");  // version 1 has only the short connection name
    EXPECT_EQ(all[1].qmName, "");
    EXPECT_EQ(all[2].weight, 0);

    std::vector<qmchl::Channel> none;
    EXPECT_TRUE(qmchl::readTable(buildTable({}).bytes, none, &why));
    EXPECT_TRUE(none.empty());
}

TEST(ChannelTable, TheKeyOrderLinksDecideTheOrder) {
    // Three records in the file as A, B, C, but linked as C, A... by hand: a file whose links
    // disagree with its keys is damaged, and links are followed rather than the file order.
    Table t = channelTable({{"CHAN.A", "QM1", "a"}, {"CHAN.B", "QM1", "b"}, {"CHAN.C", "QM1", "c"}});
    std::vector<qmchl::Channel> all;
    ASSERT_TRUE(qmchl::readTable(t.bytes, all));
    // Unlink B: A points at C and C back at A. B stays in use but out of the list, and is not read.
    std::string unlinked = t.bytes;
    setU32(unlinked, t.pos[0] + 16, static_cast<uint32_t>(t.pos[2]));
    setU32(unlinked, t.pos[2] + 12, static_cast<uint32_t>(t.pos[0]));
    ASSERT_TRUE(qmchl::readTable(unlinked, all));
    EXPECT_EQ(namesOf(all), (std::vector<std::string>{"CHAN.A", "CHAN.C"}));
    // Links that put C before A contradict the keys.
    std::string swapped = t.bytes;
    setU32(swapped, t.pos[2] + 12, 0);
    setU32(swapped, t.pos[2] + 16, static_cast<uint32_t>(t.pos[0]));
    setU32(swapped, t.pos[0] + 12, static_cast<uint32_t>(t.pos[2]));
    setU32(swapped, t.pos[1] + 16, 0);
    std::string why;
    EXPECT_FALSE(qmchl::readTable(swapped, all, &why));
    EXPECT_EQ(why, "the keys are out of order");
}

TEST(ChannelTable, DamagedFilesAreRefusedWithAReason) {
    ChannelDef b{"CHAN.B", "QM1", "b"};
    b.version = 1;
    Table t = channelTable({{"CHAN.A", "QM1", "a"}, b});
    std::vector<qmchl::Channel> all;
    std::string why;
    // Every truncation, down to nothing.
    for (size_t n = 0; n < t.bytes.size(); ++n) {
        why.clear();
        EXPECT_FALSE(qmchl::readTable(std::string_view(t.bytes).substr(0, n), all, &why)) << n;
        EXPECT_FALSE(why.empty()) << n;
        EXPECT_TRUE(all.empty());
    }
    struct Case {
        const char *what;
        size_t at;  // file offset of the u32 to overwrite
        uint32_t value;
        const char *why;
    };
    const uint32_t first = static_cast<uint32_t>(t.pos[0]), second = static_cast<uint32_t>(t.pos[1]);
    const Case cases[] = {
        {"magic", 0, 0x52514D42, "not a channel table"},
        {"block shorter than its header", first, 12, "a block length is not possible"},
        {"block past the end", first, 0x7FFFFFF0, "a block length is not possible"},
        {"record longer than its block", first + 4, 5000, "a record is longer than its block"},
        {"record shorter than a key", first + 4, 10, "a record is shorter than its key"},
        {"next link to itself", first + 16, first, "the key-order links loop"},
        {"next link into a block", first + 16, second + 8, "a key-order link leads to no record"},
        {"previous link loop", first + 12, second, "the key-order links loop"},
        {"previous link nowhere", first + 12, 99999, "a key-order link leads to no record"},
        {"version 0", first + 20 + 20, 0, "a channel record has an unknown version"},
        {"version 13", first + 20 + 20, 13, "a channel record has an unknown version"},
        {"version too long for the record", second + 20 + 20, 12,
         "a channel record is shorter than its version's fields"},
    };
    for (const Case &c : cases) {
        std::string bytes = t.bytes;
        setU32(bytes, c.at, c.value);
        why.clear();
        EXPECT_FALSE(qmchl::readTable(bytes, all, &why)) << c.what;
        EXPECT_EQ(why, c.why) << c.what;
        EXPECT_TRUE(all.empty()) << c.what;
    }
}

TEST(ChannelTable, ChannelsForANameAreItsClientChannelsZeroWeightFirst) {
    ChannelDef w1{"A.WEIGHTED", "QM1", "w"}, svr{"B.SERVER", "QM1", "s"}, lu62{"C.LU62", "QM1", "l"},
        z{"D.PLAIN", "QM1", "z"}, other{"E.OTHER", "QM2", "o"}, blank{"F.BLANK", "", "b"},
        z2{"G.PLAIN", "QM1", "g"};
    w1.weight = 50;
    svr.type = MQCHT_SVRCONN;
    lu62.transport = MQXPT_LU62;
    std::vector<qmchl::Channel> all;
    ASSERT_TRUE(qmchl::readTable(channelTable({w1, svr, lu62, z, other, blank, z2}).bytes, all));
    EXPECT_EQ(namesOf(qmchl::channelsFor(all, "QM1")),
              (std::vector<std::string>{"D.PLAIN", "G.PLAIN", "A.WEIGHTED"}));
    EXPECT_EQ(namesOf(qmchl::channelsFor(all, "*QM2")), (std::vector<std::string>{"E.OTHER"}));
    EXPECT_EQ(namesOf(qmchl::channelsFor(all, "")), (std::vector<std::string>{"F.BLANK"}));
    EXPECT_EQ(namesOf(qmchl::channelsFor(all, "*")), (std::vector<std::string>{"F.BLANK"}));
    EXPECT_TRUE(qmchl::channelsFor(all, "QM3").empty());
    EXPECT_TRUE(qmchl::channelsFor(all, "qm1").empty());  // names are case-sensitive
}

TEST(ChannelTable, ConnectionNameListsSplitIntoAddresses) {
    auto list = qmchl::parseConnames(" host1(1415) , 10.0.0.2 ,,host3( 99 ),bad(x1),big(70000),open(12,(7)");
    ASSERT_EQ(list.size(), 7u);
    EXPECT_EQ(list[0].host, "host1");
    EXPECT_EQ(list[0].port, 1415);
    EXPECT_EQ(list[1].host, "10.0.0.2");
    EXPECT_EQ(list[1].port, 1414);
    EXPECT_EQ(list[2].port, 99);
    EXPECT_EQ(list[3].port, 0);
    EXPECT_EQ(list[4].port, 0);
    EXPECT_EQ(list[5].port, 0);  // "open(12" has no closing parenthesis
    EXPECT_EQ(list[6].port, 0);  // no host
    EXPECT_TRUE(qmchl::parseConnames("").empty());
}

// ---- connecting through a table ----

TEST(ChannelTableClient, ConnectsThroughMqchllibTryingChannelsAndAddressesInTurn) {
    QmServer qm;
    ASSERT_TRUE(qm.ok());
    DeadPort deadListener;
    int dead = deadListener.port();
    // A.FIRST refuses on both its addresses; B.SECOND's second address is the queue manager.
    TableFile file(channelTable({{"B.SECOND", "QMT", conname(dead) + "," + conname(qm.port())},
                                 {"A.FIRST", "QMT", conname(dead) + ", " + conname(dead)},
                                 {"C.OTHER", "ELSEWHERE", conname(dead)}})
                       .bytes);
    Rc r;
    MQHCONN h = connect("QMT", &r);
    ASSERT_RC(r, MQCC_OK, MQRC_NONE);
    MQHOBJ o = open(h, "SYSTEM.DEFAULT.LOCAL.QUEUE", MQOO_OUTPUT | MQOO_INPUT_SHARED);
    ASSERT_RC(put(h, o, "through the table"), MQCC_OK, MQRC_NONE);
    std::string data;
    ASSERT_RC(get(h, o, &data), MQCC_OK, MQRC_NONE);
    EXPECT_EQ(data, "through the table");
    MQDISC(&h, &r.cc, &r.reason);
    EXPECT_RC(r, MQCC_OK, MQRC_NONE);
    // Every channel refusing: the last attempt's reason.
    reached("ELSEWHERE", r);
    EXPECT_RC(r, MQCC_FAILED, MQRC_HOST_NOT_AVAILABLE);
    // No channel for the name at all.
    reached("NOWHERE", r);
    EXPECT_RC(r, MQCC_FAILED, MQRC_Q_MGR_NAME_ERROR);
}

TEST(ChannelTableClient, MqchltabDefaultsToAmqclchlTabInMqchllib) {
    QmServer qm;
    ASSERT_TRUE(qm.ok());
    zt::TempDir dir;
    dir.write("AMQCLCHL.TAB", channelTable({{"SYSTEM.DEF.CLNTCONN", "QMT", conname(qm.port())}}).bytes);
    zt::ScopedEnv lib("MQCHLLIB", (dir.path() + "/").c_str()), tab("MQCHLTAB", nullptr),
        server("MQSERVER", nullptr);
    Rc r;
    EXPECT_EQ(reached("QMT", r), "QMT");
    EXPECT_RC(r, MQCC_OK, MQRC_NONE);
    zt::ScopedEnv url("MQCHLLIB", ("file://" + dir.path()).c_str());
    EXPECT_EQ(reached("QMT", r), "QMT");
}

TEST(ChannelTableClient, AsteriskAndBlankNamesAcceptAnyQueueManagerAndOthersAreChecked) {
    QmServer other("OTHER");
    ASSERT_TRUE(other.ok());
    QmServer qm;
    ASSERT_TRUE(qm.ok());
    // A.GROUP leads to OTHER although its QMNAME says QMT; B.GROUP to QMT.
    TableFile file(channelTable({{"A.GROUP", "QMT", conname(other.port())},
                                 {"B.GROUP", "QMT", conname(qm.port())},
                                 {"C.ANY", "", conname(other.port())},
                                 {"D.WRONG", "WRONG", conname(qm.port())}})
                       .bytes);
    Rc r;
    // "QMT" is checked: OTHER answers A.GROUP with 2058, so B.GROUP is tried and reaches QMT.
    EXPECT_EQ(reached("QMT", r), "QMT");
    EXPECT_RC(r, MQCC_OK, MQRC_NONE);
    // "*QMT" takes the first channel that connects, whoever answers.
    EXPECT_EQ(reached("*QMT", r), "OTHER");
    EXPECT_RC(r, MQCC_OK, MQRC_NONE);
    // Blank and "*" use the channels with a blank QMNAME, unchecked.
    EXPECT_EQ(reached("", r), "OTHER");
    EXPECT_EQ(reached("*", r), "OTHER");
    // The only channel for WRONG reaches QMT: the name differs.
    reached("WRONG", r);
    EXPECT_RC(r, MQCC_FAILED, MQRC_Q_MGR_NAME_ERROR);
    EXPECT_EQ(reached("*WRONG", r), "QMT");
}

TEST(ChannelTableClient, MqserverAndTheMqcdComeBeforeTheEnvironmentsTable) {
    QmServer qm;
    ASSERT_TRUE(qm.ok());
    DeadPort deadListener;
    int dead = deadListener.port();
    TableFile file(channelTable({{"TABLE.CHL", "QMT", conname(qm.port())}}).bytes);
    Rc r;
    {
        // MQSERVER wins over MQCHLLIB/MQCHLTAB, even when it leads nowhere.
        zt::ScopedEnv server("MQSERVER", ("SYSTEM.DEF.SVRCONN/TCP/" + conname(dead)).c_str());
        reached("QMT", r);
        EXPECT_RC(r, MQCC_FAILED, MQRC_HOST_NOT_AVAILABLE);
        zt::ScopedEnv lu62("MQSERVER", ("SYSTEM.DEF.SVRCONN/LU62/" + conname(qm.port())).c_str());
        reached("QMT", r);
        EXPECT_RC(r, MQCC_FAILED, MQRC_Q_MGR_NAME_ERROR);
    }
    // The MQCD wins over the table.
    MQCD cd = MQCD_DEFAULT;
    cd.Version = MQCD_VERSION_6;
    setText(cd.ChannelName, 20, "SYSTEM.DEF.SVRCONN");
    setText(cd.ConnectionName, 264, conname(dead));
    MQCNO cno = MQCNO_DEFAULT;
    cno.Version = MQCNO_VERSION_2;
    cno.ClientConnPtr = &cd;
    reached("QMT", r, &cno);
    EXPECT_RC(r, MQCC_FAILED, MQRC_HOST_NOT_AVAILABLE);
    // An MQCD connection-name list is tried in turn too.
    setText(cd.ConnectionName, 264, conname(dead) + "," + conname(qm.port()));
    EXPECT_EQ(reached("QMT", r, &cno), "QMT");
    // Both the pointer and the offset: 2278.
    cno.ClientConnOffset = 8;
    reached("QMT", r, &cno);
    EXPECT_RC(r, MQCC_FAILED, MQRC_CLIENT_CONN_ERROR);
    // And without either, the table.
    EXPECT_EQ(reached("QMT", r), "QMT");
}

TEST(ChannelTableClient, TheConnectOptionsTableUrlComesBeforeMqserver) {
    QmServer qm;
    ASSERT_TRUE(qm.ok());
    DeadPort deadListener;
    int dead = deadListener.port();
    zt::TempDir dir;
    dir.write("good.tab", channelTable({{"URL.CHL", "QMT", conname(qm.port())}}).bytes);
    zt::ScopedEnv server("MQSERVER", ("SYSTEM.DEF.SVRCONN/TCP/" + conname(dead)).c_str());
    zt::ScopedEnv lib("MQCHLLIB", nullptr), tab("MQCHLTAB", nullptr);
    struct {
        MQCNO cno;
        char url[256];
    } block;
    block.cno = MQCNO_DEFAULT;
    block.cno.Version = MQCNO_VERSION_6;
    std::string url = "file://" + dir.file("good.tab");
    std::memcpy(block.url, url.data(), url.size());
    block.cno.CCDTUrlPtr = block.url;
    block.cno.CCDTUrlLength = static_cast<MQLONG>(url.size());
    Rc r;
    EXPECT_EQ(reached("QMT", r, &block.cno), "QMT");
    EXPECT_RC(r, MQCC_OK, MQRC_NONE);
    // A plain path by offset from the MQCNO.
    url = dir.file("good.tab");
    std::memcpy(block.url, url.data(), url.size());
    block.cno.CCDTUrlPtr = nullptr;
    block.cno.CCDTUrlOffset = static_cast<MQLONG>(offsetof(decltype(block), url));
    block.cno.CCDTUrlLength = static_cast<MQLONG>(url.size());
    EXPECT_EQ(reached("QMT", r, &block.cno), "QMT");
    // Both the pointer and the offset: 2600.
    block.cno.CCDTUrlPtr = block.url;
    reached("QMT", r, &block.cno);
    EXPECT_RC(r, MQCC_FAILED, MQRC_CCDT_URL_ERROR);
    // Before version 6 the URL is not there, and MQSERVER leads nowhere.
    block.cno.CCDTUrlOffset = 0;
    block.cno.Version = MQCNO_VERSION_5;
    reached("QMT", r, &block.cno);
    EXPECT_RC(r, MQCC_FAILED, MQRC_HOST_NOT_AVAILABLE);
    // A scheme miniqm cannot fetch, and a missing file: no channel definition.
    block.cno.Version = MQCNO_VERSION_6;
    for (const std::string &bad :
         std::vector<std::string>{"http://localhost/AMQCLCHL.TAB", "file://" + dir.file("missing.tab")}) {
        std::memset(block.url, 0, sizeof block.url);
        std::memcpy(block.url, bad.data(), bad.size());
        block.cno.CCDTUrlLength = static_cast<MQLONG>(bad.size());
        reached("QMT", r, &block.cno);
        EXPECT_RC(r, MQCC_FAILED, MQRC_Q_MGR_NAME_ERROR);
    }
}

TEST(ChannelTableClient, MissingOrDamagedTableGives2058) {
    QmServer qm;
    ASSERT_TRUE(qm.ok());
    Table good = channelTable({{"A.CHL", "QMT", conname(qm.port())}, {"B.CHL", "QMT", conname(qm.port())}});
    std::string truncated = good.bytes.substr(0, good.bytes.size() - 30);
    std::string looped = good.bytes;
    setU32(looped, good.pos[1] + 16, static_cast<uint32_t>(good.pos[0]));
    Rc r;
    for (const std::string &bytes :
         {truncated, looped, std::string("AMQR"), std::string("not a table at all")}) {
        TableFile file(bytes);
        reached("QMT", r);
        EXPECT_RC(r, MQCC_FAILED, MQRC_Q_MGR_NAME_ERROR);
    }
    {
        TableFile file(good.bytes);
        zt::ScopedEnv tab("MQCHLTAB", "MISSING.TAB");
        reached("QMT", r);
        EXPECT_RC(r, MQCC_FAILED, MQRC_Q_MGR_NAME_ERROR);
    }
    // A directory where the file should be.
    zt::ScopedEnv lib("MQCHLLIB", "/"), tab("MQCHLTAB", "tmp"), server("MQSERVER", nullptr);
    reached("QMT", r);
    EXPECT_RC(r, MQCC_FAILED, MQRC_Q_MGR_NAME_ERROR);
}
