#include "MasterKeyStore.h"

#include "KeyStoreAcl.h"

#include "lib/mfw/common/util/ErrorText.h"
#include "lib/mfw/common/log/SysMessage.h"
#include "platform/UniqueResource.h"

#include <wincrypt.h>
#include <dpapi.h>

#include <new>

namespace keyvault::detail {
namespace {

constexpr BYTE kFormat = 1;
constexpr size_t kBlobPlainLength = 1 + kMasterKeyLength;
// A DPAPI blob of 33 bytes is a few hundred bytes; anything far bigger is not ours.
constexpr DWORD kMaxBlobLength = 64 * 1024;
constexpr wchar_t kEntropyPrefix[] = L"Zephral.KeyVault.";
constexpr wchar_t kDescription[] = L"Zephral key vault master key";
constexpr wchar_t kCreateLockName[] = L"Global\\Velmora.Zephral.KeyVault.MasterKeys";
constexpr DWORD kCreateLockTimeoutMs = 5000;

// DPAPI output that holds key bytes: wiped before LocalFree.
class UnprotectedBlob {
public:
    UnprotectedBlob() = default;
    UnprotectedBlob(const UnprotectedBlob&) = delete;
    UnprotectedBlob& operator=(const UnprotectedBlob&) = delete;
    ~UnprotectedBlob() {
        if (blob.pbData) {
            ::SecureZeroMemory(blob.pbData, blob.cbData);
            ::LocalFree(blob.pbData);
        }
    }
    DATA_BLOB blob{};
};

// Holds the creation mutex while it lives.
class CreateLock {
public:
    CreateLock() {
        mutex_.reset(::CreateMutexW(nullptr, FALSE, kCreateLockName));
        if (!mutex_) {
            // Without the right to create global objects, creating unlocked is still better
            // than not creating; the race it guards against is between two first starts.
            CORE::LogMessage(CORE::LOG_WARN, L"KeyVault: cannot create the key store lock: %s",
                             CORE::SystemErrorText(::GetLastError()).c_str());
            held_ = true;
            return;
        }
        DWORD wait = ::WaitForSingleObject(mutex_.get(), kCreateLockTimeoutMs);
        held_ = wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED;
        owns_ = held_;
    }
    ~CreateLock() {
        if (owns_) ::ReleaseMutex(mutex_.get());
    }
    CreateLock(const CreateLock&) = delete;
    CreateLock& operator=(const CreateLock&) = delete;
    bool held() const noexcept { return held_; }

private:
    platform::unique_handle mutex_;
    bool held_ = false;
    bool owns_ = false;
};

// The entropy text: ties a blob to the (case-blind) name it is stored under.
std::wstring Entropy(const std::wstring& name) {
    std::wstring upper(name.size(), L'\0');
    int mapped = ::LCMapStringEx(LOCALE_NAME_INVARIANT, LCMAP_UPPERCASE, name.c_str(), static_cast<int>(name.size()),
                                 upper.data(), static_cast<int>(upper.size()), nullptr, nullptr, 0);
    if (mapped != static_cast<int>(name.size())) {
        upper = name;
        for (wchar_t& c : upper)
            if (c >= L'a' && c <= L'z') c = static_cast<wchar_t>(c - 32);
    }
    return kEntropyPrefix + upper;
}

DATA_BLOB EntropyBlob(const std::wstring& entropy) {
    DATA_BLOB blob;
    blob.pbData = reinterpret_cast<BYTE*>(const_cast<wchar_t*>(entropy.data()));
    blob.cbData = static_cast<DWORD>(entropy.size() * sizeof(wchar_t));
    return blob;
}

// Reads the stored blob; ERROR_FILE_NOT_FOUND when the key or the value is missing.
LSTATUS ReadBlob(const std::wstring& name, std::vector<BYTE>* blob) {
    platform::unique_hkey key;
    LSTATUS status = ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kMasterKeysPath, 0,
                                     KEY_QUERY_VALUE | READ_CONTROL | KEY_WOW64_64KEY, key.put());
    if (status != ERROR_SUCCESS) return status;
    ReportOpenKeyStore(key.get());
    // A writer may replace the value between the size query and the read: try again then.
    for (int attempt = 0; attempt < 3; ++attempt) {
        DWORD type = 0, size = 0;
        status = ::RegQueryValueExW(key.get(), name.c_str(), nullptr, &type, nullptr, &size);
        if (status != ERROR_SUCCESS) return status;
        if (type != REG_BINARY || size == 0 || size > kMaxBlobLength) return ERROR_INVALID_DATA;
        blob->resize(size);
        status = ::RegQueryValueExW(key.get(), name.c_str(), nullptr, &type, blob->data(), &size);
        if (status == ERROR_MORE_DATA) continue;
        if (status != ERROR_SUCCESS) return status;
        if (type != REG_BINARY) return ERROR_INVALID_DATA;
        blob->resize(size);
        return ERROR_SUCCESS;
    }
    return ERROR_MORE_DATA;
}

}  // namespace

Status Failed(DWORD code, std::wstring text) { return Status{KV_FAILED, code, std::move(text)}; }
Status NotExecuted(std::wstring text) { return Status{KV_NOT_EXECUTED, 0, std::move(text)}; }

