// The console's output list under a foreach: a reply of N objects' lines (N = 1,000, 10,000, 20,000)
// is kept while the loop runs, and each pass adds a hidden statement echo that is dropped after the
// kept lines once the list is over its limit. The figure is the time per added line, which must not
// grow with N (a loop over N objects linear in N); it grew with N when each added line walked the
// kept reply.
#include <benchmark/benchmark.h>

#include "console/console.h"

namespace {

void foreachOverAKeptReply(benchmark::State &state) {
    const auto kept = static_cast<int>(state.range(0));
    int64_t tag = 0;
    if (cslCreateSession(&tag) != 0 || gSession.load() == nullptr) {
        state.SkipWithError("no console session");
        return;
    }
    cslSession *s = gSession.load();
    s->history = 200;
    s->modeFlags &= ~CSL_MODE_FILE;  // nothing goes to standard output: the list is what is measured
    cslOutputList *list = cslMainList(s);
    cslOutputLine *echo = cslAddOutput(s, list, nullptr, "foreach (DISPLAY QLOCAL(*))", -1, CSL_LINE_ECHO, 1);
    if (echo == nullptr) {
        state.SkipWithError("no echo line");
    } else {
        echo->flags |= CSL_SHOW_SCRIPT_HELD;
        for (int i = 0; i < kept; i++)
            cslAddOutput(s, list, nullptr, "QUEUE(Q) TYPE(QLOCAL)", -1, CSL_LINE_RESPONSE, 1);
        for (auto _ : state)
            cslAddOutput(s, list, nullptr, "@n = @n + 1", -1, CSL_LINE_ECHO | CSL_LINE_HIDDEN, 2);
        state.SetItemsProcessed(state.iterations());
        state.counters["lines"] = static_cast<double>(list->lines);  // the kept reply and a few more
        echo->flags &= ~CSL_SHOW_SCRIPT_HELD;
    }
    cslEndSession();
}

BENCHMARK(foreachOverAKeptReply)->Arg(1000)->Arg(10000)->Arg(20000)->Unit(benchmark::kMicrosecond);

}  // namespace
