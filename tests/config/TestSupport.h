#pragma once
// Helpers shared by the configuration and authoring tests: temporary
// configuration folders, containers, keys and signed files.
#include "keytools/PemKey.h"

#include <QByteArray>
#include <QString>
#include <QTemporaryDir>
#include <gtest/gtest.h>

// A configuration folder that disappears with the test.
class ConfigFolder {
public:
    ConfigFolder();
    QString path() const;                    // with a trailing '/'
    QString file(const QString& name) const; // path() + name
    void write(const QString& name, const QByteArray& bytes) const;
    QByteArray read(const QString& name) const;
    QStringList entries() const; // file names, sorted

private:
    QTemporaryDir dir_;
};

// A well-formed container of `plain` (the authoring tool's encryption).
QByteArray packed(const QByteArray& plain);

// A container with any header and body, well-formed or not.
QByteArray rawContainer(uint32_t plainLength, const QByteArray& body);

// The key configured as MIRDAL_SIGNING_KEY, whose public half the program holds.
const PemKey& buildSigningKey();
QString buildSigningKeyPath();

// A fresh 2048-bit key, made once per test program, and its PEM text.
const PemKey& otherKey();
QByteArray otherKeyPem();

// The public key of a private PEM text, as PEM text.
QByteArray publicPem(const QByteArray& privatePem);

// `unsignedXml` signed with `key` by the authoring tool.
QByteArray signedWith(const QByteArray& unsignedXml, const RsaPrivateKey& key);

// Skips the calling test when the build key holds no private half
// (a build configured with a public key only cannot make signed files).
#define REQUIRE_SIGNING_KEY()                                                             \
    do {                                                                                  \
        if (!buildSigningKey().hasPrivate)                                                \
            GTEST_SKIP() << "MIRDAL_SIGNING_KEY holds no private key to sign test files"; \
    } while (0)

// Independent computations with OpenSSL, for cross-checks.
// Raw RSA private operation (no padding) of a 256-byte block with the PEM key in `pemPath`.
QByteArray opensslRawPrivate(const QString& pemPath, const QByteArray& block);
// Standard PKCS#1 v1.5 signature with SHA-256 and its DigestInfo prefix.
QByteArray opensslPkcs1Sha256(const QString& pemPath, const QByteArray& message);
