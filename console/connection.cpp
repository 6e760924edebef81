// The console's connections to queue managers: the list and the current one, the connect sequence
// with its option retries, the disconnect, the remembered credentials, and the worker thread that
// carries out the console's requests one at a time.
#include <strings.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "console/internal.h"

MQIFunctionTable cslServerTable{};
MQIFunctionTable cslClientTable{};

namespace {

constexpr MQLONG kSharedBlock = 0x40;
constexpr MQLONG kLocalBinding = 0x400;
constexpr MQLONG kClientBinding = 0x800;
constexpr MQLONG kAccounting = 0xA000;
constexpr MQLONG kActivityTrace = 0x10000000;

// Remembered credentials: process-wide, keyed by the queue manager of the connect.
struct Credentials {
    Credentials *next;
    char qmName[CSL_NAME_MAX + 1];
    char *user;
    char *password;
};
CSRecursiveLock credentialsLock{"console credentials"};
Credentials *remembered = nullptr;

// The connection that owns the console link (the one to the engine's event queue manager).
std::atomic<cslConnection *> linkOwner{nullptr};

void freeText(char **text) {
    if (*text != nullptr) CSFreeMem(*text);
    *text = nullptr;
}

char *dupOrNull(const char *text) {
    return text != nullptr ? cslStrDup(text) : nullptr;
}

void forgetCredentials(const char *qmName) {
    CSRecursiveGuard guard(credentialsLock);
    for (Credentials **at = &remembered; *at != nullptr;) {
        if (std::strcmp((*at)->qmName, qmName) == 0) {
            Credentials *gone = *at;
            *at = gone->next;
            freeText(&gone->user);
            freeText(&gone->password);
            CSFreeMem(gone);
        } else {
            at = &(*at)->next;
        }
    }
}

void rememberCredentials(const cslConnection *c) {
    forgetCredentials(c->qmName);
    if (c->user == nullptr) return;
    auto *entry = static_cast<Credentials *>(CSGetMem(sizeof(Credentials)));
    if (entry == nullptr) return;
    std::memset(entry, 0, sizeof *entry);
    std::snprintf(entry->qmName, sizeof entry->qmName, "%s", c->qmName);
    entry->user = dupOrNull(c->user);
    entry->password = dupOrNull(c->connectPassword);
    CSRecursiveGuard guard(credentialsLock);
    entry->next = remembered;
    remembered = entry;
}

// The engine's event queue manager, by the name it connected to.
bool isEngineQmgr(const char *name) {
    const char *engine = evContext.event.name[0] != '\0' ? evContext.event.name : evStart.event.name;
    return engine[0] != '\0' && std::strcmp(engine, name) == 0;
}

void clearLink(const cslConnection *c) {
    cslConnection *owner = const_cast<cslConnection *>(c);
    if (!linkOwner.compare_exchange_strong(owner, nullptr)) return;
    evConsoleLink.hconn.store(-1);
    evConsoleLink.commandQueue.store(-1);
    evConsoleLink.mq.store(nullptr);
}

void setLink(cslConnection *c) {
    linkOwner.store(c);
    evConsoleLink.mq.store(c->mqi);
    evConsoleLink.commandQueue.store(-1);
    evConsoleLink.hconn.store(c->hconn.load());
}

// The current connection's reply queue name, as the command server's intake threads read it.
CSRecursiveLock replyQueueLock;
char currentReplyQueue[CSL_NAME_MAX + 1];

void replyQueueChanged(const char *name) {
    CSRecursiveGuard guard(replyQueueLock);
    std::snprintf(currentReplyQueue, sizeof currentReplyQueue, "%s", name);
}

void disconnectHandle(cslSession *session, cslConnection *c, std::atomic<int32_t> *handle) {
    MQHCONN hconn = handle->exchange(-1);
    if (hconn == -1) return;
    MQLONG cc = 0;
    MQLONG rc = 0;
    evTraceCallIn("MQDISC", hconn, EV_TRACE_CONTROL | EV_TRACE_CONSOLE, 0);
    c->mqi->MQDISC(&hconn, &cc, &rc);
    evTraceCallOut("MQDISC", hconn, EV_TRACE_CONTROL | EV_TRACE_CONSOLE, rc);
    session->lastReason.store(rc != 0 ? rc : CSL_REASON_NOT_CONNECTED);
    session->redraw |= CSL_REDRAW_BOTTOM;
    if (cc == MQCC_FAILED && rc != 2009 && rc != 2161 && rc != 2162)
        cslAddOutputF(session, CSL_LINE_ERROR, "Disconnect failed. RC(%d) %s", rc, evReasonSymbol(rc));
}

// Both handles go (the link first), the queues with them.
void dropHandles(cslSession *session, cslConnection *c) {
    clearLink(c);
    c->commandHobj = -1;
    c->ownHobj = -1;
    c->ownQueueOpen[0] = '\0';
    c->replyHobj = -1;
    c->replyPutHobj = -1;
    disconnectHandle(session, c, &c->replyHconn);
    disconnectHandle(session, c, &c->hconn);
}

// Any failure after the first MQCONNX: nothing of the attempt stays.
int abandonConnect(cslSession *session, cslConnection *c) {
    dropHandles(session, c);
    session->resultFlags.fetch_or(CSL_RESULT_CONNECT_FAILED);
    CSRecursiveGuard guard(session->consoleLock);
    session->current = &session->templateConnection;
    c->ending.store(1);
    return 0;
}

void trimName(char *name, size_t size) {
    size_t n = strnlen(name, size);
    while (n > 0 && (name[n - 1] == ' ' || name[n - 1] == '\t' || name[n - 1] == '\n' || name[n - 1] == '\0'))
        --n;
    name[n < size ? n : size - 1] = '\0';
}

void copyBlankPadded(MQCHAR *field, size_t size, const char *text) {
    std::memset(field, ' ', size);
    std::memcpy(field, text, strnlen(text, size));
}

// The connect options of one attempt.
struct ConnectOptions {
    MQCNO cno;
    MQCSP csp;
    MQSCO sco;
    MQCD channel;
};

void buildOptions(const cslConnection *c, MQLONG options, bool applName, ConnectOptions *o) {
    o->cno = MQCNO_DEFAULT;
    o->cno.Version = 1;
    o->cno.Options = options;
    o->channel = c->channel;
    if (c->explicitChannel) {
        o->cno.Version = 2;
        bool compressed =
            c->channel.HdrCompList[0] != MQCOMPRESS_NONE || c->channel.MsgCompList[0] != MQCOMPRESS_NONE;
        if (compressed && o->channel.Version < 8) o->channel.Version = 8;
        o->cno.ClientConnPtr = &o->channel;
    }
    if (c->ccdtUrl[0] != '\0') {
        o->cno.Version = 6;
        o->cno.CCDTUrlPtr = const_cast<char *>(c->ccdtUrl);
        o->cno.CCDTUrlLength = static_cast<MQLONG>(std::strlen(c->ccdtUrl));
    }
    if (c->channel.CertificateLabel[0] != '\0' && c->channel.CertificateLabel[0] != ' ') {
        if (o->cno.Version < 4) o->cno.Version = 4;
        o->sco = MQSCO_DEFAULT;
        o->sco.Version = 5;
        std::memcpy(o->sco.CertificateLabel, c->channel.CertificateLabel, sizeof o->sco.CertificateLabel);
        o->cno.SSLConfigPtr = &o->sco;
    }
    if (c->user != nullptr || c->connectPassword != nullptr) {
        if (o->cno.Version < 5) o->cno.Version = 5;
        o->csp = MQCSP_DEFAULT;
        o->csp.AuthenticationType = MQCSP_AUTH_USER_ID_AND_PWD;
        if (c->user != nullptr) {
            o->csp.CSPUserIdPtr = c->user;
            o->csp.CSPUserIdLength = static_cast<MQLONG>(std::strlen(c->user));
        }
        if (c->connectPassword != nullptr) {
            o->csp.CSPPasswordPtr = c->connectPassword;
            o->csp.CSPPasswordLength = static_cast<MQLONG>(std::strlen(c->connectPassword));
        }
        o->cno.SecurityParmsPtr = &o->csp;
    }
    if (applName) {
        if (o->cno.Version < 7) o->cno.Version = 7;
        std::memset(o->cno.ApplName, ' ', sizeof o->cno.ApplName);
        std::memcpy(o->cno.ApplName, EV_APPL_NAME, sizeof EV_APPL_NAME - 1);
    }
}

MQLONG connectOnce(cslConnection *c, const char *target, ConnectOptions *o, std::atomic<int32_t> *handle) {
    MQCHAR48 name;
    copyBlankPadded(name, sizeof name, target);
    MQHCONN hconn = -1;
    MQLONG cc = 0;
    MQLONG rc = 0;
    evTraceCallIn("MQCONNX", -1, EV_TRACE_CONTROL | EV_TRACE_CONSOLE, 0);
    c->mqi->MQCONNX(name, &o->cno, &hconn, &cc, &rc);
    evTraceCallOut("MQCONNX", hconn, EV_TRACE_CONTROL | EV_TRACE_CONSOLE | EV_TRACE_SHOW_HC, rc);
    if (cc == MQCC_FAILED) return rc != 0 ? rc : 2059;
    handle->store(hconn);
    return 0;
}

// Step 5: MQCONNX into hconn, dropping what the queue manager refuses. 0, or the reason (reported).
MQLONG connectMain(cslSession *session, cslConnection *c, const char *target, MQLONG *optionsOut,
                   bool *applNameOut) {
    const uint32_t suppress = evConnectSuppress.load();
    MQLONG options = kSharedBlock;
    if ((suppress & kLocalBinding) == 0) options |= c->client ? kClientBinding : kLocalBinding;
    options |= static_cast<MQLONG>(~suppress & static_cast<uint32_t>(kAccounting | kActivityTrace));
    bool applName = true;
    for (;;) {
        ConnectOptions o;
        buildOptions(c, options, applName, &o);
        MQLONG rc = connectOnce(c, target, &o, &c->hconn);
        if (rc == 0) {
            *optionsOut = options;
            *applNameOut = applName;
            return 0;
        }
        const char *clientText = nullptr;
        if (rc == 2046 && (options & kActivityTrace) != 0) {
            options &= ~kActivityTrace;
            continue;
        } else if (rc == 2046 && (options & (kLocalBinding | kClientBinding)) != 0) {
            options &= ~(kLocalBinding | kClientBinding);
            continue;
        } else if (rc == 2046 && (options & kAccounting) != 0) {
            options &= ~kAccounting;
            continue;
        } else if (rc == 2139 && applName) {
            applName = false;
            continue;
        } else if (rc == 2139) {
            clientText = c->ccdtUrl[0] != '\0' ? "A CCDT URL requires an MQ v9 Client or later"
                         : (c->user == nullptr && c->connectPassword == nullptr)
                             ? "A local client definition requires an MQ v5.1 Client or later"
                             : "An explicit client userid/password requires an MQ v6 Client or later";
        } else if (rc == 2035) {
            forgetCredentials(c->qmName);
        } else if (rc == 2568) {
            cslAddOutput(session, cslMainList(session), nullptr,
                         "Check whether client or server bindings is set correctly", -1, CSL_LINE_ERROR,
                         CSL_CURRENT_COMMAND);
        }
        if (clientText != nullptr)
            cslAddOutput(session, cslMainList(session), nullptr, clientText, -1, CSL_LINE_ERROR,
                         CSL_CURRENT_COMMAND);
        else
            cslAddOutputF(session, CSL_LINE_ERROR, "Connect to '%s' failed. RC(%d) %s", target, rc,
                          evReasonSymbol(rc));
        return rc;
    }
}

// Names, command level and platform of the connected queue manager, from its own object.
int inquireQmgr(cslSession *session, cslConnection *c) {
    MQOD od = MQOD_DEFAULT;
    od.ObjectType = MQOT_Q_MGR;
    MQHOBJ hobj = -1;
    MQLONG cc = 0;
    MQLONG rc = 0;
    MQHCONN hconn = c->hconn.load();
    evTraceOpenIn("MQOPEN(Qmgr)", hconn, EV_TRACE_CONTROL | EV_TRACE_CONSOLE, &od);
    c->mqi->MQOPEN(hconn, &od, MQOO_INQUIRE, &hobj, &cc, &rc);
    evTraceOpenOut("MQOPEN(Qmgr)", hconn, EV_TRACE_CONTROL | EV_TRACE_CONSOLE, &od, hobj, rc);
    MQLONG values[2] = {};
    char name[MQ_Q_MGR_NAME_LENGTH];
    std::memset(name, ' ', sizeof name);
    if (cc != MQCC_FAILED) {
        MQLONG selectors[3] = {MQCA_Q_MGR_NAME, MQIA_COMMAND_LEVEL, MQIA_PLATFORM};
        evTraceCallIn("MQINQ(Qmgr)", hconn, EV_TRACE_CONTROL | EV_TRACE_CONSOLE, hobj);
        c->mqi->MQINQ(hconn, hobj, 3, selectors, 2, values, sizeof name, name, &cc, &rc);
        evTraceCallOut("MQINQ(Qmgr)", hconn, EV_TRACE_CONTROL | EV_TRACE_CONSOLE, rc);
        MQLONG closeCc = 0;
        MQLONG closeRc = 0;
        c->mqi->MQCLOSE(hconn, &hobj, MQCO_NONE, &closeCc, &closeRc);
    }
    if (cc == MQCC_FAILED || values[0] == 0) {
        session->lastReason.store(rc);
        cslAddOutputF(session, CSL_LINE_ERROR, "Can not query Queue Manager '%s' command level",
                      c->administeredName[0] != '\0' ? c->administeredName : c->viaName);
        return 0;
    }
    std::memcpy(c->connectedName, name, CSL_NAME_MAX);
    c->connectedName[CSL_NAME_MAX] = '\0';
    trimName(c->connectedName, sizeof c->connectedName);
    if (c->administeredName[0] == '\0')
        std::memcpy(c->administeredName, c->connectedName, sizeof c->connectedName);
    c->commandLevel = values[0];
    c->platform = values[1];
    c->capabilities = QmgrCapabilities{};
    evSetQmgrCapabilities(&c->capabilities, c->platform, c->commandLevel);
    return 1;
}

}  // namespace

