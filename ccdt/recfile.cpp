// The record file beneath a channel table: keyed, variable-length records in a chain of blocks,
// linked in key order, with the space of deleted records reused first-fit and never given back.
//
// File layout (every integer u32 little-endian, every position absolute):
//   0      "AMQR"
//   4      blocks, one after the other: a 20-byte header, then the data space
//   end    the end marker, a block length of 0
// Block header: block length (header plus data space, the distance to the next block), data
// length (0: a free block), reserved 0, previous and next record in key order (0: none). A
// record's first 20 data bytes are its key; keys compare as raw bytes.
//
// The file is read as untrusted: every header is checked against the file size before it is
// followed, and every walk is bounded by the number of blocks the file could hold, so a damaged
// file gives 1001 and never a loop. Updates write the new block completely before anything points
// at it, so a failed write leaves every existing record reachable.
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>

#include "ccdt/internal.h"

namespace {

constexpr uint8_t kMagic[4] = {'A', 'M', 'Q', 'R'};
constexpr uint32_t kFirstBlock = 4;
constexpr uint32_t kMarkerLength = 4;
// Offsets in a block header.
constexpr size_t kBlockLength = 0;
constexpr size_t kDataLength = 4;
constexpr size_t kReserved = 8;
constexpr size_t kPrevious = 12;
constexpr size_t kNext = 16;
// Positions are u32: no block may end beyond this.
constexpr uint64_t kLastPosition = 0xFFFFFFFFu;

constexpr int kCompareNone = 0, kCompareSmaller = -1, kCompareLarger = 1;

void blankKey(ccdtRecFile *handle) {
    std::memset(handle->currentKey, ' ', CCDT_KEY_LENGTH);
}

void dropCurrent(ccdtRecFile *handle) {
    handle->current = 0;
    blankKey(handle);
}

int fileSize(ccdtRecFile *handle, uint64_t *size) {
    return handle->ops->size(handle->file, size) == 0 ? CCDT_RC_OK : CCDT_RC_NO_SIZE;
}

// Reads exactly length bytes; a read that meets the end of the file is bad data.
int readExact(ccdtRecFile *handle, uint64_t position, void *buffer, size_t length) {
    size_t got = 0;
    int rc = handle->ops->readAt(handle->file, position, buffer, length, &got);
    if (rc != 0) return rc;
    return got == length ? CCDT_RC_OK : CCDT_RC_BAD_DATA;
}

int writeBytes(ccdtRecFile *handle, uint64_t position, const void *bytes, size_t length) {
    return handle->ops->writeAt(handle->file, position, bytes, length);
}

// The header at a position: the end marker (block length 0, the rest zero) or a block that lies
// inside the file with room for its data.
int readHeader(ccdtRecFile *handle, uint64_t size, uint32_t position, ccdtBlockHeader *header) {
    *header = {};
    if (position < kFirstBlock) return CCDT_RC_BAD_DATA;
    uint8_t raw[CCDT_HEADER_LENGTH];
    size_t got = 0;
    int rc = handle->ops->readAt(handle->file, position, raw, sizeof raw, &got);
    if (rc != 0) return rc;
    if (got < kMarkerLength) return CCDT_RC_BAD_DATA;
    header->blockLength = mqiGetU32(raw, kBlockLength);
    if (header->blockLength == 0) return CCDT_RC_OK;
    if (got < CCDT_HEADER_LENGTH) return CCDT_RC_BAD_DATA;
    header->dataLength = mqiGetU32(raw, kDataLength);
    header->reserved = mqiGetU32(raw, kReserved);
    header->previous = mqiGetU32(raw, kPrevious);
    header->next = mqiGetU32(raw, kNext);
    uint64_t end = static_cast<uint64_t>(position) + header->blockLength;
    if (header->blockLength < CCDT_HEADER_LENGTH || end > size || end > kLastPosition)
        return CCDT_RC_BAD_DATA;
    if (header->dataLength > header->blockLength - CCDT_HEADER_LENGTH) return CCDT_RC_BAD_DATA;
    // A record in use always holds its key.
    if (header->dataLength != 0 && header->dataLength < CCDT_KEY_LENGTH) return CCDT_RC_BAD_DATA;
    return CCDT_RC_OK;
}

bool inUse(const ccdtBlockHeader &header) {
    return header.blockLength != 0 && header.dataLength != 0;
}

// The header of a record that a link or the current position names: it must be in use.
int readRecordHeader(ccdtRecFile *handle, uint64_t size, uint32_t position, ccdtBlockHeader *header) {
    int rc = readHeader(handle, size, position, header);
    if (rc != CCDT_RC_OK) return rc;
    return inUse(*header) ? CCDT_RC_OK : CCDT_RC_BAD_DATA;
}

int writeHeader(ccdtRecFile *handle, uint32_t position, const ccdtBlockHeader &header) {
    uint8_t raw[CCDT_HEADER_LENGTH];
    mqiPutU32(raw, kBlockLength, header.blockLength);
    mqiPutU32(raw, kDataLength, header.dataLength);
    mqiPutU32(raw, kReserved, 0);
    mqiPutU32(raw, kPrevious, header.previous);
    mqiPutU32(raw, kNext, header.next);
    return writeBytes(handle, position, raw, sizeof raw);
}

// One link field of a neighbour's header: a single 4-byte write.
int writeLink(ccdtRecFile *handle, uint32_t position, size_t field, uint32_t value) {
    uint8_t raw[4];
    mqiPutU32(raw, 0, value);
    return writeBytes(handle, static_cast<uint64_t>(position) + field, raw, sizeof raw);
}

// More steps than the file has blocks means a loop.
uint64_t stepLimit(uint64_t size) {
    return size / CCDT_HEADER_LENGTH + 2;
}

int search(ccdtRecFile *handle, uint64_t size, const uint8_t *key, ccdtBlockHeader *found,
           uint32_t *foundAt) {
    *found = {};
    *foundAt = 0;
    uint32_t position = handle->searchStart != 0 ? handle->searchStart : kFirstBlock;
    bool restartable = handle->searchStart != 0;
    int last = kCompareNone;
    uint64_t limit = stepLimit(size);
    for (uint64_t steps = 0;; steps++) {
        if (steps > limit) return CCDT_RC_BAD_DATA;
        ccdtBlockHeader header;
        int rc = readHeader(handle, size, position, &header);
        if (restartable && (rc == CCDT_RC_BAD_DATA || (rc == CCDT_RC_OK && !inUse(header)))) {
            // The search start no longer holds a record (freed, or changed by another handle):
            // a search from there could miss every record, so begin at the first block.
            restartable = false;
            handle->searchStart = 0;
            position = kFirstBlock;
            continue;
        }
        restartable = false;
        if (rc != CCDT_RC_OK) return rc;
        if (header.blockLength == 0) {
            if (last == kCompareSmaller) return CCDT_RC_AFTER;
            return last == kCompareLarger ? CCDT_RC_BEFORE : CCDT_RC_NOT_FOUND;
        }
        if (header.dataLength == 0) {
            position += header.blockLength;
            continue;
        }
        handle->searchStart = position;
        *found = header;
        *foundAt = position;
        uint8_t recordKey[CCDT_KEY_LENGTH];
        rc = readExact(handle, static_cast<uint64_t>(position) + CCDT_HEADER_LENGTH, recordKey,
                       sizeof recordKey);
        if (rc != CCDT_RC_OK) return rc;
        int compare = std::memcmp(recordKey, key, CCDT_KEY_LENGTH);
        if (compare == 0) return CCDT_RC_OK;
        if (compare < 0) {
            if (last == kCompareLarger) return CCDT_RC_AFTER;
            last = kCompareSmaller;
            if (header.next == 0) return CCDT_RC_AFTER;
            position = header.next;
        } else {
            if (last == kCompareSmaller) return CCDT_RC_BEFORE;
            last = kCompareLarger;
            if (header.previous == 0) return CCDT_RC_BEFORE;
            position = header.previous;
        }
    }
}

int findSpace(ccdtRecFile *handle, uint64_t size, uint32_t dataLength, ccdtBlockHeader *space, uint32_t *at) {
    *space = {};
    uint64_t needed = static_cast<uint64_t>(dataLength) + CCDT_HEADER_LENGTH;
    uint32_t position = kFirstBlock;
    uint64_t limit = stepLimit(size);
    for (uint64_t steps = 0; static_cast<uint64_t>(position) + CCDT_HEADER_LENGTH < size; steps++) {
        if (steps > limit) return CCDT_RC_BAD_DATA;
        ccdtBlockHeader header;
        int rc = readHeader(handle, size, position, &header);
        if (rc != CCDT_RC_OK) return rc;
        if (header.blockLength == 0) {
            *at = position;
            return CCDT_RC_APPEND;
        }
        if (header.dataLength == 0 && header.blockLength >= needed) {
            *space = header;
            *at = position;
            return CCDT_RC_OK;
        }
        position += header.blockLength;
    }
    // The walk came within a header of the end: the end marker must be here.
    uint8_t marker[kMarkerLength];
    int rc = readExact(handle, position, marker, sizeof marker);
    if (rc != CCDT_RC_OK) return rc;
    if (mqiGetU32(marker, 0) != 0) return CCDT_RC_BAD_DATA;
    *at = position;
    return CCDT_RC_APPEND;
}

// Writes a record into the space found for it and links it between its neighbours. The block is
// complete (data, end marker, header) before a neighbour points at it.
int place(ccdtRecFile *handle, const void *record, uint32_t length, int spaceRc, const ccdtBlockHeader &space,
          uint32_t at, uint32_t previous, uint32_t next) {
    bool append = spaceRc == CCDT_RC_APPEND;
    uint64_t dataAt = static_cast<uint64_t>(at) + CCDT_HEADER_LENGTH;
    if (append && dataAt + length + kMarkerLength > kLastPosition) return EFBIG;
    int rc = writeBytes(handle, dataAt, record, length);
    if (rc != 0) return rc;
    if (append) {
        uint8_t marker[kMarkerLength] = {};
        rc = writeBytes(handle, dataAt + length, marker, sizeof marker);
        if (rc != 0) return rc;
    }
    ccdtBlockHeader header{append ? length + CCDT_HEADER_LENGTH : space.blockLength, length, 0, previous,
                           next};
    rc = writeHeader(handle, at, header);
    if (rc != 0) return rc;
    if (previous != 0 && (rc = writeLink(handle, previous, kNext, at)) != 0) return rc;
    if (next != 0 && (rc = writeLink(handle, next, kPrevious, at)) != 0) return rc;
    return CCDT_RC_OK;
}

// The records a block links to must be records, or relinking them would write into whatever a
// damaged link names.
int checkNeighbours(ccdtRecFile *handle, uint64_t size, const ccdtBlockHeader &header) {
    ccdtBlockHeader neighbour;
    int rc = CCDT_RC_OK;
    if (header.previous != 0 &&
        (rc = readRecordHeader(handle, size, header.previous, &neighbour)) != CCDT_RC_OK)
        return rc;
    if (header.next != 0) rc = readRecordHeader(handle, size, header.next, &neighbour);
    return rc;
}

// Replace and delete: the handle, its current record, write access and the key, in that order.
int checkCurrent(ccdtRecFile *handle, const void *record, uint32_t length) {
    if (!handle) return CCDT_RC_NO_HANDLE;
    if (handle->current == 0) return CCDT_RC_NO_CURRENT;
    if (handle->mode != 1) return CCDT_RC_READ_ONLY;
    size_t compared = length < CCDT_KEY_LENGTH ? length : CCDT_KEY_LENGTH;
    if (std::memcmp(record, handle->currentKey, compared) != 0) return CCDT_RC_KEY_CHANGED;
    if (length < CCDT_KEY_LENGTH) return CCDT_RC_SHORT_RECORD;
    return CCDT_RC_OK;
}

// Marks a block free, keeping its length and old links. A freed search start would leave the next
// search nothing to compare when no record follows it, so the search begins again at the start.
int release(ccdtRecFile *handle, uint32_t at, const ccdtBlockHeader &header) {
    ccdtBlockHeader freed = header;
    freed.dataLength = 0;
    int rc = writeHeader(handle, at, freed);
    if (rc != 0) return rc;
    if (handle->searchStart == at) handle->searchStart = 0;
    return CCDT_RC_OK;
}

int mapOpenError(int error) {
    switch (error) {
        case ENOENT:
        case ENOTDIR:
        case EACCES:
        case EPERM:
        case ENAMETOOLONG:
            return CCDT_RC_NO_FILE;
        default:
            return error;
    }
}

// A new file is the magic and the end marker; an existing one must begin with the magic.
int prepareFile(const CSFileOps *ops, CSFileHandle file, int created) {
    if (created) {
        uint8_t empty[8] = {kMagic[0], kMagic[1], kMagic[2], kMagic[3], 0, 0, 0, 0};
        return ops->writeAt(file, 0, empty, sizeof empty);
    }
    uint8_t magic[4];
    size_t got = 0;
    int rc = ops->readAt(file, 0, magic, sizeof magic, &got);
    if (rc != 0) return rc;
    if (got == 0) return CCDT_RC_BAD_DATA;
    if (got < sizeof magic || std::memcmp(magic, kMagic, sizeof magic) != 0) return CCDT_RC_NOT_CCDT;
    return CCDT_RC_OK;
}

}  // namespace

