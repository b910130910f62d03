// The engine's shared state under the threads of the desktop program: an
// installation on one thread, search passes that rebuild the port list on
// another, and the window's thread reading that list, receiving the progress
// signals and sending the release frames afterwards. Run under
// ThreadSanitizer (tools/sanitize.sh tsan), any unguarded access is a report.
#include "tests/support/SimProcess.h"

#include <QCoreApplication>
#include <QTimer>
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace {

// Stands in for the window: the slots the Model connects to, run on the
// thread of the event loop through queued connections, reading what the
// desktop window reads there (the port list after each search pass, the
// texts of the progress reports).
class Window : public QObject {
    Q_OBJECT
public:
    explicit Window(const Model* model = nullptr) : model_(model) {}
    void watch(const Model* model) { model_ = model; }

    int searches = 0;
    int listedPorts = 0;
    int totalUpdates = 0;
    int moduleUpdates = 0;
    int lastTotal = -1;
    qsizetype textBytes = 0;

public slots:
    void on_terminals_found() { refreshList(); }
    void on_terminals_failed() { refreshList(); }
    void on_module_progressed(QString text, int)
    {
        ++moduleUpdates;
        textBytes += text.size();
    }
    void on_total_progressed(QString text, int value)
    {
        ++totalUpdates;
        textBytes += text.size();
        lastTotal = value;
    }

private:
    void refreshList()
    {
        ++searches;
        listedPorts += model_->portLabels().size();
        if (model_->preferredPort() > model_->portLabels().size())
            ADD_FAILURE() << "preferred port beyond the list";
    }

    const Model* model_;
};

} // namespace

TEST(Concurrency, SearchPassesAndTheWindowDuringAnInstallation)
{
    SimProcess terminal;
    QString error;
    ASSERT_TRUE(terminal.start(healthyTerminal(), error)) << qPrintable(error);

    Window window;
    Rig rig;
    const QString label = rig.ports->show(terminal.device(), QStringLiteral("Simulated terminal"));
    ASSERT_TRUE(rig.build(error)) << qPrintable(error);
    Model& model = *rig.model;
    window.watch(&model);
    // As the window does: the six signals to its slots, queued from the pool threads.
    QObject::connect(&model, SIGNAL(setTotalProgression(QString, int)), &window,
                     SLOT(on_total_progressed(QString, int)));
    QObject::connect(&model, SIGNAL(setModuleProgression(QString, int)), &window,
                     SLOT(on_module_progressed(QString, int)));
    QObject::connect(&model, SIGNAL(terminalsFound()), &window, SLOT(on_terminals_found()));
    QObject::connect(&model, SIGNAL(terminalsFailed()), &window, SLOT(on_terminals_failed()));

    std::atomic<bool> installing{true};
    std::atomic<bool> searching{true};
    std::atomic<int> passes{0};
    bool installed = false;
    QString title, text;

    // The endless chain of search passes, each rebuilding the port list.
    std::thread search([&] {
        while (searching.load()) {
            model.findTerminals();
            ++passes;
        }
    });
    std::thread install([&] {
        installed = model.install(label, title, text);
        installing.store(false);
    });

    // The window's thread: reads the list as its slots do while the others run.
    QTimer poll;
    int reads = 0;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        const QStringList labels = model.portLabels();
        if (labels.size() == 1 && labels.first() == label && model.preferredPort() >= 0)
            ++reads;
        if (!installing.load())
            QCoreApplication::quit();
    });
    poll.start(1);
    QCoreApplication::exec();
    install.join();

    // The release frames on the window's thread while the search goes on.
    model.releasePorts();
    searching.store(false);
    search.join();
    QCoreApplication::processEvents();

    EXPECT_TRUE(installed) << qPrintable(title) << ": " << qPrintable(text);
    EXPECT_GT(passes.load(), 1);
    EXPECT_GT(reads, 0);
    EXPECT_GT(window.searches, 0);
    EXPECT_GT(window.listedPorts, 0);
    EXPECT_GT(window.textBytes, 0);
    EXPECT_GT(window.totalUpdates, 0);
    EXPECT_GT(window.moduleUpdates, 0);
    EXPECT_EQ(window.lastTotal, 100);
    EXPECT_FALSE(model.serialPort()->isOpen());
    terminal.stop();
}

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}

#include "ConcurrencyTest.moc"
