// The merge of one channel table into another: matching, counting, replacing, the output version,
// failures that stop it, and the MQSERVER channel as a source.
#include <cstring>

#include "ccdt_testing.h"

using namespace cct;

namespace {

constexpr const char *kSource = CCT_MEM_DIR "source.tab";
constexpr const char *kTarget = CCT_MEM_DIR "target.tab";

struct Lines {
    std::vector<std::pair<int, std::string>> lines;
    static void add(void *context, int kind, const char *text) {
        static_cast<Lines *>(context)->lines.emplace_back(kind, text);
    }
    ccdtSink sink() { return {&Lines::add, this}; }
    std::vector<std::string> texts() const {
        std::vector<std::string> t;
        for (auto &l : lines) t.push_back(l.second);
        return t;
    }
};

void writeChannels(const char *path, const std::vector<std::string> &names) {
    char name[CCDT_PATH_MAX + 1], text[256];
    std::snprintf(name, sizeof name, "%s", path);
    ccdtHandle *h = nullptr;
    ASSERT_EQ(ccdtOpen(2, name, &h, text, sizeof text), 0);
    std::vector<uint64_t> words(CCDT_RECORD_MAX / 8 + 1);
    auto *r = reinterpret_cast<ChannelRecord *>(words.data());
    for (const std::string &n : names) {
        ccdtDefaultChannel(r);
        std::memcpy(r->mqcd.ChannelName, key(n).data(), 20);
        r->mqcd.Version = 12;
        r->mqcd.ChannelType = MQCHT_CLNTCONN;
        ASSERT_EQ(ccdtTrimExits(r, text, sizeof text), 0);
        ASSERT_EQ(ccdtPutChannel(h, r, text, sizeof text), 0) << text;
    }
    ASSERT_EQ(ccdtClose(&h, text, sizeof text), 0);
}

std::string stored(const char *path, const std::string &name) {
    ccdtRecFile *f = nullptr;
    EXPECT_EQ(ccdtRecOpen(path, 2, &f, nullptr, 0), 0);
    std::string data(20000, '\0');
    uint32_t length = 20000;
    EXPECT_EQ(ccdtRecRead(f, bytes(key(name)), data.data(), &length, CCDT_READ_EXACT), 0);
    (void)ccdtRecClose(f);
    data.resize(length);
    return data;
}

TEST(Merge, CopiesMatchesCountsAndReplacesOnlyWhenAsked) {
    zt::MemFiles files;
    writeChannels(kSource, {"A1", "A2", "B1"});
    Lines out;
    ccdtMigrate(out.sink(), kTarget, kSource, "A*", 0);
    EXPECT_EQ(out.texts(),
              (std::vector<std::string>{"Channel 'A1' written.", "Channel 'A2' written.",
                                        "CCDT Migration:  Found:2  Written:2  Replaced:0  Not Replaced:0"}));
    EXPECT_EQ(out.lines[0].first, 32);
    out.lines.clear();
    ccdtMigrate(out.sink(), kTarget, kSource, "A*", 0);
    EXPECT_EQ(out.texts(),
              (std::vector<std::string>{"CCDT Migration:  Found:2  Written:0  Replaced:0  Not Replaced:2"}));
    out.lines.clear();
    ccdtMigrate(out.sink(), kTarget, kSource, "A*", 1);
    EXPECT_EQ(out.texts().back(), "CCDT Migration:  Found:2  Written:2  Replaced:2  Not Replaced:0");
    EXPECT_EQ(out.texts()[0], "Channel 'A1' replaced.");
    // Into itself: everything found is there already.
    out.lines.clear();
    ccdtMigrate(out.sink(), kSource, kSource, "*", 0);
    EXPECT_EQ(out.texts(),
              (std::vector<std::string>{"CCDT Migration:  Found:3  Written:0  Replaced:0  Not Replaced:3"}));
    // A missing source: its resolved path, no counts.
    out.lines.clear();
    ccdtMigrate(out.sink(), kTarget, CCT_MEM_DIR "none.tab", "*", 0);
    EXPECT_EQ(
        out.lines,
        (std::vector<std::pair<int, std::string>>{{128, "Can not find file '" CCT_MEM_DIR "none.tab'"}}));
}

TEST(Merge, WritesAtTheOutputVersionAndStopsAtAFailedWrite) {
    zt::MemFiles files;
    writeChannels(kSource, {"A1", "A2", "A3"});
    Lines out;
    ccdtSetOutputVersion(6);
    ccdtMigrate(out.sink(), kTarget, kSource, "A1", 0);
    ccdtSetOutputVersion(12);
    std::string a1 = stored(kTarget, "A1");
    EXPECT_EQ(u32(a1, 20), 6u);
    EXPECT_EQ(u32(a1, 1492), 1648u);

    // The second record's write fails: the first stays written, no counts line. A merge of one
    // record into a new table shows how many file writes the first record takes.
    out.lines.clear();
    uint64_t start = files.writes();
    ccdtMigrate(out.sink(), CCT_MEM_DIR "one.tab", kSource, "A1", 0);
    uint64_t first = files.writes() - start;
    out.lines.clear();
    files.failWrite(first + 1, 28);
    ccdtMigrate(out.sink(), CCT_MEM_DIR "two.tab", kSource, "*", 0);
    ASSERT_EQ(out.lines.size(), 2u);
    EXPECT_EQ(out.lines[0].second, "Channel 'A1' written.");
    EXPECT_EQ(out.lines[1].first, 128);
    EXPECT_EQ(out.lines[1].second, "File error 28");
}

TEST(Merge, MqserverSourceGivesItsChannelOnce) {
    zt::MemFiles files;
    zt::ScopedEnv server("MQSERVER", "SVR.CHL/TCP/host(1414)");
    Lines out;
    ccdtMigrate(out.sink(), kTarget, "!", "*", 0);
    EXPECT_EQ(out.texts(),
              (std::vector<std::string>{"Channel 'SVR.CHL' written.",
                                        "CCDT Migration:  Found:1  Written:1  Replaced:0  Not Replaced:0"}));
    std::string svr = stored(kTarget, "SVR.CHL");
    EXPECT_EQ(u32(svr, 24), 6u);
    EXPECT_EQ(u32(svr, 28), 2u);
}

}  // namespace
