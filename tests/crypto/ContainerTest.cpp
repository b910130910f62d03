#include "crypto/Aes.h"
#include "crypto/Container.h"
#include "tests/crypto/OpensslOracle.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

namespace {

// A container as the authoring tool writes it: length header, then the
// content filled with random bytes to whole blocks and encrypted.
Bytes makeContainer(const Bytes& content, uint32_t declaredLength, std::mt19937_64& rng)
{
    Bytes filled = content;
    const Bytes filling = randomBytes(rng, (16 - content.size() % 16) % 16);
    filled.insert(filled.end(), filling.begin(), filling.end());
    if (filled.empty())
        filled = randomBytes(rng, 16);
    const Bytes body = opensslEncryptEcb(FILE_KEY, filled);
    // Reserved first: GCC 12 at -O2 and above warns falsely (array-bounds)
    // about an insert that grows a vector built from a braced list.
    Bytes file;
    file.reserve(4 + body.size());
    for (int shift = 24; shift >= 0; shift -= 8)
        file.push_back(static_cast<uint8_t>(declaredLength >> shift));
    file.insert(file.end(), body.begin(), body.end());
    return file;
}

Bytes makeContainer(const Bytes& content, std::mt19937_64& rng)
{
    return makeContainer(content, static_cast<uint32_t>(content.size()), rng);
}

// Refusals must hold for the copying and the in-place reader alike.
void expectRefused(const Bytes& file, ContainerError expected)
{
    ContainerView view;
    EXPECT_EQ(parseContainer(file.data(), file.size(), view), expected);
    Bytes plain = {1, 2, 3};
    EXPECT_EQ(decryptContainer(file.data(), file.size(), plain), expected);
    EXPECT_TRUE(plain.empty());
    Bytes inPlace = file;
    EXPECT_EQ(decryptContainerInPlace(inPlace), expected);
    EXPECT_EQ(inPlace, file);
}

Bytes decrypted(const Bytes& file)
{
    Bytes plain;
    EXPECT_EQ(decryptContainer(file.data(), file.size(), plain), ContainerError::None);
    Bytes inPlace = file;
    EXPECT_EQ(decryptContainerInPlace(inPlace), ContainerError::None);
    EXPECT_EQ(inPlace, plain);
    return plain;
}

TEST(ContainerRefusal, ShorterThanHeader)
{
    for (size_t size = 0; size < 4; ++size) {
        // An exact-size buffer: any read past it is a fault under the sanitizers.
        expectRefused(Bytes(size, 0), ContainerError::TooShort);
    }
}

TEST(ContainerRefusal, HeaderWithoutBody)
{
    expectRefused(Bytes{0, 0, 0, 0}, ContainerError::EmptyBody);
}

TEST(ContainerRefusal, BodyNotWholeBlocks)
{
    std::mt19937_64 rng(0xc0de0001);
    for (size_t body : {1, 15, 17, 31, 33}) {
        Bytes file = {0, 0, 0, 1};
        const Bytes tail = randomBytes(rng, body);
        file.insert(file.end(), tail.begin(), tail.end());
        expectRefused(file, ContainerError::PartialBlock);
    }
}

TEST(ContainerRefusal, LengthBeyondBody)
{
    std::mt19937_64 rng(0xc0de0002);
    const Bytes content = randomBytes(rng, 32);
    expectRefused(makeContainer(content, 33, rng), ContainerError::LengthBeyondBody);
    expectRefused(makeContainer(content, 0x00010000, rng), ContainerError::LengthBeyondBody);
    expectRefused(makeContainer(content, 0xFFFFFFFF, rng), ContainerError::LengthBeyondBody);
}

TEST(ContainerRefusal, ErrorsHaveDistinctTexts)
{
    std::set<std::string> texts;
    for (ContainerError e : {ContainerError::None, ContainerError::TooShort, ContainerError::EmptyBody,
                             ContainerError::PartialBlock, ContainerError::LengthBeyondBody})
        texts.insert(containerErrorText(e));
    EXPECT_EQ(texts.size(), 5u);
}

TEST(ContainerContent, LengthsAroundBlockBoundaries)
{
    std::mt19937_64 rng(0xc0de0003);
    for (size_t length : {1, 15, 16, 17, 31, 32, 33, 1000, 4096}) {
        const Bytes content = randomBytes(rng, length);
        EXPECT_EQ(decrypted(makeContainer(content, rng)), content) << "length " << length;
    }
}

TEST(ContainerContent, LengthEqualToBody)
{
    std::mt19937_64 rng(0xc0de0004);
    const Bytes content = randomBytes(rng, 48);
    const Bytes file = makeContainer(content, rng);
    ContainerView view;
    ASSERT_EQ(parseContainer(file.data(), file.size(), view), ContainerError::None);
    EXPECT_EQ(view.plainLength, 48u);
    EXPECT_EQ(view.bodySize, 48u);
    EXPECT_EQ(view.body, file.data() + 4);
    EXPECT_EQ(decrypted(file), content);
}

TEST(ContainerContent, ZeroLengthGivesNothing)
{
    std::mt19937_64 rng(0xc0de0005);
    const Bytes file = makeContainer(randomBytes(rng, 16), 0, rng);
    EXPECT_TRUE(decrypted(file).empty());
}

TEST(ContainerContent, FillingIsDropped)
{
    // The body holds 64 bytes; only the first 20 are content.
    std::mt19937_64 rng(0xc0de0006);
    const Bytes body = randomBytes(rng, 64);
    const Bytes file = makeContainer(body, 20, rng);
    EXPECT_EQ(decrypted(file), Bytes(body.begin(), body.begin() + 20));
}

TEST(ContainerContent, HeaderIsBigEndian)
{
    // 0x00000011 read in the other byte order would exceed the body.
    std::mt19937_64 rng(0xc0de0007);
    const Bytes content = randomBytes(rng, 32);
    const Bytes file = makeContainer(content, 0x11, rng);
    EXPECT_EQ(decrypted(file), Bytes(content.begin(), content.begin() + 0x11));
}

} // namespace
