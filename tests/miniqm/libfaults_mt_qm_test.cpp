// Faults on demand for MQCB, MQCTL and MQSETMP with asynchronous consume: a 2009 rule really
// drops the connection and its event handler hears it once, and rules on MQCB and MQCTL fire from
// inside a callback and from another thread without 2500 and without blocking the callback thread.
#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <thread>

#include "miniqm/control.h"
#include "miniqm/qm_fixture.h"

using namespace qmt;

namespace {

struct Heard {
    std::mutex mu;
    std::condition_variable cv;
    std::vector<MQLONG> events;

    void add(MQLONG reason) {
        std::lock_guard<std::mutex> lock(mu);
        events.push_back(reason);
        cv.notify_all();
    }
    bool waitFor(MQLONG reason) {
        std::unique_lock<std::mutex> lock(mu);
        return cv.wait_for(lock, std::chrono::seconds(20),
                           [&] { return std::find(events.begin(), events.end(), reason) != events.end(); });
    }
    std::vector<MQLONG> snapshot() {
        std::lock_guard<std::mutex> lock(mu);
        return events;
    }
};

void handler(MQHCONN, PMQVOID, PMQVOID, PMQVOID, PMQCBC ctx) {
    if (ctx->CallType == MQCBCT_EVENT_CALL) static_cast<Heard *>(ctx->CallbackArea)->add(ctx->Reason);
}

Rc registerHandler(MQHCONN h, Heard &heard) {
    MQCBD cbd = MQCBD_DEFAULT;
    cbd.CallbackType = MQCBT_EVENT_HANDLER;
    cbd.CallbackArea = &heard;
    cbd.CallbackFunction = reinterpret_cast<MQPTR>(&handler);
    Rc r;
    MQCB(h, MQOP_REGISTER, &cbd, MQHO_NONE, nullptr, nullptr, &r.cc, &r.reason);
    return r;
}

Rc registerConsumer(MQHCONN h, MQHOBJ o, MQPTR function, void *area) {
    MQCBD cbd = MQCBD_DEFAULT;
    cbd.CallbackType = MQCBT_MESSAGE_CONSUMER;
    cbd.CallbackArea = area;
    cbd.CallbackFunction = function;
    MQMD md = MQMD_DEFAULT;
    MQGMO gmo = MQGMO_DEFAULT;
    gmo.Options = MQGMO_NO_SYNCPOINT;
    Rc r;
    MQCB(h, MQOP_REGISTER, &cbd, o, &md, &gmo, &r.cc, &r.reason);
    return r;
}

void ignore(MQHCONN, PMQVOID, PMQVOID, PMQVOID, PMQCBC) {}

Rc ctl(MQHCONN h, MQLONG op) {
    MQCTLO ctlo = MQCTLO_DEFAULT;
    Rc r;
    MQCTL(h, op, &ctlo, &r.cc, &r.reason);
    return r;
}

Rc setProp(MQHCONN h, MQHMSG m) {
    MQSMPO smpo = MQSMPO_DEFAULT;
    MQPD pd = MQPD_DEFAULT;
    MQCHARV name = {};
    name.VSPtr = const_cast<char *>("colour");
    name.VSLength = MQVS_NULL_TERMINATED;
    Rc r;
    MQSETMP(h, m, &smpo, &name, &pd, MQTYPE_STRING, MQVL_NULL_TERMINATED, const_cast<char *>("blue"), &r.cc,
            &r.reason);
    return r;
}

// What a consumer did from inside its first callback.
struct Inside {
    std::mutex mu;
    std::condition_variable cv;
    bool done = false;
    Rc suspend, firstStop, secondStop;
};

void stopsItself(MQHCONN h, PMQVOID, PMQVOID, PMQVOID, PMQCBC ctx) {
    auto *in = static_cast<Inside *>(ctx->CallbackArea);
    if (ctx->CallType != MQCBCT_MSG_REMOVED) return;
    {
        std::lock_guard<std::mutex> lock(in->mu);
        if (in->done) return;
    }
    Rc suspend, first, second;
    MQCB(h, MQOP_SUSPEND, nullptr, ctx->Hobj, nullptr, nullptr, &suspend.cc, &suspend.reason);
    MQCTL(h, MQOP_STOP, nullptr, &first.cc, &first.reason);
    MQCTL(h, MQOP_STOP, nullptr, &second.cc, &second.reason);
    std::lock_guard<std::mutex> lock(in->mu);
    in->suspend = suspend;
    in->firstStop = first;
    in->secondStop = second;
    in->done = true;
    in->cv.notify_all();
}

}  // namespace

