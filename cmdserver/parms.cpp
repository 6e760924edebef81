// Parameter checks shared by every handler: integers in a range, days and minutes as seconds,
// trimmed strings, MQ names, and the answers to unexpected or malformed parameters, so that all
// commands refuse a bad value with the same reasons and texts.
#include <cctype>
#include <cstdio>
#include <cstring>

#include "cmdserver/internal.h"

namespace {

constexpr int32_t kTooLong = MQRCCF_CFST_STRING_LENGTH_ERR;  // 3011
constexpr char kRangeText[] = "Parameter '%%s' must be between %d and %d.";

// Whether a byte is (part of) a printable character in the text's code page: the C0 controls and
// DEL never are; the ISO 8859 pages (819, 912 to 923) keep 128 to 159 for the C1 controls; in the
// other pages the system converts (850, 437, 1252, the bytes of 1208's multi-byte characters) every
// byte from 128 up is part of a character.
constexpr unsigned char kSubstitute = 0x1A;

bool printableIn(unsigned char c, int32_t ccsid) {
    if (c < 0x20 || c == 0x7F) return false;
    if (c < 0x80) return true;
    const bool iso8859 = ccsid == 819 || (ccsid >= 912 && ccsid <= 923);
    return !(iso8859 && c < 0xA0);
}

// The code page of the string the cursor last returned: its own, else the request message's.
int32_t textCcsid(QmgrContext *context, const PcfCursor *cursor) {
    if (cursor->lastCcsid != 0) return static_cast<int32_t>(cursor->lastCcsid);
    const CmdRequest *request = cmdRequest(context);
    return request != nullptr && request->md != nullptr ? request->md->CodedCharSetId : 0;
}

bool noFailure(QmgrContext *context) {
    const CmdRequest *request = cmdRequest(context);
    return request->lastReason == 0 && request->errorFlag == 0;
}

// The range text with the numbers filled and "%s" kept for the keyword.
int rangeError(QmgrContext *context, const PcfCursor *cursor, int32_t minimum, int32_t maximum) {
    char text[128];
    std::snprintf(text, sizeof text, kRangeText, minimum, maximum);
    return evParameterNameError(context, cursor, MQRCCF_PARM_VALUE_ERROR, text);
}

int getScaled(QmgrContext *context, const PcfCursor *cursor, int32_t maximum, int32_t unit,
              int32_t *seconds) {
    int32_t value = 0;
    if (!evParmGetInt(context, cursor, 1, maximum, &value)) return 0;
    *seconds = value * unit;  // within 32 bits by the bound
    return 1;
}

bool isSystemStream(const char *text, size_t length) {
    static const char *const kNames[] = {"$EVENTS", "$STATQ", "$STATCHL", "$STATMQI", "$ACCTQ", "$ACCTMQI"};
    for (const char *name : kNames)
        if (std::strlen(name) == length && std::memcmp(name, text, length) == 0) return true;
    return false;
}

bool checkOne(const char *text, size_t length, uint32_t flags) {
    if (length == 0) return false;
    if ((flags & CMD_NAME_SYSTEM_STREAMS) && text[0] == '$') return isSystemStream(text, length);
    if ((flags & CMD_NAME_NULL) && length >= 5) {
        bool isNull = true;
        for (size_t i = 0; i < 5; i++)
            isNull = isNull && std::tolower(static_cast<unsigned char>(text[i])) == "$null"[i];
        if (isNull) return true;
    }
    for (size_t i = 0; i < length; i++) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c != '\0' && (std::isalnum(c) || std::strchr("/%_.", c) != nullptr)) continue;
        if ((flags & CMD_NAME_WILDCARDS) && (c == '*' || c == '?')) continue;
        if ((flags & CMD_NAME_DOLLAR) && c == '$') continue;
        return false;
    }
    return true;
}

}  // namespace

int evParmGetInt(QmgrContext *context, const PcfCursor *cursor, int32_t minimum, int32_t maximum,
                 int32_t *out) {
    if (cursor->type != MQCFT_INTEGER || cursor->value == nullptr)
        return evParameterNameError(context, cursor, MQRCCF_PARM_VALUE_ERROR,
                                    "Parameter '%s' should be an integer."),
               0;
    const int32_t value = mqiGetI32(cursor->value, 0);
    if (value < minimum || value > maximum) return rangeError(context, cursor, minimum, maximum), 0;
    *out = value;
    return noFailure(context) ? 1 : 0;
}

int evParmGetDays(QmgrContext *context, const PcfCursor *cursor, int32_t *seconds) {
    return getScaled(context, cursor, CMD_MAX_DAYS, 86400, seconds);
}

