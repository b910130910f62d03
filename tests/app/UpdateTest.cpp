// A whole update through the window: the engine's only port is the
// pseudo-terminal of a simulated terminal (mirdal-sim), the pauses are scaled
// down, the test presses the start button and watches both bars, the result
// box and the end of the program.
#include "app/MainWindow.h"
#include "tests/app/WindowHarness.h"

#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QLabel>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>
#include <QTemporaryDir>
#include <QtTest>

class UpdateTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    void wholeUpdateEndsWithSuccessAndQuits();
    void windowClosedDuringAnUpdateStopsItAtItsNextExchange();

private:
    QTemporaryDir received;
    QProcess simulator;
    QString device;
    QString simulatorLog;
};

void UpdateTest::initTestCase()
{
    QVERIFY(received.isValid());
    simulator.setProgram(QStringLiteral(MIRDAL_BIN_DIR "/mirdal-sim"));
    simulator.setArguments({"--store", received.path(), "--verify", QStringLiteral(MIRDAL_SAMPLE_CONFIGURATION)});
    simulator.start();
    QVERIFY2(simulator.waitForStarted(), qPrintable(simulator.errorString()));
    // The simulator's first line names the pseudo-terminal it serves.
    QTRY_VERIFY_WITH_TIMEOUT(simulator.canReadLine() || simulator.state() != QProcess::Running, 20000);
    device = QString::fromLocal8Bit(simulator.readLine()).trimmed();
    QVERIFY2(device.startsWith(QStringLiteral("/dev/")), qPrintable(device));
}

void UpdateTest::cleanupTestCase()
{
    if (simulator.state() == QProcess::Running) {
        simulator.terminate();
        if (!simulator.waitForFinished(10000))
            simulator.kill();
    }
    // The simulator compared every file it received with the plain package.
    const QString log = simulatorLog + QString::fromLocal8Bit(simulator.readAllStandardError());
    QVERIFY2(log.contains(QStringLiteral(" 0 problem(s)")), qPrintable(log));
}

void UpdateTest::wholeUpdateEndsWithSuccessAndQuits()
{
    auto ports = std::make_shared<TestPorts>();
    ports->set({makerPort(device, QStringLiteral("Velmaris Terminal"))});
    auto* window = new MainWindow(testOptions(ports));
    auto* list = window->findChild<QComboBox*>("terminalsNames");
    auto* start = window->findChild<QPushButton*>("generateButton");
    auto* total = window->findChild<QProgressBar*>("totalProgressBar");
    auto* module = window->findChild<QProgressBar*>("moduleProgressBar");
    auto* status = window->findChild<QLabel*>("moduleLabel_2");

    QTRY_VERIFY(window->isVisible() && start->isEnabled());
    const QString label = QStringLiteral("Velmaris Terminal - (%1)").arg(QDir(device).dirName());
    QCOMPARE(list->currentText(), label);

    QList<int> totalValues;
    QList<int> moduleValues;
    connect(total, &QProgressBar::valueChanged, this, [&](int value) { totalValues << value; });
    connect(module, &QProgressBar::valueChanged, this, [&](int value) { moduleValues << value; });

    int totalUnderTheBox = -1;
    int moduleUnderTheBox = -1;
    QString statusUnderTheBox;
    BoxCloser closer([&](const BoxSeen&) {
        totalUnderTheBox = total->value();
        moduleUnderTheBox = module->value();
        statusUnderTheBox = status->text();
    });

    QTest::mouseClick(start, Qt::LeftButton);
    QVERIFY(!start->isEnabled());
    QVERIFY(!list->isEnabled());

    // A port plugged in during the installation rebuilds the list, which
    // enables the button but not the list; a click then starts nothing.
    ports->set({makerPort(device, QStringLiteral("Velmaris Terminal")),
                otherPort(QStringLiteral("ttyS0"), QStringLiteral("Communications Port"))});
    QTRY_COMPARE(list->count(), 3);
    QCOMPARE(list->currentText(), label);
    QVERIFY(start->isEnabled());
    QVERIFY(!list->isEnabled());
    QTest::mouseClick(start, Qt::LeftButton);
    QVERIFY(!start->isEnabled());
    QVERIFY(!list->isEnabled());
    QVERIFY(closer.seen.isEmpty());

    // Success closes the program once its box is closed.
    QCOMPARE(runUntilQuit(), 0);
    QCOMPARE(closer.seen.size(), 1);
    const BoxSeen box = closer.seen.first();
    QCOMPARE(box.icon, QMessageBox::Information);
    QCOMPARE(box.title, QStringLiteral("Installation réalisée avec succès"));
    QCOMPARE(box.text, QStringLiteral("Le terminal a été correctement mis à jour."));
    QCOMPARE(box.parent, window);
    QCOMPARE(box.buttons, QMessageBox::StandardButtons(QMessageBox::Ok));

    QCOMPARE(totalUnderTheBox, 100);
    QCOMPARE(moduleUnderTheBox, 100);
    QCOMPARE(statusUnderTheBox, QStringLiteral("Installation réalisée avec succès"));
    // The bars moved through the update, the overall one never backwards.
    QVERIFY(totalValues.size() > 5);
    QVERIFY(std::is_sorted(totalValues.begin(), totalValues.end()));
    QVERIFY(moduleValues.size() > 2);
    QVERIFY(std::any_of(moduleValues.begin(), moduleValues.end(), [](int v) { return v > 0 && v < 100; }));
    QVERIFY(start->isEnabled() && list->isEnabled());

    // The terminal received the files of the package, and the release frames
    // after the box; the window sends them once more when it goes away.
    QVERIFY(!QDir(received.path()).entryList(QDir::Files).isEmpty());
    const auto releases = [this] {
        simulatorLog += QString::fromLocal8Bit(simulator.readAllStandardError());
        return simulatorLog.count(QStringLiteral("first release frame"));
    };
    QTRY_COMPARE(releases(), 1);
    delete window;
    QTRY_COMPARE(releases(), 2);
}

