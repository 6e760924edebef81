// The intake of statistics and accounting messages, over messages built as IBM MQ writes them and the
// engine's stream road and dead-letter put replaced by recorders; records are read back item by item
// and through the families' parsers.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <map>
#include <string>
#include <vector>

#include "intake_testing.h"
#include "stats/intake.h"
#include "stats_testing.h"
#include "testing/console_capture.h"

namespace {

using stt::readObjects;
using namespace itt;

// ---- The engine's calls, recorded ----

struct Put {
    std::string qmgr;
    uint32_t type;
    int32_t count;
    int64_t time;
    std::vector<uint8_t> record;
};
std::vector<Put> puts;
std::vector<int32_t> deadLettered;

int recordPut(QmgrContext *, QmgrEntry *qmgr, uint32_t type, const MQMD *, int64_t time, int32_t count,
              EventQueueDef *, uint8_t *record, uint32_t length, Area **) {
    puts.push_back({qmgr ? qmgr->name : "", type, count, time, {record, record + length}});
    return 1;
}
int recordDeadLetter(QmgrContext *, ConnectionSet *, EventQueueDef *, const MQMD *, const uint8_t *, int32_t,
                     int32_t feedback, const char *) {
    deadLettered.push_back(feedback);
    return 1;
}

// A record item by item: "id=value" (64-bit "id=valueL", strings quoted), "G<id>" and "E" for groups.
std::vector<std::string> itemsOf(const std::vector<uint8_t> &record) {
    evCFCursor c;
    evCFCursorInit(&c, &evStreamStringPool, record.data(), static_cast<uint32_t>(record.size()), 1, 0);
    std::vector<std::string> out;
    evCFItem item{};
    int32_t cc = 0, rc = 0;
    while (evCFNextParm(&c, &item, &cc, &rc), cc == MQCC_OK) {
        std::string id = std::to_string(item.parmId);
        switch (item.type) {
            case MQCFT_GROUP:
                out.push_back("G" + id);
                break;
            case PCF_TYPE_GROUP_END:
                out.push_back("E");
                break;
            case MQCFT_STRING:
                out.push_back(id + "='" + std::string(static_cast<const char *>(item.data), item.length) +
                              "'");
                break;
            case MQCFT_INTEGER64:
                out.push_back(id + "=" + std::to_string(item.value) + "L");
                break;
            case MQCFT_BYTE_STRING:
                out.push_back(id + "=#" + std::to_string(item.length));
                break;
            default:
                out.push_back(id + "=" + std::to_string(item.value));
                break;
        }
    }
    EXPECT_EQ(rc, PCF_END_OF_MESSAGE);
    return out;
}

bool has(const std::vector<std::string> &items, const std::string &item) {
    return std::find(items.begin(), items.end(), item) != items.end();
}
// The items of a record whose id is one of those given, in record order.
std::vector<std::string> only(const std::vector<std::string> &items, const std::vector<int32_t> &ids) {
    std::vector<std::string> out;
    for (const std::string &item : items)
        for (int32_t id : ids)
            if (item.rfind(std::to_string(id) + "=", 0) == 0) out.push_back(item);
    return out;
}

class StatsIntake : public stt::StatsTest {
protected:
    void SetUp() override {
        stt::StatsTest::SetUp();
        cfgFreeModel(1);
        for (EvCounter &c : evStatsCounters) c = EvCounter{};
        evSettings.accountingSelf.store(EV_ACCTSELF_DISCARD);
        evSettings.useDlq.store(EV_USEDLQ_YES);
        statsChannelWarned.store(0);
        saved_ = statsEngineCalls;
        statsEngineCalls = {recordPut, recordDeadLetter};
        puts.clear();
        deadLettered.clear();
        const char *tz = std::getenv("TZ");
        if (tz) savedTz_ = tz, hadTz_ = true;
        setTz("UTC");
        unsetenv("ZUNT_NO_SCQM_FIX");
        md_ = MQMD_DEFAULT;
        evContext.currentMd = &md_;
        evContext.currentQueue = &queue_;
    }
    void TearDown() override {
        evContext.currentMd = nullptr;
        evContext.currentQueue = nullptr;
        statsEngineCalls = saved_;
        unsetenv("ZUNT_NO_SCQM_FIX");
        if (hadTz_)
            setenv("TZ", savedTz_.c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
        cfgFreeModel(1);
        stt::StatsTest::TearDown();
    }
    static void setTz(const char *zone) {
        setenv("TZ", zone, 1);
        tzset();
    }
    // Hands a message to the engine's intake slot as the engine does.
    int ingest(std::vector<uint8_t> message) {
        return statsIntake(&evContext, mqiGetI32(message.data(), 12), message.data(),
                           static_cast<int32_t>(message.size()));
    }
    static uint32_t qmgrCount(const char *name, EvQmgrCounter counter) {
        char error[EV_CONFIG_TEXT];
        QmgrEntry *qmgr = evQmgrFindOrAdd(name, 0, error);
        return qmgr ? qmgr->counters[counter].current : 0;
    }
    EventQueueDef queue_{};
    MQMD md_{};

private:
    StatsEngineCalls saved_{};
    std::string savedTz_;
    bool hadTz_ = false;
};

// ---- Queue statistics ----

TEST_F(StatsIntake, QueueStatisticsStoreTheActiveQueuesOnlyInTheWritersOrder) {
    Values q1 = {{20, {1}}, {7, {1}}, {735, {5, 3}}, {734, {1, 0}}};
    ASSERT_EQ(ingest(statQ("QM1", {{"Q1", q1}, {"Q2", {}}})), 1);
    ASSERT_EQ(puts.size(), 1u);
    EXPECT_EQ(puts[0].qmgr, "QM1");
    EXPECT_EQ(puts[0].type, STREAM_TYPE_STATQ);
    EXPECT_EQ(puts[0].count, 1);
    EXPECT_EQ(puts[0].time, kEnd);
    const std::vector<uint8_t> &record = puts[0].record;
    EXPECT_EQ(evCFGetCommand(record.data()), MQCMD_STATISTICS_Q);
    EXPECT_EQ(evCFGetIntervalStart(record.data()), kStart);
    EXPECT_EQ(evCFGetIntervalEnd(record.data()), kEnd);
    // The depths are values even when 0.
    EXPECT_EQ(itemsOf(record),
              (std::vector<std::string>{"31=940", "G8011", "2016='Q1'", "20=1", "7=1", "31003=5", "31004=3",
                                        "31007=1", "31036=0", "31037=0", "E"}));
    auto objects = readObjects(&evStatQFamily, record);
    ASSERT_EQ(objects.size(), 1u);
    StatQRecord q;
    std::memcpy(&q, objects[0].data(), sizeof q);
    EXPECT_EQ(stt::text(q.queueName), "Q1");
    EXPECT_EQ(q.puts, 8u);
    EXPECT_EQ(q.put1s, 1u);
    EXPECT_EQ(q.intervalStart, kStart);

    EXPECT_EQ(evStatsCounters[0].current, 1u);
    EXPECT_EQ(queue_.counters[EV_EQC_STATQ].current, 1u);
    EXPECT_EQ(qmgrCount("QM1", EV_QMC_STATQ), 1u);

    // All queues quiet: nothing stored, every counter still counts the message.
    ASSERT_EQ(ingest(statQ("QM1", {{"Q1", {}}, {"Q2", {}}})), 1);
    EXPECT_EQ(puts.size(), 1u);
    EXPECT_EQ(evStatsCounters[0].current, 2u);
    EXPECT_EQ(queue_.counters[EV_EQC_STATQ].current, 2u);
    EXPECT_EQ(qmgrCount("QM1", EV_QMC_STATQ), 2u);
}

TEST_F(StatsIntake, EveryQueueCounterReachesItsStoredParameterAndUnknownOnesArePassedOver) {
    Pcf m(MQCFT_STATISTICS, MQCMD_STATISTICS_Q);
    m.interval("QM1").number(MQIAMO_OBJECT_COUNT, 1);
    statQGroup(m, "Q1",
               {{740, {2}},
                {739, {9}},
                {703, {700, 701}},
                {735, {1, 2}},
                {754, {3}},
                {734, {4, 5}},
                {755, {6}},
                {748, {5000000000, 8}},
                {722, {9, 10}},
                {747, {11, 12}},
                {725, {13}},
                {705, {14, 15}},
                {745, {16, 17}},
                {708, {18}},
                {759, {19}},
                {758, {21}},
                {760, {22}}},
               990);  // parameters of a newer queue manager at the group's end
    ASSERT_EQ(ingest(m.bytes()), 1);
    ASSERT_EQ(puts.size(), 1u);
    EXPECT_EQ(itemsOf(puts[0].record),
              (std::vector<std::string>{"31=940",   "G8011",      "2016='Q1'",         "20=1",     "7=1",
                                        "31003=1",  "31004=2",    "31011=5000000000L", "31012=8L", "31005=3",
                                        "31007=4",  "31008=5",    "31009=6",           "31014=9",  "31015=10",
                                        "31019=13", "31017=11L",  "31018=12L",         "31021=14", "31022=15",
                                        "31023=18", "31025=16L",  "31026=17L",         "31027=19", "31028=21",
                                        "31029=22", "31000=700L", "31001=701L",        "31036=2",  "31037=9",
                                        "E"}));
}

// A minimum depth of 0 (a drained queue) is a value: depths 4, 2 and 0 sum to the minimum 0.
TEST_F(StatsIntake, AMinimumDepthOfZeroIsStoredAndWins) {
    for (int64_t depth : {4, 2, 0})
        ASSERT_EQ(ingest(statQ("QM1", {{"Q1", {{740, {depth}}, {739, {9}}, {735, {1, 0}}}}})), 1);
    ASSERT_EQ(puts.size(), 3u);
    StatQRecord sum{};
    for (size_t i = 0; i < puts.size(); i++) {
        auto objects = readObjects(&evStatQFamily, puts[i].record);
        ASSERT_EQ(objects.size(), 1u);
        if (i == 0)
            std::memcpy(&sum, objects[0].data(), sizeof sum);
        else
            evStatQSum(&sum, reinterpret_cast<const StatQRecord *>(objects[0].data()), 0, 0);
    }
    EXPECT_EQ(sum.minDepth, 0u);
    EXPECT_EQ(sum.maxDepth, 9u);
}

TEST_F(StatsIntake, ListsTakeTheElementsTheyHaveAndSingleValuesTakeEitherForm) {
    struct Case {
        const char *what;
        void (*build)(Pcf &);
        std::vector<int32_t> ids;
        std::vector<std::string> expected;
    };
    const Case cases[] = {
        {"opens by object type, 13 values",
         [](Pcf &m) {
             m.list(MQIAMO_OPENS, {100, 101, 102, 103, 104, 105, 106, 107, 108, 109, 110, 111, 112});
         },
         {31042, 31043, 31044, 31045, 31046},
         {"31042=101", "31043=102", "31044=103", "31045=105", "31046=108"}},
        {"opens by object type, 5 values: no queue manager, no topic",
         [](Pcf &m) {
             m.list(MQIAMO_OPENS, {100, 101, 102, 103, 104});
         },
         {31042, 31043, 31044, 31045, 31046},
         {"31042=101", "31043=102", "31044=103"}},
        {"inquiries from elements 1, 2, 3 and 5",
         [](Pcf &m) {
             m.list(MQIAMO_INQS, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12});
         },
         {31065, 31066, 31067, 31068},
         {"31065=1", "31066=2", "31067=3", "31068=5"}},
        {"sets from element 1; an MQCFIN is element 0 only",
         [](Pcf &m) {
             m.list(MQIAMO_SETS, {7, 8, 9}).number(MQIAMO_SETS_FAILED, 4);
         },
         {31073, 31074},
         {"31073=8"}},
        {"a persistence list of one value",
         [](Pcf &m) { m.list(MQIAMO_PUTS, {7}); },
         {31003, 31004},
         {"31003=7"}},
        {"a single counter as an MQCFIL",
         [](Pcf &m) {
             m.list(MQIAMO_PUTS_FAILED, {6, 9});
         },
         {31005},
         {"31005=6"}},
        {"64-bit values from 32-bit forms, widened with their sign",
         [](Pcf &m) {
             m.list(MQIAMO64_PUT_BYTES, {-2, 3});
         },
         {31011, 31012},
         {"31011=-2L", "31012=3L"}},
        {"a 64-bit form is not taken by a 32-bit counter",
         [](Pcf &m) { m.list64(MQIAMO_COMMITS, {5}).list64(MQIAMO_BACKOUTS, {6}); },
         {31062, 31064},
         {}},
        {"disconnects element by element",
         [](Pcf &m) {
             m.list(MQIAMO_DISCS, {1, 2, 3});
         },
         {31109, 31110, 31111},
         {"31109=1", "31110=2", "31111=3"}},
    };
    for (const Case &c : cases) {
        puts.clear();
        Pcf m(MQCFT_STATISTICS, MQCMD_STATISTICS_MQI);
        m.interval("QM1").number(MQIAMO_CONNS, 1);  // active whatever the case gives
        c.build(m);
        ASSERT_EQ(ingest(m.bytes()), 1) << c.what;
        ASSERT_EQ(puts.size(), 1u) << c.what;
        EXPECT_EQ(only(itemsOf(puts[0].record), c.ids), c.expected) << c.what;
    }
}

TEST_F(StatsIntake, MqiStatisticsStoreOneFlatRecordUnlessEveryCounterIsZero) {
    Pcf m(MQCFT_STATISTICS, MQCMD_STATISTICS_MQI);
    m.interval("QM1").number(MQIAMO_CONNS, 3).list(MQIAMO_PUTS, {0, 4});
    ASSERT_EQ(ingest(m.bytes()), 1);
    ASSERT_EQ(puts.size(), 1u);
    EXPECT_EQ(puts[0].type, STREAM_TYPE_STATMQI);
    EXPECT_EQ(itemsOf(puts[0].record), (std::vector<std::string>{"31=940", "31107=3", "31004=4"}));
    auto objects = readObjects(&evStatMQIFamily, puts[0].record);
    ASSERT_EQ(objects.size(), 1u);
    StatMQIRecord r;
    std::memcpy(&r, objects[0].data(), sizeof r);
    EXPECT_EQ(r.connections, 3u);
    EXPECT_EQ(r.puts, 4u);

    Pcf quiet(MQCFT_STATISTICS, MQCMD_STATISTICS_MQI);
    quiet.interval("QM1").number(MQIAMO_CONNS, 0).list(MQIAMO_PUTS, {0, 0});
    ASSERT_EQ(ingest(quiet.bytes()), 1);
    EXPECT_EQ(puts.size(), 1u);
    EXPECT_EQ(evStatsCounters[1].current, 2u);
    EXPECT_EQ(qmgrCount("QM1", EV_QMC_STATMQI), 2u);
}

// ---- Accounting ----

TEST_F(StatsIntake, MqiAccountingCarriesItsConnectionAndItsDuration) {
    ASSERT_EQ(ingest(acctMQI("amqsput", 0, "10.00.00", "10.00.00")), 1);
    ASSERT_EQ(ingest(acctMQI("amqsput", 2, "10.00.00", "10.30.00")), 1);
    ASSERT_EQ(puts.size(), 2u);
    EXPECT_EQ(puts[0].type, STREAM_TYPE_ACCTMQI);
    EXPECT_EQ(evCFGetFlags(puts[0].record.data()), 0);
    EXPECT_EQ(
        itemsOf(puts[0].record),
        (std::vector<std::string>{"3024='amqsput'", "3501=''", "3025='mqm'", "3506=''", "3561=''", "3560=''",
                                  "1079=0", "1024=77", "1025=1", "31040=1767261600L", "31041=1767261600L",
                                  "31108=1", "716=0", "7006=#24", "31=940", "31042=2", "31003=3"}));
    // A later record of the connection: its duration, but not its connect time.
    std::vector<std::string> later = itemsOf(puts[1].record);
    EXPECT_FALSE(has(later, "31040=1767261600L"));
    EXPECT_TRUE(has(later, "31041=1767263400L"));
    EXPECT_TRUE(has(later, "31108=1800"));
    auto objects = readObjects(&evAcctMQIFamily, puts[0].record);
    ASSERT_EQ(objects.size(), 1u);
    AcctMQIRecord r;
    std::memcpy(&r, objects[0].data(), sizeof r);
    EXPECT_EQ(stt::text(r.applName), "amqsput");
    EXPECT_EQ(r.connections, 1u);  // the first record counts its connection
    EXPECT_EQ(r.openQueue, 2u);
}

TEST_F(StatsIntake, OwnAccountingIsDroppedUnlessAcctselfKeepsIt) {
    struct Case {
        int32_t command;
        EvQmgrCounter qmgrCounter;
        EvQueueCounter queueCounter;
        int statsCounter;
        uint32_t qmgrRisesWhenDropped;
    };
    const Case cases[] = {{MQCMD_ACCOUNTING_MQI, EV_QMC_ACCTMQI, EV_EQC_ACCTMQI, 4, 0},
                          {MQCMD_ACCOUNTING_Q, EV_QMC_ACCTQ, EV_EQC_ACCTQ, 3, 1}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.command);
        auto message = [&] {
            return c.command == MQCMD_ACCOUNTING_MQI
                       ? acctMQI("Holva Software ZUNT", 0, "10.00.00", "10.00.01")
                       : acctQ("QM1", "Holva Software ZUNT");
        };
        puts.clear();
        cfgFreeModel(1);
        evSettings.accountingSelf.store(EV_ACCTSELF_DISCARD);
        uint32_t before = evStatsCounters[c.statsCounter].current;
        ASSERT_EQ(ingest(message()), 1);
        EXPECT_TRUE(puts.empty());
        EXPECT_EQ(evStatsCounters[c.statsCounter].current, before + 1);
        EXPECT_EQ(queue_.counters[c.queueCounter].current, before + 1);
        EXPECT_EQ(qmgrCount("QM1", c.qmgrCounter), c.qmgrRisesWhenDropped);

        evSettings.accountingSelf.store(EV_ACCTSELF_KEEP);
        ASSERT_EQ(ingest(message()), 1);
        ASSERT_EQ(puts.size(), 1u);
        EXPECT_EQ(evCFGetFlags(puts[0].record.data()), EVCF_FLAG_OWN_APPL);
        EXPECT_EQ(itemsOf(puts[0].record).size() > 1, true);
    }
}

