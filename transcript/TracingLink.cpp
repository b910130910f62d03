#include "transcript/TracingLink.h"

#include <algorithm>

namespace {

// Runs of this many bytes of a block's payload found in an answer mark it as
// carrying package bytes. Runs of one byte value are left out: they are the
// zero padding of every answer as much as package content.
constexpr size_t kRun = 4;

bool sharesARun(const uint8_t* bytes, size_t length, const uint8_t* payload, size_t payloadSize)
{
    for (size_t i = 0; i + kRun <= length; ++i) {
        const uint8_t* run = bytes + i;
        if (std::all_of(run, run + kRun, [run](uint8_t byte) { return byte == run[0]; }))
            continue;
        if (std::search(payload, payload + payloadSize, run, run + kRun) != payload + payloadSize)
            return true;
    }
    return false;
}

} // namespace

bool TracingLink::write(const uint8_t* data, uint16_t length)
{
    flush();
    const double t = writer_.elapsed();
    const bool sent = target_->write(data, length);
    writer_.pcFrame(t, data, length, sent);
    lastRequest_ = frameKind(data, length);
    payloadSize_ = 0;
    if (lastRequest_ == kBlockKind) {
        payloadSize_ = std::min<size_t>(data[kBlockCountOffset], kMaxBlockPayload);
        std::copy_n(data + kBlockDataOffset, payloadSize_, payload_.begin());
    }
    return sent;
}

void TracingLink::recordAnswer(const uint8_t* bytes, uint16_t length)
{
    writer_.terminalBytes(lastRequest_, bytes, length, sharesARun(bytes, length, payload_.data(), payloadSize_));
}

void TracingLink::flush()
{
    if (answer_.empty())
        return;
    writer_.terminalBytes(lastRequest_, answer_.data(), answer_.size(),
                          sharesARun(answer_.data(), answer_.size(), payload_.data(), payloadSize_), answerAt_);
    answer_.clear();
}

// A read that finds nothing after the first pieces of an answer ends that
// answer; only one that finds nothing at all is a read without answer.
bool TracingLink::read(uint8_t* buffer, uint16_t& length, int timeoutMs)
{
    const bool got = target_->read(buffer, length, timeoutMs);
    if (got) {
        if (answer_.empty())
            answerAt_ = writer_.elapsed();
        answer_.insert(answer_.end(), buffer, buffer + length);
    } else if (!answer_.empty()) {
        flush();
    } else {
        writer_.noAnswer(lastRequest_, timeoutMs);
    }
    return got;
}

// A full read that fails reports no count: the pieces that came before the
// silence are not known here, and the transcript shows the read as unanswered.
bool TracingLink::readFull(uint8_t* buffer, uint16_t& length, int deadlineMs)
{
    flush();
    const bool got = target_->readFull(buffer, length, deadlineMs);
    if (got)
        recordAnswer(buffer, length);
    else
        writer_.noAnswer(lastRequest_, -1);
    return got;
}

void TracingLink::clearInput()
{
    flush();
    target_->clearInput();
}
