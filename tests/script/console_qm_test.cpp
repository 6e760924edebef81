// The console as a user reaches it: the real program with a start-up script (-f) on the stand-in
// queue manager, its output and log read back.
#include <string>
#include <vector>

#include "../engine/program.h"
#include "hooks_testing.h"

namespace {

class ConsoleProgramQm : public pt::ProgramQmTest {
protected:
    std::vector<std::string> options(const std::string &main) {
        dir.write("console.vdr", ht::script(main));
        std::vector<std::string> o = runOptions();
        o.insert(o.end(), {"-f", dir.file("console.vdr")});
        return o;
    }
};

#ifndef _WIN32  // a test cannot send SIGTERM to a child under wine
// A command the stopped command server never answers: file mode shows why the script waits, and
// SIGTERM ends the wait and the program.
TEST_F(ConsoleProgramQm, AStartUpCommandWithoutReplyShowsWhyAndEndsOnSigterm) {
    ASSERT_EQ(qm.tool("cmdserver QM1 stop"), 0);
    pt::Zunt zunt(dir, "wait", options("=conn qm(QM1)\n=mqsc\nDISPLAY QMGR\nprint('after the wait')\n"));
    ASSERT_TRUE(zunt.waitOut("Command server or network slow in responding", 1, 30000)) << zunt.out();
    EXPECT_TRUE(zunt.waitLog("Command server or network slow in responding", 1, 3000))
        << zunt.out() << "\nLOG:\n"
        << zunt.log();
    zunt.term();
    const int code = zunt.wait(5000);
    EXPECT_NE(code, -1) << zunt.out();
    EXPECT_NE(code, pt::kKilled);
    EXPECT_NE(zunt.out().find("Command abandoned: the program is ending"), std::string::npos) << zunt.out();
    EXPECT_EQ(zunt.out().find("after the wait"), std::string::npos) << zunt.out();
    EXPECT_EQ(zunt.log().find("ZUNT Initialised"), std::string::npos);
    qm.tool("cmdserver QM1 start");
}
#endif

}  // namespace
