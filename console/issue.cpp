// Issuing: the console thread posts one request at a time to the current connection's worker and
// waits for it; the worker runs it (connect, disconnect, a command). =conn turns its options into
// the connection template first.
#include <strings.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "console/internal.h"

namespace {

constexpr int kMaxParameters = 19;
constexpr uint32_t kWorkerBusyWaitMs = 10000;  // a request is outstanding
constexpr uint32_t kWorkerIdleWaitMs = 600000;
constexpr size_t kPasswordMax = 101;
constexpr size_t kLocalLineMax = 1000;  // as a '=' command line may be long
constexpr char kTokenEnds[] = " ()[]!|&<>-+*/=,;\t\n";
const char *const kStatsNouns[] = {"statq", "acctq", "events", "statmqi", "statchl", "acctmqi"};

// One name(value) word of a '=' command's parameter text.
struct Parm {
    const char *name;
    size_t nameLength;
    const char *value;  // null without brackets
    size_t valueLength;
};

// Words: a letter or '=' then letters, digits and '='; an optional bracketed value with nested
// brackets, blanks trimmed inside. The count, or -1 for an unclosed bracket.
int splitParms(const char *text, Parm *parms, int max) {
    int count = 0;
    const char *p = text;
    for (;;) {
        while (*p == ' ' || *p == '\t') ++p;
        if (*p == '\0') return count;
        const char *name = p;
        while (*p != '\0' && *p != '(' && *p != ' ' && *p != '\t') ++p;
        Parm parm{name, static_cast<size_t>(p - name), nullptr, 0};
        while (*p == ' ' || *p == '\t') ++p;
        if (*p == '(') {
            const char *close = scanFindCloseBracket(p + 1, p + std::strlen(p));
            if (close == nullptr) return -1;
            const char *v = p + 1;
            while (v < close && (*v == ' ' || *v == '\t')) ++v;
            const char *e = close;
            while (e > v && (e[-1] == ' ' || e[-1] == '\t')) --e;
            parm.value = v;
            parm.valueLength = static_cast<size_t>(e - v);
            p = close + 1;
        }
        if (count < max) parms[count++] = parm;
    }
}

bool isWord(const Parm &parm, const char *word) {
    return parm.nameLength == std::strlen(word) && strncasecmp(parm.name, word, parm.nameLength) == 0;
}

// The first token of text (blanks skipped) and where it ends.
const char *firstToken(const char *text, size_t *length) {
    while (*text == ' ' || *text == '\t') ++text;
    const char *end = text;
    while (*end != '\0' && std::strchr(kTokenEnds, *end) == nullptr) ++end;
    *length = static_cast<size_t>(end - text);
    return text;
}

bool tokenIs(const char *token, size_t length, const char *word) {
    return length == std::strlen(word) && strncasecmp(token, word, length) == 0;
}

// A DISPLAY of stored records or statistics sent to the own queue takes the local zone.
bool wantsTimeZone(const char *text) {
    size_t length = 0;
    const char *verb = firstToken(text, &length);
    if (!tokenIs(verb, length, "dis") && !tokenIs(verb, length, "display")) return false;
    const char *rest = verb + length;
    while (*rest != '\0' && std::strchr(kTokenEnds, *rest) != nullptr) ++rest;
    const char *noun = firstToken(rest, &length);
    for (const char *stats : kStatsNouns)
        if (tokenIs(noun, length, stats)) return evFindTZ(text) == nullptr;
    return false;
}

bool onConnectionThread(const cslSession *session) {
    const uint32_t me = csThreadId();
    for (const cslConnection *c = session->connections; c != nullptr; c = c->next)
        if (c->workerThreadId.load() == me || c->replyReaderThreadId.load() == me) return true;
    return false;
}

bool engineQmgr(const cslConnection *c) {
    const char *engine = evContext.event.name[0] != '\0' ? evContext.event.name : evStart.event.name;
    return engine[0] != '\0' && std::strcmp(engine, c->connectedName) == 0;
}

void errorLine(cslSession *session, const char *text) {
    cslAddOutput(session, cslMainList(session), nullptr, text, -1, CSL_LINE_ERROR, CSL_CURRENT_COMMAND);
}

cslOutputLine *echo(cslSession *session, const char *text, int32_t kind, uint32_t command) {
    uint32_t lineKind = kind == CSL_REQUEST_LOOP ? CSL_LINE_ECHO_HIDDEN : CSL_LINE_ECHO;
    if (session->attributeCheckRunning) lineKind |= CSL_LINE_HIDDEN;  // the check shows its findings only
    if (cslScript.echoCommand != nullptr) return cslScript.echoCommand(session, 1, 0, text, lineKind);
    return cslAddOutput(session, cslMainList(session), nullptr, text, -1, lineKind, command);
}

// The worker's handlers.

void doSendCommand(cslSession *session, cslConnection *c, uint32_t request) {
    {
        CSRecursiveGuard guard(session->consoleLock);
        if (session->requestTaken.load() < request) session->requestTaken.store(request);
    }
    int handled = 0;
    // A handled command has been replaced by a request of its own (the namelist's names).
    bool sent = false;
    if (!cslApplyModifiers(session, c, &handled))
        session->summaryIssued.fetch_add(1);  // refused here: issued and failed
    else
        sent = handled || cslSendCommand(session, c, c->requestText, CSL_REPLY_COLLECT);
    if (!sent) {
        session->summaryFailed.fetch_add(1);
        cslCompleteRequest(session, c, request);
    }
}

void directCommands(cslSession *session, cslConnection *c, int32_t target) {
    if (!cslConnected(c)) {
        errorLine(session, "Not currently connected.");
        return;
    }
    session->target = target;
    if (target == CSL_TARGET_OWN && !cslOpenCommandQueue(session, 1, c)) return;
    if (cslEchoes(session, CSL_ECHO_RESP))
        cslAddOutput(session, cslMainList(session), nullptr,
                     target == CSL_TARGET_OWN ? "Commands directed to ZUNT" : "Commands directed to IBM MQ",
                     -1, CSL_LINE_RESPONSE, CSL_CURRENT_COMMAND);
}

void doLocalCommand(cslSession *session, cslConnection *c, int32_t kind) {
    // The worker's own work buffer: the session's belong to the console thread, which is waiting.
    char work[kLocalLineMax + 1];
    CslParmPair pairs[CSL_MAX_WORDS];
    if (cslParseCommandParms(session, c->requestText, pairs, work, sizeof work) == 0) return;
    const char *name = pairs[0].row->name;
    if (!std::strcmp(name, "=conn"))
        cslConnect(session, c);
    else if (!std::strcmp(name, "=disc"))
        cslDisconnect(session, c, 1);
    else if (kind == CSL_REQUEST_LOCAL && !std::strcmp(name, "=zunt"))
        directCommands(session, c, CSL_TARGET_OWN);
    else if (kind == CSL_REQUEST_LOCAL && !std::strcmp(name, "=mqsc"))
        directCommands(session, c, CSL_TARGET_MQ);
    else
        errorLine(session, "Unrecognised command");
}

void copyField(char *field, size_t size, const Parm &parm) {
    size_t n = parm.valueLength < size - 1 ? parm.valueLength : size - 1;
    if (parm.value != nullptr) std::memcpy(field, parm.value, n);
    field[parm.value != nullptr ? n : 0] = '\0';
}

template <size_t N>
void copyChannelField(cslSession *session, MQCHAR (&field)[N], const Parm &parm) {
    cslConnection *t = &session->templateConnection;
    std::memset(field, ' ', N);
    if (parm.value != nullptr) std::memcpy(field, parm.value, parm.valueLength < N ? parm.valueLength : N);
    t->client = 1;
    t->explicitChannel = 1;
    cslNoteOptionGroup(session, static_cast<size_t>(reinterpret_cast<const char *>(field) -
                                                    reinterpret_cast<const char *>(&t->channel)));
}

char *heapValue(const Parm &parm) {
    if (parm.value == nullptr || parm.valueLength == 0) return nullptr;
    auto *text = static_cast<char *>(CSGetMem(parm.valueLength + 1));
    if (text == nullptr) return nullptr;
    std::memcpy(text, parm.value, parm.valueLength);
    text[parm.valueLength] = '\0';
    return text;
}

int32_t numberValue(const Parm &parm) {
    char text[16] = "";
    copyField(text, sizeof text, parm);
    int32_t value = 0;
    return evReadInt(text, &value, nullptr) ? value : 0;
}

MQLONG compression(const Parm &parm) {
    static const struct {
        const char *name;
        MQLONG value;
    } kinds[] = {{"any", 0x0fffffff}, {"rle", 1}, {"zlibfast", 2}, {"zlibhigh", 4}};
    for (const auto &k : kinds)
        if (parm.value != nullptr && parm.valueLength == std::strlen(k.name) &&
            strncasecmp(parm.value, k.name, parm.valueLength) == 0)
            return k.value;
    return MQCOMPRESS_NONE;
}

// One =conn option into the template; names not in the table are skipped. Which options were
// given with an empty value for user and pwd is noted for the credentials step.
void applyOption(cslSession *session, const Parm &p, int *userEmpty, int *userGiven, int *pwdGiven) {
    cslConnection *t = &session->templateConnection;
    MQCD &cd = t->channel;
    if (isWord(p, "client")) {
        t->client = 1;
    } else if (isWord(p, "ccdturl")) {
        copyField(t->ccdtUrl, sizeof t->ccdtUrl, p);
    } else if (isWord(p, "cmdq")) {
        copyField(t->commandQueue, sizeof t->commandQueue, p);
    } else if (isWord(p, "qm")) {
        copyField(t->qmName, sizeof t->qmName, p);
    } else if (isWord(p, "via")) {
        copyField(t->viaName, sizeof t->viaName, p);
    } else if (isWord(p, "replyq")) {
        copyField(t->replyModelQueue, sizeof t->replyModelQueue, p);
        t->replyModelGiven = 1;
    } else if (isWord(p, "replypfx")) {
        copyField(t->replyPrefix, sizeof t->replyPrefix, p);
    } else if (isWord(p, "wait")) {
        int32_t seconds = numberValue(p);
        t->waitSeconds = seconds < 1 ? 1 : seconds;
    } else if (isWord(p, "user")) {
        if (t->user != nullptr) CSFreeMem(t->user);
        t->user = heapValue(p);
        *userGiven = 1;
        if (t->user == nullptr) *userEmpty = 1;
    } else if (isWord(p, "pwd")) {
        if (t->password != nullptr) CSFreeMem(t->password);
        t->password = heapValue(p);
        *pwdGiven = 1;
        if (t->password == nullptr) *userEmpty = 1;
    } else if (isWord(p, "channel")) {
        copyChannelField(session, cd.ChannelName, p);
    } else if (isWord(p, "conname")) {
        copyChannelField(session, cd.ConnectionName, p);
    } else if (isWord(p, "certlabl")) {
        copyChannelField(session, cd.CertificateLabel, p);
    } else if (isWord(p, "rcvdata")) {
        copyChannelField(session, cd.ReceiveUserData, p);
    } else if (isWord(p, "rcvexit")) {
        copyChannelField(session, cd.ReceiveExit, p);
    } else if (isWord(p, "scydata")) {
        copyChannelField(session, cd.SecurityUserData, p);
    } else if (isWord(p, "scyexit")) {
        copyChannelField(session, cd.SecurityExit, p);
    } else if (isWord(p, "senddata")) {
        copyChannelField(session, cd.SendUserData, p);
    } else if (isWord(p, "sendexit")) {
        copyChannelField(session, cd.SendExit, p);
    } else if (isWord(p, "sslciph")) {
        copyChannelField(session, cd.SSLCipherSpec, p);
    } else if (isWord(p, "sharecnv")) {
        cd.SharingConversations = numberValue(p);
        t->client = 1;
        t->explicitChannel = 1;
        cslNoteOptionGroup(session, offsetof(MQCD, SharingConversations));
    } else if (isWord(p, "comphdr")) {
        t->explicitChannel = 1;
        if (p.value != nullptr && p.valueLength == 6 && strncasecmp(p.value, "system", 6) == 0)
            cd.HdrCompList[0] = MQCOMPRESS_SYSTEM;
    } else if (isWord(p, "compmsg")) {
        t->explicitChannel = 1;
        cd.MsgCompList[0] = compression(p);
    }
}

// Steps 5 and 6: the remembered credentials and the password prompt.
void settleCredentials(cslSession *session, int userEmpty, int userGiven, int pwdGiven) {
    cslConnection *t = &session->templateConnection;
    if (userEmpty) {
        cslForgetPassword(session);
    } else {
        char user[256] = "";
        char password[256] = "";
        if (cslRememberedCredentials(t->qmName, user, sizeof user, password, sizeof password) &&
            !(userGiven && t->user != nullptr && std::strcmp(user, t->user) != 0)) {
            if (!userGiven && user[0] != '\0') t->user = cslStrDup(user);
            if ((!pwdGiven || (t->password != nullptr && t->password[0] == '*')) && password[0] != '\0') {
                if (t->password != nullptr) CSFreeMem(t->password);
                t->password = cslStrDup(password);
            }
        }
    }
    if (t->user == nullptr || t->password == nullptr || t->password[0] == '\0') return;
    if (t->connectPassword != nullptr) CSFreeMem(t->connectPassword);
    if (t->password[0] == '*') {
        char typed[kPasswordMax + 1];
        cslPromptPassword(session, typed);
        t->connectPassword = cslStrDup(typed);
        session->redraw |= CSL_REDRAW_BOTTOM;
    } else {
        t->connectPassword = cslStrDup(t->password);
    }
}

}  // namespace

