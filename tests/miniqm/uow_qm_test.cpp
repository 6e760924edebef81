// Units of work: uncommitted puts invisible to all, uncommitted gets hidden, commit and backout,
// CURDEPTH with open units of work, MQDISC committing, broken connections and ended processes
// backing out, MAXUMSGS, and failing commits on demand.
#include "miniqm/control.h"
#include "miniqm/qm_fixture.h"
#include "testing/built_paths.h"

using namespace qmt;

namespace {

// A second connection, other, beside h; both have UOW.Q (MAXDEPTH 5) open.
class Uow : public QmTest {
protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(QmTest::SetUp());
        ASSERT_NO_FATAL_FAILURE(define("DEFINE QLOCAL(UOW.Q) MAXDEPTH(5)\n"));
        other = connect(qm.name());
        o = open(h, "UOW.Q", MQOO_OUTPUT | MQOO_INPUT_SHARED | MQOO_BROWSE | MQOO_INQUIRE);
        otherIn = open(other, "UOW.Q", MQOO_INPUT_SHARED | MQOO_BROWSE);
    }
    void TearDown() override {
        Rc r;
        if (other != MQHC_UNUSABLE_HCONN) MQDISC(&other, &r.cc, &r.reason);
        QmTest::TearDown();
    }
    MQLONG curdepth() { return inqInt(h, o, MQIA_CURRENT_Q_DEPTH); }
    MQHCONN other = MQHC_UNUSABLE_HCONN;
    MQHOBJ o = MQHO_UNUSABLE_HOBJ, otherIn = MQHO_UNUSABLE_HOBJ;
};

}  // namespace

TEST_F(Uow, UncommittedPutsAreInvisibleToEveryoneButCountInDepth) {
    ASSERT_RC(put(h, o, "pending", MQPMO_SYNCPOINT), MQCC_OK, MQRC_NONE);
    EXPECT_EQ(curdepth(), 1);
    EXPECT_RC(get(h, o, nullptr, MQGMO_BROWSE_FIRST), MQCC_FAILED, MQRC_NO_MSG_AVAILABLE);
    EXPECT_RC(get(h, o, nullptr, MQGMO_NO_SYNCPOINT), MQCC_FAILED, MQRC_NO_MSG_AVAILABLE);
    EXPECT_RC(get(other, otherIn, nullptr, MQGMO_NO_SYNCPOINT), MQCC_FAILED, MQRC_NO_MSG_AVAILABLE);
    Rc r;
    MQCMIT(h, &r.cc, &r.reason);
    ASSERT_RC(r, MQCC_OK, MQRC_NONE);
    std::string data;
    EXPECT_RC(get(other, otherIn, &data, MQGMO_NO_SYNCPOINT), MQCC_OK, MQRC_NONE);
    EXPECT_EQ(data, "pending");
}

TEST_F(Uow, MaxDepthCountsUncommittedPuts) {
    for (int i = 0; i < 5; ++i) ASSERT_RC(put(h, o, "x", MQPMO_SYNCPOINT), MQCC_OK, MQRC_NONE);
    EXPECT_RC(put(other, open(other, "UOW.Q", MQOO_OUTPUT), "y"), MQCC_FAILED, MQRC_Q_FULL);
    Rc r;
    MQBACK(h, &r.cc, &r.reason);
    EXPECT_EQ(curdepth(), 0);
}

TEST_F(Uow, BackoutRestoresGetsWithBackoutCountRaised) {
    ASSERT_RC(put(h, o, "work"), MQCC_OK, MQRC_NONE);
    MQMD md = MQMD_DEFAULT;
    ASSERT_RC(get(h, o, nullptr, MQGMO_SYNCPOINT, &md), MQCC_OK, MQRC_NONE);
    EXPECT_EQ(md.BackoutCount, 0);
    EXPECT_EQ(curdepth(), 0);  // an uncommitted get no longer counts
    EXPECT_RC(get(other, otherIn, nullptr, MQGMO_BROWSE_FIRST), MQCC_FAILED, MQRC_NO_MSG_AVAILABLE);
    Rc r;
    MQBACK(h, &r.cc, &r.reason);
    ASSERT_RC(r, MQCC_OK, MQRC_NONE);
    EXPECT_EQ(curdepth(), 1);
    md = MQMD_DEFAULT;
    ASSERT_RC(get(h, o, nullptr, MQGMO_SYNCPOINT, &md), MQCC_OK, MQRC_NONE);
    EXPECT_EQ(md.BackoutCount, 1);
    MQBACK(h, &r.cc, &r.reason);
    md = MQMD_DEFAULT;
    ASSERT_RC(get(h, o, nullptr, MQGMO_SYNCPOINT, &md), MQCC_OK, MQRC_NONE);
    EXPECT_EQ(md.BackoutCount, 2);
    MQCMIT(h, &r.cc, &r.reason);
    EXPECT_EQ(curdepth(), 0);
    EXPECT_RC(get(h, o, nullptr, MQGMO_BROWSE_FIRST), MQCC_FAILED, MQRC_NO_MSG_AVAILABLE);
}

