// Stream storage: named streams of compressed records kept in blobs. Stream definitions (global),
// runtime streams (one per definition and monitored queue manager) with their current blob and the
// full blobs behind it, and the string pool persisted in the special stream "$STRINGS".
#pragma once

#include <atomic>
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
struct QmgrContext;    // the event processor's context, which a command's replies go through (engine)
struct EmitContext;    // the work context of an emission and of the aggregation absorbers (emitters)
struct EvStreamCopy;   // a COPY EVSTRMST under way (below)

// ---- The data queue of a connection set ----

// What a connection set lends stream storage for its gets and puts: one per set, kept in the engine's
// connection set; the connect fills it and the disconnect sets both handles back to -1. Every call
// that touches the data queue takes the set's block first.
struct EvStreamIo {
    const MQIFunctionTable *mq;  // the library the set's STATE connection was made with
    MQHCONN hconn;               // the STATE connection; -1 while not connected
    MQHOBJ hobj;                 // the data queue on it; -1 while not open
    uint32_t inFlight;           // messages put or got in the open unit of work
    uint32_t batchSize;          // transaction batch size
    uint64_t unit;               // number of the open unit of work; every commit and backout moves it on
};

// A data-queue call refused for the queue's state marks that state in evDataQueueCondition for the
// data-queue checks: full, put or get inhibited, or a MAXMSGL lowered below what the program puts.
void evDataQueueRefused(MQLONG reason);

// ---- Hooks that later subsystems fill at start ----

// One aggregation bin as the stream dump shows it.
struct EvBinView {
    uint32_t sequence;
    int32_t active;
    int64_t start;
    int64_t end;
};

struct EvStreamHooks {
    // Queues a log line on the command set's pending log lines, written when that set commits.
    void (*pendingLogLine)(const char *text);
    // The head of a queue manager's list of runtime streams.
    struct Stream **(*qmgrStreamList)(QmgrEntry *qmgr);
    // Commits the set's unit of work (the sync point's commit). 1, or 0 when it failed.
    int (*commit)(EvStreamIo *io);
    // Reports a failed MQ call once (a repeat of the same failure is not shown again).
    void (*reportMQError)(EvStreamIo *io, const char *text, int32_t reason);
    // Ends the connection (a failure that leaves the unit of work in doubt); the reconnect reloads.
    void (*endConnection)();
    // The queue manager after previous in name order (previous null: the first), or null.
    QmgrEntry *(*nextQmgr)(QmgrEntry *previous);
    // The queue manager's record number (the BlobId's), its name and the string id of its name.
    void (*qmgrIdentity)(QmgrEntry *qmgr, uint32_t *number, const char **name, uint32_t *nameId);
    // Discards the stream's aggregation bins and removes their messages. 1, or 0 when it failed.
    int (*discardBins)(EvStreamIo *io, struct Stream *stream);

    // -- What the search and the copy need of statistics, the engine and the command server --
    // Folds a record into the aggregating stream's bin (fromCopy 1 during a copy). 1, or 0. These
    // aggregation hooks may also give 2: memory was replaced (the emitters' reload), nothing held is
    // valid any more and the caller stops at once.
    int (*aggrAddRecord)(QmgrContext *context, QmgrEntry *qmgr, struct Stream *stream, int fromCopy,
                         const uint8_t *record, uint32_t length);
    // Absorbs the stream's due aggregation bins in the work context. 1, or 0.
    int (*aggrRunDue)(EmitContext *work, struct Stream *stream, int reschedule);
    // Absorbs one aggregation bin of the copy's source into its target, indexed by stream type (2 to
    // 6); each aggregated record is stored through evStreamStoreRecord. 1, or 0.
    int (*absorb[7])(EmitContext *work, EvStreamCopy *copy, AggrBin *bin);
    // Writes up to capacity of the stream's active bins into bins, oldest first; returns how many
    // the stream has.
    uint32_t (*activeBinsByTime)(struct Stream *stream, AggrBin **bins, uint32_t capacity);
    // Up to capacity of the stream's bins, newest first, as the stream dump shows them; returns how
    // many the stream has.
    uint32_t (*binsForDump)(const struct Stream *stream, EvBinView *bins, uint32_t capacity);
    // The held-bin threshold (-o w): a copy target holding more open bins absorbs its due bins at once.
    uint32_t (*heldBinThreshold)();
    // A progress line sent to the command's requester at once, outside the unit of work. 1, or 0.
    int (*progressReply)(QmgrContext *context, int32_t command, const char *text);
    // The command's error response with reason and text. 1, or 0.
    int (*errorReply)(QmgrContext *context, int32_t command, int32_t reason, const char *text);
};
// The hooks, for each installer to set its own members (engine, configuration, statistics).
EvStreamHooks *evStreamGetHooks();
// Installs the hooks (null: none). Without pendingLogLine the line goes to the log at once; without
// qmgrStreamList a new stream is not linked to its queue manager; without commit a unit is committed
// with MQCMIT on the set's STATE connection; without reportMQError the failure is printed; without
// nextQmgr only "$STRINGS" is walked; without qmgrIdentity a queue manager is number 0. Without
// heldBinThreshold the threshold is 10; without the replies nothing is sent.
void evStreamSetHooks(const EvStreamHooks *hooks);
// Queues a log line as stream storage does (pendingLogLine, else the log at once).
void evPendingLogLine(const char *text);

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
constexpr uint32_t STREAM_FUTURE_NOTED = 0x2;     // Stream::flags: its future-dated records were logged
// How far a record's time may lie after its arrival, for clocks that disagree, before it counts as
// dated in the future (seconds).
constexpr int64_t STREAM_FUTURE_TOLERANCE = 60;

