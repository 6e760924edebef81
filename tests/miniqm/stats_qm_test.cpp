// Statistics and accounting messages: written at the end of each interval, at RESET QMGR
// TYPE(STATISTICS) and when a connection ends, read with the system's PCF parser.
#include <chrono>
#include <map>

#include "miniqm/pcf_read.h"

using namespace qmt;

namespace {

// The parameters every statistics and accounting message begins with.
void expectIntervalHeader(const Pcf &m, const std::string &qmgr) {
    ASSERT_GE(m.parms.size(), 6u);
    const int32_t ids[] = {2015, 2711, 2712, 2707, 2708, 31};
    const int32_t lengths[] = {48, 10, 8, 10, 8, 0};
    for (size_t i = 0; i < 6; ++i) {
        EXPECT_EQ(m.parms[i].id, ids[i]);
        if (lengths[i]) {
            EXPECT_EQ(m.parms[i].length, lengths[i]) << ids[i];
        }
    }
    EXPECT_EQ(m.text(MQCA_Q_MGR_NAME), qmgr);
    EXPECT_EQ(m.integer(MQIA_COMMAND_LEVEL), 940);
    EXPECT_EQ(text(m.md.Format, 8), "MQADMIN");
    EXPECT_EQ(m.md.MsgType, MQMT_DATAGRAM);
    EXPECT_EQ(m.md.PutApplType, MQAT_QMGR);
    EXPECT_EQ(m.version, MQCFH_VERSION_3);
    EXPECT_EQ(m.compCode, MQCC_OK);
    EXPECT_EQ(m.status, PCF_END_OF_MESSAGE);
}

// One queue's totals over the statistics messages read so far.
struct QueueTotals {
    int64_t puts[2] = {}, put1s[2] = {}, putBytes[2] = {}, gets[2] = {}, getBytes[2] = {};
};

void add(int64_t (&to)[2], const Parm &p) {
    ASSERT_EQ(p.values.size(), 2u) << p.id;
    to[0] += p.values[0];
    to[1] += p.values[1];
}

// The groups of one queue statistics message, checked for IBM MQ's shape and added up by queue.
void addGroups(const Pcf &m, std::map<std::string, QueueTotals> &totals) {
    const std::vector<int32_t> groupIds = {2016, 2004, 2005, 20,  7,   740, 739, 703, 735, 754, 734,
                                           755,  748,  722,  747, 725, 705, 745, 708, 759, 758, 760};
    std::vector<int32_t> top = m.ids();
    ASSERT_GE(top.size(), 7u);
    EXPECT_EQ(top[6], MQIAMO_OBJECT_COUNT);
    size_t groups = 0;
    std::string name;
    for (const Parm &p : m.parms) {
        if (p.type == MQCFT_GROUP) {
            EXPECT_EQ(p.id, MQGACF_Q_STATISTICS_DATA);
            ++groups;
            continue;
        }
        if (p.group != MQGACF_Q_STATISTICS_DATA) continue;
        switch (p.id) {
            case MQCA_Q_NAME:
                name = p.text;
                EXPECT_EQ(p.length, 48);
                break;
            case MQCA_CREATION_DATE:
                EXPECT_EQ(p.length, 12);
                break;
            case MQIAMO_PUTS:
                add(totals[name].puts, p);
                break;
            case MQIAMO_PUT1S:
                add(totals[name].put1s, p);
                break;
            case MQIAMO64_PUT_BYTES:
                EXPECT_EQ(p.type, MQCFT_INTEGER64_LIST);
                add(totals[name].putBytes, p);
                break;
            case MQIAMO_GETS:
                add(totals[name].gets, p);
                break;
            case MQIAMO64_GET_BYTES:
                add(totals[name].getBytes, p);
                break;
            default:
                break;
        }
    }
    EXPECT_EQ(static_cast<size_t>(m.integer(MQIAMO_OBJECT_COUNT)), groups);
    EXPECT_EQ(m.ids(MQGACF_Q_STATISTICS_DATA).size(), groups * groupIds.size());
    if (groups > 0) {
        std::vector<int32_t> first = m.ids(MQGACF_Q_STATISTICS_DATA);
        EXPECT_EQ(std::vector<int32_t>(first.begin(), first.begin() + 22), groupIds);
    }
}

class Statistics : public QmTest {};

MQMD persistentMd() {
    MQMD md = MQMD_DEFAULT;
    md.Persistence = MQPER_PERSISTENT;
    return md;
}

}  // namespace

