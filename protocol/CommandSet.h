#pragma once
// The terminal's command set over one exchange routine. Every command
// builds its frame, pauses for its settle time, writes, receives, checks the
// CRC and the echo, and clears the input on success; each is a short
// description of one exchange. Plain C++: used by the engine and the tools.
#include "protocol/Clock.h"
#include "protocol/Link.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// The link as the exchanges see it: once a stop was asked for, a request is
// not sent (its exchange fails as a refused write does), unless it belongs
// to the clean-up that ends the dialogue.
class StopGate : public ForwardingLink<> {
public:
    explicit StopGate(Link& link) : ForwardingLink(link) {}

    std::atomic<bool> stop{false};
    bool cleaningUp = false; // only touched by the thread of the exchanges

    bool write(const uint8_t* data, uint16_t length) override
    {
        return (cleaningUp || !stop.load()) && target_.write(data, length);
    }

    // Whether a request would now be held back by a stop.
    bool refusing() const { return !cleaningUp && stop.load(); }
};

// Diagnostics of the wire logic that the caller may route to its log (for
// instance the count of a final confirmation with a wrong CRC).
using ExchangeLog = std::function<void(const std::string&)>;

// What every exchange of one command set shares: the gated link, the clock,
// the debug log, and whether the last exchange left the line unsettled (its
// answer wrong or incomplete: the rest of it, or more, may still be coming).
struct ExchangeContext {
    StopGate& link;
    Clock& clock;
    const ExchangeLog& debugLog;
    bool lineUnsettled = false;
};

// Why an exchange, and so the command that ran it, failed.
struct ExchangeFailure {
    enum class Kind {
        None,              // the last command succeeded
        TimeOut,           // nothing, or not the whole answer, arrived in time
        ShortAnswer,       // fewer bytes than the answer needs
        Crc,               // wrong CRC
        UnexpectedAnswer,  // wrong echo, marker or leading bytes
        Refused,           // the command's own test failed: the terminal said no
        ResendLimit,       // a block asked for again too many times in a row
        WriteFailed,       // the request could not be sent
        Stopped,           // not sent: a stop was asked for
        ContentUnreadable, // the content of a download could not be had
        TooManyNames,      // an application list that does not end
    };
    Kind kind = Kind::None;
    uint16_t bytesReceived = 0;
    uint16_t bytesExpected = 0;       // short answers and whole reads
    int timeoutMs = -1;               // time-outs of a timed read; -1 for a whole read
    std::array<uint8_t, 8> leading{}; // unexpected or refusing answers: their first bytes
    uint16_t leadingCount = 0;        // how many of them tell the answer
    int resendRequests = 0;           // resend limit

    // A short text for a technician: "no answer within 4000 ms (0 bytes)",
    // "wrong CRC", "write failed (the device may be gone)". Empty for None.
    std::string describe() const;
};

class CommandSet {
public:
    CommandSet(Link& link, Clock& clock) : gate_(link), link_(gate_), clock_(clock) {}

    // Asks the exchanges to stop; safe from any thread. From then on every
    // exchange fails before its request is sent, as if the terminal had
    // refused it, except the end of dialogue and the release frames, which
    // still go. clearStop() lets the exchanges run again.
    void requestStop() { gate_.stop.store(true); }
    bool stopRequested() const { return gate_.stop.load(); }
    void clearStop() { gate_.stop.store(false); }
    // For the pauses between exchanges that a stop cuts short.
    const std::atomic<bool>& stopFlag() const { return gate_.stop; }

    using Log = ExchangeLog;
    void setDebugLog(Log log) { debugLog_ = std::move(log); }

    // Why the last command failed (kind None when it succeeded). The
    // opening's is that of its last attempt.
    const ExchangeFailure& lastFailure() const { return lastFailure_; }
    // Blocks the terminal asked for again during the last download.
    int lastResendRequests() const { return resendRequests_; }

    bool initTerminal();                                              // opening slash frame, 3 attempts
    bool startVarlenne();                                             // Varlenne start slash frame
    bool readHardwareConfiguration(std::array<uint8_t, 126>& record); // code 7
    bool readApplicationList(std::vector<std::string>& names);        // code 1; names as raw Latin-1 bytes
    bool requestAuthorization();                                      // code 3
    bool activateFiles();                                             // code 5
    bool releaseTerminal();                                           // code 6
    void sendReleaseFrames();                                         // both release slash frames, answers ignored

    // File transfer. The advertisement text is the length field followed by
    // the upper-case name; one that does not fit a command frame is not sent
    // and `skip` is set.
    static std::string lengthField(uint32_t length); // "000005", "1000000;"
    // The advertisement of a file of `length` bytes named `name` (its bytes
    // as they go on the wire: Latin-1), or why the file is skipped. The one
    // rule for the command, the engine and the package check.
    struct Advertisement {
        std::string text;       // length field then name; empty when skipped
        std::string skipReason; // "length field and name take 29 bytes, at most 28"; empty when sent
        bool skipped() const { return !skipReason.empty(); }
    };
    static Advertisement advertisementText(const std::string& name, uint32_t length);
    bool advertise(const std::string& name, uint32_t length, bool& skip); // code 2
    // Start frame, data blocks with resend requests, final confirmation.
    // `next` fills each block with the next bytes of the content, once per
    // block (a resent block is the same frame again); false from it fails the
    // download. `progress` gets the percentage after every accepted block.
    using ContentSource = std::function<bool(uint8_t* data, uint16_t count)>;
    bool download(uint32_t length, const ContentSource& next, const std::function<void(int)>& progress);
    // The same for content held in memory.
    bool download(const uint8_t* content, uint32_t length, const std::function<void(int)>& progress);

private:
    bool settle(const ExchangeFailure& outcome);

    StopGate gate_;
    Link& link_; // the gate
    Clock& clock_;
    Log debugLog_;
    ExchangeContext context_{gate_, clock_, debugLog_};
    ExchangeFailure lastFailure_;
    int resendRequests_ = 0;
};
