#pragma once
// The session transcripts of mirdal-cli install: one writer per terminal,
// the file each goes to, and the files a transcript may not go to.
#include "config/Configuration.h"
#include "transcript/Transcript.h"

#include <QString>
#include <QStringList>

// The session transcript of one terminal.
struct Transcript {
    explicit Transcript(TranscriptWriter::Clock::time_point start) : writer(start) {}
    QString path;
    TranscriptWriter writer;
};

// A short name of the port for its transcript's file ("ttyUSB0", "pts-3").
QString portTag(const QString& port);

// With one port the transcript is FILE itself; with several, each port's
// goes to FILE with the port's tag before the extension.
QString transcriptPath(const QString& file, const QString& port, bool several);

// Two ports whose transcripts would land in the same file; empty when none.
QString transcriptClash(const QString& file, const QStringList& ports);

// Why a transcript may not go to `path` (a FIFO nobody reads, a file the
// update reads); empty when it may. `held`: a FIFO's reader to close once
// the transcript is open, or -1.
QString traceTargetProblem(const QString& path, const Configuration& configuration, int& held);
