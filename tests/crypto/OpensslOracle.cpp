#include "tests/crypto/OpensslOracle.h"

#include <openssl/core_names.h>
#include <openssl/rsa.h>

#include <cstring>
#include <stdexcept>
#include <string>

namespace {

void require(bool ok, const char* what)
{
    if (!ok)
        throw std::runtime_error(std::string("OpenSSL failed: ") + what);
}

struct CipherCtxFree {
    void operator()(EVP_CIPHER_CTX* ctx) const { EVP_CIPHER_CTX_free(ctx); }
};
struct PkeyCtxFree {
    void operator()(EVP_PKEY_CTX* ctx) const { EVP_PKEY_CTX_free(ctx); }
};
struct BnCtxFree {
    void operator()(BN_CTX* ctx) const { BN_CTX_free(ctx); }
};
using PkeyCtxPtr = std::unique_ptr<EVP_PKEY_CTX, PkeyCtxFree>;

BnPtr keyParameter(EVP_PKEY* pkey, const char* name)
{
    BIGNUM* bn = nullptr;
    require(EVP_PKEY_get_bn_param(pkey, name, &bn) == 1, name);
    return BnPtr(bn);
}

void putField(uint8_t* field, size_t width, const BIGNUM* bn)
{
    require(BN_bn2binpad(bn, field, static_cast<int>(width)) == static_cast<int>(width), "field width");
}

enum class Direction { Encrypt, Decrypt, Sign };

Bytes runPkey(const TestKey& key, Direction direction, int padding, const Bytes& input)
{
    PkeyCtxPtr ctx(EVP_PKEY_CTX_new(key.pkey.get(), nullptr));
    require(ctx != nullptr, "context");
    int ok = 0;
    switch (direction) {
    case Direction::Encrypt: ok = EVP_PKEY_encrypt_init(ctx.get()); break;
    case Direction::Decrypt: ok = EVP_PKEY_decrypt_init(ctx.get()); break;
    case Direction::Sign: ok = EVP_PKEY_sign_init(ctx.get()); break;
    }
    require(ok == 1, "init");
    require(EVP_PKEY_CTX_set_rsa_padding(ctx.get(), padding) == 1, "padding");
    Bytes out(key.bytes);
    size_t outLength = out.size();
    switch (direction) {
    case Direction::Encrypt:
        ok = EVP_PKEY_encrypt(ctx.get(), out.data(), &outLength, input.data(), input.size());
        break;
    case Direction::Decrypt:
        ok = EVP_PKEY_decrypt(ctx.get(), out.data(), &outLength, input.data(), input.size());
        break;
    case Direction::Sign: ok = EVP_PKEY_sign(ctx.get(), out.data(), &outLength, input.data(), input.size()); break;
    }
    require(ok == 1, "operation");
    out.resize(outLength);
    return out;
}

} // namespace

Bytes opensslEncryptEcb(const uint8_t key[16], const Bytes& data)
{
    std::unique_ptr<EVP_CIPHER_CTX, CipherCtxFree> ctx(EVP_CIPHER_CTX_new());
    require(ctx != nullptr, "cipher context");
    require(EVP_EncryptInit_ex(ctx.get(), EVP_aes_128_ecb(), nullptr, key, nullptr) == 1, "cipher init");
    require(EVP_CIPHER_CTX_set_padding(ctx.get(), 0) == 1, "no padding");
    Bytes out(data.size() + 16);
    int length = 0;
    int last = 0;
    require(EVP_EncryptUpdate(ctx.get(), out.data(), &length, data.data(), static_cast<int>(data.size())) == 1,
            "encrypt");
    require(EVP_EncryptFinal_ex(ctx.get(), out.data() + length, &last) == 1, "encrypt final");
    out.resize(static_cast<size_t>(length + last));
    return out;
}

BnPtr toBn(const BnDigit* digits, unsigned count)
{
    Bytes little;
    for (unsigned i = 0; i < count; ++i)
        for (unsigned shift = 0; shift < 32; shift += 8)
            little.push_back(static_cast<uint8_t>(digits[i] >> shift));
    BnPtr bn(BN_lebin2bn(little.data(), static_cast<int>(little.size()), nullptr));
    require(bn != nullptr, "lebin2bn");
    return bn;
}

void fromBn(const BIGNUM* bn, BnDigit* digits, unsigned count)
{
    Bytes little(count * 4u);
    require(BN_bn2lebinpad(bn, little.data(), static_cast<int>(little.size())) >= 0, "value too large");
    for (unsigned i = 0; i < count; ++i) {
        digits[i] = 0;
        for (unsigned b = 0; b < 4; ++b)
            digits[i] |= BnDigit(little[4 * i + b]) << (8 * b);
    }
}

