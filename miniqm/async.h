// Asynchronous consume for one connection of the MQI library: MQCB registrations (message
// consumers per object handle and one event handler), MQCTL's connection states, and the callback
// thread that gets messages for the consumers and calls them, as IBM MQ's MQCB/MQCTL behave.
// The connection itself is reached through a Transport, so this runs without a server in tests.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "mqi/cmqc.h"

namespace qmasync {

// What the dispatcher needs of its connection. Called on the callback thread, never under the
// dispatcher's lock.
struct Transport {
    virtual ~Transport() = default;
    // One MQGET on the connection (waits for the connection if another call is in progress).
    virtual void get(MQHOBJ hobj, MQMD &md, MQGMO &gmo, MQLONG bufferLength, void *buffer, MQLONG &dataLength,
                     MQLONG &compCode, MQLONG &reason) = 0;
    // The connection's fate without waiting: MQRC_NONE, MQRC_Q_MGR_QUIESCING, MQRC_Q_MGR_STOPPING or
    // MQRC_CONNECTION_BROKEN; kBusy when a call holds the connection (it will report for itself).
    virtual MQLONG probe() = 0;
    static constexpr MQLONG kBusy = -1;
};

class Dispatcher {
public:
    Dispatcher(MQHCONN hconn, Transport &transport);
    ~Dispatcher();
    Dispatcher(const Dispatcher &) = delete;
    Dispatcher &operator=(const Dispatcher &) = delete;

    // MQCB and MQCTL with IBM MQ's reason codes. Neither may be called with the connection's lock
    // held: STOP and SUSPEND wait for a callback in progress, which may itself be using it.
    void cb(MQLONG operation, const void *callbackDesc, MQHOBJ hobj, const void *msgDesc,
            const void *getMsgOpts, MQLONG &compCode, MQLONG &reason);
    void ctl(MQLONG operation, const void *controlOpts, MQLONG &compCode, MQLONG &reason);

    // For every other verb: MQRC_HCONN_ASYNC_ACTIVE when the connection is started and the caller is
    // not one of its callbacks, else MQRC_NONE.
    MQLONG admit();
    // Whether the calling thread is this connection's callback thread.
    bool onCallbackThread() const;
    // A verb on the connection ended with this reason: 2009, 2161 and 2162 become events.
    void heard(MQLONG reason);
    // MQCLOSE of an object handle: its consumer goes with it. Returns the consumer's DEREGISTER_CALL
    // (empty when it wants none), for the caller to make once it no longer holds the connection:
    // the callback may make calls on it.
    std::function<void()> closed(MQHOBJ hobj);
    // MQDISC: stops, deregisters everything and ends the callback thread (not from a callback).
    void shutdown();

private:
    enum class State { Stopped, Started, Suspended };
    struct Consumer {
        MQHOBJ hobj = MQHO_NONE;
        MQCBD cbd{};
        MQMD md{};
        MQGMO gmo{};
        bool suspended = false;
        bool emptyReported = false;  // 2033 given since the last message
        int64_t idleSinceMs = 0;
        MQLONG lastError = MQRC_NONE;  // reported once until a message arrives
        std::vector<char> buffer;
    };

    MQHCONN hconn_;
    Transport &transport_;
    std::mutex mu_;
    std::condition_variable cv_;
    std::thread thread_;
    bool quit_ = false;
    State state_ = State::Stopped;
    MQPTR connectionArea_ = nullptr;
    std::map<MQHOBJ, std::shared_ptr<Consumer>> consumers_;
    std::shared_ptr<Consumer> handler_;  // the event handler (hobj MQHO_NONE)
    MQHOBJ nextTurn_ = 0;                // round robin among consumers
    bool running_ = false;               // a consumer's get and callback, or a callback, is under way
    std::deque<MQCBC> pendingControl_;   // START_CALL / STOP_CALL still to make
    std::vector<MQLONG> pendingEvents_;
    bool heardQuiesce_ = false, heardEnd_ = false;
    MQLONG endReason_ = MQRC_NONE;  // 2009 or 2162: every later call fails with it
    int64_t nextProbeMs_ = 0;
    uint64_t stopsDone_ = 0, stopsAsked_ = 0;

    void run();
    void ensureThread();
    bool deliverOne(std::unique_lock<std::mutex> &lk, const std::shared_ptr<Consumer> &c);
    void deliverEvent(std::unique_lock<std::mutex> &lk, MQLONG reason);
    void invoke(std::unique_lock<std::mutex> &lk, const std::shared_ptr<Consumer> &c, MQCBC &cbc, MQMD *md,
                MQGMO *gmo, void *buffer);
    void callDirect(const std::shared_ptr<Consumer> &c, MQLONG callType);
    void waitIdle(std::unique_lock<std::mutex> &lk);
    MQCBC context(const Consumer &c, MQLONG callType, MQLONG cc, MQLONG reason) const;
    void queueControl(MQLONG callType, MQLONG option);
};

}  // namespace qmasync
