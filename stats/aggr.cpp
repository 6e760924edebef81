// Aggregation bins: routing a record to the bin of its interval (aligned to local midnight), the due
// rule and the wake-up time, message slots for changed entries, the pools, and the walks the engine
// and stream storage call (absorb of every stream, purge, memory drop, copy).
#include <algorithm>

#include "stats/aggr.h"

namespace {

const int32_t kLevelKey[] = {AGGR_ID_COMMAND_LEVEL};
const int32_t kQueueKey[] = {2016, 20};                  // queue name, queue type
const int32_t kChannelKey[] = {3501, 2017, 3506, 1511};  // channel, remote queue manager, connection, type
const int32_t kApplicationKey[] = {3024, 3025, 3501, 3506, AGGR_ID_COMMAND_LEVEL};

AggrPool binPool{sizeof(AggrBin), nullptr, 0, nullptr, 0, 0};
AggrPool groupPool{sizeof(AggrKeyGroup), nullptr, 0, nullptr, 0, 0};

constexpr uint32_t kChunkHead = 16;  // the next chunk's address, kept 16-aligned

int64_t floorDiv(int64_t a, int64_t b) {
    int64_t q = a / b;
    return (a % b != 0 && (a < 0) != (b < 0)) ? q - 1 : q;
}

// The civil date of a day number (days since 1970-01-01).
void civilFromDays(int64_t days, int32_t *year, int32_t *month, int32_t *day) {
    days += 719468;
    int64_t era = floorDiv(days, 146097);
    int64_t doe = days - era * 146097;
    int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    int64_t mp = (5 * doy + 2) / 153;
    int64_t d = doy - (153 * mp + 2) / 5 + 1;
    int64_t m = mp < 10 ? mp + 3 : mp - 9;
    *year = static_cast<int32_t>(yoe + era * 400 + (m <= 2 ? 1 : 0));
    *month = static_cast<int32_t>(m);
    *day = static_cast<int32_t>(d);
}

EmitterDef *emitterOf(const StreamDef *definition) {
    if (!definition || definition->evEmit[0] == 0) return nullptr;
    return evFindEmitterDef(definition->evEmit, -1);
}

// A failing emitter pushes a time back to its last failure + min(N x Delay, DelayMax).
int64_t emitterBackOff(const StreamDef *definition, int64_t time) {
    EmitterDef *emitter = emitterOf(definition);
    if (!emitter || emitter->consecutiveFailures == 0) return time;
    int64_t back = std::min<int64_t>(int64_t{emitter->consecutiveFailures} * evAbsorb.emitFailDelay.load(),
                                     evAbsorb.emitFailDelayMax.load());
    return std::max(time, emitter->failTime + back);
}

int64_t dueTime(const StreamDef *definition, const AggrBin *bin) {
    return emitterBackOff(definition, bin->end + evAbsorb.grace.load());
}

bool writtenInOpenUnit(const AggrBin *bin) {
    for (const AggrMsgDesc *m = bin->messages; m; m = m->next)
        if (m->stamp.io && m->stamp.unit == m->stamp.io->unit) return true;
    return false;
}

// The entries, groups and messages of a bin go back to their pools; the bin stays.
void emptyBin(AggrBin *bin) {
    while (AggrMsgDesc *m = bin->messages) {
        bin->messages = m->next;
        aggrPoolGive(&evAggrFamilies[m->family].messages, m);
    }
    while (AggrKeyGroup *g = bin->groups) {
        bin->groups = g->next;
        while (AggrEntry *e = g->entries) {
            g->entries = e->next;
            aggrPoolGive(&evAggrEntryPool, e);
        }
        aggrPoolGive(&groupPool, g);
    }
}

void freeStreamBins(Stream *stream) {
    while (AggrBin *bin = stream->aggregation) {
        stream->aggregation = bin->next;
        emptyBin(bin);
        aggrPoolGive(&binPool, bin);
    }
    stream->activeBins = 0;
    stream->aggrMsgs = 0;
}

template <class Visit>
void forEachStream(Visit visit) {
    EvStreamHooks *hooks = evStreamGetHooks();
    if (!hooks->nextQmgr) return;
    for (QmgrEntry *qmgr = hooks->nextQmgr(nullptr); qmgr; qmgr = hooks->nextQmgr(qmgr))
        for (Stream *stream = qmgr->streams; stream; stream = stream->next)
            if (!visit(qmgr, stream)) return;
}

void openBin(AggrBin *bin, Stream *stream, AggrFamily *family, int64_t start, int64_t end) {
    emptyBin(bin);  // a spare may still hold what a failed absorb left
    bin->active = 1;
    stream->activeBins++;
    bin->start = start;
    bin->end = end;
    bin->length = aggrBinLength(start, end);
    bin->sequence = ++stream->binSequence;
    bin->family = aggrFamilyIndex(family);
    evAggrState.binsCreated.fetch_add(1);
}

// A spare bin of the stream, or a new one at the head of its list; null when out of storage.
AggrBin *spareBin(Stream *stream, AggrBin *inactive) {
    if (inactive) return inactive;
    auto *bin = static_cast<AggrBin *>(aggrPoolTake(&binPool));
    if (!bin) {
        evOutput(EV_OUT_ERROR, "No storage available.", -1, 1);
        return nullptr;
    }
    bin->next = stream->aggregation;
    stream->aggregation = bin;
    return bin;
}

AggrWork workFor(QmgrContext *context, EvStreamIo *io, QmgrEntry *qmgr, Stream *stream) {
    AggrWork work{};
    work.context = context;
    work.io = io;
    work.qmgr = qmgr;
    work.stream = stream;
    work.definition = stream ? stream->definition : nullptr;
    return work;
}

EvStreamIo *currentIo(QmgrContext *context) {
    if (!context) return nullptr;
    return context->current ? &context->current->io : &context->sets[EV_SET_E].io;
}

// Marks the strings the bins' messages refer to as in use (string housekeeping).
void markBinStrings() {
    forEachStream([](QmgrEntry *, Stream *stream) {
        for (AggrBin *bin = stream->aggregation; bin; bin = bin->next) {
            if (!bin->active) continue;
            const AggrFamily &family = evAggrFamilies[bin->family];
            for (AggrMsgDesc *m = bin->messages; m; m = m->next)
                if (m->portions)
                    evStringMarkRecord(aggrBody(m), family.commonLength + m->portions * family.portionLength);
        }
        return true;
    });
}

}  // namespace

