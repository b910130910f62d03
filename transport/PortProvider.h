#pragma once
// Where the serial ports come from. Production lists the platform's ports;
// tests and the simulator list pseudo-terminals as ports of the maker.
#include <QList>
#include <QString>
#include <memory>

struct PortInfo {
    QString portName;       // e.g. ttyUSB0, COM4
    QString description;    // e.g. USB Serial Device
    QString manufacturer;   // compared with the maker's name, ignoring case
    QString systemLocation; // what is opened: /dev/ttyUSB0, /dev/pts/7, COM4
    int vendorId = -1;      // USB vendor and product ids; -1 when unknown
    int productId = -1;
    QString serialNumber = QString(); // the USB serial number; empty when unknown
};

class PortProvider {
public:
    virtual ~PortProvider() = default;
    virtual QList<PortInfo> availablePorts() const = 0;
};

// A port as the platform describes it: anything with QSerialPortInfo's
// accessors, so that what the window shows of a platform port, and whether
// it is the maker's, can be followed from the platform's own values.
template <class Info>
PortInfo portInfoOf(const Info& info)
{
    PortInfo port{info.portName(), info.description(), info.manufacturer(), info.systemLocation()};
    if (info.hasVendorIdentifier())
        port.vendorId = info.vendorIdentifier();
    if (info.hasProductIdentifier())
        port.productId = info.productIdentifier();
    port.serialNumber = info.serialNumber();
    return port;
}

// The platform's ports (QSerialPortInfo).
class SystemPortProvider : public PortProvider {
public:
    QList<PortInfo> availablePorts() const override;
};

// A fixed list, for tests and for the simulator.
class StaticPortProvider : public PortProvider {
public:
    explicit StaticPortProvider(QList<PortInfo> ports) : ports_(std::move(ports)) {}
    QList<PortInfo> availablePorts() const override { return ports_; }

private:
    QList<PortInfo> ports_;
};

// "description - (portName)": the text by which a port is shown and chosen.
QString portLabel(const PortInfo& port);

// The port of `listed` that `port` names, by its label or its device; null
// when none does. Points into `listed`.
const PortInfo* findListedPort(const QList<PortInfo>& listed, const QString& port);
// The port as the record describes it: the listed port's facts (label, USB
// ids, serial number), or its device path alone when it is not listed.
PortInfo describePort(const QList<PortInfo>& listed, const QString& port);
