// Object authority through the MQI: a client naming another user in its MQCSP is checked against
// the authority records (MQCONNX, MQOPEN and MQPUT1 with and without an alternate user, MQSUB),
// refusals change nothing, and each raises one authority event while AUTHOREV is on. The records
// are set with MQSC and outlive a restart and a kill -9.
#include "miniqm/pcf_read.h"

using namespace qmt;

namespace {

struct AuthorityTest : ::testing::Test {
    QmServer qm;
    zt::ScopedEnv server{"MQSERVER",
                         ("SYSTEM.DEF.SVRCONN/TCP/127.0.0.1(" + std::to_string(qm.port()) + ")").c_str()};
    MQHCONN admin = MQHC_UNUSABLE_HCONN;  // the user who made the queue manager: never refused

    void SetUp() override {
        ASSERT_TRUE(qm.ok());
        mqsc("DEFINE QLOCAL(APP.Q1)\nALTER QMGR AUTHOREV(ENABLED)");
        Rc r;
        admin = connect(qm.name(), &r);
        ASSERT_RC(r, MQCC_OK, MQRC_NONE);
        drainPcf(admin, "SYSTEM.ADMIN.QMGR.EVENT");
    }
    void TearDown() override {
        Rc r;
        if (admin != MQHC_UNUSABLE_HCONN) MQDISC(&admin, &r.cc, &r.reason);
    }
    void mqsc(const std::string &script) {
        std::string out;
        ASSERT_EQ(qm.mqsc(script, &out), 0) << out;
    }
    MQHCONN connectAs(const std::string &user, Rc &r) {
        std::string id = user;
        MQCSP csp = MQCSP_DEFAULT;
        csp.AuthenticationType = MQCSP_AUTH_USER_ID_AND_PWD;
        csp.CSPUserIdPtr = id.data();
        csp.CSPUserIdLength = static_cast<MQLONG>(id.size());
        MQCNO cno = MQCNO_DEFAULT;
        cno.Version = MQCNO_VERSION_5;
        cno.SecurityParmsPtr = &csp;
        cno.Options = MQCNO_HANDLE_SHARE_BLOCK;
        MQCHAR48 name;
        setText(name, 48, qm.name());
        MQHCONN h = MQHC_UNUSABLE_HCONN;
        MQCONNX(name, &cno, &h, &r.cc, &r.reason);
        return h;
    }
    Rc openAs(MQHCONN h, MQLONG options, const std::string &alternate = "") {
        MQOD od = MQOD_DEFAULT;
        setText(od.ObjectName, 48, "APP.Q1");
        setText(od.AlternateUserId, 12, alternate);
        MQHOBJ o = MQHO_UNUSABLE_HOBJ;
        Rc r;
        MQOPEN(h, &od, options, &o, &r.cc, &r.reason);
        if (r.cc == MQCC_OK) {
            Rc closed;
            MQCLOSE(h, &o, MQCO_NONE, &closed.cc, &closed.reason);
        }
        return r;
    }
    std::vector<Pcf> events() { return drainPcf(admin, "SYSTEM.ADMIN.QMGR.EVENT"); }
};

}  // namespace

