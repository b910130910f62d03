#include "transport/PortProvider.h"

#include <QSerialPortInfo>

QList<PortInfo> SystemPortProvider::availablePorts() const
{
    QList<PortInfo> ports;
    for (const QSerialPortInfo& info : QSerialPortInfo::availablePorts()) {
        PortInfo port{info.portName(), info.description(), info.manufacturer(), info.systemLocation()};
        if (info.hasVendorIdentifier())
            port.vendorId = info.vendorIdentifier();
        if (info.hasProductIdentifier())
            port.productId = info.productIdentifier();
        port.serialNumber = info.serialNumber();
        ports.append(port);
    }
    return ports;
}

QString portLabel(const PortInfo& port)
{
    return port.description + QLatin1String(" - (") + port.portName + QLatin1Char(')');
}
