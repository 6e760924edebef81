// DISPLAY EVENTS over streams filled in memory: its parameters and refusals, the time window, the
// answers by display type with the configuration-change groups, WHERE on the event's fields; and the
// DEBUG command's items with their log lines.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cmdserver/internal.h"
#include "cmdserver_testing.h"

namespace {

using ct::fake;
using ct::PcfBuilder;

constexpr int64_t kNow = 1767225600;  // 2026-01-01 00:00:00 UTC

struct Rec {
    int64_t time;
    uint16_t command = 45;    // MQCMD_PERFM_EVENT
    uint32_t reason = 2224;   // queue depth high
    uint16_t objectType = 1;  // queue
    std::string object = "APP.Q";
    std::vector<std::pair<uint16_t, int32_t>> ints = {};
    std::vector<std::pair<uint16_t, std::string>> strings = {};
    uint16_t flags = EVCF_FLAG_EVENT;
};

uint32_t intern(const std::string &text) {
    return evStringIntern(1, 850, text.data(), static_cast<uint32_t>(text.size()), 0, nullptr);
}

void putInt(std::vector<uint8_t> &b, uint16_t id, int32_t value) {
    uint8_t item[7] = {EVCF_LEAD_INT, static_cast<uint8_t>(id), static_cast<uint8_t>(id >> 8)};
    mqiPutI32(item, 3, value);
    b.insert(b.end(), item, item + 7);
}
void putString(std::vector<uint8_t> &b, uint16_t id, const std::string &text) {
    uint8_t item[7] = {EVCF_LEAD_STRING, static_cast<uint8_t>(id), static_cast<uint8_t>(id >> 8)};
    mqiPutU32(item, 3, intern(text));
    b.insert(b.end(), item, item + 7);
}

std::vector<uint8_t> build(const Rec &r) {
    std::vector<uint8_t> b(EVCF_HEADER_LENGTH, 0);
    evCFSetFlags(b.data(), r.flags);
    evCFSetCommand(b.data(), r.command);
    evCFSetEventTime(b.data(), r.time);
    evCFSetObjectName(b.data(), intern(r.object));
    evCFSetUserId(b.data(), intern("alice"));
    evCFSetReason(b.data(), r.reason);
    evCFSetObjectType(b.data(), r.objectType);
    for (auto &[id, text] : r.strings) putString(b, id, text);
    for (auto [id, value] : r.ints) putInt(b, id, value);
    evCFSetItemCount(b.data(), static_cast<uint16_t>(r.ints.size() + r.strings.size()));
    return b;
}

class EventsTest : public ct::CmdTest {
protected:
    void SetUp() override {
        CmdTest::SetUp();
        for (uint32_t code = 9000; code <= 9033; code++) evRegisterCommandHandler(code, nullptr);
        InitialiseCommandFields();
        cmdInstall();
        clock_.set(kNow);
        evClockTick();
        evTzOffset.store(0);
        ASSERT_NE(evStringsCreateStream(), nullptr);
        ASSERT_EQ(evStringsInit(0), 1);
        evSettings.defaultMaxRecords.store(100000);
        evSettings.displayCommands.store(2);
    }
    void TearDown() override {
        cfgFreeModel(1);
        evStreamDefFreeAll();
        evStringsFree(1);
        evStreamSetHooks(nullptr);
        evSettings.displayCommands.store(2);
        CmdTest::TearDown();
    }
    Stream *addStream(const char *qmgrName, const char *name, uint32_t implicit = 1) {
        StreamDef *def = evStreamDefine(name, -1, STREAM_TYPE_EVENTS, 0, 0);
        def->disImplct = implicit;
        char text[EV_CONFIG_TEXT];
        QmgrEntry *qmgr = evQmgrFindOrAdd(qmgrName, 0, text);
        Stream *stream = evStreamCreate(qmgr, def);
        stream->next = qmgr->streams;
        qmgr->streams = stream;
        return stream;
    }
    // Appends a record with the next event id, as the intake does.
    void add(Stream *stream, std::vector<uint8_t> record) {
        const uint32_t id = mqiGetU32(evStreamMessage(stream), SH_LAST_EVENT_ID) + 1;
        evCFSetEventId(record.data(), id);
        ASSERT_NE(evStreamAdd(nullptr, stream, record.data(), static_cast<uint32_t>(record.size()),
                              evCFGetEventTime(record.data()), nullptr),
                  nullptr);
        mqiPutU32(evStreamMessage(stream), SH_LAST_EVENT_ID, id);
        uint8_t *current = evStreamCurrentBlob(stream);
        mqiPutU32(current, BH_HIGH_EVENT_ID, id);
        if (mqiGetU32(current, BH_LOW_EVENT_ID) == 0) mqiPutU32(current, BH_LOW_EVENT_ID, id);
    }
    ct::Pcf only(const std::vector<uint8_t> &command) {
        EXPECT_EQ(runPcf(command), 1);
        std::vector<ct::Pcf> all = responses();
        EXPECT_EQ(all.size(), 1u);
        return all.empty() ? ct::Pcf{} : all[0];
    }
    zt::TestClock clock_;
    zt::ScopedTZ tz_{"UTC0"};
};

PcfBuilder events(const char *stream = "*") {
    PcfBuilder b(9004);
    if (stream != nullptr) b.string(39301, stream);
    return b;
}

TEST_F(EventsTest, ParametersAreRefusedWithTheirReasonsAndTexts) {
    addStream("QM1", "EV1");
    const std::string longName(49, 'Q');
    expectRefusals({
        {"EVENTID without a stream", PcfBuilder(9004).integer(39330, 5).done(), 3228, 39301,
         "If 'EVENTID' is specified you must give the stream name."},
        {"EVENTID without EVQMGR", events("EV1").integer(39330, 5).done(), 3228, 39340,
         "If 'EVENTID' is specified you must give the Queue Manager name."},
        {"EVENTID with a wildcard stream", events("EV*").integer(39330, 5).string(39340, "QM1").done(), 3229,
         39301, "If 'EVENTID' is specified the stream name can not contain wildcards."},
        {"EVENTID with QM*", events("EV1").integer(39330, 5).string(39340, "QM*").done(), 3229, 39340,
         "If 'EVENTID' is specified the Queue Manager name can not contain wildcards."},
        {"EVENTID with FROM",
         events("EV1").integer(39330, 5).string(39340, "QM1").string(39318, "now").done(), 3229, 39318,
         "If 'EVENTID' is specified it is not necessary to also specify 'FROM' time value."},
        {"EVENTID with TO", events("EV1").integer(39330, 5).string(39340, "QM1").string(39319, "now").done(),
         3229, 39319, "If 'EVENTID' is specified it is not necessary to also specify 'TO' time value."},
        {"both relative", events().string(39318, "-1hour").string(39319, "-2hour").done(), 3097, 39319,
         "The 'FROM' and 'TO' times can not both be relative times"},
        {"a bad relative FROM", events().string(39318, "-1 fortnight").done(), 3097, 39318, nullptr},
        {"a long EVQMGR", events().string(39340, longName).done(), 3011, 39340, nullptr},
        {"EVREASON by an unknown name", events().string(39326, "FOO").done(), 3229, 39326,
         "Parameter 'EVREASON' is not a recognised value."},
        {"EVTYPE naming a subtype", events().integer(39361, 2003).done(), 3229, 39361,
         "Parameter 'EVTYPE' is not a recognised value."},
        {"INTVLSTA alone", events().integer64(39398, kNow).done(), 3228, 39399, nullptr},
        {"WHERE on a command option", events().string(39300, "MAXRESP > 1").done(), 3229, 39300,
         "Unknown variable 'MAXRESP'."},
    });
}

TEST_F(EventsTest, NoImplicitStreamIsTheNoImplicitStreamsReply) {
    addStream("QM1", "EV1", 0);
    ct::Pcf reply = only(events().done());
    EXPECT_EQ(reply.reason, 2085);
    EXPECT_EQ(reply.get(CMD_PARM_TEXT).text, "No implicit display event streams found.");
}

TEST_F(EventsTest, TheDefaultWindowIsTheLastDayAndResultsGoNewestFirst) {
    Stream *stream = addStream("QM1", "EV1");
    add(stream, build(Rec{kNow - 25 * 3600}));
    for (int i = 10; i >= 1; i--) add(stream, build(Rec{kNow - i * 3600}));
    EXPECT_EQ(runPcf(events().done()), 1);
    std::vector<ct::Pcf> shown = responses();
    ASSERT_EQ(shown.size(), 10u);
    EXPECT_EQ(shown[0].get(39322).value64, kNow - 3600);
    EXPECT_EQ(shown[9].get(39322).value64, kNow - 10 * 3600);
    // MAXRESP keeps the newest.
    EXPECT_EQ(runPcf(events().integer(39302, 2).done()), 1);
    shown = responses();
    ASSERT_EQ(shown.size(), 2u);
    EXPECT_EQ(shown[1].get(39322).value64, kNow - 2 * 3600);
    // 23 hours kept, 25 dropped; FROM(any) takes both.
    add(stream, build(Rec{kNow - 23 * 3600}));
    EXPECT_EQ(runPcf(events().string(39300, "evtime < _time - 22 * 3600").done()), 1);
    EXPECT_EQ(responses().size(), 1u);
    EXPECT_EQ(runPcf(events().string(39318, "any").string(39300, "evtime < _time - 22 * 3600").done()), 1);
    EXPECT_EQ(responses().size(), 2u);
    // By event id, the one event.
    ct::Pcf one = only(events("EV1").integer(39330, 3).string(39340, "QM1").done());
    EXPECT_EQ(one.get(39322).value64, kNow - 9 * 3600);
    // Nothing in the window.
    one = only(events().string(39318, "2025-01-01 00:00").string(39319, "2025-01-02 00:00").done());
    EXPECT_EQ(one.reason, 2085);
    EXPECT_EQ(one.get(CMD_PARM_TEXT).text, "No matching events found.");
}

TEST_F(EventsTest, FromAndToSettleTheWindow) {
    struct Case {
        const char *from;
        const char *to;
        int64_t start;
        int64_t end;
    };
    const Case cases[] = {
        {"", "", kNow + 1 - 86400, kNow + 1},
        {"any", "", 0, kNow + 31536000},
        {"2025-12-30 10:00", "12:00", kNow - 2 * 86400 + 36000, kNow - 2 * 86400 + 43200},
        {"-2hours", "", kNow + 1 - 7200, kNow + 1},
        {"2025-12-31 00:00", "+3h", kNow - 86400, kNow - 86400 + 10800},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.from) + " / " + c.to);
        EvSelection s;
        evSelectionInit(&s, 9004);
        std::snprintf(s.fromText, sizeof s.fromText, "%s", c.from);
        std::snprintf(s.toText, sizeof s.toText, "%s", c.to);
        ASSERT_EQ(evParseFromTo(&evContext, &s), 1);
        EXPECT_EQ(s.from, c.start);
        EXPECT_EQ(s.to, c.end);
        EXPECT_EQ(s.exactWindow, 0);
        EXPECT_EQ(s.zoneIsLocal, 1);
    }
    // INTVLSTA and INTVLEND are the window exactly; TZ is the zone, not local.
    EvSelection s;
    evSelectionInit(&s, 9023);
    s.intervalStart = 100, s.intervalEnd = 200, s.intervalStartGiven = s.intervalEndGiven = 1;
    s.tz = -300, s.tzGiven = 1;
    ASSERT_EQ(evParseFromTo(&evContext, &s), 1);
    EXPECT_EQ(s.from, 100);
    EXPECT_EQ(s.to, 200);
    EXPECT_EQ(s.exactWindow, 1);
    EXPECT_EQ(s.zoneMinutes, -300);
    EXPECT_EQ(s.zoneIsLocal, 0);
    // A TZ moves absolute times: 10:00 at UTC-5 is 15:00 UTC.
    evSelectionInit(&s, 9004);
    s.tz = -300, s.tzGiven = 1;
    std::snprintf(s.fromText, sizeof s.fromText, "2025-12-31 10:00");
    std::snprintf(s.toText, sizeof s.toText, "2025-12-31 11:00");
    ASSERT_EQ(evParseFromTo(&evContext, &s), 1);
    EXPECT_EQ(s.from, kNow - 86400 + 15 * 3600);
}

