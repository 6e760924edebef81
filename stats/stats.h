// Statistics and accounting: the five record families (queue, channel and MQI statistics, queue and
// MQI accounting), read from their stored compressed records, summed by each family's rules, and
// described field by field by one table per family. The tables drive the parse, the sums, the
// derived totals and the has-value test, and give the DISPLAY field tables (keyword, PCF id, record
// offset, data type) that the MQSC translation, WHERE, the emitters and scripts read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "cmdserver/cmdserver.h"
#include "config/config.h"
#include "engine/engine.h"
#include "mqi/mqi.h"
#include "streams/streams.h"

// ---- Values ----

// A field never given a value, and one whose summed records disagreed (answered "*", a time -3).
inline constexpr uint32_t STATS_UNSET_32 = 0x80000000u;
inline constexpr uint32_t STATS_MIXED_32 = 0x80000002u;
inline constexpr int64_t STATS_UNSET_64 = INT64_MIN;
inline constexpr int64_t STATS_MIXED_64 = INT64_MIN + 2;

// EVFLAGS. The first is set by the aggregation for a record folded from a copy: StatQ, StatChl and
// AcctQ keep such records from the emitter; the MQI families then take the header times from the
// record. The second marks a sum over differing names under a PREFIX, PREFIX2 or SUFFIX key.
inline constexpr uint32_t AGGR_FLAG_FROM_COPY = 0x1;
inline constexpr uint32_t STATS_FLAG_GENERIC_NAME = 0x2;

// Key bits of StatQ, StatChl and AcctQ that collate names by their segments.
inline constexpr uint32_t STATS_KEY_PREFIX = 0x1;
inline constexpr uint32_t STATS_KEY_PREFIX2 = 0x2;
inline constexpr uint32_t STATS_KEY_SUFFIX = 0x4;
inline constexpr uint32_t STATS_KEY_SEGMENTS = STATS_KEY_PREFIX | STATS_KEY_PREFIX2 | STATS_KEY_SUFFIX;

// Identifiers the stored records carry besides the fields.
inline constexpr int32_t STATS_ID_STREAM = 39337;        // HLV_ATTR_STREAM_ID
inline constexpr int32_t STATS_ID_QMGR_NAME = 39340;     // HLV_ATTR_Q_MGR_NAME
inline constexpr int32_t STATS_ID_PADDING = 39299;       // HLV_ATTR_PADDING: an absent string's place
inline constexpr int32_t STATS_GROUP_Q_ACCT = 8010;      // MQGACF_Q_ACCOUNTING_DATA
inline constexpr int32_t STATS_GROUP_Q_STATS = 8011;     // MQGACF_Q_STATISTICS_DATA
inline constexpr int32_t STATS_GROUP_CHL_STATS = 8012;   // MQGACF_CHL_STATISTICS_DATA
inline constexpr int32_t STATS_GROUP_MQI_ACCT = 39204;   // HLV_GROUP_MQI_ACCOUNTING_DATA
inline constexpr int32_t STATS_GROUP_MQI_STATS = 39205;  // HLV_GROUP_MQI_STATISTICS_DATA

// A pooled string as the record format and the name helpers of mqi/ take it (null: empty).
inline EvStringView evStatsStringView(const StringEntry *entry) {
    return entry ? EvStringView{entry->text, entry->length, entry->ccsid} : EvStringView{"", 0, 0};
}

// A string or byte string item's text: lead 9 its bytes (copied into copy when one is given and
// large enough); 214 the "*" of the pool's mixed entry; 226 the pooled text, "<Not Present>" for an
// id the pool does not hold; any other item an empty result.
void evCFGetStringValue(EvStringView *result, const EvStringPool *pool, const evCFItem *item, uint8_t *copy,
                        uint32_t copyLength);

// ---- Records ----
// Fields in the order their families give them. A string field points at its pooled entry (null:
// absent; &evStringNotPresentEntry: an id the pool does not hold; &evStringMixedEntry: summed records
// disagreed). A connection identifier points into the stored record or the pool, beside its length;
// a mixed one is the one byte of evStringMixedEntry's text.
//
// Deliberately unlike the documented records, whose counters are unsigned 32-bit and sum by
// wrap-around addition: every counter that IBM MQ reports in 32 bits and that a sum adds (and the
// totals made of them) is held here in 64 bits (flag STATS_F_COUNT32), so that a sum over many
// intervals or objects is kept whole instead of wrapping onto the unset and mixed values or below 0.
// Such a counter is read zero-extended from a 32-bit item and answered as MQCFIN while it fits.

struct StatQRecord {
    Stream *stream;
    const StringEntry *queueName;
    uint32_t queueType;
    uint32_t definitionType;
    uint32_t commandLevel;
    uint32_t flags;
    int64_t intervalStart;
    int64_t intervalEnd;
    uint32_t duration;
    uint32_t intervals;
    int64_t records;
    uint32_t aggrInterval;
    int64_t countAvgQTimeNP;
    int64_t countAvgQTimeP;
    int64_t allPuts;
    int64_t puts;
    int64_t putsNP;
    int64_t putsP;
    int64_t putBytes;
    int64_t putBytesNP;
    int64_t putBytesP;
    int64_t putsFailed;
    int64_t put1s;
    int64_t put1sNP;
    int64_t put1sP;
    int64_t put1sFailed;
    int64_t gets;
    int64_t getsNP;
    int64_t getsP;
    int64_t getsFailed;
    int64_t getBytes;
    int64_t getBytesNP;
    int64_t getBytesP;
    int64_t browses;
    int64_t browsesNP;
    int64_t browsesP;
    int64_t browsesFailed;
    int64_t browseBytes;
    int64_t browseBytesNP;
    int64_t browseBytesP;
    int64_t msgsNotQueued;
    int64_t msgsExpired;
    int64_t msgsPurged;
    int64_t avgQTimeNP;
    int64_t avgQTimeP;
    uint32_t minDepth;
    uint32_t maxDepth;
};

