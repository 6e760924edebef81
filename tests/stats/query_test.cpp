// The statistics displays' query: the refusals of its parameters and their combinations, the
// defaults, the version filter, the COLLATE check of a stream and the INTVL arithmetic of a record.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "stats/stats.h"
#include "tests/cmdserver/cmdserver_testing.h"

namespace {

using ct::PcfBuilder;

constexpr StatsSumKey kStatQSums[] = {{3, 0x10}, {11, 0x20}, {15, 0x1}, {16, 0x2}, {17, 0x4}, {0, 0}};
constexpr int64_t kNow = 1767225600;  // 2026-01-01 00:00:00 UTC

StatsQuery query;
int parsed = 0;

// What a refusal outside a handler took: the response areas.
void releaseRequest(CmdRequest *request) {
    for (Area **area : {&request->pcfCommand, &request->mqscResponse, &request->escResponse,
                        &request->pcfResponse, &request->collation, &request->handlerArea})
        AreaRelease(area);
    std::memset(request, 0, sizeof *request);
}

// The parameter walk and the option rules as a handler of 9023 runs them; 1 when the query stood.
int parseOnly(QmgrContext *context, uint8_t *command, int32_t length) {
    evQueryInit(&query, context, 9023);
    PcfCursor cursor;
    MQPCFInitParser(&cursor, command, length, 0);
    for (;;) {
        int32_t type = 0, id = 0, valueLength = 0, count = 0, cc = 0, rc = 0;
        void *value = nullptr;
        MQPCFGetNextParm(&cursor, &type, &id, &value, &valueLength, &count, &cc, &rc);
        if (cc == MQCC_FAILED) break;
        if (id == 2016) continue;  // the family's object, not the query's
        int recognised = 0;
        const int taken = evQueryParseParm(&query, &cursor, kStatQSums, &recognised);
        if (!recognised) return evParameterError(context, &cursor, id, type);
        if (!taken) return 1;
    }
    if (!evQueryCheckOptions(&query, kStatQSums, 0x10)) return 1;
    parsed = 1;
    return evPcfResponse(context, 9023, 0, 0, nullptr);
}

class QueryTest : public ct::CmdTest {
protected:
    void SetUp() override {
        CmdTest::SetUp();
        InitialiseCommandFields();
        evRegisterCommandHandler(9023, parseOnly);
        clock_.set(kNow);
        evClockTick();
        evTzOffset.store(0);
        parsed = 0;
    }
    ct::Pcf reply(const std::vector<uint8_t> &command) {
        ct::fake.puts.clear();
        EXPECT_EQ(runPcf(command), 1);
        EXPECT_EQ(ct::fake.puts.size(), 1u);
        return ct::fake.puts.empty() ? ct::Pcf{} : ct::parse(ct::fake.puts.back().data);
    }
    zt::TestClock clock_;
    zt::ScopedTZ tz_{"UTC0"};
};

PcfBuilder statq() {
    return std::move(PcfBuilder(9023).string(2016, "*"));
}

std::vector<uint8_t> withList(PcfBuilder builder, int32_t id, std::vector<int32_t> values) {
    return ct::withList(builder.done(), id, values);
}

TEST_F(QueryTest, CombinationsAndValuesAreRefusedWithTheirReasonsAndTexts) {
    using Case = RefusedCommand;
    const Case cases[] = {
        {"SUM(NONE) with INTVL", statq().integer(39395, 1).integer(39411, 15).done(), 3229, 39411,
         "You can not specify an INTVL value with SUM(NONE)"},
        {"COLLATE with INTVL", statq().integer(39430, 44).integer(39411, 15).done(), 3229, 39411,
         "COLLATE() and INVTL can not both be used in the same command"},
        {"COLLATE with SUM(TOTAL)", statq().integer(39430, 44).integer(39395, 2).done(), 3229, 39395,
         "COLLATE() and SUM() can not both be used in the same command"},
        {"INTVL(0)", statq().integer(39411, 0).done(), 3097, 39411, "'INTVL' must be greater than zero."},
        {"INTVL('0 minutes')", statq().string(39411, "0 minutes").done(), 3097, 39411,
         "'INTVL' must be greater than zero."},
        {"INTVL('x')", statq().string(39411, "x").done(), 3097, 39411,
         "Invalid 'INTVL' parameter specification."},
        {"INTVL past 32 bits of seconds", statq().integer(39411, 71582789).done(), 3097, 39411,
         "Invalid 'INTVL' parameter specification."},
        {"GAPFILL without INTVL", statq().integer(39400, 1).done(), 3229, 39400,
         "GAPFILL can not be used without an INTVL value"},
        {"SUM(PREFIX, SUFFIX)", withList(statq(), 39395, {15, 17}), 3229, 39395,
         "Only one PREFIX or SUFFIX sum may be specified"},
        {"SUM(PREFIX, QUEUE)", withList(statq(), 39395, {15, 3}), 3229, 39395,
         "Can not sum by PREFIX/SUFFIX and key field"},
        {"SUM(TOTAL, QUEUE)", withList(statq(), 39395, {2, 3}), 3229, 39395,
         "Invalid combination of SUM() values used"},
        {"SUM(APPL)", statq().integer(39395, 4).done(), 3229, 39395,
         "SUM(APPL) is not valid for this command"},
        {"an unknown SUM", statq().integer(39395, 99).done(), 3229, 39395,
         "Parameter 'SUM' is not a recognised value."},
        {"an unknown GAPFILL", statq().integer(39400, 9).done(), 3229, 39400,
         "Parameter 'GAPFILL' is not a recognised value."},
        {"INTVLSTA alone", statq().integer64(39398, kNow).done(), 3228, 39399, nullptr},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        const ct::Pcf answer = reply(c.command);
        EXPECT_EQ(answer.reason, c.reason);
        EXPECT_EQ(answer.get(MQIACF_PARAMETER_ID).value, c.parmId);
        if (c.text != nullptr) {
            EXPECT_EQ(answer.get(CMD_PARM_TEXT).text, c.text);
        }
        EXPECT_EQ(parsed, 0);
    }
}

TEST_F(QueryTest, TheDefaultsFollowTheMode) {
    reply(statq().done());
    ASSERT_EQ(parsed, 1);
    EXPECT_EQ(query.selection.maxResp, 100);
    EXPECT_EQ(query.capacity, 100u);
    EXPECT_EQ(query.keyMask, 0x10u);
    EXPECT_EQ(std::string(query.selection.evQmgr, static_cast<size_t>(query.selection.evQmgrLength)), "QM1");
    reply(statq().integer(39430, 44).done());
    EXPECT_EQ(query.selection.maxResp, 300);
    EXPECT_EQ(query.capacity, 24u);
    EXPECT_EQ(query.sumMode, STATS_SUM_NONE);
    reply(statq().string(39411, "2 hours").done());
    EXPECT_EQ(query.interval, 7200);
    reply(statq().integer(39411, 15).done());
    EXPECT_EQ(query.interval, 900);
    reply(statq().integer(39395, 17).done());
    EXPECT_EQ(query.segment, -1);
    EXPECT_EQ(query.keyMask, 0x4u);
}

TEST_F(QueryTest, VersionFiltersBecomeFixedPatterns) {
    struct Case {
        const char *in;
        int ok;
        const char *out;
    };
    const Case cases[] = {
        {"7.5.*.1", 1, "0705*01"},   {"7.5", 1, "0705"},        {"75", 1, "75"},
        {"9.4.0.10", 1, "09040010"}, {"123.1.1.1", 0, nullptr}, {"7.x", 0, nullptr},
        {"1.2.3.4.5", 0, nullptr},
    };
    for (const Case &c : cases) {
        char text[16];
        std::snprintf(text, sizeof text, "%s", c.in);
        EXPECT_EQ(evQueryParseRVersion(text), c.ok) << c.in;
        if (c.ok) {
            EXPECT_STREQ(text, c.out) << c.in;
        }
    }
}

TEST_F(QueryTest, CollateIsCheckedAgainstEachStreamsAggregation) {
    StreamDef def{};
    std::snprintf(def.name, sizeof def.name, "AGG");
    Stream stream{};
    stream.definition = &def;
    struct Case {
        uint32_t aggrInt;
        int32_t collate;
        int ok;
        int uneven;
    };
    const Case cases[] = {{3600, 45, 0, 0}, {900, 62, 0, 0}, {600, 61, 1, 1}, {900, 44, 1, 0}, {0, 64, 1, 0}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.collate);
        ct::fake.puts.clear();
        CmdRequest *request = cmdRequest(&evContext);
        MQMD md = MQMD_DEFAULT;
        request->md = &md;
        request->kind = CMD_KIND_PCF;
        evQueryInit(&query, &evContext, 9023);
        query.collate = c.collate;
        def.aggrInt = c.aggrInt;
        EXPECT_EQ(evQueryCheckStreamInterval(&query, &stream), c.ok);
        EXPECT_EQ(query.uneven, c.uneven);
        if (!c.ok) {
            EXPECT_EQ(request->lastReason, MQRCCF_PARM_CONFLICT);
        }
        releaseRequest(request);
    }
}

