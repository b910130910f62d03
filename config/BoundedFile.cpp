#include "config/BoundedFile.h"

#include <QFile>
#include <QFileInfo>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

#ifdef Q_OS_UNIX

class Descriptor {
public:
    explicit Descriptor(int fd) : fd_(fd) {}
    ~Descriptor()
    {
        if (fd_ >= 0)
            ::close(fd_);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

QString systemText(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

FileProblem readDescriptor(int fd, qint64 maxBytes, QByteArray& bytes, QString& systemError)
{
    // One byte more than the bound tells a file that is too large (or grew
    // since it was looked at) from one that fills it exactly.
    constexpr qint64 kChunk = 64 * 1024;
    QByteArray buffer;
    qint64 total = 0;
    while (total <= maxBytes) {
        const qint64 want = std::min(kChunk, maxBytes + 1 - total);
        buffer.resize(static_cast<int>(total + want));
        const ssize_t got = ::read(fd, buffer.data() + total, static_cast<size_t>(want));
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0) {
            systemError = systemText(errno);
            return FileProblem::Unreadable;
        }
        if (got == 0)
            break;
        total += got;
    }
    if (total > maxBytes)
        return FileProblem::TooLarge;
    buffer.resize(static_cast<int>(total));
    bytes = buffer;
    return FileProblem::None;
}

FileProblem readFile(const QString& path, qint64 maxBytes, FileSource source, QByteArray& bytes, QString& systemError)
{
    // Opening a pipe for reading waits for a writer, unless it is opened
    // without waiting; a regular file reads the same either way.
    const int flags = O_RDONLY | O_NOCTTY | O_CLOEXEC | (source == FileSource::RegularOnly ? O_NONBLOCK : 0);
    int fd = -1;
    do {
        fd = ::open(QFile::encodeName(path).constData(), flags);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        systemError = systemText(errno);
        return errno == ENOENT || errno == ENOTDIR || errno == ELOOP || errno == ENAMETOOLONG ? FileProblem::Missing
                                                                                              : FileProblem::Unreadable;
    }
    const Descriptor file(fd);
    struct stat status {};
    if (::fstat(file.get(), &status) != 0) {
        systemError = systemText(errno);
        return FileProblem::Unreadable;
    }
    const bool regular = S_ISREG(status.st_mode);
    if (S_ISDIR(status.st_mode) || (!regular && source == FileSource::RegularOnly))
        return FileProblem::NotRegular;
    if (regular && status.st_size > maxBytes)
        return FileProblem::TooLarge;
    return readDescriptor(file.get(), maxBytes, bytes, systemError);
}

#else

FileProblem readFile(const QString& path, qint64 maxBytes, FileSource source, QByteArray& bytes, QString& systemError)
{
    const QFileInfo info(path);
    if (!info.exists())
        return FileProblem::Missing;
    if (info.isDir() || (source == FileSource::RegularOnly && !info.isFile()))
        return FileProblem::NotRegular;
    if (info.isFile() && info.size() > maxBytes)
        return FileProblem::TooLarge;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        systemError = file.errorString();
        return FileProblem::Unreadable;
    }
    QByteArray read = file.read(maxBytes + 1);
    if (file.error() != QFileDevice::NoError) {
        systemError = file.errorString();
        return FileProblem::Unreadable;
    }
    if (read.size() > maxBytes)
        return FileProblem::TooLarge;
    bytes = read;
    return FileProblem::None;
}

#endif

} // namespace

FileProblem openRegularFile(QFile& file, const QString& path)
{
#ifdef Q_OS_UNIX
    // Judged by what was opened, not by the name: a name looked at first
    // could be answered by one file and opened as another.
    int fd = -1;
    do {
        fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0)
        return errno == ENOENT || errno == ENOTDIR || errno == ELOOP || errno == ENAMETOOLONG ? FileProblem::Missing
                                                                                              : FileProblem::Unreadable;
    struct stat status {};
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        ::close(fd);
        return FileProblem::NotRegular;
    }
    if (::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0 ||
        !file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        return FileProblem::Unreadable;
    }
    return FileProblem::None;
#else
    // Pipes and devices have names of their own on Windows (\\.\pipe\...,
    // \\.\COM1), which a file of the configuration folder cannot carry.
    const QFileInfo info(path);
    if (!info.exists())
        return FileProblem::Missing;
    if (!info.isFile())
        return FileProblem::NotRegular;
    file.setFileName(path);
    return file.open(QIODevice::ReadOnly) ? FileProblem::None : FileProblem::Unreadable;
#endif
}

FileProblem readBoundedFile(const QString& path, qint64 maxBytes, FileSource source, QByteArray& bytes,
                            QString* systemError)
{
    bytes.clear();
    QString reason;
    const FileProblem problem = readFile(path, maxBytes, source, bytes, reason);
    if (problem != FileProblem::None)
        bytes.clear();
    if (systemError)
        *systemError = reason;
    return problem;
}

QString fileProblemText(FileProblem problem, qint64 maxBytes)
{
    switch (problem) {
    case FileProblem::None: return {};
    case FileProblem::Missing: return QStringLiteral("missing");
    case FileProblem::NotRegular: return QStringLiteral("not a regular file");
    case FileProblem::TooLarge: return QStringLiteral("larger than %1 bytes").arg(maxBytes);
    case FileProblem::Unreadable: break;
    }
    return QStringLiteral("cannot be read");
}
