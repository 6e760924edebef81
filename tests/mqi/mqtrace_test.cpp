// The MQI trace: the filter of letters A and a, the exact line of each trace function with its
// connection and object tags, the console cut at 96 characters and the whole line in the log.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "mqi/mqi.h"
#include "platform/platform.h"
#include "testing/console_capture.h"
#include "testing/testing.h"

namespace {

constexpr int64_t jan1 = 1767225600;  // 2026-01-01 00:00:00 UTC

class TraceTest : public ::testing::Test {
protected:
    TraceTest() : tz_("UTC0"), clock_(jan1) {
        logClose();
        LogSettings settings = {"ZUNT", "Trace", "", 14400, 10240000, 604800, 86400};
        std::snprintf(settings.logPath, sizeof settings.logPath, "%s", dir_.path().c_str());
        logSetSettings(&settings);
        evDebugFlags.store(EV_DBG_A);
        evRunState.background.store(0);
        evRunState.qmgrEnding.store(0);
        for (auto &slot : evConnHandles) slot.store(-1);
        for (auto &slot : evTraceObjectHandles) slot.store(0);
        console_.clear();
    }
    ~TraceTest() override {
        logClose();
        evDebugFlags.store(0);
        evRunState.background.store(0);
        evRunState.qmgrEnding.store(0);
        for (auto &slot : evConnHandles) slot.store(-1);
        for (auto &slot : evTraceObjectHandles) slot.store(0);
    }

    // The thread-id field that starts every line of this thread.
    static std::string tid() {
        char text[16];
        std::snprintf(text, sizeof text, "%6d ", static_cast<int>(csThreadId()));
        return text;
    }
    std::string log() {
        logFlushIfWritten();
        std::string all;
        for (const std::string &name : dir_.list()) all += dir_.readText(name);
        return all;
    }
    static std::string hconnTag(MQHCONN hconn, uint32_t flags = 0) {
        char text[32];
        evTraceHconn(text, sizeof text, hconn, flags);
        return text;
    }
    static std::string hobjTag(MQHCONN hconn, MQHOBJ hobj) {
        char text[32];
        evTraceHobj(text, sizeof text, hconn, hobj);
        return text;
    }
    static std::string objDesc(const MQOD &od) {
        char text[256];
        size_t n = evTraceObjDesc(text, sizeof text, &od);
        EXPECT_EQ(n, std::strlen(text));
        return text;
    }

