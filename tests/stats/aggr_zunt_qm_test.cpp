// Bins across kills of the program, a CI-sized run (the long run is aggr_zunt_long_qm_test.cpp).
#include "stats/aggr_zunt_qm.h"

using namespace agt;

TEST_F(AggrZuntQm, BinsSurviveKilledProgramsAndAreAbsorbedOnce) {
    runCycles(20);
}
