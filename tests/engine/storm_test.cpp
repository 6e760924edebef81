// Storms without a queue manager: matching of records, counting within the window and the stored
// storm items.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

#include "engine/engine.h"
#include "testing/testing.h"
#include "tests/streams/fakedq.h"

// The bytes the C++ heap holds, and the most it has held since the last mark: what a load holds only
// while it runs (the items themselves are on the counted heap). Linux only: under mingw the C++
// library's own allocations do not come here.
#ifndef _WIN32
namespace {
namespace heap {
std::atomic<int64_t> live{0}, peak{0};
constexpr size_t kHeader = 16;  // the block's size, kept before it
[[gnu::noinline]] void *take(size_t size) {
    auto *block = static_cast<char *>(std::malloc(size + kHeader));
    if (block == nullptr) return nullptr;
    *reinterpret_cast<size_t *>(block) = size;
    const int64_t now = live.fetch_add(static_cast<int64_t>(size)) + static_cast<int64_t>(size);
    for (int64_t high = peak.load(); now > high && !peak.compare_exchange_weak(high, now);) {
    }
    return block + kHeader;
}
[[gnu::noinline]] void give(void *pointer) {
    if (pointer == nullptr) return;
    char *block = static_cast<char *>(pointer) - kHeader;
    live.fetch_sub(static_cast<int64_t>(*reinterpret_cast<size_t *>(block)));
    std::free(block);
}
}  // namespace heap
}  // namespace
void *operator new(size_t size) {
    if (void *p = heap::take(size)) return p;
    throw std::bad_alloc();
}
void *operator new[](size_t size) {
    return operator new(size);
}
void *operator new(size_t size, const std::nothrow_t &) noexcept {
    return heap::take(size);
}
void *operator new[](size_t size, const std::nothrow_t &) noexcept {
    return heap::take(size);
}
void operator delete(void *pointer) noexcept {
    heap::give(pointer);
}
void operator delete[](void *pointer) noexcept {
    heap::give(pointer);
}
void operator delete(void *pointer, size_t) noexcept {
    heap::give(pointer);
}
void operator delete[](void *pointer, size_t) noexcept {
    heap::give(pointer);
}
void operator delete(void *pointer, const std::nothrow_t &) noexcept {
    heap::give(pointer);
}
void operator delete[](void *pointer, const std::nothrow_t &) noexcept {
    heap::give(pointer);
}
#endif

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

// The stored segments, oldest first: number and entries (kind 1 item, 2 tombstone) of each.
struct StoredSegment {
    uint64_t number;
    std::vector<uint32_t> kinds;
    size_t bytes;
};
std::vector<StoredSegment> storedSegments() {
    std::vector<StoredSegment> out;
    for (const fdq::Message &m : fdq::queue().messages) {
        if (m.correlId[0] != EV_DQ_KIND_STORMS || m.correlId[1] != 1) continue;
        StoredSegment segment{static_cast<uint64_t>(mqiGetI64(m.data.data(), 8)), {}, m.data.size()};
        for (uint32_t i = 0, at = 16; i < mqiGetU32(m.data.data(), 4); i++) {
            uint32_t kind = mqiGetU32(m.data.data(), at);
            segment.kinds.push_back(kind);
            at += 12 + (kind == 1 ? mqiGetU32(m.data.data(), at + 12) : 0);
        }
        out.push_back(segment);
    }
    return out;
}

