#include "tests/support/SimProcess.h"

#include <QFileInfo>

#include <fcntl.h>
#include <unistd.h>

namespace {

constexpr int kStartMs = 10000;
constexpr int kStopMs = 10000;

} // namespace

SimProcess::~SimProcess()
{
    stop();
    if (reservation_ >= 0)
        ::close(reservation_);
}

bool SimProcess::start(const QStringList& arguments, QString& error)
{
    process_.start(QStringLiteral(MIRDAL_SIM), arguments);
    if (!process_.waitForStarted(kStartMs)) {
        error = QStringLiteral("mirdal-sim does not start: ") + process_.errorString();
        return false;
    }
    while (!process_.canReadLine()) {
        if (!process_.waitForReadyRead(kStartMs)) {
            error = QStringLiteral("mirdal-sim names no device: ") + QString::fromLocal8Bit(errorOutput());
            return false;
        }
    }
    device_ = QString::fromLocal8Bit(process_.readLine()).trimmed();
    if (device_.isEmpty())
        return false;
    reservation_ = ::open(device_.toLocal8Bit().constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (reservation_ < 0) {
        error = QStringLiteral("cannot hold ") + device_;
        return false;
    }
    return true;
}

bool SimProcess::endsWithin(int ms)
{
    return process_.state() == QProcess::NotRunning || process_.waitForFinished(ms);
}

int SimProcess::stop()
{
    if (process_.state() != QProcess::NotRunning) {
        process_.terminate();
        if (!process_.waitForFinished(kStopMs)) {
            process_.kill();
            process_.waitForFinished(kStopMs);
        }
    }
    return process_.exitStatus() == QProcess::NormalExit ? process_.exitCode() : -1;
}

QByteArray SimProcess::errorOutput()
{
    return process_.readAllStandardError();
}

QList<PortInfo> MutablePortProvider::availablePorts() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return ports_;
}

QString MutablePortProvider::show(const QString& device, const QString& name)
{
    PortInfo port;
    port.portName = QFileInfo(device).fileName();
    port.description = name;
    port.systemLocation = device;
    std::lock_guard<std::mutex> lock(mutex_);
    ports_ = {port};
    return portLabel(port);
}

bool Rig::build(QString& error)
{
    ModelOptions options;
    options.ports = ports;
    options.clock = std::make_shared<ScaledClock>(kClockScale);
    options.configurationDirectory = QStringLiteral(MIRDAL_SAMPLE_CONFIGURATION);
    options.pcscSwitch = [] {};
    model = std::make_unique<Model>(nullptr, options);
    bool loaded = false;
    const auto connection = QObject::connect(model.get(), &Model::configurationLoaded, [&loaded] { loaded = true; });
    model->loadConfiguration();
    QObject::disconnect(connection);
    if (!loaded)
        error = QStringLiteral("the sample configuration does not load from ") +
                QStringLiteral(MIRDAL_SAMPLE_CONFIGURATION);
    return loaded;
}

QStringList healthyTerminal()
{
    // The identification bytes of the sample's accepted hardware ("M10").
    return {QStringLiteral("--quiet"), QStringLiteral("--hardware"), QStringLiteral("4D3130")};
}
