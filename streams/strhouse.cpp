// String housekeeping: strings are never deleted when the records that use them expire, so a check
// marks every string still referred to (queue-manager names, every record of every stream, and what
// registered holders keep outside streams), measures how much of each big "$STRINGS" blob is unused,
// and when enough is, rewrites the sparse blobs with only the strings in use. Marks live in the low
// byte of each entry's reserved field and are cleared again before anything is written.
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "streams/internal.h"

namespace {

constexpr int kMaxHolders = 16;
constexpr int64_t kCheckDelay = 600;  // seconds from the first expiry to the check it schedules
constexpr uint32_t kMaxSelected = 20;

EvStringHolderWalker holders[kMaxHolders];
int holderCount = 0;

struct MarkCounts {
    int64_t qmgrs, streams, msgs, blobs, attrs, strings, filters, byteStrings;
};
MarkCounts marks;
// While set, marking only notes the highest id met (evStringsKeepStoredIds).
uint32_t *highestMet = nullptr;

void markId(uint32_t id) {
    if (highestMet) {
        if (id > *highestMet) *highestMet = id;
        return;
    }
    const StringEntry *e = evStringLookup(id);  // the copy every look-up of the id gives
    if (e != &evStringNotPresentEntry && e->storedEntry) e->storedEntry[ENTRY_MARK] = 1;
}

bool isMarked(const uint8_t *bh, const BlobEntry &entry) {
    return bh[entry.offset + ENTRY_MARK] != 0;
}

// Calls visit(blob header, length, node) on the current blob (node null) and every full blob.
template <class Visit>
void forEachBlob(Stream *stream, Visit visit) {
    visit(evStreamCurrentBlob(stream), stream->header->used - SH_BLOB, static_cast<StreamBlob *>(nullptr));
    for (StreamBlob *blob = stream->blobs; blob; blob = blob->next)
        visit(evStreamBlobHeader(blob), evBlobLength(evStreamBlobHeader(blob)), blob);
}

template <class Visit>
void forEachEntry(const uint8_t *bh, uint32_t length, Visit visit) {
    BlobWalk walk;
    BlobEntry entry;
    evBlobWalkInit(&walk, bh, length, 0);
    while (evBlobWalkNext(&walk, &entry) > 0) visit(entry);
}

void clearMarks(Stream *strings, bool bigOnly, bool keepSelected) {
    forEachBlob(strings, [&](uint8_t *bh, uint32_t length, StreamBlob *node) {
        uint32_t flags = evBlobFlags(bh);
        if (bigOnly && (!node || !(flags & BLOB_BIG))) return;
        if (keepSelected && (flags & BLOB_SELECTED)) return;
        forEachEntry(bh, length, [&](const BlobEntry &entry) { bh[entry.offset + ENTRY_MARK] = 0; });
    });
}

// 4. Every string referred to gets its mark.
void markInUse(bool report) {
    marks = MarkCounts{};
    EvStreamHooks *hooks = evStreamGetHooks();
    for (QmgrEntry *qmgr = hooks->nextQmgr ? hooks->nextQmgr(nullptr) : nullptr; qmgr;
         qmgr = hooks->nextQmgr(qmgr)) {
        marks.qmgrs++;
        if (hooks->qmgrIdentity) {
            uint32_t number = 0, nameId = 0;
            const char *name = nullptr;
            hooks->qmgrIdentity(qmgr, &number, &name, &nameId);
            markId(nameId);
        }
        Stream **list = evStreamQmgrList(qmgr);
        for (Stream *stream = list ? *list : nullptr; stream; stream = stream->next) {
            marks.streams++;
            forEachBlob(stream, [&](uint8_t *bh, uint32_t length, StreamBlob *) {
                marks.blobs++;
                forEachEntry(bh, length, [&](const BlobEntry &entry) {
                    evStringMarkRecord(entry.data, entry.dataLength);
                });
            });
        }
    }
    for (int i = 0; i < holderCount; i++) holders[i]();
    if (!report) return;
    evOutputF(EV_OUT_PROGRESS, 1,
              "QMS(%" PRId64 ") Streams(%" PRId64 ") Msgs(%" PRId64 ") Blobs(%" PRId64 ") Attrs(%" PRId64 ")",
              marks.qmgrs, marks.streams, marks.msgs, marks.blobs, marks.attrs);
    evOutputF(EV_OUT_PROGRESS, 1,
              "  Strings(%" PRId64 ") StringFilters(%" PRId64 ") ByteStrings(%" PRId64 ")", marks.strings,
              marks.filters, marks.byteStrings);
}

void printRange(const Stream *strings) {
    const uint8_t *message = evStreamMessage(strings);
    evOutputF(EV_OUT_PROGRESS, 1,
              "Message Range: Small (%" PRId64 ", %" PRId64 ") Big (%" PRId64 ", %" PRId64 ")",
              mqiGetI64(message, SH_SMALL_FIRST), mqiGetI64(message, SH_SMALL_LAST),
              mqiGetI64(message, SH_BIG_FIRST), mqiGetI64(message, SH_BIG_LAST));
}

uint64_t consolidatedSize(const Stream *strings) {
    return uint64_t{strings->factor} * strings->blobSize;
}

// 5. Which big blobs are worth rewriting, and whether together they are worth it.
bool measure(Stream *strings, bool print) {
    uint64_t n = consolidatedSize(strings);
    uint64_t reclaimable = 0;
    int64_t consolidated = 0;
    uint32_t selected = 0;
    if (print) printRange(strings);
    for (StreamBlob *blob = strings->blobs; blob; blob = blob->next) {
        uint8_t *bh = evStreamBlobHeader(blob);
        uint32_t flags = evBlobFlags(bh) & ~BLOB_SELECTED;
        evBlobSetFlags(bh, flags);
        uint32_t length = evBlobLength(bh);
        int64_t used = 0, usedBytes = 0, unused = 0, unusedBytes = 0;
        forEachEntry(bh, length, [&](const BlobEntry &entry) {
            if (isMarked(bh, entry)) {
                used++;
                usedBytes += entry.total;
            } else {
                unused++;
                unusedBytes += entry.total;
            }
        });
        if (!(flags & BLOB_BIG)) {
            if (print)
                evOutputF(EV_OUT_PROGRESS, 1, "S Message %5" PRId64 " : Size(%7u) Used(%6u)",
                          static_cast<int64_t>(evBlobNumber(bh)), length, evBlobRecords(bh));
            continue;
        }
        if (flags & BLOB_DROP) continue;
        uint64_t capacity = n > length ? n : length;
        uint64_t free = capacity - length + static_cast<uint64_t>(unusedBytes);
        double freePercent = static_cast<double>(free) * 100.0 / static_cast<double>(capacity);
        if (freePercent > 100.0) freePercent = 100.0;
        if (print)
            evOutputF(EV_OUT_PROGRESS, 1,
                      "B Message %5" PRId64 " : Size(%7" PRId64 ") Used(%6" PRId64 " - %7" PRId64
                      ") Unused(%6" PRId64 " - %7" PRId64 ") Free %%%6.2lf",
                      static_cast<int64_t>(evBlobNumber(bh)), static_cast<int64_t>(length), used, usedBytes,
                      unused, unusedBytes, freePercent);
        if (selected < kMaxSelected && (freePercent >= 20.0 || uint64_t{length} * 5 <= n * 4)) {
            evBlobSetFlags(bh, flags | BLOB_SELECTED);
            selected++;
            reclaimable += free;
            consolidated += used;
        }
    }
    if (print) {
        evOutputF(EV_OUT_PROGRESS, 1, "Reclaimable Storage  : %" PRId64 "Kb",
                  static_cast<int64_t>(reclaimable / 1024));
        evOutputF(EV_OUT_PROGRESS, 1, "Consolidated Strings : %" PRId64, consolidated);
    }
    return reclaimable >= 2 * n && selected >= 3;
}

// Unlinks and frees the pooled string stored at that entry (not another copy of its id).
bool freeStoredString(const uint8_t *entry) {
    if (!evStrings.byId) return false;
    uint32_t id = mqiGetU32(entry + ENTRY_PREFIX, 0);
    for (StringEntry **link = &evStrings.byId[id % evStrings.buckets]; *link; link = &(*link)->nextById) {
        StringEntry *e = *link;
        if (e->storedEntry != entry) continue;
        *link = e->nextById;
        StringEntry **text = &evStrings.byText[evStringHash(e->text, e->length) % evStrings.buckets];
        while (*text && *text != e) text = &(*text)->nextByText;
        if (*text) *text = e->nextByText;
        CSFreeMem(e);
        if (evStrings.strings) evStrings.strings--;
        return true;
    }
    return false;
}

// ---- Housekeeping's output blobs ----

struct Output {
    StreamBlob *node;
    StreamBlob *replaces;  // the selected blob whose number it takes over, or null
};

struct Outputs {
    Output *items = nullptr;
    uint32_t count = 0, capacity = 0;
    bool lowered = false;  // a number below the lowest big one was used

