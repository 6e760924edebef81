// The commands that change the system's own objects, on a configuration held in memory: every
// refusal with its reason, parameter and text changes nothing; what each command changes and logs.
#include <gtest/gtest.h>

#include <string>

#include "cmdserver/internal.h"
#include "cmdserver_testing.h"
#include "emit/emit.h"
#include "tests/emit/emit_testing.h"

namespace {

using ct::fake;
using ct::PcfBuilder;

std::vector<std::string> lines;

struct Answer {
    int32_t reason;
    int32_t parmId;
    std::string text;
};

class ChangeTest : public ct::CmdTest {
protected:
    void SetUp() override {
        CmdTest::SetUp();
        for (uint32_t code = 9000; code <= 9033; code++) evRegisterCommandHandler(code, nullptr);
        InitialiseCommandFields();
        clear();
        evSettingsDefaults(1767225600);
        cfgInstall();
        lines.clear();
        evStreamGetHooks()->pendingLogLine = [](const char *text) { lines.emplace_back(text); };
        ASSERT_EQ(evStringsInit(0), 1);
        ASSERT_NE(evStringsCreateStream(), nullptr);

        emitter = evCreateEmitterDef("E1", -1);
        std::snprintf(emitter->queue, sizeof emitter->queue, "Q1");
        events = evStreamDefine("$EVENTS", -1, STREAM_TYPE_EVENTS, 0, 0);
        events->isDefault = 1;
        s1 = evStreamDefine("S1", -1, STREAM_TYPE_EVENTS, 0, 0);
        std::snprintf(s1->evEmit, sizeof s1->evEmit, "E1");
        s2 = evStreamDefine("S2", -1, STREAM_TYPE_EVENTS, 0, 0);
        sq = evStreamDefine("SQ", -1, STREAM_TYPE_STATQ, 0, 0);
        char error[EV_CONFIG_TEXT];
        qm1 = evQmgrFindOrAdd("QM1", 0, error);
        qm2 = evQmgrFindOrAdd("QM2", 0, error);
        s1OnQm1 = evStreamCreate(qm1, s1);
        ASSERT_NE(evStreamCreate(qm1, s2), nullptr);
        ASSERT_NE(evStreamCreate(qm2, s2), nullptr);
        perfm = addQueue("SYSTEM.ADMIN.PERFM.EVENT");
        addQueue(EV_COMMAND_QUEUE_NAME);
        AlertTemplate t{};
        t.alert.severity = EV_SEVERITY_ERROR;
        std::snprintf(t.alert.category, sizeof t.alert.category, "DISK");
        evAlertSetText(&t.alert, "disk full", -1);
        ASSERT_EQ(evAlertAdd(&t.alert, EV_ALERT_ADD, nullptr, error), 1);
        lines.clear();
        evConfigChanged.store(0);
    }
    void TearDown() override {
        clear();
        evStreamGetHooks()->pendingLogLine = nullptr;
        cmdRetentionInMinutes.store(0);
        evConfigChanged.store(0);
        CmdTest::TearDown();
    }
    static void clear() {
        cfgFreeModel(1);
        evStreamDefFreeAll();
        evStringsFree(1);
        evAlertFreeAll();
        ct::freeEmitters();
    }
    EventQueueDef *addQueue(const char *name) {
        EventQueueDef probe{};
        std::snprintf(probe.name, sizeof probe.name, "%s", name);
        int32_t reason = 0;
        char text[EV_CONFIG_TEXT];
        return evEventQueueFindOrAdd(&probe, &reason, text);
    }
    // The one answer of the last command.
    Answer answer() {
        Answer a{-1, 0, ""};
        if (fake.puts.empty()) return a;
        ct::Pcf pcf = ct::parse(fake.puts.back().data);
        fake.puts.clear();
        a.reason = pcf.reason;
        a.parmId = pcf.get(MQIACF_PARAMETER_ID).value;
        a.text = pcf.get(CMD_PARM_TEXT).text;
        return a;
    }
    using ct::CmdTest::run;
    Answer run(const PcfBuilder &command) {
        lines.clear();
        EXPECT_EQ(runPcf(command.done()), 1);
        return answer();
    }
    // Every byte of the configuration a command may change.
    static std::string snapshot() {
        std::string s;
        auto add = [&s](const void *p, size_t n) { s.append(static_cast<const char *>(p), n); };
        EvSettingsValues v;
        std::memset(&v, 0, sizeof v);
        evSettingsRead(&v);
        add(&v, sizeof v);
        for (const EmitterDef *e = evEmitterList; e != nullptr; e = e->next) add(e, sizeof *e);
        for (const StreamDef *d = evStreamDefList; d != nullptr; d = d->next) add(d, sizeof *d);
        for (CSTree *node = CSTreeFirst(evQmgrTree); node != nullptr; node = node->next) {
            add(reinterpret_cast<char *>(node) + sizeof(CSTree), sizeof(QmgrEntry) - sizeof(CSTree));
            for (const Stream *st = reinterpret_cast<QmgrEntry *>(node)->streams; st; st = st->next)
                add(st, sizeof *st);
        }
        for (CSTree *node = CSTreeFirst(evEventQueueTree); node != nullptr; node = node->next)
            add(reinterpret_cast<char *>(node) + sizeof(CSTree), sizeof(EventQueueDef) - sizeof(CSTree));
        for (const AlertDef *a = evAlertList; a != nullptr; a = a->next) {
            add(a, sizeof *a);
            add(a->text, std::strlen(a->text));
        }
        return s;
    }
    std::string lineText() const {
        std::string all;
        for (const std::string &l : lines) all += l + "|";
        return all;
    }

