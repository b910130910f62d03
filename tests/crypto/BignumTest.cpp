#include "crypto/BigNum.h"
#include "tests/crypto/OpensslOracle.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

namespace {

constexpr unsigned kDouble = 2 * kBnMaxDigits;
constexpr BnDigit kCanary = 0xC0FFEE11;

struct BnCtxDeleter {
    void operator()(BN_CTX* ctx) const { BN_CTX_free(ctx); }
};

class BignumTest : public ::testing::Test {
protected:
    // Digits drawn to hit the edges of the arithmetic: zero, all ones, a lone
    // top bit, one, or anything.
    BnDigit digit()
    {
        switch (rng_() % 8) {
        case 0: return 0;
        case 1: return 0xFFFFFFFF;
        case 2: return 0x80000000;
        case 3: return 1;
        default: return static_cast<BnDigit>(rng_());
        }
    }

    // `capacity` digits of which exactly `significant` are significant.
    void fill(BnDigit* a, unsigned capacity, unsigned significant)
    {
        for (unsigned i = 0; i < capacity; ++i)
            a[i] = i < significant ? digit() : 0;
        if (significant > 0 && a[significant - 1] == 0)
            a[significant - 1] = static_cast<BnDigit>(rng_()) | 1;
    }

    unsigned upTo(unsigned limit) { return static_cast<unsigned>(rng_() % (limit + 1)); }
    unsigned between(unsigned low, unsigned high) { return low + upTo(high - low); }

    static std::string hexOf(const BIGNUM* bn)
    {
        char* text = BN_bn2hex(bn);
        std::string out = text ? text : "?";
        OPENSSL_free(text);
        return out;
    }

    static ::testing::AssertionResult same(const BnDigit* ours, unsigned count, const BIGNUM* expected)
    {
        const BnPtr value = toBn(ours, count);
        if (BN_cmp(value.get(), expected) == 0)
            return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure() << "got " << hexOf(value.get()) << " expected " << hexOf(expected);
    }

    std::mt19937_64 rng_{0xb16b00b5};
    std::unique_ptr<BN_CTX, BnCtxDeleter> ctx_{BN_CTX_new()};
};

TEST_F(BignumTest, DigitMultGivesHighAndLow)
{
    BnDigit r[2];
    digitMult(r, 0xFFFFFFFF, 0xFFFFFFFF);
    EXPECT_EQ(r[1], 0xFFFFFFFEu);
    EXPECT_EQ(r[0], 0x00000001u);
    digitMult(r, 0x12345678, 0x10);
    EXPECT_EQ(r[1], 0x1u);
    EXPECT_EQ(r[0], 0x23456780u);
}

TEST_F(BignumTest, DigitsAndCompare)
{
    BnDigit a[4] = {5, 0, 7, 0};
    BnDigit b[4] = {6, 0, 7, 0};
    EXPECT_EQ(bnDigits(a, 4), 3u);
    EXPECT_EQ(bnDigits(a, 2), 1u);
    const BnDigit zero[3] = {};
    EXPECT_EQ(bnDigits(zero, 3), 0u);
    EXPECT_EQ(bnCompare(a, b, 4), -1);
    EXPECT_EQ(bnCompare(b, a, 4), 1);
    EXPECT_EQ(bnCompare(a, a, 4), 0);
    b[3] = 0;
    b[0] = 5;
    b[2] = 6;
    EXPECT_EQ(bnCompare(a, b, 4), 1); // the higher digit decides
}

TEST_F(BignumTest, DecodeTakesBytesFromTheEnd)
{
    const Bytes bytes = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07};
    BnDigit a[4] = {kCanary, kCanary, kCanary, kCanary};
    bnDecode(a, 3, bytes.data(), bytes.size());
    EXPECT_EQ(a[0], 0x04050607u);
    EXPECT_EQ(a[1], 0x00010203u);
    EXPECT_EQ(a[2], 0u);
    EXPECT_EQ(a[3], kCanary);

