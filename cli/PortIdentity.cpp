#include "cli/PortIdentity.h"

#include "cli/Console.h"
#include "transport/PortProvider.h"
#include "transport/TerminalPort.h"

#include <QDir>
#include <QFile>
#include <algorithm>

QString deviceIdentity(const QString& port)
{
    const std::string identity = console::deviceIdentity(QFile::encodeName(port).toStdString());
    if (!identity.empty())
        return QString::fromStdString(identity);
    return QStringLiteral("path ") + QDir::cleanPath(port);
}

// By their paths or by a label of the port list: two engines would share its line.
QString sameDeviceTwice(const QStringList& ports)
{
    const bool labels = !std::all_of(ports.begin(), ports.end(), PortChoice::isDevicePath);
    const QList<PortInfo> listed = labels ? SystemPortProvider().availablePorts() : QList<PortInfo>();
    QStringList identities;
    for (const QString& port : ports) {
        const PortInfo* info = PortChoice::isDevicePath(port) ? nullptr : findListedPort(listed, port);
        const QString device = info ? info->systemLocation : PortChoice::isDevicePath(port) ? port : QString();
        const QString identity = device.isEmpty() ? QString() : deviceIdentity(device);
        const int earlier = identity.isEmpty() ? -1 : identities.indexOf(identity);
        if (earlier >= 0)
            return QStringLiteral("'%1' and '%2' are the same device: a port may be given only once")
                .arg(ports[earlier], port);
        identities.append(identity);
    }
    return {};
}
