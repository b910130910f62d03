// The wire contract of the terminal protocol, typed from its definition:
// every frame, CRC, pause, capacity and time-out of every command, as a
// scripted terminal sees them. Nothing here comes from the program's own
// frame constants or builders.
#include "tests/protocol/ScriptedLink.h"

#include "protocol/CommandSet.h"
#include "protocol/Crc16.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <random>

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

std::string w(const Bytes& frame)
{
    return "write " + hex(frame);
}

// What crossed the link, in order: pauses, frames, reads, clearing of the input.
std::vector<std::string> wire(const Journal& journal)
{
    std::vector<std::string> lines;
    for (const Event& e : journal) {
        switch (e.type) {
        case Event::Sleep: lines.push_back("sleep " + std::to_string(e.value)); break;
        case Event::Write: lines.push_back(w(e.bytes)); break;
        case Event::Read:
            lines.push_back("read " + std::to_string(e.value) + " within " + std::to_string(e.timeoutMs));
            break;
        case Event::ReadFull: lines.push_back("read whole " + std::to_string(e.value)); break;
        case Event::Clear: lines.push_back("clear"); break;
        }
    }
    return lines;
}

struct Rig {
    Journal journal;
    ScriptedLink link{journal};
    NotingClock clock{journal};
    CommandSet commands{link, clock};
};

const Bytes kAbc = {0x61, 0x62, 0x63};
const Bytes kBlock0 = typed({0x04, 0x00, 0x00, 0x03, 0x61, 0x62, 0x63}, 128, 0xEF, 0xA3);
const Bytes kBlock258 = typed({0x04, 0x01, 0x02, 0x03, 0x61, 0x62, 0x63}, 128, 0x6C, 0xF1);
const Bytes kAdvertisement =
    typed({0x02, 0x0D, 0x30, 0x30, 0x31, 0x32, 0x33, 0x34, 0x41, 0x50, 0x50, 0x2E, 0x42, 0x49, 0x4E}, 32, 0xC5, 0x2B);

TEST(WireContract, Crc16WorkedValues)
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
        EXPECT_EQ(hex(Bytes(frame.end() - 2, frame.end())), hex(crc)) << hex(data);
        EXPECT_EQ(kermit(data), crc[0] | crc[1] << 8) << "the test's own CRC, " << hex(data);
    }
}

TEST(WireContract, Crc16AgainstItsDefinition)
{
    std::mt19937 random(20240611);
    for (size_t length = 0; length <= 300; ++length) {
        Bytes data(length);
        for (auto& byte : data)
            byte = static_cast<uint8_t>(random());
        ASSERT_EQ(crc16(data.data(), data.size()), kermit(data)) << "length " << length;
    }
    Bytes zeros(32, 0x00); // the CRC of 30 zero bytes is 0000
    EXPECT_TRUE(crc16Check(zeros.data(), 30));
    Bytes swapped = typed({0x03, 0x01}, 32, 0x98, 0x24);
    EXPECT_FALSE(crc16Check(swapped.data(), 30));
    Bytes changed = typed({0x01, 0x00, 0x10}, 32, 0xF3, 0x20);
    EXPECT_FALSE(crc16Check(changed.data(), 30));
    EXPECT_EQ(changed, sealed({0x01, 0x00, 0x10})); // the computed CRC stays in place
}

// An end of the application list whose CRC's high byte is 00: one byte
// short and zero-filled it still passes the CRC, so only its length refuses it.
Bytes listEndPassingItsCrcShort()
{
    for (unsigned v = 0;; ++v) {
        const Bytes frame = sealed({0x01, 0x00, static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)});
        if (frame[31] == 0x00)
            return frame;
    }
}

struct Contract {
    const char* name;
    std::function<void(ScriptedLink&)> terminal;
    std::function<bool(CommandSet&)> run;
    bool succeeds;
    std::vector<std::string> wire; // empty: not compared
};

