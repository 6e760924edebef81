// Responses of a command: each handler adds PCF responses; they are turned into what the requester
// asked for (PCF, MQSC text, or text inside an escape PCF), collated into as few reply messages as
// fit, and put to the reply-to queue through a small cache of open reply queues.
#include <cstdio>
#include <cstring>

#include "cmdserver/internal.h"

namespace {

constexpr size_t kCfh = MQCFH_STRUC_LENGTH;
constexpr size_t kCfhCompCode = offsetof(MQCFH, CompCode);
constexpr size_t kCfhReason = offsetof(MQCFH, Reason);
constexpr size_t kCfhControl = offsetof(MQCFH, Control);
constexpr size_t kCfhSeq = offsetof(MQCFH, MsgSeqNumber);
constexpr size_t kCfhCount = offsetof(MQCFH, ParameterCount);

bool isTextRequester(const CmdRequest *request) {
    return request->kind == CMD_KIND_MQSC || request->kind == CMD_KIND_ESCAPE ||
           request->kind == CMD_KIND_EVENT_ESCAPE;
}

// The completion code a reason gives a reply.
int32_t compCodeOf(int32_t reason) {
    if (reason == 0) return MQCC_OK;
    if (reason == HLVRCCF_COMMAND_OK_WITH_TEXT || reason == HLVRCCF_DATA_INCOMPLETE ||
        reason == HLVRCCF_PROGRESS_MESSAGE)
        return MQCC_WARNING;
    return MQCC_FAILED;
}

bool namesParameter(int32_t reason) {
    switch (reason) {
        case 2321:
        case 3011:
        case 3014:
        case 3015:
        case 3033:
        case 3047:
        case 3097:
        case 3228:
        case 3229:
        case 3256:
            return true;
        default:
            return false;
    }
}

// A text without its trailing '~' (the mark of a message already reported).
size_t unmarkedLength(const char *text) {
    size_t length = text ? std::strlen(text) : 0;
    if (length > 0 && text[length - 1] == '~') length--;
    return length;
}

// Text of the program in CMD_TEXT_CCSID, the code page its replies say they are in: the program
// holds what it was sent in the code page it reads in (the queue manager's). Converted into buffer
// (size bytes) when it needs and allows it, else the text as it is; *length is updated.
const char *replyText(QmgrContext *context, const char *text, size_t *length, char *buffer, size_t size) {
    const int32_t from = cmdTextCcsid(cmdRequest(context));
    const MQHCONN hconn = evEventHconn(&context->sets[EV_SET_C]);
    int32_t converted = static_cast<int32_t>(size);
    if (*length == 0 || *length > size || from <= 0 || from == CMD_TEXT_CCSID || hconn == -1 ||
        context->event.mq == nullptr ||
        MQConvertString(context->event.mq, hconn, text, static_cast<int32_t>(*length), buffer, &converted,
                        from, CMD_TEXT_CCSID) != 0)
        return text;
    *length = static_cast<size_t>(converted);
    return buffer;
}

// A PCF reply's strings that carry no code page of their own (0: the message's, which says
// CMD_TEXT_CCSID) are in the code page the program holds its texts in: they say so.
void labelStrings(const CmdRequest *request, uint8_t *data, int32_t length) {
    const int32_t ccsid = cmdTextCcsid(request);
    if (ccsid <= 0 || ccsid == CMD_TEXT_CCSID) return;
    PcfCursor cursor;
    MQPCFInitParser(&cursor, data, length, static_cast<uint32_t>(ccsid));  // it fills them as it reads
    for (;;) {
        int32_t type = 0;
        int32_t parmId = 0;
        void *value = nullptr;
        int32_t valueLength = 0;
        int32_t count = 0;
        int32_t cc = 0;
        int32_t rc = 0;
        MQPCFGetNextParm(&cursor, &type, &parmId, &value, &valueLength, &count, &cc, &rc);
        if (cc == MQCC_FAILED) return;
    }
}

void noteReason(CmdRequest *request, int32_t reason) {
    request->lastReason = reason;
    if (reason != 0 && !(reason >= HLVRCCF_DATA_INCOMPLETE && reason <= HLVRCCF_PROGRESS_MESSAGE))
        request->errorFlag = 1;
}

// ---- The reply-queue cache ----

void copyName(char *out, const MQCHAR *name, size_t size) {
    size_t n = 0;
    while (n < size && name[n] != '\0' && name[n] != ' ') n++;
    std::memcpy(out, name, n);
    out[n] = '\0';
}

void closeEntry(QmgrContext *context, CmdReplyEntry *entry) {
    if (entry->hobj == -1) return;
    MQHCONN hconn = evEventHconn(&context->sets[EV_SET_C]);
    MQLONG cc = 0;
    MQLONG rc = 0;
    if (hconn != -1 && context->event.mq != nullptr) {
        evTraceCallIn("MQCLOSE(Reply)", hconn, EV_TRACE_CONTROL, entry->hobj);
        context->event.mq->MQCLOSE(hconn, &entry->hobj, MQCO_NONE, &cc, &rc);
        evTraceCallOut("MQCLOSE(Reply)", hconn, EV_TRACE_CONTROL, rc);
    }
    std::memset(entry, 0, sizeof *entry);
    entry->hobj = -1;
}

// Finds or opens the reply queue: the handle, or -1 with *cc and *rc (*refused set when the queue
// resolved to one of the program's own, already logged). Unlike the documented open (MQOO_OUTPUT
// alone, entries matched by their names), the queue is opened with the requester's authority (its
// UserIdentifier as the alternate user, as IBM MQ advises a server to do) and entries are matched by
// that user too: a requester gets replies only where it could put itself, not wherever the program
// may. A requester without a user identifier (put with no context) has no authority to lend and is
// refused as IBM MQ refuses a blank alternate user on a queue that needs authority.
MQHOBJ openReplyQueue(QmgrContext *context, const MQMD *md, MQLONG *cc, MQLONG *rc, bool *refused) {
    *refused = false;
    CmdState *state = cmdState(context);
    *cc = MQCC_OK;
    *rc = MQRC_NONE;
    if (state->cache == nullptr) {
        state->cache = static_cast<CmdReplyEntry *>(CSGetMem(sizeof(CmdReplyEntry) * CMD_REPLY_CACHE_SIZE));
        if (state->cache == nullptr) {
            *cc = MQCC_FAILED;
            *rc = MQRC_STORAGE_NOT_AVAILABLE;
            return -1;
        }
        std::memset(state->cache, 0, sizeof(CmdReplyEntry) * CMD_REPLY_CACHE_SIZE);
        for (int i = 0; i < CMD_REPLY_CACHE_SIZE; i++) state->cache[i].hobj = -1;
    }
    char qmgr[49];
    char queue[49];
    copyName(qmgr, md->ReplyToQMgr, 48);
    copyName(queue, md->ReplyToQ, 48);
    const bool dlq = std::strcmp(queue, "#DLQ") == 0;
    const int64_t now = evClockNow();
    const uint32_t inputAdds = evInputQueueAdds.load();
    CmdReplyEntry *freeEntry = nullptr;
    CmdReplyEntry *oldest = nullptr;
    for (int i = 0; i < CMD_REPLY_CACHE_SIZE; i++) {
        CmdReplyEntry *entry = &state->cache[i];
        if (entry->hobj != -1 && now - entry->lastUse >= CMD_REPLY_IDLE_SECONDS) closeEntry(context, entry);
        if (entry->hobj == -1) {
            if (freeEntry == nullptr) freeEntry = entry;
            continue;
        }
        bool same =
            std::strcmp(entry->qmgr, qmgr) == 0 &&
            std::memcmp(entry->user, md->UserIdentifier, sizeof entry->user) == 0 &&
            (dlq ? entry->deadLetter != 0 : !entry->deadLetter && std::strcmp(entry->queue, queue) == 0);
        // An event queue added since the open may be where the queue leads: it is opened and checked
        // again.
        if (same && (entry->options & MQOO_OUTPUT) && entry->inputAdds == inputAdds) {
            entry->lastUse = now;
            return entry->hobj;
        }
        if (same) {
            closeEntry(context, entry);
            if (freeEntry == nullptr) freeEntry = entry;
            continue;
        }
        if (oldest == nullptr || entry->lastUse < oldest->lastUse) oldest = entry;
    }
    CmdReplyEntry *entry = freeEntry;
    if (entry == nullptr) {
        closeEntry(context, oldest);
        entry = oldest;
    }
    if (cmdBlankName(md->UserIdentifier, sizeof md->UserIdentifier)) {
        *cc = MQCC_FAILED;
        *rc = MQRC_NOT_AUTHORIZED;
        return -1;
    }
    MQOD od = MQOD_DEFAULT;
    od.Version = MQOD_VERSION_3;  // for the resolved names
    std::memcpy(od.AlternateUserId, md->UserIdentifier, sizeof od.AlternateUserId);
    const char *target = dlq ? context->event.deadQueue : queue;
    std::memcpy(od.ObjectName, target, std::strlen(target));
    const char *qmgrName = qmgr[0] == '*' ? qmgr + 1 : qmgr;
    std::memcpy(od.ObjectQMgrName, qmgrName, std::strlen(qmgrName));
    cmdDynamicName(evProcessUserName(), od.DynamicQName);
    MQHCONN hconn = evEventHconn(&context->sets[EV_SET_C]);
    MQHOBJ hobj = -1;
    if (hconn == -1 || context->event.mq == nullptr) {
        *cc = MQCC_FAILED;
        *rc = MQRC_HCONN_ERROR;
        return -1;
    }
    constexpr MQLONG kOptions = MQOO_OUTPUT | MQOO_ALTERNATE_USER_AUTHORITY;
    evTraceOpenIn("MQOPEN(Reply)", hconn, EV_TRACE_CONTROL, &od);
    context->event.mq->MQOPEN(hconn, &od, kOptions, &hobj, cc, rc);
    evTraceOpenOut("MQOPEN(Reply)", hconn, EV_TRACE_CONTROL, &od, hobj, *rc);
    if (*cc == MQCC_FAILED) return -1;
    // An alias, a remote definition or the dead-letter queue may lead to the program's own queues.
    if (evIsOwnQueue(context, od.ResolvedQMgrName, od.ResolvedQName)) {
        cmdRefuseReplyQueue(context, od.ResolvedQMgrName, od.ResolvedQName);
        MQLONG closeCc = 0;
        MQLONG closeRc = 0;
        evTraceCallIn("MQCLOSE(Reply)", hconn, EV_TRACE_CONTROL, hobj);
        context->event.mq->MQCLOSE(hconn, &hobj, MQCO_NONE, &closeCc, &closeRc);
        evTraceCallOut("MQCLOSE(Reply)", hconn, EV_TRACE_CONTROL, closeRc);
        *refused = true;
        *cc = MQCC_FAILED;
        *rc = MQRC_NOT_AUTHORIZED;
        return -1;
    }
    std::snprintf(entry->qmgr, sizeof entry->qmgr, "%s", qmgr);
    std::snprintf(entry->queue, sizeof entry->queue, "%s", queue);
    std::memcpy(entry->user, md->UserIdentifier, sizeof entry->user);
    entry->deadLetter = dlq ? 1 : 0;
    entry->hobj = hobj;
    entry->options = kOptions;
    entry->inputAdds = inputAdds;
    entry->lastUse = now;
    return hobj;
}

const char *reasonDescription(int32_t reason) {
    return evReasonText(reason);
}

void replyOpenFailed(QmgrContext *context, const MQMD *req, MQLONG rc) {
    evOutputF(EV_OUT_ERROR, 1, "Error opening reply queue '%.48s/%.48s on '%s' RC(%d) %s", req->ReplyToQMgr,
              req->ReplyToQ, context->event.name, rc, reasonDescription(rc));
}

// Wraps text into "ESCRESPONSE": an escape response with one MQCFST 3014.
uint8_t *escapeResponse(CmdRequest *request, const uint8_t *text, int32_t length, int32_t *outLength) {
    const uint32_t padded = (static_cast<uint32_t>(length) + 3u) & ~3u;
    const uint32_t total = static_cast<uint32_t>(kCfh) + MQCFST_STRUC_LENGTH_FIXED + padded;
    AreaRelease(&request->escResponse);
    if (!cmdTakeArea(&request->escResponse, static_cast<uint32_t>(length) + 1000u, "ESCRESPONSE"))
        return nullptr;
    uint8_t *out = AreaData(request->escResponse);
    std::memset(out, 0, total);
    // Unlike the documented header (Type 1, a command), the escape response is typed as what it is,
    // a response (2), as IBM MQ's command server types its own escape responses.
    MQPCFInitHeader(out, MQCFT_RESPONSE, MQCMD_ESCAPE);
    mqiPutI32(out, kCfhCount, 1);
    uint8_t *st = out + kCfh;
    mqiPutI32(st, offsetof(MQCFST, Type), MQCFT_STRING);
    mqiPutI32(st, offsetof(MQCFST, StrucLength), static_cast<int32_t>(MQCFST_STRUC_LENGTH_FIXED + padded));
    mqiPutI32(st, offsetof(MQCFST, Parameter), MQCACF_ESCAPE_TEXT);
    mqiPutI32(st, offsetof(MQCFST, CodedCharSetId), 0);
    mqiPutI32(st, offsetof(MQCFST, StringLength), length);
    std::memcpy(st + MQCFST_STRUC_LENGTH_FIXED, text, static_cast<size_t>(length));
    request->escResponse->used = total;
    *outLength = static_cast<int32_t>(total);
    return out;
}

// Control, sequence and the completion of a PCF reply before it goes.
void finishPcfReply(CmdRequest *request, uint8_t *data, uint32_t flags) {
    mqiPutI32(data, kCfhControl, (flags & CMD_REPLY_LAST) ? MQCFC_LAST : MQCFC_NOT_LAST);
    if (mqiGetI32(data, kCfhReason) == 0 && request->lastReason != 0) {
        mqiPutI32(data, kCfhCompCode, compCodeOf(request->lastReason));
        mqiPutI32(data, kCfhReason, request->lastReason);
    }
}

}  // namespace

