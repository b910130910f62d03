#include "tests/support/SignedConfiguration.h"

#include "cli/Authoring.h"
#include "keytools/OpenSslPtr.h"

#include <QDir>
#include <QFile>
#include <openssl/pem.h>
#include <openssl/rsa.h>

namespace {

PkeyPtr loadOpensslKey(const QString& pemPath)
{
    BioPtr bio(BIO_new_file(QFile::encodeName(pemPath).constData(), "r"));
    return PkeyPtr(bio ? PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr) : nullptr);
}

// One EVP signature operation; `configure` sets padding and digest.
template <typename Configure>
QByteArray opensslSign(const QString& pemPath, const QByteArray& input, Configure configure)
{
    PkeyPtr key = loadOpensslKey(pemPath);
    if (!key)
        return QByteArray();
    PkeyCtxPtr ctx(EVP_PKEY_CTX_new(key.get(), nullptr));
    size_t length = 0;
    if (!ctx || EVP_PKEY_sign_init(ctx.get()) <= 0 || !configure(ctx.get()))
        return QByteArray();
    const auto* in = reinterpret_cast<const unsigned char*>(input.constData());
    if (EVP_PKEY_sign(ctx.get(), nullptr, &length, in, input.size()) <= 0)
        return QByteArray();
    QByteArray out(int(length), '\0');
    if (EVP_PKEY_sign(ctx.get(), reinterpret_cast<unsigned char*>(out.data()), &length, in, input.size()) <= 0)
        return QByteArray();
    out.resize(int(length));
    return out;
}

} // namespace

ConfigFolder::ConfigFolder()
{
    if (!dir_.isValid())
        throw std::runtime_error("no temporary folder");
}

QString ConfigFolder::path() const
{
    return dir_.path() + QLatin1Char('/');
}

QString ConfigFolder::file(const QString& name) const
{
    return path() + name;
}

void ConfigFolder::write(const QString& name, const QByteArray& bytes) const
{
    QFile out(file(name));
    if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate) || out.write(bytes) != bytes.size())
        throw std::runtime_error("cannot write a test file");
}

QByteArray ConfigFolder::read(const QString& name) const
{
    QFile in(file(name));
    if (!in.open(QIODevice::ReadOnly))
        return QByteArray();
    return in.readAll();
}

QStringList ConfigFolder::entries() const
{
    return QDir(dir_.path()).entryList(QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot, QDir::Name);
}

QByteArray packed(const QByteArray& plain)
{
    QByteArray container;
    QString error;
    if (!packContainer(plain, container, error))
        throw std::runtime_error(error.toStdString());
    return container;
}

QByteArray rawContainer(uint32_t plainLength, const QByteArray& body)
{
    QByteArray out;
    for (int shift = 24; shift >= 0; shift -= 8)
        out.append(char((plainLength >> shift) & 0xFF));
    return out + body;
}

QString buildSigningKeyPath()
{
    return QStringLiteral(MIRDAL_TEST_SIGNING_KEY);
}

const PemKey& buildSigningKey()
{
    static const PemKey key = [] {
        PemKey loaded;
        std::string error;
        if (!readPemKey(MIRDAL_TEST_SIGNING_KEY, loaded, error))
            throw std::runtime_error(error);
        return loaded;
    }();
    return key;
}

QByteArray otherKeyPem()
{
    static const QByteArray pem = [] {
        PkeyPtr key(EVP_RSA_gen(2048));
        BioPtr bio(BIO_new(BIO_s_mem()));
        if (!key || !bio || !PEM_write_bio_PrivateKey(bio.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr))
            throw std::runtime_error("cannot make a key");
        char* data = nullptr;
        const long length = BIO_get_mem_data(bio.get(), &data);
        return QByteArray(data, int(length));
    }();
    return pem;
}

