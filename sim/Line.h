#pragma once
// The line on which the simulated terminal listens: a pseudo-terminal it
// creates, or a serial device it is given.
#include <string>

struct Line {
    int fd = -1;          // the terminal's end, non-blocking
    int keptSlave = -1;   // pseudo-terminal only: our own descriptor of the PC's end
    std::string path;     // the device the PC opens
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
