// mirdal-cli check: the pre-flight check of a configuration folder, before it
// is shipped or used. It reads what an installation reads, the way it reads
// it, touches no port, and says what the installation would do: the files it
// sends and those it would skip, what would stop it, and how long it takes
// at 9600 baud. Problems come one a line: "error: " when the installation
// would not go through, "warning: " when it would but not as the author may
// think.
#include "cli/Subcommands.h"

#include "engine/BatchPlan.h"
#include "engine/FileName.h"
#include "cli/Authoring.h"
#include "cli/CommandLine.h"
#include "config/Signature.h"
#include "config/Configuration.h"
#include "engine/Model.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <cstdio>
#include <vector>

namespace {

const CommandHelp kHelp = {
    "check",
    "Checks a configuration folder as an installation would read it, touching no\n"
    "port: the signature, the terminal, the accepted hardware, every batch and file,\n"
    "and the expected duration at 9600 baud. Each problem is one line on stdout,\n"
    "\"warning: \" when it would still install, \"error: \" when it would not.\n"
    "With --json, stdout holds the findings as one JSON object on one line instead\n"
    "(see mirdal-cli(1), JSON RESULTS).\n",
    "",
    "  0  ready to install\n"
    "  1  the folder has errors\n"
    "  2  usage error\n"
    "  3  the configuration is missing or the program refuses it\n",
};

struct Problems {
    QStringList errors;
    QStringList warnings;
    bool refused = false; // the program would not load the configuration at all

    void error(const QString& text) { errors.append(text); }
    void refusal(const QString& text)
    {
        errors.append(text);
        refused = true;
    }
    void warning(const QString& text) { warnings.append(text); }
};

// With --json, the findings as one object, the lines for people unsaid.
QJsonObject* findings = nullptr;

void say(const QString& line)
{
    if (!findings)
        std::printf("%s\n", line.toUtf8().constData());
}

// A refusal before anything is read: its line, or its object.
int refuse(const QString& error)
{
    if (findings) {
        (*findings)[QStringLiteral("ready")] = false;
        (*findings)[QStringLiteral("errors")] = QJsonArray{error};
        std::printf("%s\n", QJsonDocument(*findings).toJson(QJsonDocument::Compact).constData());
    }
    say(QStringLiteral("error: ") + error);
    return kExitConfiguration;
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
    void refused();
    void outsideNames();
    void terminal();
    void hardware();
    void batches();
    int verdict() const;

private:
    void batch(int number, const PlannedBatch& batch);
    void file(int number, const PlannedFile& file);
    QString nameOf(const QString& path) const;
    QString hardwareId(const HTerminal& entry) const;

    Configuration& configuration_;
    Problems problems_;
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
    const bool valid = configuration_.checkSignature();
    if (findings) {
        (*findings)[QStringLiteral("signature")] = valid ? QStringLiteral("valid") : QStringLiteral("does not match");
        (*findings)[QStringLiteral("developmentKey")] = trustsDevelopmentKey();
    }
    if (valid) {
        say(QStringLiteral("Signature: valid"));
        if (trustsDevelopmentKey())
            say(QString::fromUtf8(kDevelopmentKeyNotice));
        return true;
    }
    say(QStringLiteral("Signature: does not match"));
    problems_.refusal(QStringLiteral("the signature does not match configuration.xml: the program refuses it"));
    return false;
}

void Check::refused()
{
    problems_.refusal(QStringLiteral("configuration.xml %1: the program refuses it").arg(configuration_.refusal));
}

// A signed file uses such names as written; they may still be a mistake.
void Check::outsideNames()
{
    for (const QString& name : configuration_.outsideNames)
        problems_.warning(
            QStringLiteral("%1 is outside the configuration folder: it is used as written").arg(shown(name)));
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
    say(QStringLiteral("Picture: %1%2")
            .arg(nameOf(terminal.image), present ? QString() : QStringLiteral(" (missing)")));
    if (!present)
        problems_.warning(
            QStringLiteral("the terminal picture %1 is missing: the window shows none").arg(nameOf(terminal.image)));
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
    return text.size() == static_cast<int>(id.size()) && !text.contains(QChar())
               ? QStringLiteral("%1 \"%2\"").arg(hex, text)
               : hex;
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
    const BatchPlan plan = planBatches(configuration_);
    if (plan.batches.isEmpty()) {
        problems_.error(QStringLiteral("no batch: the installation has nothing to do and stops at once"));
        return;
    }
    for (int i = 0; i < plan.batches.size(); ++i)
        batch(i + 1, plan.batches[i]);
    files_ = plan.sent;
    if (findings) {
        QJsonArray batches;
        for (const PlannedBatch& batch : plan.batches) {
            QJsonArray files;
            for (const PlannedFile& file : batch.files) {
                static const char* const kStates[] = {"sent", "missing", "not a container", "skipped"};
                files.append(QJsonObject{{"name", nameOf(file.path)},
                                         {"state", kStates[static_cast<int>(file.state)]},
                                         {"bytes", static_cast<qint64>(file.length)},
                                         {"blocks", file.blocks}});
            }
            batches.append(QJsonObject{{"id", batch.id}, {"files", files}});
        }
        (*findings)[QStringLiteral("batches")] = batches;
        (*findings)[QStringLiteral("expectedSeconds")] = plan.seconds();
    }

    say(QStringLiteral("Expected duration at 9600 baud: %1 (%2 on the line, %3 of fixed waits)")
            .arg(duration(plan.seconds()), duration(plan.wireSeconds()),
                 duration(static_cast<double>(plan.fixedMs) / 1000.0)));
    // Each name the terminal lists costs an answer and a pause, in every batch.
    say(QStringLiteral("  plus %1 ms per application installed on the terminal (a %2 ms pause and a %3-byte answer), "
                       "in each batch: the terminal's list is not known before it is read")
            .arg(qRound(BatchPlan::perListedApplicationMs()))
            .arg(BatchPlan::listPacingMs())
            .arg(BatchPlan::listAnswerBytes()));
}

void Check::batch(int number, const PlannedBatch& batch)
{
    say(QStringLiteral("Batch %1 (id %2): %3")
            .arg(number)
            .arg(batch.id)
            .arg(plural(batch.files.size(), "file", "files")));
    if (batch.files.isEmpty())
        problems_.warning(QStringLiteral("batch %1 (id %2) has no file: the terminal is opened, activated and "
                                         "restarted for nothing")
                              .arg(number)
                              .arg(batch.id));
    for (const PlannedFile& file : batch.files)
        this->file(number, file);
}

void Check::file(int number, const PlannedFile& file)
{
    const QString name = nameOf(file.path);
    if (!advertisable(file.path) && file.state != PlannedFile::State::Missing)
        problems_.error(QStringLiteral("batch %1: the name %2 has characters outside Latin-1: the terminal cannot "
                                       "receive it, and its advertisement fails")
                            .arg(number)
                            .arg(name));
    switch (file.state) {
    case PlannedFile::State::Missing:
        say(QStringLiteral("  %1: missing").arg(name));
        problems_.error(QStringLiteral("batch %1: %2 is missing or cannot be read").arg(number).arg(name));
        return;
    case PlannedFile::State::NotContainer:
        say(QStringLiteral("  %1: not a container").arg(name));
        problems_.error(QStringLiteral("batch %1: %2 is not a well-formed container (%3)")
                            .arg(number)
                            .arg(name, file.framingProblem));
        return;
    case PlannedFile::State::Skipped:
        say(QStringLiteral("  %1: %2, skipped").arg(name, plural(file.length, "byte", "bytes")));
        problems_.warning(QStringLiteral("batch %1: %2 cannot be advertised (%3): the installation skips it")
                              .arg(number)
                              .arg(name, file.skipReason));
        return;
    case PlannedFile::State::Sent:
        say(QStringLiteral("  %1: %2, %3")
                .arg(name, plural(file.length, "byte", "bytes"), plural(file.blocks, "block", "blocks")));
        return;
    }
}

int Check::verdict() const
{
    for (const QString& warning : problems_.warnings)
        say(QStringLiteral("warning: ") + warning);
    for (const QString& error : problems_.errors)
        say(QStringLiteral("error: ") + error);
    if (findings) {
        (*findings)[QStringLiteral("ready")] = problems_.errors.isEmpty();
        (*findings)[QStringLiteral("errors")] = QJsonArray::fromStringList(problems_.errors);
        (*findings)[QStringLiteral("warnings")] = QJsonArray::fromStringList(problems_.warnings);
        std::printf("%s\n", QJsonDocument(*findings).toJson(QJsonDocument::Compact).constData());
    }
    const QString warnings = plural(problems_.warnings.size(), "warning", "warnings");
    if (problems_.errors.isEmpty()) {
        say(QStringLiteral("Ready to install: %1 in %2, %3")
                .arg(plural(files_, "file", "files"), plural(configuration_.batches().size(), "batch", "batches"),
                     warnings));
        return kExitOk;
    }
    say(QStringLiteral("Not ready: %1, %2").arg(plural(problems_.errors.size(), "error", "errors"), warnings));
    return problems_.refused ? kExitConfiguration : kExitFailed;
}

} // namespace

