// Shared fixture of the engine's tests: the process-wide state the engine adopts is put back to a
// fresh start before each test, and keys, clock, console and the worker sequences are fakes.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdio>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engine/engine.h"
#include "testing/console_capture.h"
#include "testing/testing.h"

namespace et {

// Keys handed to evKeyRead in order; 0 in the script means "no key this time".
inline std::mutex keyMutex;
inline std::deque<int32_t> keyScript;
inline std::atomic<int> keyReads{0};
inline void (*onKeyDrained)() = nullptr;  // called once the script is used up (e.g. to raise SIGTERM)

inline int32_t scriptedKey(int32_t) {
    keyReads++;
    std::lock_guard<std::mutex> lock(keyMutex);
    if (keyScript.empty()) {
        if (onKeyDrained != nullptr) {
            auto hook = onKeyDrained;
            onKeyDrained = nullptr;
            hook();
        }
        return 0;
    }
    int32_t key = keyScript.front();
    keyScript.pop_front();
    return key;
}

inline void setKeys(std::initializer_list<int32_t> keys) {
    std::lock_guard<std::mutex> lock(keyMutex);
    keyScript.assign(keys.begin(), keys.end());
}

// What the fake sequences did, in order.
inline std::mutex eventMutex;
inline std::vector<std::string> events;
inline void note(const std::string &event) {
    std::lock_guard<std::mutex> lock(eventMutex);
    events.push_back(event);
}
inline std::vector<std::string> noted() {
    std::lock_guard<std::mutex> lock(eventMutex);
    return events;
}

// Waits (real time) until the condition holds or 60 s pass: a bound a loaded two-core machine meets.
template <typename Condition>
bool waitFor(Condition condition) {
    for (int i = 0; i < 6000; i++) {
        if (condition()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return condition();
}

inline int countOf(const std::string &text, const std::string &part) {
    int n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size())) n++;
    return n;
}

inline void resetEngineState() {
    evEndFlag.store(0);
    evDebugFlags.store(0);
    evDebugOptions.store(0);
    for (auto &handle : evConnHandles) handle.store(-1);
    evRunState.background.store(0);
    evRunState.service.store(0);
    evRunState.debugMode.store(0);
    evRunState.connecting.store(0);
    evRunState.retrying.store(0);
    evRunState.connected.store(0);
    evRunState.disconnecting.store(0);
    evRunState.ready.store(0);
    evRunState.broken.store(0);
    evRunState.qmgrEnding.store(0);
    evServices = EvServices{};
    evStart = EvStartSettings{};
    {
        std::lock_guard<std::mutex> lock(keyMutex);
        keyScript.clear();
    }
    onKeyDrained = nullptr;
    keyReads = 0;
    std::lock_guard<std::mutex> lock(eventMutex);
    events.clear();
}

// Waits for the worker pool to drain after a run (the run's own drain does not wait in real time).
inline void settleWorkers() {
    evEndFlag.store(1);
    waitFor([] {
        evWorkWake();
        return evWorkBusy() == 0;
    });
}

// Points the log at a folder (empty: no log file).
inline void setLogRoot(const std::string &root, int32_t heartbeat = 86400) {
    logClose();
    LogSettings log{};
    logGetSettings(&log);
    std::snprintf(log.logPath, sizeof log.logPath, "%s", root.c_str());
    log.heartbeat = heartbeat;
    logSetSettings(&log);
}

class EngineTest : public ::testing::Test {
protected:
    void SetUp() override {
        resetEngineState();
        evSetKeySource(scriptedKey);
        setLogRoot(dir.path());
    }
    void TearDown() override {
        for (auto &handle : evConnHandles) handle.store(-1);
        settleWorkers();
        evSetSequences(nullptr);
        evSetKeySource(nullptr);
        setLogRoot("");
        resetEngineState();
    }
    // The text of every log file written so far.
    std::string logText() {
        logClose();
        std::string text;
        for (const std::string &name : dir.list()) text += dir.read(name);
        return text;
    }
    zt::TempDir dir;
};

}  // namespace et
