#include "sim/Server.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr int kBitsPerByte = 10;
constexpr int kPollMs = 100;                  // how often a stop request is noticed
constexpr milliseconds kIdleAfterHangUp{100}; // a line without peer is not polled in a loop
constexpr milliseconds kQuietBeforeEnd{500};  // after the last session, for late release frames
constexpr milliseconds kLongestLinger{5000};
constexpr size_t kReadChunk = 4096;

} // namespace

std::chrono::microseconds wireTime(size_t bytes, unsigned baud)
{
    if (baud == 0)
        return std::chrono::microseconds{0};
    return std::chrono::microseconds{static_cast<int64_t>(bytes) * kBitsPerByte * 1000000 / baud};
}

Server::Server(SimulatedTerminal& terminal, ServeOptions options, SimulatedTerminal::Trace trace)
    : terminal_(terminal), options_(options), trace_(std::move(trace))
{}

ServeEnd Server::serve(const Line& line)
{
    lastInput_ = Clock::now();
    uint8_t chunk[kReadChunk];
    while (!stop_.load()) {
        if (sessionsOver(line))
            return ServeEnd::SessionsDone;
        size_t count = 0;
        switch (receiveFromLine(line.fd, kPollMs, chunk, sizeof chunk, count)) {
        case Arrival::Failed: return ServeEnd::LineLost;
        case Arrival::Quiet:
            if (reader_.hasPartial() && Clock::now() - lastInput_ > milliseconds(options_.frameTimeoutMs))
                trace_("dropped " + std::to_string(reader_.dropPartial()) + " byte(s) of an incomplete frame");
            continue;
        case Arrival::HangUp:
            // No peer on the line: wait rather than spin.
            pause(kIdleAfterHangUp);
            continue;
        case Arrival::Bytes: break;
        }
        lastInput_ = Clock::now();
        reader_.feed(chunk, count);
        FrameReader::Frame frame;
        while (reader_.next(frame)) {
            const std::vector<Action> actions = terminal_.handle(frame);
            reader_.setBlocksExpected(terminal_.expectsBlocks());
            if (!perform(line, actions, frame.bytes.size()))
                return ServeEnd::Vanished;
        }
    }
    return ServeEnd::Stopped;
}

// The first answer to a frame waits for the wire time of the request and of
// itself; further pieces only for their own.
bool Server::perform(const Line& line, const std::vector<Action>& actions, size_t requestBytes)
{
    for (const Action& action : actions) {
        switch (action.type) {
        case Action::Vanish: return false;
        case Action::Pause: pause(milliseconds(action.ms)); break;
        case Action::Send:
            if (action.paced) {
                pause(wireTime(requestBytes + action.bytes.size(), options_.baud));
                requestBytes = 0;
            }
            writeAll(line.fd, action.bytes);
            break;
        }
    }
    return true;
}

void Server::writeAll(int fd, const Bytes& bytes)
{
    std::string problem;
    if (!writeToLine(fd, bytes, stop_, problem) && !problem.empty())
        trace_(problem);
}

void Server::pause(std::chrono::microseconds duration)
{
    pauseUnlessStopped(duration, stop_);
}

// Once the last session is over, the answers still waiting are left to be
// read and late release frames answered before the end.
bool Server::sessionsOver(const Line& line)
{
    if (options_.sessions <= 0 || terminal_.sessions() < options_.sessions)
        return false;
    const auto now = Clock::now();
    if (lingerStart_ == Clock::time_point{})
        lingerStart_ = now;
    const bool settled = now - lastInput_ >= kQuietBeforeEnd && unreadByPeer(line) == 0;
    return settled || now - lingerStart_ >= kLongestLinger;
}
