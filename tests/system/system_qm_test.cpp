// The system under pressure as users meet it: its data queue reaching its depth limit during
// intake, hostile messages on every queue it reads, and commands from a principal without authority.
#include <random>

#include "system.h"

namespace {

using sys::countOf;

class SystemQmTest : public sys::SystemTest {};

// Another application's messages fill the data queue to within its margin of MAXDEPTH during
// intake: the alert is raised and published, intake holds (the events wait on their queue); once
// the depth limit is raised and the queue resumed, every event arrives once.
TEST_F(SystemQmTest, ADataQueueAtItsLimitHoldsIntakeRaisesTheAlertAndLosesNothing) {
    auto zunt = start();
    resume({sys::kQmgrEvents});
    MQSD sd = MQSD_DEFAULT;
    sd.Options = MQSO_CREATE | MQSO_MANAGED | MQSO_NON_DURABLE;
    sd.ObjectString.VSPtr = const_cast<char *>("Holva/ZUNT/Alerts");
    sd.ObjectString.VSLength = MQVS_NULL_TERMINATED;
    MQHOBJ alerts = MQHO_NONE, subscription = MQHO_UNUSABLE_HOBJ;
    qmt::Rc r;
    MQSUB(h, &sd, &alerts, &subscription, &r.cc, &r.reason);
    ASSERT_EQ(r.reason, MQRC_NONE);
    // The data queue's depth is looked at every second rather than every hour.
    ASSERT_NE(ask("DEBUG DATAQCHK(1)").find("Debug command processed"), std::string::npos);

    startFeeding();
    usleep(300000);
    MQHOBJ data = qmt::open(h, sys::kDataQueue, MQOO_OUTPUT);
    MQMD md = MQMD_DEFAULT;
    std::memcpy(md.CorrelId, "ANOTHER.APPLICATION.DATA", sizeof md.CorrelId);
    for (MQLONG d = depth(sys::kDataQueue); d < 4800; d++) {
        MQMD each = md;
        ASSERT_EQ(qmt::put(h, data, "filler", MQPMO_NO_SYNCPOINT, &each).reason, MQRC_NONE);
    }
    std::string published;
    ASSERT_EQ(qmt::get(h, alerts, &published, MQGMO_NO_SYNCPOINT | MQGMO_WAIT, nullptr, 65536, nullptr, 30000)
                  .reason,
              MQRC_NONE)
        << zunt->out();
    EXPECT_NE(published.find("Data Queue is 'high' at"), std::string::npos) << published;
    EXPECT_NE(ask("DISPLAY EVALERT(*) ALL").find("CATEGORY($DATAQHI)"), std::string::npos);
    const MQLONG held = depth(sys::kQmgrEvents);
    usleep(1000000);
    EXPECT_GT(depth(sys::kQmgrEvents), held) << "intake holds while the data queue is high";
    EXPECT_NE(ask("DISPLAY EVQ(SYSTEM.ADMIN.QMGR.EVENT) ALL").find("STATUS(DATAHIGH)"), std::string::npos);

    stopFeeding();
    mqsc("ALTER QLOCAL(HOLVA.ZUNT.DATA.QUEUE) MAXDEPTH(20000)\n");
    EXPECT_NE(ask("RESUME EVQ(SYSTEM.ADMIN.QMGR.EVENT)").find("AMQ8005"), std::string::npos);
    ASSERT_TRUE(settled()) << zunt->out();
    EXPECT_EQ(fedNotOnce(), "");
    MQCLOSE(h, &data, MQCO_NONE, &r.cc, &r.reason);
    stop(*zunt);
}

// MAXMSGL of the data queue lowered during intake: the program says why and holds intake as for a
// full data queue (its blobs may no longer fit), still answering displays; once MAXMSGL is raised and
// the queue looked at again, intake resumes and every event arrives once.
TEST_F(SystemQmTest, ALoweredDataQueueMaxmsglHoldsIntakeAndLosesNothing) {
    auto zunt = start({"-r", "1(1000)"});  // a held data queue is looked at again every second
    resume({sys::kQmgrEvents});
    // The data queue is looked at every second rather than every hour.
    ASSERT_NE(ask("DEBUG DATAQCHK(1)").find("Debug command processed"), std::string::npos);
    startFeeding();
    usleep(300000);
    mqsc("ALTER QLOCAL(HOLVA.ZUNT.DATA.QUEUE) MAXMSGL(100000)\n");
    ASSERT_TRUE(zunt->waitFor("Maximum message length 100000 is below 4194304")) << zunt->out();
    EXPECT_NE(ask("DISPLAY EVQ(SYSTEM.ADMIN.QMGR.EVENT) ALL").find("STATUS(DATAHIGH)"), std::string::npos)
        << zunt->out();
    const MQLONG held = depth(sys::kQmgrEvents);
    usleep(1000000);
    EXPECT_GT(depth(sys::kQmgrEvents), held) << "intake holds";
    EXPECT_TRUE(zunt->running());
    stopFeeding();
    mqsc("ALTER QLOCAL(HOLVA.ZUNT.DATA.QUEUE) MAXMSGL(4194304)\n");
    ASSERT_TRUE(zunt->waitFor("event intake resumed")) << zunt->out();
    ASSERT_TRUE(settled()) << zunt->out();
    EXPECT_EQ(fedNotOnce(), "");
    stop(*zunt);
}

// Random bytes, truncated PCF and wrong Formats on every event queue and on the command queue: the
// program keeps running; each such message lands on the dead-letter queue or is answered with an
// error; the valid events put among them are all stored.
TEST_F(SystemQmTest, HostileMessagesOnEveryQueueAreSetAsideOrAnsweredAndValidEventsStored) {
    // A real event, taken off its queue before the program runs: the base of the hostile ones.
    qmt::Rc r;
    qmt::open(h, "SYS.TEMPLATE", MQOO_OUTPUT, &r);
    MQHOBJ events = qmt::open(h, sys::kQmgrEvents, MQOO_INPUT_SHARED);
    std::string event;
    ASSERT_EQ(qmt::get(h, events, &event).reason, MQRC_NONE);
    MQCLOSE(h, &events, MQCO_NONE, &r.cc, &r.reason);

    auto zunt = start();
    const char *const queues[] = {sys::kQmgrEvents, "SYSTEM.ADMIN.PERFM.EVENT", "SYSTEM.ADMIN.CONFIG.EVENT",
                                  "SYSTEM.ADMIN.COMMAND.EVENT", sys::kCommandQueue};
    resume({queues[0], queues[1], queues[2], queues[3]});
    std::mt19937 random(49);
    auto below = [&random](size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(random); };
    int hostile = 0, commands = 0;
    for (int i = 0; i < 2000; i++) {
        const char *queue = queues[i % 5];
        const bool command = queue == sys::kCommandQueue;
        std::string data;
        const char *format = MQFMT_EVENT;
        switch (below(4)) {
            case 0:
                data.resize(below(300));
                for (char &c : data) c = static_cast<char>(below(256));
                format = command ? MQFMT_ADMIN : MQFMT_EVENT;
                break;
            case 1:
                data = event.substr(0, below(event.size()));
                format = command ? MQFMT_ADMIN : MQFMT_EVENT;
                break;
            case 2:
                data = event;
                format = command ? MQFMT_STRING : "RANDOM  ";
                break;
            default:
                data = event;
                for (int n = 0; n < 8; n++) data[below(data.size())] = static_cast<char>(below(256));
                format = command ? "MQSTR   " : MQFMT_EVENT;
        }
        put(queue, data, format, 0, command ? sys::kReplyQueue : nullptr);
        (command ? commands : hostile)++;
        // Now and then a valid event between them.
        if (i % 20 == 0) {
            char name[32];
            std::snprintf(name, sizeof name, "SYS.U.%07d", i);
            qmt::open(h, name, MQOO_OUTPUT, &r);
            if (r.reason == MQRC_UNKNOWN_OBJECT_NAME) raised.insert(name);
        }
    }
    for (const char *queue : queues) ASSERT_TRUE(settled(queue)) << queue << zunt->out();
    EXPECT_TRUE(zunt->running());
    EXPECT_EQ(fedNotOnce(), "");
    // Nothing waits on the queues; a damaged event that still reads as one is stored (storms of
    // them counted as repeats), every other one is set aside on the dead-letter queue.
    const MQLONG dead = depth("SYSTEM.DEAD.LETTER.QUEUE");
    EXPECT_GE(dead, hostile * 9 / 10);
    EXPECT_LE(dead, hostile);
    EXPECT_EQ(depth(sys::kReplyQueue), commands) << "one reply to each command";
    stop(*zunt);
}

// A changing command from a client principal without authority is refused with "Command not
// authorized." and changes nothing; once it has the authority, the same command is carried out.
TEST_F(SystemQmTest, ACommandWithoutAuthorityIsRefusedAndChangesNothing) {
    mqsc(
        "SET AUTHREC OBJTYPE(QMGR) PRINCIPAL('sys.operator') AUTHADD(CONNECT)\n"
        "SET AUTHREC PROFILE(HOLVA.ZUNT.COMMAND.QUEUE) OBJTYPE(QUEUE) PRINCIPAL('sys.operator') "
        "AUTHADD(PUT)\n"
        // Replies go only where the requester may put itself.
        "SET AUTHREC PROFILE(SYS.REPLY) OBJTYPE(QUEUE) PRINCIPAL('sys.operator') AUTHADD(PUT)\n");
    auto zunt = start();
    qmt::Rc r;
    MQHCONN operatorConn = sys::connectAsUser("sys.operator", qm.port(), &r);
    ASSERT_EQ(r.reason, MQRC_NONE);
    const std::string refused = ask("DEFINE EVSTREAM(OPS) TYPE(EVENTS)", operatorConn);
    EXPECT_NE(refused.find("Command not authorized."), std::string::npos) << refused;
    EXPECT_EQ(ask("DISPLAY EVSTREAM(OPS)").find("EVSTREAM(OPS)"), std::string::npos);
    // Displays change nothing and need no more than the put.
    EXPECT_NE(ask("DISPLAY EVQ(*)", operatorConn).find("AMQ8409"), std::string::npos);

    mqsc(
        "SET AUTHREC PROFILE(HOLVA.ZUNT.COMMAND.QUEUE) OBJTYPE(QUEUE) PRINCIPAL('sys.operator') "
        "AUTHADD(SET)\n");
    const std::string done = ask("DEFINE EVSTREAM(OPS) TYPE(EVENTS)", operatorConn);
    EXPECT_NE(done.find("Stream defined successfully."), std::string::npos) << done;
    EXPECT_NE(ask("DISPLAY EVSTREAM(OPS)").find("EVSTREAM(OPS)"), std::string::npos);
    MQDISC(&operatorConn, &r.cc, &r.reason);
    stop(*zunt);
}

// DEBUG CRASH(7) writes its trap line, with the value given, to a new file of the program's log
// folder: a link planted in the first name's place is neither followed nor replaced. The program
// goes on.
TEST_F(SystemQmTest, DebugCrashWritesItsTrapFileInTheLogFolderExclusively) {
    auto zunt = start();
    const std::string folder = dir.file("run1.log");
    qmt::appendText(dir.file("victim.txt"), "keep\n");
    ASSERT_EQ(symlink(dir.file("victim.txt").c_str(), (folder + "/cstrap.txt").c_str()), 0);
    EXPECT_NE(ask("DEBUG CRASH(7)").find("Debug command processed"), std::string::npos);
    EXPECT_NE(ask("DEBUG CRASH").find("Debug command processed"), std::string::npos);
    EXPECT_EQ(qmt::readText(dir.file("victim.txt")), "keep\n");
    EXPECT_NE(qmt::readText(folder + "/cstrap.1.txt").find(") value 7\n"), std::string::npos);
    EXPECT_NE(qmt::readText(folder + "/cstrap.2.txt").find(") value 0\n"), std::string::npos);
    stop(*zunt);
}

// The change log's lines read as the commands that made them: the alert of an emitter whose queue
// is missing names it between quotes, and those quotes stay inside the TEXT's string, doubled.
TEST_F(SystemQmTest, TheChangeLogDoublesTheQuotesInsideAValue) {
    auto zunt = start();
    EXPECT_NE(ask("DEFINE EVEMIT(OUT) QUEUE(SYS.NO.SUCH.Q)").find("AMQ8005"), std::string::npos);
    EXPECT_NE(ask("DEFINE EVSTREAM(OUTS) TYPE(EVENTS) DEFAULT(YES) EVEMIT(OUT)").find("Stream defined"),
              std::string::npos);
    resume({sys::kQmgrEvents});
    qmt::Rc r;
    qmt::open(h, "SYS.NOT.THERE", MQOO_OUTPUT, &r);
    ASSERT_EQ(r.reason, MQRC_UNKNOWN_OBJECT_NAME);
    EXPECT_TRUE(zunt->waitFor("ADD EVALERT(1) TEXT('MQOPEN on queue ''SYS.NO.SUCH.Q'' failed RC(2085)"))
        << zunt->log();
    stop(*zunt);
}

// Two apostrophes inside a quoted value are one apostrophe, as MQSC takes them: in a command to the
// program's own server (it answered a syntax error at the first one), and in the change log's lines,
// which are read back as the commands that made them.
TEST_F(SystemQmTest, ADoubledApostropheInAQuotedValueIsOneApostrophe) {
    auto zunt = start();
    const std::string altered = ask("ALTER EV DESCR('it''s')");
    EXPECT_EQ(altered.find("Syntax error"), std::string::npos) << altered;
    EXPECT_NE(ask("DISPLAY EV DESCR").find("DESCR(it's)"), std::string::npos);
    const std::string added = ask("ADD EVALERT TEXT('it''s here, ''quoted''') EVENTID(ABC)");
    EXPECT_EQ(added.find("Syntax error"), std::string::npos) << added;
    const std::string alerts = ask("DISPLAY EVALERT(*) ALL");
    EXPECT_NE(alerts.find("TEXT(it's here, 'quoted')"), std::string::npos) << added << alerts;
    // The change log's new value, sent again as it stands, sets the same value.
    ASSERT_TRUE(zunt->waitFor("-> 'it''s')")) << zunt->log();
    ASSERT_TRUE(zunt->waitFor("TEXT('it''s here, ''quoted''')")) << zunt->log();
    const std::string log = zunt->log();
    const size_t from = log.find("-> 'it''s')") + 3;
    const std::string logged = log.substr(from, log.find(')', from) - from);
    EXPECT_EQ(logged, "'it''s'");
    ASSERT_EQ(ask("ALTER EV DESCR('other')").find("Syntax error"), std::string::npos);
    const std::string again = ask("ALTER EV DESCR(" + logged + ")");
    EXPECT_EQ(again.find("Syntax error"), std::string::npos) << again;
    EXPECT_NE(ask("DISPLAY EV DESCR").find("DESCR(it's)"), std::string::npos);
    stop(*zunt);
}

}  // namespace