TEST_F(EventsTest, EachDisplayTypeShowsExactlyItsLists) {
    Stream *stream = addStream("QM1", "EV1");
    add(stream, build(Rec{kNow - 60, 45, 2224, 1, "APP.Q", {{3, 5000}}, {{2016, "APP.Q"}}}));
    struct Case {
        int32_t disType;
        std::vector<int32_t> ids;
    };
    const Case cases[] = {
        {2, {39340, 39322, 39314}},
        {1, {39340, 39301, 39322, 39326, 39307, 39316, 39317, 39330, 39314}},
        {3, {39340, 39301, 39322, 39326, 39307, 39316, 39317, 39330, 39314}},
        {4, {39340, 39326}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.disType);
        EXPECT_EQ(ids(only(events().integer(39315, c.disType).done())), c.ids);
    }
    ASSERT_EQ(runMqsc("DIS EVENTS(*) ALL"), 1);
    const std::string text = allText();
    for (const char *part : {"EVTYPE(PERFM)", "EVREASON(PERQDPHI)", "EVOBJNAME(APP.Q)", "CFHCMD(",
                             "CFHREASON(", "EVENTID(00000001)", "CURDEPTH(5000)", "QUEUE(APP.Q)", "SUMMARY("})
        EXPECT_NE(text.find(part), std::string::npos) << part << " in " << text;
}

