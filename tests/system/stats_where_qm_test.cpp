// The program on the stand-in answers WHERE and PREWHERE on the text fields of its statistics as
// the records hold them: queue and channel statistics put to the statistics queue, asked for through
// the command queue in MQSC. Sums of 32-bit counters past 2^31 and 2^32 are shown whole, in lists,
// totals and WHERE.
#include <ctime>
#include <vector>

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
    // A command, the texts its reply shows and those it must not.
    struct Case {
        std::string command;
        std::vector<std::string> shown;
        std::vector<std::string> hidden;
    };
    void expectCases(const std::vector<Case> &cases) {
        for (const Case &c : cases) {
            SCOPED_TRACE(c.command);
            const std::string reply = ask(c.command);
            for (const std::string &text : c.shown) EXPECT_NE(reply.find(text), std::string::npos) << reply;
            for (const std::string &text : c.hidden) EXPECT_EQ(reply.find(text), std::string::npos) << reply;
        }
    }
    // The interval every message of the test has: ten minutes ending an hour ago, UTC (or as given).
    static void interval(Pcf &m, int64_t end = std::time(nullptr) - 3600) {
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
    const std::vector<Case> cases = {
        {"DISPLAY STATQ(*) FROM(any) WHERE(STATQ = 'KA.Q1')", {"STATQ(KA.Q1)"}, {"KB.Q2"}},
        {"DISPLAY STATQ(*) FROM(any) PREWHERE(STATQ <> 'KA.Q1')", {"STATQ(KB.Q2)"}, {"KA.Q1"}},
        {"DISPLAY STATCHL(*) FROM(any) WHERE(CONNAME = 'hostA(1414)')", {"STATCHL(TO.A)"}, {"TO.B"}},
        {"DISPLAY STATCHL(*) FROM(any) PREWHERE(RQMNAME = 'rqmB')", {"STATCHL(TO.B)"}, {"TO.A"}},
    };
    expectCases(cases);
    stop(*zunt);
}

// An unsigned 32-bit field past 2^31 (a channel's longest network time, 50 minutes in microseconds)
// is shown and compared whole, never as a negative number.
TEST_F(StatsWhereTest, UnsignedFieldsPastTwoToThe31CompareWhole) {
    auto zunt = start();
    Pcf channels(MQCMD_STATISTICS_CHANNEL);
    interval(channels);
    channels.number(MQIAMO_OBJECT_COUNT, 2);
    channels.group(MQGACF_CHL_STATISTICS_DATA, 3)
        .text(MQCACH_CHANNEL_NAME, "TO.A", 20)
        .number(MQIACH_CHANNEL_TYPE, MQCHT_SENDER)
        .number(MQIAMO_NET_TIME_MAX, static_cast<int32_t>(3000000000u));
    channels.group(MQGACF_CHL_STATISTICS_DATA, 2)
        .text(MQCACH_CHANNEL_NAME, "TO.B", 20)
        .number(MQIAMO_NET_TIME_MAX, 5);
    put(kStatsQueue, channels.bytes(), MQFMT_ADMIN);
    resume({kStatsQueue});
    const std::string all = "DISPLAY STATCHL(*) FROM(any) NETTIMMAX";
    std::string shown;
    for (int waited = 0; waited < 30000; waited += 300) {
        if ((shown = ask(all)).find("STATCHL(TO.B)") != std::string::npos) break;
        usleep(300000);
    }
    EXPECT_NE(shown.find("NETTIMMAX(3000000000)"), std::string::npos) << shown;
    const std::vector<Case> cases = {
        {all + " WHERE(NETTIMMAX > 2147483647)", {"STATCHL(TO.A)"}, {"TO.B"}},
        {all + " PREWHERE(NETTIMMAX = 3000000000)", {"STATCHL(TO.A)"}, {"TO.B"}},
        {all + " WHERE(NETTIMMAX < 0)", {"No matching data found"}, {"STATCHL(TO."}},
    };
    expectCases(cases);
    stop(*zunt);
}

// Three 10-minute intervals of one past hour; per queue the non-persistent puts and gets of each.
struct BigCounts {
    const char *queue;
    int32_t puts;
    int32_t gets;
    int records;  // of the three that carry the counts; the others carry 0
};
constexpr BigCounts kBig[] = {
    {"Q.A", 1073741824, 0, 2},  // 2^31: once the unset value
    {"Q.B", 1073741825, 0, 2},  // 2^31 + 2: once the mixed value
    {"Q.C", 1500000000, 0, 3},  // past 2^32
    {"Q.D", 0, 2147483647, 2},  // 2^32 - 2: once -2
};