bool ValidKeyName(const std::wstring& name, Status* status) {
    if (name.empty()) {
        *status = Failed(KV_ERROR_BAD_REQUEST, L"Key name missing");
        return false;
    }
    if (name.size() > kMaxKeyNameLength || name.find(L'\0') != std::wstring::npos) {
        *status = Failed(KV_ERROR_BAD_REQUEST, L"Key name invalid");
        return false;
    }
    return true;
}

Status LoadMasterKey(const std::wstring& name, CORE::SecureBytes* key) {
    Status status;
    if (!ValidKeyName(name, &status)) return status;
    std::vector<BYTE> stored;
    LSTATUS read = ReadBlob(name, &stored);
    if (read == ERROR_FILE_NOT_FOUND) return Failed(KV_ERROR_NO_SUCH_KEY, L"No such key: " + name);
    if (read != ERROR_SUCCESS)
        return Failed(KV_ERROR_KEY_STORE, L"Key " + name + L" cannot be read: " + CORE::SystemErrorText(read));

    std::wstring entropy = Entropy(name);
    DATA_BLOB in{static_cast<DWORD>(stored.size()), stored.data()};
    DATA_BLOB extra = EntropyBlob(entropy);
    UnprotectedBlob out;
    if (!::CryptUnprotectData(&in, nullptr, &extra, nullptr, nullptr, CRYPTPROTECT_UI_FORBIDDEN, &out.blob))
        return Failed(KV_ERROR_KEY_STORE,
                      L"Key " + name + L" cannot be opened: " + CORE::SystemErrorText(::GetLastError()));
    if (out.blob.cbData != kBlobPlainLength || out.blob.pbData[0] != kFormat)
        return Failed(KV_ERROR_KEY_STORE, L"Key " + name + L" has an unknown format");
    key->assign(out.blob.pbData + 1, out.blob.pbData + kBlobPlainLength);
    return status;
}

Status StoreMasterKey(const std::wstring& name, const BYTE* key, size_t length, bool replace) {
    Status status;
    if (!ValidKeyName(name, &status)) return status;
    if (!key || length != kMasterKeyLength) return Failed(KV_ERROR_BAD_REQUEST, L"A master key has 32 bytes");

    CreateLock lock;
    if (!lock.held()) return Status{KV_BUSY, 0, L"Key store is busy"};
    if (!replace) {
        std::vector<BYTE> existing;
        LSTATUS read = ReadBlob(name, &existing);
        if (read == ERROR_SUCCESS) {
            // Never replace a key that exists: payloads made with it would become unreadable.
            CORE::SecureBytes check;
            return LoadMasterKey(name, &check);
        }
        if (read != ERROR_FILE_NOT_FOUND)
            return Failed(KV_ERROR_KEY_STORE, L"Key " + name + L" cannot be read: " + CORE::SystemErrorText(read));
    }

    CORE::SecureBytes plain;
    plain.reserve(kBlobPlainLength);
    plain.push_back(kFormat);
    plain.insert(plain.end(), key, key + length);
    std::wstring entropy = Entropy(name);
    DATA_BLOB in{static_cast<DWORD>(plain.size()), plain.data()};
    DATA_BLOB extra = EntropyBlob(entropy);
    DATA_BLOB out{};
    if (!::CryptProtectData(&in, kDescription, &extra, nullptr, nullptr,
                            CRYPTPROTECT_LOCAL_MACHINE | CRYPTPROTECT_UI_FORBIDDEN, &out))
        return NotExecuted(L"Key " + name + L" cannot be protected: " + CORE::SystemErrorText(::GetLastError()));
    platform::unique_hlocal protectedBlob(out.pbData);

    platform::unique_hkey vault, store;
    LSTATUS written = CreateProtectedKey(kVaultKeyPath, KEY_QUERY_VALUE, vault.put());
    if (written == ERROR_SUCCESS) written = CreateProtectedKey(kMasterKeysPath, KEY_SET_VALUE, store.put());
    if (written == ERROR_SUCCESS)
        written = ::RegSetValueExW(store.get(), name.c_str(), 0, REG_BINARY, out.pbData, out.cbData);
    if (written != ERROR_SUCCESS)
        return Failed(KV_ERROR_KEY_STORE, L"Key " + name + L" cannot be stored: " + CORE::SystemErrorText(written));
    CORE::LogMessage(CORE::LOG_DEBUG, L"KeyVault: stored master key %s (%u bytes protected)", name.c_str(),
                     static_cast<unsigned>(out.cbData));
    return status;
}

Status RemoveMasterKey(const std::wstring& name) {
    Status status;
    if (!ValidKeyName(name, &status)) return status;
    platform::unique_hkey store;
    LSTATUS result = ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kMasterKeysPath, 0, KEY_SET_VALUE | KEY_WOW64_64KEY,
                                     store.put());
    if (result == ERROR_SUCCESS) result = ::RegDeleteValueW(store.get(), name.c_str());
    if (result == ERROR_FILE_NOT_FOUND) return Failed(KV_ERROR_NO_SUCH_KEY, L"No such key: " + name);
    if (result != ERROR_SUCCESS)
        return Failed(KV_ERROR_KEY_STORE, L"Key " + name + L" cannot be removed: " + CORE::SystemErrorText(result));
    return status;
}

}  // namespace keyvault::detail
