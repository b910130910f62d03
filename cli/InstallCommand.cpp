// mirdal-cli install: runs the installation scenario on one or more
// terminals, each on its own port with its own engine, in parallel. Progress
// goes to stderr, the result of every terminal to stdout, and the release
// frames follow every scenario on the port it used.
#include "cli/Subcommands.h"

#include "engine/BatchPlan.h"
#include "cli/CommandLine.h"
#include "config/ConfigurationError.h"
#include "cli/Console.h"
#include "cli/DefaultPort.h"
#include "engine/Model.h"
#include "record/RecordSettings.h"
#include "transcript/TracingLink.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QLoggingCategory>
#include <QRegularExpression>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace {

const CommandHelp kHelp = {
    "install",
    "[--port DEVICE]... [--config-dir DIR] [--time-scale F] [--trace FILE] [--record-db FILE] "
    "[--record-server CONNINFO] [--verbose] [--quiet]",
    "Runs the installation scenario of the configuration on the terminal of each\n"
    "port, all at once, each with its own engine. Progress goes to stderr: a live\n"
    "line per terminal with the time elapsed and the time expected to remain when\n"
    "stderr is a terminal (and TERM is not \"dumb\"), plain lines otherwise. The\n"
    "result of every terminal goes to stdout. Whatever the outcome, the release\n"
    "frames follow on the port used. Each terminal's update is recorded (see\n"
    "'mirdal-cli history'), then offered to the record server when one is set.\n",
    "DEVICE is a device path (/dev/ttyUSB0, /dev/pts/7, COM4) or a port label as\n"
    "'mirdal-cli ports' lists it, given only once under any of its names. Without\n"
    "--port, the port is MIRDAL_PORT's value when it is set, otherwise the maker's\n"
    "port when exactly one is listed (one line on stderr says which); with none\n"
    "or several, they are listed and nothing is done.\n",
    "  0    updated\n"
    "  1    installation failed\n"
    "  2    usage error (no port given and none could be chosen, among others)\n"
    "  3    configuration missing or refused\n"
    "  4    a transcript could not be written whole, or an update could not be recorded\n"
    "       (the result printed still stands)\n"
    "  130  interrupted (Ctrl-C, SIGTERM, SIGHUP) before the update was done: it\n"
    "       stopped at its next exchange with that stage's result and released the\n"
    "       terminal; a second interruption quits at once\n",
};

const char* const kInterrupting =
    "mirdal-cli install: interrupted: the update stops at its next exchange and releases the terminal"
    " (interrupt again to quit at once)";

struct InstallOptions {
    QStringList ports;
    QString configurationDirectory;
    double timeScale = 1.0;
    QString traceFile;
    RecordSettings record;
    bool verbose = false;
    bool quiet = false;
};

void declareOptions(CommandLine& line)
{
    line.option(QStringLiteral("port"), QStringLiteral("the terminal's port; repeatable, one terminal each"),
                QStringLiteral("DEVICE"), true);
    line.configDirOption();
    line.option(QStringLiteral("time-scale"),
                QStringLiteral("factor in (0,1] applied to every fixed pause (default 1)"), QStringLiteral("F"));
    line.option(QStringLiteral("trace"),
                QStringLiteral("session transcript (JSON lines); with several ports, one file per\n"
                               "port, named FILE with the port's name before the extension"),
                QStringLiteral("FILE"));
    line.option(QStringLiteral("record-db"),
                QStringLiteral("the local record (default: MIRDAL_RECORD_DB, the settings file,\n"
                               "then mirdal/records.sqlite in the user's data folder)"),
                QStringLiteral("FILE"));
    line.option(QStringLiteral("record-server"),
                QStringLiteral("the fleet's record server, a libpq connection string such as\n"
                               "\"service=fleet\" (default: MIRDAL_RECORD_SERVER, the settings file)"),
                QStringLiteral("CONNINFO"));
    line.option(QStringLiteral("verbose"), QStringLiteral("also show the engine's log lines (each file advertised,\n"
                                                          "each pass over a file, each restart)"));
    line.option(QStringLiteral("quiet"), QStringLiteral("no progress lines, only the result"));
}

