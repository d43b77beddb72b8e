#include "SignedRequestCheck.h"

#include "lib/json/Json.h"
#include "platform/CryptResource.h"

#include <algorithm>
#include <cstdlib>

namespace agentsim {
namespace {

bool Base64Decode(std::string text, bool url, std::vector<BYTE>* out) {
    if (url) {
        if (text.find_first_of("+/=") != std::string::npos) return false;  // base64url, unpadded
        std::replace(text.begin(), text.end(), '-', '+');
        std::replace(text.begin(), text.end(), '_', '/');
        text.append((4 - text.size() % 4) % 4, '=');
    }
    DWORD bytes = 0;
    if (!::CryptStringToBinaryA(text.c_str(), static_cast<DWORD>(text.size()), CRYPT_STRING_BASE64, nullptr, &bytes,
                                nullptr, nullptr))
        return false;
    out->resize(bytes);
    return ::CryptStringToBinaryA(text.c_str(), static_cast<DWORD>(text.size()), CRYPT_STRING_BASE64, out->data(),
                                  &bytes, nullptr, nullptr) != FALSE;
}

bool Sha256(const std::string& data, std::vector<BYTE>* digest) {
    platform::unique_bcrypt_alg alg;
    platform::unique_bcrypt_hash hash;
    digest->resize(32);
    return BCRYPT_SUCCESS(::BCryptOpenAlgorithmProvider(alg.put(), BCRYPT_SHA256_ALGORITHM, nullptr, 0)) &&
           BCRYPT_SUCCESS(::BCryptCreateHash(alg.get(), hash.put(), nullptr, 0, nullptr, 0, 0)) &&
           BCRYPT_SUCCESS(::BCryptHashData(hash.get(), reinterpret_cast<PUCHAR>(const_cast<char*>(data.data())),
                                           static_cast<ULONG>(data.size()), 0)) &&
           BCRYPT_SUCCESS(::BCryptFinishHash(hash.get(), digest->data(), 32, 0));
}

// PKCS#1 v1.5 over SHA-256 with the certificate's public key.
bool SignatureVerifies(const std::vector<BYTE>& certificate, const std::string& signedText,
                       std::vector<BYTE> signature) {
    platform::unique_cert cert(::CertCreateCertificateContext(X509_ASN_ENCODING, certificate.data(),
                                                              static_cast<DWORD>(certificate.size())));
    platform::unique_bcrypt_key key;
    std::vector<BYTE> digest;
    if (!cert || !::CryptImportPublicKeyInfoEx2(X509_ASN_ENCODING, &cert.get()->pCertInfo->SubjectPublicKeyInfo, 0, nullptr,
                                                 key.put()) ||
        !Sha256(signedText, &digest))
        return false;
    BCRYPT_PKCS1_PADDING_INFO padding{BCRYPT_SHA256_ALGORITHM};
    return BCRYPT_SUCCESS(::BCryptVerifySignature(key.get(), &padding, digest.data(), static_cast<ULONG>(digest.size()),
                                                  signature.data(), static_cast<ULONG>(signature.size()),
                                                  BCRYPT_PAD_PKCS1));
}

bool Fail(std::string* why, const char* reason) {
    *why = reason;
    return false;
}

}  // namespace

bool VerifySignedRequest(const std::vector<BYTE>& message, SignedRequest* request, std::string* why) {
    if (message.empty() || message.back() != 0) return Fail(why, "no trailing zero byte");
    const std::string text(message.begin(), message.end() - 1);
    const size_t first = text.find('.'), second = text.find('.', first + 1);
    if (first == std::string::npos || second == std::string::npos || text.find('.', second + 1) != std::string::npos)
        return Fail(why, "not three parts");
    std::vector<BYTE> header, payload, signature, certificate;
    if (!Base64Decode(text.substr(0, first), true, &header) ||
        !Base64Decode(text.substr(first + 1, second - first - 1), true, &payload) ||
        !Base64Decode(text.substr(second + 1), true, &signature))
        return Fail(why, "a part is not base64url without padding");
    json::Json head, body;
    if (!json::Parse(std::string(header.begin(), header.end()), &head) ||
        head != json::Json{{"alg", "RS256"}, {"typ", "JWT"}})
        return Fail(why, "not the RS256 header");
    if (!json::Parse(std::string(payload.begin(), payload.end()), &body) || !body.is_object())
        return Fail(why, "the payload is not a JSON object");
    for (const char* member : {"cmd", "requestId", "deviceId", "deviceNonce", "correlationId", "brokerSID", "p2pCertificate"})
        if (!body.contains(member) || !body[member].is_string()) return Fail(why, "a payload member is missing");
    if (body["cmd"] != "authenticate") return Fail(why, "not an authenticate command");
    if (!Base64Decode(body["p2pCertificate"].get<std::string>(), false, &certificate))
        return Fail(why, "the certificate is not base64");
    const std::string id = body["requestId"];
    if (id.empty() || id.size() > 20 || id.find_first_not_of("0123456789") != std::string::npos)
        return Fail(why, "the request id is not a decimal number");
    request->requestId = std::strtoull(id.c_str(), nullptr, 10);
    if (!SignatureVerifies(certificate, text.substr(0, second), signature)) return Fail(why, "the signature does not verify");
    request->deviceId = body["deviceId"];
    request->deviceNonce = body["deviceNonce"];
    request->correlationId = body["correlationId"];
    request->brokerSid = body["brokerSID"];
    return true;
}

}  // namespace agentsim