TEST_F(EventsTest, FiltersByReasonTypeAndCommandEvents) {
    Stream *stream = addStream("QM1", "EV1");
    add(stream, build(Rec{kNow - 60, 46, 2295, 6, "TO.QM2"}));  // channel activated
    add(stream, build(Rec{kNow - 50}));
    Rec inquire{kNow - 40, 99, 2413, 1, "APP.Q"};
    inquire.flags |= EVCF_FLAG_INQUIRE;
    add(stream, build(inquire));
    EXPECT_EQ(runPcf(events().integer(39326, 2003).done()), 1);
    EXPECT_EQ(responses().size(), 1u);
    EXPECT_EQ(runPcf(events().string(39326, "CHLACT").done()), 1);
    EXPECT_EQ(responses().size(), 1u);
    ASSERT_EQ(runMqsc("DIS EVENTS(*) EVREASON(CHLACT)"), 1);
    const std::string text = allText();
    EXPECT_EQ(text.find("QM1"), text.rfind("QM1")) << text;
    fake.puts.clear();
    EXPECT_EQ(runPcf(events().integer(39361, 2000).done()), 1);
    EXPECT_EQ(responses().size(), 1u);
    EXPECT_EQ(runPcf(events().done()), 1);
    EXPECT_EQ(responses().size(), 2u);
    ASSERT_EQ(runMqsc("DIS EVENTS(*) DISPCMDS(SHOW)"), 1);
    size_t shown = 0;
    const std::string all = allText();
    for (size_t at = all.find("EVQMGR(QM1)"); at != std::string::npos; at = all.find("EVQMGR(QM1)", at + 1))
        shown++;
    EXPECT_EQ(shown, 3u) << all;
    fake.puts.clear();
    evSettings.displayCommands.store(3);
    EXPECT_EQ(runPcf(events().done()), 1);
    EXPECT_EQ(responses().size(), 3u);
}

