// The crypto layer and the file container against literal known answers and
// OpenSSL's answers stored in openssl_results.inc: no OpenSSL at run time, so
// that these also run in the Windows build (under Wine).
#include "crypto/Container.h"
#include "tests/crypto/Checks.h"

#include <algorithm>
#include <tuple>

namespace {

const char* const kStored[][6] = {
#include "tests/crypto/openssl_results.inc"
};

Bytes container(uint32_t length, const Bytes& body)
{
    return Bytes{uint8_t(length >> 24), uint8_t(length >> 16), uint8_t(length >> 8), uint8_t(length)} + body;
}

TEST(AesKnownAnswer, Fips197)
{
    const std::string key = "000102030405060708090a0b0c0d0e0f", cipher = "69c4e0d86a7b0430d8cdb78070b4c55a";
    check({"aes", key, cipher, "", "00112233445566778899aabbccddeeff", ""});
    EXPECT_EQ(Bytes(FILE_KEY, FILE_KEY + 16), kFileKey);
    // Only whole blocks are read and written.
    Bytes out(24, 0xA5), none(16, 0xA5);
    aesDecryptWithKey(hex(key).data(), hex(cipher + "01010101010101").data(), 23, out.data());
    aesDecryptWithKey(hex(key).data(), hex(cipher).data(), 15, none.data());
    EXPECT_EQ(out + none, hex("00112233445566778899aabbccddeeff") + Bytes(24, 0xA5));
}

TEST(OpenSslResults, AesBigNumbersAndRawRsaAgree)
{
    for (const auto& q : kStored)
        check({q[0], q[1], q[2], q[3], q[4], q[5]});
}

TEST(Container, RefusalsLeaveEverythingAsItWas)
{
    const std::pair<Bytes, ContainerError> cases[] = {{{}, ContainerError::TooShort},
                                                      {{0, 0, 0}, ContainerError::TooShort},
                                                      {container(0, {}), ContainerError::EmptyBody},
                                                      {container(1, Bytes(1)), ContainerError::PartialBlock},
                                                      {container(1, Bytes(17)), ContainerError::PartialBlock},
                                                      {container(1, Bytes(31)), ContainerError::PartialBlock},
                                                      {container(33, Bytes(32)), ContainerError::LengthBeyondBody},
                                                      {container(0x10000, Bytes(32)), ContainerError::LengthBeyondBody},
                                                      {container(~0u, Bytes(32)), ContainerError::LengthBeyondBody}};
    for (const auto& [file, error] : cases) {
        ContainerView view;
        Bytes plain = {1, 2, 3}, inPlace = file;
        uint8_t header[4] = {};
        uint32_t length = 7;
        std::copy_n(file.begin(), std::min<size_t>(4, file.size()), header);
        EXPECT_EQ(std::tuple(parseContainer(file.data(), file.size(), view),
                             decryptContainer(file.data(), file.size(), plain), decryptContainerInPlace(inPlace),
                             file.size() < 4 ? error : checkContainerHeader(header, file.size(), length)),
                  std::tuple(error, error, error, error))
            << file.size() << " bytes";
        EXPECT_EQ(std::pair(plain, inPlace), std::pair(Bytes(), file));
    }
}

TEST(Container, ContentIsTheFirstLengthBytesOfTheBody)
{
    int used = 0; // stored results under FILE_KEY
    for (const auto& q : kStored) {
        const Bytes cipher = hex(q[2]), plain = hex(q[4]);
        if (q[0] != std::string("aes") || hex(q[1]) != kFileKey)
            continue;
        ++used;
        for (const uint32_t length : {0u, 1u, 15u, 16u, 17u, uint32_t(plain.size())}) {
            Bytes file = container(length, cipher), out;
            const uint8_t header[4] = {file[0], file[1], file[2], file[3]};
            uint32_t headerLength = 0;
            EXPECT_EQ(checkContainerHeader(header, file.size(), headerLength), ContainerError::None);
            EXPECT_EQ(decryptContainer(file.data(), file.size(), out), ContainerError::None);
            EXPECT_EQ(decryptContainerInPlace(file), ContainerError::None);
            EXPECT_EQ(std::tuple(headerLength, out, file),
                      std::tuple(length, Bytes(plain.begin(), plain.begin() + length), out));
        }
    }
    EXPECT_GE(used, 1) << "no stored result under FILE_KEY: no container was checked";
}

} // namespace
