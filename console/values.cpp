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
