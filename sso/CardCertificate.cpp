// The chain parameters carry the URL retrieval timeout only with the extra fields.
#define CERT_CHAIN_PARA_HAS_EXTRA_FIELDS
#include "CardCertificate.h"

#include "SecureText.h"

#include "lib/mfw/common/config/Config.h"
#include "lib/mfw/common/log/SysMessage.h"
#include "lib/mfw/common/util/ErrorText.h"

#include <cstring>
#include <cwchar>

using namespace CORE;

namespace {

constexpr const wchar_t* kFn = L"IsValidCertificate";
constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
constexpr const wchar_t* kPolicyKey =
    L"HKEY_LOCAL_MACHINE\\SOFTWARE\\Policies\\Microsoft\\Windows\\SmartCardCredentialProvider";

bool PolicyAllows(const wchar_t* value) {
    return ParseBool(ReadRegistryValue(std::wstring(kPolicyKey) + L"\\" + value, L"0"));
}

bool EqualNoCase(const std::wstring& a, const std::wstring& b) { return ::_wcsicmp(a.c_str(), b.c_str()) == 0; }

// Reads one DER header of the expected tag at `*p`; the content must lie inside [*p, end).
bool ReadDer(const BYTE** p, const BYTE* end, BYTE tag, size_t* length) {
    if (end - *p < 2 || (*p)[0] != tag) return false;
    size_t len = (*p)[1];
    const BYTE* content = *p + 2;
    if (len & 0x80) {
        size_t bytes = len & 0x7F;
        if (bytes == 0 || bytes > 2 || static_cast<size_t>(end - content) < bytes) return false;
        len = 0;
        for (size_t i = 0; i < bytes; ++i) len = (len << 8) | *content++;
    }
    if (static_cast<size_t>(end - content) < len) return false;
    *p = content;
    *length = len;
    return true;
}

// ReadDer takes at most two length bytes, so the text is under 64 KiB.
std::wstring Utf8Text(const BYTE* p, size_t length) {
    return secmgr::Utf8ToWideText(std::string_view(reinterpret_cast<const char*>(p), length));
}

// otherName ::= [0] { type-id OID, [0] EXPLICIT UTF8String }: the text when type-id is the UPN.
std::wstring UpnOtherName(const BYTE* p, const BYTE* end) {
    static const BYTE kUpnOid[] = {0x2B, 0x06, 0x01, 0x04, 0x01, 0x82, 0x37, 0x14, 0x02, 0x03};  // ...311.20.2.3
    size_t length = 0;
    if (!ReadDer(&p, end, 0x06, &length) || length != sizeof(kUpnOid) || std::memcmp(p, kUpnOid, length) != 0)
        return L"";
    p += length;
    if (!ReadDer(&p, end, 0xA0, &length) || !ReadDer(&p, p + length, 0x0C, &length)) return L"";
    return Utf8Text(p, length);
}

std::wstring IssuerName(PCCERT_CONTEXT cert) {
    DWORD type = CERT_X500_NAME_STR;
    wchar_t name[1024];
    DWORD chars = ::CertGetNameStringW(cert, CERT_NAME_RDN_TYPE, CERT_NAME_ISSUER_FLAG, &type, name, 1024);
    return chars > 1 ? std::wstring(name) : std::wstring();
}

bool ListHas(const std::vector<std::wstring>& list, const std::wstring& text) {
    for (const auto& item : list)
        if (EqualNoCase(item, text)) return true;
    return false;
}

}  // namespace

std::wstring GetCertSubjectName(PCCERT_CONTEXT cert) {
    DWORD type = CERT_X500_NAME_STR;
    // One call for the usual short name: formatting the name is the costly part of a check.
    wchar_t shortName[256];
    DWORD chars = ::CertGetNameStringW(cert, CERT_NAME_RDN_TYPE, 0, &type, shortName, 256);
    if (chars < 256) return chars > 1 ? std::wstring(shortName, chars - 1) : std::wstring();
    chars = ::CertGetNameStringW(cert, CERT_NAME_RDN_TYPE, 0, &type, nullptr, 0);
    if (chars <= 1) return L"";
    std::wstring name(chars, L'\0');
    ::CertGetNameStringW(cert, CERT_NAME_RDN_TYPE, 0, &type, name.data(), chars);
    name.resize(chars - 1);
    return name;
}

