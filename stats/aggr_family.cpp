// The families' side of the aggregation, driven by their field tables: a stored record's objects are
// folded into key groups and entries of a bin (summed by the family's rules), and a due bin is
// absorbed into stored records: one per key group with a group per entry for queue and channel
// statistics and queue accounting, one flat record per entry for the MQI families.
#include "stats/aggr.h"

namespace {

bool sameKeys(const AggrFamily *family, const int32_t *ids, uint32_t count, const void *a, const void *b) {
    for (uint32_t i = 0; i < count; i++) {
        const StatsField *f = evStatsFieldById(family->stats, ids[i]);
        if (!f) continue;
        switch (f->width) {
            case STATS_W_U32:
                if (aggrGet<uint32_t>(a, f->offset) != aggrGet<uint32_t>(b, f->offset)) return false;
                break;
            case STATS_W_STRING:  // pooled strings: one entry per text and code page
                if (aggrGet<const void *>(a, f->offset) != aggrGet<const void *>(b, f->offset)) return false;
                break;
            default:
                break;
        }
    }
    return true;
}

// A connection identifier that points into the stored record moves into the entry.
void keepConnId(const AggrFamily *family, AggrEntry *entry) {
    const StatsField *f = evStatsFieldById(family->stats, 7006);
    if (!f) return;
    auto *data = aggrGet<const uint8_t *>(entry->record, f->offset);
    auto length = aggrGet<uint16_t>(entry->record, f->offset + static_cast<uint32_t>(sizeof(void *)));
    if (!data || data == reinterpret_cast<const uint8_t *>(evStringMixedEntry.text) || data == entry->connId)
        return;
    if (length > AGGR_CONN_ID_MAX) length = AGGR_CONN_ID_MAX;
    std::memcpy(entry->connId, data, length);
    aggrPut(entry->record, f->offset, static_cast<const uint8_t *>(entry->connId));
    aggrPut(entry->record, f->offset + static_cast<uint32_t>(sizeof(void *)), length);
}

bool tracing() {
    return (evDebugFlags.load(std::memory_order_relaxed) & EV_DBG_g) != 0;
}

// A fold ("new", "totalled") is traced one level deeper than an absorb ("absorbed"); the accounting
// families by their short names; an object family with the object's name.
void trace(const AggrFamily *family, const void *record, const char *what) {
    if (!tracing()) return;
    const StatsFamily *stats = family->stats;
    const char *indent = std::strcmp(what, "absorbed") == 0 ? "  " : "    ";
    const char *name = stats == &evAcctQFamily ? "AccQ" : stats == &evAcctMQIFamily ? "AccMQI" : stats->name;
    if (!stats->objectId) {
        evOutputF(EV_OUT_PROGRESS, 1, "%s%s %s", indent, name, what);
        return;
    }
    const auto *object = aggrGet<const StringEntry *>(record, aggrFieldOffset(family, stats->objectId));
    evOutputF(EV_OUT_PROGRESS, 1, "%s%s '%.*s' %s", indent, name,
              object ? static_cast<int>(object->length) : 0, object ? object->text : "", what);
}

// The record as folded: of the work's stream and bin, marked when the copy folds it.
void prepare(AggrWork *work, const AggrFamily *family, void *record) {
    aggrPut(record, 0, work->stream);
    aggrPut(record, aggrFieldOffset(family, AGGR_ID_AGGR_INTERVAL), work->bin->length);
    if (work->noEmit) {
        uint32_t offset = family->stats->flagsOffset;
        aggrPut(record, offset, aggrGet<uint32_t>(record, offset) | AGGR_FLAG_FROM_COPY);
    }
}

int foldLive(AggrWork *work, AggrFamily *family, void *record) {
    prepare(work, family, record);
    return aggrFoldOne(work, family, record) != nullptr;
}

// Starts a stored record of the bin in the work area.
void startRecord(AggrWork *work, const AggrFamily *family, const AggrBin *bin, evCFWriter *w) {
    evCFWriterInit(w, AreaData(work->area), work->area->capacity, &evStreamStringPool, 850);
    evCFSetCommand(w->record, family->stats->command);
    evCFSetIntervalEnd(w->record, bin->end);
    evCFSetIntervalStart(w->record, bin->start);
}

// Two running hashes of bytes.
struct IdHash {
    uint64_t a = 14695981039346656037ull;
    uint64_t b = 0x9E3779B97F4A7C15ull;
    void add(const uint8_t *bytes, size_t count) {
        for (size_t i = 0; i < count; i++) {
            a = (a ^ bytes[i]) * 1099511628211ull;
            b = (b ^ bytes[i]) * 0xFF51AFD7ED558CCDull;
            b ^= b >> 29;
        }
    }
};

// Unlike the documented id (the MsgId of the message that held the record's first entry), the unique
// id of an absorbed record is "ZAGR", then two hashes of its stream's name, its common part (the
// header and the keys, common bytes) and its portions, these summed so that their order does not
// count. An aggregation message holds many key groups and entries, so its MsgId names none of them;
// the bytes are the bin's times, keys and sums with pooled string ids, so folding the same records
// again after a restart gives the same id, and two records of one stream differ in them.
void absorbedId(const StreamDef *definition, const evCFWriter *w, uint32_t common, const IdHash &portions,
                uint8_t *id) {
    IdHash h;
    if (definition) h.add(reinterpret_cast<const uint8_t *>(definition->name), definition->nameLength);
    const uint8_t separator = 0;
    h.add(&separator, 1);
    h.add(w->record, common);
    uint8_t sums[16];
    for (int i = 0; i < 8; i++) {
        sums[i] = static_cast<uint8_t>(portions.a >> (56 - 8 * i));
        sums[8 + i] = static_cast<uint8_t>(portions.b >> (56 - 8 * i));
    }
    h.add(sums, sizeof sums);
    std::memcpy(id, "ZAGR", 4);
    for (int i = 0; i < 8; i++) {
        id[4 + i] = static_cast<uint8_t>(h.a >> (56 - 8 * i));
        id[12 + i] = static_cast<uint8_t>(h.b >> (56 - 8 * i));
    }
    mqiPutU32(id, 20, w->length);
}

// Stores one absorbed record: into the copy's target, or into the stream and its emitter. A record
// that a copy folded (fromCopy), and every record of a copy's absorb, are kept from the emitter.
// common: the length of its common part; portions: the sums of its portions' hashes.
int storeAbsorbed(AggrWork *work, EvStreamCopy *copy, const AggrBin *bin, evCFWriter *w, uint32_t common,
                  const IdHash &portions, bool fromCopy) {
    evCFSetFlags(w->record, evCFGetFlags(w->record) | EVCF_FLAG_AGGREGATED);
    uint8_t msgId[24];
    absorbedId(work->definition, w, common, portions, msgId);
    if (copy) {
        int stored = evStreamStoreRecord(work->emit, copy, w->record, w->length);
        if (stored == AGGR_REPLACED) work->stop = 1;
        return stored;
    }
    if (!evStreamAddSplit(work->qmgr, work->stream, w->record, w->length, bin->end, nullptr)) return 0;
    if (!evStatsEmitHooks.emitRecord || !work->definition || work->definition->evEmit[0] == 0) return 1;
    int emitted =
        evStatsEmitHooks.emitRecord(work, work->noEmit != 0 || fromCopy, msgId, w->record, w->length);
    if (emitted == AGGR_REPLACED) work->stop = 1;
    return emitted;
}

// One absorbed object. Queue accounting stores its averages divided, each then one average; the other
// families keep the sums beside their counts, which their readers divide.
int writeAbsorbedPortion(evCFWriter *w, const AggrFamily *family, const void *record) {
    if (family->stats != &evAcctQFamily) return aggrWritePortion(w, family, record, 0);
    alignas(8) uint8_t settled[AGGR_RECORD_MAX];
    std::memcpy(settled, record, family->stats->recordSize);
    statsTrueAverages(family->stats, settled, 1);
    return aggrWritePortion(w, family, settled, 0);
}

bool fromCopy(const AggrFamily *family, const AggrEntry *entry) {
    return (aggrGet<uint32_t>(entry->record, family->stats->flagsOffset) & AGGR_FLAG_FROM_COPY) != 0;
}

void releaseGroup(AggrKeyGroup *group) {
    while (AggrEntry *e = group->entries) {
        group->entries = e->next;
        aggrPoolGive(&evAggrEntryPool, e);
    }
    group->inUse = 0;
}

}  // namespace

