// Restarts at random points: a child process appends numbered batches, hardens and commits each one
// and reports it, consolidating and expiring as the sync point does; it is killed with SIGKILL (at a
// random time or at a random MQI call), sometimes the queue manager too. After each kill a reload
// holds every reported record that cannot have expired exactly once, the batch in flight whole or not
// at all, and nothing else.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <optional>
#include <random>
#include <set>

#include "streams/qmstream.h"
#include "testing/self_process.h"

namespace st {
namespace {

using zt::MqVerb;

constexpr int32_t kBatch = 3;          // records per batch
constexpr uint32_t kRetention = 20;    // seconds; batch b has time base + b
constexpr uint32_t kOnePerBlob = 120;  // with ZUNT_STREAM "200,4" each record closes the blob before it

// The writer, run as a process of its own (the MQ library is not one to fork with connections): it
// takes its orders from ZUNT_RESTART_WRITER="first verb k base", reports each committed batch and
// uses the test's queue manager.
class RestartWriter : public DataQueueTest {
protected:
    RestartWriter() : DataQueueTest(false) {}
    zt::ScopedEnv size_{"ZUNT_STREAM", "200,4"};
    void SetUp() override {
        if (!std::getenv("ZUNT_RESTART_WRITER")) GTEST_SKIP() << "run by RestartQm only";
        DataQueueTest::SetUp();
    }
};

TEST_F(RestartWriter, DISABLED_WritesUntilKilled) {
    const char *orders = std::getenv("ZUNT_RESTART_WRITER");
    int verb = 0;
    long long first = 0, base = 0;
    unsigned long long k = 0;
    if (std::sscanf(orders, "%lld %d %llu %lld", &first, &verb, &k, &base) != 4) _exit(8);
    if (k) wrap_->killAt(static_cast<MqVerb>(verb), k);
    // A restart comes after what was stored: a load dates a blob from its future as the load.
    clock_.set(base + first);
    stream("S", kRetention);
    if (!reload()) _exit(10);
    Stream *s = find("S");
    for (int64_t b = first;; b++) {
        clock_.set(base + b);
        for (int32_t i = 1; i <= kBatch; i++) {
            std::vector<uint8_t> r = numbered(static_cast<int32_t>(b * kBatch + i), base + b, kOnePerBlob);
            if (!evStreamAdd(qmgr(), s, r.data(), kOnePerBlob, base + b, nullptr)) _exit(11);
        }
        if (!syncPoint()) _exit(12);
        if (!zt::reportToParent(&b, sizeof b)) _exit(13);
        if (!evStreamConsolidateAll(&io_, s)) _exit(14);
        int removed = 1;
        while (removed)
            if (!evStreamExpire(&io_, s, &removed)) _exit(15);
    }
}

class RestartQm : public DataQueueTest {
protected:
    // Starts the writer with batches from `first` on; it dies at its k-th call of verb (k 0: never).
    void startWriter(std::optional<zt::SelfProcess> *writer, int64_t first, MqVerb verb, uint64_t k) {
        char orders[128];
        std::snprintf(orders, sizeof orders, "%lld %d %llu %lld", static_cast<long long>(first),
                      static_cast<int>(verb), static_cast<unsigned long long>(k),
                      static_cast<long long>(base_));
        zt::ScopedEnv env("ZUNT_RESTART_WRITER", orders);
        writer->emplace("RestartWriter.DISABLED_WritesUntilKilled", true);
    }
    int64_t base_ = 0;
};

TEST_F(RestartQm, EveryReportedRecordSurvivesKillsOfTheWriterAndTheQueueManager) {
    zt::ScopedEnv size("ZUNT_STREAM", "200,4");
    Stream *s = stream("S", kRetention);
    base_ = clock_.now();
    ASSERT_EQ(syncPoint(), 1);
    uint32_t seed = static_cast<uint32_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 random(seed);
    int64_t reported = -1, next = 0;
    std::set<int64_t> inFlightBatches;
    const MqVerb verbs[] = {MqVerb::MQPUT, MqVerb::MQGET, MqVerb::MQCMIT};
    for (int round = 0; round < 6; round++) {
        SCOPED_TRACE("round " + std::to_string(round));
        MqVerb verb = verbs[random() % 3];
        uint64_t k = round % 2 ? 20 + random() % 200 : 0;  // odd rounds die at an MQI call
        std::optional<zt::SelfProcess> writer;
        startWriter(&writer, next, verb, k);
        ASSERT_TRUE(writer->started());
        // A writer to die at its k-th call is given up to 5 s to get there.
        if (k)
            writer->wait(5000);
        else
            usleep(50000 + random() % 250000);
        writer->kill();
        ASSERT_TRUE(writer->killed()) << "the writer stopped by itself: " << writer->exitCode();
        int64_t b;
        while (writer->takeReport(&b, sizeof b)) reported = b;
        const long long pid = writer->pid();
        writer.reset();
        ASSERT_NO_FATAL_FAILURE(afterKill(round % 3 == 2, pid));  // now and then the queue manager too

        clock_.set(base_ + reported + 1);
        ASSERT_EQ(reload(), 1);
        s = find("S");
        std::vector<int32_t> numbers = recordNumbers(s);
        std::multiset<int32_t> loaded(numbers.begin(), numbers.end());
        std::set<int32_t> unique(numbers.begin(), numbers.end());
        EXPECT_EQ(unique.size(), loaded.size()) << "a record loaded twice";
        // The batch in flight at the kill is whole or absent; its number is never written again.
        int64_t inFlight = reported + 1;
        inFlightBatches.insert(inFlight);
        std::map<int64_t, int32_t> found;
        for (int32_t n : unique) {
            int64_t batch = (n - 1) / kBatch;
            EXPECT_LE(batch, inFlight) << n;
            found[batch]++;
        }
        // Expiry ran with the clock at most at the last reported batch: younger batches are whole
        // (older ones may have lost blobs to expiry one by one).
        int64_t young = std::max<int64_t>(0, reported - kRetention + 1);
        for (int64_t batch : inFlightBatches)
            if (batch >= young) {
                EXPECT_TRUE(found[batch] == 0 || found[batch] == kBatch) << batch;
            }
        for (int64_t batch = young; batch <= reported; batch++)
            if (!inFlightBatches.count(batch)) {
                EXPECT_EQ(found[batch], kBatch) << "batch " << batch << " of " << reported;
            }
        size_t blobs = 0, stored = 0;
        for (StreamBlob *blob = s->blobs; blob; blob = blob->next) blobs++;
        for (const auto &[correlId, n] : copies()) {
            EXPECT_EQ(n, 1);
            if (mqiGetU32(correlId.data(), 8) == s->streamId) stored++;
        }
        // The stream's header is stored with the writer's first commit (a stream without records
        // has nothing to harden): a writer killed before that leaves nothing of it on the queue.
        const bool neverCommitted = reported < 0 && unique.empty() && blobs == 0;
        if (!(neverCommitted && stored == 0)) {
            EXPECT_EQ(stored, 1 + blobs) << "a message no blob loads";
        }
        next = inFlight + 1;
    }
    EXPECT_GT(reported, 0);
}

}  // namespace
}  // namespace st
