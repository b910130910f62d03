// Whole sessions of the command set against the simulated terminal over a
// pseudo-terminal, with and without faults.
#include "tests/sim/SimHarness.h"

#include "protocol/CommandSet.h"
#include "protocol/Frames.h"

#include <gtest/gtest.h>

#include <memory>

namespace {

// The protocol's pauses shortened a thousandfold (20 s of activation: 20 ms).
constexpr double kTimeScale = 0.001;

Bytes content(size_t length, uint8_t seed = 1)
{
    Bytes data(length);
    for (size_t i = 0; i < length; ++i)
        data[i] = static_cast<uint8_t>(i * 13 + seed);
    return data;
}

TerminalOptions withFaults(std::initializer_list<const char*> faults)
{
    TerminalOptions options;
    for (const char* text : faults) {
        Fault fault;
        std::string error;
        EXPECT_TRUE(parseFault(text, fault, error)) << error;
        options.faults.add(fault);
    }
    return options;
}

class Session : public ::testing::Test {
protected:
    void start(TerminalOptions options)
    {
        simulator = std::make_unique<SimulatorHarness>(std::move(options));
        client = simulator->openClient();
        link = std::make_unique<FdLink>(client);
        commands = std::make_unique<CommandSet>(*link, clock);
        commands->setDebugLog([this](const std::string& line) { debugLines.push_back(line); });
    }

    // Opening, Varlenne, hardware record and list: what precedes the files.
    void openDialogue()
    {
        ASSERT_TRUE(commands->initTerminal());
        ASSERT_TRUE(commands->startVarlenne());
        std::array<uint8_t, 126> record{};
        ASSERT_TRUE(commands->readHardwareConfiguration(record));
        std::vector<std::string> names;
        ASSERT_TRUE(commands->readApplicationList(names));
    }

    bool transfer(const std::string& name, const Bytes& data)
    {
        bool skip = true;
        return commands->advertise(name, static_cast<uint32_t>(data.size()), skip) && !skip &&
               commands->requestAuthorization() && download(data);
    }

    bool download(const Bytes& data)
    {
        progress.clear();
        return commands->download(data.data(), static_cast<uint32_t>(data.size()),
                                  [this](int percent) { progress.push_back(percent); });
    }

    // Ends the simulator: it kept exactly one file, with this content.
    void expectOnlyFileReceived(const Bytes& data)
    {
        simulator->finish();
        ASSERT_EQ(simulator->terminal().files().size(), 1u);
        EXPECT_EQ(simulator->terminal().files()[0].content, data);
    }

    size_t resendRequestsSeen() const
    {
        size_t count = 0;
        for (const auto& answer : link->received())
            count += answer.size() == kCommandFrameSize && answer[0] == kCodeDownload && answer[2] == kResultResend;
        return count;
    }

