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
