// The stored layouts of stream storage, written down once: the stream header message, the 80-byte
// blob header, the entries of a blob, the CorrelId of a blob message (`BlobId`) and the stored form
// of a pooled string. Blobs come back from the data queue and may be damaged: the walker checks every
// entry against the blob before handing it out.
#pragma once

#include <cstddef>
#include <cstdint>

#include "mqi/mqi.h"  // mqiGet*/mqiPut* little-endian accessors

// ---- Stream header message (blob number 0): this header, then the current blob ----
//   0 u32 1                      4 reserved
//   8 u64 small range first     16 u64 small range last
//  24 u64 big range first       32 u64 big range last
//  40 i64 newest record time    48 u32 stream id     52 u32 last event id handed out
//  56 u16 0x50B8                58 reserved (18)     76 "*SH*"
//  80 blob header of the current blob, 160 its entries
constexpr uint32_t SH_VERSION = 0;
constexpr uint32_t SH_SMALL_FIRST = 8;
constexpr uint32_t SH_SMALL_LAST = 16;
constexpr uint32_t SH_BIG_FIRST = 24;
constexpr uint32_t SH_BIG_LAST = 32;
constexpr uint32_t SH_NEWEST = 40;
constexpr uint32_t SH_STREAM_ID = 48;
constexpr uint32_t SH_LAST_EVENT_ID = 52;
constexpr uint32_t SH_MARK = 56;
constexpr uint16_t SH_MARK_VALUE = 0x50B8;
constexpr uint32_t SH_EYE = 76;
constexpr uint32_t SH_BLOB = 80;
constexpr uint32_t STREAM_HEADER_LENGTH = 160;  // the message of a stream without entries
// The header area has room for the blob size plus this much: the 160 bytes above and 24 to spare.
constexpr uint32_t STREAM_AREA_EXTRA = 184;

// ---- Blob header, 80 bytes, at offset 0 of a blob message and 80 of the stream header ----
//   0 u32 length (80 + entries)  4 u32 flags
//   8 i64 newest record time    16 i64 oldest record time   24 i64 largest out-of-order gap
//  32 u64 blob number (0: the current blob)                 40 u32 out-of-order count
//  44 u32 record count          48 u32 offset of the last entry from this header (0: none)
//  52 u32 lowest event id       56 u32 highest event id
//  60 i64 latest record date, when a record is dated later than the newest time (0: none)
//  68 u32 the queue manager number + 1 and 76 u32 the stream id + 1 of the stream whose message
//     last held it (0: written before blobs named their stream)      72 "*BH*"
constexpr uint32_t BH_LENGTH = 0;
constexpr uint32_t BH_FLAGS = 4;
constexpr uint32_t BH_NEWEST = 8;
constexpr uint32_t BH_OLDEST = 16;
constexpr uint32_t BH_GAP = 24;
constexpr uint32_t BH_NUMBER = 32;
constexpr uint32_t BH_OUT_OF_ORDER = 40;
constexpr uint32_t BH_RECORDS = 44;
constexpr uint32_t BH_LAST_ENTRY = 48;
constexpr uint32_t BH_LOW_EVENT_ID = 52;
constexpr uint32_t BH_HIGH_EVENT_ID = 56;
constexpr uint32_t BH_LATEST = 60;
constexpr uint32_t BH_QMGR = 68;
constexpr uint32_t BH_EYE = 72;
constexpr uint32_t BH_STREAM = 76;
constexpr uint32_t BLOB_HEADER_LENGTH = 80;

// Blob flags. UPDATED, EXISTS and DEDUPED describe the copy in memory; SELECTED and REPLACED are used
// by string housekeeping only.
constexpr uint32_t BLOB_BIG = 0x1;
constexpr uint32_t BLOB_UPDATED = 0x2;
constexpr uint32_t BLOB_EXISTS = 0x4;
constexpr uint32_t BLOB_PURGED = 0x8;
constexpr uint32_t BLOB_DEDUPED = 0x10;
constexpr uint32_t BLOB_SELECTED = 0x40;
constexpr uint32_t BLOB_REPLACED = 0x80;
constexpr uint32_t BLOB_DROP = 0x100;

// ---- Entry, from offset 80 of the blob header on ----
//   0 u16 total: 8 + the data filled up to a multiple of 4   2 u16 total of the previous entry
//   4 u16 data length   6 u16 0 (low byte: housekeeping's in-use mark in memory)   8 data, zeros
constexpr uint32_t ENTRY_TOTAL = 0;
constexpr uint32_t ENTRY_PREVIOUS = 2;
constexpr uint32_t ENTRY_DATA_LENGTH = 4;
constexpr uint32_t ENTRY_MARK = 6;
constexpr uint32_t ENTRY_PREFIX = 8;
// The u16 fields cap an entry: total 65532, data 65524.
constexpr uint32_t ENTRY_MAX_TOTAL = 65532;
constexpr uint32_t ENTRY_MAX_DATA = ENTRY_MAX_TOTAL - ENTRY_PREFIX;

