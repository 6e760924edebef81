// Connection sets over a recording fake MQI table: the MQCNO and its fall-backs, the data-queue
// checks, the batch size and the consumer holds (threaded: two threads hold one set).
#include <gtest/gtest.h>

#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engine/engine.h"
#include "engine_testing.h"
#include "testing/console_capture.h"

namespace {

struct Connx {
    MQLONG version;
    MQLONG options;
    std::string applName;  // the 28 bytes
    bool csp;
};

std::mutex fakeMutex;
std::vector<Connx> connects;
std::vector<MQLONG> connectReasons;  // reasons of the next MQCONNX calls (0 connects)
std::vector<std::string> ctlCalls;
std::condition_variable suspendGate;
bool suspendBlocked = false;  // MQCTL SUSPEND waits until cleared
bool suspendInside = false;

void fakeConnx(PMQCHAR, PMQVOID options, PMQHCONN hconn, PMQLONG cc, PMQLONG rc) {
    auto *cno = static_cast<MQCNO *>(options);
    std::lock_guard<std::mutex> lock(fakeMutex);
    connects.push_back(
        {cno->Version, cno->Options, std::string(cno->ApplName, 28), cno->SecurityParmsPtr != nullptr});
    MQLONG reason = 0;
    if (!connectReasons.empty()) {
        reason = connectReasons.front();
        connectReasons.erase(connectReasons.begin());
    }
    *rc = reason;
    *cc = reason == 0 ? MQCC_OK : MQCC_FAILED;
    *hconn = reason == 0 ? 100 + static_cast<MQHCONN>(connects.size()) : -1;
}

MQLONG stopReason = 0;  // of MQCTL STOP (cleared by SetUp)

// Runs inside MQCTL SUSPEND, as the suspended set's running callback would (cleared by SetUp).
void (*duringSuspend)() = nullptr;

void fakeCtl(MQHCONN, MQLONG operation, PMQVOID, PMQLONG cc, PMQLONG rc) {
    if (operation == MQOP_SUSPEND && duringSuspend != nullptr) duringSuspend();
    std::unique_lock<std::mutex> lock(fakeMutex);
    if (operation == MQOP_SUSPEND) {
        ctlCalls.push_back("SUSPEND");
        suspendInside = true;
        suspendGate.notify_all();
        suspendGate.wait(lock, [] { return !suspendBlocked; });
        suspendInside = false;
    } else {
        ctlCalls.push_back(operation == MQOP_RESUME ? "RESUME" : operation == MQOP_START ? "START" : "STOP");
    }
    const MQLONG reason = operation == MQOP_STOP ? stopReason : 0;
    *cc = reason == 0 ? MQCC_OK : MQCC_FAILED;
    *rc = reason;
}

MQIFunctionTable fakeTable() {
    MQIFunctionTable table{};
    table.MQCONNX = fakeConnx;
    table.MQCTL = fakeCtl;
    return table;
}

class ConnTest : public ::testing::Test {
protected:
    void SetUp() override {
        et::resetEngineState();
        std::lock_guard<std::mutex> lock(fakeMutex);
        connects.clear();
        connectReasons.clear();
        ctlCalls.clear();
        suspendBlocked = false;
        duringSuspend = nullptr;
        stopReason = 0;
        evConnectSuppress.store(0);
        table = fakeTable();
        evContext.event.mq = &table;
        evContext.state.mq = &table;
        snprintf(evContext.event.name, sizeof evContext.event.name, "QM1");
        evContext.event.userId = nullptr;
        evContext.rollbacks.store(0);
        evDataQueue.loaded.store(0);
    }
    void TearDown() override {
        for (auto &handle : evConnHandles) handle.store(-1);
        et::resetEngineState();
    }
    MQIFunctionTable table{};
    zt::ConsoleCapture console;
    char message[EV_CONN_MESSAGE_MAX] = "";
};

TEST_F(ConnTest, ConnectOptionsAndFallBacks) {
    // Each row: suppression bits, user id, the reasons MQCONNX gives in turn, then the expected
    // (version, options) of each call.
    struct Row {
        uint32_t suppress;
        const char *user;
        std::vector<MQLONG> reasons;
        std::vector<std::pair<MQLONG, MQLONG>> calls;
    };
    const Row rows[] = {
        {0, nullptr, {}, {{7, 0x1000A040}}},
        {EV_SUPPRESS_ACCOUNTING, nullptr, {}, {{7, 0x10000040}}},
        {EV_SUPPRESS_ACTIVITY_TRACE, nullptr, {}, {{7, 0xA040}}},
        {0, nullptr, {2046, 2046}, {{7, 0x1000A040}, {7, 0xA040}, {7, 0x8040}}},
        // Last: the version that works is kept for the rest of the process.
        {0, "alice", {2139}, {{7, 0x1000A040}, {5, 0x1000A040}}},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(testing::Message() << "row with " << row.reasons.size() << " refusals");
        {
            std::lock_guard<std::mutex> lock(fakeMutex);
            connects.clear();
            connectReasons = row.reasons;
        }
        evConnectSuppress.store(row.suppress);
        evContext.event.userId = row.user;
        // A fresh process: the version that worked before is not known (evConnectQmgr keeps it).
        ASSERT_EQ(evConnectQmgr(&evContext, evSet(EV_SET_C), EV_KIND_EVENT, &evContext.event, message), 1);
        std::lock_guard<std::mutex> lock(fakeMutex);
        ASSERT_EQ(connects.size(), row.calls.size());
        for (size_t i = 0; i < row.calls.size(); i++) {
            EXPECT_EQ(connects[i].version, row.calls[i].first) << i;
            EXPECT_EQ(connects[i].options, row.calls[i].second) << i;
            EXPECT_EQ(connects[i].csp, row.user != nullptr);
        }
        EXPECT_EQ(connects[0].applName, std::string("Holva Software ZUNT") + '\0' + std::string(8, ' '));
        evConnHandles[EV_CONN_C_EVENT].store(-1);
    }
    EXPECT_NE(console.out().find("Connecting to Event  Qmgr 'QM1'"), std::string::npos);
}

TEST_F(ConnTest, LaterConnectsStartAtTheWorkingVersionAndActivityTraceStaysOff) {
    {
        std::lock_guard<std::mutex> lock(fakeMutex);
        connectReasons = {2046, 2139};
    }
    ASSERT_EQ(evConnectQmgr(&evContext, evSet(EV_SET_C), EV_KIND_EVENT, &evContext.event, message), 1);
    ASSERT_EQ(evConnectQmgr(&evContext, evSet(EV_SET_E), EV_KIND_EVENT, &evContext.event, message), 1);
    std::lock_guard<std::mutex> lock(fakeMutex);
    ASSERT_EQ(connects.size(), 4u);
    EXPECT_EQ(connects[2].version, 1);
    EXPECT_EQ(connects[3].version, 1);
    EXPECT_EQ(connects[3].options, 0xA040);
}

TEST_F(ConnTest, ARefusedConnectReportsAndRecordsTheReason) {
    {
        std::lock_guard<std::mutex> lock(fakeMutex);
        connectReasons = {2059};
    }
    EXPECT_EQ(evConnectQmgr(&evContext, evSet(EV_SET_C), EV_KIND_EVENT, &evContext.event, message), 0);
    EXPECT_EQ(evLastReason.load(), 2059);
    EXPECT_EQ(evEndFlag.load(), 0);
    EXPECT_NE(std::string(message).find("Connect 'QM1' RC(2059)"), std::string::npos);
    EXPECT_EQ(evConnHandles[EV_CONN_C_EVENT].load(), -1);
}

void setDataQueue(int32_t maxDepth, int32_t maxMsgLength, int32_t capExpiry, int32_t maxUmsgs, int32_t depth,
                  int32_t inhibitGet, int32_t inhibitPut) {
    evDataQueue.maxDepth.store(maxDepth);
    evDataQueue.maxMsgLength.store(maxMsgLength);
    evDataQueue.capExpiry.store(capExpiry);
    evContext.event.maxUncommitted.store(maxUmsgs);
    evContext.state.maxUncommitted.store(maxUmsgs);
    evDataQueue.curDepth.store(depth);
    evDataQueue.inhibitGet.store(inhibitGet);
    evDataQueue.inhibitPut.store(inhibitPut);
}

TEST_F(ConnTest, DataQueueThresholdsInOrder) {
    snprintf(evContext.state.name, sizeof evContext.state.name, "QS");
    snprintf(evContext.dataQueueName, sizeof evContext.dataQueueName, "DQ");
    struct Row {
        int32_t maxDepth, maxMsgLength, capExpiry, maxUmsgs;
        int fit;
        const char *text;
    };
    const Row rows[] = {
        {4999, 100, 5, 10, 0, "Maximum Depth of data queue ''QS/DQ' is below minimum threshold of 5000."},
        {5000, 4194303, 5, 10, 0,
         "Maximum message length of data queue 'QS/DQ' is below minimum threshold of 4194304."},
        {5000, 4194304, 1, 10, 0, "CAPEXPIRY should not be set on data queue 'QS/DQ'."},
        {5000, 4194304, -1, 999, 0,
         "Maximum uncommited messages value of Queue Manager 'QM1' is below minimum threshold of 1000."},
        {5000, 4194304, 0, 1000, 1, ""},
    };
    for (const Row &row : rows) {
        message[0] = '\0';
        setDataQueue(row.maxDepth, row.maxMsgLength, row.capExpiry, row.maxUmsgs, 0, 0, 0);
        EXPECT_EQ(evCheckDataQueue(&evContext, message), row.fit) << row.text;
        EXPECT_STREQ(message, row.text);
    }
}

TEST_F(ConnTest, ConditionWordAndItsReportOncePerChange) {
    evDataQueue.loaded.store(1);
    struct Row {
        int32_t depth, inhibitGet, inhibitPut;
        uint32_t condition;
        bool reported;
    };
    const Row rows[] = {
        {4749, 0, 0, 0, false},
        {4750, 0, 0, EV_DQ_DEPTH_HIGH, true},
        {4800, 0, 0, EV_DQ_DEPTH_HIGH, false},
        {4800, 0, 1, EV_DQ_DEPTH_HIGH | EV_DQ_PUT_INHIBITED, true},
        {0, 1, 0, EV_DQ_GET_INHIBITED, true},
        {0, 0, 0, 0, false},
    };
    for (const Row &row : rows) {
        console.clear();
        setDataQueue(5000, 4194304, -1, 10000, row.depth, row.inhibitGet, row.inhibitPut);
        EXPECT_EQ(evCheckDataQueue(&evContext, message), 1);
        EXPECT_EQ(evDataQueueCondition.load(), row.condition) << row.depth;
        EXPECT_EQ(console.out().find("Data Queue compromised:") != std::string::npos, row.reported)
            << row.depth;
    }
}

TEST_F(ConnTest, TransactionBatch) {
    struct Row {
        int32_t event, state, rollbacks, batch;
    };
    const Row rows[] = {{10000, 0, 0, 3333},
                        {10000, 0, 2, 833},
                        {1000, 20000, 0, 333},
                        {50000, 50000, 0, 3333},
                        {3, 3, 5, 1}};
    for (const Row &row : rows) {
        evContext.event.maxUncommitted.store(row.event);
        evContext.state.maxUncommitted.store(row.state);
        evContext.rollbacks.store(row.rollbacks);
        evSetTxnBatch(&evContext);
        EXPECT_EQ(evContext.txnBatch.load(), row.batch);
        EXPECT_EQ(evSet(EV_SET_E)->io.batchSize, static_cast<uint32_t>(row.batch));
    }
}

// ---- Holds -----------------------------------------------------------------------------------

std::vector<std::string> ctlSeen() {
    std::lock_guard<std::mutex> lock(fakeMutex);
    return ctlCalls;
}

class HoldTest : public ConnTest {
protected:
    void SetUp() override {
        ConnTest::SetUp();
        for (ConnectionSet &set : evContext.sets) {
            evConnHandles[set.eventSlot].store(7);
            set.consumerStarted.store(1);
            evResetHolds(&set);
        }
    }
};

TEST_F(HoldTest, TwoThreadsHoldingOneSetMakeOneSuspendAndResumeAtTheLast) {
    ConnectionSet *setC = evSet(EV_SET_C);
    {
        std::lock_guard<std::mutex> lock(fakeMutex);
        suspendBlocked = true;
    }
    std::mutex gate;
    std::condition_variable opened;
    bool resumeA = false;
    int first = -1;
    std::thread a([&] {
        first = evSuspendConsumer(&evContext, setC);
        std::unique_lock<std::mutex> lock(gate);
        opened.wait(lock, [&] { return resumeA; });
        lock.unlock();
        evResumeConsumer(&evContext, setC);
    });
    {
        std::unique_lock<std::mutex> lock(fakeMutex);
        suspendGate.wait(lock, [] { return suspendInside; });
    }
    std::atomic<bool> secondDone{false};
    int second = -1;
    std::thread b([&] {
        second = evSuspendConsumer(&evContext, setC);
        secondDone = true;
        evResumeConsumer(&evContext, setC);
    });
    // The second hold is not granted while the first SUSPEND runs.
    std::this_thread::yield();
    EXPECT_FALSE(secondDone.load());
    {
        std::lock_guard<std::mutex> lock(fakeMutex);
        suspendBlocked = false;
    }
    suspendGate.notify_all();
    b.join();
    EXPECT_EQ(second, EV_SUSPEND_HELD);
    EXPECT_EQ(ctlSeen(), std::vector<std::string>{"SUSPEND"});
    {
        std::lock_guard<std::mutex> lock(gate);
        resumeA = true;
    }
    opened.notify_all();
    a.join();
    EXPECT_EQ(first, EV_SUSPEND_HELD);
    EXPECT_EQ((ctlSeen()), (std::vector<std::string>{"SUSPEND", "RESUME"}));
    EXPECT_EQ(setC->holds.load(), 0);
}

TEST_F(HoldTest, NestedHoldsAndAHoldFromBeforeAReconnect) {
    ConnectionSet *setC = evSet(EV_SET_C);
    EXPECT_EQ(evSuspendConsumer(&evContext, setC), EV_SUSPEND_HELD);
    EXPECT_EQ(evSuspendConsumer(&evContext, setC), EV_SUSPEND_HELD);
    EXPECT_EQ(evResumeConsumer(&evContext, setC), 1);
    EXPECT_EQ(ctlSeen(), std::vector<std::string>{"SUSPEND"});
    EXPECT_EQ(evResumeConsumer(&evContext, setC), 1);
    EXPECT_EQ((ctlSeen()), (std::vector<std::string>{"SUSPEND", "RESUME"}));

    // A reconnect between hold and resume: the resume does nothing, and a new hold suspends again.
    EXPECT_EQ(evSuspendConsumer(&evContext, setC), EV_SUSPEND_HELD);
    setC->connectCount.fetch_add(1);
    evResetHolds(setC);
    EXPECT_EQ(evResumeConsumer(&evContext, setC), 0);
    EXPECT_EQ(setC->holds.load(), 0);
    EXPECT_EQ(evSuspendConsumer(&evContext, setC), EV_SUSPEND_HELD);
    EXPECT_EQ(evResumeConsumer(&evContext, setC), 1);
    EXPECT_EQ((ctlSeen()), (std::vector<std::string>{"SUSPEND", "RESUME", "SUSPEND", "SUSPEND", "RESUME"}));

    setC->consumerStarted.store(0);
    EXPECT_EQ(evSuspendConsumer(&evContext, setC), EV_SUSPEND_NOT_STARTED);
    EXPECT_EQ(evResumeConsumer(&evContext, setC), 0);
}

TEST_F(HoldTest, ACallbackFindingTheTokenHeldIsBusyWithoutMQCTL) {
    ConnectionSet *setC = evSet(EV_SET_C);
    ConnectionSet *setE = evSet(EV_SET_E);
    std::mutex step;
    std::condition_variable stepped;
    int stage = 0;
    // Set E's callback holds set C (the publication of an alert) ...
    std::thread e([&] {
        evCallbackSet = setE;
        EXPECT_EQ(evSuspendConsumer(&evContext, setC), EV_SUSPEND_HELD);
        std::unique_lock<std::mutex> lock(step);
        stage = 1;
        stepped.notify_all();
        stepped.wait(lock, [&] { return stage == 2; });
        lock.unlock();
        EXPECT_EQ(evResumeConsumer(&evContext, setC), 1);
        evCallbackSet = nullptr;
    });
    {
        std::unique_lock<std::mutex> lock(step);
        stepped.wait(lock, [&] { return stage == 1; });
    }
    // ... while set C's callback would close set E's unit: busy, no MQCTL.
    std::thread c([&] {
        evCallbackSet = setC;
        EXPECT_EQ(evSuspendConsumer(&evContext, setE), EV_SUSPEND_BUSY);
        evCallbackSet = nullptr;
    });
    c.join();
    EXPECT_EQ(ctlSeen(), std::vector<std::string>{"SUSPEND"});
    {
        std::lock_guard<std::mutex> lock(step);
        stage = 2;
    }
    stepped.notify_all();
    e.join();
    // The token is free again.
    std::thread c2([&] {
        evCallbackSet = setC;
        EXPECT_EQ(evSuspendConsumer(&evContext, setE), EV_SUSPEND_HELD);
        EXPECT_EQ(evResumeConsumer(&evContext, setE), 1);
        evCallbackSet = nullptr;
    });
    c2.join();
    EXPECT_EQ(ctlSeen().size(), 4u);
}

// Set C's callback holding set E lets go of the consumer lock while SUSPEND waits for set E's running
// callback, which takes the lock and marks itself the current set: the hold puts back set C's mark, or
// set C's unit goes on with set E's connection.
TEST_F(HoldTest, AHoldKeepsTheHoldersCurrentSetMark) {
    ConnectionSet *setC = evSet(EV_SET_C);
    ConnectionSet *setE = evSet(EV_SET_E);
    duringSuspend = [] {
        std::thread e([] {
            CSRecursiveGuard guard(gConsumerLock);
            evContext.current = evSet(EV_SET_E);
        });
        e.join();
    };
    std::thread c([&] {
        CSRecursiveGuard guard(gConsumerLock);
        evCallbackSet = setC;
        evContext.current = setC;
        EXPECT_EQ(evSuspendConsumer(&evContext, setE), EV_SUSPEND_HELD);
        EXPECT_EQ(evContext.current, setC);
        EXPECT_EQ(evResumeConsumer(&evContext, setE), 1);
        evCallbackSet = nullptr;
    });
    c.join();
    EXPECT_EQ((ctlSeen()), (std::vector<std::string>{"SUSPEND", "RESUME"}));
    evContext.current = nullptr;
}

// ---- An input queue another application holds ------------------------------------------------

std::vector<MQLONG> openReasons;  // reasons of the next MQOPEN calls for input (0 opens)
size_t openCalls = 0;
void fakeOpen(MQHCONN, PMQVOID, MQLONG options, PMQHOBJ hobj, PMQLONG cc, PMQLONG rc) {
    // The inquire open that resolves the name first (to a queue of another name) is not counted.
    if ((options & (MQOO_INPUT_SHARED | MQOO_INPUT_EXCLUSIVE | MQOO_INPUT_AS_Q_DEF)) == 0) {
        *hobj = 13;
        *cc = MQCC_OK;
        *rc = 0;
        return;
    }
    const MQLONG reason = openCalls < openReasons.size() ? openReasons[openCalls] : 0;
    openCalls++;
    *hobj = reason == 0 ? 11 : -1;
    *cc = reason == 0 ? MQCC_OK : MQCC_FAILED;
    *rc = reason;
}
void fakeClose(MQHCONN, PMQHOBJ hobj, MQLONG, PMQLONG cc, PMQLONG rc) {
    *hobj = MQHO_UNUSABLE_HOBJ;
    *cc = MQCC_OK;
    *rc = 0;
}
void fakeInq(MQHCONN, MQHOBJ, MQLONG, PMQLONG, MQLONG, PMQLONG ints, MQLONG charLength, PMQCHAR chars,
             PMQLONG cc, PMQLONG rc) {
    ints[0] = 3;
    memset(chars, ' ', static_cast<size_t>(charLength));
    *cc = MQCC_OK;
    *rc = 0;
}
void fakeCb(MQHCONN, MQLONG, PMQVOID, MQHOBJ, PMQVOID, PMQVOID, PMQLONG cc, PMQLONG rc) {
    *cc = MQCC_OK;
    *rc = 0;
}

// What else happens while the open waits.
enum class Meanwhile { Nothing, Removed, OpenedByAnother };
Meanwhile meanwhile = Meanwhile::Nothing;

// The open's wait: set E's callback takes the consumer lock and marks itself current; a command
// removes the queue, or opens it with a wait of its own that ended first.
void waitWithOthersRunning(uint32_t) {
    std::thread e([] {
        CSRecursiveGuard guard(gConsumerLock);
        evContext.current = evSet(EV_SET_E);
        EventQueueDef probe{};
        snprintf(probe.name, sizeof probe.name, "Q.HELD");
        CSRecursiveGuard structure(gStructureLock);
        if (meanwhile == Meanwhile::Removed) (void)CSTreeDelete(&evEventQueueTree, &probe, EV_QUEUE_NAME_MAX);
        if (meanwhile != Meanwhile::OpenedByAnother) return;
        auto *queue =
            reinterpret_cast<EventQueueDef *>(CSTreeFind(evEventQueueTree, probe.name, EV_QUEUE_NAME_MAX));
        queue->inputHandle = 12;
        queue->registered = 1;
    });
    e.join();
}
const evTimeFuncs waitingTime = {evRealTime.now, waitWithOthersRunning};

TEST_F(ConnTest, AnOpenWaitingOnAQueueInUseKeepsTheMarkAndFindsTheQueueAnew) {
    struct Row {
        Meanwhile meanwhile;
        int opened;
        size_t opens;
        MQHOBJ handle;  // the queue's afterwards
    };
    const Row rows[] = {
        {Meanwhile::Nothing, 1, 2, 11},
        {Meanwhile::Removed, 0, 1, -1},  // freed: nothing of it is touched after the wait
        {Meanwhile::OpenedByAnother, 1, 1, 12},
    };
    table.MQOPEN = fakeOpen;
    table.MQCLOSE = fakeClose;
    table.MQINQ = fakeInq;
    table.MQCB = fakeCb;
    evConnHandles[EV_CONN_E_EVENT].store(7);
    const evTimeFuncs *previous = evSetTimeFuncs(&waitingTime);
    for (const Row &row : rows) {
        SCOPED_TRACE(static_cast<int>(row.meanwhile));
        EventQueueDef templ{};
        snprintf(templ.name, sizeof templ.name, "Q.HELD");
        templ.inputHandle = templ.forwardHandle = templ.backoutHandle = -1;
        templ.suspended = 1;
        int32_t reason = 0;
        char text[EV_CONFIG_TEXT] = "";
        EventQueueDef *queue;
        {
            CSRecursiveGuard structure(gStructureLock);
            queue = evEventQueueFindOrAdd(&templ, &reason, text);
        }
        ASSERT_NE(queue, nullptr) << text;
        openReasons = {MQRC_OBJECT_IN_USE};
        openCalls = 0;
        meanwhile = row.meanwhile;
        int opened;
        {
            // Set C's callback, as ADD EVQ opens the queue.
            CSRecursiveGuard guard(gConsumerLock);
            evContext.current = evSet(EV_SET_C);
            opened = evOpenInputQueue(&evContext, queue, 0, message, &reason);
            EXPECT_EQ(evContext.current, evSet(EV_SET_C));
        }
        EXPECT_EQ(opened, row.opened);
        EXPECT_EQ(openCalls, row.opens);
        if (row.meanwhile != Meanwhile::Removed) {
            EXPECT_EQ(queue->inputHandle, row.handle);
            CSRecursiveGuard structure(gStructureLock);
            (void)CSTreeDelete(&evEventQueueTree, queue, EV_QUEUE_NAME_MAX);
        }
    }
    evSetTimeFuncs(previous);
    evContext.current = nullptr;
    EXPECT_EQ(et::countOf(console.out(), "Retrying...."), 1);
}

// ---- The disconnect's backout ----------------------------------------------------------------

int backCalls = 0;
MQLONG backReason = 0;
void fakeBack(MQHCONN, PMQLONG cc, PMQLONG rc) {
    backCalls++;
    *cc = backReason == 0 ? MQCC_OK : MQCC_FAILED;
    *rc = backReason;
}
void fakeDisc(PMQHCONN hconn, PMQLONG cc, PMQLONG rc) {
    *hconn = MQHC_UNUSABLE_HCONN;
    *cc = MQCC_OK;
    *rc = 0;
}

// A connection whose consumer stop says 2009 is not backed out (the queue manager does that, and the
// client refuses the call with 2500 while its consumer still counts as started): nothing is reported
// of it, and the unit's memory side is backed out all the same. A refused MQBACK on a live connection
// stops the consumer and is made again; refused again, it is still reported.
TEST_F(ConnTest, TheDisconnectBacksOutOnlyAConnectionThatIsNotBroken) {
    struct Row {
        MQLONG stop;
        int backs;
        bool reported;
    };
    const Row rows[] = {{MQRC_CONNECTION_BROKEN, 0, false}, {0, 2, true}};
    table.MQBACK = fakeBack;
    table.MQDISC = fakeDisc;
    backReason = MQRC_HCONN_ASYNC_ACTIVE;
    ConnectionSet *setE = evSet(EV_SET_E);
    for (const Row &row : rows) {
        SCOPED_TRACE(row.stop);
        stopReason = row.stop;
        backCalls = 0;
        evConnHandles[setE->eventSlot].store(7);
        setE->consumerStarted.store(1);
        evUnits[EV_SET_E].inFlight = 3;
        const size_t before = console.out().size();
        evDisconnectSet(&evContext, setE, message);
        const std::string out = console.out().substr(before);
        EXPECT_EQ(backCalls, row.backs);
        EXPECT_EQ(out.find("MQBACK(QM1) failed RC(2500)") != std::string::npos, row.reported) << out;
        EXPECT_EQ(evUnits[EV_SET_E].inFlight, 0u);
        EXPECT_EQ(evConnHandles[setE->eventSlot].load(), -1);
    }
}

}  // namespace

