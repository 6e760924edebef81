// The record file: open and create, the block layout of inserts, deletes and replaces, space reuse,
// a random run against a map, and what damaged files and failed writes must not do.
#include <sys/stat.h>
#include <cerrno>
#include <random>

#include "ccdt_testing.h"

using namespace cct;

namespace {

const std::string kNewFile("AMQR\0\0\0\0", 8);

// Appended rather than concatenated: g++ 12 warns falsely on "X" + std::to_string(i).
std::string named(const char *prefix, uint32_t number) {
    std::string name = prefix;
    name += std::to_string(number);
    return name;
}

TEST(RecOpen, UpdateModeCreatesAnEmptyFileThatHoldsNoRecord) {
    MemTable t;
    ASSERT_EQ(t.open(1), 0);
    EXPECT_BYTES_EQ(kNewFile, t.file());
    for (int mode : {CCDT_READ_EXACT, CCDT_READ_NEXT, CCDT_READ_AT, CCDT_READ_CRL})
        EXPECT_EQ(t.read("A", mode), CCDT_RC_NOT_FOUND) << mode;
}

TEST(RecOpen, RefusesWhatIsNotARecordFile) {
    struct Case {
        const char *content;  // null: no file
        int mode;
        int rc;
    } cases[] = {
        {"XXXX", 1, CCDT_RC_NOT_CCDT}, {"XXXX", 0, CCDT_RC_NOT_CCDT}, {"AM", 0, CCDT_RC_NOT_CCDT},
        {"", 1, CCDT_RC_BAD_DATA},     {"", 0, CCDT_RC_BAD_DATA},     {nullptr, 0, CCDT_RC_NO_FILE},
    };
    for (const Case &c : cases) {
        MemTable t;
        if (c.content) t.files.put(kPath, c.content);
        EXPECT_EQ(t.open(c.mode), c.rc) << (c.content ? c.content : "(none)") << " mode " << c.mode;
        EXPECT_EQ(t.handle, nullptr);
        EXPECT_EQ(t.files.openCount(), 0u);
        if (c.content) {
            EXPECT_EQ(t.file(), c.content);
        }
    }
}

TEST(RecOpen, OsErrorsOfTheOpenAreNoFileOrPassedOn) {
    struct Case {
        int error, rc;
    } cases[] = {{ENOENT, CCDT_RC_NO_FILE}, {ENOTDIR, CCDT_RC_NO_FILE},      {EACCES, CCDT_RC_NO_FILE},
                 {EPERM, CCDT_RC_NO_FILE},  {ENAMETOOLONG, CCDT_RC_NO_FILE}, {EMFILE, EMFILE}};
    for (const Case &c : cases) {
        for (int mode : {0, 1}) {
            MemTable t;
            t.files.put(kPath, kNewFile);
            t.files.failOpen(c.error);
            EXPECT_EQ(t.open(mode), c.rc) << c.error << " mode " << mode;
        }
    }
}

TEST(RecOpen, CreatedFileThatCannotBeInitialisedIsRemoved) {
    MemTable t;
    t.files.failWrite(1, ENOSPC);
    EXPECT_EQ(t.open(1), ENOSPC);
    EXPECT_FALSE(t.files.exists(kPath));
    EXPECT_EQ(t.files.openCount(), 0u);
}

TEST(RecOpen, RealFiles) {
    zt::TempDir dir;
    ccdtRecFile *handle = nullptr;
    EXPECT_EQ(ccdtRecOpen(dir.file("missing").c_str(), 0, &handle, nullptr, 0), CCDT_RC_NO_FILE);
    EXPECT_EQ(ccdtRecOpen(dir.file("no/dir").c_str(), 1, &handle, nullptr, 0), CCDT_RC_NO_FILE);
    dir.write("bad", "XXXXYYYY");
    EXPECT_EQ(ccdtRecOpen(dir.file("bad").c_str(), 0, &handle, nullptr, 0), CCDT_RC_NOT_CCDT);
    dir.write("empty", "");
    EXPECT_EQ(ccdtRecOpen(dir.file("empty").c_str(), 1, &handle, nullptr, 0), CCDT_RC_BAD_DATA);
    EXPECT_EQ(dir.read("empty"), "");

    ASSERT_EQ(ccdtRecOpen(dir.file("new").c_str(), 1, &handle, nullptr, 0), 0);
    EXPECT_BYTES_EQ(kNewFile, dir.read("new"));
    std::string r = record("CHL1", 40);
    EXPECT_EQ(ccdtRecWrite(handle, r.data(), 40), 0);
    EXPECT_EQ(ccdtRecClose(handle), 0);
    ASSERT_EQ(ccdtRecOpen(dir.file("new").c_str(), 0, &handle, nullptr, 0), 0);
    char buffer[64];
    uint32_t length = sizeof buffer;
    EXPECT_EQ(ccdtRecRead(handle, bytes(key("CHL1")), buffer, &length, CCDT_READ_EXACT), 0);
    EXPECT_EQ(std::string(buffer, length), r);
    EXPECT_EQ(ccdtRecWrite(handle, r.data(), 40), CCDT_RC_READ_ONLY);
    EXPECT_EQ(ccdtRecClose(handle), 0);
}

// B, A, C into a new file, as the layout examples below build on.
void insertBAC(MemTable &t) {
    ASSERT_EQ(t.open(), 0);
    for (const char *name : {"B", "A", "C"}) ASSERT_EQ(t.insert(record(name, 20)), 0) << name;
}

TEST(RecLayout, InsertsLinkInKeyOrderWhateverTheirPlaceInTheFile) {
    MemTable t;
    insertBAC(t);
    std::string f = t.file();
    EXPECT_EQ(f.size(), 128u);
    EXPECT_EQ(header(f, 4), (std::vector<uint32_t>{40, 20, 0, 44, 84}));
    EXPECT_EQ(header(f, 44), (std::vector<uint32_t>{40, 20, 0, 0, 4}));
    EXPECT_EQ(header(f, 84), (std::vector<uint32_t>{40, 20, 0, 4, 0}));
    EXPECT_EQ(u32(f, 124), 0u);
    int end = 0;
    EXPECT_EQ(t.walk(&end), (std::vector<std::string>{record("A", 20), record("B", 20), record("C", 20)}));
    EXPECT_EQ(end, CCDT_RC_NOT_FOUND);
    EXPECT_EQ(t.insert(record("A", 30)), CCDT_RC_EXISTS);
    EXPECT_EQ(t.file(), f);
}

TEST(RecLayout, DeletedBlockIsReusedByWhatFitsElseTheRecordIsAppended) {
    struct Case {
        uint32_t length, at;
        std::vector<uint32_t> header;
        size_t size;
    } cases[] = {{20, 4, {40, 20, 0, 84, 0}, 128}, {30, 124, {50, 30, 0, 84, 0}, 178}};
    for (const Case &c : cases) {
        MemTable t;
        insertBAC(t);
        ASSERT_EQ(t.remove("B"), 0);
        EXPECT_EQ(header(t.file(), 4), (std::vector<uint32_t>{40, 0, 0, 44, 84}));
        ASSERT_EQ(t.insert(record("D", c.length)), 0);
        std::string f = t.file();
        EXPECT_EQ(header(f, c.at), c.header) << c.length;
        EXPECT_EQ(f.size(), c.size);
        EXPECT_EQ(u32(f, static_cast<uint32_t>(c.size - 4)), 0u);
        EXPECT_EQ(t.walk(),
                  (std::vector<std::string>{record("A", 20), record("C", 20), record("D", c.length)}));
    }
}

TEST(RecLayout, LongerReplaceMovesShorterKeepsItsBlock) {
    MemTable t;
    insertBAC(t);
    ASSERT_EQ(t.replace(record("B", 60, 'x')), 0);
    std::string f = t.file();
    EXPECT_EQ(header(f, 4), (std::vector<uint32_t>{40, 0, 0, 44, 84}));
    EXPECT_EQ(header(f, 124), (std::vector<uint32_t>{80, 60, 0, 44, 84}));
    EXPECT_EQ(f.size(), 208u);
    ASSERT_EQ(t.replace(record("B", 24, 'y')), 0);
    f = t.file();
    EXPECT_EQ(header(f, 124), (std::vector<uint32_t>{80, 24, 0, 44, 84}));
    EXPECT_EQ(f.size(), 208u);
    EXPECT_EQ(t.walk(), (std::vector<std::string>{record("A", 20), record("B", 24, 'y'), record("C", 20)}));
}

TEST(RecLayout, ShortBufferGivesTheFirstPartAndStillMakesTheRecordCurrent) {
    MemTable t;
    ASSERT_EQ(t.open(), 0);
    std::string r = record("LONG", 100, 'z');
    ASSERT_EQ(t.insert(r), 0);
    char buffer[30];
    uint32_t length = sizeof buffer;
    EXPECT_EQ(ccdtRecRead(t.handle, bytes(key("LONG")), buffer, &length, CCDT_READ_EXACT), CCDT_RC_TRUNCATED);
    EXPECT_EQ(length, 100u);
    EXPECT_EQ(std::string(buffer, 30), r.substr(0, 30));
    EXPECT_EQ(t.handle->current, 4u);
    EXPECT_EQ(ccdtRecReplace(t.handle, r.data(), 100), 0);
}

TEST(RecLayout, ReplaceAndDeleteRefusals) {
    MemTable t;
    insertBAC(t);
    std::string b = record("B", 20), c = record("C", 20);
    EXPECT_EQ(ccdtRecReplace(nullptr, b.data(), 20), CCDT_RC_NO_HANDLE);
    EXPECT_EQ(ccdtRecReplace(t.handle, b.data(), 20), CCDT_RC_NO_CURRENT);
    ASSERT_EQ(t.read("B", CCDT_READ_EXACT), 0);
    EXPECT_EQ(ccdtRecReplace(t.handle, c.data(), 20), CCDT_RC_KEY_CHANGED);
    EXPECT_EQ(ccdtRecDelete(t.handle, c.data(), 20), CCDT_RC_KEY_CHANGED);
    EXPECT_EQ(ccdtRecReplace(t.handle, b.data(), 10), CCDT_RC_SHORT_RECORD);
    EXPECT_EQ(ccdtRecWrite(t.handle, b.data(), 19), CCDT_RC_SHORT_RECORD);
    ASSERT_EQ(ccdtRecDelete(t.handle, b.data(), 20), 0);
    EXPECT_EQ(ccdtRecDelete(t.handle, b.data(), 20), CCDT_RC_NO_CURRENT);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(t.handle->currentKey), 20), std::string(20, ' '));
    ASSERT_EQ(t.open(0), 0);
    ASSERT_EQ(t.read("A", CCDT_READ_EXACT), 0);
    EXPECT_EQ(ccdtRecReplace(t.handle, record("A", 20).data(), 20), CCDT_RC_READ_ONLY);
}