struct StatChlRecord {
    Stream *stream;
    const StringEntry *channelName;
    const StringEntry *remoteQmgrName;
    const StringEntry *connectionName;
    int64_t intervalStart;
    int64_t intervalEnd;
    uint32_t duration;
    uint32_t intervals;
    int64_t records;
    uint32_t aggrInterval;
    uint32_t commandLevel;
    uint32_t flags;
    int64_t countNetTime;
    int64_t countExitTime;
    int64_t countBatchSize;
    uint32_t channelType;
    int64_t msgs;
    int64_t bytes;
    uint32_t netTimeMin;
    int64_t netTimeAvg;
    uint32_t netTimeMax;
    uint32_t exitTimeMin;
    int64_t exitTimeAvg;
    uint32_t exitTimeMax;
    int64_t fullBatches;
    int64_t incompleteBatches;
    int64_t avgBatchSize;
    int64_t putRetries;
};

// The MQI counter table: X(id, member, keyword, type, in the accounting record, parts of a derived
// total). The statistics record holds the counters in this order.
#define STATS_MQI_COUNTERS(X)                                            \
    X(31107, connections, "CONNS", wide, yes, ())                        \
    X(31112, connectionsFailed, "CONNSFAIL", wide, no, ())               \
    X(31113, connectionsMax, "CONNSMAX", uint32_t, no, ())               \
    X(31109, discNormal, "DISCSNORM", wide, no, ())                      \
    X(31110, discImplicit, "DISCSIMPL", wide, no, ())                    \
    X(31111, discQmgr, "DISCSQMGR", wide, no, ())                        \
    X(31042, openQueue, "OPENQ", wide, yes, ())                          \
    X(31043, openNamelist, "OPENNL", wide, yes, ())                      \
    X(31044, openProcess, "OPENPR", wide, yes, ())                       \
    X(31045, openQmgr, "OPENQM", wide, yes, ())                          \
    X(31046, openTopic, "OPENTP", wide, yes, ())                         \
    X(31047, openFailQueue, "OPENQFL", wide, yes, ())                    \
    X(31048, openFailNamelist, "OPENNLFL", wide, yes, ())                \
    X(31049, openFailProcess, "OPENPRFL", wide, yes, ())                 \
    X(31050, openFailQmgr, "OPENQMFL", wide, yes, ())                    \
    X(31051, openFailTopic, "OPENTPFL", wide, yes, ())                   \
    X(31052, closeQueue, "CLOSEQ", wide, yes, ())                        \
    X(31053, closeNamelist, "CLOSENL", wide, yes, ())                    \
    X(31054, closeProcess, "CLOSEPR", wide, yes, ())                     \
    X(31055, closeQmgr, "CLOSEQM", wide, yes, ())                        \
    X(31056, closeTopic, "CLOSETP", wide, yes, ())                       \
    X(31057, closeFailQueue, "CLOSEQFL", wide, yes, ())                  \
    X(31058, closeFailNamelist, "CLOSENLFL", wide, yes, ())              \
    X(31059, closeFailProcess, "CLOSEPRFL", wide, yes, ())               \
    X(31060, closeFailQmgr, "CLOSEQMFL", wide, yes, ())                  \
    X(31061, closeFailTopic, "CLOSETPFL", wide, yes, ())                 \
    X(31065, inqQueue, "INQQ", wide, yes, ())                            \
    X(31066, inqNamelist, "INQNL", wide, yes, ())                        \
    X(31067, inqProcess, "INQPR", wide, yes, ())                         \
    X(31068, inqQmgr, "INQQM", wide, yes, ())                            \
    X(31069, inqFailQueue, "INQQFL", wide, yes, ())                      \
    X(31070, inqFailNamelist, "INQNLFL", wide, yes, ())                  \
    X(31071, inqFailProcess, "INQPRFL", wide, yes, ())                   \
    X(31072, inqFailQmgr, "INQQMFL", wide, yes, ())                      \
    X(31073, setQueue, "SETQ", wide, yes, ())                            \
    X(31074, setFailQueue, "SETQFL", wide, yes, ())                      \
    X(31038, allPuts, "ALLPUT", wide, yes, (31002, 31006))               \
    X(31002, puts, "PUT", wide, yes, (31003, 31004))                     \
    X(31003, putsNP, "PUTNP", wide, yes, ())                             \
    X(31004, putsP, "PUTP", wide, yes, ())                               \
    X(31005, putsFailed, "PUTFAIL", wide, yes, ())                       \
    X(31006, put1s, "PUT1", wide, yes, (31007, 31008))                   \
    X(31007, put1sNP, "PUT1NP", wide, yes, ())                           \
    X(31008, put1sP, "PUT1P", wide, yes, ())                             \
    X(31009, put1sFailed, "PUT1FAIL", wide, yes, ())                     \
    X(31010, putBytes, "PUTBYTE", int64_t, yes, (31011, 31012))          \
    X(31011, putBytesNP, "PUTBYTENP", int64_t, yes, ())                  \
    X(31012, putBytesP, "PUTBYTEP", int64_t, yes, ())                    \
    X(31013, gets, "GET", wide, yes, (31014, 31015))                     \
    X(31014, getsNP, "GETNP", wide, yes, ())                             \
    X(31015, getsP, "GETP", wide, yes, ())                               \
    X(31019, getsFailed, "GETFAIL", wide, yes, ())                       \
    X(31016, getBytes, "GETBYTE", int64_t, yes, (31017, 31018))          \
    X(31017, getBytesNP, "GETBYTENP", int64_t, yes, ())                  \
    X(31018, getBytesP, "GETBYTEP", int64_t, yes, ())                    \
    X(31020, browses, "BRS", wide, yes, (31021, 31022))                  \
    X(31021, browsesNP, "BRSNP", wide, yes, ())                          \
    X(31022, browsesP, "BRSP", wide, yes, ())                            \
    X(31023, browsesFailed, "BRSFAIL", wide, yes, ())                    \
    X(31024, browseBytes, "BRSBYTE", int64_t, yes, (31025, 31026))       \
    X(31025, browseBytesNP, "BRSBYTENP", int64_t, yes, ())               \
    X(31026, browseBytesP, "BRSBYTEP", int64_t, yes, ())                 \
    X(31062, commits, "COMMIT", wide, yes, ())                           \
    X(31063, commitsFailed, "COMMITFL", wide, yes, ())                   \
    X(31064, backouts, "BACKOUT", wide, yes, ())                         \
    X(31028, msgsExpired, "EXPIRED", wide, no, ())                       \
    X(31029, msgsPurged, "PURGED", wide, no, ())                         \
    X(31075, subDurCreated, "SUBDURCR", wide, yes, ())                   \
    X(31076, subDurAltered, "SUBDURAL", wide, yes, ())                   \
    X(31077, subDurResumed, "SUBDURRS", wide, yes, ())                   \
    X(31078, subNonDurCreated, "SUBNDURCR", wide, yes, ())               \
    X(31079, subNonDurAltered, "SUBNDURAL", wide, yes, ())               \
    X(31080, subNonDurResumed, "SUBNDURRS", wide, yes, ())               \
    X(31081, subFailed, "SUBFL", wide, yes, ())                          \
    X(31082, unsubDurClosed, "UNSUBDCLS", wide, yes, ())                 \
    X(31083, unsubDurRemoved, "UNSUBDREM", wide, yes, ())                \
    X(31084, unsubNonDurClosed, "UNSUBNCLS", wide, yes, ())              \
    X(31085, unsubNonDurRemoved, "UNSUBNREM", wide, yes, ())             \
    X(31086, unsubFailed, "UNSUBFL", wide, yes, ())                      \
    X(31087, subRqs, "SUBRQ", wide, yes, ())                             \
    X(31088, subRqsFailed, "SUBRQFL", wide, yes, ())                     \
    X(31030, callbacks, "CBS", wide, yes, (31031, 31032, 31033, 31034))  \
    X(31031, cbsCreated, "CBCREATE", wide, yes, ())                      \
    X(31032, cbsRemoved, "CBREMOVE", wide, yes, ())                      \
    X(31033, cbsResumed, "CBRESUME", wide, yes, ())                      \
    X(31034, cbsSuspended, "CBSUSPEND", wide, yes, ())                   \
    X(31035, cbsFailed, "CBFAIL", wide, yes, ())                         \
    X(31089, ctlStarted, "CTLSTA", wide, yes, ())                        \
    X(31090, ctlStopped, "CTLSTP", wide, yes, ())                        \
    X(31091, ctlResumed, "CTLRES", wide, yes, ())                        \
    X(31092, ctlSuspended, "CTLSUS", wide, yes, ())                      \
    X(31093, ctlFailed, "CTLFL", wide, yes, ())                          \
    X(31094, stats, "STAT", wide, yes, ())                               \
    X(31095, statsFailed, "STATFL", wide, yes, ())                       \
    X(31114, subDurHighAll, "SUBDHWALL", uint32_t, no, ())               \
    X(31115, subDurHighApi, "SUBDHWAPI", uint32_t, no, ())               \
    X(31116, subDurHighAdmin, "SUBDHWADM", uint32_t, no, ())             \
    X(31117, subDurHighProxy, "SUBDHWPRX", uint32_t, no, ())             \
    X(31118, subDurLowAll, "SUBDLWALL", uint32_t, no, ())                \
    X(31119, subDurLowApi, "SUBDLWAPI", uint32_t, no, ())                \
    X(31120, subDurLowAdmin, "SUBDLWADM", uint32_t, no, ())              \
    X(31121, subDurLowProxy, "SUBDLWPRX", uint32_t, no, ())              \
    X(31122, subNonDurHighAll, "SUBNHWALL", uint32_t, no, ())            \
    X(31123, subNonDurHighApi, "SUBNHWAPI", uint32_t, no, ())            \
    X(31124, subNonDurHighAdmin, "SUBNHWADM", uint32_t, no, ())          \
    X(31125, subNonDurHighProxy, "SUBNHWPRX", uint32_t, no, ())          \
    X(31126, subNonDurLowAll, "SUBNLWALL", uint32_t, no, ())             \
    X(31127, subNonDurLowApi, "SUBNLWAPI", uint32_t, no, ())             \
    X(31128, subNonDurLowAdmin, "SUBNLWADM", uint32_t, no, ())           \
    X(31129, subNonDurLowProxy, "SUBNLWPRX", uint32_t, no, ())           \
    X(31096, putTopic, "PUTTOP", wide, yes, (31097, 31098))              \
    X(31097, putTopicNP, "PUTTOPNP", wide, yes, ())                      \
    X(31098, putTopicP, "PUTTOPP", wide, yes, ())                        \
    X(31099, putTopicFailed, "PUTTOPFL", wide, yes, ())                  \
    X(31100, put1Topic, "PUT1TOP", wide, yes, (31101, 31102))            \
    X(31101, put1TopicNP, "PUT1TOPNP", wide, yes, ())                    \
    X(31102, put1TopicP, "PUT1TOPP", wide, yes, ())                      \
    X(31103, put1TopicFailed, "PUT1TOPFL", wide, yes, ())                \
    X(31104, putTopicBytes, "PUTTOPBYTE", int64_t, yes, (31105, 31106))  \
    X(31105, putTopicBytesNP, "PUTTOPBYTENP", int64_t, yes, ())          \
    X(31106, putTopicBytesP, "PUTTOPBYTEP", int64_t, yes, ())            \
    X(31130, publishMsgs, "PUBMSG", wide, no, (31131, 31132))            \
    X(31131, publishMsgsNP, "PUBMSGNP", wide, no, ())                    \
    X(31132, publishMsgsP, "PUBMSGP", wide, no, ())                      \
    X(31133, publishMsgBytes, "PUBMSGBYTE", int64_t, no, (31134, 31135)) \
    X(31134, publishMsgBytesNP, "PUBMSGBYTENP", int64_t, no, ())         \
    X(31135, publishMsgBytesP, "PUBMSGBYTEP", int64_t, no, ())

