// PCF builder and parser behind the "MQPP" cursor. The builder appends one structure at a time to a
// buffer that grows on the counted heap; the parser hands back one parameter at a time and trusts
// nothing in the message: every length and count is checked in 64-bit arithmetic before a byte is read.
#include "mqi/pcf.h"

#include <atomic>
#include <cstdlib>
#include <mutex>

#include "platform/platform.h"

namespace {

// PCF field offsets, from the declared structures.
constexpr size_t kType = offsetof(MQCFIN, Type);
constexpr size_t kStrucLength = offsetof(MQCFIN, StrucLength);
constexpr size_t kParameter = offsetof(MQCFIN, Parameter);
constexpr size_t kCfhVersion = offsetof(MQCFH, Version);
constexpr size_t kCfhParameterCount = offsetof(MQCFH, ParameterCount);

void setResult(int32_t *compCode, int32_t *reason, int32_t cc, int32_t rc) {
    if (compCode) *compCode = cc;
    if (reason) *reason = rc;
}

int64_t roundUp4(int64_t n) {
    return (n + 3) & ~int64_t{3};
}

// ---- ZUNT_SUPPRESS_INT64: read once, on the first MQCFIN64 ----

enum SuppressState : int { kSuppressUnknown = 0, kSuppressOff = 1, kSuppressOn = 2 };
std::atomic<int> gSuppressInt64{kSuppressUnknown};
std::mutex gSuppressMutex;

bool suppressInt64() {
    int state = gSuppressInt64.load(std::memory_order_acquire);
    if (state == kSuppressUnknown) {
        std::lock_guard<std::mutex> guard(gSuppressMutex);
        state = gSuppressInt64.load(std::memory_order_relaxed);
        if (state == kSuppressUnknown) {
            state = std::getenv("ZUNT_SUPPRESS_INT64") ? kSuppressOn : kSuppressOff;
            gSuppressInt64.store(state, std::memory_order_release);
        }
    }
    return state == kSuppressOn;
}

// ---- Builder ----

// Makes room for need more bytes, growing a growable buffer; 0 when it cannot.
bool ensureRoom(PcfCursor *c, int64_t need) {
    if (need <= static_cast<int64_t>(c->length) - c->position) return true;
    if (!c->mayGrow) return false;
    int64_t oldCapacity = c->length;
    int64_t newCapacity = oldCapacity + (oldCapacity > need ? oldCapacity : need);
    if (newCapacity > INT32_MAX || newCapacity + c->growth > INT32_MAX) return false;
    auto *fresh = static_cast<uint8_t *>(CSGetMem(static_cast<uint64_t>(newCapacity) + c->growth));
    if (!fresh) return false;
    if (c->position > 0) std::memcpy(fresh, c->buffer, static_cast<size_t>(c->position));
    if (c->buffer) CSFreeMem(c->buffer);
    c->buffer = fresh;
    if (c->ownerSlot) *c->ownerSlot = fresh;
    c->length = static_cast<int32_t>(newCapacity);
    return true;
}

void raiseVersion(PcfCursor *c, int32_t version) {
    if (mqiGetI32(c->buffer, kCfhVersion) < version) mqiPutI32(c->buffer, kCfhVersion, version);
}

// Counts one appended parameter in the innermost open group, or in the MQCFH.
void countParameter(PcfCursor *c) {
    size_t at =
        c->depth > 0 ? c->groups[c->depth - 1].offset + offsetof(MQCFGR, ParameterCount) : kCfhParameterCount;
    mqiPutI32(c->buffer, at, mqiGetI32(c->buffer, at) + 1);
}

// Byte length of a string argument: -1 up to its NUL, -2 with its NUL; -3 when refused.
int64_t stringLength(const void *value, int32_t length) {
    if (length >= 0) return value ? length : 0;
    if (!value) return 0;
    if (length == -1) return static_cast<int64_t>(std::strlen(static_cast<const char *>(value)));
    if (length == -2) return static_cast<int64_t>(std::strlen(static_cast<const char *>(value))) + 1;
    return -3;
}

// Everything one appended structure needs: its fixed head, then len value bytes padded with zeros.
struct Shape {
    int32_t writtenType;
    int64_t fixed;       // offset of the value field
    int64_t valueBytes;  // bytes copied from the caller (or zeros)
    int64_t strucLength;
    int32_t version;  // the MQCFH Version it needs
};

constexpr int64_t kMaxStruc = INT32_MAX - 8;

// Writes the structure described by shape at the position and counts it; returns its value field.
uint8_t *writeStruct(PcfCursor *c, const Shape &s, int32_t parmId, const void *value) {
    uint8_t *at = c->buffer + c->position;
    std::memset(at, 0, static_cast<size_t>(s.strucLength));  // pad bytes and absent values are zeros
    mqiPutI32(at, kType, s.writtenType);
    mqiPutI32(at, kStrucLength, static_cast<int32_t>(s.strucLength));
    mqiPutI32(at, kParameter, parmId);
    if (value && s.valueBytes > 0) std::memcpy(at + s.fixed, value, static_cast<size_t>(s.valueBytes));
    c->position += static_cast<int32_t>(s.strucLength);
    raiseVersion(c, s.version);
    countParameter(c);
    return at + s.fixed;
}

void *openGroup(PcfCursor *c, int32_t parmId, int32_t *compCode, int32_t *reason) {
    if (c->depth >= PCF_MAX_DEPTH) {
        setResult(compCode, reason, MQCC_FAILED, MQRC_FORMAT_NOT_SUPPORTED);
        return nullptr;
    }
    if (!ensureRoom(c, MQCFGR_STRUC_LENGTH)) {
        setResult(compCode, reason, MQCC_FAILED, MQRC_STORAGE_NOT_AVAILABLE);
        return nullptr;
    }
    auto offset = static_cast<uint32_t>(c->position);
    Shape s{MQCFT_GROUP, MQCFGR_STRUC_LENGTH, 0, MQCFGR_STRUC_LENGTH, 3};
    writeStruct(c, s, parmId, nullptr);  // counted in its parent before it opens
    c->groups[c->depth] = PcfGroupEntry{offset, static_cast<uint32_t>(parmId), 0};
    c->depth++;
    c->groupId = static_cast<uint32_t>(parmId);
    return c->buffer + offset + offsetof(MQCFGR, ParameterCount);
}

void *closeGroup(PcfCursor *c, int32_t *compCode, int32_t *reason) {
    if (c->depth <= 0) {
        setResult(compCode, reason, MQCC_FAILED, MQRC_INCOMPLETE_GROUP);
        return nullptr;
    }
    c->depth--;
    c->groupId = c->depth > 0 ? c->groups[c->depth - 1].id : 0;
    return nullptr;
}

// Appends the word 1000, which carries nothing but counts as a parameter.
void *appendWord(PcfCursor *c, int32_t *compCode, int32_t *reason) {
    if (!ensureRoom(c, 4)) {
        setResult(compCode, reason, MQCC_FAILED, MQRC_STORAGE_NOT_AVAILABLE);
        return nullptr;
    }
    mqiPutI32(c->buffer, static_cast<size_t>(c->position), PCF_TYPE_WORD);
    c->position += 4;
    countParameter(c);
    return nullptr;
}

// The shape of a string, byte string or filter of one: 0, or the reason its length is refused.
int32_t stringShape(int32_t type, const void *value, int32_t length, Shape *s) {
    int64_t n = stringLength(value, length);
    int64_t fixed = type == MQCFT_BYTE_STRING          ? MQCFBS_STRUC_LENGTH_FIXED
                    : type == MQCFT_STRING_FILTER      ? MQCFSF_STRUC_LENGTH_FIXED
                    : type == MQCFT_BYTE_STRING_FILTER ? MQCFBF_STRUC_LENGTH_FIXED
                                                       : MQCFST_STRUC_LENGTH_FIXED;
    int32_t version = type == MQCFT_BYTE_STRING                                           ? 2
                      : (type == MQCFT_STRING_FILTER || type == MQCFT_BYTE_STRING_FILTER) ? 3
                                                                                          : 1;
    if (n < 0 || fixed + roundUp4(n) > kMaxStruc)
        return type == MQCFT_BYTE_STRING          ? MQRCCF_CFBS_STRING_LENGTH_ERR
               : type == MQCFT_STRING_FILTER      ? MQRCCF_CFSF_FILTER_VAL_LEN_ERR
               : type == MQCFT_BYTE_STRING_FILTER ? MQRCCF_CFBF_FILTER_VAL_LEN_ERR
                                                  : MQRCCF_CFST_STRING_LENGTH_ERR;
    *s = {type, fixed, n, fixed + roundUp4(n), version};
    return 0;
}

// The shape of the structure a parameter becomes: 0, or the reason it is refused. For MQCFSL extra is
// the string length.
int32_t shapeOf(int32_t type, const void *value, int32_t length, int32_t extra, Shape *s) {
    switch (type) {
        case MQCFT_INTEGER:
            *s = {type, offsetof(MQCFIN, Value), value ? 4 : 0, MQCFIN_STRUC_LENGTH, 1};
            return 0;
        case MQCFT_INTEGER64:
            *s = {type, offsetof(MQCFIN64, Value), value ? 8 : 0, MQCFIN64_STRUC_LENGTH, 3};
            return 0;
        case MQCFT_INTEGER_FILTER:
            *s = {type, offsetof(MQCFIF, FilterValue), value ? 4 : 0, MQCFIF_STRUC_LENGTH, 3};
            return 0;
        case MQCFT_STRING:
        case PCF_TYPE_STRING_1001:
        case MQCFT_BYTE_STRING:
        case MQCFT_STRING_FILTER:
        case MQCFT_BYTE_STRING_FILTER:
            return stringShape(type, value, length, s);
        case MQCFT_INTEGER_LIST: {
            if (length < 0 || MQCFIL_STRUC_LENGTH_FIXED + int64_t{length} > kMaxStruc)
                return MQRCCF_CFIL_COUNT_ERROR;
            int64_t n = value ? (length / 4) * 4 : 0;  // whole values only: Count x 4 bytes follow
            *s = {type, MQCFIL_STRUC_LENGTH_FIXED, n, MQCFIL_STRUC_LENGTH_FIXED + n, 1};
            return 0;
        }
        case MQCFT_STRING_LIST:
        case PCF_TYPE_STRING_LIST_1002: {
            int64_t total = value ? length : 0;
            if (length < 0 || MQCFSL_STRUC_LENGTH_FIXED + roundUp4(total) > kMaxStruc)
                return MQRCCF_CFSL_TOTAL_LENGTH_ERROR;
            // No count can be derived from an empty string length.
            if (total != 0 && extra <= 0) return MQRCCF_CFSL_STRING_LENGTH_ERR;
            *s = {MQCFT_STRING_LIST, MQCFSL_STRUC_LENGTH_FIXED, total,
                  MQCFSL_STRUC_LENGTH_FIXED + roundUp4(total), 1};
            return 0;
        }
        default:
            return MQRCCF_CFH_TYPE_ERROR;
    }
}

// The fields after Parameter that only some structures have: lengths, counts, code page, operator.
void fillFields(uint8_t *start, const Shape &s, int32_t ccsid, int32_t extra) {
    switch (s.writtenType) {
        case MQCFT_STRING:
        case PCF_TYPE_STRING_1001:
            mqiPutI32(start, offsetof(MQCFST, CodedCharSetId), ccsid);
            mqiPutI32(start, offsetof(MQCFST, StringLength), static_cast<int32_t>(s.valueBytes));
            break;
        case MQCFT_BYTE_STRING:
            mqiPutI32(start, offsetof(MQCFBS, StringLength), static_cast<int32_t>(s.valueBytes));
            break;
        case MQCFT_STRING_FILTER:
            mqiPutI32(start, offsetof(MQCFSF, Operator), extra);
            mqiPutI32(start, offsetof(MQCFSF, CodedCharSetId), ccsid);
            mqiPutI32(start, offsetof(MQCFSF, FilterValueLength), static_cast<int32_t>(s.valueBytes));
            break;
        case MQCFT_BYTE_STRING_FILTER:
            mqiPutI32(start, offsetof(MQCFBF, Operator), extra);
            mqiPutI32(start, offsetof(MQCFBF, FilterValueLength), static_cast<int32_t>(s.valueBytes));
            break;
        case MQCFT_INTEGER_FILTER:
            mqiPutI32(start, offsetof(MQCFIF, Operator), extra);
            break;
        case MQCFT_INTEGER_LIST:
            mqiPutI32(start, offsetof(MQCFIL, Count), static_cast<int32_t>(s.valueBytes / 4));
            break;
        case MQCFT_STRING_LIST: {
            int32_t count = s.valueBytes == 0 ? 0 : static_cast<int32_t>(s.valueBytes / extra);
            mqiPutI32(start, offsetof(MQCFSL, CodedCharSetId), ccsid);
            mqiPutI32(start, offsetof(MQCFSL, Count), count);
            mqiPutI32(start, offsetof(MQCFSL, StringLength), s.valueBytes == 0 ? 0 : extra);
            break;
        }
        default:
            break;
    }
}

// The common builder: ccsid is written into the string forms; for MQCFSL extra is the string length,
// for the filters the operator.
void *setParm(PcfCursor *c, int32_t type, int32_t parmId, const void *value, int32_t length, int32_t ccsid,
              int32_t extra, int32_t *compCode, int32_t *reason) {
    setResult(compCode, reason, MQCC_OK, MQRC_NONE);
    switch (type) {
        case MQCFT_GROUP:
            return openGroup(c, parmId, compCode, reason);
        case PCF_TYPE_GROUP_END:
            return closeGroup(c, compCode, reason);
        case PCF_TYPE_WORD:
            return appendWord(c, compCode, reason);
        case MQCFT_INTEGER64:
            if (suppressInt64()) return nullptr;
            break;
        default:
            break;
    }
    Shape s{type, 0, 0, 0, 1};
    if (int32_t refused = shapeOf(type, value, length, extra, &s)) {
        setResult(compCode, reason, MQCC_FAILED, refused);
        return nullptr;
    }
    if (!ensureRoom(c, s.strucLength)) {
        setResult(compCode, reason, MQCC_FAILED, MQRC_STORAGE_NOT_AVAILABLE);
        return nullptr;
    }
    uint8_t *start = c->buffer + c->position;
    uint8_t *field = writeStruct(c, s, parmId, value);
    fillFields(start, s, ccsid, extra);
    return field;
}

// ---- Parser ----

// The least StrucLength of each type the parser reads; 0 for a type it does not know.
int64_t fixedLength(int32_t type) {
    switch (type) {
        case MQCFT_INTEGER:
            return MQCFIN_STRUC_LENGTH;
        case MQCFT_INTEGER64:
            return MQCFIN64_STRUC_LENGTH;
        case MQCFT_STRING:
        case PCF_TYPE_STRING_1001:
            return MQCFST_STRUC_LENGTH_FIXED;
        case MQCFT_STRING_LIST:
        case PCF_TYPE_STRING_LIST_1002:
            return MQCFSL_STRUC_LENGTH_FIXED;
        case MQCFT_BYTE_STRING:
            return MQCFBS_STRUC_LENGTH_FIXED;
        case MQCFT_INTEGER_FILTER:
            return MQCFIF_STRUC_LENGTH;
        case MQCFT_STRING_FILTER:
            return MQCFSF_STRUC_LENGTH_FIXED;
        case MQCFT_BYTE_STRING_FILTER:
            return MQCFBF_STRUC_LENGTH_FIXED;
        case MQCFT_INTEGER_LIST:
            return MQCFIL_STRUC_LENGTH_FIXED;
        case MQCFT_INTEGER64_LIST:
            return MQCFIL64_STRUC_LENGTH_FIXED;
        case MQCFT_GROUP:
            return MQCFGR_STRUC_LENGTH;
        default:
            return 0;
    }
}

// What one checked structure gives back.
struct Item {
    int32_t type;
    int32_t parmId;
    int64_t valueOffset;  // from the structure start
    int64_t length;
    int64_t count;
    int64_t advance;      // bytes the position moves
    int32_t ccsidOffset;  // of a CodedCharSetId the default CCSID fills, or 0
};

// Checks the structure at pos of msg (len bytes) whole; 0 and the item, or the reason it is refused.
// Reads nothing outside msg[0, len).
int32_t checkStruct(const uint8_t *msg, int64_t len, int64_t pos, Item *it) {
    *it = Item{0, 0, 0, 0, 0, 0, 0};
    if (pos < 0 || pos + 4 > len) return MQRC_STRUC_LENGTH_ERROR;
    it->type = mqiGetI32(msg, static_cast<size_t>(pos));
    if (pos + 12 <= len && it->type != PCF_TYPE_WORD)
        it->parmId = mqiGetI32(msg, static_cast<size_t>(pos + 8));
    if (it->type == PCF_TYPE_WORD) {
        it->advance = 4;
        return 0;
    }
    int64_t fixed = fixedLength(it->type);
    if (fixed == 0) return MQRCCF_CFH_TYPE_ERROR;
    if (pos + 8 > len) return MQRC_STRUC_LENGTH_ERROR;
    int64_t strucLength = mqiGetI32(msg, static_cast<size_t>(pos + 4));
    if (strucLength < fixed) return MQRC_STRUC_LENGTH_ERROR;
    auto field = [&](size_t off) { return int64_t{mqiGetI32(msg, static_cast<size_t>(pos) + off)}; };
    if (it->type == MQCFT_BYTE_STRING) {
        // A byte string running past the message is its own error, before the whole-structure test.
        if (pos + MQCFBS_STRUC_LENGTH_FIXED > len) return MQRC_STRUC_LENGTH_ERROR;
        int64_t n = field(offsetof(MQCFBS, StringLength));
        if (n < 0 || pos + MQCFBS_STRUC_LENGTH_FIXED + n > len) return MQRCCF_CFBS_STRING_LENGTH_ERR;
    }
    int64_t extent = it->type == MQCFT_GROUP ? MQCFGR_STRUC_LENGTH : strucLength;
    if (pos + extent > len) return MQRC_STRUC_LENGTH_ERROR;
    it->advance = extent;
    it->count = 1;
    switch (it->type) {
        case MQCFT_INTEGER:
            it->valueOffset = offsetof(MQCFIN, Value);
            it->length = 4;
            break;
        case MQCFT_INTEGER64:
            it->valueOffset = offsetof(MQCFIN64, Value);
            it->length = 8;
            break;
        case MQCFT_STRING:
        case PCF_TYPE_STRING_1001: {
            int64_t n = field(offsetof(MQCFST, StringLength));
            if (n < 0 || n > strucLength - MQCFST_STRUC_LENGTH_FIXED) return MQRCCF_CFST_STRING_LENGTH_ERR;
            it->valueOffset = MQCFST_STRUC_LENGTH_FIXED;
            it->length = n;
            it->ccsidOffset = offsetof(MQCFST, CodedCharSetId);
            break;
        }
        case MQCFT_STRING_LIST:
        case PCF_TYPE_STRING_LIST_1002: {
            int64_t count = field(offsetof(MQCFSL, Count));
            int64_t n = field(offsetof(MQCFSL, StringLength));
            if (count < 0 || n < 0 || count * n > strucLength - MQCFSL_STRUC_LENGTH_FIXED)
                return MQRC_STRUC_LENGTH_ERROR;
            it->valueOffset = MQCFSL_STRUC_LENGTH_FIXED;
            it->length = count * n;
            it->count = count;
            if (it->type == MQCFT_STRING_LIST) it->ccsidOffset = offsetof(MQCFSL, CodedCharSetId);
            break;
        }
        case MQCFT_BYTE_STRING: {
            int64_t n = field(offsetof(MQCFBS, StringLength));
            if (n > strucLength - MQCFBS_STRUC_LENGTH_FIXED) return MQRCCF_CFBS_STRING_LENGTH_ERR;
            it->valueOffset = MQCFBS_STRUC_LENGTH_FIXED;
            it->length = n;
            break;
        }
        case MQCFT_INTEGER_FILTER:
            it->valueOffset = offsetof(MQCFIF, FilterValue);
            it->length = 4;
            it->count = field(offsetof(MQCFIF, Operator));
            break;
        case MQCFT_STRING_FILTER:
        case MQCFT_BYTE_STRING_FILTER: {
            bool str = it->type == MQCFT_STRING_FILTER;
            int64_t fixedPart = str ? MQCFSF_STRUC_LENGTH_FIXED : MQCFBF_STRUC_LENGTH_FIXED;
            int64_t n =
                field(str ? offsetof(MQCFSF, FilterValueLength) : offsetof(MQCFBF, FilterValueLength));
            if (n < 0 || n > strucLength - fixedPart) return MQRC_STRUC_LENGTH_ERROR;
            it->valueOffset = fixedPart;
            it->length = n;
            it->count = field(offsetof(MQCFSF, Operator));
            break;
        }
        case MQCFT_INTEGER_LIST:
        case MQCFT_INTEGER64_LIST: {
            int64_t count = field(offsetof(MQCFIL, Count));
            int64_t width = it->type == MQCFT_INTEGER_LIST ? 4 : 8;
            if (count < 0 || count * width > strucLength - MQCFIL_STRUC_LENGTH_FIXED)
                return MQRC_STRUC_LENGTH_ERROR;
            it->valueOffset = MQCFIL_STRUC_LENGTH_FIXED;
            it->length = strucLength - MQCFIL_STRUC_LENGTH_FIXED;
            it->count = count;
            break;
        }
        case MQCFT_GROUP: {
            int64_t count = field(offsetof(MQCFGR, ParameterCount));
            if (count < 0) return MQRC_STRUC_LENGTH_ERROR;
            it->count = count;
            break;
        }
        default:
            return MQRCCF_CFH_TYPE_ERROR;
    }
    return 0;
}

void setOutputs(PcfCursor *c, int32_t type, int32_t parmId, uint8_t *value, int64_t length, int64_t count,
                int32_t rc) {
    c->type = static_cast<uint32_t>(type);
    c->parmId = static_cast<uint32_t>(parmId);
    c->value = value;
    c->valueLength = static_cast<uint32_t>(length);
    c->valueCount = static_cast<uint32_t>(count);
    c->reason = static_cast<uint32_t>(rc);
}

// Lowers the remaining count of the innermost open group, or the top-level count.
void lowerRemaining(PcfCursor *c) {
    if (c->depth > 0)
        c->groups[c->depth - 1].remaining--;
    else
        c->remaining--;
}

}  // namespace

