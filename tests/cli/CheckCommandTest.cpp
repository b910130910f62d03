// mirdal-cli check run as a process on configuration folders with and
// without problems: its lines, its verdict and its exit status.
#include "tests/cli/CliHarness.h"
#include "config/Signature.h"
#include "tests/support/SignedConfiguration.h"
#include "tests/support/SignedConfiguration.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {

CliRun check(const QString& folder)
{
    return runCli(QStringLiteral("check"), {QStringLiteral("--config-dir"), folder});
}

// The lines of the output but the first (which names the folder).
QStringList report(const CliRun& run)
{
    return run.out.split(QLatin1Char('\n'), Qt::SkipEmptyParts).mid(1);
}

class CheckCommand : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir.isValid());
        folder = dir.path() + QLatin1Char('/');
    }
    void write(const ConfigurationSpec& layout)
    {
        if (!writeSignedConfiguration(folder, layout))
            GTEST_SKIP() << "the build's signing key holds no private half";
    }
    void writeFile(const QString& name, const QByteArray& bytes)
    {
        QFile file(folder + name);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(bytes);
    }
    // configuration.xml as given, signed by the authoring tool.
    void writeXml(const QByteArray& xml)
    {
        REQUIRE_SIGNING_KEY();
        writeFile(QStringLiteral("configuration.xml"), signedWith(xml, buildSigningKey().key));
    }
    // Bytes that the authoring tool would not sign (it refuses broken XML),
    // followed by their signature.
    void writeSignedBytes(const QByteArray& bytes)
    {
        REQUIRE_SIGNING_KEY();
        writeFile(QStringLiteral("configuration.xml"),
                  bytes + "<signature>" + signatureText(bytes, buildSigningKey().key).toLatin1() + "</signature>\n");
    }
    void writePicture() { writeFile(QStringLiteral("terminal.png"), "picture"); }

    QTemporaryDir dir;
    QString folder;
};

const char* const kHeader = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<configuration>\n";

} // namespace

TEST(CheckSample, SampleConfigurationIsReadyWithItsDuration)
{
    const CliRun run = check(QStringLiteral(MIRDAL_SAMPLE_DIR));
    EXPECT_EQ(run.exitCode, 0) << run.out.toStdString();
    // Wire: 2 batches of 369 bytes, 3 files of 224 bytes, 35 blocks of 160:
    // 7010 bytes, 7.3 s. Fixed: 2 x (4000 + 20000 + 10 + 10 + 35000) and
    // 3 x 600 ms: 119.84 s.
    const QStringList expected = {
        QStringLiteral("Signature: valid"),
        QStringLiteral("Terminal: Terminal M10, restart wait 35.0 s"),
        QStringLiteral("Picture: terminal.png"),
        QStringLiteral("Accepted hardware: M10.HTM, identification 4D 31 30 \"M10\""),
        QStringLiteral("Batch 1 (id 1): 2 files"),
        QStringLiteral("  PARAM.CFG: 21 bytes, 1 block"),
        QStringLiteral("  FONTS.BIN: 489 bytes, 5 blocks"),
        QStringLiteral("Batch 2 (id 2): 1 file"),
        QStringLiteral("  APPLI.BIN: 3500 bytes, 29 blocks"),
        QStringLiteral("Expected duration at 9600 baud: 2 min 7.1 s (7.3 s on the line, 1 min 59.8 s of fixed waits)"),
        QStringLiteral("  plus 83 ms per application installed on the terminal (a 50 ms pause and a 32-byte answer), "
                       "in each batch: the terminal's list is not known before it is read"),
        QStringLiteral("Ready to install: 3 files in 2 batches, 0 warnings"),
    };
    EXPECT_EQ(report(run), expected) << run.out.toStdString();
    EXPECT_TRUE(
        run.out.startsWith(QStringLiteral("Configuration: ") + QDir(QStringLiteral(MIRDAL_SAMPLE_DIR)).absolutePath()));
}

TEST_F(CheckCommand, DurationCountsBlocksAndTheRestartWait)
{
    ConfigurationSpec layout;
    layout.delayReboot = 40000;
    layout.batches = {{{QStringLiteral("app.bin"), QByteArray(1220, 'x')}}};
    write(layout);
    writePicture();
    const CliRun run = check(folder);
    EXPECT_EQ(run.exitCode, 0) << run.out.toStdString();
    // Wire: 369 + 224 + 10 x 160 = 2193 bytes, 2.3 s; fixed: 4000 + 20000 +
    // 20 + 40000 + 600 = 64620 ms.
    EXPECT_TRUE(report(run).contains(
        QStringLiteral("Expected duration at 9600 baud: 1 min 6.9 s (2.3 s on the line, 1 min 4.6 s of fixed waits)")))
        << run.out.toStdString();
    EXPECT_TRUE(report(run).contains(QStringLiteral("Terminal: Test terminal, restart wait 40.0 s")));
}

