// Writer of compressed PCF records: one item at a time, each checked for room and for a count that fits
// before a byte is written, so that a refused item leaves a valid record. Values that do not fit the
// compact leads (ids over 65535, long strings and lists, wide operators) go whole as lead 255.
#include <cstdio>
#include <iterator>

#include "mqi/cf.h"
#include "platform/platform.h"

const EvStringView evStringNotPresent = {"<Not Present>", 13, 850};

EvStringView evPoolLookup(const EvStringPool *pool, uint32_t id) {
    EvStringView entry{};
    if (pool && pool->lookup && pool->lookup(pool->self, id, &entry)) return entry;
    return evStringNotPresent;
}

EvStringView evPoolValue(const EvStringPool *pool, uint32_t id) {
    return id == 0 ? EvStringView{"", 0, 0} : evPoolLookup(pool, id);
}

const evCFDateTimePair evCFDateTimePairs[EVCF_DATE_TIME_PAIRS] = {
    {2004, 2005}, {2027, 2028}, {2037, 2038}, {2098, 2099}, {3098, 3099}, {3091, 3092},
    {3096, 3097}, {3130, 3131}, {3168, 3167}, {3161, 3162}, {3132, 3133}, {3137, 3138},
    {3175, 3176}, {3184, 3185}, {3144, 3145}, {3120, 3119}, {3062, 3063}, {3060, 3061},
    {3204, 3203}, {3529, 3528}, {3525, 3524}, {3556, 3557}, {3558, 3559}, {2701, 2702},
    {2703, 2704}, {2705, 2706}, {2707, 2708}, {2709, 2710}, {2711, 2712},
};

uint32_t evCFTrimmedLength(const char *text, uint32_t length) {
    while (length > 0) {
        char ch = text[length - 1];
        if (ch != '\0' && ch != '\t' && ch != '\n' && ch != ' ') break;
        length--;
    }
    return length;
}

