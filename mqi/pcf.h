// PCF builder and parser: one "MQPP" cursor builds standard PCF messages in a growable buffer and
// walks received ones a parameter at a time through their groups. Received bytes are hostile: every
// field is read through the bounds-checked little-endian accessors below, never through a cast.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "mqi/cmqc.h"
#include "platform/platform.h"

// ---- Little-endian field access at byte offsets (stored and received layouts) ----

inline int32_t mqiGetI32(const void *base, size_t offset) {
    uint8_t b[4];
    std::memcpy(b, static_cast<const uint8_t *>(base) + offset, 4);
    return static_cast<int32_t>(static_cast<uint32_t>(b[0]) | static_cast<uint32_t>(b[1]) << 8 |
                                static_cast<uint32_t>(b[2]) << 16 | static_cast<uint32_t>(b[3]) << 24);
}
inline uint32_t mqiGetU32(const void *base, size_t offset) {
    return static_cast<uint32_t>(mqiGetI32(base, offset));
}
inline uint16_t mqiGetU16(const void *base, size_t offset) {
    uint8_t b[2];
    std::memcpy(b, static_cast<const uint8_t *>(base) + offset, 2);
    return static_cast<uint16_t>(b[0] | b[1] << 8);
}
inline int64_t mqiGetI64(const void *base, size_t offset) {
    return static_cast<int64_t>(static_cast<uint64_t>(mqiGetU32(base, offset)) |
                                static_cast<uint64_t>(mqiGetU32(base, offset + 4)) << 32);
}
inline void mqiPutU32(void *base, size_t offset, uint32_t v) {
    uint8_t b[4] = {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16),
                    static_cast<uint8_t>(v >> 24)};
    std::memcpy(static_cast<uint8_t *>(base) + offset, b, 4);
}
inline void mqiPutI32(void *base, size_t offset, int32_t v) {
    mqiPutU32(base, offset, static_cast<uint32_t>(v));
}
inline void mqiPutU16(void *base, size_t offset, uint16_t v) {
    uint8_t b[2] = {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8)};
    std::memcpy(static_cast<uint8_t *>(base) + offset, b, 2);
}
inline void mqiPutI64(void *base, size_t offset, int64_t v) {
    auto u = static_cast<uint64_t>(v);
    mqiPutU32(base, offset, static_cast<uint32_t>(u));
    mqiPutU32(base, offset + 4, static_cast<uint32_t>(u >> 32));
}
// CRC-32 (IEEE, reflected) of a byte range: the check value of the program's own stored layouts.
inline uint32_t mqiCrc32(const uint8_t *bytes, size_t length) {
    uint32_t crc = 0xFFFFFFFFu;
    for (size_t i = 0; i < length; i++) {
        crc ^= bytes[i];
        for (int bit = 0; bit < 8; bit++) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

// ---- The cursor ----

// Pseudo-types of the cursor beside the MQCFT_* structure types.
constexpr int32_t PCF_TYPE_WORD = 1000;              // the bare 4-byte word 1000
constexpr int32_t PCF_TYPE_STRING_1001 = 1001;       // written and read as MQCFST with Type 1001
constexpr int32_t PCF_TYPE_STRING_LIST_1002 = 1002;  // built as MQCFSL (Type 6)
constexpr int32_t PCF_TYPE_GROUP_END = 1003;         // closes the innermost group

constexpr int PCF_MAX_DEPTH = 10;
constexpr int32_t PCF_END_OF_MESSAGE = 10000;  // reason at the end of the parameters

struct PcfGroupEntry {
    uint32_t offset;    // of the group's MQCFGR in the buffer
    uint32_t id;        // the group's parameter id
    int32_t remaining;  // items still to read (parser)
};

struct PcfCursor {
    char eyeCatcher[4];    // "MQPP"
    uint8_t *buffer;       // the message, MQCFH first
    uint8_t **ownerSlot;   // the caller's pointer to the buffer, rewritten after growth (may be null)
    uint32_t mayGrow;      // 0 for a fixed buffer
    int32_t position;      // builder: used length; parser: offset of the next parameter
    int32_t length;        // builder: capacity; parser: message length
    uint32_t growth;       // extra bytes allocated on top of a new capacity
    uint8_t *currentItem;  // parameter last returned by the parser
    uint32_t type;         // outputs of the last item, as MQPCFGetNextParm returned them
    uint32_t parmId;
    uint32_t valueLength;
    uint32_t valueCount;
    uint32_t reason;
    uint8_t *value;
    uint32_t defaultCcsid;  // written into string parameters whose CodedCharSetId is 0
    uint32_t lastCcsid;     // CodedCharSetId of the last string returned
    int32_t remaining;      // top-level parameters still to read
    int32_t depth;          // open groups, 0 to 10
    uint32_t groupId;       // id of the innermost open group, 0 at top level
    PcfGroupEntry groups[PCF_MAX_DEPTH];
};

// Writes the 36-byte MQCFH a built message starts with (Version 1, MsgSeqNumber 1, Control last,
// no parameters). The buffer must hold 36 bytes.
void MQPCFInitHeader(uint8_t *buffer, int32_t type, int32_t command);

// Sets a cursor up to build into buffer (capacity bytes, MQCFH already written) from position 36.
// A growable cursor (mayGrow 1) owns a buffer from the counted heap; ownerSlot, when given, follows it.
void MQPCFInitBuilder(PcfCursor *cursor, uint8_t *buffer, int32_t capacity, uint32_t mayGrow, uint32_t growth,
                      uint8_t **ownerSlot);

// Sets a cursor up to walk a message of length bytes: remaining is the MQCFH ParameterCount (0 when
// the message is shorter than its MQCFH).
void MQPCFInitParser(PcfCursor *cursor, uint8_t *message, int32_t length, uint32_t defaultCcsid);
// After PCF_END_OF_MESSAGE: whether the parameters the MQCFH counts took the whole message, no byte
// left over. Messages the program stores itself are written so; one that is not was changed since.
bool MQPCFReadWhole(const PcfCursor *cursor);

// Appends one parameter (builder types 3, 4, 5, 6, 9, 13, 14, 15, 20, 23, 1000-1003); returns its value
// field inside the buffer (valid until the next growth) or null. A length of -1 takes a string up to its
// NUL, -2 with its NUL.
void *MQPCFSetParm(PcfCursor *cursor, int32_t type, int32_t parmId, const void *value, int32_t length,
                   int32_t opOrStringLength, int32_t *compCode, int32_t *reason);

// The string forms (4, 6, 14) with an explicit CodedCharSetId.
void *MQPCFSetStringParm(PcfCursor *cursor, int32_t type, int32_t parmId, const void *value, int32_t length,
                         int32_t ccsid, int32_t stringLengthOrOperator, int32_t *compCode, int32_t *reason);

// Appends a whole PCF structure that passes the parser's checks (not a group, not the word 1000),
// copied as it is, counted in the innermost group and raising the Version as its type does.
void *MQPCFAppendStruct(PcfCursor *cursor, const void *structure, int32_t length, int32_t *compCode,
                        int32_t *reason);

// Reads the next item: a parameter, a group entry (20) or a group end (1003). CompCode 2 with reason
// 10000 at the end; on any other failure nothing of the cursor's walk moves.
void MQPCFGetNextParm(PcfCursor *cursor, int32_t *type, int32_t *parmId, void **value, int32_t *length,
                      int32_t *count, int32_t *compCode, int32_t *reason);

// Forgets whether ZUNT_SUPPRESS_INT64 was read, so that the next MQCFIN64 reads it again (tests).
void MQPCFResetSuppressInt64ForTest();

// ---- PCF summary: the flat view of one message ----

constexpr uint32_t PCF_SUMMARY_HEAD = 440;
constexpr uint32_t PCF_SUMMARY_AREA = 64440;
constexpr uint32_t PCF_SUMMARY_ITEM = 64;
constexpr int32_t PCF_SUMMARY_MAX_ITEMS = 1000;

// Key slots, in this order: MQCACF_EVENT_Q_MGR, MQCA_Q_MGR_NAME, MQIACF_COMMAND, HLV_ATTR_OBJECT,
// HLV_ATTR_OBJECT_TYPE.
constexpr int PCF_SUMMARY_KEYS = 5;
constexpr int32_t pcfSummaryKeyIds[PCF_SUMMARY_KEYS] = {3047, 2015, 1021, 39316, 39317};
int pcfSummaryKeySlot(int32_t parmId);  // 0-4, or -1 when not a key

struct PcfSummaryItem {
    const uint8_t *source;  // the source structure (PCF) or item (compressed record)
    int32_t strucLength;
    int32_t ccsid;
    int32_t groupId;  // innermost open group, 0 at top level
    int32_t parmId;
    int32_t type;
    int32_t length;
    int32_t count;
    int32_t secondId;  // compressed date and time pairs: the time's id
    int32_t reserved;
    union {
        int64_t i64;
        int32_t i32;
        const void *ptr;
    } value;
    uint8_t spare[8];
};
static_assert(sizeof(PcfSummaryItem) == PCF_SUMMARY_ITEM);

struct PcfSummary {
    uint32_t command;
    uint32_t reason;
    uint32_t reasonQualifier;
    uint32_t subtype;
    uint32_t category;
    uint32_t commandValue;  // MQIACF_COMMAND of a command event
    PcfSummaryItem keys[PCF_SUMMARY_KEYS];
    uint32_t keyPresent;     // bit n: keys[n] filled
    int32_t itemCount;       // other items held in items[]
    int32_t parameterCount;  // MQCFH ParameterCount (header item count of a record)
    int32_t status;          // 0, or why reading stopped (a reason other than 10000)
    uint32_t truncated;      // 1 when appending stopped at 1000 items
    uint8_t spare[PCF_SUMMARY_HEAD - 24 - PCF_SUMMARY_KEYS * PCF_SUMMARY_ITEM - 20];
    PcfSummaryItem items[PCF_SUMMARY_MAX_ITEMS];
};
static_assert(offsetof(PcfSummary, items) == PCF_SUMMARY_HEAD);
static_assert(sizeof(PcfSummary) == PCF_SUMMARY_AREA);

// The summary held by an "MQPCFSUMMARY" or "evPCFSUMMARY" area.
inline PcfSummary *pcfSummaryOf(Area *area) {
    return reinterpret_cast<PcfSummary *>(AreaData(area));
}

// Files one item of a summary being built in area (which must hold PCF_SUMMARY_AREA bytes): the first
// occurrence of a key at top level or in the command context fills its slot (1); any other item is
// appended (0). -1 when 1000 items are held already: the item is dropped and truncated set.
[[nodiscard]] int pcfSummaryPlace(Area *area, const PcfSummaryItem *item);

// Summarises a standard PCF message (at least 36 bytes); strings with CCSID 0 take ccsid. Returns a
// pooled "MQPCFSUMMARY" area holding the summary (pcfSummaryOf), which the caller releases, or null.
// The first occurrence of a key fills its slot; later ones are appended like any other item. A
// damaged message keeps the items read before the damage, the parser's reason in status; past 1000
// items appending stops and truncated is set.
[[nodiscard]] Area *MQPCFSummarise(uint8_t *message, int32_t length, uint32_t ccsid);
