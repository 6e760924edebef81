// Durability: persistent messages of committed units of work survive kill -9 of the server at any
// instant, exactly once; uncommitted work never does; a unit of work caught in its commit is all or
// nothing; non-persistent messages are gone after a restart; a damaged journal tail is cut off.
#include <map>
#include <random>
#include <set>

#include "miniqm/qm_fixture.h"

using namespace qmt;

namespace {

// What a worker process did, as it wrote it down: "pre B puts... | gets..." before MQCMIT and
// "ok B" once MQCMIT returned.
struct Batch {
    std::vector<std::string> puts, gets;
    bool committed = false;
};

// Runs in a child process until the server dies: batches of 4 persistent puts, and every other
// batch also 3 destructive gets, each batch one unit of work, logged around its commit.
[[noreturn]] void worker(const std::string &qm, const std::string &logPath, int firstBatch) {
    FILE *log = std::fopen(logPath.c_str(), "a");
    MQHCONN h = connect(qm);
    MQHOBJ o = open(h, "DUR.Q", MQOO_OUTPUT | MQOO_INPUT_SHARED);
    for (int b = firstBatch;; ++b) {
        char text[64];
        std::snprintf(text, sizeof text, "pre %d", b);
        std::string line = text;
        for (int i = 0; i < 4; ++i) {
            std::snprintf(text, sizeof text, "B%d.%d", b, i);
            std::string body = text;
            MQMD md = MQMD_DEFAULT;
            md.Persistence = MQPER_PERSISTENT;
            if (put(h, o, body, MQPMO_SYNCPOINT, &md).cc != MQCC_OK) _exit(0);
            line.append(" +").append(body);
        }
        if (b % 2 == 0) {
            for (int i = 0; i < 3; ++i) {
                std::string data;
                Rc r = get(h, o, &data, MQGMO_SYNCPOINT);
                if (r.cc != MQCC_OK) break;
                line.append(" -").append(data);
            }
        }
        std::fprintf(log, "%s\n", line.c_str());
        std::fflush(log);
        Rc r;
        MQCMIT(h, &r.cc, &r.reason);
        if (r.cc != MQCC_OK) _exit(0);
        std::fprintf(log, "ok %d\n", b);
        std::fflush(log);
    }
}

std::map<int, Batch> readLog(const std::string &path) {
    std::map<int, Batch> batches;
    std::string text = readText(path);
    size_t pos = 0;
    while (pos < text.size()) {
        size_t nl = text.find('\n', pos);
        if (nl == std::string::npos) break;  // a line still being written
        std::vector<std::string> w = words(text.substr(pos, nl - pos));
        pos = nl + 1;
        if (w.size() < 2) continue;
        int b = std::atoi(w[1].c_str());
        Batch &batch = batches[b];
        if (w[0] == "ok") batch.committed = true;
        if (w[0] != "pre") continue;
        for (size_t i = 2; i < w.size(); ++i) {
            std::string body(w[i].begin() + 1, w[i].end());
            (w[i][0] == '+' ? batch.puts : batch.gets).push_back(body);
        }
    }
    return batches;
}

// Every message on the queue, by browsing.
std::multiset<std::string> browseAll(const std::string &qm) {
    std::multiset<std::string> all;
    MQHCONN h = connect(qm);
    MQHOBJ o = open(h, "DUR.Q", MQOO_BROWSE);
    std::string data;
    MQLONG opt = MQGMO_BROWSE_FIRST;
    while (get(h, o, &data, opt).cc == MQCC_OK) {
        all.insert(data);
        opt = MQGMO_BROWSE_NEXT;
    }
    Rc r;
    MQDISC(&h, &r.cc, &r.reason);
    return all;
}

}  // namespace

