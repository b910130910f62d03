// The signature of configuration.xml: its pieces, the check with the
// compiled-in public key, and its agreement with recomputing the signature
// with the private key.
#include "config/Configuration.h"
#include "config/Signature.h"
#include "tests/support/SignedConfiguration.h"

#include <QCryptographicHash>
#include <cstring>
#include <vector>

namespace {

const QByteArray kUnsigned = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n<configuration>\r\n"
                             "  <operation><title>Mise à jour</title></operation>\r\n"
                             "  <batch id=\"1\"><file>A.BIN</file></batch>\r\n</configuration>\r\n";

QByteArray sha256(const QByteArray& bytes)
{
    return QCryptographicHash::hash(bytes, QCryptographicHash::Sha256);
}

// load() then checkSignature() on `file` as configuration.xml.
bool passesCheck(const QByteArray& file)
{
    ConfigFolder folder;
    folder.write(QStringLiteral("configuration.xml"), file);
    Configuration configuration;
    configuration.setDirectory(folder.path());
    return configuration.load() && configuration.checkSignature();
}

QByteArray withStoredText(const QByteArray& signedFile, const QByteArray& text)
{
    const int start = signedFile.lastIndexOf("<signature>") + 11;
    const int end = signedFile.lastIndexOf("</signature");
    QByteArray changed = signedFile;
    return changed.replace(start, end - start, text);
}

QByteArray storedText(const QByteArray& file)
{
    return storedSignature(file).toLatin1();
}

// The last character before "==" carries 4 unused bits; setting one gives a
// text that a lenient decoder maps to the same 256 bytes.
QByteArray nonCanonical(const QByteArray& text)
{
    const QByteArray alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    QByteArray twisted = text;
    twisted[341] = alphabet.at(alphabet.indexOf(text.at(341)) ^ 0x01);
    return twisted;
}

QByteArray bytesOf(const uint8_t* data, int size)
{
    return QByteArray(reinterpret_cast<const char*>(data), size);
}

} // namespace

// ---------------------------------------------------------------- pieces

TEST(SignaturePieces, SignedPartEndsBeforeTheLastStartTag)
{
    EXPECT_EQ(signedPart("<a><signature>x</signature><signature>y</signature></a>"),
              QByteArray("<a><signature>x</signature>"));
    EXPECT_EQ(signedPart("<a></a>"), QByteArray());
    EXPECT_EQ(signedPart("<signature>"), QByteArray());
}

TEST(SignaturePieces, StoredTextBetweenTheLastTags)
{
    EXPECT_EQ(storedSignature("<a><signature>x</signature><signature> y\n</signature ></a>"), QStringLiteral(" y\n"));
    EXPECT_EQ(storedSignature("<a><signature>abc"), QString());
    EXPECT_EQ(storedSignature("</signature><signature>abc"), QString());
    EXPECT_EQ(storedSignature("<a>abc</signature></a>"), QString());
}

TEST(SignaturePieces, SignatureBlockLayout)
{
    const QByteArray digest = sha256("abc");
    const QByteArray block = signatureBlock(digest);
    ASSERT_EQ(block.size(), 256);
    EXPECT_EQ(block.at(0), 0x00);
    EXPECT_EQ(block.at(1), 0x01);
    EXPECT_EQ(block.mid(2, 221), QByteArray(221, char(0xFF)));
    EXPECT_EQ(block.at(223), 0x00);
    EXPECT_EQ(block.mid(224), digest);
}

TEST(SignaturePieces, CompiledInKeyIsThePublicHalfOfTheBuildKey)
{
    const RsaPublicKey& compiled = signingPublicKey();
    const RsaPublicKey expected = publicHalf(buildSigningKey().key);
    EXPECT_EQ(compiled.bits, 2048);
    EXPECT_EQ(bytesOf(compiled.modulus, 256), bytesOf(expected.modulus, 256));
    EXPECT_EQ(bytesOf(compiled.exponent, 256), bytesOf(expected.exponent, 256));
}

