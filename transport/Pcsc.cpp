// The switch of the maker's PC/SC card readers into serial mode. A terminal
// attached as a card reader offers no serial port; the one-byte escape command
// sent here makes it re-appear as one, so the port enumeration can find it.
// Every step only logs what went wrong and moves on to the next reader.
#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX  // keep std::min usable
#endif
#include <winsock2.h>  // ntohl; must come before windows.h
#ifdef _MSC_VER
#pragma comment(lib, "winscard.lib")
#pragma comment(lib, "ws2_32.lib")
#endif
#else
#include <arpa/inet.h>  // ntohl
#endif

#include "Pcsc.h"
#include "PcscApi.h"

#include <QtGlobal>
#include <algorithm>
#include <cstring>
#include <string>

const PcscApi& systemPcscApi() {
#ifdef _WIN32
    static const PcscApi api = {SCardEstablishContext, SCardListReadersW, SCardConnectW,
                                SCardGetAttrib,        SCardControl,      SCardDisconnect,
                                SCardFreeMemory,       SCardReleaseContext};
#else
    static const PcscApi api = {SCardEstablishContext, SCardListReaders, SCardConnect,
                                SCardGetAttrib,        SCardControl,     SCardDisconnect,
                                SCardFreeMemory,       SCardReleaseContext};
#endif
    return api;
}

uint32_t escapeControlCode(const uint8_t* features, std::size_t length, uint32_t fallback) {
    const std::size_t entries = length / kFeatureEntrySize;
    for (std::size_t i = 0; i < entries; ++i) {
        const uint8_t* entry = features + i * kFeatureEntrySize;
        if (entry[0] != kEscapeFeatureTag)
            continue;
        uint32_t networkOrder;
        std::memcpy(&networkOrder, entry + 2, sizeof networkOrder);
        const uint32_t code = ntohl(networkOrder);
        if (code != 0)
            return code;
    }
    return fallback;
}

bool isMakerVendor(const uint8_t* attribute, std::size_t length) {
    const auto* text = reinterpret_cast<const char*>(attribute);
    const auto* end = std::find(text, text + length, '\0');
    return QString::fromLatin1(text, int(end - text))
               .compare(QLatin1String(kMakerVendorName), Qt::CaseInsensitive) == 0;
}

QString readerLogName(const PcscChar* name) {
#ifdef _WIN32
    // What has no Latin-1 form shows as '?', as the narrow name would.
    return QString::fromLatin1(QString::fromWCharArray(name).toLatin1());
#else
    return QString::fromLatin1(name);
#endif
}

namespace {

unsigned errorCode(LONG result) { return static_cast<unsigned>(result); }

void logWithReader(const char* text, const PcscChar* name) {
    qInfo("%s", qUtf8Printable(QLatin1String(text) + readerLogName(name)));
}

// Recognises the reader behind an open direct connection and, if it is the
// maker's, sends it the switch command. The caller disconnects.
void switchConnectedReader(const PcscApi& api, SCARDHANDLE card, const PcscChar* name) {
    uint8_t vendor[kPcscBufferSize] = {};
    DWORD vendorLength = sizeof vendor;
    LONG result = api.getAttrib(card, SCARD_ATTR_VENDOR_NAME, vendor, &vendorLength);
    if (result != SCARD_S_SUCCESS) {
        qInfo("Pcsc_switchToCom cannot get SCARD_ATTR_VENDOR_NAME Error : 0x%x\n", errorCode(result));
        return;
    }
    if (!isMakerVendor(vendor, std::min<std::size_t>(vendorLength, sizeof vendor))) {
        qInfo("Pcsc_switchToCom : Not an Velmaris reader\n");
        return;
    }

    uint8_t features[kPcscBufferSize] = {};
    DWORD featuresLength = 0;
    result = api.control(card, kFeatureRequestCode, nullptr, 0, features, sizeof features,
                         &featuresLength);
    if (result != SCARD_S_SUCCESS) {
        qInfo("Pcsc_switchToCom CM_IOCTL_GET_FEATURE_REQUEST failed : 0x%x", errorCode(result));
        return;
    }
    // Worked out for each reader: models of the maker may differ.
    const uint32_t escapeCode = escapeControlCode(
        features, std::min<std::size_t>(featuresLength, sizeof features), kDefaultEscapeCode);

    const uint8_t command = kSwitchToSerialCommand;
    uint8_t answer[kPcscBufferSize] = {};  // what the reader says back does not matter
    DWORD answerLength = 0;
    result = api.control(card, escapeCode, &command, sizeof command, answer, sizeof answer,
                         &answerLength);
    if (result != SCARD_S_SUCCESS) {
        qInfo("Pcsc_switchToCom SCardControl Escape command failed : 0x%x", errorCode(result));
        return;
    }
    logWithReader("Pcsc_switchToCom : Switched reader: ", name);
}

void tryReader(const PcscApi& api, SCARDCONTEXT context, const PcscChar* name) {
    logWithReader("Pcsc_switchToCom : Try reader: ", name);
    SCARDHANDLE card = 0;
    DWORD protocol = 0;
    // A direct connection reaches the reader itself, with or without a card.
    const LONG result = api.connect(context, name, SCARD_SHARE_DIRECT, 0, &card, &protocol);
    if (result != SCARD_S_SUCCESS) {
        qInfo("Pcsc_switchToCom SCardConnect failed Error : 0x%x\n", errorCode(result));
        return;
    }
    switchConnectedReader(api, card, name);
    api.disconnect(card, SCARD_LEAVE_CARD);
}

}  // namespace

void switchReadersToCom(const PcscApi& api) {
    // Without a service the context stays unusable and the listing fails:
    // there is then simply no reader to try.
    SCARDCONTEXT context = 0;
    api.establishContext(SCARD_SCOPE_USER, nullptr, nullptr, &context);

    // With auto-allocation the layer stores the address of its own buffer
    // where the list would go.
    PcscChar* readers = nullptr;
    DWORD length = SCARD_AUTOALLOCATE;
    if (api.listReaders(context, nullptr, reinterpret_cast<PcscChar*>(&readers), &length)
        != SCARD_S_SUCCESS)
        readers = nullptr;

    // A multi-string: names ended by a zero, the list by an empty name.
    for (const PcscChar* name = readers; name && *name;
         name += std::char_traits<PcscChar>::length(name) + 1)
        tryReader(api, context, name);

    if (readers)
        api.freeMemory(context, readers);
    api.releaseContext(context);
}

void Pcsc_switchToCom() { switchReadersToCom(systemPcscApi()); }