void cslEchoLine(cslSession *session, const char *text) {
    if (cslScript.echoCommand != nullptr)
        cslScript.echoCommand(session, 1, 0, text, CSL_LINE_ECHO);
    else
        cslAddOutput(session, cslMainList(session), nullptr, text, -1, CSL_LINE_ECHO, CSL_CURRENT_COMMAND);
}

int cslEchoes(cslSession *session, CslEchoSwitch which) {
    return cslScript.echoSwitch == nullptr || cslScript.echoSwitch(session, which, -1) != 0;
}

void cslPromptPassword(cslSession *session, char *buffer) {
    buffer[0] = '\0';
    if (!evKeyboardOpen()) {
        evConsolePrint(2, "Password prompt not supported for non-stdin file\n", -1);
        return;
    }
    const cslConnection *t = &session->templateConnection;
    char prompt[160];
    if (t->qmName[0] != '\0')
        std::snprintf(prompt, sizeof prompt, "QM(%s) User(%s) password > ", t->qmName, t->user);
    else
        std::snprintf(prompt, sizeof prompt, "User(%s) password > ", t->user);
    evConsolePrint(1, prompt, -1);
    evKeysReserve(1);  // the main loop's key polling must not take the password's keys
    size_t n = 0;
    for (;;) {
        int32_t key = evKeyRead(1);
        if (key <= 0 || key == '\r' || key == '\n') break;
        if (key == 8 || key == 127) {
            if (n > 0) {
                --n;
                evConsolePrint(1, "\b \b", -1);
            }
            continue;
        }
        if (n < kPasswordMax) buffer[n++] = static_cast<char>(key);
        evConsolePrint(1, "*", 1);
    }
    evKeysReserve(0);
    buffer[n] = '\0';
    evConsolePrint(1, "\n", 1);
}

