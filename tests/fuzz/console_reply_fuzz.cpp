// Fuzzes what the console reads of a command server: a reply (CorrelId, Format and data, the
// session's tag and a live request put in, so that it reaches its handler) through the reply
// reader, and the same bytes as a response text through the attribute splitter, the display
// classifier, the UTC time rewrite, the keyword(value) reader and the list items.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "console/console.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

namespace {

const uint8_t *input = nullptr;
size_t inputSize = 0;
bool delivered = false;

void fakeGet(MQHCONN, MQHOBJ, PMQVOID md, PMQVOID, MQLONG length, PMQVOID buffer, PMQLONG got, PMQLONG cc,
             PMQLONG rc) {
    if (delivered || inputSize < 25) {
        *cc = MQCC_FAILED;
        *rc = 2033;
        return;
    }
    auto *m = static_cast<MQMD *>(md);
    std::memcpy(m->CorrelId, input, 24);
    std::memcpy(m->Format, (input[24] & 1) != 0 ? "MQCMD1  " : "MQADMIN ", 8);
    const size_t n = inputSize - 25;
    *got = static_cast<MQLONG>(n);
    if (*got > length) {
        *cc = MQCC_FAILED;
        *rc = 2080;
        return;
    }
    std::memcpy(buffer, input + 25, n);
    delivered = true;
    *cc = 0;
    *rc = 0;
}

cslSession *session() {
    static cslSession *s = [] {
        int64_t tag = 0;
        if (cslCreateSession(&tag) != 0) std::abort();
        cslSession *made = gSession.load();
        made->history = 200;
        made->screenWidth = 60;
        return made;
    }();
    return s;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > 200000) return 0;
    static uint32_t request = 0;
    static MQIFunctionTable table{};
    static cslConnection *c = [] {
        auto *made = new cslConnection();
        table.MQGET = fakeGet;
        made->mqi = &table;
        made->replyHconn.store(1);
        made->hconn.store(-1);
        made->platform = 1;  // z/OS: both reply families are read
        return made;
    }();
    cslSession *s = session();
    c->session = s;
    s->formatting = size % 2;

    ++request;
    s->commandNumber = request;
    s->echoLine = cslAddOutput(s, cslMainList(s), nullptr, "DIS Q(*)", -1, CSL_LINE_ECHO, request);
    s->requestPut.store(request);
    s->requestCompleted.store(request - 1);
    std::vector<uint8_t> reply(data, data + size);
    if (size >= 25 && (data[0] & 1) != 0) {  // half the inputs name this session and request
        mqiPutU32(reply.data(), 0, static_cast<uint32_t>(s->tag));
        mqiPutU32(reply.data(), 4, request);
        mqiPutU16(reply.data(), 16, 1);
    }
    input = reply.data();
    inputSize = reply.size();
    delivered = false;
    cslGetReply(s, c, request, 0);

    const char *text = reinterpret_cast<const char *>(data);
    cslClassifyResponse(text, size);
    CslAttrCursor cursor{text, size, 0, 0, 0, 0};
    char token[512];
    size_t length = 0;
    int keyword = 0;
    for (int guard = 0; cslParseResponseAttrs(&cursor, token, sizeof token, &length, &keyword); ++guard) {
        if (length >= sizeof token || cursor.at > size || guard > 200000) std::abort();
        char local[600];
        cslFormatUtcDate(token, length, local, sizeof local);
    }
    const char *value = nullptr;
    size_t valueLength = 0;
    size_t next = 0;
    int quoted = 0;
    for (uint32_t flags = 0; flags < 16; flags += 2)
        if (size > 0 &&
            cslParseKeyword(nullptr, nullptr, flags, "K", 1, 0, text, size, &value, &valueLength, &next,
                            &quoted) &&
            (value < text || value + valueLength > text + size || next > size))
            std::abort();
    const char *at = text;
    const char *item = nullptr;
    while (cslNextListItem(&at, text + size, &item, &valueLength))
        if (item < text || item + valueLength > text + size) std::abort();
    return 0;
}
