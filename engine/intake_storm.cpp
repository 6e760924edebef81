// Event storms: repeats of one event within STORMINT are counted rather than stored; when the window
// ends, one record carries the excess count (EVREPEAT) and a "$STORM" alert is raised. The items live
// on the timed work list, indexed by a hash of what matching compares, and, for kill and backout
// safety, in storm segments on the data queue: each save of set E's unit puts one new segment with
// only the items that changed in the unit (and a tombstone for each stored item that left), and
// removes the segments whose copies are all superseded. An index message lists the segments.
// Unlike the documented single storm message of every item, rewritten at each commit (whose cost grew
// with the window, and whose tail past MAXMSGL was kept in memory only), a save costs what changed in
// its unit and every item is stored.
#include <algorithm>
#include <array>
#include <bit>
#include <cstdio>
#include <cstring>
#include <map>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "engine/internal.h"

std::atomic<int32_t> evStormsChanged{0};

namespace {

static_assert(std::endian::native == std::endian::little, "the stored MQMD is copied as it lies in memory");

// Offsets in an item's stored form (the extra bytes of its timed item).
constexpr uint32_t kLength = 0;
constexpr uint32_t kQmgr = 4;
constexpr uint32_t kWindow = 52;
constexpr uint32_t kDue = 60;
constexpr uint32_t kThreshold = 68;
constexpr uint32_t kCount = 72;
constexpr uint32_t kMqmd = 76;
constexpr uint32_t kRecordLength = kMqmd + MQMD_CURRENT_LENGTH;
constexpr uint32_t kRecord = kRecordLength + 4;
static_assert(kRecord == EV_STORM_ITEM_HEADER);
constexpr uint32_t kMessageHeader = 8;  // the first layout's message: u32 version 1, u32 count

// The stored layout. Index (CorrelId {5, 23 zeros}): u32 version 2, u32 segment count, u64 next item
// id, u64 next segment number, then each segment's number (u64, ascending). Segment (CorrelId {5, 1,
// u64 number, zeros}): u32 version 2, u32 entry count, u64 number, then entries: u32 kind, u64 item
// id, and for an item its stored form. Read in ascending order, a later copy of an item replaces the
// earlier one and a tombstone removes it.
constexpr uint32_t kIndexHeader = 24;
constexpr uint32_t kSegmentHeader = 16;
constexpr uint32_t kEntryHeader = 12;
constexpr uint32_t kEntryItem = 1;
constexpr uint32_t kEntryTombstone = 2;
constexpr uint8_t kSegmentMark = 1;
// Beyond this many segments each save carries the oldest segment's live items forward, so that a
// slow flow (one unit per event) does not leave one small segment per unit of the interval behind.
constexpr size_t kMaxSegments = 64;
// Index copies noted at a load for the next save to remove (each is named, noted or not).
constexpr size_t kIndexCopiesNoted = 8;

uint8_t *stored(evTimedItem *item) {
    return evTimedItemExtra(item);
}

// A new timed item holding a stored form; null when out of storage.
evTimedItem *newItem(uint32_t recordLength) {
    uint32_t extra = EV_STORM_ITEM_HEADER + recordLength;
    auto *item = static_cast<evTimedItem *>(CSGetMem(sizeof(evTimedItem) + extra));
    if (item == nullptr) return nullptr;
    std::memset(item, 0, sizeof(evTimedItem) + extra);
    item->kind = EV_TIMED_STORM;
    item->extraLength = static_cast<int32_t>(extra);
    mqiPutU32(stored(item), kLength, extra);
    mqiPutU32(stored(item), kRecordLength, recordLength);
    return item;
}

bool isStorm(const evTimedItem *item) {
    return item->kind == EV_TIMED_STORM && item->extraLength >= static_cast<int32_t>(EV_STORM_ITEM_HEADER);
}

// ---- The index of the items and their stored copies (all under the structure lock) ----

struct Entry {
    evTimedItem *item;
    uint64_t id;
    uint64_t hash;
    uint64_t segment;  // the segment that holds its latest stored copy; 0 before its first save
};
struct Segment {
    std::unordered_set<Entry *> live;  // the items whose latest copy it holds
    uint32_t tombstones = 0;
};
struct Removed {
    uint64_t id;
    uint64_t segment;
};
struct Store {
    std::unordered_multimap<uint64_t, Entry *> byHash;
    std::map<uint64_t, Segment> segments;  // on the data queue once set E's unit commits
    std::unordered_set<Entry *> dirty;     // changed since the last save
    std::vector<Removed> removed;          // stored items that left since the last save
    // Second copies of listed segments found at the load (a message put back, say): each is named
    // once and removed by its MsgId at the next save, so that none stays behind its segment.
    std::vector<std::pair<uint64_t, std::array<MQBYTE, MQ_MSG_ID_LENGTH>>> copies;
    // The same for further index messages behind the one the load took: left there, the next save
    // would replace only the one it took, and a later load would read a stale copy first.
    std::vector<std::array<MQBYTE, MQ_MSG_ID_LENGTH>> indexCopies;
    uint64_t nextId = 1;
    uint64_t nextSegment = 1;
};
Store &store() {
    static Store s;
    return s;
}

Entry *entryOf(evTimedItem *item) {
    return static_cast<Entry *>(item->data);
}

// FNV-1a over what matching compares: the queue manager, the length, the header's command, object
// name id and parameter count, and each item's id, type, group, length and value (times excepted).
struct Hasher {
    uint64_t h = 14695981039346656037ull;
    void bytes(const void *data, size_t length) {
        const auto *p = static_cast<const uint8_t *>(data);
        for (size_t i = 0; i < length; i++) h = (h ^ p[i]) * 1099511628211ull;
    }
    template <typename T>
    void value(T v) {
        bytes(&v, sizeof v);
    }
};

uint64_t matchHash(const uint8_t *qmgrKey, const uint8_t *record, uint32_t length) {
    Hasher hash;
    hash.bytes(qmgrKey, EV_QMGR_NAME_MAX);
    hash.value(length);
    if (length < EVCF_HEADER_LENGTH) return hash.h;
    hash.value(evCFGetCommand(record));
    hash.value(mqiGetU32(record, 16));
    hash.value(mqiGetU16(record, 30));
    evCFCursor cursor;
    evCFCursorInit(&cursor, nullptr, record, length, 0, 0);
    for (;;) {
        evCFItem item{};
        int32_t cc = 0, rc = 0;
        int32_t id = evCFNextParm(&cursor, &item, &cc, &rc);
        if (cc == MQCC_FAILED) {
            hash.value(rc);
            return hash.h;
        }
        hash.value(id);
        hash.value(item.type);
        hash.value(item.groupId);
        hash.value(cursor.itemLength);
        switch (item.type) {
            case MQCFT_INTEGER:
            case MQCFT_INTEGER64:
            case EVCF_STRING_ID:
                hash.value(item.value);
                break;
            case MQCFT_STRING:
            case MQCFT_BYTE_STRING:
            case EVCF_STRING_ID_LIST:
            case MQCFT_INTEGER_LIST:
                hash.value(item.length);
                hash.value(item.count);
                if (item.length > 0) hash.bytes(item.data, static_cast<size_t>(item.length));
                break;
            default:
                break;  // times and group marks are not compared; other types never match
        }
    }
}

void markChanged(Entry *entry) {
    store().dirty.insert(entry);
    evStormsChanged.store(1);
}

// Tracks a scheduled or running item: indexed, and stored at the next save unless segment names the
// stored copy it came from.
bool track(evTimedItem *item, uint64_t id, uint64_t segment) {
    Store &s = store();
    auto *entry = new (std::nothrow) Entry{item, id, 0, segment};
    if (entry == nullptr) return false;
    uint8_t *form = stored(item);
    entry->hash = matchHash(form + kQmgr, form + kRecord, mqiGetU32(form, kRecordLength));
    item->data = entry;
    s.byHash.emplace(entry->hash, entry);
    if (segment != 0)
        s.segments[segment].live.insert(entry);
    else
        markChanged(entry);
    if (id >= s.nextId) s.nextId = id + 1;
    return true;
}

// The item leaves: out of the index, and when a copy of it is stored, a tombstone at the next save.
void untrack(evTimedItem *item) {
    Entry *entry = entryOf(item);
    if (entry == nullptr) return;
    Store &s = store();
    auto [from, to] = s.byHash.equal_range(entry->hash);
    for (auto at = from; at != to; ++at)
        if (at->second == entry) {
            s.byHash.erase(at);
            break;
        }
    s.dirty.erase(entry);
    if (entry->segment != 0) {
        auto segment = s.segments.find(entry->segment);
        if (segment != s.segments.end()) segment->second.live.erase(entry);
        s.removed.push_back({entry->id, entry->segment});
        evStormsChanged.store(1);
    }
    item->data = nullptr;
    delete entry;
}

void segmentCorrelId(uint8_t *correlId, uint64_t number) {
    std::memset(correlId, 0, MQ_CORREL_ID_LENGTH);
    correlId[0] = EV_DQ_KIND_STORMS;
    correlId[1] = kSegmentMark;
    mqiPutI64(correlId, 2, static_cast<int64_t>(number));
}

// Marks the strings the items' records use, for string housekeeping (the item under its check too:
// its repeat is still to be stored).
void markStormStrings() {
    CSRecursiveGuard guard(gStructureLock);
    auto mark = [](evTimedItem *item) {
        if (isStorm(item)) evStringMarkRecord(stored(item) + kRecord, mqiGetU32(stored(item), kRecordLength));
    };
    if (evTimedItemRunning != nullptr) mark(evTimedItemRunning);
    for (evTimedItem *item = evTimedItemList; item; item = item->next) mark(item);
}

bool itemValuesMatch(const evCFItem &a, const evCFItem &b) {
    switch (a.type) {
        case MQCFT_INTEGER:
        case MQCFT_INTEGER64:
        case EVCF_STRING_ID:
            return a.value == b.value;
        case MQCFT_STRING:
        case MQCFT_BYTE_STRING:
        case EVCF_STRING_ID_LIST:
        case MQCFT_INTEGER_LIST:
            return a.length == b.length && a.count == b.count &&
                   (a.length <= 0 || std::memcmp(a.data, b.data, static_cast<size_t>(a.length)) == 0);
        default:
            return false;
    }
}

void raiseStormAlert(QmgrEntry *qmgr, uint8_t *record, uint32_t length, uint32_t streamId, int32_t count,
                     int32_t excess, int32_t threshold, int64_t now) {
    char summary[EV_SUMMARY_LINE + 1] = "";
    Area *area = evCFSummarise(&evStreamStringPool, record, length);
    if (area != nullptr) {
        (void)evHeldSummary(record, length, pcfSummaryOf(area), summary);
        AreaRelease(&area);
    }
    AlertTemplate alert{};
    std::strcpy(alert.alert.category, "$STORM");
    alert.alert.severity = evStormSeverity(excess, threshold);
    alert.alert.time = now;
    std::memcpy(alert.alert.qmgr, qmgr->name, strnlen(qmgr->name, EV_QUEUE_NAME_MAX));
    alert.alert.streamId = streamId;
    alert.alert.eventId = evCFGetEventId(record);
    EvStringView object = evPoolLookup(&evStreamStringPool, mqiGetU32(record, 16));
    std::memcpy(alert.alert.objectName, object.text,
                object.length < EV_QUEUE_NAME_MAX ? object.length : EV_QUEUE_NAME_MAX);
    alert.alert.objectType = mqiGetU16(record, 28);
    char text[EV_ALERT_TEXT_MAX];
    std::snprintf(text, sizeof text, "Event Storm Detected '%.*s' repeated %d times.",
                  static_cast<int>(std::strlen(summary)), summary, count);
    evAlertSetText(&alert.alert, text, -1);
    char errorText[EV_CONFIG_TEXT];
    if (!evAlertAdd(&alert.alert, EV_ALERT_ADD | EV_ALERT_PUBLISH, nullptr, errorText))
        evOutput(EV_OUT_ERROR, errorText, -1, 1);
}

// The record with EVREPEAT appended, stored once as an event with count = excess, and its alert.
void storeRepeat(QmgrContext *context, QmgrEntry *qmgr, const uint8_t *form, int32_t count, int32_t excess,
                 int32_t threshold) {
    uint32_t recordLength = mqiGetU32(form, kRecordLength);
    uint32_t capacity = recordLength + 16;
    auto *record = static_cast<uint8_t *>(CSGetMem(capacity));
    if (record == nullptr) return;
    std::memcpy(record, form + kRecord, recordLength);
    // A writer over the copy appends after its existing items.
    evCFWriter writer{};
    writer.record = record;
    writer.capacity = capacity;
    writer.length = recordLength;
    writer.pool = &evStreamStringPool;
    evCFItem repeat{};
    repeat.type = MQCFT_INTEGER;
    repeat.parmId = EV_ATTR_REPEAT_COUNT;
    repeat.value = excess;
    int32_t compCode = 0, reason = 0;
    evCFAddParm(&writer, &repeat, &compCode, &reason);
    if (compCode == MQCC_FAILED || recordLength < EVCF_HEADER_LENGTH) {
        CSFreeMem(record);
        return;
    }
    mqiPutU16(record, 30, static_cast<uint16_t>(mqiGetU16(record, 30) + 1));
    MQMD md{};
    std::memcpy(&md, form + kMqmd, sizeof md);
    // Unlike the documented rule (the item's MQMD copy as it is), the repeat gets an id of its own:
    // emitters take a record's unique id from its MsgId, and the first event was stored with it.
    evStormRepeatMsgId(md.MsgId);
    Area *header = nullptr;
    int64_t now = evClockNow();
    if (evPutToStreams(context, qmgr, STREAM_TYPE_EVENTS, &md, now, excess, nullptr, record, writer.length,
                       &header) &&
        header != nullptr)
        raiseStormAlert(qmgr, record, writer.length, mqiGetU32(AreaData(header), SH_STREAM_ID), count, excess,
                        threshold, now);
    CSFreeMem(record);
}

}  // namespace

