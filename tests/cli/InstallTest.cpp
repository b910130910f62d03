// What every mirdal-cli command shares, the port chosen without --port, and
// mirdal-cli install: results and causes, progress, interruptions, lost output.
#include "tests/cli/Cli.h"
#include "tests/support/Pty.h"
#include "cli/DefaultPort.h"

#include <QProcessEnvironment>
#include <QRegularExpression>
#include <csignal>

namespace {

const QString kOpenError = "Erreur ouverture\nLe terminal sélectionné n'est pas disponible.\n"
                           "Veuillez fermer toutes les applications ou contacter le support.\n";

class InstallCommand : public ::testing::Test {
protected:
    void SetUp() override { write("content"); }
    void write(const QByteArray& content)
    {
        if (!writePackage(folder.path(), content))
            GTEST_SKIP() << "the build's signing key holds no private half";
    }
    QStringList install(const QStringList& args) const
    {
        return QStringList{"install", "--config-dir", folder.path(), "--time-scale", "0.001"} + args;
    }
    ConfigFolder folder;
};

} // namespace

// Help on stdout with status 0, --opt=value, and a usage error in one line on
// stderr naming the problem, the synopsis and --help, with status 2. A row:
// the arguments, the status, what stdout matches (with status 2: the problem).
TEST_F(InstallCommand, EveryCommandFollowsTheSameConventions)
{
    const QString f = folder.path(), scale = "--time-scale must be a number in (0,1], not ";
    const QStringList cases[] = {
        {"--help", "0", "^usage: mirdal-cli COMMAND"},
        {"help", "0", "^usage: mirdal-cli COMMAND"},
        {"--version", "0",
         "^mirdal-cli 2\\.0\\.3\ntrusted signing key: RSA-2048, SHA-256 ([0-9A-F]{2}:){31}[0-9A-F]{2}\n$"},
        {"install", "--help", "0",
         "^usage: mirdal-cli install .*\nExit status:\n  0    updated\n  1    installation failed\n  2    usage "
         "error.*\n"
         "  3    configuration missing or refused\n  4    a transcript could not be written whole.*\n  130  "
         "interrupted"},
        {"help", "install", "0", "^usage: mirdal-cli install .*Exit status:"},
        {"check", "-h", "0", "^usage: mirdal-cli check .*Exit status:"},
        {"sign", "--help", "0", "^usage: mirdal-cli sign .*Exit status:"},
        {"pack", "--help", "0", "^usage: mirdal-cli pack .*Exit status:"},
        {"ports", "--help", "0", "^usage: mirdal-cli ports.*Exit status:"},
        {"install", "--port=/dev/null", "--config-dir=/none", "3",
         "^Erreur fichier de configuration\nLe fichier de configuration est manquant ou incorrect.\n"
         "Veuillez contacter votre support.\n$"},
        {"install", "--port", "/dev/null", "--config-dir", "/none", "--time-scale", "1e-3", "3", "^Erreur fichier"},
        {"check", "--config-dir=/none", "3", "\nerror: configuration.xml is missing or cannot be read\n$"},
        {"frob", "2", "unknown command 'frob'"},
        {"--frob", "2", "unknown option '--frob'"},
        {"help", "frob", "2", "no help on 'frob'"},
        {"install", "--frob=1", "2", "unknown option '--frob'"},
        {"install", "--verbose=1", "2", "unexpected value after '--verbose'"},
        {"install", "2", "no maker's port is listed: give one with --port or MIRDAL_PORT"},
        {"install", "--port", "2", "missing value after '--port'"},
        {"install", "--port", "/dev/null", "extra", "2", "unknown argument 'extra'"},
        {"install", "--port", "/dev/a", "--port", "/dev/a", "2", "a port may be given only once"},
        {"install", "--port", "/dev/null", "--time-scale", "0", "2", scale + "'0'"},
        {"install", "--port", "/dev/null", "--time-scale", "1.01", "2", scale + "'1.01'"},
        {"install", "--port", "/dev/null", "--time-scale", "nan", "2", scale + "'nan'"},
        {"install", "--port", "/dev/pts/1", "--port", "Serial - (pts/1)", "--trace", f + "run", "2",
         "the transcripts of two ports would both be written to '" + f + "run-pts-1'"},
        {"install", "--port", "/dev/null", "--config-dir", f, "--trace", f + "no/t", "2",
         "cannot write the transcript '" + f + "no/t'"},
        {"ports", "extra", "2", "unknown argument 'extra'"},
        {"check", "--config-dir", "/tmp", "extra", "2", "unknown argument 'extra'"},
        {"pack", "2", "2 arguments needed, 0 given"},
        {"pack", "a", "b", "c", "2", "unknown argument 'c'"},
        {"sign", "--config-dir", f, "2", "--key is required"},
        {"sign", "--key", "k", "--pass", "s3", "2",
         "--pass takes env:VAR, file:PATH or stdin, never the passphrase itself"},
    };
    for (QStringList args : cases) {
        const QString shown = args.takeLast(), status = args.takeLast();
        const CliRun run = cli(args);
        const QString command =
            QStringList{"install", "check", "sign", "pack", "ports"}.contains(args[0]) ? " " + args[0] : "";
        const QString usage = "^mirdal-cli" + command + ": " + QRegularExpression::escape(shown) +
                              " \\((usage: mirdal-cli" + command + "[^\n]*; )?see 'mirdal-cli" + command +
                              " --help'\\)\n$";
        EXPECT_EQ(run.status, status.toInt()) << args.join(' ') << run.out << run.err;
        EXPECT_TRUE(QRegularExpression(status == "2" ? usage : shown, QRegularExpression::DotMatchesEverythingOption)
                        .match(status == "2" ? run.err : run.out)
                        .hasMatch())
            << args.join(' ') << "\nout: " << run.out << "\nerr: " << run.err;
        EXPECT_TRUE(status != "2" || run.out.isEmpty()) << args.join(' ');
    }
}

