#pragma once
// The operating system as the command line meets it: its standard streams,
// the console's width, interruptions (Ctrl-C, SIGTERM, SIGHUP, the console
// window closing) and the identity of a device. One side per platform:
// ConsolePosix.cpp and ConsoleWindows.cpp. Plain C++.
#include <cstdio>
#include <functional>
#include <string>

namespace console {

// Lets the program carry on when nobody reads its output: a write to a pipe
// whose reader went away fails instead of ending the process, and a
// standard stream closed at start is opened on the null device, so that no
// file or port the program opens later takes its place. Call it first thing
// in main(), before anything opens a file.
void keepRunningWithoutOutput();

bool isTerminal(FILE* stream);

// Sets the console up for the program's output: UTF-8 for the French texts
// and, on `stream`, the escape sequences that redraw the live lines. False
// when `stream` is no terminal or refuses those sequences: plain lines then.
bool prepareTerminal(FILE* stream);

// Raises the limit of open files to what the system allows this process
// (the soft limit up to the hard one): each terminal updated at once needs
// a few descriptors, and a thread that cannot get its own aborts the
// process. Call it with keepRunningWithoutOutput().
void raiseDescriptorLimit();

// How many more files this process may open now: its limit less those open.
// -1 where the platform sets no such limit.
long descriptorRoom();

// The width in columns of the console that `stream` writes to; 0 when unknown.
int columns(FILE* stream);

// A name shared by every path of one device: the device number of a device
// file (whatever links or repeated separators lead to it), the file's own
// identity for another file. Empty when there is none (no such file).
std::string deviceIdentity(const std::string& path);

// False when this user may not open the device at `path` for reading and
// writing (its permissions, not whether another program holds it). Where
// the platform has no such permissions on serial ports, always true.
bool mayOpen(const std::string& path);

// Interruptions while an instance lives. The first one runs `onFirst`, once,
// on a thread of the watch (never inside a signal handler); the next one
// ends the process at once with `exitStatus`. The previous handling comes
// back when the instance goes. One instance at a time.
class InterruptWatch {
public:
    InterruptWatch(std::function<void()> onFirst, int exitStatus);
    ~InterruptWatch();
    InterruptWatch(const InterruptWatch&) = delete;
    InterruptWatch& operator=(const InterruptWatch&) = delete;

    bool interrupted() const;
};

} // namespace console