// The accounting order of the counters the MQI accounting record carries, connections last.
// clang-format off
#define STATS_ACCT_MQI_ORDER(Y) \
    Y(openQueue) Y(openNamelist) Y(openProcess) Y(openQmgr) Y(openTopic) Y(openFailQueue) \
    Y(openFailNamelist) Y(openFailProcess) Y(openFailQmgr) Y(openFailTopic) Y(closeQueue) \
    Y(closeNamelist) Y(closeProcess) Y(closeQmgr) Y(closeTopic) Y(closeFailQueue) \
    Y(closeFailNamelist) Y(closeFailProcess) Y(closeFailQmgr) Y(closeFailTopic) Y(allPuts) Y(puts) \
    Y(putsNP) Y(putsP) Y(putsFailed) Y(put1s) Y(put1sNP) Y(put1sP) Y(put1sFailed) Y(putBytes) \
    Y(putBytesNP) Y(putBytesP) Y(gets) Y(getsNP) Y(getsP) Y(getsFailed) Y(getBytes) Y(getBytesNP) \
    Y(getBytesP) Y(browses) Y(browsesNP) Y(browsesP) Y(browsesFailed) Y(browseBytes) \
    Y(browseBytesNP) Y(browseBytesP) Y(commits) Y(commitsFailed) Y(backouts) Y(inqQueue) \
    Y(inqNamelist) Y(inqProcess) Y(inqQmgr) Y(inqFailQueue) Y(inqFailNamelist) Y(inqFailProcess) \
    Y(inqFailQmgr) Y(setQueue) Y(setFailQueue) Y(subDurCreated) Y(subDurAltered) Y(subDurResumed) \
    Y(subNonDurCreated) Y(subNonDurAltered) Y(subNonDurResumed) Y(subFailed) Y(unsubDurClosed) \
    Y(unsubDurRemoved) Y(unsubNonDurClosed) Y(unsubNonDurRemoved) Y(unsubFailed) Y(subRqs) \
    Y(subRqsFailed) Y(callbacks) Y(cbsCreated) Y(cbsRemoved) Y(cbsResumed) Y(cbsSuspended) \
    Y(cbsFailed) Y(ctlStarted) Y(ctlStopped) Y(ctlResumed) Y(ctlSuspended) Y(ctlFailed) Y(stats) \
    Y(statsFailed) Y(putTopic) Y(putTopicNP) Y(putTopicP) Y(putTopicFailed) Y(put1Topic) \
    Y(put1TopicNP) Y(put1TopicP) Y(put1TopicFailed) Y(putTopicBytes) Y(putTopicBytesNP) \
    Y(putTopicBytesP) Y(connections)
