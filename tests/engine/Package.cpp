#include "tests/engine/Package.h"

#include "crypto/Aes.h"

#include <QFile>
#include <openssl/evp.h>

#include <memory>
#include <stdexcept>

QByteArray makePackage(const QByteArray& plain)
{
    // An empty content still gets one block: a container needs a body.
    const int blocks = std::max(1, (plain.size() + 15) / 16);
    QByteArray padded = plain;
    padded.append(QByteArray(blocks * 16 - plain.size(), '\0'));

    std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)> ctx(EVP_CIPHER_CTX_new(), EVP_CIPHER_CTX_free);
    QByteArray body(padded.size(), '\0');
    int written = 0;
    if (!EVP_EncryptInit_ex(ctx.get(), EVP_aes_128_ecb(), nullptr, FILE_KEY, nullptr) ||
        !EVP_CIPHER_CTX_set_padding(ctx.get(), 0) ||
        !EVP_EncryptUpdate(ctx.get(), reinterpret_cast<unsigned char*>(body.data()), &written,
                           reinterpret_cast<const unsigned char*>(padded.constData()), padded.size()) ||
        written != padded.size())
        throw std::runtime_error("AES encryption failed");

    const auto length = static_cast<uint32_t>(plain.size());
    QByteArray container;
    for (int shift = 24; shift >= 0; shift -= 8)
        container.append(static_cast<char>((length >> shift) & 0xFF));
    return container + body;
}

QByteArray patternContent(int size, char seed)
{
    QByteArray content(size, '\0');
    for (int i = 0; i < size; ++i)
        content[i] = static_cast<char>(seed + i % 23 + i / 122);
    return content;
}

bool writeFile(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size();
}
