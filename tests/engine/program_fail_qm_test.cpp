// The real program on a private stand-in queue manager with a message it can neither handle nor move
// aside: the queue stops where an administrator looks, commands go on being answered, and RESUME EVQ
// takes the message once the dead-letter queue can.
#include <cctype>

#include "program.h"

namespace {

using pt::kQmgrEvents;
using pt::Zunt;

class ProgramFailQmTest : public pt::ProgramQmTest {
protected:
    // The command's MQSC reply text.
    std::string command(const std::string &text) {
        sendCommand(MQFMT_STRING, text);
        return replyText(10000);
    }
};

// DISPLAY EVQ counts what committed units took: the events before the stop, not the message on the
// queue nor those backed out with it (taken when RESUME takes them), and the failed move as an error.
TEST_F(ProgramFailQmTest, AMessageThatCannotBeDeadLetteredStopsItsQueueUntilResumed) {
    // USEDLQ(YES) with no dead-letter queue; IFAVAIL with one that refuses the put: neither consumes.
    // Alone in its unit the queue stops at once; after events in its unit, once they are backed out
    // and memory loaded again.
    struct Row {
        const char *name;
        const char *setUp;  // MQSC before the run
        const char *useDlq;
        const char *said;
        const char *release;  // MQSC that lets the dead-letter queue take it
        const char *command;  // and the command, if one is needed
        int along;            // events put with it in one unit, before it
    };
    const Row rows[] = {
        {"no DLQ", "", "ALTER EV USEDLQ(YES)", "No Dead Letter Queue defined.", "DEFINE QLOCAL(Q.DLQ)\n",
         "ALTER EV DEADQ(Q.DLQ)", 0},
        {"put-inhibited DLQ", "ALTER QLOCAL(Q.DLQ) PUT(DISABLED)\n", "ALTER EV USEDLQ(IFAVAIL)",
         "MQPUT(QM1/Q.DLQ) failed RC(2051)", "ALTER QLOCAL(Q.DLQ) PUT(ENABLED)\n", "", 2},
    };
    constexpr int kBefore = 2;  // events taken in before the message
    const std::string counts = "DISPLAY EVQ(SYSTEM.ADMIN.QMGR.EVENT) MSGS EVENTCT DLQCT ERRORCT";
    auto shown = [](int msgs, int events, int dlq, int errors) {
        return "MSGS(" + std::to_string(msgs) + ") EVENTCT(" + std::to_string(events) + ") DLQCT(" +
               std::to_string(dlq) + ") ERRORCT(" + std::to_string(errors) + ")";
    };
    int named = 0;
    ASSERT_EQ(qm.mqsc("DEFINE QLOCAL(REPLY.Q)\n"), 0);
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        ASSERT_EQ(qm.mqsc(row.setUp), 0);
        Zunt zunt(dir, std::string("poison") + row.name, runOptions());
        ASSERT_TRUE(zunt.waitInitialised()) << zunt.out();
        EXPECT_NE(command(row.useDlq).find("AMQ"), std::string::npos);
        for (int i = 0; i < kBefore; i++)
            putOn(own, eventFor("APP." + std::to_string(10000000000 + ++named)));
        ASSERT_TRUE(drained()) << zunt.log();
        MQHOBJ hobj = openQueue(kQmgrEvents, MQOO_OUTPUT);
        for (int i = 0; i <= row.along; i++) {
            const bool last = i == row.along;
            std::string data =
                last ? "not an event" : eventFor("APP." + std::to_string(10000000000 + ++named));
            MQMD md = MQMD_DEFAULT;
            std::memcpy(md.Format, last ? MQFMT_STRING : MQFMT_EVENT, MQ_FORMAT_LENGTH);
            md.Persistence = MQPER_PERSISTENT;
            MQPMO pmo = MQPMO_DEFAULT;
            pmo.Options = MQPMO_SYNCPOINT;
            MQLONG cc = 0, rc = 0;
            raw.MQPUT(own, hobj, &md, &pmo, static_cast<MQLONG>(data.size()), data.data(), &cc, &rc);
            ASSERT_EQ(rc, MQRC_NONE);
        }
        MQLONG cc = 0, rc = 0;
        raw.MQCMIT(own, &cc, &rc);
        ASSERT_EQ(rc, MQRC_NONE);
        closeQueue(&hobj);
        const std::string stopped = std::string("*** Event queue '") + kQmgrEvents + "' stopped";
        ASSERT_TRUE(zunt.waitLog(stopped)) << zunt.log();
        const size_t logged = zunt.log().size();
        sleep(2);
        const std::string later = zunt.log();
        EXPECT_LT(later.size() - logged, 1000u) << later.substr(logged);
        EXPECT_EQ(et::countOf(later, stopped), 1);
        EXPECT_EQ(et::countOf(later, row.said), 1) << later;
        EXPECT_EQ(et::countOf(later, "Connect sequence for"), 1) << "no reconnect";
        EXPECT_NE(command("DISPLAY EVQ(SYSTEM.ADMIN.QMGR.EVENT) STATUS").find("STATUS(BOQFAIL)"),
                  std::string::npos);
        EXPECT_NE(command("DISPLAY EVALERT(*) ALL").find("$BOQFAIL"), std::string::npos);
        EXPECT_EQ(depth(kQmgrEvents), 1 + row.along);
        const std::string atStop = command(counts);
        EXPECT_NE(atStop.find(shown(kBefore, kBefore, 0, 1)), std::string::npos) << atStop;

        ASSERT_EQ(qm.mqsc(row.release), 0);
        if (row.command[0] != 0) command(row.command);
        command("RESUME EVQ(SYSTEM.ADMIN.QMGR.EVENT)");
        ASSERT_TRUE(drained()) << zunt.log();
        EXPECT_TRUE(et::waitFor([this] { return depth("Q.DLQ") == 1; }));
        EXPECT_NE(command("DISPLAY EVQ(SYSTEM.ADMIN.QMGR.EVENT) STATUS").find("STATUS(ACTIVE)"),
                  std::string::npos);
        EXPECT_EQ(command("DISPLAY EVALERT(*) ALL").find("$BOQFAIL"), std::string::npos);
        // Taken again: not an event, an error of its own, and moved aside.
        const int taken = kBefore + row.along + 1;
        const std::string resumed = command(counts);
        EXPECT_NE(resumed.find(shown(taken, taken - 1, 1, 2)), std::string::npos) << resumed;
        zunt.term();
        EXPECT_EQ(zunt.wait(), 0) << zunt.out();
        emptyQueue("Q.DLQ");
    }
}

