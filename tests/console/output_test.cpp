// The output buffer: rows, merging, trimming, and what file mode writes to standard output, the
// log and the "=output" file.
#include <string>
#include <vector>

#include "console_testing.h"

namespace {

using OutputTest = ConsoleTest;

TEST_F(OutputTest, RowsFollowTheWidth) {
    s->showHidden = 0;
    EXPECT_EQ(add(std::string(200, 'x'))->rows, 3);
    EXPECT_EQ(add("")->rows, 1);
    EXPECT_EQ(add("hidden", CSL_LINE_RESPONSE | CSL_LINE_HIDDEN)->rows, 0);
    EXPECT_EQ(add("not in file", CSL_LINE_RESPONSE | CSL_LINE_NOT_IN_FILE)->rows, 0);
    EXPECT_EQ(cslMainList(s)->totalRows, 4u);
}

TEST_F(OutputTest, HeadersMergeOnlyWhenInsertedAfterAHeader) {
    s->separator = CSL_SEP_SOLID;
    cslOutputLine *header = add("H1", CSL_LINE_HEADER);
    EXPECT_EQ(add("H2", CSL_LINE_HEADER, header), header);
    EXPECT_EQ(header->kind, CSL_LINE_HEADER);
    EXPECT_EQ(add("", CSL_LINE_SEPARATOR, header), header);
    EXPECT_EQ(header->kind, CSL_LINE_SEPARATOR);
    EXPECT_EQ(header->rows, 1);
    cslOutputLine *appended = add("H3", CSL_LINE_HEADER);  // appending never merges
    EXPECT_NE(appended, header);
    EXPECT_EQ(texts().size(), 2u);
}

TEST_F(OutputTest, AMiddleInsertRenumbersTheLaterLines) {
    cslOutputLine *first = add(std::string(200, 'a'));
    cslOutputLine *second = add("b");
    cslOutputLine *third = add("c");
    EXPECT_EQ(second->firstRow, 3u);
    cslOutputLine *inserted = add(std::string(100, 'x'), CSL_LINE_RESPONSE, first);
    EXPECT_EQ(inserted->firstRow, 3u);
    EXPECT_EQ(second->firstRow, 5u);
    EXPECT_EQ(third->firstRow, 6u);
    EXPECT_EQ(cslMainList(s)->totalRows, 7u);
    EXPECT_EQ(texts()[1], std::string(100, 'x'));
}

TEST_F(OutputTest, TrimmingKeepsTheCurrentCommandAndLeavesNoDanglingReference) {
    s->history = 100;
    for (int i = 0; i < 50; ++i) add("old " + std::to_string(i));
    s->findLine = cslMainList(s)->oldest->next;
    s->lastObject = cslMainList(s)->oldest;
    cslOutputLine *echo = add("DIS Q(*)", CSL_LINE_ECHO);
    s->echoLine = echo;
    echo->groupHeader = add("group", CSL_LINE_GROUP);
    for (int i = 0; i < 200; ++i) add("response " + std::to_string(i));
    EXPECT_EQ(cslMainList(s)->oldest, echo);
    EXPECT_EQ(echo->next, echo->groupHeader);
    EXPECT_EQ(s->findLine, nullptr);
    EXPECT_EQ(s->lastObject, nullptr);
    EXPECT_EQ(cslMainList(s)->totalRows, 202u);

    s->echoLine = nullptr;  // the command ended
    add("next");
    EXPECT_EQ(cslMainList(s)->totalRows, 100u);
    EXPECT_EQ(texts().front(), "response 101");
}

TEST_F(OutputTest, LinesWithoutRowsAreTrimmedAroundTheLinesStillInUse) {
    s->history = 20;
    s->commandNumber = 1;
    add("old");
    cslOutputLine *held = add("DIS Q(*)", CSL_LINE_ECHO);  // a running foreach walks its objects
    add("QUEUE(A)");
    s->commandNumber = 2;
    s->requestPosted.store(2);  // its replies are still to come
    s->requestCompleted.store(1);
    add("DIS QMGR", CSL_LINE_ECHO_HIDDEN | CSL_LINE_HIDDEN);
    held->flags |= CSL_SHOW_SCRIPT_HELD;
    for (int i = 0; i < 500; ++i) {
        s->commandNumber = 3 + i;
        add("@i = @i + 1", CSL_LINE_ECHO_HIDDEN | CSL_LINE_HIDDEN);
        if (i % 3 == 0) add("print " + std::to_string(i));
    }
    const cslOutputList *list = cslMainList(s);
    std::vector<std::string> lines = texts();
    ASSERT_EQ(lines.size(), 20u);
    EXPECT_EQ(list->lines, 20u);
    EXPECT_EQ(std::vector<std::string>(lines.begin(), lines.begin() + 3),
              (std::vector<std::string>{"DIS Q(*)", "QUEUE(A)", "DIS QMGR"}));
    EXPECT_EQ(lines[18], "print 498");
    uint32_t rows = 0;
    for (const cslOutputLine *l = list->oldest; l != nullptr; l = l->next) {
        rows += l->rows;
        if (l->next != nullptr) {
            EXPECT_EQ(l->next->firstRow, l->firstRow + l->rows);
        }
    }
    EXPECT_EQ(rows, list->totalRows);

    held->flags &= ~CSL_SHOW_SCRIPT_HELD;  // the loop ended
    add("after");
    EXPECT_EQ(texts().front(), "QUEUE(A)");
}

TEST_F(OutputTest, FileModeWritesHeadersBySeparatorStyle) {
    for (int style : {0, 1, 2}) {
        s->separator = style;
        add("HEADER", CSL_LINE_HEADER);
    }
    EXPECT_EQ(console.out(), "HEADER\n\n");
}

TEST_F(OutputTest, AnUnlimitedWidthWritesEachLineWholeAndSeparatorsOf80) {
    s->screenWidth = 999999999;  // as the script loader sets it
    add("", CSL_LINE_SEPARATOR);
    add(std::string(300, 'y'));
    EXPECT_EQ(console.out(), std::string(80, '_') + "\n" + std::string(300, 'y') + "\n");
    console.clear();
    s->screenWidth = 100;
    add(std::string(150, 'z'));
    EXPECT_EQ(console.out(), std::string(100, 'z') + "\n" + std::string(50, 'z') + "\n");
}

int appendToString(void *file, const void *bytes, size_t length) {
    static_cast<std::string *>(file)->append(static_cast<const char *>(bytes), length);
    return 0;
}
int flushes = 0;
int countFlush(void *) {
    ++flushes;
    return 0;
}
const CslFileCalls kStringFile = {nullptr, appendToString, countFlush, nullptr};

TEST_F(OutputTest, TheOutputFileGetsTheCopiedKindsOnly) {
    std::string file;
    s->outputFile = &file;
    s->outputFileCalls = &kStringFile;
    flushes = 0;
    add("=output file(x)", CSL_LINE_ECHO);
    for (uint32_t kind : {1u, 4u, 32u, 128u, 1024u, 0x2000u, 0x4000u})
        add("kind " + std::to_string(kind), kind);
    EXPECT_EQ(file, "kind 1\nkind 32\nkind 128\nkind 8192\nkind 16384\n");
    EXPECT_EQ(flushes, 5);
    s->outputFile = nullptr;
}

TEST_F(OutputTest, AnErrorLineReachesTheLogFramedAsAnError) {
    zt::TempDir dir;
    LogSettings saved;
    logGetSettings(&saved);
    LogSettings settings = saved;
    std::snprintf(settings.logPath, sizeof settings.logPath, "%s", dir.path().c_str());
    logSetSettings(&settings);
    add("Not currently connected.", CSL_LINE_ERROR);
    logClose();
    logSetSettings(&saved);
    ASSERT_EQ(dir.list().size(), 1u);
    EXPECT_NE(dir.read(dir.list()[0]).find("*** Not currently connected. ***"), std::string::npos);
    EXPECT_EQ(console.out(), "Not currently connected.\n");
}

TEST_F(OutputTest, StatusTraceAndFileModeRefusal) {
    s->requestIssue = 1;
    s->requestPosted = 2;
    s->requestTaken = 3;
    s->requestPut = 4;
    s->requestCompleted = 5;
    s->requestRead = 6;
    s->resultFlags = 4;
    cslTraceStatus(s, "GETR");
    EXPECT_EQ(texts().back(), "STS: GETR Req(1,2,3,4,5,6) Sts(4,10084C00)");
    EXPECT_EQ(cslMainList(s)->newest->kind, CSL_LINE_TRACE);
    EXPECT_EQ(cslIgnoreInFileMode(s, "=cls"), 1);
    EXPECT_EQ(texts().back(), "Command '=cls' ignored in file mode");
    cslIgnoreInFileMode(s, std::string(60, 'r').c_str());
    EXPECT_EQ(texts().back(), "Command '" + std::string(50, 'r') + "...' ignored in file mode");
}

TEST_F(OutputTest, TimestampedEchoesCarryTheLocalTime) {
    clock.set(1767225600 + 3723);  // 01:02:03 UTC
    s->timestamp = 1;
    cslOutputLine *echo = add("dis qmgr", CSL_LINE_ECHO);
    EXPECT_STREQ(cslLineText(echo), "[01:02:03] dis qmgr");
    EXPECT_EQ(echo->flags & (CSL_SHOW_DISPLAY | CSL_SHOW_FORMATTED), CSL_SHOW_DISPLAY | CSL_SHOW_FORMATTED);
}

}  // namespace
