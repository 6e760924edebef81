// Asynchronous consume through the library against a real miniqmd: syncpoint delivery and
// redelivery after backout, 2500 for other threads while started, the event handler hearing a
// quiesce and a killed server, and reconnection afterwards.
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "miniqm/qm_fixture.h"
#include "testing/built_paths.h"

using namespace qmt;

namespace {

struct Seen {
    std::mutex mu;
    std::condition_variable cv;
    std::vector<std::string> calls;  // "msg:<data>:<backout count>", "event:<reason>"
    bool backOutFirst = false;

    void add(const std::string &s) {
        std::lock_guard<std::mutex> lock(mu);
        calls.push_back(s);
        cv.notify_all();
    }
    bool waitFor(const std::string &s) {
        std::unique_lock<std::mutex> lock(mu);
        return cv.wait_for(lock, std::chrono::seconds(20),
                           [&] { return std::find(calls.begin(), calls.end(), s) != calls.end(); });
    }
    std::vector<std::string> snapshot() {
        std::lock_guard<std::mutex> lock(mu);
        return calls;
    }
};

void consumer(MQHCONN hconn, PMQVOID mdp, PMQVOID, PMQVOID buffer, PMQCBC ctx) {
    auto *seen = static_cast<Seen *>(ctx->CallbackArea);
    if (ctx->CallType == MQCBCT_EVENT_CALL) return seen->add("event:" + std::to_string(ctx->Reason));
    if (ctx->CallType != MQCBCT_MSG_REMOVED) return;
    auto *md = static_cast<MQMD *>(mdp);
    std::string data(static_cast<char *>(buffer), static_cast<size_t>(ctx->DataLength));
    seen->add("msg:" + data + ":" + std::to_string(md->BackoutCount));
    MQLONG cc, rc;
    if (seen->backOutFirst && md->BackoutCount == 0) {
        MQBACK(hconn, &cc, &rc);
        EXPECT_EQ(rc, MQRC_NONE);
    } else {
        MQCMIT(hconn, &cc, &rc);
        EXPECT_EQ(rc, MQRC_NONE);
    }
}

void registerConsumer(MQHCONN h, MQHOBJ o, Seen &seen, Rc &r) {
    MQCBD cbd = MQCBD_DEFAULT;
    cbd.CallbackType = MQCBT_MESSAGE_CONSUMER;
    cbd.Options = MQCBDO_FAIL_IF_QUIESCING;
    cbd.CallbackArea = &seen;
    cbd.CallbackFunction = reinterpret_cast<MQPTR>(&consumer);
    MQMD md = MQMD_DEFAULT;
    MQGMO gmo = MQGMO_DEFAULT;
    gmo.Options = MQGMO_WAIT | MQGMO_SYNCPOINT | MQGMO_FAIL_IF_QUIESCING | MQGMO_CONVERT;
    gmo.WaitInterval = 0;
    MQCB(h, MQOP_REGISTER, &cbd, o, &md, &gmo, &r.cc, &r.reason);
}

void registerHandler(MQHCONN h, Seen &seen, Rc &r) {
    MQCBD cbd = MQCBD_DEFAULT;
    cbd.CallbackType = MQCBT_EVENT_HANDLER;
    cbd.Options = MQCBDO_FAIL_IF_QUIESCING;
    cbd.CallbackArea = &seen;
    cbd.CallbackFunction = reinterpret_cast<MQPTR>(&consumer);
    MQCB(h, MQOP_REGISTER, &cbd, MQHO_NONE, nullptr, nullptr, &r.cc, &r.reason);
}

Rc ctl(MQHCONN h, MQLONG op) {
    MQCTLO ctlo = MQCTLO_DEFAULT;
    Rc r;
    MQCTL(h, op, &ctlo, &r.cc, &r.reason);
    return r;
}

}  // namespace

TEST(AsyncQm, SyncpointDeliveryInOrderAndBackoutRedelivers) {
    QmServer qm;
    ASSERT_TRUE(qm.ok());
    MQHCONN h = connect(qm.name());
    MQHOBJ o = open(h, "SYSTEM.DEFAULT.LOCAL.QUEUE", MQOO_INPUT_SHARED | MQOO_OUTPUT);
    for (const char *m : {"one", "two"}) ASSERT_RC(put(h, o, m), MQCC_OK, MQRC_NONE);
    Seen seen;
    seen.backOutFirst = true;
    Rc r;
    registerConsumer(h, o, seen, r);
    ASSERT_RC(r, MQCC_OK, MQRC_NONE);
    ASSERT_RC(ctl(h, MQOP_START), MQCC_OK, MQRC_NONE);
    ASSERT_TRUE(seen.waitFor("event:2033"));
    ASSERT_RC(ctl(h, MQOP_STOP), MQCC_OK, MQRC_NONE);
    EXPECT_EQ(seen.snapshot(),
              (std::vector<std::string>{"msg:one:0", "msg:one:1", "msg:two:0", "msg:two:1", "event:2033"}));
    EXPECT_EQ(depth(qm.name(), "SYSTEM.DEFAULT.LOCAL.QUEUE"), 0);
    MQDISC(&h, &r.cc, &r.reason);
    EXPECT_RC(r, MQCC_OK, MQRC_NONE);
}

