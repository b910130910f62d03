// The main window's states and the terminal list: Hidden until the
// configuration is read, Ready or Refused, an installation that fails to open
// its port and returns to Ready, and the list kept in step with the ports.
#include "config/Configuration.h"
#include "app/MainWindow.h"
#include "tests/app/WindowHarness.h"
#include "protocol/Frames.h"

#include <QComboBox>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTextBrowser>
#include <QtTest>

#include <atomic>
#include <mutex>
#include <thread>

#include <poll.h>
#include <pty.h>
#include <unistd.h>

namespace {

const QString kPlaceholder = QStringLiteral("Sélectionnez le terminal");

// A pseudo-terminal whose slave side plays the maker's port. A thread keeps
// reading the master side, as a terminal would, so that writes drain at once;
// the test takes what the window's engine wrote.
class PseudoTerminal {
public:
    PseudoTerminal()
    {
        char name[256] = {};
        if (openpty(&master_, &slave_, name, nullptr, nullptr) != 0)
            qFatal("openpty failed");
        device_ = QString::fromLocal8Bit(name);
        reader_ = std::thread([this] { readLoop(); });
    }
    ~PseudoTerminal()
    {
        stop_ = true;
        reader_.join();
        close(master_);
        close(slave_);
    }
    QString device() const { return device_; }
    QByteArray take()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        QByteArray bytes;
        bytes.swap(received_);
        return bytes;
    }

private:
    void readLoop()
    {
        while (!stop_) {
            pollfd ready{master_, POLLIN, 0};
            if (poll(&ready, 1, 20) <= 0 || !(ready.revents & POLLIN))
                continue;
            char buffer[512];
            const ssize_t n = read(master_, buffer, sizeof buffer);
            if (n > 0) {
                std::lock_guard<std::mutex> lock(mutex_);
                received_.append(buffer, static_cast<int>(n));
            }
        }
    }

    int master_ = -1;
    int slave_ = -1;
    QString device_;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    QByteArray received_;
    std::thread reader_;
};

} // namespace

class WindowTest : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void hiddenWithThePlaceholderUntilTheConfigurationIsRead();
    void loadedConfigurationShowsTheOperationAndTheWindow();
    void noPortLeavesOnlyThePlaceholderAndStartDisabled();
    void pluggedPortsAppearWithTheMakersPreselected();
    void unchangedListKeepsTheSelectionAndTheButton();
    void portReplacedByAnotherRefreshesTheList();
    void noPortOfTheMakerSelectsThePlaceholder();
    void portsGoneEmptyTheListAndDisableStart();
    void startWithThePlaceholderFailsToOpenAndReturnsToReady();
    void refusedConfigurationShowsOnlyTheErrorBoxThenQuits();

private:
    MainWindow* makeWindow(const QString& directory = QStringLiteral(MIRDAL_SAMPLE_CONFIGURATION));
    QStringList entries() const;
    void waitForHandledPasses();
    template <class T>
    T* child(const char* name) const
    {
        return window->findChild<T*>(QString::fromLatin1(name));
    }
    QComboBox* list() const { return child<QComboBox>("terminalsNames"); }
    QPushButton* start() const { return child<QPushButton>("generateButton"); }

    std::shared_ptr<TestPorts> ports;
    MainWindow* window = nullptr;
};

void WindowTest::init()
{
    ports = std::make_shared<TestPorts>();
}

void WindowTest::cleanup()
{
    delete window;
    window = nullptr;
}

MainWindow* WindowTest::makeWindow(const QString& directory)
{
    window = new MainWindow(testOptions(ports, directory));
    return window;
}

QStringList WindowTest::entries() const
{
    QStringList texts;
    for (int i = 0; i < list()->count(); ++i)
        texts << list()->itemText(i);
    return texts;
}

// Each pass is queued by the slot that handled the one before: once two more
// passes have listed the ports, at least one of them has reached the window.
void WindowTest::waitForHandledPasses()
{
    const int before = ports->passes();
    QTRY_VERIFY(ports->passes() >= before + 2);
}

void WindowTest::hiddenWithThePlaceholderUntilTheConfigurationIsRead()
{
    ports->set({makerPort("/dev/ttyUSB0")});
    makeWindow();
    QVERIFY(!window->isVisible());
    QCOMPARE(entries(), QStringList{kPlaceholder});
    QCOMPARE(kPlaceholder.toUtf8().size(), 25);
    QVERIFY(!start()->isEnabled());
    QVERIFY(list()->isEnabled());
    QTRY_VERIFY(window->isVisible());
}

