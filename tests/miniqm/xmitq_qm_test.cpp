// Remote queue manager names: name resolution to a transmission queue (same-named XMITQ, then
// DEFXMITQ) with IBM MQ's reasons, the open options a remote queue takes, and the transmission
// message (MQXQH, embedded descriptor, separate descriptor) checked byte by byte.
#include "miniqm/qm_fixture.h"

using namespace qmt;

namespace {

std::string pad(const std::string &s, size_t n) {
    return s + std::string(n - s.size(), ' ');
}

std::string le32(int32_t v) {
    std::string s(4, '\0');
    std::memcpy(s.data(), &v, 4);
    return s;
}

std::string bytesOf(const MQBYTE *p, size_t n) {
    return std::string(reinterpret_cast<const char *>(p), n);
}

// REMOTE.QM is a transmission queue from the start.
class Xmitq : public QmTest {
protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(QmTest::SetUp());
        define("DEFINE QLOCAL(REMOTE.QM) USAGE(XMITQ)\n");
    }
    // MQOPEN of queue q on queue manager qmName with a version-4 MQOD, which receives the
    // resolved names.
    MQHOBJ openRemote(const std::string &q, const std::string &qmName, MQLONG options, Rc *rc = nullptr,
                      MQOD *odOut = nullptr) {
        MQOD od = MQOD_DEFAULT;
        od.Version = MQOD_VERSION_4;
        setText(od.ObjectName, 48, q);
        setText(od.ObjectQMgrName, 48, qmName);
        MQHOBJ o = MQHO_UNUSABLE_HOBJ;
        Rc local;
        Rc &r = rc ? *rc : local;
        MQOPEN(h, &od, options, &o, &r.cc, &r.reason);
        if (odOut) *odOut = od;
        return o;
    }
    Rc openRc(const std::string &q, const std::string &qmName, MQLONG options) {
        Rc r;
        MQHOBJ o = openRemote(q, qmName, options, &r);
        if (r.cc != MQCC_FAILED) {
            Rc c;
            MQCLOSE(h, &o, MQCO_NONE, &c.cc, &c.reason);
        }
        return r;
    }
    // The next message on a transmission queue, through a handle of its own.
    Rc getFrom(const std::string &q, std::string *data, MQMD *md) {
        MQHOBJ o = open(h, q, MQOO_INPUT_SHARED);
        Rc r = get(h, o, data, MQGMO_NO_SYNCPOINT, md);
        Rc c;
        MQCLOSE(h, &o, MQCO_NONE, &c.cc, &c.reason);
        return r;
    }
};

}  // namespace

