// PCF dumps: the exact lines of each parameter type, the failures, and the header alone without
// debug letter d.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "mqi/mempool.h"
#include "mqi/mqi.h"
#include "testing/testing.h"

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

namespace {

// A compressed record written with the record writer.
struct CfRecord {
    MemStringPool mp;
    std::vector<uint8_t> buf = std::vector<uint8_t>(4096);
    evCFWriter w{};
    CfRecord(uint16_t command, uint32_t reason) {
        evCFWriterInit(&w, buf.data(), static_cast<uint32_t>(buf.size()), &mp.pool, 850);
        evCFSetCommand(buf.data(), command);
        evCFSetReason(buf.data(), reason);
    }
    CfRecord &add(int32_t type, int32_t id, int64_t value = 0, const void *data = nullptr, int32_t length = 0,
                  int32_t count = 0) {
        evCFItem it{};
        it.type = type;
        it.parmId = id;
        it.value = value;
        it.data = data;
        it.length = length;
        it.count = count;
        it.ccsid = 850;
        int32_t cc = 0, rc = 0;
        evCFAddParm(&w, &it, &cc, &rc);
        EXPECT_EQ(cc, 0) << rc;
        return *this;
    }
    CfRecord &flush() {
        EXPECT_EQ(evCFFlushPending(&w), 0);
        return *this;
    }
};

}  // namespace

TEST_F(DumpTest, CompressedRecordLinesOfEveryItemType) {
    zt::ScopedTZ utc("UTC");
    CfRecord r(44, 2222);
    evCFSetObjectName(r.buf.data(), 7);
    int32_t list[] = {1, 2};
    r.add(MQCFT_INTEGER, 15, 5000)
        .add(MQCFT_STRING, 2016, 0, "APP.Q", 5)
        .add(MQCFT_INTEGER_LIST, 1002, 0, list, 8, 2);
    r.add(MQCFT_INTEGER64, 745, 123456789012345).add(MQCFT_BYTE_STRING, 7001, 0, "\x01", 1);
    r.add(MQCFT_GROUP, 8001).add(EVCF_INT_UNSET, 35).add(EVCF_INT_MIXED, 36).add(EVCF_INT64_UNSET, 745);
    r.add(EVCF_INT64_MIXED, 745).add(EVCF_STRING_MIXED, 2013).add(PCF_TYPE_GROUP_END, 8001);
    r.add(MQCFT_STRING, 2027, 0, "2026-12-07", 10).add(MQCFT_STRING, 2028, 0, "06.45.00", 8).flush();
    evDumpPCF(&r.mp.pool, "Test", EV_DUMP_PARMS, r.buf.data(), r.w.length);
    std::vector<std::string> expected = {
        "\nPCF Test Length: " + std::to_string(r.w.length) +
            " Command:'Q mgr event' Reason:'Q mgr active' Object:7 Parms:7",
        "MQIA_MAX_Q_DEPTH               5000",
        "MQCA_Q_NAME                    String Id: 1",
        "MQIACF_Q_ATTRS                 1,2",
        "MQIAMO64_BROWSE_BYTES          123456789012345",
        "MQBACF_EVENT_ACCOUNTING_TOKEN  Not done bytes yet!",
        "*** Group *** MQGACF_COMMAND_CONTEXT         Parms:5",
        "<Integer No Value>",
        "<Integer Multiple Values>",
        "<Int64 No Value>",
        "<Int64 Multiple Values>",
        "<String Multiple Values>",
        "*** Group End ***",
        "MQCA_ALTERATION_DATE           Mon Dec  7 06:45:00 2026",
    };
    EXPECT_EQ(gLines, expected);
}

TEST_F(DumpTest, CompressedRecordOptionsPrefixAddressAndType) {
    evDebugFlags.store(flags_ & ~EV_DBG_d);
    CfRecord r(44, 2222);
    r.add(MQCFT_INTEGER, 15, 5000).add(MQCFT_INTEGER, 20, 1);
    evDumpPCF(&r.mp.pool, "X", 0, r.buf.data(), r.w.length);
    EXPECT_EQ(gLines.size(), 1u);  // no parameter lines without d or option 1
    gLines.clear();
    evDumpPCF(&r.mp.pool, "X", EV_DUMP_PARMS | EV_DUMP_TYPE | EV_DUMP_ADDRESS, r.buf.data(), r.w.length);
    ASSERT_EQ(gLines.size(), 3u);
    char first[64], second[64];
    std::snprintf(first, sizeof first, "@%p (+%6d) ", static_cast<const void *>(r.buf.data() + 32), 32);
    std::snprintf(second, sizeof second, "@%p (+%6d) ", static_cast<const void *>(r.buf.data() + 35),
                  35);  // 5000 takes 3 bytes
    EXPECT_EQ(gLines[1], std::string(first) + "Type(  3) MQIA_MAX_Q_DEPTH               5000");
    EXPECT_EQ(gLines[2], std::string(second) + "Type(  3) MQIA_Q_TYPE                    1");
}

TEST_F(DumpTest, CompressedRecordFailures) {
    uint8_t tiny[31] = {};
    evDumpPCF(nullptr, "X", EV_DUMP_PARMS, tiny, sizeof tiny);
    ASSERT_EQ(gLines.size(), 1u);
    EXPECT_EQ(gLines[0], "evDumpPCF failed 2071 Storage not available");

    gLines.clear();
    CfRecord r(44, 2222);
    r.add(MQCFT_INTEGER, 15, 5000).add(MQCFT_INTEGER_FILTER, 20, 1, nullptr, 0, 1);
    evDumpPCF(&r.mp.pool, "X", EV_DUMP_PARMS, r.buf.data(), r.w.length);
    ASSERT_EQ(gLines.size(), 3u);
    EXPECT_EQ(gLines[2], "Parameters failed 3001 Cfh type error");  // a filter has no dump line

    gLines.clear();
    evDumpPCF(&r.mp.pool, "X", EV_DUMP_PARMS, r.buf.data(), 34);  // the first item cut short
    ASSERT_EQ(gLines.size(), 2u);
    EXPECT_EQ(gLines[1].rfind("Parameters failed ", 0), 0u);
}