int cslCurrentReplyQueue(char out[48]) {
    CSRecursiveGuard guard(replyQueueLock);
    const size_t length = std::strlen(currentReplyQueue);
    if (length == 0) return 0;
    std::memset(out, ' ', 48);
    std::memcpy(out, currentReplyQueue, length < 48 ? length : 48);
    return 1;
}

void cslBuildReplyPrefix(cslSession *session, const cslConnection *c, char *out) {
    char source[CSL_NAME_MAX + 1] = "";
    char variable[32];
    std::snprintf(variable, sizeof variable, "%s_REPLY_PREFIX", "ZUNT");
    const char *environment = std::getenv(variable);
    if (c->replyPrefix[0] != '\0')
        std::snprintf(source, sizeof source, "%s", c->replyPrefix);
    else if (environment != nullptr && environment[0] != '\0')
        std::snprintf(source, sizeof source, "%s", environment);
    else
        std::snprintf(source, sizeof source, "%s", evStart.replyPrefix);
    size_t n = 0;
    for (const char *p = source; *p != '\0' && n < CSL_NAME_MAX; ++p) {
        if (*p != '%' || p[1] == '\0') {
            out[n++] = *p;
            continue;
        }
        char code = *++p;
        if (code == 'U' || code == 'u') {
            cslFetchIdentity(session);
            for (const char *u = session->userName; *u != '\0' && n < CSL_NAME_MAX; ++u)
                out[n++] = code == 'U' && *u >= 'a' && *u <= 'z' ? static_cast<char>(*u - 'a' + 'A') : *u;
        } else {
            out[n++] = code;
        }
    }
    out[n] = '\0';
}