AggrFamily evAggrFamilies[AGGR_FAMILIES] = {
    {&evStatQFamily, kLevelKey, 1, kQueueKey, 2, 1, 0, 0, 0, 0, 0, 0, 0, {}},
    {&evStatChlFamily, kLevelKey, 1, kChannelKey, 4, 1, 0, 0, 0, 0, 0, 0, 0, {}},
    {&evStatMQIFamily, kLevelKey, 1, nullptr, 0, 0, 0, 0, 0, 0, 0, 0, 0, {}},
    {&evAcctQFamily, kApplicationKey, 5, kQueueKey, 2, 1, 0, 0, 0, 0, 0, 0, 0, {}},
    {&evAcctMQIFamily, kLevelKey, 1, kApplicationKey, 5, 0, 0, 0, 0, 0, 0, 0, 0, {}},
};
AggrPool evAggrEntryPool{sizeof(AggrEntry), nullptr, 0, nullptr, 0, 0};

AggrFamily *aggrFamilyByType(uint32_t type) {
    for (AggrFamily &family : evAggrFamilies)
        if (family.stats->streamType == type) return &family;
    return nullptr;
}

AggrFamily *aggrFamilyByCommand(uint32_t command) {
    for (AggrFamily &family : evAggrFamilies)
        if (family.stats->command == command) return &family;
    return nullptr;
}

// ---- Pools ----

