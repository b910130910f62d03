#include "transport/SerialPort.h"

#include "protocol/Line.h"

#include <QAbstractEventDispatcher>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QFile>
#include <QSerialPort>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <thread>

#ifdef Q_OS_UNIX
#include <fcntl.h>
#include <unistd.h>
#endif

namespace {

// The maker's ports announce this manufacturer, in whatever letter case.
const QLatin1String kMakerName("velmaris");

bool isMakersPort(const PortInfo& port)
{
    return port.manufacturer.toLower() == kMakerName;
}

// QSerialPort watches its descriptor with socket notifiers, which need an
// event dispatcher on the thread that opens it. Threads started by QThread
// have one; a plain native thread gets one the first time an event loop is
// made on it.
void ensureEventDispatcher()
{
    if (!QAbstractEventDispatcher::instance())
        QEventLoop makesDispatcher;
}

// RTS and DTR on a device without modem-control lines (a pseudo-terminal,
// some USB bridges) are refused as unsupported: there is nothing to assert
// there, so that refusal is not a failure of the line settings.
bool modemLineSet(QSerialPort& port, bool accepted)
{
    if (accepted)
        return true;
    if (port.error() != QSerialPort::UnsupportedOperationError)
        return false;
    port.clearError();
    return true;
}

// Waits until unread bytes are in the port's buffer. waitForReadyRead waits
// for new bytes only, so bytes that an earlier wait already took in count
// first. False on time-out, error or a vanished device (the wait then returns
// at once with a read error).
bool waitForInput(QSerialPort& port, int timeoutMs)
{
    if (port.bytesAvailable() > 0)
        return true;
    return port.waitForReadyRead(timeoutMs) && port.bytesAvailable() > 0;
}

// Why QSerialPort refused to open the device. It reports two different
// refusals as PermissionError: a device that this user may not open (EACCES
// or EPERM from open(2)) and a device that another program holds (the lock
// file QSerialPort keeps beside each device is taken, or an exclusive holder
// makes open(2) fail with EBUSY). Only the second goes away by waiting. The
// device's own access rights tell them apart: faccessat() with the effective
// ids asks the question open(2) asked, without touching the device or its
// lock, and errno after QSerialPort::open() is not reliable (the lock file's
// handling runs system calls of its own). On Windows a COM port is held
// exclusively and a held one is refused with "access denied": there a
// PermissionError is always a holder.
OpenFailure::Kind refusal(const QSerialPort& port, const QString& device)
{
    switch (port.error()) {
    case QSerialPort::DeviceNotFoundError: return OpenFailure::NoDevice;
    case QSerialPort::PermissionError:
#ifdef Q_OS_UNIX
        if (faccessat(AT_FDCWD, QFile::encodeName(device).constData(), R_OK | W_OK, AT_EACCESS) != 0 &&
            (errno == EACCES || errno == EPERM))
            return OpenFailure::PermissionDenied;
#else
        Q_UNUSED(device);
#endif
        return OpenFailure::Busy;
    default: return OpenFailure::Other;
    }
}

// Opens the port, giving a program that is just letting it go a moment to
// do so. QSerialPort guards each device with a lock file named after it; a
// device that vanished and came back under the same name (a USB adapter
// re-plugged, a pseudo-terminal number reused) stays locked until the
// program that held it closes its handle, which it does as soon as it sees
// the device gone. Any other refusal, a device this user may not open among
// them, is final at once. The port's error is left for the caller to read.
OpenFailure::Kind openWithRetry(QSerialPort& port, const QString& device)
{
    constexpr auto kLockRetryPause = std::chrono::milliseconds(100);
    constexpr int kLockRetries = 20;
    for (int attempt = 0;; ++attempt) {
        if (port.open(QIODevice::ReadWrite))
            return OpenFailure::None;
        const OpenFailure::Kind kind = refusal(port, device);
        if (kind != OpenFailure::Busy || attempt == kLockRetries)
            return kind;
        port.clearError();
        std::this_thread::sleep_for(kLockRetryPause);
    }
}

} // namespace

SerialPort::SerialPort(QObject* parent, std::shared_ptr<PortProvider> provider)
    : QObject(parent), provider_(std::move(provider))
{}

SerialPort::~SerialPort()
{
    close();
}

bool SerialPort::listPorts()
{
    std::lock_guard<std::mutex> lock(listMutex_);
    portLabels_.clear();
    preferredPort_ = 0;
    const QList<PortInfo> ports = provider_->availablePorts();
    for (int i = 0; i < ports.size(); ++i) {
        portLabels_.append(portLabel(ports[i]));
        if (preferredPort_ == 0 && isMakersPort(ports[i]))
            preferredPort_ = i + 1;
    }
    return !ports.isEmpty();
}

QStringList SerialPort::portLabels() const
{
    std::lock_guard<std::mutex> lock(listMutex_);
    return portLabels_;
}

int SerialPort::preferredPort() const
{
    std::lock_guard<std::mutex> lock(listMutex_);
    return preferredPort_;
}

bool SerialPort::selectPort(const QString& label)
{
    {
        // The lock keeps the provider from being asked by two threads at once.
        std::lock_guard<std::mutex> lock(listMutex_);
        const QList<PortInfo> listed = provider_->availablePorts();
        if (const PortInfo* port = findListedPort(listed, label)) {
            boundLocation_ = port->systemLocation;
            return true;
        }
    }
    if (isOpen())
        port_->clear(QSerialPort::AllDirections);
    return false;
}

