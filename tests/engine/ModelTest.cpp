// The Model itself: the search passes, the connection to a window, the
// forwarding commands that keep state in the Model, and the release frames.
#include "tests/engine/EngineFixture.h"
#include "tests/engine/RecordingWindow.h"

#include "tests/support/Pty.h"
#include "protocol/Frames.h"

#include <QMutex>

namespace {

using ModelCommands = EngineTest;

// A port list that a test can change between two search passes.
class ChangingPorts : public PortProvider {
public:
    QList<PortInfo> availablePorts() const override
    {
        QMutexLocker lock(&mutex);
        return ports;
    }
    void set(QList<PortInfo> list)
    {
        QMutexLocker lock(&mutex);
        ports = std::move(list);
    }

private:
    mutable QMutex mutex;
    QList<PortInfo> ports;
};

PortInfo port(const char* name, const char* manufacturer)
{
    PortInfo info;
    info.portName = QLatin1String(name);
    info.description = QStringLiteral("USB Serial Device");
    info.manufacturer = QLatin1String(manufacturer);
    info.systemLocation = QStringLiteral("/dev/") + info.portName;
    return info;
}

struct SearchRig {
    std::shared_ptr<ChangingPorts> ports = std::make_shared<ChangingPorts>();
    std::shared_ptr<FakeClock> clock = std::make_shared<FakeClock>();
    int switches = 0;
    RecordingWindow window;
    std::unique_ptr<Model> model;

    SearchRig()
    {
        ModelOptions options;
        options.ports = ports;
        options.clock = clock;
        options.pcscSwitch = [this] { ++switches; };
        model = std::make_unique<Model>(&window, std::move(options));
    }
};

} // namespace

// ---------------------------------------------------------------- search passes

TEST(ModelSearch, OnlyTheFirstPassSwitchesReadersAndOnlyLaterPassesPause)
{
    SearchRig rig;
    rig.model->findTerminals();
    EXPECT_EQ(rig.switches, 1);
    EXPECT_TRUE(rig.clock->sleeps.empty());
    EXPECT_EQ(rig.window.notFound, 1);

    // Also when the first pass found nothing.
    rig.model->findTerminals();
    rig.model->findTerminals();
    EXPECT_EQ(rig.switches, 1);
    EXPECT_EQ(rig.clock->sleeps, (std::vector<uint32_t>{2000, 2000}));
    EXPECT_EQ(rig.window.notFound, 3);
    EXPECT_EQ(rig.window.found, 0);
}

TEST(ModelSearch, AnyPortCountsAsFoundAndTheMakersIsPreferred)
{
    SearchRig rig;
    rig.ports->set({port("ttyS0", "Other"), port("ttyUSB0", "VELMARIS"), port("ttyUSB1", "velmaris")});
    rig.model->findTerminals();
    EXPECT_EQ(rig.window.found, 1);
    EXPECT_EQ(rig.window.notFound, 0);
    EXPECT_EQ(rig.model->portLabels(), (QStringList{QStringLiteral("USB Serial Device - (ttyS0)"),
                                                    QStringLiteral("USB Serial Device - (ttyUSB0)"),
                                                    QStringLiteral("USB Serial Device - (ttyUSB1)")}));
    EXPECT_EQ(rig.model->preferredPort(), 2);

    rig.ports->set({port("ttyS0", "Other")});
    rig.model->findTerminals();
    EXPECT_EQ(rig.window.found, 2);
    EXPECT_EQ(rig.model->preferredPort(), 0);
}

TEST(ModelSearch, PortLabelsAreACopy)
{
    SearchRig rig;
    rig.ports->set({port("ttyUSB0", "velmaris")});
    rig.model->findTerminals();
    const QStringList held = rig.model->portLabels();
    rig.ports->set({});
    rig.model->findTerminals();
    EXPECT_EQ(rig.window.notFound, 1);
    EXPECT_TRUE(rig.model->portLabels().isEmpty());
    EXPECT_EQ(held, QStringList{QStringLiteral("USB Serial Device - (ttyUSB0)")});
}

// ---------------------------------------------------------------- window

TEST(ModelWindow, ConfigurationThatCannotBeReadReachesTheFailureSlotOnly)
{
    QTemporaryDir empty;
    RecordingWindow window;
    ModelOptions options;
    options.configurationDirectory = empty.path() + QLatin1Char('/');
    options.ports = std::make_shared<StaticPortProvider>(QList<PortInfo>{});
    Model model(&window, std::move(options));
    model.loadConfiguration();
    EXPECT_EQ(window.failed, 1);
    EXPECT_EQ(window.loaded, 0);
}

TEST(ModelWindow, ProgressReachesTheWindowSlots)
{
    RecordingWindow window;
    FakeTerminal terminal;
    ModelOptions options;
    options.clock = std::make_shared<FakeClock>();
    options.ports = std::make_shared<StaticPortProvider>(QList<PortInfo>{});
    options.terminalPort = terminal.factory();
    Model model(&window, std::move(options));
    model.configuration()->batchList.append(new Batch(model.configuration()));
    auto* entry = new HTerminal(model.configuration());
    std::copy(terminal.hardwareId.begin(), terminal.hardwareId.end(), entry->data + 8);
    model.configuration()->hterminalList.append(entry);

    QString title;
    QString text;
    ASSERT_TRUE(model.install(QStringLiteral("port"), title, text));
    ASSERT_EQ(window.totals.size(), 10u);
    EXPECT_EQ(window.totals.back(), std::make_pair(QString::fromUtf8("Installation réalisée avec succès"), 100));
    ASSERT_EQ(window.modules.size(), 3u);
    EXPECT_EQ(window.modules.front(), std::make_pair(QStringLiteral("Veuillez patienter ..."), 0));
}

