// The session's creation, the engine's settings applied at connect, and the teardown.
#include <cstring>

#include "console_testing.h"

namespace {

using SessionTest = ConsoleTest;

TEST_F(SessionTest, CreationSetsTheDefaultsAndTheTemplate) {
    EXPECT_EQ(s->tag, clock.now());
    EXPECT_EQ(s->lastReason.load(), 6124);
    EXPECT_EQ(s->respwait, 5);
    EXPECT_STREQ(s->ownQueue, "HOLVA.ZUNT.COMMAND.QUEUE");
    EXPECT_EQ(s->modeFlags, 0x10084c00u);
    EXPECT_TRUE(cslFileMode(s));
    EXPECT_EQ(s->configNotApplied, 1);
    EXPECT_EQ(s->screenWidth, 80);
    EXPECT_EQ(s->current, &s->templateConnection);
    const cslConnection &t = s->templateConnection;
    EXPECT_EQ(t.commandLevel, -1);
    EXPECT_EQ(t.hconn.load(), -1);
    EXPECT_EQ(t.replyHconn.load(), -1);
    EXPECT_EQ(t.waitSeconds, 120);
    EXPECT_STREQ(t.commandQueue, "SYSTEM.ADMIN.COMMAND.QUEUE");
    EXPECT_STREQ(t.replyModelQueue, "SYSTEM.DEFAULT.MODEL.QUEUE");
    EXPECT_EQ(t.channel.ChannelType, MQCHT_CLNTCONN);
    EXPECT_EQ(std::memcmp(t.channel.ChannelName, "SYSTEM.ADMIN.SVRCONN", 20), 0);
    EXPECT_EQ(std::memcmp(t.channel.ConnectionName, "localhost", 9), 0);
}

TEST_F(SessionTest, ASecondCreationReturnsZeroAndLeavesTheFirst) {
    s->respwait = 9;
    int64_t tag = 0;
    EXPECT_EQ(cslCreateSession(&tag), 0);
    EXPECT_EQ(gSession.load(), s);
    EXPECT_EQ(s->respwait, 9);
}

struct EngineSettings {
    EngineSettings(const char *qmgr, const char *user, int32_t client) : saved(evStart) {
        std::snprintf(evStart.event.name, sizeof evStart.event.name, "%s", qmgr);
        evStart.event.userId = user;
        evStart.event.password = "";
        evStart.client = client;
    }
    ~EngineSettings() { evStart = saved; }
    EvStartSettings saved;
};

TEST_F(SessionTest, ApplyingTheConfigurationFillsTheTemplateAndMakesItCurrent) {
    EngineSettings engine("QM1", "u", 1);
    s->current = nullptr;
    ASSERT_EQ(cslApplyConfiguration(), 1);
    EXPECT_EQ(s->target, CSL_TARGET_OWN);
    EXPECT_EQ(s->configNotApplied, 0);
    const cslConnection &t = s->templateConnection;
    EXPECT_STREQ(t.viaName, "QM1");
    ASSERT_NE(t.user, nullptr);
    EXPECT_STREQ(t.user, "u");
    EXPECT_EQ(t.connectPassword, nullptr);  // an empty password stays empty
    EXPECT_EQ(t.client, 1);
    EXPECT_EQ(s->current, &t);
}

TEST_F(SessionTest, ApplyingWithoutASessionMakesOne) {
    EngineSettings engine("QM1", "u", 0);
    cslEndSession();
    ASSERT_EQ(gSession.load(), nullptr);
    ASSERT_EQ(cslApplyConfiguration(), 1);
    s = gSession.load();
    ASSERT_NE(s, nullptr);
    EXPECT_STREQ(s->templateConnection.viaName, "QM1");
}

int endingHookCalls = 0;
uint32_t scriptLockHeld = 0;
void endingHook(cslSession *session) {
    ++endingHookCalls;
    scriptLockHeld = CSRecursiveHeldCount(&gScriptLock);
    session->endRequested.store(1);  // the hook said "quit"
}

TEST_F(SessionTest, TeardownRunsTheEndingHookOnceUnderTheScriptLockAndFreesTheSession) {
    endingHookCalls = 0;
    cslScript.runEndingHook = endingHook;
    add("a line");
    cslAddHistory(s, "DIS Q(A)");
    ASSERT_EQ(cslSetSynonym(s, "S1", "DIS QMGR"), 1);
    EXPECT_EQ(cslEndSession(), 1);
    EXPECT_EQ(endingHookCalls, 1);
    EXPECT_GT(scriptLockHeld, 0u);
    EXPECT_EQ(evEndFlag.load(), 1);
    EXPECT_EQ(gSession.load(), nullptr);
    EXPECT_EQ(cslEndSession(), 1);  // without a session
    EXPECT_EQ(endingHookCalls, 1);
}

TEST_F(SessionTest, InstallFillsTheEngineSlots) {
    EvServices saved = evServices;
    cslInstall();
    EXPECT_EQ(evServices.applyConfiguration, cslApplyConfiguration);
    EXPECT_NE(evServices.issueMQCommand, nullptr);
    ASSERT_NE(evServices.sessionExists, nullptr);
    ASSERT_NE(evServices.endRequested, nullptr);
    EXPECT_EQ(evServices.sessionExists(), 1);
    EXPECT_EQ(evServices.endRequested(), 0);
    s->endRequested.store(1);  // "quit"
    EXPECT_EQ(evServices.endRequested(), 1);
    ASSERT_NE(evServices.endSession, nullptr);
    evServices.endSession();
    EXPECT_EQ(gSession.load(), nullptr);
    EXPECT_EQ(evServices.sessionExists(), 0);
    EXPECT_EQ(evServices.endRequested(), 0);
    evEndFlag.store(0);
    evServices = saved;
}

}  // namespace
