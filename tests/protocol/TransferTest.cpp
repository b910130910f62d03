// File advertisement and block download over a scripted link.
#include "tests/support/ScriptedLink.h"

#include "protocol/CommandSet.h"

#include <gtest/gtest.h>

#include <numeric>

namespace {

using T = Event::Type;

Bytes done()
{
    return answer(kCodeDownload, kResultDone);
}
Bytes resend()
{
    return answer(kCodeDownload, kResultResend);
}

Bytes content(size_t length)
{
    Bytes data(length);
    for (size_t i = 0; i < length; ++i)
        data[i] = static_cast<uint8_t>(i * 31 + 7);
    return data;
}

class Transfer : public ::testing::Test {
protected:
    Journal journal;
    ScriptedLink link{journal};
    FakeClock clock{noting(journal)};
    CommandSet commands{link, clock};
    std::vector<int> progress;
    std::vector<std::string> debugLines;

    void SetUp() override
    {
        commands.setDebugLog([this](const std::string& line) { debugLines.push_back(line); });
    }

    bool download(const Bytes& data)
    {
        return commands.download(data.data(), static_cast<uint32_t>(data.size()),
                                 [this](int percent) { progress.push_back(percent); });
    }

    // The terminal accepts the start and every block, then confirms.
    void acceptAll(size_t blocks)
    {
        link.reply(done());
        for (size_t i = 0; i + 1 < blocks; ++i)
            link.reply(done());
        link.reply(std::vector<Bytes>{done(), done()});
    }

    std::vector<Bytes> blocksWritten() const
    {
        std::vector<Bytes> blocks;
        for (const auto& frame : writes(journal))
            if (frame.size() == kBlockFrameSize)
                blocks.push_back(frame);
        return blocks;
    }
};

// --- Advertisement --------------------------------------------------------------

TEST(LengthField, SixDigitsUpToOneMillionThenDigitsAndSemicolon)
{
    EXPECT_EQ(CommandSet::lengthField(0), "000000");
    EXPECT_EQ(CommandSet::lengthField(5), "000005");
    EXPECT_EQ(CommandSet::lengthField(1234), "001234");
    EXPECT_EQ(CommandSet::lengthField(999999), "999999");
    EXPECT_EQ(CommandSet::lengthField(1000000), "1000000;");
    EXPECT_EQ(CommandSet::lengthField(4294967295u), "4294967295;");
}

TEST_F(Transfer, AdvertisementOfTheWorkedExample)
{
    link.reply(answer(kCodeAdvertise, kResultDone));
    bool skip = true;
    EXPECT_TRUE(commands.advertise("APP.BIN", 1234, skip));
    EXPECT_FALSE(skip);
    Bytes expected{0x02, 0x0D, '0', '0', '1', '2', '3', '4', 'A', 'P', 'P', '.', 'B', 'I', 'N'};
    expected.resize(30, 0x00);
    expected.push_back(0xC5);
    expected.push_back(0x2B);
    EXPECT_EQ(writes(journal), std::vector<Bytes>{expected});
    EXPECT_EQ(types(journal), (std::vector<T>{T::Sleep, T::Clear, T::Write, T::ReadFull, T::Clear}));
    EXPECT_EQ(journal[0].value, kSettleMs);
}

TEST_F(Transfer, AdvertisementOfExactlyTwentyEightBytesIsSent)
{
    link.reply(answer(kCodeAdvertise, kResultDone)).reply(answer(kCodeAdvertise, kResultDone));
    bool skip = true;
    EXPECT_TRUE(commands.advertise(std::string(22, 'N'), 999999, skip));
    EXPECT_FALSE(skip);
    EXPECT_TRUE(commands.advertise(std::string(20, 'N'), 1000000, skip));
    EXPECT_FALSE(skip);
    const auto frames = writes(journal);
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0][kTextLengthOffset], 28);
    EXPECT_EQ(frames[1][kTextLengthOffset], 28);
    EXPECT_EQ(std::string(frames[1].begin() + 2, frames[1].begin() + 10), "1000000;");
}

