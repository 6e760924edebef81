// Compressed PCF records (evCF): the storage format of every record the system keeps. One PCF message
// becomes a 32-byte header and lead-byte items: small integers folded into the lead, strings interned
// in the string pool, a date and time pair folded into one timestamp. The layout is written down here;
// readers distrust it and check every item against the record end before touching it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "mqi/cmqc.h"
#include "mqi/pcf.h"
#include "platform/platform.h"

// ---- String pool as the record format sees it ----

// One pooled string: its text (not NUL-terminated), length and code page.
struct EvStringView {
    const char *text;
    uint32_t length;
    uint32_t ccsid;
};

// The string pool a writer interns into and readers resolve through. Stream storage implements it;
// tests use one in memory. intern returns the id of the text (1 upward), 0 on failure, for an empty
// text, or past 65535 bytes; lookup returns 1 with the entry, 0 for an id the pool does not hold.
struct EvStringPool {
    void *self;
    uint32_t (*intern)(void *self, uint32_t ccsid, const char *text, uint32_t length);
    int (*lookup)(void *self, uint32_t id, EvStringView *entry);
};

// The pool's default entry, id 0: "<Not Present>" in CCSID 850.
extern const EvStringView evStringNotPresent;
// The entry of an id, or the default entry when the pool (or the id) is not there.
EvStringView evPoolLookup(const EvStringPool *pool, uint32_t id);
// The text of a string id held in a string list or a string filter: there id 0 is a present, blank
// value (the writer interns no empty text), an empty string in CCSID 0; any other id as evPoolLookup.
EvStringView evPoolValue(const EvStringPool *pool, uint32_t id);

// ---- Record header, 32 bytes ----
//  0 u16 flags            2 u16 MQCFH Command
//  4 i64 event time (event records) / interval end (statistics)
// 12 u32 event id (event records)   / 12 i64 interval start (statistics)
// 16 u32 string id of the object name     20 u32 string id of the user identifier
// 24 u32 MQCFH Reason     28 u16 object type     30 u16 number of top-level items

constexpr uint32_t EVCF_HEADER_LENGTH = 32;

constexpr uint16_t EVCF_FLAG_EVENT = 1;        // compressed from an event message
constexpr uint16_t EVCF_FLAG_MULTI_USER = 4;   // more than one user-identifier parameter seen
constexpr uint16_t EVCF_FLAG_INQUIRE = 8;      // a command event of an inquire command
constexpr uint16_t EVCF_FLAG_AGGREGATED = 16;  // statistics: an absorbed aggregated record
constexpr uint16_t EVCF_FLAG_OWN_APPL = 32;    // the message came from this system ("Holva Software ZUNT")

inline uint16_t evCFGetFlags(const uint8_t *r) {
    return mqiGetU16(r, 0);
}
inline void evCFSetFlags(uint8_t *r, uint16_t v) {
    mqiPutU16(r, 0, v);
}
inline uint16_t evCFGetCommand(const uint8_t *r) {
    return mqiGetU16(r, 2);
}
inline void evCFSetCommand(uint8_t *r, uint16_t v) {
    mqiPutU16(r, 2, v);
}
inline int64_t evCFGetEventTime(const uint8_t *r) {
    return mqiGetI64(r, 4);
}
inline void evCFSetEventTime(uint8_t *r, int64_t v) {
    mqiPutI64(r, 4, v);
}
inline uint32_t evCFGetEventId(const uint8_t *r) {
    return mqiGetU32(r, 12);
}
inline void evCFSetEventId(uint8_t *r, uint32_t v) {
    mqiPutU32(r, 12, v);
}
inline int64_t evCFGetIntervalEnd(const uint8_t *r) {
    return mqiGetI64(r, 4);
}
inline void evCFSetIntervalEnd(uint8_t *r, int64_t v) {
    mqiPutI64(r, 4, v);
}
inline int64_t evCFGetIntervalStart(const uint8_t *r) {
    return mqiGetI64(r, 12);
}
inline void evCFSetIntervalStart(uint8_t *r, int64_t v) {
    mqiPutI64(r, 12, v);
}
inline uint32_t evCFGetObjectName(const uint8_t *r) {
    return mqiGetU32(r, 16);
}
inline void evCFSetObjectName(uint8_t *r, uint32_t v) {
    mqiPutU32(r, 16, v);
}
inline uint32_t evCFGetUserId(const uint8_t *r) {
    return mqiGetU32(r, 20);
}
inline void evCFSetUserId(uint8_t *r, uint32_t v) {
    mqiPutU32(r, 20, v);
}
inline uint32_t evCFGetReason(const uint8_t *r) {
    return mqiGetU32(r, 24);
}
inline void evCFSetReason(uint8_t *r, uint32_t v) {
    mqiPutU32(r, 24, v);
}
inline uint16_t evCFGetObjectType(const uint8_t *r) {
    return mqiGetU16(r, 28);
}
inline void evCFSetObjectType(uint8_t *r, uint16_t v) {
    mqiPutU16(r, 28, v);
}
inline uint16_t evCFGetItemCount(const uint8_t *r) {
    return mqiGetU16(r, 30);
}
inline void evCFSetItemCount(uint8_t *r, uint16_t v) {
    mqiPutU16(r, 30, v);
}

