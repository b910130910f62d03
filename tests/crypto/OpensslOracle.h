#pragma once
// OpenSSL as the reference the crypto layer is checked against.
#include "crypto/BigNum.h"
#include "crypto/Rsa.h"

#include <openssl/bn.h>
#include <openssl/evp.h>

#include <cstdint>
#include <memory>
#include <random>
#include <vector>

using Bytes = std::vector<uint8_t>;

struct BnFree {
    void operator()(BIGNUM* bn) const { BN_free(bn); }
};
using BnPtr = std::unique_ptr<BIGNUM, BnFree>;

struct PkeyFree {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
using PkeyPtr = std::unique_ptr<EVP_PKEY, PkeyFree>;

// AES-128-ECB encryption without padding; `data` is a whole number of blocks.
Bytes opensslEncryptEcb(const uint8_t key[16], const Bytes& data);

// Big numbers to and from little-endian digit arrays, built byte by byte so
// that the conversions do not depend on the code under test.
BnPtr toBn(const BnDigit* digits, unsigned count);
void fromBn(const BIGNUM* bn, BnDigit* digits, unsigned count); // count must hold bn
BnPtr bnFromBytes(const Bytes& bigEndian);
Bytes bnToBytes(const BIGNUM* bn, size_t length); // big-endian, left-padded

// A generated RSA key: OpenSSL's handle and the same key as our record.
struct TestKey {
    PkeyPtr pkey;
    RsaPrivateKey record{};
    unsigned bytes = 0; // modulus length
    BnPtr n, d;
};
TestKey generateRsaKey(unsigned bits);

// The key with its primes exchanged (q larger than p) and coefficient recomputed.
RsaPrivateKey withPrimesSwapped(const TestKey& key);

// Raw RSA without padding; input and output are `key.bytes` long.
Bytes opensslPrivateRaw(const TestKey& key, const Bytes& input);
Bytes opensslPublicRaw(const TestKey& key, const Bytes& input);
// PKCS #1 v1.5: a type 1 signature of raw data, type 2 encryption and decryption.
Bytes opensslSignType1(const TestKey& key, const Bytes& data);
Bytes opensslEncryptType2(const TestKey& key, const Bytes& data);
Bytes opensslDecryptType2(const TestKey& key, const Bytes& block);

// Random bytes from a seeded generator: the tests repeat exactly.
Bytes randomBytes(std::mt19937_64& rng, size_t count);
// A uniformly random value below n, as `length` big-endian bytes.
Bytes randomBelow(const BIGNUM* n, size_t length);