TEST_F(Uow, BackoutDropsUncommittedPuts) {
    ASSERT_RC(put(h, o, "a", MQPMO_SYNCPOINT), MQCC_OK, MQRC_NONE);
    ASSERT_RC(put(h, o, "b", MQPMO_NO_SYNCPOINT), MQCC_OK, MQRC_NONE);
    Rc r;
    MQBACK(h, &r.cc, &r.reason);
    EXPECT_EQ(curdepth(), 1);
    std::string data;
    EXPECT_RC(get(h, o, &data), MQCC_OK, MQRC_NONE);
    EXPECT_EQ(data, "b");
}

TEST_F(Uow, DisconnectCommitsTheOpenUnitOfWork) {
    ASSERT_RC(put(h, o, "done", MQPMO_SYNCPOINT), MQCC_OK, MQRC_NONE);
    Rc r;
    MQDISC(&h, &r.cc, &r.reason);
    ASSERT_RC(r, MQCC_OK, MQRC_NONE);
    std::string data;
    EXPECT_RC(get(other, otherIn, &data), MQCC_OK, MQRC_NONE);
    EXPECT_EQ(data, "done");
}

TEST_F(Uow, MaxUncommittedMessagesGives2024) {
    std::string out;
    ASSERT_EQ(qm.mqsc("ALTER QMGR MAXUMSGS(2)\n", &out), 0) << out;
    EXPECT_RC(put(h, o, "1", MQPMO_SYNCPOINT), MQCC_OK, MQRC_NONE);
    EXPECT_RC(put(h, o, "2", MQPMO_SYNCPOINT), MQCC_OK, MQRC_NONE);
    EXPECT_RC(put(h, o, "3", MQPMO_SYNCPOINT), MQCC_FAILED, MQRC_SYNCPOINT_LIMIT_REACHED);
    EXPECT_RC(put(h, o, "4", MQPMO_NO_SYNCPOINT), MQCC_OK, MQRC_NONE);
    EXPECT_RC(get(h, o, nullptr, MQGMO_SYNCPOINT), MQCC_FAILED, MQRC_SYNCPOINT_LIMIT_REACHED);
}

TEST_F(Uow, CommitFailingOnDemandBacksOutWithWarning2003) {
    ASSERT_EQ(qm.tool("fault " + qm.name() + " MQCMIT 2003"), 0);
    ASSERT_RC(put(h, o, "lost", MQPMO_SYNCPOINT), MQCC_OK, MQRC_NONE);
    Rc r;
    MQCMIT(h, &r.cc, &r.reason);
    EXPECT_RC(r, MQCC_WARNING, MQRC_BACKED_OUT);
    EXPECT_EQ(curdepth(), 0);
    // Only the next call failed.
    ASSERT_RC(put(h, o, "kept", MQPMO_SYNCPOINT), MQCC_OK, MQRC_NONE);
    MQCMIT(h, &r.cc, &r.reason);
    EXPECT_RC(r, MQCC_OK, MQRC_NONE);
    EXPECT_EQ(curdepth(), 1);
}

TEST_F(Uow, DisconnectWhoseCommitFailsBacksOutWithWarning2003) {
    ASSERT_EQ(qm.tool("fault " + qm.name() + " MQDISC 2003"), 0);
    ASSERT_RC(put(h, o, "lost", MQPMO_SYNCPOINT), MQCC_OK, MQRC_NONE);
    Rc r;
    MQDISC(&h, &r.cc, &r.reason);
    EXPECT_RC(r, MQCC_WARNING, MQRC_BACKED_OUT);
    EXPECT_EQ(h, MQHC_UNUSABLE_HCONN);
    EXPECT_EQ(depth(qm.name(), "UOW.Q"), 0);
}

TEST_F(Uow, ConnectionBrokenOnDemandBacksOutAndEveryLaterCallGives2009) {
    ASSERT_RC(put(h, o, "x"), MQCC_OK, MQRC_NONE);
    ASSERT_RC(get(h, o, nullptr, MQGMO_SYNCPOINT), MQCC_OK, MQRC_NONE);
    ASSERT_EQ(qm.tool("fault " + qm.name() + " MQPUT 2009"), 0);
    EXPECT_RC(put(h, o, "y", MQPMO_SYNCPOINT), MQCC_FAILED, MQRC_CONNECTION_BROKEN);
    Rc r;
    MQCMIT(h, &r.cc, &r.reason);
    EXPECT_RC(r, MQCC_FAILED, MQRC_CONNECTION_BROKEN);
    // The server backs the unit of work out once it sees the connection go.
    std::string data;
    EXPECT_RC(get(other, otherIn, &data, MQGMO_WAIT | MQGMO_NO_SYNCPOINT, nullptr, 100, nullptr, 10000),
              MQCC_OK, MQRC_NONE);
    EXPECT_EQ(data, "x");
    MQDISC(&h, &r.cc, &r.reason);
    EXPECT_EQ(h, MQHC_UNUSABLE_HCONN);
}