int evStartPcfResponse(QmgrContext *context, PcfCursor **builder) {
    CmdRequest *request = cmdRequest(context);
    if (request == nullptr || !cmdTakeArea(&request->pcfResponse, CMD_AREA_SIZE, "PCFRESPONSE")) return 0;
    uint8_t *data = AreaData(request->pcfResponse);
    MQPCFInitHeader(data, MQCFT_COMMAND, request->command);
    MQPCFInitBuilder(&request->response, data, static_cast<int32_t>(request->pcfResponse->capacity), 0, 0,
                     nullptr);
    *builder = &request->response;
    return 1;
}

int evFinishPcfResponse(QmgrContext *context) {
    CmdRequest *request = cmdRequest(context);
    if (request == nullptr || request->pcfResponse == nullptr) return 0;
    return evAddResponse(context, CMD_RESP_PCF, AreaData(request->pcfResponse), request->response.position);
}

int evPcfResponse(QmgrContext *context, int32_t command, int32_t reason, int32_t parmId, const char *text) {
    if (command == CMD_STOP_EV) return 1;
    CmdRequest *request = cmdRequest(context);
    if (request == nullptr) return 0;
    noteReason(request, reason);
    if (!cmdTakeArea(&request->pcfResponse, CMD_AREA_SIZE, "PCFRESPONSE")) return 0;
    uint8_t *data = AreaData(request->pcfResponse);
    MQPCFInitHeader(data, MQCFT_COMMAND, command);
    PcfCursor builder;
    MQPCFInitBuilder(&builder, data, static_cast<int32_t>(request->pcfResponse->capacity), 0, 0, nullptr);
    if (reason != 0) {
        mqiPutI32(data, kCfhCompCode, reason == HLVRCCF_COMMAND_OK_WITH_TEXT ? MQCC_WARNING : MQCC_FAILED);
        mqiPutI32(data, kCfhReason, reason);
    }
    int32_t cc = 0;
    int32_t rc = 0;
    if (parmId != 0 && namesParameter(reason)) {
        int32_t id = parmId;
        MQPCFSetParm(&builder, MQCFT_INTEGER, MQIACF_PARAMETER_ID, &id, 4, 0, &cc, &rc);
    }
    char buffer[CMD_TEXT_MAX];
    size_t length = unmarkedLength(text);
    const char *converted = replyText(context, text, &length, buffer, sizeof buffer);
    // A text too long for the area goes without.
    if (length > 0)
        MQPCFSetStringParm(&builder, MQCFT_STRING, CMD_PARM_TEXT, converted, static_cast<int32_t>(length),
                           CMD_TEXT_CCSID, 0, &cc, &rc);
    return evAddResponse(context, CMD_RESP_PCF, data, builder.position);
}

