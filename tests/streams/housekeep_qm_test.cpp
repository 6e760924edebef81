// String housekeeping on a real data queue: sparse big "$STRINGS" blobs are rewritten with only the
// strings still referred to, in any form a record, a queue manager or a holder refers to them, and
// what is no longer referred to is gone after a reload.
#include <cstdio>

#include "streams/qmstream.h"

namespace st {
namespace {

std::vector<uint8_t> holderRecord;
void holderWalker() {
    evStringMarkRecord(holderRecord.data(), static_cast<uint32_t>(holderRecord.size()));
}

// A record referring to strings in every form the record format has: the header's object name and
// user (event records), a string item (223), a string list (224), a string filter (14) and a pooled
// byte string (226).
std::vector<uint8_t> everyForm(uint32_t object, uint32_t user, uint32_t string, uint32_t list1,
                               uint32_t list2, uint32_t filter, uint32_t bytes) {
    std::vector<uint8_t> r(EVCF_HEADER_LENGTH, 0);
    evCFSetFlags(r.data(), EVCF_FLAG_EVENT);
    evCFSetCommand(r.data(), 44);
    evCFSetObjectName(r.data(), object);
    evCFSetUserId(r.data(), user);
    auto add = [&](std::initializer_list<uint8_t> head, std::initializer_list<uint32_t> ids) {
        r.insert(r.end(), head);
        for (uint32_t id : ids) {
            uint8_t b[4];
            mqiPutU32(b, 0, id);
            r.insert(r.end(), b, b + 4);
        }
    };
    add({EVCF_STRING_ID, 1, 0}, {string});
    add({EVCF_STRING_ID_LIST, 2, 0, 2, 0}, {list1, list2});
    add({14, 1, 3, 0}, {filter});
    add({EVCF_BYTES_ID, 4, 0}, {bytes});
    evCFSetItemCount(r.data(), 4);
    return r;
}

class HousekeepQm : public DataQueueTest {
protected:
    void TearDown() override {
        evStringsRemoveHolder(holderWalker);
        DataQueueTest::TearDown();
    }
    static std::string textOf(uint32_t id) {
        const StringEntry *e = evStringLookup(id);
        return std::string(e->text, e->length);
    }
};

TEST_F(HousekeepQm, SparseStringBlobsAreRewrittenKeepingEveryStringInUse) {
    zt::ScopedEnv size("ZUNT_STREAM", "4096,4");
    evStringsFree(1);
    Stream *strings = evStringsCreateStream();
    ASSERT_TRUE(evStringsInit(0));
    std::vector<uint32_t> ids;
    for (int i = 0; i < 1000; i++) ids.push_back(internNumbered(i));
    // A second stored copy of a string in use: both are loaded, one of them is marked.
    uint32_t duplicated = ids[5];
    uint8_t stored[80];
    uint32_t length = evStoredStringWrite(stored, duplicated, 850, evStringLookup(duplicated)->text,
                                          evStringLookup(duplicated)->length);
    ASSERT_NE(evStreamAdd(nullptr, strings, stored, length, 0, nullptr), nullptr);
    for (int i = 1000; i < 1400; i++) ids.push_back(internNumbered(i));
    ASSERT_EQ(syncPoint(), 1);
    ASSERT_EQ(evStreamConsolidateAll(&io_, strings), 1);
    ASSERT_GE(blobNumbers(strings, true).size(), 3u);

    // In use: one record in every form, the queue manager's name, a holder's record.
    Stream *s = stream("S");
    std::vector<uint8_t> r =
        everyForm(duplicated, ids[150], ids[300], ids[450], ids[600], ids[750], ids[900]);
    ASSERT_NE(evStreamAdd(qmgr(), s, r.data(), static_cast<uint32_t>(r.size()), clock_.now(), nullptr),
              nullptr);
    qmgr_.nameId = ids[1100];
    holderRecord = std::vector<uint8_t>(EVCF_HEADER_LENGTH, 0);
    holderRecord.insert(holderRecord.end(), {EVCF_STRING_ID, 1, 0, 0, 0, 0, 0});
    mqiPutU32(holderRecord.data(), EVCF_HEADER_LENGTH + 3, ids[200]);
    evCFSetItemCount(holderRecord.data(), 1);
    ASSERT_TRUE(evStringsAddHolder(holderWalker));
    ASSERT_EQ(syncPoint(), 1);
    ASSERT_EQ(reload(), 1);
    strings = evStrings.stream;
    size_t messagesBefore = contents().size();

    OutputCapture out;
    ASSERT_EQ(evCheckStringHousekeeping(&io_, 1, 1, 1), 1);
    std::string text = out.take();
    EXPECT_NE(text.find("Housekeeping recommended"), std::string::npos) << text;
    EXPECT_NE(text.find("String Housekeeping Complete"), std::string::npos) << text;
    EXPECT_LT(contents().size(), messagesBefore);

    std::vector<uint32_t> used = {ids[5],   ids[150], ids[300],  ids[450], ids[600],
                                  ids[750], ids[900], ids[1100], ids[200], duplicated};
    for (int pass = 0; pass < 2; pass++) {
        for (uint32_t id : used)
            EXPECT_NE(evStringLookup(id), &evStringNotPresentEntry) << "pass " << pass << " id " << id;
        EXPECT_EQ(textOf(ids[300]), "string-0300-long-enough-to-fill-blobs-soon");
        EXPECT_EQ(evStringLookup(ids[20]), &evStringNotPresentEntry);  // unused, in a rewritten blob
        EXPECT_EQ(copies().size(), contents().size());                 // one message per blob
        ASSERT_EQ(reload(), 1);
    }
    EXPECT_EQ(textOf(ids[1300]), "string-1300-long-enough-to-fill-blobs-soon");  // still in a small blob
}

}  // namespace
}  // namespace st
