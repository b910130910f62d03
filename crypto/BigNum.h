#pragma once
// Multi-precision unsigned arithmetic on fixed arrays of 32-bit digits,
// least significant digit first. Every operation takes explicit digit counts
// and touches only that many digits; nothing allocates.
#include <cstddef>
#include <cstdint>

using BnDigit = uint32_t;
constexpr unsigned kBnMaxDigits = 65; // 2048 bits plus one digit of headroom
using BigNum = BnDigit[kBnMaxDigits];

void bnDecode(BnDigit* a, unsigned digits, const uint8_t* bytes, size_t length);
void bnEncode(uint8_t* bytes, size_t length, const BnDigit* a, unsigned digits);
unsigned bnDigits(const BnDigit* a, unsigned digits);
int bnCompare(const BnDigit* a, const BnDigit* b, unsigned digits);
BnDigit bnAdd(BnDigit* a, const BnDigit* b, const BnDigit* c, unsigned digits);
BnDigit bnSub(BnDigit* a, const BnDigit* b, const BnDigit* c, unsigned digits);
void bnMult(BnDigit* a, const BnDigit* b, const BnDigit* c, unsigned digits); // a has 2n digits
// q (cDigits digits, may be null) = c div d, r (dDigits digits) = c mod d;
// a zero divisor writes nothing. Counts up to 2 * kBnMaxDigits.
void bnDiv(BnDigit* q, BnDigit* r, const BnDigit* c, unsigned cDigits, const BnDigit* d, unsigned dDigits);
void bnMod(BnDigit* r, const BnDigit* c, unsigned cDigits, const BnDigit* d, unsigned dDigits);
void bnModMult(BnDigit* a, const BnDigit* b, const BnDigit* c, const BnDigit* d, unsigned digits);
void bnModExp(BnDigit* a, const BnDigit* b, const BnDigit* c, unsigned cDigits, const BnDigit* d, unsigned dDigits);
void digitMult(BnDigit result[2], BnDigit b, BnDigit c); // result[1] high, result[0] low
