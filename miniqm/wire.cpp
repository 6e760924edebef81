// Framing over stream sockets and the CRC that guards journal records.
#include "miniqm/wire.h"

#include <algorithm>

#include "miniqm/os.h"

namespace qmwire {

bool sendFrame(int fd, const std::string &body) {
    Writer w;
    w.u32(static_cast<uint32_t>(body.size()));
    w.raw(body.data(), body.size());
    return qmos::sendAll(fd, w.bytes().data(), w.bytes().size());
}

bool recvFrame(int fd, std::string &body) {
    uint32_t len = 0;
    if (!qmos::recvAll(fd, &len, sizeof len) || len > kMaxFrame) return false;
    // The buffer grows with the bytes that really arrive (doubling, from 1 MB), so that a peer
    // announcing a frame of hundreds of megabytes and sending little makes us hold little.
    constexpr size_t kFirstStep = 1u << 20;
    body.clear();
    while (body.size() < len) {
        size_t have = body.size();
        size_t step = std::min<size_t>(len - have, std::max(kFirstStep, have));
        body.resize(have + step);
        if (!qmos::recvAll(fd, body.data() + have, step)) return false;
    }
    return true;
}

static uint32_t crcTable(uint32_t i) {
    uint32_t c = i;
    for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    return c;
}

uint32_t crc32(const void *data, size_t length, uint32_t seed) {
    static const auto table = [] {
        struct T {
            uint32_t v[256];
        } t{};
        for (uint32_t i = 0; i < 256; ++i) t.v[i] = crcTable(i);
        return t;
    }();
    uint32_t c = seed ^ 0xFFFFFFFFu;
    const unsigned char *p = static_cast<const unsigned char *>(data);
    for (size_t i = 0; i < length; ++i) c = table.v[(c ^ p[i]) & 0xFF] ^ (c >> 8);
    return c ^ 0xFFFFFFFFu;
}

}  // namespace qmwire
