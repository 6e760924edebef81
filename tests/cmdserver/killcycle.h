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
    // One real 2085 event, taken off its queue: the template of the events put later.
    void takeTemplate() {
        raiseEvents(1);
        MQHOBJ hobj = openQueue(kQmgrEvents, MQOO_INPUT_SHARED);
        templ.assign(65536, '\0');
        MQMD md = MQMD_DEFAULT;
        MQGMO gmo = MQGMO_DEFAULT;
        gmo.Options = MQGMO_NO_SYNCPOINT;
        MQLONG length = 0, cc = 0, rc = 0;
        raw.MQGET(own, hobj, &md, &gmo, static_cast<MQLONG>(templ.size()), templ.data(), &length, &cc, &rc);
        ASSERT_EQ(rc, MQRC_NONE);
        templ.resize(static_cast<size_t>(length));
        closeQueue(&hobj);
        nameAt = templ.find("NO.SUCH.QUEUE.0");
        ASSERT_NE(nameAt, std::string::npos);
    }
    // The next event, naming a queue of its own so that no two events match as a storm.
    void putEvent() {
        std::string event = templ;
        char name[16];
        std::snprintf(name, sizeof name, "K.%013d", ++put);
        event.replace(nameAt, 15, name, 15);
        putMessage(kQmgrEvents, MQFMT_EVENT, event);
    }
    void putCommand(const std::string &text) { sendCommand(MQFMT_STRING, text, MQPER_PERSISTENT); }
    static bool allDisconnected() {
        for (auto &handle : evConnHandles)
            if (handle.load() != -1) return false;
        return evRunState.disconnecting.load() == 0;
    }
    // The records of each runtime stream of QM1 by definition name, as a reload finds them.
    static std::map<std::string, uint64_t> streams() {
        CSRecursiveGuard lock(gConsumerLock);
        std::map<std::string, uint64_t> out;
        char key[EV_QUEUE_NAME_MAX + 1] = "QM1";
        auto *qmgr = reinterpret_cast<QmgrEntry *>(CSTreeFind(evQmgrTree, key, sizeof key));
        for (Stream *s = qmgr ? qmgr->streams : nullptr; s != nullptr; s = s->next)
            out[s->definition ? s->definition->name : "?"] += s->recordCount;
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
            ASSERT_TRUE(et::waitFor(allDisconnected));
            ASSERT_TRUE(qm.start());
            MQLONG cc = 0, rc = 0;
            raw.MQDISC(&own, &cc, &rc);
            own = connectTo("QM1");
            disconnect();
            ASSERT_EQ(connect(), 1) << logText();
        }
        for (int waited = 0; waited < 20000 && (depth(kQmgrEvents) != 0 || depth(EV_COMMAND_QUEUE_NAME) != 0);
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

    std::string templ;
    size_t nameAt = 0;
    int put = 0;
};

}  // namespace kc
