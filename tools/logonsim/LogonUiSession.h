// The stand-in LogonUI: loads a credential provider DLL by path and walks it through the calls
// LogonUI makes, recording every result so the caller can print an account and judge it.
#pragma once
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

struct Options {
    std::wstring dllPath;
    CREDENTIAL_PROVIDER_USAGE_SCENARIO scenario = CPUS_LOGON;
    int expectTiles = -1;  // -1: do not check
};

struct Outcome {
    std::vector<Step> steps;
    std::vector<Field> fields;
    DWORD tileCount = 0;
    DWORD defaultTile = CREDENTIAL_PROVIDER_NO_DEFAULT;
    BOOL autoLogon = FALSE;
    bool providerAllowed = false;
    int credentialsChanged = 0;
    bool unloaded = false;
    bool ok = false;  // every step ok and every expectation met
};

// Runs the whole sequence once; never throws.
Outcome Run(const Options& options);

// Text helpers shared with the printer.
std::wstring HResultText(HRESULT hr);
const wchar_t* ScenarioName(CREDENTIAL_PROVIDER_USAGE_SCENARIO scenario);
const wchar_t* FieldTypeName(CREDENTIAL_PROVIDER_FIELD_TYPE type);

}  // namespace logonsim
