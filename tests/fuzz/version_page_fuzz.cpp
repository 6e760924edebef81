// Fuzz target: the download page's parser (tokens, the table and its rows, versions and dates)
// over arbitrary bytes.
#include <cstdint>
#include <cstdlib>

#include "engine/engine.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const auto *page = reinterpret_cast<const char *>(data);
    // Every token moves forward and stays inside the page.
    const char *next = page;
    for (EvHtmlToken token = evHtmlNextToken(&next, page + size); token.length != 0;
         token = evHtmlNextToken(&next, page + size))
        if (token.text < page || token.text + token.length > page + size || next > page + size) std::abort();
    EvVersionRecord record{};
    char error[EV_HTTP_ERROR_MAX];
    int ok = evParseVersionPage(page, size, &record, error);
    if (ok != record.found) std::abort();
    if (!ok && error[0] == 0) std::abort();
    int32_t a, b, c;
    (void)evParseVersion(page, size, &a, &b, &c);
    if (evParseBuildDate(page, size, &a, &b, &c) && (b < 1 || b > 12 || c < 1 || c > 31)) std::abort();
    return 0;
}
