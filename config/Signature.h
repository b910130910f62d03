#pragma once
// The signature of configuration.xml: a deterministic RSA-2048 signature
// (block type 1 padding, SHA-256 digest, no DigestInfo) of every byte before
// the file's last "<signature>", stored as 344 characters of Base64.
//
// The program holds only the public half of the signing key, compiled in at
// build time: verifying with it accepts exactly the stored texts that
// recomputing the signature with the private half would reproduce, without
// giving anyone who holds the program the means to sign.
#include "crypto/Rsa.h"

#include <QByteArray>
#include <QString>
#include <cstdint>

constexpr int kSignatureSize = 256;       // bytes of the signature value and block
constexpr int kSignatureTextLength = 344; // Base64 characters of the stored text
constexpr int kDigestSize = 32;           // SHA-256

// Every byte before the last "<signature>"; empty when there is none.
QByteArray signedPart(const QByteArray& fileBytes);

// The text between the last "<signature>" and the last "</signature", up to
// its first NUL byte. Empty when there is no start tag or no end tag after
// it: a file cut right after its Base64 text must not pass as signed.
QString storedSignature(const QByteArray& fileBytes);

// 00 01, 221 bytes FF, 00, then the 32-byte digest.
QByteArray signatureBlock(const QByteArray& digest);

// The private recomputation: `in` holds the digest in its first 32 bytes
// (256 bytes, the rest zero); on return `out` holds the signature value and
// `in` the signature block. Returns the low byte of the RSA status (0 = done).
uint8_t signDigest(uint8_t* in, uint8_t* out, const RsaPrivateKey& key);

// The stored text that signing `signedBytes` with `key` gives.
QString signatureText(const QByteArray& signedBytes, const RsaPrivateKey& key);

// True if `text` is the canonical Base64 of a 256-byte value below the
// modulus whose public-key operation gives the signature block of `signedBytes`.
bool verifySignature(const QByteArray& signedBytes, const QString& text, const RsaPublicKey& key);

// The verifying key compiled into the program.
const RsaPublicKey& signingPublicKey();

// The SHA-256 of the file at `path` in lower-case hexadecimal, as sha256sum
// prints it: how a site tells which configuration.xml runs. Empty when the
// file cannot be read.
QString fileSha256(const QString& path);

// Whether that key is the repository's development key, whose private half
// anyone holding the repository has: such a build accepts configurations
// that anyone can sign.
bool trustsDevelopmentKey();
