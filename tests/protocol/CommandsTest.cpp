// What the commands make of their answers: every way an exchange fails and
// its cause, the bounds that keep a terminal from holding the update, the
// clearing of the input, a stop request, and the download's blocks,
// progress and final confirmation.
#include "tests/support/ScriptedLink.h"

#include "protocol/CommandSet.h"
#include "protocol/Crc16.h"

#include <gtest/gtest.h>

#include <functional>
#include <thread>
#include <tuple>

namespace {

using K = ExchangeFailure::Kind;
using Names = std::vector<std::string>;
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
    Names debugLines;
    explicit Rig(const Script& script)
    {
        commands.setDebugLog([this](const std::string& line) { debugLines.push_back(line); });
        for (const auto& pieces : script)
            pieces == kRefused ? (void)link.failWrite() : (void)link.reply(pieces);
    }
    bool download(size_t length)
    {
        return commands.download(content(length).data(), static_cast<uint32_t>(length),
                                 [this](int percent) { progress.push_back(percent); });
    }
    std::vector<Bytes> blocks() const
    {
        std::vector<Bytes> frames = writes(journal);
        frames.erase(std::remove_if(frames.begin(), frames.end(), [](const Bytes& f) { return f.size() != 128; }),
                     frames.end());
        return frames;
    }
    // The journal in letters: Sleep, Write, Read, whole read (F), Clear.
    std::string shape() const
    {
        std::string letters;
        for (const Event& event : journal)
            letters += "SWRFC"[event.type];
        return letters;
    }
};

const Bytes kDone = answer(0x04, 0x55);
const Bytes kResend = answer(0x04, 0x33);
const Bytes kListEnd = answerStarting({0x01, 0x00});

Bytes listAnswer(const std::string& name, uint8_t length)
{
    CommandFrame frame{0x01, length};
    std::copy_n(name.begin(), std::min<size_t>(name.size(), 28), frame.begin() + 2);
    sealCommandFrame(frame);
    return toBytes(frame);
}

Command downloading(size_t length)
{
    return [length](CommandSet& c) { return c.download(content(length).data(), uint32_t(length), nullptr); };
}

Command advertising(const std::string& name, uint32_t length, bool skipped)
{
    return [=](CommandSet& c) {
        bool skip = !skipped;
        return c.advertise(name, length, skip) && skip == skipped;
    };
}

TEST(Commands, EveryWrongAnswerFailsItsCommand)
{
    // Code, result, the journal of a failed answer (F: a whole read).
    using Judged = std::tuple<const char*, uint8_t, uint8_t, std::string, Command>;
    const std::vector<Judged> commands = {
        {"authorization", 0x03, 0x01, "SCWF", [](CommandSet& c) { return c.requestAuthorization(); }},
        {"activation", 0x05, 0x55, "SCWSR", [](CommandSet& c) { return c.activateFiles(); }},
        {"end of dialogue", 0x06, 0x55, "SCWR", [](CommandSet& c) { return c.releaseTerminal(); }},
        {"advertisement", 0x02, 0x55, "SCWF", advertising("APP.BIN", 1234, false)},
        {"download start", 0x04, 0x55, "SCWF", downloading(3)},
    };
    for (const auto& [name, code, result, shape, command] : commands) {
        const bool whole = shape.back() == 'F';
        const Bytes good = answerStarting({code, 0x01, result});
        // 0x33 everywhere; the authorization must not take "done" for "granted".
        const uint8_t wrongResult = result == 0x01 ? 0x55 : 0x33;
        const std::vector<std::tuple<const char*, Script, K>> faults = {
            {"no answer", {{}}, K::TimeOut},
            {"short", {{firstPart(good, 20)}}, whole ? K::TimeOut : K::ShortAnswer},
            {"wrong CRC", {{withBadCrc(good)}}, K::Crc},
            {"wrong echo", {{answerStarting({uint8_t(code + 1), 0x01, result})}}, K::UnexpectedAnswer},
            {"wrong marker", {{answerStarting({code, 0x02, result})}}, K::UnexpectedAnswer},
            {"wrong result", {{answerStarting({code, 0x01, wrongResult})}}, K::Refused},
            {"failed write", {kRefused}, K::WriteFailed},
        };
        for (const auto& [fault, script, kind] : faults) {
            SCOPED_TRACE(std::string(name) + ", " + fault);
            Rig rig(script);
            EXPECT_FALSE(command(rig.commands));
            EXPECT_EQ(rig.commands.lastFailure().kind, kind);
            // Nothing read after a failed write, no block after a refused start,
            // the input not cleared after a failed answer.
            EXPECT_EQ(rig.shape(), kind == K::WriteFailed ? "SCW" : shape);
        }
    }
}

