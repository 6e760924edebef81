// The program's own queues (its command queue and its data queue) never become one of the queues it
// reads events from or puts copies to: named in a command, or reached through an alias. Nothing the
// program puts (a forwarded copy, a dead-lettered message, an emitted record, a reply) goes to a queue
// it reads either, nor comes back there through an event its own failed put raises.
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
            "DEFINE QALIAS(SYS.DATA.FWD) TARGET(HOLVA.ZUNT.DATA.QUEUE)\n"
            "DEFINE QALIAS(SYS.CMD.EMIT) TARGET(HOLVA.ZUNT.COMMAND.QUEUE)\n"
            "DEFINE QLOCAL(SYS.BACKED.OUT) BOQNAME(HOLVA.ZUNT.DATA.QUEUE)\n"
            "DEFINE QLOCAL(QMSYS) USAGE(XMITQ)\n"
            "DEFINE QREMOTE(SYS.DATA.REMOTE) RNAME(HOLVA.ZUNT.DATA.QUEUE) RQMNAME(QMSYS) XMITQ(QMSYS)\n"
            "DEFINE QALIAS(SYS.DATA.VIA.REMOTE) TARGET(SYS.DATA.REMOTE)\n"
            "ALTER QMGR CONFIGEV(ENABLED)\n"
            "DEFINE QALIAS(SYS.EVQ.ALIAS) TARGET(SYSTEM.ADMIN.QMGR.EVENT)\n"
            "DEFINE QALIAS(SYS.STATQ.ALIAS) TARGET(SYSTEM.ADMIN.STATISTICS.QUEUE)\n"
            "DEFINE QREMOTE(SYS.EVQ.REMOTE) RNAME(SYSTEM.ADMIN.CONFIG.EVENT) RQMNAME(QMSYS) XMITQ(QMSYS)\n"
            "DEFINE QMODEL(SYS.MODEL)\nDEFINE QLOCAL(SYS.PLAIN)\n");
    }
    // The messages on the data queue of that format, browsed.
    int onDataQueue(const char *wanted) {
        MQHOBJ hobj = qmt::open(h, sys::kDataQueue, MQOO_BROWSE);
        int found = 0;
        for (;;) {
            MQMD md = MQMD_DEFAULT;
            qmt::Rc r = qmt::get(h, hobj, nullptr, MQGMO_BROWSE_NEXT | MQGMO_ACCEPT_TRUNCATED_MSG, &md, 16);
            if (r.cc == MQCC_FAILED && r.reason != MQRC_TRUNCATED_MSG_ACCEPTED) break;
            if (std::string(md.Format, MQ_FORMAT_LENGTH) == wanted) found++;
        }
        qmt::Rc r;
        MQCLOSE(h, &hobj, MQCO_NONE, &r.cc, &r.reason);
        return found;
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

// Through an alias or a remote definition (or both) the name passes, the open finds where it leads: an event
// queue on the data queue is never opened for input, a forward queue there (or a queue's own BOQNAME naming
// the data queue) holds its event queue (its events stay where they are), an emitter's records fail; each
// says so in the log. The stored state stays, a restart loads it and holds the same queues again.
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
    reply = ask("ADD EVQ(SYSTEM.ADMIN.CONFIG.EVENT) REPLACE FWDQ(SYS.DATA.FWD)");
    EXPECT_NE(reply.find("Forward queue 'SYS.DATA.FWD' leads to the program's own queue "
                         "'QMSYS/HOLVA.ZUNT.DATA.QUEUE': not used."),
              std::string::npos)
        << reply;
    reply = ask("ALTER EVQ(SYSTEM.ADMIN.QMGR.EVENT) FWDQ(SYS.DATA.REMOTE)");
    EXPECT_NE(reply.find("Forward queue 'SYS.DATA.REMOTE' leads to the program's own queue "
                         "'QMSYS/HOLVA.ZUNT.DATA.QUEUE': not used."),
              std::string::npos)
        << reply;
    reply = ask("ALTER EVQ(SYSTEM.ADMIN.QMGR.EVENT) FWDQ(SYS.DATA.VIA.REMOTE)");
    EXPECT_NE(reply.find("Forward queue 'SYS.DATA.VIA.REMOTE' leads to the program's own queue "
                         "'QMSYS/HOLVA.ZUNT.DATA.QUEUE': not used."),
              std::string::npos)
        << reply;
    EXPECT_NE(ask("ALTER EVQ(SYSTEM.ADMIN.QMGR.EVENT) FWDQ('')").find("AMQ8005"), std::string::npos);
    reply = ask("ADD EVQ(SYS.BACKED.OUT)");
    EXPECT_NE(reply.find("Backout queue 'HOLVA.ZUNT.DATA.QUEUE' is the program's own queue: not used."),
              std::string::npos)
        << reply;
    EXPECT_NE(ask("DEFINE EVEMIT(OUT) QUEUE(SYS.CMD.EMIT)").find("AMQ8005"), std::string::npos);
    EXPECT_NE(ask("DEFINE EVSTREAM(OUTS) TYPE(EVENTS) DEFAULT(YES) EVEMIT(OUT)")
                  .find("Stream defined successfully."),
              std::string::npos);
    resume({sys::kQmgrEvents});
    // Configuration events wait on their held queue; a local event is stored, its emission refused.
    mqsc("DEFINE QLOCAL(SYS.NEW.ONE)\nDEFINE QLOCAL(SYS.NEW.TWO)\n");
    qmt::Rc r;
    qmt::open(h, "SYS.NOT.THERE", MQOO_OUTPUT, &r);
    ASSERT_EQ(r.reason, MQRC_UNKNOWN_OBJECT_NAME);
    EXPECT_TRUE(zunt->waitFor("Emitter queue 'SYS.CMD.EMIT' leads to the program's own queue"))
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
    EXPECT_TRUE(again->waitFor("Forward queue 'SYS.DATA.FWD' leads to the program's own queue"))
        << again->log();
    EXPECT_GE(depth("SYSTEM.ADMIN.CONFIG.EVENT"), 2);
    stop(*again);
}

