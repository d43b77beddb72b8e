// A credential handler DLL for tests: four classes with fixed behaviours, and an export that
// tells the test which calls arrived in which order.
//   {7E57A001-0000-4000-8000-000000000001} "a": replaces the serialization, sets the status text
//   {7E57A001-0000-4000-8000-000000000002} "b": does nothing (E_NOTIMPL)
//   {7E57A001-0000-4000-8000-000000000003} "c": refuses (S_FALSE from UpdateSerialization, after handing out a
//       replacement of 4099 'C' bytes the caller must wipe and free; E_FAIL from ReportResult)
//   {7E57A001-0000-4000-8000-000000000004} "d": answers S_OK with the buffer it was given
// It also stands in for the system's remote logon filter {F614806B-CE60-40CD-990F-E8E07DF79E49},
// which Wine lacks: its UpdateRemoteCredential packs the credential named by the environment
// variable TCFILTR_TEST_RLF ("domain|user|ticket") and fails with E_FAIL when it is unset.
#include "filter/credfilter.h"
#include "base/ComObject.h"
#include "provider/CredentialHandlers.h"
#include "tools/logonsim/LogonUiSession.h"

#include <shlwapi.h>

#include <atomic>
#include <cstring>
#include <string>

namespace {

std::wstring g_log;
std::atomic<LONG> g_objects{0};

void Hand(const std::vector<BYTE>& bytes, ULONG package, CREDENTIAL_PROVIDER_CREDENTIAL_SERIALIZATION* out) {
    out->rgbSerialization = static_cast<byte*>(::CoTaskMemAlloc(bytes.size()));
    std::memcpy(out->rgbSerialization, bytes.data(), bytes.size());
    out->cbSerialization = static_cast<ULONG>(bytes.size());
    out->ulAuthenticationPackage = package;
}

class Handler final : public ComObject<ICredentialHandler, IID_ICredentialHandler> {
public:
    explicit Handler(wchar_t kind) : kind_(kind) { ++g_objects; }
    STDMETHODIMP ReportResult(LONG, LONG, LPWSTR* text, CREDENTIAL_PROVIDER_STATUS_ICON* icon) override {
        g_log += std::wstring(1, kind_) + L":ReportResult;";
        if (kind_ == L'c') return E_FAIL;
        if (kind_ != L'a') return E_NOTIMPL;
        *icon = CPSI_WARNING;
        return ::SHStrDupW(L"handler a was here", text);
    }
    STDMETHODIMP UpdateSerialization(const CREDENTIAL_PROVIDER_CREDENTIAL_SERIALIZATION* in,
                                     CREDENTIAL_PROVIDER_CREDENTIAL_SERIALIZATION* out) override {
        g_log += std::wstring(1, kind_) + L":UpdateSerialization;";
        if (kind_ == L'a') Hand({'R', 'E', 'P', 'L', 'A', 'C', 'E', 'D'}, in->ulAuthenticationPackage + 100, out);
        if (kind_ == L'c') Hand(std::vector<BYTE>(4099, 'C'), 0, out);
        return kind_ == L'a' || kind_ == L'd' ? S_OK : kind_ == L'c' ? S_FALSE : E_NOTIMPL;
    }

private:
    ~Handler() override { --g_objects; }
    wchar_t kind_;
};

class FakeRemoteLogonFilter final : public ComObject<ICredentialProviderFilter, IID_ICredentialProviderFilter> {
public:
    FakeRemoteLogonFilter() { ++g_objects; }
    STDMETHODIMP Filter(CREDENTIAL_PROVIDER_USAGE_SCENARIO, DWORD, GUID*, BOOL*, DWORD) override { return S_OK; }
    STDMETHODIMP UpdateRemoteCredential(const CREDENTIAL_PROVIDER_CREDENTIAL_SERIALIZATION*,
                                        CREDENTIAL_PROVIDER_CREDENTIAL_SERIALIZATION* out) override {
        g_log += L"rlf:UpdateRemoteCredential;";
        wchar_t text[512];
        DWORD length = ::GetEnvironmentVariableW(L"TCFILTR_TEST_RLF", text, 512);
        if (length == 0 || length >= 512) return E_FAIL;
        logonsim::RemoteCredential remote;
        std::wstring* parts[] = {&remote.domain, &remote.user, &remote.ticket};
        size_t part = 0;
        for (DWORD i = 0; i < length && part < 3; ++i) {
            if (text[i] == L'|') ++part;
            else parts[part]->push_back(text[i]);
        }
        Hand(logonsim::PackRemoteCredential(remote), 2, out);
        return S_OK;
    }

private:
    ~FakeRemoteLogonFilter() override { --g_objects; }
};

class Factory final : public ComObject<IClassFactory, IID_IClassFactory> {
public:
    explicit Factory(wchar_t kind) : kind_(kind) {}
    STDMETHODIMP CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override {
        if (outer) return CLASS_E_NOAGGREGATION;
        if (kind_ == L'r') return CreateComObject<FakeRemoteLogonFilter>(riid, ppv, [](auto&) {});
        return CreateComObject<Handler>(riid, ppv, [](auto&) {}, kind_);
    }
    STDMETHODIMP LockServer(BOOL) override { return S_OK; }

private:
    wchar_t kind_;
};

}  // namespace

extern "C" __declspec(dllexport) HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID clsid, REFIID riid, void** ppv) {
    if (IsEqualCLSID(clsid, CLSID_RemoteLogonFilter)) return CreateComObject<Factory>(riid, ppv, [](auto&) {}, L'r');
    for (BYTE kind = 1; kind <= 4; ++kind) {
        const GUID handler{0x7e57a001, 0x0000, 0x4000, {0x80, 0, 0, 0, 0, 0, 0, kind}};
        if (IsEqualCLSID(clsid, handler))
            return CreateComObject<Factory>(riid, ppv, [](auto&) {}, static_cast<wchar_t>(L'a' + kind - 1));
    }
    return CLASS_E_CLASSNOTAVAILABLE;
}

extern "C" __declspec(dllexport) HRESULT STDAPICALLTYPE DllCanUnloadNow() { return g_objects.load() ? S_FALSE : S_OK; }

// The calls so far, "a:UpdateSerialization;b:UpdateSerialization;...", and the live objects.
extern "C" __declspec(dllexport) const wchar_t* TestHandlerLog() { return g_log.c_str(); }
extern "C" __declspec(dllexport) LONG TestHandlerObjects() { return g_objects.load(); }
extern "C" __declspec(dllexport) void TestHandlerReset() { g_log.clear(); }
