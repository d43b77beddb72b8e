// The real smart card service and card providers (winscard, ncrypt, advapi32).
#include "../SmartCardService.h"

namespace platform {
namespace {

// A multi-string the service allocated, split into its items and freed.
std::vector<std::wstring> TakeMultiString(SCARDCONTEXT context, wchar_t* multi) {
    std::vector<std::wstring> items;
    for (const wchar_t* p = multi; p && *p; p += items.back().size() + 1) items.emplace_back(p);
    if (multi) ::SCardFreeMemory(context, multi);
    return items;
}

class WinSmartCardService final : public ISmartCardService {
public:
    HANDLE AccessStartedEvent() override { return ::SCardAccessStartedEvent(); }
    void ReleaseStartedEvent() override { ::SCardReleaseStartedEvent(); }
    LONG EstablishContext(DWORD scope, SCARDCONTEXT* context) override {
        return ::SCardEstablishContext(scope, nullptr, nullptr, context);
    }
    LONG ReleaseContext(SCARDCONTEXT context) override { return ::SCardReleaseContext(context); }
    LONG ListReaders(SCARDCONTEXT context, std::vector<std::wstring>* readers) override {
        wchar_t* multi = nullptr;
        DWORD chars = SCARD_AUTOALLOCATE;
        LONG result = ::SCardListReadersW(context, nullptr, reinterpret_cast<wchar_t*>(&multi), &chars);
        *readers = TakeMultiString(context, result == SCARD_S_SUCCESS ? multi : nullptr);
        return result;
    }
    LONG GetStatusChange(SCARDCONTEXT context, DWORD timeoutMs, SCARD_READERSTATEW* states, DWORD count) override {
        return ::SCardGetStatusChangeW(context, timeoutMs, states, count);
    }
    LONG ListCards(SCARDCONTEXT context, const BYTE* atr, std::vector<std::wstring>* cards) override {
        wchar_t* multi = nullptr;
        DWORD chars = SCARD_AUTOALLOCATE;
        LONG result = ::SCardListCardsW(context, atr, nullptr, 0, reinterpret_cast<wchar_t*>(&multi), &chars);
        *cards = TakeMultiString(context, result == SCARD_S_SUCCESS ? multi : nullptr);
        return result;
    }
    LONG GetCardTypeProviderName(SCARDCONTEXT context, const wchar_t* cardName, DWORD providerId,
                                 std::wstring* providerName) override {
        wchar_t* name = nullptr;
        DWORD chars = SCARD_AUTOALLOCATE;
        LONG result = ::SCardGetCardTypeProviderNameW(context, cardName, providerId,
                                                      reinterpret_cast<wchar_t*>(&name), &chars);
        providerName->assign(result == SCARD_S_SUCCESS && name ? name : L"");
        if (name) ::SCardFreeMemory(context, name);
        return result;
    }

    SECURITY_STATUS OpenStorageProvider(NCRYPT_PROV_HANDLE* provider, const wchar_t* name, DWORD flags) override {
        return ::NCryptOpenStorageProvider(provider, name, flags);
    }
    SECURITY_STATUS EnumKeys(NCRYPT_PROV_HANDLE provider, const wchar_t* scope, NCryptKeyName** key,
                             void** enumState, DWORD flags) override {
        return ::NCryptEnumKeys(provider, scope, key, enumState, flags);
    }
    SECURITY_STATUS OpenKey(NCRYPT_PROV_HANDLE provider, NCRYPT_KEY_HANDLE* key, const wchar_t* name,
                            DWORD legacyKeySpec, DWORD flags) override {
        return ::NCryptOpenKey(provider, key, name, legacyKeySpec, flags);
    }
    SECURITY_STATUS GetProperty(NCRYPT_HANDLE object, const wchar_t* property, BYTE* output, DWORD size,
                                DWORD* result, DWORD flags) override {
        return ::NCryptGetProperty(object, property, output, size, result, flags);
    }
    SECURITY_STATUS FreeObject(NCRYPT_HANDLE object) override { return ::NCryptFreeObject(object); }
    SECURITY_STATUS FreeBuffer(void* buffer) override { return ::NCryptFreeBuffer(buffer); }

    BOOL AcquireContext(HCRYPTPROV* provider, const wchar_t* container, const wchar_t* providerName,
                        DWORD providerType, DWORD flags) override {
        return ::CryptAcquireContextW(provider, container, providerName, providerType, flags);
    }
    BOOL GetProvParam(HCRYPTPROV provider, DWORD param, BYTE* data, DWORD* size, DWORD flags) override {
        return ::CryptGetProvParam(provider, param, data, size, flags);
    }
    BOOL GetUserKey(HCRYPTPROV provider, DWORD keySpec, HCRYPTKEY* key) override {
        return ::CryptGetUserKey(provider, keySpec, key);
    }
    BOOL GetKeyParam(HCRYPTKEY key, DWORD param, BYTE* data, DWORD* size, DWORD flags) override {
        return ::CryptGetKeyParam(key, param, data, size, flags);
    }
    BOOL DestroyKey(HCRYPTKEY key) override { return ::CryptDestroyKey(key); }
    BOOL ReleaseProvider(HCRYPTPROV provider, DWORD flags) override { return ::CryptReleaseContext(provider, flags); }
};

}  // namespace

ISmartCardService& RealSmartCardService() {
    static WinSmartCardService service;
    return service;
}

}  // namespace platform
