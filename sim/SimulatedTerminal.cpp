#include "sim/SimulatedTerminal.h"

#include "sim/ReceivedFiles.h"
#include "protocol/Crc16.h"
#include "protocol/Framing.h"

#include <algorithm>
#include <cstdio>

namespace {

// Our terminal's own bytes. Only the ones the updater tests are fixed by
// the protocol; the others are the simulator's choice.
constexpr uint8_t kAck = 0x06;
constexpr uint8_t kNak = 0x15;
constexpr uint8_t kRefused = 0x00;     // result byte of a negative answer
constexpr uint8_t kBadEchoMask = 0x80; // byte 0 of an answer with a wrong echo
constexpr std::array<uint8_t, 3> kGarbage = {0xA5, 0x5A, 0xC3};
// Hardware record: echo and marker, an 8-character serial number, then the
// three hardware bytes where the updater reads them; the rest is zero.
constexpr uint16_t kSerialOffset = 2;
constexpr char kSerialNumber[] = "00000001";

Bytes toBytes(const CommandFrame& frame)
{
    return Bytes(frame.begin(), frame.end());
}

// Every frame we send ends with the CRC of all the bytes before it.
void reseal(Bytes& frame)
{
    crc16Append(frame.data(), static_cast<uint16_t>(frame.size() - kCrcSize));
}

bool crcValid(Bytes frame)
{
    return crc16Check(frame.data(), static_cast<uint16_t>(frame.size() - kCrcSize));
}

template <size_t N>
bool equals(const Bytes& frame, const std::array<uint8_t, N>& expected)
{
    return frame.size() == N && std::equal(expected.begin(), expected.end(), frame.begin());
}

Action send(Bytes bytes)
{
    return {Action::Send, std::move(bytes), 0};
}

std::string hex(uint8_t byte)
{
    char text[4];
    std::snprintf(text, sizeof text, "%02X", byte);
    return text;
}

// Silent and vanishing terminals do not act on the frame either.
bool ignores(std::optional<FaultKind> fault)
{
    return fault == FaultKind::Silent || fault == FaultKind::Vanish;
}

bool allDigits(const std::string& text)
{
    return text.find_first_not_of("0123456789") == std::string::npos;
}

} // namespace

bool parseAdvertisement(const std::string& text, uint32_t& length, std::string& name)
{
    // "1000000;NAME" for lengths above 999999, else six digits then the name.
    const size_t end = text.find(kLongLengthEnd);
    if (end > static_cast<size_t>(kShortLengthDigits) && end <= 10 && allDigits(text.substr(0, end))) {
        const unsigned long long value = std::stoull(text.substr(0, end));
        if (value > kMaxShortLength && value <= UINT32_MAX) {
            length = static_cast<uint32_t>(value);
            name = text.substr(end + 1);
            return !name.empty();
        }
    }
    if (text.size() <= static_cast<size_t>(kShortLengthDigits) || !allDigits(text.substr(0, kShortLengthDigits)))
        return false;
    length = static_cast<uint32_t>(std::stoul(text.substr(0, kShortLengthDigits)));
    name = text.substr(kShortLengthDigits);
    return true;
}

SimulatedTerminal::SimulatedTerminal(TerminalOptions options, Trace trace, Trace problem)
    : options_(std::move(options)), trace_(std::move(trace)), problem_(std::move(problem))
{}

std::vector<Action> SimulatedTerminal::handle(const FrameReader::Frame& frame)
{
    switch (frame.kind) {
    case FrameReader::Kind::Junk:
        trace_("skipped " + std::to_string(frame.bytes.size()) + " byte(s) that start no frame");
        return {};
    case FrameReader::Kind::Slash: return onSlash(frame.bytes);
    case FrameReader::Kind::Command: return onCommand(frame.bytes);
    case FrameReader::Kind::Block: return onBlock(frame.bytes);
    }
    return {};
}

// --- Faults and answers -------------------------------------------------------

