// Asynchronous consume against an in-memory connection: delivery order, the empty-queue event
// call, control calls, suspension per object and per connection, STOP from inside a callback,
// calls from other threads (2500), and connection events for the event handler.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "miniqm/async.h"

namespace {

// Queues by object handle; a get takes the first message, as MQGET without matching does.
struct FakeConnection : qmasync::Transport {
    std::mutex mu;
    std::map<MQHOBJ, std::deque<std::string>> queues;
    std::atomic<MQLONG> status{MQRC_NONE};
    std::function<void()> inGet;  // runs at the start of every get, outside the lock

    void put(MQHOBJ h, const std::string &s) {
        std::lock_guard<std::mutex> lock(mu);
        queues[h].push_back(s);
    }
    void get(MQHOBJ hobj, MQMD &, MQGMO &, MQLONG bufferLength, void *buffer, MQLONG &dataLength, MQLONG &cc,
             MQLONG &reason) override {
        if (inGet) inGet();
        if (status != MQRC_NONE && status != MQRC_Q_MGR_QUIESCING) {
            cc = MQCC_FAILED;
            reason = status;
            return;
        }
        std::lock_guard<std::mutex> lock(mu);
        auto &q = queues[hobj];
        if (q.empty()) {
            cc = MQCC_FAILED;
            reason = MQRC_NO_MSG_AVAILABLE;
            return;
        }
        dataLength = static_cast<MQLONG>(q.front().size());
        if (dataLength > bufferLength) {
            cc = MQCC_FAILED;
            reason = MQRC_TRUNCATED_MSG_FAILED;
            return;
        }
        std::memcpy(buffer, q.front().data(), q.front().size());
        q.pop_front();
        cc = MQCC_OK;
        reason = MQRC_NONE;
    }
    MQLONG probe() override { return status; }
};

// What one callback saw, in order: "msg:<data>", "event:<reason>", "start", "stop", "reg", "dereg".
struct Recorder {
    std::mutex mu;
    std::condition_variable cv;
    std::vector<std::string> calls;
    std::function<void(MQHCONN, MQCBC *)> hook;  // runs inside the callback, after recording

    void add(const std::string &s) {
        std::lock_guard<std::mutex> lock(mu);
        calls.push_back(s);
        cv.notify_all();
    }
    // Waits (without a time limit that matters) until pred holds over the calls.
    bool waitFor(const std::function<bool(const std::vector<std::string> &)> &pred) {
        std::unique_lock<std::mutex> lock(mu);
        return cv.wait_for(lock, std::chrono::seconds(20), [&] { return pred(calls); });
    }
    size_t count(const std::string &s) {
        std::lock_guard<std::mutex> lock(mu);
        size_t n = 0;
        for (auto &c : calls) n += c == s;
        return n;
    }
    std::vector<std::string> snapshot() {
        std::lock_guard<std::mutex> lock(mu);
        return calls;
    }
};

void callback(MQHCONN hconn, PMQVOID, PMQVOID, PMQVOID buffer, PMQCBC ctx) {
    auto *rec = static_cast<Recorder *>(ctx->CallbackArea);
    switch (ctx->CallType) {
        case MQCBCT_MSG_REMOVED:
            rec->add("msg:" + std::string(static_cast<char *>(buffer), static_cast<size_t>(ctx->DataLength)));
            break;
        case MQCBCT_EVENT_CALL:
            rec->add("event:" + std::to_string(ctx->Reason));
            break;
        case MQCBCT_START_CALL:
            rec->add("start");
            break;
        case MQCBCT_STOP_CALL:
            rec->add("stop");
            break;
        case MQCBCT_REGISTER_CALL:
            rec->add("reg");
            break;
        case MQCBCT_DEREGISTER_CALL:
            rec->add("dereg");
            break;
        default:
            rec->add("other");
            break;
    }
    if (rec->hook) rec->hook(hconn, ctx);
}

auto hasEntry(const std::string &s) {
    return [s](const std::vector<std::string> &v) {
        for (auto &x : v)
            if (x == s) return true;
        return false;
    };
}

struct Fixture : ::testing::Test {
    FakeConnection conn;
    qmasync::Dispatcher d{7, conn};
    MQLONG cc = -1, rc = -1;

