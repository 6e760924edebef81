// Bins across kills of the program, the long run (label "long").
#include "stats/aggr_zunt_qm.h"

using namespace agt;

TEST_F(AggrZuntQm, BinsSurviveTwoHundredKilledProgramsAndAreAbsorbedOnce) {
    runCycles(200);
}
