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

QByteArray bytesOf(const uint8_t* data, int size)
{
    return QByteArray(reinterpret_cast<const char*>(data), size);
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
    return QByteArray(signedFile).replace(start, signedFile.lastIndexOf("</signature") - start, text);
}

TEST(SignaturePieces, SignedPartStoredTextAndBlock)
{
    EXPECT_EQ(signedPart("<a><signature>x</signature><signature>y</signature></a>"),
              QByteArray("<a><signature>x</signature>"));
    EXPECT_EQ(signedPart("<a></a>") + signedPart("<signature>"), QByteArray());
    EXPECT_EQ(storedSignature("<a><signature>x</signature><signature> y\n</signature ></a>"), QStringLiteral(" y\n"));
    for (const char* file : {"<a><signature>abc", "</signature><signature>abc", "<a>abc</signature></a>"})
        EXPECT_EQ(storedSignature(file), QString()) << file;
    const QByteArray digest = sha256("abc");
    EXPECT_EQ(signatureBlock(digest), QByteArray("\0\1", 2) + QByteArray(221, '\xFF') + QByteArray(1, 0) + digest);
}

TEST(SignaturePieces, CompiledKeyAndTheRawPrivateOperation)
{
    REQUIRE_SIGNING_KEY();
    const RsaPublicKey& compiled = signingPublicKey();
    const RsaPublicKey expected = publicHalf(buildSigningKey().key);
    EXPECT_EQ(compiled.bits, 2048);
    EXPECT_EQ(bytesOf(compiled.modulus, 256), bytesOf(expected.modulus, 256));
    EXPECT_EQ(bytesOf(compiled.exponent, 256), bytesOf(expected.exponent, 256));
    // signDigest: `in` becomes the block, `out` what OpenSSL computes from it.
    const QByteArray digest = sha256("some signed part");
    uint8_t in[256] = {};
    uint8_t out[256];
    std::memset(out, 0xAA, sizeof out);
    std::memcpy(in, digest.constData(), 32);
    EXPECT_EQ(signDigest(in, out, buildSigningKey().key), 0);
    EXPECT_EQ(bytesOf(in, 256), signatureBlock(digest));
    EXPECT_EQ(bytesOf(out, 256), opensslRawPrivate(buildSigningKeyPath(), signatureBlock(digest)));
}

// Verifying with the public key accepts exactly the stored texts that
// recomputing the signature with the private key reproduces, and the file
// check agrees with both.
TEST(SignatureCheck, PublicVerificationAgreesWithPrivateRecomputation)
{
    REQUIRE_SIGNING_KEY();
    const RsaPrivateKey& key = buildSigningKey().key;
    const QByteArray signedFile = signedWith(kUnsigned, key);
    const QByteArray text = storedSignature(signedFile).toLatin1(), part = signedPart(signedFile);
    const int start = part.size(), end = signedFile.lastIndexOf("</signature");
    ASSERT_EQ(text.size(), 344);
    ASSERT_TRUE(text.endsWith("=="));
    // The last character before "==" carries 4 unused bits: set one, and a
    // lenient decoder gives the same 256 bytes.
    const QByteArray alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    QByteArray nonCanonical = text, flippedValue = QByteArray::fromBase64(text), skipped = text;
    nonCanonical[341] = alphabet.at(alphabet.indexOf(text.at(341)) ^ 0x01);
    ASSERT_EQ(QByteArray::fromBase64(nonCanonical), flippedValue);
    flippedValue[200] = char(flippedValue[200] ^ 0x40);
    skipped.insert(100, '!').chop(1); // a character the decoder skips
    // The same block made from a SHA-1 digest.
    uint8_t in[256] = {}, sha1Value[256] = {};
    const QByteArray sha1 = QCryptographicHash::hash(part, QCryptographicHash::Sha1);
    std::memcpy(in, sha1.constData(), size_t(sha1.size()));
    ASSERT_EQ(signDigest(in, sha1Value, key), 0);

    // Past the signature element, only white space and the root's end tag may follow: the signature holds, but
    // what follows it is not signed and would be obeyed, so the file is refused.
    struct Variant {
        const char* name;
        QByteArray file;
        bool valid;
        bool accepted = valid;
    };
    const QByteArray signatureEnd = signedFile.left(end + 11);
    std::vector<Variant> variants = {
        {"signed", signedFile, true},
        {"line ends after", signatureEnd + " >\r\n\r\n</configuration >\r\n\n", true},
        {"cut after the element", signatureEnd + ">\n", true},
        {"element after", signatureEnd + "><batch id=\"3\"><file>EVIL.BIN</file></batch></configuration>", true, false},
        {"element after the root", signedFile + "<hterm>EVIL.HTM</hterm>", true, false},
        {"comment after", signedFile + "\n<!-- after -->\n", true, false},
        {"text after", signatureEnd + ">\nafter</configuration>", true, false},
        {"another end tag", signatureEnd + "></other>", true, false},
        {"line ends", QByteArray(part).replace("\r\n", "\n") + signedFile.mid(start), false},
        {"value changed", withStoredText(signedFile, flippedValue.toBase64()), false},
        {"non-canonical text", withStoredText(signedFile, nonCanonical), false},
        {"skipped character", withStoredText(signedFile, skipped), false},
        {"line break after", withStoredText(signedFile, text + "\n"), false},
        {"CR LF after", withStoredText(signedFile, text + "\r\n"), false},
        {"space before", withStoredText(signedFile, " " + text), false},
        {"split in lines", withStoredText(signedFile, text.left(76) + "\n" + text.mid(76)), false},
        {"truncated text", withStoredText(signedFile, text.left(340)), false},
        {"lower case", withStoredText(signedFile, text.toLower()), false},
        {"another key", signedWith(kUnsigned, otherKey().key), false},
        {"digest info", withStoredText(signedFile, opensslPkcs1Sha256(buildSigningKeyPath(), part).toBase64()), false},
        {"SHA-1", withStoredText(signedFile, bytesOf(sha1Value, 256).toBase64()), false},
        {"modulus", withStoredText(signedFile, bytesOf(signingPublicKey().modulus, 256).toBase64()), false},
        {"all ones", withStoredText(signedFile, QByteArray(256, char(0xFF)).toBase64()), false},
        {"no element", kUnsigned, false},
        {"no end tag", signedFile.left(end), false},
        {"empty element", withStoredText(signedFile, QByteArray()), false},
    };
    for (const int position : {0, 5, start / 2, start - 1}) {
        variants.push_back({"signed part changed", signedFile, false});
        variants.back().file[position] = char(signedFile[position] ^ 0x01);
    }
    for (const Variant& variant : variants) {
        const QByteArray signedBytes = signedPart(variant.file);
        const QString stored = storedSignature(variant.file);
        const bool recomputed = signatureText(signedBytes, key) == stored;
        EXPECT_EQ(recomputed, variant.valid) << variant.name;
        EXPECT_EQ(verifySignature(signedBytes, stored, signingPublicKey()), recomputed) << variant.name;
        EXPECT_EQ(passesCheck(variant.file), variant.accepted) << variant.name;
    }
}

} // namespace
