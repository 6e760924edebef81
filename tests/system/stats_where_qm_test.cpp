// The program on the stand-in answers WHERE and PREWHERE on the text fields of its statistics as
// the records hold them: queue and channel statistics put to the statistics queue, asked for through
// the command queue in MQSC.
#include <ctime>

#include "system.h"

namespace {

constexpr const char *kStatsQueue = "SYSTEM.ADMIN.STATISTICS.QUEUE";

// A statistics message as IBM MQ writes it, structure by structure, in this machine's byte order.
class Pcf {
public:
    explicit Pcf(int32_t command) {
        for (int32_t v : {MQCFT_STATISTICS, 36, 3, command, 1, 1, 0, 0, 0}) word(v);
    }
    Pcf &text(int32_t id, std::string value, size_t padTo = 0) {
        if (value.size() < padTo) value.resize(padTo, ' ');
        const auto length = static_cast<int32_t>(value.size());
        const int32_t size = 20 + (length + 3) / 4 * 4;
        for (int32_t v : {MQCFT_STRING, size, id, 0, length}) word(v);
        value.resize(static_cast<size_t>(size - 20), '\0');
        bytes_ += value;
        return counted();
    }
    Pcf &number(int32_t id, int32_t value) {
        for (int32_t v : {MQCFT_INTEGER, 16, id, value}) word(v);
        return counted();
    }
    Pcf &list(int32_t id, std::initializer_list<int32_t> values) {
        for (int32_t v : {MQCFT_INTEGER_LIST, 16 + 4 * static_cast<int32_t>(values.size()), id,
                          static_cast<int32_t>(values.size())})
            word(v);
        for (int32_t v : values) word(v);
        return counted();
    }
    // A group of the next n parameters.
    Pcf &group(int32_t id, int32_t n) {
        for (int32_t v : {MQCFT_GROUP, 16, id, n}) word(v);
        counted();
        inGroup_ = n;
        return *this;
    }
    const std::string &bytes() const { return bytes_; }

private:
    void word(int32_t v) { bytes_.append(reinterpret_cast<const char *>(&v), 4); }
    Pcf &counted() {
        if (inGroup_ > 0) {
            inGroup_--;
            return *this;
        }
        int32_t count = 0;
        std::memcpy(&count, bytes_.data() + 32, 4);
        count++;
        std::memcpy(bytes_.data() + 32, &count, 4);
        return *this;
    }
    std::string bytes_;
    int32_t inGroup_ = 0;
};

class StatsWhereTest : public sys::SystemTest {
protected:
    // The interval every message of the test has: ten minutes ending an hour ago, UTC.
    static void interval(Pcf &m) {
        auto format = [](int64_t t, bool date) {
            std::time_t at = t;
            std::tm fields{};
            gmtime_r(&at, &fields);
            char out[16];
            if (date)
                std::strftime(out, sizeof out, "%Y-%m-%d", &fields);
            else
                std::strftime(out, sizeof out, "%H.%M.%S", &fields);
            return std::string(out);
        };
        const int64_t end = std::time(nullptr) - 3600;
        m.text(MQCA_Q_MGR_NAME, sys::kQmgr, 48)
            .text(MQCAMO_START_DATE, format(end - 600, true), 12)
            .text(MQCAMO_START_TIME, format(end - 600, false))
            .text(MQCAMO_END_DATE, format(end, true), 12)
            .text(MQCAMO_END_TIME, format(end, false))
            .number(MQIA_COMMAND_LEVEL, 940);
    }
    void putStatistics() {
        Pcf queues(MQCMD_STATISTICS_Q);
        interval(queues);
        queues.number(MQIAMO_OBJECT_COUNT, 2);
        queues.group(MQGACF_Q_STATISTICS_DATA, 2).text(MQCA_Q_NAME, "KA.Q1", 48).list(MQIAMO_PUTS, {1, 0});
        queues.group(MQGACF_Q_STATISTICS_DATA, 2).text(MQCA_Q_NAME, "KB.Q2", 48).list(MQIAMO_PUTS, {2, 0});
        Pcf channels(MQCMD_STATISTICS_CHANNEL);
        interval(channels);
        channels.number(MQIAMO_OBJECT_COUNT, 2);
        for (const char *x : {"A", "B"}) {
            channels.group(MQGACF_CHL_STATISTICS_DATA, 5)
                .text(MQCACH_CHANNEL_NAME, std::string("TO.") + x, 20)
                .number(MQIACH_CHANNEL_TYPE, MQCHT_SENDER)
                .text(MQCA_REMOTE_Q_MGR_NAME, std::string("rqm") + x, 48)
                .text(MQCACH_CONNECTION_NAME, std::string("host") + x + "(1414)", 264)
                .number(MQIAMO_MSGS, x[0] == 'A' ? 1 : 2);
        }
        for (const Pcf *m : {&queues, &channels}) put(kStatsQueue, m->bytes(), MQFMT_ADMIN);
    }
};

TEST_F(StatsWhereTest, WhereAndPrewhereOnTextFieldsFindTheRecordsThatHoldThem) {
    auto zunt = start();
    putStatistics();
    resume({kStatsQueue});
    bool stored = false;
    for (int waited = 0; waited < 30000 && !stored; waited += 300) {
        stored = ask("DISPLAY STATCHL(*) FROM(any)").find("STATCHL(TO.B)") != std::string::npos &&
                 ask("DISPLAY STATQ(*) FROM(any)").find("STATQ(KB.Q2)") != std::string::npos;
        if (!stored) usleep(300000);
    }
    ASSERT_TRUE(stored) << zunt->out();
    struct Case {
        std::string command;
        const char *shown;
        const char *hidden;
    };
    const Case cases[] = {
        {"DISPLAY STATQ(*) FROM(any) WHERE(STATQ = 'KA.Q1')", "STATQ(KA.Q1)", "KB.Q2"},
        {"DISPLAY STATQ(*) FROM(any) PREWHERE(STATQ <> 'KA.Q1')", "STATQ(KB.Q2)", "KA.Q1"},
        {"DISPLAY STATCHL(*) FROM(any) WHERE(CONNAME = 'hostA(1414)')", "STATCHL(TO.A)", "TO.B"},
        {"DISPLAY STATCHL(*) FROM(any) PREWHERE(RQMNAME = 'rqmB')", "STATCHL(TO.B)", "TO.A"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.command);
        const std::string reply = ask(c.command);
        EXPECT_NE(reply.find(c.shown), std::string::npos) << reply;
        EXPECT_EQ(reply.find(c.hidden), std::string::npos) << reply;
    }
    stop(*zunt);
}

}  // namespace
