// The long kill -9 cycles of the real program in steady intake, with and without a separate state
// queue manager: every event is stored exactly once. Long: left out of the default test runs (label
// "long"); the short cycles run in program_qm_test.cpp.
#include "program.h"

namespace {

class ProgramLongQmTest : public pt::ProgramQmTest {};

TEST_F(ProgramLongQmTest, TwoHundredKillCyclesStoreEachEventOnce) {
    killCycles(200, 1207);
}

TEST_F(ProgramLongQmTest, TwoHundredKillCyclesWithAStateQueueManagerStoreEachEventOnce) {
    useStateQueueManager();
    killCycles(200, 1208);
}

}  // namespace
