// mirdal-cli pack PLAIN OUT: encrypts a plain file into the container that
// package and hterm files are shipped in.
#include "commands.h"

#include "Authoring.h"

int runPack(const QStringList& args)
{
    const char* const command = "pack";
    if (args.size() != 2 || args[0].startsWith(QLatin1Char('-')) || args[1].startsWith(QLatin1Char('-')))
        return commandError(command, QStringLiteral("usage: mirdal-cli pack PLAIN OUT"), kExitUsage);

    QByteArray plain;
    QByteArray container;
    QString error;
    if (!readWholeFile(args[0], kMaxPackageSize, FileSource::AnyStream, plain, error) || !packContainer(plain, container, error)
        || !writeWholeFile(args[1], container, error))
        return commandError(command, error, kExitFailed);
    return kExitOk;
}
