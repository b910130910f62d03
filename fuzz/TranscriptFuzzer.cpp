// A session transcript as the simulator and the replay read it: any bytes as
// the file. Beyond the sanitizers: a transcript read whole gives one entry per
// line that is not blank, in order, each consistent with its kind (a block
// has a block frame's size and no bytes, bytes written whole are the frame's
// length, a frame written by its length has one the protocol allows, times
// are finite); a refused one names its line. Every flat object read from a
// line, written again, reads back the same.
#include "fuzz/FuzzCheck.h"
#include "transcript/Json.h"
#include "transcript/Transcript.h"
#include "protocol/Frames.h"

#include <cmath>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

namespace {

using fuzz::check;

void checkEntry(const TranscriptEntry& entry)
{
    check(std::isfinite(entry.t), "a finite time");
    switch (entry.direction) {
    case Direction::Pc:
    case Direction::Terminal:
        check(entry.event.empty() && entry.timeoutMs == -1, "no event fields on a frame");
        if (entry.isBlock()) {
            check(entry.length == kBlockFrameSize && entry.bytes.empty(), "a block by its number, never its bytes");
            check(entry.count <= kMaxBlockPayload, "a block's count within its frame");
        } else if (!entry.bytes.empty()) {
            check(entry.bytesKnown(), "bytes written whole are the frame's length");
        } else {
            check(entry.length <= 0xFFFF, "a length the link can carry");
        }
        break;
    case Direction::Event:
        check(entry.bytes.empty() && entry.length == 0, "no bytes on an event");
        check(entry.timeoutMs >= -1 && entry.timeoutMs <= 3600000, "a bounded wait");
        break;
    }
}

// What the reader gives back, written again with the writer's own escaping,
// reads the same: strings and true/false (numbers are written from numbers).
void checkRoundTrip(const JsonObject& object)
{
    JsonLine line;
    JsonObject expected;
    for (const auto& [key, value] : object) {
        if (key.find('\0') != std::string::npos)
            continue; // the writer's keys are C strings
        if (value.kind == JsonValue::String)
            line.text(key.c_str(), value.text);
        else if (value.kind == JsonValue::Boolean)
            line.flag(key.c_str(), value.text == "true");
        else
            continue;
        expected[key] = value;
    }
    JsonObject back;
    std::string error;
    check(parseJsonObject(line.str(), back, error), "a line the writer wrote reads back");
    check(back.size() == expected.size(), "as many keys read back as written");
    for (const auto& [key, value] : expected) {
        const auto found = back.find(key);
        check(found != back.end() && found->second.kind == value.kind && found->second.text == value.text,
              "every value reads back the same");
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);

    std::istringstream in(text);
    std::vector<TranscriptEntry> entries;
    std::string error;
    const bool read = readTranscript(in, entries, error);

    // The lines as readTranscript sees them: those holding more than blanks.
    std::vector<size_t> numbered;
    std::istringstream lines(text);
    std::string line;
    for (size_t number = 1; std::getline(lines, line); ++number) {
        if (line.find_first_not_of(" \t\r") != std::string::npos)
            numbered.push_back(number);
        JsonObject object;
        std::string problem;
        if (parseJsonObject(line, object, problem))
            checkRoundTrip(object);
        else
            check(!problem.empty(), "a refused line says why");
    }

    if (read) {
        check(error.empty(), "no error for a transcript read whole");
        check(entries.size() == numbered.size(), "one entry per line that is not blank");
    } else {
        check(std::strncmp(error.c_str(), "line ", 5) == 0, "a refused transcript names its line");
        const size_t at = std::strtoul(error.c_str() + 5, nullptr, 10);
        check(entries.size() < numbered.size() && at == numbered[entries.size()],
              "the line named is the first line not read");
    }
    for (size_t i = 0; i < entries.size(); ++i) {
        check(entries[i].line == numbered[i], "entries keep their line numbers");
        checkEntry(entries[i]);
    }
    return 0;
}