TEST_F(AuthorityTest, ChecksFollowTheRecordsAndEachRefusalIsOneEvent) {
    Rc r;
    connectAs("alice", r);
    EXPECT_RC(r, MQCC_FAILED, MQRC_NOT_AUTHORIZED);
    mqsc("SET AUTHREC OBJTYPE(QMGR) PRINCIPAL('alice') AUTHADD(CONNECT)");
    MQHCONN alice = connectAs("alice", r);
    ASSERT_RC(r, MQCC_OK, MQRC_NONE);

    EXPECT_RC(openAs(alice, MQOO_OUTPUT), MQCC_FAILED, MQRC_NOT_AUTHORIZED);
    MQOD od = MQOD_DEFAULT;
    setText(od.ObjectName, 48, "APP.Q1");
    MQMD md = MQMD_DEFAULT;
    MQPMO pmo = MQPMO_DEFAULT;
    char data[] = "x";
    MQPUT1(alice, &od, &md, &pmo, 1, data, &r.cc, &r.reason);
    EXPECT_RC(r, MQCC_FAILED, MQRC_NOT_AUTHORIZED);
    EXPECT_EQ(depth(qm.name(), "APP.Q1"), 0);
    mqsc("SET AUTHREC PROFILE(APP.*) OBJTYPE(QUEUE) PRINCIPAL('alice') AUTHADD(PUT)");
    EXPECT_RC(openAs(alice, MQOO_OUTPUT), MQCC_OK, MQRC_NONE);
    EXPECT_RC(openAs(alice, MQOO_INPUT_SHARED), MQCC_FAILED, MQRC_NOT_AUTHORIZED);

    // An alternate user: the caller needs altusr, then the alternate user's records decide.
    const MQLONG asBob = MQOO_OUTPUT | MQOO_ALTERNATE_USER_AUTHORITY;
    EXPECT_RC(openAs(alice, asBob, "bob"), MQCC_FAILED, MQRC_NOT_AUTHORIZED);
    mqsc("SET AUTHREC OBJTYPE(QMGR) PRINCIPAL('alice') AUTHADD(ALTUSR)");
    EXPECT_RC(openAs(alice, asBob, "bob"), MQCC_FAILED, MQRC_NOT_AUTHORIZED);
    mqsc("SET AUTHREC PROFILE(APP.Q1) OBJTYPE(QUEUE) PRINCIPAL('bob') AUTHADD(PUT)");
    EXPECT_RC(openAs(alice, asBob, "bob"), MQCC_OK, MQRC_NONE);

    MQSD sd = MQSD_DEFAULT;
    char topic[] = "SPORTS/NEWS";
    sd.Options = MQSO_CREATE | MQSO_MANAGED | MQSO_NON_DURABLE;
    sd.ObjectString.VSPtr = topic;
    sd.ObjectString.VSLength = static_cast<MQLONG>(std::strlen(topic));
    MQHOBJ managed = MQHO_NONE, hsub = MQHO_UNUSABLE_HOBJ;
    MQSUB(alice, &sd, &managed, &hsub, &r.cc, &r.reason);
    EXPECT_RC(r, MQCC_FAILED, MQRC_NOT_AUTHORIZED);

    struct Expected {
        MQLONG qualifier;
        uint32_t subtype;
        const char *user;
        MQLONG options;  // MQIACF_OPEN_OPTIONS or MQIACF_SUB_OPTIONS; -1 none
    } expected[] = {
        {MQRQ_CONN_NOT_AUTHORIZED, 1001, "alice", -1},
        {MQRQ_OPEN_NOT_AUTHORIZED, 1004, "alice", MQOO_OUTPUT},
        {MQRQ_OPEN_NOT_AUTHORIZED, 1004, "alice", MQOO_OUTPUT},  // MQPUT1
        {MQRQ_OPEN_NOT_AUTHORIZED, 1004, "alice", MQOO_INPUT_SHARED},
        {MQRQ_OPEN_NOT_AUTHORIZED, 1004, "alice", asBob},
        {MQRQ_OPEN_NOT_AUTHORIZED, 1004, "bob", asBob},
        {MQRQ_SUB_NOT_AUTHORIZED, 1007, "alice", sd.Options},
    };
    std::vector<Pcf> got = events();
    ASSERT_EQ(got.size(), std::size(expected));
    for (size_t i = 0; i < got.size(); ++i) {
        SCOPED_TRACE(i);
        const Pcf &e = got[i];
        const Expected &x = expected[i];
        EXPECT_EQ(e.command, MQCMD_Q_MGR_EVENT);
        EXPECT_EQ(e.reason, MQRC_NOT_AUTHORIZED);
        EXPECT_EQ(e.text(MQCA_Q_MGR_NAME), qm.name());
        EXPECT_EQ(e.integer(MQIACF_REASON_QUALIFIER), x.qualifier);
        EXPECT_EQ(e.text(MQCACF_USER_IDENTIFIER), x.user);
        EXPECT_EQ(e.integer(MQIA_APPL_TYPE), MQAT_DEFAULT);
        EXPECT_NE(e.text(MQCACF_APPL_NAME), "<none>");
        EXPECT_EQ(e.text(MQCACH_CHANNEL_NAME), "SYSTEM.DEF.SVRCONN");
        EXPECT_EQ(e.status, PCF_END_OF_MESSAGE);
        EXPECT_EQ(e.subtype(), x.subtype);
        if (x.qualifier == MQRQ_OPEN_NOT_AUTHORIZED) {
            EXPECT_EQ(e.integer(MQIACF_OPEN_OPTIONS), x.options);
            EXPECT_EQ(e.text(MQCA_Q_NAME), "APP.Q1");
        }
        if (x.qualifier == MQRQ_SUB_NOT_AUTHORIZED) {
            EXPECT_EQ(e.integer(MQIACF_SUB_OPTIONS), x.options);
            EXPECT_EQ(e.text(MQCA_TOPIC_STRING), "SPORTS/NEWS");
            EXPECT_EQ(e.text(MQCA_ADMIN_TOPIC_NAME), "SYSTEM.BASE.TOPIC");
        }
    }

    mqsc("ALTER QMGR AUTHOREV(DISABLED)");
    EXPECT_RC(openAs(alice, MQOO_BROWSE), MQCC_FAILED, MQRC_NOT_AUTHORIZED);
    connectAs("carol", r);
    EXPECT_RC(r, MQCC_FAILED, MQRC_NOT_AUTHORIZED);
    EXPECT_TRUE(events().empty());
    // The administrator needs no record.
    EXPECT_RC(openAs(admin, MQOO_INPUT_SHARED | MQOO_ALTERNATE_USER_AUTHORITY | MQOO_OUTPUT, ""), MQCC_OK,
              MQRC_NONE);
    // Unless it names an alternate user: then that user's records decide.
    EXPECT_RC(openAs(admin, MQOO_INPUT_SHARED | MQOO_ALTERNATE_USER_AUTHORITY, "bob"), MQCC_FAILED,
              MQRC_NOT_AUTHORIZED);
    EXPECT_RC(openAs(admin, asBob, "bob"), MQCC_OK, MQRC_NONE);
    MQDISC(&alice, &r.cc, &r.reason);
}