    // A string longer than the digits: only the low-order bytes are taken.
    BnDigit b[2] = {kCanary, kCanary};
    bnDecode(b, 1, bytes.data(), bytes.size());
    EXPECT_EQ(b[0], 0x04050607u);
    EXPECT_EQ(b[1], kCanary);
}

TEST_F(BignumTest, EncodePadsAndDrops)
{
    const BnDigit a[3] = {0x04050607, 0x00010203, 0};
    Bytes wide(12, 0xAA);
    bnEncode(wide.data(), wide.size(), a, 3);
    EXPECT_EQ(wide, (Bytes{0, 0, 0, 0, 0, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07}));

    Bytes longer(10, 0xAA);
    bnEncode(longer.data(), longer.size(), a, 2);
    EXPECT_EQ(longer, (Bytes{0, 0, 0, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07}));

    Bytes narrow(3, 0xAA);
    bnEncode(narrow.data(), narrow.size(), a, 3);
    EXPECT_EQ(narrow, (Bytes{0x05, 0x06, 0x07}));
}

TEST_F(BignumTest, EncodeDecodeRoundTripAgainstOpenSsl)
{
    for (int round = 0; round < 200; ++round) {
        const size_t length = upTo(260);
        const Bytes bytes = randomBytes(rng_, length);
        BigNum a;
        bnDecode(a, kBnMaxDigits, bytes.data(), length);
        ASSERT_TRUE(same(a, kBnMaxDigits, bnFromBytes(bytes).get()));
        Bytes back(length);
        bnEncode(back.data(), length, a, kBnMaxDigits);
        EXPECT_EQ(back, bytes);
    }
}

TEST_F(BignumTest, AddAndSubMatchOpenSsl)
{
    for (int round = 0; round < 300; ++round) {
        const unsigned n = between(1, kBnMaxDigits);
        BigNum b, c, sum, diff;
        fill(b, n, upTo(n));
        fill(c, n, upTo(n));
        const BnPtr bb = toBn(b, n);
        const BnPtr cc = toBn(c, n);

        const BnDigit carry = bnAdd(sum, b, c, n);
        BnPtr expected(BN_new());
        BN_add(expected.get(), bb.get(), cc.get());
        BnDigit withCarry[kBnMaxDigits + 1];
        std::copy(sum, sum + n, withCarry);
        withCarry[n] = carry;
        ASSERT_TRUE(same(withCarry, n + 1, expected.get())) << "add, round " << round;

        // b - c, with the borrow standing for 2^(32n).
        const BnDigit borrow = bnSub(diff, b, c, n);
        EXPECT_EQ(borrow, BN_cmp(bb.get(), cc.get()) < 0 ? 1u : 0u);
        BnPtr back(BN_new());
        BN_add(back.get(), toBn(diff, n).get(), cc.get());
        BN_mask_bits(back.get(), static_cast<int>(32 * n));
        ASSERT_EQ(BN_cmp(back.get(), bb.get()), 0) << "sub, round " << round;
    }
}

TEST_F(BignumTest, AddAndSubMayWriteIntoAnOperand)
{
    BnDigit a[2] = {0xFFFFFFFF, 1};
    const BnDigit one[2] = {1, 0};
    EXPECT_EQ(bnAdd(a, a, one, 2), 0u);
    EXPECT_EQ(a[0], 0u);
    EXPECT_EQ(a[1], 2u);
    EXPECT_EQ(bnSub(a, a, one, 2), 0u);
    EXPECT_EQ(a[0], 0xFFFFFFFFu);
    EXPECT_EQ(a[1], 1u);
    EXPECT_EQ(bnSub(a, one, a, 2), 1u);
}

