// The channel-table editor's place in the console: the open check of =ccdt, the edit mode's
// command lines, =merge and the version of the records written.
#include <cstdio>
#include <cstring>
#include <string>

#include "ccdt/ccdt.h"
#include "console/console.h"

namespace {

const char *tableName(const cslSession *session) {
    return session->ccdtFile != nullptr ? session->ccdtFile : "*";
}

int32_t openCheck(cslSession *, const char *file, char *message, size_t messageSize) {
    char name[CCDT_PATH_MAX + 1];
    std::snprintf(name, sizeof name, "%s", file);
    ccdtHandle *handle = nullptr;
    int rc = ccdtOpen(1, name, &handle, message, messageSize);
    if (rc == 0) ccdtClose(&handle, message, messageSize);
    return rc;
}

struct EditContext {
    cslSession *session;
    cslOutputLine *echo;
};

void response(void *context, const char *text, size_t length) {
    auto *e = static_cast<EditContext *>(context);
    cslOutputResponse(e->session, e->echo, text, length);
}

int match(void *context, const char *text, size_t length) {
    auto *e = static_cast<EditContext *>(context);
    return e->echo == nullptr || e->echo->filters == nullptr ||
           cslMatchResponse(e->session, e->echo, text, length);
}

// The command is done: its request completed and its echo line ended, which a script's foreach
// waits for before it walks the objects.
void complete(cslSession *session, uint32_t number, cslOutputLine *echo) {
    if (echo != nullptr) echo->flags |= CSL_CMD_ENDED;
    if (session->requestTaken.load() < number) session->requestTaken.store(number);
    if (session->requestCompleted.load() < number) session->requestCompleted.store(number);
}

}  // namespace

int ccdtMqscCommand(cslSession *session, const char *text, int32_t length, int32_t kind) {
    const uint32_t number = session->requestPosted.load();
    session->commandNumber = number;
    const uint32_t lineKind = kind == CSL_REQUEST_LOOP ? CSL_LINE_ECHO_HIDDEN : CSL_LINE_ECHO;
    std::string command(text, length > 0 ? static_cast<size_t>(length) : 0);
    cslOutputLine *echo = cslScript.echoCommand != nullptr
                              ? cslScript.echoCommand(session, 1, 0, command.c_str(), lineKind)
                              : cslAddOutput(session, cslMainList(session), nullptr, command.c_str(), -1,
                                             lineKind, CSL_CURRENT_COMMAND);
    session->echoLine = echo;
    cslConnection *c = &session->ccdtConnection;
    // The mode's request buffer is made on first use; the session frees it at its end.
    if (c->requestText == nullptr) c->requestText = static_cast<char *>(CSGetMem(session->requestBufferSize));
    if (c->requestText == nullptr || command.size() + 1 > session->requestBufferSize) {
        cslAddOutput(session, cslMainList(session), nullptr, "Command too long", -1, CSL_LINE_ERROR,
                     CSL_CURRENT_COMMAND);
        complete(session, number, echo);
        return 0;
    }
    std::memcpy(c->requestText, command.c_str(), command.size() + 1);
    int handled = 0;
    int rc = 1;
    // The modifiers leave their filters on the echo line and the rest of the text behind.
    if (cslApplyModifiers(session, c, &handled)) {
        EditContext context{session, echo};
        const ccdtMqscIo io{&response, &match, &context};
        rc = ccdtMqscRun(tableName(session), c->requestText, io);
    }
    if (rc == CCDT_MQSC_LEAVE) {
        session->ccdtMode = 0;
        if (session->lastServed != nullptr) cslSetCurrentConnection(session, session->lastServed, 0);
        cslBuildPrompt(session, 0);
        rc = 0;
    }
    if (rc != 0) session->summaryFailed.fetch_add(1);
    complete(session, number, echo);
    return rc == 0;
}

namespace {

int editCommand(cslSession *session, const char *text, int32_t length) {
    return ccdtMqscCommand(session, text, length, CSL_REQUEST_COMMAND);
}

int loopCommand(cslSession *session, const char *text, int32_t length) {
    // Counted as the dispatcher counts a command line of the mode, so that its lines are its own.
    session->requestPosted.store(session->requestIssue.fetch_add(1) + 1);
    return ccdtMqscCommand(session, text, length, CSL_REQUEST_LOOP);
}

void sinkWrite(void *context, int kind, const char *text) {
    auto *session = static_cast<cslSession *>(context);
    cslAddOutput(session, cslMainList(session), nullptr, text, -1,
                 kind == 128 ? CSL_LINE_ERROR : CSL_LINE_RESPONSE, CSL_CURRENT_COMMAND);
}

// Each name or pattern of the list (separated by commas or blanks) is merged in turn.
int merge(cslSession *session, const char *fromFile, const char *channels, int replace) {
    const ccdtSink sink{&sinkWrite, session};
    std::string list = channels != nullptr ? channels : "";
    size_t at = 0;
    while (at < list.size()) {
        size_t end = list.find_first_of(", ", at);
        if (end == std::string::npos) end = list.size();
        if (end > at)
            ccdtMigrate(sink, tableName(session), fromFile, list.substr(at, end - at).c_str(), replace);
        at = end + 1;
    }
    return 1;
}

void setOutputVersion(cslSession *, int32_t mqcdVersion) {
    ccdtSetOutputVersion(mqcdVersion);
}

}  // namespace

void ccdtInstall() {
    cslCcdt.openCheck = &openCheck;
    cslCcdt.editCommand = &editCommand;
    cslCcdt.loopCommand = &loopCommand;
    cslCcdt.merge = &merge;
    cslCcdt.setOutputVersion = &setOutputVersion;
}
