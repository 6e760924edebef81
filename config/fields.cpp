// Field tables: the parameter tables of the commands name every attribute, event field and
// statistics field that expressions, WHERE filters and scripts refer to. At start each row gets
// its keyword length and its field name (the keyword in lower case, a few by name), and fields are
// then found by name or by an unambiguous abbreviation.
#include <cctype>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "config/internal.h"

std::atomic<int32_t> evFieldsInitialised{0};

// The MQMD fields of a stored message ("mqmd." names), with their places in MQMD.
namespace {

constexpr evParmDef mqmdRow(const char *type, const char *keyword, uint32_t id, size_t offset,
                            uint32_t dataType, uint32_t fieldLength) {
    return evParmDef{
        0,        "  d", "a   ", type,        keyword, nullptr, nullptr, id, 0, static_cast<int32_t>(offset),
        dataType, 0,     0,      fieldLength, "",      0};
}

}  // namespace

evParmDef evMqmdFieldTable[] = {
    mqmdRow("i", "REPORT", 1255, offsetof(MQMD, Report), EV_DATATYPE_INT32, 0),
    mqmdRow("i", "MSGTYPE", 1249, offsetof(MQMD, MsgType), EV_DATATYPE_INT32, 0),
    mqmdRow("i", "EXPIRY", 1244, offsetof(MQMD, Expiry), EV_DATATYPE_INT32, 0),
    mqmdRow("i", "ENCODING", 1243, offsetof(MQMD, Encoding), EV_DATATYPE_INT32, 0),
    mqmdRow("i", "CCSID", 2, offsetof(MQMD, CodedCharSetId), EV_DATATYPE_INT32, 0),
    mqmdRow("s", "FORMAT", 3533, offsetof(MQMD, Format), EV_DATATYPE_CHARS, 8),
    mqmdRow("i", "PRIORITY", 1253, offsetof(MQMD, Priority), EV_DATATYPE_INT32, 0),
    mqmdRow("i", "PERSISTENCE", 1252, offsetof(MQMD, Persistence), EV_DATATYPE_INT32, 0),
    mqmdRow("b", "MSGID", 7013, offsetof(MQMD, MsgId), EV_DATATYPE_CHARS, 24),
    mqmdRow("b", "CORRELID", 7011, offsetof(MQMD, CorrelId), EV_DATATYPE_CHARS, 24),
    mqmdRow("i", "BACKOUTCOUNT", 1241, offsetof(MQMD, BackoutCount), EV_DATATYPE_INT32, 0),
    mqmdRow("s", "REPLYTOQMGR", 3140, offsetof(MQMD, ReplyToQMgr), EV_DATATYPE_CHARS, 48),
    mqmdRow("s", "USERIDENTIFIER", 3025, offsetof(MQMD, UserIdentifier), EV_DATATYPE_CHARS, 12),
    mqmdRow("s", "PUTAPPLNAME", 3024, offsetof(MQMD, PutApplName), EV_DATATYPE_CHARS, 28),
    mqmdRow("s", "PUTDATE", 3137, offsetof(MQMD, PutDate), EV_DATATYPE_CHARS, 8),
    mqmdRow("s", "PUTTIME", 3138, offsetof(MQMD, PutTime), EV_DATATYPE_CHARS, 8),
    {0, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, 0, 0, 0, 0, 0, 0, 0, "", 0},
};