int evPcfResponseNamed(QmgrContext *context, int32_t command, int32_t reason, int32_t parmId,
                       const char *templateText) {
    char text[1024];
    const char *keyword = cmdKeywordOfParm(evCommandByCode(static_cast<uint32_t>(command)), parmId);
    if (keyword == nullptr || templateText == nullptr)
        std::snprintf(text, sizeof text, "%s", templateText ? templateText : "");
    else
        cmdFillKeyword(text, sizeof text, templateText, keyword);
    return evPcfResponse(context, command, reason, parmId, text);
}

int evRespAddString(QmgrContext *context, int32_t command, const char *text) {
    char converting[CMD_TEXT_MAX];
    size_t length = unmarkedLength(text);
    if (length == 0) return 1;
    const char *converted = replyText(context, text, &length, converting, sizeof converting);
    uint8_t buffer[kCfh + MQCFST_STRUC_LENGTH_FIXED + 1024];
    MQPCFInitHeader(buffer, MQCFT_COMMAND, command);
    mqiPutI32(buffer, kCfhCompCode, MQCC_WARNING);
    mqiPutI32(buffer, kCfhReason, HLVRCCF_PROGRESS_MESSAGE);
    PcfCursor builder;
    MQPCFInitBuilder(&builder, buffer, sizeof buffer, 0, 0, nullptr);
    int32_t cc = 0;
    int32_t rc = 0;
    MQPCFSetStringParm(&builder, MQCFT_STRING, CMD_PARM_TEXT, converted, static_cast<int32_t>(length),
                       CMD_TEXT_CCSID, 0, &cc, &rc);
    return evSendReply(context, CMD_REPLY_OUTSIDE_UOW, CMD_RESP_PCF, buffer, builder.position);
}

