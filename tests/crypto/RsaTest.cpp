#include "crypto/BigNum.h"
#include "tests/crypto/OpensslOracle.h"
#include "crypto/Rsa.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <thread>

namespace {

constexpr uint8_t kUntouched = 0xA5;

// Keys are slow to generate: the first test that needs them makes a few that
// every later test shares.
const std::vector<TestKey>& keys()
{
    static const std::vector<TestKey> generated = [] {
        std::vector<TestKey> all;
        for (unsigned bits : {1024u, 1024u, 1536u, 2048u, 2048u, 2048u})
            all.push_back(generateRsaKey(bits));
        return all;
    }();
    return generated;
}

const TestKey& key2048()
{
    return keys().back();
}

struct Result {
    int status;
    Bytes output;
    uint32_t length;
};

Result privateBlock(const RsaPrivateKey& key, const Bytes& input)
{
    Result r{0, Bytes(kRsaMaxBytes, kUntouched), 0x7777};
    r.status = rsaPrivateBlock(r.output.data(), &r.length, input.data(), static_cast<uint32_t>(input.size()), &key);
    if (r.status == kRsaOk)
        r.output.resize(r.length);
    return r;
}

Result publicBlock(const RsaPrivateKey& key, const Bytes& input)
{
    RsaPublicKey pub;
    pub.bits = key.bits;
    std::memcpy(pub.modulus, key.modulus, sizeof pub.modulus);
    std::memcpy(pub.exponent, key.publicExponent, sizeof pub.exponent);
    Result r{0, Bytes(kRsaMaxBytes, kUntouched), 0x7777};
    r.status = rsaPublicBlock(r.output.data(), &r.length, input.data(), static_cast<uint32_t>(input.size()), &pub);
    if (r.status == kRsaOk)
        r.output.resize(r.length);
    return r;
}

Result operation(uint8_t code, uint8_t kind, const Bytes& input, const void* key)
{
    Bytes in = input;
    Result r{0, Bytes(kRsaMaxBytes, kUntouched), 0x7777};
    RsaData data{in.data(), static_cast<uint32_t>(in.size()), r.output.data(), 0x7777};
    r.status = rsaOperation(code, kind, &data, key);
    r.length = data.outputLength;
    if (r.status == kRsaOk)
        r.output.resize(r.length);
    return r;
}

bool untouched(const Result& r)
{
    return r.length == 0x7777 && r.output == Bytes(kRsaMaxBytes, kUntouched);
}

Bytes leftPadded(const Bytes& value, size_t length)
{
    Bytes out(length - value.size(), 0);
    out.insert(out.end(), value.begin(), value.end());
    return out;
}

Bytes modulusOf(const TestKey& key)
{
    return bnToBytes(key.n.get(), key.bytes);
}

// Inputs below the modulus: random ones and the extremes.
std::vector<Bytes> inputsFor(const TestKey& key, int randomCount)
{
    std::vector<Bytes> inputs;
    for (int i = 0; i < randomCount; ++i)
        inputs.push_back(randomBelow(key.n.get(), key.bytes));
    BnPtr nMinusOne(BN_dup(key.n.get()));
    BN_sub_word(nMinusOne.get(), 1);
    inputs.push_back(bnToBytes(nMinusOne.get(), key.bytes));
    for (uint8_t small : {0, 1, 2}) {
        Bytes value(key.bytes, 0);
        value.back() = small;
        inputs.push_back(value);
    }
    return inputs;
}

TEST(RsaRaw, PrivateMatchesOpenSsl)
{
    for (const TestKey& key : keys()) {
        for (const Bytes& input : inputsFor(key, 6)) {
            const Result ours = privateBlock(key.record, input);
            ASSERT_EQ(ours.status, kRsaOk);
            EXPECT_EQ(ours.length, key.bytes);
            ASSERT_EQ(ours.output, opensslPrivateRaw(key, input)) << key.bytes * 8 << "-bit key";
        }
    }
}

TEST(RsaRaw, PublicMatchesOpenSsl)
{
    for (const TestKey& key : keys()) {
        for (const Bytes& input : inputsFor(key, 6)) {
            const Result ours = publicBlock(key.record, input);
            ASSERT_EQ(ours.status, kRsaOk);
            ASSERT_EQ(ours.output, opensslPublicRaw(key, input)) << key.bytes * 8 << "-bit key";
        }
    }
}

TEST(RsaRaw, CrtEqualsPlainExponentiation)
{
    for (const TestKey& key : keys()) {
        if (key.bytes != kRsaMaxBytes)
            continue;
        const Bytes input = randomBelow(key.n.get(), key.bytes);
        BigNum c, n, d, m;
        bnDecode(c, kBnMaxDigits, input.data(), input.size());
        bnDecode(n, kBnMaxDigits, key.record.modulus, kRsaMaxBytes);
        bnDecode(d, kBnMaxDigits, key.record.privateExponent, kRsaMaxBytes);
        bnModExp(m, c, d, kBnMaxDigits, n, kBnMaxDigits);
        Bytes plain(kRsaMaxBytes);
        bnEncode(plain.data(), plain.size(), m, kBnMaxDigits);
        EXPECT_EQ(privateBlock(key.record, input).output, plain);
    }
}

TEST(RsaRaw, LargerSecondPrimeStillRecombines)
{
    for (const TestKey& key : keys()) {
        const RsaPrivateKey swapped = withPrimesSwapped(key);
        for (const Bytes& input : inputsFor(key, 4))
            ASSERT_EQ(privateBlock(swapped, input).output, opensslPrivateRaw(key, input)) << key.bytes * 8;
    }
}

// Inputs that are 0 modulo one prime and -1 modulo the other: the two halves
// of the Chinese remainder computation are then as far apart as they get.
std::vector<Bytes> crtCorners(const TestKey& key)
{
    const BnPtr p = bnFromBytes(Bytes(key.record.prime1, key.record.prime1 + kRsaPrimeBytes));
    const BnPtr q = bnFromBytes(Bytes(key.record.prime2, key.record.prime2 + kRsaPrimeBytes));
    std::unique_ptr<BN_CTX, void (*)(BN_CTX*)> ctx(BN_CTX_new(), BN_CTX_free);
    std::vector<Bytes> corners;
    for (const auto& [zeroMod, minusOneMod] : {std::pair(p.get(), q.get()), std::pair(q.get(), p.get())}) {
        // c = a * k with a * k = -1 (mod b), that is k = b - a^-1 mod b
        BnPtr k(BN_mod_inverse(nullptr, zeroMod, minusOneMod, ctx.get()));
        BN_sub(k.get(), minusOneMod, k.get());
        BnPtr c(BN_new());
        BN_mul(c.get(), zeroMod, k.get(), ctx.get());
        corners.push_back(bnToBytes(c.get(), key.bytes));
    }
    return corners;
}

TEST(RsaRaw, RecombinationAtTheExtremes)
{
    for (const TestKey& key : keys()) {
        const RsaPrivateKey swapped = withPrimesSwapped(key);
        for (const Bytes& input : crtCorners(key)) {
            const Bytes expected = opensslPrivateRaw(key, input);
            ASSERT_EQ(privateBlock(key.record, input).output, expected) << key.bytes * 8;
            ASSERT_EQ(privateBlock(swapped, input).output, expected) << key.bytes * 8 << ", primes swapped";
        }
    }
}

TEST(RsaRaw, ShortInputIsTheSameNumber)
{
    const TestKey& key = key2048();
    std::mt19937_64 rng(0xa11ce);
    const Bytes shortInput = randomBytes(rng, 20);
    const Bytes padded = leftPadded(shortInput, key.bytes);
    EXPECT_EQ(privateBlock(key.record, shortInput).output, opensslPrivateRaw(key, padded));
    EXPECT_EQ(publicBlock(key.record, shortInput).output, opensslPublicRaw(key, padded));

    // A 1024-bit key takes a 256-byte input with leading zeros.
    const TestKey& small = keys().front();
    const Bytes input = randomBelow(small.n.get(), small.bytes);
    const Result r = privateBlock(small.record, leftPadded(input, kRsaMaxBytes));
    EXPECT_EQ(r.length, small.bytes);
    EXPECT_EQ(r.output, opensslPrivateRaw(small, input));
}

TEST(RsaRaw, InputNotBelowModulusIsRefused)
{
    for (const TestKey& key : keys()) {
        BnPtr nPlusOne(BN_dup(key.n.get()));
        BN_add_word(nPlusOne.get(), 1);
        const Bytes above = bnToBytes(nPlusOne.get(), key.bytes);
        for (const Bytes& input : {modulusOf(key), above, Bytes(key.bytes, 0xFF)}) {
            EXPECT_TRUE(untouched(privateBlock(key.record, input)));
            EXPECT_EQ(privateBlock(key.record, input).status, kRsaDataError);
            EXPECT_EQ(publicBlock(key.record, input).status, kRsaDataError);
            EXPECT_TRUE(untouched(publicBlock(key.record, input)));
        }
        if (key.bytes < kRsaMaxBytes) {
            // Below the modulus in its low bytes, but a 256-byte value above it.
            Bytes input = leftPadded(Bytes{1}, kRsaMaxBytes);
            input[0] = 1;
            EXPECT_EQ(privateBlock(key.record, input).status, kRsaDataError);
            EXPECT_EQ(publicBlock(key.record, input).status, kRsaDataError);
        }
    }
}

TEST(RsaRaw, TooLongInputIsRefused)
{
    const Bytes input(kRsaMaxBytes + 1, 0);
    const Result r = privateBlock(key2048().record, input);
    EXPECT_EQ(r.status, kRsaLengthError);
    EXPECT_TRUE(untouched(r));
    EXPECT_EQ(publicBlock(key2048().record, input).status, kRsaLengthError);
}

TEST(RsaRaw, LeadingZeroBytesAreKept)
{
    const TestKey& key = key2048();
    Bytes block(kRsaMaxBytes, 0xFF);
    block[0] = 0x00;
    block[1] = 0x01;
    const Result signature = privateBlock(key.record, block);
    ASSERT_EQ(signature.status, kRsaOk);
    EXPECT_EQ(signature.output, opensslPrivateRaw(key, block));
    const Result back = publicBlock(key.record, signature.output);
    EXPECT_EQ(back.length, kRsaMaxBytes);
    EXPECT_EQ(back.output, block);

    // A small value comes back as 256 bytes, almost all of them zero.
    const Bytes small = leftPadded(Bytes{0x12, 0x34, 0x56}, kRsaMaxBytes);
    const Result opened = privateBlock(key.record, opensslPublicRaw(key, small));
    EXPECT_EQ(opened.length, kRsaMaxBytes);
    EXPECT_EQ(opened.output, small);
    EXPECT_EQ(publicBlock(key.record, opensslPrivateRaw(key, small)).output, small);
}

TEST(RsaRaw, ConcurrentOperationsAgree)
{
    const TestKey& key = key2048();
    const Bytes inputA = randomBelow(key.n.get(), key.bytes);
    const Bytes inputB = randomBelow(key.n.get(), key.bytes);
    const Bytes expectedA = opensslPrivateRaw(key, inputA);
    const Bytes expectedB = opensslPrivateRaw(key, inputB);
    bool okA = true;
    bool okB = true;
    std::thread a([&] {
        for (int i = 0; i < 4; ++i)
            okA = okA && privateBlock(key.record, inputA).output == expectedA;
    });
    std::thread b([&] {
        for (int i = 0; i < 4; ++i)
            okB = okB && privateBlock(key.record, inputB).output == expectedB;
    });
    a.join();
    b.join();
    EXPECT_TRUE(okA);
    EXPECT_TRUE(okB);
}

// The module state is global: every test starts and leaves it stopped.
class RsaModule : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(cryptoEnd(), 0); }
    void TearDown() override { cryptoEnd(); }

    const TestKey& key = key2048();
    Bytes input = randomBelow(key2048().n.get(), kRsaMaxBytes);
};