TEST_F(Uow, ProcessEndingWithoutDisconnectHasItsWorkBackedOut) {
    std::string out;
    ASSERT_EQ(shell(std::string(MINIQM_EXIT_APP) + " " + qm.name() + " UOW.Q 3", &out), 0) << out;
    EXPECT_EQ(out, "ready\n");
    // Once the server has seen the process go, nothing it put is left.
    MQLONG d = -1;
    for (int i = 0; i < 5000 && (d = curdepth()) != 0; ++i) usleep(2000);
    EXPECT_EQ(d, 0);
    EXPECT_RC(get(other, otherIn, nullptr, MQGMO_BROWSE_FIRST), MQCC_FAILED, MQRC_NO_MSG_AVAILABLE);
}

// What a test waits for: a queue's messages in open units, got ones included (which the depth leaves
// out), read with the depth at one moment; a process's connections, and their end as a dead
// channel's (the units backed out) when told the process is gone.
TEST_F(Uow, TheControlTellsOpenUnitsAndEndsAProcesssConnections) {
    auto control = [this](const std::string &command) {
        char reply[256] = {};
        return miniqmControl(qm.name().c_str(), command.c_str(), reply, sizeof reply) == 0
                   ? std::string(reply)
                   : std::string();
    };
    const std::string pid = std::to_string(getpid());
    EXPECT_EQ(control("connections " + pid), "connections 2\n");
    ASSERT_RC(put(h, o, "a"), MQCC_OK, MQRC_NONE);
    ASSERT_RC(get(other, otherIn, nullptr, MQGMO_SYNCPOINT), MQCC_OK, MQRC_NONE);
    EXPECT_EQ(control("queue UOW.Q"), "depth 0 uncommitted 1\n");
    ASSERT_RC(put(h, o, "b", MQPMO_SYNCPOINT), MQCC_OK, MQRC_NONE);
    EXPECT_EQ(control("queue UOW.Q"), "depth 1 uncommitted 2\n");
    Rc r;
    MQBACK(h, &r.cc, &r.reason);
    MQCMIT(other, &r.cc, &r.reason);
    ASSERT_RC(r, MQCC_OK, MQRC_NONE);
    EXPECT_EQ(control("queue UOW.Q"), "depth 0 uncommitted 0\n");
    EXPECT_EQ(control("queue NO.SUCH.Q"), "");
    EXPECT_EQ(control("connections " + pid + " now"), "");

    ASSERT_RC(put(h, o, "c"), MQCC_OK, MQRC_NONE);
    ASSERT_RC(get(other, otherIn, nullptr, MQGMO_SYNCPOINT), MQCC_OK, MQRC_NONE);
    EXPECT_EQ(control("connections " + pid + " end"), "connections 2\n");
    for (int i = 0; i < 5000 && control("connections " + pid) != "connections 0\n"; ++i) usleep(2000);
    EXPECT_EQ(control("connections " + pid), "connections 0\n");
    EXPECT_EQ(control("queue UOW.Q"), "depth 1 uncommitted 0\n") << "the get backed out";
    EXPECT_RC(put(h, o, "d"), MQCC_FAILED, MQRC_CONNECTION_BROKEN);
}

TEST_F(Uow, GetWaitingInAnotherProcessIsWokenByTheCommit) {
    // The tool waits in MQGET with a wait interval; this process puts under sync point and
    // commits; only the commit can wake it.
    std::string cmd = std::string(MINIQM_TOOL) + " get " + qm.name() + " UOW.Q --wait 60 2>&1";
    FILE *waiter = popen(cmd.c_str(), "r");
    ASSERT_NE(waiter, nullptr);
    // The waiter has the queue open for input once IPPROCS counts it.
    for (int i = 0; i < 5000 && inqInt(h, o, MQIA_OPEN_INPUT_COUNT) < 3; ++i) usleep(2000);
    ASSERT_RC(put(h, o, "woken by commit", MQPMO_SYNCPOINT), MQCC_OK, MQRC_NONE);
    Rc r;
    MQCMIT(h, &r.cc, &r.reason);
    ASSERT_RC(r, MQCC_OK, MQRC_NONE);
    std::string text;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, waiter)) > 0) text.append(buf, n);
    int status = pclose(waiter);
    EXPECT_EQ(WEXITSTATUS(status), 0) << text;
    EXPECT_NE(text.find("woken by commit"), std::string::npos) << text;
}
