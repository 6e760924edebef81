// Fuzz target: the PCF dump over arbitrary messages, with every parameter line printed.
#include <cstdint>
#include <vector>

#include "mqi/mqi.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

static void discard(const char *, int32_t) {}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > 1 << 20) return 0;
    static bool ready = [] {
        evSetDumpSink(discard);
        evDebugFlags.fetch_or(EV_DBG_d);
        return true;
    }();
    (void)ready;
    std::vector<uint8_t> message(data, data + size);
    DumpPCF(message.data(), static_cast<int32_t>(size));
    return 0;
}