    zt::ScopedTZ tz_{"UTC0"};
    zt::TestClock clock_{1767225600};
    EmitterDef *emitter = nullptr;
    StreamDef *events = nullptr;
    StreamDef *s1 = nullptr;
    StreamDef *s2 = nullptr;
    StreamDef *sq = nullptr;
    QmgrEntry *qm1 = nullptr;
    QmgrEntry *qm2 = nullptr;
    Stream *s1OnQm1 = nullptr;
    EventQueueDef *perfm = nullptr;
};

struct Refusal {
    const char *what;
    PcfBuilder command;
    int32_t reason;
    int32_t parmId;
    const char *text;
};

TEST_F(ChangeTest, EveryRefusalAnswersItsReasonAndChangesNothing) {
    const std::string evq = EV_COMMAND_QUEUE_NAME;
    const Refusal cases[] = {
        {"EV range", PcfBuilder(9005).string(39306, "ok").integer(39389, 0), 3229, 39389,
         "Parameter 'STORMTHR' must be between 1 and 999999999."},
        {"EV empty name", PcfBuilder(9005).string(39305, ""), 3229, 39305,
         "Parameter 'NAME' must contain a value."},
        {"EV STORMEXC", PcfBuilder(9005).integer(39391, 1), 3014, 39391, ""},
        {"RESET no TYPE", PcfBuilder(9006), 3228, 39366, "TYPE() parameter expected."},
        {"RESET TYPE 3", PcfBuilder(9006).integer(39366, 3), 3229, 39366,
         "Invalid value for TYPE() parameter, expected TYPE(COUNTS)."},
        {"emitter both", PcfBuilder(9029).string(39416, "E2").string(39418, "Q2").string(39419, "f.txt"),
         3203, 0, "You can not specify both a target queue and a file."},
        {"emitter neither", PcfBuilder(9029).string(39416, "E2"), 3228, 2016,
         "An emitter must identify a target queue or a file."},
        {"emitter MAXSIZE", PcfBuilder(9029).string(39416, "E2").string(39419, "f").integer(39423, 4194304),
         3229, 39423, "Parameter 'MAXSIZE' must be between 1 and 4194303."},
        {"emitter loses target", PcfBuilder(9031).string(39416, "E1").string(39418, ""), 3228, 2016,
         "An emitter must identify a target queue or a file."},
        {"emitter repeat", PcfBuilder(9029).string(39416, "E1").string(39418, "Q2"), 2100, 0,
         "Emitter 'E1' already exists."},
        {"alter missing emitter", PcfBuilder(9031).string(39416, "NOPE"), 2152, 0,
         "Emitter 'NOPE' not found."},
        {"emitter in use", PcfBuilder(9032).string(39416, "E1"), 2100, 0,
         "Emitter 'E1' is in use by stream 'S1'."},
        {"AGGRINT 45", PcfBuilder(9016).string(39301, "SQ").integer(39434, 45), 3229, 39434,
         "Aggregation interval must be a factor of 60 seconds."},
        {"AGGRINT 5000", PcfBuilder(9016).string(39301, "SQ").integer(39434, 5000), 3229, 39434,
         "Aggregation interval must be a factor of one day."},
        {"AGGRINT on EVENTS", PcfBuilder(9016).string(39301, "S1").integer(39434, 60), 3229, 39355,
         "Stream type of stream 'S1' does not support aggregation."},
        {"AGGRINT 45 on DEFINE", PcfBuilder(9015).string(39301, "NEWQ").integer(39355, 2).integer(39434, 45),
         3229, 39434, "Aggregation interval must be a factor of 60 seconds."},
        {"system name", PcfBuilder(9015).string(39301, "$STATQ").integer(39355, 1), 2152, 0,
         "Invalid name '$STATQ' for stream of that type."},
        {"no emitter", PcfBuilder(9015).string(39301, "S3").integer(39355, 1).string(39416, "NOPE"), 3229,
         39416, "Emitter 'NOPE' is not defined."},
        {"define without type", PcfBuilder(9015).string(39301, "S3"), 3228, 39355, ""},
        {"stream exists", PcfBuilder(9015).string(39301, "S2").integer(39355, 1), 2100, 0,
         "Stream 'S2' already exists."},
        {"delete default", PcfBuilder(9017).string(39301, "$EVENTS"), 2152, 0,
         "Stream '$EVENTS' is the default stream so can not be deleted."},
        {"delete with runtime stream", PcfBuilder(9017).string(39301, "S1"), 2100, 0,
         "Stream 'S1' is not empty."},
        {"rename to existing", PcfBuilder(9018).string(39301, "S1").string(39381, "S2"), 2100, 0,
         "Stream 'S2' already exists."},
        {"rename without new name", PcfBuilder(9018).string(39301, "S1"), 2152, 0,
         "No new stream name was specified."},
        {"alert without text", PcfBuilder(9021).string(39320, "DISK"), 3228, 39374,
         "Alert parameter 'TEXT' missing."},
        {"alert system category", PcfBuilder(9021).string(39374, "x").string(39320, "$EMIT"), 3229, 39320,
         "Alert parameter 'CATEGORY' can not be a system value."},
        {"alert replace without category", PcfBuilder(9021).string(39374, "!disk").integer(1006, 1), 3228,
         39320, "When replacing alert, without text match, then you must specify a category."},
        {"alert stream of other type", PcfBuilder(9021).string(39374, "x").string(39301, "SQ"), 3229, 39301,
         "Stream name 'SQ' is not defined."},
        {"remove alert other text", PcfBuilder(9014).integer(39373, 1).string(39374, "other"), 2085, 0, ""},
        {"remove alert nothing", PcfBuilder(9014), 3228, 39373,
         "Either 'ALERTID' or 'TEXT' should be provided."},
        {"suspend wildcard", PcfBuilder(9011).string(39333, "SYSTEM.ADMIN.*"), 3229, 39333,
         "Parameter 'EVQ' contains characters which are not valid in an MQ name."},
        {"suspend unknown", PcfBuilder(9011).string(39333, "NOT.THERE"), 2085, 0, ""},
        {"suspend command queue", PcfBuilder(9011).string(39333, evq), 2085, 0, ""},
        {"resume command queue", PcfBuilder(9012).string(39333, evq), 2085, 0, ""},
        {"remove command queue", PcfBuilder(9009).string(39333, evq), 2085, 0, ""},
        {"remove unknown qmgr", PcfBuilder(9007).string(39340, "QMX"), 2085, 0,
         "Queue Manager 'QMX' not found."},
        {"remove qmgr with data", PcfBuilder(9007).string(39340, "QM1"), 2534, 0,
         "Queue Manager 'QM1' has active stream data, specify PURGE(YES)."},
        {"remove qmgr PURGE(2)", PcfBuilder(9007).string(39340, "QM1").integer(39367, 2), 3229, 39367,
         "Parameter 'PURGE' is not a recognised value."},
        {"add queue bad FWDQ", PcfBuilder(9008).string(39333, "Q1").string(39369, "bad name!"), 3229, 39369,
         "Parameter 'FWDQ' contains characters which are not valid in an MQ name."},
        {"add queue twice", PcfBuilder(9008).string(39333, "SYSTEM.ADMIN.PERFM.EVENT"), 2100, 0,
         "Event queue 'SYSTEM.ADMIN.PERFM.EVENT' already exists."},
        {"alter missing queue", PcfBuilder(9010).string(39333, "NOT.THERE"), 2152, 0,
         "Event queue 'NOT.THERE' not found."},
        {"purge without EVQMGR", PcfBuilder(9020).string(39301, "S1").integer(39355, 1), 3015, 39340,
         "'EVQMGR' parameter missing."},
        {"purge no match", PcfBuilder(9020).string(39301, "X*").string(39340, "*").integer(39355, -999), 2085,
         0, "No matching streams found."},
        {"purge system pattern", PcfBuilder(9020).string(39301, "$*").string(39340, "*").integer(39355, -999),
         2085, 0, "No matching streams found."},
        {"copy no source", PcfBuilder(9033).string(39301, "NOPE").string(39440, "S2"), 2152, 0,
         "Source stream 'NOPE' not found."},
        {"copy no target name", PcfBuilder(9033).string(39301, "S1"), 2152, 0,
         "No target stream name was specified."},
        {"copy missing target", PcfBuilder(9033).string(39301, "S1").string(39440, "T9"), 2152, 0,
         "Target stream 'T9' must exist."},
        {"copy other type", PcfBuilder(9033).string(39301, "S1").string(39440, "SQ"), 2152, 0,
         "Source and Target streams must be the same type."},
        {"copy ambiguous source", PcfBuilder(9033).string(39301, "S2").string(39440, "S1"), 2152, 0,
         "Source stream status for 'S2' is ambiguous."},
        {"copy empty source", PcfBuilder(9033).string(39301, "S1").string(39440, "S2").string(39340, "QM1"),
         2152, 0, "Source stream status 'S1' is empty."},
        {"copy no source status", PcfBuilder(9033).string(39301, "$EVENTS").string(39440, "S1"), 2152, 0,
         "Source stream status '$EVENTS' not found."},
    };
    for (const Refusal &c : cases) {
        const std::string before = snapshot();
        const Answer a = run(c.command);
        EXPECT_EQ(a.reason, c.reason) << c.what;
        EXPECT_EQ(a.parmId, c.parmId) << c.what;
        EXPECT_EQ(a.text, c.text) << c.what;
        EXPECT_EQ(snapshot(), before) << c.what;
        EXPECT_TRUE(lines.empty()) << c.what << ": " << lineText();
        EXPECT_EQ(evConfigChanged.load(), 0) << c.what;
    }
}

TEST_F(ChangeTest, CopyRefusesAnAmbiguousOrFilledTarget) {
    s1OnQm1->recordCount = 3;
    const std::string before = snapshot();
    EXPECT_EQ(run(PcfBuilder(9033).string(39301, "S1").string(39440, "S2")).text,
              "Stream status for 'S2' is ambiguous.");
    const Answer filled = run(PcfBuilder(9033).string(39301, "S1").string(39440, "S1"));
    EXPECT_EQ(filled.reason, 2152);
    EXPECT_EQ(filled.text, "Target stream status 'S1' is not empty.");
    EXPECT_EQ(snapshot(), before);
    s1OnQm1->recordCount = 0;
}

TEST_F(ChangeTest, AlterEvChangesTheSettingsAndLogsWhatChanged) {
    EXPECT_EQ(run(PcfBuilder(9005).integer(39389, 25).integer(39433, 0).integer(39363, 4)).reason, 0);
    EXPECT_EQ(evSettings.stormThreshold.load(), 25);
    EXPECT_EQ(evSettings.authDuration.load(), 0);
    EXPECT_EQ(evLogSettings.maxLogSize, 4096);
    EXPECT_EQ(evConfigChanged.load(), 1);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("STORMTHR(20 -> 25)"), std::string::npos) << lines[0];
}

