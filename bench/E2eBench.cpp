// The brokered logon from LogonUI's side: from UpdateRemoteCredential (the client's ticket) to
// the serialization in LogonUI's hands, through the simulation build of the module and a
// stand-in agent that answers at once. Printed: median and p99 over 200 logons, the agent's
// request round trip measured alone in the same run, and the module's own share.
#include "ModuleBench.h"

#include "base/Guids.h"
#include "platform/UniqueResource.h"
#include "platform/sdk/CredProv.h"
#include "support/AgentSimProcess.h"
#include "support/FakePlatform.h"
#include "tools/logonsim/EventsSink.h"
#include "tools/logonsim/LogonUiSession.h"

#include <bcrypt.h>
#include <wincrypt.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

using platform::com_ptr;
using bench::Create;
using bench::GetClassObjectFn;

constexpr int kWarmup = 20;
constexpr int kLogons = 200;

CORE::PropertyBag Scenario() {
    CORE::PropertyBag answer;
    answer.Set(L"userName", L"alice");
    answer.Set(L"domainName", L"CORP");
    answer.Set(L"password", L"Tr0ub4dor&3");
    CORE::PropertyBag entry;
    entry.SetBag(L"answer", answer);
    entry.Set(L"protect", L"password");
    CORE::PropertyBag operations;
    operations.SetBag(L"GetCredentialsForTicket", entry);
    CORE::PropertyBag scenario;
    scenario.SetBag(L"DesktopManager", operations);
    return scenario;
}

// One logon; the time from the remote credential to the serialization. False on any failure.
bool Logon(GetClassObjectFn getClassObject, double* micros) {
    logonsim::RemoteCredential remote{true, L"CORP", L"alice", L"T-bench"};
    std::vector<BYTE> packed = logonsim::PackRemoteCredential(remote);
    const double start = bench::NowMicros();
    auto filter = Create<ICredentialProviderFilter>(getClassObject, CLSID_credfilter, IID_ICredentialProviderFilter);
    if (!filter) return false;
    CREDENTIAL_PROVIDER_CREDENTIAL_SERIALIZATION in = {0, CLSID_credprovider, static_cast<ULONG>(packed.size()), packed.data()};
    CREDENTIAL_PROVIDER_CREDENTIAL_SERIALIZATION out = {};
    if (FAILED(filter->UpdateRemoteCredential(&in, &out))) return false;
    ::CoTaskMemFree(out.rgbSerialization);
    GUID providers[] = {CLSID_credprovider};
    BOOL allow[] = {TRUE};
    filter->Filter(CPUS_LOGON, 0, providers, allow, 1);
    auto provider = Create<ICredentialProvider>(getClassObject, CLSID_credprovider, IID_ICredentialProvider);
    if (!provider) return false;
    provider->SetUsageScenario(CPUS_LOGON, 0);
    auto* sink = new logonsim::EventsSink();
    provider->Advise(sink, 1);
    DWORD count = 0, defaultTile = 0;
    BOOL autoLogon = FALSE;
    provider->GetCredentialCount(&count, &defaultTile, &autoLogon);
    com_ptr<ICredentialProviderCredential> tile;
    bool ok = count == 1 && SUCCEEDED(provider->GetCredentialAt(0, tile.put()));
    CREDENTIAL_PROVIDER_GET_SERIALIZATION_RESPONSE response{};
    CREDENTIAL_PROVIDER_CREDENTIAL_SERIALIZATION serialization = {};
    ok = ok && tile->GetSerialization(&response, &serialization, nullptr, nullptr) == S_OK &&
         response == CPGSR_RETURN_CREDENTIAL_FINISHED;
    *micros = bench::NowMicros() - start;
    ::CoTaskMemFree(serialization.rgbSerialization);
    if (tile) {
        LPWSTR text = nullptr;
        CREDENTIAL_PROVIDER_STATUS_ICON icon;
        tile->ReportResult(0, 0, &text, &icon);
        ::CoTaskMemFree(text);
    }
    provider->UnAdvise();
    sink->Release();
    return ok;
}

