#include "PortProvider.h"

#include <QSerialPortInfo>

QList<PortInfo> SystemPortProvider::availablePorts() const
{
    QList<PortInfo> ports;
    for (const QSerialPortInfo& info : QSerialPortInfo::availablePorts())
        ports.append({info.portName(), info.description(), info.manufacturer(), info.systemLocation()});
    return ports;
}

QString portLabel(const PortInfo& port)
{
    return port.description + QLatin1String(" - (") + port.portName + QLatin1Char(')');
}
