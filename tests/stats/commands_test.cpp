// The commands that reach statistics, with the script interpreter installed as the program installs
// it: WHERE and PREWHERE of the statistics displays and the command server's own displays (the
// expression parser then looks every name up among the script's functions, and no display's own state
// may be taken for a script program), and DEBUG's dump of an aggregating stream.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "script/script.h"
#include "stats_testing.h"
#include "testing/console_capture.h"
#include "tests/cmdserver/cmdserver_testing.h"

namespace {

using ct::PcfBuilder;
using stt::bytes;
using stt::i32;
using stt::Items;
using stt::str;

class ScriptWhereTest : public ct::CmdTest {
protected:
    void SetUp() override {
        CmdTest::SetUp();
        for (uint32_t code = 9000; code <= 9033; code++) evRegisterCommandHandler(code, nullptr);
        evStreamDefFreeAll();
        evStringsFree(1);
        evStreamSetHooks(nullptr);
        cfgInstall();
        ASSERT_EQ(statsInstall(), 1);
        InitialiseCommandFields();
        cmdInstall();
        scriptInstall();
        evInstallCatalogue();
        ASSERT_EQ(evStringsInit(0), 1);
        ASSERT_NE(evStringsCreateStream(), nullptr);
        char text[EV_CONFIG_TEXT];
        qmgr_ = evQmgrFindOrAdd("QM1", 0, text);
        ASSERT_NE(qmgr_, nullptr);
        clock_.set(stt::kEnd + 7200);
        evClockTick();
        evTzOffset.store(0);
        evSettings.defaultMaxRecords.store(1000000);
    }
    void TearDown() override {
        expSetCatalogue(nullptr);
        evServices.findFunction = nullptr;
        evServices.lookupKeyword = nullptr;
        evAggrFreeAll(1);
        cfgFreeModel(1);
        evStringsFree(1);
        evStreamDefFreeAll();
        evStreamSetHooks(nullptr);
        CmdTest::TearDown();
    }
    void store(const char *name, uint32_t type, const std::vector<uint8_t> &record) {
        StreamDef *def = evStreamDefine(name, -1, type, 0, 0);
        def->disImplct = 1;
        Stream *s = evStreamCreate(qmgr_, def);
        ASSERT_NE(s, nullptr);
        ASSERT_NE(evStreamAdd(qmgr_, s, record.data(), static_cast<uint32_t>(record.size()),
                              evCFGetIntervalEnd(record.data()), nullptr),
                  nullptr);
    }
    // A record of the family: the key items, then each object in its group (none: flat).
    static std::vector<uint8_t> record(uint16_t command, const Items &keys, int32_t group = 0,
                                       const Items &object = {}) {
        stt::RecordBuilder b(command);
        b.add(keys);
        if (group != 0) b.group(group).add(object).end();
        return b.record();
    }
    QmgrEntry *qmgr_ = nullptr;
    zt::TestClock clock_;
    zt::ScopedTZ tz_{"UTC0"};
};

struct Display {
    const char *mqsc;   // the command with its name, to which the conditions are appended
    const char *shown;  // what its MQSC answer holds when the record passes
    int32_t code;
    int32_t nameId;  // 0: the command takes no name here
    const char *name;
};
const Display kDisplays[] = {
    {"DISPLAY STATQ(APP.A)", "STATQ(APP.A)", 9023, 2016, "APP.A"},
    {"DISPLAY STATCHL(TO.QM2)", "STATCHL(TO.QM2)", 9024, 3501, "TO.QM2"},
    {"DISPLAY STATMQI(*)", "STATMQI($STATMQI)", 9025, 39301, "*"},
    {"DISPLAY ACCTQ(APP.A)", "ACCTQ(APP.A)", 9026, 2016, "APP.A"},
    {"DISPLAY ACCTMQI(*)", "ACCTMQI(amqsput)", 9027, 0, nullptr},
};

struct Condition {
    const char *where;     // null: none
    const char *prewhere;  // null: none
    bool found;
};
const Condition kConditions[] = {
    {nullptr, "CMDLEVEL > 900", true},
    {nullptr, "CMDLEVEL > 950", false},
    {"CMDLEVEL = 940", "CMDLEVEL >= 940", true},
    {"CMDLEVEL = 930", "CMDLEVEL >= 940", false},
    {nullptr, "NOSUCH > 1", false},
};

TEST_F(ScriptWhereTest, EveryStatisticsDisplayFiltersAsMqscAndPcf) {
    const Items app = {bytes(7006, std::string(24, 'c')), str(3024, "amqsput"), i32(1024, 42), i32(31, 940)};
    store("$STATQ", STREAM_TYPE_STATQ,
          record(165, {i32(31, 940)}, 8011, {str(2016, "APP.A"), i32(31003, 5)}));
    store("$STATCHL", STREAM_TYPE_STATCHL,
          record(166, {i32(31, 940)}, 8012, {str(3501, "TO.QM2"), i32(31136, 4)}));
    store("$STATMQI", STREAM_TYPE_STATMQI, record(164, {i32(31, 940), i32(31014, 2)}));
    store("$ACCTQ", STREAM_TYPE_ACCTQ, record(168, app, 8010, {str(2016, "APP.A"), i32(31003, 6)}));
    store("$ACCTMQI", STREAM_TYPE_ACCTMQI, record(167, {str(3024, "amqsput"), i32(31, 940), i32(31003, 4)}));
    for (const Display &d : kDisplays) {
        for (const Condition &c : kConditions) {
            SCOPED_TRACE(std::string(d.mqsc) + " WHERE " + (c.where ? c.where : "-") + " PREWHERE " +
                         c.prewhere);
            std::string mqsc = d.mqsc;
            if (c.where != nullptr) mqsc += std::string(" WHERE(") + c.where + ")";
            mqsc += std::string(" PREWHERE(") + c.prewhere + ")";
            ct::fake.puts.clear();
            ASSERT_EQ(runMqsc(mqsc), 1);
            const std::string text = allText();
            EXPECT_EQ(text.find(d.shown) != std::string::npos, c.found) << text;

            PcfBuilder pcf(d.code);
            if (d.nameId != 0) pcf.string(d.nameId, d.name);
            if (c.where != nullptr) pcf.string(39300, c.where);
            pcf.string(39410, c.prewhere);
            ct::fake.puts.clear();
            ASSERT_EQ(runPcf(pcf.done()), 1);
            const std::vector<ct::Pcf> shown = responses();
            ASSERT_FALSE(shown.empty());
            EXPECT_EQ(shown[0].reason == 0, c.found) << shown[0].reason;
        }
    }
}

// The command server's own displays keep their field table and object out of the parser's way too.
TEST_F(ScriptWhereTest, TheCommandServersDisplaysFilterAsMqscAndPcf) {
    for (const char *name : {"APP.EVENTS", "IDLE.EVENTS"}) {
        EventQueueDef probe{};
        std::snprintf(probe.name, sizeof probe.name, "%s", name);
        int32_t reason = 0;
        char text[EV_CONFIG_TEXT];
        EventQueueDef *queue = evEventQueueFindOrAdd(&probe, &reason, text);
        ASSERT_NE(queue, nullptr);
        queue->counters[EV_EQC_MSGS].current = name[0] == 'A' ? 3 : 0;
    }
    ct::fake.puts.clear();
    ASSERT_EQ(runMqsc("DISPLAY EVQ(*) WHERE(MSGS > 0)"), 1);
    EXPECT_NE(allText().find("EVQ(APP.EVENTS)"), std::string::npos) << allText();
    EXPECT_EQ(allText().find("IDLE.EVENTS"), std::string::npos) << allText();
    ct::fake.puts.clear();
    ASSERT_EQ(runPcf(PcfBuilder(9003).string(39300, "MSGS = 0").done()), 1);
    const std::vector<ct::Pcf> shown = responses();
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].get(39333).text, "IDLE.EVENTS");
    ct::fake.puts.clear();
    ASSERT_EQ(runMqsc("DISPLAY EVENTS WHERE(EVTYPE = 'X')"), 1);
    EXPECT_EQ(allText().find("Unknown"), std::string::npos) << allText();
}