TEST(LibFaultsAsync, BreakOnMqcbMqctlOrMqsetmpIsHeardOnceAndEveryLaterCallFails) {
    QmServer qm;
    ASSERT_TRUE(qm.ok());
    for (const char *verb : {"MQCB", "MQCTL", "MQSETMP"}) {
        SCOPED_TRACE(verb);
        MQHCONN h = connect(qm.name());
        MQHOBJ o = open(h, "SYSTEM.DEFAULT.LOCAL.QUEUE", MQOO_INPUT_SHARED | MQOO_OUTPUT);
        MQCMHO cmho = MQCMHO_DEFAULT;
        MQHMSG m = MQHM_UNUSABLE_HMSG;
        Rc r;
        MQCRTMH(h, &cmho, &m, &r.cc, &r.reason);
        ASSERT_RC(r, MQCC_OK, MQRC_NONE);
        Heard heard;
        ASSERT_RC(registerHandler(h, heard), MQCC_OK, MQRC_NONE);
        ASSERT_EQ(admin(qm.name(), std::string("fault ") + verb + " 2009 1 -1 - -"), 0);
        MQPTR nothing = reinterpret_cast<MQPTR>(&ignore);
        Rc broken = std::string(verb) == "MQCB"    ? registerConsumer(h, o, nothing, nullptr)
                    : std::string(verb) == "MQCTL" ? ctl(h, MQOP_START)
                                                   : setProp(h, m);
        EXPECT_RC(broken, MQCC_FAILED, MQRC_CONNECTION_BROKEN);
        ASSERT_TRUE(heard.waitFor(MQRC_CONNECTION_BROKEN));
        EXPECT_RC(put(h, o, "lost"), MQCC_FAILED, MQRC_CONNECTION_BROKEN);
        EXPECT_RC(ctl(h, MQOP_START), MQCC_FAILED, MQRC_CONNECTION_BROKEN);
        EXPECT_RC(registerConsumer(h, o, reinterpret_cast<MQPTR>(&ignore), nullptr), MQCC_FAILED,
                  MQRC_CONNECTION_BROKEN);
        EXPECT_RC(setProp(h, m), MQCC_FAILED, MQRC_CONNECTION_BROKEN);
        MQDISC(&h, &r.cc, &r.reason);
        EXPECT_EQ(h, MQHC_UNUSABLE_HCONN);
        EXPECT_EQ(heard.snapshot(), std::vector<MQLONG>{MQRC_CONNECTION_BROKEN});
    }
    // Only those connections broke: the queue manager goes on.
    Rc r;
    MQHCONN again = connect(qm.name(), &r);
    EXPECT_RC(r, MQCC_OK, MQRC_NONE);
    MQDISC(&again, &r.cc, &r.reason);
}

