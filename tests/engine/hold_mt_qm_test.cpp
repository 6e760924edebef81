// The two sets meeting on the consumer lock, on the stand-in: a stand-in command that changes streams
// waits for set E's running record hook (logged once) and completes, committed, once the hook ends;
// an intake failure while set C waits for the lock reloads memory in place, and each event is stored
// once. A hold's SUSPEND is a barrier: once it
// returns, no callback of set E runs until RESUME; a hold from before a reconnect counts no more, and
// the storm check then holds both sets and stores its record; a storm item whose check waits for its
// holds stays in set E's storm saves until the check's own unit stores its repeat.
#include <unistd.h>

#include <atomic>
#include <thread>

#include "engine_qm.h"
#include "testing/console_capture.h"

namespace {

std::atomic<bool> hookEntered{false};
std::atomic<bool> hookReleased{false};
std::atomic<int32_t> holdResult{0};
std::atomic<bool> commandDone{false};

// A record hook that stays inside until the test releases it, marked as running an event function.
int latchedHook(void *, int32_t) {
    cslEventFunctionFlag.store(1);
    hookEntered = true;
    for (int waited = 0; waited < 10000 && !hookReleased; waited += 5) usleep(5000);
    cslEventFunctionFlag.store(0);
    return 1;
}

// A command that changes streams: it holds set E first, then commits with set C's sync point.
int streamChangingCommand(QmgrContext *context, EventQueueDef *, const MQMD *, void *, int32_t) {
    holdResult = evHoldEventSet(context);
    commandDone = true;
    return evSyncPoint(context, &context->sets[EV_SET_C]);
}

class HoldQmTest : public eqm::EngineQmTest {
protected:
    // Local events about the queue, taken in and committed.
    void raiseAbout(const char *queue, int count) {
        ASSERT_EQ(qm.mqsc("ALTER QMGR LOCALEV(ENABLED)\n"), 0);
        for (int i = 0; i < count; i++) {
            MQLONG reason = 0;
            openQueue(queue, MQOO_OUTPUT, &reason);
            ASSERT_EQ(reason, MQRC_UNKNOWN_OBJECT_NAME);
        }
        ASSERT_EQ(qm.mqsc("ALTER QMGR LOCALEV(DISABLED)\n"), 0);
        ASSERT_TRUE(et::waitFor([] { return taken(eqm::kQmgrEvents); }));
    }
    // Every storm item checked, as the timed list hands due items over.
    static void checkEveryStorm() {
        std::vector<evTimedItem *> due;
        {
            CSRecursiveGuard structure(gStructureLock);
            for (evTimedItem **at = &evTimedItemList; *at;) {
                if ((*at)->kind != EV_TIMED_STORM) {
                    at = &(*at)->next;
                    continue;
                }
                due.push_back(*at);
                *at = (*at)->next;
            }
            evTimedListChanged();
        }
        ASSERT_FALSE(due.empty());
        for (evTimedItem *item : due) {
            evStormCheck(item);
            CSFreeMem(item);
        }
    }
};

TEST_F(HoldQmTest, ACommandWaitsForTheRunningEventHookAndCompletesAfterIt) {
    zt::ConsoleCapture console{false};
    evServices.callRecordHook = latchedHook;
    evServices.processCommandMessage = streamChangingCommand;
    ASSERT_EQ(connect(), 1) << logText();
    resumeByCommand({eqm::kQmgrEvents});
    raiseEvents(1);
    ASSERT_TRUE(et::waitFor([] { return hookEntered.load(); }));

    putMessage("HOLVA.ZUNT.COMMAND.QUEUE", MQFMT_ADMIN, std::string(36, '\0'));
    const char *waiting = "Command waiting for the running event hook to end";
    ASSERT_TRUE(et::waitFor([&] { return console.out().find(waiting) != std::string::npos; }));
    usleep(200000);
    EXPECT_FALSE(commandDone.load()) << "the hold waits while the hook runs";

    hookReleased = true;
    ASSERT_TRUE(et::waitFor([] { return commandDone.load(); }));
    EXPECT_EQ(holdResult.load(), EV_SUSPEND_HELD);
    ASSERT_TRUE(et::waitFor([] { return taken("HOLVA.ZUNT.COMMAND.QUEUE") && taken(eqm::kQmgrEvents); }));
    EXPECT_EQ(et::countOf(console.out(), waiting), 1);
    // Both units committed: after a reload the event is there once and the command is gone.
    evServices.callRecordHook = nullptr;
    disconnect();
    ASSERT_EQ(connect(), 1) << logText();
    EXPECT_EQ(storedRecords(), 1u);
    EXPECT_EQ(depth("HOLVA.ZUNT.COMMAND.QUEUE"), 0);
}

TEST_F(HoldQmTest, AnIntakeFailureWhileSetCWaitsForTheLockReloadsMemoryInPlace) {
    ASSERT_EQ(connect(), 1) << logText();
    resumeByCommand({eqm::kQmgrEvents});
    // Set E's first data-queue put, made holding the consumer lock, waits until a command is queued
    // for set C, and then fails: the marked unit backs out and set E, once it has set C suspended,
    // loads memory again with the connection kept.
    std::atomic<bool> inPut{false};
    std::atomic<bool> commandQueued{false};
    const MQHCONN eventSet = evConnHandles[EV_CONN_E_EVENT].load();
    wrap->before([&](const zt::MqCall &call) {
        if (call.verb != zt::MqVerb::MQPUT || call.hconn != eventSet || inPut.exchange(true)) return;
        for (int waited = 0; waited < 5000 && !commandQueued; waited += 5) usleep(5000);
        usleep(100000);  // set C's callback is now waiting for the lock
    });
    wrap->failAt(zt::MqVerb::MQPUT, 1, MQRC_Q_FULL);
    raiseEvents(3);  // taken at once: the depth tells nothing
    ASSERT_TRUE(et::waitFor([&] { return inPut.load(); }));
    putMessage("HOLVA.ZUNT.COMMAND.QUEUE", MQFMT_ADMIN, std::string(36, '\0'));
    commandQueued = true;
    ASSERT_TRUE(et::waitFor([this] {
        return logText().find("Event unit backed out: the stored state was loaded again") !=
               std::string::npos;
    })) << logText();
    ASSERT_TRUE(et::waitFor([] { return taken(eqm::kQmgrEvents) && taken("HOLVA.ZUNT.COMMAND.QUEUE"); }));
    wrap->before(nullptr);
    wrap->clearRules();
    int injected = 0;
    for (const zt::MqCall &call : wrap->calls(zt::MqVerb::MQPUT)) injected += call.injected;
    EXPECT_EQ(injected, 1);
    EXPECT_EQ(evConnHandles[EV_CONN_E_EVENT].load(), eventSet) << "the connection is kept";
    EXPECT_EQ(evRunState.ready.load(), 1);
    disconnect();
    ASSERT_EQ(connect(), 1) << logText();
    EXPECT_EQ(storedRecords(), 3u);
}

TEST_F(HoldQmTest, AHoldsSuspendKeepsSetEsCallbacksOutUntilItsResume) {
    ASSERT_EQ(connect(), 1) << logText();
    resumeByCommand({eqm::kQmgrEvents});
    std::atomic<bool> stop{false};
    std::thread producer([&] {
        MQHCONN hconn = connectTo("QM1");
        MQHOBJ hobj = openQueue(eqm::kQmgrEvents, MQOO_OUTPUT, nullptr, hconn);
        // Short administration messages: each one is taken into set E's unit and consumed.
        const std::string data(20, '\0');
        while (!stop) {
            MQMD md = MQMD_DEFAULT;
            std::memcpy(md.Format, MQFMT_ADMIN, MQ_FORMAT_LENGTH);
            MQPMO pmo = MQPMO_DEFAULT;
            pmo.Options = MQPMO_NO_SYNCPOINT;
            MQLONG cc = 0, rc = 0;
            raw.MQPUT(hconn, hobj, &md, &pmo, static_cast<MQLONG>(data.size()),
                      const_cast<char *>(data.data()), &cc, &rc);
            if (cc == MQCC_FAILED) usleep(1000);
        }
        closeQueue(&hobj, hconn);
        MQLONG cc = 0, rc = 0;
        raw.MQDISC(&hconn, &cc, &rc);
    });
    ConnectionSet *setE = evSet(EV_SET_E);
    int held = 0, breaches = 0;
    for (int i = 0; i < 1000; i++) {
        if (evSuspendConsumer(&evContext, setE) != EV_SUSPEND_HELD) continue;
        held++;
        const int32_t inFlight = setE->inFlight.load();
        breaches += evConsumerActive.load() != 0;
        usleep(200);
        breaches += evConsumerActive.load() != 0 || setE->inFlight.load() != inFlight;
        evResumeConsumer(&evContext, setE);
        usleep(100);
    }
    stop = true;
    producer.join();
    EXPECT_EQ(held, 1000);
    EXPECT_EQ(breaches, 0);
    ASSERT_TRUE(et::waitFor([] { return taken(eqm::kQmgrEvents); }));
    CSRecursiveGuard lock(gConsumerLock);
    EXPECT_GT(findQueue(eqm::kQmgrEvents)->counters[EV_EQC_MSGS].committed, 1000u) << "set E was busy";
}

TEST_F(HoldQmTest, AHoldFromBeforeAReconnectIsVoidAndTheStormCheckHoldsBothSets) {
    // The restart's own event would be one more record.
    ASSERT_EQ(qm.mqsc("ALTER QMGR STRSTPEV(DISABLED)\n"), 0);
    ASSERT_EQ(connect(), 1) << logText();
    resumeByCommand({eqm::kQmgrEvents});
    // A hold taken, then the queue manager ends and the engine reconnects.
    ASSERT_EQ(evSuspendConsumer(&evContext, evSet(EV_SET_E)), EV_SUSPEND_HELD);
    ASSERT_TRUE(qm.stop());
    ASSERT_NO_FATAL_FAILURE(restartAndReconnect());
    const size_t from = wrap->calls().size();
    EXPECT_EQ(evResumeConsumer(&evContext, evSet(EV_SET_E)), 0) << "the old hold resumes nothing";

    // Five equal events past a threshold of 2: two stored, three only counted by the storm item.
    evSettings.stormThreshold.store(2);
    evSettings.stormInterval.store(60);
    raiseAbout("STORM.QUEUE", 5);
    // Only the storm's holds.
    checkEveryStorm();

    // No call found a started connection, and the holds suspended and resumed both sets.
    std::vector<std::string> controls;
    const std::vector<zt::MqCall> calls = wrap->calls();
    for (size_t i = from; i < calls.size(); i++) {
        EXPECT_NE(calls[i].reason, 2500) << zt::mqVerbName(calls[i].verb);
        if (calls[i].verb == zt::MqVerb::MQCTL &&
            (calls[i].options == MQOP_SUSPEND || calls[i].options == MQOP_RESUME))
            controls.push_back(std::string(calls[i].options == MQOP_SUSPEND ? "SUSPEND " : "RESUME ") +
                               (calls[i].hconn == evConnHandles[EV_CONN_C_EVENT].load() ? "C" : "E"));
    }
    EXPECT_EQ(controls, (std::vector<std::string>{"SUSPEND C", "SUSPEND E", "RESUME E", "RESUME C"}));
    disconnect();
    ASSERT_EQ(connect(), 1) << logText();
    EXPECT_EQ(storedRecords(), 3u) << "two events and the storm's one";
}

// The main thread takes a due storm item off the list and waits for its holds while set E commits a
// storm save; then the check's own unit is lost (as by a kill). That save kept the item, so the reload
// checks it again and its repeat is stored once.
TEST_F(HoldQmTest, AStormItemStaysStoredWhileItsCheckWaitsForItsHolds) {
    ASSERT_EQ(qm.mqsc("ALTER QMGR STRSTPEV(DISABLED)\n"), 0);
    ASSERT_EQ(connect(), 1) << logText();
    resumeByCommand({eqm::kQmgrEvents});
    evSettings.stormThreshold.store(2);
    evSettings.stormInterval.store(60);
    raiseAbout("STORM.QUEUE", 5);
    {
        CSRecursiveGuard structure(gStructureLock);
        for (evTimedItem *item = evTimedItemList; item; item = item->next)
            if (item->kind == EV_TIMED_STORM) item->due = 0;
    }
    // Before the check's first SUSPEND: set E takes in another event and commits its storm save; the
    // check's commit is then backed out.
    const std::thread::id checker = std::this_thread::get_id();
    std::atomic<bool> done{false};
    wrap->before([&](const zt::MqCall &call) {
        if (call.verb != zt::MqVerb::MQCTL || call.options != MQOP_SUSPEND ||
            std::this_thread::get_id() != checker || done.exchange(true))
            return;
        auto commitsOfE = [this] {
            uint64_t commits = 0;
            for (const zt::MqCall &c : wrap->calls(zt::MqVerb::MQCMIT))
                commits += c.hconn == evConnHandles[EV_CONN_E_EVENT].load() && c.compCode == MQCC_OK;
            return commits;
        };
        const uint64_t before = commitsOfE();
        raiseAbout("OTHER.QUEUE", 1);
        EXPECT_TRUE(et::waitFor([&] { return commitsOfE() > before; })) << "set E committed";
        wrap->failAt(zt::MqVerb::MQCMIT, 1, MQRC_BACKED_OUT);
    });
    evTimedItemRun();
    wrap->before(nullptr);
    ASSERT_TRUE(done.load());
    EXPECT_TRUE(et::waitFor([] {
        for (auto &handle : evConnHandles)
            if (handle.load() != -1) return false;
        return evRunState.disconnecting.load() == 0;
    })) << "the failed commit ends the connection";
    wrap->clearRules();
    disconnect();
    ASSERT_EQ(connect(), 1) << logText();
    checkEveryStorm();
    disconnect();
    ASSERT_EQ(connect(), 1) << logText();
    EXPECT_EQ(storedRecords(), 4u) << "two of the storm, its repeat and the other event";
}

}  // namespace
