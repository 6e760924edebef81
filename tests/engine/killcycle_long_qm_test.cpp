// Exactly once across crashes of the queue manager: distinct persistent events arrive steadily while
// the stand-in's server is killed (-9) at random moments and started again; the engine reconnects
// each time, and after the last cycle every event is stored exactly once, as a reload finds them.
// Long: left out of the default test runs (label "long").
#include <unistd.h>

#include <random>

#include "engine_qm.h"

namespace {

using eqm::kQmgrEvents;

class KillCycleQmTest : public eqm::EngineQmTest {};

TEST_F(KillCycleQmTest, EveryEventIsStoredOnceAcrossKilledQueueManagers) {
    // The queue manager's start events would add one event per cycle.
    ASSERT_EQ(qm.mqsc("ALTER QMGR STRSTPEV(DISABLED)\n"), 0);
    ASSERT_EQ(connect(), 1) << logText();
    takeTemplate();
    resumeByCommand({kQmgrEvents});
    std::mt19937 random(20261207);
    for (int cycle = 0; cycle < 50; cycle++) {
        SCOPED_TRACE(cycle);
        for (int i = 0; i < 40; i++) putEvent();
        // Mostly while the engine takes them in: its unit open, records put, nothing committed.
        usleep(std::uniform_int_distribution<int>(0, 10000)(random));
        qm.kill9();
        ASSERT_NO_FATAL_FAILURE(restartAndReconnect());
    }
    // Taken in and committed, bounded for a loaded two-core machine.
    for (int waited = 0; waited < 120000 && !taken(kQmgrEvents); waited += 10) usleep(10000);
    ASSERT_EQ(depth(kQmgrEvents), 0);
    disconnect();
    ASSERT_EQ(connect(), 1) << logText();
    EXPECT_EQ(storedRecords(), static_cast<uint64_t>(put));
}

}  // namespace
