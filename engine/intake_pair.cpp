// Configuration-change events arrive as a 'before' and an 'after' half. The half that comes first waits
// in a pool for its partner; the pair becomes one record whose AFTER group holds only what changed.
#include <cstring>

#include "engine/internal.h"

namespace {

constexpr uint32_t kMaxItems = 4096;
constexpr uint32_t kGroupItem = 5;  // lead, u16 id, u16 count
constexpr int32_t kLeadingIds[] = {3047, 2015, 1021, 39316, 39317};

struct BeforeEntry {
    BeforeEntry *next;
    bool after;  // an 'after' half waiting for its 'before'
    char qmgr[EV_QMGR_NAME_MAX + 1];
    uint32_t objectId;
    uint16_t objectType;
    uint32_t length;
    uint8_t *record;
};
BeforeEntry *beforePool = nullptr;

struct Span {
    uint32_t start;
    uint32_t end;
    int32_t id;
};

// The top-level items of a record as byte spans (a group with its items). The count, or -1 when the
// record is damaged or has more items than room.
int32_t topLevelSpans(const uint8_t *record, uint32_t length, Span *spans, uint32_t room) {
    evCFCursor c;
    evCFCursorInit(&c, nullptr, record, length, 0, 0);
    int32_t count = 0;
    for (;;) {
        uint32_t at = c.position;
        int32_t depth = c.depth;
        evCFItem item{};
        int32_t compCode = 0, reason = 0;
        int32_t id = evCFNextParm(&c, &item, &compCode, &reason);
        if (compCode == MQCC_FAILED) {
            if (reason != 10000) return -1;
            if (count > 0) spans[count - 1].end = c.position;
            return count;
        }
        if (depth != 0 || item.type == PCF_TYPE_GROUP_END) continue;
        while (at < length && record[at] == EVCF_LEAD_PADDING) at++;
        if (count > 0) spans[count - 1].end = at;
        if (static_cast<uint32_t>(count) >= room) return -1;
        spans[count++] = Span{at, length, id};
    }
}

bool isLeading(int32_t id) {
    for (int32_t leading : kLeadingIds)
        if (leading == id) return true;
    return false;
}

uint32_t spanLength(const Span &s) {
    return s.end - s.start;
}

void markPoolStrings() {
    for (BeforeEntry *entry = beforePool; entry; entry = entry->next)
        evStringMarkRecord(entry->record, entry->length);
}

}  // namespace

Area *evCombineChange(const uint8_t *before, uint32_t beforeLength, const uint8_t *after,
                      uint32_t afterLength) {
    if (beforeLength < EVCF_HEADER_LENGTH || afterLength < EVCF_HEADER_LENGTH) return nullptr;
    auto *spans = static_cast<Span *>(CSGetMem(2 * kMaxItems * sizeof(Span)));
    if (spans == nullptr) return nullptr;
    Span *b = spans, *a = spans + kMaxItems;
    int32_t nb = topLevelSpans(before, beforeLength, b, kMaxItems);
    int32_t na = topLevelSpans(after, afterLength, a, kMaxItems);
    Area *area = nullptr;
    if (nb >= 0 && na >= 0) area = AreaGet(beforeLength + afterLength + 1024, 0, "COMBINED");
    if (area == nullptr) {
        CSFreeMem(spans);
        return nullptr;
    }
    uint8_t *out = AreaData(area);
    std::memcpy(out, after, EVCF_HEADER_LENGTH);
    uint32_t at = EVCF_HEADER_LENGTH;
    uint16_t top = 2;
    int32_t i = 0;
    for (; i < nb && isLeading(b[i].id); i++, top++) {
        std::memcpy(out + at, before + b[i].start, spanLength(b[i]));
        at += spanLength(b[i]);
    }
    auto group = [&](int32_t id, uint16_t count) {
        out[at] = EVCF_LEAD_GROUP;
        mqiPutU16(out, at + 1, static_cast<uint16_t>(id));
        mqiPutU16(out, at + 3, count);
        at += kGroupItem;
    };
    group(EV_GROUP_BEFORE, static_cast<uint16_t>(nb - i));
    for (; i < nb; i++) {
        std::memcpy(out + at, before + b[i].start, spanLength(b[i]));
        at += spanLength(b[i]);
    }
    uint32_t afterGroup = at;
    group(EV_GROUP_AFTER, 0);
    uint16_t changed = 0;
    for (int32_t k = 0; k < na; k++) {
        bool same = k < nb && spanLength(a[k]) == spanLength(b[k]) &&
                    std::memcmp(after + a[k].start, before + b[k].start, spanLength(a[k])) == 0;
        if (same) continue;
        std::memcpy(out + at, after + a[k].start, spanLength(a[k]));
        at += spanLength(a[k]);
        changed++;
    }
    mqiPutU16(out, afterGroup + 3, changed);
    evCFSetItemCount(out, top);
    area->used = at;
    CSFreeMem(spans);
    return area;
}

