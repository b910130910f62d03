#pragma once
// The PC/SC side of the reader switch: the platform's smart-card calls behind
// a table of function pointers, and the small pure pieces of the switch.
// Production goes through systemPcscApi(); tests hand switchReadersToCom() a
// table of fakes that stand in for the readers.
//
// Windows has the wide-character reader names (SCardListReadersW and
// SCardConnectW); pcsc-lite has only the narrow ones. PcscChar hides the
// difference, so the walk over the readers is the same code on both. Nothing
// here uses Qt: the walk hands its log lines to the caller.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "transport/PcscPlatform.h"

struct PcscApi {
    LONG(MIRDAL_PCSC_CALL* establishContext)(DWORD scope, LPCVOID reserved1, LPCVOID reserved2, LPSCARDCONTEXT context);
    LONG(MIRDAL_PCSC_CALL* listReaders)
    (SCARDCONTEXT context, const PcscChar* groups, PcscChar* readers, LPDWORD length);
    LONG(MIRDAL_PCSC_CALL* connect)
    (SCARDCONTEXT context, const PcscChar* reader, DWORD shareMode, DWORD preferredProtocols, LPSCARDHANDLE card,
     LPDWORD activeProtocol);
    LONG(MIRDAL_PCSC_CALL* getAttrib)(SCARDHANDLE card, DWORD attribute, LPBYTE buffer, LPDWORD length);
    LONG(MIRDAL_PCSC_CALL* control)
    (SCARDHANDLE card, DWORD code, LPCVOID input, DWORD inputLength, LPVOID output, DWORD outputLength,
     LPDWORD returned);
    LONG(MIRDAL_PCSC_CALL* disconnect)(SCARDHANDLE card, DWORD disposition);
    LONG(MIRDAL_PCSC_CALL* freeMemory)(SCARDCONTEXT context, LPCVOID memory);
    LONG(MIRDAL_PCSC_CALL* releaseContext)(SCARDCONTEXT context);
};

// Receives each log line of the switch, as UTF-8 text.
using PcscLog = std::function<void(const std::string& line)>;

// The whole switch, on the given functions, its lines going to `log`. The
// names of the readers switched, in the order tried.
std::vector<std::string> switchReadersToCom(const PcscApi& api, const PcscLog& log);

// The same with the lines going to Qt's info log (PcscQtLog.cpp):
// Pcsc_switchToCom() is this on systemPcscApi().
std::vector<std::string> switchReadersToCom(const PcscApi& api);

// Function numbers of the two reader controls the switch uses.
constexpr uint32_t kFeatureRequestFunction = 3400; // list of the reader's features
constexpr uint32_t kDefaultEscapeFunction = 1;     // escape, when the reader lists none

// The codes actually sent, from the platform's own macro.
constexpr DWORD kFeatureRequestCode = SCARD_CTL_CODE(kFeatureRequestFunction);
constexpr DWORD kDefaultEscapeCode = SCARD_CTL_CODE(kDefaultEscapeFunction);

constexpr uint8_t kEscapeFeatureTag = 0x13;
constexpr std::size_t kFeatureEntrySize = 6; // tag, length, 4-byte big-endian code
constexpr uint8_t kSwitchToSerialCommand = 0x10;
constexpr std::size_t kPcscBufferSize = 256; // vendor name, feature list, escape answer
inline constexpr char kMakerVendorName[] = "Velmaris";

// The control code of the escape command in a feature list: the value of the
// first tag-0x13 entry that is not 0, otherwise fallback. Only whole entries
// count; a trailing partial entry is ignored.
uint32_t escapeControlCode(const uint8_t* features, std::size_t length, uint32_t fallback);

// Whether a vendor-name attribute names the maker: the text up to the first
// zero byte (readers may count the terminating zero in the length), compared
// ignoring letter case.
bool isMakerVendor(const uint8_t* attribute, std::size_t length);

// A reader name as the log shows it: its Latin-1 text, in UTF-8.
std::string readerLogName(const PcscChar* name);
