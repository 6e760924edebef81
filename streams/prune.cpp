// Changes to the stored blobs of a stream other than appending: consolidation merges the oldest small
// blobs into one big blob so that a stream does not grow into thousands of messages; expiry removes
// the oldest blob once its records are past the stream's retention; purge removes blobs on request,
// outside the unit of work. A step that fails leaves memory as the queue will be after the backout,
// or, where the queue cannot go back (purge), as the queue is now.
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "streams/internal.h"

namespace {

constexpr MQLONG kRemoveInUnit = MQGMO_SYNCPOINT | MQGMO_ACCEPT_TRUNCATED_MSG;  // 0x42
constexpr MQLONG kRemoveNow = MQGMO_NO_SYNCPOINT | MQGMO_ACCEPT_TRUNCATED_MSG;  // 0x44
constexpr MQLONG kPurgeCcsid = 850;
constexpr MQLONG kCommitFailed = -1;  // the commit before a removal failed (and has been reported)

uint64_t rangeValue(const Stream *stream, uint32_t offset) {
    return static_cast<uint64_t>(mqiGetI64(evStreamMessage(stream), offset));
}
void setRange(Stream *stream, uint32_t firstOffset, uint64_t first, uint64_t last) {
    uint8_t *message = evStreamMessage(stream);
    mqiPutI64(message, firstOffset, static_cast<int64_t>(first));
    mqiPutI64(message, firstOffset + 8, static_cast<int64_t>(last));
}
void markHeaderUpdated(Stream *stream) {
    uint8_t *current = evStreamCurrentBlob(stream);
    evBlobSetFlags(current, evBlobFlags(current) | BLOB_UPDATED);
    stream->flags |= STREAM_NEEDS_HARDENING;
}

// Removes a stored blob by its BlobId (the stream header when bh is null), after the commit its last
// write may need. The reason: 0 when it was removed or was not there, kCommitFailed.
MQLONG removeStored(EvStreamIo *io, Stream *stream, const uint8_t *bh, BlobStamp *stamp, MQLONG options,
                    bool allCopies, bool *removedOne) {
    *removedOne = false;
    if (!evStampBeforeWrite(io, stamp)) return kCommitFailed;
    uint8_t correlId[BLOB_ID_LENGTH];
    evStreamBlobIdOf(stream, bh, correlId);
    MQLONG ccsid = options == kRemoveNow ? kPurgeCcsid : 0;
    MQLONG reason;
    while ((reason = evDqGet(io, correlId, options, ccsid, nullptr, 0, nullptr)) ==
           MQRC_TRUNCATED_MSG_ACCEPTED) {
        *removedOne = true;
        evDataQueueMsgCount--;
        if (options & MQGMO_SYNCPOINT) io->inFlight++;
        if (!allCopies) break;
    }
    return reason == MQRC_TRUNCATED_MSG_ACCEPTED || reason == MQRC_NO_MSG_AVAILABLE ? 0 : reason;
}

// ---- Consolidation ----

struct Merge {
    StreamBlob *blob;
    uint32_t base;  // where its entries start in the big blob
};

// The number of the new big blob and where it goes in the list. "$STRINGS" fills the first gap of its
// big numbers, else goes below the lowest.
uint64_t bigNumber(Stream *stream, StreamBlob ***place, bool *lowered) {
    *lowered = false;
    uint64_t next = rangeValue(stream, SH_BIG_LAST) + 1;
    if (stream->definition) return next;
    StreamBlob *higher = nullptr;
    for (StreamBlob *blob = stream->blobs; blob; blob = blob->next) {
        const uint8_t *bh = evStreamBlobHeader(blob);
        if (!(evBlobFlags(bh) & BLOB_BIG)) continue;
        if (higher && evBlobNumber(evStreamBlobHeader(higher)) - evBlobNumber(bh) > 1) {
            *place = &higher->next;
            return evBlobNumber(bh) + 1;
        }
        higher = blob;
    }
    if (higher && evBlobNumber(evStreamBlobHeader(higher)) > 1) {
        *place = &higher->next;
        *lowered = true;
        return evBlobNumber(evStreamBlobHeader(higher)) - 1;
    }
    return next;
}

void mergeStats(uint8_t *big, const uint8_t *bh) {
    auto keepMax = [&](uint32_t offset) {
        if (mqiGetI64(bh, offset) > mqiGetI64(big, offset)) mqiPutI64(big, offset, mqiGetI64(bh, offset));
    };
    auto keepMin = [&](uint32_t offset) {
        int64_t value = mqiGetI64(bh, offset);
        if (value != 0 && (mqiGetI64(big, offset) == 0 || value < mqiGetI64(big, offset)))
            mqiPutI64(big, offset, value);
    };
    keepMax(BH_NEWEST);
    keepMax(BH_GAP);
    keepMin(BH_OLDEST);
    uint32_t low = mqiGetU32(bh, BH_LOW_EVENT_ID), high = mqiGetU32(bh, BH_HIGH_EVENT_ID);
    if (high > mqiGetU32(big, BH_HIGH_EVENT_ID)) mqiPutU32(big, BH_HIGH_EVENT_ID, high);
    if (low != 0 && (mqiGetU32(big, BH_LOW_EVENT_ID) == 0 || low < mqiGetU32(big, BH_LOW_EVENT_ID)))
        mqiPutU32(big, BH_LOW_EVENT_ID, low);
    mqiPutU32(big, BH_OUT_OF_ORDER, evBlobOutOfOrder(big) + evBlobOutOfOrder(bh));
    mqiPutU32(big, BH_RECORDS, evBlobRecords(big) + evBlobRecords(bh));
}

// Copies the entries of the blobs to merge, in list order, into one big blob; the first entry of
// each chains to the last of the one before it.
Area *buildBig(Merge *merges, uint32_t count, uint64_t number) {
    uint64_t bytes = BLOB_HEADER_LENGTH;
    for (uint32_t i = 0; i < count; i++)
        bytes += evBlobLength(evStreamBlobHeader(merges[i].blob)) - BLOB_HEADER_LENGTH;
    if (bytes + 24 > STREAM_MAX_MESSAGE) return nullptr;
    Area *area = AreaGet(static_cast<uint32_t>(bytes) + 24, 0, "evCONSOL");
    if (!area) return nullptr;
    uint8_t *big = AreaData(area);
    evBlobHeaderInit(big, BLOB_BIG, number);
    uint32_t used = BLOB_HEADER_LENGTH;
    uint16_t previousTotal = 0;
    for (uint32_t i = 0; i < count; i++) {
        const uint8_t *bh = evStreamBlobHeader(merges[i].blob);
        uint32_t length = evBlobLength(bh) - BLOB_HEADER_LENGTH;
        merges[i].base = used;
        if (length == 0) continue;
        std::memcpy(big + used, bh + BLOB_HEADER_LENGTH, length);
        mqiPutU16(big + used, ENTRY_PREVIOUS, previousTotal);
        uint32_t last = evBlobLastEntry(bh);
        mqiPutU32(big, BH_LAST_ENTRY, used + last - BLOB_HEADER_LENGTH);
        previousTotal = mqiGetU16(bh, last + ENTRY_TOTAL);
        used += length;
        mergeStats(big, bh);
    }
    mqiPutU32(big, BH_LENGTH, used);
    area->used = used;
    return area;
}

// The pooled strings stored in a merged "$STRINGS" blob are stored in the big blob from now on.
void repointMerged(const Merge &merge, uint8_t *big) {
    const uint8_t *bh = evStreamBlobHeader(merge.blob);
    BlobWalk walk;
    BlobEntry entry;
    evBlobWalkInit(&walk, bh, evBlobLength(bh), 0);
    while (evBlobWalkNext(&walk, &entry) > 0)
        evStringRepoint(bh + entry.offset, big + merge.base + entry.offset - BLOB_HEADER_LENGTH);
}

}  // namespace

