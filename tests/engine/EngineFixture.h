#pragma once
// A Model wired to a scripted terminal and a recording clock, a configuration
// built in memory over package files in a temporary folder, and recorders for
// the progression signals and the log.
#include "tests/engine/FakeTerminal.h"
#include "tests/support/FakeClock.h"
#include "tests/support/LogCapture.h"
#include "engine/Model.h"

#include <QStringList>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <memory>
#include <utility>
#include <vector>

using Progress = std::pair<QString, int>;

// Readable failure messages.
void PrintTo(const QString& text, std::ostream* os);

class EngineTest : public ::testing::Test {
protected:
    void SetUp() override;

    Batch* addBatch();
    // A package holding `content` under `name` in the temporary folder.
    Application* addFile(Batch* batch, const QString& name, const QByteArray& content);
    Application* addFile(Batch* batch, const QString& name, int size);
    // An entry whose file path is given as is.
    Application* addEntry(Batch* batch, const QString& path);
    void acceptHardware(std::array<uint8_t, 3> id);

    bool install();
    std::vector<int> totalValues() const;
    std::vector<int> restartWaits() const;

    QTemporaryDir dir;
    FakeTerminal terminal;
    std::shared_ptr<FakeClock> clock = std::make_shared<FakeClock>();
    int pcscSwitches = 0;
    std::unique_ptr<Model> model;
    Configuration* config = nullptr;
    std::vector<Progress> totals;
    std::vector<Progress> modules;
    LogCapture log;
    QString title;
    QString text;

    static const QString kPort;
};
