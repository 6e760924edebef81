// Search of stored records by time: the displays walk the blobs of the streams they matched, newest
// first, take each record by its time and their filters, and collect the accepted ones in an index
// linked in time order. The index points at the stored entries; nothing is allocated per record but
// the index's growth.
#include <cstdio>
#include <cstring>
#include <string>

#include "expr/expr.h"
#include "streams/internal.h"

namespace {

constexpr const char *kNoStorage = "No storage available.";

// The parameters that may carry a user identifier in a record with more than one (flag 4).
constexpr int32_t kUserParms[] = {2041, 3025, 3039, 3045, 3110, 3156, 3206, 3517, 3527, 3549};

bool tracing(uint32_t bit) {
    return (evDebugFlags.load(std::memory_order_relaxed) & bit) != 0;
}

bool cancelled(const EvSearchQuery *query) {
    for (const std::atomic<int32_t> *flag : query->cancel)
        if (flag && flag->load(std::memory_order_relaxed)) return true;
    return false;
}

uint32_t limitOf(const EvSearchQuery *query) {
    return query->maxResults < EV_SEARCH_MAX_RESULTS ? query->maxResults : EV_SEARCH_MAX_RESULTS;
}

int errorReply(QmgrContext *context, int32_t command, int32_t reason, const char *text) {
    EvStreamHooks *hooks = evStreamGetHooks();
    return hooks->errorReply ? hooks->errorReply(context, command, reason, text) : 0;
}

// "yyyy-mm-dd hh:mm:ss" in local time.
void localText(int64_t time, char *out, size_t size) {
    char date[10], clock[8];
    evNowDateTime(&time, date, clock);
    std::snprintf(out, size, "%.10s %.8s", date, clock);
    for (char *p = out + 11; *p; p++)
        if (*p == '.') *p = ':';
}

bool textMatches(const EvSearchQuery *query, uint32_t id, const char *pattern, uint32_t patternLength,
                 bool ignoreCase) {
    const StringEntry *entry = evStringLookup(id);
    const char *text = entry->text;
    size_t length = entry->length;
    // A text in another CCSID (UTF-16 among them) is compared as it reads in the pattern's.
    std::string converted;
    if (query->convert != nullptr && query->patternCcsid != 0 && entry->ccsid != 0 &&
        static_cast<int32_t>(entry->ccsid) != query->patternCcsid && length > 0) {
        converted.resize(4 * length + 16);
        auto got = static_cast<int32_t>(converted.size());
        if (query->convert(text, static_cast<int32_t>(length), converted.data(), &got,
                           static_cast<int32_t>(entry->ccsid), query->patternCcsid) == 0) {
            text = converted.data();
            length = static_cast<size_t>(got);
        }
    }
    return ignoreCase ? evWildMatchNoCase(text, length, pattern, patternLength) != 0
                      : evWildMatch(text, length, pattern, patternLength) != 0;
}

// The classification of a stored record. The classifier may name the queue manager as the object in
// the header it is given; a stored record is only read here, so those two bytes are put back.
uint32_t classify(const uint8_t *record, uint32_t length, uint32_t *category) {
    auto *writable = const_cast<uint8_t *>(record);
    uint8_t objectType[2] = {writable[28], writable[29]};
    uint32_t subtype = evClassifyEvent(writable, length, category, nullptr);
    writable[28] = objectType[0];
    writable[29] = objectType[1];
    return subtype;
}

// WHERE on the current record: a non-zero integer, a real whose integer part is not 0, or a list
// holding a character. A string, and a failed evaluation, are false.
bool whereHolds(ExpExpression *where) {
    ExpValue result{};
    ExpValue *cursor = where->postfixNewest;
    bool holds = false;
    if (expEvaluate(where, &cursor, &result)) {
        switch (result.type) {
            case EXP_INT:
                holds = result.value.i != 0;
                break;
            case EXP_DBL:
                holds = expDoubleToInteger(result.value.d, INT64_MIN, INT64_MAX) != 0;
                break;
            case EXP_LIST:
                holds = expListTotalLength(&result) > 0;
                break;
            default:
                break;
        }
    }
    expReleaseValue(&result);
    return holds;
}

// Step 4: the filters an event record must pass, in order.
bool eventPasses(EvSearchQuery *query, const uint8_t *record, uint32_t length) {
    if ((evCFGetFlags(record) & EVCF_FLAG_INQUIRE) && !query->displayCommands) return false;
    if (query->objectType && evCFGetObjectType(record) != query->objectType) return false;
    if (query->typeFilter[0] || query->typeFilter[1]) {
        uint32_t category = 0;
        uint32_t subtype = classify(record, length, &category);
        if (query->typeFilter[0] && subtype != query->typeFilter[0] && category != query->typeFilter[0])
            return false;
        if (query->typeFilter[1] && category != query->typeFilter[1]) return false;
    }
    if (query->objectPatternLength && !textMatches(query, evCFGetObjectName(record), query->objectPattern,
                                                   query->objectPatternLength, false))
        return false;
    if (query->userPatternLength && !evMatchRecordName(query, record, length)) return false;
    return !query->where || whereHolds(query->where);
}

// Step 3: whether the record's time puts it in the query, and that time. Event records go by their
// event time within [window start, window end); other records by their interval end, or, aggregated
// ones, by the overlap of their interval with the window.
bool takenByTime(const EvSearchQuery *query, const EvSearchMatch *match, const uint8_t *record, bool *event,
                 int64_t *time) {
    uint16_t flags = evCFGetFlags(record);
    *event = (flags & EVCF_FLAG_EVENT) != 0;
    if (*event) {
        *time = evCFGetEventTime(record);
        return match->windowStart <= *time && *time < match->windowEnd && *time >= query->start;
    }
    int64_t end = evCFGetIntervalEnd(record);
    int64_t start = evCFGetIntervalStart(record);
    *time = end;
    if (query->intervalMode) return query->start <= end && end <= match->windowEnd && end <= query->end;
    if (flags & EVCF_FLAG_AGGREGATED)
        return start < match->windowEnd && end > query->start && end >= match->windowStart;
    if (query->exactWindow) return start == query->start && end == query->end;
    return match->windowStart <= end && end <= match->windowEnd && end > query->start;
}

void linkAfter(EvSearchIndex *index, int32_t at, int32_t n) {
    EvSearchSlot *slots = index->slots;
    slots[n].earlier = at;
    slots[n].later = slots[at].later;
    if (slots[at].later >= 0)
        slots[slots[at].later].earlier = n;
    else
        index->tail = n;
    slots[at].later = n;
}

void linkBefore(EvSearchIndex *index, int32_t at, int32_t n) {
    EvSearchSlot *slots = index->slots;
    slots[n].later = at;
    slots[n].earlier = slots[at].earlier;
    if (slots[at].earlier >= 0)
        slots[slots[at].earlier].later = n;
    else
        index->head = n;
    slots[at].earlier = n;
}

}  // namespace

