#include "cli/DefaultPort.h"

#include "transport/Pcsc.h"

#include <QStringList>
#include <chrono>
#include <cstdio>
#include <thread>
#include <algorithm>

namespace {

// The maker's name as the port enumeration reports it.
const QLatin1String kMakerName("velmaris");

} // namespace

QList<PortInfo> makersPorts(const QList<PortInfo>& ports)
{
    QList<PortInfo> found;
    for (const PortInfo& port : ports) {
        if (port.manufacturer.toLower() == kMakerName)
            found.append(port);
    }
    return found;
}

DefaultPort choosePort(const QList<PortInfo>& ports, const QString& fromEnvironment)
{
    if (!fromEnvironment.isEmpty())
        return {fromEnvironment, QStringLiteral("using the port %1 that MIRDAL_PORT names").arg(fromEnvironment)};
    const QList<PortInfo> makers = makersPorts(ports);
    if (makers.size() == 1) {
        const PortInfo& port = makers.first();
        return {portLabel(port),
                QStringLiteral("using the maker's port %1 (%2)").arg(portLabel(port), port.systemLocation)};
    }
    if (makers.isEmpty())
        return {{}, QStringLiteral("no maker's port is listed: give one with --port or MIRDAL_PORT")};
    QStringList names;
    for (const PortInfo& port : makers)
        names.append(QStringLiteral("%1 (%2)").arg(portLabel(port), port.systemLocation));
    return {{},
            QStringLiteral("%1 maker's ports are listed, %2: choose one with --port or MIRDAL_PORT")
                .arg(makers.size())
                .arg(names.join(QStringLiteral(", ")))};
}

bool switchCardReaders(const char* command)
{
    const std::vector<std::string> switched =
        switchMakersReaders([](const std::string& line) { qInfo("%s", line.c_str()); });
    for (const std::string& name : switched)
        std::fprintf(stderr, "mirdal-cli %s: switched the card reader '%s' into serial mode\n", command, name.c_str());
    return !switched.empty();
}

QList<PortInfo> portsAfterSwitch(bool readersSwitched)
{
    // A switched reader leaves the bus and comes back as a serial device.
    constexpr auto kPoll = std::chrono::milliseconds(500);
    constexpr int kPolls = 10;
    QList<PortInfo> ports = SystemPortProvider().availablePorts();
    for (int poll = 0; readersSwitched && makersPorts(ports).isEmpty() && poll < kPolls; ++poll) {
        std::this_thread::sleep_for(kPoll);
        ports = SystemPortProvider().availablePorts();
    }
    return ports;
}

QStringList portLines(const QList<PortInfo>& ports, const std::function<bool(const QString&)>& mayOpen)
{
    const QList<PortInfo> makers = makersPorts(ports);
    QStringList lines;
    for (const PortInfo& port : ports) {
        const bool maker = std::any_of(makers.begin(), makers.end(),
                                       [&port](const PortInfo& m) { return m.systemLocation == port.systemLocation; });
        QString line = (maker ? QStringLiteral("* ") : QStringLiteral("  ")) + portLabel(port);
        line += QStringLiteral("  ") + port.systemLocation;
        if (port.vendorId >= 0 && port.productId >= 0)
            line += QStringLiteral("  usb %1:%2")
                        .arg(port.vendorId, 4, 16, QLatin1Char('0'))
                        .arg(port.productId, 4, 16, QLatin1Char('0'));
        if (!port.serialNumber.isEmpty())
            line += QStringLiteral("  serial ") + port.serialNumber;
        if (!mayOpen(port.systemLocation))
            line += QStringLiteral("  (no access)");
        lines.append(line);
    }
    return lines;
}