BnPtr bnFromBytes(const Bytes& bigEndian)
{
    BnPtr bn(BN_bin2bn(bigEndian.data(), static_cast<int>(bigEndian.size()), nullptr));
    require(bn != nullptr, "bin2bn");
    return bn;
}

Bytes bnToBytes(const BIGNUM* bn, size_t length)
{
    Bytes out(length);
    require(BN_bn2binpad(bn, out.data(), static_cast<int>(length)) == static_cast<int>(length), "bn2binpad");
    return out;
}

TestKey generateRsaKey(unsigned bits)
{
    TestKey key;
    key.pkey.reset(EVP_RSA_gen(bits));
    require(key.pkey != nullptr, "key generation");
    EVP_PKEY* pkey = key.pkey.get();
    key.n = keyParameter(pkey, OSSL_PKEY_PARAM_RSA_N);
    key.d = keyParameter(pkey, OSSL_PKEY_PARAM_RSA_D);
    key.bytes = static_cast<unsigned>(BN_num_bytes(key.n.get()));

    RsaPrivateKey& r = key.record;
    r.bits = static_cast<uint16_t>(BN_num_bits(key.n.get()));
    putField(r.modulus, sizeof r.modulus, key.n.get());
    putField(r.publicExponent, sizeof r.publicExponent, keyParameter(pkey, OSSL_PKEY_PARAM_RSA_E).get());
    putField(r.privateExponent, sizeof r.privateExponent, key.d.get());
    putField(r.prime1, sizeof r.prime1, keyParameter(pkey, OSSL_PKEY_PARAM_RSA_FACTOR1).get());
    putField(r.prime2, sizeof r.prime2, keyParameter(pkey, OSSL_PKEY_PARAM_RSA_FACTOR2).get());
    putField(r.exponent1, sizeof r.exponent1, keyParameter(pkey, OSSL_PKEY_PARAM_RSA_EXPONENT1).get());
    putField(r.exponent2, sizeof r.exponent2, keyParameter(pkey, OSSL_PKEY_PARAM_RSA_EXPONENT2).get());
    putField(r.coefficient, sizeof r.coefficient, keyParameter(pkey, OSSL_PKEY_PARAM_RSA_COEFFICIENT1).get());
    return key;
}

RsaPrivateKey withPrimesSwapped(const TestKey& key)
{
    RsaPrivateKey swapped = key.record;
    std::memcpy(swapped.prime1, key.record.prime2, sizeof swapped.prime1);
    std::memcpy(swapped.prime2, key.record.prime1, sizeof swapped.prime2);
    std::memcpy(swapped.exponent1, key.record.exponent2, sizeof swapped.exponent1);
    std::memcpy(swapped.exponent2, key.record.exponent1, sizeof swapped.exponent2);
    const BnPtr p = bnFromBytes(Bytes(swapped.prime1, swapped.prime1 + sizeof swapped.prime1));
    const BnPtr q = bnFromBytes(Bytes(swapped.prime2, swapped.prime2 + sizeof swapped.prime2));
    std::unique_ptr<BN_CTX, BnCtxFree> ctx(BN_CTX_new());
    BnPtr coefficient(BN_mod_inverse(nullptr, q.get(), p.get(), ctx.get()));
    require(coefficient != nullptr, "inverse");
    putField(swapped.coefficient, sizeof swapped.coefficient, coefficient.get());
    return swapped;
}

Bytes opensslPrivateRaw(const TestKey& key, const Bytes& input)
{
    return runPkey(key, Direction::Decrypt, RSA_NO_PADDING, input);
}

Bytes opensslPublicRaw(const TestKey& key, const Bytes& input)
{
    return runPkey(key, Direction::Encrypt, RSA_NO_PADDING, input);
}

Bytes opensslSignType1(const TestKey& key, const Bytes& data)
{
    return runPkey(key, Direction::Sign, RSA_PKCS1_PADDING, data);
}

Bytes opensslEncryptType2(const TestKey& key, const Bytes& data)
{
    return runPkey(key, Direction::Encrypt, RSA_PKCS1_PADDING, data);
}

Bytes opensslDecryptType2(const TestKey& key, const Bytes& block)
{
    return runPkey(key, Direction::Decrypt, RSA_PKCS1_PADDING, block);
}

Bytes randomBytes(std::mt19937_64& rng, size_t count)
{
    Bytes out(count);
    for (auto& byte : out)
        byte = static_cast<uint8_t>(rng());
    return out;
}

Bytes randomBelow(const BIGNUM* n, size_t length)
{
    BnPtr value(BN_new());
    require(value != nullptr && BN_rand_range(value.get(), n) == 1, "rand_range");
    return bnToBytes(value.get(), length);
}
