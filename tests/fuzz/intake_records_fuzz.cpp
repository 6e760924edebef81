// Fuzz target: what the intake reads back or compares. The first byte (mod 5) picks the reader: 0 the
// seen list's stored message, 1 the storm message of the first layout, 2 the pairing of two records, 3
// the storm match of two records (2 and 3 split the rest at a u16 length), 4 the dispatch of a message
// of any Format (the next 8 bytes) with no queue manager behind it. A list it accepts must build again,
// a storm message schedules no more items than it holds, and two records that match are counted in
// one storm item (the index finds what the whole comparison matches).
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "engine/engine.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

namespace {

void seenList(const uint8_t *data, size_t size) {
    EvSeenList list{};
    std::vector<uint8_t> message(data, data + size);
    if (evLoadSeenList(&list, message.data(), static_cast<int32_t>(size)) == 1) {
        int32_t length = 0;
        uint8_t *built = evBuildSeenList(&list, &length);
        if (built == nullptr || length != 36 + static_cast<int32_t>(list.used * EV_SEEN_MESSAGE_ENTRY))
            std::abort();
        EvSeenList again{};
        if (evLoadSeenList(&again, built, length) != 1 || again.used != list.used) std::abort();
        CSFreeMem(built);
        evFreeSeenList(&again);
    }
    evFreeSeenList(&list);
}

// Looked up each time: an input of the dispatch kind frees the model, queue managers included.
QmgrEntry *fuzzQmgr() {
    char text[EV_CONFIG_TEXT];
    return evQmgrFindOrAdd("QM1", 0, text);
}

void storms(const uint8_t *data, size_t size) {
    (void)fuzzQmgr();
    std::vector<uint8_t> message(data, data + size);
    if (evLoadStormMessage(message.data(), static_cast<int32_t>(size))) {
        uint32_t items = 0;
        for (evTimedItem *item = evTimedItemList; item; item = item->next)
            items += item->kind == EV_TIMED_STORM;
        if (size < 8 || items > mqiGetU32(message.data(), 4)) std::abort();
    }
    evFreeStorms();
}

void pair(const uint8_t *data, size_t size, bool match) {
    if (size < 2) return;
    size_t first = data[0] | static_cast<size_t>(data[1]) << 8;
    data += 2;
    size -= 2;
    if (first > size) first = size;
    std::vector<uint8_t> a(data, data + first), b(data + first, data + size);
    auto la = static_cast<uint32_t>(a.size()), lb = static_cast<uint32_t>(b.size());
    if (match) {
        int matches = evMatchEvent(a.data(), la, b.data(), lb);
        if (matches != evMatchEvent(b.data(), lb, a.data(), la)) std::abort();
        evSettings.stormThreshold.store(10);
        evSettings.stormInterval.store(60);
        evTimedItem *opened = nullptr, *second = nullptr;
        (void)evRepeatCount(fuzzQmgr(), a.data(), la, 1767225600, &opened);
        (void)evRepeatCount(fuzzQmgr(), b.data(), lb, 1767225600, &second);
        if (opened != nullptr && (second == nullptr) != (matches == 1)) std::abort();
        evFreeStorms();
        return;
    }
    Area *combined = evCombineChange(a.data(), la, b.data(), lb);
    if (combined != nullptr) {
        if (combined->used > la + lb + 1024) std::abort();
        AreaRelease(&combined);
    }
}

void dispatch(const uint8_t *data, size_t size) {
    static bool ready = false;
    if (!ready) {
        (void)evStringsInit(0);
        (void)evStringsCreateStream();
        cfgInstall();
        ready = true;
    }
    if (size < 8) return;
    evSettings.useDlq.store(EV_USEDLQ_NO);
    MQMD md = MQMD_DEFAULT;
    std::memcpy(md.Format, data, 8);
    std::memcpy(md.PutDate, "20260101", 8);
    std::memcpy(md.PutTime, "10000000", 8);
    std::vector<uint8_t> message(data + 8, data + size);
    CSLockRecursive(&gConsumerLock);
    // Without a connection the first commit fails and ends it; later sync points then do nothing.
    (void)evDispatchMessage(evIntakeContext(), nullptr, &md, message.data(),
                            static_cast<int32_t>(message.size()));
    CSUnlockRecursive(&gConsumerLock);
    evFreeIntake();
    cfgFreeModel(0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1 || size > 1 << 18) return 0;
    switch (data[0] % 5) {
        case 0:
            seenList(data + 1, size - 1);
            break;
        case 1:
            storms(data + 1, size - 1);
            break;
        case 2:
            pair(data + 1, size - 1, false);
            break;
        case 3:
            pair(data + 1, size - 1, true);
            break;
        default:
            dispatch(data + 1, size - 1);
            break;
    }
    return 0;
}
