// Fuzz target: the PCF parser over arbitrary bytes. Every item it hands back must lie inside the
// message, and every structure it accepts must be accepted again when appended to a new message.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "mqi/mqi.h"
#include "platform/platform.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > 1 << 20) return 0;
    std::vector<uint8_t> message(data, data + size);
    PcfCursor parser;
    MQPCFInitParser(&parser, message.data(), static_cast<int32_t>(size), 850);

    auto *out = static_cast<uint8_t *>(CSGetMem(64));
    MQPCFInitHeader(out, MQCFT_RESPONSE, 1);
    PcfCursor builder;
    MQPCFInitBuilder(&builder, out, 64, 1, 0, &out);

    // Each call moves forward or closes a group, so the walk is bounded by the message; cap it anyway.
    for (size_t step = 0; step < size + 64; step++) {
        int32_t type, id, length, count, cc, rc;
        void *value;
        MQPCFGetNextParm(&parser, &type, &id, &value, &length, &count, &cc, &rc);
        if (cc != 0) break;
        if (value) {
            auto *v = static_cast<const uint8_t *>(value);
            if (v < message.data() || v + length > message.data() + size) std::abort();
        }
        if (parser.position > static_cast<int32_t>(size)) std::abort();
        if (type != MQCFT_GROUP && type != PCF_TYPE_GROUP_END && type != PCF_TYPE_WORD) {
            int32_t left = static_cast<int32_t>(message.data() + size - parser.currentItem);
            MQPCFAppendStruct(&builder, parser.currentItem, left, &cc, &rc);
            if (cc != 0) std::abort();
        }
    }
    CSFreeMem(out);
    return 0;
}
