// The statistics displays over streams and pending bins held in memory: the default and requested
// attributes, sums and their mixed values, the limits and their reasons, the name filters of stored
// and bin records, WHERE, GAPFILL and COLLATE, the families' orders and their MQSC answers.
#include <gtest/gtest.h>

#include <algorithm>
#include <ctime>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "emit/emit.h"
#include "stats/aggr.h"
#include "stats_testing.h"
#include "tests/cmdserver/cmdserver_testing.h"

namespace {

using ct::PcfBuilder;
using ct::withList;
using stt::i32;
using stt::i64;
using stt::Items;
using stt::kEnd;
using stt::kStart;
using stt::str;

class StatsDisplayTest : public ct::CmdTest {
protected:
    void SetUp() override {
        CmdTest::SetUp();
        evStreamDefFreeAll();
        evStringsFree(1);
        evStreamSetHooks(nullptr);
        cfgInstall();
        ASSERT_EQ(statsInstall(), 1);
        InitialiseCommandFields();  // after the tables are registered, as at start
        cmdInstall();
        ASSERT_EQ(evStringsInit(0), 1);
        ASSERT_NE(evStringsCreateStream(), nullptr);
        char text[EV_CONFIG_TEXT];
        qmgr_ = evQmgrFindOrAdd("QM1", 0, text);
        ASSERT_NE(qmgr_, nullptr);
        clock_.set(kEnd + 7200);
        evClockTick();
        evTzOffset.store(0);
        evSettings.defaultMaxRecords.store(1000000);
    }
    void TearDown() override {
        evAggrFreeAll(1);
        cfgFreeModel(1);
        evStringsFree(1);
        evStreamDefFreeAll();
        evStreamSetHooks(nullptr);
        CmdTest::TearDown();
    }
    Stream *stream(const char *name, uint32_t type, uint32_t aggrInt = 0) {
        StreamDef *def = evStreamDefine(name, -1, type, 0, 0);
        def->disImplct = 1;
        def->aggrInt = aggrInt;
        return evStreamCreate(qmgr_, def);  // linked to QM1 by configuration's hook
    }
    void store(Stream *s, const std::vector<uint8_t> &record) {
        ASSERT_NE(evStreamAdd(qmgr_, s, record.data(), static_cast<uint32_t>(record.size()),
                              evCFGetIntervalEnd(record.data()), nullptr),
                  nullptr);
    }
    // A stored queue statistics record of one interval with one portion per object.
    static std::vector<uint8_t> statQ(const std::vector<Items> &queues, int64_t start = kStart,
                                      int64_t end = kEnd) {
        stt::RecordBuilder b(165, 0, start, end);
        b.add(Items{i32(31, 940)});
        for (const Items &q : queues) b.group(8011).add(q).end();
        return b.record();
    }
    static std::vector<uint8_t> statChl(const std::vector<Items> &channels, int64_t start = kStart,
                                        int64_t end = kEnd) {
        stt::RecordBuilder b(166, 0, start, end);
        b.add(Items{i32(31, 940)});
        for (const Items &c : channels) b.group(8012).add(c).end();
        return b.record();
    }
    std::vector<ct::Pcf> run(const std::vector<uint8_t> &command) {
        ct::fake.puts.clear();
        EXPECT_EQ(runPcf(command), 1);
        return responses();
    }
    QmgrEntry *qmgr_ = nullptr;
    zt::TestClock clock_;
    zt::ScopedTZ tz_{"UTC0"};
};

PcfBuilder statq(const char *queue = "*") {
    PcfBuilder b(9023);
    b.string(2016, queue);
    return b;
}

TEST_F(StatsDisplayTest, QueueStatisticsAnswerTheirDefaultAndRequestedAttributes) {
    Stream *s = stream("$STATQ", STREAM_TYPE_STATQ);
    store(s, statQ({{str(2016, "APP.Q"), i32(20, 1), i32(31003, 5), i32(31004, 3), i32(31007, 1)},
                    {str(2016, "IDLE.Q"), i32(20, 1)}}));
    std::vector<ct::Pcf> shown = run(statq().done());
    ASSERT_EQ(shown.size(), 1u);  // IDLE.Q has neither puts nor gets
    EXPECT_EQ(ids(shown[0]), (std::vector<int32_t>{2016, 39399, 31038}));
    EXPECT_EQ(shown[0].get(2016).text, "APP.Q");
    EXPECT_EQ(shown[0].get(31038).value, 9);
    shown = run(withList(statq().done(), 39107, {31002, 31006}));
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].get(31002).value, 8);
    EXPECT_EQ(shown[0].get(31006).value, 1);
    // A key sum without INTVL answers the start one second before the stored one.
    shown = run(withList(statq().done(), 39107, {1009}));
    ASSERT_EQ(shown.size(), 2u);
    EXPECT_EQ(shown[0].get(39398).value64, kStart - 1);
    EXPECT_EQ(shown[0].get(39399).value64, kEnd);
    // Nothing found: one answer.
    shown = run(statq("NONE.*").done());
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].reason, MQRC_UNKNOWN_OBJECT_NAME);
    EXPECT_EQ(shown[0].get(CMD_PARM_TEXT).text, "No matching data found.");
}

TEST_F(StatsDisplayTest, SumsAverageAndMarkDifferingValues) {
    Stream *s = stream("$STATQ", STREAM_TYPE_STATQ);
    store(s, statQ({{str(2016, "A.Q"), i32(20, 1), i32(31003, 1), i64(31000, 10), i32(31178, 1)}}, kStart,
                   kEnd));
    store(s, statQ({{str(2016, "A.Q"), i32(20, 1), i32(31003, 1), i64(31000, 20), i32(31178, 1)},
                    {str(2016, "B.Q"), i32(20, 3), i32(31003, 1)}},
                   kEnd, kEnd + 3600));
    std::vector<ct::Pcf> shown = run(withList(statq("A.Q").done(), 39107, {31000}));
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].get(31000).value64, 15);
    shown = run(withList(statq().integer(39395, 2).done(), 39107, {1009}));
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].get(20).type, MQCFT_STRING);
    EXPECT_EQ(shown[0].get(20).text, "*");
    EXPECT_EQ(shown[0].get(2016).text, "*");  // the filter as given
    EXPECT_EQ(shown[0].get(31003).value, 3);
}

TEST_F(StatsDisplayTest, LimitsGiveTheirReasons) {
    Stream *s = stream("$STATQ", STREAM_TYPE_STATQ);
    std::vector<Items> queues;
    for (int i = 0; i < 101; i++) queues.push_back({str(2016, "Q." + std::to_string(i)), i32(31003, 1)});
    store(s, statQ(queues));
    std::vector<ct::Pcf> shown = run(statq().integer(39395, 1).done());
    ASSERT_EQ(shown.size(), 100u);
    EXPECT_EQ(shown[0].reason, HLVRCCF_DATA_INCOMPLETE);
    // The record limit: one record read of two.
    store(s, statQ({{str(2016, "LATE.Q"), i32(31003, 1)}}, kEnd, kEnd + 3600));
    shown = run(statq("LATE.Q").integer(39414, 1).done());
    ASSERT_FALSE(shown.empty());
    EXPECT_EQ(shown[0].reason, HLVRCCF_MAX_SOURCE_REACHED);
    // Both limits (the newest record read, of two queues, one answered): the record limit's reason.
    store(s, statQ({{str(2016, "N.Q1"), i32(31003, 1)}, {str(2016, "N.Q2"), i32(31003, 1)}}, kEnd + 3600,
                   kEnd + 7200));
    shown = run(statq().integer(39414, 1).integer(39302, 1).done());
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].reason, HLVRCCF_MAX_SOURCE_REACHED);
}

TEST_F(StatsDisplayTest, ChannelFiltersMatchStoredAndPendingRecords) {
    Stream *stored = stream("$STATCHL", STREAM_TYPE_STATCHL);
    store(stored, statChl({{str(3501, "TO.QM2"), str(2017, "A"), str(3506, "HOST(1414)"), i32(31136, 4),
                            i64(31139, 100), i32(31180, 1)},
                           {str(3501, "TO.QM2"), str(2017, "B"), str(3506, "OTHER(1414)"), i32(31136, 6)}}));
    std::vector<ct::Pcf> shown = run(PcfBuilder(9024).string(3506, "host(1414)").done());
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].get(31136).value, 4);
    shown = run(PcfBuilder(9024).string(3501, "to.qm2").done());
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].reason, MQRC_UNKNOWN_OBJECT_NAME);
    // Summed by channel: the remote queue managers differ; no net time counts as an average of 0.
    shown = run(withList(PcfBuilder(9024).done(), 39108, {1009}));
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].get(2017).text, "*");
    EXPECT_EQ(shown[0].get(31136).value, 10);
    EXPECT_EQ(shown[0].get(31139).type, MQCFT_INTEGER);
    EXPECT_EQ(shown[0].get(31139).value, 50);
    // A pending bin's record of another remote queue manager is filtered out as a stored one is.
    Stream *aggregating = stream("AGG.CHL", STREAM_TYPE_STATCHL, 3600);
    const std::vector<uint8_t> pending =
        statChl({{str(3501, "TO.QM2"), str(2017, "B"), i32(31136, 7)}}, kEnd + 3000, kEnd + 3060);
    ASSERT_EQ(evAggrAddRecord(&evContext, qmgr_, aggregating, 0, pending.data(),
                              static_cast<uint32_t>(pending.size())),
              1);
    shown = run(PcfBuilder(9024).string(39301, "AGG.CHL").string(2017, "A").done());
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].reason, MQRC_UNKNOWN_OBJECT_NAME);
    shown = run(PcfBuilder(9024).string(39301, "AGG.CHL").string(2017, "B").integer(39395, 2).done());
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].get(31136).value, 7);
    // WHERE holds for bin records under SUM(TOTAL) too.
    shown = run(PcfBuilder(9024).string(39301, "AGG.CHL").integer(39395, 2).string(39300, "MSGS > 7").done());
    EXPECT_EQ(shown[0].reason, MQRC_UNKNOWN_OBJECT_NAME) << shown[0].get(CMD_PARM_TEXT).text;
    shown = run(PcfBuilder(9024).string(39300, "X > 1").done());
    EXPECT_EQ(shown[0].get(CMD_PARM_TEXT).text, "Unknown variable 'X'.");
}

