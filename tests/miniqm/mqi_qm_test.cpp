// The synchronous MQI of miniqm through the bindings library: every verb's success path and the
// reason codes IBM MQ gives on its failure paths.
#include "miniqm/qm_fixture.h"

using namespace qmt;

namespace {

class Mqi : public QmTest {};

}  // namespace

TEST(MqiConnect, UnknownQueueManagerGives2058AndStoppedOneGives2059) {
    QmServer qm;
    ASSERT_TRUE(qm.ok());
    Rc r;
    connect("NO.SUCH.QM", &r);
    EXPECT_RC(r, MQCC_FAILED, MQRC_Q_MGR_NAME_ERROR);
    ASSERT_TRUE(qm.stop());
    MQHCONN h = connect(qm.name(), &r);
    EXPECT_RC(r, MQCC_FAILED, MQRC_Q_MGR_NOT_AVAILABLE);
    EXPECT_EQ(h, MQHC_UNUSABLE_HCONN);
}

TEST(MqiConnect, SystemConnectOptionsWithUserAndPasswordAreAccepted) {
    QmServer qm;
    ASSERT_TRUE(qm.ok());
    MQCHAR48 name;
    setText(name, 48, qm.name());
    MQCNO cno = MQCNO_DEFAULT;
    cno.Version = MQCNO_VERSION_7;
    cno.Options = 0x1000A040;
    setText(cno.ApplName, 28, "Holva Software ZUNT");
    MQCSP csp = MQCSP_DEFAULT;
    csp.AuthenticationType = MQCSP_AUTH_USER_ID_AND_PWD;
    char user[] = "zunt", pw[] = "secret";
    csp.CSPUserIdPtr = user;
    csp.CSPUserIdLength = 4;
    csp.CSPPasswordPtr = pw;
    csp.CSPPasswordLength = 6;
    cno.SecurityParmsPtr = &csp;
    MQHCONN h;
    Rc r;
    MQCONNX(name, &cno, &h, &r.cc, &r.reason);
    ASSERT_RC(r, MQCC_OK, MQRC_NONE);
    // The application name becomes PutApplName.
    MQHOBJ o = open(h, "SYSTEM.DEFAULT.LOCAL.QUEUE", MQOO_OUTPUT | MQOO_INPUT_SHARED);
    EXPECT_RC(put(h, o, "x"), MQCC_OK, MQRC_NONE);
    MQMD md = MQMD_DEFAULT;
    EXPECT_RC(get(h, o, nullptr, MQGMO_NO_SYNCPOINT, &md), MQCC_OK, MQRC_NONE);
    EXPECT_EQ(text(md.PutApplName, 28), "Holva Software ZUNT");
    MQDISC(&h, &r.cc, &r.reason);
    EXPECT_EQ(h, MQHC_UNUSABLE_HCONN);
}

TEST(MqiConnect, BadConnectOptionsStructureGives2139) {
    QmServer qm;
    ASSERT_TRUE(qm.ok());
    MQCHAR48 name;
    setText(name, 48, qm.name());
    MQCNO cno = MQCNO_DEFAULT;
    cno.Version = 9;
    MQHCONN h;
    Rc r;
    MQCONNX(name, &cno, &h, &r.cc, &r.reason);
    EXPECT_RC(r, MQCC_FAILED, MQRC_CNO_ERROR);
}

TEST_F(Mqi, OpenReportsUnknownObjectsAndBadOptions) {
    Rc r;
    open(h, "NO.SUCH.QUEUE", MQOO_OUTPUT, &r);
    EXPECT_RC(r, MQCC_FAILED, MQRC_UNKNOWN_OBJECT_NAME);
    open(h, "SYSTEM.DEFAULT.LOCAL.QUEUE", 0, &r);
    EXPECT_RC(r, MQCC_FAILED, MQRC_OPTIONS_ERROR);
    open(h, "SYSTEM.DEFAULT.LOCAL.QUEUE", MQOO_INPUT_SHARED | MQOO_INPUT_EXCLUSIVE, &r);
    EXPECT_RC(r, MQCC_FAILED, MQRC_OPTIONS_ERROR);
    MQOD od = MQOD_DEFAULT;
    od.ObjectType = MQOT_Q_MGR;
    MQHOBJ o;
    MQOPEN(h, &od, MQOO_OUTPUT, &o, &r.cc, &r.reason);
    EXPECT_RC(r, MQCC_FAILED, MQRC_OPTION_NOT_VALID_FOR_TYPE);
    setText(od.ObjectQMgrName, 48, "SOME.OTHER.QM");
    od.ObjectType = MQOT_Q;
    setText(od.ObjectName, 48, "SYSTEM.DEFAULT.LOCAL.QUEUE");
    MQOPEN(h, &od, MQOO_OUTPUT, &o, &r.cc, &r.reason);
    EXPECT_RC(r, MQCC_FAILED, MQRC_UNKNOWN_REMOTE_Q_MGR);
    MQOD bad = MQOD_DEFAULT;
    bad.StrucId[0] = 'X';
    MQOPEN(h, &bad, MQOO_OUTPUT, &o, &r.cc, &r.reason);
    EXPECT_RC(r, MQCC_FAILED, MQRC_OD_ERROR);
}