TEST(SignaturePieces, SignDigestIsTheRawPrivateOperationOnTheBlock)
{
    REQUIRE_SIGNING_KEY();
    const QByteArray digest = sha256("some signed part");
    uint8_t in[256] = {};
    uint8_t out[256];
    std::memset(out, 0xAA, sizeof out);
    std::memcpy(in, digest.constData(), 32);
    EXPECT_EQ(signDigest(in, out, buildSigningKey().key), 0);
    // `in` now holds the block, `out` what OpenSSL computes from it.
    EXPECT_EQ(bytesOf(in, 256), signatureBlock(digest));
    const QByteArray reference = opensslRawPrivate(buildSigningKeyPath(), signatureBlock(digest));
    ASSERT_EQ(reference.size(), 256);
    EXPECT_EQ(bytesOf(out, 256), reference);
}

TEST(SignaturePieces, SignatureTextIs344CharactersEndingWithTwoFillers)
{
    REQUIRE_SIGNING_KEY();
    const QString text = signatureText(kUnsigned, buildSigningKey().key);
    EXPECT_EQ(text.size(), 344);
    EXPECT_TRUE(text.endsWith(QStringLiteral("==")));
}

// ---------------------------------------------------------------- the check

class SignatureCheck : public testing::Test {
protected:
    void SetUp() override
    {
        REQUIRE_SIGNING_KEY();
        signedFile = signedWith(kUnsigned, buildSigningKey().key);
    }
    QByteArray signedFile;
};

TEST_F(SignatureCheck, FileSignedWithTheBuildKeyPasses)
{
    EXPECT_TRUE(passesCheck(signedFile));
    EXPECT_EQ(storedText(signedFile).size(), 344);
}

TEST_F(SignatureCheck, OneChangedByteBeforeTheStartTagFails)
{
    const int start = signedFile.lastIndexOf("<signature>");
    for (int position : {0, 5, start / 2, start - 1}) {
        QByteArray changed = signedFile;
        changed[position] = char(changed[position] ^ 0x01);
        EXPECT_FALSE(passesCheck(changed)) << "position " << position;
    }
}

TEST_F(SignatureCheck, ChangedLineEndsFail)
{
    QByteArray changed = signedFile;
    const int start = changed.lastIndexOf("<signature>");
    changed = changed.left(start).replace("\r\n", "\n") + changed.mid(start);
    EXPECT_FALSE(passesCheck(changed));
}

TEST_F(SignatureCheck, BytesAfterTheEndTagDoNotCount)
{
    const int end = signedFile.lastIndexOf("</signature");
    const QByteArray head = signedFile.left(end + 11);
    EXPECT_TRUE(passesCheck(head + "></configuration>"));
    EXPECT_TRUE(passesCheck(head + ">\n</configuration>\n\n\n"));
    EXPECT_TRUE(passesCheck(head + "></other>"));
}

TEST_F(SignatureCheck, WhiteSpaceAroundTheStoredTextFails)
{
    const QByteArray text = storedText(signedFile);
    EXPECT_TRUE(passesCheck(withStoredText(signedFile, text)));
    EXPECT_FALSE(passesCheck(withStoredText(signedFile, text + "\n")));
    EXPECT_FALSE(passesCheck(withStoredText(signedFile, text + "\r\n")));
    EXPECT_FALSE(passesCheck(withStoredText(signedFile, " " + text)));
    EXPECT_FALSE(passesCheck(withStoredText(signedFile, text.left(76) + "\n" + text.mid(76))));
}

TEST_F(SignatureCheck, NoSignatureElementFails)
{
    const int start = signedFile.lastIndexOf("  <signature>");
    const int end = signedFile.lastIndexOf("</signature>") + 12;
    QByteArray without = signedFile;
    without.remove(start, end - start);
    ASSERT_EQ(without.indexOf("signature"), -1);
    EXPECT_FALSE(passesCheck(without));
}

TEST_F(SignatureCheck, UnterminatedSignatureElementFails)
{
    EXPECT_FALSE(passesCheck(signedFile.left(signedFile.lastIndexOf("</signature"))));
}

TEST_F(SignatureCheck, AnotherKeyFails)
{
    const QByteArray other = signedWith(kUnsigned, otherKey().key);
    ASSERT_EQ(signedPart(other), signedPart(signedFile));
    ASSERT_NE(storedText(other), storedText(signedFile));
    EXPECT_FALSE(passesCheck(other));
}

