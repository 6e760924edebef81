// Exactly once while stream-changing commands and events arrive and the queue manager is killed:
// the long run (label "long").
#include <map>

#include "killcycle.h"

namespace {

class ChangeKillCycleLongQmTest : public kc::CommandKillCycleTest {};

TEST_F(ChangeKillCycleLongQmTest, EveryEventIsStoredOnceWhileCommandsChangeStreams) {
    runCycles(200);
}

}  // namespace
