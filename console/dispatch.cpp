// The one entry of a console command line: a synonym to expand, inline expressions to substitute,
// a find, a local '=' command, the wait, print and fprint statements, or a command for the queue
// manager (or the channel-table editor). Also the self-check that displays every object type and
// counts the reply attributes the console's tables do not know.
#include <strings.h>
#include <cstdio>
#include <cstring>

#include "console/internal.h"

namespace {

constexpr char kSeparators[] = "()[]!|&<>-+*/=,;";
constexpr char kSkips[] = " ()[]!|&<>-+*/=\n\t,;";

void line(cslSession *session, uint32_t kind, const char *text) {
    cslAddOutput(session, cslMainList(session), nullptr, text, -1, kind, CSL_CURRENT_COMMAND);
}

bool tokenIs(const char *token, size_t length, const char *word) {
    return length == std::strlen(word) && strncasecmp(token, word, length) == 0;
}

// Runs a synonym's command: queued as the next input when a script reads the input, else issued
// here, one command per ';'.
void runSynonym(cslSession *session, const cslSynonym *synonym, const char *rest) {
    const char *args = rest;
    while (*args == ' ' || *args == '\t') ++args;
    if (*args == '(') {
        const char *close = scanFindCloseBracket(args + 1, args + std::strlen(args));
        if (close == nullptr) {
            line(session, CSL_LINE_ERROR, "Closing bracket not found on synonym command");
            return;
        }
        if (cslScript.bindParms != nullptr) {
            char parms[CSL_SMALL_BUFFER_SIZE];
            std::snprintf(parms, sizeof parms, "%.*s", static_cast<int>(close - args - 1), args + 1);
            if (!cslScript.bindParms(session, parms)) return;
        }
    }
    if (cslScript.queueText != nullptr) {
        // As a block of its own: a loop's next pass removes it, so each pass runs its own once.
        cslScript.queueText(session, 1, 0, synonym->value);
        return;
    }
    const char *value = synonym->value;
    const char *end = value + std::strlen(value);
    while (value < end) {
        const char *semicolon = scanFindSemicolon(value, end);
        const char *stop = semicolon != nullptr ? semicolon : end;
        char command[CSL_SMALL_BUFFER_SIZE];
        std::snprintf(command, sizeof command, "%.*s", static_cast<int>(stop - value), value);
        cslIssueCommand(session, command);
        value = semicolon != nullptr ? semicolon + 1 : end;
    }
}

// wait: evaluated as a statement while the nesting allows; a wait that reaches itself through
// a user function is refused every time, not only until the first overflow.
void waitStatement(cslSession *session, const char *text) {
    if (cslScript.evaluateToText == nullptr) {
        line(session, CSL_LINE_ERROR, "Unrecognised command");
        return;
    }
    if (++session->nestDepth < CSL_NEST_LIMIT) {
        session->requestIssue.fetch_add(1);
        cslEchoLine(session, text);
        char *value = cslScript.evaluateToText(session, text, -1, 0);
        if (value != nullptr) CSFreeMem(value);
    } else {
        session->nestOverflow = 1;
        line(session, CSL_LINE_ERROR, "Maximum command nest level reached");
    }
    --session->nestDepth;
    cslMainList(session)->scrolledBack = 0;
}

// One line, its inline values substituted unless it is itself a substitution's result.
void dispatch(cslSession *session, const char *text, bool substitute) {
    if ((evDebugOptions.load() & EV_OPT_s) != 0) cslTraceStatus(session, "ISSU");
    const char *cursor = text;
    const char *end = text + std::strlen(text);
    const char *token = nullptr;
    size_t length = 0;
    scanGetToken(&cursor, end, kSeparators, kSkips, &token, &length);
    if (length == 0) return;
    if (const cslSynonym *synonym = cslFindSynonym(session, token, length)) {
        if (session->nestDepth >= CSL_NEST_LIMIT) {
            line(session, CSL_LINE_ERROR, "Maximum command nest level reached");
            return;
        }
        ++session->nestDepth;
        runSynonym(session, synonym, token + length);
        --session->nestDepth;
        return;
    }
    if (std::strcmp(text, "!unhandled!") == 0) {
        cslCheckUnhandledAttributes(session);
        return;
    }
    // Unlike the documented step, the substituted line is handled here, not queued as the next
    // input: read again it was split at ';' and parsed anew, so a quote or ';' in a value (an
    // event's object or user name) ended its string and ran as script. Each value goes in as data
    // of the token it falls in, and the line is never substituted or read again; a line of the main
    // program's loop so also runs once a pass (queued unwrapped, each pass's line stayed in the body).
    if (substitute && std::strchr(text, '<') != nullptr && cslScript.substituteInline != nullptr) {
        int ok = 1;
        char *substituted = cslScript.substituteInline(session, text, &ok);
        if (substituted != nullptr) {
            dispatch(session, substituted, false);
            CSFreeMem(substituted);
            return;
        }
        if (!ok) return;
    }
    if (token[0] == '/') {
        if (!cslIgnoreInFileMode(session, text)) cslParseFind(session, text);
        return;
    }
    if (token[0] == '=') {
        cslIssueLocalCommand(session, text);
        return;
    }
    if (tokenIs(token, length, "wait")) {
        waitStatement(session, text);
        return;
    }
    if (tokenIs(token, length, "print") || tokenIs(token, length, "fprint")) {
        auto statement = length == 5 ? cslScript.print : cslScript.fprint;
        if (statement == nullptr)
            line(session, CSL_LINE_ERROR, "Unrecognised command");
        else
            statement(session, token + length);
        return;
    }
    if (session->ccdtMode && cslCcdt.editCommand != nullptr) {
        const uint32_t number = session->requestIssue.fetch_add(1) + 1;
        session->requestPosted.store(number);
        cslCcdt.editCommand(session, text, static_cast<int32_t>(std::strlen(text)));
        return;
    }
    cslIssueMQCommand(session, text, CSL_REQUEST_COMMAND, 0, 0, 0, nullptr);
}

}  // namespace