TEST_F(Xmitq, PutToRemoteQueueLandsOnSameNamedXmitqBehindAnMqxqh) {
    MQOD od;
    Rc r;
    MQHOBJ o = openRemote("APP.Q", "REMOTE.QM", MQOO_OUTPUT | MQOO_FAIL_IF_QUIESCING, &r, &od);
    ASSERT_RC(r, MQCC_OK, MQRC_NONE);
    EXPECT_EQ(text(od.ResolvedQName, 48), "APP.Q");
    EXPECT_EQ(text(od.ResolvedQMgrName, 48), "REMOTE.QM");
    EXPECT_EQ(od.ResolvedType, MQOT_Q);

    MQMD md = MQMD_DEFAULT;
    md.Version = MQMD_VERSION_2;
    md.MsgType = MQMT_REQUEST;
    md.Report = MQRO_COA | MQRO_COD | MQRO_EXCEPTION;
    md.Persistence = MQPER_PERSISTENT;
    md.Priority = 7;
    md.Expiry = 6000;
    md.CodedCharSetId = 1208;
    std::memcpy(md.Format, MQFMT_STRING, 8);
    std::memcpy(md.CorrelId, "CORREL-FROM-APPLICATION!", 24);
    setText(md.ReplyToQ, 48, "REPLY.Q");
    MQPMO pmo = MQPMO_DEFAULT;
    pmo.Options = MQPMO_NO_SYNCPOINT;
    std::string payload = "hello remote";
    MQPUT(h, o, &md, &pmo, static_cast<MQLONG>(payload.size()), payload.data(), &r.cc, &r.reason);
    ASSERT_RC(r, MQCC_OK, MQRC_NONE);
    EXPECT_EQ(text(pmo.ResolvedQName, 48), "APP.Q");
    EXPECT_EQ(text(pmo.ResolvedQMgrName, 48), "REMOTE.QM");
    EXPECT_EQ(text(md.ReplyToQMgr, 48), qm.name());  // a blank reply-to queue manager means this one

    MQMD t = MQMD_DEFAULT;
    std::string data;
    ASSERT_RC(getFrom("REMOTE.QM", &data, &t), MQCC_OK, MQRC_NONE);
    ASSERT_EQ(data.size(), 428u + payload.size());

    // The MQXQH, at IBM MQ's offsets: header, destination, then the version-1 descriptor.
    EXPECT_BYTES_EQ(std::string("XQH ") + le32(1) + pad("APP.Q", 48) + pad("REMOTE.QM", 48),
                    data.substr(0, 104));
    std::string d = data.substr(104, 324);
    EXPECT_BYTES_EQ(
        std::string("MD  ") + le32(1) + le32(MQRO_COA | MQRO_COD | MQRO_EXCEPTION) + le32(MQMT_REQUEST),
        d.substr(0, 16));
    EXPECT_BYTES_EQ(le32(MQENC_NATIVE) + le32(1208) + "MQSTR   " + le32(7) + le32(MQPER_PERSISTENT),
                    d.substr(24, 24));
    EXPECT_BYTES_EQ(bytesOf(md.MsgId, 24), d.substr(48, 24));
    EXPECT_BYTES_EQ(std::string("CORREL-FROM-APPLICATION!") + le32(0), d.substr(72, 28));
    EXPECT_BYTES_EQ(pad("REPLY.Q", 48) + pad(qm.name(), 48), d.substr(100, 96));
    EXPECT_BYTES_EQ(std::string(md.UserIdentifier, 12), d.substr(196, 12));
    EXPECT_BYTES_EQ(le32(MQAT_DEFAULT) + std::string(md.PutApplName, 28) + std::string(md.PutDate, 8) +
                        std::string(md.PutTime, 8),
                    d.substr(272, 48));
    EXPECT_BYTES_EQ(payload, data.substr(428));
    EXPECT_GT(md.Expiry, 0);
    EXPECT_BYTES_EQ(le32(md.Expiry), d.substr(16, 4));

    // The separate descriptor: the transmission message's own.
    EXPECT_EQ(text(t.Format, 8), "MQXMIT");
    EXPECT_EQ(t.Encoding, MQENC_NATIVE);
    EXPECT_EQ(t.CodedCharSetId, 819);
    EXPECT_EQ(t.Persistence, MQPER_PERSISTENT);
    EXPECT_EQ(t.Priority, 7);
    EXPECT_GT(t.Expiry, 0);
    EXPECT_LE(t.Expiry, 6000);
    EXPECT_EQ(t.MsgType, MQMT_REQUEST);
    EXPECT_EQ(t.Report, MQRO_EXCEPTION);  // COA and COD are for the destination, not the xmitq
    EXPECT_NE(bytesOf(t.MsgId, 24), bytesOf(md.MsgId, 24));
    EXPECT_EQ(bytesOf(t.CorrelId, 24), bytesOf(md.MsgId, 24));
    EXPECT_EQ(text(t.ReplyToQ, 48), "REPLY.Q");
    EXPECT_EQ(text(t.ReplyToQMgr, 48), qm.name());
    EXPECT_EQ(t.PutApplType, MQAT_QMGR);
    EXPECT_EQ(text(t.PutApplName, 28), qm.name());
    EXPECT_EQ(std::string(t.UserIdentifier, 12), std::string(md.UserIdentifier, 12));
    EXPECT_EQ(t.BackoutCount, 0);
}

