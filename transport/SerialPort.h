#pragma once
// The one serial link to the terminal: enumerates and labels the ports, marks
// the maker's, opens the chosen one with the fixed line settings and offers
// blocking reads and writes. Every open..close span stays on one thread: the
// QSerialPort is created in open() and destroyed in close() on that thread.
#include "link.h"
#include "PortProvider.h"

#include <QObject>
#include <QStringList>
#include <memory>
#include <mutex>

class QSerialPort;

class SerialPort : public QObject, public Link {
    Q_OBJECT
public:
    explicit SerialPort(QObject* parent = nullptr,
                        std::shared_ptr<PortProvider> provider = std::make_shared<SystemPortProvider>());
    ~SerialPort() override;

    bool listPorts();
    QStringList portLabels() const;     // a copy, safe against a concurrent listPorts()
    int preferredPort() const;          // 1-based index of the maker's port, 0 if none

    void selectPort(const QString& label);
    bool open(const QString& label);
    bool configure();
    bool close();
    bool isOpen() const;

    bool write(const uint8_t* data, uint16_t length) override;
    bool read(uint8_t* buffer, uint16_t& length, int timeoutMs) override;
    bool readFull(uint8_t* buffer, uint16_t& length) override;
    void clearInput() override;

    static constexpr int kReadFullSilenceMs = 10000;
    static constexpr int kDrainTimeoutMs = 10000;

private:
    std::shared_ptr<PortProvider> provider_;
    mutable std::mutex listMutex_;
    QStringList portLabels_;
    int preferredPort_ = 0;
    QString boundLocation_;             // what open() opens; empty until a label matched
    std::unique_ptr<QSerialPort> port_;
};
