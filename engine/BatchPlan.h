#pragma once
// What an installation of a configuration puts on the line, batch by batch,
// worked out before any port is opened: the files it sends and those it
// skips, the blocks of each, the bytes on the wire and the fixed waits. The
// terminal's list of installed applications is not known beforehand and is
// not counted (perListedApplicationMs() says what each name costs).
#include "protocol/Line.h"
#include "config/Configuration.h"
#include "crypto/Container.h"

#include <QList>
#include <QString>
#include <cstdint>

struct PlannedFile {
    enum class State {
        Sent,         // advertised and downloaded
        Missing,      // missing or unreadable: the installation stops there
        NotContainer, // not a well-formed container: the installation stops there
        Skipped,      // too long a name to be advertised: skipped, silently
    };
    QString path;
    State state = State::Missing;
    ContainerError framing = ContainerError::None; // NotContainer
    QString framingProblem;                        // NotContainer: what is wrong, in words
    uint32_t length = 0;                           // plain bytes (Sent, Skipped)
    int blocks = 0;                                // Sent
    QString skipReason;                            // why it cannot be advertised (Skipped)
};

struct PlannedBatch {
    int id = 0;
    QList<PlannedFile> files;
    int sent = 0;
    int skipped = 0;
    int blocks = 0;
    qint64 wireBytes = 0; // the batch's frames, the files' included
    qint64 fixedMs = 0;   // its settling pauses and the terminal's restart
};

struct BatchPlan {
    QList<PlannedBatch> batches;
    qint64 wireBytes = 0;
    qint64 fixedMs = 0;
    int sent = 0;

    double wireSeconds() const { return static_cast<double>(wireBytes) / kLineBytesPerSecond; }
    // The whole installation with every fixed wait multiplied by `timeScale`.
    double seconds(double timeScale = 1.0) const
    {
        return wireSeconds() + static_cast<double>(fixedMs) * timeScale / 1000.0;
    }
    // What each application the terminal lists adds, in each batch.
    static double perListedApplicationMs();
    // What makes it up: the pause between two names and the answer's size.
    static int listPacingMs();
    static int listAnswerBytes();
};

// The plan of a loaded configuration; reads every file its batches name.
BatchPlan planBatches(const Configuration& configuration);