namespace {

constexpr uint32_t kU16Max = 65535;

void setResult(int32_t *compCode, int32_t *reason, int32_t rc) {
    if (compCode) *compCode = rc ? MQCC_FAILED : MQCC_OK;
    if (reason) *reason = rc;
}

// Offset of the count the next item raises: the innermost open group's, or the header's.
size_t countOffset(const evCFWriter *w) {
    return w->depth > 0 ? w->groups[w->depth - 1].offset + 3 : 30;
}

// 0 when n more bytes and one more count fit, else 2071.
int32_t reserve(const evCFWriter *w, uint64_t n) {
    if (w->length + n > w->capacity) return MQRC_STORAGE_NOT_AVAILABLE;
    if (mqiGetU16(w->record, countOffset(w)) >= kU16Max) return MQRC_STORAGE_NOT_AVAILABLE;
    return 0;
}

// Takes the n bytes written at the end of the record and counts them as one item.
void commit(evCFWriter *w, uint32_t n) {
    w->length += n;
    size_t at = countOffset(w);
    mqiPutU16(w->record, at, static_cast<uint16_t>(mqiGetU16(w->record, at) + 1));
}

uint8_t *tail(evCFWriter *w) {
    return w->record + w->length;
}

// Writes a fixed item of n bytes: lead, then the body.
int32_t emit(evCFWriter *w, const uint8_t *bytes, uint32_t n) {
    if (int32_t rc = reserve(w, n)) return rc;
    std::memcpy(tail(w), bytes, n);
    commit(w, n);
    return 0;
}

int32_t emitLeadId(evCFWriter *w, uint8_t lead, int32_t id) {
    uint8_t b[3] = {lead};
    mqiPutU16(b, 1, static_cast<uint16_t>(id));
    return emit(w, b, 3);
}

uint32_t itemCcsid(const evCFWriter *w, const evCFItem *item) {
    return item->ccsid ? item->ccsid : w->defaultCcsid;
}

// ---- Lead 255 ----

// Writes a PCF structure whole behind lead 255.
int32_t emitStruct(evCFWriter *w, const uint8_t *structure, uint32_t strucLength) {
    if (strucLength < 12) return MQRC_STRUC_LENGTH_ERROR;
    if (int32_t rc = reserve(w, uint64_t{strucLength} + 1)) return rc;
    tail(w)[0] = EVCF_LEAD_STRUCT;
    std::memcpy(tail(w) + 1, structure, strucLength);
    commit(w, strucLength + 1);
    return 0;
}

// Builds the PCF structure of an item that came without one and writes it behind lead 255.
int32_t emitSynthesised(evCFWriter *w, const evCFItem *item) {
    uint8_t fixed[24] = {};
    auto v32 = static_cast<int32_t>(item->value);
    switch (item->type) {
        case MQCFT_INTEGER:
        case EVCF_INT_UNSET:
        case EVCF_INT_MIXED:
            if (item->type == EVCF_INT_UNSET) v32 = INT32_MIN;
            if (item->type == EVCF_INT_MIXED) v32 = INT32_MIN + 2;
            mqiPutI32(fixed, 0, MQCFT_INTEGER);
            mqiPutI32(fixed, 4, MQCFIN_STRUC_LENGTH);
            mqiPutI32(fixed, 8, item->parmId);
            mqiPutI32(fixed, 12, v32);
            return emitStruct(w, fixed, MQCFIN_STRUC_LENGTH);
        case MQCFT_INTEGER64:
        case EVCF_INT64_UNSET:
        case EVCF_INT64_MIXED: {
            int64_t v = item->type == EVCF_INT64_UNSET   ? INT64_MIN
                        : item->type == EVCF_INT64_MIXED ? INT64_MIN + 2
                                                         : item->value;
            mqiPutI32(fixed, 0, MQCFT_INTEGER64);
            mqiPutI32(fixed, 4, MQCFIN64_STRUC_LENGTH);
            mqiPutI32(fixed, 8, item->parmId);
            mqiPutI64(fixed, 16, v);
            return emitStruct(w, fixed, MQCFIN64_STRUC_LENGTH);
        }
        case MQCFT_INTEGER_FILTER:
            mqiPutI32(fixed, 0, MQCFT_INTEGER_FILTER);
            mqiPutI32(fixed, 4, MQCFIF_STRUC_LENGTH);
            mqiPutI32(fixed, 8, item->parmId);
            mqiPutI32(fixed, 12, item->count);
            mqiPutI32(fixed, 16, v32);
            return emitStruct(w, fixed, MQCFIF_STRUC_LENGTH);
        default:
            break;
    }
    // The variable forms go through the PCF builder, in a message of their own.
    int64_t need = 64 + int64_t{item->length > 0 ? item->length : 0} + 16;
    if (need > INT32_MAX) return MQRC_STORAGE_NOT_AVAILABLE;
    auto *buf = static_cast<uint8_t *>(CSGetMem(static_cast<uint64_t>(need)));
    if (!buf) return MQRC_STORAGE_NOT_AVAILABLE;
    MQPCFInitHeader(buf, MQCFT_RESPONSE, 0);
    PcfCursor pcf;
    MQPCFInitBuilder(&pcf, buf, static_cast<int32_t>(need), 1, 0, &buf);
    int32_t cc = 0, rc = 0;
    const void *data = item->data;
    int32_t length = item->data ? item->length : 0;
    EvStringView entry{};
    switch (item->type) {
        case MQCFT_STRING:
        case MQCFT_STRING_FILTER:
            MQPCFSetStringParm(&pcf, item->type, item->parmId, data, length,
                               static_cast<int32_t>(itemCcsid(w, item)), item->count, &cc, &rc);
            break;
        case MQCFT_STRING_LIST: {
            int32_t stringLength = item->count > 0 ? length / item->count : 0;
            MQPCFSetStringParm(&pcf, item->type, item->parmId, data, item->count > 0 ? length : 0,
                               static_cast<int32_t>(itemCcsid(w, item)), stringLength, &cc, &rc);
            break;
        }
        case MQCFT_INTEGER_LIST:  // the values' bytes, from the count when no length is given
            MQPCFSetParm(&pcf, item->type, item->parmId, data, length > 0 ? length : 4 * item->count, 0, &cc,
                         &rc);
            break;
        case MQCFT_BYTE_STRING:
        case MQCFT_BYTE_STRING_FILTER:
            MQPCFSetParm(&pcf, item->type, item->parmId, data, length, item->count, &cc, &rc);
            break;
        case EVCF_STRING_MIXED:
            MQPCFSetParm(&pcf, MQCFT_STRING, item->parmId, "*", 1, 0, &cc, &rc);
            break;
        case EVCF_STRING_ID:
            entry = evPoolLookup(w->pool, static_cast<uint32_t>(item->value));
            MQPCFSetStringParm(&pcf, MQCFT_STRING, item->parmId, entry.text,
                               static_cast<int32_t>(entry.length), static_cast<int32_t>(entry.ccsid), 0, &cc,
                               &rc);
            break;
        default:
            rc = MQRCCF_CFH_TYPE_ERROR;  // nothing to build it from
            break;
    }
    if (rc == 0)
        rc =
            emitStruct(w, buf + MQCFH_STRUC_LENGTH, static_cast<uint32_t>(pcf.position - MQCFH_STRUC_LENGTH));
    CSFreeMem(buf);
    return rc;
}

// An item whose values do not fit the compact leads: its own structure when it came with one.
int32_t emitWhole(evCFWriter *w, const evCFItem *item) {
    if (item->source) return emitStruct(w, item->source, mqiGetU32(item->source, 4));
    return emitSynthesised(w, item);
}

// ---- Event-record extras: the object name and the user identifier in the header ----

void noteUser(evCFWriter *w, int32_t parmId, uint32_t stringId) {
    int32_t priority = evCFParmCode(w, parmId);
    if (priority == 0) return;
    if (w->userPriority == 0) {
        evCFSetUserId(w->record, stringId);
        w->userPriority = priority;
        return;
    }
    evCFSetFlags(w->record, static_cast<uint16_t>(evCFGetFlags(w->record) | EVCF_FLAG_MULTI_USER));
    if (priority > w->userPriority) {
        evCFSetUserId(w->record, stringId);
        w->userPriority = priority;
    }
}

// The object of an MQSC command event: the word after "verb type(" with one pair of quotes removed.
void noteMqscObject(evCFWriter *w, const char *text, uint32_t length, uint32_t ccsid) {
    const char *cursor = text, *end = text + length, *lexeme = nullptr;
    size_t n = 0;
    for (int i = 0; i < 3; i++)
        if (scanGetToken(&cursor, end, "()[]!|&<>-+*/=,;", " ()[]!|&<>-+*/=\n\t,;", &lexeme, &n)) return;
    if (lexeme[0] != '(') return;
    if (scanGetToken(&cursor, end, "()[]!|&<>-+/=,;", " ()[]!|&<>-+/=\n\t,;", &lexeme, &n)) return;
    if (n >= 2 && (lexeme[0] == '\'' || lexeme[0] == '"') && lexeme[n - 1] == lexeme[0]) {
        lexeme++;
        n -= 2;
    }
    if (n == 0 || n > kU16Max) return;
    uint32_t id = w->pool && w->pool->intern
                      ? w->pool->intern(w->pool->self, ccsid, lexeme, static_cast<uint32_t>(n))
                      : 0;
    if (id) evCFSetObjectName(w->record, id);
}

void noteObject(evCFWriter *w, int32_t parmId, uint32_t stringId, bool empty) {
    if (evCFGetObjectName(w->record) != 0) return;
    int32_t objectType = evCFGetObjectType(w->record);
    if (!evCFParmAllowed(w, parmId, objectType)) return;
    int32_t named = 0;
    if (!evCFKnownString(parmId, objectType, &named) || named == 0) return;
    if (!empty) evCFSetObjectName(w->record, stringId);
    evCFSetObjectType(w->record, static_cast<uint16_t>(named));
}

// Applied to every written string, string list and empty string of an event record.
void applyExtras(evCFWriter *w, int32_t parmId, uint32_t stringId, bool empty, const char *text,
                 uint32_t length, uint32_t ccsid) {
    if (!(evCFGetFlags(w->record) & EVCF_FLAG_EVENT)) return;
    if (evCFGetReason(w->record) == 2412 && parmId == MQCACF_COMMAND_MQSC) {
        if (evCFGetObjectName(w->record) == 0 && text) noteMqscObject(w, text, length, ccsid);
    } else {
        noteObject(w, parmId, stringId, empty);
    }
    noteUser(w, parmId, stringId);
}

// ---- Strings ----

// An ordinary string, already trimmed: lead 221 when empty, else interned as lead 223.
int32_t writeString(evCFWriter *w, int32_t parmId, const char *text, uint32_t length, uint32_t ccsid) {
    if (length == 0) {
        if (int32_t rc = emitLeadId(w, EVCF_LEAD_EMPTY_STRING, parmId)) return rc;
        applyExtras(w, parmId, 0, true, text, 0, ccsid);
        return 0;
    }
    if (int32_t rc = reserve(w, 7)) return rc;
    uint32_t id = w->pool && w->pool->intern ? w->pool->intern(w->pool->self, ccsid, text, length) : 0;
    if (id == 0) return MQRC_STORAGE_NOT_AVAILABLE;
    uint8_t b[7] = {EVCF_LEAD_STRING};
    mqiPutU16(b, 1, static_cast<uint16_t>(parmId));
    mqiPutU32(b, 3, id);
    std::memcpy(tail(w), b, 7);
    commit(w, 7);
    applyExtras(w, parmId, id, false, text, length, ccsid);
    return 0;
}

int32_t findPair(int32_t parmId, bool time) {
    for (int i = 0; i < EVCF_DATE_TIME_PAIRS; i++)
        if ((time ? evCFDateTimePairs[i].timeId : evCFDateTimePairs[i].dateId) == parmId) return i;
    return -1;
}

bool isDigit(char ch) {
    return ch >= '0' && ch <= '9';
}

// "dddd-dd-dd" or "dd.dd.dd".
bool hasForm(const char *text, uint32_t length, bool time) {
    const char *form = time ? "nn.nn.nn" : "nnnn-nn-nn";
    if (length != std::strlen(form)) return false;
    for (uint32_t i = 0; i < length; i++)
        if (form[i] == 'n' ? !isDigit(text[i]) : text[i] != form[i]) return false;
    return true;
}

// The length without trailing blanks: in UTF-16 whole characters (blank in either byte order, or NUL),
// so that no character loses its zero half.
uint32_t trimmedIn(uint32_t ccsid, const char *text, uint32_t length) {
    if (ccsid != 1200 && ccsid != 1201 && ccsid != 1202) return evCFTrimmedLength(text, length);
    if (length % 2 != 0) return length;
    while (length >= 2) {
        const char high = text[length - 2];
        const char low = text[length - 1];
        if (!((high == 0 || high == ' ') && (low == 0 || low == ' ')) || (high == ' ' && low == ' ')) break;
        length -= 2;
    }
    return length;
}

int32_t addString(evCFWriter *w, const evCFItem *item) {
    const auto *text = static_cast<const char *>(item->data);
    uint32_t length = text && item->length > 0
                          ? trimmedIn(itemCcsid(w, item), text, static_cast<uint32_t>(item->length))
                          : 0;
    if (length > kU16Max) return emitWhole(w, item);
    if (length == 8 || length == 10) {
        int32_t rc = 0;
        if (evCFEncodeParm(w, item, text, length, &rc)) return rc;
    }
    return writeString(w, item->parmId, text, length, itemCcsid(w, item));
}

int32_t addStringList(evCFWriter *w, const evCFItem *item) {
    int64_t count = item->count > 0 ? item->count : 0;
    int64_t total = item->data && item->length > 0 ? item->length : 0;
    int64_t each = count > 0 ? total / count : 0;
    if (count > kU16Max || each > kU16Max || count * each > total) return emitWhole(w, item);
    uint64_t n = 5 + 4 * static_cast<uint64_t>(count);
    if (int32_t rc = reserve(w, n)) return rc;
    uint8_t *out = tail(w);
    out[0] = EVCF_LEAD_STRING_LIST;
    mqiPutU16(out, 1, static_cast<uint16_t>(item->parmId));
    mqiPutU16(out, 3, static_cast<uint16_t>(count));
    uint32_t first = 0;
    uint32_t ccsid = itemCcsid(w, item);
    const auto *strings = static_cast<const char *>(item->data);
    for (int64_t i = 0; i < count; i++) {
        const char *s = strings + i * each;
        uint32_t len = trimmedIn(ccsid, s, static_cast<uint32_t>(each));
        uint32_t id = 0;
        if (len > 0) {
            id = w->pool && w->pool->intern ? w->pool->intern(w->pool->self, ccsid, s, len) : 0;
            if (id == 0) return MQRC_STORAGE_NOT_AVAILABLE;  // nothing committed yet
        }
        if (first == 0) first = id;
        mqiPutU32(out, 5 + 4 * static_cast<size_t>(i), id);
    }
    commit(w, static_cast<uint32_t>(n));
    applyExtras(w, item->parmId, first, first == 0, nullptr, 0, ccsid);
    return 0;
}

// ---- Numbers ----

int32_t addInteger(evCFWriter *w, int32_t parmId, int32_t v) {
    constexpr int32_t kSmallLeast = EVCF_LEAD_SMALL_FIRST - EVCF_LEAD_SMALL_ZERO;
    constexpr int32_t kSmallMost = EVCF_LEAD_SMALL_LAST - EVCF_LEAD_SMALL_ZERO;
    if (v >= kSmallLeast && v <= kSmallMost)
        return emitLeadId(w, static_cast<uint8_t>(EVCF_LEAD_SMALL_ZERO + v), parmId);
    for (size_t i = 0; i < std::size(evCFCodedValues); i++)
        if (v == evCFCodedValues[i])
            return emitLeadId(w, static_cast<uint8_t>(EVCF_LEAD_CODED_FIRST + i), parmId);
    uint8_t b[7] = {};
    mqiPutU16(b, 1, static_cast<uint16_t>(parmId));
    constexpr int32_t kByteMost =
        (EVCF_LEAD_INT_BYTE_LAST - EVCF_LEAD_INT_BYTE_FIRST + 1) * 256 - 1;  // 12287
    if (v > kSmallMost && v <= kByteMost) {
        b[0] = static_cast<uint8_t>(EVCF_LEAD_INT_BYTE_FIRST + v / 256);
        b[3] = static_cast<uint8_t>(v & 0xFF);
        return emit(w, b, 4);
    }
    if (v >= -32767 && v <= 32766) {
        b[0] = EVCF_LEAD_INT16;
        mqiPutU16(b, 3, static_cast<uint16_t>(v));
        return emit(w, b, 5);
    }
    b[0] = EVCF_LEAD_INT;
    mqiPutI32(b, 3, v);
    return emit(w, b, 7);
}

int32_t addInteger64(evCFWriter *w, int32_t parmId, int64_t v) {
    uint8_t b[11] = {};
    mqiPutU16(b, 1, static_cast<uint16_t>(parmId));
    if (v < 0 || v > 4294967295LL) {
        b[0] = EVCF_LEAD_INT64;
        mqiPutI64(b, 3, v);
        return emit(w, b, 11);
    }
    if (v < 256) {
        b[0] = EVCF_LEAD_INT64_BYTE;
        b[3] = static_cast<uint8_t>(v);
        return emit(w, b, 4);
    }
    if (v < 65536) {
        b[0] = EVCF_LEAD_INT64_U16;
        mqiPutU16(b, 3, static_cast<uint16_t>(v));
        return emit(w, b, 5);
    }
    b[0] = EVCF_LEAD_INT64_U32;
    mqiPutU32(b, 3, static_cast<uint32_t>(v));
    return emit(w, b, 7);
}

int32_t addIntegerList(evCFWriter *w, const evCFItem *item) {
    int64_t count = item->data && item->count > 0 ? item->count : 0;
    if (item->length > 0 && count * 4 > item->length) count = item->length / 4;  // never past the values
    const auto *values = static_cast<const uint8_t *>(item->data);
    if (item->parmId == MQIACH_HDR_COMPRESSION || item->parmId == MQIACH_MSG_COMPRESSION)
        for (int64_t i = 0; i < count; i++)
            if (mqiGetI32(values, static_cast<size_t>(i) * 4) == -1) {
                count = i;
                break;
            }
    if (count > kU16Max) return emitWhole(w, item);
    uint64_t n = 5 + 4 * static_cast<uint64_t>(count);
    if (int32_t rc = reserve(w, n)) return rc;
    uint8_t *out = tail(w);
    out[0] = EVCF_LEAD_INT_LIST;
    mqiPutU16(out, 1, static_cast<uint16_t>(item->parmId));
    mqiPutU16(out, 3, static_cast<uint16_t>(count));
    if (count) std::memcpy(out + 5, values, static_cast<size_t>(count) * 4);
    commit(w, static_cast<uint32_t>(n));
    return 0;
}

// Byte string (9) and byte-string filter (15): [lead, (operator,) id, u16 length, bytes].
int32_t addBytes(evCFWriter *w, const evCFItem *item) {
    bool filter = item->type == MQCFT_BYTE_STRING_FILTER;
    int64_t length = item->data && item->length > 0 ? item->length : 0;
    if (length > kU16Max || (filter && (item->count < 0 || item->count > 255))) return emitWhole(w, item);
    uint32_t head = filter ? 6 : 5;
    if (int32_t rc = reserve(w, head + static_cast<uint64_t>(length))) return rc;
    uint8_t *out = tail(w);
    out[0] = filter ? EVCF_LEAD_BYTES_FILTER : EVCF_LEAD_BYTES;
    if (filter) out[1] = static_cast<uint8_t>(item->count);
    mqiPutU16(out, head - 4, static_cast<uint16_t>(item->parmId));
    mqiPutU16(out, head - 2, static_cast<uint16_t>(length));
    if (length) std::memcpy(out + head, item->data, static_cast<size_t>(length));
    commit(w, head + static_cast<uint32_t>(length));
    return 0;
}

int32_t addFilter(evCFWriter *w, const evCFItem *item) {
    if (item->count < 0 || item->count > 255) return emitWhole(w, item);
    bool integer = item->type == MQCFT_INTEGER_FILTER;
    uint8_t b[8] = {integer ? EVCF_LEAD_INT_FILTER : EVCF_LEAD_STRING_FILTER,
                    static_cast<uint8_t>(item->count)};
    mqiPutU16(b, 2, static_cast<uint16_t>(item->parmId));
    if (integer) {
        mqiPutI32(b, 4, static_cast<int32_t>(item->value));
        return emit(w, b, 8);
    }
    const auto *text = static_cast<const char *>(item->data);
    uint32_t length =
        text && item->length > 0 ? evCFTrimmedLength(text, static_cast<uint32_t>(item->length)) : 0;
    if (length > kU16Max) return emitWhole(w, item);
    if (int32_t rc = reserve(w, 8)) return rc;
    uint32_t id = 0;
    if (length > 0) {
        id =
            w->pool && w->pool->intern ? w->pool->intern(w->pool->self, itemCcsid(w, item), text, length) : 0;
        if (id == 0) return MQRC_STORAGE_NOT_AVAILABLE;
    }
    mqiPutU32(b, 4, id);
    return emit(w, b, 8);
}

int32_t openGroup(evCFWriter *w, int32_t parmId) {
    if (int32_t rc = evCFFlushPending(w)) return rc;
    if (w->depth >= EVCF_MAX_DEPTH) return MQRC_FORMAT_NOT_SUPPORTED;
    if (parmId < 0 || static_cast<uint32_t>(parmId) > kU16Max) return MQRCCF_CFGR_PARM_ID_ERROR;
    if (int32_t rc = reserve(w, 5)) return rc;
    uint32_t offset = w->length;
    uint8_t *out = tail(w);
    out[0] = EVCF_LEAD_GROUP;
    mqiPutU16(out, 1, static_cast<uint16_t>(parmId));
    mqiPutU16(out, 3, 0);
    commit(w, 5);  // counted in its parent
    w->groups[w->depth++] = evCFWriterGroup{offset, static_cast<uint32_t>(parmId)};
    return 0;
}

int32_t closeGroup(evCFWriter *w) {
    if (w->depth <= 0) return MQRC_INCOMPLETE_GROUP;
    if (int32_t rc = evCFFlushPending(w)) return rc;  // pending halves belong to the group they came in
    w->depth--;
    return 0;
}

int32_t addParm(evCFWriter *w, const evCFItem *item) {
    if (item->parmId == 0) return 0;
    switch (item->type) {
        case PCF_TYPE_GROUP_END:
            return closeGroup(w);
        case MQCFT_GROUP:
            return openGroup(w, item->parmId);
        case EVCF_PADDING: {
            if (item->length <= 0) return 0;
            if (int32_t rc = reserve(w, static_cast<uint64_t>(item->length))) return rc;
            std::memset(tail(w), EVCF_LEAD_PADDING, static_cast<size_t>(item->length));
            commit(w, static_cast<uint32_t>(item->length));
            return 0;
        }
        default:
            break;
    }
    bool wideId = item->parmId < 0 || static_cast<uint32_t>(item->parmId) > kU16Max;
    switch (item->type) {
        case MQCFT_INTEGER:
            return wideId ? emitWhole(w, item)
                          : addInteger(w, item->parmId, static_cast<int32_t>(item->value));
        case MQCFT_INTEGER64:
            return wideId ? emitWhole(w, item) : addInteger64(w, item->parmId, item->value);
        case MQCFT_STRING:
            return wideId ? emitWhole(w, item) : addString(w, item);
        case MQCFT_STRING_LIST:
            return wideId ? emitWhole(w, item) : addStringList(w, item);
        case MQCFT_INTEGER_LIST:
            return wideId ? emitWhole(w, item) : addIntegerList(w, item);
        case MQCFT_BYTE_STRING:
        case MQCFT_BYTE_STRING_FILTER:
            return wideId ? emitWhole(w, item) : addBytes(w, item);
        case MQCFT_INTEGER_FILTER:
        case MQCFT_STRING_FILTER:
            return wideId ? emitWhole(w, item) : addFilter(w, item);
        case EVCF_INT_UNSET:
        case EVCF_INT_MIXED:
        case EVCF_INT64_UNSET:
        case EVCF_INT64_MIXED:
        case EVCF_STRING_MIXED:  // these types are numbered as their leads
            return wideId ? emitWhole(w, item)
                          : emitLeadId(w, static_cast<uint8_t>(item->type), item->parmId);
        case EVCF_STRING_ID: {
            if (wideId) return emitWhole(w, item);
            uint8_t b[7] = {EVCF_LEAD_STRING};
            mqiPutU16(b, 1, static_cast<uint16_t>(item->parmId));
            mqiPutU32(b, 3, static_cast<uint32_t>(item->value));
            return emit(w, b, 7);
        }
        case PCF_TYPE_WORD:
            return 0;  // carries nothing
        default:
            if (!item->source) return MQRCCF_CFH_TYPE_ERROR;
            return emitWhole(w, item);
    }
}

}  // namespace

