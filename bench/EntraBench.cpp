// Entra ID SSO. Two figures:
// - the signed request the service sends the client, built with a real 2048-bit RSA signature
//   (the signature alone measured in the same run);
// - the "request" road from LogonUI's side: from Filter (the agent's answer names an Entra
//   request) to the CloudAP serialization in LogonUI's hands, through the simulation build of the
//   module, the stand-in agent and its common service, whose remote client answers at once.
//   The agent's credential request and the Entra RPC road (service, signing, client) are each
//   measured alone in the same run; what remains is the module's own share.
#include "ModuleBench.h"

#include "base/Guids.h"
#include "entra/EntraAuthRequest.h"
#include "entra/EntraRpcClient.h"
#include "entra/P2PSigning.h"
#include "entra/P2PStores.h"
#include "platform/CryptResource.h"
#include "platform/sdk/CredProv.h"
#include "support/AgentSimProcess.h"
#include "support/FakePlatform.h"
#include "tools/logonsim/EventsSink.h"

#include <string>
#include <vector>

namespace {

using platform::com_ptr;
using bench::Create;
using bench::GetClassObjectFn;

constexpr int kWarmup = 10;
constexpr int kRuns = 100;
constexpr DWORD kSession = 21;

std::string Fields(const std::vector<double>& samples, const char* prefix) {
    return bench::Field((std::string(prefix) + "median_ms").c_str(), bench::Percentile(samples, 0.5) / 1000, 3) + "," +
           bench::Field((std::string(prefix) + "p99_ms").c_str(), bench::Percentile(samples, 0.99) / 1000, 3);
}

// Median build time and median time of the signature alone, for one kind of key.
bool TimeBuilds(const EntraAuth::SignatureCallback& sign, double* build, double* signature) {
    const std::string certificate(1400, 'A');  // the size of a P2P certificate's base64 text
    std::vector<double> builds, signatures;
    for (int i = 0; i < kWarmup + kRuns; ++i) {
        double start = bench::NowMicros();
        const std::vector<BYTE> message = EntraAuth::BuildEntraAuthRequestMessage(
            0x1234500000000ull + i, "6b3f0e2a-8c41-4d7e-9a15-2f60c9d4b7e8", "server-nonce-AQIDBAUGBwgJ",
            "S-1-12-1-1234567-89012345-678901234-5678901", "6f1c2b7e-0d4a-4c55-9a3e-2b8f00c1d9e4", certificate, sign);
        const double built = bench::NowMicros() - start;
        start = bench::NowMicros();
        const std::vector<BYTE> alone = sign(message);
        const double signedAlone = bench::NowMicros() - start;
        if (message.empty() || alone.size() != 256) return false;
        if (i >= kWarmup) builds.push_back(built), signatures.push_back(signedAlone);
    }
    *build = bench::Percentile(builds, 0.5), *signature = bench::Percentile(signatures, 0.5);
    return true;
}

// Both kinds of device key the signing supports: a CryptoAPI container's and an NCrypt key.
int BuildMessage() {
    platform::unique_crypt_prov provider;
    platform::unique_crypt_key key;
    NCRYPT_PROV_HANDLE storage = 0;
    NCRYPT_KEY_HANDLE ncryptKey = 0;
    DWORD bits = 2048;
    if (!::CryptAcquireContextW(provider.put(), nullptr, MS_ENH_RSA_AES_PROV_W, PROV_RSA_AES, CRYPT_VERIFYCONTEXT) ||
        !::CryptGenKey(provider.get(), AT_SIGNATURE, (bits << 16) | CRYPT_EXPORTABLE, key.put()) ||
        ::NCryptOpenStorageProvider(&storage, MS_KEY_STORAGE_PROVIDER, 0) != 0 ||
        ::NCryptCreatePersistedKey(storage, &ncryptKey, NCRYPT_RSA_ALGORITHM, nullptr, 0, 0) != 0 ||
        ::NCryptSetProperty(ncryptKey, NCRYPT_LENGTH_PROPERTY, reinterpret_cast<PBYTE>(&bits), sizeof(bits), 0) != 0 ||
        ::NCryptFinalizeKey(ncryptKey, 0) != 0)
        return 1;
    platform::unique_ncrypt_object ownedStorage(storage), ownedKey(ncryptKey);
    double capi = 0, capiSign = 0, cng = 0, cngSign = 0;
    if (!TimeBuilds([&](const std::vector<BYTE>& data) { return EntraAuth::SignWithCryptoApiKey(provider.get(), data); },
                    &capi, &capiSign) ||
        !TimeBuilds([&](const std::vector<BYTE>& data) { return EntraAuth::SignWithNCryptKey(ncryptKey, data); }, &cng,
                    &cngSign))
        return 1;
    bench::JsonLine("entra_build_request_message",
                    bench::Field("cryptoapi_median_ms", capi / 1000, 3) + "," +
                        bench::Field("cryptoapi_signature_alone_median_ms", capiSign / 1000, 3) + "," +
                        bench::Field("ncrypt_median_ms", cng / 1000, 3) + "," +
                        bench::Field("ncrypt_signature_alone_median_ms", cngSign / 1000, 3) + "," +
                        bench::Field("build_without_signature_ms", (cng - cngSign) / 1000, 3) + "," +
                        bench::Field("target_median_ms", 2.0, 0) + "," + bench::Field("within_target", cng > 0 && cng < 2000));
    return 0;
}

// The tile's serialization, once it is ready (CredentialsChanged says when).
bool SerializeWhenReady(ICredentialProvider* provider, logonsim::EventsSink* sink) {
    for (int attempt = 0; attempt < 2; ++attempt) {
        DWORD count = 0, defaultTile = 0;
        BOOL autoLogon = FALSE;
        com_ptr<ICredentialProviderCredential> tile;
        if (FAILED(provider->GetCredentialCount(&count, &defaultTile, &autoLogon)) || count != 1 ||
            FAILED(provider->GetCredentialAt(0, tile.put())))
            return false;
        const int seen = sink->Changed();
        CREDENTIAL_PROVIDER_GET_SERIALIZATION_RESPONSE response{};
        CREDENTIAL_PROVIDER_CREDENTIAL_SERIALIZATION serialization = {};
        const bool done = tile->GetSerialization(&response, &serialization, nullptr, nullptr) == S_OK &&
                          response == CPGSR_RETURN_CREDENTIAL_FINISHED;
        ::CoTaskMemFree(serialization.rgbSerialization);
        if (done) return true;
        if (!sink->WaitForMoreThan(seen, 10000)) return false;
    }
    return false;
}

bool Logon(GetClassObjectFn getClassObject, double* micros) {
    const double start = bench::NowMicros();
    auto filter = Create<ICredentialProviderFilter>(getClassObject, CLSID_credfilter, IID_ICredentialProviderFilter);
    if (!filter) return false;
    GUID providers[] = {CLSID_credprovider};
    BOOL allow[] = {TRUE};
    filter->Filter(CPUS_LOGON, 0, providers, allow, 1);
    auto provider = Create<ICredentialProvider>(getClassObject, CLSID_credprovider, IID_ICredentialProvider);
    if (!provider) return false;
    provider->SetUsageScenario(CPUS_LOGON, 0);
    auto* sink = new logonsim::EventsSink();
    provider->Advise(sink, 1);
    const bool ok = SerializeWhenReady(provider.get(), sink);
    *micros = bench::NowMicros() - start;
    provider->UnAdvise();
    sink->Release();
    return ok;
}

// The Entra RPC road alone: bind, the service signs and sends, the client verifies and answers.
bool EntraRequest(double* micros) {
    platform::unique_handle done(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    HRESULT result = E_FAIL;
    const double start = bench::NowMicros();
    EntraAuth::RpcWorkItem* item = EntraAuth::RequestRdpAssertionAsync(
        0xBE0C000000000ull + static_cast<uint64_t>(::GetTickCount64()), L"", L"",
        [&](HRESULT hr, const std::wstring&) { result = hr, ::SetEvent(done.get()); });
    if (!item) return false;
    const bool answered = ::WaitForSingleObject(done.get(), 10000) == WAIT_OBJECT_0;
    *micros = bench::NowMicros() - start;
    EntraAuth::CancelRpcWorkItem(item);
    return answered && result == S_OK;
}

CORE::PropertyBag Scenario() {
    CORE::PropertyBag entra;
    entra.Set(L"CORRELATIONID", L"6f1c2b7e-0d4a-4c55-9a3e-2b8f00c1d9e4");
    entra.Set(L"RESOURCEURI", L"ms-device-service://termsrv.wvd.microsoft.com/name/bench");
    CORE::PropertyBag answer, entry, operations, service, scenario;
    answer.SetBag(L"ENTRAAUTH", entra);
    entry.SetBag(L"answer", answer);
    operations.SetBag(L"GetCredentialsForTicket", entry);
    scenario.SetBag(L"DesktopManager", operations);
    service.Set(L"assertion", L"eyJhbGciOi.rdp-assertion-bench.c2ln");
    scenario.SetBag(L"entra", service);
    return scenario;
}

int RequestRoad() {
    const std::wstring instance = L"bench-entra" + std::to_wstring(::GetCurrentProcessId());
    const std::string deviceId = entratest::DeviceId();
    bench::SimSession sim(instance, kSession);
    sim.SetDword(L"AadJoinType", 1);
    sim.SetText(L"AadDeviceId", std::wstring(deviceId.begin(), deviceId.end()));
    sim.SetText(L"CloudApNonce", L"bench-nonce-1");
    int status = 1;
    {
        entratest::P2PStores device(false);
        device.AddDevice("device-p2p");
        device.AddIssuer("p2p-issuer");
        testsupport::FakePlatform fake;  // this process's framework and RPC client
        fake.nodeManagerInstance = instance;
        fake.sessionId = kSession;
        testsupport::AgentSimProcess agent;
        GetClassObjectFn getClassObject = agent.Start(instance, Scenario(), 600) ? bench::LoadSimModule() : nullptr;
        std::vector<double> logons, requests, rpcs;
        int failures = 0;
        for (int i = 0; getClassObject && i < kWarmup + kRuns; ++i) {
            double logon = 0, request = 0, rpc = 0;
            const bool ok = Logon(getClassObject, &logon) && bench::AgentRequest(L"SESSION_PROTOCOL_TICKET_21", &request) && EntraRequest(&rpc);
            if (!ok) ++failures;
            else if (i >= kWarmup) logons.push_back(logon), requests.push_back(request), rpcs.push_back(rpc);
        }
        const double median = bench::Percentile(logons, 0.5);
        const double share = median - bench::Percentile(requests, 0.5) - bench::Percentile(rpcs, 0.5);
        bench::JsonLine("entra_request_road",
                        Fields(logons, "") + "," + Fields(requests, "agent_request_") + "," + Fields(rpcs, "entra_rpc_") +
                            "," + bench::Field("module_share_median_ms", share / 1000, 2) + "," +
                            bench::Field("target_median_ms", 25.0, 0) + "," + bench::Field("target_module_share_ms", 2.0, 0) +
                            "," + bench::Field("within_target", median > 0 && median < 25000 && share < 2000) + "," +
                            bench::Field("logons", static_cast<double>(logons.size()), 0) + "," +
                            bench::Field("failures", static_cast<double>(failures), 0));
        status = logons.size() == kRuns && failures == 0 ? 0 : 1;
        bench::ShutdownFramework();
    }
    return status;
}

}  // namespace

int wmain() {
    ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    const int built = BuildMessage();
    return RequestRoad() | built;
}
