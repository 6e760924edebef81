// The field tables are completed once however many threads ask first: one trace, and every row
// complete when any caller returns.
#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "config/config.h"
#include "testing/testing.h"

namespace {

size_t count(const std::string &text, const std::string &what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

TEST(FieldsRace, FourThreadsCompleteTheTablesOnceWithOneTrace) {
    evDebugOptions.store(EV_OPT_d);
    ::testing::internal::CaptureStderr();
    std::atomic<int> ready{0};
    std::atomic<int> incomplete{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; ++i)
        threads.emplace_back([&] {
            ready.fetch_add(1);
            while (ready.load() < 4) std::this_thread::yield();
            InitialiseCommandFields();
            // Whoever returns sees every row complete.
            for (const evCommandDef *c = evCommandTable; c->verb; ++c)
                if (c->parms[0].keywordLength != std::strlen(c->parms[0].keyword)) incomplete.fetch_add(1);
        });
    for (auto &t : threads) t.join();
    const std::string trace = ::testing::internal::GetCapturedStderr();
    evDebugOptions.store(0);

    EXPECT_EQ(incomplete.load(), 0);
    EXPECT_EQ(evFieldsInitialised.load(), 1);
    EXPECT_EQ(count(trace, "InitialiseCommandFields\n"), 1u);
    EXPECT_EQ(count(trace, "InitialiseCommandFields (Return)\n"), 1u);
    EXPECT_EQ(count(trace, "Command - "), static_cast<size_t>(EV_COMMAND_COUNT));
    EXPECT_EQ(trace.rfind("InitialiseCommandFields\nCommand - DISPLAY EVENTS\nCommand - COPY EVSTRMST\n", 0),
              0u);
}

}  // namespace
