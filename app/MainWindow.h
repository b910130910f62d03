#pragma once
// The main window's controller: owns the update engine, starts its jobs,
// keeps the terminal list in step with the port search, runs the installation
// on the global thread pool and shows its outcome.
#include "engine/Model.h"
#include "transport/PortProvider.h"

#include <QMainWindow>
#include <QString>

namespace Ui {
class MainWindow;
}
class About;

class MainWindow : public QMainWindow {
    Q_OBJECT
public:
    explicit MainWindow(QWidget* parent = nullptr);
    // The engine's port provider, clock and configuration directory come
    // from `options` (tests and demonstrations); the default is the PC's own.
    explicit MainWindow(ModelOptions options, QWidget* parent = nullptr);
    ~MainWindow() override;

    // Pool thread: the whole installation on `port`, reported by displayResult.
    void runInstall(const QString& port);

signals:
    void displayResult(bool success, QString title, QString text, QString details);

public slots:
    void on_configuration_loaded();
    void on_configuration_failed();
    void on_terminals_found();
    void on_terminals_failed();
    void on_module_progressed(QString info, int value);
    void on_total_progressed(QString info, int value);

private slots:
    void on_generateButton_clicked();
    void on_about_clicked();
    void on_result_displayed(bool, QString, QString, QString);
    void on_pushButton_clicked();

private:
    void resetTerminalList();
    void searchTerminals();
    bool terminalListShows(const QStringList& labels) const;
    // Pool thread, at the end of every installation: its record.
    void recordUpdate(const InstallationResult& result);

    Ui::MainWindow* ui;
    Model* model;
    About* about;
    bool installing;
    std::shared_ptr<PortProvider> ports_; // the engine's, to describe the port of a record
    QString installPort_;                 // the label being installed on (pool thread)
};
