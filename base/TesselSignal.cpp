#include "TesselSignal.h"

#include "SessionInfo.h"

#include "lib/mfw/common/util/ErrorText.h"
#include "lib/mfw/common/log/SysMessage.h"
#include "platform/Platform.h"
#include "platform/UniqueResource.h"

#include <string>

using namespace CORE;

namespace {

const wchar_t kFn[] = L"SignalTesselEvent";
const wchar_t kNamespace[] = L"dravikndmg";

// A boundary holding the local system SID, as the agent's namespace was created with;
// null on failure (logged).
HANDLE CreateBoundary(const platform::PrivateNamespaceApi& api, const wchar_t* name) {
    if (!api.createBoundaryDescriptor || !api.addSidToBoundaryDescriptor || !api.deleteBoundaryDescriptor) {
        LogMessage(LOG_DEBUG, L"%s: XP or earlier agent, so not creating boundary descriptor.", kFn);
        ::SetLastError(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    BYTE sid[12] = {};  // S-1-5-18 needs exactly 12 bytes
    DWORD sidSize = sizeof(sid);
    if (!::CreateWellKnownSid(WinLocalSystemSid, nullptr, sid, &sidSize)) {
        DWORD error = ::GetLastError();
        LogMessage(LOG_ERROR, L"%s: Failed to create well-known SID %u (%s).", kFn,
                   static_cast<unsigned>(WinLocalSystemSid), SystemErrorText(error).c_str());
        ::SetLastError(error);
        return nullptr;
    }
    HANDLE boundary = api.createBoundaryDescriptor(name, 0);
    if (!boundary) {
        DWORD error = ::GetLastError();
        LogMessage(LOG_ERROR, L"%s: Failed to create boundary %s for private namespace (%s).", kFn, name,
                   SystemErrorText(error).c_str());
        ::SetLastError(error);
        return nullptr;
    }
    if (!api.addSidToBoundaryDescriptor(&boundary, sid)) {
        DWORD error = ::GetLastError();
        LogMessage(LOG_ERROR, L"%s: Failed to initialize boundary for private namespace (%s).", kFn,
                   SystemErrorText(error).c_str());
        api.deleteBoundaryDescriptor(boundary);
        ::SetLastError(error);
        return nullptr;
    }
    return boundary;
}

// Opens the agent's private namespace into *ns; false when signalling cannot go on. A namespace
// this process already opened answers ERROR_DUP_NAME: its names resolve, so that is no failure.
bool OpenNamespace(const platform::PrivateNamespaceApi& api, HANDLE* ns) {
    DWORD error = ERROR_PROC_NOT_FOUND;
    if (!api.openPrivateNamespace || !api.deleteBoundaryDescriptor) {
        LogMessage(LOG_DEBUG, L"%s: XP or earlier agent, so not opening private namespace.", kFn);
    } else if (HANDLE boundary = CreateBoundary(api, kNamespace)) {
        *ns = api.openPrivateNamespace(boundary, kNamespace);
        error = ::GetLastError();
        if (*ns)
            LogMessage(LOG_DEBUG, L"%s: Successfully opened private namespace %s.", kFn, kNamespace);
        else
            LogMessage(LOG_ERROR, L"%s: Failed to open private namespace %s (%s).", kFn, kNamespace,
                       SystemErrorText(error).c_str());
        api.deleteBoundaryDescriptor(boundary);
    } else {
        error = ::GetLastError();
    }
    return *ns || error == ERROR_DUP_NAME;
}

void CloseNamespace(const platform::PrivateNamespaceApi& api, HANDLE ns) {
    if (!api.closePrivateNamespace) {
        LogMessage(LOG_DEBUG, L"%s: XP or earlier agent, so not closing private namespace.", kFn);
    } else if (!api.closePrivateNamespace(ns, 0)) {
        DWORD error = ::GetLastError();
        LogMessage(LOG_DEBUG, L"%s: Failed to close namespace %s: %s.", kFn, kNamespace, SystemErrorText(error).c_str());
    }
}

}  // namespace

bool SignalTesselEvent(const wchar_t* eventName, bool openNamespace, DWORD sessionId) noexcept {
    try {
        if (GetOsLevel() < 5) {
            LogMessage(LOG_DEBUG, L"%s: XP or earlier agent, so not signaling private event.", kFn);
            return false;
        }
        const wchar_t* name = eventName ? eventName : L"";
        LogMessage(LOG_DEBUG, L"%s: Starting process of signaling private event %s.", kFn, name);
        if (sessionId == 0xFFFFFFFF) {
            if (!platform::Get().ProcessIdToSessionId(::GetCurrentProcessId(), &sessionId)) {
                DWORD error = ::GetLastError();
                LogMessage(LOG_ERROR, L"%s: Unable to retrieve current session ID with error 0x%08x.", kFn,
                           static_cast<unsigned>(error));
                return false;
            }
        }

        const platform::PrivateNamespaceApi api = platform::Get().GetPrivateNamespaceApi();
        HANDLE ns = nullptr;
        if (openNamespace && !OpenNamespace(api, &ns)) return false;

        std::wstring fullName = std::wstring(kNamespace) + L"\\" + name + std::to_wstring(sessionId);
        bool signalled = false;
        platform::unique_handle event(api.openEvent ? api.openEvent(EVENT_MODIFY_STATE, FALSE, fullName.c_str())
                                                    : nullptr);
        if (event) {
            LogMessage(LOG_DEBUG, L"%s: Successfully opened event %s. Signaling it now.", kFn, fullName.c_str());
            ::SetEvent(event.get());
            signalled = true;
        } else {
            LogMessage(LOG_DEBUG, L"%s: Failed to open event %s.", kFn, fullName.c_str());
        }

        if (ns) CloseNamespace(api, ns);
        return signalled;
    } catch (...) {
        return false;
    }
}

void SignalNotReadyForTessel(const char* callerFunction) noexcept {
    if (!SignalTesselEvent(L"NotReadyForTessel", true, 0xFFFFFFFF))
        LogMessage(LOG_DEBUG,
                   L"%S : Failed to signal that we are not ready for seamless windows. DRV app session may not be "
                   L"active.",
                   callerFunction ? callerFunction : "");
}