int evParmGetMinutes(QmgrContext *context, const PcfCursor *cursor, int32_t *seconds) {
    return getScaled(context, cursor, CMD_MAX_MINUTES, 60, seconds);
}

int evParmGetString(QmgrContext *context, const PcfCursor *cursor, uint32_t flags, int32_t maximum,
                    const char **text, int32_t *length) {
    if (cursor->type != MQCFT_STRING || cursor->value == nullptr)
        return evParameterNameError(context, cursor, MQRCCF_PARM_VALUE_ERROR,
                                    "Parameter '%s' should be a string."),
               0;
    const auto *p = static_cast<const char *>(static_cast<const void *>(cursor->value));
    int32_t n = static_cast<int32_t>(cursor->valueLength);
    while (n > 0 && p[0] == ' ') {
        p++;
        n--;
    }
    while (n > 0 && p[n - 1] == ' ') n--;
    if (n > maximum) return evParameterNameError(context, cursor, kTooLong, "Parameter '%s' is too long"), 0;
    const int32_t ccsid = textCcsid(context, cursor);
    for (int32_t i = 0; i < n; i++) {
        const auto c = static_cast<unsigned char>(p[i]);
        // A conversion to the queue manager's code page leaves SUB (X'1A') for a character the code
        // page lacks.
        if (c == kSubstitute)
            return evParameterNameError(context, cursor, MQRCCF_PARM_VALUE_ERROR,
                                        "Parameter '%s' contains characters which cannot be represented in "
                                        "the queue manager's code page."),
                   0;
        if (!printableIn(c, ccsid))
            return evParameterNameError(context, cursor, MQRCCF_PARM_VALUE_ERROR,
                                        "Parameter '%s' contains non-printable characters."),
                   0;
        if ((flags & CMD_STRING_HEX) && !std::isxdigit(c))
            return evParameterNameError(context, cursor, MQRCCF_PARM_VALUE_ERROR,
                                        "Parameter '%s' should be all HEX characters."),
                   0;
    }
    *text = p;
    *length = n;
    return noFailure(context) ? 1 : 0;
}

int evCheckName(const char *text, int32_t length, uint32_t flags) {
    if (text == nullptr) return 0;
    const size_t total = length < 0 ? std::strlen(text) : static_cast<size_t>(length);
    if (total == 0) return 0;
    if (!(flags & (CMD_NAME_LIST | CMD_NAME_LIST_TRIM))) return checkOne(text, total, flags) ? 1 : 0;
    const uint32_t itemFlags = flags & ~(CMD_NAME_LIST | CMD_NAME_LIST_TRIM);
    size_t start = 0;
    for (;;) {
        size_t stop = start;
        while (stop < total && text[stop] != ',') stop++;
        const char *item = text + start;
        size_t n = stop - start;
        if (flags & CMD_NAME_LIST_TRIM) {
            while (n > 0 && item[0] == ' ') {
                item++;
                n--;
            }
            while (n > 0 && item[n - 1] == ' ') n--;
        }
        if (!checkOne(item, n, itemFlags)) return 0;
        if (stop >= total) return 1;
        start = stop + 1;
    }
}

int evParameterError(QmgrContext *context, const PcfCursor *cursor, int32_t parmId, int32_t type) {
    int32_t reason = 0;
    const auto own = static_cast<int32_t>(cursor->reason);
    if (own == kTooLong || own == 3257 || own == 6123) {
        reason = own;
    } else {
        switch (type) {
            case MQCFT_STRING:
                reason = MQRCCF_CFST_PARM_ID_ERROR;
                break;
            case MQCFT_INTEGER_LIST:
            case MQCFT_INTEGER64_LIST:
                reason = 3047;
                break;
            case MQCFT_STRING_LIST:
                reason = 3033;
                break;
            case MQCFT_BYTE_STRING:
                reason = 3256;
                break;
            default:
                reason = 3014;
                break;
        }
    }
    return evPcfResponse(context, cmdRequest(context)->command, reason, parmId, nullptr);
}

int evParameterNameError(QmgrContext *context, const PcfCursor *cursor, int32_t reason,
                         const char *templateText) {
    CmdRequest *request = cmdRequest(context);
    const auto parmId = static_cast<int32_t>(cursor->parmId);
    const evParmDef *row = evFindParmById(evCommandByCode(static_cast<uint32_t>(request->command)),
                                          static_cast<uint32_t>(parmId));
    if (row == nullptr || row->keyword == nullptr)
        return evPcfResponse(context, request->command, reason, parmId, templateText);
    char text[512];
    cmdFillKeyword(text, sizeof text, templateText, row->keyword);
    return evPcfResponse(context, request->command, reason, parmId, text);
}