// Every STATINT seconds a queue statistics message of the queues used in the interval: two busy
// queues are reported with their counts split by persistence; an idle one is not.
TEST_F(Statistics, QueueStatisticsEveryIntervalOfTheQueuesUsed) {
    define(
        "DEFINE QLOCAL(BUSY.A) STATQ(ON)\nDEFINE QLOCAL(BUSY.B) STATQ(ON)\nDEFINE QLOCAL(IDLE.Q) STATQ(ON)\n"
        "ALTER QMGR STATINT(1)");
    MQHOBJ a = open(h, "BUSY.A", MQOO_OUTPUT | MQOO_INPUT_SHARED);
    MQHOBJ b = open(h, "BUSY.B", MQOO_OUTPUT);
    MQMD md = persistentMd();
    ASSERT_RC(put(h, a, "12345"), MQCC_OK, MQRC_NONE);
    ASSERT_RC(put(h, a, "12345"), MQCC_OK, MQRC_NONE);
    ASSERT_RC(put(h, a, "0123456789", MQPMO_NO_SYNCPOINT, &md), MQCC_OK, MQRC_NONE);
    ASSERT_RC(get(h, a, nullptr), MQCC_OK, MQRC_NONE);
    ASSERT_RC(put(h, b, "abc"), MQCC_OK, MQRC_NONE);
    MQOD od = MQOD_DEFAULT;
    setText(od.ObjectName, 48, "BUSY.B");
    MQMD md1 = persistentMd();
    MQPMO pmo = MQPMO_DEFAULT;
    Rc r;
    MQPUT1(h, &od, &md1, &pmo, 4, const_cast<char *>("wxyz"), &r.cc, &r.reason);
    ASSERT_RC(r, MQCC_OK, MQRC_NONE);
    MQCLOSE(h, &a, MQCO_NONE, &r.cc, &r.reason);
    MQCLOSE(h, &b, MQCO_NONE, &r.cc, &r.reason);

    // The activity may fall into one interval or two: the counts are added up.
    std::map<std::string, QueueTotals> totals;
    MQHOBJ stats = open(h, "SYSTEM.ADMIN.STATISTICS.QUEUE", MQOO_INPUT_SHARED);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(6);
    while (std::chrono::steady_clock::now() < deadline &&
           (totals["BUSY.A"].gets[0] == 0 || totals["BUSY.B"].put1s[1] == 0)) {
        MQMD smd = MQMD_DEFAULT;
        std::string data;
        if (get(h, stats, &data, MQGMO_WAIT, &smd, 1 << 20, nullptr, 5000).cc != MQCC_OK) break;
        Pcf m = decodePcf(smd, data);
        EXPECT_EQ(m.type, MQCFT_STATISTICS);
        EXPECT_EQ(m.command, MQCMD_STATISTICS_Q);
        expectIntervalHeader(m, qm.name());
        addGroups(m, totals);
    }
    EXPECT_EQ(totals.count("IDLE.Q"), 0u);
    const QueueTotals &ta = totals["BUSY.A"], &tb = totals["BUSY.B"];
    EXPECT_EQ(ta.puts[0], 2);
    EXPECT_EQ(ta.puts[1], 1);
    EXPECT_EQ(ta.putBytes[0], 10);
    EXPECT_EQ(ta.putBytes[1], 10);
    EXPECT_EQ(ta.gets[0], 1);
    EXPECT_EQ(ta.getBytes[0], 5);
    EXPECT_EQ(ta.gets[1], 0);
    EXPECT_EQ(tb.puts[0], 1);
    EXPECT_EQ(tb.put1s[1], 1);
    EXPECT_EQ(tb.putBytes[0], 3);
    EXPECT_EQ(tb.putBytes[1], 4);
}

