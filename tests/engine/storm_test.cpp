// Storms without a queue manager: matching of records, counting within the window and the stored
// storm items.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "engine/engine.h"
#include "testing/testing.h"
#include "tests/streams/fakedq.h"

namespace {

struct Item {
    int32_t type;
    int32_t parmId;
    int64_t value;
};

std::vector<uint8_t> makeRecord(std::initializer_list<Item> items, uint16_t command = 44) {
    std::vector<uint8_t> buffer(512);
    evCFWriter writer{};
    EXPECT_TRUE(evCFWriterInit(&writer, buffer.data(), static_cast<uint32_t>(buffer.size()), nullptr, 0));
    evCFSetCommand(buffer.data(), command);
    mqiPutU32(buffer.data(), 16, 7);  // object name id
    for (const Item &i : items) {
        if (i.type == EVCF_DATE_TIME) {
            // A folded date and time pair: lead, date id, time id, seconds.
            uint8_t *p = buffer.data() + writer.length;
            p[0] = EVCF_LEAD_DATE_TIME;
            mqiPutU16(p, 1, 3175);
            mqiPutU16(p, 3, 3176);
            mqiPutI64(p, 5, i.value);
            writer.length += 13;
            continue;
        }
        evCFItem item{};
        item.type = i.type;
        item.parmId = i.parmId;
        item.value = i.value;
        int32_t cc = 0, rc = 0;
        evCFAddParm(&writer, &item, &cc, &rc);
        EXPECT_EQ(cc, MQCC_OK) << rc;
    }
    mqiPutU16(buffer.data(), 30, static_cast<uint16_t>(items.size()));
    buffer.resize(writer.length);
    return buffer;
}

class StormTest : public ::testing::Test {
protected:
    StormTest() : tz_("UTC0"), clock_(1767225600) {}
    void SetUp() override {
        reset();
        evSettingsDefaults(1767225600);
        evSettings.stormThreshold.store(10);
        evSettings.stormInterval.store(60);
        char text[EV_CONFIG_TEXT];
        qmgr_ = evQmgrFindOrAdd("QM1", 0, text);
        ASSERT_NE(qmgr_, nullptr);
    }
    void TearDown() override { reset(); }
    static void reset() {
        evFreeStorms();
        cfgFreeModel(1);
        fdq::reset();
        cfgEngine.dataQueueMaxMsgLength = nullptr;
    }
    static int32_t storedCount(const uint8_t *form) { return mqiGetI32(form, 72); }