void MQPCFInitHeader(uint8_t *buffer, int32_t type, int32_t command) {
    std::memset(buffer, 0, MQCFH_STRUC_LENGTH);
    mqiPutI32(buffer, offsetof(MQCFH, Type), type);
    mqiPutI32(buffer, offsetof(MQCFH, StrucLength), MQCFH_STRUC_LENGTH);
    mqiPutI32(buffer, offsetof(MQCFH, Version), 1);
    mqiPutI32(buffer, offsetof(MQCFH, Command), command);
    mqiPutI32(buffer, offsetof(MQCFH, MsgSeqNumber), 1);
    mqiPutI32(buffer, offsetof(MQCFH, Control), MQCFC_LAST);
}

void MQPCFInitBuilder(PcfCursor *cursor, uint8_t *buffer, int32_t capacity, uint32_t mayGrow, uint32_t growth,
                      uint8_t **ownerSlot) {
    *cursor = PcfCursor{};
    std::memcpy(cursor->eyeCatcher, "MQPP", 4);
    cursor->buffer = buffer;
    cursor->ownerSlot = ownerSlot;
    cursor->mayGrow = mayGrow;
    cursor->position = MQCFH_STRUC_LENGTH;
    cursor->length = capacity;
    cursor->growth = growth;
}

void MQPCFInitParser(PcfCursor *cursor, uint8_t *message, int32_t length, uint32_t defaultCcsid) {
    *cursor = PcfCursor{};
    std::memcpy(cursor->eyeCatcher, "MQPP", 4);
    cursor->buffer = message;
    cursor->position = MQCFH_STRUC_LENGTH;
    cursor->length = length;
    cursor->defaultCcsid = defaultCcsid;
    if (message && length >= MQCFH_STRUC_LENGTH) cursor->remaining = mqiGetI32(message, kCfhParameterCount);
}

