// Exactly once across crashes of the queue manager while commands that change streams arrive with
// the events: copies into fresh targets, renames back and forth, displays and alerts. After the
// last cycle every event put is stored once in its stream, and each copy's target holds at most
// what its source held (a killed copy keeps a prefix of committed batches).
#pragma once

#include <unistd.h>

#include <cstdio>
#include <map>
#include <random>
#include <string>

#include "cmdserver/cmdserver.h"
#include "tests/engine/engine_qm.h"

namespace kc {

using eqm::kQmgrEvents;

class CommandKillCycleTest : public eqm::EngineQmTest {
protected:
    void SetUp() override {
        eqm::EngineQmTest::SetUp();
        cmdInstall();
        // Every copy takes the whole source again: the long run's queues must hold what piles up
        // while a late copy runs.
        ASSERT_EQ(qm.mqsc("DEFINE QLOCAL(REPLY.Q) MAXDEPTH(999999)\nALTER QMGR STRSTPEV(DISABLED)\n"
                          "ALTER QLOCAL(SYSTEM.ADMIN.QMGR.EVENT) MAXDEPTH(999999)\n"
                          "ALTER QLOCAL(HOLVA.ZUNT.DATA.QUEUE) MAXDEPTH(999999)\n"),
                  0);
    }
    void putCommand(const std::string &text) { sendCommand(MQFMT_STRING, text, MQPER_PERSISTENT); }
    // The records of each runtime stream of QM1 by definition name, as a reload finds them.
    static std::map<std::string, uint64_t> streams() {
        std::map<std::string, uint64_t> out;
        forEachStream(
            [&out](Stream *s) { out[s->definition ? s->definition->name : "?"] += s->recordCount; });
        return out;
    }

    void runCycles(int cycles) {
        ASSERT_EQ(connect(), 1) << logText();
        takeTemplate();
        resumeByCommand({kQmgrEvents});
        putCommand("DEFINE EVSTREAM(R1) TYPE(EVENTS)");
        std::mt19937 random(20261207);
        for (int cycle = 0; cycle < cycles; cycle++) {
            SCOPED_TRACE(cycle);
            char text[128];
            for (int i = 0; i < 20; i++) putEvent();
            std::snprintf(text, sizeof text, "DEFINE EVSTREAM(T%d) TYPE(EVENTS)", cycle);
            putCommand(text);
            std::snprintf(text, sizeof text, "COPY EVSTRMST($EVENTS) TARGET(T%d) EVQMGR(QM1)", cycle);
            putCommand(text);
            for (int i = 0; i < 10; i++) putEvent();
            putCommand(cycle % 2 == 0 ? "RENAME EVSTREAM(R1) NEWNAME(R2)"
                                      : "RENAME EVSTREAM(R2) NEWNAME(R1)");
            putCommand("DISPLAY EVSTRMST(*)");
            std::snprintf(text, sizeof text, "ADD EVALERT TEXT('cycle %d') SEVERITY(WARN)", cycle);
            putCommand(text);
            for (int i = 0; i < 10; i++) putEvent();
            // Mostly while the engine takes them in: units open, nothing committed.
            usleep(std::uniform_int_distribution<int>(0, 20000)(random));
            qm.kill9();
            ASSERT_NO_FATAL_FAILURE(restartAndReconnect());
        }
        // Taken in and committed, bounded for a loaded two-core machine.
        for (int waited = 0; waited < 120000 && !(taken(kQmgrEvents) && taken(EV_COMMAND_QUEUE_NAME));
             waited += 10)
            usleep(10000);
        ASSERT_EQ(depth(kQmgrEvents), 0);
        ASSERT_EQ(depth(EV_COMMAND_QUEUE_NAME), 0);
        disconnect();
        ASSERT_EQ(connect(), 1) << logText();
        const std::map<std::string, uint64_t> stored = streams();
        EXPECT_EQ(stored.at("$EVENTS"), static_cast<uint64_t>(put));
        for (const auto &[name, records] : stored)
            if (name != "$EVENTS") {
                EXPECT_LE(records, static_cast<uint64_t>(put)) << name;
            }
    }
};

}  // namespace kc
