// The crypto layer against known answers and against OpenSSL's results
// stored in openssl_results.inc: no OpenSSL at run time, so that the same
// checks also run where OpenSSL is not at hand (the Windows build, under Wine).
#include "crypto/Aes.h"
#include "crypto/BigNum.h"
#include "crypto/Rsa.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

struct StoredAes {
    const char *key, *plain, *cipher;
};
struct StoredBn {
    const char *operation, *a, *b, *c, *result, *remainder;
};
struct StoredRsaKey {
    uint16_t bits;
    const char *n, *e, *d, *p, *q, *dp, *dq, *qinv;
};
struct StoredRsa {
    unsigned key;
    const char *input, *privateResult, *publicResult;
};

#include "tests/crypto/openssl_results.inc"

Bytes hex(const char* text)
{
    Bytes out;
    for (size_t i = 0; text[i] && text[i + 1]; i += 2)
        out.push_back(static_cast<uint8_t>(std::stoi(std::string(text + i, 2), nullptr, 16)));
    return out;
}

// Eight hexadecimal digits to a digit, least significant digit first; read
// here rather than with bnDecode, which is under test too.
std::vector<BnDigit> digits(const char* text)
{
    const size_t length = std::strlen(text);
    std::vector<BnDigit> out(length / 8);
    for (size_t i = 0; i < out.size(); ++i)
        out[i] = static_cast<BnDigit>(std::stoul(std::string(text + length - 8 * (i + 1), 8), nullptr, 16));
    return out;
}

unsigned count(const std::vector<BnDigit>& number)
{
    return static_cast<unsigned>(number.size());
}

Bytes decryptWith(const uint8_t key[16], const Bytes& input)
{
    Bytes out(input.size());
    aesDecryptWithKey(key, input.data(), static_cast<uint32_t>(input.size()), out.data());
    return out;
}

// A record field right-aligned, leading bytes zero.
template <size_t N>
void putField(uint8_t (&field)[N], const char* text)
{
    const Bytes value = hex(text);
    ASSERT_LE(value.size(), N);
    std::memset(field, 0, N);
    std::memcpy(field + N - value.size(), value.data(), value.size());
}

RsaPrivateKey record(const StoredRsaKey& stored)
{
    RsaPrivateKey key{};
    key.bits = stored.bits;
    putField(key.modulus, stored.n);
    putField(key.publicExponent, stored.e);
    putField(key.privateExponent, stored.d);
    putField(key.prime1, stored.p);
    putField(key.prime2, stored.q);
    putField(key.exponent1, stored.dp);
    putField(key.exponent2, stored.dq);
    putField(key.coefficient, stored.qinv);
    return key;
}

} // namespace

TEST(AesKnownAnswer, Fips197AppendixC1)
{
    const Bytes key = hex("000102030405060708090a0b0c0d0e0f");
    EXPECT_EQ(decryptWith(key.data(), hex("69c4e0d86a7b0430d8cdb78070b4c55a")),
              hex("00112233445566778899aabbccddeeff"));
}

TEST(AesKnownAnswer, EcbExampleVectors)
{
    // Two blocks of the ECB-AES128 example vectors for block cipher modes.
    const Bytes key = hex("2b7e151628aed2a6abf7158809cf4f3c");
    EXPECT_EQ(decryptWith(key.data(), hex("3ad77bb40d7a3660a89ecaf32466ef97f5d3d58503b9699de785895a96fdbaaf")),
              hex("6bc1bee22e409f96e93d7e117393172aae2d8a571e03ac9c9eb76fac45af8e51"));
}

TEST(AesKnownAnswer, FileKeyIsTheProgramKey)
{
    EXPECT_EQ(Bytes(FILE_KEY, FILE_KEY + 16), hex("5be10c9742d83a6f19c472ae08f365bd"));
}

TEST(OpenSslResults, AesDecryptsWhatOpenSslEncrypted)
{
    for (const StoredAes& v : kStoredAes) {
        const Bytes key = hex(v.key);
        EXPECT_EQ(decryptWith(key.data(), hex(v.cipher)), hex(v.plain)) << v.cipher;
        if (key == Bytes(FILE_KEY, FILE_KEY + 16)) {
            const Bytes cipher = hex(v.cipher);
            Bytes plain(cipher.size());
            aesDecrypt(cipher.data(), static_cast<uint32_t>(cipher.size()), plain.data());
            EXPECT_EQ(plain, hex(v.plain)) << v.cipher;
        }
    }
}

TEST(OpenSslResults, BigNumbersAgree)
{
    for (const StoredBn& v : kStoredBn) {
        const std::string operation = v.operation;
        const std::vector<BnDigit> a = digits(v.a), b = digits(v.b), c = digits(v.c), expected = digits(v.result);
        std::vector<BnDigit> result(expected.size() + 1, 0xC0FFEE11); // one digit more: must stay untouched
        if (operation == "mult") {
            bnMult(result.data(), a.data(), b.data(), count(a));
        } else if (operation == "div") {
            std::vector<BnDigit> remainder(count(b) + 1, 0xC0FFEE11);
            bnDiv(result.data(), remainder.data(), a.data(), count(a), b.data(), count(b));
            remainder.pop_back();
            EXPECT_EQ(remainder, digits(v.remainder)) << "remainder of " << v.a << " / " << v.b;
        } else if (operation == "modmult") {
            bnModMult(result.data(), a.data(), b.data(), c.data(), count(c));
        } else if (operation == "modexp") {
            bnModExp(result.data(), a.data(), b.data(), count(b), c.data(), count(c));
        } else {
            ADD_FAILURE() << "unknown operation " << operation;
            continue;
        }
        EXPECT_EQ(result.back(), 0xC0FFEE11u) << operation << " wrote past its result";
        result.pop_back();
        EXPECT_EQ(result, expected) << operation << " " << v.a << " " << v.b << " " << v.c;
    }
}

TEST(OpenSslResults, RawRsaAgrees)
{
    for (const StoredRsa& v : kStoredRsa) {
        ASSERT_LT(v.key, sizeof kStoredRsaKeys / sizeof kStoredRsaKeys[0]);
        const RsaPrivateKey key = record(kStoredRsaKeys[v.key]);
        const Bytes input = hex(v.input);
        Bytes output(kRsaMaxBytes);
        uint32_t length = 0;
        ASSERT_EQ(rsaPrivateBlock(output.data(), &length, input.data(), static_cast<uint32_t>(input.size()), &key),
                  kRsaOk);
        output.resize(length);
        EXPECT_EQ(output, hex(v.privateResult)) << key.bits << "-bit key, input " << v.input;

        RsaPublicKey pub;
        pub.bits = key.bits;
        std::memcpy(pub.modulus, key.modulus, sizeof pub.modulus);
        std::memcpy(pub.exponent, key.publicExponent, sizeof pub.exponent);
        output.assign(kRsaMaxBytes, 0);
        ASSERT_EQ(rsaPublicBlock(output.data(), &length, input.data(), static_cast<uint32_t>(input.size()), &pub),
                  kRsaOk);
        output.resize(length);
        EXPECT_EQ(output, hex(v.publicResult)) << key.bits << "-bit key, input " << v.input;
    }
}
