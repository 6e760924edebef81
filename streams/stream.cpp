// Runtime streams: the stream header message with its current blob, closing a full blob into a blob
// message of its own, writing entries, and splitting records too big for one blob at their group
// boundaries. Every check that can refuse a record runs before anything is changed.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "streams/internal.h"

namespace {

constexpr uint32_t kSplitMargin = 108;  // a record this much under the blob size is stored whole

// Digits at *p as a number that saturates instead of wrapping.
uint64_t readNumber(const char **p) {
    uint64_t value = 0;
    while (**p >= '0' && **p <= '9') {
        value = value > UINT32_MAX ? value : value * 10 + static_cast<uint64_t>(**p - '0');
        (*p)++;
    }
    return value;
}

void tooSmall(const Stream *stream, uint32_t length) {
    evOutputF(EV_OUT_PROGRESS, 1,
              "Runtime Error: Blob Size(%u) too small to accommodate primary blob(%u) on stream %s",
              stream->blobSize, length + ENTRY_PREFIX, evStreamName(stream));
}

// Whether a record of length bytes can ever be stored: it must fit an empty blob and the u16 fields.
bool fitsEmptyBlob(const Stream *stream, uint32_t length) {
    if (length > ENTRY_MAX_DATA) return false;
    uint64_t room = uint64_t{stream->header->size} - STREAM_HEADER_LENGTH;
    return evEntryTotal(length) <= room;
}

void noStorage() {
    evOutput(EV_OUT_ERROR, "No storage available.", -1, 1);
}

// Closes the current blob into a "BLOBMSG" area of its own, numbered from the small range, and starts
// an empty current blob. False (nothing changed) when out of storage.
bool closeCurrentBlob(Stream *stream) {
    uint8_t *message = evStreamMessage(stream);
    uint8_t *current = evStreamCurrentBlob(stream);
    uint32_t length = evBlobLength(current);
    auto *node = static_cast<StreamBlob *>(CSGetMem(sizeof(StreamBlob)));
    Area *area = node ? AreaGet(length, 0, "BLOBMSG") : nullptr;
    if (!area) {
        if (node) CSFreeMem(node);
        noStorage();
        return false;
    }
    uint8_t *blob = AreaData(area);
    std::memcpy(blob, current, length);
    area->used = length;
    evBlobSetFlags(blob, evBlobFlags(blob) & ~BLOB_EXISTS);
    if (!stream->definition) evValidateStringMessage(blob, length, current);

    uint64_t number = static_cast<uint64_t>(mqiGetI64(message, SH_SMALL_LAST)) + 1;
    mqiPutI64(message, SH_SMALL_LAST, static_cast<int64_t>(number));
    if (mqiGetI64(message, SH_SMALL_FIRST) == 0)
        mqiPutI64(message, SH_SMALL_FIRST, static_cast<int64_t>(number));
    mqiPutI64(blob, BH_NUMBER, static_cast<int64_t>(number));
    stream->smallBlobCount++;
    *node = StreamBlob{stream->blobs, area, BlobStamp{}};
    stream->blobs = node;
    // The current blob starts again empty (its flags stay), before the stream's oldest time and bytes
    // are recomputed, so that the records just moved out are not counted twice.
    stream->header->used = STREAM_HEADER_LENGTH;
    mqiPutU32(current, BH_LENGTH, BLOB_HEADER_LENGTH);
    for (uint32_t offset : {BH_NEWEST, BH_OLDEST, BH_GAP, BH_LATEST}) mqiPutI64(current, offset, 0);
    for (uint32_t offset : {BH_OUT_OF_ORDER, BH_RECORDS, BH_LAST_ENTRY, BH_LOW_EVENT_ID, BH_HIGH_EVENT_ID})
        mqiPutU32(current, offset, 0);
    if (stream->oldest == 0)
        evStreamRecompute(stream);
    else
        stream->bytes += BLOB_HEADER_LENGTH;  // the new current blob's header
    int64_t closedOldest = evBlobOldest(blob);
    if (closedOldest != 0 && (stream->oldest == 0 || closedOldest < stream->oldest))
        stream->oldest = closedOldest;
    stream->blobCount++;
    return true;
}

// One top-level unit of a record from its first group on: a group with everything inside it, or a
// loose item, with the padding runs in front of it (those before the first group are the prefix's).
struct SplitUnit {
    uint32_t start;
    uint32_t length;
    uint32_t count;  // top-level parameters it spans
};

// Measures the record: the prefix (header and the items before the first group) and the units after
// it. 0, or the cursor's reason for a damaged record. *units is a counted-heap array the caller frees.
int32_t measureRecord(const uint8_t *data, uint32_t length, uint32_t *prefixEnd, uint32_t *prefixCount,
                      SplitUnit **units, uint32_t *unitCount) {
    *prefixEnd = length;
    *prefixCount = 0;
    *units = nullptr;
    *unitCount = 0;
    evCFCursor cursor;
    evCFCursorInit(&cursor, nullptr, data, length, 0, 0);
    uint32_t capacity = 0;
    bool grouped = false;
    for (;;) {
        // Between top-level units: the cursor is at depth 0.
        uint32_t start = cursor.position;
        int32_t remainingBefore = cursor.remaining;
        evCFItem item;
        int32_t compCode = 0, reason = 0;
        evCFNextParm(&cursor, &item, &compCode, &reason);
        if (compCode != MQCC_OK) {
            if (reason != PCF_END_OF_MESSAGE) return reason;
            break;
        }
        auto itemStart = static_cast<uint32_t>(cursor.currentItem - data);
        while (cursor.depth > 0) {  // read the whole group
            evCFNextParm(&cursor, &item, &compCode, &reason);
            if (compCode != MQCC_OK) return reason == PCF_END_OF_MESSAGE ? MQRC_STRUC_LENGTH_ERROR : reason;
        }
        auto spanned = static_cast<uint32_t>(remainingBefore - cursor.remaining);
        if (!grouped && item.type != PCF_TYPE_GROUP_END) {
            *prefixCount += spanned;
            continue;
        }
        if (!grouped) {
            // Padding runs in front of the first group end the prefix: each piece carries them.
            grouped = true;
            *prefixEnd = itemStart;
            *prefixCount += spanned - 1;
            start = itemStart;
            spanned = 1;
        }
        if (*unitCount == capacity) {
            uint32_t bigger = capacity ? capacity * 2 : 16;
            auto *grown = static_cast<SplitUnit *>(CSGetMem(uint64_t{bigger} * sizeof(SplitUnit)));
            if (!grown) return MQRC_STORAGE_NOT_AVAILABLE;
            if (*units) {
                std::memcpy(grown, *units, *unitCount * sizeof(SplitUnit));
                CSFreeMem(*units);
            }
            *units = grown;
            capacity = bigger;
        }
        (*units)[(*unitCount)++] = SplitUnit{start, cursor.position - start, spanned};
    }
    return 0;
}

}  // namespace

