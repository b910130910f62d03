#include "sim/Replay.h"

#include "protocol/Frames.h"

#include <algorithm>
#include <cmath>

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr int kPollMs = 100;
constexpr milliseconds kIdleAfterHangUp{100};
// After the last recorded frame: the PC reads the last answers and closes;
// any frame it still sends in that time is one the transcript does not have.
constexpr milliseconds kQuietBeforeEnd{500};
constexpr milliseconds kLongestLinger{5000};
constexpr size_t kReadChunk = 4096;
// A difference is shown with this many bytes of both frames around it.
constexpr size_t kShownBytes = 12;

std::chrono::microseconds recordedDelay(double from, double to)
{
    return std::chrono::microseconds(static_cast<int64_t>(std::max(0.0, to - from) * 1e6));
}

std::string shown(const Bytes& bytes, size_t from)
{
    const size_t begin = std::min(from, bytes.size());
    const size_t count = std::min(kShownBytes, bytes.size() - begin);
    std::string text = hexBytes(bytes.data() + begin, count);
    if (begin + count < bytes.size())
        text += " ..";
    return text;
}

std::string blockDifference(const TranscriptEntry& recorded, const Bytes& received)
{
    const uint16_t number =
        static_cast<uint16_t>((received[kBlockNumberOffset] << 8) | received[kBlockNumberOffset + 1]);
    const uint8_t count = received[kBlockCountOffset];
    const Bytes crc(received.begin() + kBlockCrcOffset, received.end());
    if (received[0] == kCodeDownload && number == recorded.block && count == recorded.count &&
        std::equal(crc.begin(), crc.end(), recorded.crc.begin()))
        return {};
    return "expected block " + std::to_string(recorded.block) + " of " + std::to_string(recorded.count) +
           " bytes with CRC " + hexBytes(recorded.crc.data(), recorded.crc.size()) + ", received " +
           (received[0] == kCodeDownload ? "block " + std::to_string(number) + " of " + std::to_string(count) +
                                               " bytes with CRC " + hexBytes(crc.data(), crc.size())
                                         : frameKind(received.data(), received.size()) + " " + shown(received, 0));
}

} // namespace

bool replaySteps(const std::vector<TranscriptEntry>& entries, std::vector<ReplayStep>& steps, std::string& error)
{
    steps.clear();
    double lastRequest = 0;
    for (const TranscriptEntry& entry : entries) {
        if (entry.direction == Direction::Pc && entry.sent) {
            steps.push_back({entry, {}, {}});
            lastRequest = entry.t;
        } else if (entry.direction == Direction::Terminal) {
            if (steps.empty()) {
                error = "line " + std::to_string(entry.line) + ": the terminal speaks before the PC";
                return false;
            }
            ReplayStep& step = steps.back();
            if (step.reply.empty())
                step.delay = recordedDelay(lastRequest, entry.t);
            step.reply.insert(step.reply.end(), entry.bytes.begin(), entry.bytes.end());
        }
    }
    if (steps.empty()) {
        error = "the transcript holds no frame of the PC";
        return false;
    }
    return true;
}

std::string frameDifference(const TranscriptEntry& recorded, const Bytes& received)
{
    if (received.size() != recorded.length)
        return "expected " + std::to_string(recorded.length) + " bytes, received " + std::to_string(received.size());
    if (recorded.isBlock())
        return blockDifference(recorded, received);
    if (!recorded.bytesKnown() || received == recorded.bytes)
        return {};
    const auto differ = std::mismatch(received.begin(), received.end(), recorded.bytes.begin());
    const size_t at = static_cast<size_t>(differ.first - received.begin());
    const size_t from = at < kShownBytes / 2 ? 0 : at - kShownBytes / 2;
    const std::string kind = frameKind(received.data(), received.size());
    return "byte " + std::to_string(at) + " differs" +
           (kind == recorded.kind ? "" : ", received a " + kind + " frame") + ": from byte " + std::to_string(from) +
           ", expected " + shown(recorded.bytes, from) + ", received " + shown(received, from);
}

Replay::Replay(std::vector<ReplayStep> steps, ReplayOptions options, Trace trace, Trace problem)
    : steps_(std::move(steps)), options_(options), trace_(std::move(trace)), problem_(std::move(problem))
{}

std::string Replay::where(size_t step) const
{
    const TranscriptEntry& request = steps_[step].request;
    return "frame " + std::to_string(step + 1) + "/" + std::to_string(steps_.size()) + " (" + request.kind + ", line " +
           std::to_string(request.line) + ")";
}

ReplayEnd Replay::play(const Line& line)
{
    lastInput_ = Clock::now();
    uint8_t chunk[kReadChunk];
    while (!stop_.load()) {
        if (next_ == steps_.size() && lingerOver(line))
            return ReplayEnd::Complete;
        size_t count = 0;
        switch (receiveFromLine(line.fd, kPollMs, chunk, sizeof chunk, count)) {
        case Arrival::Failed: return ReplayEnd::LineLost;
        case Arrival::Quiet:
            if (!pending_.empty() && Clock::now() - lastInput_ > milliseconds(options_.frameTimeoutMs)) {
                problem_(where(next_) + ": only " + std::to_string(pending_.size()) + " of " +
                         std::to_string(steps_[next_].request.length) + " bytes came: " + shown(pending_, 0));
                return ReplayEnd::Mismatch;
            }
            continue;
        case Arrival::HangUp: pauseUnlessStopped(kIdleAfterHangUp, stop_); continue;
        case Arrival::Bytes: break;
        }
        lastInput_ = Clock::now();
        pending_.insert(pending_.end(), chunk, chunk + count);
        if (!takeFrames(line))
            return ReplayEnd::Mismatch;
    }
    return ReplayEnd::Stopped;
}

// Every whole frame waiting is compared and answered in turn.
bool Replay::takeFrames(const Line& line)
{
    while (!pending_.empty()) {
        if (next_ == steps_.size()) {
            problem_("after the last recorded frame, the PC sent " + std::to_string(pending_.size()) +
                     " byte(s) more: " + frameKind(pending_.data(), pending_.size()) + " " + shown(pending_, 0));
            return false;
        }
        const ReplayStep& step = steps_[next_];
        if (pending_.size() < step.request.length)
            return true;
        const Bytes frame(pending_.begin(), pending_.begin() + static_cast<long>(step.request.length));
        pending_.erase(pending_.begin(), pending_.begin() + static_cast<long>(step.request.length));
        const std::string difference = frameDifference(step.request, frame);
        if (!difference.empty()) {
            problem_(where(next_) + ": " + difference);
            return false;
        }
        trace_(where(next_) + " as recorded" +
               (step.reply.empty() ? ", no answer" : ", " + std::to_string(step.reply.size()) + " byte(s) answered"));
        ++next_;
        if (step.reply.empty())
            continue;
        pauseUnlessStopped(std::chrono::microseconds(static_cast<int64_t>(
                               std::llround(static_cast<double>(step.delay.count()) * options_.timeScale))),
                           stop_);
        std::string problem;
        if (!writeToLine(line.fd, step.reply, stop_, problem) && !problem.empty())
            trace_(problem);
    }
    return true;
}

// Once the last frame is answered, the PC is left to read the answers, and
// the line watched a little longer for frames the transcript does not have.
bool Replay::lingerOver(const Line& line)
{
    const auto now = Clock::now();
    if (lingerStart_ == Clock::time_point{})
        lingerStart_ = now;
    const bool settled = now - lastInput_ >= kQuietBeforeEnd && unreadByPeer(line) == 0;
    return settled || now - lingerStart_ >= kLongestLinger;
}
