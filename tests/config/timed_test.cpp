// The timed work list and alert expiry: order of due items, the script's hook, the suspension of
// both sets around the removal, and what a removal or a memory drop during the hook may do.
#include <string>
#include <vector>

#include "alerts_testing.h"

namespace {

using at::add;
using at::AlertSample;
using at::engine;
using at::listed;
using at::published;
using at::topic;
using Lines = std::vector<std::string>;

class TimedTest : public at::AlertTest {
protected:
    // Runs the list at that time.
    void runAt(int64_t time) {
        clock_.set(time);
        evTimedItemRun();
    }
    static constexpr int64_t kNow = 1767225600;
};

std::vector<int32_t> &ran() {
    static std::vector<int32_t> r;
    return r;
}

// A storm item whose four extra bytes carry a number for the check to note.
void scheduleNumbered(int64_t due, int32_t number) {
    struct {
        evTimedItem item;
        int32_t number;
    } item{};
    item.item.kind = EV_TIMED_STORM;
    item.item.due = due;
    item.item.extraLength = 4;
    item.number = number;
    ASSERT_EQ(evTimedItemSchedule(&item.item, 1), 1);
}

TEST_F(TimedTest, ItemsRunByDueTimeAndEqualTimesInTheOrderScheduled) {
    ran().clear();
    cfgEngine.stormCheck = [](evTimedItem *item) {
        int32_t n;
        std::memcpy(&n, evTimedItemExtra(item), 4);
        ran().push_back(n);
    };
    scheduleNumbered(kNow + 20, 0);
    scheduleNumbered(kNow + 10, 1);
    scheduleNumbered(kNow + 20, 2);
    scheduleNumbered(kNow + 10, 3);
    runAt(kNow + 9);
    EXPECT_TRUE(ran().empty());
    runAt(kNow + 20);
    EXPECT_EQ(ran(), (std::vector<int32_t>{1, 3, 0, 2}));
    EXPECT_EQ(evTimedItemList, nullptr);  // each freed after its check
}

TEST_F(TimedTest, AnAlertExpiresAtItsTimePlusRetentionAfterOneHookCallUnlessSystem) {
    struct Case {
        const char *category;
        Lines calls;
    };
    const Case cases[] = {
        {"CUSTOM", {"hook 1", "suspend C", "suspend E", "resume E", "resume C"}},
        {"$STORM", {"suspend C", "suspend E", "resume E", "resume C"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.category);
        engine() = at::Engine{};
        topic() = at::Topic{};
        evAlertFreeAll();
        add({.time = kNow - 100, .category = c.category, .retention = 300});
        at::committed();
        engine().calls.clear();
        topic().puts.clear();
        runAt(kNow + 199);
        EXPECT_EQ(listed().size(), 1u);
        EXPECT_TRUE(engine().calls.empty());
        runAt(kNow + 200);
        EXPECT_TRUE(listed().empty());
        // The publication of the removal waits for the commit that keeps it.
        EXPECT_EQ(engine().calls, c.calls);
        EXPECT_EQ(published(), (Lines{"9014 #1"}));
        EXPECT_EQ(evAlertCount.load(), 0u);
        EXPECT_EQ(at::expiryItems(), 0u);
    }
}

TEST_F(TimedTest, TheScriptsEndRequestSetsTheEndFlag) {
    engine().hook = [](AlertDef *) { return 1; };
    add({.time = kNow, .retention = 1});
    runAt(kNow + 1);
    EXPECT_EQ(evEndFlag.load(), 1);
    EXPECT_TRUE(listed().empty());
}

// Fault 3: the alert leaves expiry only once both sets are suspended, under the alert lock.
TEST_F(TimedTest, RemoveDuringTheHookLeavesTheAlertToItsExpiry) {
    engine().hook = [](AlertDef *alert) {
        EXPECT_EQ(evAlertRemoveMatching("", 0, nullptr, 0, nullptr, 0, nullptr, 0, 0), 0);
        EXPECT_EQ(evAlertRemove(alert, 1, 1), 0);
        return 0;
    };
    // Nor while the expiry suspends the sets: the alert leaves expiry only after both are held.
    engine().onSuspend = [](int32_t set) {
        if (set == EV_SET_E) {
            EXPECT_EQ(evAlertRemoveMatching("x", -1, nullptr, 0, nullptr, 0, nullptr, 0, 0), 0);
        }
    };
    add({.time = kNow, .text = "x", .retention = 10});
    runAt(kNow + 10);
    EXPECT_TRUE(listed().empty());
    EXPECT_EQ(published(), (Lines{"9021 #1", "9014 #1"}));
}

// Fault 4: a memory drop during the hook leaves the alert readable; afterwards it is freed without
// being removed again or published.
TEST_F(TimedTest, AMemoryDropDuringTheHookLeavesTheAlertToItsThread) {
    engine().hook = [](AlertDef *alert) {
        evAlertFreeAll();
        EXPECT_STREQ(alert->text, "still here");  // read after the drop (ASan would object)
        return 0;
    };
    add({.time = kNow, .text = "still here", .retention = 10});
    ct::changeLines().clear();
    topic().puts.clear();
    runAt(kNow + 10);
    EXPECT_TRUE(listed().empty());
    EXPECT_TRUE(topic().puts.empty());
    EXPECT_TRUE(ct::changeLines().empty());
    EXPECT_EQ(evAlertCount.load(), 0u);
}

// Fault 4: the drop takes the expiry items with it, so no stale item can expire a later alert (at a
// reused address perhaps), and a reload schedules each alert once.
TEST_F(TimedTest, DroppedAlertsLeaveNoExpiryItems) {
    add({.time = kNow, .text = "old", .retention = 10});
    evAlertFreeAll();
    EXPECT_EQ(at::expiryItems(), 0u);
    add({.time = kNow, .text = "new", .retention = 1000});
    runAt(kNow + 10);
    EXPECT_EQ(listed(), Lines{"1:new"});
    EXPECT_EQ(at::expiryItems(), 1u);
}

TEST_F(TimedTest, ABusySuspensionPutsTheExpiryOffWithoutASecondHookCall) {
    add({.time = kNow, .text = "later", .retention = 10});
    engine().calls.clear();
    engine().suspendResult[EV_SET_E] = EV_SUSPEND_BUSY;
    runAt(kNow + 10);
    EXPECT_EQ(listed().size(), 1u);
    EXPECT_EQ(engine().calls, (Lines{"hook 1", "suspend C", "suspend E", "resume C"}));
    EXPECT_EQ(evAlertList->inExpiry, 0u);  // REMOVE EVALERT may take it meanwhile

    engine().calls.clear();
    engine().suspendResult[EV_SET_E] = EV_SUSPEND_NOT_STARTED;
    runAt(kNow + 11);
    EXPECT_TRUE(listed().empty());
    EXPECT_EQ(engine().calls, (Lines{"suspend C", "suspend E", "resume C"}));
}

}  // namespace
