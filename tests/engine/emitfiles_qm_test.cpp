// The emitters' files as the real program writes them on the stand-in: a write that fails (a file
// size limit) is seen at once and goes the emitter's ONERROR way, and after kills at the emit and
// commit steps and after backed-out units every file parses and holds each record exactly once.
#include <bit>
#include <fstream>
#include <map>
#include <optional>
#include <set>

#include "tests/engine/emitfiles.h"
#include "tests/stats/intake_testing.h"

namespace {

using ef::EmitFilesQmTest;
using pt::Zunt;

// Under a file size limit (the signal it raises ignored, as a shell's ulimit and trap leave it) the
// file fills: the failed write is taken back off and reported, and ONERROR decides. SUSPEND: the
// unit backs out and the event queue waits with the rest; DISCARD (no failure delay): each failed
// record is counted, the next file is opened, and one alert stands for all. The limited run is then
// killed, and a run without the limit takes in the rest (a start opens the queue a failure stopped,
// with no RESUME): each record is written once, and only DISCARD's failed ones are missing.
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
            std::vector<std::string> options = runOptions();
            options.insert(options.end(), {"-o", "e0"});
            Zunt zunt(dir, "limit" + std::to_string(onError), options, {}, limited);
            ASSERT_TRUE(zunt.waitInitialised()) << zunt.out();
            EXPECT_TRUE(zunt.waitLog("Error writing to file '" + out + "/ev")) << zunt.out();
            if (onError == EV_ONERROR_DISCARD) {
                EXPECT_TRUE(drained()) << undrained();
            }
            const std::string display = command("DISPLAY EVEMIT(FILES) ALL");
            const std::string status = command(std::string("DISPLAY EVQ(") + pt::kQmgrEvents + ") STATUS");
            const std::string alerts = command("DISPLAY EVALERT(*) ALL");
            zunt.kill9();
            EXPECT_EQ(zunt.wait(), pt::kKilled) << zunt.out();
            const std::string log = zunt.log();
            const int failures = et::countOf(log, "*** Error writing to file '" + out + "/ev");
            EXPECT_NE(log.find(".ndjson' RC(27) ***"), std::string::npos) << log;  // EFBIG
            const ef::Files files = ef::readFiles(out, EV_EMIT_NDJSON);
            EXPECT_EQ(files.damaged, "");
            const std::map<std::string, int> names = ef::recordsByName(files);
            EXPECT_EQ(ef::notOnce(names), "");
            const int written = static_cast<int>(names.size());
            if (onError == EV_ONERROR_SUSPEND) {
                EXPECT_EQ(et::countOf(alerts, out + "/ev"), failures) << alerts;
                // The rest waits on the suspended queue; what was written was committed.
                EXPECT_EQ(failures, 1);
                EXPECT_EQ(shown(display, "MSGCT"), written) << display;  // the backed-out unit's are not
                EXPECT_EQ(depth(pt::kQmgrEvents), kEvents - written);
                EXPECT_NE(status.find("STATUS(EMITFAIL)"), std::string::npos) << status;
            } else {
                EXPECT_GT(failures, 0);
                EXPECT_EQ(written, kEvents - failures);
                EXPECT_EQ(shown(display, "ERRORCT"), failures) << display;
                EXPECT_EQ(shown(display, "MSGCT"), kEvents) << display;
                EXPECT_EQ(et::countOf(alerts, out + "/ev"), 0) << alerts;
                EXPECT_EQ(et::countOf(alerts, "Error writing to the files of emitter 'FILES' RC(27)"), 1)
                    << alerts;
            }
            EXPECT_EQ(ef::outside(names, from, from + kEvents), "");
            Zunt rest(dir, "unlimited" + std::to_string(onError), runOptions());
            ASSERT_TRUE(rest.waitInitialised()) << rest.out();
            EXPECT_TRUE(drained()) << undrained();
            rest.term();
            EXPECT_EQ(rest.wait(), 0) << rest.out();
            const std::map<std::string, int> after = ef::recordsByName(ef::readFiles(out, EV_EMIT_NDJSON));
            EXPECT_EQ(ef::notOnce(after), "");
            EXPECT_EQ(ef::outside(after, from, from + kEvents), "");
            EXPECT_EQ(static_cast<int>(after.size()),
                      onError == EV_ONERROR_SUSPEND ? kEvents : kEvents - failures);
        }
    }
}

// A file that can take no more (a file size limit of 8 KB, which the program's log stays under) under
// ONERROR DISCARD, in the line formats: the emitter waits out its failure delay, so the records after
// the failure are counted in ERRORCT without a new file, a line or an alert each; one failure is said
// and one alert raised.
TEST_F(EmitFilesQmTest, AFullFileWithDiscardCostsNoFileAndNoAlertPerRecord) {
    if (!pt::kKillsSound) GTEST_SKIP() << "no shell to set the limit";
    constexpr int kEvents = 100;
    const std::vector<std::string> limited = {"/bin/sh", "-c", "ulimit -f 16 && trap '' XFSZ && exec \"$@\"",
                                              "sh"};
    std::vector<std::string> options = runOptions();
    options.insert(options.end(), {"-o", "e600"});
    ASSERT_EQ(qm.mqsc("DEFINE QLOCAL(REPLY.Q) REPLACE\n"), 0);
    for (uint32_t format : {EV_EMIT_NDJSON, EV_EMIT_CSV, EV_EMIT_MQSC}) {
        SCOPED_TRACE(format);
        const std::string out =
            useEmitter("full" + std::to_string(format), format, EV_ONERROR_DISCARD, 0, "ev.txt");
        emptyQueue("REPLY.Q");
        putBurst(kEvents);
        Zunt zunt(dir, "full" + std::to_string(format), options, {}, limited);
        ASSERT_TRUE(zunt.waitInitialised()) << zunt.out();
        EXPECT_TRUE(drained()) << undrained();
        const std::string display = command("DISPLAY EVEMIT(FILES) ALL");
        const std::string alerts = command("DISPLAY EVALERT(*) ALL");
        zunt.term();
        EXPECT_EQ(zunt.wait(), 0) << zunt.out();
        const ef::Files files = ef::readFiles(out, format);
        EXPECT_EQ(files.damaged, "");
        ASSERT_EQ(files.texts.size(), 1u);
        const std::map<std::string, int> names = ef::recordsByName(files);
        EXPECT_EQ(ef::notOnce(names), "");
        EXPECT_EQ(et::countOf(zunt.log(), "*** Error writing to file '" + out + "/ev.txt' RC(27) ***"), 1);
        EXPECT_EQ(shown(display, "ERRORCT"), kEvents - static_cast<long>(names.size())) << display;
        EXPECT_EQ(et::countOf(alerts, "TEXT("), 1) << alerts;
        EXPECT_EQ(et::countOf(alerts, "Error writing to the files of emitter 'FILES' RC(27)"), 1) << alerts;
    }
}

