// configuration.xml and hterm files shaped by an attacker or an accident: read at once within a
// memory bound, nothing outside the folder opened, the file refused or read as the format says.
#include "config/Configuration.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/SignedConfiguration.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <csignal>
#include <tuple>
#include <fcntl.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

constexpr int kRefused = 2;
const QByteArray kSignature = "<signature>" + QByteArray(342, 'A') + "==</signature>";
const QByteArray kHterm = QByteArray("\0\0\0\x10", 4) + QByteArray(16, '\x42'); // a well-formed hterm file

QByteArray wrap(const QByteArray& children, bool sign = true)
{
    const QByteArray xml = "<configuration>\n" + children + "\n" + kSignature + "\n</configuration>\n";
    return sign ? signedWith(xml, buildSigningKey().key) : xml;
}

// root/outside.hterm (readable), root/outside.fifo (opening it blocks), root/configuration with
// sub/good.hterm, and links: root to "/", alias.hterm to sub/good.hterm, linked.* to outside.*.
struct Site {
    QTemporaryDir root;
    const QString folder = root.path() + QStringLiteral("/configuration/");
    void write(const QString& relative, const QByteArray& bytes) const
    {
        QFile file(folder + relative);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size()) << qPrintable(relative);
    }
    Site()
    {
        EXPECT_TRUE(QDir(root.path()).mkpath(QStringLiteral("configuration/sub")));
        EXPECT_EQ(mkfifo(qPrintable(root.path() + "/outside.fifo"), 0600), 0);
        write(QStringLiteral("../outside.hterm"), kHterm);
        write(QStringLiteral("sub/good.hterm"), kHterm);
        EXPECT_EQ(symlink("/", qPrintable(folder + "root")), 0);
        EXPECT_EQ(symlink("sub/good.hterm", qPrintable(folder + "alias.hterm")), 0);
        EXPECT_EQ(symlink("../outside.hterm", qPrintable(folder + "linked.hterm")), 0);
        EXPECT_EQ(symlink("../outside.fifo", qPrintable(folder + "linked.fifo")), 0);
    }
};

// Loads the site's configuration in a child: its exit code is kRefused, or
// what `verdict` makes of the model (by default 10 + its hterm entries).
ChildResult load(
    const Site& site, const std::function<void()>& before = [] {},
    const std::function<int(const Configuration&)>& verdict =
        [](const Configuration& c) { return 10 + int(c.hterminals().size()); })
{
    return runInChild([&] {
        alarm(20);
        std::signal(SIGPIPE, SIG_IGN);
        before();
        Configuration configuration;
        configuration.setDirectory(site.folder);
        return configuration.load() ? verdict(configuration) : kRefused;
    });
}

// Names of hterm, picture and package files that leave the folder, also through links: an unsigned file is refused
// with none opened; a signed one uses them as written (hterm files read as regular files only) and lists them.
TEST(HostileNames, UnsignedFilesNeverOpenNamesOutsideTheFolderSignedOnesUseThemAsWritten)
{
    REQUIRE_SIGNING_KEY();
    const QByteArray inside = "<terminal><image>pics/t.png</image></terminal><hterm>sub/good.hterm</hterm><hterm>"
                              "sub/../alias.hterm</hterm><batch id=\"1\"><file>sub/../A.BIN</file><file/></batch>";
    Site site;
    // The exit code: 10, plus 10 per name outside, plus 1 per hterm entry.
    std::vector<std::tuple<QByteArray, bool, int>> cases = {{inside, true, 12}, {inside, false, 10}};
    for (const char* const name :
         {"../../etc/passwd", "../outside.hterm", "sub/../../outside.hterm", "..", "./../configuration2/x",
          "root%1/outside.hterm", "root%1/outside.fifo", "linked.hterm", "linked.fifo"}) {
        const QByteArray escape = QByteArray(name).replace("%1", QFile::encodeName(site.root.path()));
        const int outsideEntry = escape.endsWith("outside.hterm") || escape == "linked.hterm" ? 1 : 0;
        for (const bool sign : {true, false}) {
            cases.push_back({"<hterm>" + escape + "</hterm><hterm>sub/good.hterm</hterm>", sign,
                             sign ? 21 + outsideEntry : kRefused});
            cases.push_back({"<terminal><image>" + escape + "</image></terminal>", sign, sign ? 20 : kRefused});
            cases.push_back(
                {"<batch id=\"1\"><file>A.BIN</file><file>" + escape + "</file></batch>", sign, sign ? 20 : kRefused});
        }
    }
    for (const auto& [children, sign, exitCode] : cases) {
        site.write(QStringLiteral("configuration.xml"), wrap(children, sign));
        const ChildResult result = load(
            site, [] {},
            [](const Configuration& c) { return 10 + 10 * int(c.outsideNames.size()) + int(c.hterminals().size()); });
        EXPECT_TRUE(result.exited) << children.constData() << ": blocked opening it";
        EXPECT_EQ(result.exitCode, exitCode) << children.constData() << (sign ? " signed" : " unsigned");
    }
}

