// The operations every family runs over its field table: reading a stored record's items into the
// fields, the derived totals, the has-value test, the sum and the collation copy. One step per field,
// in field order, as the table says; the families add only what their tables cannot say.
#include <cstring>

#include "stats/internal.h"

namespace {

// ---- Field access: records are reached through the table's offsets only ----

uint8_t *at(void *record, uint16_t offset) {
    return static_cast<uint8_t *>(record) + offset;
}
const uint8_t *at(const void *record, uint16_t offset) {
    return static_cast<const uint8_t *>(record) + offset;
}
template <typename T>
T get(const void *record, uint16_t offset) {
    T v;
    std::memcpy(&v, at(record, offset), sizeof v);
    return v;
}
template <typename T>
void put(void *record, uint16_t offset, T v) {
    std::memcpy(at(record, offset), &v, sizeof v);
}

struct Bytes {
    const uint8_t *data;
    uint16_t length;
};
Bytes getBytes(const void *record, uint16_t offset) {
    return Bytes{get<const uint8_t *>(record, offset), get<uint16_t>(record, offset + sizeof(void *))};
}
void putBytes(void *record, uint16_t offset, const uint8_t *data, uint16_t length) {
    put(record, offset, data);
    put(record, offset + sizeof(void *), length);
}

// The "*" a differing connection identifier becomes: the mixed entry's one character.
const uint8_t *mixedBytes() {
    return reinterpret_cast<const uint8_t *>(evStringMixedEntry.text);
}

// Unset: the width's unset value, and where a 32-bit form may arrive, that value widened with its sign.
bool isUnsetAt(const StatsField *f, const void *record, uint16_t offset) {
    if (f->width == STATS_W_U32) return get<uint32_t>(record, offset) == STATS_UNSET_32;
    int64_t v = get<int64_t>(record, offset);
    return v == STATS_UNSET_64 || ((f->flags & STATS_F_WIDENED) && v == int64_t{INT32_MIN});
}
bool isUnset(const StatsField *f, const void *record) {
    return isUnsetAt(f, record, f->offset);
}

void setUnset(const StatsField *f, void *record) {
    if (f->width == STATS_W_U32)
        put(record, f->offset, STATS_UNSET_32);
    else if (f->width == STATS_W_I64)
        put(record, f->offset, STATS_UNSET_64);
}

// A 64-bit sum stops at the largest value (or the smallest): wrapped, it would read as unset or as
// a negative count.
int64_t addSaturated(int64_t a, int64_t b) {
    int64_t sum = 0;
    if (__builtin_add_overflow(a, b, &sum)) return b > 0 ? INT64_MAX : INT64_MIN + 3;
    return sum;
}

// A 32-bit sum stops below the unset and mixed values (0x80000000, 0x80000002), which read as no value
// or "*", and below the values a signed reader takes as negative.
uint32_t addBelowMarkers(uint32_t a, uint32_t b) {
    uint64_t sum = uint64_t{a} + b;
    return sum > uint64_t{INT32_MAX} ? uint32_t{INT32_MAX} : static_cast<uint32_t>(sum);
}

// Addition of a counter. Unlike the documented wrap-around addition, no sum wraps: the 32-bit counters
// of IBM MQ are held in 64 bits (STATS_F_COUNT32) and add whole, 64-bit sums saturate, and the few
// 32-bit fields left (a record count, a connection time) stop at INT32_MAX, never reaching a marker.
void add(const StatsField *f, void *target, const void *added) {
    if (f->width == STATS_W_U32)
        put(target, f->offset,
            addBelowMarkers(get<uint32_t>(target, f->offset), get<uint32_t>(added, f->offset)));
    else
        put(target, f->offset, addSaturated(get<int64_t>(target, f->offset), get<int64_t>(added, f->offset)));
}

// -1, 0 or 1 as the value at a is below, equal to or above the one at b: 64-bit values and signed
// fields compare signed, the others unsigned.
int compare(const StatsField *f, const void *a, uint16_t aOffset, const void *b, uint16_t bOffset) {
    if (f->width == STATS_W_I64) {
        int64_t x = get<int64_t>(a, aOffset), y = get<int64_t>(b, bOffset);
        return x < y ? -1 : x > y;
    }
    uint32_t x = get<uint32_t>(a, aOffset), y = get<uint32_t>(b, bOffset);
    if (f->flags & STATS_F_SIGNED) {
        auto sx = static_cast<int32_t>(x), sy = static_cast<int32_t>(y);
        return sx < sy ? -1 : sx > sy;
    }
    return x < y ? -1 : x > y;
}

size_t widthSize(const StatsField *f) {
    return f->width == STATS_W_U32 ? 4 : f->width == STATS_W_BYTES ? sizeof(void *) + 2 : 8;
}
void copyAt(const StatsField *f, void *target, uint16_t targetOffset, const void *from, uint16_t fromOffset) {
    std::memmove(at(target, targetOffset), at(from, fromOffset), widthSize(f));
}

// ---- Reading items ----

// The pooled entry a string item names: null for an empty (absent) string; the mixed entry for
// lead 214 only. False for an item that is no string of the record format.
bool stringOf(const evCFItem *item, const StringEntry **entry) {
    switch (item->type) {
        case EVCF_STRING_ID:
        case EVCF_BYTES_ID:
            *entry = evStringLookup(static_cast<uint32_t>(item->value));
            return true;
        case EVCF_STRING_MIXED:
            *entry = &evStringMixedEntry;
            return true;
        case MQCFT_STRING:
            if (item->length > 0) return false;  // text from a resolving cursor: not a pooled entry
            *entry = nullptr;
            return true;
        default:
            return false;
    }
}

}  // namespace

