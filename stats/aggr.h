// Shared by the aggregation files of stats/: bins, key groups, entries, message descriptors, their
// pools and the per-family layout of an aggregation message.
//
// An aggregation message on the data queue (CorrelId 0xAA and 23 zeros, persistent, MsgId assigned by
// the queue manager at the first put) is one compressed record in fixed-length form:
//   header (32): the family's command, the bin's interval end (4) and start (12), top-level count (30)
//   common part: 39340 queue manager name (string reference), 39337 stream id, 31 command level
//   N portions, each one group of the family's group id holding one aggregated record: the object
//   name first (the MQI families have none), then 31, then every stored field of the family's table.
// Every item but a group is followed by one padding run up to its largest size (AGGR_SIZE_*), so that
// all portions of a family have one length and a changed entry is rewritten in place. An absent string
// is a 39299 integer 0. The header count is the common part's top-level items (padding runs included)
// plus N.
//
// Four layouts: the first wrote the 32-bit counters of IBM MQ in 32-bit slots (AGGR_SIZE_INT); since
// they are held whole in 64 bits (stats/stats.h) they take 64-bit slots, so portions are longer; the
// second still wrote MQI accounting's connection duration in a 32-bit slot; the third the record
// counts, the averages' counts and AVGBATCH (STATS_F_SLOT32). A message of an earlier
// layout is told by its length, loaded as before, and written again in the present layout at the next
// harden (the old copy removed in the same unit of work).
#pragma once

#include <algorithm>
#include <cstring>

#include "stats/internal.h"

inline constexpr uint8_t AGGR_CORREL_KIND = 0xAA;
inline constexpr uint32_t AGGR_SIZE_INT = 7;       // 32-bit integer, string reference, unset or mixed
inline constexpr uint32_t AGGR_SIZE_INT64 = 11;    // 64-bit integer or time
inline constexpr uint32_t AGGR_SIZE_CONN_ID = 29;  // a connection identifier of up to 24 bytes
inline constexpr uint32_t AGGR_CONN_ID_MAX = 24;
// The writers' fixed-length modes: the present layout, and the earlier ones (used to size them only).
// The second layout held IBM MQ's counters in 64-bit slots but MQI accounting's connection duration
// in a 32-bit one; the present one holds that in 64 bits too.
inline constexpr int AGGR_FIXED = 1;
inline constexpr int AGGR_FIXED_V1 = 2;
inline constexpr int AGGR_FIXED_V2 = 3;
inline constexpr int AGGR_FIXED_V3 = 4;
inline constexpr uint32_t AGGR_PER_CHUNK = 100;
inline constexpr int64_t AGGR_INTERVAL_MAX = 86400;     // AGGRINT's largest
inline constexpr int64_t AGGR_DAY_MAX = 86400 + 7200;   // a local day, daylight saving included
inline constexpr int64_t AGGR_TIME_MAX = 253402300799;  // 9999-12-31 23:59:59 UTC
inline constexpr int32_t AGGR_ID_COMMAND_LEVEL = 31;    // MQIA_COMMAND_LEVEL
inline constexpr int32_t AGGR_ID_AGGR_INTERVAL = 39434;

// A pool of equal slots in chunks of 100, with a free list. Chunks stay until the pool is released.
struct AggrPool {
    uint32_t slotSize;
    void *chunks;   // each chunk: the next chunk's address, then the slots
    uint32_t fill;  // slots handed out of the newest chunk
    void *freeList;
    uint32_t handed;
    uint32_t freeCount;
};
// A zeroed slot, or null when out of storage.
void *aggrPoolTake(AggrPool *pool);
void aggrPoolGive(AggrPool *pool, void *slot);
void aggrPoolRelease(AggrPool *pool);

struct alignas(8) AggrMsgDesc {
    AggrMsgDesc *next;
    uint32_t family;       // index into evAggrFamilies
    uint32_t written;      // a copy is on the data queue
    uint32_t dirty;        // the body changed since it was put
    uint32_t portions;     // N
    uint32_t commonCount;  // top-level items of the common part
    uint8_t msgId[24];
    BlobStamp stamp;  // the unit of work of its last put or removal
};
static_assert(sizeof(AggrMsgDesc) % 8 == 0);
inline uint8_t *aggrBody(AggrMsgDesc *message) {
    return reinterpret_cast<uint8_t *>(message + 1);
}

// Room for the largest record of the five families.
inline constexpr size_t AGGR_RECORD_MAX =
    std::max({sizeof(StatQRecord), sizeof(StatChlRecord), sizeof(StatMQIRecord), sizeof(AcctMQIRecord),
              sizeof(AcctQRecord)});

struct AggrEntry {
    AggrEntry *next;
    AggrMsgDesc *message;  // null until it has a portion
    uint32_t offset;       // of its portion in the body
    uint32_t dirty;
    uint32_t written;
    uint8_t connId[AGGR_CONN_ID_MAX];  // the record's connection identifier points here
    alignas(8) uint8_t record[AGGR_RECORD_MAX];
};

// A key group: the entries that share the family's group key (their first entry holds it).
struct AggrKeyGroup {
    AggrKeyGroup *next;
    uint32_t inUse;
    AggrEntry *entries;
};

