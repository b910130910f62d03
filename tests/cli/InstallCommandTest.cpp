// mirdal-cli install driven as a process, the way scripts and other programs
// use it: arguments, exit status, result lines on stdout, progress on stderr.
#include "tests/cli/CliHarness.h"
#include "cli/DefaultPort.h"
#include "tests/support/SignedConfiguration.h"

#include <QFile>
#include <QProcessEnvironment>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

CliRun runCli(const QStringList& args)
{
    return runCli(QStringLiteral("install"), args);
}

constexpr int kUsageStatus = 2;

const char* const kSuccess = "Installation réalisée avec succès\nLe terminal a été correctement mis à jour.\n";

const char* const kConfigurationError =
    "Erreur fichier de configuration\n"
    "Le fichier de configuration est manquant ou incorrect.\nVeuillez contacter votre support.\n";

const char* const kOpenError =
    "Erreur ouverture\n"
    "Le terminal sélectionné n'est pas disponible.\nVeuillez fermer toutes les applications ou contacter le support.\n";

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
        const CliRun run =
            runCli({QStringLiteral("--port"), QStringLiteral("/dev/null"), QStringLiteral("--config-dir"), folder,
                    QStringLiteral("--time-scale"), QLatin1String(scale)});
        EXPECT_EQ(run.exitCode, 2) << scale;
    }
    // A scale inside the range gets past the arguments (to the missing configuration).
    for (const char* scale : {"1", "0.5", "1e-3"}) {
        const CliRun run =
            runCli({QStringLiteral("--port"), QStringLiteral("/dev/null"), QStringLiteral("--config-dir"), folder,
                    QStringLiteral("--time-scale"), QLatin1String(scale)});
        EXPECT_EQ(run.exitCode, 3) << scale;
    }
}

// Every command reads its arguments alike: help on stdout with status 0,
// --opt=value, and a usage error in one line on stderr pointing to --help.
TEST_F(InstallCommand, EveryCommandFollowsTheSameConventions)
{
    struct Case {
        QStringList args;
        int status;
        const char* out; // a pattern that stdout matches; on stderr when the status is 2
    };
    const Case cases[] = {
        {{QStringLiteral("--help")}, 0, "^usage: mirdal-cli COMMAND"},
        {{QStringLiteral("help")}, 0, "^usage: mirdal-cli COMMAND"},
        {{QStringLiteral("--version")},
         0,
         "^mirdal-cli 2\\.0\\.3\ntrusted signing key: RSA-2048, SHA-256 ([0-9A-F]{2}:){31}[0-9A-F]{2}\n$"},
        {{QStringLiteral("install"), QStringLiteral("--help")},
         0,
         "^usage: mirdal-cli install .*Exit status:.*130  interrupted"},
        {{QStringLiteral("help"), QStringLiteral("install")}, 0, "^usage: mirdal-cli install .*Exit status:"},
        {{QStringLiteral("check"), QStringLiteral("-h")}, 0, "^usage: mirdal-cli check .*Exit status:"},
        {{QStringLiteral("sign"), QStringLiteral("--help")}, 0, "^usage: mirdal-cli sign .*Exit status:"},
        {{QStringLiteral("pack"), QStringLiteral("--help")}, 0, "^usage: mirdal-cli pack .*Exit status:"},
        {{QStringLiteral("ports"), QStringLiteral("--help")}, 0, "^usage: mirdal-cli ports.*Exit status:"},
        {{QStringLiteral("install"), QStringLiteral("--port=/dev/null"), QStringLiteral("--config-dir=") + folder},
         3,
         "^Erreur fichier"},
        {{QStringLiteral("check"), QStringLiteral("--config-dir=") + folder}, 3, "error: configuration.xml is missing"},
        {{QStringLiteral("frob")}, 2, "^mirdal-cli: unknown command 'frob' \\(see 'mirdal-cli --help'\\)\n$"},
        {{QStringLiteral("--frob")}, 2, "^mirdal-cli: unknown option '--frob' \\(see 'mirdal-cli --help'\\)\n$"},
        {{QStringLiteral("help"), QStringLiteral("frob")}, 2, "^mirdal-cli: [^\n]*--help[^\n]*\n$"},
        {{QStringLiteral("install"), QStringLiteral("--frob=1")},
         2,
         "^mirdal-cli install: unknown option '--frob' \\(usage: [^\n]*'mirdal-cli install --help'\\)\n$"},
        {{QStringLiteral("install"), QStringLiteral("--verbose=1")}, 2, "^mirdal-cli install: [^\n]*--help[^\n]*\n$"},
        {{QStringLiteral("ports"), QStringLiteral("extra")},
         2,
         "^mirdal-cli ports: unknown argument 'extra' \\(usage: [^\n]*--help[^\n]*\n$"},
    };
    for (const Case& test : cases) {
        QStringList args = test.args;
        const QString command = args.takeFirst();
        const CliRun run = runCli(command, args);
        const QString& shown = test.status == kUsageStatus ? run.err : run.out;
        const QString context = test.args.join(QLatin1Char(' ')) + QStringLiteral("\nout: ") + run.out +
                                QStringLiteral("\nerr: ") + run.err;
        EXPECT_EQ(run.exitCode, test.status) << context.toStdString();
        EXPECT_TRUE(QRegularExpression(QLatin1String(test.out), QRegularExpression::DotMatchesEverythingOption)
                        .match(shown)
                        .hasMatch())
            << context.toStdString();
        if (test.status == kUsageStatus) {
            EXPECT_TRUE(run.out.isEmpty()) << context.toStdString();
        }
    }
}

