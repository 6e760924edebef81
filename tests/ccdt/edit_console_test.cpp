// The edit mode inside a console session: =ccdt, command lines answered as the command's
// response lines, =merge and leaving the mode; the table is in memory, no queue manager.
#include <cstring>

#include "ccdt_testing.h"
#include "console/console.h"
#include "testing/console_session.h"

using namespace cct;

namespace {

class EditConsole : public zt::ConsoleSessionTest {
protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(ConsoleSessionTest::SetUp());
        ccdtInstall();
        ccdtSetOutputVersion(12);
    }
    void TearDown() override {
        ConsoleSessionTest::TearDown();
        ccdtSetOutputVersion(12);
    }
    // The lines added since the last call: text and kind.
    std::vector<std::pair<std::string, uint32_t>> lines() {
        std::vector<std::pair<std::string, uint32_t>> out;
        bool fresh = seen == nullptr;
        for (const cslOutputLine *l = s->screens[0].oldest; l != nullptr; l = l->next) {
            if (fresh) out.emplace_back(cslLineText(l), l->kind);
            if (l == seen) fresh = true;
        }
        seen = s->screens[0].newest;
        return out;
    }
    bool has(const std::vector<std::pair<std::string, uint32_t>> &got, const std::string &text,
             uint32_t kind) {
        for (const auto &l : got)
            if (l.first == text && l.second == kind) return true;
        return false;
    }

    zt::MemFiles files;
    const cslOutputLine *seen = nullptr;
};

TEST_F(EditConsole, CommandsRunAgainstTheChosenTableUntilEnd) {
    ASSERT_EQ(cslIssueLocalCommand(s, "=ccdt file(" CCT_MEM_DIR "t.tab)"), 1);
    EXPECT_TRUE(has(lines(), "CCDT commands directed to file '" CCT_MEM_DIR "t.tab' (Does not exist)",
                    CSL_LINE_RESPONSE));
    cslIssueCommand(s, "DEFINE CHANNEL(A) CONNAME('h(1)')");
    auto got = lines();
    EXPECT_TRUE(has(got, "DEFINE CHANNEL(A) CONNAME('h(1)')", CSL_LINE_ECHO));
    EXPECT_TRUE(has(got, "AMQ8016: WebSphere MQ channel 'A' defined", CSL_LINE_RESPONSE));
    EXPECT_TRUE(files.exists(CCT_MEM_DIR "t.tab"));
    cslIssueCommand(s, "DEFINE CHANNEL(B)");
    lines();
    cslIssueCommand(s, "DIS CHL(*) CONNAME =FIND('h(1)')");
    got = lines();
    // =FIND keeps the one object that holds the text.
    size_t objects = 0;
    for (const auto &l : got) objects += l.first.find("CHANNEL(") != std::string::npos;
    EXPECT_EQ(objects, 1u);

    cslIssueCommand(s, "quit");
    EXPECT_EQ(s->ccdtMode, 0);
}

// =WHERE on an ALTER judges the channels only: the ALTER goes as typed, no attribute added.
TEST_F(EditConsole, WhereOnAnAlterAddsNothingToTheCommand) {
    ASSERT_EQ(cslIssueLocalCommand(s, "=ccdt file(" CCT_MEM_DIR "w.tab)"), 1);
    cslIssueCommand(s, "DEFINE CHANNEL(A) CHLTYPE(CLNTCONN) HBINT(10)");
    cslIssueCommand(s, "DEFINE CHANNEL(B) CHLTYPE(CLNTCONN)");
    lines();
    cslIssueCommand(s, "ALTER CHANNEL(*) CHLTYPE(CLNTCONN) DESCR('changed') =WHERE(HBINT EQ 10)");
    std::string all;
    for (const auto &l : lines()) all += l.first + "\n";
    EXPECT_EQ(all.find("AMQ8405"), std::string::npos) << all;
    cslIssueCommand(s, "DIS CHL(*) DESCR");
    all.clear();
    for (const auto &l : lines()) all += l.first + "\n";
    EXPECT_EQ(all.find("DESCR(changed)"), all.rfind("DESCR(changed)")) << all;  // once
    EXPECT_NE(all.find("DESCR(changed)"), std::string::npos) << all;
}

TEST_F(EditConsole, MergeCopiesChannelsIntoTheTable) {
    ASSERT_EQ(cslIssueLocalCommand(s, "=ccdt file(" CCT_MEM_DIR "from.tab)"), 1);
    cslIssueCommand(s, "DEFINE CHANNEL(M1)");
    cslIssueCommand(s, "DEFINE CHANNEL(N1)");
    ASSERT_EQ(cslIssueLocalCommand(s, "=ccdt file(" CCT_MEM_DIR "to.tab)"), 1);
    ASSERT_EQ(cslIssueLocalCommand(s, "=merge ccdt(" CCT_MEM_DIR "from.tab) channel(M*)"), 1);
    lines();
    cslIssueCommand(s, "DIS CHL(*)");
    auto got = lines();
    std::string all;
    for (const auto &l : got) all += l.first + "\n";
    EXPECT_NE(all.find("CHANNEL(M1)"), std::string::npos) << all;
    EXPECT_EQ(all.find("CHANNEL(N1)"), std::string::npos) << all;
}

