// Event storms: repeats of one event within STORMINT are counted rather than stored; when the window
// ends, one record carries the excess count (EVREPEAT) and a "$STORM" alert is raised. The items live
// on the timed work list and, for kill and backout safety, in the storm message on the data queue.
#include <bit>
#include <cstdio>
#include <cstring>

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
constexpr uint32_t kMessageHeader = 8;  // u32 version, u32 count

uint8_t *stored(evTimedItem *item) {
    return evTimedItemExtra(item);
}

bool sameQmgr(const uint8_t *form, const char *name) {
    char key[EV_QMGR_NAME_MAX] = {};
    std::memcpy(key, name, strnlen(name, EV_QMGR_NAME_MAX));
    return std::memcmp(form + kQmgr, key, EV_QMGR_NAME_MAX) == 0;
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
        (void)evEventSummary(&evStreamStringPool, record, length, pcfSummaryOf(area), summary, nullptr, -1);
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
    CSRecursiveGuard guard(gStructureLock);
    for (evTimedItem *item = evTimedItemList; item; item = item->next) {
        if (!isStorm(item)) continue;
        uint8_t *form = stored(item);
        if (!sameQmgr(form, qmgr->name)) continue;
        int64_t start = mqiGetI64(form, kWindow);
        if (time < start || time > start + interval) continue;
        if (!evMatchEvent(form + kRecord, mqiGetU32(form, kRecordLength), record, length)) continue;
        int32_t count = mqiGetI32(form, kCount) + 1;
        mqiPutI32(form, kCount, count);
        evStormsChanged.store(1);
        return count > mqiGetI32(form, kThreshold) ? 1 : 0;
    }
    evTimedItem *item = newItem(length);
    if (item == nullptr) return 0;
    uint8_t *form = stored(item);
    std::memcpy(form + kQmgr, qmgr->name, strnlen(qmgr->name, EV_QMGR_NAME_MAX));
    mqiPutI64(form, kWindow, time);
    item->due = evClockNow() + interval;
    mqiPutI64(form, kDue, item->due);
    mqiPutI32(form, kThreshold, threshold);
    mqiPutI32(form, kCount, 1);
    std::memcpy(form + kRecord, record, length);
    if (!evTimedItemSchedule(item, 0)) {
        CSFreeMem(item);
        return 0;
    }
    evStringsAddHolder(markStormStrings);
    evStormsChanged.store(1);
    *itemOut = item;
    return 0;
}

uint8_t *evBuildStormMessage(int32_t maxLength, int32_t *length, uint32_t *left) {
    CSRecursiveGuard guard(gStructureLock);
    // The item under its check first (it was the earliest due), then the list in due order: the
    // latest-due items are the ones left out.
    auto forEachItem = [](auto visit) {
        if (evTimedItemRunning != nullptr && isStorm(evTimedItemRunning) && !visit(evTimedItemRunning))
            return;
        for (evTimedItem *item = evTimedItemList; item; item = item->next)
            if (isStorm(item) && !visit(item)) return;
    };
    *left = 0;
    uint64_t total = kMessageHeader;
    uint32_t count = 0;
    forEachItem([&](evTimedItem *item) {
        uint64_t next = total + static_cast<uint32_t>(item->extraLength);
        if (*left == 0 && next <= static_cast<uint64_t>(maxLength)) {
            total = next;
            count++;
        } else {
            (*left)++;
        }
        return true;
    });
    auto *message = static_cast<uint8_t *>(CSGetMem(total));
    if (message == nullptr) return nullptr;
    mqiPutU32(message, 0, EV_STORM_MESSAGE_VERSION);
    mqiPutU32(message, 4, count);
    uint64_t at = kMessageHeader;
    uint32_t written = 0;
    forEachItem([&](evTimedItem *item) {
        if (written == count) return false;
        std::memcpy(message + at, stored(item), static_cast<uint32_t>(item->extraLength));
        at += static_cast<uint32_t>(item->extraLength);
        written++;
        return true;
    });
    *length = static_cast<int32_t>(total);
    return message;
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
        uint32_t recordLength = mqiGetU32(form, kRecordLength);
        if (itemLength > end - at || recordLength != itemLength - EV_STORM_ITEM_HEADER ||
            itemLength < EV_STORM_ITEM_HEADER)
            return 0;
        at += itemLength;
        char name[EV_QMGR_NAME_MAX + 1] = {};
        std::memcpy(name, form + kQmgr, EV_QMGR_NAME_MAX);
        QmgrEntry probe{};
        std::memcpy(probe.name, name, EV_QMGR_NAME_MAX);
        {
            CSRecursiveGuard guard(gStructureLock);
            if (CSTreeFind(evQmgrTree, probe.name, sizeof probe.name) == nullptr) continue;
        }
        evTimedItem *item = newItem(recordLength);
        if (item == nullptr) return 0;
        std::memcpy(stored(item), form, itemLength);
        item->due = mqiGetI64(form, kDue);
        if (!evTimedItemSchedule(item, 0)) {
            CSFreeMem(item);
            return 0;
        }
        evStringsAddHolder(markStormStrings);
    }
    return 1;
}