int evMatchEvent(const uint8_t *a, uint32_t aLength, const uint8_t *b, uint32_t bLength) {
    if (aLength != bLength || aLength < EVCF_HEADER_LENGTH) return 0;
    if (evCFGetCommand(a) != evCFGetCommand(b) || mqiGetU32(a, 16) != mqiGetU32(b, 16) ||
        mqiGetU16(a, 30) != mqiGetU16(b, 30))
        return 0;
    evCFCursor ca, cb;
    evCFCursorInit(&ca, nullptr, a, aLength, 0, 0);
    evCFCursorInit(&cb, nullptr, b, bLength, 0, 0);
    for (;;) {
        evCFItem ia{}, ib{};
        int32_t ccA = 0, rcA = 0, ccB = 0, rcB = 0;
        int32_t idA = evCFNextParm(&ca, &ia, &ccA, &rcA);
        int32_t idB = evCFNextParm(&cb, &ib, &ccB, &rcB);
        if (ccA != ccB || rcA != rcB) return 0;
        if (ccA == MQCC_FAILED) return rcA == 10000 ? 1 : 0;
        if (idA != idB || ia.type != ib.type || ia.groupId != ib.groupId || ca.itemLength != cb.itemLength)
            return 0;
        if (ia.type == EVCF_DATE_TIME || ia.type == MQCFT_GROUP || ia.type == PCF_TYPE_GROUP_END) continue;
        if (!itemValuesMatch(ia, ib)) return 0;
    }
}

