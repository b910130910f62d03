#pragma once
// The one log capture of the tests: every line the program logs while it
// lives. Warnings still reach the default output, so that they fail the run
// under QT_FATAL_WARNINGS.
#include <QString>
#include <QStringList>

class LogCapture {
public:
    LogCapture();
    ~LogCapture();
    QStringList lines() const;
    int count(const QString& line) const { return lines().count(line); }
};