TEST_F(StatsDisplayTest, GapFillAnswersTheEmptyIntervals) {
    clock_.set(kStart + 6 * 3600);
    evClockTick();
    Stream *s = stream("$STATQ", STREAM_TYPE_STATQ);
    for (int64_t hour : {0, 1, 4}) {
        store(s,
              statQ({{str(2016, "A.Q"), i32(31003, 1)}}, kStart + hour * 3600, kStart + (hour + 1) * 3600));
    }
    std::vector<ct::Pcf> shown = run(statq("A.Q").integer(39411, 60).integer(39400, 1).done());
    std::vector<int64_t> ends;
    for (const ct::Pcf &p : shown) ends.push_back(p.get(39399).value64);
    const std::vector<int64_t> expected = {kStart + 5 * 3600, kStart + 4 * 3600, kStart + 3 * 3600,
                                           kStart + 2 * 3600, kStart + 3600};
    EXPECT_EQ(ends, expected);
    EXPECT_FALSE(shown[1].has(31038));  // an empty interval has no values
}

TEST_F(StatsDisplayTest, CollatePeriodsAreLabelled) {
    clock_.set(kStart + 6 * 3600);
    evClockTick();
    Stream *s = stream("$STATQ", STREAM_TYPE_STATQ);
    store(s, statQ({{str(2016, "A.Q"), i32(31003, 2)}}, kStart + 7200, kStart + 10800));
    store(s, statQ({{str(2016, "A.Q"), i32(31003, 3)}}, kStart + 10800, kStart + 14400));
    std::vector<ct::Pcf> shown = run(statq("A.Q").integer(39430, 44).done());
    ASSERT_EQ(shown.size(), 2u);
    // A record's period is the one of its end.
    EXPECT_EQ(shown[0].get(39431).text, "03:00");
    EXPECT_EQ(shown[0].get(39432).value, 4);
    EXPECT_EQ(shown[0].get(31038).value, 2);
    EXPECT_EQ(shown[1].get(39431).text, "04:00");
    shown = run(statq("A.Q").integer(39430, 44).string(39431, "04*").done());
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].get(31038).value, 3);
}

// Empty periods and gaps hold no records; more periods than MAXRESP make the answer incomplete.
TEST_F(StatsDisplayTest, EmptyPeriodsAndGapsHaveNoRecordsAndTooManyPeriodsAreIncomplete) {
    clock_.set(kStart + 6 * 3600);
    evClockTick();
    Stream *s = stream("$STATQ", STREAM_TYPE_STATQ);
    for (int64_t hour : {0, 2})
        store(s,
              statQ({{str(2016, "A.Q"), i32(31003, 1)}}, kStart + hour * 3600, kStart + (hour + 1) * 3600));
    // The gap at hour 1 (the second answer) and the period 02:00 (the third) are empty.
    const struct {
        const char *name;
        std::vector<uint8_t> command;
        size_t empty;
    } answers[] = {
        {"GAPFILL",
         withList(statq("A.Q").integer(39411, 60).integer(39400, 1).integer(39396, 1).done(), 39107, {1009}),
         1},
        {"COLLATE", withList(statq("A.Q").integer(39430, 44).integer(39396, 1).done(), 39107, {1009}), 2},
    };
    for (const auto &a : answers) {
        SCOPED_TRACE(a.name);
        const std::vector<ct::Pcf> shown = run(a.command);
        ASSERT_GT(shown.size(), a.empty);
        for (const ct::Pcf &p : shown) EXPECT_EQ(p.get(39409).value, p.get(31038).value);
        EXPECT_EQ(shown[a.empty].get(39409).value, 0);
        EXPECT_EQ(shown[a.empty].get(39409).type, MQCFT_INTEGER);
    }
    struct Case {
        const char *name;
        std::vector<uint8_t> command;
        size_t responses;
        int32_t reason;
    };
    const Case cases[] = {
        {"two periods in one", statq("A.Q").integer(39430, 44).integer(39302, 1).done(), 1,
         HLVRCCF_DATA_INCOMPLETE},
        {"two periods in two", statq("A.Q").integer(39430, 44).integer(39302, 2).done(), 2, 0},
        {"every period in five", statq("A.Q").integer(39430, 44).integer(39396, 1).integer(39302, 5).done(),
         5, HLVRCCF_DATA_INCOMPLETE},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const std::vector<ct::Pcf> shown = run(c.command);
        ASSERT_EQ(shown.size(), c.responses);
        for (const ct::Pcf &p : shown) EXPECT_EQ(p.reason, c.reason);
    }
}

TEST_F(StatsDisplayTest, TheLoopsOwnRefusals) {
    stream("$STATQ", STREAM_TYPE_STATQ);
    expectRefusals({
        {"an empty queue name", PcfBuilder(9023).string(2016, "").done(), 3229, 2016,
         "Parameter 'STATQ' must contain a value."},
        {"an empty channel name", PcfBuilder(9024).string(3501, "").done(), 3229, 3501,
         "Parameter 'STATCHL' must contain a value."},
        {"GAPFILL over several queues", statq("A*").integer(39411, 60).integer(39400, 1).done(), 3229, 39400,
         "Can not use GAPFILL when requesting multiple object keys"},
        {"an unknown queue manager", statq().string(39340, "QMX").done(), 3229, 39340,
         "Unknown Queue Manager name 'QMX'"},
    });
}

// A stored MQI statistics record (its items straight after the header, as the intake writes them).
std::vector<uint8_t> statMQI(const Items &items, int64_t start = kStart, int64_t end = kEnd,
                             uint16_t flags = 0) {
    stt::RecordBuilder b(164, flags, start, end);
    b.add(items);
    return b.record();
}

TEST_F(StatsDisplayTest, MqiStatisticsAnswerTotalsMixedLevelsAndStreams) {
    Stream *s1 = stream("S1", STREAM_TYPE_STATMQI);
    Stream *s2 = stream("S2", STREAM_TYPE_STATMQI);
    store(s1, statMQI({i32(31, 930), i32(31014, 2), i32(31015, 3)}));
    store(s2, statMQI({i32(31, 940), i32(31003, 1)}));
    // Per stream (the default key): GETS derived from its parts; a zero GETS only with ZEROVALS(SHOW).
    std::vector<ct::Pcf> shown = run(PcfBuilder(9025).string(39301, "S1").done());
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(ids(shown[0]), (std::vector<int32_t>{39301, 39399, 31013}));
    EXPECT_EQ(shown[0].get(31013).value, 5);
    shown = run(PcfBuilder(9025).string(39301, "S2").done());
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_FALSE(shown[0].has(31013));
    shown = run(PcfBuilder(9025).string(39301, "S2").integer(39396, 1).done());
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].get(31013).value, 0);
    // Summed: the levels differ; the streams answer as the filter given, or "*".
    shown = run(withList(PcfBuilder(9025).string(39301, "S*").integer(39395, 2).done(), 39109, {1009}));
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].get(31).type, MQCFT_STRING);
    EXPECT_EQ(shown[0].get(31).text, "*");
    EXPECT_EQ(shown[0].get(39301).text, "S*");
    EXPECT_EQ(shown[0].get(39409).value, 2);
    EXPECT_EQ(shown[0].get(39398).value64, kStart - 1);  // a sum without INTVL: one second early
    // Every counter with a value, in table order.
    std::vector<int32_t> counters;
    for (const ct::Parm &p : shown[0].parms)
        if (p.id >= 31000 && p.id < 32000) counters.push_back(p.id);
    EXPECT_EQ(counters, (std::vector<int32_t>{31038, 31002, 31003, 31013, 31014, 31015}));
    shown = run(PcfBuilder(9025).integer(39395, 2).done());
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].get(39301).text, "*");
    // Listed one by one, the start is the stored one.
    shown =
        run(withList(PcfBuilder(9025).string(39301, "S1").integer(39395, 1).done(), 39109, {39398, 31013}));
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].get(39398).value64, kStart);
}

TEST_F(StatsDisplayTest, MqiStatisticsGapFillNeedsOneStreamKeyAndReadAggregatedOverlaps) {
    Stream *s = stream("S1", STREAM_TYPE_STATMQI);
    stream("S2", STREAM_TYPE_STATMQI);
    std::vector<ct::Pcf> shown = run(
        PcfBuilder(9025).string(39301, "S*").integer(39395, 11).integer(39400, 3).integer(39411, 60).done());
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].reason, 3229);
    EXPECT_EQ(shown[0].get(MQIACF_PARAMETER_ID).value, 39400);
    EXPECT_EQ(shown[0].get(CMD_PARM_TEXT).text, "Can not use GAPFILL when requesting multiple object keys");
    shown = run(PcfBuilder(9025).string(39301, "S*").integer(39400, 3).integer(39411, 60).done());
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].reason, MQRC_UNKNOWN_OBJECT_NAME);  // accepted; nothing stored yet
    // FROM is kEnd: a raw record ending there is outside, an aggregated one overlapping it is read.
    store(s, statMQI({i32(31003, 1)}));
    store(s, statMQI({i32(31003, 4)}, kEnd - 1800, kEnd + 1800, 0x10));
    shown = run(PcfBuilder(9025).string(39301, "S1").string(39318, "-2hour").done());
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].get(31038).value, 4);
}

using stt::bytes;

// A stored queue accounting record: the application part, then one group per queue.
std::vector<uint8_t> acctQ(const Items &application, const std::vector<Items> &queues, int64_t start = kStart,
                           int64_t end = kEnd) {
    stt::RecordBuilder b(168, 0, start, end);
    b.add(application);
    for (const Items &q : queues) b.group(8010).add(q).end();
    return b.record();
}
const Items kApp = {bytes(7006, std::string(24, 'c')),
                    i32(1079, 0),
                    str(3024, "amqsput"),
                    i32(1024, 42),
                    i32(1025, 1),
                    str(3025, "mqm"),
                    str(3501, "SVR.CONN"),
                    str(3506, "host(1414)"),
                    i32(31, 940)};

PcfBuilder acctq(const char *queue = "*") {
    PcfBuilder b(9026);
    b.string(2016, queue);
    return b;
}

TEST_F(StatsDisplayTest, QueueAccountingRefusals) {
    stream("$ACCTQ", STREAM_TYPE_ACCTQ);
    expectRefusals({
        {"no queue name", PcfBuilder(9026).done(), 3228, 2016, "Queue Name parameter missing"},
        {"a short CONNID", acctq().string(7006, std::string(47, 'a')).done(), 3229, 7006,
         "Parameter 'CONNID' should be 48 HEX characters."},
        {"a CONNID not in hex", acctq().string(7006, std::string(47, 'a') + "g").done(), 3229, 7006,
         "Parameter 'CONNID' should be all HEX characters."},
        {"a long CONNID", acctq().bytes(7006, std::vector<uint8_t>(25, 0x63)).done(), 3255, 0, nullptr},
        {"a negative PID", acctq().integer(1024, -1).done(), 3229, 1024,
         "Parameter 'PID' must be between 0 and 4294967295."},
        {"GAPFILL over several queues", acctq("A*").integer(39411, 60).integer(39400, 1).done(), 3229, 39400,
         "Can not use GAPFILL when requesting multiple object keys"},
        {"SUM(RPRODUCT)", acctq().integer(39395, 8).done(), 3229, 39395,
         "SUM(RPRODUCT) is not valid for this command"},
    });
}

