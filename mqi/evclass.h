// Classification and text of events: the category and subtype of an event record, its one-line
// summary, the DISPLAY EVENTS parameter table whose keywords name event fields, and small shared MQ
// services (code-page conversion, punctuation sets, queue-manager capabilities, generic names).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "mqi/cf.h"
#include "mqi/mqbind.h"
#include "mqi/pcf.h"

// ---- Names of values: 40-byte rows {value, display text, MQSC keyword} ----

// A table ends with a row whose keyword is empty (null).
struct evValueName {
    uint64_t reserved0;
    int32_t value;
    const char *text;     // "Channel - Blocked"
    const char *keyword;  // "CHLBLK"
    uint64_t reserved1;
};
static_assert(sizeof(evValueName) == 40, "evValueName is a 40-byte row");

// One row of a command's parameter table: the keyword, its PCF identifier, value type and value
// names. The tables are constant except for the fields that the field tables fill at start
// (record offset, data type, lengths and field name), hence not const.
struct evParmDef {
    uint64_t reserved0;
    const char *applicability;  // command letter and mode pairs; column 0 'W' on selection names
    const char *flags;          // "a" and blanks
    const char *type;           // first character: the value type letter
    const char *keyword;        // null on the end row
    const evValueName *valueNames;
    const void *objectDescriptor;
    uint32_t parmId;  // 0 on the end row
    uint32_t reserved1;
    int32_t recordOffset;  // -1 a command option, -2 computed by the reader
    uint32_t dataType;
    uint32_t divisor;
    uint32_t keywordLength;
    uint32_t stringLength;
    char fieldName[20];
    uint32_t fieldNameLength;
};

// Data types of a row's value in its record (evParmDef::dataType). One meaning per code: the tables
// that name a type and every reader of rows (WHERE, the emitters, scripts) take these.
inline constexpr uint32_t EV_DATATYPE_INT32 = 2;  // int32_t; INT32_MIN: no value
// uint32_t read whole (never negative); 0x80000000: no value; 0x80000002, the mixed value of a sum,
// read as the signed marker it is (below every true value), as before.
inline constexpr uint32_t EV_DATATYPE_UINT32 = 90;
inline constexpr uint32_t EV_DATATYPE_CHARS = 14;   // text in place: stringLength bytes at most (0: to
                                                    // its NUL), trailing blanks not part of it
inline constexpr uint32_t EV_DATATYPE_INT64 = 25;   // int64_t, also times; INT64_MIN: no value
inline constexpr uint32_t EV_DATATYPE_BYTES = 88;   // const uint8_t *, then a uint16_t length
inline constexpr uint32_t EV_DATATYPE_STRING = 89;  // const StringEntry * (a pooled string); null: empty

// A command event's MQCMD code, its command subtype (3001 to 3161) and the object type of the
// command (10001 for a command without one). Sorted by code; ends with a zero row.
struct evCommandEvent {
    int32_t command;
    int32_t subtype;
    int32_t objectType;
};

// Event categories and subtypes, the names of the EVTYPE and EVREASON values (generated).
extern const evValueName evEventTypeNames[];
// Object types that label the object of an event (generated).
extern const evValueName evObjectTypeNames[];
// DISPLAY EVENTS DISTYPE values.
extern const evValueName evDisplayTypeNames[];
// DISPLAY EVENTS DISPCMDS values (the command events of inquire commands hidden or shown).
extern const evValueName evDisplayCommandsNames[];
// Marks MQIACF_COMMAND, whose values are named by the command name table's descriptions.
extern const evValueName evCommandNameMarker[];
// MQCMD code -> command subtype and object type (generated).
extern const evCommandEvent evCommandEventTable[];
// Command subtype of an MQCMD code; objectType (may be null) gets the command's object type, 10001
// when it has none. Codes without a row give 3999.
uint32_t evCommandEventType(int32_t command, int32_t *objectType);
// The DISPLAY EVENTS parameter table: 26 selection and derived rows, the separator "!" as row 27,
// then one row per MQ event field; ends with a row whose id is 0 (generated).
extern evParmDef evEventsParmTable[];

// Event categories.
inline constexpr uint32_t EV_CAT_AUTHORITY = 1000;
inline constexpr uint32_t EV_CAT_CHANNEL = 2000;
inline constexpr uint32_t EV_CAT_COMMAND = 3000;
inline constexpr uint32_t EV_CAT_CONFIG = 4000;
inline constexpr uint32_t EV_CAT_INHIBIT = 5000;
inline constexpr uint32_t EV_CAT_LOCAL = 6000;
inline constexpr uint32_t EV_CAT_LOGGER = 7000;
inline constexpr uint32_t EV_CAT_PERFORMANCE = 8000;
inline constexpr uint32_t EV_CAT_REMOTE = 9000;
inline constexpr uint32_t EV_CAT_SSL = 10000;
inline constexpr uint32_t EV_CAT_START_STOP = 11000;
inline constexpr uint32_t EV_CAT_IMS_BRIDGE = 12000;
inline constexpr uint32_t EV_CAT_UNKNOWN = 100000;
inline constexpr uint32_t EV_SUBTYPE_UNKNOWN_COMMAND = 3999;

