// Construction, the two background jobs, the accessors of the window and the
// terminal commands, which forward to the protocol's command set.
#include "engine/Model.h"

#include "transport/Pcsc.h"
#include "protocol/CommandSet.h"

#include <QDebug>
#include <QDir>

namespace {

// The search passes after the first one are paced by this pause.
constexpr uint32_t kSearchPauseMs = 2000;

} // namespace

Model::Model(QObject* window, ModelOptions options) : QObject(nullptr), window_(window), options_(std::move(options))
{
    qRegisterMetaType<InstallationResult>();
    if (!options_.ports)
        options_.ports = std::make_shared<SystemPortProvider>();
    if (!options_.clock)
        options_.clock = std::make_shared<ScaledClock>(1.0);
    if (!options_.pcscSwitch)
        options_.pcscSwitch = Pcsc_switchToCom;
    if (!options_.terminalPort)
        options_.terminalPort = [](std::shared_ptr<SerialPort> serial) { return serial; };
    clock_ = options_.clock;

    configuration_ = new Configuration;
    if (!options_.configurationDirectory.isEmpty())
        configuration_->setDirectory(options_.configurationDirectory);
    serialPort_ = std::make_shared<SerialPort>(nullptr, options_.ports);
    port_ = options_.terminalPort(serialPort_);

    commands_ = std::make_unique<CommandSet>(*port_, *clock_);
    commands_->setDebugLog([](const std::string& line) { qDebug().noquote() << QString::fromStdString(line); });

    if (window_)
        connectWindow();
}

Model::~Model()
{
    commands_.reset();
    port_.reset();
    serialPort_.reset();
    delete configuration_;
}

// By signature, so that the window needs no header of the engine beyond its
// slots, and with the automatic type, so that signals of pool threads are queued.
void Model::connectWindow()
{
    connect(this, SIGNAL(configurationLoaded()), window_, SLOT(on_configuration_loaded()));
    connect(this, SIGNAL(configurationFailed()), window_, SLOT(on_configuration_failed()));
    connect(this, SIGNAL(terminalsFound()), window_, SLOT(on_terminals_found()));
    connect(this, SIGNAL(terminalsFailed()), window_, SLOT(on_terminals_failed()));
    connect(this, SIGNAL(setModuleProgression(QString, int)), window_, SLOT(on_module_progressed(QString, int)));
    connect(this, SIGNAL(setTotalProgression(QString, int)), window_, SLOT(on_total_progressed(QString, int)));
}

// ---------------------------------------------------------------- jobs

void Model::loadConfiguration()
{
    // The signature is only worth computing over a configuration that was read.
    if (!configuration_->load() || !configuration_->checkSignature()) {
        emit configurationFailed();
        return;
    }
    emit configurationLoaded();
}

void Model::findTerminals()
{
    // Only the first pass switches the maker's card readers to serial mode;
    // the later ones are paced instead.
    if (firstSearch_)
        options_.pcscSwitch();
    else
        clock_->sleepMs(kSearchPauseMs);

    if (serialPort_->listPorts())
        emit terminalsFound();
    else
        emit terminalsFailed();
    firstSearch_ = false;
}

// ---------------------------------------------------------------- accessors

QString Model::terminalImage() const
{
    return configuration_->terminalImage();
}
QString Model::operationTitle() const
{
    return configuration_->operationTitle();
}
QString Model::operationDescription() const
{
    return configuration_->operationDescription();
}
QStringList Model::portLabels() const
{
    return serialPort_->portLabels();
}
int Model::preferredPort() const
{
    return serialPort_->preferredPort();
}

// ---------------------------------------------------------------- port

bool Model::holdDevice(const PortChoice& port)
{
    QString device = port.text;
    if (!port.isDevice) {
        const QList<PortInfo> listed = options_.ports->availablePorts();
        const PortInfo* info = findListedPort(listed, port.text);
        device = info ? info->systemLocation : QString();
    }
    if (!lock_ || !lock_->holds(device)) {
        lock_.reset();
        lock_ = DeviceLock::take(device, openProblem_);
        if (!openProblem_.isEmpty())
            return false;
    }
    // Between two batches the port is closed, and another program may have taken it.
    openProblem_ = foreignLockHolder(device);
    return openProblem_.isEmpty();
}

bool Model::openPort(const PortChoice& port)
{
    openProblem_.clear();
    return holdDevice(port) && port_->open(port);
}

bool Model::closePort()
{
    return port_->close();
}

// ---------------------------------------------------------------- commands

void Model::requestStop()
{
    commands_->requestStop();
}
bool Model::stopRequested() const
{
    return commands_->stopRequested();
}
void Model::pauseUnlessStopped(uint32_t ms)
{
    clock_->sleepUnlessStopped(ms, commands_->stopFlag());
}

bool Model::commandDone(bool done)
{
    commandCause_ = done ? QString() : QString::fromStdString(commands_->lastFailure().describe());
    return done;
}

bool Model::commandFailed(const QString& cause)
{
    commandCause_ = cause;
    return false;
}

bool Model::initTerminal()
{
    return commandDone(commands_->initTerminal());
}
bool Model::startVarlenne()
{
    return commandDone(commands_->startVarlenne());
}
bool Model::requestAuthorization()
{
    return commandDone(commands_->requestAuthorization());
}
bool Model::activateFiles()
{
    return commandDone(commands_->activateFiles());
}
bool Model::releaseTerminal()
{
    return commands_->releaseTerminal();
}

bool Model::readHardwareConfiguration()
{
    std::array<uint8_t, kHardwareRecordSize> record{};
    if (!commandDone(commands_->readHardwareConfiguration(record)))
        return false;
    hardwareRecord = record;
    return true;
}

bool Model::checkHardwareConfiguration()
{
    const HardwareId terminalId = recordHardwareId(hardwareRecord.data());
    const QList<HTerminal*> entries = configuration_->hterminals();
    for (acceptedEntry = 0; acceptedEntry < entries.size(); ++acceptedEntry) {
        if (entries[acceptedEntry]->hardwareId() == terminalId)
            return commandDone(true);
    }
    acceptedEntry = -1;
    const QByteArray id =
        QByteArray(reinterpret_cast<const char*>(terminalId.data()), kHardwareIdSize).toHex(' ').toUpper();
    return commandFailed(QStringLiteral("terminal hardware %1 matches no accepted configuration (%2 in the package)")
                             .arg(QLatin1String(id))
                             .arg(entries.size()));
}

bool Model::readApplicationList()
{
    // The names received before a failure are kept, as the terminal sent them.
    std::vector<std::string> names;
    const bool complete = commandDone(commands_->readApplicationList(names));
    applicationNames.clear();
    for (const std::string& name : names)
        applicationNames.append(QString::fromLatin1(name.data(), static_cast<int>(name.size())));
    return complete;
}

// Every port of the list gets the release frames, whichever one the last
// installation used: the terminal may sit on any of them.
void Model::releasePorts()
{
    for (const QString& label : serialPort_->portLabels()) {
        closePort();
        if (!openPort(PortChoice::label(label)))
            continue;
        commands_->sendReleaseFrames();
    }
    closePort();
    lock_.reset();
}

void Model::releasePort(const QString& label)
{
    releasePort(PortChoice::label(label));
}

void Model::releasePort(const PortChoice& port)
{
    closePort();
    if (openPort(port))
        commands_->sendReleaseFrames();
    closePort();
    lock_.reset();
}

int Model::lastResendRequests() const
{
    return commands_->lastResendRequests();
}
