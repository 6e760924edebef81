// A start-up script under test: written to a temporary folder, loaded into a fresh console session
// with the script's slots installed, and records in their stored forms handed to its hooks.
#pragma once

#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "console/console.h"
#include "engine/engine.h"
#include "script/internal.h"
#include "testing/console_capture.h"
#include "testing/testing.h"
#include "tests/streams/cf_record.h"

namespace ht {

inline const char *const kHooks[] = {"ZUNTEvent",        "ZUNTStatQ",   "ZUNTStatChl",    "ZUNTStatMQI",
                                     "ZUNTAcctQ",        "ZUNTAcctMQI", "ZUNTConnected",  "ZUNTDisconnected",
                                     "ZUNTRetryConnect", "ZUNTEnding",  "ZUNTAlertExpire"};

struct Body {
    std::string hook;
    std::string text;
};

// The main program's lines, then every hook but those left out, each with its body (if any).
inline std::string script(const std::string &main, const std::vector<Body> &bodies = {},
                          const std::vector<std::string> &leftOut = {}) {
    std::string s = main;
    for (const char *hook : kHooks) {
        bool skip = false;
        for (const std::string &name : leftOut) skip = skip || name == hook;
        if (skip) continue;
        s += std::string("func ") + hook + "()\n";
        for (const Body &b : bodies)
            if (b.hook == hook) s += b.text;
        s += "endfunc\n";
    }
    return s;
}

// A record as the hooks are handed it, an event's unless told.
class Record : public cfr::Record<Record> {
public:
    explicit Record(uint16_t command = 44, uint16_t flags = EVCF_FLAG_EVENT)
        : cfr::Record<Record>(1 << 14, command, flags) {}
    Record &integer(int32_t id, int64_t value) {
        evCFItem item{};
        item.type = MQCFT_INTEGER;
        item.parmId = id;
        item.value = value;
        return write(item);
    }
    Record &text(int32_t id, const char *value) {
        evCFItem item{};
        item.type = MQCFT_STRING;
        item.parmId = id;
        item.data = value;
        item.length = static_cast<int32_t>(std::strlen(value));
        item.ccsid = 850;
        return write(item);
    }
    uint32_t length() const { return w_.length; }
};

using cfr::intern;

class HookTest : public ::testing::Test {
protected:
    void SetUp() override {
        scriptInstall();
        evInstallCatalogue();
        evStreamDefFreeAll();
        evStringsFree(1);
        ASSERT_EQ(evStringsInit(0), 1);
        ASSERT_NE(evStringsCreateStream(), nullptr);
    }
    void TearDown() override {
        cslEndSession();
        cslScript = {};
        evServices = EvServices{};
        expSetCatalogue(nullptr);
        cslHookVariableResolver = nullptr;
        cmdDebuggerStop = nullptr;
        gHookMessage = EvHookMessage{};
        evEndFlag.store(0);
        evRunState.debugMode.store(0);
        evSetLineSource(nullptr);
        evStringsFree(1);
        evStreamDefFreeAll();
    }

    // Loads into a new session, as the program does once at start.
    int load(const std::string &text) {
        cslEndSession();
        dir.write("zunt.vdr", text);
        return LoadVEDRAFile(dir.path().c_str());
    }
    cmdProgram *program() const {
        cslSession *s = gSession.load();
        return s != nullptr ? s->program : nullptr;
    }
    std::string value(const char *expression) {
        char *text = cslEvaluateExpression(program(), expression, -1, 0, 0);
        if (text == nullptr) return "<error>";
        std::string s = text;
        CSFreeMem(text);
        return s;
    }
    // Runs the record hook of the kind over the record: its result, the stream list in *streams.
    int call(int32_t kind, Record &record, std::string *streams = nullptr, const MQMD *md = nullptr) {
        record_ =
            EvRecordHook{static_cast<uint32_t>(kind), record.data(), record.length(), md, "QM1", nullptr, {}};
        if (kind == STREAM_TYPE_EVENTS)
            record_.summary = evCFSummarise(&evStreamStringPool, record.data(), record.length());
        int rc = evServices.callRecordHook(&record_, kind);
        if (record_.summary != nullptr) AreaRelease(&record_.summary);
        if (streams != nullptr) *streams = record_.streams;
        return rc;
    }

    zt::TempDir dir;
    zt::ConsoleCapture console;
    EvRecordHook record_{};
};

}  // namespace ht
