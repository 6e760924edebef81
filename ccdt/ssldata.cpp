// The two SSL data records of a channel table: the CRL record with the CRLLDAP definitions (their
// LDAP credentials enciphered) and the OCSP record with the responder URLs. Both are rewritten
// whole: the old record is deleted and the new one inserted.
//
// Data layout of both (offsets in the record's data, integers u32 little-endian):
//   0     key                         20    version: 3 CRL, 4 OCSP
//   32    the caller's 64-byte text   1492  1496, the length of the compatibility area
//   1504  OCSP: list length + 130     1560  time of writing, seconds since 1970 (low 32 bits)
//   1636  length of the list          1640  the list
// CRL list: per definition [u32 L1][connection name][u32 4][integer][u32 L2][user name]
// [u32 L3][password], the names and the credentials of L1 <= 264, L2 <= 1024, L3 <= 32 bytes, the
// credentials enciphered over lengths that are multiples of 8.
// OCSP list: header {u32 1, u32 12, u32 count}, then per URL [u32 URL length + 8][u32 URL length]
// [URL], no padding and no terminator.
#include <cstdlib>
#include <cstring>
#include <memory>

#include "ccdt/internal.h"

namespace {

constexpr uint32_t kVersionAt = 20;
constexpr uint32_t kTextAt = 32;
constexpr uint32_t kCompatLengthAt = 1492;
constexpr uint32_t kCompatLength = 1496;
constexpr uint32_t kOcspListPlus130At = 1504;
constexpr uint32_t kOcspListExtra = 130;
constexpr uint32_t kTimeAt = 1560;
constexpr uint32_t kListLengthAt = 1636;
constexpr uint32_t kListAt = 1640;
// An older CRL version keeps its list length at the compatibility length plus this.
constexpr uint32_t kOldListLengthBias = 138;

constexpr uint32_t kCrlVersion = 3;
constexpr uint32_t kCrlEntryMax = 4 + 264 + 4 + 4 + 4 + 1024 + 4 + 32;  // 1340
constexpr uint32_t kCrlReadBuffer = 15536;
constexpr uint32_t kNameMax = sizeof(ccdtCrlSlot::connectionName);
constexpr uint32_t kUserMax = sizeof(ccdtCrlSlot::userName);
constexpr uint32_t kPasswordMax = sizeof(ccdtCrlSlot::password);
constexpr uint32_t kIntegerLength = 4;

constexpr uint32_t kOcspVersion = 4;
constexpr uint32_t kOcspListVersion = 1;
constexpr uint32_t kOcspListHeader = 12;
constexpr uint32_t kOcspEntryHeader = 8;
constexpr uint32_t kOcspReadBuffer = 1904;

using Buffer = std::unique_ptr<uint8_t, decltype(&std::free)>;

Buffer zeroed(size_t size) {
    return Buffer(static_cast<uint8_t *>(std::calloc(size, 1)), &std::free);
}

// The bytes before the first NUL of a field.
uint32_t boundedLength(const void *field, uint32_t size) {
    const void *nul = std::memchr(field, 0, size);
    return nul ? static_cast<uint32_t>(static_cast<const char *>(nul) - static_cast<const char *>(field))
               : size;
}

// A slot field's text: its characters before the first NUL, trailing blanks dropped.
uint32_t textLength(const char *field, uint32_t size) {
    uint32_t length = boundedLength(field, size);
    while (length > 0 && field[length - 1] == ' ') length--;
    return length;
}

uint32_t roundUp8(uint32_t length) {
    return (length + 7) & ~7u;
}

// Key, version, text, compatibility length and time: the start that both records share.
void putCommon(uint8_t *record, const char *key, uint32_t version, const char *text) {
    std::memcpy(record, key, CCDT_KEY_LENGTH);
    mqiPutU32(record, kVersionAt, version);
    if (text) std::memcpy(record + kTextAt, text, boundedLength(text, CCDT_TEXT_LENGTH));
    mqiPutU32(record, kCompatLengthAt, kCompatLength);
    mqiPutU32(record, kTimeAt, static_cast<uint32_t>(evTimeNow()));
}

const uint8_t *keyBytes(const char *key) {
    return reinterpret_cast<const uint8_t *>(key);
}

// Deletes the data record of a key when there is one.
int deleteDataRecord(ccdtRecFile *handle, const char *key, int mode) {
    uint8_t probe[CCDT_KEY_LENGTH];
    uint32_t length = sizeof probe;
    int rc = ccdtRecRead(handle, keyBytes(key), probe, &length, mode);
    if (rc == CCDT_RC_NOT_FOUND) return CCDT_RC_OK;
    if (rc != CCDT_RC_OK && rc != CCDT_RC_TRUNCATED) return rc;
    return ccdtRecDelete(handle, key, CCDT_KEY_LENGTH);
}

int replaceDataRecord(ccdtRecFile *handle, const char *key, int mode, const uint8_t *record,
                      uint32_t length) {
    int rc = deleteDataRecord(handle, key, mode);
    if (rc != CCDT_RC_OK) return rc;
    return ccdtRecWrite(handle, record, length);
}

// A bounds-checked reader over the bytes of a record.
struct Reader {
    const uint8_t *data;
    uint64_t end;
    uint64_t at;
    bool u32(uint32_t *value) {
        if (at + 4 > end) return false;
        *value = mqiGetU32(data, at);
        at += 4;
        return true;
    }
    bool bytes(uint32_t length, const uint8_t **where) {
        if (at + length > end) return false;
        *where = data + at;
        at += length;
        return true;
    }
};

// One stored CRL entry into a zeroed slot; false when a length breaks the layout.
bool readCrlEntry(Reader *list, ccdtCrlSlot *slot) {
    uint32_t length = 0;
    const uint8_t *field = nullptr;
    if (!list->u32(&length) || length > kNameMax || !list->bytes(length, &field)) return false;
    std::memcpy(slot->connectionName, field, length);
    if (!list->u32(&length) || length != kIntegerLength || !list->bytes(length, &field)) return false;
    slot->type = mqiGetI32(field, 0);
    if (!list->u32(&length) || length > kUserMax || length % 8 != 0 || !list->bytes(length, &field))
        return false;
    std::memcpy(slot->userName, field, length);
    if (desDecryptBuffer(slot->userName, static_cast<int32_t>(length)) != CCDT_RC_OK) return false;
    if (!list->u32(&length) || length > kPasswordMax || length % 8 != 0 || !list->bytes(length, &field))
        return false;
    std::memcpy(slot->password, field, length);
    return desDecryptBuffer(slot->password, static_cast<int32_t>(length)) == CCDT_RC_OK;
}

int parseCrl(const uint8_t *record, uint32_t length, uint32_t *count, ccdtCrlSlot *slots, int64_t *time,
             char *text, uint32_t *listLength) {
    if (length < kListLengthAt) return CCDT_RC_BAD_DATA;
    uint64_t lengthAt = kListLengthAt;
    if (mqiGetU32(record, kVersionAt) != kCrlVersion)
        lengthAt = static_cast<uint64_t>(mqiGetU32(record, kCompatLengthAt)) + kOldListLengthBias;
    Reader header{record, length, lengthAt};
    uint32_t stored = 0;
    const uint8_t *entries = nullptr;
    if (!header.u32(&stored) || !header.bytes(stored, &entries)) return CCDT_RC_BAD_DATA;

    // Parsed aside first: the caller's slots change only when the whole list is sound.
    Buffer parsed = zeroed(sizeof(ccdtCrlSlot) * CCDT_CRL_MAX_SLOTS);
    if (!parsed) return CCDT_RC_NO_STORAGE;
    auto *work = reinterpret_cast<ccdtCrlSlot *>(parsed.get());
    Reader list{entries, stored, 0};
    uint32_t n = 0;
    for (; list.at < list.end; n++) {
        if (n == CCDT_CRL_MAX_SLOTS || !readCrlEntry(&list, &work[n])) return CCDT_RC_BAD_DATA;
    }
    std::memcpy(slots, work, sizeof(ccdtCrlSlot) * n);
    *count = n;
    if (time) *time = mqiGetU32(record, kTimeAt);
    if (text) std::memcpy(text, record + kTextAt, CCDT_TEXT_LENGTH);
    if (listLength) *listLength = stored;
    return CCDT_RC_OK;
}

// Stored integers are printed as the signed values the texts show.
int32_t i32(uint32_t value) {
    return static_cast<int32_t>(value);
}

void ocspFault(char *message, size_t messageSize, const char *text) {
    CSTrace(1, "%s\n", text);
    ccdtMessage(message, messageSize, "%s", text);
}

}  // namespace