// Fills `options` from the arguments read; an empty result means they fit.
QString readOptions(const CommandLine& line, InstallOptions& options, bool readersSwitched)
{
    options.ports = line.values(QStringLiteral("port"));
    options.configurationDirectory = line.configDir();
    options.traceFile = line.value(QStringLiteral("trace"));
    options.verbose = line.isSet(QStringLiteral("verbose"));
    options.quiet = line.isSet(QStringLiteral("quiet"));
    options.record =
        RecordSettings::resolve(line.value(QStringLiteral("record-db")), line.value(QStringLiteral("record-server")));
    if (line.isSet(QStringLiteral("time-scale"))) {
        const QString value = line.value(QStringLiteral("time-scale"));
        bool ok = false;
        options.timeScale = value.toDouble(&ok);
        // Written so that NaN fails too.
        if (!ok || !(options.timeScale > 0.0 && options.timeScale <= 1.0))
            return QStringLiteral("--time-scale must be a number in (0,1], not '%1'").arg(value);
    }
    if (options.ports.isEmpty()) {
        const DefaultPort choice = choosePort(portsAfterSwitch(readersSwitched), qEnvironmentVariable("MIRDAL_PORT"));
        if (choice.port.isEmpty())
            return choice.note;
        if (!choice.note.isEmpty())
            std::fprintf(stderr, "%s\n", choice.note.toUtf8().constData());
        options.ports.append(choice.port);
    }
    if (options.ports.removeDuplicates() > 0)
        return QStringLiteral("a port may be given only once");
    return {};
}

// ---------------------------------------------------------------- transcripts

// How the transcript names a device opened by its path: as a port list
// would label it ("Serial device - (pts/3)" for /dev/pts/3).
const char* const kDirectDeviceDescription = "Serial device";

QString transcriptName(const PortChoice& port)
{
    if (!port.isDevice)
        return port.text;
    const QString name = port.text.startsWith(QLatin1String("/dev/")) ? port.text.mid(5) : port.text;
    return QLatin1String(kDirectDeviceDescription) + QLatin1String(" - (") + name + QLatin1Char(')');
}

// The engine's port with its session transcript: the opening and closing as
// the scenario (and the release frames after it) does them, and every exchange.
class TracingPort : public TerminalPort {
public:
    TracingPort(TranscriptWriter& writer, std::shared_ptr<TerminalPort> port)
        : writer_(writer), port_(std::move(port)), link_(writer, port_.get())
    {}

    bool open(const PortChoice& port) override
    {
        const bool opened = port_->open(port);
        writer_.portOpened(transcriptName(port).toStdString(), opened);
        return opened;
    }
    bool close() override
    {
        link_.flush();
        const bool closed = port_->close();
        writer_.portClosed(closed);
        return closed;
    }
    OpenFailure lastOpenFailure() const override { return port_->lastOpenFailure(); }

    bool write(const uint8_t* data, uint16_t length) override { return link_.write(data, length); }
    bool read(uint8_t* buffer, uint16_t& length, int timeoutMs) override
    {
        return link_.read(buffer, length, timeoutMs);
    }
    bool readFull(uint8_t* buffer, uint16_t& length, int deadlineMs) override
    {
        return link_.readFull(buffer, length, deadlineMs);
    }
    void clearInput() override { link_.clearInput(); }
    void answerEnded() override { link_.answerEnded(); }

private:
    TranscriptWriter& writer_;
    const std::shared_ptr<TerminalPort> port_;
    TracingLink link_;
};

// The session transcript of one terminal.
struct Transcript {
    explicit Transcript(TranscriptWriter::Clock::time_point start) : writer(start) {}
    QString path;
    TranscriptWriter writer;
};

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

// ---------------------------------------------------------------- progress

