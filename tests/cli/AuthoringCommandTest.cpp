// mirdal-cli pack and sign, run as processes.
#include "cli/Authoring.h"
#include "config/Configuration.h"
#include "config/Signature.h"
#include "tests/support/SignedConfiguration.h"
#include "crypto/Container.h"
#include "keytools/OpenSslPtr.h"

#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <cerrno>
#include <cstring>
#include <openssl/pem.h>
#include <sys/mount.h>
#include <unistd.h>
#include <vector>

namespace {

struct Outcome {
    int status = -1;
    QByteArray error; // stderr
};

Outcome runCli(const QStringList& args)
{
    QProcess process;
    process.start(QStringLiteral(MIRDAL_CLI), args);
    Outcome outcome;
    if (!process.waitForFinished(120000) || process.exitStatus() != QProcess::NormalExit)
        return outcome;
    outcome.status = process.exitCode();
    outcome.error = process.readAllStandardError();
    return outcome;
}

// A failure explains itself in exactly one line.
void expectOneLine(const Outcome& outcome, const char* what)
{
    EXPECT_EQ(outcome.error.count('\n'), 1) << what << ": " << outcome.error.constData();
    EXPECT_TRUE(outcome.error.startsWith("mirdal-cli ")) << what << ": " << outcome.error.constData();
}

bool passesCheck(const ConfigFolder& folder)
{
    Configuration configuration;
    configuration.setDirectory(folder.path());
    return configuration.load() && configuration.checkSignature();
}

const QByteArray kTemplate = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<configuration>\n"
                             "  <operation>\n    <title>Mise à jour</title>\n  </operation>\n"
                             "  <batch id=\"1\">\n    <file>A.BIN</file>\n  </batch>\n</configuration>\n";

} // namespace

// ---------------------------------------------------------------- pack

TEST(PackCommand, PackedFilesDecryptToTheirContent)
{
    ConfigFolder folder;
    for (int size : {0, 5, 16, 489, 4096}) {
        QByteArray plain(size, '\0');
        for (int i = 0; i < size; ++i)
            plain[i] = char(i * 13 + size);
        folder.write(QStringLiteral("plain"), plain);
        const Outcome outcome =
            runCli({QStringLiteral("pack"), folder.file(QStringLiteral("plain")), folder.file(QStringLiteral("out"))});
        ASSERT_EQ(outcome.status, 0) << outcome.error.constData();
        EXPECT_TRUE(outcome.error.isEmpty());
        const QByteArray container = folder.read(QStringLiteral("out"));
        std::vector<uint8_t> decrypted;
        ASSERT_EQ(decryptContainer(reinterpret_cast<const uint8_t*>(container.constData()), size_t(container.size()),
                                   decrypted),
                  ContainerError::None)
            << size;
        EXPECT_EQ(QByteArray(reinterpret_cast<const char*>(decrypted.data()), int(decrypted.size())), plain) << size;
    }
    EXPECT_EQ(folder.entries(), QStringList({QStringLiteral("out"), QStringLiteral("plain")}));
}

TEST(PackCommand, WrongArgumentsAreAUsageError)
{
    ConfigFolder folder;
    folder.write(QStringLiteral("plain"), "abc");
    const QString plain = folder.file(QStringLiteral("plain"));
    const QString out = folder.file(QStringLiteral("out"));
    const std::vector<QStringList> cases = {
        {QStringLiteral("pack")},
        {QStringLiteral("pack"), plain},
        {QStringLiteral("pack"), plain, out, out},
        {QStringLiteral("pack"), QStringLiteral("--force"), out},
    };
    for (const QStringList& args : cases) {
        const Outcome outcome = runCli(args);
        EXPECT_EQ(outcome.status, 2) << qPrintable(args.join(' '));
        expectOneLine(outcome, qPrintable(args.join(' ')));
    }
    EXPECT_EQ(folder.entries(), QStringList(QStringLiteral("plain")));
}

TEST(PackCommand, UnreadableInputFailsAndLeavesTheOutputAlone)
{
    // An endless input is refused at the package bound, not read to its end.
    const char* const inputs[] = {"absent", "/dev/zero"};
    for (const char* input : inputs) {
        ConfigFolder folder;
        folder.write(QStringLiteral("out"), "previous");
        QElapsedTimer timer;
        timer.start();
        const Outcome outcome = runCli({QStringLiteral("pack"), QDir(folder.path()).filePath(QLatin1String(input)),
                                        folder.file(QStringLiteral("out"))});
        EXPECT_EQ(outcome.status, 1) << input;
        EXPECT_LT(timer.elapsed(), 10000) << input;
        expectOneLine(outcome, input);
        EXPECT_EQ(folder.read(QStringLiteral("out")), QByteArray("previous")) << input;
        EXPECT_EQ(folder.entries(), QStringList(QStringLiteral("out"))) << input;
    }
}

