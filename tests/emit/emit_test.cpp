// What an emitter must hold to: values and their markers in each format, text that stays valid
// (JSON escapes, RFC 4180 fields), hidden zero values that keep CSV columns, file names from the
// pattern, the size rule, queue output and the ONERROR DISCARD handling.
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "emit/internal.h"
#include "emit_testing.h"

namespace {

using et::EmitTest;
using et::kTime;

// ---- One value through the writers ----

std::string render(uint32_t format, uint32_t reader, const EmitValue &value, const evParmDef *row = nullptr,
                   uint32_t zeroValues = EV_ZEROVALS_SHOW) {
    EmitterDef emitter{};
    emitter.format = format;
    emitter.reader = reader;
    emitter.zeroValues = zeroValues;
    char error[EMIT_ERROR_MAX];
    EmitContext c{};
    c.emitter = &emitter;
    c.errorText = error;
    EXPECT_EQ(emitSelectFormat(&c), 1);
    emitHolding();
    emitWriteField(&c, row, "F", 1, &value);
    return std::string(emitHolding(), c.writePosition);
}

EmitValue integer(int32_t v) {
    EmitValue value{};
    value.kind = EMIT_KIND_INT;
    value.i32 = v;
    return value;
}
EmitValue wide(uint32_t kind, int64_t v) {
    EmitValue value{};
    value.kind = kind;
    value.i64 = v;
    return value;
}
EmitValue text(const char *t) {
    EmitValue value{};
    value.kind = EMIT_KIND_TEXT;
    value.ptr = t;
    value.length = static_cast<uint32_t>(std::strlen(t));
    return value;
}

struct ValueCase {
    const char *what;
    EmitValue value;
    const char *json;
    const char *mqsc;
    const char *csv;
};

TEST(EmitValues, EachKindAndMarkerInEachFormat) {
    static const uint8_t listBytes[] = {1, 0, 0, 0, 2, 0, 0, 0, 3, 0, 0, 0};
    EmitValue list{};
    list.kind = EMIT_KIND_INT_LIST;
    list.count = 3;
    list.ptr = listBytes;
    EmitValue bytes{};
    bytes.kind = EMIT_KIND_BYTES;
    bytes.ptr = "\x01\xAB";
    bytes.length = 2;
    EmitValue all{};
    all.kind = EMIT_KIND_ALL;
    const ValueCase cases[] = {
        {"int", integer(-5), "\"F\":-5", "F(-5)", ",-5"},
        {"int unset", integer(EMIT_INT_UNSET), "\"F\":\"\"", "F('')", ","},
        {"int all", integer(EMIT_INT_ALL), "\"F\":\"*\"", "F(*)", ",*"},
        {"int64", wide(EMIT_KIND_INT64, 1LL << 40), "\"F\":1099511627776", "F(1099511627776)",
         ",1099511627776"},
        {"int64 unset", wide(EMIT_KIND_INT64, EMIT_INT64_UNSET), "\"F\":\"\"", "F('')", ","},
        {"int64 all", wide(EMIT_KIND_INT64, EMIT_INT64_ALL), "\"F\":\"*\"", "F(*)", ",*"},
        {"time", wide(EMIT_KIND_TIME, kTime), "\"F\":\"2025-03-02T00:00:00Z\"",
         "F('2025-03-02 00:00:00 (UTC)')", ",2025-03-02 00:00:00"},
        {"time before 1970", wide(EMIT_KIND_TIME, -86400), "\"F\":\"1969-12-31T00:00:00Z\"",
         "F('1969-12-31 00:00:00 (UTC)')", ",1969-12-31 00:00:00"},
        {"last time", wide(EMIT_KIND_TIME, 253402300799LL), "\"F\":\"9999-12-31T23:59:59Z\"",
         "F('9999-12-31 23:59:59 (UTC)')", ",9999-12-31 23:59:59"},
        {"year 10000", wide(EMIT_KIND_TIME, 253402300800LL), "\"F\":\"Unknown\"", "F('Unknown')", ",Unknown"},
        {"time unset", wide(EMIT_KIND_TIME, EMIT_INT64_UNSET), "\"F\":\"\"", "F('')", ","},
        {"list", list, "\"F\":[1,2,3] ", "F(1,2,3)", ",\"1,2,3\""},
        {"bytes", bytes, "\"F\":\"01AB\"", "F(01AB)", ",01AB"},
        {"all marker", all, "\"F\":\"*\"", "F(*)", ",*"},
        {"text", text("a,b"), "\"F\":\"a,b\"", "F('a,b')", ",\"a,b\""},
        {"quote", text("say \"hi\"\\"), "\"F\":\"say \\\"hi\\\"\\\\\"", "F('say \"hi\"\\\\')",
         ",\"say \"\"hi\"\"\\\""},
        // MQSC doubles an apostrophe, and writes control characters so that the record stays one line.
        {"apostrophe", text("it's\n\x1B"), "\"F\":\"it's\\n\\u001B\"", "F('it''s\\x0A\\x1B')",
         ",\"it's\n\x1B\""},
        {"injection", text("x') EVQMGR('FAKE"), "\"F\":\"x') EVQMGR('FAKE\"", "F('x'') EVQMGR(''FAKE')",
         ",x') EVQMGR('FAKE"},
    };
    for (const ValueCase &k : cases) {
        EXPECT_EQ(render(EV_EMIT_JSON, EV_READER_PROGRAM, k.value), k.json) << k.what;
        EXPECT_EQ(render(EV_EMIT_MQSC, EV_READER_PROGRAM, k.value), k.mqsc) << k.what;
        // The CSV row of an event: group column, name, value.
        EXPECT_EQ(render(EV_EMIT_CSV, EV_READER_PROGRAM, k.value), std::string("\"\",F") + k.csv + "\n")
            << k.what;
    }
}

TEST(EmitValues, HiddenZerosAndNamedValues) {
    evParmDef named{};
    named.valueNames = evYesNoNames;
    // Hidden: an unset or zero integer without names, empty text, a zero time; kept: a named zero.
    EXPECT_EQ(render(EV_EMIT_JSON, EV_READER_PROGRAM, integer(0), nullptr, EV_ZEROVALS_HIDE), "");
    EXPECT_EQ(render(EV_EMIT_JSON, EV_READER_PROGRAM, integer(EMIT_INT_UNSET), nullptr, EV_ZEROVALS_HIDE),
              "");
    EXPECT_EQ(render(EV_EMIT_MQSC, EV_READER_PROGRAM, text(""), nullptr, EV_ZEROVALS_HIDE), "");
    EXPECT_EQ(render(EV_EMIT_MQSC, EV_READER_PROGRAM, wide(EMIT_KIND_TIME, 0), nullptr, EV_ZEROVALS_HIDE),
              "");
    EXPECT_EQ(render(EV_EMIT_MQSC, EV_READER_PROGRAM, integer(0), &named, EV_ZEROVALS_HIDE), "F(NO)");
    EXPECT_EQ(render(EV_EMIT_JSON, EV_READER_PROGRAM, integer(1), &named), "\"F\":\"YES\"");
    EXPECT_EQ(render(EV_EMIT_CSV, EV_READER_PROGRAM, integer(7), &named), "\"\",F,7\n");  // not in the table
    evParmDef command{};
    command.valueNames = evCommandNameMarker;
    EXPECT_EQ(render(EV_EMIT_MQSC, EV_READER_PROGRAM, integer(8), &command), "F(Change q)");
}

TEST(EmitValues, GroupNames) {
    EmitterDef emitter{};
    emitter.format = EV_EMIT_JSON;
    EmitContext c{};
    c.emitter = &emitter;
    char name[64];
    evGroupName(&c, 8001, name, sizeof name);
    EXPECT_STREQ(name, "zuntCommandContext");
    emitter.format = EV_EMIT_MQSC;
    evGroupName(&c, 8001, name, sizeof name);
    EXPECT_STREQ(name, "CMDCTX");
    evGroupName(&c, 8003, name, sizeof name);  // no dictionary filled
    EXPECT_STREQ(name, "GRP8003");
}

// ---- Text that stays valid ----

// The DESCR of the AFTER group holds a tab, CR, LF and 0x01.
const char kControlText[] =
    "a\tb\rc\nd\x01"
    "e";

bool jqAccepts(const std::string &path) {
    const std::string command = "jq -e . '" + path + "' >/dev/null 2>&1";
    return std::system(command.c_str()) == 0;
}

TEST_F(EmitTest, ControlCharactersKeepJsonAndNdjsonValid) {
    if (std::system("command -v jq >/dev/null 2>&1") != 0) GTEST_SKIP() << "jq is not installed";
    useFile(dir.file("doc.json"));
    ASSERT_EQ(emit(et::changeEvent(kTime, kControlText)), EMIT_DONE);
    ASSERT_EQ(emit(et::changeEvent(kTime, kControlText)), EMIT_DONE);
    closeOutputs();
    EXPECT_TRUE(jqAccepts(dir.file("doc.json"))) << dir.read("doc.json");
    EXPECT_NE(dir.read("doc.json").find("a\\tb\\rc\\nd\\u0001e"), std::string::npos);

    emitter->format = EV_EMIT_NDJSON;
    useFile(dir.file("lines.json"));
    ASSERT_EQ(emit(et::changeEvent(kTime, kControlText)), EMIT_DONE);
    ASSERT_EQ(emit(et::changeEvent(kTime, kControlText)), EMIT_DONE);
    closeOutputs();
    std::istringstream lines(dir.read("lines.json"));
    std::string line;
    int count = 0;
    while (std::getline(lines, line)) {
        dir.write("line.json", line);
        EXPECT_TRUE(jqAccepts(dir.file("line.json"))) << line;
        count++;
    }
    EXPECT_EQ(count, 2);
}

// The fields of a CSV text, read by RFC 4180.
std::vector<std::vector<std::string>> readCsv(const std::string &text) {
    std::vector<std::vector<std::string>> rows(1);
    std::string field;
    bool quoted = false;
    for (size_t i = 0; i < text.size(); i++) {
        const char ch = text[i];
        if (quoted) {
            if (ch == '"' && i + 1 < text.size() && text[i + 1] == '"') {
                field += '"';
                i++;
            } else if (ch == '"') {
                quoted = false;
            } else {
                field += ch;
            }
        } else if (ch == '"') {
            quoted = true;
        } else if (ch == ',') {
            rows.back().push_back(field);
            field.clear();
        } else if (ch == '\n') {
            rows.back().push_back(field);
            field.clear();
            rows.emplace_back();
        } else {
            field += ch;
        }
    }
    if (!rows.back().empty() || !field.empty()) rows.back().push_back(field);
    return rows;
}

TEST_F(EmitTest, CsvFieldWithLineEndsReadsBackWhole) {
    emitter->format = EV_EMIT_CSV;
    std::string descr = std::string(kControlText) + ",\"q\"";
    ASSERT_EQ(emit(et::changeEvent(kTime, descr)), EMIT_DONE);
    closeOutputs();
    bool found = false;
    for (const auto &row : readCsv(dir.read("ev.json"))) {
        if (row.size() == 3 && row[0] == "AFTER" && row[1] == "DESCR") {
            EXPECT_EQ(row[2], descr);
            found = true;
        }
    }
    EXPECT_TRUE(found) << dir.read("ev.json");
}

TEST_F(EmitTest, HiddenCsvColumnsKeepTheirPlace) {
    emitter->format = EV_EMIT_CSV;
    emitter->zeroValues = EV_ZEROVALS_HIDE;
    ASSERT_EQ(emit(et::statqRecord(2, 0)), EMIT_DONE);
    closeOutputs();
    auto rows = readCsv(dir.read("ev.json"));
    ASSERT_GE(rows.size(), 3u) << dir.read("ev.json");
    EXPECT_EQ(rows[0], (std::vector<std::string>{"QUEUE", "EVQMGR", "CURDEPTH", "INTVLSTA"}));
    EXPECT_EQ(rows[1], (std::vector<std::string>{"Q1", "QM1", "", ""}));
    EXPECT_EQ(rows[2], (std::vector<std::string>{"Q2", "QM1", "", ""}));
}

TEST_F(EmitTest, HumanMqscBreaksALineOf121AtTheFieldsFirstBlank) {
    emitter->format = EV_EMIT_MQSC;
    emitter->reader = EV_READER_HUMAN;
    ASSERT_EQ(emit(et::changeEvent(kTime, std::string(112, 'd'))), EMIT_DONE);  // "  DESCR('...')" is 123
    ASSERT_EQ(emit(et::changeEvent(kTime, std::string(100, 'd'))), EMIT_DONE);  // 111: stays
    closeOutputs();
    const std::string out = dir.read("ev.json");
    EXPECT_NE(out.find("{\n\n DESCR('" + std::string(112, 'd') + "')\n"), std::string::npos) << out;
    EXPECT_NE(out.find("{\n  DESCR('" + std::string(100, 'd') + "')\n"), std::string::npos) << out;
}

// ---- Records, ids and documents ----

TEST_F(EmitTest, ObjectsOfOneRecordAreNumberedAndWrappedInOneDocument) {
    useFile(dir.file("q.json"));
    ASSERT_EQ(emit(et::statqRecord(3, 1)), EMIT_DONE);
    closeOutputs();
    const std::string out = dir.read("q.json");
    for (const char *suffix : {"B7-1\"", "B7-2\"", "B7-3\""})
        EXPECT_NE(out.find(suffix), std::string::npos) << out;
    EXPECT_EQ(out.find("\"records\""), std::string::npos);  // only an aggregated record shows RECORDS
    EXPECT_EQ(out.rfind("{\"evrecords\":[", 0), 0u);
    EXPECT_EQ(emitter->msgCount, 0u);  // counted when its unit commits
    emitUnitEnded(EV_SET_E, 1);
    EXPECT_EQ(emitter->msgCount, 1u);
}

TEST_F(EmitTest, ClosingOneEmitterEndsItsDocumentAndItsQueue) {
    ASSERT_EQ(emit(et::changeEvent(kTime, "x")), EMIT_DONE);
    emitCloseEmitter(nullptr, emitter);
    EXPECT_EQ(emitter->openFile, nullptr);
    const std::string out = dir.read("ev.json");
    EXPECT_EQ(out.substr(out.size() - 2), "]}") << out;
    useQueue("OUT.Q");
    ASSERT_EQ(emit(et::changeEvent(kTime, "x")), EMIT_DONE);
    emitCloseEmitter(nullptr, emitter);
    EXPECT_EQ(log.closes, 1);
    EXPECT_EQ(emitter->queues[EV_SET_E].handle, EV_EMIT_NOT_OPEN);
}

TEST_F(EmitTest, AnIdThePoolLacksShowsNotPresent) {
    emitter->format = EV_EMIT_MQSC;
    et::Record r(44, kTime, EVCF_FLAG_EVENT);
    r.stringId(2016, 987654);
    ASSERT_EQ(emit(r.bytes()), EMIT_DONE);
    closeOutputs();
    EXPECT_NE(dir.read("ev.json").find("QUEUE('<Not Present>')"), std::string::npos) << dir.read("ev.json");
}

TEST_F(EmitTest, StreamWithoutItsEmitterEmitsNothing) {
    std::snprintf(eventsDef->evEmit, sizeof eventsDef->evEmit, "NONE");
    EXPECT_EQ(emit(et::changeEvent(kTime, "x")), EMIT_DONE);
    emitter->format = 9;
    std::snprintf(eventsDef->evEmit, sizeof eventsDef->evEmit, "E1");
    EXPECT_EQ(emit(et::changeEvent(kTime, "x")), EMIT_FAILED);
    closeOutputs();
    EXPECT_TRUE(dir.list().empty());
}

TEST_F(EmitTest, EmptyParserSlotFailsTheRecord) {
    emitRecordParsers[1] = EmitRecordParser{};
    emitter->onError = EV_ONERROR_DISCARD;
    EXPECT_EQ(emit(et::statqRecord(1, 1)), EMIT_DONE);  // discarded, with the failure counted
    EXPECT_EQ(emitter->errorCount, 1u);
}

// ---- File names ----

struct NameCase {
    const char *pattern;
    int64_t time;
    const char *name;
};

TEST_F(EmitTest, PatternTokensExpand) {
    const NameCase cases[] = {
        {"%dd", kTime - 86400 * 1, "1st"},            // 1 March
        {"%dd", kTime + 86400 * 11, "13th"},          // 13 March
        {"%dd", kTime + 86400 * 19, "21st"},          // 21 March
        {"%dd.log", kTime + 86400 * 20, "22nd.log"},  // 22 March
        {"%h %hh %P %p", kTime + 12 * 3600 + 300, "00 0 PM pm"},
        {"%J %j", 1735689600, "001 000"},  // 1 January 2025
        {"%C %c %t", kTime + 3723, "20250302 250302 010203"},
        {"%D %DD %m %mm %mmm", kTime, "Sun Sunday Mar 03 March"},
        {"%y %yy %H %M %S %% %q%", kTime + 3723, "2025 25 01 02 03 % "},
    };
    for (const NameCase &k : cases) {
        std::snprintf(emitter->file, sizeof emitter->file, "%s", k.pattern);
        EvLocalTime t{};
        ASSERT_EQ(evLocalTimeFields(k.time, &t), 1);
        EmitContext c{};
        c.emitter = emitter;
        char out[EV_EMIT_PATH_MAX];
        ASSERT_EQ(emitExpandFileName(&c, &t, 0, out, sizeof out), 1) << k.pattern;
        EXPECT_STREQ(out, k.name) << k.pattern;
    }
}

// A name is a pattern's only when the pattern can make exactly that name: every name the expansion
// gives (each token at several times, the counters, the "(n)" of a taken name) is the pattern's; a
// near miss of a token's width, characters or range, or an "(n)" where the emitter puts none, is not.
TEST_F(EmitTest, APatternMakesOnlyTheNamesItExpandsTo) {
    const char *const patterns[] = {"o/%y/out.json",
                                    "%dd.log",
                                    "%h %hh %P %p",
                                    "%J %j",
                                    "%C %c %t",
                                    "%D %DD %m %mm %mmm",
                                    "%y %yy %H %HH %M %S %% %q%",
                                    "out%I.txt",
                                    "out%i.txt",
                                    "u%U",
                                    "u%u.x.y",
                                    "ev%y%mm%d"};
    const int64_t times[] = {kTime, kTime + 86400 * 20 + 13 * 3600 + 59 * 60 + 7, 1735689600, 1767225599};
    for (const char *pattern : patterns) {
        std::snprintf(emitter->file, sizeof emitter->file, "%s", pattern);
        for (int64_t time : times) {
            EvLocalTime t{};
            ASSERT_EQ(evLocalTimeFields(time, &t), 1);
            for (int mode : {-1, 1}) {
                emitter->fileSequence = mode == 1 ? 12 : 1;
                emitter->uniqueCounter = 123456;
                EmitContext c{};
                c.emitter = emitter;
                char out[EV_EMIT_PATH_MAX];
                ASSERT_EQ(emitExpandFileName(&c, &t, mode, out, sizeof out), 1);
                EXPECT_TRUE(emitPatternMakes(pattern, out)) << pattern << " " << out;
            }
        }
    }
    const struct {
        const char *pattern;
        const char *name;
        bool made;
    } names[] = {
        {"o/%y/out.json", "o/victim/out.json", false},
        {"o/%y/out.json", "o/202/out.json", false},
        {"o/%y/out.json", "o/20255/out.json", false},
        {"o/%y/out.json", "o/../out.json", false},
        {"ev_%y.json", "ev_.json", false},
        {"%dd.log", "22th.log", false},
        {"%dd.log", "022nd.log", false},
        {"%dd.log", "32nd.log", false},
        {"%H", "24", false},
        {"%HH", "05", false},
        {"%D", "Sunday", false},
        {"%m", "March", false},
        {"%mm", "13", false},
        {"%P", "am", false},
        {"%I", "0001", false},
        {"%I", "00000", false},
        {"%i", "01", false},
        {"%J", "367", false},
        {"%S", "61", false},
        {"%C", "2025032", false},
        {"%%", "%%", false},
        {"a%q", "aq", false},
        {"x%y.json", "x2025(1).json", false},
        {"x%y.json", "x2025(02).json", false},
        {"x%y.json", "x2025.json(2)", false},
        {"x%I.json", "x00001(2).json", false},
        {"x%y.json", "x2025(2).json", true},
        {"x", "x(3)", true},
        {"%u", "123456", true},
        {"%I", "123456", true},
        {"%%x", "%x", true},
        {"a.b.c", "a.b(9).c", true},
        {"a.b.c", "a(9).b.c", false},
    };
    for (const auto &n : names)
        EXPECT_EQ(emitPatternMakes(n.pattern, n.name), n.made) << n.pattern << " " << n.name;
}

TEST_F(EmitTest, TakenNamesGetANumberAndANewDayStartsAgain) {
    useFile(dir.file("ev%y%mm%d.json"));
    dir.write("ev20250302.json", "kept");
    ASSERT_EQ(emit(et::changeEvent(kTime, "a")), EMIT_DONE);
    ASSERT_EQ(emit(et::changeEvent(kTime + 86400, "b")), EMIT_DONE);
    closeOutputs();
    EXPECT_EQ(dir.read("ev20250302.json"), "kept");
    EXPECT_NE(dir.read("ev20250302(2).json").find("\"a\""), std::string::npos);
    EXPECT_NE(dir.read("ev20250303.json").find("\"b\""), std::string::npos);
}

TEST_F(EmitTest, NumberedPatternGivesEachUnitItsOwnFile) {
    useFile(dir.file("out%I.txt"));
    for (int i = 0; i < 3; i++) ASSERT_EQ(emit(et::changeEvent(kTime, "x")), EMIT_DONE);
    closeOutputs();
    EXPECT_EQ(dir.list(), (std::vector<std::string>{"out00001.txt", "out00002.txt", "out00003.txt"}));
}

// Makes the file of the name just before the create, as another process might.
const CSOutFileOps *gRealOps = nullptr;
int racingCreate(const char *path, CSOutFile **file) {
    if (std::FILE *f = std::fopen(path, "wb")) {
        std::fputs("other", f);
        std::fclose(f);
    }
    CSSetOutFileOps(gRealOps);
    return gRealOps->create(path, file);
}

TEST_F(EmitTest, FileMadeByAnotherProcessMeanwhileIsNotOverwritten) {
    useFile(dir.file("race.json"));
    static const CSOutFileOps racing = {racingCreate, CSRealOutFileOps.write, CSRealOutFileOps.flush,
                                        CSRealOutFileOps.close};
    gRealOps = &CSRealOutFileOps;
    CSSetOutFileOps(&racing);
    ASSERT_EQ(emit(et::changeEvent(kTime, "x")), EMIT_DONE);
    CSSetOutFileOps(nullptr);
    closeOutputs();
    EXPECT_EQ(dir.read("race.json"), "other");
    EXPECT_NE(dir.read("race(2).json").find("evrecords"), std::string::npos);
}

TEST_F(EmitTest, OverlongNamesFailTheOpenCleanly) {
    emitter->onError = EV_ONERROR_DISCARD;
    // An expansion past its room is refused, not cut.
    std::snprintf(emitter->file, sizeof emitter->file, "%s", "%mmm%DD%C%mmm%DD%C");
    EmitContext c{};
    c.emitter = emitter;
    EvLocalTime t{};
    evLocalTimeFields(kTime, &t);
    char small[32];
    EXPECT_EQ(emitExpandFileName(&c, &t, 1, small, sizeof small), 0);
    // A name the system refuses (a component past 255 characters) fails the open with its text.
    std::string pattern = dir.file("");
    while (pattern.size() < 290) pattern += "%mmm";
    useFile(pattern);
    ASSERT_EQ(emit(et::changeEvent(kTime, "x")), EMIT_DONE);  // discarded
    EXPECT_EQ(emitter->errorCount, 1u);
    ASSERT_NE(evAlertList, nullptr);
    EXPECT_STREQ(evAlertList->text, "Can not open the files of emitter 'E1'");
    EXPECT_TRUE(dir.list().empty());
}

// A DISCARD emitter waits out its failure delay on the FILE that failed, not on a FILE altered since.
TEST_F(EmitTest, AFileAlteredAfterAFailureIsWrittenAtOnce) {
    emitter->onError = EV_ONERROR_DISCARD;
    std::string pattern = dir.file("");
    while (pattern.size() < 290) pattern += "%mmm";
    useFile(pattern);
    ASSERT_EQ(emit(et::changeEvent(kTime, "x")), EMIT_DONE);  // discarded, the delay begins
    ASSERT_EQ(emit(et::changeEvent(kTime, "y")), EMIT_DONE);  // dropped within the delay
    EXPECT_EQ(emitter->errorCount, 2u);
    useFile(dir.file("fixed.json"));
    ASSERT_EQ(emit(et::changeEvent(kTime, "z")), EMIT_DONE);
    closeOutputs();
    EXPECT_EQ(emitter->errorCount, 2u);
    EXPECT_EQ(dir.list(), std::vector<std::string>{"fixed.json"});
}

TEST_F(EmitTest, FileNameTakesTheLocalTimeOfTheRecord) {
    zt::ScopedTZ newYork("EST5EDT,M3.2.0,M11.1.0");
    useFile(dir.file("%y%mm%d-%H%M.txt"));
    // 2025-03-09 07:30 UTC: 03:30 local, an hour after the clocks went forward.
    ASSERT_EQ(emit(et::changeEvent(1741505400, "x")), EMIT_DONE);
    closeOutputs();
    EXPECT_EQ(dir.list(), (std::vector<std::string>{"20250309-0330.txt"}));
}

// ---- The size rule ----

TEST_F(EmitTest, UnitsStayUnderMaxsize) {
    emitter->maxSize = 1024;
    useFile(dir.file("s.json"));
    // About 400 bytes each: two to a file, the third starts the next with its own document start.
    for (int i = 0; i < 3; i++) ASSERT_EQ(emit(et::statqRecord(1, 1, 300)), EMIT_DONE);
    closeOutputs();
    ASSERT_EQ(dir.list(), (std::vector<std::string>{"s(2).json", "s.json"}));
    EXPECT_LE(dir.read("s.json").size(), 1024u);
    EXPECT_EQ(dir.read("s(2).json").rfind("{\"evrecords\":[", 0), 0u);
    // A record larger than MAXSIZE goes alone: carried out of a unit that holds one already.
    useFile(dir.file("big.json"));
    ASSERT_EQ(emit(et::changeEvent(kTime, "small")), EMIT_DONE);
    ASSERT_EQ(emit(et::changeEvent(kTime, std::string(3000, 'b'))), EMIT_DONE);
    closeOutputs();
    EXPECT_LT(dir.read("big.json").size(), 1024u);
    EXPECT_GT(dir.read("big(2).json").size(), 3000u);
}

size_t occurrences(const std::string &text, const std::string &part) {
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size())) n++;
    return n;
}