TEST_F(StatsDisplayTest, QueueAccountingFiltersKeysAndOrder) {
    Stream *s = stream("$ACCTQ", STREAM_TYPE_ACCTQ);
    const Items queue = {str(2016, "A.B.C"), i32(31003, 2), i32(31153, 10), i32(31156, 30),
                         i64(31173, 7),      i32(31178, 1), i32(31014, 0)};
    store(s, acctQ(kApp, {queue}));
    store(s, acctQ(kApp, {queue}));
    store(s, acctQ(kApp, {{str(2016, "A.X"), i32(31003, 1)}, {str(2016, "AB.C"), i32(31003, 1)}}));
    std::vector<ct::Pcf> shown = run(withList(acctq("A.B.C").done(), 39110, {1009}));
    ASSERT_EQ(shown.size(), 1u);
    const ct::Pcf &a = shown[0];
    EXPECT_EQ(a.get(39409).value, 2);
    EXPECT_EQ(a.get(31003).value, 4);
    EXPECT_EQ(a.get(31152).value, 10);  // minimum
    EXPECT_EQ(a.get(31155).value, 30);  // maximum
    EXPECT_EQ(a.get(31173).value64, 7);
    EXPECT_FALSE(a.has(31174));  // no persistent average
    EXPECT_FALSE(a.has(31014));  // zero
    EXPECT_EQ(a.get(7006).type, MQCFT_BYTE_STRING);
    const std::vector<int32_t> head = {2016, 3024,  3025,  1024, 1025,  39301, 39340, 3501,
                                       3506, 39398, 39399, 31,   39409, 31038, 31002, 31003};
    std::vector<int32_t> got = ids(a);
    got.erase(std::remove(got.begin(), got.end(), 7006), got.end());
    ASSERT_GE(got.size(), head.size());
    EXPECT_EQ(std::vector<int32_t>(got.begin(), got.begin() + static_cast<long>(head.size())), head);
    EXPECT_EQ(got.back(), 31173);
    shown = run(withList(acctq("A.B.C").integer(39396, 1).done(), 39110, {31014, 31174}));
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].get(31014).value, 0);
    EXPECT_FALSE(shown[0].has(31174));  // unset stays out
    // Segments: A.B.C and A.X are one prefix, AB.C another.
    shown = run(acctq().integer(39395, 15).done());
    ASSERT_EQ(shown.size(), 2u);
    EXPECT_EQ(shown[0].get(2016).text, "A.*");
    EXPECT_EQ(shown[0].get(31038).value, 5);
    EXPECT_EQ(shown[1].get(2016).text, "AB.C");
    // The application's filters: names in any case, numbers and the identifier exactly.
    struct Filter {
        std::vector<uint8_t> command;
        size_t answers;
    };
    const Filter filters[] = {
        {acctq("A.X").string(3024, "AMQS*").done(), 1},
        {acctq("A.X").string(3024, "other").done(), 0},
        {acctq("A.X").integer(1024, 42).done(), 1},
        {acctq("A.X").integer(1024, 43).done(), 0},
        {acctq("A.X").string(7006, std::string(48, '6').replace(0, 2, "63")).done(), 0},
        {acctq("A.X")
             .string(7006,
                     [] {
                         std::string hex;
                         for (int i = 0; i < 24; i++) hex += "63";
                         return hex;
                     }())
             .done(),
         1},
        {acctq("A.X").bytes(7006, std::vector<uint8_t>(24, 0x64)).done(), 0},
        {acctq("a.x").done(), 0},
    };
    for (const Filter &f : filters) {
        shown = run(f.command);
        ASSERT_EQ(shown.size(), 1u);
        EXPECT_EQ(shown[0].reason == MQRC_UNKNOWN_OBJECT_NAME ? 0u : 1u, f.answers);
    }
}

TEST_F(StatsDisplayTest, QueueAccountingOfOldQueueManagersAndGaps) {
    clock_.set(kStart + 6 * 3600);
    evClockTick();
    Stream *s = stream("$ACCTQ", STREAM_TYPE_ACCTQ);
    store(s, acctQ({str(3024, "app"), i32(31, 910)}, {{str(2016, "Q1"), i32(31003, 1)}}));
    std::vector<ct::Pcf> shown = run(withList(acctq("Q1").string(3501, "*").done(), 39110, {1009}));
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].get(3501).text, "<Not Present>");
    EXPECT_EQ(shown[0].get(3506).text, "<Not Present>");
    shown = run(acctq("Q1").string(3501, "A*").done());
    EXPECT_EQ(shown[0].reason, MQRC_UNKNOWN_OBJECT_NAME);
    store(s, acctQ({str(3024, "app"), i32(31, 940)}, {{str(2016, "Q1"), i32(31003, 1)}}, kStart + 3 * 3600,
                   kStart + 4 * 3600));
    shown = run(acctq("Q1").integer(39411, 60).integer(39400, 1).done());
    ASSERT_EQ(shown.size(), 4u);
    EXPECT_EQ(shown[1].get(2016).text, "Q1");  // a gap keeps the queue
    EXPECT_EQ(shown[1].get(39399).value64, kStart + 3 * 3600);
    EXPECT_FALSE(shown[1].has(31038));
}

// A stored MQI accounting record, its application name first as the intake writes it.
std::vector<uint8_t> acctMQI(const Items &items, int64_t start = kStart, int64_t end = kEnd,
                             uint16_t flags = 0) {
    stt::RecordBuilder b(167, flags, start, end);
    b.add(items);
    return b.record();
}

PcfBuilder acctmqi() {
    return PcfBuilder(9027);
}

// Connection durations add whole past 2^31 seconds (a thousand connections of 25 days), where a 32-bit
// sum stopped.
TEST_F(StatsDisplayTest, ConnectionDurationsSumPastTwoToThe31) {
    Stream *s = stream("$ACCTMQI", STREAM_TYPE_ACCTMQI);
    for (int r = 0; r < 2; r++) store(s, acctMQI({str(3024, "app"), i32(31108, 2000000000), i32(31003, 1)}));
    const std::vector<ct::Pcf> shown = run(withList(acctmqi().integer(39395, 2).done(), 39111, {1009}));
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].get(31108).value64, 4000000000);
}

// AVGBATCH, the averages' counts and RECORDS are held in 64 bits: IBM MQ's unsigned 32-bit AVGBATCH is
// answered and compared as it is, and sums over many records neither stop at 2^31 nor wrap at 2^32.
TEST_F(StatsDisplayTest, AveragesTheirCountsAndRecordCountsSumPastThirtyTwoBits) {
    const int32_t kHigh = static_cast<int32_t>(0xC0000000u);  // 3,221,225,472 unsigned
    struct Case {
        const char *name;
        std::vector<Items> records;  // one stored record each, of channel CH1
        const char *where;           // matched by the sum ("": none)
        int32_t id;
        int64_t expected;
        bool wide;  // answered as MQCFIN64
    };
    const Case cases[] = {
        {"AVGBATCH 0xFFFFFFFF", {{i32(31146, -1)}}, "AVGBATCH GT 3000000000", 31146, 4294967295, true},
        {"AVGBATCH summed past 2^31",
         {{i32(31146, 2000000000)}, {i32(31146, 2000000000)}},
         "AVGBATCH = 2000000000",
         31146,
         2000000000,
         false},
        // 2 x 4,294,967,295 over a count of 2 x 3,221,225,472: wrapped, the count was 2^31.
        {"counts summed past 2^32",
         {{i32(31146, -1), i32(31182, kHigh)}, {i32(31146, -1), i32(31182, kHigh)}},
         "AVGBATCH = 1",
         31146,
         1,
         false},
        {"records summed past 2^31",
         {{i32(39409, 2000000000)}, {i32(39409, 2000000000)}},
         "RECORDS = 2000000000",
         39409,
         4000000000,
         true},
        // An aggregate's record count past 2^31, as a 64-bit item.
        {"records past 2^31 in one record",
         {{i64(39409, 4000000000)}},
         "RECORDS EQ 4000000000",
         39409,
         4000000000,
         true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        TearDown();
        SetUp();
        Stream *s = stream("$STATCHL", STREAM_TYPE_STATCHL);
        for (const Items &r : c.records) store(s, statChl({stt::join({str(3501, "CH1"), i32(1511, 1)}, r)}));
        for (const char *where : {"", c.where}) {
            PcfBuilder b(9024);
            b.string(3501, "CH1").integer(39395, 2);
            if (*where != 0) b.string(39300, where);
            const std::vector<ct::Pcf> shown = run(withList(b.done(), 39108, {1009}));
            ASSERT_EQ(shown.size(), 1u);
            ASSERT_EQ(shown[0].reason, 0) << where << " " << shown[0].get(CMD_PARM_TEXT).text;
            EXPECT_EQ(shown[0].get(c.id).type, c.wide ? MQCFT_INTEGER64 : MQCFT_INTEGER);
            EXPECT_EQ(c.wide ? shown[0].get(c.id).value64 : shown[0].get(c.id).value, c.expected);
        }
    }
}

// More keys than MAXRESP: the keys shown hold their whole sums (records of a key read after the
// list filled still count), the answer says it is incomplete, in PCF by its reason, in MQSC by a line.
TEST_F(StatsDisplayTest, KeysBeyondMaxrespLeaveTheShownSumsWhole) {
    Stream *queues = stream("$STATQ", STREAM_TYPE_STATQ);
    Stream *applications = stream("$ACCTMQI", STREAM_TYPE_ACCTMQI);
    for (int r = 0; r < 3; r++) {
        std::vector<Items> each;
        for (int i = 0; i < 12; i++)
            each.push_back({str(2016, "P.Q" + std::to_string(100 + i)), i32(31003, 1)});
        store(queues, statQ(each, kStart + r * 3600, kEnd + r * 3600));
        for (int i = 0; i < 12; i++)
            store(applications,
                  acctMQI({str(3024, "APP" + std::to_string(100 + i)), i32(31003, 1), i32(31014, 2)},
                          kStart + r * 3600, kEnd + r * 3600));
    }
    clock_.set(kEnd + 4 * 3600);
    evClockTick();
    struct Case {
        const char *mqsc;
        PcfBuilder pcf;
        int32_t list;
    };
    const Case cases[] = {
        {"DISPLAY STATQ(*) MAXRESP(10) ALL", statq().integer(39302, 10), 39107},
        {"DISPLAY ACCTMQI(*) MAXRESP(10) ALL", acctmqi().integer(39302, 10), 39111},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.mqsc);
        PcfBuilder b = c.pcf;
        const std::vector<ct::Pcf> shown = run(withList(b.done(), c.list, {1009}));
        ASSERT_EQ(shown.size(), 10u);
        for (const ct::Pcf &p : shown) {
            EXPECT_EQ(p.reason, HLVRCCF_DATA_INCOMPLETE);
            EXPECT_EQ(p.get(31038).value, 3);
            EXPECT_EQ(p.get(39409).value, 3);
        }
        ct::fake.puts.clear();
        ASSERT_EQ(runMqsc(c.mqsc), 1);
        const std::string text = allText();
        size_t rows = 0;
        for (size_t at = text.find("ALLPUT("); at != std::string::npos; at = text.find("ALLPUT(", at + 1)) {
            rows++;
            EXPECT_EQ(text.compare(at, 9, "ALLPUT(3)"), 0) << text;
        }
        EXPECT_EQ(rows, 10u) << text;
        EXPECT_NE(text.find("Responses incomplete: more entries matched than MAXRESP(10)."),
                  std::string::npos)
            << text;
    }
}