namespace {

uint8_t *poolTake(bool after, const char *qmgr, uint32_t objectId, uint16_t objectType, uint32_t *length) {
    for (BeforeEntry **link = &beforePool; *link; link = &(*link)->next) {
        BeforeEntry *entry = *link;
        if (entry->after != after || entry->objectId != objectId || entry->objectType != objectType ||
            std::strncmp(entry->qmgr, qmgr, EV_QMGR_NAME_MAX) != 0)
            continue;
        *link = entry->next;
        auto *record = static_cast<uint8_t *>(CSGetMem(entry->length ? entry->length : 1));
        if (record != nullptr) std::memcpy(record, entry->record, entry->length);
        *length = entry->length;
        CSFreeMem(entry);
        return record;
    }
    return nullptr;
}

// A newer half of the same kind and object replaces the older one.
int poolAdd(bool after, const char *qmgr, const uint8_t *record, uint32_t length) {
    uint32_t objectId = mqiGetU32(record, 16);
    uint16_t objectType = evCFGetObjectType(record);
    uint32_t olderLength = 0;
    uint8_t *older = poolTake(after, qmgr, objectId, objectType, &olderLength);
    if (older) CSFreeMem(older);
    auto *entry = static_cast<BeforeEntry *>(CSGetMem(sizeof(BeforeEntry) + length));
    if (entry == nullptr) return 0;
    std::memset(entry, 0, sizeof(BeforeEntry));
    entry->after = after;
    std::memcpy(entry->qmgr, qmgr, strnlen(qmgr, EV_QMGR_NAME_MAX));
    entry->objectId = objectId;
    entry->objectType = objectType;
    entry->length = length;
    entry->record = reinterpret_cast<uint8_t *>(entry + 1);
    std::memcpy(entry->record, record, length);
    entry->next = beforePool;
    beforePool = entry;
    evStringsAddHolder(markPoolStrings);
    return 1;
}

}  // namespace

int evBeforePoolAdd(const char *qmgr, const uint8_t *record, uint32_t length) {
    return poolAdd(false, qmgr, record, length);
}

int evAfterPoolAdd(const char *qmgr, const uint8_t *record, uint32_t length) {
    return poolAdd(true, qmgr, record, length);
}

uint8_t *evBeforePoolTake(const char *qmgr, uint32_t objectId, uint16_t objectType, uint32_t *length) {
    return poolTake(false, qmgr, objectId, objectType, length);
}

uint8_t *evAfterPoolTake(const char *qmgr, uint32_t objectId, uint16_t objectType, uint32_t *length) {
    return poolTake(true, qmgr, objectId, objectType, length);
}

int evAfterPoolDrop() {
    int dropped = 0;
    for (BeforeEntry **link = &beforePool; *link;) {
        BeforeEntry *entry = *link;
        if (!entry->after) {
            link = &entry->next;
            continue;
        }
        *link = entry->next;
        CSFreeMem(entry);
        dropped++;
    }
    return dropped;
}

int evPairPoolWaiting() {
    return beforePool != nullptr ? 1 : 0;
}

void evBeforePoolFree() {
    while (beforePool) {
        BeforeEntry *next = beforePool->next;
        CSFreeMem(beforePool);
        beforePool = next;
    }
}
