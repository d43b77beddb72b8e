// The tests a smart card certificate must pass before it may be used for a logon, and the
// names and properties they read from it.
#pragma once
#include <windows.h>
#include <wincrypt.h>

#include "platform/CryptResource.h"

#include <string>
#include <vector>

// The subject in RDN string form; empty when it has none.
std::wstring GetCertSubjectName(PCCERT_CONTEXT cert);
// The user principal name of the subject alternative name, else its rfc822Name; empty when
// it carries neither.
std::wstring GetCertUserPrincipalName(PCCERT_CONTEXT cert);
// A property of the context (CERT_SHA1_HASH_PROP_ID for the thumbprint) as lower-case hex;
// empty when it cannot be read.
std::wstring GetCertificateProperty(PCCERT_CONTEXT cert, DWORD propertyId);

// What a card search looks for, with the two relaxations of the smart card policy, read once
// per search (the registry reads cost more than the checks of a certificate).
struct CertificateWanted {
    std::vector<std::wstring> upns;
    std::wstring subject;
    bool allowTimeInvalid = false;  // "AllowTimeInvalidCertificates"
    bool allowNoEku = false;        // "AllowCertificatesWithNoEKU"
};
CertificateWanted ReadCertificateWanted(const std::vector<std::wstring>& upns, const std::wstring& subject);

// Names (UPN list, else a desired subject), thumbprint, validity period, key usage, enhanced
// key usage and issuers, in that order; each empty filter accepts anything.
bool IsValidCertificate(PCCERT_CONTEXT cert, const std::vector<std::wstring>& acceptableUpns,
                        const std::wstring& desiredSubject, const std::wstring& thumbprint,
                        const std::vector<std::wstring>& validIssuers);
bool IsValidCertificate(PCCERT_CONTEXT cert, const CertificateWanted& wanted, const std::wstring& thumbprint = L"",
                        const std::vector<std::wstring>& validIssuers = {});
