// A PCF response as MQSC-style text for the requesters that sent text: an AMQ8xxx header line and
// each parameter as KEYWORD(value), or the AMQ8xxx text of a failure. Every write is bounded by
// "MQSCRESPONSE": a parameter that does not fit is left out together with the rest.
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "cmdserver/internal.h"
#include "emit/emit.h"

namespace {

constexpr int32_t kGroupObjectAttributes = 8002;
constexpr int32_t kParmObjectType = 39317;
constexpr int32_t kParmCommand = 1021;  // MQIACF_COMMAND

struct Header {
    uint32_t code;
    const char *text;
};
constexpr Header kHeaders[] = {
    {9000, "AMQ8409: Display ZUNT details.\n"},
    {9001, "AMQ8409: Display ZUNT Stream details.\n"},
    {9019, "AMQ8409: Display ZUNT Stream details.\n"},
    {9002, "AMQ8409: Display ZUNT Queue Manager details.\n"},
    {9003, "AMQ8409: Display ZUNT Queue details.\n"},
    {9004, "AMQ8409: Display ZUNT Event details.\n"},
    {9005, "AMQ8005: IBM ZUNT Processor changed successfully.\n"},
    {9006, "AMQ8005: IBM ZUNT Processor reset successfully.\n"},
    {9007, "AMQ8005: Queue Manager removed successfully.\n"},
    {9008, "AMQ8005: Event queue added successfully.\n"},
    {9009, "AMQ8005: Event queue removed successfully.\n"},
    {9010, "AMQ8005: Event queue altered successfully.\n"},
    {9011, "AMQ8005: Event queue suspended successfully.\n"},
    {9012, "AMQ8005: Event queue resumed successfully.\n"},
    {9013, "AMQ8409: Display ZUNT Alert details.\n"},
    {9014, "AMQ8005: Event alert removed successfully.\n"},
    {9015, "AMQ8005: Stream defined successfully.\n"},
    {9016, "AMQ8005: Stream altered successfully.\n"},
    {9017, "AMQ8005: Stream deleted successfully.\n"},
    {9018, "AMQ8005: Stream renamed successfully.\n"},
    {9020, "AMQ8005: Stream purged successfully.\n"},
    {9021, "AMQ8005: Event alert added successfully.\n"},
    {9023, "AMQ8409: Display Queue Statistics details.\n"},
    {9024, "AMQ8409: Display Channel Statistics details.\n"},
    {9025, "AMQ8409: Display Statistics MQI details.\n"},
    {9026, "AMQ8409: Display Accounting Queue details.\n"},
    {9027, "AMQ8409: Display Accounting MQI details.\n"},
    {9029, "AMQ8005: Emitter defined successfully.\n"},
    {9030, "AMQ8409: Display ZUNT Emitter details.\n"},
    {9031, "AMQ8005: Emitter altered successfully.\n"},
    {9032, "AMQ8005: Emitter deleted successfully.\n"},
    {9033, "AMQ8005: Stream copied successfully.\n"},
};

const char *headerOf(uint32_t code) {
    for (const Header &h : kHeaders)
        if (h.code == code) return h.text;
    return nullptr;
}

// Calendar date of a day count since 1970 (proleptic Gregorian).
void civilFromDays(int64_t days, int64_t *year, int *month, int *day) {
    days += 719468;
    const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    const int64_t doe = days - era * 146097;
    const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const int64_t mp = (5 * doy + 2) / 153;
    *day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    *month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    *year = yoe + era * 400 + (*month <= 2 ? 1 : 0);
}

struct Writer {
    CmdText out;
    const evCommandDef *command;
    CmdRequest *request;
    QmgrContext *context;
};

// The keyword a parameter is shown with.
const char *nameOf(Writer *w, const PcfCursor *cursor, int32_t parmId, char *buffer, size_t size) {
    if (cursor->groupId == kGroupObjectAttributes) {
        // Named through the console's attribute dictionaries, which the emitters share.
        const evParmDef *entry =
            emitAttributeLookup ? emitAttributeLookup(w->request->lastObjectType, parmId) : nullptr;
        if (entry != nullptr && entry->keyword != nullptr) return entry->keyword;
        std::snprintf(buffer, size, "ATTR%d", parmId);
        return buffer;
    }
    const evParmDef *row = evFindParmById(w->command, static_cast<uint32_t>(parmId));
    if (row != nullptr && row->keyword != nullptr) return row->keyword;
    std::snprintf(buffer, size, "ATTR%d", parmId);
    return buffer;
}

char typeOf(const evParmDef *row) {
    return row != nullptr && row->type != nullptr ? row->type[0] : '\0';
}

// A row taken as text but answered as a 64-bit time (the statistics displays' INTVLSTA and INTVLEND,
// type "st") is shown as the time rows are.
bool shownAsTime(const evParmDef *row) {
    return typeOf(row) == 't' || (typeOf(row) == 's' && row->type[1] == 't');
}

const char *commandNameOf(int32_t value) {
    const evConstEntry *entry = evConstByValue(evCommandNameTable, value);
    return entry != nullptr && entry->description != nullptr ? entry->description : nullptr;
}

// One integer as its value name or number.
void writeIntValue(Writer *w, const evParmDef *row, int32_t parmId, int32_t value) {
    if (parmId == kParmCommand) {
        if (const char *name = commandNameOf(value)) {
            cmdTextPrintf(&w->out, "%s", name);
            return;
        }
    } else if (row != nullptr && row->valueNames != nullptr) {
        if (const evValueName *name = evValueNameByValue(row->valueNames, value)) {
            cmdTextPrintf(&w->out, "%s", name->keyword);
            return;
        }
    }
    cmdTextPrintf(&w->out, "%d", value);
}

void writeMask(Writer *w, const evParmDef *row, int32_t value) {
    auto rest = static_cast<uint32_t>(value);
    if (rest == 0) {
        cmdTextAppend(&w->out, " ", 1);
        return;
    }
    bool first = true;
    for (const evValueName *v = row->valueNames; v != nullptr && v->keyword != nullptr; v++) {
        auto bits = static_cast<uint32_t>(v->value);
        if (bits == 0 || (static_cast<uint32_t>(value) & bits) != bits) continue;
        cmdTextPrintf(&w->out, "%s%s", first ? "" : ", ", v->keyword);
        rest &= ~bits;
        first = false;
    }
    if (rest != 0) cmdTextPrintf(&w->out, "%s%X", first ? "" : ", ", rest);
}

void writeTime(Writer *w, char type, int64_t value) {
    if (value == -3) {
        cmdTextAppend(&w->out, "*", 1);
        return;
    }
    int64_t days = value / 86400;
    int64_t seconds = value % 86400;
    if (seconds < 0) {
        seconds += 86400;
        days--;
    }
    int64_t year = 0;
    int month = 0;
    int day = 0;
    civilFromDays(days, &year, &month, &day);
    if (year < 0 || year > 9999) {
        cmdTextAppend(&w->out, "Unknown", 7);
        return;
    }
    if (type == 'd') {
        cmdTextPrintf(&w->out, "%4.4d-%2.2d-%2.2d", static_cast<int>(year), month, day);
        return;
    }
    const int s = static_cast<int>(seconds);
    cmdTextPrintf(&w->out, "%4.4d-%2.2d-%2.2d %2.2d:%2.2d:%2.2d (UTC)", static_cast<int>(year), month, day,
                  s / 3600, s / 60 % 60, s % 60);
}

void writeHex(Writer *w, const uint8_t *bytes, int32_t length) {
    if (length <= 0) {
        cmdTextAppend(&w->out, " ", 1);
        return;
    }
    for (int32_t i = 0; i < length && !w->out.full; i++) cmdTextPrintf(&w->out, "%02X", bytes[i]);
}

// The string of a response in CCSID 850 where it carries another, shown there (what is not valid in
// its own CCSID replaced); kept as it is when it cannot be converted.
void writeString(Writer *w, const PcfCursor *cursor, const char *text, int32_t length) {
    const int32_t ccsid = static_cast<int32_t>(cursor->lastCcsid);
    if (length > 0 && ccsid != 0 && ccsid != CMD_TEXT_CCSID) {
        // Room for the longest conversion stays inside the response area's bound.
        const size_t room = w->out.size - w->out.used;
        int32_t converted = static_cast<int32_t>(room > 1 ? room - 1 : 0);
        QmgrContext *context = w->context;
        MQHCONN hconn = evEventHconn(&context->sets[EV_SET_C]);
        if (converted > 0 && hconn != -1 && context->event.mq != nullptr &&
            MQConvertShown(context->event.mq, hconn, text, length, w->out.data + w->out.used, &converted,
                           ccsid, CMD_TEXT_CCSID, nullptr) == 0) {
            w->out.used += static_cast<size_t>(converted);
            w->out.data[w->out.used] = '\0';
            return;
        }
    }
    if (length == 0)
        cmdTextAppend(&w->out, " ", 1);
    else
        cmdTextAppend(&w->out, text, static_cast<size_t>(length));
}

void writeIntList(Writer *w, const evParmDef *row, int32_t parmId, const uint8_t *values, int32_t count) {
    bool first = true;
    for (int32_t i = 0; i < count && !w->out.full; i++) {
        const int32_t value = mqiGetI32(values, static_cast<size_t>(i) * 4);
        const char *name = nullptr;
        if (parmId == kParmCommand) {
            name = commandNameOf(value);
        } else if (typeOf(row) == 'A') {
            const evParmDef *attr = evEventsParmById(static_cast<uint32_t>(value));
            name = attr != nullptr ? attr->keyword : nullptr;
        } else if (row != nullptr && row->valueNames != nullptr) {
            const evValueName *v = evValueNameByValue(row->valueNames, value);
            if (v != nullptr && v->text != nullptr && v->text[0] == '!') continue;
            name = v != nullptr ? v->keyword : nullptr;
        }
        if (!first) cmdTextAppend(&w->out, ", ", 2);
        first = false;
        if (name != nullptr)
            cmdTextPrintf(&w->out, "%s", name);
        else
            cmdTextPrintf(&w->out, "%d", value);
    }
}

void writeStringList(Writer *w, const PcfCursor *cursor, const uint8_t *item, int32_t count) {
    const int32_t width = mqiGetI32(item, offsetof(MQCFSL, StringLength));
    const uint8_t *strings = item + MQCFSL_STRUC_LENGTH_FIXED;
    for (int32_t i = 0; i < count && !w->out.full; i++) {
        const char *s =
            reinterpret_cast<const char *>(strings) + static_cast<size_t>(i) * static_cast<size_t>(width);
        int32_t n = width;
        while (n > 0 && s[n - 1] == ' ') n--;
        if (i > 0) cmdTextAppend(&w->out, ", ", 2);
        cmdTextAppend(&w->out, "'", 1);
        if (n > 0) writeString(w, cursor, s, n);
        cmdTextAppend(&w->out, "'", 1);
    }
}

// One parameter of a success response followed by a blank; false when it did not fit (it is then
// taken back whole).
bool writeParameter(Writer *w, const PcfCursor *cursor, int32_t type, int32_t parmId, const uint8_t *value,
                    int32_t length, int32_t count) {
    const size_t mark = w->out.used;
    char buffer[32];
    const char *name = nameOf(w, cursor, parmId, buffer, sizeof buffer);
    const evParmDef *row = cursor->groupId == kGroupObjectAttributes
                               ? nullptr
                               : evFindParmById(w->command, static_cast<uint32_t>(parmId));
    const uint8_t *item = cursor->currentItem;
    char op[16];
    switch (type) {
        case MQCFT_INTEGER: {
            const int32_t v = mqiGetI32(value, 0);
            if (parmId == kParmObjectType) w->request->lastObjectType = v;
            cmdTextPrintf(&w->out, "%s(", name);
            if (typeOf(row) == 'x')
                cmdTextPrintf(&w->out, "%8.8X", static_cast<uint32_t>(v));
            else if (typeOf(row) == 'm' && row->valueNames != nullptr)
                writeMask(w, row, v);
            else
                writeIntValue(w, row, parmId, v);
            cmdTextAppend(&w->out, ")", 1);
            break;
        }
        case MQCFT_INTEGER64: {
            const int64_t v = mqiGetI64(value, 0);
            cmdTextPrintf(&w->out, "%s(", name);
            if (shownAsTime(row) || typeOf(row) == 'd')
                writeTime(w, shownAsTime(row) ? 't' : 'd', v);
            else
                cmdTextPrintf(&w->out, "%" PRId64, v);
            cmdTextAppend(&w->out, ")", 1);
            break;
        }
        case MQCFT_STRING:
            cmdTextPrintf(&w->out, "%s(", name);
            writeString(w, cursor, reinterpret_cast<const char *>(value), length);
            cmdTextAppend(&w->out, ")", 1);
            break;
        case MQCFT_INTEGER_LIST:
            cmdTextPrintf(&w->out, "%s(", name);
            writeIntList(w, row, parmId, value, count);
            cmdTextAppend(&w->out, ")", 1);
            break;
        case MQCFT_STRING_LIST:
            cmdTextPrintf(&w->out, "%s(", name);
            writeStringList(w, cursor, item, count);
            cmdTextAppend(&w->out, ")", 1);
            break;
        case MQCFT_BYTE_STRING:
            cmdTextPrintf(&w->out, "%s(", name);
            writeHex(w, value, length);
            cmdTextAppend(&w->out, ")", 1);
            break;
        case MQCFT_INTEGER_FILTER:
            cmdTextPrintf(&w->out, "WHERE(%s %s %d)", name, evFormatFilterOperator(count, op, sizeof op),
                          mqiGetI32(value, 0));
            break;
        case MQCFT_STRING_FILTER:
            cmdTextPrintf(&w->out, "WHERE(%s %s '", name, evFormatFilterOperator(count, op, sizeof op));
            cmdTextAppend(&w->out, reinterpret_cast<const char *>(value), static_cast<size_t>(length));
            cmdTextAppend(&w->out, "')", 2);
            break;
        case MQCFT_BYTE_STRING_FILTER:
            cmdTextPrintf(&w->out, "WHERE(%s %s ", name, evFormatFilterOperator(count, op, sizeof op));
            if (length <= 0)
                cmdTextAppend(&w->out, "'')", 3);
            else {
                writeHex(w, value, length);
                cmdTextAppend(&w->out, ")", 1);
            }
            break;
        case MQCFT_GROUP:
            cmdTextPrintf(&w->out, "%s: ", name);
            break;
        default:
            return true;  // group ends and words show nothing
    }
    if (type != MQCFT_GROUP) cmdTextAppend(&w->out, " ", 1);
    if (w->out.full) {
        w->out.used = mark;
        w->out.data[mark] = '\0';
        return false;
    }
    return true;
}

// A response whose one parameter is its text: the text.
bool textOnly(uint8_t *response, int32_t length, const char **text, int32_t *textLength) {
    if (mqiGetI32(response, offsetof(MQCFH, ParameterCount)) != 1) return false;
    PcfCursor cursor;
    MQPCFInitParser(&cursor, response, length, 0);
    int32_t type = 0, id = 0, count = 0, cc = 0, rc = 0;
    void *value = nullptr;
    MQPCFGetNextParm(&cursor, &type, &id, &value, textLength, &count, &cc, &rc);
    if (cc == MQCC_FAILED || type != MQCFT_STRING || id != CMD_PARM_TEXT) return false;
    *text = static_cast<const char *>(value);
    return true;
}

void writeSuccess(Writer *w, uint8_t *response, int32_t length) {
    PcfCursor cursor;
    // A string without a code page of its own is in the one the program holds its texts in.
    const int32_t ccsid = cmdTextCcsid(w->request);
    MQPCFInitParser(&cursor, response, length, ccsid > 0 ? static_cast<uint32_t>(ccsid) : 0u);
    for (;;) {
        int32_t type = 0;
        int32_t parmId = 0;
        void *value = nullptr;
        int32_t valueLength = 0;
        int32_t count = 0;
        int32_t cc = 0;
        int32_t rc = 0;
        MQPCFGetNextParm(&cursor, &type, &parmId, &value, &valueLength, &count, &cc, &rc);
        if (cc == MQCC_FAILED) return;
        if (!writeParameter(w, &cursor, type, parmId, static_cast<const uint8_t *>(value), valueLength,
                            count))
            return;
    }
}

// The name of a parameter in a failure text.
void failureName(const evCommandDef *command, int32_t parmId, const char *templateText, CmdText *out) {
    // Identifier 0 names no parameter: the constant tables give it another meaning.
    const char *keyword = parmId != 0 ? cmdKeywordOfParm(command, parmId) : nullptr;
    if (keyword == nullptr && parmId != 0) {
        const evConstEntry *attr = evAttrByValue(parmId);
        keyword = attr != nullptr ? attr->description : nullptr;
    }
    if (keyword == nullptr) {
        cmdTextPrintf(out, "AMQ8426: Invalid Parameter Identifier '%d'", parmId);
        return;
    }
    char text[512];
    cmdFillKeyword(text, sizeof text, templateText, keyword);
    cmdTextPrintf(out, "%s", text);
}

void writeFailure(Writer *w, uint8_t *response, int32_t length, int32_t reason, uint32_t code) {
    PcfCursor cursor;
    MQPCFInitParser(&cursor, response, length, 0);
    int32_t parmId = 0;
    const char *text = nullptr;
    int32_t textLength = 0;
    for (;;) {
        int32_t type = 0;
        int32_t id = 0;
        void *value = nullptr;
        int32_t valueLength = 0;
        int32_t count = 0;
        int32_t cc = 0;
        int32_t rc = 0;
        MQPCFGetNextParm(&cursor, &type, &id, &value, &valueLength, &count, &cc, &rc);
        if (cc == MQCC_FAILED) break;
        if (type == MQCFT_INTEGER && id == MQIACF_PARAMETER_ID) parmId = mqiGetI32(value, 0);
        if (type == MQCFT_STRING && id == CMD_PARM_TEXT) {
            text = static_cast<const char *>(value);
            textLength = valueLength;
        }
    }
    if (text != nullptr) {
        const char *prefix = "AMQ8426:";
        if (reason == MQRC_UNKNOWN_OBJECT_NAME)
            prefix = "AMQ8147:";
        else if (reason == HLVRCCF_COMMAND_OK_WITH_TEXT)
            prefix = "AMQ8005:";
        else if (reason == HLVRCCF_PROGRESS_MESSAGE)
            prefix = "AMQ8326:";
        cmdTextPrintf(&w->out, "%s ", prefix);
        cmdTextAppend(&w->out, text, static_cast<size_t>(textLength));
        return;
    }
    switch (reason) {
        case 3011:
            failureName(w->command, parmId, "AMQ8426: Parameter '%s' is too long", &w->out);
            return;
        case 3014:
        case 3015:
        case 3033:
        case 3047:
        case 3256:
            failureName(w->command, parmId, "AMQ8426: Invalid Parameter '%s'", &w->out);
            return;
        case 3097:
            failureName(w->command, parmId, "AMQ8426: Parameter '%s' is not in the correct format", &w->out);
            return;
        case 3228:
            failureName(w->command, parmId, "AMQ8426: Parameter '%s' is required for this command", &w->out);
            return;
        case 3229:
            failureName(w->command, parmId, "AMQ8426: Parameter '%s' has an invalid value", &w->out);
            return;
        case MQRCCF_CFH_COMMAND_ERROR:
            cmdTextPrintf(&w->out, "AMQ8426: Invalid PCF Command [%u]", code);
            return;
        case MQRC_UNKNOWN_OBJECT_NAME:
            cmdTextPrintf(&w->out, "AMQ8147: No matching objects found");
            return;
        default:
            break;
    }
    const char *description = evReasonText(reason);
    if (description[0] != '\0')
        cmdTextPrintf(&w->out, "AMQ8426: Operation failed - %s", description);
    else
        cmdTextPrintf(&w->out, "AMQ8426: Operation failed RC(%d)", reason);
}

}  // namespace