TEST(AsyncQm, OtherThreadsGet2500UntilSuspended) {
    QmServer qm;
    ASSERT_TRUE(qm.ok());
    MQHCONN h = connect(qm.name());  // shared handle: any thread may use it
    MQHOBJ o = open(h, "SYSTEM.DEFAULT.LOCAL.QUEUE", MQOO_INPUT_SHARED | MQOO_OUTPUT);
    Seen seen;
    Rc r;
    registerConsumer(h, o, seen, r);
    ASSERT_RC(r, MQCC_OK, MQRC_NONE);
    ASSERT_RC(ctl(h, MQOP_START), MQCC_OK, MQRC_NONE);
    Rc fromOther;
    std::thread([&] { fromOther = put(h, o, "x"); }).join();
    EXPECT_RC(fromOther, MQCC_FAILED, MQRC_HCONN_ASYNC_ACTIVE);
    EXPECT_RC(put(h, o, "y"), MQCC_FAILED, MQRC_HCONN_ASYNC_ACTIVE);
    ASSERT_RC(ctl(h, MQOP_SUSPEND), MQCC_OK, MQRC_NONE);
    EXPECT_RC(put(h, o, "z"), MQCC_OK, MQRC_NONE);
    MQCB(h, MQOP_SUSPEND, nullptr, o, nullptr, nullptr, &r.cc, &r.reason);
    EXPECT_RC(r, MQCC_OK, MQRC_NONE);
    MQCB(h, MQOP_RESUME, nullptr, o, nullptr, nullptr, &r.cc, &r.reason);
    EXPECT_RC(r, MQCC_OK, MQRC_NONE);
    ASSERT_RC(ctl(h, MQOP_RESUME), MQCC_OK, MQRC_NONE);
    ASSERT_TRUE(seen.waitFor("msg:z:0"));
    MQDISC(&h, &r.cc, &r.reason);  // stops first
    EXPECT_RC(r, MQCC_OK, MQRC_NONE);
}

TEST(AsyncQm, HandlerHearsQuiesceWithoutStartingAndOrdinaryCallsGoOn) {
    QmServer qm;
    ASSERT_TRUE(qm.ok());
    MQHCONN h = connect(qm.name());
    MQHOBJ o = open(h, "SYSTEM.DEFAULT.LOCAL.QUEUE", MQOO_OUTPUT);
    Seen seen;
    Rc r;
    registerHandler(h, seen, r);
    ASSERT_RC(r, MQCC_OK, MQRC_NONE);
    FILE *stopper = popen((std::string(MINIQM_TOOL) + " stop " + qm.name() + " 2>&1").c_str(), "r");
    ASSERT_NE(stopper, nullptr);
    ASSERT_TRUE(seen.waitFor("event:2161"));
    EXPECT_RC(put(h, o, "still"), MQCC_OK, MQRC_NONE);
    MQCTLO ctlo = MQCTLO_DEFAULT;
    ctlo.Options = MQCTLO_FAIL_IF_QUIESCING;
    MQCTL(h, MQOP_START, &ctlo, &r.cc, &r.reason);
    EXPECT_RC(r, MQCC_FAILED, MQRC_Q_MGR_QUIESCING);
    MQDISC(&h, &r.cc, &r.reason);
    EXPECT_RC(r, MQCC_OK, MQRC_NONE);
    pclose(stopper);
    EXPECT_EQ(seen.snapshot(), (std::vector<std::string>{"event:2161"}));
}

TEST(AsyncQm, KilledServerIsHeardOnceThenCallsFailAndReconnectWorks) {
    QmServer qm;
    ASSERT_TRUE(qm.ok());
    MQHCONN h = connect(qm.name());
    MQHOBJ o = open(h, "SYSTEM.DEFAULT.LOCAL.QUEUE", MQOO_OUTPUT);
    Seen seen;
    Rc r;
    registerHandler(h, seen, r);
    ASSERT_RC(r, MQCC_OK, MQRC_NONE);
    ASSERT_RC(ctl(h, MQOP_START), MQCC_OK, MQRC_NONE);  // a handler alone may be started
    qm.kill9();
    ASSERT_TRUE(seen.waitFor("event:2009"));
    EXPECT_RC(ctl(h, MQOP_STOP), MQCC_FAILED, MQRC_CONNECTION_BROKEN);
    EXPECT_RC(put(h, o, "lost"), MQCC_FAILED, MQRC_CONNECTION_BROKEN);
    MQDISC(&h, &r.cc, &r.reason);
    ASSERT_TRUE(qm.start());
    MQHCONN again = connect(qm.name(), &r);
    EXPECT_RC(r, MQCC_OK, MQRC_NONE);
    MQDISC(&again, &r.cc, &r.reason);
    EXPECT_EQ(seen.snapshot(), (std::vector<std::string>{"event:2009"}));
}

