// Instrumentation events: each kind raised through the MQI or MQSC, got from its queue, read with
// the system's PCF parser and filed by its classification; none while its switch is off.
#include <functional>

#include "miniqm/pcf_read.h"
#include "miniqm/qmgr.h"

using namespace qmt;

namespace {

// The parameters of two messages of the same shape whose values differ, leaving out the
// alteration date and time (which differ or not, as the clock has it).
std::vector<int32_t> differing(const Pcf &a, const Pcf &b) {
    std::vector<int32_t> out;
    EXPECT_EQ(a.ids(), b.ids());
    for (size_t i = 0; i < a.parms.size() && i < b.parms.size(); ++i) {
        int32_t id = a.parms[i].id;
        if (id == MQCA_ALTERATION_DATE || id == MQCA_ALTERATION_TIME) continue;
        if (a.parms[i].text != b.parms[i].text || a.parms[i].values != b.parms[i].values) out.push_back(id);
    }
    return out;
}

class Events : public QmTest {
protected:
    void SetUp() override {
        QmTest::SetUp();
        // The queue manager announced its start; tests look at what they cause themselves.
        std::vector<Pcf> start = drainPcf(h, "SYSTEM.ADMIN.QMGR.EVENT");
        ASSERT_EQ(start.size(), 1u);
        EXPECT_EQ(start[0].reason, MQRC_Q_MGR_ACTIVE);
    }
    std::vector<Pcf> events(const char *queue) { return drainPcf(h, queue); }

    // What every event message has in common.
    void expectEventShape(const Pcf &e, MQLONG command, MQLONG version) {
        EXPECT_EQ(e.md.MsgType, MQMT_DATAGRAM);
        EXPECT_EQ(text(e.md.Format, 8), "MQEVENT");
        EXPECT_EQ(e.md.Report, MQRO_NONE);
        EXPECT_EQ(e.md.Expiry, MQEI_UNLIMITED);
        EXPECT_EQ(std::string(reinterpret_cast<const char *>(e.md.CorrelId), 24), std::string(24, '\0'));
        EXPECT_EQ(e.md.Encoding, 546);
        EXPECT_EQ(e.md.CodedCharSetId, 819);
        EXPECT_EQ(text(e.md.ReplyToQMgr, 48), qm.name());
        EXPECT_EQ(e.md.PutApplType, MQAT_QMGR);
        EXPECT_EQ(text(e.md.PutApplName, 28), qm.name());
        EXPECT_EQ(e.type, MQCFT_EVENT);
        EXPECT_EQ(e.version, version);
        EXPECT_EQ(e.command, command);
        EXPECT_EQ(e.compCode, MQCC_WARNING);
        EXPECT_EQ(e.status, PCF_END_OF_MESSAGE);
    }
};

MQLONG put1(MQHCONN h, const std::string &q, const std::string &qmgr = "") {
    MQOD od = MQOD_DEFAULT;
    setText(od.ObjectName, 48, q);
    setText(od.ObjectQMgrName, 48, qmgr);
    MQMD md = MQMD_DEFAULT;
    MQPMO pmo = MQPMO_DEFAULT;
    Rc r;
    MQPUT1(h, &od, &md, &pmo, 1, const_cast<char *>("x"), &r.cc, &r.reason);
    return r.reason;
}

MQLONG openReason(MQHCONN h, const std::string &q, MQLONG options, const std::string &qmgr = "") {
    MQOD od = MQOD_DEFAULT;
    setText(od.ObjectName, 48, q);
    setText(od.ObjectQMgrName, 48, qmgr);
    MQHOBJ o = MQHO_UNUSABLE_HOBJ;
    Rc r;
    MQOPEN(h, &od, options, &o, &r.cc, &r.reason);
    if (r.cc != MQCC_FAILED) MQCLOSE(h, &o, MQCO_NONE, &r.cc, &r.reason);
    return r.reason;
}

}  // namespace

