#pragma once
// Reading a file whole, never more than a given number of bytes, and never
// waiting on a source that is not a file: what the program reads comes from
// a folder that someone else may have filled with pipes, devices or links
// to them.
#include <QByteArray>
#include <QFile>
#include <QString>

enum class FileSource {
    // Only a regular file; anything else (pipe, device, folder) is refused
    // at once, without waiting for a writer that may never come.
    RegularOnly,
    // A regular file, or a stream such as a pipe or a device, read up to
    // the bound and refused past it (an endless source is never read whole).
    AnyStream,
};

enum class FileProblem { None, Missing, NotRegular, TooLarge, Unreadable };

// Reads `path` into `bytes` from a single opening, at most `maxBytes` of it.
// On any problem `bytes` is left empty and `systemError`, when given,
// receives the system's words for a failed open or read.
FileProblem readBoundedFile(const QString& path, qint64 maxBytes, FileSource source, QByteArray& bytes,
                            QString* systemError = nullptr);

// "missing", "not a regular file", "larger than N bytes", "cannot be read".
QString fileProblemText(FileProblem problem, qint64 maxBytes);

// Opens `path` for reading into `file` only if it is a regular file, without
// waiting on a pipe or a device on the way, for a reader that streams it.
FileProblem openRegularFile(QFile& file, const QString& path);