// clang-format on

// "wide": a 32-bit counter of IBM MQ, held in 64 bits (STATS_F_COUNT32).
#define STATS_MQI_TYPE_uint32_t uint32_t
#define STATS_MQI_TYPE_int64_t int64_t
#define STATS_MQI_TYPE_wide int64_t
#define STATS_MQI_MEMBER(id, member, keyword, type, acct, parts) STATS_MQI_TYPE_##type member;

struct StatMQIRecord {
    Stream *stream;
    int64_t intervalStart;
    int64_t intervalEnd;
    uint32_t duration;
    uint32_t intervals;
    uint32_t flags;
    int64_t records;
    uint32_t aggrInterval;
    uint32_t commandLevel;
    STATS_MQI_COUNTERS(STATS_MQI_MEMBER)
};

#define STATS_ACCT_MQI_MEMBER(member) decltype(StatMQIRecord::member) member;

struct AcctMQIRecord {
    Stream *stream;
    const StringEntry *applName;
    const StringEntry *userId;
    const StringEntry *channelName;
    const StringEntry *connectionName;
    const StringEntry *remoteProduct;
    const StringEntry *remoteVersion;
    const uint8_t *connId;
    uint16_t connIdLength;
    int64_t intervalStart;
    int64_t intervalEnd;
    uint32_t duration;
    uint32_t intervals;
    uint32_t commandLevel;
    uint32_t flags;
    int64_t records;
    uint32_t aggrInterval;
    int64_t connectTime;
    int64_t disconnectTime;
    int64_t connectionDuration;  // seconds; a sum over many connections passes 2^31 (STATS_F_COUNT32)
    uint32_t processId;
    uint32_t threadId;
    uint32_t discType;
    uint32_t sequenceNumber;
    STATS_ACCT_MQI_ORDER(STATS_ACCT_MQI_MEMBER)
};

#undef STATS_MQI_MEMBER
#undef STATS_ACCT_MQI_MEMBER

