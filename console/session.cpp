// The console session: its creation with the defaults, the engine's settings applied at each
// connect, and the teardown at shutdown. There is one session per process, published last.
#include <cstdio>
#include <cstring>
#include <new>

#include "cmdserver/cmdserver.h"
#include "console/console.h"
#include "console/internal.h"
#include "emit/emit.h"

std::atomic<cslSession *> gSession{nullptr};
CslScriptServices cslScript{};
CslCcdtServices cslCcdt{};

namespace {

// Seconds the teardown waits for a connection's threads, in 1,000 ms sleeps.
constexpr int kThreadWaits = 10;

int32_t defaultWait(const cslSession *session) {
    return cslFileMode(session) ? 120 : 20;
}

void copyName(char *field, const char *text) {
    std::snprintf(field, CSL_NAME_MAX + 1, "%s", text == nullptr ? "" : text);
}

// A heap copy of a text, null for none or an empty one. *failed is set when storage ran out.
char *copyText(const char *text, int *failed) {
    if (text == nullptr || *text == '\0') return nullptr;
    char *copy = cslStrDup(text);
    if (copy == nullptr) *failed = 1;
    return copy;
}

char *makeBuffer(cslSession *session, uint32_t size, int *failed) {
    auto *buffer = static_cast<char *>(CSGetMem(size));
    if (buffer == nullptr) {
        cslNoMemory(session, size);
        *failed = 1;
        return nullptr;
    }
    std::memset(buffer, CSL_BUFFER_FILL, size);
    return buffer;
}

void setDefaults(cslSession *session, int64_t tag) {
    session->current = &session->templateConnection;
    session->tag = tag;
    session->cmdhist = 50;
    session->history = 20000;
    session->colwidth = 20;
    session->lastReason.store(CSL_REASON_NOT_CONNECTED);
    session->respwait = 5;
    copyName(session->ownQueue, CSL_OWN_QUEUE_DEFAULT);
    session->modeFlags = CSL_MODE_INITIAL;
    session->displayFlags = CSL_DISPLAY_INITIAL;
    session->configNotApplied = 1;
    session->consoleThread = csThreadId();
    session->formatting = 1;
    session->autosep = 1;
    session->distotals = 1;
    session->authmsgs = 1;
    std::snprintf(session->prompt, sizeof session->prompt, "%s", CSL_PROMPT_DEFAULT);
    session->screenHeight = 25;
    session->ccdtVersion = 12;
}

void freeSession(cslSession *session) {
    if (session->outputFile != nullptr && session->outputFileCalls != nullptr &&
        session->outputFileCalls->close != nullptr)
        session->outputFileCalls->close(session->outputFile);
    for (cslOutputList &list : session->screens) cslClearOutput(session, &list, nullptr);
    cslFreeHistory(session);
    cslFreeSynonyms(session);
    if (cslScript.freeProgram != nullptr) cslScript.freeProgram(session);
    cslReleaseConnectionStrings(&session->templateConnection);
    cslReleaseConnectionStrings(&session->ccdtConnection);
    for (char *buffer :
         {session->workBuffer[0], session->workBuffer[1], session->smallBuffer, session->scratch,
          session->lastError, session->ccdtFile, session->outputFileName, session->importPath,
          session->templateConnection.requestText, session->ccdtConnection.requestText}) {
        if (buffer != nullptr) CSFreeMem(buffer);
    }
    session->~cslSession();
    CSFreeMem(session);
}

// Teardown step 5: each connection's threads get up to ten seconds; 0 when one still runs.
int waitForConnections(cslSession *session) {
    for (cslConnection *c = session->connections; c != nullptr; c = c->next) {
        for (int i = 0; i < kThreadWaits && (c->workerRunning.load() || c->replyReaderRunning.load()); ++i)
            evSleepMs(1000);
        if (c->workerRunning.load() || c->replyReaderRunning.load()) return 0;
    }
    while (session->connections != nullptr) {
        cslConnection *c = session->connections;
        session->connections = c->next;
        cslFreeConnection(c);
        if (c->requestText != nullptr) CSFreeMem(c->requestText);
        c->~cslConnection();
        CSFreeMem(c);
    }
    return 1;
}

void endSessionSlot() {
    cslEndSession();
}

// The engine's "=conn": 0 only when no connection record could be had.
int issueSlot(const char *text, int32_t length, int32_t kind, int32_t force, int32_t wait) {
    cslSession *session = gSession.load();
    if (session == nullptr) return 0;
    char command[64];
    std::snprintf(command, sizeof command, "%.*s", length < 0 ? 63 : length, text);
    return cslIssueMQCommand(session, command, kind, force, 0, wait, nullptr);
}

}  // namespace

