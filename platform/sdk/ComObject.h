// IUnknown for the stand-ins' and tests' COM objects that expose one interface: created with
// one reference by `new`, deleted by their last Release.
#pragma once
#include <windows.h>
#include <unknwn.h>

#include <atomic>

template <class Interface, const IID& kInterfaceId>
class ComObject : public Interface {
public:
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv) return E_INVALIDARG;
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, kInterfaceId)) {
            *ppv = static_cast<Interface*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++refs_; }
    STDMETHODIMP_(ULONG) Release() override {
        const ULONG count = --refs_;
        if (count == 0) delete this;
        return count;
    }

protected:
    ComObject() = default;
    virtual ~ComObject() = default;

private:
    std::atomic<ULONG> refs_{1};
};
