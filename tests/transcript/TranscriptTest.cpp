// Session transcripts: the JSON lines, the recording Link decorator and reading them back. Plain C++: these also run
// in the Windows build.
#include "transcript/Json.h"
#include "transcript/TracingLink.h"
#include "transcript/Transcript.h"
#include "tests/support/ScriptedLink.h"

#include <fstream>
#include <gtest/gtest.h>
#include <sstream>

// A transcript written through the recording decorator over a scripted terminal, into a file of its own.
struct Recorder {
    explicit Recorder(const char* name) : path(::testing::TempDir() + name) {}
    ~Recorder() { std::remove(path.c_str()); }
    const std::string path;
    TranscriptWriter writer;
    Journal journal;
    ScriptedLink target{journal};
    TracingLink link{writer, &target};
};

// A block of 122 payload bytes answered with its first 32 bytes (an echo), with a well-formed command frame around
// its payload, then "done"; then the payload sent bare; then the failure's cause and result. Only "done" is written
// as it came: no run of 4 payload bytes in the file.
TEST(Recording, BlockPayloadNeverReachesTheTranscript)
{
    Recorder recorder("mirdal-redaction.jsonl");
    const std::string& path = recorder.path;
    TranscriptWriter& writer = recorder.writer;
    ScriptedLink& target = recorder.target;
    TracingLink& link = recorder.link;
    ASSERT_TRUE(writer.open(path));
    Bytes payload(122); // easy to spot in text or in hexadecimal
    for (size_t i = 0; i < payload.size(); ++i)
        payload[i] = static_cast<uint8_t>("SECRET-PAYLOAD-OF-THE-PACKAGE-"[i % 30]);
    const BlockFrame block = blockFrame(258, payload.data(), 122);
    CommandFrame wrapped{};
    std::copy_n(block.begin(), 30, wrapped.begin());
    sealCommandFrame(wrapped);
    const Bytes done = answer(4, 0x55);
    target.reply(Bytes(block.begin(), block.begin() + 32)).reply(toBytes(wrapped)).reply(done);
    uint8_t buffer[32];
    for (uint16_t i = 0, length = 0; i < 3; ++i)
        ASSERT_TRUE(link.write(block.data(), 128) && link.readFull(buffer, length = 32, 1000));
    ASSERT_TRUE(link.write(payload.data(), 122));
    writer.cause("download of FONTS.BIN", "wrong CRC");
    writer.result(false, "Erreur chargement", "Le fichier : FONTS.BIN ne peut pas être chargé.\nVeuillez contacter.");
    writer.close();
    std::ifstream in(path, std::ios::binary);
    const std::string file(std::istreambuf_iterator<char>(in), {});
    std::remove(path.c_str());
    for (size_t i = 0; i + 4 <= payload.size(); ++i) {
        EXPECT_EQ(file.find(std::string(payload.begin() + long(i), payload.begin() + long(i) + 4)), std::string::npos);
        ASSERT_EQ(file.find(hexBytes(payload.data() + i, 4)), std::string::npos) << file;
    }
    EXPECT_EQ(file.find('\r'), std::string::npos); // a line feed alone ends a line, on every system
    std::istringstream text(file);
    std::vector<TranscriptEntry> lines;
    std::string error;
    ASSERT_TRUE(readTranscript(text, lines, error)) << error;
    ASSERT_EQ(lines.size(), 9u);
    EXPECT_TRUE(lines[0].isBlock() && lines[0].block == 258 && lines[0].count == 122 && lines[0].bytes.empty());
    EXPECT_EQ(lines[0].crc, (std::array<uint8_t, 2>{block[126], block[127]}));
    for (size_t i : {1, 3, 5}) {
        EXPECT_EQ(lines[i].answering + std::to_string(lines[i].length), "block32") << i;
        EXPECT_EQ(lines[i].bytes, i == 5 ? done : Bytes()) << i;
    }
    EXPECT_EQ(lines[6].kind + std::to_string(lines[6].length) + std::to_string(lines[6].bytes.size()), "unknown1220");
    EXPECT_EQ(lines[7].event + "|" + lines[7].stage + "|" + lines[7].text, "cause|download of FONTS.BIN|wrong CRC");
    EXPECT_EQ(lines[8].event + "|" + lines[8].title + "|" + lines[8].text + "|" + std::to_string(lines[8].ok),
              "result|Erreur chargement|Le fichier : FONTS.BIN ne peut pas être chargé.\nVeuillez contacter.|0");
}

