// Code-page conversion through the queue manager's MQXCNVC, and the per-CCSID punctuation sets that
// records written in a CCSID other than 850 use. The punctuation list is shared by every thread
// that writes records; its mutex is a leaf, so conversions and allocations happen outside it.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "mqi/mqi.h"

namespace {

constexpr MQLONG kConvertOptions =
    MQDCC_DEFAULT_CONVERSION | MQDCC_SOURCE_ENC_NATIVE | MQDCC_TARGET_ENC_NATIVE;
static_assert(kConvertOptions == 545);

constexpr char kPunctuation850[6] = {'[', ']', '{', '}', '!', '\''};

CSLock gPunctuationLock("PUNCTUATION");
MQPunctuationEntry *gPunctuation = nullptr;  // most recently used first

void conversionDebug(int32_t from, int32_t to, int32_t reason) {
    if (!std::getenv("CS_CONVERSION_DEBUG")) return;
    char line[64];
    int n = std::snprintf(line, sizeof line, "MQXCNVC(%d -> %d) RC(%d)", from, to, reason);
    evDumpLine(line, n);
}

// Finds the entry and moves it to the front; the lock is held.
MQPunctuationEntry *findAndRaise(uint32_t ccsid) {
    MQPunctuationEntry **link = &gPunctuation;
    for (MQPunctuationEntry *e = gPunctuation; e; link = &e->next, e = e->next) {
        if (e->ccsid != ccsid) continue;
        *link = e->next;
        e->next = gPunctuation;
        gPunctuation = e;
        return e;
    }
    return nullptr;
}

bool convertOne(const MQIFunctionTable *table, int32_t hconn, char *c, uint32_t ccsid) {
    char out = *c;
    int32_t length = 1;
    if (MQConvertString(table, hconn, c, 1, &out, &length, 850, static_cast<int32_t>(ccsid)) != 0)
        return false;
    if (length == 1) *c = out;
    return true;
}

// UTF-16 as IBM MQ names it: 1200 in the byte order of the data's encoding (here always native,
// as the options say), 1201 big-endian, 1202 little-endian; a byte-order mark decides over all three.
bool isUtf16(int32_t ccsid) {
    return ccsid == 1200 || ccsid == 1201 || ccsid == 1202;
}

bool nativeLittleEndian() {
    const uint16_t one = 1;
    uint8_t first = 0;
    std::memcpy(&first, &one, 1);
    return first == 1;
}

void putUtf8(uint32_t cp, char *out, size_t *used) {
    auto *o = reinterpret_cast<uint8_t *>(out + *used);
    if (cp < 0x80) {
        o[0] = static_cast<uint8_t>(cp);
        *used += 1;
    } else if (cp < 0x800) {
        o[0] = static_cast<uint8_t>(0xC0 | cp >> 6);
        o[1] = static_cast<uint8_t>(0x80 | (cp & 0x3F));
        *used += 2;
    } else if (cp < 0x10000) {
        o[0] = static_cast<uint8_t>(0xE0 | cp >> 12);
        o[1] = static_cast<uint8_t>(0x80 | (cp >> 6 & 0x3F));
        o[2] = static_cast<uint8_t>(0x80 | (cp & 0x3F));
        *used += 3;
    } else {
        o[0] = static_cast<uint8_t>(0xF0 | cp >> 18);
        o[1] = static_cast<uint8_t>(0x80 | (cp >> 12 & 0x3F));
        o[2] = static_cast<uint8_t>(0x80 | (cp >> 6 & 0x3F));
        o[3] = static_cast<uint8_t>(0x80 | (cp & 0x3F));
        *used += 4;
    }
}

// UTF-16 text as UTF-8 into out (room for 2 bytes of UTF-8 per byte of text); its length. A lone
// surrogate becomes U+FFFD. A last odd byte is what is left of a character whose blank or NUL half
// was trimmed off behind it: little-endian, it is the character's low byte; big-endian, it is dropped.
size_t utf16ToUtf8(const uint8_t *text, size_t length, int32_t ccsid, char *out, uint32_t *replaced) {
    bool little = ccsid == 1202 || (ccsid == 1200 && nativeLittleEndian());
    size_t at = 0;
    if (length >= 2 && ((text[0] == 0xFE && text[1] == 0xFF) || (text[0] == 0xFF && text[1] == 0xFE))) {
        little = text[0] == 0xFF;
        at = 2;
    }
    auto unit = [&](size_t i) -> uint32_t {
        if (i + 1 >= length) return little ? text[i] : 0xFFFFFFFFu;
        return little ? text[i] | static_cast<uint32_t>(text[i + 1]) << 8
                      : static_cast<uint32_t>(text[i]) << 8 | text[i + 1];
    };
    size_t used = 0;
    for (; at < length; at += 2) {
        uint32_t cp = unit(at);
        if (cp == 0xFFFFFFFFu) break;
        if (cp >= 0xD800 && cp < 0xDC00 && at + 3 < length) {
            const uint32_t low = unit(at + 2);
            if (low >= 0xDC00 && low < 0xE000) {
                cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
                at += 2;
            }
        }
        if (cp >= 0xD800 && cp < 0xE000) {
            cp = 0xFFFD;
            if (replaced) ++*replaced;
        }
        putUtf8(cp, out, &used);
    }
    return used;
}

int xcnvc(const MQIFunctionTable *table, int32_t hconn, const char *source, int32_t sourceLength,
          char *target, int32_t *targetLength, int32_t sourceCcsid, int32_t targetCcsid) {
    MQLONG compCode = MQCC_FAILED, reason = MQRC_FUNCTION_NOT_SUPPORTED, dataLength = 0;
    if (table && table->MQXCNVC && targetLength)
        table->MQXCNVC(hconn, kConvertOptions, sourceCcsid, sourceLength, const_cast<char *>(source),
                       targetCcsid, *targetLength, target, &dataLength, &compCode, &reason);
    if (compCode != MQCC_FAILED) {
        *targetLength = dataLength;
        return 0;
    }
    conversionDebug(sourceCcsid, targetCcsid, reason);
    if (reason == MQRC_SOURCE_CCSID_ERROR) return 4;
    if (reason == MQRC_TARGET_CCSID_ERROR) return 5;
    return 6;
}

// UTF-16 is decoded here, whatever the queue manager's MQXCNVC makes of it (not every one takes
// each byte order): to UTF-8, and from there through MQXCNVC to any other target.
int fromUtf16(const MQIFunctionTable *table, int32_t hconn, const char *source, int32_t sourceLength,
              char *target, int32_t *targetLength, int32_t sourceCcsid, int32_t targetCcsid) {
    if (!targetLength || *targetLength < 0) return 6;
    if (isUtf16(targetCcsid)) return 5;
    const size_t room = 2 * static_cast<size_t>(sourceLength) + 4;
    auto *utf8 = static_cast<char *>(CSGetMem(room));
    if (!utf8) return 6;
    const size_t length = utf16ToUtf8(reinterpret_cast<const uint8_t *>(source),
                                      static_cast<size_t>(sourceLength), sourceCcsid, utf8, nullptr);
    int result = 0;
    if (targetCcsid == 1208) {
        // As MQXCNVC does with a target too small: the whole characters that fit.
        size_t n = length < static_cast<size_t>(*targetLength) ? length : static_cast<size_t>(*targetLength);
        while (n > 0 && n < length && (static_cast<uint8_t>(utf8[n]) & 0xC0) == 0x80) n--;
        if (n > 0) std::memcpy(target, utf8, n);
        *targetLength = static_cast<int32_t>(n);
    } else {
        result =
            xcnvc(table, hconn, utf8, static_cast<int32_t>(length), target, targetLength, 1208, targetCcsid);
    }
    CSFreeMem(utf8);
    return result;
}

// The bytes of the valid UTF-8 character at t[i], or 0 with *bad the bytes of the ill-formed part
// that starts there (the longest start of a valid sequence, at least one byte).
size_t utf8Character(const uint8_t *t, size_t n, size_t i, size_t *bad) {
    const uint8_t b = t[i];
    if (b < 0x80) return 1;
    size_t need = 0;
    uint8_t low = 0x80, high = 0xBF;  // the second byte's range
    if (b >= 0xC2 && b <= 0xDF) {
        need = 1;
    } else if (b == 0xE0) {
        need = 2, low = 0xA0;
    } else if ((b >= 0xE1 && b <= 0xEC) || b == 0xEE || b == 0xEF) {
        need = 2;
    } else if (b == 0xED) {
        need = 2, high = 0x9F;
    } else if (b == 0xF0) {
        need = 3, low = 0x90;
    } else if (b >= 0xF1 && b <= 0xF3) {
        need = 3;
    } else if (b == 0xF4) {
        need = 3, high = 0x8F;
    } else {
        *bad = 1;
        return 0;
    }
    size_t k = 1;
    for (; k <= need && i + k < n; k++) {
        const uint8_t c = t[i + k];
        if (k == 1 ? (c < low || c > high) : (c & 0xC0) != 0x80) break;
    }
    if (k > need) return need + 1;
    *bad = k;
    return 0;
}

// The whole UTF-8 characters of text that fit in room bytes, copied to target; their length.
size_t copyWholeUtf8(const char *text, size_t length, char *target, size_t room) {
    size_t n = length < room ? length : room;
    while (n > 0 && n < length && (static_cast<uint8_t>(text[n]) & 0xC0) == 0x80) n--;
    if (n > 0) std::memcpy(target, text, n);
    return n;
}

}  // namespace