// First row of a value-name table with the value, or null.
const evValueName *evValueNameByValue(const evValueName *table, int32_t value);
// Text of an event category or subtype, or null when it has no row.
const char *evEventTypeText(uint32_t subtype);
// Text of an object type ("Queue"), or null.
const char *evObjectTypeText(int32_t objectType);

// Row of the DISPLAY EVENTS table with the PCF identifier: identifiers below 10000 through an
// index built once (first row wins), others by a walk of the rows; null when none.
const evParmDef *evEventsParmById(uint32_t parmId);
// Rows in the DISPLAY EVENTS table, the end row not counted.
int evEventsParmCount();

// ---- Event classification ----

// MQIACF_REASON_QUALIFIER (1020) of a compressed record, 0 when absent. Items are stepped over by
// their lengths without regard to groups; a damaged or truncated record ends the scan with 0.
uint32_t evCFGetReasonQualifier(const uint8_t *record, size_t length);
// Value of the first MQIACF_COMMAND (1021) integer item of a record, by the same scan; 0 when none
// (found = 0).
int32_t evCFFindCommandValue(const uint8_t *record, size_t length, int *found);

// Category (out) and subtype (result) of an event record. For MQRC_NOT_AUTHORIZED with qualifier
// 1, 20 or 29 it writes object type 5 into the record header (offset 28). A record shorter than its
// 32-byte header is unknown (100000).
uint32_t evClassifyEvent(uint8_t *record, size_t length, uint32_t *category, uint32_t *command);

// Summary of a compressed record in a pooled "evPCFSUMMARY" area (pcfSummaryOf) that the caller
// releases; null when no area. The record is classified first (which may set its object type). A
// record under 32 bytes gives only the classification with status 2071; a damaged one keeps the items
// read before the damage, the cursor's reason in status; past 1000 items appending stops (truncated).
// Configuration events file their items by group: the event context under 8001, other top-level
// items under AFTER (39201) for create and refresh, BEFORE (39200) for delete; then one pass of
// neighbour swaps moves them towards the order none, 8001, 39200, 39201, others.
[[nodiscard]] Area *evCFSummarise(const EvStringPool *pool, uint8_t *record, size_t length);

// ---- Event summary text ----

inline constexpr size_t EV_SUMMARY_LINE = 128;  // the text; a buffer holds one byte more

// The one-line text of an event record from its summary, in out (EV_SUMMARY_LINE + 1 bytes or more):
// the subtype's text, the object type and name (the name shown in ccsid as MQConvertShown makes it,
// through the connection; ccsid 0 or a name that cannot be converted leaves it as it is), and for a
// configuration change the attributes that changed. Returns the length of the text, 0 when the
// record has no header.
int evEventSummary(const EvStringPool *pool, const uint8_t *record, size_t length, const PcfSummary *summary,
                   char *out, const MQIFunctionTable *table, int32_t hconn, int32_t ccsid);
// The change list of a configuration change, written at out for a line already lineUsed bytes long:
// " -" then each attribute whose AFTER value differs from its BEFORE value, fitted to the first 124
// bytes of the line so that a closing " ..." always fits; " No changes." when none. Returns the length.
int evFormatChanges(const EvStringPool *pool, const PcfSummary *summary, char *out, size_t lineUsed);
// One changed attribute: " NAME[old -> new]", or " NAME" once values stop fitting (*showValues is then
// cleared for the attributes after it); 0 when not even the name fits in room bytes.
int evFormatEventAttrs(const EvStringPool *pool, const PcfSummaryItem *before, const PcfSummaryItem *after,
                       int *showValues, char *out, size_t room);
// The text of an item's value: integers by the parameter's value names (MQSC keywords) or the command
// name, lists joined by commas in quotes, strings in single quotes; nothing for other types.
int evFormatAttrValue(const EvStringPool *pool, const evParmDef *def, const PcfSummaryItem *item,
                      std::string *out);

// ---- Queue-manager capabilities ----

inline constexpr int EV_QMGR_CAPABILITIES = 78;
struct QmgrCapabilities {
    uint8_t flag[EV_QMGR_CAPABILITIES];  // 0 or 1, numbered 0 to 77
};
// Sets the flags of an MQPL platform at a command level; nothing with a null record. Flags already
// set stay set.
void evSetQmgrCapabilities(QmgrCapabilities *caps, int32_t platform, int32_t commandLevel);

// ---- PCF dumps ----

// Where dump lines go (each without its final newline); the console through evOutput unless a test
// sets another. Returns the previous sink; null restores the console.
using evDumpSink = void (*)(const char *line, int32_t length);
evDumpSink evSetDumpSink(evDumpSink sink);
// Hands one debug line of the MQ layer (without its newline) to the dump sink.
void evDumpLine(const char *line, int32_t length);

