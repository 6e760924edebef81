// The aggregation message's layout (stats/aggr.h) written and read field by field from each family's
// table, and the absorbed records in their stored form. One writer serves both: fixed-length pads
// every item to its largest size so that portions can be rewritten in place.
#include "stats/aggr.h"

namespace {

const uint8_t *mixedBytes() {
    return reinterpret_cast<const uint8_t *>(evStringMixedEntry.text);
}

// Appends one item, then one padding run up to size (fixed only). 1, or 0 (2071: no room).
int addItem(evCFWriter *w, const evCFItem &item, uint32_t size, int fixed) {
    uint32_t before = w->length;
    int32_t compCode = 0, reason = 0;
    evCFAddParm(w, &item, &compCode, &reason);
    if (compCode == MQCC_FAILED) return 0;
    uint32_t used = w->length - before;
    if (!fixed || used >= size) return 1;
    evCFItem pad{};
    pad.type = EVCF_PADDING;
    pad.parmId = STATS_ID_PADDING;  // the writer skips an item of id 0
    pad.length = static_cast<int32_t>(size - used);
    evCFAddParm(w, &pad, &compCode, &reason);
    return compCode != MQCC_FAILED;
}

int addInt(evCFWriter *w, int32_t id, uint32_t value, int fixed) {
    evCFItem item{};
    item.parmId = id;
    if (value == STATS_UNSET_32) {
        item.type = EVCF_INT_UNSET;
    } else if (value == STATS_MIXED_32) {
        item.type = EVCF_INT_MIXED;
    } else {
        item.type = MQCFT_INTEGER;
        item.value = static_cast<int32_t>(value);
    }
    return addItem(w, item, AGGR_SIZE_INT, fixed);
}

int addInt64(evCFWriter *w, int32_t id, int64_t value, int fixed) {
    evCFItem item{};
    item.parmId = id;
    if (value == STATS_UNSET_64) {
        item.type = EVCF_INT64_UNSET;
    } else if (value == STATS_MIXED_64) {
        item.type = EVCF_INT64_MIXED;
    } else {
        item.type = MQCFT_INTEGER64;
        item.value = value;
    }
    return addItem(w, item, AGGR_SIZE_INT64, fixed);
}

// A pooled string by reference; absent: a padding integer in a message, nothing in a stored record.
int addString(evCFWriter *w, int32_t id, const StringEntry *entry, int fixed) {
    evCFItem item{};
    item.parmId = id;
    if (!entry) {
        if (!fixed) return 1;
        item.parmId = STATS_ID_PADDING;
        item.type = MQCFT_INTEGER;
    } else if (entry == &evStringMixedEntry) {
        item.type = EVCF_STRING_MIXED;
    } else {
        if (!fixed && entry->id == 0) return 1;  // "<Not Present>" is what a missing item reads as
        item.type = EVCF_STRING_ID;
        item.value = entry->id;
    }
    return addItem(w, item, AGGR_SIZE_INT, fixed);
}

int addBytes(evCFWriter *w, int32_t id, const uint8_t *data, uint16_t length, int fixed) {
    evCFItem item{};
    item.parmId = id;
    if (!data || length == 0) {
        if (!fixed) return 1;
        item.parmId = STATS_ID_PADDING;
        item.type = MQCFT_INTEGER;
        return addItem(w, item, AGGR_SIZE_CONN_ID, fixed);
    }
    if (data == mixedBytes()) {
        item.type = EVCF_STRING_MIXED;
        return addItem(w, item, AGGR_SIZE_CONN_ID, fixed);
    }
    item.type = MQCFT_BYTE_STRING;
    item.data = data;
    item.length = length > AGGR_CONN_ID_MAX ? static_cast<int32_t>(AGGR_CONN_ID_MAX) : length;
    return addItem(w, item, AGGR_SIZE_CONN_ID, fixed);
}

int addField(evCFWriter *w, const StatsField *f, const void *record, int fixed) {
    auto id = static_cast<int32_t>(f->id);
    switch (f->width) {
        case STATS_W_U32:
            return addInt(w, id, aggrGet<uint32_t>(record, f->offset), fixed);
        case STATS_W_I64:
            // The first layout, where a counter of IBM MQ's 32 bits took a 32-bit slot (it wrapped there).
            // The second, MQI accounting's duration; the second and third, the counts and AVGBATCH.
            if ((fixed == AGGR_FIXED_V1 && (f->flags & STATS_F_COUNT32)) ||
                (fixed == AGGR_FIXED_V2 && (f->rule == STATS_SUM_DURATION || (f->flags & STATS_F_SLOT32))) ||
                (fixed == AGGR_FIXED_V3 && (f->flags & STATS_F_SLOT32)))
                return addInt(w, id, static_cast<uint32_t>(aggrGet<int64_t>(record, f->offset)), fixed);
            return addInt64(w, id, aggrGet<int64_t>(record, f->offset), fixed);
        case STATS_W_STRING:
            return addString(w, id, aggrGet<const StringEntry *>(record, f->offset), fixed);
        case STATS_W_BYTES:
            return addBytes(w, id, aggrGet<const uint8_t *>(record, f->offset),
                            aggrGet<uint16_t>(record, f->offset + sizeof(void *)), fixed);
        default:
            return 1;
    }
}

bool stored(const StatsField *f) {
    return f->id != 0 && f->rule != STATS_SUM_DERIVED && f->width != STATS_W_STREAM;
}

bool listed(const int32_t *ids, uint32_t count, int32_t id) {
    for (uint32_t i = 0; i < count; i++)
        if (ids[i] == id) return true;
    return false;
}

int group(evCFWriter *w, int32_t id, int open) {
    evCFItem item{};
    item.type = open ? MQCFT_GROUP : PCF_TYPE_GROUP_END;
    item.parmId = id;
    int32_t compCode = 0, reason = 0;
    evCFAddParm(w, &item, &compCode, &reason);
    return compCode != MQCC_FAILED;
}

}  // namespace