TEST_F(RsaModule, OperationBeforeStartIsRefused)
{
    const Result r = operation(kRsaOpRaw, kRsaKeyPrivate, input, &key.record);
    EXPECT_EQ(r.status, kRsaNotStarted);
    EXPECT_TRUE(untouched(r));
}

TEST_F(RsaModule, OnlyModeTwoStarts)
{
    for (int mode : {0, 1, 3, 4, 18, 20, 255}) {
        EXPECT_EQ(cryptoStart(static_cast<uint8_t>(mode)), kRsaBadCall) << "mode " << mode;
        EXPECT_EQ(operation(kRsaOpRaw, kRsaKeyPrivate, input, &key.record).status, kRsaNotStarted);
    }
}

TEST_F(RsaModule, StartOperateEnd)
{
    ASSERT_EQ(cryptoStart(kCryptoMode), 0);
    const Result r = operation(kRsaOpRaw, kRsaKeyPrivate, input, &key.record);
    EXPECT_EQ(r.status, kRsaOk);
    EXPECT_EQ(r.length, kRsaMaxBytes);
    EXPECT_EQ(r.output, opensslPrivateRaw(key, input));
    EXPECT_EQ(cryptoEnd(), 0);
    EXPECT_EQ(operation(kRsaOpRaw, kRsaKeyPrivate, input, &key.record).status, kRsaNotStarted);
    EXPECT_EQ(cryptoEnd(), 0);
}