void WindowTest::loadedConfigurationShowsTheOperationAndTheWindow()
{
    Configuration expected;
    expected.setDirectory(QStringLiteral(MIRDAL_SAMPLE_CONFIGURATION));
    QVERIFY(expected.load());
    QVERIFY(!expected.operationTitle().isEmpty());

    makeWindow();
    QTRY_VERIFY(window->isVisible());
    QCOMPARE(child<QLabel>("operationTitleLabel")->text(), expected.operationTitle());
    QTextBrowser reference;
    reference.setText(expected.operationDescription());
    QCOMPARE(child<QTextBrowser>("operationDescriptionLabel")->toPlainText(), reference.toPlainText());

    // The terminal picture, scaled into the label without distortion.
    const QPixmap shown = child<QLabel>("imageTerminal")->pixmap(Qt::ReturnByValue);
    QVERIFY(!shown.isNull());
    const QSize original = QPixmap(expected.terminalImage()).size();
    QVERIFY(!original.isEmpty());
    QCOMPARE(shown.size(), original.scaled(281, 291, Qt::KeepAspectRatio));
}

void WindowTest::noPortLeavesOnlyThePlaceholderAndStartDisabled()
{
    makeWindow();
    QTRY_VERIFY(window->isVisible());
    waitForHandledPasses();
    QCOMPARE(entries(), QStringList{kPlaceholder});
    QVERIFY(!start()->isEnabled());
}

void WindowTest::pluggedPortsAppearWithTheMakersPreselected()
{
    makeWindow();
    QTRY_VERIFY(window->isVisible());
    waitForHandledPasses();
    ports->set({otherPort("ttyS0", "Communications Port"), makerPort("/dev/ttyACM0", "USB Serial Device")});
    const QStringList expected{kPlaceholder, "Communications Port - (ttyS0)", "USB Serial Device - (ttyACM0)"};
    QTRY_COMPARE(entries(), expected);
    QCOMPARE(list()->currentIndex(), 2);
    QVERIFY(start()->isEnabled());
}

void WindowTest::unchangedListKeepsTheSelectionAndTheButton()
{
    ports->set({otherPort("ttyS0", "Communications Port"), makerPort("/dev/ttyACM0", "USB Serial Device")});
    makeWindow();
    QTRY_COMPARE(list()->count(), 3);
    QCOMPARE(list()->currentIndex(), 2);

    // The user picks another entry; the passes that follow see the same ports.
    list()->setCurrentIndex(1);
    waitForHandledPasses();
    QCOMPARE(list()->currentIndex(), 1);
    QCOMPARE(list()->count(), 3);

    // A disabled button (as while an installation runs) stays disabled too.
    start()->setEnabled(false);
    waitForHandledPasses();
    QVERIFY(!start()->isEnabled());
    QCOMPARE(list()->currentIndex(), 1);
}

void WindowTest::portReplacedByAnotherRefreshesTheList()
{
    ports->set({otherPort("ttyS0", "Communications Port"), makerPort("/dev/ttyACM0", "USB Serial Device")});
    makeWindow();
    QTRY_COMPARE(list()->count(), 3);
    list()->setCurrentIndex(1);

    // Same number of ports, another one in the first place: the stale label
    // would no longer open, so the list is rebuilt and the maker's preselected.
    ports->set({otherPort("ttyS1", "Communications Port"), makerPort("/dev/ttyACM0", "USB Serial Device")});
    const QStringList expected{kPlaceholder, "Communications Port - (ttyS1)", "USB Serial Device - (ttyACM0)"};
    QTRY_COMPARE(entries(), expected);
    QCOMPARE(list()->currentIndex(), 2);
    QVERIFY(start()->isEnabled());

    // Same ports in another order: also a different list.
    ports->set({makerPort("/dev/ttyACM0", "USB Serial Device"), otherPort("ttyS1", "Communications Port")});
    QTRY_COMPARE(entries(), (QStringList{kPlaceholder, expected.at(2), expected.at(1)}));
    QCOMPARE(list()->currentIndex(), 1);
}

void WindowTest::noPortOfTheMakerSelectsThePlaceholder()
{
    ports->set({otherPort("ttyS0", "Communications Port"), otherPort("ttyS1", "Communications Port")});
    makeWindow();
    QTRY_COMPARE(list()->count(), 3);
    QCOMPARE(list()->currentIndex(), 0);
    QCOMPARE(list()->currentText(), kPlaceholder);
    QVERIFY(start()->isEnabled());
}

