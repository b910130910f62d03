// configuration.xml and its hterm files as an attacker or an accident may
// shape them. The reading must end, stay within a memory bound proportional
// to the file, never open anything outside the configuration folder, and
// either refuse the file or read it as the format says.
#include "ChildProcess.h"
#include "Configuration.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const QByteArray kSignature = "<signature>" + QByteArray(342, 'A') + "==</signature>";

// A folder holding a "configuration" sub-folder, so that a name can climb
// out of the configuration folder into a place the test controls.
class Site {
public:
    Site() { EXPECT_TRUE(QDir(root_.path()).mkdir(QStringLiteral("configuration"))); }

    QString root() const { return root_.path() + QLatin1Char('/'); }
    QString folder() const { return root() + QStringLiteral("configuration/"); }

    void write(const QString& relative, const QByteArray& bytes) const
    {
        QFile file(folder() + relative);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate)) << qPrintable(file.fileName());
        ASSERT_EQ(file.write(bytes), bytes.size());
    }

    bool load(Configuration& configuration, const QByteArray& xml) const
    {
        write(QStringLiteral("configuration.xml"), xml);
        configuration.setDirectory(folder());
        return configuration.load();
    }

private:
    QTemporaryDir root_;
};

QByteArray wrap(const QByteArray& children)
{
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<configuration>\n" + children + "\n" + kSignature
        + "\n</configuration>\n";
}

// A well-formed hterm container: plain length 5, one block of body. Its
// content does not matter to the reading, only its framing.
QByteArray htermFile(int bodyBlocks = 1)
{
    return QByteArray("\0\0\0\5", 4) + QByteArray(16 * bodyBlocks, '\x42');
}

const char* const kEscapes[] = {"../../etc/passwd", "../outside.hterm", "sub/../../outside.hterm", "..",
                                "./../configuration2/x"};

} // namespace

// ---------------------------------------------------------------- names that leave the folder

TEST(HostileNames, HtermNamesThatLeaveTheFolderAreNeverOpened)
{
    for (const char* name : kEscapes) {
        Site site;
        // A perfectly readable hterm file sits where the name leads.
        QFile outside(site.root() + QStringLiteral("outside.hterm"));
        ASSERT_TRUE(outside.open(QIODevice::WriteOnly));
        outside.write(htermFile());
        outside.close();

        Configuration configuration;
        EXPECT_FALSE(site.load(configuration, wrap("<hterm>" + QByteArray(name) + "</hterm>"))) << name;
        EXPECT_TRUE(configuration.hterminals().isEmpty()) << name;
    }
}

TEST(HostileNames, PictureAndPackageNamesThatLeaveTheFolderFailTheLoad)
{
    for (const char* name : kEscapes) {
        Site site;
        Configuration picture;
        EXPECT_FALSE(site.load(picture, wrap("<terminal><image>" + QByteArray(name) + "</image></terminal>")))
            << name;
        Configuration package;
        EXPECT_FALSE(site.load(package, wrap("<batch id=\"1\"><file>" + QByteArray(name) + "</file></batch>")))
            << name;
    }
}

TEST(HostileNames, OneBadNameAmongGoodOnesFailsTheWholeFile)
{
    Site site;
    Configuration configuration;
    EXPECT_FALSE(site.load(configuration, wrap("<batch id=\"1\"><file>A.BIN</file><file>../B.BIN</file>"
                                               "<file>C.BIN</file></batch>")));
}