// The dead-letter queue (the queue manager's own, or DEADQ through an alias) is the data queue or a queue
// the program reads, or cannot keep what is put there (a model or a transmission queue): a message that
// is no event is not moved there (the open is refused and said) nor discarded, whatever USEDLQ says: it
// stops its event queue where it is, never read and dead-lettered again; the data queue keeps only what
// the program stored, and no dynamic queue stays.
TEST_F(OwnQueuesQmTest, ADeadLetterQueueThatLeadsBackIsNotUsed) {
    const struct {
        const char *qmgrDeadq, *deadq, *said;
    } cases[] = {
        {"HOLVA.ZUNT.DATA.QUEUE", "",
         "Dead Letter Queue 'HOLVA.ZUNT.DATA.QUEUE' is the program's own queue: not used."},
        {"SYSTEM.ADMIN.CONFIG.EVENT", "",
         "Dead Letter Queue 'SYSTEM.ADMIN.CONFIG.EVENT' is a queue the program reads: not used."},
        {"SYSTEM.DEAD.LETTER.QUEUE", "SYS.EVQ.ALIAS",
         "Dead Letter Queue 'SYS.EVQ.ALIAS' leads to the queue the program reads "
         "'QMSYS/SYSTEM.ADMIN.QMGR.EVENT': "
         "not used."},
        {"SYS.MODEL", "",
         "Dead Letter Queue 'SYS.MODEL' is a model queue, whose copies would not be kept: not used."},
        {"SYSTEM.DEAD.LETTER.QUEUE", "QMSYS", "Dead Letter Queue 'QMSYS' is a transmission queue: not used."},
    };
    for (const char *use : {"IFAVAIL", "YES"}) {
        for (const auto &c : cases) {
            SCOPED_TRACE(std::string(use) + ": " + c.said);
            mqsc(std::string("CLEAR QLOCAL(SYSTEM.ADMIN.QMGR.EVENT)\nALTER QMGR DEADQ(") + c.qmgrDeadq +
                 ")\n");
            auto zunt = start();
            ASSERT_NE(
                ask(std::string("ALTER EV USEDLQ(") + use + ") DEADQ('" + c.deadq + "')").find("AMQ8005"),
                std::string::npos);
            resume({sys::kQmgrEvents});
            put(sys::kQmgrEvents, "not an event", MQFMT_STRING);
            EXPECT_TRUE(zunt->waitFor(c.said)) << zunt->log();
            EXPECT_TRUE(zunt->waitFor("*** Event queue 'SYSTEM.ADMIN.QMGR.EVENT' stopped: message"))
                << zunt->log();
            sleep(2);  // a loop would go on meanwhile
            EXPECT_EQ(depth(sys::kQmgrEvents), 1);
            EXPECT_EQ(countOf(zunt->log(), c.said), 1) << zunt->log();
            EXPECT_EQ(countOf(zunt->log(), "Message discarded from queue"), 0) << zunt->log();
            EXPECT_EQ(countOf(zunt->log(), "moved to the dead-letter queue"), 0) << zunt->log();
            EXPECT_EQ(depth("QMSYS"), 0);
            stop(*zunt);
            EXPECT_EQ(foreignOnDataQueue(), 0);
            std::string local;
            qm.mqsc("DISPLAY QLOCAL(*)\n", &local);
            EXPECT_EQ(local.find("AMQ."), std::string::npos) << local;
        }
    }
}

// A dead-letter queue (the queue manager's own or DEADQ) is never read as an event queue, whichever was
// set first: named, it is refused with 3229; an alias that leads to it, or the queue an alias DEADQ leads
// to, is held at its open with a log line. Set the other way round, DEADQ through an alias to an event
// queue takes no message there (its event queue stops on the message it could not move aside), and an
// event queue that became the queue manager's DEADQ while the program was down is held at the start
// and refused by RESUME. Under either USEDLQ the messages of each dead-letter queue stay where they are.
TEST_F(OwnQueuesQmTest, ADeadLetterQueueIsNeverReadAsAnEventQueue) {
    mqsc(
        "DEFINE QLOCAL(SYS.DLQ)\nDEFINE QALIAS(SYS.DLQ.ALIAS) TARGET(SYSTEM.DEAD.LETTER.QUEUE)\n"
        "DEFINE QLOCAL(SYS.DLQ.T)\nDEFINE QALIAS(SYS.TO.DLQ.T) TARGET(SYS.DLQ.T)\n"
        "DEFINE QLOCAL(SYS.EVQ1)\nDEFINE QALIAS(SYS.TO.EVQ1) TARGET(SYS.EVQ1)\n");
    for (const char *queue : {"SYSTEM.DEAD.LETTER.QUEUE", "SYS.DLQ", "SYS.DLQ.T"})
        for (int i = 0; i < 3; i++) put(queue, "dead letter " + std::to_string(i), MQFMT_STRING);
    struct Case {
        const char *deadq, *command, *reply, *watched;
    };
    const Case cases[] = {
        {"", "ADD EVQ(SYSTEM.DEAD.LETTER.QUEUE)",
         "Queue 'SYSTEM.DEAD.LETTER.QUEUE' is a dead-letter queue and can not be an event queue.",
         "SYSTEM.DEAD.LETTER.QUEUE"},
        {"SYS.DLQ", "ADD EVQ(SYS.DLQ)",
         "Queue 'SYS.DLQ' is a dead-letter queue and can not be an event queue.", "SYS.DLQ"},
        {"", "ADD EVQ(SYS.DLQ.ALIAS) REPLACE",
         "Event queue 'SYS.DLQ.ALIAS' leads to the dead-letter queue 'QMSYS/SYSTEM.DEAD.LETTER.QUEUE': "
         "not used.",
         "SYSTEM.DEAD.LETTER.QUEUE"},
        {"SYS.TO.DLQ.T", "ADD EVQ(SYS.DLQ.T) REPLACE",
         "Event queue 'SYS.DLQ.T' is where the dead-letter queue 'SYS.TO.DLQ.T' leads: not used.",
         "SYS.DLQ.T"},
    };
    for (const char *use : {"IFAVAIL", "YES"}) {
        SCOPED_TRACE(use);
        mqsc("ALTER QMGR DEADQ(SYSTEM.DEAD.LETTER.QUEUE)\nCLEAR QLOCAL(SYS.EVQ1)\n");
        auto zunt = start();
        for (const Case &c : cases) {
            SCOPED_TRACE(c.command);
            ASSERT_NE(
                ask(std::string("ALTER EV USEDLQ(") + use + ") DEADQ('" + c.deadq + "')").find("AMQ8005"),
                std::string::npos);
            const std::string reply = ask(c.command);
            EXPECT_NE(reply.find(c.reply), std::string::npos) << reply;
            sleep(2);  // a read would go on meanwhile
            EXPECT_EQ(depth(c.watched), 3);
            EXPECT_EQ(ask("DISPLAY EVQ(*) STATUS").find("STATUS(ACTIVE)"), std::string::npos);
        }
        // The other order: the event queue first, then DEADQ, through an alias, where it is.
        ASSERT_NE(ask("ALTER EV DEADQ('')").find("AMQ8005"), std::string::npos);
        ASSERT_NE(ask("ADD EVQ(SYS.EVQ1) REPLACE").find("AMQ8005"), std::string::npos);
        resume({"SYS.EVQ1"});
        ASSERT_NE(ask("ALTER EV DEADQ(SYS.TO.EVQ1)").find("AMQ8005"), std::string::npos);
        put("SYS.EVQ1", "not an event", MQFMT_STRING);
        EXPECT_TRUE(
            zunt->waitFor("Dead Letter Queue 'SYS.TO.EVQ1' leads to the queue the program reads "
                          "'QMSYS/SYS.EVQ1': not used."))
            << zunt->log();
        EXPECT_TRUE(zunt->waitFor("*** Event queue 'SYS.EVQ1' stopped: message")) << zunt->log();
        sleep(2);  // a loop would go on meanwhile
        EXPECT_EQ(depth("SYS.EVQ1"), 1);
        EXPECT_EQ(countOf(zunt->log(), "Message discarded from queue"), 0) << zunt->log();
        ASSERT_NE(ask("ALTER EV DEADQ('')").find("AMQ8005"), std::string::npos);
        stop(*zunt);
        // The queue manager's DEADQ made the event queue while the program was down.
        put("SYS.EVQ1", "another", MQFMT_STRING);
        mqsc("ALTER QMGR DEADQ(SYS.EVQ1)\n");
        auto again = start();
        EXPECT_TRUE(again->waitFor("Event queue 'SYS.EVQ1' is a dead-letter queue: not used."))
            << again->log();
        const std::string resumed = ask("RESUME EVQ(SYS.EVQ1)");
        EXPECT_NE(resumed.find("Queue 'SYS.EVQ1' is a dead-letter queue and can not be an event queue."),
                  std::string::npos)
            << resumed;
        sleep(2);  // a read would go on meanwhile
        EXPECT_EQ(depth("SYS.EVQ1"), 2);
        EXPECT_EQ(countOf(again->log(), "Message discarded from queue"), 0) << again->log();
        for (const char *queue : {"SYSTEM.DEAD.LETTER.QUEUE", "SYS.DLQ", "SYS.DLQ.T"})
            EXPECT_EQ(depth(queue), 3);
        for (const char *queue : {"SYS.DLQ.ALIAS", "SYS.DLQ.T", "SYS.EVQ1"})
            EXPECT_NE(ask(std::string("REMOVE EVQ(") + queue + ")").find("AMQ8005"), std::string::npos)
                << queue;
        stop(*again);
    }
}