// Every message consumed without a copy is counted in the log: the first of a second has a line of
// its own, the rest of that second one line with their number, said in the next second at the latest,
// or by the end when the program ends within that second.
TEST_F(ProgramFailQmTest, EveryDiscardedMessageIsCountedInTheLog) {
    ASSERT_EQ(qm.mqsc("DEFINE QLOCAL(REPLY.Q)\n"), 0);
    auto counted = [](const std::string &log) {
        int n = et::countOf(log, "Message discarded from queue '");
        const std::string more = " more messages discarded";
        for (size_t at = log.find(more); at != std::string::npos; at = log.find(more, at + 1)) {
            size_t from = at;
            while (from > 0 && std::isdigit(static_cast<unsigned char>(log[from - 1]))) from--;
            n += std::atoi(log.c_str() + from);
        }
        return n;
    };
    constexpr int kMessages = 200;
    for (bool endAtOnce : {false, true}) {
        SCOPED_TRACE(endAtOnce ? "the end at once" : "the count waited for");
        Zunt zunt(dir, std::string("discards") + (endAtOnce ? "1" : "0"), runOptions());
        ASSERT_TRUE(zunt.waitInitialised()) << zunt.out();
        EXPECT_NE(command("ALTER EV USEDLQ(NO)").find("AMQ"), std::string::npos);
        // Put under one commit: taken in a burst, well within a second.
        MQHOBJ hobj = openQueue(kQmgrEvents, MQOO_OUTPUT);
        for (int i = 0; i < kMessages; i++) {
            MQMD md = MQMD_DEFAULT;
            std::memcpy(md.Format, MQFMT_STRING, MQ_FORMAT_LENGTH);
            MQPMO pmo = MQPMO_DEFAULT;
            pmo.Options = MQPMO_SYNCPOINT;
            MQLONG cc = 0, rc = 0;
            char text[] = "not an event";
            raw.MQPUT(own, hobj, &md, &pmo, sizeof text - 1, text, &cc, &rc);
            ASSERT_EQ(rc, MQRC_NONE);
        }
        MQLONG cc = 0, rc = 0;
        raw.MQCMIT(own, &cc, &rc);
        closeQueue(&hobj);
        ASSERT_TRUE(drained()) << zunt.log();
        if (!endAtOnce) {
            EXPECT_TRUE(et::waitFor([&] { return counted(zunt.log()) == kMessages; }))
                << counted(zunt.log()) << "\n"
                << zunt.log();
        }
        zunt.term();
        EXPECT_EQ(zunt.wait(), 0) << zunt.out();
        EXPECT_EQ(counted(zunt.log()), kMessages) << zunt.log();
        EXPECT_LT(et::countOf(zunt.log(), "discarded"), kMessages / 2) << "not a line for each";
    }
}

