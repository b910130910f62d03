// mirdal-cli check: the pre-flight check of a configuration folder, before it
// is shipped or used. It reads what an installation reads, the way it reads
// it, touches no port, and says what the installation would do: the files it
// sends and those it would skip, what would stop it, and how long it takes
// at 9600 baud. Problems come one a line: "error: " when the installation
// would not go through, "warning: " when it would but not as the author may
// think.
#include "commands.h"

#include "../protocol/commands.h"   // CommandSet: the name clashes with ours
#include "Configuration.h"
#include "FileName.h"
#include "Model.h"
#include "container.h"
#include "frames.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cstdio>
#include <vector>

namespace {

const char* const kUsage =
    "usage: mirdal-cli check [--config-dir DIR]\n"
    "  DIR  configuration directory (default: \"configuration\" beside the program)\n";

// The line: 9600 baud, 10 bits a byte (start, 8 data, stop).
constexpr double kBytesPerSecond = 9600.0 / 10.0;

// The three command exchanges before a download (advertisement,
// authorization, start), each a request and an answer.
constexpr int kExchangesBeforeDownload = 3;

struct Problems {
    QStringList errors;
    QStringList warnings;
    bool refused = false;   // the program would not load the configuration at all

    void error(const QString& text) { errors.append(text); }
    void refusal(const QString& text)
    {
        errors.append(text);
        refused = true;
    }
    void warning(const QString& text) { warnings.append(text); }
};

// What the installation takes, without the application list (unknown here).
struct Estimate {
    qint64 wireBytes = 0;
    qint64 fixedMs = 0;
    double seconds() const { return static_cast<double>(wireBytes) / kBytesPerSecond + static_cast<double>(fixedMs) / 1000.0; }
};

void say(const QString& line)
{
    std::printf("%s\n", line.toUtf8().constData());
}

QString plural(qint64 count, const char* one, const char* many)
{
    return QStringLiteral("%1 %2").arg(count).arg(QLatin1String(count == 1 ? one : many));
}

// "7.3 s", "2 min 7.1 s".
QString duration(double seconds)
{
    const qint64 tenths = qRound64(seconds * 10.0);
    const QString rest = QStringLiteral("%1.%2 s").arg(tenths / 10 % 60).arg(tenths % 10);
    return tenths >= 600 ? QStringLiteral("%1 min %2").arg(tenths / 600).arg(rest) : rest;
}

// A name as the configuration writes it; quoted, with its line breaks
// shown, when white space around it would otherwise go unseen.
QString shown(const QString& name)
{
    if (name == name.trimmed() && !name.isEmpty())
        return name;
    QString escaped = name;
    escaped.replace(QLatin1Char('\n'), QLatin1String("\\n")).replace(QLatin1Char('\t'), QLatin1String("\\t"));
    return QLatin1Char('"') + escaped + QLatin1Char('"');
}

class Check {
public:
    explicit Check(Configuration& configuration) : configuration_(configuration) {}

    bool signature();
    void outsideNames();
    void terminal();
    void hardware();
    void batches();
    int verdict() const;

private:
    void batch(int number, const Batch& batch);
    void file(int number, const Application& application);
    void estimateBatch();
    QString nameOf(const QString& path) const;
    QString hardwareId(const HTerminal& entry) const;

