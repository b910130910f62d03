// mirdal-cli ports: the serial ports as the desktop program lists them, by
// the labels that name them, the maker's ports marked, with their device,
// their USB identities where known and whether this user may open them.
#include "cli/Subcommands.h"

#include "cli/CommandLine.h"
#include "cli/Console.h"
#include "cli/DefaultPort.h"
#include "transport/PortProvider.h"

#include <QFile>
#include <cstdio>

namespace {

const CommandHelp kHelp = {
    "ports",
    "Lists the serial ports by the labels that name them in the desktop program,\n"
    "one a line: the maker's ports marked with '*', then the device, the USB vendor\n"
    "and product ids (vvvv:pppp) and serial number where known, and \"no access\"\n"
    "for a device this user may not open for reading and writing.\n",
    "",
    "  0  the ports were listed\n"
    "  1  no serial port was found\n"
    "  2  usage error\n",
};

} // namespace

int runPorts(const QStringList& args)
{
    CommandLine line(kHelp);
    const int ended = line.parse(args);
    if (ended >= 0)
        return ended;

    const QList<PortInfo> ports = portsAfterSwitch(switchCardReaders("ports"));
    if (ports.isEmpty()) {
        std::fputs("mirdal-cli ports: no serial port found\n", stderr);
        return kExitFailed;
    }
    const auto mayOpen = [](const QString& device) {
        return console::mayOpen(QFile::encodeName(device).toStdString());
    };
    for (const QString& port : portLines(ports, mayOpen))
        std::printf("%s\n", port.toUtf8().constData());
    return kExitOk;
}