// Read from the extension's DER itself: Wine's CertGetNameStringW knows no UPN or e-mail name
// and its decoder refuses alternative names that hold an other name.
std::wstring GetCertUserPrincipalName(PCCERT_CONTEXT cert) {
    const CERT_INFO* info = cert->pCertInfo;
    PCERT_EXTENSION extension = ::CertFindExtension(szOID_SUBJECT_ALT_NAME2, info->cExtension, info->rgExtension);
    if (!extension) extension = ::CertFindExtension(szOID_SUBJECT_ALT_NAME, info->cExtension, info->rgExtension);
    if (!extension) return L"";
    const BYTE* p = extension->Value.pbData;
    const BYTE* end = p + extension->Value.cbData;
    size_t length = 0;
    if (!ReadDer(&p, end, 0x30, &length)) return L"";
    end = p + length;
    std::wstring mail;
    while (p < end) {
        BYTE tag = p[0];
        if (!ReadDer(&p, end, tag, &length)) break;
        if (tag == 0xA0) {  // otherName
            std::wstring upn = UpnOtherName(p, p + length);
            if (!upn.empty()) return upn;
        } else if (tag == 0x81 && mail.empty()) {  // rfc822Name, IA5String
            mail = Utf8Text(p, length);
        }
        p += length;
    }
    return mail;
}

std::wstring GetCertificateProperty(PCCERT_CONTEXT cert, DWORD propertyId) {
    DWORD size = 0;
    if (!::CertGetCertificateContextProperty(cert, propertyId, nullptr, &size) || size == 0) return L"";
    std::vector<BYTE> data(size);
    if (!::CertGetCertificateContextProperty(cert, propertyId, data.data(), &size)) return L"";
    std::wstring hex;
    wchar_t digits[3];
    for (DWORD i = 0; i < size; ++i) {
        std::swprintf(digits, 3, L"%02x", data[i]);
        hex += digits;
    }
    return hex;
}

namespace {

bool NamesMatch(PCCERT_CONTEXT cert, const std::vector<std::wstring>& upns, const std::wstring& desiredSubject) {
    std::wstring upn = GetCertUserPrincipalName(cert);
    std::wstring subject = GetCertSubjectName(cert);
    if (upn.empty() && subject.empty()) {
        LogMessage(LOG_DEBUG, L"%s: Cert has no subject name or subject alt name. Skipping cert.", kFn);
        return false;
    }
    LogMessage(LOG_TRACE, L"%s: Found cert with subject name '%s' and user principal name '%s'.", kFn,
               subject.c_str(), upn.c_str());
    if (!desiredSubject.empty()) {
        if (EqualNoCase(subject, desiredSubject)) return true;
        LogMessage(LOG_DEBUG, L"%s: Cert's subject name '%s' doesn't match desired subject name of '%s'. Skipping cert.",
                   kFn, subject.c_str(), desiredSubject.c_str());
        return false;
    }
    if (upns.empty() || ListHas(upns, upn)) return true;
    LogMessage(LOG_DEBUG, L"%s: Cert's user principal name doesn't match any specified user principal name. Skipping cert.",
               kFn);
    return false;
}

bool WithinValidity(PCCERT_CONTEXT cert, bool allowTimeInvalid) {
    if (allowTimeInvalid) return true;
    LONG position = ::CertVerifyTimeValidity(nullptr, cert->pCertInfo);
    if (position < 0) LogMessage(LOG_DEBUG, L"%s: Certificate is not valid yet. Skipping cert.", kFn);
    if (position > 0) LogMessage(LOG_DEBUG, L"%s: Certificate is expired. Skipping cert.", kFn);
    return position == 0;
}

bool SignsDigitally(PCCERT_CONTEXT cert) {
    BYTE usage = 0;
    ::SetLastError(ERROR_SUCCESS);
    if (!::CertGetIntendedKeyUsage(kEncoding, cert->pCertInfo, &usage, 1)) {
        DWORD error = ::GetLastError();
        if (error)
            LogMessage(LOG_DEBUG, L"%s: Unable to retrieve key usage. %s. Error code is '0x%x'. Skipping cert.", kFn,
                       SystemErrorText(error).c_str(), error);
        else
            LogMessage(LOG_DEBUG, L"%s: Cert has no intended key usage. Skipping cert.", kFn);
        return false;
    }
    if (usage & CERT_DIGITAL_SIGNATURE_KEY_USAGE) return true;
    LogMessage(LOG_DEBUG, L"%s: Cert does not have Digital Signature key usage. Skipping cert.", kFn);
    return false;
}

bool HasLogonUsage(PCCERT_CONTEXT cert, bool allowNoEku) {
    if (allowNoEku) return true;
    DWORD size = 0;
    if (!::CertGetEnhancedKeyUsage(cert, 0, nullptr, &size)) {
        DWORD error = ::GetLastError();
        LogMessage(LOG_DEBUG, L"%s: Could not retrieve EKU size. %s. Error code is '0x%x'. Skipping cert.", kFn,
                   SystemErrorText(error).c_str(), error);
        return false;
    }
    std::vector<BYTE> buffer(size ? size : sizeof(CERT_ENHKEY_USAGE));
    auto* usage = reinterpret_cast<CERT_ENHKEY_USAGE*>(buffer.data());
    if (!::CertGetEnhancedKeyUsage(cert, 0, usage, &size)) {
        DWORD error = ::GetLastError();
        LogMessage(LOG_DEBUG, L"%s: Could not retrieve EKU buffer. %s. Error code is '0x%x'. Skipping cert.", kFn,
                   SystemErrorText(error).c_str(), error);
        return false;
    }
    for (DWORD i = 0; i < usage->cUsageIdentifier; ++i) {
        const char* oid = usage->rgpszUsageIdentifier[i];
        if (oid && (std::strcmp(oid, szOID_KP_SMARTCARD_LOGON) == 0 || std::strcmp(oid, szOID_PKIX_KP_CLIENT_AUTH) == 0))
            return true;
    }
    LogMessage(LOG_DEBUG,
               L"%s: Cert does not have Smart Card Logon or Client Authentication enhanced key usage. Skipping cert.", kFn);
    return false;
}

bool ChainHasIssuer(PCCERT_CHAIN_CONTEXT chain, const std::vector<std::wstring>& validIssuers) {
    LogMessage(LOG_TRACE, L"%s: Got certificate chain. Inspecting it for a valid issuer.", kFn);
    for (DWORD c = 0; c < chain->cChain; ++c)
        for (DWORD e = 0; e < chain->rgpChain[c]->cElement; ++e) {
            std::wstring issuer = IssuerName(chain->rgpChain[c]->rgpElement[e]->pCertContext);
            LogMessage(LOG_TRACE, L"%s: Found issuer '%s' in certificate's chain.", kFn, issuer.c_str());
            if (!issuer.empty() && ListHas(validIssuers, issuer)) {
                LogMessage(LOG_TRACE, L"%s: Cert contains a valid issuer in its chain. Adding cert to list.", kFn);
                return true;
            }
        }
    return false;
}

bool IssuedByValidIssuer(PCCERT_CONTEXT cert, const std::vector<std::wstring>& validIssuers) {
    CERT_CHAIN_PARA para = {};
    para.cbSize = sizeof(para);
    para.dwUrlRetrievalTimeout = 100;
    PCCERT_CHAIN_CONTEXT chain = nullptr;
    bool match = false;
    if (::CertGetCertificateChain(nullptr, cert, nullptr, nullptr, &para, CERT_CHAIN_REVOCATION_ACCUMULATIVE_TIMEOUT,
                                  nullptr, &chain) && chain) {
        match = ChainHasIssuer(chain, validIssuers);
        ::CertFreeCertificateChain(chain);
    } else {
        LogMessage(LOG_TRACE, L"%s: Couldn't get certificate chain. Checking certificate's issuer instead.", kFn);
        std::wstring issuer = IssuerName(cert);
        if (issuer.empty()) {
            LogMessage(LOG_DEBUG, L"%s: Cert has no issuer name. Skipping cert.", kFn);
            return false;
        }
        match = ListHas(validIssuers, issuer);
        if (match) LogMessage(LOG_TRACE, L"%s: Cert matches a valid issuer. Adding cert to list.", kFn);
    }
    if (!match) LogMessage(LOG_DEBUG, L"%s: Cert didn't match a valid issuer. Skipping cert.", kFn);
    return match;
}

}  // namespace

