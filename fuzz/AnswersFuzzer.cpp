// Every answer of the terminal as it may arrive: the fuzz bytes are served
// by the link, one answer after the other, to the whole command set in the
// order of a session. Each answer starts with a control byte:
//   bit 7     seal: the link writes a correct CRC over what it serves (so
//             that the fuzzer reaches the tests behind the CRC);
//   bits 0-6  for read(): 0 nothing arrives, 127 the whole capacity,
//             otherwise that many bytes (at most the capacity);
//             for readFull(): 0 the terminal stays silent, anything else
//             the requested count.
// The answer's bytes follow; a stream that runs dry is a silent terminal.
// The first byte of the input picks the command that the session starts with.
#include "fuzz/FuzzCheck.h"
#include "protocol/CommandSet.h"
#include "protocol/Crc16.h"
#include "protocol/Frames.h"
#include "protocol/Steps.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

using fuzz::check;

// The pauses of the protocol are not what is fuzzed.
class NoClock : public Clock {
public:
    void sleepMs(uint32_t) override {}
};

class FuzzedTerminal : public Link {
public:
    FuzzedTerminal(const uint8_t* data, size_t size) : data_(data), size_(size) {}

    int writes = 0;

    bool write(const uint8_t* data, uint16_t length) override
    {
        check(data != nullptr && length > 0 && length <= kBlockFrameSize, "a whole frame of the protocol");
        ++writes;
        return true;
    }

    bool read(uint8_t* buffer, uint16_t& length, int timeoutMs) override
    {
        check(timeoutMs >= 0 && length > 0, "a bounded wait for a positive count");
        uint8_t control = 0;
        if (!next(control) || (control & 0x7F) == 0)
            return false;
        const uint16_t wanted = (control & 0x7F) == 0x7F ? length : std::min<uint16_t>(control & 0x7F, length);
        const uint16_t count = serve(buffer, wanted, control & 0x80);
        if (count == 0)
            return false;
        length = count;
        return true;
    }

    bool readFull(uint8_t* buffer, uint16_t& length, int) override
    {
        uint8_t control = 0;
        if (!next(control) || (control & 0x7F) == 0 || size_ - offset_ < length) {
            length = 0;
            return false;
        }
        serve(buffer, length, control & 0x80);
        return true;
    }

    void clearInput() override {}

private:
    bool next(uint8_t& byte)
    {
        if (offset_ >= size_)
            return false;
        byte = data_[offset_++];
        return true;
    }

    // Copies up to `count` bytes; a sealed answer of a command or block frame's
    // size gets the CRC that belongs at its end.
    uint16_t serve(uint8_t* buffer, uint16_t count, bool seal)
    {
        count = static_cast<uint16_t>(std::min<size_t>(count, size_ - offset_));
        std::memcpy(buffer, data_ + offset_, count);
        offset_ += count;
        if (seal && count >= kBlockFrameSize)
            crc16Append(buffer, kBlockCrcOffset);
        else if (seal && count >= kCommandFrameSize)
            crc16Append(buffer, kCommandCrcOffset);
        return count;
    }

    const uint8_t* data_;
    size_t size_;
    size_t offset_ = 0;
};

// A package of three blocks (122, 122, 56 bytes).
const std::vector<uint8_t>& content()
{
    static const std::vector<uint8_t> bytes = [] {
        std::vector<uint8_t> b(300);
        for (size_t i = 0; i < b.size(); ++i)
            b[i] = static_cast<uint8_t>(i * 7 + 1);
        return b;
    }();
    return bytes;
}

// One command per step of the protocol's table, from `first` on; the blocks
// and the final confirmation belong to the download, the second release
// frame to the first.
void runStep(CommandSet& commands, FuzzedTerminal& terminal, Step step)
{
    const int before = terminal.writes;
    switch (step) {
    case Step::Opening:
        commands.initTerminal();
        check(terminal.writes - before <= kOpeningAttempts, "three openings at most");
        break;
    case Step::Varlenne: commands.startVarlenne(); break;
    case Step::Hardware: {
        std::array<uint8_t, 126> record{};
        commands.readHardwareConfiguration(record);
        break;
    }
    case Step::List: {
        std::vector<std::string> names;
        commands.readApplicationList(names);
        for (const std::string& name : names)
            check(name.size() <= kMaxNameLength && name.find('\0') == std::string::npos,
                  "a name within its frame, up to its first zero");
        break;
    }
    case Step::Advertise: {
        bool skip = false;
        commands.advertise("APP.BIN", static_cast<uint32_t>(content().size()), skip);
        check(!skip, "a short name is advertised");
        break;
    }
    case Step::Authorize: commands.requestAuthorization(); break;
    case Step::DownloadStart: {
        int last = -1;
        commands.download(content().data(), static_cast<uint32_t>(content().size()), [&](int percent) {
            check(percent > last && percent <= 100, "progress climbs to 100");
            last = percent;
        });
        const int blocks = 3;
        check(terminal.writes - before <= 1 + blocks * (1 + kMaxResendRequests), "resend requests are bounded");
        break;
    }
    case Step::Activate: commands.activateFiles(); break;
    case Step::Release: commands.releaseTerminal(); break;
    case Step::FirstRelease: commands.sendReleaseFrames(); break;
    case Step::Block:
    case Step::Final:
    case Step::SecondRelease: break;
    }
}

void runSession(CommandSet& commands, FuzzedTerminal& terminal, size_t first)
{
    for (size_t i = first; i < kStepCount; ++i)
        runStep(commands, terminal, kSteps[i].step);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0)
        return 0;
    FuzzedTerminal terminal(data + 1, size - 1);
    NoClock clock;
    CommandSet commands(terminal, clock);
    int finalCrcFailures = 0;
    commands.setDebugLog([&](const std::string&) { ++finalCrcFailures; });
    runSession(commands, terminal, data[0] % kStepCount);
    check(finalCrcFailures <= 1, "one download, one final confirmation");
    return 0;
}
