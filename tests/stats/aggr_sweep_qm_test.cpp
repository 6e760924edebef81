// The sweep with the real aggregation, on a private stand-in queue manager: a bin falls due while
// nothing arrives on set E, the main thread's sweep message reaches the command queue through the
// console's connection (filled in by the test), and set C's sync point absorbs the bin (set E not
// started, so its hold finds nothing to close): the record is stored and its aggregation message
// removed, both in set C's committed unit.
#include <unistd.h>

#include "engine/engine.h"
#include "stats/aggr_qm.h"
#include "testing/console_capture.h"
#include "tests/engine/consumer_qm.h"

using namespace agt;

namespace {

std::vector<std::string> holds;  // set C's hold of set E before its absorb

int32_t recordingSuspend(int32_t set) {
    holds.push_back(set == EV_SET_E ? "suspend E" : "suspend C");
    return EV_SUSPEND_NOT_STARTED;
}
void recordingResume(int32_t set) {
    holds.push_back(set == EV_SET_E ? "resume E" : "resume C");
}

class AggrSweepQm : public AggrQmTest {
protected:
    void SetUp() override {
        AggrQmTest::SetUp();
        ASSERT_EQ(qm_->mqsc(std::string("DEFINE QLOCAL(") + EV_COMMAND_QUEUE_NAME + ")\n"), 0);
        eqm::freshIntake();
        // Set C on the fixture's connection; set E not started.
        eqm::setOn(EV_SET_C, wrap_->table(), io_, io_.batchSize);
        evConnHandles[evContext.sets[EV_SET_C].stateSlot].store(io_.hconn);
        saved_ = cfgEngine;
        cfgEngine.suspend = recordingSuspend;
        cfgEngine.resume = recordingResume;
        holds.clear();
        // The console's connection, made by the test.
        console_ = eqm::linkConsole(&raw_);
        ASSERT_NE(console_, MQHC_UNUSABLE_HCONN);
        evAggrState.nextDue.store(0);
    }
    void TearDown() override {
        eqm::unlinkConsole(&raw_, &console_);
        eqm::setsOff();
        evContext.current = nullptr;
        cfgEngine = saved_;
        evFreeIntake();
        evServices = EvServices{};
        AggrQmTest::TearDown();
    }
    // Set C's consumer on the command queue.
    void startConsumer() { eqm::startConsumer(wrap_->table(), io_.hconn, EV_COMMAND_QUEUE_NAME); }
    void stopConsumer() { eqm::stopConsumers(wrap_->table(), io_.hconn); }
    // Committed aggregation messages, browsed on the console's connection while set C runs.
    size_t committedAggrMessages() {
        size_t n = 0;
        for (const zt::QueueMessage &m : zt::queueMessages(&raw_, console_, kDataQueue, true))
            if (m.md.CorrelId[0] == AGGR_CORREL_KIND) n++;
        return n;
    }

    CfgEngine saved_{};
    MQHCONN console_ = MQHC_UNUSABLE_HCONN;
};

TEST_F(AggrSweepQm, TheSweepReachesSetCWhoseSyncPointAbsorbsTheDueBin) {
    EvStreamIo &io = evContext.sets[EV_SET_C].io;
    Stream *s = stream("AGG", STREAM_TYPE_STATQ, 3600);
    ASSERT_EQ(fold(s, statQ(kT0, {"Q1"}, 4)), 1);
    EvHardenBlock block{&io, 0, 0, 0};
    ASSERT_EQ(evHardenAllStreams(&block), 1);
    ASSERT_EQ(evAggrHarden(&evContext, &io), 1);
    ASSERT_EQ(evStreamCommit(&io), 1);
    ASSERT_EQ(committedAggrMessages(), 1u);
    ASSERT_NE(evAggrState.nextDue.load(), 0) << "the fold scheduled its bin";

    // Due, and nothing has come in on set E for Grace seconds: the main thread sends the sweep.
    clock_.set(evAggrState.nextDue.load());
    evAbsorb.check = 0;
    zt::ConsoleCapture capture;
    evSweepDecision(evClockNow());
    startConsumer();
    for (int waited = 0; waited < 10000 && committedAggrMessages() != 0; waited += 10) usleep(10000);
    stopConsumer();
    // The sweep is a DISPLAY ACCTQ without a queue name and without a reply queue: refused, unanswered.
    EXPECT_EQ((capture.out() + capture.err()).find("Error opening reply queue"), std::string::npos);

    EXPECT_EQ(committedAggrMessages(), 0u);
    EXPECT_EQ(holds, (std::vector<std::string>{"suspend E"})) << "set E is held before set C absorbs";
    EXPECT_EQ(s->activeBins, 0u);
    auto sums = storedSums(s);
    EXPECT_EQ(sums["Q1"], (std::pair<uint64_t, uint64_t>{4, 1}));
    // What set C stored is committed: a reload finds the record and no bin.
    ASSERT_EQ(reloadAll(), 1);
    s = find("AGG");
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->activeBins, 0u);
    EXPECT_EQ(storedSums(s)["Q1"], (std::pair<uint64_t, uint64_t>{4, 1}));
}

}  // namespace