// configuration.xml or an hterm file that is a pipe (perhaps serving a forged file, then the genuine
// one, one per opening), /dev/zero or over its bound: refused at once, or the hterm gives no entry.
TEST(HostileSource, FilesThatAreNotRegularOrOverTheirBoundAreNeverRead)
{
    REQUIRE_SIGNING_KEY();
    const QByteArray genuine = wrap("<terminal><name>genuine</name></terminal>"), pipe = "pipe", zero = "/dev/zero";
    const QString xml = QStringLiteral("configuration.xml"), hterm = QStringLiteral("h.hterm");
    const std::tuple<QString, QByteArray, std::vector<QByteArray>, int> cases[] = {
        {xml, pipe, {QByteArray(genuine).replace("genuine", "forged!"), genuine, genuine}, kRefused},
        {xml, pipe, {}, kRefused},
        {xml, zero, {}, kRefused},
        {xml, wrap("<!-- " + QByteArray(kMaxConfigurationSize, 'x') + " -->"), {}, kRefused},
        {hterm, pipe, {}, 11},
        {hterm, zero, {}, 11},
        {hterm, QByteArray("\0\0\0\5", 4) + QByteArray(128 * 1024, 'x'), {}, 11}};
    for (const auto& [file, content, served, exitCode] : cases) {
        Site site;
        const QString path = site.folder + file;
        if (file == hterm)
            site.write(xml, wrap("<hterm>h.hterm</hterm><hterm>sub/good.hterm</hterm>"));
        if (content == pipe)
            ASSERT_EQ(mkfifo(qPrintable(path), 0600), 0);
        else if (content == zero)
            ASSERT_EQ(symlink(zero.constData(), qPrintable(path)), 0);
        else
            site.write(file, content);
        const ChildResult result = load(site, [&, &served = served] {
            std::thread([path = QFile::encodeName(path), served] {
                for (const QByteArray& bytes : served) {
                    const int fd = ::open(path.constData(), O_WRONLY);
                    if (fd < 0 || ::write(fd, bytes.constData(), size_t(bytes.size())) < 0 || ::close(fd) < 0)
                        return; // the reader went away without reading
                }
            }).detach();
        });
        EXPECT_TRUE(result.exited && result.exitCode == exitCode) << qPrintable(file) << " " << content.left(9).data();
    }
}

// configuration.xml written as head, `times` times `repeated` (then a signed file's end if it is
// to be refused), loaded by a child within 2 s and 64 MB, the model as `expect` says (none: refused).
using Bounded = std::tuple<const char*, QByteArray, QByteArray, int, std::function<bool(const Configuration&)>>;

void expectBounded(const std::vector<Bounded>& cases)
{
    for (const auto& [name, head, repeated, times, expect] : cases) {
        Site site;
        QFile file(site.folder + QStringLiteral("configuration.xml"));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly) && file.write(head) == head.size());
        for (int i = 0; i < times; ++i)
            file.write(repeated);
        file.write(expect ? "" : kSignature + "</configuration>");
        file.close();
        QElapsedTimer timer;
        timer.start();
        const ChildResult result = load(
            site, [] {}, [&, &expect = expect](const Configuration& c) { return expect(c) ? 0 : 1; });
        const double seconds = timer.nsecsElapsed() / 1e9;
        std::printf("%s: %.3f s, peak resident size %ld MB\n", name, seconds, result.peakRssKb / 1024);
        EXPECT_TRUE(result.exited && result.exitCode == (expect ? 0 : kRefused)) << name;
        if (!underSanitizer()) {
            EXPECT_LT(seconds, 2.0) << name;
            EXPECT_LT(result.peakRssKb, 64 * 1024) << name; // kilobytes
        }
    }
}

TEST(HostileSize, HugeDeepOrExpandingFilesStayBounded)
{
    QByteArray laughs = "<!DOCTYPE lolz [<!ENTITY lol0 \"lol\">"; // 10^9 "lol" if expanded
    for (int level = 1; level <= 9; ++level)
        laughs += "<!ENTITY lol" + QByteArray::number(level) + " \"" +
                  ("&lol" + QByteArray::number(level - 1) + ";").repeated(10) + "\">";
    const QByteArray megabyte(1024 * 1024, 'x');
    expectBounded(
        {{"100 MB of comment", "<configuration><operation><title>T</title></operation><!--", megabyte, 100, {}},
         {"80,000 nested elements", "<c><operation><title>before</title></operation>", "<a>", 80000, {}},
         {"a billion laughs", laughs + "]><c><operation><title>&lol9;</title></operation><batch/></c>", "", 0, {}}});
}

TEST(HostileWork, UnsignedFilesCostNoMoreThanTheirBoundedReading)
{
    QByteArray attributes = "<c><operation><title>before</title></operation><batch id=\"1\"";
    for (int i = 0; i < 25 * 1000; ++i)
        attributes += " a" + QByteArray::number(i) + "=\"\"";
    const QByteArray entry = "<hterm>alias.hterm</hterm>";
    expectBounded({{"1,000,000 hterm entries", "<configuration>", entry, 1000 * 1000, {}},
                   {"10,000 unsigned hterm entries", "<configuration>" + entry.repeated(10000) + kSignature, "", 0,
                    [](const Configuration& c) { return c.htermFiles.size() == 10000 && c.hterminals().isEmpty(); }},
                   {"25,000 attributes on one element", attributes + "/></c>", "", 0, {}}});
}

} // namespace