// A command, the terminal's answers, the journal in letters (where the
// input is cleared: before every command frame, after a good answer, between
// blocks but not after the last; what a failure leaves out; * not compared),
// why it fails (None: it succeeds) and the cause a technician reads.
using Outcome = std::tuple<const char*, Command, Script, std::string, K, std::string>;
Outcome row(const char* name, Command command, Script script, std::string shape, K kind, std::string cause = "")
{
    return {name, std::move(command), std::move(script), std::move(shape), kind, std::move(cause)};
}

TEST(Commands, Outcomes)
{
    const Command open = [](CommandSet& c) { return c.initTerminal(); };
    const Command varlenne = [](CommandSet& c) { return c.startVarlenne(); };
    const Command releaseFrames = [](CommandSet& c) { return c.sendReleaseFrames(), c.lastFailure().kind == K::None; };
    const Command record = [](CommandSet& c) { // kept only from a good answer
        std::array<uint8_t, 126> body{};
        return c.readHardwareConfiguration(body) || body != std::array<uint8_t, 126>{};
    };
    const Command list = [](CommandSet& c) { // a list not sent keeps the names
        Names names{"kept"};
        return c.readApplicationList(names) || (names != Names{"kept"} && c.lastFailure().kind == K::WriteFailed);
    };
    Bytes hw(128, 0x40);
    crc16Append(hw.data(), 126);
    const std::string gone = "write failed (the device may be gone)", whole = "no whole answer of 32 bytes";
    const std::string silent4000 = "no answer within 4000 ms (0 bytes)", blockShape = "SCWFWFCWF";
    const Script twoBlocks = {{kDone}, {kDone}};
    const std::vector<Outcome> outcomes = {
        row("record, silent", record, {{}}, "SCWR", K::TimeOut, silent4000),
        row("record, short", record, {{firstPart(hw, 12)}}, "SCWR", K::ShortAnswer, "answer of 12 bytes, 128 expected"),
        row("record, wrong CRC", record, {{withBadCrc(hw)}}, "SCWR", K::Crc, "wrong CRC"),
        row("list, short", list, {{firstPart(kListEnd, 20)}}, "CWRR", K::ShortAnswer, "answer of 20 bytes, 32 expected"),
        row("list, wrong CRC", list, {{withBadCrc(kListEnd)}}, "CWR", K::Crc, "wrong CRC"),
        row("list, no end", list, {{listAnswer("EMV", 3)}}, "CWRSR", K::TimeOut, "no answer within 20 ms (0 bytes)"),
        row("list, not sent", list, {kRefused}, "CW", K::WriteFailed, gone),
        row("list, 101 names", list, {std::vector<Bytes>(101, listAnswer("APP", 3))}, "*", K::TooManyNames,
            "more than 100 application names"),
        row("Varlenne, silent", varlenne, {{}}, "WR", K::TimeOut, silent4000),
        row("Varlenne, no K", varlenne, {{{0x2F, 0x40, 0x02, 'O', 'N', 0x00, 0x00}}}, "WR", K::UnexpectedAnswer,
            "unexpected answer 2F 40 02 4F 4E 00 00"),
        row("Varlenne, K after a zero byte", varlenne, {{{0x2F, 0x40, 0x00, 'K'}}}, "WR", K::UnexpectedAnswer,
            "unexpected answer 2F 40 00 4B"),
        row("Varlenne, refusal", varlenne, {{{0x2F, 0x40, 0x02, 0x01, 0x81, 0x3B, 0x25}}}, "WR", K::Refused,
            "refused by the terminal (answer 2F 40 02 01 81)"),
        row("Varlenne, refusal beside a K", varlenne, {{{'K', 0x40, 0x02, 0x01, 0x81, 0x00, 0x00}}}, "WR", K::Refused,
            "refused by the terminal (answer 4B 40 02 01 81)"),
        row("opening after a failed write", open, {kRefused, {{0x2F}}}, "WWRC", K::None),
        row("opening, last attempt", open, {{}, {}, kRefused}, "WRWRW", K::WriteFailed, gone),
        row("release frames, silent", releaseFrames, {}, "WR", K::TimeOut, "no answer within 1000 ms (0 bytes)"),
        row("release frames, not sent", releaseFrames, {kRefused}, "W", K::WriteFailed, gone),
        row("stopped", [](CommandSet& c) { return c.requestStop(), c.requestAuthorization(); }, {}, "SC", K::Stopped,
            "stopped on request"),
        row("advertisement refused, skip flag cleared", advertising("APP.BIN", 1, false), {{answer(0x02, 0x33)}},
            "SCWF", K::Refused, "refused by the terminal (answer 02 01 33)"),
        // 28 bytes of length field and name are sent, 29 are skipped unsent.
        row("advertisement of 28 bytes", advertising(std::string(22, 'N'), 999999, false), {{answer(0x02, 0x55)}},
            "SCWFC", K::None),
        row("advertisement of 29 bytes", advertising(std::string(23, 'N'), 5, true), {}, "", K::None),
        row("download of 123 bytes", downloading(123), {{kDone}, {kDone}, {kDone, kDone}}, "SCWFWFCWFRC", K::None),
        row("download of nothing", downloading(0), {{kDone, kDone}}, "SCWFRC", K::None),
        row("block refused", downloading(300), twoBlocks + Script{{answer(0x04, 0x00)}}, blockShape, K::Refused,
            "refused by the terminal (answer 04 01 00)"),
        row("block, wrong CRC", downloading(300), twoBlocks + Script{{withBadCrc(kDone)}}, blockShape, K::Crc,
            "wrong CRC"),
        row("block, wrong marker", downloading(300), twoBlocks + Script{{answerStarting({0x04, 0x00, 0x55})}},
            blockShape, K::UnexpectedAnswer, "unexpected answer 04 00 55"),
        row("block, silent", downloading(300), twoBlocks + Script{{}}, blockShape, K::TimeOut, whole),
        row("block, not sent", downloading(300), {{kDone}, kRefused}, "SCWFW", K::WriteFailed, gone),
        row("no final confirmation", downloading(50), twoBlocks, "SCWFWFR", K::TimeOut,
            "no answer within 1000 ms (0 bytes)"),
        row("16 resend requests", downloading(10), Script{{kDone}} + Script(16, {kResend}) + Script{{kDone, kDone}},
            "*", K::None),
        row("17 resend requests", downloading(10), Script{{kDone}} + Script(17, {kResend}), "*", K::ResendLimit,
            "17 resend requests in a row"),
        row("16 resend requests for each of two blocks", downloading(200),
            Script{{kDone}} + Script(16, {kResend}) + Script{{kDone}} + Script(16, {kResend}) + Script{{kDone, kDone}},
            "*", K::None),
        row("content unreadable", [](CommandSet& c) { return c.download(3, [](uint8_t*, uint16_t) { return false; }, nullptr); },
            {{kDone}}, "SCWF", K::ContentUnreadable, "the content to send cannot be read"),
    };
    for (const auto& [name, command, script, shape, kind, cause] : outcomes) {
        SCOPED_TRACE(name);
        Rig rig(script);
        EXPECT_EQ(command(rig.commands), kind == K::None);
        EXPECT_EQ(rig.commands.lastFailure().kind, kind);
        EXPECT_EQ(rig.commands.lastFailure().describe(), cause);
        if (shape != "*") {
            EXPECT_EQ(rig.shape(), shape);
        }
    }
}