// Each save stores what changed since the last one, in a segment of its own: a thousand new items,
// then one count, then tombstones of the items that left; a segment whose copies are all gone leaves
// the data queue. A fresh load finds the counts.
TEST_F(StormTest, ASaveStoresWhatChangedAndALoadFindsTheCounts) {
    MQIFunctionTable table = fdq::table();
    EvStreamIo io{&table, 1, 2, 0, 10, 0};
    std::vector<std::vector<uint8_t>> records;
    for (int i = 0; i < 1000; i++) records.push_back(makeRecord({{MQCFT_INTEGER, 1, 100 + i}}));
    evTimedItem *item = nullptr;
    for (const auto &r : records)
        EXPECT_EQ(evRepeatCount(qmgr_, r.data(), static_cast<uint32_t>(r.size()), 1767225600, &item), 0);
    ASSERT_TRUE(evSaveStorms(&io));
    for (int i = 0; i < 12; i++)
        (void)evRepeatCount(qmgr_, records[0].data(), static_cast<uint32_t>(records[0].size()), 1767225601,
                            &item);
    ASSERT_TRUE(evSaveStorms(&io));
    std::vector<StoredSegment> segments = storedSegments();
    ASSERT_EQ(segments.size(), 2u);
    EXPECT_EQ(segments[0].kinds.size(), 1000u);
    EXPECT_EQ(segments[1].kinds, std::vector<uint32_t>{1}) << "only the item that changed";
    EXPECT_LT(segments[1].bytes * 500, segments[0].bytes);
    uint8_t index[24] = {EV_DQ_KIND_STORMS};
    EXPECT_EQ(fdq::count(index), 1u) << "replaced, not added";

    // Reloaded: the first item past its threshold (13 > 10), the others at one.
    ASSERT_TRUE(evLoadStoredStorms(&io));
    EXPECT_EQ(
        evRepeatCount(qmgr_, records[0].data(), static_cast<uint32_t>(records[0].size()), 1767225602, &item),
        1);
    EXPECT_EQ(
        evRepeatCount(qmgr_, records[1].data(), static_cast<uint32_t>(records[1].size()), 1767225602, &item),
        0);
    EXPECT_EQ(item, nullptr) << "the loaded item counted it";
    ASSERT_TRUE(evSaveStorms(&io));

    // Every item but the first leaves below its threshold: tombstones, and the first segment goes.
    clock_.set(1767225600 + 61);
    std::vector<evTimedItem *> due;
    {
        CSRecursiveGuard structure(gStructureLock);
        for (evTimedItem **at = &evTimedItemList; *at;) {
            if (mqiGetI32(evTimedItemExtra(*at), 72) > 10) {
                at = &(*at)->next;
                continue;
            }
            due.push_back(*at);
            *at = (*at)->next;
        }
        evTimedListChanged();
    }
    ASSERT_EQ(due.size(), 999u);
    for (evTimedItem *d : due) {
        evStormCheck(d);
        CSFreeMem(d);
    }
    ASSERT_TRUE(evSaveStorms(&io));
    segments = storedSegments();
    ASSERT_FALSE(segments.empty());
    EXPECT_NE(segments.front().number, 1u) << "the first segment has no live copy left";
    size_t tombstones = 0;
    for (const StoredSegment &segment : segments)
        for (uint32_t kind : segment.kinds) tombstones += kind == 2;
    // Only the item loaded from the third segment needs one: the others' copies went with the first.
    EXPECT_EQ(tombstones, 1u);

    // What is stored is what memory holds: one item, counted on.
    ASSERT_TRUE(evLoadStoredStorms(&io));
    size_t items = 0;
    for (evTimedItem *at = evTimedItemList; at; at = at->next) items += at->kind == EV_TIMED_STORM;
    EXPECT_EQ(items, 1u);
    EXPECT_EQ(
        evRepeatCount(qmgr_, records[0].data(), static_cast<uint32_t>(records[0].size()), 1767225603, &item),
        1);
}

// A storm index whose segment count was lowered or raised by one is damaged: its items are dropped,
// and every segment its bytes list leaves the data queue with the next save (none is left behind for
// good, and no new segment takes the number of one still stored).
TEST_F(StormTest, ADamagedIndexCountLeavesNoSegmentBehind) {
    MQIFunctionTable table = fdq::table();
    EvStreamIo io{&table, 1, 2, 0, 10, 0};
    for (const int change : {-1, 1}) {
        SCOPED_TRACE(change < 0 ? "count lowered" : "count raised");
        fdq::queue().messages.clear();
        evFreeStorms();
        std::vector<uint8_t> a = makeRecord({{MQCFT_INTEGER, 1, 7}}), b = makeRecord({{MQCFT_INTEGER, 1, 8}});
        evTimedItem *item = nullptr;
        (void)evRepeatCount(qmgr_, a.data(), static_cast<uint32_t>(a.size()), 1767225600, &item);
        ASSERT_TRUE(evSaveStorms(&io));
        (void)evRepeatCount(qmgr_, b.data(), static_cast<uint32_t>(b.size()), 1767225600, &item);
        ASSERT_TRUE(evSaveStorms(&io));
        ASSERT_EQ(storedSegments().size(), 2u);
        const uint8_t index[24] = {EV_DQ_KIND_STORMS};
        for (fdq::Message &m : fdq::queue().messages)
            if (std::memcmp(m.correlId, index, 24) == 0)
                mqiPutU32(m.data.data(), 4,
                          static_cast<uint32_t>(int64_t{mqiGetU32(m.data.data(), 4)} + change));
        ASSERT_TRUE(evLoadStoredStorms(&io));
        ASSERT_TRUE(evSaveStorms(&io));
        EXPECT_TRUE(storedSegments().empty());
        // A new item's segment is stored and listed alone.
        (void)evRepeatCount(qmgr_, a.data(), static_cast<uint32_t>(a.size()), 1767225601, &item);
        ASSERT_TRUE(evSaveStorms(&io));
        std::vector<StoredSegment> segments = storedSegments();
        ASSERT_EQ(segments.size(), 1u);
        EXPECT_GT(segments[0].number, 2u);
        ASSERT_TRUE(evLoadStoredStorms(&io));
        size_t items = 0;
        for (evTimedItem *at = evTimedItemList; at; at = at->next) items += at->kind == EV_TIMED_STORM;
        EXPECT_EQ(items, 1u);
    }
}