void WindowTest::portsGoneEmptyTheListAndDisableStart()
{
    ports->set({makerPort("/dev/ttyACM0")});
    makeWindow();
    QTRY_VERIFY(start()->isEnabled());
    QCOMPARE(list()->count(), 2);
    ports->set({});
    QTRY_COMPARE(entries(), QStringList{kPlaceholder});
    QVERIFY(!start()->isEnabled());

    // And back: one pass later the port is listed again.
    ports->set({makerPort("/dev/ttyACM0")});
    QTRY_VERIFY(start()->isEnabled());
    QCOMPARE(list()->currentIndex(), 1);
}

void WindowTest::startWithThePlaceholderFailsToOpenAndReturnsToReady()
{
    // The maker's port is a pseudo-terminal, listed last; the other port does not exist.
    PseudoTerminal terminal;
    ports->set({otherPort("mirdal-absent0", "Communications Port"), makerPort(terminal.device())});
    makeWindow();
    QTRY_VERIFY(window->isVisible() && start()->isEnabled());
    QCOMPARE(list()->currentIndex(), 2);

    QByteArray writtenBeforeTheBoxClosed;
    bool controlsDisabledUnderTheBox = false;
    QString statusUnderTheBox;
    BoxCloser closer([&](const BoxSeen&) {
        writtenBeforeTheBoxClosed += terminal.take();
        controlsDisabledUnderTheBox = !start()->isEnabled() && !list()->isEnabled();
        statusUnderTheBox = child<QLabel>("moduleLabel_2")->text();
    });
    const QByteArray release(reinterpret_cast<const char*>(kFirstReleaseFrame.data()),
                             static_cast<int>(kFirstReleaseFrame.size()));

    // First the port that cannot be opened; then, back in Ready, the
    // placeholder, whose text names no port: the release frames went to
    // every listed port in between, the pseudo-terminal last, and nothing of
    // the installation may reach it.
    for (const int entry : {1, 0}) {
        list()->setCurrentIndex(entry);
        const int boxes = closer.seen.size();
        QTest::mouseClick(start(), Qt::LeftButton);
        QVERIFY(!start()->isEnabled());
        QVERIFY(!list()->isEnabled());
        QTRY_COMPARE(closer.seen.size(), boxes + 1);
        const BoxSeen box = closer.seen.last();
        QCOMPARE(box.icon, QMessageBox::Critical);
        QCOMPARE(box.title, QStringLiteral("Erreur ouverture"));
        QCOMPARE(box.text, QStringLiteral("Le terminal sélectionné n'est pas disponible.\n"
                                          "Veuillez fermer toutes les applications ou contacter le support."));
        QCOMPARE(box.parent, window);
        QVERIFY(box.modal);
        QCOMPARE(box.buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
        QVERIFY(controlsDisabledUnderTheBox);
        QCOMPARE(statusUnderTheBox, QStringLiteral("Tentative d'accès au terminal"));

        // Back to Ready once the box is closed, after the release frames went
        // to the listed ports (and only then).
        QTRY_VERIFY(start()->isEnabled() && list()->isEnabled());
        QVERIFY(window->isVisible());
        QVERIFY(writtenBeforeTheBoxClosed.isEmpty());
        QByteArray afterwards;
        QTRY_VERIFY2((afterwards += terminal.take()).startsWith(release), afterwards.toHex().constData());
    }
    QCOMPARE(child<QLabel>("moduleLabel")->text(), QStringLiteral("Veuillez patienter ..."));
    QCOMPARE(child<QProgressBar>("moduleProgressBar")->value(), 0);
    QVERIFY(child<QProgressBar>("totalProgressBar")->value() > 0);
}

void WindowTest::refusedConfigurationShowsOnlyTheErrorBoxThenQuits()
{
    QTemporaryDir empty;
    QVERIFY(empty.isValid());
    ports->set({makerPort("/dev/ttyACM0")});
    bool windowShownUnderTheBox = true;
    BoxCloser closer([&](const BoxSeen&) { windowShownUnderTheBox = window->isVisible(); });
    makeWindow(empty.path());

    // Closing the box leaves no window open, which ends the event loop.
    QCOMPARE(runUntilQuit(), 0);
    QCOMPARE(closer.seen.size(), 1);
    const BoxSeen box = closer.seen.first();
    QCOMPARE(box.icon, QMessageBox::Critical);
    QCOMPARE(box.title, QStringLiteral("Erreur fichier de configuration"));
    QCOMPARE(box.text, QStringLiteral("Le fichier de configuration est manquant ou incorrect.\n"
                                      "Veuillez contacter votre support."));
    QCOMPARE(box.parent, window);
    QCOMPARE(box.buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
    QVERIFY(!windowShownUnderTheBox);
    QVERIFY(!window->isVisible());
    QVERIFY(!start()->isEnabled());
}

QTEST_MAIN(WindowTest)
#include "WindowTest.moc"
