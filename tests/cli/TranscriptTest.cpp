// mirdal-cli install --trace: the session transcript of every terminal,
// checked against what was sent; never a byte of package content in it.
#include "tests/cli/CliHarness.h"
#include "tests/support/SignedConfiguration.h"
#include "transcript/Transcript.h"

#include "protocol/Framing.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <random>

namespace {

const char* const kSuccessTitle = "Installation réalisée avec succès";
const char* const kSuccessText = "Le terminal a été correctement mis à jour.";

// Package content that is easy to spot in a file: a marker text, then bytes
// from a fixed pseudo-random sequence (none zero, so that no run of it
// looks like the zero padding of a frame).
QByteArray spottableContent(int size)
{
    const QByteArray marker = "CONFIDENTIAL-PACKAGE-CONTENT-";
    QByteArray content;
    std::mt19937 random(20240611);
    while (content.size() < size) {
        content += marker;
        for (int i = 0; i < 100; ++i)
            content += static_cast<char>(1 + random() % 255);
    }
    return content.left(size);
}

std::string readAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll().toStdString() : std::string();
}

std::vector<TranscriptEntry> readEntries(const QString& path)
{
    std::vector<TranscriptEntry> entries;
    std::string error;
    EXPECT_TRUE(readTranscriptFile(QFile::encodeName(path).toStdString(), entries, error)) << error;
    return entries;
}

std::vector<std::string> pcKinds(const std::vector<TranscriptEntry>& entries)
{
    std::vector<std::string> kinds;
    for (const TranscriptEntry& entry : entries) {
        if (entry.direction == Direction::Pc)
            kinds.push_back(entry.kind);
    }
    return kinds;
}

// The transcript's name for a device given by its path, with several ports.
QString transcriptOf(const QString& base, const QString& device)
{
    QString tag = device.mid(QStringLiteral("/dev/").size());
    tag.replace(QLatin1Char('/'), QLatin1Char('-'));
    return base + QLatin1Char('-') + tag + QStringLiteral(".jsonl");
}

class Transcripts : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir.isValid());
        folder = dir.path() + QLatin1Char('/');
    }
    void writeConfiguration(const QByteArray& content)
    {
        ConfigurationSpec layout;
        layout.batches = {{{QStringLiteral("app.bin"), content}}};
        if (!writeSignedConfiguration(folder, layout))
            GTEST_SKIP() << "the build's signing key holds no private half";
    }
    CliRun install(const QStringList& devices, const QString& trace)
    {
        QStringList args;
        for (const QString& device : devices)
            args << QStringLiteral("--port") << device;
        return runCli(QStringLiteral("install"), args << QStringLiteral("--config-dir") << folder
                                                      << QStringLiteral("--time-scale") << QStringLiteral("0.001")
                                                      << QStringLiteral("--trace") << trace);
    }

    QTemporaryDir dir;
    QString folder;
};

} // namespace

TEST_F(Transcripts, WholeSessionWithBlocksButNoPayload)
{
    const QByteArray content = spottableContent(1000);
    writeConfiguration(content);
    Simulator sim(terminalFor(folder) << QStringLiteral("--quiet"));
    const QString path = folder + QStringLiteral("session.jsonl");
    const CliRun run = install({sim.device()}, path);
    ASSERT_EQ(run.exitCode, 0) << run.out.toStdString();
    EXPECT_EQ(sim.stop(), 0) << sim.trace().toStdString();

    // Not a run of 4 content bytes in the file, as text or in hexadecimal.
    const std::string text = readAll(path);
    ASSERT_FALSE(text.empty());
    for (int i = 0; i + 4 <= content.size(); ++i) {
        const auto* run4 = reinterpret_cast<const uint8_t*>(content.constData()) + i;
        ASSERT_EQ(text.find(content.mid(i, 4).toStdString()), std::string::npos) << "content at " << i;
        ASSERT_EQ(text.find(hexBytes(run4, 4)), std::string::npos) << "content at " << i;
    }

    const auto entries = readEntries(path);
    ASSERT_GE(entries.size(), 2u);
    EXPECT_EQ(entries.front().event, "open");
    EXPECT_TRUE(entries.front().ok);
    EXPECT_EQ(entries.back().event, "result");
    EXPECT_TRUE(entries.back().ok);
    EXPECT_EQ(entries.back().title, kSuccessTitle);
    EXPECT_EQ(entries.back().text, kSuccessText);

    const std::vector<std::string> blocks(9, "block"); // 1000 bytes: 8 blocks of 122, one of 24
    std::vector<std::string> expected = {"opening",   "varlenne",  "hardware",      "list",
                                         "advertise", "authorize", "download-start"};
    expected.insert(expected.end(), blocks.begin(), blocks.end());
    expected.insert(expected.end(), {"activate", "release", "release-1", "release-2"});
    EXPECT_EQ(pcKinds(entries), expected);

    // Each block line names the block the terminal received: its number,
    // count and CRC agree with the frame built from the content.
    int sent = 0;
    uint16_t number = 0;
    for (const TranscriptEntry& entry : entries) {
        if (!entry.isBlock())
            continue;
        const int count = std::min(122, content.size() - sent);
        const BlockFrame frame = blockFrame(number, reinterpret_cast<const uint8_t*>(content.constData()) + sent,
                                            static_cast<uint16_t>(count));
        EXPECT_EQ(entry.block, number);
        EXPECT_EQ(entry.count, count);
        EXPECT_EQ(entry.crc[0], frame[kBlockCrcOffset]);
        EXPECT_EQ(entry.crc[1], frame[kBlockCrcOffset + 1]);
        EXPECT_TRUE(entry.bytes.empty());
        sent += count;
        ++number;
    }
    EXPECT_EQ(sent, content.size());
}