// Inhibit, local and remote events: the reason the application got is the event's, with the data
// IBM MQ gives it, in its order; nothing while the switch is off.
TEST_F(Events, QueueManagerEventsFollowTheirSwitches) {
    define(
        "DEFINE QLOCAL(NOGET) GET(DISABLED)\nDEFINE QLOCAL(NOPUT) PUT(DISABLED)\n"
        "DEFINE QALIAS(TO.NOWHERE) TARGET(NO.SUCH.BASE)\nDEFINE QALIAS(TO.MODEL) "
        "TARGET(SYSTEM.DEFAULT.MODEL.QUEUE)\n"
        "DEFINE QALIAS(OTHER.QM)\nDEFINE QLOCAL(NOTXMIT.QM)\n");
    struct Case {
        const char *name, *switchKeyword;
        std::function<MQLONG()> cause;
        MQLONG reason;
        std::vector<int32_t> ids;
        uint32_t subtype;
    };
    MQHCONN c = h;
    const std::vector<Case> cases = {
        {"get inhibited",
         "INHIBTEV",
         [c] {
             MQHOBJ o = open(c, "NOGET", MQOO_INPUT_SHARED);
             return get(c, o, nullptr).reason;
         },
         MQRC_GET_INHIBITED,
         {2015, 2016, 1, 3024},
         5001},
        {"put inhibited",
         "INHIBTEV",
         [c] {
             MQHOBJ o = open(c, "NOPUT", MQOO_OUTPUT);
             return put(c, o, "x").reason;
         },
         MQRC_PUT_INHIBITED,
         {2015, 2016, 1, 3024},
         5002},
        {"put1 inhibited",
         "INHIBTEV",
         [c] { return put1(c, "NOPUT"); },
         MQRC_PUT_INHIBITED,
         {2015, 2016, 1, 3024},
         5002},
        {"unknown object",
         "LOCALEV",
         [c] { return openReason(c, "NO.SUCH.Q", MQOO_OUTPUT); },
         MQRC_UNKNOWN_OBJECT_NAME,
         {2015, 1, 3024, 2016},
         6003},
        {"put1 unknown object",
         "LOCALEV",
         [c] { return put1(c, "NO.SUCH.Q"); },
         MQRC_UNKNOWN_OBJECT_NAME,
         {2015, 1, 3024, 2016},
         6003},
        {"unknown alias base",
         "LOCALEV",
         [c] { return openReason(c, "TO.NOWHERE", MQOO_OUTPUT); },
         MQRC_UNKNOWN_ALIAS_BASE_Q,
         {2015, 2016, 2002, 1, 3024},
         6002},
        // An alias whose target is a model (or another alias) is a type error, not an unknown base.
        {"alias base type",
         "LOCALEV",
         [c] { return openReason(c, "TO.MODEL", MQOO_OUTPUT); },
         MQRC_ALIAS_BASE_Q_TYPE_ERROR,
         {2015, 2016, 2002, 20, 1, 3024},
         6001},
        {"unknown remote qmgr",
         "REMOTEEV",
         [c] { return openReason(c, "Q", MQOO_OUTPUT, "FAR.QM"); },
         MQRC_UNKNOWN_REMOTE_Q_MGR,
         {2015, 2016, 1, 3024, 3023},
         9008},
        {"xmitq type",
         "REMOTEEV",
         [c] { return put1(c, "Q", "OTHER.QM"); },
         MQRC_XMIT_Q_TYPE_ERROR,
         {2015, 2016, 2024, 20, 1, 3024, 3023},
         9005},
        {"xmitq usage",
         "REMOTEEV",
         [c] { return openReason(c, "Q", MQOO_OUTPUT, "NOTXMIT.QM"); },
         MQRC_XMIT_Q_USAGE_ERROR,
         {2015, 2016, 2024, 1, 3024, 3023},
         9006},
    };
    for (const Case &k : cases) {
        SCOPED_TRACE(k.name);
        EXPECT_EQ(k.cause(), k.reason);
        EXPECT_TRUE(events("SYSTEM.ADMIN.QMGR.EVENT").empty());
        define(std::string("ALTER QMGR ") + k.switchKeyword + "(ENABLED)");
        EXPECT_EQ(k.cause(), k.reason);
        std::vector<Pcf> got = events("SYSTEM.ADMIN.QMGR.EVENT");
        define(std::string("ALTER QMGR ") + k.switchKeyword + "(DISABLED)");
        ASSERT_EQ(got.size(), 1u);
        const Pcf &e = got[0];
        expectEventShape(e, MQCMD_Q_MGR_EVENT, MQCFH_VERSION_1);
        EXPECT_EQ(e.reason, k.reason);
        EXPECT_EQ(e.ids(), k.ids);
        EXPECT_EQ(e.text(MQCA_Q_MGR_NAME), qm.name());
        EXPECT_EQ(e.integer(MQIA_APPL_TYPE), MQAT_UNIX);
        EXPECT_EQ(e.subtype(), k.subtype);
    }
}