// ---------------------------------------------------------------- commands with state

TEST_F(ModelCommands, ApplicationNamesAreReadAsLatin1AndReplacedOnEachRead)
{
    terminal.installedNames = {"Caf\xE9", std::string(28, 'N')};
    ASSERT_TRUE(model->readApplicationList());
    EXPECT_EQ(model->applicationNames, (QStringList{QString::fromUtf8("Café"), QString(28, QLatin1Char('N'))}));

    terminal.installedNames = {"PAY"};
    ASSERT_TRUE(model->readApplicationList());
    EXPECT_EQ(model->applicationNames, QStringList{QStringLiteral("PAY")});

    terminal.installedNames = {};
    ASSERT_TRUE(model->readApplicationList());
    EXPECT_TRUE(model->applicationNames.isEmpty());
}

TEST_F(ModelCommands, HardwareRecordIsKeptOnlyWhenReadWhole)
{
    terminal.hardwareId = {0xA1, 0xB2, 0xC3};
    ASSERT_TRUE(model->readHardwareConfiguration());
    EXPECT_EQ(model->hardwareRecord[0], kCodeHardwareConfiguration);
    EXPECT_EQ(model->hardwareRecord[10], 0xA1);
    EXPECT_EQ(model->hardwareRecord[12], 0xC3);
    EXPECT_EQ(clock->sleeps, std::vector<uint32_t>{4000});

    terminal.hardwareReadable = false;
    terminal.hardwareId = {0x01, 0x02, 0x03};
    EXPECT_FALSE(model->readHardwareConfiguration());
    EXPECT_EQ(model->hardwareRecord[10], 0xA1);
}

TEST_F(ModelCommands, HardwareCheckLooksForAnyMatchingEntry)
{
    // Entries are tried in order; the first match is enough.
    config->hterminalList.clear();
    EXPECT_FALSE(model->checkHardwareConfiguration()) << "an empty list matches nothing";

    acceptHardware({0x11, 0x22, 0x34});
    terminal.hardwareId = {0x11, 0x22, 0x33};
    ASSERT_TRUE(model->readHardwareConfiguration());
    EXPECT_FALSE(model->checkHardwareConfiguration());

    acceptHardware({0x11, 0x22, 0x33});
    EXPECT_TRUE(model->checkHardwareConfiguration());

    // Only bytes 10 to 12 of the record count.
    model->hardwareRecord[9] ^= 0xFF;
    model->hardwareRecord[13] ^= 0xFF;
    EXPECT_TRUE(model->checkHardwareConfiguration());
    model->hardwareRecord[11] ^= 0xFF;
    EXPECT_FALSE(model->checkHardwareConfiguration());
}

// ---------------------------------------------------------------- release frames

TEST(ModelRelease, EveryListedPortGetsTheReleaseFrames)
{
    FakeTerminal terminal;
    ModelOptions options;
    options.clock = std::make_shared<FakeClock>();
    options.ports = std::make_shared<StaticPortProvider>(
        QList<PortInfo>{port("ttyUSB0", "velmaris"), port("ttyUSB1", "other"), port("ttyUSB2", "other")});
    options.terminalPort = terminal.factory();
    options.pcscSwitch = [] {};
    Model model(nullptr, std::move(options));
    model.findTerminals();
    terminal.refusedLabel = QStringLiteral("USB Serial Device - (ttyUSB1)");

    model.releasePorts();
    const std::vector<std::string> expected = {
        "close",           "open USB Serial Device - (ttyUSB0)",
        "release frame 1", "release frame 2",
        "close",           "open USB Serial Device - (ttyUSB1)",
        "close",           "open USB Serial Device - (ttyUSB2)",
        "release frame 1", "release frame 2",
        "close",
    };
    EXPECT_EQ(terminal.events, expected);
}

// After the release frames the serial port was last opened on the last
// listed port; a label that names no listed port must not start the update
// there: neither the list's placeholder nor a device unplugged since.
TEST(ModelRelease, StaleLabelAfterTheReleaseOpensNothing)
{
    Pty pty;
    ASSERT_TRUE(pty.isValid());
    auto ports = std::make_shared<ChangingPorts>();
    ModelOptions options;
    options.ports = ports;
    options.clock = std::make_shared<FakeClock>();
    options.pcscSwitch = [] {};
    Model model(nullptr, std::move(options));
    model.configuration()->batchList.append(new Batch(model.configuration()));

    const QString unplugged = pty.label();
    for (const QString& label : {QStringLiteral("Sélectionnez le terminal"), unplugged}) {
        ports->set({pty.asPort()});
        model.findTerminals();
        model.releasePorts();
        ASSERT_EQ(pty.receive(int(kFirstReleaseFrame.size())).size(), int(kFirstReleaseFrame.size()));
        if (label == unplugged)
            ports->set({});

        QString title;
        QString text;
        EXPECT_FALSE(model.install(label, title, text));
        EXPECT_EQ(title, QStringLiteral("Erreur ouverture"));
        EXPECT_TRUE(pty.receive(1, 200).isEmpty());
    }
}

TEST(ModelRelease, OnePortAndASilentTerminal)
{
    FakeTerminal terminal;
    terminal.answersReleaseFrames = false;
    ModelOptions options;
    options.ports = std::make_shared<StaticPortProvider>(QList<PortInfo>{});
    options.terminalPort = terminal.factory();
    Model model(nullptr, std::move(options));

    model.releasePort(QStringLiteral("A - (ttyA)"));
    // Without an answer to the first frame, the second one is not sent.
    EXPECT_EQ(terminal.events, (std::vector<std::string>{"close", "open A - (ttyA)", "release frame 1", "close"}));
    EXPECT_FALSE(terminal.isOpen);
}
