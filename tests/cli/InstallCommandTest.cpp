// mirdal-cli install driven as a process, the way scripts and other programs
// use it: arguments, exit status, result lines on stdout, progress on stderr.
#include "CliHarness.h"
#include "SignedConfiguration.h"

#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <csignal>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

CliRun runCli(const QStringList& args)
{
    return runCli(QStringLiteral("install"), args);
}

const char* const kSuccess = "Installation réalisée avec succès\nLe terminal a été correctement mis à jour.\n";

const char* const kConfigurationError =
    "Erreur fichier de configuration\n"
    "Le fichier de configuration est manquant ou incorrect.\nVeuillez contacter votre support.\n";

const char* const kOpenError =
    "Erreur ouverture\n"
    "Le terminal sélectionné n'est pas disponible.\nVeuillez fermer toutes les applications ou contacter le support.\n"
    "cause: the port cannot be opened\n";

class InstallCommand : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir.isValid());
        folder = dir.path() + QLatin1Char('/');
    }
    void writeConfiguration(const QByteArray& content = QByteArray("content"))
    {
        ConfigurationSpec layout;
        layout.batches = {{{QStringLiteral("app.bin"), content}}};
        if (!writeSignedConfiguration(folder, layout))
            GTEST_SKIP() << "the build's signing key holds no private half";
    }

    QTemporaryDir dir;
    QString folder;
};

} // namespace

// ---------------------------------------------------------------- usage

TEST_F(InstallCommand, ArgumentsThatDoNotFitAreUsageErrors)
{
    const QStringList cases[] = {
        {},
        {QStringLiteral("--port")},
        {QStringLiteral("--config-dir"), folder},
        {QStringLiteral("--port"), QStringLiteral("/dev/null"), QStringLiteral("--bogus")},
        {QStringLiteral("--port"), QStringLiteral("/dev/null"), QStringLiteral("extra")},
        {QStringLiteral("--port"), QStringLiteral("/dev/a"), QStringLiteral("--port"), QStringLiteral("/dev/a")},
    };
    for (const QStringList& args : cases) {
        const CliRun run = runCli(args);
        EXPECT_EQ(run.exitCode, 2) << args.join(QLatin1Char(' ')).toStdString();
        EXPECT_TRUE(run.out.isEmpty());
        EXPECT_TRUE(run.err.contains(QStringLiteral("usage:")));
    }
}

TEST_F(InstallCommand, TimeScaleMustLieInZeroExcludedToOne)
{
    for (const char* scale : {"0", "-0.5", "1.01", "2", "abc", "nan", ""}) {
        const CliRun run = runCli({QStringLiteral("--port"), QStringLiteral("/dev/null"), QStringLiteral("--config-dir"),
                                folder, QStringLiteral("--time-scale"), QLatin1String(scale)});
        EXPECT_EQ(run.exitCode, 2) << scale;
    }
    // A scale inside the range gets past the arguments (to the missing configuration).
    for (const char* scale : {"1", "0.5", "1e-3"}) {
        const CliRun run = runCli({QStringLiteral("--port"), QStringLiteral("/dev/null"), QStringLiteral("--config-dir"),
                                folder, QStringLiteral("--time-scale"), QLatin1String(scale)});
        EXPECT_EQ(run.exitCode, 3) << scale;
    }
}

// ---------------------------------------------------------------- configuration

TEST_F(InstallCommand, MissingConfigurationEndsWithTheConfigurationError)
{
    const CliRun run = runCli({QStringLiteral("--port"), QStringLiteral("/dev/null"), QStringLiteral("--config-dir"), folder});
    EXPECT_EQ(run.exitCode, 3);
    EXPECT_EQ(run.out, QString::fromUtf8(kConfigurationError));
}

TEST_F(InstallCommand, ConfigurationWithAForeignSignatureIsRefused)
{
    writeConfiguration();
    QFile xml(folder + QStringLiteral("configuration.xml"));
    ASSERT_TRUE(xml.open(QIODevice::ReadWrite));
    QByteArray bytes = xml.readAll();
    // One changed byte of the signed part: the signature no longer matches.
    const int at = bytes.indexOf("Test terminal");
    ASSERT_GE(at, 0);
    bytes[at] = 'B';
    xml.seek(0);
    xml.write(bytes);
    xml.close();

    const CliRun run = runCli({QStringLiteral("--port"), QStringLiteral("/dev/null"), QStringLiteral("--config-dir"), folder});
    EXPECT_EQ(run.exitCode, 3);
    EXPECT_EQ(run.out, QString::fromUtf8(kConfigurationError));
}

// ---------------------------------------------------------------- ports

