// A separate state queue manager (-s) on the stand-in: the data queue named after the event queue
// manager on it, the notify connection, the order of the disconnect, and the MQI trace of letter a,
// which follows the queue manager's ending until the next connect.
#include <unistd.h>

#include <map>
#include <utility>
#include <vector>

#include "engine_qm.h"

namespace {

class StateQmTest : public eqm::EngineQmTest {
protected:
    void SetUp() override {
        eqm::EngineQmTest::SetUp();
        // QS lives beside QM1, under the same root.
        ASSERT_EQ(qm.tool("create QS"), 0);
        ASSERT_EQ(qm.tool("start QS --no-fsync"), 0);
        scripts.write("qs.in", "DEFINE QLOCAL(QM1) MAXDEPTH(5000) MAXMSGL(4194304)\n");
        ASSERT_EQ(qm.tool("mqsc QS < " + qmt::shellPath(scripts.file("qs.in"))), 0);
        evStart.separateState = 1;
        snprintf(evStart.state.name, sizeof evStart.state.name, "QS");
    }
    void TearDown() override {
        eqm::EngineQmTest::TearDown();
        qm.tool("stop QS --now");
    }
    zt::TempDir scripts;
};

TEST_F(StateQmTest, DataQueueNotifyDisconnectOrderAndTheEndingTrace) {
    evDebugFlags.store(EV_DBG_a);
    ASSERT_EQ(connect(), 1) << logText();
    EXPECT_STREQ(evContext.dataQueueName, "QM1");
    EXPECT_NE(evConnHandles[EV_CONN_C_STATEN].load(), -1);
    std::string log = logText();
    EXPECT_NE(log.find("Connecting to State  Qmgr 'QS'"), std::string::npos);
    EXPECT_NE(log.find("Connecting to Notify Qmgr 'QS'"), std::string::npos);
    MQHCONN qs = connectTo("QS");
    EXPECT_EQ(depth("QM1", qs), 1) << "the configuration message, on QS";
    MQLONG cc = 0, rc = 0;
    raw.MQDISC(&qs, &cc, &rc);
    // Letter a alone: control calls are traced, the load's browses not (nothing is ending).
    EXPECT_NE(log.find("MQCONNX"), std::string::npos);
    EXPECT_EQ(log.find("MQGET(Data)"), std::string::npos);

    // Each set backs out both sides before it disconnects any; set C first.
    const std::pair<const char *, EvConnSlot> slots[] = {{"C state", EV_CONN_C_STATE},
                                                         {"C event", EV_CONN_C_EVENT},
                                                         {"C notify", EV_CONN_C_STATEN},
                                                         {"E state", EV_CONN_E_STATE},
                                                         {"E event", EV_CONN_E_EVENT}};
    std::map<MQHCONN, std::string> names;
    for (const auto &[name, slot] : slots) names[evConnHandles[slot].load()] = name;
    const size_t from = wrap->calls().size();
    evDisconnectSets();
    std::vector<std::string> order;
    const std::vector<zt::MqCall> calls = wrap->calls();
    for (size_t i = from; i < calls.size(); i++) {
        const zt::MqCall &call = calls[i];
        if (call.verb != zt::MqVerb::MQBACK && call.verb != zt::MqVerb::MQDISC) continue;
        order.push_back(std::string(call.verb == zt::MqVerb::MQBACK ? "MQBACK " : "MQDISC ") +
                        names[call.hconn]);
    }
    EXPECT_EQ(order, (std::vector<std::string>{"MQBACK C state", "MQBACK C event", "MQDISC C state",
                                               "MQDISC C notify", "MQDISC C event", "MQBACK E state",
                                               "MQBACK E event", "MQDISC E state", "MQDISC E event"}));
    evFreeAll(1);

    // The event queue manager ends: its calls are traced while it is ending, until the next connect.
    ASSERT_EQ(connect(), 1) << logText();
    EXPECT_FALSE(evTraceWanted(0));
    ASSERT_TRUE(qm.stop());
    ASSERT_TRUE(et::waitFor([] {
        for (auto &handle : evConnHandles)
            if (handle.load() != -1) return false;
        return evRunState.disconnecting.load() == 0;
    }));
    EXPECT_EQ(evRunState.qmgrEnding.load(), 1);
    EXPECT_TRUE(evTraceWanted(0));
    ASSERT_TRUE(qm.start());
    disconnect();
    ASSERT_EQ(connect(), 1) << logText();
    EXPECT_EQ(evRunState.qmgrEnding.load(), 0);
    EXPECT_FALSE(evTraceWanted(0));
}

}  // namespace
