// The DISPLAY family on collections held in memory: selection by name, filters and WHERE, the
// attributes and their order, and the answers when nothing is shown.
#include <gtest/gtest.h>

#include <string>

#include "cmdserver/internal.h"
#include "cmdserver_testing.h"

namespace {

using ct::fake;
using ct::PcfBuilder;

class DisplayTest : public ct::CmdTest {
protected:
    void SetUp() override {
        CmdTest::SetUp();
        for (uint32_t code = 9000; code <= 9033; code++) evRegisterCommandHandler(code, nullptr);
        InitialiseCommandFields();
        addQueue("SYSTEM.ADMIN.QMGR.EVENT", 0);
        addQueue("APP.EVENTS", 3);
        addQueue(EV_COMMAND_QUEUE_NAME, 9);
        evConfigChanged.store(0);
    }
    void TearDown() override {
        cfgFreeModel(1);
        evStreamDefFreeAll();
        ct::freeEmitters();
        cmdRetentionInMinutes.store(0);
        evConfigChanged.store(0);
        CmdTest::TearDown();
    }
    EventQueueDef *addQueue(const char *name, uint32_t messages) {
        EventQueueDef probe{};
        std::snprintf(probe.name, sizeof probe.name, "%s", name);
        int32_t reason = 0;
        char text[EV_CONFIG_TEXT];
        EventQueueDef *queue = evEventQueueFindOrAdd(&probe, &reason, text);
        queue->counters[EV_EQC_MSGS].current = messages;
        queue->status = messages ? EV_EVQ_ACTIVE : EV_EVQ_SUSPENDED;
        if (messages) queue->lastMessageTime = 1767225600;
        return queue;
    }
};

TEST_F(DisplayTest, QueuesAreShownInNameOrderWithTheirDefaultAttributes) {
    ASSERT_EQ(runPcf(PcfBuilder(9003).done()), 1);
    std::vector<ct::Pcf> shown = responses();
    ASSERT_EQ(shown.size(), 2u);
    EXPECT_EQ(shown[0].get(39333).text, "APP.EVENTS");
    EXPECT_EQ(ids(shown[0]), (std::vector<int32_t>{39333, 39341, 39311}));
    EXPECT_EQ(shown[1].get(39333).text, "SYSTEM.ADMIN.QMGR.EVENT");

    // Requested attributes keep the table's order; the name always leads.
    ASSERT_EQ(runPcf(PcfBuilder(9003).done()), 1);
    responses();
    auto withList = [](std::vector<int32_t> values) {
        return ct::withList(PcfBuilder(9003).done(), 39103, values);
    };
    ASSERT_EQ(runPcf(withList({39311})), 1);
    EXPECT_EQ(ids(responses()[0]), (std::vector<int32_t>{39333, 39311}));
    ASSERT_EQ(runPcf(withList({1009})), 1);
    shown = responses();
    EXPECT_EQ(shown[0].parms.size(), 18u);  // APP.EVENTS has had a message
    EXPECT_EQ(shown[1].parms.size(), 17u);  // no LSTMSGTI
    ASSERT_EQ(runPcf(withList({})), 1);
    EXPECT_EQ(ids(responses()[0]), (std::vector<int32_t>{39333}));
}

TEST_F(DisplayTest, NamesAreMatchedCaseSensitively) {
    ASSERT_EQ(runPcf(PcfBuilder(9003).string(39333, "SYSTEM.*").done()), 1);
    EXPECT_EQ(responses().size(), 1u);
    ASSERT_EQ(runPcf(PcfBuilder(9003).string(39333, "system.*").done()), 1);
    std::vector<ct::Pcf> none = responses();
    ASSERT_EQ(none.size(), 1u);
    EXPECT_EQ(none[0].reason, MQRC_UNKNOWN_OBJECT_NAME);
    ASSERT_EQ(runMqsc("DISPLAY EVQ('NO.SUCH.Q')"), 1);
    EXPECT_EQ(allText(), "AMQ8147: No matching objects found|");
    fake.puts.clear();
    ASSERT_EQ(runPcf(PcfBuilder(9003).string(39333, "A-B").done()), 1);
    EXPECT_EQ(responses()[0].get(CMD_PARM_TEXT).text,
              "Parameter 'EVQ' contains characters which are not valid in an MQ name.");
}

TEST_F(DisplayTest, WhereSelectsByTheCommandsKeywords) {
    auto where = [this](const std::string &text) {
        EXPECT_EQ(runPcf(PcfBuilder(9003).string(39300, text).done()), 1);
        return responses();
    };
    std::vector<ct::Pcf> shown = where("MSGS > 0");
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].get(39333).text, "APP.EVENTS");
    EXPECT_EQ(where("0.5")[0].reason, MQRC_UNKNOWN_OBJECT_NAME);
    EXPECT_EQ(where("MSGS * 1.5").size(), 1u);
    shown = where("_date = 1");
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].reason, MQRCCF_PARM_VALUE_ERROR);
    EXPECT_EQ(shown[0].get(MQIACF_PARAMETER_ID).value, 39300);
    EXPECT_EQ(shown[0].get(CMD_PARM_TEXT).text,
              "System variable '_date' is not applicable to a WHERE clause.");
    EXPECT_EQ(where("_qmgr = 1")[0].get(CMD_PARM_TEXT).text,
              "System variable '_qmgr' is not applicable to a WHERE clause.");
    EXPECT_EQ(where("MSGZ > 1")[0].get(CMD_PARM_TEXT).text, "Unknown variable 'MSGZ'.");
    EXPECT_EQ(where("_time > 0").size(), 2u);

    // Value names through the console's slot.
    cmdResolveValueName = [](const evValueName *table, const char *name, size_t length, int32_t *value) {
        const evValueName *row = evValueNameByText(table, name, length);
        if (row != nullptr) *value = row->value;
        return row != nullptr ? 1 : 0;
    };
    shown = where("STATUS = ACTIVE");
    cmdResolveValueName = nullptr;
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].get(39333).text, "APP.EVENTS");
}

