// The certificate logon the tile sends for smart card SSO, CertSSO and Windows Hello CertSSO:
// the layout of CertificateLogon.h, with user and domain hints chosen from the credentials
// record, the registry switches and, when needed, account resolution.
//
// Buffer: the 80-byte certificate logon header (MessageType 15 for a workstation unlock, else
// 13; LogonId zero), then the passed domain, the user name and the PIN (the PIN always gets its
// offset, also when empty; an absent domain or user is Length 0, Buffer 0), then the CSP
// information block. Its size is 168 + 2 x (user + PIN + reader + card + container + provider
// + passed domain characters): the blocks plus 32 trailing zero bytes.
#pragma once
#include "LogonBufferTypes.h"

#include "platform/sdk/CredProv.h"

#include <string>
#include <vector>

inline constexpr DWORD kKerbCertificateLogonFixedSize = 168;

// Builds into a new CoTaskMemAlloc buffer. A buffer already held by *logonBuffer (with its size
// in *cbLogon) is zeroed and freed once the new one is built; on failure both are left as they
// were. Registry switches under "HKLM\Software\Velmora\Zephral":
// "\Agent\Configuration\DisableSmartcardDomainHint", and for smart cards (isCertSso false)
// "LookupFQDNOnSmartCard", "UseDomainOnSmartCard", "DisableSmartCardHintOptimization".
// Returns 0; SCARD_E_NO_MEMORY (0x80100006) when the buffer cannot be allocated; E_INVALIDARG
// without outputs; HRESULT_FROM_WIN32(ERROR_INVALID_PARAMETER) for a user, domain or PIN too
// long for a counted string; HRESULT_FROM_WIN32(ERROR_ARITHMETIC_OVERFLOW) for names too long
// for any buffer.
// What the certificate logon is built from. Strings may be null (= empty).
struct KerbCertificateLogonRequest {
    CREDENTIAL_PROVIDER_USAGE_SCENARIO scenario = CPUS_LOGON;
    PCWSTR dnsDomainName = nullptr;
    PCWSTR domainName = nullptr;
    PCWSTR userName = nullptr;
    PCWSTR brokerUserSid = nullptr;
    std::vector<std::wstring> upnList;  // the principal names the certificate may carry, best first
    PCWSTR readerName = nullptr;
    PCWSTR cardName = nullptr;
    PCWSTR containerName = nullptr;
    PCWSTR providerName = nullptr;
    PCWSTR pin = nullptr;
    DWORD keySpec = 0;
    bool isCertSso = false;  // CertSSO or Windows Hello CertSSO; false for a smart card
};

[[nodiscard]] HRESULT BuildKerbCertificateLogon(const KerbCertificateLogonRequest& request, BYTE** logonBuffer,
                                                DWORD* cbLogon) noexcept;
