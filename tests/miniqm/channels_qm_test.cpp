// Channel definitions: DEFINE, ALTER, DISPLAY and DELETE CHANNEL with the attributes IBM MQ gives
// each channel type, kept across a restart. No channel runs.
#include "miniqm/qm_fixture.h"

using namespace qmt;

namespace {

// The answer of one displayed object: the lines after its AMQ8414I line, up to the next message.
std::string displayed(const std::string &out, const std::string &channel) {
    size_t at = out.find("CHANNEL(" + channel + ")");
    if (at == std::string::npos) return "";
    size_t end = out.find("AMQ", at);
    return out.substr(at, end == std::string::npos ? std::string::npos : end - at);
}

bool shows(const std::string &object, const std::string &keyword) {
    return object.find(" " + keyword + "(") != std::string::npos ||
           object.compare(0, keyword.size() + 1, keyword + "(") == 0;
}

}  // namespace

// Each type answers with its own attributes and IBM MQ's defaults; an ALTER and a restart keep
// what was set, across a stop and a kill -9; DELETE removes the definition.
TEST(Channels, DefineAlterDisplayDeleteAcrossARestart) {
    QmServer qm;
    ASSERT_TRUE(qm.ok());
    std::string out;
    ASSERT_EQ(qm.mqsc("DEFINE CHANNEL(APP.SVRCONN) CHLTYPE(SVRCONN) DESCR('for clients') MAXMSGL(1048576)\n"
                      "DEFINE CHL(TO.QM2) CHLTYPE(SDR) TRPTYPE(TCP) CONNAME('host2(1414)') XMITQ(QM2)\n"
                      "DEFINE CHANNEL(QM2.TO.QM1) CHLTYPE(RCVR)\n"
                      "DEFINE CHANNEL(APP.CLIENT) CHLTYPE(CLNTCONN) QMNAME(QM1) CONNAME('localhost(1414)')\n"
                      "ALTER CHANNEL(TO.QM2) CHLTYPE(SDR) HBINT(60) DESCR('to the second')\n",
                      &out),
              0)
        << out;
    EXPECT_NE(out.find("AMQ8014I: IBM MQ channel created."), std::string::npos) << out;
    EXPECT_NE(out.find("AMQ8016I: IBM MQ channel changed."), std::string::npos) << out;
    ASSERT_TRUE(qm.stop(false));
    ASSERT_TRUE(qm.start());
    ASSERT_EQ(qm.mqsc("DISPLAY CHANNEL(*) ALL", &out), 0) << out;
    EXPECT_NE(out.find("AMQ8414I: Display Channel details."), std::string::npos) << out;
    const struct {
        const char *channel;
        std::vector<std::string> values;  // KEYWORD(value) as shown
        std::vector<const char *> absent;
    } kTypes[] = {
        {"APP.SVRCONN",
         {"CHLTYPE(SVRCONN)", "DESCR(for clients)", "MAXMSGL(1048576)", "SHARECNV(10)", "DISCINT(0)",
          "HBINT(300)", "KAINT(AUTO)", "SSLCAUTH(REQUIRED)", "TRPTYPE(TCP)", "MCAUSER()"},
         {"XMITQ", "CONNAME", "BATCHSZ", "QMNAME"}},
        {"TO.QM2",
         {"CHLTYPE(SDR)", "CONNAME(host2(1414))", "XMITQ(QM2)", "HBINT(60)", "DESCR(to the second)",
          "BATCHSZ(50)", "DISCINT(6000)", "SHORTRTY(10)", "LONGTMR(1200)", "NPMSPEED(FAST)", "CONVERT(NO)"},
         {"SHARECNV", "PUTAUT", "SSLCAUTH", "QMNAME"}},
        {"QM2.TO.QM1",
         {"CHLTYPE(RCVR)", "PUTAUT(DEF)", "MRRTY(10)", "MRTMR(1000)", "SEQWRAP(999999999)", "USEDLQ(YES)"},
         {"XMITQ", "CONNAME", "DISCINT", "SHARECNV"}},
        {"APP.CLIENT",
         {"CHLTYPE(CLNTCONN)", "QMNAME(QM1)", "CONNAME(localhost(1414))", "AFFINITY(PREFERRED)",
          "CLNTWGHT(0)", "DEFRECON(NO)", "SHARECNV(10)"},
         {"MCAUSER", "XMITQ", "BATCHSZ", "MONCHL"}},
    };
    for (const auto &t : kTypes) {
        const std::string object = displayed(out, t.channel);
        ASSERT_FALSE(object.empty()) << t.channel << "\n" << out;
        for (const std::string &v : t.values)
            EXPECT_NE(object.find(v), std::string::npos) << v << "\n" << object;
        for (const char *keyword : {"ALTDATE", "ALTTIME", "DESCR", "TRPTYPE", "MAXMSGL"})
            EXPECT_TRUE(shows(object, keyword)) << keyword << "\n" << object;
        for (const char *keyword : t.absent)
            EXPECT_FALSE(shows(object, keyword)) << keyword << "\n" << object;
    }
    // TYPE narrows the display; asked-for attributes come with the name and type.
    ASSERT_EQ(qm.mqsc("DISPLAY CHANNEL(*) TYPE(SDR) HBINT", &out), 0) << out;
    EXPECT_NE(out.find("CHANNEL(TO.QM2)"), std::string::npos) << out;
    EXPECT_NE(out.find("HBINT(60)"), std::string::npos) << out;
    EXPECT_EQ(out.find("APP.SVRCONN"), std::string::npos) << out;
    EXPECT_EQ(out.find("DESCR("), std::string::npos) << out;
    ASSERT_EQ(qm.mqsc("DELETE CHANNEL(TO.QM2)", &out), 0) << out;
    EXPECT_NE(out.find("AMQ8015I: IBM MQ channel deleted."), std::string::npos) << out;
    // A crash: the journal's own records, not a compacted copy, bring the change and the deletion back.
    ASSERT_EQ(qm.mqsc("ALTER CHANNEL(APP.SVRCONN) CHLTYPE(SVRCONN) SHARECNV(1)", &out), 0) << out;
    qm.kill9();
    ASSERT_TRUE(qm.start());
    ASSERT_EQ(qm.mqsc("DISPLAY CHANNEL(APP.SVRCONN) SHARECNV", &out), 0) << out;
    EXPECT_NE(out.find("SHARECNV(1)"), std::string::npos) << out;
    EXPECT_NE(qm.mqsc("DISPLAY CHANNEL(TO.QM2)", &out), 0);
    EXPECT_NE(out.find("AMQ8147E"), std::string::npos) << out;
}

