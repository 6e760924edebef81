// Fuzz target: arbitrary bytes as an aggregation message read from the data queue. The load checks
// the whole layout before it folds anything, so any body is either loaded or refused without harm,
// and the bins it made go back to their pools.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "stats/stats.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

namespace {

// The state the seeds were made in: QM1 (string 1), then the names the seeds use, and one aggregating
// stream of each type (ids 1 to 5).
void setUpOnce() {
    static bool made = false;
    if (made) return;
    made = true;
    if (!evStringsInit(0) || !evStringsCreateStream()) std::abort();
    cfgInstall();
    if (!statsInstall()) std::abort();
    char text[EV_CONFIG_TEXT];
    QmgrEntry *qmgr = evQmgrFindOrAdd("QM1", 0, text);
    if (!qmgr) std::abort();
    for (const char *s : {"Q1", "Q2", "CH1", "QM2", "host", "app", "user"})
        (void)evStringIntern(1, 850, s, static_cast<uint32_t>(std::strlen(s)), 0, nullptr);
    const char *names[] = {"AGGQ", "AGGC", "AGGM", "AGGAQ", "AGGAM"};
    for (uint32_t type = STREAM_TYPE_STATQ; type <= STREAM_TYPE_ACCTMQI; type++) {
        StreamDef *def = evStreamDefine(names[type - STREAM_TYPE_STATQ], -1, type, 0, 0);
        if (!def || !evStreamCreate(qmgr, def)) std::abort();
        def->aggrInt = 3600;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > 1 << 20) return 0;
    setUpOnce();
    AggrWork work{};
    work.context = &evContext;
    uint8_t msgId[24] = {1};
    int loaded = evAggrMsgLoad(&work, data, static_cast<uint32_t>(size), msgId);
    if (loaded < 0) std::abort();  // storage does not run out here
    evAggrFreeAll(0);
    return 0;
}
