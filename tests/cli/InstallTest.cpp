// What every mirdal-cli command shares, the port chosen without --port; install's progress, interruptions, lost output.
#include "tests/cli/Cli.h"
#include "tests/support/Pty.h"
#include "cli/DefaultPort.h"
#include "transport/SerialPort.h"

#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <csignal>
#include <cstring>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/time.h>

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
    const QTemporaryDir other;
    const QString fifo = other.filePath("fifo");
    ASSERT_EQ(::mkfifo(qPrintable(fifo), 0600), 0);
    const QStringList cases[] = {
        {"--version", "0",
         "^mirdal-cli 2.0.3\ntrusted signing key: RSA-2048, SHA-256 ([0-9A-F]{2}:){31}[0-9A-F]{2}\nThis build trusts "
         "the "
         "public development key: anyone holding Mirdal's source can sign a configuration it accepts\\. A site "
         "installs a build made with its own key\\.\n$"},
        {"--help", "0",
         "\nLog file: " + QRegularExpression::escape(qEnvironmentVariable("XDG_STATE_HOME")) +
             "/mirdal/mirdal\\.log\n"},
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
        {"install", "--qiuet", "2", "unknown option '--qiuet'; did you mean '--quiet'?"},
        {"check", "--config-dri=x", "2", "unknown option '--config-dri'; did you mean '--config-dir'?"},
        {"install", "2", "no maker's port is listed: give one with --port or MIRDAL_PORT"},
        {"install", "--port", "/dev/null", "--time-scale", "nan", "2", scale + "'nan'"},
        {"install", "--port", "/dev/pts/1", "--port", "S - (pts/1)", "--trace", f + "r", "2",
         "the transcripts of two ports would both be written to '" + f + "r-pts-1'"},
        {"install", "--port", "/dev/null", "--config-dir", f, "--trace", f + "no/t", "2",
         "cannot write the transcript '" + f + "no/t'"},
        {"install", "--port", "/dev/null", "--config-dir", f, "--trace", f + "configuration.xml", "2",
         "the transcript '" + f + "configuration.xml' would overwrite " + f +
             "configuration.xml, which the update reads"},
        {"install", "--port", "/dev/null", "--config-dir", f, "--trace", fifo, "2",
         "nobody reads the FIFO '" + fifo + "'"},
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

// 64 ports under a low `ulimit -n`: a usage error with the figures (before: GLib's abort, SIGTRAP, in 0.03 s); with
// only the soft limit low, it is raised and every port is tried.
TEST_F(InstallCommand, PortsThatCannotHaveTheirFilesAreAUsageError)
{
    QStringList ports;
    for (int i = 0; i < 64; ++i)
        ports << "--port" << f + "p" + QString::number(i);
    for (const QString limit : {"-n 64", "-n 100", "-n 150", "-Sn 100"}) {
        const CliRun run = cli(
            QStringList{"-c", "ulimit " + limit + " && exec \"$0\" \"$@\"", MIRDAL_CLI} + install(ports), {}, "bash");
        EXPECT_TRUE(limit.startsWith("-S")
                        ? run.status == 1 && run.out.count("does not exist") == 64
                        : run.status == 2 && run.err.contains("64 ports need up to 528 more open "
                                                              "files, and this process may open only"))
            << limit << run.err;
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
          std::tuple("/dev/pts/9", 4, QString("/dev/pts/9"),
                     QString("using the port /dev/pts/9 that MIRDAL_PORT names"))}) {
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

// With stderr on a terminal: live lines with their clocks, unless TERM is "dumb" (plain lines) or --quiet (none). On a
// terminal 70 columns wide the live line keeps the stage's text whole and gives up its gauge.
TEST_F(InstallCommand, ProgressFitsItsTerminal)
{
    for (const auto& [term, quiet, live, lines] :
         {std::tuple("xterm", "", true, true), std::tuple("dumb", "", false, true),
          std::tuple("xterm", "--quiet", false, false)}) {
        Pty pty;
        const QString command = QString("stty cols 70 <%3; TERM=%1 \"$0\" \"$@\" %2 2>%3").arg(term, quiet, pty.path());
        EXPECT_EQ(cli(QStringList{"-c", command, MIRDAL_CLI} + install({"--port", f + "none"}), {}, "bash").status, 1);
        const QByteArray seen = pty.receive(1 << 20, 200);
        const std::string context = term + std::string(quiet) + ": " + seen.toStdString();
        // The live line names its two percentages: the whole update's and the file's.
        EXPECT_EQ(seen.contains("\x1b[") &&
                      QRegularExpression("\x1b\\[2Ktotal +\\d+% file +\\d+% \\d+:\\d\\d ~\\d+:\\d\\d left Tentative "
                                         "d'accès au terminal( \\|[^\n]*)?\n")
                          .match(QString::fromUtf8(seen))
                          .hasMatch(),
                  live)
            << context;
        EXPECT_EQ(seen.contains("Tentative d'acc"), lines) << context;
        EXPECT_EQ(seen.contains("[ 10%] Tentative d'accès au terminal\n"), lines && !live) << context;
    }
}

// Ctrl-C, Ctrl-\\ (SIGQUIT), SIGTERM or SIGHUP during the download: the update stops at its next exchange with the download's result,
// ends the dialogue, sends the release frames and ends with status 130.
TEST_F(InstallCommand, InterruptionEndsTheUpdateThroughItsCleanUp)
{
    ASSERT_TRUE(writePackage(f, QByteArray(12000, 'x')));
    for (const int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) {
        SimProcess sim;
        ASSERT_TRUE(started(sim, f, {"--baud", "9600"}));
        QProcess process;
        const bool json = signal == SIGQUIT; // the last, its result as an object
        process.start(MIRDAL_CLI, install({"--port", sim.device()}) + (json ? QStringList{"--json"} : QStringList{}));
        QString trace;
        for (int waited = 0; !trace.contains("block 3 ") && waited < 30000 && !sim.endsWithin(20); waited += 20)
            trace += QString::fromUtf8(sim.errorOutput());
        ::kill(pid_t(process.processId()), signal);
        ASSERT_TRUE(process.waitForFinished(30000));
        const QString err = QString::fromUtf8(process.readAllStandardError());
        EXPECT_TRUE(process.exitStatus() == QProcess::NormalExit && process.exitCode() == 130 &&
                    err.contains("interrupted: the update stops at its next exchange"))
            << err;
        const QByteArray out = process.readAllStandardOutput();
        const QJsonObject result = QJsonDocument::fromJson(out).object();
        EXPECT_EQ(json ? result["outcome"].toString() + " | " + result["title"].toString() + " | " +
                             result["cause"].toString()
                       : QString::fromUtf8(out),
                  json ? "interrupted | Erreur chargement | stopped on request"
                       : "Erreur chargement\nLe fichier : APP.BIN ne peut pas être chargé dans le terminal.\n"
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

// One terminal, one driver. A second updater of the terminal, started during the first one's restart wait, is
// refused at once with its cause (before: it took the line, and both sent their batches). A live holder of the serial
// lock file is honoured; a dead or empty one (a crash's leftover) is cleaned; a lock folder where no lock can be taken
// refuses the update. One port as a path and as its label is given twice (a pseudo-terminal bound over /dev/ttyS0).
TEST_F(InstallCommand, OneTerminalHasOneDriver)
{
    ConfigFolder two;
    ASSERT_TRUE(writeSignedConfiguration(two.path(), {0, {{1, 2, 3}}, {{{"a.bin", "first"}}, {{"b.bin", "second"}}}}));
    SimProcess sim;
    ASSERT_TRUE(started(sim, two.path()));
    QProcess first;
    first.start(MIRDAL_CLI, {"install", "--config-dir", two.path(), "--time-scale", "0.1", "--port", sim.device()});
    QString trace;
    for (int waited = 0; !trace.contains("end of session 1") && waited < 20000 && !sim.endsWithin(20); waited += 20)
        trace += QString::fromUtf8(sim.errorOutput());
    const CliRun second = cli(install({"--port", sim.device()}));
    const QString device = QFileInfo(sim.device()).canonicalFilePath();
    EXPECT_TRUE(second.status == 1 && second.out.startsWith(kOpenError + device + " is in use by another update ("))
        << second.out;
    EXPECT_TRUE(first.waitForFinished(30000) && first.exitCode() == 0) << first.readAllStandardOutput().data();
    EXPECT_TRUE((trace + traceOf(sim)).contains("2 file(s) received, 0 problem(s)")) << trace;

    const QString locks = f + "locks";
    ASSERT_TRUE(QDir().mkpath(locks));
    const std::pair<QByteArray, QString> cases[] = {
        {QByteArray::number(qint64(::getpid())).rightJustified(10) + " tester\n",
         "@ is held by another program (process " + QString::number(::getpid())},
        {"", ""},
        {"999999999\nmirdal-cli\n", ""},
        {"ro", "cannot lock @ for the update: " + locks}};
    for (const auto& [content, refusal] : cases) {
        SimProcess again;
        ASSERT_TRUE(started(again, f));
        const QString path = QFileInfo(again.device()).canonicalFilePath();
        const QString lock = "/var/lock/LCK.." + QString(path).mid(5).replace('/', '_');
        const bool readOnly = content == "ro";
        QFile file(lock);
        ASSERT_TRUE(readOnly || (file.open(QIODevice::WriteOnly) && file.write(content) == content.size()));
        file.close();
        const timeval old[2] = {{1000, 0}, {1000, 0}};
        ::utimes(qPrintable(lock), old);
        if (readOnly && ::mount("tmpfs", qPrintable(locks), "tmpfs", MS_RDONLY, "") != 0)
            GTEST_SKIP() << "cannot mount a read-only tmpfs (root only): " << std::strerror(errno);
        qputenv("MIRDAL_LOCK_DIR", locks.toUtf8());
        const CliRun run = cli(install({"--port", again.device()}));
        qunsetenv("MIRDAL_LOCK_DIR");
        EXPECT_TRUE(run.out.startsWith(refusal.isEmpty() ? kSuccess : kOpenError + QString(refusal).replace('@', path)))
            << content.data() << ": " << run.out;
        EXPECT_EQ(QFile::exists(lock), content.startsWith(' ')) << content.data();
        QFile::remove(lock);
        if (readOnly)
            ::umount2(qPrintable(locks), MNT_DETACH);
    }

    const Pty pty;
    if (!QFileInfo("/dev/ttyS0").exists() || ::geteuid() != 0)
        GTEST_SKIP() << "no /dev/ttyS0 to bind a pseudo-terminal over, or not root";
    const CliRun both =
        cli({"-m", "sh", "-c", "mount --bind \"$1\" /dev/ttyS0 && \"$0\" install --port \"$1\" --port ' - (ttyS0)'",
             MIRDAL_CLI, pty.path()},
            {}, "unshare");
    EXPECT_TRUE(both.status == 2 && both.err.contains("' - (ttyS0)' are the same device")) << both.err;
}

// A failure in a later batch says what the terminal installed before it.
TEST_F(InstallCommand, AFailureInALaterBatchSaysWhatWasInstalled)
{
    ASSERT_TRUE(
        writeSignedConfiguration(f, {0, {{1, 2, 3}}, {{{"one.bin", "1"}, {"two.bin", "2"}}, {{"three.bin", "3"}}}}));
    SimProcess sim;
    ASSERT_TRUE(started(sim, f, {"--fault", "varlenne:refuse:2"}));
    const CliRun run = cli(install({"--port", sim.device()}));
    EXPECT_TRUE(run.out.startsWith("Erreur varlenne\n") &&
                run.out.endsWith("\ninstalled before: batch 1: ONE.BIN, TWO.BIN\n"))
        << run.out;

    // As one JSON object on one line, the progress staying on stderr; the second batch downloaded, not activated.
    SimProcess again;
    ASSERT_TRUE(started(again, f, {"--fault", "activate:refuse:2"}));
    const CliRun json = cli(install({"--port", again.device(), "--json"}));
    QJsonParseError error{};
    const QJsonObject result = QJsonDocument::fromJson(json.out.toUtf8(), &error).object();
    ASSERT_TRUE(error.error == QJsonParseError::NoError && json.out.count('\n') == 1 && json.status == 1) << json.out;
    EXPECT_TRUE(json.err.contains("Démarrage de l'installation")) << json.err;
    const QJsonArray batches = result["batches"].toArray();
    const QJsonObject two = batches[0]["files"][1].toObject(), three = batches[1]["files"][0].toObject();
    EXPECT_EQ(QStringList({result["port"].toString(), result["outcome"].toString(), result["title"].toString(),
                           result["stage"].toString(), result["installed"].toVariant().toStringList().join(",")}),
              QStringList({again.device(), "failed", "Erreur Activation", "activation", "ONE.BIN,TWO.BIN"}));
    EXPECT_EQ(QString("%1 %2 %3 %4 %5 | %6 %7 %8")
                  .arg(batches.size())
                  .arg(batches[0]["activated"].toBool())
                  .arg(two["attempts"].toInt())
                  .arg(two["downloaded"].toBool())
                  .arg(two["installed"].toBool())
                  .arg(batches[1]["activated"].toBool())
                  .arg(three["advertised"].toBool())
                  .arg(three["installed"].toBool()),
              "2 1 1 1 1 | 0 1 0");
    EXPECT_TRUE(result["cause"].toString().startsWith("refused by the terminal") &&
                QDateTime::fromString(result["ended"].toString(), Qt::ISODateWithMs) >=
                    QDateTime::fromString(result["started"].toString(), Qt::ISODateWithMs) &&
                result["started"].toString().endsWith('Z'))
        << json.out;
}

// The simulator's line by default, as a plain UART delivers it: each byte of an answer at its own time, 10 bits at
// 9600 baud. The opening answer's six bytes cannot all be in before 5.2 ms after the request, the last five's line
// time (all at once they take well under one); a loaded machine only makes it later, never earlier.
TEST(Simulator, AnswersComeAByteAtATimeByDefault)
{
    SimProcess sim;
    QString error;
    ASSERT_TRUE(sim.start({"--quiet"}, error)) << error;
    SerialPort port;
    ASSERT_TRUE(port.open(PortChoice::device(sim.device())));
    const uint8_t opening[] = {0x2F, 0xC0, 0x04, 0x00, 0x14, 0x00, 0xC8, 0xA4, 0xFC};
    QElapsedTimer sinceRequest;
    sinceRequest.start();
    ASSERT_TRUE(port.write(opening, sizeof opening));
    QByteArray answer;
    for (uint8_t buffer[16]; answer.size() < 6;) {
        uint16_t length = sizeof buffer;
        ASSERT_TRUE(port.read(buffer, length, 1000)) << answer.toHex().constData();
        answer.append(reinterpret_cast<const char*>(buffer), length);
    }
    EXPECT_EQ(answer.toHex(' '), "2f c0 01 06 de 4b");
    EXPECT_GE(sinceRequest.nsecsElapsed(), 5200000);
}
