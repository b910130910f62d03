#include "diagnostics/Diagnostics.h"

#include "diagnostics/LogFile.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QStandardPaths>

#include <atomic>
#include <memory>
#include <mutex>

namespace diagnostics {

namespace {

struct State {
    QString program;
    std::unique_ptr<LogFile> file;
    std::mutex consoleMutex;
    Console startConsole;
    Console console;
    std::atomic<bool> fileProblemSaid{false};
};

// Never destroyed: Qt may still log while static objects go at exit.
State& state()
{
    static State* const instance = new State;
    return *instance;
}

thread_local QString threadTerminal;
// Set while this thread writes the file: a message that the writing itself
// raises goes to the console only, instead of waiting on its own lock.
thread_local bool writingFile = false;

const char* levelName(QtMsgType type)
{
    switch (type) {
    case QtDebugMsg: return "debug";
    case QtInfoMsg: return "info";
    case QtWarningMsg: return "warning";
    case QtCriticalMsg: return "critical";
    case QtFatalMsg: return "fatal";
    }
    return "?";
}

Console currentConsole()
{
    State& s = state();
    const std::lock_guard<std::mutex> lock(s.consoleMutex);
    return s.console;
}

// "2026-12-07T09:30:00.125Z mirdal-cli[4242] info: /dev/ttyUSB1: Model::sendInfo ...": when, which program and
// process (the window and several mirdal-cli share the file), how grave, which terminal.
QString fileLine(QtMsgType type, const QString& message)
{
    QString line = QStringLiteral("%1 %2[%3] %4: ")
                       .arg(QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs), state().program)
                       .arg(QCoreApplication::applicationPid())
                       .arg(QLatin1String(levelName(type)));
    if (!threadTerminal.isEmpty())
        line += threadTerminal + QStringLiteral(": ");
    return line + message;
}

void handle(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    State& s = state();
    const Console console = currentConsole();
    if (!writingFile) {
        writingFile = true;
        const bool written = s.file->append(fileLine(type, message));
        writingFile = false;
        // The update never depends on its log: a file that cannot be written is said once, on the console.
        if (!written && !s.fileProblemSaid.exchange(true) && console)
            console(QtWarningMsg, QMessageLogContext(),
                    QStringLiteral("%1: the log file '%2' cannot be written (%3): diagnostics are not kept")
                        .arg(s.program, QDir::toNativeSeparators(s.file->path()), s.file->problem()));
    }
    if (console)
        console(type, context, message);
}

} // namespace

QString logFilePath()
{
#ifdef Q_OS_WIN
    const QString folder =
        QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) + QStringLiteral("/mirdal");
#else
    QString base = qEnvironmentVariable("XDG_STATE_HOME");
    // XDG_STATE_HOME must be absolute; a relative one is ignored, as every XDG folder variable is.
    if (base.isEmpty() || QDir::isRelativePath(base))
        base = QDir::homePath() + QStringLiteral("/.local/state");
    const QString folder = base + QStringLiteral("/mirdal");
#endif
    return folder + QStringLiteral("/mirdal.log");
}

void start(const QString& program, Console console)
{
    State& s = state();
    s.program = program;
    s.file = std::make_unique<LogFile>(logFilePath());
    const QtMessageHandler previous = qInstallMessageHandler(handle);
    if (!console && previous)
        console = previous;
    s.startConsole = console;
    setConsole({});
}

void setConsole(Console console)
{
    State& s = state();
    const std::lock_guard<std::mutex> lock(s.consoleMutex);
    s.console = console ? std::move(console) : s.startConsole;
}

void setThreadTerminal(const QString& name)
{
    threadTerminal = name;
}

bool rulesFromEnvironment()
{
    return !qEnvironmentVariableIsEmpty("QT_LOGGING_RULES") || !qEnvironmentVariableIsEmpty("QT_LOGGING_CONF");
}

} // namespace diagnostics
