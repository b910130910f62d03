#pragma once
// The terminal's side of the dialogue, as pure logic: it takes the frames
// that FrameReader cuts from the line and says what to send back. No I/O
// happens here except storing received files; Server moves the bytes.
#include "sim/Faults.h"
#include "sim/FrameReader.h"
#include "protocol/Frames.h"

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

struct TerminalOptions {
    // The hardware id of the record, which the updater compares with its
    // accepted hardware configurations. By default "M10", the hardware that
    // the sample configuration accepts.
    HardwareId hardware = {0x4D, 0x31, 0x30};
    // Installed applications, in the order the list gives them.
    std::vector<std::string> applications = {"VARLENNE", "PAYMENT"};
    std::string storeDirectory;  // empty: received files stay in memory only
    std::string verifyDirectory; // empty: received files are not compared
    FaultPlan faults;
    uint32_t splitPauseMs = 100; // between the halves of a split answer
    size_t splitOffset = 0;      // the byte a split answer is cut before; 0: its middle
};

// One step of the reply to a frame.
struct Action {
    enum Type { Send, Pause, Vanish };
    Type type = Send;
    Bytes bytes;     // Send
    uint32_t ms = 0; // Pause
};

struct ReceivedFile {
    std::string name;
    Bytes content;
};

class SimulatedTerminal {
public:
    using Trace = std::function<void(const std::string&)>;

    SimulatedTerminal(TerminalOptions options, Trace trace, Trace problem);

    std::vector<Action> handle(const FrameReader::Frame& frame);

    // A download is under way: a leading code 4 opens a data block.
    bool expectsBlocks() const { return transfer_ && transfer_->started; }

    int sessions() const { return sessions_; }
    const std::vector<ReceivedFile>& files() const { return files_; }
    // Verification mismatches and files that could not be stored.
    const std::vector<std::string>& problems() const { return problems_; }

private:
    struct Transfer {
        std::string name;
        uint32_t length = 0;
        bool authorized = false;
        bool started = false;
        uint16_t nextBlock = 0;
        Bytes content;
    };

    std::vector<Action> onSlash(const Bytes& frame);
    std::vector<Action> onCommand(const Bytes& frame);
    std::vector<Action> onBlock(const Bytes& frame);
    std::vector<Action> onHardware();
    std::vector<Action> onList();
    std::vector<Action> onAdvertise(const Bytes& frame);
    std::vector<Action> onAuthorize();
    std::vector<Action> onStart();
    std::vector<Action> onActivate();
    std::vector<Action> onRelease();
    std::vector<Action> finalConfirmation();

    std::optional<FaultKind> fire(Step stage, int blockNumber = -1);
    std::vector<Action> reply(const std::string& line, std::optional<FaultKind> fault, Bytes answer);
    std::vector<Action> shape(std::optional<FaultKind> fault, Bytes answer) const;
    void keep(const Transfer& transfer);
    void report(const std::string& text);

    TerminalOptions options_;
    Trace trace_;
    Trace problem_;
    bool varlenneRunning_ = false;
    std::optional<Transfer> transfer_;
    std::array<int, kStepCount> occurrences_{};
    int sessions_ = 0;
    std::vector<ReceivedFile> files_;
    std::vector<std::string> problems_;
};

// Splits an advertisement text into the file's length and name.
bool parseAdvertisement(const std::string& text, uint32_t& length, std::string& name);
