// The long kill -9 cycles of the real program in steady intake (with pairs, storms, commands and
// sweeps), at random moments and at each of its first MQI calls of many kinds, and of its queue
// managers, with and without a separate state queue manager: every event is stored exactly once.
// Long: left out of the default test runs (label "long"); the short cycles run in program_qm_test.cpp.
#include "program.h"

namespace {

class ProgramLongQmTest : public pt::ProgramQmTest {};

// The data queue filled while events flow, held for a minute: no busy loop, no flood of the log, and
// every event stored once after space is freed.
TEST_F(ProgramLongQmTest, AMinuteOfAFullDataQueueWhileEventsFlowCostsNothingAndLosesNothing) {
    fullDataQueue(60, true);
}

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

// The program killed by its own MQI table at each of the first eight calls of the commits, the
// suspensions, the blobs' removals and puts, and the puts of configuration, alerts, storms and (with a
// state queue manager) the seen lists, during the mixed flow.
const std::vector<std::string> kFamilies = {
    "MQCMIT@E_EVENT",   "MQCMIT@C_EVENT",   "MQBACK",  "MQCTL@E_EVENT", "MQGET@E_STATE#85",
    "MQPUT@E_STATE#85", "MQPUT@C_STATE#85", "MQPUT#1", "MQPUT#2",       "MQPUT#5"};

TEST_F(ProgramLongQmTest, KillsAtTheFirstCallsOfEachKindStoreEachEventOnce) {
    takeMixTemplates();
    seed(stormsOfTen);
    sweepKills(kFamilies, 8);
}

TEST_F(ProgramLongQmTest, KillsAtTheFirstCallsOfEachKindWithAStateQueueManagerStoreEachEventOnce) {
    takeMixTemplates();
    seed(stormsOfTen);
    useStateQueueManager(stormsOfTen);
    std::vector<std::string> families = kFamilies;
    families.insert(families.end(),
                    {"MQCMIT@E_STATE", "MQCMIT@C_STATE", "MQPUT@E_STATE#4", "MQPUT@C_STATE#3"});
    sweepKills(families, 8);
}

TEST_F(ProgramLongQmTest, FiftyQueueManagerKillCyclesStoreEachEventOnce) {
    qmKillCycles(50, 1209);
}

TEST_F(ProgramLongQmTest, FiftyStateQueueManagerKillCyclesStoreEachEventOnce) {
    useStateQueueManager();
    qmKillCycles(50, 1210);
}

}  // namespace
