// Readers of compressed PCF records: the cursor that walks a record through its groups, the decoder of a
// single item, the search for an item, and the rebuild of standard PCF from the items. Records come
// from storage and may be damaged: every item is measured against the record end before it is read.
#include <cstdio>

#include "mqi/cf.h"

namespace {

constexpr int32_t kEndOfRecord = PCF_END_OF_MESSAGE;

// Bytes of the item at p, lead included: 0 when it runs past end, -1 for an invalid lead.
int64_t itemExtent(const uint8_t *p, const uint8_t *end) {
    int64_t avail = end - p;
    if (avail < 1) return 0;
    uint8_t lead = p[0];
    auto fits = [&](int64_t n) { return n <= avail ? n : 0; };
    auto u16At = [&](int64_t off) { return int64_t{mqiGetU16(p, static_cast<size_t>(off))}; };
    if (lead >= EVCF_LEAD_INT_BYTE_FIRST && lead <= EVCF_LEAD_INT_BYTE_LAST) return fits(4);
    if (lead >= EVCF_LEAD_SMALL_FIRST && lead <= EVCF_LEAD_CODED_LAST) return fits(3);
    switch (lead) {
        case EVCF_LEAD_INT:
        case EVCF_LEAD_STRING:
        case EVCF_LEAD_POOLED_BYTES:
        case EVCF_LEAD_INT64_U32:
            return fits(7);
        case EVCF_LEAD_INT_LIST:
        case EVCF_LEAD_STRING_LIST:
            return avail < 5 ? 0 : fits(5 + 4 * u16At(3));
        case EVCF_LEAD_BYTES:
            return avail < 5 ? 0 : fits(5 + u16At(3));
        case EVCF_LEAD_INT_FILTER:
        case EVCF_LEAD_STRING_FILTER:
            return fits(8);
        case EVCF_LEAD_BYTES_FILTER:
            return avail < 6 ? 0 : fits(6 + u16At(4));
        case EVCF_LEAD_GROUP:
        case EVCF_LEAD_INT16:
        case EVCF_LEAD_INT64_U16:
            return fits(5);
        case EVCF_LEAD_INT64:
            return fits(11);
        case EVCF_LEAD_INT_UNSET:
        case EVCF_LEAD_INT_MIXED:
        case EVCF_LEAD_INT64_UNSET:
        case EVCF_LEAD_INT64_MIXED:
        case EVCF_LEAD_STRING_MIXED:
        case EVCF_LEAD_EMPTY_STRING:
            return fits(3);
        case EVCF_LEAD_DATE_TIME:
            return fits(13);
        case EVCF_LEAD_INT64_BYTE:
            return fits(4);
        case EVCF_LEAD_PADDING: {
            int64_t n = 1;
            while (n < avail && p[n] == EVCF_LEAD_PADDING) n++;
            return n;
        }
        case EVCF_LEAD_STRUCT: {
            if (avail < 9) return 0;
            int64_t strucLength = mqiGetI32(p, 5);
            if (strucLength < 12) return 0;
            return fits(1 + strucLength);
        }
        default:
            return -1;
    }
}

int32_t u16At(const uint8_t *p, size_t offset) {
    return int32_t{mqiGetU16(p, offset)};
}

// The 32-bit integer forms: true with the item filled, false for another lead.
bool decodeInteger(const uint8_t *p, evCFItem *item) {
    uint8_t lead = p[0];
    item->type = MQCFT_INTEGER;
    if (lead >= EVCF_LEAD_INT_BYTE_FIRST && lead <= EVCF_LEAD_INT_BYTE_LAST) {
        item->value = (lead - EVCF_LEAD_INT_BYTE_FIRST) * 256 + p[3];
        return true;
    }
    if (lead >= EVCF_LEAD_SMALL_FIRST && lead <= EVCF_LEAD_CODED_LAST) {
        item->value = evCFValueCode(lead);
        return true;
    }
    switch (lead) {
        case EVCF_LEAD_INT:
            item->value = mqiGetI32(p, 3);
            return true;
        case EVCF_LEAD_INT16:
            item->value = static_cast<int16_t>(mqiGetU16(p, 3));
            return true;
        case EVCF_LEAD_INT_UNSET:
            item->value = INT32_MIN;
            return true;
        case EVCF_LEAD_INT_MIXED:
            item->value = INT32_MIN + 2;
            return true;
        default:
            item->type = 0;
            return false;
    }
}

// The 64-bit integer forms: true with the item filled, false for another lead.
bool decodeInteger64(const uint8_t *p, evCFItem *item) {
    item->type = MQCFT_INTEGER64;
    switch (p[0]) {
        case EVCF_LEAD_INT64:
            item->value = mqiGetI64(p, 3);
            return true;
        case EVCF_LEAD_INT64_BYTE:
            item->value = p[3];
            return true;
        case EVCF_LEAD_INT64_U16:
            item->value = mqiGetU16(p, 3);
            return true;
        case EVCF_LEAD_INT64_U32:
            item->value = mqiGetU32(p, 3);
            return true;
        case EVCF_LEAD_INT64_UNSET:
            item->value = INT64_MIN;
            return true;
        case EVCF_LEAD_INT64_MIXED:
            item->value = INT64_MIN + 2;
            return true;
        default:
            item->type = 0;
            return false;
    }
}

// The filters, whose operator comes before the id: true with the item filled, false for another lead.
bool decodeFilter(const uint8_t *p, evCFItem *item) {
    switch (p[0]) {
        case EVCF_LEAD_INT_FILTER:
            item->type = MQCFT_INTEGER_FILTER;
            item->value = mqiGetI32(p, 4);
            break;
        case EVCF_LEAD_STRING_FILTER:
            item->type = EVCF_FILTER_ID;
            item->value = mqiGetU32(p, 4);
            break;
        case EVCF_LEAD_BYTES_FILTER:
            item->type = MQCFT_BYTE_STRING_FILTER;
            item->length = u16At(p, 4);
            item->data = p + 6;
            break;
        default:
            return false;
    }
    item->count = p[1];
    item->parmId = u16At(p, 2);
    return true;
}

// Strings, byte strings, lists, groups, date and time pairs and whole structures.
void decodeOther(const uint8_t *p, evCFItem *item) {
    switch (p[0]) {
        case EVCF_LEAD_INT_LIST:
            item->type = MQCFT_INTEGER_LIST;
            item->count = u16At(p, 3);
            item->length = 4 * item->count;
            item->data = p + 5;
            break;
        case EVCF_LEAD_BYTES:
            item->type = MQCFT_BYTE_STRING;
            item->length = u16At(p, 3);
            item->data = p + 5;
            break;
        case EVCF_LEAD_GROUP:
            item->type = MQCFT_GROUP;
            item->count = u16At(p, 3);
            break;
        case EVCF_LEAD_STRING_MIXED:
            item->type = EVCF_STRING_MIXED;
            item->data = "*";
            item->length = 1;
            break;
        case EVCF_LEAD_EMPTY_STRING:
            item->type = MQCFT_STRING;
            item->data = "";
            item->length = 0;
            break;
        case EVCF_LEAD_DATE_TIME:
            item->type = EVCF_DATE_TIME;
            item->secondId = u16At(p, 3);
            item->value = mqiGetI64(p, 5);
            break;
        case EVCF_LEAD_STRING:
            item->type = EVCF_STRING_ID;
            item->value = mqiGetU32(p, 3);
            break;
        case EVCF_LEAD_STRING_LIST:
            item->type = EVCF_STRING_ID_LIST;
            item->count = u16At(p, 3);
            item->length = 4 * item->count;
            item->data = p + 5;
            break;
        case EVCF_LEAD_POOLED_BYTES:
            item->type = EVCF_BYTES_ID;
            item->value = mqiGetU32(p, 3);
            break;
        case EVCF_LEAD_STRUCT:
            item->type = EVCF_STRUCT;
            item->parmId = mqiGetI32(p, 9);
            item->length = mqiGetI32(p, 5);
            item->data = p + 1;
            break;
        default:
            break;
    }
}

// Fills item from the whole item at p (extent bytes); strings stay as ids.
void decodeRaw(const uint8_t *p, evCFItem *item) {
    *item = evCFItem{};
    item->parmId = u16At(p, 1);
    item->count = 1;
    if (decodeInteger(p, item) || decodeInteger64(p, item) || decodeFilter(p, item)) return;
    decodeOther(p, item);
}

// Interned strings, string filters and byte strings as their pooled text.
void resolve(const EvStringPool *pool, evCFItem *item) {
    if (item->type != EVCF_STRING_ID && item->type != EVCF_FILTER_ID && item->type != EVCF_BYTES_ID) return;
    auto id = static_cast<uint32_t>(item->value);
    EvStringView entry = item->type == EVCF_FILTER_ID ? evPoolValue(pool, id) : evPoolLookup(pool, id);
    item->type = item->type == EVCF_STRING_ID   ? MQCFT_STRING
                 : item->type == EVCF_FILTER_ID ? MQCFT_STRING_FILTER
                                                : MQCFT_BYTE_STRING;
    item->data = entry.text;
    item->length = static_cast<int32_t>(entry.length);
    item->ccsid = entry.ccsid;
}

void setResult(int32_t *compCode, int32_t *reason, int32_t rc) {
    if (compCode) *compCode = rc ? MQCC_FAILED : MQCC_OK;
    if (reason) *reason = rc;
}

void lowerRemaining(evCFCursor *c) {
    if (c->depth > 0)
        c->groups[c->depth - 1].remaining--;
    else
        c->remaining--;
}

}  // namespace