int evRepeatCount(QmgrEntry *qmgr, const uint8_t *record, uint32_t length, int64_t time,
                  evTimedItem **itemOut) {
    *itemOut = nullptr;
    int32_t interval = evSettings.stormInterval.load();
    int32_t threshold = evSettings.stormThreshold.load();
    if (threshold <= 0 || interval <= 0) return 0;
    uint8_t qmgrKey[EV_QMGR_NAME_MAX] = {};
    std::memcpy(qmgrKey, qmgr->name, strnlen(qmgr->name, EV_QMGR_NAME_MAX));
    CSRecursiveGuard guard(gStructureLock);
    Store &s = store();
    // Only the items of equal hash are compared whole; of several whose window holds the time, the
    // earliest due counts it, as a walk of the timed list in due order would find it.
    Entry *found = nullptr;
    auto [from, to] = s.byHash.equal_range(matchHash(qmgrKey, record, length));
    for (auto at = from; at != to; ++at) {
        Entry *entry = at->second;
        evTimedItem *item = entry->item;
        // The item under its check counts no more (its count is being stored).
        if (item == evTimedItemRunning) continue;
        uint8_t *form = stored(item);
        if (std::memcmp(form + kQmgr, qmgrKey, EV_QMGR_NAME_MAX) != 0) continue;
        int64_t start = mqiGetI64(form, kWindow);
        if (time < start || time > start + interval) continue;
        if (found != nullptr &&
            (found->item->due < item->due || (found->item->due == item->due && found->id < entry->id)))
            continue;
        if (!evMatchEvent(form + kRecord, mqiGetU32(form, kRecordLength), record, length)) continue;
        found = entry;
    }
    if (found != nullptr) {
        uint8_t *form = stored(found->item);
        int32_t count = mqiGetI32(form, kCount) + 1;
        mqiPutI32(form, kCount, count);
        markChanged(found);
        return count > mqiGetI32(form, kThreshold) ? 1 : 0;
    }
    evTimedItem *item = newItem(length);
    if (item == nullptr) return 0;
    uint8_t *form = stored(item);
    std::memcpy(form + kQmgr, qmgrKey, EV_QMGR_NAME_MAX);
    mqiPutI64(form, kWindow, time);
    item->due = evClockNow() + interval;
    mqiPutI64(form, kDue, item->due);
    mqiPutI32(form, kThreshold, threshold);
    mqiPutI32(form, kCount, 1);
    if (length > 0) std::memcpy(form + kRecord, record, length);  // an empty record may come as null
    if (!track(item, s.nextId, 0)) {
        CSFreeMem(item);
        return 0;
    }
    if (!evTimedItemSchedule(item, 0)) {
        untrack(item);
        CSFreeMem(item);
        return 0;
    }
    evStringsAddHolder(markStormStrings);
    *itemOut = item;
    return 0;
}

void evStormRepeatMsgId(uint8_t *msgId) {
    // The first event's id with its first byte inverted: a queue manager's own ids begin "AMQ ", so
    // none of them equals it, and the item gives the same id when it is stored after a restart.
    msgId[0] = static_cast<uint8_t>(~msgId[0]);
}