int evSearchGrowResults(EvSearchQuery *query) {
    uint32_t limit = limitOf(query);
    EvSearchIndex *old = query->index;
    uint64_t capacity = query->firstCapacity;
    if (old) {
        if (old->count >= limit) {
            query->full = 1;
            return 0;
        }
        capacity = uint64_t{old->capacity} * 2;
    }
    if (capacity < EV_SEARCH_MIN_CAPACITY) capacity = EV_SEARCH_MIN_CAPACITY;
    if (capacity > limit) capacity = limit;
    auto *index =
        static_cast<EvSearchIndex *>(CSGetMem(sizeof(EvSearchIndex) + capacity * sizeof(EvSearchSlot)));
    if (!index) {
        errorReply(query->context, query->command, MQRC_STORAGE_NOT_AVAILABLE, kNoStorage);
        return 0;
    }
    *index = old ? *old : EvSearchIndex{0, 0, -1, -1, -1, 1, nullptr};
    index->capacity = static_cast<uint32_t>(capacity);
    index->slots =
        reinterpret_cast<EvSearchSlot *>(reinterpret_cast<uint8_t *>(index) + sizeof(EvSearchIndex));
    if (old) {
        if (old->count) std::memcpy(index->slots, old->slots, old->count * sizeof(EvSearchSlot));
        CSFreeMem(old);
    }
    query->index = index;
    return 1;
}

