#pragma once
// The one writer of signed configuration folders, and what it is made of:
// temporary folders, containers, the build's signing key and other keys,
// signed files; and OpenSSL's own computations for cross-checks.
#include "keytools/PemKey.h"

#include <QByteArray>
#include <QString>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <utility>
#include <vector>

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

// ---- whole folders, as the authoring tools ship them

struct PackageSpec {
    QString name;       // as written in configuration.xml
    QByteArray content; // plain content the terminal must receive
};

struct ConfigurationSpec {
    int delayReboot = 0;
    std::vector<std::array<uint8_t, 3>> hardware = {{0x01, 0x02, 0x03}};
    std::vector<std::vector<PackageSpec>> batches;
};

// Writes everything into `folder` (which ends with '/'); false when the
// build's key cannot sign.
bool writeSignedConfiguration(const QString& folder, const ConfigurationSpec& layout);
