// What every mirdal-cli command shares, the port chosen without --port; install's progress, interruptions, lost output.
#include "tests/cli/Cli.h"
#include "tests/support/Pty.h"
#include "cli/DefaultPort.h"

#include <QElapsedTimer>
#include <QRegularExpression>
#include <csignal>

namespace {

const QString kOpenError = "Erreur ouverture\nLe terminal sélectionné n'est pas disponible.\n"
                           "Veuillez fermer toutes les applications ou contacter le support.\ncause: ";

class InstallCommand : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(writePackage(f, "content")); }
    QStringList install(const QStringList& args) const
    {
        return QStringList{"install", "--config-dir", f, "--time-scale", "0.001"} + args;
    }
    ConfigFolder folder;
    const QString f = folder.path();
};

} // namespace

// Help on stdout with status 0, --opt=value, and a usage error in one line on stderr naming the problem, the synopsis
// and --help, with status 2. A row: the arguments, the status, what stdout matches (status 1: is; status 2: the
// problem). One device under two names (repeated slashes, a link) is one port given twice, refused before any port.
TEST_F(InstallCommand, EveryCommandFollowsTheSameConventions)
{
    const QString scale = "--time-scale must be a number in (0,1], not ",
                  same = "are the same device: a port may be given only once";
    ASSERT_TRUE(QFile::link("/dev/null", f + "null"));
    const QStringList cases[] = {
        {"--version", "0",
         "^mirdal-cli 2.0.3\ntrusted signing key: RSA-2048, SHA-256 ([0-9A-F]{2}:){31}[0-9A-F]{2}\n$"},
        {"help", "install", "0",
         "^usage: mirdal-cli install .*\nExit status:\n  0 +updated\n  1 +installation failed\n"
         "  2 +usage error.*\n  3 +configuration .*\n  4 +a transcript .*\n  130 +interrupted"},
        {"install", "--port=/dev/null", "--config-dir=/none", "3",
         "^Erreur fichier de configuration\nLe fichier de "
         "configuration est manquant ou incorrect.\nVeuillez contacter votre support.\n$"},
        {"install", "--config-dir", f, "--port", f + "none", "1", kOpenError + f + "none does not exist\n"},
        {"install", "--config-dir", f, "--port", "S - (M9)", "1",
         kOpenError + "no listed port is labelled 'S - (M9)'\n"},
        {"install", "--port", "/dev/null", "--port", "/dev//null", "2", "'/dev/null' and '/dev//null' " + same},
        {"install", "--port", "/dev/null", "--port", f + "null", "2", "'/dev/null' and '" + f + "null' " + same},
        {"frob", "2", "unknown command 'frob'"},
        {"install", "--frob=1", "2", "unknown option '--frob'"},
        {"install", "2", "no maker's port is listed: give one with --port or MIRDAL_PORT"},
        {"install", "--port", "/dev/null", "--time-scale", "nan", "2", scale + "'nan'"},
        {"install", "--port", "/dev/pts/1", "--port", "S - (pts/1)", "--trace", f + "r", "2",
         "the transcripts of two ports would both be written to '" + f + "r-pts-1'"},
        {"install", "--port", "/dev/null", "--config-dir", f, "--trace", f + "no/t", "2",
         "cannot write the transcript '" + f + "no/t'"},
        {"sign", "--key", "k", "--pass", "s3", "2",
         "--pass takes env:VAR, file:PATH or stdin, never the passphrase itself"},
    };
    for (QStringList args : cases) {
        const QString shown = args.takeLast(), status = args.takeLast(), cmd = args[0] == "frob" ? "" : " " + args[0];
        const QString pattern = status == "1"   ? "^" + QRegularExpression::escape(shown) + "$"
                                : status != "2" ? shown
                                                : "^mirdal-cli" + cmd + ": " + QRegularExpression::escape(shown) +
                                                      " \\((usage: mirdal-cli" + cmd + "[^\n]*; )?see 'mirdal-cli" +
                                                      cmd + " --help'\\)\n$";
        const CliRun run = cli(args);
        EXPECT_EQ(run.status, status.toInt()) << args.join(' ');
        EXPECT_TRUE((status == "2" ? run.err + run.out : run.out).contains(QRegularExpression("(?s)" + pattern)))
            << args.join(' ') << "\nout: " << run.out << "\nerr: " << run.err;
    }
}