TEST_F(Mqi, ExclusiveInputIsRefusedWith2042WhileAnyInputIsOpen) {
    define("DEFINE QLOCAL(EXCL.Q)\n");
    Rc r;
    MQHCONN other = connect(qm.name());
    MQHOBJ ex = open(h, "EXCL.Q", MQOO_INPUT_EXCLUSIVE, &r);
    ASSERT_EQ(r.cc, MQCC_OK);
    open(other, "EXCL.Q", MQOO_INPUT_SHARED, &r);
    EXPECT_RC(r, MQCC_FAILED, MQRC_OBJECT_IN_USE);
    MQCLOSE(h, &ex, MQCO_NONE, &r.cc, &r.reason);
    EXPECT_EQ(ex, MQHO_UNUSABLE_HOBJ);
    MQHOBJ shared = open(other, "EXCL.Q", MQOO_INPUT_SHARED, &r);
    ASSERT_EQ(r.cc, MQCC_OK);
    open(h, "EXCL.Q", MQOO_INPUT_EXCLUSIVE, &r);
    EXPECT_RC(r, MQCC_FAILED, MQRC_OBJECT_IN_USE);
    // Browse and output do not count as input.
    open(h, "EXCL.Q", MQOO_BROWSE | MQOO_OUTPUT, &r);
    EXPECT_EQ(r.cc, MQCC_OK);
    MQCLOSE(other, &shared, MQCO_NONE, &r.cc, &r.reason);
    MQDISC(&other, &r.cc, &r.reason);
}

TEST_F(Mqi, PutThenGetReturnsDataDescriptorAndGeneratedMsgId) {
    MQHOBJ o = open(h, "SYSTEM.DEFAULT.LOCAL.QUEUE", MQOO_OUTPUT | MQOO_INPUT_SHARED);
    MQMD md = MQMD_DEFAULT;
    setText(md.Format, 8, "MQSTR");
    ASSERT_RC(put(h, o, "hello world", MQPMO_NO_SYNCPOINT, &md), MQCC_OK, MQRC_NONE);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(md.MsgId), 4), "AMQ ");
    EXPECT_EQ(text(md.PutDate, 8).size(), 8u);
    MQMD got = MQMD_DEFAULT;
    std::string data;
    ASSERT_RC(get(h, o, &data, MQGMO_NO_SYNCPOINT, &got), MQCC_OK, MQRC_NONE);
    EXPECT_EQ(data, "hello world");
    EXPECT_EQ(0, std::memcmp(got.MsgId, md.MsgId, 24));
    EXPECT_EQ(text(got.Format, 8), "MQSTR");
    EXPECT_EQ(got.CodedCharSetId, 819);  // MQCCSI_Q_MGR became the queue manager's CCSID
    EXPECT_EQ(got.Priority, 0);          // -1: the queue's DEFPRTY
    EXPECT_EQ(got.Persistence, MQPER_NOT_PERSISTENT);
    EXPECT_EQ(got.PutApplType, MQAT_UNIX);
    EXPECT_RC(get(h, o, &data), MQCC_FAILED, MQRC_NO_MSG_AVAILABLE);
}

TEST_F(Mqi, PersistenceAndPriorityAsQueueDefaultComeFromTheNameOpened) {
    define(
        "DEFINE QLOCAL(DEF.Q) DEFPSIST(YES) DEFPRTY(4)\nDEFINE QALIAS(DEF.ALIAS) TARGET(DEF.Q) DEFPRTY(7)\n");
    MQHOBJ o = open(h, "DEF.Q", MQOO_OUTPUT | MQOO_INPUT_SHARED);
    MQHOBJ a = open(h, "DEF.ALIAS", MQOO_OUTPUT);
    ASSERT_RC(put(h, o, "a"), MQCC_OK, MQRC_NONE);
    ASSERT_RC(put(h, a, "b"), MQCC_OK, MQRC_NONE);
    MQMD md = MQMD_DEFAULT;
    std::string data;
    ASSERT_RC(get(h, o, &data, MQGMO_NO_SYNCPOINT, &md), MQCC_OK, MQRC_NONE);
    EXPECT_EQ(data, "b");  // priority 7 before priority 4
    EXPECT_EQ(md.Priority, 7);
    EXPECT_EQ(md.Persistence, MQPER_NOT_PERSISTENT);  // the alias's DEFPSIST(NO)
    md = MQMD_DEFAULT;
    ASSERT_RC(get(h, o, &data, MQGMO_NO_SYNCPOINT, &md), MQCC_OK, MQRC_NONE);
    EXPECT_EQ(md.Priority, 4);
    EXPECT_EQ(md.Persistence, MQPER_PERSISTENT);
}

TEST_F(Mqi, PutLimitsGiveTheirReasons) {
    define(
        "DEFINE QLOCAL(SMALL.Q) MAXDEPTH(2) MAXMSGL(10)\nDEFINE QLOCAL(BIG.Q) MAXMSGL(104857600)\n"
        "ALTER QMGR MAXMSGL(32768)\n");
    MQHOBJ o = open(h, "SMALL.Q", MQOO_OUTPUT | MQOO_SET);
    EXPECT_RC(put(h, o, std::string(11, 'x')), MQCC_FAILED, MQRC_MSG_TOO_BIG_FOR_Q);
    MQHOBJ big = open(h, "BIG.Q", MQOO_OUTPUT);
    EXPECT_RC(put(h, big, std::string(40000, 'x')), MQCC_FAILED, MQRC_MSG_TOO_BIG_FOR_Q_MGR);
    EXPECT_RC(put(h, o, "1"), MQCC_OK, MQRC_NONE);
    EXPECT_RC(put(h, o, "2"), MQCC_OK, MQRC_NONE);
    EXPECT_RC(put(h, o, "3"), MQCC_FAILED, MQRC_Q_FULL);
    MQLONG sel = MQIA_INHIBIT_PUT, val = MQQA_PUT_INHIBITED;
    Rc r;
    MQSET(h, o, 1, &sel, 1, &val, 0, nullptr, &r.cc, &r.reason);
    ASSERT_RC(r, MQCC_OK, MQRC_NONE);
    EXPECT_RC(put(h, o, "4"), MQCC_FAILED, MQRC_PUT_INHIBITED);
    MQMD md = MQMD_DEFAULT;
    md.Persistence = 5;
    EXPECT_RC(put(h, big, "x", MQPMO_NO_SYNCPOINT, &md), MQCC_FAILED, MQRC_PERSISTENCE_ERROR);
    md = MQMD_DEFAULT;
    md.Priority = -2;
    EXPECT_RC(put(h, big, "x", MQPMO_NO_SYNCPOINT, &md), MQCC_FAILED, MQRC_PRIORITY_ERROR);
    md = MQMD_DEFAULT;
    md.Expiry = 0;
    EXPECT_RC(put(h, big, "x", MQPMO_NO_SYNCPOINT, &md), MQCC_FAILED, MQRC_EXPIRY_ERROR);
    EXPECT_RC(put(h, big, "x", MQPMO_SYNCPOINT | MQPMO_NO_SYNCPOINT), MQCC_FAILED, MQRC_OPTIONS_ERROR);
    MQHOBJ in = open(h, "BIG.Q", MQOO_INPUT_SHARED);
    EXPECT_RC(put(h, in, "x"), MQCC_FAILED, MQRC_NOT_OPEN_FOR_OUTPUT);
}