    ~Outputs() {
        if (items) CSFreeMem(items);
    }
    bool replaced(const StreamBlob *blob) const {
        for (uint32_t i = 0; i < count; i++)
            if (items[i].replaces == blob) return true;
        return false;
    }
    void freeAll() {
        for (uint32_t i = 0; i < count; i++) evStreamBlobFree(items[i].node);
        count = 0;
    }
};

// The number of the next output blob: the first gap in the big numbers, else the lowest less one, else
// that of a selected blob not yet replaced (*replaces). 0 when there is none.
uint64_t outputNumber(Stream *strings, Outputs *outputs, StreamBlob **replaces) {
    *replaces = nullptr;
    uint32_t n = outputs->count;
    for (StreamBlob *blob = strings->blobs; blob; blob = blob->next) n++;
    auto *numbers = static_cast<uint64_t *>(CSGetMem(uint64_t{n} * sizeof(uint64_t) + 8));
    if (!numbers) return 0;
    uint32_t count = 0;
    auto add = [&](uint64_t number) {
        uint32_t i = count++;  // kept in descending order
        while (i > 0 && numbers[i - 1] < number) {
            numbers[i] = numbers[i - 1];
            i--;
        }
        numbers[i] = number;
    };
    for (StreamBlob *blob = strings->blobs; blob; blob = blob->next) {
        const uint8_t *bh = evStreamBlobHeader(blob);
        if ((evBlobFlags(bh) & BLOB_BIG) && !(evBlobFlags(bh) & BLOB_DROP)) add(evBlobNumber(bh));
    }
    for (uint32_t i = 0; i < outputs->count; i++)
        add(evBlobNumber(evStreamBlobHeader(outputs->items[i].node)));
    uint64_t number = 0;
    for (uint32_t i = 1; i < count && !number; i++)
        if (numbers[i - 1] - numbers[i] > 1) number = numbers[i] + 1;
    if (!number && count && numbers[count - 1] > 1) {
        number = numbers[count - 1] - 1;
        outputs->lowered = true;
    }
    CSFreeMem(numbers);
    if (number) return number;
    for (StreamBlob *blob = strings->blobs; blob; blob = blob->next) {
        if (!(evBlobFlags(evStreamBlobHeader(blob)) & BLOB_SELECTED) || outputs->replaced(blob)) continue;
        *replaces = blob;
        return evBlobNumber(evStreamBlobHeader(blob));
    }
    return 0;
}

bool startOutput(Stream *strings, Outputs *outputs) {
    StreamBlob *replaces = nullptr;
    uint64_t number = outputNumber(strings, outputs, &replaces);
    if (number == 0) return false;
    uint64_t capacity = consolidatedSize(strings);
    if (replaces && evBlobLength(evStreamBlobHeader(replaces)) > capacity)
        capacity = evBlobLength(evStreamBlobHeader(replaces));
    if (outputs->count == outputs->capacity) {
        uint32_t bigger = outputs->capacity ? outputs->capacity * 2 : 8;
        auto *grown = static_cast<Output *>(CSGetMem(uint64_t{bigger} * sizeof(Output)));
        if (!grown) return false;
        if (outputs->items) {
            std::memcpy(grown, outputs->items, outputs->count * sizeof(Output));
            CSFreeMem(outputs->items);
        }
        outputs->items = grown;
        outputs->capacity = bigger;
    }
    Area *area = AreaGet(static_cast<uint32_t>(capacity), 0, "evMSG");
    auto *node = area ? static_cast<StreamBlob *>(CSGetMem(sizeof(StreamBlob))) : nullptr;
    if (!node) {
        AreaRelease(&area);
        return false;
    }
    // One that takes over a number keeps that blob's flags (and its last write).
    constexpr uint32_t kTakenOver = BLOB_EXISTS | BLOB_DEDUPED;
    uint32_t flags = BLOB_BIG | BLOB_UPDATED;
    if (replaces) flags |= evBlobFlags(evStreamBlobHeader(replaces)) & kTakenOver;
    *node = StreamBlob{nullptr, area, replaces ? replaces->stamp : BlobStamp{}};
    evBlobHeaderInit(AreaData(area), flags, number);
    area->used = BLOB_HEADER_LENGTH;
    outputs->items[outputs->count++] = Output{node, replaces};
    return true;
}

// Copies the marked entries of the selected blobs into output blobs. Nothing else changes; false
// (outputs freed) when out of numbers or storage.
bool buildOutputs(Stream *strings, Outputs *outputs) {
    uint16_t previous = 0;
    for (StreamBlob *blob = strings->blobs; blob; blob = blob->next) {
        uint8_t *bh = evStreamBlobHeader(blob);
        if (!(evBlobFlags(bh) & BLOB_SELECTED)) continue;
        bool ok = true;
        forEachEntry(bh, evBlobLength(bh), [&](const BlobEntry &entry) {
            if (!ok || !isMarked(bh, entry)) return;
            Area *out = outputs->count ? outputs->items[outputs->count - 1].node->area : nullptr;
            if (!out || out->used + entry.total > out->size) {
                if (!startOutput(strings, outputs)) {
                    ok = false;
                    return;
                }
                out = outputs->items[outputs->count - 1].node->area;
                previous = 0;
            }
            uint8_t *o = AreaData(out);
            std::memcpy(o + out->used, bh + entry.offset, entry.total);
            mqiPutU16(o + out->used, ENTRY_PREVIOUS, previous);
            o[out->used + ENTRY_MARK] = 0;
            mqiPutU32(o, BH_LAST_ENTRY, out->used);
            mqiPutU32(o, BH_RECORDS, evBlobRecords(o) + 1);
            out->used += entry.total;
            mqiPutU32(o, BH_LENGTH, out->used);
            previous = entry.total;
        });
        if (!ok) {
            outputs->freeAll();
            return false;
        }
    }
    return true;
}

// Moves the pool onto the output blobs: each marked entry's string to its copy (the copies are in the
// same order), each unmarked entry's string out of the pool.
int64_t applyOutputs(Stream *strings, Outputs *outputs) {
    int64_t moved = 0;
    uint32_t index = 0;
    BlobWalk out{};
    BlobEntry copy;
    if (outputs->count) {
        Area *area = outputs->items[0].node->area;
        evBlobWalkInit(&out, AreaData(area), area->used, 0);
    }
    for (StreamBlob *blob = strings->blobs; blob; blob = blob->next) {
        uint8_t *bh = evStreamBlobHeader(blob);
        if (!(evBlobFlags(bh) & BLOB_SELECTED)) continue;
        forEachEntry(bh, evBlobLength(bh), [&](const BlobEntry &entry) {
            if (!isMarked(bh, entry)) {
                freeStoredString(bh + entry.offset);
                if (strings->recordCount) strings->recordCount--;
                return;
            }
            while (evBlobWalkNext(&out, &copy) <= 0 && ++index < outputs->count) {
                Area *area = outputs->items[index].node->area;
                evBlobWalkInit(&out, AreaData(area), area->used, 0);
            }
            if (index >= outputs->count) return;
            evStringRepoint(bh + entry.offset, AreaData(outputs->items[index].node->area) + copy.offset);
            moved++;
        });
    }
    return moved;
}

// Replaced blobs go, the other selected ones are dropped at the next harden, the outputs join the big
// blobs in number order, and the big range is what the big blobs now hold.
void relink(Stream *strings, Outputs *outputs) {
    for (StreamBlob **link = &strings->blobs; *link;) {
        StreamBlob *blob = *link;
        uint8_t *bh = evStreamBlobHeader(blob);
        uint32_t flags = evBlobFlags(bh);
        if (!(flags & BLOB_SELECTED)) {
            link = &blob->next;
            continue;
        }
        if (outputs->replaced(blob)) {
            *link = blob->next;
            evStreamBlobFree(blob);
            if (strings->blobCount) strings->blobCount--;
            continue;
        }
        evBlobSetFlags(bh, (flags & ~BLOB_SELECTED) | BLOB_DROP);
        link = &blob->next;
    }
    for (uint32_t i = 0; i < outputs->count; i++) {
        StreamBlob *node = outputs->items[i].node;
        uint64_t number = evBlobNumber(evStreamBlobHeader(node));
        StreamBlob **link = &strings->blobs;
        while (*link) {
            const uint8_t *bh = evStreamBlobHeader(*link);
            if ((evBlobFlags(bh) & BLOB_BIG) && evBlobNumber(bh) < number) break;
            link = &(*link)->next;
        }
        node->next = *link;
        *link = node;
        strings->blobCount++;
    }
    outputs->count = 0;  // linked now
    uint64_t low = 0, high = 0;
    for (StreamBlob *blob = strings->blobs; blob; blob = blob->next) {
        const uint8_t *bh = evStreamBlobHeader(blob);
        if (!(evBlobFlags(bh) & BLOB_BIG) || (evBlobFlags(bh) & BLOB_DROP)) continue;
        if (!low || evBlobNumber(bh) < low) low = evBlobNumber(bh);
        if (evBlobNumber(bh) > high) high = evBlobNumber(bh);
    }
    uint8_t *message = evStreamMessage(strings);
    if (static_cast<uint64_t>(mqiGetI64(message, SH_BIG_FIRST)) != low ||
        static_cast<uint64_t>(mqiGetI64(message, SH_BIG_LAST)) != high || outputs->lowered) {
        mqiPutI64(message, SH_BIG_FIRST, static_cast<int64_t>(low));
        mqiPutI64(message, SH_BIG_LAST, static_cast<int64_t>(high));
        uint8_t *current = evStreamCurrentBlob(strings);
        evBlobSetFlags(current, evBlobFlags(current) | BLOB_UPDATED);
    }
    strings->flags |= STREAM_NEEDS_HARDENING;
}

void clearSelection(Stream *strings) {
    for (StreamBlob *blob = strings->blobs; blob; blob = blob->next) {
        uint8_t *bh = evStreamBlobHeader(blob);
        evBlobSetFlags(bh, evBlobFlags(bh) & ~BLOB_SELECTED);
    }
}

}  // namespace

