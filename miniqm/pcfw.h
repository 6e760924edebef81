// The queue manager's own PCF writer: the parameter structures of event, statistics, accounting
// and command messages (MQCFIN, MQCFIN64, MQCFST, MQCFSL, MQCFIL, MQCFIL64, MQCFBS, MQCFGR) and the
// MQCFH ahead of them, little-endian as the MQI structures are on this platform. It only writes;
// readers of what it writes use the system's own PCF parser, so the two check each other.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "miniqm/wire.h"
#include "mqi/cmqc.h"

namespace qmpcf {

class Writer {
public:
    void integer(MQLONG id, MQLONG value) {
        head(MQCFT_INTEGER, MQCFIN_STRUC_LENGTH, id);
        w_.i32(value);
    }
    void integer64(MQLONG id, int64_t value) {
        head(MQCFT_INTEGER64, MQCFIN64_STRUC_LENGTH, id);
        w_.i32(0);  // Reserved
        w_.i64(value);
    }
    // An MQCFST; a length above the text's blank-pads it to that many characters, as IBM MQ gives
    // fixed-length attributes.
    void string(MQLONG id, std::string_view text, size_t length = 0, MQLONG ccsid = 0) {
        size_t n = std::max(length, text.size());
        head(MQCFT_STRING, static_cast<MQLONG>(MQCFST_STRUC_LENGTH_FIXED + padded(n)), id);
        w_.i32(ccsid);
        w_.i32(static_cast<MQLONG>(n));
        w_.fixed(text, n);
        pad(n);
    }
    // An MQCFSL of strings of one length (the longest, or length when that is more).
    void strings(MQLONG id, const std::vector<std::string> &texts, size_t length = 0, MQLONG ccsid = 0) {
        for (const std::string &t : texts) length = std::max(length, t.size());
        size_t total = texts.size() * length;
        head(MQCFT_STRING_LIST, static_cast<MQLONG>(MQCFSL_STRUC_LENGTH_FIXED + padded(total)), id);
        w_.i32(ccsid);
        w_.i32(static_cast<MQLONG>(texts.size()));
        w_.i32(static_cast<MQLONG>(length));
        for (const std::string &t : texts) w_.fixed(t, length);
        pad(total);
    }
    void integers(MQLONG id, const MQLONG *values, size_t count) {
        head(MQCFT_INTEGER_LIST, static_cast<MQLONG>(MQCFIL_STRUC_LENGTH_FIXED + 4 * count), id);
        w_.i32(static_cast<MQLONG>(count));
        for (size_t i = 0; i < count; ++i) w_.i32(values[i]);
    }
    void integers64(MQLONG id, const int64_t *values, size_t count) {
        head(MQCFT_INTEGER64_LIST, static_cast<MQLONG>(MQCFIL64_STRUC_LENGTH_FIXED + 8 * count), id);
        w_.i32(static_cast<MQLONG>(count));
        for (size_t i = 0; i < count; ++i) w_.i64(values[i]);
    }
    void bytes(MQLONG id, const void *data, size_t length) {
        head(MQCFT_BYTE_STRING, static_cast<MQLONG>(MQCFBS_STRUC_LENGTH_FIXED + padded(length)), id);
        w_.i32(static_cast<MQLONG>(length));
        w_.raw(data, length);
        pad(length);
    }
    // An MQCFGR: what follows, up to endGroup, are its parameters.
    void beginGroup(MQLONG id) {
        head(MQCFT_GROUP, MQCFGR_STRUC_LENGTH, id);
        groups_.push_back(w_.bytes().size());
        w_.i32(0);
    }
    void endGroup() {
        if (!groups_.empty()) groups_.pop_back();
    }
    // Another writer's parameters, as parameters of the open group (or of the top level here).
    void append(const Writer &other) {
        w_.raw(other.body().data(), other.body().size());
        counted(other.count());
    }
    const std::string &body() const { return w_.bytes(); }
    MQLONG count() const { return count_; }

    // A whole PCF message: the MQCFH, then the parameters.
    std::string message(MQLONG type, MQLONG version, MQLONG command, MQLONG seqNumber, MQLONG control,
                        MQLONG compCode, MQLONG reason) const {
        qmwire::Writer h;
        for (MQLONG v : {type, static_cast<MQLONG>(MQCFH_STRUC_LENGTH), version, command, seqNumber, control,
                         compCode, reason, count_})
            h.i32(v);
        return h.bytes() + body();
    }

private:
    static size_t padded(size_t n) { return (n + 3) & ~static_cast<size_t>(3); }
    void pad(size_t n) {
        for (size_t i = n; i < padded(n); ++i) w_.u8(0);
    }
    void head(MQLONG type, MQLONG length, MQLONG id) {
        w_.i32(type);
        w_.i32(length);
        w_.i32(id);
        counted(1);
    }
    // Raises the parameter count of the innermost open group, or of the message.
    void counted(MQLONG n) {
        if (groups_.empty()) {
            count_ += n;
            return;
        }
        std::string &b = w_.bytes();
        qmwire::Reader r(b.data() + groups_.back(), 4);
        int32_t v = r.i32() + n;
        b.replace(groups_.back(), 4, reinterpret_cast<const char *>(&v), 4);
    }

    mutable qmwire::Writer w_;
    MQLONG count_ = 0;
    std::vector<size_t> groups_;  // offsets of the open groups' ParameterCount fields
};

}  // namespace qmpcf
