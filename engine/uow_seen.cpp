// Seen lists: the messages of a unit whose state side committed, kept so that a message redelivered
// after a failed event-side commit is recognised and dropped, and their stored PCF message.
#include <cstring>

#include "engine/internal.h"

namespace {

constexpr uint32_t kGrowBytes = 4096;
constexpr int64_t kDay = 86400;

// Stored layout of the message (little-endian): MQCFH, then per entry MQCFBS MsgId, two MQCFST
// (PutDate, PutTime; CCSID 0), MQCFIN64 seen time.
constexpr int32_t kCfhLength = 36;
constexpr int32_t kCfbsLength = 16 + 24;
constexpr int32_t kCfstLength = 20 + 8;
constexpr int32_t kCfin64Length = 24;
constexpr int32_t kMsgIdParm = 7013;    // MQBACF_MSG_ID
constexpr int32_t kPutDateParm = 3137;  // MQCACF_PUT_DATE
constexpr int32_t kPutTimeParm = 3138;  // MQCACF_PUT_TIME
static_assert(kCfbsLength + 2 * kCfstLength + kCfin64Length == EV_SEEN_MESSAGE_ENTRY);

bool same(const evSeenEntry &entry, const MQMD *md) {
    return std::memcmp(entry.msgId, md->MsgId, 24) == 0 && std::memcmp(entry.putDate, md->PutDate, 8) == 0 &&
           std::memcmp(entry.putTime, md->PutTime, 8) == 0;
}

bool reserve(EvSeenList *list, uint32_t entries) {
    if (entries <= list->capacity) return true;
    uint64_t bytes =
        (static_cast<uint64_t>(entries) * sizeof(evSeenEntry) + kGrowBytes - 1) / kGrowBytes * kGrowBytes;
    auto *grown = static_cast<evSeenEntry *>(CSGetMem(bytes));
    if (grown == nullptr) return false;
    if (list->used) std::memcpy(grown, list->entries, list->used * sizeof(evSeenEntry));
    if (list->entries) CSFreeMem(list->entries);
    list->entries = grown;
    list->capacity = static_cast<uint32_t>(bytes / sizeof(evSeenEntry));
    return true;
}

// Moves the kept entries down over the dropped ones, in order.
template <typename Keep>
void compact(EvSeenList *list, Keep keep) {
    uint32_t kept = 0;
    for (uint32_t i = 0; i < list->used; i++) {
        evSeenEntry &entry = list->entries[i];
        if (!keep(entry)) {
            list->changed = 1;
            continue;
        }
        if (kept != i) list->entries[kept] = entry;
        kept++;
    }
    list->used = kept;
}

void putHeader(uint8_t *p, int32_t type, int32_t length, int32_t parm) {
    mqiPutI32(p, 0, type);
    mqiPutI32(p, 4, length);
    mqiPutI32(p, 8, parm);
}

}  // namespace

int evMarkSeen(EvSeenList *list, const MQMD *md, int64_t now, int32_t *seen) {
    *seen = 0;
    for (uint32_t i = 0; i < list->used; i++) {
        if (!same(list->entries[i], md)) continue;
        if (list->entries[i].touched == 0) list->entries[i].touched = EV_SEEN_MATCHED;
        *seen = 1;
        return 1;
    }
    if (!reserve(list, list->used + 1)) return 0;
    evSeenEntry &entry = list->entries[list->used++];
    entry.touched = EV_SEEN_ADDED;
    std::memcpy(entry.putDate, md->PutDate, 8);
    std::memcpy(entry.putTime, md->PutTime, 8);
    std::memcpy(entry.msgId, md->MsgId, 24);
    entry.seenTime = now;
    list->changed = 1;
    return 1;
}

void evPruneSeenList(EvSeenList *list, int committed, int64_t now) {
    compact(list, [&](evSeenEntry &entry) {
        if (now - entry.seenTime > kDay) return false;
        if (entry.touched == 0) return true;
        if (committed) return false;
        entry.touched = 0;
        list->changed = 1;
        return true;
    });
}

void evSeenListBackedOut(EvSeenList *list) {
    compact(list, [&](evSeenEntry &entry) {
        if (entry.touched == EV_SEEN_ADDED) return false;
        entry.touched = 0;
        return true;
    });
}