// A version-4 record as long as the file's largest record (13104 bytes: its fixed part, trailer
// zero, then filler) is refused as damaged by DISPLAY and by =merge; the channel before it is read.
TEST_F(EditConsole, AnOverlongRecordIsRefusedAsDamaged) {
    ASSERT_EQ(cslIssueLocalCommand(s, "=ccdt file(" CCT_MEM_DIR "bad.tab)"), 1);
    cslIssueCommand(s, "DEFINE CHANNEL(A)");
    std::string image = key("BAD");
    image.resize(1552, '\0');
    mqiPutI32(image.data(), 20, 4);
    image.resize(13104, 'x');
    ccdtRecFile *file = nullptr;
    ASSERT_EQ(ccdtRecOpen(CCT_MEM_DIR "bad.tab", 1, &file, nullptr, 0), 0);
    ASSERT_EQ(ccdtRecWrite(file, bytes(image), static_cast<uint32_t>(image.size())), 0);
    ASSERT_EQ(ccdtRecClose(file), 0);
    lines();
    cslIssueCommand(s, "DIS CHL(*)");
    std::string all;
    for (const auto &l : lines()) all += l.first + "\n";
    EXPECT_NE(all.find("CHANNEL(A)"), std::string::npos) << all;
    EXPECT_NE(all.find("Error accessing file RC(1001)"), std::string::npos) << all;

    ASSERT_EQ(cslIssueLocalCommand(s, "=ccdt file(" CCT_MEM_DIR "to.tab)"), 1);
    lines();
    cslIssueLocalCommand(s, "=merge ccdt(" CCT_MEM_DIR "bad.tab) channel(*)");
    auto got = lines();
    EXPECT_TRUE(has(got, "Channel 'A' written.", CSL_LINE_RESPONSE));
    all.clear();
    for (const auto &l : got) all += l.first + "\n";
    EXPECT_NE(all.find("Error accessing file RC(1001)"), std::string::npos) << all;
    EXPECT_EQ(all.find("CCDT Migration:"), std::string::npos) << all;
}

// The mode's own texts are shown as text, and a list value of a displayed channel stays whole.
TEST_F(EditConsole, RepliesAreTextAndListsStayWhole) {
    ASSERT_EQ(cslIssueLocalCommand(s, "=ccdt file(" CCT_MEM_DIR "t.tab)"), 1);
    cslIssueCommand(s, "DEFINE CHANNEL(E) SENDEXIT(E1,E2)");
    lines();
    cslIssueCommand(s, "DEFINE CHANNEL(F) DESCR(A) DESCR(B)");
    EXPECT_TRUE(has(lines(), "Duplicate keyword error 'DESCR'", CSL_LINE_RESPONSE));
    cslIssueCommand(s, "DIS CHL(E) SENDEXIT");
    std::string all;
    for (const auto &l : lines()) all += l.first + "\n";
    EXPECT_NE(all.find("SENDEXIT(E1,E2)"), std::string::npos) << all;
}

// A value holding a doubled apostrophe is measured as the value it is, one apostrophe for the pair,
// and stored so (each was refused as longer than the attribute's limit); a value past the limit
// still is refused.
TEST_F(EditConsole, AValueWithADoubledApostropheIsMeasuredAsItsValue) {
    ASSERT_EQ(cslIssueLocalCommand(s, "=ccdt file(" CCT_MEM_DIR "q.tab)"), 1);
    const std::string x63(63, 'x');
    const struct {
        std::string attribute;  // as typed
        const char *keyword;
        std::string shown;  // as DISPLAY gives it; empty: refused
    } cases[] = {
        {"DESCR('a''b')", "DESCR", "DESCR(a'b)"},
        {"QMNAME('q''m')", "QMNAME", "QMNAME(q'm)"},
        {"DESCR('''')", "DESCR", "DESCR(')"},
        {"DESCR('" + x63 + "''')", "DESCR", "DESCR(" + x63 + "')"},   // 64, the limit
        {"DESCR('" + x63 + "''x')", "DESCR", ""},                     // 65
        {"QMNAME('" + std::string(47, 'q') + "''x')", "QMNAME", ""},  // 49
    };
    int n = 0;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.attribute);
        // Built in two steps: GCC 12 at -O2 warns falsely (-Wrestrict) on "literal" + string&&.
        std::string channel = "Q";
        channel += std::to_string(++n);
        lines();
        cslIssueCommand(
            s, ("DEFINE CHANNEL(" + channel + ") CHLTYPE(CLNTCONN) CONNAME('host(1414)') " + c.attribute)
                   .c_str());
        auto got = lines();
        std::string all;
        for (const auto &l : got) all += l.first + "\n";
        if (c.shown.empty()) {
            EXPECT_NE(all.find(std::string("AMQ8427: The maximum length of attribute '") + c.keyword + "'"),
                      std::string::npos)
                << all;
            EXPECT_EQ(all.find("defined"), std::string::npos) << all;
            continue;
        }
        EXPECT_TRUE(has(got, "AMQ8016: WebSphere MQ channel '" + channel + "' defined", CSL_LINE_RESPONSE))
            << all;
        cslIssueCommand(s, ("DIS CHL(" + channel + ") " + c.keyword).c_str());
        all.clear();
        for (const auto &l : lines()) all += l.first + "\n";
        EXPECT_NE(all.find(c.shown), std::string::npos) << all;
    }
}

}  // namespace
