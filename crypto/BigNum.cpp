// Schoolbook arithmetic on 32-bit digits with 64-bit intermediate products.
//
// The operations work over the significant digits of their operands only:
// a 1024-bit prime held in a 65-digit array costs 32 digits of work, not 65.
#include "crypto/BigNum.h"

#include <cstring>

namespace {

constexpr unsigned kDigitBits = 32;
constexpr unsigned kScratchDigits = 2 * kBnMaxDigits; // double-length products

inline BnDigit lowDigit(uint64_t x)
{
    return static_cast<BnDigit>(x);
}

inline BnDigit highDigit(uint64_t x)
{
    return static_cast<BnDigit>(x >> kDigitBits);
}

inline void clear(BnDigit* a, unsigned digits)
{
    if (digits)
        std::memset(a, 0, digits * sizeof(BnDigit));
}

inline void copy(BnDigit* a, const BnDigit* b, unsigned digits)
{
    if (digits)
        std::memmove(a, b, digits * sizeof(BnDigit));
}

unsigned bitLength(BnDigit x)
{
    unsigned bits = 0;
    for (; x; x >>= 1)
        ++bits;
    return bits;
}

// a = b << bits over `digits` digits (0 <= bits < 32); returns the bits
// shifted out of the top digit.
BnDigit shiftLeft(BnDigit* a, const BnDigit* b, unsigned digits, unsigned bits)
{
    if (bits == 0) {
        copy(a, b, digits);
        return 0;
    }
    BnDigit carry = 0;
    for (unsigned i = 0; i < digits; ++i) {
        const BnDigit digit = b[i];
        a[i] = (digit << bits) | carry;
        carry = digit >> (kDigitBits - bits);
    }
    return carry;
}

// a = b >> bits over `digits` digits (0 <= bits < 32), zero coming in at the top.
void shiftRight(BnDigit* a, const BnDigit* b, unsigned digits, unsigned bits)
{
    if (bits == 0) {
        copy(a, b, digits);
        return;
    }
    for (unsigned i = 0; i < digits; ++i) {
        const BnDigit above = i + 1 < digits ? b[i + 1] << (kDigitBits - bits) : 0;
        a[i] = (b[i] >> bits) | above;
    }
}

// out (bDigits + cDigits digits) = b * c; out must not overlap b or c.
void multiply(BnDigit* out, const BnDigit* b, unsigned bDigits, const BnDigit* c, unsigned cDigits)
{
    clear(out, bDigits + cDigits);
    for (unsigned i = 0; i < bDigits; ++i) {
        const uint64_t bi = b[i];
        if (bi == 0)
            continue;
        uint64_t carry = 0;
        for (unsigned j = 0; j < cDigits; ++j) {
            const uint64_t sum = bi * c[j] + out[i + j] + carry; // cannot overflow 64 bits
            out[i + j] = lowDigit(sum);
            carry = highDigit(sum);
        }
        out[i + cDigits] = lowDigit(carry);
    }
}

// out (2n digits) = b * b; each cross product is computed once and doubled.
void square(BnDigit* out, const BnDigit* b, unsigned n)
{
    clear(out, 2 * n);
    for (unsigned i = 0; i + 1 < n; ++i) {
        const uint64_t bi = b[i];
        if (bi == 0)
            continue;
        uint64_t carry = 0;
        for (unsigned j = i + 1; j < n; ++j) {
            const uint64_t sum = bi * b[j] + out[i + j] + carry;
            out[i + j] = lowDigit(sum);
            carry = highDigit(sum);
        }
        out[i + n] = lowDigit(carry);
    }
    shiftLeft(out, out, 2 * n, 1);
    uint64_t carry = 0;
    for (unsigned i = 0; i < n; ++i) {
        const uint64_t low = uint64_t(b[i]) * b[i] + out[2 * i] + carry;
        out[2 * i] = lowDigit(low);
        const uint64_t high = uint64_t(out[2 * i + 1]) + highDigit(low);
        out[2 * i + 1] = lowDigit(high);
        carry = highDigit(high);
    }
}

// A divisor prepared once for any number of divisions: shifted left until the
// top bit of its top digit is set, which keeps every quotient digit estimate
// within a few units of the true digit.
class Divisor {
public:
    Divisor(const BnDigit* d, unsigned dDigits)
    {
        digits_ = bnDigits(d, dDigits);
        if (digits_ == 0)
            return;
        shift_ = kDigitBits - bitLength(d[digits_ - 1]);
        shiftLeft(normalised_, d, digits_, shift_);
        top_ = normalised_[digits_ - 1];
    }

    unsigned digits() const { return digits_; }