struct AggrBin {
    AggrBin *next;
    AggrMsgDesc *messages;  // newest first
    uint32_t active;
    uint32_t sequence;
    uint32_t length;  // seconds
    uint32_t family;
    int64_t start;
    int64_t end;
    int64_t lastUpdate;
    AggrKeyGroup *groups;
};

// What aggregation knows of a family beyond its field table.
struct AggrFamily {
    const StatsFamily *stats;
    const int32_t *groupKeys;  // field ids a key group shares (besides nothing else)
    uint32_t groupKeyCount;
    const int32_t *entryKeys;  // field ids an entry of a group is matched by (besides the stream)
    uint32_t entryKeyCount;
    uint32_t objects;  // absorbed as one record per key group with a group per entry
    // Sized at first use.
    uint32_t maxPortions;
    uint32_t commonLength;
    uint32_t portionLength;
    uint32_t portionLengthV1;  // of the first layout
    uint32_t portionLengthV2;  // of the second layout
    uint32_t portionLengthV3;  // of the third layout
    uint32_t bodyLength;
    AggrPool messages;
};
inline constexpr uint32_t AGGR_FAMILIES = 5;
extern AggrFamily evAggrFamilies[AGGR_FAMILIES];
// The family of a stream type or an MQ command, or null.
AggrFamily *aggrFamilyByType(uint32_t type);
AggrFamily *aggrFamilyByCommand(uint32_t command);
inline uint32_t aggrFamilyIndex(const AggrFamily *family) {
    return static_cast<uint32_t>(family - evAggrFamilies);
}
// Sizes the family (common and portion length, the message pool). 1, or 0.
int aggrSizeFamily(AggrFamily *family);

extern AggrPool evAggrEntryPool;

// Field access by the table's offsets.
template <typename T>
T aggrGet(const void *record, uint32_t offset) {
    T v;
    std::memcpy(&v, static_cast<const uint8_t *>(record) + offset, sizeof v);
    return v;
}
template <typename T>
void aggrPut(void *record, uint32_t offset, T v) {
    std::memcpy(static_cast<uint8_t *>(record) + offset, &v, sizeof v);
}
inline Stream *aggrRecordStream(const void *record) {
    return aggrGet<Stream *>(record, 0);  // every record begins with its stream
}
uint32_t aggrFieldOffset(const AggrFamily *family, int32_t id);

// ---- Writing (aggr_write.cpp) ----

// The common part into a writer set up over the header (fixed-length, padded).
int aggrWriteCommon(evCFWriter *w, const AggrFamily *family, const StringEntry *qmgrName, uint32_t streamId,
                    uint32_t commandLevel);
// One record as a group of the family (fixed: padded, as in a message; else as a stored record).
int aggrWritePortion(evCFWriter *w, const AggrFamily *family, const void *record, int fixed);
// The items of a record, flat (the stored form of an MQI family's absorbed record).
int aggrWriteFields(evCFWriter *w, const AggrFamily *family, const void *record, const int32_t *only,
                    uint32_t onlyCount, int fixed);
// Reads a portion's items (the cursor on its group item) into a preset record; connection
// identifiers are copied into connId. 1, or 0 when the portion is damaged.
int aggrReadPortion(evCFCursor *cursor, const AggrFamily *family, void *record, uint8_t *connId);

// ---- The framework (aggr.cpp) ----

// The current entry changed: it gets a portion in a message of the work's bin (marking it dirty). 1, or 0.
int aggrGetMessage(AggrWork *work, AggrEntry *entry);
// Marks the work's set's unit: a failure of it reloads memory.
void aggrMarkUnit(EvStreamIo *io);
// The bin of a loaded message's times, opened when missing. null when out of storage.
AggrBin *aggrFindOrOpenBin(Stream *stream, AggrFamily *family, int64_t start, int64_t end, int schedule);
// The start of the bin that ends at end: one interval earlier, or for a day the local midnight
// before (a day of 23 or 25 hours when daylight saving changes).
int64_t aggrBinStart(int64_t end, uint32_t length);
// A bin's interval length: its span, or a day for a local day of another length.
uint32_t aggrBinLength(int64_t start, int64_t end);

// A key group not in use of the bin (its list's spare, or a new one at the head); null when out of
// storage.
AggrKeyGroup *aggrTakeGroup(AggrBin *bin);
// Registers the bins as holders of the strings their messages refer to. 1, or 0.
int aggrInstallHolder();

// ---- Folds and absorbs (aggr_family.cpp) ----

// Folds a stored record into the work's bin. 1, or 0.
int aggrFold(AggrWork *work, AggrFamily *family, const uint8_t *record, uint32_t length);
// Folds one parsed record into the work's bin: summed into the entry of its keys and given a message
// slot, or (loading) always a new entry, which the load attaches to its portion. The entry, or null.
AggrEntry *aggrFoldOne(AggrWork *work, AggrFamily *family, void *record);
// Absorbs the work's bin into its stream (copy null) or stores it into the copy's target. 1, or 0.
int aggrAbsorb(AggrWork *work, AggrFamily *family, EvStreamCopy *copy, AggrBin *bin);

// ---- Messages (aggr_msg.cpp) ----

int aggrMsgPut(AggrWork *work, AggrMsgDesc *message);
int aggrMsgRemove(AggrWork *work, int syncpoint, AggrMsgDesc *message);
// Removes every written message of the work's bin and returns the descriptors. 1, or 0.
int aggrMsgRemoveAll(AggrWork *work, int syncpoint);
