// A terminal that misbehaves at every stage of the scenario, in every way:
// the simulated terminal commits one fault (mirdal-sim --fault), the Model
// installs the sample configuration on it in this process, then installs it
// again on a healthy terminal. Each cell checks that the faulty run ends
// within the bound, with the outcome the protocol rules give, with the port
// closed, and that the next installation in the same process succeeds.
//
// With MIRDAL_FAULT_RESULTS set to a file, every cell appends one line to it:
//   stage:kind[:arg] | expected | observed | seconds | pass | why
// where seconds is the faulty run's time and pass covers the whole cell.
// (tools/fault-matrix.sh turns these lines into the table of the docs).
#include "tests/support/SimProcess.h"

#include <QCoreApplication>
#include <QFile>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <thread>

namespace {

// Every faulty run must end within this bound. The longest legitimate
// failure is a download that meets silence four times (the first attempt
// and three restarts), each ended by the 10 s bound of a read that waits
// for a whole answer: about 41 s. A run beyond the bound is a hang; the
// test then aborts, since a blocked thread cannot be taken back.
constexpr int kFaultyBoundSeconds = 90;
constexpr int kHealthyBoundSeconds = 60;

const char* const kSuccess = "Installation réalisée avec succès";

// The scenario's failure pairs, by title: the text (or its beginning for the
// texts that name a file).
struct Pair {
    const char* title;
    const char* text;
};
const Pair kPairs[] = {
    {"Erreur ouverture",
     "Le terminal sélectionné n'est pas disponible.\nVeuillez fermer toutes les applications ou contacter le support."},
    {"Erreur initialisation", "Le terminal ne peut pas être initialisé.\nVeuillez contacter le support."},
    {"Erreur varlenne", "L'application \"Varlenne\" n'est pas installée sur le terminal.\n"},
    {"Erreur HTerminal",
     "La configuration matérielle du terminal ne peut pas être lue.\nVeuillez contacter le support."},
    {"Erreur cohérence HTerminal", "La configuration matérielle du terminal ne correspond pas au package à "
                                   "installer.\nVeuillez contacter le support."},
    {"Erreur liste applications", "La liste des applications ne peut pas être lue.\nVeuillez contacter le support."},
    {"Erreur Information", "Le fichier : "},
    {"Erreur autorisation", "Le fichier : "},
    {"Erreur chargement", "Le fichier : "},
    {"Erreur Activation",
     "Les fichiers ne peuvent pas être installés sur le terminal.\nVeuillez contacter le support."},
    {kSuccess, "Le terminal a été correctement mis à jour."},
};

struct Cell {
    const char* stage;
    const char* kind;
    const char* arg;       // "" when none
    const char* expected;  // the title the run must end with; "A|B" when the
                           // protocol leaves the order of bytes and reads open
    const char* why;       // the protocol rule that gives it
    const char* line = ""; // more simulator options ("--baud 9600": paced like a real line)
};

// Reasons shared by many cells.
const char* const kFails = "the answer fails the stage's test; that stage's pair";
const char* const kSilent = "nothing within the stage's wait; that stage's pair";
const char* const kRetried = "the download fails each of its four attempts; the retries are spent";
const char* const kGone = "the device is gone; the stage fails";
const char* const kGoneRetry = "the download fails, its retry starts with an advertisement the gone device cannot take";
const char* const kLeftover =
    "the junk bytes push the answer's tail into the input, which is cleared before the retry's advertisement: each "
    "attempt fails on its own junk and the retries are spent";
const char* const kWholeRead = "a read that waits for a whole answer gathers both halves";
const char* const kFinalQueued =
    "block 0 is PARAM.CFG's only block: the terminal took it and queued its final confirmation behind the damaged "
    "answer; the input is cleared before the retry's advertisement, and every attempt meets the same damage";
const char* const kReleaseIgnored = "the release's answer is not tested; the run goes on";

// Sample configuration: batch 1 = PARAM.CFG (1 block), FONTS.BIN (5 blocks);
// batch 2 = APPLI.BIN (29 blocks). Without an argument a fault hits every
// occurrence of its stage.
const Cell kCells[] = {
    // Opening: any answer of at least one byte will do, three attempts.
    {"open", "silent", "", "Erreur initialisation", "three openings without an answer"},
    {"open", "bad-crc", "", kSuccess, "the opening answer's content and CRC are not judged"},
    {"open", "bad-echo", "", kSuccess, "the opening answer's content is not judged"},
    {"open", "short", "", kSuccess, "half an answer is still at least one byte"},
    {"open", "split", "", "Erreur cohérence HTerminal|Installation réalisée avec succès",
     "on a paced line the first half is the opening answer; the late half (06 and the CRC bytes DE 4B) comes alone and "
     "is taken as the Varlenne answer, its 4B being a K; the real Varlenne answer arrives after the input was cleared "
     "and is read as the hardware record: a sealed 7-byte frame and zeros pass the 128-byte CRC, bytes 10..12 are "
     "zero. "
     "A PC slower than the line clears that answer too, and the run succeeds",
     "--baud 9600"},
    {"open", "garbage", "", kSuccess, "junk and answer arrive together and the opening takes any bytes"},
    {"open", "refuse", "", kSuccess, "a negative opening answer is still an answer; its content is not judged"},
    {"open", "vanish", "", "Erreur initialisation", kGone},
    // Varlenne start: a K before the first zero byte among at most 7 bytes.
    {"varlenne", "silent", "", "Erreur varlenne", kSilent},
    {"varlenne", "bad-crc", "", kSuccess, "slash answers are judged by content only, the K is there"},
    {"varlenne", "bad-echo", "", kSuccess, "byte 0 is not judged, the K is there"},
    {"varlenne", "short", "", "Erreur varlenne", "the first half holds no K"},
    {"varlenne", "split", "", "Erreur varlenne", "the read takes the first half, which holds no K"},
    {"varlenne", "garbage", "", "Erreur varlenne", "three junk bytes push the K beyond the 7 bytes read"},
    {"varlenne", "refuse", "", "Erreur varlenne", "bytes 3 and 4 are 01 81: no Varlenne application"},
    {"varlenne", "vanish", "", "Erreur varlenne", kGone},
    // Hardware record: 128 bytes in one read, CRC over bytes 0..125, no echo test.
    {"hardware", "silent", "", "Erreur HTerminal", kSilent},
    {"hardware", "bad-crc", "", "Erreur HTerminal", kFails},
    {"hardware", "bad-echo", "", kSuccess, "the record has no echo test and its CRC was made to match"},
    {"hardware", "short", "", "Erreur HTerminal", "64 bytes and zeros fail the CRC"},
    {"hardware", "split", "", "Erreur HTerminal", "the read takes the first half, which fails the CRC"},
    {"hardware", "garbage", "", "Erreur HTerminal", "the 128 bytes read start with junk and fail the CRC"},
    {"hardware", "refuse", "", "Erreur cohérence HTerminal",
     "a sealed 32-byte refusal followed by the buffer's zeros passes the 128-byte CRC (the CRC of a sealed frame and "
     "zeros is zero); its bytes 10..12 are zero and match no accepted hardware"},
    {"hardware", "vanish", "", "Erreur HTerminal", kGone},
    // Application list: every answer whole within 20 ms, CRC correct, byte 0 not tested.
    {"list", "silent", "", "Erreur liste applications", kSilent},
    {"list", "bad-crc", "", "Erreur liste applications", kFails},
    {"list", "bad-echo", "", kSuccess, "byte 0 of the list answers is not tested and the CRC was made to match"},
    {"list", "short", "", "Erreur liste applications", "fewer than 32 bytes"},
    {"list", "split", "", "Erreur liste applications", "the second half comes after the 20 ms of the read"},
    {"list", "garbage", "", "Erreur liste applications", "the 32 bytes read start with junk and fail the CRC"},
    {"list", "vanish", "", "Erreur liste applications", kGone},
    // Advertisement: a whole 32-byte answer, CRC, 02 01 55.
    {"advertise", "silent", "", "Erreur Information", "the whole-answer read meets 10 s of silence"},
    {"advertise", "bad-crc", "", "Erreur Information", kFails},
    {"advertise", "bad-echo", "", "Erreur Information", kFails},
    {"advertise", "short", "", "Erreur Information", "the whole-answer read gets 16 bytes, then 10 s of silence"},
    {"advertise", "split", "", kSuccess, kWholeRead},
    {"advertise", "garbage", "", "Erreur Information", "the 32 bytes read start with junk and fail the CRC"},
    {"advertise", "refuse", "", "Erreur Information", "02 01 00 is not 02 01 55"},
    {"advertise", "vanish", "", "Erreur Information", kGone},
    // Authorization: a whole 32-byte answer, CRC, 03 01 01.
    {"authorize", "silent", "", "Erreur autorisation", "the whole-answer read meets 10 s of silence"},
    {"authorize", "bad-crc", "", "Erreur autorisation", kFails},
    {"authorize", "bad-echo", "", "Erreur autorisation", kFails},
    {"authorize", "short", "", "Erreur autorisation", "the whole-answer read gets 16 bytes, then 10 s of silence"},
    {"authorize", "split", "", kSuccess, kWholeRead},
    {"authorize", "garbage", "", "Erreur autorisation", "the 32 bytes read start with junk and fail the CRC"},
    {"authorize", "refuse", "", "Erreur autorisation", "03 01 00 is a refusal"},
    {"authorize", "vanish", "", "Erreur autorisation", kGone},
    // Download start: a whole 32-byte answer, CRC, 04 01 55; a failed download is retried from its advertisement.
    {"start", "silent", "", "Erreur chargement", kRetried},
    {"start", "bad-crc", "", "Erreur chargement", kRetried},
    {"start", "bad-echo", "", "Erreur chargement", kRetried},
    {"start", "short", "", "Erreur chargement", kRetried},
    {"start", "split", "", kSuccess, kWholeRead},
    {"start", "garbage", "", "Erreur chargement", kLeftover},
    {"start", "refuse", "", "Erreur chargement", kRetried},
    {"start", "vanish", "", "Erreur Information", kGoneRetry},
    // Data blocks: a whole 32-byte answer per block, CRC, 04 01, then 55 or 33.
    {"block", "silent", "", "Erreur chargement", kRetried},
    {"block", "bad-crc", "", "Erreur chargement", kFinalQueued},
    {"block", "bad-echo", "", "Erreur chargement", kFinalQueued},
    {"block", "short", "", "Erreur chargement", kFinalQueued},
    {"block", "bad-crc", "1", "Erreur chargement", kRetried},
    {"block", "bad-echo", "1", "Erreur chargement", kRetried},
    {"block", "short", "1", "Erreur chargement", kRetried},
    {"block", "split", "", kSuccess, kWholeRead},
    {"block", "garbage", "", "Erreur chargement", kLeftover},
    {"block", "refuse", "", "Erreur chargement", kRetried},
    {"block", "vanish", "", "Erreur Information", kGoneRetry},
    {"block", "resend", "", "Erreur chargement",
     "endless resend requests: the block is given up after 16 of them, the download fails its four attempts"},
    {"block", "silent", "2", "Erreur chargement",
     "silence mid-transfer (from block 2 of FONTS.BIN): "
     "the download fails its four attempts"},
    {"block", "vanish", "2", "Erreur Information",
     "the device disappears mid-transfer; "
     "the retry's advertisement cannot be sent"},
    // Final confirmation: one read of 32 bytes within 1000 ms; a wrong CRC is only logged; 04 01 55.
    {"final", "silent", "", "Erreur chargement", kRetried},
    {"final", "bad-crc", "", kSuccess, "the one answer whose wrong CRC is tolerated (and logged)"},
    {"final", "bad-echo", "", "Erreur chargement", kRetried},
    {"final", "short", "", kSuccess, "the first half carries 04 01 55; its wrong CRC is tolerated"},
    {"final", "split", "", "Erreur Information",
     "the first half is accepted as above; its tail comes 100 ms later, after the input was cleared before the next "
     "file's advertisement (its pause is shortened here), and spoils that answer"},
    {"final", "garbage", "", "Erreur chargement", kLeftover},
    {"final", "refuse", "", "Erreur chargement", kRetried},
    {"final", "vanish", "", "Erreur Information", kGoneRetry},
    // Activation: 20 s pause after the request, then one read of 32 bytes within 1000 ms.
    {"activate", "silent", "", "Erreur Activation", kSilent},
    {"activate", "bad-crc", "", "Erreur Activation", kFails},
    {"activate", "bad-echo", "", "Erreur Activation", kFails},
    {"activate", "short", "", "Erreur Activation", "16 bytes and zeros fail the CRC"},
    {"activate", "split", "", kSuccess, "both halves arrive during the pause before the read"},
    {"activate", "garbage", "", "Erreur Activation", "the 32 bytes read start with junk and fail the CRC"},
    {"activate", "refuse", "", "Erreur Activation", "05 01 33 is not 05 01 55"},
    {"activate", "vanish", "", "Erreur Activation", kGone},
    // End of dialogue: its result is ignored, the port is closed, the terminal restarts.
    {"release", "silent", "", kSuccess, kReleaseIgnored},
    {"release", "bad-crc", "", kSuccess, kReleaseIgnored},
    {"release", "bad-echo", "", kSuccess, kReleaseIgnored},
    {"release", "short", "", kSuccess, kReleaseIgnored},
    {"release", "split", "", "Erreur cohérence HTerminal|Installation réalisée avec succès",
     "the release's answer is not tested, but its late half stays in the pseudo-terminal while the port is closed (the "
     "simulator holds the line open) and is the first thing the second batch reads: taken as the opening answer, it "
     "lets the real one be cleared (success) or, when that one comes after the clearing, read as the Varlenne answer, "
     "as in open:split. A real serial line drops what arrives while the port is closed"},
    {"release", "garbage", "", kSuccess, kReleaseIgnored},
    {"release", "refuse", "", kSuccess, kReleaseIgnored},
    {"release", "vanish", "", "Erreur ouverture",
     "the first batch ends normally; the device is gone when the second batch opens it (the test keeps the "
     "pseudo-terminal's number from passing to another test's simulator)"},
};

struct Outcome {
    bool result = false;
    QString title;
    QString text;
    double seconds = 0;
};

// Runs one installation on a worker thread, as the window's install job does,
// and aborts the test program if it outlives `boundSeconds`.
Outcome installWithin(Model& model, const QString& label, int boundSeconds, const char* what)
{
    Outcome outcome;
    const auto start = std::chrono::steady_clock::now();
    std::promise<void> done;
    std::future<void> finished = done.get_future();
    std::thread job([&] {
        outcome.result = model.install(label, outcome.title, outcome.text);
        done.set_value();
    });
    if (finished.wait_for(std::chrono::seconds(boundSeconds)) != std::future_status::ready) {
        std::fprintf(stderr, "HANG: the %s installation did not end within %d s\n", what, boundSeconds);
        std::abort();
    }
    job.join();
    outcome.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return outcome;
}

const Pair* pairOf(const QString& title)
{
    for (const Pair& pair : kPairs) {
        if (title == QString::fromUtf8(pair.title))
            return &pair;
    }
    return nullptr;
}

QString fault(const Cell& cell)
{
    QString text = QString::fromLatin1(cell.stage) + QLatin1Char(':') + QString::fromLatin1(cell.kind);
    if (*cell.arg)
        text += QLatin1Char(':') + QString::fromLatin1(cell.arg);
    return text;
}

void record(const Cell& cell, const Outcome& outcome, bool passed)
{
    const QByteArray path = qgetenv("MIRDAL_FAULT_RESULTS");
    if (path.isEmpty())
        return;
    QFile file(QString::fromLocal8Bit(path));
    if (!file.open(QIODevice::WriteOnly | QIODevice::Append))
        return;
    const QString line =
        QStringLiteral("%1 | %2 | %3 | %4 | %5 | %6\n")
            .arg(fault(cell) + (*cell.line ? QLatin1Char(' ') + QString::fromLatin1(cell.line) : QString()),
                 QString::fromUtf8(cell.expected), outcome.title)
            .arg(outcome.seconds, 0, 'f', 1)
            .arg(passed ? QStringLiteral("pass") : QStringLiteral("FAIL"), QString::fromUtf8(cell.why));
    file.write(line.toUtf8());
}

class FaultMatrix : public ::testing::TestWithParam<Cell> {};

// Names a cell in the test's messages by its fault.
void PrintTo(const Cell& cell, std::ostream* out)
{
    *out << qPrintable(fault(cell));
}

} // namespace

