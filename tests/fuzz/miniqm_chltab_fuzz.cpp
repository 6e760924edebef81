// Fuzzes the stand-in queue manager's client channel table reader: any bytes as a table file must
// be read or refused without a fault, and whatever is read must pass through channel selection and
// connection-name parsing. The fuzz build leaves miniqm out, so the reader's one source file (which
// needs nothing else of miniqm) is built into this target (tests/fuzz/sources.cmake).
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "miniqm/chltab.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > (1 << 20)) return 0;
    std::string_view image(reinterpret_cast<const char *>(data), size);
    std::vector<qmchl::Channel> all;
    std::string why;
    if (!qmchl::readTable(image, all, &why)) {
        if (why.empty() || !all.empty()) __builtin_trap();
        return 0;
    }
    for (const char *name : {"QM1", "*QM1", "", "*"})
        for (const qmchl::Channel &ch : qmchl::channelsFor(all, name))
            for (const qmchl::Address &a : qmchl::parseConnames(ch.conname))
                if (a.port < 0 || a.port > 65535) __builtin_trap();
    // The connection names alone, as MQSERVER and an MQCD give them.
    for (const qmchl::Address &a : qmchl::parseConnames(image))
        if (a.port < 0 || a.port > 65535) __builtin_trap();
    return 0;
}
