// The engine under the desktop program's threads: an installation, search passes rebuilding the port list,
// and the window's thread reading that list (in the search signals' slots too) and the progress texts, then
// sending the release frames during the search. Under ThreadSanitizer any unguarded access is a report.
#include "tests/support/SimProcess.h"

#include <QCoreApplication>
#include <QTimer>
#include <gtest/gtest.h>
#include <thread>

TEST(Concurrency, SearchPassesAndTheWindowDuringAnInstallation)
{
    SimProcess terminal;
    QString error, title, text;
    ASSERT_TRUE(terminal.start(healthyTerminal(), error)) << qPrintable(error);
    Rig rig;
    const QString label = rig.ports->show(terminal.device(), "Simulated terminal");
    ASSERT_TRUE(rig.build(error)) << qPrintable(error);
    Model& model = *rig.model;

    // The window's slots, queued from the pool threads to this one.
    QObject window;
    int listed = 0, texts = 0, lastTotal = -1, reads = 0;
    const auto refresh = [&] { listed += model.preferredPort() <= model.portLabels().size() ? 1 : -1000; };
    QObject::connect(&model, &Model::terminalsFound, &window, refresh);
    QObject::connect(&model, &Model::terminalsFailed, &window, refresh);
    QObject::connect(&model, &Model::setModuleProgression, &window, [&](QString info, int) { texts += info.size(); });
    QObject::connect(&model, &Model::setTotalProgression, &window, [&](QString info, int value) {
        texts += info.size();
        lastTotal = value;
    });

    std::atomic<bool> installing{true}, searching{true};
    std::atomic<int> passes{0};
    bool installed = false;
    std::thread search([&] { // the endless chain of search passes
        for (; searching; ++passes)
            model.findTerminals();
    });
    std::thread install([&] {
        installed = model.install(label, title, text);
        installing = false;
    });
    QTimer poll; // the window's thread reads the list while the others run
    QObject::connect(&poll, &QTimer::timeout, [&] {
        reads += model.portLabels() == QStringList{label} ? 1 : 0;
        if (!installing)
            QCoreApplication::quit();
    });
    poll.start(1);
    QCoreApplication::exec();
    install.join();
    model.releasePorts(); // on the window's thread, the search going on
    searching = false;
    search.join();
    QCoreApplication::processEvents();

    EXPECT_TRUE(installed) << qPrintable(title) << ": " << qPrintable(text);
    EXPECT_TRUE(passes > 1 && reads > 0 && listed > 0 && texts > 0) << passes << " " << reads << " " << listed;
    EXPECT_EQ(lastTotal, 100);
    EXPECT_FALSE(model.serialPort()->isOpen());
}