TEST(HostileNames, NamesThatStayInsideAreReadAsWritten)
{
    Site site;
    ASSERT_TRUE(QDir(site.folder()).mkdir(QStringLiteral("sub")));
    site.write(QStringLiteral("sub/record.hterm"), htermFile());
    site.write(QStringLiteral("top.hterm"), htermFile());
    Configuration configuration;
    ASSERT_TRUE(site.load(configuration, wrap("<terminal><image>pics/t.png</image></terminal>"
                                              "<hterm>sub/record.hterm</hterm><hterm>sub/../top.hterm</hterm>"
                                              "<batch id=\"1\"><file>sub/../A.BIN</file><file></file></batch>")));
    EXPECT_EQ(configuration.hterminals().size(), 2);
    EXPECT_EQ(configuration.terminalImage(), site.folder() + QStringLiteral("pics/t.png"));
    ASSERT_EQ(configuration.batches().size(), 1);
    ASSERT_EQ(configuration.batches()[0]->applications.size(), 2);
    EXPECT_EQ(configuration.batches()[0]->applications[0]->file, site.folder() + QStringLiteral("sub/../A.BIN"));
    // An empty name is the folder itself: kept as written, as the format says.
    EXPECT_EQ(configuration.batches()[0]->applications[1]->file, site.folder());
}

// ---------------------------------------------------------------- hterm files that are not files

TEST(HostileHterm, EndlessDeviceBehindALinkIsNotRead)
{
    // Read whole, /dev/zero would never end.
    Site site;
    ASSERT_EQ(symlink("/dev/zero", qPrintable(site.folder() + QStringLiteral("zero.hterm"))), 0);
    site.write(QStringLiteral("good.hterm"), htermFile());
    Configuration configuration;
    ASSERT_TRUE(site.load(configuration, wrap("<hterm>zero.hterm</hterm><hterm>good.hterm</hterm>")));
    EXPECT_EQ(configuration.hterminals().size(), 1);
}

TEST(HostileHterm, PipeWithoutWriterIsNotOpened)
{
    // Opening a pipe for reading waits for a writer that never comes.
    Site site;
    ASSERT_EQ(mkfifo(qPrintable(site.folder() + QStringLiteral("pipe.hterm")), 0600), 0);
    Configuration configuration;
    ASSERT_TRUE(site.load(configuration, wrap("<hterm>pipe.hterm</hterm>")));
    EXPECT_TRUE(configuration.hterminals().isEmpty());
}

TEST(HostileHterm, OversizedFileIsRefusedEvenWhenWellFormed)
{
    Site site;
    site.write(QStringLiteral("big.hterm"), htermFile(8 * 1024));   // 128 KiB of body for a 5-byte record
    site.write(QStringLiteral("fits.hterm"), htermFile(64));
    Configuration configuration;
    ASSERT_TRUE(site.load(configuration, wrap("<hterm>big.hterm</hterm><hterm>fits.hterm</hterm>")));
    EXPECT_EQ(configuration.hterminals().size(), 1);
}

// ---------------------------------------------------------------- size, depth, expansion

namespace {

constexpr long kMb = 1024;   // ru_maxrss counts kilobytes

// Loads `xml` in a child process; the child's exit code says whether the
// model came out as `expect` wants (0) or not (1), or that load() failed (2).
ChildResult loadInChild(const QByteArray& xml, const std::function<bool(const Configuration&)>& expect)
{
    Site site;
    site.write(QStringLiteral("configuration.xml"), xml);
    const QString folder = site.folder();
    return runInChild([&] {
        Configuration configuration;
        configuration.setDirectory(folder);
        if (!configuration.load())
            return 2;
        configuration.checkSignature();
        return expect(configuration) ? 0 : 1;
    });
}

void expectBounded(const ChildResult& result, long boundKb)
{
    ASSERT_TRUE(result.exited);
    EXPECT_EQ(result.exitCode, 0);
    std::printf("peak resident size %ld MB\n", result.peakRssKb / kMb);
    if (!underSanitizer()) {
        EXPECT_LT(result.peakRssKb, boundKb);
    }
}

QByteArray paddedConfiguration(qsizetype paddingBytes)
{
    QByteArray xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<configuration>\n"
                     "<operation><title>T</title></operation>\n<!-- ";
    xml.reserve(paddingBytes + 1024);
    const QByteArray line = QByteArray(99, 'x') + '\n';
    while (xml.size() < paddingBytes)
        xml += line;
    xml += " -->\n<batch id=\"1\"><file>A.BIN</file></batch>\n" + kSignature + "\n</configuration>\n";
    return xml;
}

} // namespace

