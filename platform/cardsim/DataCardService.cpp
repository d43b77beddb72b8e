#include "DataCardService.h"

#include <cstdlib>
#include <algorithm>
#include <cstring>

namespace platform::cardsim {
namespace {

constexpr const wchar_t* kPnpNotification = L"\\\\?PnP?\\Notification";
constexpr int Bit(int kind) { return 1 << kind; }

// "\\.\<reader>\<container>" -> reader and container (either may be empty).
void SplitScope(const wchar_t* scope, std::wstring* reader, std::wstring* container) {
    std::wstring text = scope ? scope : L"";
    reader->clear(), container->clear();
    if (text.rfind(L"\\\\.\\", 0) != 0) {
        *container = text;
        return;
    }
    text.erase(0, 4);
    size_t slash = text.find(L'\\');
    *reader = text.substr(0, slash);
    if (slash != std::wstring::npos) *container = text.substr(slash + 1);
}

BOOL Fail(DWORD error) {
    ::SetLastError(error);
    return FALSE;
}

// Copies `bytes` with the size-query convention of CryptGetProvParam and CryptGetKeyParam.
BOOL CopyOut(const void* bytes, DWORD length, BYTE* data, DWORD* size) {
    if (!size) return Fail(ERROR_INVALID_PARAMETER);
    if (!data) return *size = length, TRUE;
    if (*size < length) return *size = length, Fail(ERROR_MORE_DATA);
    std::memcpy(data, bytes, length);
    *size = length;
    return TRUE;
}

}  // namespace

DataCardService::DataCardService(CardServiceDescription description) : description_(std::move(description)) {}

DataCardService::~DataCardService() {
    if (startedEvent_) ::CloseHandle(startedEvent_);
    for (auto& [buffer, unused] : buffers_) std::free(buffer);
}

void DataCardService::Describe(CardServiceDescription description) {
    std::lock_guard<std::mutex> guard(lock_);
    description_ = std::move(description);
    if (startedEvent_) ::CloseHandle(startedEvent_);
    startedEvent_ = nullptr;
    invalidated_ = arrivalFailed_ = arrived_ = false;
    arrivalWaitStart_ = 0;
}

DataCardService::Outstanding DataCardService::Live() {
    std::lock_guard<std::mutex> guard(lock_);
    return {static_cast<int>(contexts_.size()), static_cast<int>(handles_.size()), static_cast<int>(buffers_.size()),
            startedRefs_};
}

const CardReader* DataCardService::FindReader(const std::wstring& name) const {
    for (const auto& reader : description_.readers)
        if (reader.name == name) return &reader;
    if (arrived_)
        for (const auto& reader : description_.arriving)
            if (reader.name == name) return &reader;
    return nullptr;
}

const CardContainer* DataCardService::FindContainer(const std::wstring& reader, const std::wstring& name) const {
    const CardReader* found = FindReader(reader);
    if (!found) return nullptr;
    for (const auto& container : found->containers)
        if (container.keyName == name) return &container;
    return nullptr;
}

bool DataCardService::KnownProvider(const wchar_t* name) const {
    if (!name) return false;
    for (const auto* list : {&description_.readers, &description_.arriving})
        for (const auto& reader : *list)
            if ((!reader.csp.empty() && reader.csp == name) || (!reader.ksp.empty() && reader.ksp == name)) return true;
    return false;
}

ULONG_PTR DataCardService::NewHandle(Handle handle) {
    ULONG_PTR id = ++nextId_;
    handles_.emplace(id, std::move(handle));
    return id;
}

DataCardService::Handle* DataCardService::Lookup(ULONG_PTR id, int kinds) {
    auto found = handles_.find(id);
    return found != handles_.end() && (Bit(found->second.kind) & kinds) ? &found->second : nullptr;
}

bool DataCardService::Drop(ULONG_PTR id, int kinds) {
    if (!Lookup(id, kinds)) return false;
    handles_.erase(id);
    return true;
}

// --- The service ---

HANDLE DataCardService::AccessStartedEvent() {
    std::lock_guard<std::mutex> guard(lock_);
    if (description_.startedEventNull) return nullptr;
    if (!startedEvent_) {
        startedEvent_ = ::CreateWaitableTimerW(nullptr, TRUE, nullptr);
        LARGE_INTEGER due;
        due.QuadPart = -10000LL * description_.startsAfterMs - 1;
        if (startedEvent_ && description_.running) ::SetWaitableTimer(startedEvent_, &due, 0, nullptr, nullptr, FALSE);
    }
    ++startedRefs_;
    return startedEvent_;
}

void DataCardService::ReleaseStartedEvent() {
    std::lock_guard<std::mutex> guard(lock_);
    --startedRefs_;
}

LONG DataCardService::EstablishContext(DWORD, SCARDCONTEXT* context) {
    std::lock_guard<std::mutex> guard(lock_);
    bool started = description_.running &&
                   (description_.startsAfterMs == 0 ||
                    (startedEvent_ && ::WaitForSingleObject(startedEvent_, 0) == WAIT_OBJECT_0));
    if (!context) return SCARD_E_INVALID_PARAMETER;
    if (!started) return SCARD_E_NO_SERVICE;
    if (description_.establishError) return description_.establishError;
    *context = ++nextId_;
    contexts_[*context] = true;
    return SCARD_S_SUCCESS;
}

LONG DataCardService::ReleaseContext(SCARDCONTEXT context) {
    std::lock_guard<std::mutex> guard(lock_);
    return contexts_.erase(context) ? SCARD_S_SUCCESS : SCARD_E_INVALID_HANDLE;
}

LONG DataCardService::ListReaders(SCARDCONTEXT context, std::vector<std::wstring>* readers) {
    std::lock_guard<std::mutex> guard(lock_);
    readers->clear();
    if (!contexts_.count(context)) return SCARD_E_INVALID_HANDLE;
    if (description_.invalidateContextOnce && !invalidated_) {
        invalidated_ = true;
        return SCARD_E_INVALID_HANDLE;
    }
    for (const auto& reader : description_.readers) readers->push_back(reader.name);
    if (arrived_)
        for (const auto& reader : description_.arriving) readers->push_back(reader.name);
    return readers->empty() ? SCARD_E_NO_READERS_AVAILABLE : SCARD_S_SUCCESS;
}

LONG DataCardService::GetStatusChange(SCARDCONTEXT context, DWORD timeoutMs, SCARD_READERSTATEW* states,
                                      DWORD count) {
    std::unique_lock<std::mutex> guard(lock_);
    if (!contexts_.count(context)) return SCARD_E_INVALID_HANDLE;
    if (count == 1 && states[0].szReader && std::wcscmp(states[0].szReader, kPnpNotification) == 0) {
        guard.unlock();
        return WaitForArrival(timeoutMs, &states[0]);
    }
    for (DWORD i = 0; i < count; ++i) {
        const CardReader* reader = states[i].szReader ? FindReader(states[i].szReader) : nullptr;
        DWORD state = reader ? reader->state : SCARD_STATE_UNKNOWN;
        states[i].dwEventState = state | (state != states[i].dwCurrentState ? SCARD_STATE_CHANGED : 0);
        states[i].cbAtr = 0;
        if (reader && reader->atr.size() <= sizeof(states[i].rgbAtr)) {
            std::memcpy(states[i].rgbAtr, reader->atr.data(), reader->atr.size());
            states[i].cbAtr = static_cast<DWORD>(reader->atr.size());
        }
    }
    return SCARD_S_SUCCESS;
}

LONG DataCardService::WaitForArrival(DWORD timeoutMs, SCARD_READERSTATEW* state) {
    std::unique_lock<std::mutex> guard(lock_);
    if (description_.arrivalWaitErrorOnce && !arrivalFailed_) {
        arrivalFailed_ = true;
        return description_.arrivalWaitErrorOnce;
    }
    ULONGLONG now = ::GetTickCount64();
    if (!arrivalWaitStart_) arrivalWaitStart_ = now;
    ULONGLONG due = arrivalWaitStart_ + description_.arrivesAfterMs;
    bool arrives = !description_.arriving.empty() && due <= now + timeoutMs;
    guard.unlock();
    ::Sleep(arrives ? static_cast<DWORD>(due > now ? due - now : 0) : timeoutMs);
    if (!arrives) return SCARD_E_TIMEOUT;
    guard.lock();
    arrived_ = true;
    state->dwEventState = SCARD_STATE_CHANGED | (static_cast<DWORD>(description_.readers.size() +
                                                                     description_.arriving.size()) << 16);
    return SCARD_S_SUCCESS;
}

LONG DataCardService::ListCards(SCARDCONTEXT context, const BYTE* atr, std::vector<std::wstring>* cards) {
    std::lock_guard<std::mutex> guard(lock_);
    cards->clear();
    if (!contexts_.count(context)) return SCARD_E_INVALID_HANDLE;
    for (const auto* list : {&description_.readers, &description_.arriving})
        for (const auto& reader : *list)
            if (atr && !reader.atr.empty() && !reader.cardType.empty() &&
                std::memcmp(reader.atr.data(), atr, reader.atr.size()) == 0)
                cards->push_back(reader.cardType);
    return SCARD_S_SUCCESS;
}

LONG DataCardService::GetCardTypeProviderName(SCARDCONTEXT context, const wchar_t* cardName, DWORD providerId,
                                              std::wstring* providerName) {
    std::lock_guard<std::mutex> guard(lock_);
    providerName->clear();
    if (!contexts_.count(context)) return SCARD_E_INVALID_HANDLE;
    for (const auto* list : {&description_.readers, &description_.arriving})
        for (const auto& reader : *list) {
            if (!cardName || reader.cardType != cardName) continue;
            *providerName = providerId == SCARD_PROVIDER_CSP ? reader.csp
                            : providerId == SCARD_PROVIDER_KSP ? reader.ksp : L"";
            return providerName->empty() ? static_cast<LONG>(ERROR_FILE_NOT_FOUND) : SCARD_S_SUCCESS;
        }
    return SCARD_E_UNKNOWN_CARD;
}

// --- Key storage providers ---

SECURITY_STATUS DataCardService::OpenStorageProvider(NCRYPT_PROV_HANDLE* provider, const wchar_t* name, DWORD) {
    std::lock_guard<std::mutex> guard(lock_);
    if (!provider) return NTE_INVALID_PARAMETER;
    if (!KnownProvider(name)) return NTE_BAD_PROVIDER;
    *provider = NewHandle({Handle::Provider, L"", L""});
    return ERROR_SUCCESS;
}

SECURITY_STATUS DataCardService::EnumKeys(NCRYPT_PROV_HANDLE provider, const wchar_t* scope, NCryptKeyName** key,
                                          void** enumState, DWORD) {
    std::lock_guard<std::mutex> guard(lock_);
    Handle* open = Lookup(provider, Bit(Handle::Provider));
    if (!open || !key || !enumState) return NTE_INVALID_HANDLE;
    std::wstring container;
    SplitScope(scope, &open->reader, &container);
    if (!*enumState) {
        *enumState = std::calloc(1, sizeof(size_t));
        buffers_[*enumState] = true;
    }
    size_t& position = *static_cast<size_t*>(*enumState);
    const CardReader* reader = FindReader(open->reader);
    if (!reader || position >= reader->containers.size()) return NTE_NO_MORE_ITEMS;
    const CardContainer& next = reader->containers[position++];
    size_t bytes = sizeof(NCryptKeyName) + (next.keyName.size() + 1) * sizeof(wchar_t);
    auto* name = static_cast<NCryptKeyName*>(std::calloc(1, bytes));
    name->pszName = reinterpret_cast<wchar_t*>(name + 1);
    std::memcpy(name->pszName, next.keyName.c_str(), (next.keyName.size() + 1) * sizeof(wchar_t));
    name->dwLegacyKeySpec = next.legacyKeySpec;
    buffers_[name] = true;
    *key = name;
    return ERROR_SUCCESS;
}

SECURITY_STATUS DataCardService::OpenKey(NCRYPT_PROV_HANDLE provider, NCRYPT_KEY_HANDLE* key, const wchar_t* name,
                                         DWORD, DWORD) {
    std::lock_guard<std::mutex> guard(lock_);
    Handle* open = Lookup(provider, Bit(Handle::Provider));
    if (!open || !key || !name) return NTE_INVALID_PARAMETER;
    if (!FindContainer(open->reader, name)) return NTE_BAD_KEYSET;
    *key = NewHandle({Handle::Key, open->reader, name});
    return ERROR_SUCCESS;
}

SECURITY_STATUS DataCardService::GetProperty(NCRYPT_HANDLE object, const wchar_t* property, BYTE* output, DWORD size,
                                             DWORD* result, DWORD) {
    std::lock_guard<std::mutex> guard(lock_);
    Handle* key = Lookup(object, Bit(Handle::Key));
    if (!key || !result) return NTE_INVALID_HANDLE;
    if (!property || std::wcscmp(property, NCRYPT_CERTIFICATE_PROPERTY) != 0) return NTE_NOT_SUPPORTED;
    const CardContainer* container = FindContainer(key->reader, key->container);
    if (!container || container->certificate.empty()) return NTE_NOT_FOUND;
    *result = static_cast<DWORD>(container->certificate.size());
    if (!output) return ERROR_SUCCESS;
    if (size < *result) return NTE_BUFFER_TOO_SMALL;
    std::memcpy(output, container->certificate.data(), *result);
    return ERROR_SUCCESS;
}

SECURITY_STATUS DataCardService::FreeObject(NCRYPT_HANDLE object) {
    std::lock_guard<std::mutex> guard(lock_);
    return Drop(object, Bit(Handle::Provider) | Bit(Handle::Key)) ? ERROR_SUCCESS : NTE_INVALID_HANDLE;
}

SECURITY_STATUS DataCardService::FreeBuffer(void* buffer) {
    std::lock_guard<std::mutex> guard(lock_);
    if (!buffers_.erase(buffer)) return NTE_INVALID_PARAMETER;
    std::free(buffer);
    return ERROR_SUCCESS;
}

// --- CryptoAPI providers ---

BOOL DataCardService::AcquireContext(HCRYPTPROV* provider, const wchar_t* container, const wchar_t* providerName,
                                     DWORD providerType, DWORD) {
    std::lock_guard<std::mutex> guard(lock_);
    std::wstring reader, name;
    SplitScope(container, &reader, &name);
    if (!provider || providerType != PROV_RSA_FULL) return Fail(NTE_BAD_PROV_TYPE);
    const CardReader* card = FindReader(reader);
    if (!card || !providerName || card->csp.empty() || card->csp != providerName) return Fail(NTE_KEYSET_NOT_DEF);
    if (!name.empty() && !FindContainer(reader, name)) return Fail(NTE_BAD_KEYSET);
    *provider = NewHandle({Handle::Csp, reader, name});
    return TRUE;
}

BOOL DataCardService::GetProvParam(HCRYPTPROV provider, DWORD param, BYTE* data, DWORD* size, DWORD flags) {
    std::lock_guard<std::mutex> guard(lock_);
    Handle* csp = Lookup(provider, Bit(Handle::Csp));
    if (!csp) return Fail(NTE_BAD_UID);
    if (param != PP_ENUMCONTAINERS) return Fail(NTE_BAD_TYPE);
    return EnumContainer(*csp, data, size, flags);
}

// Container names are narrow; a size query answers the longest name.
BOOL DataCardService::EnumContainer(Handle& csp, BYTE* data, DWORD* size, DWORD flags) {
    const CardReader* reader = FindReader(csp.reader);
    std::vector<std::string> names;
    for (const auto& container : reader->containers) names.emplace_back(container.keyName.begin(), container.keyName.end());
    if (!data) {
        size_t longest = 0;
        for (const auto& name : names) longest = std::max(longest, name.size() + 1);
        return CopyOut(nullptr, static_cast<DWORD>(longest), nullptr, size);
    }
    if (flags & CRYPT_FIRST) csp.enumPosition = 0;
    if (csp.enumPosition >= names.size()) return Fail(ERROR_NO_MORE_ITEMS);
    const std::string& name = names[csp.enumPosition];
    if (!CopyOut(name.c_str(), static_cast<DWORD>(name.size() + 1), data, size)) return FALSE;
    ++csp.enumPosition;
    return TRUE;
}

BOOL DataCardService::GetUserKey(HCRYPTPROV provider, DWORD keySpec, HCRYPTKEY* key) {
    std::lock_guard<std::mutex> guard(lock_);
    Handle* csp = Lookup(provider, Bit(Handle::Csp));
    if (!csp || !key) return Fail(NTE_BAD_UID);
    const CardContainer* container = FindContainer(csp->reader, csp->container);
    if (!container || container->legacyKeySpec != keySpec) return Fail(NTE_NO_KEY);
    *key = NewHandle({Handle::CspKey, csp->reader, csp->container});
    return TRUE;
}

BOOL DataCardService::GetKeyParam(HCRYPTKEY key, DWORD param, BYTE* data, DWORD* size, DWORD) {
    std::lock_guard<std::mutex> guard(lock_);
    Handle* open = Lookup(key, Bit(Handle::CspKey));
    if (!open) return Fail(NTE_BAD_KEY);
    if (param != KP_CERTIFICATE) return Fail(NTE_BAD_TYPE);
    const CardContainer* container = FindContainer(open->reader, open->container);
    if (!container || container->certificate.empty()) return Fail(static_cast<DWORD>(SCARD_E_NO_SUCH_CERTIFICATE));
    return CopyOut(container->certificate.data(), static_cast<DWORD>(container->certificate.size()), data, size);
}

BOOL DataCardService::DestroyKey(HCRYPTKEY key) {
    std::lock_guard<std::mutex> guard(lock_);
    return Drop(key, Bit(Handle::CspKey)) ? TRUE : Fail(NTE_BAD_KEY);
}

BOOL DataCardService::ReleaseProvider(HCRYPTPROV provider, DWORD) {
    std::lock_guard<std::mutex> guard(lock_);
    return Drop(provider, Bit(Handle::Csp)) ? TRUE : Fail(NTE_BAD_UID);
}

}  // namespace platform::cardsim