TEST_F(EventsTest, AConfigurationChangeShowsWhatChangedBeforeAndAfter) {
    Stream *stream = addStream("QM1", "EV1");
    auto half = [](int32_t maxDepth, const char *altered) {
        Rec r{kNow - 60, 43, 2368, 1, "APP.Q"};
        r.strings = {{2016, "APP.Q"}, {2027, altered}, {2013, "a queue"}};
        r.ints = {{15, maxDepth}, {13, 1}};
        return build(r);
    };
    std::vector<uint8_t> before = half(5000, "2025-12-30");
    std::vector<uint8_t> after = half(9000, "2025-12-31");
    Area *combined = evCombineChange(before.data(), static_cast<uint32_t>(before.size()), after.data(),
                                     static_cast<uint32_t>(after.size()));
    ASSERT_NE(combined, nullptr);
    add(stream, std::vector<uint8_t>(AreaData(combined), AreaData(combined) + combined->used));
    AreaRelease(&combined);
    ct::Pcf reply = only(events().integer(39315, 4).done());
    std::vector<std::pair<int32_t, int32_t>> items;
    for (const ct::Parm &p : reply.parms) items.emplace_back(p.type, p.id);
    const std::vector<std::pair<int32_t, int32_t>> expected = {
        {MQCFT_STRING, 39340}, {MQCFT_INTEGER, 39326},      {MQCFT_GROUP, 39200},
        {MQCFT_INTEGER, 15},   {PCF_TYPE_GROUP_END, 39200}, {MQCFT_GROUP, 39201},
        {MQCFT_INTEGER, 15},   {PCF_TYPE_GROUP_END, 39201}};
    EXPECT_EQ(items, expected);
    EXPECT_EQ(reply.parms[3].value, 5000);
    EXPECT_EQ(reply.parms[6].value, 9000);
    // WHERE reads either group.
    EXPECT_EQ(runPcf(events().string(39300, "after.MAXDEPTH > 5000 & before.MAXDEPTH = 5000").done()), 1);
    EXPECT_EQ(responses()[0].reason, 0);
    EXPECT_EQ(runPcf(events().string(39300, "after.MAXDEPTH > 9000").done()), 1);
    EXPECT_EQ(responses()[0].reason, 2085);
    EXPECT_EQ(runPcf(events().string(39300, "evtime > 0").done()), 1);
    EXPECT_EQ(responses()[0].reason, 0);
}

