#pragma once
// The one serial link to the terminal: enumerates and labels the ports, marks
// the maker's, opens the chosen one with the fixed line settings and offers
// blocking reads and writes. Every open..close span stays on one thread: the
// QSerialPort is created in open() and destroyed in close() on that thread.
#include "transport/PortProvider.h"
#include "transport/TerminalPort.h"

#include <QObject>
#include <QStringList>
#include <memory>
#include <mutex>

class QSerialPort;

class SerialPort : public QObject, public TerminalPort {
    Q_OBJECT
public:
    explicit SerialPort(QObject* parent = nullptr,
                        std::shared_ptr<PortProvider> provider = std::make_shared<SystemPortProvider>());
    ~SerialPort() override;

    bool listPorts();
    QStringList portLabels() const; // a copy, safe against a concurrent listPorts()
    int preferredPort() const;      // 1-based index of the maker's port, 0 if none

    // True when the label names a listed port, which is then the one open() opens.
    bool selectPort(const QString& label);
    // Opens exactly the chosen port (closing another one first): a label is
    // looked up among the ports listed now, and false when it names none; a
    // device path is opened as it is. A port whose line settings are refused
    // is closed again before open() returns false, on the thread that opened it.
    using TerminalPort::open;
    bool open(const PortChoice& port) override;
    virtual bool configure(); // virtual: tests stand in for a device that refuses a setting
    bool close() override;
    bool isOpen() const;
    // Why the last open() failed; its kind is None after a success.
    OpenFailure lastOpenFailure() const override;

    bool write(const uint8_t* data, uint16_t length) override;
    bool read(uint8_t* buffer, uint16_t& length, int timeoutMs) override;
    bool readFull(uint8_t* buffer, uint16_t& length, int deadlineMs) override;
    void clearInput() override;

    static constexpr int kDrainTimeoutMs = 10000;

private:
    bool openDevice(const QString& device);
    bool refuse(OpenFailure::Kind kind, const QString& port, const QString& detail = {});

    std::shared_ptr<PortProvider> provider_;
    mutable std::mutex listMutex_;
    QStringList portLabels_;
    int preferredPort_ = 0;
    QString boundLocation_; // what the last matching label named
    QString openLocation_;  // the device port_ has open
    std::unique_ptr<QSerialPort> port_;
    OpenFailure openFailure_;
};