void *aggrPoolTake(AggrPool *pool) {
    void *slot;
    if (pool->freeList) {
        slot = pool->freeList;
        std::memcpy(&pool->freeList, slot, sizeof(void *));
        pool->freeCount--;
    } else {
        if (!pool->chunks || pool->fill == AGGR_PER_CHUNK) {
            void *chunk = CSGetMem(kChunkHead + uint64_t{pool->slotSize} * AGGR_PER_CHUNK);
            if (!chunk) return nullptr;
            std::memcpy(chunk, &pool->chunks, sizeof(void *));
            pool->chunks = chunk;
            pool->fill = 0;
        }
        slot = static_cast<uint8_t *>(pool->chunks) + kChunkHead + uint64_t{pool->fill} * pool->slotSize;
        pool->fill++;
    }
    pool->handed++;
    std::memset(slot, 0, pool->slotSize);
    return slot;
}

void aggrPoolGive(AggrPool *pool, void *slot) {
    std::memcpy(slot, &pool->freeList, sizeof(void *));
    pool->freeList = slot;
    pool->freeCount++;
    pool->handed--;
}

void aggrPoolRelease(AggrPool *pool) {
    while (void *chunk = pool->chunks) {
        std::memcpy(&pool->chunks, chunk, sizeof(void *));
        CSFreeMem(chunk);
    }
    pool->fill = 0;
    pool->freeList = nullptr;
    pool->handed = 0;
    pool->freeCount = 0;
}

// ---- Sizing ----

int aggrSizeFamily(AggrFamily *family) {
    if (family->bodyLength) return 1;
    for (const AggrConfig &row : evAggrConfig)
        if (static_cast<uint32_t>(row.streamType) == family->stats->streamType)
            family->maxPortions = static_cast<uint32_t>(row.maxPortions);
    if (family->maxPortions == 0) return 0;
    // A dry run over a zero record: every item takes its padded size, whatever its value.
    alignas(8) uint8_t record[AGGR_RECORD_MAX] = {};
    uint8_t scratch[4096];
    evCFWriter w;
    evCFWriterInit(&w, scratch, sizeof scratch, &evStreamStringPool, 850);
    w.fixedLength = 1;
    if (!aggrWriteCommon(&w, family, nullptr, 0, 0)) return 0;
    uint32_t common = w.length;
    if (!aggrWritePortion(&w, family, record, 1)) return 0;
    family->commonLength = common;
    family->portionLength = w.length - common;
    evCFWriterInit(&w, scratch, sizeof scratch, &evStreamStringPool, 850);
    w.fixedLength = 1;
    if (!aggrWriteCommon(&w, family, nullptr, 0, 0) || !aggrWritePortion(&w, family, record, AGGR_FIXED_V1))
        return 0;
    family->portionLengthV1 = w.length - common;
    evCFWriterInit(&w, scratch, sizeof scratch, &evStreamStringPool, 850);
    w.fixedLength = 1;
    if (!aggrWriteCommon(&w, family, nullptr, 0, 0) || !aggrWritePortion(&w, family, record, AGGR_FIXED_V2))
        return 0;
    family->portionLengthV2 = w.length - common;
    evCFWriterInit(&w, scratch, sizeof scratch, &evStreamStringPool, 850);
    w.fixedLength = 1;
    if (!aggrWriteCommon(&w, family, nullptr, 0, 0) || !aggrWritePortion(&w, family, record, AGGR_FIXED_V3))
        return 0;
    family->portionLengthV3 = w.length - common;
    family->bodyLength = common + family->maxPortions * family->portionLength;
    family->messages = AggrPool{static_cast<uint32_t>(sizeof(AggrMsgDesc) + ((family->bodyLength + 7) & ~7u)),
                                nullptr,
                                0,
                                nullptr,
                                0,
                                0};
    return 1;
}

// ---- Bins ----

