// The data the operating system's smart card removal policy service reads to know which reader
// and which card insertion belong to the session.
#include "Credentials.h"

#include "base/SessionInfo.h"
#include "lib/mfw/common/config/Config.h"
#include "lib/mfw/common/util/ErrorText.h"
#include "lib/mfw/common/log/SysMessage.h"

#include <cwchar>
#include <vector>

using namespace CORE;

void Credentials::SendReaderToSmartCardService() {
    SysMsgUtl::FunctionTraceWithSessionId trace("Credentials::SendReaderToSmartCardService");
    if (smartCardReader.empty()) return;
    std::wstring option =
        ReadRegistryValue(L"HKLM\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Winlogon\\ScRemoveOption", L"0");
    if (option == L"0") return;  // no removal action configured

    // Layout: reader name in UTF-16 with its terminator, then the activity count as a
    // little-endian u32, no padding.
    std::vector<BYTE> blob;
    blob.reserve((smartCardReader.size() + 1) * 2 + 4);
    for (wchar_t c : smartCardReader) {
        blob.push_back(static_cast<BYTE>(c & 0xFF));
        blob.push_back(static_cast<BYTE>(c >> 8));
    }
    blob.push_back(0);
    blob.push_back(0);
    const DWORD count = activityCount;
    for (int i = 0; i < 4; ++i) blob.push_back(static_cast<BYTE>(count >> (8 * i)));

    wchar_t session[16];
    _snwprintf(session, 16, L"%x", static_cast<unsigned>(GetSessionId()));
    session[15] = L'\0';
    LSTATUS status = ::RegSetKeyValueW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Removal Policy",
                                       session, REG_BINARY, blob.data(), static_cast<DWORD>(blob.size()));
    if (status == ERROR_SUCCESS) {
        LogMessage(LOG_DEBUG,
                   L"%s: Successfully wrote smart card removal data for reader '%s', session '%s', and activity count "
                   L"'0x%p'.",
                   L"Credentials::SendReaderToSmartCardService", smartCardReader.c_str(), session,
                   reinterpret_cast<void*>(static_cast<ULONG_PTR>(count)));
    } else {
        LogMessage(LOG_DEBUG, L"%s: Unable to save smart card removal data for session '%s'. %s",
                   L"Credentials::SendReaderToSmartCardService", session,
                   SystemErrorText(static_cast<DWORD>(status)).c_str());
    }
}