int32_t evCFValueCode(uint8_t lead) {
    if (lead >= EVCF_LEAD_SMALL_FIRST && lead <= EVCF_LEAD_SMALL_LAST) return lead - EVCF_LEAD_SMALL_ZERO;
    if (lead >= EVCF_LEAD_CODED_FIRST && lead <= EVCF_LEAD_CODED_LAST)
        return evCFCodedValues[lead - EVCF_LEAD_CODED_FIRST];
    return 0;
}

int evCFDecodeInt(const uint8_t *p, const uint8_t *end, int32_t *value) {
    if (!p || itemExtent(p, end) <= 0) return 0;
    uint8_t lead = p[0];
    bool integer = lead == EVCF_LEAD_INT || lead == EVCF_LEAD_INT16 ||
                   (lead >= EVCF_LEAD_INT_BYTE_FIRST && lead <= EVCF_LEAD_INT_BYTE_LAST) ||
                   (lead >= EVCF_LEAD_SMALL_FIRST && lead <= EVCF_LEAD_CODED_LAST);
    if (!integer) return 0;
    evCFItem item;
    decodeRaw(p, &item);
    if (value) *value = static_cast<int32_t>(item.value);
    return 1;
}

void evCFCursorInit(evCFCursor *c, const EvStringPool *pool, const uint8_t *record, uint32_t length,
                    uint32_t resolveStrings, uint32_t flat) {
    *c = evCFCursor{};
    std::memcpy(c->eyeCatcher, "evCF", 4);
    c->pool = pool;
    c->start = record;
    c->end = record ? record + length : record;
    c->length = record ? length : 0;
    c->position = EVCF_HEADER_LENGTH;
    c->resolve = resolveStrings;
    c->flat = flat;
    c->remaining = record && length >= EVCF_HEADER_LENGTH ? evCFGetItemCount(record) : 0;
}

