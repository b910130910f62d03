#include "crypto/Aes.h"
#include "tests/crypto/OpensslOracle.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <thread>

namespace {

Bytes decryptWith(const uint8_t key[16], const Bytes& input)
{
    Bytes out(input.size());
    aesDecryptWithKey(key, input.data(), static_cast<uint32_t>(input.size()), out.data());
    return out;
}

Bytes decryptFile(const Bytes& input)
{
    Bytes out(input.size());
    aesDecrypt(input.data(), static_cast<uint32_t>(input.size()), out.data());
    return out;
}

TEST(AesAgainstOpenSsl, RandomKeysAndLengths)
{
    std::mt19937_64 rng(0x5eed0001);
    for (int round = 0; round < 300; ++round) {
        const Bytes key = randomBytes(rng, 16);
        const Bytes plain = randomBytes(rng, 16 * (1 + rng() % 40));
        const Bytes cipher = opensslEncryptEcb(key.data(), plain);
        ASSERT_EQ(decryptWith(key.data(), cipher), plain) << "round " << round;
    }
}

TEST(AesAgainstOpenSsl, FileKey)
{
    std::mt19937_64 rng(0x5eed0002);
    for (int round = 0; round < 50; ++round) {
        const Bytes plain = randomBytes(rng, 16 * (1 + rng() % 64));
        ASSERT_EQ(decryptFile(opensslEncryptEcb(FILE_KEY, plain)), plain) << "round " << round;
    }
}

TEST(AesAgainstOpenSsl, SpecialBlocks)
{
    // All-zero and all-one keys and data exercise the table ends.
    for (const uint8_t keyByte : {0x00, 0xff}) {
        for (const uint8_t dataByte : {0x00, 0xff}) {
            const Bytes key(16, keyByte);
            const Bytes plain(48, dataByte);
            EXPECT_EQ(decryptWith(key.data(), opensslEncryptEcb(key.data(), plain)), plain);
        }
    }
}

TEST(AesEcb, EqualBlocksDecryptEqually)
{
    std::mt19937_64 rng(0x5eed0003);
    const Bytes block = randomBytes(rng, 16);
    Bytes input = randomBytes(rng, 64);
    std::copy(block.begin(), block.end(), input.begin());
    std::copy(block.begin(), block.end(), input.begin() + 48);
    const Bytes out = decryptFile(input);
    EXPECT_TRUE(std::equal(out.begin(), out.begin() + 16, out.begin() + 48));
    EXPECT_FALSE(std::equal(out.begin(), out.begin() + 16, out.begin() + 16));
}

TEST(AesEcb, SwappingBlocksSwapsOutput)
{
    std::mt19937_64 rng(0x5eed0004);
    const Bytes input = randomBytes(rng, 32);
    Bytes swapped(input.begin() + 16, input.end());
    swapped.insert(swapped.end(), input.begin(), input.begin() + 16);
    const Bytes out = decryptFile(input);
    const Bytes outSwapped = decryptFile(swapped);
    EXPECT_TRUE(std::equal(out.begin(), out.begin() + 16, outSwapped.begin() + 16));
    EXPECT_TRUE(std::equal(out.begin() + 16, out.end(), outSwapped.begin()));
}

TEST(AesEcb, EachBlockIsIndependent)
{
    std::mt19937_64 rng(0x5eed0005);
    const Bytes input = randomBytes(rng, 80);
    const Bytes whole = decryptFile(input);
    for (size_t offset = 0; offset < input.size(); offset += 16) {
        const Bytes single = decryptFile(Bytes(input.begin() + offset, input.begin() + offset + 16));
        EXPECT_TRUE(std::equal(single.begin(), single.end(), whole.begin() + offset)) << "offset " << offset;
    }
}

TEST(AesBuffers, InPlaceEqualsSeparateBuffers)
{
    std::mt19937_64 rng(0x5eed0006);
    const Bytes input = randomBytes(rng, 16 * 33);
    Bytes buffer = input;
    aesDecrypt(buffer.data(), static_cast<uint32_t>(buffer.size()), buffer.data());
    EXPECT_EQ(buffer, decryptFile(input));
    EXPECT_NE(buffer, input);
}

TEST(AesBuffers, TrailingPartialBlockIsNotWritten)
{
    std::mt19937_64 rng(0x5eed0007);
    const Bytes input = randomBytes(rng, 16 * 3 + 7);
    Bytes out(input.size() + 16, 0xA5);
    aesDecrypt(input.data(), static_cast<uint32_t>(input.size()), out.data());
    const Bytes whole = decryptFile(Bytes(input.begin(), input.begin() + 48));
    EXPECT_TRUE(std::equal(whole.begin(), whole.end(), out.begin()));
    EXPECT_TRUE(std::all_of(out.begin() + 48, out.end(), [](uint8_t b) { return b == 0xA5; }));
}

TEST(AesBuffers, ShortInputsWriteNothing)
{
    const Bytes input(15, 0x11);
    Bytes out(16, 0xA5);
    aesDecrypt(input.data(), 0, out.data());
    aesDecrypt(input.data(), 15, out.data());
    EXPECT_EQ(out, Bytes(16, 0xA5));
}

TEST(AesBuffers, ConcurrentCallsAreIndependent)
{
    std::mt19937_64 rng(0x5eed0008);
    const Bytes keyA = randomBytes(rng, 16);
    const Bytes keyB = randomBytes(rng, 16);
    const Bytes plain = randomBytes(rng, 16 * 256);
    const Bytes cipherA = opensslEncryptEcb(keyA.data(), plain);
    const Bytes cipherB = opensslEncryptEcb(keyB.data(), plain);
    bool okA = true;
    bool okB = true;
    std::thread a([&] {
        for (int i = 0; i < 200; ++i)
            okA = okA && decryptWith(keyA.data(), cipherA) == plain;
    });
    std::thread b([&] {
        for (int i = 0; i < 200; ++i)
            okB = okB && decryptWith(keyB.data(), cipherB) == plain;
    });
    a.join();
    b.join();
    EXPECT_TRUE(okA);
    EXPECT_TRUE(okB);
}

} // namespace
