// The least key vault that payload decryption needs: named master keys kept in the registry
// under machine protection, and ciphering with a key derived from one of them. The module
// deciphers through Call(); the agent side (agentsim, tests) protects secrets with the same code.
//
// Master keys
//   HKLM\Software\Velmora\Zephral\KeyVault\MasterKeys, one REG_BINARY value per key; the value
//   name is the key name ("SECURITYMGRSSO", "SECURITYMGRSESS", "SSO", ...), compared without
//   case like every registry name. The data is a DPAPI blob made by CryptProtectData with
//   CRYPTPROTECT_LOCAL_MACHINE | CRYPTPROTECT_UI_FORBIDDEN, so any process of the machine can
//   read it and nothing off the machine can. The blob's optional entropy is the UTF-16LE text
//   "Zephral.KeyVault." followed by the key name in upper case (invariant), which ties a blob to
//   its name: a blob copied under another name does not open. Inside the blob: byte 0 = format
//   1, then the 32 key bytes (33 bytes). Keys are made from BCryptGenRandom; creating one holds
//   the named mutex "Global\Velmora.Zephral.KeyVault.MasterKeys" so that two processes never
//   both create (and one overwrite) the same key. Under Wine, DPAPI finds its crypto provider
//   through HKLM: a process that redirects HKLM (the tests' private registry) must carry that
//   provider's registration there.
//
// Derivation and cipher
//   derived key = PBKDF2(HMAC-<hash>, password = the 32 master key bytes, salt, iterations),
//   32 bytes (BCryptDeriveKeyPBKDF2). <hash> is "SHA1", "SHA256", "SHA384" or "SHA512";
//   iterations 1..1000000; salt 1..256 bytes.
//   AES-256 in CBC mode with the derived key. IV: the request's "KP_IV" (16 bytes) when it has
//   one, else 16 zero bytes; a zero IV is sound here because every payload has its own random
//   salt and therefore its own key. Padding: PKCS#7 (1..16 bytes of the pad length), always
//   present, checked in full when deciphering. Cipher text is 16..1 MiB, whole blocks.
//   With openssl: `openssl kdf -keylen 32 -kdfopt digest:SHA1 -kdfopt hexpass:<key>
//   -kdfopt hexsalt:<salt> -kdfopt iter:1500 PBKDF2`, then `openssl enc -aes-256-cbc -K <that>
//   -iv 00..00`.
//
// Operations of Call() (request bag -> response bag, input bytes -> output bytes)
//   "decipherWithDerivedKey"  "name", "salt" (binary), "hashAlgorithm", "iterations" (decimal
//                             text), optional sub-bag "transform" with "KP_IV" (binary);
//                             input = cipher text, output = plain bytes.
//   "encipherWithDerivedKey"  the same request; input = plain bytes, output = cipher text.
//   "exist"                   "name": succeeds when the key exists.
//   "latest"                  "name": succeeds when the key exists; answers "version" = "1"
//                             (keys have one generation).
//   "addMaster"               "name": creates the key unless it exists.
//   "isShared"                "name": answers "shared" = "false" (no shared keys here).
//
// Results
//   0 success; 1 the vault answered with an error: "ErrorCode" and "ErrorText" in the response
//   (below); 2 the call could not be executed (unknown operation, crypto provider missing, out
//   of memory), the reason in "ErrorText"; 10 busy: the key store stayed locked by another
//   writer for 5 s (only "addMaster"). Callers retry 10 and 30001.
//   Error codes: 30001 not ready, 30002 no such key, 30003 bad request, 30004 deciphering
//   failed (bad padding: wrong key or damaged data), 30005 the stored key cannot be opened.
//
// Not ready
//   Call() answers 1 with error 30001 "Key vault not ready", doing nothing else, while the
//   platform seam says a simulated vault is still starting (tests, and the simulation DLL's
//   "KeyVaultNotReadyCalls"; never the product). The direct functions below are the agent's
//   side and never wait for it.
#pragma once
#include "lib/mfw/common/util/SecureBytes.h"

#include "lib/mfw/common/bag/PropertyBag.h"

#include <windows.h>

#include <string>
#include <vector>

namespace keyvault {

enum CallResult : DWORD {
    KV_SUCCESS = 0,
    KV_FAILED = 1,
    KV_NOT_EXECUTED = 2,
    KV_BUSY = 10,
};

enum ErrorCode : DWORD {
    KV_ERROR_NOT_READY = 30001,
    KV_ERROR_NO_SUCH_KEY = 30002,
    KV_ERROR_BAD_REQUEST = 30003,
    KV_ERROR_DECIPHER = 30004,
    KV_ERROR_KEY_STORE = 30005,
};

// Registry paths relative to HKLM.
inline constexpr wchar_t kVaultKeyPath[] = L"Software\\Velmora\\Zephral\\KeyVault";
inline constexpr wchar_t kMasterKeysPath[] = L"Software\\Velmora\\Zephral\\KeyVault\\MasterKeys";

inline constexpr size_t kMasterKeyLength = 32;
inline constexpr size_t kBlockSize = 16;
inline constexpr size_t kMaxCipherLength = size_t(1) << 20;
inline constexpr size_t kMaxSaltLength = 256;
inline constexpr ULONG kMaxIterations = 1000000;
inline constexpr size_t kMaxKeyNameLength = 255;

// Outcome of a vault operation: a CallResult, and for KV_FAILED an ErrorCode; the text says why.
struct Status {
    DWORD result = KV_SUCCESS;
    DWORD code = 0;
    std::wstring text;
    bool ok() const noexcept { return result == KV_SUCCESS; }
};

// What a derived key is made from, and the IV (empty: 16 zero bytes).
struct Derivation {
    std::wstring hashAlgorithm;
    ULONG iterations = 0;
    std::vector<BYTE> salt;
    std::vector<BYTE> iv;
};

// The call gate the module uses. Never throws; the answer's error values are set on failure.
DWORD Call(const std::wstring& operation, const CORE::PropertyBag& request, CORE::PropertyBag& response,
           const BYTE* input, size_t inputLength, CORE::SecureBytes& output) noexcept;

// --- The agent's side (also used by Call) ---
// Creates the key from fresh random bytes unless it exists; an existing key is never replaced.
Status EnsureMasterKey(const std::wstring& name) noexcept;
// Stores the given 32 bytes as the key, replacing any earlier one (tests, migration).
Status ImportMasterKey(const std::wstring& name, const BYTE* key, size_t length) noexcept;
Status DeleteMasterKey(const std::wstring& name) noexcept;
// Succeeds when the key exists and opens.
Status CheckMasterKey(const std::wstring& name) noexcept;

Status EncipherWithDerivedKey(const std::wstring& name, const Derivation& derivation, const BYTE* plain,
                              size_t plainLength, std::vector<BYTE>* cipher) noexcept;
Status DecipherWithDerivedKey(const std::wstring& name, const Derivation& derivation, const BYTE* cipher,
                              size_t cipherLength, CORE::SecureBytes* plain) noexcept;

// Random bytes from the system generator; false only when the generator fails.
bool RandomBytes(BYTE* out, size_t length) noexcept;

}  // namespace keyvault