TEST_F(Mqi, RequestNeedsAReplyToQueueAndItsQueueManagerDefaultsToThisOne) {
    MQHOBJ o = open(h, "SYSTEM.DEFAULT.LOCAL.QUEUE", MQOO_OUTPUT | MQOO_INPUT_SHARED);
    MQMD md = MQMD_DEFAULT;
    md.MsgType = MQMT_REQUEST;
    EXPECT_RC(put(h, o, "ask", MQPMO_NO_SYNCPOINT, &md), MQCC_FAILED, MQRC_MISSING_REPLY_TO_Q);
    setText(md.ReplyToQ, 48, "REPLY.Q");
    ASSERT_RC(put(h, o, "ask", MQPMO_NO_SYNCPOINT, &md), MQCC_OK, MQRC_NONE);
    EXPECT_EQ(text(md.ReplyToQMgr, 48), qm.name());
    MQMD got = MQMD_DEFAULT;
    ASSERT_RC(get(h, o, nullptr, MQGMO_NO_SYNCPOINT, &got), MQCC_OK, MQRC_NONE);
    EXPECT_EQ(text(got.ReplyToQ, 48), "REPLY.Q");
    EXPECT_EQ(text(got.ReplyToQMgr, 48), qm.name());
}

TEST_F(Mqi, ConvertLeavesMatchingMessagesAloneAndReturnsOthersUnconvertedWithAWarning) {
    MQHOBJ o = open(h, "SYSTEM.DEFAULT.LOCAL.QUEUE", MQOO_OUTPUT | MQOO_INPUT_SHARED | MQOO_BROWSE);
    MQMD md = MQMD_DEFAULT;
    md.CodedCharSetId = 850;
    ASSERT_RC(put(h, o, "blob", MQPMO_NO_SYNCPOINT, &md), MQCC_OK, MQRC_NONE);
    md = MQMD_DEFAULT;
    md.CodedCharSetId = 850;
    setText(md.Format, 8, "MQSTR");
    ASSERT_RC(put(h, o, "text", MQPMO_NO_SYNCPOINT, &md), MQCC_OK, MQRC_NONE);
    // The same CCSID asked for: nothing to convert.
    MQMD want = MQMD_DEFAULT;
    want.CodedCharSetId = 850;
    EXPECT_RC(get(h, o, nullptr, MQGMO_BROWSE_FIRST | MQGMO_CONVERT, &want), MQCC_OK, MQRC_NONE);
    // A buffer of length 0: nothing to convert into.
    want = MQMD_DEFAULT;
    EXPECT_RC(get(h, o, nullptr, MQGMO_BROWSE_FIRST | MQGMO_CONVERT | MQGMO_ACCEPT_TRUNCATED_MSG, &want, 0),
              MQCC_WARNING, MQRC_TRUNCATED_MSG_ACCEPTED);
    // MQFMT_NONE in another CCSID: never converted, 2110, and the descriptor says what came back.
    want = MQMD_DEFAULT;
    std::string data;
    EXPECT_RC(get(h, o, &data, MQGMO_BROWSE_FIRST | MQGMO_CONVERT, &want), MQCC_WARNING, MQRC_FORMAT_ERROR);
    EXPECT_EQ(data, "blob");
    EXPECT_EQ(want.CodedCharSetId, 850);
}

TEST_F(Mqi, GetInhibitedGives2016AndNotOpenForInputGives2037) {
    define("DEFINE QLOCAL(INH.Q) GET(DISABLED)\n");
    MQHOBJ o = open(h, "INH.Q", MQOO_OUTPUT | MQOO_INPUT_SHARED | MQOO_BROWSE);
    EXPECT_RC(get(h, o, nullptr), MQCC_FAILED, MQRC_GET_INHIBITED);
    EXPECT_RC(get(h, o, nullptr, MQGMO_BROWSE_FIRST), MQCC_FAILED, MQRC_GET_INHIBITED);
    MQHOBJ out = open(h, "INH.Q", MQOO_OUTPUT);
    EXPECT_RC(get(h, out, nullptr), MQCC_FAILED, MQRC_NOT_OPEN_FOR_INPUT);
    EXPECT_RC(get(h, out, nullptr, MQGMO_BROWSE_FIRST), MQCC_FAILED, MQRC_NOT_OPEN_FOR_BROWSE);
    EXPECT_RC(get(h, 12345, nullptr), MQCC_FAILED, MQRC_HOBJ_ERROR);
}