    // q (cDigits digits, optional) = c div d, r (rDigits >= digits() digits) = c mod d.
    // c is copied first, so q and r may be the same arrays as c.
    void divide(BnDigit* q, BnDigit* r, unsigned rDigits, const BnDigit* c, unsigned cDigits) const
    {
        const unsigned dd = digits_;
        BnDigit cc[kScratchDigits + 1];
        cc[cDigits] = shiftLeft(cc, c, cDigits, shift_);
        if (cDigits < dd)
            clear(cc + cDigits + 1, dd - cDigits);
        if (q)
            clear(q, cDigits);
        for (unsigned i = cDigits >= dd ? cDigits - dd + 1 : 0; i-- > 0;) {
            const BnDigit digit = quotientDigit(cc + i);
            if (q)
                q[i] = digit;
        }
        clear(r, rDigits);
        shiftRight(r, cc, dd, shift_);
    }

private:
    // Replaces the window w[0 .. dd] (less than 2^32 times the divisor) by its
    // remainder and returns the quotient digit.
    BnDigit quotientDigit(BnDigit* w) const
    {
        const unsigned dd = digits_;
        // Dividing by top + 1 never overestimates, so the window never goes
        // negative and needs no adding back. Over a modular exponentiation the
        // estimate falls short by about a quarter of a unit per digit, so the
        // correction loop below costs far less than the multiply-subtract.
        BnDigit estimate = top_ == 0xFFFFFFFFu
                               ? w[dd]
                               : lowDigit(((uint64_t(w[dd]) << kDigitBits) | w[dd - 1]) / (uint64_t(top_) + 1));
        if (estimate)
            w[dd] -= multiplySubtract(w, estimate);
        while (w[dd] != 0 || bnCompare(w, normalised_, dd) >= 0) {
            ++estimate;
            w[dd] -= bnSub(w, w, normalised_, dd);
        }
        return estimate;
    }

    // w[0 .. dd-1] -= m * divisor; returns what is to be taken from w[dd].
    // The carry of the products and the borrow of the subtraction run as two
    // separate chains, which the processor can advance side by side.
    BnDigit multiplySubtract(BnDigit* w, BnDigit m) const
    {
        uint64_t carry = 0;
        uint64_t borrow = 0;
        for (unsigned j = 0; j < digits_; ++j) {
            const uint64_t product = uint64_t(m) * normalised_[j] + carry;
            carry = highDigit(product);
            const uint64_t difference = uint64_t(w[j]) - lowDigit(product) - borrow;
            w[j] = lowDigit(difference);
            borrow = difference >> 63;
        }
        return lowDigit(carry + borrow);
    }

    BnDigit normalised_[kScratchDigits] = {};
    unsigned digits_ = 0;
    unsigned shift_ = 0;
    BnDigit top_ = 0;
};

// Products and remainders modulo one divisor, all over its significant digits.
class ModularArithmetic {
public:
    explicit ModularArithmetic(const Divisor& divisor) : divisor_(divisor), n_(divisor.digits()) {}

    void multiplyMod(BnDigit* a, const BnDigit* b, const BnDigit* c) const
    {
        BnDigit product[kScratchDigits];
        multiply(product, b, n_, c, n_);
        reduce(a, product);
    }

    void squareMod(BnDigit* a, const BnDigit* b) const
    {
        BnDigit product[kScratchDigits];
        square(product, b, n_);
        reduce(a, product);
    }

private:
    void reduce(BnDigit* a, const BnDigit* product) const
    {
        divisor_.divide(nullptr, a, n_, product, bnDigits(product, 2 * n_));
    }

    const Divisor& divisor_;
    unsigned n_;
};

void secureClear(BnDigit* a, unsigned digits)
{
    volatile BnDigit* p = a;
    for (unsigned i = 0; i < digits; ++i)
        p[i] = 0;
}

} // namespace

void bnDecode(BnDigit* a, unsigned digits, const uint8_t* bytes, size_t length)
{
    size_t pos = length;
    for (unsigned i = 0; i < digits; ++i) {
        BnDigit digit = 0;
        for (unsigned shift = 0; shift < kDigitBits && pos > 0; shift += 8)
            digit |= BnDigit(bytes[--pos]) << shift;
        a[i] = digit;
    }
}

void bnEncode(uint8_t* bytes, size_t length, const BnDigit* a, unsigned digits)
{
    size_t pos = length;
    for (unsigned i = 0; i < digits && pos > 0; ++i) {
        const BnDigit digit = a[i];
        for (unsigned shift = 0; shift < kDigitBits && pos > 0; shift += 8)
            bytes[--pos] = static_cast<uint8_t>(digit >> shift);
    }
    if (pos)
        std::memset(bytes, 0, pos);
}

