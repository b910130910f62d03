#pragma once
// Plays the terminal's side of a session transcript: every frame the PC
// sends must be the next one the transcript recorded, and is answered with
// the bytes the terminal gave then. A session recorded with a real terminal
// thus becomes a test of the updater: any frame that differs is reported.
#include "sim/Line.h"
#include "transcript/Transcript.h"

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <vector>

struct ReplayOptions {
    // The recorded time from a request to the first bytes of its answer,
    // multiplied by this, passes before the answer goes out; 0 answers at once.
    double timeScale = 0;
    // An incomplete frame is reported as a mismatch after this much silence.
    int frameTimeoutMs = 1000;
};

// One request of the PC and everything the terminal gave until the next one.
struct ReplayStep {
    TranscriptEntry request;
    Bytes reply;                        // the pieces read, one after the other
    std::chrono::microseconds delay{0}; // recorded, request to first piece
};

// Cuts a transcript into steps. Events are left out, and so are frames whose
// write failed (what the terminal sent after them belongs to the step before).
bool replaySteps(const std::vector<TranscriptEntry>& entries, std::vector<ReplayStep>& steps, std::string& error);

// How a received frame differs from the recorded request; empty when it is
// the same. A data block is compared by number, count and CRC, since the
// transcript does not hold its payload.
std::string frameDifference(const TranscriptEntry& recorded, const Bytes& received);

enum class ReplayEnd {
    Complete, // every recorded frame came and was answered
    Mismatch, // a frame differed, was cut short, or came after the end
    Stopped,  // requestStop() before the end of the transcript
    LineLost,
};

class Replay {
public:
    using Trace = std::function<void(const std::string&)>;

    Replay(std::vector<ReplayStep> steps, ReplayOptions options, Trace trace, Trace problem);

    ReplayEnd play(const Line& line);

    // Safe from a signal handler and from another thread.
    void requestStop() { stop_.store(true); }

    size_t answered() const { return next_; }
    size_t steps() const { return steps_.size(); }

private:
    bool takeFrames(const Line& line);
    bool lingerOver(const Line& line);
    std::string where(size_t step) const;

    std::vector<ReplayStep> steps_;
    ReplayOptions options_;
    Trace trace_;
    Trace problem_;
    std::atomic<bool> stop_{false};
    size_t next_ = 0;
    Bytes pending_;
    std::chrono::steady_clock::time_point lastInput_;
    std::chrono::steady_clock::time_point lingerStart_{};
};
