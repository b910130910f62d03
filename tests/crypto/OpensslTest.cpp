// The crypto layer against OpenSSL on random keys, numbers and blocks. A few
// of the questions and OpenSSL's answers are stored for the build without
// OpenSSL (the Windows build), made by
//   build/bin/mirdal_crypto_tests --print-vectors=tests/crypto/openssl_results.inc
#include "tests/crypto/Checks.h"

#define OPENSSL_SUPPRESS_DEPRECATED // RAND_set_rand_method, below
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/params.h>
#include <openssl/rand.h>
#include <openssl/rsa.h>

#include <memory>
#include <numeric>
#include <random>

namespace {

template <typename T, void (*Free)(T*)>
struct Freeing {
    void operator()(T* object) const { Free(object); }
};
using Bn = std::unique_ptr<BIGNUM, Freeing<BIGNUM, BN_free>>;

std::mt19937_64 rng(0x7e57ec7);
BN_CTX* const context = BN_CTX_new();

// OpenSSL's random bytes (its keys too) come from the seeded generator: a failure, which prints its key, comes back.
int seededBytes(unsigned char* out, int count)
{
    std::generate_n(out, count, [] { return uint8_t(rng()); });
    return 1;
}
const RAND_METHOD kSeeded = {nullptr, seededBytes, nullptr, nullptr, seededBytes, [] { return 1; }};

const auto randomBytes = [](size_t count) {
    Bytes out(count);
    std::generate(out.begin(), out.end(), [] { return uint8_t(rng()); });
    return out;
};

std::string hexOf(const Bytes& bytes)
{
    std::string out;
    for (const uint8_t byte : bytes)
        out += {"0123456789abcdef"[byte >> 4], "0123456789abcdef"[byte & 15]};
    return out;
}

std::string hexOf(const BIGNUM* value, size_t bytes)
{
    Bytes out(bytes);
    EXPECT_EQ(BN_bn2binpad(value, out.data(), int(bytes)), int(bytes));
    return hexOf(out);
}

Bn bn(const std::string& text)
{
    BIGNUM* value = nullptr;
    EXPECT_GT(BN_hex2bn(&value, text.empty() ? "0" : text.c_str()), 0);
    return Bn(value);
}

// --print-vectors=FILE: every 29th question (6th of RSA) and its answers go to FILE, for
// openssl_results.inc.
FILE* vectors = nullptr;
int asked = 0;

void ask(const Question& q)
{
    check(q);
    if (vectors && ++asked % (q[0] == "rsa" ? 6 : 29) == 0)
        std::fprintf(vectors, "{\"%s\", \"%s\", \"%s\", \"%s\", \"%s\", \"%s\"},\n", q[0].c_str(), q[1].c_str(),
                     q[2].c_str(), q[3].c_str(), q[4].c_str(), q[5].c_str());
}

Question aes(const Bytes& key, const Bytes& plain)
{
    const std::unique_ptr<EVP_CIPHER_CTX, Freeing<EVP_CIPHER_CTX, EVP_CIPHER_CTX_free>> ctx(EVP_CIPHER_CTX_new());
    Bytes cipher(plain.size());
    int length = 0;
    EXPECT_EQ(EVP_EncryptInit_ex(ctx.get(), EVP_aes_128_ecb(), nullptr, key.data(), nullptr), 1);
    EXPECT_EQ(EVP_EncryptUpdate(ctx.get(), cipher.data(), &length, plain.data(), int(plain.size())), 1);
    return {{"aes", hexOf(key), hexOf(cipher), "", hexOf(plain), ""}};
}

const auto upTo = [](unsigned limit) { return unsigned(rng() % (limit + 1)); };

// `count` digits, the low `significant` of them drawn to reach the edges of
// the arithmetic (zero, all ones, a lone top bit, one) or anything.
std::string number(unsigned count, unsigned significant)
{
    static const BnDigit edges[] = {0, 0xFFFFFFFF, 0x80000000, 1};
    std::string out;
    for (unsigned i = 0; i < count; ++i) {
        BnDigit digit = i >= significant ? 0 : rng() % 2 ? edges[rng() % 4] : BnDigit(rng());
        if (i + 1 == significant && digit == 0)
            digit = BnDigit(rng()) | 1;
        char text[9];
        std::snprintf(text, sizeof text, "%08x", digit);
        out = text + out;
    }
    return out;
}

Question answer(const std::string& op, const std::string& a, const std::string& b, const std::string& c = "")
{
    const Bn x = bn(a), y = bn(b), m = bn(c), q(BN_new()), r(BN_new());
    EXPECT_EQ(op == "add"       ? BN_add(r.get(), x.get(), y.get())
              : op == "mult"    ? BN_mul(r.get(), x.get(), y.get(), context)
              : op == "div"     ? BN_div(q.get(), r.get(), x.get(), y.get(), context)
              : op == "modmult" ? BN_mod_mul(r.get(), x.get(), y.get(), m.get(), context)
                                : BN_mod_exp(r.get(), x.get(), y.get(), m.get(), context),
              1);
    if (op == "div")
        return {{op, a, b, c, hexOf(q.get(), a.size() / 2), hexOf(r.get(), b.size() / 2)}};
    return {{op, a, b, c, hexOf(r.get(), op == "add" ? a.size() / 2 + 4 : op == "mult" ? a.size() : c.size() / 2)}};
}

Question randomNumbers(int round)
{
    const unsigned n = 1 + upTo(kBnMaxDigits - 1), wide = 1 + upTo(2 * kBnMaxDigits - 1);
    switch (round % 5) {
    case 0: return answer("add", number(n, upTo(n)), number(n, upTo(n)));
    case 1: return answer("mult", number(n, upTo(n)), number(n, upTo(n)));
    case 2: return answer("div", number(wide, upTo(wide)), number(n, 1 + upTo(n - 1)));
    case 3: return answer("modmult", number(n, upTo(n)), number(n, upTo(n)), number(n, 1 + upTo(n - 1)));
    }
    // Small moduli with short exponents or long ones, some full-width moduli.
    const unsigned d = round % 3 ? 1 + upTo(23) : kBnMaxDigits, e = round % 25 == 4 ? n : 1 + upTo(3);
    std::string modulus = number(d, 1 + upTo(d - 1));
    if (BN_is_one(bn(modulus).get()))
        modulus.back() = '3'; // modulo 1, exponent 0 has two conventions
    return answer("modexp", number(d, upTo(d)), number(e, upTo(e)), modulus);
}

struct Key {
    std::shared_ptr<EVP_PKEY> pkey;
    std::vector<std::string> numbers; // n, e, d, p, q, dp, dq, qinv
    unsigned bytes;
};

const auto joined = [](const std::vector<std::string>& numbers) {
    return std::accumulate(numbers.begin() + 1, numbers.end(), numbers[0],
                           [](const std::string& a, const std::string& b) { return a + ":" + b; });
};

const std::vector<Key>& keys()
{
    static const std::vector<Key> made = [] {
        std::vector<Key> all;
        for (const unsigned bits : {1024u, 1536u, 2048u, 2048u}) {
            all.push_back({std::shared_ptr<EVP_PKEY>(EVP_RSA_gen(bits), EVP_PKEY_free), {}, bits / 8});
            OSSL_PARAM* params = nullptr; // n, e, d, the primes, the exponents, the coefficient
            EXPECT_EQ(EVP_PKEY_todata(all.back().pkey.get(), EVP_PKEY_KEYPAIR, &params), 1);
            for (const OSSL_PARAM* p = params; p->key; ++p) {
                BIGNUM* value = nullptr;
                EXPECT_EQ(OSSL_PARAM_get_BN(p, &value), 1) << p->key;
                all.back().numbers.push_back(hexOf(value, size_t(BN_num_bytes(value))));
                BN_free(value);
            }
            OSSL_PARAM_free(params);
        }
        return all;
    }();
    return made;
}

// Raw RSA (private: decryption, public: encryption, both without padding) or a type 1 signature.
enum Op { Private, Public, SignType1 };
Bytes openssl(const Key& key, Op op, const Bytes& input)
{
    using Run = int (*)(EVP_PKEY_CTX*, unsigned char*, size_t*, const unsigned char*, size_t);
    const std::unique_ptr<EVP_PKEY_CTX, Freeing<EVP_PKEY_CTX, EVP_PKEY_CTX_free>> ctx(
        EVP_PKEY_CTX_new(key.pkey.get(), nullptr));
    const int init = op == Private  ? EVP_PKEY_decrypt_init(ctx.get())
                     : op == Public ? EVP_PKEY_encrypt_init(ctx.get())
                                    : EVP_PKEY_sign_init(ctx.get());
    const Run run = op == Private ? EVP_PKEY_decrypt : op == Public ? EVP_PKEY_encrypt : EVP_PKEY_sign;
    Bytes out(key.bytes);
    size_t length = out.size();
    EXPECT_EQ(init, 1);
    EXPECT_EQ(EVP_PKEY_CTX_set_rsa_padding(ctx.get(), op == SignType1 ? RSA_PKCS1_PADDING : RSA_NO_PADDING), 1);
    EXPECT_EQ(run(ctx.get(), out.data(), &length, input.data(), input.size()), 1);
    out.resize(length);
    return out;
}

// Random inputs below the modulus, n - 1, 1, the block 00 01 FF..FF,
// and the extremes of the recombination: 0 modulo one prime, -1 modulo the other.
std::vector<Bytes> inputsFor(const Key& key)
{
    const Bn n = bn(key.numbers[0]), p = bn(key.numbers[3]), q = bn(key.numbers[4]), r(BN_new());
    std::vector<Bytes> inputs;
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(i < 4 ? BN_rand_range(r.get(), n.get()) : BN_sub(r.get(), n.get(), BN_value_one()), 1);
        inputs.push_back(hex(hexOf(r.get(), key.bytes)));
    }
    inputs.push_back(Bytes(key.bytes - 1, 0) + Bytes{1});
    inputs.push_back(Bytes{0, 1} + Bytes(key.bytes - 2, 0xFF));
    for (const auto& [a, b] : {std::pair(p.get(), q.get()), std::pair(q.get(), p.get())}) {
        const Bn k(BN_mod_inverse(nullptr, a, b, context)); // c = a * (b - a^-1 mod b)
        BN_sub(k.get(), b, k.get());
        BN_mul(r.get(), a, k.get(), context);
        inputs.push_back(hex(hexOf(r.get(), key.bytes)));
    }
    return inputs;
}

