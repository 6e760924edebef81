// The channel-table layer: which table file a name means (IBM MQ's client rules on Linux, or the
// one channel of MQSERVER), channel records found, walked and written through the converter, the
// exit lists of a record in memory, and the CRLLDAP slots of the CRL data record.
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string_view>

#include "ccdt/internal.h"

namespace {

constexpr char kEye[4] = {'R', 'C', 'H', 'N'};
constexpr char kDefaultTable[] = "AMQCLCHL.TAB";
constexpr size_t kMqserverMax = 100;

bool goodHandle(const ccdtHandle *handle, char *text, size_t textSize) {
    if (handle && std::memcmp(handle->eyeCatcher, kEye, 4) == 0) return true;
    ccdtMessage(text, textSize, "Bad file handle");
    return false;
}

void fill(char *field, size_t size, const char *value, size_t length) {
    std::memset(field, ' ', size);
    std::memcpy(field, value, length < size ? length : size);
}

// A channel name for a text: without its trailing blanks, NULs, tabs and line feeds.
int nameLength(const char *name) {
    return static_cast<int>(ccdtTrimmedLength(name, 20));
}

int tooLong(char *text, size_t textSize) {
    ccdtMessage(text, textSize, "Channel File name too large");
    return CCDT_E_PARAM;
}

// The path a name means; 0 or 10001.
int resolvePath(const char *name, char *path, char *text, size_t textSize) {
    size_t length = std::strlen(name);
    if (length >= CCDT_PATH_MAX) return tooLong(text, textSize);
    bool isPath = std::strpbrk(name, CS_PATH_MARKS) != nullptr;
    bool isFile = length > 0 && name[0] != '*' && name[length - 1] != CS_PATH_SEPARATOR;
    if (isPath && isFile) {
        std::memcpy(path, name, length + 1);
        return CCDT_RC_OK;
    }
    char directory[CCDT_PATH_MAX + 1];
    if (isPath && name[length - 1] == CS_PATH_SEPARATOR) {
        std::memcpy(directory, name, length + 1);
    } else {
        const char *lib = std::getenv("MQCHLLIB");
        if (lib && *lib) {
            if (std::strlen(lib) >= CCDT_PATH_MAX) return tooLong(text, textSize);
            std::strcpy(directory, lib);
        } else {
            CSMqDataPath(directory, sizeof directory);
        }
    }
    size_t dirLength = std::strlen(directory);
    if (dirLength > 0 && directory[dirLength - 1] == CS_PATH_SEPARATOR) directory[--dirLength] = '\0';
    const char *file = kDefaultTable;
    if (isFile) {
        file = name;
    } else {
        const char *tab = std::getenv("MQCHLTAB");
        if (tab && *tab) {
            if (std::strlen(tab) >= CCDT_PATH_MAX) return tooLong(text, textSize);
            file = tab;
        }
    }
    size_t fileLength = std::strlen(file);
    if (dirLength + fileLength + 10 > CCDT_PATH_MAX) return tooLong(text, textSize);
    // Within CCDT_PATH_MAX by the check above.
    std::memcpy(path, directory, dirLength);
    size_t at = dirLength;
    if (file[0] != CS_PATH_SEPARATOR) path[at++] = CS_PATH_SEPARATOR;
    std::memcpy(path + at, file, fileLength + 1);
    return CCDT_RC_OK;
}

// The one channel of MQSERVER "name/transport/connection".
int mqserverChannel(ChannelRecord *record, char *text, size_t textSize) {
    ccdtDefaultChannel(record);
    MQCD &cd = record->mqcd;
    cd.ChannelType = MQCHT_CLNTCONN;
    fill(cd.QMgrName, sizeof cd.QMgrName, "*", 1);
    cd.HeartbeatInterval = 1;
    const char *env = std::getenv("MQSERVER");
    if (!env) return CCDT_E_NO_MORE;
    char value[kMqserverMax + 1];
    std::snprintf(value, sizeof value, "%s", env);
    char *slash = std::strchr(value, '/');
    char *second = slash ? std::strchr(slash + 1, '/') : nullptr;
    if (!second) {
        ccdtMessage(text, textSize, "Invalid MQSERVER Environment variable '%s'", value);
        return CCDT_E_MQSERVER;
    }
    fill(cd.ChannelName, sizeof cd.ChannelName, value, static_cast<size_t>(slash - value));
    std::string_view transport(slash + 1, static_cast<size_t>(second - slash - 1));
    auto is = [&](const char *word) {
        if (transport.size() != std::strlen(word)) return false;
        for (size_t i = 0; i < transport.size(); i++)
            if (std::toupper(static_cast<unsigned char>(transport[i])) != word[i]) return false;
        return true;
    };
    if (is("TCP")) {
        cd.TransportType = MQXPT_TCP;
    } else if (is("NETBIOS")) {
        cd.TransportType = MQXPT_NETBIOS;
    } else if (is("LU62")) {
        cd.TransportType = MQXPT_LU62;
    } else if (is("SPX")) {
        cd.TransportType = MQXPT_SPX;
    } else {
        ccdtMessage(text, textSize, "Invalid MQSERVER Environment variable protocol '%s'", value);
        return CCDT_E_MQSERVER;
    }
    char *connection = second + 1;
    if (cd.TransportType == MQXPT_LU62) {
        char *mode = std::strchr(connection, '/');
        if (mode) {
            *mode++ = '\0';
            char *tp = std::strchr(mode, '/');
            if (!tp) {
                ccdtMessage(text, textSize, "Invalid MQSERVER Environment variable '%s'", env);
                return CCDT_E_MQSERVER;
            }
            *tp++ = '\0';
            fill(cd.ModeName, sizeof cd.ModeName, mode, std::strlen(mode));
            char *last = std::strchr(tp, '/');
            if (last) {
                *last++ = '\0';
                if (*last != '*') {
                    ccdtMessage(text, textSize, "Invalid MQSERVER Environment variable '%s'", env);
                    return CCDT_E_MQSERVER;
                }
                fill(cd.UserIdentifier, sizeof cd.UserIdentifier, "*", 1);
            }
            fill(cd.TpName, sizeof cd.TpName, tp, std::strlen(tp));
        }
    }
    fill(cd.ConnectionName, sizeof cd.ConnectionName, connection, std::strlen(connection));
    return CCDT_RC_OK;
}

// A converted record into the caller's buffer.
int deliver(void *converted, uint32_t length, const char *name, uint16_t *bufferLength, ChannelRecord *record,
            char *text, size_t textSize) {
    uint16_t room = *bufferLength;
    *bufferLength = static_cast<uint16_t>(length > 0xFFFF ? 0xFFFF : length);
    if (length > room) {
        ccdtMessage(text, textSize, "AMQ8147: WebSphere MQ channel '%.*s' too large", nameLength(name), name);
        std::free(converted);
        return CCDT_E_TOO_LARGE;
    }
    std::memcpy(record, converted, length);
    std::free(converted);
    return CCDT_RC_OK;
}

// Reads a whole file record into the layer's own buffer and converts it; *converted on success.
int readConverted(ccdtHandle *handle, const uint8_t key[20], int mode, void **converted, uint32_t *length,
                  char *text, size_t textSize) {
    *converted = nullptr;
    constexpr uint32_t kRead = sizeof(ChannelRecord) + CCDT_TAIL_MAX;
    auto *raw = static_cast<uint8_t *>(std::malloc(kRead));
    if (!raw) {
        ccdtMessage(text, textSize, "Storage not available");
        return CCDT_E_STORAGE;
    }
    uint32_t got = kRead;
    int rc = ccdtRecRead(handle->file, key, raw, &got, mode);
    // Longer than any channel record may be: damaged.
    if (rc == CCDT_RC_TRUNCATED) rc = CCDT_RC_BAD_DATA;
    if (rc != CCDT_RC_OK) {
        std::free(raw);
        return rc;
    }
    handle->current = 1;
    std::memcpy(handle->currentName, handle->file->currentKey, 20);
    std::memcpy(handle->position, handle->file->currentKey, 20);
    rc = ccdtConvertRecord(raw, got, converted, length, 0, text, textSize);
    std::free(raw);
    if (rc != CCDT_RC_OK) {
        std::free(*converted);
        *converted = nullptr;
    }
    return rc;
}

int readNext(ccdtHandle *handle, uint16_t *length, ChannelRecord *record, char *text, size_t textSize) {
    handle->current = 0;
    if (!handle->file) {
        // The MQSERVER form: its one channel while its name sorts after the position.
        auto *channel = static_cast<ChannelRecord *>(std::malloc(sizeof(ChannelRecord)));
        if (!channel) {
            ccdtMessage(text, textSize, "Storage not available");
            return CCDT_E_STORAGE;
        }
        int rc = mqserverChannel(channel, text, textSize);
        if (rc == CCDT_RC_OK && std::memcmp(channel->mqcd.ChannelName, handle->position, 20) <= 0)
            rc = CCDT_E_NO_MORE;
        if (rc != CCDT_RC_OK) {
            std::free(channel);
            return rc;
        }
        std::memcpy(handle->position, channel->mqcd.ChannelName, 20);
        return deliver(channel, sizeof(ChannelRecord), channel->mqcd.ChannelName, length, record, text,
                       textSize);
    }
    void *converted = nullptr;
    uint32_t convertedLength = 0;
    int rc =
        readConverted(handle, handle->position, CCDT_READ_NEXT, &converted, &convertedLength, text, textSize);
    if (rc == CCDT_RC_NOT_FOUND || rc == CCDT_RC_NO_FILE) return CCDT_E_NO_MORE;
    if (rc >= CCDT_E_PARAM) return rc;
    if (rc != CCDT_RC_OK) {
        ccdtMessage(text, textSize, "Error accessing file RC(%d)", rc);
        return CCDT_E_FILE;
    }
    return deliver(converted, convertedLength, handle->currentName, length, record, text, textSize);
}

DesRoundKeys systemKeys() {
    DesRoundKeys keys;
    desKeySchedule(ccdtCipherKey, &keys);
    return keys;
}

}  // namespace