bool MQPCFReadWhole(const PcfCursor *cursor) {
    return cursor->depth == 0 && cursor->position == cursor->length;
}

void *MQPCFSetParm(PcfCursor *cursor, int32_t type, int32_t parmId, const void *value, int32_t length,
                   int32_t opOrStringLength, int32_t *compCode, int32_t *reason) {
    return setParm(cursor, type, parmId, value, length, 0, opOrStringLength, compCode, reason);
}

void *MQPCFSetStringParm(PcfCursor *cursor, int32_t type, int32_t parmId, const void *value, int32_t length,
                         int32_t ccsid, int32_t stringLengthOrOperator, int32_t *compCode, int32_t *reason) {
    if (type != MQCFT_STRING && type != MQCFT_STRING_LIST && type != MQCFT_STRING_FILTER) {
        setResult(compCode, reason, MQCC_FAILED, MQRCCF_CFH_TYPE_ERROR);
        return nullptr;
    }
    return setParm(cursor, type, parmId, value, length, ccsid, stringLengthOrOperator, compCode, reason);
}

void *MQPCFAppendStruct(PcfCursor *cursor, const void *structure, int32_t length, int32_t *compCode,
                        int32_t *reason) {
    setResult(compCode, reason, MQCC_OK, MQRC_NONE);
    const auto *bytes = static_cast<const uint8_t *>(structure);
    Item it{};
    int32_t rc = structure ? checkStruct(bytes, length, 0, &it) : MQRC_STRUC_LENGTH_ERROR;
    if (rc == 0 && (it.type == MQCFT_GROUP || it.type == PCF_TYPE_WORD)) rc = MQRCCF_CFH_TYPE_ERROR;
    if (rc != 0) {
        setResult(compCode, reason, MQCC_FAILED, rc);
        return nullptr;
    }
    if (!ensureRoom(cursor, it.advance)) {
        setResult(compCode, reason, MQCC_FAILED, MQRC_STORAGE_NOT_AVAILABLE);
        return nullptr;
    }
    uint8_t *at = cursor->buffer + cursor->position;
    std::memcpy(at, bytes, static_cast<size_t>(it.advance));
    cursor->position += static_cast<int32_t>(it.advance);
    switch (it.type) {
        case MQCFT_BYTE_STRING:
            raiseVersion(cursor, 2);
            break;
        case MQCFT_INTEGER_FILTER:
        case MQCFT_STRING_FILTER:
        case MQCFT_BYTE_STRING_FILTER:
        case MQCFT_INTEGER64:
        case MQCFT_INTEGER64_LIST:
            raiseVersion(cursor, 3);
            break;
        default:
            break;
    }
    countParameter(cursor);
    return at + it.valueOffset;
}