TEST_F(BignumTest, MultMatchesOpenSsl)
{
    for (int round = 0; round < 400; ++round) {
        const unsigned n = between(1, kBnMaxDigits);
        BigNum b, c;
        fill(b, n, upTo(n));
        fill(c, n, upTo(n));
        BnDigit a[kDouble + 1];
        a[2 * n] = kCanary;
        bnMult(a, b, c, n);
        BnPtr expected(BN_new());
        BN_mul(expected.get(), toBn(b, n).get(), toBn(c, n).get(), ctx_.get());
        ASSERT_TRUE(same(a, 2 * n, expected.get())) << "round " << round << ", n " << n;
        EXPECT_EQ(a[2 * n], kCanary);
    }
}

TEST_F(BignumTest, MultMayWriteIntoAnOperand)
{
    for (int round = 0; round < 50; ++round) {
        const unsigned n = between(1, kBnMaxDigits);
        BnDigit b[kDouble];
        BigNum c;
        fill(b, n, n);
        fill(c, n, n);
        BnPtr expected(BN_new());
        BN_mul(expected.get(), toBn(b, n).get(), toBn(c, n).get(), ctx_.get());
        bnMult(b, b, c, n);
        ASSERT_TRUE(same(b, 2 * n, expected.get())) << "round " << round;
    }
}

TEST_F(BignumTest, DivMatchesOpenSsl)
{
    for (int round = 0; round < 1500; ++round) {
        const unsigned cDigits = between(1, kDouble);
        const unsigned dDigits = between(1, kBnMaxDigits);
        BnDigit c[kDouble];
        BigNum d;
        fill(c, cDigits, upTo(cDigits));
        fill(d, dDigits, between(1, dDigits));
        BnDigit q[kDouble + 1];
        BnDigit r[kBnMaxDigits + 1];
        q[cDigits] = kCanary;
        r[dDigits] = kCanary;
        bnDiv(q, r, c, cDigits, d, dDigits);

        BnPtr eq(BN_new());
        BnPtr er(BN_new());
        BN_div(eq.get(), er.get(), toBn(c, cDigits).get(), toBn(d, dDigits).get(), ctx_.get());
        ASSERT_TRUE(same(q, cDigits, eq.get())) << "quotient, round " << round;
        ASSERT_TRUE(same(r, dDigits, er.get())) << "remainder, round " << round;
        EXPECT_EQ(q[cDigits], kCanary);
        EXPECT_EQ(r[dDigits], kCanary);

        BigNum modOnly;
        bnMod(modOnly, c, cDigits, d, dDigits);
        ASSERT_TRUE(same(modOnly, dDigits, er.get())) << "bnMod, round " << round;
    }
}

TEST_F(BignumTest, DivAtQuotientDigitExtremes)
{
    // Divisors whose top digit is all ones (the estimate is then the window's
    // top digit), already normalised, or a single small digit; dividends that
    // make every quotient digit all ones or leave a remainder of d - 1.
    const BnDigit tops[] = {0xFFFFFFFF, 0x80000000, 0x80000001, 1, 3, 0x7FFFFFFF};
    for (const BnDigit top : tops) {
        for (unsigned dd = 1; dd <= 8; ++dd) {
            BigNum d = {};
            for (unsigned i = 0; i + 1 < dd; ++i)
                d[i] = digit();
            d[dd - 1] = top;
            const BnPtr dBn = toBn(d, dd);

            for (int shape = 0; shape < 3; ++shape) {
                // c = d * m + k
                BnPtr m(BN_new());
                BnPtr k(BN_new());
                if (shape == 0) { // all-ones quotient, remainder d - 1
                    BN_set_bit(m.get(), 32 * 6);
                    BN_sub_word(m.get(), 1);
                    BN_sub(k.get(), dBn.get(), BN_value_one());
                } else if (shape == 1) { // exact multiple
                    BN_rand(m.get(), 32 * 5, BN_RAND_TOP_ANY, BN_RAND_BOTTOM_ANY);
                    BN_zero(k.get());
                } else { // c just below a power of two
                    BN_zero(m.get());
                    BN_set_bit(k.get(), 32 * (dd + 4));
                    BN_sub_word(k.get(), 1);
                }
                BnPtr c(BN_new());
                BN_mul(c.get(), dBn.get(), m.get(), ctx_.get());
                BN_add(c.get(), c.get(), k.get());
                const unsigned cDigits = static_cast<unsigned>((BN_num_bits(c.get()) + 31) / 32) + 1;
                BnDigit cd[kDouble] = {};
                fromBn(c.get(), cd, cDigits);

                BnDigit q[kDouble];
                BigNum r;
                bnDiv(q, r, cd, cDigits, d, dd);
                BnPtr eq(BN_new());
                BnPtr er(BN_new());
                BN_div(eq.get(), er.get(), c.get(), dBn.get(), ctx_.get());
                ASSERT_TRUE(same(q, cDigits, eq.get())) << "top " << top << " dd " << dd << " shape " << shape;
                ASSERT_TRUE(same(r, dd, er.get())) << "top " << top << " dd " << dd << " shape " << shape;
            }
        }
    }
}