namespace {

// A file system of 64 KiB of its own, mounted for the test (root only).
class SmallDisk {
public:
    SmallDisk() : path_(QFile::encodeName(dir_.path()))
    {
        mounted_ = dir_.isValid() && ::mount("tmpfs", path_.constData(), "tmpfs", 0, "size=64k") == 0;
        if (!mounted_)
            why_ = std::strerror(errno);
    }
    ~SmallDisk()
    {
        if (mounted_)
            ::umount2(path_.constData(), MNT_DETACH);
    }
    bool mounted() const { return mounted_; }
    const char* why() const { return why_; }
    QString file(const QString& name) const { return dir_.path() + QLatin1Char('/') + name; }
    QString path() const { return dir_.path(); }
    QStringList entries() const
    {
        return QDir(dir_.path()).entryList(QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot, QDir::Name);
    }
    // Takes every byte left.
    void fill() const
    {
        QFile filler(file(QStringLiteral("filler")));
        if (!filler.open(QIODevice::WriteOnly | QIODevice::Unbuffered))
            return;
        const QByteArray block(4096, 'f');
        while (filler.write(block) == block.size()) {
        }
    }

private:
    QTemporaryDir dir_;
    QByteArray path_;
    bool mounted_ = false;
    const char* why_ = "";
};

} // namespace

TEST(AuthoringCommands, AFullDiskFailsTheCommandAndLeavesTheFileWhole)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "mounting a small tmpfs needs root";
    REQUIRE_SIGNING_KEY();
    SmallDisk disk;
    if (!disk.mounted())
        GTEST_SKIP() << "cannot mount a tmpfs here: " << disk.why();
    ConfigFolder plain;
    plain.write(QStringLiteral("plain"), "small");
    QFile xml(disk.file(QStringLiteral("configuration.xml")));
    ASSERT_TRUE(xml.open(QIODevice::WriteOnly));
    ASSERT_EQ(xml.write(kTemplate), kTemplate.size());
    xml.close();
    QFile out(disk.file(QStringLiteral("out.bin")));
    ASSERT_TRUE(out.open(QIODevice::WriteOnly));
    ASSERT_EQ(out.write("previous"), 8);
    out.close();
    disk.fill();
    const QStringList before = disk.entries();

    struct Command {
        const char* name;
        QStringList args;
        QString file;
        QByteArray content;
    };
    const Command commands[] = {
        {"sign",
         {QStringLiteral("sign"), QStringLiteral("--key"), buildSigningKeyPath(), QStringLiteral("--config-dir"),
          disk.path()},
         QStringLiteral("configuration.xml"),
         kTemplate},
        {"pack",
         {QStringLiteral("pack"), plain.file(QStringLiteral("plain")), disk.file(QStringLiteral("out.bin"))},
         QStringLiteral("out.bin"),
         "previous"},
    };
    for (const Command& command : commands) {
        const Outcome outcome = runCli(command.args);
        EXPECT_EQ(outcome.status, 1) << command.name;
        expectOneLine(outcome, command.name);
        EXPECT_TRUE(outcome.error.contains("No space left on device")) << outcome.error.constData();
        QFile file(disk.file(command.file));
        ASSERT_TRUE(file.open(QIODevice::ReadOnly));
        EXPECT_EQ(file.readAll(), command.content) << command.name;
        EXPECT_EQ(disk.entries(), before) << command.name;
    }
}

TEST(PackCommand, UnwritableOutputFails)
{
    ConfigFolder folder;
    folder.write(QStringLiteral("plain"), "abc");
    const Outcome outcome = runCli({QStringLiteral("pack"), folder.file(QStringLiteral("plain")),
                                    folder.file(QStringLiteral("no/such/folder/out"))});
    EXPECT_EQ(outcome.status, 1);
    expectOneLine(outcome, "missing output folder");
    EXPECT_EQ(folder.entries(), QStringList(QStringLiteral("plain")));
}

// ---------------------------------------------------------------- sign

class SignCommand : public testing::Test {
protected:
    void SetUp() override
    {
        folder.write(QStringLiteral("configuration.xml"), kTemplate);
        keys.write(QStringLiteral("other.pem"), otherKeyPem());
    }

