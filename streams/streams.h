// Stream storage: named streams of compressed records kept in blobs. Stream definitions (global),
// runtime streams (one per definition and monitored queue manager) with their current blob and the
// full blobs behind it, and the string pool persisted in the special stream "$STRINGS".
#pragma once

#include <cstddef>
#include <cstdint>

#include "mqi/mqi.h"
#include "platform/platform.h"
#include "streams/blob.h"  // stored layouts: stream header, blob header, entries, BlobId

// Owned by later subsystems; stream storage only holds pointers to them.
struct QmgrEntry;      // a monitored queue manager (configuration)
struct EventQueueDef;  // an event queue (configuration)
struct EmitterDef;     // an emitter (record emitters)
struct AggrBin;        // an aggregation bin (statistics)

// ---- Hooks that later subsystems fill at start ----

struct EvStreamHooks {
    // Queues a log line on the command set's pending log lines, written when that set commits.
    void (*pendingLogLine)(const char *text);
    // The head of a queue manager's list of runtime streams.
    struct Stream **(*qmgrStreamList)(QmgrEntry *qmgr);
};
// Installs the hooks (null: none). Without pendingLogLine the line goes to the log at once; without
// qmgrStreamList a new stream is not linked to its queue manager.
void evStreamSetHooks(const EvStreamHooks *hooks);

// ---- Stream definitions ----

constexpr uint32_t STREAM_NAME_MAX = 64;
constexpr uint32_t STREAM_DESCR_MAX = 64;
constexpr uint32_t STREAM_EMITTER_MAX = 48;

// Stream types.
constexpr uint32_t STREAM_TYPE_EVENTS = 1;
constexpr uint32_t STREAM_TYPE_STATQ = 2;
constexpr uint32_t STREAM_TYPE_STATCHL = 3;
constexpr uint32_t STREAM_TYPE_STATMQI = 4;
constexpr uint32_t STREAM_TYPE_ACCTQ = 5;
constexpr uint32_t STREAM_TYPE_ACCTMQI = 6;
constexpr uint32_t STREAM_TYPE_STRINGS = 0xFFFFFFFF;  // the built-in definition of "$STRINGS" (TYPE -1)

constexpr uint32_t STREAM_RETAIN_EVENTS = 7776000;  // 90 days
constexpr uint32_t STREAM_RETAIN_STATS = 3888000;   // 45 days

struct StreamDef {
    StreamDef *next;                   // the list is sorted by name in ascending byte order
    char name[STREAM_NAME_MAX + 1];    // EVSTREAM; '$' begins a system name
    char descr[STREAM_DESCR_MAX + 1];  // DESCR
    uint16_t nameLength;
    uint32_t type;                        // TYPE 1 to 6
    uint32_t retIntvl;                    // RETINTVL, seconds
    uint32_t aggrInt;                     // AGGRINT, seconds; 0: records are stored as they come
    uint32_t disImplct;                   // DISIMPLCT: searched by displays that name no stream
    uint32_t isDefault;                   // DEFAULT: the default stream of its type
    uint32_t streamId;                    // unique over all definitions; names blobs and alerts
    char evEmit[STREAM_EMITTER_MAX + 1];  // EVEMIT: the emitter's name, empty for none
    EmitterDef *emitter;                  // resolved from evEmit after the first look-up
};

extern StreamDef *evStreamDefList;
extern uint32_t evStreamHighestId;

// "$EVENTS", "$STATQ", "$STATCHL", "$STATMQI", "$ACCTQ", "$ACCTMQI" for types 1 to 6, else "$EVENTS".
const char *evSystemStreamName(uint32_t type);
// The definition of name and type, made when missing (length -1: up to the NUL; cut to 64). id 0
// hands out the next id. Null when out of storage.
[[nodiscard]] StreamDef *evStreamDefine(const char *name, int32_t length, uint32_t type, int isAuto,
                                        uint32_t id);
