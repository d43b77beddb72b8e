// IUnknown for every COM object that exposes one interface: created with one reference by
// `new`, deleted by its last Release. The module's own classes also hold a ModuleReference.
#pragma once
#include <windows.h>
#include <unknwn.h>

#include <atomic>
#include <new>
#include <utility>

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

// Creates a T, lets `prepare(T&)` finish it, and answers `riid` from it; the creation reference
// is dropped, so a failed query frees the object. *ppv is null on every failure.
template <class T, class Prepare, class... Args>
HRESULT CreateComObject(REFIID riid, void** ppv, Prepare&& prepare, Args&&... args) noexcept {
    if (!ppv) return E_INVALIDARG;
    *ppv = nullptr;
    T* object = new (std::nothrow) T(std::forward<Args>(args)...);
    if (!object) return E_OUTOFMEMORY;
    prepare(*object);
    const HRESULT hr = object->QueryInterface(riid, ppv);
    object->Release();
    return hr;
}
