#include "cli/InstallTranscripts.h"

#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#ifdef Q_OS_UNIX
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

// A short name of the port for its transcript's file: the port name of a
// label ("USB - (ttyUSB0)" gives ttyUSB0), a device path without "/dev/"
// ("/dev/pts/3" gives pts-3), any character unfit for a file name replaced.
QString portTag(const QString& port)
{
    static const QRegularExpression labelled(QStringLiteral("\\(([^()]+)\\)$"));
    const QRegularExpressionMatch match = labelled.match(port);
    QString tag = match.hasMatch() ? match.captured(1) : port;
    if (tag.startsWith(QLatin1String("/dev/")))
        tag = tag.mid(5);
    tag.replace(QLatin1Char('/'), QLatin1Char('-'));
    tag.replace(QRegularExpression(QStringLiteral("[^A-Za-z0-9._-]")), QStringLiteral("_"));
    return tag;
}

// With one port the transcript is FILE itself (a FIFO works too); with
// several, each port's goes to FILE with the port's tag before the
// extension: run.jsonl gives run-ttyUSB0.jsonl, run-ttyUSB1.jsonl...
QString transcriptPath(const QString& file, const QString& port, bool several)
{
    if (!several)
        return file;
    const int slash = file.lastIndexOf(QLatin1Char('/'));
    const int dot = file.lastIndexOf(QLatin1Char('.'));
    const QString tag = QLatin1Char('-') + portTag(port);
    if (dot <= slash + 1)
        return file + tag;
    return file.left(dot) + tag + file.mid(dot);
}

// Two ports whose transcripts would land in the same file.
QString transcriptClash(const QString& file, const QStringList& ports)
{
    if (file.isEmpty() || ports.size() < 2)
        return {};
    QStringList paths;
    for (const QString& port : ports) {
        const QString path = transcriptPath(file, port, true);
        if (paths.contains(path))
            return QStringLiteral("the transcripts of two ports would both be written to '%1'").arg(path);
        paths.append(path);
    }
    return {};
}

// Why a transcript may not go to `path`: a FIFO that nobody reads (opening
// it would wait before anything is sent), or a file that the update reads
// (configuration.xml and every file it names). Empty when it may. A FIFO's
// reader is held by `held`, a descriptor to close once the transcript is
// open: without a writer the reader would see the end of its input.
QString traceTargetProblem(const QString& path, const Configuration& configuration, int& held)
{
    held = -1;
    QStringList read = configuration.htermFiles;
    read << configuration.configurationPath() << configuration.terminalImage();
    for (const Batch* batch : configuration.batches()) {
        for (const Application* application : batch->applications)
            read << application->file;
    }
    const QString target = QFileInfo(path).canonicalFilePath();
    for (const QString& file : read) {
        if (!target.isEmpty() && QFileInfo(file).canonicalFilePath() == target)
            return QStringLiteral("the transcript '%1' would overwrite %2, which the update reads").arg(path, file);
    }
#ifdef Q_OS_UNIX
    struct stat status {};
    if (::stat(QFile::encodeName(path).constData(), &status) == 0 && S_ISFIFO(status.st_mode)) {
        const int fd = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0)
            return QStringLiteral("nobody reads the FIFO '%1'").arg(path);
        held = fd;
    }
#endif
    return {};
}