TEST_F(Mqi, TruncationFailsWith2080OrRemovesWith2079AndAlwaysGivesDataLength) {
    MQHOBJ o = open(h, "SYSTEM.DEFAULT.LOCAL.QUEUE", MQOO_OUTPUT | MQOO_INPUT_SHARED);
    ASSERT_RC(put(h, o, "0123456789"), MQCC_OK, MQRC_NONE);
    std::string data;
    MQLONG len = 0;
    EXPECT_RC(get(h, o, &data, MQGMO_NO_SYNCPOINT, nullptr, 4, &len), MQCC_FAILED, MQRC_TRUNCATED_MSG_FAILED);
    EXPECT_EQ(len, 10);
    EXPECT_EQ(depth(qm.name(), "SYSTEM.DEFAULT.LOCAL.QUEUE"), 1);
    EXPECT_RC(get(h, o, &data, MQGMO_NO_SYNCPOINT | MQGMO_ACCEPT_TRUNCATED_MSG, nullptr, 4, &len),
              MQCC_WARNING, MQRC_TRUNCATED_MSG_ACCEPTED);
    EXPECT_EQ(len, 10);
    EXPECT_EQ(data, "0123");
    EXPECT_EQ(depth(qm.name(), "SYSTEM.DEFAULT.LOCAL.QUEUE"), 0);
}

TEST_F(Mqi, ZeroLengthGetWithAcceptTruncatedRemovesByCorrelId) {
    // The data queue's way to replace a stored message: get by CorrelId with buffer length 0.
    MQHOBJ o = open(h, "SYSTEM.DEFAULT.LOCAL.QUEUE", MQOO_OUTPUT | MQOO_INPUT_SHARED);
    MQMD md = MQMD_DEFAULT;
    md.CorrelId[0] = 1;
    ASSERT_RC(put(h, o, "config"), MQCC_OK, MQRC_NONE);
    ASSERT_RC(put(h, o, "blob", MQPMO_NO_SYNCPOINT, &md), MQCC_OK, MQRC_NONE);
    MQMD want = MQMD_DEFAULT;
    want.CorrelId[0] = 1;
    MQGMO gmo = MQGMO_DEFAULT;
    MQLONG len = 0;
    EXPECT_RC(get(h, o, nullptr, MQGMO_SYNCPOINT | MQGMO_ACCEPT_TRUNCATED_MSG, &want, 0, &len, 0, &gmo),
              MQCC_WARNING, MQRC_TRUNCATED_MSG_ACCEPTED);
    EXPECT_EQ(len, 4);
    want = MQMD_DEFAULT;
    want.CorrelId[0] = 1;
    EXPECT_RC(get(h, o, nullptr, MQGMO_SYNCPOINT | MQGMO_ACCEPT_TRUNCATED_MSG, &want, 0, &len, 0, &gmo),
              MQCC_FAILED, MQRC_NO_MSG_AVAILABLE);
    Rc r;
    MQCMIT(h, &r.cc, &r.reason);
    EXPECT_EQ(depth(qm.name(), "SYSTEM.DEFAULT.LOCAL.QUEUE"), 1);
}

TEST_F(Mqi, MatchingByMsgIdAndCorrelIdIncludingVersion1Implicit) {
    MQHOBJ o = open(h, "SYSTEM.DEFAULT.LOCAL.QUEUE", MQOO_OUTPUT | MQOO_INPUT_SHARED | MQOO_BROWSE);
    MQMD a = MQMD_DEFAULT, b = MQMD_DEFAULT;
    a.CorrelId[0] = 'A';
    b.CorrelId[0] = 'B';
    ASSERT_RC(put(h, o, "a", MQPMO_NO_SYNCPOINT, &a), MQCC_OK, MQRC_NONE);
    ASSERT_RC(put(h, o, "b", MQPMO_NO_SYNCPOINT, &b), MQCC_OK, MQRC_NONE);
    // Version 2 with MatchOptions none: the first message whatever the identifiers say.
    MQMD md = MQMD_DEFAULT;
    md.CorrelId[0] = 'B';
    MQGMO gmo = MQGMO_DEFAULT;
    gmo.Version = MQGMO_VERSION_2;
    gmo.MatchOptions = MQMO_NONE;
    std::string data;
    ASSERT_RC(get(h, o, &data, MQGMO_BROWSE_FIRST, &md, 100, nullptr, 0, &gmo), MQCC_OK, MQRC_NONE);
    EXPECT_EQ(data, "a");
    // Version 1 matches on any identifier that is not none.
    md = MQMD_DEFAULT;
    md.CorrelId[0] = 'B';
    MQGMO v1 = MQGMO_DEFAULT;
    ASSERT_RC(get(h, o, &data, MQGMO_NO_SYNCPOINT, &md, 100, nullptr, 0, &v1), MQCC_OK, MQRC_NONE);
    EXPECT_EQ(data, "b");
    md = MQMD_DEFAULT;
    std::memcpy(md.MsgId, a.MsgId, 24);
    md.CorrelId[0] = 'X';
    EXPECT_RC(get(h, o, &data, MQGMO_NO_SYNCPOINT, &md, 100, nullptr, 0, &v1), MQCC_FAILED,
              MQRC_NO_MSG_AVAILABLE);
    md = MQMD_DEFAULT;
    std::memcpy(md.MsgId, a.MsgId, 24);
    ASSERT_RC(get(h, o, &data, MQGMO_NO_SYNCPOINT, &md, 100, nullptr, 0, &v1), MQCC_OK, MQRC_NONE);
    EXPECT_EQ(data, "a");
}

