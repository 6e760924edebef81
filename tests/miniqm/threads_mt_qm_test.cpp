// Connections used from several threads: handles bound to their thread unless shared, calls of
// several threads on one shared handle, a waiting get woken by another connection's put, and
// producers and consumers in units of work side by side.
#include <atomic>
#include <set>
#include <thread>
#include <vector>

#include "miniqm/qm_fixture.h"

using namespace qmt;

namespace {

class Threads : public QmTest {};

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
    std::thread getter(
        [&] { r = get(h, o, &data, MQGMO_WAIT | MQGMO_NO_SYNCPOINT, nullptr, 100, nullptr, 60000); });
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
    for (const Rc &r : results) EXPECT_EQ(r.cc, -1);  // untouched: every put succeeded
    EXPECT_EQ(depth(qm.name(), "SYSTEM.DEFAULT.LOCAL.QUEUE"), 100);
}

TEST(Concurrency, ConnectionsPuttingAndGettingTogetherLoseAndDuplicateNothing) {
    QmServer qm;
    ASSERT_TRUE(qm.ok());
    std::string out;
    ASSERT_EQ(qm.mqsc("DEFINE QLOCAL(CONC.Q) MAXDEPTH(100000)\n", &out), 0) << out;
    constexpr int kProducers = 3, kConsumers = 3, kBatches = 20, kPerBatch = 10;
    std::vector<std::thread> threads;
    std::vector<std::vector<std::string>> got(kConsumers);
    std::atomic<int> producersLeft{kProducers};
    for (int p = 0; p < kProducers; ++p)
        threads.emplace_back([&, p] {
            MQHCONN h = connect(qm.name());
            MQHOBJ o = open(h, "CONC.Q", MQOO_OUTPUT);
            Rc r;
            for (int b = 0; b < kBatches; ++b) {
                for (int i = 0; i < kPerBatch; ++i)
                    put(h, o, std::to_string(p) + "." + std::to_string(b) + "." + std::to_string(i),
                        MQPMO_SYNCPOINT);
                // Every fifth batch is backed out: none of it may ever be seen.
                if (b % 5 == 4)
                    MQBACK(h, &r.cc, &r.reason);
                else
                    MQCMIT(h, &r.cc, &r.reason);
            }
            MQDISC(&h, &r.cc, &r.reason);
            --producersLeft;
        });
    for (int c = 0; c < kConsumers; ++c)
        threads.emplace_back([&, c] {
            MQHCONN h = connect(qm.name());
            MQHOBJ o = open(h, "CONC.Q", MQOO_INPUT_SHARED);
            Rc r;
            for (;;) {
                std::string data;
                Rc g = get(h, o, &data, MQGMO_SYNCPOINT | MQGMO_WAIT, nullptr, 100, nullptr, 200);
                if (g.cc == MQCC_OK) {
                    got[static_cast<size_t>(c)].push_back(data);
                    MQCMIT(h, &r.cc, &r.reason);
                } else if (producersLeft == 0) {
                    break;
                }
            }
            MQDISC(&h, &r.cc, &r.reason);
        });
    for (auto &t : threads) t.join();
    std::multiset<std::string> all;
    for (const auto &v : got) all.insert(v.begin(), v.end());
    std::multiset<std::string> expected;
    for (int p = 0; p < kProducers; ++p)
        for (int b = 0; b < kBatches; ++b)
            if (b % 5 != 4)
                for (int i = 0; i < kPerBatch; ++i)
                    expected.insert(std::to_string(p) + "." + std::to_string(b) + "." + std::to_string(i));
    EXPECT_EQ(all, expected);
    EXPECT_EQ(depth(qm.name(), "CONC.Q"), 0);
}
