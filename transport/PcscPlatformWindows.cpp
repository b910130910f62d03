// The Windows side of the PC/SC platform seam: WinSCard with its
// wide-character reader names, and Winsock's byte order. Link with winscard
// and ws2_32.
#include <winsock2.h> // ntohl; must come before windows.h

#include "transport/PcscApi.h"
#include "transport/PcscPlatform.h"

#ifdef _MSC_VER
#pragma comment(lib, "winscard.lib")
#pragma comment(lib, "ws2_32.lib")
#endif

// The codes sent are Windows' own: a smart-card device I/O control code.
static_assert(kFeatureRequestCode == 0x00313520u, "feature request code");
static_assert(kDefaultEscapeCode == 0x00310004u, "default escape code");

const PcscApi& systemPcscApi()
{
    static const PcscApi api = {SCardEstablishContext, SCardListReadersW, SCardConnectW,   SCardGetAttrib,
                                SCardControl,          SCardDisconnect,   SCardFreeMemory, SCardReleaseContext};
    return api;
}

uint32_t pcscNetworkToHost(uint32_t networkOrder)
{
    return ntohl(networkOrder);
}

std::string pcscLatin1Name(const PcscChar* name)
{
    std::string latin1;
    for (; *name; ++name)
        latin1 += *name <= 0xFF ? char(*name) : '?';
    return latin1;
}