namespace {

MQLONG openQueue(cslConnection *c, MQHCONN hconn, MQOD *od, MQLONG options, MQHOBJ *hobj, const char *label) {
    MQLONG cc = 0;
    MQLONG rc = 0;
    evTraceOpenIn(label, hconn, EV_TRACE_CONTROL | EV_TRACE_CONSOLE, od);
    c->mqi->MQOPEN(hconn, od, options, hobj, &cc, &rc);
    evTraceOpenOut(label, hconn, EV_TRACE_CONTROL | EV_TRACE_CONSOLE, od, *hobj, rc);
    if (cc == MQCC_FAILED) {
        *hobj = -1;
        return rc != 0 ? rc : 2059;
    }
    return 0;
}

// Steps 10 and 11: the dynamic reply queue for input on the reply handle and for output (the
// wake-up) on the main one.
int openReplyQueue(cslSession *session, cslConnection *c) {
    MQOD od = MQOD_DEFAULT;
    copyBlankPadded(od.ObjectName, sizeof od.ObjectName, c->replyModelQueue);
    copyBlankPadded(od.ObjectQMgrName, sizeof od.ObjectQMgrName, c->connectedName);
    char prefix[CSL_NAME_MAX + 1];
    cslBuildReplyPrefix(session, c, prefix);
    std::memset(od.DynamicQName, 0, sizeof od.DynamicQName);
    std::memcpy(od.DynamicQName, prefix, std::strlen(prefix));
    char status[CSL_STATUS_TEXT_MAX + 1];
    std::snprintf(status, sizeof status, "Opening reply queue '%s/%s' on '%s'", c->connectedName,
                  c->replyModelQueue, c->connectedName);
    cslStatusMessage(session, status, 0, 0);
    MQLONG rc = openQueue(c, c->replyHconn.load(), &od, MQOO_INPUT_EXCLUSIVE | MQOO_READ_AHEAD, &c->replyHobj,
                          "MQOPEN(Reply)");
    if (rc == 2046)
        rc = openQueue(c, c->replyHconn.load(), &od, MQOO_INPUT_EXCLUSIVE, &c->replyHobj, "MQOPEN(Reply)");
    if (rc == 0) {
        std::memcpy(c->replyQueueName, od.ObjectName, CSL_NAME_MAX);
        c->replyQueueName[CSL_NAME_MAX] = '\0';
        trimName(c->replyQueueName, sizeof c->replyQueueName);
        MQOD put = MQOD_DEFAULT;
        copyBlankPadded(put.ObjectName, sizeof put.ObjectName, c->replyQueueName);
        rc = openQueue(c, c->hconn.load(), &put, MQOO_OUTPUT, &c->replyPutHobj, "MQOPEN(ReplyPut)");
    }
    cslStatusMessage(session, "", 0, 0);
    if (rc == 0) return 1;
    session->lastReason.store(rc);
    session->resultFlags.fetch_or(CSL_RESULT_REPLY_QUEUE_FAILED);
    cslAddOutputF(session, CSL_LINE_ERROR, "Error opening reply queue '%s/%s' on '%s' RC(%ld) %s",
                  c->connectedName, c->replyModelQueue, c->connectedName, static_cast<long>(rc),
                  evReasonText(rc));
    return 0;
}

// Wakes the reply reader with an empty message and waits up to 5 seconds for it to end.
void wakeReplyThread(cslConnection *c) {
    c->ending.store(1);
    if (!c->replyReaderRunning.load()) return;
    MQMD md = MQMD_DEFAULT;
    std::memcpy(md.Format, MQFMT_STRING, sizeof md.Format);
    MQPMO pmo = MQPMO_DEFAULT;
    pmo.Options = MQPMO_NO_SYNCPOINT;
    MQLONG cc = 0;
    MQLONG rc = 0;
    MQHCONN hconn = c->hconn.load();
    evTraceCallIn("MQPUT(Wake)", hconn, EV_TRACE_CONSOLE, c->replyPutHobj);
    c->mqi->MQPUT(hconn, c->replyPutHobj, &md, &pmo, 0, nullptr, &cc, &rc);
    evTraceCallOut("MQPUT(Wake)", hconn, EV_TRACE_CONSOLE, rc);
    if (cc == MQCC_FAILED) return;  // the reader's own 5-second wait sees `ending`
    for (int i = 0; i < 5 && c->replyReaderRunning.load(); ++i) cslEventWait(c->requestEvent, 1000);
}

void copyOptions(cslConnection *to, const cslConnection *from) {
    std::memcpy(to->viaName, from->viaName, sizeof to->viaName);
    std::memcpy(to->qmName, from->qmName, sizeof to->qmName);
    std::memcpy(to->replyModelQueue, from->replyModelQueue, sizeof to->replyModelQueue);
    to->replyModelGiven = from->replyModelGiven;
    std::memcpy(to->replyPrefix, from->replyPrefix, sizeof to->replyPrefix);
    std::memcpy(to->commandQueue, from->commandQueue, sizeof to->commandQueue);
    std::memcpy(to->ccdtUrl, from->ccdtUrl, sizeof to->ccdtUrl);
    to->client = from->client;
    to->explicitChannel = from->explicitChannel;
    to->channel = from->channel;
    to->waitSeconds = from->waitSeconds;
}

void freeRecord(cslConnection *c) {
    // Nothing of the session may point at the record once it is gone.
    if (cslSession *session = c->session; session != nullptr) {
        CSRecursiveGuard guard(session->consoleLock);
        if (session->lastServed == c) session->lastServed = nullptr;
        if (session->requestConnection == c) session->requestConnection = nullptr;
        if (session->current == c) session->current = &session->templateConnection;
    }
    cslFreeConnection(c);
    if (c->requestText != nullptr) CSFreeMem(c->requestText);
    c->~cslConnection();
    CSFreeMem(c);
}

bool channelEqual(const MQCD &a, const MQCD &b) {
    return a.Version == b.Version && std::memcmp(a.ChannelName, b.ChannelName, sizeof a.ChannelName) == 0 &&
           std::memcmp(a.ConnectionName, b.ConnectionName, sizeof a.ConnectionName) == 0 &&
           std::memcmp(a.CertificateLabel, b.CertificateLabel, sizeof a.CertificateLabel) == 0 &&
           std::memcmp(a.ReceiveUserData, b.ReceiveUserData, sizeof a.ReceiveUserData) == 0 &&
           std::memcmp(a.ReceiveExit, b.ReceiveExit, sizeof a.ReceiveExit) == 0 &&
           std::memcmp(a.SecurityUserData, b.SecurityUserData, sizeof a.SecurityUserData) == 0 &&
           std::memcmp(a.SecurityExit, b.SecurityExit, sizeof a.SecurityExit) == 0 &&
           std::memcmp(a.SendUserData, b.SendUserData, sizeof a.SendUserData) == 0 &&
           std::memcmp(a.SendExit, b.SendExit, sizeof a.SendExit) == 0 &&
           std::memcmp(a.SSLCipherSpec, b.SSLCipherSpec, sizeof a.SSLCipherSpec) == 0 &&
           a.SharingConversations == b.SharingConversations && a.HdrCompList[0] == b.HdrCompList[0] &&
           a.MsgCompList[0] == b.MsgCompList[0];
}

bool sameText(const char *a, const char *b) {
    return (a == nullptr && b == nullptr) || (a != nullptr && b != nullptr && std::strcmp(a, b) == 0);
}

}  // namespace

