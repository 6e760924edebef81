// Derived totals, the has-value test and the sums of each family, on records read from stored ones:
// each family's sum rules once, including the two that records of real queue managers trip over (a
// connect or open time only one record carries, and the empty remote product of a local connection).
#include "stats/stats_testing.h"

namespace {

using namespace stt;

class Totals : public StatsTest {};

TEST_F(Totals, ADerivedTotalIsItsPartsWhateverTheRecordStored) {
    const Items gets = {i32(31014, 2), i32(31015, 3)};
    const Items storedTotal = join(gets, {i32(31013, 99)});  // a stored total is passed over
    for (const Items &object : {gets, storedTotal}) {
        Items queue = join({str(2016, "Q")}, object);
        EXPECT_EQ(readOne<StatQRecord>(&evStatQFamily, {}, queue).gets, 5u);
        EXPECT_EQ(readOne<StatMQIRecord>(&evStatMQIFamily, {}, object).gets, 5u);
        EXPECT_EQ(readOne<AcctMQIRecord>(&evAcctMQIFamily, {}, object).gets, 5u);
        EXPECT_EQ(readOne<AcctQRecord>(&evAcctQFamily, {i32(31, 930)}, queue).gets, 5u);
    }
    // Callbacks count created, removed, resumed and suspended, not failed; ALLPUT is puts and put1s.
    auto m =
        readOne<StatMQIRecord>(&evStatMQIFamily, {},
                               {i32(31031, 1), i32(31032, 2), i32(31033, 3), i32(31034, 4), i32(31035, 100),
                                i32(31003, 1), i32(31004, 2), i32(31007, 4), i64(31134, 5), i64(31135, 6)});
    EXPECT_EQ(m.callbacks, 10u);
    EXPECT_EQ(m.allPuts, 7u);
    EXPECT_EQ(m.publishMsgBytes, 11);
}

TEST_F(Totals, TheSmallestPutIsTheSmallerSetSizeAndUnsetNeverWins) {
    struct Case {
        Items sizes;
        uint32_t smallest;
        uint32_t largest;
    };
    const Case cases[] = {
        {{i32(31153, 5), i32(31154, 3), i32(31156, 5), i32(31157, 3)}, 3, 5},
        {{unset(31153), i32(31154, 7), i32(31156, 7)}, 7, 7},
        {{i32(31003, 1), i32(31004, 1), i32(31153, 0), i32(31157, 0)}, 0, 0},  // a size of 0 is a size
        // ... but not in a class without puts, where IBM MQ writes 0 for none.
        {{i32(31153, 0), i32(31157, 0)}, STATS_UNSET_32, STATS_UNSET_32},
        {{}, STATS_UNSET_32, STATS_UNSET_32},
    };
    for (const Case &c : cases) {
        auto r = readOne<AcctQRecord>(&evAcctQFamily, {i32(31, 930)}, join({str(2016, "Q")}, c.sizes));
        EXPECT_EQ(r.putMinBytes, c.smallest);
        EXPECT_EQ(r.putMaxBytes, c.largest);
    }
}

TEST_F(Totals, OnlyAMeasureThatIsNeitherZeroNorUnsetHasAValue) {
    auto r = readOne<AcctQRecord>(&evAcctQFamily, {str(3501, "CH1"), i32(31, 930)},
                                  {str(2016, "Q"), i32(20, 1), i32(31003, 4), i32(31153, 0)});
    EXPECT_TRUE(evAcctQHasValue(&r, 31003));
    EXPECT_TRUE(evAcctQHasValue(&r, 31002));   // a derived total
    EXPECT_FALSE(evAcctQHasValue(&r, 31004));  // 0
    EXPECT_FALSE(evAcctQHasValue(&r, 31154));  // unset
    EXPECT_FALSE(evAcctQHasValue(&r, 31153));  // 0
    EXPECT_FALSE(evAcctQHasValue(&r, 20));     // set, but no measure
    EXPECT_FALSE(evAcctQHasValue(&r, 4242));   // no field
    EXPECT_TRUE(evAcctQHasValue(&r, 31));      // the command level by its value
    r.commandLevel = 0;
    EXPECT_FALSE(evAcctQHasValue(&r, 31));
    EXPECT_TRUE(evAcctQHasValue(&r, 3501));   // names by presence
    EXPECT_FALSE(evAcctQHasValue(&r, 3506));  // absent
    r.channelName = &evStringNotPresentEntry;
    EXPECT_FALSE(evAcctQHasValue(&r, 3501));
    auto m = readOne<StatMQIRecord>(&evStatMQIFamily, {i32(31, 930)}, {i32(31107, 1)});
    EXPECT_TRUE(evStatMQIHasValue(&m, 31107));
    EXPECT_FALSE(evStatMQIHasValue(&m, 39409));  // RECORDS is no measure
}

class Sums : public StatsTest {};

TEST_F(Sums, QueueStatistics) {
    const Items keys = {i32(31, 930)};
    auto a = readOne<StatQRecord>(
        &evStatQFamily, keys, {str(2016, "A.X"), i32(20, 1), i64(31000, 10), unset(31036), i32(31003, 5)});
    auto b = readOne<StatQRecord>(
        &evStatQFamily, keys, {str(2016, "A.X"), i32(20, 3), i64(31000, 20), i32(31036, 4), i32(31003, 2)});
    auto c = readOne<StatQRecord>(&evStatQFamily, keys, {str(2016, "A.Y"), i32(20, 1)});
    StatQRecord e;
    evStatQCollateAdd(&e, &a);
    EXPECT_EQ(e.countAvgQTimeNP, 1u);
    EXPECT_EQ(e.countAvgQTimeP, 0u);  // unset: counts no average
    evStatQSum(&e, &b, 0, 0);
    EXPECT_EQ(e.avgQTimeNP, 30);
    EXPECT_EQ(e.countAvgQTimeNP, 2u);
    EXPECT_EQ(e.avgQTimeNP / e.countAvgQTimeNP, 15);
    EXPECT_EQ(e.minDepth, 4u);
    EXPECT_EQ(e.queueType, STATS_MIXED_32);
    EXPECT_EQ(e.putsNP, 7u);
    EXPECT_EQ(e.puts, 7u);
    EXPECT_EQ(e.records, 2u);
    EXPECT_EQ(text(e.queueName), "A.X");
    StatQRecord generic = e;
    evStatQSum(&e, &c, 0, 0);  // no average, queue type 1, another name
    EXPECT_EQ(e.countAvgQTimeNP, 2u);
    EXPECT_EQ(e.avgQTimeNP, 30);
    EXPECT_EQ(e.queueType, STATS_MIXED_32);
    EXPECT_EQ(e.queueName, &evStringMixedEntry);
    evStatQSum(&generic, &c, 0, STATS_KEY_PREFIX);  // a prefix sum keeps the name and marks it generic
    EXPECT_EQ(text(generic.queueName), "A.X");
    EXPECT_EQ(generic.flags & STATS_FLAG_GENERIC_NAME, STATS_FLAG_GENERIC_NAME);

    // Times: the earlier start and the later end, unless INTVL keeps them.
    StatQRecord later = b;
    later.intervalStart += 100;
    later.intervalEnd += 100;
    StatQRecord t = a;
    evStatQSum(&t, &later, 1, 0);
    EXPECT_EQ(t.intervalEnd, kEnd);
    evStatQSum(&t, &later, 0, 0);
    EXPECT_EQ(t.intervalStart, kStart);
    EXPECT_EQ(t.intervalEnd, kEnd + 100);
}

TEST_F(Sums, ChannelStatistics) {
    const Items keys = {i32(31, 930)};
    // Minima and maxima compare unsigned; a widened 32-bit unset average is no average.
    auto a = readOne<StatChlRecord>(&evStatChlFamily, keys,
                                    {str(3501, "CH"), str(2017, "QM2"), i32(31138, 5), i32(31140, 5),
                                     i32(31139, 10), i32(31146, 8), i32(31142, INT32_MIN)});
    auto b = readOne<StatChlRecord>(
        &evStatChlFamily, keys,
        {str(3501, "CH"), str(2017, "QM3"), i32(31138, static_cast<int32_t>(0x90000000)),
         i32(31140, static_cast<int32_t>(0x90000000)), i32(31146, 4)});
    StatChlRecord e;
    evStatChlCollateAdd(&e, &a);
    EXPECT_EQ(e.exitTimeAvg, STATS_UNSET_64);
    EXPECT_EQ(e.countExitTime, 0u);
    evStatChlSum(&e, &b, 0, 0);
    EXPECT_EQ(e.netTimeMin, 5u);
    EXPECT_EQ(e.netTimeMax, 0x90000000u);
    // b carries no net time average: it counts as one average of 0.
    EXPECT_EQ(e.netTimeAvg, 10);
    EXPECT_EQ(e.countNetTime, 2u);
    EXPECT_EQ(e.avgBatchSize, 12u);
    EXPECT_EQ(e.countBatchSize, 2u);
    EXPECT_EQ(e.exitTimeAvg, 0);  // b's 0 is the first exit time average
    EXPECT_EQ(e.countExitTime, 1u);
    EXPECT_EQ(e.remoteQmgrName, &evStringMixedEntry);
    EXPECT_EQ(text(e.channelName), "CH");
    // A widened unset average arriving in a sum adds nothing.
    StatChlRecord before = e;
    evStatChlSum(&e, &a, 0, 0);
    EXPECT_EQ(e.countExitTime, before.countExitTime);
    EXPECT_EQ(e.exitTimeAvg, before.exitTimeAvg);
}

TEST_F(Sums, MqiStatistics) {
    auto a = readOne<StatMQIRecord>(&evStatMQIFamily, {i32(31, 930)},
                                    {i32(31107, -1), i32(31014, 1), i64(31011, -1)});
    auto b = readOne<StatMQIRecord>(&evStatMQIFamily, {i32(31, 940)},
                                    {i32(31107, 2), i32(31015, 2), i64(31011, 3)});
    StatMQIRecord e;
    evStatMQICollateAdd(&e, &a);
    evStatMQISum(&e, &b, 0);
    EXPECT_EQ(e.commandLevel, STATS_MIXED_32);
    EXPECT_EQ(e.connections, 4294967297);  // a 32-bit count is unsigned, and its sum kept whole
    EXPECT_EQ(e.putBytesNP, 2);
    EXPECT_EQ(e.gets, 3u);
    EXPECT_EQ(e.records, 2u);
    evStatMQISum(&e, &a, 0);  // a mixed level stays mixed
    EXPECT_EQ(e.commandLevel, STATS_MIXED_32);
}

TEST_F(Sums, MqiAccounting) {
    const Items first = {str(3024, "app"), str(3025, "U1"), i32(1079, 0), i64(31040, kStart - 60),
                         i32(31108, 60),   empty(3561),     empty(3560),  bytes(7006, "ID-A"),
                         i32(31, 930)};
    const Items second = {str(3024, "app"), str(3025, "U2"), i32(1079, 2),        i32(31108, 30),
                          empty(3561),      empty(3560),     bytes(7006, "ID-B"), i32(31, 930)};
    auto a = readOne<AcctMQIRecord>(&evAcctMQIFamily, first, {});
    auto b = readOne<AcctMQIRecord>(&evAcctMQIFamily, second, {});
    // A local connection's empty remote product and version are absent, not mixed.
    EXPECT_EQ(a.remoteProduct, nullptr);
    EXPECT_EQ(a.remoteVersion, nullptr);
    EXPECT_EQ(b.connectTime, STATS_UNSET_64);
    EXPECT_EQ(a.connections, 1u);  // the first record counts its connection
    EXPECT_EQ(b.connections, 0u);
    AcctMQIRecord e;
    evAcctMQICollateAdd(&e, &a);
    evAcctMQISum(&e, &b, 0);
    EXPECT_EQ(e.userId, &evStringMixedEntry);
    EXPECT_EQ(text(e.applName), "app");
    EXPECT_EQ(e.connectTime, kStart - 60);  // the later record's cleared connect time is no value
    EXPECT_EQ(e.remoteProduct, nullptr);
    EXPECT_EQ(e.remoteVersion, nullptr);
    EXPECT_EQ(e.connectionDuration, 90u);
    EXPECT_EQ(e.sequenceNumber, STATS_MIXED_32);
    EXPECT_EQ(connId(e.connId, e.connIdLength), "*");
    EXPECT_EQ(e.connections, 1u);
    // Two different connect times are mixed.
    AcctMQIRecord other = a;
    other.connectTime = kStart;
    evAcctMQISum(&e, &other, 0);
    EXPECT_EQ(e.connectTime, STATS_MIXED_64);
    // A product on one side only is mixed.
    auto c = readOne<AcctMQIRecord>(&evAcctMQIFamily, {str(3024, "app"), str(3561, "MQJB")}, {});
    evAcctMQISum(&e, &c, 0);
    EXPECT_EQ(e.remoteProduct, &evStringMixedEntry);
}

TEST_F(Sums, QueueAccounting) {
    const Items keys = {str(3024, "app"), bytes(7006, "ID-A"), i32(1024, 7), i32(31, 930)};
    const Items queue = {str(2016, "Q"), i32(31003, 2),      i64(31011, 200), i32(31153, 50), i32(31156, 150),
                         i32(31170, 3),  i64(31149, kStart), i64(31171, 5),   i64(31173, 40), i64(31175, 90)};
    auto a = readOne<AcctQRecord>(&evAcctQFamily, keys, queue);
    AcctQRecord e;
    evAcctQCollateAdd(&e, &a);
    evAcctQSum(&e, &a, 0, 0);
    EXPECT_EQ(e.records, 2u);
    EXPECT_EQ(e.putsNP, 4u);
    EXPECT_EQ(e.putBytes, 400);
    EXPECT_EQ(e.generatedMsgs, 6u);
    EXPECT_EQ(e.putMinBytesNP, 50u);
    EXPECT_EQ(e.putMaxBytesNP, 150u);
    EXPECT_EQ(e.timeOnQMinNP, 5);
    EXPECT_EQ(e.timeOnQMaxNP, 90);
    EXPECT_EQ(e.timeOnQAvgNP / e.countOnQNP, 40);
    EXPECT_EQ(e.openTime, kStart);
    EXPECT_EQ(connId(e.connId, e.connIdLength), "ID-A");
    EXPECT_EQ(e.processId, 7u);
    // A queue not opened in the interval keeps the open time; another connection makes CONNID "*".
    auto b = readOne<AcctQRecord>(&evAcctQFamily, {str(3024, "app"), bytes(7006, "ID-B"), i32(31, 930)},
                                  {str(2016, "Q"), i32(31014, 1)});
    evAcctQSum(&e, &b, 0, 0);
    EXPECT_EQ(e.openTime, kStart);
    EXPECT_EQ(e.putMinBytesNP, 50u);
    EXPECT_EQ(connId(e.connId, e.connIdLength), "*");
}

}  // namespace
