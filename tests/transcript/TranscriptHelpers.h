#pragma once
// Shared by the transcript tests and the replay tests: a transcript read from text, and a block payload easy to spot
// in text or in hexadecimal.
#include "transcript/Transcript.h"

#include <gtest/gtest.h>

#include <sstream>

inline std::vector<TranscriptEntry> parse(const std::string& text)
{
    std::istringstream in(text);
    std::vector<TranscriptEntry> entries;
    std::string error;
    EXPECT_TRUE(readTranscript(in, entries, error)) << error;
    return entries;
}

inline Bytes secretPayload()
{
    Bytes payload(122);
    for (size_t i = 0; i < payload.size(); ++i)
        payload[i] = static_cast<uint8_t>("SECRET-PAYLOAD-OF-THE-PACKAGE-"[i % 30]);
    return payload;
}
