// The POSIX side of the PC/SC platform seam: pcsc-lite, narrow reader names.
#include "transport/PcscApi.h"
#include "transport/PcscPlatform.h"

#include <arpa/inet.h> // ntohl

const PcscApi& systemPcscApi()
{
    static const PcscApi api = {SCardEstablishContext, SCardListReaders, SCardConnect,    SCardGetAttrib,
                                SCardControl,          SCardDisconnect,  SCardFreeMemory, SCardReleaseContext};
    return api;
}

uint32_t pcscNetworkToHost(uint32_t networkOrder)
{
    return ntohl(networkOrder);
}

std::string pcscLatin1Name(const PcscChar* name)
{
    return name;
}