// Without --port: MIRDAL_PORT, or the maker's port when it is the only one.
TEST(DefaultPort, OnlyTheMakersSinglePortIsTakenUnasked)
{
    const PortInfo maker{"ttyUSB0", "Terminal", "Velmaris", "/dev/ttyUSB0"},
        other{"ttyS0", "Serial", "Other", "/dev/ttyS0"};
    const PortInfo second{"ttyUSB1", "Terminal", "VELMARIS", "/dev/ttyUSB1"};
    const std::pair<QList<PortInfo>, QStringList> cases[] = {
        // MIRDAL_PORT, the port chosen, the note
        {{}, {"", "", "no maker's port is listed"}},
        {{other}, {"", "", "no maker's port is listed"}},
        {{other, maker}, {"", "Terminal - (ttyUSB0)", "using the maker's port Terminal - (ttyUSB0) (/dev/ttyUSB0)"}},
        {{maker, other, second},
         {"", "",
          "2 maker's ports are listed, Terminal - (ttyUSB0) (/dev/ttyUSB0), Terminal - (ttyUSB1) (/dev/ttyUSB1)"}},
        {{maker}, {"/dev/pts/9", "/dev/pts/9", ""}},
    };
    for (const auto& [ports, test] : cases) {
        const DefaultPort choice = choosePort(ports, test[0]);
        EXPECT_EQ(choice.port, test[1]) << ports.size();
        EXPECT_TRUE(choice.note.contains(test[2]) && choice.note.isEmpty() == test[2].isEmpty()) << choice.note;
    }
}

// The French result on stdout, status 1, and under it the cause. A row: the
// port, or the simulator's options; then stdout. A terminal gone during a
// download is met again at the file's next advertisement.
TEST_F(InstallCommand, ResultThenCause)
{
    const QString f = folder.path(), information = "Erreur Information\nLe fichier : APP.BIN ne peut pas être lu.\n"
                                                   "Veuillez contacter le support.\ncause: ";
    const QStringList cases[] = {
        {f + "none", kOpenError + "cause: " + f + "none does not exist\n"},
        {"No such - (ttyM9)", kOpenError + "cause: no listed port is labelled 'No such - (ttyM9)'\n"},
        {"--refuse-varlenne", "Erreur varlenne\nL'application \"Varlenne\" n'est pas installée sur le terminal.\n\n"
                              "cause: refused by the terminal (answer 2F 40 02 01 81)\n"},
        {"--refuse-authorization",
         "Erreur autorisation\nLe fichier : APP.BIN n'est pas autorisé sur le terminal.\n"
         "Veuillez contacter le support.\ncause: refused by the terminal (answer 03 01 00)\n"},
        {"--fault", "block:vanish", information + "write failed (the device may be gone)\n"},
        {"--fault", "advertise:bad-crc", information + "wrong CRC\n"},
        {"--fault", "activate:silent",
         "Erreur Activation\nLes fichiers ne peuvent pas être installés sur le terminal.\n"
         "Veuillez contacter le support.\ncause: no answer within 1000 ms (0 bytes)\n"},
    };
    for (QStringList terminal : cases) {
        const QString out = terminal.takeLast();
        SimProcess sim;
        if (terminal[0].startsWith("--") && !started(sim, terminalFor(folder.path(), terminal << "--quiet")))
            continue;
        const CliRun run = cli(install({"--port", terminal[0].startsWith("--") ? sim.device() : terminal[0]}));
        EXPECT_EQ(run.status, 1) << terminal.join(' ') << run.err;
        EXPECT_EQ(run.out, out);
    }
}