TEST(WireContract, EveryCommandOnTheWire)
{
    const std::string opening = w({0x2F, 0xC0, 0x04, 0x00, 0x14, 0x00, 0xC8, 0xA4, 0xFC});
    const std::string read16 = "read 16 within 4000", list = "read 32 within 20";
    const Bytes done = sealed({0x04, 0x01, 0x55});
    const Bytes record = sealed({0x40, 0x41, 0x42, 0x43, 0x44, 0x45, 0x46, 0x47, 0x48, 0x49, 0x4A, 0x4B, 0x4C}, 128);
    const auto download = [](CommandSet& c) { return c.download(kAbc.data(), 3, nullptr); };
    const std::vector<Contract> contracts = {
        {"opening, answered at the third attempt",
         [](ScriptedLink& l) { l.silence().silence().reply(Bytes{0x2F}); },
         [](CommandSet& c) { return c.initTerminal(); },
         true,
         {opening, read16, opening, read16, opening, read16, "clear"}},
        {"opening, never answered",
         [](ScriptedLink&) {},
         [](CommandSet& c) { return c.initTerminal(); },
         false,
         {opening, read16, opening, read16, opening, read16}},
        {"Varlenne start",
         [](ScriptedLink& l) {
             l.reply(Bytes{0x2F, 0x40, 0x02, 'O', 'K', 0x00, 0x00});
         },
         [](CommandSet& c) { return c.startVarlenne(); },
         true,
         {w({0x2F, 0x40, 0x03, 0x05, 0x00, 0xFF, 0xC3, 0x6A}), "read 7 within 4000", "clear"}},
        {"hardware record",
         [&](ScriptedLink& l) { l.reply(record); },
         [&](CommandSet& c) {
             std::array<uint8_t, 126> body{};
             return c.readHardwareConfiguration(body) && Bytes(body.begin(), body.end()) == padded(record, 126);
         },
         true,
         {"sleep 4000", "clear", w(typed({0x07}, 32, 0xD9, 0xE2)), "read 128 within 4000", "clear"}},
        {"application list",
         [](ScriptedLink& l) {
             l.reply({sealed({0x01, 0x08, 'V', 'A', 'R', 'L', 'E', 'N', 'N', 'E'}), sealed({0x01, 0x03, 'E', 'M', 'V'}),
                      sealed({0x01, 0x00})});
         },
         [](CommandSet& c) {
             std::vector<std::string> names;
             return c.readApplicationList(names) && names == std::vector<std::string>{"VARLENNE", "EMV"};
         },
         true,
         {"clear", w(typed({0x01}, 32, 0xF3, 0x20)), list, "sleep 50", list, "sleep 50", list, "clear"}},
        {"application list, an answer one byte short",
         [](ScriptedLink& l) { l.reply(firstPart(listEndPassingItsCrcShort(), 31)); },
         [](CommandSet& c) {
             std::vector<std::string> names;
             return c.readApplicationList(names);
         },
         false,
         {}},
        {"advertisement of APP.BIN, 1234 bytes",
         [](ScriptedLink& l) {
             l.reply(sealed({0x02, 0x01, 0x55}));
         },
         [](CommandSet& c) {
             bool skip = true;
             return c.advertise("APP.BIN", 1234, skip) && !skip;
         },
         true,
         {"sleep 200", "clear", w(kAdvertisement), "read whole 32", "clear"}},
        {"authorization",
         [](ScriptedLink& l) {
             l.reply(sealed({0x03, 0x01, 0x01}));
         },
         [](CommandSet& c) { return c.requestAuthorization(); },
         true,
         {"sleep 200", "clear", w(typed({0x03, 0x01}, 32, 0x24, 0x98)), "read whole 32", "clear"}},
        {"download of 61 62 63",
         [&](ScriptedLink& l) {
             l.reply(done).reply({done, done});
         },
         download,
         true,
         {"sleep 200", "clear", w(typed({0x04}, 32, 0xCC, 0x83)), "read whole 32", w(kBlock0), "read whole 32",
          "read 32 within 1000", "clear"}},
        {"download, block asked for again",
         [&](ScriptedLink& l) {
             l.reply(done).reply(sealed({0x04, 0x01, 0x33})).reply({done, done});
         },
         download,
         true,
         {"sleep 200", "clear", w(typed({0x04}, 32, 0xCC, 0x83)), "read whole 32", w(kBlock0), "read whole 32",
          "sleep 200", "clear", w(kBlock0), "read whole 32", "read 32 within 1000", "clear"}},
        {"activation",
         [](ScriptedLink& l) {
             l.reply(sealed({0x05, 0x01, 0x55}));
         },
         [](CommandSet& c) { return c.activateFiles(); },
         true,
         {"sleep 10", "clear", w(typed({0x05}, 32, 0x3F, 0xA3)), "sleep 20000", "read 32 within 1000", "clear"}},
        {"end of dialogue",
         [](ScriptedLink& l) {
             l.reply(sealed({0x06, 0x01, 0x55}));
         },
         [](CommandSet& c) { return c.releaseTerminal(); },
         true,
         {"sleep 10", "clear", w(typed({0x06}, 32, 0x2A, 0xC2)), "read 32 within 4000", "clear"}},
        {"release frames",
         [](ScriptedLink& l) { l.reply(Bytes{0x2F}).reply(Bytes{0x2F}); },
         [](CommandSet& c) {
             c.sendReleaseFrames();
             return true;
         },
         true,
         {w({0x2F, 0xC0, 0x04, 0x00, 0x14, 0x01, 0x2C, 0x56, 0x44}), "read 256 within 1000",
          w({0x2F, 0x40, 0x03, 0x05, 0x01, 0xFC, 0x80, 0x41}), "read 256 within 1000"}},
    };
    for (const Contract& contract : contracts) {
        SCOPED_TRACE(contract.name);
        Rig rig;
        contract.terminal(rig.link);
        EXPECT_EQ(contract.run(rig.commands), contract.succeeds);
        if (!contract.wire.empty()) {
            EXPECT_EQ(wire(rig.journal), contract.wire);
        }
    }
}

// Block 258 of a file (number bytes 01 02) carrying 61 62 63.
TEST(WireContract, Block258)
{
    Rig rig;
    Bytes content(258 * 122, 0x5A);
    content.insert(content.end(), kAbc.begin(), kAbc.end());
    const Bytes done = sealed({0x04, 0x01, 0x55});
    for (int answer = 0; answer < 259; ++answer) // the start, blocks 0 to 257
        rig.link.reply(done);
    rig.link.reply({done, done}); // block 258, the final confirmation
    EXPECT_TRUE(rig.commands.download(content.data(), static_cast<uint32_t>(content.size()), nullptr));
    const auto frames = writes(rig.journal);
    ASSERT_EQ(frames.size(), 260u);
    EXPECT_EQ(hex(frames.back()), hex(kBlock258));
}

} // namespace
