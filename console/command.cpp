// Command server I/O: a console command goes out as an escape PCF (MQSC text to z/OS) whose MsgId
// names the session, the request and the reply handler; the replies come back on the dynamic reply
// queue, are matched by their CorrelId and become the command's response lines.
#include <strings.h>
#include <cstdio>
#include <cstring>

#include "console/internal.h"

namespace {

// The request MsgId, little-endian: session tag, request number, context, handler, zeros.
constexpr size_t kIdTag = 0;
constexpr size_t kIdRequest = 4;
constexpr size_t kIdContext = 8;
constexpr size_t kIdHandler = 16;
constexpr char kCorrelPrefix[] = "ZUNT Internal Value:";
constexpr size_t kCorrelSequence = 20;

// The escape PCF: MQCFH, MQCFIN (escape type), MQCFST (the text).
constexpr uint32_t kCfhLength = 36;
constexpr uint32_t kCfinLength = 16;
constexpr uint32_t kCfstHeader = 20;
constexpr int32_t kCommandEscape = 38;
constexpr int32_t kCommandOwnEscape = 9022;
constexpr int32_t kCommandResetQStats = 17;
constexpr int32_t kParmEscapeType = 1017;
constexpr int32_t kParmEscapeText = 3014;
constexpr int32_t kEscapeMqsc = 1;
constexpr int32_t kPlatformZos = 1;
constexpr int32_t kMaxDepthLimit = 999999999;  // IBM MQ's largest MAXDEPTH
constexpr uint32_t kReplyBufferInitial = 1024;
constexpr uint32_t kBufferStep = 4096;
constexpr size_t kLineBuffer = 2048;

bool ensureBuffer(cslSession *session, size_t size, char **buffer, uint32_t *capacity) {
    if (size <= *capacity && *buffer != nullptr) return true;
    if (*buffer != nullptr) CSFreeMem(*buffer);
    *capacity = 0;
    size_t rounded = (size + kBufferStep) / kBufferStep * kBufferStep;
    *buffer = static_cast<char *>(CSGetMem(rounded));
    if (*buffer == nullptr) {
        session->resultFlags.fetch_or(CSL_RESULT_NO_STORAGE);
        return false;
    }
    *capacity = static_cast<uint32_t>(rounded);
    return true;
}

void copyBlankPadded(MQCHAR *field, size_t size, const char *text) {
    std::memset(field, ' ', size);
    std::memcpy(field, text, strnlen(text, size));
}

// Builds the escape PCF of a text into the connection's own command buffer: its length, or 0.
uint32_t buildEscape(cslSession *session, cslConnection *c, const char *text, int32_t command) {
    const uint32_t length = static_cast<uint32_t>(std::strlen(text));
    const uint32_t cfst = (length + kCfstHeader + 3) / 4 * 4;
    const uint32_t total = kCfhLength + (command == kCommandResetQStats ? 0 : kCfinLength) + cfst;
    char *buffer = reinterpret_cast<char *>(c->pcfBuffer);
    if (!ensureBuffer(session, total + 1024, &buffer, &c->pcfBufferSize)) return 0;
    c->pcfBuffer = reinterpret_cast<uint8_t *>(buffer);
    uint8_t *m = c->pcfBuffer;
    std::memset(m, 0, total);
    // RESET QSTATS carries only the queue's name; every other command is an escape.
    const bool reset = command == kCommandResetQStats;
    const int32_t header[] = {
        MQCFT_COMMAND, static_cast<int32_t>(kCfhLength), 1, command, 1, MQCFC_LAST, 0, 0, reset ? 1 : 2};
    for (size_t i = 0; i < 9; ++i) mqiPutI32(m, i * 4, header[i]);
    const int32_t cfin[] = {MQCFT_INTEGER, static_cast<int32_t>(kCfinLength), kParmEscapeType, kEscapeMqsc};
    if (!reset)
        for (size_t i = 0; i < 4; ++i) mqiPutI32(m, kCfhLength + i * 4, cfin[i]);
    const size_t at = reset ? kCfhLength : kCfhLength + kCfinLength;
    const int32_t cfstHead[] = {MQCFT_STRING, static_cast<int32_t>(cfst),
                                reset ? MQCA_Q_NAME : kParmEscapeText, 0, static_cast<int32_t>(length)};
    for (size_t i = 0; i < 5; ++i) mqiPutI32(m, at + i * 4, cfstHead[i]);
    std::memcpy(m + at + kCfstHeader, text, length);
    return total;
}

int putCommand(cslSession *session, cslConnection *c, int own, uint32_t request, const void *message,
               uint32_t length, const char *format, uint16_t handler) {
    if (!cslConnected(c)) {
        cslAddOutput(session, cslMainList(session), nullptr, "Not currently connected.", -1, CSL_LINE_ERROR,
                     CSL_CURRENT_COMMAND);
        return 0;
    }
    const bool reopen = own && std::strcmp(c->ownQueueOpen, session->ownQueue) != 0;
    if ((own ? c->ownHobj == -1 || reopen : c->commandHobj == -1) && !cslOpenCommandQueue(session, own, c))
        return 0;
    MQMD md = MQMD_DEFAULT;
    md.MsgType = MQMT_REQUEST;
    md.Report = MQRO_NONE;
    md.Encoding = 546;
    md.CodedCharSetId = 0;
    copyBlankPadded(md.ReplyToQ, sizeof md.ReplyToQ, c->replyQueueName);
    std::memcpy(md.Format, format, sizeof md.Format);
    std::memset(md.MsgId, 0, sizeof md.MsgId);
    mqiPutU32(md.MsgId, kIdTag, static_cast<uint32_t>(session->tag));
    mqiPutU32(md.MsgId, kIdRequest, request);
    mqiPutI64(md.MsgId, kIdContext, 0);  // no handler here reads a context
    mqiPutU16(md.MsgId, kIdHandler, handler);
    std::memcpy(md.CorrelId, kCorrelPrefix, sizeof kCorrelPrefix - 1);
    mqiPutU32(md.CorrelId, kCorrelSequence, cslEventFunctionFlag.load() ? evEventSequence.load() : 0);
    MQPMO pmo = MQPMO_DEFAULT;
    pmo.Options = MQPMO_NO_SYNCPOINT | MQPMO_FAIL_IF_QUIESCING;
    pmo.Timeout = -1;
    MQLONG cc = 0;
    MQLONG rc = 0;
    MQHCONN hconn = c->hconn.load();
    MQHOBJ hobj = own ? c->ownHobj : c->commandHobj;
    // A reply may come back before MQPUT returns: the request counts as put from here on.
    const uint32_t previous = session->requestPut.exchange(request);
    evTraceCallIn("MQPUT(Command)", hconn, EV_TRACE_CONSOLE, hobj);
    c->mqi->MQPUT(hconn, hobj, &md, &pmo, static_cast<MQLONG>(length), const_cast<void *>(message), &cc, &rc);
    evTraceCallOut("MQPUT(Command)", hconn, EV_TRACE_CONSOLE, rc);
    if (cc != MQCC_FAILED) {
        if ((evDebugOptions.load() & EV_OPT_s) != 0) cslTraceStatus(session, "PUTW");
        return 1;
    }
    session->requestPut.store(previous);
    char text[300];
    std::snprintf(text, sizeof text, "Error putting to %s/%s RC(%ld) %s", c->connectedName,
                  own ? session->ownQueue : c->commandQueue, static_cast<long>(rc), evReasonText(rc));
    cslMQFailure(session, rc, text);
    return 0;
}

// The command's echo line for a request, or null when it has left the buffer.
cslOutputLine *findEcho(cslSession *session, uint32_t request) {
    cslOutputLine *echo = session->echoLine;
    if (echo != nullptr && echo->command == request) return echo;
    for (cslOutputLine *l = cslMainList(session)->newest; l != nullptr; l = l->previous) {
        uint32_t kind = l->kind & ~CSL_LINE_HIDDEN;
        if (l->command == request && (kind == CSL_LINE_ECHO || kind == CSL_LINE_ECHO_HIDDEN)) return l;
        if (l->command < request && l->command != 0) break;
    }
    return nullptr;
}

// "AMQ8405:" and "AMQ8405E:" alike.
bool messageIs(const char *text, size_t length, const char *id) {
    size_t n = std::strlen(id);
    if (length < n + 1 || std::strncmp(text, id, n) != 0) return false;
    return text[n] == ':' || (length > n + 1 && text[n + 1] == ':');
}

struct Reply {
    cslSession *session;
    cslOutputLine *echo;
    cslOutputLine *last;  // the last line added for the command
    // A reply of the channel-table edit mode: its texts are the system's own, not a queue
    // manager's; only its display responses are laid out, each list value whole.
    bool edit = false;
};

void addLine(Reply *r, const char *text, size_t length, uint32_t kind, uint32_t flags = 0) {
    // The attribute check shows only what it finds: the displays it issues are hidden lines.
    if (r->session->attributeCheckRunning && (kind & ~CSL_LINE_HIDDEN) != CSL_LINE_ERROR)
        kind |= CSL_LINE_HIDDEN;
    cslOutputLine *after = r->last != nullptr ? r->last : nullptr;
    cslOutputLine *line = cslAddOutput(r->session, cslMainList(r->session), after, text,
                                       static_cast<int64_t>(length), kind, r->echo->command);
    if (line == nullptr) return;
    line->flags |= flags;
    r->last = line;
}

// The column layout of one display response.
struct Layout {
    Reply *reply;
    char line[kLineBuffer];
    size_t used;
    uint32_t kind;
    int lines;
    size_t width;
    size_t column;
    bool firstOfObject;
};

// One line of the response's layout.
void layoutLine(Layout *l, const char *text, size_t length) {
    uint32_t flags = l->kind == CSL_LINE_OBJECT ? CSL_LINE_OF_OBJECT : 0;
    if (l->kind == CSL_LINE_OBJECT && l->firstOfObject) {
        flags |= CSL_LINE_FIRST_OF_OBJECT;
        l->firstOfObject = false;
    }
    addLine(l->reply, text, length, l->kind, flags);
    ++l->lines;
}

void flushLine(Layout *l) {
    if (l->used == 0) return;
    layoutLine(l, l->line, l->used);
    l->used = 0;
}

void placeAttribute(Layout *l, const char *text, size_t length, bool oneColumn, bool wrap) {
    cslSession *session = l->reply->session;
    size_t next = l->used;
    if (l->used > 0) {
        if (oneColumn) {
            flushLine(l);
            next = 0;
        } else if (wrap) {
            next = l->used + 1;
        } else {
            next = ((l->used - 1) / l->column + 1) * l->column;
            if (next <= l->used) next += l->column;
            if (next + length > l->width) {
                flushLine(l);
                next = 0;
            }
        }
    }
    // A line longer than the buffer starts a new line rather than lose the attribute; an attribute
    // longer than a line is a line of its own, shown whole.
    if (next + length > sizeof l->line) {
        flushLine(l);
        next = 0;
    }
    if (length > sizeof l->line) {
        layoutLine(l, text, length);
        return;
    }
    std::memset(l->line + l->used, ' ', next - l->used);
    std::memcpy(l->line + next, text, length);
    l->used = next + length;
    (void)session;
}

bool isTimeKeyword(const char *token, size_t length) {
    static const char *const kTimes[] = {"EVTIME(",   "CONNTI(",   "STARTTI(",  "RESETTI(", "ALERTTI(",
                                         "EXPIRETI(", "INTVLEND(", "INTVLSTA(", "LSTMSGTI("};
    for (const char *k : kTimes)
        if (length > std::strlen(k) && std::strncmp(token, k, std::strlen(k)) == 0) return true;
    return false;
}

// While the attribute check runs: a keyword its DISPLAY row does not hold exactly is reported and
// counted.
void checkAttribute(Reply *r, const char *token, size_t length) {
    cslSession *session = r->session;
    if (!session->attributeCheckRunning || session->checkRow == nullptr ||
        session->checkRow->parms == nullptr)
        return;
    const char *open = static_cast<const char *>(std::memchr(token, '(', length));
    const size_t keyword = open != nullptr ? static_cast<size_t>(open - token) : length;
    for (const char *known : {"CHSTATUS", "QSTATUS", "TPSTATUS", "NOHARDENBO"})
        if (std::strlen(known) == keyword && std::strncmp(token, known, keyword) == 0) return;
    if (keyword == 8 && std::strncmp(token, "SERVCOMP", 8) == 0 &&
        std::strcmp(session->checkRow->object, "AUTHSERV") == 0)
        return;
    auto known = [session](const char *name, size_t nameLength) {
        for (const evParmDef *row = session->checkRow->parms; row->keyword != nullptr; ++row)
            if (std::strlen(row->keyword) == nameLength && std::strncmp(row->keyword, name, nameLength) == 0)
                return true;
        return false;
    };
    if (known(token, keyword)) return;
    // Unlike the documented list, the negative form of any known flag (NOTRIGGER, NOSHARE) is handled:
    // IBM MQ shows it in place of the flag.
    if (open == nullptr && keyword > 2 && std::strncmp(token, "NO", 2) == 0 && known(token + 2, keyword - 2))
        return;
    char text[200];
    std::snprintf(text, sizeof text, "  Unhandled attribute %.*s", static_cast<int>(keyword), token);
    addLine(r, text, std::strlen(text), CSL_LINE_ERROR);
    ++session->unhandledCount;
}

void formatResponseAttrs(Reply *r, const char *text, size_t length) {
    cslSession *session = r->session;
    Layout l{};
    l.reply = r;
    l.width = session->screenWidth <= 0 ? 80 : static_cast<size_t>(session->screenWidth);
    int32_t columns = session->columns;
    if (columns <= 0)
        columns = static_cast<int32_t>(l.width /
                                       static_cast<size_t>(session->colwidth > 0 ? session->colwidth : 20));
    if (columns < 1) columns = 1;
    l.column = l.width / static_cast<size_t>(columns);
    if (l.column < 1) l.column = 1;
    bool headerPlaced = length >= 12 && (std::strncmp(text, "TYPE(HANDLE)", 12) == 0 ||
                                         std::strncmp(text, "QSTATS(", 7) == 0);
    l.kind = headerPlaced ? CSL_LINE_OBJECT : CSL_LINE_RESPONSE;
    l.firstOfObject = true;
    CslAttrCursor cursor{text, length, 0, 0, r->edit ? 1 : 0, length};
    // A token is never longer than the response: one that outgrows a line's buffer is read whole.
    char onStack[kLineBuffer];
    char *buffer = onStack;
    size_t bufferSize = sizeof onStack;
    if (length + 2 > sizeof onStack) {
        buffer = static_cast<char *>(CSGetMem(length + 2));
        bufferSize = length + 2;
        if (buffer == nullptr) {
            addLine(r, "Unable to allocate storage", 26, CSL_LINE_ERROR);
            session->resultFlags.fetch_or(CSL_RESULT_NO_STORAGE);
            return;
        }
    }
    const char *token = buffer;
    size_t tokenLength = 0;
    int keyword = 0;
    while (cslParseResponseAttrs(&cursor, buffer, bufferSize, &tokenLength, &keyword)) {
        token = buffer;
        if (!keyword) {
            flushLine(&l);
            bool header = cslClassifyResponse(token, tokenLength) != 0;
            addLine(r, token, tokenLength, header ? CSL_LINE_HEADER : CSL_LINE_RESPONSE);
            if (header) {
                headerPlaced = true;
                l.kind = CSL_LINE_OBJECT;
            }
            continue;
        }
        checkAttribute(r, token, tokenLength);
        char local[256];
        if (isTimeKeyword(token, tokenLength) && cslFormatUtcDate(token, tokenLength, local, sizeof local)) {
            token = local;
            tokenLength = std::strlen(local);
        }
        placeAttribute(&l, token, tokenLength, columns == 1, session->wrap != 0);
    }
    flushLine(&l);
    if (buffer != onStack) CSFreeMem(buffer);
    if (l.lines >= 2) r->echo->flags |= CSL_CMD_MULTILINE;
    if ((r->echo->flags & CSL_CMD_MULTILINE) != 0 && r->echo->matched >= 2)
        r->echo->flags |= CSL_SHOW_SEPARATORS;
}

void outputResponse(Reply *r, const char *text, size_t length) {
    cslSession *session = r->session;
    cslOutputLine *echo = r->echo;
    while (length > 0 && (*text == '\n' || *text == ' ')) {
        ++text;
        --length;
    }
    if (length == 0) return;
    const bool handle = length >= 12 && std::strncmp(text, "TYPE(HANDLE)", 12) == 0;
    const bool display = cslClassifyResponse(text, length) != 0;
    if (display || handle) ++echo->received;
    echo->flags |= CSL_CMD_RECEIVED;
    if (echo->filters != nullptr && (echo->flags & (CSL_CMD_FAILED | CSL_SHOW_ALTER)) == 0 &&
        !cslMatchResponse(session, echo, text, length))
        return;
    if (messageIs(text, length, "AMQ8135") && (echo->flags & CSL_SHOW_DISPLAY) != 0 && !session->authmsgs)
        return;
    if (handle) addLine(r, " ", 1, CSL_LINE_HEADER);
    echo->flags |= CSL_CMD_MATCHED;
    if (display || handle) ++echo->matched;
    // Unlike the documented layout (every message in columns when formatting is on), a plain message
    // that holds no attribute ("Command '...' can not be issued from an event function") stays one
    // line: in columns its words were shown as keywords.
    const bool attributes = display || handle || std::memchr(text, '(', length) != nullptr;
    bool columns = (echo->flags & CSL_SHOW_FORMATTED) != 0 && (display || !r->edit) && attributes;
    for (const char *id :
         {"AMQ8405", "AMQ8413", "AMQ8421", "AMQ8426", "AMQ8427", "AMQ8463", "AMQ8468", "AMQ8569", "AMQ8326"})
        if (messageIs(text, length, id)) columns = false;
    if (columns) {
        formatResponseAttrs(r, text, length);
        return;
    }
    bool first = true;
    for (size_t at = 0; at < length;) {
        const char *end = static_cast<const char *>(std::memchr(text + at, '\n', length - at));
        size_t n = end != nullptr ? static_cast<size_t>(end - (text + at)) : length - at;
        if (display || handle)
            addLine(r, text + at, n, CSL_LINE_OBJECT_PLAIN,
                    CSL_LINE_OF_OBJECT | (first ? CSL_LINE_FIRST_OF_OBJECT : 0));
        else
            addLine(r, text + at, n, CSL_LINE_RESPONSE);
        first = false;
        at += n + 1;
    }
}

void outputCollation(Reply *r) {
    cslSession *session = r->session;
    cslOutputLine *echo = r->echo;
    if ((echo->flags & CSL_CMD_ENDED) != 0) return;
    echo->flags |= CSL_CMD_ENDED;
    if ((echo->flags & CSL_CMD_FAILED) == 0)
        session->summarySucceeded.fetch_add(1);
    else
        session->summaryFailed.fetch_add(1);
    bool noted = false;
    const struct {
        uint32_t flag;
        const char *text;
    } notes[] = {{CSL_CMD_LIMITED, "Responses limited as requested"},
                 {CSL_CMD_SOURCE_LIMITED, "Source records limited as requested"},
                 {CSL_CMD_COLLATE_UNSUITABLE, "One or more streams not suitable for this Collation Type"}};
    for (const auto &note : notes) {
        if ((echo->flags & note.flag) == 0) continue;
        addLine(r, "", 0, CSL_LINE_HEADER);
        addLine(r, note.text, std::strlen(note.text), CSL_LINE_RESPONSE);
        noted = true;
    }
    if (session->distotals && (echo->flags & CSL_SHOW_DISPLAY) != 0) {
        if (!noted) addLine(r, "", 0, CSL_LINE_HEADER);
        char total[160];
        if (echo->received == echo->matched)
            std::snprintf(total, sizeof total, "%s display responses - Received:%u", "Total", echo->received);
        else
            std::snprintf(total, sizeof total, "%s display responses - Received:%u Matched:%u", "Total",
                          echo->received, echo->matched);
        addLine(r, total, std::strlen(total), CSL_LINE_RESPONSE);
    }
}

// RESET QSTATS comes back as a PCF reply of its own.
void formatResetQStats(Reply *r, uint8_t *data, int32_t length, int32_t reason) {
    if (reason == 3008) return;  // MQRCCF_COMMAND_FAILED: nothing to show
    PcfCursor cursor;
    MQPCFInitParser(&cursor, data, length, 0);
    char attrs[512] = "";
    size_t used = 0;
    const char *parameter = nullptr;
    for (;;) {
        int32_t type = 0, id = 0, n = 0, count = 0, cc = 0, rc = 0;
        void *value = nullptr;
        MQPCFGetNextParm(&cursor, &type, &id, &value, &n, &count, &cc, &rc);
        if (cc != 0) break;
        char item[128] = "";
        if (type == MQCFT_STRING && id == MQCA_Q_NAME) {
            int len = n;
            while (len > 0 && static_cast<char *>(value)[len - 1] == ' ') --len;
            std::snprintf(item, sizeof item, "QSTATS(%.*s) ", len, static_cast<char *>(value));
        } else if (type == MQCFT_INTEGER) {
            int32_t v = 0;
            std::memcpy(&v, value, sizeof v);
            const char *names[] = {"RESETINT", "HIQDEPTH", "MSGSIN", "MSGSOUT"};
            if (id >= 35 && id <= 38) std::snprintf(item, sizeof item, "%s(%d) ", names[id - 35], v);
            if (id == 1012) {
                const evConstEntry *attr = evAttrByValue(v);
                parameter = attr != nullptr ? attr->description : nullptr;
            }
        }
        size_t add = std::strlen(item);
        if (used + add < sizeof attrs) {
            std::memcpy(attrs + used, item, add + 1);
            used += add;
        }
    }
    if (reason == 0) {
        outputResponse(r, "AMQ8409: RESET QSTATS details.", 30);
        outputResponse(r, attrs, used);
        return;
    }
    char text[300];
    std::snprintf(text, sizeof text, "AMQ8147: %s%s%s", evReasonText(reason),
                  parameter != nullptr ? " Parameter: " : "", parameter != nullptr ? parameter : "");
    r->echo->flags |= CSL_CMD_FAILED;
    outputResponse(r, text, std::strlen(text));
}

bool startsWith(const char *text, size_t length, const char *prefix) {
    const size_t n = std::strlen(prefix);
    return length >= n && std::strncmp(text, prefix, n) == 0;
}

// One z/OS response message by its identifier: a display response, plain text, dropped, or a
// queue manager's group header of a CMDSCOPE command.
void processResponseMessage(Reply *r, const char *text, size_t length) {
    cslSession *session = r->session;
    cslOutputLine *echo = r->echo;
    bool display = false;
    if (startsWith(text, length, "CSQN205I") || startsWith(text, length, "CSQN137I") ||
        startsWith(text, length, "CSQN122I")) {
        if (session->formatting) return;
    } else if (startsWith(text, length, "CSQN121I")) {
        if ((echo->flags & CSL_SHOW_FORMATTED) != 0) addLine(r, "", 0, CSL_LINE_SEPARATOR);
        for (size_t at = 0; at < length;) {
            const char *end = static_cast<const char *>(std::memchr(text + at, '\n', length - at));
            size_t n = end != nullptr ? static_cast<size_t>(end - (text + at)) : length - at;
            addLine(r, text + at, n, CSL_LINE_GROUP);
            at += n + 1;
        }
        echo->groupHeader = r->last;
        return;
    } else if (startsWith(text, length, "CSQI010I")) {
        echo->flags &= ~CSL_SHOW_DISPLAY;
    } else if (startsWith(text, length, "CSQH015I") || startsWith(text, length, "CSQJ322I") ||
               startsWith(text, length, "CSQ5100I") || startsWith(text, length, "CSQW127I")) {
        display = true;
        echo->flags &= ~CSL_SHOW_DISPLAY;
    } else if (startsWith(text, length, "CSQ9") || startsWith(text, length, "CSQI") ||
               startsWith(text, length, "CSQN")) {
        display = false;
    } else if (startsWith(text, length, "CSQM")) {
        display = startsWith(text, length, "CSQM4");
    } else {
        display = true;  // other CSQH, CSQJ, CSQ5, CSQW messages and AMQ texts
    }
    if (display) {
        ++echo->received;
        if (echo->groupHeader != nullptr) ++echo->groupHeader->received;
    }
    echo->flags |= CSL_CMD_RECEIVED;
    if (echo->filters != nullptr && (echo->flags & CSL_CMD_FAILED) == 0 &&
        !cslMatchResponse(session, echo, text, length))
        return;
    if (display) {
        echo->flags |= CSL_CMD_MATCHED;
        ++echo->matched;
        if (echo->groupHeader != nullptr) {
            echo->groupHeader->flags |= CSL_CMD_MATCHED;
            ++echo->groupHeader->matched;
        }
        if ((echo->flags & CSL_SHOW_FORMATTED) != 0) {
            formatResponseAttrs(r, text, length);
            return;
        }
    }
    bool first = true;
    for (size_t at = 0; at < length;) {
        const char *end = static_cast<const char *>(std::memchr(text + at, '\n', length - at));
        size_t n = end != nullptr ? static_cast<size_t>(end - (text + at)) : length - at;
        if (display)
            addLine(r, text + at, n, CSL_LINE_OBJECT_PLAIN,
                    CSL_LINE_OF_OBJECT | (first ? CSL_LINE_FIRST_OF_OBJECT : 0));
        else
            addLine(r, text + at, n, CSL_LINE_RESPONSE);
        first = false;
        at += n + 1;
    }
}

// The command's own reason, not the MQ calls' (which all succeeded), becomes the last reason when the
// request completes: a command that failed or was refused is not shown as succeeded. The first holds.
void noteFailure(cslSession *session, int32_t reason) {
    int32_t none = 0;
    session->replyReason.compare_exchange_strong(none, reason != 0 ? reason : MQRCCF_COMMAND_FAILED);
}

// One text reply of a z/OS command server: 1 when the command is complete.
int zosReply(Reply *r, const char *text, size_t length) {
    cslSession *session = r->session;
    cslOutputLine *echo = r->echo;
    const bool ok = startsWith(text, length, "CSQ9022I");
    const bool failed = startsWith(text, length, "CSQ9023E");
    if (!ok && !failed) {
        processResponseMessage(r, text, length);
        return startsWith(text, length, "CSQN122I");
    }
    session->resultFlags.fetch_or(ok ? CSL_RESULT_SUCCEEDED : CSL_RESULT_FAILED);
    if (failed) {
        echo->flags |= CSL_CMD_FAILED;
        noteFailure(session, 0);
    }
    cslOutputLine *group = echo->groupHeader;
    const uint32_t shown = (echo->flags | (group != nullptr ? group->flags : 0)) & CSL_CMD_MATCHED;
    if (shown == 0 || !session->formatting) processResponseMessage(r, text, length);
    if (group == nullptr) return 1;
    if (session->distotals && (echo->flags & CSL_SHOW_DISPLAY) != 0) {
        char total[160];
        if (group->received == group->matched)
            std::snprintf(total, sizeof total, "%s display responses - Received:%u", "Subtotal",
                          group->received);
        else
            std::snprintf(total, sizeof total, "%s display responses - Received:%u Matched:%u", "Subtotal",
                          group->received, group->matched);
        addLine(r, total, std::strlen(total), CSL_LINE_RESPONSE);
        addLine(r, "", 0, CSL_LINE_SEPARATOR);
    }
    echo->groupHeader = nullptr;
    return 0;
}

// Handler 1: the MQSC responses of an ordinary command. Non-zero when the request is complete.
int collectResponses(cslSession *session, cslConnection *c, uint32_t request, const MQMD *md, uint8_t *data,
                     int32_t length) {
    CSRecursiveGuard guard(session->displayLock);
    Reply r{session, findEcho(session, request), nullptr};
    if (r.echo == nullptr) return 1;  // its lines have gone: nothing to add to
    r.last = cslMainList(session)->newest;
    const bool zos = c->platform == kPlatformZos && (std::memcmp(md->Format, "MQCMD1  ", 8) == 0 ||
                                                     std::memcmp(md->Format, "MQCMD2  ", 8) == 0);
    int complete = 0;
    if (zos) {
        complete = zosReply(&r, reinterpret_cast<const char *>(data), static_cast<size_t>(length));
    } else if (length < static_cast<int32_t>(kCfhLength)) {
        // A reply too short to say whether more follow: the command ends failed, not waiting.
        cslAddOutputF(session, CSL_LINE_ERROR, "Command processing RC(%ld) %s", 2071L, evReasonText(2071));
        session->resultFlags.fetch_or(CSL_RESULT_MQ_FAILED);
        r.echo->flags |= CSL_CMD_FAILED;
        noteFailure(session, 2071);
        complete = 1;
    } else {
        int32_t compCode = mqiGetI32(data, 24);
        int32_t reason = mqiGetI32(data, 28);
        const uint32_t notes[] = {CSL_CMD_LIMITED, CSL_CMD_SOURCE_LIMITED, CSL_CMD_COLLATE_UNSUITABLE};
        if (reason >= 10001 && reason <= 10003) {
            r.echo->flags |= notes[reason - 10001];
            compCode = reason = 0;
        }
        if (mqiGetI32(data, 12) == kCommandResetQStats) {
            if (compCode == MQCC_FAILED) noteFailure(session, reason);
            formatResetQStats(&r, data, length, reason);
        } else {
            if (compCode == MQCC_FAILED) {
                session->resultFlags.fetch_or(CSL_RESULT_FAILED);
                noteFailure(session, reason);
                r.echo->flags |= CSL_CMD_FAILED | CSL_CMD_MATCHED;
            } else {
                session->resultFlags.fetch_or(CSL_RESULT_SUCCEEDED);
            }
            PcfCursor cursor;
            MQPCFInitParser(&cursor, data, length, 0);
            for (;;) {
                int32_t type = 0, id = 0, n = 0, count = 0, cc = 0, rc = 0;
                void *value = nullptr;
                MQPCFGetNextParm(&cursor, &type, &id, &value, &n, &count, &cc, &rc);
                if (cc != 0) break;
                if (type != MQCFT_STRING || id != kParmEscapeText) continue;
                const char *text = static_cast<const char *>(value);
                if (messageIs(text, static_cast<size_t>(n), "AMQ8405") ||
                    messageIs(text, static_cast<size_t>(n), "AMQ8147"))
                    r.echo->flags |= CSL_CMD_FAILED;
                for (int32_t at = 0; at < n;) {
                    size_t piece = strnlen(text + at, static_cast<size_t>(n - at));
                    outputResponse(&r, text + at, piece);
                    at += static_cast<int32_t>(piece) + 1;
                }
            }
        }
        complete = (mqiGetI32(data, 20) & MQCFC_LAST) != 0;
    }
    if (complete) {
        if ((r.echo->flags & (CSL_CMD_RECEIVED | CSL_CMD_MATCHED)) == CSL_CMD_RECEIVED)
            addLine(&r, "No matching responses received", 30, CSL_LINE_ERROR);
        outputCollation(&r);
    }
    return complete;
}

// Ends the command failed, with a line when one is given. Complete.
int endFailed(Reply *r, const char *text) {
    if (text != nullptr) addLine(r, text, std::strlen(text), CSL_LINE_ERROR);
    r->echo->flags |= CSL_CMD_FAILED;
    r->session->resultFlags.fetch_or(CSL_RESULT_FAILED);
    noteFailure(r->session, 0);
    outputCollation(r);
    return 1;
}

// The namelist's display read: its names changed by the command's =ADD and =RMV, and the ALTER sent
// as the same request. Complete when the command ended here.
int sendNamelistAlter(Reply *r, cslConnection *c, const char *text, size_t textLength) {
    cslSession *session = r->session;
    size_t spanStart = 0, spanLength = 0, namesLength = 0;
    const char *names = nullptr;
    if (!cslFindKeyword(session, r->echo, 2, text, static_cast<int64_t>(textLength), "NAMES", &spanStart,
                        &spanLength, &names, &namesLength))
        return endFailed(r, nullptr);
    const size_t size = std::strlen(c->namelistCommand) + namesLength * 2 + 4096;
    auto *alter = static_cast<char *>(CSGetMem(size));
    if (alter == nullptr) {
        session->resultFlags.fetch_or(CSL_RESULT_NO_STORAGE);
        return endFailed(r, "Unable to allocate storage");
    }
    int done = 0;
    if (!cslRebuildNamelist(session, c->namelistCommand, names != nullptr ? names : "", namesLength, alter,
                            size)) {
        done = endFailed(r, alter);
    } else {
        c->namelistSent = 1;
        session->summaryIssued.fetch_sub(1);  // the DISPLAY was a step of this command
        if (!cslSendCommand(session, c, alter, CSL_REPLY_COLLECT)) done = endFailed(r, nullptr);
    }
    CSFreeMem(alter);
    return done;
}

// Handler 4: the names of a namelist for its =ADD and =RMV; then the ALTER goes as the same
// request, built in a buffer of its own, and its replies end the command.
int namelistResponse(cslSession *session, cslConnection *c, uint32_t request, const MQMD *, uint8_t *data,
                     int32_t length) {
    CSRecursiveGuard guard(session->displayLock);
    Reply r{session, findEcho(session, request), cslMainList(session)->newest};
    if (r.echo == nullptr) return 1;
    if (c->namelistSent || c->namelistCommand == nullptr) return 0;  // the ALTER's replies end it
    if (request != session->commandNumber) {
        const bool first = (r.echo->flags & CSL_CMD_ABORTED) == 0;
        r.echo->flags |= CSL_CMD_ABORTED;
        return endFailed(&r, first ? "Command aborted" : nullptr);
    }
    if (c->platform == 1) {
        // A z/OS queue manager answers in text, one message a reply: CSQM407I is the display, the
        // completion after it is no longer awaited, a count of responses is shown and waited past.
        const char *text = reinterpret_cast<const char *>(data);
        const size_t textLength = strnlen(text, static_cast<size_t>(length > 0 ? length : 0));
        auto is = [text, textLength](const char *id) {
            return textLength >= std::strlen(id) && std::strncmp(text, id, std::strlen(id)) == 0;
        };
        if (is("CSQ9022")) return 0;
        if (is("CSQM407")) return sendNamelistAlter(&r, c, text, textLength);
        outputResponse(&r, text, textLength);
        return is("CSQN205") ? 0 : endFailed(&r, nullptr);
    }
    if (length < static_cast<int32_t>(kCfhLength)) {
        char text[160];
        std::snprintf(text, sizeof text, "Command processing RC(%ld) %s", 2071L, evReasonText(2071));
        return endFailed(&r, text);
    }
    PcfCursor cursor;
    MQPCFInitParser(&cursor, data, length, 0);
    for (;;) {
        int32_t type = 0, id = 0, n = 0, count = 0, cc = 0, rc = 0;
        void *value = nullptr;
        MQPCFGetNextParm(&cursor, &type, &id, &value, &n, &count, &cc, &rc);
        if (cc != 0) break;
        if (type != MQCFT_STRING || id != kParmEscapeText) continue;
        const char *text = static_cast<const char *>(value);
        const size_t textLength = strnlen(text, static_cast<size_t>(n));
        if (!messageIs(text, textLength, "AMQ8550")) {
            outputResponse(&r, text, textLength);
            return endFailed(&r, nullptr);
        }
        return sendNamelistAlter(&r, c, text, textLength);
    }
    return (mqiGetI32(data, 20) & MQCFC_LAST) != 0 ? endFailed(&r, nullptr) : 0;
}

using ReplyHandler = int (*)(cslSession *, cslConnection *, uint32_t, const MQMD *, uint8_t *, int32_t);
const ReplyHandler kHandlers[CSL_REPLY_HANDLERS] = {nullptr, collectResponses, nullptr, nullptr,
                                                    namelistResponse};

// The one line of a reply queue left as it was made.
void keepsDepth(cslSession *session, cslConnection *c, MQLONG maxDepth, const char *why, long reason) {
    char depth[24] = "";
    if (maxDepth >= 0) std::snprintf(depth, sizeof depth, "(%ld)", static_cast<long>(maxDepth));
    char code[24] = "";
    if (reason != 0) std::snprintf(code, sizeof code, ", RC(%ld)", reason);
    cslAddOutputF(
        session, CSL_LINE_RESPONSE,
        "Reply queue '%s' keeps its MAXDEPTH%s (%s%s): a reply of more messages than that may be cut",
        c->replyQueueName, depth, why, code);
}

// The reply of the reply queue's own ALTER: a line when it was refused, nothing when it was done.
void depthReply(cslSession *session, cslConnection *c, const uint8_t *data, int32_t length) {
    const int32_t reason = length >= static_cast<int32_t>(kCfhLength) ? mqiGetI32(data, 28) : 2071;
    if (length >= static_cast<int32_t>(kCfhLength) && mqiGetI32(data, 24) != MQCC_FAILED) return;
    keepsDepth(session, c, c->replyDepthKept.load(), "ALTER refused", reason);
}

void replyFailure(cslSession *session, cslConnection *c, MQLONG rc) {
    char text[300];
    if (rc == 2009)
        std::snprintf(text, sizeof text, "Connection to Queue Manager has been broken");
    else if (rc == 2161)
        std::snprintf(text, sizeof text, "Queue Manager is ending, disconnecting");
    else if (rc == 2162)
        std::snprintf(text, sizeof text, "Queue Manager is stopping, disconnecting");
    else
        std::snprintf(text, sizeof text, "Error getting from %s/%s RC(%ld) %s", c->connectedName,
                      c->replyQueueName, static_cast<long>(rc), evReasonText(rc));
    cslMQFailure(session, rc, text);
    cslStatusMessage(session, text, 0, 0);
}

}  // namespace

