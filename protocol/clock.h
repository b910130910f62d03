#pragma once
// Fixed pauses of the protocol and the scenario go through a Clock, so that
// tests and the command line can shorten them. Read time-outs never do.
#include <chrono>
#include <cstdint>
#include <thread>

class Clock {
public:
    virtual ~Clock() = default;
    virtual void sleepMs(uint32_t ms) = 0;
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
    double scale() const { return scale_; }

private:
    double scale_;
};