void ccdtMessage(char *message, size_t messageSize, const char *format, ...) {
    if (!message || messageSize == 0) return;
    va_list args;
    va_start(args, format);
    std::vsnprintf(message, messageSize, format, args);
    va_end(args);
}

int ccdtRecOpen(const char *fileName, int mode, ccdtRecFile **handle, char *message, size_t messageSize) {
    if (!handle) return CCDT_RC_NO_HANDLE;
    *handle = nullptr;
    auto *opened = new (std::nothrow) ccdtRecFile{};
    if (!opened) {
        ccdtMessage(message, messageSize, "Storage not available");
        return CCDT_RC_NO_STORAGE;
    }
    const CSFileOps *ops = CSGetFileOps();
    CSFileHandle file = 0;
    int created = 0;
    int rc = mode == 1 ? ops->openUpdate(fileName, &file, &created) : ops->openRead(fileName, &file);
    if (rc != 0) {
        delete opened;
        return mapOpenError(rc);
    }
    rc = prepareFile(ops, file, created);
    if (rc != CCDT_RC_OK) {
        (void)ops->close(file);
        // A file this call made but could not initialise would read as damaged: take it away.
        if (created) (void)ops->remove(fileName);
        delete opened;
        return rc;
    }
    opened->ops = ops;
    opened->file = file;
    opened->mode = mode;
    opened->keyLength = CCDT_KEY_LENGTH;
    dropCurrent(opened);
    *handle = opened;
    return CCDT_RC_OK;
}