const char *evStreamName(const Stream *stream) {
    return stream->definition ? stream->definition->name : "$STRINGS";
}

uint32_t evStreamRoom(const Stream *stream) {
    uint32_t size = stream->header->size;
    uint32_t used = stream->header->used;
    return size > used ? size - used : 0;
}

namespace {

// ZUNT_STREAM's blob size and consolidation factor, 0 each when not given; false without it.
bool readOverride(uint64_t *size, uint64_t *factor) {
    *size = *factor = 0;
    const char *env = std::getenv("ZUNT_STREAM");
    if (!env || !*env) return false;
    const char *p = env;
    *size = readNumber(&p);
    if (*p == ',') {
        p++;
        *factor = readNumber(&p);
    }
    return true;
}

uint32_t blobSizeOf(uint64_t size) {
    return static_cast<uint32_t>(size < STREAM_MAX_BLOB_SIZE ? size : STREAM_MAX_BLOB_SIZE);
}

}  // namespace

void evStreamApplyOverride(Stream *stream) {
    uint64_t size = 0, factor = 0;
    if (!readOverride(&size, &factor)) return;
    if (size != 0) stream->blobSize = blobSizeOf(size);
    if (factor != 0) stream->factor = static_cast<uint16_t>(factor < 65535 ? factor : 65535);
    // A big blob of factor small blobs must still be one message; never below 1, which would leave
    // nothing to consolidate.
    while (stream->factor > 1 &&
           uint64_t{stream->factor} * (uint64_t{stream->blobSize} + 24) + BLOB_HEADER_LENGTH >
               STREAM_MAX_MESSAGE)
        stream->factor--;
    if (stream->factor == 0) stream->factor = 1;
    evOutputF(EV_OUT_PROGRESS, 1, "Stream Size Override : Smallsize:%u Consolidation Factor:%hu",
              stream->blobSize, stream->factor);
}

