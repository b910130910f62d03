// Placeholder until the subcommand is written.
#include "commands.h"
#include <cstdio>

int runInstall(const QStringList&)
{
    std::fputs("mirdal-cli: not available yet\n", stderr);
    return kExitUsage;
}
