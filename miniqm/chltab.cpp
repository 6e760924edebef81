// Reading IBM MQ's binary client channel definition table. The client only reads it, so this is a
// reader for what a queue manager writes, distrusting every byte: each access is bounds-checked
// and each walk along the file's links is bounded by the number of records in it.
//
// The file (integers u32 little-endian, positions absolute):
//   0   "AMQR"
//   4   blocks, one after the other, up to an end marker (a block length of 0). Each block:
//         +0  block length (header and data space: the distance to the next block)
//         +4  data length of the record in it; 0 marks a free block (a deleted record's space)
//         +8  reserved
//         +12 position of the previous record in key order (0: none)
//         +16 position of the next record in key order (0: none)
//         +20 the record; its first 20 bytes are its key
// The records in use form a list in ascending key order (bytewise) through the previous/next
// positions, whatever their physical order. Keys beginning with '{' are the SSL data records;
// they sort after every channel and end the walk over channels.
//
// A channel record is an MQCD of its own version (1 to 12) packed as a 32-bit program lays it out
// (pointers 4 bytes), followed by a trailer this reader does not need. The fields read here:
//   0 ChannelName (20)   20 Version   24 ChannelType   28 TransportType   96 QMgrName (48)
//   192 ShortConnectionName (20)   1024 ConnectionName (264, version 2 on)
//   1856 ClientChannelWeight (version 9 on)
#include "miniqm/chltab.h"

#include <algorithm>
#include <cstring>
#include <set>
#include <unordered_map>

#include "mqi/cmqc.h"