// RESET QMGR TYPE(STATISTICS) writes the interval so far at once; more than 100 queues take a
// second message, the first marked as not the last. The command server's waits for requests are
// not counted as failed gets.
TEST_F(Statistics, ResetQmgrWritesStatisticsAtOnceAHundredQueuesAMessage) {
    std::string script = "ALTER QMGR STATMQI(ON) STATQ(ON)\n";
    for (int i = 0; i < 101; ++i) script += "DEFINE QLOCAL(MANY." + std::to_string(i) + ")\n";
    define(script);
    for (int i = 0; i < 101; ++i) {
        MQHOBJ o = open(h, "MANY." + std::to_string(i), MQOO_OUTPUT);
        ASSERT_RC(put(h, o, "m"), MQCC_OK, MQRC_NONE);
        Rc r;
        MQCLOSE(h, &o, MQCO_NONE, &r.cc, &r.reason);
    }
    usleep(300 * 1000);  // the command server waits for requests a few times meanwhile
    define("RESET QMGR TYPE(STATISTICS)");
    std::vector<Pcf> got = drainPcf(h, "SYSTEM.ADMIN.STATISTICS.QUEUE");
    ASSERT_EQ(got.size(), 3u);
    const Pcf &mqi = got[0];
    EXPECT_EQ(mqi.command, MQCMD_STATISTICS_MQI);
    expectIntervalHeader(mqi, qm.name());
    std::vector<int32_t> ids = mqi.ids();
    EXPECT_EQ(std::vector<int32_t>(ids.begin() + 6, ids.begin() + 11),
              (std::vector<int32_t>{712, 749, 713, 714, 733}));
    EXPECT_EQ(mqi.list(MQIAMO_DISCS).size(), 3u);
    std::vector<int64_t> opens = mqi.list(MQIAMO_OPENS);
    ASSERT_EQ(opens.size(), 13u);  // by object type
    EXPECT_GE(opens[MQOT_Q], 101);
    EXPECT_EQ(mqi.list(MQIAMO_PUTS), (std::vector<int64_t>{101, 0}));
    EXPECT_EQ(mqi.integer(MQIAMO_GETS_FAILED), 0);  // its waits are no failed gets
    for (size_t i = 1; i < 3; ++i) {
        EXPECT_EQ(got[i].command, MQCMD_STATISTICS_Q);
        EXPECT_EQ(got[i].seq, static_cast<MQLONG>(i));
        EXPECT_EQ(got[i].control, i == 2 ? MQCFC_LAST : MQCFC_NOT_LAST);
    }
    // SYSTEM.ADMIN.STATISTICS.QUEUE itself was not open in the interval.
    EXPECT_EQ(got[1].integer(MQIAMO_OBJECT_COUNT), 100);
    EXPECT_EQ(got[2].integer(MQIAMO_OBJECT_COUNT), 1);
}

// Accounting: a connection's MQI record and its queues' record when it disconnects; the MQCNO
// may turn it off only where ACCTCONO allows.
TEST_F(Statistics, AccountingAtDisconnectAndTheConnectionOverride) {
    define("ALTER QMGR ACCTMQI(ON) ACCTQ(ON)\nDEFINE QLOCAL(ACCT.Q)");
    auto session = [&](MQLONG cnoOptions) {
        MQCHAR48 name;
        setText(name, 48, qm.name());
        MQCNO cno = MQCNO_DEFAULT;
        cno.Version = MQCNO_VERSION_7;
        cno.Options = cnoOptions;
        setText(cno.ApplName, 28, "ACCT.APP");
        MQHCONN c = MQHC_UNUSABLE_HCONN;
        Rc r;
        MQCONNX(name, &cno, &c, &r.cc, &r.reason);
        EXPECT_RC(r, MQCC_OK, MQRC_NONE);
        MQHOBJ o = open(c, "ACCT.Q", MQOO_OUTPUT);
        for (int i = 0; i < 3; ++i) EXPECT_RC(put(c, o, "acct"), MQCC_OK, MQRC_NONE);
        MQCLOSE(c, &o, MQCO_NONE, &r.cc, &r.reason);
        MQDISC(&c, &r.cc, &r.reason);
        return drainPcf(h, "SYSTEM.ADMIN.ACCOUNTING.QUEUE");
    };
    std::vector<Pcf> got = session(MQCNO_ACCOUNTING_MQI_DISABLED);  // ACCTCONO(DISABLED): no effect
    ASSERT_EQ(got.size(), 2u);
    const Pcf &mqi = got[0];
    EXPECT_EQ(mqi.type, MQCFT_ACCOUNTING);
    EXPECT_EQ(mqi.command, MQCMD_ACCOUNTING_MQI);
    expectIntervalHeader(mqi, qm.name());
    std::vector<int32_t> ids = mqi.ids();
    const std::vector<int32_t> identity = {7006, 1079, 3024, 1024, 1025, 3025, 2703, 2704, 2705, 2706, 716};
    EXPECT_EQ(std::vector<int32_t>(ids.begin() + 6, ids.begin() + 17), identity);
    EXPECT_EQ(mqi.text(MQCACF_APPL_NAME), "ACCT.APP");
    EXPECT_EQ(mqi.integer(MQIACF_PROCESS_ID), getpid());
    EXPECT_EQ(mqi.integer(MQIAMO_DISC_TYPE), MQDISCONNECT_NORMAL);
    EXPECT_EQ(mqi.list(MQIAMO_PUTS), (std::vector<int64_t>{3, 0}));
    EXPECT_EQ(mqi.list(MQIAMO_OPENS)[MQOT_Q], 1);
    const Pcf &queues = got[1];
    EXPECT_EQ(queues.command, MQCMD_ACCOUNTING_Q);
    EXPECT_EQ(queues.text(MQCACF_APPL_NAME), "ACCT.APP");
    EXPECT_EQ(queues.integer(MQIAMO_OBJECT_COUNT), 1);
    EXPECT_EQ(queues.text(MQCA_Q_NAME, MQGACF_Q_ACCOUNTING_DATA), "ACCT.Q");
    EXPECT_EQ(queues.list(MQIAMO_PUTS, MQGACF_Q_ACCOUNTING_DATA), (std::vector<int64_t>{3, 0}));
    EXPECT_EQ(queues.integer(MQIAMO_OPENS, MQGACF_Q_ACCOUNTING_DATA), 1);
    EXPECT_EQ(queues.integer(MQIAMO_CLOSES, MQGACF_Q_ACCOUNTING_DATA), 1);
    EXPECT_EQ(queues.list(MQIAMO_PUT_MIN_BYTES, MQGACF_Q_ACCOUNTING_DATA), (std::vector<int64_t>{4, 0}));

    define("ALTER QMGR ACCTCONO(ENABLED)");
    got = session(MQCNO_ACCOUNTING_MQI_DISABLED);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].command, MQCMD_ACCOUNTING_Q);
    got = session(MQCNO_ACCOUNTING_MQI_DISABLED | MQCNO_ACCOUNTING_Q_DISABLED);
    EXPECT_TRUE(got.empty());
}