int evCFWriterInit(evCFWriter *w, uint8_t *record, uint32_t capacity, const EvStringPool *pool,
                   uint32_t defaultCcsid) {
    *w = evCFWriter{};
    if (!record || capacity < EVCF_HEADER_LENGTH) return 0;
    w->record = record;
    w->capacity = capacity;
    w->length = EVCF_HEADER_LENGTH;
    w->pool = pool;
    w->defaultCcsid = defaultCcsid;
    std::memset(record, 0, EVCF_HEADER_LENGTH);
    return 1;
}

void evCFAddParm(evCFWriter *w, const evCFItem *item, int32_t *compCode, int32_t *reason) {
    int32_t rc = w && w->record && item ? addParm(w, item) : MQRC_STORAGE_NOT_AVAILABLE;
    setResult(compCode, reason, rc);
}

int32_t evCFFlushPending(evCFWriter *w) {
    if (w->pendingDateId) {
        if (int32_t rc = writeString(w, w->pendingDateId, w->pendingDate, 10, w->pendingCcsid)) return rc;
        w->pendingDateId = 0;
    }
    if (w->pendingTimeId) {
        if (int32_t rc = writeString(w, w->pendingTimeId, w->pendingTime, 8, w->pendingCcsid)) return rc;
        w->pendingTimeId = 0;
    }
    return 0;
}