int evLoadStormMessage(const uint8_t *message, int32_t length) {
    if (length < static_cast<int32_t>(kMessageHeader) || mqiGetU32(message, 0) != EV_STORM_MESSAGE_VERSION)
        return 0;
    uint32_t count = mqiGetU32(message, 4);
    auto end = static_cast<uint32_t>(length);
    uint32_t at = kMessageHeader;
    for (uint32_t i = 0; i < count; i++) {
        if (end - at < EV_STORM_ITEM_HEADER) return 0;
        const uint8_t *form = message + at;
        uint32_t itemLength = mqiGetU32(form, kLength);
        if (itemLength > end - at || itemLength < EV_STORM_ITEM_HEADER ||
            mqiGetU32(form, kRecordLength) != itemLength - EV_STORM_ITEM_HEADER)
            return 0;
        at += itemLength;
    }
    if (at != end) return 0;  // bytes no item accounts for
    // Sound: the items are scheduled, each to be stored in the new layout at the next save.
    at = kMessageHeader;
    for (uint32_t i = 0; i < count; i++) {
        const uint8_t *form = message + at;
        uint32_t itemLength = mqiGetU32(form, kLength);
        at += itemLength;
        if (!evStormScheduleStored(form, 0, 0)) return 0;
    }
    return 1;
}

namespace {

// An item made from a stored form scheduled and tracked (its id, or a new one for 0; segment names
// the stored copy it came from). An item of a queue manager no longer known is dropped (a later save
// leaves its copy behind). 0, the item freed, when out of storage.
int scheduleStored(evTimedItem *item, uint64_t id, uint64_t segment) {
    const uint8_t *form = stored(item);
    QmgrEntry probe{};
    std::memcpy(probe.name, form + kQmgr, EV_QMGR_NAME_MAX);
    CSRecursiveGuard guard(gStructureLock);
    if (CSTreeFind(evQmgrTree, probe.name, sizeof probe.name) == nullptr) {
        CSFreeMem(item);
        return 1;
    }
    item->due = mqiGetI64(form, kDue);
    if (!track(item, id != 0 ? id : store().nextId, segment)) {
        CSFreeMem(item);
        return 0;
    }
    if (!evTimedItemSchedule(item, 0)) {
        Entry *entry = entryOf(item);
        if (segment != 0) store().segments[segment].live.erase(entry);
        untrack(item);
        CSFreeMem(item);
        return 0;
    }
    evStringsAddHolder(markStormStrings);
    return 1;
}

}  // namespace

int evStormScheduleStored(const uint8_t *form, uint64_t id, uint64_t segment) {
    uint32_t itemLength = mqiGetU32(form, kLength);
    evTimedItem *item = newItem(itemLength - EV_STORM_ITEM_HEADER);
    if (item == nullptr) return 0;
    std::memcpy(stored(item), form, itemLength);
    return scheduleStored(item, id, segment);
}

void evFreeStorms() {
    CSRecursiveGuard guard(gStructureLock);
    Store &s = store();
    evTimedItem **link = &evTimedItemList;
    while (*link) {
        evTimedItem *item = *link;
        if (isStorm(item)) {
            *link = item->next;
            delete entryOf(item);
            CSFreeMem(item);
        } else {
            link = &item->next;
        }
    }
    evTimedListChanged();
    // The item under its check stays with its check, no longer tracked.
    if (evTimedItemRunning != nullptr && isStorm(evTimedItemRunning)) {
        delete entryOf(evTimedItemRunning);
        evTimedItemRunning->data = nullptr;
    }
    s.byHash.clear();
    s.segments.clear();
    s.dirty.clear();
    s.removed.clear();
    s.copies.clear();
    s.indexCopies.clear();
    s.nextId = 1;
    s.nextSegment = 1;
    evStormsChanged.store(0);
}

void evStormCheck(evTimedItem *item) {
    if (!isStorm(item)) return;
    // Off the list its count no longer changes. Until its repeat is stored in set E's unit it stays
    // tracked: a save of set E committed meanwhile (while the holds below wait) keeps its stored copy,
    // or a kill before this check's commit would lose the repeat. Released, it leaves a tombstone for
    // set E's next save: for a repeat, the save of the unit that stores it.
    auto release = [item] {
        CSRecursiveGuard structure(gStructureLock);
        if (evTimedItemRunning == item) evTimedItemRunning = nullptr;
        untrack(item);
    };
    uint8_t *form = stored(item);
    int32_t count = mqiGetI32(form, kCount);
    int32_t threshold = mqiGetI32(form, kThreshold);
    int32_t excess = evStormExcess(count, threshold);
    // Below its threshold the item only leaves (set E's next storm save drops it): every distinct event
    // ends such a window, and holding both sets and committing for each would stall the intake and the
    // main loop (an orderly end waits behind all the checks due).
    if (excess <= 0) {
        release();
        return;
    }
    int32_t heldC = cfgEngine.suspend ? cfgEngine.suspend(EV_SET_C) : EV_SUSPEND_NOT_STARTED;
    int32_t heldE = cfgEngine.suspend ? cfgEngine.suspend(EV_SET_E) : EV_SUSPEND_NOT_STARTED;
    {
        CSRecursiveGuard guard(gConsumerLock);
        // Set E's saves wait for this lock: the item leaves them in the unit that stores its repeat.
        release();
        QmgrContext *context = &evContext;
        ConnectionSet *current = context->current;
        context->current = &context->sets[EV_SET_E];
        QmgrEntry probe{};
        std::memcpy(probe.name, form + kQmgr, EV_QMGR_NAME_MAX);
        QmgrEntry *qmgr;
        {
            CSRecursiveGuard structure(gStructureLock);
            qmgr = reinterpret_cast<QmgrEntry *>(CSTreeFind(evQmgrTree, probe.name, sizeof probe.name));
        }
        if (qmgr != nullptr) storeRepeat(context, qmgr, form, count, excess, threshold);
        int32_t alone = evUnits[EV_SET_E].commitAlone;
        evUnits[EV_SET_E].commitAlone = 1;
        (void)evSyncPoint(context, &context->sets[EV_SET_E]);
        evUnits[EV_SET_E].commitAlone = alone;
        context->current = &context->sets[EV_SET_C];
        (void)evSyncPoint(context, &context->sets[EV_SET_C]);
        context->current = current;
    }
    if (heldE == EV_SUSPEND_HELD && cfgEngine.resume) cfgEngine.resume(EV_SET_E);
    if (heldC == EV_SUSPEND_HELD && cfgEngine.resume) cfgEngine.resume(EV_SET_C);
}

