#pragma once
// A Link that plays a scripted terminal and a Clock that only takes note.
// Both write into one journal, so a test sees the exact order of pauses,
// writes, reads and clears.
#include "tests/support/FakeClock.h"
#include "protocol/Framing.h"
#include "protocol/Link.h"

#include <algorithm>
#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <type_traits>
#include <vector>

using Bytes = std::vector<uint8_t>;

struct Event {
    enum Type { Sleep, Write, Read, ReadFull, Clear };
    Type type;
    Bytes bytes;        // Write: the frame; Read: the bytes delivered
    uint32_t value = 0; // Sleep: ms; Read/ReadFull: requested length
    int timeoutMs = 0;  // Read: the wait; ReadFull: the deadline
};

using Journal = std::vector<Event>;

class ScriptedLink : public Link {
public:
    explicit ScriptedLink(Journal& journal) : journal_(journal) {}

    // The terminal's reaction to the next write: the pieces that arrive after
    // it, each visible to one `read`. Writes beyond the script get no answer.
    ScriptedLink& reply(std::vector<Bytes> pieces)
    {
        script_.push_back({true, std::move(pieces)});
        return *this;
    }
    ScriptedLink& reply(const Bytes& answer) { return reply(std::vector<Bytes>{answer}); }
    ScriptedLink& silence() { return reply(std::vector<Bytes>{}); }
    ScriptedLink& failWrite()
    {
        script_.push_back({false, {}});
        return *this;
    }

    bool write(const uint8_t* data, uint16_t length) override
    {
        journal_.push_back({Event::Write, Bytes(data, data + length)});
        if (script_.empty())
            return true;
        Step step = std::move(script_.front());
        script_.pop_front();
        if (!step.writeOk)
            return false;
        for (auto& piece : step.pieces)
            input_.push_back(std::move(piece));
        return true;
    }

    // Only the first piece has arrived when the wait ends.
    bool read(uint8_t* buffer, uint16_t& length, int timeoutMs) override
    {
        journal_.push_back({Event::Read, {}, length, timeoutMs});
        if (input_.empty())
            return false;
        Bytes& piece = input_.front();
        const uint16_t count = static_cast<uint16_t>(std::min<size_t>(length, piece.size()));
        std::copy_n(piece.begin(), count, buffer);
        journal_.back().bytes.assign(piece.begin(), piece.begin() + count);
        piece.erase(piece.begin(), piece.begin() + count);
        if (piece.empty())
            input_.pop_front();
        length = count;
        return true;
    }

    // Gathers pieces until the count is reached; too few bytes stand for the
    // bounded wait running out.
    bool readFull(uint8_t* buffer, uint16_t& length, int deadlineMs) override
    {
        journal_.push_back({Event::ReadFull, {}, length, deadlineMs});
        Bytes queued;
        for (const auto& piece : input_)
            queued.insert(queued.end(), piece.begin(), piece.end());
        if (queued.size() < length) {
            length = 0;
            return false;
        }
        std::copy_n(queued.begin(), length, buffer);
        input_.clear();
        if (queued.size() > length)
            input_.push_back(Bytes(queued.begin() + length, queued.end()));
        return true;
    }

    void clearInput() override
    {
        journal_.push_back({Event::Clear, {}});
        input_.clear();
    }

private:
    struct Step {
        bool writeOk;
        std::vector<Bytes> pieces;
    };
    Journal& journal_;
    std::deque<Step> script_;
    std::deque<Bytes> input_;
};

// Pauses of a FakeClock noted in the journal: FakeClock clock{noting(journal)}.
inline std::function<void(uint32_t)> noting(Journal& journal)
{
    return [&journal](uint32_t ms) { journal.push_back({Event::Sleep, {}, ms}); };
}

// --- Answers and journal views ------------------------------------------------

inline Bytes toBytes(const CommandFrame& frame)
{
    return Bytes(frame.begin(), frame.end());
}

inline Bytes answer(uint8_t code, uint8_t result)
{
    return toBytes(answerFrame(code, result));
}

inline Bytes withBadCrc(Bytes frame)
{
    frame.back() ^= 0xFF;
    return frame;
}

inline Bytes firstPart(const Bytes& frame, size_t count)
{
    return Bytes(frame.begin(), frame.begin() + count);
}

inline std::vector<Bytes> writes(const Journal& journal)
{
    std::vector<Bytes> frames;
    for (const Event& event : journal)
        if (event.type == Event::Write)
            frames.push_back(event.bytes);
    return frames;
}
