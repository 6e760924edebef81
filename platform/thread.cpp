// Threads and auto-reset events: what the version check and the console's connections run on. A
// wait on an event keeps to the clock's table, so that under a test clock its time-out is reached
// by the test clock's time rather than by real time passing.
#include <pthread.h>

#include <time.h>
#include <cerrno>

#include <condition_variable>
#include <mutex>
#include <new>

#include "platform/platform.h"

struct CSThread {
    pthread_t thread;
    void (*body)(void *argument);
    void *argument;
    bool detached;
};

struct CSEvent {
    std::mutex mutex;
    std::condition_variable signalled;
    bool set = false;
};

namespace {

void *threadStart(void *start) {
    auto *thread = static_cast<CSThread *>(start);
    void (*body)(void *) = thread->body;
    void *argument = thread->argument;
    // A detached thread owns its record; a joinable one leaves it to CSJoinThread.
    if (thread->detached) delete thread;
    body(argument);
    return nullptr;
}

// Takes the signal when it is there (auto-reset).
bool takeSignal(CSEvent *event) {
    if (!event->set) return false;
    event->set = false;
    return true;
}

// Under a test clock the wait follows the table's time, looking at it every few milliseconds: it
// times out once the test has moved its clock past the time-out, and never moves the clock itself.
uint32_t waitOnTestClock(CSEvent *event, uint32_t timeoutMs) {
    const int64_t startMs = evTimeNow() * 1000;
    std::unique_lock<std::mutex> lock(event->mutex);
    for (;;) {
        if (takeSignal(event)) return CS_WAIT_OBJECT_0;
        if (timeoutMs != CS_INFINITE && evTimeNow() * 1000 - startMs >= timeoutMs) return CS_WAIT_TIMEOUT;
        event->signalled.wait_for(lock, std::chrono::milliseconds(5));
    }
}

}  // namespace

int CSStartThread(void (*body)(void *argument), void *argument, CSThread **handle) {
    auto *thread = new (std::nothrow) CSThread{pthread_t{}, body, argument, handle == nullptr};
    if (thread == nullptr) {
        errno = ENOMEM;
        return 0;
    }
    pthread_attr_t attributes;
    if (int rc = pthread_attr_init(&attributes); rc != 0) {
        delete thread;
        errno = rc;
        return 0;
    }
    if (handle == nullptr) pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    // A detached thread may have freed its record before pthread_create returns: its id goes
    // elsewhere.
    pthread_t id{};
    int rc = pthread_create(handle == nullptr ? &id : &thread->thread, &attributes, threadStart, thread);
    pthread_attr_destroy(&attributes);
    if (rc != 0) {
        delete thread;
        errno = rc;
        return 0;
    }
    if (handle != nullptr) *handle = thread;
    return 1;
}

int CSJoinThread(CSThread *handle, uint32_t timeoutMs) {
    if (handle == nullptr) return 1;
    int ended = 1;
    if (timeoutMs == CS_INFINITE) {
        pthread_join(handle->thread, nullptr);
    } else {
        timespec deadline{};
        clock_gettime(CLOCK_REALTIME, &deadline);
        deadline.tv_sec += timeoutMs / 1000;
        deadline.tv_nsec += static_cast<long>(timeoutMs % 1000) * 1000000L;
        if (deadline.tv_nsec >= 1000000000L) {
            deadline.tv_sec++;
            deadline.tv_nsec -= 1000000000L;
        }
        if (pthread_timedjoin_np(handle->thread, nullptr, &deadline) != 0) {
            pthread_detach(handle->thread);
            ended = 0;
        }
    }
    delete handle;
    return ended;
}

CSEvent *CSCreateEvent() {
    return new (std::nothrow) CSEvent;
}

void CSSetEvent(CSEvent *event) {
    {
        std::lock_guard<std::mutex> lock(event->mutex);
        event->set = true;
    }
    event->signalled.notify_one();
}

uint32_t CSWaitEvent(CSEvent *event, uint32_t timeoutMs) {
    if (!evTimeIsReal()) return waitOnTestClock(event, timeoutMs);
    std::unique_lock<std::mutex> lock(event->mutex);
    auto signalled = [event] { return event->set; };
    if (timeoutMs == CS_INFINITE)
        event->signalled.wait(lock, signalled);
    else if (!event->signalled.wait_for(lock, std::chrono::milliseconds(timeoutMs), signalled))
        return CS_WAIT_TIMEOUT;
    event->set = false;
    return CS_WAIT_OBJECT_0;
}

void CSCloseEvent(CSEvent *event) {
    delete event;
}