// A data queue that another application filled before the start: said once, the events wait on their
// queue, commands are answered without a reconnect (a change of configuration refused until there is
// room), the program neither spins nor floods its log, and once there is room every waiting event is
// stored exactly once.
TEST_F(ProgramFailQmTest, AFullDataQueueHoldsIntakeQuietlyAndResumesWhenItHasRoom) {
    fullDataQueue(3, false);
}

// An event whose record no blob can hold (a 400,000-byte description) costs that message only: moved
// to the dead-letter queue at once with one line naming it, the connection stays up, and the events
// around it are stored once.
TEST_F(ProgramFailQmTest, AnEventTooLargeToStoreIsMovedAsideAtOnce) {
    ASSERT_EQ(qm.mqsc("DEFINE QLOCAL(Q.DLQ)\nALTER QMGR DEADQ(Q.DLQ)\n"
                      "ALTER QLOCAL(SYSTEM.ADMIN.QMGR.EVENT) MAXMSGL(4194304)\n"),
              0);
    // The template with one more parameter: MQCA_Q_DESC as an MQCFST of 400,000 characters.
    std::string big = eventFor("B.0000000000001");
    const std::string text(400000, 'D');
    uint8_t head[20];
    const int32_t fields[] = {MQCFT_STRING, static_cast<int32_t>(sizeof head + text.size()), MQCA_Q_DESC, 819,
                              static_cast<int32_t>(text.size())};
    for (size_t i = 0; i < std::size(fields); i++) mqiPutI32(head, 4 * i, fields[i]);
    big.append(reinterpret_cast<const char *>(head), sizeof head).append(text);
    mqiPutI32(reinterpret_cast<uint8_t *>(big.data()), 32,
              mqiGetI32(reinterpret_cast<uint8_t *>(big.data()), 32) + 1);
    putEvent();
    putMessage(kQmgrEvents, MQFMT_EVENT, big);
    putEvent();
    putMessage(kQmgrEvents, MQFMT_EVENT, big);
    putEvent();

    Zunt zunt(dir, "large", runOptions());
    ASSERT_TRUE(zunt.waitInitialised()) << zunt.out();
    ASSERT_TRUE(drained()) << zunt.log();
    EXPECT_TRUE(et::waitFor([this] { return depth("Q.DLQ") == 2; })) << zunt.log();
    const std::string log = zunt.log();
    EXPECT_EQ(et::countOf(log, std::string("Event too large to store. Queue '") + kQmgrEvents + "' MsgId("),
              2)
        << log;
    // The record holds the putting application's context too, whose length is the platform's.
#ifdef _WIN32
    constexpr const char *kRecord = "record of 400084 bytes, Blob Size(10240)";
#else
    constexpr const char *kRecord = "record of 400070 bytes, Blob Size(10240)";
#endif
    EXPECT_EQ(et::countOf(log, kRecord), 2) << log;
    EXPECT_EQ(et::countOf(log, "Runtime Error"), 0) << log;
    EXPECT_EQ(et::countOf(log, "Disconnect sequence"), 0) << log;
    zunt.term();
    EXPECT_EQ(zunt.wait(), 0) << zunt.out();
    EXPECT_EQ(notOnce(drainAndReadBack()), "");
}

