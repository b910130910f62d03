#pragma once
// The one fake clock of the tests: every pause is noted, none is slept. A
// scripted link's journal may be handed every pause too (see ScriptedLink.h).
#include "protocol/Clock.h"

#include <algorithm>
#include <cstdint>
#include <functional>
#include <utility>
#include <vector>

class FakeClock : public Clock {
public:
    FakeClock() = default;
    explicit FakeClock(std::function<void(uint32_t)> note) : note_(std::move(note)) {}

    void sleepMs(uint32_t ms) override
    {
        sleeps.push_back(ms);
        if (note_)
            note_(ms);
    }
    int count(uint32_t ms) const { return static_cast<int>(std::count(sleeps.begin(), sleeps.end(), ms)); }

    std::vector<uint32_t> sleeps;

private:
    std::function<void(uint32_t)> note_;
};
