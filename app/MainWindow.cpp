#include "app/MainWindow.h"

#include "app/About.h"
#include "app/Branding.h"
#include "config/ConfigurationError.h"
#include "app/Resources.h"
#include "record/RecordSettings.h"
#include "ui_mainwindow.h"

#include <QApplication>
#include <QDesktopServices>
#include <QMessageBox>
#include <QPixmap>
#include <QScreen>
#include <QStyle>
#include <QThreadPool>
#include <QtConcurrent>

#include <mutex>
#include <vector>

namespace {

const QString kPlaceholder = QStringLiteral("Sélectionnez le terminal");
const QString kTransparentBackground =
    QStringLiteral("background-color: qlineargradient(spread:pad, x1:0, y1:0, x2:1, y2:0, "
                   "stop:0 rgba(0, 0, 0, 0), stop:1 rgba(255, 255, 255, 0));");

// A search pass or an installation may still be running on the pool when its
// window goes away, so the engine is never deleted: it stays reachable here
// until the process ends.
void keepForProcessLifetime(Model* model)
{
    // The list itself is never destroyed either: as a plain static it would
    // be freed among the exit handlers, before a leak checker looks.
    static std::mutex mutex;
    static auto* models = new std::vector<Model*>;
    std::lock_guard<std::mutex> lock(mutex);
    models->push_back(model);
}

// Boxes are built as objects parented to the window so that they are modal to
// it (and can be found as the active modal widget).
void showBox(QWidget* parent, QMessageBox::Icon icon, const QString& title, const QString& text,
             const QString& details = {})
{
    QMessageBox box(icon, title, text, QMessageBox::Ok, parent);
    if (!details.isEmpty())
        box.setDetailedText(details);
    box.exec();
}

// What a technician needs under a failed update's fixed box: where and why it
// failed, what to do when the port is not this user's to open, and what the
// terminal installed before the failure. Started from the desktop menu, the
// program's own log is out of sight; this is the only place the cause shows.
QString failureDetails(const InstallationResult& result, const OpenFailure& refusal, bool placeholder)
{
    QStringList lines;
    if (placeholder)
        lines << QStringLiteral("cause: no terminal is chosen in the list; when none is listed, plug the terminal "
                                "in and wait for it to appear");
    else
        lines << QStringLiteral("stage: %1").arg(result.stage) << QStringLiteral("cause: %1").arg(result.cause);
    // The port's refusal is the cause only when the run stopped on it (not on another update's lock).
    if (refusal.kind == OpenFailure::PermissionDenied && result.cause == refusal.describe())
        lines << QStringLiteral("what to do: add this user to the dialout group (sudo adduser $USER dialout, then "
                                "log out and back in), or install the udev rule shipped in the package "
                                "(/usr/lib/udev/rules.d/70-mirdal.rules, then plug the terminal in again); "
                                "see /usr/share/doc/mirdal/README.md, Install");
    for (const BatchResult& batch : result.batches) {
        QStringList installed;
        for (const FileResult& file : batch.files)
            if (file.installed)
                installed << file.name;
        if (!installed.isEmpty())
            lines << QStringLiteral("installed before: batch %1: %2").arg(batch.id).arg(installed.join(", "));
    }
    return lines.join(QLatin1Char('\n'));
}

} // namespace

MainWindow::MainWindow(QWidget* parent) : MainWindow(ModelOptions{}, parent) {}

MainWindow::MainWindow(ModelOptions options, QWidget* parent) : QMainWindow(parent)
{
    registerImages();
    ui = new Ui::MainWindow;
    ui->setupUi(this);
    // The form's by-name binding is done here for the two buttons only: the
    // toolkit's binder would also visit the slots named after the engine's
    // signals (on_configuration_loaded...) and warn that no child emits them.
    connect(ui->generateButton, &QPushButton::clicked, this, &MainWindow::on_generateButton_clicked);
    connect(ui->pushButton, &QPushButton::clicked, this, &MainWindow::on_pushButton_clicked);

    about = new About(this);
    // Centred on the available area of the default screen.
    setGeometry(QStyle::alignedRect(Qt::LeftToRight, Qt::AlignCenter, size(),
                                    QGuiApplication::primaryScreen()->availableGeometry()));
    ui->terminalsNames->insertItem(ui->terminalsNames->count(), kPlaceholder);
    ui->generateButton->setEnabled(false);
    ui->operationDescriptionLabel->setStyleSheet(kTransparentBackground);
    ui->label_3->setStyleSheet(accentStyleSheet());
    if (!options.ports)
        options.ports = std::make_shared<SystemPortProvider>();
    ports_ = options.ports;
    model = new Model(this, std::move(options));
    keepForProcessLifetime(model);
    // Direct: the record is written on the installation's own pool thread, before its result box shows.
    connect(
        model, &Model::installationFinished, this, [this](const InstallationResult& result) { recordUpdate(result); },
        Qt::DirectConnection);
    ui->generateButton->setStyleSheet(accentStyleSheet());
    connect(this, &MainWindow::displayResult, this, &MainWindow::on_result_displayed);
    installing = false;

    QtConcurrent::run(QThreadPool::globalInstance(), model, &Model::loadConfiguration);
    searchTerminals();
}