// A dead-letter queue the queue manager gets while the program runs is used at the next message that
// needs it, without a reconnect.
TEST_F(ProgramFailQmTest, ADeadLetterQueueSetWhileRunningIsUsedAtTheNextDiscard) {
    Zunt zunt(dir, "deadq", runOptions());
    ASSERT_TRUE(zunt.waitInitialised()) << zunt.out();
    putOn(own, "not an event", kQmgrEvents, MQFMT_STRING);
    ASSERT_TRUE(zunt.waitLog("no dead-letter queue")) << zunt.log();
    ASSERT_EQ(qm.mqsc("DEFINE QLOCAL(Q.DLQ)\nALTER QMGR DEADQ(Q.DLQ)\n"), 0);
    usleep(1100000);  // it is read again at most once a second
    putOn(own, "not an event either", kQmgrEvents, MQFMT_STRING);
    EXPECT_TRUE(et::waitFor([this] { return depth("Q.DLQ") == 1; })) << zunt.log();
    EXPECT_TRUE(drained());
    EXPECT_EQ(et::countOf(zunt.log(), "no dead-letter queue"), 1) << zunt.log();
    EXPECT_EQ(et::countOf(zunt.log(), "Connect sequence for"), 1) << "no reconnect";
    zunt.term();
    EXPECT_EQ(zunt.wait(), 0) << zunt.out();
}

// A queue manager that ends under the program: one line says that its consumers could not be stopped,
// not one per stop on the way to the disconnect. The event queues' counts, defined anew by the
// reconnect, go on from those committed before it (a queue stopped at the reopen shows them too).
TEST_F(ProgramFailQmTest, ABrokenConnectionIsSaidOnceAndReconnects) {
    ASSERT_EQ(qm.mqsc("DEFINE QLOCAL(REPLY.Q)\n"), 0);
    std::vector<std::string> options = runOptions();
    options.insert(options.end(), {"-r", "1(1000)"});
    Zunt zunt(dir, "broken", options);
    ASSERT_TRUE(zunt.waitInitialised()) << zunt.out();
    const std::string counts = "DISPLAY EVQ(SYSTEM.ADMIN.QMGR.EVENT) MSGS EVENTCT";
    for (int i = 0; i < 2; i++) putOn(own, eventFor("APP." + std::to_string(10000000000 + i)));
    ASSERT_TRUE(drained()) << zunt.log();
    EXPECT_NE(command(counts).find("MSGS(2) EVENTCT(2)"), std::string::npos);
    qm.kill9("QM1");
    ASSERT_EQ(qm.tool("start QM1 --no-fsync"), 0);
    reconnectOwn();
    ASSERT_TRUE(zunt.waitOut("Connect 'QM1' complete", 2)) << zunt.out();
    ASSERT_TRUE(zunt.waitInitialised(2)) << zunt.log();
    EXPECT_LE(et::countOf(zunt.log(), "stop failed with RC(2009)"), 1) << zunt.log();
    putOn(own, eventFor("APP.10000000002"));
    ASSERT_TRUE(drained()) << zunt.log();
    const std::string shown = command(counts);
    EXPECT_NE(shown.find("MSGS(3) EVENTCT(3)"), std::string::npos) << shown;
    zunt.term();
    EXPECT_EQ(zunt.wait(), 0) << zunt.out();
}

// A failed write of the storm counts names the queue manager and the data queue it was put to.
TEST_F(ProgramFailQmTest, AFailedWriteOfTheStormCountsNamesItsQueue) {
    ASSERT_EQ(qm.mqsc("DEFINE QLOCAL(REPLY.Q)\n"), 0);
    seed(stormsOfTen);
    std::vector<std::string> options = runOptions();
    options.insert(options.end(), {"-r", "1(1000)"});
    Zunt zunt(dir, "storm", options);
    ASSERT_TRUE(zunt.waitInitialised()) << zunt.out();
    putEvent();  // its stream is made and saved first: the storm's unit then only counts
    ASSERT_TRUE(drained()) << zunt.log();
    // Answered once set E's callback has let go of the consumer lock: its unit is committed.
    EXPECT_NE(command("DISPLAY EVQ(SYSTEM.ADMIN.QMGR.EVENT)").find("AMQ"), std::string::npos);
    ASSERT_EQ(qm.tool("fault QM1 MQPUT 2051 --count 1 --queue HOLVA.ZUNT.DATA.QUEUE"), 0);
    putStorm(own);
    EXPECT_TRUE(zunt.waitLog("MQPUT(QM1/HOLVA.ZUNT.DATA.QUEUE) failed RC(2051)")) << zunt.log();
    EXPECT_EQ(et::countOf(zunt.log(), "MQPUT(/"), 0) << zunt.log();
    zunt.kill9();
}

}  // namespace