// A controlled stop ends the interval with its statistics; an immediate one does not. The put
// marks the first run's interval, which the immediate stop must not report.
TEST_F(Statistics, AControlledStopWritesTheLastStatistics) {
    define("ALTER QMGR STATMQI(ON)\nALTER QLOCAL(SYSTEM.ADMIN.STATISTICS.QUEUE) DEFPSIST(YES)");
    MQHOBJ o = open(h, "SYSTEM.DEFAULT.LOCAL.QUEUE", MQOO_OUTPUT);
    ASSERT_RC(put(h, o, "m"), MQCC_OK, MQRC_NONE);
    Rc r;
    MQDISC(&h, &r.cc, &r.reason);
    ASSERT_TRUE(qm.stop(true));
    ASSERT_TRUE(qm.start());
    ASSERT_TRUE(qm.stop(false));
    ASSERT_TRUE(qm.start());
    h = connect(qm.name());
    std::vector<Pcf> got = drainPcf(h, "SYSTEM.ADMIN.STATISTICS.QUEUE");
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].command, MQCMD_STATISTICS_MQI);
    EXPECT_EQ(got[0].list(MQIAMO_PUTS), (std::vector<int64_t>{0, 0}));
}

// A connection that goes on gets an accounting record every ACCTINT seconds, numbered on until
// the one its MQDISC writes. Only LONG.APP's MQI records are looked at: on a loaded machine another
// record (the test's own connection's, say) can come between them.
TEST_F(Statistics, AccountingEveryIntervalForAConnectionThatGoesOn) {
    define("ALTER QMGR ACCTMQI(ON) ACCTINT(1)");
    MQHCONN c = connectAs(qm.name(), "LONG.APP");
    MQHOBJ o = open(c, "SYSTEM.DEFAULT.LOCAL.QUEUE", MQOO_OUTPUT);
    ASSERT_RC(put(c, o, "m"), MQCC_OK, MQRC_NONE);
    MQHOBJ acct = open(h, "SYSTEM.ADMIN.ACCOUNTING.QUEUE", MQOO_INPUT_SHARED);
    Pcf first;
    do {
        MQMD md = MQMD_DEFAULT;
        std::string data;
        ASSERT_RC(get(h, acct, &data, MQGMO_WAIT, &md, 1 << 20, nullptr, 5000), MQCC_OK, MQRC_NONE);
        first = decodePcf(md, data);
    } while (first.text(MQCACF_APPL_NAME) != "LONG.APP" || first.command != MQCMD_ACCOUNTING_MQI);
    EXPECT_EQ(first.integer(MQIACF_SEQUENCE_NUMBER), 1);
    EXPECT_EQ(first.find(MQIAMO_DISC_TYPE), nullptr);
    EXPECT_EQ(first.list(MQIAMO_PUTS), (std::vector<int64_t>{1, 0}));
    Rc r;
    MQDISC(&c, &r.cc, &r.reason);
    std::vector<Pcf> rest = drainPcf(h, "SYSTEM.ADMIN.ACCOUNTING.QUEUE");
    std::erase_if(rest, [](const Pcf &p) {
        return p.text(MQCACF_APPL_NAME) != "LONG.APP" || p.command != MQCMD_ACCOUNTING_MQI;
    });
    ASSERT_FALSE(rest.empty());
    const Pcf &last = rest.back();
    EXPECT_EQ(last.integer(MQIACF_SEQUENCE_NUMBER), static_cast<int64_t>(rest.size()) + 1);
    EXPECT_EQ(last.integer(MQIAMO_DISC_TYPE), MQDISCONNECT_NORMAL);
    EXPECT_EQ(last.list(MQIAMO_PUTS), (std::vector<int64_t>{0, 0}));
}
