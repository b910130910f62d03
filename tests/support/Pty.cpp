#include "tests/support/Pty.h"

#include <QElapsedTimer>
#include <QThread>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <unistd.h>

Pty::Pty()
{
    char name[128] = {};
    if (::openpty(&master_, &slave_, name, nullptr, nullptr) != 0) {
        master_ = slave_ = -1;
        return;
    }
    path_ = QString::fromLocal8Bit(name);
    // Raw from the start: no echo back to the master, no line editing.
    termios raw = lineSettings();
    ::cfmakeraw(&raw);
    setLineSettings(raw);
}

Pty::~Pty()
{
    closeMaster();
    if (slave_ >= 0)
        ::close(slave_);
}

PortInfo Pty::asPort(const QString& manufacturer) const
{
    QString name = path_;
    name.remove(QStringLiteral("/dev/"));
    return {name, QStringLiteral("Velmaris Terminal"), manufacturer, path_};
}

void Pty::send(const QByteArray& bytes)
{
    for (int done = 0; done < bytes.size();) {
        const ssize_t n = ::write(master_, bytes.constData() + done, size_t(bytes.size() - done));
        if (n <= 0)
            return;
        done += int(n);
    }
}

void Pty::deliver(const QByteArray& bytes)
{
    int queuedBefore = 0;
    ::ioctl(slave_, FIONREAD, &queuedBefore);
    send(bytes);
    QElapsedTimer waited;
    waited.start();
    int queued = 0;
    while (::ioctl(slave_, FIONREAD, &queued) == 0 && queued < queuedBefore + bytes.size() && waited.elapsed() < 2000)
        QThread::msleep(1);
}

QByteArray Pty::receive(int count, int timeoutMs)
{
    QByteArray bytes;
    QElapsedTimer waited;
    waited.start();
    while (bytes.size() < count) {
        const qint64 left = timeoutMs - waited.elapsed();
        pollfd readable{master_, POLLIN, 0};
        if (left <= 0 || ::poll(&readable, 1, int(left)) <= 0)
            break;
        char chunk[256];
        const ssize_t n = ::read(master_, chunk, std::min<size_t>(sizeof chunk, size_t(count - bytes.size())));
        if (n <= 0)
            break;
        bytes.append(chunk, int(n));
    }
    return bytes;
}

void Pty::closeMaster()
{
    if (master_ >= 0)
        ::close(master_);
    master_ = -1;
}

termios Pty::lineSettings() const
{
    termios settings{};
    ::tcgetattr(slave_, &settings);
    return settings;
}

void Pty::setLineSettings(const termios& settings)
{
    ::tcsetattr(slave_, TCSANOW, &settings);
}