void cslNoteOptionGroup(cslSession *session, size_t offset) {
    MQLONG version = 1;
    if (offset == offsetof(MQCD, ConnectionName))
        version = 2;
    else if (offset == offsetof(MQCD, SSLCipherSpec))
        version = 7;
    else if (offset == offsetof(MQCD, SharingConversations))
        version = 9;
    else if (offset == offsetof(MQCD, CertificateLabel))
        version = 11;
    MQCD &cd = session->templateConnection.channel;
    if (cd.Version < version) cd.Version = version;
}

namespace {

// A command that its connection's worker took and that no reply completed: sent, and lost.
bool commandLost(const cslSession *session, uint32_t posted) {
    const cslConnection *c = session->requestConnection;
    return c != nullptr && (c->requestKind == CSL_REQUEST_COMMAND || c->requestKind == CSL_REQUEST_LOOP) &&
           session->requestTaken.load() >= posted && session->requestCompleted.load() < posted;
}

// Gives the posted request up: a late reply completes nothing, and the next command may go at once.
int abandonRequest(cslSession *session, const char *text) {
    bool lost = false;
    uint32_t posted = 0;
    {
        CSRecursiveGuard guard(session->consoleLock);
        posted = session->requestPosted.load();
        lost = commandLost(session, posted);
        if (session->requestTaken.load() < posted) session->requestTaken.store(posted);
        if (session->requestCompleted.load() < posted) session->requestCompleted.store(posted);
        session->waiting.store(0);
    }
    if (lost) cslCountLostCommand(session, posted);
    session->lastReason.store(MQRC_NO_MSG_AVAILABLE);
    session->resultFlags.fetch_or(CSL_RESULT_FAILED);
    errorLine(session, text);
    return 0;
}

// Why a wait without progress ends, by what it waits on: a local command (=disc, =conn...) or the
// put of a command whose MQI call has not returned, a get of the reply queue that has outlived its
// wait interval (the queue manager itself is not answering), no reply at all, or replies that
// stopped coming.
std::string stalledText(const cslConnection *c, int32_t seconds, int32_t replies) {
    char text[400];
    const int64_t now = evTimeNow();
    const int64_t working = c->workerCallSince.load();
    const int64_t getting = c->replyGetSince.load();
    const bool local = c->requestKind != CSL_REQUEST_COMMAND && c->requestKind != CSL_REQUEST_LOOP;
    if (local && working != 0) {
        char command[16];
        std::snprintf(command, sizeof command, "%s", c->requestText);
        command[std::strcspn(command, " (")] = '\0';
        std::snprintf(text, sizeof text,
                      "%s has not completed within %d seconds: queue manager '%s' is not answering its MQI "
                      "call; the command failed",
                      command, static_cast<int>(now - working),
                      c->connectedName[0] != '\0' ? c->connectedName : c->qmName);
    } else if (working != 0) {
        std::snprintf(text, sizeof text,
                      "The command was not put within %d seconds: queue manager '%s' is not answering; the "
                      "command failed",
                      static_cast<int>(now - working), c->connectedName);
    } else if (getting != 0 && (now - getting) * 1000 > c->replyGetWaitMs.load() + 1000) {
        std::snprintf(text, sizeof text,
                      "%s %d seconds: queue manager '%s' is not answering (a get from the reply queue '%s' "
                      "has not returned for %d seconds); the command failed",
                      replies > 0 ? "Replies stopped, none for" : "No reply within", seconds,
                      c->connectedName, c->replyQueueName, static_cast<int>(now - getting));
    } else if (replies <= 0)
        std::snprintf(text, sizeof text,
                      "No reply within %d seconds: the command server of '%s' is not answering; the command "
                      "failed",
                      seconds, c->connectedName);
    else
        std::snprintf(
            text, sizeof text,
            "Replies stopped after %d of them, none for %d seconds: the reply queue '%s' was probably "
            "full (its MAXDEPTH) and the rest lost; the command failed",
            replies, seconds, c->replyQueueName);
    return text;
}

// The program is asked to end (SIGTERM, or STOP EV whose end waits for the hook that issued it).
bool programEnding() {
    return evEndFlag.load() != 0 || evStopPending.load() != 0;
}

}  // namespace

