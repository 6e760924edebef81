// The edit mode's channel commands over a table in memory: replies, displayed objects, the bytes
// written, and the faults that must leave the table as it was.
#include <cstring>

#include "ccdt_testing.h"

using namespace cct;

namespace {

constexpr const char *kTable = CCT_MEM_DIR "edit.tab";

struct Session {
    zt::MemFiles files;
    std::vector<std::string> out;
    const char *where = nullptr;  // a display must hold this text to pass the =WHERE test
    ccdtMqscIo io{&Session::response, nullptr, this};

    Session() { ccdtSetOutputVersion(12); }
    ~Session() { ccdtSetOutputVersion(12); }
    static void response(void *context, const char *text, size_t length) {
        static_cast<Session *>(context)->out.emplace_back(text, length);
    }
    static int match(void *context, const char *text, size_t length) {
        return std::string(text, length).find(static_cast<Session *>(context)->where) != std::string::npos;
    }
    // The command's answers, joined by "|".
    std::string run(const std::string &command, int *rc = nullptr) {
        out.clear();
        int r = ccdtMqscRun(kTable, command.c_str(), io);
        if (rc) *rc = r;
        std::string all;
        for (const std::string &s : out) all += (all.empty() ? "" : "|") + s;
        return all;
    }
    std::string file() const { return files.get(kTable); }
};

std::string firstLine(const std::string &s) {
    return s.substr(0, s.find('\n'));
}

TEST(MqscChannel, RepliesOfDefineDisplayAndDelete) {
    struct Case {
        const char *command;
        const char *reply;  // the whole reply, or its first line when it ends in '\n'
    };
    const Case cases[] = {
        {"DEFINE CHANNEL(A) CHLTYPE(SVRCONN)", "AMQ8150: Sorry, you can only define CLNTCONN channels"},
        {"DIS CHL(*)", "AMQ8147: No channels found."},
        {"DEFINE CHANNEL(B)", "AMQ8016: WebSphere MQ channel 'B' defined"},
        {"DIS CHL(A*)", "AMQ8147: No channels found which match criteria"},
        {"DIS CHL(A)", "AMQ8147: No channels found which match criteria"},
        {"DEFINE CHANNEL(A)", "AMQ8016: WebSphere MQ channel 'A' defined"},
        {"DEFINE CHANNEL(A)", "AMQ8150: WebSphere MQ channel already exists"},
        {"DEF CHL(A) REPLACE", "AMQ8016: WebSphere MQ channel 'A' defined"},
        {"DEFINE CHANNEL(A) DESCR(x) DESCR(y) REPLACE", "Duplicate keyword error 'DESCR'"},
        {"DEFINE CHANNEL(A) INSERT", "AMQ8427: INSERT is not a valid keyword for this command."},
        {"DEFINE CHANNEL(A) FOO(1)", "AMQ8427: Unrecognised attribute name 'FOO'\n"},
        {"DEFINE CHANNEL(A) ALTDATI(1)", "AMQ8427: Unrecognised attribute name 'ALTDATI'\n"},
        {"DEFINE CHANNEL(A) DESCR() REPLACE",
         "AMQ8405: Syntax error detected at or near command segment below :-\n"},
        {"DEFINE CHANNEL(A) HBINT(1000000) REPLACE",
         "AMQ8427: The value of 'HBINT' should be between 0 and 999999."},
        {"DEFINE CHANNEL(A) HBINT(99999999999999999999999) REPLACE",
         "AMQ8427: The value of 'HBINT' should be between 0 and 999999."},
        {"DEFINE CHANNEL(A) SHARECNV(12) REPLACE", "AMQ8016: WebSphere MQ channel 'A' defined"},
        {"DEFINE CHANNEL(A) VERSION(S0) REPLACE", "AMQ8427: Invalid value for 'VERSION'.\n"},
        {"DEFINE CHANNEL(A) COMPMSG(RLE,RLE) REPLACE", "AMQ8411: Duplicate keyword error 'RLE'.\n"},
        {"DEFINE CHANNEL(A) COMPMSG(FOO) REPLACE", "AMQ8427: Unrecognised list  value 'FOO'.\n"},
        {"DEFINE CHANNEL(A) COMPHDR(NONE,SYSTEM,NONE) REPLACE", "AMQ8411: Duplicate keyword error 'NONE'.\n"},
        {"DEFINE CHANNEL(A) SENDEXIT('a' 'b') REPLACE", "AMQ8427: Expected ',' list separator.\n"},
        {"DEFINE CHANNEL(A) SENDEXIT('a',", "AMQ8427: Unexpected end of command.\n"},
        {"DEFINE CHANNEL(ABCDEFGHIJKLMNOPQRSTU)", "AMQ8427: A channel name is limited to 20 characters."},
        {"DEFINE CHANNEL('A-B')", "AMQ8427: The channel name is not valid."},
        {"DELETE CHANNEL(B)", "AMQ8015: WebSphere MQ channel 'B' deleted"},
        {"DELETE CHANNEL(B)", "AMQ8147: WebSphere MQ channel 'B' not found"},
        {"xyz", "AMQ8405: Syntax error detected at or near command segment below :-\n"},
        {"", ""},
    };
    Session s;
    for (const Case &c : cases) {
        std::string reply = s.run(c.command);
        std::string want = c.reply;
        if (!want.empty() && want.back() == '\n')
            EXPECT_EQ(firstLine(reply), want.substr(0, want.size() - 1)) << c.command;
        else
            EXPECT_EQ(reply, want) << c.command;
    }
}

TEST(MqscChannel, ANewRecordIsWrittenWhole) {
    Session s;
    ASSERT_EQ(s.run("DEFINE CHANNEL(A)"), "AMQ8016: WebSphere MQ channel 'A' defined");
    ccdtRecFile *f = nullptr;
    ASSERT_EQ(ccdtRecOpen(kTable, 1, &f, nullptr, 0), 0);
    std::string data(CCDT_RECORD_MAX, '\0');
    uint32_t length = CCDT_RECORD_MAX;
    EXPECT_EQ(ccdtRecRead(f, bytes(key("A")), data.data(), &length, CCDT_READ_EXACT), 0);
    EXPECT_EQ(length, 2082u);
    ccdtRecClose(f);
}

TEST(MqscChannel, SyntaxErrorsShowTheSegmentAndTheHelpList) {
    Session s;
    EXPECT_EQ(s.run("xyz"),
              "AMQ8405: Syntax error detected at or near command segment below :-\n\nxy\n\n"
              "AMQ8426: Valid MQSC commands are:\n\n  ALTER\n  DEFINE\n  DELETE\n  DISPLAY\n  END");
    std::string display = s.run("DIS QLOCAL(X)");
    EXPECT_NE(
        display.find("\nAMQ8426: Valid MQSC display commands are:\n\n  DISPLAY CHANNEL\n  DISPLAY AUTHINFO"),
        std::string::npos)
        << display;
    int rc = 0;
    EXPECT_EQ(s.run("end", &rc), "");
    EXPECT_EQ(rc, CCDT_MQSC_LEAVE);
    s.run(" QUIT ", &rc);
    EXPECT_EQ(rc, CCDT_MQSC_LEAVE);
}

TEST(MqscChannel, ValuesAreStoredAndDisplayed) {
    Session s;
    ASSERT_EQ(s.run("DEFINE CHANNEL(A) COMPMSG(RLE,ZLIBFAST) CONNAME('host(1414)') PASSWORD(secret) "
                    "SENDEXIT('a','b') DESCR('') HBINT(30) PROPCTL(ALL)"),
              "AMQ8016: WebSphere MQ channel 'A' defined");
    EXPECT_EQ(s.run("DIS CHL(A) COMPMSG"),
              "AMQ8414: Display Channel details.\nCHANNEL(A) CHLTYPE(CLNTCONN) COMPMSG(RLE,ZLIBFAST) ");
    EXPECT_EQ(s.run("DIS CHL(A) CONNAME PASSWORD SENDEXIT DESCR HBINT"),
              "AMQ8414: Display Channel details.\nCHANNEL(A) CHLTYPE(CLNTCONN) DESCR( ) CONNAME(host(1414)) "
              "PASSWORD(*****) HBINT(30) SENDEXIT(a,b) ");
    EXPECT_EQ(s.run("DIS CHL(A) PROPCTL"),
              "AMQ8414: Display Channel details.\nCHANNEL(A) CHLTYPE(CLNTCONN) ");
    EXPECT_EQ(s.run("DIS CHL(A) VERSION"),
              "AMQ8414: Display Channel details.\nCHANNEL(A) CHLTYPE(CLNTCONN) VERSION(s12) ");
    EXPECT_EQ(s.run("ALTER CHANNEL(A) SENDEXIT() PASSWORD(' ')"),
              "AMQ8016: WebSphere MQ channel 'A' changed");
    EXPECT_EQ(s.run("DIS CHL(A) SENDEXIT PASSWORD"),
              "AMQ8414: Display Channel details.\nCHANNEL(A) CHLTYPE(CLNTCONN) PASSWORD( ) SENDEXIT( ) ");
    EXPECT_EQ(s.run("DIS CHL(A) COMPMSG COMPMSG"), "Duplicate keyword error 'COMPMSG'");
    EXPECT_EQ(s.run("DIS CHL(A) ALL COMPMSG CHLTYPE TYPE").find("AMQ8414: Display Channel details.\n"), 0u);

    // The stored list: the two values, then -1 for every entry left.
    char name[CCDT_PATH_MAX + 1], text[256];
    std::snprintf(name, sizeof name, "%s", kTable);
    ccdtHandle *h = nullptr;
    ASSERT_EQ(ccdtOpen(1, name, &h, text, sizeof text), 0);
    std::vector<uint64_t> words(CCDT_RECORD_MAX / 8 + 1);
    auto *r = reinterpret_cast<ChannelRecord *>(words.data());
    uint16_t length = static_cast<uint16_t>(CCDT_RECORD_MAX);
    ASSERT_EQ(ccdtFindChannel(h, key("A").c_str(), &length, r, text, sizeof text), 0);
    EXPECT_EQ(r->mqcd.MsgCompList[0], 1);
    EXPECT_EQ(r->mqcd.MsgCompList[1], 2);
    for (int i = 2; i < 16; i++) EXPECT_EQ(r->mqcd.MsgCompList[i], -1);
    EXPECT_EQ(std::string(r->mqcd.Desc, 64), std::string(64, ' '));
    EXPECT_EQ(r->mqcd.PropertyControl, 0);
    ccdtFreeChannel(r, 0);
    ccdtClose(&h, text, sizeof text);
}

TEST(MqscChannel, ListLimitsAndVersions) {
    Session s;
    std::string seventeen = "DEFINE CHANNEL(A) COMPMSG(";
    const char *names[] = {"NONE", "ANY", "LZ4FAST", "LZ4HIGH", "RLE", "ZLIBFAST", "ZLIBHIGH"};
    for (const char *n : names) seventeen += std::string(n) + ",";
    seventeen += "X)";
    // Eight values of seven names: the eighth is no name at all.
    EXPECT_EQ(firstLine(s.run(seventeen)), "AMQ8427: Unrecognised list  value 'X'.");
    EXPECT_EQ(firstLine(s.run("DEFINE CHANNEL(A) COMPHDR(NONE,SYSTEM,NONE)")),
              "AMQ8411: Duplicate keyword error 'NONE'.");

    EXPECT_EQ(s.run("DEFINE CHANNEL(A) VERSION(7.0)"), "AMQ8016: WebSphere MQ channel 'A' defined");
    EXPECT_EQ(ccdtGetOutputVersion(), 0);
    EXPECT_EQ(s.run("DIS CHL(A) VERSION"),
              "AMQ8414: Display Channel details.\nCHANNEL(A) CHLTYPE(CLNTCONN) VERSION(7.0) ");
    // A failing command after VERSION leaves the setting as it was.
    ccdtSetOutputVersion(12);
    EXPECT_EQ(s.run("DEFINE CHANNEL(B) VERSION(7.0) HBINT(1000000)"),
              "AMQ8427: The value of 'HBINT' should be between 0 and 999999.");
    EXPECT_EQ(ccdtGetOutputVersion(), 12);
}

TEST(MqscChannel, FaultyCommandsLeaveTheBytes) {
    Session s;
    ASSERT_EQ(s.run("DEFINE CHANNEL(A)"), "AMQ8016: WebSphere MQ channel 'A' defined");
    {
        // A server-connection record ahead of A: AFFINITY does not apply to it.
        char name[CCDT_PATH_MAX + 1], text[256];
        std::snprintf(name, sizeof name, "%s", kTable);
        ccdtHandle *h = nullptr;
        ASSERT_EQ(ccdtOpen(2, name, &h, text, sizeof text), 0);
        std::vector<uint64_t> words(CCDT_RECORD_MAX / 8 + 1);
        auto *r = reinterpret_cast<ChannelRecord *>(words.data());
        ccdtDefaultChannel(r);
        std::memcpy(r->mqcd.ChannelName, key("0SVR").data(), 20);
        r->mqcd.Version = 12;
        r->mqcd.ChannelType = MQCHT_SVRCONN;
        ASSERT_EQ(ccdtTrimExits(r, text, sizeof text), 0);
        ASSERT_EQ(ccdtPutChannel(h, r, text, sizeof text), 0) << text;
        ccdtClose(&h, text, sizeof text);
    }
    const std::string before = s.file();
    const char *faulty[] = {
        "ALTER CHANNEL(A) ALTDATE(x)",
        "ALTER CHANNEL(A) SSLPEER('CN=x') HBINT(-1)",
        "ALTER CHANNEL(*) AFFINITY(FOO)",
        "ALTER CHANNEL(A) REPLACE",
        "DEFINE CHANNEL(A) DESCR(x) DESCR(y) REPLACE",
    };
    for (const char *c : faulty) {
        int rc = 0;
        const uint64_t writes = s.files.writes();
        s.run(c, &rc);
        EXPECT_EQ(rc, 1) << c;
        EXPECT_EQ(s.file(), before) << c;
        EXPECT_EQ(s.files.writes(), writes) << c;
    }
    EXPECT_EQ(s.run("ALTER CHANNEL(A) ALTDATE(x)"),
              "AMQ8427: You can not set the value of attribute 'ALTDATE'");
}

TEST(MqscChannel, LongValuesAreRefusedNotCut) {
    Session s;
    ASSERT_EQ(s.run("DEFINE CHANNEL(A)"), "AMQ8016: WebSphere MQ channel 'A' defined");
    const std::string before = s.file();
    // A value past the 500 characters a token holds names the attribute's own limit when that is less.
    const struct {
        const char *keyword;
        const char *limit;
    } rows[] = {{"SSLPEER", "500"}, {"DESCR", "64"}, {"CONNAME", "264"}};
    for (const auto &row : rows) {
        EXPECT_EQ(s.run(std::string("ALTER CHANNEL(A) ") + row.keyword + "('" + std::string(600, 'x') + "')"),
                  std::string("AMQ8427: The maximum length of attribute '") + row.keyword + "' is " +
                      row.limit + " characters.");
        EXPECT_EQ(s.file(), before) << row.keyword;
    }
    const std::string peer = "CN=" + std::string(497, 'y');
    EXPECT_EQ(s.run("ALTER CHANNEL(A) SSLPEER('" + peer + "')"), "AMQ8016: WebSphere MQ channel 'A' changed");
    EXPECT_EQ(s.run("DIS CHL(A) SSLPEER"),
              "AMQ8414: Display Channel details.\nCHANNEL(A) CHLTYPE(CLNTCONN) SSLPEER(" + peer + ") ");
}

TEST(MqscChannel, AlterChangesEachSelectedChannelOnce) {
    Session s;
    for (const char *n : {"A1", "A2", "B1"})
        ASSERT_EQ(firstLine(s.run(std::string("DEFINE CHANNEL(") + n + ")")).substr(0, 7), "AMQ8016");
    EXPECT_EQ(s.run("ALTER CHANNEL(A*) SSLPEER('CN=a long name')"),
              "AMQ8016: WebSphere MQ channel 'A1' changed|AMQ8016: WebSphere MQ channel 'A2' changed");
    EXPECT_EQ(s.run("DIS CHL(*) SSLPEER"),
              "AMQ8414: Display Channel details.\nCHANNEL(A1) CHLTYPE(CLNTCONN) SSLPEER(CN=a long name) |"
              "AMQ8414: Display Channel details.\nCHANNEL(A2) CHLTYPE(CLNTCONN) SSLPEER(CN=a long name) |"
              "AMQ8414: Display Channel details.\nCHANNEL(B1) CHLTYPE(CLNTCONN) SSLPEER( ) ");
    s.io.match = &Session::match;
    s.where = "CHANNEL(A2)";
    EXPECT_EQ(s.run("ALTER CHANNEL(*) DESCR(two)"), "AMQ8016: WebSphere MQ channel 'A2' changed");
    s.io.match = nullptr;
    EXPECT_EQ(s.run("DIS CHL(*) DESCR"),
              "AMQ8414: Display Channel details.\nCHANNEL(A1) CHLTYPE(CLNTCONN) DESCR( ) |"
              "AMQ8414: Display Channel details.\nCHANNEL(A2) CHLTYPE(CLNTCONN) DESCR(TWO) |"
              "AMQ8414: Display Channel details.\nCHANNEL(B1) CHLTYPE(CLNTCONN) DESCR( ) ");
    EXPECT_EQ(s.run("ALTER CHANNEL(C*) DESCR(x)"), "AMQ8147: No channels found which match criteria");
}

}  // namespace

