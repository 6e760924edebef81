// Fuzz target: the compressed-record readers over arbitrary records. The cursor (resolving and not,
// nested and flat), the single-item decoder and the search must stay inside the record, and every item
// read must rebuild into PCF that the PCF parser accepts.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "mqi/mqi.h"
#include "platform/platform.h"
#include "tests/mqi/mempool.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

namespace {

void inside(const void *p, int64_t length, const uint8_t *start, const uint8_t *end) {
    if (!p || length <= 0) return;
    auto *b = static_cast<const uint8_t *>(p);
    if (b < start || b + length > end) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > 1 << 20) return 0;
    static MemStringPool mp;
    if (mp.entries.empty()) {
        for (const char *s : {"APP.Q", "QM1", "2025-03-02", "user"})
            MemStringPool::intern(&mp, 850, s, static_cast<uint32_t>(std::strlen(s)));
    }
    std::vector<uint8_t> record(data, data + size);
    const uint8_t *start = record.data(), *end = record.data() + size;
    for (uint32_t mode = 0; mode < 4; mode++) {
        evCFCursor c;
        evCFCursorInit(&c, &mp.pool, start, static_cast<uint32_t>(size), mode & 1, mode >> 1);
        auto *out = static_cast<uint8_t *>(CSGetMem(64));
        MQPCFInitHeader(out, MQCFT_EVENT, 0);
        PcfCursor pcf;
        MQPCFInitBuilder(&pcf, out, 64, 1, 0, &out);
        for (size_t step = 0; step < size + 16; step++) {
            evCFItem item;
            int32_t cc, rc;
            evCFNextParm(&c, &item, &cc, &rc);
            if (cc) break;
            if (c.position > size) std::abort();
            if (item.type != EVCF_STRING_MIXED &&
                !(mode & 1 &&
                  (item.type == MQCFT_STRING || item.type == MQCFT_STRING_FILTER ||
                   item.type == MQCFT_BYTE_STRING) &&
                  item.data && (item.data < start || item.data >= end)))
                inside(item.data, item.length, start, end);
            (void)evCFToPcfParm(&mp.pool, &pcf, &item);  // a refused item is skipped; the rest must parse
        }
        while (pcf.depth > 0) {
            int32_t cc, rc;
            MQPCFSetParm(&pcf, PCF_TYPE_GROUP_END, 0, nullptr, 0, 0, &cc, &rc);
        }
        // What was rebuilt must parse to its end.
        PcfCursor back;
        MQPCFInitParser(&back, out, pcf.position, 0);
        for (;;) {
            int32_t type, id, len, count, cc, rc;
            void *v;
            MQPCFGetNextParm(&back, &type, &id, &v, &len, &count, &cc, &rc);
            if (cc) {
                if (rc != PCF_END_OF_MESSAGE) std::abort();
                break;
            }
        }
        CSFreeMem(out);
    }
    for (size_t at = 32; at < size; at += 1 + at % 7) {
        evCFItem item;
        int32_t cc, rc, v;
        int32_t n = evCFDecodeParm(&mp.pool, start + at, end, &item, &cc, &rc);
        if (n < 0 || start + at + n > end) std::abort();
        evCFDecodeInt(start + at, end, &v);
    }
    for (int32_t id : {1020, 2016, 3045})
        if (const uint8_t *p = evCFFindParm(start, static_cast<uint32_t>(size), id, 0))
            inside(p, 1, start, end);
    return 0;
}
