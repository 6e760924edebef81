// Connections used from several threads: handles bound to their thread unless shared, calls of
// several threads on one shared handle, and a waiting get woken by another connection's put.
#include <thread>
#include <vector>

#include "miniqm/qm_fixture.h"

using namespace qmt;

namespace {

class Threads : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(qm.ok());
        Rc r;
        h = connect(qm.name(), &r);
        ASSERT_EQ(r.cc, MQCC_OK) << r.reason;
    }
    void TearDown() override {
        Rc r;
        if (h != MQHC_UNUSABLE_HCONN) MQDISC(&h, &r.cc, &r.reason);
    }
    QmServer qm;
    MQHCONN h = MQHC_UNUSABLE_HCONN;
};

}  // namespace

TEST(MqiConnect, UnsharedHandleIsBoundToItsThreadAndReconnectGives2002) {
    QmServer qm;
    ASSERT_TRUE(qm.ok());
    Rc r;
    MQHCONN h = connect(qm.name(), &r, MQCNO_NONE);
    ASSERT_EQ(r.cc, MQCC_OK);
    MQHCONN again = connect(qm.name(), &r, MQCNO_NONE);
    EXPECT_RC(r, MQCC_WARNING, MQRC_ALREADY_CONNECTED);
    EXPECT_EQ(again, h);
    Rc other;
    std::thread([&] { MQCMIT(h, &other.cc, &other.reason); }).join();
    EXPECT_RC(other, MQCC_FAILED, MQRC_HCONN_ERROR);
    MQDISC(&h, &r.cc, &r.reason);
    EXPECT_RC(r, MQCC_OK, MQRC_NONE);
    MQCMIT(h, &r.cc, &r.reason);
    EXPECT_RC(r, MQCC_FAILED, MQRC_HCONN_ERROR);
}

TEST_F(Threads, WaitingGetIsWokenByAPutFromAnotherConnection) {
    MQHOBJ o = open(h, "SYSTEM.DEFAULT.LOCAL.QUEUE", MQOO_INPUT_SHARED);
    std::string data;
    Rc r;
    std::thread getter([&] { r = get(h, o, &data, MQGMO_WAIT | MQGMO_NO_SYNCPOINT, nullptr, 100, nullptr, 60000); });
    MQHCONN other = connect(qm.name());
    MQHOBJ out = open(other, "SYSTEM.DEFAULT.LOCAL.QUEUE", MQOO_OUTPUT);
    EXPECT_RC(put(other, out, "wake"), MQCC_OK, MQRC_NONE);
    getter.join();
    EXPECT_RC(r, MQCC_OK, MQRC_NONE);
    EXPECT_EQ(data, "wake");
    Rc d;
    MQDISC(&other, &d.cc, &d.reason);
}

TEST_F(Threads, SharedHandleServesSeveralThreads) {
    MQHOBJ o = open(h, "SYSTEM.DEFAULT.LOCAL.QUEUE", MQOO_OUTPUT | MQOO_INPUT_SHARED);
    std::vector<std::thread> threads;
    std::vector<Rc> results(4);
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < 25; ++i) {
                Rc r = put(h, o, "m");
                if (r.cc != MQCC_OK) results[static_cast<size_t>(t)] = r;
            }
        });
    for (auto &t : threads) t.join();
    for (const Rc &r : results) EXPECT_EQ(r.cc, -1);   // untouched: every put succeeded
    EXPECT_EQ(depth(qm.name(), "SYSTEM.DEFAULT.LOCAL.QUEUE"), 100);
}
