// Shared pieces of the configuration tests: a clean model per test and the change lines caught on
// their way to the command set's pending log lines.
#pragma once

#include <string>
#include <vector>

#include "config/config.h"
#include "testing/testing.h"

namespace ct {

// Where the change lines go while a test runs (null: into the log at once).
inline void setChangeLineSink(void (*sink)(const char *text)) {
    evStreamGetHooks()->pendingLogLine = sink;
}

// Every change line handed over since the last reset.
inline std::vector<std::string> &changeLines() {
    static std::vector<std::string> lines;
    return lines;
}

// Every emitter definition freed: the model's free leaves them.
inline void freeEmitters() {
    while (EmitterDef *e = evEmitterList) {
        evEmitterList = e->next;
        CSFreeMem(e);
    }
}

// No queue managers, event queues, emitters, stream definitions or string pool; settings at their
// defaults; change lines caught; TZ UTC and the clock at 2026-01-01.
class ConfigTest : public ::testing::Test {
protected:
    ConfigTest() : tz_("UTC0"), clock_(1767225600) {}
    void SetUp() override {
        clear();
        evSettingsDefaults(1767225600);
        changeLines().clear();
        setChangeLineSink([](const char *text) { changeLines().emplace_back(text); });
        evConfigChanged.store(0);
    }
    void TearDown() override {
        setChangeLineSink(nullptr);
        clear();
    }
    static void clear() {
        cfgFreeModel(1);
        evStreamDefFreeAll();
        evStringsFree(1);
        freeEmitters();
    }

    zt::ScopedTZ tz_;
    zt::TestClock clock_;
};

}  // namespace ct