std::optional<FaultKind> SimulatedTerminal::fire(Step stage, int blockNumber)
{
    const int occurrence = ++occurrences_[static_cast<size_t>(stage)];
    return options_.faults.fire(stage, stage == Step::Block ? blockNumber : occurrence);
}

std::vector<Action> SimulatedTerminal::reply(const std::string& line, std::optional<FaultKind> fault, Bytes answer)
{
    trace_(fault ? line + " [fault: " + faultKindName(*fault) + "]" : line);
    return shape(fault, std::move(answer));
}

// What reaches the line: the answer as the fault damages it. Refusals and
// resend requests are chosen by the stage itself and go out intact.
std::vector<Action> SimulatedTerminal::shape(std::optional<FaultKind> fault, Bytes answer) const
{
    if (!fault)
        return {send(answer)};
    const size_t half = std::max<size_t>(1, answer.size() / 2);
    switch (*fault) {
    case FaultKind::Silent: return {};
    case FaultKind::Vanish: return {{Action::Vanish, {}, 0}};
    case FaultKind::BadCrc: answer.back() ^= 0xFF; return {send(answer)};
    case FaultKind::BadEcho:
        answer[0] ^= kBadEchoMask;
        reseal(answer);
        return {send(answer)};
    case FaultKind::Short: answer.resize(half); return {send(answer)};
    case FaultKind::Split: {
        const auto cut = static_cast<long>(
            options_.splitOffset == 0 ? half : std::min(options_.splitOffset, std::max<size_t>(1, answer.size() - 1)));
        return {send(Bytes(answer.begin(), answer.begin() + cut)),
                {Action::Pause, {}, options_.splitPauseMs},
                send(Bytes(answer.begin() + cut, answer.end()))};
    }
    case FaultKind::Garbage: answer.insert(answer.begin(), kGarbage.begin(), kGarbage.end()); return {send(answer)};
    case FaultKind::Resend:
    case FaultKind::Refuse: break;
    }
    return {send(answer)};
}

void SimulatedTerminal::report(const std::string& text)
{
    problems_.push_back(text);
    problem_(text);
}

// --- Slash frames -------------------------------------------------------------

std::vector<Action> SimulatedTerminal::onSlash(const Bytes& frame)
{
    const uint8_t selector = frame[kSlashSelectorOffset];
    if (!crcValid(frame)) {
        trace_("slash frame with a wrong CRC, ignored");
        return {};
    }
    if (equals(frame, kOpeningFrame)) {
        const auto fault = fire(Step::Opening);
        const bool refused = fault == FaultKind::Refuse;
        return reply("opening frame", fault, slashFrame(selector, {refused ? kNak : kAck}));
    }
    if (equals(frame, kVarlenneStartFrame)) {
        const auto fault = fire(Step::Varlenne);
        const bool refused = fault == FaultKind::Refuse;
        if (!ignores(fault))
            varlenneRunning_ = !refused;
        const Bytes answer = refused ? slashFrame(selector, {kVarlenneRefusal[0], kVarlenneRefusal[1]})
                                     : slashFrame(selector, {'O', 'K'});
        return reply("Varlenne start", fault, answer);
    }
    if (equals(frame, kFirstReleaseFrame) || equals(frame, kSecondReleaseFrame)) {
        // Back to the terminal's own menu.
        varlenneRunning_ = false;
        transfer_.reset();
        trace_(equals(frame, kFirstReleaseFrame) ? "first release frame" : "second release frame");
        return {send(slashFrame(selector, {kAck}))};
    }
    trace_("unknown slash frame, answered with a refusal");
    return {send(slashFrame(selector, {kNak}))};
}

// --- Command frames -----------------------------------------------------------

std::vector<Action> SimulatedTerminal::onCommand(const Bytes& frame)
{
    const uint8_t code = frame[0];
    if (!crcValid(frame)) {
        trace_("command " + hex(code) + " with a wrong CRC, ignored");
        return {};
    }
    if (!varlenneRunning_) {
        trace_("command " + hex(code) + " before the Varlenne start, ignored");
        return {};
    }
    switch (code) {
    case kCodeApplicationList: return onList();
    case kCodeAdvertise: return onAdvertise(frame);
    case kCodeAuthorization: return onAuthorize();
    case kCodeDownload: return onStart();
    case kCodeActivate: return onActivate();
    case kCodeRelease: return onRelease();
    case kCodeHardwareConfiguration: return onHardware();
    }
    return {};
}

