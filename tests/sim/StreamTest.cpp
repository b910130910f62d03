// The simulated terminal at the byte level: frames in pieces, junk, silence,
// the PC closing and reopening its end, and the exact answers of faults.
#include "tests/sim/SimHarness.h"

#include "protocol/CommandSet.h"
#include "protocol/Crc16.h"
#include "protocol/Frames.h"
#include "protocol/Framing.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

namespace {

using namespace std::chrono_literals;

constexpr int kAnswerWaitMs = 3000; // an answer that comes is there long before
constexpr int kSilenceMs = 300;     // how long "no answer" is watched for

bool validFrame(Bytes frame)
{
    return frame.size() >= 3 && crc16Check(frame.data(), static_cast<uint16_t>(frame.size() - 2));
}

Bytes answerBytes(uint8_t code, uint8_t result)
{
    return bytesOf(answerFrame(code, result));
}

class Stream : public ::testing::Test {
protected:
    void start(TerminalOptions options = {}, ServeOptions serve = {})
    {
        simulator = std::make_unique<SimulatorHarness>(std::move(options), serve);
        pc = simulator->openClient();
    }

    Bytes exchange(const Bytes& request, size_t answerSize)
    {
        sendBytes(pc, request);
        return receiveBytes(pc, answerSize, kAnswerWaitMs);
    }

    void startVarlenne()
    {
        const Bytes answer = exchange(bytesOf(kVarlenneStartFrame), 7);
        ASSERT_EQ(answer.size(), 7u);
        ASSERT_EQ(answer[3], 'O');
        ASSERT_EQ(answer[4], 'K');
    }

    // Advertisement, authorization and start of a file of `length` bytes.
    void startDownload(uint32_t length)
    {
        startVarlenne();
        const CommandFrame advertisement = advertisementFrame(CommandSet::lengthField(length) + "F.BIN");
        ASSERT_EQ(exchange(bytesOf(advertisement), 32), answerBytes(kCodeAdvertise, kResultDone));
        ASSERT_EQ(exchange(requestFrame(kCodeAuthorization, {0x01}), 32),
                  answerBytes(kCodeAuthorization, kResultGranted));
        ASSERT_EQ(exchange(requestFrame(kCodeDownload), 32), answerBytes(kCodeDownload, kResultDone));
    }