// Start and stop events are kept like any message of their queue: persistent ones outlast restarts.
TEST_F(Events, StartAndStopEventsSurviveRestartsOnAPersistentQueue) {
    define("ALTER QLOCAL(SYSTEM.ADMIN.QMGR.EVENT) DEFPSIST(YES)");
    Rc r;
    MQDISC(&h, &r.cc, &r.reason);
    ASSERT_TRUE(qm.stop(false));  // quiesce
    ASSERT_TRUE(qm.start());
    ASSERT_TRUE(qm.stop(true));  // --now
    ASSERT_TRUE(qm.start());
    h = connect(qm.name());
    std::vector<Pcf> got = events("SYSTEM.ADMIN.QMGR.EVENT");
    ASSERT_EQ(got.size(), 4u);
    const MQLONG reasons[] = {MQRC_Q_MGR_NOT_ACTIVE, MQRC_Q_MGR_ACTIVE, MQRC_Q_MGR_NOT_ACTIVE,
                              MQRC_Q_MGR_ACTIVE};
    const MQLONG qualifiers[] = {MQRQ_Q_MGR_QUIESCING, MQRQ_FAILOVER_NOT_PERMITTED, MQRQ_Q_MGR_STOPPING,
                                 MQRQ_FAILOVER_NOT_PERMITTED};
    for (size_t i = 0; i < got.size(); ++i) {
        SCOPED_TRACE(i);
        expectEventShape(got[i], MQCMD_Q_MGR_EVENT, MQCFH_VERSION_1);
        EXPECT_EQ(got[i].md.Persistence, MQPER_PERSISTENT);
        EXPECT_EQ(got[i].reason, reasons[i]);
        EXPECT_EQ(got[i].integer(MQIACF_REASON_QUALIFIER), qualifiers[i]);
        bool active = reasons[i] == MQRC_Q_MGR_ACTIVE;
        std::vector<int32_t> ids = {2015, 1020};
        if (active) ids.push_back(3191);
        EXPECT_EQ(got[i].ids(), ids);
        EXPECT_EQ(got[i].subtype(), active ? 11001u : 11002u);
    }
    // Switched off, a restart says nothing.
    define("ALTER QMGR STRSTPEV(DISABLED)");
    MQDISC(&h, &r.cc, &r.reason);
    ASSERT_TRUE(qm.stop(false));
    ASSERT_TRUE(qm.start());
    h = connect(qm.name());
    EXPECT_TRUE(events("SYSTEM.ADMIN.QMGR.EVENT").empty());
}