// A CONNID of 48 hex digits selects the records of that connection, as MQSC (quoted or not) and as a
// PCF string or byte string, in both accounting families.
TEST_F(StatsDisplayTest, AHexConnectionIdSelectsItsRecords) {
    const std::string other(24, 'd');
    const Items otherApp = join(Items{bytes(7006, other)}, Items(kApp.begin() + 1, kApp.end()));
    store(stream("$ACCTQ", STREAM_TYPE_ACCTQ), acctQ(kApp, {{str(2016, "Q1"), i32(31003, 1)}}));
    store(stream("$ACCTQ", STREAM_TYPE_ACCTQ), acctQ(otherApp, {{str(2016, "Q1"), i32(31003, 2)}}));
    store(stream("$ACCTMQI", STREAM_TYPE_ACCTMQI),
          acctMQI({str(3024, "amqsput"), bytes(7006, std::string(24, 'c')), i32(31003, 1)}));
    store(stream("$ACCTMQI", STREAM_TYPE_ACCTMQI),
          acctMQI({str(3024, "amqsput"), bytes(7006, other), i32(31003, 2)}));
    std::string hex;
    for (int i = 0; i < 24; i++) hex += "63";
    for (const char *command : {"ACCTQ(Q1)", "ACCTMQI(*)"}) {
        for (const std::string &value : {hex, "'" + hex + "'"}) {
            SCOPED_TRACE(std::string(command) + " CONNID(" + value + ")");
            ct::fake.puts.clear();
            ASSERT_EQ(runMqsc(std::string("DISPLAY ") + command + " CONNID(" + value + ") ALL"), 1);
            const std::string text = allText();
            EXPECT_NE(text.find("PUTNP(1)"), std::string::npos) << text;
            EXPECT_EQ(text.find("PUTNP(2)"), std::string::npos) << text;
            EXPECT_EQ(text.find("PUTNP(3)"), std::string::npos) << text;
        }
    }
    for (uint32_t code : {9026u, 9027u}) {
        for (bool asBytes : {false, true}) {
            SCOPED_TRACE(std::to_string(code) + (asBytes ? " MQCFBS" : " MQCFST"));
            PcfBuilder b(code);
            if (code == 9026) b.string(2016, "Q1");
            if (asBytes)
                b.bytes(7006, std::vector<uint8_t>(24, 'c'));
            else
                b.string(7006, hex.c_str());
            const std::vector<ct::Pcf> shown = run(b.done());
            ASSERT_EQ(shown.size(), 1u);
            EXPECT_EQ(shown[0].reason, 0) << shown[0].get(CMD_PARM_TEXT).text;
            EXPECT_EQ(shown[0].get(31038).value, 1);
        }
    }
}

TEST_F(StatsDisplayTest, MqiAccountingRefusals) {
    stream("$ACCTMQI", STREAM_TYPE_ACCTMQI);
    expectRefusals({
        {"a blank application", acctmqi().string(3024, "   ").done(), 3228, 3024,
         "Application Name parameter missing"},
        {"a short CONNID", acctmqi().string(7006, std::string(47, 'F')).done(), 3229, 7006,
         "Parameter 'CONNID' should be 48 HEX characters."},
        {"a negative PID", acctmqi().integer(1024, -1).done(), 3229, 1024,
         "Parameter 'PID' must be between 0 and 4294967295."},
        {"a version part too long", acctmqi().string(3560, "123.1.1").done(), 3229, 3560,
         "Incorrect format for RVERSION parameter"},
        {"a version of more than 8 characters", acctmqi().string(3560, "12.1.1.10").done(), 3011, 3560,
         "Parameter 'RVERSION' is too long"},
        {"GAPFILL over users",
         acctmqi().integer(39395, 7).string(3025, "a*").integer(39400, 3).integer(39411, 60).done(), 3229,
         3024, "Application Name may not contain wildcards when using GAPFILL"},
    });
    // Under SUM(TOTAL) the user's wildcard makes one key.
    const std::vector<ct::Pcf> shown =
        run(acctmqi().integer(39395, 2).string(3025, "a*").integer(39400, 3).integer(39411, 60).done());
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].reason, MQRC_UNKNOWN_OBJECT_NAME);
}

TEST_F(StatsDisplayTest, MqiAccountingIdentityFiltersAndSums) {
    Stream *s = stream("$ACCTMQI", STREAM_TYPE_ACCTMQI);
    store(s, acctMQI({str(3024, "amqsput"), str(3025, "U1"), bytes(7006, std::string(24, 'c')), i32(1024, 7),
                      i32(1079, 0), i64(31040, 100), i32(31003, 1)}));
    // Aggregated: the process follows the identifier.
    store(s, acctMQI({str(3024, "amqsput"), i32(39409, 2), str(3025, "U2"), bytes(7006, std::string(24, 'd')),
                      i32(1024, 42), i32(1079, 3), i64(31040, 200), i32(31003, 2)},
                     kStart, kEnd, 0x10));
    // No identifier: the process filter still applies.
    store(s, acctMQI({str(3024, "amqsput"), i32(1024, 43), i32(31003, 4)}));
    std::vector<ct::Pcf> shown = run(withList(acctmqi().string(3024, "AMQ*").done(), 39111, {1009}));
    ASSERT_EQ(shown.size(), 1u);  // one application
    EXPECT_EQ(shown[0].get(3024).text, "amqsput");
    EXPECT_EQ(shown[0].get(3025).text, std::string(evStringMixedEntry.text, evStringMixedEntry.length));
    EXPECT_EQ(shown[0].get(31040).value64, -3);
    EXPECT_EQ(shown[0].get(31107).value, 1);  // the first record counts its connection
    EXPECT_EQ(shown[0].get(39409).value, 4);
    EXPECT_EQ(shown[0].get(31038).value, 7);
    // The family's order: identity, times, then records and the counters.
    const std::vector<int32_t> order = {3024,  39301, 39340, 39398, 39399, 7006,  1024, 3025,
                                        31040, 1079,  31107, 39409, 31038, 31002, 31003};
    std::vector<int32_t> got;
    for (int32_t id : ids(shown[0]))
        if (std::find(order.begin(), order.end(), id) != order.end()) got.push_back(id);
    EXPECT_EQ(got, order);
    shown = run(acctmqi().integer(1024, 42).done());
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].reason, 0) << shown[0].get(CMD_PARM_TEXT).text;
    EXPECT_EQ(shown[0].get(31038).value, 2);
    // Pending bin records are filtered as stored ones are.
    Stream *aggregating = stream("AGG.MQI", STREAM_TYPE_ACCTMQI, 3600);
    for (const char *user : {"alice", "bob"}) {
        const std::vector<uint8_t> pending =
            acctMQI({str(3024, "app"), str(3025, user), i32(31003, 5)}, kEnd + 3000, kEnd + 3060);
        ASSERT_EQ(evAggrAddRecord(&evContext, qmgr_, aggregating, 0, pending.data(),
                                  static_cast<uint32_t>(pending.size())),
                  1);
    }
    shown = run(acctmqi().string(39301, "AGG.MQI").string(3025, "bob").done());
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].get(31038).value, 5);
}

TEST_F(StatsDisplayTest, TheSweepMessageIsRefusedWithoutAReply) {
    stream("$ACCTQ", STREAM_TYPE_ACCTQ);
    zt::ConsoleCapture capture;
    MQMD md = request(MQFMT_ADMIN);
    md.MsgType = MQMT_DATAGRAM;
    std::memset(md.ReplyToQ, ' ', sizeof md.ReplyToQ);
    ct::fake.puts.clear();
    EXPECT_EQ(CmdTest::run(md, PcfBuilder(9026).done()), 1);
    EXPECT_TRUE(ct::fake.puts.empty());
    EXPECT_EQ((capture.out() + capture.err()).find("Error opening reply queue"), std::string::npos);
    // Asked with a reply queue, the same refusal is answered.
    const std::vector<ct::Pcf> shown = run(PcfBuilder(9026).done());
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].reason, MQRCCF_PARM_MISSING);
}

// The MQI counters in the order they are answered: "L" a 64-bit counter, "T" a total derived from
// other counters (never stored), "A" one that MQI accounting records carry too.
constexpr const char *kMqiCounters =
    "31107A 31112 31113 31109 31110 31111 31042A 31043A 31044A 31045A 31046A 31047A 31048A 31049A 31050A "
    "31051A 31052A 31053A 31054A 31055A 31056A 31057A 31058A 31059A 31060A 31061A 31065A 31066A 31067A "
    "31068A 31069A 31070A 31071A 31072A 31073A 31074A 31038TA 31002TA 31003A 31004A 31005A 31006TA 31007A "
    "31008A 31009A 31010LTA 31011LA 31012LA 31013TA 31014A 31015A 31019A 31016LTA 31017LA 31018LA 31020TA "
    "31021A 31022A 31023A 31024LTA 31025LA 31026LA 31062A 31063A 31064A 31028 31029 31075A 31076A 31077A "
    "31078A 31079A 31080A 31081A 31082A 31083A 31084A 31085A 31086A 31087A 31088A 31030TA 31031A 31032A "
    "31033A 31034A 31035A 31089A 31090A 31091A 31092A 31093A 31094A 31095A 31114 31115 31116 31117 31118 "
    "31119 31120 31121 31122 31123 31124 31125 31126 31127 31128 31129 31096TA 31097A 31098A 31099A "
    "31100TA 31101A 31102A 31103A 31104LTA 31105LA 31106LA 31130T 31131 31132 31133LT 31134L 31135L";

