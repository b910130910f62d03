// mirdal-cli install: runs the installation scenario on one or more
// terminals, each on its own port with its own engine, in parallel. Progress
// goes to stderr, the result of every terminal to stdout, and the release
// frames follow every scenario on the port it used.
#include "cli/Subcommands.h"

#include "cli/Authoring.h"
#include "cli/CommandLine.h"
#include "cli/Console.h"
#include "cli/DefaultPort.h"
#include "cli/InstallTranscripts.h"
#include "cli/LogConsole.h"
#include "cli/PortIdentity.h"
#include "cli/ProgressView.h"
#include "config/ConfigurationError.h"
#include "config/Signature.h"
#include "diagnostics/Diagnostics.h"
#include "engine/BatchPlan.h"
#include "engine/Model.h"
#include "record/RecordSettings.h"
#include "transcript/TracingPort.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#ifdef Q_OS_UNIX
#include <unistd.h>
#endif

namespace {

const CommandHelp kHelp = {
    "install",
    "Runs the installation scenario of the configuration on the terminal of each\n"
    "port, all at once, each with its own engine. Progress goes to stderr: a live\n"
    "line per terminal with the time elapsed and the time expected to remain when\n"
    "stderr is a terminal (and TERM is not \"dumb\"), plain lines otherwise. The\n"
    "result of every terminal goes to stdout. Whatever the outcome, the release\n"
    "frames follow on the port used. Each terminal's update is recorded (see\n"
    "'mirdal-cli history'), then offered to the record server when one is set.\n"
    "With --json, stdout holds one JSON object a line per terminal instead (see\n"
    "mirdal-cli(1), JSON RESULTS).\n",
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
    "  130  interrupted (Ctrl-C, Ctrl-\\, SIGTERM, SIGHUP) before the update was done: it\n"
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
    bool quiet = false;
    bool json = false;
};

// Fills `options` from the arguments read; an empty result means they fit.
QString readOptions(const CommandLine& line, InstallOptions& options, bool readersSwitched)
{
    options.ports = line.values(QStringLiteral("port"));
    options.configurationDirectory = line.configDir();
    options.traceFile = line.value(QStringLiteral("trace"));
    options.quiet = line.isSet(QStringLiteral("quiet"));
    options.json = line.isSet(QStringLiteral("json"));
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

// ---------------------------------------------------------------- terminals

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
    run->port = PortChoice::parse(port);
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

// More ports than the files this process may open can serve: a thread that
// cannot get its descriptors would abort the whole process mid-update.
QString tooManyPorts(int ports)
{
    // Per terminal, at the most: its port, the serial library's lock and
    // ours, the wakeup of its thread's event loop, the package being sent,
    // its transcript, a lock file being checked, and one to spare. Shared:
    // the port list, the configuration's files, the interruption watch.
    constexpr long kPerTerminal = 8;
    constexpr long kShared = 16;
    const long room = console::descriptorRoom();
    const long need = kShared + kPerTerminal * ports;
    if (room < 0 || need <= room)
        return {};
    return QStringLiteral("%1 ports need up to %2 more open files, and this process may open only %3 more "
                          "(ulimit -n)")
        .arg(ports)
        .arg(need)
        .arg(room);
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
    // A failure in a later batch, or an interruption, after the terminal
    // installed earlier ones: what it holds now.
    for (const BatchResult& batch : run.model->lastResult().batches) {
        QStringList installed;
        for (const FileResult& file : batch.files)
            if (!run.ok && file.installed)
                installed.append(file.name);
        if (!installed.isEmpty())
            std::printf("installed before: batch %d: %s\n", batch.id,
                        installed.join(QStringLiteral(", ")).toUtf8().constData());
    }
}

// The result as scripts read it: one object, its field names a contract
// (mirdal-cli(1), JSON RESULTS), on one line.
void printJsonResult(const TerminalRun& run, bool interrupted)
{
    const InstallationResult& result = run.model->lastResult();
    QJsonArray batches;
    for (const BatchResult& batch : result.batches) {
        QJsonArray files;
        for (const FileResult& file : batch.files)
            files.append(QJsonObject{{"file", file.file},
                                     {"name", file.name},
                                     {"advertised", file.advertised},
                                     {"skipped", file.skipped},
                                     {"attempts", file.attempts},
                                     {"resends", file.resends},
                                     {"downloaded", file.downloaded},
                                     {"installed", file.installed}});
        batches.append(QJsonObject{{"id", batch.id}, {"activated", batch.activated}, {"files", files}});
    }
    const auto time = [](const QDateTime& at) {
        return at.isValid() ? QJsonValue(at.toUTC().toString(Qt::ISODateWithMs)) : QJsonValue();
    };
    const QJsonObject object{{"port", run.name},
                             {"outcome", run.ok        ? "updated"
                                         : interrupted ? "interrupted"
                                                       : "failed"},
                             {"title", run.title},
                             {"text", run.text},
                             {"stage", run.ok ? QJsonValue() : QJsonValue(result.stage)},
                             {"cause", run.ok ? QJsonValue() : QJsonValue(result.cause)},
                             {"installed", QJsonArray::fromStringList(result.installedFiles())},
                             {"batches", batches},
                             {"started", time(result.started)},
                             {"ended", time(result.ended)}};
    std::printf("%s\n", QJsonDocument(object).toJson(QJsonDocument::Compact).constData());
}

// The engine's log lines while the progress is shown.
ProgressView* logView = nullptr;
// With several terminals, the log lines of a terminal's thread name it as
// its progress lines do.
thread_local QString logPrefix;

void logAboveProgress(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    if (logconsole::shown(type))
        logView->log(logPrefix + qFormatLogMessage(type, context, message));
}

// Reads the options and makes every terminal's engine and transcript; a
// status to end with when they do not fit (`runs` is then of no use).
int prepare(const QStringList& args, InstallOptions& options, std::vector<std::unique_ptr<TerminalRun>>& runs)
{
    CommandLine line(kHelp);
    const int ended = line.parse(args);
    if (ended >= 0)
        return ended;
    // The diagnostics are for support (the log file): the technician sees
    // them only when asked, from the card readers' switch on.
    logconsole::showAll(line.isSet(QStringLiteral("verbose")));
    const QString problem = readOptions(line, options, switchCardReaders("install"));
    if (!problem.isEmpty())
        return line.usageError(problem);
    options.configurationDirectory = QDir(options.configurationDirectory).absolutePath() + QLatin1Char('/');

    for (const QString& refused : {sameDeviceTwice(options.ports), transcriptClash(options.traceFile, options.ports),
                                   tooManyPorts(options.ports.size())}) {
        if (!refused.isEmpty())
            return line.usageError(refused);
    }

    const auto start = TranscriptWriter::Clock::now();
    const auto clock = std::make_shared<ScaledClock>(options.timeScale);
    for (const QString& port : options.ports) {
        runs.push_back(makeTerminal(port, options, clock, start));
        if (!loadConfiguration(*runs.back()->model)) {
            if (options.json)
                std::printf("%s\n", QJsonDocument(QJsonObject{{"outcome", "configuration refused"},
                                                              {"title", QString::fromUtf8(kConfigurationErrorTitle)},
                                                              {"text", QString::fromUtf8(kConfigurationErrorText)}})
                                        .toJson(QJsonDocument::Compact)
                                        .constData());
            else
                std::printf("%s\n%s\n", kConfigurationErrorTitle, kConfigurationErrorText);
            return kExitConfiguration;
        }
    }

    for (const auto& run : runs) {
        const QString path = transcriptPath(options.traceFile, run->name, runs.size() > 1);
        int held = -1;
        const QString refused =
            run->transcript ? traceTargetProblem(path, *run->model->configuration(), held) : QString();
        if (!refused.isEmpty())
            return line.usageError(refused);
        const bool opened = !run->transcript || run->transcript->writer.open(QFile::encodeName(path).toStdString());
#ifdef Q_OS_UNIX
        if (held >= 0)
            ::close(held);
#endif
        if (!opened)
            return line.usageError(QStringLiteral("cannot write the transcript '%1'").arg(path));
        if (run->transcript)
            run->transcript->path = path;
    }
    // Which configuration runs, on stderr: stdout holds only the results.
    const Configuration& used = *runs.front()->model->configuration();
    std::fprintf(stderr, "mirdal-cli install: configuration %s, title \"%s\", SHA-256 of configuration.xml %s\n",
                 qUtf8Printable(QDir::toNativeSeparators(used.configurationPath())),
                 qUtf8Printable(used.operationTitle()), qUtf8Printable(fileSha256(used.configurationPath())));
    return -1;
}

// One terminal's scenario on its own thread, then its release frames and
// the end of its transcript.
void runTerminal(TerminalRun& run, bool several)
{
    if (several)
        logPrefix = run.name + QStringLiteral(": ");
    diagnostics::setThreadTerminal(run.name);
    run.ok = run.model->install(run.port, run.title, run.text);
    // Whatever the outcome, the terminal is told to leave its download mode.
    run.model->releasePort(run.port);
    if (run.transcript && !run.ok)
        run.transcript->writer.cause(run.model->lastFailureStage().toStdString(),
                                     run.model->lastFailureCause().toStdString());
    if (run.transcript)
        run.transcript->writer.result(run.ok, run.title.toStdString(), run.text.toStdString());
}

// Every terminal at once, the progress shown until the last one ends; true
// when an interruption came.
bool runAll(const InstallOptions& options, std::vector<std::unique_ptr<TerminalRun>>& runs)
{
    // Every terminal runs the same batches; the plan of the first stands for all.
    const double expectedSeconds = planBatches(*runs.front()->model->configuration()).seconds(options.timeScale);
    ProgressView progress(options.ports, progressMode(options.quiet), expectedSeconds);
    logView = &progress;
    diagnostics::setConsole(logAboveProgress);
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
        const PortInfo port = describePort(SystemPortProvider().availablePorts(), run.port.text);
        threads.emplace_back(
            [&run, several = runs.size() > 1, &facts, port, &options, &finished, &finishedSignal, &finishedMutex] {
                runTerminal(run, several);
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
    diagnostics::setConsole({});
    logView = nullptr;
    return interruptions.interrupted();
}

// Every terminal's result on stdout, the transcripts closed, the records
// reported and offered to the server; the status:
// interrupted, a transcript not whole, or the updates' own.
int report(const InstallOptions& options, const std::vector<std::unique_ptr<TerminalRun>>& runs, bool interrupted)
{
    bool allDone = true;
    for (const auto& run : runs) {
        if (options.json)
            printJsonResult(*run, interrupted);
        else
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
    if (interrupted && !allDone)
        return kExitInterrupted;
    if (!transcriptsWhole || !recorded)
        return kExitTranscriptIncomplete;
    return allDone ? kExitOk : kExitFailed;
}

} // namespace

int runInstall(const QStringList& args)
{
    InstallOptions options;
    std::vector<std::unique_ptr<TerminalRun>> runs;
    const int ended = prepare(args, options, runs);
    if (ended >= 0)
        return ended;
    const bool interrupted = runAll(options, runs);
    return report(options, runs, interrupted);
}