TEST_F(InstallCommand, DeviceThatDoesNotOpenFailsTheInstallation)
{
    writeConfiguration();
    const CliRun run = runCli({QStringLiteral("--port"), folder + QStringLiteral("no-such-device"),
                            QStringLiteral("--config-dir"), folder, QStringLiteral("--time-scale"), QStringLiteral("0.001")});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.out, QString::fromUtf8(kOpenError));
    // Not a terminal: one plain line per status.
    EXPECT_TRUE(run.err.contains(QString::fromUtf8("[  0%] Démarrage de l'installation\n"))) << run.err.toStdString();
    EXPECT_TRUE(run.err.contains(QString::fromUtf8("[ 10%] Tentative d'accès au terminal\n"))) << run.err.toStdString();
    EXPECT_FALSE(run.err.contains(QStringLiteral("\x1b[")));
}

// One device under two names (repeated slashes, a link to it) is one port
// given twice: refused before anything is sent.
TEST_F(InstallCommand, SameDeviceUnderTwoNamesIsAUsageError)
{
    writeConfiguration();
    Simulator sim(terminalFor(folder));
    const QString device = sim.device();
    const QString doubled = QString(device).replace(QStringLiteral("/dev/"), QStringLiteral("/dev//"));
    const QString link = folder + QStringLiteral("terminal");
    ASSERT_TRUE(QFile::link(device, link));
    const QStringList pairs[] = {{device, doubled}, {device, link}, {link, doubled}};
    for (const QStringList& pair : pairs) {
        const CliRun run = runCli({QStringLiteral("--port"), pair[0], QStringLiteral("--port"), pair[1],
                                   QStringLiteral("--config-dir"), folder, QStringLiteral("--time-scale"), QStringLiteral("0.001")});
        EXPECT_EQ(run.exitCode, 2) << pair.join(QLatin1Char(' ')).toStdString();
        EXPECT_TRUE(run.err.contains(QStringLiteral("are the same device"))) << run.err.toStdString();
        EXPECT_TRUE(run.out.isEmpty());
    }
    EXPECT_EQ(sim.stop(), 0);
    EXPECT_FALSE(sim.trace().contains(QStringLiteral("opening frame"))) << sim.trace().toStdString();
}

TEST_F(InstallCommand, LabelThatNamesNoPortFailsTheInstallation)
{
    writeConfiguration();
    const CliRun run = runCli({QStringLiteral("--port"), QStringLiteral("No such port - (ttyMIRDAL9)"),
                            QStringLiteral("--config-dir"), folder});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.out, QString::fromUtf8(kOpenError));
}

// ---------------------------------------------------------------- against the simulator

TEST_F(InstallCommand, WholeUpdateOfASimulatedTerminal)
{
    writeConfiguration();
    Simulator sim(terminalFor(folder));
    const CliRun run = runCli({QStringLiteral("--port"), sim.device(), QStringLiteral("--config-dir"), folder,
                               QStringLiteral("--time-scale"), QStringLiteral("0.001")});
    EXPECT_EQ(run.exitCode, 0) << run.out.toStdString();
    EXPECT_EQ(run.out, QString::fromUtf8(kSuccess));
    EXPECT_TRUE(run.err.endsWith(QString::fromUtf8("[100%] Installation réalisée avec succès\n"))) << run.err.toStdString();
    EXPECT_TRUE(run.err.contains(QString::fromUtf8("[ 60%] Téléchargement des fichiers en cours (1/1)\n")));

    EXPECT_EQ(sim.stop(), 0) << sim.trace().toStdString();
    const QString trace = sim.trace();
    EXPECT_TRUE(trace.contains(QStringLiteral("1 file(s) received, 0 problem(s)"))) << trace.toStdString();
    // The release frames follow the end of the dialogue.
    const int endOfSession = trace.indexOf(QStringLiteral("end of session 1"));
    ASSERT_GE(endOfSession, 0) << trace.toStdString();
    EXPECT_GT(trace.indexOf(QStringLiteral("first release frame"), endOfSession), endOfSession);
    EXPECT_GT(trace.indexOf(QStringLiteral("second release frame"), endOfSession), endOfSession);
}