TEST_F(ChangeTest, ResetZeroesCountersForGoodAndSaysWhenAllWereZero) {
    qm1->counters[EV_QMC_EVENTS] = EvCounter{5, 1, 5};
    qm1->counters[EV_QMC_PERFM] = EvCounter{2, 0, 2};
    perfm->counters[EV_EQC_MSGS] = EvCounter{7, 0, 7};
    perfm->counters[EV_EQC_DLQ] = EvCounter{1, 0, 1};
    clock_.set(1767229200);
    ASSERT_EQ(run(PcfBuilder(9006).integer(39366, 1)).reason, 0);
    EXPECT_EQ(lineText(),
              "RESET EV TYPE(COUNTS)|  EVQMGR(QM1)|EVENTCT(5) PERFMCT(2) |"
              "  EVQ(SYSTEM.ADMIN.PERFM.EVENT)|MSGS(7) |");
    EXPECT_EQ(evSettings.resetTime.load(), 1767229200);
    EXPECT_EQ(perfm->counters[EV_EQC_DLQ].current, 1u);  // not a count RESET zeroes
    // Set E's backout restores its counters from the committed copies: the reset stays.
    for (EvCounter &c : qm1->counters) c.current = c.committed;
    for (EvCounter &c : perfm->counters) c.current = c.committed;
    EXPECT_EQ(qm1->counters[EV_QMC_EVENTS].current, 0u);
    EXPECT_EQ(perfm->counters[EV_EQC_MSGS].current, 0u);

    ASSERT_EQ(run(PcfBuilder(9006).integer(39366, 1)).reason, 0);
    EXPECT_EQ(lineText(), "RESET EV TYPE(COUNTS)|  All values already zero|");
}