TEST_F(RsaModule, RawStatusesPassThrough)
{
    ASSERT_EQ(cryptoStart(kCryptoMode), 0);
    const Result r = operation(kRsaOpRaw, kRsaKeyPrivate, modulusOf(key), &key.record);
    EXPECT_EQ(r.status, kRsaDataError);
    EXPECT_TRUE(untouched(r));
}

TEST_F(RsaModule, UnknownCombinationsAreRefused)
{
    ASSERT_EQ(cryptoStart(kCryptoMode), 0);
    const std::pair<int, int> combinations[] = {{20, 0}, {20, 1}, {20, 4}, {17, 3}, {21, 2}, {0, 0}, {255, 255}};
    for (const auto& [code, kind] : combinations) {
        const Result r = operation(static_cast<uint8_t>(code), static_cast<uint8_t>(kind), input, &key.record);
        EXPECT_EQ(r.status, kRsaBadCall) << code << "," << kind;
        EXPECT_TRUE(untouched(r));
    }
}

TEST_F(RsaModule, PublicOperationTakesEitherRecord)
{
    ASSERT_EQ(cryptoStart(kCryptoMode), 0);
    RsaPublicKey pub;
    pub.bits = key.record.bits;
    std::memcpy(pub.modulus, key.record.modulus, sizeof pub.modulus);
    std::memcpy(pub.exponent, key.record.publicExponent, sizeof pub.exponent);
    const Bytes expected = opensslPublicRaw(key, input);
    EXPECT_EQ(operation(kRsaOpRaw, kRsaKeyPublic, input, &pub).output, expected);
    EXPECT_EQ(operation(kRsaOpRaw, kRsaKeyPublic, input, &key.record).output, expected);
}