namespace qmchl {

namespace {

constexpr size_t kHeader = 20;
constexpr size_t kKey = 20;
// Length of the MQCD part of a channel record of each version (index 1 to 12).
constexpr size_t kMqcdLength[13] = {0, 984, 1312, 1480, 1540, 1552, 1648, 1748, 1840, 1864, 1876, 1940, 1944};
constexpr size_t kChannelName = 0, kVersion = 20, kChannelType = 24, kTransport = 28, kQMgrName = 96,
                 kShortConname = 192, kConname = 1024, kWeight = 1856;

uint32_t u32(std::string_view image, size_t at) {  // callers have checked at + 4 <= size
    unsigned char b[4];
    std::memcpy(b, image.data() + at, 4);
    return static_cast<uint32_t>(b[0]) | static_cast<uint32_t>(b[1]) << 8 |
           static_cast<uint32_t>(b[2]) << 16 | static_cast<uint32_t>(b[3]) << 24;
}

int32_t i32(std::string_view image, size_t at) {
    return static_cast<int32_t>(u32(image, at));
}

// A fixed character field without its blank (or NUL) padding.
std::string text(std::string_view field) {
    size_t n = field.find('\0');
    if (n == std::string_view::npos) n = field.size();
    while (n > 0 && field[n - 1] == ' ') --n;
    return std::string(field.substr(0, n));
}

std::string trim(std::string_view s) {
    size_t b = 0, e = s.size();
    while (b < e && (s[b] == ' ' || s[b] == '\t')) ++b;
    while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t')) --e;
    return std::string(s.substr(b, e - b));
}

struct Record {
    size_t pos;
    uint32_t dataLength, prev, next;
    std::string_view data;
};

bool fail(std::string *why, const char *reason) {
    if (why) *why = reason;
    return false;
}

// The physical chain from position 4 to the end marker: the records in use, in file order.
bool scanBlocks(std::string_view image, std::vector<Record> &records, std::string *why) {
    size_t pos = 4;
    for (;;) {
        if (image.size() - pos < 4) return fail(why, "the file ends before its end marker");
        uint32_t length = u32(image, pos);
        if (length == 0) return true;
        if (image.size() - pos < kHeader) return fail(why, "a block header runs past the end of the file");
        if (length < kHeader || length > image.size() - pos)
            return fail(why, "a block length is not possible");
        uint32_t dataLength = u32(image, pos + 4);
        if (dataLength > length - kHeader) return fail(why, "a record is longer than its block");
        if (dataLength != 0) {
            if (dataLength < kKey) return fail(why, "a record is shorter than its key");
            records.push_back({pos, dataLength, u32(image, pos + 12), u32(image, pos + 16),
                               image.substr(pos + kHeader, dataLength)});
        }
        pos += length;
    }
}

// The records in key order: back from the first record in the file along the previous links to
// the first key, then forward along the next links. Every link must lead to a record in use, no
// walk may come back to where it was, and the keys must rise.
bool keyOrder(const std::vector<Record> &records, std::vector<const Record *> &ordered, std::string *why) {
    if (records.empty()) return true;
    std::unordered_map<size_t, const Record *> at;
    for (const Record &r : records) at[r.pos] = &r;
    const Record *r = &records[0];
    for (size_t steps = 0; r->prev != 0; ++steps) {
        auto it = at.find(r->prev);
        if (it == at.end()) return fail(why, "a key-order link leads to no record");
        if (steps >= records.size()) return fail(why, "the key-order links loop");
        r = it->second;
    }
    std::set<size_t> seen;
    for (;;) {
        if (!seen.insert(r->pos).second) return fail(why, "the key-order links loop");
        if (!ordered.empty() && ordered.back()->data.substr(0, kKey).compare(r->data.substr(0, kKey)) >= 0)
            return fail(why, "the keys are out of order");
        ordered.push_back(r);
        if (r->next == 0) return true;
        auto it = at.find(r->next);
        if (it == at.end()) return fail(why, "a key-order link leads to no record");
        r = it->second;
    }
}

bool readChannel(std::string_view data, Channel &ch, std::string *why) {
    if (data.size() < kVersion + 4) return fail(why, "a channel record is too short");
    int32_t version = i32(data, kVersion);
    if (version < MQCD_VERSION_1 || version > MQCD_VERSION_12)
        return fail(why, "a channel record has an unknown version");
    if (data.size() < kMqcdLength[version])
        return fail(why, "a channel record is shorter than its version's fields");
    ch.version = version;
    ch.name = text(data.substr(kChannelName, 20));
    ch.type = i32(data, kChannelType);
    ch.transport = i32(data, kTransport);
    ch.qmName = text(data.substr(kQMgrName, 48));
    ch.conname =
        version >= MQCD_VERSION_2 ? text(data.substr(kConname, 264)) : text(data.substr(kShortConname, 20));
    ch.weight = version >= MQCD_VERSION_9 ? i32(data, kWeight) : 0;
    return true;
}

}  // namespace

bool readTable(std::string_view image, std::vector<Channel> &channels, std::string *why) {
    channels.clear();
    if (image.size() < 4 || image.substr(0, 4) != "AMQR") return fail(why, "not a channel table");
    std::vector<Record> records;
    std::vector<const Record *> ordered;
    if (!scanBlocks(image, records, why) || !keyOrder(records, ordered, why)) return false;
    for (const Record *r : ordered) {
        if (r->data[0] == '{') break;
        Channel ch;
        if (!readChannel(r->data, ch, why)) {
            channels.clear();
            return false;
        }
        channels.push_back(std::move(ch));
    }
    return true;
}

std::vector<Channel> channelsFor(const std::vector<Channel> &all, std::string_view qmName) {
    std::string wanted = trim(qmName);
    if (!wanted.empty() && wanted[0] == '*') wanted.erase(0, 1);
    std::vector<Channel> out;
    for (const Channel &ch : all)
        if (ch.type == MQCHT_CLNTCONN && ch.transport == MQXPT_TCP && ch.qmName == wanted) out.push_back(ch);
    // The table is in name order already; a stable partition keeps it within each group.
    std::stable_partition(out.begin(), out.end(), [](const Channel &ch) { return ch.weight == 0; });
    return out;
}

std::vector<Address> parseConnames(std::string_view list) {
    std::vector<Address> out;
    size_t start = 0;
    while (start <= list.size()) {
        size_t comma = list.find(',', start);
        if (comma == std::string_view::npos) comma = list.size();
        std::string entry = trim(list.substr(start, comma - start));
        start = comma + 1;
        if (entry.empty()) continue;
        Address a;
        size_t open = entry.find('(');
        a.host = trim(std::string_view(entry).substr(0, open));
        if (open != std::string::npos) {
            size_t close = entry.find(')', open);
            size_t inside = close == std::string::npos ? std::string::npos : close - open - 1;
            std::string digits = trim(std::string_view(entry).substr(open + 1, inside));
            bool ok = close != std::string::npos && !digits.empty() && digits.size() <= 5;
            int port = 0;
            for (size_t i = 0; ok && i < digits.size(); ++i) {
                if (digits[i] < '0' || digits[i] > '9') ok = false;
                port = port * 10 + (digits[i] - '0');
            }
            a.port = ok && port >= 1 && port <= 65535 ? port : 0;
        }
        if (a.host.empty()) a.port = 0;
        out.push_back(std::move(a));
    }
    return out;
}

}  // namespace qmchl