TEST(Commands, ApplicationNames)
{
    const std::string n28 = "ABCDEFGHIJKLMNOPQRSTUVWXYZ01";
    const std::vector<std::pair<std::vector<Bytes>, Names>> cases = {
        {{}, {}},
        {std::vector<Bytes>(100, listAnswer("APP", 3)), Names(100, "APP")},
        {{listAnswer(n28, 28)}, {n28}},
        // A length above 28 would take the CRC bytes into the name: cut at 28.
        {{listAnswer(n28, 29), listAnswer(n28, 30), listAnswer(n28, 255)}, {n28, n28, n28}},
        {{listAnswer(std::string("APP\0XYZ", 7), 10)}, {"APP"}},
        {{listAnswer("CAF\xC9", 4)}, {"CAF\xC9"}}, // Latin-1 bytes kept as they are
    };
    for (const auto& [answers, expected] : cases) {
        Rig rig({answers + std::vector<Bytes>{kListEnd}});
        Names names{"stale"};
        EXPECT_TRUE(rig.commands.readApplicationList(names));
        EXPECT_EQ(names, expected);
    }
}

TEST(Transfer, BlocksAndProgress)
{
    const std::vector<std::tuple<size_t, std::vector<int>, std::vector<int>>> cases = {
        {0, {}, {}}, {122, {122}, {100}}, {123, {122, 1}, {99, 100}}, {300, {122, 122, 56}, {40, 81, 100}}};
    for (const auto& [length, counts, progress] : cases) {
        SCOPED_TRACE(length);
        Rig rig(Script(counts.size(), {kDone}) + Script{{kDone, kDone}});
        EXPECT_TRUE(rig.download(length));
        EXPECT_EQ(rig.progress, progress);
        const auto blocks = rig.blocks();
        ASSERT_EQ(blocks.size(), counts.size());
        Bytes sent;
        for (size_t i = 0; i < blocks.size(); ++i) {
            EXPECT_EQ(Bytes(blocks[i].begin(), blocks[i].begin() + 4),
                      (Bytes{0x04, 0x00, uint8_t(i), uint8_t(counts[i])}));
            sent.insert(sent.end(), blocks[i].begin() + 4, blocks[i].begin() + 4 + counts[i]);
            EXPECT_EQ(std::count(blocks[i].begin() + 4 + counts[i], blocks[i].begin() + 126, 0), 122 - counts[i]);
        }
        EXPECT_EQ(sent, content(length));
    }
    Rig wrapping(Script(65537, {kDone}) + Script{{kDone, kDone}}); // the block number wraps after 65535
    EXPECT_TRUE(wrapping.download(65537 * 122));
    const auto blocks = wrapping.blocks();
    ASSERT_EQ(blocks.size(), 65537u);
    EXPECT_EQ(Bytes(blocks[65535].begin() + 1, blocks[65535].begin() + 3), (Bytes{0xFF, 0xFF}));
    EXPECT_EQ(Bytes(blocks[65536].begin() + 1, blocks[65536].begin() + 3), (Bytes{0x00, 0x00}));
}

