// Shared inside stats/: the operations every family runs over its field table, and the walk over
// the items of a stored record.
#pragma once

#include "stats/stats.h"

// Clears a record and gives every field its value before reading: unset, 1, or 0.
void statsPreset(const StatsFamily *family, void *record);
// Takes the interval start and end from the record header under the cursor.
void statsHeaderTimes(const StatsFamily *family, const evCFCursor *cursor, void *record);
// Stores one item into the field of its id; other ids, and derived totals, are passed over.
void statsStoreItem(const StatsFamily *family, void *record, const evCFItem *item);
// Stores 39337 and 39340 into the context (which may be null): 1 when the item was one of them.
int statsStoreContext(StatsParseContext *context, const evCFItem *item);
// What every read object gets last: its derived totals, duration and interval count.
void statsFinish(const StatsFamily *family, void *record);

// The next item: 1, or 0 at the end of the record or at an item that cannot be read.
int statsNextItem(evCFCursor *cursor, evCFItem *item);
inline bool statsIsGroupItem(const evCFItem *item) {
    return item->type == MQCFT_GROUP || item->type == PCF_TYPE_GROUP_END;
}

// The key part of a family whose objects each begin with their name (objectId): everything before
// the first name, group starts and ends passed over.
void statsParseKeys(const StatsFamily *family, evCFCursor *cursor, StatsParseContext *context, void *keys);
// The next object of such a family, starting from keys: 1, or 0 when none is left. An object whose
// name is not an interned string is passed over.
int statsParseObject(const StatsFamily *family, evCFCursor *cursor, const void *keys, void *record);
// An MQI record (common set: cleared, up to the first group or the end) or one portion (up to its
// group end). The result says what was found: nothing but the header (or no portion), items up to
// the end or the portion's group end, or a common part that ended at a portion's group.
inline constexpr int STATS_MQI_NOTHING = 0;
inline constexpr int STATS_MQI_READ = 1;
inline constexpr int STATS_MQI_AT_GROUP = 2;
int statsParseMqi(const StatsFamily *family, int common, evCFCursor *cursor, StatsParseContext *context,
                  void *record);

// A record read as a queue manager of at most command level cap would have written it: its level
// lowered to cap, and what that level does not report (queue accounting's channel and connection
// names) "<Not Present>". A cap of 0 changes nothing.
void statsCapLevel(const StatsFamily *family, void *record, uint32_t cap);

// What an MQI accounting record gets once read: the connection its first record counts.
void statsCountConnection(AcctMQIRecord *record);

void statsDeriveTotals(const StatsFamily *family, void *record);
int statsHasValue(const StatsFamily *family, const void *record, int32_t id);
void statsSum(const StatsFamily *family, void *target, const void *added, int intvl, uint32_t keyMask);
void statsCollateAdd(const StatsFamily *family, void *entry, const void *record);
// Averages are held as the sum of the averages beside their count; readers of a record (the emitters,
// WHERE and PREWHERE) see each divided by its count, as DISPLAY answers it (unsigned for the 64-bit
// averages, signed for the widened ones). With settle the counts become 1 for an average that is set
// and 0 for one that is not: the record is then one average each, as a stored record holds it.
void statsTrueAverages(const StatsFamily *family, void *record, int settle);