namespace {

// A consumer that gets under syncpoint and leaves the commit to another thread: what it saw, and
// whether it was ever called with a message while that thread held the connection suspended.
struct Barrier {
    std::mutex mu;
    std::vector<std::string> seen;
    std::atomic<bool> suspended{false};
    std::atomic<int> callsWhileSuspended{0};
    size_t count() {
        std::lock_guard<std::mutex> lock(mu);
        return seen.size();
    }
};

std::string label(int i) {
    char text[16];
    std::snprintf(text, sizeof text, "m%04d", i);
    return text;
}

void barrierConsumer(MQHCONN, PMQVOID, PMQVOID, PMQVOID buffer, PMQCBC ctx) {
    auto *b = static_cast<Barrier *>(ctx->CallbackArea);
    if (ctx->CallType != MQCBCT_MSG_REMOVED) return;
    if (b->suspended) ++b->callsWhileSuspended;
    std::lock_guard<std::mutex> lock(b->mu);
    b->seen.emplace_back(static_cast<char *>(buffer), static_cast<size_t>(ctx->DataLength));
}

}  // namespace

// The engine's pattern: SUSPEND, commit what the callbacks have seen, RESUME, under a steady
// stream of puts. After every SUSPEND no callback runs until RESUME, and a kill -9 right after a
// commit loses nothing: each message is either still on the queue or was seen before the commit.
TEST(AsyncQm, SuspendIsABarrierForCommitsOfTheCallbacksGets) {
    QmServer qm;
    ASSERT_TRUE(qm.ok());
    std::string out;
    ASSERT_EQ(qm.mqsc("DEFINE QLOCAL(BARRIER.Q) DEFPSIST(YES)", &out), 0) << out;
    constexpr int kMessages = 400;
    MQHCONN h = connect(qm.name());
    MQHOBJ o = open(h, "BARRIER.Q", MQOO_INPUT_SHARED);
    Barrier b;
    MQCBD cbd = MQCBD_DEFAULT;
    cbd.CallbackType = MQCBT_MESSAGE_CONSUMER;
    cbd.CallbackArea = &b;
    cbd.CallbackFunction = reinterpret_cast<MQPTR>(&barrierConsumer);
    MQMD md = MQMD_DEFAULT;
    MQGMO gmo = MQGMO_DEFAULT;
    gmo.Options = MQGMO_SYNCPOINT;
    Rc r;
    MQCB(h, MQOP_REGISTER, &cbd, o, &md, &gmo, &r.cc, &r.reason);
    ASSERT_RC(r, MQCC_OK, MQRC_NONE);
    std::atomic<bool> putsDone{false};
    std::thread putter([&] {
        MQHCONN p = connect(qm.name());
        MQHOBJ q = open(p, "BARRIER.Q", MQOO_OUTPUT);
        for (int i = 0; i < kMessages; ++i) EXPECT_RC(put(p, q, label(i)), MQCC_OK, MQRC_NONE);
        Rc d;
        MQDISC(&p, &d.cc, &d.reason);
        putsDone = true;
    });
    ASSERT_RC(ctl(h, MQOP_START), MQCC_OK, MQRC_NONE);
    int rounds = 0;
    size_t seenAtCommit = 0;
    for (bool last = false; !last; ++rounds) {
        last = putsDone.load();
        ASSERT_RC(ctl(h, MQOP_SUSPEND), MQCC_OK, MQRC_NONE);
        b.suspended = true;
        seenAtCommit = b.count();
        MQCMIT(h, &r.cc, &r.reason);
        ASSERT_RC(r, MQCC_OK, MQRC_NONE);
        if (last) break;
        b.suspended = false;
        ASSERT_RC(ctl(h, MQOP_RESUME), MQCC_OK, MQRC_NONE);
        std::this_thread::yield();
    }
    putter.join();
    qm.kill9();
    EXPECT_EQ(b.callsWhileSuspended.load(), 0) << "in " << rounds << " rounds";
    MQDISC(&h, &r.cc, &r.reason);
    ASSERT_TRUE(qm.start());
    MQHCONN again = connect(qm.name());
    std::vector<std::string> left = drainAll(again, open(again, "BARRIER.Q", MQOO_INPUT_SHARED));
    MQDISC(&again, &r.cc, &r.reason);
    std::vector<std::string> all(b.seen.begin(), b.seen.begin() + static_cast<long>(seenAtCommit));
    all.insert(all.end(), left.begin(), left.end());
    std::sort(all.begin(), all.end());
    std::vector<std::string> expected;
    for (int i = 0; i < kMessages; ++i) expected.push_back(label(i));
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(all, expected);
}