int runCheck(const QStringList& args)
{
    CommandLine line(kHelp);
    const int ended = line.parse(args);
    if (ended >= 0)
        return ended;
    const QString directory = line.configDir();

    Configuration configuration;
    configuration.setDirectory(QDir(directory).absolutePath());
    QJsonObject object{{"configuration", QDir::toNativeSeparators(configuration.configurationPath())}};
    if (line.isSet(QStringLiteral("json")))
        findings = &object;
    say(QStringLiteral("Configuration: %1").arg(QDir::toNativeSeparators(configuration.configurationPath())));
    if (!QFileInfo(configuration.configurationPath()).isFile() ||
        !QFileInfo(configuration.configurationPath()).isReadable())
        return refuse(QStringLiteral("configuration.xml is missing or cannot be read"));

    // Which configuration this is, whoever installed or replaced it: a site's own survives the package's upgrades.
    const QString sha256 = fileSha256(configuration.configurationPath());
    say(QStringLiteral("SHA-256 of configuration.xml: %1").arg(sha256));
    object[QStringLiteral("sha256")] = sha256;
    Check check(configuration);
    const bool loaded = configuration.load();
    if (loaded) {
        say(QStringLiteral("Title: %1").arg(configuration.operationTitle()));
        object[QStringLiteral("title")] = configuration.operationTitle();
    }
    if (!loaded && !configuration.fileError.isEmpty())
        return refuse(
            QStringLiteral("configuration.xml is missing or cannot be read (%1)").arg(configuration.fileError));
    const bool signedAsRead = check.signature();
    if (!loaded)
        check.refused();
    // Like the program, the check reads nothing that an unsigned or refused
    // configuration names.
    if (signedAsRead && loaded) {
        check.outsideNames();
        check.terminal();
        check.hardware();
        check.batches();
    }
    return check.verdict();
}