TEST_F(Mqi, BrowseWalksTheQueueAndGetsTheMessageUnderTheCursor) {
    MQHOBJ o = open(h, "SYSTEM.DEFAULT.LOCAL.QUEUE", MQOO_OUTPUT | MQOO_INPUT_SHARED | MQOO_BROWSE);
    for (const char *m : {"one", "two", "three"}) ASSERT_RC(put(h, o, m), MQCC_OK, MQRC_NONE);
    std::string data;
    EXPECT_RC(get(h, o, &data, MQGMO_MSG_UNDER_CURSOR), MQCC_FAILED, MQRC_NO_MSG_UNDER_CURSOR);
    ASSERT_RC(get(h, o, &data, MQGMO_BROWSE_FIRST), MQCC_OK, MQRC_NONE);
    EXPECT_EQ(data, "one");
    ASSERT_RC(get(h, o, &data, MQGMO_BROWSE_NEXT), MQCC_OK, MQRC_NONE);
    EXPECT_EQ(data, "two");
    // Under the cursor with a zero-length buffer: the length, without the data, cursor kept.
    MQLONG len = 0;
    EXPECT_RC(get(h, o, nullptr, MQGMO_BROWSE_MSG_UNDER_CURSOR, nullptr, 0, &len), MQCC_FAILED,
              MQRC_TRUNCATED_MSG_FAILED);
    EXPECT_EQ(len, 3);
    ASSERT_RC(get(h, o, &data, MQGMO_MSG_UNDER_CURSOR | MQGMO_NO_SYNCPOINT), MQCC_OK, MQRC_NONE);
    EXPECT_EQ(data, "two");
    ASSERT_RC(get(h, o, &data, MQGMO_BROWSE_NEXT), MQCC_OK, MQRC_NONE);
    EXPECT_EQ(data, "three");
    EXPECT_RC(get(h, o, &data, MQGMO_BROWSE_NEXT), MQCC_FAILED, MQRC_NO_MSG_AVAILABLE);
    EXPECT_EQ(depth(qm.name(), "SYSTEM.DEFAULT.LOCAL.QUEUE"), 2);
    EXPECT_RC(get(h, o, &data, MQGMO_BROWSE_FIRST | MQGMO_SYNCPOINT), MQCC_FAILED, MQRC_OPTIONS_ERROR);
}

TEST_F(Mqi, ExpiredMessagesAreNotReturnedAndRemainingExpiryIsShown) {
    define("DEFINE QLOCAL(EXP.Q)\n");
    MQHOBJ o = open(h, "EXP.Q", MQOO_OUTPUT | MQOO_INPUT_SHARED);
    MQMD md = MQMD_DEFAULT;
    md.Expiry = 1;  // a tenth of a second
    ASSERT_RC(put(h, o, "short", MQPMO_NO_SYNCPOINT, &md), MQCC_OK, MQRC_NONE);
    md = MQMD_DEFAULT;
    md.Expiry = 600;
    ASSERT_RC(put(h, o, "long", MQPMO_NO_SYNCPOINT, &md), MQCC_OK, MQRC_NONE);
    // Wait until the short one has expired for certain (its deadline is in the past).
    usleep(150 * 1000);
    std::string data;
    MQMD got = MQMD_DEFAULT;
    ASSERT_RC(get(h, o, &data, MQGMO_NO_SYNCPOINT, &got), MQCC_OK, MQRC_NONE);
    EXPECT_EQ(data, "long");
    EXPECT_GT(got.Expiry, 0);
    EXPECT_LE(got.Expiry, 600);
    EXPECT_EQ(depth(qm.name(), "EXP.Q"), 0);
}

TEST_F(Mqi, CapExpiryLimitsTheExpiryOfPutMessages) {
    define("DEFINE QLOCAL(CAP.Q) CAPEXPRY(50)\n");
    MQHOBJ o = open(h, "CAP.Q", MQOO_OUTPUT | MQOO_INPUT_SHARED);
    MQMD md = MQMD_DEFAULT;
    ASSERT_RC(put(h, o, "x", MQPMO_NO_SYNCPOINT, &md), MQCC_OK, MQRC_NONE);
    MQMD got = MQMD_DEFAULT;
    ASSERT_RC(get(h, o, nullptr, MQGMO_NO_SYNCPOINT, &got), MQCC_OK, MQRC_NONE);
    EXPECT_GT(got.Expiry, 0);
    EXPECT_LE(got.Expiry, 50);
}

TEST_F(Mqi, WaitWithTimeoutEndsWith2033) {
    MQHOBJ o = open(h, "SYSTEM.DEFAULT.LOCAL.QUEUE", MQOO_INPUT_SHARED);
    EXPECT_RC(get(h, o, nullptr, MQGMO_WAIT, nullptr, 100, nullptr, 50), MQCC_FAILED, MQRC_NO_MSG_AVAILABLE);
}

TEST_F(Mqi, ModelQueueMakesTemporaryDynamicQueueDeletedAtClose) {
    Rc r;
    MQOD od;
    MQHOBJ o = open(h, "SYSTEM.DEFAULT.MODEL.QUEUE", MQOO_INPUT_EXCLUSIVE | MQOO_OUTPUT, &r, &od);
    ASSERT_RC(r, MQCC_OK, MQRC_NONE);
    std::string name = text(od.ObjectName, 48);
    EXPECT_EQ(name.rfind("AMQ.", 0), 0u) << name;
    EXPECT_GT(name.size(), 4u);
    EXPECT_RC(put(h, o, "temp"), MQCC_OK, MQRC_NONE);
    MQMD md = MQMD_DEFAULT;
    md.Persistence = MQPER_PERSISTENT;
    EXPECT_RC(put(h, o, "p", MQPMO_NO_SYNCPOINT, &md), MQCC_FAILED, MQRC_PERSISTENT_NOT_ALLOWED);
    MQHOBJ again = open(h, name, MQOO_INQUIRE, &r);
    ASSERT_EQ(r.cc, MQCC_OK);
    EXPECT_EQ(inqInt(h, again, MQIA_DEFINITION_TYPE), MQQDT_TEMPORARY_DYNAMIC);
    MQCLOSE(h, &again, MQCO_NONE, &r.cc, &r.reason);
    MQCLOSE(h, &o, MQCO_NONE, &r.cc, &r.reason);
    ASSERT_RC(r, MQCC_OK, MQRC_NONE);
    open(h, name, MQOO_INQUIRE, &r);
    EXPECT_RC(r, MQCC_FAILED, MQRC_UNKNOWN_OBJECT_NAME);
}