std::vector<Action> SimulatedTerminal::onHardware()
{
    const auto fault = fire(Step::Hardware);
    if (fault == FaultKind::Refuse)
        return reply("hardware configuration request", fault,
                     toBytes(answerFrame(kCodeHardwareConfiguration, kRefused)));
    Bytes record(kBlockFrameSize, 0);
    record[kEchoOffset] = kCodeHardwareConfiguration;
    record[kMarkerOffset] = kAnswerMarker;
    std::copy_n(kSerialNumber, sizeof kSerialNumber - 1, record.begin() + kSerialOffset);
    std::copy(options_.hardware.begin(), options_.hardware.end(), record.begin() + kRecordHardwareIdOffset);
    reseal(record);
    return reply("hardware configuration request", fault, record);
}

// One answer per application, then one with length 0, back to back. Faults
// touch the first one.
std::vector<Action> SimulatedTerminal::onList()
{
    const auto fault = fire(Step::List);
    std::vector<Bytes> answers;
    for (const auto& name : options_.applications) {
        CommandFrame frame{};
        frame[0] = kCodeApplicationList;
        frame[kNameLengthOffset] = static_cast<uint8_t>(name.size());
        std::copy_n(name.begin(), std::min<size_t>(name.size(), kMaxNameLength), frame.begin() + kNameOffset);
        sealCommandFrame(frame);
        answers.push_back(toBytes(frame));
    }
    answers.push_back(toBytes(commandFrame(kCodeApplicationList)));
    const std::string line = "application list request (" + std::to_string(options_.applications.size()) + " names)";
    std::vector<Action> actions = reply(line, fault, answers.front());
    if (ignores(fault))
        return actions;
    for (size_t i = 1; i < answers.size(); ++i)
        actions.push_back(send(answers[i]));
    return actions;
}

std::vector<Action> SimulatedTerminal::onAdvertise(const Bytes& frame)
{
    const auto fault = fire(Step::Advertise);
    const uint8_t textLength = std::min<uint8_t>(frame[kTextLengthOffset], kMaxAdvertisementText);
    const std::string text(frame.begin() + kTextOffset, frame.begin() + kTextOffset + textLength);
    Transfer transfer;
    const bool readable = parseAdvertisement(text, transfer.length, transfer.name);
    const bool accepted = readable && fault != FaultKind::Refuse;
    if (!ignores(fault)) {
        transfer_.reset();
        if (accepted)
            transfer_ = transfer;
    }
    const std::string line =
        readable ? "advertisement of " + transfer.name + " (" + std::to_string(transfer.length) + " bytes)"
                 : "advertisement \"" + text + "\" not understood";
    return reply(line, fault, toBytes(answerFrame(kCodeAdvertise, accepted ? kResultDone : kRefused)));
}

std::vector<Action> SimulatedTerminal::onAuthorize()
{
    const auto fault = fire(Step::Authorize);
    const bool granted = transfer_ && fault != FaultKind::Refuse;
    if (granted && !ignores(fault))
        transfer_->authorized = true;
    const std::string line = transfer_ ? "authorization request for " + transfer_->name
                                       : std::string("authorization request without an advertised file");
    return reply(line, fault, toBytes(answerFrame(kCodeAuthorization, granted ? kResultGranted : kRefused)));
}

std::vector<Action> SimulatedTerminal::onStart()
{
    const auto fault = fire(Step::DownloadStart);
    const bool accepted = transfer_ && transfer_->authorized && fault != FaultKind::Refuse;
    const std::string line =
        transfer_ ? "download start of " + transfer_->name : std::string("download start without a file");
    std::vector<Action> actions =
        reply(line, fault, toBytes(answerFrame(kCodeDownload, accepted ? kResultDone : kRefused)));
    if (ignores(fault) || !accepted)
        return actions;
    transfer_->started = true;
    transfer_->content.reserve(transfer_->length);
    if (transfer_->length == 0) {
        auto confirmation = finalConfirmation();
        actions.insert(actions.end(), confirmation.begin(), confirmation.end());
    }
    return actions;
}