    void registerConsumer(MQHOBJ h, Recorder &rec, MQLONG cbdOptions = MQCBDO_NONE, MQLONG wait = 0,
                          MQLONG gmoOptions = MQGMO_WAIT | MQGMO_SYNCPOINT | MQGMO_FAIL_IF_QUIESCING) {
        MQCBD cbd = MQCBD_DEFAULT;
        cbd.CallbackType = MQCBT_MESSAGE_CONSUMER;
        cbd.Options = cbdOptions;
        cbd.CallbackArea = &rec;
        cbd.CallbackFunction = reinterpret_cast<MQPTR>(&callback);
        MQMD md = MQMD_DEFAULT;
        MQGMO gmo = MQGMO_DEFAULT;
        gmo.Options = gmoOptions;
        gmo.WaitInterval = wait;
        d.cb(MQOP_REGISTER, &cbd, h, &md, &gmo, cc, rc);
        ASSERT_EQ(rc, MQRC_NONE);
    }
    void registerHandler(Recorder &rec, MQLONG cbdOptions = MQCBDO_FAIL_IF_QUIESCING) {
        MQCBD cbd = MQCBD_DEFAULT;
        cbd.CallbackType = MQCBT_EVENT_HANDLER;
        cbd.Options = cbdOptions;
        cbd.CallbackArea = &rec;
        cbd.CallbackFunction = reinterpret_cast<MQPTR>(&callback);
        d.cb(MQOP_REGISTER, &cbd, MQHO_NONE, nullptr, nullptr, cc, rc);
        ASSERT_EQ(rc, MQRC_NONE);
    }
    MQLONG ctl(MQLONG op) {
        MQCTLO ctlo = MQCTLO_DEFAULT;
        d.ctl(op, &ctlo, cc, rc);
        return rc;
    }
    MQLONG cbOp(MQLONG op, MQHOBJ h) {
        d.cb(op, nullptr, h, nullptr, nullptr, cc, rc);
        return rc;
    }
};

using AsyncConsume = Fixture;

TEST_F(AsyncConsume, DeliversInOrderThenOneEmptyEventAndNoControlCalls) {
    Recorder rec;
    for (const char *m : {"m1", "m2", "m3", "m4", "m5"}) conn.put(1, m);
    registerConsumer(1, rec);
    ASSERT_EQ(ctl(MQOP_START), MQRC_NONE);
    ASSERT_TRUE(rec.waitFor(hasEntry("event:2033")));
    conn.put(1, "m6");  // a message ends the empty spell: the next one is reported again
    ASSERT_TRUE(rec.waitFor([](auto &v) { return v.size() >= 8; }));
    ASSERT_EQ(ctl(MQOP_STOP), MQRC_NONE);
    EXPECT_EQ(rec.snapshot(), (std::vector<std::string>{"msg:m1", "msg:m2", "msg:m3", "msg:m4", "msg:m5",
                                                        "event:2033", "msg:m6", "event:2033"}));
}

TEST_F(AsyncConsume, UnlimitedWaitNeverReportsEmptyAndLargeMessagesArriveWhole) {
    Recorder rec;
    registerConsumer(1, rec, MQCBDO_NONE, MQWI_UNLIMITED);
    ASSERT_EQ(ctl(MQOP_START), MQRC_NONE);
    std::string big(100000, 'x');
    conn.put(1, big);
    conn.put(1, "last");
    ASSERT_TRUE(rec.waitFor(hasEntry("msg:last")));
    ASSERT_EQ(ctl(MQOP_STOP), MQRC_NONE);
    auto calls = rec.snapshot();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0], "msg:" + big);
}

TEST_F(AsyncConsume, ControlCallsOnlyWhenAsked) {
    Recorder rec;
    conn.put(1, "a");
    registerConsumer(1, rec,
                     MQCBDO_REGISTER_CALL | MQCBDO_START_CALL | MQCBDO_STOP_CALL | MQCBDO_DEREGISTER_CALL);
    ASSERT_EQ(ctl(MQOP_START), MQRC_NONE);
    ASSERT_TRUE(rec.waitFor(hasEntry("event:2033")));
    ASSERT_EQ(ctl(MQOP_STOP), MQRC_NONE);  // returns after the stop call was made
    EXPECT_EQ(rec.count("stop"), 1u);
    ASSERT_EQ(cbOp(MQOP_DEREGISTER, 1), MQRC_NONE);
    EXPECT_EQ(rec.snapshot(),
              (std::vector<std::string>{"reg", "start", "msg:a", "event:2033", "stop", "dereg"}));
    EXPECT_EQ(cbOp(MQOP_DEREGISTER, 1), MQRC_CALLBACK_NOT_REGISTERED);
}