    zt::ScopedTZ tz_;
    zt::TestClock clock_;
    QmgrEntry *qmgr_ = nullptr;
};

TEST_F(StormTest, MatchComparesValuesOfEveryFormAndIgnoresTimes) {
    struct Case {
        const char *name;
        std::vector<uint8_t> other;
        int matches;
    };
    std::vector<uint8_t> base = makeRecord({{MQCFT_INTEGER, 1, 2},
                                            {MQCFT_INTEGER, 2, 70000},
                                            {MQCFT_INTEGER64, 3, 5},
                                            {EVCF_DATE_TIME, 0, 1767225600}});
    const Case cases[] = {
        {"equal",
         makeRecord({{MQCFT_INTEGER, 1, 2},
                     {MQCFT_INTEGER, 2, 70000},
                     {MQCFT_INTEGER64, 3, 5},
                     {EVCF_DATE_TIME, 0, 1767225600}}),
         1},
        {"another time",
         makeRecord({{MQCFT_INTEGER, 1, 2},
                     {MQCFT_INTEGER, 2, 70000},
                     {MQCFT_INTEGER64, 3, 5},
                     {EVCF_DATE_TIME, 0, 1767229999}}),
         1},
        {"a small value differs",
         makeRecord({{MQCFT_INTEGER, 1, 3},
                     {MQCFT_INTEGER, 2, 70000},
                     {MQCFT_INTEGER64, 3, 5},
                     {EVCF_DATE_TIME, 0, 1767225600}}),
         0},
        {"a 64-bit value differs",
         makeRecord({{MQCFT_INTEGER, 1, 2},
                     {MQCFT_INTEGER, 2, 70000},
                     {MQCFT_INTEGER64, 3, 6},
                     {EVCF_DATE_TIME, 0, 1767225600}}),
         0},
        {"another command",
         makeRecord({{MQCFT_INTEGER, 1, 2},
                     {MQCFT_INTEGER, 2, 70000},
                     {MQCFT_INTEGER64, 3, 5},
                     {EVCF_DATE_TIME, 0, 1767225600}},
                    45),
         0},
        {"another length", makeRecord({{MQCFT_INTEGER, 1, 2}}), 0},
    };
    for (const Case &c : cases)
        EXPECT_EQ(evMatchEvent(base.data(), static_cast<uint32_t>(base.size()), c.other.data(),
                               static_cast<uint32_t>(c.other.size())),
                  c.matches)
            << c.name;
}

TEST_F(StormTest, EventsPastTheThresholdAreOnlyCounted) {
    std::vector<uint8_t> record = makeRecord({{MQCFT_INTEGER, 1, 2}});
    int counted = 0;
    evTimedItem *first = nullptr;
    for (int i = 0; i < 25; i++) {
        evTimedItem *item = nullptr;
        counted +=
            evRepeatCount(qmgr_, record.data(), static_cast<uint32_t>(record.size()), 1767225600 + i, &item);
        if (i == 0)
            first = item;
        else
            EXPECT_EQ(item, nullptr);
    }
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(counted, 15);
    EXPECT_EQ(storedCount(evTimedItemExtra(first)), 25);
    EXPECT_EQ(evStormExcess(25, 10), 15);
    // Outside the window a new item starts.
    evTimedItem *later = nullptr;
    EXPECT_EQ(
        evRepeatCount(qmgr_, record.data(), static_cast<uint32_t>(record.size()), 1767225600 + 61, &later),
        0);
    EXPECT_NE(later, nullptr);
}

TEST_F(StormTest, StormMessageRoundTripsAndKeepsTheLatestDueInMemoryPastMaxMsgl) {
    std::vector<uint8_t> a = makeRecord({{MQCFT_INTEGER, 1, 2}});
    std::vector<uint8_t> b = makeRecord({{MQCFT_INTEGER, 1, 3}});
    evTimedItem *item = nullptr;
    for (int i = 0; i < 12; i++)
        (void)evRepeatCount(qmgr_, a.data(), static_cast<uint32_t>(a.size()), 1767225600, &item);
    clock_.set(1767225610);
    (void)evRepeatCount(qmgr_, b.data(), static_cast<uint32_t>(b.size()), 1767225610, &item);

    int32_t length = 0;
    uint32_t left = 0;
    uint8_t *message = evBuildStormMessage(4194304, &length, &left);
    ASSERT_NE(message, nullptr);
    EXPECT_EQ(left, 0u);
    EXPECT_EQ(mqiGetU32(message, 0), 1u);
    EXPECT_EQ(mqiGetU32(message, 4), 2u);
    uint32_t itemLength = mqiGetU32(message, 8);
    EXPECT_EQ(itemLength, EV_STORM_ITEM_HEADER + a.size());
    EXPECT_EQ(static_cast<uint32_t>(length), 8 + itemLength + EV_STORM_ITEM_HEADER + b.size());

    int32_t cutLength = 0;
    uint8_t *cut = evBuildStormMessage(static_cast<int32_t>(8 + itemLength), &cutLength, &left);
    ASSERT_NE(cut, nullptr);
    EXPECT_EQ(left, 1u) << "the latest-due item stays in memory";
    EXPECT_EQ(mqiGetU32(cut, 4), 1u);
    CSFreeMem(cut);

    // After a memory drop the stored items come back with their counts; an unknown queue manager's
    // item is dropped.
    evFreeStorms();
    ASSERT_TRUE(evLoadStormMessage(message, length));
    int32_t again = 0;
    EXPECT_EQ(evRepeatCount(qmgr_, a.data(), static_cast<uint32_t>(a.size()), 1767225601, &item), 1);
    (void)again;
    evFreeStorms();
    mqiPutU32(message, 12, 0x5A5A5A5A);  // the first item's queue manager name
    ASSERT_TRUE(evLoadStormMessage(message, length));
    int32_t rebuiltLength = 0;
    uint8_t *rebuilt = evBuildStormMessage(4194304, &rebuiltLength, &left);
    ASSERT_NE(rebuilt, nullptr);
    EXPECT_EQ(mqiGetU32(rebuilt, 4), 1u);
    CSFreeMem(rebuilt);
    // Damage is refused.
    EXPECT_FALSE(evLoadStormMessage(message, length - 1));
    CSFreeMem(message);
}

TEST_F(StormTest, StormItemsAreSavedInSetEsUnit) {
    std::vector<uint8_t> a = makeRecord({{MQCFT_INTEGER, 1, 2}});
    evTimedItem *item = nullptr;
    (void)evRepeatCount(qmgr_, a.data(), static_cast<uint32_t>(a.size()), 1767225600, &item);
    ASSERT_EQ(evStormsChanged.load(), 1);
    MQIFunctionTable table = fdq::table();
    EvStreamIo io{&table, 1, 2, 0, 10, 0};
    ASSERT_TRUE(evSaveStorms(&io));
    ASSERT_TRUE(evSaveStorms(&io));
    uint8_t correl[24] = {EV_DQ_KIND_STORMS};
    EXPECT_EQ(fdq::count(correl), 1u) << "replaced, not added";
    EXPECT_EQ(evStormsChanged.load(), 0);
    ASSERT_TRUE(evLoadStoredStorms(&io));
    EXPECT_EQ(evRepeatCount(qmgr_, a.data(), static_cast<uint32_t>(a.size()), 1767225601, &item), 0);
    EXPECT_EQ(item, nullptr) << "the loaded item counted it";
}

// The main thread takes a due item off the list while set E saves the items: the change is saved
// with set E's next sync point, not lost with the save that read the list before it.
PMQPUT savingPut = nullptr;
extern "C" void putWhileAnItemFallsDue(MQHCONN h, MQHOBJ o, PMQVOID md, PMQVOID pmo, MQLONG length,
                                       PMQVOID buffer, PMQLONG cc, PMQLONG rc) {
    {
        CSRecursiveGuard structure(gStructureLock);
        evTimedItem *item = evTimedItemList;
        if (item != nullptr) {
            evTimedItemList = item->next;
            CSFreeMem(item);
        }
    }
    evStormsChanged.store(1);
    savingPut(h, o, md, pmo, length, buffer, cc, rc);
}

TEST_F(StormTest, AnItemFallingDueDuringASaveIsSavedNextTime) {
    std::vector<uint8_t> a = makeRecord({{MQCFT_INTEGER, 1, 2}});
    evTimedItem *item = nullptr;
    (void)evRepeatCount(qmgr_, a.data(), static_cast<uint32_t>(a.size()), 1767225600, &item);
    MQIFunctionTable table = fdq::table();
    savingPut = table.MQPUT;
    table.MQPUT = putWhileAnItemFallsDue;
    EvStreamIo io{&table, 1, 2, 0, 10, 0};
    ASSERT_TRUE(evSaveStorms(&io));
    EXPECT_EQ(evStormsChanged.load(), 1);
}

TEST_F(StormTest, CombinedChangeKeepsLeadingItemsAndOnlyTheChangedAfterItems) {
    // Small integers: lead 230 + value, u16 id.
    std::vector<uint8_t> before =
        makeRecord({{MQCFT_INTEGER, 1021, 5}, {MQCFT_INTEGER, 1, 7}, {MQCFT_INTEGER, 2, 8}});
    std::vector<uint8_t> after =
        makeRecord({{MQCFT_INTEGER, 1021, 5}, {MQCFT_INTEGER, 1, 7}, {MQCFT_INTEGER, 2, 9}});
    mqiPutU32(after.data(), 24, 2368);
    Area *area = evCombineChange(before.data(), static_cast<uint32_t>(before.size()), after.data(),
                                 static_cast<uint32_t>(after.size()));
    ASSERT_NE(area, nullptr);
    std::vector<uint8_t> expected(after.begin(), after.begin() + 32);
    mqiPutU16(expected.data(), 30, 3);
    const uint8_t items[] = {235, 0xFD, 0x03, 20, 0x20, 0x99, 2, 0, 237, 1, 0,
                             238, 2,    0,    20, 0x21, 0x99, 1, 0, 239, 2, 0};
    expected.insert(expected.end(), std::begin(items), std::end(items));
    EXPECT_EQ(std::vector<uint8_t>(AreaData(area), AreaData(area) + area->used), expected);
    AreaRelease(&area);
    uint8_t shortRecord[16] = {};
    EXPECT_EQ(
        evCombineChange(shortRecord, sizeof shortRecord, after.data(), static_cast<uint32_t>(after.size())),
        nullptr);
}

TEST_F(StormTest, BeforePoolKeepsTheLatestHalfPerObject) {
    std::vector<uint8_t> first = makeRecord({{MQCFT_INTEGER, 1, 1}});
    std::vector<uint8_t> second = makeRecord({{MQCFT_INTEGER, 1, 2}});
    ASSERT_TRUE(evBeforePoolAdd("QM1", first.data(), static_cast<uint32_t>(first.size())));
    ASSERT_TRUE(evBeforePoolAdd("QM1", second.data(), static_cast<uint32_t>(second.size())));
    uint32_t length = 0;
    EXPECT_EQ(evBeforePoolTake("QM2", 7, 0, &length), nullptr);
    uint8_t *taken = evBeforePoolTake("QM1", 7, 0, &length);
    ASSERT_NE(taken, nullptr);
    EXPECT_EQ(std::vector<uint8_t>(taken, taken + length), second);
    CSFreeMem(taken);
    EXPECT_EQ(evBeforePoolTake("QM1", 7, 0, &length), nullptr) << "the older half was replaced";
    evBeforePoolFree();
}

}  // namespace