int ccdtRecClose(ccdtRecFile *handle) {
    if (!handle) return CCDT_RC_OK;
    int rc = handle->ops->close(handle->file);
    delete handle;
    return rc;
}

int ccdtRecFind(ccdtRecFile *handle, const uint8_t key[CCDT_KEY_LENGTH], ccdtBlockHeader *header,
                uint32_t *position) {
    if (!handle) return CCDT_RC_NO_HANDLE;
    uint64_t size = 0;
    int rc = fileSize(handle, &size);
    if (rc != CCDT_RC_OK) return rc;
    return search(handle, size, key, header, position);
}

int ccdtRecFindSpace(ccdtRecFile *handle, uint32_t dataLength, ccdtBlockHeader *header, uint32_t *position) {
    if (!handle) return CCDT_RC_NO_HANDLE;
    uint64_t size = 0;
    int rc = fileSize(handle, &size);
    if (rc != CCDT_RC_OK) return rc;
    return findSpace(handle, size, dataLength, header, position);
}

int ccdtRecRead(ccdtRecFile *handle, const uint8_t key[CCDT_KEY_LENGTH], void *buffer, uint32_t *length,
                int mode) {
    if (!handle) return CCDT_RC_NO_HANDLE;
    uint64_t size = 0;
    int rc = fileSize(handle, &size);
    if (rc != CCDT_RC_OK) return rc;
    ccdtBlockHeader found;
    uint32_t foundAt = 0;
    rc = search(handle, size, key, &found, &foundAt);
    uint32_t chosen = 0;
    switch (rc) {
        case CCDT_RC_OK:
            chosen = mode == CCDT_READ_NEXT ? found.next : foundAt;
            break;
        case CCDT_RC_BEFORE:
            if (mode == CCDT_READ_EXACT) return CCDT_RC_NOT_FOUND;
            chosen = foundAt;
            break;
        case CCDT_RC_AFTER:
            if (mode != CCDT_READ_NEXT) return CCDT_RC_NOT_FOUND;
            chosen = found.next;
            break;
        default:
            return rc;
    }
    if (chosen == 0) return CCDT_RC_NOT_FOUND;

    ccdtBlockHeader header;
    rc = readRecordHeader(handle, size, chosen, &header);
    if (rc != CCDT_RC_OK) return rc;
    uint8_t recordKey[CCDT_KEY_LENGTH];
    uint64_t dataAt = static_cast<uint64_t>(chosen) + CCDT_HEADER_LENGTH;
    rc = readExact(handle, dataAt, recordKey, sizeof recordKey);
    if (rc != CCDT_RC_OK) return rc;
    // Iteration that does not move forward would never end: the links are out of key order.
    if (mode == CCDT_READ_NEXT && std::memcmp(recordKey, key, CCDT_KEY_LENGTH) <= 0) return CCDT_RC_BAD_DATA;
    // The data records sort after every channel and are given only to the modes that ask for them.
    if (recordKey[0] == '{') {
        bool wanted = (mode == CCDT_READ_CRL && std::memcmp(recordKey, CCDT_CRL_KEY, CCDT_KEY_LENGTH) == 0) ||
                      (mode == CCDT_READ_OCSP && std::memcmp(recordKey, CCDT_OCSP_KEY, CCDT_KEY_LENGTH) == 0);
        if (!wanted) {
            if (buffer && *length) std::memset(buffer, 0, *length);
            return CCDT_RC_NOT_FOUND;
        }
    }
    uint32_t copied = *length < header.dataLength ? *length : header.dataLength;
    if (copied != 0) {
        rc = readExact(handle, dataAt, buffer, copied);
        if (rc != CCDT_RC_OK) return rc;
    }
    handle->current = chosen;
    std::memcpy(handle->currentKey, recordKey, CCDT_KEY_LENGTH);
    *length = header.dataLength;
    return copied < header.dataLength ? CCDT_RC_TRUNCATED : CCDT_RC_OK;
}