TEST_F(BignumTest, DivBySparseDivisor)
{
    // 0x7FFFFFFF'80000000'00000000'00000000 / 0x80000000'00000000'00000001:
    // the top digits of dividend and divisor suggest 0xFFFFFFFF, but the low
    // one of the divisor makes the true quotient digit one less.
    const BnDigit c[4] = {0, 0, 0x80000000, 0x7FFFFFFF};
    BigNum d = {1, 0, 0x80000000};
    BnDigit q[4];
    BigNum r;
    bnDiv(q, r, c, 4, d, 3);
    EXPECT_EQ(q[0], 0xFFFFFFFEu);
    EXPECT_EQ(q[1], 0u);
    EXPECT_EQ(r[0], 2u);
    EXPECT_EQ(r[1], 0xFFFFFFFFu);
    EXPECT_EQ(r[2], 0x7FFFFFFFu);

    // The same shape at RSA sizes: a divisor whose digits under the top one
    // are zero but the lowest, and a dividend whose top digits equal it.
    for (const unsigned dd : {32u, 64u}) {
        BigNum big = {};
        big[0] = 1;
        big[dd - 1] = 0x80000000;
        BnDigit wide[kDouble] = {};
        wide[2 * dd - 2] = 0x80000000;
        wide[2 * dd - 1] = 0x7FFFFFFF;
        BnDigit quotient[kDouble];
        BigNum remainder;
        bnDiv(quotient, remainder, wide, 2 * dd, big, dd);
        BnPtr eq(BN_new());
        BnPtr er(BN_new());
        BN_div(eq.get(), er.get(), toBn(wide, 2 * dd).get(), toBn(big, dd).get(), ctx_.get());
        EXPECT_TRUE(same(quotient, 2 * dd, eq.get())) << dd << " digits";
        EXPECT_TRUE(same(remainder, dd, er.get())) << dd << " digits";
    }
}

TEST_F(BignumTest, DivByLongerDivisorGivesZeroAndDividend)
{
    BnDigit c[3] = {0x11111111, 0x22222222, 0x33333333};
    BigNum d = {};
    fill(d, 6, 6);
    BnDigit q[3] = {kCanary, kCanary, kCanary};
    BnDigit r[6];
    std::fill(r, r + 6, kCanary);
    bnDiv(q, r, c, 3, d, 6);
    EXPECT_EQ(bnDigits(q, 3), 0u);
    EXPECT_EQ(r[0], c[0]);
    EXPECT_EQ(r[1], c[1]);
    EXPECT_EQ(r[2], c[2]);
    EXPECT_EQ(bnDigits(r + 3, 3), 0u);
}