int cslSameConnection(const cslConnection *t, const cslConnection *r) {
    return !r->ending.load() && t->client == r->client &&
           (std::strcmp(t->viaName, r->viaName) == 0 || std::strcmp(t->viaName, r->connectedName) == 0) &&
           (std::strcmp(t->qmName, r->qmName) == 0 || std::strcmp(t->qmName, r->administeredName) == 0) &&
           std::strcmp(t->commandQueue, r->commandQueue) == 0 &&
           std::strcmp(t->replyModelQueue, r->replyModelQueue) == 0 &&
           std::strcmp(t->ccdtUrl, r->ccdtUrl) == 0 && t->explicitChannel == r->explicitChannel &&
           channelEqual(t->channel, r->channel) && sameText(t->user, r->user) &&
           sameText(t->password, r->password);
}

void cslSetCurrentConnection(cslSession *session, cslConnection *record, int announce) {
    CSRecursiveGuard guard(session->consoleLock);
    if (session->current == record) {
        if (announce && record->connectedName[0] != '\0')
            cslAddOutputF(session, CSL_LINE_RESPONSE, "Already using connection to '%s'",
                          record->connectedName);
    } else {
        session->current = record;
        if (record->connectedName[0] != '\0') {
            cslAddOutputF(session, CSL_LINE_RESPONSE, "Switching to '%s'", record->connectedName);
            replyQueueChanged(record->replyQueueName);
        }
    }
}

