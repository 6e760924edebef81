// The program's own queues (its command queue and its data queue) never become one of the queues it
// reads events from or puts copies to: named in a command, or reached through an alias.
#include "system.h"

namespace {

using sys::countOf;

class OwnQueuesQmTest : public sys::SystemTest {
protected:
    void SetUp() override {
        sys::SystemTest::SetUp();
        mqsc(
            "DEFINE QALIAS(SYS.DATA.ALIAS) TARGET(HOLVA.ZUNT.DATA.QUEUE)\n"
            "DEFINE QALIAS(SYS.CMD.ALIAS) TARGET(HOLVA.ZUNT.COMMAND.QUEUE)\n"
            "DEFINE QLOCAL(SYS.BACKED.OUT) BOQNAME(HOLVA.ZUNT.DATA.QUEUE)\n"
            "DEFINE QLOCAL(QMSYS) USAGE(XMITQ)\n"
            "DEFINE QREMOTE(SYS.DATA.REMOTE) RNAME(HOLVA.ZUNT.DATA.QUEUE) RQMNAME(QMSYS) XMITQ(QMSYS)\n"
            "ALTER QMGR CONFIGEV(ENABLED)\n");
    }
    // The messages on the data queue of a format the program never stores there (events, dead-letter
    // headers, texts), browsed.
    int foreignOnDataQueue() {
        MQHOBJ hobj = qmt::open(h, sys::kDataQueue, MQOO_BROWSE);
        int foreign = 0;
        for (;;) {
            MQMD md = MQMD_DEFAULT;
            qmt::Rc r = qmt::get(h, hobj, nullptr, MQGMO_BROWSE_NEXT | MQGMO_ACCEPT_TRUNCATED_MSG, &md, 16);
            if (r.cc == MQCC_FAILED && r.reason != MQRC_TRUNCATED_MSG_ACCEPTED) break;
            const std::string format(md.Format, MQ_FORMAT_LENGTH);
            if (format == MQFMT_EVENT || format == MQFMT_DEAD_LETTER_HEADER || format == MQFMT_STRING)
                foreign++;
        }
        qmt::Rc r;
        MQCLOSE(h, &hobj, MQCO_NONE, &r.cc, &r.reason);
        return foreign;
    }
};

// Each role, by the own queue's name: refused with 3229 and a text that says why, nothing changed; the
// command queue's own record still takes a change of its attributes.
TEST_F(OwnQueuesQmTest, CommandsNamingAnOwnQueueForARoleAreRefused) {
    auto zunt = start();
    struct Case {
        const char *command;
        const char *reply;  // "" for accepted
    };
    const Case cases[] = {
        {"ADD EVQ(HOLVA.ZUNT.DATA.QUEUE)",
         "Queue 'HOLVA.ZUNT.DATA.QUEUE' is the program's own queue and can not be an event queue."},
        {"ADD EVQ(SYSTEM.ADMIN.CONFIG.EVENT) REPLACE FWDQ(HOLVA.ZUNT.DATA.QUEUE)",
         "Queue 'HOLVA.ZUNT.DATA.QUEUE' is the program's own queue and can not be a forward queue."},
        {"ALTER EVQ(SYSTEM.ADMIN.QMGR.EVENT) FWDQ(HOLVA.ZUNT.COMMAND.QUEUE)",
         "Queue 'HOLVA.ZUNT.COMMAND.QUEUE' is the program's own queue and can not be a forward queue."},
        {"ALTER EV DEADQ(HOLVA.ZUNT.DATA.QUEUE)",
         "Queue 'HOLVA.ZUNT.DATA.QUEUE' is the program's own queue and can not be the dead-letter queue."},
        {"DEFINE EVEMIT(OWN) QUEUE(HOLVA.ZUNT.DATA.QUEUE)",
         "Queue 'HOLVA.ZUNT.DATA.QUEUE' is the program's own queue and can not be an emitter queue."},
        {"DEFINE EVEMIT(OWN) QUEUE(HOLVA.ZUNT.COMMAND.QUEUE)",
         "Queue 'HOLVA.ZUNT.COMMAND.QUEUE' is the program's own queue and can not be an emitter queue."},
        {"ALTER EVQ(HOLVA.ZUNT.COMMAND.QUEUE) DESCR('the commands')", ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.command);
        const std::string reply = ask(c.command);
        if (c.reply[0] == '\0') {
            EXPECT_NE(reply.find("AMQ8005"), std::string::npos) << reply;
        } else {
            EXPECT_NE(reply.find(c.reply), std::string::npos) << reply;
        }
    }
    const std::string queues = ask("DISPLAY EVQ(*) ALL");
    EXPECT_EQ(queues.find("EVQ(HOLVA.ZUNT.DATA.QUEUE)"), std::string::npos) << queues;
    EXPECT_EQ(queues.find("FWDQ(HOLVA"), std::string::npos) << queues;
    EXPECT_EQ(ask("DISPLAY EV ALL").find("DEADQ(HOLVA"), std::string::npos);
    EXPECT_EQ(ask("DISPLAY EVEMIT(OWN)").find("EVEMIT(OWN)"), std::string::npos);
    stop(*zunt);
}

// Through an alias or a remote definition the name passes, the open finds where it leads: an event queue on
// the data queue is never opened for input, a forward queue there (or a queue's own BOQNAME naming the data
// queue) holds its event queue (its events stay where they are), an emitter's records fail; each says so in
// the log. The stored state stays, a restart loads it and holds the same queues again.
TEST_F(OwnQueuesQmTest, AnAliasToAnOwnQueueIsRefusedWhenOpened) {
    auto zunt = start();
    ASSERT_NE(ask("DEFINE EVSTREAM(KEPT) TYPE(EVENTS)").find("Stream defined successfully."),
              std::string::npos);
    std::string reply = ask("ADD EVQ(SYS.DATA.ALIAS)");
    EXPECT_NE(reply.find("Event queue 'SYS.DATA.ALIAS' leads to the program's own queue "
                         "'QMSYS/HOLVA.ZUNT.DATA.QUEUE': not used."),
              std::string::npos)
        << reply;
    reply = ask("ADD EVQ(SYS.CMD.ALIAS)");
    EXPECT_NE(reply.find("'QMSYS/HOLVA.ZUNT.COMMAND.QUEUE': not used."), std::string::npos) << reply;
    reply = ask("ADD EVQ(SYSTEM.ADMIN.CONFIG.EVENT) REPLACE FWDQ(SYS.DATA.ALIAS)");
    EXPECT_NE(reply.find("Forward queue 'SYS.DATA.ALIAS' leads to the program's own queue "
                         "'QMSYS/HOLVA.ZUNT.DATA.QUEUE': not used."),
              std::string::npos)
        << reply;
    reply = ask("ALTER EVQ(SYSTEM.ADMIN.QMGR.EVENT) FWDQ(SYS.DATA.REMOTE)");
    EXPECT_NE(reply.find("Forward queue 'SYS.DATA.REMOTE' leads to the program's own queue "
                         "'QMSYS/HOLVA.ZUNT.DATA.QUEUE': not used."),
              std::string::npos)
        << reply;
    EXPECT_NE(ask("ALTER EVQ(SYSTEM.ADMIN.QMGR.EVENT) FWDQ('')").find("AMQ8005"), std::string::npos);
    reply = ask("ADD EVQ(SYS.BACKED.OUT)");
    EXPECT_NE(reply.find("Backout queue 'HOLVA.ZUNT.DATA.QUEUE' is the program's own queue: not used."),
              std::string::npos)
        << reply;
    EXPECT_NE(ask("DEFINE EVEMIT(OUT) QUEUE(SYS.CMD.ALIAS)").find("AMQ8005"), std::string::npos);
    EXPECT_NE(ask("DEFINE EVSTREAM(OUTS) TYPE(EVENTS) DEFAULT(YES) EVEMIT(OUT)")
                  .find("Stream defined successfully."),
              std::string::npos);
    resume({sys::kQmgrEvents});
    // Configuration events wait on their held queue; a local event is stored, its emission refused.
    mqsc("DEFINE QLOCAL(SYS.NEW.ONE)\nDEFINE QLOCAL(SYS.NEW.TWO)\n");
    qmt::Rc r;
    qmt::open(h, "SYS.NOT.THERE", MQOO_OUTPUT, &r);
    ASSERT_EQ(r.reason, MQRC_UNKNOWN_OBJECT_NAME);
    EXPECT_TRUE(zunt->waitFor("Emitter queue 'SYS.CMD.ALIAS' leads to the program's own queue"))
        << zunt->log();
    EXPECT_EQ(depth(sys::kCommandQueue), 0);
    EXPECT_GE(depth("SYSTEM.ADMIN.CONFIG.EVENT"), 2);
    const std::string queues = ask("DISPLAY EVQ(*) ALL");
    EXPECT_NE(queues.find("EVQ(SYS.DATA.ALIAS)"), std::string::npos) << queues;
    EXPECT_EQ(countOf(zunt->log(), "Event queue 'SYS.DATA.ALIAS' leads to the program's own queue"), 1);
    stop(*zunt);
    EXPECT_EQ(foreignOnDataQueue(), 0);

    auto again = start();
    EXPECT_NE(ask("DISPLAY EVSTREAM(KEPT)").find("EVSTREAM(KEPT)"), std::string::npos) << again->out();
    EXPECT_TRUE(again->waitFor("Event queue 'SYS.DATA.ALIAS' leads to the program's own queue"))
        << again->log();
    EXPECT_TRUE(again->waitFor("Forward queue 'SYS.DATA.ALIAS' leads to the program's own queue"))
        << again->log();
    EXPECT_GE(depth("SYSTEM.ADMIN.CONFIG.EVENT"), 2);
    stop(*again);
}

// The queue manager's own dead-letter queue is the data queue: a message that is no event is not
// moved there (the open is refused and said), and the data queue keeps only what the program stored.
TEST_F(OwnQueuesQmTest, TheQueueManagersDeadLetterQueueIsNotUsedWhenItIsAnOwnQueue) {
    mqsc("ALTER QMGR DEADQ(HOLVA.ZUNT.DATA.QUEUE)\n");
    auto zunt = start();
    ASSERT_NE(ask("ALTER EV USEDLQ(IFAVAIL)").find("AMQ8005"), std::string::npos);
    resume({sys::kQmgrEvents});
    put(sys::kQmgrEvents, "not an event", MQFMT_STRING);
    EXPECT_TRUE(
        zunt->waitFor("Dead Letter Queue 'HOLVA.ZUNT.DATA.QUEUE' is the program's own queue: not used."))
        << zunt->log();
    EXPECT_TRUE(zunt->waitFor("Message discarded from queue")) << zunt->log();
    EXPECT_EQ(depth(sys::kQmgrEvents), 0);
    stop(*zunt);
    EXPECT_EQ(foreignOnDataQueue(), 0);
}

// A request whose replies would land on an own queue is not run: "*QMSYS" names the queue manager as
// the reply's open does, and an alias or the dead-letter queue (MQSC "#DLQ" reply queue) is resolved
// by opening it before the command runs. One log line each says the command was refused.
TEST_F(OwnQueuesQmTest, ARequestWhoseReplyLeadsToAnOwnQueueIsNotRun) {
    mqsc("ALTER QMGR DEADQ(HOLVA.ZUNT.DATA.QUEUE)\n");
    auto zunt = start();
    struct Case {
        const char *replyQmgr, *replyQueue, *stream;
    };
    const Case cases[] = {
        {"*QMSYS", sys::kCommandQueue, "STAR1"},
        {"*QMSYS", sys::kDataQueue, "STAR2"},
        {"", "SYS.DATA.ALIAS", "ALIAS1"},
        {"*QMSYS", "SYS.CMD.ALIAS", "ALIAS2"},
        {"QMSYS", "#DLQ", "DEAD1"},
    };
    for (const Case &c : cases) {
        MQMD md = MQMD_DEFAULT;
        std::memcpy(md.Format, MQFMT_STRING, MQ_FORMAT_LENGTH);
        qmt::setText(md.ReplyToQ, 48, c.replyQueue);
        qmt::setText(md.ReplyToQMgr, 48, c.replyQmgr);
        MQOD od = MQOD_DEFAULT;
        qmt::setText(od.ObjectName, 48, sys::kCommandQueue);
        MQPMO pmo = MQPMO_DEFAULT;
        pmo.Options = MQPMO_NO_SYNCPOINT;
        const std::string command = std::string("DEFINE EVSTREAM(") + c.stream + ") TYPE(EVENTS)";
        qmt::Rc r;
        MQPUT1(h, &od, &md, &pmo, static_cast<MQLONG>(command.size()), const_cast<char *>(command.data()),
               &r.cc, &r.reason);
        ASSERT_EQ(r.reason, MQRC_NONE);
    }
    // Served in order: the display's answer comes after every request before it was taken.
    const std::string streams = ask("DISPLAY EVSTREAM(*)");
    ASSERT_NE(streams.find("AMQ8"), std::string::npos) << streams;
    for (const Case &c : cases)
        EXPECT_EQ(streams.find(std::string("EVSTREAM(") + c.stream + ")"), std::string::npos);
    EXPECT_TRUE(zunt->waitFor("Command refused: its reply queue", 5)) << zunt->log();
    EXPECT_EQ(countOf(zunt->log(), "Command refused: its reply queue"), 5) << zunt->log();
    EXPECT_EQ(countOf(zunt->log(), "Command done"), 0) << zunt->log();
    EXPECT_EQ(depth(sys::kCommandQueue), 0);
    stop(*zunt);
    EXPECT_EQ(foreignOnDataQueue(), 0);
}

}  // namespace