TEST(Durability, CommittedWorkSurvivesKillNineExactlyOnceAndUncommittedWorkNever) {
    QmServer qm;
    ASSERT_TRUE(qm.ok());
    std::string out;
    ASSERT_EQ(qm.mqsc("DEFINE QLOCAL(DUR.Q) MAXDEPTH(100000)\n", &out), 0) << out;
    std::string logPath = qm.root() + "/worker.log";
    std::mt19937 random(12345);
    int firstBatch = 0;
    for (int round = 0; round < 12; ++round) {
        pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) worker(qm.name(), logPath, firstBatch);
        // Let the worker get going, then kill the server wherever it happens to be.
        for (int i = 0; i < 2000 && readLog(logPath).size() <= static_cast<size_t>(firstBatch) + 1; ++i)
            usleep(1000);
        usleep(std::uniform_int_distribution<int>(0, 20000)(random));
        qm.kill9();
        int status = 0;
        waitpid(child, &status, 0);
        ASSERT_TRUE(qm.start());

        std::map<int, Batch> batches = readLog(logPath);
        std::multiset<std::string> expected;
        for (const auto &[b, batch] : batches) {
            if (!batch.committed) continue;
            for (const std::string &p : batch.puts) expected.insert(p);
            for (const std::string &g : batch.gets) expected.erase(expected.find(g));
        }
        std::multiset<std::string> actual = browseAll(qm.name());
        // The last batch may have been caught in its commit: then it is there entirely or not at all.
        int last = batches.empty() ? -1 : batches.rbegin()->first;
        if (last >= 0 && !batches[last].committed && actual != expected) {
            std::multiset<std::string> withLast = expected;
            for (const std::string &p : batches[last].puts) withLast.insert(p);
            for (const std::string &g : batches[last].gets)
                if (withLast.count(g)) withLast.erase(withLast.find(g));
            EXPECT_EQ(actual, withLast) << "round " << round << ": a unit of work half applied";
            // Record the outcome so the next round's model agrees with the queue.
            appendText(logPath, "ok " + std::to_string(last) + "\n");
        } else {
            EXPECT_EQ(actual, expected) << "round " << round;
            if (last >= 0 && !batches[last].committed) {
                // Not applied: its numbers are reused by nobody, its puts are simply absent.
                appendText(logPath, "dropped " + std::to_string(last) + "\n");
            }
        }
        if (::testing::Test::HasFailure()) break;
        firstBatch = last + 1;
    }
    EXPECT_EQ(qm.tool("status " + qm.name(), &out), 0);
}

TEST(Durability, NonPersistentMessagesAreGoneAfterRestartAndPersistentOnesStay) {
    QmServer qm;
    ASSERT_TRUE(qm.ok());
    MQHCONN h = connect(qm.name());
    MQHOBJ o = open(h, "SYSTEM.DEFAULT.LOCAL.QUEUE", MQOO_OUTPUT);
    MQMD md = MQMD_DEFAULT;
    md.Persistence = MQPER_PERSISTENT;
    ASSERT_RC(put(h, o, "persistent", MQPMO_NO_SYNCPOINT, &md), MQCC_OK, MQRC_NONE);
    ASSERT_RC(put(h, o, "transient"), MQCC_OK, MQRC_NONE);
    ASSERT_RC(put(h, o, "uncommitted", MQPMO_SYNCPOINT, &md), MQCC_OK, MQRC_NONE);
    qm.kill9();
    ASSERT_TRUE(qm.start());
    Rc r;
    MQDISC(&h, &r.cc, &r.reason);
    EXPECT_RC(r, MQCC_FAILED, MQRC_CONNECTION_BROKEN);
    h = connect(qm.name());
    o = open(h, "SYSTEM.DEFAULT.LOCAL.QUEUE", MQOO_INPUT_SHARED);
    std::string data;
    EXPECT_RC(get(h, o, &data), MQCC_OK, MQRC_NONE);
    EXPECT_EQ(data, "persistent");
    EXPECT_RC(get(h, o, &data), MQCC_FAILED, MQRC_NO_MSG_AVAILABLE);
    MQDISC(&h, &r.cc, &r.reason);
}

