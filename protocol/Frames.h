#pragma once
// Layouts, codes, capacities and timings of the terminal protocol. Every
// number that the commands and the simulator put on or read from the wire
// is named here.
#include <array>
#include <cstddef>
#include <cstdint>

// --- Frame shapes -----------------------------------------------------------

// Command frames (both directions): code, 29 parameter bytes, CRC.
constexpr uint16_t kCommandFrameSize = 32;
constexpr uint16_t kCommandCrcOffset = 30;

// Block frames: 126-byte body (data block or hardware record), CRC.
constexpr uint16_t kBlockFrameSize = 128;
constexpr uint16_t kBlockCrcOffset = 126;

constexpr uint16_t kCrcSize = 2;

// Slash frames: "/", selector, count N, N data bytes, CRC.
constexpr uint8_t kSlashStart = 0x2F;
constexpr uint16_t kSlashSelectorOffset = 1;
constexpr uint16_t kSlashCountOffset = 2;
constexpr uint16_t kSlashHeaderSize = 3;
constexpr uint16_t kSlashOverhead = kSlashHeaderSize + kCrcSize;

using OpeningFrame = std::array<uint8_t, 9>;
using VarlenneFrame = std::array<uint8_t, 8>;

// The four slash frames the PC sends, CRC included.
constexpr OpeningFrame kOpeningFrame = {0x2F, 0xC0, 0x04, 0x00, 0x14, 0x00, 0xC8, 0xA4, 0xFC};
constexpr VarlenneFrame kVarlenneStartFrame = {0x2F, 0x40, 0x03, 0x05, 0x00, 0xFF, 0xC3, 0x6A};
constexpr OpeningFrame kFirstReleaseFrame = {0x2F, 0xC0, 0x04, 0x00, 0x14, 0x01, 0x2C, 0x56, 0x44};
constexpr VarlenneFrame kSecondReleaseFrame = {0x2F, 0x40, 0x03, 0x05, 0x01, 0xFC, 0x80, 0x41};

// --- Command codes ----------------------------------------------------------

constexpr uint8_t kCodeApplicationList = 1;
constexpr uint8_t kCodeAdvertise = 2;
constexpr uint8_t kCodeAuthorization = 3;
constexpr uint8_t kCodeDownload = 4;
constexpr uint8_t kCodeActivate = 5;
constexpr uint8_t kCodeRelease = 6;
constexpr uint8_t kCodeHardwareConfiguration = 7;

// --- Common answer layout ---------------------------------------------------

constexpr uint16_t kEchoOffset = 0;
constexpr uint16_t kMarkerOffset = 1;
constexpr uint16_t kResultOffset = 2;

constexpr uint8_t kAnswerMarker = 0x01;
constexpr uint8_t kResultDone = 0x55;    // "U"
constexpr uint8_t kResultResend = 0x33;  // "3": send the same block again
constexpr uint8_t kResultGranted = 0x01; // authorization only

// Byte 1 of the authorization request.
constexpr uint16_t kAuthorizationParameterOffset = 1;
constexpr uint8_t kAuthorizationParameter = 0x01;

// --- Varlenne start answer --------------------------------------------------

// Bytes 3 and 4 of the answer say that the terminal has no Varlenne application.
constexpr uint16_t kVarlenneRefusalOffset = 3;
constexpr std::array<uint8_t, 2> kVarlenneRefusal = {0x01, 0x81};
// A "K" before the first zero byte means the application started.
constexpr uint8_t kVarlenneAccepted = 'K';

// --- Hardware identification ----------------------------------------------

// Three bytes identify a terminal's hardware: bytes 10..12 of its hardware
// record (the body of the answer to code 7), to be found at bytes 8..10 of
// the 128-byte data of an accepted hardware configuration.
constexpr uint16_t kHardwareIdSize = 3;
constexpr uint16_t kRecordHardwareIdOffset = 10;
constexpr uint16_t kEntryHardwareIdOffset = 8;
using HardwareId = std::array<uint8_t, kHardwareIdSize>;

