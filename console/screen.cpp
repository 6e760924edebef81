// What the console shows besides its output lines: the prompt from its template, the machine
// banner, the repeat command's loop with its keyboard polling.
#include <cstdio>
#include <cstring>

#include "console/console.h"
#include "console/internal.h"

namespace {

constexpr int32_t kEscape = 27;
constexpr int kEscapeSequenceMax = 10;
constexpr uint32_t kMaxSleepMs = 25500;  // the longest single sleep between key reads
constexpr size_t kRepeatShown = 100;     // longer commands are cut in the repeat text

int systemUserName(char *out, size_t size) {
    const char *name = evProcessUserName();
    return name[0] != '\0' && std::snprintf(out, size, "%s", name) < static_cast<int>(size) ? 1 : 0;
}

const CslIdentity kSystemIdentity = {systemUserName, evComputerName};
std::atomic<const CslIdentity *> identity{&kSystemIdentity};

}  // namespace

void cslFetchIdentity(cslSession *session) {
    if (session->identityFetched) return;
    const CslIdentity *id = identity.load();
    if (id->userName == nullptr || !id->userName(session->userName, sizeof session->userName) ||
        session->userName[0] == '\0')
        std::snprintf(session->userName, sizeof session->userName, "Unknown");
    if (id->computerName == nullptr ||
        !id->computerName(session->computerName, sizeof session->computerName) ||
        session->computerName[0] == '\0')
        std::snprintf(session->computerName, sizeof session->computerName, "Unknown");
    session->identityFetched = 1;
}

namespace {

const char *platformName(int32_t platform, char *number, size_t size) {
    switch (platform) {
        case 1:
            return "z/OS";
        case 2:
            return "OS/2";
        case 3:
            return "Unix";
        case 4:
            return "OS/400";
        case 5:
        case 11:
            return "Windows";
        case 12:
            return "VMS";
        case 13:
            return "NSS";
        case 15:
            return "Open TP1";
        case 18:
            return "VM";
        case 23:
            return "TPF";
        case 27:
            return "VSE";
        default:
            std::snprintf(number, size, "%d", platform);
            return number;
    }
}

// Whether a prompt section's letter holds now; -1 for a letter that is not a section.
int sectionHolds(const cslSession *session, char letter) {
    const cslConnection *c = session->current;
    const bool connected = cslConnected(c);
    const bool sameQmgr = connected && std::strcmp(c->connectedName, c->administeredName) == 0;
    switch (letter) {
        case 'C':
            return connected;
        case 'D':
            return !connected;
        case 'c':
            return connected && c->client;
        case 'l':
            return connected && !c->client && sameQmgr;
        case 'r':
            return connected && (c->client || !sameQmgr);
        case 'e':
            return session->target == CSL_TARGET_OWN;
        case 'i':
            return session->target == CSL_TARGET_MQ;
        case 'n':
            return session->ccdtMode != 0;
        default:
            return -1;
    }
}

struct PromptOut {
    char *text;
    size_t size;
    size_t length;
    void put(const char *s, size_t n) {
        for (size_t i = 0; i < n && length + 1 < size; ++i) text[length++] = s[i];
        text[length] = '\0';
    }
};

bool escapePressed(cslSession *session) {
    return cslPollKey(session) == kEscape;
}

// Sleeps the seconds that remain of the delay after the pass, reading keys between sleeps: 1 when
// ESC ended it.
int waitDelay(cslSession *session, int32_t delaySeconds, int64_t passEndMs) {
    for (;;) {
        int64_t leftMs = passEndMs + int64_t{delaySeconds} * 1000 - evTimeNow() * 1000;
        if (leftMs <= 0) return 0;
        evSleepMs(static_cast<uint32_t>(leftMs < kMaxSleepMs ? leftMs : kMaxSleepMs));
        if (escapePressed(session)) return 1;
    }
}

// Waits while a request of the pass is outstanding, a second at a time: 1 when ESC ended it.
int waitRequests(cslSession *session) {
    while (session->requestCompleted.load() < session->requestPosted.load()) {
        if (escapePressed(session) || session->ending) return 1;
        evSleepMs(1000);
    }
    return 0;
}

}  // namespace

const CslIdentity *cslSetIdentity(const CslIdentity *replacement) {
    return identity.exchange(replacement != nullptr ? replacement : &kSystemIdentity);
}

