#pragma once
// Builders of whole frames, shared by the command set, the simulated
// terminal and the tests. Each returns a zero-filled frame with its CRC.
#include "protocol/Frames.h"

#include <array>
#include <cstdint>
#include <string>
#include <vector>

using CommandFrame = std::array<uint8_t, kCommandFrameSize>;
using BlockFrame = std::array<uint8_t, kBlockFrameSize>;

// Stores the CRC of a command frame's bytes 0..29 in bytes 30 and 31.
void sealCommandFrame(CommandFrame& frame);

// A request with no parameters.
CommandFrame commandFrame(uint8_t code);

// The common answer layout: echo, marker 0x01, result.
CommandFrame answerFrame(uint8_t code, uint8_t result);

// Code 2 with its text (at most kMaxAdvertisementText bytes, cut beyond).
CommandFrame advertisementFrame(const std::string& text);

// A data block of `count` bytes (at most kMaxBlockPayload) numbered `number`.
BlockFrame blockFrame(uint16_t number, const uint8_t* data, uint16_t count);

// A slash frame: "/", selector, count, data, CRC (the terminal's answers).
std::vector<uint8_t> slashFrame(uint8_t selector, const std::vector<uint8_t>& data);

// Big-endian 16-bit field.
inline uint16_t readBigEndian16(const uint8_t* bytes)
{
    return static_cast<uint16_t>((bytes[0] << 8) | bytes[1]);
}
