// The stand-in remote client's reading of the service's signed request (entra/EntraAuthRequest.h):
// the signature is checked with the key of the P2P certificate the payload carries, as a client
// that trusts that certificate does, before any member is believed.
#pragma once
#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

namespace agentsim {

struct SignedRequest {
    uint64_t requestId = 0;
    std::string deviceId, deviceNonce, correlationId, brokerSid;
};

// False, with the reason, for a message that is not three base64url parts and a trailing zero
// byte, whose payload lacks a member, or whose RS256 signature does not verify; the request id
// is read before the signature is checked, so that a refusal can name the request it refuses.
bool VerifySignedRequest(const std::vector<BYTE>& message, SignedRequest* request, std::string* why);

}  // namespace agentsim