int evAddResponse(QmgrContext *context, int32_t kind, const uint8_t *data, int32_t length) {
    CmdRequest *request = cmdRequest(context);
    if (request == nullptr || data == nullptr) return 0;
    if (length < 0) length = static_cast<int32_t>(std::strlen(reinterpret_cast<const char *>(data)));
    char converting[CMD_TEXT_MAX];
    if (kind == CMD_RESP_TEXT) {
        // A handler's own text (a syntax error echoes the command) into the replies' code page.
        size_t n = static_cast<size_t>(length);
        data = reinterpret_cast<const uint8_t *>(
            replyText(context, reinterpret_cast<const char *>(data), &n, converting, sizeof converting));
        length = static_cast<int32_t>(n);
    }
    if (kind == CMD_RESP_PCF && isTextRequester(request)) {
        const char *text = nullptr;
        int32_t textLength = 0;
        if (!evBuildMqscResponse(context, data, length, &text, &textLength)) return 0;
        if (textLength == 0) return 1;  // a response without text of its own
        data = reinterpret_cast<const uint8_t *>(text);
        length = textLength;
        kind = CMD_RESP_TEXT;
    }
    if (!cmdTakeArea(&request->collation, CMD_COLLATION_SIZE, "COLLATION")) return 0;
    Area *area = request->collation;
    uint8_t *buffer = AreaData(area);
    const uint32_t room = area->capacity;
    int32_t nextSeq = 0;  // the number of the reply message this response starts
    if (area->used > 0) {
        const bool merge = kind == CMD_RESP_PCF && request->collationKind == CMD_RESP_PCF;
        const uint32_t need =
            merge ? static_cast<uint32_t>(length) - static_cast<uint32_t>(kCfh) + MQCFIN_STRUC_LENGTH
                  : static_cast<uint32_t>(length) + 1;
        if (merge) nextSeq = mqiGetI32(buffer, kCfhSeq) + 1;
        if (need > room - area->used || kind != request->collationKind || evSendEachItem.load() != 0) {
            evSendReply(context, 0, request->collationKind, buffer, static_cast<int32_t>(area->used));
            area->used = 0;
        }
    }
    if (area->used > 0 && request->kind == CMD_KIND_PCF) {
        if (kind != CMD_RESP_PCF) return 1;  // a text has no place in a PCF reply
        if (length < static_cast<int32_t>(kCfh)) return 1;
        uint8_t *at = buffer + area->used;
        std::memset(at, 0, MQCFIN_STRUC_LENGTH);
        mqiPutI32(at, offsetof(MQCFIN, Type), MQCFT_INTEGER);
        mqiPutI32(at, offsetof(MQCFIN, StrucLength), MQCFIN_STRUC_LENGTH);
        mqiPutI32(at, offsetof(MQCFIN, Parameter), CMD_PARM_SEPARATOR);
        mqiPutI32(at, offsetof(MQCFIN, Value), 0);
        std::memcpy(at + MQCFIN_STRUC_LENGTH, data + kCfh, static_cast<size_t>(length) - kCfh);
        area->used += MQCFIN_STRUC_LENGTH + static_cast<uint32_t>(length) - static_cast<uint32_t>(kCfh);
        mqiPutI32(buffer, kCfhCount, mqiGetI32(buffer, kCfhCount) + mqiGetI32(data, kCfhCount) + 1);
        return 1;
    }
    const uint32_t separator = (area->used > 0 && kind == CMD_RESP_TEXT) ? 1 : 0;
    if (static_cast<uint32_t>(length) + separator > room - area->used) {
        // Larger than a whole reply: sent alone.
        return evSendReply(context, 0, kind, const_cast<uint8_t *>(data), length);
    }
    if (separator) buffer[area->used++] = 0;
    std::memcpy(buffer + area->used, data, static_cast<size_t>(length));
    if (nextSeq != 0 && area->used == 0 && kind == CMD_RESP_PCF && length >= static_cast<int32_t>(kCfh))
        mqiPutI32(buffer, kCfhSeq, nextSeq);
    area->used += static_cast<uint32_t>(length);
    request->collationKind = kind;
    return 1;
}

