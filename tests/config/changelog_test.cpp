// The change log: each writer's line byte for byte (its trailing blank included), the units the
// lines show, value names and numbers, and lines that reach the log only when their unit of work
// commits.
#include <cstring>
#include <string>

#include "config_testing.h"
#include "testing/console_capture.h"

namespace {

class ChangeLogTest : public ct::ConfigTest {
protected:
    std::string line() {
        EXPECT_EQ(ct::changeLines().size(), 1u);
        std::string last = ct::changeLines().empty() ? "" : ct::changeLines().back();
        ct::changeLines().clear();
        return last;
    }
};

StreamDef stream(const char *name, uint32_t type) {
    StreamDef def{};
    std::strcpy(def.name, name);
    def.type = type;
    return def;
}

TEST_F(ChangeLogTest, AnAddedEventQueueWritesItsAttributes) {
    EventQueueDef q{};
    std::strcpy(q.name, "SYSTEM.ADMIN.QMGR.EVENT");
    q.forwardPersistence = EV_PERSIST_ASMSG;
    int32_t reason = 0;
    char text[EV_CONFIG_TEXT];
    ASSERT_NE(evEventQueueFindOrAdd(&q, &reason, text), nullptr);
    EXPECT_EQ(line(), "ADD EVQ('SYSTEM.ADMIN.QMGR.EVENT') FWDPSIST(ASMSG) TEMPQ(DISCARD) ");
}

TEST_F(ChangeLogTest, TheLoadedSettingsShowTheirUnits) {
    EvSettingsValues v;
    evSettingsRead(&v);
    LogSettings defaults = {"ZUNT", "Holva Software IBM MQ Event Processor", "", 14400, 10240000, 604800,
                            86400};
    v.log = defaults;
    evEchoEv(&v);
    EXPECT_EQ(line(),
              "EV NAME('ZUNT') DESCR('Holva Software IBM MQ Event Processor') ACCTSELF(DISCARD) ALERTRET(14) "
              "AUTHDURN(10) DEFBOTHR(5) DEFMAXRECS(1000000) DISPCMDS(DISCARD) LOGRET(7) MAXLOGAGE(240) "
              "MAXLOGSZ(10000) STORMINT(60) STORMTHR(20) USEDLQ(IFAVAIL) VERCHECK(BUILD) ");
    std::strcpy(v.deadQueue, "MY.DLQ");
    v.log.descr[0] = '\0';
    evEchoEv(&v);
    EXPECT_NE(line().find("NAME('ZUNT') ACCTSELF(DISCARD) "), std::string::npos);  // DESCR only when set
}

TEST_F(ChangeLogTest, AlterEvWritesOnlyWhatChangedAndNumbersForValuesWithoutName) {
    EvSettingsValues before;
    evSettingsRead(&before);
    EvSettingsValues after = before;
    after.stormThreshold = 25;
    evEchoAlterEv(&before, &after);
    EXPECT_EQ(line(), "ALTER EV STORMTHR(20 -> 25) ");

    after = before;
    after.useDlq = 7;
    std::strcpy(after.deadQueue, "DLQ2");
    after.log.maxLogSize = 20480000;
    evEchoAlterEv(&before, &after);
    EXPECT_EQ(line(), "ALTER EV DLQ('' -> 'DLQ2') MAXLOGSZ(10000 -> 20000) USEDLQ(IFAVAIL -> 7) ");
}

TEST_F(ChangeLogTest, StreamLinesShowRetentionInDays) {
    StreamDef def = stream("S1", STREAM_TYPE_EVENTS);
    def.retIntvl = 129600;  // a day and a half
    def.isDefault = 1;
    std::strcpy(def.evEmit, "E1");
    evEchoDefineStream(&def);
    EXPECT_EQ(line(),
              "DEFINE EVSTREAM('S1') TYPE(EVENTS) DEFAULT(YES) DISIMPLCT(NO) RETINTVL(1) AGGRINT(0) "
              "EVEMIT('E1') ");

    StreamDef same = stream("S1", STREAM_TYPE_EVENTS);
    evEchoAlterStream(&same, &same);
    EXPECT_EQ(line(), "ALTER EVSTREAM('S1') TYPE(EVENTS) ");

    StreamDef changed = same;
    changed.retIntvl = 86400 * 30;
    std::strcpy(changed.descr, "new");
    evEchoAlterStream(&same, &changed);
    EXPECT_EQ(line(), "ALTER EVSTREAM('S1') TYPE(EVENTS) DESCR('' -> 'new') RETINTVL(0 -> 30) ");
}

TEST_F(ChangeLogTest, EmitterAndEventQueueLinesFollowTheirTables) {
    EmitterDef before = *evEmitterTemplate();
    std::strcpy(before.name, "E1");
    std::strcpy(before.file, "out.json");
    evEchoDefineEmit(&before);
    EXPECT_EQ(line(),
              "DEFINE EVEMIT('E1') FILE('out.json') FORMAT(JSON) READER(PROGRAM) ZEROVALS(SHOW) "
              "MSGPERS(ASMSG) MAXSIZE(100) ");
    EmitterDef after = before;
    after.format = EV_EMIT_CSV;
    after.maxSize = 2048;
    evEchoAlterEmit(&before, &after);
    EXPECT_EQ(line(), "ALTER EVEMIT('E1') FORMAT(JSON -> CSV) MAXSIZE(100 -> 2) ");

    EventQueueDef q{};
    std::strcpy(q.name, "Q1");
    std::strcpy(q.descr, "events");
    q.suspended = 1;
    q.status = EV_EVQ_SUSPENDED;
    evEchoSuspendEvq(&q);
    EXPECT_EQ(line(), "SUSPEND EVQ('Q1') DESCR('events') SUSPENDED(YES) STATUS(SUSPENDED) ");
    EventQueueDef altered = q;
    altered.tempQ = EV_TEMPQ_STORE;
    evEchoAlterEvq(&q, &altered);
    EXPECT_EQ(line(), "ALTER EVQ('Q1') TEMPQ(DISCARD -> STORE) ");
}

TEST_F(ChangeLogTest, AlertLinesShowTheLocalTimeAndOnlyWhatIsSet) {
    zt::ScopedTZ tz("CET-1CEST,M3.5.0,M10.5.0/3");
    AlertDef alert{};
    alert.id = 5;
    alert.severity = EV_SEVERITY_WARN;
    alert.time = 1774746000;  // 03:00 CEST, the first second of summer time
    alert.retention = 3600;
    evEchoAddAlert(&alert);
    EXPECT_EQ(line(), "ADD EVALERT(5) SEVERITY(WARN) ALERTTI(Sun Mar 29 03:00:00 2026) RETINTVL(3600) ");

    StreamDef *s = evStreamDefine("ALERTS", -1, STREAM_TYPE_EVENTS, 0, 0);
    ASSERT_NE(s, nullptr);
    std::strcpy(alert.text, "full");
    std::strcpy(alert.qmgr, "QM1");
    std::strcpy(alert.category, "DISK");
    std::strcpy(alert.objectName, "Q1");
    alert.objectType = 1;
    alert.streamId = s->streamId;
    evEchoRemoveAlert(&alert);
    EXPECT_EQ(line(),
              "REMOVE EVALERT(5) TEXT('full') SEVERITY(WARN) ALERTTI(Sun Mar 29 03:00:00 2026) "
              "RETINTVL(3600) EVQMGR('QM1') CATEGORY('DISK') OBJNAME('Q1') OBJTYPE(QUEUE) "
              "EVSTREAM('ALERTS') ");
}

TEST_F(ChangeLogTest, AnAlertOfStreamZeroOrATimeWithoutDateNamesNeither) {
    AlertDef alert{};
    alert.id = 1;
    alert.severity = EV_SEVERITY_INFO;
    alert.time = INT64_MAX;
    evEchoAddAlert(&alert);
    EXPECT_EQ(line(), "ADD EVALERT(1) SEVERITY(INFO) RETINTVL(0) ");
}

// Lines of a unit of work reach the log file only at its commit; a backout drops them.
TEST_F(ChangeLogTest, LinesWaitForTheCommitAndABackoutDropsThem) {
    zt::TempDir dir;
    zt::ConsoleCapture console;
    logClose();
    LogSettings saved;
    logGetSettings(&saved);
    LogSettings settings = saved;
    std::snprintf(settings.logPath, sizeof settings.logPath, "%s", dir.path().c_str());
    logSetSettings(&settings);
    static LogCapture capture;
    capture = {};
    ct::setChangeLineSink([](const char *text) { logWrite(&capture, EV_OUT_PROGRESS, text, -1); });
    auto logText = [&] {
        logFlushIfWritten();
        auto files = dir.list();
        return files.empty() ? std::string() : dir.read(files[0]);
    };

    ASSERT_NE(evEventQueueAddDefault("Q.COMMITTED"), nullptr);
    EXPECT_EQ(logText().find("Q.COMMITTED"), std::string::npos);
    logCommitCapture(&capture);
    EXPECT_NE(logText().find("ADD EVQ('Q.COMMITTED') FWDPSIST(ASMSG) TEMPQ(DISCARD) "), std::string::npos);

    ASSERT_NE(evEventQueueAddDefault("Q.BACKEDOUT"), nullptr);
    logFreeCapture(&capture);
    logCommitCapture(&capture);
    EXPECT_EQ(logText().find("Q.BACKEDOUT"), std::string::npos);
    logClose();
    logSetSettings(&saved);
}

}  // namespace
