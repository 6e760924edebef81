// The output buffer shared by reply threads and the console thread.
#include <atomic>
#include <string>
#include <thread>

#include "console_testing.h"

namespace {

using OutputThreadsTest = ConsoleTest;

TEST_F(OutputThreadsTest, ThreadsAddWhileTheConsoleThreadTrimsAndFinds) {
    s->history = 50;
    s->screenWidth = 0x7fffffff;  // one row a line, nothing written in pieces
    std::atomic<int> running{2};
    auto reply = [&](char tag) {
        for (int i = 0; i < 2000; ++i) add(std::string("reply ") + tag + std::to_string(i));
        running.fetch_sub(1);
    };
    std::thread a(reply, 'a');
    std::thread b(reply, 'b');
    int finds = 0;
    do {  // at least once, also when both threads are done before this thread gets here
        add("console line", CSL_LINE_ECHO);
        cslParseFind(s, "/reply/");
        ++finds;
    } while (running.load() > 0);
    a.join();
    b.join();
    EXPECT_GT(finds, 0);
    const cslOutputList *list = cslMainList(s);
    uint32_t rows = 0;
    for (const cslOutputLine *l = list->oldest; l != nullptr; l = l->next) {
        rows += l->rows;
        if (l->next != nullptr) {
            EXPECT_EQ(l->next->firstRow, l->firstRow + l->rows);
        }
    }
    EXPECT_EQ(rows, list->totalRows);
    EXPECT_LE(list->totalRows, 50u);
}

}  // namespace
