// The scenario: every outcome with its pair, clean-up, progress and cause; retries, skips, waits, a stop.
#include "tests/engine/FakeTerminal.h"
#include "tests/support/Pty.h"

#include <QElapsedTimer>
#include <iterator>
#include <sstream>

namespace {

QString u(const char* text)
{
    return QString::fromUtf8(text);
}

using Events = std::vector<std::string>;

std::vector<int> numbers(const char* text)
{
    std::istringstream in(text);
    return {std::istream_iterator<int>(in), std::istream_iterator<int>()};
}

Events events(const char* text)
{
    Events items;
    std::istringstream in(text);
    for (std::string item; std::getline(in, item, '|');)
        items.push_back(item);
    return items;
}
using Scenario = EngineTest;

struct Outcome {
    const char* name;
    const char* failAt; // the terminal's script
    const char* title;
    const char* text;
    const char* tail;   // the terminal's last events: the failing stage, then its clean-up
    const char* totals; // the overall bar, two batches of four files (step 5)
    const char* stage;  // lastFailureStage(), and the start of lastFailureCause()
    const char* cause;
};

const Outcome kOutcomes[] = {
    {"NoBatch", "", "Erreur fichier de configuration", "Le fichier de configuration ne contient pas de scénario", "",
     "", "configuration", "the configuration has no batch"},
    {"Open", "open", "Erreur ouverture",
     "Le terminal sélectionné n'est pas disponible.\nVeuillez fermer toutes les applications ou contacter le support.",
     "open T - (ttyT0)", "0 5", "port opening", "permission denied on T"},
    {"Init", "opening", "Erreur initialisation",
     "Le terminal ne peut pas être initialisé.\nVeuillez contacter le support.",
     "open T - (ttyT0)|opening|opening|opening|close", "0 5 10", "opening", "no answer"},
    {"Varlenne", "varlenne", "Erreur varlenne", "L'application \"Varlenne\" n'est pas installée sur le terminal.\n",
     "varlenne|release|close", "0 5 10 15", "Varlenne start", "no answer"},
    {"Hardware", "hardware", "Erreur HTerminal",
     "La configuration matérielle du terminal ne peut pas être lue.\nVeuillez contacter le support.",
     "hardware|release|close", "0 5 10 15 20", "hardware record", "no answer"},
    {"Coherence", "", "Erreur cohérence HTerminal",
     "La configuration matérielle du terminal ne correspond pas au package à installer.\nVeuillez contacter le "
     "support.",
     "hardware|release|close", "0 5 10 15 20 20", "hardware check", "terminal hardware 11 22 34"},
    {"List", "list", "Erreur liste applications",
     "La liste des applications ne peut pas être lue.\nVeuillez contacter le support.", "list|release|close",
     "0 5 10 15 20 20 25", "application list", "no answer"},
    {"Information", "advertise", "Erreur Information",
     "Le fichier : FIRST.BIN ne peut pas être lu.\nVeuillez contacter le support.",
     "advertise 000040FIRST.BIN|release|close", "0 5 10 15 20 20 25 30", "advertisement of FIRST.BIN",
     "no whole answer"},
    {"Authorization", "authorization", "Erreur autorisation",
     "Le fichier : FIRST.BIN n'est pas autorisé sur le terminal.\nVeuillez contacter le support.",
     "authorization|release|close", "0 5 10 15 20 20 25 30", "authorization of FIRST.BIN", "no whole answer"},
    // The fourth failed download ends the run; the file's line shows once per attempt.
    {"Download", "download", "Erreur chargement",
     "Le fichier : FIRST.BIN ne peut pas être chargé dans le terminal.\nVeuillez contacter le support.",
     "advertise 000040FIRST.BIN|authorization|download FIRST.BIN|release|close", "0 5 10 15 20 20 25 30 30 30 30",
     "download of FIRST.BIN", "no whole answer"},
    {"Activation", "activate", "Erreur Activation",
     "Les fichiers ne peuvent pas être installés sur le terminal.\nVeuillez contacter le support.", "activate|close",
     "0 5 10 15 20 20 25 30 31 32 33 34", "activation", "no answer"},
    {"Close", "close", "Erreur fermeture",
     "Le terminal sélectionné ne peut pas être relâché.\nVeuillez contacter le support.", "activate|release|close",
     "0 5 10 15 20 20 25 30 31 32 33 34 39", "port closing", "the port cannot be closed"},
    {"Success", "", "Installation réalisée avec succès", "Le terminal a été correctement mis à jour.",
     "activate|release|close", "0 5 10 15 20 20 25 30 31 32 33 34 39 49 54 59 64 64 69 74 75 76 77 78 83 100", "", ""},
};

class Outcomes : public EngineTest, public ::testing::WithParamInterface<Outcome> {};

} // namespace