int ccdtOpen(int mode, char *name, ccdtHandle **handle, char *text, size_t textSize) {
    *handle = nullptr;
    ccdtRecFile *file = nullptr;
    char path[CCDT_PATH_MAX + 1] = "";
    bool mqserver = name[0] == '!' && std::getenv("MQSERVER");
    if (!mqserver) {
        int rc = resolvePath(name, path, text, textSize);
        if (rc != CCDT_RC_OK) return rc;
        std::memcpy(name, path, std::strlen(path) + 1);
        // Reading opens the record file read-only (its mode 2), updating for writing (its mode 1).
        rc = ccdtRecOpen(path, mode == 2 ? 1 : 2, &file, nullptr, 0);
        if (rc == CCDT_RC_NOT_CCDT) {
            ccdtMessage(text, textSize, "File '%s' does not appear to be the correct format", path);
            return CCDT_E_FORMAT;
        }
        if (rc == CCDT_RC_NO_FILE) {
            ccdtMessage(text, textSize, "Can not find file '%s'", path);
            return CCDT_E_NO_FILE;
        }
        if (rc != CCDT_RC_OK) {
            ccdtMessage(text, textSize, "Error accessing file '%s' RC[%d]", path, rc);
            return CCDT_E_FILE;
        }
    }
    auto *made = new (std::nothrow) ccdtHandle{};
    if (!made) {
        (void)ccdtRecClose(file);
        ccdtMessage(text, textSize, "Storage not available");
        return CCDT_E_STORAGE;
    }
    std::memcpy(made->eyeCatcher, kEye, 4);
    made->file = file;
    made->update = mode == 2 ? 1 : 0;
    std::memcpy(made->path, path, sizeof path);
    *handle = made;
    return CCDT_RC_OK;
}