// The records of one file of the format, or -1 when the file does not read as whole records.
int recordsIn(uint32_t format, const std::string &path, const std::string &text) {
    const bool jq = std::system("command -v jq >/dev/null 2>&1") == 0;
    auto jqCount = [&](const char *filter) {
        const std::string out = path + ".count";
        const std::string command =
            "jq " + std::string(filter) + " '" + path + "' >'" + out + "' 2>/dev/null";
        const int status = std::system(command.c_str());
        std::ifstream in(out);
        int count = -1;
        if (!(in >> count) || status != 0) count = -1;
        in.close();
        std::remove(out.c_str());
        return count;
    };
    switch (format) {
        case EV_EMIT_JSON:
            if (text.rfind("{\"evrecords\":[", 0) != 0 || text.substr(text.size() - 2) != "]}") return -1;
            return jq ? jqCount("'.evrecords | length'")
                      : static_cast<int>(occurrences(text, "\"zuntUniqueId\""));
        case EV_EMIT_NDJSON: {
            const int lines = static_cast<int>(occurrences(text, "\n"));
            if (jq && jqCount("-s length") != lines) return -1;
            return lines;
        }
        case EV_EMIT_CSV: {
            // Three fields a row, nineteen rows a record, a blank line after each.
            int records = 0, rows = 0;
            for (const auto &row : readCsv(text)) {
                if (row.empty() || (row.size() == 1 && row[0].empty())) {
                    if (rows != 0 && rows != 19) return -1;
                    records += rows == 19;
                    rows = 0;
                } else if (row.size() != 3) {
                    return -1;
                } else {
                    rows++;
                }
            }
            return rows == 0 ? records : -1;
        }
        default: {
            // One line a record, its groups closed, a blank line after it.
            std::istringstream lines(text);
            std::string line;
            int records = 0;
            while (std::getline(lines, line)) {
                if (line.empty()) continue;
                if (line.rfind("EVQMGR('QM1')", 0) != 0 || line.back() != '}' ||
                    occurrences(line, "{") != occurrences(line, "}"))
                    return -1;
                records++;
            }
            return records;
        }
    }
}