// How the progress is shown on stderr.
enum class ProgressMode {
    Live,  // a status line per terminal, redrawn in place
    Plain, // one plain line per status change (logs, pipes, dumb terminals)
    Quiet, // none: only the result (and the log lines asked for)
};

// A status line per terminal on stderr: redrawn in place on a terminal, with
// the time elapsed and the time expected to remain; one plain line per status
// change otherwise.
class ProgressView {
public:
    // `expectedSeconds`: the whole installation as the batch plan sees it.
    ProgressView(const QStringList& names, ProgressMode mode, double expectedSeconds)
        : names_(names), live_(mode == ProgressMode::Live), quiet_(mode == ProgressMode::Quiet),
          expectedSeconds_(expectedSeconds), start_(std::chrono::steady_clock::now()), rows_(names.size())
    {}

    void status(int terminal, const QString& text, int value)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        show(terminal, &Row::total, text, value);
        if (!live_ && !quiet_)
            std::fprintf(stderr, "%s[%3d%%] %s\n", prefix(terminal).toUtf8().constData(), value,
                         text.toUtf8().constData());
    }

    void module(int terminal, const QString& text, int value)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        show(terminal, &Row::module, text, value);
    }

    // The clock goes on between two statuses (a restart lasts a minute).
    void tick()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (live_ && drawn_)
            redraw();
    }

    // A log line goes above the live rows, which are drawn again below it.
    void log(const QString& line)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (live_ && drawn_)
            std::fprintf(stderr, "\x1b[%dA\r\x1b[J", static_cast<int>(rows_.size()));
        std::fprintf(stderr, "%s\n", line.toUtf8().constData());
        if (live_ && drawn_) {
            drawn_ = false;
            redraw();
        }
    }

private:
    struct Bar {
        QString text;
        int value = 0;
    };
    struct Row {
        Bar total;
        Bar module;
    };

    void show(int terminal, Bar Row::*which, const QString& text, int value)
    {
        rows_[terminal].*which = Bar{text, value};
        if (live_)
            redraw();
    }

    QString prefix(int terminal) const
    {
        return names_.size() > 1 ? names_[terminal] + QStringLiteral(": ") : QString();
    }

    static QString bar(int value)
    {
        constexpr int kWidth = 20;
        const int filled = std::max(0, std::min(kWidth, value * kWidth / 100));
        return QStringLiteral("[%1%2] %3%")
            .arg(QString(filled, QLatin1Char('#')), QString(kWidth - filled, QLatin1Char('-')))
            .arg(value, 3);
    }

    // "1:05"
    static QString clock(qint64 seconds)
    {
        return QStringLiteral("%1:%2").arg(seconds / 60).arg(seconds % 60, 2, 10, QLatin1Char('0'));
    }

    // "0:42 ~2:10 left": what the plan expects less the time gone, never below zero.
    QString times() const
    {
        const qint64 elapsed =
            std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - start_).count();
        const qint64 remaining = std::max<qint64>(0, qRound64(expectedSeconds_) - elapsed);
        return QStringLiteral("%1 ~%2 left").arg(clock(elapsed), clock(remaining));
    }

    static int columns()
    {
        const int width = console::columns(stderr);
        return width > 0 ? width : 80;
    }

    // Cursor back to the first row, then every row rewritten; rows are cut to
    // the width so that none wraps and the count of lines to go back stays right.
    void redraw()
    {
        if (drawn_)
            std::fprintf(stderr, "\x1b[%dA", static_cast<int>(rows_.size()));
        const int width = columns() - 1;
        const QString clocks = times();
        for (size_t i = 0; i < rows_.size(); ++i) {
            const Row& row = rows_[i];
            // The numbers come first so that a narrow terminal cuts texts, not numbers.
            QString line = prefix(static_cast<int>(i)) + bar(row.total.value) +
                           QStringLiteral(" (%1%) %2 ").arg(row.module.value, 3).arg(clocks) + row.total.text;
            if (!row.module.text.isEmpty())
                line += QStringLiteral(" | ") + row.module.text;
            std::fprintf(stderr, "\r\x1b[2K%s\n", line.left(width).toUtf8().constData());
        }
        std::fflush(stderr);
        drawn_ = true;
    }

    const QStringList names_;
    const bool live_;
    const bool quiet_;
    const double expectedSeconds_;
    const std::chrono::steady_clock::time_point start_;
    std::vector<Row> rows_;
    bool drawn_ = false;
    std::mutex mutex_;
};