// The final confirmation alone may have a wrong CRC, which is logged.
TEST(Transfer, FinalConfirmation)
{
    const std::vector<std::tuple<Bytes, bool, Names>> cases = {
        {withBadCrc(kDone), true, {"CRC fails: 32"}},
        {firstPart(kDone, 20), true, {"CRC fails: 20"}}, // the missing bytes read as zeros
        {withBadCrc(answer(0x04, 0x00)), false, {"CRC fails: 32"}},
        {kResend, false, {}},
    };
    for (const auto& [confirmation, result, lines] : cases) {
        Rig rig({{kDone}, {kDone, confirmation}});
        EXPECT_EQ(rig.download(50), result);
        EXPECT_EQ(rig.debugLines, lines);
    }
}

TEST(Transfer, LengthField)
{
    const std::vector<std::pair<uint32_t, std::string>> fields = {
        {0, "000000"}, {5, "000005"}, {999999, "999999"}, {1000000, "1000000;"}, {4294967295u, "4294967295;"}};
    for (const auto& [length, field] : fields)
        EXPECT_EQ(CommandSet::lengthField(length), field);
}

// After a stop request no request leaves, except the end of dialogue and the
// release frames; once cleared, the commands run again.
TEST(Commands, StopRequestSendsOnlyTheCleanUp)
{
    Rig rig({{answer(0x06, 0x55)}, {{0x2F}}, {{0x2F}}, {{0x2F}}});
    rig.commands.requestStop();
    EXPECT_FALSE(rig.commands.initTerminal());
    EXPECT_FALSE(rig.commands.requestAuthorization());
    EXPECT_FALSE(rig.download(3));
    EXPECT_TRUE(rig.commands.releaseTerminal());
    rig.commands.sendReleaseFrames();
    // The end of dialogue (06, zeros, CRC) and both release frames.
    EXPECT_EQ(writes(rig.journal), (std::vector<Bytes>{answerStarting({0x06}),
                                                       {0x2F, 0xC0, 0x04, 0x00, 0x14, 0x01, 0x2C, 0x56, 0x44},
                                                       {0x2F, 0x40, 0x03, 0x05, 0x01, 0xFC, 0x80, 0x41}}));
    rig.commands.clearStop();
    EXPECT_TRUE(rig.commands.initTerminal());
}

// The terminal's restart wait (35 s at least) ends soon after a stop request.
TEST(StoppablePause, StopEndsARealPauseWithinASlice)
{
    ScaledClock clock(1.0);
    std::atomic<bool> stop{false};
    std::thread stopper([&stop] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        stop.store(true);
    });
    const auto begin = std::chrono::steady_clock::now();
    clock.sleepUnlessStopped(35000, stop);
    const auto waited = std::chrono::steady_clock::now() - begin;
    stopper.join();
    EXPECT_GE(waited, std::chrono::milliseconds(100));
    EXPECT_LT(waited, std::chrono::seconds(5));
}

} // namespace
