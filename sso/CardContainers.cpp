#include "CardAccess.h"

#include "lib/mfw/common/log/SysMessage.h"
#include "lib/mfw/common/util/ErrorText.h"

#include <new>

using namespace CORE;
using platform::CardService;

namespace {

constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

std::wstring ReaderScope(const std::wstring& reader) { return L"\\\\.\\" + reader + L"\\"; }

platform::unique_cert CertificateFromBytes(const std::vector<BYTE>& der, const wchar_t* fn) {
    platform::unique_cert cert(::CertCreateCertificateContext(kEncoding, der.data(), static_cast<DWORD>(der.size())));
    if (!cert) {
        DWORD error = ::GetLastError();
        LogMessage(LOG_TRACE, L"%s: CertCreateCertificateContext failed. %s, Error code is 0x%08x.", fn,
                   SystemErrorText(error).c_str(), error);
    }
    return cert;
}

enum class KeyOutcome { Skip, Match, Stop };

// One key of the enumeration: its certificate property, checked against the names.
KeyOutcome CheckCardKey(NCRYPT_PROV_HANDLE provider, const NCryptKeyName& name, const CertificateWanted& wanted) {
    const wchar_t* fn = L"CNGValidateCertFromCard";
    platform::unique_ncrypt key;
    SECURITY_STATUS status = CardService().OpenKey(provider, key.put(),
                                                   name.pszName, name.dwLegacyKeySpec, NCRYPT_SILENT_FLAG);
    const wchar_t* failed = L"%s: NCryptOpenKey failed for Key '%s'. %s, Error code is 0x%08x.";
    DWORD size = 0;
    if (status == ERROR_SUCCESS) {
        status = CardService().GetProperty(key.get(), NCRYPT_CERTIFICATE_PROPERTY, nullptr, 0, &size, NCRYPT_SILENT_FLAG);
        failed = L"%s: NCryptGetProperty(size) failed for Key '%s'. %s, Error code is 0x%08x.";
    }
    std::vector<BYTE> der;
    if (status == ERROR_SUCCESS) {
        try {
            der.resize(size);
        } catch (const std::bad_alloc&) {
            LogMessage(LOG_TRACE, L"%s: Failed to allocate memory(%lu bytes) for certificate blob (Key %s).", fn,
                       static_cast<unsigned long>(size), name.pszName);
            return KeyOutcome::Stop;
        }
        status = CardService().GetProperty(key.get(), NCRYPT_CERTIFICATE_PROPERTY, der.data(), size, &size,
                                           NCRYPT_SILENT_FLAG);
        failed = L"%s: NCryptGetProperty failed for Key '%s'. %s, Error code is 0x%08x.";
    }
    if (status != ERROR_SUCCESS) {
        LogMessage(LOG_TRACE, failed, fn, name.pszName, SystemErrorText(static_cast<DWORD>(status)).c_str(),
                   static_cast<unsigned>(status));
        return KeyOutcome::Skip;
    }
    der.resize(std::min<size_t>(size, der.size()));
    platform::unique_cert cert = CertificateFromBytes(der, fn);
    return cert && IsValidCertificate(cert.get(), wanted) ? KeyOutcome::Match : KeyOutcome::Skip;
}

// The enumeration state is the provider's buffer, freed once the enumeration ends.
struct EnumState {
    void* state = nullptr;
    ~EnumState() {
        if (state) CardService().FreeBuffer(state);
    }
};

bool FindKeyWithValidCertificate(NCRYPT_PROV_HANDLE provider, const std::wstring& scope,
                                 const CertificateWanted& wanted, std::wstring& containerName) {
    EnumState enumeration;
    for (;;) {
        NCryptKeyName* raw = nullptr;
        SECURITY_STATUS status =
            CardService().EnumKeys(provider, scope.c_str(), &raw, &enumeration.state, NCRYPT_SILENT_FLAG);
        platform::unique_ncrypt_buffer owned(raw);
        if (status == NTE_NO_MORE_ITEMS) return false;
        if (status != ERROR_SUCCESS || !raw) {
            LogMessage(LOG_DEBUG, L"%s: NCryptEnumKeys failed. %s, Error code is 0x%08x.", L"CNGValidateCertFromCard",
                       SystemErrorText(static_cast<DWORD>(status)).c_str(), static_cast<unsigned>(status));
            return false;
        }
        KeyOutcome outcome = CheckCardKey(provider, *raw, wanted);
        if (outcome == KeyOutcome::Stop) return false;
        if (outcome == KeyOutcome::Match) {
            containerName = raw->pszName;
            return true;
        }
    }
}

}  // namespace