TEST_F(Xmitq, DefaultsComeFromTheXmitqAndAGivenReplyToQMgrIsKept) {
    define("ALTER QLOCAL(REMOTE.QM) DEFPRTY(6) DEFPSIST(YES)\n");
    MQHOBJ o = openRemote("APP.Q", "REMOTE.QM", MQOO_OUTPUT);
    MQMD md = MQMD_DEFAULT;  // priority and persistence as the queue's defaults
    setText(md.ReplyToQ, 48, "REPLY.Q");
    setText(md.ReplyToQMgr, 48, "ELSEWHERE.QM");
    ASSERT_RC(put(h, o, "x", MQPMO_NO_SYNCPOINT, &md), MQCC_OK, MQRC_NONE);
    EXPECT_EQ(text(md.ReplyToQMgr, 48), "ELSEWHERE.QM");
    MQMD t = MQMD_DEFAULT;
    std::string data;
    ASSERT_RC(getFrom("REMOTE.QM", &data, &t), MQCC_OK, MQRC_NONE);
    EXPECT_EQ(t.Priority, 6);
    EXPECT_EQ(t.Persistence, MQPER_PERSISTENT);
    ASSERT_EQ(data.size(), 429u);
    EXPECT_BYTES_EQ(le32(6) + le32(MQPER_PERSISTENT), data.substr(104 + 40, 8));
    EXPECT_BYTES_EQ(pad("ELSEWHERE.QM", 48), data.substr(104 + 148, 48));
}

TEST_F(Xmitq, DefaultXmitqCarriesQueueManagersWithoutAQueueOfTheirOwn) {
    define("DEFINE QLOCAL(DEF.XMITQ) USAGE(XMITQ)\nALTER QMGR DEFXMITQ(DEF.XMITQ)\n");
    std::string out;
    ASSERT_EQ(qm.mqsc("DISPLAY QMGR DEFXMITQ\n", &out), 0) << out;
    EXPECT_NE(out.find("DEFXMITQ(DEF.XMITQ)"), std::string::npos) << out;
    MQOD qod = MQOD_DEFAULT;
    qod.ObjectType = MQOT_Q_MGR;
    MQHOBJ qo;
    Rc r;
    MQOPEN(h, &qod, MQOO_INQUIRE, &qo, &r.cc, &r.reason);
    ASSERT_RC(r, MQCC_OK, MQRC_NONE);
    MQLONG sel = MQCA_DEF_XMIT_Q_NAME;
    char name[48];
    MQINQ(h, qo, 1, &sel, 0, nullptr, 48, name, &r.cc, &r.reason);
    ASSERT_RC(r, MQCC_OK, MQRC_NONE);
    EXPECT_EQ(text(name, 48), "DEF.XMITQ");

    MQOD od;
    MQHOBJ o = openRemote("FAR.Q", "FAR.QM", MQOO_OUTPUT, &r, &od);
    ASSERT_RC(r, MQCC_OK, MQRC_NONE);
    EXPECT_EQ(text(od.ResolvedQMgrName, 48), "FAR.QM");
    ASSERT_RC(put(h, o, "far"), MQCC_OK, MQRC_NONE);
    // A queue manager with a transmission queue of its name still goes there.
    MQHOBJ near = openRemote("APP.Q", "REMOTE.QM", MQOO_OUTPUT);
    ASSERT_RC(put(h, near, "near"), MQCC_OK, MQRC_NONE);
    EXPECT_EQ(depth(qm.name(), "DEF.XMITQ"), 1);
    EXPECT_EQ(depth(qm.name(), "REMOTE.QM"), 1);
    std::string data;
    ASSERT_RC(getFrom("DEF.XMITQ", &data, nullptr), MQCC_OK, MQRC_NONE);
    EXPECT_BYTES_EQ(pad("FAR.Q", 48) + pad("FAR.QM", 48) + "MD  ", data.substr(8, 100));
    EXPECT_EQ(data.substr(428), "far");
}