int evCFEncodeParm(evCFWriter *w, const evCFItem *item, const char *text, uint32_t length, int32_t *reason) {
    *reason = 0;
    if (w->fixedLength) return 0;
    bool time = item->length == 8;  // a parameter 8 long is a time, any other a date
    if (length != (time ? 8u : 10u)) return 0;
    int pair = findPair(item->parmId, time);
    if (pair < 0 && !hasForm(text, length, time)) return 0;

    // Make room: one pending half of each kind, and a table half waits only for its own partner.
    if (time) {
        if (w->pendingTimeId ||
            (pair >= 0 && w->pendingDateId && w->pendingDateId != evCFDateTimePairs[pair].dateId))
            *reason = evCFFlushPending(w);
    } else {
        if (w->pendingDateId ||
            (pair >= 0 && w->pendingTimeId && w->pendingTimeId != evCFDateTimePairs[pair].timeId))
            *reason = evCFFlushPending(w);
    }
    if (*reason) return 1;
    if (time) {
        w->pendingTimeId = item->parmId;
        std::memcpy(w->pendingTime, text, 8);
    } else {
        w->pendingDateId = item->parmId;
        std::memcpy(w->pendingDate, text, 10);
    }
    w->pendingCcsid = itemCcsid(w, item);
    if (!w->pendingDateId || !w->pendingTimeId) return 1;

    // Both halves: one timestamp, unless a half taken by its id alone is no date or time at all.
    int64_t seconds = 0;
    if (!hasForm(w->pendingDate, 10, false) || !hasForm(w->pendingTime, 8, true) ||
        !evMQDateTimeToTime(w->pendingDate, 10, w->pendingTime, 8, &seconds)) {
        *reason = evCFFlushPending(w);
        return 1;
    }
    uint8_t b[13] = {EVCF_LEAD_DATE_TIME};
    mqiPutU16(b, 1, static_cast<uint16_t>(w->pendingDateId));
    mqiPutU16(b, 3, static_cast<uint16_t>(w->pendingTimeId));
    mqiPutI64(b, 5, seconds);
    *reason = emit(w, b, 13);
    if (*reason == 0) w->pendingDateId = w->pendingTimeId = 0;
    return 1;
}