class StatsBigSumsTest : public StatsWhereTest {
protected:
    void putBig() {
        const int64_t hour = (std::time(nullptr) / 3600 - 2) * 3600;
        for (int n = 0; n < 3; n++) {
            Pcf queues(MQCMD_STATISTICS_Q);
            interval(queues, hour + (n + 1) * 600);
            queues.number(MQIAMO_OBJECT_COUNT, 4);
            for (const BigCounts &b : kBig) {
                const bool counted = n < b.records;
                queues.group(MQGACF_Q_STATISTICS_DATA, 3)
                    .text(MQCA_Q_NAME, b.queue, 48)
                    .list(MQIAMO_PUTS, {counted ? b.puts : 0, 0})
                    .list(MQIAMO_GETS, {counted ? b.gets : 0, 0});
            }
            put(kStatsQueue, queues.bytes(), MQFMT_ADMIN);
        }
    }
    // The reply once all three records of every queue are in.
    std::string waitForAll(const std::string &command) {
        std::string reply;
        for (int waited = 0; waited < 30000; waited += 300) {
            reply = ask(command);
            // Q.C counted in three records; the others in two (a queue without counts is not stored).
            if (count(reply, "RECORDS(3)") == 1 && count(reply, "RECORDS(2)") == 3) break;
            usleep(300000);
        }
        return reply;
    }
    static int count(const std::string &text, const std::string &what) {
        int n = 0;
        for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) n++;
        return n;
    }
    // The answers of one queue (or of a total): from its name to the next name.
    static std::string of(const std::string &reply, const std::string &queue) {
        const size_t at = reply.find("STATQ(" + queue + ")");
        if (at == std::string::npos) return "";
        return reply.substr(at, reply.find("STATQ(", at + 1) - at);
    }
    void expectWhole(const std::string &reply) {
        struct Row {
            const char *queue;
            const char *shown;
        };
        const Row rows[] = {
            {"Q.A", "PUT(2147483648)"},   {"Q.A", "PUTNP(2147483648)"}, {"Q.B", "PUT(2147483650)"},
            {"Q.B", "PUTNP(2147483650)"}, {"Q.C", "PUT(4500000000)"},   {"Q.C", "PUTNP(4500000000)"},
            {"Q.D", "GET(4294967294)"},
        };
        for (const Row &r : rows)
            EXPECT_NE(of(reply, r.queue).find(r.shown), std::string::npos) << r.shown << reply;
        EXPECT_EQ(reply.find("(*)"), std::string::npos) << reply;
        EXPECT_EQ(reply.find("(-"), std::string::npos) << reply;
    }
    void expectQueries() {
        const std::string base = "DISPLAY STATQ(Q.*) FROM(any) ZEROVALS(SHOW) ";
        const std::vector<Case> cases = {
            {base + "SUM(TOTAL) PUTNP PUT GET", {"PUT(8794967298)", "GET(4294967294)"}, {"(-", "(*)"}},
            {base + "SUM(TOTAL) PUT GET", {"PUT(8794967298)", "GET(4294967294)"}, {"(-", "(*)"}},
            {base + "WHERE(GET > 0)", {"STATQ(Q.D)"}, {"STATQ(Q.A)", "STATQ(Q.C)"}},
            {base + "WHERE(GET < 0)", {"No matching data found"}, {"STATQ(Q."}},
        };
        expectCases(cases);
    }
    const std::string list_ = "DISPLAY STATQ(Q.*) FROM(any) ZEROVALS(SHOW) PUTNP PUT GET RECORDS";
};

TEST_F(StatsBigSumsTest, SumsPastTwoToThe31And32AreShownWhole) {
    auto zunt = start();
    putBig();
    resume({kStatsQueue});
    const std::string reply = waitForAll(list_);
    expectWhole(reply);
    expectQueries();
    // A cut search is told in words, naming every limit met (each stored record is one of the three).
    const std::string base = "DISPLAY STATQ(Q.*) FROM(any) ";
    const std::pair<std::string, std::string> cut[] = {
        {base + "MAXRECS(2) MAXRESP(2)",
         "Responses incomplete: the search stopped after MAXRECS(2) records; more entries matched than "
         "MAXRESP(2)."},
        {base + "MAXRECS(1)", "Responses incomplete: the search stopped after MAXRECS(1) records.\n"},
    };
    for (const auto &[command, said] : cut) {
        const std::string answer = ask(command);
        EXPECT_NE(answer.find(said), std::string::npos) << command << "\n" << answer;
    }
    // Without MAXRECS the limit is the setting's.
    const std::string altered = ask("ALTER EV DEFMAXRECS(1)");
    const std::string answer = ask(base + "SUM(TOTAL)");
    EXPECT_NE(answer.find("Responses incomplete: the search stopped after DEFMAXRECS(1) records."),
              std::string::npos)
        << altered << answer;
    stop(*zunt);
}

// An hourly aggregation stores the sums whole, and a restart finds them so; WHERE compares the sums
// that its aggregated records hold.
TEST_F(StatsBigSumsTest, AnHourlyAggregationStoresTheSumsWhole) {
    auto zunt = start();
    ASSERT_NE(ask("DEFINE EVSTREAM('$STATQ') TYPE(STATQ) AGGRINT(3600) DEFAULT(YES) DISIMPLCT(YES)")
                  .find("Stream defined successfully."),
              std::string::npos);
    putBig();
    resume({kStatsQueue});
    for (int run = 0; run < 2; run++) {
        SCOPED_TRACE(run == 0 ? "as taken in" : "after a restart");
        expectWhole(waitForAll(list_));
        expectQueries();
        const std::string found = ask("DISPLAY STATQ(Q.*) FROM(any) WHERE(PUT > 4294967296)");
        EXPECT_NE(found.find("STATQ(Q.C)"), std::string::npos) << found;
        EXPECT_EQ(found.find("STATQ(Q.A)"), std::string::npos) << found;
        stop(*zunt);
        if (run == 0) zunt = start();
    }
}

}  // namespace