int ccdtClose(ccdtHandle **handle, char *text, size_t textSize) {
    if (!*handle) return CCDT_RC_OK;
    if (!goodHandle(*handle, text, textSize)) {
        *handle = nullptr;
        return CCDT_E_PARAM;
    }
    (void)ccdtRecClose((*handle)->file);
    (*handle)->eyeCatcher[0] = '?';
    delete *handle;
    *handle = nullptr;
    return CCDT_RC_OK;
}

int ccdtFindChannel(ccdtHandle *handle, const char name[20], uint16_t *length, ChannelRecord *record,
                    char *text, size_t textSize) {
    if (!goodHandle(handle, text, textSize)) return CCDT_E_PARAM;
    handle->current = 0;
    if (!handle->file) {
        auto *channel = static_cast<ChannelRecord *>(std::malloc(sizeof(ChannelRecord)));
        if (!channel) {
            ccdtMessage(text, textSize, "Storage not available");
            return CCDT_E_STORAGE;
        }
        int rc = mqserverChannel(channel, text, textSize);
        if (rc == CCDT_RC_OK && std::memcmp(channel->mqcd.ChannelName, name, 20) == 0)
            return deliver(channel, sizeof(ChannelRecord), name, length, record, text, textSize);
        std::free(channel);
        if (rc != CCDT_RC_OK && rc != CCDT_E_NO_MORE) return rc;
        ccdtMessage(text, textSize, "AMQ8147: WebSphere MQ channel '%.*s' not found", nameLength(name), name);
        return CCDT_E_NO_CHANNEL;
    }
    void *converted = nullptr;
    uint32_t convertedLength = 0;
    int rc = readConverted(handle, reinterpret_cast<const uint8_t *>(name), CCDT_READ_EXACT, &converted,
                           &convertedLength, text, textSize);
    if (rc == CCDT_RC_NOT_FOUND) {
        ccdtMessage(text, textSize, "AMQ8147: WebSphere MQ channel '%.*s' not found", nameLength(name), name);
        return CCDT_E_NO_CHANNEL;
    }
    if (rc >= CCDT_E_PARAM) return rc;
    if (rc != CCDT_RC_OK) {
        ccdtMessage(text, textSize, "Error accessing file RC(%d)", rc);
        return CCDT_E_FILE;
    }
    return deliver(converted, convertedLength, name, length, record, text, textSize);
}

