// What the module benchmarks share: the module's classes made through its own class factory,
// and the agent's credential request timed alone from this process.
#pragma once
#include "BenchSupport.h"

#include "lib/mfw/common/MessageFrameWork.h"
#include "platform/UniqueResource.h"
#include "platform/sdk/CredProv.h"

namespace bench {

using GetClassObjectFn = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, LPVOID*);

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
