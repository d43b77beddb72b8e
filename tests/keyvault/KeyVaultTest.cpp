// The key vault against a private HKLM: how master keys are stored and protected, and what the
// call gate answers to bad requests. Round trips, vectors and readiness are tested through the
// module's decryption (tests/sso).
#include "lib/keyvault/KeyVault.h"

#include "VaultSandbox.h"

#include <gtest/gtest.h>
#include <wincrypt.h>
#include <dpapi.h>

#include <algorithm>

using namespace keyvault;

namespace {

const BYTE kMasterA[32] = {0x60, 0x3d, 0xeb, 0x10, 0x15, 0xca, 0x71, 0xbe, 0x2b, 0x73, 0xae, 0xf0, 0x85, 0x7d, 0x77, 0x81,
                           0x1f, 0x35, 0x2c, 0x07, 0x3b, 0x61, 0x08, 0xd7, 0x2d, 0x98, 0x10, 0xa3, 0x09, 0x14, 0xdf, 0xf4};

std::string Narrow(const std::wstring& text) { return std::string(text.begin(), text.end()); }

std::vector<BYTE> ReadBlob(const std::wstring& name) {
    DWORD size = 0;
    std::vector<BYTE> blob;
    if (::RegGetValueW(HKEY_LOCAL_MACHINE, kMasterKeysPath, name.c_str(), RRF_RT_REG_BINARY, nullptr, nullptr, &size) !=
        ERROR_SUCCESS)
        return blob;
    blob.resize(size);
    ::RegGetValueW(HKEY_LOCAL_MACHINE, kMasterKeysPath, name.c_str(), RRF_RT_REG_BINARY, nullptr, blob.data(), &size);
    return blob;
}

CORE::PropertyBag DecipherRequest(const std::wstring& name) {
    CORE::PropertyBag request;
    request.Set(L"name", name);
    const BYTE salt[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    request.SetBinary(L"salt", salt, sizeof(salt));
    request.Set(L"hashAlgorithm", L"SHA1");
    request.Set(L"iterations", L"1500");
    return request;
}

class KeyVaultTest : public testing::Test {
protected:
    void SetUp() override {
        Status imported = ImportMasterKey(L"SECURITYMGRSSO", kMasterA, sizeof(kMasterA));
        ASSERT_TRUE(imported.ok()) << Narrow(imported.text);
    }

    // Cipher text of `text` under SECURITYMGRSSO with the request of DecipherRequest().
    std::vector<BYTE> Encipher(const std::string& text) {
        Derivation d;
        d.hashAlgorithm = L"SHA1";
        d.iterations = 1500;
        d.salt = {1, 2, 3, 4, 5, 6, 7, 8};
        std::vector<BYTE> cipher;
        Status status = EncipherWithDerivedKey(L"SECURITYMGRSSO", d, reinterpret_cast<const BYTE*>(text.data()),
                                               text.size(), &cipher);
        EXPECT_TRUE(status.ok()) << Narrow(status.text);
        return cipher;
    }

    vaulttest::VaultSandbox registry;
};

TEST_F(KeyVaultTest, MasterKeyIsStoredUnderMachineProtectionAndTiedToItsName) {
    std::vector<BYTE> blob = ReadBlob(L"SECURITYMGRSSO");
    ASSERT_FALSE(blob.empty());
    EXPECT_EQ(std::search(blob.begin(), blob.end(), std::begin(kMasterA), std::end(kMasterA)), blob.end())
        << "the key bytes must not be readable in the registry";

    // The documented form: DPAPI with the name-bound entropy, format byte 1, then the key.
    std::wstring entropy = L"Zephral.KeyVault.SECURITYMGRSSO";
    DATA_BLOB in{static_cast<DWORD>(blob.size()), blob.data()};
    DATA_BLOB extra{static_cast<DWORD>(entropy.size() * sizeof(wchar_t)),
                    reinterpret_cast<BYTE*>(entropy.data())};
    DATA_BLOB out{};
    ASSERT_TRUE(::CryptUnprotectData(&in, nullptr, &extra, nullptr, nullptr, CRYPTPROTECT_UI_FORBIDDEN, &out));
    ASSERT_EQ(out.cbData, 33u);
    EXPECT_EQ(out.pbData[0], 1);
    EXPECT_TRUE(std::equal(std::begin(kMasterA), std::end(kMasterA), out.pbData + 1));
    ::LocalFree(out.pbData);

    // The same blob under another name does not open; the name itself is case-blind.
    registry.SetValue(L"Software\\Velmora\\Zephral\\KeyVault\\MasterKeys", L"OTHER", REG_BINARY, blob.data(),
                      static_cast<DWORD>(blob.size()));
    Status moved = CheckMasterKey(L"OTHER");
    EXPECT_EQ(moved.result, KV_FAILED);
    EXPECT_EQ(moved.code, KV_ERROR_KEY_STORE);
    EXPECT_TRUE(CheckMasterKey(L"securitymgrsso").ok());
}

TEST_F(KeyVaultTest, EnsureMasterKeyCreatesOnceAndNeverReplaces) {
    std::vector<BYTE> before = ReadBlob(L"SECURITYMGRSSO");
    ASSERT_TRUE(EnsureMasterKey(L"SECURITYMGRSSO").ok());
    EXPECT_EQ(ReadBlob(L"SECURITYMGRSSO"), before);

    EXPECT_TRUE(ReadBlob(L"FRESH").empty());
    ASSERT_TRUE(EnsureMasterKey(L"FRESH").ok());
    std::vector<BYTE> created = ReadBlob(L"FRESH");
    EXPECT_FALSE(created.empty());
    ASSERT_TRUE(EnsureMasterKey(L"FRESH").ok());
    EXPECT_EQ(ReadBlob(L"FRESH"), created);

    // A damaged key is reported, not silently replaced: payloads made with it would be lost.
    const BYTE junk[] = {1, 2, 3};
    registry.SetValue(L"Software\\Velmora\\Zephral\\KeyVault\\MasterKeys", L"FRESH", REG_BINARY, junk, sizeof(junk));
    Status damaged = EnsureMasterKey(L"FRESH");
    EXPECT_EQ(damaged.code, KV_ERROR_KEY_STORE);
    EXPECT_EQ(ReadBlob(L"FRESH").size(), sizeof(junk));
}

TEST_F(KeyVaultTest, EveryPaddingByteIsChecked) {
    // Dropping the full padding block leaves a block that ends in 01 02: the last byte claims
    // two bytes of padding and the one before it disagrees.
    std::vector<BYTE> cipher = Encipher(std::string(14, 'p') + "\x01\x02");
    ASSERT_EQ(cipher.size(), 32u);
    cipher.resize(16);
    CORE::PropertyBag response;
    SecureBytes plain;
    EXPECT_EQ(Call(L"decipherWithDerivedKey", DecipherRequest(L"SECURITYMGRSSO"), response, cipher.data(), cipher.size(),
                   plain),
              KV_FAILED);
    EXPECT_EQ(response.GetError(), KV_ERROR_DECIPHER);
    EXPECT_TRUE(plain.empty());
}

struct BadRequest {
    const char* what;
    void (*change)(CORE::PropertyBag& request, std::vector<BYTE>& cipher);
    DWORD result;
    DWORD code;
};

const BadRequest kBadRequests[] = {
    {"no name", [](CORE::PropertyBag& r, std::vector<BYTE>&) { r.Remove(L"name"); }, KV_FAILED, KV_ERROR_BAD_REQUEST},
    {"no salt", [](CORE::PropertyBag& r, std::vector<BYTE>&) { r.Remove(L"salt"); }, KV_FAILED, KV_ERROR_BAD_REQUEST},
    {"MD5", [](CORE::PropertyBag& r, std::vector<BYTE>&) { r.Set(L"hashAlgorithm", L"MD5"); }, KV_FAILED,
     KV_ERROR_BAD_REQUEST},
    {"iterations not a number", [](CORE::PropertyBag& r, std::vector<BYTE>&) { r.Set(L"iterations", L"15e2"); },
     KV_FAILED, KV_ERROR_BAD_REQUEST},
    {"transform without IV", [](CORE::PropertyBag& r, std::vector<BYTE>&) { r.SetBag(L"transform", {}); }, KV_FAILED,
     KV_ERROR_BAD_REQUEST},
    {"partial block", [](CORE::PropertyBag&, std::vector<BYTE>& c) { c.pop_back(); }, KV_FAILED, KV_ERROR_BAD_REQUEST},
    {"last block damaged", [](CORE::PropertyBag&, std::vector<BYTE>& c) { c.back() ^= 0x55; }, KV_FAILED,
     KV_ERROR_DECIPHER},
};

TEST_F(KeyVaultTest, BadRequestsGetClearAnswersAndNoOutput) {
    for (const BadRequest& bad : kBadRequests) {
        SCOPED_TRACE(bad.what);
        CORE::PropertyBag request = DecipherRequest(L"SECURITYMGRSSO"), response;
        std::vector<BYTE> cipher = Encipher("secret text");
        bad.change(request, cipher);
        SecureBytes plain(3, 0x77);
        EXPECT_EQ(Call(L"decipherWithDerivedKey", request, response, cipher.data(), cipher.size(), plain), bad.result);
        EXPECT_EQ(response.GetError(), bad.code);
        EXPECT_FALSE(response.GetErrorText(L"").empty());
        EXPECT_TRUE(plain.empty());
    }
    CORE::PropertyBag response;
    SecureBytes out;
    EXPECT_EQ(Call(L"exportKey", DecipherRequest(L"SECURITYMGRSSO"), response, nullptr, 0, out), KV_NOT_EXECUTED);
    EXPECT_NE(response.GetErrorText(L"").find(L"exportKey"), std::wstring::npos);
}

}  // namespace