// Live lines only on a terminal that can move its cursor.
ProgressMode progressMode(bool quiet)
{
    if (quiet)
        return ProgressMode::Quiet;
    if (!console::isTerminal(stderr) || qEnvironmentVariable("TERM") == QLatin1String("dumb"))
        return ProgressMode::Plain;
    return ProgressMode::Live;
}

// ---------------------------------------------------------------- terminals

bool isDevicePath(const QString& port)
{
    static const QRegularExpression windowsPort(QStringLiteral("^COM[0-9]+$"),
                                                QRegularExpression::CaseInsensitiveOption);
    return port.startsWith(QLatin1Char('/')) || windowsPort.match(port).hasMatch();
}

// What a device path names: the device itself, whatever links or repeated
// slashes lead to it; the cleaned path for a device that is not there.
QString deviceIdentity(const QString& port)
{
    const std::string identity = console::deviceIdentity(QFile::encodeName(port).toStdString());
    if (!identity.empty())
        return QString::fromStdString(identity);
    return QStringLiteral("path ") + QDir::cleanPath(port);
}

// Two device paths that name one device: two engines would share its line.
QString sameDeviceTwice(const QStringList& ports)
{
    QStringList identities;
    for (const QString& port : ports) {
        const QString identity = isDevicePath(port) ? deviceIdentity(port) : QString();
        const int earlier = identity.isEmpty() ? -1 : identities.indexOf(identity);
        if (earlier >= 0)
            return QStringLiteral("'%1' and '%2' are the same device: a port may be given only once")
                .arg(ports[earlier], port);
        identities.append(identity);
    }
    return {};
}

// One terminal: its port, its own engine, and the outcome of its scenario.
struct TerminalRun {
    QString name;    // as the user gave it
    PortChoice port; // as the engine opens it
    std::unique_ptr<Transcript> transcript;
    std::unique_ptr<Model> model;
    bool ok = false;
    QString title;
    QString text;
    QString recordProblem; // why its record could not be written; empty when it was
};

// The port as the platform lists it (its label and USB identity), found by
// label or device; a device it does not list is known by its path alone.
PortInfo describePort(const QString& port)
{
    for (const PortInfo& info : SystemPortProvider().availablePorts())
        if (portLabel(info) == port || info.systemLocation == port)
            return info;
    PortInfo info;
    info.systemLocation = port;
    return info;
}

std::unique_ptr<TerminalRun> makeTerminal(const QString& port, const InstallOptions& options,
                                          const std::shared_ptr<Clock>& clock,
                                          TranscriptWriter::Clock::time_point start)
{
    auto run = std::make_unique<TerminalRun>();
    run->name = port;
    ModelOptions modelOptions;
    modelOptions.clock = clock;
    modelOptions.configurationDirectory = options.configurationDirectory;
    // A device path is opened directly, whatever the platform's enumeration says about it.
    run->port = isDevicePath(port) ? PortChoice::device(port) : PortChoice::label(port);
    if (!options.traceFile.isEmpty()) {
        run->transcript = std::make_unique<Transcript>(start);
        TranscriptWriter& writer = run->transcript->writer;
        modelOptions.terminalPort = [&writer](std::shared_ptr<SerialPort> serial) {
            return std::make_shared<TracingPort>(writer, std::move(serial));
        };
    }
    run->model = std::make_unique<Model>(nullptr, std::move(modelOptions));
    return run;
}

