// AES-128 decryption with table lookups.
//
// Every table is computed at compile time from the field arithmetic, so the
// library holds no mutable state and no hand-typed constants can be wrong.
// A state column is held as a 32-bit word with row 0 in the high byte.
//
// One decryption round is InvShiftRows, InvSubBytes, AddRoundKey, then
// InvMixColumns. InvMixColumns is linear, so mixing (state ^ key) equals
// mixing the state and the key separately: the keys of rounds 9..1 are mixed
// once in the schedule, and each round becomes four lookups per column in
// tables that fuse InvSubBytes with InvMixColumns. The result is the same
// block, only with far fewer operations than byte-wise field multiplies.
#include "crypto/Aes.h"

#include <cstring>

namespace {

constexpr unsigned kRounds = 10;
constexpr uint32_t kBlock = 16;
constexpr unsigned kScheduleWords = 4 * (kRounds + 1);

// Multiplication in GF(2^8) modulo x^8 + x^4 + x^3 + x + 1.
constexpr uint8_t gfMul(uint8_t a, uint8_t b)
{
    uint8_t product = 0;
    while (b) {
        if (b & 1)
            product ^= a;
        a = static_cast<uint8_t>((a << 1) ^ ((a & 0x80) ? 0x1b : 0));
        b >>= 1;
    }
    return product;
}

// The multiplicative inverse is x^254; zero maps to zero.
constexpr uint8_t gfInverse(uint8_t x)
{
    uint8_t result = 1;
    uint8_t power = x;
    for (unsigned exponent = 254; exponent; exponent >>= 1) {
        if (exponent & 1)
            result = gfMul(result, power);
        power = gfMul(power, power);
    }
    return x ? result : 0;
}

constexpr uint8_t rotateByteLeft(uint8_t x, unsigned n)
{
    return static_cast<uint8_t>((x << n) | (x >> (8 - n)));
}

constexpr uint32_t rotateWordRight8(uint32_t x)
{
    return (x >> 8) | (x << 24);
}

struct Tables {
    // S-box and inverse S-box: the table value in the low byte of each word.
    uint32_t sbox[256] = {};
    uint32_t invSbox[256] = {};
    // invMix[r][x]: the column that InvMixColumns makes of invSbox[x] placed
    // in row r, the other rows being zero.
    uint32_t invMix[4][256] = {};
};

constexpr Tables makeTables()
{
    Tables t;
    for (unsigned x = 0; x < 256; ++x) {
        const uint8_t inverse = gfInverse(static_cast<uint8_t>(x));
        const uint8_t s = inverse ^ rotateByteLeft(inverse, 1) ^ rotateByteLeft(inverse, 2) ^
                          rotateByteLeft(inverse, 3) ^ rotateByteLeft(inverse, 4) ^ 0x63;
        t.sbox[x] = s;
        t.invSbox[s] = x;
    }
    for (unsigned x = 0; x < 256; ++x) {
        const uint8_t v = static_cast<uint8_t>(t.invSbox[x]);
        // Column 0e 09 0d 0b is what a byte in row 0 contributes to rows 0..3.
        uint32_t word = (uint32_t(gfMul(v, 0x0e)) << 24) | (uint32_t(gfMul(v, 0x09)) << 16) |
                        (uint32_t(gfMul(v, 0x0d)) << 8) | uint32_t(gfMul(v, 0x0b));
        for (unsigned row = 0; row < 4; ++row) {
            t.invMix[row][x] = word;
            word = rotateWordRight8(word);
        }
    }
    return t;
}

constexpr Tables kTables = makeTables();

constexpr uint8_t byteOf(uint32_t word, unsigned row)
{
    return static_cast<uint8_t>(word >> (24 - 8 * row));
}

// Round keys in the order decryption uses them: round 10 first, round 0 last,
// the keys of rounds 9..1 passed through InvMixColumns.
struct DecryptionSchedule {
    uint32_t words[kScheduleWords] = {};
};

constexpr uint32_t subWord(uint32_t w)
{
    return (kTables.sbox[byteOf(w, 0)] << 24) | (kTables.sbox[byteOf(w, 1)] << 16) | (kTables.sbox[byteOf(w, 2)] << 8) |
           kTables.sbox[byteOf(w, 3)];
}

// InvMixColumns of one column; the tables apply the inverse S-box first,
// which the S-box lookups undo.
constexpr uint32_t invMixColumn(uint32_t w)
{
    return kTables.invMix[0][kTables.sbox[byteOf(w, 0)]] ^ kTables.invMix[1][kTables.sbox[byteOf(w, 1)]] ^
           kTables.invMix[2][kTables.sbox[byteOf(w, 2)]] ^ kTables.invMix[3][kTables.sbox[byteOf(w, 3)]];
}

constexpr DecryptionSchedule makeSchedule(const uint8_t* key)
{
    uint32_t w[kScheduleWords] = {};
    for (unsigned i = 0; i < 4; ++i)
        w[i] = (uint32_t(key[4 * i]) << 24) | (uint32_t(key[4 * i + 1]) << 16) | (uint32_t(key[4 * i + 2]) << 8) |
               uint32_t(key[4 * i + 3]);
    uint8_t rcon = 1;
    for (unsigned i = 4; i < kScheduleWords; ++i) {
        uint32_t temp = w[i - 1];
        if (i % 4 == 0) {
            temp = subWord((temp << 8) | (temp >> 24)) ^ (uint32_t(rcon) << 24);
            rcon = gfMul(rcon, 2);
        }
        w[i] = w[i - 4] ^ temp;
    }

    DecryptionSchedule schedule;
    for (unsigned round = 0; round <= kRounds; ++round) {
        const bool mixed = round != 0 && round != kRounds;
        for (unsigned c = 0; c < 4; ++c) {
            const uint32_t word = w[4 * round + c];
            schedule.words[4 * (kRounds - round) + c] = mixed ? invMixColumn(word) : word;
        }
    }
    return schedule;
}

} // namespace

