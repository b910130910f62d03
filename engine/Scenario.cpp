// The installation scenario: every batch of the configuration is one complete
// connection to the terminal, from the opening frame to the restart wait.
// Progress goes out through the two progression signals; the outcome is one
// of a fixed set of French title and text pairs.
#include "engine/FileName.h"
#include "engine/Model.h"
#include "protocol/CommandSet.h"
#include "protocol/Steps.h"

#include <QDebug>
#include <algorithm>

namespace {

// Three restarts of a file at most: the fourth failed download ends the run.
constexpr int kMaxRestarts = 3;

// The overall bar covers the batches with this much in total before the
// final 100; each batch advances it in steps of total / batches.
constexpr int kBatchSpan = 10;

// What the scenario undoes before reporting a failure.
enum class CleanUp { None, Close, ReleaseAndClose };

struct FailureRow {
    const char* stage; // for the technician: the step that failed, an exchange's in its words
    CleanUp cleanUp;
    const char* title;
    const char* text;          // for the per-file failures, the text before the file name
    const char* textAfterFile; // nullptr unless the text names the file
};

const char* const kFileUnreadable = " ne peut pas être lu.\nVeuillez contacter le support.";
const char* const kFileRefused = " n'est pas autorisé sur le terminal.\nVeuillez contacter le support.";
const char* const kFileNotLoaded = " ne peut pas être chargé dans le terminal.\nVeuillez contacter le support.";

} // namespace

// One run of the scenario; the state lives as long as the call.
class InstallRun {
public:
    InstallRun(Model& model, const PortChoice& port) : model_(model), port_(port) {}

    bool run(QString& title, QString& text);

private:
    enum Stage {
        NoScenario,
        Open,
        Init,
        Varlenne,
        Hardware,
        Coherence,
        ApplicationList,
        Information,
        Authorization,
        Download,
        Activation,
        Close,
        StageCount
    };
    static const FailureRow kFailures[StageCount];

    bool runBatch(const Batch& batch);
    bool runFiles(const QList<Application*>& files);
    bool runFile(const Application& file, int index, int count);
    void waitForRestart();

    bool fail(Stage stage, const Application* file = nullptr);
    QString causeOf(Stage stage) const;
    void total(const QString& text, int value) { emit model_.setTotalProgression(text, value); }
    void total(const char* text, int value) { total(QString::fromUtf8(text), value); }
    void module(const char* text, int value) { emit model_.setModuleProgression(QString::fromUtf8(text), value); }

    Model& model_;
    const PortChoice port_;
    int step_ = 0;
    int overall_ = 0;      // the overall bar before a batch starts
    int filePosition_ = 0; // the overall bar during the files of a batch
    int restarts_ = 0;     // consecutive failed downloads of the current file
    Stage failure_ = NoScenario;
    QString failedFile_;
};

const FailureRow InstallRun::kFailures[StageCount] = {
    {"configuration", CleanUp::None, "Erreur fichier de configuration",
     "Le fichier de configuration ne contient pas de scénario", nullptr},
    {"port opening", CleanUp::None, "Erreur ouverture",
     "Le terminal sélectionné n'est pas disponible.\nVeuillez fermer toutes les applications ou contacter le support.",
     nullptr},
    {row(Step::Opening).what, CleanUp::Close, "Erreur initialisation",
     "Le terminal ne peut pas être initialisé.\nVeuillez contacter le support.", nullptr},
    {row(Step::Varlenne).what, CleanUp::ReleaseAndClose, "Erreur varlenne",
     "L'application \"Varlenne\" n'est pas installée sur le terminal.\n", nullptr},
    {row(Step::Hardware).what, CleanUp::ReleaseAndClose, "Erreur HTerminal",
     "La configuration matérielle du terminal ne peut pas être lue.\nVeuillez contacter le support.", nullptr},
    {"hardware check", CleanUp::ReleaseAndClose, "Erreur cohérence HTerminal",
     "La configuration matérielle du terminal ne correspond pas au package à installer.\nVeuillez contacter le "
     "support.",
     nullptr},
    {row(Step::List).what, CleanUp::ReleaseAndClose, "Erreur liste applications",
     "La liste des applications ne peut pas être lue.\nVeuillez contacter le support.", nullptr},
    {row(Step::Advertise).what, CleanUp::ReleaseAndClose, "Erreur Information", "Le fichier : ", kFileUnreadable},
    {row(Step::Authorize).what, CleanUp::ReleaseAndClose, "Erreur autorisation", "Le fichier : ", kFileRefused},
    {row(Step::DownloadStart).what, CleanUp::ReleaseAndClose, "Erreur chargement", "Le fichier : ", kFileNotLoaded},
    {row(Step::Activate).what, CleanUp::Close, "Erreur Activation",
     "Les fichiers ne peuvent pas être installés sur le terminal.\nVeuillez contacter le support.", nullptr},
    {"port closing", CleanUp::None, "Erreur fermeture",
     "Le terminal sélectionné ne peut pas être relâché.\nVeuillez contacter le support.", nullptr},
};