void cslOutputResponse(cslSession *session, cslOutputLine *echo, const char *text, size_t length) {
    if (echo == nullptr) return;
    CSRecursiveGuard guard(session->displayLock);
    Reply r{session, echo, cslMainList(session)->newest};
    r.edit = session->ccdtMode != 0;
    outputResponse(&r, text, length);
}

void cslCountLostCommand(cslSession *session, uint32_t request) {
    CSRecursiveGuard guard(session->displayLock);
    cslOutputLine *echo = findEcho(session, request);
    if (echo != nullptr) {
        if ((echo->flags & CSL_CMD_ENDED) != 0) return;
        echo->flags |= CSL_CMD_ENDED | CSL_CMD_FAILED;
    }
    session->summaryFailed.fetch_add(1);
}

void cslMQFailure(cslSession *session, int32_t reason, const char *text) {
    session->lastReason.store(reason);
    session->resultFlags.fetch_or(CSL_RESULT_MQ_FAILED);
    cslAddOutput(session, cslMainList(session), nullptr, text, -1, CSL_LINE_ERROR, CSL_CURRENT_COMMAND);
}

void cslCloseHandle(cslConnection *c, MQHOBJ *hobj, const char *label) {
    if (*hobj == -1) return;
    MQLONG cc = 0;
    MQLONG rc = 0;
    MQHCONN hconn = c->hconn.load();
    evTraceCallIn(label, hconn, EV_TRACE_CONTROL | EV_TRACE_CONSOLE, *hobj);
    c->mqi->MQCLOSE(hconn, hobj, MQCO_NONE, &cc, &rc);
    evTraceCallOut(label, hconn, EV_TRACE_CONTROL | EV_TRACE_CONSOLE, rc);
    *hobj = -1;
}

