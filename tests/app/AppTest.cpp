// The desktop window as the user meets it: its texts, the terminal list, its
// states and message boxes, a whole update through it against the simulated
// terminal (mirdal-sim), and a window closed during an update.
#include "app/MainWindow.h"

#include <QtTest>
#include <QtWidgets>
#include <mutex>

namespace {

// Ports as the test sets them; counts the search passes that listed them.
struct TestPorts : PortProvider {
    QList<PortInfo> availablePorts() const override
    {
        std::lock_guard<std::mutex> lock(mutex);
        ++passes;
        return ports;
    }
    void set(QList<PortInfo> list)
    {
        std::lock_guard<std::mutex> lock(mutex);
        ports = std::move(list);
    }
    mutable std::mutex mutex;
    mutable std::atomic<int> passes{0};
    QList<PortInfo> ports;
};

// A port without a device behind it names none, so that the release frames
// never reach a real device of the machine running the tests.
PortInfo port(const QString& name, const QString& description, bool maker = false, const QString& device = {})
{
    return {name, description, maker ? "VELMARIS" : "Other Maker Inc.",
            device.isEmpty() ? "/nonexistent/mirdal-test/" + name : device};
}

} // namespace

class AppTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    void textsAndTerminalList();
    void failedStartsReturnToReadyAndNeverReachAnotherPort();
    void refusedConfigurationShowsOnlyItsBoxThenQuits();
    void wholeUpdateEndsWithSuccessAndQuits();
    void windowClosedDuringAnUpdateStopsItAtItsNextExchange();

private:
    void makeWindow(const QString& directory = QStringLiteral(MIRDAL_SAMPLE_CONFIGURATION))
    {
        delete window;
        ModelOptions options;
        options.ports = ports;
        options.clock = std::make_shared<ScaledClock>(0.01);
        options.configurationDirectory = directory;
        options.pcscSwitch = [] {};
        window = new MainWindow(options);
    }
    // Presses OK on a message box once it is shown and active, after noting
    // "icon | title | text | box on the window, window shown, start button
    // and list enabled | status line" and running `onBox`.
    void closeBox()
    {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box || !box->isVisible() || !box->isActiveWindow() || !window)
            return;
        const QString state = QString("%1 %2 %3 %4").arg(box->parentWidget() == window).arg(window->isVisible());
        boxes << QStringList{box->icon() == QMessageBox::Critical ? "critical" : "information", box->windowTitle(),
                             box->text(), state.arg(start()->isEnabled()).arg(list()->isEnabled()),
                             window->findChild<QLabel*>("moduleLabel_2")->text()}
                     .join(" | ");
        if (onBox)
            onBox();
        box->button(QMessageBox::Ok)->click();
    }
    // Starts mirdal-sim; its first line names the pseudo-terminal it serves.
    static QString startSimulator(QProcess& process, const QStringList& arguments)
    {
        process.start(MIRDAL_BIN_DIR "/mirdal-sim", arguments);
        (void)QTest::qWaitFor([&] { return process.canReadLine() || process.state() == QProcess::NotRunning; }, 20000);
        return QString::fromLocal8Bit(process.readLine()).trimmed();
    }
    int simulatorSaid(const QString& line)
    {
        log += QString::fromLocal8Bit(simulator.readAllStandardError());
        return log.count(line);
    }
    QString entries() const
    {
        QStringList texts;
        for (int i = 0; i < list()->count(); ++i)
            texts << list()->itemText(i);
        return texts.join(", ");
    }
    QComboBox* list() const { return window->findChild<QComboBox*>("terminalsNames"); }
    QPushButton* start() const { return window->findChild<QPushButton*>("generateButton"); }
    QProgressBar* bar(const char* name) const { return window->findChild<QProgressBar*>(name); }

    std::shared_ptr<TestPorts> ports = std::make_shared<TestPorts>();
    QPointer<MainWindow> window;
    QTemporaryDir received;
    QProcess simulator;
    QString device, log;
    QStringList boxes;
    std::function<void()> onBox;
    QTimer boxCloser;
};

void AppTest::initTestCase()
{
    device = startSimulator(simulator, {"--store", received.path(), "--verify", MIRDAL_SAMPLE_CONFIGURATION});
    QVERIFY2(device.startsWith("/dev/"), qPrintable(device));
    connect(&boxCloser, &QTimer::timeout, this, &AppTest::closeBox);
    boxCloser.start(20);
}