namespace {

std::once_flag fieldsOnce;

// Field names that are not the keyword in lower case.
struct SpecialName {
    uint32_t id;
    const char *name;
};
constexpr SpecialName kSpecialNames[] = {
    {8001, "zuntCommandContext"},  // MQGACF_COMMAND_CONTEXT
    {8002, "zuntCommandData"},     // MQGACF_COMMAND_DATA
    {39200, "zuntBefore"},         // HLV_GROUP_BEFORE
    {39201, "zuntAfter"},          // HLV_GROUP_AFTER
    {2016, "queue"},               // MQCA_Q_NAME
    {3024, "applname"},            // MQCACF_APPL_NAME
    {3501, "channel"},             // MQCACH_CHANNEL_NAME
};

constexpr size_t kFieldNameMax = sizeof(evParmDef::fieldName) - 1;

void setFieldName(evParmDef *row) {
    const char *special = nullptr;
    for (const SpecialName &s : kSpecialNames)
        if (s.id == row->parmId) special = s.name;
    const char *from = special ? special : row->keyword;
    size_t n = 0;
    for (; from[n] && n < kFieldNameMax; ++n)
        row->fieldName[n] =
            special ? from[n] : static_cast<char>(std::tolower(static_cast<unsigned char>(from[n])));
    row->fieldName[n] = '\0';
    row->fieldNameLength = static_cast<uint32_t>(n);
}

bool isEnd(const evParmDef *row) {
    return row->keyword == nullptr && row->parmId == 0;
}

bool equalNoCase(const char *a, const char *b, size_t length) {
    for (size_t i = 0; i < length; ++i)
        if (std::toupper(static_cast<unsigned char>(a[i])) != std::toupper(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

void initialiseAll() {
    const bool trace = (evDebugOptions.load() & EV_OPT_d) != 0;
    if (trace) std::fprintf(stderr, "InitialiseCommandFields\n");
    for (evCommandDef *command = evCommandTable; command->verb; ++command) {
        if (trace) std::fprintf(stderr, "Command - %s %s\n", command->verb, command->objectKeyword);
        evInitFieldTable(command->parms);
    }
    evInitFieldTable(evMqmdFieldTable);
    if (trace) std::fprintf(stderr, "InitialiseCommandFields (Return)\n");
    evFieldsInitialised.store(1);
}

}  // namespace

void evInitFieldTable(evParmDef *table) {
    if (!table) return;
    for (evParmDef *row = table; !isEnd(row); ++row) {
        if (!row->keyword) continue;
        row->keywordLength = static_cast<uint32_t>(std::strlen(row->keyword));
        setFieldName(row);
    }
}

void InitialiseCommandFields() {
    std::call_once(fieldsOnce, initialiseAll);
}

int evRegisterParmTable(uint32_t code, evParmDef *table) {
    for (evCommandDef *command = evCommandTable; command->verb; ++command) {
        if (command->code != code) continue;
        // Completed before it is seen, so that no reader finds a row without its lengths.
        if (evFieldsInitialised.load()) evInitFieldTable(table);
        // The console's row of the command shares the table.
        for (cslMqscCommand *row = cslMqscCommandTable; row->verb; ++row)
            if (row->kind == CSL_KIND_ZUNT && row->parms == command->parms) row->parms = table;
        command->parms = table;
        return 1;
    }
    return 0;
}

const evParmDef *evFindField(const evParmDef *table, const char *name, size_t length, uint32_t flags,
                             int *ambiguous) {
    if (ambiguous) *ambiguous = 0;
    if (!table) return nullptr;
    const bool exact = (flags & EV_FIELD_EXACT) != 0;
    const bool fieldsOnly = (flags & EV_FIELD_FIELDS_ONLY) != 0;
    const evParmDef *found = nullptr;
    int count = 0;
    for (const evParmDef *row = table; !isEnd(row); ++row) {
        if (!row->keyword) continue;
        if (exact ? row->keywordLength != length : row->keywordLength < length) continue;
        if (fieldsOnly && row->type && std::strchr("aqw", row->type[0]) && row->type[0] != '\0') continue;
        if (!equalNoCase(row->keyword, name, length)) continue;
        if (row->keywordLength == length) return row;  // the whole keyword wins at once
        found = row;
        ++count;
    }
    if (count > 1 && ambiguous) *ambiguous = 1;
    return count == 1 ? found : nullptr;
}