// Two ports whose transcripts would land in the same file.
QString transcriptClash(const InstallOptions& options)
{
    if (options.traceFile.isEmpty() || options.ports.size() < 2)
        return {};
    QStringList paths;
    for (const QString& port : options.ports) {
        const QString path = transcriptPath(options.traceFile, port, true);
        if (paths.contains(path))
            return QStringLiteral("the transcripts of two ports would both be written to '%1'").arg(path);
        paths.append(path);
    }
    return {};
}

bool loadConfiguration(Model& model)
{
    bool loaded = false;
    QObject::connect(&model, &Model::configurationLoaded, [&loaded] { loaded = true; });
    model.loadConfiguration();
    return loaded;
}

// The French result, and under a failure's its cause for the technician.
void printResult(const TerminalRun& run, bool withName)
{
    if (withName)
        std::printf("%s\n", run.name.toUtf8().constData());
    std::printf("%s\n%s\n", run.title.toUtf8().constData(), run.text.toUtf8().constData());
    const QString cause = run.model->lastFailureCause();
    if (!run.ok && !cause.isEmpty())
        std::printf("cause: %s\n", cause.toUtf8().constData());
}

// The engine's log lines while the progress is shown.
ProgressView* logView = nullptr;
// With several terminals, the log lines of a terminal's thread name it as
// its progress lines do.
thread_local QString logPrefix;

void logAboveProgress(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    logView->log(logPrefix + qFormatLogMessage(type, context, message));
}

} // namespace

