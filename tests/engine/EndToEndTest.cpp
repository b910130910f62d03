// The whole engine over a real pseudo-terminal: the simulated terminal serves
// one end, the real serial port opens the other, the configuration is a
// signed folder loaded and verified like the program's, and only the pauses
// are shortened.
#include "engine/Model.h"
#include "tests/support/SignedConfiguration.h"

#include "sim/Line.h"
#include "sim/Server.h"
#include "sim/SimulatedTerminal.h"

#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <algorithm>
#include <mutex>
#include <thread>

namespace {

// The terminal's side: a pseudo-terminal served on a thread of its own.
class SimulatedLine {
public:
    explicit SimulatedLine(TerminalOptions options)
        : terminal_(
              std::move(options), [this](const std::string& line) { note(line); },
              [this](const std::string& line) { note("problem: " + line); }),
          server_(terminal_, ServeOptions{}, [this](const std::string& line) { note(line); })
    {
        std::string error;
        opened_ = openPseudoTerminal(line_, error);
        EXPECT_TRUE(opened_) << error;
        if (opened_)
            thread_ = std::thread([this] { server_.serve(line_); });
    }

    ~SimulatedLine() { stop(); }

    // After this the terminal's records may be read.
    void stop()
    {
        server_.requestStop();
        if (thread_.joinable())
            thread_.join();
        if (opened_)
            closeLine(line_);
        opened_ = false;
    }

    std::string path() const { return line_.path; }
    const SimulatedTerminal& terminal() const { return terminal_; }
    std::vector<std::string> trace()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return trace_;
    }

private:
    void note(const std::string& line)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        trace_.push_back(line);
    }

    std::mutex mutex_;
    std::vector<std::string> trace_;
    SimulatedTerminal terminal_;
    Server server_;
    Line line_;
    bool opened_ = false;
    std::thread thread_;
};

class EndToEnd : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir.isValid());
        folder = dir.path() + QLatin1Char('/');
        layout.batches = {
            {{QStringLiteral("first.bin"), content(300, 'a')}, {QStringLiteral("second.bin"), content(1, 'b')}},
            {{QStringLiteral("third.bin"), content(2000, 'c')}}};
    }

    static QByteArray content(int size, char seed)
    {
        QByteArray bytes(size, '\0');
        for (int i = 0; i < size; ++i)
            bytes[i] = static_cast<char>(seed + i % 19 + i / 122);
        return bytes;
    }

    // A terminal whose hardware the configuration accepts.
    TerminalOptions healthyTerminal() const
    {
        TerminalOptions options;
        options.hardware = layout.hardware.front();
        return options;
    }

    // Runs the installation against a simulated terminal with `options`.
    bool install() { return install(healthyTerminal()); }
    bool install(TerminalOptions options)
    {
        if (!writeSignedConfiguration(folder, layout)) {
            ADD_FAILURE() << "cannot write a signed configuration";
            return false;
        }
        line = std::make_unique<SimulatedLine>(std::move(options));
        PortInfo port;
        port.portName = QString::fromStdString(line->path()).mid(5);
        port.description = QStringLiteral("Simulated terminal");
        port.manufacturer = QStringLiteral("velmaris");
        port.systemLocation = QString::fromStdString(line->path());
        label = portLabel(port);

        ModelOptions modelOptions;
        modelOptions.ports = std::make_shared<StaticPortProvider>(QList<PortInfo>{port});
        modelOptions.clock = std::make_shared<ScaledClock>(0.001);
        modelOptions.configurationDirectory = folder;
        modelOptions.pcscSwitch = [] {};
        model = std::make_unique<Model>(nullptr, std::move(modelOptions));
        QObject::connect(model.get(), &Model::setTotalProgression,
                         [this](const QString& text, int value) { totals.emplace_back(text, value); });

        bool loaded = false;
        QObject::connect(model.get(), &Model::configurationLoaded, [&loaded] { loaded = true; });
        model->loadConfiguration();
        EXPECT_TRUE(loaded);
        const bool done = model->install(label, title, text);
        model->releasePort(label);
        line->stop();
        return done;
    }

    std::vector<uint8_t> received(const std::string& name) const
    {
        for (const ReceivedFile& file : line->terminal().files()) {
            if (file.name == name)
                return file.content;
        }
        return {};
    }

    int faultsFired(FaultKind kind) const
    {
        const std::string mark = std::string("[fault: ") + faultKindName(kind) + "]";
        const std::vector<std::string> lines = line->trace();
        return static_cast<int>(std::count_if(lines.begin(), lines.end(),
                                              [&](const std::string& l) { return l.find(mark) != std::string::npos; }));
    }

    static std::vector<uint8_t> bytes(const QByteArray& data) { return {data.begin(), data.end()}; }

    static Fault fault(Stage stage, FaultKind kind, int times = -1, int at = -1)
    {
        Fault f;
        f.stage = stage;
        f.kind = kind;
        f.times = times;
        f.at = at;
        return f;
    }

    QTemporaryDir dir;
    QString folder;
    ConfigurationSpec layout;
    std::unique_ptr<SimulatedLine> line;
    std::unique_ptr<Model> model;
    QString label;
    QString title;
    QString text;
    std::vector<std::pair<QString, int>> totals;
};

} // namespace