TEST_F(Xmitq, ResolutionFailuresGiveIbmMqReasons) {
    EXPECT_RC(openRc("APP.Q", "NOWHERE.QM", MQOO_OUTPUT), MQCC_FAILED, MQRC_UNKNOWN_REMOTE_Q_MGR);
    define("DEFINE QLOCAL(PLAIN.QM)\nDEFINE QALIAS(ALIAS.QM) TARGET(REMOTE.QM)\n");
    EXPECT_RC(openRc("APP.Q", "PLAIN.QM", MQOO_OUTPUT), MQCC_FAILED, MQRC_XMIT_Q_USAGE_ERROR);
    EXPECT_RC(openRc("APP.Q", "ALIAS.QM", MQOO_OUTPUT), MQCC_FAILED, MQRC_XMIT_Q_TYPE_ERROR);
    define("ALTER QMGR DEFXMITQ(NO.SUCH.Q)\n");
    EXPECT_RC(openRc("APP.Q", "NOWHERE.QM", MQOO_OUTPUT), MQCC_FAILED, MQRC_UNKNOWN_DEF_XMIT_Q);
    define("ALTER QMGR DEFXMITQ(ALIAS.QM)\n");
    EXPECT_RC(openRc("APP.Q", "NOWHERE.QM", MQOO_OUTPUT), MQCC_FAILED, MQRC_DEF_XMIT_Q_TYPE_ERROR);
    define("ALTER QMGR DEFXMITQ(PLAIN.QM)\n");
    EXPECT_RC(openRc("APP.Q", "NOWHERE.QM", MQOO_OUTPUT), MQCC_FAILED, MQRC_DEF_XMIT_Q_USAGE_ERROR);
    // The local queue manager's own name stays local.
    define("DEFINE QLOCAL(APP.Q)\n");
    EXPECT_RC(openRc("APP.Q", qm.name(), MQOO_INPUT_SHARED | MQOO_OUTPUT), MQCC_OK, MQRC_NONE);
    EXPECT_RC(openRc("NO.SUCH.Q", qm.name(), MQOO_OUTPUT), MQCC_FAILED, MQRC_UNKNOWN_OBJECT_NAME);
    // The queue manager object is only ever local.
    MQOD od = MQOD_DEFAULT;
    od.ObjectType = MQOT_Q_MGR;
    setText(od.ObjectQMgrName, 48, "REMOTE.QM");
    MQHOBJ o;
    Rc r;
    MQOPEN(h, &od, MQOO_INQUIRE, &o, &r.cc, &r.reason);
    EXPECT_RC(r, MQCC_FAILED, MQRC_OPTION_NOT_VALID_FOR_TYPE);
}

// A remote queue definition resolves to the queue and queue manager it names, through its XMITQ.
TEST_F(Xmitq, ARemoteQueueDefinitionPutsThroughItsXmitq) {
    define(
        "DEFINE QLOCAL(OTHER.XMITQ) USAGE(XMITQ)\n"
        "DEFINE QREMOTE(VIA.DEF) RNAME(APP.Q) RQMNAME(REMOTE.QM) XMITQ(OTHER.XMITQ)\n");
    MQOD od;
    Rc r;
    MQHOBJ o = openRemote("VIA.DEF", "", MQOO_OUTPUT, &r, &od);
    ASSERT_RC(r, MQCC_OK, MQRC_NONE);
    EXPECT_EQ(text(od.ResolvedQName, 48), "APP.Q");
    EXPECT_EQ(text(od.ResolvedQMgrName, 48), "REMOTE.QM");
    MQMD md = MQMD_DEFAULT;
    MQPMO pmo = MQPMO_DEFAULT;
    pmo.Options = MQPMO_NO_SYNCPOINT;
    std::string payload = "via a definition";
    MQPUT(h, o, &md, &pmo, static_cast<MQLONG>(payload.size()), payload.data(), &r.cc, &r.reason);
    ASSERT_RC(r, MQCC_OK, MQRC_NONE);
    MQCLOSE(h, &o, MQCO_NONE, &r.cc, &r.reason);
    std::string data;
    MQMD t = MQMD_DEFAULT;
    ASSERT_RC(getFrom("OTHER.XMITQ", &data, &t), MQCC_OK, MQRC_NONE);
    ASSERT_EQ(data.size(), 428u + payload.size());
    EXPECT_EQ(data.substr(8, 48), pad("APP.Q", 48));
    EXPECT_EQ(data.substr(56, 48), pad("REMOTE.QM", 48));
    EXPECT_RC(openRc("VIA.DEF", "", MQOO_INPUT_SHARED), MQCC_FAILED, MQRC_OPTION_NOT_VALID_FOR_TYPE);
}

