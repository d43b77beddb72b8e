// The signed request the service sends the remote client before it fetches an RDP assertion:
// a compact JSON Web Signature, signed with the device's P2P key.
//
//   message = base64url(header) "." base64url(payload) "." base64url(signature) NUL
//   header  = {"alg":"RS256","typ":"JWT"}
//   payload = {"cmd":"authenticate","ver":"2","req":true,"requestId":"<decimal>",
//              "deviceId":...,"deviceNonce":...,"correlationId":...,"brokerSID":...,
//              "p2pCertificate":...}   (members in this order; the last only when non-empty)
//   signature = computeSignature(base64url(header) "." base64url(payload))
// base64url: standard Base64 with '+' -> '-', '/' -> '_' and no '=' padding. JSON is compact
// UTF-8 (lib/json).
#pragma once
#include <windows.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace EntraAuth {

using SignatureCallback = std::function<std::vector<BYTE>(const std::vector<BYTE>& data)>;

// All texts UTF-8. Empty on failure (logged): no callback, an empty device id, device nonce or
// correlation id, a callback that fails or gives no signature.
std::vector<BYTE> BuildEntraAuthRequestMessage(uint64_t requestId, const std::string& deviceId,
                                               const std::string& deviceNonce, const std::string& brokerUserSid,
                                               const std::string& correlationId, const std::string& p2pCertificate,
                                               const SignatureCallback& computeSignature) noexcept;

// base64url without padding, through CryptBinaryToStringA; raises an EntraFailure.
std::string Base64UrlEncode(const BYTE* data, size_t size);

}  // namespace EntraAuth