int32_t evCFNextParm(evCFCursor *c, evCFItem *item, int32_t *compCode, int32_t *reason) {
    *item = evCFItem{};
    for (;;) {
        // 1. A group whose items are all read closes, named by its own id.
        if (c->depth > 0 && c->groups[c->depth - 1].remaining <= 0) {
            const evCFCursorGroup &g = c->groups[--c->depth];
            c->groupOffset = g.outerOffset;
            c->groupId = static_cast<int32_t>(g.outerId);
            item->type = PCF_TYPE_GROUP_END;
            item->parmId = static_cast<int32_t>(g.id);
            item->groupId = item->parmId;
            c->itemId = item->parmId;
            setResult(compCode, reason, 0);
            return item->parmId;
        }
        // 2. The end of the items, or of the record.
        if ((c->depth == 0 && c->remaining <= 0) || c->length < EVCF_HEADER_LENGTH ||
            c->position >= c->length) {
            setResult(compCode, reason, kEndOfRecord);
            return 0;
        }
        // 3. The item, whole inside the record.
        const uint8_t *p = c->start + c->position;
        int64_t extent = itemExtent(p, c->end);
        if (extent <= 0) {
            setResult(compCode, reason, extent < 0 ? MQRCCF_CFH_TYPE_ERROR : MQRC_STRUC_LENGTH_ERROR);
            return 0;
        }
        if (p[0] == EVCF_LEAD_PADDING) {  // one run of padding counts as one parameter
            c->position += static_cast<uint32_t>(extent);
            lowerRemaining(c);
            continue;
        }
        decodeRaw(p, item);
        if (item->type == MQCFT_GROUP) {
            // 4. Enter the group; it counts in its parent now.
            if (c->depth >= EVCF_MAX_DEPTH && !(c->flat && c->depth > 0)) {
                *item = evCFItem{};
                setResult(compCode, reason, MQRC_FORMAT_NOT_SUPPORTED);
                return 0;
            }
            lowerRemaining(c);
            item->groupId = c->groupId;
            evCFCursorGroup g{c->position, static_cast<uint32_t>(item->parmId), c->groupOffset,
                              static_cast<uint32_t>(c->groupId), item->count};
            if (c->flat && c->depth > 0) {
                // Flat: the inner group takes the innermost level, with what was left of it.
                evCFCursorGroup &inner = c->groups[c->depth - 1];
                g.outerOffset = inner.outerOffset;
                g.outerId = inner.outerId;
                g.remaining += inner.remaining;
                inner = g;
            } else {
                c->groups[c->depth++] = g;
            }
            c->groupOffset = c->position;
            c->groupId = item->parmId;
        } else {
            lowerRemaining(c);
            item->groupId = c->groupId;
            if (c->resolve) resolve(c->pool, item);
        }
        c->currentItem = p;
        c->itemLength = static_cast<uint32_t>(extent);
        c->itemId = item->parmId;
        c->position += static_cast<uint32_t>(extent);
        setResult(compCode, reason, 0);
        return item->parmId;
    }
}

