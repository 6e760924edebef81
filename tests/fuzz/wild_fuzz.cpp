// Fuzzes the wildcard matcher against a plain dynamic-programming matcher, and the byte search,
// with pattern and text from the input in buffers of exactly their size.
#include <algorithm>
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "platform/platform.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

namespace {

bool same(char a, char b, bool noCase) {
    if (!noCase) return a == b;
    return std::toupper(static_cast<unsigned char>(a)) == std::toupper(static_cast<unsigned char>(b));
}

int reference(const std::vector<char> &text, const std::vector<char> &pattern, bool noCase) {
    size_t n = text.size(), m = pattern.size();
    std::vector<char> row{1}, next(m + 1, 0);
    for (size_t j = 1; j <= m; ++j) row.push_back(row.back() && pattern[j - 1] == '*');
    for (size_t i = 1; i <= n; ++i) {
        next[0] = 0;
        for (size_t j = 1; j <= m; ++j) {
            char p = pattern[j - 1];
            next[j] = p == '*' ? (next[j - 1] || row[j])
                               : (row[j - 1] && (p == '?' || same(text[i - 1], p, noCase)));
        }
        row.swap(next);
    }
    return row[m];
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0 || size > 4096) return 0;
    size_t split = data[0] % size;  // the first byte chooses where the pattern ends
    std::vector<char> pattern(data + 1, data + 1 + split);
    std::vector<char> text(data + 1 + split, data + size);
    if (evWildMatch(text.data(), text.size(), pattern.data(), pattern.size()) !=
        reference(text, pattern, false))
        std::abort();
    if (evWildMatchNoCase(text.data(), text.size(), pattern.data(), pattern.size()) !=
        reference(text, pattern, true))
        std::abort();

    const char *found = evMemFind(text.data(), text.size(), pattern.data(), pattern.size());
    auto expected = std::search(text.begin(), text.end(), pattern.begin(), pattern.end());
    const char *want =
        expected == text.end() && !pattern.empty() ? nullptr : text.data() + (expected - text.begin());
    if (found != want) std::abort();
    evMemFindNoCase(text.data(), text.size(), pattern.data(), pattern.size());

    std::vector<uint8_t> bytes(text.size() / 2);
    evHexToBytes(text.data(), text.size(), bytes.data());
    return 0;
}
