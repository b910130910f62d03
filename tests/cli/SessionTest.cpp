// mirdal-cli check; whole updates with their transcripts; the committed transcripts replayed; several terminals.
#include "tests/cli/Cli.h"
#include "transcript/Transcript.h"

// check's report but its first line, which names the folder.
static QString report(const QString& folder, int status)
{
    const CliRun check = cli({"check", "--config-dir", folder});
    EXPECT_EQ(check.status, status) << check.out;
    return check.out.mid(check.out.indexOf('\n') + 1);
}

TEST(CheckCommand, SampleConfigurationIsReadyWithItsDuration)
{
    // Wire: 2 x 369 + 3 x 224 + 35 x 160 bytes, 7.3 s; fixed: 2 x (4000 + 20000 + 10 + 10 + 35000) + 3 x 600 ms.
    EXPECT_EQ(report(MIRDAL_SAMPLE_CONFIGURATION, 0),
              "Signature: valid\nTerminal: Terminal M10, restart wait 35.0 s\nPicture: terminal.png\n"
              "Accepted hardware: M10.HTM, identification 4D 31 30 \"M10\"\nBatch 1 (id 1): 2 files\n"
              "  PARAM.CFG: 21 bytes, 1 block\n  FONTS.BIN: 489 bytes, 5 blocks\nBatch 2 (id 2): 1 file\n"
              "  APPLI.BIN: 3500 bytes, 29 blocks\n"
              "Expected duration at 9600 baud: 2 min 7.1 s (7.3 s on the line, 1 min 59.8 s of fixed waits)\n"
              "  plus 83 ms per application installed on the terminal (a 50 ms pause and a 32-byte answer), "
              "in each batch: the terminal's list is not known before it is read\n"
              "Ready to install: 3 files in 2 batches, 0 warnings\n");
}

// A line of the report on configuration.xml refused; like the program, the check reads nothing an unsigned file names.
TEST(CheckCommand, RefusedConfigurationsEndWithStatusThree)
{
    REQUIRE_SIGNING_KEY();
    ConfigFolder folder;
    ASSERT_TRUE(writePackage(folder.path(), "app") && QFile::remove(folder.file("app.bin")));
    const QByteArray xml = folder.read("configuration.xml"), head = "<?xml version=\"1.0\"?>\n<configuration>\n";
    const char* const refused = "error: the signature does not match configuration.xml: the program refuses it\n";
    const std::pair<QByteArray, QString> cases[] = {
        {QByteArray(xml).replace("Test terminal", "Best terminal"), QString("Signature: does not match\n") + refused},
        {head + "<batch id=\"1\"><file>app.bin</file></batch>\n</configuration>\n", refused}, // no signature
        {QByteArray(xml).replace("</signature>", "</signature><batch id=\"3\"><file>EVIL.BIN</file></batch>"),
         "Signature: valid\nerror: configuration.xml goes on after its signature element with more than white space "
         "and the root's end tag: the program refuses it\n"},
        {head + QByteArray(256 * 1024, ' ') + "</configuration>",
         "error: configuration.xml is missing or cannot be read (larger than 262144 bytes)\n"},
    };
    for (const auto& [bytes, line] : cases) {
        folder.write("configuration.xml", bytes);
        const QString lines = report(folder.path(), 3);
        EXPECT_TRUE(lines.contains(line) && !lines.contains("app.bin")) << line << "in:\n" << lines;
    }
}

// A name the terminal cannot receive, outside Latin-1, is an error (before: no word, and "??.BIN" on the wire).
TEST(CheckCommand, NamesOutsideLatin1AreErrors)
{
    REQUIRE_SIGNING_KEY();
    ConfigFolder folder;
    ASSERT_TRUE(writeSignedConfiguration(folder.path(), {0, {{1, 2, 3}}, {{{"文件.bin", "x"}, {"café.bin", "y"}}}}));
    const QString lines = report(folder.path(), 1);
    EXPECT_TRUE(lines.contains("error: batch 1: the name 文件.bin has characters outside Latin-1") &&
                !lines.contains("café.bin has"))
        << lines;
}

// The one whole update of a single terminal: its port from MIRDAL_PORT, its progress, no log line without --verbose,
// the release frames after the end of the dialogue; every write of the transcript fails, as on a full disk: one line
// says so and the status is 4, the update done all the same.
TEST(Transcripts, TranscriptThatCannotBeWrittenWholeIsReported)
{
    ConfigFolder folder;
    SimProcess sim;
    ASSERT_TRUE(writePackage(folder.path(), "content") && started(sim, folder.path()));
    qputenv("MIRDAL_PORT", sim.device().toLocal8Bit());
    const CliRun install =
        cli({"install", "--config-dir", folder.path(), "--time-scale", "0.001", "--trace", "/dev/full"});
    EXPECT_TRUE(install.status == 4 && install.out == kSuccess) << install.out << install.err;
    EXPECT_TRUE(install.err.contains("[ 60%] Téléchargement des fichiers en cours (1/1)\n") &&
                install.err.endsWith("[100%] Installation réalisée avec succès\nmirdal-cli install: the transcript "
                                     "'/dev/full' is incomplete: No space left on device\n"))
        << install.err;
    for (const char* line : {"Configuration::load searching in ", "Model::sendInfo advertise file", "START 0"})
        EXPECT_FALSE(install.err.contains(line)) << install.err;
    const QString trace = traceOf(sim);
    const int end = trace.indexOf("end of session 1");
    EXPECT_TRUE(trace.contains("1 file(s) received, 0 problem(s)") && end > 0 &&
                trace.indexOf("first release frame", end) > end && trace.indexOf("second release frame", end) > end)
        << trace;
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

// Four terminals at once, paced like real lines so that they overlap; the second refuses every download, the fourth
// the file: the others are not disturbed. Every port's French result and its cause in order, its progress and log
// lines named, its own transcript with the cause, and never a run of 4 bytes of the package.
TEST(SeveralTerminals, OneOfFourFailsTheOthersAreUpdated)
{
    ConfigFolder folder;
    QByteArray content; // ten blocks; no zero byte, which padding has
    for (uint32_t x = 20240611; content.size() < 1220; x = x * 1103515245 + 12345)
        content += char(1 + (x >> 16) % 255);
    ASSERT_TRUE(writePackage(folder.path(), content));
    const QStringList faults[] = {{}, {"--fail-download", "4"}, {}, {"--refuse-authorization"}};
    const QString refused = "Veuillez contacter le support.\ncause: refused by the terminal (answer ";
    const QString results[] = {
        kSuccess,
        "Erreur chargement\nLe fichier : APP.BIN ne peut pas être chargé dans le terminal.\n" + refused + "04 01 00)\n",
        kSuccess,
        "Erreur autorisation\nLe fichier : APP.BIN n'est pas autorisé sur le terminal.\n" + refused + "03 01 00)\n"};
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
        EXPECT_TRUE(install.err.contains(device + ": Model::sendInfo advertise file APP.BIN of size 1220\n"));
        EXPECT_TRUE(trace.contains(QString("%1 file(s) received, 0 problem(s)").arg(i % 2 ? 0 : 1))) << trace;
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
                  i % 2 ? results[i].mid(results[i].indexOf("cause: ")).trimmed() : "close: ");
    }
    EXPECT_EQ(install.out, expected);
}
