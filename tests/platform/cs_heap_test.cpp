// The counted heap: block kinds and serials, the counters, and sizes whose total would not fit.
#include <gtest/gtest.h>

#include <cstring>

#include "platform/platform.h"
#include "testing/testing.h"

namespace {

TEST(Heap, KindChangesAtA300ByteTotal) {
    void *small = CSGetMem(247);
    void *large = CSGetMem(248);
    ASSERT_NE(small, nullptr);
    ASSERT_NE(large, nullptr);
    EXPECT_EQ(CSMemTotal(small), 299u);
    EXPECT_EQ(CSMemKind(small), 1u);
    EXPECT_EQ(CSMemTotal(large), 300u);
    EXPECT_EQ(CSMemKind(large), 2u);
    EXPECT_EQ(CSMemSerial(large), CSMemSerial(small) + 1);
    CSFreeMem(small);
    CSFreeMem(large);
}

TEST(Heap, ZeroSizeGivesAUsableBlockCountedAt52Bytes) {
    CSMemCounts before = CSMemCounters();
    void *p = CSGetMem(0);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % 16, 0u);
    CSMemCounts after = CSMemCounters();
    EXPECT_EQ(after.blocks, before.blocks + 1);
    EXPECT_EQ(after.bytes, before.bytes + 52);
    EXPECT_EQ(after.allocations, before.allocations + 1);
    CSFreeMem(p);
}

TEST(Heap, FreeRestoresBlocksAndBytesButNotAllocationsOrHigh) {
    CSMemCounts before = CSMemCounters();
    void *a = CSGetMem(1000);
    void *b = CSGetMem(5000);
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    std::memset(a, 0xAB, 1000);  // the whole asked size is usable
    std::memset(b, 0xCD, 5000);
    CSMemCounts peak = CSMemCounters();
    EXPECT_EQ(peak.bytes, before.bytes + 1052 + 5052);
    EXPECT_GE(peak.high, peak.bytes);
    CSFreeMem(a);
    CSFreeMem(b);
    CSMemCounts after = CSMemCounters();
    EXPECT_EQ(after.blocks, before.blocks);
    EXPECT_EQ(after.bytes, before.bytes);
    EXPECT_EQ(after.allocations, before.allocations + 2);
    EXPECT_EQ(after.high, peak.high);
}

TEST(Heap, SizeWhoseTotalWouldWrapIsRefusedWithCountersUnchanged) {
    CSMemCounts before = CSMemCounters();
    EXPECT_EQ(CSGetMem(0xFFFFFFFFull), nullptr);
    EXPECT_EQ(CSGetMem(0xFFFFFFFFull - 51), nullptr);
    EXPECT_EQ(CSGetMem(1ull << 40), nullptr);
    EXPECT_EQ(CSGetMem(UINT64_MAX), nullptr);
    CSMemCounts after = CSMemCounters();
    EXPECT_EQ(after.blocks, before.blocks);
    EXPECT_EQ(after.bytes, before.bytes);
    EXPECT_EQ(after.allocations, before.allocations);
}

}  // namespace