struct AcctQRecord {
    Stream *stream;
    const StringEntry *queueName;
    const StringEntry *applName;
    const StringEntry *userId;
    const StringEntry *channelName;
    const StringEntry *connectionName;
    const uint8_t *connId;
    uint16_t connIdLength;
    uint32_t flags;
    uint32_t commandLevel;
    uint32_t processId;
    uint32_t threadId;
    uint32_t queueType;
    uint32_t definitionType;
    uint32_t sequenceNumber;
    int64_t createTime;
    int64_t openTime;
    int64_t closeTime;
    int64_t intervalStart;
    int64_t intervalEnd;
    uint32_t duration;
    uint32_t intervals;
    int64_t records;
    uint32_t aggrInterval;
    int64_t countOnQNP;
    int64_t countOnQP;
    int64_t openCount;
    int64_t closeCount;
    int64_t allPuts;
    int64_t puts;
    int64_t putsNP;
    int64_t putsP;
    int64_t putsFailed;
    int64_t put1s;
    int64_t put1sNP;
    int64_t put1sP;
    int64_t put1sFailed;
    int64_t putBytes;
    int64_t putBytesNP;
    int64_t putBytesP;
    uint32_t putMinBytes;
    uint32_t putMinBytesNP;
    uint32_t putMinBytesP;
    uint32_t putMaxBytes;
    uint32_t putMaxBytesNP;
    uint32_t putMaxBytesP;
    int64_t generatedMsgs;
    int64_t gets;
    int64_t getsNP;
    int64_t getsP;
    int64_t getsFailed;
    int64_t getBytes;
    int64_t getBytesNP;
    int64_t getBytesP;
    uint32_t getMinBytes;
    uint32_t getMinBytesNP;
    uint32_t getMinBytesP;
    uint32_t getMaxBytes;
    uint32_t getMaxBytesNP;
    uint32_t getMaxBytesP;
    int64_t browses;
    int64_t browsesNP;
    int64_t browsesP;
    int64_t browsesFailed;
    int64_t browseBytes;
    int64_t browseBytesNP;
    int64_t browseBytesP;
    uint32_t browseMinBytes;
    uint32_t browseMinBytesNP;
    uint32_t browseMinBytesP;
    uint32_t browseMaxBytes;
    uint32_t browseMaxBytesNP;
    uint32_t browseMaxBytesP;
    int64_t callbacks;
    int64_t cbsCreated;
    int64_t cbsRemoved;
    int64_t cbsResumed;
    int64_t cbsSuspended;
    int64_t cbsFailed;
    int64_t timeOnQMinNP;
    int64_t timeOnQMinP;
    int64_t timeOnQAvgNP;
    int64_t timeOnQAvgP;
    int64_t timeOnQMaxNP;
    int64_t timeOnQMaxP;
};

static_assert(std::is_standard_layout_v<StatQRecord> && std::is_trivially_copyable_v<StatQRecord>);
static_assert(std::is_standard_layout_v<StatChlRecord> && std::is_trivially_copyable_v<StatChlRecord>);
static_assert(std::is_standard_layout_v<StatMQIRecord> && std::is_trivially_copyable_v<StatMQIRecord>);
static_assert(std::is_standard_layout_v<AcctMQIRecord> && std::is_trivially_copyable_v<AcctMQIRecord>);
static_assert(std::is_standard_layout_v<AcctQRecord> && std::is_trivially_copyable_v<AcctQRecord>);
// A connection identifier is a pointer with its u16 length right behind it (field data type 88).
static_assert(offsetof(AcctQRecord, connIdLength) == offsetof(AcctQRecord, connId) + sizeof(void *));
static_assert(offsetof(AcctMQIRecord, connIdLength) == offsetof(AcctMQIRecord, connId) + sizeof(void *));

// ---- Field tables ----

// How a field is held.
enum StatsWidth : uint8_t {
    STATS_W_U32,     // uint32_t (DISPLAY data type 2)
    STATS_W_I64,     // int64_t (data type 25)
    STATS_W_STRING,  // const StringEntry * (data type 89)
    STATS_W_BYTES,   // const uint8_t * and uint16_t length (data type 88)
    STATS_W_STREAM,  // Stream *: no id, no row
};

// How a sum treats a field (target T, added record A).
enum StatsRule : uint8_t {
    STATS_SUM_KEPT,           // T keeps its value
    STATS_SUM_ADDED,          // added, saturating (never onto unset, mixed or below 0)
    STATS_SUM_DERIVED,        // computed again from its parts
    STATS_SUM_MINIMUM,        // the smaller; an unset value never wins
    STATS_SUM_MAXIMUM,        // the larger; an unset value never wins
    STATS_SUM_SAME_OR_MIXED,  // A unset: no change; T unset: A's; differing: mixed, which stays
    STATS_SUM_TIME,           // unset and 0 are no value; two different values: mixed
    STATS_SUM_AVERAGE,        // a sum of averages, with its count (parts[0]) moved along
    STATS_SUM_AVERAGE_COUNT,  // moved by its average, never added by itself
    STATS_SUM_DURATION,       // A set: T unset takes A's, else T + A
    STATS_SUM_MIXED_STRING,   // differing entries: the mixed entry
    STATS_SUM_NAME,           // the object name: the mixed entry, or under a segment key the generic flag
    STATS_SUM_MIXED_BYTES,    // differing length or bytes, or one absent: "*"
    STATS_SUM_EARLIEST,       // the interval start, unless INTVL
    STATS_SUM_LATEST,         // the interval end, unless INTVL
    STATS_SUM_STREAM,         // differing streams: none
};

// What a derived field is of its parts.
enum StatsDerive : uint8_t { STATS_DERIVE_NONE, STATS_DERIVE_SUM, STATS_DERIVE_SMALLER, STATS_DERIVE_LARGER };

// Field flags.
inline constexpr uint16_t STATS_F_ROW = 0x1;         // a row of the DISPLAY field table
inline constexpr uint16_t STATS_F_FILTER = 0x2;      // that row also takes a value: a DISPLAY filter
inline constexpr uint16_t STATS_F_TIME = 0x4;        // a time (type letter 't')
inline constexpr uint16_t STATS_F_MEASURE = 0x8;     // has a value when neither 0 nor unset
inline constexpr uint16_t STATS_F_LEVEL = 0x10;      // has a value when not 0
inline constexpr uint16_t STATS_F_PRESENT = 0x20;    // has a value when present
inline constexpr uint16_t STATS_F_UNSET = 0x40;      // unset before a record is read
inline constexpr uint16_t STATS_F_ONE = 0x80;        // 1 before a record is read
inline constexpr uint16_t STATS_F_SIGNED = 0x100;    // minimum and maximum compare signed
inline constexpr uint16_t STATS_F_WIDENED = 0x200;   // a 64-bit average that may arrive as a 32-bit one
inline constexpr uint16_t STATS_F_OBJECT = 0x400;    // the object of the DISPLAY command: its object row
inline constexpr uint16_t STATS_F_SELECT = 0x800;    // the interval times: their rows are selection rows
inline constexpr uint16_t STATS_F_COUNT32 = 0x1000;  // a 32-bit counter of IBM MQ held in 64 bits
inline constexpr uint16_t STATS_F_SLOT32 = 0x2000;   // and the third aggregation layout's slot was 32 bits

