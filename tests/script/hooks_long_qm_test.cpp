// Long runs of the start-up script's hooks in the real program on the stand-in queue manager: kills
// amid slow batches with the default backout threshold, as an administrator's hook makes them.
#include <string>
#include <vector>

#include "../engine/program.h"
#include "hooks_testing.h"

namespace {

class HookLongQmTest : public pt::ProgramQmTest {};

// 2,000 events waiting, BOTHRESH(5) and ten kills of each kind amid the batches.
TEST_F(HookLongQmTest, TenKillsAmidSlowBatchesStoreEachEventOnce) {
    if (!pt::kKillsSound) GTEST_SKIP() << "kills of the program under wine (program.h)";
    dir.write("hook.vdr", ht::script("", {{"ZUNTEvent", pt::kSlowHook}}));
    std::vector<std::string> options = runOptions();
    options.insert(options.end(), {"-f", dir.file("hook.vdr")});
    for (bool queueManager : {false, true}) {
        SCOPED_TRACE(queueManager ? "the queue manager killed" : "the program killed");
        slowBatchKills(options, 2000, 5, 10, queueManager);
    }
}

}  // namespace