inline HardwareId hardwareIdAt(const uint8_t* bytes, uint16_t offset)
{
    return {bytes[offset], bytes[offset + 1], bytes[offset + 2]};
}
// The id a terminal reports in its hardware record (126 or 128 bytes).
inline HardwareId recordHardwareId(const uint8_t* record)
{
    return hardwareIdAt(record, kRecordHardwareIdOffset);
}
// The id an accepted hardware configuration's data (128 bytes) stands for.
inline HardwareId entryHardwareId(const uint8_t* data)
{
    return hardwareIdAt(data, kEntryHardwareIdOffset);
}

// --- Application list answers -----------------------------------------------

constexpr uint16_t kNameLengthOffset = 1; // 0 ends the list
constexpr uint16_t kNameOffset = 2;
constexpr uint16_t kMaxNameLength = kCommandCrcOffset - kNameOffset; // 28

// Names accepted in one list. A terminal's memory holds a few dozen
// applications; a list that goes on past this many names (about 100 s of
// answers at the real pacing) comes from a terminal that never ends it, and
// would hold the update for good.
constexpr size_t kMaxApplications = 1000;

// --- File advertisement -----------------------------------------------------

constexpr uint16_t kTextLengthOffset = 1;
constexpr uint16_t kTextOffset = 2;
constexpr uint16_t kMaxAdvertisementText = kCommandCrcOffset - kTextOffset; // 28
constexpr uint32_t kMaxShortLength = 999999;                                // largest length written as six digits
constexpr int kShortLengthDigits = 6;
constexpr char kLongLengthEnd = ';';

// --- Data blocks ------------------------------------------------------------

constexpr uint16_t kBlockNumberOffset = 1; // 16-bit big-endian
constexpr uint16_t kBlockCountOffset = 3;
constexpr uint16_t kBlockDataOffset = 4;
constexpr uint16_t kMaxBlockPayload = kBlockCrcOffset - kBlockDataOffset; // 122

// --- Reception --------------------------------------------------------------

// Each exchange's pauses, time-outs and capacity are its row in
// protocol/Steps.h; what follows is shared by all of them.

constexpr int kOpeningAttempts = 3;

// An answer reaches the port as the line delivers it: a byte every 1.04 ms,
// a UART's FIFO or a USB packet at a time. An exchange's time-out bounds the
// wait for its first bytes; once it has begun, it is gathered until whole by
// its own shape, and its rest gets its own line time plus this margin (a USB
// adapter may hold bytes 16 ms before it passes them on).
constexpr int kAnswerRestMarginMs = 50;
// An answer whose first bytes do not tell its length (a slash-frame answer
// that does not start with "/") ends when the line stays quiet this long:
// about 20 character times, longer than a USB adapter holds bytes back.
constexpr int kQuietGapMs = 20;
// After an exchange whose answer was wrong or incomplete, the next request
// waits until the line is quiet (at most this long), so that the rest of
// that answer is not taken for the next one.
constexpr int kSettleAfterFailureMs = 1000;
// The longest answer gathered: a slash frame with 255 data bytes. Bytes
// beyond a command's capacity are read and dropped, so that the tail of an
// answer never passes for the next one.
constexpr uint16_t kLongestAnswer = kSlashOverhead + 255;

// --- Pauses (through Clock) outside the exchanges ---------------------------

constexpr uint32_t kListPacingMs = 50;   // between two application-list answers
constexpr uint32_t kResendPauseMs = 200; // before a block is sent again

// --- Download policy --------------------------------------------------------

// Consecutive resend requests accepted for one block before the download
// fails. A healthy line needs one or two; a terminal that keeps asking would
// otherwise hang the update for good, whereas a failed download is retried
// from its advertisement by the scenario.
constexpr int kMaxResendRequests = 16;