Stream *evStreamCreate(QmgrEntry *qmgr, StreamDef *definition) {
    auto *stream = static_cast<Stream *>(CSGetMem(sizeof(Stream)));
    if (!stream) {
        noStorage();
        return nullptr;
    }
    *stream = Stream{};
    stream->streamId = definition ? definition->streamId : 0;
    stream->definition = definition;
    stream->qmgr = qmgr;
    stream->blobSize = STREAM_BLOB_SIZE;
    stream->factor = STREAM_FACTOR;
    evStreamApplyOverride(stream);
    uint32_t size = stream->blobSize + STREAM_AREA_EXTRA;
    stream->header = AreaGet(size, static_cast<int32_t>(size), "STREAMHDR");
    if (!stream->header) {
        CSFreeMem(stream);
        noStorage();
        return nullptr;
    }
    uint8_t *message = evStreamMessage(stream);
    mqiPutU32(message, SH_VERSION, 1);
    mqiPutU16(message, SH_MARK, SH_MARK_VALUE);
    mqiPutU32(message, SH_STREAM_ID, stream->streamId);
    std::memcpy(message + SH_EYE, "*SH*", 4);
    evBlobHeaderInit(message + SH_BLOB, 0, 0);
    stream->header->used = STREAM_HEADER_LENGTH;
    evConfigChanged = 1;

    if (qmgr && definition) {
        if (Stream **link = evStreamQmgrList(qmgr)) {
            while (*link &&
                   (!(*link)->definition || std::strcmp((*link)->definition->name, definition->name) <= 0))
                link = &(*link)->next;
            stream->next = *link;
            *link = stream;
        }
    }
    return stream;
}

void evStreamFree(Stream *stream) {
    if (!stream) return;
    while (stream->blobs) {
        StreamBlob *blob = stream->blobs;
        stream->blobs = blob->next;
        AreaRelease(&blob->area);
        CSFreeMem(blob);
    }
    AreaRelease(&stream->header);
    CSFreeMem(stream);
}

void evStreamRecompute(Stream *stream) {
    int64_t oldest = evClockNow();
    uint64_t bytes = 0;
    auto take = [&](const uint8_t *bh) {
        int64_t blobOldest = evBlobOldest(bh);
        if (blobOldest != 0 && blobOldest < oldest) oldest = blobOldest;
        bytes += evBlobLength(bh);
    };
    take(evStreamCurrentBlob(stream));
    for (StreamBlob *blob = stream->blobs; blob; blob = blob->next) take(evStreamBlobHeader(blob));
    stream->oldest = oldest;
    stream->bytes = bytes;
}