void evFreeSeenList(EvSeenList *list) {
    if (list->entries) CSFreeMem(list->entries);
    *list = EvSeenList{};
}

uint8_t *evBuildSeenList(const EvSeenList *list, int32_t *length) {
    uint64_t total = kCfhLength + static_cast<uint64_t>(list->used) * EV_SEEN_MESSAGE_ENTRY;
    if (total > INT32_MAX) return nullptr;
    auto *message = static_cast<uint8_t *>(CSGetMem(total));
    if (message == nullptr) return nullptr;
    std::memset(message, 0, total);
    mqiPutI32(message, 0, MQCFT_COMMAND);
    mqiPutI32(message, 4, kCfhLength);
    mqiPutI32(message, 8, MQCFH_VERSION_3);
    mqiPutI32(message, 12, EV_SEEN_COMMAND);
    mqiPutU32(message, 16, list->used);
    mqiPutI32(message, 20, MQCFC_LAST);
    mqiPutU32(message, 32, 4 * list->used);
    uint8_t *p = message + kCfhLength;
    for (uint32_t i = 0; i < list->used; i++) {
        const evSeenEntry &entry = list->entries[i];
        putHeader(p, MQCFT_BYTE_STRING, kCfbsLength, kMsgIdParm);
        mqiPutI32(p, 12, 24);
        std::memcpy(p + 16, entry.msgId, 24);
        p += kCfbsLength;
        const char *texts[2] = {entry.putDate, entry.putTime};
        const int32_t parms[2] = {kPutDateParm, kPutTimeParm};
        for (int k = 0; k < 2; k++) {
            putHeader(p, MQCFT_STRING, kCfstLength, parms[k]);
            mqiPutI32(p, 12, 0);
            mqiPutI32(p, 16, 8);
            std::memcpy(p + 20, texts[k], 8);
            p += kCfstLength;
        }
        putHeader(p, MQCFT_INTEGER64, kCfin64Length, EV_SEEN_TIME_PARM);
        mqiPutI64(p, 16, entry.seenTime);
        p += kCfin64Length;
    }
    *length = static_cast<int32_t>(total);
    return message;
}

int evLoadSeenList(EvSeenList *list, const uint8_t *message, int32_t length) {
    list->used = 0;
    list->changed = 0;
    if (message == nullptr || length < kCfhLength) return 1;
    int32_t offset = kCfhLength;
    uint32_t structures = 0;
    evSeenEntry *entry = nullptr;
    while (offset + 12 <= length) {
        const uint8_t *p = message + offset;
        int32_t type = mqiGetI32(p, 0);
        int32_t strucLength = mqiGetI32(p, 4);
        int32_t parm = mqiGetI32(p, 8);
        if (strucLength < 12 || strucLength > length - offset) break;
        structures++;
        if (type == MQCFT_BYTE_STRING && parm == kMsgIdParm) {
            if (strucLength < kCfbsLength || mqiGetI32(p, 12) != 24) {
                list->used = 0;
                return 0;
            }
            if (!reserve(list, list->used + 1)) {
                list->used = 0;
                return EV_SEEN_LOAD_NO_STORAGE;
            }
            entry = &list->entries[list->used++];
            *entry = evSeenEntry{};
            std::memcpy(entry->msgId, p + 16, 24);
        } else if (entry != nullptr && type == MQCFT_STRING && strucLength >= kCfstLength &&
                   mqiGetI32(p, 16) == 8 && (parm == kPutDateParm || parm == kPutTimeParm)) {
            std::memcpy(parm == kPutDateParm ? entry->putDate : entry->putTime, p + 20, 8);
        } else if (entry != nullptr && type == MQCFT_INTEGER64 && strucLength >= kCfin64Length &&
                   parm == EV_SEEN_TIME_PARM) {
            entry->seenTime = mqiGetI64(p, 16);
        }
        offset += strucLength;
    }
    // The structures the MQCFH counts fill the message exactly, as the program writes it.
    if (offset != length || structures != mqiGetU32(message, 32)) {
        list->used = 0;
        return 0;
    }
    return 1;
}
