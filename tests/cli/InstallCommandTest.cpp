// mirdal-cli install driven as a process, the way scripts and other programs
// use it: arguments, exit status, result lines on stdout, progress on stderr.
#include "SignedConfiguration.h"

#include <QProcess>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {

struct CliRun {
    int exitCode = -1;
    QString out;
    QString err;
};

CliRun runCli(const QStringList& args)
{
    QProcess process;
    process.start(QStringLiteral(MIRDAL_CLI), QStringList{QStringLiteral("install")} + args);
    CliRun run;
    // Generous: the waits are scaled down, a hang must still end the test.
    if (!process.waitForFinished(120000)) {
        process.kill();
        process.waitForFinished();
        ADD_FAILURE() << "mirdal-cli did not finish";
        return run;
    }
    run.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    run.out = QString::fromUtf8(process.readAllStandardOutput());
    run.err = QString::fromUtf8(process.readAllStandardError());
    return run;
}

const char* const kConfigurationError =
    "Erreur fichier de configuration\n"
    "Le fichier de configuration est manquant ou incorrect.\nVeuillez contacter votre support.\n";

const char* const kOpenError =
    "Erreur ouverture\n"
    "Le terminal sélectionné n'est pas disponible.\nVeuillez fermer toutes les applications ou contacter le support.\n";

class InstallCommand : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir.isValid());
        folder = dir.path() + QLatin1Char('/');
    }
    void writeConfiguration()
    {
        ConfigurationSpec spec;
        spec.batches = {{{QStringLiteral("app.bin"), QByteArray("content")}}};
        if (!writeSignedConfiguration(folder, spec))
            GTEST_SKIP() << "the build's signing key holds no private half";
    }

    QTemporaryDir dir;
    QString folder;
};

} // namespace

// ---------------------------------------------------------------- usage

TEST_F(InstallCommand, ArgumentsThatDoNotFitAreUsageErrors)
{
    const QStringList cases[] = {
        {},
        {QStringLiteral("--port")},
        {QStringLiteral("--config-dir"), folder},
        {QStringLiteral("--port"), QStringLiteral("/dev/null"), QStringLiteral("--bogus")},
        {QStringLiteral("--port"), QStringLiteral("/dev/null"), QStringLiteral("extra")},
        {QStringLiteral("--port"), QStringLiteral("/dev/a"), QStringLiteral("--port"), QStringLiteral("/dev/a")},
    };
    for (const QStringList& args : cases) {
        const CliRun run = runCli(args);
        EXPECT_EQ(run.exitCode, 2) << args.join(QLatin1Char(' ')).toStdString();
        EXPECT_TRUE(run.out.isEmpty());
        EXPECT_TRUE(run.err.contains(QStringLiteral("usage:")));
    }
}

TEST_F(InstallCommand, TimeScaleMustLieInZeroExcludedToOne)
{
    for (const char* scale : {"0", "-0.5", "1.01", "2", "abc", "nan", ""}) {
        const CliRun run = runCli({QStringLiteral("--port"), QStringLiteral("/dev/null"), QStringLiteral("--config-dir"),
                                folder, QStringLiteral("--time-scale"), QLatin1String(scale)});
        EXPECT_EQ(run.exitCode, 2) << scale;
    }
    // A scale inside the range gets past the arguments (to the missing configuration).
    for (const char* scale : {"1", "0.5", "1e-3"}) {
        const CliRun run = runCli({QStringLiteral("--port"), QStringLiteral("/dev/null"), QStringLiteral("--config-dir"),
                                folder, QStringLiteral("--time-scale"), QLatin1String(scale)});
        EXPECT_EQ(run.exitCode, 3) << scale;
    }
}

// ---------------------------------------------------------------- configuration

TEST_F(InstallCommand, MissingConfigurationEndsWithTheConfigurationError)
{
    const CliRun run = runCli({QStringLiteral("--port"), QStringLiteral("/dev/null"), QStringLiteral("--config-dir"), folder});
    EXPECT_EQ(run.exitCode, 3);
    EXPECT_EQ(run.out, QString::fromUtf8(kConfigurationError));
}

TEST_F(InstallCommand, ConfigurationWithAForeignSignatureIsRefused)
{
    writeConfiguration();
    QFile xml(folder + QStringLiteral("configuration.xml"));
    ASSERT_TRUE(xml.open(QIODevice::ReadWrite));
    QByteArray bytes = xml.readAll();
    // One changed byte of the signed part: the signature no longer matches.
    const int at = bytes.indexOf("Test terminal");
    ASSERT_GE(at, 0);
    bytes[at] = 'B';
    xml.seek(0);
    xml.write(bytes);
    xml.close();

    const CliRun run = runCli({QStringLiteral("--port"), QStringLiteral("/dev/null"), QStringLiteral("--config-dir"), folder});
    EXPECT_EQ(run.exitCode, 3);
    EXPECT_EQ(run.out, QString::fromUtf8(kConfigurationError));
}

// ---------------------------------------------------------------- ports

TEST_F(InstallCommand, DeviceThatDoesNotOpenFailsTheInstallation)
{
    writeConfiguration();
    const CliRun run = runCli({QStringLiteral("--port"), folder + QStringLiteral("no-such-device"),
                            QStringLiteral("--config-dir"), folder, QStringLiteral("--time-scale"), QStringLiteral("0.001")});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.out, QString::fromUtf8(kOpenError));
    // Not a terminal: one plain line per status.
    EXPECT_TRUE(run.err.contains(QString::fromUtf8("[  0%] Démarrage de l'installation\n"))) << run.err.toStdString();
    EXPECT_TRUE(run.err.contains(QString::fromUtf8("[ 10%] Tentative d'accès au terminal\n"))) << run.err.toStdString();
    EXPECT_FALSE(run.err.contains(QStringLiteral("\x1b[")));
}

TEST_F(InstallCommand, LabelThatNamesNoPortFailsTheInstallation)
{
    writeConfiguration();
    const CliRun run = runCli({QStringLiteral("--port"), QStringLiteral("No such port - (ttyMIRDAL9)"),
                            QStringLiteral("--config-dir"), folder});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.out, QString::fromUtf8(kOpenError));
}