namespace {

// The extent of an item by its lead where the lead alone gives it: 0 where it is read from the item
// (lists, bytes, padding, whole structures) and for an invalid lead. As itemExtent measures them.
struct FixedExtents {
    uint8_t of[256] = {};
    constexpr FixedExtents() {
        for (int lead = EVCF_LEAD_INT_BYTE_FIRST; lead <= EVCF_LEAD_INT_BYTE_LAST; lead++) of[lead] = 4;
        for (int lead = EVCF_LEAD_SMALL_FIRST; lead <= EVCF_LEAD_CODED_LAST; lead++) of[lead] = 3;
        for (uint8_t lead : {EVCF_LEAD_INT, EVCF_LEAD_STRING, EVCF_LEAD_POOLED_BYTES, EVCF_LEAD_INT64_U32})
            of[lead] = 7;
        of[EVCF_LEAD_INT_FILTER] = of[EVCF_LEAD_STRING_FILTER] = 8;
        of[EVCF_LEAD_GROUP] = of[EVCF_LEAD_INT16] = of[EVCF_LEAD_INT64_U16] = 5;
        of[EVCF_LEAD_INT64] = 11;
        for (uint8_t lead : {EVCF_LEAD_INT_UNSET, EVCF_LEAD_INT_MIXED, EVCF_LEAD_INT64_UNSET,
                             EVCF_LEAD_INT64_MIXED, EVCF_LEAD_STRING_MIXED, EVCF_LEAD_EMPTY_STRING})
            of[lead] = 3;
        of[EVCF_LEAD_DATE_TIME] = 13;
        of[EVCF_LEAD_INT64_BYTE] = 4;
    }
};
constexpr FixedExtents kFixedExtents;

}  // namespace

