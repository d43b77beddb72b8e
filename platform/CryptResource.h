// RAII wrappers for crypt32, CryptoAPI, BCrypt and NCrypt objects, in the family of
// UniqueResource.h.
#pragma once
#include "platform/UniqueResource.h"

#include <windows.h>
#include <wincrypt.h>
#include <bcrypt.h>
#include <ncrypt.h>

namespace platform {

TC_DEFINE_UNIQUE(unique_cert, PCCERT_CONTEXT, nullptr, ::CertFreeCertificateContext(value));
TC_DEFINE_UNIQUE(unique_certstore, HCERTSTORE, nullptr, ::CertCloseStore(value, 0));
TC_DEFINE_UNIQUE(unique_crypt_prov, HCRYPTPROV, 0, ::CryptReleaseContext(value, 0));
TC_DEFINE_UNIQUE(unique_crypt_hash, HCRYPTHASH, 0, ::CryptDestroyHash(value));
TC_DEFINE_UNIQUE(unique_crypt_key, HCRYPTKEY, 0, ::CryptDestroyKey(value));
TC_DEFINE_UNIQUE(unique_bcrypt_alg, BCRYPT_ALG_HANDLE, nullptr, ::BCryptCloseAlgorithmProvider(value, 0));
TC_DEFINE_UNIQUE(unique_bcrypt_hash, BCRYPT_HASH_HANDLE, nullptr, ::BCryptDestroyHash(value));
TC_DEFINE_UNIQUE(unique_bcrypt_key, BCRYPT_KEY_HANDLE, nullptr, ::BCryptDestroyKey(value));
TC_DEFINE_UNIQUE(unique_ncrypt_object, NCRYPT_HANDLE, 0, ::NCryptFreeObject(value));

}  // namespace platform