int cslOpenCommandQueue(cslSession *session, int own, cslConnection *c) {
    const char *queue = own ? session->ownQueue : c->commandQueue;
    MQHOBJ *hobj = own ? &c->ownHobj : &c->commandHobj;
    if (own) cslCloseHandle(c, hobj, "MQCLOSE(Own)");
    MQOD od = MQOD_DEFAULT;
    od.ObjectType = MQOT_Q;
    copyBlankPadded(od.ObjectName, sizeof od.ObjectName, queue);
    copyBlankPadded(od.ObjectQMgrName, sizeof od.ObjectQMgrName, c->administeredName);
    std::memset(od.DynamicQName, 0, sizeof od.DynamicQName);
    std::memcpy(od.DynamicQName, "AMQ.*", 5);
    char status[CSL_STATUS_TEXT_MAX + 1];
    std::snprintf(status, sizeof status, "Opening command queue '%s/%s' on '%s'", c->administeredName, queue,
                  c->connectedName);
    cslStatusMessage(session, status, 0, 0);
    MQLONG cc = 0;
    MQLONG rc = 0;
    MQHCONN hconn = c->hconn.load();
    evTraceOpenIn("MQOPEN(Command)", hconn, EV_TRACE_CONTROL | EV_TRACE_CONSOLE, &od);
    c->mqi->MQOPEN(hconn, &od, MQOO_OUTPUT, hobj, &cc, &rc);
    evTraceOpenOut("MQOPEN(Command)", hconn, EV_TRACE_CONTROL | EV_TRACE_CONSOLE, &od, *hobj, rc);
    cslStatusMessage(session, "", 0, 0);
    if (cc != MQCC_FAILED) {
        if (own) std::snprintf(c->ownQueueOpen, sizeof c->ownQueueOpen, "%s", queue);
        return 1;
    }
    *hobj = -1;
    char text[300];
    std::snprintf(text, sizeof text, "Error opening command queue '%s/%s' on '%s' RC(%ld) %s",
                  c->administeredName, queue, c->connectedName, static_cast<long>(rc), evReasonText(rc));
    cslMQFailure(session, rc, text);
    return 0;
}