// Random inserts, replaces, deletes and reads against a map; the whole structure is checked after
// every step, and the records again after a reopen.
TEST(RecDifferential, AgreesWithAMapOverARandomRun) {
    MemTable t;
    ASSERT_EQ(t.open(), 0);
    std::map<std::string, std::string> model;
    std::mt19937 random(46);
    auto pick = [&](uint32_t n) { return static_cast<uint32_t>(random() % n); };
    for (int step = 0; step < 5000; step++) {
        std::string name = named("K", pick(60));
        std::string k = key(name);
        std::string r = record(name, 20 + pick(200), static_cast<char>('a' + pick(26)));
        bool present = model.count(k) != 0;
        switch (pick(4)) {
            case 0:
                ASSERT_EQ(t.insert(r), present ? CCDT_RC_EXISTS : CCDT_RC_OK) << step;
                if (!present) model[k] = r;
                break;
            case 1:
                ASSERT_EQ(t.replace(r), present ? CCDT_RC_OK : CCDT_RC_NOT_FOUND) << step;
                if (present) model[k] = r;
                break;
            case 2:
                ASSERT_EQ(t.remove(name), present ? CCDT_RC_OK : CCDT_RC_NOT_FOUND) << step;
                model.erase(k);
                break;
            default: {
                std::string data;
                ASSERT_EQ(t.read(name, CCDT_READ_EXACT, &data), present ? CCDT_RC_OK : CCDT_RC_NOT_FOUND)
                    << step;
                if (present) {
                    ASSERT_EQ(data, model[k]) << step;
                }
            }
        }
        ASSERT_EQ(checkStructure(t.file(), model), "") << "after step " << step;
    }
    ASSERT_EQ(t.open(0), 0);
    std::vector<std::string> expected;
    for (auto &[k, r] : model) expected.push_back(r);
    EXPECT_EQ(t.walk(), expected);
    for (auto &[k, r] : model) {
        std::string data;
        EXPECT_EQ(t.read(k, CCDT_READ_EXACT, &data), 0);
        EXPECT_EQ(data, r);
    }
}

