// Lookups over the constant tables: by value, by symbol, by MQSC keyword, and the "CONST." search
// of the directory. Tables are small and read rarely, so every lookup is a linear scan in table
// order and the first row wins, which is what gives shared values (2120) a fixed name.
#include "mqi/consts.h"

#include <cstring>

namespace {

bool sameIgnoringCase(std::string_view a, const char *b) {
    size_t n = std::strlen(b);
    if (n != a.size()) return false;
    for (size_t i = 0; i < n; ++i) {
        char x = a[i], y = b[i];
        if (x >= 'a' && x <= 'z') x = static_cast<char>(x - 'a' + 'A');
        if (y >= 'a' && y <= 'z') y = static_cast<char>(y - 'a' + 'A');
        if (x != y) return false;
    }
    return true;
}

const evConstEntry *reasonRow(int64_t code) {
    const evConstEntry *row = evConstByValue(evReasonTable, code);
    return row ? row : evConstByValue(evFeedbackTable, code);
}

}  // namespace

const evConstEntry *evConstByValue(const evConstEntry *table, int64_t value) {
    if (!table) return nullptr;
    for (const evConstEntry *row = table; row->symbol; ++row)
        if (row->value == value) return row;
    return nullptr;
}

const evConstEntry *evConstBySymbol(const evConstEntry *table, std::string_view symbol) {
    if (!table || symbol.empty()) return nullptr;
    for (const evConstEntry *row = table; row->symbol; ++row)
        if (symbol == row->symbol) return row;
    return nullptr;
}

const evConstEntry *evConstByKeyword(const evConstEntry *table, std::string_view keyword) {
    if (!table || keyword.empty()) return nullptr;
    for (const evConstEntry *row = table; row->symbol; ++row)
        if (row->keyword && sameIgnoringCase(keyword, row->keyword)) return row;
    return nullptr;
}

int evConstRowCount(const evConstEntry *table) {
    int n = 0;
    if (table)
        while (table[n].symbol) ++n;
    return n;
}

const char *evReasonText(int64_t code) {
    const evConstEntry *row = reasonRow(code);
    return row ? row->description : "";
}

const char *evReasonSymbol(int64_t code) {
    const evConstEntry *row = reasonRow(code);
    return row ? row->symbol : "";
}

const char *evCommandName(int64_t command) {
    const evConstEntry *row = evConstByValue(evCommandNameTable, command);
    return row ? row->description : "";
}

const char *evCommandSymbol(int64_t command) {
    const evConstEntry *row = evConstByValue(evCommandNameTable, command);
    return row ? row->symbol : "";
}

const evConstEntry *evAttrByValue(int64_t id) {
    for (const evConstEntry *row = evAttrTable; row->symbol; ++row)
        if (row->value == id && row->description) return row;
    return nullptr;
}

const evConstEntry *evAttrByKeyword(std::string_view keyword) {
    return evConstByKeyword(evAttrTable, keyword);
}

const char *evPlatformName(int64_t platform) {
    const evConstEntry *row = evConstByValue(evValuesMQPL, platform);
    return row ? row->description : "";
}

const evConstEntry *evConstFind(std::string_view symbol) {
    if (symbol.empty() || symbol.size() > 99) return nullptr;
    for (const evConstDirEntry &dir : evConstDirectory)
        for (const evConstEntry *row = dir.table; row->symbol; ++row)
            if (row->symbol[0] && sameIgnoringCase(symbol, row->symbol)) return row;
    return nullptr;
}
