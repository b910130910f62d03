// The desktop window: its texts, terminal list, states and boxes, a whole update against mirdal-sim, a close.
#include "app/MainWindow.h"
#include "record/RecordStore.h"
#include "tests/support/SimProcess.h"

#include <QtTest>
#include <QtWidgets>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>

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
    void textsAndTerminalListThenARefusedConfiguration();
    void failedStartsThenAWholeUpdate();
    void windowClosedDuringAnUpdateStopsItAtItsNextExchange();
    void aFailureInALaterBatchDetailsWhatWasInstalled();

private:
    // Before each slot call of the engine (one event each), every new text of a progress label is noted.
    bool eventFilter(QObject*, QEvent* event) override
    {
        for (const char* name : {"moduleLabel", "moduleLabel_2"}) {
            const QString text = window->findChild<QLabel*>(name)->text();
            if (event->type() == QEvent::MetaCall && shown[name].last() != text)
                shown[name] << text;
        }
        return false;
    }
    void makeWindow(const QList<PortInfo>& listed, const QString& directory = MIRDAL_SAMPLE_CONFIGURATION)
    {
        delete window;
        ports->set(listed);
        boxes.clear();
        window = new MainWindow({ports, std::make_shared<ScaledClock>(0.01), directory, [] {}, {}}); // no PC/SC
    }
    // Presses OK on a message box once it is shown and active, after noting "icon | title | text | box on the
    // window, window shown, start button and list enabled | status line" and the release frames so far.
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
        details << box->detailedText();
        if (::getuid() == 0) // back from a start as another user
            QVERIFY(::seteuid(0) == 0);
        releasesUnderTheBox = simulatorSaid("first release frame");
        box->button(QMessageBox::Ok)->click();
    }
    int simulatorSaid(const QString& line)
    {
        log += QString::fromLocal8Bit(simulator.errorOutput());
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
    QTemporaryDir received, records;
    SimProcess simulator;
    QString device, log, error;
    QStringList boxes, details;
    QMap<QString, QStringList> shown; // by label, the texts it showed, in order
    int releasesUnderTheBox = -1;
    QTimer boxCloser;
};

void AppTest::initTestCase()
{
    QVERIFY2(simulator.start({"--store", received.path(), "--verify", MIRDAL_SAMPLE_CONFIGURATION}, error),
             qPrintable(error));
    device = simulator.device();
    if (qEnvironmentVariableIsEmpty("MIRDAL_RECORD_DB")) // tests/record runs this beside other writers of its own
        qputenv("MIRDAL_RECORD_DB", records.filePath("records.sqlite").toLocal8Bit());
    connect(&boxCloser, &QTimer::timeout, this, &AppTest::closeBox);
    boxCloser.start(20);
}

void AppTest::cleanupTestCase()
{
    delete window;
    QCOMPARE(simulator.stop(), 0);
    QVERIFY2(simulatorSaid(" 0 problem(s)") == 1, qPrintable(log)); // every file received matched the package
}

void AppTest::textsAndTerminalListThenARefusedConfiguration()
{
    makeWindow({});
    QVERIFY(!window->isVisible() && !start()->isEnabled()); // Hidden until the configuration is read
    QCOMPARE(entries(), "Sélectionnez le terminal");
    QTRY_VERIFY(window->isVisible());
    // The texts the user sees (the last ones on the About dialog; the title is the sample configuration's).
    const char* const texts[][3] = {{"MainWindow", "windowTitle", "Mirdal"},
                                    {"label_2", "text", "Votre terminal a été détecté sur le port :"},
                                    {"generateButton", "text", "Démarrer la mise à jour"},
                                    {"label_3", "text", "Mise à jour logicielle de votre terminal"},
                                    {"operationTitleLabel", "text", "Mise à jour du terminal M10"},
                                    {"menuAbout", "title", "Help"},
                                    {"actionAbout", "text", "About"},
                                    {"About", "windowTitle", "About"},
                                    {"versionLabel", "text", "Version: 2.0.3"},
                                    {"buildLabel", "text", "Build: 20180330"}};
    for (const auto& row : texts) {
        QObject* object = row[0] == window->objectName() ? window : window->findChild<QObject*>(row[0]);
        QVERIFY2(object, row[0]);
        QCOMPARE(object->property(row[1]).toString(), QString::fromUtf8(row[2]));
    }
    QVERIFY(!window->findChild<QLabel*>("imageTerminal")->pixmap(Qt::ReturnByValue).isNull());

    // Each row sets the ports (a, b: another maker's; m: the maker's), maybe picks an entry, and waits for
    // two more search passes (so that one reached the window). The maker's port is preselected; an unchanged
    // list keeps the user's pick; a port replaced or another order rebuilds it; no port disables the start.
    const QMap<QChar, QPair<PortInfo, QString>> byLetter{
        {'a', {port("ttyS0", "Communications Port"), "Communications Port - (ttyS0)"}},
        {'b', {port("ttyS1", "Communications Port"), "Communications Port - (ttyS1)"}},
        {'m', {port("ttyACM0", "USB Serial Device", true), "USB Serial Device - (ttyACM0)"}}};
    const std::tuple<const char*, int, int> rows[] = {{"am", -1, 2}, {"am", 1, 1},  {"bm", -1, 2},
                                                      {"mb", -1, 1}, {"ab", -1, 0}, {"", -1, 0}};
    for (const auto& [letters, pick, current] : rows) {
        QList<PortInfo> listed;
        QString labels = "Sélectionnez le terminal";
        for (const char* letter = letters; *letter; ++letter) {
            listed << byLetter[*letter].first;
            labels += ", " + byLetter[*letter].second;
        }
        ports->set(listed);
        if (pick >= 0)
            list()->setCurrentIndex(pick);
        const int passes = ports->passes;
        QTRY_VERIFY(ports->passes >= passes + 2);
        QCOMPARE(entries(), labels);
        QCOMPARE(list()->currentIndex(), current);
        QCOMPARE(start()->isEnabled(), *letters != 0);
    }

    // A refused configuration: its box alone, and the program ends when it is closed.
    QTemporaryDir empty;
    makeWindow({}, empty.path());
    QCOMPARE(QApplication::exec(), 0); // the box closed, no window is left
    QCOMPARE(boxes, QStringList{"critical | Erreur fichier de configuration | Le fichier de configuration est manquant "
                                "ou incorrect.\nVeuillez contacter votre support. | 1 0 0 1 | "});
    QVERIFY(!window->isVisible() && !start()->isEnabled());
}