int evStreamConsolidate(EvStreamIo *io, Stream *stream, uint32_t *merged) {
    if (merged) *merged = 0;
    // 1. The small blobs numbered up to F + N - 1, newest first; the big blob takes their place.
    uint64_t first = rangeValue(stream, SH_SMALL_FIRST);
    if (first == 0) return 1;
    uint64_t limit = first + stream->factor - 1;
    uint32_t count = 0;
    StreamBlob **place = nullptr;
    for (StreamBlob **link = &stream->blobs; *link; link = &(*link)->next) {
        const uint8_t *bh = evStreamBlobHeader(*link);
        if ((evBlobFlags(bh) & (BLOB_BIG | BLOB_DROP)) || evBlobNumber(bh) > limit) continue;
        if (!place) place = link;
        count++;
    }
    if (count == 0) return 1;
    auto *merges = static_cast<Merge *>(CSGetMem(uint64_t{count} * sizeof(Merge)));
    if (!merges) {
        evOutput(EV_OUT_ERROR, "No storage available.", -1, 1);
        return 0;
    }
    uint32_t n = 0;
    for (StreamBlob *blob = stream->blobs; blob; blob = blob->next) {
        const uint8_t *bh = evStreamBlobHeader(blob);
        if (!(evBlobFlags(bh) & (BLOB_BIG | BLOB_DROP)) && evBlobNumber(bh) <= limit)
            merges[n++] = Merge{blob, 0};
    }
    // 2-4. The big blob is built before anything changes.
    bool lowered = false;
    uint64_t number = bigNumber(stream, &place, &lowered);
    Area *area = buildBig(merges, count, number);
    auto *node = area ? static_cast<StreamBlob *>(CSGetMem(sizeof(StreamBlob))) : nullptr;
    if (!node) {
        AreaRelease(&area);
        CSFreeMem(merges);
        evOutput(EV_OUT_ERROR, "No storage available.", -1, 1);
        return 0;
    }
    // The merged blobs leave the queue in the unit of work; a failure gives them back their flags.
    for (uint32_t i = 0; i < count; i++) {
        StreamBlob *blob = merges[i].blob;
        uint8_t *bh = evStreamBlobHeader(blob);
        uint32_t before = evBlobFlags(bh);
        if (!(before & BLOB_EXISTS)) continue;
        bool removed = false;
        MQLONG reason = removeStored(io, stream, bh, &blob->stamp, kRemoveInUnit, false, &removed);
        if (reason != 0) {
            if (reason != kCommitFailed) evDqFailed(io, "MQGET", reason);
            evStreamRestoreWrites(io, stream);
            AreaRelease(&area);
            CSFreeMem(node);
            CSFreeMem(merges);
            return 0;
        }
        evStampWrite(&blob->stamp, io, before);
        evBlobSetFlags(bh, before & ~BLOB_EXISTS);
        if (evStreamTracing())
            evOutputF(EV_OUT_PROGRESS, 1,
                      removed ? "  Message %" PRId64 " (%p) consolidated"
                              : "  Message (Missing) %" PRId64 " (%p) consolidated",
                      static_cast<int64_t>(evBlobNumber(bh)), static_cast<void *>(bh));
    }
    // 5. Memory follows: the merged blobs go, the big one takes their place.
    uint8_t *big = AreaData(area);
    *node = StreamBlob{nullptr, area, BlobStamp{}};
    for (uint32_t i = 0; i < count; i++) {
        if (!stream->definition) repointMerged(merges[i], big);
        for (StreamBlob **link = &stream->blobs; *link; link = &(*link)->next) {
            if (*link != merges[i].blob) continue;
            if (place == &merges[i].blob->next) place = link;  // the place was behind a merged blob
            *link = merges[i].blob->next;
            break;
        }
        stream->bytes -= evBlobLength(evStreamBlobHeader(merges[i].blob));
        evStreamBlobFree(merges[i].blob);
        if (stream->smallBlobCount) stream->smallBlobCount--;
        if (stream->blobCount) stream->blobCount--;
    }
    CSFreeMem(merges);
    evBlobSetFlags(big, BLOB_BIG | BLOB_UPDATED);
    node->next = *place;
    *place = node;
    stream->blobCount++;
    stream->bytes += evBlobLength(big);
    uint64_t bigFirst = rangeValue(stream, SH_BIG_FIRST), bigLast = rangeValue(stream, SH_BIG_LAST);
    if (bigFirst == 0 || number < bigFirst || lowered) bigFirst = number;
    if (number > bigLast) bigLast = number;
    setRange(stream, SH_BIG_FIRST, bigFirst, bigLast);
    if (limit >= rangeValue(stream, SH_SMALL_LAST))
        setRange(stream, SH_SMALL_FIRST, 0, 0);
    else
        setRange(stream, SH_SMALL_FIRST, limit + 1, rangeValue(stream, SH_SMALL_LAST));
    markHeaderUpdated(stream);
    if (merged) *merged = count;
    // 6. On the queue in the same unit, then committed.
    if (!evStreamHarden(io, stream)) return 0;
    return evStreamCommit(io);
}

