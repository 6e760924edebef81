// PCF dumps: the exact lines of each parameter type, the failures, and the header alone without
// debug letter d.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "mqi/mqi.h"

namespace {

std::vector<std::string> gLines;

void capture(const char *line, int32_t length) {
    gLines.emplace_back(line, static_cast<size_t>(length));
}

class DumpTest : public ::testing::Test {
protected:
    void SetUp() override {
        gLines.clear();
        previous_ = evSetDumpSink(capture);
        flags_ = evDebugFlags.load();
        evDebugFlags.store(flags_ | EV_DBG_d);
    }
    void TearDown() override {
        evSetDumpSink(previous_);
        evDebugFlags.store(flags_);
    }
    evDumpSink previous_ = nullptr;
    uint32_t flags_ = 0;
};

// A PCF message built with the PCF builder.
struct Message {
    uint8_t *buffer = nullptr;
    PcfCursor cursor{};
    Message(int32_t command, int32_t reason) {
        buffer = static_cast<uint8_t *>(CSGetMem(4096));
        MQPCFInitHeader(buffer, MQCFT_EVENT, command);
        mqiPutI32(buffer, 28, reason);
        MQPCFInitBuilder(&cursor, buffer, 4096, 0, 0, nullptr);
    }
    ~Message() { CSFreeMem(buffer); }
    Message(const Message &) = delete;
    Message &operator=(const Message &) = delete;
    void add(int32_t type, int32_t id, const void *value, int32_t length, int32_t extra = 0) {
        int32_t cc = 0, rc = 0;
        MQPCFSetParm(&cursor, type, id, value, length, extra, &cc, &rc);
        ASSERT_EQ(cc, 0) << rc;
    }
    int32_t length() const { return cursor.position; }
};

}  // namespace

TEST_F(DumpTest, PrintsEachParameterType) {
    Message m(45, 2224);
    int32_t depth = 5000;
    int64_t big = 123456789012345;
    int32_t list[] = {1, 2, 3};
    m.add(MQCFT_INTEGER, 15, &depth, 4);
    m.add(MQCFT_STRING, 2016, "APP.Q", 5);
    m.add(MQCFT_INTEGER_LIST, 1002, list, 12);
    m.add(MQCFT_INTEGER64, 745, &big, 8);
    m.add(MQCFT_STRING_LIST, 3065, "AB  CD  ", 8, 4);
    m.add(MQCFT_BYTE_STRING, 7001, "\x01\x02", 2);
    m.add(MQCFT_GROUP, 8001, nullptr, 0);
    m.add(MQCFT_INTEGER, 1021, &depth, 4);
    m.add(PCF_TYPE_GROUP_END, 8001, nullptr, 0);
    DumpPCF(m.buffer, m.length());
    std::vector<std::string> expected = {
        "\nPCF Source Length: " + std::to_string(m.length()) +
            " Command:'Perfm event' Reason:'Q depth high' Parms:7",
        "MQIA_MAX_Q_DEPTH               5000",
        "MQCA_Q_NAME                    APP.Q",
        "MQIACF_Q_ATTRS                 1,2,3",
        "MQIAMO64_BROWSE_BYTES          123456789012345",
        "MQCACF_PRINCIPAL_ENTITY_NAMES  'AB  CD  '",
        "MQBACF_EVENT_ACCOUNTING_TOKEN  Not done bytes yet!",
        "*** Group *** MQGACF_COMMAND_CONTEXT        ",
        "MQIACF_COMMAND                 5000",
        "*** Group End ***",
    };
    EXPECT_EQ(gLines, expected);
}

TEST_F(DumpTest, HeaderOnlyWithoutDebugLetterAndNumbersForUnknownCodes) {
    evDebugFlags.store(flags_ & ~EV_DBG_d);
    Message m(9999, 99999);
    int32_t v = 1;
    m.add(MQCFT_INTEGER, 15, &v, 4);
    DumpPCF(m.buffer, m.length());
    ASSERT_EQ(gLines.size(), 1u);
    EXPECT_EQ(gLines[0], "\nPCF Source Length: 52 Command:9999 Reason:99999 Parms:1");
}

TEST_F(DumpTest, ReportsShortMessagesAndDamagedParameters) {
    uint8_t tiny[20] = {};
    DumpPCF(tiny, sizeof tiny);
    ASSERT_EQ(gLines.size(), 1u);
    EXPECT_EQ(gLines[0], "DumpPCF failed 2071 Storage not available");

    gLines.clear();
    Message m(44, 2224);
    int32_t v = 7;
    m.add(MQCFT_INTEGER, 15, &v, 4);
    mqiPutI32(m.buffer, 32, 2);         // claims a second parameter
    DumpPCF(m.buffer, m.length() + 8);  // eight bytes of zeros behind the first
    ASSERT_EQ(gLines.size(), 3u);
    EXPECT_EQ(gLines[1], "MQIA_MAX_Q_DEPTH               7");
    EXPECT_EQ(gLines[2].rfind("Parameters failed ", 0), 0u) << gLines[2];
}
