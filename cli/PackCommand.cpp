// mirdal-cli pack PLAIN OUT: encrypts a plain file into the container that
// package and hterm files are shipped in.
#include "cli/Subcommands.h"

#include "cli/Authoring.h"
#include "cli/CommandLine.h"

namespace {

const CommandHelp kHelp = {
    "pack",
    "Encrypts the plain file PLAIN into the container OUT that package files and\n"
    "hardware configuration records are shipped in.\n",
    "",
    "  0  the container was written\n"
    "  1  PLAIN could not be read or OUT written (OUT is then left as it was)\n"
    "  2  usage error\n",
};

} // namespace

int runPack(const QStringList& args)
{
    const char* const command = "pack";
    CommandLine line(kHelp);
    const int ended = line.parse(args);
    if (ended >= 0)
        return ended;
    const QStringList files = line.positionalArguments();

    QByteArray plain;
    QByteArray container;
    QString error;
    if (!readWholeFile(files[0], kMaxPackageSize, FileSource::AnyStream, plain, error) ||
        !packContainer(plain, container, error) || !writeWholeFile(files[1], container, error))
        return commandError(command, error, kExitFailed);
    return kExitOk;
}
