// Exactly once while stream-changing commands and events arrive and the queue manager is killed: a
// short run for every build (the long run is change_killcycle_long_qm_test).
#include <map>

#include "killcycle.h"

namespace {

class ChangeKillCycleQmTest : public kc::CommandKillCycleTest {};

TEST_F(ChangeKillCycleQmTest, EveryEventIsStoredOnceWhileCommandsChangeStreams) {
    runCycles(20);
}

}  // namespace
