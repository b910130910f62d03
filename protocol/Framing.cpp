#include "protocol/Framing.h"

#include "protocol/Crc16.h"

#include <algorithm>
#include <cstring>

void sealCommandFrame(CommandFrame& frame)
{
    crc16Append(frame.data(), kCommandCrcOffset);
}

CommandFrame commandFrame(uint8_t code)
{
    CommandFrame frame{};
    frame[0] = code;
    sealCommandFrame(frame);
    return frame;
}

CommandFrame answerFrame(uint8_t code, uint8_t result)
{
    CommandFrame frame{};
    frame[kEchoOffset] = code;
    frame[kMarkerOffset] = kAnswerMarker;
    frame[kResultOffset] = result;
    sealCommandFrame(frame);
    return frame;
}

CommandFrame advertisementFrame(const std::string& text)
{
    const size_t length = std::min<size_t>(text.size(), kMaxAdvertisementText);
    CommandFrame frame{};
    frame[0] = kCodeAdvertise;
    frame[kTextLengthOffset] = static_cast<uint8_t>(length);
    std::memcpy(frame.data() + kTextOffset, text.data(), length);
    sealCommandFrame(frame);
    return frame;
}

BlockFrame blockFrame(uint16_t number, const uint8_t* data, uint16_t count)
{
    const uint16_t n = std::min(count, kMaxBlockPayload);
    BlockFrame frame{};
    frame[0] = kCodeDownload;
    frame[kBlockNumberOffset] = static_cast<uint8_t>(number >> 8);
    frame[kBlockNumberOffset + 1] = static_cast<uint8_t>(number & 0xFFu);
    frame[kBlockCountOffset] = static_cast<uint8_t>(n);
    if (n > 0)
        std::memcpy(frame.data() + kBlockDataOffset, data, n);
    crc16Append(frame.data(), kBlockCrcOffset);
    return frame;
}

std::vector<uint8_t> slashFrame(uint8_t selector, const std::vector<uint8_t>& data)
{
    std::vector<uint8_t> frame(kSlashHeaderSize + data.size() + kCrcSize, 0);
    frame[0] = kSlashStart;
    frame[kSlashSelectorOffset] = selector;
    frame[kSlashCountOffset] = static_cast<uint8_t>(data.size());
    std::copy(data.begin(), data.end(), frame.begin() + kSlashHeaderSize);
    crc16Append(frame.data(), static_cast<uint16_t>(frame.size() - kCrcSize));
    return frame;
}