// From Ready: a port this user may not open, then the placeholder (a text naming no port) after the release
// frames opened every listed port, the simulated terminal last: "Erreur ouverture", nothing sent to the
// terminal, Ready again after the release frames. Then the terminal's entry: a whole update and the end.
void AppTest::failedStartsThenAWholeUpdate()
{
    const PortInfo terminal = port("pts", "Velmaris Terminal", true, device);
    SimProcess forbidden; // a device of mode 0, opened as a user other than root, who opens any device
    QVERIFY2(forbidden.start({}, error), qPrintable(error));
    QVERIFY(::chmod(forbidden.device().toLocal8Bit(), 0) == 0);
    makeWindow({port("mirdal-absent0", "Communications Port", false, forbidden.device()), terminal});
    QTRY_VERIFY(window->isVisible() && start()->isEnabled());
    QCOMPARE(list()->currentText(), "Velmaris Terminal - (pts)");
    for (const int entry : {1, 0, 2}) {
        boxes.clear();
        details.clear();
        const int releases = simulatorSaid("first release frame");
        list()->setCurrentIndex(entry);
        // The first start's record cannot be written: the log says so, and the box is the update's own.
        const QByteArray records = qgetenv("MIRDAL_RECORD_DB");
        if (entry == 1) {
            qputenv("MIRDAL_RECORD_DB", "/dev/null/records.sqlite");
            QTest::ignoreMessage(QtInfoMsg, QRegularExpression("^MainWindow: the update is not recorded: cannot create "
                                                               "the record '/dev/null/records.sqlite': "));
        }
        if (entry == 1 && ::geteuid() == 0)
            QVERIFY(::seteuid(65534) == 0); // nobody, until the box shows
        QTest::mouseClick(start(), Qt::LeftButton);
        if (entry < 2) {
            QTRY_COMPARE(boxes, QStringList{"critical | Erreur ouverture | Le terminal sélectionné n'est pas "
                                            "disponible.\nVeuillez fermer toutes les applications ou contacter le "
                                            "support. | 1 1 0 0 | Tentative d'accès au terminal"});
            qputenv("MIRDAL_RECORD_DB", records);
            QCOMPARE(simulatorSaid("opening frame"), 0);
            const QString why = details.value(0);
            if (entry == 1)
                QVERIFY2(why.startsWith("stage: port opening\ncause: permission denied on " + forbidden.device()) &&
                             why.contains("\nwhat to do: add this user to the dialout group") &&
                             why.contains("/usr/lib/udev/rules.d/70-mirdal.rules"),
                         qPrintable(why));
            else
                QCOMPARE(why, "cause: no terminal is chosen in the list; when none is listed, plug the terminal in "
                              "and wait for it to appear");
        } else {
            // A port plugged in during the installation rebuilds the list, which
            // enables the button but not the list; a click then starts nothing.
            ports->set({terminal, port("ttyS0", "Communications Port")});
            for (const char* name : {"moduleLabel", "moduleLabel_2"})
                shown[name] = QStringList{window->findChild<QLabel*>(name)->text()}; // left by the failed start
            window->installEventFilter(this);
            QTRY_VERIFY(entries().endsWith("Communications Port - (ttyS0)"));
            QVERIFY(start()->isEnabled() && !list()->isEnabled());
            QTest::mouseClick(start(), Qt::LeftButton);
            QVERIFY(!start()->isEnabled() && !list()->isEnabled());
            QCOMPARE(QApplication::exec(), 0); // success quits once its box is closed
            const QString access = "Tentative d'accès au terminal|Initialisation du terminal|Initialisation de "
                                   "l'application \"Varlenne\" du terminal|Récupération de la configuration "
                                   "matérielle du terminal|Vérification de la cohérence de la configuration "
                                   "matérielle du terminal|Vérification de la liste des applications du terminal|",
                          end = "|Installation des applications sur le terminal en cours|Redémarrage du terminal en "
                                "cours. Veuillez patienter ...",
                          files = "Téléchargement des fichiers en cours (", file = "Téléchargement du fichier : ",
                          done = "|Tous les fichiers ont été téléchargés|Tous les fichiers ont été installés";
            window->removeEventFilter(this);
            QCOMPARE(shown["moduleLabel_2"].join('|'),
                     "Tentative d'accès au terminal|Démarrage de l'installation|" + access + files + "1/2)|" + files +
                         "2/2)" + end + "|" + access + files + "1/1)" + end + "|Installation réalisée avec succès");
            QCOMPARE(shown["moduleLabel"].join('|'), "Veuillez patienter ...|" + file + "PARAM.CFG|" + file +
                                                         "FONTS.BIN" + done + "|" + file + "APPLI.BIN" + done);
            QCOMPARE(boxes, QStringList{"information | Installation réalisée avec succès | Le terminal a été "
                                        "correctement mis à jour. | 1 1 0 0 | Installation réalisée avec succès"});
            QCOMPARE(bar("totalProgressBar")->value(), 100);
        }
        QCOMPARE(releasesUnderTheBox, releases); // the release frames come after the box
        QTRY_VERIFY(start()->isEnabled() && list()->isEnabled());
        QTRY_COMPARE(simulatorSaid("first release frame"), releases + 1);
    }
    delete window; // and once more when the window goes
    QTRY_COMPARE(simulatorSaid("first release frame"), 4);
    QVERIFY(!QDir(received.path()).entryList(QDir::Files).isEmpty());
    // The whole update left its row: the terminal's port and every file installed.
    RecordStore store;
    HistoryFilter filter;
    filter.port = device;
    QList<SessionRecord> rows;
    QVERIFY(store.openLocal(qEnvironmentVariable("MIRDAL_RECORD_DB"), false) && store.history(filter, rows));
    QCOMPARE(rows.size(), 1);
    QCOMPARE(QString("%1 %2/%3 %4")
                 .arg(rows[0].success)
                 .arg(rows[0].installedCount)
                 .arg(rows[0].fileCount)
                 .arg(rows[0].portLabel),
             "1 3/3 Velmaris Terminal - (pts)");
}

