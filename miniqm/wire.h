// The one wire protocol between the MQI libraries (bindings over a Unix socket, client over TCP)
// and miniqmd, plus the little-endian byte helpers that the journal shares.
//
// Frame: u32 body length, then the body. Request body: u16 op, u16 flags (0), u32 request id,
// then the op's fields. Reply body: u16 op, u16 flags, u32 request id (the request's), i32
// completion code, i32 reason, then the op's fields. Today every request gets exactly one reply
// in order; request ids and the flags word leave room for replies that the server sends on its
// own (message deliveries to callbacks), which carry request id 0.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

namespace qmwire {

constexpr uint32_t kMaxFrame = 200u * 1024 * 1024;  // above any message the server accepts
constexpr uint32_t kProtocolVersion = 2;

enum Op : uint16_t {
    OP_CONNECT = 1,  // version, qmName, applName, cnoOptions, cnoVersion, user, pid, program
    OP_DISC = 2,
    OP_OPEN = 3,   // od image, options, selection string (UTF-8); new fields go at the end
    OP_CLOSE = 4,  // hobj, options
    OP_PUT = 5,    // hobj, md image, pmo options, pmo context, data, properties
    OP_PUT1 = 6,   // od image, md image, pmo options, pmo context, data, properties
    OP_GET = 7,    // hobj, md image, gmo image, buffer length, u8 want handle; reply ends with properties
    OP_INQ = 8,    // hobj, selectors, int count, char length
    OP_SET = 9,    // hobj, selectors, ints, chars
    OP_CMIT = 10,
    OP_BACK = 11,
    OP_SUB = 13,    // version, options, objectName, objectString, subName, hobj, correlId[24],
                    // selection string (UTF-8), subExpiry; new fields go at the end;
                    // reply: hobj, hsub, resolved topic string, correlId[24], selection string,
                    // subExpiry (the subscription's own, for RESUME)
    OP_SUBRQ = 14,  // hsub, action, options (appended); reply: numPubs (appended)
    OP_PING = 12,   // (nothing); the reply's reason tells the queue manager's state: 0, 2161 or 2162
    OP_FAULT = 15,  // verb name, hobj (MQHO_NONE when the verb has none): the fault rules' answer for a
                    // verb the library serves itself (MQCB, MQCTL, MQSTAT, MQXCNVC, message handles);
                    // a 2009 rule drops the connection as it does for the server's verbs
    OP_ADMIN = 20,  // command text (mqsc, stop, fault, status); reply text
};

// Appends little-endian fields to a byte string.
class Writer {
public:
    std::string &bytes() { return out_; }
    void u8(uint8_t v) { out_.push_back(static_cast<char>(v)); }
    void u16(uint16_t v) { raw(&v, 2); }
    void u32(uint32_t v) { raw(&v, 4); }
    void i32(int32_t v) { raw(&v, 4); }
    void u64(uint64_t v) { raw(&v, 8); }
    void i64(int64_t v) { raw(&v, 8); }
    void str(std::string_view s) {  // u32 length + bytes
        u32(static_cast<uint32_t>(s.size()));
        out_.append(s.data(), s.size());
    }
    void raw(const void *p, size_t n) { out_.append(static_cast<const char *>(p), n); }
    void fixed(std::string_view s, size_t n) {  // exactly n bytes, blank padded
        size_t k = s.size() < n ? s.size() : n;
        out_.append(s.data(), k);
        out_.append(n - k, ' ');
    }

private:
    std::string out_;  // host is little-endian (x86-64, aarch64 Linux); raw() writes host order
};

// Reads fields back; any read past the end sets failed() and yields zeros.
class Reader {
public:
    Reader(const void *data, size_t length) : p_(static_cast<const char *>(data)), n_(length) {}
    explicit Reader(std::string_view s) : Reader(s.data(), s.size()) {}
    bool failed() const { return bad_; }
    size_t remaining() const { return n_ - pos_; }
    size_t position() const { return pos_; }
    uint8_t u8() {
        uint8_t v = 0;
        raw(&v, 1);
        return v;
    }
    uint16_t u16() {
        uint16_t v = 0;
        raw(&v, 2);
        return v;
    }
    uint32_t u32() {
        uint32_t v = 0;
        raw(&v, 4);
        return v;
    }
    int32_t i32() {
        int32_t v = 0;
        raw(&v, 4);
        return v;
    }
    uint64_t u64() {
        uint64_t v = 0;
        raw(&v, 8);
        return v;
    }
    int64_t i64() {
        int64_t v = 0;
        raw(&v, 8);
        return v;
    }
    std::string str() {
        uint32_t len = u32();
        if (bad_ || len > remaining()) {
            bad_ = true;
            return std::string();
        }
        std::string s(p_ + pos_, len);
        pos_ += len;
        return s;
    }
    bool raw(void *dst, size_t n) {
        if (bad_ || n > remaining()) {
            bad_ = true;
            std::memset(dst, 0, n);
            return false;
        }
        std::memcpy(dst, p_ + pos_, n);
        pos_ += n;
        return true;
    }

private:
    const char *p_;
    size_t n_;
    size_t pos_ = 0;
    bool bad_ = false;
};

// Sends one frame (u32 length + body); false when the peer is gone.
bool sendFrame(int fd, const std::string &body);
// Receives one frame into body; false on end of stream, error or an oversized frame.
bool recvFrame(int fd, std::string &body);

// CRC-32 (IEEE) of a byte range, for journal records.
uint32_t crc32(const void *data, size_t length, uint32_t seed = 0);

}  // namespace qmwire
