#include "engine/PackageFile.h"

#include "config/BoundedFile.h"
#include "crypto/Aes.h"

#include <algorithm>

bool PackageFile::refuse(const QString& reason)
{
    problem_ = QStringLiteral("package cannot be read: ") + reason;
    return false;
}

bool PackageFile::open(const QString& path)
{
    const FileProblem opened = openRegularFile(file_, path);
    if (opened != FileProblem::None)
        return refuse(fileProblemText(opened, 0));
    uint8_t header[kContainerHeaderSize] = {};
    const qint64 got = file_.read(reinterpret_cast<char*>(header), sizeof header);
    framing_ = checkContainerHeader(header, static_cast<uint64_t>(std::max<qint64>(file_.size(), 0)), plainLength_);
    if (got < 0 || (got < qint64(sizeof header) && framing_ == ContainerError::None))
        framing_ = ContainerError::TooShort;
    if (framing_ != ContainerError::None)
        return refuse(QLatin1String(containerErrorText(framing_)));
    read_.addData(reinterpret_cast<const char*>(header), sizeof header);
    return true;
}

bool PackageFile::decryptNextBlock()
{
    if (file_.read(reinterpret_cast<char*>(block_.data()), kAesBlockSize) != qint64(kAesBlockSize))
        return refuse(QStringLiteral("shorter than when it was opened, or a read error"));
    read_.addData(reinterpret_cast<const char*>(block_.data()), kAesBlockSize);
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
    return delivered_ < plainLength_ || readAgainTheSame();
}

// The bytes read block by block, and those the file holds now over the same
// span, compared by their digests; a read of a few hundred KiB at disk speed,
// once per download, against minutes on the line.
bool PackageFile::readAgainTheSame()
{
    const qint64 span = file_.pos();
    QCryptographicHash now(QCryptographicHash::Sha256);
    if (!file_.seek(0))
        return refuse(QStringLiteral("cannot be read again before its last block"));
    QByteArray chunk;
    for (qint64 done = 0; done < span; done += chunk.size()) {
        chunk = file_.read(std::min<qint64>(span - done, 64 * 1024));
        if (chunk.isEmpty())
            return refuse(QStringLiteral("shorter than when it was opened, or a read error"));
        now.addData(chunk);
    }
    if (now.result() != read_.result())
        return refuse(QStringLiteral("rewritten while it was being sent"));
    return true;
}