void cslRaiseReplyDepth(cslSession *session, cslConnection *c) {
    c->replyDepthKept.store(-1);
    if (c->replyModelGiven) return;           // the user's own model: its queues keep the depth it gives them
    if (c->platform == kPlatformZos) return;  // its commands and replies are text: not tried there
    // Only a temporary dynamic queue, which ends with the connection, is altered.
    MQOD od = MQOD_DEFAULT;
    copyBlankPadded(od.ObjectName, sizeof od.ObjectName, c->replyQueueName);
    MQHOBJ hobj = -1;
    MQLONG cc = 0;
    MQLONG rc = 0;
    MQHCONN hconn = c->hconn.load();
    evTraceOpenIn("MQOPEN(ReplyInq)", hconn, EV_TRACE_CONTROL | EV_TRACE_CONSOLE, &od);
    c->mqi->MQOPEN(hconn, &od, MQOO_INQUIRE, &hobj, &cc, &rc);
    evTraceOpenOut("MQOPEN(ReplyInq)", hconn, EV_TRACE_CONTROL | EV_TRACE_CONSOLE, &od, hobj, rc);
    MQLONG values[2] = {0, -1};
    if (cc != MQCC_FAILED) {
        MQLONG selectors[2] = {MQIA_DEFINITION_TYPE, MQIA_MAX_Q_DEPTH};
        evTraceCallIn("MQINQ(ReplyInq)", hconn, EV_TRACE_CONTROL | EV_TRACE_CONSOLE, hobj);
        c->mqi->MQINQ(hconn, hobj, 2, selectors, 2, values, 0, nullptr, &cc, &rc);
        evTraceCallOut("MQINQ(ReplyInq)", hconn, EV_TRACE_CONTROL | EV_TRACE_CONSOLE, rc);
        cslCloseHandle(c, &hobj, "MQCLOSE(ReplyInq)");
    }
    if (cc == MQCC_FAILED) {
        keepsDepth(session, c, -1, "not inquired", rc);
        return;
    }
    const MQLONG maxDepth = values[1];
    c->replyDepthKept.store(maxDepth);
    if (values[0] != MQQDT_TEMPORARY_DYNAMIC) {
        keepsDepth(session, c, maxDepth, "not a temporary dynamic queue", 0);
        return;
    }
    if (maxDepth >= kMaxDepthLimit) return;
    // The escape built here, not in the connection's command buffer, and put under request 0,
    // which no command has: its reply is told apart by its handler alone.
    char text[CSL_NAME_MAX + 64];
    std::snprintf(text, sizeof text, "ALTER QLOCAL('%s') MAXDEPTH(%d)", c->replyQueueName, kMaxDepthLimit);
    const uint32_t length = static_cast<uint32_t>(std::strlen(text));
    const uint32_t cfst = (length + kCfstHeader + 3) / 4 * 4;
    const uint32_t total = kCfhLength + kCfinLength + cfst;
    uint8_t message[kCfhLength + kCfinLength + kCfstHeader + sizeof text + 4] = {};
    const int32_t header[] = {
        MQCFT_COMMAND, static_cast<int32_t>(kCfhLength), 1, kCommandEscape, 1, MQCFC_LAST, 0, 0, 2};
    for (size_t i = 0; i < 9; ++i) mqiPutI32(message, i * 4, header[i]);
    const int32_t cfin[] = {MQCFT_INTEGER, static_cast<int32_t>(kCfinLength), kParmEscapeType, kEscapeMqsc};
    for (size_t i = 0; i < 4; ++i) mqiPutI32(message, kCfhLength + i * 4, cfin[i]);
    const int32_t cfstHead[] = {MQCFT_STRING, static_cast<int32_t>(cfst), kParmEscapeText, 0,
                                static_cast<int32_t>(length)};
    for (size_t i = 0; i < 5; ++i) mqiPutI32(message, kCfhLength + kCfinLength + i * 4, cfstHead[i]);
    std::memcpy(message + kCfhLength + kCfinLength + kCfstHeader, text, length);
    MQMD md = MQMD_DEFAULT;
    md.MsgType = MQMT_REQUEST;
    md.Report = MQRO_NONE;
    md.Encoding = 546;
    md.CodedCharSetId = 0;
    copyBlankPadded(md.ReplyToQ, sizeof md.ReplyToQ, c->replyQueueName);
    std::memcpy(md.Format, MQFMT_ADMIN, sizeof md.Format);
    std::memset(md.MsgId, 0, sizeof md.MsgId);
    mqiPutU32(md.MsgId, kIdTag, static_cast<uint32_t>(session->tag));
    mqiPutU16(md.MsgId, kIdHandler, CSL_REPLY_DEPTH);
    MQPMO pmo = MQPMO_DEFAULT;
    pmo.Options = MQPMO_NO_SYNCPOINT | MQPMO_FAIL_IF_QUIESCING;
    evTraceCallIn("MQPUT(Depth)", hconn, EV_TRACE_CONSOLE, c->commandHobj);
    c->mqi->MQPUT(hconn, c->commandHobj, &md, &pmo, static_cast<MQLONG>(total), message, &cc, &rc);
    evTraceCallOut("MQPUT(Depth)", hconn, EV_TRACE_CONSOLE, rc);
    if (cc == MQCC_FAILED) keepsDepth(session, c, maxDepth, "ALTER not put", rc);
}