// A channel is defined with its type and keeps it; an attribute its type lacks is refused.
TEST(Channels, TypeIsRequiredAndKept) {
    QmServer qm;
    ASSERT_TRUE(qm.ok());
    std::string out;
    ASSERT_EQ(qm.mqsc("DEFINE CHANNEL(APP.SVRCONN) CHLTYPE(SVRCONN)", &out), 0) << out;
    const struct {
        const char *command;
        const char *answer;
    } kRefused[] = {
        {"DEFINE CHANNEL(NO.TYPE)", "AMQ8405E"},
        {"DEFINE CHANNEL(BAD.TYPE) CHLTYPE(QLOCAL)", "AMQ8405E"},
        {"DEFINE CHANNEL(NOT.HERE) CHLTYPE(SVRCONN) XMITQ(Q)", "AMQ8405E"},
        {"DEFINE CHANNEL(A.NAME.OF.21.CHARACTR) CHLTYPE(SDR)", "AMQ8405E"},
        {"DEFINE CHANNEL(APP.SVRCONN) CHLTYPE(SVRCONN)", "AMQ8150E"},
        {"DEFINE CHANNEL(APP.SVRCONN) CHLTYPE(SDR) REPLACE", "AMQ8101S"},
        {"ALTER CHANNEL(APP.SVRCONN) HBINT(5)", "AMQ8405E"},
        {"ALTER CHANNEL(APP.SVRCONN) CHLTYPE(RCVR) HBINT(5)", "AMQ8101S"},
        {"ALTER CHANNEL(APP.SVRCONN) CHLTYPE(SVRCONN) HBINT(1000000)", "AMQ8405E"},
        {"ALTER CHANNEL(NONE.SUCH) CHLTYPE(SVRCONN) HBINT(5)", "AMQ8147E"},
    };
    for (const auto &r : kRefused) {
        EXPECT_NE(qm.mqsc(r.command, &out), 0) << r.command;
        EXPECT_NE(out.find(r.answer), std::string::npos) << r.command << "\n" << out;
    }
    ASSERT_EQ(qm.mqsc("DISPLAY CHANNEL(*) ALL", &out), 0) << out;
    EXPECT_NE(out.find("CHLTYPE(SVRCONN)"), std::string::npos) << out;
    EXPECT_NE(out.find("HBINT(300)"), std::string::npos) << out;
    EXPECT_EQ(out.find("CHANNEL(NO.TYPE)"), std::string::npos) << out;
    EXPECT_EQ(out.find("CHANNEL(NOT.HERE)"), std::string::npos) << out;
}
