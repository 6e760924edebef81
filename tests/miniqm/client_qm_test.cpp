// The client library (libmqic): connections over TCP from MQSERVER or an MQCD in the MQCNO, the
// same MQI behind them, and the reasons for a wrong queue manager, no listener and a lost server.
#include "miniqm/pcf_read.h"
#include "testing/built_paths.h"

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

// A process that dies while its get waits (without limit here) is disconnected at once, not when
// the wait would have ended: the queue manager sees its socket close.
TEST(Client, AProcessGoneDuringAWaitingGetIsDisconnectedAtOnce) {
    QmServer qm;
    ASSERT_TRUE(qm.ok());
    auto connections = [&] {
        std::string reply;
        if (admin(qm.name(), "status", &reply) != 0) return -1;
        size_t at = reply.find("connections ");
        return at == std::string::npos ? -1 : std::atoi(reply.c_str() + at + std::strlen("connections "));
    };
    // The command server connects on a thread of its own once the queue manager has started, late
    // under load: stopped (its connection gone when the stop returns), it leaves the count to the tool.
    std::string stopped;
    ASSERT_EQ(admin(qm.name(), "cmdserver stop", &stopped), 0) << stopped;
    const int before = connections();
    ASSERT_GE(before, 0);
    std::string pid;
    ASSERT_EQ(shell(std::string(MINIQM_TOOL) + " get " + qm.name() +
                        " SYSTEM.DEFAULT.LOCAL.QUEUE --wait 2000000 >/dev/null 2>&1 </dev/null & echo $!",
                    &pid),
              0);
    int now = before;
    for (int waited = 0; waited < 5000 && now != before + 1; waited += 10) {
        usleep(10000);
        now = connections();
    }
    ASSERT_EQ(now, before + 1) << "the waiting get did not connect";
    usleep(200000);  // its get is waiting by now
    ASSERT_EQ(shell("kill -9 " + pid), 0);
    for (int waited = 0; waited < 2000 && now != before; waited += 10) {
        usleep(10000);
        now = connections();
    }
    EXPECT_EQ(now, before);
}

// A client is named in the events and accounting it causes: its address and channel.
TEST(Client, EventsAndAccountingNameTheConnectionAndChannel) {
    QmServer qm;
    ASSERT_TRUE(qm.ok());
    ASSERT_EQ(qm.mqsc("ALTER QMGR LOCALEV(ENABLED) ACCTMQI(ON)"), 0);
    zt::ScopedEnv server("MQSERVER",
                         ("APP.SVRCONN/TCP/127.0.0.1(" + std::to_string(qm.port()) + ")").c_str());
    Rc r;
    MQHCONN h = connect(qm.name(), &r);
    ASSERT_RC(r, MQCC_OK, MQRC_NONE);
    open(h, "NO.SUCH.Q", MQOO_OUTPUT, &r);
    EXPECT_RC(r, MQCC_FAILED, MQRC_UNKNOWN_OBJECT_NAME);
    MQHCONN reader = connect(qm.name());
    MQDISC(&h, &r.cc, &r.reason);
    std::vector<Pcf> events = drainPcf(reader, "SYSTEM.ADMIN.QMGR.EVENT");
    ASSERT_FALSE(events.empty());
    const Pcf &e = events.back();
    EXPECT_EQ(e.reason, MQRC_UNKNOWN_OBJECT_NAME);
    EXPECT_EQ(e.ids(), (std::vector<int32_t>{2015, 1, 3024, 2016, 3506, 3501}));
    EXPECT_EQ(e.text(MQCACH_CONNECTION_NAME), "127.0.0.1");
    EXPECT_EQ(e.text(MQCACH_CHANNEL_NAME), "APP.SVRCONN");
    std::vector<Pcf> accounting = drainPcf(reader, "SYSTEM.ADMIN.ACCOUNTING.QUEUE");
    ASSERT_EQ(accounting.size(), 1u);
    EXPECT_EQ(accounting[0].text(MQCACH_CHANNEL_NAME), "APP.SVRCONN");
    EXPECT_EQ(accounting[0].text(MQCACH_REMOTE_PRODUCT), "MQCC");
    MQDISC(&reader, &r.cc, &r.reason);
}