namespace {

// What one save writes and removes, planned under the structure lock and done without it.
struct SavePlan {
    std::vector<std::pair<uint64_t, std::vector<uint8_t>>> puts;                    // new segments
    std::vector<uint64_t> removals;                                                 // segments got away
    std::vector<std::pair<uint64_t, std::array<MQBYTE, MQ_MSG_ID_LENGTH>>> copies;  // second copies
    std::vector<std::array<MQBYTE, MQ_MSG_ID_LENGTH>> indexCopies;
    std::vector<uint8_t> index;
};

void appendU32(std::vector<uint8_t> &to, uint32_t value) {
    size_t at = to.size();
    to.resize(at + 4);
    mqiPutU32(to.data(), static_cast<uint32_t>(at), value);
}
void appendU64(std::vector<uint8_t> &to, uint64_t value) {
    size_t at = to.size();
    to.resize(at + 8);
    mqiPutI64(to.data(), static_cast<uint32_t>(at), static_cast<int64_t>(value));
}

std::vector<uint8_t> segmentHeader(uint64_t number) {
    std::vector<uint8_t> message;
    appendU32(message, EV_STORM_MESSAGE_VERSION_SEGMENTS);
    appendU32(message, 0);
    appendU64(message, number);
    return message;
}

// Under the structure lock: the changed items and the tombstones into new segments (each within
// maxLength), the segments left without a live copy removed, the index rewritten. The memory records
// the new places at once: a save that then fails backs the unit out, and the reload after it loads
// what is stored.
void planSave(SavePlan *plan, uint32_t maxLength) {
    Store &s = store();
    // Past the limit the oldest segments' live items are written again, so that they can go.
    size_t carry = s.segments.size() >= kMaxSegments ? s.segments.size() - kMaxSegments + 1 : 0;
    for (auto at = s.segments.begin(); carry > 0 && at != s.segments.end(); ++at, carry--)
        for (Entry *entry : at->second.live) s.dirty.insert(entry);
    uint64_t number = 0;
    std::vector<uint8_t> *message = nullptr;
    uint32_t entries = 0;
    auto room = [&](uint32_t length) {
        if (message != nullptr && message->size() + length <= maxLength) return;
        if (message != nullptr) mqiPutU32(message->data(), 4, entries);
        number = s.nextSegment++;
        plan->puts.emplace_back(number, segmentHeader(number));
        message = &plan->puts.back().second;
        entries = 0;
        s.segments[number];
    };
    for (Entry *entry : s.dirty) {
        const uint8_t *form = stored(entry->item);
        uint32_t formLength = mqiGetU32(form, kLength);
        room(kEntryHeader + formLength);
        appendU32(*message, kEntryItem);
        appendU64(*message, entry->id);
        message->insert(message->end(), form, form + formLength);
        entries++;
        if (entry->segment != 0) {
            auto old = s.segments.find(entry->segment);
            if (old != s.segments.end()) old->second.live.erase(entry);
        }
        entry->segment = number;
        s.segments[number].live.insert(entry);
    }
    s.dirty.clear();
    // A segment without live copies goes: the oldest ones at once (older segments that their
    // tombstones cancel copies in are gone), any other only when it holds no tombstones. This save's
    // own segments stay.
    const uint64_t firstNew = plan->puts.empty() ? UINT64_MAX : plan->puts.front().first;
    bool oldest = true;
    for (auto at = s.segments.begin(); at != s.segments.end();) {
        if (at->first < firstNew && at->second.live.empty() && (oldest || at->second.tombstones == 0)) {
            plan->removals.push_back(at->first);
            at = s.segments.erase(at);
            continue;
        }
        oldest = false;
        ++at;
    }
    // A tombstone only for a copy that stays stored.
    for (const Removed &removed : s.removed) {
        if (s.segments.find(removed.segment) == s.segments.end()) continue;
        room(kEntryHeader);
        appendU32(*message, kEntryTombstone);
        appendU64(*message, removed.id);
        entries++;
        s.segments[number].tombstones++;
    }
    if (message != nullptr) mqiPutU32(message->data(), 4, entries);
    s.removed.clear();
    // A backed-out save reloads, and the load finds them again.
    plan->copies = std::move(s.copies);
    s.copies.clear();
    plan->indexCopies = std::move(s.indexCopies);
    s.indexCopies.clear();
    appendU32(plan->index, EV_STORM_MESSAGE_VERSION_SEGMENTS);
    appendU32(plan->index, static_cast<uint32_t>(s.segments.size()));
    appendU64(plan->index, s.nextId);
    appendU64(plan->index, s.nextSegment);
    for (const auto &segment : s.segments) appendU64(plan->index, segment.first);
}

}  // namespace

