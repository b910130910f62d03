// Session transcripts: the JSON lines, the recording Link decorator (above
// all: no payload of a data block ever reaches a transcript), reading them
// back, and the replay of the terminal's side over a pseudo-terminal.
#include "Json.h"
#include "Options.h"
#include "Replay.h"
#include "SimHarness.h"
#include "TracingLink.h"
#include "Transcript.h"

#include "crc16.h"
#include "framing.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <deque>
#include <fstream>
#include <memory>
#include <sstream>
#include <thread>

namespace {

// A link that records what is written and hands out queued answers.
class ScriptedLink : public Link {
public:
    bool write(const uint8_t* data, uint16_t length) override
    {
        if (failWrites)
            return false;
        written.emplace_back(data, data + length);
        return true;
    }
    bool read(uint8_t* buffer, uint16_t& length, int) override
    {
        if (answers.empty())
            return false;
        length = give(buffer, length);
        return true;
    }
    bool readFull(uint8_t* buffer, uint16_t& length) override
    {
        if (answers.empty() || answers.front().size() < length) {
            length = 0;
            return false;
        }
        length = give(buffer, length);
        return true;
    }
    void clearInput() override { ++clears; }

    std::vector<Bytes> written;
    std::deque<Bytes> answers;
    bool failWrites = false;
    int clears = 0;

private:
    uint16_t give(uint8_t* buffer, uint16_t capacity)
    {
        const Bytes answer = answers.front();
        answers.pop_front();
        const auto count = static_cast<uint16_t>(std::min<size_t>(capacity, answer.size()));
        std::copy_n(answer.begin(), count, buffer);
        return count;
    }
};

std::string readText(const std::string& path)
{
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::vector<TranscriptEntry> parse(const std::string& text)
{
    std::istringstream in(text);
    std::vector<TranscriptEntry> entries;
    std::string error;
    EXPECT_TRUE(readTranscript(in, entries, error)) << error;
    return entries;
}

std::string readError(const std::string& text)
{
    std::istringstream in(text);
    std::vector<TranscriptEntry> entries;
    std::string error;
    EXPECT_FALSE(readTranscript(in, entries, error)) << text;
    return error;
}

// A payload that is easy to spot, in text or in hexadecimal.
Bytes secretPayload()
{
    const std::string text = "SECRET-PAYLOAD-OF-THE-PACKAGE-";
    Bytes payload;
    while (payload.size() < kMaxBlockPayload)
        payload.push_back(static_cast<uint8_t>(text[payload.size() % text.size()]));
    return payload;
}

// Whether any run of `window` consecutive payload bytes appears in the text,
// as characters or in the transcript's hexadecimal.
bool containsAnyRun(const std::string& text, const Bytes& payload, size_t window)
{
    for (size_t i = 0; i + window <= payload.size(); ++i) {
        const std::string raw(payload.begin() + static_cast<long>(i), payload.begin() + static_cast<long>(i + window));
        if (text.find(raw) != std::string::npos || text.find(hexBytes(payload.data() + i, window)) != std::string::npos)
            return true;
    }
    return false;
}

class Recording : public ::testing::Test {
protected:
    Recording() : path(folder.path() + "/session.jsonl") { EXPECT_TRUE(writer.open(path)); }

    std::vector<TranscriptEntry> entries() { return parse(readText(path)); }

    TemporaryFolder folder;
    std::string path;
    TranscriptWriter writer;
    ScriptedLink target;
    TracingLink link{writer, &target};
};

} // namespace

// --- JSON ---------------------------------------------------------------------

TEST(Json, LinesKeepTheirKeysInOrderAndEscapeText)
{
    JsonLine line;
    line.decimal("t", 1.23456, 3).text("title", "Erreur \"varlenne\"\nà voir\t\x01").number("n", -5).flag("ok", false);
    EXPECT_EQ(line.str(), "{\"t\":1.235,\"title\":\"Erreur \\\"varlenne\\\"\\nà voir\\t\\u0001\",\"n\":-5,\"ok\":false}");

    JsonObject object;
    std::string error;
    ASSERT_TRUE(parseJsonObject(line.str(), object, error)) << error;
    EXPECT_EQ(object["title"].text, "Erreur \"varlenne\"\nà voir\t\x01");
    EXPECT_EQ(object["title"].kind, JsonValue::String);
    EXPECT_EQ(object["t"].text, "1.235");
    EXPECT_EQ(object["n"].kind, JsonValue::Number);
    EXPECT_EQ(object["ok"].text, "false");
}

TEST(Json, OnlyFlatObjectsAreRead)
{
    JsonObject object;
    std::string error;
    EXPECT_TRUE(parseJsonObject(" { } ", object, error));
    EXPECT_TRUE(parseJsonObject("{\"a\":\"\\u00e9\\/\",\"b\":null}", object, error));
    EXPECT_EQ(object["a"].text, "é/");
    for (const char* bad : {"", "[]", "{\"a\":[1]}", "{\"a\":{}}", "{\"a\":1} x", "{\"a\" 1}", "{\"a\":\"open",
                            "{\"a\":tru}", "{\"a\":\"\\ud800\"}", "{\"a\":-}", "{a:1}", "{\"a\":1,}"})
        EXPECT_FALSE(parseJsonObject(bad, object, error)) << bad;
}

// --- Frames -------------------------------------------------------------------

TEST(FrameKinds, EveryFrameThePcSendsHasItsName)
{
    auto kind = [](const auto& frame) { return frameKind(frame.data(), frame.size()); };
    EXPECT_EQ(kind(kOpeningFrame), "opening");
    EXPECT_EQ(kind(kVarlenneStartFrame), "varlenne");
    EXPECT_EQ(kind(kFirstReleaseFrame), "release-1");
    EXPECT_EQ(kind(kSecondReleaseFrame), "release-2");
    EXPECT_EQ(kind(slashFrame(0x40, {1, 2})), "slash");
    const char* names[] = {"list", "advertise", "authorize", "download-start", "activate", "release", "hardware"};
    for (uint8_t code = 1; code <= 7; ++code)
        EXPECT_EQ(kind(commandFrame(code)), names[code - 1]);
    const Bytes payload = secretPayload();
    EXPECT_EQ(kind(blockFrame(3, payload.data(), 10)), "block");
    EXPECT_EQ(kind(commandFrame(9)), "unknown");
    EXPECT_EQ(kind(Bytes{}), "unknown");
}

TEST(FrameKinds, HexadecimalBothWays)
{
    const Bytes bytes = {0x00, 0x2F, 0xA5, 0xFF};
    EXPECT_EQ(hexBytes(bytes.data(), bytes.size()), "00 2F A5 FF");
    Bytes back;
    EXPECT_TRUE(parseHexBytes("00 2f A5FF", back));
    EXPECT_EQ(back, bytes);
    EXPECT_FALSE(parseHexBytes("0", back));
    EXPECT_FALSE(parseHexBytes("0G", back));
}

// --- Recording ----------------------------------------------------------------

TEST_F(Recording, BlockPayloadNeverReachesTheTranscript)
{
    const Bytes payload = secretPayload();
    const BlockFrame block = blockFrame(258, payload.data(), kMaxBlockPayload);
    target.answers.push_back(bytesOf(answerFrame(kCodeDownload, kResultDone)));
    ASSERT_TRUE(link.write(block.data(), kBlockFrameSize));
    uint16_t length = kCommandFrameSize;
    uint8_t answer[kCommandFrameSize];
    ASSERT_TRUE(link.readFull(answer, length));
    // Whatever else the PC might one day send at that size is not written either.
    const Bytes large(payload.begin(), payload.end());
    ASSERT_TRUE(link.write(large.data(), static_cast<uint16_t>(large.size())));

    // The payload went to the line untouched...
    ASSERT_EQ(target.written.size(), 2u);
    EXPECT_EQ(target.written[0], bytesOf(block));
    // ...and not a run of 4 of its bytes reached the file.
    const std::string text = readText(path);
    EXPECT_FALSE(containsAnyRun(text, payload, 4)) << text;

    const auto lines = entries();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_TRUE(lines[0].isBlock());
    EXPECT_EQ(lines[0].block, 258);
    EXPECT_EQ(lines[0].count, kMaxBlockPayload);
    EXPECT_EQ(lines[0].crc[0], block[kBlockCrcOffset]);
    EXPECT_EQ(lines[0].crc[1], block[kBlockCrcOffset + 1]);
    EXPECT_TRUE(lines[0].bytes.empty());
    EXPECT_EQ(lines[1].answering, "block");
    EXPECT_EQ(lines[2].kind, "unknown");
    EXPECT_EQ(lines[2].length, payload.size());
    EXPECT_TRUE(lines[2].bytes.empty());
}

// A terminal that answers a data block with the block's first 32 bytes, or
// with a well-formed answer around its payload: neither answer is written as
// it came, only its length and CRC; the terminal's own answer is written whole.
TEST_F(Recording, AnswersThatMayHoldPackageBytesAreWrittenByLengthAndCrc)
{
    const Bytes payload = secretPayload();
    const BlockFrame block = blockFrame(0, payload.data(), kMaxBlockPayload);
    CommandFrame wrapped{};
    std::copy_n(block.begin(), kCommandCrcOffset, wrapped.begin());
    sealCommandFrame(wrapped);
    const Bytes answers[] = {Bytes(block.begin(), block.begin() + kCommandFrameSize), bytesOf(wrapped),
                             bytesOf(answerFrame(kCodeDownload, kResultDone))};
    for (const Bytes& answer : answers) {
        target.answers.push_back(answer);
        ASSERT_TRUE(link.write(block.data(), kBlockFrameSize));
        uint8_t buffer[kCommandFrameSize];
        uint16_t length = kCommandFrameSize;
        ASSERT_TRUE(link.readFull(buffer, length));
    }

    const std::string text = readText(path);
    EXPECT_FALSE(containsAnyRun(text, payload, 4)) << text;
    const auto lines = entries();
    ASSERT_EQ(lines.size(), 6u);
    for (size_t i = 0; i < 3; ++i) {
        const TranscriptEntry& line = lines[2 * i + 1];
        EXPECT_EQ(line.answering, "block");
        EXPECT_EQ(line.length, kCommandFrameSize);
        const uint16_t crc = crc16(answers[i].data(), answers[i].size());
        if (i < 2) {
            EXPECT_TRUE(line.bytes.empty()) << i;
            EXPECT_EQ(line.crc, (std::array<uint8_t, 2>{static_cast<uint8_t>(crc & 0xFF), static_cast<uint8_t>(crc >> 8)}));
        } else {
            EXPECT_EQ(line.bytes, answers[i]);
        }
    }
}

TEST_F(Recording, ExchangesAnswersSilencesAndEventsInOrder)
{
    const Bytes opening(kOpeningFrame.begin(), kOpeningFrame.end());
    target.answers.push_back(slashFrame(0xC0, {0x06}));
    ASSERT_TRUE(link.write(kOpeningFrame.data(), kOpeningFrame.size()));
    uint8_t buffer[kReleaseAnswerCapacity];
    uint16_t length = kOpeningAnswerCapacity;
    ASSERT_TRUE(link.read(buffer, length, kOpeningTimeoutMs));
    link.clearInput();
    const CommandFrame activate = commandFrame(kCodeActivate);
    ASSERT_TRUE(link.write(activate.data(), kCommandFrameSize));
    length = kCommandFrameSize;
    EXPECT_FALSE(link.read(buffer, length, kActivationTimeoutMs));
    length = kCommandFrameSize;
    EXPECT_FALSE(link.readFull(buffer, length));
    target.failWrites = true;
    EXPECT_FALSE(link.write(activate.data(), kCommandFrameSize));
    writer.portClosed(true);
    writer.result(false, "Erreur Activation", "Les fichiers ne peuvent pas être installés sur le terminal.\nVeuillez contacter le support.");

    EXPECT_EQ(target.clears, 1);   // passed on, not written
    const auto lines = entries();
    ASSERT_EQ(lines.size(), 8u);
    EXPECT_EQ(lines[0].direction, Direction::Pc);
    EXPECT_EQ(lines[0].kind, "opening");
    EXPECT_EQ(lines[0].bytes, opening);
    EXPECT_EQ(lines[1].direction, Direction::Terminal);
    EXPECT_EQ(lines[1].kind, "answer");
    EXPECT_EQ(lines[1].answering, "opening");
    EXPECT_EQ(lines[1].bytes, slashFrame(0xC0, {0x06}));
    EXPECT_EQ(lines[2].kind, "activate");
    EXPECT_EQ(lines[3].event, "no-answer");
    EXPECT_EQ(lines[3].answering, "activate");
    EXPECT_EQ(lines[3].timeoutMs, kActivationTimeoutMs);
    EXPECT_EQ(lines[4].event, "no-answer");
    EXPECT_EQ(lines[4].timeoutMs, -1);   // a full read has no time-out of its own
    EXPECT_FALSE(lines[5].sent);
    EXPECT_EQ(lines[6].event, "close");
    EXPECT_TRUE(lines[6].ok);
    EXPECT_EQ(lines[7].event, "result");
    EXPECT_FALSE(lines[7].ok);
    EXPECT_EQ(lines[7].text, "Les fichiers ne peuvent pas être installés sur le terminal.\nVeuillez contacter le support.");
    for (size_t i = 1; i < lines.size(); ++i)
        EXPECT_GE(lines[i].t, lines[i - 1].t);
}

TEST_F(Recording, PortEventsNameThePort)
{
    writer.portOpened("USB - (ttyUSB0)", true);
    writer.portOpened("/dev/missing", false);
    const auto lines = entries();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].event, "open");
    EXPECT_EQ(lines[0].port, "USB - (ttyUSB0)");
    EXPECT_TRUE(lines[0].ok);
    EXPECT_FALSE(lines[1].ok);
}

