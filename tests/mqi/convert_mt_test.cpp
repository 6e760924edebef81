// The punctuation list under threads: four threads asking for overlapping CCSIDs at once leave one
// entry per CCSID.
#include <gtest/gtest.h>

#include <thread>
#include <vector>
#include "testing/latch.h"

#include "mqi/fake_xcnvc.h"

TEST(PunctuationThreads, OverlappingCcsidsGetOneEntryEach) {
    MQIFunctionTable t = fakexcnvc::table();
    int before = MQPunctuationEntryCount();
    const uint32_t ccsids[] = {1140, 1141, 1142, 1143, 1144};
    zt::Latch start(4);
    std::vector<std::thread> threads;
    std::vector<const MQPunctuationEntry *> seen(4 * 5 * 2);
    for (int i = 0; i < 4; ++i)
        threads.emplace_back([&, i] {
            start.arrive_and_wait();
            for (int round = 0; round < 2; ++round)
                for (int k = 0; k < 5; ++k) {
                    uint32_t ccsid = ccsids[(k + i) % 5];
                    const MQPunctuationEntry *e = MQCcsidPunctuation(&t, 1, ccsid);
                    seen[static_cast<size_t>((i * 2 + round) * 5 + k)] = e;
                    ASSERT_NE(e, nullptr);
                    EXPECT_EQ(e->ccsid, ccsid);
                    EXPECT_EQ(e->chars[EV_PUNCT_QUOTE], '\'');
                }
        });
    for (auto &th : threads) th.join();
    EXPECT_EQ(MQPunctuationEntryCount(), before + 5);
    for (uint32_t ccsid : ccsids) {
        const MQPunctuationEntry *one = MQCcsidPunctuation(&t, 1, ccsid);
        for (const MQPunctuationEntry *e : seen)
            if (e && e->ccsid == ccsid) {
                EXPECT_EQ(e, one);
            }
    }
}
