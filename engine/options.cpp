// The command line and the environment variables that become the start-up settings, and the usage
// text printed when they are wrong. Numbers are read as atoi reads them, but a value outside the
// 32-bit range is refused rather than left to atoi's undefined result.
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "engine/engine.h"

EvStartSettings evStart;

namespace {

// The option letters; a letter followed by ':' takes a value.
constexpr char kLetters[] = "bc:D:f:klL:m:o:p:q:r:s:u:U:v:!";

const char *const kUsageLines[] = {
    "IBM MQ Event Handler Program\n",
    "  [ V9.4.1 Build:Mar  3 2025 Rev:1 ] Holva Software\n",
    "\nUsage: ZUNT <Optional flags as below>\n",
    "        [-b  Background mode]\n",
    "        [-c  Maximum MQ Command Level]\n",
    "        [-f  <script file or path>]\n",
    "        [-k  Running as an MQ Service]\n",
    "        [-l  Client connection]\n",
    "        [-L  <Log path>]\n",
    "        [-m  <Queue Manager>]\n",
    "        [-o  <Option Flag>]\n",
    "        [   c<Absorb Check Frequency>\n",
    "        [   g<Absorb Grace Period>\n",
    "        [   s<Absorb Sweep Interval>\n",
    "        [   S Absorb Sweep Disabled\n",
    "        [-r  <Reconnect values>]\n",
    "        [-s  <State Queue Manager Name>]\n",
    "        [-u  <UserId>]\n",
    "        [-U  <Password>]\n",
    "        [-v  <Verbose Options>]\n",
    "\nExit status: 0 an end that was asked for, 2 an option refused,\n",
    "             3 a start-up failure, 4 a connection given up\n",
};

struct ErrorOut {
    char *text;
    size_t size;
};

void setError(ErrorOut *out, bool withUsage, const char *format, ...) __attribute__((format(printf, 3, 4)));
void setError(ErrorOut *out, bool withUsage, const char *format, ...) {
    if (out->size == 0) return;
    va_list args;
    va_start(args, format);
    int n = std::vsnprintf(out->text, out->size, format, args);
    va_end(args);
    if (n < 0 || !withUsage) return;
    size_t used = static_cast<size_t>(n) < out->size ? static_cast<size_t>(n) : out->size - 1;
    evUsageText(out->text + used, out->size - used);
}

// Copies a value into a field of size bytes: 1, or 0 when it does not fit. Names of queue
// managers and queues are cut at their 48 characters, as MQ cuts them; a path is never cut.
int copyValue(char *field, size_t size, const char *value, bool cut) {
    size_t n = std::strlen(value);
    if (n >= size) {
        if (!cut) return 0;
        n = size - 1;
    }
    std::memcpy(field, value, n);
    field[n] = '\0';
    return 1;
}

void setDefaults(EvStartSettings *s) {
    *s = EvStartSettings{};
    s->maxCommandLevel = 942;
    s->maxZosCommandLevel = 942;
    copyValue(s->replyPrefix, sizeof s->replyPrefix, "ZUNT.*", true);
    s->heartbeat = 86400;
    s->retryText = "default";
    s->absorbGrace = 15;
    s->absorbSweep = 10;
    s->absorbCheck = 10;
    s->heldBinThreshold = 10;
    s->emitFailDelay = 5;
    s->emitFailDelayMax = 300;
}

// Whether the text from start to end (as evReadInt leaves it) held a number at all.
bool hasDigits(const char *start, const char *end) {
    return end > start && end[-1] >= '0' && end[-1] <= '9';
}

// The -o letters: 1, or 0 with the letter in *bad.
int readOptionFlags(const char *text, EvStartSettings *s, char *bad) {
    if (text == nullptr) return 1;
    for (const char *p = text; *p != '\0'; p++) {
        int32_t *number = nullptr;
        switch (*p) {
            case 'A':
                s->connectSuppress |= EV_SUPPRESS_ACCOUNTING;
                continue;
            case 'T':
                s->connectSuppress |= EV_SUPPRESS_ACTIVITY_TRACE;
                continue;
            case 'S':
                s->absorbSweepDisabled = 1;
                continue;
            case 'c':
                number = &s->absorbCheck;
                break;
            case 'g':
                number = &s->absorbGrace;
                break;
            case 's':
                number = &s->absorbSweep;
                break;
            case 'w':
                number = &s->heldBinThreshold;
                break;
            // 'r' (a stream-status copy setting) is refused as an unknown letter: nothing in the
            // program has ever read it, and a setting accepted and then ignored misleads.
            case 'e':
                number = &s->emitFailDelay;
                break;
            case 'E':
                number = &s->emitFailDelayMax;
                break;
            default:
                *bad = *p;
                return 0;
        }
        // The number ends the value: whatever follows it is ignored. A letter with no number is
        // refused rather than read as 0.
        const char *digits = p + 1;
        if (*digits == ':') digits++;
        const char *end = digits;
        if (!evReadInt(digits, number, &end) || !hasDigits(digits, end)) {
            *bad = *p;
            return 0;
        }
        return 1;
    }
    return 1;
}

// The -D letters; unknown letters, and a c<n> that does not fit, are ignored.
void readDebugOptions(const char *text, EvStartSettings *s) {
    if (text == nullptr) return;
    static constexpr struct {
        char letter;
        uint32_t bit;
    } kBits[] = {{'g', EV_OPT_g}, {'k', EV_OPT_k}, {'e', EV_OPT_e}, {'l', EV_OPT_l},
                 {'s', EV_OPT_s}, {'b', EV_OPT_b}, {'d', EV_OPT_d}, {'f', EV_OPT_f},
                 {'S', EV_OPT_S}, {'v', EV_OPT_v}, {'m', EV_OPT_m}, {'F', EV_OPT_F}};
    for (const char *p = text; *p != '\0'; p++) {
        if (*p == 'C') {
            s->sendEachItem = 1;
        } else if (*p == 't') {
            s->scriptTrace = 1;
        } else if (*p == 'c') {
            const char *end = p + 1;
            int32_t level = 0;
            if (evReadInt(p + 1, &level, &end)) s->statsCommandLevel = level;
            if (end > p + 1) p = end - 1;
        } else {
            for (const auto &row : kBits)
                if (row.letter == *p) s->debugOptions |= row.bit;
        }
    }
}

}  // namespace