// A walk that moves each record into an earlier free block frees the block its search started
// from; the next search must still find its way.
TEST(RecMend, WalkThatMovesEveryRecordVisitsEveryRecord) {
    MemTable t;
    ASSERT_EQ(t.open(), 0);
    for (int i = 0; i < 5; i++) ASSERT_EQ(t.insert(record(named("X", i), 100)), 0);
    for (int i = 5; i > 0; i--) ASSERT_EQ(t.insert(record(named("A", i), 20)), 0);
    for (int i = 0; i < 5; i++) ASSERT_EQ(t.remove(named("X", i)), 0);
    size_t size = t.file().size();

    std::string k(CCDT_KEY_LENGTH, ' '), data;
    std::vector<std::string> visited;
    while (t.read(k, CCDT_READ_NEXT, &data) == CCDT_RC_OK) {
        k = data.substr(0, CCDT_KEY_LENGTH);
        visited.push_back(k);
        std::string moved = data + std::string(40, 'm');
        ASSERT_EQ(ccdtRecReplace(t.handle, moved.data(), static_cast<uint32_t>(moved.size())), 0);
    }
    EXPECT_EQ(visited.size(), 5u);
    EXPECT_EQ(t.file().size(), size);  // every move went into a free block
    ASSERT_EQ(t.open(0), 0);
    EXPECT_EQ(t.walk().size(), 5u);
}

