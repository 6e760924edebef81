// Constant tables: every IBM MQ and ZUNT constant the program prints, accepts or emits, as rows of
// {value, symbol, description, MQSC keyword}. The rows are generated from mqi/data/ by
// mqi/gen/constgen.cpp into mqi/consts_tables.cpp; the lookups here are plain linear scans.
#pragma once

#include <cstdint>
#include <string_view>

// One row of a constant table. A table ends with a row whose fields are all zero or null; the
// feedback table's row 0 (value 0, empty symbol and description) is a real row, not the end.
struct evConstEntry {
    int64_t value;
    const char *symbol;       // "MQRC_STORAGE_NOT_AVAILABLE"; "" for the rows that have none
    const char *description;  // "Storage not available"
    const char *keyword;      // MQSC keyword, or null
};
static_assert(sizeof(evConstEntry) == 32, "evConstEntry is a 32-byte row");

// MQCMD_* by symbol, then the 32 command codes of ZUNT's own command set.
extern const evConstEntry evCommandNameTable[];
// Row 0 empty, then MQFB_* by symbol.
extern const evConstEntry evFeedbackTable[];
// MQRC_*, MQRCCF_*, ZUNT's HLVRCCF_* and 33844, every MQFB_* row, ZUNT's HLVFB_* feedback codes.
extern const evConstEntry evReasonTable[];
// PCF parameter identifiers with ZUNT's HLV_ATTR_*, HLV_GROUP_* and HLV_ACCST_*, by symbol.
extern const evConstEntry evAttrTable[];
// MQAT_UNKNOWN and the small value sets MQBND_, MQDL_, MQNPMS_, MQPER_, MQQA_, MQQDT_, MQSCO_CELL,
// MQSCO_Q_MGR, MQTC_, MQTT_ and MQUS_, by symbol.
extern const evConstEntry evGeneralTable[];
// Value sets of enumerated attributes, each by symbol, are declared in mqi/consts_tables.h as
// evValues followed by the prefix without '_': evValuesMQAT, evValuesMQOT (with ZUNT's HLV_OT_*
// rows), evValuesMQEVO, evValuesMQCERTVALPOLICY, evValuesHLVUR, evValuesMQPL (only the six
// platforms whose names the program prints) and the others.

// The directory of the "CONST." names: the general table, evAttrTable, evCommandNameTable,
// evReasonTable, evFeedbackTable, the 38 value sets, and the general table again.
struct evConstDirEntry {
    const char *name;  // the table's name or symbol prefix, for dumps and tests
    const evConstEntry *table;
};
inline constexpr int EV_CONST_DIRECTORY_SIZE = 44;
extern const evConstDirEntry evConstDirectory[EV_CONST_DIRECTORY_SIZE];

// First row with the value, or null.
const evConstEntry *evConstByValue(const evConstEntry *table, int64_t value);
// First row whose symbol equals the text exactly (whole text, case counts), or null.
const evConstEntry *evConstBySymbol(const evConstEntry *table, std::string_view symbol);
// First row whose MQSC keyword equals the text without regard to case, or null.
const evConstEntry *evConstByKeyword(const evConstEntry *table, std::string_view keyword);
// Rows in a table, the end row not counted.
int evConstRowCount(const evConstEntry *table);

// Description of a reason or feedback code: the first evReasonTable row with the value, else the
// first evFeedbackTable row, else "". evReasonText(0) is "".
const char *evReasonText(int64_t code);
// Symbol of a reason or feedback code by the same two tables, else "".
const char *evReasonSymbol(int64_t code);
// Description of a PCF command code ("Inquire q"), or "" (9028 has no row).
const char *evCommandName(int64_t command);
// Symbol of a PCF command code, or "".
const char *evCommandSymbol(int64_t command);
// Parameter identifier for display: first evAttrTable row with the value and a description.
const evConstEntry *evAttrByValue(int64_t id);
// Parameter identifier of an MQSC keyword (first row, any case), or null.
const evConstEntry *evAttrByKeyword(std::string_view keyword);
// Name of an MQ platform (MQPL value): "z/OS", "Unix", "IBM i", "Windows", ...; "" when unknown.
const char *evPlatformName(int64_t platform);
// The "CONST." lookup: the symbol (1 to 99 characters, any case) in the 44 directory tables in
// order, first match wins; null when no table has it.
const evConstEntry *evConstFind(std::string_view symbol);

#include "mqi/consts_tables.h"  // generated: every table by name
