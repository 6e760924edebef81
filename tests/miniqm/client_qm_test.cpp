// The client library (libmqic): connections over TCP from MQSERVER or an MQCD in the MQCNO, the
// same MQI behind them, and the reasons for a wrong queue manager, no listener and a lost server.
#include "miniqm/qm_fixture.h"

using namespace qmt;

namespace {

std::string serverVar(int port) {
    return "SYSTEM.DEF.SVRCONN/TCP/127.0.0.1(" + std::to_string(port) + ")";
}

}  // namespace

TEST(Client, ConnectsFromMqserverAndPutsAndGets) {
    QmServer qm;
    ASSERT_TRUE(qm.ok());
    zt::ScopedEnv server("MQSERVER", serverVar(qm.port()).c_str());
    Rc r;
    MQHCONN h = connect(qm.name(), &r);
    ASSERT_RC(r, MQCC_OK, MQRC_NONE);
    MQHOBJ o = open(h, "SYSTEM.DEFAULT.LOCAL.QUEUE", MQOO_OUTPUT | MQOO_INPUT_SHARED);
    std::string big(70000, 'z');
    ASSERT_RC(put(h, o, big, MQPMO_SYNCPOINT), MQCC_OK, MQRC_NONE);
    MQCMIT(h, &r.cc, &r.reason);
    ASSERT_RC(r, MQCC_OK, MQRC_NONE);
    std::string data;
    ASSERT_RC(get(h, o, &data, MQGMO_NO_SYNCPOINT, nullptr, 100000), MQCC_OK, MQRC_NONE);
    EXPECT_EQ(data, big);
    MQDISC(&h, &r.cc, &r.reason);
    EXPECT_RC(r, MQCC_OK, MQRC_NONE);
}

TEST(Client, ConnectsFromTheChannelDefinitionInTheConnectOptions) {
    QmServer qm;
    ASSERT_TRUE(qm.ok());
    zt::ScopedEnv noServer("MQSERVER", nullptr);
    MQCD cd = MQCD_DEFAULT;
    cd.Version = MQCD_VERSION_6;
    setText(cd.ChannelName, 20, "SYSTEM.DEF.SVRCONN");
    cd.ChannelType = MQCHT_CLNTCONN;
    cd.TransportType = MQXPT_TCP;
    setText(cd.ConnectionName, 264, "localhost(" + std::to_string(qm.port()) + ")");
    MQCNO cno = MQCNO_DEFAULT;
    cno.Version = MQCNO_VERSION_2;
    cno.ClientConnPtr = &cd;
    MQCHAR48 name;
    setText(name, 48, qm.name());
    MQHCONN h;
    Rc r;
    MQCONNX(name, &cno, &h, &r.cc, &r.reason);
    ASSERT_RC(r, MQCC_OK, MQRC_NONE);
    MQDISC(&h, &r.cc, &r.reason);
}

TEST(Client, WrongQueueManagerNameGives2058AndNoChannelGives2058) {
    QmServer qm;
    ASSERT_TRUE(qm.ok());
    Rc r;
    {
        zt::ScopedEnv server("MQSERVER", serverVar(qm.port()).c_str());
        connect("OTHER.QM", &r);
        EXPECT_RC(r, MQCC_FAILED, MQRC_Q_MGR_NAME_ERROR);
    }
    zt::ScopedEnv noServer("MQSERVER", nullptr);
    connect(qm.name(), &r);
    EXPECT_RC(r, MQCC_FAILED, MQRC_Q_MGR_NAME_ERROR);
}

TEST(Client, StoppedServerGivesHostNotAvailableAndALostOneGives2009) {
    QmServer qm;
    ASSERT_TRUE(qm.ok());
    int port = qm.port();
    zt::ScopedEnv server("MQSERVER", serverVar(port).c_str());
    Rc r;
    MQHCONN h = connect(qm.name(), &r);
    ASSERT_EQ(r.cc, MQCC_OK);
    MQHOBJ o = open(h, "SYSTEM.DEFAULT.LOCAL.QUEUE", MQOO_INPUT_SHARED);
    ASSERT_TRUE(qm.stop(true));
    EXPECT_RC(get(h, o, nullptr), MQCC_FAILED, MQRC_CONNECTION_BROKEN);
    EXPECT_RC(get(h, o, nullptr), MQCC_FAILED, MQRC_CONNECTION_BROKEN);
    MQDISC(&h, &r.cc, &r.reason);
    EXPECT_EQ(h, MQHC_UNUSABLE_HCONN);
    connect(qm.name(), &r);
    EXPECT_RC(r, MQCC_FAILED, MQRC_HOST_NOT_AVAILABLE);
}
