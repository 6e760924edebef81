// Two callbacks that each suspend the other set: set E's emitter failure (which suspends set C to
// reload) and a set C callback that suspends set E. Whichever takes the suspension first wins; the
// other finds it busy, makes no MQCTL call and does not wait, so both callbacks return.
#include <condition_variable>
#include <future>
#include <mutex>
#include <thread>

#include "emit/internal.h"
#include "testing/testing.h"

namespace {

// The MQCTL SUSPEND of the first caller waits at the latch until the test opens it.
struct Latch {
    std::mutex mutex;
    std::condition_variable changed;
    bool entered = false;
    bool open = false;
};
Latch *gLatch = nullptr;

void latchedCtl(MQHCONN, MQLONG operation, PMQVOID, PMQLONG cc, PMQLONG rc) {
    *cc = MQCC_OK;
    *rc = 0;
    if (operation != MQOP_SUSPEND || gLatch == nullptr) return;
    std::unique_lock<std::mutex> lock(gLatch->mutex);
    gLatch->entered = true;
    gLatch->changed.notify_all();
    gLatch->changed.wait(lock, [] { return gLatch->open; });
}

class DeadlockTest : public ::testing::Test {
protected:
    void SetUp() override {
        table_.MQCTL = latchedCtl;
        evContext.event.mq = &table_;
        for (int id : {EV_SET_C, EV_SET_E}) {
            ConnectionSet *set = evSet(id);
            evResetHolds(set);
            set->consumerStarted.store(1);
            evConnHandles[set->eventSlot].store(-1);
            evConnHandles[set->stateSlot].store(-1);
            evConnHandles[set->notifySlot].store(-1);
        }
        evContext.restartMark.store(0);
        gLatch = &latch_;
    }
    void TearDown() override {
        gLatch = nullptr;
        for (int id : {EV_SET_C, EV_SET_E}) {
            evResetHolds(evSet(id));
            evSet(id)->consumerStarted.store(0);
        }
        evContext.event.mq = nullptr;
        evContext.restartMark.store(0);
    }
    void waitEntered() {
        std::unique_lock<std::mutex> lock(latch_.mutex);
        latch_.changed.wait(lock, [this] { return latch_.entered; });
    }
    void openLatch() {
        std::lock_guard<std::mutex> lock(latch_.mutex);
        latch_.open = true;
        latch_.changed.notify_all();
    }
    // Set E's failing emission, as its callback handles it.
    static int setEFailure() {
        evCallbackSet = evSet(EV_SET_E);
        EmitterDef emitter{};
        char error[EMIT_ERROR_MAX] = "";
        EmitContext c{};
        c.qmgrContext = &evContext;
        c.set = evSet(EV_SET_E);
        c.emitter = &emitter;
        c.errorText = error;
        const int result = emitHandleFailure(&c);
        evCallbackSet = nullptr;
        return c.replaced && result == EMIT_REPLACED ? result : -1;
    }
    // A set C callback that suspends set E and gives it back.
    static int setCSuspendsE() {
        evCallbackSet = evSet(EV_SET_C);
        const int held = evSuspendConsumer(&evContext, evSet(EV_SET_E));
        if (held == EV_SUSPEND_HELD) evResumeConsumer(&evContext, evSet(EV_SET_E));
        evCallbackSet = nullptr;
        return held;
    }

    MQIFunctionTable table_{};
    Latch latch_;
};

TEST_F(DeadlockTest, SetCFirstLeavesSetEBusyAndEndsTheConnection) {
    auto c = std::async(std::launch::async, setCSuspendsE);
    waitEntered();  // set C holds the suspension and waits in MQCTL
    EXPECT_EQ(setEFailure(), EMIT_REPLACED);
    EXPECT_EQ(evContext.restartMark.load(), 1)
        << "set E's failure ends the connection; the reconnect reloads";
    openLatch();
    EXPECT_EQ(c.get(), EV_SUSPEND_HELD);
}

TEST_F(DeadlockTest, SetEFirstLeavesSetCBusy) {
    auto e = std::async(std::launch::async, setEFailure);
    waitEntered();  // set E suspends set C for its reload
    EXPECT_EQ(setCSuspendsE(), EV_SUSPEND_BUSY);
    openLatch();
    EXPECT_EQ(e.get(), EMIT_REPLACED);
}

}  // namespace
