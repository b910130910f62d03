// mirdal-cli install with several --port: four simulated terminals updated
// at once, one of them failing; the others are not disturbed.
#include "tests/cli/CliHarness.h"
#include "tests/support/SignedConfiguration.h"

#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <memory>

namespace {

const char* const kSuccess = "Installation réalisée avec succès\nLe terminal a été correctement mis à jour.\n";
const char* const kNotLoaded = "Erreur chargement\nLe fichier : APP.BIN ne peut pas être chargé dans le "
                               "terminal.\nVeuillez contacter le support.\n"
                               "cause: refused by the terminal (answer 04 01 00)\n";

} // namespace

TEST(SeveralTerminals, OneOfFourFailsTheOthersAreUpdated)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString folder = dir.path() + QLatin1Char('/');
    ConfigurationSpec layout;
    // Ten blocks: paced like a real line, each download takes over a second,
    // so the four sessions overlap.
    layout.batches = {{{QStringLiteral("app.bin"), QByteArray(1220, 'x')}}};
    if (!writeSignedConfiguration(folder, layout))
        GTEST_SKIP() << "the build's signing key holds no private half";

    const QStringList paced = terminalFor(folder)
                              << QStringLiteral("--baud") << QStringLiteral("9600") << QStringLiteral("--quiet");
    std::vector<std::unique_ptr<Simulator>> terminals;
    for (int i = 0; i < 4; ++i) {
        // The third one refuses every download: the file is taken again three
        // times, then its update fails.
        const QStringList faults =
            i == 2 ? QStringList{QStringLiteral("--fail-download"), QStringLiteral("4")} : QStringList{};
        terminals.push_back(std::make_unique<Simulator>(paced + faults));
    }
    QStringList args;
    for (const auto& terminal : terminals)
        args << QStringLiteral("--port") << terminal->device();
    const CliRun run = runCli(QStringLiteral("install"),
                              args << QStringLiteral("--config-dir") << folder << QStringLiteral("--time-scale")
                                   << QStringLiteral("0.001") << QStringLiteral("--verbose"));

    EXPECT_EQ(run.exitCode, 1);
    // Every port's result, in the order the ports were given.
    QString expected;
    for (size_t i = 0; i < terminals.size(); ++i)
        expected += terminals[i]->device() + QLatin1Char('\n') + QString::fromUtf8(i == 2 ? kNotLoaded : kSuccess);
    EXPECT_EQ(run.out, expected);

    // All four had started before any had finished: they ran at the same time.
    const int firstEnd = run.err.indexOf(QStringLiteral("[100%]"));
    ASSERT_GE(firstEnd, 0) << run.err.toStdString();
    for (const auto& terminal : terminals) {
        const int started =
            run.err.indexOf(terminal->device() + QString::fromUtf8(": [ 60%] Téléchargement des fichiers"));
        EXPECT_GE(started, 0) << run.err.toStdString();
        EXPECT_LT(started, firstEnd) << run.err.toStdString();
    }

    // The engine's log lines (--verbose) name their terminal, as its progress lines do.
    for (const auto& terminal : terminals)
        EXPECT_TRUE(run.err.contains(terminal->device() +
                                     QStringLiteral(": Model::sendInfo advertise file APP.BIN of size 1220\n")))
            << run.err.toStdString();

    // The three others received the package whole; the failing one kept nothing.
    for (size_t i = 0; i < terminals.size(); ++i) {
        EXPECT_EQ(terminals[i]->stop(), 0) << terminals[i]->trace().toStdString();
        const QString kept = i == 2 ? QStringLiteral("0 file(s) received, 0 problem(s)")
                                    : QStringLiteral("1 file(s) received, 0 problem(s)");
        EXPECT_TRUE(terminals[i]->trace().contains(kept)) << terminals[i]->trace().toStdString();
    }
}
