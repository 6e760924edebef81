// Generic-name matching ('*' and '?'), counted byte search and hex texts. The matcher serves WHERE
// filters that any MQ application can send, so it runs in O(text x pattern) whatever the pattern.
#include <cctype>
#include <cstring>

#include "platform/scan.h"

namespace {

char upper(char c) {
    return static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
}

struct Exact {
    static bool same(char a, char b) { return a == b; }
};
struct NoCase {
    static bool same(char a, char b) { return upper(a) == upper(b); }
};

// Backtracks only to the most recent '*': when a later '*' has matched, moving an earlier one can
// only offer that later '*' text it could already have taken, so older choices need no revisit.
// A '*' in the pattern is always a wildcard, even facing a '*' in the text.
template <typename Compare>
int wildMatch(const char *text, size_t textLength, const char *pattern, size_t patternLength) {
    size_t t = 0, p = 0;
    size_t starP = 0, starT = 0;
    bool haveStar = false;
    while (t < textLength) {
        if (p < patternLength && pattern[p] == '*') {
            haveStar = true;
            starP = ++p;  // a run of '*' behaves as one
            starT = t;
        } else if (p < patternLength && (pattern[p] == '?' || Compare::same(text[t], pattern[p]))) {
            ++p;
            ++t;
        } else if (haveStar) {
            p = starP;  // let the last '*' take one more character
            t = ++starT;
        } else {
            return 0;
        }
    }
    while (p < patternLength && pattern[p] == '*') ++p;
    return p == patternLength ? 1 : 0;
}

template <typename Compare>
const char *memFind(const char *buffer, size_t length, const char *needle, size_t needleLength) {
    if (needleLength == 0) return buffer;
    if (needleLength > length) return nullptr;
    for (size_t i = 0; i + needleLength <= length; ++i) {
        size_t j = 0;
        while (j < needleLength && Compare::same(buffer[i + j], needle[j])) ++j;
        if (j == needleLength) return buffer + i;
    }
    return nullptr;
}

const char kHexDigits[] = "0123456789ABCDEF";

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

}  // namespace

int evWildMatch(const char *text, size_t textLength, const char *pattern, size_t patternLength) {
    return wildMatch<Exact>(text, textLength, pattern, patternLength);
}

int evWildMatchNoCase(const char *text, size_t textLength, const char *pattern, size_t patternLength) {
    return wildMatch<NoCase>(text, textLength, pattern, patternLength);
}

const char *evMemFind(const char *buffer, size_t length, const char *needle, size_t needleLength) {
    return memFind<Exact>(buffer, length, needle, needleLength);
}

const char *evMemFindNoCase(const char *buffer, size_t length, const char *needle, size_t needleLength) {
    return memFind<NoCase>(buffer, length, needle, needleLength);
}

void evHexString(const void *bytes, size_t count, size_t width, char *output) {
    const auto *in = static_cast<const uint8_t *>(bytes);
    char *out = output;
    for (size_t i = 0; i < count; ++i) {
        *out++ = kHexDigits[in[i] >> 4];
        *out++ = kHexDigits[in[i] & 0x0F];
    }
    for (size_t i = count; i < width; ++i) {
        *out++ = ' ';
        *out++ = ' ';
    }
    *out = '\0';
}

void evIdToHex(const uint8_t *id, char *output) {
    evHexString(id, 24, 0, output);
}

int evHexToBytes(const char *hex, size_t length, uint8_t *output) {
    size_t i = 0;
    uint8_t *out = output;
    for (; length - i >= 2 && hex[i] != '\0' && hex[i + 1] != '\0'; i += 2) {
        int high = hexValue(hex[i]);
        if (high < 0) return 1;
        int low = hexValue(hex[i + 1]);
        if (low < 0) return 1;
        *out++ = static_cast<uint8_t>(high << 4 | low);
    }
    size_t rest = (length - i) / 2;
    if (rest > 0) std::memset(out, 0, rest);
    return 0;
}