// A restart within STORMINT loads every stored item: each goes straight into the item it becomes (a
// later copy overwrites it), so the load holds no second copy of the items beside them, only an index
// of a few dozen bytes an item and one segment message at a time.
TEST_F(StormTest, ALoadHoldsNoSecondCopyOfTheItems) {
#ifdef _WIN32
    GTEST_SKIP() << "the C++ heap is counted on Linux only";
#else
    cfgEngine.dataQueueMaxMsgLength = [] { return int32_t{65536}; };
    MQIFunctionTable table = fdq::table();
    EvStreamIo io{&table, 1, 2, 0, 10, 0};
    constexpr int kItems = 4000;
    std::vector<std::vector<uint8_t>> records;
    for (int i = 0; i < kItems; i++) records.push_back(makeRecord({{MQCFT_INTEGER, 1, 100 + i}}));
    evTimedItem *item = nullptr;
    // Each item stored twice, in two saves: a count of one, then of two.
    for (int round = 0; round < 2; round++) {
        for (const auto &r : records)
            (void)evRepeatCount(qmgr_, r.data(), static_cast<uint32_t>(r.size()), 1767225600 + round, &item);
        ASSERT_TRUE(evSaveStorms(&io));
    }
    records.clear();
    records.shrink_to_fit();
    evFreeStorms();
    heap::peak.store(heap::live.load());
    ASSERT_TRUE(evLoadStoredStorms(&io));
    const int64_t held = heap::peak.load() - heap::live.load();
    EXPECT_LT(held, kItems * 100 + 2 * 65536) << "bytes held only while loading";
    std::vector<int32_t> counts;
    for (evTimedItem *at = evTimedItemList; at; at = at->next)
        if (at->kind == EV_TIMED_STORM) counts.push_back(storedCount(evTimedItemExtra(at)));
    EXPECT_EQ(counts, std::vector<int32_t>(kItems, 2));
#endif
}

// A restart after the windows ended (a quiet spell after a burst: no save has dropped them yet)
// makes none of the items that ended below their threshold, only the storm past it, whose check
// stores its repeat; the next save leaves a tombstone for each ended one, and a load after it finds
// the storm alone.
TEST_F(StormTest, ALoadAfterTheWindowsEndedMakesOnlyTheStorms) {
    MQIFunctionTable table = fdq::table();
    EvStreamIo io{&table, 1, 2, 0, 10, 0};
    constexpr int kItems = 2000;
    std::vector<std::vector<uint8_t>> records;
    for (int i = 0; i < kItems; i++) records.push_back(makeRecord({{MQCFT_INTEGER, 1, 100 + i}}));
    evTimedItem *item = nullptr;
    for (const auto &r : records)
        (void)evRepeatCount(qmgr_, r.data(), static_cast<uint32_t>(r.size()), 1767225600, &item);
    for (int i = 0; i < 12; i++)
        (void)evRepeatCount(qmgr_, records[0].data(), static_cast<uint32_t>(records[0].size()), 1767225601,
                            &item);
    ASSERT_TRUE(evSaveStorms(&io));
    evFreeStorms();
    clock_.set(1767225600 + 61);
    const int64_t allocations = CSMemCounters().allocations;
    ASSERT_TRUE(evLoadStoredStorms(&io));
    EXPECT_LT(CSMemCounters().allocations - allocations, 100) << "no item made for an ended window";
    auto stormItems = [] {
        std::vector<int32_t> counts;
        for (evTimedItem *at = evTimedItemList; at; at = at->next)
            if (at->kind == EV_TIMED_STORM) counts.push_back(storedCount(evTimedItemExtra(at)));
        return counts;
    };
    EXPECT_EQ(stormItems(), std::vector<int32_t>{13});
    ASSERT_TRUE(evSaveStorms(&io));
    size_t tombstones = 0;
    for (const StoredSegment &segment : storedSegments())
        for (uint32_t kind : segment.kinds) tombstones += kind == 2;
    EXPECT_EQ(tombstones, static_cast<size_t>(kItems - 1));
    evFreeStorms();
    ASSERT_TRUE(evLoadStoredStorms(&io));
    EXPECT_EQ(stormItems(), std::vector<int32_t>{13});
}

