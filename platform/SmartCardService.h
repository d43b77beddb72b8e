// The smart card service and the card's key providers, with the semantics of their winscard,
// ncrypt and advapi32 namesakes. Wine has no smart card service and no card providers, so the
// test and simulation builds answer these calls from a description of cards (platform/cardsim).
// Lists come back as vectors, so no SCardFreeMemory is needed.
#pragma once
#include <windows.h>
#include <wincrypt.h>
#include <winscard.h>
#include <ncrypt.h>

#include <string>
#include <vector>

#ifndef SCARD_PROVIDER_KSP
#define SCARD_PROVIDER_KSP 3  // newer than the mingw-w64 headers
#endif

namespace platform {

class ISmartCardService {
public:
    virtual ~ISmartCardService() = default;

    // --- The smart card service (winscard) ---
    // The event the service signals once it runs; null when it cannot be had. Each handle
    // returned is given back with one ReleaseStartedEvent and never closed by the caller.
    virtual HANDLE AccessStartedEvent() = 0;
    virtual void ReleaseStartedEvent() = 0;
    virtual LONG EstablishContext(DWORD scope, SCARDCONTEXT* context) = 0;
    virtual LONG ReleaseContext(SCARDCONTEXT context) = 0;
    // Every reader of every group.
    virtual LONG ListReaders(SCARDCONTEXT context, std::vector<std::wstring>* readers) = 0;
    virtual LONG GetStatusChange(SCARDCONTEXT context, DWORD timeoutMs, SCARD_READERSTATEW* states, DWORD count) = 0;
    // The card types matching an ATR.
    virtual LONG ListCards(SCARDCONTEXT context, const BYTE* atr, std::vector<std::wstring>* cards) = 0;
    // providerId SCARD_PROVIDER_CSP or SCARD_PROVIDER_KSP.
    virtual LONG GetCardTypeProviderName(SCARDCONTEXT context, const wchar_t* cardName, DWORD providerId,
                                         std::wstring* providerName) = 0;

    // --- Key storage providers (ncrypt) ---
    virtual SECURITY_STATUS OpenStorageProvider(NCRYPT_PROV_HANDLE* provider, const wchar_t* name, DWORD flags) = 0;
    // `key` and `enumState` are freed with FreeBuffer.
    virtual SECURITY_STATUS EnumKeys(NCRYPT_PROV_HANDLE provider, const wchar_t* scope, NCryptKeyName** key,
                                     void** enumState, DWORD flags) = 0;
    virtual SECURITY_STATUS OpenKey(NCRYPT_PROV_HANDLE provider, NCRYPT_KEY_HANDLE* key, const wchar_t* name,
                                    DWORD legacyKeySpec, DWORD flags) = 0;
    virtual SECURITY_STATUS GetProperty(NCRYPT_HANDLE object, const wchar_t* property, BYTE* output, DWORD size,
                                        DWORD* result, DWORD flags) = 0;
    virtual SECURITY_STATUS FreeObject(NCRYPT_HANDLE object) = 0;
    virtual SECURITY_STATUS FreeBuffer(void* buffer) = 0;

    // --- Cryptographic service providers (CryptoAPI) ---
    virtual BOOL AcquireContext(HCRYPTPROV* provider, const wchar_t* container, const wchar_t* providerName,
                                DWORD providerType, DWORD flags) = 0;
    virtual BOOL GetProvParam(HCRYPTPROV provider, DWORD param, BYTE* data, DWORD* size, DWORD flags) = 0;
    virtual BOOL GetUserKey(HCRYPTPROV provider, DWORD keySpec, HCRYPTKEY* key) = 0;
    virtual BOOL GetKeyParam(HCRYPTKEY key, DWORD param, BYTE* data, DWORD* size, DWORD flags) = 0;
    virtual BOOL DestroyKey(HCRYPTKEY key) = 0;
    virtual BOOL ReleaseProvider(HCRYPTPROV provider, DWORD flags) = 0;  // CryptReleaseContext
};

}  // namespace platform
