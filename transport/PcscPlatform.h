#pragma once
// The platform side of the PC/SC reader switch: the smart-card headers and
// types, and the few calls that differ between Windows (WinSCard, with
// wide-character reader names) and pcsc-lite (narrow names).
// PcscPlatformWindows.cpp and PcscPlatformPosix.cpp are its two sides; the
// switch itself (Pcsc.cpp) includes no system header of its own.
#include <cstdint>
#include <string>

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX // keep std::min and std::max usable
#endif
#include <windows.h>
#include <winioctl.h> // CTL_CODE, behind SCARD_CTL_CODE
#include <winscard.h>
#define MIRDAL_PCSC_CALL WINAPI
using PcscChar = wchar_t;
#else
#include <reader.h>
#include <winscard.h>
#define MIRDAL_PCSC_CALL
using PcscChar = char;
#endif

struct PcscApi;

// The platform's own smart-card functions.
const PcscApi& systemPcscApi();

// A 32-bit number in network order (big-endian, as the feature list holds
// it) in the host's order.
uint32_t pcscNetworkToHost(uint32_t networkOrder);

// A reader name as Latin-1 bytes: pcsc-lite's narrow name as it stands, a
// Windows wide name with '?' for each character that Latin-1 cannot hold.
std::string pcscLatin1Name(const PcscChar* name);
