// mirdal-cli ports: the serial ports as the desktop program lists them, by
// the labels that name them, the maker's port marked.
#include "commands.h"
#include "SerialPort.h"

#include <cstdio>

int runPorts(const QStringList& args)
{
    if (!args.isEmpty()) {
        std::fprintf(stderr, "mirdal-cli ports: unknown argument '%s'\nusage: mirdal-cli ports\n",
                     qPrintable(args.first()));
        return kExitUsage;
    }

    SerialPort serial;
    if (!serial.listPorts()) {
        std::fputs("mirdal-cli ports: no serial port found\n", stderr);
        return kExitFailed;
    }
    const QStringList labels = serial.portLabels();
    const int preferred = serial.preferredPort();
    for (int i = 0; i < labels.size(); ++i)
        std::printf("%s%s\n", i + 1 == preferred ? "* " : "  ", labels[i].toUtf8().constData());
    return kExitOk;
}