// Queue depth events with MAXDEPTH 10 and limits 80/20: high at the 8th put, full at the 11th,
// low at depth 2; each reports and restarts the queue's counts and switches the others on.
TEST_F(Events, QueueDepthEventsCarryAndResetTheCounts) {
    define("DEFINE QLOCAL(DEPTH.Q) MAXDEPTH(10) QDEPTHHI(80) QDEPTHLO(20) QDPHIEV(ENABLED)");
    MQHOBJ o = open(h, "DEPTH.Q", MQOO_OUTPUT | MQOO_INPUT_SHARED | MQOO_INQUIRE);
    // Without PERFMEV nothing is raised and no switch moves.
    for (int i = 0; i < 8; ++i) ASSERT_RC(put(h, o, "m"), MQCC_OK, MQRC_NONE);
    EXPECT_TRUE(events("SYSTEM.ADMIN.PERFM.EVENT").empty());
    EXPECT_EQ(inqInt(h, o, MQIA_Q_DEPTH_HIGH_EVENT), MQEVR_ENABLED);
    while (get(h, o, nullptr).cc == MQCC_OK) {
    }
    define("ALTER QMGR PERFMEV(ENABLED)");
    struct Expect {
        MQLONG reason, high, enq, deq;
        uint32_t subtype;
    };
    auto check = [&](const Expect &x) {
        std::vector<Pcf> got = events("SYSTEM.ADMIN.PERFM.EVENT");
        ASSERT_EQ(got.size(), 1u) << x.reason;
        const Pcf &e = got[0];
        expectEventShape(e, MQCMD_PERFM_EVENT, MQCFH_VERSION_1);
        EXPECT_EQ(e.reason, x.reason);
        EXPECT_EQ(e.ids(), (std::vector<int32_t>{2015, 2002, 35, 36, 37, 38}));
        EXPECT_EQ(e.text(MQCA_BASE_OBJECT_NAME), "DEPTH.Q");
        EXPECT_EQ(e.integer(MQIA_HIGH_Q_DEPTH), x.high);
        EXPECT_EQ(e.integer(MQIA_MSG_ENQ_COUNT), x.enq);
        EXPECT_EQ(e.integer(MQIA_MSG_DEQ_COUNT), x.deq);
        EXPECT_GE(e.integer(MQIA_TIME_SINCE_RESET), 0);
        EXPECT_EQ(e.subtype(), x.subtype);
    };
    for (int i = 1; i <= 7; ++i) ASSERT_RC(put(h, o, "m"), MQCC_OK, MQRC_NONE);
    EXPECT_TRUE(events("SYSTEM.ADMIN.PERFM.EVENT").empty());
    ASSERT_RC(put(h, o, "m"), MQCC_OK, MQRC_NONE);  // the 8th
    // The first interval began when the queue was defined: 8 + 8 puts, 8 gets.
    check({MQRC_Q_DEPTH_HIGH, 8, 16, 8, 8001});
    EXPECT_EQ(inqInt(h, o, MQIA_Q_DEPTH_HIGH_EVENT), MQEVR_DISABLED);
    EXPECT_EQ(inqInt(h, o, MQIA_Q_DEPTH_LOW_EVENT), MQEVR_ENABLED);
    ASSERT_RC(put(h, o, "m"), MQCC_OK, MQRC_NONE);
    ASSERT_RC(put(h, o, "m"), MQCC_OK, MQRC_NONE);
    EXPECT_RC(put(h, o, "m"), MQCC_FAILED, MQRC_Q_FULL);  // the 11th
    check({MQRC_Q_FULL, 10, 2, 0, 8003});
    EXPECT_EQ(inqInt(h, o, MQIA_Q_DEPTH_MAX_EVENT), MQEVR_DISABLED);
    EXPECT_RC(put(h, o, "m"), MQCC_FAILED, MQRC_Q_FULL);
    EXPECT_TRUE(events("SYSTEM.ADMIN.PERFM.EVENT").empty());
    for (int depth = 9; depth > 2; --depth) ASSERT_RC(get(h, o, nullptr), MQCC_OK, MQRC_NONE);
    EXPECT_TRUE(events("SYSTEM.ADMIN.PERFM.EVENT").empty());
    ASSERT_RC(get(h, o, nullptr), MQCC_OK, MQRC_NONE);  // depth 2
    check({MQRC_Q_DEPTH_LOW, 10, 0, 8, 8002});
    EXPECT_EQ(inqInt(h, o, MQIA_Q_DEPTH_HIGH_EVENT), MQEVR_ENABLED);
    EXPECT_EQ(inqInt(h, o, MQIA_Q_DEPTH_MAX_EVENT), MQEVR_ENABLED);
    // An event queue that refuses the event leaves the application's put alone.
    define("ALTER QLOCAL(SYSTEM.ADMIN.PERFM.EVENT) PUT(DISABLED)");
    for (int i = 0; i < 6; ++i) EXPECT_RC(put(h, o, "m"), MQCC_OK, MQRC_NONE);
    define("ALTER QLOCAL(SYSTEM.ADMIN.PERFM.EVENT) PUT(ENABLED)");
    EXPECT_TRUE(events("SYSTEM.ADMIN.PERFM.EVENT").empty());
}