bool GetCardNameAndCSPFromReader(const BYTE* atr, SCARDCONTEXT context, std::wstring& cardName,
                                 std::wstring& providerName, bool& isKsp) {
    const wchar_t* fn = L"GetCardNameAndCSPFromReader";
    std::vector<std::wstring> cards;
    LONG result = CardService().ListCards(context, atr, &cards);
    // No card type knows the ATR: nothing below can name a provider for it.
    if (result == SCARD_S_SUCCESS && cards.empty()) result = SCARD_E_UNKNOWN_CARD;
    if (result != SCARD_S_SUCCESS) {
        LogMessage(LOG_DEBUG, L"%s: Unable to list cards in reader. %s. Error code is 0x%x.", fn,
                   SystemErrorText(static_cast<DWORD>(result)).c_str(), static_cast<unsigned>(result));
        return false;
    }
    std::wstring card = cards.front(), provider;
    result = CardService().GetCardTypeProviderName(context, card.c_str(), SCARD_PROVIDER_CSP, &provider);
    bool ksp = result != SCARD_S_SUCCESS;
    if (ksp) {
        LogMessage(LOG_DEBUG, L"%s: Unable to retrieve CSP for smart card '%s'. %s. Error code is 0x%x.", fn,
                   card.c_str(), SystemErrorText(static_cast<DWORD>(result)).c_str(), static_cast<unsigned>(result));
        result = CardService().GetCardTypeProviderName(context, card.c_str(), SCARD_PROVIDER_KSP, &provider);
        if (result != SCARD_S_SUCCESS) {
            LogMessage(LOG_TRACE, L"%s: Unable to retrieve KSP for smart card '%s'. %s. Error code is 0x%x.", fn,
                       card.c_str(), SystemErrorText(static_cast<DWORD>(result)).c_str(), static_cast<unsigned>(result));
            return false;
        }
    }
    cardName = card;
    providerName = provider;
    isKsp = ksp;
    return true;
}

bool CNGValidateCertFromCard(const CertificateWanted& wanted, const std::wstring& providerName,
                             const std::wstring& readerName, std::wstring& containerName) {
    const wchar_t* fn = L"CNGValidateCertFromCard";
    LogMessage(LOG_TRACE, L"%s: Calling NCryptOpenStorageProvider.", fn);
    platform::unique_ncrypt provider;
    SECURITY_STATUS status = CardService().OpenStorageProvider(provider.put(), providerName.c_str(), 0);
    if (status != ERROR_SUCCESS) {
        LogMessage(LOG_DEBUG, L"%s: Unable to open storage provider '%s'. %s, Error code is 0x%08x. Is the card inserted?",
                   fn, providerName.c_str(), SystemErrorText(static_cast<DWORD>(status)).c_str(),
                   static_cast<unsigned>(status));
        return false;
    }
    std::wstring scope = ReaderScope(readerName);
    LogMessage(LOG_TRACE, L"%s: Enumrate all the certificates on %s.", fn, scope.c_str());
    bool found = FindKeyWithValidCertificate(provider.get(), scope, wanted, containerName);
    LogMessage(LOG_TRACE, L"%s: Finished Enumrating certificates on the card, matching certificate %s.", fn,
               found ? L"found" : L"not found");
    return found;
}

