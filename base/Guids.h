// The class identifiers the module serves (as registered with COM and LogonUI).
#pragma once
#include <windows.h>

// {39FA3429-F61A-4975-9653-327BCE27C037}: credfilter, the ICredentialProviderFilter.
inline constexpr CLSID CLSID_credfilter = {
    0x39fa3429, 0xf61a, 0x4975, {0x96, 0x53, 0x32, 0x7b, 0xce, 0x27, 0xc0, 0x37}};
// {BEBE672F-B0E3-4354-BB86-4EF127A55B6A}: credprovider; also the clsidCredentialProvider of
// every serialization and the key of the registered credential handlers.
inline constexpr CLSID CLSID_credprovider = {
    0xbebe672f, 0xb0e3, 0x4354, {0xbb, 0x86, 0x4e, 0xf1, 0x27, 0xa5, 0x5b, 0x6a}};