// The service interval: a get after more than QSVCINT since the timer started is high (and arms
// the OK event); a get within it then is OK.
TEST_F(Events, ServiceIntervalHighThenOk) {
    define("ALTER QMGR PERFMEV(ENABLED)\nDEFINE QLOCAL(SVC.Q) QSVCINT(200) QSVCIEV(HIGH)");
    MQHOBJ o = open(h, "SVC.Q", MQOO_OUTPUT | MQOO_INPUT_SHARED | MQOO_INQUIRE);
    for (int i = 0; i < 3; ++i) ASSERT_RC(put(h, o, "m"), MQCC_OK, MQRC_NONE);
    usleep(400 * 1000);
    ASSERT_RC(get(h, o, nullptr), MQCC_OK, MQRC_NONE);
    ASSERT_RC(get(h, o, nullptr), MQCC_OK, MQRC_NONE);
    std::vector<Pcf> got = events("SYSTEM.ADMIN.PERFM.EVENT");
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].reason, MQRC_Q_SERVICE_INTERVAL_HIGH);
    EXPECT_EQ(got[0].subtype(), 8004u);
    EXPECT_EQ(got[1].reason, MQRC_Q_SERVICE_INTERVAL_OK);
    EXPECT_EQ(got[1].subtype(), 8005u);
    EXPECT_EQ(got[1].integer(MQIA_MSG_DEQ_COUNT), 1);  // the counts restarted at the first event
    EXPECT_EQ(inqInt(h, o, MQIA_Q_SERVICE_INTERVAL_EVENT), MQQSIE_HIGH);
}

