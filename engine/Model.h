#pragma once
// The update engine: owns the configuration and the serial link, runs the
// configuration job, the terminal-search passes and the installation
// scenario, and reports through six signals. It needs no window: the desktop
// program connects the signals to its slots, the command line to its output.
#include "engine/InstallationResult.h"
#include "protocol/Clock.h"
#include "config/Configuration.h"
#include "transport/DeviceLock.h"
#include "transport/SerialPort.h"

#include <QObject>
#include <QStringList>
#include <array>
#include <functional>
#include <memory>

class CommandSet;

// Makes the port through which the engine opens, closes and talks to the
// terminal, given the engine's own serial port: by default that serial port
// itself; a decorator around it (a transcript), or a stand-in for tests.
using TerminalPortFactory = std::function<std::shared_ptr<TerminalPort>(std::shared_ptr<SerialPort> serial)>;

struct ModelOptions {
    std::shared_ptr<PortProvider> ports; // default: the platform's ports
    std::shared_ptr<Clock> clock;        // default: real time
    QString configurationDirectory;      // default: "configuration" beside the executable
    std::function<void()> pcscSwitch;    // default: Pcsc_switchToCom
    TerminalPortFactory terminalPort;    // default: the serial port
};

class Model : public QObject {
    Q_OBJECT
public:
    // With a window, connects the six signals to its slots on_configuration_loaded(),
    // on_configuration_failed(), on_terminals_found(), on_terminals_failed(),
    // on_module_progressed(QString,int) and on_total_progressed(QString,int).
    explicit Model(QObject* window = nullptr, ModelOptions options = {});
    ~Model() override;

    // Jobs (pool threads in the window).
    void loadConfiguration();
    void findTerminals();

    // Accessors for the window (GUI thread).
    QString terminalImage() const;
    QString operationTitle() const;
    QString operationDescription() const;
    QStringList portLabels() const;
    int preferredPort() const;

    // The installation scenario, on the port of that label or on a port chosen
    // by its device. The device stays locked against other updates from here
    // to the end of the release frames that follow (or the next install()).
    bool install(const QString& port, QString& title, QString& text);
    bool install(const PortChoice& port, QString& title, QString& text);
    // Why the last install() failed, in a technician's words ("wrong CRC",
    // "write failed (the device may be gone)"); empty after a success. A port that cannot be
    // opened gives the port's own reason ("/dev/ttyUSB9 does not exist"). The
    // stage is the step of the scenario that failed ("download of APP.BIN").
    QString lastFailureCause() const { return failureCause_; }
    QString lastFailureStage() const { return failureStage_; }
    // The last install() as a value; also sent by installationFinished().
    const InstallationResult& lastResult() const { return result_; }
    // Why the port the last install() worked on refused to open (kind None once opened).
    OpenFailure lastOpenFailure() const { return port_ ? port_->lastOpenFailure() : OpenFailure{}; }

    // Asks the installation under way to stop; safe from any thread. The
    // scenario fails at its next exchange, which is not sent, with that
    // stage's result and clean-up; the end of dialogue and the release
    // frames still go. A stop asked for before a run stops it at its first
    // exchange; install() clears it when it returns.
    void requestStop();
    bool stopRequested() const;
    // A pause of the scenario between two exchanges, cut short by a stop request.
    void pauseUnlessStopped(uint32_t ms);

    // Terminal commands.
    bool initTerminal();
    bool startVarlenne();
    bool readHardwareConfiguration();
    bool checkHardwareConfiguration();
    bool readApplicationList();
    bool sendInfo(const Application* application, bool& skip);
    bool requestAuthorization();
    bool downloadFile(const Application* application);
    bool activateFiles();
    bool releaseTerminal();
    void releasePorts();
    void releasePort(const QString& label);
    void releasePort(const PortChoice& port);

    // The port the scenario works on; not opened when another update or
    // another program holds its device.
    bool openPort(const PortChoice& port);
    bool closePort();

    Configuration* configuration() const { return configuration_; }
    SerialPort* serialPort() const { return serialPort_.get(); }
    Clock& clock() const { return *clock_; }

    static constexpr int kHardwareRecordSize = 126;
    // The terminal needs at least this long to restart after a batch,
    // whatever the configuration's delayReboot says.
    static constexpr int kMinimumRestartWaitMs = 35000;
    std::array<uint8_t, kHardwareRecordSize> hardwareRecord{};
    int acceptedEntry = -1; // the accepted hardware entry the record matched
    QStringList applicationNames;
    int lastResendRequests() const;

signals:
    void configurationLoaded();
    void configurationFailed();
    void terminalsFound();
    void terminalsFailed();
    void setModuleProgression(QString, int);
    void setTotalProgression(QString, int);
    // At the end of every install(), from the thread that ran it.
    void installationFinished(InstallationResult result);

private:
    friend class InstallRun;
    void connectWindow();
    // Takes the lock of the port's device, or keeps it; false, with
    // openProblem_ saying why, when it cannot.
    bool holdDevice(const PortChoice& port);
    // Notes why a command failed (its exchange's failure, or `cause`).
    bool commandDone(bool done);
    bool commandFailed(const QString& cause);

    QObject* window_;
    Configuration* configuration_;
    std::shared_ptr<SerialPort> serialPort_;
    std::shared_ptr<TerminalPort> port_;
    std::shared_ptr<Clock> clock_;
    ModelOptions options_;
    bool firstSearch_ = true;
    std::unique_ptr<CommandSet> commands_;
    QString commandCause_; // why the last command failed
    std::unique_ptr<DeviceLock> lock_;
    QString openProblem_; // why openPort() did not even try
    QString failureStage_;
    QString failureCause_;
    InstallationResult result_;
};
