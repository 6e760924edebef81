// Fuzz target: the version check's HTTP reader over arbitrary bytes. The first byte sets the size
// of each receive, so that every framing state is also met at a receive's edge.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "engine/engine.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

namespace {

struct Feed {
    const uint8_t *next;
    size_t left;
    size_t step;
};

int feedRecv(void *context, uint8_t *buffer, size_t length, size_t *got) {
    auto *feed = static_cast<Feed *>(context);
    size_t n = feed->left < feed->step ? feed->left : feed->step;
    if (n > length) n = length;
    std::memcpy(buffer, feed->next, n);
    feed->next += n;
    feed->left -= n;
    *got = n;
    return 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1) return 0;
    Feed feed{data + 1, size - 1, static_cast<size_t>(data[0] % 16) + 1};
    EvHttpSource source{feedRecv, &feed};
    EvHttpBuffer buffer{};
    char error[EV_HTTP_ERROR_MAX];
    int ok = evHttpRead(&source, &buffer, error);
    if (ok) {
        if (buffer.headerLength > buffer.length || buffer.headerLength > EV_HTTP_HEADER_MAX) std::abort();
        if (buffer.length - buffer.headerLength > EV_HTTP_BODY_MAX) std::abort();
        if (std::memcmp(buffer.data, "HTTP", 4) != 0) std::abort();
    } else if (error[0] == 0) {
        std::abort();  // a failure always says why
    }
    evHttpFree(&buffer);
    return 0;
}
