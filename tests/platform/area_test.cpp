// Pooled work areas: sizes of new areas, best-fit reuse and its bounds, release order, zeroing,
// the trace lines and sizes too large to round.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "platform/platform.h"
#include "testing/testing.h"

namespace {

class AreaTest : public ::testing::Test {
protected:
    void SetUp() override { AreaFreePool(); }
    void TearDown() override {
        AreaFreePool();
        evDebugFlags = 0;
    }
    // Heap bytes taken by one AreaGet, its block overhead not counted.
    static int64_t heapBytesOf(uint32_t size, Area **out) {
        int64_t before = CSMemCounters().bytes;
        *out = AreaGet(size, 0, "TEST");
        return CSMemCounters().bytes - before - static_cast<int64_t>(CS_MEM_OVERHEAD);
    }
};

TEST_F(AreaTest, NewAreasArePageMultiplesWithAnExtraKiloWhenTheSizeIsOne) {
    Area *a, *b, *c, *d;
    EXPECT_EQ(heapBytesOf(100, &a), 4096);
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a->capacity, 4072u);
    EXPECT_EQ(a->size, 100u);
    EXPECT_EQ(a->used, 0u);
    EXPECT_EQ(a->pooled, 0u);
    EXPECT_EQ(heapBytesOf(4096, &b), 5120);
    EXPECT_EQ(b->capacity, 5096u);
    EXPECT_EQ(heapBytesOf(10485760, &c), 10485760 + 1024);
    EXPECT_EQ(c->capacity, 10485760u + 1024 - 24);
    std::memset(AreaData(c), 0x5A, c->capacity);  // the whole capacity is usable
    EXPECT_EQ(heapBytesOf(0, &d), 1024);
    EXPECT_EQ(d->capacity, 1000u);
    for (Area *x : {a, b, c, d}) AreaRelease(&x);
}

TEST_F(AreaTest, BestFitTakesTheSmallestExcessAndRefusesTooSmallAreas) {
    Area *big = AreaGet(5000, 0, "TEST");    // capacity 8168
    Area *small = AreaGet(4096, 0, "TEST");  // capacity 5096
    ASSERT_EQ(big->capacity, 8168u);
    ASSERT_EQ(small->capacity, 5096u);
    Area *bigAddress = big, *smallAddress = small;
    AreaRelease(&small);
    AreaRelease(&big);
    Area *fit = AreaGet(5000, 0, "TEST");
    EXPECT_EQ(fit, smallAddress);
    EXPECT_EQ(fit->pooled, 0u);
    EXPECT_EQ(fit->next, nullptr);
    EXPECT_EQ(fit->size, 5000u);
    Area *fresh = AreaGet(20000, 0, "TEST");
    EXPECT_NE(fresh, bigAddress);
    EXPECT_EQ(fresh->capacity, 20456u);
    Area *rest = AreaGet(8000, 0, "TEST");  // the big one is still pooled and fits
    EXPECT_EQ(rest, bigAddress);
    for (Area *x : {fit, fresh, rest}) AreaRelease(&x);
}

TEST_F(AreaTest, AnAreaMoreThanTwiceTheRoundedSizeIsNotReused) {
    Area *large = AreaGet(20000, 0, "TEST");  // capacity 20456
    Area *address = large;
    AreaRelease(&large);
    Area *small = AreaGet(4000, 0, "TEST");
    EXPECT_NE(small, address);
    EXPECT_EQ(small->capacity, 4072u);
    AreaRelease(&small);
}

TEST_F(AreaTest, OfEqualCapacitiesTheLastReleasedComesFirst) {
    Area *first = AreaGet(3000, 0, "TEST");
    Area *second = AreaGet(3000, 0, "TEST");
    Area *firstAddress = first, *secondAddress = second;
    AreaRelease(&first);
    AreaRelease(&second);
    EXPECT_EQ(AreaGet(3000, 0, "TEST"), secondAddress);
    EXPECT_EQ(AreaGet(3000, 0, "TEST"), firstAddress);
    AreaRelease(&firstAddress);
    AreaRelease(&secondAddress);
}

TEST_F(AreaTest, ReleaseClearsThePointerSoASecondReleaseDoesNothing) {
    Area *area = AreaGet(100, 0, "TEST");
    Area *copy = area;
    AreaRelease(&area);
    EXPECT_EQ(area, nullptr);
    EXPECT_EQ(copy->pooled, 1u);
    AreaRelease(&area);
    Area *again = AreaGet(100, 0, "TEST");
    Area *other = AreaGet(100, 0, "TEST");
    EXPECT_EQ(again, copy);
    EXPECT_NE(other, copy);  // the pool held it once only
    AreaRelease(&again);
    AreaRelease(&other);
}

TEST_F(AreaTest, ZeroingCoversTheAskedBytesAndStopsAtTheCapacity) {
    Area *area = AreaGet(100, 0, "TEST");
    std::memset(AreaData(area), 0xFF, area->capacity);
    Area *address = area;
    AreaRelease(&area);
    area = AreaGet(100, 10, "TEST");
    ASSERT_EQ(area, address);
    EXPECT_EQ(AreaData(area)[9], 0);
    EXPECT_EQ(AreaData(area)[10], 0xFF);
    AreaRelease(&area);
    area = AreaGet(100, 1000000, "TEST");  // more than the capacity: clamped
    ASSERT_EQ(area, address);
    EXPECT_EQ(AreaData(area)[area->capacity - 1], 0);
    AreaRelease(&area);
}

TEST_F(AreaTest, SizesWhoseRoundingWouldWrapGetNoArea) {
    CSMemCounts before = CSMemCounters();
    testing::internal::CaptureStdout();
    EXPECT_EQ(AreaGet(0xFFFFFFFFu, 0, "HUGE"), nullptr);
    EXPECT_EQ(AreaGet(0xFFFFF001u, 0, "HUGE"), nullptr);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("Failed to allocate 4294967296 bytes for 'HUGE'"), std::string::npos) << out;
    EXPECT_EQ(CSMemCounters().blocks, before.blocks);
    EXPECT_EQ(CSMemCounters().bytes, before.bytes);
}

TEST_F(AreaTest, DebugLetterSTracesAllocationReuseAndRelease) {
    evDebugFlags = EV_DBG_s;
    testing::internal::CaptureStdout();
    Area *area = AreaGet(100, 0, "PCFRESPONSE-AND-MORE-TEXT");
    AreaRelease(&area);
    area = AreaGet(50, 0, "EVPCF");
    AreaRelease(&area);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("' [100,4072] allocated\n"), std::string::npos) << out;
    EXPECT_NE(out.find(" 'PCFRESPONSE-AND-MORE' [100,4072]"), std::string::npos) << out;  // name cut at 20
    EXPECT_NE(out.find(")'EVPCF' [50,4072] from pool\n"), std::string::npos) << out;
    EXPECT_NE(out.find(") released into pool\n"), std::string::npos) << out;
}

TEST_F(AreaTest, FreePoolReturnsEveryPooledAreaToTheHeap) {
    CSMemCounts before = CSMemCounters();
    Area *a = AreaGet(100, 0, "TEST");
    Area *b = AreaGet(9000, 0, "TEST");
    AreaRelease(&a);
    AreaRelease(&b);
    EXPECT_EQ(CSMemCounters().blocks, before.blocks + 2);
    AreaFreePool();
    EXPECT_EQ(CSMemCounters().blocks, before.blocks);
    EXPECT_EQ(CSMemCounters().bytes, before.bytes);
}

}  // namespace