// Configuration events: a create, a change as a before-and-after pair (from MQSC and from MQSET), a
// delete, and REFRESH QMGR's one event per object selected; each names its origin.
TEST_F(Events, ConfigurationEventsReportEveryChangeWithItsOrigin) {
    const char *queue = "SYSTEM.ADMIN.CONFIG.EVENT";
    define("DEFINE QLOCAL(APP.A)");
    EXPECT_TRUE(events(queue).empty());
    define("ALTER QMGR CONFIGEV(ENABLED)");
    std::vector<Pcf> got = events(queue);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].integer(MQIACF_OBJECT_TYPE), MQOT_Q_MGR);
    EXPECT_EQ(differing(got[0], got[1]), (std::vector<int32_t>{MQIA_CONFIGURATION_EVENT}));

    define("DEFINE QLOCAL(APP.B)");
    got = events(queue);
    ASSERT_EQ(got.size(), 1u);
    const Pcf &created = got[0];
    expectEventShape(created, MQCMD_CONFIG_EVENT, MQCFH_VERSION_2);
    EXPECT_EQ(created.reason, MQRC_CONFIG_CREATE_OBJECT);
    std::vector<int32_t> ids = created.ids();
    ASSERT_GE(ids.size(), 6u);
    EXPECT_EQ(std::vector<int32_t>(ids.begin(), ids.begin() + 6),
              (std::vector<int32_t>{3045, 1011, 3047, 1016, 2016, 20}));
    EXPECT_EQ(created.integer(MQIACF_EVENT_ORIGIN), MQEVO_CONSOLE);
    EXPECT_EQ(created.text(MQCACF_EVENT_Q_MGR), qm.name());
    EXPECT_EQ(created.integer(MQIACF_OBJECT_TYPE), MQOT_Q);
    EXPECT_EQ(created.text(MQCA_Q_NAME), "APP.B");
    EXPECT_EQ(created.integer(MQIA_MAX_Q_DEPTH), 5000);
    EXPECT_EQ(created.subtype(), 4002u);

    // A change: one pair differing only in what changed (and the alteration time).
    define("ALTER QLOCAL(APP.B) MAXDEPTH(6000)");
    got = events(queue);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].reason, MQRC_CONFIG_CHANGE_OBJECT);
    EXPECT_EQ(got[0].seq, 1);
    EXPECT_EQ(got[0].control, MQCFC_NOT_LAST);
    EXPECT_EQ(got[1].seq, 2);
    EXPECT_EQ(got[1].control, MQCFC_LAST);
    EXPECT_EQ(differing(got[0], got[1]), (std::vector<int32_t>{MQIA_MAX_Q_DEPTH}));
    EXPECT_EQ(got[0].integer(MQIA_MAX_Q_DEPTH), 5000);
    EXPECT_EQ(got[1].integer(MQIA_MAX_Q_DEPTH), 6000);
    EXPECT_EQ(got[1].subtype(), 4001u);

    define("DEFINE QLOCAL(APP.B) REPLACE DESCR('again')");
    got = events(queue);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[1].reason, MQRC_CONFIG_CHANGE_OBJECT);
    EXPECT_EQ(got[1].text(MQCA_Q_DESC), "again");

    // MQSET is a change too, with its own origin; a dynamic queue made by MQOPEN is not reported.
    MQHOBJ o = open(h, "APP.B", MQOO_SET);
    MQLONG selector = MQIA_INHIBIT_PUT, value = MQQA_PUT_INHIBITED;
    Rc r;
    MQSET(h, o, 1, &selector, 1, &value, 0, nullptr, &r.cc, &r.reason);
    ASSERT_RC(r, MQCC_OK, MQRC_NONE);
    MQOD od = MQOD_DEFAULT;
    setText(od.ObjectName, 48, "SYSTEM.DEFAULT.MODEL.QUEUE");
    setText(od.DynamicQName, 48, "DYN.*");
    MQHOBJ dyn = MQHO_UNUSABLE_HOBJ;
    MQOPEN(h, &od, MQOO_INPUT_SHARED, &dyn, &r.cc, &r.reason);
    ASSERT_RC(r, MQCC_OK, MQRC_NONE);
    MQCLOSE(h, &dyn, MQCO_NONE, &r.cc, &r.reason);
    got = events(queue);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[1].integer(MQIACF_EVENT_ORIGIN), MQEVO_MQSET);
    EXPECT_EQ(differing(got[0], got[1]), (std::vector<int32_t>{MQIA_INHIBIT_PUT}));

    define("REFRESH QMGR TYPE(CONFIGEV) NAME(APP*)");
    got = events(queue);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].text(MQCA_Q_NAME), "APP.A");
    EXPECT_EQ(got[1].text(MQCA_Q_NAME), "APP.B");
    for (const Pcf &e : got) {
        EXPECT_EQ(e.reason, MQRC_CONFIG_REFRESH_OBJECT);
        EXPECT_EQ(e.subtype(), 4004u);
    }
    define("REFRESH QMGR TYPE(CONFIGEV) OBJECT(QMGR)");
    EXPECT_EQ(events(queue).size(), 1u);

    define("DELETE QLOCAL(APP.A)");
    got = events(queue);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].reason, MQRC_CONFIG_DELETE_OBJECT);
    EXPECT_EQ(got[0].text(MQCA_Q_NAME), "APP.A");
    EXPECT_EQ(got[0].subtype(), 4003u);

    // Switching the events off is the last change reported; REFRESH then fails.
    define("ALTER QMGR CONFIGEV(DISABLED)");
    EXPECT_EQ(events(queue).size(), 2u);
    std::string out;
    EXPECT_EQ(qm.mqsc("REFRESH QMGR TYPE(CONFIGEV)", &out), 10);
    EXPECT_NE(out.find("(C98)"), std::string::npos) << out;  // MQRCCF_EVENTS_DISABLED
    define("DEFINE QLOCAL(APP.C)");
    EXPECT_TRUE(events(queue).empty());
}