// The engine as the window builds it, with no option, pauses for the terminal's own time: a restart wait of 200 ms.
TEST(ModelDefaults, PausesAreTheTerminalsOwn)
{
    Model model;
    QElapsedTimer clock;
    clock.start();
    model.pauseUnlessStopped(200);
    EXPECT_GE(clock.elapsed(), 200);
}

TEST_P(Outcomes, PairCleanUpProgressAndCause)
{
    const Outcome& outcome = GetParam();
    const std::string name = outcome.name;
    for (int b = 0; b < (name == "NoBatch" ? 0 : 2); ++b) {
        Batch* batch = addBatch();
        for (const char* file : {"first", "second", "third", "fourth"})
            addFile(batch, QStringLiteral("dir/%1%2.bin").arg(QLatin1String(file)).arg(b ? "2" : ""), 40);
    }
    terminal.failAt = outcome.failAt;
    terminal.hardwareId[2] = name == "Coherence" ? 0x34 : 0x33; // accepted: 11 22 33 and 11 22 35

    EXPECT_EQ(install(), name == "Success");
    EXPECT_EQ(title, u(outcome.title));
    EXPECT_EQ(text, u(outcome.text));
    const Events tail = events(outcome.tail);
    EXPECT_EQ(Events(terminal.events.end() - std::min(tail.size(), terminal.events.size()), terminal.events.end()),
              tail);
    EXPECT_EQ(values, numbers(outcome.totals)) << outcome.totals;
    // A failure ends the run: no second batch, no restart wait.
    EXPECT_EQ(terminal.count("open T - (ttyT0)"), name == "Success" ? 2 : name == "NoBatch" ? 0 : 1);
    EXPECT_EQ(clock->count(35000), name == "Success" ? 2 : 0);
    EXPECT_EQ(model->lastFailureStage(), u(outcome.stage));
    const QString cause = model->lastFailureCause();
    EXPECT_TRUE(name == "Success" ? cause.isEmpty() : cause.startsWith(u(outcome.cause))) << cause.toStdString();
    const QString failed = u("Model::install failed: %1: %2").arg(u(outcome.stage), cause);
    EXPECT_EQ(log.count(failed), name == "Success" ? 0 : 1);

    // The same as one value: the first file as advertised, attempts, downloaded; the files installed; the record
    // as read and the accepted entry it matched (the second).
    const InstallationResult& result = resultOf.back();
    EXPECT_EQ(result.success, name == "Success");
    EXPECT_EQ(QStringList({result.title, result.text, result.stage, result.cause}),
              QStringList({title, text, model->lastFailureStage(), cause}));
    const std::map<std::string, std::string> firstFile = {{"Information", "0 0 0"}, {"Authorization", "1 0 0"},
                                                          {"Download", "1 4 0"},    {"Activation", "1 1 1"},
                                                          {"Close", "1 1 1"},       {"Success", "1 1 1"}};
    const FileResult first = result.batches.value(0).files.value(0);
    EXPECT_EQ(
        first.file.isEmpty() ? "" : QString("%1 %2 %3").arg(first.advertised).arg(first.attempts).arg(first.downloaded),
        u(firstFile.count(name) ? firstFile.at(name).c_str() : ""));
    EXPECT_EQ(result.installedFiles().size(), name == "Success" ? 8 : name == "Close" ? 4 : 0);
    const bool recorded = result.hardwareRecord.size() == 126;
    EXPECT_EQ(recorded, terminal.count("hardware") > 0 && name != "Hardware");
    EXPECT_EQ(result.acceptedEntry, recorded && name != "Coherence" ? 1 : -1);
    EXPECT_TRUE(result.started.isValid() && result.started <= result.ended && result.ended.timeSpec() == Qt::UTC);
}