int evSaveStorms(EvStreamIo *io) {
    int32_t maxLength =
        cfgEngine.dataQueueMaxMsgLength ? cfgEngine.dataQueueMaxMsgLength() : STREAM_MAX_MESSAGE;
    // Cleared before the items are read: a change meanwhile (the main thread taking a due item off the
    // list) marks them again for the next save. Cleared after the puts, the stored copy would keep the
    // item whose repeat the storm check then commits, and a reload would store it twice.
    evStormsChanged.store(0);
    SavePlan plan;
    {
        CSRecursiveGuard guard(gStructureLock);
        planSave(&plan, maxLength > 0 ? static_cast<uint32_t>(maxLength) : uint32_t{STREAM_MAX_MESSAGE});
    }
    // What the unit wrote is only undone by a reload: a backout of it reloads memory.
    evUnits[EV_SET_E].marked = 1;
    char text[EV_CONFIG_TEXT + 2] = "";
    bool ok = true;
    for (const auto &[number, message] : plan.puts) {
        uint8_t correlId[MQ_CORREL_ID_LENGTH];
        segmentCorrelId(correlId, number);
        if (!(ok = evPutDataMessageById(io, correlId, MQFMT_NONE, message.data(),
                                        static_cast<int32_t>(message.size()), evContext.state.name, text)))
            break;
    }
    for (size_t i = 0; ok && i < plan.copies.size(); i++) {
        uint8_t correlId[MQ_CORREL_ID_LENGTH];
        segmentCorrelId(correlId, plan.copies[i].first);
        ok = evRemoveDataMessageById(io, correlId, evContext.state.name, text, plan.copies[i].second.data());
    }
    for (size_t i = 0; ok && i < plan.removals.size(); i++) {
        uint8_t correlId[MQ_CORREL_ID_LENGTH];
        segmentCorrelId(correlId, plan.removals[i]);
        ok = evRemoveDataMessageById(io, correlId, evContext.state.name, text);
    }
    const uint8_t indexKey[MQ_CORREL_ID_LENGTH] = {EV_DQ_KIND_STORMS};
    for (size_t i = 0; ok && i < plan.indexCopies.size(); i++)
        ok = evRemoveDataMessageById(io, indexKey, evContext.state.name, text, plan.indexCopies[i].data());
    if (ok)
        ok = evReplaceDataMessage(io, EV_DQ_KIND_STORMS, MQFMT_NONE, plan.index.data(),
                                  static_cast<int32_t>(plan.index.size()), evContext.state.name, text);
    if (!ok) {
        evStormsChanged.store(1);
        evOutput(EV_OUT_ERROR, text, -1, 1);
        return 0;
    }
    return 1;
}

