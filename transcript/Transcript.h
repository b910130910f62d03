#pragma once
// A session transcript: what went over the line between the updater and one
// terminal, one JSON object per line, in the order it happened.
//
//   {"t":0.012,"dir":"event","event":"open","port":"/dev/ttyUSB0","ok":true}
//   {"t":0.013,"dir":"pc","kind":"opening","hex":"2F C0 04 00 14 00 C8 A4 FC"}
//   {"t":0.020,"dir":"terminal","kind":"answer","to":"opening","hex":"2F C0 01 06 .."}
//   {"t":4.610,"dir":"pc","kind":"block","block":0,"count":122,"crc":"5A 0C"}
//   {"t":9.100,"dir":"event","event":"no-answer","to":"activate","timeout_ms":1000}
//   {"t":9.300,"dir":"event","event":"close","ok":true}
//   {"t":9.350,"dir":"event","event":"cause","stage":"activation","text":"wrong CRC"}
//   {"t":9.400,"dir":"event","event":"result","ok":false,"title":"..","text":".."}
//
// "t" is in seconds since the run started. Data blocks carry the decrypted
// package: of a block only its number, count and CRC are ever written, never
// its payload. The same holds in the other direction: bytes the PC reads are
// written whole, in hexadecimal, only when they have the shape of an answer
// the protocol knows and carry no package bytes; anything else the terminal
// gives is written by its length and CRC:
//
//   {"t":4.612,"dir":"terminal","kind":"answer","to":"block","length":32,"crc":"9C 11"}
#include <array>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <istream>
#include <mutex>
#include <string>
#include <vector>

using Bytes = std::vector<uint8_t>;

// The kind of a frame the PC sends: "opening", "varlenne", "release-1",
// "release-2", "slash" (any other slash frame), the command names "list",
// "advertise", "authorize", "download-start", "activate", "release",
// "hardware", then "block", or "unknown".
std::string frameKind(const uint8_t* frame, size_t length);

extern const char* const kBlockKind;

// Whether bytes the PC read in one go have the shape of an answer to a frame
// of kind `answering`: whole slash frames (count and CRC right) or whole
// 32-byte command frames (CRC right), one after the other, or, for the
// hardware record, one 128-byte block frame with its CRC right.
bool knownAnswerShape(const std::string& answering, const uint8_t* bytes, size_t length);

// "2F C0 04": upper-case hexadecimal, bytes apart.
std::string hexBytes(const uint8_t* bytes, size_t length);
bool parseHexBytes(const std::string& text, Bytes& bytes);

enum class Direction { Pc, Terminal, Event };

struct TranscriptEntry {
    size_t line = 0; // in the file, from 1
    double t = 0;
    Direction direction = Direction::Event;

    // PC and terminal lines.
    std::string kind;      // PC: frameKind(); terminal: "answer"
    Bytes bytes;           // all but data blocks and what was written by length only
    bool sent = true;      // PC: false when the write failed
    std::string answering; // terminal and no-answer: the kind of the request read after ("to")

    // Data blocks: the block number, the payload count and the CRC bytes as
    // sent (low byte first). Other lines written by length: the CRC-16 of
    // all their bytes, low byte first.
    uint16_t block = 0;
    uint8_t count = 0;
    std::array<uint8_t, 2> crc{};

    // Events: "open", "close", "no-answer", "cause" (why the update failed,
    // before its result), "result".
    std::string event;
    std::string port;   // open
    bool ok = false;    // open, close, result
    int timeoutMs = -1; // no-answer of a timed read; -1 for a full read
    std::string title;  // result
    std::string text;   // result; cause: the cause
    std::string stage;  // cause: the step that failed

    // PC and terminal: bytes of the frame on the wire, or read; `bytes` holds
    // them all only when they were written (not for blocks, unknown frames
    // of the PC, nor answers written by length).
    size_t length = 0;

    bool isBlock() const { return direction == Direction::Pc && kind == kBlockKind; }
    bool bytesKnown() const { return bytes.size() == length; }
};

// Reads a whole transcript; the error names the line at fault.
bool readTranscript(std::istream& in, std::vector<TranscriptEntry>& entries, std::string& error);
bool readTranscriptFile(const std::string& path, std::vector<TranscriptEntry>& entries, std::string& error);

// Writes the lines of one terminal's transcript. Every line is flushed as it
// is written, so that a transcript survives a crash and can be followed
// through a pipe. One writer per terminal; the calls may come from any thread.
// The first line that cannot be written whole (a full disk, a reader gone)
// ends the writing: the file then holds the lines before it, and
// complete() says so.
class TranscriptWriter {
public:
    using Clock = std::chrono::steady_clock;

    explicit TranscriptWriter(Clock::time_point start = Clock::now()) : start_(start) {}
    ~TranscriptWriter();
    TranscriptWriter(const TranscriptWriter&) = delete;
    TranscriptWriter& operator=(const TranscriptWriter&) = delete;

    bool open(const std::string& path);
    bool isOpen() const { return file_ != nullptr; }
    // Closes the file; false when the transcript is not whole.
    bool close();
    // Every line so far written whole (and, once closed, the file closed well).
    bool complete() const;
    // Why it is not: the system's error text.
    std::string problem() const;

    // Seconds since the start given at construction.
    double elapsed() const;

    // `t` is the time the frame started to leave (taken before the write).
    void pcFrame(double t, const uint8_t* frame, size_t length, bool sent);
    // Written whole only when not `carriesPackage` and of a known answer shape.
    // `at`: when the answer began to arrive (seconds, as elapsed()); by default now.
    void terminalBytes(const std::string& answering, const uint8_t* bytes, size_t length, bool carriesPackage = false,
                       double at = -1);
    void noAnswer(const std::string& answering, int timeoutMs);
    void portOpened(const std::string& port, bool ok);
    void portClosed(bool ok);
    void cause(const std::string& stage, const std::string& text);
    void result(bool ok, const std::string& title, const std::string& text);

private:
    void put(const std::string& line);

    const Clock::time_point start_;
    mutable std::mutex mutex_;
    FILE* file_ = nullptr;
    int error_ = 0; // errno of the first failure; 0 while complete
};
