// Replay of a transcript: its steps, and the terminal's side played over a
// pseudo-terminal.
#include "sim/Options.h"
#include "sim/Replay.h"
#include "tests/sim/SimHarness.h"
#include "transcript/Transcript.h"
#include "tests/transcript/TranscriptHelpers.h"

#include "protocol/Framing.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <memory>
#include <thread>

// --- Replay steps -------------------------------------------------------------

TEST(ReplaySteps, EachRequestTakesTheBytesReadUntilTheNext)
{
    const auto entries =
        parse("{\"t\":0,\"dir\":\"event\",\"event\":\"open\",\"port\":\"p\",\"ok\":true}\n"
              "{\"t\":1.000,\"dir\":\"pc\",\"kind\":\"list\",\"hex\":\"01 02\"}\n"
              "{\"t\":1.250,\"dir\":\"terminal\",\"kind\":\"answer\",\"hex\":\"AA\"}\n"
              "{\"t\":1.300,\"dir\":\"terminal\",\"kind\":\"answer\",\"hex\":\"BB CC\"}\n"
              "{\"t\":2.000,\"dir\":\"pc\",\"kind\":\"activate\",\"hex\":\"05\",\"sent\":false}\n"
              "{\"t\":2.100,\"dir\":\"terminal\",\"kind\":\"answer\",\"hex\":\"DD\"}\n"
              "{\"t\":3.000,\"dir\":\"pc\",\"kind\":\"block\",\"block\":0,\"count\":5,\"crc\":\"12 34\"}\n"
              "{\"t\":4.000,\"dir\":\"event\",\"event\":\"no-answer\",\"to\":\"block\"}\n");
    std::vector<ReplayStep> steps;
    std::string error;
    ASSERT_TRUE(replaySteps(entries, steps, error)) << error;
    ASSERT_EQ(steps.size(), 2u);
    EXPECT_EQ(steps[0].reply, (Bytes{0xAA, 0xBB, 0xCC, 0xDD}));
    EXPECT_EQ(steps[0].delay.count(), 250000);
    EXPECT_TRUE(steps[1].request.isBlock());
    EXPECT_EQ(steps[1].request.length, kBlockFrameSize);
    EXPECT_TRUE(steps[1].reply.empty());

    EXPECT_FALSE(replaySteps(parse("{\"t\":0,\"dir\":\"terminal\",\"kind\":\"answer\",\"hex\":\"AA\"}"), steps, error));
    EXPECT_EQ(error, "line 1: the terminal speaks before the PC");
    EXPECT_FALSE(replaySteps({}, steps, error));
}

TEST(ReplaySteps, BlocksAreComparedByNumberCountAndCrc)
{
    const Bytes payload = secretPayload();
    const BlockFrame block = blockFrame(7, payload.data(), 100);
    TranscriptEntry recorded;
    recorded.direction = Direction::Pc;
    recorded.kind = kBlockKind;
    recorded.length = kBlockFrameSize;
    recorded.block = 7;
    recorded.count = 100;
    recorded.crc = {block[kBlockCrcOffset], block[kBlockCrcOffset + 1]};
    EXPECT_EQ(frameDifference(recorded, bytesOf(block)), "");

    Bytes changed = payload;
    changed[50] ^= 1;
    const std::string difference = frameDifference(recorded, bytesOf(blockFrame(7, changed.data(), 100)));
    EXPECT_NE(difference.find("expected block 7 of 100 bytes with CRC"), std::string::npos) << difference;
    EXPECT_NE(frameDifference(recorded, bytesOf(blockFrame(8, payload.data(), 100))).find("received block 8"),
              std::string::npos);
    EXPECT_EQ(frameDifference(recorded, bytesOf(commandFrame(kCodeRelease))), "expected 128 bytes, received 32");
}

TEST(ReplaySteps, OtherFramesAreComparedByteForByte)
{
    TranscriptEntry recorded;
    recorded.direction = Direction::Pc;
    recorded.bytes = bytesOf(advertisementFrame("000021PARAM.CFG"));
    recorded.length = recorded.bytes.size();
    recorded.kind = "advertise";
    EXPECT_EQ(frameDifference(recorded, recorded.bytes), "");
    const std::string difference = frameDifference(recorded, bytesOf(advertisementFrame("000022PARAM.CFG")));
    EXPECT_EQ(difference, "byte 7 differs: from byte 1, expected 0F 30 30 30 30 32 31 50 41 52 41 4D .., "
                          "received 0F 30 30 30 30 32 32 50 41 52 41 4D ..");
}