uint32_t aggrFieldOffset(const AggrFamily *family, int32_t id) {
    const StatsField *f = evStatsFieldById(family->stats, id);
    if (!f) CS_TRAP(id);  // the families' key lists name only fields of their tables
    return f ? f->offset : 0;
}

int aggrWriteCommon(evCFWriter *w, const AggrFamily *family, const StringEntry *qmgrName, uint32_t streamId,
                    uint32_t commandLevel) {
    (void)family;
    return addString(w, STATS_ID_QMGR_NAME, qmgrName, 1) && addInt(w, STATS_ID_STREAM, streamId, 1) &&
           addInt(w, AGGR_ID_COMMAND_LEVEL, commandLevel, 1);
}

int aggrWriteFields(evCFWriter *w, const AggrFamily *family, const void *record, const int32_t *only,
                    uint32_t onlyCount, int fixed) {
    const StatsFamily *stats = family->stats;
    for (uint32_t i = 0; i < stats->fieldCount; i++) {
        const StatsField *f = &stats->fields[i];
        if (!stored(f)) continue;
        auto id = static_cast<int32_t>(f->id);
        if (only ? !listed(only, onlyCount, id) : (id == stats->objectId || id == AGGR_ID_COMMAND_LEVEL))
            continue;
        if (!addField(w, f, record, fixed)) return 0;
    }
    return 1;
}

int aggrWritePortion(evCFWriter *w, const AggrFamily *family, const void *record, int fixed) {
    const StatsFamily *stats = family->stats;
    if (!group(w, stats->groupId, 1)) return 0;
    if (stats->objectId && !addField(w, evStatsFieldById(stats, stats->objectId), record, fixed)) return 0;
    if (!addField(w, evStatsFieldById(stats, AGGR_ID_COMMAND_LEVEL), record, fixed)) return 0;
    return aggrWriteFields(w, family, record, nullptr, 0, fixed) && group(w, stats->groupId, 0);
}

int aggrReadPortion(evCFCursor *cursor, const AggrFamily *family, void *record, uint8_t *connId) {
    const StatsFamily *stats = family->stats;
    evCFItem item;
    if (!statsNextItem(cursor, &item) || item.type != MQCFT_GROUP || item.parmId != stats->groupId) return 0;
    int32_t depth = cursor->depth;
    bool first = true;
    for (;;) {
        if (!statsNextItem(cursor, &item)) return 0;
        if (item.type == PCF_TYPE_GROUP_END) return cursor->depth == depth - 1 && !first;
        if (item.type == MQCFT_GROUP) return 0;
        int32_t expected = stats->objectId ? stats->objectId : AGGR_ID_COMMAND_LEVEL;
        if (first && item.parmId != expected) return 0;
        first = false;
        if (item.parmId == STATS_ID_PADDING) continue;
        const StatsField *f = evStatsFieldById(stats, item.parmId);
        if (!f || !stored(f)) return 0;
        switch (f->width) {
            case STATS_W_U32:
                if (item.type == EVCF_INT_UNSET)
                    aggrPut(record, f->offset, STATS_UNSET_32);
                else if (item.type == EVCF_INT_MIXED)
                    aggrPut(record, f->offset, STATS_MIXED_32);
                else if (item.type == MQCFT_INTEGER)
                    aggrPut(record, f->offset, static_cast<uint32_t>(item.value));
                else
                    return 0;
                break;
            case STATS_W_I64:
                if (item.type == EVCF_INT64_UNSET)
                    aggrPut(record, f->offset, STATS_UNSET_64);
                else if (item.type == EVCF_INT64_MIXED)
                    aggrPut(record, f->offset, STATS_MIXED_64);
                else if ((f->flags & STATS_F_COUNT32) && item.type == MQCFT_INTEGER)  // an earlier layout
                    aggrPut(record, f->offset, int64_t{static_cast<uint32_t>(item.value)});
                else if ((f->flags & STATS_F_COUNT32) && item.type == EVCF_INT_UNSET)  // an earlier layout
                    aggrPut(record, f->offset, STATS_UNSET_64);
                else if (item.type == MQCFT_INTEGER64 || item.type == MQCFT_INTEGER)
                    aggrPut(record, f->offset, item.value);
                else
                    return 0;
                break;
            case STATS_W_STRING:
                if (item.type == EVCF_STRING_MIXED)
                    aggrPut(record, f->offset, &evStringMixedEntry);
                else if (item.type == EVCF_STRING_ID)
                    aggrPut(record, f->offset, evStringLookup(static_cast<uint32_t>(item.value)));
                else
                    return 0;
                break;
            case STATS_W_BYTES: {
                const uint8_t *data = nullptr;
                uint16_t length = 0;
                if (item.type == EVCF_STRING_MIXED) {
                    data = reinterpret_cast<const uint8_t *>(evStringMixedEntry.text);
                    length = 1;
                } else if (item.type == MQCFT_BYTE_STRING && item.length > 0 &&
                           static_cast<uint32_t>(item.length) <= AGGR_CONN_ID_MAX) {
                    std::memcpy(connId, item.data, static_cast<size_t>(item.length));
                    data = connId;
                    length = static_cast<uint16_t>(item.length);
                } else {
                    return 0;
                }
                aggrPut(record, f->offset, data);
                aggrPut(record, f->offset + static_cast<uint32_t>(sizeof(void *)), length);
                break;
            }
            default:
                return 0;
        }
    }
}
