// mirdal-cli pack and sign: what they write, and that a failure never
// destroys the file they were to write.
#include "tests/cli/Cli.h"
#include "config/Configuration.h"
#include "crypto/Container.h"

#include <QElapsedTimer>
#include <cstring>
#include <sys/mount.h>

namespace {

const QByteArray kTemplate =
    "<?xml version=\"1.0\"?>\n<configuration>\n  <operation>\n    <title>Mise à jour</title>\n"
    "  </operation>\n  <batch id=\"1\">\n    <file>A.BIN</file>\n  </batch>\n</configuration>\n";

bool passesCheck(const ConfigFolder& folder)
{
    Configuration configuration;
    configuration.setDirectory(folder.path());
    return configuration.load() && configuration.checkSignature();
}

// A failure: its status, one line on stderr, and the file as it was.
void expectRefused(const CliRun& run, int status, const QByteArray& before, const QByteArray& after)
{
    EXPECT_TRUE(run.status == status && run.err.startsWith("mirdal-cli ") && run.err.count('\n') == 1) << run.err;
    EXPECT_EQ(after, before);
}

} // namespace

// A container: the plain length in 4 bytes, big-endian, then the content
// encrypted in whole 16-byte blocks, at least one.
TEST(PackCommand, PackedFilesDecryptToTheirContent)
{
    ConfigFolder folder;
    for (const int size : {0, 5, 16, 17, 489}) {
        QByteArray plain(size, '\0');
        for (int i = 0; i < size; ++i)
            plain[i] = char(i * 13 + size);
        folder.write("plain", plain);
        const CliRun pack = cli({"pack", folder.file("plain"), folder.file("out")});
        ASSERT_TRUE(pack.status == 0 && pack.err.isEmpty()) << pack.err;
        const QByteArray container = folder.read("out");
        EXPECT_EQ(container.left(4).toHex(), QByteArray::number(size, 16).rightJustified(8, '0'));
        EXPECT_EQ(container.size(), 4 + 16 * std::max(1, (size + 15) / 16)) << size;
        std::vector<uint8_t> out;
        EXPECT_EQ(decryptContainer(reinterpret_cast<const uint8_t*>(container.data()), size_t(container.size()), out),
                  ContainerError::None);
        EXPECT_EQ(QByteArray(reinterpret_cast<const char*>(out.data()), int(out.size())), plain) << size;
    }
    EXPECT_EQ(folder.entries(), QStringList({"out", "plain"}));
}

// An input that is absent or endless (refused at the package bound, not read
// to its end), or an output folder that is absent.
TEST(PackCommand, UnreadableInputFailsAndLeavesTheOutputAlone)
{
    for (const QString input : {"absent", "/dev/zero", "plain"}) {
        ConfigFolder folder;
        folder.write("out", "previous");
        folder.write("plain", "abc");
        QElapsedTimer timer;
        timer.start();
        const CliRun pack = cli({"pack", input.startsWith('/') ? input : folder.file(input),
                                 folder.file(input == "plain" ? "no/such/out" : "out")});
        EXPECT_LT(timer.elapsed(), 10000) << input;
        expectRefused(pack, 1, "previous", folder.read("out"));
        EXPECT_EQ(folder.entries(), QStringList({"out", "plain"})) << input;
    }
}

// sign and pack on a full file system of 64 KiB, mounted for the test (root only).
TEST(AuthoringCommands, AFullDiskFailsTheCommandAndLeavesTheFileWhole)
{
    REQUIRE_SIGNING_KEY();
    ConfigFolder disk, plain;
    const struct Mount {
        QByteArray at;
        bool done = ::geteuid() == 0 && ::mount("tmpfs", at.constData(), "tmpfs", 0, "size=64k") == 0;
        ~Mount() { done&& ::umount2(at.constData(), MNT_DETACH); }
    } mount{QFile::encodeName(disk.path())};
    if (!mount.done)
        GTEST_SKIP() << "cannot mount a small tmpfs (root only): " << std::strerror(errno);
    disk.write("configuration.xml", kTemplate);
    disk.write("out.bin", "previous");
    plain.write("plain", "small");
    QFile filler(disk.file("filler"));
    ASSERT_TRUE(filler.open(QIODevice::WriteOnly | QIODevice::Unbuffered));
    while (filler.write(QByteArray(4096, 'f')) == 4096) {
    }
    const QStringList before = disk.entries();
    const CliRun sign = cli({"sign", "--key", buildSigningKeyPath(), "--config-dir", disk.path()});
    expectRefused(sign, 1, kTemplate, disk.read("configuration.xml"));
    const CliRun pack = cli({"pack", plain.file("plain"), disk.file("out.bin")});
    expectRefused(pack, 1, "previous", disk.read("out.bin"));
    EXPECT_TRUE(sign.err.contains("No space left on device") && pack.err.contains("No space left on device"));
    EXPECT_EQ(disk.entries(), before);
}