int cslSendCommand(cslSession *session, cslConnection *c, const char *text, uint16_t handler) {
    const uint32_t request = session->requestPosted.load();
    const int own = session->target == CSL_TARGET_OWN;
    if (handler >= CSL_REPLY_HANDLERS) handler = CSL_REPLY_DISCARD;
    // Counted before the put: its reply may be complete before MQPUT returns. A command that does not
    // go out stays issued and is counted failed by the caller, so that the counts add up.
    session->summaryIssued.fetch_add(1);
    int put = 0;
    if (c->platform == kPlatformZos && !own) {
        put = putCommand(session, c, 0, request, text, static_cast<uint32_t>(std::strlen(text)), MQFMT_STRING,
                         handler);
    } else {
        char queue[CSL_NAME_MAX + 1] = "";
        int isReset = 0;
        if (!own && !cslParseResetQStats(session, text, queue, sizeof queue, &isReset)) return 0;
        const int32_t command = isReset                              ? kCommandResetQStats
                                : own && cslEventFunctionFlag.load() ? kCommandOwnEscape
                                                                     : kCommandEscape;
        const uint32_t length = buildEscape(session, c, isReset ? queue : text, command);
        put = length != 0 && putCommand(session, c, own, request, c->pcfBuffer, length, MQFMT_ADMIN, handler);
    }
    return put;
}

