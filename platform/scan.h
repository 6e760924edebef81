// Text services of the platform layer: tokenisers and quote-aware finders for expression, script and
// MQSC text, keyword tables, wildcard and byte search, hex texts, MQ date and time texts, time slots
// for collation, and the FROM/TO time specifications of the display commands.
#pragma once

#include <cstddef>
#include <cstdint>

// ---- Tokenisers and finders (scan.cpp) ----------------------------------------------------------

// Size of the token buffer of scanGetMQSCToken: tokens are cut at 500 characters, plus the NUL.
inline constexpr size_t SCAN_MQSC_TOKEN_SIZE = 501;

// Cuts the next lexeme from [*cursor, end): 1 when none is left (length 0), else 0 with the lexeme
// at *lexeme and *length bytes long; *cursor moves past it. `delimiters` are one-character lexemes
// ("<>", "!=", ">=", "<=", "==" pair up), `separators` end any other lexeme; quotes keep a lexeme
// together, quotes included. Stops at a NUL.
int scanGetToken(const char **cursor, const char *end, const char *delimiters, const char *separators,
                 const char **lexeme, size_t *length);

// scanGetToken for MQSC text: a lexeme in single quotes takes two quotes in it as one of its
// characters, as MQSC does ('it''s' is one lexeme, quotes and doubled quote included).
int scanGetMQSCLexeme(const char **cursor, const char *end, const char *delimiters, const char *separators,
                      const char **lexeme, size_t *length);

// The text of a quoted MQSC lexeme's inside [text, text + length) with each doubled single quote
// made one, into out (at least length bytes): its length.
size_t scanUndoubleQuotes(const char *text, size_t length, char *out);

// Cuts the next MQSC token from the NUL-terminated text at *cursor into token (SCAN_MQSC_TOKEN_SIZE
// bytes): 1 at the end of the text (empty token), else 0. Quoted tokens lose their quotes and keep
// their case, two single quotes in a single-quoted one being one quote; other tokens are
// upper-cased; ';' and '#' start comments to the end of the line.
int scanGetMQSCToken(const char **cursor, char *token);

// The finders stop with null at end or at a NUL. A single or double quote opens a quoted part that
// the same quote closes; inside it the other quote and all brackets are plain characters.
const char *scanFindCharOutside(const char *text, const char *end, char character);  // depth 0 of () []
const char *scanFindSemicolon(const char *text, const char *end);                    // outside ()
const char *scanFindComma(const char *text, const char *end);                        // depth 0 of () []
const char *scanSkipQuoted(const char *afterQuote, char quote, const char *end);     // the closing quote
const char *scanFindCloseBracket(const char *afterOpen, const char *end);            // the matching ')'

// In a reply entry [text, end) of attributes (KEYWORD or KEYWORD(value), message lines passed over),
// the ')' that ends the value opening at afterOpen: values are shown unquoted, and a bracket in one
// needs no pair, so it is the first ')' after which the rest of the entry reads as attributes not
// met before in it, or the entry ends. An entry that does not read so (or takes too many tries)
// gives scanFindBracketPair's answer.
const char *scanReplyValueEnd(const char *text, const char *end, const char *afterOpen);
// The ')' that pairs with the '(' before afterOpen, counting brackets only (no quotes), or null.
const char *scanFindBracketPair(const char *afterOpen, const char *end);

// 1 when the NUL-terminated text matches the digit pattern: 'N' one or more digits, 'n' one digit,
// '-', '.' and ':' themselves, any other pattern character only when it is in `extra` (may be null).
// With `whole` the text must end where the pattern ends.
int scanMatchPattern(const char *pattern, const char *text, const char *extra, int whole);

// Keyword tables of the command console. A condition index names a byte of the caller's condition
// array: for cond[0] and cond[1] the byte must be non-zero, for cond[2] zero; index 0 is no condition.
// Dictionaries lay out their rows and entries with these fields first.
inline constexpr uint32_t SCAN_KIND_NOT_KEYWORD = 6;  // not a keyword of its own: skipped by name

struct ScanKeywordDef {
    uint16_t cond[3];
    const char *names;  // synonyms separated by '/', e.g. "TYPE/CHLTYPE"
    uint32_t kind;
    uint32_t id;
};

struct ScanKeywordRow {
    uint16_t cond[3];
    const ScanKeywordDef *def;  // null ends the table
};

// 0 when the NUL-terminated keyword names a definition whose row and own conditions hold (row and
// definition returned through the non-null out addresses), 1 when not.
int scanFindKeyword(const uint8_t *conditions, const ScanKeywordRow *table, const char *keyword,
                    const ScanKeywordRow **rowOut, const ScanKeywordDef **defOut);
// The row whose definition has the identifier and whose conditions hold, or null.
const ScanKeywordRow *scanFindKeywordById(const uint8_t *conditions, const ScanKeywordRow *table,
                                          uint32_t id);

// ---- Wildcard, byte search and hex (wild.cpp) ----------------------------------------------------

// 1 when the whole counted text matches the counted pattern ('*' any run, '?' one character).
int evWildMatch(const char *text, size_t textLength, const char *pattern, size_t patternLength);
int evWildMatchNoCase(const char *text, size_t textLength, const char *pattern, size_t patternLength);

