// A small security package with the SSPI call shapes, for the builds that run under Wine (the
// tests, the _sim DLL and agentsim), where no SSPI handshake completes. It answers to the
// package names "Negotiate", "Kerberos" and "NTLM" and runs a real challenge-response over a
// 32-byte key kept in the prefix (HKCU\Software\TcfiltrSim\SecurityPackage, value "Key",
// created on first use), then protects messages with AES-256-GCM through BCrypt.
//
// Tokens (all numbers big-endian), each starting with "TCSP", a type byte and version 1:
//   1 NEGOTIATE  client -> server: requested flags u32, client nonce[16], target length u16
//                (characters) and the target name in UTF-16LE
//   2 CHALLENGE  server -> client: server nonce[16], server proof[32]
//   3 AUTH       client -> server: client proof[32]
// Proofs and keys are HMAC-SHA256 over the key: server proof of "TCSP-S"|cn|sn|flags, client
// proof of "TCSP-C"|cn|sn, direction keys of "TCSP-K-C2S"|cn|sn and "TCSP-K-S2C"|cn|sn.
// A protected message carries a 24-byte token (sequence number u64, GCM tag[16]); the nonce
// is the direction tag and the sequence number, and a message out of sequence is refused.
#pragma once
#include "platform/Platform.h"

#include <set>
#include <string>
#include <vector>

namespace platform::testpkg {

class TestSecurityPackage final : public ISecurityPackage {
public:
    TestSecurityPackage() = default;

    // Steering for tests: another key for client contexts (an impostor, while a server in
    // the same process keeps the prefix's key), packages whose credentials cannot be had,
    // and attributes the established context drops.
    std::vector<BYTE> clientKeyOverride;
    std::set<std::wstring> unavailablePackages;  // compared ignoring case
    ULONG attributesDropped = 0;

    SECURITY_STATUS AcquireCredentials(const wchar_t* package, ULONG credentialUse, PCredHandle credential,
                                       PTimeStamp expiry) override;
    SECURITY_STATUS InitializeContext(PCredHandle credential, PCtxtHandle context, const wchar_t* targetName,
                                      ULONG requestFlags, PSecBufferDesc input, PCtxtHandle newContext,
                                      PSecBufferDesc output, ULONG* contextAttributes, PTimeStamp expiry) override;
    SECURITY_STATUS AcceptContext(PCredHandle credential, PCtxtHandle context, PSecBufferDesc input,
                                  ULONG requestFlags, PCtxtHandle newContext, PSecBufferDesc output,
                                  ULONG* contextAttributes, PTimeStamp expiry) override;
    SECURITY_STATUS QueryContextAttributes(PCtxtHandle context, ULONG attribute, void* buffer) override;
    SECURITY_STATUS EncryptMessage(PCtxtHandle context, ULONG qop, PSecBufferDesc message, ULONG sequence) override;
    SECURITY_STATUS DecryptMessage(PCtxtHandle context, PSecBufferDesc message, ULONG sequence, ULONG* qop) override;
    SECURITY_STATUS DeleteContext(PCtxtHandle context) override;
    SECURITY_STATUS FreeCredentials(PCredHandle credential) override;
    SECURITY_STATUS FreeContextBuffer(void* buffer) override;

    // The prefix's key, created when missing; false when it can be neither read nor made.
    static bool PrefixKey(std::vector<BYTE>* key);

    static constexpr ULONG kTokenBytes = 24;
    static constexpr ULONG kSupportedAttributes = 0x2 | 0x4 | 0x8 | 0x10 | 0x10000;

private:
    std::vector<BYTE> Key(bool server) const;
};

}  // namespace platform::testpkg
