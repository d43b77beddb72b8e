#include "DataLsaClient.h"

#include "lib/json/Json.h"

#include <wincrypt.h>

#include <cstring>

namespace platform::cloudapsim {
namespace {

constexpr NTSTATUS kInvalidHandle = static_cast<NTSTATUS>(0xC0000008L);
constexpr NTSTATUS kInvalidParameter = static_cast<NTSTATUS>(0xC000000DL);
constexpr NTSTATUS kNoSuchPackage = static_cast<NTSTATUS>(0xC00000FEL);
// Any non-null value: the handle is only compared.
HANDLE const kConnection = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(0x15A));
constexpr size_t kHeaderBytes = 24;  // type, package GUID, text length

// The request's text as JSON; false when it is none.
bool RequestJson(const BYTE* submit, ULONG bytes, json::Json* request) {
    if (bytes < kHeaderBytes) return false;
    ULONG length = 0;
    std::memcpy(&length, submit + 20, sizeof(length));
    if (length > bytes - kHeaderBytes) return false;
    return json::Parse(std::string_view(reinterpret_cast<const char*>(submit + kHeaderBytes), length), request) &&
           request->is_object();
}

// The "call" member of the request's text, or -1.
int CallNumber(const json::Json& request) {
    if (!request.contains("call") || !request["call"].is_number_integer()) return -1;
    return request["call"].get<int>();
}

// The answer to call 10 made from the "rdp_assertion" of its payload; empty when it has none.
std::string BlobAnswer(const json::Json& request) {
    json::Json payload;
    if (!request.contains("payload") || !request["payload"].is_string() ||
        !json::Parse(request["payload"].get<std::string>(), &payload) || !payload.is_object() ||
        !payload.contains("rdp_assertion") || !payload["rdp_assertion"].is_string())
        return std::string();
    const std::string blob = DataLsaClient::kBlobPrefix + payload["rdp_assertion"].get<std::string>();
    DWORD chars = 0;
    const DWORD flags = CRYPT_STRING_BASE64 | CRYPT_STRING_NOCRLF;
    const BYTE* data = reinterpret_cast<const BYTE*>(blob.data());
    if (!::CryptBinaryToStringA(data, static_cast<DWORD>(blob.size()), flags, nullptr, &chars)) return std::string();
    std::string base64(chars, '\0');
    if (!::CryptBinaryToStringA(data, static_cast<DWORD>(blob.size()), flags, base64.data(), &chars)) return std::string();
    base64.resize(chars);
    return json::Stringify(json::Json{{"authbuffer", base64}});
}

void* CopyOut(const void* data, size_t bytes) {
    void* buffer = ::HeapAlloc(::GetProcessHeap(), 0, bytes ? bytes : 1);
    if (buffer && bytes) std::memcpy(buffer, data, bytes);
    return buffer;
}

}  // namespace

NTSTATUS DataLsaClient::ConnectUntrusted(HANDLE* lsa) {
    if (connectStatus != 0) return connectStatus;
    ++connections;
    *lsa = kConnection;
    return 0;
}

NTSTATUS DataLsaClient::LookupAuthenticationPackage(HANDLE lsa, const char* packageName, ULONG* packageId) {
    if (lsa != kConnection) return kInvalidHandle;
    auto found = packageName ? packageIds.find(packageName) : packageIds.end();
    if (found == packageIds.end()) return kNoSuchPackage;
    *packageId = found->second;
    return 0;
}

NTSTATUS DataLsaClient::CallAuthenticationPackage(HANDLE lsa, ULONG packageId, const void* submit, ULONG submitBytes,
                                                  void** answer, ULONG* answerBytes, NTSTATUS* protocol) {
    if (lsa != kConnection) return kInvalidHandle;
    if (!submit || !answer || !answerBytes || !protocol) return kInvalidParameter;
    const BYTE* bytes = static_cast<const BYTE*>(submit);
    {
        std::lock_guard<std::mutex> guard(lock);
        requests.emplace_back(bytes, bytes + submitBytes);
    }
    *answer = nullptr;
    *answerBytes = 0;
    *protocol = protocolStatus;
    if (callStatus != 0) return callStatus;
    auto cloudAp = packageIds.find("CloudAP");
    if (cloudAp == packageIds.end() || cloudAp->second != packageId) return kNoSuchPackage;
    json::Json request;
    const int call = RequestJson(bytes, submitBytes, &request) ? CallNumber(request) : -1;
    auto fixed = answers.find(call);
    const std::string text = fixed != answers.end()               ? fixed->second
                             : call == 10 && blobFromAssertion ? BlobAnswer(request)
                                                                  : std::string();
    if (text.empty()) return 0;
    *answer = CopyOut(text.data(), text.size());
    if (!*answer) return static_cast<NTSTATUS>(0xC0000017L);
    ++outstandingBuffers;
    *answerBytes = static_cast<ULONG>(text.size());
    return 0;
}

NTSTATUS DataLsaClient::LogonUser(HANDLE lsa, const char* originName, SECURITY_LOGON_TYPE logonType, ULONG packageId,
                                  const void* authentication, ULONG authenticationBytes, void** profile,
                                  ULONG* profileBytes, HANDLE* token, NTSTATUS* subStatus) {
    if (lsa != kConnection) return kInvalidHandle;
    if (!profile || !profileBytes || !token || !subStatus) return kInvalidParameter;
    const BYTE* bytes = static_cast<const BYTE*>(authentication);
    {
        std::lock_guard<std::mutex> guard(lock);
        logons.push_back({originName ? originName : "", logonType, packageId,
                          std::vector<BYTE>(bytes, bytes + authenticationBytes)});
    }
    *subStatus = logonSubStatus;
    *token = nullptr;
    *profile = nullptr;
    *profileBytes = 0;
    if (logonStatus != 0) return logonStatus;
    static const char kProfile[] = "profile";
    *profile = CopyOut(kProfile, sizeof(kProfile));
    if (*profile) ++outstandingBuffers, *profileBytes = sizeof(kProfile);
    if (!logonGivesNoToken) {
        HANDLE own = nullptr;
        if (::OpenProcessToken(::GetCurrentProcess(), TOKEN_DUPLICATE | TOKEN_QUERY, &own)) {
            ::DuplicateHandle(::GetCurrentProcess(), own, ::GetCurrentProcess(), token, 0, FALSE,
                              DUPLICATE_SAME_ACCESS);
            ::CloseHandle(own);
        }
    }
    return 0;
}

NTSTATUS DataLsaClient::FreeReturnBuffer(void* buffer) {
    if (!buffer) return kInvalidParameter;
    --outstandingBuffers;
    ::HeapFree(::GetProcessHeap(), 0, buffer);
    return 0;
}

NTSTATUS DataLsaClient::DeregisterLogonProcess(HANDLE lsa) {
    if (lsa != kConnection) return kInvalidHandle;
    --connections;
    return 0;
}

}  // namespace platform::cloudapsim