// What QSerialPortInfo answers of a port, by its accessors.
struct QtPortInfo {
    QStringList v; // port name, description, manufacturer, device, serial number
    int vendor, product;
    QString portName() const { return v[0]; }
    QString description() const { return v[1]; }
    QString manufacturer() const { return v[2]; }
    QString systemLocation() const { return v[3]; }
    QString serialNumber() const { return v[4]; }
    bool hasVendorIdentifier() const { return vendor >= 0; }
    quint16 vendorIdentifier() const { return quint16(vendor); }
    bool hasProductIdentifier() const { return product >= 0; }
    quint16 productIdentifier() const { return quint16(product); }
};

// The platform's ports as `mirdal-cli ports` and the window show them: labelled by description and name, the maker's
// (by manufacturer) marked, USB ids and serial number where known, "(no access)" where so. Without --port:
// MIRDAL_PORT, or the maker's port when it is the only one (a row: MIRDAL_PORT, ports, the port, the note's start).
TEST(DefaultPort, PortsAsQtDescribesThemAndTheOneTakenUnasked)
{
    const QtPortInfo qt[] = {{{"ttyS0", "Communications Port", "(Standard port types)", "/dev/ttyS0", ""}, -1, -1},
                             {{"ttyACM0", "USB Serial Device", "VELMARIS", "/dev/ttyACM0", "T0042"}, 0x2fe3, 0x100},
                             {{"ttyUSB1", "USB UART", "Velmaris Ltd", "/dev/ttyUSB1", "A9X1"}, 0x403, -1},
                             {{"ttyACM1", "T", "Velmaris", "/dev/ttyACM1", ""}, 0x2fe3, 0x100}};
    QList<PortInfo> ports;
    for (const QtPortInfo& info : qt)
        ports << portInfoOf(info);
    EXPECT_EQ(portLines(ports, [](const QString& device) { return device != "/dev/ttyS0"; }),
              (QStringList{"  Communications Port - (ttyS0)  /dev/ttyS0  (no access)",
                           "* USB Serial Device - (ttyACM0)  /dev/ttyACM0  usb 2fe3:0100  serial T0042",
                           "  USB UART - (ttyUSB1)  /dev/ttyUSB1  serial A9X1",
                           "* T - (ttyACM1)  /dev/ttyACM1  usb 2fe3:0100"}));
    const QString maker = "USB Serial Device - (ttyACM0)";
    for (const auto& [environment, listed, port, note] :
         {std::tuple("", 3, maker, "using the maker's port " + maker + " (/dev/ttyACM0)"),
          std::tuple("", 4, QString(), "2 maker's ports are listed, " + maker + " (/dev/ttyACM0), T - (ttyACM1)"),
          std::tuple("/dev/pts/9", 4, QString("/dev/pts/9"), QString())}) {
        const DefaultPort choice = choosePort(ports.mid(0, listed), environment);
        EXPECT_EQ(choice.port + " | " + choice.note.left(note.size()), port + " | " + note);
    }
}

// Without --time-scale every pause is the terminal's own: the 4 s before the hardware record is asked for, here of a
// terminal that no package accepts, which ends the run there.
TEST_F(InstallCommand, PausesAreTheTerminalsOwnByDefault)
{
    SimProcess sim;
    QString error;
    ASSERT_TRUE(sim.start({"--hardware", "040506"}, error)) << error;
    QElapsedTimer clock;
    clock.start();
    const CliRun run = cli({"install", "--config-dir", f, "--port", sim.device()});
    EXPECT_TRUE(run.status == 1 && run.out.startsWith("Erreur cohérence HTerminal\n")) << run.out;
    EXPECT_GE(clock.elapsed(), 4000);
}

// With stderr on a terminal: live lines with their clocks, unless TERM is "dumb" (plain lines) or --quiet (none).
TEST_F(InstallCommand, ProgressFitsItsTerminal)
{
    for (const auto& [term, quiet, live, lines] :
         {std::tuple("xterm", "", true, true), std::tuple("dumb", "", false, true),
          std::tuple("xterm", "--quiet", false, false)}) {
        Pty pty;
        const QString command = QString("TERM=%1 \"$0\" \"$@\" %2 2>%3").arg(term, quiet, pty.path());
        EXPECT_EQ(cli(QStringList{"-c", command, MIRDAL_CLI} + install({"--port", f + "none"}), {}, "bash").status, 1);
        const QByteArray seen = pty.receive(1 << 20, 200);
        const std::string context = term + std::string(quiet) + ": " + seen.toStdString();
        EXPECT_EQ(seen.contains("\x1b[") && seen.contains(" left "), live) << context;
        EXPECT_EQ(seen.contains("Tentative d'acc"), lines) << context;
        EXPECT_EQ(seen.contains("[ 10%] Tentative d'accès au terminal\n"), lines && !live) << context;
    }
}

