#include "ClassFactory.h"

#include "base/Guids.h"
#include "base/ModuleRef.h"
#include "filter/credfilter.h"
#include "lib/mfw/common/util/ErrorText.h"
#include "lib/mfw/common/util/coreException.h"
#include "lib/mfw/common/log/SysMessage.h"
#include "provider/credprovider.h"

using namespace CORE;
using SysMsgUtl::FunctionTraceWithSessionId;

STDMETHODIMP CClassFactory::CreateInstance(IUnknown* pUnkOuter, REFIID riid, void** ppv) {
    FunctionTraceWithSessionId trace("CClassFactory::CreateInstance");
    if (!ppv) return E_INVALIDARG;
    *ppv = nullptr;
    if (pUnkOuter) return CLASS_E_NOAGGREGATION;
    try {
        if (IsEqualCLSID(clsid_, CLSID_credfilter)) {
            LogMessage(LOG_TRACE, L"CClassFactory::CreateInstance(): Creating cred filter");
            return credfilter_CreateInstance(riid, ppv);
        }
        if (IsEqualCLSID(clsid_, CLSID_credprovider)) {
            LogMessage(LOG_TRACE, L"CClassFactory::CreateInstance(): Creating cred provider");
            return credprovider_CreateInstance(riid, ppv);
        }
        LogMessage(LOG_TRACE, L"CClassFactory::CreateInstance(): Unknown clsid: %s", GuidToString(clsid_).c_str());
        return E_INVALIDARG;
    } catch (...) {
        return ResultFromCaughtException();
    }
}

STDMETHODIMP CClassFactory::LockServer(BOOL fLock) {
    if (fLock)
        DllAddRef();
    else
        DllRelease();
    return S_OK;
}