namespace {

// A served connect leaves the template as a fresh one (its wait kept): options of that =conn, a
// queue manager to administer among them, must not carry over to the next connect.
void resetTemplate(cslSession *session, cslConnection *t) {
    const int32_t waitSeconds = t->waitSeconds;
    cslReleaseConnectionStrings(t);
    (void)cslInitQmConnection(session, t);  // the scratch buffer exists: it cannot fail
    t->waitSeconds = waitSeconds;
}

}  // namespace

int32_t cslGetConnection(cslSession *session) {
    CSRecursiveGuard guard(session->consoleLock);
    cslConnection *t = &session->templateConnection;
    for (cslConnection **at = &session->connections; *at != nullptr;) {
        cslConnection *c = *at;
        if (cslSameConnection(t, c)) {
            cslSetCurrentConnection(session, c, 1);
            resetTemplate(session, t);
            return 0;
        }
        if (!c->workerRunning.load() && !c->replyReaderRunning.load() && c != session->current) {
            *at = c->next;
            freeRecord(c);
        } else {
            at = &c->next;
        }
    }
    void *memory = CSGetMem(sizeof(cslConnection));
    if (memory == nullptr) return 2071;
    auto *c = new (memory) cslConnection();
    if (!cslInitQmConnection(session, c)) {
        freeRecord(c);
        return 2195;
    }
    copyOptions(c, t);
    c->user = t->user;  // the strings move to the record
    c->password = t->password;
    c->connectPassword = t->connectPassword;
    t->user = t->password = t->connectPassword = nullptr;
    c->requestText = static_cast<char *>(CSGetMem(session->requestBufferSize));
    if (c->requestText == nullptr) cslNoMemory(session, session->requestBufferSize);
    c->requestEvent = cslEventCreate();
    if (c->requestEvent == nullptr) evConsolePrint(2, "Can not create request semaphore\n", -1);
    c->responseEvent = cslEventCreate();
    if (c->responseEvent == nullptr) evConsolePrint(2, "Can not create response semaphore\n", -1);
    resetTemplate(session, t);
    if (c->requestText == nullptr || c->requestEvent == nullptr || c->responseEvent == nullptr) {
        freeRecord(c);
        session->current = t;
        return 2195;
    }
    c->workerRunning.store(1);
    if (!cslStartThread(cslConnectionThread, c)) {
        freeRecord(c);
        session->current = t;
        return 2195;
    }
    c->next = session->connections;
    session->connections = c;
    session->current = c;
    return 0;
}

