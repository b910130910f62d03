#pragma once
// The terminal's command set over one exchange routine. Every command
// builds its frame, pauses for its settle time, writes, receives, checks the
// CRC and the echo, and clears the input on success; each is a short
// description of one exchange. Plain C++: used by the engine and the tools.
#include "clock.h"
#include "link.h"

#include <array>
#include <cstdint>
#include <string>
#include <vector>

class CommandSet {
public:
    CommandSet(Link& link, Clock& clock) : link_(link), clock_(clock) {}

    bool initTerminal();                                       // opening slash frame, 3 attempts
    bool startVarlenne();                                      // Varlenne start slash frame
    bool readHardwareConfiguration(std::array<uint8_t, 126>& record);   // code 7
    bool readApplicationList(std::vector<std::string>& names); // code 1 (names as Latin-1 bytes)
    bool advertise(const std::string& text);                   // code 2, text = length field + name
    bool requestAuthorization();                               // code 3
    bool startDownload();                                      // code 4
    enum class BlockAnswer { Accepted, Resend, Failed };
    BlockAnswer sendBlock(uint16_t number, const uint8_t* data, uint8_t count);   // 128-byte block frame
    enum class FinalAnswer { Confirmed, ConfirmedBadCrc, Failed };
    FinalAnswer finalConfirmation(uint16_t* received = nullptr);
    bool activateFiles();                                      // code 5
    bool releaseTerminal();                                    // code 6
    void sendReleaseFrames();                                  // both release slash frames on an open link

private:
    Link& link_;
    Clock& clock_;
};