// Total length of the entry that holds dataLength bytes (wider than u16 on purpose, so that an
// oversized record is measured, not wrapped).
constexpr uint32_t evEntryTotal(uint32_t dataLength) {
    return (dataLength + 11) & ~3u;
}

// Blob-header accessors over a header known to hold 80 bytes.
inline uint32_t evBlobLength(const uint8_t *bh) {
    return mqiGetU32(bh, BH_LENGTH);
}
inline uint32_t evBlobFlags(const uint8_t *bh) {
    return mqiGetU32(bh, BH_FLAGS);
}
inline void evBlobSetFlags(uint8_t *bh, uint32_t flags) {
    mqiPutU32(bh, BH_FLAGS, flags);
}
inline int64_t evBlobNewest(const uint8_t *bh) {
    return mqiGetI64(bh, BH_NEWEST);
}
inline int64_t evBlobOldest(const uint8_t *bh) {
    return mqiGetI64(bh, BH_OLDEST);
}
// The latest date a record of the blob carries: later than the newest time when a record came dated
// after its arrival (the newest time counts such a record at its arrival).
inline int64_t evBlobLatest(const uint8_t *bh) {
    const int64_t latest = mqiGetI64(bh, BH_LATEST);
    return latest > evBlobNewest(bh) ? latest : evBlobNewest(bh);
}
inline int64_t evBlobGap(const uint8_t *bh) {
    return mqiGetI64(bh, BH_GAP);
}
inline uint64_t evBlobNumber(const uint8_t *bh) {
    return static_cast<uint64_t>(mqiGetI64(bh, BH_NUMBER));
}
inline uint32_t evBlobOutOfOrder(const uint8_t *bh) {
    return mqiGetU32(bh, BH_OUT_OF_ORDER);
}
inline uint32_t evBlobRecords(const uint8_t *bh) {
    return mqiGetU32(bh, BH_RECORDS);
}
inline uint32_t evBlobLastEntry(const uint8_t *bh) {
    return mqiGetU32(bh, BH_LAST_ENTRY);
}

// Writes an empty blob header: length 80, the flags and number, "*BH*".
void evBlobHeaderInit(uint8_t *bh, uint32_t flags, uint64_t number);
// Sets the latest record date of a loaded blob of length bytes from its records' own dates: a blob
// stored before the field was kept holds 0 there, whatever it holds.
void evBlobNoteLatest(uint8_t *bh, uint32_t length);

// ---- Walking the entries of a blob ----

struct BlobEntry {
    uint32_t offset;  // from the blob header
    uint16_t total;
    uint16_t previous;
    uint16_t dataLength;
    const uint8_t *data;  // dataLength bytes, inside the blob
};

struct BlobWalk {
    const uint8_t *blob;  // the blob header
    uint32_t extent;      // bytes that may be read: the blob's length, cut to the buffer
    uint32_t offset;      // of the next entry; 0 once the walk has ended
    uint32_t expect;      // backward: the total the next entry must have
    int32_t backward;
    int32_t damaged;  // set once an entry failed its checks
};

// Sets a walk up over a blob held in bufferLength bytes, forward from the first entry or backward
// from the last. A blob whose length is below 80 or whose buffer cannot hold its header is empty.
void evBlobWalkInit(BlobWalk *walk, const uint8_t *blob, uint32_t bufferLength, int backward);
// 1 with the next entry, 0 at the end, -1 (and damaged set) at an entry whose total is below 8, not a
// multiple of 4, past the blob or below its data length + 8, or that does not chain to its neighbour.
int evBlobWalkNext(BlobWalk *walk, BlobEntry *entry);

// ---- BlobId: the CorrelId of every blob message, 24 bytes ----
//   0 u32 0x55   4 u32 queue manager number (0 for "$STRINGS")   8 u32 stream id
//  12 u32 kind: 5 small blob or stream header, 11 big blob       16 u64 blob number (0: stream header)
constexpr uint32_t BLOB_ID_LENGTH = 24;
constexpr uint32_t BLOB_ID_MARK = 0x55;
constexpr uint32_t BLOB_KIND_SMALL = 5;
constexpr uint32_t BLOB_KIND_BIG = 11;

void evBlobIdBuild(uint8_t *correlId, uint32_t qmgrNumber, uint32_t streamId, uint32_t kind, uint64_t number);

// ---- Stored form of a pooled string: the data of a "$STRINGS" entry ----
//   0 u32 string id   4 u32 CCSID   8 u16 text length   10 text   then two zero bytes
constexpr uint32_t STRING_ENTRY_OVERHEAD = 12;

struct StoredString {
    uint32_t id;
    uint32_t ccsid;
    uint16_t length;
    const char *text;  // inside the entry's data
};

// 1 with the fields of a "$STRINGS" entry; 0 when the data is too short or the text overruns it.
int evStoredStringParse(const BlobEntry *entry, StoredString *out);
// Writes the stored form into data (room for length + 12 bytes); returns the data length.
uint32_t evStoredStringWrite(uint8_t *data, uint32_t id, uint32_t ccsid, const char *text, uint16_t length);