// Each update writes the new block before anything points at it: a write that fails at any step
// leaves every record that was there readable by key and by walk.
TEST(RecMend, FailedWriteAtAnyStepKeepsEveryEarlierRecord) {
    enum Op { InsertIntoFreeBlock, Append, MovingReplace };
    for (Op op : {InsertIntoFreeBlock, Append, MovingReplace}) {
        bool done = false;
        for (uint64_t k = 1; !done; k++) {
            ASSERT_LT(k, 20u);
            MemTable t;
            ASSERT_EQ(t.open(), 0);
            std::map<std::string, std::string> earlier;
            for (const char *name : {"A", "C", "X", "E"}) {
                ASSERT_EQ(t.insert(record(name, 40)), 0);
                earlier[key(name)] = record(name, 40);
            }
            ASSERT_EQ(t.remove("X"), 0);
            earlier.erase(key("X"));
            ASSERT_EQ(t.read("C", CCDT_READ_EXACT), 0);
            t.files.failWrite(k, ENOSPC);
            int rc = op == InsertIntoFreeBlock ? t.insert(record("D", 30))
                     : op == Append            ? t.insert(record("D", 90))
                                               : ccdtRecReplace(t.handle, record("C", 90, 'n').data(), 90);
            t.files.clearFailures();
            done = rc == CCDT_RC_OK;
            if (!done) {
                EXPECT_EQ(rc, ENOSPC) << "op " << op << " write " << k;
            }

            ASSERT_EQ(t.open(0), 0);
            std::vector<std::string> walked = t.walk();
            for (auto &[name, r] : earlier) {
                std::string data;
                ASSERT_EQ(t.read(name, CCDT_READ_EXACT, &data), 0)
                    << "op " << op << " write " << k << " " << name;
                bool replaced = op == MovingReplace && name == key("C");
                if (!replaced) {
                    EXPECT_EQ(data, r);
                }
                bool seen = false;
                for (const std::string &w : walked) seen = seen || w.compare(0, 20, name) == 0;
                EXPECT_TRUE(seen) << "op " << op << " write " << k << " walk misses " << name;
            }
        }
    }
}

// Damaged files give 1001 and are not written to; none makes a search or walk spin.
TEST(RecMend, DamagedFilesAreRefused) {
    std::string a = key("A"), b = key("B"), z = key("Z");
    struct Case {
        const char *what;
        std::string file;
        std::string key;
        int mode;
    } cases[] = {
        {"next links loop", rawFile({{40, 20, 0, 44, a}, {40, 20, 4, 4, b}}), z, CCDT_READ_EXACT},
        {"previous links loop", rawFile({{40, 20, 44, 0, b}, {40, 20, 4, 0, z}}), a, CCDT_READ_EXACT},
        {"next link turns back", rawFile({{40, 20, 0, 44, a}, {40, 20, 4, 4, b}}), b, CCDT_READ_NEXT},
        {"block length below a header", rawFile({{5, 0, 0, 0, ""}}), a, CCDT_READ_EXACT},
        {"block runs past the end", rawFile({{40, 20, 0, 0, a}}).substr(0, 30), a, CCDT_READ_EXACT},
        {"data longer than its block", rawFile({{40, 21, 0, 0, a}}), a, CCDT_READ_EXACT},
        {"record shorter than its key", rawFile({{40, 8, 0, 0, a}}), a, CCDT_READ_EXACT},
        {"next key not above", rawFile({{40, 20, 0, 44, b}, {40, 20, 4, 0, a}}), b, CCDT_READ_NEXT},
        {"link beyond the file", rawFile({{40, 20, 0, 4000, a}}), z, CCDT_READ_EXACT},
        {"link into the magic", rawFile({{40, 20, 2, 0, b}}), a, CCDT_READ_EXACT},
    };
    for (const Case &c : cases) {
        MemTable t;
        t.files.put(kPath, c.file);
        ASSERT_EQ(t.open(), 0) << c.what;
        EXPECT_EQ(t.read(c.key, c.mode), CCDT_RC_BAD_DATA) << c.what;
        // An insert of a key the read could not find meets the same damage.
        if (c.mode == CCDT_READ_EXACT) {
            EXPECT_EQ(t.insert(record(c.key, 20)), CCDT_RC_BAD_DATA) << c.what;
        }
        EXPECT_EQ(t.file(), c.file) << c.what;
    }
}

}  // namespace
