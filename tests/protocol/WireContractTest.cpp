// The terminal protocol on a scripted link. First the wire contract, typed
// from the protocol's definition: every frame, CRC, pause, capacity and
// time-out. Then what the commands make of their answers. Every frame here
// is built by the test's own CRC, none by the program's constants or builders.
#include "tests/support/ScriptedLink.h"

#include "protocol/CommandSet.h"
#include "protocol/Crc16.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <thread>
#include <tuple>

namespace {

using K = ExchangeFailure::Kind;
using Lines = std::vector<std::string>;
using Command = std::function<bool(CommandSet&)>;
// The terminal's reaction to each write: the pieces that arrive (none:
// silence); kRefused makes the write fail.
using Script = std::vector<std::vector<Bytes>>;
const std::vector<Bytes> kRefused = {Bytes{}};

template <typename T>
std::vector<T> operator+(std::vector<T> a, const std::vector<T>& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

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

// A frame as typed: its first bytes, zeros, then the two CRC bytes as sent.
Bytes typed(Bytes head, size_t size, uint8_t crcLow, uint8_t crcHigh)
{
    head.resize(size - 2, 0x00);
    head.insert(head.end(), {crcLow, crcHigh});
    return head;
}

// A terminal's answer of `size` bytes with its CRC.
Bytes sealed(Bytes head, size_t size = 32)
{
    head.resize(size - 2, 0x00);
    const uint16_t crc = kermit(head);
    return typed(head, size, static_cast<uint8_t>(crc & 0xFF), static_cast<uint8_t>(crc >> 8));
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

Bytes content(size_t length)
{
    Bytes data(length);
    for (size_t i = 0; i < length; ++i)
        data[i] = static_cast<uint8_t>(i * 31 + 7);
    return data;
}

struct Rig {
    Journal journal;
    ScriptedLink link{journal};
    FakeClock clock{noting(journal)};
    CommandSet commands{link, clock};
    std::vector<int> progress;
    Lines logged;
    explicit Rig(const Script& script)
    {
        commands.setDebugLog([this](const std::string& line) { logged.push_back(line); });
        for (const auto& pieces : script)
            pieces == kRefused ? (void)link.failWrite() : (void)link.reply(pieces);
    }
    bool download(const Bytes& data)
    {
        return commands.download(data.data(), static_cast<uint32_t>(data.size()),
                                 [this](int percent) { progress.push_back(percent); });
    }
    // What crossed the link, in order: pauses, frames, reads, clearing of the input.
    Lines wire() const
    {
        Lines lines;
        for (const Event& e : journal) {
            const std::string size = std::to_string(e.value);
            const std::string lineOf[] = {"sleep " + size, hex(e.bytes),
                                          "read " + size + " within " + std::to_string(e.timeoutMs),
                                          "read whole " + size + " by " + std::to_string(e.timeoutMs), "clear"};
            lines.push_back(lineOf[e.type]);
        }
        return lines;
    }
    // The same in letters: Sleep, Write, Read, whole read (F), Clear.
    std::string shape() const
    {
        std::string letters;
        for (const Event& event : journal)
            letters += "SWRFC"[event.type];
        return letters;
    }
};

const Bytes kDone = sealed({0x04, 0x01, 0x55});
const Bytes kResend = sealed({0x04, 0x01, 0x33});
const Bytes kListEnd = sealed({0x01, 0x00});
const Bytes kSlashAnswer = {0x2F, 0xC0, 0x00, 0x12, 0x34}; // no data bytes: whole at 5 bytes
const Bytes kAbc = {0x61, 0x62, 0x63};
const Bytes kBlock0 = typed({0x04, 0x00, 0x00, 0x03, 0x61, 0x62, 0x63}, 128, 0xEF, 0xA3);
const Bytes kBlock258 = typed({0x04, 0x01, 0x02, 0x03, 0x61, 0x62, 0x63}, 128, 0x6C, 0xF1);
const Bytes kAdvertisement =
    typed({0x02, 0x0D, 0x30, 0x30, 0x31, 0x32, 0x33, 0x34, 0x41, 0x50, 0x50, 0x2E, 0x42, 0x49, 0x4E}, 32, 0xC5, 0x2B);

Bytes listAnswer(const std::string& name, uint8_t length)
{
    return sealed(Bytes{0x01, length} + Bytes(name.begin(), name.begin() + std::min<size_t>(name.size(), 28)));
}

const Command kOpen = [](CommandSet& c) { return c.initTerminal(); };
const Command kVarlenne = [](CommandSet& c) { return c.startVarlenne(); };
const Command kAuthorize = [](CommandSet& c) { return c.requestAuthorization(); };
const Command kActivate = [](CommandSet& c) { return c.activateFiles(); };
const Command kEnd = [](CommandSet& c) { return c.releaseTerminal(); };
const CommandSet::ContentSource kUnreadable = [](uint8_t*, uint16_t) { return false; };
const Command kReleaseFrames = [](CommandSet& c) { return c.sendReleaseFrames(), c.lastFailure().kind == K::None; };

Command downloading(const Bytes& data)
{
    return [data](CommandSet& c) { return c.download(data.data(), static_cast<uint32_t>(data.size()), nullptr); };
}

// The names read, from a list that held others.
Command naming(const Lines& expected)
{
    return [expected](CommandSet& c) {
        Lines names{"stale"};
        return c.readApplicationList(names) && names == expected;
    };
}

Command advertising(const std::string& name, uint32_t length, bool skipped)
{
    return [=](CommandSet& c) {
        bool skip = !skipped;
        return c.advertise(name, length, skip) && skip == skipped;
    };
}

TEST(WireContract, Crc16)
{
    // Data then the CRC bytes as sent.
    const std::vector<Bytes> worked = {
        {0x00, 0x00},
        {'1', '2', '3', '4', '5', '6', '7', '8', '9', 0x89, 0x21},
        {0x2F, 0xC0, 0x04, 0x00, 0x14, 0x00, 0xC8, 0xA4, 0xFC},
        {0x2F, 0x40, 0x03, 0x05, 0x00, 0xFF, 0xC3, 0x6A},
        {0x2F, 0xC0, 0x04, 0x00, 0x14, 0x01, 0x2C, 0x56, 0x44},
        {0x2F, 0x40, 0x03, 0x05, 0x01, 0xFC, 0x80, 0x41},
        typed({0x01}, 32, 0xF3, 0x20),
        typed({0x03, 0x01}, 32, 0x24, 0x98),
        kAdvertisement,
        kBlock0,
        kBlock258,
    };
    for (const Bytes& frame : worked) {
        const auto n = static_cast<uint16_t>(frame.size() - 2);
        Bytes computed = firstPart(frame, n) + Bytes{0xEE, 0xEE};
        crc16Append(computed.data(), n);
        EXPECT_EQ(hex(computed), hex(frame));
        EXPECT_EQ(kermit(firstPart(frame, n)), frame[n] | frame[n + 1] << 8) << "the test's own CRC";
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

// A command, the terminal's answers, and the journal: every line of it, or
// one line of letters (* or nothing: not compared); then why it fails (None:
// it succeeds), the cause a technician reads, and the debug lines logged.
using Case = std::tuple<const char*, Command, Script, Lines, K, std::string, Lines>;
Case row(const char* name, Command command, Script script, Lines journal, K kind = K::None, std::string cause = "",
         Lines logged = {})
{
    return {name, std::move(command), std::move(script), std::move(journal), kind, std::move(cause), std::move(logged)};
}

void expectCases(const std::vector<Case>& cases)
{
    for (const auto& [name, command, script, journal, kind, cause, logged] : cases) {
        SCOPED_TRACE(name);
        Rig rig(script);
        EXPECT_EQ(command(rig.commands), kind == K::None);
        EXPECT_EQ(rig.commands.lastFailure().kind, kind);
        EXPECT_EQ(rig.commands.lastFailure().describe(), cause);
        EXPECT_EQ(rig.logged, logged);
        if (!journal.empty() && journal[0] != "*") {
            EXPECT_EQ(journal.size() == 1 ? Lines{rig.shape()} : rig.wire(), journal);
        }
    }
}

TEST(WireContract, EveryCommandOnTheWire)
{
    // Whole reads end by their deadline (60 s before a prepared answer, 10 s for a block's) plus
    // the 34 ms that 32 bytes take at 9600 baud; the first list answer waits 20 ms after the 34 ms its
    // request takes, and the 50 ms margin.
    const std::string opening = "2F C0 04 00 14 00 C8 A4 FC", read16 = "read 16 within 4000",
                      list = "read 32 within 20", whole = "read whole 32 by 60034", block = "read whole 32 by 10034";
    const Bytes record = sealed({0x40, 0x41, 0x42, 0x43, 0x44, 0x45, 0x46, 0x47, 0x48, 0x49, 0x4A, 0x4B, 0x4C}, 128);
    Lines names;
    std::array<uint8_t, 126> body{};
    expectCases({
        row("opening, answered at the third attempt", kOpen, {{}, {}, {kSlashAnswer}},
            {opening, read16, opening, read16, opening, read16, "clear"}),
        row("opening, never answered", kOpen, {}, {opening, read16, opening, read16, opening, read16}, K::TimeOut,
            "no answer within 4000 ms (0 bytes)"),
        row("Varlenne start", kVarlenne, {{{0x2F, 0x40, 0x02, 'O', 'K', 0x00, 0x00}}},
            {"2F 40 03 05 00 FF C3 6A", "read 7 within 4000", "clear"}),
        row("hardware record", [&](CommandSet& c) { return c.readHardwareConfiguration(body); }, {{record}},
            {"sleep 4000", "clear", hex(typed({0x07}, 32, 0xD9, 0xE2)), "read 128 within 4000", "clear"}),
        // Its CRC's high byte is 00: zero-filled, the answer one byte short
        // passes the CRC, and only the exact length refuses it.
        row(
            "application list, an answer one byte short", [&](CommandSet& c) { return c.readApplicationList(names); },
            {{firstPart(typed({0x01, 0x00, 0x04}, 32, 0xB8, 0x00), 31)}}, {"CWRR"}, K::ShortAnswer,
            "answer of 31 bytes, 32 expected"),
        row("application list", [&](CommandSet& c) { return c.readApplicationList(names); },
            {{listAnswer("VARLENNE", 8), listAnswer("EMV", 3), kListEnd}},
            {"clear", hex(typed({0x01}, 32, 0xF3, 0x20)), "read 32 within 104", "sleep 50", list, "sleep 50", list,
             "clear"}),
        row("advertisement of APP.BIN, 1234 bytes", advertising("APP.BIN", 1234, false), {{sealed({0x02, 0x01, 0x55})}},
            {"sleep 200", "clear", hex(kAdvertisement), whole, "clear"}),
        row("authorization", kAuthorize, {{sealed({0x03, 0x01, 0x01})}},
            {"sleep 200", "clear", hex(typed({0x03, 0x01}, 32, 0x24, 0x98)), whole, "clear"}),
        row("download of 61 62 63, block 0 asked for again", downloading(kAbc), {{kDone}, {kResend}, {kDone, kDone}},
            {"sleep 200", "clear", hex(typed({0x04}, 32, 0xCC, 0x83)), whole, hex(kBlock0), block, "sleep 200", "clear",
             hex(kBlock0), block, "read 32 within 1000", "clear"}),
        row("activation", kActivate, {{sealed({0x05, 0x01, 0x55})}},
            {"sleep 10", "clear", hex(typed({0x05}, 32, 0x3F, 0xA3)), "sleep 20000", "read 32 within 1000", "clear"}),
        row("end of dialogue", kEnd, {{sealed({0x06, 0x01, 0x55})}},
            {"sleep 10", "clear", hex(typed({0x06}, 32, 0x2A, 0xC2)), "read 32 within 4000", "clear"}),
        row("release frames", kReleaseFrames, {{kSlashAnswer}, {kSlashAnswer}},
            {"2F C0 04 00 14 01 2C 56 44", "read 256 within 1000", "2F 40 03 05 01 FC 80 41", "read 256 within 1000"}),
    });
    EXPECT_EQ(hex(Bytes(body.begin(), body.end())), hex(firstPart(record, 126)));
    EXPECT_EQ(names, (Lines{"VARLENNE", "EMV"}));
}

// Block 258 of a file (number bytes 01 02) carrying 61 62 63.
TEST(WireContract, Block258)
{
    Rig rig(Script(259, {kDone}) + Script{{kDone, kDone}}); // the start, blocks 0 to 258, the confirmation
    EXPECT_TRUE(rig.download(Bytes(258 * 122, 0x5A) + kAbc));
    ASSERT_EQ(writes(rig.journal).size(), 260u);
    EXPECT_EQ(hex(writes(rig.journal).back()), hex(kBlock258));
}

TEST(Commands, EveryWrongAnswerFailsItsCommand)
{
    // Code, accepted and refused result, the answers before (the third block
    // of a download), the journal of a failed answer (F: a whole read).
    using Judged = std::tuple<const char*, uint8_t, uint8_t, uint8_t, Script, std::string, Command>;
    const std::vector<Judged> commands = {
        // The authorization must not take "done" for "granted".
        {"authorization", 0x03, 0x01, 0x55, {}, "SCWF", kAuthorize},
        {"activation", 0x05, 0x55, 0x33, {}, "SCWSR", kActivate},
        {"end of dialogue", 0x06, 0x55, 0x33, {}, "SCWR", kEnd},
        {"advertisement", 0x02, 0x55, 0x33, {}, "SCWF", advertising("APP.BIN", 1234, false)},
        {"download start", 0x04, 0x55, 0x33, {}, "SCWF", downloading(kAbc)},
        {"third block", 0x04, 0x55, 0x00, {{kDone}, {kDone}, {kDone}}, "SCWFWFCWFCWF", downloading(content(300))},
    };
    for (const auto& [name, code, result, wrongResult, before, shape, command] : commands) {
        const Bytes good = sealed({code, 0x01, result});
        const std::vector<std::tuple<const char*, std::vector<Bytes>, K>> faults = {
            {"no answer", {}, K::TimeOut},
            {"short", {firstPart(good, 20)}, shape.back() == 'F' ? K::TimeOut : K::ShortAnswer},
            {"wrong CRC", {withBadCrc(good)}, K::Crc},
            {"wrong echo", {sealed({uint8_t(code + 1), 0x01, result})}, K::UnexpectedAnswer},
            {"wrong marker", {sealed({code, 0x02, result})}, K::UnexpectedAnswer},
            {"wrong result", {sealed({code, 0x01, wrongResult})}, K::Refused},
            {"failed write", kRefused, K::WriteFailed},
        };
        for (const auto& [fault, answer, kind] : faults) {
            SCOPED_TRACE(std::string(name) + ", " + fault);
            Rig rig(before + Script{answer});
            EXPECT_FALSE(command(rig.commands));
            EXPECT_EQ(rig.commands.lastFailure().kind, kind);
            // Nothing read after a failed write, the download stopped after
            // the last block accepted, the input not cleared after a failed answer.
            // A short answer that a timed read took is waited for until its rest is overdue.
            const std::string waited = kind == K::ShortAnswer ? shape + "R" : shape;
            EXPECT_EQ(rig.shape(), kind == K::WriteFailed ? shape.substr(0, shape.rfind('W') + 1) : waited);
        }
    }
}

TEST(Commands, Outcomes)
{
    const Command record = [](CommandSet& c) { // kept only from a good answer
        std::array<uint8_t, 126> body{};
        return c.readHardwareConfiguration(body) || body != std::array<uint8_t, 126>{};
    };
    const Command list = [](CommandSet& c) { // a list not sent keeps the names
        Lines names{"kept"};
        return c.readApplicationList(names) || (names != Lines{"kept"} && c.lastFailure().kind == K::WriteFailed);
    };
    const Bytes hw = sealed({0x40}, 128);
    const std::string n28 = "ABCDEFGHIJKLMNOPQRSTUVWXYZ01";
    const std::string gone = "write failed (the device may be gone)";
    expectCases({
        row("record, short", record, {{firstPart(hw, 12)}}, {"SCWRR"}, K::ShortAnswer,
            "answer of 12 bytes, 128 expected"),
        row("record, wrong CRC", record, {{withBadCrc(hw)}}, {"SCWR"}, K::Crc, "wrong CRC"),
        row("list, short", list, {{firstPart(kListEnd, 20)}}, {"CWRR"}, K::ShortAnswer,
            "answer of 20 bytes, 32 expected"),
        row("list, wrong CRC", list, {{withBadCrc(kListEnd)}}, {"CWR"}, K::Crc, "wrong CRC"),
        row("list, no end", list, {{listAnswer("EMV", 3)}}, {"CWRSR"}, K::TimeOut, "no answer within 20 ms (0 bytes)"),
        row("list, not sent", list, {kRefused}, {"CW"}, K::WriteFailed, gone),
        row("list, 1001 names", list, {std::vector<Bytes>(1001, listAnswer("APP", 3))}, {"*"}, K::TooManyNames,
            "more than 1000 application names"),
        row("Varlenne, no K", kVarlenne, {{{0x2F, 0x40, 0x02, 'O', 'N', 0x00, 0x00}}}, {"WR"}, K::UnexpectedAnswer,
            "unexpected answer 2F 40 02 4F 4E 00 00"),
        row("Varlenne, K after a zero byte", kVarlenne, {{{0x2F, 0x40, 0x00, 'K'}}}, {"WRR"}, K::UnexpectedAnswer,
            "unexpected answer 2F 40 00 4B"),
        row("Varlenne, refusal", kVarlenne, {{{0x2F, 0x40, 0x02, 0x01, 0x81, 0x3B, 0x25}}}, {"WR"}, K::Refused,
            "refused by the terminal (answer 2F 40 02 01 81)"),
        row("Varlenne, refusal beside a K", kVarlenne, {{{'K', 0x40, 0x02, 0x01, 0x81, 0x00, 0x00}}}, {"WRR"},
            K::Refused, "refused by the terminal (answer 4B 40 02 01 81)"),
        // After a wrong answer the line is read until it stays quiet before the next request: the rest
        // of that answer comes at the line's pace, after any clearing.
        row("the next request after a wrong answer",
            [](CommandSet& c) { return !c.requestAuthorization() && c.activateFiles(); },
            {{Bytes{1, 2, 3} + sealed({0x03, 0x01, 0x01})}, {sealed({0x05, 0x01, 0x55})}}, {"SCWFSRRCWSRC"}),
        row("opening after a failed write", kOpen, {kRefused, {{0x2F}}}, {"WWRRC"}, K::None),
        row("opening, last attempt", kOpen, {{}, {}, kRefused}, {"WRWRW"}, K::WriteFailed, gone),
        row("release frames, silent", kReleaseFrames, {}, {"WR"}, K::TimeOut, "no answer within 1000 ms (0 bytes)"),
        row("release frames, not sent", kReleaseFrames, {kRefused}, {"W"}, K::WriteFailed, gone),
        row("advertisement refused, skip flag cleared", advertising("APP.BIN", 1, false),
            {{sealed({0x02, 0x01, 0x33})}}, {"SCWF"}, K::Refused, "refused by the terminal (answer 02 01 33)"),
        // 28 bytes of length field and name are sent, 29 are skipped unsent.
        row("advertisement of 28 bytes", advertising(std::string(22, 'N'), 999999, false),
            {{sealed({0x02, 0x01, 0x55})}}, {"SCWFC"}, K::None),
        row("advertisement of 29 bytes", advertising(std::string(23, 'N'), 5, true), {}, {""}, K::None),
        row("download of 123 bytes", downloading(content(123)), {{kDone}, {kDone}, {kDone, kDone}}, {"SCWFWFCWFRC"},
            K::None),
        row("download of nothing", downloading({}), {{kDone, kDone}}, {"SCWFRC"}, K::None),
        // The final confirmation alone may have a wrong CRC, which is logged.
        row("no final confirmation", downloading(kAbc), {{kDone}, {kDone}}, {"SCWFWFR"}, K::TimeOut,
            "no answer within 1000 ms (0 bytes)"),
        row("confirmation, wrong CRC", downloading(kAbc), {{kDone}, {kDone, withBadCrc(kDone)}}, {"SCWFWFRC"}, K::None,
            "", {"CRC fails: 32"}),
        row("confirmation in part", downloading(kAbc), {{kDone}, {kDone, firstPart(kDone, 20)}}, {"SCWFWFRRC"}, K::None,
            "", {"CRC fails: 20"}),
        row("confirmation refused, wrong CRC", downloading(kAbc),
            {{kDone}, {kDone, withBadCrc(sealed({0x04, 0x01, 0x00}))}}, {"SCWFWFR"}, K::Refused,
            "refused by the terminal (answer 04 01 00)", {"CRC fails: 32"}),
        row("confirmation asks for the block again", downloading(kAbc), {{kDone}, {kDone, kResend}}, {"SCWFWFR"},
            K::Refused, "refused by the terminal (answer 04 01 33)"),
        row("16 resend requests", downloading(kAbc), Script{{kDone}} + Script(16, {kResend}) + Script{{kDone, kDone}},
            {"*"}, K::None),
        row("17 resend requests", downloading(kAbc), Script{{kDone}} + Script(17, {kResend}), {"*"}, K::ResendLimit,
            "17 resend requests in a row"),
        row("16 resend requests for each of two blocks", downloading(content(200)),
            Script{{kDone}} + Script(16, {kResend}) + Script{{kDone}} + Script(16, {kResend}) + Script{{kDone, kDone}},
            {"*"}, K::None),
        row(
            "content unreadable", [](CommandSet& c) { return c.download(3, kUnreadable, nullptr); }, {{kDone}},
            {"SCWF"}, K::ContentUnreadable, "the content to send cannot be read"),
        // After a stop request no request leaves, except the end of dialogue
        // and the release frames; once cleared, the commands run again.
        row("stop request",
            [](CommandSet& c) {
                c.requestStop();
                const bool held = !c.initTerminal() && !c.requestAuthorization() && !downloading(kAbc)(c);
                const bool cleanUp = c.releaseTerminal() && (c.sendReleaseFrames(), true);
                return c.clearStop(), held && cleanUp && c.initTerminal();
            },
            {{sealed({0x06, 0x01, 0x55})}, {kSlashAnswer}, {kSlashAnswer}, {kSlashAnswer}}, {"SCSCSCWRCWRWRWRC"}),
        // Names: the first 28 bytes at most (more would take the CRC bytes
        // into the name), up to a zero byte, Latin-1 bytes kept as they are.
        row("no names", naming({}), {{kListEnd}}, {"CWRC"}),
        row("100 names", naming(Lines(100, "APP")),
            {std::vector<Bytes>(100, listAnswer("APP", 3)) + std::vector<Bytes>{kListEnd}}, {"*"}),
        row("names of 28 bytes and more", naming({n28, n28, n28, n28}),
            {{listAnswer(n28, 28), listAnswer(n28, 29), listAnswer(n28, 30), listAnswer(n28, 255), kListEnd}}, {"*"}),
        row("names up to a zero byte, Latin-1", naming({"APP", "CAF\xC9"}),
            {{listAnswer(std::string("APP\0XYZ", 7), 10), listAnswer("CAF\xC9", 4), kListEnd}}, {"*"}),
    });
}

// Every answer as a real line delivers it: a byte at a time (a plain UART), in 64-byte packets (a USB
// adapter), and cut in two at every offset. Each command still succeeds, reads its whole answer and
// waits for nothing past its end: every read delivers bytes, and the input is cleared after the last.
TEST(Commands, AnswersInPiecesAsARealLineDeliversThem)
{
    using Cut = std::function<std::vector<Bytes>(const Bytes&)>;
    const auto pieces = [](size_t size) {
        return Cut([size](const Bytes& answer) {
            std::vector<Bytes> cut;
            for (size_t at = 0; at < answer.size(); at += size)
                cut.emplace_back(answer.begin() + long(at), answer.begin() + long(std::min(answer.size(), at + size)));
            return cut;
        });
    };
    std::vector<std::pair<std::string, Cut>> cuts = {{"byte by byte", pieces(1)}, {"64-byte packets", pieces(64)}};
    for (size_t at = 1; at < 128; ++at)
        cuts.emplace_back("cut at " + std::to_string(at), [at](const Bytes& answer) {
            return at >= answer.size()
                       ? std::vector<Bytes>{answer}
                       : std::vector<Bytes>{firstPart(answer, at), Bytes(answer.begin() + long(at), answer.end())};
        });
    std::array<uint8_t, 126> body{};
    const Command record = [&body](CommandSet& c) { return c.readHardwareConfiguration(body); };
    // Each command with the answers to each of its writes.
    const std::vector<std::tuple<const char*, Command, std::vector<std::vector<Bytes>>>> commands = {
        {"opening", kOpen, {{{0x2F, 0xC0, 0x01, 0x00, 0x12, 0x34}}}},
        {"Varlenne start", kVarlenne, {{{0x2F, 0x40, 0x02, 'O', 'K', 0x5A, 0x5B}}}},
        {"hardware record", record, {{sealed({0x07, 0x01}, 128)}}},
        {"application list", naming({"EMV", "PAYMENT"}), {{listAnswer("EMV", 3), listAnswer("PAYMENT", 7), kListEnd}}},
        {"download", downloading(kAbc), {{kDone}, {kDone, kDone}}},
        {"activation", kActivate, {{sealed({0x05, 0x01, 0x55})}}},
        {"end of dialogue", kEnd, {{sealed({0x06, 0x01, 0x55})}}},
    };
    for (const auto& [name, command, answers] : commands) {
        for (const auto& [cutName, cut] : cuts) {
            SCOPED_TRACE(std::string(name) + ", " + cutName);
            Script script;
            for (const auto& written : answers) {
                script.emplace_back();
                for (const Bytes& answer : written)
                    script.back() = script.back() + cut(answer);
            }
            Rig rig(script);
            EXPECT_TRUE(command(rig.commands)) << rig.commands.lastFailure().describe();
            EXPECT_EQ(rig.shape().back(), 'C');
            for (const Event& event : rig.journal)
                EXPECT_TRUE(event.type != Event::Read || !event.bytes.empty());
        }
    }
}

// The block number wraps after 65535.
TEST(Transfer, BlockNumberWraps)
{
    Rig wrapping(Script(65537, {kDone}) + Script{{kDone, kDone}});
    EXPECT_TRUE(wrapping.download(content(65537 * 122)));
    const auto frames = writes(wrapping.journal);
    ASSERT_EQ(frames.size(), 65538u);
    EXPECT_EQ(hex(Bytes(frames[65536].begin() + 1, frames[65536].begin() + 3)), "FF FF");
    EXPECT_EQ(hex(Bytes(frames[65537].begin() + 1, frames[65537].begin() + 3)), "00 00");
}

TEST(Transfer, LengthField)
{
    const std::vector<std::pair<uint32_t, std::string>> fields = {
        {0, "000000"}, {5, "000005"}, {999999, "999999"}, {1000000, "1000000;"}, {4294967295u, "4294967295;"}};
    for (const auto& [length, field] : fields)
        EXPECT_EQ(CommandSet::lengthField(length), field);
}

// The terminal's restart wait (35 s at least) ends soon after a stop request.
TEST(StoppablePause, StopEndsARealPauseWithinASlice)
{
    ScaledClock clock(1.0);
    std::atomic<bool> stop{false};
    std::thread stopper([&stop] { std::this_thread::sleep_for(std::chrono::milliseconds(100)), stop.store(true); });
    const auto begin = std::chrono::steady_clock::now();
    clock.sleepUnlessStopped(35000, stop);
    const auto waited = std::chrono::steady_clock::now() - begin;
    stopper.join();
    EXPECT_GE(waited, std::chrono::milliseconds(100));
    EXPECT_LT(waited, std::chrono::seconds(5));
}

} // namespace