char *cslStrDup(const char *text) {
    size_t n = std::strlen(text) + 1;
    auto *copy = static_cast<char *>(CSGetMem(n));
    if (copy != nullptr) std::memcpy(copy, text, n);
    return copy;
}

void cslNoMemory(cslSession *session, uint64_t size) {
    char text[64];
    std::snprintf(text, sizeof text, "Can not allocate %d bytes\n", static_cast<int>(size));
    evConsolePrint(2, text, -1);
    if (session != nullptr) session->resultFlags.fetch_or(CSL_RESULT_NO_STORAGE);
}

int cslInitQmConnection(cslSession *session, cslConnection *record) {
    char *requestText = record->requestText;
    record->~cslConnection();
    new (record) cslConnection();
    record->requestText = requestText;
    record->session = session;
    record->hconn.store(-1);
    record->replyHconn.store(-1);
    record->commandLevel = -1;
    record->commandHobj = -1;
    record->replyHobj = -1;
    record->replyPutHobj = -1;
    copyName(record->replyModelQueue,
             evStart.modelQueue[0] != '\0' ? evStart.modelQueue : CSL_MODEL_QUEUE_DEFAULT);
    record->replyModelGiven = evStart.modelQueue[0] != '\0';
    copyName(record->commandQueue, CSL_COMMAND_QUEUE_DEFAULT);
    record->channel = MQCD_DEFAULT;
    record->channel.ChannelType = MQCHT_CLNTCONN;
    record->channel.TransportType = MQXPT_TCP;
    mqiSetPrefix(record->channel.ChannelName, CSL_CHANNEL_DEFAULT);
    mqiSetPrefix(record->channel.ConnectionName, "localhost");
    record->channel.MaxMsgLength = 0x400000;
    record->waitSeconds = defaultWait(session);
    if (session->scratch == nullptr) {
        int failed = 0;
        session->scratch = makeBuffer(session, CSL_BUFFER_SIZE, &failed);
        if (failed) return 0;
    } else {
        std::memset(session->scratch, CSL_BUFFER_FILL, CSL_BUFFER_SIZE);
    }
    return 1;
}

void cslReleaseConnectionStrings(cslConnection *record) {
    for (char **text : {&record->user, &record->password, &record->connectPassword, &record->replyBuffer,
                        &record->namelistCommand}) {
        if (*text != nullptr) CSFreeMem(*text);
        *text = nullptr;
    }
    if (record->pcfBuffer != nullptr) CSFreeMem(record->pcfBuffer);
    record->pcfBuffer = nullptr;
}

