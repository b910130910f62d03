#pragma once
// One package file as the download reads it: an encrypted container opened
// as a regular file and decrypted block by block while the blocks go out,
// so that a package of any size costs a few bytes of memory.
#include "crypto/Container.h"

#include <QCryptographicHash>
#include <QFile>
#include <QString>
#include <array>
#include <cstdint>

class PackageFile {
public:
    // Opens the package and checks its framing against the file's size. A
    // FIFO, a device or a directory is refused before it could block or
    // stream for ever; so is a container whose framing does not hold.
    bool open(const QString& path);

    uint32_t plainLength() const { return plainLength_; }

    // The next `count` plain bytes. False when the file cannot give them
    // (shortened or unreadable since it was opened) or when they would go
    // past the plain length. Before the last of them leave, the file is read
    // again from its start: if its bytes are no longer those that were read
    // block by block (rewritten in place while being sent), false, so that
    // no terminal ever receives the head of one file and the tail of another.
    bool read(uint8_t* out, uint16_t count);

    // Why open() or read() failed: "package cannot be read: " and the reason.
    QString problem() const { return problem_; }
    // The container's framing problem when open() failed on it; None otherwise.
    ContainerError framing() const { return framing_; }

private:
    bool refuse(const QString& reason);

    bool decryptNextBlock();
    bool readAgainTheSame();

    QFile file_;
    QCryptographicHash read_{QCryptographicHash::Sha256}; // every byte read so far
    uint32_t plainLength_ = 0;
    uint32_t delivered_ = 0;
    std::array<uint8_t, kAesBlockSize> block_{};
    size_t blockUsed_ = kAesBlockSize; // nothing decrypted yet
    QString problem_;
    ContainerError framing_ = ContainerError::None;
};