// A keyword several event fields share (DESCR: a channel's 3502, a queue's 2013) reads the one the
// record holds.
TEST_F(EventsTest, WhereReadsTheSharedKeywordsFieldTheRecordHolds) {
    Stream *stream = addStream("QM1", "EV1");
    auto half = [](const char *descr) {
        Rec r{kNow - 60, 43, 2368, 1, "APP.Q"};
        r.strings = {{2016, "APP.Q"}, {2013, descr}};
        r.ints = {{15, 5000}};
        return build(r);
    };
    const std::vector<uint8_t> before = half("d2");
    const std::vector<uint8_t> after = half("d3");
    Area *combined = evCombineChange(before.data(), static_cast<uint32_t>(before.size()), after.data(),
                                     static_cast<uint32_t>(after.size()));
    ASSERT_NE(combined, nullptr);
    add(stream, std::vector<uint8_t>(AreaData(combined), AreaData(combined) + combined->used));
    AreaRelease(&combined);
    const std::pair<const char *, int32_t> cases[] = {{"after.DESCR = 'd3'", 0},
                                                      {"before.DESCR = 'd2'", 0},
                                                      {"after.DESCR = 'd2'", MQRC_UNKNOWN_OBJECT_NAME}};
    for (const auto &[where, reason] : cases) {
        EXPECT_EQ(runPcf(events().string(39300, where).done()), 1);
        EXPECT_EQ(responses()[0].reason, reason) << where;
    }
}

// ---- DEBUG ----

class DebugTest : public EventsTest {
protected:
    std::string log(const std::string &command) {
        zt::ConsoleCapture console(false);
        fake.puts.clear();
        EXPECT_EQ(runMqsc(command), 1);
        return console.out() + console.err();
    }
};