// The output folder removed while a file is open: the next write is seen going into a file without a
// name, the unit backs out and the queue waits; resumed into a new folder, the records held back are
// written there once.
TEST_F(EmitFilesQmTest, AFolderRemovedUnderAnOpenFileSuspendsItsQueue) {
#ifdef _WIN32
    GTEST_SKIP() << "Windows removes no folder that holds an open file";
#endif
    const std::string out = useEmitter("removed", EV_EMIT_NDJSON, EV_ONERROR_SUSPEND, 0, "ev.ndjson");
    ASSERT_EQ(qm.mqsc("DEFINE QLOCAL(REPLY.Q) REPLACE\n"), 0);
    Zunt zunt(dir, "removed", runOptions());
    ASSERT_TRUE(zunt.waitInitialised()) << zunt.out();
    putBurst(30);
    EXPECT_TRUE(drained()) << undrained();
    EXPECT_TRUE(
        et::waitFor([&] { return ef::recordsByName(ef::readFiles(out, EV_EMIT_NDJSON)).size() == 30; }));
    // Written is not yet committed: the folder goes once the committed file state (the first
    // file's length, after the state's header, the emitter's name and its pattern) says the file
    // is whole.
    const auto size = static_cast<uint32_t>(std::filesystem::file_size(out + "/ev.ndjson"));
    EXPECT_TRUE(et::waitFor([&] {
        for (const Browsed &b : browse(kDataQueue)) {
            const auto *bytes = reinterpret_cast<const uint8_t *>(b.data.data());
            if (b.md.CorrelId[0] != EV_DQ_KIND_EMIT_FILES || b.data.size() < 24) continue;
            const size_t first = 24 + mqiGetU32(bytes, 12) + mqiGetU32(bytes, 16);
            if (b.data.size() >= first + 4 && mqiGetU32(bytes, first) == size) return true;
        }
        return false;
    }));
    std::filesystem::remove_all(out);
    const int from = put.load();
    putBurst(30);
    EXPECT_TRUE(zunt.waitLog("*** Error writing to file '" + out + "/ev.ndjson' RC(2) ***")) << zunt.log();
    EXPECT_NE(command(std::string("DISPLAY EVQ(") + pt::kQmgrEvents + ") STATUS").find("STATUS(EMITFAIL)"),
              std::string::npos);
    // The failed unit's messages come back with its backout.
    EXPECT_TRUE(et::waitFor([&] { return depth(pt::kQmgrEvents) == 30; })) << depth(pt::kQmgrEvents);
    std::filesystem::create_directories(out);
    command(std::string("RESUME EVQ(") + pt::kQmgrEvents + ")");
    EXPECT_TRUE(drained()) << undrained();
    zunt.term();
    EXPECT_EQ(zunt.wait(), 0) << zunt.out();
    const ef::Files files = ef::readFiles(out, EV_EMIT_NDJSON);
    EXPECT_EQ(files.damaged, "");
    const std::map<std::string, int> records = ef::recordsByName(files);
    EXPECT_EQ(ef::missingOrTwice(records, from, put.load()), "");
    EXPECT_EQ(ef::outside(records, from, put.load()), "");
}

// The values of an MQSC-style text read back: each ('...') with '' as one apostrophe, \\ as one
// backslash and \xHH as that byte.
std::vector<std::string> mqscValues(const std::string &text) {
    std::vector<std::string> values;
    for (size_t at = text.find("('"); at != std::string::npos; at = text.find("('", at)) {
        std::string value;
        size_t i = at + 2;
        for (; i < text.size(); i++) {
            const char c = text[i];
            if (c == '\'' && i + 1 < text.size() && text[i + 1] == '\'') {
                value += '\'';
                i++;
            } else if (c == '\'') {
                break;
            } else if (c == '\\' && i + 1 < text.size() && text[i + 1] == '\\') {
                value += '\\';
                i++;
            } else if (c == '\\' && i + 3 < text.size() && text[i + 1] == 'x') {
                value += static_cast<char>(std::stoi(text.substr(i + 2, 2), nullptr, 16));
                i += 3;
            } else {
                value += c;
            }
        }
        values.push_back(value);
        at = i;
    }
    return values;
}

// An event naming an object with control characters, quotes, a backslash and letters beyond ASCII, in
// the CCSID of its message (819, 1208, 500), through each format: JSON and NDJSON files parse as
// strict UTF-8 with the text converted, a CSV field stays one field, an MQSC record reads back.
TEST_F(EmitFilesQmTest, HostileTextsInEachCcsidStayWholeInEachFormat) {
    // "K.café ÿ©'\"\\" line feed, escape, "x": 15 characters in Latin-1, UTF-8 ("€" for " ÿ©") and EBCDIC.
    const std::string latin1("K.caf\xE9 \xFF\xA9'\"\\\n\x1Bx", 15);
    // The program takes messages converted to its queue manager's CCSID (819): the text it holds.
    const struct {
        int32_t ccsid;
        std::string bytes;
        std::string held;
        std::string json;  // the text as the JSON string holds it
    } texts[] = {
        {819, latin1, latin1, "K.caf\xC3\xA9 \xC3\xBF\xC2\xA9'\\\"\\\\\\n\\u001Bx"},
        {1208, std::string("K.caf\xC3\xA9 \xC3\xBF\xC2\xA9'\"\\", 15), latin1.substr(0, 12),
         "K.caf\xC3\xA9 \xC3\xBF\xC2\xA9'\\\"\\\\"},
        {500, std::string("\xD2\x4B\x83\x81\x86\x51\x40\xDF\xB4\x7D\x7F\xE0\x25\x27\xA7", 15), latin1,
         "K.caf\xC3\xA9 \xC3\xBF\xC2\xA9'\\\"\\\\\\n\\u001Bx"},
    };
    ASSERT_EQ(qm.mqsc("DEFINE QLOCAL(CONVERT.Q) REPLACE\n"), 0);
    // Latin-1 as UTF-8: what ZUNT_EMIT_CCSID=1208 makes of the held text.
    auto utf8 = [](const std::string &text) {
        std::string out;
        for (char c : text) {
            const auto byte = static_cast<unsigned char>(c);
            if (byte < 0x80) {
                out += c;
            } else {
                out += static_cast<char>(0xC0 | byte >> 6);
                out += static_cast<char>(0x80 | (byte & 0x3F));
            }
        }
        return out;
    };
    const struct {
        uint32_t format;
        bool toUtf8;  // ZUNT_EMIT_CCSID=1208
    } setups[] = {{EV_EMIT_JSON, false},
                  {EV_EMIT_NDJSON, false},
                  {EV_EMIT_CSV, false},
                  {EV_EMIT_MQSC, false},
                  {EV_EMIT_MQSC, true}};
    for (const auto &setup : setups) {
        const uint32_t format = setup.format;
        SCOPED_TRACE(format);
        const std::string folder = "texts" + std::to_string(format) + (setup.toUtf8 ? "u" : "");
        const std::string out = useEmitter(folder, format, EV_ONERROR_SUSPEND, 0, "ev.txt");
        for (const auto &t : texts) {
            MQMD md = MQMD_DEFAULT;
            std::memcpy(md.Format, MQFMT_EVENT, MQ_FORMAT_LENGTH);
            md.CodedCharSetId = t.ccsid;
            putMessage(pt::kQmgrEvents, md, inCcsid(t.bytes, t.ccsid));
        }
        std::vector<std::string> environment;
        if (setup.toUtf8) environment.emplace_back("ZUNT_EMIT_CCSID=1208");
        Zunt zunt(dir, folder, runOptions(), environment);
        EXPECT_TRUE(zunt.waitInitialised()) << zunt.out();
        EXPECT_TRUE(drained()) << undrained();
        zunt.term();
        EXPECT_EQ(zunt.wait(), 0) << zunt.out();
        const ef::Files files = ef::readFiles(out, format);
        EXPECT_EQ(files.damaged, "");
        ASSERT_EQ(files.texts.size(), 1u);
        const std::string &text = files.texts[0].second;
        for (const auto &t : texts) {
            SCOPED_TRACE(t.ccsid);
            if (format == EV_EMIT_JSON || format == EV_EMIT_NDJSON) {
                EXPECT_NE(text.find("\"" + t.json + "\""), std::string::npos) << text;
            } else if (format == EV_EMIT_CSV) {
                // Quoted for its double quote and line feed, each double quote doubled.
                std::string field = t.held;
                const bool quoted = field.find_first_of("\",\n\r") != std::string::npos;
                for (size_t at = field.find('"'); at != std::string::npos; at = field.find('"', at + 2))
                    field.insert(at, 1, '"');
                if (quoted) field = "\"" + field + "\"";
                EXPECT_NE(text.find("," + field + "\n"), std::string::npos) << text;
            } else {
                const std::vector<std::string> values = mqscValues(text);
                const std::string held = setup.toUtf8 ? utf8(t.held) : t.held;
                EXPECT_NE(std::find(values.begin(), values.end(), held), values.end()) << text;
            }
        }
        if (format == EV_EMIT_MQSC) {
            EXPECT_EQ(text.find('\x1B'), std::string::npos) << "one record, one line";
        }
    }
}

