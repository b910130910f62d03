#pragma once
// The line on which the simulated terminal listens: a pseudo-terminal it
// creates, or a serial device it is given. This is the simulator's platform
// seam, and it has a POSIX side only (Line.cpp: openpty, termios, poll): the
// simulator is not built for Windows.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

struct Line {
    int fd = -1;        // the terminal's end, non-blocking
    int keptSlave = -1; // pseudo-terminal only: our own descriptor of the PC's end
    std::string path;   // the device the PC opens
};

// Creates a pseudo-terminal whose PC end is raw (no echo, no line editing)
// from the start. We keep the PC end open ourselves, so that the PC may close
// and reopen it between batches without the line hanging up on us.
bool openPseudoTerminal(Line& line, std::string& error);

// Opens a serial device raw, at `baud` when it is a standard speed (else 9600).
bool openDevice(const std::string& path, unsigned baud, Line& line, std::string& error);

// Bytes written to the PC's end that the PC has not read yet; 0 when unknown.
int unreadByPeer(const Line& line);

void closeLine(Line& line);

// Writes all of `bytes` to the line, waiting while the PC's side is full.
// False when the PC reads nothing for a while or the line fails (`problem`
// then says how far it got and why), or on a stop request (`problem` empty).
bool writeToLine(int fd, const std::vector<uint8_t>& bytes, const std::atomic<bool>& stop, std::string& problem);

// Sleeps in short slices, so that a stop request cuts the pause short.
void pauseUnlessStopped(std::chrono::microseconds duration, const std::atomic<bool>& stop);

enum class Arrival {
    Bytes,  // `count` bytes were read
    Quiet,  // nothing within the wait
    HangUp, // no peer on the line (closed, hung up): wait before trying again
    Failed, // the line cannot be waited on any more
};

// One wait of at most `waitMs` for bytes from the PC, then one read of what
// came, up to `capacity` bytes.
Arrival receiveFromLine(int fd, int waitMs, uint8_t* buffer, size_t capacity, size_t& count);
