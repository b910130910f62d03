#include "diagnostics/LogFile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLockFile>

LogFile::LogFile(QString path, qint64 limit) : path_(std::move(path)), limit_(limit) {}

bool LogFile::append(const QString& line)
{
    QByteArray bytes = line.left(kLineLimit).toUtf8();
    bytes += '\n';
    const std::lock_guard<std::mutex> lock(mutex_);
    qint64 size = 0;
    if (!write(bytes, size))
        return false;
    problem_.clear();
    if (size > limit_)
        rotate();
    return true;
}

QString LogFile::problem() const
{
    const std::lock_guard<std::mutex> lock(mutex_);
    return problem_;
}

// Opened for each line: another process may have rotated the file since, and
// an append by path always lands in the current one.
bool LogFile::write(const QByteArray& bytes, qint64& size)
{
    const QString folder = QFileInfo(path_).absolutePath();
    if (!QDir().mkpath(folder)) {
        problem_ = QStringLiteral("cannot make the folder '%1'").arg(QDir::toNativeSeparators(folder));
        return false;
    }
    QFile file(path_);
    const bool created = !file.exists();
    if (!file.open(QIODevice::WriteOnly | QIODevice::Append)) {
        problem_ = file.errorString();
        return false;
    }
    // What the programs log names ports, files and users: for its owner only, as the record is.
    if (created)
        file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    if (file.write(bytes) != bytes.size() || !file.flush()) {
        problem_ = file.errorString();
        return false;
    }
    size = file.size();
    return true;
}

void LogFile::rotate()
{
    // One process rotates; the others find the file small again and go on.
    QLockFile lock(path_ + QStringLiteral(".lock"));
    if (!lock.tryLock(1000) || QFileInfo(path_).size() <= limit_)
        return;
    QFile::remove(olderPath());
    QFile::rename(path_, olderPath());
}
