// Shared pieces of the channel-table tests: a record file on the in-memory file table, keys and
// records by name, raw files built block by block, and a full check of a file's structure.
#pragma once

#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "ccdt/ccdt.h"
#include "mqi/mqi.h"
#include "testing/memfile.h"
#include "testing/testing.h"

namespace cct {

constexpr const char *kPath = "table.tab";

// The folder of the tests' in-memory channel tables, written as a path by the platform's rule.
#ifdef _WIN32
#define CCT_MEM_DIR "c:\\m\\"
#else
#define CCT_MEM_DIR "/m/"
#endif

// A name blank-padded to a 20-byte key.
inline std::string key(const std::string &name) {
    std::string k = name.substr(0, CCDT_KEY_LENGTH);
    k.resize(CCDT_KEY_LENGTH, ' ');
    return k;
}
inline const uint8_t *bytes(const std::string &s) {
    return reinterpret_cast<const uint8_t *>(s.data());
}
// A record of the given length: the key, then a filler that tells records apart.
inline std::string record(const std::string &name, uint32_t length, char fill = '.') {
    std::string r = key(name);
    r.resize(length < CCDT_KEY_LENGTH ? CCDT_KEY_LENGTH : length, fill);
    r.resize(length);
    return r;
}

inline uint32_t u32(const std::string &file, size_t offset) {
    return mqiGetU32(file.data(), offset);
}
inline std::vector<uint32_t> header(const std::string &file, uint32_t position) {
    std::vector<uint32_t> h;
    for (size_t i = 0; i < 5; i++) h.push_back(u32(file, position + 4 * i));
    return h;
}

// A raw block for hand-made (often damaged) files.
struct RawBlock {
    uint32_t blockLength, dataLength, previous, next;
    std::string data;  // written after the header, padded with zeros to the block length
};
inline std::string rawFile(const std::vector<RawBlock> &blocks) {
    std::string f = "AMQR";
    for (const RawBlock &b : blocks) {
        std::string h(20, '\0');
        mqiPutU32(h.data(), 0, b.blockLength);
        mqiPutU32(h.data(), 4, b.dataLength);
        mqiPutU32(h.data(), 12, b.previous);
        mqiPutU32(h.data(), 16, b.next);
        std::string d = b.data;
        if (b.blockLength >= 20) d.resize(b.blockLength - 20, '\0');
        f += h + d;
    }
    return f + std::string(4, '\0');
}

// A record file on the in-memory table.
class MemTable {
public:
    zt::MemFiles files;
    ccdtRecFile *handle = nullptr;

    int open(int mode = 1) {
        close();
        return ccdtRecOpen(kPath, mode, &handle, nullptr, 0);
    }
    void close() {
        if (handle) {
            EXPECT_EQ(ccdtRecClose(handle), 0);
        }
        handle = nullptr;
    }
    ~MemTable() { close(); }
    std::string file() const { return files.get(kPath); }

    int insert(const std::string &r) {
        return ccdtRecWrite(handle, r.data(), static_cast<uint32_t>(r.size()));
    }
    // Reads by name and mode; *data gets the record's bytes (up to the buffer length given).
    int read(const std::string &name, int mode, std::string *data = nullptr, uint32_t bufferLength = 20000) {
        std::string buffer(bufferLength, '\0');
        uint32_t length = bufferLength;
        std::string k = name.size() == CCDT_KEY_LENGTH ? name : key(name);
        int rc = ccdtRecRead(handle, bytes(k), buffer.data(), &length, mode);
        if (data) *data = buffer.substr(0, std::min(length, bufferLength));
        return rc;
    }
    int replace(const std::string &r) {
        std::string current;
        int rc = read(r.substr(0, CCDT_KEY_LENGTH), CCDT_READ_EXACT, &current);
        if (rc != CCDT_RC_OK) return rc;
        return ccdtRecReplace(handle, r.data(), static_cast<uint32_t>(r.size()));
    }
    int remove(const std::string &name) {
        int rc = read(name, CCDT_READ_EXACT);
        if (rc != CCDT_RC_OK) return rc;
        return ccdtRecDelete(handle, key(name).data(), CCDT_KEY_LENGTH);
    }
    // Every record in key order by mode 2 from the blank key; the last result in *end.
    std::vector<std::string> walk(int *end = nullptr) {
        std::vector<std::string> seen;
        std::string k(CCDT_KEY_LENGTH, ' '), data;
        int rc;
        while ((rc = read(k, CCDT_READ_NEXT, &data)) == CCDT_RC_OK && seen.size() < 100000) {
            seen.push_back(data);
            k = data.substr(0, CCDT_KEY_LENGTH);
        }
        if (end) *end = rc;
        return seen;
    }
};

// The structure of a file against the records it should hold (key -> data): the chain of blocks,
// the key-ordered links both ways, block lengths, the end marker as the last 4 bytes. Empty when
// sound, else what is wrong.
inline std::string checkStructure(const std::string &f, const std::map<std::string, std::string> &expected) {
    if (f.size() < 8 || f.compare(0, 4, "AMQR") != 0) return "no magic";
    std::map<uint32_t, std::vector<uint32_t>> used;
    uint32_t position = 4;
    while (true) {
        if (position + 4 > f.size()) return "chain runs off the file at " + std::to_string(position);
        std::vector<uint32_t> h = {u32(f, position)};
        if (h[0] == 0) break;
        if (position + 20 > f.size()) return "short header at " + std::to_string(position);
        h = header(f, position);
        if (h[0] < 20 || position + h[0] > f.size()) return "bad block length at " + std::to_string(position);
        if (h[1] > h[0] - 20) return "data longer than its block at " + std::to_string(position);
        if (h[2] != 0) return "reserved not 0 at " + std::to_string(position);
        if (h[1] != 0) used[position] = h;
        position += h[0];
    }
    if (position + 4 != f.size()) return "end marker not at the end";
    if (used.size() != expected.size())
        return "records in use " + std::to_string(used.size()) + ", expected " +
               std::to_string(expected.size());
    uint32_t head = 0;
    for (auto &[p, h] : used)
        if (h[3] == 0) {
            if (head) return "two heads";
            head = p;
        }
    auto want = expected.begin();
    uint32_t previous = 0;
    for (uint32_t p = head; p != 0; p = used[p][4]) {
        if (!used.count(p)) return "link to a block not in use";
        if (want == expected.end()) return "more linked records than expected";
        if (used[p][3] != previous) return "previous link wrong at " + std::to_string(p);
        if (f.compare(p + 20, used[p][1], want->second) != 0 || used[p][1] != want->second.size())
            return "data of " + want->first + " differs";
        previous = p;
        ++want;
    }
    if (want != expected.end()) return "record " + want->first + " not linked";
    return "";
}

}  // namespace cct