TEST_F(StatsIntake, QueueAccountingWritesTheApplicationOnceThenEachQueueInItsGroup) {
    Pcf m(MQCFT_ACCOUNTING, MQCMD_ACCOUNTING_Q);
    m.interval("QM1")
        .bytes(MQBACF_CONNECTION_ID, std::string(24, 'c'))
        .number(MQIACF_SEQUENCE_NUMBER, 0)
        .text(MQCACF_APPL_NAME, "app", 28)
        .number(MQIACF_PROCESS_ID, 5)
        .number(MQIACF_THREAD_ID, 6)
        .text(MQCACF_USER_IDENTIFIER, "mqm", 12)
        .number(MQIAMO_OBJECT_COUNT, 2);
    for (const char *name : {"TMP.Q", "Q1"}) {
        m.group(MQGACF_Q_ACCOUNTING_DATA)
            .text(MQCA_Q_NAME, name, 48)
            .number(MQIA_Q_TYPE, 1)
            .number(MQIA_DEFINITION_TYPE, std::string(name) == "TMP.Q" ? 3 : 1)
            .text(MQCA_CREATION_DATE, "2026-01-01", 12)
            .text(MQCA_CREATION_TIME, "09.00.00")
            .number(MQIAMO_OPENS, 1)
            .text(MQCAMO_OPEN_DATE, "2026-01-01", 12)
            .text(MQCAMO_OPEN_TIME, "10.00.00")
            .text(MQCAMO_CLOSE_DATE, "", 12)
            .text(MQCAMO_CLOSE_TIME, "")
            .list(MQIAMO_PUTS, {2, 0})
            .list(MQIAMO_PUT_MIN_BYTES, {0, 0})
            .list(MQIAMO_Q_TIME_MIN, {4, 0})
            .list64(MQIAMO64_Q_TIME_AVG, {4, 0})
            .end();
    }
    // Temporary dynamic queues: left out under TEMPQ DISCARD, kept with their creation time under STORE.
    for (int32_t tempq : {EV_TEMPQ_DISCARD, EV_TEMPQ_STORE}) {
        puts.clear();
        queue_.tempQ = tempq;
        ASSERT_EQ(ingest(m.bytes()), 1);
        ASSERT_EQ(puts.size(), 1u);
        std::vector<std::string> items = itemsOf(puts[0].record);
        std::vector<std::string> head(items.begin(), items.begin() + 9);
        EXPECT_EQ(head, (std::vector<std::string>{"7006=#24", "1079=0", "3024='app'", "1024=5", "1025=6",
                                                  "3025='mqm'", "3501=''", "3506=''", "31=940"}));
        std::vector<std::string> q1 = {
            "G8010",   "2016='Q1'", "20=1",     "7=1",      "31151=1",  "31149=1767261600L", "31003=2",
            "31153=0", "31154=0",   "31171=4L", "31172=0L", "31173=4L", "31174=0L",          "E"};
        std::vector<std::string> expected = head;
        if (tempq == EV_TEMPQ_STORE) {
            std::vector<std::string> tmp = q1;
            tmp[1] = "2016='TMP.Q'";
            tmp[3] = "7=3";
            tmp.insert(tmp.begin() + 4, "31148=1767258000L");
            expected.insert(expected.end(), tmp.begin(), tmp.end());
        }
        expected.insert(expected.end(), q1.begin(), q1.end());
        EXPECT_EQ(items, expected) << tempq;
        EXPECT_EQ(readObjects(&evAcctQFamily, puts[0].record).size(), tempq == EV_TEMPQ_STORE ? 2u : 1u);
    }
}

