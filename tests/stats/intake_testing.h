// Statistics and accounting messages as IBM MQ writes them, built with the system's PCF builder: the
// fixtures of the intake's tests.
#pragma once

#include <cstdlib>
#include <ctime>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "mqi/mqi.h"

namespace itt {

// MQCFH Type 21 (statistics) or 22 (accounting), Version 3, MsgSeqNumber 1, Control 1; strings in
// CCSID 0, blank-padded to their MQ lengths.
class Pcf {
public:
    Pcf(int32_t type, int32_t command) : buffer_(static_cast<uint8_t *>(CSGetMem(4096))) {
        if (buffer_ == nullptr) std::abort();
        MQPCFInitHeader(buffer_, type, command);
        mqiPutI32(buffer_, 8, MQCFH_VERSION_3);
        MQPCFInitBuilder(&c_, buffer_, 4096, 1, 4096, &buffer_);
    }
    ~Pcf() { CSFreeMem(buffer_); }
    Pcf(const Pcf &) = delete;
    Pcf &operator=(const Pcf &) = delete;

    Pcf &text(int32_t id, const std::string &value, size_t padTo = 0) {
        std::string padded = value;
        if (padded.size() < padTo) padded.resize(padTo, ' ');
        MQPCFSetStringParm(&c_, MQCFT_STRING, id, padded.data(), static_cast<int32_t>(padded.size()), 0, 0,
                           &cc_, &rc_);
        return check();
    }
    Pcf &number(int32_t id, int32_t value) {
        MQPCFSetParm(&c_, MQCFT_INTEGER, id, &value, 4, 0, &cc_, &rc_);
        return check();
    }
    Pcf &list(int32_t id, const std::vector<int32_t> &values) {
        MQPCFSetParm(&c_, MQCFT_INTEGER_LIST, id, values.data(), static_cast<int32_t>(4 * values.size()), 0,
                     &cc_, &rc_);
        return check();
    }
    Pcf &list64(int32_t id, const std::vector<int64_t> &values) {
        uint8_t s[16 + 8 * 16] = {};
        size_t count = values.size() < 16 ? values.size() : 16;
        auto length = static_cast<int32_t>(16 + 8 * count);
        mqiPutI32(s, 0, MQCFT_INTEGER64_LIST);
        mqiPutI32(s, 4, length);
        mqiPutI32(s, 8, id);
        mqiPutI32(s, 12, static_cast<int32_t>(count));
        for (size_t i = 0; i < count; i++) mqiPutI64(s, 16 + 8 * i, values[i]);
        MQPCFAppendStruct(&c_, s, length, &cc_, &rc_);
        return check();
    }
    Pcf &bytes(int32_t id, const std::string &value) {
        MQPCFSetParm(&c_, MQCFT_BYTE_STRING, id, value.data(), static_cast<int32_t>(value.size()), 0, &cc_,
                     &rc_);
        return check();
    }
    Pcf &group(int32_t id) {
        MQPCFSetParm(&c_, MQCFT_GROUP, id, nullptr, 0, 0, &cc_, &rc_);
        return check();
    }
    Pcf &end() {
        MQPCFSetParm(&c_, PCF_TYPE_GROUP_END, 0, nullptr, 0, 0, &cc_, &rc_);
        return check();
    }
    // The interval every statistics and accounting message starts with.
    Pcf &interval(const std::string &qmgr) {
        if (!qmgr.empty()) text(MQCA_Q_MGR_NAME, qmgr, 48);
        return text(MQCAMO_START_DATE, "2026-01-01", 12)
            .text(MQCAMO_START_TIME, "10.00.00")
            .text(MQCAMO_END_DATE, "2026-01-01", 12)
            .text(MQCAMO_END_TIME, "11.00.00")
            .number(MQIA_COMMAND_LEVEL, 940);
    }
    // The interval from start to end (seconds since 1970, UTC).
    Pcf &interval(const std::string &qmgr, int64_t start, int64_t end) {
        auto text = [](int64_t t, char *date, char *time) {
            std::time_t at = t;
            std::tm fields{};
            gmtime_r(&at, &fields);
            std::strftime(date, 16, "%Y-%m-%d", &fields);
            std::strftime(time, 16, "%H.%M.%S", &fields);
        };
        char startDate[16], startTime[16], endDate[16], endTime[16];
        text(start, startDate, startTime);
        text(end, endDate, endTime);
        if (!qmgr.empty()) this->text(MQCA_Q_MGR_NAME, qmgr, 48);
        return this->text(MQCAMO_START_DATE, startDate, 12)
            .text(MQCAMO_START_TIME, startTime)
            .text(MQCAMO_END_DATE, endDate, 12)
            .text(MQCAMO_END_TIME, endTime)
            .number(MQIA_COMMAND_LEVEL, 940);
    }
    std::vector<uint8_t> bytes() const { return {buffer_, buffer_ + c_.position}; }

private:
    Pcf &check() {
        EXPECT_EQ(rc_, 0);
        return *this;
    }
    uint8_t *buffer_;
    PcfCursor c_{};
    int32_t cc_ = 0, rc_ = 0;
};

constexpr int64_t kStart = 1767261600;  // 2026-01-01 10:00:00 UTC
constexpr int64_t kEnd = kStart + 3600;

// Values of a queue group by MQ parameter; what is not given is 0.
using Values = std::map<int32_t, std::vector<int64_t>>;

// One queue of a queue statistics message, its 22 parameters in IBM MQ's order.
inline void statQGroup(Pcf &m, const std::string &name, Values v, int32_t unknownId = 0) {
    auto one = [&](int32_t id) { return static_cast<int32_t>(v.count(id) ? v[id][0] : 0); };
    auto two = [&](int32_t id) {
        std::vector<int64_t> x = v.count(id) ? v[id] : std::vector<int64_t>{0, 0};
        return std::vector<int32_t>(x.begin(), x.end());
    };
    auto two64 = [&](int32_t id) { return v.count(id) ? v[id] : std::vector<int64_t>{0, 0}; };
    m.group(MQGACF_Q_STATISTICS_DATA)
        .text(MQCA_Q_NAME, name, 48)
        .text(MQCA_CREATION_DATE, "2025-06-01", 12)
        .text(MQCA_CREATION_TIME, "08.00.00")
        .number(MQIA_Q_TYPE, v.count(20) ? static_cast<int32_t>(v[20][0]) : 1)
        .number(MQIA_DEFINITION_TYPE, v.count(7) ? static_cast<int32_t>(v[7][0]) : 1)
        .number(MQIAMO_Q_MIN_DEPTH, one(740))
        .number(MQIAMO_Q_MAX_DEPTH, one(739))
        .list64(MQIAMO64_AVG_Q_TIME, two64(703))
        .list(MQIAMO_PUTS, two(735))
        .number(MQIAMO_PUTS_FAILED, one(754))
        .list(MQIAMO_PUT1S, two(734))
        .number(MQIAMO_PUT1S_FAILED, one(755))
        .list64(MQIAMO64_PUT_BYTES, two64(748))
        .list(MQIAMO_GETS, two(722))
        .list64(MQIAMO64_GET_BYTES, two64(747))
        .number(MQIAMO_GETS_FAILED, one(725))
        .list(MQIAMO_BROWSES, two(705))
        .list64(MQIAMO64_BROWSE_BYTES, two64(745))
        .number(MQIAMO_BROWSES_FAILED, one(708))
        .number(MQIAMO_MSGS_NOT_QUEUED, one(759))
        .number(MQIAMO_MSGS_EXPIRED, one(758))
        .number(MQIAMO_MSGS_PURGED, one(760));
    if (unknownId != 0) m.number(unknownId, 5).list64(unknownId + 1, {6, 7});
    m.end();
}

// A queue statistics message of those queues.
inline std::vector<uint8_t> statQ(const std::string &qmgr,
                                  const std::vector<std::pair<std::string, Values>> &queues) {
    Pcf m(MQCFT_STATISTICS, MQCMD_STATISTICS_Q);
    m.interval(qmgr).number(MQIAMO_OBJECT_COUNT, static_cast<int32_t>(queues.size()));
    for (const auto &[name, values] : queues) statQGroup(m, name, values);
    return m.bytes();
}

// An MQI accounting message of an application.
inline std::vector<uint8_t> acctMQI(const std::string &appl, int32_t sequence, const std::string &connTime,
                                    const std::string &discTime) {
    Pcf m(MQCFT_ACCOUNTING, MQCMD_ACCOUNTING_MQI);
    m.interval("QM1")
        .bytes(MQBACF_CONNECTION_ID, std::string(24, 'c'))
        .number(MQIACF_SEQUENCE_NUMBER, sequence)
        .text(MQCACF_APPL_NAME, appl, 28)
        .number(MQIACF_PROCESS_ID, 77)
        .number(MQIACF_THREAD_ID, 1)
        .text(MQCACF_USER_IDENTIFIER, "mqm", 12)
        .text(MQCAMO_CONN_DATE, "2026-01-01", 12)
        .text(MQCAMO_CONN_TIME, connTime)
        .text(MQCAMO_DISC_DATE, "2026-01-01", 12)
        .text(MQCAMO_DISC_TIME, discTime)
        .number(MQIAMO_DISC_TYPE, 0)
        .text(MQCACH_CHANNEL_NAME, "", 20)
        .text(MQCACH_CONNECTION_NAME, "", 264)
        .list(MQIAMO_OPENS, {0, 2})
        .list(MQIAMO_PUTS, {3, 0});
    return m.bytes();
}

// A channel statistics message of one sender channel.
inline std::vector<uint8_t> statChl(const std::string &qmgr) {
    Pcf m(MQCFT_STATISTICS, MQCMD_STATISTICS_CHANNEL);
    m.interval(qmgr)
        .number(MQIAMO_OBJECT_COUNT, 1)
        .group(MQGACF_CHL_STATISTICS_DATA)
        .text(MQCACH_CHANNEL_NAME, "QMA.QMC", 20)
        .number(MQIACH_CHANNEL_TYPE, MQCHT_SENDER)
        .text(MQCA_REMOTE_Q_MGR_NAME, "QMC", 48)
        .text(MQCACH_CONNECTION_NAME, "host(1414)", 264)
        .number(MQIAMO_MSGS, 10)
        .list64(MQIAMO64_BYTES, {12345})
        .number(MQIAMO_NET_TIME_AVG, -5)
        .number(MQIAMO_EXIT_TIME_AVG, 7)
        .end();
    return m.bytes();
}

// An MQI statistics message of some connections and puts.
inline std::vector<uint8_t> statMQI(const std::string &qmgr) {
    Pcf m(MQCFT_STATISTICS, MQCMD_STATISTICS_MQI);
    m.interval(qmgr).number(MQIAMO_CONNS, 2).list(MQIAMO_DISCS, {1, 0, 0}).list(MQIAMO_PUTS, {4, 1});
    return m.bytes();
}

// A queue accounting message of one application and one queue.
inline std::vector<uint8_t> acctQ(const std::string &qmgr, const std::string &appl) {
    Pcf m(MQCFT_ACCOUNTING, MQCMD_ACCOUNTING_Q);
    m.interval(qmgr)
        .bytes(MQBACF_CONNECTION_ID, std::string(24, 'c'))
        .number(MQIACF_SEQUENCE_NUMBER, 0)
        .text(MQCACF_APPL_NAME, appl, 28)
        .number(MQIAMO_OBJECT_COUNT, 1)
        .group(MQGACF_Q_ACCOUNTING_DATA)
        .text(MQCA_Q_NAME, "Q1", 48)
        .number(MQIAMO_OPENS, 1)
        .list(MQIAMO_PUTS, {3, 0})
        .end();
    return m.bytes();
}

}  // namespace itt