void MQPCFGetNextParm(PcfCursor *cursor, int32_t *type, int32_t *parmId, void **value, int32_t *length,
                      int32_t *count, int32_t *compCode, int32_t *reason) {
    PcfCursor *c = cursor;
    auto finish = [&](int32_t cc, int32_t rc) {
        if (type) *type = static_cast<int32_t>(c->type);
        if (parmId) *parmId = static_cast<int32_t>(c->parmId);
        if (value) *value = c->value;
        if (length) *length = static_cast<int32_t>(c->valueLength);
        if (count) *count = static_cast<int32_t>(c->valueCount);
        setResult(compCode, reason, cc, rc);
    };

    // 1. A group whose items are all read closes; the item names the enclosing group (the outermost its own).
    if (c->depth > 0 && c->groups[c->depth - 1].remaining <= 0) {
        uint32_t closed = c->groups[c->depth - 1].id;
        c->depth--;
        lowerRemaining(c);
        c->groupId = c->depth > 0 ? c->groups[c->depth - 1].id : 0;
        setOutputs(c, PCF_TYPE_GROUP_END, static_cast<int32_t>(c->depth > 0 ? c->groupId : closed), nullptr,
                   0, 0, 0);
        c->currentItem = nullptr;
        finish(MQCC_OK, MQRC_NONE);
        return;
    }
    // 2. The end of the top-level parameters.
    if (c->depth == 0 && c->remaining <= 0) {
        setOutputs(c, 0, 0, nullptr, 0, 0, PCF_END_OF_MESSAGE);
        finish(MQCC_FAILED, PCF_END_OF_MESSAGE);
        return;
    }
    // 3. The structure, checked whole before anything is handed back or moved.
    Item it{};
    int32_t rc = c->buffer ? checkStruct(c->buffer, c->length, c->position, &it) : MQRC_STRUC_LENGTH_ERROR;
    if (rc == 0 && it.type == MQCFT_GROUP && c->depth >= PCF_MAX_DEPTH) rc = MQRC_FORMAT_NOT_SUPPORTED;
    if (rc != 0) {
        setOutputs(c, it.type, it.parmId, nullptr, 0, 0, rc);
        finish(MQCC_FAILED, rc);
        return;
    }
    uint8_t *start = c->buffer + c->position;
    c->currentItem = start;
    c->position += static_cast<int32_t>(it.advance);
    if (it.type == MQCFT_GROUP) {
        // 6. Enter the group; it counts in its parent when it closes.
        c->groups[c->depth] = PcfGroupEntry{static_cast<uint32_t>(start - c->buffer),
                                            static_cast<uint32_t>(it.parmId), static_cast<int32_t>(it.count)};
        c->depth++;
        c->groupId = static_cast<uint32_t>(it.parmId);
        setOutputs(c, it.type, it.parmId, nullptr, 0, it.count, 0);
        finish(MQCC_OK, MQRC_NONE);
        return;
    }
    // 4. Strings without a CCSID take the default one.
    if (it.ccsidOffset) {
        auto at = static_cast<size_t>(it.ccsidOffset);
        if (mqiGetI32(start, at) == 0 && c->defaultCcsid != 0) mqiPutU32(start, at, c->defaultCcsid);
        c->lastCcsid = mqiGetU32(start, at);
    }
    lowerRemaining(c);
    setOutputs(c, it.type, it.parmId, it.type == PCF_TYPE_WORD ? nullptr : start + it.valueOffset, it.length,
               it.count, 0);
    finish(MQCC_OK, MQRC_NONE);
}

void MQPCFResetSuppressInt64ForTest() {
    gSuppressInt64.store(kSuppressUnknown, std::memory_order_release);
}