TEST_F(Transfer, AdvertisementTooLongIsSkippedWithoutSending)
{
    bool skip = false;
    EXPECT_TRUE(commands.advertise(std::string(23, 'N'), 5, skip));
    EXPECT_TRUE(skip);
    skip = false;
    EXPECT_TRUE(commands.advertise(std::string(21, 'N'), 1000000, skip));
    EXPECT_TRUE(skip);
    EXPECT_TRUE(journal.empty());
}

TEST_F(Transfer, AdvertisementClearsTheSkipFlagOfAnEarlierFile)
{
    link.reply(answer(kCodeAdvertise, kResultResend));
    bool skip = true;
    EXPECT_FALSE(commands.advertise("APP.BIN", 1, skip));
    EXPECT_FALSE(skip);
}

// --- Download: frames and progress ----------------------------------------------

TEST_F(Transfer, DownloadOfOneFullBlock)
{
    const Bytes data = content(122);
    acceptAll(1);
    EXPECT_TRUE(download(data));
    const auto frames = writes(journal);
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0], toBytes(commandFrame(kCodeDownload)));
    EXPECT_EQ(frames[1][kBlockCountOffset], 122);
    EXPECT_TRUE(std::equal(data.begin(), data.end(), frames[1].begin() + kBlockDataOffset));
    EXPECT_EQ(progress, std::vector<int>{100});
    // Start: pause, clear, write, answer (no clear); block: write, answer (no
    // clear, the confirmation may be queued); confirmation: read 32 / 1000 ms, clear.
    EXPECT_EQ(types(journal),
              (std::vector<T>{T::Sleep, T::Clear, T::Write, T::ReadFull, T::Write, T::ReadFull, T::Read, T::Clear}));
    EXPECT_EQ(journal[0].value, kSettleMs);
    EXPECT_EQ(journal[6].value, kCommandFrameSize);
    EXPECT_EQ(journal[6].timeoutMs, kFinalConfirmationTimeoutMs);
}

TEST_F(Transfer, DownloadOf123BytesTakesTwoBlocks)
{
    const Bytes data = content(123);
    acceptAll(2);
    EXPECT_TRUE(download(data));
    const auto blocks = blocksWritten();
    ASSERT_EQ(blocks.size(), 2u);
    EXPECT_EQ(blocks[0][kBlockCountOffset], 122);
    EXPECT_EQ(blocks[1][kBlockCountOffset], 1);
    EXPECT_EQ(readBigEndian16(&blocks[0][kBlockNumberOffset]), 0);
    EXPECT_EQ(readBigEndian16(&blocks[1][kBlockNumberOffset]), 1);
    EXPECT_EQ(blocks[1][kBlockDataOffset], data[122]);
    EXPECT_EQ(blocks[1][kBlockDataOffset + 1], 0x00);
    EXPECT_EQ(progress, (std::vector<int>{99, 100}));
    // Cleared between blocks, not after the last one, and after the confirmation.
    EXPECT_EQ(types(journal), (std::vector<T>{T::Sleep, T::Clear, T::Write, T::ReadFull, T::Write, T::ReadFull,
                                              T::Clear, T::Write, T::ReadFull, T::Read, T::Clear}));
}

TEST_F(Transfer, ProgressOf300Bytes)
{
    acceptAll(3);
    EXPECT_TRUE(download(content(300)));
    EXPECT_EQ(progress, (std::vector<int>{40, 81, 100}));
    EXPECT_EQ(sleeps(journal), std::vector<uint32_t>{kSettleMs});
}

TEST_F(Transfer, EmptyFileGoesStraightToTheConfirmation)
{
    link.reply(std::vector<Bytes>{done(), done()});
    EXPECT_TRUE(download(Bytes{}));
    EXPECT_TRUE(blocksWritten().empty());
    EXPECT_TRUE(progress.empty());
    EXPECT_EQ(types(journal), (std::vector<T>{T::Sleep, T::Clear, T::Write, T::ReadFull, T::Read, T::Clear}));
}