TEST_F(CheckCommand, WarningsStillLetItInstall)
{
    ConfigurationSpec layout;
    // 6 digits of length and 22 characters of name: 28 bytes, the most an
    // advertisement carries; one character more and the file is skipped.
    layout.batches = {{{QStringLiteral("twenty-two-chars.b.bin"), QByteArray("a")},
                       {QStringLiteral("twenty-three-chars.bin1"), QByteArray("b")}},
                      {}};
    write(layout);
    const CliRun run = check(folder);
    EXPECT_EQ(run.exitCode, 0) << run.out.toStdString();
    const QStringList lines = report(run);
    EXPECT_TRUE(lines.contains(QStringLiteral("  twenty-two-chars.b.bin: 1 byte, 1 block"))) << run.out.toStdString();
    EXPECT_TRUE(lines.contains(QStringLiteral("  twenty-three-chars.bin1: 1 byte, skipped")));
    EXPECT_TRUE(lines.contains(QStringLiteral("Picture: terminal.png (missing)")));
    const QStringList problems = lines.filter(QRegularExpression(QStringLiteral("^(warning|error): ")));
    const QStringList expected = {
        QStringLiteral("warning: the terminal picture terminal.png is missing: the window shows none"),
        QStringLiteral("warning: batch 1: twenty-three-chars.bin1 cannot be advertised (length field and name take 29 "
                       "bytes, at most 28): the installation skips it"),
        QStringLiteral(
            "warning: batch 2 (id 2) has no file: the terminal is opened, activated and restarted for nothing"),
    };
    EXPECT_EQ(problems, expected) << run.out.toStdString();
    EXPECT_EQ(lines.last(), QStringLiteral("Ready to install: 1 file in 2 batches, 3 warnings"));
}

TEST_F(CheckCommand, EveryBrokenFileIsOneErrorLine)
{
    ConfigurationSpec layout;
    layout.hardware = {{1, 2, 3}, {4, 5, 6}, {7, 8, 9}};
    layout.batches = {{{QStringLiteral("good.bin"), QByteArray("good")},
                       {QStringLiteral("gone.bin"), QByteArray("gone")},
                       {QStringLiteral("cut.bin"), QByteArray("cut")}}};
    write(layout);
    writePicture();
    ASSERT_TRUE(QFile::remove(folder + QStringLiteral("gone.bin")));
    writeFile(QStringLiteral("cut.bin"), rawContainer(3, QByteArray(10, 'c')));
    ASSERT_TRUE(QFile::remove(folder + QStringLiteral("hardware1.hterm")));
    writeFile(QStringLiteral("hardware2.hterm"), rawContainer(200, QByteArray(208, 'h')));

    const CliRun run = check(folder);
    EXPECT_EQ(run.exitCode, 1) << run.out.toStdString();
    const QStringList lines = report(run);
    EXPECT_TRUE(lines.contains(QStringLiteral("Accepted hardware: hardware0.hterm, identification 01 02 03")));
    EXPECT_TRUE(lines.contains(QStringLiteral("  good.bin: 4 bytes, 1 block")));
    EXPECT_TRUE(lines.contains(QStringLiteral("  gone.bin: missing")));
    const QStringList expected = {
        QStringLiteral("error: hardware configuration hardware1.hterm: missing"),
        QStringLiteral("error: hardware configuration hardware2.hterm: record of 200 bytes, longer than 128"),
        QStringLiteral("error: batch 1: gone.bin is missing or cannot be read"),
        QStringLiteral(
            "error: batch 1: cut.bin is not a well-formed container (encrypted body not a whole number of blocks)"),
    };
    EXPECT_EQ(lines.filter(QStringLiteral("error: ")), expected) << run.out.toStdString();
    EXPECT_EQ(lines.last(), QStringLiteral("Not ready: 4 errors, 0 warnings"));
}

