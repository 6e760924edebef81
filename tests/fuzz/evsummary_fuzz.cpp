// Fuzz target: the summary of an arbitrary compressed record, the one-line text built from it and
// the record's dump with every option.
// The first byte chooses how many strings the pool holds, so that string ids both resolve and miss.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "mqi/mqi.h"
#include "tests/mqi/mempool.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

static void discard(const char *, int32_t) {}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1 || size > 1 << 20) return 0;
    static bool quiet = evSetDumpSink(discard) || true;
    if (!quiet) return 0;
    MemStringPool mp;
    for (int i = 0; i < data[0] % 8; i++) {
        std::string text(static_cast<size_t>(1 + i * 40), static_cast<char>('A' + i));
        MemStringPool::intern(&mp, 850, text.data(), static_cast<uint32_t>(text.size()));
    }
    std::vector<uint8_t> record(data + 1, data + size);
    Area *area = evCFSummarise(&mp.pool, record.data(), record.size());
    if (!area) return 0;
    const PcfSummary *s = pcfSummaryOf(area);
    if (s->itemCount < 0 || s->itemCount > PCF_SUMMARY_MAX_ITEMS) std::abort();
    char line[EV_SUMMARY_LINE + 8];
    std::memset(line, 0x55, sizeof line);
    int n = evEventSummary(&mp.pool, record.data(), record.size(), s, line, nullptr, 0, 0);
    if (n < 0 || static_cast<size_t>(n) > EV_SUMMARY_LINE || line[n] != '\0') std::abort();
    for (size_t i = EV_SUMMARY_LINE + 1; i < sizeof line; i++)
        if (static_cast<uint8_t>(line[i]) != 0x55) std::abort();
    AreaRelease(&area);
    evDumpPCF(&mp.pool, "Fuzz", EV_DUMP_PARMS | EV_DUMP_TYPE | EV_DUMP_ADDRESS, record.data(), record.size());
    return 0;
}
