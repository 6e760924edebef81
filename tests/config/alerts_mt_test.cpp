// Fault 1: a publication suspends set C, and set C's running command may be waiting for the alert
// lock; so no publication may be sent while the lock is held. Each suspension here waits until
// another thread has taken and given back the alert lock, as that command would.
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "alerts_testing.h"

namespace {

using at::engine;

class AlertLockTest : public at::AlertTest {
protected:
    void SetUp() override {
        at::AlertTest::SetUp();
        engine().onSuspend = [this](int32_t set) {
            if (set != EV_SET_C) return;
            auto done = std::make_shared<bool>(false);
            commands_.emplace_back([this, done] {
                {
                    CSRecursiveGuard guard(gAlertLock);  // the command's DISPLAY EVALERT, say
                    (void)evAlertFind(0, "", 0, nullptr, 0, nullptr, 0, nullptr, 0, 0);
                }
                std::lock_guard<std::mutex> lock(mutex_);
                *done = true;
                cv_.notify_all();
            });
            std::unique_lock<std::mutex> lock(mutex_);
            if (!cv_.wait_for(lock, std::chrono::seconds(5), [&] { return *done; })) stuck_++;
        };
    }
    // The alerts committed (their publications go out), then the command threads joined once the
    // operation has returned (and let go of any lock).
    void finish() {
        at::committed();
        for (std::thread &t : commands_) t.join();
        commands_.clear();
    }
    std::vector<std::thread> commands_;
    std::mutex mutex_;
    std::condition_variable cv_;
    int stuck_ = 0;
};

TEST_F(AlertLockTest, AddReplaceRemoveAndLinkPublishWithoutTheAlertLock) {
    at::add({.text = "added"});
    finish();
    at::add({.text = "replacing", .category = "$DATAQHI"},
            EV_ALERT_PUBLISH | EV_ALERT_REPLACE | EV_ALERT_ANY_TEXT);
    at::add({.text = "replaced", .category = "$DATAQHI"},
            EV_ALERT_PUBLISH | EV_ALERT_REPLACE | EV_ALERT_ANY_TEXT);
    finish();
    EXPECT_EQ(evAlertRemoveMatching("added", -1, nullptr, 0, nullptr, 0, nullptr, 0, 0), 1);
    finish();
    cslEventFunctionFlag = 1;
    AlertTemplate t = at::make({.text = "hook"});
    t.alert.raisingEvent = 9;
    char text[EV_CONFIG_TEXT];
    ASSERT_EQ(evAlertAdd(&t.alert, EV_ALERT_PUBLISH, nullptr, text), 1);
    cslEventFunctionFlag = 0;
    char name[EV_CONFIG_TEXT];
    evAlertLinkRaised(9, evQmgrFindOrAdd("QM1", 0, name), 0, 3);
    finish();
    EXPECT_EQ(stuck_, 0);
    EXPECT_EQ(at::published(),
              (std::vector<std::string>{"9021 #1", "9021 #2", "9014 #2", "9021 #2", "9014 #1", "9021 #3"}));
}

}  // namespace
