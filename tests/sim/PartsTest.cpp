// The simulator's pieces on their own: fault and option parsing, the frame
// reader, the advertisement text, stored names and the pace of the line.
#include "sim/FrameReader.h"
#include "sim/Options.h"
#include "sim/ReceivedFiles.h"
#include "sim/Server.h"
#include "sim/SimulatedTerminal.h"

#include "protocol/Frames.h"
#include "protocol/Framing.h"

#include <gtest/gtest.h>

namespace {

Fault parsed(const std::string& text)
{
    Fault fault;
    std::string error;
    EXPECT_TRUE(parseFault(text, fault, error)) << text << ": " << error;
    return fault;
}

std::string rejection(const std::string& text)
{
    Fault fault;
    std::string error;
    EXPECT_FALSE(parseFault(text, fault, error)) << text;
    return error;
}

Parsed parse(std::vector<std::string> arguments, SimOptions& options, std::string* error = nullptr)
{
    std::string message;
    const Parsed result = parseArguments(arguments, options, message);
    if (error)
        *error = message;
    return result;
}

// --- Faults ---------------------------------------------------------------------

TEST(FaultParsing, StageAndKindAlone)
{
    const Fault fault = parsed("hardware:bad-crc");
    EXPECT_EQ(fault.stage, Stage::Hardware);
    EXPECT_EQ(fault.kind, FaultKind::BadCrc);
    EXPECT_EQ(fault.at, -1);
    EXPECT_EQ(fault.after, -1);
    EXPECT_EQ(fault.times, -1);
}

TEST(FaultParsing, NumberSelectsAnOccurrenceOrCountsResends)
{
    EXPECT_EQ(parsed("block:silent:7").at, 7);
    EXPECT_EQ(parsed("final:refuse:2").at, 2);
    const Fault resend = parsed("block:resend:3");
    EXPECT_EQ(resend.times, 3);
    EXPECT_EQ(resend.at, -1);
}

TEST(FaultParsing, Selectors)
{
    const Fault fault = parsed("block:resend:at=4,times=2");
    EXPECT_EQ(fault.at, 4);
    EXPECT_EQ(fault.times, 2);
    EXPECT_EQ(parsed("block:silent:after=9").after, 9);
}

TEST(FaultParsing, EveryStageAndKindHasAName)
{
    for (const char* stage : {"open", "varlenne", "hardware", "list", "advertise", "authorize", "start", "block",
                              "final", "activate", "release"}) {
        EXPECT_STREQ(stageName(parsed(std::string(stage) + ":silent").stage), stage);
    }
    for (const char* kind :
         {"silent", "bad-crc", "bad-echo", "short", "split", "garbage", "resend", "refuse", "vanish"}) {
        EXPECT_STREQ(faultKindName(parsed(std::string("block:") + kind).kind), kind);
    }
}

TEST(FaultParsing, Rejections)
{
    EXPECT_NE(rejection("hardware").find("STAGE:KIND"), std::string::npos);
    EXPECT_NE(rejection("printer:silent").find("unknown stage"), std::string::npos);
    EXPECT_NE(rejection("block:melt").find("unknown fault"), std::string::npos);
    EXPECT_NE(rejection("advertise:resend").find("blocks only"), std::string::npos);
    EXPECT_NE(rejection("list:refuse").find("no negative answer"), std::string::npos);
    EXPECT_NE(rejection("block:silent:x").find("bad selector"), std::string::npos);
    EXPECT_NE(rejection("block:silent:at=").find("bad selector"), std::string::npos);
    EXPECT_NE(rejection("block:silent:every=2").find("bad selector"), std::string::npos);
}

TEST(FaultPlan, FirstMatchingFaultFiresWithinItsLimits)
{
    FaultPlan plan;
    plan.add(parsed("block:resend:at=2,times=2"));
    plan.add(parsed("block:silent:after=5"));
    EXPECT_FALSE(plan.fire(Stage::Block, 1));
    EXPECT_EQ(plan.fire(Stage::Block, 2), FaultKind::Resend);
    EXPECT_EQ(plan.fire(Stage::Block, 2), FaultKind::Resend);
    EXPECT_FALSE(plan.fire(Stage::Block, 2));
    EXPECT_FALSE(plan.fire(Stage::Block, 5));
    EXPECT_EQ(plan.fire(Stage::Block, 6), FaultKind::Silent);
    EXPECT_FALSE(plan.fire(Stage::Final, 6));
}

// --- Options --------------------------------------------------------------------

TEST(Options, Defaults)
{
    SimOptions options;
    EXPECT_EQ(parse({}, options), Parsed::Run);
    EXPECT_EQ(options.terminal.hardware, (std::array<uint8_t, 3>{'M', '1', '0'}));
    EXPECT_EQ(options.terminal.applications, (std::vector<std::string>{"VARLENNE", "PAYMENT"}));
    EXPECT_EQ(options.serve.baud, 0u);
    EXPECT_EQ(options.serve.sessions, 0);
    EXPECT_TRUE(options.device.empty());
    EXPECT_TRUE(options.terminal.faults.empty());
}

TEST(Options, Values)
{
    SimOptions options;
    ASSERT_EQ(
        parse({"--device", "/dev/ttyS9", "--baud=9600", "--hardware", "0aFf10", "--apps", "A,B,C", "--store", "/tmp/s",
               "--verify=/tmp/v", "--sessions", "2", "--frame-timeout", "250", "--split-pause", "40", "--quiet"},
              options),
        Parsed::Run);
    EXPECT_EQ(options.device, "/dev/ttyS9");
    EXPECT_EQ(options.serve.baud, 9600u);
    EXPECT_EQ(options.terminal.hardware, (std::array<uint8_t, 3>{0x0A, 0xFF, 0x10}));
    EXPECT_EQ(options.terminal.applications, (std::vector<std::string>{"A", "B", "C"}));
    EXPECT_EQ(options.terminal.storeDirectory, "/tmp/s");
    EXPECT_EQ(options.terminal.verifyDirectory, "/tmp/v");
    EXPECT_EQ(options.serve.sessions, 2);
    EXPECT_EQ(options.serve.frameTimeoutMs, 250);
    EXPECT_EQ(options.terminal.splitPauseMs, 40u);
    EXPECT_TRUE(options.quiet);
}

TEST(Options, EmptyApplicationList)
{
    SimOptions options;
    ASSERT_EQ(parse({"--apps", ""}, options), Parsed::Run);
    EXPECT_TRUE(options.terminal.applications.empty());
}

TEST(Options, ConvenienceFlagsBecomeFaults)
{
    SimOptions options;
    ASSERT_EQ(parse({"--ignore-open", "2", "--refuse-varlenne", "--resend-block", "3:4", "--resend-block", "5",
                     "--fail-download", "1", "--bad-final-crc", "--silent-after-block", "7", "--refuse-authorization",
                     "--refuse-activation", "--fault", "list:split"},
                    options),
              Parsed::Run);
    const auto& faults = options.terminal.faults.faults();
    ASSERT_EQ(faults.size(), 10u);
    auto is = [](const Fault& f, Stage stage, FaultKind kind, int at, int after, int times) {
        return f.stage == stage && f.kind == kind && f.at == at && f.after == after && f.times == times;
    };
    EXPECT_TRUE(is(faults[0], Stage::Open, FaultKind::Silent, -1, -1, 2));
    EXPECT_TRUE(is(faults[1], Stage::Varlenne, FaultKind::Refuse, -1, -1, -1));
    EXPECT_TRUE(is(faults[2], Stage::Block, FaultKind::Resend, 3, -1, 4));
    EXPECT_TRUE(is(faults[3], Stage::Block, FaultKind::Resend, 5, -1, -1));
    EXPECT_TRUE(is(faults[4], Stage::Final, FaultKind::Refuse, -1, -1, 1));
    EXPECT_TRUE(is(faults[5], Stage::Final, FaultKind::BadCrc, -1, -1, -1));
    EXPECT_TRUE(is(faults[6], Stage::Block, FaultKind::Silent, -1, 7, -1));
    EXPECT_TRUE(is(faults[7], Stage::Authorize, FaultKind::Refuse, -1, -1, -1));
    EXPECT_TRUE(is(faults[8], Stage::Activate, FaultKind::Refuse, -1, -1, -1));
    EXPECT_TRUE(is(faults[9], Stage::List, FaultKind::Split, -1, -1, -1));
}

TEST(Options, Errors)
{
    SimOptions options;
    std::string error;
    EXPECT_EQ(parse({"--colour"}, options, &error), Parsed::Error);
    EXPECT_NE(error.find("unknown option --colour"), std::string::npos);
    EXPECT_EQ(parse({"--store"}, options, &error), Parsed::Error);
    EXPECT_NE(error.find("needs a value"), std::string::npos);
    EXPECT_EQ(parse({"--quiet=yes"}, options, &error), Parsed::Error);
    for (const std::vector<std::string>& bad : {std::vector<std::string>{"--hardware", "01020"},
                                                {"--hardware", "01020G"},
                                                {"--baud", "0"},
                                                {"--baud", "fast"},
                                                {"--sessions", "-1"},
                                                {"--apps", "A,,B"},
                                                {"--apps", std::string(256, 'N')},
                                                {"--resend-block", "x:2"},
                                                {"--resend-block", "2:"},
                                                {"--fault", "block:melt"}}) {
        EXPECT_EQ(parse(bad, options, &error), Parsed::Error) << bad[0] << " " << bad[1];
        EXPECT_NE(error.find("bad value"), std::string::npos) << error;
    }
}

TEST(Options, HelpNamesEveryOption)
{
    SimOptions options;
    EXPECT_EQ(parse({"--store", "/tmp", "--help"}, options), Parsed::Help);
    const std::string help = usageText();
    for (const char* option : {"--device",
                               "--baud",
                               "--frame-timeout",
                               "--sessions",
                               "--hardware",
                               "--apps",
                               "--store",
                               "--verify",
                               "--quiet",
                               "--fault",
                               "--split-pause",
                               "--ignore-open",
                               "--refuse-varlenne",
                               "--resend-block",
                               "--fail-download",
                               "--bad-final-crc",
                               "--silent-after-block",
                               "--refuse-authorization",
                               "--refuse-activation",
                               "--help"}) {
        EXPECT_NE(help.find(option), std::string::npos) << option;
        SimOptions probe;
        std::string error;
        parse({option}, probe, &error);
        EXPECT_EQ(error.find("unknown option"), std::string::npos) << option;
    }
}

// --- Frame reader ---------------------------------------------------------------

TEST(FrameReaderTest, FramesArriveInAnyPieces)
{
    FrameReader reader;
    const CommandFrame command = commandFrame(kCodeRelease);
    Bytes stream(kOpeningFrame.begin(), kOpeningFrame.end());
    stream.insert(stream.end(), command.begin(), command.end());
    FrameReader::Frame frame;
    for (uint8_t byte : stream) {
        reader.feed(&byte, 1);
        if (reader.next(frame))
            break;
    }
    EXPECT_EQ(frame.kind, FrameReader::Kind::Slash);
    EXPECT_EQ(frame.bytes, Bytes(kOpeningFrame.begin(), kOpeningFrame.end()));
    EXPECT_FALSE(reader.hasPartial());
    for (size_t i = kOpeningFrame.size(); i + 1 < stream.size(); ++i) {
        reader.feed(&stream[i], 1);
        EXPECT_FALSE(reader.next(frame));
    }
    EXPECT_TRUE(reader.hasPartial());
    reader.feed(&stream.back(), 1);
    ASSERT_TRUE(reader.next(frame));
    EXPECT_EQ(frame.kind, FrameReader::Kind::Command);
    EXPECT_EQ(frame.bytes, Bytes(command.begin(), command.end()));
    EXPECT_FALSE(reader.hasPartial());
}

TEST(FrameReaderTest, CodeFourIsABlockOnlyDuringADownload)
{
    FrameReader reader;
    const uint8_t data[] = {1, 2, 3};
    const BlockFrame block = blockFrame(0, data, 3);
    reader.feed(block.data(), block.size());
    FrameReader::Frame frame;
    ASSERT_TRUE(reader.next(frame));
    EXPECT_EQ(frame.kind, FrameReader::Kind::Command);
    EXPECT_EQ(frame.bytes.size(), kCommandFrameSize);
    reader.dropPartial();

    reader.setBlocksExpected(true);
    reader.feed(block.data(), block.size());
    ASSERT_TRUE(reader.next(frame));
    EXPECT_EQ(frame.kind, FrameReader::Kind::Block);
    EXPECT_EQ(frame.bytes, Bytes(block.begin(), block.end()));

    // Any other code stays a command frame.
    const CommandFrame release = commandFrame(kCodeRelease);
    reader.feed(release.data(), release.size());
    ASSERT_TRUE(reader.next(frame));
    EXPECT_EQ(frame.kind, FrameReader::Kind::Command);
}

TEST(FrameReaderTest, JunkRunsAreSkippedUpToTheNextFrameStart)
{
    FrameReader reader;
    const Bytes stream{0x00, 0xFF, 0x80, 0x2F, 0x40, 0x00, 0x12, 0x34};
    reader.feed(stream.data(), stream.size());
    FrameReader::Frame frame;
    ASSERT_TRUE(reader.next(frame));
    EXPECT_EQ(frame.kind, FrameReader::Kind::Junk);
    EXPECT_EQ(frame.bytes, (Bytes{0x00, 0xFF, 0x80}));
    ASSERT_TRUE(reader.next(frame));
    EXPECT_EQ(frame.kind, FrameReader::Kind::Slash);
    EXPECT_EQ(frame.bytes.size(), 5u); // count 0: header and CRC only
}

TEST(FrameReaderTest, DropPartialForgetsAnIncompleteFrame)
{
    FrameReader reader;
    const Bytes half{0x07, 0x00, 0x00};
    reader.feed(half.data(), half.size());
    FrameReader::Frame frame;
    EXPECT_FALSE(reader.next(frame));
    EXPECT_EQ(reader.dropPartial(), 3u);
    EXPECT_FALSE(reader.hasPartial());
}

// --- Advertisement text, stored names, pace -------------------------------------

TEST(AdvertisementText, ShortAndLongLengthFields)
{
    uint32_t length = 0;
    std::string name;
    ASSERT_TRUE(parseAdvertisement("001234APP.BIN", length, name));
    EXPECT_EQ(length, 1234u);
    EXPECT_EQ(name, "APP.BIN");
    ASSERT_TRUE(parseAdvertisement("1000000;BIG.BIN", length, name));
    EXPECT_EQ(length, 1000000u);
    EXPECT_EQ(name, "BIG.BIN");
    // A name with digits and a semicolon after a six-digit field.
    ASSERT_TRUE(parseAdvertisement("0000051;X", length, name));
    EXPECT_EQ(length, 5u);
    EXPECT_EQ(name, "1;X");
    EXPECT_FALSE(parseAdvertisement("001234", length, name));
    EXPECT_FALSE(parseAdvertisement("12AB56NAME", length, name));
    EXPECT_FALSE(parseAdvertisement("", length, name));
}

TEST(StoredNames, StayInsideTheFolder)
{
    EXPECT_EQ(storedFileName("APP.BIN"), "APP.BIN");
    EXPECT_EQ(storedFileName("../../etc/passwd"), ".._.._etc_passwd");
    EXPECT_EQ(storedFileName(".."), "_..");
    EXPECT_EQ(storedFileName(std::string("A\0B", 3)), "A_B");
}

TEST(LinePace, TenBitsPerByte)
{
    EXPECT_EQ(wireTime(160, 9600).count(), 166666); // block frame and its answer
    EXPECT_EQ(wireTime(64, 9600).count(), 66666);
    EXPECT_EQ(wireTime(1000, 0).count(), 0);
}

} // namespace