// ---------------------------------------------------------------- configuration

TEST_F(InstallCommand, MissingConfigurationEndsWithTheConfigurationError)
{
    const CliRun run =
        runCli({QStringLiteral("--port"), QStringLiteral("/dev/null"), QStringLiteral("--config-dir"), folder});
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

    const CliRun run =
        runCli({QStringLiteral("--port"), QStringLiteral("/dev/null"), QStringLiteral("--config-dir"), folder});
    EXPECT_EQ(run.exitCode, 3);
    EXPECT_EQ(run.out, QString::fromUtf8(kConfigurationError));
}

// ---------------------------------------------------------------- ports

TEST_F(InstallCommand, DeviceThatDoesNotOpenFailsTheInstallation)
{
    writeConfiguration();
    const QString device = folder + QStringLiteral("no-such-device");
    const CliRun run = runCli({QStringLiteral("--port"), device, QStringLiteral("--config-dir"), folder,
                               QStringLiteral("--time-scale"), QStringLiteral("0.001"), QStringLiteral("--verbose")});
    EXPECT_EQ(run.exitCode, 1);
    // The French result, then why in one line; the log line says it too.
    EXPECT_EQ(run.out, QString::fromUtf8(kOpenError) + QStringLiteral("cause: %1 does not exist\n").arg(device));
    EXPECT_TRUE(run.err.contains(QStringLiteral("SerialPort::open %1: no such device\n").arg(device)))
        << run.err.toStdString();
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
        const CliRun run =
            runCli({QStringLiteral("--port"), pair[0], QStringLiteral("--port"), pair[1],
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
    EXPECT_EQ(run.out, QString::fromUtf8(kOpenError) +
                           QStringLiteral("cause: no listed port is labelled 'No such port - (ttyMIRDAL9)'\n"));
}

// Without --port: MIRDAL_PORT, or the maker's port when it is the only one.
TEST(DefaultPort, OnlyTheMakersSinglePortIsTakenUnasked)
{
    const PortInfo maker{QStringLiteral("ttyUSB0"), QStringLiteral("Terminal"), QStringLiteral("Velmaris"),
                         QStringLiteral("/dev/ttyUSB0")};
    const PortInfo other{QStringLiteral("ttyS0"), QStringLiteral("Serial"), QStringLiteral("Other"),
                         QStringLiteral("/dev/ttyS0")};
    const PortInfo second{QStringLiteral("ttyUSB1"), QStringLiteral("Terminal"), QStringLiteral("VELMARIS"),
                          QStringLiteral("/dev/ttyUSB1")};
    struct Case {
        QList<PortInfo> ports;
        QString environment;
        QString port; // chosen; none when empty
        QString note; // a part of the note
    };
    const Case cases[] = {
        {{}, {}, {}, QStringLiteral("no maker's port is listed")},
        {{other}, {}, {}, QStringLiteral("no maker's port is listed")},
        {{other, maker},
         {},
         QStringLiteral("Terminal - (ttyUSB0)"),
         QStringLiteral("using the maker's port Terminal - (ttyUSB0) (/dev/ttyUSB0)")},
        {{maker, other, second},
         {},
         {},
         QStringLiteral(
             "2 maker's ports are listed, Terminal - (ttyUSB0) (/dev/ttyUSB0), Terminal - (ttyUSB1) (/dev/ttyUSB1)")},
        {{maker}, QStringLiteral("/dev/pts/9"), QStringLiteral("/dev/pts/9"), {}},
    };
    for (const Case& test : cases) {
        const DefaultPort choice = choosePort(test.ports, test.environment);
        EXPECT_EQ(choice.port, test.port) << test.ports.size();
        EXPECT_TRUE(choice.note.contains(test.note)) << choice.note.toStdString();
        EXPECT_EQ(choice.note.isEmpty(), test.note.isEmpty()) << choice.note.toStdString();
    }
}

// ---------------------------------------------------------------- against the simulator

TEST_F(InstallCommand, PortFromTheEnvironmentWhenNoneIsGiven)
{
    writeConfiguration();
    Simulator sim(terminalFor(folder) << QStringLiteral("--quiet"));
    qputenv("MIRDAL_PORT", sim.device().toLocal8Bit());
    const CliRun run =
        runCli({QStringLiteral("--config-dir"), folder, QStringLiteral("--time-scale"), QStringLiteral("0.001")});
    qunsetenv("MIRDAL_PORT");
    EXPECT_EQ(run.exitCode, 0) << run.err.toStdString();
    EXPECT_EQ(run.out, QString::fromUtf8(kSuccess));
    EXPECT_EQ(sim.stop(), 0);
}

// With stderr on a terminal: live lines with their clocks, unless TERM is
// "dumb" (plain lines) or --quiet (none).
TEST_F(InstallCommand, ProgressFitsItsTerminal)
{
    writeConfiguration();
    struct Case {
        const char* term;
        bool quiet;
        bool live;
        bool lines;
    };
    for (const Case& test :
         {Case{"xterm", false, true, true}, Case{"dumb", false, false, true}, Case{"xterm", true, false, false}}) {
        const int master = posix_openpt(O_RDWR | O_NOCTTY);
        ASSERT_GE(master, 0);
        ASSERT_EQ(grantpt(master), 0);
        ASSERT_EQ(unlockpt(master), 0);
        const QString slave = QString::fromLatin1(ptsname(master));
        // Kept open so that the line stays up once the program closes its end.
        const int held = open(ptsname(master), O_RDWR | O_NOCTTY);
        fcntl(master, F_SETFL, O_NONBLOCK);
        QByteArray seen;
        const auto drain = [&] {
            char buffer[4096];
            ssize_t got;
            while ((got = read(master, buffer, sizeof buffer)) > 0)
                seen.append(buffer, int(got));
        };
        QProcess process;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("TERM"), QLatin1String(test.term));
        process.setProcessEnvironment(environment);
        process.setStandardErrorFile(slave);
        QStringList args{QStringLiteral("install"),
                         QStringLiteral("--port"),
                         folder + QStringLiteral("no-such-device"),
                         QStringLiteral("--config-dir"),
                         folder,
                         QStringLiteral("--time-scale"),
                         QStringLiteral("0.001")};
        if (test.quiet)
            args << QStringLiteral("--quiet");
        process.start(QStringLiteral(MIRDAL_CLI), args);
        for (int waited = 0; !process.waitForFinished(50) && waited < 120000; waited += 50)
            drain();
        drain();
        close(held);
        close(master);
        EXPECT_EQ(process.exitCode(), 1) << test.term << test.quiet << seen.constData();
        EXPECT_EQ(QString::fromUtf8(process.readAllStandardOutput()),
                  QString::fromUtf8(kOpenError) +
                      QStringLiteral("cause: %1no-such-device does not exist\n").arg(folder));
        EXPECT_EQ(seen.contains("\x1b["), test.live) << test.term << test.quiet << seen.constData();
        EXPECT_EQ(seen.contains(" left "), test.live) << test.term << test.quiet << seen.constData();
        EXPECT_EQ(seen.contains("Tentative d'acc"), test.lines) << test.term << test.quiet << seen.constData();
        EXPECT_EQ(seen.contains("[ 10%] Tentative"), test.lines && !test.live)
            << test.term << test.quiet << seen.constData();
    }
}

TEST_F(InstallCommand, WholeUpdateOfASimulatedTerminal)
{
    writeConfiguration();
    Simulator sim(terminalFor(folder));
    const CliRun run = runCli({QStringLiteral("--port"), sim.device(), QStringLiteral("--config-dir"), folder,
                               QStringLiteral("--time-scale"), QStringLiteral("0.001")});
    EXPECT_EQ(run.exitCode, 0) << run.out.toStdString();
    EXPECT_EQ(run.out, QString::fromUtf8(kSuccess));
    EXPECT_TRUE(run.err.endsWith(QString::fromUtf8("[100%] Installation réalisée avec succès\n")))
        << run.err.toStdString();
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
        Simulator sim(terminalFor(folder)
                      << QStringLiteral("--quiet") << QStringLiteral("--fault") << QLatin1String(test.fault));
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
    const QStringList common = {QStringLiteral("--config-dir"), folder, QStringLiteral("--time-scale"),
                                QStringLiteral("0.001")};

    const CliRun both = runCli(
        QStringList{QStringLiteral("--port"), good.device(), QStringLiteral("--port"), alsoGood.device()} + common);
    EXPECT_EQ(both.exitCode, 0) << both.out.toStdString();
    EXPECT_EQ(both.out, good.device() + QLatin1Char('\n') + QString::fromUtf8(kSuccess) + alsoGood.device() +
                            QLatin1Char('\n') + QString::fromUtf8(kSuccess));
    // Each plain progress line names its terminal.
    EXPECT_TRUE(both.err.contains(good.device() + QString::fromUtf8(": [100%] Installation réalisée avec succès\n")));
    EXPECT_TRUE(
        both.err.contains(alsoGood.device() + QString::fromUtf8(": [100%] Installation réalisée avec succès\n")));

    Simulator refusing(terminalFor(folder) << QStringLiteral("--refuse-varlenne") << QStringLiteral("--quiet"));
    const CliRun one = runCli(
        QStringList{QStringLiteral("--port"), good.device(), QStringLiteral("--port"), refusing.device()} + common);
    EXPECT_EQ(one.exitCode, 1);
    EXPECT_TRUE(one.out.startsWith(good.device() + QLatin1Char('\n') + QString::fromUtf8(kSuccess)));
    EXPECT_TRUE(one.out.endsWith(refusing.device() +
                                 QString::fromUtf8("\nErreur varlenne\n"
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
        signal(SIGPIPE, SIG_DFL); // as a shell leaves it
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
        cli.start(QStringLiteral(MIRDAL_CLI),
                  {QStringLiteral("install"), QStringLiteral("--port"), sim.device(), QStringLiteral("--config-dir"),
                   folder, QStringLiteral("--time-scale"), QStringLiteral("0.001")});
        ASSERT_TRUE(sim.waitForTrace(QStringLiteral("block 3 "), 30000)) << sim.trace().toStdString();
        ::kill(static_cast<pid_t>(cli.processId()), signal);
        ASSERT_TRUE(cli.waitForFinished(30000));
        const QString err = QString::fromUtf8(cli.readAllStandardError());
        EXPECT_EQ(cli.exitStatus(), QProcess::NormalExit) << signal;
        EXPECT_EQ(cli.exitCode(), 130) << err.toStdString();
        EXPECT_EQ(
            QString::fromUtf8(cli.readAllStandardOutput()),
            QString::fromUtf8("Erreur chargement\nLe fichier : APP.BIN ne peut pas être chargé dans le terminal.\n"
                              "Veuillez contacter le support.\ncause: stopped on request\n"));
        EXPECT_TRUE(err.contains(QStringLiteral("interrupted: the update stops at its next exchange")))
            << err.toStdString();
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
        const int status = runWithoutOutput({QStringLiteral("--port"), sim.device(), QStringLiteral("--config-dir"),
                                             folder, QStringLiteral("--time-scale"), QStringLiteral("0.001")},
                                            closed);
        EXPECT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
        EXPECT_EQ(WEXITSTATUS(status), 0);
        EXPECT_EQ(sim.stop(), 0);
        EXPECT_TRUE(sim.trace().contains(QStringLiteral("1 file(s) received, 0 problem(s)")))
            << sim.trace().toStdString();
        EXPECT_TRUE(sim.trace().contains(QStringLiteral("second release frame"))) << sim.trace().toStdString();
    }
}
