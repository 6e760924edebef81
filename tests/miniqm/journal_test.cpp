// The journal: records read back whole and in order, a torn or corrupted tail is cut off (and later
// appends follow the good part), and a rewrite replaces everything at once.

#include <cstdio>

#include "miniqm/journal.h"
#include "testing/testing.h"

namespace {

std::vector<std::string> replayAll(qmjournal::Journal &j, std::string *note = nullptr) {
    std::vector<std::string> got;
    std::string n;
    EXPECT_TRUE(j.replay(
        [&](std::string_view body) {
            got.emplace_back(body);
            return true;
        },
        n));
    if (note) *note = n;
    return got;
}

}  // namespace

TEST(Journal, RecordsReadBackInOrder) {
    zt::TempDir dir;
    qmjournal::Journal j;
    std::string error;
    ASSERT_TRUE(j.open(dir.path(), false, error)) << error;
    EXPECT_TRUE(replayAll(j).empty());
    ASSERT_TRUE(j.append("first"));
    ASSERT_TRUE(j.append(std::string("\0binary\0", 8)));
    ASSERT_TRUE(j.append(""));
    j.close();
    qmjournal::Journal again;
    ASSERT_TRUE(again.open(dir.path(), false, error));
    std::string note;
    EXPECT_EQ(replayAll(again, &note), (std::vector<std::string>{"first", std::string("\0binary\0", 8), ""}));
    EXPECT_EQ(note, "");
}

TEST(Journal, TornTailIsTruncatedAndLaterAppendsFollowTheGoodPart) {
    zt::TempDir dir;
    std::string error;
    {
        qmjournal::Journal j;
        ASSERT_TRUE(j.open(dir.path(), false, error));
        ASSERT_TRUE(j.append("kept"));
    }
    std::string whole = dir.read("journal");
    dir.write("journal", whole + std::string("\x20\0\0\0\x11\x22", 6));
    qmjournal::Journal j;
    ASSERT_TRUE(j.open(dir.path(), false, error));
    std::string note;
    EXPECT_EQ(replayAll(j, &note), std::vector<std::string>{"kept"});
    EXPECT_NE(note.find("6 bytes truncated"), std::string::npos) << note;
    EXPECT_EQ(dir.read("journal").size(), whole.size());
    ASSERT_TRUE(j.append("after"));
    j.close();
    qmjournal::Journal k;
    ASSERT_TRUE(k.open(dir.path(), false, error));
    EXPECT_EQ(replayAll(k), (std::vector<std::string>{"kept", "after"}));
}

TEST(Journal, CorruptedRecordEndsTheJournalThere) {
    zt::TempDir dir;
    std::string error;
    {
        qmjournal::Journal j;
        ASSERT_TRUE(j.open(dir.path(), false, error));
        ASSERT_TRUE(j.append("one"));
        ASSERT_TRUE(j.append("two"));
        ASSERT_TRUE(j.append("three"));
    }
    std::string bytes = dir.read("journal");
    size_t at = bytes.find("two");
    bytes[at] = 'T';  // the CRC no longer matches
    dir.write("journal", bytes);
    qmjournal::Journal j;
    ASSERT_TRUE(j.open(dir.path(), false, error));
    std::string note;
    EXPECT_EQ(replayAll(j, &note), std::vector<std::string>{"one"});
    EXPECT_NE(note.find("checksum"), std::string::npos) << note;
}

TEST(Journal, RecordTheReaderRejectsIsTreatedAsDamage) {
    zt::TempDir dir;
    std::string error;
    qmjournal::Journal j;
    ASSERT_TRUE(j.open(dir.path(), false, error));
    ASSERT_TRUE(j.append("good"));
    ASSERT_TRUE(j.append("bad"));
    std::vector<std::string> got;
    std::string note;
    EXPECT_TRUE(j.replay(
        [&](std::string_view body) {
            if (body == "bad") return false;
            got.emplace_back(body);
            return true;
        },
        note));
    EXPECT_EQ(got, std::vector<std::string>{"good"});
    EXPECT_NE(note.find("not understood"), std::string::npos) << note;
}

TEST(Journal, RewriteReplacesEverything) {
    zt::TempDir dir;
    std::string error;
    qmjournal::Journal j;
    ASSERT_TRUE(j.open(dir.path(), false, error));
    for (int i = 0; i < 10; ++i) ASSERT_TRUE(j.append("old " + std::to_string(i)));
    ASSERT_TRUE(j.rewrite({"snapshot"}));
    ASSERT_TRUE(j.append("new"));
    EXPECT_EQ(replayAll(j), (std::vector<std::string>{"snapshot", "new"}));
    EXPECT_FALSE(dir.exists("journal.tmp"));
}

TEST(Journal, ForeignFileIsRefused) {
    zt::TempDir dir;
    dir.write("journal", "this is not a journal at all");
    qmjournal::Journal j;
    std::string error, note;
    ASSERT_TRUE(j.open(dir.path(), false, error));
    EXPECT_FALSE(j.replay([](std::string_view) { return true; }, note));
    EXPECT_NE(note.find("not a miniqm journal"), std::string::npos);
}

// On a full disk an append fails and leaves nothing of its record, so that the appends after it
// are read back at the next start.
TEST(Journal, AppendOnAFullDiskFailsAndLeavesNothingBehind) {
    zt::TempDir dir, disk;
    zt::ScopedEnv full("MINIQM_DISK_FULL", disk.file("full").c_str());
    std::string error;
    qmjournal::Journal j;
    ASSERT_TRUE(j.open(dir.path(), false, error)) << error;
    ASSERT_TRUE(j.append("before"));
    const size_t size = dir.read("journal").size();
    disk.write("full", "");
    EXPECT_FALSE(j.append(std::string(100, 'x')));
    EXPECT_EQ(dir.read("journal").size(), size);
    ASSERT_EQ(std::remove(disk.file("full").c_str()), 0);
    ASSERT_TRUE(j.append("after"));
    j.close();
    qmjournal::Journal k;
    ASSERT_TRUE(k.open(dir.path(), false, error));
    std::string note;
    EXPECT_EQ(replayAll(k, &note), (std::vector<std::string>{"before", "after"}));
    EXPECT_EQ(note, "");
}