void evStringMarkRecord(const uint8_t *record, uint32_t length) {
    if (!record || length < EVCF_HEADER_LENGTH || !evStrings.byId) return;
    marks.msgs++;
    if (evCFGetFlags(record) & EVCF_FLAG_EVENT) {
        markId(evCFGetObjectName(record));
        markId(evCFGetUserId(record));
    }
    evCFCursor cursor;
    evCFCursorInit(&cursor, nullptr, record, length, 0, 0);
    for (;;) {
        evCFItem item;
        int32_t compCode = MQCC_OK, reason = 0;
        evCFNextParm(&cursor, &item, &compCode, &reason);
        if (compCode != MQCC_OK) break;
        marks.attrs++;
        switch (item.type) {
            case EVCF_STRING_ID:
                marks.strings++;
                markId(static_cast<uint32_t>(item.value));
                break;
            case EVCF_FILTER_ID:
                marks.filters++;
                markId(static_cast<uint32_t>(item.value));
                break;
            case EVCF_BYTES_ID:
                marks.byteStrings++;
                markId(static_cast<uint32_t>(item.value));
                break;
            case EVCF_STRING_ID_LIST:
                for (int32_t i = 0; i < item.count; i++) {
                    marks.strings++;
                    markId(mqiGetU32(item.data, 4 * static_cast<size_t>(i)));
                }
                break;
            default:
                break;
        }
    }
}

