// Exactly once across crashes of the queue manager: distinct persistent events arrive steadily while
// the stand-in's server is killed (-9) at random moments and started again; the engine reconnects
// each time, and after the last cycle every event is stored exactly once, as a reload finds them.
// Long: left out of the default test runs (label "long").
#include <unistd.h>

#include <cstdio>
#include <random>

#include "engine_qm.h"

namespace {

using eqm::kQmgrEvents;

class KillCycleQmTest : public eqm::EngineQmTest {
protected:
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
    // The next event: the template naming a queue of its own, so that no two events match as a storm.
    void putEvent() {
        std::string event = templ;
        char name[16];
        std::snprintf(name, sizeof name, "K.%013d", ++put);
        event.replace(nameAt, 15, name, 15);
        putMessage(kQmgrEvents, MQFMT_EVENT, event);
    }
    static bool allDisconnected() {
        for (auto &handle : evConnHandles)
            if (handle.load() != -1) return false;
        return evRunState.disconnecting.load() == 0;
    }

    std::string templ;
    size_t nameAt = 0;
    int put = 0;
};

TEST_F(KillCycleQmTest, EveryEventIsStoredOnceAcrossKilledQueueManagers) {
    // The queue manager's start events would add one event per cycle.
    ASSERT_EQ(qm.mqsc("ALTER QMGR STRSTPEV(DISABLED)\n"), 0);
    ASSERT_EQ(connect(), 1) << logText();
    takeTemplate();
    resumeByCommand({kQmgrEvents});
    std::mt19937 random(20261207);
    for (int cycle = 0; cycle < 50; cycle++) {
        SCOPED_TRACE(cycle);
        for (int i = 0; i < 40; i++) putEvent();
        // Mostly while the engine takes them in: its unit open, records put, nothing committed.
        usleep(std::uniform_int_distribution<int>(0, 10000)(random));
        qm.kill9();
        ASSERT_TRUE(et::waitFor(allDisconnected));
        ASSERT_TRUE(qm.start());
        MQLONG cc = 0, rc = 0;
        raw.MQDISC(&own, &cc, &rc);
        own = connectTo("QM1");
        disconnect();
        ASSERT_EQ(connect(), 1) << logText();
    }
    for (int waited = 0; waited < 10000 && depth(kQmgrEvents) != 0; waited += 10) usleep(10000);
    ASSERT_EQ(depth(kQmgrEvents), 0);
    disconnect();
    ASSERT_EQ(connect(), 1) << logText();
    EXPECT_EQ(storedRecords(), static_cast<uint64_t>(put));
}

}  // namespace
