#include "EntraAuthRequest.h"

#include "EntraFailure.h"
#include "lib/json/Json.h"
#include "lib/mfw/common/log/SysMessage.h"

#include <wincrypt.h>

#include <algorithm>

namespace EntraAuth {
namespace {

constexpr DWORD kBase64NoBreaks = CRYPT_STRING_BASE64 | CRYPT_STRING_NOCRLF;
// Four characters for every three bytes must still fit the call's 32-bit count.
constexpr size_t kMaxEncodedBytes = 0x7FFFFFFF / 4 * 3;

bool Reject(const wchar_t* line) {
    CORE::LogMessage(CORE::LOG_ERROR, L"[EntraAuth] EntraAuth::BuildEntraAuthRequestMessage: %ls", line);
    return false;
}

bool PreconditionsHold(const std::string& deviceId, const std::string& deviceNonce, const std::string& correlationId,
                       const SignatureCallback& computeSignature) {
    if (!computeSignature) return Reject(L"computeSignature callback cannot be null");
    if (deviceId.empty()) return Reject(L"deviceId cannot be empty");
    if (deviceNonce.empty()) return Reject(L"deviceNonce cannot be empty");
    if (correlationId.empty()) return Reject(L"correlationId cannot be empty");
    return true;
}

std::string EncodeText(const std::string& text) {
    return Base64UrlEncode(reinterpret_cast<const BYTE*>(text.data()), text.size());
}

std::string HeaderText() {
    json::Json header = json::Json::object();
    header["alg"] = "RS256";
    header["typ"] = "JWT";
    return EncodeText(json::Stringify(header));
}

std::string PayloadText(uint64_t requestId, const std::string& deviceId, const std::string& deviceNonce,
                        const std::string& brokerUserSid, const std::string& correlationId,
                        const std::string& p2pCertificate) {
    json::Json payload = json::Json::object();
    payload["cmd"] = "authenticate";
    payload["ver"] = "2";
    payload["req"] = true;
    payload["requestId"] = std::to_string(requestId);
    payload["deviceId"] = deviceId;
    payload["deviceNonce"] = deviceNonce;
    payload["correlationId"] = correlationId;
    payload["brokerSID"] = brokerUserSid;
    if (!p2pCertificate.empty()) payload["p2pCertificate"] = p2pCertificate;
    return EncodeText(json::Stringify(payload));
}

}  // namespace

std::string Base64UrlEncode(const BYTE* data, size_t size) {
    if (size == 0) return std::string();
    ENTRA_FAIL_IF(size > kMaxEncodedBytes, HRESULT_FROM_WIN32(ERROR_ARITHMETIC_OVERFLOW), L"data too large to encode");
    DWORD chars = 0;
    ENTRA_FAIL_IF(!::CryptBinaryToStringA(data, static_cast<DWORD>(size), kBase64NoBreaks, nullptr, &chars),
                  LastErrorResult(), L"CryptBinaryToString failed");
    std::string text(chars, '\0');
    ENTRA_FAIL_IF(!::CryptBinaryToStringA(data, static_cast<DWORD>(size), kBase64NoBreaks, text.data(), &chars),
                  LastErrorResult(), L"CryptBinaryToString failed");
    text.resize(std::min<size_t>(chars, text.size()));  // the count no longer includes the terminator
    while (!text.empty() && (text.back() == '=' || text.back() == '\0')) text.pop_back();
    for (char& c : text) {
        if (c == '+') c = '-';
        else if (c == '/') c = '_';
    }
    return text;
}

std::vector<BYTE> BuildEntraAuthRequestMessage(uint64_t requestId, const std::string& deviceId,
                                               const std::string& deviceNonce, const std::string& brokerUserSid,
                                               const std::string& correlationId, const std::string& p2pCertificate,
                                               const SignatureCallback& computeSignature) noexcept {
    if (!PreconditionsHold(deviceId, deviceNonce, correlationId, computeSignature)) return {};
    try {
        std::string token = HeaderText() + "." +
                            PayloadText(requestId, deviceId, deviceNonce, brokerUserSid, correlationId, p2pCertificate);
        const std::vector<BYTE> signature = computeSignature(std::vector<BYTE>(token.begin(), token.end()));
        // A token without a signature would only be refused by the client, later and less clearly.
        if (signature.empty()) return Reject(L"computeSignature returned no signature"), std::vector<BYTE>();
        token += "." + Base64UrlEncode(signature.data(), signature.size());
        std::vector<BYTE> message(token.begin(), token.end());
        message.push_back(0);
        return message;
    } catch (...) {
        CaughtResult("EntraAuth::BuildEntraAuthRequestMessage");
        return {};
    }
}

}  // namespace EntraAuth
