#include "sim/FrameReader.h"

#include "protocol/Frames.h"
#include "protocol/Steps.h"

#include <algorithm>

namespace {

bool isCommandCode(uint8_t byte)
{
    return byte != 0 &&
           std::any_of(std::begin(kSteps), std::end(kSteps), [byte](const StepRow& r) { return r.code == byte; });
}

bool startsFrame(uint8_t byte)
{
    return byte == kSlashStart || isCommandCode(byte);
}

} // namespace

size_t FrameReader::frameSize() const
{
    const uint8_t first = buffer_.front();
    if (first == kSlashStart)
        return buffer_.size() > kSlashCountOffset ? size_t{buffer_[kSlashCountOffset]} + kSlashOverhead : 0;
    if (first == kCodeDownload && blocksExpected_)
        return kBlockFrameSize;
    return kCommandFrameSize;
}

bool FrameReader::next(Frame& frame)
{
    if (buffer_.empty())
        return false;
    if (!startsFrame(buffer_.front())) {
        const auto end = std::find_if(buffer_.begin(), buffer_.end(), startsFrame);
        frame = {Kind::Junk, Bytes(buffer_.begin(), end)};
        buffer_.erase(buffer_.begin(), end);
        return true;
    }
    const size_t size = frameSize();
    if (size == 0 || buffer_.size() < size)
        return false;
    const uint8_t first = buffer_.front();
    const Kind kind = first == kSlashStart ? Kind::Slash : size == kBlockFrameSize ? Kind::Block : Kind::Command;
    frame = {kind, Bytes(buffer_.begin(), buffer_.begin() + static_cast<long>(size))};
    buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<long>(size));
    return true;
}

size_t FrameReader::dropPartial()
{
    const size_t count = buffer_.size();
    buffer_.clear();
    return count;
}
