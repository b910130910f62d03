#include "config/Signature.h"

#include "signing_key.h"

#include <QCryptographicHash>
#include <QFile>
#include <cstring>

namespace {

const QByteArray kStartTag = QByteArrayLiteral("<signature>");
const QByteArray kEndTag = QByteArrayLiteral("</signature"); // without its '>'

constexpr int kPaddingEnd = kSignatureSize - kDigestSize - 1; // offset of the 00 separator

// One raw RSA operation inside the module's start and end calls.
int rsaRaw(uint8_t keyKind, uint8_t* in, uint8_t* out, const void* key)
{
    cryptoStart(kCryptoMode);
    RsaData data{in, kSignatureSize, out, kSignatureSize};
    const int status = rsaOperation(kRsaOpRaw, keyKind, &data, key);
    cryptoEnd();
    if (status == kRsaOk && data.outputLength != kSignatureSize)
        return kRsaLengthError;
    return status;
}

QByteArray sha256(const QByteArray& bytes)
{
    return QCryptographicHash::hash(bytes, QCryptographicHash::Sha256);
}

} // namespace

QString fileSha256(const QString& path)
{
    QFile file(path);
    QCryptographicHash hash(QCryptographicHash::Sha256);
    if (!file.open(QIODevice::ReadOnly) || !hash.addData(&file))
        return {};
    return QString::fromLatin1(hash.result().toHex());
}

QByteArray signedPart(const QByteArray& fileBytes)
{
    const int start = fileBytes.lastIndexOf(kStartTag);
    return start < 0 ? QByteArray() : fileBytes.left(start);
}

QString storedSignature(const QByteArray& fileBytes)
{
    const int start = fileBytes.lastIndexOf(kStartTag);
    if (start < 0)
        return QString();
    const int textStart = start + kStartTag.size();
    const int end = fileBytes.lastIndexOf(kEndTag);
    if (end < textStart)
        return QString();
    QByteArray text = fileBytes.mid(textStart, end - textStart);
    const int nul = text.indexOf('\0');
    if (nul >= 0)
        text.truncate(nul);
    return QString::fromUtf8(text);
}

QByteArray signatureBlock(const QByteArray& digest)
{
    QByteArray block(kSignatureSize, char(0xFF));
    block[0] = 0x00;
    block[1] = 0x01;
    block[kPaddingEnd] = 0x00;
    std::memcpy(block.data() + kPaddingEnd + 1, digest.constData(), std::min(digest.size(), kDigestSize));
    return block;
}

uint8_t signDigest(uint8_t* in, uint8_t* out, const RsaPrivateKey& key)
{
    const QByteArray block = signatureBlock(QByteArray::fromRawData(reinterpret_cast<const char*>(in), kDigestSize));
    std::memcpy(in, block.constData(), kSignatureSize);
    std::memset(out, 0, kSignatureSize);
    return static_cast<uint8_t>(rsaRaw(kRsaKeyPrivate, in, out, &key) & 0xFF);
}

QString signatureText(const QByteArray& signedBytes, const RsaPrivateKey& key)
{
    uint8_t in[kSignatureSize] = {};
    uint8_t out[kSignatureSize] = {};
    const QByteArray digest = sha256(signedBytes);
    std::memcpy(in, digest.constData(), kDigestSize);
    signDigest(in, out, key);
    return QString::fromLatin1(QByteArray(reinterpret_cast<const char*>(out), kSignatureSize).toBase64());
}

bool verifySignature(const QByteArray& signedBytes, const QString& text, const RsaPublicKey& key)
{
    // Only the one canonical encoding counts: Base64 leaves some bits of its
    // last characters unused and its decoder skips foreign characters, so
    // texts that decode to the right value but are not the exact encoding of
    // it must fail as they would against a recomputed text.
    if (text.size() != kSignatureTextLength)
        return false;
    const QByteArray encoded = text.toLatin1();
    QByteArray value = QByteArray::fromBase64(encoded);
    if (value.size() != kSignatureSize || value.toBase64() != encoded)
        return false;

    // The public operation refuses a value not below the modulus, which no
    // private recomputation could have produced.
    uint8_t recovered[kSignatureSize] = {};
    if (rsaRaw(kRsaKeyPublic, reinterpret_cast<uint8_t*>(value.data()), recovered, &key) != kRsaOk)
        return false;
    const QByteArray expected = signatureBlock(sha256(signedBytes));
    return std::memcmp(recovered, expected.constData(), kSignatureSize) == 0;
}

const RsaPublicKey& signingPublicKey()
{
    return kSigningPublicKey;
}

bool trustsDevelopmentKey()
{
    return kTrustsDevelopmentKey;
}
