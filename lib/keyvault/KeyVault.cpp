// The key vault's call gate and its direct functions (format and rules in KeyVault.h).
#include "KeyVault.h"

#include "DerivedKeyCipher.h"
#include "MasterKeyStore.h"

#include "platform/Platform.h"

#include <bcrypt.h>

#include <new>

namespace keyvault {
namespace {

using detail::Failed;
using detail::NotExecuted;

// Decimal digits only: a count from outside is never guessed at.
bool ParseIterations(const std::wstring& text, ULONG* iterations) {
    if (text.empty() || text.size() > 10) return false;
    unsigned long long value = 0;
    for (wchar_t c : text) {
        if (c < L'0' || c > L'9') return false;
        value = value * 10 + static_cast<unsigned>(c - L'0');
    }
    if (value == 0 || value > kMaxIterations) return false;
    *iterations = static_cast<ULONG>(value);
    return true;
}

bool ReadDerivation(const CORE::PropertyBag& request, Derivation* derivation, Status* status) {
    derivation->hashAlgorithm = request.Get(L"hashAlgorithm");
    if (!ParseIterations(request.Get(L"iterations"), &derivation->iterations)) {
        *status = Failed(KV_ERROR_BAD_REQUEST, L"Iteration count missing or out of range");
        return false;
    }
    if (!request.GetBinary(L"salt", &derivation->salt)) {
        *status = Failed(KV_ERROR_BAD_REQUEST, L"Salt missing");
        return false;
    }
    derivation->iv.clear();
    if (request.Contains(L"transform")) {
        if (request.TypeOf(L"transform") != CORE::PropertyBag::ITEM_BAG ||
            !request.GetBag(L"transform").GetBinary(L"KP_IV", &derivation->iv)) {
            *status = Failed(KV_ERROR_BAD_REQUEST, L"Transform without KP_IV");
            return false;
        }
        if (derivation->iv.size() != kBlockSize) {
            *status = Failed(KV_ERROR_BAD_REQUEST, L"IV must have 16 bytes");
            return false;
        }
    }
    return detail::ValidDerivation(*derivation, status);
}

DWORD Answer(const Status& status, CORE::PropertyBag& response) {
    if (status.result == KV_FAILED)
        response.SetError(status.code, status.text);
    else if (status.result != KV_SUCCESS)
        response.SetErrorText(status.text);
    return status.result;
}

DWORD Dispatch(const std::wstring& operation, const CORE::PropertyBag& request, CORE::PropertyBag& response,
               const BYTE* input, size_t inputLength, CORE::SecureBytes& output) {
    const std::wstring name = request.Get(L"name");
    const bool decipher = operation == L"decipherWithDerivedKey";
    if (decipher || operation == L"encipherWithDerivedKey") {
        Derivation derivation;
        Status status;
        if (!ReadDerivation(request, &derivation, &status)) return Answer(status, response);
        if (decipher) return Answer(DecipherWithDerivedKey(name, derivation, input, inputLength, &output), response);
        std::vector<BYTE> cipher;
        status = EncipherWithDerivedKey(name, derivation, input, inputLength, &cipher);
        if (status.ok()) output.assign(cipher.begin(), cipher.end());
        return Answer(status, response);
    }
    if (operation == L"exist") return Answer(CheckMasterKey(name), response);
    if (operation == L"latest") {
        Status status = CheckMasterKey(name);
        if (status.ok()) response.Set(L"version", L"1");
        return Answer(status, response);
    }
    if (operation == L"addMaster") return Answer(EnsureMasterKey(name), response);
    if (operation == L"isShared") {
        Status status;
        if (detail::ValidKeyName(name, &status)) response.Set(L"shared", L"false");
        return Answer(status, response);
    }
    return Answer(NotExecuted(L"Unknown key vault operation '" + operation + L"'"), response);
}

template <typename Body>
Status Guarded(Body body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return Status{KV_NOT_EXECUTED, 0, L"OutOfMem"};
    } catch (...) {
        return Status{KV_NOT_EXECUTED, 0, L"Unexpected failure"};
    }
}

}  // namespace