// The queue an alias event queue reads is a queue the program reads: named as the dead-letter, a
// forward or an emitter queue it is refused with 3229 (a dead-lettered message there would be read
// through the alias, dead-lettered there again, for ever). A message that is no event read through the
// alias goes to the dead-letter queue once.
TEST_F(OwnQueuesQmTest, TheQueueAnAliasEventQueueReadsTakesNoPutOfTheProgram) {
    mqsc("DEFINE QLOCAL(SYS.EVQ2)\nDEFINE QALIAS(SYS.TO.EVQ2) TARGET(SYS.EVQ2)\n");
    auto zunt = start();
    ASSERT_NE(ask("ADD EVQ(SYS.TO.EVQ2)").find("AMQ8005"), std::string::npos);
    resume({"SYS.TO.EVQ2"});
    const struct {
        const char *command, *role;
    } cases[] = {
        {"ALTER EV USEDLQ(IFAVAIL) DEADQ(SYS.EVQ2)", "the dead-letter queue"},
        {"ALTER EVQ(SYSTEM.ADMIN.CONFIG.EVENT) FWDQ(SYS.EVQ2)", "a forward queue"},
        {"DEFINE EVEMIT(READ) QUEUE(SYS.EVQ2)", "an emitter queue"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.command);
        const std::string reply = ask(c.command);
        EXPECT_NE(reply.find(std::string("Queue 'SYS.EVQ2' is a queue the program reads and can not be ") +
                             c.role + "."),
                  std::string::npos)
            << reply;
    }
    put("SYS.EVQ2", "not an event", MQFMT_STRING);
    EXPECT_TRUE(zunt->waitFor("moved to the dead-letter queue")) << zunt->log();
    EXPECT_TRUE(settled("SYS.EVQ2"));
    sleep(2);  // a loop would go on meanwhile
    EXPECT_EQ(depth("SYS.EVQ2"), 0);
    EXPECT_EQ(depth("SYSTEM.DEAD.LETTER.QUEUE"), 1);
    EXPECT_EQ(countOf(zunt->log(), "moved to the dead-letter queue"), 1) << zunt->log();
    stop(*zunt);
}

// An emitter whose queue cannot keep its records: a model queue (each open would make a dynamic queue,
// gone with the connection) or a transmission queue. Its record fails as a refused open does, said in
// the log; nothing is left on a dynamic queue or the transmission queue.
TEST_F(OwnQueuesQmTest, AnEmitterQueueThatCannotKeepItsRecordsIsNotUsed) {
    auto zunt = start();
    resume({sys::kQmgrEvents});
    const struct {
        const char *queue, *said;
    } cases[] = {
        {"SYS.MODEL",
         "Emitter queue 'SYS.MODEL' is a model queue, whose copies would not be kept: not used."},
        {"QMSYS", "Emitter queue 'QMSYS' is a transmission queue: not used."},
    };
    int n = 0;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.queue);
        const std::string emitter = "KEEPS" + std::to_string(++n);
        ASSERT_NE(
            ask("DEFINE EVEMIT(" + emitter + ") ONERROR(DISCARD) QUEUE(" + c.queue + ")").find("AMQ8005"),
            std::string::npos);
        ASSERT_NE(ask("ALTER EVSTREAM($EVENTS) EVEMIT(" + emitter + ")").find("AMQ8005"), std::string::npos);
        qmt::Rc r;
        qmt::open(h, ("SYS.NOT.THERE." + emitter).c_str(), MQOO_OUTPUT, &r);
        ASSERT_EQ(r.reason, MQRC_UNKNOWN_OBJECT_NAME);
        EXPECT_TRUE(zunt->waitFor(c.said)) << zunt->log();
        EXPECT_TRUE(settled());
        EXPECT_EQ(depth("QMSYS"), 0);
        std::string local;
        qm.mqsc("DISPLAY QLOCAL(*)\n", &local);
        EXPECT_EQ(local.find("AMQ."), std::string::npos) << local;
    }
    stop(*zunt);
}