void cslIssueCommand(cslSession *session, const char *text) {
    dispatch(session, text, true);
}

void cslIssueSubstitutedCommand(cslSession *session, const char *text) {
    dispatch(session, text, false);
}

int cslCheckDisplayType(cslSession *session, const char *object, const char *command) {
    const cslConnection *c = session->current;
    const cslCommandView view{session->target == CSL_TARGET_OWN, session->ccdtMode,
                              c != nullptr && c->commandLevel > 0 ? &c->capabilities : nullptr};
    char message[CSL_LOOKUP_MESSAGE];
    const cslMqscCommand *row = cslFindMqscCommand(&view, "DISPLAY", object, message);
    session->checkRow = row;
    if (row == nullptr || std::strcmp(row->object, object) != 0) {
        session->checkRow = nullptr;
        return 0;
    }
    char copy[256];
    std::snprintf(copy, sizeof copy, "%s", command);
    cslIssueCommand(session, copy);
    return 1;
}

void cslCheckUnhandledAttributes(cslSession *session) {
    session->attributeCheckRunning = 1;
    session->unhandledCount = 0;
    if (session->ccdtMode) {
        cslCheckDisplayType(session, "CHANNEL", "DISPLAY CHANNEL(*) ALL");
    } else {
        static const char *const kChannels[] = {
            "SYSTEM.DEF.CLUSRCVR", "SYSTEM.DEF.CLUSSDR", "SYSTEM.DEF.RECEIVER", "SYSTEM.DEF.REQUESTER",
            "SYSTEM.DEF.SENDER",   "SYSTEM.DEF.SERVER",  "SYSTEM.DEF.SVRCONN",  "SYSTEM.DEF.CLNTCONN"};
        const struct {
            const char *object;
            const char *command;
            bool distributedOnly;
        } kChecks[] = {
            {"AUTHINFO", "DISPLAY AUTHINFO(*) ALL", false},
            {"AUTHSERV", "DISPLAY AUTHSERV ALL", false},
            {nullptr, nullptr, false},  // the channels
            {"CHLAUTH", "DISPLAY CHLAUTH(*) ALL", false},
            {"CHSTATUS", "DISPLAY CHSTATUS(*) ALL", false},
            {"CLUSQMGR", "DISPLAY CLUSQMGR(*) ALL", false},
            {"COMMINFO", "DISPLAY COMMINFO(SYSTEM.DEFAULT.COMMINFO.MULTICAST) ALL", false},
            {"CONN", "DISPLAY CONN(*) ALL", false},
            {"NAMELIST", "DISPLAY NAMELIST(SYSTEM.DEFAULT.NAMELIST) ALL", false},
            {"PROCESS", "DISPLAY PROCESS(*) ALL", false},
            {"PUBSUB", "DISPLAY PUBSUB ALL", false},
            {"QALIAS", "DISPLAY QUEUE(SYSTEM.DEFAULT.ALIAS.QUEUE) ALL", false},
            {"QLOCAL", "DISPLAY QUEUE(SYSTEM.DEFAULT.LOCAL.QUEUE) ALL", false},
            {"QMODEL", "DISPLAY QUEUE(SYSTEM.DEFAULT.MODEL.QUEUE) ALL", false},
            {"QREMOTE", "DISPLAY QUEUE(SYSTEM.DEFAULT.REMOTE.QUEUE) ALL", false},
            {"QCLUSTER", "DISPLAY QCLUSTER(*) ALL", false},
            {"QMGR", "DISPLAY QMGR ALL", false},
            {"QSTATUS", "DISPLAY QSTATUS(*) ALL", false},
            {"QMSTATUS", "DISPLAY QMSTATUS ALL", true},
            {"LISTENER", "DISPLAY LISTENER(*) ALL", true},
            {"LSSTATUS", "DISPLAY LSSTATUS(*) ALL", true},
            {"SBSTATUS", "DISPLAY SBSTATUS(*) ALL", true},
            {"SERVICE", "DISPLAY SERVICE(*) ALL", true},
            {"SVSTATUS", "DISPLAY SVSTATUS(*) ALL", true},
            {"SUB", "DISPLAY SUB(*) ALL", false},
            {"TCLUSTER", "DISPLAY TCLUSTER(*) ALL", false},
            {"TOPIC", "DISPLAY TOPIC(SYSTEM.DEFAULT.TOPIC) ALL", false},
            {"TPSTATUS", "DISPLAY TPSTATUS('') ALL", false},
        };
        const bool zos = session->current != nullptr && session->current->platform == 1;
        for (const auto &check : kChecks) {
            if (check.object == nullptr) {
                char command[80];
                for (const char *channel : kChannels) {
                    std::snprintf(command, sizeof command, "DISPLAY CHANNEL(%s) ALL", channel);
                    cslCheckDisplayType(session, "CHANNEL", command);
                }
                continue;
            }
            if (check.distributedOnly && zos) continue;
            cslCheckDisplayType(session, check.object, check.command);
        }
    }
    session->attributeCheckRunning = 0;
    session->checkRow = nullptr;
    if (session->unhandledCount == 0) {
        line(session, CSL_LINE_RESPONSE, "All attributes appear to be handled");
    } else {
        char text[80];
        std::snprintf(text, sizeof text, "There are %d unhandled attributes.", session->unhandledCount);
        line(session, CSL_LINE_ERROR, text);
    }
}