// A connection that ends while the connect sequence is still under way (here set C's first commit
// breaks it while the connected hook runs) is dropped once the connect is over; the connect never
// goes on with handles of the connection dropped under it, and the retry connects cleanly.
TEST_F(ProgramFailQmTest, AConnectionEndedDuringTheConnectIsNotUsedByIt) {
    ASSERT_EQ(qm.mqsc("DEFINE QLOCAL(REPLY.Q)\n"), 0);
    std::string script = "func ZUNTConnected()\n@r = wait(2)\nendfunc\n";
    for (const char *hook :
         {"ZUNTEvent", "ZUNTStatQ", "ZUNTStatChl", "ZUNTStatMQI", "ZUNTAcctQ", "ZUNTAcctMQI",
          "ZUNTDisconnected", "ZUNTRetryConnect", "ZUNTEnding", "ZUNTAlertExpire"})
        script += std::string("func ") + hook + "()\nendfunc\n";
    dir.write("hook.vdr", script);
    std::vector<std::string> options = runOptions();
    options.insert(options.end(), {"-r", "1(1000)", "-f", dir.file("hook.vdr")});
    ASSERT_EQ(qm.tool("fault QM1 MQCMIT 2009 --count 1"), 0);
    sendCommand(MQFMT_STRING, "DISPLAY EV");
    Zunt zunt(dir, "pending", options);
    ASSERT_TRUE(zunt.waitLog("Connect sequence for 'QM1'", 2)) << zunt.log();
    ASSERT_TRUE(zunt.waitInitialised()) << zunt.log();
    const std::string log = zunt.log();
    EXPECT_EQ(et::countOf(log, "RC(2018)"), 0) << log;
    EXPECT_EQ(et::countOf(log, "ZUNT Initialised"), 1) << log;
    EXPECT_EQ(et::countOf(log, "Connect sequence for 'QM1'"), 2) << log;
    zunt.term();
    EXPECT_EQ(zunt.wait(), 0) << zunt.out();
}

// A command unit backed out loads the stored state again, the event queues with it: their counts,
// which are not stored, are those they had, not those of a fresh start; nor those a command that
// failed took (a queue removed, counts reset), nor those of events taken since.
TEST_F(ProgramFailQmTest, AReloadAfterACommandBackoutKeepsTheQueuesCounts) {
    ASSERT_EQ(qm.mqsc("DEFINE QLOCAL(REPLY.Q)\n"), 0);
    seed();
    Zunt zunt(dir, "counts", runOptions());
    ASSERT_TRUE(zunt.waitInitialised()) << zunt.log();
    const std::string display = "DISPLAY EVQ(SYSTEM.ADMIN.QMGR.EVENT) MSGS EVENTCT";
    int events = 0;
    for (const char *failed : {"ALTER EVQ(SYSTEM.ADMIN.QMGR.EVENT) DESCR('changed')",
                               "REMOVE EVQ(SYSTEM.ADMIN.QMGR.EVENT)", "RESET EV TYPE(COUNTS)"}) {
        SCOPED_TRACE(failed);
        for (int i = 0; i < 2; i++) putOn(own, eventFor("APP." + std::to_string(10000000000 + ++events)));
        ASSERT_TRUE(drained()) << zunt.log();
        const std::string counts =
            "MSGS(" + std::to_string(events) + ") EVENTCT(" + std::to_string(events) + ")";
        EXPECT_NE(command(display).find(counts), std::string::npos);
        ASSERT_EQ(qm.tool("fault QM1 MQPUT 2053 --count 1 --queue HOLVA.ZUNT.DATA.QUEUE"), 0);
        sendCommand(MQFMT_STRING, failed);
        ASSERT_TRUE(zunt.waitLog("Command unit backed out: the stored state was loaded again", events / 2))
            << zunt.log();
        const std::string reply = replyText(10000);
        EXPECT_NE(reply.find("Command transaction failed"), std::string::npos) << reply;
        const std::string shown = command(display);
        EXPECT_NE(shown.find(counts), std::string::npos) << shown;
    }
    zunt.term();
    EXPECT_EQ(zunt.wait(), 0) << zunt.out();
}
