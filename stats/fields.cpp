// The field tables of the five families, one row per record field in record order: PCF id, MQSC
// keyword, offset, width, sum rule, flags and, for a derived total or an average, its parts. They are
// checked while compiling (parts exist, ids are unique, a total of totals comes before them) and give
// the DISPLAY field tables of STATQ, STATCHL, STATMQI, ACCTQ and ACCTMQI.
#include <array>
#include <cstddef>
#include <type_traits>

#include "stats/internal.h"

namespace {

// ---- Rows as written: parts by id ----

struct Parts {
    uint32_t id[4];
};

struct Row {
    uint32_t id;
    const char *keyword;
    size_t offset;
    uint8_t width;
    uint8_t rule;
    uint16_t flags;
    uint8_t derive;
    Parts parts;
    bool acct;  // MQI counters: also in the accounting record
};

template <typename T>
constexpr uint8_t widthOf() {
    if constexpr (std::is_same_v<T, uint32_t>) {
        return STATS_W_U32;
    } else if constexpr (std::is_same_v<T, int64_t>) {
        return STATS_W_I64;
    } else if constexpr (std::is_same_v<T, const StringEntry *>) {
        return STATS_W_STRING;
    } else if constexpr (std::is_same_v<T, const uint8_t *>) {
        return STATS_W_BYTES;
    } else {
        static_assert(std::is_same_v<T, Stream *>);
        return STATS_W_STREAM;
    }
}
// A member's offset and width.
#define AT(Record, member) offsetof(Record, member), widthOf<decltype(Record::member)>()

constexpr uint16_t kRow = STATS_F_ROW;
constexpr uint16_t kFilter = STATS_F_ROW | STATS_F_FILTER;
constexpr uint16_t kValue = STATS_F_ROW | STATS_F_MEASURE;  // a counter: a row with a value when set
constexpr uint16_t kUnset = STATS_F_UNSET;
constexpr uint16_t kLevel = STATS_F_ROW | STATS_F_LEVEL;
// Record counts, averages' counts and AVGBATCH: 32-bit values held in 64 bits, whose slots in the
// third aggregation layout were 32 bits.
constexpr uint16_t kWide32 = STATS_F_COUNT32 | STATS_F_SLOT32;
constexpr uint16_t kRecords = STATS_F_ROW | STATS_F_ONE | kWide32;
constexpr uint16_t kAggrInt = STATS_F_ROW | STATS_F_MEASURE;

constexpr Row field(uint32_t id, const char *keyword, size_t offset, uint8_t width, uint8_t rule,
                    uint16_t flags) {
    return Row{id, keyword, offset, width, rule, flags, STATS_DERIVE_NONE, {}, false};
}
constexpr Row counter(uint32_t id, const char *keyword, size_t offset, uint8_t width, uint16_t flags = 0) {
    return field(id, keyword, offset, width, STATS_SUM_ADDED, static_cast<uint16_t>(kValue | flags));
}
constexpr Row minimum(uint32_t id, const char *keyword, size_t offset, uint8_t width, uint16_t flags = 0) {
    return field(id, keyword, offset, width, STATS_SUM_MINIMUM, static_cast<uint16_t>(kValue | flags));
}
constexpr Row maximum(uint32_t id, const char *keyword, size_t offset, uint8_t width, uint16_t flags = 0) {
    return field(id, keyword, offset, width, STATS_SUM_MAXIMUM, static_cast<uint16_t>(kValue | flags));
}
constexpr Row total(uint32_t id, const char *keyword, size_t offset, uint8_t width, Parts parts,
                    uint8_t derive = STATS_DERIVE_SUM) {
    return Row{id, keyword, offset, width, STATS_SUM_DERIVED, kValue, derive, parts, false};
}
constexpr Row average(uint32_t id, const char *keyword, size_t offset, uint8_t width, uint32_t countId,
                      uint16_t flags = 0) {
    return Row{id,
               keyword,
               offset,
               width,
               STATS_SUM_AVERAGE,
               static_cast<uint16_t>(kValue | flags),
               STATS_DERIVE_NONE,
               {{countId}},
               false};
}
// An average's count: a row, so that the emitters and WHERE see how many averages an average is of.
constexpr Row count(uint32_t id, const char *keyword, size_t offset, uint8_t width) {
    return field(id, keyword, offset, width, STATS_SUM_AVERAGE_COUNT, kRow | kWide32);
}

// A 32-bit counter of IBM MQ held in 64 bits (stats/stats.h): read zero-extended, answered as MQCFIN
// while it fits.
constexpr Row wide(Row r) {
    r.flags = static_cast<uint16_t>(r.flags | STATS_F_COUNT32);
    return r;
}

// ---- Building and checking ----

template <size_t N>
constexpr size_t findRow(const std::array<Row, N> &rows, uint32_t id) {
    for (size_t i = 0; i < N; i++)
        if (rows[i].id == id) return i;
    throw "a part names an id the table does not have";
}

template <size_t N>
constexpr std::array<StatsField, N> build(const std::array<Row, N> &rows) {
    std::array<StatsField, N> out{};
    for (size_t i = 0; i < N; i++) {
        const Row &r = rows[i];
        StatsField f{r.id, r.keyword, static_cast<uint16_t>(r.offset), r.width, r.rule, r.flags, r.derive,
                     0,    {}};
        for (uint32_t part : r.parts.id) {
            if (part == 0) break;
            size_t j = findRow(rows, part);
            if (r.rule == STATS_SUM_DERIVED && rows[j].rule == STATS_SUM_DERIVED && j <= i)
                throw "a total of totals must come before them";
            if (r.rule == STATS_SUM_DERIVED && rows[j].width != r.width)
                throw "a total and its parts differ in width";
            if (r.rule == STATS_SUM_AVERAGE && rows[j].rule != STATS_SUM_AVERAGE_COUNT)
                throw "an average's count is not a count";
            f.parts[f.partCount++] = static_cast<uint16_t>(rows[j].offset);
        }
        for (size_t j = 0; j < i; j++)
            if (r.id != 0 && rows[j].id == r.id) throw "two fields have one id";
        if ((r.flags & STATS_F_COUNT32) && r.width != STATS_W_I64) throw "a wide counter is not 64 bits";
        if (r.rule == STATS_SUM_AVERAGE_COUNT && r.width != STATS_W_I64)
            throw "an average's count is not 64 bits";
        out[i] = f;
    }
    return out;
}

template <size_t N>
struct IdIndex {
    std::array<uint16_t, N> rows;
    uint32_t count;
};

template <size_t N>
constexpr IdIndex<N> indexById(const std::array<StatsField, N> &fields) {
    IdIndex<N> index{};
    for (size_t i = 0; i < N; i++) {
        if (fields[i].id == 0) continue;
        size_t at = index.count++;
        while (at > 0 && fields[index.rows[at - 1]].id > fields[i].id) {
            index.rows[at] = index.rows[at - 1];
            at--;
        }
        index.rows[at] = static_cast<uint16_t>(i);
    }
    return index;
}

template <size_t A, size_t B>
constexpr std::array<Row, A + B> concat(const std::array<Row, A> &a, const std::array<Row, B> &b) {
    std::array<Row, A + B> out{};
    for (size_t i = 0; i < A; i++) out[i] = a[i];
    for (size_t i = 0; i < B; i++) out[A + i] = b[i];
    return out;
}

// ---- Queue statistics ----

constexpr auto kStatQRows = std::to_array<Row>({
    field(0, nullptr, AT(StatQRecord, stream), STATS_SUM_STREAM, 0),
    field(2016, "QUEUE", AT(StatQRecord, queueName), STATS_SUM_NAME, kRow | STATS_F_OBJECT),
    field(20, "QTYPE", AT(StatQRecord, queueType), STATS_SUM_SAME_OR_MIXED, kRow | kUnset),
    field(7, "DEFTYPE", AT(StatQRecord, definitionType), STATS_SUM_SAME_OR_MIXED, kRow | kUnset),
    field(31, "CMDLEVEL", AT(StatQRecord, commandLevel), STATS_SUM_SAME_OR_MIXED, kLevel),
    field(39442, "EVFLAGS", AT(StatQRecord, flags), STATS_SUM_KEPT, 0),
    field(39398, "INTVLSTA", AT(StatQRecord, intervalStart), STATS_SUM_EARLIEST, STATS_F_SELECT),
    field(39399, "INTVLEND", AT(StatQRecord, intervalEnd), STATS_SUM_LATEST, STATS_F_SELECT),
    field(0, nullptr, AT(StatQRecord, duration), STATS_SUM_KEPT, 0),
    field(39401, "INTVLS", AT(StatQRecord, intervals), STATS_SUM_KEPT, kRow),
    field(39409, "RECORDS", AT(StatQRecord, records), STATS_SUM_ADDED, kRecords),
    field(39434, "AGGRINT", AT(StatQRecord, aggrInterval), STATS_SUM_KEPT, kAggrInt),
    count(31178, "CNTAVGNP", AT(StatQRecord, countAvgQTimeNP)),
    count(31179, "CNTAVGP", AT(StatQRecord, countAvgQTimeP)),
    wide(total(31038, "ALLPUT", AT(StatQRecord, allPuts), {{31002, 31006}})),
    wide(total(31002, "PUT", AT(StatQRecord, puts), {{31003, 31004}})),
    wide(counter(31003, "PUTNP", AT(StatQRecord, putsNP))),
    wide(counter(31004, "PUTP", AT(StatQRecord, putsP))),
    total(31010, "PUTBYTE", AT(StatQRecord, putBytes), {{31011, 31012}}),
    counter(31011, "PUTBYTENP", AT(StatQRecord, putBytesNP)),
    counter(31012, "PUTBYTEP", AT(StatQRecord, putBytesP)),
    wide(counter(31005, "PUTFAIL", AT(StatQRecord, putsFailed))),
    wide(total(31006, "PUT1", AT(StatQRecord, put1s), {{31007, 31008}})),
    wide(counter(31007, "PUT1NP", AT(StatQRecord, put1sNP))),
    wide(counter(31008, "PUT1P", AT(StatQRecord, put1sP))),
    wide(counter(31009, "PUT1FAIL", AT(StatQRecord, put1sFailed))),
    wide(total(31013, "GET", AT(StatQRecord, gets), {{31014, 31015}})),
    wide(counter(31014, "GETNP", AT(StatQRecord, getsNP))),
    wide(counter(31015, "GETP", AT(StatQRecord, getsP))),
    wide(counter(31019, "GETFAIL", AT(StatQRecord, getsFailed))),
    total(31016, "GETBYTE", AT(StatQRecord, getBytes), {{31017, 31018}}),
    counter(31017, "GETBYTENP", AT(StatQRecord, getBytesNP)),
    counter(31018, "GETBYTEP", AT(StatQRecord, getBytesP)),
    wide(total(31020, "BRS", AT(StatQRecord, browses), {{31021, 31022}})),
    wide(counter(31021, "BRSNP", AT(StatQRecord, browsesNP))),
    wide(counter(31022, "BRSP", AT(StatQRecord, browsesP))),
    wide(counter(31023, "BRSFAIL", AT(StatQRecord, browsesFailed))),
    total(31024, "BRSBYTE", AT(StatQRecord, browseBytes), {{31025, 31026}}),
    counter(31025, "BRSBYTENP", AT(StatQRecord, browseBytesNP)),
    counter(31026, "BRSBYTEP", AT(StatQRecord, browseBytesP)),
    wide(counter(31027, "NOTQ", AT(StatQRecord, msgsNotQueued))),
    wide(counter(31028, "EXPIRED", AT(StatQRecord, msgsExpired))),
    wide(counter(31029, "PURGED", AT(StatQRecord, msgsPurged))),
    average(31000, "AVGQNP", AT(StatQRecord, avgQTimeNP), 31178, kUnset),
    average(31001, "AVGQP", AT(StatQRecord, avgQTimeP), 31179, kUnset),
    minimum(31036, "MINDEPTH", AT(StatQRecord, minDepth), kUnset | STATS_F_SIGNED),
    maximum(31037, "MAXDEPTH", AT(StatQRecord, maxDepth), kUnset | STATS_F_SIGNED),
});

// ---- Channel statistics ----

constexpr auto kStatChlRows = std::to_array<Row>({
    field(0, nullptr, AT(StatChlRecord, stream), STATS_SUM_STREAM, 0),
    field(3501, "CHANNEL", AT(StatChlRecord, channelName), STATS_SUM_NAME, kRow | STATS_F_OBJECT),
    field(2017, "RQMNAME", AT(StatChlRecord, remoteQmgrName), STATS_SUM_MIXED_STRING, kFilter),
    field(3506, "CONNAME", AT(StatChlRecord, connectionName), STATS_SUM_MIXED_STRING, kFilter),
    field(39398, "INTVLSTA", AT(StatChlRecord, intervalStart), STATS_SUM_EARLIEST, STATS_F_SELECT),
    field(39399, "INTVLEND", AT(StatChlRecord, intervalEnd), STATS_SUM_LATEST, STATS_F_SELECT),
    field(0, nullptr, AT(StatChlRecord, duration), STATS_SUM_KEPT, 0),
    field(39401, "INTVLS", AT(StatChlRecord, intervals), STATS_SUM_KEPT, kRow),
    field(39409, "RECORDS", AT(StatChlRecord, records), STATS_SUM_ADDED, kRecords),
    field(39434, "AGGRINT", AT(StatChlRecord, aggrInterval), STATS_SUM_KEPT, kAggrInt),
    field(31, "CMDLEVEL", AT(StatChlRecord, commandLevel), STATS_SUM_SAME_OR_MIXED, kLevel),
    field(39442, "EVFLAGS", AT(StatChlRecord, flags), STATS_SUM_KEPT, 0),
    count(31180, "CNTAVGPNT", AT(StatChlRecord, countNetTime)),
    count(31181, "CNTAVGPET", AT(StatChlRecord, countExitTime)),
    count(31182, "CNTAVGPBS", AT(StatChlRecord, countBatchSize)),
    field(1511, "CHLTYPE", AT(StatChlRecord, channelType), STATS_SUM_SAME_OR_MIXED, kRow | kUnset),
    wide(counter(31136, "MSGS", AT(StatChlRecord, msgs))),
    counter(31137, "BYTES", AT(StatChlRecord, bytes)),
    minimum(31138, "NETTIMMIN", AT(StatChlRecord, netTimeMin)),
    average(31139, "NETTIMAVG", AT(StatChlRecord, netTimeAvg), 31180, STATS_F_WIDENED),
    maximum(31140, "NETTIMMAX", AT(StatChlRecord, netTimeMax)),
    minimum(31141, "EXTTIMMIN", AT(StatChlRecord, exitTimeMin)),
    average(31142, "EXTTIMAVG", AT(StatChlRecord, exitTimeAvg), 31181, STATS_F_WIDENED),
    maximum(31143, "EXTTIMMAX", AT(StatChlRecord, exitTimeMax)),
    wide(counter(31144, "FULLBATCH", AT(StatChlRecord, fullBatches))),
    wide(counter(31145, "ICMPBATCH", AT(StatChlRecord, incompleteBatches))),
    average(31146, "AVGBATCH", AT(StatChlRecord, avgBatchSize), 31182, kWide32),
    wide(counter(31147, "PUTRETRIES", AT(StatChlRecord, putRetries))),
});

// ---- The MQI counters ----

constexpr bool yes = true;
constexpr bool no = false;

// Unlike the documented table, where every MQI counter is added: CONNSMAX and the subscription
// high-water marks are the most at any time of the interval, the low-water marks the fewest, and
// they sum as such (IBM MQ's meaning of these fields).
constexpr bool isHighWater(uint32_t id) {
    return id == 31113 || (id >= 31114 && id <= 31117) || (id >= 31122 && id <= 31125);
}
constexpr bool isLowWater(uint32_t id) {
    return (id >= 31118 && id <= 31121) || (id >= 31126 && id <= 31129);
}

constexpr Row mqiCounter(uint32_t id, const char *keyword, size_t offset, uint8_t width, Parts parts,
                         bool acct, bool isWide) {
    Row r = parts.id[0]       ? total(id, keyword, offset, width, parts)
            : isHighWater(id) ? maximum(id, keyword, offset, width)
            : isLowWater(id)  ? minimum(id, keyword, offset, width, kUnset)
                              : counter(id, keyword, offset, width);
    r.acct = acct;
    return isWide ? wide(r) : r;
}
#define STATS_PARTS(...) \
    Parts {              \
        { __VA_ARGS__ }  \
    }
#define STATS_MQI_WIDE_uint32_t false
#define STATS_MQI_WIDE_int64_t false
#define STATS_MQI_WIDE_wide true
#define MQI_COUNTER(id, member, keyword, type, acct, parts) \
    mqiCounter(id, keyword, AT(StatMQIRecord, member), STATS_PARTS parts, acct, STATS_MQI_WIDE_##type),

constexpr auto kMqiCounters = std::to_array<Row>({STATS_MQI_COUNTERS(MQI_COUNTER)});
static_assert(kMqiCounters.size() == 127);

// A counter of the accounting record: the statistics row, at its place in the accounting record.
constexpr Row acctCounter(size_t statOffset, size_t acctOffset, uint8_t width) {
    for (const Row &r : kMqiCounters) {
        if (r.offset != statOffset) continue;
        if (!r.acct || r.width != width) throw "not a counter of the accounting record";
        Row a = r;
        a.offset = acctOffset;
        return a;
    }
    throw "no such MQI counter";
}
#define ACCT_COUNTER(member) acctCounter(offsetof(StatMQIRecord, member), AT(AcctMQIRecord, member)),

constexpr auto kAcctMqiCounters = std::to_array<Row>({STATS_ACCT_MQI_ORDER(ACCT_COUNTER)});

constexpr size_t acctCount() {
    size_t n = 0;
    for (const Row &r : kMqiCounters) n += r.acct;
    return n;
}
static_assert(kAcctMqiCounters.size() == acctCount() && acctCount() == 98);

#undef MQI_COUNTER
#undef STATS_MQI_WIDE_uint32_t
#undef STATS_MQI_WIDE_int64_t
#undef STATS_MQI_WIDE_wide
#undef ACCT_COUNTER
#undef STATS_PARTS

// ---- MQI statistics ----

constexpr auto kStatMQIHead = std::to_array<Row>({
    field(0, nullptr, AT(StatMQIRecord, stream), STATS_SUM_STREAM, 0),
    field(39398, "INTVLSTA", AT(StatMQIRecord, intervalStart), STATS_SUM_EARLIEST, STATS_F_SELECT),
    field(39399, "INTVLEND", AT(StatMQIRecord, intervalEnd), STATS_SUM_LATEST, STATS_F_SELECT),
    field(0, nullptr, AT(StatMQIRecord, duration), STATS_SUM_KEPT, 0),
    field(39401, "INTVLS", AT(StatMQIRecord, intervals), STATS_SUM_KEPT, kRow),
    field(39442, "EVFLAGS", AT(StatMQIRecord, flags), STATS_SUM_KEPT, 0),
    field(39409, "RECORDS", AT(StatMQIRecord, records), STATS_SUM_ADDED, kRecords),
    field(39434, "AGGRINT", AT(StatMQIRecord, aggrInterval), STATS_SUM_KEPT, kAggrInt),
    field(31, "CMDLEVEL", AT(StatMQIRecord, commandLevel), STATS_SUM_SAME_OR_MIXED, kLevel),
});

// ---- MQI accounting ----

constexpr auto kAcctMQIHead = std::to_array<Row>({
    field(0, nullptr, AT(AcctMQIRecord, stream), STATS_SUM_STREAM, 0),
    field(3024, "APPLNAME", AT(AcctMQIRecord, applName), STATS_SUM_MIXED_STRING, kRow | STATS_F_OBJECT),
    field(3025, "USERID", AT(AcctMQIRecord, userId), STATS_SUM_MIXED_STRING, kFilter),
    field(3501, "CHANNEL", AT(AcctMQIRecord, channelName), STATS_SUM_MIXED_STRING, kFilter),
    field(3506, "CONNAME", AT(AcctMQIRecord, connectionName), STATS_SUM_MIXED_STRING, kFilter),
    field(3561, "RPRODUCT", AT(AcctMQIRecord, remoteProduct), STATS_SUM_MIXED_STRING, kFilter),
    field(3560, "RVERSION", AT(AcctMQIRecord, remoteVersion), STATS_SUM_MIXED_STRING, kFilter),
    field(7006, "CONNID", AT(AcctMQIRecord, connId), STATS_SUM_MIXED_BYTES, kFilter),
    field(39398, "INTVLSTA", AT(AcctMQIRecord, intervalStart), STATS_SUM_EARLIEST, STATS_F_SELECT),
    field(39399, "INTVLEND", AT(AcctMQIRecord, intervalEnd), STATS_SUM_LATEST, STATS_F_SELECT),
    field(0, nullptr, AT(AcctMQIRecord, duration), STATS_SUM_KEPT, 0),
    field(0, nullptr, AT(AcctMQIRecord, intervals), STATS_SUM_KEPT, 0),
    field(31, "CMDLEVEL", AT(AcctMQIRecord, commandLevel), STATS_SUM_SAME_OR_MIXED, kLevel),
    field(39442, "EVFLAGS", AT(AcctMQIRecord, flags), STATS_SUM_KEPT, 0),
    field(39409, "RECORDS", AT(AcctMQIRecord, records), STATS_SUM_ADDED, kRecords),
    field(39434, "AGGRINT", AT(AcctMQIRecord, aggrInterval), STATS_SUM_KEPT, kAggrInt),
    field(31040, "CONNTI", AT(AcctMQIRecord, connectTime), STATS_SUM_TIME, kRow | STATS_F_TIME | kUnset),
    field(31041, "DISCTI", AT(AcctMQIRecord, disconnectTime), STATS_SUM_TIME, kRow | STATS_F_TIME | kUnset),
    wide(
        field(31108, "CONNDURN", AT(AcctMQIRecord, connectionDuration), STATS_SUM_DURATION, kValue | kUnset)),
    field(1024, "PID", AT(AcctMQIRecord, processId), STATS_SUM_SAME_OR_MIXED, kFilter | kUnset),
    field(1025, "TID", AT(AcctMQIRecord, threadId), STATS_SUM_SAME_OR_MIXED, kFilter | kUnset),
    field(716, "DISCTYPE", AT(AcctMQIRecord, discType), STATS_SUM_SAME_OR_MIXED, kRow | kUnset),
    field(1079, "SEQNUM", AT(AcctMQIRecord, sequenceNumber), STATS_SUM_SAME_OR_MIXED, kFilter | kUnset),
});

// ---- Queue accounting ----

constexpr uint16_t kTime = kRow | STATS_F_TIME | STATS_F_MEASURE | kUnset;

constexpr auto kAcctQRows = std::to_array<Row>({
    field(0, nullptr, AT(AcctQRecord, stream), STATS_SUM_STREAM, 0),
    field(2016, "QUEUE", AT(AcctQRecord, queueName), STATS_SUM_NAME, kRow | STATS_F_OBJECT),
    field(3024, "APPLNAME", AT(AcctQRecord, applName), STATS_SUM_MIXED_STRING, kFilter),
    field(3025, "USERID", AT(AcctQRecord, userId), STATS_SUM_MIXED_STRING, kFilter),
    field(3501, "CHANNEL", AT(AcctQRecord, channelName), STATS_SUM_MIXED_STRING, kFilter | STATS_F_PRESENT),
    field(3506, "CONNAME", AT(AcctQRecord, connectionName), STATS_SUM_MIXED_STRING,
          kFilter | STATS_F_PRESENT),
    field(7006, "CONNID", AT(AcctQRecord, connId), STATS_SUM_MIXED_BYTES, kFilter),
    field(39442, "EVFLAGS", AT(AcctQRecord, flags), STATS_SUM_KEPT, 0),
    field(31, "CMDLEVEL", AT(AcctQRecord, commandLevel), STATS_SUM_SAME_OR_MIXED, kLevel),
    field(1024, "PID", AT(AcctQRecord, processId), STATS_SUM_SAME_OR_MIXED, kFilter),
    field(1025, "TID", AT(AcctQRecord, threadId), STATS_SUM_SAME_OR_MIXED, kFilter),
    field(20, "QTYPE", AT(AcctQRecord, queueType), STATS_SUM_SAME_OR_MIXED, kRow | kUnset),
    field(7, "DEFTYPE", AT(AcctQRecord, definitionType), STATS_SUM_SAME_OR_MIXED, kRow | kUnset),
    field(1079, "SEQNUM", AT(AcctQRecord, sequenceNumber), STATS_SUM_SAME_OR_MIXED, kFilter),
    field(31148, "CREATETI", AT(AcctQRecord, createTime), STATS_SUM_TIME, kTime),
    field(31149, "OPENTI", AT(AcctQRecord, openTime), STATS_SUM_TIME, kTime),
    field(31150, "CLOSETI", AT(AcctQRecord, closeTime), STATS_SUM_TIME, kTime),
    field(39398, "INTVLSTA", AT(AcctQRecord, intervalStart), STATS_SUM_EARLIEST, STATS_F_SELECT),
    field(39399, "INTVLEND", AT(AcctQRecord, intervalEnd), STATS_SUM_LATEST, STATS_F_SELECT),
    field(0, nullptr, AT(AcctQRecord, duration), STATS_SUM_KEPT, 0),
    field(0, nullptr, AT(AcctQRecord, intervals), STATS_SUM_KEPT, 0),
    field(39409, "RECORDS", AT(AcctQRecord, records), STATS_SUM_ADDED, kRecords),
    field(39434, "AGGRINT", AT(AcctQRecord, aggrInterval), STATS_SUM_KEPT, kAggrInt),
    count(31178, "CNTAVGNP", AT(AcctQRecord, countOnQNP)),
    count(31179, "CNTAVGP", AT(AcctQRecord, countOnQP)),
    wide(counter(31151, "OPENCNT", AT(AcctQRecord, openCount))),
    wide(counter(31177, "CLOSECNT", AT(AcctQRecord, closeCount))),
    wide(total(31038, "ALLPUT", AT(AcctQRecord, allPuts), {{31002, 31006}})),
    wide(total(31002, "PUT", AT(AcctQRecord, puts), {{31003, 31004}})),
    wide(counter(31003, "PUTNP", AT(AcctQRecord, putsNP))),
    wide(counter(31004, "PUTP", AT(AcctQRecord, putsP))),
    wide(counter(31005, "PUTFAIL", AT(AcctQRecord, putsFailed))),
    wide(total(31006, "PUT1", AT(AcctQRecord, put1s), {{31007, 31008}})),
    wide(counter(31007, "PUT1NP", AT(AcctQRecord, put1sNP))),
    wide(counter(31008, "PUT1P", AT(AcctQRecord, put1sP))),
    wide(counter(31009, "PUT1FAIL", AT(AcctQRecord, put1sFailed))),
    total(31010, "PUTBYTE", AT(AcctQRecord, putBytes), {{31011, 31012}}),
    counter(31011, "PUTBYTENP", AT(AcctQRecord, putBytesNP)),
    counter(31012, "PUTBYTEP", AT(AcctQRecord, putBytesP)),
    total(31152, "PUTMINBYTE", AT(AcctQRecord, putMinBytes), {{31153, 31154}}, STATS_DERIVE_SMALLER),
    minimum(31153, "PUTMINBYTENP", AT(AcctQRecord, putMinBytesNP), kUnset),
    minimum(31154, "PUTMINBYTEP", AT(AcctQRecord, putMinBytesP), kUnset),
    total(31155, "PUTMAXBYTE", AT(AcctQRecord, putMaxBytes), {{31156, 31157}}, STATS_DERIVE_LARGER),
    maximum(31156, "PUTMAXBYTENP", AT(AcctQRecord, putMaxBytesNP), kUnset),
    maximum(31157, "PUTMAXBYTEP", AT(AcctQRecord, putMaxBytesP), kUnset),
    wide(counter(31170, "GENMSGCNT", AT(AcctQRecord, generatedMsgs))),
    wide(total(31013, "GET", AT(AcctQRecord, gets), {{31014, 31015}})),
    wide(counter(31014, "GETNP", AT(AcctQRecord, getsNP))),
    wide(counter(31015, "GETP", AT(AcctQRecord, getsP))),
    wide(counter(31019, "GETFAIL", AT(AcctQRecord, getsFailed))),
    total(31016, "GETBYTE", AT(AcctQRecord, getBytes), {{31017, 31018}}),
    counter(31017, "GETBYTENP", AT(AcctQRecord, getBytesNP)),
    counter(31018, "GETBYTEP", AT(AcctQRecord, getBytesP)),
    total(31158, "GETMINBYTE", AT(AcctQRecord, getMinBytes), {{31159, 31160}}, STATS_DERIVE_SMALLER),
    minimum(31159, "GETMINBYTENP", AT(AcctQRecord, getMinBytesNP), kUnset),
    minimum(31160, "GETMINBYTEP", AT(AcctQRecord, getMinBytesP), kUnset),
    total(31161, "GETMAXBYTE", AT(AcctQRecord, getMaxBytes), {{31162, 31163}}, STATS_DERIVE_LARGER),
    maximum(31162, "GETMAXBYTENP", AT(AcctQRecord, getMaxBytesNP), kUnset),
    maximum(31163, "GETMAXBYTEP", AT(AcctQRecord, getMaxBytesP), kUnset),
    wide(total(31020, "BRS", AT(AcctQRecord, browses), {{31021, 31022}})),
    wide(counter(31021, "BRSNP", AT(AcctQRecord, browsesNP))),
    wide(counter(31022, "BRSP", AT(AcctQRecord, browsesP))),
    wide(counter(31023, "BRSFAIL", AT(AcctQRecord, browsesFailed))),
    total(31024, "BRSBYTE", AT(AcctQRecord, browseBytes), {{31025, 31026}}),
    counter(31025, "BRSBYTENP", AT(AcctQRecord, browseBytesNP)),
    counter(31026, "BRSBYTEP", AT(AcctQRecord, browseBytesP)),
    total(31164, "BRSMINBYTE", AT(AcctQRecord, browseMinBytes), {{31165, 31166}}, STATS_DERIVE_SMALLER),
    minimum(31165, "BRSMINBYTENP", AT(AcctQRecord, browseMinBytesNP), kUnset),
    minimum(31166, "BRSMINBYTEP", AT(AcctQRecord, browseMinBytesP), kUnset),
    total(31167, "BRSMAXBYTE", AT(AcctQRecord, browseMaxBytes), {{31168, 31169}}, STATS_DERIVE_LARGER),
    maximum(31168, "BRSMAXBYTENP", AT(AcctQRecord, browseMaxBytesNP), kUnset),
    maximum(31169, "BRSMAXBYTEP", AT(AcctQRecord, browseMaxBytesP), kUnset),
    wide(total(31030, "CBS", AT(AcctQRecord, callbacks), {{31031, 31032, 31033, 31034}})),
    wide(counter(31031, "CBCREATE", AT(AcctQRecord, cbsCreated))),
    wide(counter(31032, "CBREMOVE", AT(AcctQRecord, cbsRemoved))),
    wide(counter(31033, "CBRESUME", AT(AcctQRecord, cbsResumed))),
    wide(counter(31034, "CBSUSPEND", AT(AcctQRecord, cbsSuspended))),
    wide(counter(31035, "CBFAIL", AT(AcctQRecord, cbsFailed))),
    minimum(31171, "ONQMINNPTI", AT(AcctQRecord, timeOnQMinNP), kUnset),
    minimum(31172, "ONQMINPTI", AT(AcctQRecord, timeOnQMinP), kUnset),
    average(31173, "ONQAVGNPTI", AT(AcctQRecord, timeOnQAvgNP), 31178, kUnset),
    average(31174, "ONQAVGPTI", AT(AcctQRecord, timeOnQAvgP), 31179, kUnset),
    maximum(31175, "ONQMAXNPTI", AT(AcctQRecord, timeOnQMaxNP), kUnset),
    maximum(31176, "ONQMAXPTI", AT(AcctQRecord, timeOnQMaxP), kUnset),
});

#undef AT

constexpr auto kStatQFields = build(kStatQRows);
constexpr auto kStatChlFields = build(kStatChlRows);
constexpr auto kStatMQIFields = build(concat(kStatMQIHead, kMqiCounters));
constexpr auto kAcctMQIFields = build(concat(kAcctMQIHead, kAcctMqiCounters));
constexpr auto kAcctQFields = build(kAcctQRows);

constexpr auto kStatQIndex = indexById(kStatQFields);
constexpr auto kStatChlIndex = indexById(kStatChlFields);
constexpr auto kStatMQIIndex = indexById(kStatMQIFields);
constexpr auto kAcctMQIIndex = indexById(kAcctMQIFields);
constexpr auto kAcctQIndex = indexById(kAcctQFields);

// Every record field has its row, in record order, and the rows cover the whole record.
template <typename Record, size_t N>
constexpr bool coversRecord(const std::array<StatsField, N> &fields) {
    size_t next = 0;
    for (const StatsField &f : fields) {
        if (f.offset < next) return false;
        size_t size = f.width == STATS_W_U32 ? 4 : f.width == STATS_W_BYTES ? sizeof(void *) + 2 : 8;
        next = f.offset + size;
    }
    return sizeof(Record) - next < 8;
}
static_assert(coversRecord<StatQRecord>(kStatQFields));
static_assert(coversRecord<StatChlRecord>(kStatChlFields));
static_assert(coversRecord<StatMQIRecord>(kStatMQIFields));
static_assert(coversRecord<AcctMQIRecord>(kAcctMQIFields));
static_assert(coversRecord<AcctQRecord>(kAcctQFields));

// ---- The DISPLAY field tables ----

constexpr int32_t kOption = -1;    // a command option, held in no record
constexpr int32_t kComputed = -2;  // a value the reader computes (stream and queue manager names)

constexpr evParmDef parm(const char *applicability, const char *type, const char *keyword, uint32_t id,
                         int32_t offset, uint32_t dataType, const evValueName *names = nullptr) {
    evParmDef r{};
    r.applicability = applicability;
    r.flags = "a   ";
    r.type = type;
    r.keyword = keyword;
    r.valueNames = names;
    r.parmId = id;
    r.recordOffset = offset;
    r.dataType = dataType;
    return r;
}
constexpr evParmDef option(const char *applicability, const char *type, const char *keyword, uint32_t id,
                           const evValueName *names = nullptr) {
    return parm(applicability, type, keyword, id, kOption, 0, names);
}

constexpr uint32_t dataTypeOf(const StatsField &f) {
    switch (f.width) {
        case STATS_W_U32:
            // Unsigned but for the depths, which IBM MQ gives signed.
            return f.flags & STATS_F_SIGNED ? EV_DATATYPE_INT32 : EV_DATATYPE_UINT32;
        case STATS_W_I64:
            return EV_DATATYPE_INT64;
        case STATS_W_STRING:
            return EV_DATATYPE_STRING;
        case STATS_W_BYTES:
            return EV_DATATYPE_BYTES;
        default:
            return 0;
    }
}

constexpr evParmDef fieldRow(const StatsField &f) {
    const char *type = f.width == STATS_W_STRING || f.width == STATS_W_BYTES ? "s"
                       : f.flags & STATS_F_TIME                              ? "t"
                                                                             : "i";
    return parm(f.flags & STATS_F_FILTER ? " d*" : " d ", type, f.keyword, f.id, f.offset, dataTypeOf(f));
}

template <size_t N>
constexpr const StatsField &fieldOf(const std::array<StatsField, N> &fields, uint32_t id) {
    for (const StatsField &f : fields)
        if (f.id == id) return f;
    throw "no field with that id";
}

// The object row (the family's object field, or for the MQI statistics the stream name), the
// selection rows (the interval times at their fields), one row per field that has one, then ALL,
// WHERE and PREWHERE and the end row.
// An optional object (MQI accounting: every application, MQI statistics: every stream, when none
// is named) may be left out in MQSC.
template <size_t Rows, size_t N>
constexpr std::array<evParmDef, Rows + 1> makeParms(const char *object,
                                                    const std::array<StatsField, N> &fields,
                                                    bool optionalObject = false) {
    std::array<evParmDef, Rows + 1> out{};
    size_t n = 0;
    auto push = [&](const evParmDef &r) {
        if (n >= Rows) throw "more rows than the table holds";
        out[n++] = r;
    };
    const StatsField *objectField = nullptr;
    for (const StatsField &f : fields)
        if (f.flags & STATS_F_OBJECT) objectField = &f;
    if (objectField) {
        push(parm(optionalObject ? "Wd*" : "Wd+", "R", object, objectField->id, objectField->offset,
                  dataTypeOf(*objectField)));
        push(parm(" d*", "R", "EVSTREAM", 39301, kComputed, 0));
    } else {
        push(parm(optionalObject ? "Wd*" : "Wd+", "R", object, 39301, kComputed,
                  0));  // the stream is the object
    }
    push(parm(" d*", "R", "EVQMGR", 39340, kComputed, 0));
    push(option(" d*", "K", "SUM", 39395, evSumNames));
    push(option(" d*", "i", "ZEROVALS", 39396, evZeroValsNames));
    push(option(" d*", "i", "COLLATE", 39430, evCollateNames));
    push(option(" d*", "s", "TITLE", 39431));
    push(option(" d*", "i", "TITLEIDX", 39432));
    push(option(" d*", "i", "GAPFILL", 39400, evGapFillNames));
    push(option("Wd*", "i", "MAXRESP", 39302));
    push(option("Wd*", "i", "MAXRECS", 39414));
    push(option(" d*", "s", "FROM", 39318));
    push(option(" d*", "s", "TO", 39319));
    push(option(" d*", "i", "TZ", 39313));
    push(option(" d*", "s", "INTVL", 39411));
    push(option(" d*", "i", "INTVLALGN", 39412, evIntervalAlignNames));
    // Given as text (seconds), answered as times.
    push(parm(" d*", "st", "INTVLSTA", 39398, fieldOf(fields, 39398).offset, EV_DATATYPE_INT64));
    push(parm(" d*", "st", "INTVLEND", 39399, fieldOf(fields, 39399).offset, EV_DATATYPE_INT64));
    for (const StatsField &f : fields)
        if ((f.flags & STATS_F_ROW) && !(f.flags & STATS_F_OBJECT)) push(fieldRow(f));
    push(option(" d ", "a", "ALL", 1009));
    push(option(" d*", "w", "WHERE", 39300));
    push(option(" d*", "w", "PREWHERE", 39410));
    if (n != Rows) throw "fewer rows than the table holds";
    return out;
}

constinit std::array<evParmDef, 63> statqParms = makeParms<62>("STATQ", kStatQFields);
constinit std::array<evParmDef, 44> statchlParms = makeParms<43>("STATCHL", kStatChlFields);
constinit std::array<evParmDef, 152> statmqiParms = makeParms<151>("STATMQI", kStatMQIFields, true);
constinit std::array<evParmDef, 99> acctqParms = makeParms<98>("ACCTQ", kAcctQFields);
constinit std::array<evParmDef, 136> acctmqiParms = makeParms<135>("ACCTMQI", kAcctMQIFields, true);

template <typename Record, size_t N, size_t P>
constexpr StatsFamily family(const char *name, uint16_t command, uint32_t displayCode, uint32_t streamType,
                             int32_t objectId, int32_t groupId, const std::array<StatsField, N> &fields,
                             const IdIndex<N> &index, std::array<evParmDef, P> &parms) {
    return StatsFamily{name,
                       command,
                       displayCode,
                       streamType,
                       objectId,
                       groupId,
                       sizeof(Record),
                       static_cast<uint16_t>(offsetof(Record, intervalStart)),
                       static_cast<uint16_t>(offsetof(Record, intervalEnd)),
                       static_cast<uint16_t>(offsetof(Record, duration)),
                       static_cast<uint16_t>(offsetof(Record, intervals)),
                       static_cast<uint16_t>(offsetof(Record, flags)),
                       fields.data(),
                       N,
                       index.rows.data(),
                       index.count,
                       parms.data(),
                       P - 1};
}

}  // namespace

constinit const StatsFamily evStatQFamily = family<StatQRecord>(
    "StatQ", 165, 9023, STREAM_TYPE_STATQ, 2016, STATS_GROUP_Q_STATS, kStatQFields, kStatQIndex, statqParms);
constinit const StatsFamily evStatChlFamily =
    family<StatChlRecord>("StatChl", 166, 9024, STREAM_TYPE_STATCHL, 3501, STATS_GROUP_CHL_STATS,
                          kStatChlFields, kStatChlIndex, statchlParms);
constinit const StatsFamily evStatMQIFamily =
    family<StatMQIRecord>("StatMQI", 164, 9025, STREAM_TYPE_STATMQI, 0, STATS_GROUP_MQI_STATS, kStatMQIFields,
                          kStatMQIIndex, statmqiParms);
constinit const StatsFamily evAcctMQIFamily =
    family<AcctMQIRecord>("AcctMQI", 167, 9027, STREAM_TYPE_ACCTMQI, 0, STATS_GROUP_MQI_ACCT, kAcctMQIFields,
                          kAcctMQIIndex, acctmqiParms);
constinit const StatsFamily evAcctQFamily = family<AcctQRecord>(
    "AcctQ", 168, 9026, STREAM_TYPE_ACCTQ, 2016, STATS_GROUP_Q_ACCT, kAcctQFields, kAcctQIndex, acctqParms);