// Command events: each successful command, as the PCF command it is; NODISPLAY leaves DISPLAY out.
TEST_F(Events, CommandEventsCarryTheCommandAsPcf) {
    const char *queue = "SYSTEM.ADMIN.COMMAND.EVENT";
    define("DEFINE QLOCAL(CMD.A)");
    EXPECT_TRUE(events(queue).empty());
    define("ALTER QMGR CMDEV(ENABLED)");
    std::vector<Pcf> got = events(queue);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].integer(MQIACF_COMMAND), MQCMD_CHANGE_Q_MGR);

    define("DEFINE QLOCAL(CMD.Q) MAXDEPTH(7)");
    got = events(queue);
    ASSERT_EQ(got.size(), 1u);
    const Pcf &e = got[0];
    expectEventShape(e, MQCMD_COMMAND_EVENT, MQCFH_VERSION_3);
    EXPECT_EQ(e.reason, MQRC_COMMAND_MQSC);
    EXPECT_EQ(e.ids(), (std::vector<int32_t>{MQGACF_COMMAND_CONTEXT, MQGACF_COMMAND_DATA}));
    EXPECT_EQ(e.ids(MQGACF_COMMAND_CONTEXT), (std::vector<int32_t>{3045, 1011, 3047, 1021}));
    EXPECT_EQ(e.integer(MQIACF_EVENT_ORIGIN), MQEVO_CONSOLE);
    EXPECT_EQ(e.integer(MQIACF_COMMAND), MQCMD_CREATE_Q);
    EXPECT_EQ(e.ids(MQGACF_COMMAND_DATA), (std::vector<int32_t>{2016, 20, 15}));
    EXPECT_EQ(e.text(MQCA_Q_NAME, MQGACF_COMMAND_DATA), "CMD.Q");
    EXPECT_EQ(e.integer(MQIA_MAX_Q_DEPTH, MQGACF_COMMAND_DATA), 7);
    EXPECT_EQ(e.subtype(), 3031u);

    struct Case {
        const char *mqsc;
        MQLONG command;  // 0: no event
        uint32_t subtype;
    };
    const Case cases[] = {
        {"DISPLAY QLOCAL(CMD.*)", MQCMD_INQUIRE_Q, 3066},
        {"DELETE QLOCAL(NO.SUCH.Q)", 0, 0},  // a command that fails raises nothing
        {"ALTER QMGR CMDEV(NODISPLAY)", MQCMD_CHANGE_Q_MGR, 3013},
        {"DISPLAY QUEUE(CMD.Q)", 0, 0},
        {"ALTER QLOCAL(CMD.Q) DESCR('d')", MQCMD_CHANGE_Q, 3012},
        {"CLEAR QLOCAL(CMD.Q)", MQCMD_CLEAR_Q, 3020},
        {"ALTER QMGR CMDEV(DISABLED)", MQCMD_CHANGE_Q_MGR, 3013},  // it was on before
        {"DELETE QLOCAL(CMD.A)", 0, 0},
    };
    for (const Case &k : cases) {
        SCOPED_TRACE(k.mqsc);
        std::string out;
        qm.mqsc(k.mqsc, &out);
        got = events(queue);
        if (k.command == 0) {
            EXPECT_TRUE(got.empty());
            continue;
        }
        ASSERT_EQ(got.size(), 1u);
        EXPECT_EQ(got[0].integer(MQIACF_COMMAND), k.command);
        EXPECT_EQ(got[0].subtype(), k.subtype);
    }
}