// Each file holds what fits: after a cut the carried record starts the next file, which then fills
// like the first; only the last file may hold fewer.
TEST_F(EmitTest, EveryFileAfterACutFillsAsTheFirst) {
    for (const uint32_t format : {EV_EMIT_JSON, EV_EMIT_NDJSON, EV_EMIT_CSV, EV_EMIT_MQSC}) {
        SCOPED_TRACE(format);
        const std::string prefix = "cut" + std::to_string(format);
        emitter->format = format;
        emitter->maxSize = 2048;
        useFile(dir.file(prefix + ".txt"));
        constexpr int kRecords = 13;
        for (int i = 0; i < kRecords; i++)
            ASSERT_EQ(emit(et::changeEvent(kTime + i, "record " + std::to_string(i))), EMIT_DONE);
        closeOutputs();
        std::vector<int> counts;
        for (int n = 1;; n++) {
            const std::string name = prefix + (n == 1 ? "" : "(" + std::to_string(n) + ")") + ".txt";
            if (!dir.exists(name)) break;
            const std::string text = dir.read(name);
            EXPECT_LE(text.size(), 2048u) << name;
            counts.push_back(recordsIn(format, dir.file(name), text));
            EXPECT_GE(counts.back(), 1) << name << " does not read whole:\n" << text;
        }
        ASSERT_GE(counts.size(), 3u) << "several cuts";
        int total = 0;
        for (size_t i = 0; i < counts.size(); i++) {
            total += counts[i];
            if (i + 1 < counts.size()) {
                EXPECT_EQ(counts[i], counts[0]) << "file " << i + 1;
            } else {
                EXPECT_LE(counts[i], counts[0]) << "the last file";
            }
        }
        EXPECT_GE(counts[0], 2);
        EXPECT_EQ(total, kRecords);
    }
}