void cslGetReply(cslSession *session, cslConnection *c, uint32_t awaited, int32_t waitMs) {
    if (!ensureBuffer(session, kReplyBufferInitial - 1, &c->replyBuffer, &c->replyBufferSize)) return;
    const bool unlimited = waitMs < 0;
    // The reply reader's get waits a quarter of the connection's wait, at most 5 seconds: a get that
    // outlives its interval tells that the queue manager itself does not answer, which the end of a
    // command's wait must be able to say.
    const int64_t quarter = static_cast<int64_t>(c->waitSeconds) * 250;
    const int32_t readerWaitMs = static_cast<int32_t>(quarter < 250 ? 250 : quarter > 5000 ? 5000 : quarter);
    for (;;) {
        if (c->ending.load()) return;
        MQMD md = MQMD_DEFAULT;
        MQGMO gmo = MQGMO_DEFAULT;
        gmo.Options = MQGMO_NO_SYNCPOINT | MQGMO_FAIL_IF_QUIESCING | MQGMO_CONVERT;
        if (waitMs != 0) {
            gmo.Options |= MQGMO_WAIT;
            gmo.WaitInterval = unlimited ? readerWaitMs : waitMs;
        }
        if (!unlimited)
            cslStatusMessage(session, "Command server or network slow in responding", 0, evTimeNow() + 3);
        MQLONG got = 0;
        MQLONG cc = 0;
        MQLONG rc = 0;
        MQHCONN hconn = c->replyHconn.load();
        evTraceCallIn("MQGET(Reply)", hconn, EV_TRACE_CONSOLE, c->replyHobj);
        c->replyGetWaitMs.store((gmo.Options & MQGMO_WAIT) != 0 ? gmo.WaitInterval : 0);
        c->replyGetSince.store(evTimeNow());
        c->mqi->MQGET(hconn, c->replyHobj, &md, &gmo, static_cast<MQLONG>(c->replyBufferSize - 1),
                      c->replyBuffer, &got, &cc, &rc);
        c->replyGetSince.store(0);
        evTraceCallOut("MQGET(Reply)", hconn, EV_TRACE_CONSOLE, rc);
        if (!unlimited) cslStatusMessage(session, "", 0, evTimeNow());
        if (cc == MQCC_FAILED) {
            if (rc == 2033) {
                if (unlimited) continue;
                return;
            }
            if (rc == 2080) {
                if (!ensureBuffer(session, static_cast<size_t>(got) + 1, &c->replyBuffer,
                                  &c->replyBufferSize))
                    return;
                continue;
            }
            if (rc == 2018 && c->ending.load()) return;
            if (!c->ending.load()) replyFailure(session, c, rc);
            return;
        }
        if (got == 0) {
            if (c->ending.load()) return;
            continue;
        }
        if (mqiGetU32(md.CorrelId, kIdTag) != static_cast<uint32_t>(session->tag)) continue;
        const uint16_t index = mqiGetU16(md.CorrelId, kIdHandler);
        if (index == CSL_REPLY_DEPTH) {  // no command's reply: counted nowhere
            depthReply(session, c, reinterpret_cast<const uint8_t *>(c->replyBuffer), got);
            continue;
        }
        session->repliesReceived.fetch_add(1);
        c->replyBuffer[got] = '\0';
        const uint32_t request = mqiGetU32(md.CorrelId, kIdRequest);
        // A reply that names a request not put yet, or one already complete, is stale or forged.
        if (request > session->requestPut.load() || request <= session->requestCompleted.load()) continue;
        if (request > c->lastReplied.load()) c->lastReplied.store(request);
        if ((evDebugOptions.load() & EV_OPT_s) != 0) cslTraceStatus(session, "GETR");
        ReplyHandler handler = index < CSL_REPLY_HANDLERS ? kHandlers[index] : nullptr;
        if (handler == nullptr) continue;
        if (!handler(session, c, request, &md, reinterpret_cast<uint8_t *>(c->replyBuffer), got)) continue;
        session->lastReason.store(session->replyReason.exchange(0));
        if (unlimited) {
            cslCompleteRequest(session, c, request);
            continue;
        }
        {
            CSRecursiveGuard guard(session->consoleLock);
            if (session->requestCompleted.load() < request) session->requestCompleted.store(request);
        }
        if (request == awaited) return;
    }
}

void cslReplyThread(cslConnection *c) {
    c->replyReaderThreadId.store(csThreadId());
    cslGetReply(c->session, c, 0, -1);
    c->ending.store(1);
    c->replyReaderThreadId.store(0);
    cslEventSet(c->requestEvent);
    c->replyReaderRunning.store(0);
}
