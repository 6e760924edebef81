// The stored-credential cipher: DES as FIPS 46-3 defines it, one 8-byte block at a time, with the
// system's built-in key. Bit 1 of a block is the most significant bit of its first byte; the tables
// below number bits that way, as the standard prints them.
#include <cstring>

#include "ccdt/internal.h"

// The one key of every channel table file this system writes; a file written under another key
// reads back as noise. It holds no zero byte (a key is read as a text that ends at one).
const uint8_t ccdtCipherKey[8] = {0x48, 0x76, 0x37, 0x7A, 0x55, 0x6E, 0x74, 0x21};

namespace {

constexpr uint8_t kInitialPermutation[64] = {58, 50, 42, 34, 26, 18, 10, 2, 60, 52, 44, 36, 28, 20, 12, 4,
                                             62, 54, 46, 38, 30, 22, 14, 6, 64, 56, 48, 40, 32, 24, 16, 8,
                                             57, 49, 41, 33, 25, 17, 9,  1, 59, 51, 43, 35, 27, 19, 11, 3,
                                             61, 53, 45, 37, 29, 21, 13, 5, 63, 55, 47, 39, 31, 23, 15, 7};

constexpr uint8_t kFinalPermutation[64] = {40, 8, 48, 16, 56, 24, 64, 32, 39, 7, 47, 15, 55, 23, 63, 31,
                                           38, 6, 46, 14, 54, 22, 62, 30, 37, 5, 45, 13, 53, 21, 61, 29,
                                           36, 4, 44, 12, 52, 20, 60, 28, 35, 3, 43, 11, 51, 19, 59, 27,
                                           34, 2, 42, 10, 50, 18, 58, 26, 33, 1, 41, 9,  49, 17, 57, 25};

constexpr uint8_t kExpansion[48] = {32, 1,  2,  3,  4,  5,  4,  5,  6,  7,  8,  9,  8,  9,  10, 11,
                                    12, 13, 12, 13, 14, 15, 16, 17, 16, 17, 18, 19, 20, 21, 20, 21,
                                    22, 23, 24, 25, 24, 25, 26, 27, 28, 29, 28, 29, 30, 31, 32, 1};

constexpr uint8_t kPermutationP[32] = {16, 7, 20, 21, 29, 12, 28, 17, 1,  15, 23, 26, 5,  18, 31, 10,
                                       2,  8, 24, 14, 32, 27, 3,  9,  19, 13, 30, 6,  22, 11, 4,  25};

constexpr uint8_t kChoice1[56] = {57, 49, 41, 33, 25, 17, 9,  1,  58, 50, 42, 34, 26, 18, 10, 2,  59, 51, 43,
                                  35, 27, 19, 11, 3,  60, 52, 44, 36, 63, 55, 47, 39, 31, 23, 15, 7,  62, 54,
                                  46, 38, 30, 22, 14, 6,  61, 53, 45, 37, 29, 21, 13, 5,  28, 20, 12, 4};

constexpr uint8_t kChoice2[48] = {14, 17, 11, 24, 1,  5,  3,  28, 15, 6,  21, 10, 23, 19, 12, 4,
                                  26, 8,  16, 7,  27, 20, 13, 2,  41, 52, 31, 37, 47, 55, 30, 40,
                                  51, 45, 33, 48, 44, 49, 39, 56, 34, 53, 46, 42, 50, 36, 29, 32};

constexpr uint8_t kShifts[16] = {1, 1, 2, 2, 2, 2, 2, 2, 1, 2, 2, 2, 2, 2, 2, 1};

// S1 to S8, each as 4 rows of 16 columns.
constexpr uint8_t kSBoxes[8][64] = {
    {14, 4,  13, 1, 2,  15, 11, 8, 3, 10, 6, 12, 5,  9,  0,  7,  0,  15, 7,  4,  14, 2,
     13, 1,  10, 6, 12, 11, 9,  5, 3, 8,  4, 1,  14, 8,  13, 6,  2,  11, 15, 12, 9,  7,
     3,  10, 5,  0, 15, 12, 8,  2, 4, 9,  1, 7,  5,  11, 3,  14, 10, 0,  6,  13},
    {15, 1,  8,  14, 6,  11, 3,  4, 9,  7,  2, 13, 12, 0,  5,  10, 3,  13, 4,  7, 15, 2,
     8,  14, 12, 0,  1,  10, 6,  9, 11, 5,  0, 14, 7,  11, 10, 4,  13, 1,  5,  8, 12, 6,
     9,  3,  2,  15, 13, 8,  10, 1, 3,  15, 4, 2,  11, 6,  7,  12, 0,  5,  14, 9},
    {10, 0,  9,  14, 6, 3,  15, 5,  1,  13, 12, 7, 11, 4,  2,  8,  13, 7, 0,  9, 3, 4,
     6,  10, 2,  8,  5, 14, 12, 11, 15, 1,  13, 6, 4,  9,  8,  15, 3,  0, 11, 1, 2, 12,
     5,  10, 14, 7,  1, 10, 13, 0,  6,  9,  8,  7, 4,  15, 14, 3,  11, 5, 2,  12},
    {7, 13, 14, 3, 0, 6,  9, 10, 1,  2, 8,  5, 11, 12, 4,  15, 13, 8,  11, 5, 6, 15,
     0, 3,  4,  7, 2, 12, 1, 10, 14, 9, 10, 6, 9,  0,  12, 11, 7,  13, 15, 1, 3, 14,
     5, 2,  8,  4, 3, 15, 0, 6,  10, 1, 13, 8, 9,  4,  5,  11, 12, 7,  2,  14},
    {2,  12, 4, 1,  7,  10, 11, 6, 8, 5,  3, 15, 13, 0,  14, 9,  14, 11, 2,  12, 4,  7,
     13, 1,  5, 0,  15, 10, 3,  9, 8, 6,  4, 2,  1,  11, 10, 13, 7,  8,  15, 9,  12, 5,
     6,  3,  0, 14, 11, 8,  12, 7, 1, 14, 2, 13, 6,  15, 0,  9,  10, 4,  5,  3},
    {12, 1,  10, 15, 9,  2,  6, 8,  0, 13, 3,  4,  14, 7,  5, 11, 10, 15, 4, 2, 7, 12,
     9,  5,  6,  1,  13, 14, 0, 11, 3, 8,  9,  14, 15, 5,  2, 8,  12, 3,  7, 0, 4, 10,
     1,  13, 11, 6,  4,  3,  2, 12, 9, 5,  15, 10, 11, 14, 1, 7,  6,  0,  8, 13},
    {4, 11, 2,  14, 15, 0,  8,  13, 3, 12, 9,  7, 5,  10, 6,  1,  13, 0,  11, 7,  4, 9,
     1, 10, 14, 3,  5,  12, 2,  15, 8, 6,  1,  4, 11, 13, 12, 3,  7,  14, 10, 15, 6, 8,
     0, 5,  9,  2,  6,  11, 13, 8,  1, 4,  10, 7, 9,  5,  0,  15, 14, 2,  3,  12},
    {13, 2, 8,  4, 6, 15, 11, 1,  10, 9,  3, 14, 5,  0,  12, 7,  1,  15, 13, 8, 10, 3,
     7,  4, 12, 5, 6, 11, 0,  14, 9,  2,  7, 11, 4,  1,  9,  12, 14, 2,  0,  6, 10, 13,
     15, 3, 5,  8, 2, 1,  14, 7,  4,  10, 8, 13, 15, 12, 9,  0,  3,  5,  6,  11}};

// Output bit i (from the most significant) is input bit table[i], counting inputBits bits from 1
// at the most significant end.
uint64_t permute(uint64_t input, int inputBits, const uint8_t *table, int outputBits) {
    uint64_t output = 0;
    for (int i = 0; i < outputBits; i++) output = output << 1 | ((input >> (inputBits - table[i])) & 1);
    return output;
}

uint64_t loadBlock(const uint8_t block[8]) {
    uint64_t value = 0;
    for (int i = 0; i < 8; i++) value = value << 8 | block[i];
    return value;
}

void storeBlock(uint64_t value, uint8_t block[8]) {
    for (int i = 7; i >= 0; i--) {
        block[i] = static_cast<uint8_t>(value);
        value >>= 8;
    }
}

uint32_t rotate28(uint32_t half, int count) {
    return ((half << count) | (half >> (28 - count))) & 0x0FFFFFFF;
}

void cipherBlock(const DesRoundKeys *roundKeys, uint8_t block[8], bool decipher) {
    uint64_t permuted = permute(loadBlock(block), 64, kInitialPermutation, 64);
    auto left = static_cast<uint32_t>(permuted >> 32);
    auto right = static_cast<uint32_t>(permuted);
    for (int round = 0; round < 16; round++) {
        uint64_t key = roundKeys->key[decipher ? 15 - round : round];
        uint32_t next = left ^ desRoundFunction(right, key);
        left = right;
        right = next;
    }
    // The halves are swapped once more before the final permutation.
    uint64_t preOutput = static_cast<uint64_t>(right) << 32 | left;
    storeBlock(permute(preOutput, 64, kFinalPermutation, 64), block);
}

int cipherBuffer(void *buffer, int32_t length, bool decipher) {
    if (length <= 0) return CCDT_RC_OK;
    if (length % 8 != 0) return CCDT_RC_BAD_DATA;
    // Round keys of the call's own: calls may overlap.
    DesRoundKeys roundKeys;
    desKeySchedule(ccdtCipherKey, &roundKeys);
    auto *bytes = static_cast<uint8_t *>(buffer);
    for (int32_t offset = 0; offset < length; offset += 8) {
        uint8_t *block = bytes + offset;
        if (!decipher) {
            // A block is read as text: what follows its first zero byte is enciphered as zeros.
            auto *zero = static_cast<uint8_t *>(std::memchr(block, 0, 8));
            if (zero) std::memset(zero, 0, static_cast<size_t>(block + 8 - zero));
        }
        cipherBlock(&roundKeys, block, decipher);
    }
    return CCDT_RC_OK;
}

}  // namespace

