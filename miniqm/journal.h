// The journal: an append-only file of checksummed records in a queue manager's data directory.
// It knows nothing of what the records mean (qmgr.cpp does); it guarantees that a record either
// reads back whole or not at all, and that a damaged tail is cut off, never trusted.
//
// File layout (little-endian):
//   header  8 bytes "MQJRNL01"
//   record  u32 body length, u32 CRC-32 of the body, body
// A record whose length runs past the end of the file, or whose CRC does not match, ends the
// journal: the file is truncated there at the next open (a crash during an append leaves exactly
// such a tail). Compaction writes a fresh journal beside the old one and renames it over.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace qmjournal {

constexpr uint32_t kMaxRecord = 256u * 1024 * 1024;

class Journal {
public:
    Journal() = default;
    ~Journal();
    Journal(const Journal &) = delete;
    Journal &operator=(const Journal &) = delete;

    // Opens (or creates) dir/journal. sync=false skips fdatasync (tests only).
    [[nodiscard]] bool open(const std::string &dir, bool sync, std::string &error);
    // Calls apply for every intact record in order. A damaged tail is truncated and described in
    // note (empty when the journal was clean). apply returns false to reject a record it cannot
    // understand, which is treated like damage from that record on.
    [[nodiscard]] bool replay(const std::function<bool(std::string_view body)> &apply, std::string &note);
    // Appends one record and makes it durable (unless sync is off). False on a write failure,
    // which leaves the journal as it was.
    [[nodiscard]] bool append(const std::string &body);
    // Replaces the journal by one holding exactly these records (crash-safe: new file + rename).
    [[nodiscard]] bool rewrite(const std::vector<std::string> &bodies);
    uint64_t size() const { return size_; }
    void close();

private:
    std::string path_;
    std::string dir_;
    int fd_ = -1;
    bool sync_ = true;
    uint64_t size_ = 0;
};

}  // namespace qmjournal
