#include "PackageFile.h"

#include "aes.h"

#include <QFileInfo>
#include <algorithm>

#ifndef Q_OS_WIN
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

bool openRegularFile(QFile& file, const QString& path)
{
#ifdef Q_OS_WIN
    // Pipes and devices have names of their own on Windows (\\.\pipe\..., \\.\COM1),
    // which a file of the configuration folder cannot carry.
    if (!QFileInfo(path).isFile())
        return false;
    file.setFileName(path);
    return file.open(QIODevice::ReadOnly);
#else
    // Opened without blocking, then judged by what was opened: a check of the
    // name before opening could be answered by one file and opened as another.
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat status {};
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)
        || ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0
        || !file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        return false;
    }
    return true;
#endif
}

bool PackageFile::refuse(const char* reason)
{
    problem_ = QStringLiteral("package cannot be read: ") + QLatin1String(reason);
    return false;
}

bool PackageFile::open(const QString& path)
{
    if (!openRegularFile(file_, path))
        return refuse(QFileInfo::exists(path) ? "not a regular file, or not readable" : "missing");
    uint8_t header[kContainerHeaderSize];
    if (file_.read(reinterpret_cast<char*>(header), sizeof header) != qint64(sizeof header))
        return refuse(containerErrorText(ContainerError::TooShort));
    const ContainerError framing = checkContainerHeader(header, static_cast<uint64_t>(file_.size()), plainLength_);
    if (framing != ContainerError::None)
        return refuse(containerErrorText(framing));
    return true;
}

bool PackageFile::decryptNextBlock()
{
    if (file_.read(reinterpret_cast<char*>(block_.data()), kAesBlockSize) != qint64(kAesBlockSize))
        return refuse("shorter than when it was opened, or a read error");
    aesDecrypt(block_.data(), kAesBlockSize, block_.data());
    blockUsed_ = 0;
    return true;
}

bool PackageFile::read(uint8_t* out, uint16_t count)
{
    if (count > plainLength_ - delivered_)
        return refuse("more asked for than its plain length");
    for (uint16_t done = 0; done < count;) {
        if (blockUsed_ == kAesBlockSize && !decryptNextBlock())
            return false;
        const size_t part = std::min<size_t>(count - done, kAesBlockSize - blockUsed_);
        std::copy_n(block_.begin() + blockUsed_, part, out + done);
        blockUsed_ += part;
        done = static_cast<uint16_t>(done + part);
    }
    delivered_ += count;
    return true;
}
