// What the record costs: an update's record made and written to a local file
// that already holds many sessions (the work the CLI and the window add to an
// update), and the configuration's facts read once per run.
#include "config/Configuration.h"
#include "record/RecordSettings.h"
#include "transport/PortProvider.h"

#include <QCoreApplication>
#include <QTemporaryDir>
#include <benchmark/benchmark.h>

namespace {

InstallationResult sampleResult()
{
    InstallationResult result;
    result.success = true;
    result.title = QStringLiteral("Installation réalisée avec succès");
    result.text = QStringLiteral("Le terminal a été correctement mis à jour.");
    result.hardwareRecord = QByteArray(126, '\0');
    result.acceptedEntry = 0;
    result.applications = QStringList{"VARLENNE", "PAYMENT"};
    result.started = QDateTime::currentDateTimeUtc();
    result.ended = result.started.addSecs(90);
    for (int batch = 1; batch <= 2; ++batch) {
        BatchResult b{batch, {}, true};
        for (const char* name : {"PARAM.CFG", "FONTS.BIN"})
            b.files.append(FileResult{name, name, true, false, 1, 0, true, true});
        result.batches.append(b);
    }
    return result;
}

Configuration* sample()
{
    static Configuration* configuration = [] {
        auto* c = new Configuration;
        c->setDirectory(QStringLiteral(MIRDAL_SAMPLE_CONFIGURATION));
        c->load();
        return c;
    }();
    return configuration;
}

void BM_ConfigurationFacts(benchmark::State& state)
{
    for (auto _ : state)
        benchmark::DoNotOptimize(configurationFacts(*sample()));
}
BENCHMARK(BM_ConfigurationFacts)->Unit(benchmark::kMillisecond);

// One record as `mirdal-cli install` writes it (open, check the schema, write, close), to a file of
// state.range(0) sessions.
void BM_RecordOneUpdate(benchmark::State& state)
{
    QTemporaryDir folder;
    RecordSettings settings;
    settings.database = folder.filePath(QStringLiteral("records.sqlite"));
    const ConfigurationFacts facts = configurationFacts(*sample());
    PortInfo port;
    port.systemLocation = QStringLiteral("/dev/ttyUSB0");
    const InstallationResult result = sampleResult();
    for (int64_t i = 0; i < state.range(0); ++i)
        keepRecord(makeRecord(result, facts, port), settings);
    for (auto _ : state) {
        const QString problem = keepRecord(makeRecord(result, facts, port), settings);
        if (!problem.isEmpty())
            state.SkipWithError(qPrintable(problem));
    }
}
BENCHMARK(BM_RecordOneUpdate)->Arg(1)->Arg(10000)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication application(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    return 0;
}
