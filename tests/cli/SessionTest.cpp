// mirdal-cli check; whole updates with their transcripts; the committed
// transcripts replayed; several terminals at once.
#include "tests/cli/Cli.h"
#include "transcript/Transcript.h"

namespace {

std::vector<TranscriptEntry> entriesOf(const QString& path)
{
    std::vector<TranscriptEntry> entries;
    std::string error;
    EXPECT_TRUE(readTranscriptFile(QFile::encodeName(path).toStdString(), entries, error)) << error;
    return entries;
}

// The lines of `check`'s report but the first, which names the folder.
QStringList report(const QString& folder, int status)
{
    const CliRun check = cli({"check", "--config-dir", folder});
    EXPECT_EQ(check.status, status) << check.out;
    return check.out.split('\n', Qt::SkipEmptyParts).mid(1);
}

} // namespace

TEST(CheckCommand, SampleConfigurationIsReadyWithItsDuration)
{
    // Wire: 2 batches of 369 bytes, 3 files of 224 bytes, 35 blocks of 160: 7010 bytes, 7.3 s.
    // Fixed: 2 x (4000 + 20000 + 10 + 10 + 35000) and 3 x 600 ms: 119.84 s.
    EXPECT_EQ(
        report(MIRDAL_SAMPLE_CONFIGURATION, 0),
        QStringList({"Signature: valid", "Terminal: Terminal M10, restart wait 35.0 s", "Picture: terminal.png",
                     "Accepted hardware: M10.HTM, identification 4D 31 30 \"M10\"", "Batch 1 (id 1): 2 files",
                     "  PARAM.CFG: 21 bytes, 1 block", "  FONTS.BIN: 489 bytes, 5 blocks", "Batch 2 (id 2): 1 file",
                     "  APPLI.BIN: 3500 bytes, 29 blocks",
                     "Expected duration at 9600 baud: 2 min 7.1 s (7.3 s on the line, 1 min 59.8 s of fixed waits)",
                     "  plus 83 ms per application installed on the terminal (a 50 ms pause and a 32-byte answer), "
                     "in each batch: the terminal's list is not known before it is read",
                     "Ready to install: 3 files in 2 batches, 0 warnings"}));
}

// Lines of the report for configuration.xml refused (none: missing); like the
// program, the check reads nothing that an unsigned file names (app.bin).
TEST(CheckCommand, RefusedConfigurationsEndWithStatusThree)
{
    REQUIRE_SIGNING_KEY();
    ConfigFolder folder;
    ASSERT_TRUE(writePackage(folder.path(), "app"));
    ASSERT_TRUE(QFile::remove(folder.file("app.bin")));
    const QByteArray xml = folder.read("configuration.xml"), header = "<?xml version=\"1.0\"?>\n<configuration>\n";
    const QString unsigned_ = "error: the signature does not match configuration.xml: the program refuses it",
                  unreadable = "error: configuration.xml is missing or cannot be read";
    const std::pair<QByteArray, QStringList> cases[] = {
        {QByteArray(xml).replace("Test terminal", "Best terminal"),
         {"Signature: does not match", unsigned_, "Not ready: 1 error, 0 warnings"}},
        {header + "<batch id=\"1\"><file>app.bin</file></batch>\n</configuration>\n", {unsigned_}}, // no signature
        {signedWith(header + "<batch id=\"1\"><file>../outside.bin</file></batch></configuration>",
                    buildSigningKey().key),
         {"error: configuration.xml names a file outside its folder: the program refuses it"}},
        {header + QByteArray(256 * 1024, ' ') + "</configuration>", {unreadable + " (larger than 262144 bytes)"}},
        {{}, {unreadable}},
    };
    for (const auto& [bytes, expected] : cases) {
        bytes.isEmpty() ? void(QFile::remove(folder.file("configuration.xml")))
                        : folder.write("configuration.xml", bytes);
        const QString lines = report(folder.path(), 3).join('\n') + '\n';
        for (const QString& line : expected)
            EXPECT_TRUE(lines.contains(line + '\n')) << line << "\nin:\n" << lines;
        EXPECT_FALSE(lines.contains("app.bin")) << lines;
    }
}