int evStringsAddHolder(EvStringHolderWalker walker) {
    for (int i = 0; i < holderCount; i++)
        if (holders[i] == walker) return 1;
    if (!walker || holderCount == kMaxHolders) return 0;
    holders[holderCount++] = walker;
    return 1;
}

void evStringsRemoveHolder(EvStringHolderWalker walker) {
    for (int i = 0; i < holderCount; i++) {
        if (holders[i] != walker) continue;
        holders[i] = holders[--holderCount];
        return;
    }
}

void evStringsKeepStoredIds() {
    if (!evStrings.incomplete) return;
    evStrings.incomplete = 0;
    uint32_t highest = 0;
    highestMet = &highest;
    markInUse(false);
    highestMet = nullptr;
    if (highest <= evStrings.highestId) return;
    evOutputF(EV_OUT_ERROR, 1,
              "Stored strings were lost: new string ids start above %u, the highest stored records carry",
              highest);
    evStrings.highestId = highest;
}

void evStringRepoint(const uint8_t *oldEntry, uint8_t *newEntry) {
    if (!evStrings.byId) return;
    uint32_t id = mqiGetU32(newEntry + ENTRY_PREFIX, 0);
    for (StringEntry *e = evStrings.byId[id % evStrings.buckets]; e; e = e->nextById)
        if (e->storedEntry == oldEntry) e->storedEntry = newEntry;
}