// Retention and DEFAULT of a new definition, from the type's default or the built-in values.
void evStreamDefDefaults(StreamDef *def, int isAuto);
// The last definition of that exact name (type 0: any type); *ambiguous (optional) tells whether
// more than one matched.
StreamDef *evStreamDefFind(const char *name, int32_t length, uint32_t type, int *ambiguous);
// The definition with that stream id; id 0 gives the built-in "$STRINGS" definition, which is in no
// list and never saved. Null when no definition has the id.
StreamDef *evStreamDefFindById(uint32_t id);
// The type's default definition; with make, the type's system stream becomes the default when none is.
StreamDef *evDefaultStreamFind(uint32_t type, int make);
// Copies the name of the type's default stream, or its system name, into buffer (65 bytes).
void evStreamDefaultName(char *buffer, uint32_t type);
// Unlinks and frees the definition and queues "DELETE EVSTREAM('%s')". 1, or 0 when not found.
int evStreamDefDelete(const char *name, uint32_t type);
// Frees every definition (disconnect, tests) and forgets the highest id.
void evStreamDefFreeAll();

// ---- Runtime streams ----

constexpr uint32_t STREAM_NEEDS_HARDENING = 0x1;  // Stream::flags: set by appends, cleared by hardening

constexpr uint32_t STREAM_BLOB_SIZE = 10240;  // default capacity of one blob's entries
constexpr uint16_t STREAM_FACTOR = 100;       // default small blobs per big blob
// A blob message must fit the data queue's 4194304-byte messages: the header message needs the blob
// size + 184, a big blob up to factor x (blob size + 24) + 80.
constexpr uint32_t STREAM_MAX_MESSAGE = 4194304;
constexpr uint32_t STREAM_MAX_BLOB_SIZE = STREAM_MAX_MESSAGE - STREAM_AREA_EXTRA;

// A full blob of a stream: a pooled "BLOBMSG" area holding one blob message (AreaData; used = length).
struct StreamBlob {
    StreamBlob *next;  // the next older blob
    Area *area;
};
inline uint8_t *evStreamBlobHeader(const StreamBlob *blob) {
    return AreaData(blob->area);
}

struct Stream {
    Stream *next;                   // the next stream of the queue manager, sorted by definition name
    uint32_t streamId;              // the definition's (0 for "$STRINGS")
    StreamDef *definition;          // null for "$STRINGS"
    QmgrEntry *qmgr;                // null for "$STRINGS"
    Area *header;                   // "STREAMHDR": the stream header message (AreaData; used = length)
    AggrBin *aggregation;           // the aggregation bins; non-null while the stream aggregates
    EventQueueDef *lastEventQueue;  // the event queue that last put a record here
    uint32_t flags;                 // STREAM_NEEDS_HARDENING
    uint32_t blobSize;              // capacity of one blob's entries
    uint16_t factor;                // consolidation factor
    uint32_t blobCount;             // the current blob counts once it holds a record
    uint64_t recordCount;
    uint64_t smallBlobCount;  // full small blobs not yet consolidated
    uint64_t bytes;           // sum of the blob lengths
    int64_t oldest;           // oldest record time over all blobs; 0: to be computed
    int64_t lastMessage;      // time of the last append, for streams that do not aggregate
    StreamBlob *blobs;        // full blobs, newest first
    uint32_t activeBins;      // aggregation: bins open
    uint32_t binSequence;     // aggregation: the last bin number handed out
    uint32_t aggrMsgs;        // aggregation messages on the data queue (AGGRMSGS)
    int64_t newestUpdate;     // aggregation: newest update time
};

// The stream header message and its current blob.
inline uint8_t *evStreamMessage(const Stream *stream) {
    return AreaData(stream->header);
}
inline uint8_t *evStreamCurrentBlob(const Stream *stream) {
    return AreaData(stream->header) + SH_BLOB;
}
// Bytes the current blob can still take: the size asked for the header area less the message.
uint32_t evStreamRoom(const Stream *stream);
// The name messages give the stream: its definition's, or "$STRINGS".
const char *evStreamName(const Stream *stream);

// A new empty stream of the definition for the queue manager (both null: "$STRINGS"), with blob size
// and factor from ZUNT_STREAM when set. Null ("No storage available.") when out of storage.
[[nodiscard]] Stream *evStreamCreate(QmgrEntry *qmgr, StreamDef *definition);
// Frees a stream with its header and blobs; it must not be linked anywhere.
void evStreamFree(Stream *stream);
// The stream's blob size and factor as ZUNT_STREAM sets them (unchanged when it is not set).
void evStreamApplyOverride(Stream *stream);