TEST(AesAgainstOpenSsl, RandomKeysTheFileKeyAndTheTableEnds)
{
    for (int round = 0; round < 354; ++round) {
        const Bytes key = round < 300 ? randomBytes(16) : round < 350 ? kFileKey : Bytes(16, round % 2 ? 0xFF : 0);
        ask(aes(key, round < 350 ? randomBytes(16 * (1 + rng() % 64)) : Bytes(48, round / 2 % 2 ? 0xFF : 0)));
    }
}

TEST(BignumAgainstOpenSsl, RandomOperandsAndDivisionAtItsLimits)
{
    for (int round = 0; round < 1500 && !HasFailure(); ++round)
        ask(randomNumbers(round));
    // Sparse divisors whose top digits suggest a quotient digit one too large; all ones.
    for (const unsigned dd : {3u, 32u, 64u}) {
        ask(answer("div", "7fffffff80000000" + std::string(16 * dd - 16, '0'),
                   "80000000" + std::string(8 * dd - 16, '0') + "00000001"));
        ask(answer("div", std::string(16 * dd, 'f'), std::string(8 * dd, 'f')));
    }
}

// Also with the primes exchanged (q the larger, qinv recomputed); the modulus
// itself and 257 bytes are refused, and nothing is written then.
TEST(RsaRaw, PrivateByCrtAndPublicMatchOpenSsl)
{
    for (const Key& key : keys()) {
        std::vector<std::string> swapped = key.numbers;
        std::swap(swapped[3], swapped[4]);
        std::swap(swapped[5], swapped[6]);
        swapped[7] = hexOf(Bn(BN_mod_inverse(nullptr, bn(swapped[4]).get(), bn(swapped[3]).get(), context)).get(),
                           key.bytes / 2);
        for (const Bytes& input : inputsFor(key))
            for (const std::string& numbers : {joined(key.numbers), joined(swapped)})
                ask({{"rsa", numbers, hexOf(input), "", hexOf(openssl(key, Private, input)),
                      hexOf(openssl(key, Public, input))}});
        const RsaPrivateKey record = rsaRecord(joined(key.numbers));
        for (const auto& [input, status] : {std::pair(hex(key.numbers[0]), 1025), std::pair(Bytes(257, 0), 1030)}) {
            Bytes out(256, 0xA5);
            uint32_t length = 7;
            EXPECT_EQ(rsaPrivateBlock(out.data(), &length, input.data(), uint32_t(input.size()), &record), status);
            EXPECT_EQ(std::pair(out, length), std::pair(Bytes(256, 0xA5), 7u));
        }
    }
}

} // namespace

int main(int argc, char** argv)
{
    testing::InitGoogleTest(&argc, argv);
    RAND_set_rand_method(&kSeeded);
    if (argc == 2 && std::string(argv[1]).rfind("--print-vectors=", 0) == 0)
        vectors = std::fopen(argv[1] + 16, "w");
    return RUN_ALL_TESTS();
}