// --- Reading ------------------------------------------------------------------

TEST(TranscriptReading, ProblemsNameTheirLine)
{
    const std::string good = "{\"t\":0.001,\"dir\":\"pc\",\"kind\":\"opening\",\"hex\":\"2F C0\"}\n\n";
    EXPECT_EQ(parse(good).size(), 1u);
    EXPECT_EQ(parse(good)[0].line, 1u);
    EXPECT_EQ(readError(good + "{\"t\":1,\"dir\":\"pc\",\"kind\":\"list\"}\n"), "line 3: \"length\" must be a number");
    EXPECT_EQ(readError("{\"dir\":\"pc\"}"), "line 1: \"t\" must be a number");
    EXPECT_EQ(readError("{\"t\":1,\"dir\":\"up\"}"), "line 1: \"dir\" must be pc, terminal or event");
    EXPECT_EQ(readError("{\"t\":1,\"dir\":\"terminal\",\"kind\":\"answer\",\"hex\":\"ZZ\"}"),
              "line 1: \"hex\" is not hexadecimal bytes");
    EXPECT_EQ(readError("{\"t\":1,\"dir\":\"pc\",\"kind\":\"block\",\"block\":70000,\"count\":1,\"crc\":\"00 00\"}"),
              "line 1: \"block\" out of range");
    EXPECT_EQ(readError("{\"t\":1,\"dir\":\"pc\",\"kind\":\"block\",\"block\":1,\"count\":123,\"crc\":\"00 00\"}"),
              "line 1: \"count\" out of range");
    EXPECT_EQ(readError("{\"t\":1,\"dir\":\"pc\",\"kind\":\"block\",\"block\":1,\"count\":1,\"crc\":\"00\"}"),
              "line 1: \"crc\" must be two bytes");
    EXPECT_EQ(readError("{\"t\":1,\"dir\":\"event\",\"event\":\"result\",\"ok\":true}"), "line 1: \"title\" must be a string");
    EXPECT_EQ(readError("not json").substr(0, 8), "line 1: ");
}

// --- Replay steps -------------------------------------------------------------

TEST(ReplaySteps, EachRequestTakesTheBytesReadUntilTheNext)
{
    const auto entries = parse(
        "{\"t\":0,\"dir\":\"event\",\"event\":\"open\",\"port\":\"p\",\"ok\":true}\n"
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
    sendBytes(harness.client(), Bytes{0x00});   // the opening frame is one byte longer
    EXPECT_EQ(harness.finish(10000), ReplayEnd::Mismatch);
    ASSERT_EQ(harness.problems().size(), 1u);
    EXPECT_EQ(harness.problems()[0], "frame 1/2 (opening, line 1): byte 1 differs, received a slash frame: from byte 0, "
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
