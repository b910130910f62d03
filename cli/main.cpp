// mirdal-cli: the headless face of the Mirdal engine and its authoring tools.
#include "Console.h"
#include "commands.h"

#include <QCoreApplication>
#include <QTextStream>
#include <cstdio>

namespace {

struct Subcommand {
    const char* name;
    int (*run)(const QStringList&);
    const char* usage;
};

const Subcommand kSubcommands[] = {
    {"install", runInstall, "install --port DEVICE [--port DEVICE ...] [--config-dir DIR] [--time-scale F] [--trace FILE] [--verbose]"},
    {"ports", runPorts, "ports"},
    {"check", runCheck, "check [--config-dir DIR]"},
    {"pack", runPack, "pack PLAIN OUT"},
    {"sign", runSign, "sign --key PEM [--config-dir DIR]"},
};

int usage()
{
    std::fputs("usage: mirdal-cli COMMAND [ARGS]\n", stderr);
    for (const auto& sub : kSubcommands)
        std::fprintf(stderr, "  mirdal-cli %s\n", sub.usage);
    return kExitUsage;
}

} // namespace

int main(int argc, char** argv)
{
    // Before anything opens a file: a missing standard stream must not
    // become the terminal's port, nor a closed pipe end an update.
    console::keepRunningWithoutOutput();
    QCoreApplication app(argc, argv);
    QStringList args = app.arguments().mid(1);
    if (args.isEmpty())
        return usage();
    const QString name = args.takeFirst();
    for (const auto& sub : kSubcommands) {
        if (name == QLatin1String(sub.name))
            return sub.run(args);
    }
    if (name == QLatin1String("--help") || name == QLatin1String("-h")) {
        usage();
        return kExitOk;
    }
    std::fprintf(stderr, "mirdal-cli: unknown command '%s'\n", qPrintable(name));
    return usage();
}