int ccdtReadFirstChannel(ccdtHandle *handle, uint16_t *length, ChannelRecord *record, char *text,
                         size_t textSize) {
    if (!goodHandle(handle, text, textSize)) return CCDT_E_PARAM;
    std::memset(handle->position, 0, sizeof handle->position);
    return readNext(handle, length, record, text, textSize);
}

int ccdtReadNextChannel(ccdtHandle *handle, uint16_t *length, ChannelRecord *record, char *text,
                        size_t textSize) {
    if (!goodHandle(handle, text, textSize)) return CCDT_E_PARAM;
    return readNext(handle, length, record, text, textSize);
}

int ccdtPutChannel(ccdtHandle *handle, ChannelRecord *record, char *text, size_t textSize) {
    if (!goodHandle(handle, text, textSize)) return CCDT_E_PARAM;
    MQCD &cd = record->mqcd;
    std::memcpy(cd.ShortConnectionName, cd.ConnectionName, sizeof cd.ShortConnectionName);
    if (cd.ChannelType == MQCHT_CLUSSDR && (cd.XmitQName[0] == ' ' || cd.XmitQName[0] == '\0'))
        fill(cd.XmitQName, sizeof cd.XmitQName, "SYSTEM.CLUSTER.TRANSMIT.QUEUE", 29);
    record->alterTime = evTimeNow();
    if (std::getenv("MQ_TIMEDEBUG"))
        CSTrace(1, "AlterTime updated : %lld\n", static_cast<long long>(record->alterTime));
    if (record->exitListsLen > CCDT_EXIT_AREA_MAX) {
        ccdtMessage(text, textSize, "Exit lists too large");
        return CCDT_E_PARAM;
    }
    if (!handle->file) {
        ccdtMessage(text, textSize, "File error %d", CCDT_RC_READ_ONLY);
        return CCDT_RC_READ_ONLY;
    }
    // The credentials are enciphered whole, three blocks as they stand: the zero rule would cut a
    // NUL-padded user identifier's block and with it the password's first bytes.
    uint8_t plain[24];
    std::memcpy(plain, cd.UserIdentifier, 24);
    record->encrypt = 0;
    if (cd.UserIdentifier[0] != ' ' && cd.UserIdentifier[0] != '\0') {
        record->encrypt = 1;
        DesRoundKeys keys = systemKeys();
        for (int i = 0; i < 3; i++)
            desEncryptBlock(&keys, reinterpret_cast<uint8_t *>(cd.UserIdentifier) + 8 * i);
    }
    int32_t peer = cd.SSLPeerNameLength > 0 ? cd.SSLPeerNameLength : 0;
    uint32_t length = static_cast<uint32_t>(sizeof(ChannelRecord)) +
                      static_cast<uint32_t>(record->exitListsLen > 0 ? record->exitListsLen : 0) + 4 +
                      static_cast<uint32_t>(peer);
    void *converted = nullptr;
    uint32_t convertedLength = 0;
    int rc = ccdtConvertRecord(record, length, &converted, &convertedLength, 1, text, textSize);
    std::memcpy(cd.UserIdentifier, plain, 24);
    if (rc != CCDT_RC_OK) {
        std::free(converted);
        return rc;
    }
    if (handle->current && std::memcmp(handle->currentName, cd.ChannelName, 20) == 0)
        rc = ccdtRecReplace(handle->file, converted, convertedLength);
    else
        rc = ccdtRecWrite(handle->file, converted, convertedLength);
    std::free(converted);
    handle->current = 0;
    if (rc == CCDT_RC_EXISTS) {
        ccdtMessage(text, textSize, "Entry already exists");
        return CCDT_E_EXISTS;
    }
    if (rc != CCDT_RC_OK) ccdtMessage(text, textSize, "File error %d", rc);
    return rc;
}

