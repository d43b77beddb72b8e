// The two exports of the COM in-process server.
#include "ClassFactory.h"
#include "ModuleEntry.h"

#include "base/Guids.h"
#include "base/ModuleRef.h"
#include "lib/mfw/common/util/ErrorText.h"
#include "lib/mfw/common/util/coreException.h"
#include "lib/mfw/common/log/SysMessage.h"

#include <new>

using namespace CORE;

STDAPI DllGetClassObject(REFCLSID rclsid, REFIID riid, LPVOID* ppv) {
    try {
        std::wstring detail = L"rclsid=" + GuidToString(rclsid) + L", riid=" + GuidToString(riid);
        SysMsgUtl::FunctionTraceWithSessionId trace("CClassFactory_CreateInstance", detail.c_str());
        if (!IsEqualCLSID(rclsid, CLSID_credfilter) && !IsEqualCLSID(rclsid, CLSID_credprovider))
            return CLASS_E_CLASSNOTAVAILABLE;
        StartModuleWork();
        return CreateComObject<CClassFactory>(riid, ppv, [](CClassFactory&) {}, rclsid);
    } catch (...) {
        return ResultFromCaughtException();
    }
}

STDAPI DllCanUnloadNow() {
    LONG count = DllRefCount();
    LogMessage(LOG_TRACE, L"DllCanUnloadNow(): refcount=%u", static_cast<unsigned>(count));
    if (count > 0) return S_FALSE;
    TeardownModuleObjects();
    return S_OK;
}