// The engine's log lines, information and debug alike, only with --verbose.
TEST_F(InstallCommand, EngineLogLinesOnlyWhenVerbose)
{
    writeConfiguration();
    const QStringList common{QStringLiteral("--config-dir"), folder, QStringLiteral("--time-scale"),
                             QStringLiteral("0.001")};
    const QString logLines[] = {QStringLiteral("Configuration::load searching in "),
                                QStringLiteral("Model::sendInfo advertise file APP.BIN"), QStringLiteral("START 0\n")};
    Simulator quiet(terminalFor(folder) << QStringLiteral("--quiet"));
    const CliRun plain = runCli(QStringList{QStringLiteral("--port"), quiet.device()} + common);
    EXPECT_EQ(plain.exitCode, 0);
    EXPECT_EQ(quiet.stop(), 0);

    Simulator chatty(terminalFor(folder) << QStringLiteral("--quiet"));
    const CliRun verbose =
        runCli(QStringList{QStringLiteral("--port"), chatty.device(), QStringLiteral("--verbose")} + common);
    EXPECT_EQ(verbose.exitCode, 0);
    EXPECT_EQ(chatty.stop(), 0);
    for (const QString& line : logLines) {
        EXPECT_FALSE(plain.err.contains(line)) << plain.err.toStdString();
        EXPECT_TRUE(verbose.err.contains(line)) << verbose.err.toStdString();
    }
}

TEST_F(InstallCommand, RefusalOfTheTerminalIsTheResult)
{
    writeConfiguration();
    Simulator sim(terminalFor(folder) << QStringLiteral("--refuse-authorization") << QStringLiteral("--quiet"));
    const CliRun run = runCli({QStringLiteral("--port"), sim.device(), QStringLiteral("--config-dir"), folder,
                               QStringLiteral("--time-scale"), QStringLiteral("0.001")});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.out, QString::fromUtf8("Erreur autorisation\n"
                                         "Le fichier : APP.BIN n'est pas autorisé sur le terminal.\n"
                                         "Veuillez contacter le support.\n"
                                         "cause: refused by the terminal (answer 03 01 00)\n"));
    EXPECT_EQ(sim.stop(), 0);
}

// A line that goes wrong names its cause under the French result: a
// terminal gone during a download is met again at the file's next
// advertisement, which says the file cannot be read.
TEST_F(InstallCommand, CauseOfTheFailureFollowsTheResult)
{
    writeConfiguration();
    const struct {
        const char* fault;
        const char* title;
        const char* cause;
    } cases[] = {
        {"block:vanish", "Erreur Information", "write failed (the device may be gone)"},
        {"advertise:bad-crc", "Erreur Information", "wrong CRC"},
        {"activate:silent", "Erreur Activation", "no answer within 1000 ms (0 bytes)"},
    };
    for (const auto& test : cases) {
        Simulator sim(terminalFor(folder) << QStringLiteral("--quiet") << QStringLiteral("--fault") << QLatin1String(test.fault));
        const CliRun run = runCli({QStringLiteral("--port"), sim.device(), QStringLiteral("--config-dir"), folder,
                                   QStringLiteral("--time-scale"), QStringLiteral("0.001")});
        EXPECT_EQ(run.exitCode, 1) << test.fault;
        const QStringList lines = run.out.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        ASSERT_GE(lines.size(), 2) << test.fault;
        EXPECT_EQ(lines.first(), QLatin1String(test.title)) << run.out.toStdString();
        EXPECT_EQ(lines.last(), QStringLiteral("cause: ") + QLatin1String(test.cause)) << run.out.toStdString();
        sim.stop();
    }
}

TEST_F(InstallCommand, SeveralTerminalsAreUpdatedTogether)
{
    writeConfiguration();
    Simulator good(terminalFor(folder) << QStringLiteral("--quiet"));
    Simulator alsoGood(terminalFor(folder) << QStringLiteral("--quiet"));
    const QStringList common = {QStringLiteral("--config-dir"), folder, QStringLiteral("--time-scale"), QStringLiteral("0.001")};

    const CliRun both = runCli(QStringList{QStringLiteral("--port"), good.device(), QStringLiteral("--port"),
                                           alsoGood.device()} + common);
    EXPECT_EQ(both.exitCode, 0) << both.out.toStdString();
    EXPECT_EQ(both.out, good.device() + QLatin1Char('\n') + QString::fromUtf8(kSuccess) + alsoGood.device()
                            + QLatin1Char('\n') + QString::fromUtf8(kSuccess));
    // Each plain progress line names its terminal.
    EXPECT_TRUE(both.err.contains(good.device() + QString::fromUtf8(": [100%] Installation réalisée avec succès\n")));
    EXPECT_TRUE(both.err.contains(alsoGood.device() + QString::fromUtf8(": [100%] Installation réalisée avec succès\n")));

    Simulator refusing(terminalFor(folder) << QStringLiteral("--refuse-varlenne") << QStringLiteral("--quiet"));
    const CliRun one = runCli(QStringList{QStringLiteral("--port"), good.device(), QStringLiteral("--port"),
                                          refusing.device()} + common);
    EXPECT_EQ(one.exitCode, 1);
    EXPECT_TRUE(one.out.startsWith(good.device() + QLatin1Char('\n') + QString::fromUtf8(kSuccess)));
    EXPECT_TRUE(one.out.endsWith(refusing.device() + QString::fromUtf8("\nErreur varlenne\n"
                                                                       "L'application \"Varlenne\" n'est pas installée sur le terminal.\n\n"
                                                                       "cause: refused by the terminal (answer 2F 40 02 01 81)\n")));
    EXPECT_EQ(good.stop(), 0);
    EXPECT_EQ(alsoGood.stop(), 0);
}