int ccdtWriteCrlData(ccdtRecFile *handle, uint32_t count, ccdtCrlSlot *slots,
                     const char text[CCDT_TEXT_LENGTH]) {
    if (!handle) return CCDT_RC_NO_HANDLE;
    if (count == 0) return deleteDataRecord(handle, CCDT_CRL_KEY, CCDT_READ_CRL);
    // More would write a record that no read accepts.
    if (count > CCDT_CRL_MAX_SLOTS) return CCDT_RC_BAD_DATA;
    Buffer record = zeroed(static_cast<size_t>(count) * kCrlEntryMax + kListAt);
    if (!record) return CCDT_RC_NO_STORAGE;
    uint8_t *data = record.get();
    putCommon(data, CCDT_CRL_KEY, kCrlVersion, text);
    uint32_t at = kListAt;
    auto putField = [&](const void *field, uint32_t length) {
        mqiPutU32(data, at, length);
        std::memcpy(data + at + 4, field, length);
        at += 4 + length;
    };
    for (uint32_t i = 0; i < count; i++) {
        ccdtCrlSlot &slot = slots[i];
        putField(slot.connectionName, textLength(slot.connectionName, kNameMax));
        uint8_t integer[kIntegerLength];
        mqiPutI32(integer, 0, slot.type);
        putField(integer, kIntegerLength);
        // Lengths are multiples of 8 within fields that are: enciphering cannot refuse them.
        uint32_t user = roundUp8(textLength(slot.userName, kUserMax));
        (void)desEncryptBuffer(slot.userName, static_cast<int32_t>(user));
        putField(slot.userName, user);
        uint32_t password = roundUp8(textLength(slot.password, kPasswordMax));
        (void)desEncryptBuffer(slot.password, static_cast<int32_t>(password));
        putField(slot.password, password);
    }
    mqiPutU32(data, kListLengthAt, at - kListAt);
    return replaceDataRecord(handle, CCDT_CRL_KEY, CCDT_READ_CRL, data, at);
}