namespace {

std::atomic<int> disconnectsRun{0};
void noteDisconnect(WorkItem *) {
    disconnectsRun++;
    evRunState.disconnecting.store(0);
}

TEST_F(HoldTest, EndingTheConnectionInACallbackStopsOnlyItsOwnSet) {
    const EvSequences fake = {nullptr, noteDisconnect};
    evSetSequences(&fake);
    std::thread e([] {
        // Set E's callback, holding the consumer lock, as a failed unit of work finds it.
        CSRecursiveGuard guard(gConsumerLock);
        evCallbackSet = evSet(EV_SET_E);
        evEndConnection(&evContext);
        evCallbackSet = nullptr;
    });
    e.join();
    EXPECT_TRUE(et::waitFor([] { return disconnectsRun.load() == 1; }));
    EXPECT_EQ(evContext.restartMark.load(), 1);
    EXPECT_EQ(evRunState.ready.load(), 0);
    EXPECT_EQ(ctlSeen(), std::vector<std::string>{"STOP"});
    EXPECT_EQ(evSet(EV_SET_E)->consumerStarted.load(), 0);
    EXPECT_EQ(evSet(EV_SET_C)->consumerStarted.load(), 1);
    evSetSequences(nullptr);
    for (auto &handle : evConnHandles) handle.store(-1);
    et::settleWorkers();
}

}  // namespace