int evStreamAppend(Stream *stream, const uint8_t *data, uint32_t length, int64_t time, uint8_t **entry) {
    // 1. The entry must fit the room left and its u16 fields.
    uint32_t total = evEntryTotal(length);
    if (length > ENTRY_MAX_DATA || total > evStreamRoom(stream)) {
        tooSmall(stream, length);
        return 0;
    }
    // 2. The entry, chained to the one before it.
    uint8_t *message = evStreamMessage(stream);
    uint8_t *current = evStreamCurrentBlob(stream);
    uint32_t lastOffset = evBlobLastEntry(current);
    uint16_t previous = lastOffset ? mqiGetU16(current, lastOffset + ENTRY_TOTAL) : 0;
    uint32_t offset = stream->header->used - SH_BLOB;  // from the blob header
    uint8_t *p = current + offset;
    mqiPutU16(p, ENTRY_TOTAL, static_cast<uint16_t>(total));
    mqiPutU16(p, ENTRY_PREVIOUS, previous);
    mqiPutU16(p, ENTRY_DATA_LENGTH, static_cast<uint16_t>(length));
    mqiPutU16(p, ENTRY_MARK, 0);
    if (length) std::memcpy(p + ENTRY_PREFIX, data, length);
    std::memset(p + ENTRY_PREFIX + length, 0, total - ENTRY_PREFIX - length);
    // 3. Counts and flags.
    stream->header->used += total;
    mqiPutU32(current, BH_LENGTH, evBlobLength(current) + total);
    stream->recordCount++;
    stream->bytes += total;
    evBlobSetFlags(current, evBlobFlags(current) | BLOB_UPDATED);
    stream->flags |= STREAM_NEEDS_HARDENING;
    mqiPutU32(current, BH_RECORDS, evBlobRecords(current) + 1);
    mqiPutU32(current, BH_LAST_ENTRY, offset);
    // 4. Times: the oldest, the newest, and how far out of order a record came. Unlike the
    // documented times, a record dated later than its arrival (beyond clock skew) counts at the time
    // it was stored: its own date, a clock running ahead or a crafted one, would keep its blob from
    // expiring until then. (The record itself keeps its date.)
    if (time != 0) {
        const int64_t dated = time;
        const int64_t now = evClockNow();
        if (evTimeSpan(time, now) > STREAM_FUTURE_TOLERANCE) {
            if (!(stream->flags & STREAM_FUTURE_NOTED)) {
                stream->flags |= STREAM_FUTURE_NOTED;
                evOutputF(EV_OUT_ERROR, 1,
                          "Stream '%s' took records dated after their arrival: they expire as if stored then",
                          evStreamName(stream));
            }
            time = now;
        }
        int64_t oldest = evBlobOldest(current);
        if (oldest == 0 || time < oldest) mqiPutI64(current, BH_OLDEST, time);
        int64_t newest = evBlobNewest(current);
        if (newest == 0 || time >= newest) {
            mqiPutI64(current, BH_NEWEST, time);
        } else {
            const int64_t gap = evTimeSpan(newest, time);
            if (gap > evBlobGap(current)) mqiPutI64(current, BH_GAP, gap);
            mqiPutU32(current, BH_OUT_OF_ORDER, evBlobOutOfOrder(current) + 1);
        }
        mqiPutI64(message, SH_NEWEST, evBlobNewest(current));
        // The record's own date stays reachable by a search of its time.
        if (dated > evBlobNewest(current) && dated > mqiGetI64(current, BH_LATEST))
            mqiPutI64(current, BH_LATEST, dated);
    }
    if (entry) *entry = p + ENTRY_PREFIX;
    return 1;
}