int runInstall(const QStringList& args)
{
    CommandLine line(kHelp);
    declareOptions(line);
    const int ended = line.parse(args);
    if (ended >= 0)
        return ended;
    InstallOptions options;
    const QString problem =
        readOptions(line, options, switchCardReaders("install", line.isSet(QStringLiteral("verbose"))));
    if (!problem.isEmpty())
        return line.usageError(problem);
    options.configurationDirectory = QDir(options.configurationDirectory).absolutePath() + QLatin1Char('/');

    // The engine's log lines (information and debug) are for support: the
    // technician sees only the progress and the result. From here on, so
    // that the configuration's reading stays quiet too; QT_LOGGING_RULES
    // still overrides this.
    if (!options.verbose)
        QLoggingCategory::setFilterRules(QStringLiteral("default.debug=false\ndefault.info=false"));

    const QString twice = sameDeviceTwice(options.ports);
    if (!twice.isEmpty())
        return line.usageError(twice);
    const QString clash = transcriptClash(options);
    if (!clash.isEmpty())
        return line.usageError(clash);

    const auto start = TranscriptWriter::Clock::now();
    const auto clock = std::make_shared<ScaledClock>(options.timeScale);
    std::vector<std::unique_ptr<TerminalRun>> runs;
    for (const QString& port : options.ports) {
        runs.push_back(makeTerminal(port, options, clock, start));
        if (!loadConfiguration(*runs.back()->model)) {
            std::printf("%s\n%s\n", kConfigurationErrorTitle, kConfigurationErrorText);
            return kExitConfiguration;
        }
    }

    for (const auto& run : runs) {
        const QString path = transcriptPath(options.traceFile, run->name, runs.size() > 1);
        if (run->transcript && !run->transcript->writer.open(QFile::encodeName(path).toStdString()))
            return line.usageError(QStringLiteral("cannot write the transcript '%1'").arg(path));
        if (run->transcript)
            run->transcript->path = path;
    }

    // Every terminal runs the same batches; the plan of the first stands for all.
    const double expectedSeconds = planBatches(*runs.front()->model->configuration()).seconds(options.timeScale);
    ProgressView progress(options.ports, progressMode(options.quiet), expectedSeconds);
    logView = &progress;
    const QtMessageHandler previousHandler = qInstallMessageHandler(logAboveProgress);
    // The first interruption stops every update at its next exchange; each
    // then goes through its failure's clean-up and its release frames.
    const console::InterruptWatch interruptions(
        [&progress, &runs] {
            progress.log(QString::fromUtf8(kInterrupting));
            for (const auto& run : runs)
                run->model->requestStop();
        },
        kExitInterrupted);
    // Read once for every terminal: the packages' digests need their decryption.
    const ConfigurationFacts facts = configurationFacts(*runs.front()->model->configuration());
    std::vector<std::thread> threads;
    size_t finished = 0;
    std::mutex finishedMutex;
    std::condition_variable finishedSignal;
    for (size_t i = 0; i < runs.size(); ++i) {
        TerminalRun& run = *runs[i];
        const int row = static_cast<int>(i);
        // Direct connections: the view is thread-safe and no event loop runs.
        QObject::connect(run.model.get(), &Model::setTotalProgression,
                         [&progress, row](const QString& text, int value) { progress.status(row, text, value); });
        QObject::connect(run.model.get(), &Model::setModuleProgression,
                         [&progress, row](const QString& text, int value) { progress.module(row, text, value); });
        const bool several = runs.size() > 1;
        const PortInfo port = describePort(run.port.text);
        threads.emplace_back([&run, several, &facts, port, &options, &finished, &finishedSignal, &finishedMutex] {
            if (several)
                logPrefix = run.name + QStringLiteral(": ");
            run.ok = run.model->install(run.port, run.title, run.text);
            // Whatever the outcome, the terminal is told to leave its download mode.
            run.model->releasePort(run.port);
            if (run.transcript && !run.ok)
                run.transcript->writer.cause(run.model->lastFailureStage().toStdString(),
                                             run.model->lastFailureCause().toStdString());
            if (run.transcript)
                run.transcript->writer.result(run.ok, run.title.toStdString(), run.text.toStdString());
            run.recordProblem =
                keepRecord(makeRecord(run.model->lastResult(), facts, port,
                                      run.transcript ? QDir(run.transcript->path).absolutePath() : QString()),
                           options.record);
            const std::lock_guard<std::mutex> lock(finishedMutex);
            ++finished;
            finishedSignal.notify_all();
        });
    }
    // The live lines' clocks go on while every terminal works.
    {
        std::unique_lock<std::mutex> lock(finishedMutex);
        while (!finishedSignal.wait_for(lock, std::chrono::seconds(1), [&] { return finished == threads.size(); }))
            progress.tick();
    }
    for (std::thread& thread : threads)
        thread.join();
    qInstallMessageHandler(previousHandler);
    logView = nullptr;

    bool allDone = true;
    for (const auto& run : runs) {
        printResult(*run, runs.size() > 1);
        allDone = allDone && run->ok;
    }
    std::fflush(stdout);
    // The update's outcome stands; a record of it that is not whole is said.
    bool transcriptsWhole = true;
    for (const auto& run : runs) {
        if (run->transcript && !run->transcript->writer.close()) {
            std::fprintf(stderr, "mirdal-cli install: the transcript '%s' is incomplete: %s\n",
                         qPrintable(run->transcript->path), run->transcript->writer.problem().c_str());
            transcriptsWhole = false;
        }
    }
    bool recorded = true;
    for (const auto& run : runs) {
        if (!run->recordProblem.isEmpty()) {
            std::fprintf(stderr, "mirdal-cli install: the update on %s is not recorded: %s\n", qPrintable(run->name),
                         qPrintable(run->recordProblem));
            recorded = false;
        }
    }
    // The server comes last: a slow or absent one only delays the program's end.
    const QString unpushed = recorded ? pushQueued(options.record) : QString();
    if (!unpushed.isEmpty())
        std::fprintf(stderr, "mirdal-cli install: the records stay queued for the server: %s\n", qPrintable(unpushed));
    if (interruptions.interrupted() && !allDone)
        return kExitInterrupted;
    if (!transcriptsWhole || !recorded)
        return kExitTranscriptIncomplete;
    return allDone ? kExitOk : kExitFailed;
}
