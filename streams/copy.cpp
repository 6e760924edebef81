// Stream copy (COPY EVSTRMST): every stored record of one runtime stream is appended again to another,
// blobs in the order of their newest record, or folded into the target's bins when it aggregates; the
// source's pending bins are absorbed into the target. The target is consolidated and committed in
// batches as it grows, so a copy that fails leaves the target with its committed batches and the
// source as it was.
#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <cstdio>

#include "streams/internal.h"

namespace {

struct SourceBlob {
    const uint8_t *header;
    uint32_t extent;  // bytes the walk may read
};

bool aggregates(const Stream *stream) {
    return stream->definition && stream->definition->aggrInt != 0;
}

void errorReply(const EvStreamCopy *copy, int32_t reason, const char *text) {
    EvStreamHooks *hooks = evStreamGetHooks();
    if (hooks->errorReply) hooks->errorReply(copy->context, copy->command, reason, text);
}

}  // namespace

void evStreamCopyInit(EvStreamCopy *copy, QmgrContext *context, EvStreamIo *io, int32_t command,
                      Stream *source, Stream *target, uint32_t progressInterval) {
    *copy = EvStreamCopy{};
    copy->context = context;
    copy->io = io;
    copy->targetQmgr = target->qmgr;
    copy->command = command;
    copy->source = source;
    copy->target = target;
    copy->startTime = evClockNow();
    copy->total = source->recordCount;
    copy->progressInterval = progressInterval;
    copy->nextProgress = copy->startTime + progressInterval;
}

void evStreamCopyProgress(EvStreamCopy *copy) {
    int64_t now = evClockNow();
    uint64_t done = std::min(copy->copied, copy->total);
    double percent =
        copy->total ? static_cast<double>(done) * 100.0 / static_cast<double>(copy->total) : 100.0;
    char text[128];
    int n = std::snprintf(text, sizeof text, "%" PRIu64 " items of %" PRIu64 " copied (%2.0f%%)",
                          copy->copied, copy->total, percent);
    int64_t elapsed = now - copy->startTime;
    if (elapsed > 3 && copy->copied > 0 && copy->copied < copy->total && n > 0) {
        double left = static_cast<double>(copy->total - copy->copied) * static_cast<double>(elapsed) /
                      static_cast<double>(copy->copied);
        auto eta = static_cast<int64_t>(std::llround(left));
        std::snprintf(text + n, sizeof text - static_cast<size_t>(n), " ETA:(%" PRId64 "s)",
                      eta < 1 ? 1 : eta);
    }
    EvStreamHooks *hooks = evStreamGetHooks();
    if (hooks->progressReply) hooks->progressReply(copy->context, copy->command, text);
    copy->nextProgress = now + copy->progressInterval;
}

int evStreamCopyConsolidate(EvStreamCopy *copy) {
    // Each consolidation step hardens the target and commits: that is the copy's batch.
    if (!evStreamConsolidateAll(copy->io, copy->target)) return 0;
    if (copy->io->inFlight >= copy->io->batchSize) return evStreamCommit(copy->io);
    return 1;
}

int evStreamStoreRecord(EmitContext *work, EvStreamCopy *copy, const uint8_t *record, uint32_t length) {
    EvStreamHooks *hooks = evStreamGetHooks();
    Stream *target = copy->target;
    // 1.
    copy->copied++;
    int64_t time = length >= EVCF_HEADER_LENGTH ? evCFGetEventTime(record) : 0;
    if (aggregates(target)) {
        // 2. Folded into its bin; too many open bins are absorbed at once.
        int folded = hooks->aggrAddRecord
                         ? hooks->aggrAddRecord(copy->context, copy->targetQmgr, target, 1, record, length)
                         : 0;
        if (folded != 1) return folded;
        uint32_t held = hooks->heldBinThreshold ? hooks->heldBinThreshold() : EV_HELD_BINS_DEFAULT;
        if (target->activeBins > held) {
            int due = hooks->aggrRunDue ? hooks->aggrRunDue(work, target, 0) : 0;
            if (due != 1) return due;  // 2: memory was replaced, the target is gone
        }
    } else {
        // 3. A record bigger than a blob is stored in pieces rather than refused.
        if (!evStreamAddSplit(copy->targetQmgr, target, record, length, time, nullptr)) return 0;
        uint8_t *current = evStreamCurrentBlob(target);
        uint32_t lastId = mqiGetU32(evStreamMessage(target), SH_LAST_EVENT_ID);
        mqiPutU32(current, BH_HIGH_EVENT_ID, lastId);
        if (mqiGetU32(current, BH_LOW_EVENT_ID) == 0) mqiPutU32(current, BH_LOW_EVENT_ID, lastId);
    }
    // 4.
    if (target->smallBlobCount >= target->factor || copy->io->inFlight >= copy->io->batchSize)
        return evStreamCopyConsolidate(copy);
    return 1;
}

