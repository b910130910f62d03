#pragma once
// Reads an RSA key from a PEM file into the byte records of the RSA module.
// Used by the build (to compile the verifying key in), by the signing tool
// and by the tests; the shipped programs never read a key file.
#include "crypto/Rsa.h"

#include <string>

struct PemKey {
    RsaPrivateKey key{};     // the public fields are always set
    bool hasPrivate = false; // the private fields are set too
};

// Accepts a private key (PKCS#1 or PKCS#8) or a public key (SubjectPublicKeyInfo
// or PKCS#1). Only 2048-bit RSA keys fit the records; anything else is refused
// with a one-line reason in `error`. An encrypted private key is read only
// with its `passphrase`; without one, nobody is asked for it.
bool readPemKey(const std::string& path, PemKey& out, std::string& error, const std::string& passphrase = {});

// The same from PEM text in memory (tests).
bool parsePemKey(const std::string& pem, PemKey& out, std::string& error, const std::string& passphrase = {});

// The public half of a key record.
RsaPublicKey publicHalf(const RsaPrivateKey& key);

// The fingerprint of a public key: the SHA-256 of its DER form
// (SubjectPublicKeyInfo, as "openssl pkey -pubin -outform DER" writes it),
// as colon-separated upper-case hex pairs. Empty if the key cannot be encoded.
std::string publicKeyFingerprint(const RsaPublicKey& key);
