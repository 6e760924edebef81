// The statistics displays end to end on a private stand-in queue manager: queue statistics messages
// the test puts, and the MQI statistics and the accounting the queue manager writes itself, are stored
// by the engine in the system streams and answered through the command queue as MQSC and PCF.
#include <gtest/gtest.h>
#include <unistd.h>

#include <map>
#include <string>

#include "cmdserver/cmdserver.h"
#include "stats/stats.h"
#include "tests/engine/engine_qm.h"

namespace {

constexpr const char *kStatsQueue = "SYSTEM.ADMIN.STATISTICS.QUEUE";
constexpr const char *kAcctQueue = "SYSTEM.ADMIN.ACCOUNTING.QUEUE";

// A queue statistics message of one queue as IBM MQ writes it.
std::string statisticsMessage(const char *queue, int32_t putsNP, int32_t putsP) {
    std::string bytes(4096, '\0');
    auto *buffer = reinterpret_cast<uint8_t *>(bytes.data());
    MQPCFInitHeader(buffer, MQCFT_STATISTICS, MQCMD_STATISTICS_Q);
    mqiPutI32(buffer, 8, MQCFH_VERSION_3);
    PcfCursor c;
    MQPCFInitBuilder(&c, buffer, static_cast<int32_t>(bytes.size()), 0, 0, nullptr);
    int32_t cc = 0, rc = 0;
    auto text = [&](int32_t id, std::string value, size_t pad) {
        value.resize(pad > value.size() ? pad : value.size(), ' ');
        MQPCFSetStringParm(&c, MQCFT_STRING, id, value.data(), static_cast<int32_t>(value.size()), 0, 0, &cc,
                           &rc);
    };
    text(MQCA_Q_MGR_NAME, "QM1", 48);
    text(MQCAMO_START_DATE, "2026-01-01", 12);
    text(MQCAMO_START_TIME, "10.00.00", 8);
    text(MQCAMO_END_DATE, "2026-01-01", 12);
    text(MQCAMO_END_TIME, "10.30.00", 8);
    const int32_t level = 940;
    MQPCFSetParm(&c, MQCFT_INTEGER, MQIA_COMMAND_LEVEL, &level, 4, 0, &cc, &rc);
    MQPCFSetParm(&c, MQCFT_GROUP, MQGACF_Q_STATISTICS_DATA, nullptr, 0, 0, &cc, &rc);
    text(MQCA_Q_NAME, queue, 48);
    const int32_t puts[2] = {putsNP, putsP};
    MQPCFSetParm(&c, MQCFT_INTEGER_LIST, MQIAMO_PUTS, puts, 8, 0, &cc, &rc);
    MQPCFSetParm(&c, PCF_TYPE_GROUP_END, 0, nullptr, 0, 0, &cc, &rc);
    bytes.resize(static_cast<size_t>(c.position));
    return bytes;
}

class StatsDisplayQmTest : public eqm::EngineQmTest {
protected:
    void SetUp() override {
        eqm::EngineQmTest::SetUp();
        ASSERT_EQ(statsInstall(), 1);
        InitialiseCommandFields();
        cmdInstall();
        ASSERT_EQ(qm.mqsc("DEFINE QLOCAL(REPLY.Q)\n"), 0);
        ASSERT_EQ(connect(), 1) << logText();
    }
};

TEST_F(StatsDisplayQmTest, StoredQueueStatisticsAreDisplayedAsMqscAndPcf) {
    putMessage(kStatsQueue, MQFMT_ADMIN, statisticsMessage("APP.Q", 5, 3));
    resumeByCommand({kStatsQueue});
    ASSERT_TRUE(et::waitFor([this] { return depth(kStatsQueue) == 0 && storedRecords() >= 1; })) << logText();
    sendCommand(MQFMT_STRING, "DISPLAY STATQ(APP.*) FROM('2026-01-01 09:00') TO('2026-01-01 11:00') ALL");
    const std::string text = replyText();
    EXPECT_EQ(text.rfind("AMQ8", 0), 0u) << text;
    EXPECT_NE(text.find("STATQ(APP.Q)"), std::string::npos) << text;
    EXPECT_NE(text.find("PUT(8)"), std::string::npos) << text;

    std::string pcf(MQCFH_STRUC_LENGTH, '\0');
    MQPCFInitHeader(reinterpret_cast<uint8_t *>(pcf.data()), MQCFT_COMMAND, 9023);
    sendCommand(MQFMT_ADMIN, pcf);  // the last 24 hours hold nothing of 2026-01-01
    const std::string answer = replyText();
    ASSERT_GE(answer.size(), MQCFH_STRUC_LENGTH);
    EXPECT_EQ(mqiGetI32(answer.data(), offsetof(MQCFH, Command)), 9023);
}

// The parameters of a PCF reply, by identifier: integers as their decimal text, strings as they are.
std::map<int32_t, std::string> parameters(std::string reply) {
    std::map<int32_t, std::string> out;
    PcfCursor c;
    MQPCFInitParser(&c, reinterpret_cast<uint8_t *>(reply.data()), static_cast<int32_t>(reply.size()), 0);
    for (;;) {
        int32_t type = 0, id = 0, length = 0, count = 0, cc = 0, rc = 0;
        void *value = nullptr;
        MQPCFGetNextParm(&c, &type, &id, &value, &length, &count, &cc, &rc);
        if (cc == MQCC_FAILED) break;
        if (type == MQCFT_INTEGER) out[id] = std::to_string(mqiGetI32(value, 0));
        if (type == MQCFT_INTEGER64) out[id] = std::to_string(mqiGetI64(value, 0));
        if (type == MQCFT_STRING)
            out[id] = std::string(static_cast<const char *>(value), static_cast<size_t>(length));
    }
    return out;
}

TEST_F(StatsDisplayQmTest, TheQueueManagersMqiStatisticsAndAccountingAreDisplayed) {
    ASSERT_EQ(qm.mqsc("ALTER QMGR STATMQI(ON) ACCTMQI(ON) ACCTQ(ON)\nDEFINE QLOCAL(APP.Q)\n"), 0);
    // A connection made now is accounted for when it ends: three puts to APP.Q.
    MQHCONN app = connectTo("QM1");
    MQHOBJ hobj = openQueue("APP.Q", MQOO_OUTPUT, nullptr, app);
    for (int i = 0; i < 3; i++) {
        MQMD md = MQMD_DEFAULT;
        MQPMO pmo = MQPMO_DEFAULT;
        pmo.Options = MQPMO_NO_SYNCPOINT;
        char data[] = "m";
        MQLONG cc = 0, rc = 0;
        raw.MQPUT(app, hobj, &md, &pmo, 1, data, &cc, &rc);
        ASSERT_EQ(rc, MQRC_NONE);
    }
    closeQueue(&hobj, app);
    MQLONG cc = 0, rc = 0;
    raw.MQDISC(&app, &cc, &rc);
    ASSERT_EQ(qm.mqsc("RESET QMGR TYPE(STATISTICS)\n"), 0);
    resumeByCommand({kStatsQueue, kAcctQueue});
    ASSERT_TRUE(et::waitFor([this] {
        return depth(kStatsQueue) == 0 && depth(kAcctQueue) == 0 && storedRecords() >= 3;
    })) << logText();

    // Only this process's accounted connection has its id.
    const std::string pid = std::to_string(getpid());
    struct Case {
        std::string mqsc;
        std::vector<std::string> shown;
    };
    const Case cases[] = {
        {"DISPLAY STATMQI(*) ALL", {"STATMQI($STATMQI)", "EVQMGR(QM1)", "CMDLEVEL("}},
        {"DISPLAY ACCTMQI(*) PID(" + pid + ") ALL", {"PID(" + pid + ")", "ALLPUT(3)", "RECORDS(1)"}},
        {"DISPLAY ACCTQ(APP.Q) PID(" + pid + ") ALL", {"ACCTQ(APP.Q)", "EVSTREAM($ACCTQ)", "PUT(3)"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.mqsc);
        sendCommand(MQFMT_STRING, c.mqsc);
        const std::string text = replyText();
        EXPECT_EQ(text.rfind("AMQ8409", 0), 0u) << text;
        for (const std::string &part : c.shown)
            EXPECT_NE(text.find(part), std::string::npos) << part << "\n" << text;
    }

    // The same over PCF (the default attributes): the MQI statistics count at least these puts, the
    // accounting exactly them.
    std::string pcf(4096, '\0');
    auto *buffer = reinterpret_cast<uint8_t *>(pcf.data());
    const struct {
        int32_t command;
        int32_t object;  // the object filter, or 0
        bool exact;
    } asks[] = {{9025, 0, false}, {9027, 3024, true}, {9026, 2016, true}};
    for (const auto &ask : asks) {
        SCOPED_TRACE(ask.command);
        MQPCFInitHeader(buffer, MQCFT_COMMAND, ask.command);
        PcfCursor b;
        MQPCFInitBuilder(&b, buffer, static_cast<int32_t>(pcf.size()), 0, 0, nullptr);
        if (ask.object == 2016) MQPCFSetParm(&b, MQCFT_STRING, 2016, "APP.Q", 5, 0, &cc, &rc);
        if (ask.object != 0) {
            const int32_t id = getpid();
            MQPCFSetParm(&b, MQCFT_INTEGER, 1024, &id, 4, 0, &cc, &rc);
        }
        sendCommand(MQFMT_ADMIN, pcf.substr(0, static_cast<size_t>(b.position)));
        std::map<int32_t, std::string> got = parameters(replyText());
        ASSERT_TRUE(got.count(31038)) << logText();  // ALLPUT
        if (ask.exact) {
            EXPECT_EQ(got[31038], "3");
        } else {
            EXPECT_GE(std::stoll(got[31038]), 3);
        }
    }
}

}  // namespace
