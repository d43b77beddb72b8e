// Signing with the device's P2P key: RSASSA-PKCS1-v1_5 over SHA-256, most significant byte
// first, with a CryptoAPI key (AT_SIGNATURE of the provider's container) or an NCrypt key.
// Failures raise an EntraFailure with the step that failed.
#pragma once
#include <windows.h>
#include <wincrypt.h>
#include <ncrypt.h>

#include <vector>

namespace EntraAuth {

std::vector<BYTE> SignWithCryptoApiKey(HCRYPTPROV provider, const std::vector<BYTE>& data);
std::vector<BYTE> SignWithNCryptKey(NCRYPT_KEY_HANDLE key, const std::vector<BYTE>& data);

}  // namespace EntraAuth