// A forward, dead-letter or emitter queue named for a queue the program reads is refused with 3229; one
// that leads there through an alias or a remote definition, or is a model or a transmission queue, is
// refused at its open and holds its event queue; an event queue added later that an open forward queue
// leads to holds that one.
TEST_F(OwnQueuesQmTest, APutThatWouldComeBackToAQueueTheProgramReadsIsRefused) {
    auto zunt = start();
    struct Case {
        const char *command, *reply;
    };
    const Case cases[] = {
        {"ALTER EVQ(SYSTEM.ADMIN.CONFIG.EVENT) FWDQ(SYSTEM.ADMIN.CONFIG.EVENT)",
         "Queue 'SYSTEM.ADMIN.CONFIG.EVENT' is a queue the program reads and can not be a forward queue."},
        {"ALTER EVQ(SYSTEM.ADMIN.STATISTICS.QUEUE) FWDQ(SYSTEM.ADMIN.QMGR.EVENT)",
         "Queue 'SYSTEM.ADMIN.QMGR.EVENT' is a queue the program reads and can not be a forward queue."},
        {"ALTER EV DEADQ(SYSTEM.ADMIN.CONFIG.EVENT)",
         "Queue 'SYSTEM.ADMIN.CONFIG.EVENT' is a queue the program reads and can not be the dead-letter "
         "queue."},
        {"DEFINE EVEMIT(BACK) QUEUE(SYSTEM.ADMIN.QMGR.EVENT)",
         "Queue 'SYSTEM.ADMIN.QMGR.EVENT' is a queue the program reads and can not be an emitter queue."},
        {"ALTER EVQ(SYSTEM.ADMIN.CONFIG.EVENT) FWDQ(SYS.EVQ.ALIAS)",
         "Forward queue 'SYS.EVQ.ALIAS' leads to the queue the program reads "
         "'QMSYS/SYSTEM.ADMIN.QMGR.EVENT': "
         "not used."},
        {"ALTER EVQ(SYSTEM.ADMIN.STATISTICS.QUEUE) FWDQ(SYS.STATQ.ALIAS)",
         "Forward queue 'SYS.STATQ.ALIAS' leads to the queue the program reads "
         "'QMSYS/SYSTEM.ADMIN.STATISTICS.QUEUE': not used."},
        {"ALTER EVQ(SYSTEM.ADMIN.STATISTICS.QUEUE) FWDQ(SYS.EVQ.REMOTE)",
         "Forward queue 'SYS.EVQ.REMOTE' leads to the queue the program reads "
         "'QMSYS/SYSTEM.ADMIN.CONFIG.EVENT': not used."},
        {"ALTER EVQ(SYSTEM.ADMIN.CONFIG.EVENT) FWDQ(SYS.MODEL)",
         "Forward queue 'SYS.MODEL' is a model queue, whose copies would not be kept: not used."},
        {"ALTER EVQ(SYSTEM.ADMIN.CONFIG.EVENT) FWDQ(QMSYS)",
         "Forward queue 'QMSYS' is a transmission queue: not used."},
        {"ALTER EVQ(SYSTEM.ADMIN.CONFIG.EVENT) FWDQ(SYS.PLAIN)", "AMQ8005"},
        {"ADD EVQ(SYS.PLAIN)", "AMQ8005"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.command);
        const std::string reply = ask(c.command);
        EXPECT_NE(reply.find(c.reply), std::string::npos) << reply;
    }
    EXPECT_TRUE(zunt->waitFor("Forward queue 'SYS.PLAIN' is a queue the program reads: not used."))
        << zunt->log();
    const std::string queues = ask("DISPLAY EVQ(SYSTEM.ADMIN.CONFIG.EVENT) STATUS");
    EXPECT_NE(queues.find("STATUS(FWDQFAIL)"), std::string::npos) << queues;
    EXPECT_EQ(ask("DISPLAY EV ALL").find("DEADQ(SYSTEM"), std::string::npos);
    EXPECT_EQ(ask("DISPLAY EVEMIT(BACK)").find("EVEMIT(BACK)"), std::string::npos);
    // No model queue made a dynamic queue that stayed.
    std::string local;
    qm.mqsc("DISPLAY QLOCAL(*)\n", &local);
    EXPECT_EQ(local.find("AMQ."), std::string::npos) << local;
    stop(*zunt);
}

// A queue that refuses the program's puts, and the event its refusal raises, both as the queue manager
// makes them: put inhibited (an inhibit event naming the program) or full (a queue-full event, which
// names the queue only), with the queue, more like it for the test's own refusals, and the event queue
// their events go to (emptied of the queue manager's start event); the MQSC that makes the queue take
// one put more. A full queue holds one message. The program is given the queue by name, or through an
// alias (via), whose target the queue-full event names.
struct Refusal {
    const char *name;
    MQLONG reason;
    const char *setup, *eventQueue, *target, *release;
    const char *others[3];  // queues refused the same way, one per event the test raises
    const char *summary;    // the SUMMARY of the event of a refusal at one of them, the name after it
    const char *via = nullptr;
};
const Refusal kRefusals[] = {
    {"PutInhibited",
     MQRC_PUT_INHIBITED,
     "CLEAR QLOCAL(SYSTEM.ADMIN.QMGR.EVENT)\nALTER QMGR INHIBTEV(ENABLED)\nDEFINE QLOCAL(SYS.INH) "
     "PUT(DISABLED)\nDEFINE QLOCAL(SYS.INH1) PUT(DISABLED)\n"
     "DEFINE QLOCAL(SYS.INH2) PUT(DISABLED)\nDEFINE QLOCAL(SYS.INH3) PUT(DISABLED)\n",
     sys::kQmgrEvents,
     "SYS.INH",
     "ALTER QLOCAL(SYS.INH) PUT(ENABLED)\n",
     {"SYS.INH1", "SYS.INH2", "SYS.INH3"},
     "SUMMARY(Inhibit Put - Queue:"},
    {"QueueFull",
     MQRC_Q_FULL,
     "ALTER QMGR PERFMEV(ENABLED)\nDEFINE QLOCAL(SYS.FULL) MAXDEPTH(1)\nDEFINE QLOCAL(SYS.FULL1) "
     "MAXDEPTH(1)\n"
     "DEFINE QLOCAL(SYS.FULL2) MAXDEPTH(1)\nDEFINE QLOCAL(SYS.FULL3) MAXDEPTH(1)\n",
     "SYSTEM.ADMIN.PERFM.EVENT",
     "SYS.FULL",
     "ALTER QLOCAL(SYS.FULL) MAXDEPTH(2)\n",
     {"SYS.FULL1", "SYS.FULL2", "SYS.FULL3"},
     "SUMMARY(Performance - Q Depth Full - Queue:"},
    {"QueueFullThroughAnAlias",
     MQRC_Q_FULL,
     "ALTER QMGR PERFMEV(ENABLED)\nDEFINE QLOCAL(SYS.FULL) MAXDEPTH(1)\nDEFINE QLOCAL(SYS.FULL1) "
     "MAXDEPTH(1)\n"
     "DEFINE QLOCAL(SYS.FULL2) MAXDEPTH(1)\nDEFINE QLOCAL(SYS.FULL3) MAXDEPTH(1)\n"
     "DEFINE QALIAS(SYS.FULL.AL) TARGET(SYS.FULL)\n",
     "SYSTEM.ADMIN.PERFM.EVENT",
     "SYS.FULL",
     "ALTER QLOCAL(SYS.FULL) MAXDEPTH(2)\n",
     {"SYS.FULL1", "SYS.FULL2", "SYS.FULL3"},
     "SUMMARY(Performance - Q Depth Full - Queue:",
     "SYS.FULL.AL"},
};

class RefusalQmTest : public OwnQueuesQmTest, public ::testing::WithParamInterface<Refusal> {
protected:
    void SetUp() override {
        OwnQueuesQmTest::SetUp();
        const Refusal &c = GetParam();
        mqsc(c.setup);
        if (c.reason == MQRC_Q_FULL)
            for (const char *queue : {c.target, c.others[0], c.others[1], c.others[2]})
                put(queue, "filler", MQFMT_STRING);
    }
    // The test's own put refused at one of the other queues: one event, of the test's application.
    void refuse(const char *queue) {
        qmt::Rc r;
        MQOD od = MQOD_DEFAULT;
        qmt::setText(od.ObjectName, 48, queue);
        MQMD md = MQMD_DEFAULT;
        MQPMO pmo = MQPMO_DEFAULT;
        MQPUT1(h, &od, &md, &pmo, 1, const_cast<char *>("x"), &r.cc, &r.reason);
        ASSERT_EQ(r.reason, GetParam().reason) << queue;
    }
    std::string summary(const char *queue) { return std::string(GetParam().summary) + queue + ")"; }
    // The name the program is given.
    static std::string named() { return GetParam().via != nullptr ? GetParam().via : GetParam().target; }
    // The depth of the refusing queue once it took the one message put to it.
    MQLONG takenDepth() { return GetParam().reason == MQRC_Q_FULL ? 2 : 1; }
};

