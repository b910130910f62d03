// Writes openssl_results.inc: OpenSSL's answers to a few dozen questions put
// to the crypto layer, so that a build without OpenSSL (the Windows build)
// checks against the same reference. Run it only to renew the file:
//   cmake --build build --target crypto_vector_maker
//   build/bin/crypto_vector_maker > tests/crypto/openssl_results.inc
#include "crypto/Aes.h"
#include "tests/crypto/OpensslOracle.h"

#include <openssl/crypto.h>

#include <cstdio>
#include <string>

namespace {

std::string hex(const Bytes& bytes)
{
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (uint8_t b : bytes) {
        out += digits[b >> 4];
        out += digits[b & 15];
    }
    return out;
}

// A number as exactly `count` 32-bit digits, most significant first.
std::string hexDigits(const BIGNUM* bn, unsigned count)
{
    return hex(bnToBytes(bn, 4 * size_t(count)));
}

// Without leading zero bytes (a key field is right-aligned when read back).
std::string hexField(const uint8_t* field, size_t width)
{
    size_t skip = 0;
    while (skip + 1 < width && field[skip] == 0)
        ++skip;
    return hex(Bytes(field + skip, field + width));
}

std::mt19937_64 rng(0x7e57ec7);

// Digits that reach the edges of the arithmetic, as the big-number tests draw them.
BnDigit digit()
{
    switch (rng() % 8) {
    case 0: return 0;
    case 1: return 0xFFFFFFFF;
    case 2: return 0x80000000;
    case 3: return 1;
    default: return static_cast<BnDigit>(rng());
    }
}

// A number of `significant` digits (its top digit is not zero).
BnPtr number(unsigned significant)
{
    BnDigit digits[2 * kBnMaxDigits] = {};
    for (unsigned i = 0; i < significant; ++i)
        digits[i] = digit();
    if (significant > 0 && digits[significant - 1] == 0)
        digits[significant - 1] = static_cast<BnDigit>(rng()) | 1;
    return toBn(digits, significant);
}

struct BnCtxFree {
    void operator()(BN_CTX* ctx) const { BN_CTX_free(ctx); }
};

void line(const std::string& text)
{
    std::printf("    %s\n", text.c_str());
}
std::string quoted(const std::string& text)
{
    return "\"" + text + "\"";
}

} // namespace