TEST_F(DisplayTest, StreamsShowRetentionInTheirUnit) {
    StreamDef *def = evStreamDefine("MYSTREAM", -1, 1, 0, 0);
    ASSERT_NE(def, nullptr);
    def->retIntvl = 30 * 86400;
    ASSERT_NE(evStreamDefine("STATS", -1, 2, 0, 0), nullptr);
    ASSERT_EQ(runPcf(PcfBuilder(9001).string(39301, "MYSTREAM").done()), 1);
    EXPECT_EQ(responses()[0].get(39379).value, 30);
    cmdRetentionInMinutes.store(1);
    ASSERT_EQ(runPcf(PcfBuilder(9001).string(39301, "MYSTREAM").done()), 1);
    EXPECT_EQ(responses()[0].get(39379).value, 43200);
    cmdRetentionInMinutes.store(0);
    ASSERT_EQ(runPcf(PcfBuilder(9001).string(39300, "RETINTVL = 30").done()), 1);
    EXPECT_EQ(responses().size(), 1u);
    ASSERT_EQ(runPcf(PcfBuilder(9001).integer(39355, 2).done()), 1);
    std::vector<ct::Pcf> typed = responses();
    ASSERT_EQ(typed.size(), 1u);
    EXPECT_EQ(typed[0].get(39301).text, "STATS");

    ASSERT_EQ(runPcf(PcfBuilder(9001).integer(39355, 7).done()), 1);
    EXPECT_EQ(responses()[0].get(CMD_PARM_TEXT).text, "Parameter 'TYPE' is not a recognised value.");
    ASSERT_EQ(runPcf(PcfBuilder(9001).string(39301, "$EVENTS").done()), 1);
    EXPECT_EQ(responses()[0].reason, MQRC_UNKNOWN_OBJECT_NAME);  // accepted, not defined here
    ASSERT_EQ(runPcf(PcfBuilder(9001).string(39301, "$FOO").done()), 1);
    EXPECT_EQ(responses()[0].get(CMD_PARM_TEXT).text,
              "Parameter 'EVSTREAM' contains an invalid system stream name.");
}