TEST_F(Transcripts, FailureIsRecordedWithItsResult)
{
    writeConfiguration("content");
    Simulator sim(terminalFor(folder) << QStringLiteral("--quiet") << QStringLiteral("--refuse-authorization"));
    const QString path = folder + QStringLiteral("refused.jsonl");
    const CliRun run = install({sim.device()}, path);
    EXPECT_EQ(run.exitCode, 1);

    const auto entries = readEntries(path);
    ASSERT_FALSE(entries.empty());
    EXPECT_EQ(entries.back().event, "result");
    EXPECT_FALSE(entries.back().ok);
    EXPECT_EQ(entries.back().title, "Erreur autorisation");
    // Its cause just before it, as printed under it.
    const TranscriptEntry& cause = entries[entries.size() - 2];
    EXPECT_EQ(cause.event, "cause");
    EXPECT_EQ(cause.stage, "authorization of APP.BIN");
    EXPECT_EQ(
        QString::fromStdString(entries.back().title + "\n" + entries.back().text + "\ncause: " + cause.text + "\n"),
        run.out);
    // The refusal as the terminal gave it, right after the request.
    const auto authorize = std::find_if(entries.begin(), entries.end(),
                                        [](const TranscriptEntry& entry) { return entry.kind == "authorize"; });
    ASSERT_NE(authorize, entries.end());
    const TranscriptEntry& answer = *(authorize + 1);
    EXPECT_EQ(answer.answering, "authorize");
    EXPECT_EQ(Bytes(answer.bytes.begin(), answer.bytes.begin() + 3), (Bytes{0x03, 0x01, 0x00}));
    EXPECT_EQ(pcKinds(entries).back(), "release-2");
}

TEST_F(Transcripts, SeveralPortsWriteOneTranscriptEach)
{
    writeConfiguration("content");
    Simulator first(terminalFor(folder) << QStringLiteral("--quiet"));
    Simulator second(terminalFor(folder) << QStringLiteral("--quiet") << QStringLiteral("--refuse-activation"));
    const CliRun run = install({first.device(), second.device()}, folder + QStringLiteral("run.jsonl"));
    EXPECT_EQ(run.exitCode, 1);

    EXPECT_FALSE(QFile::exists(folder + QStringLiteral("run.jsonl")));
    const auto firstEntries = readEntries(transcriptOf(folder + QStringLiteral("run"), first.device()));
    const auto secondEntries = readEntries(transcriptOf(folder + QStringLiteral("run"), second.device()));
    ASSERT_FALSE(firstEntries.empty());
    ASSERT_FALSE(secondEntries.empty());
    // Each file is its own port's session, with its own result.
    EXPECT_NE(QString::fromStdString(firstEntries.front().port).indexOf(first.device().mid(5)), -1);
    EXPECT_NE(QString::fromStdString(secondEntries.front().port).indexOf(second.device().mid(5)), -1);
    EXPECT_TRUE(firstEntries.back().ok);
    EXPECT_FALSE(secondEntries.back().ok);
    EXPECT_EQ(secondEntries.back().title, "Erreur Activation");
}

TEST_F(Transcripts, TranscriptThatCannotBeWrittenStopsBeforeAnyPort)
{
    writeConfiguration("content");
    Simulator sim(terminalFor(folder));
    const CliRun run = install({sim.device()}, folder + QStringLiteral("no-such-folder/session.jsonl"));
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_TRUE(run.out.isEmpty());
    EXPECT_TRUE(run.err.contains(QStringLiteral("cannot write the transcript"))) << run.err.toStdString();
    EXPECT_EQ(sim.stop(), 0);
    EXPECT_TRUE(sim.trace().contains(QStringLiteral("0 session(s)"))) << sim.trace().toStdString();
    EXPECT_FALSE(sim.trace().contains(QStringLiteral("opening frame"))) << sim.trace().toStdString();
}

// Every write of the transcript fails, as on a full disk: the update still
// goes to its end and its release frames, one line on stderr and the exit
// status say that its record is not whole.
TEST_F(Transcripts, TranscriptThatCannotBeWrittenWholeIsReported)
{
    writeConfiguration("content");
    Simulator sim(terminalFor(folder));
    const CliRun run = install({sim.device()}, QStringLiteral("/dev/full"));
    EXPECT_EQ(run.exitCode, 4) << run.err.toStdString();
    EXPECT_EQ(run.out, QString::fromUtf8(kSuccessTitle) + QLatin1Char('\n') + QString::fromUtf8(kSuccessText) +
                           QLatin1Char('\n'));
    EXPECT_EQ(run.err.count(QStringLiteral("transcript")), 1) << run.err.toStdString();
    EXPECT_TRUE(run.err.contains(QStringLiteral("the transcript '/dev/full' is incomplete: No space left on device\n")))
        << run.err.toStdString();
    EXPECT_EQ(sim.stop(), 0);
    EXPECT_TRUE(sim.trace().contains(QStringLiteral("1 file(s) received, 0 problem(s)"))) << sim.trace().toStdString();
    EXPECT_TRUE(sim.trace().contains(QStringLiteral("second release frame"))) << sim.trace().toStdString();
}

TEST_F(Transcripts, PortsWhoseTranscriptsWouldShareAFileAreRefused)
{
    writeConfiguration("content");
    // A device and a label naming the same port name: both would write run-pts-1.
    const CliRun run =
        install({QStringLiteral("/dev/pts/1"), QStringLiteral("Serial - (pts/1)")}, folder + QStringLiteral("run"));
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_TRUE(run.err.contains(QStringLiteral("would both be written to '") + folder + QStringLiteral("run-pts-1'")))
        << run.err.toStdString();
}
