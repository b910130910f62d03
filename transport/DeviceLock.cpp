#include "transport/DeviceLock.h"

#include <QByteArray>
#include <QFile>
#include <QStringList>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>
#endif

namespace {

#ifdef Q_OS_UNIX

QString systemText(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

int openRetrying(const QByteArray& path, int flags, mode_t mode = 0)
{
    int fd = -1;
    do {
        fd = ::open(path.constData(), flags, mode);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

QByteArray readAll(int fd)
{
    QByteArray bytes;
    char buffer[256];
    ssize_t got = 0;
    while (bytes.size() < 4096 && (got = ::pread(fd, buffer, sizeof buffer, bytes.size())) > 0)
        bytes.append(buffer, static_cast<int>(got));
    return bytes;
}

// "process 812, mirdal-cli": the name as the system knows it, when it does.
QString processText(long pid)
{
    QFile comm(QStringLiteral("/proc/%1/comm").arg(pid));
    const QString name =
        comm.open(QIODevice::ReadOnly) ? QString::fromLocal8Bit(comm.readLine(64)).trimmed() : QString();
    return name.isEmpty() ? QStringLiteral("process %1").arg(pid) : QStringLiteral("process %1, %2").arg(pid).arg(name);
}

bool processAlive(long pid)
{
    return pid > 0 && (::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM);
}

// Both a descriptor and the name still lead to the same file: a holder that
// let go unlinks its file, and whoever opened it meanwhile must start again.
bool stillNamed(int fd, const QByteArray& path)
{
    struct stat opened {};
    struct stat named {};
    return ::fstat(fd, &opened) == 0 && ::stat(path.constData(), &named) == 0 && opened.st_dev == named.st_dev &&
           opened.st_ino == named.st_ino;
}

QString lockFolder()
{
    const QString folder = qEnvironmentVariable("MIRDAL_LOCK_DIR");
    return folder.isEmpty() ? QStringLiteral("/var/lock") : folder;
}

// The holder's process id as a lock file gives it: the serial library's
// ("812\nmirdal\nhost\n"), the text form of other serial programs
// ("       812 minicom user\n") or their 4-byte binary form. 0 when none.
long lockHolder(const QByteArray& content)
{
    const QList<QByteArray> words = content.simplified().split(' ');
    bool number = false;
    const long pid = words.isEmpty() ? 0 : words.first().toLong(&number);
    if (number)
        return pid;
    if (content.size() == static_cast<int>(sizeof(int32_t))) {
        int32_t binary = 0;
        std::memcpy(&binary, content.constData(), sizeof binary);
        return binary;
    }
    return 0;
}

#endif

} // namespace

#ifdef Q_OS_UNIX

DeviceLock::DeviceLock(QString path, int fd, unsigned long long deviceNumber)
    : path_(std::move(path)), fd_(fd), deviceNumber_(deviceNumber)
{}

DeviceLock::~DeviceLock()
{
    // Unlinked while still held: whoever opened the file meanwhile sees that
    // it is no longer the named one and starts again.
    ::unlink(QFile::encodeName(path_).constData());
    ::close(fd_);
}

bool DeviceLock::holds(const QString& device) const
{
    struct stat status {};
    return ::stat(QFile::encodeName(device).constData(), &status) == 0 && S_ISCHR(status.st_mode) &&
           status.st_rdev == deviceNumber_;
}

std::unique_ptr<DeviceLock> DeviceLock::take(const QString& device, QString& problem)
{
    problem.clear();
    struct stat status {};
    if (::stat(QFile::encodeName(device).constData(), &status) != 0 || !S_ISCHR(status.st_mode))
        return nullptr;
    const QString path = QStringLiteral("%1/mirdal-device-%2-%3.lock")
                             .arg(lockFolder())
                             .arg(major(status.st_rdev))
                             .arg(minor(status.st_rdev));
    const QByteArray name = QFile::encodeName(path);
    for (;;) {
        int fd = openRetrying(name, O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
        // Another user's lock file can still be locked through a read-only descriptor.
        if (fd < 0 && errno == EACCES)
            fd = openRetrying(name, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0) {
            problem = QStringLiteral("cannot lock %1 for the update: %2: %3").arg(device, path, systemText(errno));
            return nullptr;
        }
        int locked = 0;
        do {
            locked = ::flock(fd, LOCK_EX | LOCK_NB);
        } while (locked != 0 && errno == EINTR);
        if (locked != 0) {
            const int error = errno;
            const long holder = lockHolder(readAll(fd));
            ::close(fd);
            if (error == EWOULDBLOCK)
                problem = QStringLiteral("%1 is in use by another update (%2)")
                              .arg(device, holder > 0 ? processText(holder) : QStringLiteral("process unknown"));
            else
                problem = QStringLiteral("cannot lock %1 for the update: %2: %3").arg(device, path, systemText(error));
            return nullptr;
        }
        if (!stillNamed(fd, name)) {
            ::close(fd);
            continue;
        }
        const QByteArray holder = QByteArray::number(static_cast<qint64>(::getpid())) + '\n';
        if (::ftruncate(fd, 0) == 0 && ::pwrite(fd, holder.constData(), size_t(holder.size()), 0) < 0) {
            // The lock holds without its note; only the message of a refused
            // second updater is the poorer.
        }
        return std::unique_ptr<DeviceLock>(new DeviceLock(path, fd, status.st_rdev));
    }
}

QString foreignLockHolder(const QString& device)
{
    // Where the serial library and the programs of its kind look, in its order.
    static const QStringList folders = {
        QStringLiteral("/var/lock"),         QStringLiteral("/etc/locks"), QStringLiteral("/var/spool/locks"),
        QStringLiteral("/var/spool/uucp"),   QStringLiteral("/tmp"),       QStringLiteral("/var/tmp"),
        QStringLiteral("/var/lock/lockdev"), QStringLiteral("/run/lock")};
    QString name = device.startsWith(QLatin1String("/dev/")) ? device.mid(5) : device;
    name.replace(QLatin1Char('/'), QLatin1Char('_'));
    for (const QString& folder : folders) {
        const QByteArray path = QFile::encodeName(folder + QStringLiteral("/LCK..") + name);
        int fd = openRetrying(path, O_RDWR | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
        if (fd < 0 && errno == EACCES)
            fd = openRetrying(path, O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
        if (fd < 0)
            continue;
        const long holder = lockHolder(readAll(fd));
        struct stat status {};
        const bool young = ::fstat(fd, &status) == 0 && std::time(nullptr) - status.st_mtime < 2;
        QString refusal;
        if (holder == ::getpid()) {
            // Ours: the library judges it.
        } else if (processAlive(holder)) {
            refusal = QStringLiteral("%1 is held by another program (%2)").arg(device, processText(holder));
        } else if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
            // A holder that is writing its note right now.
            refusal = QStringLiteral("%1 is held by another program (process unknown)").arg(device);
        } else if (holder > 0 || !young) {
            // Its holder is gone, or it was left empty: a crash's leftover.
            if (stillNamed(fd, path))
                ::unlink(path.constData());
        }
        ::close(fd);
        if (!refusal.isEmpty())
            return refusal;
    }
    return {};
}

#else

DeviceLock::DeviceLock(QString path, int fd, unsigned long long deviceNumber)
    : path_(std::move(path)), fd_(fd), deviceNumber_(deviceNumber)
{}

DeviceLock::~DeviceLock() = default;

bool DeviceLock::holds(const QString&) const
{
    return false;
}

std::unique_ptr<DeviceLock> DeviceLock::take(const QString&, QString& problem)
{
    problem.clear();
    return nullptr;
}

QString foreignLockHolder(const QString&)
{
    return {};
}

#endif
