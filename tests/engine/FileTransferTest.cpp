// The file transfer: the name on the wire and in the log, and the packages that cannot be sent.
#include "tests/engine/FakeTerminal.h"
#include "tests/support/ChildProcess.h"

#include <sys/resource.h>
#include <sys/stat.h>

using FileTransfer = EngineTest;

// Latin-1 on the wire whatever the locale; the log shows the name itself. A name outside Latin-1 fails its
// advertisement with its cause, nothing sent (before: "??.BIN" went on the wire).
TEST_F(FileTransfer, NameGoesOnTheWireInLatin1)
{
    bool skip = true;
    EXPECT_FALSE(model->sendInfo(addFile(addBatch(), QString::fromUtf8("文件.bin"), 5), skip));
    EXPECT_TRUE(terminal.events.empty());
    ASSERT_TRUE(model->sendInfo(addFile(addBatch(), QString::fromUtf8("dir/café.bin"), 5), skip));
    EXPECT_FALSE(skip);
    EXPECT_EQ(terminal.events, std::vector<std::string>{"advertise 000005CAF\xC9.BIN"});
    EXPECT_EQ(log.count(QString::fromUtf8("Model::sendInfo advertise file CAFÉ.BIN of size 5")), 1);
}

// Damaged containers, and anything but a regular file (a FIFO nobody writes
// would block for ever, a device stream without end): refused, nothing sent. A
// package removed after its advertisement fails the download before it starts.
TEST_F(FileTransfer, PackagesThatCannotBeSentAreRefusedAtOnce)
{
    Application* removed = addFile(addBatch(), QStringLiteral("app.bin"), 10);
    bool skip = true;
    ASSERT_TRUE(model->sendInfo(removed, skip) && QFile::remove(removed->file));
    EXPECT_FALSE(model->downloadFile(removed));
    const QString fifo = dir.filePath(QStringLiteral("fifo.bin"));
    ASSERT_EQ(mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    std::vector<QString> paths = {fifo, dir.path(), QStringLiteral("/dev/zero")};
    const QByteArray whole = packed(patternContent(20));
    for (const QByteArray& damaged : {QByteArray(), QByteArray("\0\0\0", 3), rawContainer(0, {}), whole.left(4 + 24),
                                      rawContainer(33, whole.mid(4))}) {
        paths.push_back(dir.filePath(QStringLiteral("damaged%1.bin").arg(paths.size())));
        QFile file(paths.back());
        ASSERT_TRUE(file.open(QIODevice::WriteOnly) && file.write(damaged) == damaged.size());
    }
    for (const QString& path : paths) {
        Application* file = addFile(addBatch(), path, -1);
        EXPECT_FALSE(model->sendInfo(file, skip) || skip) << path.toStdString();
        EXPECT_FALSE(model->downloadFile(file)) << path.toStdString();
    }
    EXPECT_EQ(terminal.events, std::vector<std::string>{"advertise 000010APP.BIN"});
}

// A 3 GiB sparse package under a 1 GiB address-space cap is advertised and
// streamed block by block; a failing download is an ordinary failure, not an abort.
TEST_F(FileTransfer, HugePackageIsStreamedWithinAMemoryCap)
{
    if (underSanitizer())
        GTEST_SKIP() << "a sanitizer's shadow memory alone is above any address-space cap";
    constexpr qint64 kBody = qint64(3) << 30;
    Application* file = addFile(addBatch(), QStringLiteral("huge.bin"), -1);
    {
        QFile package(file->file);
        ASSERT_TRUE(package.open(QIODevice::WriteOnly) && package.write(rawContainer(uint32_t(kBody), {})) == 4);
        ASSERT_TRUE(package.resize(4 + kBody));
    }
    terminal.failedDownloads["HUGE.BIN"] = 1;
    const ChildResult child = runInChild([&] {
        const rlimit cap{rlim_t(1) << 30, rlim_t(1) << 30};
        setrlimit(RLIMIT_AS, &cap);
        bool skip = true;
        const bool advertised = model->sendInfo(file, skip) && !skip;
        return advertised && !model->downloadFile(file) && terminal.blockNumbers == std::vector<uint16_t>{0} ? 0 : 1;
    });
    EXPECT_TRUE(child.exited && child.exitCode == 0) << child.exitCode;
}

// Another package copied over the file in place during its download: that attempt fails before its last block, the
// retry sends the new file whole (before: the terminal got the head of one and the tail of the other, and success).
// Replaced by a rename, the download goes on with the file it opened.
TEST_F(FileTransfer, PackageRewrittenDuringItsDownloadIsNeverSentMixed)
{
    for (const bool inPlace : {true, false}) {
        Application* file = addFile(addBatch(), QStringLiteral("app%1.bin").arg(inPlace), 3000);
        const QByteArray other = QByteArray(3000, 'o');
        bool rewritten = false;
        const auto hook = QObject::connect(model.get(), &Model::setModuleProgression, [&](const QString&, int percent) {
            if (rewritten || percent < 40)
                return;
            QFile target(inPlace ? file->file : file->file + ".new");
            rewritten = target.open(QIODevice::WriteOnly) && target.write(packed(other)) > 0;
            target.close();
            rewritten = rewritten && (inPlace || ::rename(qPrintable(target.fileName()), qPrintable(file->file)) == 0);
        });
        ASSERT_TRUE(install()) << text.toStdString();
        QObject::disconnect(hook);
        const std::string name = inPlace ? "APP1.BIN" : "APP0.BIN";
        const Frame& received = terminal.received[name];
        EXPECT_EQ(QByteArray(reinterpret_cast<const char*>(received.data()), int(received.size())),
                  inPlace ? other : patternContent(3000));
        EXPECT_EQ(terminal.count("download " + name), inPlace ? 2 : 1);
        config->batchList.clear();
    }
}
