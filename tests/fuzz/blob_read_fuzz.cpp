// Fuzz target: stored blobs read back from the data queue. Arbitrary bytes are walked as a blob in
// both directions and, as a full blob of "$STRINGS", rebuilt into the string pool and re-pointed.
// Every entry handed out must lie inside the blob, and every pooled string must point into it.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "streams/streams.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

namespace {

void walkChecked(const uint8_t *blob, uint32_t size, int backward) {
    BlobWalk walk;
    BlobEntry entry;
    evBlobWalkInit(&walk, blob, size, backward);
    int result;
    uint32_t steps = 0;
    while ((result = evBlobWalkNext(&walk, &entry)) > 0) {
        if (entry.offset < BLOB_HEADER_LENGTH || uint64_t{entry.offset} + entry.total > size) std::abort();
        if (entry.data + entry.dataLength > blob + entry.offset + entry.total) std::abort();
        if (++steps > size / ENTRY_PREFIX + 1) std::abort();  // every entry takes 8 bytes or more
        StoredString stored;
        if (evStoredStringParse(&entry, &stored) &&
            (stored.text < reinterpret_cast<const char *>(entry.data) ||
             stored.text + stored.length > reinterpret_cast<const char *>(entry.data + entry.dataLength)))
            std::abort();
    }
    if (result < 0 && !walk.damaged) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > 1 << 20) return 0;
    auto length = static_cast<uint32_t>(size);
    walkChecked(data, length, 0);
    walkChecked(data, length, 1);

    // The same bytes as the one full blob of a "$STRINGS" stream.
    static bool quiet = [] {
        evStringsFree(1);
        return true;
    }();
    (void)quiet;
    Stream *strings = evStringsCreateStream();
    if (!strings) return 0;
    Area *area = AreaGet(length ? length : 1, 0, "BLOBMSG");
    auto *node = static_cast<StreamBlob *>(CSGetMem(sizeof(StreamBlob)));
    if (!area || !node) std::abort();
    if (length) std::memcpy(AreaData(area), data, length);
    area->used = length;
    node->area = area;
    node->next = nullptr;
    node->stamp = BlobStamp{};
    strings->blobs = node;
    if (!evStringsLoad(strings)) std::abort();  // only storage fails it; damaged entries are skipped
    uint8_t *blob = AreaData(area);
    for (uint32_t b = 0; evStrings.byText && b < evStrings.buckets; b++)
        for (StringEntry *e = evStrings.byText[b]; e; e = e->nextByText)
            if (e->storedEntry < blob || e->storedEntry >= blob + length) std::abort();
    evValidateStringMessage(blob, length, nullptr);
    evValidateStringMessage(blob, length, blob);
    for (uint32_t id = 0; id < 8; id++) evStringLookup(id);
    evStringsFree(1);
    return 0;
}