// Appends one record (time 0: none); *entry receives the stored entry's data. The header area, or
// null when the record was refused (the stream unchanged).
[[nodiscard]] Area *evStreamAdd(QmgrEntry *qmgr, Stream *stream, const uint8_t *data, uint32_t length,
                                int64_t time, uint8_t **entry);
// Writes one entry into the current blob. 1, or 0 when it does not fit.
[[nodiscard]] int evStreamAppend(Stream *stream, const uint8_t *data, uint32_t length, int64_t time,
                                 uint8_t **entry);
// As evStreamAdd, but a record too big for a blob is stored as several records cut at its top-level
// group boundaries, each with the header and the items before the first group; *entry receives the
// last piece's data.
[[nodiscard]] Area *evStreamAddSplit(QmgrEntry *qmgr, Stream *stream, const uint8_t *data, uint32_t length,
                                     int64_t time, uint8_t **entry);
// Recomputes the stream's oldest time (from now down; blobs without times are skipped) and bytes
// over every blob, the current one included.
void evStreamRecompute(Stream *stream);

// ---- String pool ----

// One pooled string (heap record with its text behind it).
struct StringEntry {
    StringEntry *nextByText;  // text bucket chain, ordered by text then length
    StringEntry *nextById;    // id bucket chain, newest first
    uint8_t *storedEntry;     // the "$STRINGS" entry that stores it; null while unstored
    uint32_t id;              // 1 upward; 0 for the pool's own entries
    uint32_t ccsid;
    uint16_t length;
    const char *text;  // not NUL-terminated
};

struct StringPoolState {
    uint64_t countAtLoad;  // strings counted when the tables were made
    uint64_t strings;      // strings held
    uint32_t highestId;
    uint32_t buckets;      // of each table
    StringEntry **byText;  // chain heads by text hash
    StringEntry **byId;    // chain heads by id mod buckets
    Stream *stream;        // "$STRINGS"
};
extern StringPoolState evStrings;

// "<Not Present>" (id 0, CCSID 850): what every id not in the pool looks up as.
extern const StringEntry evStringNotPresentEntry;
// "*" (id 0, CCSID 850): the value a sum puts into differing string fields. In no table, never
// stored, known by its address; writers store it as lead 214.
extern const StringEntry evStringMixedEntry;

// Σ byte[i] x 53^(i+1), wrapping in 64 bits.
uint64_t evStringHash(const char *text, uint32_t length);
// The first of the table primes above the count, or 900007.
uint32_t evStringBucketCount(uint64_t strings);
// Makes the tables for that many strings when there are none yet. 1, or 0 when out of storage.
[[nodiscard]] int evStringsInit(uint64_t strings);
// Frees every pooled string and the tables; the "$STRINGS" stream is freed too when freeStream is set.
void evStringsFree(int freeStream);
// Makes the "$STRINGS" stream when there is none. The stream, or null when out of storage.
[[nodiscard]] Stream *evStringsCreateStream();
// With isNew: the id of the text, added and stored in "$STRINGS" when new. Without (load): enters a
// stored string under its stored id and entry. 0 without tables, for an empty or over-long text, or
// when out of storage.
[[nodiscard]] uint32_t evStringIntern(int isNew, uint32_t ccsid, const char *text, uint32_t length,
                                      uint32_t storedId, uint8_t *storedEntry);
// The string of an id; never null (evStringNotPresentEntry for an id not held).
const StringEntry *evStringLookup(uint32_t id);
// Re-points the strings stored in a "$STRINGS" blob that has moved: each entry that was at the same
// offset of oldBlob; with oldBlob null, every string of the same id, CCSID and text.
void evValidateStringMessage(uint8_t *blob, uint32_t bufferLength, const uint8_t *oldBlob);
// Rebuilds the pool from the blobs of a "$STRINGS" stream: counts their records, makes the tables and
// enters every stored string with its stored id and entry. 1, or 0 when out of storage.
[[nodiscard]] int evStringsLoad(Stream *strings);
// The CHECKSTRINGS report: duplicates, the number of strings, code pages.
void evStringsReport();
// The pool as the compressed-record format uses it.
extern const EvStringPool evStreamStringPool;
