// mirdal-cli pack and sign: what they write, and that a failure never destroys the file they were to write.
#include "tests/cli/Cli.h"
#include "crypto/Container.h"

#include <cstring>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

namespace {

const QByteArray kTemplate =
    "<?xml version=\"1.0\"?>\n<configuration>\n  <operation>\n    <title>Mise à jour</title>\n"
    "  </operation>\n  <batch id=\"1\">\n    <file>A.BIN</file>\n  </batch>\n</configuration>\n";

// A failure (or a warning): its status, one line on stderr saying `why`, the file as expected.
void expectRefused(const CliRun& run, int status, const QByteArray& expected, const QByteArray& file, QString why = "")
{
    EXPECT_TRUE(run.status == status && run.err.startsWith("mirdal-cli ") && run.err.count('\n') == 1 &&
                run.err.contains(why))
        << run.err;
    EXPECT_EQ(file, expected);
}

} // namespace

// A container: the plain length in 4 bytes, big-endian, then the content encrypted in 16-byte blocks.
TEST(PackCommand, PackedFilesDecryptToTheirContent)
{
    ConfigFolder folder;
    for (const int size : {0, 5, 16, 17, 489}) {
        const QByteArray plain = QByteArray("\x01\x80\xff 0123456789abcdef").repeated(30).left(size);
        folder.write("plain", plain);
        const CliRun pack = cli({"pack", folder.file("plain"), folder.file("out")});
        ASSERT_TRUE(pack.status == 0 && pack.err.isEmpty()) << pack.err;
        const QByteArray container = folder.read("out");
        EXPECT_EQ(container.left(4).toHex(), QByteArray::number(size, 16).rightJustified(8, '0'));
        EXPECT_EQ(container.size(), 4 + 16 * std::max(1, (size + 15) / 16)) << size; // whole blocks, at least one
        std::vector<uint8_t> out;
        decryptContainer(reinterpret_cast<const uint8_t*>(container.data()), size_t(container.size()), out);
        EXPECT_EQ(QByteArray(reinterpret_cast<const char*>(out.data()), int(out.size())), plain) << size;
    }
}

