// Walking a stored statistics or accounting record. Every stored form is read by the same walk:
// the raw record of the intake (a key part, then one group per queue or channel, or MQI records
// flat), the absorbed record (header flag 16, RECORDS when above 1) and the portion of an aggregation
// message (its own command level, pads after each item). Group starts and ends are passed over, so an
// object's name may sit inside its group or follow the previous object's group end.
#include <cstring>

#include "stats/internal.h"

int statsNextItem(evCFCursor *cursor, evCFItem *item) {
    int32_t compCode = 0, reason = 0;
    evCFNextParm(cursor, item, &compCode, &reason);
    return compCode == MQCC_OK;
}

void statsParseKeys(const StatsFamily *family, evCFCursor *cursor, StatsParseContext *context, void *keys) {
    statsPreset(family, keys);
    statsHeaderTimes(family, cursor, keys);
    if (context) *context = StatsParseContext{};
    for (;;) {
        evCFCursor before = *cursor;
        evCFItem item;
        if (!statsNextItem(cursor, &item)) return;
        if (statsIsGroupItem(&item)) continue;
        if (item.parmId == family->objectId) {
            *cursor = before;  // the first object begins here
            return;
        }
        if (!statsStoreContext(context, &item)) statsStoreItem(family, keys, &item);
    }
}

namespace {

// Moves to the next object's name item: 1 with the item read, 0 at the end.
int findObject(const StatsFamily *family, evCFCursor *cursor, evCFItem *item) {
    while (statsNextItem(cursor, item))
        if (item->parmId == family->objectId && !statsIsGroupItem(item)) return 1;
    return 0;
}

// Reads an object's items up to the next object's name, which stays unread.
void readObject(const StatsFamily *family, evCFCursor *cursor, void *record) {
    for (;;) {
        evCFCursor before = *cursor;
        evCFItem item;
        if (!statsNextItem(cursor, &item)) return;
        if (statsIsGroupItem(&item) || statsStoreContext(nullptr, &item)) continue;
        if (item.parmId == family->objectId) {
            *cursor = before;
            return;
        }
        statsStoreItem(family, record, &item);
    }
}

}  // namespace

int statsParseObject(const StatsFamily *family, evCFCursor *cursor, const void *keys, void *record) {
    evCFItem name;
    while (findObject(family, cursor, &name)) {
        std::memcpy(record, keys, family->recordSize);
        // An object must be named by an interned string; one that is not is passed over whole.
        bool named = name.type == EVCF_STRING_ID;
        if (named) statsStoreItem(family, record, &name);
        readObject(family, cursor, record);
        if (!named) continue;
        statsFinish(family, record);
        return 1;
    }
    return 0;
}

int statsParseMqi(const StatsFamily *family, int common, evCFCursor *cursor, StatsParseContext *context,
                  void *record) {
    if (common) {
        statsPreset(family, record);
        statsHeaderTimes(family, cursor, record);
        if (context) *context = StatsParseContext{};
    }
    // The common part ends at the first group, a portion at its own group end.
    int result = STATS_MQI_NOTHING;
    evCFItem item;
    while (statsNextItem(cursor, &item)) {
        if (item.type == MQCFT_GROUP) {
            if (common) {
                result = STATS_MQI_AT_GROUP;
                break;
            }
            continue;
        }
        result = STATS_MQI_READ;
        if (item.type == PCF_TYPE_GROUP_END) {
            if (!common) break;
            continue;
        }
        if (!statsStoreContext(context, &item)) statsStoreItem(family, record, &item);
    }
    if (common || result != STATS_MQI_NOTHING) statsFinish(family, record);
    return result;
}
