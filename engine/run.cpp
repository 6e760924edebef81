// The program's run on the main thread: start-up in its fixed order, the one-second main loop, and
// the shutdown. The main thread never touches a queue: connects and disconnects run on workers.
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "engine/internal.h"

EvServices evServices;
EvAbsorbSettings evAbsorb;
EvAggrState evAggrState;
EvActivityCounts evActivity;
std::atomic<uint32_t> evConnectSuppress{0};
std::atomic<int32_t> evSendEachItem{0};
std::atomic<int32_t> evScriptTrace{0};
std::atomic<int32_t> evStatsCommandLevel{0};
std::atomic<int64_t> evFirstStartTime{0};
AggrConfig evAggrConfig[EV_AGGR_FAMILIES] = {
    {5, 168, 20}, {6, 167, 13}, {2, 165, 38}, {4, 164, 12}, {3, 166, 58}};

namespace {

void statusSource(StatusCounts *counts) {
    counts->events = evActivity.events.load(std::memory_order_relaxed);
    counts->stats = evActivity.stats.load(std::memory_order_relaxed);
    counts->commands = evActivity.commands.load(std::memory_order_relaxed);
    counts->alerts = evActivity.alerts.load(std::memory_order_relaxed);
    counts->loaded = evLoadedRecords.load(std::memory_order_relaxed);
}

uint32_t heldBinThreshold() {
    return static_cast<uint32_t>(evAbsorb.heldBinThreshold.load());
}

// The engine's members of stream storage's hooks; the members other installers set stay.
void installStreamHooks() {
    EvStreamHooks hooks = *evStreamGetHooks();
    hooks.heldBinThreshold = heldBinThreshold;
    evStreamSetHooks(&hooks);
    evInstallIntake();
    evInstallHooks();
}

// Makes the settings the run's: the shared state, the log's root and heartbeat.
void applySettings(const EvStartSettings *s) {
    evStart = *s;
    evRunState.background.store(s->background);
    evRunState.service.store(s->service);
    evRunState.debugMode.store(s->debugMode);
    if (s->verboseLetters != nullptr) evSetDebugFlags(s->verboseLetters);
    evDebugOptions.fetch_or(s->debugOptions);
    evSendEachItem.store(s->sendEachItem);
    evScriptTrace.store(s->scriptTrace);
    evStatsCommandLevel.store(s->statsCommandLevel);
    evConnectSuppress.store(s->connectSuppress);
    evAbsorb.grace.store(s->absorbGrace);
    evAbsorb.sweep.store(s->absorbSweep);
    evAbsorb.check.store(s->absorbCheck);
    evAbsorb.sweepDisabled.store(s->absorbSweepDisabled);
    evAbsorb.heldBinThreshold.store(s->heldBinThreshold);
    evAbsorb.emitFailDelay.store(s->emitFailDelay);
    evAbsorb.emitFailDelayMax.store(s->emitFailDelayMax);
    LogSettings log{};
    logGetSettings(&log);
    std::snprintf(log.logPath, sizeof log.logPath, "%s", s->logRoot);
    log.heartbeat = s->heartbeat;
    logSetSettings(&log);
    CSSetTrapFolder(s->logRoot);
}

void logLine(const char *format, ...) __attribute__((format(printf, 1, 2)));
void logLine(const char *format, ...) {
    char text[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    logWrite(nullptr, EV_OUT_INFO, text, -1);
}

// Start-up step 7 and 9: the lines that say how the run was started. 0 when the log can not be
// written: the start ends there, said on standard error (in background mode too).
bool writeStartLines(const EvStartSettings *s) {
    char text[EV_LOG_ROOT_MAX + 32];
    std::snprintf(text, sizeof text, "Log Root Directory:%s\n", s->logRoot);
    evConsolePrint(1, text, -1);
    char why[2 * EV_LOG_ROOT_MAX + 200];
    if (!logOpenAtStart(why, sizeof why)) {
        evConsolePrint(2, why, -1);
        return false;
    }
    if (s->eventGiven) logLine("Queue Manager: %.48s", s->event.name);
    if (s->separateState) logLine("State Queue Manager: %.48s\n", s->state.name);
    logLine("Background(%s) Service(%s) MaxMQCmdL(%d) MaxMQCmdLzOS(%d)", s->background ? "Yes" : "No",
            s->service ? "Yes" : "No", s->maxCommandLevel, s->maxZosCommandLevel);
    return true;
}

void writeAbsorbLines() {
    if (evAbsorb.sweepDisabled.load())
        logLine("Absorb - Grace(%d) Sweep(Disabled)", evAbsorb.grace.load());
    else
        logLine("Absorb - Grace(%d) Sweep(%d) Check(%d)", evAbsorb.grace.load(), evAbsorb.sweep.load(),
                evAbsorb.check.load());
    logLine("Emit Fail - Delay(%d) DelayMax(%d)", evAbsorb.emitFailDelay.load(),
            evAbsorb.emitFailDelayMax.load());
}

void enterDebugMode() {
    evPrintDebugMode();
    evRunState.debugMode.store(1);
    if (evServices.setScriptDebug != nullptr) evServices.setScriptDebug(1, evScriptTrace.load());
}

bool keyboardServed() {
    return evRunState.background.load() == 0 && evRunState.debugMode.load() == 0;
}

enum KeyResult { KEY_GO_ON, KEY_END_TICK, KEY_QUIT };

// 'Q' asks first; its answer is polled each second so that SIGTERM also ends the wait.
KeyResult confirmQuit() {
    evOutput(EV_OUT_INFO, "Are you sure you want to quit?", -1, 0);
    for (;;) {
        int32_t key = evKeyRead(0);
        if (key == 'Y' || key == 'y') return KEY_QUIT;
        if (key != 0) break;
        if (evEndFlag.load() != 0) return KEY_QUIT;
        evSleepMs(1000);
    }
    evOutput(EV_OUT_INFO, "Quit cancelled", -1, 0);
    return KEY_END_TICK;
}

KeyResult serveKeyboard() {
    int32_t key = evKeyRead(0);
    if (key <= 0 || key == '\n' || key == '\r' || key == ' ') return KEY_GO_ON;
    if (key == '!') {
        enterDebugMode();
        return KEY_GO_ON;
    }
    if (key == 'Q') return confirmQuit();
    if (key < 0x20 || key > 0x7E) return KEY_GO_ON;
    evOutputF(EV_OUT_INFO, 0, "Unrecognised command '%c'.", static_cast<char>(key));
    return KEY_END_TICK;
}

void redrawStatus() {
    evStatusRebuild.store(1);
    evStatusLine();
}

// 1 when 'x' asks to skip the rest of the shutdown's waiting and freeing.
bool skipRequested() {
    return keyboardServed() && evKeyRead(0) == 'x';
}

// Shutdown steps 8 and 9: let the workers finish, for at most 200 passes of 100 ms.
void drainWorkers() {
    for (int pass = 200; pass > 0; pass--) {
        if (!evWorkBusy()) break;
        if (evDebugFlags.load() & EV_DBG_z) {
            int32_t workers = 0;
            int64_t idle = 0;
            const WorkItem *head = nullptr;
            evWorkStats(&workers, &idle, &head);
            evOutputF(EV_OUT_TRACE, 1, "LoopCount=%d WorkerThreads=%d Threads=%d pCalls=%p", pass, workers,
                      static_cast<int>(idle), static_cast<const void *>(head));
        }
        evWorkWake();
        evSleepMs(100);
    }
}

void shutdown(bool started) {
    evEndFlag.store(1);
    evStopVersionCheck();
    if (started) {
        bool skipped = false;
        evOutput(EV_OUT_PROGRESS, "Shutting down....", -1, 1);
        // A connect under way is loading into the memory that step 6 frees: let it end first.
        while (evRunState.connecting.load() != 0 && !skipped) {
            if (skipRequested())
                skipped = true;
            else {
                redrawStatus();
                evSleepMs(1000);
            }
        }
        if (!skipped &&
            (evConnHandles[EV_CONN_C_EVENT].load() != -1 || evConnHandles[EV_CONN_E_EVENT].load() != -1))
            evStopAndDisconnect(-1);
        while (!skipped && (evRunState.connected.load() != 0 || evRunState.disconnecting.load() != 0)) {
            if (skipRequested())
                skipped = true;
            else {
                redrawStatus();
                evSleepMs(1000);
            }
        }
        if (!skipped) {
            if (evServices.endSession != nullptr) evServices.endSession();
            if ((evDebugOptions.load() & EV_OPT_F) == 0) {
                evFreeAll(0);
                AreaFreePool();
            }
        }
        evOutput(EV_OUT_PROGRESS, "Shutting down complete.", -1, 1);
    }
    drainWorkers();
    evKeyboardClose();
    // The moves of the last second are said with their number now: the main loop's tick is over.
    evFlushAsideLines(true);
    // The log keeps its lines until the main loop's once-a-second write: the last ones go now, or
    // the program's end would take them with it.
    logFlushIfWritten();
}

}  // namespace

int evMainTick(int32_t *hookFlag) {
    const int64_t now = evClockNow();
    evCheckTimeZone(now);
    if (logHeartbeatInterval() != 0 && now >= logNextHeartbeat())
        logWrite(nullptr, EV_OUT_INFO, "ZUNT Log Heartbeat", -1);
    redrawStatus();
    if (keyboardServed()) {
        KeyResult result = serveKeyboard();
        if (result == KEY_QUIT) return 0;
        if (result == KEY_END_TICK) return 1;
    }
    logCheckMaxAge();
    evFlushAsideLines();
    logFlushIfWritten();
    // While ready and connected the timed work (storm checks, alert expiry) and the sweep decision
    // run here; the timed items take their own holds of the sets they change.
    if (evRunState.ready.load() != 0 && evRunState.connected.load() != 0) {
        evTimedItemRun();
        evSweepDecision(now);
        // A log that could not be written has said so on standard error; an alert says it where a
        // user looks when the log is what failed.
        if (const int32_t error = logTakeWriteFailure(); error != 0) {
            char text[160];
            std::snprintf(text, sizeof text, "The log file could not be written (%s): log lines are lost.",
                          std::strerror(error));
            evChangeAlertAlone("$LOG", EV_SEVERITY_ERROR, 0, text);
        }
    }
    if (evRunState.connected.load() == 0) evRetryConnection(hookFlag);
    evSleepMs(1000);
    evClockTick();
    return 1;
}

int evMain(int argc, const char *const *argv, const EvEnvironment *environment) {
    char text[EV_OPTION_ERROR_MAX];
    std::snprintf(text, sizeof text, "ZUNT Version:%s (%d Bit) Build Date:%s\n\n", evVersionText,
                  static_cast<int>(sizeof(void *) * 8), evBuildDateText);
    evConsolePrint(1, text, -1);
    evExitStatus.store(0);
    evHandleTermination();

    const int64_t now = evClockTick();
    evStartTimeZone(now);
    for (auto &handle : evConnHandles) handle.store(-1);
    int64_t unset = 0;
    evFirstStartTime.compare_exchange_strong(unset, now);
    evSettingsDefaults(now);
    evSetStatusSource(statusSource);
    installStreamHooks();

    static EvStartSettings settings;
    // Unlike the end the program asks for, a failure to start ends with a status of its own
    // (EV_EXIT_*), so that a script or a service manager can tell it from success.
    if (!evParseCommandLine(argc, argv, environment, &settings, text, sizeof text)) {
        evConsolePrint(2, text, -1);
        evEndWith(EV_EXIT_USAGE);
        shutdown(false);
        return evExitStatus.load();
    }
    applySettings(&settings);
    if (!writeStartLines(&settings)) {
        evEndWith(EV_EXIT_START);
        shutdown(false);
        return evExitStatus.load();
    }
    if (!evSetRetryScheme(settings.retryText)) {
        evEndWith(EV_EXIT_USAGE);
        shutdown(false);
        return evExitStatus.load();
    }
    writeAbsorbLines();
    evOutput(EV_OUT_PROGRESS, "ZUNT Initialising...", -1, 1);

    InitialiseCommandFields();
    evInstallCatalogue();
    if (evServices.setScriptDebug != nullptr)
        evServices.setScriptDebug(settings.debugMode, settings.scriptTrace);
    if (evServices.loadScript != nullptr && !evServices.loadScript(settings.scriptPath)) {
        // A script that asked for the end has set the flag already: that end keeps its 0.
        evEndWith(EV_EXIT_START);
        shutdown(false);
        return evExitStatus.load();
    }
    const int64_t start = evClockTick();
    evSettings.startTime.store(start);
    evLocalDateTimeText(start, evSettings.startTimeText);
    if (!settings.background) evKeyboardOpen();

    evStartVersionCheck();
    evStartConnectSequence();
    if (settings.debugMode) evPrintDebugMode();
    int32_t hookFlag = 1;
    while (evEndFlag.load() == 0 && evMainTick(&hookFlag)) {
    }
    shutdown(true);
    if (evExitStatus.load() == EV_EXIT_START) evSayEndReason();
    return evExitStatus.load();
}
