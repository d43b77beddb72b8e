// Account and domain resolution for certificate logons: the brokered user's SID or a UPN
// becomes a SAM account name and the domain to hand the Kerberos package as hints.
#pragma once
#include <windows.h>

#include <string>

// hintOptimizationDisabled: resolve through the UPN and TranslateNameW instead of the SID and
// DsGetDcNameW. sid and upn may be null or empty. lookupDnsDomain asks for the domain in DNS
// form. False with the last error set when no account could be resolved; the outputs are then
// unspecified.
bool GetCredentialsFromUPN(bool hintOptimizationDisabled, PCWSTR sid, PCWSTR upn, bool lookupDnsDomain,
                           std::wstring* userName, std::wstring* domainName);