// later - earlier in seconds, held at the limits of int64 instead of wrapping: stored times may be
// damaged.
inline int64_t evTimeSpan(int64_t later, int64_t earlier) {
    int64_t span = 0;
    if (__builtin_sub_overflow(later, earlier, &span)) return later > earlier ? INT64_MAX : INT64_MIN;
    return span;
}

constexpr uint32_t STREAM_BLOB_SIZE = 10240;  // default capacity of one blob's entries
constexpr uint16_t STREAM_FACTOR = 100;       // default small blobs per big blob
// A blob message must fit the data queue's 4194304-byte messages: the header message needs the blob
// size + 184, a big blob up to factor x (blob size + 24) + 80.
constexpr uint32_t STREAM_MAX_MESSAGE = 4194304;
constexpr uint32_t STREAM_MAX_BLOB_SIZE = STREAM_MAX_MESSAGE - STREAM_AREA_EXTRA;

// The last write of a blob to the data queue (a put or a removal): the set, its unit of work and the
// blob's flags before it. A blob written in a unit that is still open is rewritten only after that
// unit commits (IBM MQ hides the uncommitted copy from its own putter, so a second removal would miss
// it), and a backout of the unit gives the blob back the flags it had.
struct BlobStamp {
    EvStreamIo *io;  // null: not written since it was loaded or made
    uint64_t unit;
    uint32_t flags;
};