void cslFreeConnection(cslConnection *record) {
    cslEventFree(record->requestEvent);
    cslEventFree(record->responseEvent);
    record->requestEvent = record->responseEvent = nullptr;
    cslReleaseConnectionStrings(record);
}

int cslRememberedCredentials(const char *qmName, char *user, size_t userSize, char *password,
                             size_t passwordSize) {
    CSRecursiveGuard guard(credentialsLock);
    for (const Credentials *c = remembered; c != nullptr; c = c->next) {
        if (std::strcmp(c->qmName, qmName) != 0) continue;
        std::snprintf(user, userSize, "%s", c->user != nullptr ? c->user : "");
        std::snprintf(password, passwordSize, "%s", c->password != nullptr ? c->password : "");
        return 1;
    }
    return 0;
}

void cslDisconnectAll(cslSession *session) {
    for (cslConnection *c = session->connections; c != nullptr; c = c->next) {
        if (!c->workerRunning.load()) continue;
        if (!cslConnected(c)) {
            c->ending.store(1);  // an idle worker ends at its next wake
            cslEventSet(c->requestEvent);
            continue;
        }
        // Posted, not awaited: a disconnect that hangs must not hold the shutdown, whose wait
        // for the threads is bounded.
        for (int i = 0; i < 100 && session->requestPosted.load() > session->requestTaken.load(); ++i)
            evSleepMs(100);
        if (session->requestPosted.load() > session->requestTaken.load()) return;
        std::snprintf(c->requestText, session->requestBufferSize, "=disc");
        cslPostRequest(session, c, session->requestIssue.fetch_add(1) + 1, CSL_REQUEST_INTERNAL, 1);
    }
}