TEST_F(ScriptWhereTest, DebugStreamDumpsEveryAggregationIntervalAndRestartKeepsItsValue) {
    StreamDef *def = evStreamDefine("AGG.Q", -1, STREAM_TYPE_STATQ, 0, 0);
    def->aggrInt = 3600;
    Stream *s = evStreamCreate(qmgr_, def);
    ASSERT_NE(s, nullptr);
    for (int64_t end : {stt::kEnd + 1800, stt::kEnd + 5400}) {
        const std::vector<uint8_t> r = record(165, {i32(31, 940)}, 8011, {str(2016, "APP.A"), i32(31003, 5)});
        std::vector<uint8_t> copy = r;
        evCFSetIntervalStart(copy.data(), end - 60);
        evCFSetIntervalEnd(copy.data(), end);
        ASSERT_EQ(evAggrAddRecord(&evContext, qmgr_, s, 0, copy.data(), static_cast<uint32_t>(copy.size())),
                  1);
    }
    evSettings.startTime.store(1);
    zt::ConsoleCapture console(false);
    ct::fake.puts.clear();
    ASSERT_EQ(runMqsc("DEBUG STREAM(AGG.Q) RESTART(7)"), 1);
    EXPECT_EQ(allText(), "Debug command processed|");
    const std::string log = console.out() + console.err();
    EXPECT_NE(log.find(" Aggregation Intervals: Total(2) Last(2)"), std::string::npos) << log;
    EXPECT_NE(log.find("     2 InUse:Y Thu Jan  1 02:00:00 2026    0.04 days - Thu Jan  1 03:00:00 2026"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("     1 InUse:Y Thu Jan  1 01:00:00 2026"), std::string::npos) << log;
    EXPECT_NE(log.find("  Header Inuse:Y"), std::string::npos) << log;
    EXPECT_EQ(evContext.restartValue.exchange(0), 7);
    EXPECT_EQ(evContext.restartRequested.exchange(0), 1);
    EXPECT_GE(evContext.restartCount.load(), 1u);
}

}  // namespace