TEST(HostileSize, HundredMegabyteFileIsReadWithinFourTimesItsSize)
{
    const qsizetype size = 100 * 1024 * 1024;
    const ChildResult result = loadInChild(paddedConfiguration(size), [](const Configuration& c) {
        return c.operationTitle() == QLatin1String("T") && c.batches().size() == 1 && c.signature.size() == 344
               && !c.checkSignature();
    });
    expectBounded(result, 4 * (size / 1024) + 64 * kMb);
}

TEST(HostileSize, HugeTextIsKeptAsWrittenWithinItsOwnSizeBound)
{
    // The text of a value is used as written, whatever its length: 32 MB of
    // title become a 32-million-character title (64 MB of UTF-16).
    const qsizetype length = 32 * 1024 * 1024;
    const QByteArray xml = "<configuration><operation><title>" + QByteArray(length, 't') + "</title></operation>"
                           + kSignature + "</configuration>";
    const ChildResult result = loadInChild(xml, [length](const Configuration& c) {
        return c.operationTitle().size() == length;
    });
    expectBounded(result, 8 * (length / 1024) + 64 * kMb);
}

TEST(HostileSize, HugeSignatureTextIsNotASignature)
{
    const qsizetype length = 32 * 1024 * 1024;
    const QByteArray xml = "<configuration><signature>" + QByteArray(length, 'A') + "</signature></configuration>";
    const ChildResult result = loadInChild(xml, [length](const Configuration& c) {
        return c.signature.size() == length && !c.checkSignature();
    });
    expectBounded(result, 8 * (length / 1024) + 64 * kMb);
}

TEST(HostileSize, MillionNestedElementsStopTheWalkEarly)
{
    QByteArray xml = "<configuration><operation><title>before</title></operation>";
    xml.reserve(3 * 1000 * 1000 + 256);
    for (int i = 0; i < 1000 * 1000; ++i)
        xml += "<a>";
    const ChildResult result = loadInChild(xml, [](const Configuration& c) {
        return c.operationTitle() == QLatin1String("before") && c.batches().isEmpty();
    });
    expectBounded(result, 128 * kMb);
}

TEST(HostileSize, BillionLaughsExpandNothing)
{
    // Ten levels of ten references: 10^9 copies of "lol" if expanded.
    QByteArray xml = "<?xml version=\"1.0\"?>\n<!DOCTYPE lolz [\n<!ENTITY lol \"lol\">\n";
    for (int level = 1; level <= 9; ++level) {
        xml += "<!ENTITY lol" + QByteArray::number(level) + " \"";
        for (int i = 0; i < 10; ++i)
            xml += "&lol" + (level > 1 ? QByteArray::number(level - 1) : QByteArray()) + ";";
        xml += "\">\n";
    }
    xml += "]>\n<configuration><operation><title>&lol9;</title></operation>"
           "<batch id=\"1\"><file>A.BIN</file></batch>"
        + kSignature + "</configuration>";
    const ChildResult result = loadInChild(xml, [](const Configuration& c) {
        return c.operationTitle().isEmpty() && c.batches().isEmpty() && c.signature.size() == 344;
    });
    expectBounded(result, 128 * kMb);
}

TEST(HostileSize, ExternalEntityIsNeverFetched)
{
    const QByteArray xml = "<?xml version=\"1.0\"?>\n<!DOCTYPE c [<!ENTITY x SYSTEM \"file:///etc/passwd\">]>\n"
                           "<configuration><operation><title>&x;</title></operation>"
        + kSignature + "</configuration>";
    Site site;
    Configuration configuration;
    ASSERT_TRUE(site.load(configuration, xml));
    EXPECT_TRUE(configuration.operationTitle().isEmpty());
}