AggrEntry *aggrFoldOne(AggrWork *work, AggrFamily *family, void *record) {
    AggrBin *bin = work->bin;
    AggrKeyGroup *group = nullptr;
    for (AggrKeyGroup *g = bin->groups; g && !group; g = g->next)
        if (g->inUse && g->entries &&
            sameKeys(family, family->groupKeys, family->groupKeyCount, g->entries->record, record))
            group = g;
    if (!group) {
        group = aggrTakeGroup(bin);
        if (!group) {
            evOutput(EV_OUT_ERROR, "No storage available.", -1, 1);
            return nullptr;
        }
        group->inUse = 1;
        group->entries = nullptr;
    }
    AggrEntry *entry = nullptr;
    // A loaded portion is an entry of its own: it keeps its place in its message.
    for (AggrEntry *e = work->loading ? nullptr : group->entries; e && !entry; e = e->next)
        if (aggrRecordStream(e->record) == aggrRecordStream(record) &&
            sameKeys(family, family->entryKeys, family->entryKeyCount, e->record, record))
            entry = e;
    if (entry) {
        trace(family, record, "totalled");
        statsSum(family->stats, entry->record, record, 0, 0);
    } else {
        entry = static_cast<AggrEntry *>(aggrPoolTake(&evAggrEntryPool));
        if (!entry) {
            evOutput(EV_OUT_ERROR, "No storage available.", -1, 1);
            if (!group->entries) group->inUse = 0;
            return nullptr;
        }
        trace(family, record, "new");
        if (work->loading)
            std::memcpy(entry->record, record, family->stats->recordSize);
        else
            statsCollateAdd(family->stats, entry->record, record);
        keepConnId(family, entry);
        entry->next = group->entries;
        group->entries = entry;
    }
    if (work->loading) return entry;
    return aggrGetMessage(work, entry) ? entry : nullptr;
}

