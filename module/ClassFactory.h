// The class factory for the module's two classes (filter and provider).
#pragma once
#include "base/ComObject.h"

class CClassFactory final : public ComObject<IClassFactory, IID_IClassFactory> {
public:
    explicit CClassFactory(REFCLSID clsid) noexcept : clsid_(clsid) {}

    STDMETHODIMP CreateInstance(IUnknown* pUnkOuter, REFIID riid, void** ppv) override;
    STDMETHODIMP LockServer(BOOL fLock) override;

private:
    ~CClassFactory() = default;

    CLSID clsid_;
};
