// configuration.xml and its hterm files as an attacker or an accident may
// shape them. The reading must end, stay within a memory bound proportional
// to the file, never open anything outside the configuration folder, and
// either refuse the file or read it as the format says.
#include "tests/support/ChildProcess.h"
#include "config/Configuration.h"
#include "tests/support/SignedConfiguration.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <csignal>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <thread>
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
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<configuration>\n" + children + "\n" + kSignature +
           "\n</configuration>\n";
}

// Signed with the build's key: a configuration whose named files the program reads.
QByteArray signedWrap(const QByteArray& children)
{
    return signedWith(wrap(children), buildSigningKey().key);
}

// What a load in a child process came to, within `seconds` (a child that
// blocks is ended by its alarm, and the test fails instead of hanging).
enum LoadOutcome { Refused = 2, LoadedUnsigned = 3, LoadedSigned = 4 };

ChildResult loadInChildWithin(const QString& folder, unsigned seconds, const std::function<void()>& before = {})
{
    return runInChild([&] {
        alarm(seconds);
        std::signal(SIGPIPE, SIG_IGN);
        if (before)
            before();
        Configuration configuration;
        configuration.setDirectory(folder);
        if (!configuration.load())
            return int(Refused);
        return int(configuration.checkSignature() ? LoadedSigned : LoadedUnsigned);
    });
}

// Writes each of `versions` to the pipe `path`, one for each reader that opens it.
void servePipe(const QString& path, const std::vector<QByteArray>& versions)
{
    std::thread([path = QFile::encodeName(path), versions] {
        for (const QByteArray& bytes : versions) {
            const int fd = ::open(path.constData(), O_WRONLY);
            if (fd < 0)
                return;
            if (::write(fd, bytes.constData(), size_t(bytes.size())) < 0) {
                // The reader went away without reading: nothing more to serve.
            }
            ::close(fd);
        }
    }).detach();
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
        EXPECT_FALSE(site.load(picture, wrap("<terminal><image>" + QByteArray(name) + "</image></terminal>"))) << name;
        Configuration package;
        EXPECT_FALSE(site.load(package, wrap("<batch id=\"1\"><file>" + QByteArray(name) + "</file></batch>"))) << name;
    }
}

TEST(HostileNames, OneBadNameAmongGoodOnesFailsTheWholeFile)
{
    Site site;
    Configuration configuration;
    EXPECT_FALSE(site.load(configuration, wrap("<batch id=\"1\"><file>A.BIN</file><file>../B.BIN</file>"
                                               "<file>C.BIN</file></batch>")));
}

TEST(HostileNames, NamesThatLeaveTheFolderThroughALinkAreNeverOpened)
{
    REQUIRE_SIGNING_KEY();
    // Outside the folder, a pipe that nobody writes (opening it would block)
    // and a perfectly readable hterm file (reading it would add an entry).
    const char* const targets[] = {"outside.fifo", "outside.hterm"};
    const char* const elements[] = {"<hterm>%1</hterm>", "<terminal><image>%1</image></terminal>",
                                    "<batch id=\"1\"><file>%1</file></batch>"};
    for (const char* target : targets) {
        for (const bool throughRoot : {true, false}) {
            for (const char* element : elements) {
                Site site;
                ASSERT_EQ(mkfifo(qPrintable(site.root() + QStringLiteral("outside.fifo")), 0600), 0);
                QFile outside(site.root() + QStringLiteral("outside.hterm"));
                ASSERT_TRUE(outside.open(QIODevice::WriteOnly));
                outside.write(htermFile());
                outside.close();
                // "root" links to "/", or the named file itself links outside.
                QString name;
                if (throughRoot) {
                    ASSERT_EQ(symlink("/", qPrintable(site.folder() + QStringLiteral("root"))), 0);
                    name = QStringLiteral("root") + site.root() + QLatin1String(target);
                } else {
                    name = QStringLiteral("record.hterm");
                    ASSERT_EQ(
                        symlink(qPrintable(site.root() + QLatin1String(target)), qPrintable(site.folder() + name)), 0);
                }
                site.write(QStringLiteral("configuration.xml"),
                           signedWrap(QString::fromLatin1(element).arg(name).toUtf8()));
                const ChildResult result = loadInChildWithin(site.folder(), 10);
                EXPECT_TRUE(result.exited) << target << " " << element << ": blocked opening it";
                EXPECT_EQ(result.exitCode, Refused) << target << " " << element << " via " << qPrintable(name);
            }
        }
    }
}