platform::unique_cert CreateCertificateFromContainer(HCRYPTPROV provider) {
    const wchar_t* fn = L"CreateCertificateFromContainer";
    platform::unique_cryptkey key;
    DWORD size = 0;
    const wchar_t* failed = L"%s: Unable to get the AT_KEYEXCHANGE crypt key. %s. Error code is 0x%x. Skipping cert.";
    bool ok = CardService().GetUserKey(provider, AT_KEYEXCHANGE, key.put());
    if (ok) {
        failed = L"%s: Unable to retrieve the certificate data length. %s. Error code is 0x%x. Skipping cert.";
        ok = CardService().GetKeyParam(key.get(), KP_CERTIFICATE, nullptr, &size, 0);
    }
    std::vector<BYTE> der;
    if (ok) {
        der.resize(size);
        failed = L"%s: Unable to retrieve the certificate data. %s. Error code is 0x%x. Skipping cert.";
        ok = CardService().GetKeyParam(key.get(), KP_CERTIFICATE, der.data(), &size, 0);
    }
    if (!ok) {
        DWORD error = ::GetLastError();
        LogMessage(LOG_TRACE, failed, fn, SystemErrorText(error).c_str(), error);
        return platform::unique_cert();
    }
    der.resize(std::min<size_t>(size, der.size()));
    return CertificateFromBytes(der, fn);
}

namespace {

// One container of the card, opened by its fully qualified name so it is read from this reader.
bool ContainerHasValidCertificate(const std::wstring& readerName, const std::wstring& container,
                                  const std::wstring& providerName, const CertificateWanted& wanted) {
    platform::unique_cryptprov context;
    std::wstring qualified = ReaderScope(readerName) + container;
    if (!CardService().AcquireContext(context.put(), qualified.c_str(), providerName.c_str(), PROV_RSA_FULL,
                                      CRYPT_SILENT)) {
        LogMessage(LOG_TRACE, L"%s: CryptAcquireContext failed.", L"CryptoValidateCertFromCard");
        return false;
    }
    platform::unique_cert cert = CreateCertificateFromContainer(context.get());
    return cert && IsValidCertificate(cert.get(), wanted);
}

std::wstring WidenContainerName(const char* name) {
    int chars = ::MultiByteToWideChar(CP_ACP, 0, name, -1, nullptr, 0);
    if (chars <= 1) return L"";
    std::wstring text(chars, L'\0');
    ::MultiByteToWideChar(CP_ACP, 0, name, -1, text.data(), chars);
    text.resize(chars - 1);
    return text;
}

}  // namespace

bool CryptoValidateCertFromCard(const CertificateWanted& wanted, const std::wstring& providerName,
                                const std::wstring& readerName, std::wstring& containerName) {
    const wchar_t* fn = L"CryptoValidateCertFromCard";
    platform::unique_cryptprov card;
    std::wstring defaultContainer = ReaderScope(readerName);
    if (!CardService().AcquireContext(card.put(), defaultContainer.c_str(), providerName.c_str(), PROV_RSA_FULL,
                                      CRYPT_SILENT)) {
        DWORD error = ::GetLastError();
        LogMessage(LOG_TRACE,
                   L"%s: Unable to acquire context to default container '%s' from CSP '%s'. %s, Error code is 0x%08x. "
                   L"Is the card inserted?",
                   fn, defaultContainer.c_str(), providerName.c_str(), SystemErrorText(error).c_str(), error);
        return false;
    }
    DWORD longest = 0;
    if (!CardService().GetProvParam(card.get(), PP_ENUMCONTAINERS, nullptr, &longest, CRYPT_FIRST)) {
        DWORD error = ::GetLastError();
        LogMessage(LOG_TRACE, L"%s: Unable to retrieve max container size for card '%s'. %s. Error code is 0x%x.", fn,
                   readerName.c_str(), SystemErrorText(error).c_str(), error);
        return false;
    }
    std::vector<char> name(static_cast<size_t>(longest) + 1, '\0');  // the last byte stays a terminator
    for (DWORD flags = CRYPT_FIRST;; flags = CRYPT_NEXT) {
        DWORD size = longest;
        if (!CardService().GetProvParam(card.get(), PP_ENUMCONTAINERS, reinterpret_cast<BYTE*>(name.data()), &size,
                                        flags)) {
            DWORD error = ::GetLastError();
            if (error != ERROR_NO_MORE_ITEMS)
                LogMessage(LOG_DEBUG, L"%s: Failed to retrieve certificate from smart card. Error code is 0x%08x. %s", fn,
                           error, SystemErrorText(error).c_str());
            return false;
        }
        std::wstring container = WidenContainerName(name.data());
        if (!container.empty() && ContainerHasValidCertificate(readerName, container, providerName, wanted)) {
            containerName = container;
            return true;
        }
    }
}
