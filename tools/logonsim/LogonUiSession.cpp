#include "LogonUiSession.h"

#include "EventsSink.h"

#include "base/Guids.h"

#include <cstdarg>
#include <cwchar>

namespace logonsim {
namespace {

using platform::com_ptr;
using GetClassObjectFn = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, LPVOID*);
using CanUnloadNowFn = HRESULT(STDAPICALLTYPE*)();

// Windows' own password and smart card providers, listed beside ours as LogonUI would.
constexpr GUID kPasswordProvider = {0x60b78e88, 0xead8, 0x445c, {0x9c, 0xfd, 0x0b, 0x87, 0xf7, 0x4e, 0xa6, 0xcd}};
constexpr GUID kSmartCardProvider = {0x8fd7e19c, 0x3bf7, 0x489b, {0xa7, 0x2c, 0x84, 0x6a, 0xb3, 0x67, 0x8c, 0x96}};
constexpr UINT_PTR kAdviseContext = 0x10C0;

// Linux paths from the build tree reach Wine's programs through its Z: drive.
std::wstring WindowsPath(const std::wstring& path) {
    if (path.empty() || path[0] != L'/') return path;
    std::wstring result = L"Z:";
    for (wchar_t c : path) result.push_back(c == L'/' ? L'\\' : c);
    return result;
}

LONGLONG Ticks() {
    LARGE_INTEGER now;
    ::QueryPerformanceCounter(&now);
    return now.QuadPart;
}

double MicrosSince(LONGLONG start) {
    LARGE_INTEGER frequency;
    ::QueryPerformanceFrequency(&frequency);
    return static_cast<double>(Ticks() - start) * 1e6 / static_cast<double>(frequency.QuadPart);
}

class Recorder {
public:
    explicit Recorder(Outcome& outcome) : outcome_(outcome) {}
    Step& Add(std::wstring call, HRESULT hr, std::wstring detail = {}, bool ok = true) {
        outcome_.steps.push_back(Step{std::move(call), hr, std::move(detail), ok});
        return outcome_.steps.back();
    }
    // A call that must succeed.
    bool Expect(std::wstring call, HRESULT hr, std::wstring detail = {}) {
        return Add(std::move(call), hr, std::move(detail), SUCCEEDED(hr)).ok;
    }

private:
    Outcome& outcome_;
};

std::wstring Format(const wchar_t* format, ...) {
    wchar_t buffer[512];
    va_list args;
    va_start(args, format);
    _vsnwprintf(buffer, 511, format, args);
    va_end(args);
    buffer[511] = L'\0';
    return buffer;
}

const wchar_t* ResponseName(CREDENTIAL_PROVIDER_GET_SERIALIZATION_RESPONSE response) {
    switch (response) {
    case CPGSR_NO_CREDENTIAL_NOT_FINISHED: return L"CPGSR_NO_CREDENTIAL_NOT_FINISHED";
    case CPGSR_NO_CREDENTIAL_FINISHED: return L"CPGSR_NO_CREDENTIAL_FINISHED";
    case CPGSR_RETURN_CREDENTIAL_FINISHED: return L"CPGSR_RETURN_CREDENTIAL_FINISHED";
    case CPGSR_RETURN_NO_CREDENTIAL_FINISHED: return L"CPGSR_RETURN_NO_CREDENTIAL_FINISHED";
    default: return L"CPGSR_?";
    }
}

// Compares what LogonUI received with what the run expects; one step per mismatch.
void CheckExpectations(const Expectations& expect, const DecodedSerialization& d, Recorder& record) {
    auto check = [&](const wchar_t* what, const std::wstring& wanted, const std::wstring& got, bool enabled) {
        if (enabled && wanted != got)
            record.Add(Format(L"expected %s", what), E_FAIL, Format(L"wanted \"%s\", got \"%s\"", wanted.c_str(), got.c_str()),
                       false);
    };
    check(L"package", expect.package, d.package, !expect.package.empty());
    check(L"message type", std::to_wstring(expect.messageType), std::to_wstring(d.messageType), expect.messageType >= 0);
    check(L"domain", expect.domain, d.domain, expect.checkDomain);
    check(L"user", expect.user, d.user, !expect.user.empty());
    check(L"local user", expect.localUser, d.localUser, !expect.localUser.empty());
    check(L"container", expect.container, d.csp.container, !expect.container.empty());
    check(L"key storage provider", expect.provider, d.csp.provider, !expect.provider.empty());
    if (!expect.secret.empty()) {
        const DecodedSecret& secret = d.hasCspInfo ? d.pin : d.password;
        if (!(secret.clear == expect.secret))
            record.Add(L"expected secret", E_FAIL,
                       Format(L"the %s carried does not match (%s, %u characters)", d.hasCspInfo ? L"PIN" : L"password",
                              SecretFormName(secret.form), static_cast<unsigned>(secret.clear.size())),
                       false);
    }
}

// LogonUI's part with the tile: select it, take its serialization, report the outcome. When
// LogonUI may wait (--await-change), a tile that is not ready is only asked.
void DriveTile(ICredentialProvider* provider, const Options& options, Outcome& outcome, Recorder& record,
               EventsSink* sink) {
    const bool mayWait = options.awaitChangeMs != 0;
    com_ptr<ICredentialProviderCredential> tile;
    DWORD index = outcome.defaultTile == CREDENTIAL_PROVIDER_NO_DEFAULT ? 0 : outcome.defaultTile;
    if (!record.Expect(Format(L"GetCredentialAt(%u)", index), provider->GetCredentialAt(index, tile.put()))) return;

    LPWSTR label = nullptr;
    if (SUCCEEDED(tile->GetStringValue(0, &label))) {
        record.Add(L"GetStringValue(0)", S_OK, Format(L"\"%s\"", label));
        ::CoTaskMemFree(label);
    }
    BOOL autoLogon = FALSE;
    HRESULT hr = tile->SetSelected(&autoLogon);
    // E_FAIL is the tile's ordinary answer outside an unlock: LogonUI goes on regardless.
    record.Add(L"SetSelected", hr, Format(L"autologon=%s", autoLogon ? L"TRUE" : L"FALSE"),
               SUCCEEDED(hr) || hr == E_FAIL);

    CREDENTIAL_PROVIDER_GET_SERIALIZATION_RESPONSE response = CPGSR_NO_CREDENTIAL_NOT_FINISHED;
    CREDENTIAL_PROVIDER_CREDENTIAL_SERIALIZATION serialization = {};
    LPWSTR text = nullptr;
    CREDENTIAL_PROVIDER_STATUS_ICON icon = CPSI_NONE;
    outcome.changedBeforeSerialization = sink->Changed();
    hr = tile->GetSerialization(&response, &serialization, &text, &icon);
    if (text) ::CoTaskMemFree(text);
    outcome.serialized = SUCCEEDED(hr) && response == CPGSR_RETURN_CREDENTIAL_FINISHED && serialization.rgbSerialization;
    const bool notReady = mayWait && SUCCEEDED(hr) && !serialization.rgbSerialization &&
                          (response == CPGSR_NO_CREDENTIAL_NOT_FINISHED || response == CPGSR_NO_CREDENTIAL_FINISHED);
    record.Add(L"GetSerialization", hr,
               Format(L"%s, package %u, %u bytes%s", ResponseName(response), serialization.ulAuthenticationPackage,
                      serialization.cbSerialization, notReady ? L" (not ready: LogonUI waits)" : L""),
               outcome.serialized || notReady);
    if (outcome.serialized) {
        outcome.decoded = DecodeSerialization(serialization.ulAuthenticationPackage, serialization.rgbSerialization,
                                              serialization.cbSerialization);
        record.Add(L"decoded serialization", outcome.decoded.ok ? S_OK : E_FAIL,
                   outcome.decoded.ok ? Describe(outcome.decoded) : outcome.decoded.error, outcome.decoded.ok);
        if (!IsEqualCLSID(serialization.clsidCredentialProvider, CLSID_credprovider))
            record.Add(L"clsidCredentialProvider", E_FAIL, L"not the provider's CLSID", false);
        CheckExpectations(options.expect, outcome.decoded, record);
    }
    if (serialization.rgbSerialization) {
        ::SecureZeroMemory(serialization.rgbSerialization, serialization.cbSerialization);
        ::CoTaskMemFree(serialization.rgbSerialization);
    }
    if (notReady) return;  // no logon was tried: nothing to report

    LPWSTR status = nullptr;
    CREDENTIAL_PROVIDER_STATUS_ICON statusIcon = CPSI_NONE;
    hr = tile->ReportResult(options.reportStatus, options.reportSubstatus, &status, &statusIcon);
    outcome.statusText = status ? status : L"";
    outcome.statusIcon = statusIcon;
    if (status) ::CoTaskMemFree(status);
    record.Expect(Format(L"ReportResult(0x%08X, 0x%08X)", static_cast<unsigned>(options.reportStatus),
                         static_cast<unsigned>(options.reportSubstatus)),
                  hr, Format(L"status text \"%s\", icon %d", outcome.statusText.c_str(), static_cast<int>(statusIcon)));
}

void EnumerateAndDrive(ICredentialProvider* provider, const Options& options, Outcome& outcome, Recorder& record,
                       EventsSink* sink) {
    const bool mayWait = options.awaitChangeMs != 0;
    HRESULT hr = provider->GetCredentialCount(&outcome.tileCount, &outcome.defaultTile, &outcome.autoLogon);
    std::wstring defaultText = outcome.defaultTile == CREDENTIAL_PROVIDER_NO_DEFAULT
                                   ? std::wstring(L"none")
                                   : std::to_wstring(outcome.defaultTile);
    const int expectTiles = options.expect.tiles;
    // When LogonUI may enumerate again, only the last count is held to the expectation.
    bool countOk = SUCCEEDED(hr) && (expectTiles < 0 || mayWait || outcome.tileCount == DWORD(expectTiles));
    record.Add(L"GetCredentialCount", hr,
               Format(L"tiles=%u default=%s autologon=%s%s", outcome.tileCount, defaultText.c_str(),
                      outcome.autoLogon ? L"TRUE" : L"FALSE",
                      countOk ? L"" : Format(L" (expected %d tiles)", expectTiles).c_str()),
               countOk);
    if (SUCCEEDED(hr) && outcome.tileCount > 0) DriveTile(provider, options, outcome, record, sink);
}

void DriveProvider(ICredentialProvider* provider, const Options& options, Outcome& outcome, Recorder& record) {
    if (!record.Expect(Format(L"SetUsageScenario(%s)", ScenarioName(options.scenario)),
                       provider->SetUsageScenario(options.scenario, 0)))
        return;

    auto* sink = new EventsSink();
    HRESULT hr = provider->Advise(sink, kAdviseContext);
    record.Expect(L"Advise", hr, Format(L"CredentialsChanged so far: %d", sink->Changed()));

    DWORD fieldCount = 0;
    hr = provider->GetFieldDescriptorCount(&fieldCount);
    if (record.Expect(L"GetFieldDescriptorCount", hr, Format(L"%u fields", fieldCount))) {
        for (DWORD i = 0; i < fieldCount; ++i) {
            CREDENTIAL_PROVIDER_FIELD_DESCRIPTOR* descriptor = nullptr;
            hr = provider->GetFieldDescriptorAt(i, &descriptor);
            if (!record.Expect(Format(L"GetFieldDescriptorAt(%u)", i), hr) || !descriptor) continue;
            Field field{descriptor->dwFieldID, descriptor->cpft, descriptor->pszLabel ? descriptor->pszLabel : L""};
            outcome.steps.back().detail = Format(L"%s \"%s\"", FieldTypeName(field.type), field.label.c_str());
            outcome.fields.push_back(field);
            ::CoTaskMemFree(descriptor->pszLabel);
            ::CoTaskMemFree(descriptor);
        }
    }

    // A tile not ready yet says so with CredentialsChanged; LogonUI then enumerates again.
    EnumerateAndDrive(provider, options, outcome, record, sink);
    const ULONGLONG deadline = ::GetTickCount64() + options.awaitChangeMs;
    while (options.awaitChangeMs && outcome.tileCount > 0 && !outcome.serialized) {
        const ULONGLONG now = ::GetTickCount64();
        const DWORD left = now < deadline ? static_cast<DWORD>(deadline - now) : 0;
        const bool changed = left && sink->WaitForMoreThan(outcome.changedBeforeSerialization, left);
        record.Add(L"wait for CredentialsChanged", S_OK,
                   changed ? std::wstring(L"came: enumerating again") : Format(L"none in %u ms", options.awaitChangeMs));
        if (!changed) break;
        EnumerateAndDrive(provider, options, outcome, record, sink);
    }
    if (options.awaitChangeMs && options.expect.tiles >= 0 && outcome.tileCount != DWORD(options.expect.tiles))
        record.Add(L"expected tiles", E_FAIL, Format(L"wanted %d, the last enumeration gave %u", options.expect.tiles,
                                                     outcome.tileCount), false);

    record.Expect(L"UnAdvise", provider->UnAdvise());
    outcome.credentialsChanged = sink->Changed();
    sink->Release();
}

}  // namespace