// ---- exit lists ----

namespace {

MQPTR *exitSlot(MQCD &cd, int list) {
    MQPTR *slots[6] = {&cd.MsgExitPtr,      &cd.MsgUserDataPtr, &cd.SendExitPtr,
                       &cd.SendUserDataPtr, &cd.ReceiveExitPtr, &cd.ReceiveUserDataPtr};
    return slots[list];
}

int noStorage(char *text, size_t textSize) {
    ccdtMessage(text, textSize, "No storage.");
    return CCDT_E_STORAGE;
}

}  // namespace

int ccdtUnpackExitList(MQPTR *slot, int32_t width, const uint8_t **cursor, const uint8_t *end, char *text,
                       size_t textSize) {
    std::free(*slot);
    *slot = nullptr;
    const uint8_t *at = *cursor;
    int32_t count = 0;
    while (at < end && *at != 0x01) {
        if (*at == 0x02) count++;
        at++;
    }
    if (at == end || (at > *cursor && at[-1] != 0x02) || width < 1) {
        ccdtMessage(text, textSize, "File exit format error");
        return CCDT_E_FILE;
    }
    auto *array = static_cast<ccdtExitArray *>(
        std::malloc(CCDT_EXIT_ARRAY_HEAD + static_cast<size_t>(count) * static_cast<size_t>(width)));
    if (!array) return noStorage(text, textSize);
    array->capacity = count;
    array->width = width;
    array->count = count;
    const uint8_t *entry = *cursor;
    for (int32_t i = 0; i < count; i++) {
        const uint8_t *stop =
            static_cast<const uint8_t *>(std::memchr(entry, 0x02, static_cast<size_t>(at - entry)));
        auto n = static_cast<size_t>(stop - entry);
        fill(array->entries + static_cast<size_t>(i) * static_cast<size_t>(width), static_cast<size_t>(width),
             reinterpret_cast<const char *>(entry), n);
        entry = stop + 1;
    }
    *slot = array;
    *cursor = at + 1;
    return CCDT_RC_OK;
}

int ccdtUnpackExits(ChannelRecord *record, uint32_t length, char *text, size_t textSize) {
    MQCD &cd = record->mqcd;
    if (length < sizeof *record) return CCDT_E_FILE;
    const uint8_t *tail = reinterpret_cast<const uint8_t *>(record + 1);
    uint32_t tailLength = length - static_cast<uint32_t>(sizeof *record);
    int32_t area = record->exitListsLen;
    if (area < 0 || area > CCDT_EXIT_AREA_MAX || static_cast<uint32_t>(area) > tailLength) {
        ccdtMessage(text, textSize, "File exit format error");
        return CCDT_E_FILE;
    }
    if (area > 6) {
        if (cd.ExitNameLength < 1 || cd.ExitNameLength > 128 || cd.ExitDataLength < 1 ||
            cd.ExitDataLength > 32) {
            ccdtMessage(text, textSize, "File exit format error");
            return CCDT_E_FILE;
        }
        const uint8_t *cursor = tail, *end = tail + area;
        for (int list = 0; list < 6; list++) {
            int32_t width = list % 2 == 0 ? cd.ExitNameLength : cd.ExitDataLength;
            int rc = ccdtUnpackExitList(exitSlot(cd, list), width, &cursor, end, text, textSize);
            if (rc != CCDT_RC_OK) return rc;
        }
    }
    if (cd.SSLPeerNameLength != 0) {
        uint32_t at = 0;
        if (!ccdtLocatePeer(tail, tailLength, area, cd.SSLPeerNameLength, &at) ||
            cd.SSLPeerNameLength > MQ_SSL_PEER_NAME_LENGTH) {
            ccdtMessage(text, textSize, "File exit format error");
            return CCDT_E_FILE;
        }
        std::free(cd.SSLPeerNamePtr);
        cd.SSLPeerNamePtr = std::malloc(static_cast<size_t>(cd.SSLPeerNameLength));
        if (!cd.SSLPeerNamePtr) return noStorage(text, textSize);
        std::memcpy(cd.SSLPeerNamePtr, tail + at, static_cast<size_t>(cd.SSLPeerNameLength));
    }
    return CCDT_RC_OK;
}

