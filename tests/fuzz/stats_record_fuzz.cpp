// Fuzz target: arbitrary bytes as a stored statistics or accounting record of each family, through the
// emitters' parser loop and the family operations. Every loop must end (each object takes at least
// one item), and what an object points at must lie in the record or the string pool.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "stats/stats.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

namespace {

void poolOnce() {
    static bool made = false;
    if (made) return;
    made = true;
    if (!evStringsInit(0) || !evStringsCreateStream()) std::abort();
    for (const char *s : {"APP.Q", "QM1", "CH1", "user", "MQJB"})
        (void)evStringIntern(1, 850, s, static_cast<uint32_t>(std::strlen(s)), 0, nullptr);
}

// A connection identifier points into the record, into the pool, or at the mixed "*".
void checkBytes(const StatsFamily *family, const uint8_t *object, const uint8_t *start, const uint8_t *end) {
    for (uint32_t i = 0; i < family->fieldCount; i++) {
        const StatsField &f = family->fields[i];
        if (f.width != STATS_W_BYTES) continue;
        const uint8_t *p;
        uint16_t length;
        std::memcpy(&p, object + f.offset, sizeof p);
        std::memcpy(&length, object + f.offset + sizeof p, 2);
        if (!p || (p >= start && p + length <= end)) continue;
        if (p == reinterpret_cast<const uint8_t *>(evStringMixedEntry.text) && length == 1) continue;
        volatile uint8_t touch = 0;
        for (uint16_t k = 0; k < length; k++) touch = touch ^ p[k];  // pooled text: must be readable
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > 1 << 16) return 0;
    poolOnce();
    std::vector<uint8_t> record(data, data + size);
    const uint8_t *start = record.data(), *end = start + size;
    for (const StatsEmitSlot &slot : evStatsEmitSlots) {
        const StatsFamily *family = slot.family;
        std::vector<uint64_t> work((slot.workSize + 7) / 8);
        std::vector<uint64_t> sum((family->recordSize + 7) / 8);
        std::vector<uint64_t> copy((family->recordSize + 7) / 8);
        evCFCursor cursor;
        evCFCursorInit(&cursor, &evStreamStringPool, start, static_cast<uint32_t>(size), 0, 0);
        size_t objects = 0;
        for (int first = 1; slot.parse(first, &cursor, work.data()); first = 0) {
            if (++objects > size + 1) std::abort();  // an object that took no item
            const auto *object = reinterpret_cast<const uint8_t *>(work.data());
            checkBytes(family, object, start, end);
            if (objects == 1) {
                std::memcpy(sum.data(), object, family->recordSize);
                continue;
            }
            // Sum the objects in every way the families offer.
            switch (slot.family->command) {
                case 164:
                    evStatMQISum(reinterpret_cast<StatMQIRecord *>(sum.data()),
                                 reinterpret_cast<const StatMQIRecord *>(object),
                                 static_cast<int>(objects & 1));
                    break;
                case 165:
                    evStatQSum(reinterpret_cast<StatQRecord *>(sum.data()),
                               reinterpret_cast<const StatQRecord *>(object), 0,
                               static_cast<uint32_t>(objects & STATS_KEY_PREFIX));
                    break;
                case 166:
                    evStatChlSum(reinterpret_cast<StatChlRecord *>(sum.data()),
                                 reinterpret_cast<const StatChlRecord *>(object), 0, 0);
                    break;
                case 167:
                    evAcctMQISum(reinterpret_cast<AcctMQIRecord *>(sum.data()),
                                 reinterpret_cast<const AcctMQIRecord *>(object), 0);
                    break;
                default:
                    evAcctQSum(reinterpret_cast<AcctQRecord *>(sum.data()),
                               reinterpret_cast<const AcctQRecord *>(object), 0, 0);
                    break;
            }
            checkBytes(family, reinterpret_cast<const uint8_t *>(sum.data()), start, end);
        }
        if (slot.parse(0, &cursor, work.data())) std::abort();  // used up stays used up
    }
    // The MQI parse itself, portion by portion, ends too.
    evCFCursor cursor;
    evCFCursorInit(&cursor, &evStreamStringPool, start, static_cast<uint32_t>(size), 0, 0);
    StatsParseContext context;
    StatMQIRecord keys, portion;
    (void)evStatMQIParse(1, &cursor, &context, &keys);
    for (size_t n = 0;; n++) {
        if (n > size + 1) std::abort();
        portion = keys;
        if (!evStatMQIParse(0, &cursor, nullptr, &portion)) break;
        (void)evStatMQIHasValue(&portion, 31013);
    }
    return 0;
}