// ---- Items ----
// Items follow the header back to back, each opened by a lead byte that names its form; after it come
// the fields below. Ids and counts are u16, string ids u32, all LE. Every item counts as one parameter
// of its group (or of the header); a padding run counts as one.
constexpr uint8_t EVCF_LEAD_INT = 3;             // id, i32
constexpr uint8_t EVCF_LEAD_INT_LIST = 5;        // id, u16 count, count x i32
constexpr uint8_t EVCF_LEAD_BYTES = 9;           // id, u16 length, bytes
constexpr uint8_t EVCF_LEAD_INT_FILTER = 13;     // u8 operator, id, i32
constexpr uint8_t EVCF_LEAD_STRING_FILTER = 14;  // u8 operator, id, string id
constexpr uint8_t EVCF_LEAD_BYTES_FILTER = 15;   // u8 operator, id, u16 length, bytes
constexpr uint8_t EVCF_LEAD_GROUP = 20;          // id, u16 count of the group's items
constexpr uint8_t EVCF_LEAD_INT64 = 23;          // id, i64
// Leads 157 to 204: id, low byte; the int (lead - 157) x 256 + low byte, 11 to 12287.
constexpr uint8_t EVCF_LEAD_INT_BYTE_FIRST = 157;
constexpr uint8_t EVCF_LEAD_INT_BYTE_LAST = 204;
constexpr uint8_t EVCF_LEAD_INT_UNSET = 210;     // id: int 0x80000000
constexpr uint8_t EVCF_LEAD_INT_MIXED = 211;     // id: int 0x80000002
constexpr uint8_t EVCF_LEAD_INT64_UNSET = 212;   // id: i64 0x8000000000000000
constexpr uint8_t EVCF_LEAD_INT64_MIXED = 213;   // id: i64 0x8000000000000002
constexpr uint8_t EVCF_LEAD_STRING_MIXED = 214;  // id: string "*"
constexpr uint8_t EVCF_LEAD_INT16 = 220;         // id, i16
constexpr uint8_t EVCF_LEAD_EMPTY_STRING = 221;  // id
constexpr uint8_t EVCF_LEAD_DATE_TIME = 222;     // date id, time id, i64 seconds
constexpr uint8_t EVCF_LEAD_STRING = 223;        // id, string id
constexpr uint8_t EVCF_LEAD_STRING_LIST = 224;   // id, u16 count, count x string id
constexpr uint8_t EVCF_LEAD_POOLED_BYTES = 226;  // id, string id (read only: never written)
// Leads 227 to 240: id; the int lead - 230, -3 to 10.
constexpr uint8_t EVCF_LEAD_SMALL_FIRST = 227;
constexpr uint8_t EVCF_LEAD_SMALL_ZERO = 230;
constexpr uint8_t EVCF_LEAD_SMALL_LAST = 240;
// Leads 241 to 249: id; the int evCFCodedValues[lead - 241].
constexpr uint8_t EVCF_LEAD_CODED_FIRST = 241;
constexpr uint8_t EVCF_LEAD_CODED_LAST = 249;
constexpr uint8_t EVCF_LEAD_INT64_BYTE = 250;  // id, u8: i64 0..255
constexpr uint8_t EVCF_LEAD_INT64_U16 = 251;   // id, u16: i64 256..65535
constexpr uint8_t EVCF_LEAD_INT64_U32 = 252;   // id, u32: i64 65536..4294967295
constexpr uint8_t EVCF_LEAD_PADDING = 254;     // a run of 254 bytes, no id
constexpr uint8_t EVCF_LEAD_STRUCT = 255;      // a whole PCF structure (StrucLength bytes)
// Any other lead is invalid (3001).

// The integers of the leads 241 to 249, in lead order.
constexpr int32_t evCFCodedValues[EVCF_LEAD_CODED_LAST - EVCF_LEAD_CODED_FIRST + 1] = {
    20, 50, 80, 1000, 6000, 5000, 4194304, 104857600, 999999999};