struct StatsField {
    uint32_t id;          // PCF parameter identifier, 0 for a field that has none
    const char *keyword;  // MQSC keyword, null for a field without one
    uint16_t offset;      // in the family's record
    uint8_t width;        // StatsWidth
    uint8_t rule;         // StatsRule
    uint16_t flags;       // STATS_F_*
    uint8_t derive;       // StatsDerive
    uint8_t partCount;
    uint16_t parts[4];  // offsets: a derived field's parts; an average's count
};

struct StatsFamily {
    const char *name;      // "StatQ", ...
    uint16_t command;      // MQ command of its stored records
    uint32_t displayCode;  // its DISPLAY command
    uint32_t streamType;
    int32_t objectId;  // the id that starts each object's portion; 0 for the MQI families
    int32_t groupId;   // the group of an aggregation portion (and of the objects of stored records)
    uint32_t recordSize;
    uint16_t startOffset;  // the interval start, end, duration, interval count and flags
    uint16_t endOffset;
    uint16_t durationOffset;
    uint16_t intervalsOffset;
    uint16_t flagsOffset;
    const StatsField *fields;  // in record order
    uint32_t fieldCount;
    const uint16_t *byId;  // indexes of the fields with an id, by ascending id
    uint32_t idCount;
    evParmDef *parms;  // the DISPLAY field table, ended by a row whose id is 0
    uint32_t parmCount;
};

extern const StatsFamily evStatQFamily;
extern const StatsFamily evStatChlFamily;
extern const StatsFamily evStatMQIFamily;
extern const StatsFamily evAcctMQIFamily;
extern const StatsFamily evAcctQFamily;

// The field of an id, or null.
const StatsField *evStatsFieldById(const StatsFamily *family, int32_t id);

// ---- What a parse finds beside the record ----

struct StatsParseContext {
    const StringEntry *qmgrName;  // 39340; null when the record has none
    StreamDef *streamDef;         // of 39337 (0: the built-in "$STRINGS"); null when none
};

// ---- Family operations ----
// Cursors are opened with resolve 0, so interned strings arrive as ids. Sums take the query's INTVL
// flag (times are then left alone) and its key mask (a segment key sums differing names into a
// generic one); without a query both are 0.

// Queue statistics (165): the common part up to the first queue name into keys (context optional);
// then each call reads one queue, starting from keys: 1, or 0 when no queue is left.
void evStatQParseKeys(evCFCursor *cursor, StatsParseContext *context, StatQRecord *keys);
int evStatQParse(evCFCursor *cursor, const StatQRecord *keys, StatQRecord *record);
void evStatQDeriveTotals(StatQRecord *record);
int evStatQHasValue(const StatQRecord *record, int32_t id);
void evStatQSum(StatQRecord *target, const StatQRecord *added, int intvl, uint32_t keyMask);
void evStatQCollateAdd(StatQRecord *entry, const StatQRecord *record);

// Channel statistics (166): as the queue statistics, one channel a call.
void evStatChlParseKeys(evCFCursor *cursor, StatsParseContext *context, StatChlRecord *keys);
int evStatChlParse(evCFCursor *cursor, const StatChlRecord *keys, StatChlRecord *record);
void evStatChlDeriveTotals(StatChlRecord *record);
int evStatChlHasValue(const StatChlRecord *record, int32_t id);
void evStatChlSum(StatChlRecord *target, const StatChlRecord *added, int intvl, uint32_t keyMask);
void evStatChlCollateAdd(StatChlRecord *entry, const StatChlRecord *record);

// MQI statistics (164). With common set the record is cleared and read up to the first group (an
// aggregation message's portion) or the end; without it the record, a copy of the common part,
// takes one portion up to its group end. 1 when something was read; 0 when no portion is left.
int evStatMQIParse(int common, evCFCursor *cursor, StatsParseContext *context, StatMQIRecord *record);
void evStatMQIDeriveTotals(StatMQIRecord *record);
int evStatMQIHasValue(const StatMQIRecord *record, int32_t id);
void evStatMQISum(StatMQIRecord *target, const StatMQIRecord *added, int intvl);
void evStatMQICollateAdd(StatMQIRecord *entry, const StatMQIRecord *record);

// MQI accounting (167): as the MQI statistics.
int evAcctMQIParse(int common, evCFCursor *cursor, StatsParseContext *context, AcctMQIRecord *record);
void evAcctMQIDeriveTotals(AcctMQIRecord *record);
int evAcctMQIHasValue(const AcctMQIRecord *record, int32_t id);
void evAcctMQISum(AcctMQIRecord *target, const AcctMQIRecord *added, int intvl);
void evAcctMQICollateAdd(AcctMQIRecord *entry, const AcctMQIRecord *record);

// Queue accounting (168): the application part up to the first queue name into keys, with the
// "<Not Present>" channel and connection names of queue managers below command level 930; then one
// queue a call.
void evAcctQParseKeys(evCFCursor *cursor, StatsParseContext *context, AcctQRecord *keys);
int evAcctQParse(evCFCursor *cursor, const AcctQRecord *keys, AcctQRecord *record);
void evAcctQDeriveTotals(AcctQRecord *record);
int evAcctQHasValue(const AcctQRecord *record, int32_t id);
void evAcctQSum(AcctQRecord *target, const AcctQRecord *added, int intvl, uint32_t keyMask);
void evAcctQCollateAdd(AcctQRecord *entry, const AcctQRecord *record);

// ---- The emitters' record parsers ----
// One per family, for a cursor over a stored record: the first call (first set) decodes the key
// part, and every call fills the object at the start of work with the next object of the record: 1,
// or 0 when the record is used up. work is the family's StatsEmitWork: the object first, so that the
// field table's offsets address it, then the key part it starts from.