// Dumps a standard PCF message: the header line, and with debug letter d one line per parameter.
// A message shorter than its MQCFH prints "DumpPCF failed 2071 ...".
void DumpPCF(uint8_t *message, int32_t length);

// ---- Code-page conversion ----

// Converts text between CCSIDs through the connection's MQXCNVC (options 545: default conversion,
// native encodings). targetLength is the room in target on input and the converted length on
// output. 0 on success (CompCode not failed), 4 for 2111 (source CCSID), 5 for 2115 (target CCSID),
// 6 for any other failure or a table without MQXCNVC. With CS_CONVERSION_DEBUG set a failure prints
// "MQXCNVC(%d -> %d) RC(%d)" through the dump sink.
[[nodiscard]] int MQConvertString(const MQIFunctionTable *table, int32_t hconn, const char *source,
                                  int32_t sourceLength, char *target, int32_t *targetLength,
                                  int32_t sourceCcsid, int32_t targetCcsid);

// Replaces what is not valid UTF-8 in text (a byte that starts no character, a sequence cut short,
// an overlong form, a surrogate, a value past U+10FFFF) by U+FFFD, one for each maximal ill-formed
// part as Unicode counts them, into out (3 bytes a byte of text; null only counts). Returns the
// bytes written; *replaced (may be null) the replacement characters. Valid text is copied as it is.
size_t MQRepairUtf8(const char *text, size_t length, char *out, uint32_t *replaced);

// A text converted from its own CCSID for showing in targetCcsid: what is not valid in the source
// (UTF-8 as MQRepairUtf8 says, a lone UTF-16 surrogate) becomes U+FFFD, and in a target without it
// the target's substitution character; a source CCSID the conversion does not know keeps its ASCII
// bytes and every other byte becomes U+FFFD. Text already in the target's CCSID is copied as it is
// (UTF-8 repaired). *replaced (may be null) counts the characters replaced. Results as
// MQConvertString; UTF-8 and UTF-16 sources need no table for a UTF-8 target.
[[nodiscard]] int MQConvertShown(const MQIFunctionTable *table, int32_t hconn, const char *source,
                                 int32_t sourceLength, char *target, int32_t *targetLength,
                                 int32_t sourceCcsid, int32_t targetCcsid, uint32_t *replaced);

// The punctuation that records written in a CCSID use: '[', ']', '{', '}', '!' and the single quote.
struct MQPunctuationEntry {
    MQPunctuationEntry *next;
    uint32_t ccsid;
    char chars[6];  // in CCSID 850 where a conversion failed
};
enum : int {
    EV_PUNCT_LBRACKET,
    EV_PUNCT_RBRACKET,
    EV_PUNCT_LBRACE,
    EV_PUNCT_RBRACE,
    EV_PUNCT_BANG,
    EV_PUNCT_QUOTE
};

// The entry of a CCSID, made on first use by converting each character from CCSID 850 (the quote
// first: when it fails, all six stay as in CCSID 850). Entries are kept most recently used first
// and never freed; null only when no storage is left.
const MQPunctuationEntry *MQCcsidPunctuation(const MQIFunctionTable *table, int32_t hconn, uint32_t ccsid);
// Entries in the list (tests).
int MQPunctuationEntryCount();

// Options of evDumpPCF.
inline constexpr uint32_t EV_DUMP_PARMS = 1;  // the parameter lines even without debug letter d
inline constexpr uint32_t EV_DUMP_TYPE = 2;   // each line starts "Type(%3d) "
inline constexpr uint32_t EV_DUMP_ADDRESS =
    4;  // each line starts "@%p (+%6d) ": address, offset in the record
// Dumps a compressed record: the header line (label, command, reason, object-name string id, item
// count), then with debug letter d or EV_DUMP_PARMS one line per item; strings by their ids and
// date and time pairs as local calendar text. A record under 32 bytes prints "evDumpPCF failed 2071 ...".
void evDumpPCF(const EvStringPool *pool, const char *label, uint32_t options, const uint8_t *record,
               size_t length);

// ---- Generic names ----

// Appends an MQCFST (the name's CCSID) of the name cut after its N-th '.' from the left followed by
// '*' (N > 0: A.B.C, 1 gives A.*), or '*' followed by the name from its |N|-th '.' from the right
// (N < 0: *.C); the whole name when it has fewer dots, N is 0 or it is 100 characters or longer.
// Returns the string inside the message, or null (2071 when the message cannot grow).
void *evAddGenericNameParm(PcfCursor *cursor, int32_t parmId, const EvStringView *name, int32_t segments,
                           int32_t *compCode, int32_t *reason);
// 0 when two pooled names of the same CCSID agree over their last |N| segments (N < 0, compared from
// the end), their first N segments (N > 0) or whole (N = 0); 1 otherwise.
int evCompareNameSegments(const EvStringView *a, const EvStringView *b, int32_t segments);
