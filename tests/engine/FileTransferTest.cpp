// Advertisement and download of one package file through the Model: the
// advertised text, the blocks and the content the terminal receives, the
// progress of the module bar, and the refusal of damaged packages.
#include "tests/engine/EngineFixture.h"
#include "tests/engine/Package.h"

#include "protocol/Frames.h"

#include <sys/resource.h>
#include <sys/stat.h>

namespace {

class FileTransfer : public EngineTest {
protected:
    // A package that the terminal has agreed to receive.
    Application* advertised(const QString& name, const QByteArray& content)
    {
        Application* file = addFile(addBatch(), name, content);
        bool skip = true;
        EXPECT_TRUE(model->sendInfo(file, skip));
        EXPECT_FALSE(skip);
        return file;
    }
    Application* advertised(const QString& name, int size) { return advertised(name, patternContent(size)); }
};

std::vector<uint8_t> bytes(const QByteArray& data)
{
    return {data.begin(), data.end()};
}

} // namespace

TEST_F(FileTransfer, AdvertisesLengthFieldAndUpperCaseName)
{
    advertised(QStringLiteral("app.bin"), 1234);
    EXPECT_EQ(terminal.events, std::vector<std::string>{"advertise 001234APP.BIN"});
    EXPECT_EQ(log.count(QStringLiteral("Model::sendInfo advertise file APP.BIN of size 1234")), 1);
    EXPECT_EQ(clock->count(kSettleMs), 1);
}

TEST_F(FileTransfer, LengthOfSevenDigitsEndsWithSemicolon)
{
    advertised(QStringLiteral("big.bin"), 1000000);
    EXPECT_EQ(terminal.events, std::vector<std::string>{"advertise 1000000;BIG.BIN"});
}

TEST_F(FileTransfer, NameGoesOnTheWireInLatin1)
{
    advertised(QString::fromUtf8("café.bin"), 5);
    EXPECT_EQ(terminal.events, std::vector<std::string>{"advertise 000005CAF\xC9.BIN"});
    // The log shows the name itself, not its Latin-1 bytes.
    EXPECT_EQ(log.count(QString::fromUtf8("Model::sendInfo advertise file CAFÉ.BIN of size 5")), 1);
}

TEST_F(FileTransfer, TextBeyondTheFrameIsSkippedWithoutAnyExchange)
{
    // Seven-digit length field and a 21-character name: 29 bytes.
    Application* file = addFile(addBatch(), QStringLiteral("abcdefghijklmnopq.bin"), 1000000);
    bool skip = false;
    ASSERT_TRUE(model->sendInfo(file, skip));
    EXPECT_TRUE(skip);
    EXPECT_TRUE(terminal.events.empty());
    EXPECT_TRUE(clock->sleeps.empty());
    EXPECT_EQ(log.count(QStringLiteral("Model::sendInfo file name + file length + head > 32 : SKIP! ")), 1);
}

TEST_F(FileTransfer, DownloadDeliversThePlainContent)
{
    for (int size : {0, 1, 121, 122, 123, 244, 245, 1000}) {
        terminal.received.clear();
        terminal.blockNumbers.clear();
        const QByteArray content = patternContent(size, 'k');
        Application* file = advertised(QStringLiteral("f%1.bin").arg(size), content);
        ASSERT_TRUE(model->downloadFile(file)) << size;
        const std::string name = QStringLiteral("F%1.BIN").arg(size).toStdString();
        EXPECT_EQ(terminal.received[name], bytes(content)) << size;
        const size_t blocks = (static_cast<size_t>(size) + kMaxBlockPayload - 1) / kMaxBlockPayload;
        ASSERT_EQ(terminal.blockNumbers.size(), blocks) << size;
        for (size_t i = 0; i < blocks; ++i)
            EXPECT_EQ(terminal.blockNumbers[i], i);
    }
}

TEST_F(FileTransfer, ProgressFollowsTheAcceptedBlocks)
{
    Application* file = advertised(QStringLiteral("dir/app.bin"), 300);
    ASSERT_TRUE(model->downloadFile(file));
    const QString status = QString::fromUtf8("Téléchargement du fichier : APP.BIN");
    EXPECT_EQ(modules, (std::vector<Progress>{{status, 0}, {status, 40}, {status, 81}, {status, 100}}));
}

TEST_F(FileTransfer, ResentBlockKeepsItsNumber)
{
    const QByteArray content = patternContent(200);
    Application* file = advertised(QStringLiteral("app.bin"), content);
    terminal.resendsOfFirstBlock = 2;
    ASSERT_TRUE(model->downloadFile(file));
    EXPECT_EQ(terminal.blockNumbers, (std::vector<uint16_t>{0, 0, 0, 1}));
    EXPECT_EQ(terminal.received["APP.BIN"], bytes(content));
}

TEST_F(FileTransfer, FinalConfirmationWithWrongCrcIsLoggedAndAccepted)
{
    Application* file = advertised(QStringLiteral("app.bin"), 10);
    terminal.badFinalCrc = true;
    EXPECT_TRUE(model->downloadFile(file));
    EXPECT_EQ(log.count(QStringLiteral("CRC fails: 32")), 1);
}

