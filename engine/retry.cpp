// Retry schemes: how often, and how long apart, a lost or refused connection is tried again. The
// main loop's retry step starts each attempt; the chosen scheme's counts run down with the attempts
// and are full again after every connect, so that each outage gets the whole scheme.
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "engine/internal.h"

const RetryScheme evRetrySchemeTable[4] = {
    {"low", 120, 5, 600, 999999999},
    {"default", 60, 10, 300, 999999999},
    {"high", 10, 60, 60, 999999999},
    {"none", 0, 0, 0, 0},
};
RetryScheme evCustomRetryScheme = {"Custom", 60, 10, 300, 999999999};

std::atomic<int32_t> evLastReason{0};
std::atomic<int32_t> evLoadedRecords{0};

namespace {

// The retry state; changed by the main thread and by the connect sequence's refill, under the
// structure lock.
RetryScheme working = evRetrySchemeTable[1];
const RetryScheme *chosen = &evRetrySchemeTable[1];
int32_t currentWait = 0;
int64_t lastAttempt = 0;
// Armed by each attempt: the first retry step that waits says when the next attempt comes.
std::atomic<int32_t> announceWait{0};
std::atomic<uint64_t> attemptErrors{0};  // error lines written before the last attempt began

bool equalNoCase(const char *a, const char *b) {
    for (; *a != '\0' && *b != '\0'; a++, b++)
        if (std::tolower(static_cast<unsigned char>(*a)) != std::tolower(static_cast<unsigned char>(*b)))
            return false;
    return *a == *b;
}

int32_t firstWait(const RetryScheme &row) {
    if (row.count1 != 0) return row.interval1;
    if (row.count2 != 0) return row.interval2;
    return 0;
}

bool allDigits(const char *text, size_t length) {
    if (length == 0) return false;
    for (size_t i = 0; i < length; i++)
        if (text[i] < '0' || text[i] > '9') return false;
    return true;
}

// An integer token of decimal digits that fits in 32 bits.
bool readToken(const char *text, size_t length, int32_t *value) {
    if (!allDigits(text, length) || length > 10) return false;
    char digits[11];
    std::memcpy(digits, text, length);
    digits[length] = '\0';
    return evReadInt(digits, value, nullptr) != 0;
}

// One phase: empty, "n", "(c)" or "n(c)", nothing after the ')'.
bool parsePhase(const char *begin, const char *end, int32_t *interval, int32_t *count) {
    static constexpr char kDelimiters[] = "()[]!|&<>-+*/=,;";
    static constexpr char kSeparators[] = " \t()[]!|&<>-+*/=,;";
    const char *cursor = begin;
    const char *token = nullptr;
    size_t length = 0;
    auto next = [&] { return scanGetToken(&cursor, end, kDelimiters, kSeparators, &token, &length) == 0; };
    if (!next()) return true;
    if (allDigits(token, length)) {
        if (!readToken(token, length, interval)) return false;
        if (!next()) return true;
    }
    if (length != 1 || token[0] != '(') return false;
    if (!next() || !readToken(token, length, count)) return false;
    if (!next() || length != 1 || token[0] != ')') return false;
    return !next();
}

bool parseCustom(const char *text, RetryScheme *row) {
    *row = evRetrySchemeTable[1];
    row->name = "Custom";
    const char *end = text + std::strlen(text);
    const char *comma = std::strchr(text, ',');
    if (!parsePhase(text, comma != nullptr ? comma : end, &row->interval1, &row->count1)) return false;
    return comma == nullptr || parsePhase(comma + 1, end, &row->interval2, &row->count2);
}

void timeOfDay(int64_t now, char (&text)[16]) {
    EvLocalTime fields{};
    evLocalTimeFields(now, &fields);
    std::snprintf(text, sizeof text, "%02d:%02d:%02d", fields.hour, fields.minute, fields.second);
}

void postConnect() {
    WorkItem item{};
    item.function = evSequences()->connect;
    if (evWorkPost(&item) != 0) {
        // Nothing would ever connect: the start ends, saying why (a thread or storage refused).
        evOutputF(EV_OUT_ERROR, 1, "Connect sequence could not be started: %s", std::strerror(errno));
        evRunState.connecting.store(0);
        evEndWith(EV_EXIT_START);
    }
}

}  // namespace

int evSetRetryScheme(const char *text) {
    const RetryScheme *row = nullptr;
    for (const RetryScheme &candidate : evRetrySchemeTable)
        if (equalNoCase(text, candidate.name)) row = &candidate;
    if (row == nullptr) {
        RetryScheme custom{};
        if (!parseCustom(text, &custom)) {
            evOutputF(EV_OUT_ERROR, 1, "Invalid retry parameter : %s", text);
            return 0;
        }
        evCustomRetryScheme = custom;
        row = &evCustomRetryScheme;
    }
    {
        CSRecursiveGuard guard(gStructureLock);
        chosen = row;
    }
    evRetryRefill();
    char line[160];
    if (row->count1 == 0 && row->count2 == 0)
        std::snprintf(line, sizeof line, "No connection retries requested.");
    else
        std::snprintf(line, sizeof line, "Retry Scheme '%s' : %ds x %d then %ds x %d", row->name,
                      row->interval1, row->count1, row->interval2, row->count2);
    if (evDebugFlags.load() & EV_DBG_r)
        evOutput(EV_OUT_INFO, line, -1, 1);
    else
        logWrite(nullptr, EV_OUT_INFO, line, -1);
    return evEndFlag.load() == 0;
}