// ---------------------------------------------------------------- interruptions and lost output

namespace {

// mirdal-cli install with its standard output and error going nowhere: into
// a pipe that nobody reads any more, or closed. Its wait status.
int runWithoutOutput(const QStringList& args, bool closed)
{
    std::vector<QByteArray> words{QByteArray(MIRDAL_CLI), QByteArray("install")};
    for (const QString& arg : args)
        words.push_back(arg.toLocal8Bit());
    std::vector<char*> argv;
    for (QByteArray& word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);
    int ends[2];
    if (pipe(ends) != 0)
        return -1;
    close(ends[0]);
    const pid_t child = fork();
    if (child == 0) {
        signal(SIGPIPE, SIG_DFL);   // as a shell leaves it
        if (closed) {
            close(STDOUT_FILENO);
            close(STDERR_FILENO);
        } else {
            dup2(ends[1], STDOUT_FILENO);
            dup2(ends[1], STDERR_FILENO);
        }
        close(ends[1]);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(ends[1]);
    int status = -1;
    waitpid(child, &status, 0);
    return status;
}

} // namespace

// Ctrl-C, SIGTERM or SIGHUP during the download: the update stops at its next
// exchange with the download's result, ends the dialogue, sends the release
// frames and ends with status 130.
TEST_F(InstallCommand, InterruptionEndsTheUpdateThroughItsCleanUp)
{
    writeConfiguration(QByteArray(12000, 'x'));
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
        Simulator sim(terminalFor(folder) << QStringLiteral("--baud") << QStringLiteral("9600"));
        QProcess cli;
        cli.start(QStringLiteral(MIRDAL_CLI), {QStringLiteral("install"), QStringLiteral("--port"), sim.device(),
                                               QStringLiteral("--config-dir"), folder, QStringLiteral("--time-scale"),
                                               QStringLiteral("0.001")});
        ASSERT_TRUE(sim.waitForTrace(QStringLiteral("block 3 "), 30000)) << sim.trace().toStdString();
        ::kill(static_cast<pid_t>(cli.processId()), signal);
        ASSERT_TRUE(cli.waitForFinished(30000));
        const QString err = QString::fromUtf8(cli.readAllStandardError());
        EXPECT_EQ(cli.exitStatus(), QProcess::NormalExit) << signal;
        EXPECT_EQ(cli.exitCode(), 130) << err.toStdString();
        EXPECT_EQ(QString::fromUtf8(cli.readAllStandardOutput()),
                  QString::fromUtf8("Erreur chargement\nLe fichier : APP.BIN ne peut pas être chargé dans le terminal.\n"
                                    "Veuillez contacter le support.\ncause: stopped on request\n"));
        EXPECT_TRUE(err.contains(QStringLiteral("interrupted: the update stops at its next exchange"))) << err.toStdString();
        EXPECT_NE(sim.stop(), -1);
        const QString trace = sim.trace();
        const int end = trace.indexOf(QStringLiteral("end of session 1"));
        EXPECT_GE(end, 0) << trace.toStdString();
        EXPECT_GT(trace.indexOf(QStringLiteral("second release frame"), end), end) << trace.toStdString();
        EXPECT_EQ(trace.indexOf(QStringLiteral("block 90 ")), -1) << "the download went on";
    }
}

// Nobody reads the output (`install ... 2>&1 | head -c 0`), or it is closed:
// the update goes on to its end and the release frames all the same.
TEST_F(InstallCommand, UpdateGoesOnWhenItsOutputGoesNowhere)
{
    writeConfiguration();
    for (const bool closed : {false, true}) {
        Simulator sim(terminalFor(folder));
        const int status = runWithoutOutput({QStringLiteral("--port"), sim.device(), QStringLiteral("--config-dir"), folder,
                                             QStringLiteral("--time-scale"), QStringLiteral("0.001")},
                                            closed);
        EXPECT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
        EXPECT_EQ(WEXITSTATUS(status), 0);
        EXPECT_EQ(sim.stop(), 0);
        EXPECT_TRUE(sim.trace().contains(QStringLiteral("1 file(s) received, 0 problem(s)"))) << sim.trace().toStdString();
        EXPECT_TRUE(sim.trace().contains(QStringLiteral("second release frame"))) << sim.trace().toStdString();
    }
}