void evCFGetStringValue(EvStringView *result, const EvStringPool *pool, const evCFItem *item, uint8_t *copy,
                        uint32_t copyLength) {
    *result = EvStringView{"", 0, 0};
    switch (item->type) {
        case MQCFT_BYTE_STRING: {
            if (!item->data || item->length <= 0) return;
            auto length = static_cast<uint32_t>(item->length);
            const char *text = static_cast<const char *>(item->data);
            if (copy && copyLength >= length) {
                std::memcpy(copy, text, length);
                text = reinterpret_cast<const char *>(copy);
            }
            *result = EvStringView{text, length, 0};
            return;
        }
        case EVCF_STRING_MIXED:
            *result =
                EvStringView{evStringMixedEntry.text, evStringMixedEntry.length, evStringMixedEntry.ccsid};
            return;
        case EVCF_BYTES_ID:
            *result = evPoolLookup(pool, static_cast<uint32_t>(item->value));
            return;
        default:
            return;
    }
}

const StatsField *evStatsFieldById(const StatsFamily *family, int32_t id) {
    uint32_t low = 0, high = family->idCount;
    while (low < high) {
        uint32_t mid = (low + high) / 2;
        const StatsField *f = &family->fields[family->byId[mid]];
        if (f->id == static_cast<uint32_t>(id)) return f;
        if (f->id < static_cast<uint32_t>(id))
            low = mid + 1;
        else
            high = mid;
    }
    return nullptr;
}

void statsPreset(const StatsFamily *family, void *record) {
    std::memset(record, 0, family->recordSize);
    for (uint32_t i = 0; i < family->fieldCount; i++) {
        const StatsField *f = &family->fields[i];
        if (f->flags & STATS_F_UNSET) setUnset(f, record);
        if ((f->flags & STATS_F_ONE) && f->width == STATS_W_U32) put(record, f->offset, uint32_t{1});
        if ((f->flags & STATS_F_ONE) && f->width == STATS_W_I64) put(record, f->offset, int64_t{1});
    }
}

void statsHeaderTimes(const StatsFamily *family, const evCFCursor *cursor, void *record) {
    if (!cursor->start || cursor->length < EVCF_HEADER_LENGTH) return;
    put(record, family->startOffset, evCFGetIntervalStart(cursor->start));
    put(record, family->endOffset, evCFGetIntervalEnd(cursor->start));
}