TEST_F(EmitTest, ManyObjectsPassTheHoldingBufferIntoOneFile) {
    emitter->maxSize = 10000 * 1024;
    useFile(dir.file("many.json"));
    ASSERT_EQ(emit(et::statqRecord(5000, 1, 400)), EMIT_DONE);
    closeOutputs();
    EXPECT_EQ(dir.list(), (std::vector<std::string>{"many.json"}));
    EXPECT_GT(dir.read("many.json").size(), size_t{EMIT_HOLDING_SIZE});
}

TEST_F(EmitTest, ObjectTooLargeForTheBufferFailsCleanly) {
    emitter->onError = EV_ONERROR_DISCARD;
    emitter->format = EV_EMIT_NDJSON;
    et::Record r(44, kTime, EVCF_FLAG_EVENT);
    std::string big(60000, 'x');
    for (int i = 0; i < 40; i++) r.text(2013, big + std::to_string(i));  // 2.4 MB of text
    ASSERT_EQ(emit(r.bytes()), EMIT_DONE);
    EXPECT_EQ(emitter->errorCount, 1u);
    closeOutputs();
    EXPECT_EQ(dir.read("ev.json"), "");
}

// ---- Queues and failures ----

TEST_F(EmitTest, QueueMessagesCarryTheDescriptorAndPersistence) {
    useQueue("OUT.Q");
    emitter->msgPersistence = EV_PERSIST_YES;
    ASSERT_EQ(emit(et::changeEvent(kTime, "x")), EMIT_DONE);
    emitter->msgPersistence = EV_PERSIST_ASMSG;  // no input message: as the queue's default
    emitter->put = EV_PUT_IMMEDIATE;
    ASSERT_EQ(emit(et::changeEvent(kTime, "y")), EMIT_DONE);
    ASSERT_EQ(log.puts.size(), 2u);
    const MQMD &md = log.puts[0].md;
    EXPECT_EQ(std::string(md.Format, 8), "MQSTR   ");
    EXPECT_EQ(md.MsgType, MQMT_DATAGRAM);
    EXPECT_EQ(md.Persistence, MQPER_PERSISTENT);
    EXPECT_EQ(log.puts[0].options, MQPMO_SYNCPOINT);
    EXPECT_EQ(log.puts[1].md.Persistence, MQPER_PERSISTENCE_AS_Q_DEF);
    EXPECT_EQ(log.puts[1].options, MQPMO_NO_SYNCPOINT);
    EXPECT_EQ(log.opened.size(), 1u);                               // the open handle is reused
    EXPECT_EQ(log.puts[0].data.rfind("{\"zuntUniqueId\"", 0), 0u);  // events are never wrapped on a queue
}

