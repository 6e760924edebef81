// The emitters' files through kill -9 of the real program at random moments of a burst and a steady
// flow, in every format: every file whole, every event in exactly one record.
#include "tests/engine/emitfiles.h"

namespace {

using ef::EmitFilesQmTest;
using pt::Zunt;

TEST_F(EmitFilesQmTest, RandomKillsLeaveEachRecordOnceInWholeFiles) {
    if (!pt::kKillsSound) GTEST_SKIP() << "kills of the program are checked on Linux";
    const struct {
        uint32_t format;
        const char *name;
    } cases[] = {{EV_EMIT_JSON, "ev.json"},
                 {EV_EMIT_NDJSON, "ev.ndjson"},
                 {EV_EMIT_CSV, "ev.csv"},
                 {EV_EMIT_MQSC, "ev.txt"}};
    std::mt19937 random(66);
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const std::string out =
            useEmitter("random" + std::to_string(c.format), c.format, EV_ONERROR_SUSPEND, 4096, c.name);
        const int from = put.load();
        putBurst(300);
        startFeeding(5);
        for (int cycle = 0; cycle < 12; cycle++) {
            Zunt zunt(dir, "cycle" + std::to_string(++runs), runOptions());
            usleep(std::uniform_int_distribution<useconds_t>(100000, 1500000)(random));
            ASSERT_TRUE(zunt.running()) << zunt.out();
            zunt.kill9();
        }
        stopFeeding();
        // The files hold the events the streams hold, each once. (A message whose unit a run after
        // run is killed in before it commits reaches the backout threshold and is discarded: in no
        // stream and no file.)
        const std::map<std::string, int> stored = drainAndReadBack();
        const ef::Files files = ef::readFiles(out, c.format);
        EXPECT_EQ(files.damaged, "");
        std::map<std::string, int> records = ef::recordsByName(files);
        for (const auto &[name, count] : stored)
            if (std::stoi(name.substr(2)) > from && name[0] == 'K') records[name] -= count;
        std::string wrong;
        for (const auto &[name, count] : records)
            if (count != 0) wrong += name + " " + std::to_string(count) + " ";
        EXPECT_EQ(wrong, "") << "records in the files less those stored";
        keepRunsOnFailure();
    }
}

// The rotation rule around many more kills, every format.
TEST_F(EmitFilesQmTest, FilesRotatedAsTheRuleAllowsAroundManyKillsHoldEachRecordOnce) {
    if (!pt::kKillsSound) GTEST_SKIP() << "kills of the program are checked on Linux";
    const struct {
        uint32_t format;
        const char *name;
    } cases[] = {{EV_EMIT_NDJSON, "ev.ndjson"},
                 {EV_EMIT_JSON, "ev.json"},
                 {EV_EMIT_CSV, "ev.csv"},
                 {EV_EMIT_MQSC, "ev.txt"}};
    unsigned seed = 194;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        rotatedAroundKills(c.format, c.name, 12, seed++);
    }
}

// The rotation rule's age in a run that goes on: files two minutes old moved while the program
// writes newer ones, around kills.
TEST_F(EmitFilesQmTest, FilesRotatedByAgeWhileTheProgramRunsHoldEachRecordOnce) {
    if (!pt::kKillsSound) GTEST_SKIP() << "kills of the program are checked on Linux";
    const struct {
        uint32_t format;
        const char *name;
    } cases[] = {{EV_EMIT_JSON, "ev.json"}, {EV_EMIT_NDJSON, "ev.ndjson"}};
    unsigned seed = 294;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        rotatedByAgeAroundKills(c.format, c.name, 2, seed++);
    }
}

}  // namespace
