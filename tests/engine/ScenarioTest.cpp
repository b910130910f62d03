// The installation scenario against a scripted terminal: progress values and
// texts, the outcome pairs and clean-ups of every failing stage, the retries
// of downloads, skipped files and the restart wait.
#include "tests/engine/EngineFixture.h"
#include "tests/engine/Package.h"

#include <functional>

namespace {

QString u(const char* text)
{
    return QString::fromUtf8(text);
}

const char* const kStart = "Démarrage de l'installation";
const char* const kAccess = "Tentative d'accès au terminal";
const char* const kInit = "Initialisation du terminal";
const char* const kVarlenne = "Initialisation de l'application \"Varlenne\" du terminal";
const char* const kHardware = "Récupération de la configuration matérielle du terminal";
const char* const kCoherence = "Vérification de la cohérence de la configuration matérielle du terminal";
const char* const kList = "Vérification de la liste des applications du terminal";
const char* const kInstalling = "Installation des applications sur le terminal en cours";
const char* const kRestarting = "Redémarrage du terminal en cours. Veuillez patienter ...";
const char* const kSuccess = "Installation réalisée avec succès";

Progress files(int index, int count, int value)
{
    return {u("Téléchargement des fichiers en cours (%1/%2)").arg(index).arg(count), value};
}

using Scenario = EngineTest;

} // namespace

// ---------------------------------------------------------------- progress

TEST_F(Scenario, OneBatchOfFourFilesShowsTheDocumentedProgress)
{
    Batch* batch = addBatch();
    for (const char* name : {"a.bin", "b.bin", "c.bin", "d.bin"})
        addFile(batch, QString::fromLatin1(name), 300);

    ASSERT_TRUE(install());
    EXPECT_EQ(title, u(kSuccess));
    EXPECT_EQ(text, u("Le terminal a été correctement mis à jour."));

    const std::vector<Progress> expected = {
        {u(kStart), 0},      {u(kAccess), 10},     {u(kInit), 20},       {u(kVarlenne), 30}, {u(kHardware), 40},
        {u(kCoherence), 40}, {u(kList), 50},       files(1, 4, 60),      files(2, 4, 62),    files(3, 4, 64),
        files(4, 4, 66),     {u(kInstalling), 68}, {u(kRestarting), 78}, {u(kSuccess), 100},
    };
    EXPECT_EQ(totals, expected);
    EXPECT_EQ(terminal.received.size(), 4u);
    const QByteArray content = patternContent(300);
    EXPECT_EQ(terminal.received["A.BIN"], std::vector<uint8_t>(content.begin(), content.end()));
}

TEST_F(Scenario, CallsTheTerminalInTheDocumentedOrder)
{
    addFile(addBatch(), QStringLiteral("app.bin"), 10);
    ASSERT_TRUE(install());
    const std::vector<std::string> expected = {
        "open " + kPort.toStdString(),
        "opening",
        "varlenne",
        "hardware",
        "list",
        "advertise 000010APP.BIN",
        "authorization",
        "download APP.BIN",
        "activate",
        "release",
        "close",
    };
    EXPECT_EQ(terminal.events, expected);
}

TEST_F(Scenario, TwoBatchesOfFourFilesShareTheOverallBar)
{
    for (int b = 0; b < 2; ++b) {
        Batch* batch = addBatch();
        for (int f = 0; f < 4; ++f)
            addFile(batch, QStringLiteral("b%1f%2.bin").arg(b).arg(f), 50);
    }
    ASSERT_TRUE(install());
    const std::vector<int> expected = {0,  5,  10, 15, 20, 20, 25, 30, 31, 32, 33, 34, 39,
                                       49, 54, 59, 64, 64, 69, 74, 75, 76, 77, 78, 83, 100};
    EXPECT_EQ(totalValues(), expected);
    // Each batch is a connection of its own, followed by its own restart wait.
    EXPECT_EQ(terminal.count("open " + kPort.toStdString()), 2);
    EXPECT_EQ(terminal.count("close"), 2);
    EXPECT_EQ(restartWaits(), (std::vector<int>{35000, 35000}));
    EXPECT_EQ(terminal.received.size(), 8u);
}

