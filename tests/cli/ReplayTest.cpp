// Recorded sessions played back: mirdal-sim --replay gives the terminal's
// side of a committed transcript, mirdal-cli install with the sample
// configuration must send the same frames and reach the same result.
// The transcripts were recorded from mirdal-sim (transcripts/record.sh); a
// session recorded with a real terminal is checked the same way.
#include "tests/cli/CliHarness.h"
#include "tests/support/SignedConfiguration.h"
#include "transcript/Transcript.h"

#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <ostream>

namespace {

constexpr int kReplayEndMs = 20000;

QString transcript(const char* name)
{
    return QStringLiteral(MIRDAL_TRANSCRIPTS_DIR "/") + QLatin1String(name);
}

std::vector<TranscriptEntry> entriesOf(const QString& path)
{
    std::vector<TranscriptEntry> entries;
    std::string error;
    EXPECT_TRUE(readTranscriptFile(QFile::encodeName(path).toStdString(), entries, error)) << error;
    return entries;
}

const TranscriptEntry* recordedResult(const std::vector<TranscriptEntry>& entries)
{
    const auto result = std::find_if(entries.rbegin(), entries.rend(),
                                     [](const TranscriptEntry& entry) { return entry.event == "result"; });
    return result == entries.rend() ? nullptr : &*result;
}

size_t countOf(const std::vector<TranscriptEntry>& entries, const std::function<bool(const TranscriptEntry&)>& test)
{
    return static_cast<size_t>(std::count_if(entries.begin(), entries.end(), test));
}

CliRun installOn(const QString& device, const QString& configuration)
{
    return runCli(QStringLiteral("install"), {QStringLiteral("--port"), device, QStringLiteral("--config-dir"),
                                              configuration, QStringLiteral("--time-scale"), QStringLiteral("0.001")});
}

// What each committed transcript is there for.
struct Recording {
    const char* file;
    std::function<void(const std::vector<TranscriptEntry>&)> covers;
    const char* cause = nullptr; // the line under a failure's result
};

void coversTwoBatches(const std::vector<TranscriptEntry>& entries)
{
    EXPECT_EQ(countOf(entries, [](const TranscriptEntry& e) { return e.kind == "opening"; }), 2u);
    EXPECT_EQ(countOf(entries, [](const TranscriptEntry& e) { return e.kind == "activate"; }), 2u);
}

void coversResendAndRestart(const std::vector<TranscriptEntry>& entries)
{
    const Bytes resend = {0x04, 0x01, 0x33};
    EXPECT_EQ(countOf(entries,
                      [&](const TranscriptEntry& e) {
                          return e.direction == Direction::Terminal && e.bytes.size() == 32 &&
                                 std::equal(resend.begin(), resend.end(), e.bytes.begin());
                      }),
              1u);
    // PARAM.CFG, FONTS.BIN and APPLI.BIN, the first one twice.
    EXPECT_EQ(countOf(entries, [](const TranscriptEntry& e) { return e.kind == "advertise"; }), 4u);
}

void coversRefusal(const std::vector<TranscriptEntry>& entries)
{
    EXPECT_EQ(countOf(entries, [](const TranscriptEntry& e) { return e.isBlock(); }), 0u);
}

void PrintTo(const Recording& recording, std::ostream* out)
{
    *out << recording.file;
}

class Replay : public ::testing::TestWithParam<Recording> {};

} // namespace

TEST_P(Replay, SameFramesSameResult)
{
    const QString path = transcript(GetParam().file);
    const auto entries = entriesOf(path);
    GetParam().covers(entries);
    const TranscriptEntry* result = recordedResult(entries);
    ASSERT_NE(result, nullptr);

    Simulator replay({QStringLiteral("--replay"), path});
    const CliRun run = installOn(replay.device(), QStringLiteral(MIRDAL_SAMPLE_DIR));
    EXPECT_EQ(run.exitCode, result->ok ? 0 : 1) << run.err.toStdString();
    const std::string cause = GetParam().cause ? std::string("cause: ") + GetParam().cause + "\n" : std::string();
    EXPECT_EQ(run.out, QString::fromStdString(result->title + "\n" + result->text + "\n" + cause));
    EXPECT_EQ(replay.finish(kReplayEndMs), 0) << replay.trace().toStdString();
    EXPECT_TRUE(replay.trace().contains(QStringLiteral("replay complete"))) << replay.trace().toStdString();
}

INSTANTIATE_TEST_SUITE_P(Committed, Replay,
                         ::testing::Values(Recording{"two-batches.jsonl", coversTwoBatches},
                                           Recording{"resend-and-restart.jsonl", coversResendAndRestart},
                                           Recording{"refused-authorization.jsonl", coversRefusal,
                                                     "refused by the terminal (answer 03 01 00)"}),
                         [](const ::testing::TestParamInfo<Recording>& info) {
                             std::string name = info.param.file;
                             name = name.substr(0, name.find('.'));
                             name.erase(std::remove(name.begin(), name.end(), '-'), name.end());
                             return name;
                         });

// Another package than the one recorded: the replay names the first frame
// that differs, and the update does not pass.
TEST(ReplayMismatch, AnotherPackageIsCaughtAtItsAdvertisement)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString folder = dir.path() + QLatin1Char('/');
    ConfigurationSpec layout;
    layout.hardware = {{0x4D, 0x31, 0x30}}; // the recorded terminal's
    layout.batches = {{{QStringLiteral("PARAM.CFG"), QByteArray("another parameter file")}}};
    if (!writeSignedConfiguration(folder, layout))
        GTEST_SKIP() << "the build's signing key holds no private half";

    Simulator replay({QStringLiteral("--replay"), transcript("two-batches.jsonl")});
    const CliRun run = installOn(replay.device(), folder);
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(replay.finish(kReplayEndMs), 1);
    EXPECT_TRUE(replay.trace().contains(QStringLiteral("(advertise, line 12): byte 7 differs")))
        << replay.trace().toStdString();
    EXPECT_TRUE(replay.trace().contains(QStringLiteral("replay failed after 4 of 58 frame(s)")))
        << replay.trace().toStdString();
}

TEST(ReplayMismatch, UnreadableTranscriptIsAUsageError)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString path = dir.path() + QStringLiteral("/bad.jsonl");
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("{\"t\":0,\"dir\":\"pc\",\"kind\":\"opening\",\"hex\":\"2F C0\"}\n{\"t\":1}\n");
    file.close();

    QProcess sim;
    sim.start(QStringLiteral(MIRDAL_SIM), {QStringLiteral("--replay"), path});
    ASSERT_TRUE(sim.waitForFinished(10000));
    EXPECT_EQ(sim.exitCode(), 2);
    EXPECT_TRUE(QString::fromUtf8(sim.readAllStandardError())
                    .contains(QStringLiteral("bad.jsonl: line 2: \"dir\" must be a string")));
    EXPECT_TRUE(sim.readAllStandardOutput().isEmpty());
}