int ccdtReadCrlData(ccdtRecFile *handle, uint32_t *count, ccdtCrlSlot *slots, int64_t *time,
                    char text[CCDT_TEXT_LENGTH], uint32_t *listLength) {
    *count = 0;
    if (!handle) return CCDT_RC_NO_HANDLE;
    Buffer record = zeroed(kCrlReadBuffer);
    if (!record) return CCDT_RC_NO_STORAGE;
    uint32_t length = kCrlReadBuffer;
    int rc = ccdtRecRead(handle, keyBytes(CCDT_CRL_KEY), record.get(), &length, CCDT_READ_CRL);
    // Only a missing record means no definitions; one that cannot be read must not be taken for
    // none, or the next write would drop them all.
    if (rc == CCDT_RC_NOT_FOUND) return CCDT_RC_OK;
    if (rc == CCDT_RC_TRUNCATED) return CCDT_RC_BAD_DATA;
    if (rc != CCDT_RC_OK) return rc;
    return parseCrl(record.get(), length, count, slots, time, text, listLength);
}

int ccdtWriteOcspData(ccdtRecFile *handle, uint32_t count, const char (*urls)[CCDT_URL_LENGTH],
                      const char text[CCDT_TEXT_LENGTH], char *message, size_t messageSize) {
    if (!handle) return CCDT_RC_NO_HANDLE;
    if (count == 0) return deleteDataRecord(handle, CCDT_OCSP_KEY, CCDT_READ_OCSP);
    uint64_t size =
        static_cast<uint64_t>(count) * (CCDT_URL_LENGTH + kOcspEntryHeader) + kListAt + kOcspListHeader;
    Buffer record = size <= 0x7FFFFFFF ? zeroed(size) : Buffer(nullptr, &std::free);
    if (!record) {
        ccdtMessage(message, messageSize, "Storage not available");
        return CCDT_RC_NO_STORAGE;
    }
    uint8_t *data = record.get();
    putCommon(data, CCDT_OCSP_KEY, kOcspVersion, text);
    mqiPutU32(data, kListAt, kOcspListVersion);
    mqiPutU32(data, kListAt + 4, kOcspListHeader);
    mqiPutU32(data, kListAt + 8, count);
    uint32_t at = kListAt + kOcspListHeader;
    for (uint32_t i = 0; i < count; i++) {
        // A URL ends at its first blank or zero byte.
        uint32_t length = 0;
        while (length < CCDT_URL_LENGTH && urls[i][length] != ' ' && urls[i][length] != '\0') length++;
        mqiPutU32(data, at, length + kOcspEntryHeader);
        mqiPutU32(data, at + 4, length);
        std::memcpy(data + at + kOcspEntryHeader, urls[i], length);
        at += kOcspEntryHeader + length;
    }
    uint32_t list = at - kListAt;
    mqiPutU32(data, kListLengthAt, list);
    mqiPutU32(data, kOcspListPlus130At, list + kOcspListExtra);
    return replaceDataRecord(handle, CCDT_OCSP_KEY, CCDT_READ_OCSP, data, at);
}

