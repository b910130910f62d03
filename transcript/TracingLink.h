#pragma once
// A Link that passes every exchange on to the real link and writes it to a
// session transcript: the frames the PC sends (blocks without their
// payload), the answers it reads (by length and CRC only when they may hold
// package bytes), and the reads that found nothing. An answer that a real
// line delivers in pieces, read by several reads, is written as one answer
// when the exchanges say it has ended or the next exchange begins.
#include "transcript/Transcript.h"
#include "protocol/Frames.h"
#include "protocol/Link.h"

#include <array>
#include <vector>

class TracingLink : public Link {
public:
    TracingLink(TranscriptWriter& writer, Link* target) : writer_(writer), target_(target) {}

    bool write(const uint8_t* data, uint16_t length) override;
    bool read(uint8_t* buffer, uint16_t& length, int timeoutMs) override;
    bool readFull(uint8_t* buffer, uint16_t& length, int deadlineMs) override;
    void clearInput() override;
    void answerEnded() override { flush(); }

    // Writes the answer gathered so far; the port calls it when it closes.
    void flush();

private:
    void recordAnswer(const uint8_t* bytes, uint16_t length);

    TranscriptWriter& writer_;
    Link* const target_;
    std::string lastRequest_; // kind of the last frame sent: what the bytes read answer
    // The payload of the last frame sent when it was a data block: what an
    // answer to it must not repeat to be written as it came.
    std::array<uint8_t, kMaxBlockPayload> payload_{};
    size_t payloadSize_ = 0;
    std::vector<uint8_t> answer_; // the pieces of the answer being read
    double answerAt_ = 0;         // when its first piece was read
};