// ---- Object names and user identifiers ----

namespace {

struct KnownString {
    int32_t objectType;
    int32_t ids[13];
};

constexpr KnownString kKnownStrings[] = {
    {1, {2002, 2003, 2006, 2008, 2016, 2018, 2019, 2024, 2025, 2065, 2066, 2067, 3002}},
    {2, {2010, 3006}},
    {3, {2012, 3004}},
    {4, {2022, 3105}},
    {5, {2015, 2017, 2031, 3023}},
    {6, {3501, 3008}},
    {7, {2045, 3010}},
    {8, {2092, 3149, 3172}},
    {9, {2110, 3178}},
    {10, {2039, 3094}},
    {11, {3554, 3125}},
    {12, {2077, 3127}},
    {1019, {2112}},
    {1022, {3067}},
    {10000, {3152, 3164}},
    {10002, {2094}},
};

constexpr int32_t kAllowed[] = {2002, 2003, 2006, 2008, 2010, 2012, 2015, 2016, 2017, 2018, 2019,
                                2022, 2024, 2025, 2031, 2039, 2045, 2065, 2066, 2067, 2077, 2092,
                                2110, 2112, 3002, 3004, 3006, 3008, 3010, 3067, 3094, 3105, 3125,
                                3127, 3149, 3152, 3164, 3172, 3178, 3501, 3554};

}  // namespace