std::vector<Action> SimulatedTerminal::onActivate()
{
    const auto fault = fire(Step::Activate);
    const bool done = fault != FaultKind::Refuse;
    return reply("activation request", fault, toBytes(answerFrame(kCodeActivate, done ? kResultDone : kResultResend)));
}

std::vector<Action> SimulatedTerminal::onRelease()
{
    const auto fault = fire(Step::Release);
    const bool done = fault != FaultKind::Refuse;
    if (!ignores(fault)) {
        varlenneRunning_ = false;
        transfer_.reset();
    }
    ++sessions_;
    return reply("release request, end of session " + std::to_string(sessions_), fault,
                 toBytes(answerFrame(kCodeRelease, done ? kResultDone : kRefused)));
}

// --- Data blocks --------------------------------------------------------------

std::vector<Action> SimulatedTerminal::onBlock(const Bytes& frame)
{
    const uint16_t number = readBigEndian16(&frame[kBlockNumberOffset]);
    const uint8_t count = frame[kBlockCountOffset];
    const std::string line = "block " + std::to_string(number) + " (" + std::to_string(count) + " bytes)";
    if (!crcValid(frame)) {
        // A damaged block is asked for again, as the protocol intends.
        trace_(line + " with a wrong CRC, asked again");
        return {send(toBytes(answerFrame(kCodeDownload, kResultResend)))};
    }
    const auto fault = fire(Step::Block, number);
    if (ignores(fault))
        return reply(line, fault, {});
    if (fault == FaultKind::Resend)
        return reply(line, fault, toBytes(answerFrame(kCodeDownload, kResultResend)));

    Transfer& transfer = *transfer_;
    const uint32_t missing = transfer.length - static_cast<uint32_t>(transfer.content.size());
    const bool fits = count >= 1 && count <= kMaxBlockPayload && count <= missing;
    if (fault == FaultKind::Refuse || number != transfer.nextBlock || !fits) {
        if (fault != FaultKind::Refuse)
            trace_(line + " unexpected (waiting for block " + std::to_string(transfer.nextBlock) +
                   "), download abandoned");
        transfer_.reset();
        return reply(line, fault, toBytes(answerFrame(kCodeDownload, kRefused)));
    }
    transfer.content.insert(transfer.content.end(), frame.begin() + kBlockDataOffset,
                            frame.begin() + kBlockDataOffset + count);
    ++transfer.nextBlock;
    std::vector<Action> actions = reply(line, fault, toBytes(answerFrame(kCodeDownload, kResultDone)));
    if (transfer.content.size() == transfer.length) {
        auto confirmation = finalConfirmation();
        actions.insert(actions.end(), confirmation.begin(), confirmation.end());
    }
    return actions;
}

// After the last block (or the start of an empty file) the terminal checks
// the file and confirms it. It keeps the file unless it refuses or stays silent.
std::vector<Action> SimulatedTerminal::finalConfirmation()
{
    const auto fault = fire(Step::Final);
    const Transfer transfer = *transfer_;
    transfer_.reset();
    const bool refused = fault == FaultKind::Refuse;
    if (!refused && !ignores(fault))
        keep(transfer);
    return reply("final confirmation of " + transfer.name, fault,
                 toBytes(answerFrame(kCodeDownload, refused ? kRefused : kResultDone)));
}

void SimulatedTerminal::keep(const Transfer& transfer)
{
    files_.push_back({transfer.name, transfer.content});
    std::string error;
    if (!options_.storeDirectory.empty() && !storeFile(options_.storeDirectory, transfer.name, transfer.content, error))
        report(error);
    if (!options_.verifyDirectory.empty() &&
        !matchesContainer(options_.verifyDirectory, transfer.name, transfer.content, error))
        report(error);
}