TEST_P(FaultMatrix, FailsInBoundWithItsPairThenAHealthyTerminalInstalls)
{
    const Cell& cell = GetParam();
    Rig rig;
    QString error;
    ASSERT_TRUE(rig.build(error)) << qPrintable(error);
    Model& model = *rig.model;

    // The faulty terminal.
    SimProcess faulty;
    QStringList arguments = healthyTerminal() << QStringLiteral("--fault") << fault(cell);
    arguments << QString::fromLatin1(cell.line).split(QLatin1Char(' '), Qt::SkipEmptyParts);
    ASSERT_TRUE(faulty.start(arguments, error)) << qPrintable(error);
    const QString faultyLabel = rig.ports->show(faulty.device(), QStringLiteral("Faulty terminal"));
    model.findTerminals();
    const Outcome outcome = installWithin(model, faultyLabel, kFaultyBoundSeconds, "faulty");

    bool passed = true;
    auto expect = [&passed](bool condition) {
        passed = passed && condition;
        return condition;
    };
    const QStringList accepted = QString::fromUtf8(cell.expected).split(QLatin1Char('|'));
    EXPECT_TRUE(expect(accepted.contains(outcome.title)))
        << "title \"" << qPrintable(outcome.title) << "\", expected \"" << cell.expected << "\" (" << cell.why << ")";
    EXPECT_TRUE(expect(outcome.result == (outcome.title == QString::fromUtf8(kSuccess))));
    const Pair* pair = pairOf(outcome.title);
    EXPECT_TRUE(expect(pair && outcome.text.startsWith(QString::fromUtf8(pair->text)))) << qPrintable(outcome.text);
    EXPECT_TRUE(expect(outcome.result || !model.lastFailureCause().isEmpty())) << "a failure without its cause";
    EXPECT_TRUE(expect(!model.serialPort()->isOpen())) << "the port stays open after the run";
    if (QString::fromLatin1(cell.kind) == QLatin1String("vanish")) {
        EXPECT_TRUE(expect(faulty.endsWithin(5000))) << "the simulator did not end at its vanish fault";
    }
    const int faultyExit = faulty.stop();
    EXPECT_TRUE(expect(faultyExit == 0)) << "mirdal-sim ended with " << faultyExit << ": "
                                         << faulty.errorOutput().constData();

    // The next attempt, in the same process, on a healthy terminal.
    SimProcess healthy;
    ASSERT_TRUE(healthy.start(healthyTerminal(), error)) << qPrintable(error);
    const QString healthyLabel = rig.ports->show(healthy.device(), QStringLiteral("Healthy terminal"));
    model.findTerminals();
    const Outcome next = installWithin(model, healthyLabel, kHealthyBoundSeconds, "healthy");
    EXPECT_TRUE(expect(next.result)) << qPrintable(next.title) << ": " << qPrintable(next.text);
    EXPECT_TRUE(expect(model.lastFailureCause().isEmpty())) << "the earlier cause outlives a success";
    EXPECT_TRUE(expect(!model.serialPort()->isOpen()));
    EXPECT_TRUE(expect(healthy.stop() == 0));
    record(cell, outcome, passed);
}

INSTANTIATE_TEST_SUITE_P(Cells, FaultMatrix, ::testing::ValuesIn(kCells), [](const auto& info) {
    std::string name =
        std::string(info.param.stage) + "_" + info.param.kind + (*info.param.arg ? "_at" : "") + info.param.arg;
    for (char& c : name) {
        if (c == '-')
            c = '_';
    }
    return name;
});

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
