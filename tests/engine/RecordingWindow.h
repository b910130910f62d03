#pragma once
// Stands in for the desktop window: the six slots the Model connects to by
// signature, each counting what it received.
#include <QObject>
#include <QString>
#include <utility>
#include <vector>

class RecordingWindow : public QObject {
    Q_OBJECT
public:
    int loaded = 0;
    int failed = 0;
    int found = 0;
    int notFound = 0;
    std::vector<std::pair<QString, int>> modules;
    std::vector<std::pair<QString, int>> totals;

public slots:
    void on_configuration_loaded() { ++loaded; }
    void on_configuration_failed() { ++failed; }
    void on_terminals_found() { ++found; }
    void on_terminals_failed() { ++notFound; }
    void on_module_progressed(QString text, int value) { modules.emplace_back(text, value); }
    void on_total_progressed(QString text, int value) { totals.emplace_back(text, value); }
};