template <typename Record>
struct StatsEmitWork {
    Record object;
    Record keys;
    uint32_t objects;  // given so far, which the emitters number
    uint32_t done;     // the record is used up
};

using StatsEmitParse = int (*)(int first, evCFCursor *cursor, void *work);

int evStatQEmitParse(int first, evCFCursor *cursor, void *work);
int evStatChlEmitParse(int first, evCFCursor *cursor, void *work);
int evStatMQIEmitParse(int first, evCFCursor *cursor, void *work);
int evAcctMQIEmitParse(int first, evCFCursor *cursor, void *work);
int evAcctQEmitParse(int first, evCFCursor *cursor, void *work);

// What an emitter needs of a family: its parser, the work area's size and the field table.
struct StatsEmitSlot {
    const StatsFamily *family;
    StatsEmitParse parse;
    uint32_t workSize;
};
// Commands 164 to 168, in that order.
extern const StatsEmitSlot evStatsEmitSlots[5];

// ---- Intake of IBM MQ statistics and accounting messages ----
// The message processors of MQCFH commands 165, 166, 164, 168 and 167, over a cursor on the message:
// each stores the message as one record of its family through the engine's stream road. A message
// without a queue manager name, or one that cannot be read, goes to the dead-letter queue (feedback
// 200002). 1 done (a message that a rule drops included), 0 the unit of work must back out.
struct QmgrContext;
int evIngestStatQ(QmgrContext *context, EventQueueDef *queue, PcfCursor *cursor);
int evIngestStatChl(QmgrContext *context, EventQueueDef *queue, PcfCursor *cursor);
int evIngestStatMQI(QmgrContext *context, EventQueueDef *queue, PcfCursor *cursor);
int evIngestAcctQ(QmgrContext *context, EventQueueDef *queue, PcfCursor *cursor);
int evIngestAcctMQI(QmgrContext *context, EventQueueDef *queue, PcfCursor *cursor);

// ---- Aggregation ----
// A stream with an AGGRINT folds its records into bins of that interval, aligned to local midnight;
// the bins are kept on the data queue as aggregation messages (CorrelId byte 0 0xAA), hardened in the
// unit of work of the set that changed them, loaded again at every connect and absorbed into stored
// records (header flag 16) once due. The structures live in stats/aggr.h.

struct AggrBin;
struct AggrMsgDesc;

// The work context of an aggregation run: what a fold, a harden, a load or an absorb works on. The
// emitters' EmitContext is handed through unread (emit) for the emission of absorbed records.
struct AggrWork {
    QmgrContext *context;
    EvStreamIo *io;  // the data queue of the set whose unit of work this is
    QmgrEntry *qmgr;
    Stream *stream;
    StreamDef *definition;
    AggrBin *bin;
    AggrMsgDesc *message;  // the current message: portions of one load or one fold go there
    Area *area;            // "AGGRAREA"
    EmitContext *emit;
    int32_t loading;      // folding a loaded aggregation message: nothing becomes dirty
    int32_t stop;         // the emitter replaced memory: the absorb's callers stop at once
    int32_t noEmit;       // AGGR_FLAG_FROM_COPY: folded and absorbed records are kept from the emitter
    int32_t hardenAgain;  // an absorb changed streams: harden them before the commit
};

// What the aggregation's callers get besides 1 and 0: the emitter of an absorbed record reloaded
// memory from the data queue or the connection ends. Bins, streams and entries are gone: the caller
// and every caller above it stop at once and touch none of the pointers they held.
inline constexpr int AGGR_REPLACED = 2;

// What the aggregation needs of the emitters: an absorbed record to the work's stream's emitter, with
// the record's unique id (made from its stream and bytes; null: none); noEmit
// keeps it from the emitter. 1, 0 when the emitter failed, or AGGR_REPLACED. Empty: absorbed records
// are stored only. statsInstall fills it with the emitters' emitRecord.
struct StatsEmitHooks {
    int (*emitRecord)(const AggrWork *work, int noEmit, const uint8_t *msgId, uint8_t *record,
                      uint32_t length);
};
extern StatsEmitHooks evStatsEmitHooks;

// Folds one record into the bin of its interval in an aggregating stream (fromCopy: the stream copy's
// fold, kept from the emitter). A live fold absorbs at once when the stream holds more than Window
// open bins. 1, 0 (the unit of work backs out), or AGGR_REPLACED.
[[nodiscard]] int evAggrAddRecord(QmgrContext *context, QmgrEntry *qmgr, Stream *stream, int fromCopy,
                                  const uint8_t *record, uint32_t length);
// Absorbs the work's stream's due bins, oldest first; with reschedule the wake-up time is computed
// again from the bins left. 1, 0, or AGGR_REPLACED (the work's stop flag set).
[[nodiscard]] int evAggrRunDue(AggrWork *work, int reschedule);
// Lowers the next wake-up time to the bin end's due time (none while the sweep is disabled).
void evAggrScheduleNext(const StreamDef *definition, int64_t end);
// Puts every changed aggregation message in the unit of work of io's set. 1, or 0 with everything it
// changed restored (the sync point backs out).
[[nodiscard]] int evAggrHarden(QmgrContext *context, EvStreamIo *io);
// Absorbs every aggregating stream's due bins (queue managers in name order), then hardens the streams
// that took records. 1, 0, or AGGR_REPLACED.
[[nodiscard]] int evAggrAbsorbAll(QmgrContext *context, EvStreamIo *io);
// Reads every aggregation message of the data queue into bins (after the streams are loaded). A
// damaged message is reported once and skipped. 1, or 0 when the data queue failed or storage ran out.
[[nodiscard]] int evAggrMsgReadAll(QmgrContext *context, EvStreamIo *io);
// Loads one aggregation message read from the data queue: its whole layout is checked before any of
// it is folded. 1 loaded (or left alone: its queue manager or stream is not known), 0 damaged
// (nothing folded), -1 out of storage.
[[nodiscard]] int evAggrMsgLoad(AggrWork *work, const uint8_t *body, uint32_t length, const uint8_t *msgId);
// Discards a stream's bins and removes their messages in io's unit of work (a purge). 1, or 0.
[[nodiscard]] int evAggrDiscardBins(EvStreamIo *io, Stream *stream);
// The memory drop: every bin, entry and message descriptor goes back to its pool (all: the pools too).
void evAggrFreeAll(int all);
// The time of the stream's oldest open bin (its end), or 0 when it has none.
int64_t evAggrOldestBin(const Stream *stream);
// Writes up to capacity of the stream's active bins, oldest first; returns how many it has.
uint32_t evAggrActiveBinsByTime(Stream *stream, AggrBin **bins, uint32_t capacity);