TEST_F(DisplayTest, EmittersShowTheirSizeInKilobytes) {
    EmitterDef *emitter = evCreateEmitterDef("E1", -1);
    ASSERT_NE(emitter, nullptr);
    emitter->maxSize = 1000;
    ASSERT_EQ(runMqsc("DISPLAY EVEMIT(E1) MAXSIZE"), 1);
    EXPECT_EQ(allText(), "AMQ8409: Display ZUNT Emitter details.\nEVEMIT(E1) MAXSIZE(1) |");
}

TEST_F(DisplayTest, QueueManagersAreShownByName) {
    char text[EV_CONFIG_TEXT];
    ASSERT_NE(evQmgrFindOrAdd("QM2", 0, text), nullptr);
    QmgrEntry *qm1 = evQmgrFindOrAdd("QM1", 0, text);
    qm1->counters[EV_QMC_EVENTS].current = 5;
    ASSERT_EQ(runPcf(PcfBuilder(9002).done()), 1);
    std::vector<ct::Pcf> shown = responses();
    ASSERT_EQ(shown.size(), 2u);
    EXPECT_EQ(shown[0].get(39340).text, "QM1");
    EXPECT_EQ(shown[0].get(39308).value, 5);
    ASSERT_EQ(runPcf(PcfBuilder(9002).string(39300, "EVENTCT = 0").done()), 1);
    EXPECT_EQ(responses()[0].get(39340).text, "QM2");
}

// A supplied list has exactly Count entries: nothing past it is read (each message is its own heap
// block, so ASan sees a read past the end).
TEST_F(DisplayTest, AttributeListsAreReadToTheirCountOnly) {
    for (int32_t count : {0, -1}) {
        std::vector<uint8_t> bytes(MQCFH_STRUC_LENGTH + 16);
        MQPCFInitHeader(bytes.data(), MQCFT_COMMAND, 9003);
        mqiPutI32(bytes.data(), offsetof(MQCFH, ParameterCount), 1);
        uint8_t *list = bytes.data() + MQCFH_STRUC_LENGTH;
        mqiPutI32(list, 0, MQCFT_INTEGER_LIST);
        mqiPutI32(list, 4, 16);
        mqiPutI32(list, 8, 39103);
        mqiPutI32(list, 12, count);
        ASSERT_EQ(runPcf(bytes), 1);
        std::vector<ct::Pcf> shown = responses();
        if (count == 0) {
            ASSERT_EQ(shown.size(), 2u);
            EXPECT_EQ(ids(shown[0]), (std::vector<int32_t>{39333}));
        } else {
            ASSERT_EQ(shown.size(), 1u);
            EXPECT_NE(shown[0].reason, 0);
        }
    }
}

TEST_F(DisplayTest, TheEventProcessorAnswersOnceWithItsSettings) {
    evSettingsDefaults(1767225600);
    evSettings.connectTime.store(1767225700);
    LogSettings log{};
    logGetSettings(&log);
    log.maxLogSize = 10240000;
    logSetSettings(&log);
    ASSERT_EQ(runPcf(ct::withList(PcfBuilder(9000).done(), 39100, {1009})), 1);
    std::vector<ct::Pcf> shown = responses();
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].parms.size(), 32u);
    EXPECT_EQ(shown[0].parms[0].id, 39305);
    EXPECT_EQ(shown[0].get(39304).value, 941);
    EXPECT_EQ(shown[0].get(39415).text.size(), 11u);
    EXPECT_EQ(shown[0].get(39363).value, 10000);
    ASSERT_EQ(runPcf(PcfBuilder(9000).string(39300, "1").done()), 1);
    EXPECT_EQ(responses()[0].reason, MQRCCF_CFST_PARM_ID_ERROR);
}

