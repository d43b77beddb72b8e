// The script and record of the stand-in cloud authentication library (StandInWtsApi.cpp), shared
// by it and the tests through its export CloudAuthStandInControl.
#pragma once
#include <windows.h>

struct CloudAuthScript {
    // --- Answers; a non-zero error makes that call fail with it ---
    DWORD openError = 0, nonceError = 0, convertError = 0, logonError = 0;
    wchar_t nonce[64] = L"server-nonce-1";
    BYTE credential[8] = {0xC0, 0xFF, 0xEE, 0x00, 0x01};
    ULONG credentialBytes = 5;
    // --- Records ---
    LONG opens = 0 /* attempts */, closes = 0, frees = 0, calls = 0;
    DWORD callThreads[64] = {};  // the thread of each call, in order
    GUID lastActivity = {};
    char lastAssertion[256] = {};
    ULONG lastLogonBytes = 0;
};

using CloudAuthControlFn = CloudAuthScript*(__cdecl*)();
