// mirdal-cli sign --key PEM [--pass SOURCE] [--config-dir DIR]: signs
// DIR/configuration.xml in place with a private key, then checks the result
// with the key this build trusts.
#include "cli/Subcommands.h"

#include "cli/Authoring.h"
#include "cli/CommandLine.h"
#include "config/Configuration.h"
#include "config/Signature.h"
#include "crypto/Rsa.h"

#include <QCoreApplication>
#include <QDir>
#include <openssl/crypto.h>

#include <cstdio>

namespace {

const char* const kCommand = "sign";

const CommandHelp kHelp = {
    "sign",
    "Signs configuration.xml of the configuration folder in place with a private\n"
    "RSA key, then checks the signed file with the key this build trusts (see\n"
    "'mirdal-cli --version'): when this build would refuse it, one warning line\n"
    "says so on stderr; the file is signed all the same.\n",
    "SOURCE, where the passphrase of an encrypted key is read (never the passphrase\n"
    "itself, which every user of the machine could read on a command line):\n"
    "  env:VAR    the environment variable VAR\n"
    "  file:PATH  the first line of the file PATH\n"
    "  stdin      the first line of the standard input\n",
    "  0  the file was signed (even with a key this build does not trust: see above)\n"
    "  1  the key, its passphrase or the file could not be read, or the file not\n"
    "     written (it is then left as it was)\n"
    "  2  usage error (--pass given the passphrase itself, among others)\n",
};

// Whether this build would accept the signed file.
bool trustedHere(const QByteArray& signedFile)
{
    return verifySignature(signedPart(signedFile), storedSignature(signedFile), signingPublicKey());
}

} // namespace

int runSign(const QStringList& args)
{
    CommandLine line(kHelp);
    const int ended = line.parse(args);
    if (ended >= 0)
        return ended;
    if (!line.isSet(QStringLiteral("key")))
        return line.usageError(QStringLiteral("--key is required"));
    const QString directory = line.configDir();
    const QString path = QDir(directory).filePath(QStringLiteral("configuration.xml"));

    const QString source = line.value(QStringLiteral("pass"));
    if (line.isSet(QStringLiteral("pass")) && !source.startsWith(QLatin1String("env:")) &&
        !source.startsWith(QLatin1String("file:")) && source != QLatin1String("stdin"))
        return line.usageError(QStringLiteral("--pass takes env:VAR, file:PATH or stdin, never the passphrase itself"));
    QByteArray passphrase;
    QString error;
    if (line.isSet(QStringLiteral("pass")) && !readPassphrase(source, passphrase, error))
        return commandError(kCommand, error, kExitFailed);
    RsaPrivateKey key{};
    QByteArray original;
    QByteArray signedFile;
    const bool loaded = loadPrivateKey(line.value(QStringLiteral("key")), key, error, passphrase);
    OPENSSL_cleanse(passphrase.data(), static_cast<size_t>(passphrase.size()));
    const bool ok = loaded && readWholeFile(path, kMaxConfigurationSize, FileSource::RegularOnly, original, error) &&
                    signConfiguration(original, key, signedFile, error) && writeWholeFile(path, signedFile, error);
    OPENSSL_cleanse(&key, sizeof key);
    if (!ok)
        return commandError(kCommand, error, kExitFailed);
    if (!trustedHere(signedFile))
        std::fprintf(stderr,
                     "mirdal-cli sign: warning: this build does not trust the key: it would refuse %s "
                     "(it trusts the key %s)\n",
                     qPrintable(QDir::toNativeSeparators(path)), qPrintable(keyFingerprint(signingPublicKey())));
    return kExitOk;
}
