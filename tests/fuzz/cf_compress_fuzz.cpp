// Fuzz target: the compressor over arbitrary messages (the first four bytes made an event's Type half
// the time). A record it accepts must read to its end cleanly and rebuild without a refused item.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "mqi/mqi.h"
#include "platform/platform.h"
#include "tests/mqi/mempool.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > 1 << 18) return 0;
    MemStringPool mp;
    std::vector<uint8_t> message(data, data + size);
    if (size >= 4 && (data[0] & 1)) mqiPutI32(message.data(), 0, MQCFT_EVENT);
    MQMD md = MQMD_DEFAULT;
    md.CodedCharSetId = 1208;
    char qmgr[49] = {};
    Area *area = nullptr;
    int32_t reason = 0;
    int ok = evCFCompress(&mp.pool, &md, message.data(), static_cast<int32_t>(size), qmgr, &area, &reason);
    if (!ok) {
        if (area || reason == 0) std::abort();
        return 0;
    }
    if (std::strlen(qmgr) > 48) std::abort();
    const uint8_t *record = AreaData(area);
    evCFCursor c;
    evCFCursorInit(&c, &mp.pool, record, area->used, 1, 0);
    auto *out = static_cast<uint8_t *>(CSGetMem(64));
    MQPCFInitHeader(out, MQCFT_EVENT, 0);
    PcfCursor pcf;
    MQPCFInitBuilder(&pcf, out, 64, 1, 0, &out);
    for (;;) {
        evCFItem item;
        int32_t cc, rc;
        evCFNextParm(&c, &item, &cc, &rc);
        if (cc) {
            if (rc != PCF_END_OF_MESSAGE || c.position != area->used) std::abort();
            break;
        }
        if (evCFToPcfParm(&mp.pool, &pcf, &item) != 0) std::abort();
    }
    CSFreeMem(out);
    AreaRelease(&area);
    return 0;
}