TEST_F(CheckCommand, NothingToInstallOrNoHardwareToAccept)
{
    ConfigurationSpec layout;
    layout.hardware = {};
    write(layout);
    writePicture();
    const CliRun run = check(folder);
    EXPECT_EQ(run.exitCode, 1);
    const QStringList expected = {
        QStringLiteral("error: no hardware configuration can be read: every terminal would be refused"),
        QStringLiteral("error: no batch: the installation has nothing to do and stops at once"),
    };
    EXPECT_EQ(report(run).filter(QStringLiteral("error: ")), expected) << run.out.toStdString();
    EXPECT_FALSE(run.out.contains(QStringLiteral("Expected duration")));
}

TEST_F(CheckCommand, BrokenXmlIsAWarningWhenSigned)
{
    writePicture();
    writeFile(QStringLiteral("hw.hterm"), packed(QByteArray(128, 'M')));
    writeFile(QStringLiteral("app.bin"), packed("app"));
    writeSignedBytes(QByteArray(kHeader) +
                     "<terminal><image>terminal.png</image></terminal><hterm>hw.hterm</hterm>\n"
                     "<batch id=\"1\"><file>app.bin</file></batch>\n<unclosed></configuration>\n");
    const CliRun run = check(folder);
    EXPECT_EQ(run.exitCode, 0) << run.out.toStdString();
    const QStringList warnings = report(run).filter(QStringLiteral("warning: "));
    ASSERT_EQ(warnings.size(), 1) << run.out.toStdString();
    EXPECT_TRUE(
        warnings[0].startsWith(QStringLiteral("warning: configuration.xml is not well-formed XML (line 5, column ")))
        << warnings[0].toStdString();
    // What comes before the error is read and checked.
    EXPECT_TRUE(run.out.contains(QStringLiteral("  app.bin: 3 bytes, 1 block")));
}

TEST_F(CheckCommand, RefusedConfigurationsEndWithStatusThree)
{
    ConfigurationSpec layout;
    layout.batches = {{{QStringLiteral("app.bin"), QByteArray("app")}}};
    write(layout);
    writePicture();
    QFile xml(folder + QStringLiteral("configuration.xml"));
    ASSERT_TRUE(xml.open(QIODevice::ReadWrite));
    QByteArray bytes = xml.readAll();
    bytes.replace("Test terminal", "Best terminal");
    xml.seek(0);
    xml.write(bytes);
    xml.close();
    ASSERT_TRUE(QFile::remove(folder + QStringLiteral("app.bin")));

    // Like the program, the check reads nothing that an unsigned file names.
    CliRun run = check(folder);
    EXPECT_EQ(run.exitCode, 3);
    EXPECT_EQ(
        report(run),
        (QStringList{QStringLiteral("Signature: does not match"),
                     QStringLiteral("error: the signature does not match configuration.xml: the program refuses it"),
                     QStringLiteral("Not ready: 1 error, 0 warnings")}))
        << run.out.toStdString();

    writeXml(QByteArray(kHeader) + "<batch id=\"1\"><file>../outside.bin</file></batch>\n</configuration>\n");
    run = check(folder);
    EXPECT_EQ(run.exitCode, 3);
    EXPECT_TRUE(report(run).contains(
        QStringLiteral("error: configuration.xml names a file outside its folder: the program refuses it")))
        << run.out.toStdString();

    writeFile(QStringLiteral("configuration.xml"),
              QByteArray(kHeader) + QByteArray(256 * 1024, ' ') + "</configuration>");
    run = check(folder);
    EXPECT_EQ(run.exitCode, 3);
    EXPECT_EQ(report(run), QStringList{QStringLiteral(
                               "error: configuration.xml is missing or cannot be read (larger than 262144 bytes)")});

    ASSERT_TRUE(QFile::remove(folder + QStringLiteral("configuration.xml")));
    run = check(folder);
    EXPECT_EQ(run.exitCode, 3);
    EXPECT_EQ(report(run), QStringList{QStringLiteral("error: configuration.xml is missing or cannot be read")});
}

TEST(CheckUsage, ArgumentsThatDoNotFitAreUsageErrors)
{
    const QStringList cases[] = {
        {QStringLiteral("--config-dir")},
        {QStringLiteral("--bogus")},
        {QStringLiteral("--config-dir"), QStringLiteral("/tmp"), QStringLiteral("extra")},
    };
    for (const QStringList& args : cases) {
        const CliRun run = runCli(QStringLiteral("check"), args);
        EXPECT_EQ(run.exitCode, 2) << args.join(QLatin1Char(' ')).toStdString();
        EXPECT_TRUE(run.out.isEmpty());
        EXPECT_TRUE(run.err.contains(QStringLiteral("usage: mirdal-cli check")));
    }
}