void statsStoreItem(const StatsFamily *family, void *record, const evCFItem *item) {
    const StatsField *f = evStatsFieldById(family, item->parmId);
    if (!f || f->rule == STATS_SUM_DERIVED) return;
    bool integer = item->type == MQCFT_INTEGER || item->type == MQCFT_INTEGER64;
    switch (f->width) {
        case STATS_W_U32:
            if (integer) put(record, f->offset, static_cast<uint32_t>(item->value));
            return;
        case STATS_W_I64:
            // A 32-bit integer arrives sign-extended; a counter of IBM MQ's 32 bits is unsigned; a widened
            // average of another form is unset.
            if (integer && (f->flags & STATS_F_COUNT32) && item->type == MQCFT_INTEGER)
                put(record, f->offset, int64_t{static_cast<uint32_t>(item->value)});
            else if (integer)
                put(record, f->offset, item->value);
            else if (f->flags & STATS_F_WIDENED)
                put(record, f->offset, STATS_UNSET_64);
            return;
        case STATS_W_STRING: {
            const StringEntry *entry = nullptr;
            if (stringOf(item, &entry)) put(record, f->offset, entry);
            return;
        }
        case STATS_W_BYTES: {
            EvStringView v;
            evCFGetStringValue(&v, &evStreamStringPool, item, nullptr, 0);
            uint16_t length = v.length > UINT16_MAX ? UINT16_MAX : static_cast<uint16_t>(v.length);
            putBytes(record, f->offset, length ? reinterpret_cast<const uint8_t *>(v.text) : nullptr, length);
            return;
        }
        default:
            return;
    }
}

int statsStoreContext(StatsParseContext *context, const evCFItem *item) {
    if (item->parmId == STATS_ID_STREAM) {
        if (context && item->type == MQCFT_INTEGER)
            context->streamDef = evStreamDefFindById(static_cast<uint32_t>(item->value));
        return 1;
    }
    if (item->parmId == STATS_ID_QMGR_NAME) {
        const StringEntry *entry = nullptr;
        if (context && stringOf(item, &entry)) context->qmgrName = entry;
        return 1;
    }
    return 0;
}

namespace {

// Unlike the documented sums, which take every value that is set: queue accounting gives 0 as the smallest
// and largest message and the times on queue of a persistence class that had no operation of their kind: such
// a 0 is no value, so that the class takes no part in the minima, maxima and averages of sums. Each row: the
// counts of the kind, then its values.
struct IdleClass {
    int32_t counts[2];
    int32_t values[5];
};
constexpr IdleClass kAcctQIdleClasses[] = {
    {{31003, 31007}, {31153, 31156}},                   // puts and put1s, non-persistent
    {{31004, 31008}, {31154, 31157}},                   // persistent
    {{31014, 0}, {31159, 31162, 31171, 31173, 31175}},  // gets: sizes and times on queue
    {{31015, 0}, {31160, 31163, 31172, 31174, 31176}},  //
    {{31021, 0}, {31165, 31168}},                       // browses
    {{31022, 0}, {31166, 31169}},                       //
};

void clearIdleClasses(const StatsFamily *family, void *record) {
    for (const IdleClass &c : kAcctQIdleClasses) {
        uint64_t operations = 0;
        for (int32_t id : c.counts) {
            const StatsField *f = id != 0 ? evStatsFieldById(family, id) : nullptr;
            if (f == nullptr || isUnset(f, record)) continue;
            operations += f->width == STATS_W_U32 ? get<uint32_t>(record, f->offset)
                                                  : static_cast<uint64_t>(get<int64_t>(record, f->offset));
        }
        if (operations != 0) continue;
        for (int32_t id : c.values) {
            const StatsField *f = id != 0 ? evStatsFieldById(family, id) : nullptr;
            if (f == nullptr) continue;
            const bool zero = f->width == STATS_W_U32 ? get<uint32_t>(record, f->offset) == 0
                                                      : get<int64_t>(record, f->offset) == 0;
            if (zero) setUnset(f, record);
        }
    }
}

}  // namespace

void statsFinish(const StatsFamily *family, void *record) {
    if (family == &evAcctQFamily) clearIdleClasses(family, record);
    statsDeriveTotals(family, record);
    auto start = static_cast<uint64_t>(get<int64_t>(record, family->startOffset));
    auto end = static_cast<uint64_t>(get<int64_t>(record, family->endOffset));
    put(record, family->durationOffset, static_cast<uint32_t>(end - start));
    put(record, family->intervalsOffset, uint32_t{1});
}

// ---- Totals, values, sums ----