// A forward queue that refuses puts. The event of the test's first refusal is forwarded: its put fails,
// forwarding is held (said once, with an alert) and the copy is dead-lettered. The event that failed put
// raised is stored, neither forwarded nor dead-lettered; the test's second refusal, within the hold, is
// stored and dead-lettered without a try; the counts then stand still. Once the queue takes puts again
// the next event is forwarded and the hold ends.
TEST_P(RefusalQmTest, AForwardQueueThatRefusesPutsHoldsForwardingWithoutALoop) {
    const Refusal &c = GetParam();
    auto zunt = start();
    ASSERT_NE(ask(std::string("ALTER EVQ(") + c.eventQueue + ") FWDQ(" + named() + ")").find("AMQ8005"),
              std::string::npos);
    resume({c.eventQueue});
    refuse(c.others[0]);
    const std::string held =
        std::string("Forwarding from event queue '") + c.eventQueue + "' to '" + named() + "' held";
    EXPECT_TRUE(zunt->waitFor(held)) << zunt->log();
    refuse(c.others[1]);
    EXPECT_TRUE(settled(c.eventQueue));
    sleep(3);  // a loop would go on meanwhile
    EXPECT_TRUE(settled(c.eventQueue));
    const std::string events = ask("DISPLAY EVENTS(*) FROM(any) ALL");
    EXPECT_EQ(storedCount(), 3) << events;
    for (const char *queue : {c.others[0], c.target, c.others[1]})
        EXPECT_EQ(countOf(events, summary(queue)), 1) << queue << "\n" << events;
    // The dead-letter queue: the copies of the test's two events, each once, as failed forwards.
    std::vector<std::string> dead;
    qmt::Rc r;
    MQHOBJ hobj = qmt::open(h, "SYSTEM.DEAD.LETTER.QUEUE", MQOO_BROWSE);
    for (;;) {
        MQMD got = MQMD_DEFAULT;
        std::string data;
        if (qmt::get(h, hobj, &data, MQGMO_BROWSE_NEXT, &got).cc == MQCC_FAILED) break;
        ASSERT_GE(data.size(), sizeof(MQDLH) + 36);
        MQDLH dlh;
        std::memcpy(&dlh, data.data(), sizeof dlh);
        EXPECT_EQ(std::string(dlh.DestQName, named().size() + 1), named() + " ");
        EXPECT_EQ(dlh.Reason, c.reason);
        EXPECT_EQ(std::string(dlh.Format, 8), std::string(MQFMT_EVENT));
        MQLONG eventReason = 0;
        std::memcpy(&eventReason, data.data() + sizeof(MQDLH) + 28, 4);
        EXPECT_EQ(eventReason, c.reason);
        EXPECT_EQ(data.find("Holva Software ZUNT", sizeof(MQDLH)), std::string::npos);
        for (const char *queue : {c.others[0], c.others[1], c.target})
            if (data.find(std::string(queue) + " ", sizeof(MQDLH)) != std::string::npos) {
                dead.push_back(queue);
                break;
            }
    }
    MQCLOSE(h, &hobj, MQCO_NONE, &r.cc, &r.reason);
    EXPECT_EQ(dead, (std::vector<std::string>{c.others[0], c.others[1]}));
    EXPECT_EQ(countOf(zunt->log(), "*** Forwarding from event queue"), 1) << zunt->log();
    EXPECT_EQ(countOf(zunt->log(), "MQPUT(QMSYS/" + named() + ") failed"), 1) << zunt->log();
    EXPECT_NE(ask("DISPLAY EVALERT(*) ALL").find("$FWDHELD"), std::string::npos);
    // Puts taken again: the next event, after the retry interval, is forwarded.
    mqsc(c.release);
    sleep(5);
    refuse(c.others[2]);
    EXPECT_TRUE(zunt->waitFor(std::string("Forwarding from event queue '") + c.eventQueue + "' to '" +
                              named() + "' resumed."))
        << zunt->log();
    EXPECT_TRUE(settled(c.eventQueue));
    EXPECT_EQ(depth(c.target), takenDepth());
    EXPECT_EQ(depth("SYSTEM.DEAD.LETTER.QUEUE"), 2);
    EXPECT_EQ(ask("DISPLAY EVALERT(*) ALL").find("$FWDHELD"), std::string::npos);
    stop(*zunt);
}

// An emitter (ONERROR DISCARD) whose queue refuses puts. The test's refusal is stored and its record's
// put fails; the event that failed put raised is stored, and its record fails at once, without a put
// (no third event): the counts then stand still. A refusal after the back-off is put again, and goes
// onto the queue once it takes puts.
TEST_P(RefusalQmTest, AnEmitterQueueThatRefusesPutsRaisesNoLoop) {
    const Refusal &c = GetParam();
    auto zunt = start();
    resume({c.eventQueue});
    refuse(c.others[0]);
    ASSERT_TRUE(settled(c.eventQueue));
    ASSERT_NE(ask("DEFINE EVEMIT(REFUSED) ONERROR(DISCARD) QUEUE(" + named() + ")").find("AMQ8005"),
              std::string::npos);
    ASSERT_NE(ask("ALTER EVSTREAM($EVENTS) EVEMIT(REFUSED)").find("AMQ8005"), std::string::npos);
    const int stored = storedCount();
    refuse(c.others[1]);
    const std::string failed = "MQPUT on queue '" + named() + "' failed";
    EXPECT_TRUE(zunt->waitFor(failed, 2)) << zunt->log();
    EXPECT_TRUE(settled(c.eventQueue));
    sleep(3);  // a loop would go on meanwhile
    EXPECT_TRUE(settled(c.eventQueue));
    const std::string events = ask("DISPLAY EVENTS(*) FROM(any) ALL");
    EXPECT_EQ(storedCount(), stored + 2) << events;
    EXPECT_EQ(countOf(events, summary(c.target)), 1) << events;
    EXPECT_EQ(countOf(zunt->log(), failed), 2) << zunt->log();
    EXPECT_EQ(countOf(ask("DISPLAY EVALERT(*) ALL"), "CATEGORY($EMIT)"), 1);
    mqsc(c.release);
    sleep(5);
    refuse(c.others[2]);
    EXPECT_TRUE(settled(c.eventQueue));
    EXPECT_EQ(depth(c.target), takenDepth());
    EXPECT_EQ(countOf(zunt->log(), failed), 2) << zunt->log();
    stop(*zunt);
}

