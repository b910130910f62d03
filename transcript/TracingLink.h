#pragma once
// A Link that passes every exchange on to the real link and writes it to a
// session transcript: the frames the PC sends (blocks without their
// payload), the bytes it reads (by length and CRC only when they may hold
// package bytes), and the reads that found nothing.
#include "transcript/Transcript.h"
#include "protocol/Frames.h"
#include "protocol/Link.h"

#include <array>

class TracingLink : public Link {
public:
    TracingLink(TranscriptWriter& writer, Link* target) : writer_(writer), target_(target) {}

    bool write(const uint8_t* data, uint16_t length) override;
    bool read(uint8_t* buffer, uint16_t& length, int timeoutMs) override;
    bool readFull(uint8_t* buffer, uint16_t& length) override;
    void clearInput() override;

private:
    void recordAnswer(const uint8_t* bytes, uint16_t length);

    TranscriptWriter& writer_;
    Link* const target_;
    std::string lastRequest_; // kind of the last frame sent: what the bytes read answer
    // The payload of the last frame sent when it was a data block: what an
    // answer to it must not repeat to be written as it came.
    std::array<uint8_t, kMaxBlockPayload> payload_{};
    size_t payloadSize_ = 0;
};