int aggrFold(AggrWork *work, AggrFamily *family, const uint8_t *stored, uint32_t length) {
    if (length < EVCF_HEADER_LENGTH) return 1;
    const StatsFamily *stats = family->stats;
    evCFCursor cursor;
    evCFCursorInit(&cursor, &evStreamStringPool, stored, length, 0, 0);
    alignas(8) uint8_t keys[AGGR_RECORD_MAX];
    alignas(8) uint8_t record[AGGR_RECORD_MAX];
    if (stats->objectId) {
        if (stats == &evAcctQFamily)
            evAcctQParseKeys(&cursor, nullptr, reinterpret_cast<AcctQRecord *>(keys));
        else
            statsParseKeys(stats, &cursor, nullptr, keys);
        while (statsParseObject(stats, &cursor, keys, record))
            if (!foldLive(work, family, record)) return 0;
        return 1;
    }
    // The MQI families: one flat record, or (an absorbed or copied aggregate) one per portion.
    bool accounting = stats == &evAcctMQIFamily;
    int found = statsParseMqi(stats, 1, &cursor, nullptr, keys);
    if (found == STATS_MQI_NOTHING) return 1;
    if (found == STATS_MQI_READ) {
        if (accounting) statsCountConnection(reinterpret_cast<AcctMQIRecord *>(keys));
        return foldLive(work, family, keys);
    }
    for (;;) {
        std::memcpy(record, keys, stats->recordSize);
        if (statsParseMqi(stats, 0, &cursor, nullptr, record) == STATS_MQI_NOTHING) return 1;
        if (accounting) statsCountConnection(reinterpret_cast<AcctMQIRecord *>(record));
        if (!foldLive(work, family, record)) return 0;
    }
}

int aggrAbsorb(AggrWork *work, AggrFamily *family, EvStreamCopy *copy, AggrBin *bin) {
    evCFWriter w;
    for (AggrKeyGroup *group = bin->groups; group; group = group->next) {
        if (!group->inUse || !group->entries) continue;
        if (family->objects) {
            startRecord(work, family, bin, &w);
            if (!aggrWriteFields(&w, family, group->entries->record, family->groupKeys, family->groupKeyCount,
                                 0))
                return 0;
            bool copied = false;
            const uint32_t common = w.length;
            IdHash portions{0, 0};
            for (AggrEntry *e = group->entries; e; e = e->next) {
                trace(family, e->record, "absorbed");
                const uint32_t before = w.length;
                if (!writeAbsorbedPortion(&w, family, e->record)) return 0;
                IdHash portion;
                portion.add(w.record + before, w.length - before);
                portions.a += portion.a;
                portions.b += portion.b;
                if (fromCopy(family, e)) copied = true;
            }
            // Replaced: the bin is gone with the rest of memory.
            int stored = storeAbsorbed(work, copy, bin, &w, common, portions, copied);
            if (stored != 1) return stored;
        } else {
            for (AggrEntry *e = group->entries; e; e = e->next) {
                trace(family, e->record, "absorbed");
                startRecord(work, family, bin, &w);
                static const int32_t kLevel[] = {AGGR_ID_COMMAND_LEVEL};
                if (!aggrWriteFields(&w, family, e->record, kLevel, 1, 0) ||
                    !aggrWriteFields(&w, family, e->record, nullptr, 0, 0))
                    return 0;
                int stored = storeAbsorbed(work, copy, bin, &w, w.length, IdHash{0, 0}, fromCopy(family, e));
                if (stored != 1) return stored;
            }
        }
        if (!copy) releaseGroup(group);
    }
    return 1;
}