INSTANTIATE_TEST_SUITE_P(EveryStage, Outcomes, ::testing::ValuesIn(kOutcomes),
                         [](const ::testing::TestParamInfo<Outcome>& info) { return std::string(info.param.name); });

// A 23-character name does not fit the advertisement and is skipped; it moves
// the position as a downloaded file does. A 22-character one is advertised.
TEST_F(Scenario, EveryStatusAndCallInOrderWithASkippedFile)
{
    Batch* batch = addBatch();
    addFile(batch, QStringLiteral("dir/abcdefghijklmnopqr.bin"), 300);
    Application* skipped = addFile(batch, QStringLiteral("abcdefghijklmnopqrs.bin"), 5);
    ASSERT_TRUE(install());
    const std::vector<std::pair<QString, int>> expectedTotals = {
        {u("Démarrage de l'installation"), 0},
        {u("Tentative d'accès au terminal"), 10},
        {u("Initialisation du terminal"), 20},
        {u("Initialisation de l'application \"Varlenne\" du terminal"), 30},
        {u("Récupération de la configuration matérielle du terminal"), 40},
        {u("Vérification de la cohérence de la configuration matérielle du terminal"), 40},
        {u("Vérification de la liste des applications du terminal"), 50},
        {u("Téléchargement des fichiers en cours (1/2)"), 60},
        {u("Téléchargement des fichiers en cours (2/2)"), 65},
        {u("Installation des applications sur le terminal en cours"), 70},
        {u("Redémarrage du terminal en cours. Veuillez patienter ..."), 80},
        {u("Installation réalisée avec succès"), 100}};
    EXPECT_EQ(totals, expectedTotals);
    const QString file = u("Téléchargement du fichier : ABCDEFGHIJKLMNOPQR.BIN"),
                  done = u("Tous les fichiers ont été ");
    EXPECT_EQ(modules, (decltype(modules){{u("Veuillez patienter ..."), 0},
                                          {file, 0},
                                          {file, 40},
                                          {file, 81},
                                          {file, 100},
                                          {done + u("téléchargés"), 100},
                                          {done + u("installés"), 100}}));
    EXPECT_EQ(terminal.events,
              events("open T - (ttyT0)|opening|varlenne|hardware|list|advertise 000300ABCDEFGHIJKLMNOPQR"
                     ".BIN|authorization|download ABCDEFGHIJKLMNOPQR.BIN|activate|release|close"));
    const QByteArray content = patternContent(300);
    EXPECT_EQ(terminal.received["ABCDEFGHIJKLMNOPQR.BIN"], Frame(content.begin(), content.end()));
    EXPECT_EQ(log.count(QStringLiteral("Model::sendInfo file name + file length + head > 32 : SKIP! ")), 1);
    EXPECT_EQ(log.count(QStringLiteral("Download Skipping App ") + skipped->file), 1);
}

