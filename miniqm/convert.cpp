// Code-page conversion: every string goes source bytes -> Unicode code points -> target bytes, so
// each code page needs only its decoder and encoder. Single-byte pages use the tables in
// convert_tables.cpp; their reverse maps are built once, on first use.
#include "miniqm/convert.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <mutex>
#include <utility>
#include <vector>

namespace qmconv {

namespace {

constexpr uint32_t kReplacement = 0xFFFD;

const SbcsTable *sbcs(MQLONG ccsid) {
    for (size_t i = 0; i < kSbcsTableCount; ++i)
        if (kSbcsTables[i].ccsid == ccsid) return &kSbcsTables[i];
    return nullptr;
}

// Unicode -> byte for one single-byte page, sorted by code point for binary search.
using ReverseMap = std::array<std::pair<uint16_t, uint8_t>, 256>;

const ReverseMap &reverseOf(const SbcsTable *t) {
    static std::vector<ReverseMap> maps;
    static std::once_flag once;
    std::call_once(once, [] {
        maps.resize(kSbcsTableCount);
        for (size_t i = 0; i < kSbcsTableCount; ++i) {
            for (int b = 0; b < 256; ++b)
                maps[i][static_cast<size_t>(b)] = {kSbcsTables[i].toUnicode[b], static_cast<uint8_t>(b)};
            std::sort(maps[i].begin(), maps[i].end());
        }
    });
    return maps[static_cast<size_t>(t - kSbcsTables)];
}

// Decoders: append code points; false when the input is not valid in its code page.
bool decodeUtf8(std::string_view in, std::vector<uint32_t> &cps) {
    size_t i = 0;
    while (i < in.size()) {
        auto b = static_cast<uint8_t>(in[i]);
        if (b < 0x80) {
            cps.push_back(b);
            ++i;
            continue;
        }
        int extra;
        uint32_t cp, min;
        if ((b & 0xE0) == 0xC0)
            extra = 1, cp = b & 0x1Fu, min = 0x80;
        else if ((b & 0xF0) == 0xE0)
            extra = 2, cp = b & 0x0Fu, min = 0x800;
        else if ((b & 0xF8) == 0xF0)
            extra = 3, cp = b & 0x07u, min = 0x10000;
        else
            return false;
        if (i + static_cast<size_t>(extra) >= in.size()) return false;
        for (int k = 1; k <= extra; ++k) {
            auto c = static_cast<uint8_t>(in[i + static_cast<size_t>(k)]);
            if ((c & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (c & 0x3Fu);
        }
        if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
        cps.push_back(cp);
        i += static_cast<size_t>(extra) + 1;
    }
    return true;
}

uint16_t unit16(std::string_view in, size_t i, bool reversed) {
    auto a = static_cast<uint8_t>(in[i]), b = static_cast<uint8_t>(in[i + 1]);
    return static_cast<uint16_t>(reversed ? (b << 8) | a : (a << 8) | b);
}

bool decodeUtf16(std::string_view in, bool reversed, std::vector<uint32_t> &cps) {
    if (in.size() % 2) return false;
    for (size_t i = 0; i < in.size(); i += 2) {
        uint32_t u = unit16(in, i, reversed);
        if (u >= 0xD800 && u <= 0xDBFF) {
            if (i + 2 >= in.size()) return false;
            uint32_t low = unit16(in, i + 2, reversed);
            if (low < 0xDC00 || low > 0xDFFF) return false;
            cps.push_back(0x10000 + ((u - 0xD800) << 10) + (low - 0xDC00));
            i += 2;
        } else if (u >= 0xDC00 && u <= 0xDFFF) {
            return false;
        } else {
            cps.push_back(u);
        }
    }
    return true;
}

// Encoders: one character's bytes.
void encodeOne(MQLONG ccsid, bool reversed, const SbcsTable *t, uint32_t cp, std::string &out) {
    if (t) {
        const ReverseMap &m = reverseOf(t);
        auto it =
            std::lower_bound(m.begin(), m.end(), std::pair<uint16_t, uint8_t>{static_cast<uint16_t>(cp), 0});
        if (cp <= 0xFFFF && it != m.end() && it->first == cp)
            out.push_back(static_cast<char>(it->second));
        else
            out.push_back(static_cast<char>(t->ebcdic ? 0x3F : 0x1A));
        return;
    }
    if (ccsid == kUtf8) {
        if (cp < 0x80) {
            out.push_back(static_cast<char>(cp));
        } else if (cp < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else if (cp < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        }
        return;
    }
    auto put16 = [&](uint32_t u) {
        char hi = static_cast<char>(u >> 8), lo = static_cast<char>(u & 0xFF);
        out.push_back(reversed ? lo : hi);
        out.push_back(reversed ? hi : lo);
    };
    if (cp >= 0x10000) {
        put16(0xD800 + ((cp - 0x10000) >> 10));
        put16(0xDC00 + ((cp - 0x10000) & 0x3FF));
    } else {
        put16(cp);
    }
}

// Decodes in; false with reason set when the source is unsupported or invalid.
bool decode(MQLONG ccsid, bool reversed, std::string_view in, std::vector<uint32_t> &cps, MQLONG &reason) {
    cps.reserve(in.size());
    if (const SbcsTable *t = sbcs(ccsid)) {
        for (char c : in) cps.push_back(t->toUnicode[static_cast<uint8_t>(c)]);
        return true;
    }
    bool ok;
    if (ccsid == kUtf8)
        ok = decodeUtf8(in, cps);
    else if (ccsid == kUtf16)
        ok = decodeUtf16(in, reversed, cps);
    else {
        reason = MQRC_SOURCE_CCSID_ERROR;
        return false;
    }
    if (!ok) reason = MQRC_DBCS_ERROR;
    return ok;
}

// The byte order an MQDCC encoding nibble asks for; undefined means this machine's (little-endian).
bool reversedFromOption(MQLONG nibble) {
    return nibble != 1;
}

}  // namespace

bool supported(MQLONG ccsid) {
    return sbcs(ccsid) || ccsid == kUtf8 || ccsid == kUtf16;
}

MQLONG convert(MQLONG fromCcsid, bool fromReversed, std::string_view in, MQLONG toCcsid, bool toReversed,
               std::string &out) {
    out.clear();
    if (!supported(fromCcsid)) return MQRC_SOURCE_CCSID_ERROR;
    if (!supported(toCcsid)) return MQRC_TARGET_CCSID_ERROR;
    std::vector<uint32_t> cps;
    MQLONG reason = MQRC_NONE;
    if (!decode(fromCcsid, fromReversed, in, cps, reason)) return reason;
    const SbcsTable *t = sbcs(toCcsid);
    out.reserve(cps.size());
    for (uint32_t cp : cps) encodeOne(toCcsid, toReversed, t, cp, out);
    return MQRC_NONE;
}

void xcnvc(MQLONG options, MQLONG sourceCcsid, MQLONG sourceLength, const char *source, MQLONG targetCcsid,
           MQLONG targetLength, char *target, MQLONG *dataLength, MQLONG *compCode, MQLONG *reason) {
    auto fail = [&](MQLONG r) {
        *compCode = MQCC_FAILED;
        *reason = r;
    };
    *dataLength = 0;
    constexpr MQLONG known = MQDCC_DEFAULT_CONVERSION | MQDCC_FILL_TARGET_BUFFER |
                             MQDCC_INT_DEFAULT_CONVERSION | MQDCC_SOURCE_ENC_MASK | MQDCC_TARGET_ENC_MASK;
    MQLONG srcEnc = (options & MQDCC_SOURCE_ENC_MASK) / MQDCC_SOURCE_ENC_FACTOR;
    MQLONG tgtEnc = (options & MQDCC_TARGET_ENC_MASK) / MQDCC_TARGET_ENC_FACTOR;
    if ((options & ~known) || srcEnc > 2 || tgtEnc > 2) return fail(MQRC_OPTIONS_ERROR);
    if (sourceLength < 0) return fail(MQRC_SOURCE_LENGTH_ERROR);
    if (targetLength < 0) return fail(MQRC_TARGET_LENGTH_ERROR);
    if (!source && sourceLength > 0) return fail(MQRC_SOURCE_BUFFER_ERROR);
    if (!target && targetLength > 0) return fail(MQRC_TARGET_BUFFER_ERROR);
    if (!supported(sourceCcsid)) return fail(MQRC_SOURCE_CCSID_ERROR);
    if (!supported(targetCcsid)) return fail(MQRC_TARGET_CCSID_ERROR);

    // Convert character by character so that truncation never splits a character.
    std::vector<uint32_t> cps;
    MQLONG r = MQRC_NONE;
    std::string_view in(source ? source : "", static_cast<size_t>(sourceLength));
    if (!decode(sourceCcsid, reversedFromOption(srcEnc), in, cps, r)) return fail(r);
    const SbcsTable *t = sbcs(targetCcsid);
    bool tgtReversed = reversedFromOption(tgtEnc);
    auto room = static_cast<size_t>(targetLength);
    std::string out, one;
    bool truncated = false;
    for (uint32_t cp : cps) {
        one.clear();
        encodeOne(targetCcsid, tgtReversed, t, cp, one);
        if (out.size() + one.size() > room) {
            truncated = true;
            break;
        }
        out += one;
    }
    if (!out.empty()) std::memcpy(target, out.data(), out.size());
    size_t used = out.size();
    if (options & MQDCC_FILL_TARGET_BUFFER) {
        one.clear();
        encodeOne(targetCcsid, tgtReversed, t, 0x20, one);
        while (used + one.size() <= room) {
            std::memcpy(target + used, one.data(), one.size());
            used += one.size();
        }
    }
    *dataLength = static_cast<MQLONG>(used);
    *compCode = truncated ? MQCC_WARNING : MQCC_OK;
    *reason = truncated ? MQRC_CONVERTED_MSG_TOO_BIG : MQRC_NONE;
}

// ---- PCF messages (MQADMIN, MQEVENT, MQPCF) ----
// Integers change byte order with the encoding; strings change code page, which may change their
// length, so every structure is rebuilt with its lengths recomputed.

namespace {

uint32_t load32(std::string_view d, size_t off, bool reversed) {
    auto b = [&](size_t i) { return static_cast<uint32_t>(static_cast<uint8_t>(d[off + i])); };
    return reversed ? b(0) | b(1) << 8 | b(2) << 16 | b(3) << 24 : b(3) | b(2) << 8 | b(1) << 16 | b(0) << 24;
}

void store32(std::string &out, uint32_t v, bool reversed) {
    for (int i = 0; i < 4; ++i) {
        int shift = reversed ? 8 * i : 8 * (3 - i);
        out.push_back(static_cast<char>((v >> shift) & 0xFF));
    }
}

void store64(std::string &out, std::string_view d, size_t off, bool fromRev, bool toRev) {
    std::string bytes(d.substr(off, 8));
    if (fromRev != toRev) std::reverse(bytes.begin(), bytes.end());
    out += bytes;
}

struct PcfConverter {
    std::string_view d;
    MQLONG fromCcsid, toCcsid;
    bool fromRev, toRev;
    std::string out;

    uint32_t at(size_t off) const { return load32(d, off, fromRev); }
    void copyInts(size_t off, size_t n) {
        for (size_t i = 0; i < n; ++i) store32(out, at(off + 4 * i), toRev);
    }
    // A string field's text in the target code page; reason on failure.
    MQLONG text(MQLONG ccsid, std::string_view s, std::string &t) const {
        MQLONG from = ccsid == 0 ? fromCcsid : ccsid;
        if (from == toCcsid && (from != kUtf16 || fromRev == toRev)) {
            t.assign(s.data(), s.size());
            return MQRC_NONE;
        }
        return convert(from, fromRev, s, toCcsid, toRev, t);
    }
    MQLONG outCcsid(MQLONG ccsid) const { return ccsid == 0 ? 0 : toCcsid; }
    void pad4(size_t start) {
        while ((out.size() - start) % 4) out.push_back('\0');
    }

    // One structure at off with length len; MQRC_NONE or why not.
    MQLONG parameter(size_t off, size_t len) {
        uint32_t type = at(off);
        size_t start = out.size();
        switch (type) {
            case MQCFT_INTEGER:
            case MQCFT_GROUP:
                if (len != 16) return MQRC_FORMAT_ERROR;
                copyInts(off, 4);
                return MQRC_NONE;
            case MQCFT_INTEGER_FILTER:
                if (len != 20) return MQRC_FORMAT_ERROR;
                copyInts(off, 5);
                return MQRC_NONE;
            case MQCFT_INTEGER64:
                if (len != 24) return MQRC_FORMAT_ERROR;
                copyInts(off, 4);
                store64(out, d, off + 16, fromRev, toRev);
                return MQRC_NONE;
            case MQCFT_INTEGER_LIST:
            case MQCFT_INTEGER64_LIST: {
                size_t width = type == MQCFT_INTEGER_LIST ? 4 : 8;
                uint32_t count = at(off + 12);
                if (len < 16 || (len - 16) / width < count) return MQRC_FORMAT_ERROR;
                copyInts(off, 4);
                for (size_t i = 0; i < count; ++i) {
                    if (width == 4)
                        store32(out, at(off + 16 + 4 * i), toRev);
                    else
                        store64(out, d, off + 16 + 8 * i, fromRev, toRev);
                }
                out.append(len - 16 - width * count, '\0');
                return MQRC_NONE;
            }
            case MQCFT_BYTE_STRING:
            case MQCFT_BYTE_STRING_FILTER: {
                size_t fixed = type == MQCFT_BYTE_STRING ? 16 : 20;
                if (len < fixed || at(off + fixed - 4) > len - fixed) return MQRC_FORMAT_ERROR;
                copyInts(off, fixed / 4);
                out.append(d.substr(off + fixed, len - fixed));
                return MQRC_NONE;
            }
            case MQCFT_STRING:
            case MQCFT_STRING_FILTER: {
                size_t fixed = type == MQCFT_STRING ? 20 : 24;  // the filter has an Operator before CCSID
                if (len < fixed) return MQRC_FORMAT_ERROR;
                auto ccsid = static_cast<MQLONG>(at(off + fixed - 8));
                uint32_t slen = at(off + fixed - 4);
                if (slen > len - fixed) return MQRC_FORMAT_ERROR;
                std::string t;
                if (MQLONG r = text(ccsid, d.substr(off + fixed, slen), t)) return r;
                store32(out, type, toRev);
                size_t lenAt = out.size();
                store32(out, 0, toRev);
                copyInts(off + 8, (fixed - 16) / 4);  // Parameter (and Operator)
                store32(out, static_cast<uint32_t>(outCcsid(ccsid)), toRev);
                store32(out, static_cast<uint32_t>(t.size()), toRev);
                out += t;
                pad4(start);
                std::string lenBytes;
                store32(lenBytes, static_cast<uint32_t>(out.size() - start), toRev);
                out.replace(lenAt, 4, lenBytes);
                return MQRC_NONE;
            }
            case MQCFT_STRING_LIST: {
                if (len < 24) return MQRC_FORMAT_ERROR;
                auto ccsid = static_cast<MQLONG>(at(off + 12));
                uint32_t count = at(off + 16), slen = at(off + 20);
                if (slen && count > (len - 24) / slen) return MQRC_FORMAT_ERROR;
                std::vector<std::string> items(count);
                size_t widest = 0;
                for (uint32_t i = 0; i < count; ++i) {
                    if (MQLONG r = text(ccsid, d.substr(off + 24 + size_t{i} * slen, slen), items[i]))
                        return r;
                    widest = std::max(widest, items[i].size());
                }
                std::string blank;
                encodeOne(toCcsid, toRev, sbcs(toCcsid), 0x20, blank);
                store32(out, type, toRev);
                size_t lenAt = out.size();
                store32(out, 0, toRev);
                store32(out, at(off + 8), toRev);
                store32(out, static_cast<uint32_t>(outCcsid(ccsid)), toRev);
                store32(out, count, toRev);
                store32(out, static_cast<uint32_t>(widest), toRev);
                for (std::string &item : items) {
                    while (item.size() + blank.size() <= widest) item += blank;
                    item.resize(widest, ' ');
                    out += item;
                }
                pad4(start);
                std::string lenBytes;
                store32(lenBytes, static_cast<uint32_t>(out.size() - start), toRev);
                out.replace(lenAt, 4, lenBytes);
                return MQRC_NONE;
            }
            default:
                return MQRC_FORMAT_ERROR;
        }
    }

    MQLONG run() {
        if (d.size() < 36 || at(4) != 36) return MQRC_FORMAT_ERROR;
        copyInts(0, 9);
        size_t off = 36;
        while (off < d.size()) {
            if (d.size() - off < 8) return MQRC_FORMAT_ERROR;
            uint32_t len = at(off + 4);
            if (len < 16 || len % 4 || len > d.size() - off) return MQRC_FORMAT_ERROR;
            if (MQLONG r = parameter(off, len)) return r;
            off += len;
        }
        return MQRC_NONE;
    }
};

bool isFormat(std::string_view fmt, const char *name) {
    return fmt == std::string_view(name, 8);
}

}  // namespace

MQLONG convertMessage(std::string_view format, MQLONG fromCcsid, MQLONG fromEncoding, std::string_view data,
                      MQLONG toCcsid, MQLONG toEncoding, std::string &out) {
    out.assign(data.data(), data.size());
    bool sameCcsid = fromCcsid == toCcsid;
    bool sameEncoding = reversedEncoding(fromEncoding) == reversedEncoding(toEncoding);
    std::string fmt(format.substr(0, std::min<size_t>(format.size(), 8)));
    fmt.resize(8, ' ');
    if (isFormat(fmt, MQFMT_STRING)) {
        // Text: the encoding matters only for UTF-16's byte order.
        if (sameCcsid && (fromCcsid != kUtf16 || sameEncoding)) return MQRC_NONE;
        MQLONG r = convert(fromCcsid, reversedEncoding(fromEncoding), data, toCcsid,
                           reversedEncoding(toEncoding), out);
        if (r != MQRC_NONE) out.assign(data.data(), data.size());
        return r;
    }
    if (sameCcsid && sameEncoding) return MQRC_NONE;
    if (isFormat(fmt, MQFMT_ADMIN) || isFormat(fmt, MQFMT_EVENT) || isFormat(fmt, MQFMT_PCF)) {
        if (!supported(fromCcsid)) return MQRC_SOURCE_CCSID_ERROR;
        if (!supported(toCcsid)) return MQRC_TARGET_CCSID_ERROR;
        PcfConverter pcf{
            data, fromCcsid, toCcsid, reversedEncoding(fromEncoding), reversedEncoding(toEncoding), {}};
        MQLONG r = pcf.run();
        if (r == MQRC_NONE) out = std::move(pcf.out);
        return r == MQRC_DBCS_ERROR || r == MQRC_NONE ? r : MQRC_FORMAT_ERROR;
    }
    return MQRC_FORMAT_ERROR;
}

}  // namespace qmconv
