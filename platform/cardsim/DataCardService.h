// A smart card service described by data: readers with their state words, ATRs, card types,
// providers and key containers holding real DER certificates. Tests and the simulation build
// steer every branch of a card search through the description, and the counters show whether
// the caller gave back every context, handle and buffer it was handed.
#pragma once
#include "platform/SmartCardService.h"

#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace platform::cardsim {

struct CardContainer {
    std::wstring keyName;
    std::vector<BYTE> certificate;  // DER; empty: the key has no certificate
    DWORD legacyKeySpec = AT_KEYEXCHANGE;
};

struct CardReader {
    std::wstring name;
    DWORD state = SCARD_STATE_PRESENT;  // reported as the event state; high 16 bits: event count
    std::vector<BYTE> atr;
    std::wstring cardType;  // the name listed for the ATR; empty: no card type knows it
    std::wstring csp, ksp;  // empty: none registered for the card type
    std::vector<CardContainer> containers;
};

struct CardServiceDescription {
    bool running = true;          // false: the started event is never signalled, no context
    DWORD startsAfterMs = 0;      // the started event is signalled that long after the first look
    bool startedEventNull = false;
    LONG establishError = 0;      // every EstablishContext fails with it
    bool invalidateContextOnce = false;  // the first ListReaders answers SCARD_E_INVALID_HANDLE
    LONG arrivalWaitErrorOnce = 0;       // the first wait on "\\?PnP?\Notification" fails with it
    std::vector<CardReader> readers;
    std::vector<CardReader> arriving;    // added to the readers once the arrival wait saw them
    DWORD arrivesAfterMs = 0;            // after the first arrival wait began
};

// No service at all: every context is refused at once (a system without the smart card service).
inline CardServiceDescription NoCardService() {
    CardServiceDescription none;
    none.running = false;
    none.startedEventNull = true;
    return none;
}

class DataCardService final : public ISmartCardService {
public:
    explicit DataCardService(CardServiceDescription description = {});
    ~DataCardService() override;
    DataCardService(const DataCardService&) = delete;
    DataCardService& operator=(const DataCardService&) = delete;

    // Replaces the description and forgets the history (the first look, the errors given once).
    void Describe(CardServiceDescription description);

    // What is still out: contexts, provider and key handles, buffers, started-event references.
    struct Outstanding {
        int contexts = 0, handles = 0, buffers = 0, startedEvents = 0;
    };
    Outstanding Live();

    HANDLE AccessStartedEvent() override;
    void ReleaseStartedEvent() override;
    LONG EstablishContext(DWORD scope, SCARDCONTEXT* context) override;
    LONG ReleaseContext(SCARDCONTEXT context) override;
    LONG ListReaders(SCARDCONTEXT context, std::vector<std::wstring>* readers) override;
    LONG GetStatusChange(SCARDCONTEXT context, DWORD timeoutMs, SCARD_READERSTATEW* states, DWORD count) override;
    LONG ListCards(SCARDCONTEXT context, const BYTE* atr, std::vector<std::wstring>* cards) override;
    LONG GetCardTypeProviderName(SCARDCONTEXT context, const wchar_t* cardName, DWORD providerId,
                                 std::wstring* providerName) override;

    SECURITY_STATUS OpenStorageProvider(NCRYPT_PROV_HANDLE* provider, const wchar_t* name, DWORD flags) override;
    SECURITY_STATUS EnumKeys(NCRYPT_PROV_HANDLE provider, const wchar_t* scope, NCryptKeyName** key,
                             void** enumState, DWORD flags) override;
    SECURITY_STATUS OpenKey(NCRYPT_PROV_HANDLE provider, NCRYPT_KEY_HANDLE* key, const wchar_t* name,
                            DWORD legacyKeySpec, DWORD flags) override;
    SECURITY_STATUS GetProperty(NCRYPT_HANDLE object, const wchar_t* property, BYTE* output, DWORD size,
                                DWORD* result, DWORD flags) override;
    SECURITY_STATUS FreeObject(NCRYPT_HANDLE object) override;
    SECURITY_STATUS FreeBuffer(void* buffer) override;

    BOOL AcquireContext(HCRYPTPROV* provider, const wchar_t* container, const wchar_t* providerName,
                        DWORD providerType, DWORD flags) override;
    BOOL GetProvParam(HCRYPTPROV provider, DWORD param, BYTE* data, DWORD* size, DWORD flags) override;
    BOOL GetUserKey(HCRYPTPROV provider, DWORD keySpec, HCRYPTKEY* key) override;
    BOOL GetKeyParam(HCRYPTKEY key, DWORD param, BYTE* data, DWORD* size, DWORD flags) override;
    BOOL DestroyKey(HCRYPTKEY key) override;
    BOOL ReleaseProvider(HCRYPTPROV provider, DWORD flags) override;

private:
    // One open provider, key or CryptoAPI context: the reader (scope) and container it names.
    struct Handle {
        enum Kind { Provider, Key, Csp, CspKey } kind;
        std::wstring reader, container;
        size_t enumPosition = 0;  // PP_ENUMCONTAINERS
    };
    const CardReader* FindReader(const std::wstring& name) const;
    const CardContainer* FindContainer(const std::wstring& reader, const std::wstring& container) const;
    bool KnownProvider(const wchar_t* name) const;
    ULONG_PTR NewHandle(Handle handle);
    Handle* Lookup(ULONG_PTR id, int kinds);
    bool Drop(ULONG_PTR id, int kinds);
    LONG WaitForArrival(DWORD timeoutMs, SCARD_READERSTATEW* state);
    BOOL EnumContainer(Handle& csp, BYTE* data, DWORD* size, DWORD flags);

    std::mutex lock_;
    CardServiceDescription description_;
    HANDLE startedEvent_ = nullptr;  // a waitable timer: signalled when the service "runs"
    bool invalidated_ = false, arrivalFailed_ = false, arrived_ = false;
    ULONGLONG arrivalWaitStart_ = 0;
    int startedRefs_ = 0;
    std::map<SCARDCONTEXT, bool> contexts_;
    std::map<ULONG_PTR, Handle> handles_;
    std::map<void*, bool> buffers_;
    ULONG_PTR nextId_ = 0x5C00;
};

}  // namespace platform::cardsim
