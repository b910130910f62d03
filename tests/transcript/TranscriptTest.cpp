// Session transcripts: the JSON lines, the recording Link decorator (above
// all: no payload of a data block ever reaches a transcript) and reading them
// back. Plain C++, like the transcripts: these also run in the Windows build.
#include "transcript/Json.h"
#include "transcript/TracingLink.h"
#include "transcript/Transcript.h"
#include "tests/transcript/TranscriptHelpers.h"

#include "protocol/Crc16.h"
#include "protocol/Framing.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <deque>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

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
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string readError(const std::string& text)
{
    std::istringstream in(text);
    std::vector<TranscriptEntry> entries;
    std::string error;
    EXPECT_FALSE(readTranscript(in, entries, error)) << text;
    return error;
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

// A file name of its own in the temporary folder, removed afterwards.
struct TemporaryFile {
    TemporaryFile()
        : path((std::filesystem::temp_directory_path() /
                ("mirdal-transcript-" + std::to_string(std::random_device{}()) + ".jsonl"))
                   .string())
    {}
    ~TemporaryFile() { std::remove(path.c_str()); }
    const std::string path;
};

template <typename Frame>
Bytes bytesOf(const Frame& frame)
{
    return Bytes(frame.begin(), frame.end());
}

class Recording : public ::testing::Test {
protected:
    Recording() { EXPECT_TRUE(writer.open(path)); }

    std::vector<TranscriptEntry> entries() { return parse(readText(path)); }

    TemporaryFile file;
    const std::string& path = file.path;
    TranscriptWriter writer;
    ScriptedLink target;
    TracingLink link{writer, &target};
};

} // namespace

// --- JSON ---------------------------------------------------------------------

TEST(Json, LinesKeepTheirKeysInOrderAndEscapeText)
{
    JsonLine line;
    line.decimal("t", 1.23456, 3)
        .text("title", "Erreur \"varlenne\"\nà voir\t\x01\b\f")
        .number("n", -5)
        .flag("ok", false);
    EXPECT_EQ(
        line.str(),
        "{\"t\":1.235,\"title\":\"Erreur \\\"varlenne\\\"\\nà voir\\t\\u0001\\u0008\\u000c\",\"n\":-5,\"ok\":false}");

    JsonObject object;
    std::string error;
    ASSERT_TRUE(parseJsonObject(line.str(), object, error)) << error;
    EXPECT_EQ(object["title"].text, "Erreur \"varlenne\"\nà voir\t\x01\b\f");
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
    EXPECT_TRUE(parseJsonObject("{\"a\":1,\"a\":\"x\"}", object, error));
    EXPECT_EQ(object["a"].text, "x");
    const std::string overlong = "{\"a\":\"" + std::string(kMaxJsonLine, 'x') + "\"}";
    for (const std::string bad :
         {"", "[]", "{\"a\":[1]}", "{\"a\":{}}", "{\"a\":1} x", "{\"a\" 1}", "{\"a\":\"open", "{\"a\":tru}",
          "{\"a\":\"\\ud800\"}", "{\"a\":-}", "{a:1}", "{\"a\":1,}", "{\"a\":\"caf\xe9\"}", overlong.c_str()})
        EXPECT_FALSE(parseJsonObject(bad, object, error)) << bad.substr(0, 20);
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
            EXPECT_EQ(line.crc,
                      (std::array<uint8_t, 2>{static_cast<uint8_t>(crc & 0xFF), static_cast<uint8_t>(crc >> 8)}));
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
    writer.result(false, "Erreur Activation",
                  "Les fichiers ne peuvent pas être installés sur le terminal.\nVeuillez contacter le support.");

    EXPECT_EQ(target.clears, 1); // passed on, not written
    // Lines end with a line feed alone, whichever system wrote them.
    EXPECT_EQ(readText(path).find('\r'), std::string::npos);
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
    EXPECT_EQ(lines[4].timeoutMs, -1); // a full read has no time-out of its own
    EXPECT_FALSE(lines[5].sent);
    EXPECT_EQ(lines[6].event, "close");
    EXPECT_TRUE(lines[6].ok);
    EXPECT_EQ(lines[7].event, "result");
    EXPECT_FALSE(lines[7].ok);
    EXPECT_EQ(lines[7].text,
              "Les fichiers ne peuvent pas être installés sur le terminal.\nVeuillez contacter le support.");
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

// The cause of a failed update reads back as written, before its result.
TEST_F(Recording, CauseOfAFailureReadsBack)
{
    writer.cause("advertisement of FONTS.BIN", "write failed (the device may be gone)");
    writer.result(false, "Erreur Information", "Le fichier : FONTS.BIN ne peut pas être lu.");
    const auto lines = entries();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].direction, Direction::Event);
    EXPECT_EQ(lines[0].event, "cause");
    EXPECT_EQ(lines[0].stage, "advertisement of FONTS.BIN");
    EXPECT_EQ(lines[0].text, "write failed (the device may be gone)");
    EXPECT_EQ(lines[1].event, "result");
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
    // Beyond what a long holds: refused, never converted.
    EXPECT_EQ(readError("{\"t\":1,\"dir\":\"pc\",\"kind\":\"block\",\"block\":1e19,\"count\":1,\"crc\":\"00 00\"}"),
              "line 1: \"block\" out of range");
    EXPECT_EQ(readError("{\"t\":1,\"dir\":\"pc\",\"kind\":\"block\",\"block\":1,\"count\":1,\"crc\":\"00\"}"),
              "line 1: \"crc\" must be two bytes");
    EXPECT_EQ(readError("{\"t\":1,\"dir\":\"event\",\"event\":\"result\",\"ok\":true}"),
              "line 1: \"title\" must be a string");
    EXPECT_EQ(readError("not json").substr(0, 8), "line 1: ");
}
