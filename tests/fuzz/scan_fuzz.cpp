// Fuzzes the two tokenisers, the quote-aware finders and the digit patterns with arbitrary text,
// held in a buffer of exactly its size so that any read past the end is caught.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/platform.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

namespace {

void check(bool condition) {
    if (!condition) std::abort();
}

void tokens(const char *text, size_t size, const char *delimiters, const char *separators) {
    const char *cursor = text, *end = text + size;
    const char *lexeme = nullptr;
    size_t length = 0;
    while (scanGetToken(&cursor, end, delimiters, separators, &lexeme, &length) == 0) {
        check(length > 0 && lexeme >= text && lexeme + length <= end && cursor == lexeme + length);
    }
    check(length == 0 && cursor <= end);
}

void finders(const char *text, size_t size) {
    const char *end = text + size;
    for (size_t start = 0; start <= size && start < 8; ++start) {
        const char *from = text + start;
        const char *found[] = {scanFindComma(from, end),
                               scanFindSemicolon(from, end),
                               scanFindCharOutside(from, end, '='),
                               scanFindCloseBracket(from, end),
                               scanSkipQuoted(from, '\'', end),
                               scanSkipQuoted(from, '"', end)};
        const char wanted[] = {',', ';', '=', ')', '\'', '"'};
        for (size_t i = 0; i < sizeof wanted; ++i)
            check(found[i] == nullptr || (found[i] >= from && found[i] < end && *found[i] == wanted[i]));
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::vector<char> counted(data, data + size);  // no NUL after the end
    const char *text = counted.data();
    tokens(text, size, "()[]!|&<>-+*/=,;", " ()[]!|&<>-+*/=\n\t,;");
    tokens(text, size, "()[]!|&<>/=,;", " ()[]!|&<>/=\n\t,;");
    finders(text, size);

    std::vector<char> terminated(data, data + size);
    terminated.push_back('\0');
    const char *cursor = terminated.data();
    char token[SCAN_MQSC_TOKEN_SIZE];
    while (scanGetMQSCToken(&cursor, token) == 0) check(std::strlen(token) < SCAN_MQSC_TOKEN_SIZE);
    check(*cursor == '\0');

    // The part before the first NUL is a pattern, the part after it the text.
    const char *pattern = terminated.data();
    size_t patternLength = std::strlen(pattern);
    const char *subject = patternLength < size ? pattern + patternLength + 1 : pattern + patternLength;
    scanMatchPattern(pattern, subject, "/", 1);
    scanMatchPattern(pattern, subject, nullptr, 0);
    return 0;
}