// Closed during a download on a line paced at 9600 baud: the batch under way gets its end of dialogue and
// the release frames, the second batch never starts, no box is shown, the window is gone within one exchange.
void AppTest::windowClosedDuringAnUpdateStopsItAtItsNextExchange()
{
    SimProcess paced;
    QVERIFY2(paced.start({"--baud", "9600"}, error), qPrintable(error));
    makeWindow({port("pts", "Velmaris Terminal", true, paced.device())});
    QTRY_VERIFY(window->isVisible() && start()->isEnabled());
    QTest::mouseClick(start(), Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(bar("moduleProgressBar")->value() > 0 && bar("moduleProgressBar")->value() < 100, 30000);
    QElapsedTimer closing;
    closing.start();
    delete window;
    QVERIFY2(closing.elapsed() < 12000, qPrintable(QString::number(closing.elapsed()))); // a whole-answer read: 10 s
    QString trace;
    QTRY_VERIFY((trace += QString::fromLocal8Bit(paced.errorOutput())).contains("first release frame"));
    QCOMPARE(trace.count("end of session"), 1);
    QCoreApplication::processEvents();
    QVERIFY(boxes.isEmpty());
    QCOMPARE(paced.stop(), 0);
}

// Refused by the application at the second batch's start: the box's details say what the first installed.
void AppTest::aFailureInALaterBatchDetailsWhatWasInstalled()
{
    SimProcess refusing;
    QVERIFY2(refusing.start({"--fault", "varlenne:refuse:2"}, error), qPrintable(error));
    makeWindow({port("pts", "Velmaris Terminal", true, refusing.device())});
    QTRY_VERIFY(window->isVisible() && start()->isEnabled());
    details.clear();
    QTest::mouseClick(start(), Qt::LeftButton);
    QTRY_COMPARE_WITH_TIMEOUT(details.size(), 1, 30000);
    QVERIFY2(boxes.value(0).startsWith("critical | Erreur varlenne | ") &&
                 details[0].endsWith("\ninstalled before: batch 1: PARAM.CFG, FONTS.BIN"),
             qPrintable(boxes.join('\n') + '\n' + details[0]));
    delete window;
    QCOMPARE(refusing.stop(), 0);
}

QTEST_MAIN(AppTest)
#include "AppTest.moc"
