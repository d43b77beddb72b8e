// Facts about the Windows session this process runs in: its id (cached), its client
// protocol, whether it is a published-application session, the per-session object names,
// and a coarse OS level used to skip features on old systems.
#pragma once
#include <windows.h>

#include <string>

// WTSClientProtocolType values as this system names them.
enum SessionProtocol : USHORT {
    kProtocolConsole = 0,
    kProtocolRdp = 2,
    kProtocolDrv = 3,
};

// The process's session id, read once; 0 when it cannot be read.
DWORD GetSessionId() noexcept;
// The client protocol of the current session; false (and 0) when the query fails.
bool GetSessionProtocol(USHORT* protocol) noexcept;
bool IsDRVProtocolSession() noexcept;
// True when the session's LumoClient_Launch_SessionType is "APPLICATION" (any case).
bool isApplicationSession() noexcept;
// 0 not NT, 1 4.x, 2 5.0, 3 5.1/5.2 ws, 4 5.2 server, 5/6 6.0 ws/server, 7/8 6.1,
// 9/10 6.2, 11/12 6.3, 13/14 10.0, 15 anything else.
int GetOsLevel() noexcept;

// "Global\Velmora.Zephral.CredProvEnumerateEvent.<session id>"
std::wstring EnumerateEventName();
// "SESSION_PROTOCOL_TICKET_<session id>"
std::wstring SessionProtocolTicket();

// Forgets the cached session id (tests that steer the session through the seam).
void ResetSessionIdCache() noexcept;
