// The long kill -9 cycles of the real program in steady intake (with pairs, storms and commands), and
// of its queue managers, with and without a separate state queue manager: every event is stored
// exactly once. Long: left out of the default test runs (label "long"); the short cycles run in
// program_qm_test.cpp.
#include "program.h"

namespace {

class ProgramLongQmTest : public pt::ProgramQmTest {};

TEST_F(ProgramLongQmTest, TwoHundredKillCyclesStoreEachEventOnce) {
    takeMixTemplates();
    seed(stormsOfTen);
    killCycles(200, 1207, true);
}

TEST_F(ProgramLongQmTest, TwoHundredKillCyclesWithAStateQueueManagerStoreEachEventOnce) {
    takeMixTemplates();
    seed(stormsOfTen);
    useStateQueueManager(stormsOfTen);
    killCycles(200, 1208, true);
}

TEST_F(ProgramLongQmTest, FiftyQueueManagerKillCyclesStoreEachEventOnce) {
    qmKillCycles(50, 1209);
}

TEST_F(ProgramLongQmTest, FiftyStateQueueManagerKillCyclesStoreEachEventOnce) {
    useStateQueueManager();
    qmKillCycles(50, 1210);
}

}  // namespace
