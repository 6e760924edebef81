// The worker pool while the program runs: posting order, workers started on demand, items that
// block or post further items. (Ending the pool is in workpool_end_mt_test.)
#include <gtest/gtest.h>

#include <atomic>
#include "testing/latch.h"

#include "platform/platform.h"

namespace {

// Arguments in the order the workers took their items off the queue.
std::atomic<int> dequeued{0};
std::atomic<intptr_t> dequeueOrder[64];

void recordDequeue(const WorkItem *item) {
    int i = dequeued.fetch_add(1);
    if (i < 64) dequeueOrder[i].store(reinterpret_cast<intptr_t>(item->argument));
}

struct Step {
    zt::Latch *done;
    zt::Latch *gate;  // waited for before counting down, when set
};

void runStep(WorkItem *item) {
    auto *step = static_cast<Step *>(item->argument);
    if (step->gate != nullptr) step->gate->wait();
    step->done->count_down();
}

class WorkPoolTest : public ::testing::Test {
protected:
    WorkPoolTest() {
        dequeued.store(0);
        evWorkSetDequeueHook(recordDequeue);
    }
    ~WorkPoolTest() override { evWorkSetDequeueHook(nullptr); }
};

TEST_F(WorkPoolTest, TwoQuickPostsBothRunAndAreTakenInPostingOrder) {
    zt::Latch done(2);
    Step first = {&done, nullptr}, second = {&done, nullptr};
    WorkItem a = {nullptr, runStep, &first}, b = {nullptr, runStep, &second};
    ASSERT_EQ(evWorkPost(&a), 0);
    ASSERT_EQ(evWorkPost(&b), 0);
    done.wait();
    ASSERT_EQ(dequeued.load(), 2);
    EXPECT_EQ(dequeueOrder[0].load(), reinterpret_cast<intptr_t>(&first));
    EXPECT_EQ(dequeueOrder[1].load(), reinterpret_cast<intptr_t>(&second));
    int32_t workers = 0;
    int64_t idle = 0;
    const WorkItem *head = nullptr;
    evWorkStats(&workers, &idle, &head);
    EXPECT_EQ(head, nullptr);
    EXPECT_LE(idle, 2);
    EXPECT_EQ(evWorkBusy(), 1);  // workers stay until the program ends
}

TEST_F(WorkPoolTest, ABlockedItemDoesNotHoldUpTheNextOne) {
    zt::Latch gate(1), firstDone(1), secondDone(1);
    Step blocked = {&firstDone, &gate}, next = {&secondDone, nullptr};
    WorkItem a = {nullptr, runStep, &blocked}, b = {nullptr, runStep, &next};
    ASSERT_EQ(evWorkPost(&a), 0);
    ASSERT_EQ(evWorkPost(&b), 0);
    secondDone.wait();  // ran while the first still waits at its gate
    gate.count_down();
    firstDone.wait();
    EXPECT_EQ(dequeueOrder[0].load(), reinterpret_cast<intptr_t>(&blocked));
}

TEST_F(WorkPoolTest, ManyPostsAreTakenInPostingOrder) {
    constexpr int count = 50;
    zt::Latch done(count);
    Step steps[count];
    for (int i = 0; i < count; i++) {
        steps[i] = {&done, nullptr};
        WorkItem item = {nullptr, runStep, &steps[i]};
        ASSERT_EQ(evWorkPost(&item), 0);
    }
    done.wait();
    ASSERT_EQ(dequeued.load(), count);
    for (int i = 0; i < count; i++) EXPECT_EQ(dequeueOrder[i].load(), reinterpret_cast<intptr_t>(&steps[i]));
}

struct Chain {
    zt::Latch *done;
    int remaining;
};

void runChain(WorkItem *item) {
    auto *chain = static_cast<Chain *>(item->argument);
    if (--chain->remaining > 0) {
        WorkItem next = {nullptr, runChain, chain};  // a local: the pool copies it
        if (evWorkPost(&next) != 0) ADD_FAILURE() << "post from an item failed";
    }
    chain->done->count_down();
}

TEST_F(WorkPoolTest, AnItemMayPostFurtherItemsFromALocal) {
    zt::Latch done(5);
    Chain chain = {&done, 5};
    WorkItem first = {nullptr, runChain, &chain};
    ASSERT_EQ(evWorkPost(&first), 0);
    first.argument = nullptr;  // the pool works on its own copy
    done.wait();
    EXPECT_EQ(chain.remaining, 0);
}

TEST_F(WorkPoolTest, TheFunctionGetsThePoolsCopyWithTheCallersArgument) {
    static std::atomic<const WorkItem *> seen{nullptr};
    static zt::Latch *doneLatch = nullptr;
    zt::Latch done(1);
    doneLatch = &done;
    int marker = 7;
    WorkItem item = {nullptr,
                     [](WorkItem *copy) {
                         seen.store(copy);
                         if (*static_cast<int *>(copy->argument) != 7) ADD_FAILURE() << "argument lost";
                         doneLatch->count_down();
                     },
                     &marker};
    ASSERT_EQ(evWorkPost(&item), 0);
    done.wait();
    EXPECT_NE(seen.load(), &item);
}

}  // namespace
