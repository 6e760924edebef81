// Pieces of the tests that store streams: a queue manager record behind the hooks, numbered records,
// and views of a stream's blobs, ranges and BlobIds.
#pragma once

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "streams/streamtest.h"

namespace st {

// A queue manager record as the configuration holds it; stream storage sees it through the hooks.
struct FakeQmgr {
    Stream *streams = nullptr;
    uint32_t number = 7;
    const char *name = "QM1";
    uint32_t nameId = 0;
};

// The string "string-NNNN-long-enough-to-fill-blobs-soon" of number i, interned in the string pool.
inline uint32_t internNumbered(int i) {
    char text[64];
    int n = std::snprintf(text, sizeof text, "string-%04d-long-enough-to-fill-blobs-soon", i);
    return evStringIntern(1, 850, text, static_cast<uint32_t>(n), 0, nullptr);
}

// Every stream of the queue manager record freed.
inline void freeStreams(FakeQmgr *qmgr) {
    while (Stream *s = qmgr->streams) {
        qmgr->streams = s->next;
        s->next = nullptr;
        evStreamFree(s);
    }
}

// What the hooks saw.
struct HookLog {
    FakeQmgr *qmgr = nullptr;
    std::vector<std::string> logLines, errors;
    int ended = 0;
};
inline HookLog &hookLog() {
    static HookLog log;
    return log;
}

inline void installHooks(FakeQmgr *qmgr) {
    hookLog() = HookLog{};
    hookLog().qmgr = qmgr;
    EvStreamHooks hooks{};
    hooks.pendingLogLine = [](const char *text) { hookLog().logLines.push_back(text); };
    hooks.qmgrStreamList = [](QmgrEntry *q) { return &reinterpret_cast<FakeQmgr *>(q)->streams; };
    hooks.reportMQError = [](EvStreamIo *, const char *text, int32_t) { hookLog().errors.push_back(text); };
    hooks.endConnection = [] { hookLog().ended++; };
    hooks.nextQmgr = [](QmgrEntry *previous) -> QmgrEntry * {
        return previous ? nullptr : reinterpret_cast<QmgrEntry *>(hookLog().qmgr);
    };
    hooks.qmgrIdentity = [](QmgrEntry *q, uint32_t *number, const char **name, uint32_t *nameId) {
        auto *fake = reinterpret_cast<FakeQmgr *>(q);
        *number = fake->number;
        *name = fake->name;
        *nameId = fake->nameId;
    };
    evStreamSetHooks(&hooks);
}

// A record of the given size whose item 1 holds its number n; t is its time.
inline std::vector<uint8_t> numbered(int32_t n, int64_t t, uint32_t size = 48) {
    std::vector<uint8_t> r(size < 40 ? 40 : size, 0);
    evCFSetCommand(r.data(), 44);
    evCFSetEventTime(r.data(), t);
    uint8_t item[7] = {3, 1, 0};
    mqiPutI32(item, 3, n);
    std::memcpy(r.data() + EVCF_HEADER_LENGTH, item, 7);
    std::fill(r.begin() + EVCF_HEADER_LENGTH + 7, r.end(), static_cast<uint8_t>(EVCF_PADDING));
    evCFSetItemCount(r.data(), r.size() > EVCF_HEADER_LENGTH + 7 ? 2 : 1);
    return r;
}

// The numbers of every record of the stream, in the order met (current blob first).
inline std::vector<int32_t> recordNumbers(const Stream *s) {
    std::vector<int32_t> out;
    auto take = [&](const uint8_t *bh, uint32_t length) {
        for (const BlobEntry &e : walkBlob(bh, length).entries)
            if (e.dataLength >= EVCF_HEADER_LENGTH + 7)
                out.push_back(mqiGetI32(e.data, EVCF_HEADER_LENGTH + 3));
    };
    take(evStreamCurrentBlob(s), s->header->used - SH_BLOB);
    for (StreamBlob *b = s->blobs; b; b = b->next)
        take(evStreamBlobHeader(b), evBlobLength(evStreamBlobHeader(b)));
    return out;
}

inline std::vector<uint64_t> blobNumbers(const Stream *s, bool big) {
    std::vector<uint64_t> out;
    for (StreamBlob *b = s->blobs; b; b = b->next)
        if (((evBlobFlags(evStreamBlobHeader(b)) & BLOB_BIG) != 0) == big)
            out.push_back(evBlobNumber(evStreamBlobHeader(b)));
    return out;
}

inline std::pair<uint64_t, uint64_t> range(const Stream *s, bool big) {
    const uint8_t *m = evStreamMessage(s);
    return {static_cast<uint64_t>(mqiGetI64(m, big ? SH_BIG_FIRST : SH_SMALL_FIRST)),
            static_cast<uint64_t>(mqiGetI64(m, big ? SH_BIG_LAST : SH_SMALL_LAST))};
}

// One message of the data queue as a browse shows it.
struct Stored {
    std::string correlId;  // 24 bytes
    MQMD md;
    std::string data;
};

inline std::string blobId(uint32_t qmgr, uint32_t streamId, uint32_t kind, uint64_t number) {
    uint8_t id[BLOB_ID_LENGTH];
    evBlobIdBuild(id, qmgr, streamId, kind, number);
    return std::string(reinterpret_cast<char *>(id), BLOB_ID_LENGTH);
}

}  // namespace st