TEST_F(Mqi, PermanentDynamicQueueSurvivesCloseAndIsDeletedWithCloseDelete) {
    define("DEFINE QMODEL(PERM.MODEL) DEFTYPE(PERMDYN)\n");
    Rc r;
    MQOD od = MQOD_DEFAULT;
    setText(od.ObjectName, 48, "PERM.MODEL");
    setText(od.DynamicQName, 48, "MY.REPLY.*");
    MQHOBJ o;
    MQOPEN(h, &od, MQOO_INPUT_SHARED | MQOO_OUTPUT, &o, &r.cc, &r.reason);
    ASSERT_RC(r, MQCC_OK, MQRC_NONE);
    std::string name = text(od.ObjectName, 48);
    EXPECT_EQ(name.rfind("MY.REPLY.", 0), 0u);
    EXPECT_RC(put(h, o, "kept"), MQCC_OK, MQRC_NONE);
    MQCLOSE(h, &o, MQCO_NONE, &r.cc, &r.reason);
    EXPECT_EQ(depth(qm.name(), name), 1);
    o = open(h, name, MQOO_INPUT_SHARED);
    MQCLOSE(h, &o, MQCO_DELETE, &r.cc, &r.reason);
    EXPECT_RC(r, MQCC_FAILED, MQRC_Q_NOT_EMPTY);
    MQCLOSE(h, &o, MQCO_DELETE_PURGE, &r.cc, &r.reason);
    EXPECT_RC(r, MQCC_OK, MQRC_NONE);
    open(h, name, MQOO_INQUIRE, &r);
    EXPECT_RC(r, MQCC_FAILED, MQRC_UNKNOWN_OBJECT_NAME);
    MQHOBJ pre = open(h, "SYSTEM.DEFAULT.LOCAL.QUEUE", MQOO_INQUIRE);
    MQCLOSE(h, &pre, MQCO_DELETE, &r.cc, &r.reason);
    EXPECT_RC(r, MQCC_FAILED, MQRC_OPTION_NOT_VALID_FOR_TYPE);
}

TEST_F(Mqi, TemporaryDynamicQueuesGoAtDisconnect) {
    Rc r;
    MQOD od;
    MQHCONN other = connect(qm.name());
    open(other, "SYSTEM.DEFAULT.MODEL.QUEUE", MQOO_INPUT_SHARED, &r, &od);
    ASSERT_EQ(r.cc, MQCC_OK);
    std::string name = text(od.ObjectName, 48);
    MQDISC(&other, &r.cc, &r.reason);
    open(h, name, MQOO_INQUIRE, &r);
    EXPECT_RC(r, MQCC_FAILED, MQRC_UNKNOWN_OBJECT_NAME);
}

TEST_F(Mqi, AliasResolvesToItsTargetAndUnknownTargetGives2082) {
    define(
        "DEFINE QLOCAL(TARGET.Q)\nDEFINE QALIAS(GOOD.ALIAS) TARGET(TARGET.Q)\n"
        "DEFINE QALIAS(BAD.ALIAS) TARGET(NOWHERE)\nDEFINE QALIAS(NOPUT.ALIAS) TARGET(TARGET.Q) "
        "PUT(DISABLED)\n");
    Rc r;
    MQOD od;
    MQHOBJ a = open(h, "GOOD.ALIAS", MQOO_OUTPUT, &r, &od);
    ASSERT_EQ(r.cc, MQCC_OK);
    EXPECT_RC(put(h, a, "via alias"), MQCC_OK, MQRC_NONE);
    EXPECT_EQ(depth(qm.name(), "TARGET.Q"), 1);
    open(h, "BAD.ALIAS", MQOO_OUTPUT, &r);
    EXPECT_RC(r, MQCC_FAILED, MQRC_UNKNOWN_ALIAS_BASE_Q);
    MQHOBJ np = open(h, "NOPUT.ALIAS", MQOO_OUTPUT | MQOO_INQUIRE, &r);
    EXPECT_RC(put(h, np, "x"), MQCC_FAILED, MQRC_PUT_INHIBITED);
    // Inquiring an alias about the depth of a local queue: 2068, not applicable.
    MQLONG sels[] = {MQIA_Q_TYPE, MQIA_CURRENT_Q_DEPTH}, vals[2];
    MQINQ(h, np, 2, sels, 2, vals, 0, nullptr, &r.cc, &r.reason);
    EXPECT_RC(r, MQCC_WARNING, MQRC_SELECTOR_NOT_FOR_TYPE);
    EXPECT_EQ(vals[0], MQQT_ALIAS);
    EXPECT_EQ(vals[1], MQIAV_NOT_APPLICABLE);
}

