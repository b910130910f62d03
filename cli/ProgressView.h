#pragma once
// mirdal-cli install's progress on stderr: a status line per terminal,
// redrawn in place on a terminal with the time elapsed and the time expected
// to remain, one plain line per status change otherwise. Safe from the
// terminals' threads.
#include <QString>
#include <QStringList>
#include <chrono>
#include <mutex>
#include <vector>

// How the progress is shown on stderr.
enum class ProgressMode {
    Live,  // a status line per terminal, redrawn in place
    Plain, // one plain line per status change (logs, pipes, dumb terminals)
    Quiet, // none: only the result (and the log lines asked for)
};

// Live lines only on a terminal that can move its cursor (and TERM is not "dumb").
ProgressMode progressMode(bool quiet);

class ProgressView {
public:
    // `expectedSeconds`: the whole installation as the batch plan sees it.
    ProgressView(const QStringList& names, ProgressMode mode, double expectedSeconds);

    void status(int terminal, const QString& text, int value);
    void module(int terminal, const QString& text, int value);
    // The clock goes on between two statuses (a restart lasts a minute).
    void tick();
    // A log line goes above the live rows, which are drawn again below it.
    void log(const QString& line);

private:
    struct Bar {
        QString text;
        int value = 0;
    };
    struct Row {
        Bar total;
        Bar module;
    };

    void show(int terminal, Bar Row::*which, const QString& text, int value);
    QString prefix(int terminal) const;
    QString times() const;
    void redraw();

    const QStringList names_;
    const bool live_;
    const bool quiet_;
    const double expectedSeconds_;
    const std::chrono::steady_clock::time_point start_;
    std::vector<Row> rows_;
    bool drawn_ = false;
    std::mutex mutex_;
};