int ccdtRecWrite(ccdtRecFile *handle, const void *record, uint32_t length) {
    if (!handle) return CCDT_RC_NO_HANDLE;
    if (handle->mode != 1) return CCDT_RC_READ_ONLY;
    if (length < CCDT_KEY_LENGTH) return CCDT_RC_SHORT_RECORD;
    uint64_t size = 0;
    int rc = fileSize(handle, &size);
    if (rc != CCDT_RC_OK) return rc;

    ccdtBlockHeader found, neighbour;
    uint32_t foundAt = 0, previous = 0, next = 0;
    rc = search(handle, size, static_cast<const uint8_t *>(record), &found, &foundAt);
    switch (rc) {
        case CCDT_RC_OK:
            return CCDT_RC_EXISTS;
        case CCDT_RC_NOT_FOUND:
            break;
        case CCDT_RC_BEFORE:
            next = foundAt;
            previous = found.previous;
            break;
        case CCDT_RC_AFTER:
            previous = foundAt;
            next = found.next;
            break;
        default:
            return rc;
    }
    // The neighbour the search did not read must be a record too.
    uint32_t other = rc == CCDT_RC_BEFORE ? previous : rc == CCDT_RC_AFTER ? next : 0;
    if (other != 0 && (rc = readRecordHeader(handle, size, other, &neighbour)) != CCDT_RC_OK) return rc;

    ccdtBlockHeader space;
    uint32_t at = 0;
    int spaceRc = findSpace(handle, size, length, &space, &at);
    if (spaceRc != CCDT_RC_OK && spaceRc != CCDT_RC_APPEND) return spaceRc;
    return place(handle, record, length, spaceRc, space, at, previous, next);
}

