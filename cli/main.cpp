// mirdal-cli: the headless face of the Mirdal engine and its authoring tools.
#include "cli/Authoring.h"
#include "cli/CommandLine.h"
#include "cli/CommandTable.h"
#include "cli/Console.h"
#include "cli/LogConsole.h"
#include "diagnostics/Diagnostics.h"
#include "config/Signature.h"
#include "cli/Subcommands.h"

#include <QCoreApplication>
#include <QDir>
#include <cstdio>

namespace {

// What runs each command of the command table.
struct Subcommand {
    const char* name;
    int (*run)(const QStringList&);
};

const Subcommand kSubcommands[] = {
    {"install", runInstall}, {"ports", runPorts}, {"check", runCheck},
    {"pack", runPack},       {"sign", runSign},   {"history", runHistory},
};

const char* const kHelpTail = "\n"
                              "'mirdal-cli COMMAND --help' or 'mirdal-cli help COMMAND' describes a command,\n"
                              "its options and its exit statuses.\n"
                              "\n"
                              "Options:\n"
                              "  -h, --help  show this help\n"
                              "  --version   show the version and the fingerprint of the key that signed\n"
                              "              configurations must verify with\n";

void help(FILE* stream)
{
    std::fputs("usage: mirdal-cli COMMAND [OPTION]... [ARGUMENT]...\n"
               "Updates card-payment terminals without a window, and checks and authors their\n"
               "configuration folders.\n\nCommands:\n",
               stream);
    for (const CommandRow& command : commandTable())
        std::fprintf(stream, "  %-8s %s\n", command.name, command.summary);
    std::fputs(kHelpTail, stream);
    std::fprintf(stream,
                 "\nLog file: %s\n"
                 "  every command's diagnostics, time-stamped, for support ('install --verbose'\n"
                 "  also shows them); past 1 MiB it becomes mirdal.log.1, the older one dropped\n",
                 qUtf8Printable(QDir::toNativeSeparators(diagnostics::logFilePath())));
}

int version()
{
    std::printf("mirdal-cli %s\n", MIRDAL_VERSION);
    std::printf("trusted signing key: RSA-%d, SHA-256 %s\n", signingPublicKey().bits,
                keyFingerprint(signingPublicKey()).toUtf8().constData());
    if (trustsDevelopmentKey())
        std::printf("%s\n", kDevelopmentKeyNotice);
    return kExitOk;
}

const Subcommand* find(const QString& name)
{
    for (const auto& sub : kSubcommands) {
        if (name == QLatin1String(sub.name))
            return &sub;
    }
    return nullptr;
}

} // namespace

int main(int argc, char** argv)
{
    // Before anything opens a file: a missing standard stream must not
    // become the terminal's port, nor a closed pipe end an update.
    console::keepRunningWithoutOutput();
    console::raiseDescriptorLimit();
    QCoreApplication app(argc, argv);
    logconsole::start();
    QStringList args = app.arguments().mid(1);
    if (args.isEmpty()) {
        help(stderr);
        return kExitUsage;
    }
    const QString name = args.takeFirst();
    if (const Subcommand* sub = find(name))
        return sub->run(args);
    if (name == QLatin1String("help")) {
        if (args.isEmpty()) {
            help(stdout);
            return kExitOk;
        }
        const Subcommand* sub = find(args.first());
        if (!sub || args.size() > 1)
            return programUsageError(QStringLiteral("no help on '%1'").arg(args.join(QLatin1Char(' '))));
        return sub->run({QStringLiteral("--help")});
    }
    if (!args.isEmpty() &&
        (name == QLatin1String("--help") || name == QLatin1String("-h") || name == QLatin1String("--version")))
        return programUsageError(QStringLiteral("unknown argument '%1'").arg(args.first()));
    if (name == QLatin1String("--help") || name == QLatin1String("-h")) {
        help(stdout);
        return kExitOk;
    }
    if (name == QLatin1String("--version"))
        return version();
    if (name.startsWith(QLatin1Char('-')))
        return programUsageError(QStringLiteral("unknown option '%1'").arg(name));
    return programUsageError(QStringLiteral("unknown command '%1'").arg(name));
}
