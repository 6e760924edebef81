// A changing command whose hold of set E finds the suspension token held by a set E callback (which is
// suspending set C at that moment) answers 2003 and changes nothing, so neither set waits for the
// other.
#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

#include "cmdserver_testing.h"

namespace {

using ct::PcfBuilder;

void ctlOk(MQHCONN, MQLONG, PMQVOID, PMQLONG cc, PMQLONG rc) {
    *cc = MQCC_OK;
    *rc = 0;
}

class ChangeBusyTest : public ct::CmdTest {
protected:
    void SetUp() override {
        CmdTest::SetUp();
        for (uint32_t code = 9000; code <= 9033; code++) evRegisterCommandHandler(code, nullptr);
        InitialiseCommandFields();
        table_.MQCTL = ctlOk;
        cfgEngine.suspend = [](int32_t set) { return evSuspendConsumer(&evContext, evSet(set)); };
        cfgEngine.resume = [](int32_t set) { (void)evResumeConsumer(&evContext, evSet(set)); };
        evStreamGetHooks()->pendingLogLine = [](const char *) {};
        ASSERT_EQ(evStringsInit(0), 1);
        ASSERT_NE(evStringsCreateStream(), nullptr);
        EventQueueDef probe{};
        std::snprintf(probe.name, sizeof probe.name, "APP.Q");
        int32_t reason = 0;
        char text[EV_CONFIG_TEXT];
        ASSERT_NE(evEventQueueFindOrAdd(&probe, &reason, text), nullptr);
        ASSERT_NE(evCreateEmitterDef("E9", -1), nullptr);
        std::snprintf(evCreateEmitterDef("E9", -1)->queue, EV_QUEUE_NAME_MAX + 1, "OUT.Q");
        StreamDef *source = evStreamDefine("S1", -1, STREAM_TYPE_EVENTS, 0, 0);
        ASSERT_NE(evStreamDefine("S2", -1, STREAM_TYPE_EVENTS, 0, 0), nullptr);
        QmgrEntry *qmgr = evQmgrFindOrAdd("QM1", 0, text);
        cfgInstall();
        Stream *stream = evStreamCreate(qmgr, source);
        ASSERT_NE(stream, nullptr);
        stream->recordCount = 4;  // the copy would have something to copy
        evSet(EV_SET_C)->consumerStarted.store(1);
        evSet(EV_SET_E)->consumerStarted.store(1);
    }
    void TearDown() override {
        evSet(EV_SET_C)->consumerStarted.store(0);
        evSet(EV_SET_E)->consumerStarted.store(0);
        evResetHolds(evSet(EV_SET_C));
        evResetHolds(evSet(EV_SET_E));
        cfgEngine.suspend = nullptr;
        cfgEngine.resume = nullptr;
        cfgFreeModel(1);
        evStreamDefFreeAll();
        evStringsFree(1);
        ct::freeEmitters();
        evStreamGetHooks()->pendingLogLine = nullptr;
        evConfigChanged.store(0);
        CmdTest::TearDown();
    }
    static std::string configuration() {
        std::string s;
        for (CSTree *node = CSTreeFirst(evEventQueueTree); node != nullptr; node = node->next)
            s += std::string(reinterpret_cast<EventQueueDef *>(node)->name) + "(" +
                 reinterpret_cast<EventQueueDef *>(node)->descr + ");";
        for (const EmitterDef *e = evEmitterList; e != nullptr; e = e->next) s += std::string(e->name) + ";";
        for (CSTree *node = CSTreeFirst(evQmgrTree); node != nullptr; node = node->next)
            for (const Stream *st = reinterpret_cast<QmgrEntry *>(node)->streams; st; st = st->next)
                s += std::string(st->definition->name) + ";";
        return s;
    }
};

TEST_F(ChangeBusyTest, CommandsThatMustHoldSetEAnswer2003WhileSetEHoldsSetC) {
    std::mutex step;
    std::condition_variable stepped;
    int stage = 0;
    // A set E callback holds set C (its alert's publication) and stays there ...
    std::thread e([&] {
        evCallbackSet = evSet(EV_SET_E);
        EXPECT_EQ(evSuspendConsumer(&evContext, evSet(EV_SET_C)), EV_SUSPEND_HELD);
        std::unique_lock<std::mutex> lock(step);
        stage = 1;
        stepped.notify_all();
        stepped.wait(lock, [&] { return stage == 2; });
        lock.unlock();
        EXPECT_EQ(evResumeConsumer(&evContext, evSet(EV_SET_C)), 1);
        evCallbackSet = nullptr;
    });
    {
        std::unique_lock<std::mutex> lock(step);
        stepped.wait(lock, [&] { return stage == 1; });
    }
    // ... while set C's callback runs the commands.
    const std::string before = configuration();
    const PcfBuilder commands[] = {
        PcfBuilder(9009).string(39333, "APP.Q"),
        PcfBuilder(9010).string(39333, "APP.Q").string(39368, "changed"),
        PcfBuilder(9032).string(39416, "E9"),
        PcfBuilder(9033).string(39301, "S1").string(39440, "S2"),
        PcfBuilder(9018).string(39301, "S1").string(39381, "S3"),
    };
    std::thread c([&] {
        evCallbackSet = evSet(EV_SET_C);
        for (const PcfBuilder &command : commands) {
            ct::fake.puts.clear();
            ASSERT_EQ(runPcf(command.done()), 1);
            ASSERT_EQ(ct::fake.puts.size(), 1u);
            ct::Pcf reply = ct::parse(ct::fake.puts[0].data);
            EXPECT_EQ(reply.reason, MQRC_BACKED_OUT) << reply.command;
            EXPECT_EQ(reply.get(CMD_PARM_TEXT).text, "Command transaction failed, please try again later");
        }
        evCallbackSet = nullptr;
    });
    c.join();
    EXPECT_EQ(configuration(), before);
    {
        std::lock_guard<std::mutex> lock(step);
        stage = 2;
    }
    stepped.notify_all();
    e.join();
}

}  // namespace
