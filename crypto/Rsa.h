#pragma once
// A small RSA module: start/end calls around a dispatcher of raw and padded
// operations. Keys are big-endian byte fields, right-aligned.
#include <cstdint>

constexpr unsigned kRsaMaxBytes = 256;
constexpr unsigned kRsaPrimeBytes = 128;

struct RsaPublicKey {
    uint16_t bits;
    uint8_t modulus[kRsaMaxBytes];
    uint8_t exponent[kRsaMaxBytes];
};

// Starts with the public layout, so a private record serves where a public one is expected.
struct RsaPrivateKey {
    uint16_t bits;
    uint8_t modulus[kRsaMaxBytes];
    uint8_t publicExponent[kRsaMaxBytes];
    uint8_t privateExponent[kRsaMaxBytes];
    uint8_t prime1[kRsaPrimeBytes];
    uint8_t prime2[kRsaPrimeBytes];
    uint8_t exponent1[kRsaPrimeBytes];
    uint8_t exponent2[kRsaPrimeBytes];
    uint8_t coefficient[kRsaPrimeBytes];
};

struct RsaData {
    uint8_t* input;
    uint32_t inputLength;
    uint8_t* output;
    uint32_t outputLength;
};

// Status values.
constexpr int kRsaOk = 0;
constexpr int kRsaDataError = 0x0401;
constexpr int kRsaLengthError = 0x0406;
constexpr int kRsaRandomError = 0x0408;
constexpr int kRsaNotStarted = -2;
constexpr int kRsaBadCall = -1;

// Operation codes and key kinds of rsaOperation.
constexpr uint8_t kRsaOpPad = 18;   // pad, then the raw operation
constexpr uint8_t kRsaOpUnpad = 19; // raw operation, then remove the padding
constexpr uint8_t kRsaOpRaw = 20;
constexpr uint8_t kRsaKeyPublic = 2;
constexpr uint8_t kRsaKeyPrivate = 3;
constexpr uint8_t kCryptoMode = 2;

// The module state is shared by all threads (0 stopped, 2 started) and safe
// to touch from several at once; note that one thread's cryptoEnd stops the
// module for the others too.
int cryptoStart(uint8_t mode);
int cryptoEnd();

// `data->output` must hold (bits + 7) / 8 bytes; `data->outputLength` receives
// the count written. On any non-zero status the output is left untouched.
int rsaOperation(uint8_t operation, uint8_t keyKind, RsaData* data, const void* key);

// Raw operations: write (bits + 7) / 8 bytes, or return kRsaDataError (input
// not below the modulus) or kRsaLengthError (input over 256 bytes) and write
// nothing. The private one works by the Chinese remainder theorem.
int rsaPrivateBlock(uint8_t* output, uint32_t* outputLength, const uint8_t* input, uint32_t inputLength,
                    const RsaPrivateKey* key);
int rsaPublicBlock(uint8_t* output, uint32_t* outputLength, const uint8_t* input, uint32_t inputLength,
                   const RsaPublicKey* key);
