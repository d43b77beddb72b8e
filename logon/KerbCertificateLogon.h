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
// were. Strings may be null (= empty). Registry switches under "HKLM\Software\Velmora\Zephral":
// "\Agent\Configuration\DisableSmartcardDomainHint", and for smart cards (isCertSso false)
// "LookupFQDNOnSmartCard", "UseDomainOnSmartCard", "DisableSmartCardHintOptimization".
// Returns 0; SCARD_E_NO_MEMORY (0x80100006) when the buffer cannot be allocated; E_INVALIDARG
// without outputs; HRESULT_FROM_WIN32(ERROR_INVALID_PARAMETER) for a user, domain or PIN too
// long for a counted string; HRESULT_FROM_WIN32(ERROR_ARITHMETIC_OVERFLOW) for names too long
// for any buffer.
[[nodiscard]] HRESULT BuildKerbCertificateLogon(BYTE** logonBuffer, DWORD* cbLogon,
                                                CREDENTIAL_PROVIDER_USAGE_SCENARIO usageScenario, PCWSTR dnsDomainName,
                                                PCWSTR domainName, PCWSTR userName, PCWSTR brokerUserSid,
                                                const std::vector<std::wstring>& upnList, PCWSTR readerName,
                                                PCWSTR cardName, PCWSTR containerName, PCWSTR providerName, PCWSTR pin,
                                                DWORD keySpec, bool isCertSso) noexcept;
