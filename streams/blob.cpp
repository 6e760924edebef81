// The blob format's helpers: empty headers, the entry walk in both directions, BlobIds and the stored
// form of pooled strings. The walk trusts nothing in the blob: every length is checked before use.
#include <cstring>

#include "streams/streams.h"

void evBlobHeaderInit(uint8_t *bh, uint32_t flags, uint64_t number) {
    std::memset(bh, 0, BLOB_HEADER_LENGTH);
    mqiPutU32(bh, BH_LENGTH, BLOB_HEADER_LENGTH);
    mqiPutU32(bh, BH_FLAGS, flags);
    mqiPutI64(bh, BH_NUMBER, static_cast<int64_t>(number));
    std::memcpy(bh + BH_EYE, "*BH*", 4);
}

void evBlobNoteLatest(uint8_t *bh, uint32_t length) {
    BlobWalk walk;
    BlobEntry entry;
    int64_t latest = 0;
    evBlobWalkInit(&walk, bh, length, 0);
    while (evBlobWalkNext(&walk, &entry) > 0) {
        if (entry.dataLength < EVCF_HEADER_LENGTH) continue;
        // An event's time and a statistics record's interval end share the place.
        const int64_t time = evCFGetEventTime(entry.data);
        if (time > latest) latest = time;
    }
    mqiPutI64(bh, BH_LATEST, latest > evBlobNewest(bh) ? latest : 0);
}

void evBlobWalkInit(BlobWalk *walk, const uint8_t *blob, uint32_t bufferLength, int backward) {
    *walk = BlobWalk{};
    walk->blob = blob;
    walk->backward = backward;
    if (!blob || bufferLength < BLOB_HEADER_LENGTH) return;
    uint32_t length = evBlobLength(blob);
    if (length < BLOB_HEADER_LENGTH) return;
    walk->extent = length < bufferLength ? length : bufferLength;
    walk->offset = backward ? evBlobLastEntry(blob) : BLOB_HEADER_LENGTH;
}

namespace {

int damaged(BlobWalk *walk) {
    walk->damaged = 1;
    walk->offset = 0;
    return -1;
}

// Reads the entry at walk->offset, checked against the blob.
bool readEntry(const BlobWalk *walk, BlobEntry *entry) {
    uint32_t offset = walk->offset;
    if (offset < BLOB_HEADER_LENGTH || offset % 4 != 0 || offset > walk->extent ||
        walk->extent - offset < ENTRY_PREFIX)
        return false;
    const uint8_t *p = walk->blob + offset;
    entry->offset = offset;
    entry->total = mqiGetU16(p, ENTRY_TOTAL);
    entry->previous = mqiGetU16(p, ENTRY_PREVIOUS);
    entry->dataLength = mqiGetU16(p, ENTRY_DATA_LENGTH);
    entry->data = p + ENTRY_PREFIX;
    if (entry->total < ENTRY_PREFIX || entry->total % 4 != 0) return false;
    if (entry->total > walk->extent - offset) return false;
    if (entry->total < uint32_t{entry->dataLength} + ENTRY_PREFIX) return false;
    return true;
}

}  // namespace

int evBlobWalkNext(BlobWalk *walk, BlobEntry *entry) {
    *entry = BlobEntry{};
    if (walk->offset == 0) return 0;
    if (!walk->backward) {
        if (walk->offset == walk->extent) {  // the end of the entries
            walk->offset = 0;
            return 0;
        }
        if (walk->offset > walk->extent) return damaged(walk);
        if (walk->extent - walk->offset >= 2 && mqiGetU16(walk->blob + walk->offset, ENTRY_TOTAL) == 0) {
            walk->offset = 0;  // a total of 0 ends the walk
            return 0;
        }
        if (!readEntry(walk, entry)) return damaged(walk);
        walk->offset += entry->total;
        return 1;
    }
    if (!readEntry(walk, entry)) return damaged(walk);
    if (walk->expect != 0 && entry->total != walk->expect) return damaged(walk);
    if (entry->previous == 0) {
        // Only the first entry has no predecessor.
        if (entry->offset != BLOB_HEADER_LENGTH) return damaged(walk);
        walk->offset = 0;
        return 1;
    }
    if (entry->previous < ENTRY_PREFIX || entry->previous % 4 != 0 ||
        entry->offset - BLOB_HEADER_LENGTH < entry->previous)
        return damaged(walk);
    walk->expect = entry->previous;
    walk->offset = entry->offset - entry->previous;
    return 1;
}

void evBlobIdBuild(uint8_t *correlId, uint32_t qmgrNumber, uint32_t streamId, uint32_t kind,
                   uint64_t number) {
    mqiPutU32(correlId, 0, BLOB_ID_MARK);
    mqiPutU32(correlId, 4, qmgrNumber);
    mqiPutU32(correlId, 8, streamId);
    mqiPutU32(correlId, 12, kind);
    mqiPutI64(correlId, 16, static_cast<int64_t>(number));
}

int evStoredStringParse(const BlobEntry *entry, StoredString *out) {
    *out = StoredString{};
    if (!entry->data || entry->dataLength < 10) return 0;
    uint16_t length = mqiGetU16(entry->data, 8);
    if (uint32_t{length} + 10 > entry->dataLength) return 0;
    out->id = mqiGetU32(entry->data, 0);
    out->ccsid = mqiGetU32(entry->data, 4);
    out->length = length;
    out->text = reinterpret_cast<const char *>(entry->data + 10);
    return 1;
}

uint32_t evStoredStringWrite(uint8_t *data, uint32_t id, uint32_t ccsid, const char *text, uint16_t length) {
    mqiPutU32(data, 0, id);
    mqiPutU32(data, 4, ccsid);
    mqiPutU16(data, 8, length);
    if (length) std::memcpy(data + 10, text, length);
    data[10 + length] = 0;
    data[11 + length] = 0;
    return uint32_t{length} + STRING_ENTRY_OVERHEAD;
}