// ---- Channel statistics ----

TEST_F(StatsIntake, ChannelStatisticsTakeTheQueueManagerFromReplyToQmgrAndWarnOnce) {
    std::memcpy(md_.ReplyToQMgr, "QMA", 3);
    zt::ConsoleCapture console;
    ASSERT_EQ(ingest(statChl("QMB")), 1);
    ASSERT_EQ(ingest(statChl("QMB")), 1);
    ASSERT_EQ(puts.size(), 2u);
    EXPECT_EQ(puts[0].qmgr, "QMA");
    EXPECT_EQ(puts[0].type, STREAM_TYPE_STATCHL);
    EXPECT_EQ(
        itemsOf(puts[0].record),
        (std::vector<std::string>{"31=940", "G8012", "3501='QMA.QMC'", "2017='QMC'", "3506='host(1414)'",
                                  "1511=1", "31136=10", "31137=12345L", "31139=-5", "31142=7", "E"}));
    std::string text = console.out() + console.err();
    EXPECT_EQ(text.find("IBM MQ QMgr is generating bad data in STATCHL messages"),
              text.rfind("IBM MQ QMgr is generating bad data in STATCHL messages"));
    EXPECT_NE(text.find("IBM MQ QMgr is generating bad data in STATCHL messages"), std::string::npos);

    console.clear();
    statsChannelWarned.store(0);
    setenv("ZUNT_NO_SCQM_FIX", "1", 1);
    ASSERT_EQ(ingest(statChl("QMB")), 1);
    EXPECT_EQ(puts.back().qmgr, "QMB");
    EXPECT_EQ((console.out() + console.err()).find("STATCHL"), std::string::npos);
}