QByteArray publicPem(const QByteArray& privatePem)
{
    BioPtr in(BIO_new_mem_buf(privatePem.constData(), privatePem.size()));
    PkeyPtr key(in ? PEM_read_bio_PrivateKey(in.get(), nullptr, nullptr, nullptr) : nullptr);
    BioPtr out(BIO_new(BIO_s_mem()));
    if (!key || !out || !PEM_write_bio_PUBKEY(out.get(), key.get()))
        throw std::runtime_error("cannot write a public key");
    char* data = nullptr;
    const long length = BIO_get_mem_data(out.get(), &data);
    return QByteArray(data, int(length));
}

const PemKey& otherKey()
{
    static const PemKey key = [] {
        PemKey parsed;
        std::string error;
        if (!parsePemKey(otherKeyPem().toStdString(), parsed, error))
            throw std::runtime_error(error);
        return parsed;
    }();
    return key;
}

QByteArray signedWith(const QByteArray& unsignedXml, const RsaPrivateKey& key)
{
    QByteArray result;
    QString error;
    if (!signConfiguration(unsignedXml, key, result, error))
        throw std::runtime_error(error.toStdString());
    return result;
}

QByteArray opensslRawPrivate(const QString& pemPath, const QByteArray& block)
{
    return opensslSign(pemPath, block,
                       [](EVP_PKEY_CTX* ctx) { return EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_NO_PADDING) > 0; });
}

QByteArray opensslPkcs1Sha256(const QString& pemPath, const QByteArray& message)
{
    QByteArray hash(EVP_MAX_MD_SIZE, '\0');
    unsigned int hashLength = 0;
    if (!EVP_Digest(message.constData(), message.size(), reinterpret_cast<unsigned char*>(hash.data()), &hashLength,
                    EVP_sha256(), nullptr))
        return QByteArray();
    hash.resize(int(hashLength));
    return opensslSign(pemPath, hash, [](EVP_PKEY_CTX* ctx) {
        return EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PADDING) > 0 &&
               EVP_PKEY_CTX_set_signature_md(ctx, EVP_sha256()) > 0;
    });
}

// ---- whole folders

namespace {

bool writeBytes(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size();
}

// A hardware record whose bytes 8 to 10 identify the accepted hardware.
QByteArray hardwareRecord(const std::array<uint8_t, 3>& id)
{
    QByteArray record(128, '\0');
    for (int i = 0; i < 3; ++i)
        record[8 + i] = static_cast<char>(id[static_cast<size_t>(i)]);
    return record;
}

} // namespace

bool writeSignedConfiguration(const QString& folder, const ConfigurationSpec& layout)
{
    if (!buildSigningKey().hasPrivate)
        return false;
    QByteArray xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<configuration>\n"
                     "  <terminal><name>Test terminal</name><code>T1</code><image>terminal.png</image>"
                     "<delayReboot>" +
                     QByteArray::number(layout.delayReboot) +
                     "</delayReboot></terminal>\n"
                     "  <operation><title>Mise à jour</title><description>Test</description></operation>\n";
    for (size_t i = 0; i < layout.hardware.size(); ++i) {
        const QString name = QStringLiteral("hardware%1.hterm").arg(i);
        if (!writeBytes(folder + name, packed(hardwareRecord(layout.hardware[i]))))
            return false;
        xml += "  <hterm>" + name.toUtf8() + "</hterm>\n";
    }
    for (size_t b = 0; b < layout.batches.size(); ++b) {
        xml += "  <batch id=\"" + QByteArray::number(static_cast<int>(b) + 1) + "\">\n";
        for (const PackageSpec& file : layout.batches[b]) {
            if (!writeBytes(folder + file.name, packed(file.content)))
                return false;
            xml += "    <file>" + file.name.toUtf8() + "</file>\n";
        }
        xml += "  </batch>\n";
    }
    xml += "</configuration>\n";
    return writeBytes(folder + QStringLiteral("configuration.xml"), signedWith(xml, buildSigningKey().key));
}