int evSendReply(QmgrContext *context, uint32_t flags, int32_t kind, uint8_t *data, int32_t length) {
    CmdRequest *request = cmdRequest(context);
    if (request == nullptr || length <= 0 || data == nullptr || request->md == nullptr) return 0;
    if (kind == CMD_RESP_PCF && isTextRequester(request)) {
        const char *text = nullptr;
        int32_t textLength = 0;
        if (!evBuildMqscResponse(context, data, length, &text, &textLength) || textLength == 0) return 0;
        data = reinterpret_cast<uint8_t *>(const_cast<char *>(text));
        length = textLength;
        kind = CMD_RESP_TEXT;
    }
    if (kind == CMD_RESP_TEXT &&
        (request->kind == CMD_KIND_ESCAPE || request->kind == CMD_KIND_EVENT_ESCAPE)) {
        data = escapeResponse(request, data, length, &length);
        if (data == nullptr) return 0;
        kind = CMD_RESP_ESCAPE;
        // Each piece is built anew: its number is the request's count of pieces put.
        mqiPutI32(data, kCfhSeq, request->escapePieces + 1);
    }
    const bool pcf = kind != CMD_RESP_TEXT;
    if (pcf) {
        if (length < static_cast<int32_t>(kCfh)) return 0;
        finishPcfReply(request, data, flags);
        if (kind == CMD_RESP_PCF) labelStrings(request, data, length);
    }
    const MQMD *req = request->md;
    // A datagram (no reply-to queue, as the engine's own sweep message) gets no reply.
    if (cmdBlankName(req->ReplyToQ, sizeof req->ReplyToQ)) return 1;
    // Unlike the documented reply (each piece opens and logs on its own), a reply queue refused or not
    // opened once is not tried again for the request's later pieces: one log line per request.
    if (request->noReply) return 0;
    MQLONG cc = 0;
    MQLONG rc = 0;
    bool refused = false;
    MQHOBJ hobj = openReplyQueue(context, req, &cc, &rc, &refused);
    if (hobj == -1) {
        request->noReply = 1;
        if (!refused) replyOpenFailed(context, req, rc);
        return 0;
    }
    MQMD md = MQMD_DEFAULT;
    md.MsgType = MQMT_REPLY;
    md.Expiry = MQEI_UNLIMITED;
    md.Feedback = MQFB_NONE;
    md.Encoding = MQENC_NATIVE;
    md.CodedCharSetId = CMD_TEXT_CCSID;
    std::memcpy(md.Format, pcf ? MQFMT_ADMIN : MQFMT_STRING, MQ_FORMAT_LENGTH);
    md.Priority = MQPRI_PRIORITY_AS_Q_DEF;
    md.Persistence = MQPER_PERSISTENCE_AS_Q_DEF;
    MQPMO pmo = MQPMO_DEFAULT;
    pmo.Options = (flags & CMD_REPLY_OUTSIDE_UOW) ? MQPMO_NO_SYNCPOINT : MQPMO_SYNCPOINT;
    if (req->Report & MQRO_PASS_MSG_ID)
        std::memcpy(md.MsgId, req->MsgId, sizeof md.MsgId);
    else
        pmo.Options |= MQPMO_NEW_MSG_ID;
    std::memcpy(md.CorrelId, (req->Report & MQRO_PASS_CORREL_ID) ? req->CorrelId : req->MsgId,
                sizeof md.CorrelId);
    MQHCONN hconn = evEventHconn(&context->sets[EV_SET_C]);
    evTraceCallIn("MQPUT(Reply)", hconn, 0, hobj);
    context->event.mq->MQPUT(hconn, hobj, &md, &pmo, length, data, &cc, &rc);
    evTraceCallOut("MQPUT(Reply)", hconn, 0, rc);
    if (cc == MQCC_FAILED) {
        evOutputF(EV_OUT_ERROR, 1, "Error putting to reply queue '%.48s/%.48s on '%s' RC(%d) %s",
                  req->ReplyToQMgr, req->ReplyToQ, context->event.name, rc, reasonDescription(rc));
        return 0;
    }
    // A reply in the unit is counted there, so that set C's sync point at the end of the command
    // commits it even when the handler's own work committed the unit before (string housekeeping's
    // and a copy's commit steps clear what was counted until then).
    if (!(flags & CMD_REPLY_OUTSIDE_UOW)) context->sets[EV_SET_C].io.inFlight++;
    if (kind == CMD_RESP_ESCAPE) request->escapePieces++;
    if (pcf && !(flags & CMD_REPLY_LAST)) mqiPutI32(data, kCfhSeq, mqiGetI32(data, kCfhSeq) + 1);
    return 1;
}