TEST_F(Scenario, BatchWithoutFilesGoesStraightToTheActivation)
{
    addBatch();
    ASSERT_TRUE(install());
    const std::vector<Progress> expected = {
        {u(kStart), 0},      {u(kAccess), 10}, {u(kInit), 20},       {u(kVarlenne), 30},   {u(kHardware), 40},
        {u(kCoherence), 40}, {u(kList), 50},   {u(kInstalling), 60}, {u(kRestarting), 70}, {u(kSuccess), 100},
    };
    EXPECT_EQ(totals, expected);
    const std::vector<Progress> expectedModules = {
        {u("Veuillez patienter ..."), 0},
        {u("Tous les fichiers ont été téléchargés"), 100},
        {u("Tous les fichiers ont été installés"), 100},
    };
    EXPECT_EQ(modules, expectedModules);
    EXPECT_TRUE(terminal.contains("activate"));
    EXPECT_FALSE(terminal.contains("authorization"));
}

TEST_F(Scenario, MoreThanTenBatchesKeepTheOverallBarAtZeroUntilTheEnd)
{
    for (int b = 0; b < 11; ++b)
        addBatch();
    ASSERT_TRUE(install());
    std::vector<int> values = totalValues();
    ASSERT_EQ(values.size(), 1u + 11u * 8u + 1u);
    EXPECT_EQ(values.back(), 100);
    values.pop_back();
    EXPECT_EQ(values, std::vector<int>(values.size(), 0));
    EXPECT_EQ(restartWaits().size(), 11u);
}

TEST_F(Scenario, DownloadReportsItsModuleProgress)
{
    addFile(addBatch(), QStringLiteral("dir/sub/app.bin"), 300);
    ASSERT_TRUE(install());
    const QString status = u("Téléchargement du fichier : APP.BIN");
    const std::vector<Progress> expected = {
        {u("Veuillez patienter ..."), 0},
        {status, 0},
        {status, 40},
        {status, 81},
        {status, 100},
        {u("Tous les fichiers ont été téléchargés"), 100},
        {u("Tous les fichiers ont été installés"), 100},
    };
    EXPECT_EQ(modules, expected);
}

// ---------------------------------------------------------------- empty scenario

TEST_F(Scenario, EmptyBatchListEmitsNothingAndNeverOpens)
{
    EXPECT_FALSE(install());
    EXPECT_EQ(title, u("Erreur fichier de configuration"));
    EXPECT_EQ(text, u("Le fichier de configuration ne contient pas de scénario"));
    EXPECT_TRUE(totals.empty());
    EXPECT_TRUE(modules.empty());
    EXPECT_TRUE(terminal.events.empty());
    EXPECT_TRUE(clock->sleeps.empty());
}

// The cause of a refused open comes from the port and holds for one run.
TEST_F(Scenario, OpenFailureCauseComesFromThePortForOneRun)
{
    addFile(addBatch(), QStringLiteral("first.bin"), 40);
    terminal.openSucceeds = false;
    terminal.refusal = OpenFailure::PermissionDenied;
    EXPECT_FALSE(install());
    EXPECT_EQ(title, u("Erreur ouverture"));
    EXPECT_TRUE(model->lastFailureCause().startsWith(QStringLiteral("permission denied on ") + kPort))
        << model->lastFailureCause().toStdString();

    terminal.openSucceeds = true;
    EXPECT_TRUE(install());
    EXPECT_TRUE(model->lastFailureCause().isEmpty());
}

// ---------------------------------------------------------------- failure table

