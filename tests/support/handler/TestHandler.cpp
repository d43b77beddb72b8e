// A credential handler DLL for tests: four classes with fixed behaviours, and an export that
// tells the test which calls arrived in which order.
//   {7E57A001-0000-4000-8000-000000000001} "a": replaces the serialization, sets the status text
//   {7E57A001-0000-4000-8000-000000000002} "b": does nothing (E_NOTIMPL)
//   {7E57A001-0000-4000-8000-000000000003} "c": refuses (S_FALSE from UpdateSerialization, E_FAIL from ReportResult)
//   {7E57A001-0000-4000-8000-000000000004} "d": answers S_OK with the buffer it was given
// It also stands in for the system's remote logon filter {F614806B-CE60-40CD-990F-E8E07DF79E49},
// which Wine lacks: its UpdateRemoteCredential packs the credential named by the environment
// variable TCFILTR_TEST_RLF ("domain|user|ticket") and fails with E_FAIL when it is unset.
#include "filter/credfilter.h"
#include "base/ComObject.h"
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

class Handler final : public ComObject<ICredentialHandler, IID_ICredentialHandler> {
public:
    explicit Handler(wchar_t kind) : kind_(kind) { ++g_objects; }
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
        wchar_t spec[512];
        DWORD length = ::GetEnvironmentVariableW(L"TCFILTR_TEST_RLF", spec, 512);
        if (length == 0 || length >= 512) return E_FAIL;
        std::wstring parts[3];
        size_t part = 0;
        for (DWORD i = 0; i < length && part < 3; ++i) {
            if (spec[i] == L'|') ++part;
            else parts[part].push_back(spec[i]);
        }
        // Packed KERB_INTERACTIVE_LOGON: 56-byte header, then domain, user, ticket.
        const size_t size = 56 + 2 * (parts[0].size() + parts[1].size() + parts[2].size());
        BYTE* buffer = static_cast<BYTE*>(::CoTaskMemAlloc(size));
        std::memset(buffer, 0, size);
        buffer[0] = 2;
        size_t at = 56;
        for (int i = 0; i < 3; ++i) {
            const size_t field = 8 + 16 * i;
            const USHORT bytes = static_cast<USHORT>(parts[i].size() * 2);
            std::memcpy(buffer + field, &bytes, 2);
            std::memcpy(buffer + field + 2, &bytes, 2);
            const ULONGLONG offset = bytes ? at : 0;
            std::memcpy(buffer + field + 8, &offset, 8);
            std::memcpy(buffer + at, parts[i].data(), bytes);
            at += bytes;
        }
        out->ulAuthenticationPackage = 2;
        out->rgbSerialization = buffer;
        out->cbSerialization = static_cast<ULONG>(size);
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
    for (wchar_t kind = L'a'; kind <= L'd'; ++kind)
        if (IsEqualCLSID(clsid, MakeClsid(static_cast<BYTE>(kind - L'a' + 1))))
            return CreateComObject<Factory>(riid, ppv, [](auto&) {}, kind);
    return CLASS_E_CLASSNOTAVAILABLE;
}

extern "C" __declspec(dllexport) HRESULT STDAPICALLTYPE DllCanUnloadNow() { return g_objects.load() ? S_FALSE : S_OK; }

// The calls so far, "a:UpdateSerialization;b:UpdateSerialization;...", and the live objects.
extern "C" __declspec(dllexport) const wchar_t* TestHandlerLog() { return g_log.c_str(); }
extern "C" __declspec(dllexport) LONG TestHandlerObjects() { return g_objects.load(); }
extern "C" __declspec(dllexport) void TestHandlerReset() { g_log.clear(); }