// Closing the window in the middle of a download stops the update at its next
// exchange: the terminal gets the end of dialogue of the batch under way and
// the release frames, the second batch never starts, no box is shown, and the
// window is gone within the bound of one exchange, not of the whole update.
void UpdateTest::windowClosedDuringAnUpdateStopsItAtItsNextExchange()
{
    // A terminal paced like a 9600-baud line, so that a download takes seconds.
    QProcess paced;
    paced.setProgram(QStringLiteral(MIRDAL_BIN_DIR "/mirdal-sim"));
    paced.setArguments({"--baud", "9600"});
    paced.start();
    QVERIFY2(paced.waitForStarted(), qPrintable(paced.errorString()));
    QTRY_VERIFY_WITH_TIMEOUT(paced.canReadLine() || paced.state() != QProcess::Running, 20000);
    const QString pacedDevice = QString::fromLocal8Bit(paced.readLine()).trimmed();
    QString trace;
    const auto lines = [&](const QString& text) {
        trace += QString::fromLocal8Bit(paced.readAllStandardError());
        return trace.count(text);
    };

    auto ports = std::make_shared<TestPorts>();
    ports->set({makerPort(pacedDevice)});
    auto* window = new MainWindow(testOptions(ports));
    auto* start = window->findChild<QPushButton*>("generateButton");
    auto* module = window->findChild<QProgressBar*>("moduleProgressBar");
    QTRY_VERIFY(window->isVisible() && start->isEnabled());
    BoxCloser closer;
    QTest::mouseClick(start, Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(module->value() > 0 && module->value() < 100, 30000);

    QElapsedTimer closing;
    closing.start();
    delete window;
    // One block and its answer take 170 ms on the line; the longest exchange
    // a stop can wait for is a whole-answer read of 10 s.
    QVERIFY2(closing.elapsed() < 12000, qPrintable(QString::number(closing.elapsed())));

    QTRY_VERIFY(lines(QStringLiteral("first release frame")) >= 1);
    QCOMPARE(lines(QStringLiteral("end of session")), 1);
    QVERIFY(closer.seen.isEmpty());
    QCoreApplication::processEvents();
    QVERIFY(closer.seen.isEmpty());
    paced.terminate();
    QVERIFY(paced.waitForFinished(10000));
}

QTEST_MAIN(UpdateTest)
#include "UpdateTest.moc"