// First occurrence of the needle in the buffer; the buffer for an empty needle; null when absent.
const char *evMemFind(const char *buffer, size_t length, const char *needle, size_t needleLength);
const char *evMemFindNoCase(const char *buffer, size_t length, const char *needle, size_t needleLength);

// Two upper-case hex digits per byte, two blanks per position from count up to width (0 = count),
// then a NUL: output holds 2 * max(count, width) + 1 bytes.
void evHexString(const void *bytes, size_t count, size_t width, char *output);
// A 24-byte MQ identifier as 48 upper-case hex digits and a NUL (49 bytes).
void evIdToHex(const uint8_t *id, char *output);
// Hex text to bytes (output holds length / 2 bytes): 0, or 1 at the first character that is not a hex
// digit (the bytes converted so far stay). Conversion stops at a NUL; the unconverted rest of the
// output is zeroed.
int evHexToBytes(const char *hex, size_t length, uint8_t *output);

// ---- MQ date and time texts (mqtime.cpp) ---------------------------------------------------------

// A calendar date and time of day: month 1-12, day 1-31, hour 0-23, minute and second 0-59.
struct EvCivilTime {
    int year, month, day, hour, minute, second;
};
// The seconds since 1970 (UTC) the fields name, read as local time (daylight saving decided by the
// library) when local is 1, else as UTC: 1 with *seconds set, 0 when no time can be given. A field
// past its range carries into the next (the 32nd of January is the 1st of February).
[[nodiscard]] int evCivilToTime(const EvCivilTime *civil, int local, int64_t *seconds);
// Local MQ date YYYY-MM-DD and time HH.MM.SS as seconds since 1970 (UTC): 1 with *seconds set. A date
// shorter than 10 or a time shorter than 8 characters (or null) counts as 1970-01-01 and 00:00:00; 0
// when a field is not all digits or the time cannot be converted (every result, -1 included, is a time).
[[nodiscard]] int evMQDateTimeToTime(const char *date, size_t dateLength, const char *time, size_t timeLength,
                                     int64_t *seconds);
// UTC date YYYYMMDD and time HHMMSS as seconds since 1970: 1 with *seconds set, 0 for a null text or a
// field not digits.
[[nodiscard]] int evYMDHMSToTime(const char *date, const char *time, int64_t *seconds);
// Writes the local date (exactly 10 characters) and time (exactly 8), no NUL, of *when or of the
// clock when null; returns the time used. With MQ_TIMEDEBUG set it prints what it was given.
int64_t evNowDateTime(const int64_t *when, char *date, char *time);
// First "TZ(" in the NUL-terminated text, ignoring case, or null.
const char *evFindTZ(const char *text);

// ---- Time slots (timeslot.cpp) -------------------------------------------------------------------

// Room timeSlotLabel needs: the longest label, of an ordinal or time of any int slot, and its NUL.
inline constexpr size_t TIMESLOT_LABEL_SIZE = 32;

// The slot of a time for a collation kind (20 to 90), in local time; 0 for an unknown kind or a time
// that cannot be broken down.
int timeSlotIndex(int kind, int64_t time);
// Writes the label of a slot (TIMESLOT_LABEL_SIZE bytes) and returns its length.
int timeSlotLabel(int kind, int slot, char *output);

// ---- FROM and TO time specifications (fromto.cpp) ----------------------------------------------

inline constexpr uint32_t TIMESPEC_FROM_ID = 39318;  // the FROM parameter (HLV_ATTR_FROM)
inline constexpr int32_t TIMESPEC_RC_SYNTAX = 3097;  // malformed FROM/TO texts (MQRCCF_PARM_SYNTAX_ERROR)
inline constexpr int32_t TIMESPEC_RC_VALUE = 3229;   // value errors (MQRCCF_PARM_VALUE_ERROR)
inline constexpr size_t TIMESPEC_ELEMENT_SIZE = 64;  // each element buffer of evParseTimeSpec

// One FROM or TO parameter of a query, filled by the response builder of its command.
struct TimeSpecParm {
    const char *name;  // "FROM", "TO"
    uint32_t id;       // TIMESPEC_FROM_ID for FROM
    char *msg;         // the last error text is left here (may be null)
    size_t msgSize;
    int32_t zoneMinutes;  // the query's zone, minutes east of UTC
    int zoneIsLocal;      // the zone is this system's own: convert as local time
    void (*addError)(void *sink, int32_t reason, uint32_t parmId, const char *text);
    void *sink;
};

// Splits the NUL-terminated text into date, time and relative elements (TIMESPEC_ELEMENT_SIZE bytes
// each; "now" and "any" go to the time element): 1, or 0 after reporting the error.
[[nodiscard]] int evParseTimeSpec(TimeSpecParm *parm, const char *text, char *date, char *time,
                                  char *relative);
// The seconds named by the date and time elements: 1 with *result set, or the reported reason.
[[nodiscard]] int evParseTimeValue(TimeSpecParm *parm, const char *date, const char *time, int64_t *result);
