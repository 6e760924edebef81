// The console beside the engine on a private stand-in queue manager: the engine's connect gives the
// console its connection, which carries commands to the engine's own command server and the
// engine's sweep message.
#include <unistd.h>

#include <atomic>
#include <optional>
#include <string>
#include <vector>

#include "cmdserver/cmdserver.h"
#include "console_testing.h"
#include "miniqm/qm_fixture.h"
#include "testing/built_paths.h"
#include "tests/engine/engine_testing.h"

namespace {

std::atomic<int> absorbs{0};
int countingAbsorb(QmgrContext *) {
    absorbs.fetch_add(1);
    return 1;
}

std::vector<std::string> hookLines;  // the console lines a Disconnected hook's command added
int disconnectedHook(int32_t kind, void *) {
    if (kind != EV_HOOK_DISCONNECTED) return 1;
    cslSession *s = gSession.load();
    const cslOutputLine *before = s->screens[0].newest;
    cslIssueCommand(s, "DISPLAY EV");
    for (const cslOutputLine *l = before->next; l != nullptr; l = l->next)
        hookLines.emplace_back(cslLineText(l));
    return 1;
}

class ConsoleEngineQm : public et::EngineTest {
protected:
    void SetUp() override {
        et::EngineTest::SetUp();
        ASSERT_TRUE(qm.ok());
        savedTable = cslServerTable;
        ASSERT_EQ(MQLoadLibrary(MINIQM_MQM_LIBRARY, &evMQServerTable), 0);
        ASSERT_EQ(MQLoadLibrary(MINIQM_MQM_LIBRARY, &cslServerTable), 0);
        cfgInstall();
        cmdInstall();
        install.emplace();
        evServices.aggrAbsorb = countingAbsorb;
        absorbs = 0;
        hookLines.clear();
        evSettingsDefaults(evClockNow());
        snprintf(evStart.event.name, sizeof evStart.event.name, "QM1");
        snprintf(evStart.state.name, sizeof evStart.state.name, "QM1");
        snprintf(evStart.replyPrefix, sizeof evStart.replyPrefix, "ZUNT.*");
        evConnectSuppress.store(0);
        ASSERT_EQ(qm.mqsc("DEFINE QLOCAL(HOLVA.ZUNT.COMMAND.QUEUE)\n"
                          "DEFINE QLOCAL(HOLVA.ZUNT.DATA.QUEUE) MAXDEPTH(5000) MAXMSGL(4194304)\n"),
                  0);
        ASSERT_EQ(evConnectSets() && evInitialiseConnection(), 1) << logText();
        s = gSession.load();
        ASSERT_NE(s, nullptr);
        ASSERT_TRUE(cslConnected(s->current)) << ::testing::PrintToString(lines());
        s->formatting = 0;
    }
    void TearDown() override {
        if (gSession.load() != nullptr) {
            EXPECT_EQ(cslEndSession(), 1);
        }
        evDisconnectSets();
        evFreeAll(1);
        cslEventFunctionFlag.store(0);
        install.reset();
        cslServerTable = savedTable;
        et::EngineTest::TearDown();
    }
    std::vector<std::string> lines() const { return zt::linesAfter(s); }
    bool shown(const std::string &part) const {
        for (const std::string &line : lines())
            if (line.find(part) != std::string::npos) return true;
        return false;
    }

    qmt::QmServer qm{"QM1"};
    MQIFunctionTable savedTable{};
    std::optional<ScopedInstall> install;
    cslSession *s = nullptr;
};

TEST_F(ConsoleEngineQm, ZuntDirectsCommandsToTheEnginesCommandServer) {
    cslIssueCommand(s, "=zunt");
    EXPECT_TRUE(shown("Commands directed to ZUNT")) << ::testing::PrintToString(lines());
    cslIssueCommand(s, "DISPLAY EV");
    EXPECT_TRUE(shown("NAME(ZUNT) DESCR(")) << ::testing::PrintToString(lines());
    EXPECT_EQ(s->summarySucceeded.load(), 1);

    // From a record hook the command carries the event's number, and the alert it adds is the
    // event's.
    evEventSequence.store(4711);
    cslEventFunctionFlag.store(1);
    cslIssueCommand(s, "ADD EVALERT TEXT('from a hook')");
    cslEventFunctionFlag.store(0);
    EXPECT_EQ(s->summarySucceeded.load(), 2) << ::testing::PrintToString(lines());
    CSRecursiveGuard guard(gAlertLock);
    const AlertDef *added = nullptr;
    for (const AlertDef *a = evAlertList; a != nullptr; a = a->next)
        if (std::strcmp(a->text, "from a hook") == 0) added = a;
    ASSERT_NE(added, nullptr);
    EXPECT_EQ(added->raisingEvent, 4711u);
}

TEST_F(ConsoleEngineQm, ACommandOfTheDisconnectedHookIsRefusedAndShutdownEnds) {
    cslIssueCommand(s, "=zunt");
    evServices.callHook = disconnectedHook;
    evDisconnectThread(nullptr);
    EXPECT_EQ(hookLines, (std::vector<std::string>{"DISPLAY EV", "ZUNT command server is not running"}));
    EXPECT_EQ(cslEndSession(), 1);
    EXPECT_EQ(gSession.load(), nullptr);
}

TEST_F(ConsoleEngineQm, TheSweepGoesThroughTheConsolesConnection) {
    const MQHCONN consoleHconn = s->current->hconn.load();
    EXPECT_EQ(evConsoleLink.hconn.load(), consoleHconn);
    auto sweep = [] {
        evAggrState.binsExist.store(1);
        evAggrState.binsCreated.fetch_add(1);  // records went into bins since the last absorb
        evAggrState.nextDue.store(evClockNow());
        evAggrState.lastSweep.store(0);
        evAggrState.lastSweepFailed.store(0);
        evSweepDecision(evClockNow() + 16);
    };
    sweep();
    EXPECT_NE(evConsoleLink.commandQueue.load(), -1);
    EXPECT_TRUE(et::waitFor([] { return absorbs.load() > 0; })) << logText();

    cslIssueCommand(s, "=disc");
    EXPECT_EQ(evConsoleLink.hconn.load(), -1);
    EXPECT_EQ(evConsoleLink.commandQueue.load(), -1);
    const int before = absorbs.load();
    sweep();
    usleep(300000);
    EXPECT_EQ(absorbs.load(), before);

    cslIssueCommand(s, "=conn");
    ASSERT_TRUE(cslConnected(s->current)) << ::testing::PrintToString(lines());
    EXPECT_NE(evConsoleLink.hconn.load(), -1);
    EXPECT_EQ(evConsoleLink.commandQueue.load(), -1);
    sweep();
    EXPECT_NE(evConsoleLink.commandQueue.load(), -1);
    EXPECT_TRUE(et::waitFor([&] { return absorbs.load() > before; })) << logText();
}

}  // namespace