// Written by hand (times to the millisecond, \u0008-style escapes); read back as flat objects of UTF-8 text only, at
// most 1 MiB a line, a key given twice keeping its last value.
TEST(Json, WrittenAndRead)
{
    const auto a = [](const std::string& line) {
        JsonObject object;
        std::string error;
        return parseJsonObject(line, object, error) ? object["a"].text : "refused: " + line.substr(0, 20);
    };
    const std::string line =
        JsonLine().decimal("t", 1.23456, 3).text("a", "\"v\"\nà\t\x01\b\f\\").number("n", -5).flag("ok", false).str();
    EXPECT_EQ(line, R"({"t":1.235,"a":"\"v\"\nà\t\u0001\u0008\u000c\\","n":-5,"ok":false})");
    EXPECT_EQ(a(line), "\"v\"\nà\t\x01\b\f\\");
    EXPECT_EQ(a(R"({"a":"\u00e9\/","b":null})") + a(R"({"a":1,"a":"x"})") + a(" { } "), "é/x");
    for (const std::string& bad : std::vector<std::string>{
             "", "[]", R"({"a":[1]})", R"({"a":{}})", R"({"a":1} x)", R"({"a" 1})", R"({"a":"open)", R"({"a":tru})",
             R"({"a":"\ud800"})", R"({"a":-})", "{a:1}", R"({"a":1,})", "{\"a\":\"caf\xe9\"}",
             "{\"a\":\"" + std::string(1 << 20, 'x') + "\"}"})
        EXPECT_EQ(a(bad), "refused: " + bad.substr(0, 20));
}

TEST(TranscriptReading, ProblemsNameTheirLine)
{
    const std::string pc = R"({"t":1,"dir":"pc",)", block = pc + R"("kind":"block",)";
    const std::pair<std::string, const char*> cases[] = {
        {pc + R"("kind":"opening","hex":"2F c0"})" + "\n\n" + pc + R"("kind":"list"})",
         "line 3: \"length\" must be a number"},
        {R"({"dir":"pc"})", "line 1: \"t\" must be a number"},
        {R"({"t":1,"dir":"up"})", "line 1: \"dir\" must be pc, terminal or event"},
        {R"({"t":1,"dir":"terminal","kind":"answer","hex":"0G"})", "line 1: \"hex\" is not hexadecimal bytes"},
        {block + R"("block":70000,"count":1,"crc":"00 00"})", "line 1: \"block\" out of range"},
        {block + R"("block":1e19,"count":1,"crc":"00 00"})", "line 1: \"block\" out of range"},
        {block + R"("block":1,"count":123,"crc":"00 00"})", "line 1: \"count\" out of range"},
        {block + R"("block":1,"count":1,"crc":"00"})", "line 1: \"crc\" must be two bytes"},
        {R"({"t":1,"dir":"event","event":"result","ok":true})", "line 1: \"title\" must be a string"}};
    for (const auto& [text, expected] : cases) {
        std::istringstream in(text);
        std::vector<TranscriptEntry> entries;
        std::string error;
        EXPECT_FALSE(readTranscript(in, entries, error)) << text;
        EXPECT_EQ(error, expected) << text;
    }
}

// Answers that a real line delivers in pieces, read by several reads: each written as one answer where the
// exchanges say it ended, none split, none merged with the next.
TEST(Recording, AnswersReadInPiecesAreWrittenWhole)
{
    Recorder recorder("mirdal-pieces.jsonl");
    const std::string& path = recorder.path;
    TranscriptWriter& writer = recorder.writer;
    ScriptedLink& target = recorder.target;
    TracingLink& link = recorder.link;
    ASSERT_TRUE(writer.open(path));
    const Bytes first = answer(1, 0x08), second = answer(1, 0x00);
    target.reply({firstPart(first, 5), Bytes(first.begin() + 5, first.end()), second});
    const CommandFrame list = commandFrame(1);
    ASSERT_TRUE(link.write(list.data(), 32));
    uint8_t buffer[32];
    for (const uint16_t wanted : {5, 27, 32}) {
        uint16_t length = wanted;
        ASSERT_TRUE(link.read(buffer, length, 20) && length == wanted);
        if (wanted != 5)
            link.answerEnded();
    }
    link.clearInput();
    writer.close();
    std::ifstream in(path, std::ios::binary);
    std::vector<TranscriptEntry> lines;
    std::string error;
    ASSERT_TRUE(readTranscript(in, lines, error)) << error;
    std::remove(path.c_str());
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[1].bytes, first);
    EXPECT_EQ(lines[2].bytes, second);
}