namespace {

// Every message under a listed segment's key after the first, the one the load reads: named, and
// noted for the next save to remove.
struct CopiesSeen {
    uint64_t number;
    bool first = true;
};

bool noteCopy(void *arg, const MQMD &md, uint8_t *, int32_t) {
    auto &seen = *static_cast<CopiesSeen *>(arg);
    if (seen.first) {
        seen.first = false;
        return false;
    }
    char msgId[2 * MQ_MSG_ID_LENGTH + 1];
    evIdToHex(md.MsgId, msgId);
    evOutputF(EV_OUT_ERROR, 1,
              "Stored storm segment %llu has a second copy: MsgId X'%s'; the next save removes it",
              static_cast<unsigned long long>(seen.number), msgId);
    CSRecursiveGuard guard(gStructureLock);
    Store &s = store();
    s.copies.emplace_back(seen.number, std::array<MQBYTE, MQ_MSG_ID_LENGTH>{});
    std::memcpy(s.copies.back().second.data(), md.MsgId, MQ_MSG_ID_LENGTH);
    return false;
}

// false when a browse failed.
bool noteCopies(EvStreamIo *io, uint64_t number, const uint8_t *correlId) {
    CopiesSeen seen{number};
    return evBrowseDataMessagesById(io, correlId, noteCopy, &seen) != 0;
}

// The stored copies of the segments the index lists, into memory. 1, 2 when segments were missing or
// damaged (their windows and those they may have changed dropped), 0 for a failed browse or want of
// storage, -1 for a damaged index. Read in ascending order, each item's copy goes straight into the
// item it becomes (a later copy overwrites it, a tombstone frees it), one segment message at a time: a
// load needs the memory the running program held for its items, not a second copy of every one.
int loadSegments(EvStreamIo *io, const uint8_t *index, int32_t length,
                 const std::vector<uint64_t> &later = {}) {
    if (length < static_cast<int32_t>(kIndexHeader)) return -1;
    uint32_t count = mqiGetU32(index, 4);
    Store &s = store();
    // The numbers the bytes hold, whatever the count says: listed even when the index is damaged,
    // so that the next save removes the segments it does not keep and numbers new ones after them.
    const uint32_t held = (static_cast<uint32_t>(length) - kIndexHeader) / 8;
    std::vector<uint64_t> numbers;
    for (uint32_t i = 0; i < held; i++)
        numbers.push_back(static_cast<uint64_t>(mqiGetI64(index, kIndexHeader + i * 8)));
    numbers.insert(numbers.end(), later.begin(), later.end());
    // Read oldest first and each once, whatever order damage left them in.
    std::sort(numbers.begin(), numbers.end());
    numbers.erase(std::unique(numbers.begin(), numbers.end()), numbers.end());
    {
        CSRecursiveGuard guard(gStructureLock);
        s.nextId = static_cast<uint64_t>(mqiGetI64(index, 8));
        s.nextSegment = static_cast<uint64_t>(mqiGetI64(index, 16));
        for (uint64_t number : numbers) {
            s.segments[number];
            if (number >= s.nextSegment && number != UINT64_MAX) s.nextSegment = number + 1;
        }
    }
    if (static_cast<uint64_t>(length) != kIndexHeader + uint64_t{count} * 8) return -1;
    struct Latest {
        evTimedItem *item;  // made, not yet scheduled
        uint64_t segment;   // that holds its latest copy
    };
    std::map<uint64_t, Latest> latest;  // by item id
    // Items whose latest copy is of a window that ended below its threshold, by id: the segment of that
    // copy. Their check would only drop them, so they are not made at all (after a quiet spell every
    // window of a burst is still stored, none yet dropped by a save, and making them all would hold
    // memory for each, given back to the allocator at once but not to the system): each leaves a
    // tombstone for the next save, as its check would.
    std::map<uint64_t, uint64_t> ended;
    const int64_t now = evClockNow();
    auto fail = [&latest](int result) {
        for (auto &entry : latest) CSFreeMem(entry.second.item);
        return result;
    };
    // One segment's entries into latest: 1, 0 out of storage, -1 damaged.
    auto take = [&latest, &ended, now](uint64_t number, const uint8_t *bytes, uint32_t end) {
        if (end < kSegmentHeader || mqiGetU32(bytes, 0) != EV_STORM_MESSAGE_VERSION_SEGMENTS ||
            static_cast<uint64_t>(mqiGetI64(bytes, 8)) != number)
            return -1;
        uint32_t entries = mqiGetU32(bytes, 4);
        uint32_t at = kSegmentHeader;
        for (uint32_t i = 0; i < entries; i++) {
            if (end - at < kEntryHeader) return -1;
            uint32_t kind = mqiGetU32(bytes, at);
            auto id = static_cast<uint64_t>(mqiGetI64(bytes, at + 4));
            at += kEntryHeader;
            auto found = latest.find(id);
            if (kind == kEntryTombstone) {
                if (found != latest.end()) {
                    CSFreeMem(found->second.item);
                    latest.erase(found);
                }
                ended.erase(id);
                continue;
            }
            if (kind != kEntryItem || end - at < EV_STORM_ITEM_HEADER) return -1;
            uint32_t itemLength = mqiGetU32(bytes, at + kLength);
            if (itemLength > end - at || itemLength < EV_STORM_ITEM_HEADER ||
                mqiGetU32(bytes, at + kRecordLength) != itemLength - EV_STORM_ITEM_HEADER)
                return -1;
            const uint8_t *form = bytes + at;
            if (mqiGetI64(form, kDue) <= now &&
                evStormExcess(mqiGetI32(form, kCount), mqiGetI32(form, kThreshold)) <= 0) {
                if (found != latest.end()) {
                    CSFreeMem(found->second.item);
                    latest.erase(found);
                }
                ended[id] = number;
                at += itemLength;
                continue;
            }
            ended.erase(id);
            if (found == latest.end() ||
                found->second.item->extraLength != static_cast<int32_t>(itemLength)) {
                evTimedItem *item = newItem(itemLength - EV_STORM_ITEM_HEADER);
                if (item == nullptr) return 0;
                if (found != latest.end()) {
                    CSFreeMem(found->second.item);
                    found->second.item = item;
                } else {
                    found = latest.emplace(id, Latest{item, 0}).first;
                }
            }
            std::memcpy(stored(found->second.item), bytes + at, itemLength);
            found->second.segment = number;
            at += itemLength;
        }
        return at == end ? 1 : -1;  // else bytes no entry accounts for
    };
    // A segment missing or damaged (or another's message under its key) may have held the latest copy
    // of any item stored before it, or the tombstone of a window that ended: only the items whose
    // latest copy is in a segment after the last such one are known to be what was stored.
    // An index older than segments stored after it (later): a save after it may have removed any
    // segment it lists, as one whose copies all went into later segments. Such a segment missing is no
    // loss: reading the segments stored, oldest first, gives what the last save stored.
    uint64_t lastLost = 0, gone = 0;
    bool lost = false;
    for (uint64_t number : numbers) {
        uint8_t correlId[MQ_CORREL_ID_LENGTH];
        segmentCorrelId(correlId, number);
        uint8_t *message = nullptr;
        int32_t messageLength = 0;
        if (!evBrowseDataMessageById(io, correlId, &message, &messageLength)) return fail(0);
        const bool missing = message == nullptr;
        if (missing && !later.empty() && !std::binary_search(later.begin(), later.end(), number)) {
            gone++;
            continue;
        }
        if (!missing && !noteCopies(io, number, correlId)) {
            CSFreeMem(message);
            return fail(0);
        }
        const int taken =
            missing || messageLength < 0 ? -1 : take(number, message, static_cast<uint32_t>(messageLength));
        if (!missing) CSFreeMem(message);
        if (taken == 0) return fail(0);
        if (taken == 1) continue;
        char hex[2 * MQ_CORREL_ID_LENGTH + 1];
        evIdToHex(correlId, hex);
        evOutputF(EV_OUT_ERROR, 1, "Stored storm segment %llu is %s (CorrelId X'%s')",
                  static_cast<unsigned long long>(number), missing ? "missing" : "damaged", hex);
        lastLost = number;
        lost = true;
    }
    if (lost) {
        size_t dropped = 0;
        for (auto at = latest.begin(); at != latest.end();) {
            if (at->second.segment > lastLost) {
                ++at;
                continue;
            }
            CSFreeMem(at->second.item);
            at = latest.erase(at);
            dropped++;
        }
        evOutputF(EV_OUT_ERROR, 1,
                  "Stored storm windows stored before segment %llu dropped: %llu lost, %llu kept",
                  static_cast<unsigned long long>(lastLost), static_cast<unsigned long long>(dropped),
                  static_cast<unsigned long long>(latest.size()));
    }
    if (!later.empty())
        evOutputF(
            EV_OUT_ERROR, 1,
            "Stored storm index is older than its segments: %llu segment(s) stored after it are read too, "
            "%llu it lists are no longer stored",
            static_cast<unsigned long long>(later.size()), static_cast<unsigned long long>(gone));
    {
        CSRecursiveGuard guard(gStructureLock);
        // Tombstones are counted per segment only to keep a segment with tombstones until it is the
        // oldest: after a load each listed segment is assumed to hold some.
        for (auto &segment : s.segments) segment.second.tombstones = 1;
        for (const auto &[id, segment] : ended) {
            s.removed.push_back({id, segment});
            if (id >= s.nextId) s.nextId = id + 1;
        }
    }
    while (!latest.empty()) {
        auto first = latest.begin();
        const uint64_t id = first->first;
        const Latest item = first->second;
        latest.erase(first);
        if (!scheduleStored(item.item, id, item.segment)) return fail(0);
    }
    return lost || !later.empty() ? 2 : 1;
}

// The numbers of the segment messages on the queue, ascending and each once. false when the browse
// failed.
bool storedSegments(EvStreamIo *io, std::vector<uint64_t> *numbers) {
    if (!evBrowseDataDescriptors(
            io,
            [](void *arg, const MQMD &md) {
                const auto *id = reinterpret_cast<const uint8_t *>(md.CorrelId);
                if (id[0] == EV_DQ_KIND_STORMS && id[1] == kSegmentMark &&
                    std::all_of(id + 10, id + MQ_CORREL_ID_LENGTH, [](uint8_t b) { return b == 0; }))
                    static_cast<std::vector<uint64_t> *>(arg)->push_back(
                        static_cast<uint64_t>(mqiGetI64(id, 2)));
            },
            numbers))
        return false;
    std::sort(numbers->begin(), numbers->end());
    numbers->erase(std::unique(numbers->begin(), numbers->end()), numbers->end());
    return true;
}

// The storm index (or the first layout's one message) as the program writes it.
bool ownStormIndex(void *, const MQMD &md, const uint8_t *message, int32_t length) {
    if (std::memcmp(md.Format, MQFMT_NONE, MQ_FORMAT_LENGTH) != 0 || length < 4) return false;
    const uint32_t version = mqiGetU32(message, 0);
    return version == EV_STORM_MESSAGE_VERSION || version == EV_STORM_MESSAGE_VERSION_SEGMENTS;
}

// Every index message of the own layout after the first, the one the load takes: named, and noted for
// the next save to remove.
bool noteIndexCopy(void *arg, const MQMD &md, uint8_t *message, int32_t length) {
    bool &keptSeen = *static_cast<bool *>(arg);
    if (!ownStormIndex(nullptr, md, message, length)) return false;
    if (!keptSeen) {
        keptSeen = true;
        return false;
    }
    char msgId[2 * MQ_MSG_ID_LENGTH + 1];
    evIdToHex(md.MsgId, msgId);
    evOutputF(EV_OUT_ERROR, 1, "Duplicate storm index message ignored: MsgId X'%s'; the next save removes it",
              msgId);
    CSRecursiveGuard guard(gStructureLock);
    Store &s = store();
    if (s.indexCopies.size() < kIndexCopiesNoted) {
        s.indexCopies.emplace_back();
        std::memcpy(s.indexCopies.back().data(), md.MsgId, MQ_MSG_ID_LENGTH);
    }
    return false;
}

}  // namespace

