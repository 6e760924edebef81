// DISPLAY STATQ end to end on a private stand-in queue manager: queue statistics messages the test
// puts are stored by the engine in "$STATQ" and answered through the command queue as MQSC and PCF.
#include <gtest/gtest.h>

#include <string>

#include "cmdserver/cmdserver.h"
#include "stats/stats.h"
#include "tests/engine/engine_qm.h"

namespace {

constexpr const char *kStatsQueue = "SYSTEM.ADMIN.STATISTICS.QUEUE";

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
    void send(const char *format, const std::string &data) {
        MQHOBJ hobj = openQueue(EV_COMMAND_QUEUE_NAME, MQOO_OUTPUT);
        MQMD md = MQMD_DEFAULT;
        std::memcpy(md.Format, format, MQ_FORMAT_LENGTH);
        qmt::setText(md.ReplyToQ, 48, "REPLY.Q");
        MQPMO pmo = MQPMO_DEFAULT;
        pmo.Options = MQPMO_NO_SYNCPOINT;
        MQLONG cc = 0, rc = 0;
        raw.MQPUT(own, hobj, &md, &pmo, static_cast<MQLONG>(data.size()), const_cast<char *>(data.data()),
                  &cc, &rc);
        EXPECT_EQ(rc, MQRC_NONE);
        closeQueue(&hobj);
    }
    std::string reply() {
        MQHOBJ hobj = openQueue("REPLY.Q", MQOO_INPUT_SHARED);
        std::string data(65536, '\0');
        MQMD md = MQMD_DEFAULT;
        MQGMO gmo = MQGMO_DEFAULT;
        gmo.Options = MQGMO_WAIT | MQGMO_NO_SYNCPOINT;
        gmo.WaitInterval = 5000;
        MQLONG length = 0, cc = 0, rc = 0;
        raw.MQGET(own, hobj, &md, &gmo, static_cast<MQLONG>(data.size()), data.data(), &length, &cc, &rc);
        closeQueue(&hobj);
        return cc == MQCC_FAILED ? std::string() : data.substr(0, static_cast<size_t>(length));
    }
};

TEST_F(StatsDisplayQmTest, StoredQueueStatisticsAreDisplayedAsMqscAndPcf) {
    putMessage(kStatsQueue, MQFMT_ADMIN, statisticsMessage("APP.Q", 5, 3));
    resumeByCommand({kStatsQueue});
    ASSERT_TRUE(et::waitFor([this] { return depth(kStatsQueue) == 0 && storedRecords() >= 1; })) << logText();
    send(MQFMT_STRING, "DISPLAY STATQ(APP.*) FROM('2026-01-01 09:00') TO('2026-01-01 11:00') ALL");
    const std::string text = reply();
    EXPECT_EQ(text.rfind("AMQ8", 0), 0u) << text;
    EXPECT_NE(text.find("STATQ(APP.Q)"), std::string::npos) << text;
    EXPECT_NE(text.find("PUT(8)"), std::string::npos) << text;

    std::string pcf(MQCFH_STRUC_LENGTH, '\0');
    MQPCFInitHeader(reinterpret_cast<uint8_t *>(pcf.data()), MQCFT_COMMAND, 9023);
    send(MQFMT_ADMIN, pcf);  // the last 24 hours hold nothing of 2026-01-01
    const std::string answer = reply();
    ASSERT_GE(answer.size(), MQCFH_STRUC_LENGTH);
    EXPECT_EQ(mqiGetI32(answer.data(), offsetof(MQCFH, Command)), 9023);
}

}  // namespace