std::vector<BYTE> PackRemoteCredential(const RemoteCredential& remote) {
    std::vector<BYTE> bytes(56, 0);
    bytes[0] = 2;  // KerbInteractiveLogon
    const std::wstring* texts[] = {&remote.domain, &remote.user, &remote.ticket};
    for (int i = 0; i < 3; ++i) {
        const size_t field = 8 + 16 * i;
        const size_t length = texts[i]->size() * 2;
        const ULONGLONG offset = length ? bytes.size() : 0;
        for (int b = 0; b < 2; ++b) {
            bytes[field + b] = static_cast<BYTE>(length >> (8 * b));
            bytes[field + 2 + b] = static_cast<BYTE>(length >> (8 * b));
        }
        for (int b = 0; b < 8; ++b) bytes[field + 8 + b] = static_cast<BYTE>(offset >> (8 * b));
        for (wchar_t c : *texts[i]) {
            bytes.push_back(static_cast<BYTE>(c & 0xFF));
            bytes.push_back(static_cast<BYTE>(c >> 8));
        }
    }
    return bytes;
}

LoadedDll::LoadedDll(const std::wstring& path) : path_(WindowsPath(path)), module_(::LoadLibraryW(path_.c_str())) {
    loadError_ = module_ ? S_OK : HRESULT_FROM_WIN32(::GetLastError());
    if (!module_) return;
    getClassObject_ = ::GetProcAddress(module_.get(), "DllGetClassObject");
    canUnloadNow_ = ::GetProcAddress(module_.get(), "DllCanUnloadNow");
}