// Item types beside the MQCFT_* ones: the forms a reader hands back, numbered as their leads.
constexpr int32_t EVCF_INT_UNSET = EVCF_LEAD_INT_UNSET;         // 0x80000000
constexpr int32_t EVCF_INT_MIXED = EVCF_LEAD_INT_MIXED;         // 0x80000002
constexpr int32_t EVCF_INT64_UNSET = EVCF_LEAD_INT64_UNSET;     // 0x8000000000000000
constexpr int32_t EVCF_INT64_MIXED = EVCF_LEAD_INT64_MIXED;     // 0x8000000000000002
constexpr int32_t EVCF_STRING_MIXED = EVCF_LEAD_STRING_MIXED;   // "*"
constexpr int32_t EVCF_DATE_TIME = EVCF_LEAD_DATE_TIME;         // value = seconds since 1970 (UTC)
constexpr int32_t EVCF_STRING_ID = EVCF_LEAD_STRING;            // an interned string: value = string id
constexpr int32_t EVCF_STRING_ID_LIST = EVCF_LEAD_STRING_LIST;  // data = count x u32 string ids
constexpr int32_t EVCF_FILTER_ID = 225;  // string filter not resolved: value = string id (no lead)
constexpr int32_t EVCF_BYTES_ID = EVCF_LEAD_POOLED_BYTES;  // interned byte string not resolved: string id
constexpr int32_t EVCF_PADDING = EVCF_LEAD_PADDING;        // writer: length bytes of 254
constexpr int32_t EVCF_STRUCT = EVCF_LEAD_STRUCT;  // a whole PCF structure: data, length = StrucLength

constexpr int EVCF_MAX_DEPTH = 10;

// One item: what a writer appends and what a reader hands back.
struct evCFItem {
    int32_t type;
    int32_t parmId;
    int32_t secondId;       // 222: the time's parameter id
    int32_t groupId;        // reader: the innermost open group; writer: informational
    uint32_t ccsid;         // strings: their code page
    int32_t length;         // bytes of data (strings, byte strings, lists); padding length for 254
    int32_t count;          // values of a list; the operator of a filter; a group's items
    int64_t value;          // integer, 64-bit integer, string id, timestamp
    const void *data;       // text, bytes, list values (LE), string ids (LE u32), PCF structure
    const uint8_t *source;  // writer: the PCF structure the item came from (lead 255), or null
};

// Writer state.
struct evCFWriterGroup {
    uint32_t offset;  // of the group item in the record
    uint32_t id;
};
struct evCFWriter {
    uint8_t *record;  // header first
    uint32_t capacity;
    uint32_t length;  // used, from 32
    const EvStringPool *pool;
    uint32_t defaultCcsid;    // for strings whose CCSID is 0
    int32_t reasonQualifier;  // of the source event
    int32_t userPriority;     // highest user-identifier priority seen
    int32_t pendingDateId;    // 0 when none
    char pendingDate[10];
    int32_t pendingTimeId;
    char pendingTime[8];
    uint32_t pendingCcsid;  // of the half held last, used for both when flushed
    uint32_t fixedLength;   // statistics writers: no date and time folding
    int32_t depth;
    evCFWriterGroup groups[EVCF_MAX_DEPTH];
};

// Length of a string without its trailing NUL, tab, newline and blank characters.
uint32_t evCFTrimmedLength(const char *text, uint32_t length);

// Sets a writer up over record (capacity bytes, at least 32): the header cleared, length 32.
int evCFWriterInit(evCFWriter *w, uint8_t *record, uint32_t capacity, const EvStringPool *pool,
                   uint32_t defaultCcsid);

// Appends one item; CompCode 2 with 2071 when the record is full (nothing written), 2317 at depth 10,
// 2241 at a group end with none open, 3240 for a group id over 65535. Items whose id is 0 are ignored.
void evCFAddParm(evCFWriter *w, const evCFItem *item, int32_t *compCode, int32_t *reason);
// Writes a pending date and then a pending time as ordinary strings. 0 or a reason.
[[nodiscard]] int32_t evCFFlushPending(evCFWriter *w);
// 1 when the string item was taken as half of a date and time pair; text is its trimmed value.
[[nodiscard]] int evCFEncodeParm(evCFWriter *w, const evCFItem *item, const char *text, uint32_t length,
                                 int32_t *reason);
// The object type a string parameter names (0 when none); 1 when it agrees with objectType (0 agrees
// with any). A channel parameter also agrees with 1016 and then names 1016.
int evCFKnownString(int32_t parmId, int32_t objectType, int32_t *typeOut);
// Whether a string parameter may name the record's object.
int evCFParmAllowed(const evCFWriter *w, int32_t parmId, int32_t objectType);
// Priority of a user-identifier parameter, 0 for others.
int32_t evCFParmCode(const evCFWriter *w, int32_t parmId);