// ZUNT_EMIT_CCSID of a code page the byte table cannot carry (UTF-16 in either byte order, one the
// queue manager does not know) is refused once with a line, and the MQSC-style and CSV files are in
// the records' own CCSID, as without it; one it can carry (EBCDIC 500) is written in it.
TEST_F(EmitFilesQmTest, AnEmitCcsidTheByteTableCannotCarryIsRefusedOnce) {
    const struct {
        const char *ccsid;
        bool refused;
    } values[] = {{"1200", true}, {"1202", true}, {"81", true}, {"500", false}};
    for (const auto &v : values) {
        for (const uint32_t format : {EV_EMIT_MQSC, EV_EMIT_CSV}) {
            SCOPED_TRACE(std::string(v.ccsid) + " " + std::to_string(format));
            const std::string folder = std::string("ccsid") + v.ccsid + "f" + std::to_string(format);
            const std::string out = useEmitter(folder, format, EV_ONERROR_SUSPEND, 0, "ev.txt");
            const int from = put.load();
            putBurst(3);
            Zunt zunt(dir, folder, runOptions(), {std::string("ZUNT_EMIT_CCSID=") + v.ccsid});
            EXPECT_TRUE(zunt.waitInitialised()) << zunt.out();
            EXPECT_TRUE(drained()) << undrained();
            putBurst(2);
            EXPECT_TRUE(drained()) << undrained();
            zunt.term();
            EXPECT_EQ(zunt.wait(), 0) << zunt.out();
            const std::string line = std::string("ZUNT_EMIT_CCSID(") + v.ccsid + ") ignored";
            EXPECT_EQ(et::countOf(zunt.log(), line), v.refused ? 1 : 0) << zunt.log();
            const ef::Files files = ef::readFiles(out, format);
            ASSERT_EQ(files.texts.size(), 1u);
            const std::string &text = files.texts[0].second;
            EXPECT_EQ(text.find('\0'), std::string::npos) << "NUL bytes written";
            if (v.refused) {
                EXPECT_EQ(files.damaged, "");
                EXPECT_EQ(ef::missingOrTwice(ef::recordsByName(files), from, put.load()), "");
            } else {
                EXPECT_EQ(text.find("K.0"), std::string::npos) << "not translated";
                EXPECT_NE(text.find("\xD2\x4B\xF0"), std::string::npos) << "not in EBCDIC";
            }
        }
    }
}

// The stored configuration's queue emitter FILES (the format of gEmitter) on the events stream.
void queueEmitter() {
    ef::fileEmitter();
    EmitterDef *e = evFindEmitterDef("FILES", -1);
    ASSERT_NE(e, nullptr);
    e->file[0] = 0;
    std::snprintf(e->queue, sizeof e->queue, "EMIT.Q");
}