TEST_F(ChangeTest, EmittersAreDefinedReplacedAndDeleted) {
    ASSERT_EQ(
        run(PcfBuilder(9029).string(39416, "E2").string(39419, "out.json").integer(39423, 4194303)).reason,
        0);
    EmitterDef *e2 = evFindEmitterDef("E2", -1);
    ASSERT_NE(e2, nullptr);
    EXPECT_EQ(e2->maxSize, 4194303u * 1024u);
    EXPECT_EQ(e2->format, EV_EMIT_JSON);
    EXPECT_EQ(e2->singleRecord, 0u);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].rfind("DEFINE EVEMIT('E2')", 0), 0u) << lines[0];

    ASSERT_EQ(run(PcfBuilder(9029).string(39416, "E2").string(39419, "out%i.json").integer(1006, 1)).reason,
              0);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].find("MAXSIZE"), std::string::npos) << lines[0];
    EXPECT_NE(lines[0].find("FILE"), std::string::npos) << lines[0];
    EXPECT_EQ(e2->singleRecord, 1u);

    s1->emitter = e2;  // a cache left from before S1 was altered to E1
    ASSERT_EQ(run(PcfBuilder(9032).string(39416, "E2")).reason, 0);
    EXPECT_EQ(evFindEmitterDef("E2", -1), nullptr);
    EXPECT_EQ(s1->emitter, nullptr);
    EXPECT_EQ(lineText(), "DELETE EVEMIT('E2')|");
}

TEST_F(ChangeTest, AggregationIntervalsThatDivideTheirUnitPass) {
    for (int32_t interval : {900, 7200, 86400}) {
        EXPECT_EQ(run(PcfBuilder(9016).string(39301, "SQ").integer(39434, interval)).reason, 0) << interval;
        EXPECT_EQ(sq->aggrInt, static_cast<uint32_t>(interval));
    }
    ASSERT_EQ(run(PcfBuilder(9015).string(39301, "SQ2").integer(39355, 2).integer(39434, 900)).reason, 0);
    EXPECT_EQ(evStreamDefFind("SQ2", -1, STREAM_TYPE_STATQ, nullptr)->aggrInt, 900u);
}