    QString otherKeyPath() const { return keys.file(QStringLiteral("other.pem")); }

    Outcome sign(const QString& keyPath)
    {
        return runCli(
            {QStringLiteral("sign"), QStringLiteral("--key"), keyPath, QStringLiteral("--config-dir"), folder.path()});
    }

    QByteArray configuration() const { return folder.read(QStringLiteral("configuration.xml")); }

    ConfigFolder folder; // the configuration directory
    ConfigFolder keys;
};

TEST_F(SignCommand, SignedFilePassesTheProgramsCheck)
{
    REQUIRE_SIGNING_KEY();
    EXPECT_FALSE(passesCheck(folder));
    const Outcome outcome = sign(buildSigningKeyPath());
    ASSERT_EQ(outcome.status, 0) << outcome.error.constData();
    EXPECT_TRUE(outcome.error.isEmpty());
    EXPECT_TRUE(passesCheck(folder));
    EXPECT_EQ(configuration().count("<signature>"), 1);
    EXPECT_TRUE(configuration().startsWith(kTemplate.left(kTemplate.lastIndexOf("</configuration>"))));
    EXPECT_EQ(folder.entries(), QStringList(QStringLiteral("configuration.xml")));
}

TEST_F(SignCommand, SigningAgainAfterAnEditReplacesTheSignature)
{
    REQUIRE_SIGNING_KEY();
    ASSERT_EQ(sign(buildSigningKeyPath()).status, 0);
    QByteArray edited = configuration();
    edited.replace("Mise à jour", "Mise à jour 2");
    folder.write(QStringLiteral("configuration.xml"), edited);
    EXPECT_FALSE(passesCheck(folder));

    ASSERT_EQ(sign(buildSigningKeyPath()).status, 0);
    EXPECT_TRUE(passesCheck(folder));
    EXPECT_EQ(configuration().count("<signature>"), 1);
    EXPECT_EQ(signedPart(configuration()), signedPart(edited));
}

// Signed all the same, but one line says that this build would refuse it.
TEST_F(SignCommand, SignatureOfAnotherKeyDoesNotPass)
{
    const Outcome outcome = sign(otherKeyPath());
    ASSERT_EQ(outcome.status, 0);
    EXPECT_EQ(storedSignature(configuration()).size(), 344);
    EXPECT_FALSE(passesCheck(folder));
    expectOneLine(outcome, "untrusted key");
    EXPECT_TRUE(outcome.error.contains("this build does not trust the key")) << outcome.error.constData();
}

// An encrypted key signs with its passphrase read from the environment, a
// file or the standard input, as its plain form does; never otherwise.
TEST_F(SignCommand, EncryptedKeySignsWithItsPassphrase)
{
    // The other key, encrypted under "s3cret phrase".
    BioPtr in(BIO_new_mem_buf(otherKeyPem().constData(), otherKeyPem().size()));
    PkeyPtr pkey(PEM_read_bio_PrivateKey(in.get(), nullptr, nullptr, nullptr));
    ASSERT_TRUE(pkey);
    BioPtr out(BIO_new(BIO_s_mem()));
    const char phrase[] = "s3cret phrase";
    ASSERT_TRUE(PEM_write_bio_PKCS8PrivateKey(out.get(), pkey.get(), EVP_aes_256_cbc(), phrase, sizeof phrase - 1,
                                              nullptr, nullptr));
    char* pem = nullptr;
    const long size = BIO_get_mem_data(out.get(), &pem);
    keys.write(QStringLiteral("encrypted.pem"), QByteArray(pem, int(size)));
    keys.write(QStringLiteral("phrase"), "s3cret phrase\n");
    keys.write(QStringLiteral("wrong"), "not it\n");
    qputenv("MIRDAL_TEST_PHRASE", phrase);

    ASSERT_EQ(sign(otherKeyPath()).status, 0);
    const QByteArray expected = configuration();
    struct Case {
        QString pass;     // --pass, none when empty
        QByteArray input; // standard input
        int status;
    };
    const Case cases[] = {
        {QStringLiteral("env:MIRDAL_TEST_PHRASE"), {}, 0},
        {QStringLiteral("file:") + keys.file(QStringLiteral("phrase")), {}, 0},
        {QStringLiteral("stdin"), "s3cret phrase\n", 0},
        {QStringLiteral("file:") + keys.file(QStringLiteral("wrong")), {}, 1},
        {QStringLiteral("stdin"), "s3cret phras\n", 1},
        {QStringLiteral("env:MIRDAL_NO_SUCH_VARIABLE"), {}, 1},
        {QString(), {}, 1},
        {QStringLiteral("s3cret phrase"), {}, 2},
    };
    for (const Case& test : cases) {
        folder.write(QStringLiteral("configuration.xml"), kTemplate);
        QStringList args{QStringLiteral("sign"), QStringLiteral("--key"), keys.file(QStringLiteral("encrypted.pem")),
                         QStringLiteral("--config-dir"), folder.path()};
        if (!test.pass.isEmpty())
            args << QStringLiteral("--pass") << test.pass;
        QProcess process;
        process.start(QStringLiteral(MIRDAL_CLI), args);
        process.write(test.input);
        process.closeWriteChannel();
        ASSERT_TRUE(process.waitForFinished(120000)) << qPrintable(test.pass);
        const QByteArray error = process.readAllStandardError();
        EXPECT_EQ(process.exitCode(), test.status) << qPrintable(test.pass) << ": " << error.constData();
        EXPECT_EQ(configuration(), test.status == 0 ? expected : kTemplate) << qPrintable(test.pass);
        if (test.status != 0) {
            EXPECT_EQ(error.count('\n'), 1) << qPrintable(test.pass) << ": " << error.constData();
        }
    }
    qunsetenv("MIRDAL_TEST_PHRASE");
}

