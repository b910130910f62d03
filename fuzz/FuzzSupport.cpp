#include "fuzz/FuzzSupport.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <cstdio>
#include <cstdlib>

namespace fuzz {

namespace {

void quietHandler(QtMsgType type, const QMessageLogContext&, const QString& message)
{
    if (type == QtDebugMsg || type == QtInfoMsg)
        return;
    std::fprintf(stderr, "Qt message during fuzzing: %s\n", qPrintable(message));
    std::abort();
}

QString scratchBase()
{
    const QDir shm(QStringLiteral("/dev/shm"));
    return shm.exists() ? shm.path() : QDir::tempPath();
}

} // namespace

void installQuietLog()
{
    qInstallMessageHandler(quietHandler);
}

const QString& scratchFolder()
{
    static QTemporaryDir dir(scratchBase() + QStringLiteral("/mirdal-fuzz-XXXXXX"));
    static const QString path = dir.path() + QLatin1Char('/');
    if (!dir.isValid()) {
        std::fprintf(stderr, "no scratch folder\n");
        std::abort();
    }
    return path;
}

void writeScratchFile(const QString& name, const uint8_t* data, size_t size)
{
    QFile file(scratchFolder() + name);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
        file.write(reinterpret_cast<const char*>(data), static_cast<qint64>(size)) != static_cast<qint64>(size)) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(file.fileName()));
        std::abort();
    }
}

} // namespace fuzz