TEST_F(EmitTest, GroupingDecidesMessagesPerStatisticsRecord) {
    useQueue("OUT.Q");
    ASSERT_EQ(emit(et::statqRecord(3, 1)), EMIT_DONE);
    EXPECT_EQ(log.puts.size(), 1u);
    emitter->grouping = EV_GROUPING_SINGLE;
    ASSERT_EQ(emit(et::statqRecord(3, 1)), EMIT_DONE);
    EXPECT_EQ(log.puts.size(), 4u);
}

TEST_F(EmitTest, DiscardRaisesOneAlertAndGoesOn) {
    useQueue("NO.SUCH.Q");
    emitter->onError = EV_ONERROR_DISCARD;
    log.openReason = MQRC_UNKNOWN_OBJECT_NAME;
    ASSERT_EQ(emit(et::changeEvent(kTime, "x")), EMIT_DONE);
    ASSERT_EQ(emit(et::changeEvent(kTime, "x")), EMIT_DONE);
    EXPECT_EQ(emitter->errorCount, 2u);
    EXPECT_EQ(emitter->failTime, 0);  // the emission counted as done
    EXPECT_EQ(emitter->consecutiveFailures, 0u);
    et::expectOneMissingQueueAlert();
}

// Writes fail with ENOSPC.
int failingWrite(CSOutFile *, const void *, size_t) {
    return ENOSPC;
}