Area *evStreamAdd(QmgrEntry *qmgr, Stream *stream, const uint8_t *data, uint32_t length, int64_t time,
                  uint8_t **entry) {
    (void)qmgr;  // nothing is counted for the queue manager
    if (!stream || !stream->header) {
        evOutput(EV_OUT_ERROR, "Unknown stream.", -1, 1);
        return nullptr;
    }
    // A record that no blob can hold is refused before the current blob is closed for it.
    if (!fitsEmptyBlob(stream, length)) {
        tooSmall(stream, length);
        return nullptr;
    }
    // 2-3. Close the current blob when the entry does not fit in what is left of it.
    if (evEntryTotal(length) > evStreamRoom(stream)) {
        if (!closeCurrentBlob(stream)) return nullptr;
    } else if (stream->blobCount == 0) {
        stream->blobCount = 1;
    }
    if (!evStreamAppend(stream, data, length, time, entry)) return nullptr;
    // 1. Streams that store records as they come note when the last one came (once it is stored).
    if (!stream->definition || stream->definition->aggrInt == 0) stream->lastMessage = evClockNow();
    return stream->header;
}

namespace {

struct Piece {
    uint32_t first, count, bytes, items;
};

// Steps 1 to 3 of a split for blobs of blobSize, whose empty blob holds room bytes of entries: the
// record measured and cut into pieces (a unit over the limit is a piece alone). kWhole: it goes whole,
// nothing planned; kPieces: the plan, whose arrays the caller frees; kTooBig (*bad: the length that
// does not fit), kDamaged (*bad: the cursor's reason) and kNoStorage: nothing to free.
enum PlanResult { kWhole, kPieces, kTooBig, kDamaged, kNoStorage };
struct SplitPlan {
    uint32_t prefixEnd, prefixCount, unitCount, pieceCount, largest;
    SplitUnit *units;
    Piece *pieces;
};
PlanResult planSplit(uint32_t blobSize, uint64_t room, const uint8_t *data, uint32_t length, SplitPlan *plan,
                     uint32_t *bad) {
    auto fits = [room](uint64_t n) {
        return n <= ENTRY_MAX_DATA && evEntryTotal(static_cast<uint32_t>(n)) <= room;
    };
    *plan = SplitPlan{};
    *bad = length;
    int64_t splitFrom = int64_t{blobSize} - kSplitMargin;
    if (int64_t{length} < splitFrom && length <= ENTRY_MAX_DATA) return kWhole;
    // 1. Only a record with a header can be cut.
    if (!data || length < EVCF_HEADER_LENGTH) {
        *bad = MQRC_STORAGE_NOT_AVAILABLE;
        return kDamaged;
    }
    // 2. Measure it; without a group it goes whole (and fails when it does not fit).
    int32_t reason =
        measureRecord(data, length, &plan->prefixEnd, &plan->prefixCount, &plan->units, &plan->unitCount);
    if (reason != 0 || plan->unitCount == 0) {
        if (plan->units) CSFreeMem(plan->units);
        plan->units = nullptr;
        if (reason == MQRC_STORAGE_NOT_AVAILABLE) return kNoStorage;
        if (reason == 0) return fits(length) ? kWhole : kTooBig;
        *bad = static_cast<uint32_t>(reason);
        return kDamaged;
    }
    // 3. Plan the pieces: units are collected while they stay within the limit, which keeps every
    // piece inside an empty blob and the entry's u16 fields; a unit over the limit is a piece alone.
    int64_t limit = splitFrom;
    int64_t roomLimit = int64_t{blobSize} + 16 - plan->prefixEnd;
    int64_t fieldLimit = int64_t{ENTRY_MAX_DATA} - plan->prefixEnd;
    if (roomLimit < limit) limit = roomLimit;
    if (fieldLimit < limit) limit = fieldLimit;
    plan->pieces = static_cast<Piece *>(CSGetMem(uint64_t{plan->unitCount} * sizeof(Piece)));
    if (!plan->pieces) {
        CSFreeMem(plan->units);
        return kNoStorage;
    }
    const SplitUnit *units = plan->units;
    for (uint32_t i = 0; i < plan->unitCount;) {
        Piece piece{i, 1, units[i].length, units[i].count};
        for (i++; i < plan->unitCount && int64_t{piece.bytes} + units[i].length <= limit; i++) {
            piece.count++;
            piece.bytes += units[i].length;
            piece.items += units[i].count;
        }
        plan->pieces[plan->pieceCount++] = piece;
        if (piece.bytes > plan->largest) plan->largest = piece.bytes;
    }
    // Every piece must fit before the first one is stored.
    for (uint32_t k = 0; k < plan->pieceCount; k++) {
        if (!fits(uint64_t{plan->prefixEnd} + plan->pieces[k].bytes)) {
            *bad = plan->prefixEnd + plan->pieces[k].bytes;
            CSFreeMem(plan->pieces);
            CSFreeMem(plan->units);
            return kTooBig;
        }
    }
    return kPieces;
}

}  // namespace