// Unlike the documented unlimited wait of file mode, the wait looks once a second whether the
// program is asked to end: a command server that never answers must not hold the program past
// SIGTERM. Inside an engine hook the wait is limited as well: the command may need the very
// connection set whose callback runs the hook (a suspended set C, or set E held by set C), and would
// never be answered. Elsewhere (a start-up script above all) a wait ends once no reply has arrived
// for the connection's wait (=conn wait(), 120 seconds by default): a command server that does not
// answer, or whose replies no longer fit the reply queue (its MAXDEPTH) and are lost, would otherwise
// hold the console, and the program's start, for ever.
int cslWaitForResponse(cslSession *session, cslConnection *record) {
    const bool limited = session->runningHook.load() > 0;
    const int32_t seconds = record->waitSeconds > 0 ? record->waitSeconds : 1;
    // A wait that began while the program ends already (the ending hook's) keeps its own limit.
    const bool endingBefore = programEnding();
    const int64_t started = evTimeNow();
    int32_t waited = 0;
    const int32_t repliesBefore = session->repliesReceived.load();
    int32_t repliesSeen = repliesBefore;
    int32_t idle = 0;
    for (;;) {
        const uint32_t rc = cslEventWait(record->responseEvent, 1000);
        const bool timedOut = rc == CS_WAIT_TIMEOUT;
        if (!timedOut && rc != CS_WAIT_OBJECT_0) {
            cslStatusMessage(session, "Unexpected error from CSWaitEvent RC(-1)", 0, 0);
            return 0;
        }
        if (timedOut) cslShowStatusInFileMode(session, started);
        CSRecursiveGuard guard(session->consoleLock);
        if (session->requestCompleted.load() >= session->requestPosted.load()) {
            session->waiting.store(0);
            if ((evDebugOptions.load() & EV_OPT_s) != 0) cslTraceStatus(session, "RESP");
            return 1;
        }
        if (!timedOut) continue;
        if (!endingBefore && programEnding()) {
            session->stopFlag.store(1);  // the script reads no further command
            return abandonRequest(session, "Command abandoned: the program is ending");
        }
        if (limited && ++waited >= seconds) {
            char text[80];
            std::snprintf(text, sizeof text, "No response received within %d seconds", seconds);
            return abandonRequest(session, text);
        }
        const int32_t replies = session->repliesReceived.load();
        if (replies != repliesSeen) {
            repliesSeen = replies;
            idle = 0;
        } else if (!limited && ++idle >= seconds) {
            return abandonRequest(session, stalledText(record, seconds, replies - repliesBefore).c_str());
        }
    }
}