TEST(Durability, DefinitionsAndAttributeChangesSurviveRestart) {
    QmServer qm;
    ASSERT_TRUE(qm.ok());
    std::string out;
    ASSERT_EQ(qm.mqsc("DEFINE QLOCAL(KEEP.Q) MAXDEPTH(42)\nDEFINE QLOCAL(GONE.Q)\nDELETE QLOCAL(GONE.Q)\n"
                      "ALTER QMGR DEADQ(SYSTEM.DEAD.LETTER.QUEUE)\nDEFINE TOPIC(ALERTS) "
                      "TOPICSTR('Holva/ZUNT/Alerts')\n",
                      &out),
              0)
        << out;
    MQHCONN h = connect(qm.name());
    MQHOBJ o = open(h, "KEEP.Q", MQOO_SET);
    MQLONG sel = MQIA_INHIBIT_PUT, val = MQQA_PUT_INHIBITED;
    Rc r;
    MQSET(h, o, 1, &sel, 1, &val, 0, nullptr, &r.cc, &r.reason);
    ASSERT_RC(r, MQCC_OK, MQRC_NONE);
    MQDISC(&h, &r.cc, &r.reason);
    qm.kill9();
    ASSERT_TRUE(qm.start());
    ASSERT_EQ(
        qm.mqsc("DISPLAY QLOCAL(KEEP.Q) MAXDEPTH PUT\nDISPLAY QMGR DEADQ\nDISPLAY TOPIC(ALERTS) TOPICSTR\n",
                &out),
        0)
        << out;
    EXPECT_NE(out.find("MAXDEPTH(42)"), std::string::npos) << out;
    EXPECT_NE(out.find("PUT(DISABLED)"), std::string::npos) << out;
    EXPECT_NE(out.find("DEADQ(SYSTEM.DEAD.LETTER.QUEUE)"), std::string::npos) << out;
    EXPECT_NE(out.find("TOPICSTR(Holva/ZUNT/Alerts)"), std::string::npos) << out;
    EXPECT_NE(qm.mqsc("DISPLAY QLOCAL(GONE.Q)\n", &out), 0);
    EXPECT_NE(out.find("AMQ8147E"), std::string::npos) << out;
}

TEST(Durability, DamagedJournalTailIsTruncatedWithAMessage) {
    QmServer qm;
    ASSERT_TRUE(qm.ok());
    std::string dir = qm.dir();
    MQHCONN h = connect(qm.name());
    MQHOBJ o = open(h, "SYSTEM.DEFAULT.LOCAL.QUEUE", MQOO_OUTPUT);
    MQMD md = MQMD_DEFAULT;
    md.Persistence = MQPER_PERSISTENT;
    ASSERT_RC(put(h, o, "safe", MQPMO_NO_SYNCPOINT, &md), MQCC_OK, MQRC_NONE);
    qm.kill9();
    Rc r;
    MQDISC(&h, &r.cc, &r.reason);
    // A record cut short by the crash: a length that runs past the end, then a bad checksum.
    const char torn[] = {0x40, 0, 0, 0, 1, 2, 3, 4, 'T', 0, 0};
    appendText(dir + "/journal", std::string(torn, sizeof torn));
    ASSERT_TRUE(qm.start());
    std::string log = readText(dir + "/miniqmd.log");
    EXPECT_NE(log.find("bytes truncated"), std::string::npos) << log;
    EXPECT_EQ(depth(qm.name(), "SYSTEM.DEFAULT.LOCAL.QUEUE"), 1);
}