void AppTest::cleanupTestCase()
{
    delete window;
    simulator.terminate();
    QVERIFY(simulator.waitForFinished(10000));
    QVERIFY2(simulatorSaid(" 0 problem(s)") == 1, qPrintable(log)); // every file received matched the package
}

void AppTest::textsAndTerminalList()
{
    ports->set({});
    makeWindow();
    QVERIFY(!window->isVisible()); // Hidden until the configuration is read
    QCOMPARE(entries(), "Sélectionnez le terminal");
    QVERIFY(!start()->isEnabled());
    QTRY_VERIFY(window->isVisible());
    const char* const texts[][3] = {
        {"MainWindow", "windowTitle", "Mirdal"},
        {"label_2", "text", "Votre terminal a été détecté sur le port :"},
        {"generateButton", "text", "Démarrer la mise à jour"},
        {"label_3", "text", "Mise à jour logicielle de votre terminal"},
        {"operationTitleLabel", "text", "Mise à jour du terminal M10"}, // the sample configuration's title
        {"menuAbout", "title", "Help"},
        {"actionAbout", "text", "About"},
        {"About", "windowTitle", "About"},
        {"versionLabel", "text", "Version: 2.0.3"},
        {"buildLabel", "text", "Build: 20180330"},
    };
    for (const auto& row : texts) {
        QObject* object = row[0] == window->objectName() ? window : window->findChild<QObject*>(row[0]);
        QVERIFY2(object, row[0]);
        QCOMPARE(object->property(row[1]).toString(), QString::fromUtf8(row[2]));
    }
    QVERIFY(!window->findChild<QLabel*>("imageTerminal")->pixmap(Qt::ReturnByValue).isNull());

    // Each row sets the ports (a, b: another maker's; m: the maker's), maybe
    // picks an entry, and waits for two more search passes (so that one of
    // them reached the window).
    const QMap<QChar, QPair<PortInfo, QString>> byLetter{
        {'a', {port("ttyS0", "Communications Port"), "Communications Port - (ttyS0)"}},
        {'b', {port("ttyS1", "Communications Port"), "Communications Port - (ttyS1)"}},
        {'m', {port("ttyACM0", "USB Serial Device", true), "USB Serial Device - (ttyACM0)"}}};
    const struct {
        const char* ports;
        int pick, current;
    } rows[] = {{"am", -1, 2}, // the maker's port preselected
                {"am", 1, 1},  // unchanged: the user's pick stays
                {"bm", -1, 2}, // one port replaced: rebuilt
                {"mb", -1, 1}, // another order: rebuilt
                {"ab", -1, 0}, // none of the maker's: the placeholder
                {"", -1, 0}};  // no port: start disabled
    for (const auto& row : rows) {
        QList<PortInfo> listed;
        QString labels = "Sélectionnez le terminal";
        for (const char* letter = row.ports; *letter; ++letter) {
            listed << byLetter[*letter].first;
            labels += ", " + byLetter[*letter].second;
        }
        ports->set(listed);
        if (row.pick >= 0)
            list()->setCurrentIndex(row.pick);
        const int passes = ports->passes;
        QTRY_VERIFY(ports->passes >= passes + 2);
        QCOMPARE(entries(), labels);
        QCOMPARE(list()->currentIndex(), row.current);
        QCOMPARE(start()->isEnabled(), *row.ports != 0);
    }
}

// A port that cannot be opened, then the placeholder (whose text names no
// port) after the release frames opened every listed port, the simulated
// terminal last: each fails with "Erreur ouverture", sends the installation
// nowhere, and returns to Ready after the release frames.
void AppTest::failedStartsReturnToReadyAndNeverReachAnotherPort()
{
    ports->set({port("mirdal-absent0", "Communications Port"), port("pts", "Velmaris Terminal", true, device)});
    makeWindow();
    QTRY_VERIFY(window->isVisible() && start()->isEnabled());
    QCOMPARE(list()->currentIndex(), 2);
    int releasesUnderTheBox = -1;
    onBox = [&] { releasesUnderTheBox = simulatorSaid("first release frame"); };
    for (const int entry : {1, 0}) {
        boxes.clear();
        const int releases = simulatorSaid("first release frame");
        list()->setCurrentIndex(entry);
        QTest::mouseClick(start(), Qt::LeftButton);
        QVERIFY(!start()->isEnabled() && !list()->isEnabled());
        QTRY_COMPARE(boxes, QStringList{"critical | Erreur ouverture | Le terminal sélectionné n'est pas disponible.\n"
                                        "Veuillez fermer toutes les applications ou contacter le support. | 1 1 0 0 | "
                                        "Tentative d'accès au terminal"});
        QCOMPARE(releasesUnderTheBox, releases);
        QTRY_VERIFY(start()->isEnabled() && list()->isEnabled());
        QTRY_COMPARE(simulatorSaid("first release frame"), releases + 1);
    }
    QCOMPARE(simulatorSaid("opening frame"), 0);
    onBox = {};
}