int ccdtReadOcspData(ccdtRecFile *handle, uint32_t *count, char url[CCDT_URL_LENGTH], int64_t *time,
                     char text[CCDT_TEXT_LENGTH], char *message, size_t messageSize) {
    *count = 0;
    if (!handle) return CCDT_RC_NO_HANDLE;
    uint32_t length = kOcspReadBuffer;
    Buffer record = zeroed(length);
    int rc = record ? ccdtRecRead(handle, keyBytes(CCDT_OCSP_KEY), record.get(), &length, CCDT_READ_OCSP)
                    : CCDT_RC_NO_STORAGE;
    if (rc == CCDT_RC_TRUNCATED) {
        record = zeroed(length);
        rc = record ? ccdtRecRead(handle, keyBytes(CCDT_OCSP_KEY), record.get(), &length, CCDT_READ_OCSP)
                    : CCDT_RC_NO_STORAGE;
        // Grown again by another process in between: too changeable to trust.
        if (rc == CCDT_RC_TRUNCATED) rc = CCDT_RC_BAD_DATA;
    }
    if (rc == CCDT_RC_NO_STORAGE) ccdtMessage(message, messageSize, "Storage not available");
    if (rc == CCDT_RC_NOT_FOUND) return CCDT_RC_OK;
    if (rc != CCDT_RC_OK) return rc;

    const uint8_t *data = record.get();
    CSTraceDump("OCSP record read from CCDT", data, length);
    char fault[128];
    if (length < kListAt + kOcspListHeader) {
        std::snprintf(fault, sizeof fault, "Invalid OCSP compat channel length %d (vs %d)", i32(length),
                      i32(kListAt + kOcspListHeader));
        ocspFault(nullptr, 0, fault);
        return CCDT_RC_BAD_DATA;
    }
    if (time) *time = mqiGetU32(data, kTimeAt);
    if (text) {
        uint32_t stored = boundedLength(data + kTextAt, CCDT_TEXT_LENGTH);
        std::memset(text, ' ', CCDT_TEXT_LENGTH);
        std::memcpy(text, data + kTextAt, stored);
    }

    uint32_t version = mqiGetU32(data, kVersionAt), compat = mqiGetU32(data, kCompatLengthAt);
    if (version != kOcspVersion || compat < kCompatLength) {
        std::snprintf(fault, sizeof fault, "Invalid OCSP compat channel V%d len %d", i32(version),
                      i32(compat));
        ocspFault(nullptr, 0, fault);
        return CCDT_RC_BAD_DATA;
    }
    uint32_t list = mqiGetU32(data, kListLengthAt), available = length - kListAt;
    if (list > available) {
        std::snprintf(fault, sizeof fault, "Invalid OCSP compat channel length %d (vs %d)", i32(list),
                      i32(available));
        ocspFault(nullptr, 0, fault);
        return CCDT_RC_BAD_DATA;
    }
    const uint8_t *entries = data + kListAt;
    uint32_t listVersion = mqiGetU32(entries, 0), headerLength = mqiGetU32(entries, 4);
    int32_t total = mqiGetI32(entries, 8);
    if (listVersion < kOcspListVersion || headerLength < kOcspListHeader || headerLength > list ||
        total < 0) {
        std::snprintf(fault, sizeof fault, "Bad OCSP header V%d. (len %d must be <= %d)", i32(listVersion),
                      i32(headerLength), i32(list));
        ocspFault(nullptr, 0, fault);
        return CCDT_RC_BAD_DATA;
    }
    if (total >= 2) {
        ccdtMessage(message, messageSize,
                    "Provided buffer of %d bytes too small to receive %d records of size %d",
                    static_cast<int32_t>(CCDT_URL_LENGTH), total, static_cast<int32_t>(CCDT_URL_LENGTH));
        return CCDT_RC_TRUNCATED;
    }

    char found[CCDT_URL_LENGTH] = {};
    uint32_t urls = 0;
    uint64_t at = headerLength;
    CSTrace(1, "PackedDataLen(%d) OCSPDataSize(%d) RecCount(%d) TotalCount(%d)\n", i32(list),
            i32(headerLength), i32(urls), total);
    while (at < list) {
        uint64_t left = list - at;
        uint32_t entryLength = left >= kOcspEntryHeader ? mqiGetU32(entries, at) : 0;
        uint32_t urlLength = left >= kOcspEntryHeader ? mqiGetU32(entries, at + 4) : 0;
        CSTrace(1, "Current record: OCSPRecordLength(%d) URLLength(%d)\n", i32(entryLength), i32(urlLength));
        if (left < kOcspEntryHeader || entryLength < kOcspEntryHeader || urlLength > entryLength)
            return CCDT_RC_BAD_DATA;
        if (urlLength > left - kOcspEntryHeader) {
            std::snprintf(fault, sizeof fault, "OCSP record too short for URL (%d < %d)",
                          i32(static_cast<uint32_t>(left - kOcspEntryHeader)), i32(urlLength));
            ocspFault(message, messageSize, fault);
            return CCDT_RC_BAD_DATA;
        }
        // The caller's entry holds one URL of at most 256 bytes, unterminated when it fills them.
        if (urlLength > CCDT_URL_LENGTH || urls == 1) return CCDT_RC_BAD_DATA;
        std::memcpy(found, entries + at + kOcspEntryHeader, urlLength);
        urls++;
        at += entryLength;
        CSTrace(1, "PackedDataLen(%d) OCSPDataSize(%d) RecCount(%d) TotalCount(%d)\n", i32(list),
                i32(static_cast<uint32_t>(at)), i32(urls), total);
    }
    std::memcpy(url, found, CCDT_URL_LENGTH);
    *count = urls;
    CSTrace(1, "Output *URLsInList is %d\n", i32(urls));
    CSTraceDump("Array of OCSP configuration data", url, CCDT_URL_LENGTH * urls);
    return CCDT_RC_OK;
}
