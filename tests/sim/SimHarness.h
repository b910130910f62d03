#pragma once
// Test support for the simulated terminal: the simulator served on its own
// thread over a fresh pseudo-terminal, a Link over the PC's end for the
// command set, and a few raw byte helpers.
#include "sim/Line.h"
#include "sim/Server.h"
#include "sim/SimulatedTerminal.h"
#include "protocol/Link.h"

#include <mutex>
#include <string>
#include <thread>
#include <vector>

// The Link of the PC over a file descriptor. `read` is one wait then one
// read, like the serial port's; its wait has a floor so that a busy machine
// does not turn a 20 ms time-out into a false failure (the simulator writes
// each answer at once, so the one read still sees a whole answer, or the
// first piece of an answer sent in pieces). `readFull` gives up after
// `fullWaitMs` without a byte.
class FdLink : public Link {
public:
    explicit FdLink(int fd, int fullWaitMs = 2000) : fd_(fd), fullWaitMs_(fullWaitMs) {}

    bool write(const uint8_t* data, uint16_t length) override;
    bool read(uint8_t* buffer, uint16_t& length, int timeoutMs) override;
    bool readFull(uint8_t* buffer, uint16_t& length) override;
    void clearInput() override;

    // Every answer read, in order (for counting resend requests).
    const std::vector<std::vector<uint8_t>>& received() const { return received_; }

private:
    int fd_;
    int fullWaitMs_;
    std::vector<std::vector<uint8_t>> received_;
};

class SimulatorHarness {
public:
    explicit SimulatorHarness(TerminalOptions options, ServeOptions serve = {});
    ~SimulatorHarness();

    const std::string& device() const { return line_.path; }
    // Opens the PC's end as the updater does, raw; closed by the harness.
    int openClient();
    void closeClient(int fd);

    // Stops the simulator (if still running) and waits for it; after this
    // the terminal may be inspected.
    ServeEnd finish();
    const SimulatedTerminal& terminal() const { return terminal_; }

    std::vector<std::string> traceLines() const;
    bool traced(const std::string& part) const;

private:
    void log(const std::string& line);

    mutable std::mutex mutex_;
    std::vector<std::string> trace_;
    Line line_;
    SimulatedTerminal terminal_;
    Server server_;
    ServeEnd end_ = ServeEnd::Stopped;
    std::thread thread_;
    std::vector<int> clients_;
};

using Bytes = std::vector<uint8_t>;

// Opens the PC's end of a line raw, as the updater does; the caller closes it.
int openRawClient(const std::string& path);

void sendBytes(int fd, const Bytes& bytes);
// What arrives within `waitMs`, up to `count` bytes; after the first byte it
// stops once the line has been quiet for 300 ms.
Bytes receiveBytes(int fd, size_t count, int waitMs);

// Frames the PC sends, with their CRC.
Bytes requestFrame(uint8_t code, std::initializer_list<uint8_t> parameters = {});
template <typename Frame>
Bytes bytesOf(const Frame& frame)
{
    return Bytes(frame.begin(), frame.end());
}

// Writes an encrypted container of `plain` under the program's file key.
void writeContainer(const std::string& path, const Bytes& plain);

// A fresh folder under the temporary directory, removed with its files.
class TemporaryFolder {
public:
    TemporaryFolder();
    ~TemporaryFolder();
    const std::string& path() const { return path_; }
    Bytes read(const std::string& name) const;
    bool exists(const std::string& name) const;

private:
    std::string path_;
};