int cslCreateSession(int64_t *tag) {
    if (gSession.load() != nullptr) return 0;  // never a second one: it would drop the first
    void *memory = CSGetMem(sizeof(cslSession));
    if (memory == nullptr) {
        cslNoMemory(nullptr, sizeof(cslSession));
        return 1;
    }
    auto *session = new (memory) cslSession();
    *tag = evTimeNow();
    setDefaults(session, *tag);

    int failed = 0;
    if (!cslInitQmConnection(session, &session->templateConnection) ||
        !cslInitQmConnection(session, &session->ccdtConnection))
        failed = 1;
    session->templateConnection.waitSeconds = defaultWait(session);
    session->requestBufferSize = CSL_BUFFER_SIZE;
    for (char *&buffer : session->workBuffer)
        if (!failed) buffer = makeBuffer(session, CSL_BUFFER_SIZE, &failed);
    if (!failed) session->smallBuffer = makeBuffer(session, CSL_SMALL_BUFFER_SIZE, &failed);
    // The console and display locks are built with the record: nothing to create that could fail.
    session->screenWidth = 80;
    cslSession *none = nullptr;
    if (failed || !gSession.compare_exchange_strong(none, session)) {
        freeSession(session);
        return failed ? 1 : 0;
    }
    return 0;
}

int cslApplyConfiguration() {
    cslSession *session = gSession.load();
    if (session == nullptr) {
        int64_t tag = 0;
        if (cslCreateSession(&tag) != 0) return 0;
        session = gSession.load();
    }
    CSRecursiveGuard guard(session->consoleLock);
    session->target = CSL_TARGET_OWN;
    session->configNotApplied = 0;
    cslConnection *t = &session->templateConnection;
    // The program's own connection starts from a fresh template: what a script's =conn left in it
    // (another queue manager to administer, its command queue, a channel) would make the
    // connect via the program's queue manager administer another one.
    cslReleaseConnectionStrings(t);
    (void)cslInitQmConnection(session, t);  // the scratch buffer exists: it cannot fail
    t->client = evStart.client;
    int failed = 0;
    t->user = copyText(evStart.event.userId, &failed);
    t->connectPassword = copyText(evStart.event.password, &failed);
    if (failed) cslNoMemory(session, 0);
    copyName(t->viaName, evStart.event.name);
    session->current = t;
    return 1;
}

int cslEndSession() {
    cslSession *session = gSession.load();
    if (session == nullptr) return 1;
    {
        CSRecursiveGuard scriptGuard(gScriptLock);
        session->stopFlag.store(0);
        session->ending = 1;
        if (cslScript.runEndingHook != nullptr) cslScript.runEndingHook(session);
        if (session->endRequested.load()) evEndFlag.store(1);
    }
    for (int i = 1; i < CSL_SCREENS; ++i) cslClearOutput(session, &session->screens[i], nullptr);
    cslDisconnectAll(session);
    if (!waitForConnections(session)) return 1;  // left in place: a thread may still use it
    gSession.store(nullptr);
    freeSession(session);
    return 1;
}

namespace {

int sessionExists() {
    return gSession.load() != nullptr ? 1 : 0;
}

int endRequested() {
    const cslSession *session = gSession.load();
    return session != nullptr && session->endRequested.load() != 0 ? 1 : 0;
}

void *openOutput(const char *path, int append) {
    CSOutFile *file = nullptr;
    return CSOutFileOpen(path, append, &file) == 0 ? file : nullptr;
}
int writeOutput(void *file, const void *bytes, size_t length) {
    return CSOutFileWrite(static_cast<CSOutFile *>(file), bytes, length);
}
int flushOutput(void *file) {
    return CSOutFileFlush(static_cast<CSOutFile *>(file));
}
void closeOutput(void *file) {
    CSOutFileClose(static_cast<CSOutFile *>(file));
}
const CslFileCalls kOutputFile = {openOutput, writeOutput, flushOutput, closeOutput};

}  // namespace

void cslInstall() {
    evServices.applyConfiguration = cslApplyConfiguration;
    evServices.endSession = endSessionSlot;
    evServices.issueMQCommand = issueSlot;
    evServices.sessionExists = sessionExists;
    evServices.endRequested = endRequested;
    cmdResolveValueName = cslResolveValueNumber;
    cmdConsoleReplyQueue = cslCurrentReplyQueue;
    emitAttributeLookup = cslAttributeById;
    cslOutputFileCalls = &kOutputFile;
}