TEST_F(BignumTest, DivByZeroWritesNothing)
{
    BnDigit c[4] = {1, 2, 3, 4};
    const BnDigit d[4] = {};
    BnDigit q[4] = {kCanary, kCanary, kCanary, kCanary};
    BnDigit r[4] = {kCanary, kCanary, kCanary, kCanary};
    bnDiv(q, r, c, 4, d, 4);
    bnMod(r, c, 4, d, 4);
    for (unsigned i = 0; i < 4; ++i) {
        EXPECT_EQ(q[i], kCanary);
        EXPECT_EQ(r[i], kCanary);
    }
}

TEST_F(BignumTest, ModMultMatchesOpenSsl)
{
    for (int round = 0; round < 300; ++round) {
        const unsigned n = between(1, kBnMaxDigits);
        BigNum b, c, d, a;
        fill(d, n, between(1, n));
        fill(b, n, upTo(n));
        fill(c, n, upTo(n));
        bnModMult(a, b, c, d, n);
        BnPtr expected(BN_new());
        BN_mod_mul(expected.get(), toBn(b, n).get(), toBn(c, n).get(), toBn(d, n).get(), ctx_.get());
        ASSERT_TRUE(same(a, n, expected.get())) << "round " << round;
    }
}

TEST_F(BignumTest, ModExpMatchesOpenSsl)
{
    for (int round = 0; round < 60; ++round) {
        // Mostly small moduli, some at full width; exponents of any length.
        const unsigned dDigits = round % 6 == 0 ? kBnMaxDigits : between(1, 24);
        const unsigned cDigits = round % 6 == 0 ? between(1, 4) : between(1, kBnMaxDigits);
        BigNum b, c, d, a;
        fill(d, dDigits, between(1, dDigits));
        fill(b, dDigits, upTo(dDigits));
        fill(c, cDigits, upTo(cDigits));
        if (bnDigits(d, dDigits) == 1 && d[0] == 1)
            d[0] = 3; // modulo 1 the convention for exponent 0 differs
        bnModExp(a, b, c, cDigits, d, dDigits);
        BnPtr expected(BN_new());
        BN_mod_exp(expected.get(), toBn(b, dDigits).get(), toBn(c, cDigits).get(), toBn(d, dDigits).get(), ctx_.get());
        ASSERT_TRUE(same(a, dDigits, expected.get())) << "round " << round;
    }
}

TEST_F(BignumTest, ModExpSmallExponents)
{
    // Exponents 0..17 cover every 2-bit group at the top of the exponent.
    BigNum b, d;
    fill(d, 8, 8);
    fill(b, 8, 8);
    for (BnDigit e = 0; e < 18; ++e) {
        const BnDigit c[2] = {e, 0};
        BigNum a;
        bnModExp(a, b, c, 2, d, 8);
        BnPtr expected(BN_new());
        BnPtr eBn(BN_new());
        BN_set_word(eBn.get(), e);
        BN_mod_exp(expected.get(), toBn(b, 8).get(), eBn.get(), toBn(d, 8).get(), ctx_.get());
        ASSERT_TRUE(same(a, 8, expected.get())) << "exponent " << e;
    }
}

TEST_F(BignumTest, ModExpZeroGivesOneAndOneGivesResidue)
{
    BigNum b, d;
    fill(d, 10, 7);
    fill(b, 10, 10); // larger than d
    BigNum a;
    std::fill(a, a + kBnMaxDigits, kCanary);
    const BnDigit zero[3] = {};
    bnModExp(a, b, zero, 3, d, 10);
    EXPECT_EQ(a[0], 1u);
    EXPECT_EQ(bnDigits(a + 1, 9), 0u);
    EXPECT_EQ(a[10], kCanary);

    const BnDigit one[3] = {1, 0, 0};
    bnModExp(a, b, one, 3, d, 10);
    BigNum residue;
    bnMod(residue, b, 10, d, 10);
    EXPECT_EQ(bnCompare(a, residue, 10), 0);
    BnPtr expected(BN_new());
    BN_mod(expected.get(), toBn(b, 10).get(), toBn(d, 10).get(), ctx_.get());
    EXPECT_TRUE(same(a, 10, expected.get()));
}

} // namespace