// One logon as LogonUI runs it against a DLL it keeps loaded: new class objects and instances,
// everything released at the end, and DllCanUnloadNow asked.
Outcome LoadedDll::Logon(const Options& options) const {
    Outcome outcome;
    Recorder record(outcome);
    record.Add(L"LoadLibrary(" + path_ + L")", loadError_, L"", SUCCEEDED(loadError_));
    if (FAILED(loadError_)) return outcome;
    if (!getClassObject_ || !canUnloadNow_) {
        record.Add(L"GetProcAddress(DllGetClassObject, DllCanUnloadNow)", E_NOINTERFACE, L"missing export", false);
        return outcome;
    }
    auto getClassObject = reinterpret_cast<GetClassObjectFn>(reinterpret_cast<void*>(getClassObject_));
    auto canUnloadNow = reinterpret_cast<CanUnloadNowFn>(reinterpret_cast<void*>(canUnloadNow_));

    const LONGLONG logonStart = Ticks();
    {
        com_ptr<IClassFactory> filterFactory;
        com_ptr<IClassFactory> providerFactory;
        com_ptr<ICredentialProviderFilter> filter;
        com_ptr<ICredentialProvider> provider;
        if (record.Expect(L"DllGetClassObject(credfilter)",
                          getClassObject(CLSID_credfilter, IID_IClassFactory, filterFactory.put_void())) &&
            record.Expect(L"DllGetClassObject(credprovider)",
                          getClassObject(CLSID_credprovider, IID_IClassFactory, providerFactory.put_void())) &&
            record.Expect(L"CreateInstance(credfilter)",
                          filterFactory->CreateInstance(nullptr, IID_ICredentialProviderFilter, filter.put_void()))) {
            if (options.remote.present) {
                // LogonUI hands the client's credential to the filter before it filters.
                std::vector<BYTE> packed = PackRemoteCredential(options.remote);
                CREDENTIAL_PROVIDER_CREDENTIAL_SERIALIZATION in = {0, CLSID_credprovider,
                                                                    static_cast<ULONG>(packed.size()), packed.data()};
                CREDENTIAL_PROVIDER_CREDENTIAL_SERIALIZATION out = {};
                const LONGLONG remoteStart = Ticks();
                outcome.remoteResult = filter->UpdateRemoteCredential(&in, &out);
                outcome.remoteMicros = MicrosSince(remoteStart);
                outcome.refused = outcome.remoteResult == E_FAIL;
                const bool expected = options.expectRefusal ? outcome.refused : SUCCEEDED(outcome.remoteResult) ||
                                                                                    outcome.remoteResult == E_NOTIMPL;
                const std::wstring who = options.remote.user.empty() && options.remote.domain.empty()
                                             ? std::wstring(L"no user")
                                             : options.remote.domain + L"\\" + options.remote.user;
                record.Add(Format(L"UpdateRemoteCredential(%s, ticket of %u characters)", who.c_str(),
                                  static_cast<unsigned>(options.remote.ticket.size())),
                           outcome.remoteResult,
                           outcome.refused ? L"connection refused" : (out.rgbSerialization ? L"credential kept for LogonUI"
                                                                                           : L"ticket consumed"),
                           expected);
                if (out.rgbSerialization) {
                    ::SecureZeroMemory(out.rgbSerialization, out.cbSerialization);
                    ::CoTaskMemFree(out.rgbSerialization);
                }
                ::SecureZeroMemory(packed.data(), packed.size());
            } else if (options.expectRefusal) {
                record.Add(L"expected a refusal", E_FAIL, L"no remote credential was passed", false);
            }
            // After a refusal LogonUI ends the session: no provider is asked.
            if (!outcome.refused) {
                GUID providers[] = {kPasswordProvider, CLSID_credprovider, kSmartCardProvider};
                BOOL allow[] = {TRUE, TRUE, TRUE};
                HRESULT hr = filter->Filter(options.scenario, 0, providers, allow, 3);
                outcome.providerAllowed = allow[1] != FALSE;
                record.Expect(Format(L"Filter(%s, 3 providers)", ScenarioName(options.scenario)), hr,
                              Format(L"password %s, ours %s, smart card %s", allow[0] ? L"allowed" : L"excluded",
                                     allow[1] ? L"allowed" : L"excluded", allow[2] ? L"allowed" : L"excluded"));
                if (outcome.providerAllowed &&
                    record.Expect(L"CreateInstance(credprovider)",
                                  providerFactory->CreateInstance(nullptr, IID_ICredentialProvider, provider.put_void())))
                    DriveProvider(provider.get(), options, outcome, record);
            }
        }
    }

    outcome.logonMicros = MicrosSince(logonStart);

    const Expectations& expect = options.expect;
    const bool wantsSerialization = !expect.package.empty() || expect.messageType >= 0 || !expect.user.empty() ||
                                    !expect.secret.empty() || expect.checkDomain;
    if (wantsSerialization && !outcome.serialized)
        record.Add(L"expected a serialization", E_FAIL, L"LogonUI received none", false);

    HRESULT unload = canUnloadNow();
    outcome.unloaded = unload == S_OK;
    record.Add(L"DllCanUnloadNow", unload, outcome.unloaded ? L"every object released" : L"objects still alive",
               outcome.unloaded);

    outcome.ok = true;
    for (const auto& step : outcome.steps) outcome.ok = outcome.ok && step.ok;
    return outcome;
}