// Aggregated records end on boundaries: each must stay in the interval that ends there, on either
// side of the base, as a bin does.
TEST_F(QueryTest, ARecordEndingOnABoundaryBelongsToTheIntervalEndingThere) {
    struct Case {
        int64_t end;
        int64_t expected;
    };
    const int64_t midnight = kNow;
    const Case cases[] = {
        {midnight, midnight},
        {midnight + 3600, midnight + 3600},
        {midnight + 1, midnight + 3600},
        {midnight - 3600, midnight - 3600},
        {midnight - 3599, midnight},
        {midnight + 7199, midnight + 7200},
    };
    for (const Case &c : cases) {
        evQueryInit(&query, &evContext, 9023);
        query.interval = 3600;
        query.selection.zoneMinutes = 0;
        int64_t start = c.end - 600;
        int64_t end = c.end;
        ASSERT_EQ(evQueryCheckInterval(&query, &start, &end), 1);
        EXPECT_EQ(query.clockBase % 86400, 0);  // the local midnight of the record's day
        EXPECT_EQ(end, c.expected) << c.end - midnight;
        EXPECT_EQ(start, c.expected - 3600);
    }
    // MQ alignment: the first record's end is the base and keeps its own interval.
    evQueryInit(&query, &evContext, 9023);
    query.interval = 1800;
    query.align = STATS_ALIGN_MQ;
    int64_t start = kNow + 1000 - 600;
    int64_t end = kNow + 1000;
    ASSERT_EQ(evQueryCheckInterval(&query, &start, &end), 1);
    EXPECT_EQ(end, kNow + 1000);
    start = kNow + 1600, end = kNow + 2200;
    ASSERT_EQ(evQueryCheckInterval(&query, &start, &end), 1);
    EXPECT_EQ(end, kNow + 2800);
    // A zone other than the local one: its midnight.
    evQueryInit(&query, &evContext, 9023);
    query.selection.zoneMinutes = -300;
    start = kNow, end = kNow + 600;
    ASSERT_EQ(evQueryCheckInterval(&query, &start, &end), 1);
    EXPECT_EQ(query.clockBase, (1440 + 300) * 60);
}