int evStreamConsolidateAll(EvStreamIo *io, Stream *stream) {
    while (stream->smallBlobCount >= stream->factor) {
        uint32_t merged = 0;
        if (!evStreamConsolidate(io, stream, &merged)) return 0;
        if (merged == 0) break;  // nothing left that the small range covers
    }
    return 1;
}

// ---- Expiry ----

int evStreamExpire(EvStreamIo *io, Stream *stream, int *removed) {
    if (removed) *removed = 0;
    int64_t now = evClockNow();
    // 1. The oldest blob is the last of the list.
    StreamBlob **candidate = nullptr;
    for (StreamBlob **link = &stream->blobs; *link; link = &(*link)->next) candidate = link;
    if (!candidate) {
        stream->oldest = now;
        return 1;
    }
    // 2. Every record of it at or before now - RETINTVL, else it stays.
    if (!stream->definition) return 1;  // the pool's strings do not age
    StreamBlob *blob = *candidate;
    uint8_t *bh = evStreamBlobHeader(blob);
    if (evBlobNewest(bh) > now - int64_t{stream->definition->retIntvl}) return 1;
    // 3. Off the queue in the unit of work.
    uint32_t flags = evBlobFlags(bh);
    if (flags & BLOB_EXISTS) {
        bool gone = false;
        MQLONG reason = removeStored(io, stream, bh, &blob->stamp, kRemoveInUnit, false, &gone);
        if (reason != 0) {
            if (reason != kCommitFailed) evDqFailed(io, "MQGET", reason);
            return 0;
        }
        if (evStreamTracing())
            evOutputF(EV_OUT_PROGRESS, 1, "  Message %" PRId64 " (%p) removed due to age",
                      static_cast<int64_t>(evBlobNumber(bh)), static_cast<void *>(bh));
    }
    if (removed) *removed = 1;
    markHeaderUpdated(stream);
    // 4. Out of memory; the range's first moves past it.
    bool big = (flags & BLOB_BIG) != 0;
    if (!big && stream->smallBlobCount) stream->smallBlobCount--;
    uint32_t firstOffset = big ? SH_BIG_FIRST : SH_SMALL_FIRST;
    uint64_t number = evBlobNumber(bh);
    if (number == rangeValue(stream, firstOffset)) {
        uint64_t last = rangeValue(stream, firstOffset + 8);
        if (number + 1 > last)
            setRange(stream, firstOffset, 0, 0);
        else
            setRange(stream, firstOffset, number + 1, last);
    }
    if (stream->blobCount) stream->blobCount--;
    stream->recordCount -= evBlobRecords(bh) <= stream->recordCount ? evBlobRecords(bh) : stream->recordCount;
    *candidate = nullptr;
    evStreamBlobFree(blob);
    // 5-6.
    evStreamRecompute(stream);
    evStringScheduleCheck();
    return 1;
}