class RsaPadding : public RsaModule {
protected:
    void SetUp() override
    {
        RsaModule::SetUp();
        ASSERT_EQ(cryptoStart(kCryptoMode), 0);
    }
    std::mt19937_64 rng{0x9add};
};

TEST_F(RsaPadding, SignatureBlockMatchesOpenSslAndVerifies)
{
    for (const TestKey& k : keys()) {
        for (size_t length : {size_t(0), size_t(35), size_t(k.bytes - 11)}) {
            const Bytes data = randomBytes(rng, length);
            const Result signature = operation(kRsaOpPad, kRsaKeyPrivate, data, &k.record);
            ASSERT_EQ(signature.status, kRsaOk);
            EXPECT_EQ(signature.output, opensslSignType1(k, data));
            const Result verified = operation(kRsaOpUnpad, kRsaKeyPublic, signature.output, &k.record);
            ASSERT_EQ(verified.status, kRsaOk);
            EXPECT_EQ(verified.output, data);
        }
    }
}

TEST_F(RsaPadding, EncryptionRoundTripsBothWays)
{
    for (const TestKey& k : keys()) {
        const Bytes data = randomBytes(rng, 48);
        const Result sealed = operation(kRsaOpPad, kRsaKeyPublic, data, &k.record);
        ASSERT_EQ(sealed.status, kRsaOk);
        EXPECT_EQ(sealed.length, k.bytes);
        EXPECT_EQ(operation(kRsaOpUnpad, kRsaKeyPrivate, sealed.output, &k.record).output, data);
        EXPECT_EQ(opensslDecryptType2(k, sealed.output), data);

        const Result opened = operation(kRsaOpUnpad, kRsaKeyPrivate, opensslEncryptType2(k, data), &k.record);
        ASSERT_EQ(opened.status, kRsaOk);
        EXPECT_EQ(opened.output, data);
    }
}

