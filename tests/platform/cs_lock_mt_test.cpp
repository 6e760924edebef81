// Threaded behaviour of the named locks: recursion, time-outs, releases by the wrong thread, and
// the lock order of the system's named locks (checked by ThreadSanitizer's lock-order detector).
#include <atomic>
#include <string>
#include <thread>
#include "testing/latch.h"

#include <gtest/gtest.h>

#include "platform/platform.h"
#include "testing/testing.h"

namespace {

std::atomic<int> trapCalls{0};
void countingTrapHook(const char *) {
    trapCalls++;
}

TEST(RecursiveLock, ThreeTakesNeedThreeReleasesBeforeAnotherThreadGetsIn) {
    CSRecursiveLock lock{"test"};
    std::atomic<int> stage{0};
    zt::Latch taken(1);
    std::atomic<bool> otherGotIn{false};
    std::thread other([&] {
        taken.wait();
        CSLockRecursive(&lock);
        otherGotIn = true;
        EXPECT_EQ(stage.load(), 3);
        CSUnlockRecursive(&lock);
    });
    ASSERT_EQ(CSLockRecursive(&lock), 1);
    ASSERT_EQ(CSLockRecursive(&lock), 1);
    ASSERT_EQ(CSLockRecursive(&lock), 1);
    EXPECT_EQ(CSRecursiveHeldCount(&lock), 3u);
    taken.count_down();
    stage = 1;
    CSUnlockRecursive(&lock);
    stage = 2;
    CSUnlockRecursive(&lock);
    EXPECT_FALSE(otherGotIn.load());  // still held once
    EXPECT_EQ(CSRecursiveHeldCount(&lock), 1u);
    stage = 3;
    CSUnlockRecursive(&lock);
    EXPECT_EQ(CSRecursiveHeldCount(&lock), 0u);
    other.join();
    EXPECT_TRUE(otherGotIn.load());
}

TEST(RecursiveLock, ReleaseByNonOwnerDoesNothing) {
    CSRecursiveLock lock{"test"};
    CSLockRecursive(&lock);
    CSLockRecursive(&lock);
    uint32_t owner = lock.owner.load();
    std::thread other([&] {
        CSUnlockRecursive(&lock);
        EXPECT_EQ(CSRecursiveHeldCount(&lock), 0u);
    });
    other.join();
    EXPECT_EQ(lock.owner.load(), owner);
    EXPECT_EQ(lock.count.load(), 2u);
    CSUnlockRecursive(&lock);
    CSUnlockRecursive(&lock);
    EXPECT_EQ(lock.count.load(), 0u);
    EXPECT_EQ(lock.owner.load(), 0u);
}

TEST(RecursiveLock, GuardReleasesOnScopeExitAndEarlyUnlock) {
    CSRecursiveLock lock{"test"};
    {
        CSRecursiveGuard outer(lock);
        {
            CSRecursiveGuard inner(lock);
            EXPECT_EQ(CSRecursiveHeldCount(&lock), 2u);
        }
        EXPECT_EQ(CSRecursiveHeldCount(&lock), 1u);
        outer.unlock();
        EXPECT_EQ(CSRecursiveHeldCount(&lock), 0u);
    }
    std::thread other([&] {
        CSRecursiveGuard g(lock);
        EXPECT_EQ(CSRecursiveHeldCount(&lock), 1u);
    });
    other.join();
}

TEST(TimedLock, TimeOutOnHeldLockReturns258AndLeavesOwnerAndCount) {
    CSLock lock{"test"};
    zt::Latch held(1), done(1);
    std::atomic<uint32_t> holder{0};
    std::thread owner([&] {
        EXPECT_EQ(CSLockIt(&lock, CS_INFINITE), 0u);
        EXPECT_EQ(CSLockIt(&lock, 10), 0u);  // the owner takes it again at once
        holder = csThreadId();
        held.count_down();
        done.wait();
        CSUnlockIt(&lock);
        CSUnlockIt(&lock);
    });
    held.wait();
    EXPECT_EQ(CSLockIt(&lock, 10), CS_WAIT_TIMEOUT);
    EXPECT_EQ(lock.owner.load(), holder.load());
    EXPECT_EQ(lock.count.load(), 2u);
    done.count_down();
    owner.join();
    EXPECT_EQ(CSLockIt(&lock, 10), 0u);
    EXPECT_EQ(lock.owner.load(), csThreadId());
    CSUnlockIt(&lock);
    EXPECT_EQ(lock.owner.load(), 0u);
}

TEST(TimedLock, UnlockWithoutHoldingCallsTrapHookAndChangesNothing) {
    zt::TempDir dir;
    zt::ScopedEnv tmp("TMPDIR", dir.path().c_str());
    CSTrapHook old = CSSetTrapHook(countingTrapHook);
    trapCalls = 0;
    CSLock lock{"test"};
    CSUnlockIt(&lock);
    EXPECT_EQ(trapCalls.load(), 1);
#ifndef _WIN32  // Windows' trap file has one fixed path, outside the test's folder
    EXPECT_NE(dir.read("cstrap.txt").find("value 0"), std::string::npos);
#endif

    // Held by another thread: this thread's release is refused too.
    zt::Latch held(1), done(1);
    std::thread owner([&] {
        CSLockIt(&lock, CS_INFINITE);
        held.count_down();
        done.wait();
        CSUnlockIt(&lock);
    });
    held.wait();
    CSUnlockIt(&lock);
    EXPECT_EQ(trapCalls.load(), 2);
    EXPECT_EQ(lock.count.load(), 1u);
    done.count_down();
    owner.join();
    EXPECT_EQ(trapCalls.load(), 2);
    CSSetTrapHook(old);
}

TEST(NamedLocks, TakenInTheSystemOrderFromSeveralThreads) {
    // Every thread nests the named locks in the documented order; ThreadSanitizer reports any
    // inversion between these and other tests' acquisitions.
    CSRecursiveLock *order[] = {&gScriptLock,    &gConsumerLock, &gAlertLock,
                                &gStructureLock, &gStatusLock,   &gLogConsoleLock};
    std::atomic<int> total{0};
    zt::Latch start(4);
    auto work = [&] {
        start.arrive_and_wait();
        for (int round = 0; round < 200; round++) {
            for (auto *lock : order) CSLockRecursive(lock);
            CSLockMemory();
            total++;
            CSUnlockIt();
            for (int i = 5; i >= 0; i--) CSUnlockRecursive(order[i]);
            CSRecursiveGuard leaf(gWorkListLock);
        }
    };
    std::thread a(work), b(work), c(work), d(work);
    a.join();
    b.join();
    c.join();
    d.join();
    EXPECT_EQ(total.load(), 800);
    for (auto *lock : order) EXPECT_EQ(lock->count.load(), 0u);
}

TEST(Heap, CountersStayExactUnderConcurrentUse) {
    CSMemCounts before = CSMemCounters();
    zt::Latch start(4);
    auto work = [&] {
        start.arrive_and_wait();
        for (int i = 0; i < 500; i++) {
            void *p = CSGetMem(static_cast<uint64_t>(i));
            ASSERT_NE(p, nullptr);
            CSFreeMem(p);
        }
    };
    std::thread a(work), b(work), c(work), d(work);
    a.join();
    b.join();
    c.join();
    d.join();
    CSMemCounts after = CSMemCounters();
    EXPECT_EQ(after.blocks, before.blocks);
    EXPECT_EQ(after.bytes, before.bytes);
    EXPECT_EQ(after.allocations, before.allocations + 2000);
}

}  // namespace
