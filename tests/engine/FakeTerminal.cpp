#include "tests/engine/FakeTerminal.h"

#include "protocol/Crc16.h"
#include "protocol/Framing.h"

#include <algorithm>
#include <cstring>

int FakeTerminal::count(const std::string& event) const
{
    return static_cast<int>(std::count(events.begin(), events.end(), event));
}

TerminalPortFactory FakeTerminal::factory()
{
    // Not owned by the engine: an empty owner with this as the pointer.
    return [this](std::shared_ptr<SerialPort>) {
        return std::shared_ptr<TerminalPort>(std::shared_ptr<TerminalPort>(), this);
    };
}

bool FakeTerminal::open(const PortChoice& port)
{
    events.push_back("open " + port.text.toStdString());
    isOpen = openSucceeds && port.text != refusedLabel;
    openFailure_ = isOpen ? OpenFailure{} : OpenFailure{refusal, port.text, {}};
    return isOpen;
}

bool FakeTerminal::close()
{
    events.push_back("close");
    input_.clear();
    isOpen = false;
    return closeSucceeds;
}

bool FakeTerminal::write(const uint8_t* data, uint16_t length)
{
    if (length > 0 && data[0] == kSlashStart && length < kCommandFrameSize)
        answerSlashFrame(data, length);
    else if (length == kCommandFrameSize)
        answerCommand(data);
    else if (length == kBlockFrameSize)
        answerBlock(data);
    else
        events.push_back("unexpected frame");
    return true;
}

bool FakeTerminal::read(uint8_t* buffer, uint16_t& length, int)
{
    if (input_.empty()) {
        input_.insert(input_.end(), late_.begin(), late_.end());
        late_.clear();
        return false;
    }
    const uint16_t count = static_cast<uint16_t>(std::min<size_t>(length, input_.size()));
    std::copy_n(input_.begin(), count, buffer);
    input_.erase(input_.begin(), input_.begin() + count);
    length = count;
    return true;
}

bool FakeTerminal::readFull(uint8_t* buffer, uint16_t& length)
{
    if (input_.size() < length) {
        input_.clear();
        length = 0;
        return false;
    }
    return read(buffer, length, 0);
}

void FakeTerminal::answerSlashFrame(const uint8_t* data, uint16_t length)
{
    auto is = [&](const auto& frame) { return length == frame.size() && std::equal(frame.begin(), frame.end(), data); };
    if (is(kOpeningFrame)) {
        events.push_back("opening");
        if (silentOpenings > 0) {
            --silentOpenings;
            return;
        }
        const uint8_t answer[] = {0x2F, 0xC0, 0x01, 0x00, 0x12, 0x34};
        queue(answer, sizeof answer);
    } else if (is(kVarlenneStartFrame)) {
        events.push_back("varlenne");
        const uint8_t started[] = {0x2F, 0x40, 0x02, 'O', 'K', 0x5A, 0x5B};
        const uint8_t refused[] = {0x2F, 0x40, 0x02, 0x01, 0x81, 0x00, 0x00};
        queue(hasVarlenne ? started : refused, sizeof started);
    } else if (is(kFirstReleaseFrame) || is(kSecondReleaseFrame)) {
        events.push_back(is(kFirstReleaseFrame) ? "release frame 1" : "release frame 2");
        const uint8_t answer[] = {0x2F, 0x40, 0x01, 0x00, 0x00, 0x00};
        if (answersReleaseFrames)
            queue(answer, sizeof answer);
    } else {
        events.push_back("unexpected frame");
    }
}

void FakeTerminal::queueAnswer(uint8_t code, uint8_t result)
{
    const CommandFrame answer = answerFrame(code, result);
    queue(answer.data(), answer.size());
}

