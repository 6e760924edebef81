// Fuzzes the interval parser with counted texts: it must stay within the text, report ok as 0
// or 1, and return a total in 0..2147483647; a text it accepts must survive a round trip.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "platform/platform.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > 4096) return 0;
    std::vector<char> text(data, data + size);  // exactly size bytes: no terminator to lean on
    int ok = -1;
    int32_t seconds = CSParseInterval(text.data(), static_cast<uint32_t>(size), CSIntervalUnits, &ok);
    if (ok != 0 && ok != 1) std::abort();
    if (seconds < 0) std::abort();
    if (ok == 1) {
        char buffer[CS_INTERVAL_TEXT_MAX];
        CSFormatInterval(seconds, buffer, 1);
        int again = 0;
        if (CSParseInterval(buffer, CS_NUL_TERMINATED, CSIntervalUnits, &again) != seconds || again != 1)
            std::abort();
    }
    return 0;
}
