// The connect and disconnect sequences against a private stand-in queue manager: a fresh queue
// manager initialised, the data-queue faults that end the program, and the trace's handle names.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

#include "engine/engine.h"
#include "engine_testing.h"
#include "miniqm/qm_fixture.h"
#include "testing/built_paths.h"
#include "testing/mqi_wrap.h"

namespace {

class ConnQmTest : public et::EngineTest {
protected:
    void SetUp() override {
        et::EngineTest::SetUp();
        ASSERT_TRUE(qm.ok());
        ASSERT_EQ(MQLoadLibrary(MINIQM_MQM_LIBRARY, &evMQServerTable), 0);
        cfgInstall();
        evSettingsDefaults(evClockNow());
        snprintf(evStart.event.name, sizeof evStart.event.name, "QM1");
        snprintf(evStart.state.name, sizeof evStart.state.name, "QM1");
        ASSERT_EQ(qm.mqsc("DEFINE QLOCAL(HOLVA.ZUNT.COMMAND.QUEUE)\n"), 0);
    }
    void TearDown() override {
        evDisconnectSets();
        evFreeAll(1);
        et::EngineTest::TearDown();
    }
    int connect() { return evConnectSets() && evInitialiseConnection(); }
    // Through a connection of the test's own (a started connection takes no other call).
    static MQLONG dataQueueDepth() {
        const MQIFunctionTable &mq = evMQServerTable;
        MQCHAR48 name = "QM1";
        MQHCONN hconn = -1;
        MQLONG cc = 0;
        MQLONG rc = 0;
        mq.MQCONN(name, &hconn, &cc, &rc);
        MQOD od = MQOD_DEFAULT;
        snprintf(od.ObjectName, sizeof od.ObjectName, "HOLVA.ZUNT.DATA.QUEUE");
        MQHOBJ hobj = -1;
        mq.MQOPEN(hconn, &od, MQOO_INQUIRE, &hobj, &cc, &rc);
        MQLONG selector = MQIA_CURRENT_Q_DEPTH;
        MQLONG depth = -1;
        mq.MQINQ(hconn, hobj, 1, &selector, 1, &depth, 0, nullptr, &cc, &rc);
        mq.MQCLOSE(hconn, &hobj, MQCO_NONE, &cc, &rc);
        mq.MQDISC(&hconn, &cc, &rc);
        return depth;
    }
    qmt::QmServer qm{"QM1"};
};

TEST_F(ConnQmTest, FreshQueueManagerIsInitialisedWithSuspendedDefaultQueues) {
    ASSERT_EQ(qm.mqsc("DEFINE QLOCAL(HOLVA.ZUNT.DATA.QUEUE) MAXDEPTH(5000) MAXMSGL(4194304)\n"), 0);
    evDebugFlags.store(EV_DBG_A);
    ASSERT_EQ(connect(), 1) << logText();
    EXPECT_EQ(evRunState.ready.load(), 1);
    EXPECT_EQ(evEndFlag.load(), 0);
    int suspended = 0;
    for (CSTree *node = CSTreeFirst(evEventQueueTree); node != nullptr; node = node->next) {
        auto *queue = reinterpret_cast<EventQueueDef *>(node);
        if (!queue->ownCommandQueue && queue->suspended) suspended++;
    }
    EXPECT_EQ(suspended, 9);
    // The configuration made from defaults was saved in set C's unit and committed.
    EXPECT_NE(evSet(EV_SET_C)->io.hobj, -1);
    EXPECT_NE(evSet(EV_SET_E)->io.hobj, -1);

    evDisconnectSets();
    for (auto &handle : evConnHandles) EXPECT_EQ(handle.load(), -1);
    EXPECT_EQ(dataQueueDepth(), 1);
    const std::string log = logText();
    EXPECT_EQ(et::countOf(log, "ZUNT Initialised"), 1);
    EXPECT_NE(log.find("HO(C_STATE )"), std::string::npos);
    EXPECT_NE(log.find("HO(E_STATE )"), std::string::npos);
    EXPECT_NE(log.find("HO(C_CMD   )"), std::string::npos);
    EXPECT_NE(log.find("Disconnecting from Event  Qmgr 'QM1'"), std::string::npos);
    EXPECT_EQ(evTraceObjectHandles[EV_TRACE_HO_C_CMD].load(), 0);
}

TEST_F(ConnQmTest, AnEndingQueueManagerIsHeardAndDisconnected) {
    ASSERT_EQ(qm.mqsc("DEFINE QLOCAL(HOLVA.ZUNT.DATA.QUEUE) MAXDEPTH(5000) MAXMSGL(4194304)\n"), 0);
    ASSERT_EQ(connect(), 1) << logText();
    ASSERT_TRUE(qm.stop());
    EXPECT_TRUE(et::waitFor([] {
        for (auto &handle : evConnHandles)
            if (handle.load() != -1) return false;
        return evRunState.disconnecting.load() == 0;
    }));
    EXPECT_EQ(evRunState.qmgrEnding.load(), 1);
    EXPECT_EQ(evRunState.connected.load(), 0);
    EXPECT_EQ(evEndFlag.load(), 0);  // retried by the scheme
    const std::string log = logText();
    EXPECT_NE(log.find("Queue Manager 'QM1' ending RC("), std::string::npos) << log;
    EXPECT_NE(log.find("Disconnect complete"), std::string::npos);
}

// The event handler's disconnect may still run when a connect that failed meanwhile disconnects
// too (a state queue manager that ended while the connect loaded from it): the second sequence
// waits for the first, and no connection is ended twice.
TEST_F(ConnQmTest, ADisconnectSequenceWaitsForTheOneUnderWay) {
    ASSERT_EQ(qm.mqsc("DEFINE QLOCAL(HOLVA.ZUNT.DATA.QUEUE) MAXDEPTH(5000) MAXMSGL(4194304)\n"), 0);
    ASSERT_EQ(connect(), 1) << logText();
    zt::MqiWrapper wrap(evMQServerTable);
    evContext.event.mq = evContext.state.mq = wrap.table();
    std::mutex gate;
    std::condition_variable changed;
    std::thread::id first;
    bool overlapped = false;
    // The first MQDISC waits a while for one of another sequence; that one waits for the first
    // sequence to end, so that the two never end one connection at the same moment.
    wrap.before([&](const zt::MqCall &call) {
        if (call.verb != zt::MqVerb::MQDISC) return;
        std::unique_lock<std::mutex> lock(gate);
        if (first == std::thread::id{}) {
            first = std::this_thread::get_id();
            changed.notify_all();
            changed.wait_for(lock, std::chrono::milliseconds(500), [&] { return overlapped; });
            return;
        }
        if (first == std::this_thread::get_id()) return;
        overlapped = true;
        changed.notify_all();
        lock.unlock();
        et::waitFor([] { return evRunState.disconnecting.load() == 0; });
    });
    evStopAndDisconnect(-1);  // as the event handler does: posted
    {
        std::unique_lock<std::mutex> lock(gate);
        ASSERT_TRUE(
            changed.wait_for(lock, std::chrono::seconds(10), [&] { return first != std::thread::id{}; }));
    }
    evDisconnectThread(nullptr);  // as the failed connect does: on its own worker
    EXPECT_TRUE(et::waitFor([] { return evRunState.disconnecting.load() == 0; }));
    wrap.before(nullptr);
    evContext.event.mq = evContext.state.mq = &evMQServerTable;
    EXPECT_FALSE(overlapped);
    for (auto &handle : evConnHandles) EXPECT_EQ(handle.load(), -1);
    const std::string log = logText();
    EXPECT_EQ(et::countOf(log, "Disconnect sequence"), 1) << log;
    EXPECT_EQ(log.find("RC(2018)"), std::string::npos) << log;
}

// A state queue manager that ends while the connect opens the data queue fails the connect only:
// the retry scheme connects again, as for an end heard at any other moment.
TEST_F(ConnQmTest, AnEndDuringTheDataQueueOpenIsRetried) {
    ASSERT_EQ(qm.mqsc("DEFINE QLOCAL(HOLVA.ZUNT.DATA.QUEUE) MAXDEPTH(5000) MAXMSGL(4194304)\n"), 0);
    const struct {
        MQLONG reason;
        int ends;
    } rows[] = {{MQRC_CONNECTION_BROKEN, 0},
                {MQRC_Q_MGR_STOPPING, 0},
                {MQRC_OBJECT_IN_USE, 0},
                {MQRC_NOT_AUTHORIZED, 1}};
    for (const auto &row : rows) {
        SCOPED_TRACE(row.reason);
        evEndFlag.store(0);
        ASSERT_EQ(evConnectSets(), 1) << logText();
        zt::MqiWrapper wrap(evMQServerTable);
        evContext.state.mq = wrap.table();  // the data queue is the first open on the state side
        wrap.failAt(zt::MqVerb::MQOPEN, 1, row.reason);
        EXPECT_EQ(evInitialiseConnection(), 0);
        EXPECT_EQ(wrap.calls(zt::MqVerb::MQOPEN).at(0).injected, true);
        EXPECT_EQ(evEndFlag.load(), row.ends);
        EXPECT_NE(logText().find("Failed to open data queue 'QM1/HOLVA.ZUNT.DATA.QUEUE' RC(" +
                                 std::to_string(row.reason) + ")"),
                  std::string::npos);
        evContext.state.mq = &evMQServerTable;
        evDisconnectSets();
        evFreeAll(1);
    }
}

TEST_F(ConnQmTest, UnfitDataQueuesEndTheProgram) {
    struct Row {
        const char *mqsc;  // applied before the connect
        int32_t maxLevel;
        const char *text;
    };
    const Row rows[] = {
        {"", 0, "Failed to open data queue 'QM1/HOLVA.ZUNT.DATA.QUEUE' RC(2085)"},
        {"DEFINE QLOCAL(HOLVA.ZUNT.DATA.QUEUE) MAXDEPTH(4999) MAXMSGL(4194304)\n", 0,
         "Maximum Depth of data queue ''QM1/HOLVA.ZUNT.DATA.QUEUE' is below minimum threshold of 5000."},
        {"ALTER QLOCAL(HOLVA.ZUNT.DATA.QUEUE) MAXDEPTH(5000) USAGE(XMITQ)\n", 0,
         "Data queue QM1/HOLVA.ZUNT.DATA.QUEUE should not be a transmission queue."},
        {"ALTER QLOCAL(HOLVA.ZUNT.DATA.QUEUE) USAGE(NORMAL)\n", 1,
         "greater than maximum supported command level '1'."},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.text);
        if (row.mqsc[0] != '\0') {
            ASSERT_EQ(qm.mqsc(row.mqsc), 0);
        }
        evEndFlag.store(0);
        evStart.maxCommandLevel = row.maxLevel;
        EXPECT_EQ(connect(), 0);
        EXPECT_EQ(evEndFlag.load(), 1);
        EXPECT_NE(logText().find(row.text), std::string::npos);
        evDisconnectSets();
        evFreeAll(1);
    }
}

}  // namespace