void desKeySchedule(const uint8_t key[8], DesRoundKeys *roundKeys) {
    uint64_t chosen = permute(loadBlock(key), 64, kChoice1, 56);
    auto c = static_cast<uint32_t>(chosen >> 28) & 0x0FFFFFFF;
    auto d = static_cast<uint32_t>(chosen) & 0x0FFFFFFF;
    for (int round = 0; round < 16; round++) {
        c = rotate28(c, kShifts[round]);
        d = rotate28(d, kShifts[round]);
        roundKeys->key[round] = permute(static_cast<uint64_t>(c) << 28 | d, 56, kChoice2, 48);
    }
}

uint32_t desRoundFunction(uint32_t right, uint64_t roundKey) {
    uint64_t mixed = permute(right, 32, kExpansion, 48) ^ roundKey;
    uint32_t substituted = 0;
    for (int box = 0; box < 8; box++) {
        auto six = static_cast<uint32_t>(mixed >> (42 - 6 * box)) & 0x3F;
        uint32_t row = (six >> 4 & 2) | (six & 1);
        uint32_t column = six >> 1 & 0xF;
        substituted = substituted << 4 | kSBoxes[box][row * 16 + column];
    }
    return static_cast<uint32_t>(permute(substituted, 32, kPermutationP, 32));
}

void desEncryptBlock(const DesRoundKeys *roundKeys, uint8_t block[8]) {
    cipherBlock(roundKeys, block, false);
}

void desDecryptBlock(const DesRoundKeys *roundKeys, uint8_t block[8]) {
    cipherBlock(roundKeys, block, true);
}

int desEncryptBuffer(void *buffer, int32_t length) {
    return cipherBuffer(buffer, length, false);
}

int desDecryptBuffer(void *buffer, int32_t length) {
    return cipherBuffer(buffer, length, true);
}