void statsDeriveTotals(const StatsFamily *family, void *record) {
    // A total of totals comes before them in every table, so a backward walk has its parts ready.
    for (uint32_t i = family->fieldCount; i-- > 0;) {
        const StatsField *f = &family->fields[i];
        if (f->rule != STATS_SUM_DERIVED) continue;
        if (f->derive == STATS_DERIVE_SUM) {
            if (f->width == STATS_W_U32) {
                uint32_t sum = 0;
                for (int p = 0; p < f->partCount; p++)
                    sum = addBelowMarkers(sum, get<uint32_t>(record, f->parts[p]));
                put(record, f->offset, sum);
            } else {
                int64_t sum = 0;
                for (int p = 0; p < f->partCount; p++)
                    sum = addSaturated(sum, get<int64_t>(record, f->parts[p]));
                put(record, f->offset, sum);
            }
            continue;
        }
        // The smaller or larger of the parts that are set; unset when none is.
        setUnset(f, record);
        for (int p = 0; p < f->partCount; p++) {
            if (isUnsetAt(f, record, f->parts[p])) continue;
            int order = compare(f, record, f->parts[p], record, f->offset);
            if (isUnset(f, record) || (f->derive == STATS_DERIVE_SMALLER ? order < 0 : order > 0))
                copyAt(f, record, f->offset, record, f->parts[p]);
        }
    }
}

int statsHasValue(const StatsFamily *family, const void *record, int32_t id) {
    const StatsField *f = evStatsFieldById(family, id);
    if (!f) return 0;
    if (f->flags & STATS_F_LEVEL) return get<uint32_t>(record, f->offset) != 0;
    if (f->flags & STATS_F_PRESENT) {
        auto *entry = get<const StringEntry *>(record, f->offset);
        return entry && entry != &evStringNotPresentEntry;
    }
    if (!(f->flags & STATS_F_MEASURE) || isUnset(f, record)) return 0;
    return f->width == STATS_W_U32 ? get<uint32_t>(record, f->offset) != 0
                                   : get<int64_t>(record, f->offset) != 0;
}

namespace {

void sumSameOrMixed(const StatsField *f, void *target, const void *added) {
    uint32_t t = get<uint32_t>(target, f->offset), a = get<uint32_t>(added, f->offset);
    if (a == STATS_UNSET_32 || t == STATS_MIXED_32 || t == a) return;
    put(target, f->offset, t == STATS_UNSET_32 ? a : STATS_MIXED_32);
}

// Times a record may lack: unset and 0 are both no value, so a value meets only another value.
void sumTime(const StatsField *f, void *target, const void *added) {
    int64_t t = get<int64_t>(target, f->offset), a = get<int64_t>(added, f->offset);
    if (a == STATS_UNSET_64 || a == 0) return;
    if (t == STATS_UNSET_64 || t == 0)
        put(target, f->offset, a);
    else if (t != a)
        put(target, f->offset, STATS_MIXED_64);
}

void sumMinMax(const StatsField *f, void *target, const void *added) {
    if (isUnset(f, added)) return;
    int order = compare(f, added, f->offset, target, f->offset);
    if (isUnset(f, target) || (f->rule == STATS_SUM_MINIMUM ? order < 0 : order > 0))
        copyAt(f, target, f->offset, added, f->offset);
}

// An average held as the sum of the averages, with its count (64 bits, as the sum): an unset average
// adds nothing.
void sumAverage(const StatsField *f, void *target, const void *added) {
    if (isUnset(f, added)) return;
    uint16_t count = f->parts[0];
    int64_t targetCount = isUnset(f, target) ? 0 : get<int64_t>(target, count);
    if (!isUnset(f, target) && targetCount == 0) targetCount = 1;
    int64_t addedCount = get<int64_t>(added, count);
    put(target, count, addSaturated(targetCount, addedCount ? addedCount : 1));
    if (targetCount == 0)
        copyAt(f, target, f->offset, added, f->offset);
    else
        add(f, target, added);
}

// A connection's duration, held in 64 bits: the sum over many connections passes 2^31 seconds (68
// years: a thousand connections of 25 days) and would stop there in 32.
void sumDuration(const StatsField *f, void *target, const void *added) {
    if (isUnset(f, added)) return;
    if (isUnset(f, target))
        copyAt(f, target, f->offset, added, f->offset);
    else
        add(f, target, added);
}

void sumBytes(const StatsField *f, void *target, const void *added) {
    Bytes t = getBytes(target, f->offset), a = getBytes(added, f->offset);
    if (!t.data && !a.data) return;
    if (t.data && a.data && t.length == a.length && std::memcmp(t.data, a.data, t.length) == 0) return;
    putBytes(target, f->offset, mixedBytes(), 1);
}

void sumName(const StatsFamily *family, const StatsField *f, void *target, const void *added,
             uint32_t keyMask) {
    if (get<const StringEntry *>(target, f->offset) == get<const StringEntry *>(added, f->offset)) return;
    if (keyMask & STATS_KEY_SEGMENTS)
        put(target, family->flagsOffset,
            get<uint32_t>(target, family->flagsOffset) | STATS_FLAG_GENERIC_NAME);
    else
        put(target, f->offset, &evStringMixedEntry);
}

}  // namespace

