#pragma once
// The programs run as processes, the way scripts and other programs use
// them: mirdal-cli with its exit status and both outputs, mirdal-sim on a
// pseudo-terminal of its own.
#include <QProcess>
#include <QString>
#include <QStringList>

struct CliRun {
    int exitCode = -1;
    QString out;
    QString err;
};

// mirdal-cli COMMAND ARGS..., to its end (a hang fails the test after 2 minutes).
CliRun runCli(const QString& command, const QStringList& args);

// The simulator's options for a terminal that the test configurations of
// writeSignedConfiguration() accept, checking every file it receives
// against the packages of `folder`.
QStringList terminalFor(const QString& folder);

// mirdal-sim with the given arguments; the device it serves is read from its
// first line.
class Simulator {
public:
    explicit Simulator(const QStringList& arguments);
    ~Simulator() { stop(); }
    Simulator(const Simulator&) = delete;
    Simulator& operator=(const Simulator&) = delete;

    QString device() const { return device_; }

    // Ends the simulator and returns its exit status (-1 if it crashed);
    // the status says whether every file matched, or the replay completed.
    int stop();
    // Waits up to `waitMs` for the simulator to end by itself (a replay at
    // the end of its transcript), then stops it.
    int finish(int waitMs);
    // Waits up to `waitMs` for its standard error to hold `part`.
    bool waitForTrace(const QString& part, int waitMs);
    // Its standard error, once stopped.
    QString trace() const { return trace_; }

private:
    QProcess process_;
    QString device_;
    QString trace_;
};
