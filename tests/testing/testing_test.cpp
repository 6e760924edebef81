// The shared test helpers must themselves be right, or every golden-byte test lies.
#include "testing/testing.h"

#include <cstdlib>
#include <ctime>
#include <filesystem>

namespace {

TEST(TempDir, IsCreatedEmptyAndRemovedWithItsContents) {
    std::string path;
    {
        zt::TempDir dir;
        path = dir.path();
        EXPECT_TRUE(dir.list().empty());
        dir.write("a.txt", std::string("x\0y", 3));
        EXPECT_EQ(dir.read("a.txt"), std::string("x\0y", 3));
        EXPECT_TRUE(dir.exists("a.txt"));
        EXPECT_EQ(dir.list(), std::vector<std::string>{"a.txt"});
    }
    EXPECT_FALSE(std::filesystem::exists(path));
}

TEST(ScopedTZ, SetsLocalTimeAndRestoresThePreviousZone) {
    zt::ScopedEnv outer("TZ", "UTC0");
    {
        zt::ScopedTZ tz("CET-1CEST,M3.5.0,M10.5.0/3");
        std::time_t winter = 1736942400;  // 2025-01-15 12:00:00 UTC
        std::tm local{};
        localtime_r(&winter, &local);
        EXPECT_EQ(local.tm_hour, 13);
    }
    EXPECT_STREQ(std::getenv("TZ"), "UTC0");
}

TEST(HexDiff, IsEmptyForEqualBytesAndMarksTheDifferingLine) {
    std::vector<uint8_t> a(40, 0x11), b(40, 0x11);
    EXPECT_EQ(zt::hexDiff(a.data(), a.size(), b.data(), b.size()), "");
    b[20] = 0x22;
    std::string diff = zt::hexDiff(a.data(), a.size(), b.data(), b.size());
    EXPECT_NE(diff.find("* 00000010"), std::string::npos) << diff;
    EXPECT_NE(diff.find("  00000000"), std::string::npos) << diff;
    EXPECT_FALSE(zt::bytesEqual(a.data(), a.size(), b.data(), 39));
}

TEST(FromHex, ReadsSpacedTextAndRefusesOddDigits) {
    EXPECT_EQ(zt::fromHex("01 AB\nff"), (std::vector<uint8_t>{0x01, 0xAB, 0xFF}));
    EXPECT_THROW(zt::fromHex("123"), std::invalid_argument);
    EXPECT_THROW(zt::fromHex("zz"), std::invalid_argument);
}

}  // namespace