namespace {

// The local midnight that begins (end 0) or ends (end 1) the local day holding the instant just
// before t; without a local calendar, the UTC one.
int64_t localMidnight(int64_t t, int end) {
    EvLocalTime fields{};
    if (!evLocalTimeFields(t - 1, &fields))
        civilFromDays(floorDiv(t - 1, 86400), &fields.year, &fields.month, &fields.day);
    fields.hour = end ? 23 : 0;
    fields.minute = end ? 59 : 0;
    fields.second = end ? 59 : 0;
    int64_t midnight = 0;
    if (evLocalFieldsToTime(&fields, &midnight)) return midnight + end;
    return (floorDiv(t - 1, 86400) + end) * 86400;
}

}  // namespace

int64_t evAggrBinEnd(int64_t t, uint32_t length) {
    // The local day of the instant (not of its UTC date); a bin of a day is the local day, which
    // daylight saving makes 23 or 25 hours long.
    const int64_t midnight = localMidnight(t, 1);
    if (length >= AGGR_INTERVAL_MAX) return midnight;
    int64_t steps = -floorDiv(-(t - midnight), length);  // rounded up
    return midnight + steps * int64_t{length};
}

int64_t aggrBinStart(int64_t end, uint32_t length) {
    return length >= AGGR_INTERVAL_MAX ? localMidnight(end, 0) : end - length;
}

uint32_t aggrBinLength(int64_t start, int64_t end) {
    // A local day is a day, however long daylight saving makes it.
    if (end - start != AGGR_INTERVAL_MAX && end - start <= AGGR_DAY_MAX && localMidnight(end, 1) == end &&
        localMidnight(end, 0) == start)
        return AGGR_INTERVAL_MAX;
    return static_cast<uint32_t>(end - start);
}

void evAggrScheduleNext(const StreamDef *definition, int64_t end) {
    if (evAbsorb.sweepDisabled.load()) {
        evAggrState.nextDue.store(0);
        return;
    }
    int64_t t = emitterBackOff(definition, end + evAbsorb.grace.load() + evAbsorb.sweep.load());
    int64_t current = evAggrState.nextDue.load();
    if (current == 0 || current > t) evAggrState.nextDue.store(t);
}

void aggrMarkUnit(EvStreamIo *io) {
    if (io == &evContext.sets[EV_SET_C].io)
        evUnits[EV_SET_C].marked = 1;
    else if (io == &evContext.sets[EV_SET_E].io)
        evUnits[EV_SET_E].marked = 1;
}

AggrBin *aggrFindOrOpenBin(Stream *stream, AggrFamily *family, int64_t start, int64_t end, int schedule) {
    AggrBin *inactive = nullptr;
    for (AggrBin *bin = stream->aggregation; bin; bin = bin->next) {
        if (bin->active && bin->start == start && bin->end == end) return bin;
        if (!bin->active && !inactive) inactive = bin;
    }
    AggrBin *bin = spareBin(stream, inactive);
    if (!bin) return nullptr;
    openBin(bin, stream, family, start, end);
    if (schedule) evAggrScheduleNext(stream->definition, end);
    return bin;
}

