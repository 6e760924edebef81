// Fuzz target: event classification over arbitrary compressed records. The classifier reads the
// reason qualifier and the command through a bounds-checked scan and may write only the object
// type of the header.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "mqi/mqi.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > 1 << 20) return 0;
    std::vector<uint8_t> record(data, data + size);
    uint32_t category = 0, command = 0;
    uint32_t subtype = evClassifyEvent(record.data(), record.size(), &category, &command);
    if (subtype == 0 || category == 0) std::abort();
    for (size_t i = 0; i < size; i++)
        if (record[i] != data[i] && i != 28 && i != 29) std::abort();
    evCFGetReasonQualifier(record.data(), record.size());
    return 0;
}
