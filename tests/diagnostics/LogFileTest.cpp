#include "diagnostics/LogFile.h"

#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <map>
#include <thread>

// Two writers at once on one file bounded at 4 KiB, as the window and mirdal-cli are: the folder is made, the file
// becomes mirdal.log.1 past its bound, neither file passes it by more than a line of each writer, no line is torn,
// and what the two files keep of each writer is its last lines, none missing. A line too long is cut.
TEST(LogFile, StaysUnderItsBoundWithTwoWritersAtOnce)
{
    constexpr qint64 kLimit = 4096, kLine = 48;
    const QTemporaryDir dir;
    const QString path = dir.filePath("state/mirdal/mirdal.log");
    LogFile first(path, kLimit), second(path, kLimit);
    const auto write = [](LogFile* file, char writer) {
        for (int i = 0; i < 500; ++i)
            EXPECT_TRUE(
                file->append(QString("%1 %2 ").arg(writer).arg(i, 4, 10, QChar('0')).leftJustified(kLine - 1, 'x')))
                << file->problem().toStdString();
    };
    std::thread one(write, &first, 'a'), two(write, &second, 'b');
    one.join();
    two.join();
    ASSERT_TRUE(first.append("a 0500 " + QString(40, 'x')) && second.append("b 0500 " + QString(40, 'x')));

    std::map<char, std::vector<int>> kept;
    for (const QString& name : {first.olderPath(), path}) {
        QFile file(name);
        if (!file.open(QIODevice::ReadOnly) && name == path)
            continue; // just rotated
        const QByteArray text = file.readAll();
        EXPECT_TRUE(text.size() > (name == path ? 0 : kLimit) && text.size() <= kLimit + 2 * kLine)
            << name.toStdString() << " " << text.size();
        EXPECT_EQ(file.permissions() & (QFile::ReadGroup | QFile::ReadOther), 0);
        for (const QByteArray& line : text.split('\n')) {
            if (line.isEmpty())
                continue;
            const auto match = QRegularExpression("^([ab]) (\\d{4}) x{40}$").match(QString(line));
            ASSERT_TRUE(match.hasMatch()) << line.toStdString();
            kept[match.captured(1)[0].toLatin1()].push_back(match.captured(2).toInt());
        }
    }
    for (const auto& [writer, numbers] : kept) {
        EXPECT_EQ(numbers.back(), 500) << writer;
        for (size_t i = 1; i < numbers.size(); ++i)
            ASSERT_EQ(numbers[i], numbers[i - 1] + 1) << writer;
    }
    EXPECT_EQ(kept.size(), 2u);

    LogFile unbounded(dir.filePath("long.log"));
    ASSERT_TRUE(unbounded.append(QString(10000, 'y')));
    QFile file(unbounded.path());
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_EQ(file.readAll(), QByteArray(4096, 'y') + "\n");
}