TEST_F(SignCommand, WrongArgumentsAreAUsageError)
{
    const QString key = otherKeyPath();
    const QString dir = folder.path();
    const std::vector<QStringList> cases = {
        {QStringLiteral("sign")},
        {QStringLiteral("sign"), QStringLiteral("--config-dir"), dir},
        {QStringLiteral("sign"), QStringLiteral("--key")},
        {QStringLiteral("sign"), QStringLiteral("--key"), QString(), QStringLiteral("--config-dir"), dir},
        {QStringLiteral("sign"), QStringLiteral("--key"), key, QStringLiteral("--config-dir"), dir,
         QStringLiteral("--x")},
        {QStringLiteral("sign"), QStringLiteral("--key"), key, QStringLiteral("--key"), key},
        {QStringLiteral("sign"), key, QStringLiteral("--config-dir"), dir},
    };
    for (const QStringList& args : cases) {
        const Outcome outcome = runCli(args);
        EXPECT_EQ(outcome.status, 2) << qPrintable(args.join(' '));
        expectOneLine(outcome, qPrintable(args.join(' ')));
    }
    EXPECT_EQ(configuration(), kTemplate);
}

TEST_F(SignCommand, KeysThatCannotSignLeaveTheFileAlone)
{
    keys.write(QStringLiteral("garbage.pem"), "not a key\n");
    keys.write(QStringLiteral("public.pem"), publicPem(otherKeyPem()));
    keys.write(QStringLiteral("truncated.pem"), otherKeyPem().left(400));
    for (const char* name : {"absent.pem", "garbage.pem", "public.pem", "truncated.pem"}) {
        const Outcome outcome = sign(keys.file(QLatin1String(name)));
        EXPECT_EQ(outcome.status, 1) << name;
        expectOneLine(outcome, name);
        EXPECT_EQ(configuration(), kTemplate) << name;
    }
    EXPECT_EQ(folder.entries(), QStringList(QStringLiteral("configuration.xml")));
}

TEST_F(SignCommand, FilesThatCannotBeSignedAreLeftAlone)
{
    const std::vector<std::pair<const char*, QByteArray>> cases = {
        {"broken XML", "<configuration><batch></configuration>\n"},
        {"unterminated signature", "<configuration>\n  <signature>abc\n</configuration>\n"},
    };
    for (const auto& test : cases) {
        folder.write(QStringLiteral("configuration.xml"), test.second);
        const Outcome outcome = sign(otherKeyPath());
        EXPECT_EQ(outcome.status, 1) << test.first;
        expectOneLine(outcome, test.first);
        EXPECT_EQ(configuration(), test.second) << test.first;
    }
    EXPECT_EQ(folder.entries(), QStringList(QStringLiteral("configuration.xml")));
}

TEST_F(SignCommand, MissingConfigurationFails)
{
    ConfigFolder empty;
    const Outcome outcome = runCli({QStringLiteral("sign"), QStringLiteral("--key"), otherKeyPath(),
                                    QStringLiteral("--config-dir"), empty.path()});
    EXPECT_EQ(outcome.status, 1);
    expectOneLine(outcome, "missing configuration.xml");
    EXPECT_TRUE(empty.entries().isEmpty());
}
