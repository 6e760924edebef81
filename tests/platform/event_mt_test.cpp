// Auto-reset events and threads: a wait times out by the test clock's time, a set releases one
// wait, and a thread started joinable is waited for.
#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

#include "platform/platform.h"
#include "testing/testing.h"

namespace {

struct Waiter {
    CSEvent *event;
    uint32_t timeoutMs;
    std::atomic<uint32_t> result{0xFFFF};
};

void waitBody(void *argument) {
    auto *waiter = static_cast<Waiter *>(argument);
    waiter->result.store(CSWaitEvent(waiter->event, waiter->timeoutMs));
}

bool waitUntil(const std::function<bool()> &condition) {
    for (int i = 0; i < 500 && !condition(); i++) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return condition();
}

TEST(Event, AWaitTimesOutAtTheTestClocksTime) {
    zt::TestClock clock;
    CSEvent *event = CSCreateEvent();
    ASSERT_NE(event, nullptr);
    Waiter waiter{event, 5000};
    CSThread *thread = nullptr;
    ASSERT_EQ(CSStartThread(waitBody, &waiter, &thread), 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    clock.advanceMs(4000);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(waiter.result.load(), 0xFFFFu);  // real time alone never ends it
    clock.advanceMs(1000);
    EXPECT_TRUE(waitUntil([&] { return waiter.result.load() == CS_WAIT_TIMEOUT; }));
    CSJoinThread(thread, CS_INFINITE);
    CSCloseEvent(event);
}

TEST(Event, ASetEventReturnsAtOnceAndResets) {
    zt::TestClock clock;
    CSEvent *event = CSCreateEvent();
    CSSetEvent(event);
    CSSetEvent(event);  // not counted: one signal
    const int64_t before = clock.nowMs();
    EXPECT_EQ(CSWaitEvent(event, 7200000), CS_WAIT_OBJECT_0);
    EXPECT_EQ(CSWaitEvent(event, 0), CS_WAIT_TIMEOUT);
    EXPECT_EQ(clock.nowMs(), before);  // a wait never moves the clock
    CSCloseEvent(event);
}

TEST(Event, OneSetWakesOneOfTwoWaits) {
    CSEvent *event = CSCreateEvent();
    Waiter first{event, 3000}, second{event, 3000};
    CSThread *a = nullptr, *b = nullptr;
    ASSERT_EQ(CSStartThread(waitBody, &first, &a), 1);
    ASSERT_EQ(CSStartThread(waitBody, &second, &b), 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    CSSetEvent(event);
    EXPECT_TRUE(waitUntil([&] { return first.result.load() == 0 || second.result.load() == 0; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ((first.result.load() == 0) + (second.result.load() == 0), 1);
    CSSetEvent(event);
    CSJoinThread(a, CS_INFINITE);
    CSJoinThread(b, CS_INFINITE);
    EXPECT_EQ(first.result.load(), CS_WAIT_OBJECT_0);
    EXPECT_EQ(second.result.load(), CS_WAIT_OBJECT_0);
    CSCloseEvent(event);
}

}  // namespace
