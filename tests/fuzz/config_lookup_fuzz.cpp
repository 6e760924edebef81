// Fuzzes the look-ups that take names typed by users: fields by name or abbreviation, values by
// text and console commands by verb and object, with every text in a buffer of exactly its size
// so that any read past its end is caught, and each answer checked against the name it was given.
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "config/config.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

namespace {

void check(bool condition) {
    if (!condition) std::abort();
}

bool sameNoCase(const char *a, const char *b, size_t length) {
    for (size_t i = 0; i < length; ++i)
        if (std::toupper(static_cast<unsigned char>(a[i])) != std::toupper(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

void fields(const evParmDef *table, const std::vector<char> &name, uint32_t flags) {
    int ambiguous = -1;
    const evParmDef *row = evFindField(table, name.data(), name.size(), flags, &ambiguous);
    check(ambiguous == 0 || ambiguous == 1);
    if (!row) return;
    check(ambiguous == 0 && row->keyword != nullptr);
    check(row->keywordLength >= name.size() && sameNoCase(row->keyword, name.data(), name.size()));
    if (flags & EV_FIELD_EXACT) check(row->keywordLength == name.size());
}

void values(const evValueName *table, const std::vector<char> &text) {
    const evValueName *row = evValueNameByText(table, text.data(), text.size());
    if (!row) return;
    const evValueName *end = table;
    while (end->keyword) ++end;
    check(row >= table && row < end);
}

void command(const cslCommandView &view, const std::vector<char> &verb, const std::vector<char> &object) {
    char message[CSL_LOOKUP_MESSAGE];
    std::memset(message, 0, sizeof message);
    const cslMqscCommand *row =
        cslFindMqscCommand(&view, {verb.data(), verb.size()}, {object.data(), object.size()}, message);
    if (!row) {
        check(message[0] != '\0' && std::memchr(message, 0, sizeof message) != nullptr);
        return;
    }
    check(!verb.empty());
    const bool full =
        std::strlen(row->verb) == verb.size() && sameNoCase(row->verb, verb.data(), verb.size());
    const bool brief =
        std::strlen(row->shortVerb) == verb.size() && sameNoCase(row->shortVerb, verb.data(), verb.size());
    check(full || brief);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 2 || size > 4096) return 0;
    InitialiseCommandFields();
    const uint8_t options = data[0];
    // The rest is "name" or "verb object", split at the first blank.
    const char *text = reinterpret_cast<const char *>(data + 1);
    const size_t length = size - 1;
    const char *blank = static_cast<const char *>(std::memchr(text, ' ', length));
    const size_t first = blank ? static_cast<size_t>(blank - text) : length;
    std::vector<char> whole(text, text + length);
    std::vector<char> verb(text, text + first);
    std::vector<char> object(blank ? blank + 1 : text + length, text + length);

    const uint32_t flags = options & 3;
    for (const evCommandDef *c = evCommandTable; c->verb; ++c) fields(c->parms, whole, flags);
    fields(evMqmdFieldTable, whole, flags);
    for (const evValueName *table : {evPersistenceNames, evStreamTypeNames, evSumNames, evSeverityNames})
        values(table, whole);

    QmgrCapabilities caps{};
    static const int32_t platforms[] = {1, 3, 4, 11, 13, 28, 0, 2};
    evSetQmgrCapabilities(&caps, platforms[(options >> 2) & 7], 600 + 50 * ((options >> 5) & 7));
    const cslCommandView view{options & 0x40, options & 0x80, (options & 0x20) ? &caps : nullptr};
    command(view, verb, object);
    return 0;
}
