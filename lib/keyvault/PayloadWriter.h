// Writes protected payloads in the text form the module decrypts: a tag that names the key and
// the cipher scheme, then the Base64 of the scheme's byte layout. The agent stand-in and the
// tests make their secrets with it, through the same key vault the module deciphers with.
//
//   text = "{" name "-" scheme ":1}" Base64(layout)
//   name   the key name, or "#" for the key without a name; in double quotes (single quotes when
//          it holds a double quote) when it holds one of  { : - = ' "
//   "AES"  layout = salt (8 random bytes) | cipher text
//          cipher text = AES-256-CBC, PKCS#7, zero IV, key = PBKDF2-HMAC-SHA1(master, salt, 1500)
//          of  x y x y 0x00 UTF-8(text)  with x, y random non-zero bytes (the pattern the module
//          checks for the key without a name). An empty text under a named key is enciphered
//          without that prefix, because a prefix followed only by its zero byte reads back as
//          the text itself.
//          master key: "SECURITYMGRSSO" for the name "SSO", "SECURITYMGRSESS" without a name,
//          else the name itself.
//   "SMSS" layout = 0x01 (scheme version) | 16 | IV (16 random bytes, also the salt) | cipher text
//          cipher text = AES-256-CBC, PKCS#7, that IV, key = PBKDF2-HMAC-SHA256(master, IV, 3501)
//          of UTF-8(text). master key: the name itself.
// The master key is created in the vault when it does not exist yet.
#pragma once
#include "KeyVault.h"

#include <string>
#include <string_view>

namespace keyvault {

// The payload for `plainText`; empty on failure, with the reason in `error`.
std::wstring BuildProtectedPayload(std::wstring_view plainText, const std::wstring& keyName = L"SSO",
                                   const std::wstring& scheme = L"AES", std::wstring* error = nullptr);

// The same layout around exactly the given bytes (no prefix added): for tests of the rules the
// module applies to what it deciphers.
std::wstring BuildPayloadFromBytes(const BYTE* plain, size_t length, const std::wstring& keyName = L"SSO",
                                   const std::wstring& scheme = L"AES", std::wstring* error = nullptr);

// The master key that protects payloads written for `keyName` under `scheme`.
std::wstring MasterKeyNameFor(const std::wstring& keyName, const std::wstring& scheme);

// The tag: "{SSO-AES:1}", "{#-AES:1}", "{\"a-b\"-SMSS:1}"; empty when the name cannot be written.
std::wstring WriteTag(const std::wstring& keyName, const std::wstring& scheme);

}  // namespace keyvault
