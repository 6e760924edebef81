// An in-memory data queue behind an MQI function table, for the stream tests that need no queue
// manager and for the load fuzz target: MQPUT appends, MQGET finds by CorrelId (destructive, browse
// first and next, under the cursor, with IBM MQ's truncation reasons). Gets and puts take effect at
// once: there is no unit of work, MQCMIT and MQBACK only succeed.
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

#include "mqi/mqi.h"

namespace fdq {

struct Message {
    uint8_t correlId[MQ_CORREL_ID_LENGTH];
    std::vector<uint8_t> data;
    MQCHAR8 format = {' ', ' ', ' ', ' ', ' ', ' ', ' ', ' '};  // as put, given back by gets
    MQLONG encoding = MQENC_NATIVE;
};

struct Queue {
    std::vector<Message> messages;
    size_t cursor = SIZE_MAX;  // index of the message under the browse cursor
    uint64_t puts = 0, gets = 0, commits = 0;
};

inline Queue &queue() {
    static Queue q;
    return q;
}

inline void put(const uint8_t *correlId, const void *data, size_t length, const MQMD *md = nullptr) {
    Message m;
    std::memcpy(m.correlId, correlId, sizeof m.correlId);
    if (md) {
        std::memcpy(m.format, md->Format, sizeof m.format);
        m.encoding = md->Encoding;
    }
    if (length)
        m.data.assign(static_cast<const uint8_t *>(data), static_cast<const uint8_t *>(data) + length);
    queue().messages.push_back(std::move(m));
}

inline size_t count(const uint8_t *correlId) {
    size_t n = 0;
    for (const Message &m : queue().messages) n += std::memcmp(m.correlId, correlId, 24) == 0;
    return n;
}

extern "C" inline void fakeGet(MQHCONN, MQHOBJ, PMQVOID pMsgDesc, PMQVOID pGetMsgOpts, MQLONG bufferLength,
                               PMQVOID pBuffer, PMQLONG pDataLength, PMQLONG pCompCode, PMQLONG pReason) {
    Queue &q = queue();
    auto *md = static_cast<MQMD *>(pMsgDesc);
    auto *gmo = static_cast<MQGMO *>(pGetMsgOpts);
    MQLONG o = gmo->Options;
    q.gets++;
    size_t at = SIZE_MAX;
    const bool browse = (o & (MQGMO_BROWSE_FIRST | MQGMO_BROWSE_NEXT | MQGMO_BROWSE_MSG_UNDER_CURSOR)) != 0;
    if (o & (MQGMO_MSG_UNDER_CURSOR | MQGMO_BROWSE_MSG_UNDER_CURSOR)) {
        at = q.cursor < q.messages.size() ? q.cursor : SIZE_MAX;
    } else {
        size_t from = (o & MQGMO_BROWSE_NEXT) && q.cursor != SIZE_MAX ? q.cursor + 1 : 0;
        for (size_t i = from; i < q.messages.size() && at == SIZE_MAX; i++)
            if (std::memcmp(q.messages[i].correlId, md->CorrelId, 24) == 0) at = i;
    }
    if (at == SIZE_MAX) {
        *pCompCode = MQCC_FAILED;
        *pReason = MQRC_NO_MSG_AVAILABLE;
        return;
    }
    const std::vector<uint8_t> &data = q.messages[at].data;
    std::memcpy(md->Format, q.messages[at].format, sizeof md->Format);
    md->Encoding = q.messages[at].encoding;
    auto length = static_cast<MQLONG>(data.size());
    *pDataLength = length;
    bool truncated = length > bufferLength;
    if (browse) q.cursor = at;  // also when the message does not fit, as IBM MQ's browse does
    if (truncated && !(o & MQGMO_ACCEPT_TRUNCATED_MSG)) {
        *pCompCode = MQCC_WARNING;
        *pReason = MQRC_TRUNCATED_MSG_FAILED;
        return;
    }
    size_t copied = static_cast<size_t>(truncated ? bufferLength : length);
    if (copied) std::memcpy(pBuffer, data.data(), copied);
    *pCompCode = truncated ? MQCC_WARNING : MQCC_OK;
    *pReason = truncated ? MQRC_TRUNCATED_MSG_ACCEPTED : MQRC_NONE;
    if (!browse) {
        q.messages.erase(q.messages.begin() + static_cast<std::ptrdiff_t>(at));
        if (q.cursor != SIZE_MAX && q.cursor >= at) q.cursor = q.cursor == 0 ? SIZE_MAX : q.cursor - 1;
    }
}

extern "C" inline void fakePut(MQHCONN, MQHOBJ, PMQVOID pMsgDesc, PMQVOID, MQLONG bufferLength,
                               PMQVOID pBuffer, PMQLONG pCompCode, PMQLONG pReason) {
    const auto *md = static_cast<MQMD *>(pMsgDesc);
    put(md->CorrelId, pBuffer, static_cast<size_t>(bufferLength), md);
    queue().puts++;
    *pCompCode = MQCC_OK;
    *pReason = MQRC_NONE;
}

extern "C" inline void fakeUnitEnd(MQHCONN, PMQLONG pCompCode, PMQLONG pReason) {
    queue().commits++;
    *pCompCode = MQCC_OK;
    *pReason = MQRC_NONE;
}

// A table with MQGET, MQPUT, MQCMIT and MQBACK over the queue.
inline MQIFunctionTable table() {
    MQIFunctionTable t{};
    t.MQGET = fakeGet;
    t.MQPUT = fakePut;
    t.MQCMIT = fakeUnitEnd;
    t.MQBACK = fakeUnitEnd;
    return t;
}

inline void reset() {
    queue() = Queue{};
}

}  // namespace fdq