bool InstallRun::run(QString& title, QString& text)
{
    const QList<Batch*> batches = model_.configuration()->batches();
    bool done = false;
    model_.failureStage_.clear();
    model_.failureCause_.clear();
    if (batches.isEmpty()) {
        fail(NoScenario);
    } else {
        step_ = kBatchSpan / batches.size();
        total("Démarrage de l'installation", 0);
        module("Veuillez patienter ...", 0);
        done = std::all_of(batches.begin(), batches.end(), [this](const Batch* batch) { return runBatch(*batch); });
    }

    if (!done) {
        const FailureRow& row = kFailures[failure_];
        title = QString::fromUtf8(row.title);
        text = QString::fromUtf8(row.text);
        if (row.textAfterFile)
            text += failedFile_ + QString::fromUtf8(row.textAfterFile);
        return false;
    }
    total("Installation réalisée avec succès", 100);
    title = QString::fromUtf8("Installation réalisée avec succès");
    text = QString::fromUtf8("Le terminal a été correctement mis à jour.");
    return true;
}

bool InstallRun::runBatch(const Batch& batch)
{
    const QList<Application*> files = batch.applications;
    model_.result_.batches.append(BatchResult{batch.id, {}, false});

    overall_ += step_;
    total("Tentative d'accès au terminal", overall_);
    if (!model_.openPort(port_))
        return fail(Open);

    overall_ += step_;
    total("Initialisation du terminal", overall_);
    if (!model_.initTerminal())
        return fail(Init);

    overall_ += step_;
    total("Initialisation de l'application \"Varlenne\" du terminal", overall_);
    if (!model_.startVarlenne())
        return fail(Varlenne);

    total("Récupération de la configuration matérielle du terminal", overall_ + step_);
    if (!model_.readHardwareConfiguration())
        return fail(Hardware);
    model_.result_.hardwareRecord =
        QByteArray(reinterpret_cast<const char*>(model_.hardwareRecord.data()), Model::kHardwareRecordSize);

    total("Vérification de la cohérence de la configuration matérielle du terminal", overall_ + step_);
    const bool accepted = model_.checkHardwareConfiguration();
    model_.result_.acceptedEntry = model_.acceptedEntry;
    if (!accepted)
        return fail(Coherence);

    total("Vérification de la liste des applications du terminal", overall_ + 2 * step_);
    if (!model_.readApplicationList())
        return fail(ApplicationList);
    if (model_.result_.batches.size() == 1)
        model_.result_.applications = model_.applicationNames;

    filePosition_ = overall_ + 3 * step_;
    if (!runFiles(files))
        return false;

    total("Installation des applications sur le terminal en cours", filePosition_);
    module("Tous les fichiers ont été téléchargés", 100);
    if (!model_.activateFiles())
        return fail(Activation);
    BatchResult& done = model_.result_.batches.last();
    done.activated = true;
    for (FileResult& file : done.files)
        file.installed = file.downloaded;

    total("Redémarrage du terminal en cours. Veuillez patienter ...", filePosition_ + step_);
    module("Tous les fichiers ont été installés", 100);
    model_.releaseTerminal(); // the port is closed whatever the terminal answered
    if (!model_.closePort())
        return fail(Close);

    waitForRestart();
    overall_ = filePosition_ + 2 * step_;
    return true;
}

