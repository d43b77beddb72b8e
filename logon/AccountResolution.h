// Account and domain resolution for certificate logons: the brokered user's SID or a UPN
// becomes a SAM account name and the domain to hand the Kerberos package as hints.
#pragma once
#include <windows.h>

#include <string>

// hintOptimizationDisabled: resolve through the UPN and TranslateNameW instead of the SID and
// DsGetDcNameW. sid and upn may be null or empty. lookupDnsDomain asks for the domain in DNS
// form (the NetBIOS domain when that fails). False with the last error set (ERROR_INVALID_DATA
// when neither SID nor UPN leads to an account) when no account could be resolved; the outputs
// are then untouched.
bool GetCredentialsFromUPN(bool hintOptimizationDisabled, PCWSTR sid, PCWSTR upn, bool lookupDnsDomain,
                           std::wstring* userName, std::wstring* domainName);

// The DNS name of a NetBIOS domain: from a domain controller's answer, or (hint optimization
// disabled) from its canonical name with every slash removed.
bool LookupFQDNDomain(bool hintOptimizationDisabled, const std::wstring& netbiosDomain, std::wstring* dnsDomain);
