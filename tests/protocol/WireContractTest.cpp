// The wire contract of the terminal protocol, typed from its definition:
// every frame, CRC, pause, capacity and time-out of every command, as a
// scripted terminal sees them. Nothing here comes from the program's own
// frame constants or builders.
#include "tests/support/ScriptedLink.h"

#include "protocol/CommandSet.h"
#include "protocol/Crc16.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <tuple>

namespace {

// CRC-16/KERMIT in its augmented bit-by-bit form: a 24-bit register, each
// byte ORed into bits 16..23 and shifted through, then 16 zero bits.
uint16_t kermit(const Bytes& data)
{
    uint32_t reg = 0;
    auto step = [&reg] { reg = (reg & 1u) ? (reg >> 1) ^ 0x8408u : reg >> 1; };
    for (const uint8_t byte : data) {
        reg |= uint32_t{byte} << 16;
        for (int bit = 0; bit < 8; ++bit)
            step();
    }
    for (int bit = 0; bit < 16; ++bit)
        step();
    return static_cast<uint16_t>(reg & 0xFFFFu);
}

Bytes padded(Bytes head, size_t size)
{
    head.resize(size, 0x00);
    return head;
}

// A frame as typed: its first bytes, zeros, then the two CRC bytes as sent.
Bytes typed(const Bytes& head, size_t size, uint8_t crcLow, uint8_t crcHigh)
{
    Bytes frame = padded(head, size - 2);
    frame.insert(frame.end(), {crcLow, crcHigh});
    return frame;
}

// A terminal's answer of `size` bytes with its CRC.
Bytes sealed(const Bytes& head, size_t size = 32)
{
    Bytes frame = padded(head, size - 2);
    const uint16_t crc = kermit(frame);
    return typed(frame, size, static_cast<uint8_t>(crc & 0xFF), static_cast<uint8_t>(crc >> 8));
}

std::string hex(const Bytes& bytes)
{
    std::string text;
    char digits[4];
    for (const uint8_t byte : bytes) {
        std::snprintf(digits, sizeof digits, text.empty() ? "%02X" : " %02X", byte);
        text += digits;
    }
    return text;
}

// The terminal's reaction to each write: the pieces that arrive (none: silence).
using Script = std::vector<std::vector<Bytes>>;
using Lines = std::vector<std::string>;
// A command, the terminal's answers, whether it succeeds, and what crossed
// the link (not compared when empty).
using Contract = std::tuple<const char*, Script, std::function<bool(CommandSet&)>, bool, Lines>;
Contract contract(const char* name, Script script, std::function<bool(CommandSet&)> command, bool succeeds, Lines wire)
{
    return {name, std::move(script), std::move(command), succeeds, std::move(wire)};
}

struct Rig {
    Journal journal;
    ScriptedLink link{journal};
    FakeClock clock{noting(journal)};
    CommandSet commands{link, clock};
    explicit Rig(const Script& script)
    {
        for (const auto& pieces : script)
            link.reply(pieces);
    }
    // What crossed the link, in order: pauses, frames, reads, clearing of the input.
    std::vector<std::string> wire() const
    {
        std::vector<std::string> lines;
        for (const Event& e : journal) {
            const std::string size = std::to_string(e.value);
            const std::string lineOf[] = {"sleep " + size, hex(e.bytes),
                                          "read " + size + " within " + std::to_string(e.timeoutMs),
                                          "read whole " + size, "clear"};
            lines.push_back(lineOf[e.type]);
        }
        return lines;
    }
};

const Bytes kAbc = {0x61, 0x62, 0x63};
const Bytes kBlock0 = typed({0x04, 0x00, 0x00, 0x03, 0x61, 0x62, 0x63}, 128, 0xEF, 0xA3);
const Bytes kBlock258 = typed({0x04, 0x01, 0x02, 0x03, 0x61, 0x62, 0x63}, 128, 0x6C, 0xF1);
const Bytes kAdvertisement =
    typed({0x02, 0x0D, 0x30, 0x30, 0x31, 0x32, 0x33, 0x34, 0x41, 0x50, 0x50, 0x2E, 0x42, 0x49, 0x4E}, 32, 0xC5, 0x2B);

TEST(WireContract, Crc16)
{
    const std::vector<std::pair<Bytes, Bytes>> worked = {
        {{}, {0x00, 0x00}},
        {{'1', '2', '3', '4', '5', '6', '7', '8', '9'}, {0x89, 0x21}},
        {{0x2F, 0xC0, 0x04, 0x00, 0x14, 0x00, 0xC8}, {0xA4, 0xFC}},
        {{0x2F, 0x40, 0x03, 0x05, 0x00, 0xFF}, {0xC3, 0x6A}},
        {{0x2F, 0xC0, 0x04, 0x00, 0x14, 0x01, 0x2C}, {0x56, 0x44}},
        {{0x2F, 0x40, 0x03, 0x05, 0x01, 0xFC}, {0x80, 0x41}},
        {padded({0x01}, 30), {0xF3, 0x20}},
        {padded({0x03, 0x01}, 30), {0x24, 0x98}},
        {padded(kAdvertisement, 30), {0xC5, 0x2B}},
        {padded(kBlock0, 126), {0xEF, 0xA3}},
        {padded(kBlock258, 126), {0x6C, 0xF1}},
    };
    for (const auto& [data, crc] : worked) {
        Bytes frame = padded(data, data.size() + 2);
        crc16Append(frame.data(), static_cast<uint16_t>(data.size()));
        EXPECT_EQ(hex(frame), hex(data) + (data.empty() ? "" : " ") + hex(crc));
        EXPECT_EQ(kermit(data), crc[0] | crc[1] << 8) << "the test's own CRC, " << hex(data);
    }
    for (int value = 0; value < 256; ++value) // every entry of a table-driven CRC
        EXPECT_EQ(crc16(Bytes{uint8_t(value)}.data(), 1), kermit(Bytes{uint8_t(value)})) << value;
    Bytes zeros(32, 0x00); // the CRC of 30 zero bytes is 0000
    EXPECT_TRUE(crc16Check(zeros.data(), 30));
    Bytes swapped = typed({0x03, 0x01}, 32, 0x98, 0x24);
    EXPECT_FALSE(crc16Check(swapped.data(), 30));
    Bytes changed = typed({0x01, 0x00, 0x10}, 32, 0xF3, 0x20);
    EXPECT_FALSE(crc16Check(changed.data(), 30));
    EXPECT_EQ(changed, sealed({0x01, 0x00, 0x10})); // the computed CRC stays in place
}

TEST(WireContract, EveryCommandOnTheWire)
{
    const std::string opening = "2F C0 04 00 14 00 C8 A4 FC", read16 = "read 16 within 4000",
                      list = "read 32 within 20";
    const std::string started = hex(typed({0x04}, 32, 0xCC, 0x83));
    const Bytes done = sealed({0x04, 0x01, 0x55});
    const Bytes record = sealed({0x40, 0x41, 0x42, 0x43, 0x44, 0x45, 0x46, 0x47, 0x48, 0x49, 0x4A, 0x4B, 0x4C}, 128);
    std::vector<std::string> names;
    std::array<uint8_t, 126> body{};
    bool skip = true;
    const std::vector<Contract> contracts = {
        contract("opening, answered at the third attempt", {{}, {}, {{0x2F}}},
                 [](CommandSet& c) { return c.initTerminal(); }, true,
                 {opening, read16, opening, read16, opening, read16, "clear"}),
        contract("opening, never answered", {}, [](CommandSet& c) { return c.initTerminal(); }, false,
                 {opening, read16, opening, read16, opening, read16}),
        contract("Varlenne start", {{{0x2F, 0x40, 0x02, 'O', 'K', 0x00, 0x00}}},
                 [](CommandSet& c) { return c.startVarlenne(); }, true,
                 {"2F 40 03 05 00 FF C3 6A", "read 7 within 4000", "clear"}),
        contract("hardware record", {{record}}, [&](CommandSet& c) { return c.readHardwareConfiguration(body); }, true,
                 {"sleep 4000", "clear", hex(typed({0x07}, 32, 0xD9, 0xE2)), "read 128 within 4000", "clear"}),
        // Its CRC's high byte is 00: zero-filled, the answer one byte short
        // passes the CRC, and only the exact length refuses it.
        contract("application list, an answer one byte short",
                 {{firstPart(typed({0x01, 0x00, 0x04}, 32, 0xB8, 0x00), 31)}},
                 [&](CommandSet& c) { return c.readApplicationList(names); }, false, {}),
        contract("application list",
                 {{sealed({0x01, 0x08, 'V', 'A', 'R', 'L', 'E', 'N', 'N', 'E'}), sealed({0x01, 0x03, 'E', 'M', 'V'}),
                   sealed({0x01, 0x00})}},
                 [&](CommandSet& c) { return c.readApplicationList(names); }, true,
                 {"clear", hex(typed({0x01}, 32, 0xF3, 0x20)), list, "sleep 50", list, "sleep 50", list, "clear"}),
        contract("advertisement of APP.BIN, 1234 bytes", {{sealed({0x02, 0x01, 0x55})}},
                 [&](CommandSet& c) { return c.advertise("APP.BIN", 1234, skip) && !skip; }, true,
                 {"sleep 200", "clear", hex(kAdvertisement), "read whole 32", "clear"}),
        contract("authorization", {{sealed({0x03, 0x01, 0x01})}},
                 [](CommandSet& c) { return c.requestAuthorization(); }, true,
                 {"sleep 200", "clear", hex(typed({0x03, 0x01}, 32, 0x24, 0x98)), "read whole 32", "clear"}),
        contract("download of 61 62 63", {{done}, {done, done}},
                 [&](CommandSet& c) { return c.download(kAbc.data(), 3, nullptr); }, true,
                 {"sleep 200", "clear", started, "read whole 32", hex(kBlock0), "read whole 32", "read 32 within 1000",
                  "clear"}),
        contract("download, block asked for again", {{done}, {sealed({0x04, 0x01, 0x33})}, {done, done}},
                 [&](CommandSet& c) { return c.download(kAbc.data(), 3, nullptr); }, true,
                 {"sleep 200", "clear", started, "read whole 32", hex(kBlock0), "read whole 32", "sleep 200", "clear",
                  hex(kBlock0), "read whole 32", "read 32 within 1000", "clear"}),
        contract(
            "activation", {{sealed({0x05, 0x01, 0x55})}}, [](CommandSet& c) { return c.activateFiles(); }, true,
            {"sleep 10", "clear", hex(typed({0x05}, 32, 0x3F, 0xA3)), "sleep 20000", "read 32 within 1000", "clear"}),
        contract("end of dialogue", {{sealed({0x06, 0x01, 0x55})}}, [](CommandSet& c) { return c.releaseTerminal(); },
                 true, {"sleep 10", "clear", hex(typed({0x06}, 32, 0x2A, 0xC2)), "read 32 within 4000", "clear"}),
        contract(
            "release frames", {{{0x2F}}, {{0x2F}}}, [](CommandSet& c) { return c.sendReleaseFrames(), true; }, true,
            {"2F C0 04 00 14 01 2C 56 44", "read 256 within 1000", "2F 40 03 05 01 FC 80 41", "read 256 within 1000"}),
    };
    for (const auto& [name, script, command, succeeds, wire] : contracts) {
        SCOPED_TRACE(name);
        Rig rig(script);
        EXPECT_EQ(command(rig.commands), succeeds);
        if (!wire.empty()) {
            EXPECT_EQ(rig.wire(), wire);
        }
    }
    EXPECT_EQ(hex(Bytes(body.begin(), body.end())), hex(padded(record, 126)));
    EXPECT_EQ(names, (std::vector<std::string>{"VARLENNE", "EMV"}));
}

// Block 258 of a file (number bytes 01 02) carrying 61 62 63.
TEST(WireContract, Block258)
{
    const Bytes done = sealed({0x04, 0x01, 0x55});
    Script script(259, {done});     // the start, blocks 0 to 257
    script.push_back({done, done}); // block 258, the final confirmation
    Rig rig(script);
    Bytes content(258 * 122, 0x5A);
    content.insert(content.end(), kAbc.begin(), kAbc.end());
    EXPECT_TRUE(rig.commands.download(content.data(), static_cast<uint32_t>(content.size()), nullptr));
    ASSERT_EQ(writes(rig.journal).size(), 260u);
    EXPECT_EQ(hex(writes(rig.journal).back()), hex(kBlock258));
}

} // namespace