TEST_F(FileTransfer, FailedDownloadReportsFalse)
{
    Application* file = advertised(QStringLiteral("app.bin"), 300);
    terminal.failedDownloads["APP.BIN"] = 1;
    EXPECT_FALSE(model->downloadFile(file));
    EXPECT_EQ(terminal.blockNumbers, std::vector<uint16_t>{0});
}

// ---------------------------------------------------------------- damaged packages

namespace {

struct DamagedPackage {
    const char* name;
    QByteArray (*bytes)();
};

void PrintTo(const DamagedPackage& damaged, std::ostream* os)
{
    *os << damaged.name;
}

QByteArray header(uint32_t length)
{
    QByteArray bytes;
    for (int shift = 24; shift >= 0; shift -= 8)
        bytes.append(static_cast<char>((length >> shift) & 0xFF));
    return bytes;
}

const DamagedPackage kDamaged[] = {
    {"Empty", [] { return QByteArray(); }},
    {"ShorterThanItsHeader", [] { return QByteArray("\0\0\0", 3); }},
    {"HeaderOnly", [] { return header(0); }},
    {"PartialBlock", [] { return makePackage(patternContent(20)).left(4 + 24); }},
    {"LengthBeyondBody", [] { return header(33) + makePackage(patternContent(20)).mid(4); }},
};

class Damaged : public EngineTest, public ::testing::WithParamInterface<DamagedPackage> {};

} // namespace

TEST_P(Damaged, PackageIsRefusedBeforeAnythingIsSent)
{
    const QString path = dir.filePath(QStringLiteral("damaged.bin"));
    ASSERT_TRUE(writeFile(path, GetParam().bytes()));
    Application* file = addEntry(addBatch(), path);

    bool skip = true;
    EXPECT_FALSE(model->sendInfo(file, skip));
    EXPECT_FALSE(skip);
    EXPECT_FALSE(model->downloadFile(file));
    EXPECT_TRUE(terminal.events.empty());
}

INSTANTIATE_TEST_SUITE_P(Packages, Damaged, ::testing::ValuesIn(kDamaged),
                         [](const ::testing::TestParamInfo<DamagedPackage>& info) {
                             return std::string(info.param.name);
                         });

TEST_F(FileTransfer, PackageRemovedBetweenAdvertisementAndDownloadFailsTheDownload)
{
    Application* file = advertised(QStringLiteral("app.bin"), 10);
    ASSERT_TRUE(QFile::remove(file->file));
    EXPECT_FALSE(model->downloadFile(file));
    EXPECT_FALSE(terminal.contains("download APP.BIN"));
}

// A package that is not a regular file would block the update for ever (a
// FIFO nobody writes) or stream without end (a device): it fails the
// advertisement at once, and the download too.
TEST_F(FileTransfer, PackageThatIsNotARegularFileIsRefusedAtOnce)
{
    const QString fifo = dir.filePath(QStringLiteral("fifo.bin"));
    ASSERT_EQ(mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    for (const QString& path : {fifo, dir.path(), QStringLiteral("/dev/zero")}) {
        SCOPED_TRACE(path.toStdString());
        Application* file = addEntry(addBatch(), path);
        bool skip = true;
        EXPECT_FALSE(model->sendInfo(file, skip));
        EXPECT_FALSE(model->downloadFile(file));
    }
    EXPECT_TRUE(terminal.events.empty());
}

// A package far larger than the memory the process may take is streamed
// block by block: the advertisement and the first blocks go out, and a
// failing download is an ordinary failure, not an abort for lack of memory.
#if defined(__SANITIZE_ADDRESS__)
#define MIRDAL_ADDRESS_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define MIRDAL_ADDRESS_SANITIZER 1
#endif
#endif

TEST_F(FileTransfer, HugePackageIsStreamedWithinAMemoryCap)
{
#ifdef MIRDAL_ADDRESS_SANITIZER
    GTEST_SKIP() << "AddressSanitizer's shadow memory alone is above any address-space cap";
#endif
    constexpr qint64 kBody = qint64(3) << 30; // 3 GiB, sparse on disk
    const QString path = dir.filePath(QStringLiteral("huge.bin"));
    {
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(header(static_cast<uint32_t>(kBody)));
        ASSERT_TRUE(file.resize(4 + kBody));
    }
    Application* file = addEntry(addBatch(), path);
    terminal.failedDownloads["HUGE.BIN"] = 1;
    const auto underTheCap = [&] {
        const rlimit cap{rlim_t(1) << 30, rlim_t(1) << 30}; // 1 GiB of address space
        setrlimit(RLIMIT_AS, &cap);
        bool skip = true;
        const bool advertisedOk = model->sendInfo(file, skip) && !skip;
        const bool downloaded = model->downloadFile(file);
        std::exit(advertisedOk && !downloaded && terminal.blockNumbers == std::vector<uint16_t>{0} ? 0 : 1);
    };
    EXPECT_EXIT(underTheCap(), ::testing::ExitedWithCode(0), "");
}