// A queue emitter's messages name the code page their bytes are in: a consumer that gets them
// converted to UTF-8 reads the object name with its 'ü' as it was, in JSON and NDJSON (UTF-8 texts)
// as in CSV (the event's own code page).
TEST_F(EmitFilesQmTest, QueueMessagesNameTheCodePageOfTheirBytes) {
    ASSERT_EQ(qm.mqsc("DEFINE QLOCAL(CONVERT.Q) REPLACE\nDEFINE QLOCAL(EMIT.Q) REPLACE\n"), 0);
    const std::string name("K.j\xFCrgen.12345", 15);
    for (uint32_t format : {EV_EMIT_JSON, EV_EMIT_NDJSON, EV_EMIT_CSV}) {
        SCOPED_TRACE(format);
        emptyQueue(pt::kQmgrEvents);
        emptyQueue("EMIT.Q");
        ef::gEmitter = ef::EmitterSetup{"", format, EV_ONERROR_SUSPEND, 0};
        seed(queueEmitter);
        putMessage(pt::kQmgrEvents, MQFMT_EVENT, inCcsid(name, 819));
        Zunt zunt(dir, "ccsid" + std::to_string(format), runOptions());
        ASSERT_TRUE(zunt.waitInitialised()) << zunt.out();
        EXPECT_TRUE(drained()) << undrained();
        zunt.term();
        EXPECT_EQ(zunt.wait(), 0) << zunt.out();
        MQHOBJ hobj = openQueue("EMIT.Q", MQOO_INPUT_EXCLUSIVE);
        MQMD md = MQMD_DEFAULT;
        md.CodedCharSetId = 1208;
        MQGMO gmo = MQGMO_DEFAULT;
        gmo.Options = MQGMO_CONVERT | MQGMO_NO_SYNCPOINT;
        std::string text(65536, '\0');
        MQLONG cc = 0, rc = 0, length = 0;
        raw.MQGET(own, hobj, &md, &gmo, static_cast<MQLONG>(text.size()), text.data(), &length, &cc, &rc);
        closeQueue(&hobj);
        ASSERT_EQ(rc, MQRC_NONE);
        text.resize(static_cast<size_t>(length));
        EXPECT_EQ(md.CodedCharSetId, 1208);
        EXPECT_NE(text.find("K.j\xC3\xBCrgen.12345"), std::string::npos) << text;
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
        const std::string out =
            useEmitter("kills" + std::to_string(c.format), c.format, EV_ONERROR_SUSPEND, 2048, c.name);
        const int from = put.load();
        for (const char *point : c.points) {
            putBurst(60);
            Zunt zunt(dir, "at" + std::to_string(++runs), runOptions(),
                      {std::string("ZUNT_TEST_KILL_AT=") + point});
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

// The emitters' state as another application might put it on the data queue: a file state of the
// program's own layout (version 1, one file cut to 0 bytes).
std::string fileState(const std::string &name) {
    std::string state(24 + name.size(), '\0');
    auto *bytes = reinterpret_cast<uint8_t *>(state.data());
    mqiPutU32(bytes, 0, 1);
    mqiPutU32(bytes, 4, 1);
    mqiPutU32(bytes, 16, static_cast<uint32_t>(name.size()));
    std::memcpy(bytes + 24, name.data(), name.size());
    return state;
}

// A file's identity as the program stores it: u64 device, u64 number, u32 birth kind, u64 birth.
std::string storedIdentity(const std::string &name) {
    uint64_t size = 0;
    CSFileIdentity identity{};
    EXPECT_EQ(CSOutFileNameState(name.c_str(), &size, &identity), 0) << name;
    EXPECT_NE(identity.birthKind, CS_BIRTH_NONE) << "the file system tells no file from a later one";
    std::string data(28, '\0');
    auto *bytes = reinterpret_cast<uint8_t *>(data.data());
    mqiPutU32(bytes, 0, static_cast<uint32_t>(identity.device));
    mqiPutU32(bytes, 4, static_cast<uint32_t>(identity.device >> 32));
    mqiPutU32(bytes, 8, static_cast<uint32_t>(identity.number));
    mqiPutU32(bytes, 12, static_cast<uint32_t>(identity.number >> 32));
    mqiPutU32(bytes, 16, identity.birthKind);
    mqiPutU32(bytes, 20, static_cast<uint32_t>(identity.birth));
    mqiPutU32(bytes, 24, static_cast<uint32_t>(identity.birth >> 32));
    return data;
}

// A state the program saved (version 4), changed in place as the test needs it: its check value (a
// CRC-32 of the bytes before it) made again, so that it is still the program's own.
void resealState(std::string &state) {
    if (state.size() < 8 || mqiGetU32(state.data(), 0) != 4) return;
    uint32_t crc = 0xFFFFFFFFu;
    for (size_t i = 0; i + 4 < state.size(); i++) {
        crc ^= static_cast<uint8_t>(state[i]);
        for (int bit = 0; bit < 8; bit++) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    mqiPutU32(state.data(), static_cast<uint32_t>(state.size() - 4), ~crc);
}

// A file's name as the program puts it once it has made the file: the name, a NUL and its identity.
std::string madeName(const std::string &name) {
    return name + '\0' + storedIdentity(name);
}

void writeWhole(const std::string &path, const std::string &text, bool append = false) {
    std::ofstream(path, std::ios::binary | (append ? std::ios::app : std::ios::trunc)) << text;
}

class ForeignStateTest : public EmitFilesQmTest {
protected:
    // A message under an emitter key with no Format, as the program puts its own.
    void putUnderKey(uint8_t kind, const std::string &data) {
        MQMD md = MQMD_DEFAULT;
        md.CorrelId[0] = kind;
        md.Persistence = MQPER_PERSISTENT;
        putMessage(EV_DATA_QUEUE_NAME, md, data);
    }
    // The messages under the key, browsed by their CorrelId (stream messages may be longer than a
    // browse of the whole queue takes).
    std::vector<Browsed> underKey(uint8_t kind) { return browse(EV_DATA_QUEUE_NAME, kind); }
    // A run that takes in count events (none: it only starts and answers a command), then ends in order.
    std::string run(const std::string &name, int count) {
        EXPECT_EQ(qm.mqsc("DEFINE QLOCAL(REPLY.Q) REPLACE\n"), 0);
        Zunt zunt(dir, name, runOptions());
        EXPECT_TRUE(zunt.waitInitialised()) << zunt.out();
        if (count > 0) {
            putBurst(count);
            EXPECT_TRUE(drained()) << undrained();
        }
        EXPECT_NE(command("DISPLAY EVEMIT(FILES) ALL").find("AMQ"), std::string::npos) << zunt.out();
        zunt.term();
        EXPECT_EQ(zunt.wait(), 0) << zunt.out();
        return zunt.out();
    }
};

// Names of files that are no emitter's, put under the emitters' keys by another application (a new
// file outside the output folder, one in it that no emitter makes, one that leads out by "..", and a
// state of the own layout put in front of the program's): each is skipped with a line and left on the
// queue, and no such file is cut or removed; the program's own state and new file still are handled.
TEST_F(ForeignStateTest, NamesOfFilesNoEmitterMakesAreNeverCutOrRemoved) {
    const std::string out = useEmitter("foreign", EV_EMIT_NDJSON, EV_ONERROR_SUSPEND, 0, "ev.ndjson");
    const std::string victims[] = {dir.file("victim7.txt"), out + "/other.txt", dir.file("victim6.txt")};
    for (const std::string &victim : victims) writeWhole(victim, "keep me: " + victim);
    run("store", 20);
    const std::string file = out + "/ev.ndjson";
    const std::string committed = qmt::readText(file);
    ASSERT_FALSE(committed.empty());
    // The foreign state goes in front of the program's own.
    const std::vector<Browsed> state = underKey(EV_DQ_KIND_EMIT_FILES);
    ASSERT_EQ(state.size(), 1u);
    takeOff(EV_DATA_QUEUE_NAME, state[0]);
    putUnderKey(EV_DQ_KIND_EMIT_FILES, fileState(victims[2]));
    putMessage(EV_DATA_QUEUE_NAME, state[0].md, state[0].data);
    const std::string foreignNew[] = {victims[0], victims[1], out + "/../victim7.txt"};
    for (const std::string &name : foreignNew) putUnderKey(EV_DQ_KIND_EMIT_NEW_FILE, name);
    // The program's own: a file made by a unit that did not commit (named with its identity), and
    // bytes past the committed end.
    const std::string made = out + "/ev(7).ndjson";
    writeWhole(made, "{\"uncommitted\":1}\n");
    putUnderKey(EV_DQ_KIND_EMIT_NEW_FILE, madeName(made));
    writeWhole(file, "{\"uncommitted\":2}\n", true);

    const std::string log = run("again", 0);
    for (const std::string &victim : victims) EXPECT_EQ(qmt::readText(victim), "keep me: " + victim);
    EXPECT_EQ(et::countOf(log, "Foreign message under the emitter new file key (kind 7) skipped"), 3) << log;
    EXPECT_EQ(et::countOf(log, "Foreign message under the emitter file state key (kind 6) skipped"), 1)
        << log;
    EXPECT_FALSE(std::filesystem::exists(made));
    EXPECT_TRUE(qmt::readText(file) == committed) << "the file is not as committed";
    // The foreign messages stay where they were put.
    EXPECT_EQ(underKey(EV_DQ_KIND_EMIT_FILES).size(), 2u);
    std::set<std::string> left;
    for (const Browsed &b : underKey(EV_DQ_KIND_EMIT_NEW_FILE)) left.insert(b.data);
    for (const std::string &name : foreignNew) EXPECT_EQ(left.count(name), 1u) << name;
}

// A foreign message under the emitters' state key put while the program runs, then saves and a
// restart: each save takes away only the program's own message (by its MsgId), the foreign one stays,
// and each start loads the program's own state (bytes past its committed end are cut off).
TEST_F(ForeignStateTest, EachSaveReplacesOnlyTheProgramsOwnState) {
    const std::string out = useEmitter("replace", EV_EMIT_NDJSON, EV_ONERROR_SUSPEND, 0, "ev.ndjson");
    ASSERT_EQ(qm.mqsc("DEFINE QLOCAL(REPLY.Q) REPLACE\n"), 0);
    const std::string foreign(40, 'x');
    {
        Zunt zunt(dir, "running", runOptions());
        ASSERT_TRUE(zunt.waitInitialised()) << zunt.out();
        putBurst(10);
        EXPECT_TRUE(drained()) << undrained();
        putUnderKey(EV_DQ_KIND_EMIT_FILES, foreign);
        putBurst(10);
        EXPECT_TRUE(drained()) << undrained();
        zunt.term();
        EXPECT_EQ(zunt.wait(), 0) << zunt.out();
    }
    for (int round = 0; round < 2; round++) {
        SCOPED_TRACE(round);
        const std::vector<Browsed> stored = underKey(EV_DQ_KIND_EMIT_FILES);
        ASSERT_EQ(stored.size(), 2u);
        EXPECT_EQ(stored[0].data, foreign);  // in front now: the program's own was replaced behind it
        // The file the last save lists (a run after a start goes on in a file of its own).
        const std::string file = out + (round == 0 ? "/ev.ndjson" : "/ev(2).ndjson");
        const std::string committed = qmt::readText(file);
        ASSERT_FALSE(committed.empty());
        writeWhole(file, "{\"uncommitted\":1}\n", true);
        const std::string log = run("restart" + std::to_string(round), round == 0 ? 10 : 0);
        EXPECT_EQ(et::countOf(log, "Foreign message under the emitter file state key (kind 6) skipped"), 1)
            << log;
        EXPECT_TRUE(qmt::readText(file) == committed) << "the file is not as committed";
    }
}

// A state of one emitter in the program's own layout (version 3): one file at length, with an
// identity (a birth time of 1).
std::string emitterState(const std::string &emitter, const std::string &pattern, const std::string &name,
                         uint32_t length, uint32_t number) {
    std::string state(24 + emitter.size() + pattern.size() + 44 + name.size(), '\0');
    auto *bytes = reinterpret_cast<uint8_t *>(state.data());
    mqiPutU32(bytes, 0, 3);
    mqiPutU32(bytes, 4, 1000);  // the sequence: later than any the program saved
    mqiPutU32(bytes, 12, static_cast<uint32_t>(emitter.size()));
    mqiPutU32(bytes, 16, static_cast<uint32_t>(pattern.size()));
    mqiPutU32(bytes, 20, 1);
    std::memcpy(bytes + 24, emitter.data(), emitter.size());
    std::memcpy(bytes + 24 + emitter.size(), pattern.data(), pattern.size());
    uint8_t *file = bytes + 24 + emitter.size() + pattern.size();
    mqiPutU32(file, 0, length);
    mqiPutU32(file, 16, number);
    mqiPutU32(file, 24, CS_BIRTH_TIME);
    mqiPutU32(file, 28, 1);
    mqiPutU32(file, 36, static_cast<uint32_t>(name.size()));
    std::memcpy(file + 44, name.data(), name.size());
    return state;
}

// Under a pattern with a token: names the pattern cannot make (a folder for the four digits of %y,
// none at all) are foreign, and a name it can make is still acted on only for the file the program
// made: a state or a new file's name with another file's identity, or a bare name of a file that
// holds something, leaves the file as it is.
TEST_F(ForeignStateTest, OnlyFilesThePatternMakesAndTheProgramMadeAreCutOrRemoved) {
    const std::string out = useEmitter("tokens", EV_EMIT_JSON, EV_ONERROR_SUSPEND, 0, "%y/out.json");
    const std::string pattern = out + "/%y/out.json";
    const std::string victims[] = {out + "/victim/out.json", out + "//out.json", out + "/1999/out.json",
                                   out + "/2000/out.json", out + "/2001/out.json"};
    for (const std::string &victim : victims) {
        std::filesystem::create_directories(std::filesystem::path(victim).parent_path());
        writeWhole(victim, "{\"keep\":\"a file of 27 b\"}");
    }
    putUnderKey(EV_DQ_KIND_EMIT_FILES, fileState(victims[0]));
    putUnderKey(EV_DQ_KIND_EMIT_FILES, emitterState("FILES", pattern, victims[2], 3, 12345));
    putUnderKey(EV_DQ_KIND_EMIT_NEW_FILE, victims[0]);
    putUnderKey(EV_DQ_KIND_EMIT_NEW_FILE, victims[1]);
    putUnderKey(EV_DQ_KIND_EMIT_NEW_FILE, victims[3]);
    std::string other = madeName(victims[4]);
    other.back() ^= 1;
    putUnderKey(EV_DQ_KIND_EMIT_NEW_FILE, other);

    const std::string log = run("tokens", 0);
    for (const std::string &victim : victims)
        EXPECT_EQ(qmt::readText(victim), "{\"keep\":\"a file of 27 b\"}");
    EXPECT_EQ(et::countOf(log, "Foreign message under the emitter file state key (kind 6) skipped"), 1)
        << log;
    EXPECT_EQ(et::countOf(log, "Foreign message under the emitter new file key (kind 7) skipped"), 2) << log;
    for (const std::string &left : {victims[2], victims[4]})
        EXPECT_EQ(et::countOf(
                      log, "Emitter file '" + left + "' left as it is: it is not the file the program wrote"),
                  1)
            << log;
}

// A name the pattern makes, holding a file the program never made or a link planted there to one no
// pattern makes, symbolic or hard: a state of the earliest layout (no identity: it cuts nothing), one
// of the layout before (device and number, which a later file may have again: it cuts nothing), a
// state of the current layout and a new file's name each carrying the very identity of the file the
// link leads to (never through a link) leave every file, and the link, as they are, with a line.
TEST_F(ForeignStateTest, NoFileButTheProgramsOwnIsCutAndNeverThroughALink) {
    if (!pt::kKillsSound) GTEST_SKIP() << "links are planted on Linux";
    const std::string out = useEmitter("links", EV_EMIT_JSON, EV_ONERROR_SUSPEND, 0, "%y/out.json");
    const std::string pattern = out + "/%y/out.json";
    const std::string name = out + "/2026/out.json";
    std::filesystem::create_directories(out + "/2026");
    const std::string user = dir.file("user.json");
    const std::string text = "[" + std::string(398, ' ') + "]";
    enum Kind { kEarlier, kNoBirth, kCurrent, kNewFile };
    enum Link { kNone, kSymbolic, kHard };
    const struct {
        Kind kind;
        Link link;
        const char *line;
    } rows[] = {
        {kEarlier, kNone, "its state does not say which file it is"},
        {kEarlier, kSymbolic, "its state does not say which file it is"},
        {kNoBirth, kNone, "its state does not say which file it is"},
        {kCurrent, kSymbolic, "it is not the file the program wrote"},
        {kNewFile, kSymbolic, "it is not the file the program wrote"},
        {kCurrent, kHard, "it is not the file the program wrote"},
        {kNewFile, kHard, "it is not the file the program wrote"},
    };
    int row = 0;
    for (const auto &r : rows) {
        SCOPED_TRACE(++row);
        for (uint8_t kind : {EV_DQ_KIND_EMIT_FILES, EV_DQ_KIND_EMIT_NEW_FILE})
            for (const Browsed &b : underKey(kind)) takeOff(EV_DATA_QUEUE_NAME, b);
        std::filesystem::remove(name);
        writeWhole(user, text);
        if (r.link == kNone) writeWhole(name, text);
        // The identity of the file the name leads to: what a state of the program's would hold.
        const std::string identity = storedIdentity(r.link == kNone ? name : user);
        if (r.link == kSymbolic) std::filesystem::create_symlink(user, name);
        if (r.link == kHard) std::filesystem::create_hard_link(user, name);
        if (r.kind == kEarlier) {
            std::string state = fileState(name);
            state[8] = 3;  // cut to 3 bytes
            putUnderKey(EV_DQ_KIND_EMIT_FILES, state);
        } else if (r.kind == kCurrent) {
            std::string state = emitterState("FILES", pattern, name, 3, 0);
            state.replace(24 + 5 + pattern.size() + 8, 28, identity);
            putUnderKey(EV_DQ_KIND_EMIT_FILES, state);
        } else if (r.kind == kNoBirth) {
            std::string state = emitterState("FILES", pattern, name, 3, 0);
            state.replace(24 + 5 + pattern.size() + 8, 28, identity.substr(0, 16));
            state[0] = 2;
            putUnderKey(EV_DQ_KIND_EMIT_FILES, state);
        } else {
            putUnderKey(EV_DQ_KIND_EMIT_NEW_FILE, name + '\0' + identity);
        }
        const std::string log = run("links" + std::to_string(row), 0);
        EXPECT_EQ(qmt::readText(user), text);
        EXPECT_EQ(std::filesystem::is_symlink(name), r.link == kSymbolic);
        EXPECT_EQ(std::filesystem::hard_link_count(user), r.link == kHard ? 2u : 1u);
        EXPECT_EQ(qmt::readText(name), text);
        EXPECT_EQ(et::countOf(log, "Emitter file '" + name + "' left as it is: " + r.line), 1) << log;
        EXPECT_EQ(et::countOf(log, "Foreign message"), 0) << log;
    }
}

// The emitter's FILE changed and changed back across restarts, the file moved away, then a run killed
// as it saves the state of its second unit into a new file: the state of the first FILE is never
// acted on again (no foreign line for it, the new file not cut to its length), the killed unit's
// records are cut back from the new file, every event is in the files once, and one state is left.
TEST_F(ForeignStateTest, OnlyTheLatestStateOfAnEmitterIsActedOn) {
    if (!pt::kKillsSound) GTEST_SKIP() << "kills of the program are checked on Linux";
    const std::string out = useEmitter("latest", EV_EMIT_NDJSON, EV_ONERROR_SUSPEND, 0, "x.ndjson");
    const std::string other = dir.file("latestB");
    std::filesystem::create_directories(other);
    ASSERT_EQ(qm.mqsc("DEFINE QLOCAL(REPLY.Q) REPLACE\n"), 0);
    auto alterFile = [&](const std::string &folder) {
        EXPECT_NE(command("ALTER EVEMIT(FILES) FILE('" + folder + "/x.ndjson')").find("AMQ"),
                  std::string::npos);
    };
    std::string logs;
    {
        Zunt zunt(dir, "first", runOptions());
        ASSERT_TRUE(zunt.waitInitialised()) << zunt.out();
        putBurst(10);
        EXPECT_TRUE(drained()) << undrained();
        alterFile(other);
        zunt.term();
        EXPECT_EQ(zunt.wait(), 0) << zunt.out();
        logs += zunt.log();
    }
    const std::string moved = dir.file("moved.ndjson");
    std::filesystem::rename(out + "/x.ndjson", moved);
    const std::string first = qmt::readText(moved);
    const int from = put.load();
    {
        // The second state saved in the run (the first, once committed, lists the new file).
        Zunt zunt(dir, "killed", runOptions(), {"ZUNT_TEST_KILL_AT=MQPUT#6:2"});
        ASSERT_TRUE(zunt.waitInitialised()) << zunt.out();
        alterFile(out);
        putBurst(20);
        EXPECT_TRUE(et::waitFor([&] { return underKey(EV_DQ_KIND_EMIT_FILES).size() == 1; }));
        putBurst(50);
        EXPECT_EQ(zunt.wait(30000), pt::kKilled) << zunt.out();
        logs += zunt.log();
    }
    {
        Zunt zunt(dir, "rest", runOptions());
        ASSERT_TRUE(zunt.waitInitialised()) << zunt.out();
        EXPECT_TRUE(drained()) << undrained();
        zunt.term();
        EXPECT_EQ(zunt.wait(), 0) << zunt.out();
        logs += zunt.log();
    }
    EXPECT_EQ(et::countOf(logs, "Foreign message"), 0) << logs;
    EXPECT_EQ(qmt::readText(moved), first);
    EXPECT_TRUE(std::filesystem::is_empty(other));
    const ef::Files files = ef::readFiles(out, EV_EMIT_NDJSON);
    EXPECT_EQ(files.damaged, "");
    EXPECT_EQ(ef::missingOrTwice(ef::recordsByName(files), from, put.load()), "");
    EXPECT_EQ(underKey(EV_DQ_KIND_EMIT_FILES).size(), 1u);
    keepRunsOnFailure();
}

// The emitter's state message missing after an orderly end: the next start comes up, names it once,
// and the file keeps each record once, those of both runs; the start after has the state again.
TEST_F(ForeignStateTest, AMissingStateCostsOnlyTheCutsItHeld) {
    const std::string out = useEmitter("nostate", EV_EMIT_NDJSON, EV_ONERROR_SUSPEND, 0, "x.ndjson");
    const int from = put.load();
    run("stored", 10);
    const std::vector<Browsed> states = underKey(EV_DQ_KIND_EMIT_FILES);
    ASSERT_EQ(states.size(), 1u);
    takeOff(EV_DATA_QUEUE_NAME, states[0]);
    const std::string first = run("without", 10);
    const std::string second = run("after", 0);
    const std::string said =
        "Emitter 'FILES' has no stored state: its file '" + out + "/x.ndjson' is kept as it is, not cut back";
    EXPECT_EQ(et::countOf(first, said), 1) << first;
    EXPECT_EQ(et::countOf(second, said), 0) << second;
    const ef::Files files = ef::readFiles(out, EV_EMIT_NDJSON);
    EXPECT_EQ(files.damaged, "");
    EXPECT_EQ(ef::missingOrTwice(ef::recordsByName(files), from, put.load()), "");
    EXPECT_EQ(underKey(EV_DQ_KIND_EMIT_FILES).size(), 1u);
}

// The emitter's state message doubled (a copy put back behind it) or damaged: cut short, its name's
// length flipped (it fails to parse), or its file's length flipped lower (it parses). Two starts:
// each comes up and the first names it once; a copy goes with the next save, not named again; a
// damaged message is not provably the program's, so it is skipped at each start, left on the queue,
// and costs what a missing state does (the file kept as it is, never cut); every record is in the
// files once.
struct StateCell {
    const char *name;
    const char *said;
    bool damaged;
    friend void PrintTo(const StateCell &cell, std::ostream *os) { *os << cell.name; }
};
class StateCellTest : public ForeignStateTest, public ::testing::WithParamInterface<StateCell> {};

TEST_P(StateCellTest, AStartOnItNamesItOnceAndCutsNoFile) {
    const StateCell &cell = GetParam();
    const std::string name = cell.name;
    const std::string out = useEmitter("cell", EV_EMIT_NDJSON, EV_ONERROR_SUSPEND, 0, "x.ndjson");
    const int from = put.load();
    run("stored", 10);
    const std::vector<Browsed> states = underKey(EV_DQ_KIND_EMIT_FILES);
    ASSERT_EQ(states.size(), 1u);
    std::string data = states[0].data;
    ASSERT_GT(data.size(), 24u);
    auto *bytes = reinterpret_cast<uint8_t *>(data.data());
    if (name == "Doubled") {
        MQMD copy = states[0].md;
        std::memset(copy.MsgId, 0, sizeof copy.MsgId);  // a MsgId of its own
        putMessage(EV_DATA_QUEUE_NAME, copy, data);
    } else {
        if (name == "CutShort") {
            data.resize(data.size() - 5);
        } else if (name == "NameLengthFlipped") {
            bytes[15] ^= 0x40;
        } else {
            // The file's committed length, its highest bit set flipped: shorter than the file.
            const uint32_t at = 24 + mqiGetU32(bytes, 12) + mqiGetU32(bytes, 16);
            ASSERT_LE(at + 8, data.size());
            const uint32_t length = mqiGetU32(bytes, at);
            ASSERT_GT(length, 0u);
            mqiPutU32(bytes, at, length & ~(1u << (31 - std::countl_zero(length))));
        }
        takeOff(EV_DATA_QUEUE_NAME, states[0]);
        putMessage(EV_DATA_QUEUE_NAME, states[0].md, data);
    }
    const std::string file = out + "/x.ndjson";
    const std::string committed = qmt::readText(file);
    ASSERT_FALSE(committed.empty());
    const std::string first = run("first", 10);
    const std::string second = run("second", 0);
    EXPECT_TRUE(qmt::readText(file).compare(0, committed.size(), committed) == 0) << "the file was cut";
    EXPECT_EQ(et::countOf(first, cell.said), 1) << first;
    EXPECT_EQ(et::countOf(second, cell.said), cell.damaged ? 1 : 0) << second;
    const std::string noState =
        "Emitter 'FILES' has no stored state: its file '" + file + "' is kept as it is, not cut back";
    EXPECT_EQ(et::countOf(first, noState), cell.damaged ? 1 : 0) << first;
    EXPECT_EQ(et::countOf(second, noState), 0) << second;
    EXPECT_EQ(et::countOf(first + second, "left as it is"), 0) << first << second;
    const ef::Files files = ef::readFiles(out, EV_EMIT_NDJSON);
    EXPECT_EQ(files.damaged, "");
    EXPECT_EQ(ef::missingOrTwice(ef::recordsByName(files), from, put.load()), "");
    EXPECT_EQ(underKey(EV_DQ_KIND_EMIT_FILES).size(), cell.damaged ? 2u : 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Cells, StateCellTest,
    ::testing::Values(StateCell{"Doubled", "Duplicate state message of emitter 'FILES' ignored", false},
                      StateCell{"CutShort",
                                "Foreign message under the emitter file state key (kind 6) skipped", true},
                      StateCell{"NameLengthFlipped",
                                "Foreign message under the emitter file state key (kind 6) skipped", true},
                      StateCell{"LengthFlipped",
                                "Foreign message under the emitter file state key (kind 6) skipped", true}),
    [](const ::testing::TestParamInfo<StateCell> &cell) { return std::string(cell.param.name); });

// A JSON emitter with a size limit killed amid a burst; then each file its stored messages name is
// removed and a user's file made under the name, which the file system gives the same number (made
// certain: the old file's device and number, wherever the stored messages hold them, become the new
// file's, as a freed number given again would make them). The next start neither cuts nor removes a
// user's file, and says so for each.
TEST_F(ForeignStateTest, AFileMadeAgainUnderAKilledRunsNameWithItsNumberIsLeftAsItIs) {
    if (!pt::kKillsSound) GTEST_SKIP() << "kills of the program are checked on Linux";
    const std::string out = useEmitter("again", EV_EMIT_JSON, EV_ONERROR_SUSPEND, 2048, "f.json");
    putBurst(4000);
    {
        Zunt zunt(dir, "killed", runOptions());
        ASSERT_TRUE(zunt.waitInitialised()) << zunt.out();
        EXPECT_TRUE(et::waitFor([&] { return ef::readFiles(out, EV_EMIT_JSON).texts.size() > 4; }));
        EXPECT_GT(depth(pt::kQmgrEvents), 0) << "the burst was taken in before the kill";
        zunt.kill9();
        EXPECT_EQ(zunt.wait(), pt::kKilled) << zunt.out();
    }
    std::vector<Browsed> stored;
    for (uint8_t kind : {EV_DQ_KIND_EMIT_FILES, EV_DQ_KIND_EMIT_NEW_FILE})
        for (const Browsed &b : underKey(kind)) stored.push_back(b);
    std::map<std::string, std::string> users;  // name: the user's text
    for (const auto &entry : std::filesystem::directory_iterator(out)) {
        const std::string name = entry.path().string();
        const std::string old = storedIdentity(name).substr(0, 16);
        bool named = false;
        for (const Browsed &b : stored) named = named || b.data.find(old) != std::string::npos;
        if (!named) continue;
        std::filesystem::remove(name);
        std::string text(300000, '\0');
        for (size_t i = 0; i < text.size(); i++) text[i] = static_cast<char>((i * 2654435761u) >> 13);
        writeWhole(name, text);
        users[name] = text;
        const std::string now = storedIdentity(name).substr(0, 16);
        for (Browsed &b : stored)
            for (size_t at = 0; (at = b.data.find(old, at)) != std::string::npos; at += 16)
                b.data.replace(at, 16, now);
    }
    for (Browsed &b : stored)
        if (b.md.CorrelId[0] == EV_DQ_KIND_EMIT_FILES) resealState(b.data);
    ASSERT_FALSE(users.empty()) << "no stored message names a file";
    for (const Browsed &b : stored) takeOff(EV_DATA_QUEUE_NAME, b);
    for (const Browsed &b : stored) putMessage(EV_DATA_QUEUE_NAME, b.md, b.data);

    const std::string log = run("again", 0);
    for (const auto &[name, text] : users) {
        EXPECT_TRUE(qmt::readText(name) == text) << name << " is not the user's file";
        EXPECT_EQ(et::countOf(
                      log, "Emitter file '" + name + "' left as it is: it is not the file the program wrote"),
                  1)
            << log;
    }
    keepRunsOnFailure();
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
        EXPECT_TRUE(
            et::waitFor([&] { return ef::recordsByName(ef::readFiles(out, EV_EMIT_NDJSON)).size() > 20; }));
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

// Each emitter command, and each field of one, during a burst, the fault put as it comes: whichever
// unit the refused put fails (set E's, closed as the command holds it, or the command's own), every
// answer to the command (one more when a lost connection delivers it again) says it failed, every
// emitter is as it was (none added, none gone), no record goes to a FILE or QUEUE it named, and the
// emitter's own files stay whole in its format with every record once. A command that came only after
// set E's own commit took the fault is answered as done: it is undone, what it sent counted, and tried
// again.
TEST_F(EmitFilesQmTest, AnEmitterCommandRefusedAmidABurstSendsNothingAnywhereNew) {
    const std::string out = useEmitter("amid", EV_EMIT_JSON, EV_ONERROR_SUSPEND, 0, "ev.json");
    ASSERT_EQ(qm.mqsc("DEFINE QLOCAL(REPLY.Q) REPLACE\nDEFINE QLOCAL(EMIT.Q2) REPLACE\n"), 0);
    const std::string spare = dir.file("spare");
    std::filesystem::create_directories(spare);
    const std::string defineSpare = "DEFINE EVEMIT(SPARE) FILE('" + spare + "/s.json')";
    const int from = put.load();
    std::vector<std::string> options = runOptions();
    options.insert(options.end(), {"-r", "1(30)"});
    putBurst(20000);
    Zunt zunt(dir, "amid", options);
    ASSERT_TRUE(zunt.waitInitialised()) << zunt.out();
    // Every emitter's settings as shown (ALL), without its counts; the other replies that come before.
    auto settings = [&](std::vector<std::string> *others) {
        sendCommand(MQFMT_STRING, "DISPLAY EVEMIT(*) ALL");
        sendCommand(MQFMT_STRING, "DISPLAY EVEMIT(FILES)");
        std::set<std::string> shown;
        for (std::optional<std::string> reply; (reply = nextReply(30000));) {
            // The entries of a reply are ended by NULs.
            for (size_t at = 0, end = 0; at < reply->size(); at = end + 1) {
                end = std::min(reply->find('\0', at), reply->size());
                const std::string entry = reply->substr(at, end - at);
                const size_t counts = entry.find(" MSGCT(");
                if (entry.find(" ONERROR(") != std::string::npos && counts != std::string::npos) {
                    shown.insert(entry.substr(0, counts));
                } else if (entry.find("EVEMIT(FILES)") != std::string::npos) {
                    std::string all;
                    for (const std::string &one : shown) all += one + "\n";
                    return all;
                } else if (!entry.empty()) {
                    others->push_back(entry);
                }
            }
        }
        return std::string();
    };
    std::vector<std::string> none;
    const std::string defined = command(defineSpare);
    ASSERT_NE(defined.find("AMQ8"), std::string::npos) << defined;
    const std::string before = settings(&none);
    ASSERT_NE(before.find("FILE(" + out + "/ev.json)"), std::string::npos) << before;
    ASSERT_NE(before.find("EVEMIT(SPARE)"), std::string::npos) << before;
    // FILES' own value of a field, as a command gives it.
    auto was = [&](const std::string &key) {
        const size_t at = before.find(" " + key + "(", before.find("EVEMIT(FILES)"));
        const size_t open = before.find('(', at);
        const std::string value = before.substr(open + 1, before.find(')', open) - open - 1);
        return key + (key == "DESCR" ? "('" + value + "')" : "(" + value + ")");
    };
    const std::string rest =
        "DESCR('changed') READER(HUMAN) MSGPERS(YES) GROUPING(SINGLE) ZEROVALS(HIDE) "
        "PUT(IMMEDIATE)";
    const std::string restBack = was("DESCR") + " " + was("READER") + " " + was("MSGPERS") + " " +
                                 was("GROUPING") + " " + was("ZEROVALS") + " " + was("PUT");
    const std::string back = "DEFINE EVEMIT(FILES) REPLACE QUEUE(' ') FILE('" + out + "/ev.json')";
    struct Change {
        std::string command;  // %s: a new folder, which the FILE it names is in
        std::string undo;     // when it was done after all
    };
    const std::vector<Change> changes = {
        {"ALTER EVEMIT(FILES) FILE('%s/a.json')", back},
        {"ALTER EVEMIT(FILES) FILE(' ') QUEUE(EMIT.Q2)", back},
        {"DEFINE EVEMIT(FILES) REPLACE FILE('%s/b.json')", back},
        {"DEFINE EVEMIT(FILES) REPLACE FILE(' ') QUEUE(EMIT.Q2)", back},
        {"ALTER EVEMIT(FILES) FORMAT(CSV)", "ALTER EVEMIT(FILES) FORMAT(JSON)"},
        {"DEFINE EVEMIT(FILES) REPLACE FORMAT(NDJSON) ONERROR(DISCARD)",
         "ALTER EVEMIT(FILES) FORMAT(JSON) ONERROR(SUSPEND)"},
        {"ALTER EVEMIT(FILES) ONERROR(DISCARD)", "ALTER EVEMIT(FILES) ONERROR(SUSPEND)"},
        {"ALTER EVEMIT(FILES) MAXSIZE(1)", "ALTER EVEMIT(FILES) " + was("MAXSIZE")},
        {"ALTER EVEMIT(FILES) " + rest, "ALTER EVEMIT(FILES) " + restBack},
        {"DEFINE EVEMIT(NEWEM) FILE('%s/n.json')", "DELETE EVEMIT(NEWEM)"},
        {"DELETE EVEMIT(SPARE)", defineSpare},
    };
    ef::Files taken;                   // what a command answered as done sent elsewhere
    std::vector<std::string> refused;  // the folders of the commands answered as failed
    bool otherFormats = false;         // a change of FORMAT was done for a while
    int attempt = 0;
    for (const Change &change : changes) {
        SCOPED_TRACE(change.command);
        bool failed = false;
        for (int tries = 0; tries < 4 && !failed; tries++) {
            const std::string folder = dir.file("amid" + std::to_string(++attempt));
            std::filesystem::create_directories(folder);
            std::string text = change.command;
            const bool toFile = text.find("%s") != std::string::npos;
            if (toFile) text.replace(text.find("%s"), 2, folder);
            if (depth(pt::kQmgrEvents) < 5000) putBurst(5000);
            ASSERT_EQ(qm.tool("fault QM1 MQPUT 2053 --queue HOLVA.ZUNT.DATA.QUEUE --count 1"), 0);
            sendCommand(MQFMT_STRING, text);
            std::vector<std::string> replies;
            const std::string now = settings(&replies);
            ASSERT_FALSE(replies.empty());
            failed = replies[0].find("Command transaction failed") != std::string::npos;
            for (const std::string &reply : replies)
                EXPECT_EQ(reply.find("Command transaction failed") != std::string::npos, failed) << reply;
            if (failed) {
                EXPECT_EQ(now, before);
                if (toFile) refused.push_back(folder);
                continue;
            }
            // Done: undone again, and what it sent is among the records.
            otherFormats = otherFormats || text.find("FORMAT(") != std::string::npos;
            ASSERT_EQ(qm.tool("fault QM1 clear"), 0);
            sendCommand(MQFMT_STRING, change.undo);
            ASSERT_EQ(settings(&replies), before);
            const ef::Files files = ef::readFiles(folder, EV_EMIT_JSON);
            taken.texts.insert(taken.texts.end(), files.texts.begin(), files.texts.end());
            for (const Browsed &b : browse("EMIT.Q2")) {
                taken.texts.emplace_back("EMIT.Q2", b.data);
                takeOff("EMIT.Q2", b);
            }
        }
        EXPECT_TRUE(failed) << "no refused command in 4 tries";
    }
    EXPECT_GT(depth(pt::kQmgrEvents), 0) << "the burst was taken in before the last command";
    EXPECT_TRUE(drained()) << undrained();
    zunt.term();
    EXPECT_EQ(zunt.wait(), 0) << zunt.out();
    for (const std::string &folder : refused) EXPECT_TRUE(std::filesystem::is_empty(folder)) << folder;
    EXPECT_TRUE(std::filesystem::is_empty(spare));
    EXPECT_EQ(depth("EMIT.Q2"), 0);
    // The emitter's own files: JSON documents, and in the other formats only while a change of
    // FORMAT was done; each format's records counted on their own.
    ef::Files json = taken;
    std::map<uint32_t, ef::Files> others;
    for (const auto &[name, text] : ef::readFiles(out, EV_EMIT_JSON).texts) {
        if (ef::checkText(text, EV_EMIT_JSON).empty()) {
            json.texts.emplace_back(name, text);
            continue;
        }
        EXPECT_TRUE(otherFormats) << name << " is not a JSON document";
        const uint32_t format = text.rfind("{", 0) == 0 ? EV_EMIT_NDJSON : EV_EMIT_CSV;
        EXPECT_EQ(ef::checkText(text, format), "") << name;
        others[format].texts.emplace_back(name, text);
    }
    std::map<std::string, int> records = ef::recordsByName(json);
    for (const auto &[format, files] : others)
        for (const auto &[name, count] : ef::recordsByName(files)) records[name] += count;
    EXPECT_EQ(ef::missingOrTwice(records, from, put.load()), "");
    keepRunsOnFailure();
}

// Queue statistics folded into hourly bins long due, each message of a queue of its own, their
// records going to a file emitter, while now and then a put on the data queue is refused (the unit
// that took it, set E's or a command's, backed out and the stored state loaded again, the messages
// taken in and folded again): every queue's record is in the files once.
TEST_F(EmitFilesQmTest, FoldedStatisticsRecordsAreWrittenOnceAfterRefusedSaves) {
    const std::string out = useEmitter("stats", EV_EMIT_NDJSON, EV_ONERROR_SUSPEND, 0, "st.ndjson");
    ASSERT_EQ(qm.mqsc("DEFINE QLOCAL(REPLY.Q) REPLACE\n"), 0);
    ASSERT_EQ(connect(), 1) << logText();
    const std::string stream = evSystemStreamName(STREAM_TYPE_STATQ);
    StreamDef *def = evStreamDefine(stream.c_str(), -1, STREAM_TYPE_STATQ, 0, 0);
    ASSERT_NE(def, nullptr);
    def->aggrInt = 3600;
    std::snprintf(def->evEmit, sizeof def->evEmit, "FILES");
    evConfigChanged.store(1);
    resumeByCommand({pt::kStatistics});
    disconnect();
    // Message n: the queue K.n, ten minutes ending in hour n % 30 of the 30 that ended 10 hours ago.
    const int64_t first = (std::time(nullptr) / 3600 - 40) * 3600;
    auto putStatistics = [&](int from, int to) {
        for (int n = from + 1; n <= to; n++) {
            const int64_t end = first + (n % 30) * 3600 + 50 * 60;
            itt::Pcf m(MQCFT_STATISTICS, MQCMD_STATISTICS_Q);
            m.interval("QM1", end - 600, end).number(MQIAMO_OBJECT_COUNT, 1);
            char name[16];
            std::snprintf(name, sizeof name, "K.%013d", n);
            itt::statQGroup(m, name, {{735, {n % 7 + 1, 0}}});
            const std::vector<uint8_t> bytes = m.bytes();
            MQMD md = MQMD_DEFAULT;
            std::memcpy(md.Format, MQFMT_ADMIN, MQ_FORMAT_LENGTH);
            md.Persistence = MQPER_PERSISTENT;
            putMessage(pt::kStatistics, md, std::string(bytes.begin(), bytes.end()));
        }
    };
    constexpr int kRound = 60;
    constexpr int kFaults = 4;
    std::vector<std::string> options = runOptions();
    options.insert(options.end(), {"-o", "g0", "-o", "c0"});
    putStatistics(0, kRound);
    Zunt zunt(dir, "stats", options);
    ASSERT_TRUE(zunt.waitInitialised()) << zunt.out();
    auto records = [&] { return ef::recordsByName(ef::readFiles(out, EV_EMIT_NDJSON)); };
    for (int round = 1; round <= kFaults; round++) {
        ASSERT_EQ(qm.tool("fault QM1 MQPUT 2053 --queue HOLVA.ZUNT.DATA.QUEUE --count 1"), 0);
        // Every other round a command's save comes with the statistics: the fault fails whichever
        // unit puts first.
        if (round % 2 == 0)
            putOn(own, "ALTER EVSTREAM(" + stream + ") DESCR('round " + std::to_string(round) + "')",
                  EV_COMMAND_QUEUE_NAME, MQFMT_STRING);
        putStatistics(round * kRound, (round + 1) * kRound);
        EXPECT_TRUE(zunt.waitLog("RC(2053)", round)) << zunt.log();
    }
    const int all = (kFaults + 1) * kRound;
    EXPECT_TRUE(et::waitFor([&] { return records().size() >= static_cast<size_t>(all); }));
    zunt.term();
    EXPECT_EQ(zunt.wait(), 0) << zunt.out();
    const ef::Files files = ef::readFiles(out, EV_EMIT_NDJSON);
    EXPECT_EQ(files.damaged, "");
    EXPECT_EQ(ef::missingOrTwice(ef::recordsByName(files), 0, all), "");
    keepRunsOnFailure();
}

// A put on the data queue refused (a command's save: the stored state is reloaded in place), then a
// burst taken in while commands keep coming (each committing while set E's unit is open), kills at
// moments amid it and a restart: every event is in exactly one record, in whole files, in every format.
TEST_F(EmitFilesQmTest, AReloadAfterAFailedCommandSaveKeepsTheFilesKnownAcrossAKill) {
    if (!pt::kKillsSound) GTEST_SKIP() << "kills of the program are checked on Linux";
    const struct {
        uint32_t format;
        const char *name;
    } cases[] = {
        {EV_EMIT_NDJSON, "ev.ndjson"},
        {EV_EMIT_JSON, "ev.json"},
        {EV_EMIT_CSV, "ev.csv"},
        {EV_EMIT_MQSC, "ev.txt"},
    };
    ASSERT_EQ(qm.mqsc("DEFINE QLOCAL(REPLY.Q) REPLACE\n"), 0);
    const std::string stream = evSystemStreamName(STREAM_TYPE_EVENTS);
    constexpr int kNoStorm = 1 << 30;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const std::string out =
            useEmitter("reload" + std::to_string(c.format), c.format, EV_ONERROR_SUSPEND, 2048, c.name);
        const int from = put.load();
        // Killed half a second and a second and a half into a burst after the reload, commands coming.
        for (const int killAfterMs : {500, 1500}) {
            SCOPED_TRACE(killAfterMs);
            Zunt zunt(dir, "reload" + std::to_string(++runs), runOptions());
            ASSERT_TRUE(zunt.waitInitialised()) << zunt.out();
            // Nothing flows (what an earlier kill left is taken in, and the bursts have no storms, whose
            // windows would end with saves of their own): the next put on the data queue is the
            // command's save, and it is refused.
            ASSERT_TRUE(drained()) << undrained();
            ASSERT_EQ(qm.tool("fault QM1 MQPUT 2053 --queue HOLVA.ZUNT.DATA.QUEUE --count 1"), 0);
            const std::string alter = "ALTER EVSTREAM(" + stream + ") DESCR('reloaded')";
            putOn(own, alter, EV_COMMAND_QUEUE_NAME, MQFMT_STRING);
            ASSERT_TRUE(zunt.waitLog("*** Command unit backed out: the stored state was loaded again ***"))
                << zunt.log();
            putBurst(4000, 100, kNoStorm);
            // Topped up as it drains, so that a fast machine still kills the program amid the burst.
            for (int i = 0; i < killAfterMs / 100; i++) {
                putOn(own, alter, EV_COMMAND_QUEUE_NAME, MQFMT_STRING);
                if (depth(pt::kQmgrEvents) < 1000) putBurst(1000, 100, kNoStorm);
                usleep(100000);
            }
            if (depth(pt::kQmgrEvents) < 1000) putBurst(1000, 100, kNoStorm);
            EXPECT_FALSE(taken(pt::kQmgrEvents)) << "the burst was taken in before the kill";
            zunt.kill9();
            EXPECT_EQ(zunt.wait(), pt::kKilled) << zunt.out();
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

// The README's rotation rule followed around kill -9: the files a start finds are moved away once it
// has said "ZUNT Initialised", amid a burst that rolls small files, in each format.
TEST_F(EmitFilesQmTest, FilesRotatedAsTheRuleAllowsAroundKillsHoldEachRecordOnce) {
    if (!pt::kKillsSound) GTEST_SKIP() << "kills of the program are checked on Linux";
    const struct {
        uint32_t format;
        const char *name;
    } cases[] = {{EV_EMIT_NDJSON, "ev.ndjson"}, {EV_EMIT_JSON, "ev.json"}, {EV_EMIT_CSV, "ev.csv"}};
    unsigned seed = 94;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        rotatedAroundKills(c.format, c.name, 3, seed++);
    }
}

}  // namespace