// The end of the bin of interval length seconds that holds a record ending at t: the first boundary
// at or after t, boundaries being local midnight of t's UTC date plus whole intervals.
int64_t evAggrBinEnd(int64_t t, uint32_t length);

// Registers the five DISPLAY field tables with the command tables and fills the engine's intake and
// aggregation slots, stream storage's aggregation hooks and the emitters' record parsers. 1, or 0
// when a table was refused.
int statsInstall();

// ---- The DISPLAY query of the statistics displays ----
// One query per DISPLAY STATQ, STATCHL, STATMQI, ACCTQ or ACCTMQI command: its parameters, the
// combination rules and the interval arithmetic every family shares.

// A family's SUM value and the key bit it sets; a table ends with value 0.
struct StatsSumKey {
    int32_t value;
    uint32_t bit;
};
inline constexpr int32_t STATS_SUM_NONE = 1;
inline constexpr int32_t STATS_SUM_TOTAL = 2;
inline constexpr uint32_t STATS_KEY_OBJECT = 0x10;  // the family's object name

inline constexpr int32_t STATS_GAPFILL_NO = 0;
inline constexpr int32_t STATS_GAPFILL_INNER = 1;
inline constexpr int32_t STATS_GAPFILL_ACTIVITY = 2;
inline constexpr int32_t STATS_GAPFILL_FULL = 3;
inline constexpr int32_t STATS_ALIGN_CLOCK = 0;
inline constexpr int32_t STATS_ALIGN_MQ = 1;
inline constexpr size_t STATS_TITLE_MAX = 20;

struct StatsQuery {
    QmgrContext *context;
    int32_t command;
    EvSelection selection;  // window, zone, MAXRESP, MAXRECS, EVQMGR, WHERE, PREWHERE
    uint32_t capacity;      // entries of the collation list
    int32_t gapFill;
    int32_t align;
    int64_t interval;  // INTVL, seconds; 0: not given
    int32_t zeroValues;
    int32_t sumMode;  // 0 not given, STATS_SUM_NONE, STATS_SUM_TOTAL
    uint32_t keyMask;
    int32_t segment;  // 1 PREFIX, 2 PREFIX2, -1 SUFFIX, 0 none
    int32_t sumNoneGiven;
    int32_t collate;  // 0 NONE, else the pattern code
    int32_t lowestPeriod;
    int32_t highestPeriod;
    int32_t uneven;      // a stream's aggregation interval does not divide the COLLATE period
    const char *stream;  // EVSTREAM filter; null: none
    int32_t streamLength;
    char title[STATS_TITLE_MAX + 1];
    // Interval state, set by the first record read.
    int32_t seenRecord;
    int32_t checkStoredInterval;
    int64_t mqBase;
    int64_t clockBase;
    int64_t storedInterval;
};

// Presets a query of the command: nothing given, the stored interval to be checked.
void evQueryInit(StatsQuery *query, QmgrContext *context, int32_t command);
// One SUM value against the family's table: 1, or 0 after the refusal.
int evQuerySumValue(StatsQuery *query, const PcfCursor *cursor, int32_t value, const StatsSumKey *sums);
// One parameter at the cursor: *recognised 1 when it is a query parameter (the result then tells
// whether it was taken: 0 after the refusal), 0 when the caller must answer it.
int evQueryParseParm(StatsQuery *query, const PcfCursor *cursor, const StatsSumKey *sums, int *recognised);
// The combination rules after the last parameter, then the window: 1, or 0 after the refusal.
int evQueryCheckOptions(StatsQuery *query, const StatsSumKey *sums, uint32_t defaultKeys);
// A dotted version filter as its fixed pattern ("7.5.*.1" -> "0705*01"), in place (text holds at least
// 9 bytes); a text without '.' stays. 1, or 0 for a filter that is not a version.
int evQueryParseRVersion(char *text);
// A matched stream against the COLLATE period (AGGRINT 0: nothing to check): 1, or 0 after the refusal.
int evQueryCheckStreamInterval(StatsQuery *query, const Stream *stream);
// One record's interval: the first sets the bases and checks INTVL against the stored interval; with
// INTVL the record's end moves to the boundary that ends its interval (a boundary belongs to the
// interval ending there) and its start one INTVL before. 1, or 0 after the refusal.
int evQueryCheckInterval(StatsQuery *query, int64_t *start, int64_t *end);
// Adds an MQCFIN (length 4) or MQCFIN64 (8) unless unset, or 0 while ZEROVALS is HIDE: 1, or 0 when
// the response has no room for it.
int evRespAddInt(const StatsQuery *query, PcfCursor *response, int32_t parmId, int64_t value, int32_t length);

// DISPLAY STATQ (9023) and DISPLAY STATCHL (9024): the handlers statsInstall registers.
int evDisplayStatQ(QmgrContext *context, uint8_t *command, int32_t length);
int evDisplayStatChl(QmgrContext *context, uint8_t *command, int32_t length);
// DISPLAY STATMQI (9025).
int evDisplayStatMQI(QmgrContext *context, uint8_t *command, int32_t length);
// DISPLAY ACCTQ (9026).
int evDisplayAcctQ(QmgrContext *context, uint8_t *command, int32_t length);
// DISPLAY ACCTMQI (9027).
int evDisplayAcctMQI(QmgrContext *context, uint8_t *command, int32_t length);
