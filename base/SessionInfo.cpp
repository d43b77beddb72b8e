#include "SessionInfo.h"

#include "lib/mfw/common/config/Config.h"
#include "lib/mfw/common/util/ErrorText.h"
#include "lib/mfw/common/log/SysMessage.h"
#include "platform/Platform.h"

#include <atomic>

using namespace CORE;

namespace {

constexpr DWORD kNotRead = 0xFFFFFFFF;
std::atomic<DWORD> g_sessionId{kNotRead};

bool VersionIs(DWORD typeMask, DWORD major, DWORD minor, BYTE condition) {
    OSVERSIONINFOEXW info = {};
    info.dwOSVersionInfoSize = sizeof(info);
    info.dwMajorVersion = major;
    info.dwMinorVersion = minor;
    DWORDLONG mask = 0;
    if (typeMask & VER_MAJORVERSION) mask = ::VerSetConditionMask(mask, VER_MAJORVERSION, condition);
    if (typeMask & VER_MINORVERSION) mask = ::VerSetConditionMask(mask, VER_MINORVERSION, condition);
    return platform::Get().VerifyVersionInfo(&info, typeMask, mask) != FALSE;
}

bool IsNtPlatform() {
    OSVERSIONINFOEXW info = {};
    info.dwOSVersionInfoSize = sizeof(info);
    info.dwPlatformId = VER_PLATFORM_WIN32_NT;
    DWORDLONG mask = ::VerSetConditionMask(0, VER_PLATFORMID, VER_EQUAL);
    return platform::Get().VerifyVersionInfo(&info, VER_PLATFORMID, mask) != FALSE;
}

bool IsWorkstation() {
    OSVERSIONINFOEXW info = {};
    info.dwOSVersionInfoSize = sizeof(info);
    info.wProductType = VER_NT_WORKSTATION;
    DWORDLONG mask = ::VerSetConditionMask(0, VER_PRODUCT_TYPE, VER_EQUAL);
    return platform::Get().VerifyVersionInfo(&info, VER_PRODUCT_TYPE, mask) != FALSE;
}

bool IsVersion(DWORD major, DWORD minor) {
    return VersionIs(VER_MAJORVERSION | VER_MINORVERSION, major, minor, VER_EQUAL);
}

}  // namespace

DWORD GetSessionId() noexcept {
    DWORD cached = g_sessionId.load();
    if (cached != kNotRead) return cached;
    DWORD session = 0;
    if (!platform::Get().ProcessIdToSessionId(::GetCurrentProcessId(), &session)) {
        LogMessage(LOG_ERROR, L"Unable to retrieve session ID.");
        session = 0;
    }
    // Concurrent first callers store the same value.
    g_sessionId = session;
    return session;
}

void ResetSessionIdCache() noexcept { g_sessionId = kNotRead; }

bool GetSessionProtocol(USHORT* protocol) noexcept {
    USHORT value = 0;
    if (platform::Get().QueryClientProtocol(&value)) {
        if (protocol) *protocol = value;
        return true;
    }
    DWORD error = ::GetLastError();
    if (protocol) *protocol = 0;
    try {
        LogMessage(LOG_ERROR, L"Unable to retrieve current session protocol: %s.", SystemErrorText(error).c_str());
    } catch (...) {
    }
    return false;
}

bool IsDRVProtocolSession() noexcept {
    USHORT protocol = 0;
    return GetSessionProtocol(&protocol) && protocol == kProtocolDrv;
}

bool isApplicationSession() noexcept {
    try {
        DWORD session = GetSessionId();
        std::wstring path = GetConfigRoot(L"HKLM") + L"\\SessionData\\" + std::to_wstring(session) +
                            L"\\LumoClient_Launch_SessionType";
        std::wstring type = ReadPolicyValue(path, L"DESKTOP");
        LogMessage(LOG_DEBUG, L"%s: Session sessionId=%d is of type %s.", L"isApplicationSession",
                   static_cast<int>(session), type.c_str());
        // Whole-string comparison: the terminator takes part, so "APPLICATIONS" differs.
        static const wchar_t kApplication[] = L"APPLICATION";
        int count = static_cast<int>(type.size() + 1 < 12 ? type.size() + 1 : 12);
        return ::CompareStringW(LOCALE_SYSTEM_DEFAULT, NORM_IGNORECASE, type.c_str(), count, kApplication, 12) ==
               CSTR_EQUAL;
    } catch (...) {
        return false;
    }
}

int GetOsLevel() noexcept {
    if (!IsNtPlatform()) return 0;
    if (VersionIs(VER_MAJORVERSION, 4, 0, VER_EQUAL)) return 1;
    if (IsVersion(5, 0)) return 2;
    if (IsVersion(5, 1)) return 3;
    const bool workstation = IsWorkstation();
    if (IsVersion(5, 2)) return workstation ? 3 : 4;
    if (IsVersion(6, 0)) return workstation ? 5 : 6;
    if (IsVersion(6, 1)) return workstation ? 7 : 8;
    if (IsVersion(6, 2)) return workstation ? 9 : 10;
    if (IsVersion(6, 3)) return workstation ? 11 : 12;
    if (IsVersion(10, 0)) return workstation ? 13 : 14;
    return 15;
}

std::wstring EnumerateEventName() {
    return L"Global\\Velmora.Zephral.CredProvEnumerateEvent." + std::to_wstring(static_cast<int>(GetSessionId()));
}

std::wstring SessionProtocolTicket() {
    return L"SESSION_PROTOCOL_TICKET_" + std::to_wstring(static_cast<int>(GetSessionId()));
}