    Configuration& configuration_;
    Problems problems_;
    Estimate estimate_;
    int files_ = 0;
};

QString Check::nameOf(const QString& path) const
{
    const QString folder = configuration_.directory();
    return shown(path.startsWith(folder) ? path.mid(folder.size()) : path);
}

bool Check::signature()
{
    if (!configuration_.xmlError.isEmpty())
        problems_.warning(QStringLiteral("configuration.xml is not well-formed XML (%1): what follows is not read")
                              .arg(configuration_.xmlError));
    if (configuration_.checkSignature()) {
        say(QStringLiteral("Signature: valid"));
        return true;
    }
    say(QStringLiteral("Signature: does not match"));
    problems_.refusal(QStringLiteral("the signature does not match configuration.xml: the program refuses it"));
    return false;
}

void Check::outsideNames()
{
    problems_.refusal(QStringLiteral("configuration.xml names a file outside its folder: the program refuses it"));
}

void Check::terminal()
{
    const Terminal& terminal = *configuration_.terminal;
    const int restartMs = std::max(terminal.delayReboot, Model::kMinimumRestartWaitMs);
    say(QStringLiteral("Terminal: %1, restart wait %2").arg(shown(terminal.name), duration(restartMs / 1000.0)));
    if (terminal.image.isEmpty()) {
        problems_.warning(QStringLiteral("no terminal picture is named: the window shows none"));
        return;
    }
    const bool present = QFileInfo(terminal.image).isFile();
    say(QStringLiteral("Picture: %1%2").arg(nameOf(terminal.image), present ? QString() : QStringLiteral(" (missing)")));
    if (!present)
        problems_.warning(QStringLiteral("the terminal picture %1 is missing: the window shows none").arg(nameOf(terminal.image)));
}

// The three bytes that a terminal's record must carry, in hexadecimal, and
// as text when they read as such.
QString Check::hardwareId(const HTerminal& entry) const
{
    const HardwareId id = entry.hardwareId();
    QString hex;
    QString text;
    for (size_t i = 0; i < id.size(); ++i) {
        hex += QString::asprintf(i == 0 ? "%02X" : " %02X", id[i]);
        text += id[i] >= 0x20 && id[i] < 0x7F ? QChar(id[i]) : QChar();
    }
    return text.size() == kHardwareIdSize && !text.contains(QChar()) ? QStringLiteral("%1 \"%2\"").arg(hex, text) : hex;
}

void Check::hardware()
{
    for (const QString& path : configuration_.htermFiles) {
        HTerminal entry;
        const QString problem = readHardwareRecord(path, entry.data);
        if (problem.isEmpty()) {
            say(QStringLiteral("Accepted hardware: %1, identification %2").arg(nameOf(path), hardwareId(entry)));
        } else {
            say(QStringLiteral("Accepted hardware: %1 (%2)").arg(nameOf(path), problem));
            problems_.error(QStringLiteral("hardware configuration %1: %2").arg(nameOf(path), problem));
        }
    }
    if (configuration_.hterminals().isEmpty())
        problems_.error(QStringLiteral("no hardware configuration can be read: every terminal would be refused"));
}

void Check::batches()
{
    const QList<Batch*> batches = configuration_.batches();
    if (batches.isEmpty()) {
        problems_.error(QStringLiteral("no batch: the installation has nothing to do and stops at once"));
        return;
    }
    for (int i = 0; i < batches.size(); ++i)
        batch(i + 1, *batches[i]);

    say(QStringLiteral("Expected duration at 9600 baud: %1 (%2 on the line, %3 of fixed waits)")
            .arg(duration(estimate_.seconds()), duration(static_cast<double>(estimate_.wireBytes) / kBytesPerSecond),
                 duration(static_cast<double>(estimate_.fixedMs) / 1000.0)));
    // Each name the terminal lists costs an answer and a pause, in every batch.
    const double perName = kCommandFrameSize / kBytesPerSecond * 1000.0 + kListPacingMs;
    say(QStringLiteral("  plus %1 ms per application installed on the terminal (a %2 ms pause and a %3-byte answer), "
                       "in each batch: the terminal's list is not known before it is read")
            .arg(qRound(perName))
            .arg(kListPacingMs)
            .arg(kCommandFrameSize));
}

void Check::batch(int number, const Batch& batch)
{
    say(QStringLiteral("Batch %1 (id %2): %3").arg(number).arg(batch.id).arg(plural(batch.applications.size(), "file", "files")));
    if (batch.applications.isEmpty())
        problems_.warning(QStringLiteral("batch %1 (id %2) has no file: the terminal is opened, activated and "
                                         "restarted for nothing")
                              .arg(number)
                              .arg(batch.id));
    for (const Application* application : batch.applications)
        file(number, *application);
    estimateBatch();
}

void Check::file(int number, const Application& application)
{
    const QString name = nameOf(application.file);
    QFile file(application.file);
    if (!QFileInfo(application.file).isFile() || !file.open(QIODevice::ReadOnly)) {
        say(QStringLiteral("  %1: missing").arg(name));
        problems_.error(QStringLiteral("batch %1: %2 is missing or cannot be read").arg(number).arg(name));
        return;
    }
    const QByteArray bytes = file.readAll();
    ContainerView view;
    const ContainerError framing = parseContainer(reinterpret_cast<const uint8_t*>(bytes.constData()),
                                                  static_cast<size_t>(bytes.size()), view);
    if (framing != ContainerError::None) {
        say(QStringLiteral("  %1: not a container").arg(name));
        problems_.error(QStringLiteral("batch %1: %2 is not a well-formed container (%3)")
                            .arg(number)
                            .arg(name, QLatin1String(containerErrorText(framing))));
        return;
    }

    const uint32_t length = view.plainLength;
    const int blocks = static_cast<int>((length + kMaxBlockPayload - 1) / kMaxBlockPayload);
    // The advertisement carries the length field and the upper-case name in
    // one command frame; a file whose text does not fit is skipped, silently.
    const CommandSet::Advertisement advertisement = CommandSet::advertisementText(advertisedName(application.file), length);
    if (advertisement.skipped()) {
        say(QStringLiteral("  %1: %2, skipped").arg(name, plural(length, "byte", "bytes")));
        problems_.warning(QStringLiteral("batch %1: %2 cannot be advertised (%3): the installation skips it")
                              .arg(number)
                              .arg(name, QString::fromStdString(advertisement.skipReason)));
        return;
    }
    say(QStringLiteral("  %1: %2, %3").arg(name, plural(length, "byte", "bytes"), plural(blocks, "block", "blocks")));
    ++files_;
    estimate_.wireBytes += kExchangesBeforeDownload * 2 * kCommandFrameSize + blocks * (kBlockFrameSize + kCommandFrameSize)
                           + kCommandFrameSize;   // the final confirmation
    estimate_.fixedMs += kExchangesBeforeDownload * kSettleMs;
}

// One batch on the line, the files aside: opening and Varlenne start (their
// answers are the terminal's choice and not counted), hardware record, the
// end of the application list, activation and end of the dialogue; and the
// fixed waits around them, the terminal's restart last.
void Check::estimateBatch()
{
    const qint64 slashFrames = static_cast<qint64>(kOpeningFrame.size() + kVarlenneStartFrame.size());
    const qint64 hardwareRecord = kCommandFrameSize + kBlockFrameSize;
    const qint64 listEnd = 2 * kCommandFrameSize;
    const qint64 activationAndRelease = 2 * 2 * kCommandFrameSize;
    estimate_.wireBytes += slashFrames + hardwareRecord + listEnd + activationAndRelease;
    estimate_.fixedMs += kHardwareSettleMs + kShortSettleMs + kActivationPauseMs + kShortSettleMs +
                         std::max(configuration_.terminalDelayReboot(), Model::kMinimumRestartWaitMs);
}

int Check::verdict() const
{
    for (const QString& warning : problems_.warnings)
        say(QStringLiteral("warning: ") + warning);
    for (const QString& error : problems_.errors)
        say(QStringLiteral("error: ") + error);
    const QString warnings = plural(problems_.warnings.size(), "warning", "warnings");
    if (problems_.errors.isEmpty()) {
        say(QStringLiteral("Ready to install: %1 in %2, %3")
                .arg(plural(files_, "file", "files"), plural(configuration_.batches().size(), "batch", "batches"), warnings));
        return kExitOk;
    }
    say(QStringLiteral("Not ready: %1, %2").arg(plural(problems_.errors.size(), "error", "errors"), warnings));
    return problems_.refused ? kExitConfiguration : kExitFailed;
}

// Fills `directory`; an empty result means the arguments were understood.
QString parseArguments(const QStringList& args, QString& directory)
{
    if (args.isEmpty())
        return {};
    if (args[0] != QLatin1String("--config-dir"))
        return QStringLiteral("unknown argument '%1'").arg(args[0]);
    if (args.size() < 2 || args[1].isEmpty())
        return QStringLiteral("--config-dir needs a value");
    if (args.size() > 2)
        return QStringLiteral("unknown argument '%1'").arg(args[2]);
    directory = args[1];
    return {};
}

} // namespace