TEST(LibFaultsAsync, RulesOnMqcbAndMqctlFireInsideACallbackAndFromOutside) {
    QmServer qm;
    ASSERT_TRUE(qm.ok());
    MQHCONN h = connect(qm.name());
    MQHOBJ o = open(h, "SYSTEM.DEFAULT.LOCAL.QUEUE", MQOO_INPUT_SHARED | MQOO_OUTPUT);
    Inside in;
    ASSERT_RC(registerConsumer(h, o, reinterpret_cast<MQPTR>(&stopsItself), &in), MQCC_OK, MQRC_NONE);
    ASSERT_EQ(admin(qm.name(), "fault MQCTL 2102 1 -1 - -"), 0);
    ASSERT_RC(ctl(h, MQOP_START), MQCC_FAILED, MQRC_RESOURCE_PROBLEM);
    ASSERT_RC(ctl(h, MQOP_START), MQCC_OK, MQRC_NONE);
    // The rules wait for the callback, which comes when another connection puts a message.
    ASSERT_EQ(admin(qm.name(), "fault MQCB 2102 1 -1 - -"), 0);
    ASSERT_EQ(admin(qm.name(), "fault MQCTL 2102 1 -1 - -"), 0);
    MQHCONN other = connect(qm.name());
    MQHOBJ otherQ = open(other, "SYSTEM.DEFAULT.LOCAL.QUEUE", MQOO_OUTPUT);
    ASSERT_RC(put(other, otherQ, "one"), MQCC_OK, MQRC_NONE);
    {
        std::unique_lock<std::mutex> lock(in.mu);
        ASSERT_TRUE(in.cv.wait_for(lock, std::chrono::seconds(20), [&] { return in.done; }));
    }
    EXPECT_RC(in.suspend, MQCC_FAILED, MQRC_RESOURCE_PROBLEM);
    EXPECT_RC(in.firstStop, MQCC_FAILED, MQRC_RESOURCE_PROBLEM);
    EXPECT_RC(in.secondStop, MQCC_OK, MQRC_NONE);
    EXPECT_RC(put(h, o, "two"), MQCC_OK, MQRC_NONE);  // stopped from inside: other threads may call

    // From outside while started: the rule answers, not 2500, and the connection stays started.
    ASSERT_RC(ctl(h, MQOP_START), MQCC_OK, MQRC_NONE);
    ASSERT_EQ(admin(qm.name(), "fault MQCTL 2102 1 -1 - -"), 0);
    EXPECT_RC(ctl(h, MQOP_STOP), MQCC_FAILED, MQRC_RESOURCE_PROBLEM);
    EXPECT_RC(put(h, o, "three"), MQCC_FAILED, MQRC_HCONN_ASYNC_ACTIVE);
    EXPECT_RC(ctl(h, MQOP_STOP), MQCC_OK, MQRC_NONE);
    EXPECT_RC(put(h, o, "four"), MQCC_OK, MQRC_NONE);
    Rc r;
    MQDISC(&h, &r.cc, &r.reason);
    EXPECT_RC(r, MQCC_OK, MQRC_NONE);
    MQDISC(&other, &r.cc, &r.reason);
}

namespace {

// What a consumer's DEREGISTER_CALL did with its connection: it frees its message handle and stops
// the connection, as a consumer's clean-up may.
struct CleanUp {
    MQHMSG hmsg = MQHM_UNUSABLE_HMSG;
    Rc dltmh, stop;
    bool called = false;
};

void cleansUp(MQHCONN h, PMQVOID, PMQVOID, PMQVOID, PMQCBC ctx) {
    if (ctx->CallType != MQCBCT_DEREGISTER_CALL) return;
    auto *c = static_cast<CleanUp *>(ctx->CallbackArea);
    MQDMHO dmho = MQDMHO_DEFAULT;
    MQDLTMH(h, &c->hmsg, &dmho, &c->dltmh.cc, &c->dltmh.reason);
    MQCTL(h, MQOP_STOP, nullptr, &c->stop.cc, &c->stop.reason);
    c->called = true;
}

}  // namespace

TEST(LibFaultsAsync, DeregisterCallOfMqcloseMayUseTheConnection) {
    QmServer qm;
    ASSERT_TRUE(qm.ok());
    MQHCONN h = connect(qm.name());
    MQHOBJ o = open(h, "SYSTEM.DEFAULT.LOCAL.QUEUE", MQOO_INPUT_SHARED);
    CleanUp c;
    c.hmsg = createHandle(h);
    MQCBD cbd = MQCBD_DEFAULT;
    cbd.CallbackType = MQCBT_MESSAGE_CONSUMER;
    cbd.Options = MQCBDO_DEREGISTER_CALL;
    cbd.CallbackArea = &c;
    cbd.CallbackFunction = reinterpret_cast<MQPTR>(&cleansUp);
    Rc r;
    MQCB(h, MQOP_REGISTER, &cbd, o, nullptr, nullptr, &r.cc, &r.reason);
    ASSERT_RC(r, MQCC_OK, MQRC_NONE);
    // MQCLOSE makes the call on this thread; if it still held the connection the calls made in the
    // callback would wait for it for ever, so the close runs on a thread of its own and is watched.
    std::mutex mu;
    std::condition_variable cv;
    bool closed = false;
    std::thread closer([&] {
        Rc cr;
        MQCLOSE(h, &o, MQCO_NONE, &cr.cc, &cr.reason);
        EXPECT_RC(cr, MQCC_OK, MQRC_NONE);
        std::lock_guard<std::mutex> lock(mu);
        closed = true;
        cv.notify_all();
    });
    {
        std::unique_lock<std::mutex> lock(mu);
        if (!cv.wait_for(lock, std::chrono::seconds(20), [&] { return closed; })) {
            ADD_FAILURE() << "MQCLOSE is stuck in its consumer's DEREGISTER_CALL";
            qm.kill9();  // the stuck thread cannot be joined: end here, leaving no server behind
            std::abort();
        }
    }
    closer.join();
    EXPECT_TRUE(c.called);
    EXPECT_RC(c.dltmh, MQCC_OK, MQRC_NONE);
    EXPECT_RC(c.stop, MQCC_OK, MQRC_NONE);
    MQDISC(&h, &r.cc, &r.reason);
    EXPECT_RC(r, MQCC_OK, MQRC_NONE);
}