TEST_F(SignatureCheck, StandardSignatureWithDigestInfoFails)
{
    const QByteArray standard = opensslPkcs1Sha256(buildSigningKeyPath(), signedPart(signedFile));
    ASSERT_EQ(standard.size(), 256);
    EXPECT_FALSE(passesCheck(withStoredText(signedFile, standard.toBase64())));
}

TEST_F(SignatureCheck, SignatureOfAnotherHashFails)
{
    // The same block built from a SHA-1 digest padded to 32 bytes.
    uint8_t in[256] = {};
    uint8_t out[256] = {};
    const QByteArray sha1 = QCryptographicHash::hash(signedPart(signedFile), QCryptographicHash::Sha1);
    std::memcpy(in, sha1.constData(), size_t(sha1.size()));
    ASSERT_EQ(signDigest(in, out, buildSigningKey().key), 0);
    EXPECT_FALSE(passesCheck(withStoredText(signedFile, bytesOf(out, 256).toBase64())));
}

TEST_F(SignatureCheck, NonCanonicalBase64OfTheRightValueFails)
{
    const QByteArray text = storedText(signedFile);
    const QByteArray twisted = nonCanonical(text);
    ASSERT_EQ(QByteArray::fromBase64(twisted), QByteArray::fromBase64(text));
    EXPECT_FALSE(passesCheck(withStoredText(signedFile, twisted)));

    // Characters outside the alphabet, which the decoder skips.
    QByteArray padded = text;
    padded.insert(100, '!');
    padded.remove(padded.size() - 1, 1);
    EXPECT_FALSE(passesCheck(withStoredText(signedFile, padded)));
}

TEST_F(SignatureCheck, ValueNotBelowTheModulusFails)
{
    const RsaPublicKey& key = signingPublicKey();
    EXPECT_FALSE(passesCheck(withStoredText(signedFile, bytesOf(key.modulus, 256).toBase64())));
    EXPECT_FALSE(passesCheck(withStoredText(signedFile, QByteArray(256, char(0xFF)).toBase64())));
}

// ---------------------------------------------------------------- equivalence

// Verifying with the public key accepts exactly the stored texts that
// recomputing the signature with the private key reproduces.
TEST_F(SignatureCheck, PublicVerificationAgreesWithPrivateRecomputation)
{
    const RsaPrivateKey& key = buildSigningKey().key;
    const QByteArray text = storedText(signedFile);
    const QByteArray modulus = bytesOf(signingPublicKey().modulus, 256);
    QByteArray flippedValue = QByteArray::fromBase64(text);
    flippedValue[200] = char(flippedValue[200] ^ 0x40);
    QByteArray changedPart = signedFile;
    changedPart[60] = 'X';

    struct Variant {
        const char* name;
        QByteArray file;
        bool valid;
    };
    const std::vector<Variant> variants = {
        {"signed", signedFile, true},
        {"tail changed", signedFile + "\n<!-- after -->\n", true},
        {"signed part changed", changedPart, false},
        {"value changed", withStoredText(signedFile, flippedValue.toBase64()), false},
        {"non-canonical text", withStoredText(signedFile, nonCanonical(text)), false},
        {"line break", withStoredText(signedFile, text + "\n"), false},
        {"truncated text", withStoredText(signedFile, text.left(340)), false},
        {"lower case", withStoredText(signedFile, text.toLower()), false},
        {"another key", signedWith(kUnsigned, otherKey().key), false},
        {"digest info",
         withStoredText(signedFile, opensslPkcs1Sha256(buildSigningKeyPath(), signedPart(signedFile)).toBase64()),
         false},
        {"modulus", withStoredText(signedFile, modulus.toBase64()), false},
        {"no element", kUnsigned, false},
        {"no end tag", signedFile.left(signedFile.lastIndexOf("</signature")), false},
        {"empty element", withStoredText(signedFile, QByteArray()), false},
    };
    for (const Variant& variant : variants) {
        const QByteArray part = signedPart(variant.file);
        const QString stored = storedSignature(variant.file);
        const bool recomputed = signatureText(part, key) == stored;
        const bool verified = verifySignature(part, stored, signingPublicKey());
        EXPECT_EQ(recomputed, variant.valid) << variant.name;
        EXPECT_EQ(verified, recomputed) << variant.name;
        EXPECT_EQ(passesCheck(variant.file), recomputed) << variant.name;
    }
}