void evSearchFreeResults(EvSearchQuery *query) {
    if (query->index) CSFreeMem(query->index);
    query->index = nullptr;
}

int evSearchAddResult(EvSearchQuery *query, const uint8_t *entry, int64_t time) {
    if (cancelled(query)) return 0;
    if ((!query->index || query->index->count == query->index->capacity) && !evSearchGrowResults(query))
        return 0;
    EvSearchIndex *index = query->index;
    auto n = static_cast<int32_t>(index->count++);
    EvSearchSlot *slots = index->slots;
    slots[n] = EvSearchSlot{-1, -1, entry, query->qmgr, query->stream, time};
    if (n == 0) {
        index->head = index->tail = 0;
    } else {
        // From the slot inserted last: back while the slots are later, else on while they are
        // earlier; the new slot goes before a slot of the same time.
        int32_t at = index->hint >= 0 ? index->hint : index->tail;
        if (slots[at].time > time) {
            while (at >= 0 && slots[at].time > time) at = slots[at].earlier;
            if (at >= 0)
                linkAfter(index, at, n);
            else
                linkBefore(index, index->head, n);
        } else {
            while (at >= 0 && slots[at].time < time) at = slots[at].later;
            if (at >= 0)
                linkBefore(index, at, n);
            else
                linkAfter(index, index->tail, n);
        }
    }
    index->hint = n;
    return 1;
}

int evMatchRecordName(const EvSearchQuery *query, const uint8_t *record, uint32_t length) {
    if (!record || length < EVCF_HEADER_LENGTH) return 0;
    uint32_t userId = evCFGetUserId(record);
    if (userId == 0) return 0;
    const char *pattern = query->userPattern;
    uint32_t patternLength = query->userPatternLength;
    if (!(evCFGetFlags(record) & EVCF_FLAG_MULTI_USER))
        return textMatches(query, userId, pattern, patternLength, true);
    evCFCursor cursor;
    evCFCursorInit(&cursor, nullptr, record, length, 0, 0);
    for (;;) {
        evCFItem item;
        int32_t compCode = MQCC_OK, reason = 0;
        evCFNextParm(&cursor, &item, &compCode, &reason);
        if (compCode == MQCC_FAILED) return 0;  // the end, or damage
        if (item.type != EVCF_STRING_ID) continue;
        for (int32_t id : kUserParms)
            if (item.parmId == id &&
                textMatches(query, static_cast<uint32_t>(item.value), pattern, patternLength, true))
                return 1;
    }
}

int evSearchBlob(EvSearchQuery *query, const EvSearchMatch *match, const uint8_t *bh, uint32_t extent) {
    // 1. Empty blobs, and for events blobs wholly outside the window, are skipped. Statistics are
    // taken by interval, which the blob's times do not bound. Unlike the documented skip, the end of
    // a blob is its latest record date, not its newest time: a record dated after its arrival counts
    // at its arrival there (for retention), yet is searched by its own date. The oldest time is at
    // most any record's own date.
    if (extent < BLOB_HEADER_LENGTH || evBlobRecords(bh) == 0) return 1;
    uint32_t type = match->stream->definition ? match->stream->definition->type : 0;
    bool statistics = type >= STREAM_TYPE_STATQ && type <= STREAM_TYPE_ACCTMQI;
    if (!statistics && (evBlobLatest(bh) < query->start || evBlobOldest(bh) > query->end)) return 1;
    if (tracing(EV_DBG_f)) {
        char oldest[24], newest[24];
        localText(evBlobOldest(bh), oldest, sizeof oldest);
        localText(evBlobNewest(bh), newest, sizeof newest);
        evOutputF(EV_OUT_PROGRESS, 1, "Checking Items %s to %s", oldest, newest);
    }
    // 2-5. Newest entry first; the walker stops at damage.
    BlobWalk walk;
    evBlobWalkInit(&walk, bh, extent, 1);
    BlobEntry entry;
    while (evBlobWalkNext(&walk, &entry) > 0) {
        if (entry.dataLength < EVCF_HEADER_LENGTH) continue;
        const uint8_t *record = entry.data;
        bool event = false;
        int64_t time = 0;
        if (!takenByTime(query, match, record, &event, &time)) continue;
        query->record = record;
        query->recordLength = entry.dataLength;
        if (event && !eventPasses(query, record, entry.dataLength)) continue;
        if (query->match && !query->match(query, record, entry.dataLength)) continue;
        if (!evSearchAddResult(query, bh + entry.offset, time)) return 0;
    }
    return 1;
}

