#include "transport/PortProvider.h"

#include <QSerialPortInfo>

QList<PortInfo> SystemPortProvider::availablePorts() const
{
    QList<PortInfo> ports;
    for (const QSerialPortInfo& info : QSerialPortInfo::availablePorts())
        ports.append(portInfoOf(info));
    return ports;
}

QString portLabel(const PortInfo& port)
{
    return port.description + QLatin1String(" - (") + port.portName + QLatin1Char(')');
}

const PortInfo* findListedPort(const QList<PortInfo>& listed, const QString& port)
{
    for (const PortInfo& info : listed) {
        if (portLabel(info) == port || info.systemLocation == port)
            return &info;
    }
    return nullptr;
}

PortInfo describePort(const QList<PortInfo>& listed, const QString& port)
{
    if (const PortInfo* info = findListedPort(listed, port))
        return *info;
    PortInfo info;
    info.systemLocation = port;
    return info;
}