TEST_F(DebugTest, EachKeywordActsAndSaysSo) {
    struct Case {
        const char *command;
        const char *line;
    };
    const Case cases[] = {
        {"DEBUG SHUTDOWN", "Debug SHUTDOWN issued."},
        {"DEBUG RESTART", "Debug RESTART issued."},
        {"DEBUG BACKOUT(3)", "Debug Force Backout active."},
        {"DEBUG AGGRGP(20)", "Debug Aggregation Grace Period set to 20 secs."},
        {"DEBUG EVREPEAT(2)", "Debug event repeat set to 2."},
        {"DEBUG DATAQHI(YES)", "Data Queue High Emulation On."},
        {"DEBUG DATAQCHK(30)", "Data Queue Check Frequency Set."},
        {"DEBUG RETUNIT(M)", "Debug RetentionInterval units set to Minutes."},
        {"DEBUG RETUNIT(X)", "Debug Unrecognised RetentionInterval Unit. Expected M or D"},
        {"DEBUG STREAM", "Debug command stream name missing."},
        {"DEBUG STREAM(NONE*)", "No matching streams found"},
        {"DEBUG LOGRET(3600)", "LogFileRetention set."},
        {"DEBUG TESTSIZE(5) TESTSTREAM(2)", ""},
    };
    LogSettings saved{};
    logGetSettings(&saved);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.command);
        EXPECT_NE(log(c.command).find(c.line), std::string::npos);
        EXPECT_EQ(allText(), "Debug command processed|");
    }
    EXPECT_EQ(evStopPending.load(), 1);
    EXPECT_EQ(evContext.restartRequested.exchange(0), 1);
    EXPECT_EQ(evDebug.forcedBackouts.exchange(0), 3);
    EXPECT_EQ(evAbsorb.grace.exchange(15), 20);
    EXPECT_EQ(evDebug.eventRepeat.exchange(0), 2);
    EXPECT_EQ(evDataQueue.depthForcedHigh.exchange(0), 1);
    EXPECT_EQ(evDebug.dataQueueCheck.exchange(0), 30);
    EXPECT_EQ(cmdRetentionInMinutes.exchange(0), 1);
    LogSettings settings{};
    logGetSettings(&settings);
    EXPECT_EQ(settings.logRetention, 3600);
    settings.logRetention = saved.logRetention;
    logSetSettings(&settings);
    // The stream dump, by pattern.
    Stream *stream = addStream("QM1", "EV1");
    add(stream, build(Rec{kNow - 60}));
    const std::string dump = log("DEBUG STREAM(EV*)");
    EXPECT_NE(dump.find("Debug Streams('EV*')"), std::string::npos) << dump;
    EXPECT_NE(dump.find("Debug Stream 'EV1'"), std::string::npos);
    EXPECT_NE(dump.find("1 matching streams found"), std::string::npos);
}

TEST_F(DebugTest, AnythingElseIsTheSyntaxErrorWithTheVerbList) {
    const std::string verbs = std::string(cmdVerbHelp);
    EXPECT_EQ(verbs.size(), 161u);
    for (const char *command : {"DEBUG FOO", "DEBUG DATAQHI(MAYBE)", "DEBUG BACKOUT(3", "DEBUG shutdown"}) {
        SCOPED_TRACE(command);
        log(command);
        const std::vector<std::string> replies = texts();
        ASSERT_EQ(replies.size(), 2u);
        EXPECT_EQ(replies[0].rfind("AMQ8405: Syntax error", 0), 0u);
        EXPECT_EQ(replies[1], verbs);
    }
    EXPECT_EQ(evStopPending.load(), 0);
    // No authority: as an unknown verb.
    fake.authorityReason = MQRC_NOT_AUTHORIZED;
    log("DEBUG SHUTDOWN");
    EXPECT_EQ(texts().back(), verbs);
    EXPECT_EQ(evStopPending.load(), 0);
    fake.authorityReason = 0;
    // Put before the start: ignored.
    evSettings.startTime.store(kNow + 86400 * 365);
    EXPECT_NE(log("DEBUG SHUTDOWN").find("Debug command ignored since it was issued before ZUNT started."),
              std::string::npos);
    EXPECT_EQ(texts().back(), verbs);
    EXPECT_EQ(evStopPending.load(), 0);
}

TEST_F(DebugTest, CrashWritesATrapRecordAndTheProcessGoesOn) {
    zt::TempDir dir;
    zt::ScopedEnv tmp("TMPDIR", dir.path().c_str());
    EXPECT_NE(log("DEBUG CRASH(7)").find("Debug CRASH issued."), std::string::npos);
    EXPECT_EQ(allText(), "Debug command processed|");
#ifndef _WIN32  // Windows' trap file has one fixed path, outside the test's folder
    EXPECT_FALSE(dir.list().empty());
#endif
}

}  // namespace