// One device under two names (repeated slashes, a link to it) is one port
// given twice: refused before anything is sent.
TEST_F(InstallCommand, SameDeviceUnderTwoNamesIsAUsageError)
{
    SimProcess sim;
    ASSERT_TRUE(started(sim, terminalFor(folder.path())));
    const QString device = sim.device(), doubled = QString(device).replace("/dev/", "/dev//"),
                  link = folder.file("tty");
    ASSERT_TRUE(QFile::link(device, link));
    for (const auto& [first, second] :
         {std::pair(device, doubled), std::pair(device, link), std::pair(link, doubled)}) {
        const CliRun run = cli(install({"--port", first, "--port", second}));
        EXPECT_EQ(run.status, 2) << first << " " << second;
        EXPECT_TRUE(run.out.isEmpty() && run.err.contains("are the same device: a port may be given only once"))
            << run.err;
    }
    const QString trace = traceOf(sim);
    EXPECT_EQ(sim.stop(), 0);
    EXPECT_FALSE(trace.contains("opening frame")) << trace;
}

// With stderr on a terminal: live lines with their clocks, unless TERM is
// "dumb" (plain lines) or --quiet (none).
TEST_F(InstallCommand, ProgressFitsItsTerminal)
{
    for (const auto& [term, quiet, live, lines] :
         {std::tuple("xterm", QStringList(), true, true), std::tuple("dumb", QStringList(), false, true),
          std::tuple("xterm", QStringList("--quiet"), false, false)}) {
        Pty pty;
        QProcess process;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("TERM", term);
        process.setProcessEnvironment(environment);
        process.setStandardErrorFile(pty.path());
        process.start(MIRDAL_CLI, install(QStringList{"--port", folder.file("none")} + quiet));
        ASSERT_TRUE(process.waitForFinished(60000));
        const QByteArray seen = pty.receive(1 << 20, 200);
        const std::string context = term + quiet.join("").toStdString() + ": " + seen.toStdString();
        EXPECT_EQ(process.exitCode(), 1) << context;
        EXPECT_EQ(seen.contains("\x1b[") && seen.contains(" left "), live) << context;
        EXPECT_EQ(seen.contains("Tentative d'acc"), lines) << context;
        EXPECT_EQ(seen.contains("[ 10%] Tentative d'accès au terminal\n"), lines && !live) << context;
    }
}

// Ctrl-C, SIGTERM or SIGHUP during the download: the update stops at its next
// exchange with the download's result, ends the dialogue, sends the release
// frames and ends with status 130.
TEST_F(InstallCommand, InterruptionEndsTheUpdateThroughItsCleanUp)
{
    write(QByteArray(12000, 'x'));
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
        SimProcess sim;
        ASSERT_TRUE(started(sim, terminalFor(folder.path(), {"--baud", "9600"})));
        QProcess process;
        process.start(MIRDAL_CLI, install({"--port", sim.device()}));
        QString trace;
        for (int waited = 0; !trace.contains("block 3 ") && waited < 30000; waited += 20) {
            sim.endsWithin(20);
            trace += QString::fromUtf8(sim.errorOutput());
        }
        ::kill(pid_t(process.processId()), signal);
        ASSERT_TRUE(process.waitForFinished(30000));
        const QString err = QString::fromUtf8(process.readAllStandardError());
        EXPECT_EQ(process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1, 130) << err;
        EXPECT_EQ(QString::fromUtf8(process.readAllStandardOutput()),
                  "Erreur chargement\nLe fichier : APP.BIN ne peut pas être chargé dans le terminal.\n"
                  "Veuillez contacter le support.\ncause: stopped on request\n");
        EXPECT_TRUE(err.contains("interrupted: the update stops at its next exchange")) << err;
        trace += traceOf(sim);
        const int end = trace.indexOf("end of session 1");
        EXPECT_TRUE(end > 0 && trace.indexOf("second release frame", end) > end) << trace;
        EXPECT_EQ(trace.indexOf("block 90 "), -1) << "the download went on";
    }
}

// Nobody reads the output (`install ... 2>&1 | true`), or it is closed: the
// update goes on to its end and the release frames all the same.
TEST_F(InstallCommand, UpdateGoesOnWhenItsOutputGoesNowhere)
{
    std::signal(SIGPIPE, SIG_DFL); // as a shell leaves it: a write nobody reads ends the program
    for (const QString redirect : {"2>&1 | true; exit ${PIPESTATUS[0]}", ">&- 2>&-"}) {
        SimProcess sim;
        ASSERT_TRUE(started(sim, terminalFor(folder.path())));
        QProcess shell;
        shell.start("bash",
                    QStringList{"-c", "\"$0\" \"$@\" " + redirect, MIRDAL_CLI} + install({"--port", sim.device()}));
        ASSERT_TRUE(shell.waitForFinished(60000));
        EXPECT_EQ(shell.exitCode(), 0) << redirect;
        const QString trace = traceOf(sim);
        EXPECT_EQ(sim.stop(), 0);
        EXPECT_TRUE(trace.contains("1 file(s) received, 0 problem(s)") && trace.contains("second release frame"))
            << trace;
    }
}