TEST_F(AsyncConsume, SuspendedObjectWaitsWhileOthersGoOn) {
    Recorder a, b;
    registerConsumer(1, a);
    registerConsumer(2, b);
    ASSERT_EQ(cbOp(MQOP_SUSPEND, 1), MQRC_NONE);
    conn.put(1, "for-a");
    conn.put(2, "for-b");
    ASSERT_EQ(ctl(MQOP_START), MQRC_NONE);
    ASSERT_TRUE(b.waitFor(hasEntry("msg:for-b")));
    ASSERT_TRUE(b.waitFor(hasEntry("event:2033")));
    ASSERT_EQ(ctl(MQOP_SUSPEND), MQRC_NONE);
    EXPECT_EQ(a.count("msg:for-a"), 0u);
    // Suspended, the connection takes MQCB from this (non-callback) thread.
    ASSERT_EQ(cbOp(MQOP_RESUME, 1), MQRC_NONE);
    ASSERT_EQ(ctl(MQOP_RESUME), MQRC_NONE);
    ASSERT_TRUE(a.waitFor(hasEntry("msg:for-a")));
    ctl(MQOP_STOP);
}

TEST_F(AsyncConsume, StopFromInsideACallbackEndsStartWait) {
    Recorder rec;
    for (int i = 0; i < 5; ++i) conn.put(1, "m");
    rec.hook = [this](MQHCONN, MQCBC *ctx) {
        if (ctx->CallType != MQCBCT_MSG_REMOVED) return;
        MQLONG c, r;
        MQCTLO ctlo = MQCTLO_DEFAULT;
        d.ctl(MQOP_STOP, &ctlo, c, r);  // must not wait for itself
        EXPECT_EQ(r, MQRC_NONE);
    };
    registerConsumer(1, rec);
    ASSERT_EQ(ctl(MQOP_START_WAIT), MQRC_NONE);  // returns once the callback has stopped the connection
    EXPECT_EQ(rec.snapshot(), (std::vector<std::string>{"msg:m"}));
    std::lock_guard<std::mutex> lock(conn.mu);
    EXPECT_EQ(conn.queues[1].size(), 4u);
}

TEST_F(AsyncConsume, CallsFromOtherThreadsGet2500WhileStarted) {
    Recorder rec;
    std::atomic<MQLONG> fromCallback{-1};
    rec.hook = [&](MQHCONN, MQCBC *) { fromCallback = d.admit(); };
    registerConsumer(1, rec);
    EXPECT_EQ(d.admit(), MQRC_NONE);
    ASSERT_EQ(ctl(MQOP_START), MQRC_NONE);
    EXPECT_EQ(d.admit(), MQRC_HCONN_ASYNC_ACTIVE);
    EXPECT_EQ(cbOp(MQOP_SUSPEND, 1), MQRC_HCONN_ASYNC_ACTIVE);
    EXPECT_EQ(ctl(MQOP_START), MQRC_HCONN_ASYNC_ACTIVE);
    ASSERT_TRUE(rec.waitFor(hasEntry("event:2033")));
    ASSERT_EQ(ctl(MQOP_SUSPEND), MQRC_NONE);    // the callback has returned
    EXPECT_EQ(fromCallback.load(), MQRC_NONE);  // callbacks may call the MQI
    EXPECT_EQ(d.admit(), MQRC_NONE);
    ASSERT_EQ(ctl(MQOP_STOP), MQRC_NONE);
    EXPECT_EQ(d.admit(), MQRC_NONE);
}