int cslIssueMQCommand(cslSession *session, const char *text, int32_t kind, int32_t forceConnect,
                      int32_t quiet, int32_t, cslOutputLine **echoLineOut) {
    if (echoLineOut != nullptr) *echoLineOut = nullptr;
    if ((evDebugOptions.load() & EV_OPT_d) != 0) {
        char trace[300];
        std::snprintf(trace, sizeof trace, "cslIssueMQCommand '%.250s'\n", text);
        evConsolePrint(2, trace, -1);
    }
    if (strcasecmp(text, "end") == 0 || strcasecmp(text, "quit") == 0) {
        uint32_t number = session->requestIssue.fetch_add(1) + 1;
        session->endRequested.store(1);
        echo(session, text, kind, number);
        return 1;
    }
    if (text[0] == '\0') return 0;
    if (onConnectionThread(session)) {
        errorLine(session, "Previous command has not completed yet");
        return 0;
    }
    if (forceConnect || session->connectPending) {
        int32_t result = cslGetConnection(session);
        session->lastReason.store(result);
        if (result != 0) return 0;
        if (cslConnected(session->current)) {
            session->redraw |= CSL_REDRAW_BOTTOM;
            session->servedByExisting = 1;
            return 1;
        }
    }
    session->lastReason.store(2219);
    session->replyReason.store(0);
    const uint32_t number = session->requestIssue.fetch_add(1) + 1;
    session->commandNumber = number;
    if (kind != CSL_REQUEST_INTERNAL) {
        cslOutputLine *line = echo(session, text, kind, number);
        if (line == nullptr) return 0;
        session->echoLine = line;
        if (echoLineOut != nullptr) *echoLineOut = line;
    }
    cslConnection *c = session->current;
    if ((!cslConnected(c) || c->closing.load()) && !forceConnect) {
        if (!(quiet && kind == CSL_REQUEST_INTERNAL)) errorLine(session, "Not currently connected.");
        return 0;
    }
    const bool command = kind == CSL_REQUEST_COMMAND || kind == CSL_REQUEST_LOOP;
    if (command && session->target == CSL_TARGET_OWN && engineQmgr(c) &&
        evSet(EV_SET_C)->consumerStarted.load() == 0) {
        errorLine(session, "ZUNT command server is not running");
        return 0;
    }
    {
        CSRecursiveGuard guard(session->consoleLock);
        if (session->requestPosted.load() > session->requestTaken.load()) {
            guard.unlock();
            const char *busy = c->commandLevel == 0 ? "Still waiting for response to command level query"
                                                    : "Previous command has not completed yet";
            errorLine(session, busy);
            cslStatusMessage(session, busy, 0, 0);
            return 0;
        }
    }
    char zone[32] = "";
    if (command && session->target == CSL_TARGET_OWN && wantsTimeZone(text))
        std::snprintf(zone, sizeof zone, " TZ(%d)", evTzOffset.load());
    const size_t length = std::strlen(text);
    if (length + std::strlen(zone) + 1 > session->requestBufferSize) {
        errorLine(session, "Command too long");
        return 0;
    }
    std::memcpy(c->requestText, text, length);
    std::memcpy(c->requestText + length, zone, std::strlen(zone) + 1);
    if (kind != CSL_REQUEST_INTERNAL) cslMainList(session)->scrolledBack = 0;
    cslPostRequest(session, c, number, kind, quiet);
    const int answered = cslWaitForResponse(session, c);
    // A connection that never learnt its command level ends a source that stops on failure.
    if (c->commandLevel <= 0 && cslScript.stopsOnFailure != nullptr && cslScript.stopsOnFailure(session))
        session->endRequested.store(1);
    return answered;
}