TEST(HostileNames, NamesThatStayInsideAreReadAsWritten)
{
    REQUIRE_SIGNING_KEY();
    Site site;
    ASSERT_TRUE(QDir(site.folder()).mkdir(QStringLiteral("sub")));
    site.write(QStringLiteral("sub/record.hterm"), htermFile());
    site.write(QStringLiteral("top.hterm"), htermFile());
    ASSERT_EQ(symlink("sub/record.hterm", qPrintable(site.folder() + QStringLiteral("alias.hterm"))), 0);
    Configuration configuration;
    ASSERT_TRUE(site.load(configuration, signedWrap("<terminal><image>pics/t.png</image></terminal>"
                                                    "<hterm>sub/record.hterm</hterm><hterm>sub/../top.hterm</hterm>"
                                                    "<hterm>alias.hterm</hterm>"
                                                    "<batch id=\"1\"><file>sub/../A.BIN</file><file></file></batch>")));
    EXPECT_EQ(configuration.hterminals().size(), 3);
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
    REQUIRE_SIGNING_KEY();
    // Read whole, /dev/zero would never end; the link leads out of the
    // folder, which refuses the configuration.
    Site site;
    ASSERT_EQ(symlink("/dev/zero", qPrintable(site.folder() + QStringLiteral("zero.hterm"))), 0);
    site.write(QStringLiteral("good.hterm"), htermFile());
    Configuration configuration;
    EXPECT_FALSE(site.load(configuration, signedWrap("<hterm>zero.hterm</hterm><hterm>good.hterm</hterm>")));
    EXPECT_EQ(configuration.hterminals().size(), 1);
}

TEST(HostileHterm, PipeWithoutWriterIsNotOpened)
{
    // Opening a pipe for reading waits for a writer that never comes.
    REQUIRE_SIGNING_KEY();
    Site site;
    ASSERT_EQ(mkfifo(qPrintable(site.folder() + QStringLiteral("pipe.hterm")), 0600), 0);
    Configuration configuration;
    ASSERT_TRUE(site.load(configuration, signedWrap("<hterm>pipe.hterm</hterm>")));
    EXPECT_TRUE(configuration.hterminals().isEmpty());
}

TEST(HostileHterm, OversizedFileIsRefusedEvenWhenWellFormed)
{
    REQUIRE_SIGNING_KEY();
    Site site;
    site.write(QStringLiteral("big.hterm"), htermFile(8 * 1024)); // 128 KiB of body for a 5-byte record
    site.write(QStringLiteral("fits.hterm"), htermFile(64));
    Configuration configuration;
    ASSERT_TRUE(site.load(configuration, signedWrap("<hterm>big.hterm</hterm><hterm>fits.hterm</hterm>")));
    EXPECT_EQ(configuration.hterminals().size(), 1);
}

// ---------------------------------------------------------------- size, depth, expansion

