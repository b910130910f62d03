// A terminal that misbehaves at every stage, in every way (mirdal-sim --fault), then a healthy one, both
// installed by one Model in this process. Each cell: the faulty run ends in bound with the title the protocol
// rules give (docs/reliability.md says why) and its text, a cause, the port closed; the next run succeeds and
// clears the cause. MIRDAL_FAULT_RESULTS names a file where each cell appends its line (tools/fault-matrix.sh).
#include "tests/support/SimProcess.h"

#include <QFile>
#include <chrono>
#include <future>
#include <gtest/gtest.h>
#include <map>
#include <thread>

namespace {

// The scenario's outcomes by letter: the title and the beginning of its text.
const std::map<char, std::pair<const char*, const char*>> kOutcomes = {
    {'S', {"Installation réalisée avec succès", "Le terminal a été correctement mis à jour."}},
    {'O', {"Erreur ouverture", "Le terminal sélectionné n'est pas disponible.\n"}},
    {'I', {"Erreur initialisation", "Le terminal ne peut pas être initialisé.\n"}},
    {'V', {"Erreur varlenne", "L'application \"Varlenne\" n'est pas installée sur le terminal.\n"}},
    {'H', {"Erreur HTerminal", "La configuration matérielle du terminal ne peut pas être lue.\n"}},
    {'C', {"Erreur cohérence HTerminal", "La configuration matérielle du terminal ne correspond pas au package"}},
    {'L', {"Erreur liste applications", "La liste des applications ne peut pas être lue.\n"}},
    {'N', {"Erreur Information", "Le fichier : "}},
    {'A', {"Erreur autorisation", "Le fichier : "}},
    {'D', {"Erreur chargement", "Le fichier : "}},
    {'X', {"Erreur Activation", "Les fichiers ne peuvent pas être installés sur le terminal.\n"}}};

// The outcome of every stage for each kind of fault, in the order of kKinds; '-' where the stage has no
// such fault, '?' for C or S (the order of bytes and reads decides). The sample configuration: batch 1 =
// PARAM.CFG (1 block) and FONTS.BIN (5 blocks), batch 2 = APPLI.BIN (29 blocks).
const char* const kKinds[] = {"silent", "bad-crc", "bad-echo", "short", "split", "garbage", "refuse", "vanish"};
const std::pair<const char*, const char*> kStages[] = {
    {"open", "ISSS?SSI"},      // any answer of at least one byte will do, three attempts
    {"varlenne", "VSSVVVVV"},  // a K before the first zero byte among at most 7 bytes
    {"hardware", "HHSHHHCH"},  // 128 bytes in one read, CRC over bytes 0..125, no echo test
    {"list", "LLSLLL-L"},      // every answer whole within 20 ms, CRC correct, byte 0 not tested
    {"advertise", "NNNNSNNN"}, // a whole 32-byte answer, CRC, 02 01 55
    {"authorize", "AAAASAAA"}, // a whole 32-byte answer, CRC, 03 01 01
    {"start", "DDDDSDDN"},     // 04 01 55; a failed download is retried from its advertisement, 4 attempts
    {"block", "DDDDSDDN"},     // a whole answer per block, CRC, 04 01, then 55 or 33
    {"final", "DSDSNDDN"},     // one read of 32 bytes within 1000 ms; a wrong CRC only logged; 04 01 55
    {"activate", "XXXXSXXX"},  // a 20 s pause, then one read of 32 bytes within 1000 ms; 05 01 55
    {"release", "SSSS?SSO"},   // its answer is not tested; vanish: the second batch cannot open the device
};
// Faults at one block of every file (block:KIND:N), and endless resend requests.
const std::pair<const char*, char> kBlockFaults[] = {{"block:bad-crc:1", 'D'}, {"block:bad-echo:1", 'D'},
                                                     {"block:short:1", 'D'},   {"block:resend", 'D'},
                                                     {"block:silent:2", 'D'},  {"block:vanish:2", 'N'}};

struct Cell {
    std::string fault;
    char expected;
};

std::vector<Cell> cells()
{
    std::vector<Cell> all;
    for (const auto& [stage, outcomes] : kStages) {
        for (int kind = 0; kind < 8; ++kind) {
            if (outcomes[kind] != '-')
                all.push_back({std::string(stage) + ":" + kKinds[kind], outcomes[kind]});
        }
    }
    for (const auto& [fault, expected] : kBlockFaults)
        all.push_back({fault, expected});
    return all;
}

QStringList titles(char expected)
{
    if (expected == '?')
        return {kOutcomes.at('C').first, kOutcomes.at('S').first};
    return {kOutcomes.at(expected).first};
}

struct Outcome {
    bool result = false;
    QString title, text;
    double seconds = 0;
};

// One installation on a worker thread, as the window's install job runs it. A run beyond the bound is a
// hang: the test then aborts, since a blocked thread cannot be taken back. The longest legitimate failure
// is a download start that meets 60 s of silence on each of its four attempts: about 241 s.
Outcome installWithin(Model& model, const QString& label, int boundSeconds)
{
    Outcome outcome;
    const auto start = std::chrono::steady_clock::now();
    std::promise<void> done;
    std::thread job([&] {
        outcome.result = model.install(label, outcome.title, outcome.text);
        done.set_value();
    });
    if (done.get_future().wait_for(std::chrono::seconds(boundSeconds)) != std::future_status::ready) {
        std::fprintf(stderr, "HANG: an installation did not end within %d s\n", boundSeconds);
        std::abort();
    }
    job.join();
    outcome.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return outcome;
}

class FaultMatrix : public ::testing::TestWithParam<Cell> {};
void PrintTo(const Cell& cell, std::ostream* out)
{
    *out << cell.fault;
}

} // namespace