// --- Replay over a line -------------------------------------------------------

namespace {

// A replay served on its own thread over a fresh pseudo-terminal.
class ReplayHarness {
public:
    explicit ReplayHarness(const std::string& transcript, ReplayOptions options = {})
    {
        std::vector<ReplayStep> steps;
        std::string error;
        if (!replaySteps(parse(transcript), steps, error) || !openPseudoTerminal(line_, error))
            throw std::runtime_error(error);
        replay_ = std::make_unique<Replay>(
            steps, options, [](const std::string&) {}, [this](const std::string& line) { problems_.push_back(line); });
        thread_ = std::thread([this] {
            end_ = replay_->play(line_);
            finished_ = true;
        });
        client_ = openRawClient(line_.path);
    }
    ~ReplayHarness()
    {
        finish();
        close(client_);
        closeLine(line_);
    }

    int client() const { return client_; }
    // Waits for the replay to end by itself, or stops it after `waitMs`.
    ReplayEnd finish(int waitMs = 0)
    {
        for (int waited = 0; waited < waitMs && !finished_; waited += 50)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        if (thread_.joinable()) {
            replay_->requestStop();
            thread_.join();
        }
        return end_;
    }
    const std::vector<std::string>& problems() const { return problems_; }
    const Replay& replay() const { return *replay_; }

private:
    Line line_;
    std::unique_ptr<Replay> replay_;
    std::thread thread_;
    ReplayEnd end_ = ReplayEnd::Stopped;
    std::atomic<bool> finished_{false};
    std::vector<std::string> problems_;
    int client_ = -1;
};

const std::string kOpeningThenHardware =
    "{\"t\":0.000,\"dir\":\"pc\",\"kind\":\"opening\",\"hex\":\"2F C0 04 00 14 00 C8 A4 FC\"}\n"
    "{\"t\":0.010,\"dir\":\"terminal\",\"kind\":\"answer\",\"hex\":\"2F C0 01 06 DE 4B\"}\n"
    "{\"t\":0.020,\"dir\":\"pc\",\"kind\":\"hardware\",\"hex\":\"" +
    hexBytes(commandFrame(kCodeHardwareConfiguration).data(), kCommandFrameSize) +
    "\"}\n"
    "{\"t\":0.030,\"dir\":\"terminal\",\"kind\":\"answer\",\"hex\":\"07 01\"}\n"
    "{\"t\":0.031,\"dir\":\"terminal\",\"kind\":\"answer\",\"hex\":\"55\"}\n";

} // namespace

TEST(ReplayLine, RecordedFramesGetTheRecordedAnswers)
{
    ReplayHarness harness(kOpeningThenHardware);
    sendBytes(harness.client(), bytesOf(kOpeningFrame));
    EXPECT_EQ(receiveBytes(harness.client(), 6, 2000), slashFrame(0xC0, {0x06}));
    // In two pieces: a frame is taken once all its bytes are there.
    const Bytes hardware = bytesOf(commandFrame(kCodeHardwareConfiguration));
    sendBytes(harness.client(), Bytes(hardware.begin(), hardware.begin() + 5));
    sendBytes(harness.client(), Bytes(hardware.begin() + 5, hardware.end()));
    EXPECT_EQ(receiveBytes(harness.client(), 3, 2000), (Bytes{0x07, 0x01, 0x55}));
    EXPECT_EQ(harness.finish(10000), ReplayEnd::Complete);
    EXPECT_TRUE(harness.problems().empty());
    EXPECT_EQ(harness.replay().answered(), 2u);
}

TEST(ReplayLine, FrameThatDiffersEndsTheReplay)
{
    ReplayHarness harness(kOpeningThenHardware);
    sendBytes(harness.client(), bytesOf(kVarlenneStartFrame));
    sendBytes(harness.client(), Bytes{0x00}); // the opening frame is one byte longer
    EXPECT_EQ(harness.finish(10000), ReplayEnd::Mismatch);
    ASSERT_EQ(harness.problems().size(), 1u);
    EXPECT_EQ(harness.problems()[0],
              "frame 1/2 (opening, line 1): byte 1 differs, received a slash frame: from byte 0, "
              "expected 2F C0 04 00 14 00 C8 A4 FC, received 2F 40 03 05 00 FF C3 6A 00");
    EXPECT_EQ(harness.replay().answered(), 0u);
}

