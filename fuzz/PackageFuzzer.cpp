// Any bytes as a package file, read by the engine the way an installation
// reads it: the advertisement takes the plain length from it, the download
// decrypts it and sends it block by block to a terminal that accepts
// everything. A refused file must fail both steps before anything is sent;
// an accepted one must reach the terminal as exactly its plain content.
#include "fuzz/FuzzCheck.h"
#include "fuzz/FuzzSupport.h"
#include "engine/Model.h"
#include "crypto/Container.h"
#include "protocol/Frames.h"
#include "protocol/Framing.h"

#include <cstdio>
#include <cstdlib>
#include <deque>
#include <vector>

namespace {

using fuzz::check;

// The pauses of the protocol are not what is fuzzed.
class NoClock : public Clock {
public:
    void sleepMs(uint32_t) override {}
};

// A terminal that agrees to everything and keeps the data it was sent.
class AcceptingTerminal : public TerminalPort {
public:
    std::vector<uint8_t> received;
    int frames = 0;

    bool open(const PortChoice&) override { return true; }
    bool close() override { return true; }
    OpenFailure lastOpenFailure() const override { return {}; }

    bool write(const uint8_t* data, uint16_t length) override
    {
        ++frames;
        check(length == kCommandFrameSize || length == kBlockFrameSize, "frames of the protocol only");
        if (length == kBlockFrameSize) {
            const uint8_t count = data[kBlockCountOffset];
            check(count >= 1 && count <= kMaxBlockPayload, "block count within the frame");
            received.insert(received.end(), data + kBlockDataOffset, data + kBlockDataOffset + count);
        }
        queue(answerFrame(data[0], kResultDone));
        return true;
    }

    // The final confirmation of a download is read here; it is always ready.
    bool read(uint8_t* buffer, uint16_t& length, int) override
    {
        if (pending_.empty())
            queue(answerFrame(kCodeDownload, kResultDone));
        return take(buffer, length);
    }

    bool readFull(uint8_t* buffer, uint16_t& length, int) override
    {
        if (pending_.empty() || length != kCommandFrameSize) {
            length = 0;
            return false;
        }
        return take(buffer, length);
    }

    void clearInput() override { pending_.clear(); }

private:
    void queue(const CommandFrame& frame) { pending_.push_back(frame); }

    bool take(uint8_t* buffer, uint16_t& length)
    {
        const CommandFrame frame = pending_.front();
        pending_.pop_front();
        length = std::min<uint16_t>(length, kCommandFrameSize);
        std::copy_n(frame.begin(), length, buffer);
        return true;
    }

    std::deque<CommandFrame> pending_;
};

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzz::installQuietLog();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz::writeScratchFile(QStringLiteral("PKG.BIN"), data, size);
    std::vector<uint8_t> plain;
    const bool wellFormed = decryptContainer(data, size, plain) == ContainerError::None;

    AcceptingTerminal terminal;
    ModelOptions options;
    options.ports = std::make_shared<StaticPortProvider>(QList<PortInfo>());
    options.clock = std::make_shared<NoClock>();
    options.pcscSwitch = [] {};
    // Not owned by the engine: an empty owner with the terminal as the pointer.
    options.terminalPort = [&terminal](std::shared_ptr<SerialPort>) {
        return std::shared_ptr<TerminalPort>(std::shared_ptr<TerminalPort>(), &terminal);
    };
    Model model(nullptr, options);
    const Application application(fuzz::scratchFolder() + QStringLiteral("PKG.BIN"));

    bool skip = true;
    check(model.sendInfo(&application, skip) == wellFormed, "advertised exactly when well formed");
    check(!skip, "a short name is never skipped");
    check(model.downloadFile(&application) == wellFormed, "downloaded exactly when well formed");
    if (!wellFormed) {
        check(terminal.frames == 0, "nothing sent for a refused package");
        return 0;
    }
    check(terminal.received == plain, "the terminal got the plain content");
    return 0;
}