    ScaledClock clock{kTimeScale};
    std::unique_ptr<SimulatorHarness> simulator;
    int client = -1;
    std::unique_ptr<FdLink> link;
    std::unique_ptr<CommandSet> commands;
    std::vector<int> progress;
    std::vector<std::string> debugLines;
};

TEST_F(Session, WholeSessionStoresEveryFile)
{
    TemporaryFolder store;
    TerminalOptions options;
    options.hardware = {0x0A, 0x0B, 0x0C};
    options.applications = {"VARLENNE", "EMV"};
    options.storeDirectory = store.path();
    start(options);

    ASSERT_TRUE(commands->initTerminal());
    ASSERT_TRUE(commands->startVarlenne());
    std::array<uint8_t, 126> record{};
    ASSERT_TRUE(commands->readHardwareConfiguration(record));
    EXPECT_EQ(record[10], 0x0A);
    EXPECT_EQ(record[11], 0x0B);
    EXPECT_EQ(record[12], 0x0C);
    std::vector<std::string> names;
    ASSERT_TRUE(commands->readApplicationList(names));
    EXPECT_EQ(names, (std::vector<std::string>{"VARLENNE", "EMV"}));

    const Bytes data = content(1000); // nine blocks, the last of 24 bytes
    EXPECT_TRUE(transfer("DATA.BIN", data));
    EXPECT_EQ(progress.size(), 9u);
    EXPECT_EQ(progress.back(), 100);
    EXPECT_TRUE(transfer("EMPTY.BIN", {}));
    EXPECT_TRUE(commands->activateFiles());
    EXPECT_TRUE(commands->releaseTerminal());
    commands->sendReleaseFrames();

    EXPECT_EQ(simulator->finish(), ServeEnd::Stopped);
    const auto& files = simulator->terminal().files();
    ASSERT_EQ(files.size(), 2u);
    EXPECT_EQ(files[0].name, "DATA.BIN");
    EXPECT_EQ(files[0].content, data);
    EXPECT_TRUE(files[1].content.empty());
    EXPECT_EQ(store.read("DATA.BIN"), data);
    EXPECT_TRUE(store.exists("EMPTY.BIN"));
    EXPECT_EQ(simulator->terminal().sessions(), 1);
    EXPECT_TRUE(simulator->terminal().problems().empty());
    EXPECT_TRUE(simulator->traced("first release frame"));
    EXPECT_TRUE(simulator->traced("second release frame"));
    EXPECT_TRUE(debugLines.empty());
}

TEST_F(Session, ReceivedFilesAreComparedWithTheirContainers)
{
    TemporaryFolder packages;
    const Bytes data = content(300);
    writeContainer(packages.path() + "/data.bin", data);              // same content, lower case
    writeContainer(packages.path() + "/OTHER.BIN", content(300, 99)); // different content
    TerminalOptions options;
    options.verifyDirectory = packages.path();
    start(options);
    openDialogue();

    EXPECT_TRUE(transfer("DATA.BIN", data));
    EXPECT_TRUE(transfer("OTHER.BIN", data));
    EXPECT_TRUE(transfer("MISSING.BIN", data));
    simulator->finish();
    const auto& problems = simulator->terminal().problems();
    ASSERT_EQ(problems.size(), 2u);
    EXPECT_EQ(problems[0].rfind("OTHER.BIN:", 0), 0u) << problems[0];
    EXPECT_NE(problems[0].find("first difference at byte 0"), std::string::npos) << problems[0];
    EXPECT_EQ(problems[1].rfind("MISSING.BIN:", 0), 0u) << problems[1];
}

TEST_F(Session, RefusedVarlenneFailsTheStart)
{
    start(withFaults({"varlenne:refuse"}));
    ASSERT_TRUE(commands->initTerminal());
    EXPECT_FALSE(commands->startVarlenne());
}

TEST_F(Session, RefusedAuthorizationAndActivation)
{
    start(withFaults({"authorize:refuse:1", "activate:refuse"}));
    openDialogue();
    bool skip = true;
    ASSERT_TRUE(commands->advertise("APP.BIN", 10, skip));
    EXPECT_FALSE(commands->requestAuthorization());
    EXPECT_TRUE(transfer("APP.BIN", content(10))); // the second request is granted
    EXPECT_FALSE(commands->activateFiles());
}

TEST_F(Session, ResendRequestsAreHonoured)
{
    TerminalOptions options;
    options.faults.add({Stage::Block, FaultKind::Resend, 1, -1, 2});
    start(options);
    openDialogue();
    const Bytes data = content(400);
    EXPECT_TRUE(transfer("APP.BIN", data));
    EXPECT_EQ(resendRequestsSeen(), 2u);
    expectOnlyFileReceived(data);
}

TEST_F(Session, EndlessResendRequestsFailTheDownload)
{
    start(withFaults({"block:resend"}));
    openDialogue();
    EXPECT_FALSE(transfer("APP.BIN", content(100)));
    EXPECT_EQ(resendRequestsSeen(), static_cast<size_t>(kMaxResendRequests + 1));
}

TEST_F(Session, FailedDownloadIsRetriedFromItsAdvertisement)
{
    start(withFaults({"final:refuse:times=1"}));
    openDialogue();
    const Bytes data = content(250);
    EXPECT_FALSE(transfer("APP.BIN", data));
    EXPECT_TRUE(transfer("APP.BIN", data));
    expectOnlyFileReceived(data);
}

TEST_F(Session, FinalConfirmationWithBadCrcIsOnlyLogged)
{
    start(withFaults({"final:bad-crc"}));
    openDialogue();
    EXPECT_TRUE(transfer("APP.BIN", content(130)));
    EXPECT_EQ(debugLines, std::vector<std::string>{"CRC fails: 32"});
}

TEST_F(Session, SilenceAfterABlockFailsTheDownload)
{
    start(withFaults({"block:silent:after=1"}));
    openDialogue();
    EXPECT_FALSE(transfer("APP.BIN", content(500)));
    EXPECT_EQ(progress, (std::vector<int>{24, 48}));
}

TEST_F(Session, DamagedAnswersFailTheirCommands)
{
    TerminalOptions options = withFaults({"hardware:bad-crc", "list:split", "authorize:bad-echo:1", "block:garbage:0"});
    // The list answer's second half comes after its read gave up (FdLink
    // waits at least 500 ms); a half that came within the wait would be taken.
    options.splitPauseMs = 1000;
    start(std::move(options));
    ASSERT_TRUE(commands->initTerminal());
    ASSERT_TRUE(commands->startVarlenne());
    std::array<uint8_t, 126> record{};
    EXPECT_FALSE(commands->readHardwareConfiguration(record));
    std::vector<std::string> names;
    EXPECT_FALSE(commands->readApplicationList(names));
    // The rest of the list (second half of the first answer, the second
    // name, the end) is still coming: take it off the line before going on.
    EXPECT_EQ(receiveBytes(client, 16 + 2 * 32, 5000).size(), 16u + 2 * 32);
    bool skip = true;
    ASSERT_TRUE(commands->advertise("APP.BIN", 10, skip));
    EXPECT_FALSE(commands->requestAuthorization());
    ASSERT_TRUE(commands->advertise("APP.BIN", 10, skip));
    ASSERT_TRUE(commands->requestAuthorization());
    EXPECT_FALSE(download(content(10)));
}

TEST_F(Session, SplitAnswerIsReassembledByAFullReadOnly)
{
    // The advertisement is read with readFull, which waits for the second
    // half; the hardware record is read once and arrives in part.
    start(withFaults({"advertise:split", "hardware:split"}));
    ASSERT_TRUE(commands->initTerminal());
    ASSERT_TRUE(commands->startVarlenne());
    bool skip = true;
    EXPECT_TRUE(commands->advertise("APP.BIN", 10, skip));
    std::array<uint8_t, 126> record{};
    EXPECT_FALSE(commands->readHardwareConfiguration(record));
}

TEST_F(Session, VanishingTerminalEndsTheSimulator)
{
    start(withFaults({"activate:vanish"}));
    openDialogue();
    EXPECT_TRUE(transfer("APP.BIN", content(10)));
    EXPECT_FALSE(commands->activateFiles());
    EXPECT_EQ(simulator->finish(), ServeEnd::Vanished);
}

} // namespace