void AppTest::refusedConfigurationShowsOnlyItsBoxThenQuits()
{
    QTemporaryDir empty;
    boxes.clear();
    ports->set({});
    makeWindow(empty.path());
    QCOMPARE(QApplication::exec(), 0); // the box closed, no window is left
    QCOMPARE(boxes, QStringList{"critical | Erreur fichier de configuration | Le fichier de configuration est manquant "
                                "ou incorrect.\nVeuillez contacter votre support. | 1 0 0 1 | "});
    QVERIFY(!window->isVisible() && !start()->isEnabled());
}

void AppTest::wholeUpdateEndsWithSuccessAndQuits()
{
    const PortInfo terminal = port(QFileInfo(device).fileName(), "Velmaris Terminal", true, device);
    ports->set({terminal});
    makeWindow();
    QTRY_VERIFY(window->isVisible() && start()->isEnabled());
    QCOMPARE(list()->currentText(), "Velmaris Terminal - (" + QFileInfo(device).fileName() + ")");
    int releases = simulatorSaid("first release frame"), releasesUnderTheBox = -1;
    onBox = [&] { releasesUnderTheBox = simulatorSaid("first release frame"); };
    boxes.clear();
    QTest::mouseClick(start(), Qt::LeftButton);

    // A port plugged in during the installation rebuilds the list, which
    // enables the button but not the list; a click then starts nothing.
    ports->set({terminal, port("ttyS0", "Communications Port")});
    QTRY_COMPARE(list()->count(), 3);
    QVERIFY(start()->isEnabled() && !list()->isEnabled());
    QTest::mouseClick(start(), Qt::LeftButton);
    QVERIFY(!start()->isEnabled() && !list()->isEnabled());

    QCOMPARE(QApplication::exec(), 0); // success quits once its box is closed
    QCOMPARE(boxes, QStringList{"information | Installation réalisée avec succès | Le terminal a été correctement mis "
                                "à jour. | 1 1 0 0 | Installation réalisée avec succès"});
    onBox = {};
    QVERIFY(bar("totalProgressBar")->value() == 100 && start()->isEnabled() && list()->isEnabled());
    // The release frames after the box, and once more when the window goes.
    QCOMPARE(releasesUnderTheBox, releases);
    QTRY_COMPARE(simulatorSaid("first release frame"), releases + 1);
    delete window;
    QTRY_COMPARE(simulatorSaid("first release frame"), releases + 2);
    QVERIFY(!QDir(received.path()).entryList(QDir::Files).isEmpty());
}

// Closed during a download on a line paced at 9600 baud: the batch under way
// gets its end of dialogue and the release frames, the second batch never
// starts, no box is shown, and the window is gone within one exchange.
void AppTest::windowClosedDuringAnUpdateStopsItAtItsNextExchange()
{
    QProcess paced;
    ports->set({port("pts", "Velmaris Terminal", true, startSimulator(paced, {"--baud", "9600"}))});
    makeWindow();
    QTRY_VERIFY(window->isVisible() && start()->isEnabled());
    boxes.clear();
    QTest::mouseClick(start(), Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(bar("moduleProgressBar")->value() > 0 && bar("moduleProgressBar")->value() < 100, 30000);
    QElapsedTimer closing;
    closing.start();
    delete window;
    QVERIFY2(closing.elapsed() < 12000, qPrintable(QString::number(closing.elapsed()))); // a whole-answer read: 10 s
    QString trace;
    QTRY_VERIFY((trace += QString::fromLocal8Bit(paced.readAllStandardError())).contains("first release frame"));
    QCOMPARE(trace.count("end of session"), 1);
    QCoreApplication::processEvents();
    QVERIFY(boxes.isEmpty());
    paced.terminate();
    QVERIFY(paced.waitForFinished(10000));
}

QTEST_MAIN(AppTest)
#include "AppTest.moc"
