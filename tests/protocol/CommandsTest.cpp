// The terminal commands over a scripted link: what goes out, how long each
// waits, which answers pass and which fail.
#include "tests/support/ScriptedLink.h"

#include "protocol/CommandSet.h"
#include "protocol/Crc16.h"

#include <gtest/gtest.h>

#include <functional>
#include <thread>

namespace {

Bytes frameBytes(const OpeningFrame& frame)
{
    return Bytes(frame.begin(), frame.end());
}
Bytes frameBytes(const VarlenneFrame& frame)
{
    return Bytes(frame.begin(), frame.end());
}

Bytes hardwareAnswer()
{
    Bytes frame(kBlockFrameSize, 0);
    for (size_t i = 0; i < kBlockCrcOffset; ++i)
        frame[i] = static_cast<uint8_t>(0x40 + i);
    crc16Append(frame.data(), kBlockCrcOffset);
    return frame;
}

Bytes listAnswer(uint8_t length, const std::string& name)
{
    CommandFrame frame{};
    frame[0] = kCodeApplicationList;
    frame[kNameLengthOffset] = length;
    std::copy_n(name.begin(), std::min<size_t>(name.size(), kMaxNameLength), frame.begin() + kNameOffset);
    sealCommandFrame(frame);
    return toBytes(frame);
}

Bytes listEnd()
{
    return listAnswer(0, "");
}

class Commands : public ::testing::Test {
protected:
    Journal journal;
    ScriptedLink link{journal};
    FakeClock clock{noting(journal)};
    CommandSet commands{link, clock};
};

using T = Event::Type;

// --- Opening ------------------------------------------------------------------

TEST_F(Commands, OpeningSendsTheSlashFrameAndAcceptsAnyAnswer)
{
    link.reply(Bytes{0x00});
    EXPECT_TRUE(commands.initTerminal());
    EXPECT_EQ(types(journal), (std::vector<T>{T::Write, T::Read, T::Clear}));
    EXPECT_EQ(journal[0].bytes, frameBytes(kOpeningFrame));
    EXPECT_EQ(journal[1].value, kOpeningAnswerCapacity);
    EXPECT_EQ(journal[1].timeoutMs, kOpeningTimeoutMs);
}

TEST_F(Commands, OpeningSucceedsOnTheThirdAttempt)
{
    link.silence().silence().reply(slashFrame(0xC0, {0x06}));
    EXPECT_TRUE(commands.initTerminal());
    EXPECT_EQ(types(journal), (std::vector<T>{T::Write, T::Read, T::Write, T::Read, T::Write, T::Read, T::Clear}));
    EXPECT_TRUE(sleeps(journal).empty());
}

TEST_F(Commands, OpeningFailsAfterThreeSilentAttempts)
{
    EXPECT_FALSE(commands.initTerminal());
    EXPECT_EQ(types(journal), (std::vector<T>{T::Write, T::Read, T::Write, T::Read, T::Write, T::Read}));
}

TEST_F(Commands, OpeningTriesAgainAfterAFailedWrite)
{
    link.failWrite().reply(Bytes{0x2F});
    EXPECT_TRUE(commands.initTerminal());
    EXPECT_EQ(types(journal), (std::vector<T>{T::Write, T::Write, T::Read, T::Clear}));
}

TEST_F(Commands, OpeningFailsWhenEveryWriteFails)
{
    link.failWrite().failWrite().failWrite();
    EXPECT_FALSE(commands.initTerminal());
    EXPECT_EQ(countOf(journal, T::Read), 0u);
}

// --- Varlenne start -------------------------------------------------------------

TEST_F(Commands, VarlenneStartsOnAnAnswerWithOk)
{
    link.reply(slashFrame(0x40, {'O', 'K'}));
    EXPECT_TRUE(commands.startVarlenne());
    EXPECT_EQ(types(journal), (std::vector<T>{T::Write, T::Read, T::Clear}));
    EXPECT_EQ(journal[0].bytes, frameBytes(kVarlenneStartFrame));
    EXPECT_EQ(journal[1].value, kVarlenneAnswerCapacity);
    EXPECT_EQ(journal[1].timeoutMs, kVarlenneTimeoutMs);
}

TEST_F(Commands, VarlenneRefusalFails)
{
    const Bytes refusal = slashFrame(0x40, {0x01, 0x81});
    ASSERT_EQ(refusal.size(), 7u);
    link.reply(refusal);
    EXPECT_FALSE(commands.startVarlenne());
    EXPECT_EQ(countOf(journal, T::Clear), 0u);
}

TEST_F(Commands, VarlenneRefusalBytesWinOverAK)
{
    link.reply(Bytes{'K', 0x40, 0x02, 0x01, 0x81, 0x00, 0x00});
    EXPECT_FALSE(commands.startVarlenne());
}

TEST_F(Commands, VarlenneNeedsAKBeforeTheFirstZeroByte)
{
    link.reply(Bytes{0x2F, 0x40, 0x00, 'K'});
    EXPECT_FALSE(commands.startVarlenne());
}

TEST_F(Commands, VarlenneWithoutKFails)
{
    link.reply(slashFrame(0x40, {'O', 'N'}));
    EXPECT_FALSE(commands.startVarlenne());
}

TEST_F(Commands, VarlenneSilentOrUnsentFails)
{
    EXPECT_FALSE(commands.startVarlenne());
    journal.clear();
    link.failWrite();
    EXPECT_FALSE(commands.startVarlenne());
    EXPECT_EQ(types(journal), (std::vector<T>{T::Write}));
}

// --- Hardware record ------------------------------------------------------------

TEST_F(Commands, HardwareRecordIsTheBodyOfTheAnswer)
{
    const Bytes answer = hardwareAnswer();
    link.reply(answer);
    std::array<uint8_t, 126> record{};
    EXPECT_TRUE(commands.readHardwareConfiguration(record));
    EXPECT_TRUE(std::equal(record.begin(), record.end(), answer.begin()));
    // The input is cleared after the settle pause, just before the request.
    EXPECT_EQ(types(journal), (std::vector<T>{T::Sleep, T::Clear, T::Write, T::Read, T::Clear}));
    EXPECT_EQ(journal[0].value, kHardwareSettleMs);
    EXPECT_EQ(journal[2].bytes, toBytes(commandFrame(kCodeHardwareConfiguration)));
    EXPECT_EQ(journal[3].value, kBlockFrameSize);
    EXPECT_EQ(journal[3].timeoutMs, kHardwareTimeoutMs);
}

TEST_F(Commands, HardwareRecordWithWrongCrcIsNotKept)
{
    link.reply(withBadCrc(hardwareAnswer()));
    std::array<uint8_t, 126> record{};
    EXPECT_FALSE(commands.readHardwareConfiguration(record));
    EXPECT_EQ(record, (std::array<uint8_t, 126>{}));
    EXPECT_FALSE(clearedAfterReading(journal));
}

TEST_F(Commands, HardwareRecordArrivedInPartFails)
{
    link.reply(firstPart(hardwareAnswer(), 64));
    std::array<uint8_t, 126> record{};
    EXPECT_FALSE(commands.readHardwareConfiguration(record));
}

TEST_F(Commands, HardwareRecordSilentOrUnsentFails)
{
    std::array<uint8_t, 126> record{};
    EXPECT_FALSE(commands.readHardwareConfiguration(record));
    link.failWrite();
    journal.clear();
    EXPECT_FALSE(commands.readHardwareConfiguration(record));
    EXPECT_EQ(types(journal), (std::vector<T>{T::Sleep, T::Clear, T::Write}));
}

// --- Application list -----------------------------------------------------------

TEST_F(Commands, ApplicationListReadsNamesUntilTheEmptyAnswer)
{
    link.reply({listAnswer(8, "VARLENNE"), listAnswer(3, "EMV"), listEnd()});
    std::vector<std::string> names{"stale"};
    EXPECT_TRUE(commands.readApplicationList(names));
    EXPECT_EQ(names, (std::vector<std::string>{"VARLENNE", "EMV"}));
    EXPECT_EQ(types(journal),
              (std::vector<T>{T::Clear, T::Write, T::Read, T::Sleep, T::Read, T::Sleep, T::Read, T::Clear}));
    const Bytes request = journal[1].bytes;
    EXPECT_EQ(request, toBytes(commandFrame(kCodeApplicationList)));
    EXPECT_EQ(request[30], 0xF3);
    EXPECT_EQ(request[31], 0x20);
    for (const auto& event : journal) {
        if (event.type == T::Read) {
            EXPECT_EQ(event.value, kCommandFrameSize);
            EXPECT_EQ(event.timeoutMs, kListTimeoutMs);
        }
        if (event.type == T::Sleep) {
            EXPECT_EQ(event.value, kListPacingMs);
        }
    }
}

TEST_F(Commands, ApplicationListMayBeEmpty)
{
    link.reply(listEnd());
    std::vector<std::string> names{"stale"};
    EXPECT_TRUE(commands.readApplicationList(names));
    EXPECT_TRUE(names.empty());
}

TEST_F(Commands, ApplicationNameOfTwentyEightBytesWithoutZero)
{
    const std::string name = "ABCDEFGHIJKLMNOPQRSTUVWXYZ01";
    ASSERT_EQ(name.size(), 28u);
    link.reply({listAnswer(28, name), listEnd()});
    std::vector<std::string> names;
    EXPECT_TRUE(commands.readApplicationList(names));
    EXPECT_EQ(names, std::vector<std::string>{name});
}

TEST_F(Commands, ApplicationNameLongerThanTheFrameIsCut)
{
    // Lengths of 29 and 30 would take the CRC bytes into the name.
    const std::string name = "ABCDEFGHIJKLMNOPQRSTUVWXYZ01";
    link.reply({listAnswer(29, name), listAnswer(30, name), listAnswer(255, name), listEnd()});
    std::vector<std::string> names;
    EXPECT_TRUE(commands.readApplicationList(names));
    EXPECT_EQ(names, (std::vector<std::string>{name, name, name}));
}

TEST_F(Commands, ApplicationNameEndsAtAZeroByte)
{
    link.reply({listAnswer(10, std::string("APP\0XYZ", 7)), listEnd()});
    std::vector<std::string> names;
    EXPECT_TRUE(commands.readApplicationList(names));
    EXPECT_EQ(names, std::vector<std::string>{"APP"});
}

TEST_F(Commands, ApplicationNameKeepsLatin1Bytes)
{
    link.reply({listAnswer(4, "CAF\xC9"), listEnd()});
    std::vector<std::string> names;
    EXPECT_TRUE(commands.readApplicationList(names));
    EXPECT_EQ(names, std::vector<std::string>{"CAF\xC9"});
}

TEST_F(Commands, ApplicationListEndsAtItsBound)
{
    // As many names as the bound, then the end: read; one name more: refused.
    for (const size_t count : {kMaxApplications, kMaxApplications + 1}) {
        std::vector<Bytes> answers(count, listAnswer(3, "APP"));
        answers.push_back(listEnd());
        link.reply(answers);
        std::vector<std::string> names;
        EXPECT_EQ(commands.readApplicationList(names), count == kMaxApplications) << count;
        EXPECT_EQ(names.size(), kMaxApplications);
    }
}

TEST_F(Commands, ApplicationListFailures)
{
    std::vector<std::string> names{"kept"};
    link.failWrite();
    EXPECT_FALSE(commands.readApplicationList(names));
    EXPECT_EQ(names, std::vector<std::string>{"kept"});

    link.reply(withBadCrc(listEnd()));
    EXPECT_FALSE(commands.readApplicationList(names));

    link.reply({listAnswer(3, "EMV")}); // the list stops without its end
    EXPECT_FALSE(commands.readApplicationList(names));

    link.reply(firstPart(listEnd(), 31));
    EXPECT_FALSE(commands.readApplicationList(names));
    EXPECT_FALSE(clearedAfterReading(journal));
}

// --- Commands judged by CRC, echo, marker and result ----------------------------

struct JudgedCommand {
    const char* name;
    uint8_t code;
    uint8_t result;               // the accepted third byte
    std::vector<uint32_t> pauses; // in order
    bool readsFull;               // readFull rather than read
    int timeoutMs;                // read only
    std::function<bool(CommandSet&)> run;
    Bytes request;
};

std::vector<JudgedCommand> judgedCommands()
{
    CommandFrame authorization{};
    authorization[0] = kCodeAuthorization;
    authorization[1] = 0x01;
    sealCommandFrame(authorization);
    return {
        {"Authorization",
         kCodeAuthorization,
         kResultGranted,
         {kSettleMs},
         true,
         0,
         [](CommandSet& c) { return c.requestAuthorization(); },
         toBytes(authorization)},
        {"Activation",
         kCodeActivate,
         kResultDone,
         {kShortSettleMs, kActivationPauseMs},
         false,
         kActivationTimeoutMs,
         [](CommandSet& c) { return c.activateFiles(); },
         toBytes(commandFrame(kCodeActivate))},
        {"Release",
         kCodeRelease,
         kResultDone,
         {kShortSettleMs},
         false,
         kReleaseTimeoutMs,
         [](CommandSet& c) { return c.releaseTerminal(); },
         toBytes(commandFrame(kCodeRelease))},
        {"Advertisement",
         kCodeAdvertise,
         kResultDone,
         {kSettleMs},
         true,
         0,
         [](CommandSet& c) {
             bool skip = true;
             return c.advertise("APP.BIN", 1234, skip) && !skip;
         },
         toBytes(advertisementFrame("001234APP.BIN"))},
    };
}

void PrintTo(const JudgedCommand& command, std::ostream* out)
{
    *out << command.name;
}

class Judged : public Commands, public ::testing::WithParamInterface<JudgedCommand> {
protected:
    bool run() { return GetParam().run(commands); }
    Bytes good() const { return answer(GetParam().code, GetParam().result); }
};

TEST_P(Judged, SucceedsOnTheRightAnswer)
{
    const auto& command = GetParam();
    link.reply(good());
    EXPECT_TRUE(run());
    EXPECT_EQ(writes(journal), std::vector<Bytes>{command.request});
    EXPECT_EQ(sleeps(journal), command.pauses);
    EXPECT_EQ(journal.back().type, T::Clear);
    // Once before the request, once after the answer.
    EXPECT_EQ(countOf(journal, T::Clear), 2u);
    const auto reception = std::find_if(journal.begin(), journal.end(),
                                        [](const Event& e) { return e.type == T::Read || e.type == T::ReadFull; });
    ASSERT_NE(reception, journal.end());
    EXPECT_EQ(reception->type, command.readsFull ? T::ReadFull : T::Read);
    EXPECT_EQ(reception->value, kCommandFrameSize);
    if (!command.readsFull) {
        EXPECT_EQ(reception->timeoutMs, command.timeoutMs);
    }
    // The pauses come before the write, except the activation's wait after it.
    EXPECT_EQ(journal.front().type, T::Sleep);
}

TEST_P(Judged, FailsWithoutAnswer)
{
    EXPECT_FALSE(run());
    EXPECT_FALSE(clearedAfterReading(journal));
}

TEST_P(Judged, FailsOnAShortAnswer)
{
    link.reply(firstPart(good(), 20));
    EXPECT_FALSE(run());
    EXPECT_FALSE(clearedAfterReading(journal));
}

TEST_P(Judged, FailsOnAWrongCrc)
{
    link.reply(withBadCrc(good()));
    EXPECT_FALSE(run());
    EXPECT_FALSE(clearedAfterReading(journal));
}

TEST_P(Judged, FailsOnAWrongEcho)
{
    link.reply(answer(static_cast<uint8_t>(GetParam().code + 1), GetParam().result));
    EXPECT_FALSE(run());
}

TEST_P(Judged, FailsOnAWrongMarker)
{
    link.reply(answerStarting({GetParam().code, 0x02, GetParam().result}));
    EXPECT_FALSE(run());
}

TEST_P(Judged, FailsOnAWrongResult)
{
    // 0x33 everywhere, and the authorization must not take "done" for "granted".
    const uint8_t wrong = GetParam().result == kResultGranted ? kResultDone : kResultResend;
    link.reply(answer(GetParam().code, wrong));
    EXPECT_FALSE(run());
}

TEST_P(Judged, FailsOnAFailedWriteWithoutReading)
{
    link.failWrite();
    EXPECT_FALSE(run());
    EXPECT_EQ(countOf(journal, T::Read) + countOf(journal, T::ReadFull), 0u);
}

INSTANTIATE_TEST_SUITE_P(Commands, Judged, ::testing::ValuesIn(judgedCommands()),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(Commands, ActivationWaitsTwentySecondsAfterSending)
{
    link.reply(answer(kCodeActivate, kResultDone));
    EXPECT_TRUE(commands.activateFiles());
    EXPECT_EQ(types(journal), (std::vector<T>{T::Sleep, T::Clear, T::Write, T::Sleep, T::Read, T::Clear}));
    EXPECT_EQ(journal[0].value, kShortSettleMs);
    EXPECT_EQ(journal[3].value, kActivationPauseMs);
}

TEST_F(Commands, ActivationAnswered33Fails)
{
    link.reply(answerStarting({0x05, 0x01, 0x33}));
    EXPECT_FALSE(commands.activateFiles());
}

// --- Release frames -------------------------------------------------------------

TEST_F(Commands, ReleaseFramesBothSentWhenTheFirstIsAnswered)
{
    link.reply(Bytes{0x06}).reply(Bytes{0x06});
    commands.sendReleaseFrames();
    EXPECT_EQ(types(journal), (std::vector<T>{T::Write, T::Read, T::Write, T::Read}));
    EXPECT_EQ(journal[0].bytes, frameBytes(kFirstReleaseFrame));
    EXPECT_EQ(journal[2].bytes, frameBytes(kSecondReleaseFrame));
    EXPECT_EQ(journal[1].value, kReleaseAnswerCapacity);
    EXPECT_EQ(journal[1].timeoutMs, kReleaseFramesTimeoutMs);
    EXPECT_EQ(journal[3].value, kReleaseAnswerCapacity);
    EXPECT_EQ(journal[3].timeoutMs, kReleaseFramesTimeoutMs);
}

TEST_F(Commands, ReleaseFramesStopAtASilentPort)
{
    commands.sendReleaseFrames();
    EXPECT_EQ(types(journal), (std::vector<T>{T::Write, T::Read}));
}

TEST_F(Commands, ReleaseFramesStopAtAFailedWrite)
{
    link.failWrite();
    commands.sendReleaseFrames();
    EXPECT_EQ(types(journal), (std::vector<T>{T::Write}));
}

// --- Stop request ---------------------------------------------------------------

// After a stop request no request leaves, except the end of dialogue and the
// release frames; once cleared, the commands run again.
TEST_F(Commands, StopRequestSendsOnlyTheCleanUp)
{
    link.reply(answer(kCodeRelease, kResultDone)).reply(Bytes{0x06}).reply(Bytes{0x06}).reply(Bytes{0x00});
    commands.requestStop();
    EXPECT_FALSE(commands.initTerminal());
    EXPECT_FALSE(commands.requestAuthorization());
    const uint8_t content[] = {1, 2, 3};
    EXPECT_FALSE(commands.download(content, sizeof(content), nullptr));
    EXPECT_TRUE(commands.releaseTerminal());
    commands.sendReleaseFrames();
    EXPECT_EQ(writes(journal), (std::vector<Bytes>{toBytes(commandFrame(kCodeRelease)), frameBytes(kFirstReleaseFrame),
                                                   frameBytes(kSecondReleaseFrame)}));
    commands.clearStop();
    EXPECT_TRUE(commands.initTerminal());
}

// --- Causes of failure ------------------------------------------------------------

// Each way an exchange fails, as the command that ran it reports it.
struct FailureCase {
    const char* name;
    std::function<void(ScriptedLink&, CommandSet&)> script;
    std::function<bool(CommandSet&)> run;
    ExchangeFailure::Kind kind;
    const char* cause;
};

bool authorize(CommandSet& c)
{
    return c.requestAuthorization();
}
bool activate(CommandSet& c)
{
    return c.activateFiles();
}
bool downloadThree(CommandSet& c)
{
    const uint8_t content[] = {1, 2, 3};
    return c.download(content, sizeof(content), nullptr);
}

TEST_F(Commands, EachFailureCarriesItsCause)
{
    using K = ExchangeFailure::Kind;
    const Bytes started = answer(kCodeDownload, kResultDone);
    const std::vector<FailureCase> cases = {
        {"silent read", [](ScriptedLink&, CommandSet&) {}, activate, K::TimeOut, "no answer within 1000 ms (0 bytes)"},
        {"silent full read", [](ScriptedLink&, CommandSet&) {}, authorize, K::TimeOut, "no whole answer of 32 bytes"},
        {"short record", [](ScriptedLink& l, CommandSet&) { l.reply(firstPart(hardwareAnswer(), 12)); },
         [](CommandSet& c) {
             std::array<uint8_t, 126> record{};
             return c.readHardwareConfiguration(record);
         },
         K::ShortAnswer, "answer of 12 bytes, 128 expected"},
        {"short list answer", [](ScriptedLink& l, CommandSet&) { l.reply(firstPart(listEnd(), 20)); },
         [](CommandSet& c) {
             std::vector<std::string> names;
             return c.readApplicationList(names);
         },
         K::ShortAnswer, "answer of 20 bytes, 32 expected"},
        {"wrong CRC", [](ScriptedLink& l, CommandSet&) { l.reply(withBadCrc(answer(kCodeActivate, kResultDone))); },
         activate, K::Crc, "wrong CRC"},
        {"wrong echo", [](ScriptedLink& l, CommandSet&) { l.reply(answer(kCodeAdvertise, kResultDone)); }, activate,
         K::UnexpectedAnswer, "unexpected answer 02 01 55"},
        {"Varlenne without K",
         [](ScriptedLink& l, CommandSet&) {
             l.reply(Bytes{0x2F, 0x40, 0x00});
         },
         [](CommandSet& c) { return c.startVarlenne(); }, K::UnexpectedAnswer, "unexpected answer 2F 40 00"},
        {"Varlenne refusal",
         [](ScriptedLink& l, CommandSet&) {
             l.reply(slashFrame(0x40, {0x01, 0x81}));
         },
         [](CommandSet& c) { return c.startVarlenne(); }, K::Refused,
         "refused by the terminal (answer 2F 40 02 01 81)"},
        {"authorization refused", [](ScriptedLink& l, CommandSet&) { l.reply(answer(kCodeAuthorization, 0x00)); },
         authorize, K::Refused, "refused by the terminal (answer 03 01 00)"},
        {"activation not done", [](ScriptedLink& l, CommandSet&) { l.reply(answer(kCodeActivate, kResultResend)); },
         activate, K::Refused, "refused by the terminal (answer 05 01 33)"},
        {"block refused", [&](ScriptedLink& l, CommandSet&) { l.reply(started).reply(answer(kCodeDownload, 0x00)); },
         downloadThree, K::Refused, "refused by the terminal (answer 04 01 00)"},
        {"resend limit",
         [&](ScriptedLink& l, CommandSet&) {
             l.reply(started);
             for (int i = 0; i <= kMaxResendRequests; ++i)
                 l.reply(answer(kCodeDownload, kResultResend));
         },
         downloadThree, K::ResendLimit, "17 resend requests in a row"},
        {"content unreadable", [&](ScriptedLink& l, CommandSet&) { l.reply(started); },
         [](CommandSet& c) {
             return c.download(
                 3, [](uint8_t*, uint16_t) { return false; }, nullptr);
         },
         K::ContentUnreadable, "the content to send cannot be read"},
        {"list without end",
         [](ScriptedLink& l, CommandSet&) { l.reply(std::vector<Bytes>(kMaxApplications + 1, listAnswer(3, "APP"))); },
         [](CommandSet& c) {
             std::vector<std::string> names;
             return c.readApplicationList(names);
         },
         K::TooManyNames, "more than 100 application names"},
        {"write failed", [](ScriptedLink& l, CommandSet&) { l.failWrite(); }, authorize, K::WriteFailed,
         "write failed (the device may be gone)"},
        {"opening, last attempt", [](ScriptedLink& l, CommandSet&) { l.silence().silence().failWrite(); },
         [](CommandSet& c) { return c.initTerminal(); }, K::WriteFailed, "write failed (the device may be gone)"},
        {"stopped", [](ScriptedLink&, CommandSet& c) { c.requestStop(); }, authorize, K::Stopped, "stopped on request"},
    };
    for (const FailureCase& test : cases) {
        Journal journal;
        ScriptedLink link(journal);
        FakeClock clock(noting(journal));
        CommandSet commands(link, clock);
        test.script(link, commands);
        EXPECT_FALSE(test.run(commands)) << test.name;
        EXPECT_EQ(commands.lastFailure().kind, test.kind) << test.name;
        EXPECT_EQ(commands.lastFailure().describe(), test.cause) << test.name;
    }
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