void cslPostRequest(cslSession *session, cslConnection *c, uint32_t number, int32_t kind, int32_t quiet) {
    c->requestKind = kind;
    if (quiet) c->closing.store(1);
    {
        CSRecursiveGuard guard(session->consoleLock);
        session->requestConnection = c;
        session->requestPosted.store(number);
    }
    session->waiting.store(1);
    cslEventSet(c->requestEvent);
}

int cslDoConnectCommand(cslSession *session, const char *text, int32_t kind, const char *parameters) {
    if (kind == CSL_REQUEST_INTERNAL) return 1;
    int userEmpty = 0;
    int userGiven = 0;
    int pwdGiven = 0;
    if (parameters != nullptr) {
        Parm parms[kMaxParameters];
        int count = splitParms(parameters, parms, kMaxParameters);
        if (count < 0) {
            errorLine(session, "Missing closing bracket");
            return 0;
        }
        cslConnection *t = &session->templateConnection;
        cslReleaseConnectionStrings(t);
        (void)cslInitQmConnection(session, t);
        t->waitSeconds = cslFileMode(session) ? 120 : 20;
        for (int i = 0; i < count; ++i) applyOption(session, parms[i], &userEmpty, &userGiven, &pwdGiven);
    }
    if (session->configNotApplied) {
        session->connectPending = 1;
        return 1;
    }
    settleCredentials(session, userEmpty, userGiven, pwdGiven);
    session->connectPending = 0;
    int result =
        cslIssueMQCommand(session, text, kind, 1, 0, session->templateConnection.waitSeconds, nullptr);
    session->redraw |= CSL_REDRAW_BOTTOM;
    return result;
}

