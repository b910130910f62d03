#pragma once
// A log file that stays under a size bound and that several processes append
// to at once (the window and any number of mirdal-cli): each line is one
// append, and once the file passes its bound it becomes PATH.1, the older one
// dropped, so that at most two bounds' worth is ever kept.
#include <QString>
#include <QtGlobal>

#include <mutex>

class LogFile {
public:
    static constexpr qint64 kDefaultLimit = 1024 * 1024;
    // A longer line is cut, so that the bound holds whatever a message says.
    static constexpr int kLineLimit = 4096;

    explicit LogFile(QString path, qint64 limit = kDefaultLimit);

    // Appends `line` and a line feed; thread-safe. False when it could not be
    // written, problem() then saying why.
    bool append(const QString& line);
    QString problem() const;
    const QString& path() const { return path_; }
    QString olderPath() const { return path_ + QStringLiteral(".1"); }

private:
    bool write(const QByteArray& bytes, qint64& size);
    void rotate();

    const QString path_;
    const qint64 limit_;
    mutable std::mutex mutex_;
    QString problem_;
};