// SET, DISPLAY and DELETE AUTHREC with IBM MQ's texts; DISPLAY shows the generic profiles that
// apply to a name; the records outlive a restart and a kill -9.
TEST_F(AuthorityTest, RecordsRoundTripAndSurviveRestarts) {
    mqsc(
        "SET AUTHREC PROFILE(APP.*) OBJTYPE(QUEUE) PRINCIPAL('alice') AUTHADD(PUT,GET)\n"
        "SET AUTHREC PROFILE(APP.*) OBJTYPE(QUEUE) PRINCIPAL('alice') AUTHRMV(GET) AUTHADD(BROWSE)\n"
        "SET AUTHREC PROFILE(**) OBJTYPE(QUEUE) GROUP('staff') AUTHADD(INQ)\n"
        "SET AUTHREC PROFILE(OTHER.Q) OBJTYPE(QUEUE) GROUP('staff') AUTHADD(DSP)");
    const std::string shown =
        "AMQ8864I: Display authority record details.\n"
        "   PROFILE(APP.*)                          ENTITY(alice)\n"
        "   ENTTYPE(PRINCIPAL)                      OBJTYPE(QUEUE)\n"
        "   AUTHLIST(BROWSE,PUT)\n";
    auto display = [&](const std::string &command) {
        std::string out;
        qm.mqsc(command, &out);
        return out;
    };
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        std::string out = display("DISPLAY AUTHREC PROFILE(APP.Q1) OBJTYPE(QUEUE)");
        EXPECT_NE(out.find(shown), std::string::npos) << out;
        EXPECT_NE(out.find("PROFILE(**)"), std::string::npos) << out;
        EXPECT_EQ(out.find("OTHER.Q"), std::string::npos) << out;
        if (round == 0) {
            ASSERT_TRUE(qm.stop(true));
            ASSERT_TRUE(qm.start());
        } else if (round == 1) {
            qm.kill9();
            ASSERT_TRUE(qm.start());
        }
    }
    std::string out;
    EXPECT_EQ(qm.mqsc("SET AUTHREC PROFILE(A.Q) OBJTYPE(QUEUE) PRINCIPAL('alice') AUTHADD(FLY)", &out), 10);
    EXPECT_NE(out.find("AMQ8405E"), std::string::npos) << out;
    EXPECT_EQ(qm.mqsc("DELETE AUTHREC PROFILE(APP.*) OBJTYPE(QUEUE) PRINCIPAL('alice')", &out), 0) << out;
    EXPECT_NE(out.find("AMQ8863I: IBM MQ authority record deleted."), std::string::npos) << out;
    EXPECT_EQ(display("DISPLAY AUTHREC PROFILE(APP.Q1) OBJTYPE(QUEUE)").find("alice"), std::string::npos);
}
