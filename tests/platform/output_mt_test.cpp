// The script debugger's hold on the console: another thread's output waits until it is given back.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>
#include "testing/latch.h"

#include "platform/platform.h"
#include "testing/console_capture.h"

namespace {

TEST(ConsoleDebugMode, AnotherThreadsOutputWaitsUntilDebugModeEnds) {
    zt::ConsoleCapture console(false);
    evRunState.background.store(0);
    zt::Latch held(1);
    zt::Latch otherAboutToPrint(1);
    std::thread other([&] {
        held.wait();
        otherAboutToPrint.count_down();
        evOutput(EV_OUT_INFO, "other", -1, 0);
    });
    evConsoleDebugMode(1);
    evOutput(EV_OUT_INFO, "DBG> one", -1, 0);
    held.count_down();
    otherAboutToPrint.wait();
    evOutput(EV_OUT_INFO, "DBG> two", -1, 0);
    evOutput(EV_OUT_INFO, "DBG> three", -1, 0);
    evConsoleDebugMode(0);
    other.join();
    EXPECT_EQ(console.out(), "DBG> one\nDBG> two\nDBG> three\nother\n");
}

TEST(ConsoleDebugMode, OutputOfManyThreadsNeverInterleavesWithinALine) {
    zt::ConsoleCapture console(false);
    evRunState.background.store(0);
    constexpr int threads = 4, lines = 200;
    zt::Latch start(threads);
    std::vector<std::thread> writers;
    for (int t = 0; t < threads; t++) {
        writers.emplace_back([&, t] {
            start.arrive_and_wait();
            std::string text(40, static_cast<char>('a' + t));
            for (int i = 0; i < lines; i++) evOutput(EV_OUT_INFO, text.c_str(), -1, 0);
        });
    }
    for (auto &w : writers) w.join();
    std::string out = console.out();
    ASSERT_EQ(out.size(), static_cast<size_t>(threads * lines * 41));
    for (size_t i = 0; i < out.size(); i += 41) {
        EXPECT_EQ(out.substr(i, 40), std::string(40, out[i]));
        EXPECT_EQ(out[i + 40], '\n');
    }
}

}  // namespace