// A full blob of a stream: a pooled "BLOBMSG" area holding one blob message (AreaData; used = length).
struct StreamBlob {
    StreamBlob *next;  // the next older blob
    Area *area;
    BlobStamp stamp;
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
    uint32_t undatedRecords;  // aggregation: records without an interval end, not folded
    BlobStamp headerStamp;    // the last write of the stream header message
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
// Whether a record can be stored at all, whole or cut as evStreamAddSplit cuts it, in the blobs every
// stream of this process has (*blobSize: their size): 0 when it is too big or cannot be measured, and
// then fails in every stream at every delivery.
[[nodiscard]] int evStreamRecordFits(const uint8_t *data, uint32_t length, uint32_t *blobSize);
// Recomputes the stream's oldest time (from now down; blobs without times are skipped) and bytes
// over every blob, the current one included.
void evStreamRecompute(Stream *stream);

// ---- Hardening and loading ----
// Every blob is one persistent message on the data queue, named by its BlobId. Writes remove the old
// copy and put the new one under sync point in the set's unit of work; loads browse. Results: 1, or 0
// on failure (reported; 2003 ends the connection).

// Writes one blob (null: the stream header message with the current blob), or only removes it when it
// is flagged DROP.
[[nodiscard]] int evStreamWriteBlob(EvStreamIo *io, Stream *stream, StreamBlob *blob);
// Writes every changed blob of the stream and removes the DROP ones. A failure gives the blobs written
// in the open unit their flags back at once, so that a later harden writes them again.
[[nodiscard]] int evStreamHarden(EvStreamIo *io, Stream *stream);

struct EvHardenBlock {
    EvStreamIo *io;
    int32_t stringsOnly;       // in: harden only "$STRINGS" (a unit that changed no stream or bin)
    int32_t consolidationDue;  // out: a stream has factor or more small blobs
    int32_t expiryDue;         // out: a stream holds a record older than its retention
};
// Hardens "$STRINGS", then every queue manager's streams in name order, each when it needs it; notes
// what is due on the way (also in strings-only mode). A failure returns at once.
[[nodiscard]] int evHardenAllStreams(EvHardenBlock *block);

// The set's unit of work backed out: every blob it wrote in the unit gets back UPDATED and its EXISTS
// and DEDUPED as before, and its stream needs hardening; the unit moves on.
void evStreamUowBackedOut(EvStreamIo *io);
// The set's unit of work committed: its writes are final; the unit moves on.
void evStreamUowCommitted(EvStreamIo *io);
// Commits the set's unit through the commit hook (else MQCMIT); a failure ends the connection.
[[nodiscard]] int evStreamCommit(EvStreamIo *io);

// Reads one blob message (kind BLOB_KIND_SMALL or BLOB_KIND_BIG; number 0: the stream header) into an
// area of its own, checked, and removes later copies of it. *area is null when there is none: success
// for the header and a blob not required, failure for a required blob. Damage fails.
[[nodiscard]] int evStreamReadBlob(EvStreamIo *io, Stream *stream, uint32_t kind, uint64_t number,
                                   int required, Area **area);
// Loads the blobs of the big or the small range; the range becomes [lowest found, highest found], or
// [0,0] when none is found.
[[nodiscard]] int evStreamLoadRange(EvStreamIo *io, Stream *stream, int big);
// Loads a whole stream into a stream as created; without a header message it stays empty. "$STRINGS"
// also rebuilds the string pool.
[[nodiscard]] int evStreamLoad(EvStreamIo *io, Stream *stream);
// Once every stream is loaded: the stream and blob messages on the data queue whose stream is not
// loaded (the header lost, or a stream the configuration does not name) are named, one line per
// stream id, and left as they are; stream ids defined later pass theirs. 1, or 0 when the queue fails.
[[nodiscard]] int evStreamReportOrphans(EvStreamIo *io);
// Prints one blob line of the stream dump.
void evStreamPrintBlob(const uint8_t *blobHeader);
// Blob messages loaded since the last reset (read by the status line's source).
extern std::atomic<int32_t> evStreamLoadedCount;

// ---- Consolidation, expiry and purge ----

// Merges the oldest factor small blobs into one big blob, hardens and commits. *merged (optional) is
// the number of blobs merged, 0 when there was nothing to merge.
[[nodiscard]] int evStreamConsolidate(EvStreamIo *io, Stream *stream, uint32_t *merged);
// Consolidates while the stream has factor or more small blobs and a step merges something.
[[nodiscard]] int evStreamConsolidateAll(EvStreamIo *io, Stream *stream);
// Removes the oldest blob when its newest record is at or before now - RETINTVL; *removed (optional)
// tells whether it did. The stream then needs hardening.
[[nodiscard]] int evStreamExpire(EvStreamIo *io, Stream *stream, int *removed);

struct StreamPurgeCounts {
    uint32_t days;     // in: purge records older than this many days; 0: everything, and the stream
    uint64_t records;  // out: records purged
    uint64_t blobs;    // out: blobs purged
    int32_t reason;    // out: the reason of a failed removal
};
// Purges a stream's blobs by age, outside the unit of work (purged stays purged). Days 0 removes every
// message of the stream, the header last, frees the stream and clears *slot. Queues the change-log
// line. errorText (optional, errorSize bytes) receives the failure's message.
[[nodiscard]] int evStreamPurge(EvStreamIo *io, QmgrEntry *qmgr, StreamDef *definition, Stream **slot,
                                StreamPurgeCounts *counts, char *errorText, size_t errorSize);

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
    int64_t checkNoted;    // when expiry scheduled a housekeeping check; 0: none scheduled
    int32_t needed;        // the last check found housekeeping needed
    int32_t incomplete;    // the load lost stored strings (a damaged or missing header, a damaged blob)
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
// After a load that lost stored strings (evStrings.incomplete): new ids start above every id that a
// queue manager's name, a record of any stream or a registered holder carries, so that no id a stored
// record may still name is given to another text. Called once everything stored is loaded.
void evStringsKeepStoredIds();
// ---- String housekeeping ----
// Strings are never deleted when the records using them go; housekeeping rewrites the big "$STRINGS"
// blobs that hold many strings nothing uses. A string is in use when a queue manager's name, a record
// of any stream or a registered holder refers to it.

// Marks the strings a compressed record refers to as in use (for holders' walkers).
void evStringMarkRecord(const uint8_t *record, uint32_t length);
// A walker that marks, through evStringMarkRecord, the records its owner holds outside streams (bins,
// the 'before' pool, storm items).
using EvStringHolderWalker = void (*)();
// Registers a walker (once; at most 16). 1, or 0 when the table is full.
int evStringsAddHolder(EvStringHolderWalker walker);
void evStringsRemoveHolder(EvStringHolderWalker walker);
// Decides whether housekeeping is due (unless forced: only when it was found needed, or expiry
// scheduled a check 600 s ago or more) and, with update, runs it. report prints the storage lines.
// 1, or 0 when the housekeeping run failed.
[[nodiscard]] int evCheckStringHousekeeping(EvStreamIo *io, int force, int report, int update);
// Rewrites the selected big "$STRINGS" blobs with only their strings in use, hardens and commits.
[[nodiscard]] int evStringHousekeeping(EvStreamIo *io, int report);

// The pool as the compressed-record format uses it.
extern const EvStringPool evStreamStringPool;

// ---- Search of stored records by time ----
// DISPLAY EVENTS and the statistics displays walk the blobs of the streams they matched, newest first,
// and collect the records that pass the query in an index ordered by time. The caller builds the
// query and formats what the index holds; the index points into the blobs, so it is read before the
// streams change.

struct ExpExpression;

// One matched stream and the share of the time window that applies to it.
struct EvSearchMatch {
    QmgrEntry *qmgr;
    Stream *stream;
    int64_t windowStart;
    int64_t windowEnd;
};

// One accepted record, linked to its neighbours in time (-1: none).
struct EvSearchSlot {
    int32_t earlier;
    int32_t later;
    const uint8_t *entry;  // the stored entry: u16 data length at byte 4, the record from byte 8
    QmgrEntry *qmgr;
    Stream *stream;
    int64_t time;
};
static_assert(sizeof(EvSearchSlot) == 40);

// The result index: one counted-heap block, this header and then the slots.
struct EvSearchIndex {
    uint32_t capacity;
    uint32_t count;
    int32_t head;       // the earliest slot
    int32_t tail;       // the latest slot
    int32_t hint;       // the slot inserted last; insertion starts its walk there
    int32_t direction;  // as the caller asked, for reading the results
    EvSearchSlot *slots;
};

constexpr uint32_t EV_SEARCH_MIN_CAPACITY = 100;
constexpr uint32_t EV_SEARCH_MAX_RESULTS = 100000000;

struct EvSearchQuery;
// The display's own test of a record the time rules took: nonzero accepts it.
using EvSearchMatchFn = int (*)(EvSearchQuery *query, const uint8_t *record, uint32_t length);

struct EvSearchQuery {
    const std::atomic<int32_t> *cancel[2];  // the command's two cancel flags (null: none)
    int32_t command;                        // the command code, for the error reply
    uint32_t matchCount;
    EvSearchMatch *matches;
    int64_t start;  // the query's time window
    int64_t end;
    int32_t intervalMode;          // statistics records are taken by their interval end within [start, end]
    int32_t exactWindow;           // non-event records only when their interval is the window (SUM(NONE))
    int32_t displayCommands;       // take command events of inquire commands (record flag 8)
    uint16_t objectType;           // 0: any
    uint32_t typeFilter[2];        // the classification's subtype or category, then its category; 0: none
    const char *objectPattern;     // object name, case-sensitive wildcard
    uint32_t objectPatternLength;  // 0: none
    const char *userPattern;       // user identifier, wildcard ignoring case
    uint32_t userPatternLength;    // 0: none
    ExpExpression *where;          // null: none
    // The patterns are texts in patternCcsid: a stored text in another CCSID is compared as convert
    // shows it there (MQConvertString's results; null or 0: compared as it is).
    int (*convert)(const char *text, int32_t length, char *out, int32_t *outLength, int32_t fromCcsid,
                   int32_t toCcsid);
    int32_t patternCcsid;
    EvSearchMatchFn match;  // null: none
    void *matchData;        // the caller's, for match
    // Set during the walk, for the WHERE resolver and the match callback.
    QmgrContext *context;
    QmgrEntry *qmgr;
    Stream *stream;
    const uint8_t *record;
    uint32_t recordLength;
    // The results.
    EvSearchIndex *index;    // made by the walk when null; freed by evSearchFreeResults
    uint32_t maxResults;     // limit; above 100000000 counts as that
    uint32_t firstCapacity;  // the index's first capacity (at least 100)
    int32_t full;            // a record came after the limit was reached
};

// Walks every matched stream (current blob, then full blobs newest first) and fills the index. 1 when
// the walk ended or the index is full; 0 when cancelled or out of storage (answered with 2071).
[[nodiscard]] int evSearchStreams(QmgrContext *context, EvSearchQuery *query, int32_t direction);
// Scans one blob (extent: the bytes it may read) backwards. 1 to go on, 0 when the walk must stop.
[[nodiscard]] int evSearchBlob(EvSearchQuery *query, const EvSearchMatch *match, const uint8_t *blobHeader,
                               uint32_t extent);
// Links an entry into the index by time, growing it first when full. 1, or 0 when the index is full,
// the command cancelled or storage short.
[[nodiscard]] int evSearchAddResult(EvSearchQuery *query, const uint8_t *entry, int64_t time);
// Makes the index, or doubles it up to the limit (marking the query full at the limit). 1, or 0.
[[nodiscard]] int evSearchGrowResults(EvSearchQuery *query);
void evSearchFreeResults(EvSearchQuery *query);
// The user filter on one record: 1 when it matches.
int evMatchRecordName(const EvSearchQuery *query, const uint8_t *record, uint32_t length);
// Answers a display whose selection matched no stream (2085); streamFilter null or "*" when none was
// given. The error reply's result.
int evNoStreamsReply(QmgrContext *context, int32_t command, const char *streamFilter);

// ---- Stream copy (COPY EVSTRMST) ----
// Re-appends every stored record of one runtime stream into another in time order, or folds them into
// an aggregating target, and absorbs the source's pending bins into it. Runs in the command set's unit
// of work with the event set's unit closed and held; commits in batches: after a failure the target
// keeps its committed batches and the source is untouched.

constexpr uint32_t EV_AGGR_AREA_SIZE = 10485760;  // "AGGRAREA"
constexpr uint32_t EV_HELD_BINS_DEFAULT = 10;

struct EvStreamCopy {
    QmgrContext *context;
    EvStreamIo *io;  // the command set's
    QmgrEntry *targetQmgr;
    int32_t command;  // the command code, for progress and error replies
    Stream *source;
    Stream *target;
    int64_t startTime;
    uint64_t total;             // the source's stored records
    uint64_t copied;            // records stored into the target, absorbed ones included
    uint32_t progressInterval;  // seconds; 0: only the last line
    int64_t nextProgress;
    Area *aggrArea;  // "AGGRAREA" for the absorbers, taken for the source's bins
};

// Sets a copy up: started now, total the source's record count.
void evStreamCopyInit(EvStreamCopy *copy, QmgrContext *context, EvStreamIo *io, int32_t command,
                      Stream *source, Stream *target, uint32_t progressInterval);
// The whole copy: the records, the source's bins, the target's due bins, the last progress line, then
// the target consolidated, hardened and committed. Releases the "AGGRAREA" area in every case. 1, 0,
// or 2 when the aggregation replaced memory (neither stream may be touched).
[[nodiscard]] int evStreamCopy(EvStreamCopy *copy, EmitContext *work);
// Copies the stored records, blobs ordered by their newest record, each blob's entries first to last.
[[nodiscard]] int evStreamCopyRecords(EvStreamCopy *copy, EmitContext *work);
// Absorbs the source's active bins, oldest first, into the target by its type.
[[nodiscard]] int evStreamCopyAggregate(EvStreamCopy *copy, EmitContext *work);
// Stores one record into the copy's target (also the store step of the absorbers during a copy).
[[nodiscard]] int evStreamStoreRecord(EmitContext *work, EvStreamCopy *copy, const uint8_t *record,
                                      uint32_t length);
// Consolidates the target while it has factor small blobs, then commits when the batch is full.
[[nodiscard]] int evStreamCopyConsolidate(EvStreamCopy *copy);
// Sends one progress line: "%d items of %d copied (%2.0f%%)", with " ETA:(%ds)" once more than 3 s
// have passed and the copy is neither at 0 nor complete.
void evStreamCopyProgress(EvStreamCopy *copy);