namespace {

// A name of a fixed-length field, up to its first blank or NUL.
size_t nameLength(const MQCHAR *name, size_t size) {
    size_t n = 0;
    while (n < size && name[n] != '\0' && name[n] != ' ') n++;
    return n;
}

}  // namespace

void cmdRefuseReplyQueue(QmgrContext *context, const MQCHAR *qmgr, const MQCHAR *queue) {
    CmdRequest *request = cmdRequest(context);
    if (request != nullptr) {
        if (request->noReply) return;
        request->noReply = 1;
    }
    const size_t q = nameLength(queue, MQ_Q_NAME_LENGTH);
    const size_t m = nameLength(qmgr, MQ_Q_MGR_NAME_LENGTH);
    // The queue is opened before the command runs; a refusal after that (the queue opened again,
    // leading elsewhere now) is of a command that was carried out.
    evOutputF(
        EV_OUT_ERROR, 1, "%s: its reply queue '%.*s/%.*s' on '%s' is %s",
        request != nullptr && request->running ? "Command done, its reply not sent" : "Command refused",
        static_cast<int>(m), qmgr, static_cast<int>(q), queue, context->event.name,
        evIsProgramQueue(context, qmgr, queue) ? "the program's own queue" : "a queue the program reads");
}

int cmdOpenReplyFirst(QmgrContext *context) {
    CmdRequest *request = cmdRequest(context);
    const MQMD *req = request->md;
    if (cmdBlankName(req->ReplyToQ, sizeof req->ReplyToQ)) return 1;
    MQLONG cc = 0;
    MQLONG rc = 0;
    bool refused = false;
    if (openReplyQueue(context, req, &cc, &rc, &refused) != -1) return 1;
    if (refused) return 0;
    request->noReply = 1;
    replyOpenFailed(context, req, rc);
    return 1;
}