int evAggrAddRecord(QmgrContext *context, QmgrEntry *qmgr, Stream *stream, int fromCopy,
                    const uint8_t *record, uint32_t length) {
    if (length < EVCF_HEADER_LENGTH) return 1;  // nothing to fold
    StreamDef *definition = stream->definition;
    AggrFamily *family = definition ? aggrFamilyByType(definition->type) : nullptr;
    if (!family || definition->aggrInt == 0) return 0;
    // 1 to 3: the active bin of the interval and the current length, else a spare or a new one.
    int64_t t = evCFGetIntervalEnd(record);
    if (t <= 0 || t > AGGR_TIME_MAX) {
        // No calendar time: nothing a bin could hold. Counted, and told once per stream.
        if (stream->undatedRecords++ == 0)
            evOutputF(EV_OUT_ERROR, 1, "Stream '%s': a record without an interval end is not aggregated",
                      evStreamName(stream));
        return 1;
    }
    AggrBin *bin = nullptr, *inactive = nullptr;
    for (AggrBin *b = stream->aggregation; b && !bin; b = b->next) {
        if (b->active && b->start < t && t <= b->end && b->length == definition->aggrInt) bin = b;
        if (!b->active && !inactive) inactive = b;
    }
    if (!bin) {
        // 4.
        bin = spareBin(stream, inactive);
        if (!bin) return 0;
        int64_t end = evAggrBinEnd(t, definition->aggrInt);
        openBin(bin, stream, family, aggrBinStart(end, definition->aggrInt), end);
        evAggrScheduleNext(definition, end);
    }
    // 5.
    int64_t now = evClockNow();
    bin->lastUpdate = now;
    stream->newestUpdate = now;
    evAggrState.binsExist.store(1);
    evAggrState.changed.store(1);
    AggrWork work = workFor(context, currentIo(context), qmgr, stream);
    work.bin = bin;
    work.noEmit = fromCopy ? static_cast<int32_t>(AGGR_FLAG_FROM_COPY) : 0;
    aggrMarkUnit(work.io);
    int ok = aggrFold(&work, family, record, length);
    // The copy absorbs for itself; a live fold does it here once too many bins are open.
    if (ok && !fromCopy && stream->activeBins > static_cast<uint32_t>(evAbsorb.heldBinThreshold.load()))
        ok = evAggrRunDue(&work, 0);
    AreaRelease(&work.area);  // the work's own: no memory a reload replaced
    return ok;
}

int aggrGetMessage(AggrWork *work, AggrEntry *entry) {
    // 1, 2.
    entry->dirty = 1;
    if (entry->message) {
        entry->message->dirty = 1;
        return 1;
    }
    // 3.
    AggrBin *bin = work->bin;
    AggrFamily *family = &evAggrFamilies[bin->family];
    if (!aggrSizeFamily(family)) return 0;
    // 4. The current message, else the first of the bin with room, else a fresh slot.
    AggrMsgDesc *message = work->message;
    bool current = false;
    for (AggrMsgDesc *m = bin->messages; m && message; m = m->next) current = current || m == message;
    if (!current || message->portions >= family->maxPortions) {
        message = nullptr;
        for (AggrMsgDesc *m = bin->messages; m && !message; m = m->next)
            if (m->portions < family->maxPortions) message = m;
    }
    if (!message) {
        message = static_cast<AggrMsgDesc *>(aggrPoolTake(&family->messages));
        if (!message) {
            evOutput(EV_OUT_ERROR, "No storage available.", -1, 1);
            return 0;
        }
        message->family = bin->family;
        message->next = bin->messages;
        bin->messages = message;
    }
    // 5.
    work->message = message;
    entry->message = message;
    entry->offset =
        message->portions == 0 ? 0 : family->commonLength + message->portions * family->portionLength;
    message->portions++;
    message->dirty = 1;
    return 1;
}

// ---- Due bins ----

int evAggrRunDue(AggrWork *work, int reschedule) {
    Stream *stream = work->stream;
    const StreamDef *definition = stream->definition;
    int64_t now = evClockNow();
    int64_t grace = evAbsorb.grace.load();
    // 1.
    int64_t threshold = int64_t{stream->binSequence} - evAbsorb.heldBinThreshold.load();
    if (threshold < 0) threshold = 0;
    int result = 1;
    for (;;) {
        // 2.
        AggrBin *oldest = nullptr;
        for (AggrBin *bin = stream->aggregation; bin; bin = bin->next)
            if (bin->active && (!oldest || bin->end < oldest->end)) oldest = bin;
        if (!oldest) break;
        // 3 to 5. A message put in the open unit is removed only after that unit commits.
        if (now < dueTime(definition, oldest)) break;
        if (oldest->sequence > threshold && now - grace < oldest->lastUpdate) break;
        if (writtenInOpenUnit(oldest)) break;
        // 6.
        if (!work->area) {
            work->area = AreaGet(EV_AGGR_AREA_SIZE, 0, "AGGRAREA");
            if (!work->area) {
                result = 0;
                break;
            }
        }
        oldest->active = 0;
        stream->activeBins--;
        work->bin = oldest;
        aggrMarkUnit(work->io);
        result = aggrAbsorb(work, &evAggrFamilies[oldest->family], nullptr, oldest);
        // The emitter reloaded memory or the connection ends: the stream is gone.
        if (work->stop) return AGGR_REPLACED;
        if (result != 1) break;
        work->hardenAgain = 1;
        result = aggrMsgRemoveAll(work, 1);
        if (!result) break;
    }
    // 7.
    if (reschedule)
        for (AggrBin *bin = stream->aggregation; bin; bin = bin->next)
            if (bin->active) evAggrScheduleNext(definition, bin->end);
    return result;
}