TEST_F(Mqi, InquireQueueAttributes) {
    define(
        "DEFINE QLOCAL(INQ.Q) MAXDEPTH(6000) BOTHRESH(3) BOQNAME(INQ.BACKOUT) USAGE(XMITQ) DESCR('A "
        "queue')\n");
    MQHOBJ o = open(h, "INQ.Q", MQOO_INQUIRE | MQOO_OUTPUT);
    put(h, o, "x");
    MQLONG sels[] = {MQIA_MAX_Q_DEPTH,
                     MQCA_Q_NAME,
                     MQIA_BACKOUT_THRESHOLD,
                     MQCA_BACKOUT_REQ_Q_NAME,
                     MQIA_USAGE,
                     MQIA_CURRENT_Q_DEPTH,
                     MQIA_Q_TYPE,
                     MQCA_Q_DESC,
                     MQIA_DEFINITION_TYPE,
                     MQIA_CAP_EXPIRY,
                     MQIA_OPEN_OUTPUT_COUNT};
    MQLONG ints[8];
    char chars[48 + 48 + 64];
    Rc r;
    MQINQ(h, o, 11, sels, 8, ints, sizeof chars, chars, &r.cc, &r.reason);
    ASSERT_RC(r, MQCC_OK, MQRC_NONE);
    EXPECT_EQ(ints[0], 6000);
    EXPECT_EQ(ints[1], 3);
    EXPECT_EQ(ints[2], MQUS_TRANSMISSION);
    EXPECT_EQ(ints[3], 1);
    EXPECT_EQ(ints[4], MQQT_LOCAL);
    EXPECT_EQ(ints[5], MQQDT_PREDEFINED);
    EXPECT_EQ(ints[6], MQCEX_NOLIMIT);
    EXPECT_EQ(ints[7], 1);
    EXPECT_EQ(text(chars, 48), "INQ.Q");
    EXPECT_EQ(text(chars + 48, 48), "INQ.BACKOUT");
    EXPECT_EQ(text(chars + 96, 64), "A queue");
    // Too few integers and characters: warnings with what fits.
    MQINQ(h, o, 11, sels, 2, ints, sizeof chars, chars, &r.cc, &r.reason);
    EXPECT_RC(r, MQCC_WARNING, MQRC_INT_ATTR_COUNT_TOO_SMALL);
    MQINQ(h, o, 11, sels, 8, ints, 10, chars, &r.cc, &r.reason);
    EXPECT_RC(r, MQCC_WARNING, MQRC_CHAR_ATTRS_TOO_SHORT);
    MQLONG qmgrSel = MQIA_PLATFORM;
    MQINQ(h, o, 1, &qmgrSel, 1, ints, 0, nullptr, &r.cc, &r.reason);
    EXPECT_RC(r, MQCC_FAILED, MQRC_SELECTOR_ERROR);
    MQHOBJ noInq = open(h, "INQ.Q", MQOO_OUTPUT);
    MQINQ(h, noInq, 1, sels, 1, ints, 0, nullptr, &r.cc, &r.reason);
    EXPECT_RC(r, MQCC_FAILED, MQRC_NOT_OPEN_FOR_INQUIRE);
}

TEST_F(Mqi, InquireQueueManagerAsTheSystemDoes) {
    define("ALTER QMGR DEADQ(SYSTEM.DEAD.LETTER.QUEUE)\n");
    MQOD od = MQOD_DEFAULT;
    od.ObjectType = MQOT_Q_MGR;
    MQHOBJ o;
    Rc r;
    MQOPEN(h, &od, MQOO_INQUIRE, &o, &r.cc, &r.reason);
    ASSERT_RC(r, MQCC_OK, MQRC_NONE);
    MQLONG sels[] = {MQCA_Q_MGR_NAME,           MQCA_DEAD_LETTER_Q_NAME, MQIA_COMMAND_LEVEL, MQIA_PLATFORM,
                     MQIA_MAX_UNCOMMITTED_MSGS, MQIA_CODED_CHAR_SET_ID,  MQIA_MAX_MSG_LENGTH};
    MQLONG ints[5];
    char chars[100];
    MQINQ(h, o, 7, sels, 5, ints, 100, chars, &r.cc, &r.reason);
    ASSERT_RC(r, MQCC_OK, MQRC_NONE);
    EXPECT_EQ(text(chars, 48), qm.name());
    EXPECT_EQ(text(chars + 48, 48), "SYSTEM.DEAD.LETTER.QUEUE");
    EXPECT_EQ(ints[0], 940);
    EXPECT_EQ(ints[1], MQPL_UNIX);
    EXPECT_EQ(ints[2], 10000);
    EXPECT_EQ(ints[3], 819);
    EXPECT_EQ(ints[4], 4194304);
    MQLONG queueSel = MQIA_CURRENT_Q_DEPTH;
    MQINQ(h, o, 1, &queueSel, 1, ints, 0, nullptr, &r.cc, &r.reason);
    EXPECT_RC(r, MQCC_FAILED, MQRC_SELECTOR_ERROR);
}

TEST(MqiCommandLevel, OlderQueueManagerRefusesCapExpiryInquiry) {
    QmServer qm("QMOLD", "930");
    ASSERT_TRUE(qm.ok());
    MQHCONN h = connect(qm.name());
    MQOD od = MQOD_DEFAULT;
    od.ObjectType = MQOT_Q_MGR;
    MQHOBJ o;
    Rc r;
    MQOPEN(h, &od, MQOO_INQUIRE, &o, &r.cc, &r.reason);
    EXPECT_EQ(inqInt(h, o, MQIA_COMMAND_LEVEL), 930);
    MQHOBJ q = open(h, "SYSTEM.DEFAULT.LOCAL.QUEUE", MQOO_INQUIRE);
    inqInt(h, q, MQIA_CAP_EXPIRY, &r);
    EXPECT_RC(r, MQCC_FAILED, MQRC_SELECTOR_ERROR);
    MQDISC(&h, &r.cc, &r.reason);
}

TEST_F(Mqi, SetChangesInhibitAndTriggerAttributesOnlyAndNeedsOpenForSet) {
    define("DEFINE QLOCAL(SET.Q)\n");
    MQHOBJ o = open(h, "SET.Q", MQOO_SET | MQOO_INQUIRE);
    MQLONG sels[] = {MQIA_INHIBIT_GET, MQIA_TRIGGER_CONTROL, MQIA_TRIGGER_DEPTH, MQCA_TRIGGER_DATA};
    MQLONG vals[] = {MQQA_GET_INHIBITED, MQTC_ON, 5};
    char data[64];
    setText(data, 64, "trigger data");
    Rc r;
    MQSET(h, o, 4, sels, 3, vals, 64, data, &r.cc, &r.reason);
    ASSERT_RC(r, MQCC_OK, MQRC_NONE);
    EXPECT_EQ(inqInt(h, o, MQIA_INHIBIT_GET), MQQA_GET_INHIBITED);
    EXPECT_EQ(inqInt(h, o, MQIA_TRIGGER_DEPTH), 5);
    MQLONG maxDepth = MQIA_MAX_Q_DEPTH, v = 1;
    MQSET(h, o, 1, &maxDepth, 1, &v, 0, nullptr, &r.cc, &r.reason);
    EXPECT_RC(r, MQCC_FAILED, MQRC_SELECTOR_ERROR);
    MQLONG inhibit = MQIA_INHIBIT_PUT, bad = 7;
    MQSET(h, o, 1, &inhibit, 1, &bad, 0, nullptr, &r.cc, &r.reason);
    EXPECT_RC(r, MQCC_FAILED, MQRC_INHIBIT_VALUE_ERROR);
    MQHOBJ noSet = open(h, "SET.Q", MQOO_INQUIRE);
    MQSET(h, noSet, 1, &inhibit, 1, vals, 0, nullptr, &r.cc, &r.reason);
    EXPECT_RC(r, MQCC_FAILED, MQRC_NOT_OPEN_FOR_SET);
}