TEST_F(EndToEnd, TwoBatchesReachTheTerminalIntact)
{
    ASSERT_TRUE(install()) << text.toStdString();
    EXPECT_EQ(title, QString::fromUtf8("Installation réalisée avec succès"));
    EXPECT_EQ(line->terminal().sessions(), 2);
    EXPECT_EQ(line->terminal().files().size(), 3u);
    EXPECT_EQ(received("FIRST.BIN"), bytes(layout.batches[0][0].content));
    EXPECT_EQ(received("SECOND.BIN"), bytes(layout.batches[0][1].content));
    EXPECT_EQ(received("THIRD.BIN"), bytes(layout.batches[1][0].content));
    EXPECT_TRUE(line->terminal().problems().empty());
    EXPECT_EQ(totals.back().second, 100);
    EXPECT_EQ(model->applicationNames, (QStringList{QStringLiteral("VARLENNE"), QStringLiteral("PAYMENT")}));
}

TEST_F(EndToEnd, ResentBlocksAndARestartedDownloadStillDeliverTheFiles)
{
    TerminalOptions options = healthyTerminal();
    Fault resend = fault(Stage::Block, FaultKind::Resend, 2, 1);
    options.faults.add(resend);
    // The first download start is answered with a damaged CRC: the file is
    // taken again from its advertisement.
    options.faults.add(fault(Stage::Start, FaultKind::BadCrc, 1));
    ASSERT_TRUE(install(std::move(options))) << text.toStdString();
    EXPECT_EQ(received("FIRST.BIN"), bytes(layout.batches[0][0].content));
    EXPECT_EQ(received("THIRD.BIN"), bytes(layout.batches[1][0].content));
    const auto firstFileLines =
        std::count(totals.begin(), totals.end(),
                   std::make_pair(QString::fromUtf8("Téléchargement des fichiers en cours (1/2)"), 30));
    EXPECT_EQ(firstFileLines, 2);
    EXPECT_EQ(faultsFired(FaultKind::Resend), 2);
    EXPECT_EQ(faultsFired(FaultKind::BadCrc), 1);
}

TEST_F(EndToEnd, NameTooLongForTheAdvertisementIsSkipped)
{
    layout.batches = {
        {{QStringLiteral("abcdefghijklmnopqrs.bin"), content(10, 'x')}, {QStringLiteral("ok.bin"), content(10, 'y')}}};
    ASSERT_TRUE(install()) << text.toStdString();
    ASSERT_EQ(line->terminal().files().size(), 1u);
    EXPECT_EQ(line->terminal().files()[0].name, "OK.BIN");
}

namespace {

struct RemoteFailure {
    const char* name;
    Stage stage;
    FaultKind kind;
    const char* title;
};

void PrintTo(const RemoteFailure& failure, std::ostream* os)
{
    *os << failure.name;
}

const RemoteFailure kRemoteFailures[] = {
    {"NoVarlenne", Stage::Varlenne, FaultKind::Refuse, "Erreur varlenne"},
    {"HardwareRecordDamaged", Stage::Hardware, FaultKind::BadCrc, "Erreur HTerminal"},
    {"ListCutShort", Stage::List, FaultKind::Short, "Erreur liste applications"},
    {"AdvertisementRefused", Stage::Advertise, FaultKind::Refuse, "Erreur Information"},
    {"FileNotAllowed", Stage::Authorize, FaultKind::Refuse, "Erreur autorisation"},
    {"BlocksAlwaysDamaged", Stage::Block, FaultKind::BadEcho, "Erreur chargement"},
    {"ActivationRefused", Stage::Activate, FaultKind::Refuse, "Erreur Activation"},
};

class RemoteFailing : public EndToEnd, public ::testing::WithParamInterface<RemoteFailure> {};

} // namespace

TEST_P(RemoteFailing, EndsWithItsPair)
{
    TerminalOptions options = healthyTerminal();
    options.faults.add(fault(GetParam().stage, GetParam().kind));
    EXPECT_FALSE(install(std::move(options)));
    EXPECT_EQ(title, QString::fromUtf8(GetParam().title)) << text.toStdString();
    // The run ends at the first failure: the second batch never starts.
    EXPECT_TRUE(received("THIRD.BIN").empty());
}

INSTANTIATE_TEST_SUITE_P(Terminal, RemoteFailing, ::testing::ValuesIn(kRemoteFailures),
                         [](const ::testing::TestParamInfo<RemoteFailure>& info) {
                             return std::string(info.param.name);
                         });

TEST_F(EndToEnd, UnknownHardwareIsRefused)
{
    TerminalOptions options = healthyTerminal();
    options.hardware = {0x09, 0x09, 0x09};
    EXPECT_FALSE(install(std::move(options)));
    EXPECT_EQ(title, QString::fromUtf8("Erreur cohérence HTerminal"));
    EXPECT_TRUE(line->terminal().files().empty());
}
