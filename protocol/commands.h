#pragma once
// The terminal's command set over one exchange routine. Every command
// builds its frame, pauses for its settle time, writes, receives, checks the
// CRC and the echo, and clears the input on success; each is a short
// description of one exchange. Plain C++: used by the engine and the tools.
#include "clock.h"
#include "link.h"

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

class CommandSet {
public:
    CommandSet(Link& link, Clock& clock) : link_(link), clock_(clock) {}

    // Diagnostics of the wire logic that the caller may route to its log
    // (for instance the count of a final confirmation with a wrong CRC).
    using Log = std::function<void(const std::string&)>;
    void setDebugLog(Log log) { debugLog_ = std::move(log); }

    bool initTerminal();                                           // opening slash frame, 3 attempts
    bool startVarlenne();                                          // Varlenne start slash frame
    bool readHardwareConfiguration(std::array<uint8_t, 126>& record);   // code 7
    bool readApplicationList(std::vector<std::string>& names);     // code 1; names as raw Latin-1 bytes
    bool requestAuthorization();                                   // code 3
    bool activateFiles();                                          // code 5
    bool releaseTerminal();                                        // code 6
    void sendReleaseFrames();                                      // both release slash frames, answers ignored

    // File transfer. The advertisement text is the length field followed by
    // the upper-case name; one that does not fit a command frame is not sent
    // and `skip` is set.
    static std::string lengthField(uint32_t length);               // "000005", "1000000;"
    bool advertise(const std::string& name, uint32_t length, bool& skip);   // code 2
    // Start frame, data blocks with resend requests, final confirmation.
    // `next` fills each block with the next bytes of the content, once per
    // block (a resent block is the same frame again); false from it fails the
    // download. `progress` gets the percentage after every accepted block.
    using ContentSource = std::function<bool(uint8_t* data, uint16_t count)>;
    bool download(uint32_t length, const ContentSource& next, const std::function<void(int)>& progress);
    // The same for content held in memory.
    bool download(const uint8_t* content, uint32_t length, const std::function<void(int)>& progress);

private:
    Link& link_;
    Clock& clock_;
    Log debugLog_;
};
