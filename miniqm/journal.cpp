// Checksummed append-only journal with tail repair and compaction (layout in journal.h).
#include "miniqm/journal.h"

#include <cstring>

#include "miniqm/os.h"
#include "miniqm/wire.h"

namespace qmjournal {

static constexpr char kMagic[8] = {'M', 'Q', 'J', 'R', 'N', 'L', '0', '1'};

Journal::~Journal() {
    close();
}

void Journal::close() {
    if (fd_ >= 0) qmos::closeFd(fd_);
    fd_ = -1;
}

bool Journal::open(const std::string &dir, bool sync, std::string &error) {
    close();
    dir_ = dir;
    path_ = dir + "/journal";
    sync_ = sync;
    fd_ = qmos::openAppend(path_);
    if (fd_ < 0) {
        error = "cannot open " + path_ + ": " + qmos::errorText(qmos::lastError());
        return false;
    }
    int64_t size = qmos::fileSize(fd_);
    if (size < static_cast<int64_t>(sizeof kMagic)) {
        // New (or cut short before its header was whole): start it afresh.
        if (!qmos::truncateFd(fd_, 0) || !qmos::writeFd(fd_, kMagic, sizeof kMagic) ||
            (sync_ && !qmos::syncFd(fd_))) {
            error = "cannot write " + path_ + ": " + qmos::errorText(qmos::lastError());
            return false;
        }
        // A new file is there after a crash only once its directory entry is on disk.
        if (sync_ && !qmos::syncDir(dir_)) {
            error = "cannot sync " + dir_ + ": " + qmos::errorText(qmos::lastError());
            return false;
        }
        size = sizeof kMagic;
    }
    size_ = static_cast<uint64_t>(size);
    return true;
}

bool Journal::replay(const std::function<bool(std::string_view body)> &apply, std::string &note) {
    note.clear();
    std::string all;
    if (!qmos::readFile(path_, all)) {
        note = "cannot read " + path_ + ": " + qmos::errorText(qmos::lastError());
        return false;
    }
    if (all.size() < sizeof kMagic || std::memcmp(all.data(), kMagic, sizeof kMagic) != 0) {
        note = path_ + " is not a miniqm journal";
        return false;
    }
    size_t pos = sizeof kMagic;
    size_t good = pos;
    std::string why;
    while (pos < all.size()) {
        qmwire::Reader r(all.data() + pos, all.size() - pos);
        uint32_t len = r.u32();
        uint32_t crc = r.u32();
        if (r.failed() || len > kMaxRecord || len > r.remaining()) {
            why = "record runs past the end of the file";
            break;
        }
        std::string_view body(all.data() + pos + 8, len);
        if (qmwire::crc32(body.data(), body.size()) != crc) {
            why = "record checksum mismatch";
            break;
        }
        if (!apply(body)) {
            why = "record not understood";
            break;
        }
        pos += 8 + len;
        good = pos;
    }
    if (good < all.size()) {
        note = "journal damaged at offset " + std::to_string(good) + " (" + why +
               "): " + std::to_string(all.size() - good) + " bytes truncated";
        // Records appended after a cut that is not on disk would follow the damage after a crash.
        if (!qmos::truncateFd(fd_, good) || (sync_ && !qmos::syncFd(fd_))) return false;
    }
    size_ = good;
    return qmos::seekEnd(fd_);
}

static void frameRecord(std::string &out, const std::string &body) {
    qmwire::Writer w;
    w.u32(static_cast<uint32_t>(body.size()));
    w.u32(qmwire::crc32(body.data(), body.size()));
    out += w.bytes();
    out += body;
}

bool Journal::append(const std::string &body) {
    if (fd_ < 0 || body.size() > kMaxRecord) return false;
    std::string rec;
    frameRecord(rec, body);
    if (qmos::writeFd(fd_, rec.data(), rec.size()) && (!sync_ || qmos::syncFd(fd_))) {
        size_ += rec.size();
        return true;
    }
    // A record that failed must not stay: a half one would end the journal at the next start,
    // taking the records appended after it along, and a whole one that was not synced would
    // bring back a change reported as failed. When it cannot be cut off, nothing more is
    // appended until the journal is rewritten.
    if (!qmos::truncateFd(fd_, size_) || (sync_ && !qmos::syncFd(fd_)) || !qmos::seekEnd(fd_)) close();
    return false;
}

bool Journal::rewrite(const std::vector<std::string> &bodies) {
    std::string all(kMagic, sizeof kMagic);
    for (const std::string &b : bodies) frameRecord(all, b);
    if (!qmos::writeFileAtomic(path_, all, sync_)) return false;
    close();
    fd_ = qmos::openAppend(path_);
    if (fd_ >= 0 && !qmos::seekEnd(fd_)) close();  // appends at offset 0 would overwrite it
    if (fd_ < 0) return false;
    size_ = all.size();
    return true;
}

}  // namespace qmjournal
