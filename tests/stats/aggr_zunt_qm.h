// The program itself (zunt) on a private stand-in queue manager, with the sweep disabled (-o S), so
// that set E's sync points absorb: queue statistics of known counts over 30 hourly bins are put in
// rounds, and each round's zunt is killed with SIGKILL at a random moment. The last one runs until
// the statistics queue is drained and every bin is absorbed. Then, loaded again from the data queue,
// each queue's stored puts and RECORDS add up to what was put and no aggregation message is left.
#pragma once

#include <chrono>
#include <cstdio>
#include <ctime>
#include <memory>
#include <random>

#include "stats/aggr_qm.h"
#include "stats/intake_testing.h"
#include "testing/built_paths.h"
#include "testing/program_child.h"

namespace agt {

class AggrZuntQm : public AggrQmTest {
protected:
    static constexpr const char *kStatsQueue = "SYSTEM.ADMIN.STATISTICS.QUEUE";
    static constexpr int kMessages = 60;  // two a bin

    void SetUp() override {
        AggrQmTest::SetUp();
        ASSERT_EQ(qm_->mqsc(std::string("DEFINE QLOCAL(") + EV_COMMAND_QUEUE_NAME + ")\n"), 0);
        // The program's first start writes its configuration; the statistics' default stream is
        // then made to aggregate hourly in it.
        {
            auto zunt = start();
            // Bounded for a loaded two-core machine.
            for (int waited = 0;
                 waited < 120000 && run_.read("zunt1.out").find("Commit successful") == std::string::npos;
                 waited += 20)
                usleep(20000);
            ASSERT_NE(run_.read("zunt1.out").find("Commit successful"), std::string::npos)
                << run_.read("zunt1.out");
            zunt->term();
            zunt->wait();
        }
        openDataQueue(true);
        char text[EV_CONFIG_TEXT + 2] = "";
        ASSERT_EQ(evCfgLoad(&io_), 1);
        StreamDef *def = evStreamDefine("$STATQ", -1, STREAM_TYPE_STATQ, 0, 0);
        ASSERT_NE(def, nullptr);
        def->aggrInt = 3600;
        // The statistics queue is taken in, as RESUME EVQ would have it.
        EventQueueDef probe{};
        std::strcpy(probe.name, kStatsQueue);
        auto *queue =
            reinterpret_cast<EventQueueDef *>(CSTreeFind(evEventQueueTree, probe.name, EV_QUEUE_NAME_MAX));
        ASSERT_NE(queue, nullptr);
        queue->suspended = 0;
        ASSERT_EQ(evCfgSave(&io_, text), 1) << text;
        MQLONG cc = 0, rc = 0;
        raw_.MQCMIT(hconn_, &cc, &rc);
        ASSERT_EQ(rc, MQRC_NONE);
    }

    static int64_t putsOf(int message) { return 1 + message % 7; }

    // Message n: queues QA, QB and QC, ending in hour n / 2 of the 30 hours that ended 10 hours ago
    // (the stream's retention keeps them; every bin is long due).
    std::vector<uint8_t> message(int n) {
        const int64_t first = (std::time(nullptr) / 3600 - 40) * 3600;
        const int64_t end = first + (n / 2) * 3600 + (n % 2 ? 50 : 20) * 60;
        itt::Pcf m(MQCFT_STATISTICS, MQCMD_STATISTICS_Q);
        m.interval("QM1", end - 600, end).number(MQIAMO_OBJECT_COUNT, 3);
        for (const char *q : {"QA", "QB", "QC"}) itt::statQGroup(m, q, {{735, {putsOf(n), 0}}});
        return m.bytes();
    }
    void put(int n) {
        std::vector<uint8_t> data = message(n);
        MQOD od = MQOD_DEFAULT;
        qmt::setText(od.ObjectName, 48, kStatsQueue);
        MQMD md = MQMD_DEFAULT;
        std::memcpy(md.Format, MQFMT_ADMIN, MQ_FORMAT_LENGTH);
        md.Persistence = MQPER_PERSISTENT;
        MQPMO pmo = MQPMO_DEFAULT;
        pmo.Options = MQPMO_NO_SYNCPOINT;
        MQLONG cc = 0, rc = 0;
        raw_.MQPUT1(hconn_, &od, &md, &pmo, static_cast<MQLONG>(data.size()), data.data(), &cc, &rc);
        ASSERT_EQ(rc, MQRC_NONE);
    }
    // Messages on a queue, by browsing (what is committed).
    size_t depth(const char *queue) {
        MQOD od = MQOD_DEFAULT;
        qmt::setText(od.ObjectName, 48, queue);
        MQHOBJ hobj = MQHO_UNUSABLE_HOBJ;
        MQLONG cc = 0, rc = 0;
        raw_.MQOPEN(hconn_, &od, MQOO_BROWSE, &hobj, &cc, &rc);
        size_t n = 0;
        for (MQLONG options = MQGMO_BROWSE_FIRST; cc != MQCC_FAILED; options = MQGMO_BROWSE_NEXT) {
            MQMD md = MQMD_DEFAULT;
            MQGMO gmo = MQGMO_DEFAULT;
            gmo.Options = options | MQGMO_ACCEPT_TRUNCATED_MSG;
            char byte = 0;
            MQLONG length = 0;
            raw_.MQGET(hconn_, hobj, &md, &gmo, 0, &byte, &length, &cc, &rc);
            if (cc != MQCC_FAILED) n++;
        }
        raw_.MQCLOSE(hconn_, &hobj, MQCO_NONE, &cc, &rc);
        return n;
    }

