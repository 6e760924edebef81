// Framing over stream sockets and the CRC that guards journal records.
#include "miniqm/wire.h"

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
    body.resize(len);
    return len == 0 || qmos::recvAll(fd, body.data(), len);
}

static uint32_t crcTable(uint32_t i) {
    uint32_t c = i;
    for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    return c;
}

uint32_t crc32(const void *data, size_t length, uint32_t seed) {
    static const auto table = [] {
        struct T { uint32_t v[256]; } t{};
        for (uint32_t i = 0; i < 256; ++i) t.v[i] = crcTable(i);
        return t;
    }();
    uint32_t c = seed ^ 0xFFFFFFFFu;
    const unsigned char *p = static_cast<const unsigned char *>(data);
    for (size_t i = 0; i < length; ++i) c = table.v[(c ^ p[i]) & 0xFF] ^ (c >> 8);
    return c ^ 0xFFFFFFFFu;
}

}  // namespace qmwire
