// Trace lines of several threads: each line is built whole and written under the log and console
// lock, so lines never interleave on the console or in the log.
#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>
#include <string>
#include <thread>
#include <vector>
#include "testing/latch.h"

#include "mqi/mqi.h"
#include "platform/platform.h"
#include "testing/console_capture.h"
#include "testing/testing.h"

namespace {

TEST(TraceThreads, LinesOfDifferentThreadsNeverInterleave) {
    zt::TempDir root;
    LogSettings saved;
    logGetSettings(&saved);
    LogSettings settings = saved;
    std::snprintf(settings.logPath, sizeof settings.logPath, "%s", root.path().c_str());
    logSetSettings(&settings);
    evDebugFlags.store(EV_DBG_A);
    constexpr int kThreads = 4;
    constexpr int kLines = 200;
    std::string out;
    {
        zt::ConsoleCapture console(false);
        zt::Latch start(kThreads);
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([&start, t] {
                std::string label = "MQGET(Thread" + std::to_string(t) + ")";
                start.arrive_and_wait();
                for (int i = 0; i < kLines; ++i) evTraceCallOut(label.c_str(), 0x100 + t, 0, i);
            });
        }
        for (std::thread &thread : threads) thread.join();
        out = console.out();
    }
    logClose();
    logSetSettings(&saved);
    evDebugFlags.store(0);

    std::istringstream lines(out);
    std::string line;
    int count = 0;
    while (std::getline(lines, line)) {
        ++count;
        int tid = 0, t = -1, hconn = 0, reason = -1;
        char tail = 0;
        ASSERT_EQ(std::sscanf(line.c_str(), "%6d OUT  HC(%8X) MQGET(Thread%d) RC(%d) %c", &tid, &hconn, &t,
                              &reason, &tail),
                  4)
            << line;
        EXPECT_EQ(hconn, 0x100 + t) << line;
        EXPECT_EQ(line.back(), ' ') << line;
    }
    EXPECT_EQ(count, kThreads * kLines);
    std::string logged;
    for (const std::string &name : root.list()) logged += root.read(name);
    size_t found = 0;
    for (size_t at = logged.find("OUT  HC("); at != std::string::npos; at = logged.find("OUT  HC(", at + 1))
        ++found;
    EXPECT_EQ(found, static_cast<size_t>(kThreads * kLines));
}

}  // namespace