TEST_P(FaultMatrix, FailsInBoundWithItsPairThenAHealthyTerminalInstalls)
{
    const Cell& cell = GetParam();
    const QString fault = QString::fromStdString(cell.fault);
    Rig rig;
    QString error;
    ASSERT_TRUE(rig.build(error)) << qPrintable(error);
    Model& model = *rig.model;

    SimProcess faulty;
    ASSERT_TRUE(faulty.start(healthyTerminal() << "--fault" << fault, error)) << qPrintable(error);
    model.findTerminals();
    const Outcome outcome = installWithin(model, rig.ports->show(faulty.device(), "Faulty terminal"), 300);

    bool passed = true;
    const auto expect = [&passed](bool condition) {
        passed = passed && condition;
        return condition;
    };
    EXPECT_TRUE(expect(titles(cell.expected).contains(outcome.title)))
        << qPrintable(outcome.title) << " instead of " << qPrintable(titles(cell.expected).join(" or "));
    EXPECT_TRUE(expect(outcome.result == (outcome.title == kOutcomes.at('S').first)));
    const auto pair = std::find_if(kOutcomes.begin(), kOutcomes.end(),
                                   [&](const auto& entry) { return outcome.title == entry.second.first; });
    EXPECT_TRUE(expect(pair != kOutcomes.end() && outcome.text.startsWith(pair->second.second)))
        << qPrintable(outcome.text);
    EXPECT_TRUE(expect(outcome.result || !model.lastFailureCause().isEmpty())) << "a failure without its cause";
    EXPECT_TRUE(expect(!model.serialPort()->isOpen())) << "the port stays open after the run";
    EXPECT_TRUE(expect(!fault.contains("vanish") || faulty.endsWithin(5000))) << "the simulator outlived its vanish";
    EXPECT_TRUE(expect(faulty.stop() == 0)) << faulty.errorOutput().constData();

    // The next attempt, in the same process, on a healthy terminal.
    SimProcess healthy;
    ASSERT_TRUE(healthy.start(healthyTerminal(), error)) << qPrintable(error);
    model.findTerminals();
    const Outcome next = installWithin(model, rig.ports->show(healthy.device(), "Healthy terminal"), 60);
    EXPECT_TRUE(expect(next.result)) << qPrintable(next.title) << ": " << qPrintable(next.text);
    EXPECT_TRUE(expect(model.lastFailureCause().isEmpty())) << "the earlier cause outlives a success";
    EXPECT_TRUE(expect(!model.serialPort()->isOpen() && healthy.stop() == 0));

    QFile results(qEnvironmentVariable("MIRDAL_FAULT_RESULTS"));
    if (!results.fileName().isEmpty() && results.open(QIODevice::WriteOnly | QIODevice::Append))
        results.write(QStringLiteral("%1 | %2 | %3 | %4 | %5 | \n")
                          .arg(fault, titles(cell.expected).join('|'), outcome.title)
                          .arg(outcome.seconds, 0, 'f', 1)
                          .arg(passed ? "pass" : "FAIL")
                          .toUtf8());
}

INSTANTIATE_TEST_SUITE_P(Cells, FaultMatrix, ::testing::ValuesIn(cells()), [](const auto& info) {
    std::string name = info.param.fault;
    std::replace(name.begin(), name.end(), '-', '_');
    std::replace(name.begin(), name.end(), ':', '_');
    return name.back() >= '0' && name.back() <= '9' ? name.insert(name.size() - 1, "at") : name;
});