void cslConnectionThread(cslConnection *c) {
    cslSession *session = c->session;
    c->workerThreadId.store(csThreadId());
    for (;;) {
        const bool outstanding = session->requestPosted.load() > session->requestCompleted.load();
        cslEventWait(c->requestEvent, outstanding ? kWorkerBusyWaitMs : kWorkerIdleWaitMs);
        if (c->ending.load()) break;
        if (session->requestPut.load() > session->requestCompleted.load())
            cslStatusMessage(session, "Command server or network slow in responding", 0, 0);
        uint32_t request = 0;
        {
            CSRecursiveGuard guard(session->consoleLock);
            if (session->requestConnection == c &&
                session->requestPosted.load() > session->requestTaken.load())
                request = session->requestPosted.load();
        }
        if (request == 0) continue;
        session->requestStart = evTimeNow();
        session->requestDeadline = session->requestStart + 2;
        c->workerCallSince.store(session->requestStart);
        if (c->requestKind == CSL_REQUEST_COMMAND || c->requestKind == CSL_REQUEST_LOOP) {
            doSendCommand(session, c, request);
            c->workerCallSince.store(0);
        } else {
            doLocalCommand(session, c, c->requestKind);
            c->workerCallSince.store(0);
            cslCompleteRequest(session, c, request);
        }
        if (c->ending.load() && !cslConnected(c)) {
            c->workerThreadId.store(0);
            c->workerRunning.store(0);
            return;
        }
    }
    if (cslConnected(c)) cslDisconnect(session, c, 0);
    bool lost = false;
    uint32_t posted = 0;
    {
        CSRecursiveGuard guard(session->consoleLock);
        if (session->requestConnection == c) {
            posted = session->requestPosted.load();
            lost = commandLost(session, posted);
            session->requestTaken.store(session->requestPosted.load());
            session->requestCompleted.store(session->requestPosted.load());
        }
        session->lastReason.store(2059);
    }
    if (lost) cslCountLostCommand(session, posted);
    cslEventSet(c->responseEvent);
    c->workerThreadId.store(0);
    c->workerRunning.store(0);
}