// A success on the fourth attempt counts; the next file counts again. A final confirmation that comes after its
// read gave up waits while the file is taken again: it must not be read as the next advertisement's answer.
TEST_F(Scenario, RetriesOfDownloads)
{
    Batch* batch = addBatch();
    addFile(batch, QStringLiteral("first.bin"), 300);
    addFile(batch, QStringLiteral("second.bin"), 30);
    terminal.failedDownloads = {{"FIRST.BIN", 3}, {"SECOND.BIN", 2}};
    terminal.onEvent = [this](const std::string& event) {
        terminal.lateFinalConfirmations = event == "download SECOND.BIN" && terminal.count(event) == 3;
    };
    ASSERT_TRUE(install()) << text.toStdString();
    EXPECT_EQ(terminal.count("advertise 000300FIRST.BIN"), 4);
    EXPECT_EQ(terminal.count("download SECOND.BIN"), 4);
    EXPECT_EQ(terminal.received.size(), 2u);
    EXPECT_EQ(log.count(QStringLiteral("RESTART -1")), 3);
    EXPECT_EQ(log.count(QStringLiteral("RESTART 0")), 3);
    EXPECT_EQ(values, numbers("0 10 20 30 40 40 50 60 60 60 60 65 65 65 65 70 80 100"));
}

// max(delayReboot, 35000) after every batch; past ten batches the step is 0.
TEST_F(Scenario, RestartWaitAndElevenBatches)
{
    for (int b = 0; b < 11; ++b)
        addBatch();
    const std::pair<int, uint32_t> delays[] = {{35000, 35000}, {0, 35000}, {-5, 35000}, {34999, 35000}, {35001, 35001}};
    for (const auto& delay : delays) {
        config->terminal->delayReboot = delay.first;
        clock->sleeps.clear(), values.clear();
        ASSERT_TRUE(install());
        EXPECT_EQ(clock->count(delay.second), 11) << delay.first;
        EXPECT_EQ(clock->sleeps.back(), delay.second);
        values.resize(values.size() - 1);
        EXPECT_EQ(values, std::vector<int>(1 + 11 * 8, 0)) << "then 100";
    }
}

TEST_F(Scenario, StopEndsTheDownloadWithoutRetryAndCutsTheRestartWait)
{
    addFile(addBatch(), QStringLiteral("first.bin"), 300);
    std::string stopAt = "download FIRST.BIN";
    terminal.onEvent = [&](const std::string& event) {
        if (event == stopAt)
            model->requestStop();
    };
    EXPECT_FALSE(install());
    EXPECT_EQ(title + model->lastFailureCause(), u("Erreur chargementstopped on request"));
    EXPECT_EQ(terminal.count("download FIRST.BIN"), 1);
    EXPECT_EQ(Events(terminal.events.end() - 2, terminal.events.end()), (Events{"release", "close"}));

    // At the end of the first batch's dialogue: no restart wait, the second batch sends nothing.
    stopAt = "release";
    addBatch();
    EXPECT_FALSE(install());
    EXPECT_EQ(title, u("Erreur initialisation"));
    EXPECT_EQ(clock->count(35000), 0);
    EXPECT_EQ(terminal.count("opening"), 2) << "one for each run";
}

struct Ports : PortProvider {
    QList<PortInfo> list;
    QList<PortInfo> availablePorts() const override { return list; }
};

// The release frames leave the serial port opened last on the last listed
// port; a label that names no listed port (the list's placeholder, a device
// unplugged since) must not start the update there.
TEST(ModelRelease, StaleLabelAfterTheReleaseOpensNothing)
{
    Pty pty;
    ASSERT_TRUE(pty.isValid());
    auto ports = std::make_shared<Ports>();
    Model model(nullptr, ModelOptions{ports, std::make_shared<FakeClock>(), {}, [] {}, {}});
    model.configuration()->batchList.append(new Batch(model.configuration()));
    for (const QString& label : {QString::fromUtf8("Sélectionnez le terminal"), pty.label()}) {
        ports->list = {pty.asPort()};
        model.findTerminals();
        model.releasePorts();
        ASSERT_EQ(pty.receive(9), QByteArray::fromHex("2F C0 04 00 14 01 2C 56 44"));
        if (label == pty.label())
            ports->list.clear();
        QString title, text;
        EXPECT_FALSE(model.install(label, title, text));
        EXPECT_EQ(title, QStringLiteral("Erreur ouverture"));
        EXPECT_TRUE(pty.receive(1, 200).isEmpty());
    }
}