namespace {

TEST(MqscAuthInfo, SlotsAreNamedByPositionAndLimited) {
    Session s;
    struct Case {
        const char *command;
        const char *reply;
    };
    const Case cases[] = {
        {"DEFINE AUTHINFO(CRLLDAP1) AUTHTYPE(CRLLDAP) CONNAME('ldap1')",
         "AMQ8016: WebSphere MQ authentication information 'CRLLDAP1' defined"},
        {"DEFINE AUTHINFO(X) AUTHTYPE(CRLLDAP) CONNAME('ldap2')",
         "AMQ8016: WebSphere MQ authentication information 'X' defined"},
        {"DEFINE AUTHINFO(MYLDAP) AUTHTYPE(CRLLDAP) CONNAME('ldap3')",
         "AMQ8016: WebSphere MQ authentication information 'MYLDAP' defined"},
        {"DIS AUTHINFO(CRLLDAP3) CONNAME",
         "AMQ8414: Display authentication information details.\nAUTHINFO(CRLLDAP3) CONNAME(ldap3) "},
        {"DEFINE AUTHINFO(CRLLDAP1) AUTHTYPE(CRLLDAP) CONNAME('x')",
         "AMQ8150: WebSphere MQ authentication information 'CRLLDAP1' already exists"},
        {"DEFINE AUTHINFO(CRLLDAP1) AUTHTYPE(CRLLDAP) CONNAME('ldap0') INSERT",
         "AMQ8016: WebSphere MQ authentication information 'CRLLDAP1' defined"},
        {"DIS AUTHINFO(CRLLDAP*) CONNAME",
         "AMQ8414: Display authentication information details.\nAUTHINFO(CRLLDAP1) CONNAME(ldap0) |"
         "AMQ8414: Display authentication information details.\nAUTHINFO(CRLLDAP2) CONNAME(ldap1) |"
         "AMQ8414: Display authentication information details.\nAUTHINFO(CRLLDAP3) CONNAME(ldap2) |"
         "AMQ8414: Display authentication information details.\nAUTHINFO(CRLLDAP4) CONNAME(ldap3) "},
        {"DELETE AUTHINFO(CRLLDAP1)", "AMQ8015: WebSphere MQ authentication information 'CRLLDAP1' deleted"},
        {"DIS AUTHINFO(CRLLDAP1) CONNAME",
         "AMQ8414: Display authentication information details.\nAUTHINFO(CRLLDAP1) CONNAME(ldap1) "},
        {"DELETE AUTHINFO(CRLLDAP9)", "AMQ8147: authentication information 'CRLLDAP9' not found."},
        {"DELETE AUTHINFO(FOO)", "AMQ8147: authentication information 'FOO' is not a valid name."},
        {"DIS AUTHINFO(OCSP1)", "AMQ8147: Authentication Information 'OCSP1' not found."},
        {"DIS AUTHINFO(Z*)", "AMQ8147: No authentication information definitions found which match criteria"},
        // The first OCSP definition may carry any name; there is room for one.
        {"DEFINE AUTHINFO(MYOCSP) AUTHTYPE(OCSP) CONNAME('http://h')",
         "AMQ8016: WebSphere MQ authentication information 'MYOCSP' defined"},
        {"DIS AUTHINFO(OCSP*) CONNAME",
         "AMQ8414: Display authentication information details.\nAUTHINFO(OCSP1) CONNAME(http://h) "},
        {"DEFINE AUTHINFO(OTHER) AUTHTYPE(OCSP) CONNAME('http://i')",
         "AMQ8326: Maximum number (1) of OCSP AUTHINFO definitions reached."},
        {"DEFINE AUTHINFO(OCSP1) AUTHTYPE(OCSP) CONNAME('ftp://h') REPLACE",
         "AMQ8454: Syntax error found in parameter OCSPURL"},
        {"DEFINE AUTHINFO(OCSP1) AUTHTYPE(OCSP) REPLACE",
         "AMQ8462: The required parameter OCSPURL is missing"},
        {"ALTER AUTHINFO(CRLLDAP2) LDAPUSER('cn=u') LDAPPWD(pw)",
         "AMQ8016: WebSphere MQ authentication information 'CRLLDAP2' changed"},
        {"DIS AUTHINFO(CRLLDAP2) LDAPUSER LDAPPWD",
         "AMQ8414: Display authentication information details.\nAUTHINFO(CRLLDAP2) LDAPUSER(cn=u) "
         "LDAPPWD(*****) "},
        {"DELETE AUTHINFO(OCSP1)", "AMQ8015: WebSphere MQ authentication information 'OCSP1' deleted"},
        {"DEFINE AUTHINFO(OCSP7) AUTHTYPE(OCSP) CONNAME('https://h')",
         "AMQ8016: WebSphere MQ authentication information 'OCSP7' defined"},
        {"DEFINE AUTHINFO(A) AUTHTYPE(IDPWOS)",
         "AMQ8405: Syntax error detected at or near command segment below :-\n"},
    };
    for (const Case &c : cases) {
        std::string reply = s.run(c.command);
        std::string want = c.reply;
        if (want.back() == '\n')
            EXPECT_EQ(firstLine(reply), want.substr(0, want.size() - 1)) << c.command;
        else
            EXPECT_EQ(reply, want) << c.command;
    }
    for (int i = 0; i < 7; i++) s.run("DEFINE AUTHINFO(L) AUTHTYPE(CRLLDAP) CONNAME('l')");
    EXPECT_EQ(s.run("DEFINE AUTHINFO(L) AUTHTYPE(CRLLDAP) CONNAME('l')"),
              "AMQ8326: Maximum number (10) of CRLLDAP AUTHINFO definitions reached.");
}

}  // namespace
