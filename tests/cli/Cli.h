#pragma once
// mirdal-cli run as a process, the way scripts use it, and simulated terminals (tests/support) for it to update.
#include "tests/support/SignedConfiguration.h"
#include "tests/support/SimProcess.h"

#include <QProcess>

const char* const kSuccess = "Installation réalisée avec succès\nLe terminal a été correctement mis à jour.\n";

inline std::ostream& operator<<(std::ostream& out, const QString& text)
{
    return out << text.toStdString();
}

struct CliRun {
    int status = -1; // -1: still running after 2 minutes, or ended by a signal
    QString out, err;
};

// mirdal-cli (or another program) ARGS... with `input` on its standard input, to its end.
inline CliRun cli(const QStringList& args, const QByteArray& input = {}, const QString& program = MIRDAL_CLI)
{
    QProcess process;
    process.start(program, args);
    process.write(input);
    process.closeWriteChannel();
    // A hang is killed when `process` goes, with a warning that fails the test.
    const bool ended = process.waitForFinished(120000) && process.exitStatus() == QProcess::NormalExit;
    return {ended ? process.exitCode() : -1, QString::fromUtf8(process.readAllStandardOutput()),
            QString::fromUtf8(process.readAllStandardError())};
}

// A signed configuration folder of one batch of one package, app.bin.
inline bool writePackage(const QString& folder, const QByteArray& content)
{
    return writeSignedConfiguration(folder, {0, {{1, 2, 3}}, {{{"app.bin", content}}}});
}

// mirdal-sim as a terminal that such folders accept, checking each file it receives against `folder`'s packages.
inline bool started(SimProcess& sim, const QString& folder, const QStringList& more = {})
{
    QString error;
    const bool ok = sim.start(QStringList{"--hardware", "010203", "--verify", folder} + more, error);
    EXPECT_TRUE(ok) << error;
    return ok;
}

// The simulator's standard error, once it has ended.
inline QString traceOf(SimProcess& sim)
{
    sim.stop();
    return QString::fromUtf8(sim.errorOutput());
}
