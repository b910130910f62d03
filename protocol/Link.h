#pragma once
// The byte link to the terminal, as the terminal commands see it.
// SerialPort implements it over a real (or pseudo-) serial port; tests and
// tools may wrap it (recording, fault injection) without touching the commands.
#include <cstdint>

class Link {
public:
    virtual ~Link() = default;

    // Writes all `length` bytes and waits until they have left the output
    // queue. False when fewer bytes were accepted, on an error, or when the
    // queue does not drain in a bounded time.
    virtual bool write(const uint8_t* data, uint16_t length) = 0;

    // One wait of at most `timeoutMs` for data, then one read of what has
    // arrived, up to `length` bytes. On success `length` holds the count read
    // (at least 1). False, with `length` unchanged, when nothing arrived.
    virtual bool read(uint8_t* buffer, uint16_t& length, int timeoutMs) = 0;

    // Reads until exactly `length` bytes have arrived. False, with `length`
    // set to 0, when the link fails or the bytes have not all arrived within
    // `deadlineMs`, counted from the start of the read.
    virtual bool readFull(uint8_t* buffer, uint16_t& length, int deadlineMs) = 0;

    // Discards every received byte not read yet.
    virtual void clearInput() = 0;

    // Told by the exchanges when the reads since the last call made up one
    // answer (a real line delivers one in pieces): for a link that records.
    virtual void answerEnded() {}
};

// A link that passes every call on to another: a decorator derives from it
// and overrides only what it changes. `Base` is Link or an interface that
// extends it (the engine's TerminalPort).
template <class Base = Link>
class ForwardingLink : public Base {
public:
    explicit ForwardingLink(Link& target) : target_(target) {}

    bool write(const uint8_t* data, uint16_t length) override { return target_.write(data, length); }
    bool read(uint8_t* buffer, uint16_t& length, int timeoutMs) override
    {
        return target_.read(buffer, length, timeoutMs);
    }
    bool readFull(uint8_t* buffer, uint16_t& length, int deadlineMs) override
    {
        return target_.readFull(buffer, length, deadlineMs);
    }
    void clearInput() override { target_.clearInput(); }
    void answerEnded() override { target_.answerEnded(); }

protected:
    Link& target_;
};