const char *evFormatFilterOperator(int32_t op, char *buffer, size_t size) {
    switch (op) {
        case 1:
            return "LT";
        case 2:
            return "EQ";
        case 3:
            return "LE";
        case 4:
            return "GT";
        case 5:
            return "NE";
        case 6:
            return "GE";
        case 10:
            return "CT";
        case 13:
            return "EX";
        case 18:
            return "LK";
        case 21:
            return "NL";
        case 26:
            return "CTG";
        case 29:
            return "EXG";
        default:
            std::snprintf(buffer, size, "%d", op);
            return buffer;
    }
}

int evBuildMqscResponse(QmgrContext *context, const uint8_t *response, int32_t length, const char **text,
                        int32_t *textLength) {
    CmdRequest *request = cmdRequest(context);
    *text = "";
    *textLength = 0;
    if (request == nullptr || !cmdTakeArea(&request->mqscResponse, CMD_AREA_SIZE, "MQSCRESPONSE")) return 0;
    Writer w{};
    cmdTextInit(&w.out, reinterpret_cast<char *>(AreaData(request->mqscResponse)), CMD_AREA_SIZE);
    w.request = request;
    w.context = context;
    *text = w.out.data;
    if (response == nullptr || length < static_cast<int32_t>(MQCFH_STRUC_LENGTH)) {
        cmdTextPrintf(&w.out, "AMQ8426: Internal error '%s' [%d]", "Invalid PCF Message",
                      MQRC_STORAGE_NOT_AVAILABLE);
        *textLength = static_cast<int32_t>(w.out.used);
        return 1;
    }
    // The parser reads the message; it changes nothing of it.
    auto *message = const_cast<uint8_t *>(response);
    const int32_t reason = mqiGetI32(message, offsetof(MQCFH, Reason));
    const int32_t compCode = mqiGetI32(message, offsetof(MQCFH, CompCode));
    const auto code = static_cast<uint32_t>(mqiGetI32(message, offsetof(MQCFH, Command)));
    if (reason != 0) request->lastReason = reason;
    w.command = evCommandByCode(code);
    request->lastObjectType = 0;
    const bool success = (compCode == MQCC_OK && reason == 0) ||
                         (reason >= HLVRCCF_DATA_INCOMPLETE && reason <= HLVRCCF_COLLATE_NOT_SUITABLE);
    if (success) {
        if (w.command == nullptr) return 1;  // not a command of the set: no text
        const char *header = headerOf(code);
        const char *note = nullptr;
        int32_t noteLength = 0;
        if (reason == HLVRCCF_DATA_INCOMPLETE && textOnly(message, length, &note, &noteLength)) {
            cmdTextAppend(&w.out, note, static_cast<size_t>(noteLength));  // the note of a limited answer
        } else if (header == nullptr) {
            cmdTextPrintf(&w.out, "AMQ8426: Internal error '%s' [%u]", "Invalid PCF Response", code);
        } else {
            cmdTextPrintf(&w.out, "%s", header);
            writeSuccess(&w, message, length);
        }
    } else {
        writeFailure(&w, message, length, reason, code);
    }
    request->mqscResponse->used = static_cast<uint32_t>(w.out.used);
    *textLength = static_cast<int32_t>(w.out.used);
    return 1;
}