namespace {

enum class Expect { Nothing, Close, ReleaseAndClose };

struct FailureCase {
    const char* name;
    std::function<void(FakeTerminal&)> script;
    const char* title;
    const char* text;
    Expect cleanUp;
    const char* lastCommand; // the terminal's last event before the clean-up
};

void PrintTo(const FailureCase& failure, std::ostream* os)
{
    *os << failure.name;
}

const FailureCase kFailureCases[] = {
    {"Open", [](FakeTerminal& t) { t.openSucceeds = false; }, "Erreur ouverture",
     "Le terminal sélectionné n'est pas disponible.\nVeuillez fermer toutes les applications ou contacter le support.",
     Expect::Nothing, nullptr},
    {"Init", [](FakeTerminal& t) { t.silentOpenings = 3; }, "Erreur initialisation",
     "Le terminal ne peut pas être initialisé.\nVeuillez contacter le support.", Expect::Close, "opening"},
    {"Varlenne", [](FakeTerminal& t) { t.hasVarlenne = false; }, "Erreur varlenne",
     "L'application \"Varlenne\" n'est pas installée sur le terminal.\n", Expect::ReleaseAndClose, "varlenne"},
    {"Hardware", [](FakeTerminal& t) { t.hardwareReadable = false; }, "Erreur HTerminal",
     "La configuration matérielle du terminal ne peut pas être lue.\nVeuillez contacter le support.",
     Expect::ReleaseAndClose, "hardware"},
    {"Coherence",
     [](FakeTerminal& t) {
         t.hardwareId = {0x11, 0x22, 0x34};
     },
     "Erreur cohérence HTerminal",
     "La configuration matérielle du terminal ne correspond pas au package à installer.\nVeuillez contacter le "
     "support.",
     Expect::ReleaseAndClose, "hardware"},
    {"ApplicationList", [](FakeTerminal& t) { t.listReadable = false; }, "Erreur liste applications",
     "La liste des applications ne peut pas être lue.\nVeuillez contacter le support.", Expect::ReleaseAndClose,
     "list"},
    {"Information", [](FakeTerminal& t) { t.advertisementAccepted = false; }, "Erreur Information",
     "Le fichier : FIRST.BIN ne peut pas être lu.\nVeuillez contacter le support.", Expect::ReleaseAndClose,
     "advertise 000040FIRST.BIN"},
    {"Authorization", [](FakeTerminal& t) { t.authorizationGranted = false; }, "Erreur autorisation",
     "Le fichier : FIRST.BIN n'est pas autorisé sur le terminal.\nVeuillez contacter le support.",
     Expect::ReleaseAndClose, "authorization"},
    {"Download", [](FakeTerminal& t) { t.failedDownloads["FIRST.BIN"] = 4; }, "Erreur chargement",
     "Le fichier : FIRST.BIN ne peut pas être chargé dans le terminal.\nVeuillez contacter le support.",
     Expect::ReleaseAndClose, "download FIRST.BIN"},
    {"Activation", [](FakeTerminal& t) { t.activationSucceeds = false; }, "Erreur Activation",
     "Les fichiers ne peuvent pas être installés sur le terminal.\nVeuillez contacter le support.", Expect::Close,
     "activate"},
    {"Close", [](FakeTerminal& t) { t.closeSucceeds = false; }, "Erreur fermeture",
     "Le terminal sélectionné ne peut pas être relâché.\nVeuillez contacter le support.", Expect::Nothing, nullptr},
};

class FailingStage : public EngineTest, public ::testing::WithParamInterface<FailureCase> {};

} // namespace

TEST_P(FailingStage, EndsWithItsPairAfterItsCleanUp)
{
    const FailureCase& failure = GetParam();
    // Two batches: a failure must also stop the batches after it.
    addFile(addBatch(), QStringLiteral("first.bin"), 40);
    addFile(addBatch(), QStringLiteral("second.bin"), 40);
    failure.script(terminal);

    EXPECT_FALSE(install());
    EXPECT_EQ(title, u(failure.title));
    EXPECT_EQ(text, u(failure.text));

    EXPECT_EQ(terminal.count("open " + kPort.toStdString()), 1);
    EXPECT_TRUE(restartWaits().empty());
    EXPECT_FALSE(terminal.contains("advertise 000040SECOND.BIN"));
    EXPECT_NE(totals.back().first, u(kSuccess));

    std::vector<std::string> tail(terminal.events.end() - std::min<size_t>(3, terminal.events.size()),
                                  terminal.events.end());
    switch (failure.cleanUp) {
    case Expect::Nothing:
        if (std::string(failure.name) == "Open") {
            EXPECT_EQ(terminal.events.size(), 1u);
        } else {
            // The release that ends a good batch is already sent; nothing follows the close.
            EXPECT_EQ(tail, (std::vector<std::string>{"activate", "release", "close"}));
        }
        EXPECT_EQ(terminal.count("close"), failure.name == std::string("Close") ? 1 : 0);
        break;
    case Expect::Close:
        EXPECT_EQ(tail.back(), "close");
        EXPECT_EQ(tail[tail.size() - 2], failure.lastCommand);
        EXPECT_FALSE(terminal.contains("release"));
        break;
    case Expect::ReleaseAndClose:
        EXPECT_EQ(tail, (std::vector<std::string>{failure.lastCommand, "release", "close"}));
        EXPECT_EQ(terminal.count("release"), 1);
        break;
    }
}