TEST_F(QueryTest, AnIntervalIsCheckedAgainstTheStoredOne) {
    struct Case {
        int64_t interval;
        int32_t align;
        const char *text;
    };
    const Case cases[] = {
        {300, STATS_ALIGN_CLOCK, "Interval can not be shorter than the stored interval on the stream of "},
        {900, STATS_ALIGN_MQ, "Interval should be a multiple of the stored interval on the stream of "},
        {900, STATS_ALIGN_CLOCK, nullptr},
        {1200, STATS_ALIGN_MQ, nullptr},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.interval);
        CmdRequest *request = cmdRequest(&evContext);
        MQMD md = MQMD_DEFAULT;
        request->md = &md;
        request->kind = CMD_KIND_PCF;
        evQueryInit(&query, &evContext, 9023);
        query.interval = c.interval;
        query.align = c.align;
        int64_t start = kNow;
        int64_t end = kNow + 600;
        EXPECT_EQ(evQueryCheckInterval(&query, &start, &end), c.text == nullptr ? 1 : 0);
        if (c.text != nullptr) {
            EXPECT_EQ(request->lastReason, HLVRCCF_COMMAND_OK_WITH_TEXT);
        }
        releaseRequest(request);
    }
}

TEST_F(QueryTest, UnsetAndHiddenZeroValuesAreLeftOut) {
    std::vector<uint8_t> buffer(1024);
    MQPCFInitHeader(buffer.data(), MQCFT_RESPONSE, 9023);
    PcfCursor builder;
    MQPCFInitBuilder(&builder, buffer.data(), static_cast<int32_t>(buffer.size()), 0, 0, nullptr);
    evQueryInit(&query, &evContext, 9023);
    evRespAddInt(&query, &builder, 1, static_cast<int32_t>(STATS_UNSET_32), 4);
    evRespAddInt(&query, &builder, 2, STATS_UNSET_64, 8);
    evRespAddInt(&query, &builder, 3, 0, 4);
    evRespAddInt(&query, &builder, 4, 7, 4);
    query.zeroValues = 1;
    evRespAddInt(&query, &builder, 5, 0, 8);
    const ct::Pcf pcf = ct::parse(std::vector<uint8_t>(buffer.begin(), buffer.begin() + builder.position));
    ASSERT_EQ(pcf.parms.size(), 2u);
    EXPECT_EQ(pcf.parms[0].id, 4);
    EXPECT_EQ(pcf.parms[1].id, 5);
    EXPECT_EQ(pcf.parms[1].type, MQCFT_INTEGER64);
}

}  // namespace