int evSearchStreams(QmgrContext *context, EvSearchQuery *query, int32_t direction) {
    query->context = context;
    query->full = 0;
    if (tracing(EV_DBG_i)) evOutput(EV_OUT_PROGRESS, "Searching streams", -1, 1);
    if (!query->index && !evSearchGrowResults(query)) return 0;
    if (cancelled(query)) return 0;
    query->index->direction = direction;
    query->index->hint = -1;
    bool going = true;
    for (uint32_t i = 0; going && i < query->matchCount; i++) {
        const EvSearchMatch *match = &query->matches[i];
        Stream *stream = match->stream;
        query->qmgr = match->qmgr;
        query->stream = stream;
        if (!stream || !stream->header) continue;
        if (tracing(EV_DBG_i)) evOutput(EV_OUT_PROGRESS, "Searching all messages", -1, 1);
        auto scan = [&](const uint8_t *bh, uint32_t extent) {
            if (cancelled(query)) return false;
            if (tracing(EV_DBG_i)) evOutput(EV_OUT_PROGRESS, "Searching a message", -1, 1);
            return evSearchBlob(query, match, bh, extent) != 0;
        };
        going = scan(evStreamCurrentBlob(stream), stream->header->used - SH_BLOB);
        for (StreamBlob *blob = stream->blobs; going && blob; blob = blob->next)
            going = scan(evStreamBlobHeader(blob), blob->area->used);
        if (tracing(EV_DBG_i)) evOutput(EV_OUT_PROGRESS, "Searching messages complete", -1, 1);
    }
    if (tracing(EV_DBG_i)) evOutput(EV_OUT_PROGRESS, "Searching streams complete", -1, 1);
    if (going) return 1;
    return query->full && !cancelled(query) ? 1 : 0;
}

int evNoStreamsReply(QmgrContext *context, int32_t command, const char *streamFilter) {
    const char *kind = "";
    uint32_t type = 0;
    switch (command) {
        case 9004:
            kind = "event ", type = STREAM_TYPE_EVENTS;
            break;
        case 9023:
            kind = "statistics queue ", type = STREAM_TYPE_STATQ;
            break;
        case 9024:
            kind = "statistics channel ", type = STREAM_TYPE_STATCHL;
            break;
        case 9025:
            kind = "statistics mqi ", type = STREAM_TYPE_STATMQI;
            break;
        case 9026:
            kind = "accounting queue ", type = STREAM_TYPE_ACCTQ;
            break;
        case 9027:
            kind = "accounting mqi ", type = STREAM_TYPE_ACCTMQI;
            break;
        default:
            break;
    }
    bool filtered = streamFilter && *streamFilter && std::strcmp(streamFilter, "*") != 0;
    bool implicit = false;
    if (!filtered && type != 0) {
        // The display took the implicit streams: say so when the type has none.
        CSRecursiveGuard guard(gStructureLock);
        implicit = true;
        for (const StreamDef *def = evStreamDefList; def; def = def->next)
            if (def->type == type && def->disImplct == 1) implicit = false;
    }
    char text[80];
    std::snprintf(text, sizeof text,
                  implicit ? "No implicit display %sstreams found." : "No matching %sstreams found.", kind);
    return errorReply(context, command, MQRC_UNKNOWN_OBJECT_NAME, text);
}
