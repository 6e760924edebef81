// The real program end to end on a private stand-in queue manager: its retry schemes against a
// queue manager that is down or a data queue in use, outages before its first connect and after a
// scheme's last attempt, kill -9 cycles of the program and of its queue managers with and without a
// separate state queue manager, pairs and storms across kills, the ending of a service, and the
// alert topic after a reconnect. Each event put is stored exactly once, as a fresh load of the data
// queue reads it back. Its endings in steady intake are in program_mt_qm_test.cpp.
#include "program.h"

namespace {

using pt::kQmgrEvents;
using pt::Zunt;

class ProgramQmTest : public pt::ProgramQmTest {};

TEST_F(ProgramQmTest, RetrySchemesOnAStoppedQueueManagerCountTheirAttempts) {
    struct Row {
        const char *scheme;
        int attempts;
        const char *ending;
    };
    const Row rows[] = {{"1(2),1(1)", 3, "Connection retry sequence complete, ZUNT ending"},
                        {"none", 1, "No connection retry configured, ZUNT ending"}};
    ASSERT_TRUE(qm.stop());
    for (const Row &row : rows) {
        SCOPED_TRACE(row.scheme);
        Zunt zunt(dir, std::string("retry") + std::to_string(++runs), {"-m", "QM1", "-r", row.scheme});
        EXPECT_EQ(zunt.wait(), 0) << zunt.out();
        const std::string out = zunt.out();
        EXPECT_EQ(et::countOf(out, "Connect sequence for 'QM1'"), row.attempts) << out;
        EXPECT_EQ(et::countOf(out, pt::kDown), row.attempts) << out;
        EXPECT_NE(out.find(row.ending), std::string::npos) << out;
    }
}

TEST_F(ProgramQmTest, TheDataQueueInUseIsRetriedByTheSchemeUntilItIsFree) {
    MQLONG reason = 0;
    MQHOBJ data = openQueue("HOLVA.ZUNT.DATA.QUEUE", MQOO_INPUT_EXCLUSIVE, &reason);
    ASSERT_EQ(reason, MQRC_NONE);
    Zunt zunt(dir, "inuse", {"-m", "QM1", "-r", "1(30)"});
    EXPECT_TRUE(zunt.waitOut("Failed to open data queue 'QM1/HOLVA.ZUNT.DATA.QUEUE' RC(2042)", 2))
        << zunt.out();
    closeQueue(&data);
    EXPECT_TRUE(zunt.waitInitialised()) << zunt.out();
    zunt.term();
    EXPECT_EQ(zunt.wait(), 0) << zunt.out();
}

// Events wait while the queue manager is down at the start; the scheme's last attempt connects; an
// outage after it starts a fresh scheme instead of ending the program.
TEST_F(ProgramQmTest, OutagesBeforeTheFirstConnectAndAfterTheLastAttemptAreRetried) {
    for (int i = 0; i < 20; i++) putEvent();
    ASSERT_TRUE(qm.stop());
    {
        Zunt zunt(dir, "outages", {"-m", "QM1", "-r", "1(2),4(1)"});
        ASSERT_TRUE(zunt.waitOut(pt::kDown, 2)) << zunt.out();
        ASSERT_TRUE(qm.start());
        reconnectOwn();
        ASSERT_TRUE(zunt.waitInitialised()) << zunt.out();
        EXPECT_EQ(et::countOf(zunt.out(), "Connect sequence for 'QM1'"), 3) << "the last attempt connected";
        ASSERT_TRUE(drained()) << zunt.out();

        qm.kill9();
        ASSERT_TRUE(zunt.waitOut("Queue Manager 'QM1' ending RC(2009)")) << zunt.out();
        ASSERT_TRUE(zunt.waitOut(pt::kDown, 4)) << zunt.out();
        ASSERT_TRUE(qm.start());
        reconnectOwn();
        ASSERT_TRUE(zunt.waitInitialised(2)) << zunt.out();
        EXPECT_EQ(zunt.out().find("ZUNT ending"), std::string::npos);
        for (int i = 0; i < 20; i++) putEvent();
        ASSERT_TRUE(drained()) << zunt.out();
        zunt.term();
        EXPECT_EQ(zunt.wait(), 0) << zunt.out();
    }
    EXPECT_EQ(notOnce(drainAndReadBack()), "");
}

// kill -9 of the program at random moments while distinct events, before/after pairs, storms and
// commands that change configuration or hold set E arrive: each event and each pair stored once,
// each storm's EVREPEAT sum the events put.
TEST_F(ProgramQmTest, KillCyclesInSteadyIntakeStoreEachEventOnce) {
    if (!pt::kKillsSound) GTEST_SKIP() << "kills of the program under wine (program.h)";
    takeMixTemplates();
    seed(stormsOfTen);
    killCycles(20, 20261207, true);
}

TEST_F(ProgramQmTest, KillCyclesWithAStateQueueManagerStoreEachEventOnce) {
    if (!pt::kKillsSound) GTEST_SKIP() << "kills of the program under wine (program.h)";
    takeMixTemplates();
    seed(stormsOfTen);
    useStateQueueManager(stormsOfTen);
    killCycles(20, 20261208, true);
}

// kill -9 of the program by its own MQI table at fixed calls: set C's commit inside its hold of set E
// (after set E's commit, when set E's unit held anything), a blob's put after the removal of its old
// copy, and the storm message's put after its old copy's removal; with a separate state queue manager
// also between a set's state and event commits and in the seen list's save.
TEST_F(ProgramQmTest, KillsAtFixedCallsStoreEachEventOnce) {
    if (!pt::kKillsSound) GTEST_SKIP() << "kills of the program under wine (program.h)";
    using enum Flow;
    takeMixTemplates();
    seed(stormsOfTen);
    const std::string blob = "MQPUT@E_STATE#" + std::to_string(kBlob) + ":1";
    const std::string storm = "MQPUT#" + std::to_string(kStorms) + ":2";
    const std::vector<std::string> afterRemoval{"OUT  HC(E_EVENT ) MQGET(Data) RC(2079)",
                                                "IN   HC(E_EVENT ) MQPUT(Data)"};
    killAtPoints({
        {"in the hold",
         "MQCMIT@C_EVENT:1",
         kHold,
         "a",
         {"IN   HC(E_EVENT ) MQCTL(SUSPEND)", "?OUT  HC(E_EVENT ) MQCMIT RC(0)", "IN   HC(C_EVENT ) MQCMIT"},
         8},
        // Set E's first blob put of the run rewrites a stream's current blob stored before it.
        {"a blob", blob.c_str(), kEvents, "A", afterRemoval, 2},
        {"the storms", storm.c_str(), kMixed, "A", afterRemoval, 0},
    });
}

TEST_F(ProgramQmTest, KillsAtFixedCallsWithAStateQueueManagerStoreEachEventOnce) {
    if (!pt::kKillsSound) GTEST_SKIP() << "kills of the program under wine (program.h)";
    using enum Flow;
    takeMixTemplates();
    seed(stormsOfTen);
    useStateQueueManager(stormsOfTen);
    const std::string seen = "MQPUT@E_STATE#" + std::to_string(kSeenOfSetE) + ":2";
    const std::string storm = "MQPUT#" + std::to_string(kStorms) + ":2";
    const std::vector<std::string> afterRemoval{"OUT  HC(E_STATE ) MQGET(Data) RC(2079)",
                                                "IN   HC(E_STATE ) MQPUT(Data)"};
    killAtPoints({
        {"in the hold",
         "MQCMIT@C_EVENT:1",
         kHold,
         "a",
         {"IN   HC(E_EVENT ) MQCTL(SUSPEND)", "?OUT  HC(E_STATE ) MQCMIT RC(0)",
          "?OUT  HC(E_EVENT ) MQCMIT RC(0)", "OUT  HC(C_STATE ) MQCMIT RC(0)", "IN   HC(C_EVENT ) MQCMIT"},
         8},
        {"between the commits",
         "MQCMIT@E_EVENT:3",
         kMixed,
         "a",
         {"OUT  HC(E_STATE ) MQCMIT RC(0)", "IN   HC(E_EVENT ) MQCMIT"},
         0},
        {"the seen list", seen.c_str(), kMixed, "A", afterRemoval, 0},
        {"the storms", storm.c_str(), kMixed, "A", afterRemoval, 0},
    });
}

// A 'before' half waiting for its 'after' lives in memory only: neither a stream-changing command's
// hold on set E, nor set E's sync point after set C's commit, nor a storm check commits it, so a kill
// in between loses no pair.
TEST_F(ProgramQmTest, AWaitingBeforeHalfSurvivesAHoldAndAStormCheckAndAKill) {
    if (!pt::kKillsSound) GTEST_SKIP() << "kills of the program under wine (program.h)";
    takeMixTemplates();
    seed(stormsOfTen);
    for (const bool storm : {false, true}) {
        SCOPED_TRACE(storm ? "storm check" : "command");
        const int from = pairs.load();
        {
            Zunt zunt(dir, "before" + std::to_string(++runs), runOptions());
            ASSERT_TRUE(zunt.waitInitialised()) << zunt.out();
            char name[16];
            std::snprintf(name, sizeof name, "P.%013d", ++pairs);
            putOn(own, renamed(pairTempl[0], "P.0000000000000", name), pt::kConfigEvents);
            ASSERT_TRUE(drained()) << zunt.out();
            if (storm) {
                putStorm(own);
                ASSERT_TRUE(drained()) << zunt.out();
                usleep(3000000);  // past STORMINT
            } else {
                const MQLONG replies = depth("REPLY.Q");
                putOn(own, "DEBUG HOUSEKEEP", EV_COMMAND_QUEUE_NAME, MQFMT_STRING);
                for (int waited = 0; waited < 10000 && depth("REPLY.Q") == replies; waited += 20)
                    usleep(20000);
                EXPECT_GT(depth("REPLY.Q"), replies) << "answered";
                // Set C's commit of the answer leaves the 'before' waiting for the next event's sync point.
                putEvent();
                ASSERT_TRUE(drained()) << zunt.out();
            }
            zunt.kill9();
            putOn(own, renamed(pairTempl[1], "P.0000000000000", name), pt::kConfigEvents);
        }
        EXPECT_EQ(notOnce(drainAndReadBack(), from, 'P'), "");
    }
    EXPECT_EQ(stormsNotSummed(), "");
}
// 25 matching events taken in and committed, the program killed before STORMINT ends: the next run
// loads the storm's count and stores one record with EVREPEAT 15 beside the ten stored singly.
TEST_F(ProgramQmTest, AStormKilledBeforeItsIntervalEndsStoresOneRepeatOfFifteen) {
    if (!pt::kKillsSound) GTEST_SKIP() << "kills of the program under wine (program.h)";
    seed([] {
        stormsOfTen();
        evSettings.stormInterval.store(4);
    });
    putStorm(own);
    {
        Zunt zunt(dir, "storm", runOptions());
        ASSERT_TRUE(zunt.waitInitialised()) << zunt.out();
        ASSERT_TRUE(drained(3000)) << zunt.out();
        usleep(300000);  // the last sync point
        zunt.kill9();
    }
    drainAndReadBack();
    EXPECT_EQ(repeats["S.0000000000001"], std::vector<int>({1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 15}));
}

// Killed queue managers at random moments of intake: the program reconnects each time, and every
// event is stored once.
#ifdef _WIN32
constexpr int kQmKills = 4;  // under wine each round costs more of the CI's time; four still vary the moment
#else
constexpr int kQmKills = 10;
#endif

TEST_F(ProgramQmTest, QueueManagerKillCyclesStoreEachEventOnce) {
    qmKillCycles(kQmKills, 20261211);
}

TEST_F(ProgramQmTest, StateQueueManagerKillCyclesStoreEachEventOnce) {
    useStateQueueManager();
    qmKillCycles(kQmKills, 20261212);
}

// As a service (-k) the program ends with its queue manager; with a separate state queue manager
// only with that one, and it reconnects when the event queue manager ends.
TEST_F(ProgramQmTest, AServiceEndsWithTheQueueManagerThatRunsIt) {
    struct Row {
        bool separate;
        const char *victim;
        bool ends;
    };
    const Row rows[] = {{false, "QM1", true}, {true, "QM1", false}, {true, "QS", true}};
    useStateQueueManager();
    for (const Row &row : rows) {
        SCOPED_TRACE(std::string(row.separate ? "-s, " : "") + row.victim);
        std::vector<std::string> options{"-m", "QM1", "-k", "-r", "1(1000)"};
        if (row.separate) options.insert(options.end(), {"-s", "QS"});
        Zunt zunt(dir, "service" + std::to_string(++runs), options);
        ASSERT_TRUE(zunt.waitInitialised()) << zunt.log();
        qm.kill9(row.victim);
        ASSERT_EQ(qm.tool(std::string("start ") + row.victim + " --no-fsync"), 0);
        if (std::string(row.victim) == "QM1") reconnectOwn();
        if (row.ends) {
            EXPECT_GE(zunt.wait(20000), 0) << zunt.log();
        } else {
            EXPECT_TRUE(zunt.waitInitialised(2)) << zunt.log();
            EXPECT_TRUE(zunt.running());
#ifdef _WIN32
            putOn(own, "STOP EV", EV_COMMAND_QUEUE_NAME, MQFMT_STRING);
#endif
            zunt.term();
            EXPECT_EQ(zunt.wait(), 0) << zunt.log();
        }
        EXPECT_EQ(et::countOf(zunt.log(), "ZUNT Initialised"), row.ends ? 1 : 2) << zunt.log();
    }
}

// The alert topic is opened again on the new connection: a storm after the reconnect still reaches
// the subscribers.
TEST_F(ProgramQmTest, ASubscriberGetsTheNextAlertAfterAReconnect) {
    seed([] {
        evSettings.stormThreshold.store(2);
        evSettings.stormInterval.store(1);
    });
    MQHOBJ subscription = MQHO_NONE, queue = MQHO_NONE;
    auto subscribe = [&] {
        MQSD sd = MQSD_DEFAULT;
        sd.Options = MQSO_CREATE | MQSO_MANAGED | MQSO_NON_DURABLE;
        sd.ObjectString.VSPtr = const_cast<char *>(EV_ALERT_TOPIC);
        sd.ObjectString.VSLength = static_cast<MQLONG>(std::strlen(EV_ALERT_TOPIC));
        queue = subscription = MQHO_NONE;
        MQLONG cc = 0, rc = 0;
        raw.MQSUB(own, &sd, &queue, &subscription, &cc, &rc);
        ASSERT_EQ(rc, MQRC_NONE);
    };
    // Four matching events: two stored, two counted, and at the storm check one more with the alert.
    auto storm = [&](const char *name) {
        for (int i = 0; i < 4; i++) putOn(own, eventFor(name));
    };
    auto nextAlert = [&]() -> std::string {
        std::string data(65536, '\0');
        MQMD md = MQMD_DEFAULT;
        MQGMO gmo = MQGMO_DEFAULT;
        gmo.Options = MQGMO_NO_SYNCPOINT | MQGMO_WAIT;
        gmo.WaitInterval = 20000;
        MQLONG length = 0, cc = 0, rc = 0;
        raw.MQGET(own, queue, &md, &gmo, static_cast<MQLONG>(data.size()), data.data(), &length, &cc, &rc);
        if (cc == MQCC_FAILED) return "none " + std::to_string(rc);
        data.resize(static_cast<size_t>(length));
        const auto *bytes = reinterpret_cast<const uint8_t *>(data.data());
        size_t at =
            data.compare(0, 4, "RFH ") == 0 ? static_cast<size_t>(mqiGetI32(bytes, 8)) : 0;  // properties
        if (at + sizeof(MQCFH) > data.size()) return "short";
        return std::to_string(mqiGetI32(bytes + at, offsetof(MQCFH, Command))) +
               (data.find("$STORM") != std::string::npos ? " $STORM" : "");
    };

    subscribe();
    Zunt zunt(dir, "alerts", {"-m", "QM1", "-r", "1(100)"});
    ASSERT_TRUE(zunt.waitInitialised()) << zunt.out();
    storm("S.0000000000001");
    EXPECT_EQ(nextAlert(), "9021 $STORM") << zunt.out();

    qm.kill9();
    ASSERT_TRUE(qm.start());
    reconnectOwn();
    subscribe();
    ASSERT_TRUE(zunt.waitInitialised(2)) << zunt.out();
    storm("S.0000000000002");
    EXPECT_EQ(nextAlert(), "9021 $STORM") << zunt.out();
    zunt.term();
    EXPECT_EQ(zunt.wait(), 0) << zunt.out();
}

}  // namespace