void evFreeStorms() {
    CSRecursiveGuard guard(gStructureLock);
    evTimedItem **link = &evTimedItemList;
    while (*link) {
        evTimedItem *item = *link;
        if (isStorm(item)) {
            *link = item->next;
            CSFreeMem(item);
        } else {
            link = &item->next;
        }
    }
    evStormsChanged.store(0);
}

void evStormCheck(evTimedItem *item) {
    if (!isStorm(item)) return;
    // Off the list its count no longer changes. Until its repeat is stored in set E's unit it stays in
    // the storm saves as the running item: a save of set E committed meanwhile (while the holds below
    // wait) must not drop it, or a kill before this check's commit loses the repeat.
    auto release = [item] {
        {
            CSRecursiveGuard structure(gStructureLock);
            if (evTimedItemRunning == item) evTimedItemRunning = nullptr;
        }
        // The next storm save drops it.
        evStormsChanged.store(1);
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
        char name[EV_QMGR_NAME_MAX + 1] = {};
        std::memcpy(name, form + kQmgr, EV_QMGR_NAME_MAX);
        QmgrEntry probe{};
        std::memcpy(probe.name, name, EV_QMGR_NAME_MAX);
        QmgrEntry *qmgr;
        {
            CSRecursiveGuard structure(gStructureLock);
            qmgr = reinterpret_cast<QmgrEntry *>(CSTreeFind(evQmgrTree, probe.name, sizeof probe.name));
        }
        if (excess > 0 && qmgr != nullptr) storeRepeat(context, qmgr, form, count, excess, threshold);
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

int evSaveStorms(EvStreamIo *io) {
    int32_t maxLength =
        cfgEngine.dataQueueMaxMsgLength ? cfgEngine.dataQueueMaxMsgLength() : STREAM_MAX_MESSAGE;
    int32_t length = 0;
    uint32_t left = 0;
    // Cleared before the items are read: a change meanwhile (the main thread taking a due item off the
    // list) marks them again for the next save. Cleared after the put, the stored message would keep
    // the item whose repeat the storm check then commits, and a reload would store it twice.
    evStormsChanged.store(0);
    uint8_t *message = evBuildStormMessage(maxLength, &length, &left);
    if (message == nullptr) {
        evStormsChanged.store(1);
        evOutput(EV_OUT_ERROR, "No storage available.", -1, 1);
        return 0;
    }
    if (left != 0) evOutputF(EV_OUT_ERROR, 1, "Storm items kept in memory only: %u", left);
    char text[EV_CONFIG_TEXT + 2] = "";
    int ok = evReplaceDataMessage(io, EV_DQ_KIND_STORMS, MQFMT_NONE, message, length, "", text);
    CSFreeMem(message);
    if (!ok) {
        evStormsChanged.store(1);
        evOutput(EV_OUT_ERROR, text, -1, 1);
        return 0;
    }
    return 1;
}

int evLoadStoredStorms(EvStreamIo *io) {
    evFreeStorms();
    uint8_t *message = nullptr;
    int32_t length = 0;
    if (!evBrowseDataMessage(io, EV_DQ_KIND_STORMS, &message, &length)) return 0;
    if (message == nullptr) return 1;
    // A damaged message costs the counts of the open windows, not the connection.
    if (!evLoadStormMessage(message, length)) {
        evOutput(EV_OUT_ERROR, "Stored storm items damaged: dropped.", -1, 1);
        evFreeStorms();
    }
    CSFreeMem(message);
    evStormsChanged.store(0);
    return 1;
}

void evStormKeepMqmd(evTimedItem *item, const MQMD *md) {
    CSRecursiveGuard guard(gStructureLock);
    std::memcpy(stored(item) + kMqmd, md, MQMD_CURRENT_LENGTH);
}
