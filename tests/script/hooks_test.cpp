// The start-up script and its hooks: where the script is found, what a load refuses, and what the
// record hooks read of their records and decide with _stream.
#include <cerrno>
#include <cstring>

#include "hooks_testing.h"

namespace {

using ht::Body;
using ht::HookTest;
using ht::Record;
using ht::script;

TEST(StartupPath, FolderAndFileRule) {
    struct Case {
        const char *option;
        const char *expected;
    };
    const Case cases[] = {
        {"/opt/zunt", "/opt/zunt/zunt.vdr"},
        {"  /opt/zunt/", "/opt/zunt/zunt.vdr"},
        {"a/b.vdr", "a/b.vdr"},
        {"a\\b.vdr", "a/b.vdr"},
        {"x.vdr", "/prog/x.vdr"},
        {"", "/prog/zunt.vdr"},
        {"/x.vdr", "/x.vdr"},
        {"dir.d/", "dir.d/zunt.vdr"},
    };
    for (const Case &c : cases) {
        char out[256];
        ASSERT_EQ(cslStartupScriptPath(c.option, "/prog", out, sizeof out), 1) << c.option;
        EXPECT_STREQ(out, c.expected) << c.option;
    }
    char tiny[8];
    EXPECT_EQ(cslStartupScriptPath("/opt/zunt", "/prog", tiny, sizeof tiny), 0);
}

TEST_F(HookTest, AFolderLoadsItsScriptAndEveryHookMustBeThere) {
    EXPECT_EQ(load(script("@ran = 1\n")), 1);
    EXPECT_EQ(value("@ran"), "1");
    EXPECT_NE(console.out().find("Loading VEDRA Script..."), std::string::npos);

    console.clear();
    EXPECT_EQ(load(script("", {}, {"ZUNTAlertExpire"})), 0);
    EXPECT_NE(console.err().find("Function ZUNTAlertExpire() not found\n"), std::string::npos);

    console.clear();
    EXPECT_EQ(load(script("", {}, {"ZUNTAcctQ", "ZUNTAcctMQI"})), 0);
    EXPECT_NE(console.err().find("Function ZUNTAcctMQI() not found\n"), std::string::npos);
    EXPECT_EQ(console.err().find("ZUNTAcctQ()"), std::string::npos);
    EXPECT_EQ(evEndFlag.load(), 0);

    EXPECT_EQ(load(script("end\n")), 0);
    EXPECT_EQ(evEndFlag.load(), 1);
}

TEST_F(HookTest, AMissingFileIsReportedOnStandardErrorAndAsAnError) {
    const std::string path = dir.file("none.vdr");
    EXPECT_EQ(LoadVEDRAFile(path.c_str()), 0);
    const std::string text = "Can not open file '" + path + "' errno=" + std::strerror(ENOENT) + "(2)";
    EXPECT_NE(console.err().find(text + "\n"), std::string::npos) << console.err();
    const cslOutputLine *newest = gSession.load()->screens[0].newest;
    ASSERT_NE(newest, nullptr);
    EXPECT_EQ(newest->kind, CSL_LINE_ERROR);
    EXPECT_EQ(cslLineText(newest), text);
}

constexpr int32_t kMaxDepth = 15;

TEST_F(HookTest, EventHookReadsItsRecordAndChoosesItsStreams) {
    ASSERT_EQ(load(script("@n = 0\n@id[1] = ''\n@name[1] = ''\n@cmd[1] = ''\n@type[1] = ''\n@pers[1] = ''\n",
                          {{"ZUNTEvent",
                            "@n = @n + 1\n"
                            "@id[@n] = event.eventid\n"
                            "@name[@n] = event.evobjname\n"
                            "@cmd[@n] = _dspcmd\n"
                            "@type[@n] = _streamtype\n"
                            "@pers[@n] = mqmd.pers\n"
                            "_stream = @want\n"}})),
              1);
    Record plain;
    evCFSetObjectName(plain.data(), ht::intern("APP.Q"));
    Record inquire(44, EVCF_FLAG_EVENT | EVCF_FLAG_INQUIRE);
    evCFSetEventId(inquire.data(), 0x1A2B);
    MQMD md = MQMD_DEFAULT;
    md.Persistence = MQPER_PERSISTENT;

    struct Case {
        const char *want;
        const char *streams;
    };
    const Case cases[] = {{"$NULL", ""}, {"bad name!", "$EVENTS"}, {"", "$EVENTS"}, {"A, B", "A, B"}};
    for (const Case &c : cases) {
        ExpValue v{};
        expSetString(&v, EXP_STR, const_cast<char *>(c.want), std::strlen(c.want));
        ASSERT_NE(cslSetVariable(program(), 0, 1, "@want", 5, &v), nullptr);
        std::string streams;
        EXPECT_EQ(call(STREAM_TYPE_EVENTS, plain, &streams, &md), 1);
        EXPECT_EQ(streams, c.streams) << c.want;
    }
    EXPECT_EQ(value("@id[1]"), "");
    EXPECT_EQ(value("@name[1]"), "APP.Q");
    EXPECT_EQ(value("@cmd[1]"), "0");
    EXPECT_EQ(value("@type[1]"), "1");
    EXPECT_EQ(value("@pers[1]"), "1");

    EXPECT_EQ(call(STREAM_TYPE_EVENTS, inquire), 1);
    EXPECT_EQ(value("@id[5]"), "00001A2B");
    EXPECT_EQ(value("@cmd[5]"), "1");
    EXPECT_EQ(value("@pers[5]"), "");  // no message
    // Outside a hook the record's names are empty.
    EXPECT_EQ(value("event.evobjname"), "");
    EXPECT_EQ(value("_streamtype"), "0");
}

TEST_F(HookTest, CombinedChangeKeepsItsHalvesApart) {
    ASSERT_EQ(load(script("@b = 0\n@a = 0\n@t = 0\n@top = 0\n", {{"ZUNTEvent",
                                                                  "@b = event.before.maxdepth\n"
                                                                  "@a = event.after.maxdepth\n"
                                                                  "@t = event.maxdepth\n"
                                                                  "@top = event.curdepth\n"}})),
              1)
        << console.out() << console.err();
    Record change;
    change.integer(3, 7).group(EV_GROUP_BEFORE).integer(kMaxDepth, 5000).end();
    change.group(EV_GROUP_AFTER).integer(kMaxDepth, 10000).end();
    EXPECT_EQ(call(STREAM_TYPE_EVENTS, change), 1);
    EXPECT_EQ(value("@b"), "5000");
    EXPECT_EQ(value("@a"), "10000");
    EXPECT_EQ(value("@t"), "");
    EXPECT_EQ(value("@top"), "7");
}

// A queue statistics table as the statistics register it: the command's row first.
evParmDef statRow(const char *type, const char *keyword, uint32_t id) {
    evParmDef r{};
    r.applicability = " d ";
    r.flags = "a   ";
    r.type = type;
    r.keyword = keyword;
    r.parmId = id;
    r.recordOffset = -2;
    return r;
}
evParmDef statqTable[] = {
    statRow("k", "STATQ", 9023), statRow("R", "QMGRNAME", 2015), statRow("R", "QNAME", 2016),
    statRow("i", "PUTS", 215),   statRow("a", "ALL", 1009),      evParmDef{},
};

TEST_F(HookTest, QueueStatisticsRunOncePerQueueWithTheLeadingPartInEach) {
    InitialiseCommandFields();
    ASSERT_EQ(evRegisterParmTable(9023, statqTable), 1);
    ASSERT_EQ(
        load(script("@n = 0\n@idx[1] = 0\n@type[1] = 0\n@start[1] = 0\n@qm[1] = 0\n@q[1] = 0\n@puts[1] = 0\n",
                    {{"ZUNTStatQ",
                      "@n = @n + 1\n"
                      "@idx[@n] = _idxData\n"
                      "@type[@n] = _streamtype\n"
                      "@start[@n] = data.intvlsta\n"
                      "@qm[@n] = data.qmgrname\n"
                      "@q[@n] = data.qname\n"
                      "@puts[@n] = data.puts\n"}})),
        1);
    Record stats(165, 0);
    evCFSetIntervalStart(stats.data(), 1000);
    evCFSetIntervalEnd(stats.data(), 2000);
    stats.text(2015, "QM1");
    const char *queues[] = {"A", "B", "C"};
    for (int i = 0; i < 3; i++) stats.group(7001).text(2016, queues[i]).integer(215, 10 * (i + 1)).end();
    EXPECT_EQ(call(STREAM_TYPE_STATQ, stats), 1);
    EXPECT_EQ(value("@n"), "3");
    for (int i = 1; i <= 3; i++) {
        const std::string at = "[" + std::to_string(i) + "]";
        EXPECT_EQ(value(("@idx" + at).c_str()), std::to_string(i));
        EXPECT_EQ(value(("@type" + at).c_str()), "2");
        EXPECT_EQ(value(("@start" + at).c_str()), "1000");
        EXPECT_EQ(value(("@qm" + at).c_str()), "QM1");
        EXPECT_EQ(value(("@q" + at).c_str()), queues[i - 1]);
        EXPECT_EQ(value(("@puts" + at).c_str()), std::to_string(10 * i));
    }
    EXPECT_EQ(cslLookupKeywordValue("puts", 4, 0), 1);
    EXPECT_EQ(cslLookupKeywordValue("statq", 5, 0), 0);
}

TEST_F(HookTest, OtherHooksRunOnceEachAndTheAlertHookReadsItsAlert) {
    std::vector<Body> bodies;
    for (const char *hook : {"ZUNTConnected", "ZUNTDisconnected", "ZUNTRetryConnect", "ZUNTEnding"})
        bodies.push_back({hook, std::string("@") + hook + " = @" + hook + " + 1\n"});
    bodies.push_back({"ZUNTAlertExpire", "@id = alert.eventid\n@sev = alert.severity\n"});
    std::string main;
    for (const char *hook : {"ZUNTConnected", "ZUNTDisconnected", "ZUNTRetryConnect", "ZUNTEnding"})
        main += std::string("@") + hook + " = 0\n";
    ASSERT_EQ(load(script(main + "@id = 'none'\n@sev = 0\n", bodies)), 1);
    for (int32_t kind : {EV_HOOK_CONNECTED, EV_HOOK_DISCONNECTED, EV_HOOK_RETRY, EV_HOOK_ENDING})
        EXPECT_EQ(evRunHook(kind, nullptr), 0);
    for (const char *hook : {"ZUNTConnected", "ZUNTDisconnected", "ZUNTRetryConnect", "ZUNTEnding"})
        EXPECT_EQ(value((std::string("@") + hook).c_str()), "1") << hook;

    AlertTemplate alert{};
    std::strcpy(alert.alert.category, "DISK");
    alert.alert.eventId = 0xBEEF;
    alert.alert.severity = 30;
    EXPECT_EQ(evRunHook(EV_HOOK_ALERT_EXPIRY, &alert.alert), 0);
    EXPECT_EQ(value("@id"), "0000BEEF");
    EXPECT_EQ(value("@sev"), "30");
    // A system category runs no hook.
    std::strcpy(alert.alert.category, "$STORM");
    alert.alert.eventId = 1;
    evRunHook(EV_HOOK_ALERT_EXPIRY, &alert.alert);
    EXPECT_EQ(value("@id"), "0000BEEF");
    EXPECT_EQ(gHookMessage.kind, 0);
}

TEST_F(HookTest, AStopLeftByAnEarlierHookDoesNotEndTheNext) {
    ASSERT_EQ(load(script("@n = 0\n", {{"ZUNTEvent", "@n = @n + 1\n_stream = 'MINE'\n"}})), 1);
    Record event;
    gSession.load()->stopFlag.store(1);
    program()->stopFlag = 1;
    std::string streams;
    EXPECT_EQ(call(STREAM_TYPE_EVENTS, event, &streams), 1);
    EXPECT_EQ(value("@n"), "1");
    EXPECT_EQ(streams, "MINE");
}

TEST_F(HookTest, AnEndRequestInARecordHookStillStoresTheRecord) {
    ASSERT_EQ(load(script("", {{"ZUNTEvent", "_stream = 'MINE'\nquit\n"}})), 1);
    Record event;
    std::string streams;
    EXPECT_EQ(call(STREAM_TYPE_EVENTS, event, &streams), 1);
    EXPECT_EQ(streams, "MINE");
    EXPECT_EQ(evEndFlag.load(), 1);
}

}  // namespace