// ---- Messages that cannot be stored ----

TEST_F(StatsIntake, AMessageWithoutQueueManagerOrUnreadableIsDeadLetteredWith200002) {
    std::vector<uint8_t> unnamed = statQ("", {{"Q1", {{735, {1, 0}}}}});
    std::vector<uint8_t> damaged = statQ("QM1", {{"Q1", {{735, {1, 0}}}}});
    mqiPutI32(damaged.data(), damaged.size() - 16, 999);  // its last structure of no known type
    // An interval that ends 40 seconds before it starts.
    Pcf backwards(MQCFT_STATISTICS, MQCMD_STATISTICS_Q);
    backwards.text(MQCA_Q_MGR_NAME, "QM1", 48)
        .text(MQCAMO_START_DATE, "2026-01-01", 12)
        .text(MQCAMO_START_TIME, "10.00.40")
        .text(MQCAMO_END_DATE, "2026-01-01", 12)
        .text(MQCAMO_END_TIME, "10.00.00")
        .number(MQIA_COMMAND_LEVEL, 940)
        .number(MQIAMO_OBJECT_COUNT, 1);
    statQGroup(backwards, "Q1", {{735, {1, 0}}});
    std::vector<uint8_t> reversed = backwards.bytes();
    for (auto *message : {&unnamed, &damaged, &reversed}) {
        deadLettered.clear();
        ASSERT_EQ(ingest(*message), 1);
        EXPECT_EQ(deadLettered, std::vector<int32_t>{STATS_FEEDBACK_NO_QMGR});
        EXPECT_TRUE(puts.empty());
    }
    // The dead-letter put's result is the processor's.
    statsEngineCalls.putToDLQ = [](QmgrContext *, ConnectionSet *, EventQueueDef *, const MQMD *,
                                   const uint8_t *, int32_t, int32_t, const char *) { return 0; };
    EXPECT_EQ(ingest(unnamed), 0);
}

