#pragma once
// Cuts the byte stream from the PC into frames. Bytes may arrive in any
// pieces; a frame is taken once all its bytes are there. Its kind follows
// from its first byte: "/" opens a slash frame whose length is in its count
// byte, a command code 1..7 a 32-byte command frame, except that code 4
// opens a 128-byte block frame while a download is under way. Any other
// leading byte is junk and is skipped.
#include <cstddef>
#include <cstdint>
#include <vector>

using Bytes = std::vector<uint8_t>;

class FrameReader {
public:
    enum class Kind { Slash, Command, Block, Junk };
    struct Frame {
        Kind kind;
        Bytes bytes;
    };

    void feed(const uint8_t* data, size_t length) { buffer_.insert(buffer_.end(), data, data + length); }

    // Whether a leading code 4 is a data block rather than a command frame.
    void setBlocksExpected(bool expected) { blocksExpected_ = expected; }

    // Takes the next complete frame (or run of junk bytes) off the stream.
    bool next(Frame& frame);

    // Bytes of an incomplete frame are waiting.
    bool hasPartial() const { return !buffer_.empty(); }

    // Drops an incomplete frame whose sender went quiet; returns the count dropped.
    size_t dropPartial();

private:
    size_t frameSize() const; // 0 while the size is not known yet

    Bytes buffer_;
    bool blocksExpected_ = false;
};
