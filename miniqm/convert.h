// Code-page conversion for MQXCNVC and MQGET with MQGMO_CONVERT: single-byte code pages through
// byte-to-Unicode tables, UTF-8 (1208) and UTF-16 (1200, byte order from the encoding), and
// IBM MQ's reason codes. No default conversion is configured, as on a fresh IBM MQ installation.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "mqi/cmqc.h"

namespace qmconv {

// One single-byte code page: what each byte means in Unicode.
struct SbcsTable {
    MQLONG ccsid;
    const uint16_t *toUnicode;  // 256 entries
    bool ebcdic;                // blank is 0x40 and the substitution character 0x3F
};
extern const SbcsTable kSbcsTables[];
extern const size_t kSbcsTableCount;

constexpr MQLONG kUtf8 = 1208;
constexpr MQLONG kUtf16 = 1200;

// True for the CCSIDs miniqm converts (37 and 037 are the same number).
bool supported(MQLONG ccsid);

// Converts a whole string. reversed tells, for UTF-16, that the bytes are little-endian (as
// MQENC_INTEGER_REVERSED). Characters the target lacks become its substitution character.
// Returns MQRC_NONE, MQRC_SOURCE_CCSID_ERROR, MQRC_TARGET_CCSID_ERROR or MQRC_DBCS_ERROR (the
// source is not valid UTF-8 or UTF-16).
MQLONG convert(MQLONG fromCcsid, bool fromReversed, std::string_view in, MQLONG toCcsid, bool toReversed,
               std::string &out);

// MQXCNVC: converts SourceLength bytes into at most TargetLength bytes. A target too small gets
// as many whole characters as fit and MQCC_WARNING with MQRC_CONVERTED_MSG_TOO_BIG; with
// MQDCC_FILL_TARGET_BUFFER a shorter result is padded with blanks of the target code page.
void xcnvc(MQLONG options, MQLONG sourceCcsid, MQLONG sourceLength, const char *source, MQLONG targetCcsid,
           MQLONG targetLength, char *target, MQLONG *dataLength, MQLONG *compCode, MQLONG *reason);

// Whether an MQLONG encoding stores integers little-endian (MQENC_INTEGER_REVERSED).
inline bool reversedEncoding(MQLONG encoding) {
    return (encoding & MQENC_INTEGER_MASK) == MQENC_INTEGER_REVERSED;
}

// MQGET with MQGMO_CONVERT: converts message data of the given format from the message's CCSID and
// encoding to the requested ones. Returns MQRC_NONE (out holds the converted data, which may be
// longer or shorter) or the reason IBM MQ returns as a warning with the message unconverted:
// MQRC_FORMAT_ERROR (MQFMT_NONE or a format without built-in conversion), MQRC_SOURCE_CCSID_ERROR,
// MQRC_TARGET_CCSID_ERROR, MQRC_DBCS_ERROR or MQRC_NOT_CONVERTED.
MQLONG convertMessage(std::string_view format, MQLONG fromCcsid, MQLONG fromEncoding, std::string_view data,
                      MQLONG toCcsid, MQLONG toEncoding, std::string &out);

}  // namespace qmconv