// A dead-letter queue that refuses puts: a message that is no event stops its event queue where it is
// (said once); the event the refused put raised is stored, or waits on that stopped queue, and nothing
// else comes: the depths stand still. Once the queue takes puts again a resume moves the message there.
TEST_P(RefusalQmTest, ADeadLetterQueueThatRefusesPutsStopsWithoutALoop) {
    const Refusal &c = GetParam();
    auto zunt = start();
    ASSERT_NE(ask("ALTER EV DEADQ(" + named() + ")").find("AMQ8005"), std::string::npos);
    resume({sys::kQmgrEvents});
    if (c.eventQueue != std::string(sys::kQmgrEvents)) resume({c.eventQueue});
    ASSERT_TRUE(settled());
    const int stored = std::max(0, storedCount());  // -1: none yet
    put(sys::kQmgrEvents, "not an event", MQFMT_STRING);
    const char *stopped = "*** Event queue 'SYSTEM.ADMIN.QMGR.EVENT' stopped: message";
    EXPECT_TRUE(zunt->waitFor(stopped)) << zunt->log();
    // The refusal's event waits behind the message on the stopped queue, or is stored from its own.
    const bool behind = c.eventQueue == std::string(sys::kQmgrEvents);
    if (!behind) {
        EXPECT_TRUE(settled(c.eventQueue));
    }
    sleep(3);  // a loop would go on meanwhile
    EXPECT_EQ(depth(sys::kQmgrEvents), behind ? 2 : 1);
    EXPECT_EQ(std::max(0, storedCount()), behind ? stored : stored + 1);
    EXPECT_EQ(countOf(zunt->log(), stopped), 1) << zunt->log();
    EXPECT_EQ(countOf(zunt->log(), "MQPUT(QMSYS/" + named() + ") failed"), 1) << zunt->log();
    mqsc(c.release);
    resume({sys::kQmgrEvents});
    EXPECT_TRUE(settled());
    EXPECT_EQ(depth(c.target), takenDepth());
    const std::string events = ask("DISPLAY EVENTS(*) FROM(any) ALL");
    EXPECT_EQ(storedCount(), stored + 1) << events;
    EXPECT_EQ(countOf(events, summary(c.target)), 1) << events;
    EXPECT_EQ(countOf(zunt->log(), stopped), 1) << zunt->log();
    stop(*zunt);
}

// A forward queue that is not there at its open, by name or as an alias's target: the open fails (said),
// its event queue waits (FWDQFAIL) and the local event each failed open raised waits on it too, one per
// open: an ALTER and a RESUME make two, and no more come meanwhile. Once the queue is there a resume
// stores both and forwards them, once each, as any event.
TEST_F(OwnQueuesQmTest, AForwardQueueMissingAtItsOpenRaisesOneEventAnOpen) {
    mqsc("CLEAR QLOCAL(SYSTEM.ADMIN.QMGR.EVENT)\nDEFINE QALIAS(SYS.GONE.AL) TARGET(SYS.GONE.T)\n");
    auto zunt = start();
    const struct {
        const char *fwdq, *reason, *define, *summary;
    } cases[] = {
        {"SYS.GONE", "RC(2085)", "DEFINE QLOCAL(SYS.GONE)\n",
         "SUMMARY(Local - Unknown Object Name - Queue:SYS.GONE)"},
        {"SYS.GONE.AL", "RC(2082)", "DEFINE QLOCAL(SYS.GONE.T)\n",
         "SUMMARY(Local - Unknown Alias Base - Queue:SYS.GONE.AL)"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.fwdq);
        const int stored = std::max(0, storedCount());  // -1: none yet
        const std::string reply = ask(std::string("ALTER EVQ(SYSTEM.ADMIN.QMGR.EVENT) FWDQ(") + c.fwdq + ")");
        EXPECT_NE(reply.find(std::string("Fail to open forwarding queue. MQOPEN(QMSYS/") + c.fwdq +
                             ") failed " + c.reason),
                  std::string::npos)
            << reply;
        EXPECT_EQ(ask(std::string("RESUME EVQ(") + sys::kQmgrEvents + ")").find("AMQ8005"),
                  std::string::npos);
        sleep(3);  // a loop would go on meanwhile
        EXPECT_EQ(depth(sys::kQmgrEvents), 2);
        EXPECT_NE(ask(std::string("DISPLAY EVQ(") + sys::kQmgrEvents + ") STATUS").find("STATUS(FWDQFAIL)"),
                  std::string::npos);
        mqsc(c.define);
        resume({sys::kQmgrEvents});
        EXPECT_TRUE(settled());
        EXPECT_EQ(storedCount(), stored + 2);
        EXPECT_EQ(countOf(events(), c.summary), 2) << events();
        MQLONG forwarded = depth(c.fwdq == std::string("SYS.GONE") ? "SYS.GONE" : "SYS.GONE.T");
        EXPECT_EQ(forwarded, 2);
        EXPECT_EQ(depth("SYSTEM.DEAD.LETTER.QUEUE"), 0);
        ASSERT_NE(ask(std::string("ALTER EVQ(") + sys::kQmgrEvents + ") FWDQ('')").find("AMQ8005"),
                  std::string::npos);
    }
    stop(*zunt);
}

INSTANTIATE_TEST_SUITE_P(Reasons, RefusalQmTest, ::testing::ValuesIn(kRefusals),
                         [](const ::testing::TestParamInfo<Refusal> &p) { return p.param.name; });

// An emitter whose queue is open takes an event queue added later, by name or as an alias's target, as
// it takes one named at its open: the next record is not put there (said, the record fails and is
// discarded), so nothing the program emitted is read back; the event itself is stored.
TEST_F(OwnQueuesQmTest, AnEventQueueAddedLaterIsNoLongerWhereAnOpenEmitterPuts) {
    mqsc(
        "DEFINE QLOCAL(SYS.EMIT.Q)\nDEFINE QLOCAL(SYS.EMIT.T)\nDEFINE QALIAS(SYS.EMIT.AL) "
        "TARGET(SYS.EMIT.T)\n");
    auto zunt = start();
    resume({sys::kQmgrEvents});
    const struct {
        const char *emitter, *queue, *target, *said;
    } cases[] = {
        {"BYNAME", "SYS.EMIT.Q", "SYS.EMIT.Q",
         "Emitter queue 'SYS.EMIT.Q' is a queue the program reads: not used."},
        {"BYALIAS", "SYS.EMIT.AL", "SYS.EMIT.T",
         "Emitter queue 'SYS.EMIT.AL' leads to the queue the program reads 'QMSYS/SYS.EMIT.T': not used."},
    };
    int n = 0;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.emitter);
        ASSERT_NE(ask(std::string("DEFINE EVEMIT(") + c.emitter + ") ONERROR(DISCARD) QUEUE(" + c.queue + ")")
                      .find("AMQ8005"),
                  std::string::npos);
        ASSERT_NE(ask(std::string("ALTER EVSTREAM($EVENTS) EVEMIT(") + c.emitter + ")").find("AMQ8"),
                  std::string::npos);
        // The emitter's queue is opened by a record.
        qmt::Rc r;
        qmt::open(h, ("SYS.NOT.THERE." + std::to_string(++n)).c_str(), MQOO_OUTPUT, &r);
        ASSERT_EQ(r.reason, MQRC_UNKNOWN_OBJECT_NAME);
        ASSERT_TRUE(settled());
        ASSERT_EQ(depth(c.target), 1);
        MQHOBJ hobj = qmt::open(h, c.target, MQOO_INPUT_SHARED);
        ASSERT_EQ(qmt::get(h, hobj, nullptr).reason, MQRC_NONE);
        MQCLOSE(h, &hobj, MQCO_NONE, &r.cc, &r.reason);
        ASSERT_NE(ask(std::string("ADD EVQ(") + c.target + ")").find("AMQ8005"), std::string::npos);
        ask(std::string("RESUME EVQ(") + c.target + ")");
        const int stored = storedCount();
        qmt::open(h, ("SYS.NOT.THERE." + std::to_string(++n)).c_str(), MQOO_OUTPUT, &r);
        ASSERT_EQ(r.reason, MQRC_UNKNOWN_OBJECT_NAME);
        EXPECT_TRUE(zunt->waitFor(c.said, 1, 10000)) << zunt->log();
        EXPECT_TRUE(settled());
        EXPECT_TRUE(settled(c.target));
        EXPECT_EQ(storedCount(), stored + 1);
        EXPECT_EQ(countOf(zunt->log(), "moved to the dead-letter queue"), 0) << zunt->log();
        EXPECT_EQ(depth("SYSTEM.DEAD.LETTER.QUEUE"), 0);
    }
    stop(*zunt);
}

