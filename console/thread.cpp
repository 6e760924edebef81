// The auto-reset events and threads of the console's connections (a worker and a reply reader
// each), on the C++ library's threads as the platform's worker pool runs them.
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <new>
#include <thread>

#include "console/internal.h"

struct CslEvent {
    std::mutex mutex;
    std::condition_variable signal;
    bool set = false;
};

CslEvent *cslEventCreate() {
    void *memory = CSGetMem(sizeof(CslEvent));
    return memory != nullptr ? new (memory) CslEvent() : nullptr;
}

void cslEventFree(CslEvent *event) {
    if (event == nullptr) return;
    event->~CslEvent();
    CSFreeMem(event);
}

void cslEventSet(CslEvent *event) {
    {
        std::lock_guard<std::mutex> hold(event->mutex);
        event->set = true;
    }
    event->signal.notify_one();
}

uint32_t cslEventWait(CslEvent *event, uint32_t timeoutMs) {
    std::unique_lock<std::mutex> hold(event->mutex);
    if (timeoutMs == CS_INFINITE) {
        event->signal.wait(hold, [event] { return event->set; });
    } else if (!event->signal.wait_for(hold, std::chrono::milliseconds(timeoutMs),
                                       [event] { return event->set; })) {
        return CS_WAIT_TIMEOUT;
    }
    event->set = false;  // auto-reset: one waiter takes it
    return CS_WAIT_OBJECT_0;
}

int cslStartThread(void (*function)(cslConnection *), cslConnection *record) {
    try {
        std::thread(function, record).detach();
        return 1;
    } catch (const std::system_error &failure) {
        evOutputF(EV_OUT_ERROR, 1, "Console thread could not be started: %s",
                  failure.code().message().c_str());
        return 0;
    }
}
