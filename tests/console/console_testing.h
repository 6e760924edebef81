// Shared fixture of the console tests: a fresh session on a test clock with the console captured,
// torn down (and every slot emptied) after each test.
#pragma once

#include <string>
#include <vector>

#include "cmdserver/cmdserver.h"
#include "console/console.h"
#include "emit/emit.h"
#include "testing/console_session.h"
#include "testing/testing.h"

class ConsoleTest : public zt::ConsoleSessionTest {
protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(ConsoleSessionTest::SetUp());
        console.clear();
    }

    cslOutputLine *add(const std::string &text, uint32_t kind = CSL_LINE_RESPONSE,
                       cslOutputLine *after = nullptr) {
        return cslAddOutput(s, cslMainList(s), after, text.c_str(), static_cast<int64_t>(text.size()), kind,
                            CSL_CURRENT_COMMAND);
    }
    // The texts of the main list, oldest first.
    std::vector<std::string> texts() const { return zt::linesAfter(s); }
    // A connected current connection in the template (no MQ behind it).
    void fakeConnected(const char *qmgr) {
        cslConnection *t = &s->templateConnection;
        t->hconn.store(7);
        std::snprintf(t->connectedName, sizeof t->connectedName, "%s", qmgr);
        std::snprintf(t->administeredName, sizeof t->administeredName, "%s", qmgr);
        s->current = t;
    }
};

// cslInstall() for one test: every slot it fills is as before again afterwards.
class ScopedInstall {
public:
    ScopedInstall() { cslInstall(); }
    ~ScopedInstall() {
        evServices = services_;
        cmdResolveValueName = valueName_;
        cmdConsoleReplyQueue = replyQueue_;
        emitAttributeLookup = attribute_;
        cslOutputFileCalls = file_;
    }
    ScopedInstall(const ScopedInstall &) = delete;
    ScopedInstall &operator=(const ScopedInstall &) = delete;

private:
    EvServices services_ = evServices;
    decltype(cmdResolveValueName) valueName_ = cmdResolveValueName;
    decltype(cmdConsoleReplyQueue) replyQueue_ = cmdConsoleReplyQueue;
    decltype(emitAttributeLookup) attribute_ = emitAttributeLookup;
    const CslFileCalls *file_ = cslOutputFileCalls;
};
