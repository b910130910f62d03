#pragma once
// What the reliability tests drive: the simulated terminal as a separate
// program on a pseudo-terminal, and a Model set up like the desktop
// program's, on the sample configuration, with shortened pauses.
#include "engine/Model.h"
#include "transport/PortProvider.h"

#include <QProcess>
#include <QString>
#include <QStringList>
#include <memory>
#include <mutex>

// mirdal-sim on a fresh pseudo-terminal.
class SimProcess {
public:
    ~SimProcess();

    // Starts the simulator with `arguments` and waits for the device line.
    bool start(const QStringList& arguments, QString& error);
    QString device() const { return device_; }

    // True when the simulator has ended by itself within `ms`.
    bool endsWithin(int ms);
    // Ends the simulator if it still runs. Its exit code, or -1 after a crash.
    int stop();
    QByteArray errorOutput();

private:
    QProcess process_;
    QString device_;
    // Our own descriptor of the device, kept until this object goes: the
    // pseudo-terminal's number then cannot pass to another test's simulator
    // when this one vanishes, and opening the device fails as it would for a
    // serial adapter that was unplugged.
    int reservation_ = -1;
};

// A port list that the test changes while the Model reads it.
class MutablePortProvider : public PortProvider {
public:
    QList<PortInfo> availablePorts() const override;
    // Lists the one device under `name`; returns its label.
    QString show(const QString& device, const QString& name);

private:
    mutable std::mutex mutex_;
    QList<PortInfo> ports_;
};

struct Rig {
    // Pauses run at this fraction of their length; read time-outs stay real.
    static constexpr double kClockScale = 0.01;

    std::shared_ptr<MutablePortProvider> ports = std::make_shared<MutablePortProvider>();
    std::unique_ptr<Model> model;

    // A Model on the sample configuration, loaded and verified. False (with
    // the reason in `error`) when the configuration does not load.
    bool build(QString& error);
};

// The arguments of a healthy simulated terminal that matches the sample configuration.
QStringList healthyTerminal();