TEST_F(Transfer, WorkedDataBlocks)
{
    // 258 full blocks, then "abc" as block 258.
    Bytes data = content(258 * 122);
    data.insert(data.end(), {0x61, 0x62, 0x63});
    acceptAll(259);
    EXPECT_TRUE(download(data));
    const auto blocks = blocksWritten();
    ASSERT_EQ(blocks.size(), 259u);
    const Bytes& last = blocks.back();
    EXPECT_EQ(Bytes(last.begin(), last.begin() + 7), (Bytes{0x04, 0x01, 0x02, 0x03, 0x61, 0x62, 0x63}));
    EXPECT_TRUE(std::all_of(last.begin() + 7, last.begin() + 126, [](uint8_t b) { return b == 0; }));
    EXPECT_EQ(last[126], 0x6C);
    EXPECT_EQ(last[127], 0xF1);

    journal.clear();
    acceptAll(1);
    EXPECT_TRUE(download(Bytes{0x61, 0x62, 0x63}));
    const Bytes first = blocksWritten().at(0);
    EXPECT_EQ(Bytes(first.begin(), first.begin() + 7), (Bytes{0x04, 0x00, 0x00, 0x03, 0x61, 0x62, 0x63}));
    EXPECT_EQ(first[126], 0xEF);
    EXPECT_EQ(first[127], 0xA3);
}

TEST_F(Transfer, BlockNumberWrapsAfter65535)
{
    const size_t blocks = 65537;
    acceptAll(blocks);
    EXPECT_TRUE(download(content(blocks * 122)));
    const auto written = blocksWritten();
    ASSERT_EQ(written.size(), blocks);
    EXPECT_EQ(readBigEndian16(&written[65535][kBlockNumberOffset]), 65535);
    EXPECT_EQ(readBigEndian16(&written[65536][kBlockNumberOffset]), 0);
    EXPECT_EQ(progress.back(), 100);
}

// --- Download: resend requests --------------------------------------------------

TEST_F(Transfer, BlockSentAgainAfterTwoResendRequests)
{
    link.reply(done()).reply(resend()).reply(resend()).reply(done());
    link.reply(std::vector<Bytes>{done(), done()});
    EXPECT_TRUE(download(content(200)));
    const auto blocks = blocksWritten();
    ASSERT_EQ(blocks.size(), 4u);
    EXPECT_EQ(blocks[1], blocks[0]);
    EXPECT_EQ(blocks[2], blocks[0]);
    EXPECT_EQ(readBigEndian16(&blocks[0][kBlockNumberOffset]), 0);
    EXPECT_EQ(readBigEndian16(&blocks[3][kBlockNumberOffset]), 1);
    EXPECT_EQ(progress, (std::vector<int>{61, 100}));
    // Each repetition: pause 200 ms, clear, same frame.
    EXPECT_EQ(types(journal), (std::vector<T>{T::Sleep, T::Clear, T::Write, T::ReadFull,   // start
                                              T::Write, T::ReadFull, T::Sleep, T::Clear,   // block 0, resend
                                              T::Write, T::ReadFull, T::Sleep, T::Clear,   // block 0, resend
                                              T::Write, T::ReadFull, T::Clear,             // block 0 accepted
                                              T::Write, T::ReadFull, T::Read, T::Clear})); // block 1, confirmation
    EXPECT_EQ(sleeps(journal), (std::vector<uint32_t>{kSettleMs, kResendPauseMs, kResendPauseMs}));
}

TEST_F(Transfer, ResendRequestsUpToTheBoundAreHonoured)
{
    link.reply(done());
    for (int i = 0; i < kMaxResendRequests; ++i)
        link.reply(resend());
    link.reply(std::vector<Bytes>{done(), done()});
    EXPECT_TRUE(download(content(10)));
    EXPECT_EQ(blocksWritten().size(), static_cast<size_t>(kMaxResendRequests + 1));
}

TEST_F(Transfer, ResendRequestBeyondTheBoundFails)
{
    link.reply(done());
    for (int i = 0; i <= kMaxResendRequests; ++i)
        link.reply(resend());
    link.reply(std::vector<Bytes>{done(), done()});
    EXPECT_FALSE(download(content(10)));
    EXPECT_EQ(blocksWritten().size(), static_cast<size_t>(kMaxResendRequests + 1));
    EXPECT_TRUE(progress.empty());
}