CertificateWanted ReadCertificateWanted(const std::vector<std::wstring>& upns, const std::wstring& subject) {
    return {upns, subject, PolicyAllows(L"AllowTimeInvalidCertificates"), PolicyAllows(L"AllowCertificatesWithNoEKU")};
}

bool IsValidCertificate(PCCERT_CONTEXT cert, const std::vector<std::wstring>& acceptableUpns,
                        const std::wstring& desiredSubject, const std::wstring& thumbprint,
                        const std::vector<std::wstring>& validIssuers) {
    return IsValidCertificate(cert, ReadCertificateWanted(acceptableUpns, desiredSubject), thumbprint, validIssuers);
}

bool IsValidCertificate(PCCERT_CONTEXT cert, const CertificateWanted& wanted, const std::wstring& thumbprint,
                        const std::vector<std::wstring>& validIssuers) {
    if (!cert || !NamesMatch(cert, wanted.upns, wanted.subject)) return false;
    if (!thumbprint.empty()) {
        std::wstring own = GetCertificateProperty(cert, CERT_SHA1_HASH_PROP_ID);
        if (!EqualNoCase(own, thumbprint)) {
            LogMessage(LOG_DEBUG, L"%s: Cert's thumbprint '%s' doesn't match desired thumbprint of '%s'. Skipping cert.",
                       kFn, own.c_str(), thumbprint.c_str());
            return false;
        }
    }
    if (!WithinValidity(cert, wanted.allowTimeInvalid) || !SignsDigitally(cert) || !HasLogonUsage(cert, wanted.allowNoEku))
        return false;
    return validIssuers.empty() || IssuedByValidIssuer(cert, validIssuers);
}