bool InstallRun::runFiles(const QList<Application*>& files)
{
    const int count = files.size();
    for (int index = 0; index < count; ++index) {
        if (!runFile(*files[index], index, count))
            return false;
        filePosition_ += step_ / count;
        restarts_ = 0;
    }
    return true;
}

// One file, from its advertisement to the end of its download, taken again
// from the advertisement after each failed download until the restarts are spent.
bool InstallRun::runFile(const Application& file, int index, int count)
{
    QList<FileResult>& results = model_.result_.batches.last().files;
    results.append(FileResult{file.file, fileDisplayName(file.file)});
    FileResult& result = results.last();
    for (;;) {
        bool skip = false;
        qDebug("START %d", index);
        total(QString::fromUtf8("Téléchargement des fichiers en cours (%1/%2)").arg(index + 1).arg(count),
              filePosition_);
        if (!model_.sendInfo(&file, skip))
            return fail(Information, &file);
        result.advertised = !skip;
        result.skipped = skip;
        if (skip) {
            qInfo("Download Skipping App %s", qUtf8Printable(file.file));
            return true;
        }
        if (!model_.requestAuthorization())
            return fail(Authorization, &file);
        // A success on the pass after the last restart still counts: the file is in.
        ++result.attempts;
        result.downloaded = model_.downloadFile(&file);
        result.resends += model_.lastResendRequests();
        if (result.downloaded)
            return true;
        // A download stopped on request is not taken again.
        if (restarts_ >= kMaxRestarts || model_.stopRequested())
            return fail(Download, &file);
        ++restarts_;
        // The restart trace is numbered one below the START trace of the same
        // file: the numbering that readers of these logs know.
        qDebug("RESTART %d", index - 1);
    }
}

void InstallRun::waitForRestart()
{
    const int delay = model_.configuration()->terminalDelayReboot();
    model_.pauseUnlessStopped(static_cast<uint32_t>(std::max(delay, Model::kMinimumRestartWaitMs)));
}

// Why the stage failed, before the clean-up's exchanges replace the last
// command's failure with their own.
QString InstallRun::causeOf(Stage stage) const
{
    switch (stage) {
    case NoScenario: return QStringLiteral("the configuration has no batch");
    case Open: {
        // The port's own words: "permission denied on /dev/ttyUSB0; ...".
        if (!model_.openProblem_.isEmpty())
            return model_.openProblem_;
        const QString why = model_.port_->lastOpenFailure().describe();
        return why.isEmpty() ? QStringLiteral("the port cannot be opened") : why;
    }
    case Close: return QStringLiteral("the port cannot be closed");
    default: return model_.commandCause_;
    }
}

bool InstallRun::fail(Stage stage, const Application* file)
{
    QString where = QString::fromUtf8(kFailures[stage].stage);
    if (file)
        where += QLatin1Char(' ') + fileDisplayName(file->file);
    model_.failureStage_ = where;
    model_.failureCause_ = causeOf(stage);
    qInfo("Model::install failed: %s: %s", qUtf8Printable(where), qUtf8Printable(model_.failureCause_));

    const CleanUp cleanUp = kFailures[stage].cleanUp;
    if (cleanUp == CleanUp::ReleaseAndClose)
        model_.releaseTerminal();
    if (cleanUp != CleanUp::None)
        model_.closePort();
    failure_ = stage;
    if (file)
        failedFile_ = fileDisplayName(file->file);
    return false;
}

bool Model::install(const QString& port, QString& title, QString& text)
{
    return install(PortChoice::label(port), title, text);
}

bool Model::install(const PortChoice& port, QString& title, QString& text)
{
    result_ = InstallationResult{};
    result_.started = QDateTime::currentDateTimeUtc();
    const bool done = InstallRun(*this, port).run(title, text);
    commands_->clearStop();
    result_.success = done;
    result_.title = title;
    result_.text = text;
    result_.stage = failureStage_;
    result_.cause = failureCause_;
    result_.ended = QDateTime::currentDateTimeUtc();
    emit installationFinished(result_);
    return done;
}