bool cmdBlankName(const MQCHAR *name, size_t size) {
    for (size_t i = 0; i < size && name[i] != '\0'; i++)
        if (name[i] != ' ') return false;
    return true;
}

int cmdConvertShown(const char *text, int32_t length, char *out, int32_t *outLength, int32_t fromCcsid,
                    int32_t toCcsid) {
    return MQConvertShown(evContext.event.mq, evEventHconn(&evContext.sets[EV_SET_C]), text, length, out,
                          outLength, fromCcsid, toCcsid, nullptr);
}

int32_t cmdTextCcsid(const CmdRequest *request) {
    // The read converted the request into the queue manager's code page, and its descriptor says
    // which; so was everything the program stored.
    return request != nullptr && request->md != nullptr && request->md->CodedCharSetId > 0
               ? request->md->CodedCharSetId
               : 0;
}

void cmdDynamicName(const char *user, char *out) {
    constexpr size_t kUserMax = 41;  // "ZUNT." + 41 + ".*" fill the 48 bytes
    char cut[kUserMax + 1];
    std::snprintf(cut, sizeof cut, "%s", user);
    char name[49];
    std::snprintf(name, sizeof name, "ZUNT.%s.*", cut);
    static const char kAllowed[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789./_%";
    for (char *p = name; *p; p++)
        if (*p != '*' && std::strchr(kAllowed, *p) == nullptr) *p = '_';
    std::memset(out, ' ', 48);
    std::memcpy(out, name, std::strlen(name));
}

void evCloseReplyCache(QmgrContext *context) {
    auto *state = static_cast<CmdState *>(context->commandState);
    if (state == nullptr || state->cache == nullptr) return;
    for (int i = 0; i < CMD_REPLY_CACHE_SIZE; i++) closeEntry(context, &state->cache[i]);
}
