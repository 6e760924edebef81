// The emitters' files as the real program writes them on the stand-in: a write that fails (a file
// size limit) is seen at once and goes the emitter's ONERROR way, and after kills at the emit and
// commit steps and after backed-out units every file parses and holds each record exactly once.
#include "program.h"
#include "tests/engine/emitfiles.h"

namespace {

using pt::Zunt;

struct EmitterSetup {
    std::string pattern;
    uint32_t format = EV_EMIT_NDJSON;
    uint32_t onError = EV_ONERROR_SUSPEND;
    uint32_t maxSize = 0;  // bytes; 0 the default
};
EmitterSetup gEmitter;

// The stored configuration's emitter FILES on the events stream.
void fileEmitter() {
    EmitterDef *e = evCreateEmitterDef("FILES", -1);
    ASSERT_NE(e, nullptr);
    std::snprintf(e->file, sizeof e->file, "%s", gEmitter.pattern.c_str());
    e->format = gEmitter.format;
    e->onError = gEmitter.onError;
    if (gEmitter.maxSize != 0) e->maxSize = gEmitter.maxSize;
    StreamDef *def = evStreamDefine(evSystemStreamName(STREAM_TYPE_EVENTS), -1, STREAM_TYPE_EVENTS, 0, 0);
    ASSERT_NE(def, nullptr);
    std::snprintf(def->evEmit, sizeof def->evEmit, "FILES");
}

class EmitFilesQmTest : public pt::ProgramQmTest {
protected:
    // A fresh output folder and the emitter writing into it; the events queue empty.
    std::string useEmitter(const std::string &folder, uint32_t format, uint32_t onError, uint32_t maxSize,
                           const char *name) {
        const std::string out = dir.file(folder);
        std::filesystem::create_directories(out);
        gEmitter = EmitterSetup{out + "/" + name, format, onError, maxSize};
        emptyQueue(pt::kQmgrEvents);
        seed(fileEmitter);
        return out;
    }
    // The command's MQSC reply text (REPLY.Q defined).
    std::string command(const std::string &text) {
        sendCommand(MQFMT_STRING, text);
        return replyText(10000);
    }
    // A number the reply shows as KEYWORD(n), or -1.
    static long shown(const std::string &reply, const std::string &keyword) {
        const size_t at = reply.find(keyword + "(");
        return at == std::string::npos ? -1 : std::strtol(reply.c_str() + at + keyword.size() + 1, nullptr, 10);
    }
};

// Under a file size limit (the signal it raises ignored, as a shell's ulimit and trap leave it) the
// file fills: the failed write is taken back off and reported, and ONERROR decides. SUSPEND: the
// unit backs out and the event queue waits with the rest; DISCARD: each failed record is counted
// and the next file is opened.
TEST_F(EmitFilesQmTest, WritesPastAFileSizeLimitAreSeenAndGoTheOnErrorWay) {
    if (!pt::kKillsSound) GTEST_SKIP() << "no shell to set the limit";
    constexpr int kEvents = 400;
    const std::vector<std::string> limited = {"/bin/sh", "-c", "ulimit -f 64 && trap '' XFSZ && exec \"$@\"",
                                              "sh"};
    for (uint32_t onError : {EV_ONERROR_SUSPEND, EV_ONERROR_DISCARD}) {
        SCOPED_TRACE(onError);
        const std::string out =
            useEmitter("limit" + std::to_string(onError), EV_EMIT_NDJSON, onError, 0, "ev.ndjson");
        const int from = put.load();
        ASSERT_EQ(qm.mqsc("DEFINE QLOCAL(REPLY.Q) REPLACE\n"), 0);
        emptyQueue("REPLY.Q");
        putBurst(kEvents);
        {
            Zunt zunt(dir, "limit" + std::to_string(onError), runOptions(), {}, limited);
            ASSERT_TRUE(zunt.waitInitialised()) << zunt.out();
            EXPECT_TRUE(zunt.waitLog("Error writing to file '" + out + "/ev")) << zunt.out();
            if (onError == EV_ONERROR_DISCARD) {
                EXPECT_TRUE(drained()) << undrained();
            }
            const std::string display = command("DISPLAY EVEMIT(FILES) ALL");
            const std::string status = command(std::string("DISPLAY EVQ(") + pt::kQmgrEvents + ") STATUS");
            const std::string alerts = command("DISPLAY EVALERT(*) ALL");
            zunt.term();
            EXPECT_EQ(zunt.wait(), 0) << zunt.out();
            const std::string log = zunt.log();
            const int failures = et::countOf(log, "*** Error writing to file '" + out + "/ev");
            EXPECT_NE(log.find(".ndjson' RC(27) ***"), std::string::npos) << log;  // EFBIG
            const ef::Files files = ef::readFiles(out, EV_EMIT_NDJSON);
            EXPECT_EQ(files.damaged, "");
            const std::map<std::string, int> names = ef::recordsByName(files);
            EXPECT_EQ(ef::notOnce(names), "");
            const int written = static_cast<int>(names.size());
            EXPECT_EQ(et::countOf(alerts, out + "/ev"), failures) << alerts;
            if (onError == EV_ONERROR_SUSPEND) {
                // The rest waits on the suspended queue; what was written was committed.
                EXPECT_EQ(failures, 1);
                EXPECT_EQ(depth(pt::kQmgrEvents), kEvents - written);
                EXPECT_NE(status.find("STATUS(EMITFAIL)"), std::string::npos) << status;
            } else {
                EXPECT_GT(failures, 0);
                EXPECT_EQ(written, kEvents - failures);
                EXPECT_EQ(shown(display, "ERRORCT"), failures) << display;
                EXPECT_EQ(shown(display, "MSGCT"), kEvents) << display;
            }
            EXPECT_EQ(ef::outside(names, from, from + kEvents), "");
        }
    }
}

// Every format, each run killed at a point of the emit and commit steps with a burst waiting (the
// state save in the unit, set E's commit, the name of a file made, its removal at the commit), then
// a run that takes in the rest: every file is whole and every event is in exactly one record.
TEST_F(EmitFilesQmTest, KillsAtTheEmitAndCommitStepsLeaveEachRecordOnceInWholeFiles) {
    if (!pt::kKillsSound) GTEST_SKIP() << "kills of the program are checked on Linux";
    const struct {
        uint32_t format;
        const char *name;
        std::vector<const char *> points;
    } cases[] = {
        {EV_EMIT_JSON, "ev.json", {"MQPUT#6:1", "MQCMIT@E_EVENT:1", "MQPUT#7:3", "MQGET#7:3"}},
        {EV_EMIT_NDJSON, "ev.ndjson", {"MQPUT#6:1", "MQCMIT@E_EVENT:1", "MQPUT#7:1"}},
        {EV_EMIT_CSV, "ev.csv", {"MQCMIT@E_EVENT:1", "MQPUT#7:2"}},
        {EV_EMIT_MQSC, "ev.txt", {"MQPUT#6:1", "MQPUT#7:2"}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        // Small files: a burst fills several, and a unit carries records into the next file.
        const std::string out = useEmitter("kills" + std::to_string(c.format), c.format, EV_ONERROR_SUSPEND,
                                           2048, c.name);
        const int from = put.load();
        for (const char *point : c.points) {
            putBurst(60);
            Zunt zunt(dir, "at" + std::to_string(++runs), runOptions(), {std::string("ZUNT_TEST_KILL_AT=") + point});
            EXPECT_EQ(zunt.wait(30000), pt::kKilled) << "not reached: " << point << "\n" << zunt.out();
        }
        {
            Zunt zunt(dir, "rest" + std::to_string(++runs), runOptions());
            EXPECT_TRUE(zunt.waitInitialised()) << zunt.out();
            EXPECT_TRUE(drained()) << undrained();
            zunt.term();
            EXPECT_EQ(zunt.wait(), 0) << zunt.out();
        }
        const ef::Files files = ef::readFiles(out, c.format);
        EXPECT_EQ(files.damaged, "");
        EXPECT_GT(files.texts.size(), 2u);
        EXPECT_EQ(ef::missingOrTwice(ef::recordsByName(files), from, put.load()), "");
        keepRunsOnFailure();
    }
}

// Units backed out while the data queue refuses puts, in a steady flow: what each wrote is taken
// back, and the redelivered records are written once.
TEST_F(EmitFilesQmTest, BackedOutUnitsTakeBackWhatTheyWrote) {
    const std::string out = useEmitter("backouts", EV_EMIT_NDJSON, EV_ONERROR_SUSPEND, 0, "ev.ndjson");
    const int from = put.load();
    std::vector<std::string> options = runOptions();
    options.insert(options.end(), {"-r", "1(30)"});
    ASSERT_EQ(qm.mqsc("DEFINE QLOCAL(REPLY.Q) REPLACE\n"), 0);
    startFeeding(20);
    {
        Zunt zunt(dir, "backouts", options);
        ASSERT_TRUE(zunt.waitInitialised()) << zunt.out();
        EXPECT_TRUE(et::waitFor([&] { return ef::recordsByName(ef::readFiles(out, EV_EMIT_NDJSON)).size() > 20; }));
        ASSERT_EQ(qm.mqsc(std::string("ALTER QLOCAL(") + EV_DATA_QUEUE_NAME + ") PUT(DISABLED)\n"), 0);
        EXPECT_TRUE(zunt.waitLog("RC(2051)")) << zunt.log();
        usleep(1500000);
        ASSERT_EQ(qm.mqsc(std::string("ALTER QLOCAL(") + EV_DATA_QUEUE_NAME + ") PUT(ENABLED)\n"), 0);
        // The queue held for the data queue's condition goes on when told.
        EXPECT_TRUE(zunt.waitLog("Put INHIBITED")) << zunt.log();
        const std::string resumed = command(std::string("RESUME EVQ(") + pt::kQmgrEvents + ")");
        EXPECT_NE(resumed.find("AMQ"), std::string::npos) << resumed;
        usleep(500000);
        stopFeeding();
        EXPECT_TRUE(drained()) << undrained();
        zunt.term();
        EXPECT_EQ(zunt.wait(), 0) << zunt.out();
        EXPECT_GT(et::countOf(zunt.log(), "RC(2051)"), 0);
    }
    const ef::Files files = ef::readFiles(out, EV_EMIT_NDJSON);
    EXPECT_EQ(files.damaged, "");
    EXPECT_EQ(ef::missingOrTwice(ef::recordsByName(files), from, put.load()), "");
    keepRunsOnFailure();
}

}  // namespace
