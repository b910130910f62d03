#pragma once
// The serial line to the terminal: its speed and the time bytes take on it.
// The transport sets the line to this speed, the exchanges give answers
// their line time, and the batch plan and the simulator count with it.
#include <cstddef>
#include <cstdint>

constexpr int kBaudRate = 9600;
constexpr int kBitsPerByte = 10; // start bit, 8 data bits, stop bit

// Whole milliseconds that `bytes` take on the line, rounded up.
constexpr int lineTimeMs(size_t bytes)
{
    return static_cast<int>((bytes * kBitsPerByte * 1000 + kBaudRate - 1) / kBaudRate);
}

// Whole milliseconds that `bytes` take at least, rounded down: for a sleep
// that must not outlast them.
constexpr int lineTimeMsAtLeast(size_t bytes)
{
    return static_cast<int>(bytes * kBitsPerByte * 1000 / kBaudRate);
}

// Bytes the line carries in one second.
constexpr double kLineBytesPerSecond = static_cast<double>(kBaudRate) / kBitsPerByte;