struct Counter {
    int32_t id;
    bool wide, total, accounting;
};
std::vector<Counter> mqiCounters() {
    std::vector<Counter> out;
    std::istringstream in(kMqiCounters);
    for (std::string token; in >> token;) {
        const std::string flags = token.substr(5);
        out.push_back({std::stoi(token.substr(0, 5)), flags.find('L') != std::string::npos,
                       flags.find('T') != std::string::npos, flags.find('A') != std::string::npos});
    }
    return out;
}
// Every stored counter of the family with a value of its own (1000 + its place), totals left out.
Items everyCounter(bool accounting) {
    Items items;
    int place = 0;
    for (const Counter &c : mqiCounters()) {
        place++;
        if (c.total || (accounting && !c.accounting)) continue;
        items.push_back(c.wide ? i64(c.id, 1000 + place) : i32(c.id, 1000 + place));
    }
    return items;
}
int64_t valueOf(const ct::Pcf &pcf, int32_t id) {
    const ct::Parm &p = pcf.get(id);
    return p.type == MQCFT_INTEGER64 ? p.value64 : p.value;
}

TEST_F(StatsDisplayTest, MqiStatisticsAnswerEveryCounterInTheirOrder) {
    Stream *s = stream("S1", STREAM_TYPE_STATMQI);
    store(s, statMQI(stt::join({i32(31, 940)}, everyCounter(false))));
    const std::vector<ct::Pcf> shown = run(withList(PcfBuilder(9025).done(), 39109, {1009}));
    ASSERT_EQ(shown.size(), 1u);
    std::vector<int32_t> expected, got;
    for (const Counter &c : mqiCounters()) expected.push_back(c.id);
    for (int32_t id : ids(shown[0]))
        if (id >= 31000 && id < 32000) got.push_back(id);
    EXPECT_EQ(got, expected);
    int place = 0;
    for (const Counter &c : mqiCounters()) {
        place++;
        if (c.total) continue;
        SCOPED_TRACE(c.id);
        EXPECT_EQ(shown[0].get(c.id).type, c.wide ? MQCFT_INTEGER64 : MQCFT_INTEGER);
        EXPECT_EQ(valueOf(shown[0], c.id), 1000 + place);
    }
    const auto sum = [&](std::initializer_list<int32_t> parts) {
        int64_t total = 0;
        for (int32_t id : parts) total += valueOf(shown[0], id);
        return total;
    };
    EXPECT_EQ(valueOf(shown[0], 31038), sum({31003, 31004, 31007, 31008}));
    EXPECT_EQ(valueOf(shown[0], 31030), sum({31031, 31032, 31033, 31034}));
    EXPECT_EQ(valueOf(shown[0], 31133), sum({31134, 31135}));
}

TEST_F(StatsDisplayTest, MqiAccountingSumsRecordsAndAnswersInTheirOrder) {
    Stream *s = stream("$ACCTMQI", STREAM_TYPE_ACCTMQI);
    const Items identity = {str(3024, "amqsput"),
                            i32(39434, 3600),
                            i32(31, 940),
                            bytes(7006, std::string(24, 'c')),
                            i32(1024, 7),
                            i32(1025, 2),
                            str(3025, "mqm"),
                            str(3501, "SVR.CONN"),
                            str(3506, "host(1414)"),
                            str(3561, "MQCC"),
                            str(3560, "09040000"),
                            i64(31040, kStart),
                            i64(31041, kEnd),
                            i32(31108, 0),  // a duration of 0 is answered
                            i32(716, 1),
                            i32(1079, 1)};
    for (int i = 0; i < 2; i++) store(s, acctMQI(stt::join(identity, everyCounter(true))));
    const std::vector<ct::Pcf> shown = run(withList(PcfBuilder(9027).done(), 39111, {1009}));
    ASSERT_EQ(shown.size(), 1u);
    std::vector<int32_t> expected = {3024,  39301, 39340, 39398, 39399, 39434, 31,   7006,
                                     1024,  1025,  3025,  3501,  3506,  3561,  3560, 31040,
                                     31041, 31108, 716,   1079,  31107, 39409};
    // The accounting order: the statistics order with inquire and set (31065 to 31074) after commit and
    // backout (31062 to 31064).
    std::vector<int32_t> inquireAndSet;
    for (const Counter &c : mqiCounters()) {
        if (!c.accounting || c.id == 31107) continue;
        if (c.id >= 31065 && c.id <= 31074) {
            inquireAndSet.push_back(c.id);
            continue;
        }
        expected.push_back(c.id);
        if (c.id == 31064) expected.insert(expected.end(), inquireAndSet.begin(), inquireAndSet.end());
    }
    EXPECT_EQ(ids(shown[0]), expected);
    EXPECT_EQ(shown[0].get(39409).value, 2);
    EXPECT_EQ(shown[0].get(31107).value, 2002);  // each record's own count, summed
    EXPECT_EQ(shown[0].get(31042).value, 2 * 1007);
    EXPECT_EQ(shown[0].get(31040).value64, kStart);  // the same connect time stays
}

TEST_F(StatsDisplayTest, AResponseEndsAtItsSizeLimit) {
    // Names this long come only from a damaged string store; the response stops before the one that
    // would take it past 102400 bytes.
    Stream *s = stream("$ACCTQ", STREAM_TYPE_ACCTQ);
    store(s, acctQ({str(3024, std::string(60000, 'a')), str(3025, std::string(60000, 'u')), i32(31, 940)},
                   {{str(2016, "Q1"), i32(31003, 1)}}));
    std::vector<ct::Pcf> shown = run(withList(acctq("Q1").done(), 39110, {1009}));
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].reason, MQRC_STORAGE_NOT_AVAILABLE);
    EXPECT_EQ(shown[0].get(3024).text.size(), 60000u);
    EXPECT_FALSE(shown[0].has(3025));
    EXPECT_FALSE(shown[0].has(31038));  // nothing after the parameter that did not fit
}

bool refuseLarge(uint64_t size) {
    return size > 1000000;
}
bool refusePage(uint64_t size) {
    return size == 4096;  // a fresh area for up to 3 kilobytes: one stream's "MATCHAREA"
}

TEST_F(StatsDisplayTest, StorageIsTakenAsTheAnswerNeedsIt) {
    Stream *s = stream("$STATQ", STREAM_TYPE_STATQ);
    std::vector<Items> queues;
    for (int i = 0; i < 10; i++) queues.push_back({str(2016, "Q." + std::to_string(i)), i32(31003, 1)});
    store(s, statQ(queues));
    // MAXRESP(999999) over ten records: the collation list grows with them.
    CSSetMemFailHook(refuseLarge);
    std::vector<ct::Pcf> shown = run(statq().integer(39395, 1).integer(39302, 999999).done());
    CSSetMemFailHook(nullptr);
    ASSERT_EQ(shown.size(), 10u);
    EXPECT_EQ(shown[9].reason, 0);
    // No "MATCHAREA": the platform reports it and the command ends without an answer of its own.
    AreaFreePool();
    testing::internal::CaptureStdout();
    CSSetMemFailHook(refusePage);
    ct::fake.puts.clear();
    const int result = runPcf(statq().done());
    CSSetMemFailHook(nullptr);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(result, 1);
    EXPECT_NE(out.find("for 'MATCHAREA'"), std::string::npos) << out;
    EXPECT_TRUE(ct::fake.puts.empty());
}

TEST_F(StatsDisplayTest, ACommandLevelCapLowersWhatTheRecordsReport) {
    Stream *s = stream("$ACCTQ", STREAM_TYPE_ACCTQ);
    store(s, acctQ(kApp, {{str(2016, "Q1"), i32(31003, 1)}}));
    struct Case {
        int32_t cap;
        int32_t level;
        const char *channel;
        const char *connection;
    };
    const Case cases[] = {
        {0, 940, "SVR.CONN", "host(1414)"},
        {950, 940, "SVR.CONN", "host(1414)"},
        {925, 925, "SVR.CONN", "<Not Present>"},
        {910, 910, "<Not Present>", "<Not Present>"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.cap);
        evStatsCommandLevel.store(c.cap);
        std::vector<ct::Pcf> shown = run(withList(acctq("Q1").done(), 39110, {1009}));
        ASSERT_EQ(shown.size(), 1u);
        EXPECT_EQ(shown[0].get(31).value, c.level);
        EXPECT_EQ(shown[0].get(3501).text, c.channel);
        EXPECT_EQ(shown[0].get(3506).text, c.connection);
        // The filters see what is answered.
        shown = run(acctq("Q1").string(3501, "SVR.*").done());
        EXPECT_EQ(shown[0].reason == 0, std::string(c.channel) == "SVR.CONN");
    }
    evStatsCommandLevel.store(0);
}

// Minima, maxima and averages as IBM MQ means them: a persistence class without operations has no
// smallest message or time on queue (its zeros take no part), the MQI high-water marks and CONNSMAX
// are maxima and the low-water marks minima, and a 64-bit sum stops at the largest value.
TEST_F(StatsDisplayTest, ZerosAndMaximaSumAsIbmMqMeansThem) {
    Stream *queues = stream("$ACCTQ", STREAM_TYPE_ACCTQ);
    // Non-persistent gets in the first record only; persistent puts in the second only.
    store(queues,
          acctQ(kApp, {{str(2016, "Q1"), i32(31014, 1), i64(31171, 10), i64(31173, 10), i64(31175, 10),
                        i32(31003, 1), i32(31153, 100), i32(31154, 0), i32(31156, 100), i32(31157, 0)}}));
    store(queues,
          acctQ(kApp, {{str(2016, "Q1"), i32(31015, 1), i64(31171, 0), i64(31173, 0), i64(31175, 0),
                        i32(31004, 1), i32(31153, 0), i32(31154, 50), i32(31156, 0), i32(31157, 50)}}));
    store(queues,
          acctQ(kApp, {{str(2016, "Q1"), i32(31015, 1), i64(31171, 0), i64(31173, 0), i64(31175, 0)}}));
    std::vector<ct::Pcf> shown = run(withList(acctq("Q1").done(), 39110, {1009}));
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].get(31171).value64, 10);  // ONQMINNPTI
    EXPECT_EQ(shown[0].get(31173).value64, 10);  // ONQAVGNPTI
    EXPECT_EQ(shown[0].get(31153).value, 100);   // PUTMINBYTENP
    EXPECT_EQ(shown[0].get(31154).value, 50);    // PUTMINBYTEP
    EXPECT_EQ(shown[0].get(31152).value, 50);    // PUTMINBYTE
    EXPECT_EQ(shown[0].get(31157).value, 50);    // PUTMAXBYTEP

    Stream *mqi = stream("S1", STREAM_TYPE_STATMQI);
    store(mqi,
          statMQI({i32(31, 940), i32(31113, 5), i32(31114, 9), i32(31118, 3), i32(31122, 1), i32(31126, 0)}));
    store(mqi,
          statMQI({i32(31, 940), i32(31113, 2), i32(31114, 4), i32(31118, 0), i32(31122, 6), i32(31126, 2)}));
    shown = run(withList(PcfBuilder(9025).string(39301, "S1").integer(39396, 1).done(), 39109, {1009}));
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].get(31113).value, 5);  // CONNSMAX
    EXPECT_EQ(shown[0].get(31114).value, 9);  // SUBDHWALL
    EXPECT_EQ(shown[0].get(31118).value, 0);  // SUBDLWALL
    EXPECT_EQ(shown[0].get(31122).value, 6);  // SUBNHWALL
    EXPECT_EQ(shown[0].get(31126).value, 0);  // SUBNLWALL

    Stream *stats = stream("$STATQ", STREAM_TYPE_STATQ);
    const int64_t big = INT64_MAX / 2 + 1;
    store(stats, statQ({{str(2016, "BIG.Q"), i32(31003, 1), i64(31011, big)}}));
    store(stats, statQ({{str(2016, "BIG.Q"), i32(31003, 1), i64(31011, big), i64(31012, big)}}));
    shown = run(withList(statq("BIG.Q").done(), 39107, {1009}));
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].get(31011).value64, INT64_MAX);  // PUTBYTENP
    EXPECT_EQ(shown[0].get(31010).value64, INT64_MAX);  // PUTBYTE
}