TEST_F(DisplayTest, AlertsAreFilteredBySeverityAndId) {
    auto add = [](int32_t severity, const char *category) {
        AlertTemplate t{};
        t.alert.severity = severity;
        t.alert.time = 1767225600;
        t.alert.retention = 3600;
        std::snprintf(t.alert.category, sizeof t.alert.category, "%s", category);
        evAlertSetText(&t.alert, "text", -1);
        char error[EV_CONFIG_TEXT];
        ASSERT_EQ(evAlertAdd(&t.alert, EV_ALERT_ADD, nullptr, error), 1);
    };
    ASSERT_EQ(runMqsc("DIS EVALERT(*)"), 1);
    EXPECT_EQ(allText(), "AMQ8147: No matching alerts found|");
    fake.puts.clear();
    add(10, "INFO");
    add(30, "$STORM");
    uint32_t infoId = 0;
    for (AlertDef *a = evAlertList; a != nullptr; a = a->next)
        if (a->severity == 10) infoId = a->id;
    ASSERT_EQ(runPcf(PcfBuilder(9013).done()), 1);
    std::vector<ct::Pcf> shown = responses();
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(ids(shown[0]), (std::vector<int32_t>{39373, 39374}));
    ASSERT_EQ(runPcf(PcfBuilder(9013).integer(39392, 10).done()), 1);
    EXPECT_EQ(responses().size(), 2u);
    ASSERT_EQ(runPcf(PcfBuilder(9013).integer(39373, static_cast<int32_t>(infoId)).done()), 1);
    EXPECT_EQ(responses().size(), 1u);
    ASSERT_EQ(runPcf(PcfBuilder(9013).integer(39373, static_cast<int32_t>(infoId)).integer(39392, 30).done()),
              1);
    EXPECT_EQ(responses()[0].reason, MQRC_UNKNOWN_OBJECT_NAME);
    ASSERT_EQ(runPcf(PcfBuilder(9013).integer(39373, 0).done()), 1);
    EXPECT_EQ(responses()[0].get(CMD_PARM_TEXT).text, "Parameter 'EVALERT' must be between 1 and 999999999.");
    ASSERT_EQ(runPcf(PcfBuilder(9013).string(39320, "$*").done()), 1);
    EXPECT_EQ(responses()[0].get(CMD_PARM_TEXT).text,
              "Parameter 'CATEGORY' contains characters which are not valid in an MQ name.");
    ASSERT_EQ(runMqsc("DIS EVALERT(*) ALL WHERE(EXPIRETI = ALERTTI + 3600 & CATEGORY = '$STORM')"), 1);
    EXPECT_NE(allText().find("EXPIRETI(2026-01-01 01:00:00 (UTC))"), std::string::npos) << allText();
    evAlertFreeAll();
}