TEST_F(AsyncConsume, SuspendFromAnotherThreadReturnsAfterTheRunningCallback) {
    Recorder rec;
    std::mutex m;
    std::condition_variable cv;
    bool entered = false, release = false;
    std::atomic<bool> returned{false};
    rec.hook = [&](MQHCONN, MQCBC *ctx) {
        if (ctx->CallType != MQCBCT_MSG_REMOVED) return;
        std::unique_lock<std::mutex> lock(m);
        entered = true;
        cv.notify_all();
        cv.wait(lock, [&] { return release; });
        returned = true;
    };
    conn.put(1, "slow");
    registerConsumer(1, rec);
    ASSERT_EQ(ctl(MQOP_START), MQRC_NONE);
    {
        std::unique_lock<std::mutex> lock(m);
        cv.wait(lock, [&] { return entered; });
    }
    std::thread releaser([&] {
        std::lock_guard<std::mutex> lock(m);
        release = true;
        cv.notify_all();
    });
    ASSERT_EQ(ctl(MQOP_SUSPEND), MQRC_NONE);
    EXPECT_TRUE(returned.load());
    releaser.join();
    ctl(MQOP_STOP);
}

// The get is under way when SUSPEND arrives: SUSPEND returns only after the callback for the
// message it got, so that a commit issued next never holds a message no callback has seen.
TEST_F(AsyncConsume, SuspendDuringTheGetReturnsAfterItsCallback) {
    Recorder rec;
    std::mutex m;
    std::condition_variable cv;
    bool entered = false, release = false;
    conn.inGet = [&] {
        std::unique_lock<std::mutex> lock(m);
        if (entered) return;
        entered = true;
        cv.notify_all();
        cv.wait(lock, [&] { return release; });
    };
    conn.put(1, "got");
    registerConsumer(1, rec);
    ASSERT_EQ(ctl(MQOP_START), MQRC_NONE);
    {
        std::unique_lock<std::mutex> lock(m);
        cv.wait(lock, [&] { return entered; });
    }
    size_t seenAtReturn = 99;
    std::thread suspender([&] {
        MQLONG c, r;
        MQCTLO ctlo = MQCTLO_DEFAULT;
        d.ctl(MQOP_SUSPEND, &ctlo, c, r);
        seenAtReturn = rec.count("msg:got");
    });
    // Room for a SUSPEND that does not wait to return before the get ends (no bound on a correct one).
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    {
        std::lock_guard<std::mutex> lock(m);
        release = true;
        cv.notify_all();
    }
    suspender.join();
    EXPECT_EQ(seenAtReturn, 1u);
    ctl(MQOP_STOP);
}

TEST_F(AsyncConsume, TwoConnectionsCallBackOnTheirOwnThreads) {
    FakeConnection conn2;
    qmasync::Dispatcher d2(8, conn2);
    Recorder a, b;
    std::mutex m;
    std::set<std::thread::id> ids;
    auto note = [&](MQHCONN, MQCBC *) {
        std::lock_guard<std::mutex> lock(m);
        ids.insert(std::this_thread::get_id());
    };
    a.hook = note;
    b.hook = note;
    registerConsumer(1, a);
    MQCBD cbd = MQCBD_DEFAULT;
    cbd.CallbackArea = &b;
    cbd.CallbackFunction = reinterpret_cast<MQPTR>(&callback);
    MQGMO gmo = MQGMO_DEFAULT;
    gmo.Options = MQGMO_WAIT;
    d2.cb(MQOP_REGISTER, &cbd, 1, nullptr, &gmo, cc, rc);
    ASSERT_EQ(rc, MQRC_NONE);
    ASSERT_EQ(ctl(MQOP_START), MQRC_NONE);
    MQCTLO ctlo = MQCTLO_DEFAULT;
    d2.ctl(MQOP_START, &ctlo, cc, rc);
    ASSERT_EQ(rc, MQRC_NONE);
    ASSERT_TRUE(a.waitFor(hasEntry("event:2033")));
    ASSERT_TRUE(b.waitFor(hasEntry("event:2033")));
    ctl(MQOP_STOP);
    d2.ctl(MQOP_STOP, &ctlo, cc, rc);
    std::lock_guard<std::mutex> lock(m);
    EXPECT_EQ(ids.size(), 2u);
    EXPECT_EQ(ids.count(std::this_thread::get_id()), 0u);
}

using EventHandler = Fixture;

