#include "keytools/PemKey.h"

#include "keytools/OpenSslPtr.h"

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/decoder.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/sha.h>
#include <openssl/x509.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <sstream>

namespace {

constexpr int kKeyBits = 2048;

// Never ask anyone for a pass phrase: a build or a test must not wait on a terminal.
int refusePassphrase(char*, size_t, size_t*, const OSSL_PARAM[], void*)
{
    return 0;
}

// Tries the PEM text as a key of the given selection (key pair, then public
// key alone). The decoder keeps its own copy of the passphrase and cleanses
// it when it goes.
PkeyPtr decode(const std::string& pem, int selection, const std::string& passphrase)
{
    EVP_PKEY* raw = nullptr;
    DecoderCtxPtr ctx(OSSL_DECODER_CTX_new_for_pkey(&raw, "PEM", nullptr, "RSA", selection, nullptr, nullptr));
    if (!ctx)
        return nullptr;
    const bool withPassphrase =
        passphrase.empty()
            ? OSSL_DECODER_CTX_set_passphrase_cb(ctx.get(), refusePassphrase, nullptr)
            : OSSL_DECODER_CTX_set_passphrase(ctx.get(), reinterpret_cast<const unsigned char*>(passphrase.data()),
                                              passphrase.size());
    if (!withPassphrase)
        return nullptr;
    const auto* data = reinterpret_cast<const unsigned char*>(pem.data());
    size_t length = pem.size();
    if (!OSSL_DECODER_from_data(ctx.get(), &data, &length))
        return nullptr;
    return PkeyPtr(raw);
}

// Copies one key parameter right-aligned into its fixed big-endian field.
bool copyParam(const EVP_PKEY* pkey, const char* name, uint8_t* field, int width, std::string& error)
{
    BIGNUM* raw = nullptr;
    if (!EVP_PKEY_get_bn_param(pkey, name, &raw)) {
        error = std::string("key has no '") + name + "' component";
        return false;
    }
    SecretBnPtr value(raw);
    if (BN_bn2binpad(value.get(), field, width) != width) {
        error = std::string("key component '") + name + "' does not fit " + std::to_string(width) + " bytes";
        return false;
    }
    return true;
}

bool fillRecord(const EVP_PKEY* pkey, bool hasPrivate, PemKey& out, std::string& error)
{
    if (EVP_PKEY_get_bits(pkey) != kKeyBits) {
        error = "key is not a " + std::to_string(kKeyBits) + "-bit RSA key";
        return false;
    }
    PemKey result;
    RsaPrivateKey& key = result.key;
    key.bits = kKeyBits;
    bool ok = copyParam(pkey, OSSL_PKEY_PARAM_RSA_N, key.modulus, kRsaMaxBytes, error) &&
              copyParam(pkey, OSSL_PKEY_PARAM_RSA_E, key.publicExponent, kRsaMaxBytes, error);
    if (ok && hasPrivate) {
        ok = copyParam(pkey, OSSL_PKEY_PARAM_RSA_D, key.privateExponent, kRsaMaxBytes, error) &&
             copyParam(pkey, OSSL_PKEY_PARAM_RSA_FACTOR1, key.prime1, kRsaPrimeBytes, error) &&
             copyParam(pkey, OSSL_PKEY_PARAM_RSA_FACTOR2, key.prime2, kRsaPrimeBytes, error) &&
             copyParam(pkey, OSSL_PKEY_PARAM_RSA_EXPONENT1, key.exponent1, kRsaPrimeBytes, error) &&
             copyParam(pkey, OSSL_PKEY_PARAM_RSA_EXPONENT2, key.exponent2, kRsaPrimeBytes, error) &&
             copyParam(pkey, OSSL_PKEY_PARAM_RSA_COEFFICIENT1, key.coefficient, kRsaPrimeBytes, error);
    }
    result.hasPrivate = hasPrivate;
    if (ok)
        out = result;
    OPENSSL_cleanse(&result, sizeof result);
    return ok;
}

} // namespace