// The date and time pairs (date id, time id) folded into one timestamp.
struct evCFDateTimePair {
    int32_t dateId;
    int32_t timeId;
};
constexpr int EVCF_DATE_TIME_PAIRS = 29;
extern const evCFDateTimePair evCFDateTimePairs[EVCF_DATE_TIME_PAIRS];

// ---- Reading ----

struct evCFCursorGroup {
    uint32_t offset;  // of the group item
    uint32_t id;
    uint32_t outerOffset;  // the enclosing group's
    uint32_t outerId;
    int32_t remaining;
};
struct evCFCursor {
    char eyeCatcher[4];  // "evCF"
    const EvStringPool *pool;
    const uint8_t *start;
    const uint8_t *end;
    uint32_t position;  // from 32
    uint32_t length;
    const uint8_t *currentItem;
    uint32_t itemLength;
    int32_t itemId;
    int32_t remaining;  // top-level items still to read
    uint32_t groupOffset;
    int32_t groupId;
    uint32_t resolve;  // 1: interned strings come back as text
    uint32_t flat;     // 1: a group inside a group replaces the innermost level
    int32_t depth;
    evCFCursorGroup groups[EVCF_MAX_DEPTH];
};

// Sets a cursor up over a record; one under 32 bytes has no items.
void evCFCursorInit(evCFCursor *c, const EvStringPool *pool, const uint8_t *record, uint32_t length,
                    uint32_t resolve, uint32_t flat);
// Reads the next item into *item and returns its id. CompCode 2 with 10000 at the end; 6123 for an item
// running past the record end, 3001 for an invalid lead, 2317 for groups nested deeper than 10: the
// position does not move. A group end comes back as 1003 with the closed group's own id.
int32_t evCFNextParm(evCFCursor *c, evCFItem *item, int32_t *compCode, int32_t *reason);
// 1 when a cursor (not flat) reads the record's items to their end (10000), 0 when it stops at a
// damaged item first: the same walk, measuring the items without decoding them.
int evCFItemsEnd(const uint8_t *record, uint32_t length);
// Decodes the one item at p (before end), strings always resolved, leading padding skipped, string
// lists as ids; 3001 for leads 13, 14, 15, 20 and 214. Returns the bytes consumed, 0 on failure.
int32_t evCFDecodeParm(const EvStringPool *pool, const uint8_t *p, const uint8_t *end, evCFItem *item,
                       int32_t *compCode, int32_t *reason);
// Value of the leads 227 to 249, 0 for others.
int32_t evCFValueCode(uint8_t lead);
// 1 with the value when the item at p (before end) is an integer form (3, 157-204, 220, 227-249).
int evCFDecodeInt(const uint8_t *p, const uint8_t *end, int32_t *value);
// The first item with that id (inside that group when groupId is not 0), or null.
const uint8_t *evCFFindParm(const uint8_t *record, uint32_t length, int32_t parmId, int32_t groupId);

// ---- Rebuilding standard PCF ----

// Appends one decoded item to a PCF message being built. Rebuilt messages have one level of groups;
// a top-level item after a group closes it. 0, or the reason of an item that was refused and skipped.
[[nodiscard]] int32_t evCFToPcfParm(const EvStringPool *pool, PcfCursor *pcf, const evCFItem *item);
// Appends a pair as two MQCFST: the date "yyyy-mm-dd" and the time "hh.mm.ss" of the timestamp in UTC.
[[nodiscard]] int32_t evCFAddTimeParms(PcfCursor *pcf, int64_t timestamp, int32_t dateId, int32_t timeId);

// ---- Compressing an event message ----

// Compresses one event message into a record in a pooled "COMPRESS" area (AreaData; used = length) that
// the caller releases. The first queue-manager name goes into qmgrName (49 bytes: 48 and a NUL) when
// it is still empty. 1 on success; 0 with reason: 2071 when storage failed, otherwise the message is
// malformed (3001 not an event, 3002 under 36 bytes, 3020 too many parameters, a parser or writer reason).
[[nodiscard]] int evCFCompress(const EvStringPool *pool, const MQMD *mqmd, uint8_t *message, int32_t length,
                               char *qmgrName, Area **record, int32_t *reason);

// ---- Command events ----

// Whether an MQCMD code is an inquire command (flag 8 of a command event's record).
int evIsInquireCommand(int32_t command);

// System parameter ids the record format reads.
constexpr int32_t HLV_ATTR_OBJECT = 39316;
constexpr int32_t HLV_ATTR_OBJECT_TYPE = 39317;