int MQConvertString(const MQIFunctionTable *table, int32_t hconn, const char *source, int32_t sourceLength,
                    char *target, int32_t *targetLength, int32_t sourceCcsid, int32_t targetCcsid) {
    if (isUtf16(sourceCcsid) && sourceLength >= 0)
        return fromUtf16(table, hconn, source, sourceLength, target, targetLength, sourceCcsid, targetCcsid);
    return xcnvc(table, hconn, source, sourceLength, target, targetLength, sourceCcsid, targetCcsid);
}

const MQPunctuationEntry *MQCcsidPunctuation(const MQIFunctionTable *table, int32_t hconn, uint32_t ccsid) {
    {
        CSLockIt(&gPunctuationLock, CS_INFINITE);
        MQPunctuationEntry *found = findAndRaise(ccsid);
        CSUnlockIt(&gPunctuationLock);
        if (found) return found;
    }
    auto *entry = static_cast<MQPunctuationEntry *>(CSGetMem(sizeof(MQPunctuationEntry)));
    if (!entry) return nullptr;
    entry->next = nullptr;
    entry->ccsid = ccsid;
    for (int i = 0; i < 6; ++i) entry->chars[i] = kPunctuation850[i];
    if (convertOne(table, hconn, &entry->chars[EV_PUNCT_QUOTE], ccsid))
        for (int i = EV_PUNCT_LBRACKET; i <= EV_PUNCT_BANG; ++i)
            convertOne(table, hconn, &entry->chars[i], ccsid);

    CSLockIt(&gPunctuationLock, CS_INFINITE);
    MQPunctuationEntry *raced = findAndRaise(ccsid);  // another thread made it meanwhile
    if (!raced) {
        entry->next = gPunctuation;
        gPunctuation = entry;
    }
    CSUnlockIt(&gPunctuationLock);
    if (!raced) return entry;
    CSFreeMem(entry);
    return raced;
}