int ccdtTrimExits(ChannelRecord *record, char *text, size_t textSize) {
    MQCD &cd = record->mqcd;
    uint8_t *tail = reinterpret_cast<uint8_t *>(record + 1);
    // The size first: the area is built in the record's buffer, which holds CCDT_EXIT_AREA_MAX.
    uint64_t size = 0;
    for (int list = 0; list < 6; list++) {
        const auto *array = static_cast<const ccdtExitArray *>(*exitSlot(cd, list));
        if (array)
            for (int32_t i = 0; i < array->count; i++)
                size += ccdtTrimmedLength(
                            array->entries + static_cast<size_t>(i) * static_cast<size_t>(array->width),
                            static_cast<uint32_t>(array->width)) +
                        1;
        size++;
    }
    if (size > CCDT_EXIT_AREA_MAX) {
        ccdtMessage(text, textSize, "Exit lists too large");
        return CCDT_E_PARAM;
    }
    int32_t peer = cd.SSLPeerNameLength;
    if (peer < 0 || peer > MQ_SSL_PEER_NAME_LENGTH) {
        ccdtMessage(text, textSize, "Exit lists too large");
        return CCDT_E_PARAM;
    }
    // The peer name in place is kept aside before the area is rebuilt over it.
    uint8_t peerName[MQ_SSL_PEER_NAME_LENGTH];
    if (peer > 0) {
        uint32_t at = 0;
        if (cd.SSLPeerNamePtr)
            std::memcpy(peerName, cd.SSLPeerNamePtr, static_cast<size_t>(peer));
        else if (ccdtLocatePeer(tail, CCDT_TAIL_MAX, record->exitListsLen, peer, &at))
            std::memcpy(peerName, tail + at, static_cast<size_t>(peer));
        else
            std::memset(peerName, ' ', static_cast<size_t>(peer));
    }
    uint32_t at = 0;
    for (int list = 0; list < 6; list++) {
        const auto *array = static_cast<const ccdtExitArray *>(*exitSlot(cd, list));
        if (array)
            for (int32_t i = 0; i < array->count; i++) {
                const char *entry =
                    array->entries + static_cast<size_t>(i) * static_cast<size_t>(array->width);
                uint32_t n = ccdtTrimmedLength(entry, static_cast<uint32_t>(array->width));
                std::memcpy(tail + at, entry, n);
                at += n;
                tail[at++] = 0x02;
            }
        tail[at++] = 0x01;
    }
    record->exitListsLen = static_cast<int32_t>(at);
    uint32_t padding = ccdtPadding(cd.Version, record->exitListsLen);
    std::memset(tail + at, 0, padding);
    at += padding;
    if (peer > 0) std::memcpy(tail + at, peerName, static_cast<size_t>(peer));
    return CCDT_RC_OK;
}

void ccdtFreeChannel(ChannelRecord *record, int freeRecord) {
    if (!record) return;
    MQCD &cd = record->mqcd;
    if (cd.Version <= CCDT_MAX_VERSION) {
        for (int list = 0; list < 6; list++) {
            std::free(*exitSlot(cd, list));
            *exitSlot(cd, list) = nullptr;
        }
        for (MQPTR *p : {&cd.ClusterPtr, &cd.LongMCAUserIdPtr, &cd.LongRemoteUserIdPtr, &cd.SSLPeerNamePtr}) {
            std::free(*p);
            *p = nullptr;
        }
    }
    if (freeRecord) std::free(record);
}

// ---- CRLLDAP slots ----