// Every record of every blob a load reads comes through here: most items are measured by their lead
// from a table, the others by itemExtent.
int evCFItemsEnd(const uint8_t *record, uint32_t length) {
    if (!record || length < EVCF_HEADER_LENGTH) return 1;  // a cursor ends at once
    const uint8_t *end = record + length;
    int32_t remaining = evCFGetItemCount(record);
    int32_t groups[EVCF_MAX_DEPTH];  // the items each open group has still to give
    int depth = 0;
    uint32_t position = EVCF_HEADER_LENGTH;
    for (;;) {
        if (depth > 0 && groups[depth - 1] <= 0) {
            depth--;
            continue;
        }
        if ((depth == 0 && remaining <= 0) || position >= length) return 1;
        const uint8_t *p = record + position;
        const uint8_t lead = p[0];
        uint32_t extent = kFixedExtents.of[lead];
        if (extent == 0) {
            const int64_t measured = itemExtent(p, end);
            if (measured <= 0) return 0;
            extent = static_cast<uint32_t>(measured);
        } else if (extent > length - position) {
            return 0;
        }
        int32_t &count = depth > 0 ? groups[depth - 1] : remaining;
        count--;
        if (lead == EVCF_LEAD_GROUP) {
            if (depth >= EVCF_MAX_DEPTH) return 0;
            groups[depth++] = mqiGetU16(p, 3);
        }
        position += extent;
    }
}

int32_t evCFDecodeParm(const EvStringPool *pool, const uint8_t *p, const uint8_t *end, evCFItem *item,
                       int32_t *compCode, int32_t *reason) {
    *item = evCFItem{};
    if (!p || p >= end) {
        setResult(compCode, reason, MQRC_STRUC_LENGTH_ERROR);
        return 0;
    }
    const uint8_t *at = p;
    while (at < end && at[0] == EVCF_LEAD_PADDING) at++;
    int64_t extent = at < end ? itemExtent(at, end) : 0;
    if (extent <= 0) {
        setResult(compCode, reason, extent < 0 ? MQRCCF_CFH_TYPE_ERROR : MQRC_STRUC_LENGTH_ERROR);
        return 0;
    }
    switch (at[0]) {
        case EVCF_LEAD_INT_FILTER:
        case EVCF_LEAD_STRING_FILTER:
        case EVCF_LEAD_BYTES_FILTER:
        case EVCF_LEAD_GROUP:
        case EVCF_LEAD_STRING_MIXED:
            setResult(compCode, reason, MQRCCF_CFH_TYPE_ERROR);
            return 0;
        default:
            break;
    }
    decodeRaw(at, item);
    resolve(pool, item);
    setResult(compCode, reason, 0);
    return static_cast<int32_t>(at - p + extent);
}

const uint8_t *evCFFindParm(const uint8_t *record, uint32_t length, int32_t parmId, int32_t groupId) {
    if (!record || length < EVCF_HEADER_LENGTH) return nullptr;
    evCFCursor c;
    evCFCursorInit(&c, nullptr, record, length, 0, 0);
    evCFItem item;
    int32_t cc = 0, rc = 0;
    while (evCFNextParm(&c, &item, &cc, &rc), cc == MQCC_OK) {
        if (item.type == PCF_TYPE_GROUP_END || item.parmId != parmId) continue;
        if (groupId != 0 && item.groupId != groupId) continue;
        return c.currentItem;
    }
    return nullptr;
}