unsigned bnDigits(const BnDigit* a, unsigned digits)
{
    while (digits > 0 && a[digits - 1] == 0)
        --digits;
    return digits;
}

int bnCompare(const BnDigit* a, const BnDigit* b, unsigned digits)
{
    while (digits-- > 0) {
        if (a[digits] != b[digits])
            return a[digits] > b[digits] ? 1 : -1;
    }
    return 0;
}

BnDigit bnAdd(BnDigit* a, const BnDigit* b, const BnDigit* c, unsigned digits)
{
    uint64_t carry = 0;
    for (unsigned i = 0; i < digits; ++i) {
        const uint64_t sum = uint64_t(b[i]) + c[i] + carry;
        a[i] = lowDigit(sum);
        carry = highDigit(sum);
    }
    return lowDigit(carry);
}

BnDigit bnSub(BnDigit* a, const BnDigit* b, const BnDigit* c, unsigned digits)
{
    BnDigit borrow = 0;
    for (unsigned i = 0; i < digits; ++i) {
        const uint64_t difference = uint64_t(b[i]) - c[i] - borrow;
        a[i] = lowDigit(difference);
        borrow = highDigit(difference) ? 1 : 0;
    }
    return borrow;
}

void bnMult(BnDigit* a, const BnDigit* b, const BnDigit* c, unsigned digits)
{
    if (digits > kBnMaxDigits)
        return;
    // The scratch lets a be the same array as b or c.
    BnDigit scratch[kScratchDigits];
    const unsigned bDigits = bnDigits(b, digits);
    const unsigned cDigits = bnDigits(c, digits);
    multiply(scratch, b, bDigits, c, cDigits);
    clear(scratch + bDigits + cDigits, 2 * digits - bDigits - cDigits);
    copy(a, scratch, 2 * digits);
}

void bnDiv(BnDigit* q, BnDigit* r, const BnDigit* c, unsigned cDigits, const BnDigit* d, unsigned dDigits)
{
    if (cDigits > kScratchDigits || dDigits > kScratchDigits)
        return;
    const Divisor divisor(d, dDigits);
    if (divisor.digits() == 0)
        return;
    divisor.divide(q, r, dDigits, c, cDigits);
}

void bnMod(BnDigit* r, const BnDigit* c, unsigned cDigits, const BnDigit* d, unsigned dDigits)
{
    bnDiv(nullptr, r, c, cDigits, d, dDigits);
}

void bnModMult(BnDigit* a, const BnDigit* b, const BnDigit* c, const BnDigit* d, unsigned digits)
{
    if (digits > kBnMaxDigits)
        return;
    BnDigit product[kScratchDigits];
    bnMult(product, b, c, digits);
    bnMod(a, product, 2 * digits, d, digits);
}

// Left to right over the exponent, two bits at a time, with b, b^2 and b^3
// computed beforehand.
void bnModExp(BnDigit* a, const BnDigit* b, const BnDigit* c, unsigned cDigits, const BnDigit* d, unsigned dDigits)
{
    if (dDigits > kBnMaxDigits)
        return;
    const Divisor divisor(d, dDigits);
    const unsigned n = divisor.digits();
    if (n == 0)
        return;
    const ModularArithmetic mod(divisor);

    // powers[s] = b^s mod d; b itself is reduced first so that every operand
    // has at most n digits.
    BnDigit powers[4][kBnMaxDigits];
    divisor.divide(nullptr, powers[1], n, b, dDigits);
    mod.squareMod(powers[2], powers[1]);
    mod.multiplyMod(powers[3], powers[2], powers[1]);

    BnDigit t[kBnMaxDigits] = {1};
    const unsigned k = bnDigits(c, cDigits);
    bool started = false;
    for (unsigned i = k; i-- > 0;) {
        const BnDigit digit = c[i];
        unsigned groups = kDigitBits / 2;
        if (i == k - 1) {
            while (((digit >> (2 * groups - 2)) & 3) == 0)
                --groups; // the top digit is not zero, so this stops
        }
        while (groups-- > 0) {
            const unsigned s = (digit >> (2 * groups)) & 3;
            if (!started) {
                // 1 squared twice times b^s: the first group is never 0.
                copy(t, powers[s], n);
                started = true;
                continue;
            }
            mod.squareMod(t, t);
            mod.squareMod(t, t);
            if (s)
                mod.multiplyMod(t, t, powers[s]);
        }
    }
    clear(a, dDigits);
    copy(a, t, started ? n : 1);
    secureClear(t, n);
    secureClear(&powers[0][0], 4 * kBnMaxDigits);
}

void digitMult(BnDigit result[2], BnDigit b, BnDigit c)
{
    const uint64_t product = uint64_t(b) * c;
    result[1] = highDigit(product);
    result[0] = lowDigit(product);
}
