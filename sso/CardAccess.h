// The steps of the smart card search that talk to one reader's card: its card type and
// provider, and the certificates of its key containers (CNG or legacy CryptoAPI). Every
// handle the card service hands out is held by one of the owners below.
#pragma once
#include "CardCertificate.h"

#include "platform/Platform.h"
#include "platform/UniqueResource.h"

#include <string>
#include <vector>

namespace platform {
inline ISmartCardService& CardService() { return Get().SmartCardService(); }
TC_DEFINE_UNIQUE(unique_scard_context, SCARDCONTEXT, 0, CardService().ReleaseContext(value));
TC_DEFINE_UNIQUE(unique_ncrypt, NCRYPT_HANDLE, 0, CardService().FreeObject(value));
TC_DEFINE_UNIQUE(unique_ncrypt_buffer, void*, nullptr, CardService().FreeBuffer(value));
TC_DEFINE_UNIQUE(unique_cryptprov, HCRYPTPROV, 0, CardService().ReleaseProvider(value, 0));
TC_DEFINE_UNIQUE(unique_cryptkey, HCRYPTKEY, 0, CardService().DestroyKey(value));
}  // namespace platform

// The first card type listed for the ATR and its CSP, else its KSP (isKsp true).
bool GetCardNameAndCSPFromReader(const BYTE* atr, SCARDCONTEXT context, std::wstring& cardName,
                                 std::wstring& providerName, bool& isKsp);
// The first key on the reader's card whose certificate is valid for the names; its key
// (container) name goes to containerName.
bool CNGValidateCertFromCard(const CertificateWanted& wanted, const std::wstring& providerName,
                             const std::wstring& readerName, std::wstring& containerName);
bool CryptoValidateCertFromCard(const CertificateWanted& wanted, const std::wstring& providerName,
                                const std::wstring& readerName, std::wstring& containerName);
// The certificate of the container's AT_KEYEXCHANGE key.
platform::unique_cert CreateCertificateFromContainer(HCRYPTPROV provider);
// The readers (the first 10 listed; only `readerFilter` when it is given) with their current
// states, which point into `readers`. An invalidated context is replaced.
void GetReaderInfo(std::vector<SCARD_READERSTATEW>& states, platform::unique_scard_context& context,
                   std::vector<std::wstring>& readers, const std::wstring& readerFilter);
