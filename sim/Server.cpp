#include "sim/Server.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

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

// On a paced line the terminal hears a request only once the request has
// crossed the line, and its answers cross it at the line's speed.
bool Server::perform(const Line& line, const std::vector<Action>& actions, size_t requestBytes)
{
    if (!actions.empty())
        pause(wireTime(requestBytes, options_.baud));
    for (const Action& action : actions) {
        switch (action.type) {
        case Action::Vanish: return false;
        case Action::Pause: pause(milliseconds(action.ms)); break;
        case Action::Send: deliver(line.fd, action.bytes); break;
        }
    }
    return true;
}

// Each piece of `chunk` bytes reaches the PC when its last byte has crossed
// the line, as a UART (a byte at a time) or its FIFO hands them on; a USB
// device sends a packet of up to 64 bytes each millisecond. The times count
// from the first piece, so that the late wake-ups of a sleeping thread do not
// add up over an answer.
void Server::deliver(int fd, const Bytes& bytes)
{
    constexpr size_t kUsbPacket = 64;
    constexpr std::chrono::milliseconds kUsbFrame{1};
    if (options_.baud == 0)
        return writeAll(fd, bytes);
    const size_t chunk = options_.usbPackets ? kUsbPacket : options_.chunk;
    const auto start = Clock::now();
    for (size_t at = 0; at < bytes.size() && !stop_.load(); at += chunk) {
        const size_t end = std::min(bytes.size(), at + chunk);
        const auto due = options_.usbPackets ? start + kUsbFrame * static_cast<int>(at / chunk + 1)
                                             : start + wireTime(end, options_.baud);
        if (due > Clock::now())
            pause(std::chrono::duration_cast<std::chrono::microseconds>(due - Clock::now()));
        writeAll(fd, Bytes(bytes.begin() + static_cast<long>(at), bytes.begin() + static_cast<long>(end)));
    }
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