// ---- Rebuilding standard PCF ----

namespace {

// Civil date of a day count since 1970-01-01 (proleptic Gregorian).
void civilFromDays(int64_t days, int64_t *year, int *month, int *day) {
    days += 719468;
    int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    int64_t doe = days - era * 146097;
    int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    int64_t mp = (5 * doy + 2) / 153;
    *day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    *month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    *year = yoe + era * 400 + (*month <= 2 ? 1 : 0);
}

int32_t setString(PcfCursor *pcf, int32_t type, int32_t id, const void *text, int32_t length, uint32_t ccsid,
                  int32_t extra) {
    int32_t cc = 0, rc = 0;
    MQPCFSetStringParm(pcf, type, id, text, length, static_cast<int32_t>(ccsid), extra, &cc, &rc);
    return rc;
}

int32_t setParm(PcfCursor *pcf, int32_t type, int32_t id, const void *value, int32_t length, int32_t extra) {
    int32_t cc = 0, rc = 0;
    MQPCFSetParm(pcf, type, id, value, length, extra, &cc, &rc);
    return rc;
}

// 224: an MQCFSL of the pooled strings, each padded with blanks to the longest. Blank entries stay
// blank; a list of only blank entries keeps its count with strings of one blank.
int32_t addStringList(const EvStringPool *pool, PcfCursor *pcf, const evCFItem *item) {
    const auto *ids = static_cast<const uint8_t *>(item->data);
    int32_t count = ids && item->count > 0 ? item->count : 0;
    uint32_t longest = count > 0 ? 1 : 0, ccsid = 0;
    for (int32_t i = 0; i < count; i++) {
        uint32_t id = mqiGetU32(ids, 4 * static_cast<size_t>(i));
        EvStringView e = evPoolValue(pool, id);
        if (e.length > longest) longest = e.length;
        if (ccsid == 0 && id != 0) ccsid = e.ccsid;
    }
    uint64_t total = uint64_t{longest} * static_cast<uint64_t>(count);
    if (total > INT32_MAX - 64) return MQRCCF_CFSL_TOTAL_LENGTH_ERROR;
    if (total == 0) return setString(pcf, MQCFT_STRING_LIST, item->parmId, nullptr, 0, ccsid, 0);
    auto *buf = static_cast<char *>(CSGetMem(total));
    if (!buf) return MQRC_STORAGE_NOT_AVAILABLE;
    std::memset(buf, ' ', total);
    for (int32_t i = 0; i < count; i++) {
        EvStringView e = evPoolValue(pool, mqiGetU32(ids, 4 * static_cast<size_t>(i)));
        std::memcpy(buf + static_cast<size_t>(i) * longest, e.text, e.length);
    }
    int32_t rc = setString(pcf, MQCFT_STRING_LIST, item->parmId, buf, static_cast<int32_t>(total), ccsid,
                           static_cast<int32_t>(longest));
    CSFreeMem(buf);
    return rc;
}

}  // namespace

int32_t evCFAddTimeParms(PcfCursor *pcf, int64_t timestamp, int32_t dateId, int32_t timeId) {
    int64_t days = timestamp / 86400, secs = timestamp % 86400;
    if (secs < 0) {
        secs += 86400;
        days--;
    }
    int64_t year = 0;
    int month = 0, day = 0;
    civilFromDays(days, &year, &month, &day);
    char date[32], time[16];
    int dn =
        std::snprintf(date, sizeof date, "%4.4lld-%2.2d-%2.2d", static_cast<long long>(year), month, day);
    int tn = std::snprintf(time, sizeof time, "%2.2d.%2.2d.%2.2d", static_cast<int>(secs / 3600),
                           static_cast<int>(secs / 60 % 60), static_cast<int>(secs % 60));
    if (int32_t rc = setParm(pcf, MQCFT_STRING, dateId, date, dn, 0)) return rc;
    return setParm(pcf, MQCFT_STRING, timeId, time, tn, 0);
}

