// Pooled areas shared by threads: every area is held by one user at a time, and the pool ends
// up holding every area that was made.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>
#include "testing/latch.h"

#include "platform/platform.h"
#include "testing/testing.h"

namespace {

TEST(AreaThreads, ConcurrentUsersNeverShareAnAreaAndThePoolKeepsThemAll) {
    AreaFreePool();
    CSMemCounts before = CSMemCounters();
    zt::Latch start(4);
    std::atomic<int> clashes{0};
    auto work = [&](unsigned char mark) {
        start.arrive_and_wait();
        for (int i = 0; i < 300; i++) {
            Area *area = AreaGet(static_cast<uint32_t>(1000 + (i % 3) * 4096), 64, "TEST");
            ASSERT_NE(area, nullptr);
            std::memset(AreaData(area), mark, 64);
            std::this_thread::yield();
            for (int b = 0; b < 64; b++)
                if (AreaData(area)[b] != mark) clashes++;
            AreaRelease(&area);
        }
    };
    std::thread a(work, 1), b(work, 2), c(work, 3), d(work, 4);
    a.join();
    b.join();
    c.join();
    d.join();
    EXPECT_EQ(clashes.load(), 0);
    CSMemCounts pooled = CSMemCounters();
    EXPECT_LE(pooled.blocks - before.blocks, 12);  // reuse: at most one area per thread and size
    AreaFreePool();
    EXPECT_EQ(CSMemCounters().blocks, before.blocks);
}

}  // namespace