// An alias whose base is a remote definition resolves through it for output, as the definition does;
// there is nothing to read through it, and an inquiry is of the alias itself.
TEST_F(Xmitq, AnAliasToARemoteDefinitionPutsThroughItAndReadsNothing) {
    define(
        "DEFINE QLOCAL(OTHER.XMITQ) USAGE(XMITQ)\n"
        "DEFINE QREMOTE(VIA.DEF) RNAME(APP.Q) RQMNAME(REMOTE.QM) XMITQ(OTHER.XMITQ)\n"
        "DEFINE QALIAS(TO.DEF) TARGET(VIA.DEF)\n");
    MQOD od;
    Rc r;
    MQHOBJ o = openRemote("TO.DEF", "", MQOO_OUTPUT | MQOO_INQUIRE, &r, &od);
    ASSERT_RC(r, MQCC_OK, MQRC_NONE);
    EXPECT_EQ(text(od.ObjectName, 48), "TO.DEF");
    EXPECT_EQ(text(od.ResolvedQName, 48), "APP.Q");
    EXPECT_EQ(text(od.ResolvedQMgrName, 48), "REMOTE.QM");
    EXPECT_EQ(inqInt(h, o, MQIA_Q_TYPE), MQQT_ALIAS);
    MQHOBJ x = open(h, "OTHER.XMITQ", MQOO_INQUIRE);
    EXPECT_EQ(inqInt(h, x, MQIA_OPEN_OUTPUT_COUNT), 1);
    EXPECT_RC(put(h, o, "through the alias"), MQCC_OK, MQRC_NONE);
    MQCLOSE(h, &o, MQCO_NONE, &r.cc, &r.reason);
    ASSERT_RC(r, MQCC_OK, MQRC_NONE);
    EXPECT_EQ(inqInt(h, x, MQIA_OPEN_OUTPUT_COUNT), 0);

    MQOD one = MQOD_DEFAULT;
    one.Version = MQOD_VERSION_3;
    setText(one.ObjectName, 48, "TO.DEF");
    MQMD md = MQMD_DEFAULT;
    MQPMO pmo = MQPMO_DEFAULT;
    pmo.Options = MQPMO_NO_SYNCPOINT;
    std::string payload = "one shot";
    MQPUT1(h, &one, &md, &pmo, static_cast<MQLONG>(payload.size()), payload.data(), &r.cc, &r.reason);
    ASSERT_RC(r, MQCC_OK, MQRC_NONE);
    EXPECT_EQ(text(pmo.ResolvedQName, 48), "APP.Q");
    EXPECT_EQ(text(pmo.ResolvedQMgrName, 48), "REMOTE.QM");
    for (const std::string &expected : std::vector<std::string>{"through the alias", "one shot"}) {
        std::string data;
        MQMD t = MQMD_DEFAULT;
        ASSERT_RC(getFrom("OTHER.XMITQ", &data, &t), MQCC_OK, MQRC_NONE);
        EXPECT_EQ(text(t.Format, 8), "MQXMIT");
        ASSERT_EQ(data.size(), 428u + expected.size());
        EXPECT_EQ(data.substr(8, 48), pad("APP.Q", 48));
        EXPECT_EQ(data.substr(56, 48), pad("REMOTE.QM", 48));
        EXPECT_EQ(data.substr(428), expected);
    }
    EXPECT_EQ(depth(qm.name(), "OTHER.XMITQ"), 0);

    for (MQLONG bad : {MQOO_INPUT_AS_Q_DEF, MQOO_INPUT_SHARED, MQOO_INPUT_EXCLUSIVE, MQOO_BROWSE,
                       MQOO_OUTPUT | MQOO_BROWSE, MQOO_INQUIRE | MQOO_INPUT_SHARED}) {
        SCOPED_TRACE(bad);
        EXPECT_RC(openRc("TO.DEF", "", bad), MQCC_FAILED, MQRC_OPTION_NOT_VALID_FOR_TYPE);
    }
    // The alias's own PUT(DISABLED) holds, as for an alias to a local queue.
    define("ALTER QALIAS(TO.DEF) PUT(DISABLED)\n");
    MQPUT1(h, &one, &md, &pmo, static_cast<MQLONG>(payload.size()), payload.data(), &r.cc, &r.reason);
    EXPECT_RC(r, MQCC_FAILED, MQRC_PUT_INHIBITED);
    EXPECT_EQ(depth(qm.name(), "OTHER.XMITQ"), 0);
}

