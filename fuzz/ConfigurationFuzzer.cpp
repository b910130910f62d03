// configuration.xml as it comes: any bytes. The reading must end, take the
// signature out of the raw bytes and judge it, whatever the file holds.
// Beside the file lie hterm files of every shape the reader must cope with,
// which the seed corpus names.
#include "fuzz/FuzzCheck.h"
#include "config/Configuration.h"
#include "fuzz/FuzzSupport.h"
#include "config/Signature.h"

#include <QByteArray>
#include <QDir>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

using fuzz::check;

// A container with plain length `length` and `body` bytes of body.
std::vector<uint8_t> container(uint32_t length, size_t body)
{
    std::vector<uint8_t> bytes(4 + body, 0x5A);
    bytes[0] = static_cast<uint8_t>(length >> 24);
    bytes[1] = static_cast<uint8_t>(length >> 16);
    bytes[2] = static_cast<uint8_t>(length >> 8);
    bytes[3] = static_cast<uint8_t>(length);
    return bytes;
}

void writeHterm(const char* name, const std::vector<uint8_t>& bytes)
{
    fuzz::writeScratchFile(QString::fromLatin1(name), bytes.data(), bytes.size());
}

// Resolved, `path` is `folder` or lies inside it (a name may hold
// sub-folders, never a way out).
bool inFolder(const QString& path, const QString& folder)
{
    const QString root = QDir::cleanPath(QDir::fromNativeSeparators(folder));
    const QString resolved = QDir::cleanPath(QDir::fromNativeSeparators(path));
    return resolved == root || resolved.startsWith(root + QLatin1Char('/'));
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzz::installQuietLog();
    writeHterm("record.hterm", container(13, 16));
    writeHterm("full.hterm", container(128, 128));
    writeHterm("empty.hterm", container(0, 16));
    writeHterm("large.hterm", container(129, 144));
    writeHterm("beyond.hterm", container(40, 32));
    writeHterm("partial.hterm", container(5, 10));
    writeHterm("header.hterm", container(5, 0));
    writeHterm("tiny.hterm", std::vector<uint8_t>(3, 0));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz::writeScratchFile(QStringLiteral("configuration.xml"), data, size);
    const QByteArray bytes = QByteArray::fromRawData(reinterpret_cast<const char*>(data), static_cast<int>(size));

    Configuration configuration;
    configuration.setDirectory(fuzz::scratchFolder());
    const QString folder = configuration.directory();
    // A loaded model that is not signed holds no path that leaves the
    // configuration folder (a signed one uses its names as written), and a
    // refused one always says why.
    const bool loaded = configuration.load();
    check(loaded != !configuration.refusal.isEmpty(), "a refusal has its reason");
    if (loaded && !configuration.checkSignature()) {
        check(inFolder(configuration.terminalImage(), folder) || configuration.terminalImage().isEmpty(),
              "terminal picture path");
        for (const Batch* batch : configuration.batches()) {
            for (const Application* application : batch->applications)
                check(inFolder(application->file, folder), "package path");
        }
    }

    // The signature as the program takes it from the raw bytes.
    const QByteArray signedBytes = signedPart(bytes);
    check(bytes.startsWith(signedBytes), "signed part is a prefix of the file");
    check(configuration.signature == storedSignature(bytes), "stored text taken from the raw bytes");
    const bool accepted = configuration.checkSignature();
    check(accepted == verifySignature(signedBytes, configuration.signature, signingPublicKey()),
          "check over the file and over its bytes agree");
    return 0;
}