int evReadInt(const char *text, int32_t *value, const char **end) {
    const char *p = text;
    while (*p == ' ' || (*p >= '\t' && *p <= '\r')) p++;
    bool negative = false;
    if (*p == '+' || *p == '-') negative = *p++ == '-';
    int64_t total = 0;
    bool fits = true;
    for (; *p >= '0' && *p <= '9'; p++) {
        if (fits) total = total * 10 + (*p - '0');
        if (total > (negative ? 2147483648LL : 2147483647LL)) fits = false;
    }
    if (end != nullptr) *end = p;
    if (!fits) return 0;
    *value = static_cast<int32_t>(negative ? -total : total);
    return 1;
}

void evUsageText(char *text, size_t size) {
    if (size == 0) return;
    size_t used = 0;
    text[0] = '\0';
    for (const char *line : kUsageLines) {
        int n = std::snprintf(text + used, size - used, "%s", line);
        if (n < 0 || static_cast<size_t>(n) >= size - used) return;
        used += static_cast<size_t>(n);
    }
}

int evParseCommandLine(int argc, const char *const *argv, const EvEnvironment *environment,
                       EvStartSettings *s, char *errorText, size_t errorSize) {
    ErrorOut error{errorText, errorSize};
    if (errorSize > 0) errorText[0] = '\0';
    setDefaults(s);

    // Environment first: the options override it.
    EvEnvironment none{};
    const EvEnvironment *env = environment != nullptr ? environment : &none;
    int32_t heartbeat = 0;
    const char *end = nullptr;
    if (env->logHeartbeat != nullptr && env->logHeartbeat[0] != '\0') {
        // A value past the 32-bit range leaves the default; one that is no number is refused
        // rather than read as 0, which would switch the heartbeat off.
        if (evReadInt(env->logHeartbeat, &heartbeat, &end)) s->heartbeat = heartbeat;
        if (!hasDigits(env->logHeartbeat, end) || *end != '\0') {
            setError(&error, false, "ZUNT_LOG_HB must be a number of seconds, not '%s'\n\n",
                     env->logHeartbeat);
            return 0;
        }
    }
    const bool logPathSet = env->logPath != nullptr && env->logPath[0] != '\0';
    const char *logRoot = logPathSet ? env->logPath : env->programFolder;
    if (logRoot != nullptr && !copyValue(s->logRoot, sizeof s->logRoot, logRoot, false)) {
        // Refused as -L is: an empty root would switch the log off without a word.
        if (logPathSet) {
            setError(&error, false, "ZUNT_LOG_PATH is longer than %d characters\n\n",
                     static_cast<int>(sizeof s->logRoot - 1));
            return 0;
        }
    }

    EvQmgrOption *current = &s->event;
    for (int i = 1; i < argc; i++) {
        const char *argument = argv[i];
        if (argument == nullptr || (argument[0] != '-' && argument[0] != '/') || argument[1] == '\0' ||
            argument[1] == ':') {
            setError(&error, true, "Unrecognised parameter '%s'\n\n", argument != nullptr ? argument : "");
            return 0;
        }
        // Letters without a value may share one argument ("-bk"); a value ends it.
        for (const char *p = argument + 1; *p != '\0'; p++) {
            const char *row = std::strchr(kLetters, *p);
            if (row == nullptr) {
                setError(&error, true, "Unrecognised parameter '%s'\n\n", argument);
                return 0;
            }
            const char letter = *p;
            const char *value = nullptr;
            if (row[1] == ':') {
                if (p[1] != '\0') {
                    value = p + 1;
                } else if (i + 1 < argc && argv[i + 1] != nullptr) {
                    value = argv[++i];
                } else {
                    setError(&error, true, "Unrecognised parameter '%s'\n\n", argument);
                    return 0;
                }
                if (value[0] == ':') value++;
            }
            bool ok = true;
            switch (letter) {
                case 'b':
                    s->background = 1;
                    break;
                case 'k':
                    s->service = s->background = 1;
                    break;
                case 'l':
                    s->client = 1;
                    break;
                case '!':
                    s->debugMode = 1;
                    break;
                case 'c': {
                    int32_t level = 0;
                    const char *last = value;
                    // A number and nothing else: "abc" read as 0 would switch the level check off.
                    if (!evReadInt(value, &level, &last) || !hasDigits(value, last) || *last != '\0') {
                        setError(&error, true, "Unrecognised parameter '%s'\n\n", value);
                        return 0;
                    }
                    s->maxCommandLevel = s->maxZosCommandLevel = level;
                    break;
                }
                case 'D':
                    readDebugOptions(value, s);
                    break;
                case 'f':
                    ok = copyValue(s->scriptPath, sizeof s->scriptPath, value, false);
                    break;
                case 'L':
                    ok = copyValue(s->logRoot, sizeof s->logRoot, value, false);
                    break;
                case 'm':
                    copyValue(s->event.name, sizeof s->event.name, value, true);
                    s->eventGiven = 1;
                    current = &s->event;
                    break;
                case 's':
                    copyValue(s->state.name, sizeof s->state.name, value, true);
                    s->separateState = 1;
                    current = &s->state;
                    break;
                case 'o': {
                    char bad = 0;
                    if (!readOptionFlags(value, s, &bad)) {
                        setError(&error, true, "Unrecognised options parameter '%c'\n\n", bad);
                        return 0;
                    }
                    break;
                }
                case 'p':
                    copyValue(s->replyPrefix, sizeof s->replyPrefix, value, true);
                    break;
                case 'q':
                    copyValue(s->modelQueue, sizeof s->modelQueue, value, true);
                    break;
                case 'r':
                    s->retryText = value;
                    break;
                case 'u':
                    if (current->userId != nullptr) {
                        setError(
                            &error, false,
                            "The Userid parameter (-u) can only be specified once per Queue Manager\n\n");
                        return 0;
                    }
                    current->userId = value;
                    break;
                case 'U':
                    if (current->password != nullptr) {
                        setError(
                            &error, false,
                            "The Password parameter (-U) can only be specified once per Queue Manager\n\n");
                        return 0;
                    }
                    current->password = value;
                    break;
                case 'v':
                    s->verboseLetters = value;
                    break;
                default:
                    break;
            }
            if (!ok) {
                setError(&error, true, "Unrecognised parameter '%s'\n\n", argument);
                return 0;
            }
            if (value != nullptr) break;
        }
    }

    if (s->separateState) {
        if (std::strcmp(s->state.name, s->event.name) == 0) {
            setError(&error, false,
                     "The state Queue Manager should not be the same as the Event Queue Manager\n\n");
            return 0;
        }
    } else {
        std::memcpy(s->state.name, s->event.name, sizeof s->state.name);
    }
    if (std::strcmp(s->logRoot, ".") == 0 && env->currentFolder != nullptr)
        copyValue(s->logRoot, sizeof s->logRoot, env->currentFolder, false);
    return 1;
}