int evStreamCopyRecords(EvStreamCopy *copy, EmitContext *work) {
    Stream *source = copy->source;
    // 1. Every full blob and the current blob, by their newest record. They are gathered in the order
    // they were stored (the list is newest first), so that blobs of one newest time, which the stable
    // sort leaves as they are, keep their records in the order they came.
    uint32_t count = 1;
    for (StreamBlob *blob = source->blobs; blob; blob = blob->next) count++;
    auto *blobs = static_cast<SourceBlob *>(CSGetMem(uint64_t{count} * sizeof(SourceBlob)));
    if (!blobs) {
        errorReply(copy, MQRC_STORAGE_NOT_AVAILABLE, "No storage available.");
        return 0;
    }
    uint32_t n = count - 1;
    blobs[n] = SourceBlob{evStreamCurrentBlob(source), source->header->used - SH_BLOB};
    for (StreamBlob *blob = source->blobs; blob; blob = blob->next)
        blobs[--n] = SourceBlob{evStreamBlobHeader(blob), blob->area->used};
    n = count;
    std::stable_sort(blobs, blobs + n, [](const SourceBlob &a, const SourceBlob &b) {
        return evBlobNewest(a.header) < evBlobNewest(b.header);
    });
    // 2. Each blob's entries first to last.
    int ok = 1;
    for (uint32_t i = 0; ok == 1 && i < n; i++) {
        BlobWalk walk;
        evBlobWalkInit(&walk, blobs[i].header, blobs[i].extent, 0);
        BlobEntry entry;
        while (ok == 1 && evBlobWalkNext(&walk, &entry) > 0) {
            if (copy->progressInterval && evClockNow() >= copy->nextProgress) evStreamCopyProgress(copy);
            ok = evStreamStoreRecord(work, copy, entry.data, entry.dataLength);
        }
    }
    CSFreeMem(blobs);
    return ok;
}

int evStreamCopyAggregate(EvStreamCopy *copy, EmitContext *work) {
    EvStreamHooks *hooks = evStreamGetHooks();
    if (!hooks->activeBinsByTime) return 1;  // nothing aggregates
    // The source's active bins, oldest first (asked again when more came than there was room for).
    uint32_t capacity = copy->source->activeBins, count = 0;
    AggrBin **bins = nullptr;
    for (;;) {
        if (capacity) {
            bins = static_cast<AggrBin **>(CSGetMem(uint64_t{capacity} * sizeof(AggrBin *)));
            if (!bins) {
                errorReply(copy, MQRC_STORAGE_NOT_AVAILABLE, "No storage available.");
                return 0;
            }
        }
        count = hooks->activeBinsByTime(copy->source, bins, capacity);
        if (count <= capacity) break;
        if (bins) CSFreeMem(bins);
        bins = nullptr;
        capacity = count;
    }
    int ok = 1;
    if (count && !copy->aggrArea) {
        copy->aggrArea = AreaGet(EV_AGGR_AREA_SIZE, 0, "AGGRAREA");
        if (!copy->aggrArea) {
            errorReply(copy, MQRC_STORAGE_NOT_AVAILABLE, "Storage not available.");
            ok = 0;
        }
    }
    uint32_t type = copy->target->definition ? copy->target->definition->type : 0;
    auto absorb = type >= STREAM_TYPE_STATQ && type <= STREAM_TYPE_ACCTMQI ? hooks->absorb[type] : nullptr;
    for (uint32_t i = 0; ok == 1 && i < count; i++) ok = absorb ? absorb(work, copy, bins[i]) : 0;
    if (bins) CSFreeMem(bins);
    return ok;
}

int evStreamCopy(EvStreamCopy *copy, EmitContext *work) {
    EvStreamHooks *hooks = evStreamGetHooks();
    Stream *target = copy->target;
    int ok = evStreamCopyRecords(copy, work);
    if (ok == 1) ok = evStreamCopyAggregate(copy, work);
    if (ok == 1 && aggregates(target) && hooks->aggrRunDue) ok = hooks->aggrRunDue(work, target, 0);
    if (ok == 2) {
        // The aggregation replaced memory: neither stream is there any more.
        AreaRelease(&copy->aggrArea);
        return 2;
    }
    if (ok) {
        evStreamCopyProgress(copy);
        // The last batch is committed too: nothing the copy wrote is left open in the command's unit,
        // where the event set could not see it.
        ok = evStreamConsolidateAll(copy->io, target) && evStreamHarden(copy->io, target) &&
             evStreamCommit(copy->io);
    }
    AreaRelease(&copy->aggrArea);
    return ok;
}
