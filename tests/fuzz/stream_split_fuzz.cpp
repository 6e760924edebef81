// Fuzz target: records appended whole or split into a stream with small blobs. Whatever the record,
// the add must end (no piece is empty), and every blob of the stream must then walk cleanly in both
// directions with entries that fit their 16-bit fields.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "streams/streams.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

namespace {

void expectClean(const uint8_t *blob, uint32_t size) {
    for (int backward = 0; backward < 2; backward++) {
        BlobWalk walk;
        BlobEntry entry;
        evBlobWalkInit(&walk, blob, size, backward);
        uint32_t records = 0;
        int result;
        while ((result = evBlobWalkNext(&walk, &entry)) > 0) records++;
        if (result < 0 || records != evBlobRecords(blob)) std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 2 || size > 200000) return 0;
    // The first byte picks the blob size: 100 to 25600 bytes.
    uint32_t blobSize = 100u * (1u + data[0]);
    static StreamDef def = [] {
        StreamDef d{};
        std::memcpy(d.name, "FUZZ", 5);
        d.nameLength = 4;
        d.type = 2;
        return d;
    }();
    Stream *stream = evStreamCreate(nullptr, &def);
    if (!stream) return 0;
    stream->blobSize = blobSize < stream->blobSize ? blobSize : stream->blobSize;
    AreaRelease(&stream->header);
    stream->header = AreaGet(stream->blobSize + STREAM_AREA_EXTRA,
                             static_cast<int32_t>(stream->blobSize + STREAM_AREA_EXTRA), "STREAMHDR");
    if (!stream->header) std::abort();
    evBlobHeaderInit(AreaData(stream->header) + SH_BLOB, 0, 0);
    stream->header->used = STREAM_HEADER_LENGTH;
    const uint8_t *record = data + 1;
    auto length = static_cast<uint32_t>(size - 1);
    for (int i = 0; i < 3; i++) {
        uint8_t *entry = nullptr;
        if (evStreamAddSplit(nullptr, stream, record, length, 1000 + i, &entry)) {
            if (!entry) std::abort();
        }
    }
    expectClean(evStreamCurrentBlob(stream), stream->header->used - SH_BLOB);
    for (StreamBlob *b = stream->blobs; b; b = b->next) expectClean(evStreamBlobHeader(b), b->area->used);
    evStreamFree(stream);
    return 0;
}