TEST(Durability, BackoutCountOfHardenboQueueSurvivesRestart) {
    QmServer qm;
    ASSERT_TRUE(qm.ok());
    MQHCONN h = connect(qm.name());
    MQHOBJ o = open(h, "SYSTEM.DEFAULT.LOCAL.QUEUE", MQOO_OUTPUT | MQOO_INPUT_SHARED);
    MQMD md = MQMD_DEFAULT;
    md.Persistence = MQPER_PERSISTENT;
    ASSERT_RC(put(h, o, "poison", MQPMO_NO_SYNCPOINT, &md), MQCC_OK, MQRC_NONE);
    Rc r;
    for (int i = 0; i < 2; ++i) {
        ASSERT_RC(get(h, o, nullptr, MQGMO_SYNCPOINT), MQCC_OK, MQRC_NONE);
        MQBACK(h, &r.cc, &r.reason);
        ASSERT_RC(r, MQCC_OK, MQRC_NONE);
    }
    qm.kill9();
    MQDISC(&h, &r.cc, &r.reason);
    ASSERT_TRUE(qm.start());
    h = connect(qm.name());
    o = open(h, "SYSTEM.DEFAULT.LOCAL.QUEUE", MQOO_INPUT_SHARED);
    MQMD got = MQMD_DEFAULT;
    ASSERT_RC(get(h, o, nullptr, MQGMO_NO_SYNCPOINT, &got), MQCC_OK, MQRC_NONE);
    EXPECT_EQ(got.BackoutCount, 2);
    MQDISC(&h, &r.cc, &r.reason);
}

TEST(Durability, JournalCompactedWhileRunningKeepsEveryLiveMessage) {
    QmServer qm;
    ASSERT_TRUE(qm.ok());
    MQHCONN h = connect(qm.name());
    MQHOBJ o = open(h, "SYSTEM.DEFAULT.LOCAL.QUEUE", MQOO_OUTPUT | MQOO_INPUT_SHARED);
    std::string big(64 * 1024, 'j');
    // About 20 MB of persistent traffic of which two messages stay: the journal must shrink
    // while the queue manager runs, and keep those two.
    MQMD md = MQMD_DEFAULT;
    md.Persistence = MQPER_PERSISTENT;
    ASSERT_RC(put(h, o, "first keeper", MQPMO_NO_SYNCPOINT, &md), MQCC_OK, MQRC_NONE);
    Rc r;
    MQHOBJ in = open(h, "SYSTEM.DEFAULT.LOCAL.QUEUE", MQOO_INPUT_SHARED);
    for (int i = 0; i < 320; ++i) {
        md = MQMD_DEFAULT;
        md.Persistence = MQPER_PERSISTENT;
        md.Priority = 9;  // ahead of the keepers
        ASSERT_RC(put(h, o, big, MQPMO_SYNCPOINT, &md), MQCC_OK, MQRC_NONE);
        MQCMIT(h, &r.cc, &r.reason);
        ASSERT_RC(get(h, in, nullptr, MQGMO_SYNCPOINT, nullptr, 70000), MQCC_OK, MQRC_NONE);
        MQCMIT(h, &r.cc, &r.reason);
    }
    md = MQMD_DEFAULT;
    md.Persistence = MQPER_PERSISTENT;
    ASSERT_RC(put(h, o, "second keeper", MQPMO_NO_SYNCPOINT, &md), MQCC_OK, MQRC_NONE);
    EXPECT_LT(readText(qm.dir() + "/journal").size(), 18u * 1024 * 1024);
    qm.kill9();
    MQDISC(&h, &r.cc, &r.reason);
    ASSERT_TRUE(qm.start());
    h = connect(qm.name());
    in = open(h, "SYSTEM.DEFAULT.LOCAL.QUEUE", MQOO_INPUT_SHARED);
    std::string data;
    EXPECT_RC(get(h, in, &data), MQCC_OK, MQRC_NONE);
    EXPECT_EQ(data, "first keeper");
    EXPECT_RC(get(h, in, &data), MQCC_OK, MQRC_NONE);
    EXPECT_EQ(data, "second keeper");
    EXPECT_RC(get(h, in, &data), MQCC_FAILED, MQRC_NO_MSG_AVAILABLE);
    MQDISC(&h, &r.cc, &r.reason);
}
