// Windows side of threads and auto-reset events: CreateThread, and kernel events waited for with
// WaitForSingleObject. Under a test clock a wait follows the clock's table, as on Linux.
#include <windows.h>

#include <cerrno>

#include <new>

#include "platform/platform.h"

struct CSThread {
    HANDLE thread;
    void (*body)(void *argument);
    void *argument;
    bool detached;
};

struct CSEvent {
    HANDLE event;
};

namespace {

DWORD WINAPI threadStart(LPVOID start) {
    auto *thread = static_cast<CSThread *>(start);
    void (*body)(void *) = thread->body;
    void *argument = thread->argument;
    // A detached thread owns its record; a joinable one leaves it to CSJoinThread.
    if (thread->detached) delete thread;
    body(argument);
    return 0;
}

// Under a test clock the wait looks at the table's time every few milliseconds: it times out once
// the test has moved its clock past the time-out, and never moves the clock itself.
uint32_t waitOnTestClock(CSEvent *event, uint32_t timeoutMs) {
    const int64_t startMs = evTimeNow() * 1000;
    for (;;) {
        if (WaitForSingleObject(event->event, 5) == WAIT_OBJECT_0) return CS_WAIT_OBJECT_0;
        if (timeoutMs != CS_INFINITE && evTimeNow() * 1000 - startMs >= timeoutMs) return CS_WAIT_TIMEOUT;
    }
}

}  // namespace

int CSStartThread(void (*body)(void *argument), void *argument, CSThread **handle) {
    auto *thread = new (std::nothrow) CSThread{nullptr, body, argument, handle == nullptr};
    if (thread == nullptr) {
        errno = ENOMEM;
        return 0;
    }
    // A detached thread may have freed its record before CreateThread returns: its handle goes
    // elsewhere.
    HANDLE started = CreateThread(nullptr, 0, threadStart, thread, 0, nullptr);
    if (started == nullptr) {
        delete thread;
        errno = GetLastError() == ERROR_NOT_ENOUGH_MEMORY ? ENOMEM : EAGAIN;
        return 0;
    }
    if (handle == nullptr) {
        CloseHandle(started);
    } else {
        thread->thread = started;
        *handle = thread;
    }
    return 1;
}

int CSJoinThread(CSThread *handle, uint32_t timeoutMs) {
    if (handle == nullptr) return 1;
    DWORD rc = WaitForSingleObject(handle->thread, timeoutMs == CS_INFINITE ? INFINITE : timeoutMs);
    CloseHandle(handle->thread);  // a thread still running goes on, detached
    delete handle;
    return rc == WAIT_OBJECT_0 ? 1 : 0;
}

CSEvent *CSCreateEvent() {
    auto *event = new (std::nothrow) CSEvent{CreateEventA(nullptr, FALSE, FALSE, nullptr)};
    if (event != nullptr && event->event == nullptr) {
        delete event;
        event = nullptr;
    }
    return event;
}

void CSSetEvent(CSEvent *event) {
    SetEvent(event->event);
}

uint32_t CSWaitEvent(CSEvent *event, uint32_t timeoutMs) {
    if (!evTimeIsReal()) return waitOnTestClock(event, timeoutMs);
    DWORD rc = WaitForSingleObject(event->event, timeoutMs == CS_INFINITE ? INFINITE : timeoutMs);
    if (rc == WAIT_OBJECT_0) return CS_WAIT_OBJECT_0;
    return rc == WAIT_TIMEOUT ? CS_WAIT_TIMEOUT : CS_WAIT_FAILED;
}

void CSCloseEvent(CSEvent *event) {
    if (event == nullptr) return;
    CloseHandle(event->event);
    delete event;
}