// A date the calendar does not have is refused, not moved into the next month.
TEST_F(StatsDisplayTest, AnImpossibleDateIsRefused) {
    store(stream("$STATQ", STREAM_TYPE_STATQ), statQ({{str(2016, "A.Q"), i32(31003, 1)}}));
    const std::pair<const char *, bool> cases[] = {
        {"FROM('2026-02-30 00:00:00')", false}, {"FROM('2025-02-29 00:00:00')", false},
        {"TO('2026-04-31 00:00:00')", false},   {"FROM('2024-02-29 00:00:00')", true},
        {"FROM('2025-12-31 00:00:00')", true},
    };
    for (const auto &[selection, accepted] : cases) {
        SCOPED_TRACE(selection);
        ct::fake.puts.clear();
        ASSERT_EQ(runMqsc(std::string("DISPLAY STATQ(A.Q) ") + selection), 1);
        const std::string text = allText();
        EXPECT_EQ(text.find("date format is incorrect") == std::string::npos, accepted) << text;
    }
}

// IBM MQ's process identifiers are unsigned 32-bit: one past 2147483647 is shown, and the PID filter
// finds it, in MQSC and as the MQCFIN64 the display answers it with. The other integers keep their
// range.
TEST_F(StatsDisplayTest, APidPastTwoToThe31IsFoundByItsFilter) {
    const auto wide = static_cast<int32_t>(4000000000u);
    store(stream("$ACCTMQI", STREAM_TYPE_ACCTMQI),
          acctMQI({str(3024, "amqsput"), i32(1024, wide), i32(1025, 9), i32(31003, 4)}));
    store(stream("$ACCTQ", STREAM_TYPE_ACCTQ),
          acctQ({str(3024, "amqsput"), i32(1024, wide)}, {{str(2016, "APP.Q"), i32(31003, 6)}}));
    const std::pair<const char *, const char *> cases[] = {
        {"DISPLAY ACCTMQI(*) PID(4000000000) ALL", "PID(4000000000) TID(9)"},
        {"DISPLAY ACCTMQI(*) PID(4294967295)", "AMQ8147: No matching data found."},
        {"DISPLAY ACCTQ(APP.Q) PID(4000000000) ALL", "PID(4000000000)"},
        {"DISPLAY ACCTMQI(*) PID(4294967296)", "Parameter 'PID' is not a valid integer."},
        {"DISPLAY ACCTMQI(*) PID(-1)", "Parameter 'PID' must be between 0 and 4294967295."},
        {"DISPLAY ACCTMQI(*) TID(4000000000)", "Parameter 'TID' is not a valid integer."},
        {"DISPLAY ACCTMQI(*) TID(-1)", "Parameter 'TID' must be between 0 and 2147483647."},
    };
    for (const auto &[command, shown] : cases) {
        SCOPED_TRACE(command);
        ct::fake.puts.clear();
        ASSERT_EQ(runMqsc(command), 1);
        const std::string text = allText();
        EXPECT_NE(text.find(shown), std::string::npos) << text;
    }
    // PCF: the filter as MQCFIN64; TID does not take one.
    const struct {
        int32_t id;
        int64_t value;
        int32_t reason;
        const char *text;
    } pcf[] = {{1024, 4000000000, 0, ""},
               {1024, 4000000001, 2085, "No matching data found."},
               {1024, 4294967296, 3229, "Parameter 'PID' must be between 0 and 4294967295."},
               {1025, 4000000000, 3229, "Parameter 'TID' should be an integer."}};
    for (const auto &c : pcf) {
        SCOPED_TRACE(c.value);
        PcfBuilder b(9027);
        b.string(3024, "*").integer64(c.id, c.value);
        const std::vector<ct::Pcf> shown = run(b.done());
        ASSERT_EQ(shown.size(), 1u);
        EXPECT_EQ(shown[0].reason, c.reason);
        if (c.reason == 0)
            EXPECT_EQ(shown[0].get(3024).text, "amqsput");
        else
            EXPECT_EQ(shown[0].get(CMD_PARM_TEXT).text, c.text);
    }
}