void FakeTerminal::answerCommand(const uint8_t* frame)
{
    switch (frame[0]) {
    case kCodeHardwareConfiguration: {
        events.push_back("hardware");
        if (!hardwareReadable)
            return;
        BlockFrame record{};
        record[0] = kCodeHardwareConfiguration;
        std::copy(hardwareId.begin(), hardwareId.end(), record.begin() + 10);
        crc16Append(record.data(), kBlockCrcOffset);
        queue(record.data(), record.size());
        break;
    }
    case kCodeApplicationList:
        events.push_back("list");
        if (!listReadable) {
            const uint8_t truncated[20] = {kCodeApplicationList, 3, 'A', 'B', 'C'};
            queue(truncated, sizeof truncated);
            return;
        }
        // The engine reads one answer at a time; all of them wait in the queue.
        for (const std::string& name : installedNames) {
            CommandFrame answer{};
            answer[0] = kCodeApplicationList;
            answer[kNameLengthOffset] = static_cast<uint8_t>(name.size());
            std::memcpy(answer.data() + kNameOffset, name.data(), name.size());
            sealCommandFrame(answer);
            queue(answer.data(), answer.size());
        }
        {
            // Byte 1 = 0 ends the list.
            CommandFrame end{};
            end[0] = kCodeApplicationList;
            sealCommandFrame(end);
            queue(end.data(), end.size());
        }
        break;
    case kCodeAdvertise: {
        const std::string text(reinterpret_cast<const char*>(frame + kTextOffset), frame[kTextLengthOffset]);
        events.push_back("advertise " + text);
        // Six digits, or more digits closed by ';'.
        size_t digits = 0;
        while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9')
            ++digits;
        const bool longForm = digits < text.size() && text[digits] == kLongLengthEnd;
        const size_t fieldSize = longForm ? digits + 1 : kShortLengthDigits;
        advertisedLength_ = static_cast<uint32_t>(std::stoul(text.substr(0, longForm ? digits : kShortLengthDigits)));
        advertisedName_ = text.substr(fieldSize);
        queueAnswer(kCodeAdvertise, advertisementAccepted ? kResultDone : 0x00);
        break;
    }
    case kCodeAuthorization:
        events.push_back("authorization");
        queueAnswer(kCodeAuthorization, authorizationGranted ? kResultGranted : 0x00);
        break;
    case kCodeDownload: startDownload(); break;
    case kCodeActivate:
        events.push_back("activate");
        queueAnswer(kCodeActivate, activationSucceeds ? kResultDone : kResultResend);
        break;
    case kCodeRelease:
        events.push_back("release");
        queueAnswer(kCodeRelease, kResultDone);
        break;
    default: events.push_back("unexpected frame");
    }
}

void FakeTerminal::startDownload()
{
    events.push_back("download " + advertisedName_);
    content_.clear();
    resendsLeft_ = resendsOfFirstBlock;
    int& failures = failedDownloads[advertisedName_];
    downloadFails_ = failures > 0;
    if (downloadFails_)
        --failures;
    queueAnswer(kCodeDownload, kResultDone);
    if (advertisedLength_ == 0 && !downloadFails_) {
        received[advertisedName_] = content_;
        queueAnswer(kCodeDownload, kResultDone);
    }
}

void FakeTerminal::answerBlock(const uint8_t* frame)
{
    const uint16_t number = readBigEndian16(frame + kBlockNumberOffset);
    blockNumbers.push_back(number);
    if (downloadFails_) {
        queueAnswer(kCodeDownload, 0x00); // neither done nor resend: the download stops
        return;
    }
    if (number == 0 && resendsLeft_ > 0) {
        --resendsLeft_;
        queueAnswer(kCodeDownload, kResultResend);
        return;
    }
    const uint8_t count = frame[kBlockCountOffset];
    content_.insert(content_.end(), frame + kBlockDataOffset, frame + kBlockDataOffset + count);
    queueAnswer(kCodeDownload, kResultDone);
    if (content_.size() >= advertisedLength_) {
        received[advertisedName_] = content_;
        CommandFrame confirmation = answerFrame(kCodeDownload, kResultDone);
        if (badFinalCrc)
            confirmation[kCommandCrcOffset] ^= 0xFF;
        if (lateFinalConfirmations > 0) {
            --lateFinalConfirmations;
            late_.assign(confirmation.begin(), confirmation.end());
            return;
        }
        queue(confirmation.data(), confirmation.size());
    }
}