// The one whole update of a single terminal here: its port from MIRDAL_PORT,
// its progress, no log line without --verbose, the release frames after the
// dialogue; every write of its transcript fails, as on a full disk: one line
// and status 4, the update done all the same.
TEST(Transcripts, TranscriptThatCannotBeWrittenWholeIsReported)
{
    ConfigFolder folder;
    ASSERT_TRUE(writePackage(folder.path(), "content"));
    SimProcess sim;
    ASSERT_TRUE(started(sim, folder.path()));
    qputenv("MIRDAL_PORT", sim.device().toLocal8Bit());
    const CliRun install =
        cli({"install", "--config-dir", folder.path(), "--time-scale", "0.001", "--trace", "/dev/full"});
    qunsetenv("MIRDAL_PORT");
    EXPECT_EQ(install.status, 4) << install.err;
    EXPECT_EQ(install.out, kSuccess);
    EXPECT_TRUE(install.err.contains("the transcript '/dev/full' is incomplete: No space left on device\n") &&
                install.err.count("transcript") == 1)
        << install.err;
    EXPECT_TRUE(install.err.contains("[ 60%] Téléchargement des fichiers en cours (1/1)\n") &&
                install.err.contains("[100%] Installation réalisée avec succès\n"))
        << install.err;
    for (const char* line : {"Configuration::load searching in ", "Model::sendInfo advertise file", "START 0"})
        EXPECT_FALSE(install.err.contains(line)) << install.err;
    const QString trace = traceOf(sim);
    const int end = trace.indexOf("end of session 1");
    EXPECT_EQ(sim.stop(), 0);
    EXPECT_TRUE(trace.contains("1 file(s) received, 0 problem(s)") && end > 0 &&
                trace.indexOf("first release frame", end) > end && trace.indexOf("second release frame", end) > end)
        << trace;
}

// The committed sessions, played back by mirdal-sim --replay against
// mirdal-cli and the sample configuration: the same frames, the same result.
TEST(Replay, CommittedTranscriptsGiveTheSameFramesAndResult)
{
    const std::pair<const char*, const char*> cases[] = {
        {"two-batches", "2 3 35 0 ok"},        // openings, advertisements, blocks, resend answers; result
        {"resend-and-restart", "2 4 37 1 ok"}, // a block asked for again; PARAM.CFG's final answer refused
        {"refused-authorization", "1 1 0 0 cause: refused by the terminal (answer 03 01 00)\n"},
    };
    for (const auto& [name, covers] : cases) {
        const QString path = MIRDAL_TRANSCRIPTS_DIR "/" + QString(name) + ".jsonl";
        const auto entries = entriesOf(path);
        ASSERT_TRUE(!entries.empty() && entries.back().event == "result") << name;
        std::array<int, 4> counts{};
        for (const TranscriptEntry& e : entries) {
            counts[0] += e.kind == "opening";
            counts[1] += e.kind == "advertise";
            counts[2] += e.isBlock();
            counts[3] += e.bytes.size() == 32 && Bytes(e.bytes.begin(), e.bytes.begin() + 3) == Bytes{4, 1, 0x33};
        }
        SimProcess replay;
        QString error;
        ASSERT_TRUE(replay.start({"--replay", path}, error)) << error;
        const CliRun install = cli({"install", "--port", replay.device(), "--config-dir", MIRDAL_SAMPLE_CONFIGURATION,
                                    "--time-scale", "0.001"});
        QString result = QString("%1 %2 %3 %4 ").arg(counts[0]).arg(counts[1]).arg(counts[2]).arg(counts[3]);
        result += install.status == 0 ? "ok" : install.out.mid(install.out.indexOf("cause: "));
        EXPECT_EQ(result, covers) << install.err;
        EXPECT_EQ(install.out.left(install.out.indexOf("cause: ")),
                  QString::fromStdString(entries.back().title + "\n" + entries.back().text + "\n"));
        EXPECT_TRUE(replay.endsWithin(20000));
        const QString trace = traceOf(replay);
        EXPECT_TRUE(replay.stop() == 0 && trace.contains("replay complete")) << trace;
    }
}

