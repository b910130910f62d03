// The switch of the maker's PC/SC card readers into serial mode. A terminal
// attached as a card reader offers no serial port; the one-byte escape command
// sent here makes it re-appear as one, so the port enumeration can find it.
// Every step only logs what went wrong and moves on to the next reader.
// Plain C++: the platform's calls are behind PcscPlatform.h, and the log
// lines go to the caller.
#include "transport/PcscApi.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

uint32_t escapeControlCode(const uint8_t* features, std::size_t length, uint32_t fallback)
{
    const std::size_t entries = length / kFeatureEntrySize;
    for (std::size_t i = 0; i < entries; ++i) {
        const uint8_t* entry = features + i * kFeatureEntrySize;
        if (entry[0] != kEscapeFeatureTag)
            continue;
        uint32_t networkOrder;
        std::memcpy(&networkOrder, entry + 2, sizeof networkOrder);
        const uint32_t code = pcscNetworkToHost(networkOrder);
        if (code != 0)
            return code;
    }
    return fallback;
}

bool isMakerVendor(const uint8_t* attribute, std::size_t length)
{
    // The maker's name is ASCII; no other Latin-1 letter folds onto one of its
    // letters, so folding ASCII alone is the whole case-insensitive comparison.
    auto fold = [](uint8_t c) { return c >= 'A' && c <= 'Z' ? uint8_t(c - 'A' + 'a') : c; };
    const uint8_t* end = std::find(attribute, attribute + length, uint8_t(0));
    const std::size_t nameLength = std::strlen(kMakerVendorName);
    if (std::size_t(end - attribute) != nameLength)
        return false;
    for (std::size_t i = 0; i < nameLength; ++i)
        if (fold(attribute[i]) != fold(uint8_t(kMakerVendorName[i])))
            return false;
    return true;
}

std::string readerLogName(const PcscChar* name)
{
    std::string utf8;
    for (const char c : pcscLatin1Name(name)) {
        const auto byte = uint8_t(c);
        if (byte < 0x80) {
            utf8 += c;
        } else {
            utf8 += char(0xC0 | (byte >> 6));
            utf8 += char(0x80 | (byte & 0x3F));
        }
    }
    return utf8;
}

namespace {

// "text0x<code in hexadecimal>end"
std::string withErrorCode(const char* text, LONG result, const char* end = "")
{
    char code[16];
    std::snprintf(code, sizeof code, "%x", static_cast<unsigned>(result));
    return std::string(text) + "0x" + code + end;
}

// Recognises the reader behind an open direct connection and, if it is the
// maker's, sends it the switch command; true once it was sent. The caller
// disconnects.
bool switchConnectedReader(const PcscApi& api, const PcscLog& log, SCARDHANDLE card, const PcscChar* name)
{
    uint8_t vendor[kPcscBufferSize] = {};
    DWORD vendorLength = sizeof vendor;
    LONG result = api.getAttrib(card, SCARD_ATTR_VENDOR_NAME, vendor, &vendorLength);
    if (result != SCARD_S_SUCCESS) {
        log(withErrorCode("Pcsc_switchToCom cannot get SCARD_ATTR_VENDOR_NAME Error : ", result, "\n"));
        return false;
    }
    if (!isMakerVendor(vendor, std::min<std::size_t>(vendorLength, sizeof vendor))) {
        log("Pcsc_switchToCom : Not an Velmaris reader\n");
        return false;
    }

    uint8_t features[kPcscBufferSize] = {};
    DWORD featuresLength = 0;
    result = api.control(card, kFeatureRequestCode, nullptr, 0, features, sizeof features, &featuresLength);
    if (result != SCARD_S_SUCCESS) {
        log(withErrorCode("Pcsc_switchToCom CM_IOCTL_GET_FEATURE_REQUEST failed : ", result));
        return false;
    }
    // Worked out for each reader: models of the maker may differ.
    const uint32_t escapeCode =
        escapeControlCode(features, std::min<std::size_t>(featuresLength, sizeof features), kDefaultEscapeCode);

    const uint8_t command = kSwitchToSerialCommand;
    uint8_t answer[kPcscBufferSize] = {}; // what the reader says back does not matter
    DWORD answerLength = 0;
    result = api.control(card, escapeCode, &command, sizeof command, answer, sizeof answer, &answerLength);
    if (result != SCARD_S_SUCCESS) {
        log(withErrorCode("Pcsc_switchToCom SCardControl Escape command failed : ", result));
        return false;
    }
    log("Pcsc_switchToCom : Switched reader: " + readerLogName(name));
    return true;
}

bool tryReader(const PcscApi& api, const PcscLog& log, SCARDCONTEXT context, const PcscChar* name)
{
    log("Pcsc_switchToCom : Try reader: " + readerLogName(name));
    SCARDHANDLE card = 0;
    DWORD protocol = 0;
    // A direct connection reaches the reader itself, with or without a card.
    const LONG result = api.connect(context, name, SCARD_SHARE_DIRECT, 0, &card, &protocol);
    if (result != SCARD_S_SUCCESS) {
        log(withErrorCode("Pcsc_switchToCom SCardConnect failed Error : ", result, "\n"));
        return false;
    }
    const bool switched = switchConnectedReader(api, log, card, name);
    api.disconnect(card, SCARD_LEAVE_CARD);
    return switched;
}

} // namespace

std::vector<std::string> switchReadersToCom(const PcscApi& api, const PcscLog& log)
{
    // Without a service the context stays unusable and the listing fails:
    // there is then simply no reader to try.
    SCARDCONTEXT context = 0;
    api.establishContext(SCARD_SCOPE_USER, nullptr, nullptr, &context);

    // With auto-allocation the layer stores the address of its own buffer
    // where the list would go.
    PcscChar* readers = nullptr;
    DWORD length = SCARD_AUTOALLOCATE;
    if (api.listReaders(context, nullptr, reinterpret_cast<PcscChar*>(&readers), &length) != SCARD_S_SUCCESS)
        readers = nullptr;

    // A multi-string: names ended by a zero, the list by an empty name.
    std::vector<std::string> switched;
    for (const PcscChar* name = readers; name && *name; name += std::char_traits<PcscChar>::length(name) + 1) {
        if (tryReader(api, log, context, name))
            switched.push_back(readerLogName(name));
    }

    if (readers)
        api.freeMemory(context, readers);
    api.releaseContext(context);
    return switched;
}
