// The worker pool: posted items run in posting order on detached threads that are started one
// at a time when no worker is idle and stay until the program ends. The work-list lock is a
// leaf: items run, and the "z" trace lines are written, only after it is released.
#include <cerrno>
#include <condition_variable>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>

#include "platform/platform.h"

namespace {

// Auto-reset event: a signal wakes one waiter, or the next one to wait; signals do not add up.
class WakeEvent {
public:
    void signal() {
        {
            std::lock_guard<std::mutex> guard(mutex_);
            signalled_ = true;
        }
        cv_.notify_one();
    }
    void wait() {
        std::unique_lock<std::mutex> guard(mutex_);
        cv_.wait(guard, [this] { return signalled_; });
        signalled_ = false;
    }

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    bool signalled_ = false;
};

// Never destroyed: workers still wait on it while the process exits, and destroying a
// condition variable with waiters blocks the exit.
WakeEvent &wakeEvent() {
    alignas(WakeEvent) static unsigned char storage[sizeof(WakeEvent)];
    static WakeEvent *event = new (storage) WakeEvent;
    return *event;
}

// Work-list lock.
WorkItem *queueHead = nullptr;
int32_t workerCount = 0;
int64_t idleCount = 0;

std::atomic<void (*)(const WorkItem *)> dequeueHook{nullptr};

bool traceOn() {
    return (evDebugFlags.load() & EV_DBG_z) != 0;
}

void evWorkerThread() {
    CSLockRecursive(&gWorkListLock);
    int32_t count = ++workerCount;
    CSUnlockRecursive(&gWorkListLock);
    if (traceOn()) evOutputF(EV_OUT_TRACE, 1, "New Worker Thread Count=%d", count);

    CSLockRecursive(&gWorkListLock);
    for (;;) {
        if (queueHead == nullptr) {
            if (evEndFlag.load()) break;
            CSUnlockRecursive(&gWorkListLock);
            if (traceOn()) evOutput(EV_OUT_TRACE, "Worker Thread Waiting for work", -1, 1);
            wakeEvent().wait();
            if (traceOn()) evOutput(EV_OUT_TRACE, "Worker Thread Posted", -1, 1);
            CSLockRecursive(&gWorkListLock);
            continue;
        }
        WorkItem *item = queueHead;
        queueHead = item->next;
        idleCount--;
        if (auto hook = dequeueHook.load()) hook(item);
        // A long item must not hold up the rest of the queue.
        if (queueHead != nullptr) {
            if (idleCount > 0)
                wakeEvent().signal();
            else
                evWorkerStart();
        }
        CSUnlockRecursive(&gWorkListLock);
        item->function(item);
        CSFreeMem(item);
        CSLockRecursive(&gWorkListLock);
        idleCount++;
    }
    count = --workerCount;
    idleCount--;
    CSUnlockRecursive(&gWorkListLock);
    if (traceOn()) evOutputF(EV_OUT_TRACE, 1, "Worker Thread ending Count=%d", count);
}

}  // namespace

int32_t evWorkerStart() {
    CSRecursiveGuard guard(gWorkListLock);
    try {
        std::thread(evWorkerThread).detach();
    } catch (const std::system_error &failure) {
        errno = failure.code().value();
        return 2071;
    }
    idleCount++;
    return 0;
}

int32_t evWorkPost(const WorkItem *item) {
    auto *copy = static_cast<WorkItem *>(CSGetMem(sizeof(WorkItem)));
    if (copy == nullptr) return 2071;
    *copy = *item;
    copy->next = nullptr;

    CSLockRecursive(&gWorkListLock);
    WorkItem **tail = &queueHead;
    while (*tail != nullptr) tail = &(*tail)->next;
    *tail = copy;
    if (idleCount > 0) {
        CSUnlockRecursive(&gWorkListLock);
        wakeEvent().signal();
        return 0;
    }
    // A failed start leaves the item to the next worker that becomes free. Unlike the documented rule
    // (never reported), with no worker at all none ever would: the item is taken back and the failure
    // (errno set) is the caller's to report.
    if (evWorkerStart() != 0 && workerCount == 0) {
        const int error = errno;
        for (tail = &queueHead; *tail != copy;) tail = &(*tail)->next;
        *tail = nullptr;
        CSUnlockRecursive(&gWorkListLock);
        CSFreeMem(copy);
        errno = error;
        return 2071;
    }
    CSUnlockRecursive(&gWorkListLock);
    return 0;
}

int32_t evWorkBusy() {
    {
        CSRecursiveGuard guard(gWorkListLock);
        if (workerCount != 0 || idleCount != 0 || queueHead != nullptr) return 1;
    }
    for (const auto &handle : evConnHandles) {
        if (handle.load() != -1) return 1;
    }
    return 0;
}

void evWorkWake() {
    wakeEvent().signal();
}

void evWorkStats(int32_t *workers, int64_t *idle, const WorkItem **head) {
    CSRecursiveGuard guard(gWorkListLock);
    if (workers != nullptr) *workers = workerCount;
    if (idle != nullptr) *idle = idleCount;
    if (head != nullptr) *head = queueHead;
}

void evWorkSetDequeueHook(void (*hook)(const WorkItem *item)) {
    dequeueHook.store(hook);
}
