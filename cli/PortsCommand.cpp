// mirdal-cli ports: the serial ports as the desktop program lists them, by
// the labels that name them, the maker's ports marked, with their device,
// their USB identities where known and whether this user may open them.
#include "cli/Subcommands.h"

#include "cli/CommandLine.h"
#include "cli/Console.h"
#include "cli/DefaultPort.h"
#include "transport/PortProvider.h"

#include <QFile>
#include <algorithm>
#include <cstdio>

namespace {

const CommandHelp kHelp = {
    "ports",
    "",
    "Lists the serial ports by the labels that name them in the desktop program,\n"
    "one a line: the maker's ports marked with '*', then the device, the USB vendor\n"
    "and product ids (vvvv:pppp) and serial number where known, and \"no access\"\n"
    "for a device this user may not open for reading and writing.\n",
    "",
    "  0  the ports were listed\n"
    "  1  no serial port was found\n"
    "  2  usage error\n",
};

QString describe(const PortInfo& port, bool maker)
{
    QString line = (maker ? QStringLiteral("* ") : QStringLiteral("  ")) + portLabel(port);
    line += QStringLiteral("  ") + port.systemLocation;
    if (port.vendorId >= 0 && port.productId >= 0)
        line += QStringLiteral("  usb %1:%2")
                    .arg(port.vendorId, 4, 16, QLatin1Char('0'))
                    .arg(port.productId, 4, 16, QLatin1Char('0'));
    if (!port.serialNumber.isEmpty())
        line += QStringLiteral("  serial ") + port.serialNumber;
    if (!console::mayOpen(QFile::encodeName(port.systemLocation).toStdString()))
        line += QStringLiteral("  (no access)");
    return line;
}

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
    const QList<PortInfo> makers = makersPorts(ports);
    for (const PortInfo& port : ports) {
        const bool maker = std::any_of(makers.begin(), makers.end(),
                                       [&port](const PortInfo& m) { return m.systemLocation == port.systemLocation; });
        std::printf("%s\n", describe(port, maker).toUtf8().constData());
    }
    return kExitOk;
}