// A message of the first layout (every item in one message) still loads, an unknown queue manager's
// item is dropped, and damage is refused.
TEST_F(StormTest, AMessageOfTheFirstLayoutLoads) {
    std::vector<uint8_t> a = makeRecord({{MQCFT_INTEGER, 1, 2}});
    std::vector<uint8_t> b = makeRecord({{MQCFT_INTEGER, 1, 3}});
    evTimedItem *first = nullptr, *second = nullptr;
    for (int i = 0; i < 12; i++)
        (void)evRepeatCount(qmgr_, a.data(), static_cast<uint32_t>(a.size()), 1767225600,
                            i ? &second : &first);
    (void)evRepeatCount(qmgr_, b.data(), static_cast<uint32_t>(b.size()), 1767225600, &second);
    std::vector<uint8_t> message(8);
    mqiPutU32(message.data(), 0, 1);
    mqiPutU32(message.data(), 4, 2);
    for (evTimedItem *item : {first, second})
        message.insert(message.end(), evTimedItemExtra(item), evTimedItemExtra(item) + item->extraLength);
    evFreeStorms();
    ASSERT_TRUE(evLoadStormMessage(message.data(), static_cast<int32_t>(message.size())));
    evTimedItem *item = nullptr;
    EXPECT_EQ(evRepeatCount(qmgr_, a.data(), static_cast<uint32_t>(a.size()), 1767225601, &item), 1);
    EXPECT_EQ(evStormsChanged.load(), 1) << "stored anew at the next save";
    evFreeStorms();
    mqiPutU32(message.data(), 12, 0x5A5A5A5A);  // the first item's queue manager name
    ASSERT_TRUE(evLoadStormMessage(message.data(), static_cast<int32_t>(message.size())));
    size_t items = 0;
    for (evTimedItem *at = evTimedItemList; at; at = at->next) items += at->kind == EV_TIMED_STORM;
    EXPECT_EQ(items, 1u);
    EXPECT_FALSE(evLoadStormMessage(message.data(), static_cast<int32_t>(message.size()) - 1));
}

// The main thread takes a due item off the list while set E saves the items: the change is saved
// with set E's next sync point, not lost with the save that read the list before it.
PMQPUT savingPut = nullptr;
extern "C" void putWhileAnItemFallsDue(MQHCONN h, MQHOBJ o, PMQVOID md, PMQVOID pmo, MQLONG length,
                                       PMQVOID buffer, PMQLONG cc, PMQLONG rc) {
    evTimedItem *item = nullptr;
    {
        CSRecursiveGuard structure(gStructureLock);
        item = evTimedItemList;
        if (item != nullptr) evTimedItemList = item->next;
        evTimedListChanged();
    }
    if (item != nullptr) {
        evStormCheck(item);  // below its threshold: it only leaves
        CSFreeMem(item);
    }
    savingPut(h, o, md, pmo, length, buffer, cc, rc);
}

TEST_F(StormTest, AnItemFallingDueDuringASaveIsSavedNextTime) {
    std::vector<uint8_t> a = makeRecord({{MQCFT_INTEGER, 1, 2}});
    evTimedItem *item = nullptr;
    (void)evRepeatCount(qmgr_, a.data(), static_cast<uint32_t>(a.size()), 1767225600, &item);
    MQIFunctionTable table = fdq::table();
    EvStreamIo io{&table, 1, 2, 0, 10, 0};
    ASSERT_TRUE(evSaveStorms(&io));
    savingPut = table.MQPUT;
    table.MQPUT = putWhileAnItemFallsDue;
    ASSERT_TRUE(evSaveStorms(&io));
    EXPECT_EQ(evStormsChanged.load(), 1);
    table.MQPUT = savingPut;
    ASSERT_TRUE(evSaveStorms(&io));
    ASSERT_TRUE(evLoadStoredStorms(&io));
    EXPECT_EQ(evTimedItemList, nullptr) << "its tombstone was saved";
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
