// The layer's timed lock (CSLock) and the recursive named locks of the system. Both keep an
// owner thread id and a recursion count, so that the owner may take them again without a
// system call, and a release by anyone but the owner is caught.
#ifndef _WIN32
#include <pthread.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>
#endif

#include <cerrno>

#include "platform/cs.h"

constinit CSLock gMemoryLock{"memory"};
constinit CSRecursiveLock gScriptLock{"script"};
constinit CSRecursiveLock gConsumerLock{"consumer"};
constinit CSRecursiveLock gAlertLock{"alert"};
constinit CSRecursiveLock gStructureLock{"structure"};
constinit CSRecursiveLock gStatusLock{"status"};
constinit CSRecursiveLock gLogConsoleLock{"log-and-console"};
constinit CSRecursiveLock gWorkListLock{"work-list"};

#ifndef _WIN32  // Windows: cs_lock_win.cpp
uint32_t csThreadId() {
    static thread_local uint32_t id = static_cast<uint32_t>(syscall(SYS_gettid));
    return id;
}
#endif

uint32_t CSLockIt(CSLock *lock, uint32_t timeoutMs) {
    uint32_t self = csThreadId();
    bool trace = CSTraceOn();
    if (trace) {
        CSTrace(1, "--> %s\n", "CSLockIt");
        uint32_t owner = lock->owner.load(std::memory_order_relaxed);
        CSTrace(1, "     LOCK(%p) OWNER(%u) CNT(%u) %s\n", static_cast<void *>(lock), owner,
                lock->count.load(std::memory_order_relaxed), owner != 0 && owner != self ? "WAIT" : "");
    }
    uint32_t result = CS_WAIT_OBJECT_0;
    // Only the owner can see its own id here, so this test needs no lock.
    if (lock->owner.load(std::memory_order_relaxed) == self &&
        lock->count.load(std::memory_order_relaxed) > 0) {
        lock->count.fetch_add(1, std::memory_order_relaxed);
    } else {
        bool taken, failed = false;
        if (timeoutMs == CS_INFINITE) {
            lock->mutex.lock();
            taken = true;
        } else {
#ifdef _WIN32
            taken = lock->mutex.tryLockFor(timeoutMs);
#else
            // pthread_mutex_timedlock directly: ThreadSanitizer follows it, not the clock-based
            // wait behind std::timed_mutex::try_lock_for.
            timespec deadline{};
            clock_gettime(CLOCK_REALTIME, &deadline);
            deadline.tv_sec += timeoutMs / 1000;
            deadline.tv_nsec += static_cast<long>(timeoutMs % 1000) * 1000000L;
            if (deadline.tv_nsec >= 1000000000L) {
                deadline.tv_sec++;
                deadline.tv_nsec -= 1000000000L;
            }
            int rc = pthread_mutex_timedlock(lock->mutex.native_handle(), &deadline);
            taken = rc == 0;
            if (rc != 0 && rc != ETIMEDOUT) failed = true;
#endif
        }
        if (taken) {
            lock->owner.store(self, std::memory_order_relaxed);
            lock->count.store(1, std::memory_order_relaxed);
        } else {
            result = failed ? CS_WAIT_FAILED : CS_WAIT_TIMEOUT;
        }
    }
    if (trace) {
        CSTrace(1, "     LOCK(%p) OWNER(%u) CNT(%u)\n", static_cast<void *>(lock),
                lock->owner.load(std::memory_order_relaxed), lock->count.load(std::memory_order_relaxed));
        CSTrace(1, "<-- %s RC(0x%8.8X)\n", "CSLockIt", result);
    }
    return result;
}

void CSUnlockIt(CSLock *lock) {
    bool trace = CSTraceOn();
    if (trace) CSTrace(1, "--> %s\n", "CSUnlockIt");
    uint32_t count = lock->count.load(std::memory_order_relaxed);
    if (count == 0 || lock->owner.load(std::memory_order_relaxed) != csThreadId()) {
        CS_TRAP(static_cast<int32_t>(count));
    } else {
        count--;
        lock->count.store(count, std::memory_order_relaxed);
        if (count == 0) {
            lock->owner.store(0, std::memory_order_relaxed);
            lock->mutex.unlock();
        }
    }
    if (trace) {
        CSTrace(1, "     LOCK(%p) OWNER(%u) CNT(%u)\n", static_cast<void *>(lock),
                lock->owner.load(std::memory_order_relaxed), lock->count.load(std::memory_order_relaxed));
        CSTrace(1, "<-- %s RC(0x%8.8X)\n", "CSUnlockIt", 0u);
    }
}

void CSLockMemory() {
    CSLockIt(&gMemoryLock, CS_INFINITE);
}

void CSUnlockIt() {
    CSUnlockIt(&gMemoryLock);
}

int CSLockRecursive(CSRecursiveLock *lock) {
    uint32_t self = csThreadId();
    if (lock->owner.load(std::memory_order_relaxed) == self &&
        lock->count.load(std::memory_order_relaxed) > 0) {
        lock->count.fetch_add(1, std::memory_order_relaxed);
        return 1;
    }
    lock->mutex.lock();
    lock->owner.store(self, std::memory_order_relaxed);
    lock->count.store(1, std::memory_order_relaxed);
    return 1;
}

void CSUnlockRecursive(CSRecursiveLock *lock) {
    if (lock->owner.load(std::memory_order_relaxed) != csThreadId()) return;
    uint32_t count = lock->count.load(std::memory_order_relaxed);
    if (count > 1) {
        lock->count.store(count - 1, std::memory_order_relaxed);
        return;
    }
    lock->count.store(0, std::memory_order_relaxed);
    lock->owner.store(0, std::memory_order_relaxed);
    lock->mutex.unlock();
}

uint32_t CSRecursiveHeldCount(const CSRecursiveLock *lock) {
    if (lock->owner.load(std::memory_order_relaxed) != csThreadId()) return 0;
    return lock->count.load(std::memory_order_relaxed);
}
