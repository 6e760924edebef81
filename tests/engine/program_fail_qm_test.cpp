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

TEST_F(ProgramFailQmTest, AMessageThatCannotBeDeadLetteredStopsItsQueueUntilResumed) {
    // USEDLQ(YES) with no dead-letter queue; IFAVAIL with one that refuses the put: neither consumes.
    struct Row {
        const char *name;
        const char *setUp;  // MQSC before the run
        const char *useDlq;
        const char *said;
        const char *release;  // MQSC that lets the dead-letter queue take it
        const char *command;  // and the command, if one is needed
    };
    const Row rows[] = {
        {"no DLQ", "", "ALTER EV USEDLQ(YES)", "No Dead Letter Queue defined.", "DEFINE QLOCAL(Q.DLQ)\n",
         "ALTER EV DEADQ(Q.DLQ)"},
        {"put-inhibited DLQ", "ALTER QLOCAL(Q.DLQ) PUT(DISABLED)\n", "ALTER EV USEDLQ(IFAVAIL)",
         "MQPUT(QM1/Q.DLQ) failed RC(2051)", "ALTER QLOCAL(Q.DLQ) PUT(ENABLED)\n", ""},
    };
    ASSERT_EQ(qm.mqsc("DEFINE QLOCAL(REPLY.Q)\n"), 0);
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        ASSERT_EQ(qm.mqsc(row.setUp), 0);
        Zunt zunt(dir, std::string("poison") + row.name, runOptions());
        ASSERT_TRUE(zunt.waitInitialised()) << zunt.out();
        EXPECT_NE(command(row.useDlq).find("AMQ"), std::string::npos);
        putOn(own, "not an event", kQmgrEvents, MQFMT_STRING);
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
        EXPECT_EQ(depth(kQmgrEvents), 1);

        ASSERT_EQ(qm.mqsc(row.release), 0);
        if (row.command[0] != 0) command(row.command);
        command("RESUME EVQ(SYSTEM.ADMIN.QMGR.EVENT)");
        ASSERT_TRUE(drained()) << zunt.log();
        EXPECT_TRUE(et::waitFor([this] { return depth("Q.DLQ") == 1; }));
        EXPECT_NE(command("DISPLAY EVQ(SYSTEM.ADMIN.QMGR.EVENT) STATUS").find("STATUS(ACTIVE)"),
                  std::string::npos);
        EXPECT_EQ(command("DISPLAY EVALERT(*) ALL").find("$BOQFAIL"), std::string::npos);
        zunt.term();
        EXPECT_EQ(zunt.wait(), 0) << zunt.out();
        emptyQueue("Q.DLQ");
    }
}

// Every message consumed without a copy is counted in the log: the first of a second has a line of
// its own, the rest of that second one line with their number, said in the next second at the latest.
TEST_F(ProgramFailQmTest, EveryDiscardedMessageIsCountedInTheLog) {
    ASSERT_EQ(qm.mqsc("DEFINE QLOCAL(REPLY.Q)\n"), 0);
    Zunt zunt(dir, "discards", runOptions());
    ASSERT_TRUE(zunt.waitInitialised()) << zunt.out();
    EXPECT_NE(command("ALTER EV USEDLQ(NO)").find("AMQ"), std::string::npos);
    constexpr int kMessages = 200;
    for (int i = 0; i < kMessages; i++) putOn(own, "not an event", kQmgrEvents, MQFMT_STRING);
    ASSERT_TRUE(drained()) << zunt.log();
    auto counted = [&zunt] {
        const std::string log = zunt.log();
        int n = et::countOf(log, "Message discarded from queue '");
        const std::string more = " more messages discarded";
        for (size_t at = log.find(more); at != std::string::npos; at = log.find(more, at + 1)) {
            size_t from = at;
            while (from > 0 && std::isdigit(static_cast<unsigned char>(log[from - 1]))) from--;
            n += std::atoi(log.c_str() + from);
        }
        return n;
    };
    EXPECT_TRUE(et::waitFor([&counted] { return counted() == kMessages; })) << counted() << "\n"
                                                                            << zunt.log();
    EXPECT_LT(et::countOf(zunt.log(), "discarded"), kMessages / 2) << "not a line for each";
    zunt.term();
    EXPECT_EQ(zunt.wait(), 0) << zunt.out();
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
// not one per stop on the way to the disconnect.
TEST_F(ProgramFailQmTest, ABrokenConnectionIsSaidOnceAndReconnects) {
    std::vector<std::string> options = runOptions();
    options.insert(options.end(), {"-r", "1(1000)"});
    Zunt zunt(dir, "broken", options);
    ASSERT_TRUE(zunt.waitInitialised()) << zunt.out();
    qm.kill9("QM1");
    ASSERT_EQ(qm.tool("start QM1 --no-fsync"), 0);
    reconnectOwn();
    ASSERT_TRUE(zunt.waitOut("Connect 'QM1' complete", 2)) << zunt.out();
    ASSERT_TRUE(zunt.waitInitialised(2)) << zunt.log();
    EXPECT_LE(et::countOf(zunt.log(), "stop failed with RC(2009)"), 1) << zunt.log();
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