int evCFKnownString(int32_t parmId, int32_t objectType, int32_t *typeOut) {
    int32_t named = 0;
    for (const auto &row : kKnownStrings)
        for (int32_t id : row.ids)
            if (id != 0 && id == parmId) named = row.objectType;
    if (named == 6 && objectType == MQOT_CHLAUTH) named = MQOT_CHLAUTH;  // a channel names its auth record
    if (typeOut) *typeOut = named;
    return named != 0 && (objectType == 0 || objectType == named);
}

int evCFParmAllowed(const evCFWriter *w, int32_t parmId, int32_t objectType) {
    uint32_t reason = evCFGetReason(w->record);
    if (reason == 2087) return parmId == 2015 || parmId == 2017 || parmId == 2031 || parmId == 3023;
    if (parmId == 2016 && (reason == 2091 || reason == 2092 || (reason >= 2196 && reason <= 2199))) return 1;
    bool listed = false;
    for (int32_t id : kAllowed) listed = listed || id == parmId;
    if (parmId == 2094 && w->reasonQualifier != 2 && w->reasonQualifier != 3) listed = true;
    if (!listed) return 0;
    if (objectType != 0) {
        int32_t named = 0;
        return evCFKnownString(parmId, objectType, &named);
    }
    return 1;
}

int32_t evCFParmCode(const evCFWriter *w, int32_t parmId) {
    switch (parmId) {
        case 2041:
            return 1;
        case 3527:
            return 2;
        case 3549:
            return 3;
        case 3110:
            return 4;
        case 3206:
            return w->reasonQualifier == 29 ? 100 : 5;
        case 3156:
            return 6;
        case 3039:
            return 7;
        case 3517:
            return 8;
        case 3025:
            return 9;
        case 3045:
            return 10;
        default:
            return 0;
    }
}