namespace {

struct CrlState {
    uint32_t count = 0;
    ccdtCrlSlot slots[CCDT_CRL_MAX_SLOTS];
    int64_t time = 0;
    char description[CCDT_TEXT_LENGTH];
};

// The slots as stored; a record that cannot be read is reported, never taken for no slots.
int loadCrl(ccdtHandle *handle, CrlState *state, char *text, size_t textSize) {
    if (!handle->file) {
        ccdtMessage(text, textSize, "AMQ8147: Error accessing authentication information records RC(%d)",
                    CCDT_RC_NO_FILE);
        return CCDT_E_FILE;
    }
    int rc =
        ccdtReadCrlData(handle->file, &state->count, state->slots, &state->time, state->description, nullptr);
    if (rc != CCDT_RC_OK) {
        ccdtMessage(text, textSize, "AMQ8147: Error accessing authentication information records RC(%d)", rc);
        return CCDT_E_FILE;
    }
    return CCDT_RC_OK;
}

int storeCrl(ccdtHandle *handle, CrlState *state, const char *description, char *text, size_t textSize) {
    int rc = ccdtWriteCrlData(handle->file, state->count, state->slots, description);
    if (rc != CCDT_RC_OK) {
        ccdtMessage(text, textSize, "Error accessing file RC(%d)", rc);
        return CCDT_E_FILE;
    }
    return CCDT_RC_OK;
}

int slotLimit(char *text, size_t textSize) {
    ccdtMessage(text, textSize, "AMQ8326: Maximum number (%d) of CRLLDAP AUTHINFO definitions reached.",
                static_cast<int>(CCDT_CRL_MAX_SLOTS));
    return CCDT_E_PARAM;
}

}  // namespace

int ccdtAddCrlAuthInfo(ccdtHandle *handle, int insert, const ccdtCrlSlot *slot, int position,
                       const char description[CCDT_TEXT_LENGTH], char *text, size_t textSize) {
    if (!goodHandle(handle, text, textSize)) return CCDT_E_PARAM;
    auto state = std::make_unique<CrlState>();
    int rc = loadCrl(handle, state.get(), text, textSize);
    if (rc != CCDT_RC_OK) return rc;
    auto count = static_cast<int>(state->count);
    if (position < 1) position = 1;
    if (position > count) position = count + 1;
    if (position > static_cast<int>(CCDT_CRL_MAX_SLOTS)) return slotLimit(text, textSize);
    auto at = static_cast<size_t>(position - 1);
    if (insert) {
        if (count >= static_cast<int>(CCDT_CRL_MAX_SLOTS)) return slotLimit(text, textSize);
        std::memmove(&state->slots[at + 1], &state->slots[at],
                     (static_cast<size_t>(count) - at) * sizeof(ccdtCrlSlot));
        state->count++;
    } else if (position == count + 1) {
        state->count++;
    }
    state->slots[at] = *slot;
    return storeCrl(handle, state.get(), description, text, textSize);
}

int ccdtGetCrlAuthInfo(ccdtHandle *handle, int number, ccdtCrlSlot *slot, int64_t *alterTime,
                       char description[CCDT_TEXT_LENGTH], char *text, size_t textSize) {
    if (!goodHandle(handle, text, textSize)) return CCDT_E_PARAM;
    auto state = std::make_unique<CrlState>();
    int rc = loadCrl(handle, state.get(), text, textSize);
    if (rc != CCDT_RC_OK) return rc;
    if (number < 1 || number > static_cast<int>(state->count)) return CCDT_E_NO_MORE;
    *slot = state->slots[number - 1];
    if (alterTime) *alterTime = state->time;
    if (description) std::memcpy(description, state->description, CCDT_TEXT_LENGTH);
    return CCDT_RC_OK;
}

int ccdtDeleteCrlAuthInfo(ccdtHandle *handle, int number, char *text, size_t textSize) {
    if (!goodHandle(handle, text, textSize)) return CCDT_E_PARAM;
    auto state = std::make_unique<CrlState>();
    int rc = loadCrl(handle, state.get(), text, textSize);
    if (rc != CCDT_RC_OK) return rc;
    if (number < 1 || number > static_cast<int>(state->count)) return CCDT_E_NO_MORE;
    auto at = static_cast<size_t>(number - 1);
    std::memmove(&state->slots[at], &state->slots[at + 1], (state->count - at - 1) * sizeof(ccdtCrlSlot));
    state->count--;
    return storeCrl(handle, state.get(), state->description, text, textSize);
}