namespace {

constexpr long kMb = 1024; // ru_maxrss counts kilobytes

// Loads `xml` in a child process; the child's exit code says whether the
// model came out as `expect` wants (0) or not (1), or that load() failed (2).
ChildResult loadInChild(const QByteArray& xml, const std::function<bool(const Configuration&)>& expect)
{
    Site site;
    site.write(QStringLiteral("configuration.xml"), xml);
    const QString folder = site.folder();
    return runInChild([&] {
        alarm(60);
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

TEST(HostileSize, HundredMegabyteFileIsRefusedUnread)
{
    // The 100 MB are written and let go before the child starts, so that its
    // peak counts only what the reading takes.
    Site site;
    site.write(QStringLiteral("configuration.xml"), paddedConfiguration(100 * 1024 * 1024));
    const ChildResult result = loadInChildWithin(site.folder(), 60);
    ASSERT_TRUE(result.exited);
    EXPECT_EQ(result.exitCode, Refused);
    std::printf("peak resident size %ld MB\n", result.peakRssKb / kMb);
    if (!underSanitizer()) {
        EXPECT_LT(result.peakRssKb, 64 * kMb);
    }
}

TEST(HostileSize, DeepNestingStopsTheWalkEarly)
{
    QByteArray xml = "<configuration><operation><title>before</title></operation>";
    for (int i = 0; i < 80 * 1000; ++i)
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
           "<batch id=\"1\"><file>A.BIN</file></batch>" +
           kSignature + "</configuration>";
    const ChildResult result = loadInChild(xml, [](const Configuration& c) {
        return c.operationTitle().isEmpty() && c.batches().isEmpty() && c.signature.size() == 344;
    });
    expectBounded(result, 128 * kMb);
}

TEST(HostileSize, ExternalEntityIsNeverFetched)
{
    const QByteArray xml = "<?xml version=\"1.0\"?>\n<!DOCTYPE c [<!ENTITY x SYSTEM \"file:///etc/passwd\">]>\n"
                           "<configuration><operation><title>&x;</title></operation>" +
                           kSignature + "</configuration>";
    Site site;
    Configuration configuration;
    ASSERT_TRUE(site.load(configuration, xml));
    EXPECT_TRUE(configuration.operationTitle().isEmpty());
}

// ---------------------------------------------------------------- configuration.xml that is not a plain file

TEST(HostileSource, ConfigurationThatIsNotARegularFileOfBoundedSizeIsRefusedAtOnce)
{
    REQUIRE_SIGNING_KEY();
    const QByteArray genuine = signedWrap("<terminal><name>genuine</name></terminal>");
    QByteArray forged = genuine;
    forged.replace("genuine", "forged!");
    struct Source {
        const char* name;
        std::function<void(const QString& path)> make;
        std::vector<QByteArray> served; // by a pipe, one version per opening
    };
    const auto pipe = [](const QString& path) { ASSERT_EQ(mkfifo(qPrintable(path), 0600), 0); };
    const Source sources[] = {
        {"a pipe serving a forged file, then the genuine one", pipe, {forged, genuine, genuine}},
        {"a pipe that nobody writes", pipe, {}},
        {"a link to an endless device",
         [](const QString& path) { ASSERT_EQ(symlink("/dev/zero", qPrintable(path)), 0); },
         {}},
        {"a signed file over the size bound",
         [](const QString& path) {
             QFile file(path);
             ASSERT_TRUE(file.open(QIODevice::WriteOnly));
             file.write(signedWrap("<!-- " + QByteArray(kMaxConfigurationSize, 'x') + " -->"));
         },
         {}},
    };
    for (const Source& source : sources) {
        Site site;
        const QString path = site.folder() + QStringLiteral("configuration.xml");
        source.make(path);
        QElapsedTimer timer;
        timer.start();
        const ChildResult result = loadInChildWithin(site.folder(), 10, [&] {
            if (!source.served.empty())
                servePipe(path, source.served);
        });
        std::printf("%s: refused in %.1f ms\n", source.name, double(timer.nsecsElapsed()) / 1e6);
        EXPECT_TRUE(result.exited) << source.name << ": blocked or ran out of time";
        EXPECT_EQ(result.exitCode, Refused) << source.name;
    }
}

// ---------------------------------------------------------------- work done before the signature is checked

TEST(HostileWork, UnsignedFilesCostNoMoreThanTheirBoundedReading)
{
    QByteArray million = "<configuration>";
    million.reserve(22 * 1000 * 1000);
    for (int i = 0; i < 1000 * 1000; ++i)
        million += "<hterm>good.hterm</hterm>";
    million += kSignature + "</configuration>";
    QByteArray tenThousand = "<configuration>";
    for (int i = 0; i < 10 * 1000; ++i)
        tenThousand += "<hterm>good.hterm</hterm>";
    tenThousand += kSignature + "</configuration>";
    QByteArray attributes = "<configuration><operation><title>before</title></operation><batch id=\"1\"";
    for (int i = 0; i < 25 * 1000; ++i)
        attributes += " a" + QByteArray::number(i) + "=\"\"";
    attributes += "/>" + kSignature + "</configuration>";

    struct Hostile {
        const char* name;
        QByteArray xml;
        std::function<bool(const Configuration&)> expect; // empty: the file is refused
    };
    const Hostile cases[] = {
        {"1,000,000 hterm entries", million, {}},
        {"10,000 hterm entries, unsigned", tenThousand,
         [](const Configuration& c) { return c.htermFiles.size() == 10 * 1000 && c.hterminals().isEmpty(); }},
        {"25,000 attributes on one element", attributes,
         [](const Configuration& c) {
             return c.operationTitle() == QLatin1String("before") && c.batches().isEmpty() &&
                    c.xmlError.contains(QLatin1String("more than 64 attributes"));
         }},
    };
    for (const Hostile& hostile : cases) {
        Site site;
        site.write(QStringLiteral("good.hterm"), htermFile());
        site.write(QStringLiteral("configuration.xml"), hostile.xml);
        const QString folder = site.folder();
        QElapsedTimer timer;
        timer.start();
        const ChildResult result = runInChild([&] {
            alarm(60);
            Configuration configuration;
            configuration.setDirectory(folder);
            const bool loaded = configuration.load();
            if (!hostile.expect)
                return loaded ? 1 : 0;
            return loaded && hostile.expect(configuration) ? 0 : 1;
        });
        const double seconds = double(timer.nsecsElapsed()) / 1e9;
        std::printf("%s: %.3f s, peak resident size %ld MB\n", hostile.name, seconds, result.peakRssKb / kMb);
        EXPECT_TRUE(result.exited) << hostile.name;
        EXPECT_EQ(result.exitCode, 0) << hostile.name;
        if (!underSanitizer()) {
            EXPECT_LT(seconds, 2.0) << hostile.name;
            EXPECT_LT(result.peakRssKb, 64 * kMb) << hostile.name;
        }
    }
}
