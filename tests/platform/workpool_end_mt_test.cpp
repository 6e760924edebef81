// The worker pool at the end of the program: once the end flag is set, the queued items still
// all run, then the woken workers end and the pool reports quiet when no connection is left.
// The end flag is never cleared, so this runs in an executable of its own.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include "testing/latch.h"

#include "platform/platform.h"

namespace {

std::atomic<int> ran{0};

TEST(WorkPoolEnding, QueuedItemsAllRunBeforeTheWorkersEndAndBusyFollowsTheHandles) {
    CSMemCounts before = CSMemCounters();
    evConnHandles[EV_CONN_C_STATEN].store(7);
    static zt::Latch *gate;
    zt::Latch gateLatch(1);
    gate = &gateLatch;
    WorkItem blocker = {nullptr, [](WorkItem *) { gate->wait(); }, nullptr};
    WorkItem counted = {nullptr, [](WorkItem *) { ran.fetch_add(1); }, nullptr};
    ASSERT_EQ(evWorkPost(&blocker), 0);
    for (int i = 0; i < 3; i++) ASSERT_EQ(evWorkPost(&counted), 0);
    evEndFlag.store(1);
    gateLatch.count_down();

    // The shutdown loop: wake the workers until none is left.
    int32_t workers = 1;
    int64_t idle = 1;
    const WorkItem *head = nullptr;
    while (workers != 0 || idle != 0 || head != nullptr) {
        evWorkWake();
        std::this_thread::yield();
        evWorkStats(&workers, &idle, &head);
    }
    EXPECT_EQ(ran.load(), 3);
    EXPECT_EQ(CSMemCounters().blocks, before.blocks);  // every copy freed
    EXPECT_EQ(evWorkBusy(), 1);                        // a connection handle is still set
    evConnHandles[EV_CONN_C_STATEN].store(-1);
    EXPECT_EQ(evWorkBusy(), 0);
}

}  // namespace
