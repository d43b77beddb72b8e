// The stand-in LogonUI: loads a credential provider DLL by path and walks it through the calls
// LogonUI makes, recording every result so the caller can print an account and judge it.
#pragma once
#include "SerializationDecoder.h"

#include "platform/UniqueResource.h"
#include "platform/sdk/CredProv.h"

#include <string>
#include <vector>

namespace logonsim {

struct Step {
    std::wstring call;    // "Filter(CPUS_LOGON, 3 providers)"
    HRESULT hr = S_OK;
    std::wstring detail;  // what came back, readable
    bool ok = true;       // the step went as a LogonUI would accept
};

struct Field {
    DWORD id = 0;
    CREDENTIAL_PROVIDER_FIELD_TYPE type = CPFT_INVALID;
    std::wstring label;
};

// What the run must see for the logon to count as matched; empty/negative means "not checked".
struct Expectations {
    int tiles = -1;
    std::wstring package;  // "Negotiate", "Kerberos", ...
    int messageType = -1;
    std::wstring domain;
    bool checkDomain = false;
    std::wstring user;
    std::wstring secret;  // the password, or the PIN of a certificate logon, in clear text
    std::wstring localUser;  // hybrid frames
    std::wstring container;  // certificate logons
    std::wstring provider;
};

// The credential the remote (RDP) client passed with the connection, as LogonUI hands it to
// the filter: a packed KERB_INTERACTIVE_LOGON whose password field carries the broker's ticket.
struct RemoteCredential {
    bool present = false;
    std::wstring domain;
    std::wstring user;
    std::wstring ticket;
};

struct Options {
    std::wstring dllPath;
    RemoteCredential remote;
    bool expectRefusal = false;  // the filter must refuse the connection (E_FAIL)
    CREDENTIAL_PROVIDER_USAGE_SCENARIO scenario = CPUS_LOGON;
    LONG reportStatus = 0;  // what LogonUI reports after the logon
    LONG reportSubstatus = 0;
    // A tile whose serialization is not ready yet: wait this long for CredentialsChanged, then
    // enumerate and ask once more, as LogonUI does (0: ask once).
    DWORD awaitChangeMs = 0;
    Expectations expect;
};

struct Outcome {
    std::vector<Step> steps;
    std::vector<Field> fields;
    DWORD tileCount = 0;
    DWORD defaultTile = CREDENTIAL_PROVIDER_NO_DEFAULT;
    BOOL autoLogon = FALSE;
    HRESULT remoteResult = S_OK;  // of UpdateRemoteCredential, when a remote credential was passed
    bool refused = false;
    bool providerAllowed = false;
    int credentialsChanged = 0;
    int changedBeforeSerialization = 0;  // CredentialsChanged calls before the last GetSerialization
    // The tile, when one was offered.
    bool serialized = false;
    DecodedSerialization decoded;
    std::wstring statusText;  // from ReportResult
    CREDENTIAL_PROVIDER_STATUS_ICON statusIcon = CPSI_NONE;
    bool unloaded = false;
    bool ok = false;  // every step ok and every expectation met
    double remoteMicros = 0;  // UpdateRemoteCredential alone: the filter's ticket request to the agent
    double logonMicros = 0;   // the filter's instance made to every object released
};

// The packed form of a remote credential (56-byte header, then domain, user, ticket).
std::vector<BYTE> PackRemoteCredential(const RemoteCredential& remote);

// The DLL as LogonUI holds it: loaded once, freed with this object; every Logon makes new
// class objects and instances. Logon never throws.
class LoadedDll {
public:
    explicit LoadedDll(const std::wstring& path);
    LoadedDll(const LoadedDll&) = delete;
    LoadedDll& operator=(const LoadedDll&) = delete;
    Outcome Logon(const Options& options) const;

private:
    std::wstring path_;
    platform::unique_hmodule module_;
    HRESULT loadError_ = S_OK;
    FARPROC getClassObject_ = nullptr;
    FARPROC canUnloadNow_ = nullptr;
};


// Text helpers shared with the printer.
std::wstring HResultText(HRESULT hr);
const wchar_t* ScenarioName(CREDENTIAL_PROVIDER_USAGE_SCENARIO scenario);
const wchar_t* FieldTypeName(CREDENTIAL_PROVIDER_FIELD_TYPE type);

}  // namespace logonsim
