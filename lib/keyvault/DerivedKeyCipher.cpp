#include "DerivedKeyCipher.h"

#include "MasterKeyStore.h"

#include "platform/UniqueResource.h"

#include <bcrypt.h>

#include <cwchar>

namespace keyvault::detail {
namespace {

using platform::unique_any;
TC_DEFINE_UNIQUE(unique_bcrypt_alg, BCRYPT_ALG_HANDLE, nullptr, ::BCryptCloseAlgorithmProvider(value, 0));
TC_DEFINE_UNIQUE(unique_bcrypt_key, BCRYPT_KEY_HANDLE, nullptr, ::BCryptDestroyKey(value));

const wchar_t* HashAlgorithmId(const std::wstring& name) {
    static const struct {
        const wchar_t* name;
        const wchar_t* id;
    } kHashes[] = {
        {L"SHA1", BCRYPT_SHA1_ALGORITHM},
        {L"SHA256", BCRYPT_SHA256_ALGORITHM},
        {L"SHA384", BCRYPT_SHA384_ALGORITHM},
        {L"SHA512", BCRYPT_SHA512_ALGORITHM},
    };
    for (const auto& hash : kHashes)
        if (CORE::NamesEqualNoCase(name.data(), name.size(), hash.name, std::wcslen(hash.name))) return hash.id;
    return nullptr;
}

std::wstring StatusText(const wchar_t* what, NTSTATUS status) {
    wchar_t code[16];
    std::swprintf(code, 16, L"0x%08lX", static_cast<unsigned long>(status));
    return std::wstring(what) + L" failed, status " + code;
}

// An AES-256-CBC key object over the derived key bytes.
Status OpenCbcKey(const CORE::SecureBytes& key, unique_bcrypt_alg* alg, unique_bcrypt_key* handle) {
    if (key.size() != kMasterKeyLength) return NotExecuted(L"Derived key has the wrong length");
    NTSTATUS status = ::BCryptOpenAlgorithmProvider(alg->put(), BCRYPT_AES_ALGORITHM, nullptr, 0);
    if (!BCRYPT_SUCCESS(status)) return NotExecuted(StatusText(L"Opening AES", status));
    status = ::BCryptSetProperty(alg->get(), BCRYPT_CHAINING_MODE,
                                 reinterpret_cast<PUCHAR>(const_cast<wchar_t*>(BCRYPT_CHAIN_MODE_CBC)),
                                 static_cast<ULONG>(sizeof(BCRYPT_CHAIN_MODE_CBC)), 0);
    if (!BCRYPT_SUCCESS(status)) return NotExecuted(StatusText(L"Selecting CBC", status));
    status = ::BCryptGenerateSymmetricKey(alg->get(), handle->put(), nullptr, 0, const_cast<PUCHAR>(key.data()),
                                          static_cast<ULONG>(key.size()), 0);
    if (!BCRYPT_SUCCESS(status)) return NotExecuted(StatusText(L"Making the AES key", status));
    return Status{};
}

std::vector<BYTE> IvOrZero(const std::vector<BYTE>& iv) {
    return iv.empty() ? std::vector<BYTE>(kBlockSize, 0) : iv;
}

}  // namespace

bool ValidDerivation(const Derivation& derivation, Status* status) {
    if (!HashAlgorithmId(derivation.hashAlgorithm)) {
        *status = Failed(KV_ERROR_BAD_REQUEST, L"Unsupported hash algorithm '" + derivation.hashAlgorithm + L"'");
        return false;
    }
    if (derivation.iterations == 0 || derivation.iterations > kMaxIterations) {
        *status = Failed(KV_ERROR_BAD_REQUEST, L"Iteration count out of range");
        return false;
    }
    if (derivation.salt.empty() || derivation.salt.size() > kMaxSaltLength) {
        *status = Failed(KV_ERROR_BAD_REQUEST, L"Salt length out of range");
        return false;
    }
    if (!derivation.iv.empty() && derivation.iv.size() != kBlockSize) {
        *status = Failed(KV_ERROR_BAD_REQUEST, L"IV must have 16 bytes");
        return false;
    }
    return true;
}

Status DeriveKey(const CORE::SecureBytes& masterKey, const Derivation& derivation, CORE::SecureBytes* derived) {
    Status result;
    if (!ValidDerivation(derivation, &result)) return result;
    unique_bcrypt_alg prf;
    NTSTATUS status = ::BCryptOpenAlgorithmProvider(prf.put(), HashAlgorithmId(derivation.hashAlgorithm), nullptr,
                                                    BCRYPT_ALG_HANDLE_HMAC_FLAG);
    if (!BCRYPT_SUCCESS(status)) return NotExecuted(StatusText(L"Opening HMAC", status));
    derived->assign(kMasterKeyLength, 0);
    status = ::BCryptDeriveKeyPBKDF2(prf.get(), const_cast<PUCHAR>(masterKey.data()),
                                     static_cast<ULONG>(masterKey.size()), const_cast<PUCHAR>(derivation.salt.data()),
                                     static_cast<ULONG>(derivation.salt.size()), derivation.iterations,
                                     derived->data(), static_cast<ULONG>(derived->size()), 0);
    if (!BCRYPT_SUCCESS(status)) {
        Wipe(*derived);
        return NotExecuted(StatusText(L"PBKDF2", status));
    }
    return result;
}

Status Encipher(const CORE::SecureBytes& key, const std::vector<BYTE>& iv, const BYTE* plain, size_t length,
                std::vector<BYTE>* cipher) {
    if (length > kMaxCipherLength - kBlockSize || (length && !plain))
        return Failed(KV_ERROR_BAD_REQUEST, L"Plain text too long");
    unique_bcrypt_alg alg;
    unique_bcrypt_key handle;
    Status opened = OpenCbcKey(key, &alg, &handle);
    if (!opened.ok()) return opened;

    // PKCS#7: always at least one byte of padding, so the last block says how much to drop.
    size_t pad = kBlockSize - length % kBlockSize;
    CORE::SecureBytes padded(plain, plain + length);
    padded.insert(padded.end(), pad, static_cast<BYTE>(pad));
    std::vector<BYTE> chain = IvOrZero(iv);
    cipher->assign(padded.size(), 0);
    ULONG written = 0;
    NTSTATUS status = ::BCryptEncrypt(handle.get(), padded.data(), static_cast<ULONG>(padded.size()), nullptr,
                                      chain.data(), static_cast<ULONG>(chain.size()), cipher->data(),
                                      static_cast<ULONG>(cipher->size()), &written, 0);
    if (!BCRYPT_SUCCESS(status) || written != padded.size()) {
        cipher->clear();
        return NotExecuted(StatusText(L"AES encryption", status));
    }
    return Status{};
}

Status Decipher(const CORE::SecureBytes& key, const std::vector<BYTE>& iv, const BYTE* cipher, size_t length,
                CORE::SecureBytes* plain) {
    if (!cipher || length == 0 || length % kBlockSize != 0)
        return Failed(KV_ERROR_BAD_REQUEST, L"Cipher text is not a whole number of blocks");
    if (length > kMaxCipherLength) return Failed(KV_ERROR_BAD_REQUEST, L"Cipher text too long");
    unique_bcrypt_alg alg;
    unique_bcrypt_key handle;
    Status opened = OpenCbcKey(key, &alg, &handle);
    if (!opened.ok()) return opened;

    std::vector<BYTE> chain = IvOrZero(iv);
    plain->assign(length, 0);
    ULONG written = 0;
    NTSTATUS status = ::BCryptDecrypt(handle.get(), const_cast<PUCHAR>(cipher), static_cast<ULONG>(length), nullptr,
                                      chain.data(), static_cast<ULONG>(chain.size()), plain->data(),
                                      static_cast<ULONG>(plain->size()), &written, 0);
    if (!BCRYPT_SUCCESS(status) || written != length) {
        Wipe(*plain);
        return NotExecuted(StatusText(L"AES decryption", status));
    }
    // Check every padding byte, not just the last, and without an early exit.
    BYTE pad = plain->back();
    unsigned bad = (pad == 0 || pad > kBlockSize) ? 1u : 0u;
    size_t checked = pad > kBlockSize ? kBlockSize : pad;
    for (size_t i = 0; i < checked; ++i) bad |= static_cast<unsigned>((*plain)[length - 1 - i] ^ pad);
    if (bad) {
        Wipe(*plain);
        return Failed(KV_ERROR_DECIPHER, L"Cannot decipher data: bad padding (wrong key or damaged data)");
    }
    plain->resize(length - pad);
    return Status{};
}

}  // namespace keyvault::detail
