#include "cli/ProgressView.h"

#include "cli/Console.h"

#include <QtGlobal>
#include <algorithm>
#include <cstdio>

namespace {

int columns()
{
    const int width = console::columns(stderr);
    return width > 0 ? width : 80;
}

// "[#####---] " at most 20 wide, or nothing where there is no room for one.
QString gauge(int value, int width)
{
    constexpr int kWidest = 20;
    constexpr int kNarrowest = 4;
    width = std::min(width, kWidest);
    if (width < kNarrowest)
        return {};
    const int filled = std::max(0, std::min(width, value * width / 100));
    return QStringLiteral("[%1%2] ").arg(QString(filled, QLatin1Char('#')), QString(width - filled, QLatin1Char('-')));
}

// "1:05"
QString clock(qint64 seconds)
{
    return QStringLiteral("%1:%2").arg(seconds / 60).arg(seconds % 60, 2, 10, QLatin1Char('0'));
}

} // namespace

ProgressMode progressMode(bool quiet)
{
    if (quiet)
        return ProgressMode::Quiet;
    if (!console::prepareTerminal(stderr) || qEnvironmentVariable("TERM") == QLatin1String("dumb"))
        return ProgressMode::Plain;
    return ProgressMode::Live;
}

ProgressView::ProgressView(const QStringList& names, ProgressMode mode, double expectedSeconds)
    : names_(names), live_(mode == ProgressMode::Live), quiet_(mode == ProgressMode::Quiet),
      expectedSeconds_(expectedSeconds), start_(std::chrono::steady_clock::now()), rows_(names.size())
{}

void ProgressView::status(int terminal, const QString& text, int value)
{
    std::lock_guard<std::mutex> lock(mutex_);
    show(terminal, &Row::total, text, value);
    if (!live_ && !quiet_)
        std::fprintf(stderr, "%s[%3d%%] %s\n", prefix(terminal).toUtf8().constData(), value, text.toUtf8().constData());
}

void ProgressView::module(int terminal, const QString& text, int value)
{
    std::lock_guard<std::mutex> lock(mutex_);
    show(terminal, &Row::module, text, value);
}

// The clock goes on between two statuses (a restart lasts a minute).
void ProgressView::tick()
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (live_ && drawn_)
        redraw();
}

// A log line goes above the live rows, which are drawn again below it.
void ProgressView::log(const QString& line)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (live_ && drawn_)
        std::fprintf(stderr, "\x1b[%dA\r\x1b[J", static_cast<int>(rows_.size()));
    std::fprintf(stderr, "%s\n", line.toUtf8().constData());
    if (live_ && drawn_) {
        drawn_ = false;
        redraw();
    }
}

void ProgressView::show(int terminal, Bar Row::*which, const QString& text, int value)
{
    rows_[terminal].*which = Bar{text, value};
    if (live_)
        redraw();
}

QString ProgressView::prefix(int terminal) const
{
    return names_.size() > 1 ? names_[terminal] + QStringLiteral(": ") : QString();
}

// "0:42 ~2:10 left": what the plan expects less the time gone, never below zero.
QString ProgressView::times() const
{
    const qint64 elapsed =
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - start_).count();
    const qint64 remaining = std::max<qint64>(0, qRound64(expectedSeconds_) - elapsed);
    return QStringLiteral("%1 ~%2 left").arg(clock(elapsed), clock(remaining));
}

// Cursor back to the first row, then every row rewritten; rows are cut to
// the width so that none wraps and the count of lines to go back stays right.
void ProgressView::redraw()
{
    if (drawn_)
        std::fprintf(stderr, "\x1b[%dA", static_cast<int>(rows_.size()));
    const int width = columns() - 1;
    const QString clocks = times();
    for (size_t i = 0; i < rows_.size(); ++i) {
        const Row& row = rows_[i];
        // The numbers come first so that a narrow terminal cuts texts, not
        // numbers; the gauge gives way first, so that the stage's text stays.
        const QString numbers =
            QStringLiteral("total %1% file %2% %3 ").arg(row.total.value, 3).arg(row.module.value, 3).arg(clocks);
        const QString head = prefix(static_cast<int>(i));
        const int room = width - static_cast<int>(head.size() + numbers.size() + row.total.text.size()) - 3;
        QString line = head + gauge(row.total.value, room) + numbers + row.total.text;
        if (!row.module.text.isEmpty())
            line += QStringLiteral(" | ") + row.module.text;
        std::fprintf(stderr, "\r\x1b[2K%s\n", line.left(width).toUtf8().constData());
    }
    std::fflush(stderr);
    drawn_ = true;
}