int runCheck(const QStringList& args)
{
    QString directory = defaultConfigurationDirectory();
    const QString problem = parseArguments(args, directory);
    if (!problem.isEmpty()) {
        std::fprintf(stderr, "mirdal-cli check: %s\n%s", qPrintable(problem), kUsage);
        return kExitUsage;
    }

    Configuration configuration;
    configuration.setDirectory(QDir(directory).absolutePath());
    say(QStringLiteral("Configuration: %1").arg(QDir::toNativeSeparators(configuration.configurationPath())));
    if (!QFileInfo(configuration.configurationPath()).isFile() || !QFileInfo(configuration.configurationPath()).isReadable()) {
        say(QStringLiteral("error: configuration.xml is missing or cannot be read"));
        return kExitConfiguration;
    }

    Check check(configuration);
    const bool loaded = configuration.load();
    if (!loaded && !configuration.fileError.isEmpty()) {
        say(QStringLiteral("error: configuration.xml is missing or cannot be read (%1)").arg(configuration.fileError));
        return kExitConfiguration;
    }
    const bool signedAsRead = check.signature();
    if (!loaded)
        check.outsideNames();
    // Like the program, the check reads nothing that an unsigned
    // configuration names: it would refuse it anyway.
    if (signedAsRead) {
        check.terminal();
        check.hardware();
        check.batches();
    }
    return check.verdict();
}
