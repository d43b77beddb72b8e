// The class factory for the module's two classes (filter and provider).
#pragma once
#include <windows.h>
#include <unknwn.h>

#include <atomic>

class CClassFactory final : public IClassFactory {
public:
    explicit CClassFactory(REFCLSID clsid) noexcept : clsid_(clsid) {}

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;
    STDMETHODIMP CreateInstance(IUnknown* pUnkOuter, REFIID riid, void** ppv) override;
    STDMETHODIMP LockServer(BOOL fLock) override;

private:
    ~CClassFactory() = default;

    std::atomic<ULONG> refs_{1};
    CLSID clsid_;
};