int32_t evCFToPcfParm(const EvStringPool *pool, PcfCursor *pcf, const evCFItem *item) {
    if (item->parmId == 0 || item->type == MQCFT_GROUP || item->type == PCF_TYPE_GROUP_END) return 0;
    // One level of groups: a change of group closes the open one and opens the item's, if any.
    if (static_cast<uint32_t>(item->groupId) != pcf->groupId || (item->groupId == 0 && pcf->depth > 0)) {
        while (pcf->depth > 0)
            if (int32_t rc = setParm(pcf, PCF_TYPE_GROUP_END, 0, nullptr, 0, 0)) return rc;
        if (item->groupId != 0)
            if (int32_t rc = setParm(pcf, MQCFT_GROUP, item->groupId, nullptr, 0, 0)) return rc;
    }
    auto v32 = static_cast<int32_t>(item->value);
    int64_t v64 = item->value;
    EvStringView e{};
    switch (item->type) {
        case MQCFT_INTEGER:
            return setParm(pcf, MQCFT_INTEGER, item->parmId, &v32, 4, 0);
        case MQCFT_INTEGER_FILTER:
            return setParm(pcf, MQCFT_INTEGER_FILTER, item->parmId, &v32, 4, item->count);
        case MQCFT_INTEGER64:
            return setParm(pcf, MQCFT_INTEGER64, item->parmId, &v64, 8, 0);
        case MQCFT_STRING:
            return setString(pcf, MQCFT_STRING, item->parmId, item->data, item->length, item->ccsid, 0);
        case MQCFT_STRING_FILTER:
            return setString(pcf, MQCFT_STRING_FILTER, item->parmId, item->data, item->length, item->ccsid,
                             item->count);
        case MQCFT_STRING_LIST:  // value: each string's length
            return setString(pcf, MQCFT_STRING_LIST, item->parmId, item->data, item->length, item->ccsid,
                             static_cast<int32_t>(item->value));
        case MQCFT_INTEGER_LIST:
        case MQCFT_BYTE_STRING:
        case MQCFT_BYTE_STRING_FILTER:
        case MQCFT_INTEGER64_LIST:
            return setParm(pcf, item->type, item->parmId, item->data, item->length, item->count);
        case EVCF_DATE_TIME:
            return evCFAddTimeParms(pcf, item->value, item->parmId, item->secondId);
        case EVCF_STRING_ID:
            e = evPoolLookup(pool, static_cast<uint32_t>(item->value));
            return setString(pcf, MQCFT_STRING, item->parmId, e.text, static_cast<int32_t>(e.length), e.ccsid,
                             0);
        case EVCF_FILTER_ID:
            e = evPoolValue(pool, static_cast<uint32_t>(item->value));
            return setString(pcf, MQCFT_STRING_FILTER, item->parmId, e.text, static_cast<int32_t>(e.length),
                             e.ccsid, item->count);
        case EVCF_BYTES_ID:
            e = evPoolLookup(pool, static_cast<uint32_t>(item->value));
            return setParm(pcf, MQCFT_BYTE_STRING, item->parmId, e.text, static_cast<int32_t>(e.length), 0);
        case EVCF_STRING_ID_LIST:
            return addStringList(pool, pcf, item);
        case EVCF_STRING_MIXED:
            return setParm(pcf, MQCFT_STRING, item->parmId, "*", 1, 0);
        case EVCF_STRUCT: {
            int32_t cc = 0, rc = 0;
            MQPCFAppendStruct(pcf, item->data, item->length, &cc, &rc);
            return rc;
        }
        default:
            return MQRCCF_CFH_TYPE_ERROR;
    }
}