// Ctrl-C, SIGTERM or SIGHUP during the download: the update stops at its next exchange with the download's result,
// ends the dialogue, sends the release frames and ends with status 130.
TEST_F(InstallCommand, InterruptionEndsTheUpdateThroughItsCleanUp)
{
    ASSERT_TRUE(writePackage(f, QByteArray(12000, 'x')));
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
        SimProcess sim;
        ASSERT_TRUE(started(sim, f, {"--baud", "9600"}));
        QProcess process;
        process.start(MIRDAL_CLI, install({"--port", sim.device()}));
        QString trace;
        for (int waited = 0; !trace.contains("block 3 ") && waited < 30000 && !sim.endsWithin(20); waited += 20)
            trace += QString::fromUtf8(sim.errorOutput());
        ::kill(pid_t(process.processId()), signal);
        ASSERT_TRUE(process.waitForFinished(30000));
        const QString err = QString::fromUtf8(process.readAllStandardError());
        EXPECT_TRUE(process.exitStatus() == QProcess::NormalExit && process.exitCode() == 130 &&
                    err.contains("interrupted: the update stops at its next exchange"))
            << err;
        EXPECT_EQ(QString::fromUtf8(process.readAllStandardOutput()),
                  "Erreur chargement\nLe fichier : APP.BIN ne peut pas être chargé dans le terminal.\n"
                  "Veuillez contacter le support.\ncause: stopped on request\n");
        trace += traceOf(sim);
        const int end = trace.indexOf("end of session 1");
        EXPECT_TRUE(end > 0 && trace.indexOf("second release frame", end) > end && !trace.contains("block 90 "))
            << trace;
    }
}

// Answers as real lines deliver them: a byte every 1.04 ms (the simulator's default), a FIFO's or a USB adapter's
// pieces, or cut in two anywhere with a pause between. A rest that comes within its line time and 50 ms counts; one
// that comes later fails with its cause. A row: the simulator's options, the result's first line, the cause.
TEST_F(InstallCommand, AnswersAsARealLineDeliversThem)
{
    const QString list = "Erreur liste applications", record = "Erreur HTerminal";
    const QStringList cases[] = {
        {"--fault", "hardware:split", "--split-pause", "2", "Installation réalisée avec succès", ""},
        {"--fault", "hardware:split", "--split-offset", "127", "--split-pause", "40",
         "Installation réalisée avec succès", ""},
        {"--fault", "open:split", "--split-offset", "1", "--split-pause", "40", "Installation réalisée avec succès",
         ""},
        {"--fault", "varlenne:split", "--split-pause", "30", "Installation réalisée avec succès", ""},
        {"--fault", "list:split", "--split-offset", "31", "--split-pause", "40", "Installation réalisée avec succès",
         ""},
        {"--fault", "final:split", "--split-pause", "20", "Installation réalisée avec succès", ""},
        {"--delivery", "fifo:16", "Installation réalisée avec succès", ""},
        {"--delivery", "usb", "Installation réalisée avec succès", ""},
        {"--fault", "hardware:split", "--split-pause", "1000", record, "answer of 64 bytes, 128 expected"},
        {"--fault", "list:split", "--split-offset", "5", "--split-pause", "500", list,
         "answer of 5 bytes, 32 expected"},
    };
    for (QStringList options : cases) {
        const QString cause = options.takeLast(), title = options.takeLast();
        SimProcess sim;
        ASSERT_TRUE(started(sim, f, options));
        const CliRun run = cli(install({"--port", sim.device()}));
        EXPECT_TRUE(run.out.startsWith(title + "\n") &&
                    run.out.endsWith(cause.isEmpty() ? "" : "cause: " + cause + "\n"))
            << options.join(' ') << ": " << run.out;
        EXPECT_EQ(run.status, cause.isEmpty() ? 0 : 1) << options.join(' ');
    }
}
