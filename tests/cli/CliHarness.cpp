#include "tests/cli/CliHarness.h"

#include <QElapsedTimer>
#include <gtest/gtest.h>

namespace {

constexpr int kCliLimitMs = 120000; // the waits are scaled down; a hang must still end
constexpr int kStartLimitMs = 10000;
constexpr int kStopLimitMs = 30000;

} // namespace

CliRun runCli(const QString& command, const QStringList& args)
{
    QProcess process;
    process.start(QStringLiteral(MIRDAL_CLI), QStringList{command} + args);
    CliRun run;
    if (!process.waitForFinished(kCliLimitMs)) {
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

QStringList terminalFor(const QString& folder)
{
    return {QStringLiteral("--hardware"), QStringLiteral("010203"), QStringLiteral("--verify"), folder};
}

Simulator::Simulator(const QStringList& arguments)
{
    process_.start(QStringLiteral(MIRDAL_SIM), arguments);
    while (!process_.canReadLine() && process_.waitForReadyRead(kStartLimitMs)) {
    }
    device_ = QString::fromUtf8(process_.readLine()).trimmed();
    EXPECT_TRUE(device_.startsWith(QStringLiteral("/dev/"))) << device_.toStdString();
}

bool Simulator::waitForTrace(const QString& part, int waitMs)
{
    QElapsedTimer timer;
    timer.start();
    process_.setReadChannel(QProcess::StandardError);
    for (;;) {
        trace_ += QString::fromUtf8(process_.readAllStandardError());
        if (trace_.contains(part))
            return true;
        const int left = waitMs - static_cast<int>(timer.elapsed());
        if (left <= 0 || !process_.waitForReadyRead(left))
            return false;
    }
}

int Simulator::finish(int waitMs)
{
    process_.waitForFinished(waitMs);
    return stop();
}

int Simulator::stop()
{
    if (process_.state() != QProcess::NotRunning) {
        process_.terminate();
        if (!process_.waitForFinished(kStopLimitMs)) {
            process_.kill();
            process_.waitForFinished();
        }
    }
    trace_ += QString::fromUtf8(process_.readAllStandardError());
    return process_.exitStatus() == QProcess::NormalExit ? process_.exitCode() : -1;
}