TEST(LibFaultsAsync, OnlyItsOwnThreadReleasesABrokenUnsharedConnection) {
    QmServer qm;
    ASSERT_TRUE(qm.ok());
    Rc r;
    MQHCONN h = connect(qm.name(), &r, MQCNO_NONE);
    ASSERT_RC(r, MQCC_OK, MQRC_NONE);
    MQHOBJ o = open(h, "SYSTEM.DEFAULT.LOCAL.QUEUE", MQOO_OUTPUT);
    ASSERT_EQ(admin(qm.name(), "fault MQPUT 2009 1 -1 - -"), 0);
    ASSERT_RC(put(h, o, "lost"), MQCC_FAILED, MQRC_CONNECTION_BROKEN);
    // Another thread may not use the handle, broken or not: 2018, and the handle stays.
    MQHCONN copy = h;
    Rc other;
    std::thread([&] { MQDISC(&copy, &other.cc, &other.reason); }).join();
    EXPECT_RC(other, MQCC_FAILED, MQRC_HCONN_ERROR);
    EXPECT_EQ(copy, h);
    MQDISC(&h, &r.cc, &r.reason);
    EXPECT_RC(r, MQCC_FAILED, MQRC_CONNECTION_BROKEN);
    EXPECT_EQ(h, MQHC_UNUSABLE_HCONN);
}

TEST(LibFaultsAsync, MqcbOnANoBlockConnectionInUseDoesNotWaitForTheOtherCall) {
    QmServer qm;
    ASSERT_TRUE(qm.ok());
    Rc r;
    MQHCONN h = connect(qm.name(), &r, MQCNO_HANDLE_SHARE_NO_BLOCK);
    ASSERT_RC(r, MQCC_OK, MQRC_NONE);
    MQHOBJ o = open(h, "SYSTEM.DEFAULT.LOCAL.QUEUE", MQOO_INPUT_SHARED | MQOO_INQUIRE);
    // Another thread waits in MQGET until a message comes; the connection is in use meanwhile.
    std::atomic<bool> gotIt{false};
    Rc waited;
    std::thread waiter([&] {
        do {  // 2219 while the test's own MQINQ holds the connection: try again
            waited = get(h, o, nullptr, MQGMO_NO_SYNCPOINT | MQGMO_WAIT, nullptr, 65536, nullptr, 30000);
        } while (waited.reason == MQRC_CALL_IN_PROGRESS);
        gotIt = true;
    });
    Rc busy;
    while (busy.reason != MQRC_CALL_IN_PROGRESS && !gotIt) {
        inqInt(h, o, MQIA_CURRENT_Q_DEPTH, &busy);
        std::this_thread::yield();
    }
    EXPECT_RC(busy, MQCC_FAILED, MQRC_CALL_IN_PROGRESS);
    // MQCB does not wait for the MQGET: it registers while the get still waits.
    EXPECT_RC(registerConsumer(h, o, reinterpret_cast<MQPTR>(&ignore), nullptr), MQCC_OK, MQRC_NONE);
    EXPECT_FALSE(gotIt);
    MQHCONN other = connect(qm.name());
    MQHOBJ otherQ = open(other, "SYSTEM.DEFAULT.LOCAL.QUEUE", MQOO_OUTPUT);
    EXPECT_RC(put(other, otherQ, "wake"), MQCC_OK, MQRC_NONE);
    waiter.join();
    EXPECT_RC(waited, MQCC_OK, MQRC_NONE);
    MQDISC(&h, &r.cc, &r.reason);
    EXPECT_RC(r, MQCC_OK, MQRC_NONE);
    MQDISC(&other, &r.cc, &r.reason);
}