int main()
{
    std::printf("// OpenSSL's results for the crypto layer, stored so that a build without\n"
                "// OpenSSL (the Windows build) checks against the same reference.\n"
                "// Made with %s by make_vectors.cpp; do not edit.\n"
                "// Hexadecimal, most significant first.\n\n",
                OpenSSL_version(OPENSSL_VERSION));

    std::printf("// AES-128-ECB encryption: key, plain, cipher.\nconst StoredAes kStoredAes[] = {\n");
    for (int i = 0; i < 8; ++i) {
        const Bytes key = i < 5 ? randomBytes(rng, 16) : Bytes(FILE_KEY, FILE_KEY + 16);
        const Bytes plain = randomBytes(rng, 16 * size_t(1 + i % 4));
        line("{" + quoted(hex(key)) + ", " + quoted(hex(plain)) + ", " +
             quoted(hex(opensslEncryptEcb(key.data(), plain))) + "},");
    }
    std::printf("};\n\n");

    std::unique_ptr<BN_CTX, BnCtxFree> ctx(BN_CTX_new());
    std::printf("// Big numbers, with as many 32-bit digits as the text has 8 hexadecimal digits:\n"
                "// mult a * b (twice the digits); div a div b, a mod b; modmult a * b mod c;\n"
                "// modexp a ^ b mod c.\nconst StoredBn kStoredBn[] = {\n");
    for (unsigned n : {1u, 3u, 8u, 17u, 32u, 65u}) {
        const BnPtr a = number(n), b = number(1 + unsigned(rng() % n));
        BnPtr product(BN_new());
        BN_mul(product.get(), a.get(), b.get(), ctx.get());
        line("{\"mult\", " + quoted(hexDigits(a.get(), n)) + ", " + quoted(hexDigits(b.get(), n)) + ", \"\", " +
             quoted(hexDigits(product.get(), 2 * n)) + ", \"\"},");
    }
    const unsigned divisions[][2] = {{2, 1}, {8, 3}, {33, 32}, {64, 2}, {65, 65}, {130, 65}};
    for (const auto& sizes : divisions) {
        const BnPtr c = number(sizes[0]), d = number(1 + unsigned(rng() % sizes[1]));
        BnPtr q(BN_new()), r(BN_new());
        BN_div(q.get(), r.get(), c.get(), d.get(), ctx.get());
        line("{\"div\", " + quoted(hexDigits(c.get(), sizes[0])) + ", " + quoted(hexDigits(d.get(), sizes[1])) +
             ", \"\", " + quoted(hexDigits(q.get(), sizes[0])) + ", " + quoted(hexDigits(r.get(), sizes[1])) + "},");
    }
    for (unsigned n : {1u, 4u, 16u, 32u, 65u, 65u}) {
        const BnPtr m = number(1 + unsigned(rng() % n)), a = number(n), b = number(1 + unsigned(rng() % n));
        BnPtr result(BN_new());
        BN_mod_mul(result.get(), a.get(), b.get(), m.get(), ctx.get());
        line("{\"modmult\", " + quoted(hexDigits(a.get(), n)) + ", " + quoted(hexDigits(b.get(), n)) + ", " +
             quoted(hexDigits(m.get(), n)) + ", " + quoted(hexDigits(result.get(), n)) + ", \"\"},");
    }
    const unsigned powers[][2] = {{1, 1}, {4, 8}, {16, 16}, {24, 65}, {65, 2}, {65, 4}}; // modulus, exponent digits
    for (const auto& sizes : powers) {
        BnPtr m = number(sizes[0]);
        if (BN_is_one(m.get()))
            BN_set_word(m.get(), 3); // modulo 1 the convention for exponent 0 differs
        const BnPtr a = number(sizes[0]), e = number(sizes[1]);
        BnPtr result(BN_new());
        BN_mod_exp(result.get(), a.get(), e.get(), m.get(), ctx.get());
        line("{\"modexp\", " + quoted(hexDigits(a.get(), sizes[0])) + ", " + quoted(hexDigits(e.get(), sizes[1])) +
             ", " + quoted(hexDigits(m.get(), sizes[0])) + ", " + quoted(hexDigits(result.get(), sizes[0])) +
             ", \"\"},");
    }
    std::printf("};\n\n");

    std::printf("// RSA keys as the record holds them: bits, n, e, d, p, q, d mod (p-1),\n"
                "// d mod (q-1), q^-1 mod p.\nconst StoredRsaKey kStoredRsaKeys[] = {\n");
    std::vector<TestKey> keys;
    for (unsigned bits : {1024u, 2048u}) {
        keys.push_back(generateRsaKey(bits));
        const RsaPrivateKey& k = keys.back().record;
        line("{" + std::to_string(k.bits) + ", " + quoted(hexField(k.modulus, sizeof k.modulus)) + ",");
        line(" " + quoted(hexField(k.publicExponent, sizeof k.publicExponent)) + ",");
        line(" " + quoted(hexField(k.privateExponent, sizeof k.privateExponent)) + ",");
        for (const uint8_t* field : {k.prime1, k.prime2, k.exponent1, k.exponent2, k.coefficient})
            line(" " + quoted(hexField(field, kRsaPrimeBytes)) + (field == k.coefficient ? "}," : ","));
    }
    std::printf("};\n\n// Raw RSA: key, input, input ^ d mod n, input ^ e mod n.\nconst StoredRsa kStoredRsa[] = {\n");
    for (size_t index = 0; index < keys.size(); ++index) {
        const TestKey& key = keys[index];
        BnPtr nMinusOne(BN_dup(key.n.get()));
        BN_sub_word(nMinusOne.get(), 1);
        Bytes two(key.bytes, 0);
        two.back() = 2;
        for (const Bytes& input : {randomBelow(key.n.get(), key.bytes), randomBelow(key.n.get(), key.bytes),
                                   bnToBytes(nMinusOne.get(), key.bytes), two})
            line("{" + std::to_string(index) + ", " + quoted(hex(input)) + ",\n     " +
                 quoted(hex(opensslPrivateRaw(key, input))) + ",\n     " + quoted(hex(opensslPublicRaw(key, input))) +
                 "},");
    }
    std::printf("};\n");
    return 0;
}