int MQPunctuationEntryCount() {
    CSLockIt(&gPunctuationLock, CS_INFINITE);
    int n = 0;
    for (MQPunctuationEntry *e = gPunctuation; e; e = e->next) ++n;
    CSUnlockIt(&gPunctuationLock);
    return n;
}

size_t MQRepairUtf8(const char *text, size_t length, char *out, uint32_t *replaced) {
    const auto *t = reinterpret_cast<const uint8_t *>(text);
    size_t used = 0;
    for (size_t i = 0; i < length;) {
        size_t bad = 0;
        const size_t n = utf8Character(t, length, i, &bad);
        if (n > 0) {
            if (out) std::memcpy(out + used, text + i, n);
            used += n;
            i += n;
            continue;
        }
        if (out) std::memcpy(out + used, "\xEF\xBF\xBD", 3);
        used += 3;
        i += bad;
        if (replaced) ++*replaced;
    }
    return used;
}

int MQConvertShown(const MQIFunctionTable *table, int32_t hconn, const char *source, int32_t sourceLength,
                   char *target, int32_t *targetLength, int32_t sourceCcsid, int32_t targetCcsid,
                   uint32_t *replaced) {
    if (replaced) *replaced = 0;
    if (!targetLength || *targetLength < 0 || sourceLength < 0 || (!source && sourceLength > 0)) return 6;
    const auto length = static_cast<size_t>(sourceLength);
    const auto room = static_cast<size_t>(*targetLength);
    if (sourceCcsid == targetCcsid && sourceCcsid != 1208 && !isUtf16(sourceCcsid)) {
        const size_t n = length < room ? length : room;
        if (n > 0) std::memcpy(target, source, n);
        *targetLength = static_cast<int32_t>(n);
        return 0;
    }
    // Anything else goes through UTF-8, made valid on the way.
    std::string utf8;
    uint32_t count = 0;
    if (sourceCcsid == 1208) {
        utf8.resize(3 * length);
        utf8.resize(MQRepairUtf8(source, length, utf8.data(), &count));
    } else if (isUtf16(sourceCcsid)) {
        utf8.resize(2 * length + 4);
        utf8.resize(
            utf16ToUtf8(reinterpret_cast<const uint8_t *>(source), length, sourceCcsid, utf8.data(), &count));
    } else {
        int32_t got = *targetLength;
        const int rc = xcnvc(table, hconn, source, sourceLength, target, &got, sourceCcsid, targetCcsid);
        if (rc != 4) {
            if (rc == 0) *targetLength = got;
            return rc;
        }
        // A code page the conversion does not know: what is surely its own is ASCII.
        for (size_t i = 0; i < length; i++) {
            if (static_cast<uint8_t>(source[i]) < 0x80) {
                utf8 += source[i];
            } else {
                utf8 += "\xEF\xBF\xBD";
                count++;
            }
        }
    }
    if (replaced) *replaced = count;
    if (targetCcsid == 1208) {
        *targetLength = static_cast<int32_t>(copyWholeUtf8(utf8.data(), utf8.size(), target, room));
        return 0;
    }
    return xcnvc(table, hconn, utf8.data(), static_cast<int32_t>(utf8.size()), target, targetLength, 1208,
                 targetCcsid);
}
