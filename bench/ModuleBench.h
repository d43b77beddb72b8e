// What the module benchmarks share: the simulated session the simulation build reads, the
// module's classes made through its own class factory, and the agent's credential request timed
// alone from this process.
#pragma once
#include "BenchSupport.h"

#include "lib/mfw/common/MessageFrameWork.h"
#include "lib/mfw/common/threads/coretimer.h"
#include "platform/UniqueResource.h"
#include "platform/sdk/CredProv.h"

#include <string>

namespace bench {

using GetClassObjectFn = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, LPVOID*);

// HKLM\Software\TcfiltrSim\<instance> for this process and the programs it starts: node
// manager `instance`, RDP session `sessionId`. Removed again when the object goes.
class SimSession {
public:
    SimSession(const std::wstring& instance, DWORD sessionId) : key_(L"Software\\TcfiltrSim\\" + instance) {
        SetText(L"NodeManagerInstance", instance);
        SetDword(L"SessionId", sessionId), SetDword(L"ClientProtocol", 2);
        ::SetEnvironmentVariableW(L"TCFILTR_SIM_KEY", key_.c_str());
    }
    ~SimSession() {
        ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, key_.c_str());
        ::RegDeleteKeyW(HKEY_LOCAL_MACHINE, key_.c_str());
    }
    SimSession(const SimSession&) = delete;
    SimSession& operator=(const SimSession&) = delete;

    void SetDword(const wchar_t* name, DWORD value) {
        ::RegSetKeyValueW(HKEY_LOCAL_MACHINE, key_.c_str(), name, REG_DWORD, &value, sizeof(value));
    }
    void SetText(const wchar_t* name, const std::wstring& value) {
        ::RegSetKeyValueW(HKEY_LOCAL_MACHINE, key_.c_str(), name, REG_SZ, value.c_str(),
                          static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
    }

private:
    std::wstring key_;
};

// The simulation build's class object entry; null when it does not load.
inline GetClassObjectFn LoadSimModule() {
    HMODULE module = ::LoadLibraryW(L"tcfiltr_sim.dll");
    return module ? reinterpret_cast<GetClassObjectFn>(reinterpret_cast<void*>(::GetProcAddress(module, "DllGetClassObject")))
                  : nullptr;
}

// This process's framework client, before the fake platform under it goes.
inline void ShutdownFramework() {
    CORE::MessageFrameWork::GetFrameWork()->Shutdown();
    CORE::ShutdownTimerService();
}

template <typename T>
platform::com_ptr<T> Create(GetClassObjectFn getClassObject, REFCLSID clsid, REFIID iid) {
    platform::com_ptr<IClassFactory> factory;
    platform::com_ptr<T> object;
    if (SUCCEEDED(getClassObject(clsid, IID_IClassFactory, factory.put_void())))
        factory->CreateInstance(nullptr, iid, object.put_void());
    return object;
}

// Connect, "GetCredentialsForTicket" for `ticket`, close.
inline bool AgentRequest(const wchar_t* ticket, double* micros) {
    CORE::PropertyBag request, response;
    request.Set(L"ticket", ticket);
    const double start = NowMicros();
    CORE::MessageFrameWork* framework = CORE::MessageFrameWork::GetFrameWork();
    CORE::MessageChannel* channel = framework->ConnectChannel(CORE::MessageFrameWork::CHANNEL_LOCAL_SHAREDMEM);
    if (!channel) return false;
    DWORD result = framework->SendMsg(L"DesktopManager", L"GetCredentialsForTicket", request, response, channel, 30000);
    framework->CloseChannel(channel);
    *micros = NowMicros() - start;
    return result == 0;
}

}  // namespace bench
