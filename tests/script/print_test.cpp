// print and fprint: item formats, the unfinished line kept between statements, separators and files.
#include <string>
#include <vector>

#include "console/console.h"
#include "script/internal.h"
#include "script_testing.h"
#include "testing/console_session.h"
#include "testing/testing.h"

namespace {

class PrintTest : public st::ScriptTest {
protected:
    void SetUp() override {
        st::ScriptTest::SetUp();
        cmdInstallBuiltins();
    }
    int print(const std::string &items) {
        return cslDoPrint(program_, ("print " + items).c_str(), items.c_str());
    }
    int fprint(const std::string &arguments) {
        return cslDoFPrint(program_, ("fprint " + arguments).c_str());
    }
};

TEST_F(PrintTest, ItemsAndFormats) {
    const struct {
        const char *items;
        const char *line;
    } cases[] = {
        {"1, 2", "1 2"},
        {"1, :n: 2", "12"},
        {":5: 7", "    7"},
        {":5l: 'ab'", "ab   "},
        {"'ab', :4: 'c'", "ab c   "},
        {":4r: 'c'", "   c"},
        {":p3: 1.5, 2.25", "1.500 2.25"},
        {":2: 12345", "12345"},
        {"'a', '\nb'", "a"},
    };
    for (const auto &c : cases) {
        out_.clear();
        EXPECT_EQ(print(c.items), 1) << c.items;
        ASSERT_FALSE(texts(32).empty()) << c.items;
        EXPECT_EQ(texts(32)[0], c.line) << c.items;
    }
    EXPECT_EQ(texts(32), (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(out_[0].text, "print 'a', '\nb'");
}

TEST_F(PrintTest, FormatErrorsEndTheStatement) {
    const struct {
        const char *items;
        const char *error;
    } cases[] = {
        {":x: 1", "Unrecognised formatting character 'x' in print format string"},
        {"1, :5l", "End of formatting character ':' missing in print statement"},
        {"1, :65536: 1", "Width above 65535 in print format string"},
        {"1, :655359: 1", "Width above 65535 in print format string"},
        {":lp100: 1", "Decimal places above 99 in print format string"},
    };
    for (const auto &c : cases) {
        out_.clear();
        EXPECT_EQ(print(c.items), 0) << c.items;
        EXPECT_EQ(errors(), c.error) << c.items;
        EXPECT_TRUE(texts(32).empty()) << c.items;
    }
    out_.clear();
    EXPECT_EQ(print(":65535p99: 'x', :p99: 0.5"), 1);
    EXPECT_EQ(texts(32)[0].size(), 65535u + 1 + 101);
}

TEST_F(PrintTest, UnfinishedLinesAndSeparators) {
    EXPECT_EQ(print(":s: 'a'"), 1);
    EXPECT_TRUE(texts(32).empty());
    EXPECT_EQ(print("'b'"), 1);
    EXPECT_EQ(texts(32), std::vector<std::string>{"a b"});

    out_.clear();
    EXPECT_EQ(print("'x\x05'"), 1);
    ASSERT_EQ(out_.size(), 3u);  // the echo, the line, the separator
    EXPECT_EQ(out_[1].kind, 32u);
    EXPECT_EQ(out_[1].text, "x");
    EXPECT_EQ(out_[2].kind, 0x20000u);
    EXPECT_EQ(out_[2].text, " ");

    out_.clear();
    EXPECT_EQ(fprint("1, 'to', 'console'"), 1);
    EXPECT_EQ(texts(32), std::vector<std::string>{"to console"});
}

TEST_F(PrintTest, LinesGrowWithoutBound) {
    for (int i = 0; i < 100000; ++i) ASSERT_EQ(print(":s:'x'"), 1);
    EXPECT_EQ(program_->printLength, 199999u);
    std::string big(1 << 20, 'y');
    EXPECT_EQ(print("'" + big + "'"), 1);
    ASSERT_EQ(texts(32).size(), 1u);
    EXPECT_EQ(texts(32)[0].size(), 199999u + 1 + big.size());
}

TEST_F(PrintTest, FilesGetCompleteLinesAtOnce) {
    zt::TempDir dir;
    const std::string path = dir.file("out.txt");
    int32_t id = cmdFileOpen(path.c_str(), "w+");
    ASSERT_GE(id, 100);
    const std::string fid = std::to_string(id);
    EXPECT_EQ(fprint(fid + ", 'one', 1"), 1);
    EXPECT_EQ(fprint(fid + ", :s: 'two'"), 1);
    EXPECT_EQ(dir.readText("out.txt"), "one 1\n");
    EXPECT_EQ(fprint(fid + ", :s: 'three'"), 1);
    EXPECT_EQ(dir.readText("out.txt"), "one 1\n");
    EXPECT_TRUE(texts(32).empty());

    EXPECT_EQ(fprint("999, 'x'"), 0);
    EXPECT_EQ(errors(), "File Identifier 999 is not an open file");

    EXPECT_EQ(cmdFileClose(id), 1);
    EXPECT_EQ(dir.readText("out.txt"), "one 1\ntwo three");

    // What is left unfinished is written when the console ends.
    id = cmdFileOpen(path.c_str(), "a");
    EXPECT_EQ(fprint(std::to_string(id) + ", :s: 'four'"), 1);
    cmdCloseAllFiles();
    EXPECT_EQ(dir.readText("out.txt"), "one 1\ntwo threefour");
    EXPECT_EQ(cmdFileClose(id), 0);
}

}  // namespace

namespace {

// Through the console: the dispatcher's print and fprint lines reach the output buffer, and the
// console's end closes the files scripts left open.
class ConsolePrintTest : public zt::ConsoleSessionTest {
protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(ConsoleSessionTest::SetUp());
        scriptInstall();
    }
    std::vector<std::string> lines(uint32_t kind) const {
        std::vector<std::string> found;
        for (const cslOutputLine *l = s->screens[0].oldest; l != nullptr; l = l->next) {
            if (l->kind == kind) found.emplace_back(cslLineText(l));
        }
        return found;
    }
};

TEST_F(ConsolePrintTest, StatementsReachTheOutputAndTheEndClosesFiles) {
    zt::TempDir dir;
    cslIssueCommand(s, "print 1, :n: 2");
    cslIssueCommand(s, "fprint 1, 'on', 'console'");
    // A script's print line goes through the dispatcher, its items evaluated in the script.
    const char *const script[] = {"@x = 5.5", "print 'x=', :n: @x, :p0: @x"};
    cmdReadContext *reader = cmdMemoryReader(s->program, "print.vdr", script, 2);
    ASSERT_NE(reader, nullptr);
    cmdPushReader(s->program, reader);
    EXPECT_EQ(cslScript.runCommands(s), 1);
    cmdPopReader(s->program);
    EXPECT_EQ(lines(CSL_LINE_RESPONSE), (std::vector<std::string>{"12", "on console", "x=5.50 6"}));

    const int32_t id = cmdFileOpen(dir.file("left.txt").c_str(), "w");
    ASSERT_GE(id, 100);
    cslIssueCommand(s, ("fprint " + std::to_string(id) + ", 'done', :s: 'not yet'").c_str());
    EXPECT_EQ(dir.read("left.txt"), "");
    cslEndSession();
    EXPECT_EQ(dir.read("left.txt"), "done not yet");
    EXPECT_EQ(cmdFileClose(id), 0);
}

}  // namespace
