// The console's own '=' commands: the parser's errors, help and the commands carried out here.
#include <cstring>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "console_testing.h"
#include "testing/built_paths.h"

namespace {

using LocalTest = ConsoleTest;

std::string golden(const char *name) {
    std::ifstream in(std::string(ZUNT_CONSOLE_GOLDEN) + "/" + name, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

TEST_F(LocalTest, EachParseErrorFollowsTheEchoedLine) {
    const struct {
        const char *line;
        const char *error;
    } cases[] = {
        {"=conn qm(A", "Missing closing bracket for bracket at position 9"},
        {"=conn $", "Unexpected character '$' found at position 7"},
        {"=set respwait(abc)", "Please specify a number as a value for parameter 'respwait'"},
        {"=echo input(maybe)", "Unrecognised value 'maybe' for 'input' parameter"},
        {"=show machine(x)", "Parameter 'machine' does not have any values"},
        {"=conn qm", "Missing value for parameter 'qm'"},
        {"=foo", "Unrecognised command '=foo'"},
        {"=conn a b c d e f g h i j k l m n o p q r s t", "Too many command parameters"},
    };
    for (const auto &c : cases) {
        cslClearOutput(s, cslMainList(s), nullptr);
        EXPECT_EQ(cslIssueLocalCommand(s, c.line), 0) << c.line;
        EXPECT_EQ(texts(), (std::vector<std::string>{c.line, c.error})) << c.line;
        EXPECT_EQ(cslMainList(s)->newest->kind, CSL_LINE_ERROR);
    }
    CslParmPair pairs[CSL_MAX_WORDS];
    char work[1001];
    EXPECT_EQ(cslParseCommandParms(s, "=conn wait(0)", pairs, work, sizeof work), 2);
}

TEST_F(LocalTest, HelpListsTheVisibleCommandsAndAParametersValues) {
    cslIssueLocalCommand(s, "=?");
    std::vector<std::string> lines = texts();
    ASSERT_EQ(lines.size(), 22u);
    EXPECT_EQ(lines[0], "Commands available are:");
    EXPECT_EQ(lines[9].find(" =key(<Keyname>)"), 0u) << lines[9];
    EXPECT_NE(lines[9].find(" - Set or clear a key action or command"), std::string::npos);
    cslClearOutput(s, cslMainList(s), nullptr);
    cslIssueLocalCommand(s, "=set separator(?)");
    EXPECT_EQ(texts(),
              (std::vector<std::string>{"\"=set separator(<type>)\" - Set the object list separator",
                                        "where values are:", " msg    - MQ Detail messages are displayed",
                                        " none   - Nothing is display between objects",
                                        " blank  - Shows a blanks line between objects",
                                        " dotted - Shows a dotted line between objects",
                                        " solid  - Shows a solid line between objects"}));
    cslClearOutput(s, cslMainList(s), nullptr);
    cslIssueLocalCommand(s, "=show ?");
    for (const std::string &line : texts()) EXPECT_EQ(line.find("summary"), std::string::npos) << line;
}

TEST_F(LocalTest, LocalCommandsOfFileMode) {
    EXPECT_EQ(cslIssueLocalCommand(s, "=cls"), 0);
    EXPECT_EQ(texts().back(), "Command '=cls' ignored in file mode");
    EXPECT_EQ(cslIssueLocalCommand(s, "=show key(on) machine"), 1);
    EXPECT_EQ(texts().back(), "Command '=show key(on) machine' ignored in file mode");
    EXPECT_EQ(cslIssueLocalCommand(s, "=syn(abcdefghijk) cmd(x)"), 0);
    EXPECT_EQ(texts().back(), "Please keep the synonym to 10 chaarcters or less");
    EXPECT_EQ(cslIssueLocalCommand(s, "=syn(s1) cmd(DIS QMGR)"), 1);
    EXPECT_NE(cslFindSynonym(s, "S1", 2), nullptr);
    s->summaryIssued = 3;
    s->summarySucceeded = 2;
    s->summaryFailed = 1;
    cslIssueLocalCommand(s, "=show summary");
    EXPECT_EQ(texts().back(), "MQSC Command summary - Issued: 3  Success: 2  Fail: 1");
    cslIssueLocalCommand(s, "=show func(*)");
    EXPECT_EQ(texts().back(), "No functions defined");
    cslIssueLocalCommand(s, "=show conns");
    EXPECT_EQ(texts().back(), "No current connections");
    EXPECT_EQ(cslIssueLocalCommand(s, std::string(1000, 'x').insert(0, "=syn(a) cmd(").c_str()), 0);
    EXPECT_EQ(texts().back(), "Command too long");
    EXPECT_EQ(cslIssueLocalCommand(s, "=import file(x)"), 0);  // no script subsystem yet
    EXPECT_EQ(texts().back(), "Unrecognised command");
}

}  // namespace

namespace {

int32_t missingTable(cslSession *, const char *, char *, size_t) {
    return 10003;
}
int32_t versionSet = 0;
void noteVersion(cslSession *, int32_t version) {
    versionSet = version;
}
std::vector<std::string> edited;
int edit(cslSession *session, const char *text, int32_t) {
    edited.emplace_back(text);
    EXPECT_EQ(session->requestIssue.load(), session->requestPosted.load());
    return 1;
}
int merge(cslSession *, const char *, const char *, int) {
    return 1;
}

TEST_F(LocalTest, CcdtModeTakesCommandsUntilZuntReturnsToTheConnection) {
    cslCcdt.openCheck = missingTable;
    cslCcdt.setOutputVersion = noteVersion;
    cslCcdt.editCommand = edit;
    cslCcdt.merge = merge;
    edited.clear();
    cslConnection *before = s->current;
    EXPECT_EQ(cslIssueLocalCommand(s, "=ccdt file(f) version(7.5)"), 1);
    EXPECT_EQ(texts().back(), "CCDT commands directed to file 'f' (Does not exist)");
    EXPECT_EQ(versionSet, 10);
    EXPECT_EQ(s->current, &s->ccdtConnection);
    cslIssueCommand(s, "DISPLAY QLOCAL(X)");
    EXPECT_EQ(edited, std::vector<std::string>{"DISPLAY QLOCAL(X)"});
    cslIssueLocalCommand(s, "=merge ccdt(x)");
    EXPECT_EQ(texts().back(), "Please enter a CHANNEL parameter");
    EXPECT_EQ(cslIssueLocalCommand(s, "=merge ccdt(x) channel(A*)"), 1);
    cslIssueLocalCommand(s, "=zunt");
    EXPECT_EQ(s->ccdtMode, 0);
    EXPECT_EQ(s->current, before);
}

}  // namespace

namespace {

void *openFile(const char *path, int append) {
    return std::fopen(path, append ? "a" : "w");
}
int writeFile(void *file, const void *bytes, size_t length) {
    return std::fwrite(bytes, 1, length, static_cast<std::FILE *>(file)) == length ? 0 : 5;
}
int flushFile(void *file) {
    return std::fflush(static_cast<std::FILE *>(file));
}
void closeFile(void *file) {
    std::fclose(static_cast<std::FILE *>(file));
}
const CslFileCalls kStdioFile = {openFile, writeFile, flushFile, closeFile};

TEST_F(LocalTest, OutputAppendsOrReplacesItsFile) {
    // Over a stand-in, then over the platform's files that cslInstall() wires.
    for (int wired : {0, 1}) {
        const CslFileCalls *saved = cslOutputFileCalls;
        std::optional<ScopedInstall> installed;
        if (wired)
            installed.emplace();
        else
            cslOutputFileCalls = &kStdioFile;
        zt::TempDir dir;
        dir.writeText("out.txt", "old\n");
        ASSERT_EQ(cslIssueLocalCommand(s, ("=output file(" + dir.file("out.txt") + ") append(yes)").c_str()),
                  1);
        add("hello");
        cslIssueLocalCommand(s, "=output");  // closes it
        add("not copied");
        EXPECT_EQ(dir.readText("out.txt"), "old\nhello\n") << wired;  // not the =output lines themselves
        ASSERT_EQ(cslIssueLocalCommand(s, ("=output file(" + dir.file("out.txt") + ")").c_str()), 1);
        add("fresh");
        cslIssueLocalCommand(s, "=output");
        EXPECT_EQ(dir.readText("out.txt"), "fresh\n") << wired;
        EXPECT_EQ(cslIssueLocalCommand(s, "=output file(/no/such/folder/x)"), 0);
        EXPECT_EQ(texts().back(), "Can not open output file '/no/such/folder/x'");
        if (!wired) cslOutputFileCalls = saved;
    }
}

}  // namespace

namespace {

TEST_F(LocalTest, ImportNamesJoinTheImportersDirectory) {
    char out[CSL_PATH_MAX];
    const struct {
        const char *importer;
        const char *name;
        const char *joined;
    } cases[] = {{"/s/main.vdr", "b.vdr", "/s/b.vdr"},
                 {"/s/main.vdr", "/abs/b.vdr", "/abs/b.vdr"},
                 {"c:\\s\\main.vdr", "b.vdr", "c:\\s/b.vdr"},
                 {"/s/main.vdr", "d:b.vdr", "d:b.vdr"},
                 {nullptr, "b.vdr", "b.vdr"}};
    for (const auto &c : cases) {
        ASSERT_EQ(cslJoinPath(s, c.importer, c.name, out, sizeof out), 1);
        EXPECT_STREQ(out, c.joined) << c.name;
    }
    s->importPath = static_cast<char *>(CSGetMem(6));
    std::memcpy(s->importPath, "/lib/", 6);
    ASSERT_EQ(cslJoinPath(s, nullptr, "b.vdr", out, sizeof out), 1);
    EXPECT_STREQ(out, "/lib/b.vdr");
    EXPECT_EQ(cslJoinPath(s, "/s/a.vdr", std::string(5000, 'n').c_str(), out, sizeof out), 0);
    EXPECT_EQ(texts().back().rfind("Can not open file 'nnn", 0), 0u);
}

// Each help text as a whole, against its file (one line per output line, kind 32 each).
TEST_F(LocalTest, HelpTextsMatchTheirGoldenFiles) {
    const struct {
        const char *line;
        const char *file;
    } cases[] = {
        {"=?", "commands.txt"},           {"=conn ?", "conn.txt"},
        {"=show ?", "show.txt"},          {"=set ?", "set.txt"},
        {"=disc ?", "disc.txt"},          {"=set separator(?)", "set_separator.txt"},
        {"=syn(?)", "syn.txt"},           {"=set respwait(?)", "set_respwait.txt"},
        {"=show key(?)", "show_key.txt"},
    };
    for (const auto &c : cases) {
        cslClearOutput(s, cslMainList(s), nullptr);
        EXPECT_EQ(cslIssueLocalCommand(s, c.line), 0) << c.line;
        std::string shown;
        for (const cslOutputLine *l = cslMainList(s)->oldest; l != nullptr; l = l->next) {
            EXPECT_EQ(l->kind, CSL_LINE_RESPONSE) << c.line;
            shown += std::string(cslLineText(l)) + "\n";
        }
        EXPECT_EQ(shown, golden(c.file)) << c.line;
    }
}

}  // namespace

namespace {

TEST_F(LocalTest, ZuntCmdqNamesTheOwnQueueBeforeItsRequestAndZuntAloneKeepsIt) {
    cslIssueLocalCommand(s, "=zunt cmdq(Q2)");
    EXPECT_EQ(texts().back(), "Not currently connected.");
    EXPECT_STREQ(s->ownQueue, "Q2");
    cslIssueLocalCommand(s, "=zunt");
    EXPECT_STREQ(s->ownQueue, "Q2");
}

}  // namespace