TEST_F(ChangeTest, OnlyDefaultYesMovesTheDefault) {
    ASSERT_EQ(run(PcfBuilder(9016).string(39301, "S1").string(39378, "mine")).reason, 0);
    EXPECT_EQ(events->isDefault, 1u);
    ASSERT_EQ(run(PcfBuilder(9016).string(39301, "S1").integer(39380, 1)).reason, 0);
    EXPECT_EQ(events->isDefault, 0u);
    EXPECT_EQ(s1->isDefault, 1u);
    EXPECT_EQ(evDefaultStreamFind(STREAM_TYPE_EVENTS, 0), s1);
}

TEST_F(ChangeTest, RenameKeepsTheIdAndMovesEveryRuntimeStream) {
    // S2 has runtime streams on QM1 and QM2; renamed to A2 it must come first in each list.
    const uint32_t id = s2->streamId;
    ASSERT_EQ(run(PcfBuilder(9018).string(39301, "S2").string(39381, "A2")).reason, 0);
    EXPECT_EQ(lineText(), "DELETE EVSTREAM('S2')|RENAME EVSTREAM('S2') NEWNAME(A2)|");
    StreamDef *renamed = evStreamDefFind("A2", -1, STREAM_TYPE_EVENTS, nullptr);
    ASSERT_NE(renamed, nullptr);
    EXPECT_EQ(renamed->streamId, id);
    EXPECT_EQ(evStreamDefFind("S2", -1, 0, nullptr), nullptr);
    const uint8_t record[16] = {1, 2, 3};
    for (QmgrEntry *qmgr : {qm1, qm2}) {
        std::string order;
        for (Stream *s = qmgr->streams; s != nullptr; s = s->next) {
            EXPECT_EQ(s->definition, evStreamDefFindById(s->streamId)) << qmgr->name;
            order += std::string(s->definition->name) + " ";
            // An append reads the stream's definition.
            EXPECT_NE(evStreamAdd(qmgr, s, record, sizeof record, 1767225600, nullptr), nullptr);
        }
        EXPECT_EQ(order, qmgr == qm1 ? "A2 S1 " : "A2 ") << qmgr->name;
    }
    fake.puts.clear();
    ASSERT_EQ(runPcf(PcfBuilder(9019).string(39301, "*").done()), 1);
    EXPECT_EQ(fake.puts.size(), 1u);
}

TEST_F(ChangeTest, AlertsAreAddedReplacedAndRemoved) {
    const uint32_t id = evAlertList->id;
    ASSERT_EQ(run(PcfBuilder(9021)
                      .string(39374, "!disk")
                      .string(39320, "DISK")
                      .integer(1006, 1)
                      .integer(39375, 40)
                      .integer(39379, 90))
                  .reason,
              0);
    ASSERT_NE(evAlertList, nullptr);
    EXPECT_EQ(evAlertList->next, nullptr);
    EXPECT_EQ(evAlertList->id, id);
    EXPECT_STREQ(evAlertList->text, "disk");
    EXPECT_EQ(evAlertList->severity, 40);
    EXPECT_EQ(evAlertList->retention, 90u);  // seconds, as DISPLAY EVALERT shows it

    ASSERT_EQ(run(PcfBuilder(9014).integer(39373, static_cast<int32_t>(id)).string(39320, "DISK")).reason, 0);
    EXPECT_EQ(evAlertList, nullptr);
}

TEST_F(ChangeTest, AnAlertFromAnEventFunctionCarriesTheEventSequence) {
    MQMD md = request(MQFMT_ADMIN);
    std::memcpy(md.CorrelId, "ZUNT Internal Value:", 20);
    mqiPutU32(md.CorrelId, 20, 4711);
    ASSERT_EQ(CmdTest::run(md, PcfBuilder(9021).string(39374, "from a hook").done()), 1);
    bool found = false;
    for (const AlertDef *a = evAlertList; a != nullptr; a = a->next)
        if (std::strcmp(a->text, "from a hook") == 0) found = a->raisingEvent == 4711;
    EXPECT_TRUE(found);
}