INSTANTIATE_TEST_SUITE_P(EveryRow, FailingStage, ::testing::ValuesIn(kFailureCases),
                         [](const ::testing::TestParamInfo<FailureCase>& info) {
                             return std::string(info.param.name);
                         });

TEST_F(Scenario, MissingPackageIsReportedUnderItsNameWithoutDirectories)
{
    addEntry(addBatch(), dir.filePath(QStringLiteral("missing.bin")));
    EXPECT_FALSE(install());
    EXPECT_EQ(title, u("Erreur Information"));
    EXPECT_EQ(text, u("Le fichier : MISSING.BIN ne peut pas être lu.\nVeuillez contacter le support."));
    EXPECT_FALSE(terminal.contains("authorization"));
}

TEST_F(Scenario, PathWithoutSeparatorIsTheWholeDisplayName)
{
    // Relative to the working folder, where no such file exists.
    addEntry(addBatch(), QStringLiteral("no-such-package.Bin"));
    EXPECT_FALSE(install());
    EXPECT_EQ(text, u("Le fichier : NO-SUCH-PACKAGE.BIN ne peut pas être lu.\nVeuillez contacter le support."));
}

TEST_F(Scenario, ProgressStopsAtTheFailingStage)
{
    addFile(addBatch(), QStringLiteral("first.bin"), 40);
    terminal.hardwareReadable = false;
    EXPECT_FALSE(install());
    const std::vector<Progress> expected = {
        {u(kStart), 0}, {u(kAccess), 10}, {u(kInit), 20}, {u(kVarlenne), 30}, {u(kHardware), 40},
    };
    EXPECT_EQ(totals, expected);
}

TEST_F(Scenario, CloseFailureEndsTheRunBeforeTheRestartWaitAndTheNextBatch)
{
    addBatch();
    addBatch();
    terminal.closeSucceeds = false;
    EXPECT_FALSE(install());
    EXPECT_EQ(title, u("Erreur fermeture"));
    EXPECT_TRUE(restartWaits().empty());
    EXPECT_EQ(terminal.count("open " + kPort.toStdString()), 1);
    EXPECT_EQ(totals.back(), Progress(u(kRestarting), 35));
}

// ---------------------------------------------------------------- files

TEST_F(Scenario, TwentyThreeCharacterNameIsSkippedAndTwentyTwoIsAdvertised)
{
    Batch* batch = addBatch();
    const QString longName = QStringLiteral("abcdefghijklmnopqrs.bin"); // 23 characters
    const QString fitting = QStringLiteral("abcdefghijklmnopqr.bin");   // 22 characters
    ASSERT_EQ(longName.size(), 23);
    ASSERT_EQ(fitting.size(), 22);
    Application* skipped = addFile(batch, longName, 5);
    addFile(batch, fitting, 5);

    ASSERT_TRUE(install());
    EXPECT_TRUE(terminal.contains("advertise 000005ABCDEFGHIJKLMNOPQR.BIN"));
    EXPECT_EQ(terminal.count("authorization"), 1);
    EXPECT_EQ(terminal.count("download ABCDEFGHIJKLMNOPQR.BIN"), 1);
    EXPECT_EQ(terminal.received.count("ABCDEFGHIJKLMNOPQRS.BIN"), 0u);

    const QStringList lines = log.lines();
    EXPECT_TRUE(lines.contains(QStringLiteral("Model::sendInfo file name + file length + head > 32 : SKIP! ")));
    EXPECT_TRUE(lines.contains(QStringLiteral("Download Skipping App ") + skipped->file));
    EXPECT_TRUE(lines.contains(QStringLiteral("Model::sendInfo advertise file ABCDEFGHIJKLMNOPQR.BIN of size 5")));
    // The skipped file moves the position like a downloaded one.
    const std::vector<int> values = totalValues();
    EXPECT_EQ(std::vector<int>(values.begin() + 7, values.begin() + 10), (std::vector<int>{60, 65, 70}));
}