TEST_F(RsaPadding, EncryptionBlockHasRandomNonZeroFilling)
{
    const Bytes data = randomBytes(rng, 16);
    const Result first = operation(kRsaOpPad, kRsaKeyPublic, data, &key.record);
    const Result second = operation(kRsaOpPad, kRsaKeyPublic, data, &key.record);
    ASSERT_EQ(first.status, kRsaOk);
    EXPECT_NE(first.output, second.output);

    const Result block = operation(kRsaOpRaw, kRsaKeyPrivate, first.output, &key.record);
    ASSERT_EQ(block.status, kRsaOk);
    const size_t separator = kRsaMaxBytes - data.size() - 1;
    EXPECT_EQ(block.output[0], 0x00);
    EXPECT_EQ(block.output[1], 0x02);
    EXPECT_TRUE(
        std::none_of(block.output.begin() + 2, block.output.begin() + separator, [](uint8_t b) { return b == 0; }));
    EXPECT_EQ(block.output[separator], 0x00);
    EXPECT_TRUE(std::equal(data.begin(), data.end(), block.output.begin() + separator + 1));
}

TEST_F(RsaPadding, DataTooLongIsRefused)
{
    for (uint8_t kind : {kRsaKeyPrivate, kRsaKeyPublic}) {
        const Result r = operation(kRsaOpPad, kind, Bytes(kRsaMaxBytes - 10, 0x42), &key.record);
        EXPECT_EQ(r.status, kRsaLengthError);
        EXPECT_TRUE(untouched(r));
    }
}

TEST_F(RsaPadding, BlockOfWrongLengthIsRefused)
{
    const Bytes shortBlock(kRsaMaxBytes - 1, 0x01);
    EXPECT_EQ(operation(kRsaOpUnpad, kRsaKeyPublic, shortBlock, &key.record).status, kRsaLengthError);
    EXPECT_EQ(operation(kRsaOpUnpad, kRsaKeyPrivate, shortBlock, &key.record).status, kRsaLengthError);
}

// Blocks that look almost like a padded block: each must be refused.
std::vector<Bytes> malformedBlocks(uint8_t type)
{
    const uint8_t fill = type == 1 ? 0xFF : 0x5C;
    auto block = [&](size_t fillingLength) {
        // Sized first (GCC 12 warns falsely about growing a braced-list vector).
        Bytes b(kRsaMaxBytes, 0x33);
        b[0] = 0x00;
        b[1] = type;
        std::fill_n(b.begin() + 2, fillingLength, fill);
        b[2 + fillingLength] = 0x00;
        return b;
    };
    std::vector<Bytes> blocks;
    Bytes wrongType = block(20);
    wrongType[1] = type == 1 ? 2 : 1;
    blocks.push_back(wrongType);
    Bytes leadingByte = block(20);
    leadingByte[0] = 0x01;
    blocks.push_back(leadingByte);
    blocks.push_back(block(7)); // filling too short
    Bytes noSeparator(kRsaMaxBytes, fill);
    noSeparator[0] = 0x00;
    noSeparator[1] = type;
    blocks.push_back(noSeparator);
    if (type == 1) {
        Bytes notAllFF = block(20);
        notAllFF[10] = 0xFE;
        blocks.push_back(notAllFF);
    }
    return blocks;
}

// Each malformed block is put through the raw operation of one key, then
// handed to the unpadding operation of the other.
void expectAllRefused(uint8_t type, uint8_t makingKind, uint8_t openingKind, const RsaPrivateKey& key)
{
    for (const Bytes& bad : malformedBlocks(type)) {
        const Result made = operation(kRsaOpRaw, makingKind, bad, &key);
        ASSERT_EQ(made.status, kRsaOk);
        const Result r = operation(kRsaOpUnpad, openingKind, made.output, &key);
        EXPECT_EQ(r.status, kRsaDataError);
        EXPECT_TRUE(untouched(r));
    }
}

TEST_F(RsaPadding, BadSignatureBlockIsRefused)
{
    expectAllRefused(1, kRsaKeyPrivate, kRsaKeyPublic, key.record);
}

TEST_F(RsaPadding, BadEncryptionBlockIsRefused)
{
    expectAllRefused(2, kRsaKeyPublic, kRsaKeyPrivate, key.record);
}

} // namespace