// A subscription an administrator made to the alert topic with a queue the program reads as its
// destination: each publication comes back there once and is not run or taken as an event (a PCF
// message of Format MQPCF, got with its property in an MQRFH2: dead-lettered from an event queue as no
// event, set aside on the command queue), and raises no alert of its own, so one alert added and
// removed makes exactly two messages.
TEST_F(OwnQueuesQmTest, AlertPublicationsReadBackRaiseNothing) {
    auto zunt = start();
    resume({sys::kQmgrEvents});
    ASSERT_TRUE(settled());
    const int stored = storedCount();
    int n = 0;
    for (const char *queue : {sys::kQmgrEvents, sys::kCommandQueue}) {
        SCOPED_TRACE(queue);
        MQHOBJ dest = qmt::open(h, queue, MQOO_OUTPUT);
        MQSD sd = MQSD_DEFAULT;
        sd.Options = MQSO_CREATE | MQSO_NON_DURABLE | MQSO_FAIL_IF_QUIESCING;
        sd.ObjectString.VSPtr = const_cast<char *>("Holva/ZUNT/Alerts");
        sd.ObjectString.VSLength = 17;
        MQHOBJ hsub = MQHO_UNUSABLE_HOBJ;
        qmt::Rc r;
        MQSUB(h, &sd, &dest, &hsub, &r.cc, &r.reason);
        ASSERT_EQ(r.reason, MQRC_NONE);
        const std::string added =
            ask("ADD EVALERT TEXT('read back " + std::to_string(++n) + "') SEVERITY(ERROR)");
        ASSERT_NE(added.find("AMQ8005"), std::string::npos) << added;
        const std::string alerts = ask("DISPLAY EVALERT(*)");
        const size_t at = alerts.find("EVALERT(");
        ASSERT_NE(at, std::string::npos) << alerts;
        const std::string id = alerts.substr(at + 8, alerts.find(')', at) - at - 8);
        ASSERT_NE(ask("REMOVE EVALERT(" + id + ")").find("AMQ8005"), std::string::npos);
        EXPECT_TRUE(settled(queue));
        sleep(2);  // a loop would go on meanwhile
        EXPECT_TRUE(settled(queue));
        EXPECT_EQ(countOf(ask("DISPLAY EVALERT(*)"), "EVALERT("), 0);
        MQCLOSE(h, &hsub, MQCO_REMOVE_SUB, &r.cc, &r.reason);
        MQCLOSE(h, &dest, MQCO_NONE, &r.cc, &r.reason);
    }
    // From the event queue: the two publications, as no events; from the command queue nothing.
    EXPECT_EQ(depth("SYSTEM.DEAD.LETTER.QUEUE"), 2);
    MQHOBJ hobj = qmt::open(h, "SYSTEM.DEAD.LETTER.QUEUE", MQOO_BROWSE);
    for (int i = 0; i < 2; i++) {
        std::string data;
        ASSERT_EQ(qmt::get(h, hobj, &data, MQGMO_BROWSE_NEXT).reason, MQRC_NONE);
        ASSERT_GE(data.size(), sizeof(MQDLH));
        MQDLH dlh;
        std::memcpy(&dlh, data.data(), sizeof dlh);
        EXPECT_EQ(dlh.Reason, 200000);                                          // no event
        EXPECT_EQ(std::string(dlh.Format, 8), std::string(MQFMT_RF_HEADER_2));  // the Severity property
    }
    qmt::Rc r;
    MQCLOSE(h, &hobj, MQCO_NONE, &r.cc, &r.reason);
    EXPECT_EQ(countOf(zunt->log(), "ADD EVALERT("), 2) << zunt->log();
    EXPECT_EQ(storedCount(), stored);
    stop(*zunt);
}

// A subscription to the alert topic whose destination is the data queue (a mistake the program cannot
// undo): while the data queue is high, every refused change looks at it again, and the depth the alert's
// publication added is a new depth. "$DATAQHI" is raised once for the condition, so its publication
// lands once and the data queue's depth then stands still however many changes are refused.
TEST_F(OwnQueuesQmTest, AlertPublicationsToTheDataQueueDoNotBuildUp) {
    auto zunt = start();
    resume({sys::kQmgrEvents});
    MQHOBJ dest = qmt::open(h, sys::kDataQueue, MQOO_OUTPUT);
    MQSD sd = MQSD_DEFAULT;
    sd.Options = MQSO_CREATE | MQSO_NON_DURABLE | MQSO_FAIL_IF_QUIESCING;
    sd.ObjectString.VSPtr = const_cast<char *>("Holva/ZUNT/Alerts");
    sd.ObjectString.VSLength = MQVS_NULL_TERMINATED;
    MQHOBJ hsub = MQHO_UNUSABLE_HOBJ;
    qmt::Rc r;
    MQSUB(h, &sd, &dest, &hsub, &r.cc, &r.reason);
    ASSERT_EQ(r.reason, MQRC_NONE);
    MQMD md = MQMD_DEFAULT;
    std::memcpy(md.CorrelId, "ANOTHER.APPLICATION.DATA", sizeof md.CorrelId);
    for (MQLONG d = depth(sys::kDataQueue); d < 4800; d++) {
        MQMD each = md;
        ASSERT_EQ(qmt::put(h, dest, "filler", MQPMO_NO_SYNCPOINT, &each).reason, MQRC_NONE);
    }
    // The data queue is looked at every second rather than every hour: each look is another chance.
    ASSERT_NE(ask("DEBUG DATAQCHK(1)").find("Debug command processed"), std::string::npos);
    // An event's unit looks at the data queue; the condition's one publication lands there.
    sleep(1);
    qmt::open(h, "SYS.NOT.THERE", MQOO_OUTPUT, &r);
    ASSERT_EQ(r.reason, MQRC_UNKNOWN_OBJECT_NAME);
    for (int waited = 0; onDataQueue(MQFMT_RF_HEADER_2) == 0 && waited < 30000; waited += 100) usleep(100000);
    ASSERT_EQ(onDataQueue(MQFMT_RF_HEADER_2), 1);
    const MQLONG high = depth(sys::kDataQueue);
    for (int i = 0; i < 5; i++) {
        const std::string reply = ask("DEFINE EVSTREAM(HELD" + std::to_string(i) + ") TYPE(EVENTS)");
        EXPECT_NE(reply.find("ZUNT can not keep the change now"), std::string::npos) << reply;
    }
    sleep(2);  // a late publication would land meanwhile
    EXPECT_EQ(onDataQueue(MQFMT_RF_HEADER_2), 1);
    EXPECT_EQ(depth(sys::kDataQueue), high);
    EXPECT_EQ(countOf(ask("DISPLAY EVALERT(*) ALL"), "CATEGORY($DATAQHI)"), 1);
    MQCLOSE(h, &hsub, MQCO_REMOVE_SUB, &r.cc, &r.reason);
    MQCLOSE(h, &dest, MQCO_NONE, &r.cc, &r.reason);
    stop(*zunt);
}

