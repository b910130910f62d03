#include "tests/engine/EngineFixture.h"

#include "tests/engine/Package.h"

#include <QDir>
#include <QFileInfo>

const QString EngineTest::kPort = QStringLiteral("Test terminal - (ttyT0)");

void EngineTest::SetUp()
{
    ASSERT_TRUE(dir.isValid());
    ModelOptions options;
    options.clock = clock;
    options.ports = std::make_shared<StaticPortProvider>(QList<PortInfo>{});
    options.pcscSwitch = [this] { ++pcscSwitches; };
    options.terminalPort = terminal.factory();
    options.configurationDirectory = dir.path() + QLatin1Char('/');
    model = std::make_unique<Model>(nullptr, std::move(options));
    config = model->configuration();
    if (!config->terminal)
        config->terminal = new Terminal(config);
    acceptHardware(terminal.hardwareId);

    QObject::connect(model.get(), &Model::setTotalProgression,
                     [this](const QString& status, int value) { totals.emplace_back(status, value); });
    QObject::connect(model.get(), &Model::setModuleProgression,
                     [this](const QString& status, int value) { modules.emplace_back(status, value); });
}

void EngineTest::acceptHardware(std::array<uint8_t, 3> id)
{
    auto* entry = new HTerminal(config);
    std::copy(id.begin(), id.end(), entry->data + 8);
    config->hterminalList.append(entry);
}

Batch* EngineTest::addBatch()
{
    auto* batch = new Batch(config);
    batch->id = config->batchList.size() + 1;
    config->batchList.append(batch);
    return batch;
}

Application* EngineTest::addEntry(Batch* batch, const QString& path)
{
    auto* application = new Application(path, batch);
    batch->applications.append(application);
    return application;
}

Application* EngineTest::addFile(Batch* batch, const QString& name, const QByteArray& content)
{
    const QString path = dir.filePath(name);
    EXPECT_TRUE(QFileInfo(path).dir().mkpath(QStringLiteral(".")));
    EXPECT_TRUE(writeFile(path, makePackage(content)));
    return addEntry(batch, path);
}

Application* EngineTest::addFile(Batch* batch, const QString& name, int size)
{
    return addFile(batch, name, patternContent(size));
}

bool EngineTest::install()
{
    return model->install(kPort, title, text);
}

std::vector<int> EngineTest::totalValues() const
{
    std::vector<int> values;
    for (const Progress& progress : totals)
        values.push_back(progress.second);
    return values;
}

// The pauses of at least 35 s: only the restart wait is that long.
std::vector<int> EngineTest::restartWaits() const
{
    std::vector<int> waits;
    for (uint32_t ms : clock->sleeps) {
        if (ms >= 35000)
            waits.push_back(static_cast<int>(ms));
    }
    return waits;
}

void PrintTo(const QString& text, std::ostream* os)
{
    *os << '"' << text.toStdString() << '"';
}
