// The real program's orderly and killed endings in steady intake, on a private stand-in queue
// manager: threaded (the program's two sets end while the other takes in), so it also runs under
// ThreadSanitizer. Each event put is stored exactly once, as a fresh load of the data queue reads
// it back.
#include "program.h"

namespace {

using pt::Zunt;

class ProgramQmTest : public pt::ProgramQmTest {};

// The orderly endings back the open unit out before any MQDISC, which would commit events taken but
// not yet stored; kill -9 while loading or while shutting down leaves the last commit standing.
TEST_F(ProgramQmTest, EndingsInSteadyIntakeLoseAndDoubleNothing) {
    struct Row {
        const char *name;
        const char *waitFor;  // in the output, before the ending
        int exitCode;
        void (*end)(Zunt &);
    };
    const Row rows[] = {
        {"'Q' then 'Y'", nullptr, 0, [](Zunt &z) { z.keys("QY"); }},
#ifndef _WIN32  // there term() is the first row's keys, and kills are not sound (program.h)
        {"SIGTERM", nullptr, 0, [](Zunt &z) { z.term(); }},
        {"kill -9 while loading", "Connect 'QM1' complete", pt::kKilled, [](Zunt &z) { z.kill9(); }},
        {"kill -9 while shutting down", nullptr, pt::kKilled,
         [](Zunt &z) {
             z.term();
             EXPECT_TRUE(z.waitOut("Shutting down...."));
             z.kill9();
         }},
#endif
    };
    startFeeding();
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        Zunt zunt(dir, "ending" + std::to_string(++runs), {"-m", "QM1"});
        if (row.waitFor != nullptr) {
            ASSERT_TRUE(zunt.waitOut(row.waitFor, 1, 30000)) << zunt.out();
        } else {
            ASSERT_TRUE(zunt.waitInitialised()) << zunt.out();
            usleep(500000);  // taking in
            // A burst faster than the intake: a unit is open at the ending.
            MQHCONN burst = connectTo("QM1");
            for (int i = 0; i < 300; i++) putEvent(burst);
            MQLONG cc = 0, rc = 0;
            raw.MQDISC(&burst, &cc, &rc);
        }
        row.end(zunt);
        EXPECT_EQ(zunt.wait(), row.exitCode) << zunt.out();
        if (row.exitCode == 0) {
            const std::string out = zunt.out();
            EXPECT_NE(out.find("Shutting down complete."), std::string::npos) << out;
            const size_t down = out.find("Shutting down....");
            EXPECT_LT(out.find("Rollback successful", down), out.find("Disconnecting from Event", down))
                << "backed out before MQDISC: " << out;
            EXPECT_EQ(row.end == rows[0].end,
                      out.find("Are you sure you want to quit?") != std::string::npos);
        }
    }
    stopFeeding();
    EXPECT_EQ(notOnce(drainAndReadBack()), "");
}

}  // namespace