TEST_F(Mqi, PassAllContextCopiesTheSavedContextOfTheInputHandle) {
    define("DEFINE QLOCAL(IN.Q)\nDEFINE QLOCAL(FWD.Q)\n");
    MQHOBJ out = open(h, "IN.Q", MQOO_OUTPUT);
    ASSERT_RC(put(h, out, "original"), MQCC_OK, MQRC_NONE);
    MQHOBJ in = open(h, "IN.Q", MQOO_INPUT_SHARED | MQOO_SAVE_ALL_CONTEXT);
    MQMD got = MQMD_DEFAULT;
    ASSERT_RC(get(h, in, nullptr, MQGMO_SYNCPOINT, &got), MQCC_OK, MQRC_NONE);
    MQHOBJ fwd = open(h, "FWD.Q", MQOO_OUTPUT | MQOO_PASS_ALL_CONTEXT);
    MQMD copy = got;
    MQPMO pmo = MQPMO_DEFAULT;
    pmo.Options = MQPMO_SYNCPOINT | MQPMO_PASS_ALL_CONTEXT;
    pmo.Context = in;
    Rc r;
    MQPUT(h, fwd, &copy, &pmo, 3, const_cast<char *>("fwd"), &r.cc, &r.reason);
    ASSERT_RC(r, MQCC_OK, MQRC_NONE);
    MQCMIT(h, &r.cc, &r.reason);
    MQHOBJ check = open(h, "FWD.Q", MQOO_INPUT_SHARED);
    MQMD fwdMd = MQMD_DEFAULT;
    ASSERT_RC(get(h, check, nullptr, MQGMO_NO_SYNCPOINT, &fwdMd), MQCC_OK, MQRC_NONE);
    EXPECT_EQ(text(fwdMd.PutDate, 8), text(got.PutDate, 8));
    EXPECT_EQ(text(fwdMd.PutTime, 8), text(got.PutTime, 8));
    EXPECT_EQ(text(fwdMd.UserIdentifier, 12), text(got.UserIdentifier, 12));
    // Without MQOO_PASS_ALL_CONTEXT the put is refused.
    MQHOBJ plain = open(h, "FWD.Q", MQOO_OUTPUT);
    MQPUT(h, plain, &copy, &pmo, 3, const_cast<char *>("fwd"), &r.cc, &r.reason);
    EXPECT_RC(r, MQCC_FAILED, MQRC_NOT_OPEN_FOR_PASS_ALL);
}

TEST_F(Mqi, Put1OpensPutsAndCloses) {
    MQOD od = MQOD_DEFAULT;
    setText(od.ObjectName, 48, "SYSTEM.DEFAULT.LOCAL.QUEUE");
    MQMD md = MQMD_DEFAULT;
    MQPMO pmo = MQPMO_DEFAULT;
    Rc r;
    MQPUT1(h, &od, &md, &pmo, 4, const_cast<char *>("put1"), &r.cc, &r.reason);
    ASSERT_RC(r, MQCC_OK, MQRC_NONE);
    EXPECT_EQ(text(pmo.ResolvedQName, 48), "SYSTEM.DEFAULT.LOCAL.QUEUE");
    EXPECT_EQ(depth(qm.name(), "SYSTEM.DEFAULT.LOCAL.QUEUE"), 1);
    setText(od.ObjectName, 48, "NOT.THERE");
    MQPUT1(h, &od, &md, &pmo, 4, const_cast<char *>("put1"), &r.cc, &r.reason);
    EXPECT_RC(r, MQCC_FAILED, MQRC_UNKNOWN_OBJECT_NAME);
}

TEST_F(Mqi, TopicOutputWithoutSubscribersIsAccepted) {
    MQOD od = MQOD_DEFAULT;
    od.Version = MQOD_VERSION_4;
    od.ObjectType = MQOT_TOPIC;
    char topic[] = "Holva/ZUNT/Alerts";
    od.ObjectString.VSPtr = topic;
    od.ObjectString.VSLength = static_cast<MQLONG>(std::strlen(topic));
    MQHOBJ o;
    Rc r;
    MQOPEN(h, &od, MQOO_OUTPUT | MQOO_FAIL_IF_QUIESCING, &o, &r.cc, &r.reason);
    ASSERT_RC(r, MQCC_OK, MQRC_NONE);
    EXPECT_RC(put(h, o, "alert"), MQCC_OK, MQRC_NONE);
    EXPECT_RC(put(h, o, "alert", MQPMO_WARN_IF_NO_SUBS_MATCHED), MQCC_WARNING, MQRC_NO_SUBS_MATCHED);
}

TEST_F(Mqi, StatReportsNoAsynchronousErrors) {
    MQSTS sts = MQSTS_DEFAULT;
    Rc r;
    MQSTAT(h, MQSTAT_TYPE_ASYNC_ERROR, &sts, &r.cc, &r.reason);
    EXPECT_RC(r, MQCC_OK, MQRC_NONE);
    EXPECT_EQ(sts.PutFailureCount, 0);
    MQSTAT(h, 99, &sts, &r.cc, &r.reason);
    EXPECT_RC(r, MQCC_FAILED, MQRC_STAT_TYPE_ERROR);
}