TEST_F(DisplayTest, StreamStatusShowsEachQueueManagersStreams) {
    StreamDef *def = evStreamDefine("$EVENTS", -1, 1, 0, 0);
    ASSERT_NE(def, nullptr);
    char text[EV_CONFIG_TEXT];
    zt::TestClock clock;
    evClockTick();
    for (const char *name : {"QM2", "QM1"}) {
        QmgrEntry *qmgr = evQmgrFindOrAdd(name, 0, text);
        Stream *stream = evStreamCreate(qmgr, def);
        ASSERT_NE(stream, nullptr);
        stream->next = qmgr->streams;
        qmgr->streams = stream;
        stream->recordCount = 7;
        stream->bytes = name[2] == '1' ? 1025 : 2049;
        uint8_t *blob = evStreamCurrentBlob(stream);
        mqiPutU32(blob, BH_RECORDS, 1);
        mqiPutI64(blob, BH_OLDEST, clock.now() - 3 * 86400 - 43200);
    }
    ASSERT_EQ(runPcf(PcfBuilder(9019).string(39301, "*").done()), 1);
    std::vector<ct::Pcf> shown = responses();
    ASSERT_EQ(shown.size(), 2u);
    EXPECT_EQ(shown[0].get(39340).text, "QM1");
    EXPECT_EQ(ids(shown[0]), (std::vector<int32_t>{39301, 39340, 39402}));
    const std::vector<uint8_t> bytes = ct::withList(PcfBuilder(9019).done(), 39106, {1009});
    ASSERT_EQ(runPcf(bytes), 1);
    shown = responses();
    EXPECT_EQ(shown[0].get(39329).value, 2);
    EXPECT_EQ(shown[1].get(39329).value, 3);
    EXPECT_EQ(shown[0].get(39383).value, 3);
    EXPECT_FALSE(shown[0].has(39331));
    // No record: OLDEST 0. An active bin older than every blob lowers it.
    QmgrEntry *qm1 = evQmgrFindOrAdd("QM1", 0, text);
    mqiPutU32(evStreamCurrentBlob(qm1->streams), BH_RECORDS, 0);
    ASSERT_EQ(runPcf(bytes), 1);
    EXPECT_EQ(responses()[0].get(39383).value, 0);
    static int64_t binTime = 0;
    binTime = clock.now() - 10 * 86400;
    cmdOldestActiveBin = [](Stream *) { return binTime; };
    qm1->streams->aggregation = reinterpret_cast<AggrBin *>(qm1);  // only tested for null here
    ASSERT_EQ(runPcf(bytes), 1);
    EXPECT_EQ(responses()[0].get(39383).value, 10);
    qm1->streams->aggregation = nullptr;
    cmdOldestActiveBin = nullptr;

    ASSERT_EQ(runPcf(PcfBuilder(9019).string(39301, std::string(49, 'S')).done()), 1);
    EXPECT_EQ(responses()[0].reason, 3011);
    ASSERT_EQ(runPcf(PcfBuilder(9019).string(39300, "OLDEST = 3 & EVQMGR = 'QM2'").done()), 1);
    shown = responses();
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].get(39340).text, "QM2");
    evClockTick();
}

// Without its response area a display answers nothing and does not fail the message.
TEST_F(DisplayTest, NoResponseAreaMeansNoResponse) {
    AreaFreePool();
    CSMemFailHook previous = CSSetMemFailHook([](uint64_t size) { return size == CMD_AREA_SIZE + 1024; });
    const int result = runPcf(PcfBuilder(9003).done());
    CSSetMemFailHook(previous);
    EXPECT_EQ(result, 1);
    EXPECT_TRUE(fake.puts.empty());
}

TEST(EventWhere, NamesAreTheEventsKeywordsInFull) {
    InitialiseCommandFields();
    auto parse = [](const char *text, std::string *error) {
        ExpCallerBlock caller{};
        char *message = nullptr;
        ExpExpression *e = expParseExpression(text, -1, 0, EXP_PARSE_CASE, expFilterOperatorTable,
                                              evWhereEventVar, nullptr, &caller, &message);
        if (message != nullptr) {
            *error = message;
            CSFreeMem(message);
        }
        return e;
    };
    std::string error;
    EXPECT_EQ(parse("EVTI > 0", &error), nullptr);
    EXPECT_EQ(error, "Unknown variable 'EVTI'.");
    EXPECT_EQ(parse("MAXRESP > 1", &error), nullptr);
    EXPECT_EQ(error, "Unknown variable 'MAXRESP'.");
    ExpExpression *e = parse("evtime > 5 & EVOBJTYPE = 1", &error);
    ASSERT_NE(e, nullptr) << error;
    uint8_t record[EVCF_HEADER_LENGTH] = {};
    evCFSetEventTime(record, 6);
    mqiPutU16(record, 28, 1);
    EvSearchQuery query{};
    query.record = record;
    query.recordLength = sizeof record;
    e->caller.record = &query;
    ExpValue result{};
    ASSERT_EQ(expEvaluateCondition(e, &result), 1);
    EXPECT_EQ(expValueAsInt32(&result), 1);
    expReleaseValue(&result);
    expFreeExpression(e);

    // A field the event does not carry is not set: the test is false, not an error.
    e = parse("QUEUE = 'A'", &error);
    ASSERT_NE(e, nullptr) << error;
    e->caller.record = &query;
    ASSERT_EQ(expEvaluateCondition(e, &result), 1);
    EXPECT_EQ(expValueAsInt32(&result), 0);
    expReleaseValue(&result);
    expFreeExpression(e);
}

}  // namespace
