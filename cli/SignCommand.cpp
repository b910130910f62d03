// mirdal-cli sign --key PEM [--config-dir DIR]: signs DIR/configuration.xml
// in place with a private key.
#include "commands.h"

#include "Authoring.h"
#include "Configuration.h"
#include "rsa.h"

#include <QCoreApplication>
#include <QDir>
#include <openssl/crypto.h>

namespace {

const char* const kCommand = "sign";

struct SignOptions {
    QString key;
    QString directory;
};

// Empty when the arguments were understood.
QString parseArguments(const QStringList& args, SignOptions& options)
{
    for (int i = 0; i < args.size(); i += 2) {
        const QString& option = args[i];
        QString* target = option == QLatin1String("--key") ? &options.key
            : option == QLatin1String("--config-dir")      ? &options.directory
                                                            : nullptr;
        if (!target)
            return QStringLiteral("unknown argument '%1'").arg(option);
        if (i + 1 >= args.size() || args[i + 1].isEmpty())
            return QStringLiteral("%1 needs a value").arg(option);
        if (!target->isEmpty())
            return QStringLiteral("%1 given twice").arg(option);
        *target = args[i + 1];
    }
    if (options.key.isEmpty())
        return QStringLiteral("--key is required");
    return {};
}

} // namespace

int runSign(const QStringList& args)
{
    SignOptions options;
    const QString problem = parseArguments(args, options);
    if (!problem.isEmpty())
        return commandError(kCommand, problem + QStringLiteral(" (usage: mirdal-cli sign --key PEM [--config-dir DIR])"),
                            kExitUsage);
    if (options.directory.isEmpty())
        options.directory = defaultConfigurationDirectory();
    const QString path = QDir(options.directory).filePath(QStringLiteral("configuration.xml"));

    RsaPrivateKey key{};
    QByteArray original;
    QByteArray signedFile;
    QString error;
    const bool ok = loadPrivateKey(options.key, key, error) && readWholeFile(path, kMaxConfigurationSize, FileSource::RegularOnly, original, error)
        && signConfiguration(original, key, signedFile, error) && writeWholeFile(path, signedFile, error);
    OPENSSL_cleanse(&key, sizeof key);
    return ok ? kExitOk : commandError(kCommand, error, kExitFailed);
}