// An input that is absent or endless (refused at the 16 MiB bound, not read to its end), or no output folder.
TEST(PackCommand, UnreadableInputFailsAndLeavesTheOutputAlone)
{
    for (const QString input : {"absent", "/dev/zero", "plain"}) {
        ConfigFolder folder;
        folder.write("out", "previous");
        folder.write("plain", "abc");
        const CliRun pack = cli({"pack", input.startsWith('/') ? input : folder.file(input),
                                 folder.file(input == "plain" ? "no/such/out" : "out")});
        expectRefused(pack, 1, "previous", folder.read("out"),
                      input == "/dev/zero" ? ": larger than 16777216 bytes\n" : ": No such file or directory\n");
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
        ~Mount() { ::umount2(at.constData(), MNT_DETACH); }
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
    expectRefused(sign, 1, kTemplate, disk.read("configuration.xml"), "No space left on device");
    const CliRun pack = cli({"pack", plain.file("plain"), disk.file("out.bin")});
    expectRefused(pack, 1, "previous", disk.read("out.bin"), "No space left on device");
    EXPECT_EQ(disk.entries(), before);
}

// Signed by the build's key, the file passes the program's check, and once edited and signed again, too. Another key
// signs all the same, and one line says that this build refuses the result. Encrypted, it signs with its
// passphrase from the environment, a file or the standard input, never otherwise; what cannot sign leaves the file
// alone. A row: --key, --pass if given, the standard input, the status.
TEST(SignCommand, KeysAndTheirPassphrases)
{
    REQUIRE_SIGNING_KEY();
    ConfigFolder keys, folder;
    folder.write("configuration.xml", kTemplate);
    const auto passesCheck = [&folder] {
        return cli({"check", "--config-dir", folder.path()}).out.contains("\nSignature: valid\n");
    };
    for (const char* title : {"Mise à jour", "Mise à jour 2"}) {
        folder.write("configuration.xml", folder.read("configuration.xml").replace("Mise à jour", title));
        const CliRun sign = cli({"sign", "--key", buildSigningKeyPath(), "--config-dir", folder.path()});
        EXPECT_TRUE(sign.status == 0 && sign.err.isEmpty() && passesCheck()) << title << sign.err;
        EXPECT_EQ(folder.read("configuration.xml").count("<signature>"), 1);
    }
    const CliRun encrypt =
        cli({"pkcs8", "-topk8", "-v2", "aes-256-cbc", "-passout", "pass:s3cret phrase"}, otherKeyPem(), "openssl");
    keys.write("encrypted.pem", encrypt.out.toLatin1());
    keys.write("other.pem", otherKeyPem());
    keys.write("public.pem", publicPem(otherKeyPem()));
    keys.write("phrase", "s3cret phrase\n");
    folder.write("configuration.xml", kTemplate);
    const CliRun other = cli({"sign", "--key", keys.file("other.pem"), "--config-dir", folder.path()});
    EXPECT_TRUE(other.status == 0 && other.err.contains("this build does not trust the key")) << other.err;
    EXPECT_FALSE(passesCheck());
    const QByteArray expected = folder.read("configuration.xml");
    qputenv("MIRDAL_TEST_PHRASE", "s3cret phrase");
    const QStringList cases[] = {
        {"encrypted.pem", "--pass", "env:MIRDAL_TEST_PHRASE", "", "0"},
        {"encrypted.pem", "--pass=file:" + keys.file("phrase"), "", "0"},
        {"encrypted.pem", "--pass", "stdin", "s3cret phrase\n", "0"},
        {"encrypted.pem", "--pass", "stdin", "s3cret phras\n", "1"},
        {"encrypted.pem", "", "1"},
        {"public.pem", "", "1"},
        {"phrase", "", "1"},
    };
    for (QStringList args : cases) {
        const int status = args.takeLast().toInt();
        const QByteArray input = args.takeLast().toUtf8();
        folder.write("configuration.xml", kTemplate);
        const CliRun sign =
            cli(QStringList{"sign", "--config-dir", folder.path(), "--key", keys.file(args.takeFirst())} + args, input);
        expectRefused(sign, status, status ? kTemplate : expected, folder.read("configuration.xml")); // or warned
    }
    // A key is read as a regular file of at most 64 KiB (before: a 1 GiB file took 2.1 GB, /dev/zero grew for ever).
    ASSERT_TRUE(QFile(keys.file("big.pem")).open(QIODevice::WriteOnly) && QFile(keys.file("big.pem")).resize(1 << 30));
    ASSERT_TRUE(QFile::link("/dev/zero", keys.file("zero.pem")));
    for (const auto& [key, why] :
         {std::pair{"big.pem", ": larger than 65536 bytes\n"}, {"zero.pem", ": not a regular"}})
        expectRefused(cli({"sign", "--key", keys.file(key), "--config-dir", folder.path()}), 1, kTemplate,
                      folder.read("configuration.xml"), why);
}

// pack and sign write only regular files or new names: a device node (made by the test, root only), a FIFO or a
// folder is refused and stays what it was (before: a node became a 36-byte file); a link is written through to its
// regular target and stays a link.
TEST(AuthoringCommands, OnlyRegularFilesAreReplacedLinksAreWrittenThrough)
{
    REQUIRE_SIGNING_KEY();
    ConfigFolder folder, target;
    folder.write("plain", "abc");
    ASSERT_EQ(::mkfifo(qPrintable(folder.file("fifo")), 0600), 0);
    ASSERT_TRUE(QDir(folder.path()).mkdir("dir"));
    const bool root = ::mknod(qPrintable(folder.file("node")), S_IFCHR | 0600, makedev(1, 3)) == 0;
    for (const char* out : {"node", "fifo", "dir"}) {
        const CliRun pack = cli({"pack", folder.file("plain"), folder.file(out)});
        EXPECT_TRUE(pack.status == 1 && pack.err.contains(root || out[0] != 'n' ? "not a regular file" : "")) << out;
    }
    const auto type = [&folder](const char* name) {
        struct stat status {};
        return ::lstat(qPrintable(folder.file(name)), &status) == 0 ? status.st_mode & S_IFMT : 0u;
    };
    EXPECT_TRUE(type("dir") == S_IFDIR && type("fifo") == S_IFIFO && (!root || type("node") == S_IFCHR));
    target.write("configuration.xml", kTemplate);
    target.write("old.bin", "previous");
    ASSERT_TRUE(QFile::link(target.file("old.bin"), folder.file("link.bin")) &&
                QFile::link(target.file("configuration.xml"), folder.file("configuration.xml")));
    EXPECT_EQ(cli({"pack", folder.file("plain"), folder.file("link.bin")}).status, 0);
    EXPECT_EQ(cli({"sign", "--key", buildSigningKeyPath(), "--config-dir", folder.path()}).status, 0);
    EXPECT_TRUE(type("link.bin") == S_IFLNK && type("configuration.xml") == S_IFLNK);
    EXPECT_EQ(target.read("old.bin").size(), 4 + 16);
    EXPECT_TRUE(target.read("configuration.xml").contains("<signature>"));
    if (!root)
        GTEST_SKIP() << "cannot make a device node (root only): " << std::strerror(errno);
}