// ---- Faults mended ----

// A blank date gives no time: converted as 1970-01-01 local it would be a bogus time in most zones.
TEST_F(StatsIntake, ABlankOpenDateStoresNoOpenTimeInAnyZone) {
    for (const char *zone : {"EST5EDT,M3.2.0,M11.1.0", "CET-1CEST,M3.5.0,M10.5.0/3"}) {
        setTz(zone);
        for (const char *time : {"", "10.00.00"}) {
            puts.clear();
            Pcf m(MQCFT_ACCOUNTING, MQCMD_ACCOUNTING_Q);
            m.interval("QM1")
                .text(MQCACF_APPL_NAME, "app", 28)
                .group(MQGACF_Q_ACCOUNTING_DATA)
                .text(MQCA_Q_NAME, "Q1", 48)
                .number(MQIAMO_OPENS, 1)
                .text(MQCAMO_OPEN_DATE, "", 12)
                .text(MQCAMO_OPEN_TIME, time, 8)
                .end();
            ASSERT_EQ(ingest(m.bytes()), 1);
            ASSERT_EQ(puts.size(), 1u);
            EXPECT_TRUE(only(itemsOf(puts[0].record), {31149}).empty()) << zone << " '" << time << "'";
        }
    }
}

// IBM MQ puts up to 100 queues in one message; whole, its record would not fit a blob.
TEST_F(StatsIntake, AHundredBusyQueuesAreStoredInPiecesEachQueueOnce) {
    std::vector<std::pair<std::string, Values>> queues;
    for (int i = 0; i < 100; i++) {
        Values v;
        for (int32_t id : {740, 739, 754, 755, 725, 708, 759, 758, 760}) v[id] = {100000 + i};
        for (int32_t id : {703, 735, 734, 748, 722, 747, 705, 745}) v[id] = {200000 + i, 300000 + i};
        queues.push_back({"BUSY.QUEUE.NUMBER." + std::to_string(i), v});
    }
    std::vector<uint8_t> message = statQ("QM1", queues);
    statsEngineCalls.putToStreams = evPutToStreams;  // the engine's own road into the stream
    EvStreamHooks saved = *evStreamGetHooks();
    EvStreamHooks hooks = saved;
    hooks.qmgrStreamList = [](QmgrEntry *qmgr) { return &qmgr->streams; };
    evStreamSetHooks(&hooks);
    int result = ingest(message);
    evStreamSetHooks(&saved);
    ASSERT_EQ(result, 1);

    char error[EV_CONFIG_TEXT];
    QmgrEntry *qmgr = evQmgrFindOrAdd("QM1", 0, error);
    ASSERT_NE(qmgr, nullptr);
    ASSERT_NE(qmgr->streams, nullptr);
    Stream *stream = qmgr->streams;
    EXPECT_GT(stream->recordCount, 1u);
    std::map<std::string, int> seen;
    auto readBlob = [&](const uint8_t *blob, uint32_t length) {
        BlobWalk walk;
        evBlobWalkInit(&walk, blob, length, 0);
        BlobEntry entry;
        while (evBlobWalkNext(&walk, &entry) == 1) {
            EXPECT_LE(entry.dataLength, STREAM_BLOB_SIZE);
            std::vector<uint8_t> record(entry.data, entry.data + entry.dataLength);
            for (const auto &object : readObjects(&evStatQFamily, record)) {
                StatQRecord q;
                std::memcpy(&q, object.data(), sizeof q);
                seen[stt::text(q.queueName)]++;
                EXPECT_EQ(q.putsP,
                          300000u + static_cast<uint32_t>(std::stoi(stt::text(q.queueName).substr(18))));
            }
        }
        EXPECT_EQ(walk.damaged, 0);
    };
    for (StreamBlob *blob = stream->blobs; blob; blob = blob->next)
        readBlob(evStreamBlobHeader(blob), blob->area->used);
    readBlob(evStreamCurrentBlob(stream), evBlobLength(evStreamCurrentBlob(stream)));
    EXPECT_EQ(seen.size(), 100u);
    for (const auto &[name, times] : seen) EXPECT_EQ(times, 1) << name;
}

// Names shaped like a time or a date stay where the writer's order puts them.
TEST_F(StatsIntake, NamesShapedLikeTimesAndDatesKeepTheirPlaces) {
    ASSERT_EQ(ingest(statQ("QM1", {{"12.34.56", {{735, {1, 0}}}}})), 1);
    ASSERT_EQ(ingest(acctMQI("2025-01-01", 0, "10.00.00", "10.00.01")), 1);
    ASSERT_EQ(puts.size(), 2u);
    std::vector<std::string> queue = itemsOf(puts[0].record);
    ASSERT_GE(queue.size(), 3u);
    EXPECT_EQ(queue[1], "G8011");
    EXPECT_EQ(queue[2], "2016='12.34.56'");
    auto objects = readObjects(&evStatQFamily, puts[0].record);
    ASSERT_EQ(objects.size(), 1u);
    EXPECT_EQ(itemsOf(puts[1].record).front(), "3024='2025-01-01'");
}

}  // namespace