// An alias as an event queue reads: its backout settings are those of the queue it resolves to. A
// message backed out past that BOTHRESH (2) and then twice alone goes to its BOQNAME; one backed out
// twice is within the threshold and taken in (no event: dead-lettered).
TEST_F(OwnQueuesQmTest, AnAliasEventQueueTakesTheBackoutSettingsOfItsTarget) {
    mqsc(
        "DEFINE QLOCAL(SYS.PLAINB) BOTHRESH(2) BOQNAME(SYS.PLAINB.BO)\nDEFINE QLOCAL(SYS.PLAINB.BO)\n"
        "DEFINE QALIAS(SYS.AL.PLAINB) TARGET(SYS.PLAINB)\n");
    MQHOBJ hobj = qmt::open(h, "SYS.PLAINB", MQOO_INPUT_SHARED);
    for (const int times : {5, 2}) {
        const std::string msgId = put("SYS.PLAINB", "backed out " + std::to_string(times), MQFMT_STRING);
        ASSERT_EQ(qmt::backOutTimes(h, hobj, msgId, times), MQRC_NONE);
    }
    qmt::Rc r;
    MQCLOSE(h, &hobj, MQCO_NONE, &r.cc, &r.reason);
    auto zunt = start();
    EXPECT_NE(ask("ADD EVQ(SYS.AL.PLAINB)").find("AMQ8005"), std::string::npos) << zunt->log();
    ask("RESUME EVQ(SYS.AL.PLAINB)");
    EXPECT_TRUE(settled("SYS.PLAINB"));
    EXPECT_EQ(depth("SYS.PLAINB.BO"), 1) << zunt->log();
    EXPECT_EQ(depth("SYSTEM.DEAD.LETTER.QUEUE"), 1);
    EXPECT_NE(ask("DISPLAY EVQ(SYS.AL.PLAINB) STATUS").find("STATUS(ACTIVE)"), std::string::npos);
    stop(*zunt);
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
        {"", sys::kQmgrEvents, "EVQ1"},
        {"", "SYS.EVQ.ALIAS", "EVQ2"},
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
    EXPECT_TRUE(zunt->waitFor("Command refused: its reply queue", 7)) << zunt->log();
    EXPECT_EQ(countOf(zunt->log(), "Command refused: its reply queue"), 7) << zunt->log();
    EXPECT_EQ(countOf(zunt->log(), "Command done"), 0) << zunt->log();
    EXPECT_EQ(depth(sys::kCommandQueue), 0);
    stop(*zunt);
    EXPECT_EQ(foreignOnDataQueue(), 0);
}

// A reply queue reached through an alias whose target has since become an event queue: the handle
// the program kept for the alias is not used again; the next request is refused (not run) as one whose
// reply queue leads there, and the log says it is a queue the program reads.
TEST_F(OwnQueuesQmTest, AReplyAliasIsCheckedAgainOnceItsTargetIsAnEventQueue) {
    mqsc("DEFINE QLOCAL(SYS.RQ2)\nDEFINE QALIAS(SYS.AL.RQ2) TARGET(SYS.RQ2)\n");
    auto zunt = start();
    put(sys::kCommandQueue, "DEFINE EVSTREAM(BEFORE) TYPE(EVENTS)", MQFMT_STRING, 0, "SYS.AL.RQ2");
    // Served in order: the display's answer comes after the request before it was taken.
    ASSERT_NE(ask("DISPLAY EVSTREAM(BEFORE)").find("EVSTREAM(BEFORE)"), std::string::npos);
    ASSERT_GT(depth("SYS.RQ2"), 0);
    ASSERT_NE(ask("ADD EVQ(SYS.RQ2)").find("AMQ8005"), std::string::npos);
    ASSERT_NE(ask("SUSPEND EVQ(SYS.RQ2)").find("AMQ8005"), std::string::npos);
    const MQLONG replies = depth("SYS.RQ2");
    put(sys::kCommandQueue, "DEFINE EVSTREAM(AFTER) TYPE(EVENTS)", MQFMT_STRING, 0, "SYS.AL.RQ2");
    const std::string streams = ask("DISPLAY EVSTREAM(*)");
    ASSERT_NE(streams.find("EVSTREAM(BEFORE)"), std::string::npos) << streams;
    EXPECT_EQ(streams.find("EVSTREAM(AFTER)"), std::string::npos) << streams;
    EXPECT_TRUE(
        zunt->waitFor("Command refused: its reply queue 'QMSYS/SYS.RQ2' on 'QMSYS' is a queue the "
                      "program reads"))
        << zunt->log();
    EXPECT_EQ(depth("SYS.RQ2"), replies);
    stop(*zunt);
}

// A forward hold whose run ended with it: at the next start, the forward queue taking puts again, the
// hold's alert goes when the event queue opens, and the next event is forwarded.
TEST_F(OwnQueuesQmTest, AForwardHoldsAlertEndsAtTheNextStart) {
    mqsc("DEFINE QLOCAL(SYS.INH) PUT(DISABLED)\n");
    auto zunt = start();
    ASSERT_NE(ask("ALTER EVQ(SYSTEM.ADMIN.QMGR.EVENT) FWDQ(SYS.INH)").find("AMQ8005"), std::string::npos);
    resume({sys::kQmgrEvents});
    qmt::Rc r;
    qmt::open(h, "SYS.NOT.THERE.1", MQOO_OUTPUT, &r);
    ASSERT_EQ(r.reason, MQRC_UNKNOWN_OBJECT_NAME);
    ASSERT_TRUE(zunt->waitFor("Forwarding from event queue 'SYSTEM.ADMIN.QMGR.EVENT' to 'SYS.INH' held"))
        << zunt->log();
    ASSERT_TRUE(settled());
    ASSERT_NE(ask("DISPLAY EVALERT(*) ALL").find("CATEGORY($FWDHELD)"), std::string::npos);
    stop(*zunt);
    mqsc("ALTER QLOCAL(SYS.INH) PUT(ENABLED)\n");
    auto again = start();
    EXPECT_EQ(ask("DISPLAY EVALERT(*) ALL").find("CATEGORY($FWDHELD)"), std::string::npos);
    qmt::open(h, "SYS.NOT.THERE.2", MQOO_OUTPUT, &r);
    ASSERT_EQ(r.reason, MQRC_UNKNOWN_OBJECT_NAME);
    EXPECT_TRUE(settled());
    EXPECT_EQ(depth("SYS.INH"), 1);
    EXPECT_EQ(ask("DISPLAY EVALERT(*) ALL").find("CATEGORY($FWDHELD)"), std::string::npos);
    stop(*again);
}

}  // namespace