// A label that names no listed port (the list's placeholder, a device that
// was unplugged) opens nothing: the binding left by an earlier open belongs
// to another port, and whatever was sent there would reach the wrong device.
bool SerialPort::open(const PortChoice& choice)
{
    openFailure_ = {};
    if (choice.isDevice)
        return openDevice(choice.text);
    if (!selectPort(choice.text))
        return refuse(OpenFailure::Unlisted, choice.text);
    return openDevice(boundLocation_);
}

bool SerialPort::openDevice(const QString& device)
{
    if (isOpen()) {
        if (openLocation_ == device)
            return true;
        close();
    }

    ensureEventDispatcher();
    port_ = std::make_unique<QSerialPort>();
    port_->setPortName(device);
    const OpenFailure::Kind refused = openWithRetry(*port_, device);
    if (refused != OpenFailure::None) {
        const QString detail = port_->errorString();
        port_.reset();
        return refuse(refused, device, detail);
    }
    openLocation_ = device;
    // Closed here, on the thread that opened it, rather than left open for
    // whoever comes next: its notifiers belong to this thread.
    if (!configure()) {
        close();
        return refuse(OpenFailure::LineSettings, device);
    }
    // Bytes still waiting from before (the tail of a killed run's answer, a
    // late answer to its opening) would pass for the answer to our opening.
    port_->clear(QSerialPort::Input);
    return true;
}

// Kept for the engine to report, and logged for support.
bool SerialPort::refuse(OpenFailure::Kind kind, const QString& port, const QString& detail)
{
    openFailure_ = OpenFailure{kind, port, detail};
    qInfo("SerialPort::open %s: %s", qUtf8Printable(port), qUtf8Printable(openFailure_.reason()));
    return false;
}

OpenFailure SerialPort::lastOpenFailure() const
{
    return openFailure_;
}

bool SerialPort::configure()
{
    if (!isOpen())
        return false;
    QSerialPort& port = *port_;
    return port.setBaudRate(kBaudRate, QSerialPort::AllDirections) && port.setDataBits(QSerialPort::Data8) &&
           port.setParity(QSerialPort::NoParity) && port.setStopBits(QSerialPort::OneStop) &&
           modemLineSet(port, port.setRequestToSend(true)) && port.setFlowControl(QSerialPort::NoFlowControl) &&
           modemLineSet(port, port.setDataTerminalReady(true));
}

bool SerialPort::close()
{
    if (!port_)
        return true;
    if (port_->isOpen())
        port_->close();
    // Released whatever close() reported, on this thread: the port object
    // must not outlive the thread that opened it.
    const bool closed = !port_->isOpen();
    port_.reset();
    openLocation_.clear();
    return closed;
}

bool SerialPort::isOpen() const
{
    return port_ && port_->isOpen();
}

bool SerialPort::write(const uint8_t* data, uint16_t length)
{
    if (!isOpen())
        return false;
    if (port_->write(reinterpret_cast<const char*>(data), length) != length)
        return false;

    // Each blocking wait hands the driver what it can take; the deadline
    // bounds a line that stopped draining.
    const QDeadlineTimer deadline(kDrainTimeoutMs);
    while (port_->bytesToWrite() > 0) {
        const qint64 left = deadline.remainingTime();
        if (left <= 0 || !port_->waitForBytesWritten(int(left)))
            return false;
    }
    return true;
}

bool SerialPort::read(uint8_t* buffer, uint16_t& length, int timeoutMs)
{
    if (!isOpen() || length == 0 || !waitForInput(*port_, timeoutMs))
        return false;
    const qint64 got = port_->read(reinterpret_cast<char*>(buffer), length);
    if (got <= 0)
        return false;
    length = uint16_t(got);
    return true;
}

namespace {

// At the line's pace the rest of an answer cannot all be there before its
// own line time: sleeping through most of it spares a wake-up per byte, which
// with many terminals at once is most of the program's processor time. The
// last two milliseconds are left to the wait for input, so the read ends as
// soon as the last byte is in; a rest of a few bytes is simply waited for.
void waitForTheRest(int missing, const QDeadlineTimer& deadline)
{
    constexpr qint64 kLeftToTheWaitMs = 2;
    const qint64 sleepMs =
        std::min<qint64>(lineTimeMsAtLeast(static_cast<size_t>(missing)) - kLeftToTheWaitMs, deadline.remainingTime());
    if (sleepMs > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(sleepMs));
}

} // namespace

bool SerialPort::readFull(uint8_t* buffer, uint16_t& length, int deadlineMs)
{
    const uint16_t total = length;
    uint16_t received = 0;
    // One deadline for the whole answer: a line that dribbles a byte now and
    // then must not hold the read for longer than a silent one.
    const QDeadlineTimer deadline(deadlineMs);
    while (received < total) {
        if (!isOpen() || !waitForInput(*port_, int(std::max<qint64>(0, deadline.remainingTime())))) {
            length = 0;
            return false;
        }
        const qint64 got = port_->read(reinterpret_cast<char*>(buffer) + received, total - received);
        if (got <= 0) {
            length = 0;
            return false;
        }
        received = uint16_t(received + got);
        waitForTheRest(total - received, deadline);
    }
    return true;
}

void SerialPort::clearInput()
{
    // Empties both the port's own buffer and the driver's input queue.
    if (isOpen())
        port_->clear(QSerialPort::Input);
}