TEST_F(ChangeTest, RemovingAQueueManagerWithoutDataOrAQueueFreesItsRecord) {
    // A purge that fails keeps the queue manager and answers the purge's failure.
    const Answer failed = run(PcfBuilder(9007).string(39340, "QM2").integer(39367, 1));
    EXPECT_EQ(failed.reason, MQRC_HCONN_ERROR);
    EXPECT_EQ(failed.text, "MQGET(DATA_QUEUE) failed with RC(2018) MQRC_HCONN_ERROR");
    EXPECT_NE(CSTreeFind(evQmgrTree, "QM2", CS_KEY_STRING), nullptr);
    char error[EV_CONFIG_TEXT];
    QmgrEntry *qm3 = evQmgrFindOrAdd("QM3", 0, error);
    ASSERT_NE(qm3, nullptr);
    ASSERT_EQ(run(PcfBuilder(9007).string(39340, "QM3")).reason, 0);
    EXPECT_EQ(CSTreeFind(evQmgrTree, "QM3", CS_KEY_STRING), nullptr);
    EXPECT_EQ(evConfigChanged.load(), 1);

    s1OnQm1->lastEventQueue = perfm;
    ASSERT_EQ(run(PcfBuilder(9009).string(39333, "SYSTEM.ADMIN.PERFM.EVENT")).reason, 0);
    EXPECT_EQ(lineText(), "REMOVE EVQ('SYSTEM.ADMIN.PERFM.EVENT') |");
    EXPECT_EQ(s1OnQm1->lastEventQueue, nullptr);
    fake.puts.clear();
    ASSERT_EQ(runPcf(PcfBuilder(9003).string(39333, "SYSTEM.*").done()), 1);
    EXPECT_EQ(answer().reason, 2085);
}

}  // namespace

namespace {

TEST_F(ChangeTest, ChangingTheFormatEndsTheOpenDocumentInTheOldOne) {
    zt::TempDir dir;
    const std::string file = dir.file("ev.json");
    ASSERT_EQ(run(PcfBuilder(9029).string(39416, "E3").string(39419, file)).reason, 0);
    std::snprintf(s2->evEmit, sizeof s2->evEmit, "E3");
    Stream *stream = nullptr;
    for (Stream *s = qm1->streams; s != nullptr; s = s->next)
        if (s->definition == s2) stream = s;
    ASSERT_NE(stream, nullptr);
    auto emitOne = [&] {
        std::vector<uint8_t> record = et::changeEvent(1767225600, "changed");
        EmitContext c{};
        c.set = evSet(EV_SET_E);
        c.qmgr = qm1;
        c.stream = stream;
        return emitRecord(&c, record.data(), static_cast<uint32_t>(record.size()));
    };
    ASSERT_EQ(emitOne(), EMIT_DONE);
    ASSERT_NE(evFindEmitterDef("E3", -1)->openFile, nullptr);
    std::fflush(evFindEmitterDef("E3", -1)->openFile);
    const std::string open = dir.read("ev.json");
    ASSERT_FALSE(open.empty());

    ASSERT_EQ(run(PcfBuilder(9031).string(39416, "E3").integer(39420, EV_EMIT_CSV)).reason, 0);
    EXPECT_EQ(evFindEmitterDef("E3", -1)->openFile, nullptr);
    const std::string closed = dir.read("ev.json");
    EXPECT_EQ(closed.rfind(open, 0), 0u);
    EXPECT_GT(closed.size(), open.size());
    // The document is ended as JSON: the record list and the wrapper are closed.
    EXPECT_EQ(closed.substr(closed.find_last_not_of(" \r\n") - 1, 2), "]}") << closed;
}

}  // namespace