int evLoadStoredStorms(EvStreamIo *io) {
    evFreeStorms();
    uint8_t *message = nullptr;
    int32_t length = 0;
    if (!evBrowseOwnDataMessage(io, EV_DQ_KIND_STORMS, ownStormIndex, nullptr, &message, &length)) return 0;
    if (message == nullptr) {
        // Without an index, segments a lost one listed may still be stored: new numbers (and item ids)
        // start from the clock (2^20 a second), past any a save before can have given, so that none
        // is taken again and read for a later one.
        const int64_t now = evClockNow();
        const uint64_t fresh = now > 0 ? static_cast<uint64_t>(now) << 20 : 0;
        std::vector<uint64_t> numbers;
        if (!storedSegments(io, &numbers)) return 0;
        if (numbers.empty()) {
            CSRecursiveGuard guard(gStructureLock);
            store().nextSegment = fresh;
            return 1;
        }
        // The segments still stored are the ones it listed (a save removes a segment with the index
        // that stops listing it): read as that index would have them read.
        evOutputF(EV_OUT_ERROR, 1, "Stored storm index missing: its %llu segment(s) are read without it",
                  static_cast<unsigned long long>(numbers.size()));
        std::vector<uint8_t> bytes(kIndexHeader + 8 * numbers.size());
        uint8_t *index = bytes.data();
        if (index == nullptr) return 0;
        mqiPutU32(index, 0, EV_STORM_MESSAGE_VERSION_SEGMENTS);
        mqiPutU32(index, 4, static_cast<uint32_t>(numbers.size()));
        mqiPutI64(index, 8, static_cast<int64_t>(fresh));
        mqiPutI64(index, 16, static_cast<int64_t>(fresh));
        for (size_t i = 0; i < numbers.size(); i++)
            mqiPutI64(index, static_cast<uint32_t>(kIndexHeader + 8 * i), static_cast<int64_t>(numbers[i]));
        const int loaded = loadSegments(io, index, static_cast<int32_t>(bytes.size()));
        if (loaded == 0) return 0;
        // The next save puts the index again.
        evStormsChanged.store(1);
        return 1;
    }
    bool keptSeen = false;
    if (!evBrowseDataMessages(io, EV_DQ_KIND_STORMS, noteIndexCopy, &keptSeen)) {
        CSFreeMem(message);
        return 0;
    }
    int loaded;
    if (length >= 4 && mqiGetU32(message, 0) == EV_STORM_MESSAGE_VERSION) {
        // The first layout: one message of every item; each is stored anew at the next save, which
        // replaces that message by the index.
        loaded = evLoadStormMessage(message, length) ? 1 : -1;
    } else if (length >= 4 && mqiGetU32(message, 0) == EV_STORM_MESSAGE_VERSION_SEGMENTS) {
        // Segments numbered from the index's next number on were stored after it: the index is an
        // older copy (one put back from a backup, say), and what they hold is read with the rest.
        std::vector<uint64_t> later;
        if (!storedSegments(io, &later)) {
            CSFreeMem(message);
            return 0;
        }
        const uint64_t next = length >= static_cast<int32_t>(kIndexHeader)
                                  ? static_cast<uint64_t>(mqiGetI64(message, 16))
                                  : UINT64_MAX;
        later.erase(
            std::remove_if(later.begin(), later.end(), [next](uint64_t number) { return number < next; }),
            later.end());
        loaded = loadSegments(io, message, length, later);
    } else {
        loaded = -1;
    }
    CSFreeMem(message);
    if (loaded == 0) return 0;
    // A damaged message costs the counts of the open windows, not the connection.
    if (loaded < 0) {
        evOutput(EV_OUT_ERROR, "Stored storm items damaged: dropped.", -1, 1);
        CSRecursiveGuard guard(gStructureLock);
        Store &s = store();
        std::map<uint64_t, Segment> listed;
        for (const auto &segment : s.segments) listed[segment.first].tombstones = 1;
        uint64_t nextId = s.nextId, nextSegment = s.nextSegment;
        std::vector<std::array<MQBYTE, MQ_MSG_ID_LENGTH>> indexCopies = std::move(s.indexCopies);
        evFreeStorms();
        // The segments listed stay known, so that the next save removes them.
        s.segments = std::move(listed);
        s.indexCopies = std::move(indexCopies);
        s.nextId = nextId;
        s.nextSegment = nextSegment;
        evStormsChanged.store(1);
        return 1;
    }
    CSRecursiveGuard guard(gStructureLock);
    // After a loss the next save removes the segments no item is kept from; the windows that ended
    // below threshold leave their tombstones.
    evStormsChanged.store(store().dirty.empty() && store().removed.empty() && store().copies.empty() &&
                                  store().indexCopies.empty() && loaded == 1
                              ? 0
                              : 1);
    return 1;
}

void evStormKeepMqmd(evTimedItem *item, const MQMD *md) {
    CSRecursiveGuard guard(gStructureLock);
    std::memcpy(stored(item) + kMqmd, md, MQMD_CURRENT_LENGTH);
    if (Entry *entry = entryOf(item)) markChanged(entry);
}
