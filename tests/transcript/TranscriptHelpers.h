#pragma once
// Small helpers shared by the transcript tests and the replay tests.
#include "transcript/Transcript.h"

#include "protocol/Frames.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

inline std::vector<TranscriptEntry> parse(const std::string& text)
{
    std::istringstream in(text);
    std::vector<TranscriptEntry> entries;
    std::string error;
    EXPECT_TRUE(readTranscript(in, entries, error)) << error;
    return entries;
}

// A payload that is easy to spot, in text or in hexadecimal.
inline Bytes secretPayload()
{
    const std::string text = "SECRET-PAYLOAD-OF-THE-PACKAGE-";
    Bytes payload;
    while (payload.size() < kMaxBlockPayload)
        payload.push_back(static_cast<uint8_t>(text[payload.size() % text.size()]));
    return payload;
}
