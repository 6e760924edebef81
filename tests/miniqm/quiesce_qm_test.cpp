// Ending a queue manager: a quiesce lets connected applications finish, failing new connections
// and calls with a FAIL_IF_QUIESCING option (2161), and ends the server once the last one has
// disconnected; an immediate stop breaks connections at once.
#include "miniqm/qm_fixture.h"
#include "testing/built_paths.h"

using namespace qmt;

class Quiesce : public QmTest {};

TEST_F(Quiesce, FailIfQuiescingCallsFailAndTheServerEndsAfterTheLastDisconnect) {
    MQHOBJ o = open(h, "SYSTEM.DEFAULT.LOCAL.QUEUE", MQOO_OUTPUT | MQOO_INPUT_SHARED);
    int pid = qm.pid();
    FILE *stopper = popen((std::string(MINIQM_TOOL) + " stop " + qm.name() + " 2>&1").c_str(), "r");
    ASSERT_NE(stopper, nullptr);
    // Once quiescing, a new connection is refused with 2161.
    Rc r;
    for (int i = 0; i < 5000; ++i) {
        MQHCONN probe = connect(qm.name(), &r);
        if (r.cc == MQCC_FAILED) break;
        Rc d;
        MQDISC(&probe, &d.cc, &d.reason);
        usleep(1000);
    }
    EXPECT_RC(r, MQCC_FAILED, MQRC_Q_MGR_QUIESCING);
    // Calls without FAIL_IF_QUIESCING go on working; those with it fail.
    EXPECT_RC(put(h, o, "still"), MQCC_OK, MQRC_NONE);
    EXPECT_RC(put(h, o, "no", MQPMO_FAIL_IF_QUIESCING), MQCC_FAILED, MQRC_Q_MGR_QUIESCING);
    open(h, "SYSTEM.DEFAULT.LOCAL.QUEUE", MQOO_INPUT_SHARED | MQOO_FAIL_IF_QUIESCING, &r);
    EXPECT_RC(r, MQCC_FAILED, MQRC_Q_MGR_QUIESCING);
    EXPECT_RC(get(h, o, nullptr, MQGMO_WAIT | MQGMO_FAIL_IF_QUIESCING, nullptr, 100, nullptr, MQWI_UNLIMITED),
              MQCC_FAILED, MQRC_Q_MGR_QUIESCING);
    EXPECT_TRUE(kill(pid, 0) == 0);
    MQDISC(&h, &r.cc, &r.reason);
    EXPECT_RC(r, MQCC_OK, MQRC_NONE);
    std::string text;
    char buf[1024];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, stopper)) > 0) text.append(buf, n);
    EXPECT_EQ(WEXITSTATUS(pclose(stopper)), 0) << text;
    EXPECT_NE(text.find("ended"), std::string::npos) << text;
    EXPECT_FALSE(qm.running());
}

TEST_F(Quiesce, ImmediateStopEndsAWaitingGetAndBreaksTheConnection) {
    MQHOBJ o = open(h, "SYSTEM.DEFAULT.LOCAL.QUEUE", MQOO_INPUT_SHARED);
    // Whether the stop lands before or during the wait, the get ends with 2162 or 2009.
    FILE *stopper = popen((std::string(MINIQM_TOOL) + " stop " + qm.name() + " --now 2>&1").c_str(), "r");
    ASSERT_NE(stopper, nullptr);
    Rc r = get(h, o, nullptr, MQGMO_WAIT, nullptr, 100, nullptr, 60000);
    EXPECT_EQ(r.cc, MQCC_FAILED);
    EXPECT_TRUE(r.reason == MQRC_Q_MGR_STOPPING || r.reason == MQRC_CONNECTION_BROKEN) << r.reason;
    pclose(stopper);
    EXPECT_RC(get(h, o, nullptr), MQCC_FAILED, MQRC_CONNECTION_BROKEN);
    MQDISC(&h, &r.cc, &r.reason);
    EXPECT_FALSE(qm.running());
}
