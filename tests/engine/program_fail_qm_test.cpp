// The real program on a private stand-in queue manager with a message it can neither handle nor move
// aside: the queue stops where an administrator looks, commands go on being answered, and RESUME EVQ
// takes the message once the dead-letter queue can.
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
    ASSERT_EQ(qm.mqsc("DEFINE QLOCAL(REPLY.Q)\n"), 0);
    Zunt zunt(dir, "poison", runOptions());
    ASSERT_TRUE(zunt.waitInitialised()) << zunt.out();
    EXPECT_NE(command("ALTER EV USEDLQ(YES)").find("AMQ"), std::string::npos);
    putOn(own, "not an event", kQmgrEvents, MQFMT_STRING);
    const std::string stopped = std::string("*** Event queue '") + kQmgrEvents + "' stopped";
    ASSERT_TRUE(zunt.waitLog(stopped)) << zunt.log();
    const size_t logged = zunt.log().size();
    sleep(2);
    const std::string later = zunt.log();
    EXPECT_LT(later.size() - logged, 1000u) << later.substr(logged);
    EXPECT_EQ(et::countOf(later, stopped), 1);
    EXPECT_EQ(et::countOf(later, "No Dead Letter Queue defined."), 1);
    EXPECT_EQ(et::countOf(later, "Connect sequence for"), 1) << "no reconnect";
    EXPECT_NE(command("DISPLAY EVQ(SYSTEM.ADMIN.QMGR.EVENT) STATUS").find("STATUS(BOQFAIL)"),
              std::string::npos);
    EXPECT_NE(command("DISPLAY EVALERT(*) ALL").find("$BOQFAIL"), std::string::npos);
    EXPECT_EQ(depth(kQmgrEvents), 1);

    ASSERT_EQ(qm.mqsc("DEFINE QLOCAL(Q.DLQ)\n"), 0);
    command("ALTER EV DEADQ(Q.DLQ)");
    command("RESUME EVQ(SYSTEM.ADMIN.QMGR.EVENT)");
    ASSERT_TRUE(drained()) << zunt.log();
    EXPECT_TRUE(et::waitFor([this] { return depth("Q.DLQ") == 1; }));
    EXPECT_NE(command("DISPLAY EVQ(SYSTEM.ADMIN.QMGR.EVENT) STATUS").find("STATUS(ACTIVE)"),
              std::string::npos);
    EXPECT_EQ(command("DISPLAY EVALERT(*) ALL").find("$BOQFAIL"), std::string::npos);
    zunt.term();
    EXPECT_EQ(zunt.wait(), 0) << zunt.out();
}

}  // namespace