    std::unique_ptr<SimulatorHarness> simulator;
    int pc = -1;
};

TEST_F(Stream, OpeningAndVarlenneAnswers)
{
    start();
    const Bytes opening = exchange(bytesOf(kOpeningFrame), 16);
    ASSERT_FALSE(opening.empty());
    EXPECT_EQ(opening[0], kSlashStart);
    EXPECT_TRUE(validFrame(opening));
    startVarlenne();
}

TEST_F(Stream, CommandFrameWrittenInPiecesIsAnswered)
{
    TerminalOptions options;
    options.hardware = {0x11, 0x22, 0x33};
    start(options);
    startVarlenne();
    const Bytes request = requestFrame(kCodeHardwareConfiguration);
    for (size_t begin = 0; begin < request.size(); begin += 11) {
        sendBytes(pc, Bytes(request.begin() + static_cast<long>(begin),
                            request.begin() + static_cast<long>(std::min(begin + 11, request.size()))));
        std::this_thread::sleep_for(30ms);
    }
    const Bytes record = receiveBytes(pc, kBlockFrameSize, kAnswerWaitMs);
    ASSERT_EQ(record.size(), kBlockFrameSize);
    EXPECT_TRUE(validFrame(record));
    EXPECT_EQ(Bytes(record.begin() + 10, record.begin() + 13), (Bytes{0x11, 0x22, 0x33}));
}

TEST_F(Stream, SlashFrameByteByByte)
{
    start();
    for (uint8_t byte : kOpeningFrame) {
        sendBytes(pc, {byte});
        std::this_thread::sleep_for(5ms);
    }
    EXPECT_FALSE(receiveBytes(pc, 16, kAnswerWaitMs).empty());
}

TEST_F(Stream, JunkBeforeAFrameIsSkipped)
{
    start();
    sendBytes(pc, {0xFF, 0x00, 0x99});
    EXPECT_FALSE(exchange(bytesOf(kOpeningFrame), 16).empty());
    EXPECT_TRUE(simulator->traced("skipped 3 byte(s)"));
}

TEST_F(Stream, IncompleteFrameIsDroppedAfterSilence)
{
    ServeOptions serve;
    serve.frameTimeoutMs = 200;
    start({}, serve);
    const Bytes request = requestFrame(kCodeRelease);
    sendBytes(pc, Bytes(request.begin(), request.begin() + 10));
    std::this_thread::sleep_for(600ms);
    // Were the ten bytes kept, the opening frame would complete the command frame.
    EXPECT_FALSE(exchange(bytesOf(kOpeningFrame), 16).empty());
    EXPECT_TRUE(simulator->traced("dropped 10 byte(s)"));
}

TEST_F(Stream, CommandsBeforeTheVarlenneStartAreIgnored)
{
    start();
    EXPECT_TRUE(exchange(requestFrame(kCodeHardwareConfiguration), kBlockFrameSize).empty());
    startVarlenne();
    EXPECT_EQ(exchange(requestFrame(kCodeHardwareConfiguration), kBlockFrameSize).size(), kBlockFrameSize);
}

TEST_F(Stream, CommandWithWrongCrcIsIgnored)
{
    start();
    startVarlenne();
    Bytes request = requestFrame(kCodeRelease);
    request[31] ^= 0x01;
    sendBytes(pc, request);
    EXPECT_TRUE(receiveBytes(pc, 32, kSilenceMs).empty());
}

TEST_F(Stream, IgnoredOpeningFramesThenAnAnswer)
{
    TerminalOptions options;
    options.faults.add({Stage::Open, FaultKind::Silent, -1, -1, 2});
    start(options);
    sendBytes(pc, bytesOf(kOpeningFrame));
    EXPECT_TRUE(receiveBytes(pc, 16, kSilenceMs).empty());
    sendBytes(pc, bytesOf(kOpeningFrame));
    EXPECT_TRUE(receiveBytes(pc, 16, kSilenceMs).empty());
    EXPECT_FALSE(exchange(bytesOf(kOpeningFrame), 16).empty());
}

TEST_F(Stream, LineSurvivesThePcClosingAndReopeningItsEnd)
{
    start();
    EXPECT_FALSE(exchange(bytesOf(kOpeningFrame), 16).empty());
    simulator->closeClient(pc);
    std::this_thread::sleep_for(200ms);
    pc = simulator->openClient();
    EXPECT_FALSE(exchange(bytesOf(kOpeningFrame), 16).empty());
}

TEST_F(Stream, BlockWithWrongCrcIsAskedAgain)
{
    start();
    startDownload(3);
    const uint8_t data[] = {'a', 'b', 'c'};
    const BlockFrame block = blockFrame(0, data, 3);
    Bytes damaged = bytesOf(block);
    damaged[126] ^= 0xFF;
    EXPECT_EQ(exchange(damaged, 32), answerBytes(kCodeDownload, kResultResend));
    // Accepted, then the final confirmation follows at once.
    const Bytes answers = exchange(bytesOf(block), 64);
    EXPECT_EQ(answers.size(), 64u);
    EXPECT_EQ(Bytes(answers.begin(), answers.begin() + 32), answerBytes(kCodeDownload, kResultDone));
    EXPECT_EQ(Bytes(answers.begin() + 32, answers.end()), answerBytes(kCodeDownload, kResultDone));
    simulator->finish();
    ASSERT_EQ(simulator->terminal().files().size(), 1u);
    EXPECT_EQ(simulator->terminal().files()[0].content, (Bytes{'a', 'b', 'c'}));
}

TEST_F(Stream, BlockOutOfOrderAbandonsTheDownload)
{
    start();
    startDownload(200);
    const Bytes data(122, 0x42);
    EXPECT_EQ(exchange(bytesOf(blockFrame(1, data.data(), 122)), 32), answerBytes(kCodeDownload, 0x00));
}

TEST_F(Stream, DownloadStartWithoutAuthorizationIsRefused)
{
    start();
    startVarlenne();
    EXPECT_EQ(exchange(requestFrame(kCodeDownload), 32), answerBytes(kCodeDownload, 0x00));
    EXPECT_EQ(exchange(requestFrame(kCodeAuthorization, {0x01}), 32), answerBytes(kCodeAuthorization, 0x00));
}

struct ShapedFault {
    const char* fault;
    size_t expectedSize;
    bool crcValid;
    uint8_t firstByte;
};

void PrintTo(const ShapedFault& shaped, std::ostream* out)
{
    *out << shaped.fault;
}

class Shapes : public Stream, public ::testing::WithParamInterface<ShapedFault> {};

// What each kind of damage does to the release answer 06 01 55.
TEST_P(Shapes, ReleaseAnswer)
{
    Fault fault;
    std::string error;
    ASSERT_TRUE(parseFault(GetParam().fault, fault, error)) << error;
    TerminalOptions options;
    options.faults.add(fault);
    start(options);
    startVarlenne();
    sendBytes(pc, requestFrame(kCodeRelease));
    const Bytes answer = receiveBytes(pc, 64, 1000);
    ASSERT_EQ(answer.size(), GetParam().expectedSize);
    if (answer.empty())
        return;
    EXPECT_EQ(answer[0], GetParam().firstByte);
    EXPECT_EQ(validFrame(answer), GetParam().crcValid);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, Shapes,
    ::testing::Values(ShapedFault{"release:silent", 0, false, 0}, ShapedFault{"release:bad-crc", 32, false, 0x06},
                      ShapedFault{"release:bad-echo", 32, true, 0x86}, ShapedFault{"release:short", 16, false, 0x06},
                      ShapedFault{"release:split", 32, true, 0x06}, ShapedFault{"release:garbage", 35, false, 0xA5},
                      ShapedFault{"release:refuse", 32, true, 0x06}),
    [](const auto& info) {
        std::string name = info.param.fault;
        name = name.substr(name.find(':') + 1);
        name.erase(std::remove(name.begin(), name.end(), '-'), name.end());
        return name;
    });

TEST_F(Stream, RefusalsAreTheTerminalsNegativeAnswers)
{
    TerminalOptions options;
    for (const char* text : {"varlenne:refuse:1", "activate:refuse", "release:refuse"}) {
        Fault fault;
        std::string error;
        ASSERT_TRUE(parseFault(text, fault, error));
        options.faults.add(fault);
    }
    start(options);
    const Bytes refusal = exchange(bytesOf(kVarlenneStartFrame), 7);
    ASSERT_EQ(refusal.size(), 7u);
    EXPECT_EQ(refusal[3], 0x01);
    EXPECT_EQ(refusal[4], 0x81);
    startVarlenne();
    EXPECT_EQ(exchange(requestFrame(kCodeActivate), 32), answerBytes(kCodeActivate, kResultResend));
    EXPECT_EQ(exchange(requestFrame(kCodeRelease), 32), answerBytes(kCodeRelease, 0x00));
}

TEST_F(Stream, PacedAnswersStillArriveWhole)
{
    ServeOptions serve;
    serve.baud = 115200;
    start({}, serve);
    startVarlenne();
    const Bytes record = exchange(requestFrame(kCodeHardwareConfiguration), kBlockFrameSize);
    EXPECT_EQ(record.size(), kBlockFrameSize);
    EXPECT_TRUE(validFrame(record));
}

} // namespace
