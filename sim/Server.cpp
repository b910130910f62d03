#include "Server.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr int kBitsPerByte = 10;
constexpr int kPollMs = 100;                          // how often a stop request is noticed
constexpr milliseconds kIdleAfterHangUp{100};         // a line without peer is not polled in a loop
constexpr milliseconds kPauseSlice{50};
constexpr int kWriteTimeoutMs = 2000;                 // a PC that reads nothing loses the answer
constexpr milliseconds kQuietBeforeEnd{500};          // after the last session, for late release frames
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
{
}

ServeEnd Server::serve(const Line& line)
{
    lastInput_ = Clock::now();
    uint8_t chunk[kReadChunk];
    while (!stop_.load()) {
        if (sessionsOver(line))
            return ServeEnd::SessionsDone;
        pollfd waiter{line.fd, POLLIN, 0};
        const int ready = poll(&waiter, 1, kPollMs);
        if (ready < 0 && errno != EINTR)
            return ServeEnd::LineLost;
        if (ready <= 0) {
            const auto quiet = Clock::now() - lastInput_;
            if (reader_.hasPartial() && quiet > milliseconds(options_.frameTimeoutMs))
                trace_("dropped " + std::to_string(reader_.dropPartial()) + " byte(s) of an incomplete frame");
            continue;
        }
        if (!(waiter.revents & POLLIN)) {
            // No peer on the line (hang-up, error): wait rather than spin.
            pause(kIdleAfterHangUp);
            continue;
        }
        const ssize_t count = read(line.fd, chunk, sizeof chunk);
        if (count < 0 && (errno == EAGAIN || errno == EINTR))
            continue;
        if (count <= 0) {
            pause(kIdleAfterHangUp);
            continue;
        }
        lastInput_ = Clock::now();
        reader_.feed(chunk, static_cast<size_t>(count));
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
        case Action::Vanish:
            return false;
        case Action::Pause:
            pause(milliseconds(action.ms));
            break;
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
    size_t done = 0;
    while (done < bytes.size() && !stop_.load()) {
        const ssize_t count = write(fd, bytes.data() + done, bytes.size() - done);
        if (count > 0) {
            done += static_cast<size_t>(count);
            continue;
        }
        const int error = count < 0 ? errno : 0;
        if (error == EINTR)
            continue;
        pollfd waiter{fd, POLLOUT, 0};
        if (error == EAGAIN && poll(&waiter, 1, kWriteTimeoutMs) > 0 && (waiter.revents & POLLOUT))
            continue;
        trace_("answer dropped after " + std::to_string(done) + " byte(s): " +
               (error == 0 || error == EAGAIN ? std::string("the PC reads nothing") : std::strerror(error)));
        return;
    }
}

void Server::pause(std::chrono::microseconds duration)
{
    const auto end = Clock::now() + duration;
    for (auto now = Clock::now(); now < end && !stop_.load(); now = Clock::now())
        std::this_thread::sleep_for(std::min<Clock::duration>(end - now, kPauseSlice));
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
