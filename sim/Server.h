#pragma once
// Moves bytes between the line and the simulated terminal: reads what the PC
// sends, cuts it into frames, lets the terminal answer and writes the
// answers, at the pace of a real line when asked.
#include "sim/Line.h"
#include "sim/SimulatedTerminal.h"
#include "protocol/Line.h"

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>

struct ServeOptions {
    unsigned baud = kBaudRate; // 0: answers go out at once
    size_t chunk = 1;          // bytes the PC receives at once: 1 a plain UART, more a UART's FIFO
    bool usbPackets = false;   // packets of up to 64 bytes, 1 ms apart, as a USB device sends them
    int sessions = 0;          // end after this many sessions; 0: no end
    int frameTimeoutMs = 1000; // an incomplete frame is dropped after this much silence
};

enum class ServeEnd {
    Stopped,      // requestStop()
    SessionsDone, // the sessions asked for are over
    Vanished,     // a vanish fault: the caller closes the line
    LineLost,     // the line cannot be waited on any more
};

// Wire time of `bytes` at `baud` with 10 bits per byte (start, 8 data, stop).
std::chrono::microseconds wireTime(size_t bytes, unsigned baud);

class Server {
public:
    Server(SimulatedTerminal& terminal, ServeOptions options, SimulatedTerminal::Trace trace);

    ServeEnd serve(const Line& line);

    // Safe from a signal handler and from another thread.
    void requestStop() { stop_.store(true); }

private:
    bool perform(const Line& line, const std::vector<Action>& actions, size_t requestBytes);
    void deliver(int fd, const Bytes& bytes);
    void writeAll(int fd, const Bytes& bytes);
    void pause(std::chrono::microseconds duration);
    bool sessionsOver(const Line& line);

    SimulatedTerminal& terminal_;
    ServeOptions options_;
    SimulatedTerminal::Trace trace_;
    FrameReader reader_;
    std::atomic<bool> stop_{false};
    std::chrono::steady_clock::time_point lastInput_;
    std::chrono::steady_clock::time_point lingerStart_{};
};