TEST_F(Xmitq, RemoteQueueTakesOutputOptionsOnly) {
    for (MQLONG bad :
         {MQOO_INPUT_AS_Q_DEF, MQOO_INPUT_SHARED, MQOO_INPUT_EXCLUSIVE, MQOO_BROWSE, MQOO_INQUIRE, MQOO_SET,
          MQOO_OUTPUT | MQOO_INQUIRE, MQOO_OUTPUT | MQOO_INPUT_SHARED | MQOO_SAVE_ALL_CONTEXT}) {
        SCOPED_TRACE(bad);
        EXPECT_RC(openRc("APP.Q", "REMOTE.QM", bad), MQCC_FAILED, MQRC_OPTION_NOT_VALID_FOR_TYPE);
    }
    // The option check comes before the search for a transmission queue.
    EXPECT_RC(openRc("APP.Q", "NOWHERE.QM", MQOO_INPUT_SHARED), MQCC_FAILED, MQRC_OPTION_NOT_VALID_FOR_TYPE);
    EXPECT_RC(openRc("APP.Q", "REMOTE.QM",
                     MQOO_OUTPUT | MQOO_SET_ALL_CONTEXT | MQOO_ALTERNATE_USER_AUTHORITY |
                         MQOO_FAIL_IF_QUIESCING | MQOO_BIND_ON_OPEN),
              MQCC_OK, MQRC_NONE);
    EXPECT_RC(openRc("APP.Q", "REMOTE.QM", MQOO_OUTPUT | MQOO_PASS_IDENTITY_CONTEXT), MQCC_OK, MQRC_NONE);

    // The handle holds the transmission queue open for output, and cannot delete it.
    MQHOBJ o = openRemote("APP.Q", "REMOTE.QM", MQOO_OUTPUT);
    MQHOBJ x = open(h, "REMOTE.QM", MQOO_INQUIRE);
    EXPECT_EQ(inqInt(h, x, MQIA_OPEN_OUTPUT_COUNT), 1);
    Rc r;
    MQCLOSE(h, &o, MQCO_DELETE_PURGE, &r.cc, &r.reason);
    EXPECT_RC(r, MQCC_FAILED, MQRC_OPTION_NOT_VALID_FOR_TYPE);
    MQCLOSE(h, &o, MQCO_NONE, &r.cc, &r.reason);
    EXPECT_RC(r, MQCC_OK, MQRC_NONE);
    EXPECT_EQ(inqInt(h, x, MQIA_OPEN_OUTPUT_COUNT), 0);
}

TEST_F(Xmitq, SyncpointPutsStayInvisibleOnTheXmitqUntilCommit) {
    MQHOBJ o = openRemote("APP.Q", "REMOTE.QM", MQOO_OUTPUT);
    ASSERT_RC(put(h, o, "first", MQPMO_SYNCPOINT), MQCC_OK, MQRC_NONE);
    MQHCONN other = connect(qm.name());
    MQHOBJ in = open(other, "REMOTE.QM", MQOO_INPUT_SHARED | MQOO_INQUIRE);
    EXPECT_EQ(inqInt(other, in, MQIA_CURRENT_Q_DEPTH), 1);  // counted, as IBM MQ's CURDEPTH does
    EXPECT_RC(get(other, in, nullptr), MQCC_FAILED, MQRC_NO_MSG_AVAILABLE);
    Rc r;
    MQBACK(h, &r.cc, &r.reason);
    ASSERT_RC(r, MQCC_OK, MQRC_NONE);
    EXPECT_EQ(inqInt(other, in, MQIA_CURRENT_Q_DEPTH), 0);
    ASSERT_RC(put(h, o, "second", MQPMO_SYNCPOINT), MQCC_OK, MQRC_NONE);
    MQCMIT(h, &r.cc, &r.reason);
    ASSERT_RC(r, MQCC_OK, MQRC_NONE);
    std::string data;
    ASSERT_RC(get(other, in, &data), MQCC_OK, MQRC_NONE);
    EXPECT_EQ(data.substr(428), "second");
    MQDISC(&other, &r.cc, &r.reason);
}

