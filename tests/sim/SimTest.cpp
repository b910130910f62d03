// What the simulator checks for the tests that rely on it: that the files it
// received are the packages' content, and that a replay tells a frame that
// differs from the recorded one. Frames are built here from their layout.
#include "protocol/Crc16.h"
#include "sim/Replay.h"
#include "sim/SimulatedTerminal.h"
#include "tests/support/SignedConfiguration.h"

#include <fstream>

namespace {

Bytes command(uint8_t code, const std::string& text = {})
{
    Bytes frame(32, 0);
    frame[0] = code, frame[1] = static_cast<uint8_t>(text.size());
    std::copy(text.begin(), text.end(), frame.begin() + 2);
    crc16Append(frame.data(), 30);
    return frame;
}

Bytes block(uint16_t number, const Bytes& data)
{
    Bytes frame(128, 0);
    frame[0] = 4, frame[1] = number >> 8, frame[2] = number & 0xFF, frame[3] = static_cast<uint8_t>(data.size());
    std::copy(data.begin(), data.end(), frame.begin() + 4);
    crc16Append(frame.data(), 126);
    return frame;
}

Bytes content(uint8_t seed)
{
    Bytes data(200);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<uint8_t>(i * 13 + seed);
    return data;
}

} // namespace

TEST(Simulator, ReceivedFilesAreComparedWithTheirPackages)
{
    ConfigFolder packages;
    packages.write(QStringLiteral("data.bin"),
                   packed(QByteArray(reinterpret_cast<const char*>(content(1).data()), 200)));
    packages.write(QStringLiteral("OTHER.BIN"), packed(QByteArray(200, 'x')));
    TerminalOptions options;
    options.verifyDirectory = packages.path().toStdString();
    SimulatedTerminal terminal(
        options, [](const std::string&) {}, [](const std::string&) {});
    terminal.handle({FrameReader::Kind::Slash, {0x2F, 0x40, 0x03, 0x05, 0x00, 0xFF, 0xC3, 0x6A}});
    for (const char* name : {"DATA.BIN", "OTHER.BIN", "MISSING.BIN"}) {
        terminal.handle({FrameReader::Kind::Command, command(2, std::string("000200") + name)});
        terminal.handle({FrameReader::Kind::Command, command(3, "\x01")});
        terminal.handle({FrameReader::Kind::Command, command(4)});
        const Bytes data = content(1);
        terminal.handle({FrameReader::Kind::Block, block(0, Bytes(data.begin(), data.begin() + 122))});
        terminal.handle({FrameReader::Kind::Block, block(1, Bytes(data.begin() + 122, data.end()))});
    }
    ASSERT_EQ(terminal.files().size(), 3u);
    EXPECT_EQ(terminal.files()[0].content, content(1));
    const auto& problems = terminal.problems();
    ASSERT_EQ(problems.size(), 2u);
    EXPECT_EQ(problems[0].rfind("OTHER.BIN:", 0), 0u) << problems[0];
    EXPECT_NE(problems[0].find("first difference at byte 0"), std::string::npos) << problems[0];
    EXPECT_EQ(problems[1].rfind("MISSING.BIN:", 0), 0u) << problems[1];
}

// A transcript holds a data block by its number, count and CRC only.
TEST(Simulator, ReplayTellsAFrameThatDiffers)
{
    const Bytes data = content(7);
    const Bytes recordedBlock = block(7, Bytes(data.begin(), data.begin() + 100));
    TranscriptEntry recorded;
    recorded.direction = Direction::Pc;
    recorded.kind = kBlockKind;
    recorded.length = 128;
    recorded.block = 7;
    recorded.count = 100;
    recorded.crc = {recordedBlock[126], recordedBlock[127]};
    EXPECT_EQ(frameDifference(recorded, recordedBlock), "");
    Bytes changed(data.begin(), data.begin() + 100);
    changed[50] ^= 1;
    EXPECT_NE(frameDifference(recorded, block(7, changed)).find("expected block 7 of 100 bytes with CRC"),
              std::string::npos);
    EXPECT_NE(frameDifference(recorded, block(8, Bytes(data.begin(), data.begin() + 100))).find("received block 8"),
              std::string::npos);

    recorded = TranscriptEntry();
    recorded.direction = Direction::Pc;
    recorded.kind = "advertise";
    recorded.bytes = command(2, "000021PARAM.CFG");
    recorded.length = 32;
    EXPECT_EQ(frameDifference(recorded, recorded.bytes), "");
    EXPECT_NE(frameDifference(recorded, command(2, "000022PARAM.CFG")).find("byte 7 differs"), std::string::npos);
}
