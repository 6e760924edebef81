// The sweep end to end on a private stand-in queue manager: the main loop's message reaches the
// command queue through a connection of the test's own (standing in for the console's), set C
// consumes it, and set C's sync point absorbs inside its hold of set E.
#include <unistd.h>

#include <mutex>

#include "consumer_qm.h"
#include "engine/engine.h"
#include "tests/streams/qmstream.h"

namespace {

// What the hold and the absorb did, in order: written by set C's callback thread, read by the test.
std::mutex stepsLock;
std::vector<std::string> steps;

void step(const char *what) {
    std::lock_guard<std::mutex> guard(stepsLock);
    steps.push_back(what);
}
std::vector<std::string> stepsSoFar() {
    std::lock_guard<std::mutex> guard(stepsLock);
    return steps;
}

int32_t fakeSuspend(int32_t set) {
    step(set == EV_SET_E ? "suspend E" : "suspend C");
    return EV_SUSPEND_HELD;
}
void fakeResume(int32_t set) {
    step(set == EV_SET_E ? "resume E" : "resume C");
}
int recordingAbsorb(QmgrContext *) {
    step(evUnits[EV_SET_C].holdingEvent ? "absorb holding E" : "absorb without E");
    return 1;
}

class SweepQmTest : public st::DataQueueTest {
protected:
    void SetUp() override {
        st::DataQueueTest::SetUp();
        cfgInstall();
        eqm::freshIntake();
        steps.clear();
        ASSERT_EQ(qm_->mqsc(std::string("DEFINE QLOCAL(") + EV_COMMAND_QUEUE_NAME + ")\n"), 0);
        // Set C on the fixture's connection; set E not started.
        eqm::setOn(EV_SET_C, wrap_->table(), io_, 10);
        saved_ = cfgEngine;
        cfgEngine.suspend = fakeSuspend;
        cfgEngine.resume = fakeResume;
        evServices.aggrAbsorb = recordingAbsorb;
        // The console's connection, made by the test.
        console_ = eqm::linkConsole(wrap_->table());
        ASSERT_NE(console_, MQHC_UNUSABLE_HCONN);
    }
    void TearDown() override {
        eqm::unlinkConsole(wrap_->table(), &console_);
        evServices = EvServices{};
        cfgEngine = saved_;
        evAggrState.nextDue.store(0);
        evAggrState.binsExist.store(0);
        cfgFreeModel(1);
        evFreeIntake();
        st::DataQueueTest::TearDown();
    }
    // The command queue opened and set C's consumer started on it.
    void startConsumer() {
        EventQueueDef *queue = eqm::startConsumer(wrap_->table(), io_.hconn, EV_COMMAND_QUEUE_NAME);
        ASSERT_NE(queue, nullptr);
        EXPECT_EQ(queue->ownCommandQueue, 1u);
    }
    void stopConsumer() { eqm::stopConsumers(wrap_->table(), io_.hconn); }
    // The messages on the command queue, browsed on the console's connection.
    std::vector<std::vector<uint8_t>> commandMessages() {
        std::vector<std::vector<uint8_t>> messages;
        for (zt::QueueMessage &m : zt::queueMessages(wrap_->table(), console_, EV_COMMAND_QUEUE_NAME, true))
            messages.push_back(std::move(m.data));
        return messages;
    }
    zt::TestClock clock;
    CfgEngine saved_{};
    MQHCONN console_ = MQHC_UNUSABLE_HCONN;
};

TEST_F(SweepQmTest, TheSweepReachesSetCWhoseSyncPointAbsorbsInsideTheHoldOfSetE) {
    evAggrState.binsExist.store(1);
    evAggrState.binsCreated.fetch_add(1);
    evAggrState.nextDue.store(clock.now());
    clock.advanceMs(16000);
    evSweepDecision(clock.now());
    std::vector<std::vector<uint8_t>> messages = commandMessages();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].size(), 36u);

    startConsumer();
    for (int waited = 0; waited < 10000 && stepsSoFar().size() < 3; waited += 10) usleep(10000);
    stopConsumer();
    EXPECT_EQ(stepsSoFar(), (std::vector<std::string>{"suspend E", "absorb holding E", "resume E"}));
    EXPECT_EQ(evAggrState.nextDue.load(), 0);
    EXPECT_TRUE(commandMessages().empty()) << "consumed and committed";
}

TEST_F(SweepQmTest, AQueueFullCommandQueueDelaysTheNextAttemptSixtySeconds) {
    evAggrState.nextDue.store(clock.now());
    clock.advanceMs(16000);
    wrap_->failAt(zt::MqVerb::MQPUT, 1, MQRC_Q_FULL);
    evSweepDecision(clock.now());
    EXPECT_EQ(evAggrState.lastSweepFailed.load(), clock.now());
    EXPECT_EQ(evConsoleLink.commandQueue.load(), -1);
    clock.advanceMs(59000);
    evSweepDecision(clock.now());
    EXPECT_EQ(wrap_->count(zt::MqVerb::MQPUT), 1u);
    clock.advanceMs(1000);
    evSweepDecision(clock.now());
    EXPECT_EQ(wrap_->count(zt::MqVerb::MQPUT), 2u);
    EXPECT_EQ(commandMessages().size(), 1u);
}

}  // namespace
