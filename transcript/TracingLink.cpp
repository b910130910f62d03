#include "TracingLink.h"

bool TracingLink::write(const uint8_t* data, uint16_t length)
{
    const double t = writer_.elapsed();
    const bool sent = target_->write(data, length);
    writer_.pcFrame(t, data, length, sent);
    lastRequest_ = frameKind(data, length);
    return sent;
}

bool TracingLink::read(uint8_t* buffer, uint16_t& length, int timeoutMs)
{
    const bool got = target_->read(buffer, length, timeoutMs);
    if (got)
        writer_.terminalBytes(lastRequest_, buffer, length);
    else
        writer_.noAnswer(lastRequest_, timeoutMs);
    return got;
}

// A full read that fails reports no count: the pieces that came before the
// silence are not known here, and the transcript shows the read as unanswered.
bool TracingLink::readFull(uint8_t* buffer, uint16_t& length)
{
    const bool got = target_->readFull(buffer, length);
    if (got)
        writer_.terminalBytes(lastRequest_, buffer, length);
    else
        writer_.noAnswer(lastRequest_, -1);
    return got;
}

void TracingLink::clearInput()
{
    target_->clearInput();
}