// The command server's requests run as MQEVO_MSG: their events carry the request's context.
TEST(EventOrigins, ARequestMessagesContextGoesIntoItsEvents) {
    zt::TempDir dir;
    qm::QueueManager q;
    std::string error, note;
    ASSERT_TRUE(q.start(dir.path(), "QMX", 940, false, error, note)) << error;
    MQMD request = MQMD_DEFAULT;
    setText(request.UserIdentifier, 12, "requser");
    std::memset(request.AccountingToken, 0x5A, sizeof request.AccountingToken);
    setText(request.ApplIdentityData, 32, "ident");
    request.PutApplType = MQAT_UNIX;
    setText(request.PutApplName, 28, "requester");
    setText(request.ApplOriginData, 4, "orig");
    bool ok = false;
    q.runMqsc("ALTER QMGR CONFIGEV(ENABLED) CMDEV(ENABLED)\nDEFINE QLOCAL(FROM.MSG)",
              qm::EventOrigin::fromMessage(request), ok);
    ASSERT_TRUE(ok);
    qm::Conn *c = nullptr;
    ASSERT_FALSE(q.connect("reader", "reader", c).failed());
    auto lastOn = [&](const char *queue) {
        qm::OpenRequest od;
        od.objectName = queue;
        MQLONG hobj = 0;
        qm::OpenReply out;
        EXPECT_FALSE(q.open(c, od, MQOO_INPUT_SHARED, hobj, out).failed());
        Pcf last;
        for (;;) {
            MQMD md = MQMD_DEFAULT;
            qm::GetOptions gmo;
            std::string data;
            MQLONG length = 0;
            if (q.get(c, hobj, md, gmo, 1 << 20, data, length).failed()) break;
            last = decodePcf(md, data);
        }
        return last;
    };
    const std::vector<int32_t> context = {3045, 1011, 3047, 7001, 3049, 1010, 3050, 3051};
    Pcf config = lastOn("SYSTEM.ADMIN.CONFIG.EVENT");
    EXPECT_EQ(config.reason, MQRC_CONFIG_CREATE_OBJECT);
    std::vector<int32_t> ids = config.ids();
    ASSERT_GE(ids.size(), context.size());
    EXPECT_EQ(std::vector<int32_t>(ids.begin(), ids.begin() + 8), context);
    Pcf command = lastOn("SYSTEM.ADMIN.COMMAND.EVENT");
    std::vector<int32_t> withCommand = context;
    withCommand.push_back(MQIACF_COMMAND);
    EXPECT_EQ(command.ids(MQGACF_COMMAND_CONTEXT), withCommand);
    for (const Pcf *e : {&config, &command}) {
        EXPECT_EQ(e->integer(MQIACF_EVENT_ORIGIN), MQEVO_MSG);
        EXPECT_EQ(e->text(MQCACF_EVENT_USER_ID), "requser");
        EXPECT_EQ(e->text(MQBACF_EVENT_ACCOUNTING_TOKEN), std::string(32, '\x5A'));
        EXPECT_EQ(e->text(MQCACF_EVENT_APPL_IDENTITY), "ident");
        EXPECT_EQ(e->integer(MQIACF_EVENT_APPL_TYPE), MQAT_UNIX);
        EXPECT_EQ(e->text(MQCACF_EVENT_APPL_NAME), "requester");
        EXPECT_EQ(e->text(MQCACF_EVENT_APPL_ORIGIN), "orig");
    }
    EXPECT_FALSE(q.disconnect(c, true).failed());
    q.shutdown();
}
