#pragma once
// Fixed pauses of the protocol and the scenario go through a Clock, so that
// tests and the command line can shorten them. Read time-outs never do.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <thread>

class Clock {
public:
    virtual ~Clock() = default;
    virtual void sleepMs(uint32_t ms) = 0;

    // A pause between two exchanges that a stop request cuts short (the
    // terminal's restart wait). By default it is only skipped when the stop
    // was asked for before it began.
    virtual void sleepUnlessStopped(uint32_t ms, const std::atomic<bool>& stop)
    {
        if (!stop.load())
            sleepMs(ms);
    }
};

// Sleeps for real, every pause multiplied by `scale` (0 < scale <= 1).
class ScaledClock : public Clock {
public:
    explicit ScaledClock(double scale = 1.0) : scale_(scale) {}
    void sleepMs(uint32_t ms) override
    {
        const auto us = static_cast<int64_t>(static_cast<double>(ms) * 1000.0 * scale_);
        if (us > 0)
            std::this_thread::sleep_for(std::chrono::microseconds(us));
    }
    // Waits in short slices, so that a stop ends the pause within one slice.
    void sleepUnlessStopped(uint32_t ms, const std::atomic<bool>& stop) override
    {
        constexpr auto kSlice = std::chrono::milliseconds(50);
        const auto end = std::chrono::steady_clock::now() +
                         std::chrono::microseconds(static_cast<int64_t>(static_cast<double>(ms) * 1000.0 * scale_));
        for (auto now = std::chrono::steady_clock::now(); now < end && !stop.load();
             now = std::chrono::steady_clock::now())
            std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(end - now, kSlice));
    }
    double scale() const { return scale_; }

private:
    double scale_;
};