TEST_F(EventHandler, HearsQuiesceAndBreakOnceWithoutStarting) {
    Recorder rec;
    registerHandler(rec);
    conn.status = MQRC_Q_MGR_QUIESCING;
    ASSERT_TRUE(rec.waitFor(hasEntry("event:2161")));
    d.heard(MQRC_Q_MGR_QUIESCING);  // heard again by a verb: no second call
    // Quiescing: options that ask to fail now fail; others still work.
    MQCTLO ctlo = MQCTLO_DEFAULT;
    ctlo.Options = MQCTLO_FAIL_IF_QUIESCING;
    d.ctl(MQOP_STOP, &ctlo, cc, rc);
    EXPECT_EQ(rc, MQRC_Q_MGR_QUIESCING);
    EXPECT_EQ(ctl(MQOP_STOP), MQRC_NONE);
    conn.status = MQRC_CONNECTION_BROKEN;
    ASSERT_TRUE(rec.waitFor(hasEntry("event:2009")));
    d.heard(MQRC_CONNECTION_BROKEN);
    EXPECT_EQ(ctl(MQOP_START), MQRC_CONNECTION_BROKEN);
    EXPECT_EQ(cbOp(MQOP_SUSPEND, 1), MQRC_CONNECTION_BROKEN);
    d.shutdown();
    EXPECT_EQ(rec.snapshot(), (std::vector<std::string>{"event:2161", "event:2009"}));
}

TEST_F(EventHandler, StartWithOnlyAHandlerAndNotWithNothing) {
    EXPECT_EQ(ctl(MQOP_START), MQRC_NO_CALLBACKS_ACTIVE);
    Recorder rec;
    registerHandler(rec);
    EXPECT_EQ(ctl(MQOP_START), MQRC_NONE);
    EXPECT_EQ(ctl(MQOP_STOP), MQRC_NONE);
}

TEST_F(EventHandler, QuiescingConsumerIsToldEvenWithAHandler) {
    Recorder handler, consumer;
    registerHandler(handler);
    registerConsumer(1, consumer, MQCBDO_NONE, MQWI_UNLIMITED);
    ASSERT_EQ(ctl(MQOP_START), MQRC_NONE);
    d.heard(MQRC_Q_MGR_QUIESCING);
    ASSERT_TRUE(consumer.waitFor(hasEntry("event:2161")));
    ASSERT_TRUE(handler.waitFor(hasEntry("event:2161")));
    ctl(MQOP_STOP);
}

TEST_F(AsyncConsume, RegistrationErrors) {
    MQCBD cbd = MQCBD_DEFAULT;
    cbd.CallbackFunction = reinterpret_cast<MQPTR>(&callback);
    d.cb(MQOP_REGISTER | MQOP_SUSPEND, &cbd, 1, nullptr, nullptr, cc, rc);
    EXPECT_EQ(rc, MQRC_OPERATION_ERROR);
    cbd.CallbackType = 9;
    d.cb(MQOP_REGISTER, &cbd, 1, nullptr, nullptr, cc, rc);
    EXPECT_EQ(rc, MQRC_CALLBACK_TYPE_ERROR);
    cbd.CallbackType = MQCBT_MESSAGE_CONSUMER;
    cbd.CallbackFunction = nullptr;
    d.cb(MQOP_REGISTER, &cbd, 1, nullptr, nullptr, cc, rc);
    EXPECT_EQ(rc, MQRC_CALLBACK_ROUTINE_ERROR);
    cbd.CallbackFunction = reinterpret_cast<MQPTR>(&callback);
    cbd.MaxMsgLength = -5;
    d.cb(MQOP_REGISTER, &cbd, 1, nullptr, nullptr, cc, rc);
    EXPECT_EQ(rc, MQRC_MAX_MSG_LENGTH_ERROR);
    std::memcpy(cbd.StrucId, "XXXX", 4);
    d.cb(MQOP_REGISTER, &cbd, 1, nullptr, nullptr, cc, rc);
    EXPECT_EQ(rc, MQRC_CBD_ERROR);
    EXPECT_EQ(cbOp(MQOP_RESUME, 3), MQRC_CALLBACK_NOT_REGISTERED);
    EXPECT_EQ(cc, MQCC_FAILED);
}

}  // namespace