TEST_F(Xmitq, XmitqDepthInhibitAndLengthIncludingTheHeaderApply) {
    define("ALTER QLOCAL(REMOTE.QM) MAXDEPTH(1) MAXMSGL(500)\n");
    MQHOBJ o = openRemote("APP.Q", "REMOTE.QM", MQOO_OUTPUT);
    // 428 header bytes and 72 of data fill MAXMSGL(500) exactly.
    EXPECT_RC(put(h, o, std::string(73, 'x')), MQCC_FAILED, MQRC_MSG_TOO_BIG_FOR_Q);
    ASSERT_RC(put(h, o, std::string(72, 'x')), MQCC_OK, MQRC_NONE);
    EXPECT_RC(put(h, o, "y"), MQCC_FAILED, MQRC_Q_FULL);
    define("ALTER QLOCAL(REMOTE.QM) MAXDEPTH(5) PUT(DISABLED)\n");
    EXPECT_RC(put(h, o, "y"), MQCC_FAILED, MQRC_PUT_INHIBITED);
    EXPECT_EQ(depth(qm.name(), "REMOTE.QM"), 1);
}

TEST_F(Xmitq, Put1ToRemoteQueueFillsResolvedNamesAndLeavesNothingOpen) {
    MQOD od = MQOD_DEFAULT;
    od.Version = MQOD_VERSION_3;
    setText(od.ObjectName, 48, "APP.Q");
    setText(od.ObjectQMgrName, 48, "REMOTE.QM");
    MQMD md = MQMD_DEFAULT;
    MQPMO pmo = MQPMO_DEFAULT;
    pmo.Options = MQPMO_NO_SYNCPOINT;
    char payload[] = "one shot";
    Rc r;
    MQPUT1(h, &od, &md, &pmo, 8, payload, &r.cc, &r.reason);
    ASSERT_RC(r, MQCC_OK, MQRC_NONE);
    EXPECT_EQ(text(od.ResolvedQName, 48), "APP.Q");
    EXPECT_EQ(text(od.ResolvedQMgrName, 48), "REMOTE.QM");
    EXPECT_EQ(text(pmo.ResolvedQName, 48), "APP.Q");
    EXPECT_EQ(text(pmo.ResolvedQMgrName, 48), "REMOTE.QM");
    MQHOBJ x = open(h, "REMOTE.QM", MQOO_INQUIRE);
    EXPECT_EQ(inqInt(h, x, MQIA_OPEN_OUTPUT_COUNT), 0);
    MQMD t = MQMD_DEFAULT;
    std::string data;
    ASSERT_RC(getFrom("REMOTE.QM", &data, &t), MQCC_OK, MQRC_NONE);
    EXPECT_EQ(bytesOf(t.CorrelId, 24), bytesOf(md.MsgId, 24));
    EXPECT_EQ(data.substr(428), "one shot");

    setText(od.ObjectQMgrName, 48, "NOWHERE.QM");
    MQPUT1(h, &od, &md, &pmo, 8, payload, &r.cc, &r.reason);
    EXPECT_RC(r, MQCC_FAILED, MQRC_UNKNOWN_REMOTE_Q_MGR);
}

TEST_F(Xmitq, NonDefaultVersion2FieldsTravelInAnMqmdeAfterTheHeader) {
    MQHOBJ o = openRemote("APP.Q", "REMOTE.QM", MQOO_OUTPUT);
    MQMD md = MQMD_DEFAULT;
    md.Version = MQMD_VERSION_2;
    std::memcpy(md.Format, MQFMT_STRING, 8);
    std::memcpy(md.GroupId, "GROUP-OF-THREE-MESSAGES!", 24);
    md.MsgSeqNumber = 3;
    md.MsgFlags = MQMF_MSG_IN_GROUP;
    ASSERT_RC(put(h, o, "grouped", MQPMO_NO_SYNCPOINT, &md), MQCC_OK, MQRC_NONE);
    std::string data;
    ASSERT_RC(getFrom("REMOTE.QM", &data, nullptr), MQCC_OK, MQRC_NONE);
    ASSERT_EQ(data.size(), 428u + 72u + 7u);
    // The embedded descriptor describes the MQMDE, the MQMDE the data.
    EXPECT_BYTES_EQ(le32(MQENC_NATIVE) + le32(819) + "MQHMDE  ", data.substr(104 + 24, 16));
    EXPECT_BYTES_EQ(std::string("MDE ") + le32(2) + le32(72) + le32(MQENC_NATIVE) + le32(819) + "MQSTR   " +
                        le32(0) + "GROUP-OF-THREE-MESSAGES!" + le32(3) + le32(0) + le32(MQMF_MSG_IN_GROUP) +
                        le32(-1),
                    data.substr(428, 72));
    EXPECT_EQ(data.substr(500), "grouped");
}

