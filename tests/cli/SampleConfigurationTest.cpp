// The sample configuration that the build places beside the programs.
#include "config/Configuration.h"
#include "config/Signature.h"
#include "tests/support/SignedConfiguration.h"
#include "crypto/Container.h"

#include <QFile>
#include <QFileInfo>
#include <vector>

namespace {

QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QByteArray plainOf(const QString& packedPath)
{
    const QByteArray container = readFile(packedPath);
    std::vector<uint8_t> plain;
    if (decryptContainer(reinterpret_cast<const uint8_t*>(container.constData()), size_t(container.size()), plain) !=
        ContainerError::None)
        return QByteArray("(not a container)");
    return QByteArray(reinterpret_cast<const char*>(plain.data()), int(plain.size()));
}

QString source(const char* name)
{
    return QStringLiteral(MIRDAL_SAMPLE_SOURCE_DIR "/files/") + QLatin1String(name);
}

class SampleConfiguration : public testing::Test {
protected:
    void SetUp() override
    {
        configuration.setDirectory(QStringLiteral(MIRDAL_SAMPLE_DIR));
        ASSERT_TRUE(configuration.load());
    }
    Configuration configuration;
};

} // namespace

TEST_F(SampleConfiguration, VerifiesWhenSignedWithTheBuildKey)
{
    PemKey sampleKey;
    std::string error;
    ASSERT_TRUE(readPemKey(MIRDAL_SAMPLE_SIGNING_KEY, sampleKey, error)) << error;
    const RsaPublicKey& compiled = signingPublicKey();
    const bool sameKey = std::equal(std::begin(compiled.modulus), std::end(compiled.modulus), sampleKey.key.modulus);
    EXPECT_EQ(configuration.checkSignature(), sameKey);
    EXPECT_EQ(configuration.signature.size(), 344);
}

TEST_F(SampleConfiguration, DescribesTwoBatchesOfPackedFiles)
{
    EXPECT_FALSE(configuration.operationTitle().isEmpty());
    EXPECT_TRUE(QFileInfo(configuration.terminalImage()).isFile());
    const QList<Batch*> batches = configuration.batches();
    ASSERT_EQ(batches.size(), 2);
    ASSERT_EQ(batches[0]->applications.size(), 2);
    ASSERT_EQ(batches[1]->applications.size(), 1);
    EXPECT_EQ(plainOf(batches[0]->applications[0]->file), readFile(source("PARAM.CFG")));
    EXPECT_EQ(plainOf(batches[0]->applications[1]->file), readFile(source("FONTS.BIN")));
    EXPECT_EQ(plainOf(batches[1]->applications[0]->file), readFile(source("APPLI.BIN")));
    EXPECT_FALSE(readFile(source("APPLI.BIN")).isEmpty());
}

TEST_F(SampleConfiguration, AcceptsTheHardwareIdentificationM10)
{
    ASSERT_EQ(configuration.hterminals().size(), 1);
    const unsigned char* data = configuration.hterminals()[0]->data;
    EXPECT_EQ(data[8], 0x4D);
    EXPECT_EQ(data[9], 0x31);
    EXPECT_EQ(data[10], 0x30);
    EXPECT_EQ(QByteArray(reinterpret_cast<const char*>(data), HTerminal::kDataSize), readFile(source("M10.REC")));
}

TEST_F(SampleConfiguration, PictureIsA280By290Png)
{
    const QByteArray png = readFile(configuration.terminalImage());
    ASSERT_GE(png.size(), 24);
    EXPECT_TRUE(png.startsWith("\x89PNG\r\n\x1a\n"));
    // Width and height, big-endian, in the IHDR chunk.
    EXPECT_EQ(png.mid(16, 8), QByteArray::fromHex("0000011800000122"));
}