// Signed by the build's key, edited, signed again: one signature, and the file
// passes the program's check. Signed by another key: it does not, and one
// line says so.
TEST(SignCommand, SignedFilePassesTheProgramsCheck)
{
    REQUIRE_SIGNING_KEY();
    ConfigFolder folder;
    folder.write("other.pem", otherKeyPem());
    folder.write("configuration.xml", kTemplate);
    for (const QByteArray title : {"Mise à jour", "Mise à jour 2"}) {
        const QByteArray edited = QByteArray(kTemplate).replace("Mise à jour", title);
        folder.write("configuration.xml", folder.read("configuration.xml").replace("Mise à jour", title));
        EXPECT_EQ(passesCheck(folder), false);
        const CliRun sign = cli({"sign", "--key", buildSigningKeyPath(), "--config-dir", folder.path()});
        EXPECT_TRUE(sign.status == 0 && sign.err.isEmpty()) << sign.err;
        EXPECT_TRUE(passesCheck(folder) && folder.read("configuration.xml").count("<signature>") == 1);
        EXPECT_TRUE(folder.read("configuration.xml").startsWith(edited.left(edited.indexOf("</configuration>"))));
    }
    const CliRun sign = cli({"sign", "--key", folder.file("other.pem"), "--config-dir", folder.path()});
    EXPECT_EQ(sign.status, 0);
    EXPECT_FALSE(passesCheck(folder));
    EXPECT_TRUE(sign.err.contains("this build does not trust the key") && sign.err.count('\n') == 1) << sign.err;
    EXPECT_EQ(folder.entries(), QStringList({"configuration.xml", "other.pem"}));
}

// An encrypted key signs with its passphrase from the environment, a file or
// the standard input, as its plain form does; what cannot sign leaves the file alone.
TEST(SignCommand, KeysAndTheirPassphrases)
{
    ConfigFolder keys, folder;
    const CliRun encrypt =
        run("openssl", {"pkcs8", "-topk8", "-v2", "aes-256-cbc", "-passout", "pass:s3cret phrase"}, otherKeyPem());
    ASSERT_EQ(encrypt.status, 0) << encrypt.err;
    keys.write("encrypted.pem", encrypt.out.toLatin1());
    keys.write("plain.pem", otherKeyPem());
    keys.write("public.pem", publicPem(otherKeyPem()));
    keys.write("cut.pem", otherKeyPem().left(400));
    keys.write("phrase", "s3cret phrase\n");
    keys.write("wrong", "not it\n");
    qputenv("MIRDAL_TEST_PHRASE", "s3cret phrase");
    folder.write("configuration.xml", kTemplate);
    ASSERT_EQ(cli({"sign", "--key", keys.file("plain.pem"), "--config-dir", folder.path()}).status, 0);
    const QByteArray expected = folder.read("configuration.xml");
    const QStringList cases[] = {
        // --key, then --pass and standard input where given, then the status
        {"encrypted.pem", "--pass", "env:MIRDAL_TEST_PHRASE", "", "0"},
        {"encrypted.pem", "--pass=file:" + keys.file("phrase"), "", "0"},
        {"encrypted.pem", "--pass", "stdin", "s3cret phrase\n", "0"},
        {"encrypted.pem", "--pass", "file:" + keys.file("wrong"), "", "1"},
        {"encrypted.pem", "--pass", "stdin", "s3cret phras\n", "1"},
        {"encrypted.pem", "--pass", "env:MIRDAL_NO_SUCH_VARIABLE", "", "1"},
        {"encrypted.pem", "", "1"},
        {"absent.pem", "", "1"},
        {"public.pem", "", "1"},
        {"cut.pem", "", "1"},
        {"phrase", "", "1"},
    };
    for (QStringList args : cases) {
        const int status = args.takeLast().toInt();
        const QByteArray input = args.takeLast().toUtf8();
        folder.write("configuration.xml", kTemplate);
        const CliRun sign =
            cli(QStringList{"sign", "--config-dir", folder.path(), "--key", keys.file(args.takeFirst())} + args, input);
        if (status == 0) {
            EXPECT_TRUE(sign.status == 0 && folder.read("configuration.xml") == expected) << args.join(' ') << sign.err;
        } else {
            expectRefused(sign, status, kTemplate, folder.read("configuration.xml"));
        }
    }
    qunsetenv("MIRDAL_TEST_PHRASE");
}