TEST_F(StatsDisplayTest, TheAccountingDisplaysAnswerMqsc) {
    store(stream("S1", STREAM_TYPE_STATMQI), statMQI({i32(31, 940), i32(31014, 2), i32(31015, 3)}));
    store(stream("$ACCTMQI", STREAM_TYPE_ACCTMQI),
          acctMQI({str(3024, "amqsput"), str(3025, "mqm"), i32(1024, 7), i32(31003, 4)}));
    store(stream("$ACCTQ", STREAM_TYPE_ACCTQ), acctQ(kApp, {{str(2016, "APP.Q"), i32(31003, 6)}}));
    struct Case {
        const char *command;
        std::vector<const char *> shown;
    };
    const Case cases[] = {
        {"DISPLAY STATMQI(S1)", {"STATMQI(S1)", "INTVLEND(2026-01-01 01:00:00 (UTC))", "GET(5)"}},
        {"DISPLAY STATMQI(S1) ALL", {"INTVLSTA(2025-12-31 23:59:59 (UTC))", "CMDLEVEL(940)", "GETNP(2)"}},
        {"DISPLAY ACCTMQI(AMQ*) USERID(MQM) PID(7)", {"ACCTMQI(amqsput)", "ALLPUT(4)"}},
        {"DISPLAY ACCTMQI(*) PID(8)", {"AMQ8147: No matching data found."}},
        // Without a name, every application, as in PCF.
        {"DISPLAY ACCTMQI MAXRESP(2)", {"ACCTMQI(amqsput)", "ALLPUT(4)"}},
        {"DISPLAY ACCTQ(APP.Q) ALL SUM(NONE)",
         {"ACCTQ(APP.Q)", "APPLNAME(amqsput)", "CHANNEL(SVR.CONN)", "PUTNP(6)",
          "INTVLSTA(2026-01-01 00:00:00 (UTC))"}},
        // An exact interval, given as seconds.
        {"DISPLAY STATMQI(S1) INTVLSTA('1767225600') INTVLEND('1767229200') SUM(NONE)", {"GET(5)"}},
        {"DISPLAY STATMQI(S1) INTVLSTA('1767225600') INTVLEND(1767229199) SUM(NONE)",
         {"AMQ8147: No matching data found."}},
        {"DISPLAY STATMQI(S1) INTVLSTA('2026-01-01') INTVLEND('1767229200')",
         {"AMQ8426: Parameter 'INTVLSTA' should be an integer."}},
        {"DISPLAY STATMQI(S1) INTVLSTA(0) INTVLEND('9999999999999999999')",
         {"AMQ8426: Parameter 'INTVLEND' should be an integer."}},
        // Without a name every stream, as in PCF; the syntax says the value is a stream.
        {"DISPLAY STATMQI", {"STATMQI(S1)", "GET(5)"}},
        {"DISPLAY STATMQI(S1) NOSUCH", {"DISPLAY STATMQI( stream )"}},
        // A named record attribute is displayed, not taken as a selection.
        {"DISPLAY STATMQI(*) RECORDS MAXRESP(2)", {"STATMQI(S1)", "RECORDS(1)"}},
        {"DISPLAY STATMQI(*) INTVL(60) RECORDS", {"STATMQI(S1)", "RECORDS(1)"}},
        // The object by the field tables' name too.
        {"DISPLAY ACCTQ(*) WHERE(QUEUE = 'APP.Q')", {"ACCTQ(APP.Q)", "ALLPUT(6)"}},
        {"DISPLAY ACCTMQI WHERE(APPLNAME = 'amqsput')", {"ACCTMQI(amqsput)", "ALLPUT(4)"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.command);
        ct::fake.puts.clear();
        ASSERT_EQ(runMqsc(c.command), 1);
        const std::string text = allText();
        for (const char *part : c.shown)
            EXPECT_NE(text.find(part), std::string::npos) << part << "\n" << text;
    }
}

// WHERE and PREWHERE read every text field of every family as the record holds it: two records with
// known texts, counted 1 and 2, each shown on its own (SUM(NONE)); the counts of the rows shown tell
// which records matched. Through PCF and MQSC alike.
TEST_F(StatsDisplayTest, WhereAndPrewhereReadEveryTextField) {
    store(stream("$STATQ", STREAM_TYPE_STATQ),
          statQ({{str(2016, "KA.Q1"), i32(31003, 1)}, {str(2016, "KB.Q2"), i32(31003, 2)}}));
    store(stream("$STATCHL", STREAM_TYPE_STATCHL),
          statChl({{str(3501, "CHL.A"), str(2017, "rqmA"), str(3506, "hostA(1414)"), i32(31136, 1)},
                   {str(3501, "CHL.B"), str(2017, "rqmB"), str(3506, "hostB(1414)"), i32(31136, 2)}}));
    store(stream("SA", STREAM_TYPE_STATMQI), statMQI({i32(31, 940), i32(31003, 1)}));
    store(stream("SB", STREAM_TYPE_STATMQI), statMQI({i32(31, 940), i32(31003, 2)}));
    Stream *acctMqi = stream("$ACCTMQI", STREAM_TYPE_ACCTMQI);
    Stream *acctQueues = stream("$ACCTQ", STREAM_TYPE_ACCTQ);
    for (const char *x : {"A", "B"}) {
        const std::string t = x;
        const int32_t count = t == "A" ? 1 : 2;
        store(acctMqi, acctMQI({str(3024, "app" + t), str(3025, "user" + t), str(3501, "CHL." + t),
                                str(3506, "host" + t + "(1414)"), str(3561, "MQC" + t),
                                str(3560, "0904000" + t), i32(31, 940), i32(31003, count)}));
        store(acctQueues, acctQ({str(3024, "app" + t), str(3025, "user" + t), str(3501, "CHL." + t),
                                 str(3506, "host" + t + "(1414)"), i32(31, 940)},
                                {{str(2016, t == "A" ? "KA.Q1" : "KB.Q2"), i32(31003, count)}}));
    }
    struct Family {
        const char *command;  // MQSC
        uint32_t code;
        int32_t objectId;  // a required object filter, or 0
        int32_t list;
        int32_t counter;
        const char *counterKeyword;
        std::vector<std::pair<const char *, const char *>> texts;  // keyword, record A's text
    };
    const Family families[] = {
        {"STATQ", 9023, 2016, 39107, 31003, "PUTNP", {{"STATQ", "KA.Q1"}}},
        {"STATCHL",
         9024,
         0,
         39108,
         31136,
         "MSGS",
         {{"STATCHL", "CHL.A"}, {"RQMNAME", "rqmA"}, {"CONNAME", "hostA(1414)"}}},
        {"STATMQI", 9025, 0, 39109, 31003, "PUTNP", {{"STATMQI", "SA"}}},
        {"ACCTQ",
         9026,
         2016,
         39110,
         31003,
         "PUTNP",
         {{"ACCTQ", "KA.Q1"},
          {"APPLNAME", "appA"},
          {"USERID", "userA"},
          {"CHANNEL", "CHL.A"},
          {"CONNAME", "hostA(1414)"}}},
        {"ACCTMQI",
         9027,
         0,
         39111,
         31003,
         "PUTNP",
         {{"ACCTMQI", "appA"},
          {"USERID", "userA"},
          {"CHANNEL", "CHL.A"},
          {"CONNAME", "hostA(1414)"},
          {"RPRODUCT", "MQCA"},
          {"RVERSION", "0904000A"}}},
    };
    for (const Family &f : families) {
        for (const auto &[keyword, text] : f.texts) {
            for (const char *filter : {"WHERE", "PREWHERE"}) {
                // The expression, and the sum of the counts of the records it holds for.
                const std::pair<std::string, int64_t> cases[] = {
                    {std::string(keyword) + " = '" + text + "'", 1},
                    {std::string(keyword) + " <> '" + text + "'", 2},
                    {std::string(keyword) + " <> ''", 3},
                    {std::string(keyword) + " = 'zzz'", 0},
                };
                for (const auto &[expression, expected] : cases) {
                    SCOPED_TRACE(std::string(f.command) + " " + filter + "(" + expression + ")");
                    PcfBuilder b(f.code);
                    if (f.objectId != 0) b.string(f.objectId, "*");
                    b.integer(39395, 1).string(std::string(filter) == "WHERE" ? 39300 : 39410,
                                               expression.c_str());
                    int64_t sum = 0;
                    for (const ct::Pcf &p : run(withList(b.done(), f.list, {1009}))) {
                        if (p.reason == 0) sum += p.get(f.counter).value;
                        if (p.reason != 0 && expected != 0) ADD_FAILURE() << "reason " << p.reason;
                    }
                    EXPECT_EQ(sum, expected) << "PCF";

                    ct::fake.puts.clear();
                    std::string mqsc =
                        std::string("DISPLAY ") + f.command + "(*) ALL SUM(NONE) " + filter + "(";
                    ASSERT_EQ(runMqsc(mqsc + expression + ")"), 1);
                    const std::string shown = allText();
                    sum = 0;
                    const std::regex count(std::string("\\b") + f.counterKeyword + "\\((\\d+)\\)");
                    for (std::sregex_iterator m(shown.begin(), shown.end(), count), end; m != end; ++m)
                        sum += std::stoll((*m)[1]);
                    EXPECT_EQ(sum, expected) << "MQSC\n" << shown;
                    if (expected == 0) {
                        EXPECT_NE(shown.find("AMQ8147"), std::string::npos) << shown;
                    }
                }
            }
        }
    }
}

TEST_F(StatsDisplayTest, MqiAccountingGapsKeepTheApplicationAndItsProcess) {
    clock_.set(kStart + 6 * 3600);
    evClockTick();
    Stream *s = stream("$ACCTMQI", STREAM_TYPE_ACCTMQI);
    for (int64_t hour : {0, 3})
        store(s, acctMQI({str(3024, "amqsput"), i32(1024, 7), i32(1025, 2), i32(31003, 1)},
                         kStart + hour * 3600, kStart + (hour + 1) * 3600));
    const std::vector<ct::Pcf> shown = run(withList(
        PcfBuilder(9027).string(3024, "amqsput").integer(39411, 60).integer(39400, 1).done(), 39111, {1009}));
    ASSERT_EQ(shown.size(), 4u);
    for (size_t i : {1u, 2u}) {
        SCOPED_TRACE(i);
        EXPECT_EQ(shown[i].get(39399).value64, kStart + static_cast<int64_t>(4 - i) * 3600);
        EXPECT_EQ(shown[i].get(3024).text, "amqsput");
        EXPECT_EQ(shown[i].get(1024).value, 7);
        EXPECT_EQ(shown[i].get(1025).value, 2);
        EXPECT_FALSE(shown[i].has(31038));
    }
}

// Aggregated averages: the emitter of the absorbed record, DISPLAY, WHERE and PREWHERE all see the sum of
// the averages divided by their count, over records folded into a bin and absorbed by the real road.
class StatsAverageTest : public StatsDisplayTest {
protected:
    void SetUp() override {
        StatsDisplayTest::SetUp();
        EmitterDef *emitter = evCreateEmitterDef("E1", -1);
        ASSERT_NE(emitter, nullptr);
        emitter->format = EV_EMIT_NDJSON;
        emitter->singleRecord = 1;
        std::snprintf(emitter->file, sizeof emitter->file, "%s", dir_.file("out.json").c_str());
    }
    void TearDown() override {
        emitCloseOutputs(nullptr, evSet(EV_SET_E));
        ct::freeEmitters();
        StatsDisplayTest::TearDown();
    }
    // The stream's due bins absorbed, as the sweep does it; the emitted text.
    std::string absorb(Stream *s) {
        clock_.set(kEnd + 7300);
        EvStreamIo io{};
        AggrWork work{};
        work.context = &evContext;
        work.io = &io;
        work.qmgr = qmgr_;
        work.stream = s;
        work.definition = s->definition;
        EXPECT_EQ(evAggrRunDue(&work, 0), 1);
        AreaRelease(&work.area);
        emitCloseOutputs(nullptr, evSet(EV_SET_E));
        return dir_.exists("out.json") ? dir_.read("out.json") : "";
    }
    // A number of the emitted JSON object by its key; INT64_MIN when absent.
    static int64_t jsonNumber(const std::string &text, const std::string &key) {
        const size_t at = text.find("\"" + key + "\":");
        if (at == std::string::npos) return INT64_MIN;
        return std::strtoll(text.c_str() + at + key.size() + 3, nullptr, 10);
    }
    zt::TempDir dir_;
};

TEST_F(StatsAverageTest, EmittersWhereAndPrewhereSeeTheAveragesDisplayAnswers) {
    struct Average {
        int32_t id;
        const char *key;
        int64_t expected;
        bool wide;  // answered as MQCFIN64
    };
    struct Case {
        const char *name;
        uint32_t type;
        uint16_t command;
        int32_t group;
        Items keys;
        std::vector<Items> objects;  // one record each, folded into one bin
        uint32_t display;
        int32_t list;
        std::vector<Average> averages;
        const char *countKey;
        int64_t count;  // as the absorbed record holds it
        std::string where;
    };
    const Items kQueue = {str(2016, "Q1"), i32(20, 1), i32(31003, 1)};
    const Items kChannel = {str(3501, "CH1"), str(2017, "QM2"), str(3506, "host"), i32(1511, 1),
                            i32(31136, 5)};
    const Case cases[] = {
        {"queue statistics",
         STREAM_TYPE_STATQ,
         165,
         8011,
         {i32(31, 940)},
         {join(kQueue, {i64(31000, 10), i64(31001, 100)}), join(kQueue, {i64(31000, 20), i64(31001, 201)}),
          join(kQueue, {i64(31000, 45)})},
         9023,
         39107,
         {{31000, "avgqnp", 25, true}, {31001, "avgqp", 150, true}},
         "cntavgnp",
         3,
         "AVGQNP = 25 AND AVGQP = 150 AND CNTAVGNP = 3"},
        {"channel statistics",
         STREAM_TYPE_STATCHL,
         166,
         8012,
         {i32(31, 940)},
         {join(kChannel, {i32(31139, 30), i32(31142, 5), i32(31146, 10)}),
          join(kChannel, {i32(31139, 61), i32(31142, 8), i32(31146, 13)})},
         9024,
         39108,
         {{31139, "nettimavg", 45, false}, {31142, "exttimavg", 6, false}, {31146, "avgbatch", 11, false}},
         "cntavgpnt",
         2,
         "NETTIMAVG = 45 AND EXTTIMAVG = 6 AND AVGBATCH = 11"},
        {"queue accounting",
         STREAM_TYPE_ACCTQ,
         168,
         8010,
         kApp,
         {join(kQueue, {i64(31173, 1000), i64(31175, 3500)}),
          join(kQueue, {i64(31173, 3000), i64(31175, 3400)})},
         9026,
         39110,
         {{31173, "onqavgnpti", 2000, true}},
         "cntavgnp",
         1,
         "ONQAVGNPTI = 2000"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        TearDown();
        std::remove(dir_.file("out.json").c_str());
        SetUp();
        Stream *s = stream("AGG", c.type, 3600);
        std::snprintf(s->definition->evEmit, sizeof s->definition->evEmit, "E1");
        for (const Items &object : c.objects) {
            stt::RecordBuilder b(c.command, 0, kEnd - 60, kEnd);
            b.add(c.keys).group(c.group).add(object).end();
            const std::vector<uint8_t> r = b.record();
            ASSERT_EQ(evAggrAddRecord(&evContext, qmgr_, s, 0, r.data(), static_cast<uint32_t>(r.size())), 1);
        }
        const char *object = c.type == STREAM_TYPE_STATCHL ? "CH1" : "Q1";
        const int32_t objectId = c.type == STREAM_TYPE_STATCHL ? 3501 : 2016;
        auto show = [&](int32_t expressionId, const std::string &expression) {
            PcfBuilder b(c.display);
            b.string(objectId, object).integer(39395, 1);
            if (expressionId != 0) b.string(expressionId, expression.c_str());
            return run(withList(b.done(), c.list, {1009}));
        };
        // Still in the bin, then absorbed and stored: WHERE and PREWHERE name the true averages.
        for (const char *stage : {"in the bin", "absorbed"}) {
            SCOPED_TRACE(stage);
            std::string emitted;
            if (std::string(stage) == "absorbed") {
                emitted = absorb(s);
                ASSERT_FALSE(emitted.empty()) << "the absorbed record reaches the emitter";
            }
            for (int32_t id : {39300, 39410}) {
                const std::vector<ct::Pcf> found = show(id, c.where);
                ASSERT_EQ(found.size(), 1u);
                EXPECT_EQ(found[0].reason, 0) << (id == 39300 ? "WHERE " : "PREWHERE ") << c.where;
            }
            const std::vector<ct::Pcf> shown = show(0, "");
            ASSERT_EQ(shown.size(), 1u);
            ASSERT_EQ(shown[0].reason, 0);
            for (const Average &a : c.averages) {
                const int64_t displayed = a.wide ? shown[0].get(a.id).value64 : shown[0].get(a.id).value;
                EXPECT_EQ(displayed, a.expected) << a.key;
                if (!emitted.empty()) {
                    EXPECT_EQ(jsonNumber(emitted, a.key), displayed) << a.key << "\n" << emitted;
                }
            }
            if (!emitted.empty()) {
                EXPECT_EQ(jsonNumber(emitted, c.countKey), c.count) << emitted;
            }
        }
    }
}

// Every emitted aggregate has an id of its own, and the same records folded again, in the other order,
// give the same ids (as after a restart, when the bins are read again from the aggregation messages).
TEST_F(StatsAverageTest, EmittedAggregatesHaveUniqueStableIds) {
    struct Case {
        const char *name;
        uint32_t type;
        uint16_t command;
        int32_t group;                                              // 0: the MQI families, flat
        std::vector<std::pair<Items, std::vector<Items>>> records;  // keys, objects
    };
    auto queues = [](const char *prefix) {
        std::vector<Items> out;
        for (int i = 0; i < 4; i++) out.push_back({str(2016, prefix + std::to_string(i)), i32(31003, 1)});
        return out;
    };
    auto application = [](const char *name) {
        return Items{str(3024, name), str(3025, "mqm"), i32(1024, 7), i32(31, 940)};
    };
    const Case cases[] = {
        {"queue statistics",
         STREAM_TYPE_STATQ,
         165,
         8011,
         {{{i32(31, 940)}, queues("A.Q")}, {{i32(31, 940)}, queues("B.Q")}}},
        {"channel statistics",
         STREAM_TYPE_STATCHL,
         166,
         8012,
         {{{i32(31, 940)},
           {{str(3501, "CH1"), str(2017, "QM2"), i32(31136, 1)},
            {str(3501, "CH2"), str(2017, "QM2"), i32(31136, 1)}}},
          {{i32(31, 940)}, {{str(3501, "CH3"), str(2017, "QM3"), i32(31136, 1)}}}}},
        {"queue accounting",
         STREAM_TYPE_ACCTQ,
         168,
         8010,
         {{application("appA"), queues("Q")}, {application("appB"), queues("Q")}}},
        {"MQI statistics",
         STREAM_TYPE_STATMQI,
         164,
         0,
         {{{i32(31, 930), i32(31003, 1)}, {}}, {{i32(31, 940), i32(31003, 1)}, {}}}},
        {"MQI accounting",
         STREAM_TYPE_ACCTMQI,
         167,
         0,
         {{join(application("appA"), {i32(31003, 1)}), {}},
          {join(application("appB"), {i32(31003, 1)}), {}},
          {join(application("appC"), {i32(31003, 1)}), {}}}},
    };
    const std::regex idPattern("\"zuntUniqueId\":\"([0-9A-Fa-f]+-?[0-9]*)\"");
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> runs[2];
        for (std::vector<std::string> &ids : runs) {
            const bool reversed = &ids == &runs[1];
            TearDown();
            std::remove(dir_.file("out.json").c_str());
            SetUp();
            Stream *s = stream("AGG", c.type, 3600);
            std::snprintf(s->definition->evEmit, sizeof s->definition->evEmit, "E1");
            // The string pool outlives a restart: each text keeps its pool id whatever the order.
            auto internAll = [](const Items &items) {
                for (const stt::Item &item : items)
                    if (item.kind == stt::Item::Str) stt::intern(item.text);
            };
            for (const auto &[keys, objects] : c.records) {
                internAll(keys);
                for (const Items &object : objects) internAll(object);
            }
            for (size_t n = 0; n < c.records.size(); n++) {
                const auto &[keys, objects] = c.records[reversed ? c.records.size() - 1 - n : n];
                stt::RecordBuilder b(c.command, 0, kEnd - 60, kEnd);
                b.add(keys);
                for (size_t o = 0; o < objects.size(); o++)
                    b.group(c.group).add(objects[reversed ? objects.size() - 1 - o : o]).end();
                const std::vector<uint8_t> r = b.record();
                ASSERT_EQ(evAggrAddRecord(&evContext, qmgr_, s, 0, r.data(), static_cast<uint32_t>(r.size())),
                          1);
            }
            const std::string emitted = absorb(s);
            for (std::sregex_iterator m(emitted.begin(), emitted.end(), idPattern), end; m != end; ++m)
                ids.push_back((*m)[1]);
            size_t objects = 0;
            for (const auto &record : c.records) objects += c.group != 0 ? record.second.size() : 1;
            EXPECT_EQ(ids.size(), objects) << emitted;
            std::vector<std::string> sorted = ids;
            std::sort(sorted.begin(), sorted.end());
            EXPECT_EQ(std::adjacent_find(sorted.begin(), sorted.end()), sorted.end()) << emitted;
        }
        std::sort(runs[0].begin(), runs[0].end());
        std::sort(runs[1].begin(), runs[1].end());
        EXPECT_EQ(runs[0], runs[1]);
    }
}

// Queue accounting of two connections summed into one aggregate: its connection identifier is mixed,
// emitted as "*" as DISPLAY shows it, not as the hex of that character.
TEST_F(StatsAverageTest, AMixedConnectionIdIsEmittedAsAStar) {
    Stream *s = stream("AGG", STREAM_TYPE_ACCTQ, 3600);
    std::snprintf(s->definition->evEmit, sizeof s->definition->evEmit, "E1");
    for (char c : {'c', 'd'}) {
        stt::RecordBuilder b(168, 0, kEnd - 60, kEnd);
        b.add(join(Items{bytes(7006, std::string(24, c))}, Items(kApp.begin() + 1, kApp.end())))
            .group(8010)
            .add(Items{str(2016, "Q1"), i32(31003, 1)})
            .end();
        const std::vector<uint8_t> r = b.record();
        ASSERT_EQ(evAggrAddRecord(&evContext, qmgr_, s, 0, r.data(), static_cast<uint32_t>(r.size())), 1);
    }
    const std::string emitted = absorb(s);
    EXPECT_NE(emitted.find("\"connid\":\"*\""), std::string::npos) << emitted;
    EXPECT_NE(emitted.find("\"putnp\":2"), std::string::npos) << emitted;
}

// INTVL: digits alone are minutes, whether an integer, an MQSC value or a PCF string; a text with
// units keeps its units.
TEST_F(StatsDisplayTest, IntervalDigitsAreMinutesInMqscAndPcf) {
    store(stream("$STATQ", STREAM_TYPE_STATQ),
          statQ({{str(2016, "A.Q"), i32(31003, 1)}}, kEnd - 90, kEnd - 30));
    struct Case {
        const char *mqsc;  // the value as typed in INTVL(...)
        bool integer;      // the PCF form: MQCFIN, else MQCFST of pcf
        const char *pcf;
        int64_t seconds;  // the interval answered; 0: refused
    };
    const Case cases[] = {
        {"5", true, "5", 300},
        {"5", false, "5", 300},
        {"120", false, " 120 ", 7200},
        {"'1 hour'", false, "1 hour", 3600},
        {"'1 hour 5 minutes'", false, "1 hour 5 minutes", 3900},
        {"'90 seconds'", false, "90 seconds", 60},
        {"'30 seconds'", false, "30 seconds", 0},
        {"0", true, "0", 0},
        {"0", false, "0", 0},
    };
    // The record ends at 00:59:30; intervals run from midnight, so its interval ends at the first
    // boundary after that and starts one INTVL earlier.
    const int64_t end = kEnd - 30;
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string("INTVL(") + c.mqsc + (c.integer ? ") as an integer" : ") as a string"));
        const int64_t boundary = c.seconds ? kStart + ((end - kStart) / c.seconds + 1) * c.seconds : 0;
        PcfBuilder b = statq("A.Q");
        if (c.integer)
            b.integer(39411, std::atoi(c.pcf));
        else
            b.string(39411, c.pcf);
        const std::vector<ct::Pcf> shown = run(withList(b.done(), 39107, {1009}));
        ASSERT_EQ(shown.size(), 1u);
        if (c.seconds == 0) {
            EXPECT_EQ(shown[0].reason, MQRCCF_PARM_SYNTAX_ERROR);
            EXPECT_EQ(shown[0].get(CMD_PARM_TEXT).text, "'INTVL' must be greater than zero.");
        } else {
            EXPECT_EQ(shown[0].reason, 0);
            EXPECT_EQ(shown[0].get(39398).value64, boundary - c.seconds);
            EXPECT_EQ(shown[0].get(39399).value64, boundary);
        }
        ct::fake.puts.clear();
        ASSERT_EQ(runMqsc(std::string("DISPLAY STATQ(A.Q) ALL INTVL(") + c.mqsc + ")"), 1);
        const std::string text = allText();
        if (c.seconds == 0) {
            EXPECT_NE(text.find("'INTVL' must be greater than zero."), std::string::npos) << text;
            continue;
        }
        for (auto [keyword, t] :
             {std::pair{"INTVLSTA", boundary - c.seconds}, std::pair{"INTVLEND", boundary}}) {
            const std::time_t at = t;
            char expected[64];
            std::strftime(expected, sizeof expected, "(%Y-%m-%d %H:%M:%S (UTC))", std::gmtime(&at));
            EXPECT_NE(text.find(std::string(keyword) + expected), std::string::npos)
                << keyword << expected << "\n"
                << text;
        }
    }
}

}  // namespace