void statsSum(const StatsFamily *family, void *target, const void *added, int intvl, uint32_t keyMask) {
    for (uint32_t i = 0; i < family->fieldCount; i++) {
        const StatsField *f = &family->fields[i];
        switch (f->rule) {
            case STATS_SUM_ADDED:
                add(f, target, added);
                break;
            case STATS_SUM_MINIMUM:
            case STATS_SUM_MAXIMUM:
                sumMinMax(f, target, added);
                break;
            case STATS_SUM_SAME_OR_MIXED:
                sumSameOrMixed(f, target, added);
                break;
            case STATS_SUM_TIME:
                sumTime(f, target, added);
                break;
            case STATS_SUM_AVERAGE:
                sumAverage(f, target, added);
                break;
            case STATS_SUM_DURATION:
                sumDuration(f, target, added);
                break;
            case STATS_SUM_MIXED_STRING:
                if (get<const StringEntry *>(target, f->offset) != get<const StringEntry *>(added, f->offset))
                    put(target, f->offset, &evStringMixedEntry);
                break;
            case STATS_SUM_NAME:
                sumName(family, f, target, added, keyMask);
                break;
            case STATS_SUM_MIXED_BYTES:
                sumBytes(f, target, added);
                break;
            case STATS_SUM_EARLIEST:
            case STATS_SUM_LATEST:
                if (!intvl && compare(f, added, f->offset, target, f->offset) ==
                                  (f->rule == STATS_SUM_EARLIEST ? -1 : 1))
                    copyAt(f, target, f->offset, added, f->offset);
                break;
            case STATS_SUM_STREAM:
                if (get<Stream *>(target, f->offset) != get<Stream *>(added, f->offset))
                    put(target, f->offset, static_cast<Stream *>(nullptr));
                break;
            default:  // kept, derived (computed below), an average's count (moved by its average)
                break;
        }
    }
    statsDeriveTotals(family, target);
}

void statsTrueAverages(const StatsFamily *family, void *record, int settle) {
    for (uint32_t i = 0; i < family->fieldCount; i++) {
        const StatsField *f = &family->fields[i];
        if (f->rule != STATS_SUM_AVERAGE) continue;
        uint16_t countAt = f->parts[0];
        int64_t count = get<int64_t>(record, countAt);
        if (isUnset(f, record)) {
            if (settle) put(record, countAt, int64_t{0});
            continue;
        }
        // A count of 0 is one average as the queue manager gave it.
        if (settle) put(record, countAt, int64_t{1});
        if (count <= 1) continue;
        if (f->width == STATS_W_U32)
            put(record, f->offset, static_cast<uint32_t>(get<uint32_t>(record, f->offset) / count));
        else if (f->flags & STATS_F_WIDENED)
            put(record, f->offset, get<int64_t>(record, f->offset) / count);
        else
            put(record, f->offset,
                static_cast<int64_t>(static_cast<uint64_t>(get<int64_t>(record, f->offset)) /
                                     static_cast<uint64_t>(count)));
    }
}

void statsCollateAdd(const StatsFamily *family, void *entry, const void *record) {
    std::memcpy(entry, record, family->recordSize);
    if (get<int64_t>(entry, family->startOffset) == 0)
        put(entry, family->startOffset, get<int64_t>(entry, family->endOffset));
    if (get<int64_t>(entry, family->endOffset) == 0)
        put(entry, family->endOffset, get<int64_t>(entry, family->startOffset));
    // Each average counts as many averages as its count says, one at least; an unset one none.
    for (uint32_t i = 0; i < family->fieldCount; i++) {
        const StatsField *f = &family->fields[i];
        if (f->rule != STATS_SUM_AVERAGE) continue;
        int64_t count = get<int64_t>(entry, f->parts[0]);
        if (isUnset(f, entry)) {
            setUnset(f, entry);
            put(entry, f->parts[0], int64_t{0});
        } else if (count == 0) {
            put(entry, f->parts[0], int64_t{1});
        }
    }
}
