// Symbolic field values: a bare name compared with a field becomes the value the field really
// holds, its keyword for a string field or its number for an integer field.
#include <strings.h>
#include <cstring>

#include "console/console.h"

namespace {

bool endRow(const evValueName *row) {
    return row->keyword == nullptr || row->text == nullptr || row->text[0] == '\0';
}

}  // namespace

const evValueName *cslFindValueName(const evValueName *table, const char *name, size_t length) {
    if (table == nullptr) return nullptr;
    for (const evValueName *row = table; !endRow(row); ++row)
        if (std::strlen(row->keyword) == length && strncasecmp(row->keyword, name, length) == 0) return row;
    return nullptr;
}

int cslResolveValueName(ExpExpression *, const evParmDef *field, const ExpValue *name, ExpValue *out) {
    if (field == nullptr || field->valueNames == nullptr || name == nullptr || name->data == nullptr)
        return 0;
    if (name->type != EXP_VAR && !expIsString(name)) return 0;
    const evValueName *row = cslFindValueName(field->valueNames, name->data, name->value.len);
    if (row == nullptr) return 0;
    switch (field->type != nullptr ? field->type[0] : '\0') {
        case 'R':
        case 'l':
        case 'r':
        case 's':
            // The keyword lives in a constant table, so the value may hold it without owning it.
            expSetString(out, EXP_STR, const_cast<char *>(row->keyword), std::strlen(row->keyword));
            return 1;
        case 'i':
        case 'j':
            expSetInt(out, row->value);
            return 1;
        default:
            return 0;
    }
}

int cslResolveValueNumber(const evValueName *table, const char *name, size_t length, int32_t *value) {
    evParmDef field{};
    field.type = "i";
    field.valueNames = table;
    ExpValue bare{};
    bare.type = EXP_STR;
    bare.value.len = length;
    bare.data = const_cast<char *>(name);  // only read
    ExpValue out{};
    if (!cslResolveValueName(nullptr, &field, &bare, &out)) return 0;
    *value = static_cast<int32_t>(out.value.i);
    return 1;
}

namespace {

// The DISPLAY object whose fields name an object type's attributes: queue kinds are QUEUE's,
// channel kinds CHANNEL's.
const char *displayObject(int32_t objectType) {
    switch (objectType) {
        case 1:
        case 1002:
        case 1003:
        case 1004:
        case 1005:
        case 1017:  // a queue-manager alias is a remote queue definition
            return "QUEUE";
        case 2:
            return "NAMELIST";
        case 3:
            return "PROCESS";
        case 4:
            return "STGCLASS";
        case 5:
            return "QMGR";
        case 6:
        case 1007:
        case 1008:
        case 1009:
        case 1010:
        case 1011:
        case 1012:
        case 1013:
        case 1014:
        case 1015:
            return "CHANNEL";
        case 7:
            return "AUTHINFO";
        case 8:
        case 10002:  // a topic string is a topic's
            return "TOPIC";
        case 9:
            return "COMMINFO";
        case 10:
            return "CFSTRUCT";
        case 11:
            return "LISTENER";
        case 12:
            return "SERVICE";
        case 1016:
            return "CHLAUTH";
        case 1019:
            return "POLICY";
        case 1022:
            return "AUTHREC";
        case 10000:
            return "SUB";
        case 10003:  // buffer pools are shown by DISPLAY USAGE
            return "USAGE";
        default:
            return nullptr;
    }
}

}  // namespace

const evParmDef *cslAttributeDictionary(int32_t objectType) {
    const char *object = displayObject(objectType);
    if (object == nullptr) return nullptr;
    const cslCommandView view{0, 0, nullptr};
    char message[CSL_LOOKUP_MESSAGE];
    const cslMqscCommand *row = cslFindMqscCommand(&view, "DISPLAY", object, message);
    return row != nullptr ? row->parms : nullptr;
}

const evParmDef *cslAttributeById(int32_t objectType, int32_t id) {
    if (id <= 0) return nullptr;
    auto find = [id](const evParmDef *row) -> const evParmDef * {
        for (; row != nullptr && !(row->keyword == nullptr && row->parmId == 0); ++row)
            if (row->parmId == static_cast<uint32_t>(id)) return row;
        return nullptr;
    };
    if (objectType != 0) return find(cslAttributeDictionary(objectType));
    // One type of each DISPLAY object, in the order of the object types.
    static constexpr int32_t kTypes[] = {1,  2,  3,  4,    5,    6,    7,     8,    9,
                                         10, 11, 12, 1016, 1019, 1022, 10000, 10003};
    for (int32_t type : kTypes)
        if (const evParmDef *row = find(cslAttributeDictionary(type))) return row;
    return nullptr;
}