TEST_F(Xmitq, SubscriptionToARemoteQueueSendsPublicationsThroughTheXmitqAcrossARestart) {
    MQHOBJ dest = openRemote("SUBSCRIBER.Q", "REMOTE.QM", MQOO_OUTPUT);
    MQSD sd = MQSD_DEFAULT;
    sd.Options = MQSO_CREATE | MQSO_DURABLE | MQSO_FAIL_IF_QUIESCING;
    std::string topic = "Holva/ZUNT/Remote", subName = "REMOTE.SUB";
    sd.ObjectString.VSPtr = topic.data();
    sd.ObjectString.VSLength = static_cast<MQLONG>(topic.size());
    sd.SubName.VSPtr = subName.data();
    sd.SubName.VSLength = static_cast<MQLONG>(subName.size());
    MQHOBJ hsub;
    Rc r;
    MQSUB(h, &sd, &dest, &hsub, &r.cc, &r.reason);
    ASSERT_RC(r, MQCC_OK, MQRC_NONE);
    MQCLOSE(h, &hsub, MQCO_KEEP_SUB, &r.cc, &r.reason);
    MQDISC(&h, &r.cc, &r.reason);
    ASSERT_TRUE(qm.stop(false));
    ASSERT_TRUE(qm.start());
    h = connect(qm.name());

    MQOD od = MQOD_DEFAULT;
    od.ObjectType = MQOT_TOPIC;
    od.Version = MQOD_VERSION_4;
    od.ObjectString.VSPtr = topic.data();
    od.ObjectString.VSLength = static_cast<MQLONG>(topic.size());
    MQHOBJ t;
    MQOPEN(h, &od, MQOO_OUTPUT, &t, &r.cc, &r.reason);
    ASSERT_RC(r, MQCC_OK, MQRC_NONE);
    ASSERT_RC(put(h, t, "published"), MQCC_OK, MQRC_NONE);
    std::string data;
    ASSERT_RC(getFrom("REMOTE.QM", &data, nullptr), MQCC_OK, MQRC_NONE);
    ASSERT_EQ(data.size(), 428u + 9u);
    EXPECT_BYTES_EQ(pad("SUBSCRIBER.Q", 48) + pad("REMOTE.QM", 48), data.substr(8, 96));
    EXPECT_BYTES_EQ(bytesOf(sd.SubCorrelId, 24), data.substr(104 + 72, 24));  // the embedded CorrelId
    EXPECT_EQ(data.substr(428), "published");
}

TEST_F(Xmitq, FaultsOnDemandMatchARemoteQueueByItsName) {
    MQHOBJ o = openRemote("APP.Q", "REMOTE.QM", MQOO_OUTPUT);
    ASSERT_EQ(qm.tool("fault " + qm.name() + " MQPUT 2053 --queue APP.Q"), 0);
    EXPECT_RC(put(h, o, "refused"), MQCC_FAILED, MQRC_Q_FULL);
    EXPECT_RC(put(h, o, "taken"), MQCC_OK, MQRC_NONE);
    ASSERT_EQ(qm.tool("fault " + qm.name() + " MQCLOSE 2009 --queue APP.Q --cc 2"), 0);
    Rc r;
    MQCLOSE(h, &o, MQCO_NONE, &r.cc, &r.reason);
    EXPECT_EQ(r.reason, MQRC_CONNECTION_BROKEN);
    h = MQHC_UNUSABLE_HCONN;
    EXPECT_EQ(depth(qm.name(), "REMOTE.QM"), 1);
}