namespace {

TEST_F(ChangeTest, AStormItemOfARemovedQueueManagerReachesNoFreedEntry) {
    char error[EV_CONFIG_TEXT];
    QmgrEntry *qm3 = evQmgrFindOrAdd("QM3", 0, error);
    const std::vector<uint8_t> record = et::changeEvent(1767225600, "x");
    evTimedItem *item = nullptr;
    ASSERT_EQ(evRepeatCount(qm3, record.data(), static_cast<uint32_t>(record.size()), 1767225600, &item), 0);
    ASSERT_NE(item, nullptr);
    ASSERT_EQ(run(PcfBuilder(9007).string(39340, "QM3")).reason, 0);
    // The item names its queue manager: a new record of that name counts into it.
    QmgrEntry *again = evQmgrFindOrAdd("QM3", 0, error);
    evTimedItem *second = nullptr;
    EXPECT_EQ(evRepeatCount(again, record.data(), static_cast<uint32_t>(record.size()), 1767225601, &second),
              0);
    EXPECT_EQ(second, nullptr);
    CSRecursiveGuard guard(gConsumerLock);
    evFreeStorms();
}

// Every parameter a handler reads can be written in MQSC: its row applies to the command's letter.
TEST_F(ChangeTest, EveryParameterAHandlerReadsHasAnMqscKeyword) {
    const std::vector<int32_t> emitterIds = {39416, 39417, 39418, 39419, 39420, 39421,
                                             39422, 39423, 39396, 39428, 39425, 39429};
    const std::vector<int32_t> stream = {39301, 39355, 39378, 39379, 39434, 39380, 39436, 39416};
    const std::vector<int32_t> queue = {39333, 39368, 39369, 39393, 39408};
    auto with = [](std::vector<int32_t> ids, std::initializer_list<int32_t> more) {
        ids.insert(ids.end(), more);
        return ids;
    };
    const std::vector<std::pair<uint32_t, std::vector<int32_t>>> reads = {
        {9005,
         {39305, 39306, 39356, 39358, 39359, 39360, 39362, 39363, 39364, 39388, 39389, 39390, 39413, 39433,
          39437, 39443}},
        {9006, {39366}},
        {9007, {39340, 39367}},
        {9008, with(queue, {1006})},
        {9010, queue},
        {9009, {39333}},
        {9011, {39333}},
        {9012, {39333}},
        {9014, {39373, 39374, 39320, 39376, 39316, 39317}},
        {9015, with(stream, {1006})},
        {9016, stream},
        {9017, {39301, 39355}},
        {9018, {39301, 39355, 39381}},
        {9020, {39301, 39340, 39355}},
        {9021, {39374, 39375, 39376, 39379, 39330, 39301, 39316, 39317, 39320, 1006}},
        {9029, with(emitterIds, {1006})},
        {9031, emitterIds},
        {9032, {39416}},
        {9033, {39301, 39340, 39355, 39440, 39441}},
    };
    for (const auto &[code, ids] : reads) {
        const evCommandDef *command = evCommandByCode(code);
        ASSERT_NE(command, nullptr) << code;
        EXPECT_NE(cmdChangingHandler(code), nullptr) << code;
        for (int32_t id : ids) {
            const evParmDef *row = evFindParmById(command, static_cast<uint32_t>(id));
            ASSERT_TRUE(row != nullptr && row->keyword != nullptr) << code << " " << id;
            char mode = ' ';
            const evParmDef *byKeyword =
                evFindParmByKeyword(command, row->keyword, std::strlen(row->keyword), &mode);
            ASSERT_NE(byKeyword, nullptr) << code << " " << row->keyword;
            EXPECT_EQ(byKeyword->parmId, static_cast<uint32_t>(id)) << code << " " << row->keyword;
        }
    }
}

// ---- What the answers tell ----

// The escape PCF of a text: its single reply, its completion and reason and its text.
struct EscapeAnswer {
    int32_t compCode;
    int32_t reason;
    std::string text;
};

class EscapeTest : public ChangeTest {
protected:
    EscapeAnswer escape(const std::string &text, int32_t kind = MQCMD_ESCAPE, int32_t strayId = 0) {
        PcfBuilder b(kind);
        b.integer(MQIACF_ESCAPE_TYPE, MQET_MQSC);
        if (strayId != 0) b.string(strayId, "QM1");
        b.string(MQCACF_ESCAPE_TEXT, text);
        fake.puts.clear();
        EXPECT_EQ(run(request(MQFMT_ADMIN), b.done()), 1);
        EscapeAnswer a{-1, -1, ""};
        for (const ct::Put &put : fake.puts) {
            const ct::Pcf reply = ct::parse(put.data);
            a.compCode = reply.compCode;
            a.reason = reply.reason;
            a.text += reply.get(MQCACF_ESCAPE_TEXT).text + "|";
        }
        fake.puts.clear();
        return a;
    }
};

TEST_F(EscapeTest, ARefusedTextIsAnsweredAsFailed) {
    evSettings.startTime.store(1);
    struct Case {
        const char *text;
        int32_t kind;
        int32_t reason;
        const char *shown;
    };
    const Case cases[] = {
        {"FOO BAR", MQCMD_ESCAPE, MQRCCF_COMMAND_FAILED, "AMQ8405: Syntax error"},
        {"DIS EVQ(A-B)", MQCMD_ESCAPE, 0, "EVQ"},
        {"ALTER EV STORMTHR(abc)", MQCMD_ESCAPE, MQRCCF_COMMAND_FAILED, "is not a valid integer."},
        {"DEFINE EVSTREAM(A9) TYPE(EVENTS)", CMD_EVENT_CALLBACK_ESCAPE, MQRCCF_COMMAND_FAILED,
         "can not be issued from an event function"},
        {"DEFINE EVSTREAM(S2) TYPE(EVENTS)", MQCMD_ESCAPE, 2100, "Stream 'S2' already exists."},
        {"DEBUG FOO", MQCMD_ESCAPE, MQRCCF_COMMAND_FAILED, "AMQ8405: Syntax error"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text);
        const std::string before = snapshot();
        const EscapeAnswer a = escape(c.text, c.kind);
        EXPECT_EQ(a.compCode, MQCC_FAILED);
        if (c.reason != 0) {
            EXPECT_EQ(a.reason, c.reason);
        } else {
            EXPECT_NE(a.reason, 0);
        }
        EXPECT_NE(a.text.find(c.shown), std::string::npos) << a.text;
        EXPECT_TRUE(snapshot() == before);
    }
    const EscapeAnswer done = escape("DEFINE EVSTREAM(ESC0) TYPE(EVENTS)");
    EXPECT_EQ(done.compCode, MQCC_OK);
    EXPECT_EQ(done.reason, 0);
}

// A stray parameter is answered 3015 and the text still runs.
TEST_F(EscapeTest, AStrayParameterIsAnsweredAndTheTextStillRuns) {
    const EscapeAnswer a = escape("DEFINE EVSTREAM(ESC1) TYPE(EVENTS)", MQCMD_ESCAPE, MQCA_Q_MGR_NAME);
    EXPECT_NE(a.text.find("AMQ8426: Invalid Parameter"), std::string::npos) << a.text;
    EXPECT_NE(a.text.find("AMQ8005: Stream defined successfully."), std::string::npos) << a.text;
    int ambiguous = 0;
    EXPECT_NE(evStreamDefFind("ESC1", -1, 0, &ambiguous), nullptr);
}

TEST_F(ChangeTest, EveryChangingCommandNeedsItsName) {
    const Refusal cases[] = {
        {"define stream", PcfBuilder(9015).integer(39355, 1), 3228, 39301, ""},
        {"alter stream", PcfBuilder(9016).string(39378, "x"), 3228, 39301, ""},
        {"delete stream", PcfBuilder(9017), 3228, 39301, ""},
        {"rename stream", PcfBuilder(9018).string(39381, "S9"), 3228, 39301, ""},
        {"copy stream", PcfBuilder(9033).string(39440, "S2"), 3228, 39301, ""},
        {"define emitter", PcfBuilder(9029).string(39418, "Q2"), 3228, 39416, ""},
        {"alter emitter", PcfBuilder(9031).string(39418, "Q2"), 3228, 39416, ""},
        {"delete emitter", PcfBuilder(9032), 3228, 39416, ""},
    };
    for (const Refusal &c : cases) {
        evConfigChanged.store(0);
        const std::string before = snapshot();
        const Answer a = run(c.command);
        EXPECT_EQ(a.reason, c.reason) << c.what;
        EXPECT_EQ(a.parmId, c.parmId) << c.what;
        EXPECT_EQ(a.text, c.text) << c.what;
        EXPECT_TRUE(snapshot() == before) << c.what;
        EXPECT_EQ(evConfigChanged.load(), 0) << c.what;
    }
}

// A fault is named by the keyword typed or the parameter that carried it, never by identifier 0.
TEST_F(EscapeTest, AFaultNamesTheKeywordOrTheParameter) {
    struct Case {
        const char *text;
        const char *shown;
    };
    const Case cases[] = {
        {"ALTER EVQ(SYSTEM.ADMIN.PERFM.EVENT) DESCR", "'DESCR'"},
        {"ADD EVQ(Q1) REPLACE FWDQ", "'FWDQ'"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text);
        fake.puts.clear();
        ASSERT_EQ(runMqsc(c.text), 1);
        EXPECT_NE(allText().find(c.shown), std::string::npos) << allText();
        EXPECT_EQ(allText().find("Monitor flags none"), std::string::npos) << allText();
    }
    // An escape text whose length runs past the message.
    std::vector<uint8_t> bytes = PcfBuilder(MQCMD_ESCAPE).string(MQCACF_ESCAPE_TEXT, "DIS EVQ(*)").done();
    mqiPutI32(bytes.data(), MQCFH_STRUC_LENGTH + offsetof(MQCFST, StringLength), 99999);
    fake.puts.clear();
    ASSERT_EQ(run(request(MQFMT_ADMIN), bytes), 1);
    ASSERT_FALSE(fake.puts.empty());
    const ct::Pcf reply = ct::parse(fake.puts.back().data);
    EXPECT_EQ(reply.compCode, MQCC_FAILED);
    EXPECT_EQ(reply.reason, MQRCCF_CFST_STRING_LENGTH_ERR);
    EXPECT_EQ(reply.get(MQCACF_ESCAPE_TEXT).text, "AMQ8426: Parameter 'Escape text' is too long");
    // One whose length is negative is no length at all.
    mqiPutI32(bytes.data(), MQCFH_STRUC_LENGTH + offsetof(MQCFST, StringLength), -1);
    fake.puts.clear();
    ASSERT_EQ(run(request(MQFMT_ADMIN), bytes), 1);
    ASSERT_FALSE(fake.puts.empty());
    const ct::Pcf negative = ct::parse(fake.puts.back().data);
    EXPECT_EQ(negative.compCode, MQCC_FAILED);
    EXPECT_EQ(negative.reason, MQRCCF_CFST_STRING_LENGTH_ERR);
    EXPECT_EQ(negative.get(MQCACF_ESCAPE_TEXT).text,
              "AMQ8426: Parameter 'Escape text' has a negative length.");
    fake.puts.clear();
}

// A character printable in the message's code page is printable.
TEST_F(ChangeTest, TextsInTheMessagesCodePageKeepTheirCharacters) {
    for (const auto &[ccsid, descr] : std::vector<std::pair<int32_t, std::string>>{
             {819, "caf\xe9"}, {1208, "caf\xc3\xa9"}, {850, "caf\x82"}}) {
        SCOPED_TRACE(ccsid);
        MQMD md = request(MQFMT_STRING);
        md.CodedCharSetId = ccsid;
        const std::string text = "ALTER EV DESCR('" + descr + "')";
        fake.puts.clear();
        ASSERT_EQ(run(md, std::vector<uint8_t>(text.begin(), text.end())), 1);
        EXPECT_EQ(allText().find("non-printable"), std::string::npos) << allText();
        EXPECT_NE(allText().find("AMQ8005"), std::string::npos) << allText();
    }
    // A control character is still refused.
    fake.puts.clear();
    ASSERT_EQ(runMqsc("ALTER EV DESCR('a\x01')"), 1);
    EXPECT_NE(allText().find("non-printable"), std::string::npos) << allText();
}

}  // namespace
