#pragma once
// A scripted terminal behind the engine's link and port: it answers every
// frame at once (or fails where the script says so) and records what the
// engine did, so that the scenario can be checked without a serial line.
#include "engine/Model.h"
#include "protocol/Clock.h"
#include "protocol/Link.h"

#include <QString>
#include <array>
#include <deque>
#include <map>
#include <string>
#include <vector>

class FakeTerminal : public TerminalPort {
public:
    // ---- script (defaults: a healthy terminal)
    bool openSucceeds = true;
    QString refusedLabel;                          // this one port does not open
    OpenFailure::Kind refusal = OpenFailure::Busy; // why a port does not open
    bool closeSucceeds = true;
    int silentOpenings = 0; // opening frames left unanswered
    bool hasVarlenne = true;
    bool hardwareReadable = true;
    std::array<uint8_t, 3> hardwareId = {0x11, 0x22, 0x33};
    bool listReadable = true;
    std::vector<std::string> installedNames; // raw Latin-1 bytes
    bool advertisementAccepted = true;
    bool authorizationGranted = true;
    std::map<std::string, int> failedDownloads; // per advertised name: downloads that fail first
    int resendsOfFirstBlock = 0;                // 0x33 answers to block 0 before it is taken
    bool badFinalCrc = false;
    int lateFinalConfirmations = 0; // downloads whose confirmation comes after the read gave up
    bool activationSucceeds = true;
    bool answersReleaseFrames = true;

    // ---- what the engine did
    // "open LABEL", "close", "opening", "varlenne", "hardware", "list",
    // "advertise TEXT", "authorization", "download NAME", "activate",
    // "release", "release frame 1", "release frame 2"
    std::vector<std::string> events;
    std::map<std::string, std::vector<uint8_t>> received; // completed downloads
    std::vector<uint16_t> blockNumbers;                   // every data block sent
    bool isOpen = false;

    int count(const std::string& event) const;
    bool contains(const std::string& event) const { return count(event) > 0; }

    // The engine's port factory handing out this terminal, which the test keeps.
    TerminalPortFactory factory();

    // TerminalPort
    using TerminalPort::open;
    bool open(const PortChoice& port) override;
    bool close() override;
    OpenFailure lastOpenFailure() const override { return openFailure_; }

    // Link
    bool write(const uint8_t* data, uint16_t length) override;
    bool read(uint8_t* buffer, uint16_t& length, int timeoutMs) override;
    bool readFull(uint8_t* buffer, uint16_t& length) override;
    void clearInput() override { input_.clear(); }

private:
    void answerSlashFrame(const uint8_t* data, uint16_t length);
    void answerCommand(const uint8_t* frame);
    void answerBlock(const uint8_t* frame);
    void startDownload();
    void queue(const uint8_t* data, size_t length) { input_.insert(input_.end(), data, data + length); }
    void queueAnswer(uint8_t code, uint8_t result);

    OpenFailure openFailure_;
    std::deque<uint8_t> input_;
    std::vector<uint8_t> late_; // arrives once a read has found nothing
    std::string advertisedName_;
    uint32_t advertisedLength_ = 0;
    bool downloadFails_ = false;
    int resendsLeft_ = 0;
    std::vector<uint8_t> content_;
};
