// A credential handler DLL for tests: four classes with fixed behaviours, and an export that
// tells the test which calls arrived in which order.
//   {7E57A001-0000-4000-8000-000000000001} "a": replaces the serialization, sets the status text
//   {7E57A001-0000-4000-8000-000000000002} "b": does nothing (E_NOTIMPL)
//   {7E57A001-0000-4000-8000-000000000003} "c": refuses (S_FALSE from UpdateSerialization, E_FAIL from ReportResult)
//   {7E57A001-0000-4000-8000-000000000004} "d": answers S_OK with the buffer it was given
#include "provider/CredentialHandlers.h"

#include <shlwapi.h>

#include <atomic>
#include <cstring>
#include <string>

namespace {

std::wstring g_log;
std::atomic<LONG> g_objects{0};

constexpr GUID MakeClsid(BYTE last) {
    return GUID{0x7e57a001, 0x0000, 0x4000, {0x80, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, last}};
}

class Handler final : public ICredentialHandler {
public:
    explicit Handler(wchar_t kind) : kind_(kind) { ++g_objects; }
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv) return E_INVALIDARG;
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_ICredentialHandler)) {
            *ppv = static_cast<ICredentialHandler*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++refs_; }
    STDMETHODIMP_(ULONG) Release() override {
        ULONG count = --refs_;
        if (count == 0) delete this;
        return count;
    }
    STDMETHODIMP ReportResult(LONG, LONG, LPWSTR* text, CREDENTIAL_PROVIDER_STATUS_ICON* icon) override {
        g_log += std::wstring(1, kind_) + L":ReportResult;";
        switch (kind_) {
        case L'a':
            ::SHStrDupW(L"handler a was here", text);
            *icon = CPSI_WARNING;
            return S_OK;
        case L'c': return E_FAIL;
        default: return E_NOTIMPL;
        }
    }
    STDMETHODIMP UpdateSerialization(const CREDENTIAL_PROVIDER_CREDENTIAL_SERIALIZATION* in,
                                     CREDENTIAL_PROVIDER_CREDENTIAL_SERIALIZATION* out) override {
        g_log += std::wstring(1, kind_) + L":UpdateSerialization;";
        switch (kind_) {
        case L'a': {
            static const char replacement[] = "REPLACED";
            out->rgbSerialization = static_cast<byte*>(::CoTaskMemAlloc(8));
            std::memcpy(out->rgbSerialization, replacement, 8);
            out->cbSerialization = 8;
            out->ulAuthenticationPackage = in->ulAuthenticationPackage + 100;
            return S_OK;
        }
        case L'c': return S_FALSE;
        case L'd': return S_OK;
        default: return E_NOTIMPL;
        }
    }

private:
    ~Handler() { --g_objects; }
    std::atomic<ULONG> refs_{1};
    wchar_t kind_;
};

class Factory final : public IClassFactory {
public:
    explicit Factory(wchar_t kind) : kind_(kind) {}
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv) return E_INVALIDARG;
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IClassFactory)) {
            *ppv = static_cast<IClassFactory*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++refs_; }
    STDMETHODIMP_(ULONG) Release() override {
        ULONG count = --refs_;
        if (count == 0) delete this;
        return count;
    }
    STDMETHODIMP CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override {
        if (outer) return CLASS_E_NOAGGREGATION;
        auto* handler = new Handler(kind_);
        HRESULT hr = handler->QueryInterface(riid, ppv);
        handler->Release();
        return hr;
    }
    STDMETHODIMP LockServer(BOOL) override { return S_OK; }

private:
    std::atomic<ULONG> refs_{1};
    wchar_t kind_;
};

}  // namespace

extern "C" __declspec(dllexport) HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID clsid, REFIID riid, void** ppv) {
    for (wchar_t kind = L'a'; kind <= L'd'; ++kind) {
        if (IsEqualCLSID(clsid, MakeClsid(static_cast<BYTE>(kind - L'a' + 1)))) {
            auto* factory = new Factory(kind);
            HRESULT hr = factory->QueryInterface(riid, ppv);
            factory->Release();
            return hr;
        }
    }
    return CLASS_E_CLASSNOTAVAILABLE;
}

extern "C" __declspec(dllexport) HRESULT STDAPICALLTYPE DllCanUnloadNow() { return g_objects.load() ? S_FALSE : S_OK; }

// The calls so far, "a:UpdateSerialization;b:UpdateSerialization;...", and the live objects.
extern "C" __declspec(dllexport) const wchar_t* TestHandlerLog() { return g_log.c_str(); }
extern "C" __declspec(dllexport) LONG TestHandlerObjects() { return g_objects.load(); }
extern "C" __declspec(dllexport) void TestHandlerReset() { g_log.clear(); }
