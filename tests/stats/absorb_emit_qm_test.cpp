// An absorbed record whose emitter fails with ONERROR SUSPEND, on a private stand-in queue manager:
// the emitter backs the absorb's unit out, commits its alert and reloads memory from the data queue.
// Whichever way the absorb was reached, every caller stops at once without touching the bins and
// streams that went with the reload (AddressSanitizer sees any that does), and the bin is back from
// its aggregation message, to be absorbed again later.
#include "emit/emit.h"
#include "engine/engine.h"
#include "stats/aggr_qm.h"
#include "tests/engine/consumer_qm.h"

using namespace agt;

namespace {

class AbsorbEmitQm : public AggrQmTest {
protected:
    void SetUp() override {
        AggrQmTest::SetUp();
        InitialiseCommandFields();
        eqm::freshIntake();
        emitInstall();
        evStatsEmitHooks.emitRecord = installedEmit_;
        evAlertFreeAll();
        eqm::bothSetsOn(wrap_->table(), io_, io_.batchSize);
        evContext.current = &evContext.sets[EV_SET_E];
        EmitterDef *emitter = evCreateEmitterDef("OUT", -1);
        ASSERT_NE(emitter, nullptr);
        std::strcpy(emitter->queue, "NO.SUCH.Q");
        emitter->onError = EV_ONERROR_SUSPEND;
        emitter->format = EV_EMIT_NDJSON;
        emitter->singleRecord = 1;
        Stream *s = stream("AGG", STREAM_TYPE_STATQ, 3600);
        std::strcpy(s->definition->evEmit, "OUT");
        char text[EV_CONFIG_TEXT + 2] = "";
        ASSERT_EQ(evCfgSave(&io(), text), 1) << text;
    }
    void TearDown() override {
        for (int id : {EV_SET_C, EV_SET_E}) emitCloseOutputs(&evContext, &evContext.sets[id]);
        eqm::setsOff();
        evContext.current = nullptr;
        ct::freeEmitters();
        evAlertFreeAll();
        evFreeIntake();
        evServices = EvServices{};
        AggrQmTest::TearDown();
    }
    static EvStreamIo &io() { return evContext.sets[EV_SET_E].io; }
    // The queue manager and stream as memory holds them now (a reload makes both anew).
    static Stream *current(const char *name) {
        char text[EV_CONFIG_TEXT];
        QmgrEntry *qmgr = evQmgrFindOrAdd("QM1", 0, text);
        for (Stream *s = qmgr ? qmgr->streams : nullptr; s; s = s->next)
            if (std::strcmp(s->definition->name, name) == 0) return s;
        return nullptr;
    }

public:
    int foldInto(int64_t end, const char *queue) {
        std::vector<uint8_t> r = statQ(end, {queue});
        return evAggrAddRecord(&evContext, current("AGG")->qmgr, current("AGG"), 0, r.data(),
                               static_cast<uint32_t>(r.size()));
    }

protected:
    // Streams and bins hardened and committed in set E's unit.
    void commit() {
        EvHardenBlock block{&io(), 0, 0, 0};
        ASSERT_EQ(evHardenAllStreams(&block), 1);
        ASSERT_EQ(evAggrHarden(&evContext, &io()), 1);
        ASSERT_EQ(evCommit(&evContext, &evContext.sets[EV_SET_E]), 1);
    }
};

// Where the absorb is reached from, and what that caller gives back.
struct Path {
    const char *name;
    int (*absorb)(AbsorbEmitQm *test);
    int expected;
};

void PrintTo(const Path &path, std::ostream *out) {
    *out << path.name;
}

class AbsorbEmitPath : public AbsorbEmitQm, public ::testing::WithParamInterface<Path> {};

TEST_P(AbsorbEmitPath, ASuspendingEmitterStopsEveryCallerAndTheBinComesBack) {
    evAbsorb.check = 0;  // the sync point's absorb runs whenever a bin exists
    ASSERT_EQ(foldInto(kT0, "Q1"), 1);
    commit();
    io().unit++;
    clock_.set(kT0 + 3600);
    ASSERT_EQ(aggrOnQueue(), 1u);

    EXPECT_EQ(GetParam().absorb(this), GetParam().expected);

    EXPECT_EQ(evContext.restartMark.load(), 0) << "memory was reloaded; the connection goes on";
    EXPECT_EQ(evDataQueue.loaded.load(), 1);
    EmitterDef *emitter = evFindEmitterDef("OUT", -1);
    ASSERT_NE(emitter, nullptr);
    EXPECT_EQ(emitter->consecutiveFailures, 1u);
    bool alert = false;
    for (AlertDef *a = evAlertList; a; a = a->next) alert = alert || std::strcmp(a->category, "$EMIT") == 0;
    EXPECT_TRUE(alert);
    // The absorb was backed out: its message is on the queue and loaded into the bin again, and the
    // stream stored nothing.
    EXPECT_EQ(aggrOnQueue(), 1u);
    Stream *s = current("AGG");
    ASSERT_NE(s, nullptr);
    ASSERT_EQ(activeBins(s).size(), 1u);
    EXPECT_EQ(activeBins(s)[0]->end, kT0 + 1800);
    EXPECT_EQ(entries(activeBins(s)[0]).size(), 1u);
    EXPECT_EQ(storedSums(s).size(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Callers, AbsorbEmitPath,
    ::testing::Values(
        Path{"Sweep", [](AbsorbEmitQm *) { return evServices.aggrAbsorb(&evContext); }, AGGR_REPLACED},
        Path{"SyncPoint", [](AbsorbEmitQm *) { return evSyncPoint(&evContext, &evContext.sets[EV_SET_E]); },
             0},
        Path{"SetCSyncPoint",
             [](AbsorbEmitQm *) {
                 ConnectionSet &setC = evContext.sets[EV_SET_C];
                 evConnHandles[setC.eventSlot].store(setC.io.hconn);
                 evContext.current = &setC;
                 evConfigChanged.store(1);  // set C's sync point runs for it
                 return evSyncPoint(&evContext, &setC);
             },
             0},
        Path{"FoldPastTheWindow",
             [](AbsorbEmitQm *test) {
                 evAbsorb.heldBinThreshold = 0;
                 return test->foldInto(kT0 + 3600, "Q2");
             },
             AGGR_REPLACED}),
    [](const ::testing::TestParamInfo<Path> &param) { return std::string(param.param.name); });

}  // namespace