    zt::ScopedTZ tz_;
    zt::TestClock clock_;
    zt::TempDir dir_;
    zt::ConsoleCapture console_;
};

MQOD queueDescriptor(const char *name) {
    MQOD od = MQOD_DEFAULT;
    std::memset(od.ObjectName, ' ', sizeof od.ObjectName);
    std::memcpy(od.ObjectName, name, std::strlen(name));
    return od;
}

TEST_F(TraceTest, NothingIsTracedWithoutLetterAOrA) {
    evDebugFlags.store(EV_DBG_s | EV_DBG_G);
    EXPECT_FALSE(evTraceWanted(0));
    EXPECT_FALSE(evTraceWanted(EV_TRACE_CONTROL | EV_TRACE_EVENT_RC));
    evTraceCallIn("MQGET(EventQ)", 0x11, 0, 5);
    evTraceCallOut("MQCONN", 0x11, 3, 0);
    EXPECT_EQ(console_.out(), "");
    EXPECT_TRUE(dir_.list().empty());
}

TEST_F(TraceTest, LetterATracesEveryCall) {
    EXPECT_TRUE(evTraceWanted(0));
    EXPECT_TRUE(evTraceWanted(EV_TRACE_CONTROL));
    EXPECT_TRUE(evTraceWanted(EV_TRACE_CONSOLE));
}

TEST_F(TraceTest, LetterATracesControlCallsAlwaysAndDataCallsOnlyWhileTheQueueManagerIsEnding) {
    evDebugFlags.store(EV_DBG_a);
    EXPECT_FALSE(evTraceWanted(0));
    EXPECT_FALSE(evTraceWanted(EV_TRACE_SHOW_HC | EV_TRACE_CONSOLE));
    EXPECT_TRUE(evTraceWanted(EV_TRACE_CONTROL));
    EXPECT_TRUE(evTraceWanted(EV_TRACE_EVENT_RC));

    evTraceCallIn("MQGET(EventQ)", 0x11, 0, 5);
    EXPECT_EQ(console_.out(), "");
    MQOD od = queueDescriptor("SYSTEM.ADMIN.QMGR.EVENT");
    evTraceOpenIn("MQOPEN(EventQ)", 0x11, EV_TRACE_CONTROL, &od);
    EXPECT_EQ(console_.out(), tid() + "IN   HC(00000011) MQOPEN(EventQ) Q(SYSTEM.ADMIN.QMGR.EVENT) \n");

    console_.clear();
    evRunState.qmgrEnding.store(1);
    EXPECT_TRUE(evTraceWanted(0));
    evTraceCallIn("MQGET(EventQ)", 0x11, 0, 5);
    EXPECT_EQ(console_.out(), tid() + "IN   HC(00000011) MQGET(EventQ) HO(00000005) \n");
}

TEST_F(TraceTest, ConnectionTagNamesTheSetsConnectionsFirstMatchWinning) {
    EXPECT_EQ(hconnTag(0), "");
    EXPECT_EQ(hconnTag(MQHC_UNUSABLE_HCONN), "HC(        ) ");
    EXPECT_EQ(hconnTag(0x1234ABCD), "HC(1234ABCD) ");
    EXPECT_EQ(hconnTag(0x1234ABCD, EV_TRACE_CONSOLE), "HC(VEDRA   ) ");
    const char *names[] = {"HC(E_EVENT ) ", "HC(E_STATE ) ", "HC(E_STATEN) ",
                           "HC(C_EVENT ) ", "HC(C_STATE ) ", "HC(C_STATEN) "};
    for (int32_t slot = 0; slot < EV_CONN_SLOTS; ++slot) evConnHandles[slot].store(0x100 + slot);
    for (int32_t slot = 0; slot < EV_CONN_SLOTS; ++slot) {
        EXPECT_EQ(hconnTag(0x100 + slot), names[slot]);
        EXPECT_EQ(hconnTag(0x100 + slot, EV_TRACE_CONSOLE), names[slot]);
    }
    // Without a separate state queue manager the STATE connection is the EVENT connection.
    evConnHandles[EV_CONN_E_STATE].store(0x100);
    EXPECT_EQ(hconnTag(0x100), "HC(E_EVENT ) ");
}

TEST_F(TraceTest, ObjectTagNamesRegisteredHandlesOnlyOnTheirOwnConnections) {
    evConnHandles[EV_CONN_E_STATE].store(0x21);
    evConnHandles[EV_CONN_C_STATE].store(0x22);
    evConnHandles[EV_CONN_C_EVENT].store(0x23);
    evTraceObjectHandles[EV_TRACE_HO_E_STATE].store(7);
    evTraceObjectHandles[EV_TRACE_HO_C_STATE].store(8);
    evTraceObjectHandles[EV_TRACE_HO_C_CMD].store(9);
    EXPECT_EQ(hobjTag(0x21, 7), "HO(E_STATE ) ");
    EXPECT_EQ(hobjTag(0x22, 8), "HO(C_STATE ) ");
    EXPECT_EQ(hobjTag(0x23, 9), "HO(C_CMD   ) ");
    EXPECT_EQ(hobjTag(0x22, 7), "HO(00000007) ");
    EXPECT_EQ(hobjTag(0x21, 9), "HO(00000009) ");
    EXPECT_EQ(hobjTag(0x23, 0x0BADF00D), "HO(0BADF00D) ");
    evTraceObjectHandles[EV_TRACE_HO_C_CMD].store(MQHO_UNUSABLE_HOBJ);
    EXPECT_EQ(hobjTag(0x23, MQHO_UNUSABLE_HOBJ), "HO(FFFFFFFF) ");
}

TEST_F(TraceTest, ObjectDescriptionGivesTypeAndFirstWordOfTheName) {
    EXPECT_EQ(objDesc(queueDescriptor("HOLVA.ZUNT.DATA.QUEUE")), "Q(HOLVA.ZUNT.DATA.QUEUE) ");
    MQOD od = queueDescriptor("  \0 LEADING TRAILING");
    std::memcpy(od.ObjectName, "  \0 LEADING TRAILING", 20);
    EXPECT_EQ(objDesc(od), "Q(LEADING) ");
    MQOD full = MQOD_DEFAULT;
    std::memset(full.ObjectName, 'X', sizeof full.ObjectName);
    EXPECT_EQ(objDesc(full), "Q(" + std::string(48, 'X') + ") ");
    MQOD qmgr = MQOD_DEFAULT;
    qmgr.ObjectType = MQOT_Q_MGR;
    EXPECT_EQ(objDesc(qmgr), "Qmgr ");
    std::memset(qmgr.ObjectName, ' ', sizeof qmgr.ObjectName);
    EXPECT_EQ(objDesc(qmgr), "Qmgr ");
    MQOD other = queueDescriptor("MY.NAMELIST");
    other.ObjectType = MQOT_NAMELIST;
    EXPECT_EQ(objDesc(other), std::to_string(MQOT_NAMELIST) + "(MY.NAMELIST) ");
}

TEST_F(TraceTest, ObjectDescriptionPrefersTheObjectStringOfAVersion4Descriptor) {
    char topic[] = "Holva/ZUNT/Alerts";
    MQOD od = queueDescriptor("IGNORED.NAME");
    od.ObjectType = MQOT_TOPIC;
    od.ObjectString.VSPtr = topic;
    od.ObjectString.VSLength = MQVS_NULL_TERMINATED;
    EXPECT_EQ(objDesc(od), "Top(IGNORED.NAME) ");  // a version-1 descriptor has no ObjectString
    od.Version = MQOD_VERSION_4;
    EXPECT_EQ(objDesc(od), "Top(Holva/ZUNT/Alerts) ");
    od.ObjectString.VSLength = 5;
    EXPECT_EQ(objDesc(od), "Top(Holva) ");
    od.ObjectString.VSLength = 0;
    EXPECT_EQ(objDesc(od), "Top(IGNORED.NAME) ");
}

TEST_F(TraceTest, CallLinesCarryTagsLabelsAndReasons) {
    evConnHandles[EV_CONN_C_EVENT].store(0x31);
    evTraceObjectHandles[EV_TRACE_HO_C_CMD].store(4);
    evTraceCallIn("MQGET(Command)", 0x31, 0, 4);
    evTraceCallIn("MQCMIT", 0x31, 0, 0);
    evTraceCallOut("MQGET(Command)", 0x31, 0, 2033);
    evTraceCallOut("MQCONN", 0x00ABCDEF, EV_TRACE_CONTROL | EV_TRACE_SHOW_HC, 0);
    evTraceCallOut("MQDISC", 0x77, EV_TRACE_CONTROL | EV_TRACE_CONSOLE, 0);
    EXPECT_EQ(console_.out(), tid() + "IN   HC(C_EVENT ) MQGET(Command) HO(C_CMD   ) \n" + tid() +
                                  "IN   HC(C_EVENT ) MQCMIT \n" + tid() +
                                  "OUT  HC(C_EVENT ) MQGET(Command) RC(2033) \n" + tid() +
                                  "OUT  HC(00ABCDEF) MQCONN RC(0) HC(00ABCDEF) \n" + tid() +
                                  "OUT  HC(VEDRA   ) MQDISC RC(0) \n");
}

TEST_F(TraceTest, OpenLinesDescribeTheObjectAndTheReturnedHandle) {
    evConnHandles[EV_CONN_E_STATE].store(0x41);
    evTraceObjectHandles[EV_TRACE_HO_E_STATE].store(3);
    MQOD od = queueDescriptor("HOLVA.ZUNT.DATA.QUEUE");
    evTraceOpenIn("MQOPEN(Data)", 0x41, EV_TRACE_CONTROL, &od);
    evTraceOpenOut("MQOPEN(Data)", 0x41, EV_TRACE_CONTROL, &od, 3, 0);
    evTraceOpenOut("MQOPEN(Data)", 0x41, EV_TRACE_CONTROL, &od, 0, 2085);
    EXPECT_EQ(console_.out(),
              tid() + "IN   HC(E_STATE ) MQOPEN(Data) Q(HOLVA.ZUNT.DATA.QUEUE) \n" + tid() +
                  "OUT  HC(E_STATE ) MQOPEN(Data) Q(HOLVA.ZUNT.DATA.QUEUE) HO(E_STATE ) RC(0) \n" + tid() +
                  "OUT  HC(E_STATE ) MQOPEN(Data) Q(HOLVA.ZUNT.DATA.QUEUE) RC(2085) \n");
}

TEST_F(TraceTest, CallbackLinesNameTheCallTypeAndReason) {
    evConnHandles[EV_CONN_E_EVENT].store(0x51);
    MQCBC cbc = MQCBC_DEFAULT;
    const char *words[] = {"START ", "STOP  ", "REG   ", "DEREG ", "EVENT ", "REMV  ", "NREMV ", "MCEV  "};
    std::string want;
    for (MQLONG type = 1; type <= 8; ++type) {
        cbc.CallType = type;
        evTraceCallbackIn("Message", 0x51, 0, &cbc);
        want += tid() + "CIN  HC(E_EVENT ) Message " + words[type - 1] + "RC(0) \n";
    }
    cbc.CallType = 9;
    cbc.Hobj = 0x2A;
    cbc.Reason = 2009;
    evTraceCallbackIn("Event", 0x51, EV_TRACE_CONTROL | EV_TRACE_EVENT_RC, &cbc);
    want += tid() + "CIN  HC(E_EVENT ) Event HO(0000002A)     9 RC(2009) \n";
    evTraceCallbackOut("Event", 0x51, EV_TRACE_CONTROL);
    want += tid() + "COUT HC(E_EVENT ) Event \n";
    EXPECT_EQ(console_.out(), want);
}

TEST_F(TraceTest, LongLineIsCutOnTheConsoleAndWholeInTheLog) {
    std::string label = "MQPUT(" + std::string(120, 'L') + ")";
    evTraceCallIn(label.c_str(), 0x61, 0, 0);
    std::string line = tid() + "IN   HC(00000061) " + label + " ";
    ASSERT_GT(line.size(), 96u);
    EXPECT_EQ(console_.out(), line.substr(0, 93) + "...\n");
    EXPECT_NE(log().find("] " + line + "\n"), std::string::npos) << log();
}

TEST_F(TraceTest, LineOf120CharactersShows93AndThreeDotsOnTheConsole) {
    std::string line(120, 'x');
    evTraceWrite(line.c_str(), static_cast<int32_t>(line.size()));
    EXPECT_EQ(console_.out(), std::string(93, 'x') + "...\n");
    EXPECT_NE(log().find(line + "\n"), std::string::npos);
    console_.clear();
    std::string exact(96, 'y');
    evTraceWrite(exact.c_str(), -1);
    EXPECT_EQ(console_.out(), exact + "\n");
}

TEST_F(TraceTest, BackgroundWritesTheLogOnly) {
    evRunState.background.store(1);
    evTraceCallOut("MQCLOSE(EventQ)", 0x71, EV_TRACE_CONTROL, 0);
    EXPECT_EQ(console_.out(), "");
    EXPECT_NE(log().find(tid() + "OUT  HC(00000071) MQCLOSE(EventQ) RC(0) \n"), std::string::npos);
}

}  // namespace
