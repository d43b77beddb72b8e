#include "CloudApHelperLsass.h"

#include "CloudApText.h"
#include "EntraFailure.h"
#include "lib/json/Json.h"
#include "lib/mfw/common/config/Config.h"
#include "platform/Platform.h"

#include <wincrypt.h>

#include <climits>
#include <cstring>
#include <mutex>

namespace EntraAuth {
namespace {

constexpr DWORD kCloudApMessageType = 2;
// The CloudAP plug-in that serves the nonce and assertion calls.
constexpr GUID kCloudApPlugin = {0xB16898C6, 0xA148, 0x4967, {0x91, 0x71, 0x64, 0xD7, 0x55, 0xDA, 0x85, 0x20}};
constexpr size_t kHeaderBytes = 24;
constexpr size_t kExtraBytes = 27;  // the header and three spare bytes
constexpr HRESULT kOverflow = HRESULT_FROM_WIN32(ERROR_ARITHMETIC_OVERFLOW);

platform::ILsaClient& Lsa() { return platform::Get().Lsa(); }

// The named string member of a JSON answer, or empty.
std::string AnswerMember(const std::string& answer, const char* name) {
    json::Json parsed;
    if (!json::Parse(answer, &parsed) || !parsed.is_object()) return std::string();
    auto found = parsed.find(name);
    if (found == parsed.end() || !found->is_string()) return std::string();
    return found->get<std::string>();
}

std::vector<BYTE> DecodeBase64(const std::string& text) {
    ENTRA_FAIL_IF(text.size() > ULONG_MAX, kOverflow, L"authbuffer too long");
    DWORD bytes = 0;
    ENTRA_FAIL_IF(!::CryptStringToBinaryA(text.data(), static_cast<DWORD>(text.size()), CRYPT_STRING_BASE64, nullptr,
                                          &bytes, nullptr, nullptr),
                  LastErrorResult(), L"CryptStringToBinary failed");
    std::vector<BYTE> out(bytes);
    ENTRA_FAIL_IF(bytes && !::CryptStringToBinaryA(text.data(), static_cast<DWORD>(text.size()), CRYPT_STRING_BASE64,
                                                   out.data(), &bytes, nullptr, nullptr),
                  LastErrorResult(), L"CryptStringToBinary failed");
    out.resize(bytes);
    return out;
}

template <typename Step>
HRESULT Guarded(Step step) noexcept {
    try {
        return step();
    } catch (...) {
        return ResultOfCaught();
    }
}

}  // namespace

bool LsassCloudApFallbackEnabled() {
    static bool enabled;
    static std::once_flag read;
    std::call_once(read, [] {
        enabled = CORE::ReadConfigBool(L"\\Agent\\Configuration\\LsassCloudApFallbackEnabled", L"true");
    });
    return enabled;
}

std::vector<BYTE> BuildCloudApRequest(const std::string& jsonText) {
    ENTRA_FAIL_IF(jsonText.size() > SIZE_MAX - kExtraBytes, kOverflow, L"Request size calculation overflow");
    const size_t total = jsonText.size() + kExtraBytes;
    ENTRA_FAIL_IF(total > ULONG_MAX, kOverflow, L"Request size exceeds DWORD maximum");
    std::vector<BYTE> request(total, 0);
    const DWORD length = static_cast<DWORD>(jsonText.size());
    std::memcpy(request.data(), &kCloudApMessageType, 4);
    std::memcpy(request.data() + 4, &kCloudApPlugin, 16);
    std::memcpy(request.data() + 20, &length, 4);
    std::memcpy(request.data() + kHeaderBytes, jsonText.data(), jsonText.size());
    return request;
}

CloudApHelperLsass::~CloudApHelperLsass() {
    if (lsa_) Lsa().DeregisterLogonProcess(lsa_);
}

HRESULT CloudApHelperLsass::Initialize(const std::wstring& correlationId) {
    return Guarded([&]() -> HRESULT {
        ENTRA_FAIL_IF(!LsassCloudApFallbackEnabled(), E_FAIL, L"CloudAp LSASS fallback disabled");
        correlationId_ = correlationId.empty() ? ZeroCorrelationId() : correlationId;
        if (lsa_) Lsa().DeregisterLogonProcess(lsa_), lsa_ = nullptr;
        HANDLE lsa = nullptr;
        NTSTATUS status = Lsa().ConnectUntrusted(&lsa);
        ENTRA_FAIL_IF(status != 0, HRESULT_FROM_NT(status), L"LsaConnectUntrusted failed");
        lsa_ = lsa;
        status = Lsa().LookupAuthenticationPackage(lsa_, "CloudAP", &cloudApPackage_);
        ENTRA_FAIL_IF(status != 0, HRESULT_FROM_NT(status), L"LsaLookupAuthenticationPackage(CloudAp) failed");
        status = Lsa().LookupAuthenticationPackage(lsa_, "Negotiate", &negotiatePackage_);
        ENTRA_FAIL_IF(status != 0, HRESULT_FROM_NT(status), L"LsaLookupAuthenticationPackage(Nego) failed");
        return S_OK;
    });
}

std::string CloudApHelperLsass::InvokeCloudAP(const std::string& jsonText) {
    ENTRA_FAIL_IF(!lsa_, E_FAIL, L"_hLsa NOT initialized");
    std::vector<BYTE> request = BuildCloudApRequest(jsonText);
    void* response = nullptr;
    ULONG responseBytes = 0;
    NTSTATUS protocolStatus = 0;
    const NTSTATUS status = Lsa().CallAuthenticationPackage(lsa_, cloudApPackage_, request.data(),
                                                            static_cast<ULONG>(request.size()), &response,
                                                            &responseBytes, &protocolStatus);
    // Freed however the answer turns out.
    struct Release {
        void* buffer;
        ~Release() {
            if (buffer) platform::Get().Lsa().FreeReturnBuffer(buffer);
        }
    } release{response};
    const NTSTATUS failed = status != 0 ? status : protocolStatus;
    ENTRA_FAIL_IF(failed != 0, HRESULT_FROM_NT(failed), L"LsaCallAuthenticationPackage");
    ENTRA_FAIL_IF(!response, E_FAIL, L"pCloudApResponse is NULL");
    ENTRA_FAIL_IF(responseBytes == 0, E_FAIL, L"CloudAP response is empty");
    return std::string(static_cast<const char*>(response), responseBytes);
}

// The package's answer; any failure of the call is reported once more as the call's.
std::string CloudApHelperLsass::AskCloudAP(const std::string& jsonText) {
    try {
        return InvokeCloudAP(jsonText);
    } catch (...) {
        ENTRA_FAIL(ResultOfCaught(), L"InvokeCloudAP failed");
    }
}

HRESULT CloudApHelperLsass::GetDeviceNonce(std::wstring* nonce) {
    return Guarded([&]() -> HRESULT {
        ENTRA_FAIL_IF(!nonce, E_INVALIDARG, L"nonce is null");
        ENTRA_FAIL_IF(!lsa_, E_FAIL, L"_hLsa NOT initialized");
        const std::string request = json::Stringify(json::Json{{"call", 9}, {"correlationId", ToUtf8(correlationId_)}});
        const std::string answer = AskCloudAP(request);
        const std::string value = AnswerMember(answer, "ts_nonce");
        ENTRA_FAIL_IF(value.empty(), E_FAIL, L"CloudAP Nonce is INVALID");
        *nonce = FromUtf8(value);
        return S_OK;
    });
}

HRESULT CloudApHelperLsass::GetCredBlobFromAssertion(const std::wstring& assertion, const std::wstring&,
                                                     std::vector<BYTE>* blob) {
    return Guarded([&]() -> HRESULT {
        ENTRA_FAIL_IF(!blob, E_INVALIDARG, L"blob is null");
        ENTRA_FAIL_IF(!lsa_, E_FAIL, L"_hLsa NOT initialized");
        ENTRA_FAIL_IF(assertion.empty(), E_INVALIDARG, L"Empty RDP Assertion");
        const std::string inner = json::Stringify(json::Json{{"rdp_assertion", ToUtf8(assertion)}});
        const std::string request =
            json::Stringify(json::Json{{"call", 10}, {"payload", inner}, {"correlationId", ToUtf8(correlationId_)}});
        const std::string answer = AskCloudAP(request);
        const std::string encoded = AnswerMember(answer, "authbuffer");
        std::vector<BYTE> decoded = encoded.empty() ? std::vector<BYTE>() : DecodeBase64(encoded);
        ENTRA_FAIL_IF(decoded.empty(), E_FAIL, L"authBuffer empty (unknown error)");
        *blob = std::move(decoded);
        return S_OK;
    });
}

HRESULT CloudApHelperLsass::LogonUserWithCredBlob(const std::vector<BYTE>& blob, HANDLE* token) {
    return Guarded([&]() -> HRESULT {
        ENTRA_FAIL_IF(!token, E_INVALIDARG, L"token is null");
        *token = nullptr;
        ENTRA_FAIL_IF(!lsa_, E_FAIL, L"_hLsa NOT initialized");
        ENTRA_FAIL_IF(blob.empty(), E_INVALIDARG, L"Empty credblob passed");
        ENTRA_FAIL_IF(blob.size() > ULONG_MAX, kOverflow, L"Credential blob size exceeds ULONG maximum");
        void* profile = nullptr;
        ULONG profileBytes = 0;
        HANDLE logon = nullptr;
        NTSTATUS subStatus = 0;
        const NTSTATUS status =
            Lsa().LogonUser(lsa_, "Terminal Services API", Network, negotiatePackage_, blob.data(),
                            static_cast<ULONG>(blob.size()), &profile, &profileBytes, &logon, &subStatus);
        if (profile) Lsa().FreeReturnBuffer(profile);
        if ((status != 0 || subStatus != 0) && logon) ::CloseHandle(logon), logon = nullptr;
        ENTRA_FAIL_IF(status != 0, HRESULT_FROM_NT(status), L"LsaLogonUser failed (status)");
        ENTRA_FAIL_IF(subStatus != 0, HRESULT_FROM_NT(subStatus), L"LsaLogonUser failed (subStatus)");
        ENTRA_FAIL_IF(!logon, E_FAIL, L"!hToken");
        *token = logon;
        return S_OK;
    });
}

}  // namespace EntraAuth
