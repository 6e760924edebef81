// Fuzz target: streams loaded from arbitrary messages on the data queue. The input is a list of
// messages, each a selector byte (which BlobId: "$STRINGS" or stream S, header or small or big blob
// 0 to 7), a u16 length and the message; an in-memory queue holds them and "$STRINGS" and S are
// loaded from it. A load may fail, but never crash, hang or leak, and what it loads must walk cleanly.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "streams/streams.h"
#include "tests/streams/fakedq.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

namespace {

int fakeQmgr;  // the queue manager S belongs to: number 7

void identity(QmgrEntry *, uint32_t *number, const char **name, uint32_t *nameId) {
    *number = 7;
    *name = "QM1";
    *nameId = 0;
}

void checkStream(const Stream *s) {
    auto check = [](const uint8_t *bh, uint32_t length) {
        BlobWalk walk;
        BlobEntry entry;
        evBlobWalkInit(&walk, bh, length, 0);
        uint32_t records = 0;
        int result;
        while ((result = evBlobWalkNext(&walk, &entry)) > 0) records++;
        if (result < 0 || records != evBlobRecords(bh)) std::abort();  // the load checked every entry
    };
    check(evStreamCurrentBlob(s), s->header->used - SH_BLOB);
    for (StreamBlob *b = s->blobs; b; b = b->next) check(evStreamBlobHeader(b), b->area->used);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static MQIFunctionTable table = [] {
        evStringsFree(1);
        EvStreamHooks hooks{};
        hooks.qmgrIdentity = identity;
        hooks.reportMQError = [](EvStreamIo *, const char *, int32_t) {};
        evStreamSetHooks(&hooks);
        evDebugFlags = EV_DBG_N;
        static const EvConsoleSink quiet = {[](int32_t, const char *, size_t) {}, [](int32_t) {},
                                            [](int32_t) { return int32_t{0}; }};
        evSetConsoleSink(&quiet);
        return fdq::table();
    }();
    static StreamDef *def = evStreamDefine("S", -1, STREAM_TYPE_EVENTS, 0, 1);
    fdq::reset();
    for (size_t at = 0; at + 3 <= size;) {
        uint8_t selector = data[at];
        size_t length = data[at + 1] | size_t{data[at + 2]} << 8;
        at += 3;
        if (length > size - at) length = size - at;
        bool strings = selector & 0x80;
        uint32_t kind = selector & 0x40 ? BLOB_KIND_BIG : BLOB_KIND_SMALL;
        uint8_t correlId[BLOB_ID_LENGTH];
        evBlobIdBuild(correlId, strings ? 0 : 7, strings ? 0 : def->streamId, kind, selector & 7);
        fdq::put(correlId, data + at, length);
        at += length;
    }
    EvStreamIo io{&table, 1, 2, 0, 100, 1};
    Stream *strings = evStringsCreateStream();
    Stream *s = evStreamCreate(reinterpret_cast<QmgrEntry *>(&fakeQmgr), def);
    if (!strings || !s) std::abort();
    if (evStreamLoad(&io, strings)) checkStream(strings);
    if (evStreamLoad(&io, s)) {
        checkStream(s);
        // What was loaded can be appended to and consolidated.
        uint8_t record[40] = {};
        (void)evStreamAdd(nullptr, s, record, sizeof record, 1, nullptr);  // may be refused: no room
        (void)evStreamConsolidateAll(&io, s);
    }
    for (uint32_t id = 0; id < 8; id++) evStringLookup(id);
    evStreamFree(s);
    evStringsFree(1);
    evConfigChanged = 0;
    return 0;
}