TEST_F(Transfer, ResendCountStartsAgainForEveryBlock)
{
    link.reply(done());
    for (int block = 0; block < 2; ++block) {
        for (int i = 0; i < kMaxResendRequests; ++i)
            link.reply(resend());
        link.reply(block == 0 ? std::vector<Bytes>{done()} : std::vector<Bytes>{done(), done()});
    }
    EXPECT_TRUE(download(content(200)));
}

// --- Download: final confirmation -----------------------------------------------

TEST_F(Transfer, ConfirmationWithWrongCrcIsLoggedAndAccepted)
{
    link.reply(done()).reply(std::vector<Bytes>{done(), withBadCrc(done())});
    EXPECT_TRUE(download(content(50)));
    EXPECT_EQ(debugLines, std::vector<std::string>{"CRC fails: 32"});
    EXPECT_EQ(journal.back().type, T::Clear);
}

TEST_F(Transfer, ConfirmationWithWrongCrcAndWrongResultFails)
{
    link.reply(done()).reply(std::vector<Bytes>{done(), withBadCrc(answer(kCodeDownload, 0x00))});
    EXPECT_FALSE(download(content(50)));
    EXPECT_EQ(debugLines.size(), 1u);
}

TEST_F(Transfer, ConfirmationArrivingInPartIsJudgedByItsLeadingBytes)
{
    // The missing bytes read as zeros: the CRC fails, which is only logged.
    link.reply(done()).reply(std::vector<Bytes>{done(), firstPart(done(), 20)});
    EXPECT_TRUE(download(content(50)));
    EXPECT_EQ(debugLines, std::vector<std::string>{"CRC fails: 20"});
}

TEST_F(Transfer, MissingConfirmationFails)
{
    link.reply(done()).reply(done());
    EXPECT_FALSE(download(content(50)));
    EXPECT_EQ(progress, std::vector<int>{100});
    EXPECT_FALSE(clearedAfterReading(journal));
}

TEST_F(Transfer, ConfirmationMustSayDone)
{
    link.reply(done()).reply(std::vector<Bytes>{done(), resend()});
    EXPECT_FALSE(download(content(50)));
}

// --- Download: failures ---------------------------------------------------------

TEST_F(Transfer, RefusedOrDamagedStartSendsNoBlock)
{
    for (const Bytes& start :
         {answer(kCodeDownload, 0x00), withBadCrc(done()), answer(kCodeActivate, kResultDone), firstPart(done(), 31)}) {
        journal.clear();
        link.reply(start);
        EXPECT_FALSE(download(content(50)));
        EXPECT_TRUE(blocksWritten().empty());
    }
    journal.clear();
    link.failWrite();
    EXPECT_FALSE(download(content(50)));
    EXPECT_EQ(types(journal), (std::vector<T>{T::Sleep, T::Clear, T::Write}));
}

TEST_F(Transfer, BadBlockAnswerStopsAfterTheLastAcceptedBlock)
{
    for (const Bytes& bad : {answer(kCodeDownload, 0x00), withBadCrc(done()), answerStarting({0x05, 0x01, 0x55}),
                             answerStarting({0x04, 0x00, 0x55})}) {
        journal.clear();
        progress.clear();
        link.reply(done()).reply(done()).reply(bad);
        EXPECT_FALSE(download(content(300)));
        EXPECT_EQ(blocksWritten().size(), 2u);
        EXPECT_EQ(progress, std::vector<int>{40});
    }
}

TEST_F(Transfer, SilentTerminalOrFailedWriteDuringTheBlocksFails)
{
    link.reply(done()).reply(done()); // block 1 gets no answer
    EXPECT_FALSE(download(content(300)));
    EXPECT_EQ(blocksWritten().size(), 2u);

    journal.clear();
    link.reply(done()).failWrite();
    EXPECT_FALSE(download(content(300)));
    EXPECT_EQ(types(journal), (std::vector<T>{T::Sleep, T::Clear, T::Write, T::ReadFull, T::Write}));
}

} // namespace
