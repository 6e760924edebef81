// Kills at random: a child process folds queue statistics into hourly bins, runs the sync point after
// each batch and the absorb after it, and reports each committed batch; it is killed with SIGKILL at a
// random time or at a random data-queue call. After each kill a reload holds every reported batch once,
// in bins or in stored records, the batch in flight whole or not at all; at the end, with every bin
// absorbed, each queue's stored puts and RECORDS add up to what was put and no aggregation message is
// left.
#include <chrono>
#include <cstdio>
#include <random>
#include <thread>

#include "stats/aggr_qm.h"
#include "testing/self_process.h"

using namespace agt;
using zt::MqVerb;

namespace {

const std::vector<std::string> kQueues = {"QA", "QB", "QC"};
constexpr int64_t kBatches = 60;  // two a bin, over 30 hourly bins

int64_t putsOf(int64_t batch) {
    return 1 + batch % 7;
}
int64_t batchTime(int64_t batch) {
    return kT0 + batch * 1800;
}

// The child: orders in ZUNT_AGGR_WRITER="first last verb k apart" (batches first to last - 1; k 0:
// no MQI kill; apart 1: the absorb runs in a unit of a second connection, as set C's after set E's unit
// is closed), on the parent's queue manager.
class AggrRestartWriter : public AggrQmTest {
protected:
    AggrRestartWriter() : AggrQmTest(false) {}
    void SetUp() override {
        if (!std::getenv("ZUNT_AGGR_WRITER")) GTEST_SKIP() << "run by AggrRestartQm only";
        AggrQmTest::SetUp();
    }
};

TEST_F(AggrRestartWriter, DISABLED_FoldsUntilKilled) {
    int verb = 0, apart = 0;
    long long first = 0, last = 0;
    unsigned long long k = 0;
    if (std::sscanf(std::getenv("ZUNT_AGGR_WRITER"), "%lld %lld %d %llu %d", &first, &last, &verb, &k,
                    &apart) != 5)
        _exit(8);
    stream("AGG", STREAM_TYPE_STATQ, 3600);
    if (!reloadAll()) _exit(9);
    EvStreamIo ioC = io_;
    if (apart) {
        MQCHAR48 name;
        qmt::setText(name, 48, "QM1");
        MQLONG cc = 0, rc = 0;
        wrap_->table()->MQCONN(name, &ioC.hconn, &cc, &rc);
        MQOD od = MQOD_DEFAULT;
        qmt::setText(od.ObjectName, 48, kDataQueue);
        wrap_->table()->MQOPEN(ioC.hconn, &od, MQOO_INPUT_SHARED | MQOO_OUTPUT | MQOO_BROWSE | MQOO_INQUIRE,
                               &ioC.hobj, &cc, &rc);
        if (cc != MQCC_OK) _exit(9);
    }
    if (k) wrap_->killAt(static_cast<MqVerb>(verb), k);
    for (int64_t b = first; b < last; b++) {
        clock_.set(batchTime(b) + 20);
        if (!fold(find("AGG"), statQ(batchTime(b), kQueues, putsOf(b)))) _exit(10);
        if (!syncPoint()) _exit(11);
        if (!zt::reportToParent(&b, sizeof b)) _exit(12);
        if (apart ? !(evAggrAbsorbAll(&evContext, &ioC) && evStreamCommit(&ioC)) : !absorb()) _exit(13);
    }
    for (;;) std::this_thread::sleep_for(std::chrono::seconds(1));  // its batches written: waits for its kill
}

class AggrRestartQm : public AggrQmTest {
protected:
    // The writer, reporting each committed batch.
    static void startWriter(std::optional<zt::SelfProcess> *writer, int64_t first, int64_t last, MqVerb verb,
                            uint64_t k, int apart) {
        char orders[128];
        std::snprintf(orders, sizeof orders, "%lld %lld %d %llu %d", static_cast<long long>(first),
                      static_cast<long long>(last), static_cast<int>(verb),
                      static_cast<unsigned long long>(k), apart);
        zt::ScopedEnv env("ZUNT_AGGR_WRITER", orders);
        writer->emplace("AggrRestartWriter.DISABLED_FoldsUntilKilled", true);
    }
    // Each queue's puts and records in the bins and the stored records together.
    std::map<std::string, std::pair<uint64_t, uint64_t>> held(Stream *s) {
        auto sums = storedSums(s);
        for (AggrBin *bin : activeBins(s))
            for (AggrEntry *e : entries(bin)) {
                auto *q = reinterpret_cast<StatQRecord *>(e->record);
                auto &sum = sums[stt::text(q->queueName)];
                sum.first += q->putsNP;
                sum.second += q->records;
            }
        return sums;
    }
    static std::pair<uint64_t, uint64_t> expected(int64_t batches) {
        uint64_t puts = 0;
        for (int64_t b = 0; b < batches; b++) puts += static_cast<uint64_t>(putsOf(b));
        return {puts, static_cast<uint64_t>(batches)};
    }
};

TEST_F(AggrRestartQm, EveryCommittedRecordIsCountedOnceAcrossKills) {
    stream("AGG", STREAM_TYPE_STATQ, 3600);
    ASSERT_TRUE(syncPoint());
    uint32_t seed = static_cast<uint32_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    SCOPED_TRACE(testing::Message() << "seed " << seed);
    std::mt19937 random(seed);
    const MqVerb verbs[] = {MqVerb::MQPUT, MqVerb::MQGET, MqVerb::MQCMIT};
    int64_t committed = 0;  // batches 0 .. committed - 1 are on the data queue
    int rounds = 0;
    for (int round = 0; round < 20 && committed < kBatches; round++) {
        SCOPED_TRACE(testing::Message() << "round " << round);
        // A few batches each; odd rounds die at a data-queue call, even ones at a random time.
        int64_t last = std::min<int64_t>(kBatches, committed + 2 + static_cast<int64_t>(random() % 5));
#ifdef _WIN32
        // Under wine every round dies at a data-queue call: a writer ended from outside at a random
        // time can be inside a socket call, which leaves its socket open in the wine server (see the
        // statistics intake's kill test); the Linux build kills at times.
        const bool atTime = false;
#else
        const bool atTime = round % 2 == 0;
#endif
        uint64_t k = atTime ? 0 : 1 + random() % 12;
        std::optional<zt::SelfProcess> writer;
        startWriter(&writer, committed, last, verbs[random() % 3], k, static_cast<int>(random() % 2));
        ASSERT_TRUE(writer->started());
        // A writer to die at its k-th call is given until it dies or reports its last batch.
        int64_t b = -1, reported = committed - 1;
        for (int waited = 0; k && waited < 5000 && reported < last - 1 && !writer->wait(0); waited += 5) {
            while (writer->takeReport(&b, sizeof b)) reported = b;
            usleep(5000);
        }
        if (!k) usleep(5000 + random() % 60000);
        writer->kill();
        ASSERT_TRUE(writer->killed()) << "the writer stopped by itself: " << writer->exitCode();
        while (writer->takeReport(&b, sizeof b)) reported = b;
        const long long pid = writer->pid();
        writer.reset();
        ASSERT_TRUE(qmt::waitForConnectionsGone("QM1", pid));
        ASSERT_EQ(reloadAll(), 1);
        // Every reported batch once; the one in flight whole or not at all.
        auto sums = held(find("AGG"));
        auto without = expected(reported + 1), with = expected(reported + 2);
        for (const std::string &q : kQueues) {
            bool whole = sums[q] == without || (reported + 1 < kBatches && sums[q] == with);
            EXPECT_TRUE(whole) << q << " puts " << sums[q].first << " records " << sums[q].second
                               << " reported " << reported;
        }
        committed = sums[kQueues[0]] == with ? reported + 2 : reported + 1;
        rounds++;
    }
    EXPECT_GE(rounds, 10);
    // The rest as the writer does them (absorbing as it goes, so that no fold finds more open bins
    // than the threshold: its absorb would take the engine's set, which this test does not connect),
    // then every bin absorbed.
    for (int64_t b = committed; b < kBatches; b++) {
        clock_.set(batchTime(b) + 20);
        ASSERT_EQ(fold(find("AGG"), statQ(batchTime(b), kQueues, putsOf(b))), 1);
        ASSERT_TRUE(syncPoint());
        ASSERT_TRUE(absorb());
    }
    clock_.set(batchTime(kBatches) + 3600);
    ASSERT_TRUE(absorb());
    ASSERT_EQ(reloadAll(), 1);
    Stream *s = find("AGG");
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->activeBins, 0u);
    EXPECT_EQ(aggrOnQueue(), 0u);
    auto sums = storedSums(s);
    for (const std::string &q : kQueues) EXPECT_EQ(sums[q], expected(kBatches)) << q;
}

}  // namespace
