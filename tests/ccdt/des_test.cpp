// The stored-credential cipher: DES against published standard vectors, and the buffer rules of
// length and of text that ends at a zero byte.
#include <cstring>

#include "ccdt/internal.h"
#include "ccdt_testing.h"

namespace {

TEST(Des, StandardVectorsEncipherAndDecipherBack) {
    struct Vector {
        const char *key, *plain, *cipher;
    } vectors[] = {
        {"133457799BBCDFF1", "0123456789ABCDEF", "85E813540F0AB405"},
        {"0101010101010101", "8000000000000000", "95F8A5E5DD31D900"},
        {"0101010101010101", "0000000000000001", "166B40B44ABA4BD6"},
        {"8001010101010101", "0000000000000000", "95A8D72813DAA94D"},
    };
    for (const Vector &v : vectors) {
        DesRoundKeys keys;
        desKeySchedule(zt::fromHex(v.key).data(), &keys);
        std::vector<uint8_t> block = zt::fromHex(v.plain);
        desEncryptBlock(&keys, block.data());
        EXPECT_EQ(block, zt::fromHex(v.cipher)) << v.key << " " << v.plain;
        desDecryptBlock(&keys, block.data());
        EXPECT_EQ(block, zt::fromHex(v.plain)) << v.key << " " << v.cipher;
    }
}

TEST(Des, BufferLengthsThatAreNotWholeBlocksAreRefused) {
    uint8_t buffer[16] = "abcdefghijklmno";
    uint8_t before[16];
    std::memcpy(before, buffer, sizeof buffer);
    EXPECT_EQ(desEncryptBuffer(buffer, 12), CCDT_RC_BAD_DATA);
    EXPECT_EQ(desDecryptBuffer(buffer, 12), CCDT_RC_BAD_DATA);
    EXPECT_EQ(desEncryptBuffer(buffer, 0), 0);
    EXPECT_EQ(desEncryptBuffer(buffer, -8), 0);
    EXPECT_EQ(0, std::memcmp(buffer, before, sizeof buffer));
    EXPECT_EQ(desEncryptBuffer(buffer, 16), 0);
    EXPECT_NE(0, std::memcmp(buffer, before, sizeof buffer));
    EXPECT_EQ(desDecryptBuffer(buffer, 16), 0);
    EXPECT_EQ(0, std::memcmp(buffer, before, sizeof buffer));
}

TEST(Des, EncipheringReadsEachBlockOnlyToItsFirstZeroByte) {
    uint8_t text[8] = {'a', 'b', 0, 'x', 'y', 'z', 'w', 'v'};
    uint8_t padded[8] = {'a', 'b', 0, 0, 0, 0, 0, 0};
    ASSERT_EQ(desEncryptBuffer(text, 8), 0);
    ASSERT_EQ(desEncryptBuffer(padded, 8), 0);
    EXPECT_EQ(0, std::memcmp(text, padded, 8));
    ASSERT_EQ(desDecryptBuffer(text, 8), 0);
    EXPECT_EQ(0, std::memcmp(text, "ab\0\0\0\0\0\0", 8));
    // Deciphering uses all eight bytes: a zero inside ciphertext is not an end.
    uint8_t cipher[8] = {1, 0, 2, 3, 4, 5, 6, 7}, copy[8];
    std::memcpy(copy, cipher, 8);
    ASSERT_EQ(desDecryptBuffer(cipher, 8), 0);
    DesRoundKeys keys;
    desKeySchedule(ccdtCipherKey, &keys);
    desEncryptBlock(&keys, cipher);
    EXPECT_EQ(0, std::memcmp(cipher, copy, 8));
}

}  // namespace