int ccdtRecReplace(ccdtRecFile *handle, const void *record, uint32_t length) {
    int rc = checkCurrent(handle, record, length);
    if (rc != CCDT_RC_OK) return rc;
    uint32_t current = handle->current;
    dropCurrent(handle);
    uint64_t size = 0;
    if ((rc = fileSize(handle, &size)) != CCDT_RC_OK) return rc;
    ccdtBlockHeader header;
    if ((rc = readRecordHeader(handle, size, current, &header)) != CCDT_RC_OK) return rc;

    if (header.blockLength >= static_cast<uint64_t>(length) + CCDT_HEADER_LENGTH) {
        rc = writeBytes(handle, static_cast<uint64_t>(current) + CCDT_HEADER_LENGTH, record, length);
        if (rc != 0) return rc;
        ccdtBlockHeader rewritten = header;
        rewritten.dataLength = length;
        return writeHeader(handle, current, rewritten);
    }
    if ((rc = checkNeighbours(handle, size, header)) != CCDT_RC_OK) return rc;
    ccdtBlockHeader space;
    uint32_t at = 0;
    int spaceRc = findSpace(handle, size, length, &space, &at);
    if (spaceRc != CCDT_RC_OK && spaceRc != CCDT_RC_APPEND) return spaceRc;
    rc = place(handle, record, length, spaceRc, space, at, header.previous, header.next);
    if (rc != CCDT_RC_OK) return rc;
    return release(handle, current, header);
}

int ccdtRecDelete(ccdtRecFile *handle, const void *key, uint32_t length) {
    int rc = checkCurrent(handle, key, length);
    if (rc != CCDT_RC_OK) return rc;
    uint32_t current = handle->current;
    dropCurrent(handle);
    uint64_t size = 0;
    if ((rc = fileSize(handle, &size)) != CCDT_RC_OK) return rc;
    ccdtBlockHeader header;
    if ((rc = readRecordHeader(handle, size, current, &header)) != CCDT_RC_OK) return rc;
    if ((rc = checkNeighbours(handle, size, header)) != CCDT_RC_OK) return rc;
    if (header.previous != 0 && (rc = writeLink(handle, header.previous, kNext, header.next)) != 0) return rc;
    if (header.next != 0 && (rc = writeLink(handle, header.next, kPrevious, header.previous)) != 0) return rc;
    return release(handle, current, header);
}
