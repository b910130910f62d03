#pragma once
// The terminal's exchanges, one row each, in the order of a session: how
// each is asked for, how long it settles and waits, how its answer is read
// and what its answer must begin with. The command set builds every exchange
// from its row; the scenario, the batch plan, the transcripts, the simulator
// and the fuzzer name and count the steps by the same rows.
#include "protocol/Frames.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

enum class Step {
    Opening,       // opening slash frame
    Varlenne,      // Varlenne start slash frame
    Hardware,      // code 7: the hardware record
    List,          // code 1: the application list, an answer per name
    Advertise,     // code 2: a file's length and name
    Authorize,     // code 3
    DownloadStart, // code 4
    Block,         // a data block
    Final,         // the final confirmation after the last block (no request)
    Activate,      // code 5
    Release,       // code 6: end of dialogue
    FirstRelease,  // first release slash frame
    SecondRelease, // second release slash frame
};
constexpr size_t kStepCount = 13;

enum class Reception {
    None,     // no answer of its own
    Read,     // a wait of `waitMs` for the first bytes, then the rest by the answer's shape
    ReadFull, // exactly `capacity` bytes by a deadline of `waitMs` plus their line time
};

// How an answer's length is known once its first bytes are in.
enum class Shape {
    Slash,   // "/", selector, count N, N bytes, CRC: by its count byte
    Command, // 32 bytes, CRC over bytes 0..29
    Block,   // 128 bytes, CRC over bytes 0..125 (the hardware record)
};

struct StepRow {
    Step step;
    const char* name;     // the step's one name: transcripts, simulator faults, fuzzer
    const char* what;     // for a technician's cause: "advertisement of" APP.BIN
    uint8_t code;         // command code of the request; 0: a slash frame or no request
    const uint8_t* slash; // the slash frame sent, CRC included
    uint16_t slashSize;
    uint32_t settleMs;    // pause before the request (through the Clock)
    uint32_t afterSendMs; // pause between the request and its answer
    Reception reception;
    Shape shape;
    uint16_t capacity;
    int waitMs;                  // Read: the wait for the first bytes; ReadFull: the deadline
    std::array<uint8_t, 3> lead; // what the answer must begin with
    uint8_t leadCount;
};

// The answer's common layout: echo, marker, result.
constexpr std::array<uint8_t, 3> leading(uint8_t code, uint8_t result)
{
    return {code, kAnswerMarker, result};
}

// The advertisement, the authorization and the download start may follow
// work on the terminal (its flash erased before a download): their whole
// answers get a deadline that no healthy terminal reaches. A block's answer
// is the terminal's quick reply.
constexpr StepRow kSteps[kStepCount] = {
    {Step::Opening,
     "opening",
     "opening",
     0,
     kOpeningFrame.data(),
     kOpeningFrame.size(),
     0,
     0,
     Reception::Read,
     Shape::Slash,
     16,
     4000,
     {},
     0},
    {Step::Varlenne,
     "varlenne",
     "Varlenne start",
     0,
     kVarlenneStartFrame.data(),
     kVarlenneStartFrame.size(),
     0,
     0,
     Reception::Read,
     Shape::Slash,
     7,
     4000,
     {},
     0},
    {Step::Hardware,
     "hardware",
     "hardware record",
     kCodeHardwareConfiguration,
     nullptr,
     0,
     4000,
     0,
     Reception::Read,
     Shape::Block,
     kBlockFrameSize,
     4000,
     {},
     0},
    {Step::List,
     "list",
     "application list",
     kCodeApplicationList,
     nullptr,
     0,
     0,
     0,
     Reception::Read,
     Shape::Command,
     kCommandFrameSize,
     20,
     {},
     0},
    {Step::Advertise, "advertise", "advertisement of", kCodeAdvertise, nullptr, 0, 200, 0, Reception::ReadFull,
     Shape::Command, kCommandFrameSize, 60000, leading(kCodeAdvertise, kResultDone), 3},
    {Step::Authorize, "authorize", "authorization of", kCodeAuthorization, nullptr, 0, 200, 0, Reception::ReadFull,
     Shape::Command, kCommandFrameSize, 60000, leading(kCodeAuthorization, kResultGranted), 3},
    {Step::DownloadStart, "download-start", "download of", kCodeDownload, nullptr, 0, 200, 0, Reception::ReadFull,
     Shape::Command, kCommandFrameSize, 60000, leading(kCodeDownload, kResultDone), 3},
    // The result byte decides between done and resend: only echo and marker are led.
    {Step::Block, "block", "download of", kCodeDownload, nullptr, 0, 0, 0, Reception::ReadFull, Shape::Command,
     kCommandFrameSize, 10000, leading(kCodeDownload, 0), 2},
    {Step::Final, "final", "download of", 0, nullptr, 0, 0, 0, Reception::Read, Shape::Command, kCommandFrameSize, 1000,
     leading(kCodeDownload, kResultDone), 3},
    {Step::Activate, "activate", "activation", kCodeActivate, nullptr, 0, 10, 20000, Reception::Read, Shape::Command,
     kCommandFrameSize, 1000, leading(kCodeActivate, kResultDone), 3},
    {Step::Release, "release", "end of dialogue", kCodeRelease, nullptr, 0, 10, 0, Reception::Read, Shape::Command,
     kCommandFrameSize, 4000, leading(kCodeRelease, kResultDone), 3},
    {Step::FirstRelease,
     "release-1",
     "release frames",
     0,
     kFirstReleaseFrame.data(),
     kFirstReleaseFrame.size(),
     0,
     0,
     Reception::Read,
     Shape::Slash,
     256,
     1000,
     {},
     0},
    {Step::SecondRelease,
     "release-2",
     "release frames",
     0,
     kSecondReleaseFrame.data(),
     kSecondReleaseFrame.size(),
     0,
     0,
     Reception::Read,
     Shape::Slash,
     256,
     1000,
     {},
     0},
};

constexpr bool rowsInOrder()
{
    for (size_t i = 0; i < kStepCount; ++i) {
        if (static_cast<size_t>(kSteps[i].step) != i)
            return false;
    }
    return true;
}
static_assert(rowsInOrder(), "one row per step, in the order of Step");

constexpr const StepRow& row(Step step)
{
    return kSteps[static_cast<size_t>(step)];
}

// The bytes of the request a row sends (0 for the final confirmation).
constexpr uint16_t requestSize(const StepRow& row)
{
    if (row.slash)
        return row.slashSize;
    if (row.code == 0)
        return 0;
    return row.step == Step::Block ? kBlockFrameSize : kCommandFrameSize;
}

// The row whose name is `name`, or nullptr.
const StepRow* stepNamed(const std::string& name);

// The step a frame the PC sends stands for, by its bytes; nullptr for a
// frame that is none of them.
const StepRow* stepOfRequest(const uint8_t* frame, size_t length);