std::wstring HResultText(HRESULT hr) {
    switch (hr) {
    case S_OK: return L"S_OK";
    case S_FALSE: return L"S_FALSE";
    case E_INVALIDARG: return L"E_INVALIDARG";
    case E_NOTIMPL: return L"E_NOTIMPL";
    case E_FAIL: return L"E_FAIL";
    case E_NOINTERFACE: return L"E_NOINTERFACE";
    case E_OUTOFMEMORY: return L"E_OUTOFMEMORY";
    case CLASS_E_CLASSNOTAVAILABLE: return L"CLASS_E_CLASSNOTAVAILABLE";
    default: return Format(L"0x%08X", static_cast<unsigned>(hr));
    }
}

const wchar_t* ScenarioName(CREDENTIAL_PROVIDER_USAGE_SCENARIO scenario) {
    switch (scenario) {
    case CPUS_LOGON: return L"CPUS_LOGON";
    case CPUS_UNLOCK_WORKSTATION: return L"CPUS_UNLOCK_WORKSTATION";
    case CPUS_CHANGE_PASSWORD: return L"CPUS_CHANGE_PASSWORD";
    case CPUS_CREDUI: return L"CPUS_CREDUI";
    case CPUS_PLAP: return L"CPUS_PLAP";
    default: return L"CPUS_INVALID";
    }
}

const wchar_t* FieldTypeName(CREDENTIAL_PROVIDER_FIELD_TYPE type) {
    static const wchar_t* const names[] = {L"CPFT_INVALID",       L"CPFT_LARGE_TEXT",    L"CPFT_SMALL_TEXT",
                                           L"CPFT_COMMAND_LINK",  L"CPFT_EDIT_TEXT",     L"CPFT_PASSWORD_TEXT",
                                           L"CPFT_TILE_IMAGE",    L"CPFT_CHECKBOX",      L"CPFT_COMBOBOX",
                                           L"CPFT_SUBMIT_BUTTON"};
    return type >= 0 && type <= CPFT_SUBMIT_BUTTON ? names[type] : L"CPFT_?";
}

}  // namespace logonsim