    // A run of the program, its output in a file of its own.
    std::unique_ptr<zt::ProgramChild> start() {
        openDataQueue(false);
        zt::ChildStart start{
            {ZUNT_PROGRAM, "-m", "QM1", "-o", "S", "-o", "c0", "-o", "g0", "-v", "N", "-L", run_.path()},
            zt::standInLibrary(MINIQM_MQM_LIBRARY, run_.file("mq")),
            run_.file("zunt" + std::to_string(++runs_) + ".out"),
            run_.file("zunt" + std::to_string(runs_) + ".out"),
            run_.path()};
        return std::make_unique<zt::ProgramChild>(start);
    }

    void runCycles(int cycles) {
        uint32_t seed = static_cast<uint32_t>(std::chrono::steady_clock::now().time_since_epoch().count());
        SCOPED_TRACE(testing::Message() << "seed " << seed);
        std::mt19937 random(seed);
        int before = connectionCount();
        ASSERT_GT(before, 0);
        int sent = 0;
        for (int cycle = 0; cycle < cycles; cycle++) {
            // Each round brings a few more messages, the rest keep for the last one.
            int more = std::min(kMessages - 1 - sent, static_cast<int>(random() % 4));
            for (int i = 0; i < more; i++) put(sent++);
            auto zunt = start();
            ASSERT_TRUE(zunt->started());
            usleep(static_cast<useconds_t>(50000 + random() % 400000));
            zunt->kill9();
            ASSERT_TRUE(waitForConnections(before));
        }
        while (sent < kMessages) put(sent++);
        auto zunt = start();
        ASSERT_TRUE(zunt->started());
        bool drained = false;
        for (int waited = 0; waited < 120000 && !drained; waited += 100) {
            usleep(100000);
            // None left, none in an open unit: an aggregation message got in one is not browsed.
            drained = qmt::queueTaken("QM1", kStatsQueue) &&
                      qmt::controlNumber(qmt::control("QM1", std::string("queue ") + kDataQueue),
                                         "uncommitted ") == 0 &&
                      aggrOnQueue() == 0;
        }
        zunt->term();
        zunt->wait();
        ASSERT_TRUE(waitForConnections(before));
        ASSERT_TRUE(drained) << "statistics " << depth(kStatsQueue) << ", aggregation messages "
                             << aggrOnQueue() << ", data queue " << depth(kDataQueue);

        // Memory as the next start would load it.
        openDataQueue(true);
        evContext.sets[EV_SET_C].io = io_;
        ASSERT_EQ(evFreeAll(0), 1);
        ASSERT_EQ(evLoadStoredState(&evContext), 1);
        evContext.sets[EV_SET_C].io = EvStreamIo{nullptr, -1, -1, 0, 1, 0};
        char text[EV_CONFIG_TEXT];
        QmgrEntry *qmgr = evQmgrFindOrAdd("QM1", 0, text);
        ASSERT_NE(qmgr, nullptr);
        Stream *stream = nullptr;
        for (Stream *s = qmgr->streams; s; s = s->next)
            if (std::strcmp(s->definition->name, "$STATQ") == 0) stream = s;
        ASSERT_NE(stream, nullptr);
        EXPECT_EQ(stream->activeBins, 0u);
        uint64_t puts = 0;
        for (int n = 0; n < kMessages; n++) puts += static_cast<uint64_t>(putsOf(n));
        auto sums = storedSums(stream);
        ASSERT_EQ(sums.size(), 3u);
        for (const char *q : {"QA", "QB", "QC"}) {
            EXPECT_EQ(sums[q].first, puts) << q;
            EXPECT_EQ(sums[q].second, static_cast<uint64_t>(kMessages)) << q;
        }
    }

    zt::TempDir run_;
    int runs_ = 0;
};

}  // namespace agt