// Four terminals at once, paced like real lines so that they overlap, the
// third refusing every download: the others are not disturbed. Every port's
// result in order, its progress and log lines named, its own transcript,
// with never a run of 4 bytes of the package in it.
TEST(SeveralTerminals, OneOfFourFailsTheOthersAreUpdated)
{
    ConfigFolder folder;
    QByteArray content = "CONFIDENTIAL-PACKAGE-CONTENT-";
    for (uint32_t seed = 20240611; content.size() < 1220;) // ten blocks; no zero byte, which padding has
        content += char(1 + (seed = seed * 1103515245 + 12345) % 255);
    ASSERT_TRUE(writePackage(folder.path(), content));
    SimProcess terminals[4];
    QStringList args{"install", "--config-dir", folder.path(), "--time-scale",
                     "0.001",   "--verbose",    "--trace",     folder.file("run.jsonl")};
    for (int i = 0; i < 4; ++i) {
        ASSERT_TRUE(
            started(terminals[i], folder.path(), {"--baud", "9600", "--quiet", "--fail-download", i == 2 ? "4" : "0"}));
        args << "--port" << terminals[i].device();
    }
    const CliRun install = cli(args);
    EXPECT_EQ(install.status, 1);
    const QString notLoaded = "Erreur chargement\nLe fichier : APP.BIN ne peut pas être chargé dans le terminal.\n"
                              "Veuillez contacter le support.\ncause: refused by the terminal (answer 04 01 00)\n";
    QString expected;
    for (int i = 0; i < 4; ++i) {
        const QString device = terminals[i].device(), trace = traceOf(terminals[i]);
        expected += device + "\n" + (i == 2 ? notLoaded : kSuccess);
        const int started = install.err.indexOf(device + ": [ 60%] Téléchargement des fichiers"); // before any end
        EXPECT_TRUE(started >= 0 && started < install.err.indexOf("[100%]")) << install.err;
        EXPECT_TRUE(install.err.contains(device + ": Model::sendInfo advertise file APP.BIN of size 1220\n"));
        EXPECT_EQ(terminals[i].stop(), 0) << trace;
        EXPECT_TRUE(trace.contains(QString("%1 file(s) received, 0 problem(s)").arg(i == 2 ? 0 : 1))) << trace;
        const QString path = folder.file("run-" + device.mid(5).replace('/', '-') + ".jsonl");
        const QByteArray text = folder.read("run-" + device.mid(5).replace('/', '-') + ".jsonl");
        for (int at = 0; at + 4 <= content.size(); ++at) {
            const auto* run4 = reinterpret_cast<const uint8_t*>(content.constData()) + at;
            ASSERT_FALSE(text.contains(content.mid(at, 4)) || text.contains(hexBytes(run4, 4).c_str())) << at;
        }
        QString kinds;
        const auto entries = entriesOf(path);
        for (const TranscriptEntry& entry : entries)
            kinds += entry.direction == Direction::Pc ? QString::fromStdString(entry.kind + " ") : "";
        if (i != 2) {
            EXPECT_EQ(kinds, "opening varlenne hardware list advertise authorize download-start " +
                                 QString("block ").repeated(10) + "activate release release-1 release-2 ");
        }
        const TranscriptEntry& beforeLast = entries[entries.size() - 2];
        EXPECT_TRUE(QString::fromStdString(entries.front().port).endsWith("(" + device.mid(5) + ")")) << device;
        EXPECT_EQ(beforeLast.event + ": " + beforeLast.text + entries.back().event,
                  i == 2 ? "cause: refused by the terminal (answer 04 01 00)result" : "close: result");
    }
    EXPECT_EQ(install.out, expected);
    EXPECT_FALSE(QFile::exists(folder.file("run.jsonl")));
}
