// Fuzz target: arbitrary bytes as a channel table file on the in-memory file table. Read-only: a key
// walk that converts each record to memory and back and unpacks its exits, reads by mode, the CRL
// and OCSP records and every CRLLDAP slot; then in update mode an insert, a replace and a delete.
// Whatever the bytes, every call must return (no walk may spin) and stay in its buffers.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "ccdt/ccdt.h"
#include "tests/testing/memfile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

namespace {

// A path by the platform's own rule (a bare name would be looked for in the default folder).
#ifdef _WIN32
constexpr const char *kPath = "c:\\fuzz.tab";
#else
constexpr const char *kPath = "/fuzz.tab";
#endif

uint8_t keyOf(uint8_t *key, const char *name) {
    std::memset(key, ' ', CCDT_KEY_LENGTH);
    std::memcpy(key, name, std::strlen(name));
    return key[0];
}

// A record converted to memory, its exits unpacked, and written back at two versions.
void convert(const uint8_t *record, uint32_t length) {
    char text[256];
    void *memory = nullptr;
    uint32_t memoryLength = 0;
    if (ccdtConvertRecord(record, length, &memory, &memoryLength, 0, text, sizeof text) == CCDT_RC_OK) {
        auto *channel = static_cast<ChannelRecord *>(memory);
        (void)ccdtUnpackExits(channel, memoryLength, text, sizeof text);
        for (int version : {12, 3}) {
            ccdtSetOutputVersion(version);
            void *file = nullptr;
            uint32_t fileLength = 0;
            (void)ccdtConvertRecord(channel, memoryLength, &file, &fileLength, 1, text, sizeof text);
            std::free(file);
        }
        ccdtSetOutputVersion(12);
        ccdtFreeChannel(channel, 0);
    }
    std::free(memory);
}

void readOnly(ccdtRecFile *handle) {
    uint8_t key[CCDT_KEY_LENGTH];
    std::memset(key, ' ', sizeof key);
    static uint8_t buffer[CCDT_RECORD_MAX];
    for (int i = 0; i < 1000; i++) {
        uint32_t length = sizeof buffer;
        int rc = ccdtRecRead(handle, key, buffer, &length, CCDT_READ_NEXT);
        if (rc != CCDT_RC_OK && rc != CCDT_RC_TRUNCATED) break;
        if (rc == CCDT_RC_OK) convert(buffer, length);
        std::memcpy(key, handle->currentKey, sizeof key);
    }
    for (int mode : {CCDT_READ_EXACT, CCDT_READ_CRL, CCDT_READ_OCSP}) {
        for (const char *name : {"A", "SYSTEM.DEF.CLNTCONN", CCDT_CRL_KEY, CCDT_OCSP_KEY}) {
            uint32_t length = sizeof buffer;
            keyOf(key, name);
            (void)ccdtRecRead(handle, key, buffer, &length, mode);
        }
    }
    uint32_t count = 0, list = 0;
    static ccdtCrlSlot slots[CCDT_CRL_MAX_SLOTS];
    int64_t time = 0;
    char text[CCDT_TEXT_LENGTH], url[CCDT_URL_LENGTH], message[256];
    (void)ccdtReadCrlData(handle, &count, slots, &time, text, &list);
    (void)ccdtReadOcspData(handle, &count, url, &time, text, message, sizeof message);
}

void update(ccdtRecFile *handle) {
    uint8_t record[300];
    std::memset(record, 'r', sizeof record);
    keyOf(record, "FUZZ.NEW");
    (void)ccdtRecWrite(handle, record, 60);
    uint8_t key[CCDT_KEY_LENGTH];
    uint8_t buffer[64];
    uint32_t length = sizeof buffer;
    keyOf(key, "A");
    if (ccdtRecRead(handle, key, buffer, &length, CCDT_READ_AT) <= CCDT_RC_TRUNCATED && handle->current) {
        std::memcpy(record, handle->currentKey, CCDT_KEY_LENGTH);
        (void)ccdtRecReplace(handle, record, sizeof record);
    }
    length = sizeof buffer;
    keyOf(key, "FUZZ.NEW");
    if (ccdtRecRead(handle, key, buffer, &length, CCDT_READ_EXACT) == CCDT_RC_OK)
        (void)ccdtRecDelete(handle, key, CCDT_KEY_LENGTH);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > 1 << 16) return 0;
    zt::MemFiles files;
    files.put(kPath, std::string(reinterpret_cast<const char *>(data), size));
    ccdtRecFile *handle = nullptr;
    if (ccdtRecOpen(kPath, 0, &handle, nullptr, 0) == CCDT_RC_OK) {
        readOnly(handle);
        (void)ccdtRecClose(handle);
    }
    char name[CCDT_PATH_MAX + 1], text[512];
    std::snprintf(name, sizeof name, "%s", kPath);
    ccdtHandle *table = nullptr;
    if (ccdtOpen(1, name, &table, text, sizeof text) == CCDT_RC_OK) {
        ccdtCrlSlot slot;
        int64_t time = 0;
        char description[CCDT_TEXT_LENGTH];
        for (int number = 1; number <= static_cast<int>(CCDT_CRL_MAX_SLOTS); number++)
            (void)ccdtGetCrlAuthInfo(table, number, &slot, &time, description, text, sizeof text);
        uint16_t length = 2136;
        static uint64_t record[CCDT_RECORD_MAX / 8 + 1];
        auto *channel = reinterpret_cast<ChannelRecord *>(record);
        for (int rc = ccdtReadFirstChannel(table, &length, channel, text, sizeof text), i = 0;
             rc == CCDT_RC_OK && i < 1000; i++, length = 2136)
            rc = ccdtReadNextChannel(table, &length, channel, text, sizeof text);
        (void)ccdtClose(&table, text, sizeof text);
    }
    if (ccdtRecOpen(kPath, 1, &handle, nullptr, 0) == CCDT_RC_OK) {
        update(handle);
        readOnly(handle);
        (void)ccdtRecClose(handle);
    }
    return 0;
}