int evAggrAbsorbAll(QmgrContext *context, EvStreamIo *io) {
    int ok = 1;
    forEachStream([&](QmgrEntry *qmgr, Stream *stream) {
        if (!stream->aggregation) return true;
        AggrWork work = workFor(context, io, qmgr, stream);
        ok = evAggrRunDue(&work, 1);
        if (ok == AGGR_REPLACED) {
            // Memory was reloaded or the connection ends: no stream of the walk is left to look at.
            AreaRelease(&work.area);
            return false;
        }
        // The absorbed records are hardened in the unit that removed their messages.
        if (ok && work.hardenAgain) ok = evStreamHarden(io, stream);
        AreaRelease(&work.area);
        return ok != 0;
    });
    return ok;
}

int evAggrDiscardBins(EvStreamIo *io, Stream *stream) {
    AggrWork work = workFor(nullptr, io, stream->qmgr, stream);
    for (AggrBin *bin = stream->aggregation; bin; bin = bin->next) {
        work.bin = bin;
        if (!aggrMsgRemoveAll(&work, 0)) return 0;
    }
    freeStreamBins(stream);
    return 1;
}

void evAggrFreeAll(int all) {
    forEachStream([](QmgrEntry *, Stream *stream) {
        freeStreamBins(stream);
        return true;
    });
    evAggrState.binsExist.store(0);
    evAggrState.changed.store(0);
    evAggrState.nextDue.store(0);
    if (!all) return;
    aggrPoolRelease(&binPool);
    aggrPoolRelease(&groupPool);
    aggrPoolRelease(&evAggrEntryPool);
    for (AggrFamily &family : evAggrFamilies) {
        aggrPoolRelease(&family.messages);
        family.bodyLength = 0;
    }
    evStringsRemoveHolder(markBinStrings);
}

int64_t evAggrOldestBin(const Stream *stream) {
    int64_t oldest = 0;
    for (const AggrBin *bin = stream->aggregation; bin; bin = bin->next)
        if (bin->active && (oldest == 0 || bin->end < oldest)) oldest = bin->end;
    return oldest;
}

uint32_t evAggrActiveBinsByTime(Stream *stream, AggrBin **bins, uint32_t capacity) {
    uint32_t count = 0;
    for (AggrBin *bin = stream->aggregation; bin; bin = bin->next) {
        if (!bin->active) continue;
        if (count < capacity) bins[count] = bin;
        count++;
    }
    std::stable_sort(bins, bins + std::min(count, capacity),
                     [](const AggrBin *a, const AggrBin *b) { return a->end < b->end; });
    return count;
}

AggrKeyGroup *aggrTakeGroup(AggrBin *bin) {
    for (AggrKeyGroup *g = bin->groups; g; g = g->next)
        if (!g->inUse) return g;
    auto *g = static_cast<AggrKeyGroup *>(aggrPoolTake(&groupPool));
    if (!g) return nullptr;
    g->next = bin->groups;
    bin->groups = g;
    return g;
}

int aggrInstallHolder() {
    return evStringsAddHolder(markBinStrings);
}