DWORD Call(const std::wstring& operation, const CORE::PropertyBag& request, CORE::PropertyBag& response,
           const BYTE* input, size_t inputLength, CORE::SecureBytes& output) noexcept {
    DWORD result = KV_NOT_EXECUTED;
    try {
        Wipe(output);
        if (platform::Get().ConsumeKeyVaultNotReadyCall()) {
            response.SetError(KV_ERROR_NOT_READY, L"Key vault not ready");
            return KV_FAILED;
        }
        result = Dispatch(operation, request, response, input, inputLength, output);
    } catch (const std::bad_alloc&) {
        Wipe(output);
        try {
            response.SetErrorText(L"OutOfMem");
        } catch (...) {
        }
        return KV_NOT_EXECUTED;
    } catch (const std::exception& e) {
        Wipe(output);
        try {
            std::string what = e.what();
            response.SetErrorText(L"Key vault failure: " + std::wstring(what.begin(), what.end()));
        } catch (...) {
        }
        return KV_NOT_EXECUTED;
    }
    if (result != KV_SUCCESS) Wipe(output);
    return result;
}

Status EnsureMasterKey(const std::wstring& name) noexcept {
    return Guarded([&] {
        Status status;
        if (!detail::ValidKeyName(name, &status)) return status;
        CORE::SecureBytes key(kMasterKeyLength, 0);
        if (!RandomBytes(key.data(), key.size())) return NotExecuted(L"Random generator failed");
        return detail::StoreMasterKey(name, key.data(), key.size(), false);
    });
}

Status ImportMasterKey(const std::wstring& name, const BYTE* key, size_t length) noexcept {
    return Guarded([&] { return detail::StoreMasterKey(name, key, length, true); });
}

Status DeleteMasterKey(const std::wstring& name) noexcept {
    return Guarded([&] { return detail::RemoveMasterKey(name); });
}

Status CheckMasterKey(const std::wstring& name) noexcept {
    return Guarded([&] {
        CORE::SecureBytes key;
        return detail::LoadMasterKey(name, &key);
    });
}

Status EncipherWithDerivedKey(const std::wstring& name, const Derivation& derivation, const BYTE* plain,
                              size_t plainLength, std::vector<BYTE>* cipher) noexcept {
    return Guarded([&] {
        cipher->clear();
        Status status;
        if (!detail::ValidKeyName(name, &status) || !detail::ValidDerivation(derivation, &status)) return status;
        CORE::SecureBytes master, derived;
        status = detail::LoadMasterKey(name, &master);
        if (status.ok()) status = detail::DeriveKey(master, derivation, &derived);
        if (status.ok()) status = detail::Encipher(derived, derivation.iv, plain, plainLength, cipher);
        return status;
    });
}

Status DecipherWithDerivedKey(const std::wstring& name, const Derivation& derivation, const BYTE* cipher,
                              size_t cipherLength, CORE::SecureBytes* plain) noexcept {
    return Guarded([&] {
        Wipe(*plain);
        Status status;
        if (!detail::ValidKeyName(name, &status) || !detail::ValidDerivation(derivation, &status)) return status;
        if (!cipher || cipherLength == 0 || cipherLength % kBlockSize != 0)
            return Failed(KV_ERROR_BAD_REQUEST, L"Cipher text is not a whole number of blocks");
        if (cipherLength > kMaxCipherLength) return Failed(KV_ERROR_BAD_REQUEST, L"Cipher text too long");
        CORE::SecureBytes master, derived;
        status = detail::LoadMasterKey(name, &master);
        if (status.ok()) status = detail::DeriveKey(master, derivation, &derived);
        if (status.ok()) status = detail::Decipher(derived, derivation.iv, cipher, cipherLength, plain);
        return status;
    });
}

bool RandomBytes(BYTE* out, size_t length) noexcept {
    while (length) {
        ULONG chunk = length > 0x10000000 ? 0x10000000 : static_cast<ULONG>(length);
        if (!BCRYPT_SUCCESS(::BCryptGenRandom(nullptr, out, chunk, BCRYPT_USE_SYSTEM_PREFERRED_RNG))) return false;
        out += chunk;
        length -= chunk;
    }
    return true;
}

}  // namespace keyvault