void evStringScheduleCheck() {
    if (evStrings.checkNoted || evStrings.needed) return;
    evStrings.checkNoted = evClockNow();
    int64_t at = evStrings.checkNoted + kCheckDelay;
    char date[10], time[9] = {};
    evNowDateTime(&at, date, time);
    for (char &c : time)
        if (c == '.') c = ':';
    evOutputF(EV_OUT_PROGRESS, 1, "Housekeeping check at %.8s", time);
}

int evCheckStringHousekeeping(EvStreamIo *io, int force, int report, int update) {
    // 1. Only when due.
    int64_t now = evClockNow();
    bool scheduled = evStrings.checkNoted != 0 && now - evStrings.checkNoted >= kCheckDelay;
    if (!force && !evStrings.needed && !scheduled) return 1;
    Stream *strings = evStrings.stream;
    if (!strings || !evStrings.byId) return 1;
    // 2-4.
    evOutput(EV_OUT_PROGRESS, update ? "Check String Housekeeping(UPDATE)" : "Check String Housekeeping", -1,
             1);
    clearMarks(strings, false, false);
    markInUse(report != 0);
    // 5.
    bool print = report || (evDebugFlags.load(std::memory_order_relaxed) & EV_DBG_H);
    bool needed = measure(strings, print);
    evOutput(EV_OUT_PROGRESS, needed ? "Housekeeping recommended" : "Housekeeping not necessary", -1, 1);
    if (!needed)
        evStrings.needed = 0;
    else if (update)
        evStrings.needed = 1;
    // 6. The blobs that are not rewritten must not carry marks to the queue.
    int ok = 1;
    if (update) {
        evStrings.checkNoted = 0;
        if (needed) {
            clearMarks(strings, false, true);
            ok = evStringHousekeeping(io, report);
        }
    }
    // 7.
    clearMarks(strings, false, false);
    clearSelection(strings);
    CSMemCounts mem = CSMemCounters();
    evOutputF(EV_OUT_PROGRESS, 1, "Check String Housekeeping Complete Mem(%d,%d)",
              static_cast<int>(mem.blocks), static_cast<int>(mem.bytes));
    return ok;
}

int evStringHousekeeping(EvStreamIo *io, int report) {
    Stream *strings = evStrings.stream;
    if (!strings) return 1;
    evOutput(EV_OUT_PROGRESS, "String Housekeeping", -1, 1);
    // 1-2. The new blobs are built first; a failure leaves everything as it was.
    Outputs outputs;
    if (!buildOutputs(strings, &outputs)) {
        evOutput(EV_OUT_ERROR, "String Housekeeping failed: no blob number or storage for the new blobs", -1,
                 1);
        clearSelection(strings);
        return 0;
    }
    int64_t moved = applyOutputs(strings, &outputs);
    // 3.
    relink(strings, &outputs);
    evStreamRecompute(strings);
    printRange(strings);
    // 4.
    if (!evStreamHarden(io, strings)) return 0;
    if (report) evOutputF(EV_OUT_PROGRESS, 1, "Consolidated Strings : %" PRId64, moved);
    if (!evStreamCommit(io)) return 0;
    evStrings.needed = 0;
    evOutput(EV_OUT_PROGRESS, "String Housekeeping Complete", -1, 1);
    return 1;
}