void cslBuildPrompt(cslSession *session, int fullRedraw) {
    PromptOut out{session->promptText, sizeof session->promptText, 0};
    out.text[0] = '\0';
    bool open[128] = {};
    const cslConnection *c = session->current;
    auto showing = [&]() {
        for (int letter = 0; letter < 128; ++letter)
            if (open[letter] && sectionHolds(session, static_cast<char>(letter)) != 1) return false;
        return true;
    };
    for (const char *p = session->prompt; *p != '\0'; ++p) {
        if (*p != '%') {
            if (showing()) out.put(p, 1);
            continue;
        }
        const char code = *++p;
        if (code == '\0') break;
        if (sectionHolds(session, code) >= 0) {
            open[static_cast<unsigned char>(code)] = !open[static_cast<unsigned char>(code)];
            continue;
        }
        if (!showing()) continue;
        char clock[9];
        switch (code) {
            case '%':
                out.put("%", 1);
                break;
            case 'M':
                out.put(c->connectedName, std::strlen(c->connectedName));
                break;
            case 'm':
                out.put(c->administeredName, std::strlen(c->administeredName));
                break;
            case 'T':
                cslLocalClock(clock);
                out.put(clock, 8);
                session->promptShowsSeconds = 1;
                break;
            case 't':
                cslLocalClock(clock);
                out.put(clock, 5);
                session->promptShowsMinutes = 1;
                break;
            default:
                break;  // other letters are dropped
        }
    }
    session->promptLength = static_cast<uint32_t>(out.length);
    session->redraw |= fullRedraw ? CSL_REDRAW_ALL : CSL_REDRAW_INPUT;
}

void cslShowMachine(cslSession *session, cslOutputList *list) {
    cslFetchIdentity(session);
    char text[256];
    auto add = [&](uint32_t kind, const char *line) {
        cslAddOutput(session, list, nullptr, line, -1, kind, CSL_CURRENT_COMMAND);
    };
    add(CSL_LINE_BANNER_HEAD, "Machine Details");
    add(CSL_LINE_BANNER_HEAD, "---------------");
    std::snprintf(text, sizeof text, "User   : %s", session->userName);
    add(CSL_LINE_BANNER_DETAIL, text);
    std::snprintf(text, sizeof text, "Machine: %s", session->computerName);
    add(CSL_LINE_BANNER_DETAIL, text);
    add(CSL_LINE_BANNER_DETAIL, "");
    const cslConnection *c = session->current;
    if (!cslConnected(c)) return;
    char number[16];
    add(CSL_LINE_BANNER_HEAD, "Administering Queue Manager");
    add(CSL_LINE_BANNER_HEAD, "---------------------------");
    std::snprintf(text, sizeof text, "Qm           : %s", c->administeredName);
    add(CSL_LINE_BANNER_DETAIL, text);
    std::snprintf(text, sizeof text, "Command Level: %d", c->commandLevel);
    add(CSL_LINE_BANNER_DETAIL, text);
    std::snprintf(text, sizeof text, "Platform     : %s", platformName(c->platform, number, sizeof number));
    add(CSL_LINE_BANNER_DETAIL, text);
}

int32_t cslPollKey(cslSession *session) {
    int32_t key = evKeyRead(0);
    if (key <= 0) return 0;
    if (key == kEscape) {
        evSleepMs(100);
        if (evKeyRead(0) > 0) {
            // No key of this console has a sequence of its own: a sequence is read and dropped,
            // so that an arrow key does not count as ESC.
            for (int i = 1; i < kEscapeSequenceMax && evKeyRead(0) > 0; ++i) {
            }
            key = 0;
        }
    }
    session->lastKey = key;
    return key;
}

int cslRepeatCommand(cslSession *session, const char *command, int32_t delaySeconds, uint32_t flags) {
    if (std::strlen(command) > kRepeatShown)
        std::snprintf(session->repeatText, sizeof session->repeatText,
                      "Repeating command '%97.97s...' <press ESC to end>", command);
    else
        std::snprintf(session->repeatText, sizeof session->repeatText,
                      "Repeating command '%s' <press ESC to end>", command);
    session->repeating = 1;
    session->repeatHistory = (flags & CSL_REPEAT_HISTORY) != 0;
    cslOutputList *list = cslMainList(session);
    if ((flags & CSL_REPEAT_CLEAR) != 0) cslBlankLines(session);
    {
        CSRecursiveGuard guard(session->displayLock);
        session->repeatMark = list->newest;
    }
    int result = 1;
    for (;;) {
        session->redraw |= CSL_REDRAW_INPUT;
        if ((flags & CSL_REPEAT_HISTORY) == 0) cslClearOutput(session, list, session->repeatMark);
        if (cslScript.queueText != nullptr && cslScript.runCommands != nullptr) {
            if (!cslScript.queueText(session, 0, 0, command)) {
                cslSetStatus(session, "Unable to allocate storage");
                session->resultFlags.fetch_or(CSL_RESULT_NO_STORAGE);
                result = 0;
                break;
            }
            cslScript.runCommands(session);
        }
        if (session->ending || waitRequests(session)) break;
        if (escapePressed(session) || waitDelay(session, delaySeconds, evTimeNow() * 1000)) break;
    }
    if ((flags & (CSL_REPEAT_HISTORY | CSL_REPEAT_KEEP)) == 0) {
        cslClearOutput(session, list, session->repeatMark);
        if ((flags & CSL_REPEAT_CLEAR) != 0) cslBlankLines(session);
    }
    session->repeating = 0;
    session->repeatHistory = 0;
    session->repeatMark = nullptr;
    list->scrolledBack = 0;
    return result;
}