TEST(ReplayLine, IncompleteFrameIsAMismatchAfterSilence)
{
    ReplayOptions options;
    options.frameTimeoutMs = 200;
    ReplayHarness harness(kOpeningThenHardware, options);
    sendBytes(harness.client(), Bytes(kOpeningFrame.begin(), kOpeningFrame.begin() + 4));
    EXPECT_EQ(harness.finish(10000), ReplayEnd::Mismatch);
    ASSERT_EQ(harness.problems().size(), 1u);
    EXPECT_EQ(harness.problems()[0], "frame 1/2 (opening, line 1): only 4 of 9 bytes came: 2F C0 04 00");
}

TEST(ReplayLine, FrameAfterTheEndIsAMismatch)
{
    ReplayHarness harness(kOpeningThenHardware.substr(0, kOpeningThenHardware.find("{\"t\":0.020")));
    sendBytes(harness.client(), bytesOf(kOpeningFrame));
    receiveBytes(harness.client(), 6, 2000);
    sendBytes(harness.client(), bytesOf(kFirstReleaseFrame));
    EXPECT_EQ(harness.finish(10000), ReplayEnd::Mismatch);
    ASSERT_EQ(harness.problems().size(), 1u);
    EXPECT_EQ(harness.problems()[0].substr(0, 58), "after the last recorded frame, the PC sent 9 byte(s) more:");
}

TEST(ReplayLine, StoppedBeforeTheEnd)
{
    ReplayHarness harness(kOpeningThenHardware);
    sendBytes(harness.client(), bytesOf(kOpeningFrame));
    receiveBytes(harness.client(), 6, 2000);
    EXPECT_EQ(harness.finish(), ReplayEnd::Stopped);
    EXPECT_EQ(harness.replay().answered(), 1u);
}

TEST(ReplayLine, RecordedDelaysCanBeReplayed)
{
    // The answer to the opening waits for 10 ms recorded, times 100. Only
    // the lower bound is checked: a busy machine can make it later, not sooner.
    ReplayOptions options;
    options.timeScale = 100;
    ReplayHarness harness(kOpeningThenHardware, options);
    const auto sent = std::chrono::steady_clock::now();
    sendBytes(harness.client(), bytesOf(kOpeningFrame));
    EXPECT_EQ(receiveBytes(harness.client(), 6, 10000), slashFrame(0xC0, {0x06}));
    EXPECT_GE(std::chrono::steady_clock::now() - sent, std::chrono::milliseconds(1000));
}

// --- Command line -------------------------------------------------------------

TEST(ReplayOptionsParsing, OnlyLineOptionsGoWithAReplay)
{
    SimOptions options;
    std::string error;
    ASSERT_EQ(parseArguments({"--replay", "t.jsonl", "--replay-scale", "0.5", "--quiet", "--frame-timeout", "300",
                              "--device", "/dev/ttyS0"},
                             options, error),
              Parsed::Run)
        << error;
    EXPECT_EQ(options.replayFile, "t.jsonl");
    EXPECT_DOUBLE_EQ(options.replay.timeScale, 0.5);
    EXPECT_EQ(options.replay.frameTimeoutMs, 300);

    const std::vector<std::vector<std::string>> refused = {
        {"--replay", "t.jsonl", "--fault", "open:silent"},
        {"--replay", "t.jsonl", "--baud", "9600"},
        {"--replay", "t.jsonl", "--hardware", "010203"},
        {"--replay-scale", "1"},
        {"--replay", "t.jsonl", "--replay-scale", "-1"},
        {"--replay", "t.jsonl", "--replay-scale", "nan"},
        {"--replay", ""},
    };
    for (const auto& arguments : refused) {
        SimOptions ignored;
        EXPECT_EQ(parseArguments(arguments, ignored, error), Parsed::Error) << arguments[0] << " " << arguments[1];
    }
    parseArguments({"--replay", "t.jsonl", "--apps", "A"}, options, error);
    EXPECT_EQ(error, "--apps does not go with --replay");
}