// ---- Purge ----

int evStreamPurge(EvStreamIo *io, QmgrEntry *qmgr, StreamDef *definition, Stream **slot,
                  StreamPurgeCounts *counts, char *errorText, size_t errorSize) {
    counts->records = 0;
    counts->blobs = 0;
    counts->reason = 0;
    if (errorText && errorSize) errorText[0] = '\0';
    Stream *stream = slot ? *slot : nullptr;
    if (!stream || !stream->header) return 1;
    bool all = counts->days == 0;
    QmgrEntry *owner = qmgr ? qmgr : stream->qmgr;
    int64_t cutoff = evClockNow() - int64_t{counts->days} * 86400;
    // 2. The aggregation bins and their messages first.
    EvStreamHooks *hooks = evStreamGetHooks();
    if (hooks->discardBins && !hooks->discardBins(io, stream)) return 0;

    // 3. Old blobs off the queue at once, outside the unit: they stay purged whatever follows.
    MQLONG failure = 0;
    auto purge = [&](uint8_t *bh, BlobStamp *stamp, bool header) {
        bool removed = false;
        if ((evBlobFlags(bh) & BLOB_EXISTS) || header)
            failure = removeStored(io, stream, header ? nullptr : bh, stamp, kRemoveNow, all, &removed);
        if (failure) return false;
        if (removed && evStreamTracing())
            evOutputF(EV_OUT_PROGRESS, 1, "  Message %" PRId64 " (%p) purged",
                      static_cast<int64_t>(evBlobNumber(bh)), static_cast<void *>(bh));
        evBlobSetFlags(bh, (evBlobFlags(bh) & ~BLOB_EXISTS) | BLOB_PURGED);
        if (!header || evBlobRecords(bh)) counts->blobs++;
        counts->records += evBlobRecords(bh);
        return true;
    };
    for (StreamBlob *blob = stream->blobs; blob; blob = blob->next) {
        uint8_t *bh = evStreamBlobHeader(blob);
        if (!all && evBlobOldest(bh) >= cutoff) continue;
        if (!purge(bh, &blob->stamp, false)) break;
    }
    if (!failure && all) purge(evStreamCurrentBlob(stream), &stream->headerStamp, true);  // the header last
    if (failure) {
        counts->reason = failure == kCommitFailed ? MQRC_BACKED_OUT : failure;
        if (failure != kCommitFailed) evDqFailed(io, "MQGET", failure, errorText, errorSize);
    }

    // 6 (days 0). Nothing of the stream is left.
    if (all && !failure) {
        bool slotIsLink = false;
        if (Stream **link = evStreamQmgrList(stream->qmgr)) {
            for (; *link; link = &(*link)->next) {
                if (*link != stream) continue;
                slotIsLink = link == slot;
                *link = stream->next;
                break;
            }
        }
        if (!slotIsLink) *slot = nullptr;
        evStreamFree(stream);
        evConfigChanged = 1;
    } else {
        // 4-5. The purged blobs leave memory, with their counts; the ranges are what is kept.
        uint64_t low[2] = {0, 0}, high[2] = {0, 0};
        for (StreamBlob **link = &stream->blobs; *link;) {
            StreamBlob *blob = *link;
            uint8_t *bh = evStreamBlobHeader(blob);
            bool big = (evBlobFlags(bh) & BLOB_BIG) != 0;
            if (!(evBlobFlags(bh) & BLOB_PURGED)) {
                uint64_t number = evBlobNumber(bh);
                if (!low[big] || number < low[big]) low[big] = number;
                if (number > high[big]) high[big] = number;
                link = &blob->next;
                continue;
            }
            *link = blob->next;
            uint32_t records = evBlobRecords(bh);
            stream->recordCount -= records <= stream->recordCount ? records : stream->recordCount;
            if (!big && stream->smallBlobCount) stream->smallBlobCount--;
            if (stream->blobCount) stream->blobCount--;
            evStreamBlobFree(blob);
        }
        for (int big = 0; big < 2; big++) {
            uint32_t firstOffset = big ? SH_BIG_FIRST : SH_SMALL_FIRST;
            if (rangeValue(stream, firstOffset) == low[big] &&
                rangeValue(stream, firstOffset + 8) == high[big])
                continue;
            setRange(stream, firstOffset, low[big], high[big]);
            markHeaderUpdated(stream);
        }
        // A header whose removal failed is still on the queue as it was.
        uint8_t *current = evStreamCurrentBlob(stream);
        evBlobSetFlags(current, evBlobFlags(current) & ~BLOB_PURGED);
        evStreamRecompute(stream);
    }
    if (failure) return 0;
    // 7.
    const char *qmgrName = "";
    uint32_t number = 0, nameId = 0;
    if (owner && hooks->qmgrIdentity) hooks->qmgrIdentity(owner, &number, &qmgrName, &nameId);
    char line[STREAM_NAME_MAX + 128];
    std::snprintf(line, sizeof line, "PURGE EVSTREAM('%s') QMGR('%s') ", definition ? definition->name : "",
                  qmgrName ? qmgrName : "");
    evPendingLogLine(line);
    return 1;
}