TEST_F(Scenario, DownloadFailingOnceIsTakenAgainFromItsAdvertisement)
{
    Batch* batch = addBatch();
    addFile(batch, QStringLiteral("first.bin"), 300);
    addFile(batch, QStringLiteral("second.bin"), 300);
    terminal.failedDownloads["FIRST.BIN"] = 1;
    // The count of restarts starts again for each file: three more on the
    // second one are still allowed.
    terminal.failedDownloads["SECOND.BIN"] = 3;

    ASSERT_TRUE(install());
    EXPECT_EQ(terminal.count("advertise 000300FIRST.BIN"), 2);
    EXPECT_EQ(terminal.count("advertise 000300SECOND.BIN"), 4);
    EXPECT_EQ(std::count(totals.begin(), totals.end(), files(1, 2, 60)), 2);
    EXPECT_EQ(std::count(totals.begin(), totals.end(), files(2, 2, 65)), 4);
    EXPECT_EQ(log.count(QStringLiteral("RESTART -1")), 1);
    EXPECT_EQ(log.count(QStringLiteral("RESTART 0")), 3);
    EXPECT_EQ(log.count(QStringLiteral("START 0")), 2);
    EXPECT_EQ(log.count(QStringLiteral("START 1")), 4);
    EXPECT_EQ(terminal.received.size(), 2u);
}

TEST_F(Scenario, LateFinalConfirmationIsNotTakenForTheRetrysAnswer)
{
    // The confirmation comes after its read gave up and waits in the input
    // while the download is taken again from its advertisement.
    addFile(addBatch(), QStringLiteral("first.bin"), 300);
    terminal.lateFinalConfirmations = 1;
    EXPECT_TRUE(install()) << title.toStdString();
    EXPECT_EQ(terminal.count("advertise 000300FIRST.BIN"), 2);
    EXPECT_EQ(terminal.count("download FIRST.BIN"), 2);
}

TEST_F(Scenario, DownloadFailingFourTimesEndsTheRun)
{
    addFile(addBatch(), QStringLiteral("sub/dir/Payload.bin"), 300);
    terminal.failedDownloads["PAYLOAD.BIN"] = 4;
    EXPECT_FALSE(install());
    EXPECT_EQ(title, u("Erreur chargement"));
    EXPECT_EQ(text,
              u("Le fichier : PAYLOAD.BIN ne peut pas être chargé dans le terminal.\nVeuillez contacter le support."));
    EXPECT_EQ(log.count(QStringLiteral("RESTART -1")), 3);
    EXPECT_EQ(terminal.count("download PAYLOAD.BIN"), 4);
    EXPECT_FALSE(terminal.contains("activate"));
}

TEST_F(Scenario, SuccessOnThePassAfterTheThirdRestartCountsAsDone)
{
    Batch* batch = addBatch();
    addFile(batch, QStringLiteral("first.bin"), 300);
    addFile(batch, QStringLiteral("second.bin"), 30);
    terminal.failedDownloads["FIRST.BIN"] = 3;
    ASSERT_TRUE(install());
    EXPECT_EQ(terminal.count("download FIRST.BIN"), 4);
    EXPECT_EQ(terminal.count("download SECOND.BIN"), 1);
    EXPECT_EQ(terminal.received.size(), 2u);
}

// ---------------------------------------------------------------- restart wait

namespace {

struct RebootCase {
    int delayReboot;
    int expectedWait;
};

class RestartWait : public EngineTest, public ::testing::WithParamInterface<RebootCase> {};

} // namespace

TEST_P(RestartWait, IsAtLeastThirtyFiveSeconds)
{
    addBatch();
    config->terminal->delayReboot = GetParam().delayReboot;
    ASSERT_TRUE(install());
    EXPECT_EQ(restartWaits(), std::vector<int>{GetParam().expectedWait});
    // The wait is the last pause of the batch: nothing sleeps after it.
    EXPECT_EQ(static_cast<int>(clock->sleeps.back()), GetParam().expectedWait);
}

INSTANTIATE_TEST_SUITE_P(DelayReboot, RestartWait,
                         ::testing::Values(RebootCase{35000, 35000}, RebootCase{0, 35000}, RebootCase{-5, 35000},
                                           RebootCase{34999, 35000}, RebootCase{35001, 35001},
                                           RebootCase{90000, 90000}));
