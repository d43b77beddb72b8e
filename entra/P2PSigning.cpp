#include "P2PSigning.h"

#include "EntraFailure.h"
#include "platform/CryptResource.h"

#include <algorithm>

namespace EntraAuth {
namespace {

// The hash calls take 32-bit lengths: longer data goes in slices, never a wrapped length.
constexpr size_t kSliceBytes = 0x40000000;

template <typename HashSlice>
void HashInSlices(const std::vector<BYTE>& data, HashSlice hashSlice) {
    for (size_t offset = 0; offset < data.size(); offset += kSliceBytes)
        hashSlice(data.data() + offset, static_cast<ULONG>(std::min(kSliceBytes, data.size() - offset)));
}

HRESULT FromNtStatus(NTSTATUS status) { return HRESULT_FROM_NT(status); }

DWORD ReadDwordProperty(BCRYPT_ALG_HANDLE algorithm, const wchar_t* property, const wchar_t* failed,
                        const wchar_t* invalid) {
    DWORD value = 0;
    ULONG written = 0;
    const NTSTATUS status = ::BCryptGetProperty(algorithm, property, reinterpret_cast<PUCHAR>(&value), sizeof(value),
                                                &written, 0);
    ENTRA_FAIL_IF(!BCRYPT_SUCCESS(status), FromNtStatus(status), L"%ls", failed);
    ENTRA_FAIL_IF(written != sizeof(value) || value == 0 || value > 0x10000, E_UNEXPECTED, L"%ls", invalid);
    return value;
}

std::vector<BYTE> Sha256(const std::vector<BYTE>& data) {
    platform::unique_bcrypt_alg algorithm;
    NTSTATUS status = ::BCryptOpenAlgorithmProvider(algorithm.put(), BCRYPT_SHA256_ALGORITHM, nullptr, 0);
    ENTRA_FAIL_IF(!BCRYPT_SUCCESS(status), FromNtStatus(status), L"BCryptOpenAlgorithmProvider failed");
    const DWORD objectLength = ReadDwordProperty(algorithm.get(), BCRYPT_OBJECT_LENGTH,
                                                 L"BCryptGetProperty(BCRYPT_OBJECT_LENGTH) failed",
                                                 L"BCryptGetProperty(BCRYPT_OBJECT_LENGTH) returned invalid values");
    const DWORD hashLength = ReadDwordProperty(algorithm.get(), BCRYPT_HASH_LENGTH,
                                               L"BCryptGetProperty(BCRYPT_HASH_LENGTH) failed",
                                               L"BCryptGetProperty(BCRYPT_HASH_LENGTH) returned invalid values");
    std::vector<BYTE> object(objectLength), digest(hashLength);
    platform::unique_bcrypt_hash hash;
    status = ::BCryptCreateHash(algorithm.get(), hash.put(), object.data(), objectLength, nullptr, 0, 0);
    ENTRA_FAIL_IF(!BCRYPT_SUCCESS(status), FromNtStatus(status), L"BCryptCreateHash failed");
    HashInSlices(data, [&](const BYTE* slice, ULONG length) {
        const NTSTATUS sliceStatus = ::BCryptHashData(hash.get(), const_cast<PUCHAR>(slice), length, 0);
        ENTRA_FAIL_IF(!BCRYPT_SUCCESS(sliceStatus), FromNtStatus(sliceStatus), L"BCryptHashData failed");
    });
    status = ::BCryptFinishHash(hash.get(), digest.data(), hashLength, 0);
    ENTRA_FAIL_IF(!BCRYPT_SUCCESS(status), FromNtStatus(status), L"BCryptFinishHash failed");
    return digest;
}

}  // namespace

std::vector<BYTE> SignWithCryptoApiKey(HCRYPTPROV provider, const std::vector<BYTE>& data) {
    ENTRA_FAIL_IF(provider == 0, E_INVALIDARG, L"hKey cannot be null");
    platform::unique_crypt_hash hash;
    ENTRA_FAIL_IF(!::CryptCreateHash(provider, CALG_SHA_256, 0, 0, hash.put()), LastErrorResult(),
                  L"CryptCreateHash failed");
    HashInSlices(data, [&](const BYTE* slice, ULONG length) {
        ENTRA_FAIL_IF(!::CryptHashData(hash.get(), slice, length, 0), LastErrorResult(), L"CryptHashData failed");
    });
    DWORD size = 0;
    ENTRA_FAIL_IF(!::CryptSignHashW(hash.get(), AT_SIGNATURE, nullptr, 0, nullptr, &size), LastErrorResult(),
                  L"CryptSignHash (size query) failed");
    ENTRA_FAIL_IF(size == 0 || size > 0x10000, E_UNEXPECTED, L"CryptSignHash returned invalid signature size");
    std::vector<BYTE> signature(size);
    ENTRA_FAIL_IF(!::CryptSignHashW(hash.get(), AT_SIGNATURE, nullptr, 0, signature.data(), &size), LastErrorResult(),
                  L"CryptSignHash failed");
    signature.resize(std::min<size_t>(size, signature.size()));
    // CryptoAPI writes the signature least significant byte first.
    std::reverse(signature.begin(), signature.end());
    return signature;
}

std::vector<BYTE> SignWithNCryptKey(NCRYPT_KEY_HANDLE key, const std::vector<BYTE>& data) {
    ENTRA_FAIL_IF(key == 0, E_INVALIDARG, L"hKey cannot be null");
    std::vector<BYTE> digest = Sha256(data);
    BCRYPT_PKCS1_PADDING_INFO padding{BCRYPT_SHA256_ALGORITHM};
    DWORD size = 0;
    SECURITY_STATUS status = ::NCryptSignHash(key, &padding, digest.data(), static_cast<DWORD>(digest.size()), nullptr,
                                              0, &size, BCRYPT_PAD_PKCS1);
    ENTRA_FAIL_IF(status != ERROR_SUCCESS, status, L"NCryptSignHash (size query) failed");
    ENTRA_FAIL_IF(size == 0 || size > 0x10000, E_UNEXPECTED, L"NCryptSignHash returned invalid signature size");
    std::vector<BYTE> signature(size);
    status = ::NCryptSignHash(key, &padding, digest.data(), static_cast<DWORD>(digest.size()), signature.data(), size,
                              &size, BCRYPT_PAD_PKCS1);
    ENTRA_FAIL_IF(status != ERROR_SUCCESS, status, L"NCryptSignHash failed");
    signature.resize(std::min<size_t>(size, signature.size()));
    return signature;
}

}  // namespace EntraAuth