void evRetryState(EvRetrySnapshot *snapshot) {
    CSRecursiveGuard guard(gStructureLock);
    snapshot->working = working;
    snapshot->chosen = chosen;
    snapshot->wait = currentWait;
    snapshot->lastAttempt = lastAttempt;
}

void evRetryRefill() {
    CSRecursiveGuard guard(gStructureLock);
    working = *chosen;
    currentWait = firstWait(working);
}

void evRetryMarkAttempt(int64_t now) {
    CSRecursiveGuard guard(gStructureLock);
    lastAttempt = now;
}

int32_t evRetryNextWait() {
    CSRecursiveGuard guard(gStructureLock);
    return firstWait(working);
}

int evShouldRetry(int32_t reason, int32_t stateQmgr) {
    switch (reason) {
        case 2012:  // MQRC_ENVIRONMENT_ERROR
        case 2035:  // MQRC_NOT_AUTHORIZED
        case 2058:  // MQRC_Q_MGR_NAME_ERROR
            return 0;
        case 2009:  // MQRC_CONNECTION_BROKEN
        case 2059:  // MQRC_Q_MGR_NOT_AVAILABLE
        case 2161:  // MQRC_Q_MGR_QUIESCING
        case 2162:  // MQRC_Q_MGR_STOPPING
        case 2202:  // MQRC_CONNECTION_QUIESCING
        case 2203:  // MQRC_CONNECTION_STOPPING
            // A service ends with the queue manager that runs it: the state one when there are two.
            if (!evStart.service) return 1;
            return evStart.separateState && !stateQmgr ? 1 : 0;
        default:
            return 1;
    }
}

int32_t evEndStatusOf(int32_t reason) {
    switch (reason) {
        case 2161:     // MQRC_Q_MGR_QUIESCING
        case 2162:     // MQRC_Q_MGR_STOPPING
        case 2202:     // MQRC_CONNECTION_QUIESCING
        case 2203:     // MQRC_CONNECTION_STOPPING
            return 0;  // a service following its queue manager's controlled end
        default:
            return EV_EXIT_CONNECTION;
    }
}

void evStartConnectSequence() {
    if (evConnHandles[EV_CONN_E_EVENT].load() != -1 && evConnHandles[EV_CONN_C_EVENT].load() != -1) return;
    evRunState.connecting.store(1);
    evRunState.retrying.store(0);
    announceWait.store(1);
    attemptErrors.store(evLastError(nullptr, 0));
    const int64_t now = evClockNow();
    RetryScheme row{};
    {
        CSRecursiveGuard guard(gStructureLock);
        lastAttempt = now;
        row = working;
        if (working.count1 >= 1)
            working.count1--;
        else if (working.count2 > 0)
            working.count2--;
    }
    if (evDebugFlags.load() & EV_DBG_r) {
        char clock[16];
        timeOfDay(now, clock);
        evOutputF(EV_OUT_INFO, 1, "%8.8s Retries remaining %ds x %d then %ds x %d", clock, row.interval1,
                  row.count1, row.interval2, row.count2);
    }
    evOutputF(EV_OUT_PROGRESS, 1, "Connect sequence for '%s'", evStart.event.name);
    postConnect();
}

void evRetryConnection(int32_t *hookFlag) {
    // A disconnect still under way may clear connected after the next connect has set it.
    if (evEndFlag.load() != 0 || evRunState.connecting.load() != 0 || evRunState.disconnecting.load() != 0 ||
        evConnHandles[EV_CONN_C_EVENT].load() != -1)
        return;
    int32_t wait = 0;
    int64_t last = 0;
    RetryScheme row{};
    {
        CSRecursiveGuard guard(gStructureLock);
        wait = currentWait;
        last = lastAttempt;
        row = *chosen;
    }
    if (wait == 0) {
        evOutput(EV_OUT_PROGRESS,
                 row.count1 == 0 && row.count2 == 0 ? "No connection retry configured, ZUNT ending"
                                                    : "Connection retry sequence complete, ZUNT ending",
                 -1, 1);
        evEndWith(EV_EXIT_CONNECTION);
        return;
    }
    const int64_t remaining = wait - (evClockNow() - last);
    if (remaining > 0) {
        evRunState.retrying.store(1);
        if (announceWait.exchange(0) != 0) {
            char text[CS_INTERVAL_TEXT_MAX];
            CSFormatInterval(static_cast<int32_t>(remaining), text, 1);
            // The failure that ended the attempt, when one was said: a line further up may be long gone.
            char failure[EV_LAST_ERROR_MAX];
            if (evLastError(failure, sizeof failure) != attemptErrors.load())
                evOutputF(EV_OUT_PROGRESS, 1, "Connection will be retried in %s(last failure: %s)", text,
                          failure);
            else
                evOutputF(EV_OUT_PROGRESS, 1, "Connection will be retried in %s", text);
        }
        return;
    }
    if (*hookFlag != 0 && evServices.sessionExists != nullptr && evServices.sessionExists() &&
        evRunHook(EV_HOOK_RETRY, nullptr))
        evEndWith(EV_EXIT_CONNECTION);
    *hookFlag = 0;
    if (evEndFlag.load() != 0) return;
    evStartConnectSequence();
    CSRecursiveGuard guard(gStructureLock);
    currentWait = firstWait(working);
}