bool parsePemKey(const std::string& pem, PemKey& out, std::string& error, const std::string& passphrase)
{
    bool hasPrivate = true;
    PkeyPtr pkey = decode(pem, EVP_PKEY_KEYPAIR, passphrase);
    if (!pkey) {
        hasPrivate = false;
        pkey = decode(pem, EVP_PKEY_PUBLIC_KEY, passphrase);
    }
    // The decoders leave their failed attempts on the error queue.
    ERR_clear_error();
    if (!pkey) {
        const bool encrypted = pem.find("ENCRYPTED") != std::string::npos;
        error = !encrypted           ? "no RSA key in PEM form"
                : passphrase.empty() ? "the key is encrypted: give its passphrase"
                                     : "the key does not decrypt with this passphrase";
        return false;
    }
    return fillRecord(pkey.get(), hasPrivate, out, error);
}

bool readPemKey(const std::string& path, PemKey& out, std::string& error, const std::string& passphrase)
{
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    if (!file || !(text << file.rdbuf())) {
        error = "cannot read " + path;
        return false;
    }
    std::string pem = text.str();
    const bool ok = parsePemKey(pem, out, error, passphrase);
    OPENSSL_cleanse(pem.data(), pem.size());
    if (!ok)
        error = path + ": " + error;
    return ok;
}

RsaPublicKey publicHalf(const RsaPrivateKey& key)
{
    RsaPublicKey half{};
    half.bits = key.bits;
    std::copy(std::begin(key.modulus), std::end(key.modulus), half.modulus);
    std::copy(std::begin(key.publicExponent), std::end(key.publicExponent), half.exponent);
    return half;
}

std::string publicKeyFingerprint(const RsaPublicKey& key)
{
    const size_t bytes = key.bits / 8;
    const uint8_t* modulus = key.modulus + kRsaMaxBytes - bytes;
    const uint8_t* exponent = key.exponent + kRsaMaxBytes - bytes;
    SecretBnPtr n(BN_bin2bn(modulus, static_cast<int>(bytes), nullptr));
    SecretBnPtr e(BN_bin2bn(exponent, static_cast<int>(bytes), nullptr));
    std::unique_ptr<OSSL_PARAM_BLD, OpensslFree<OSSL_PARAM_BLD, OSSL_PARAM_BLD_free>> build(OSSL_PARAM_BLD_new());
    if (!n || !e || !build || !OSSL_PARAM_BLD_push_BN(build.get(), OSSL_PKEY_PARAM_RSA_N, n.get()) ||
        !OSSL_PARAM_BLD_push_BN(build.get(), OSSL_PKEY_PARAM_RSA_E, e.get()))
        return {};
    std::unique_ptr<OSSL_PARAM, OpensslFree<OSSL_PARAM, OSSL_PARAM_free>> params(OSSL_PARAM_BLD_to_param(build.get()));
    PkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr));
    EVP_PKEY* raw = nullptr;
    if (!params || !ctx || EVP_PKEY_fromdata_init(ctx.get()) <= 0 ||
        EVP_PKEY_fromdata(ctx.get(), &raw, EVP_PKEY_PUBLIC_KEY, params.get()) <= 0)
        return {};
    PkeyPtr pkey(raw);
    unsigned char* der = nullptr;
    const int length = i2d_PUBKEY(pkey.get(), &der);
    if (length <= 0)
        return {};
    unsigned char digest[SHA256_DIGEST_LENGTH];
    SHA256(der, static_cast<size_t>(length), digest);
    OPENSSL_free(der);
    std::string text;
    char pair[4];
    for (const unsigned char byte : digest) {
        std::snprintf(pair, sizeof pair, text.empty() ? "%02X" : ":%02X", byte);
        text += pair;
    }
    return text;
}