TEST_F(EmitTest, FailedWriteIsReportedWithItsErrno) {
    emitter->onError = EV_ONERROR_DISCARD;
    emitter->format = EV_EMIT_NDJSON;
    static const CSOutFileOps failing = {CSRealOutFileOps.create, failingWrite, CSRealOutFileOps.flush,
                                         CSRealOutFileOps.close};
    CSSetOutFileOps(&failing);
    EXPECT_EQ(emit(et::changeEvent(kTime, "x")), EMIT_DONE);
    CSSetOutFileOps(nullptr);
    EXPECT_EQ(emitter->errorCount, 1u);
    bool found = false;
    for (AlertDef *a = evAlertList; a != nullptr; a = a->next)
        if (std::strstr(a->text, "Error writing to the files of emitter") != nullptr &&
            std::strstr(a->text, "RC(28)") != nullptr)
            found = true;
    EXPECT_TRUE(found);
}

}  // namespace

// The engine's code pages reach file output through its emit slot: the table translates every
// byte written once the engine has set them up.
TEST_F(EmitTest, FileOutputIsTranslatedThroughTheEnginesTable) {
    emitInstall();
    emitter->format = EV_EMIT_MQSC;
    useFile(dir.file("page.txt"));
    EvEmitCodePage &page = evEmitCodePage;
    for (int byte = 0; byte < 256; byte++) page.table[byte] = static_cast<uint8_t>(std::toupper(byte));
    page.translate = 1;
    page.punctuation = nullptr;
    page.ready.store(1);
    std::vector<uint8_t> record = et::changeEvent(kTime, "lower");
    MQMD md{};
    const int result = evServices.emitStored(nullptr, evSet(EV_SET_E), &qmgr, &eventsStream, &md,
                                             record.data(), static_cast<uint32_t>(record.size()));
    page.ready.store(0);
    page.translate = 0;
    emitTranslation = nullptr;
    ASSERT_EQ(result, EMIT_DONE);
    closeOutputs();
    const std::string text = dir.read("page.txt");
    EXPECT_NE(text.find("LOWER"), std::string::npos) << text;
    EXPECT_EQ(text.find("lower"), std::string::npos) << text;
}