Area *evStreamAddSplit(QmgrEntry *qmgr, Stream *stream, const uint8_t *data, uint32_t length, int64_t time,
                       uint8_t **entry) {
    if (!stream || !stream->header) {
        evOutput(EV_OUT_ERROR, "Unknown stream.", -1, 1);
        return nullptr;
    }
    SplitPlan plan;
    uint32_t bad = 0;
    switch (planSplit(stream->blobSize, uint64_t{stream->header->size} - STREAM_HEADER_LENGTH, data, length,
                      &plan, &bad)) {
        case kWhole:
            return evStreamAdd(qmgr, stream, data, length, time, entry);
        case kTooBig:
            tooSmall(stream, bad);
            return nullptr;
        case kDamaged:
            evOutputF(EV_OUT_ERROR, 1, "Runtime Error: Error parsing evCFH data RC(%d)",
                      static_cast<int32_t>(bad));
            return nullptr;
        case kNoStorage:
            noStorage();
            return nullptr;
        case kPieces:
            break;
    }
    // 4. Each piece: the header and prefix, then its units; the header counts the piece's items.
    const uint32_t prefixEnd = plan.prefixEnd;
    auto *scratch = static_cast<uint8_t *>(CSGetMem(uint64_t{prefixEnd} + plan.largest));
    Area *result = scratch ? stream->header : nullptr;
    if (!scratch) noStorage();
    if (scratch) std::memcpy(scratch, data, prefixEnd);
    for (uint32_t k = 0; scratch && k < plan.pieceCount; k++) {
        const Piece &piece = plan.pieces[k];
        uint32_t used = prefixEnd;
        for (uint32_t u = piece.first; u < piece.first + piece.count; u++) {
            std::memcpy(scratch + used, data + plan.units[u].start, plan.units[u].length);
            used += plan.units[u].length;
        }
        evCFSetItemCount(scratch, static_cast<uint16_t>(plan.prefixCount + piece.items));
        result = evStreamAdd(qmgr, stream, scratch, used, time, entry);
        if (!result) break;
    }
    if (scratch) CSFreeMem(scratch);
    CSFreeMem(plan.pieces);
    CSFreeMem(plan.units);
    return result;
}

int evStreamRecordFits(const uint8_t *data, uint32_t length, uint32_t *blobSize) {
    uint64_t size = 0, factor = 0;
    *blobSize = readOverride(&size, &factor) && size != 0 ? blobSizeOf(size) : STREAM_BLOB_SIZE;
    SplitPlan plan;
    uint32_t bad = 0;
    // Every stream's header area holds its blob size and STREAM_AREA_EXTRA (evStreamCreate).
    const uint64_t room = uint64_t{*blobSize} + STREAM_AREA_EXTRA - STREAM_HEADER_LENGTH;
    switch (planSplit(*blobSize, room, data, length, &plan, &bad)) {
        case kPieces:
            CSFreeMem(plan.pieces);
            CSFreeMem(plan.units);
            return 1;
        case kTooBig:
        case kDamaged:
            return 0;
        case kWhole:
        case kNoStorage:  // the store itself finds out, and the message comes again
            break;
    }
    return 1;
}