// What the payload's own protection costs in this process, apart from the module: PBKDF2 as the
// agent's AES payloads ask for it (HMAC-SHA1, 1500 iterations, a 32-byte master key), and DPAPI
// unprotecting a 32-byte master key. Medians over `rounds`, in microseconds.
std::pair<double, double> PayloadProtectionCosts(int rounds) {
    std::vector<double> derive, unprotect;
    BYTE master[32] = {1}, salt[16] = {2}, derived[32];
    DATA_BLOB plain{sizeof(master), master}, sealed{}, opened{};
    if (!::CryptProtectData(&plain, nullptr, nullptr, nullptr, nullptr, CRYPTPROTECT_UI_FORBIDDEN, &sealed)) return {0, 0};
    BCRYPT_ALG_HANDLE prf = nullptr;
    if (BCRYPT_SUCCESS(::BCryptOpenAlgorithmProvider(&prf, BCRYPT_SHA1_ALGORITHM, nullptr, BCRYPT_ALG_HANDLE_HMAC_FLAG))) {
        for (int i = 0; i < rounds; ++i) {
            double start = bench::NowMicros();
            ::BCryptDeriveKeyPBKDF2(prf, master, sizeof(master), salt, sizeof(salt), 1500, derived, sizeof(derived), 0);
            derive.push_back(bench::NowMicros() - start);
            start = bench::NowMicros();
            if (::CryptUnprotectData(&sealed, nullptr, nullptr, nullptr, nullptr, CRYPTPROTECT_UI_FORBIDDEN, &opened)) {
                unprotect.push_back(bench::NowMicros() - start);
                ::SecureZeroMemory(opened.pbData, opened.cbData);
                ::LocalFree(opened.pbData);
            }
        }
        ::BCryptCloseAlgorithmProvider(prf, 0);
    }
    ::LocalFree(sealed.pbData);
    return {bench::Percentile(derive, 0.5), bench::Percentile(unprotect, 0.5)};
}

}  // namespace

int wmain() {
    ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    const std::wstring instance = L"bench" + std::to_wstring(::GetCurrentProcessId());
    bench::SimSession sim(instance, 2);

    int status = 1;
    {
        testsupport::FakePlatform fake;  // this process's own framework client: the test package
        fake.nodeManagerInstance = instance;
        testsupport::AgentSimProcess agent;
        GetClassObjectFn getClassObject = agent.Start(instance, Scenario(), 600) ? bench::LoadSimModule() : nullptr;
        std::vector<double> logons, requests;
        int failures = 0;
        for (int i = 0; getClassObject && i < kWarmup + kLogons; ++i) {
            double micros = 0;
            if (!Logon(getClassObject, &micros)) ++failures;
            else if (i >= kWarmup) logons.push_back(micros);
            if (!bench::AgentRequest(L"T-bench", &micros)) ++failures;
            else if (i >= kWarmup) requests.push_back(micros);
        }
        const double median = bench::Percentile(logons, 0.5);
        const double agentMedian = bench::Percentile(requests, 0.5);
        const auto [deriveMedian, unprotectMedian] = PayloadProtectionCosts(50);
        const double ownShare = median - agentMedian - deriveMedian - unprotectMedian;
        bench::JsonLine("e2e_brokered_logon",
                        bench::Field("median_ms", median / 1000, 2) + "," + bench::Field("p99_ms", bench::Percentile(logons, 0.99) / 1000, 2) +
                            "," + bench::Field("agent_request_median_ms", agentMedian / 1000, 2) + "," +
                            bench::Field("module_share_median_ms", (median - agentMedian) / 1000, 2) + "," +
                            bench::Field("key_derivation_median_ms", deriveMedian / 1000, 2) + "," +
                            bench::Field("dpapi_unprotect_median_ms", unprotectMedian / 1000, 2) + "," +
                            bench::Field("module_share_without_payload_crypto_ms", ownShare / 1000, 2) + "," +
                            bench::Field("target_module_share_ms", 1.0, 0) + "," +
                            bench::Field("target_median_ms", 20.0, 0) + "," +
                            bench::Field("within_target", median > 0 && median < 20000) + "," +
                            bench::Field("logons", static_cast<double>(logons.size()), 0) + "," +
                            bench::Field("failures", static_cast<double>(failures), 0));
        status = logons.size() == kLogons && failures == 0 ? 0 : 1;
        bench::ShutdownFramework();
    }
    return status;
}
