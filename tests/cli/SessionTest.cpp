// mirdal-cli check; whole updates with their transcripts; the committed transcripts replayed; several terminals.
#include "tests/cli/Cli.h"
#include "transcript/Transcript.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <csignal>

// check's report but its first two lines, which name the folder and the digest of its configuration.xml.
static QString report(const QString& folder, int status)
{
    const CliRun check = cli({"check", "--config-dir", folder});
    EXPECT_TRUE(check.status == status &&
                QRegularExpression("^Configuration: .*\nSHA-256 of configuration.xml: [0-9a-f]{64}\n")
                    .match(check.out)
                    .hasMatch())
        << check.out;
    return check.out.section('\n', 2);
}

// The log file in the state folder, $XDG_STATE_HOME (the tests' own, see TestMain).
static QString logFile(const QString& path = qEnvironmentVariable("XDG_STATE_HOME") + "/mirdal/mirdal.log")
{
    QFile file(path);
    return !path.isEmpty() && file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

// check --json's one object, with the same status as the report.
static QJsonObject findings(const QString& folder, int status)
{
    const CliRun check = cli({"check", "--config-dir", folder, "--json"});
    EXPECT_TRUE(check.status == status && check.out.count('\n') == 1) << check.out;
    return QJsonDocument::fromJson(check.out.toUtf8()).object();
}

TEST(CheckCommand, SampleConfigurationIsReadyWithItsDuration)
{
    // Wire: 2 x 369 + 3 x 224 + 35 x 160 bytes, 7.3 s; fixed: 2 x (4000 + 20000 + 10 + 10 + 35000) + 3 x 600 ms.
    EXPECT_EQ(report(MIRDAL_SAMPLE_CONFIGURATION, 0),
              "Title: Mise à jour du terminal M10\nSignature: valid\nThis build trusts the public development key: "
              "anyone holding Mirdal's source can sign "
              "a configuration it accepts. A site installs a build made with its own key.\n"
              "Terminal: Terminal M10, restart wait 35.0 s\nPicture: terminal.png\n"
              "Accepted hardware: M10.HTM, identification 4D 31 30 \"M10\"\nBatch 1 (id 1): 2 files\n"
              "  PARAM.CFG: 21 bytes, 1 block\n  FONTS.BIN: 489 bytes, 5 blocks\nBatch 2 (id 2): 1 file\n"
              "  APPLI.BIN: 3500 bytes, 29 blocks\n"
              "Expected duration at 9600 baud: 2 min 7.1 s (7.3 s on the line, 1 min 59.8 s of fixed waits)\n"
              "  plus 83 ms per application installed on the terminal (a 50 ms pause and a 32-byte answer), "
              "in each batch: the terminal's list is not known before it is read\n"
              "Ready to install: 3 files in 2 batches, 0 warnings\n");
    const QJsonObject json = findings(MIRDAL_SAMPLE_CONFIGURATION, 0);
    QStringList files;
    for (const QJsonValue batch : json["batches"].toArray())
        for (const QJsonValue file : batch["files"].toArray())
            files << QString("%1:%2 %3 %4 %5")
                         .arg(batch["id"].toInt())
                         .arg(file["name"].toString(), file["state"].toString())
                         .arg(file["bytes"].toInt())
                         .arg(file["blocks"].toInt());
    EXPECT_EQ(files.join(", "), "1:PARAM.CFG sent 21 1, 1:FONTS.BIN sent 489 5, 2:APPLI.BIN sent 3500 29");
    EXPECT_TRUE(json["ready"].toBool() && json["signature"] == "valid" && json["developmentKey"].toBool() &&
                json["errors"].toArray().isEmpty() && qRound(json["expectedSeconds"].toDouble() * 10) == 1271 &&
                json["configuration"] == QString(MIRDAL_SAMPLE_CONFIGURATION "/configuration.xml"))
        << QJsonDocument(json).toJson().constData();
}

// Each defect of a folder: the line of the report that names it, and the status: 3 the program refuses the
// configuration (the check, like it, then reads nothing the file names), 1 it would not install, 0 it would.
TEST(CheckCommand, EachDefectHasItsLineAndStatus)
{
    REQUIRE_SIGNING_KEY();
    const QByteArray head = "<?xml version=\"1.0\"?>\n<configuration>\n", skipped = QByteArray(20, 'L') + ".bin";
    const QString refused = "error: the signature does not match configuration.xml: the program refuses it\n";
    const QString batch = "error: batch 1: app.bin ", picture = "warning: the terminal picture terminal.png is missing";
    const std::tuple<std::function<void(const ConfigFolder&)>, QString, int, const char*> cases[] = {
        {[](auto& f) { f.write("configuration.xml", f.read("configuration.xml").replace("Test", "Best")); },
         "Signature: does not match\n" + refused, 3, ""},
        {[&](auto& f) { f.write("configuration.xml", head + "<batch id=\"1\"><file>app.bin</file></batch>\n</"); },
         refused, 3, ""},
        {[&](auto& f) { f.write("configuration.xml", head + QByteArray(256 * 1024, ' ')); },
         "error: configuration.xml is missing or cannot be read (larger than 262144 bytes)\n", 3, ""},
        {[](auto& f) { QFile::remove(f.file("app.bin")); }, batch + "is missing or cannot be read\n", 1, "missing"},
        {[](auto& f) { QFile::remove(f.file("app.bin")), QDir(f.path()).mkdir("app.bin"); },
         batch + "is missing or cannot be read\n", 1, "missing"},
        {[](auto& f) { f.write("app.bin", "not a container"); }, batch + "is not a well-formed container (", 1,
         "not a container"},
        {[](auto& f) { f.write("hardware0.hterm", "not a container"); },
         "error: hardware configuration hardware0.hterm: ", 1, "sent"},
        {[](auto& f) { QFile::remove(f.file("terminal.png")); }, picture + ": the window shows none\n", 0, "sent"},
        {[&](auto& f) {
             writeSignedConfiguration(f.path(), {0, {{1, 2, 3}}, {{{skipped, "app"}}}});
         },
         "warning: batch 1: " + skipped + " cannot be advertised (length field and name take 30 bytes, at most 28)", 0,
         "skipped"},
        {[](auto& f) {
             writeSignedConfiguration(f.path(), {0, {{1, 2, 3}}, {{}}});
         },
         "warning: batch 1 (id 1) has no file: the terminal is opened, activated and restarted for nothing", 0, ""},
        {[](auto& f) {
             f.write("configuration.xml",
                     f.read("configuration.xml")
                         .replace("</signature>", "</signature><batch id=\"3\"><file>E.BIN</file></batch>"));
         },
         "error: configuration.xml goes on after its signature element with more than white space "
         "and the root's end tag: the program refuses it\n",
         3, ""},
        {[](auto& f) {
             writeSignedConfiguration(f.path(), {0, {{1, 2, 3}}, {{{"文件.bin", "x"}, {"café.bin", "y"}}}});
         },
         "error: batch 1: the name 文件.bin has characters outside Latin-1", 1, ""},
    };
    for (const auto& [defect, line, status, state] : cases) {
        ConfigFolder folder;
        ASSERT_TRUE(writePackage(folder.path(), "app"));
        folder.write("terminal.png", "picture");
        defect(folder);
        const QString lines = report(folder.path(), status);
        EXPECT_TRUE(lines.contains(line) && (status < 3 || !lines.contains("app.bin"))) << line << "in:\n" << lines;
        // The same findings in the object, as the report's lines would give them.
        const QJsonObject json = findings(folder.path(), status);
        QString found = json["signature"] == "does not match" ? "Signature: does not match\n" : "";
        for (const char* kind : {"warning", "error"})
            for (const QJsonValue text : json[QString(kind) + "s"].toArray())
                found += QString("%1: %2\n").arg(kind, text.toString());
        EXPECT_TRUE(found.contains(line) && json["ready"].toBool() == (status == 0)) << line << "in:\n" << found;
        // Batch 1's first file, as check sees it.
        EXPECT_TRUE(!*state || json["batches"][0]["files"][0]["state"] == state) << line << " not " << state;
    }
}

// The one whole update of a single terminal: its port from MIRDAL_PORT, its progress, no log line without --verbose,
// the release frames after the end of the dialogue; every write of the transcript fails, as on a full disk: one line
// says so and the status is 4, the update done all the same. So it is too when nobody reads the output
// (`install ... 2>&1 | true`), or when it is closed.
TEST(Transcripts, TranscriptThatCannotBeWrittenWholeIsReported)
{
    std::signal(SIGPIPE, SIG_DFL); // as a shell leaves it: a write nobody reads ends the program
    ConfigFolder folder;
    ASSERT_TRUE(writePackage(folder.path(), "content"));
    for (const QString redirect : {"", "2>&1 | true; exit ${PIPESTATUS[0]}", ">&- 2>&-"}) {
        SimProcess sim;
        ASSERT_TRUE(started(sim, folder.path()));
        qputenv("MIRDAL_PORT", sim.device().toLocal8Bit());
        const CliRun install = cli({"-c", "\"$0\" \"$@\" " + redirect, MIRDAL_CLI, "install", "--config-dir",
                                    folder.path(), "--time-scale", "0.001", "--trace", "/dev/full"},
                                   {}, "bash");
        EXPECT_EQ(install.status, 4) << redirect;
        if (redirect.isEmpty()) {
            EXPECT_EQ(install.out, kSuccess);
            // First the port MIRDAL_PORT chose, then the configuration run (the digest checked against sha256sum).
            const QString sha256 =
                cli({"-c", "sha256sum \"$0\" | cut -c1-64", folder.file("configuration.xml")}, {}, "bash")
                    .out.trimmed();
            EXPECT_TRUE(install.err.startsWith("using the port " + sim.device() + " that MIRDAL_PORT names\n" +
                                               "mirdal-cli install: configuration " + folder.file("configuration.xml") +
                                               ", title \"Mise à jour\", SHA-256 of configuration.xml " + sha256 +
                                               "\n"))
                << install.err;
            EXPECT_TRUE(install.err.contains("[ 60%] Téléchargement des fichiers en cours (1/1)\n") &&
                        install.err.endsWith("[100%] Installation réalisée avec succès\nmirdal-cli install: the "
                                             "transcript '/dev/full' is incomplete: No space left on device\n"))
                << install.err;
            for (const char* line : {"Configuration::load searching in ", "Model::sendInfo advertise file", "START 0"})
                EXPECT_FALSE(install.err.contains(line)) << install.err;
            EXPECT_TRUE(
                logFile().contains("] info: " + sim.device() + ": Model::sendInfo advertise file APP.BIN of size 7\n"));
        }
        const QString trace = traceOf(sim);
        const int end = trace.indexOf("end of session 1");
        EXPECT_TRUE(trace.contains("1 file(s) received, 0 problem(s)") && end > 0 &&
                    trace.indexOf("first release frame", end) > end && trace.indexOf("second release frame", end) > end)
            << redirect << trace;
    }
}

// Every command's diagnostics go, time-stamped, to the log file in the user's state folder ($XDG_STATE_HOME, or
// ~/.local/state when it is unset or relative), and to stderr only when asked: install's --verbose, or the logging
// rules as Qt reads them, which decide what the file gets too. A log file that cannot be written is said once and
// changes nothing else. A row: the environment, whether stderr shows the configuration's reading, the log file that
// holds it (empty: none does).
TEST(Diagnostics, GoToTheLogFileAndToStderrWhenAsked)
{
    ConfigFolder folder;
    ASSERT_TRUE(writePackage(folder.path(), "content"));
    const QString f = folder.path(), reading = "Configuration::load searching in " + f + "\n"; // f ends with '/'
    const QString unwritable = "mirdal-cli: the log file '/dev/null/mirdal/mirdal.log' cannot be written (cannot make "
                               "the folder '/dev/null/mirdal'): diagnostics are not kept\n";
    const struct {
        QStringList environment;
        bool shown;
        QString file;
    } rows[] = {
        {{"XDG_STATE_HOME=" + f + "1"}, false, f + "1/mirdal/mirdal.log"},
        {{"XDG_STATE_HOME=state", "HOME=" + f + "home"}, false, f + "home/.local/state/mirdal/mirdal.log"},
        {{"XDG_STATE_HOME=" + f + "2", "QT_LOGGING_RULES=default.info=true"}, true, f + "2/mirdal/mirdal.log"},
        {{"XDG_STATE_HOME=" + f + "3", "QT_LOGGING_RULES=default.info=false"}, false, ""},
        {{"XDG_STATE_HOME=/dev/null"}, false, ""},
    };
    for (const auto& row : rows) {
        const CliRun check = cli(row.environment + QStringList{MIRDAL_CLI, "check", "--config-dir", f}, {}, "env");
        EXPECT_EQ(check.status, 0) << check.out;
        EXPECT_EQ(check.err.contains(reading), row.shown) << check.err;
        EXPECT_EQ(check.err == unwritable, row.environment[0].endsWith("null")) << check.err;
        EXPECT_EQ(
            QRegularExpression("(?m)^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}Z mirdal-cli\\[\\d+\\] info: " +
                               QRegularExpression::escape(reading))
                .match(logFile(row.file))
                .hasMatch(),
            !row.file.isEmpty())
            << row.environment.join(' ') << logFile(row.file);
    }
    EXPECT_EQ(logFile(f + "3/mirdal/mirdal.log"), "");
}

// The committed sessions played back by mirdal-sim --replay to mirdal-cli and the sample configuration: the same
// frames (the replay checks each), the same result as recorded.
TEST(Replay, CommittedTranscriptsGiveTheSameFramesAndResult)
{
    for (const auto& [name, out] :
         {std::pair("two-batches", kSuccess), std::pair("resend-and-restart", kSuccess),
          std::pair("refused-authorization", "Erreur autorisation\nLe fichier : PARAM.CFG n'est pas autorisé sur le "
                                             "terminal.\nVeuillez contacter le support.\ncause: refused by the "
                                             "terminal (answer 03 01 00)\n")}) {
        SimProcess replay;
        QString error;
        ASSERT_TRUE(replay.start({"--replay", MIRDAL_TRANSCRIPTS_DIR "/" + QString(name) + ".jsonl"}, error)) << error;
        const CliRun install = cli({"install", "--port", replay.device(), "--config-dir", MIRDAL_SAMPLE_CONFIGURATION,
                                    "--time-scale", "0.001"});
        EXPECT_TRUE(install.status == (QString(out) == kSuccess ? 0 : 1) && install.out == out) << name << install.out;
        EXPECT_TRUE(replay.endsWithin(20000));
        const QString trace = traceOf(replay);
        EXPECT_TRUE(replay.stop() == 0 && trace.contains("replay complete")) << trace;
    }
}

// Four terminals at once, paced like real lines so that they overlap; the second refuses every download, the third
// the file: the others are not disturbed, and the last one's success does not hide the failures. Every port's French result and its cause in order, its progress and log
// lines named, its own transcript with the cause, and never a run of 4 bytes of the package.
TEST(SeveralTerminals, TwoOfFourFailTheOthersAreUpdated)
{
    ConfigFolder folder;
    QByteArray content; // ten blocks; no zero byte, which padding has
    for (uint32_t x = 20240611; content.size() < 1220; x = x * 1103515245 + 12345)
        content += char(1 + (x >> 16) % 255);
    ASSERT_TRUE(writePackage(folder.path(), content));
    const QStringList faults[] = {{}, {"--fail-download", "4"}, {"--refuse-authorization"}, {}};
    const QString refused = "Veuillez contacter le support.\ncause: refused by the terminal (answer ";
    const QString results[] = {
        kSuccess,
        "Erreur chargement\nLe fichier : APP.BIN ne peut pas être chargé dans le terminal.\n" + refused + "04 01 00)\n",
        "Erreur autorisation\nLe fichier : APP.BIN n'est pas autorisé sur le terminal.\n" + refused + "03 01 00)\n",
        kSuccess};
    SimProcess terminals[4];
    QStringList args{"install", "--config-dir", folder.path(), "--time-scale",
                     "0.001",   "--verbose",    "--trace",     folder.file("run.jsonl")};
    for (int i = 0; i < 4; ++i) {
        ASSERT_TRUE(started(terminals[i], folder.path(), QStringList{"--baud", "9600", "--quiet"} + faults[i]));
        args << "--port" << terminals[i].device();
    }
    const CliRun install = cli(args);
    EXPECT_EQ(install.status, 1);
    QString expected;
    for (int i = 0; i < 4; ++i) {
        const QString device = terminals[i].device(), trace = traceOf(terminals[i]);
        expected += device + "\n" + results[i];
        const int started = install.err.indexOf(device + ": [ 60%] Téléchargement des fichiers"); // before any end
        EXPECT_TRUE(started >= 0 && started < install.err.indexOf("[100%]")) << install.err;
        for (const QString& log : {install.err, logFile()})
            EXPECT_TRUE(log.contains(device + ": Model::sendInfo advertise file APP.BIN of size 1220\n")) << log;
        EXPECT_TRUE(trace.contains(QString("%1 file(s) received, 0 problem(s)").arg(results[i] == kSuccess))) << trace;
        const QString name = "run-" + device.mid(5).replace('/', '-') + ".jsonl";
        const QByteArray text = folder.read(name);
        for (int at = 0; at + 4 <= content.size(); ++at) {
            const auto* run4 = reinterpret_cast<const uint8_t*>(content.constData()) + at;
            ASSERT_FALSE(text.contains(content.mid(at, 4)) || text.contains(hexBytes(run4, 4).c_str())) << at;
        }
        std::vector<TranscriptEntry> entries;
        std::string error;
        ASSERT_TRUE(readTranscriptFile(QFile::encodeName(folder.file(name)).toStdString(), entries, error)) << error;
        const TranscriptEntry& beforeLast = entries.at(entries.size() - 2); // before the result
        EXPECT_EQ(QString::fromStdString(beforeLast.event + ": " + beforeLast.text),
                  results[i] != kSuccess ? results[i].mid(results[i].indexOf("cause: ")).trimmed() : "close: ");
    }
    EXPECT_EQ(install.out, expected);
}