TEST_F(EmitTest, AnEventsSummaryIsTheOneTheIntakeMadeForItsHook) {
    emitInstall();
    emitter->format = EV_EMIT_MQSC;
    std::vector<uint8_t> record = et::changeEvent(kTime, "now");
    std::vector<uint8_t> other = et::Record(44, kTime, EVCF_FLAG_EVENT).bytes();
    evCFSetReason(other.data(), 2367);
    Area *otherSummary = evCFSummarise(&evStreamStringPool, other.data(), other.size());
    ASSERT_NE(otherSummary, nullptr);
    auto summaryOf = [&](std::vector<uint8_t> &r, Area *area) {
        char text[EV_SUMMARY_LINE + 1] = "";
        int n =
            evEventSummary(&evStreamStringPool, r.data(), r.size(), pcfSummaryOf(area), text, nullptr, -1, 0);
        return std::string(text, static_cast<size_t>(n));
    };
    Area *ownSummary = evCFSummarise(&evStreamStringPool, record.data(), record.size());
    ASSERT_NE(ownSummary, nullptr);
    const std::string fromHook = summaryOf(record, otherSummary), own = summaryOf(record, ownSummary);
    AreaRelease(&ownSummary);
    ASSERT_NE(fromHook, own);
    // The hook's summary is taken only for the record the hook is putting.
    struct Case {
        const uint8_t *hookRecord;
        const std::string &summary;
    };
    for (const Case &c : {Case{record.data(), fromHook}, Case{other.data(), own}}) {
        EvRecordHook hook{};
        hook.record = c.hookRecord;
        hook.summary = otherSummary;
        evContext.hookMessage.store(&hook);
        const int result = evServices.emitStored(&evContext, evSet(EV_SET_E), &qmgr, &eventsStream, nullptr,
                                                 record.data(), static_cast<uint32_t>(record.size()));
        evContext.hookMessage.store(nullptr);
        ASSERT_EQ(result, EMIT_DONE);
        closeOutputs();
        const std::string text = dir.read("ev.json");
        std::remove(dir.file("ev.json").c_str());
        EXPECT_NE(text.find("SUMMARY('" + c.summary + "')"), std::string::npos) << text;
    }
    AreaRelease(&otherSummary);
}