constexpr uint8_t FILE_KEY[16] = {0x5b, 0xe1, 0x0c, 0x97, 0x42, 0xd8, 0x3a, 0x6f,
                                  0x19, 0xc4, 0x72, 0xae, 0x08, 0xf3, 0x65, 0xbd};

namespace {

// The file key never changes, so its schedule is a constant of the program.
constexpr DecryptionSchedule kFileKeySchedule = makeSchedule(FILE_KEY);

inline uint32_t load32(const uint8_t* p)
{
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | uint32_t(p[3]);
}

inline void store32(uint8_t* p, uint32_t v)
{
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}

// InvShiftRows moves row r of column c to column c + r, so output column c
// takes row r from input column c - r.
inline uint32_t invRound(uint32_t c0, uint32_t c1, uint32_t c2, uint32_t c3, uint32_t roundKey)
{
    return kTables.invMix[0][c0 >> 24] ^ kTables.invMix[1][(c3 >> 16) & 0xff] ^ kTables.invMix[2][(c2 >> 8) & 0xff] ^
           kTables.invMix[3][c1 & 0xff] ^ roundKey;
}

inline uint32_t lastRound(uint32_t c0, uint32_t c1, uint32_t c2, uint32_t c3, uint32_t roundKey)
{
    return ((kTables.invSbox[c0 >> 24] << 24) | (kTables.invSbox[(c3 >> 16) & 0xff] << 16) |
            (kTables.invSbox[(c2 >> 8) & 0xff] << 8) | kTables.invSbox[c1 & 0xff]) ^
           roundKey;
}

// Reads the whole block before writing, so input and output may coincide.
inline void decryptBlock(const uint32_t* rk, const uint8_t* in, uint8_t* out)
{
    uint32_t s0 = load32(in) ^ rk[0];
    uint32_t s1 = load32(in + 4) ^ rk[1];
    uint32_t s2 = load32(in + 8) ^ rk[2];
    uint32_t s3 = load32(in + 12) ^ rk[3];
    for (unsigned round = 1; round < kRounds; ++round) {
        rk += 4;
        const uint32_t t0 = invRound(s0, s1, s2, s3, rk[0]);
        const uint32_t t1 = invRound(s1, s2, s3, s0, rk[1]);
        const uint32_t t2 = invRound(s2, s3, s0, s1, rk[2]);
        const uint32_t t3 = invRound(s3, s0, s1, s2, rk[3]);
        s0 = t0;
        s1 = t1;
        s2 = t2;
        s3 = t3;
    }
    rk += 4;
    store32(out, lastRound(s0, s1, s2, s3, rk[0]));
    store32(out + 4, lastRound(s1, s2, s3, s0, rk[1]));
    store32(out + 8, lastRound(s2, s3, s0, s1, rk[2]));
    store32(out + 12, lastRound(s3, s0, s1, s2, rk[3]));
}

void decryptBlocks(const DecryptionSchedule& schedule, const uint8_t* input, uint32_t length, uint8_t* output)
{
    const uint32_t whole = length - length % kBlock;
    for (uint32_t offset = 0; offset < whole; offset += kBlock)
        decryptBlock(schedule.words, input + offset, output + offset);
}

} // namespace

void aesDecrypt(const uint8_t* input, uint32_t length, uint8_t* output)
{
    decryptBlocks(kFileKeySchedule, input, length, output);
}

void aesDecryptWithKey(const uint8_t key[16], const uint8_t* input, uint32_t length, uint8_t* output)
{
    const DecryptionSchedule schedule = makeSchedule(key);
    decryptBlocks(schedule, input, length, output);
}