MainWindow::~MainWindow()
{
    // A window closed during an installation stops it at its next exchange:
    // the scenario ends through that stage's clean-up, its result (queued to
    // this window) is dropped with it, and the release frames follow. The
    // program then ends once the exchange under way has ended, not when the
    // whole update would have.
    if (installing) {
        model->requestStop();
        QThreadPool::globalInstance()->waitForDone();
    }
    model->releasePorts();
    delete ui;
}

void MainWindow::searchTerminals()
{
    QtConcurrent::run(QThreadPool::globalInstance(), model, &Model::findTerminals);
}

void MainWindow::resetTerminalList()
{
    ui->terminalsNames->clear();
    ui->terminalsNames->insertItem(ui->terminalsNames->count(), kPlaceholder);
}

void MainWindow::on_configuration_loaded()
{
    const QPixmap picture(model->terminalImage());
    ui->imageTerminal->setPixmap(
        picture.scaled(ui->imageTerminal->size(), Qt::KeepAspectRatio, Qt::FastTransformation));
    ui->operationTitleLabel->setText(model->operationTitle());
    ui->operationDescriptionLabel->setText(model->operationDescription());
    show();
}

void MainWindow::on_configuration_failed()
{
    showBox(this, QMessageBox::Critical, QString::fromUtf8(kConfigurationErrorTitle),
            QString::fromUtf8(kConfigurationErrorText));
    // The window was never shown: with the box gone no window is left, and the
    // toolkit ends the program.
    ui->generateButton->setEnabled(false);
}

bool MainWindow::terminalListShows(const QStringList& labels) const
{
    const QComboBox* list = ui->terminalsNames;
    if (list->count() != labels.size() + 1)
        return false;
    for (int i = 0; i < labels.size(); ++i) {
        if (list->itemText(i + 1) != labels.at(i))
            return false;
    }
    return true;
}

void MainWindow::on_terminals_found()
{
    // The labels are compared one by one, not only counted: a port replaced by
    // another between two passes must not keep showing a label that no longer
    // opens. An unchanged list keeps the user's choice and the button's state.
    const QStringList labels = model->portLabels();
    if (!terminalListShows(labels)) {
        resetTerminalList();
        // The placeholder sits at index 0, so the 1-based preferred port is
        // directly the list index of the maker's port (0: the placeholder).
        const int preferred = model->preferredPort();
        for (const QString& label : labels)
            ui->terminalsNames->insertItem(ui->terminalsNames->count(), label);
        ui->terminalsNames->setCurrentIndex(preferred <= labels.size() ? preferred : 0);
        ui->generateButton->setEnabled(true);
    }
    searchTerminals();
}

void MainWindow::on_terminals_failed()
{
    resetTerminalList();
    searchTerminals();
    ui->generateButton->setEnabled(false);
}

void MainWindow::on_module_progressed(QString info, int value)
{
    ui->moduleLabel->setText(info);
    ui->moduleProgressBar->setValue(value);
}

void MainWindow::on_total_progressed(QString info, int value)
{
    ui->moduleLabel_2->setText(info);
    ui->totalProgressBar->setValue(value);
}

void MainWindow::on_generateButton_clicked()
{
    ui->generateButton->setEnabled(false);
    ui->terminalsNames->setEnabled(false);
    if (installing)
        return;
    installing = true;
    // The list stays disabled until the result is shown, so its text taken
    // here is what the job would read; widgets are not read off the GUI thread.
    QtConcurrent::run(QThreadPool::globalInstance(), this, &MainWindow::runInstall, ui->terminalsNames->currentText());
}

void MainWindow::runInstall(const QString& port)
{
    QString title;
    QString text;
    installPort_ = port;
    const bool result = model->install(port, title, text);
    emit displayResult(result, title, text,
                       result ? QString()
                              : failureDetails(model->lastResult(), model->lastOpenFailure(), port == kPlaceholder));
}

void MainWindow::recordUpdate(const InstallationResult& result)
{
    const PortInfo port = describePort(ports_->availablePorts(), installPort_);
    const RecordSettings settings = RecordSettings::resolve();
    const QString problem = keepRecord(makeRecord(result, configurationFacts(*model->configuration()), port), settings);
    // The result box stands whatever becomes of its record; the log tells, as it tells a failed update.
    if (!problem.isEmpty()) {
        qInfo("MainWindow: the update is not recorded: %s", qPrintable(problem));
        return;
    }
    // A server that is slow or away must not hold the result box: it is offered the record on its own.
    if (!settings.server.isEmpty())
        QtConcurrent::run(QThreadPool::globalInstance(), [settings] {
            const QString unpushed = pushQueued(settings);
            if (!unpushed.isEmpty())
                qInfo("the records stay queued for the server: %s", qPrintable(unpushed));
        });
}

void MainWindow::on_result_displayed(bool success, QString title, QString text, QString details)
{
    if (!details.isEmpty())
        qInfo("MainWindow: %s: %s", qUtf8Printable(title), qUtf8Printable(QString(details).replace('\n', "; ")));
    showBox(this, success ? QMessageBox::Information : QMessageBox::Critical, title, text, details);
    model->releasePorts();
    installing = false;
    ui->generateButton->setEnabled(true);
    ui->terminalsNames->setEnabled(true);
    if (success)
        QCoreApplication::quit();
}

void MainWindow::on_about_clicked()
{
    about->show();
}

void MainWindow::on_pushButton_clicked()
{
    QDesktopServices::openUrl(makerSite());
}