void cslForgetPassword(cslSession *session) {
    forgetCredentials(session->templateConnection.qmName);
}

int cslConnect(cslSession *session, cslConnection *c) {
    if (cslConnected(c)) {
        wakeReplyThread(c);
        dropHandles(session, c);
    }
    session->lastReason.store(2219);
    MQIFunctionTable *mq = c->client ? &cslClientTable : &cslServerTable;
    if (!MQTableLoaded(mq) && MQLoadLibrary(c->client ? "mqic" : "mqm", mq) != 0) {
        session->lastReason.store(2589);
        cslAddOutput(session, cslMainList(session), nullptr,
                     c->client ? "Can not find IBM MQ Client on this machine"
                               : "Can not find IBM MQ Server on this machine",
                     -1, CSL_LINE_ERROR, CSL_CURRENT_COMMAND);
        return abandonConnect(session, c);
    }
    c->mqi = mq;
    c->ending.store(0);
    c->commandLevel = 0;
    const char *target = c->viaName[0] != '\0' ? c->viaName : c->qmName;
    std::memcpy(c->administeredName, c->qmName, sizeof c->qmName);
    char status[CSL_STATUS_TEXT_MAX + 1];
    std::snprintf(status, sizeof status, "Connecting to '%s'...", target);
    cslStatusMessage(session, status, 0, 0);

    MQLONG options = 0;
    bool applName = true;
    MQLONG rc = connectMain(session, c, target, &options, &applName);
    cslStatusMessage(session, "", 0, 0);
    if (rc != 0) {
        session->lastReason.store(rc);
        return abandonConnect(session, c);
    }
    c->closing.store(0);
    rememberCredentials(c);

    ConnectOptions o;
    buildOptions(c, options, applName, &o);
    rc = connectOnce(c, target, &o, &c->replyHconn);
    if (rc != 0) {
        session->lastReason.store(rc);
        cslAddOutputF(session, CSL_LINE_ERROR, "Connect to '%s' failed. RC(%d) %s", target, rc,
                      evReasonSymbol(rc));
        return abandonConnect(session, c);
    }
    if (!inquireQmgr(session, c)) return abandonConnect(session, c);
    if (isEngineQmgr(c->connectedName)) setLink(c);
    if (!cslOpenCommandQueue(session, 0, c) || !openReplyQueue(session, c)) return abandonConnect(session, c);
    c->replyReaderRunning.store(1);
    if (!cslStartThread(cslReplyThread, c)) {
        c->replyReaderRunning.store(0);
        return abandonConnect(session, c);
    }
    // After the reader starts: it reads the ALTER's reply, and a command's replies behind it.
    cslRaiseReplyDepth(session, c);
    if (session->current == c) replyQueueChanged(c->replyQueueName);
    session->lastReason.store(0);
    if (std::strcmp(c->administeredName, c->connectedName) == 0)
        cslAddOutputF(session, CSL_LINE_RESPONSE, "Connected to '%s'", c->connectedName);
    else
        cslAddOutputF(session, CSL_LINE_RESPONSE, "Connected to '%s' - Administering '%s'", c->connectedName,
                      c->administeredName);
    return 1;
}

int cslDisconnect(cslSession *session, cslConnection *c, int announce) {
    if (!cslConnected(c)) {
        if (announce)
            cslAddOutput(session, cslMainList(session), nullptr, "Not currently connected.", -1,
                         CSL_LINE_ERROR, CSL_CURRENT_COMMAND);
        return 0;
    }
    wakeReplyThread(c);
    dropHandles(session, c);
    if (announce) cslAddOutputF(session, CSL_LINE_RESPONSE, "Disconnected from '%s'", c->connectedName);
    session->redraw |= CSL_REDRAW_BOTTOM;
    CSRecursiveGuard guard(session->consoleLock);
    if (session->current == c) replyQueueChanged("");
    session->current = &session->templateConnection;
    return 1;
}

void cslCompleteRequest(cslSession *session, cslConnection *record, uint32_t request) {
    {
        CSRecursiveGuard guard(session->consoleLock);
        if (session->requestTaken.load() < request) session->requestTaken.store(request);
        if (session->requestCompleted.load() < request) session->requestCompleted.store(request);
    }
    cslEventSet(record->responseEvent);
}
