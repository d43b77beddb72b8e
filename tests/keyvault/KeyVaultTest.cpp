// The key vault against a private HKLM: how master keys are stored and protected, who can read
// the store, what the call gate answers to bad requests, and what the payload writer writes.
// Round trips, vectors and readiness are tested through the module's decryption (tests/sso).
#include "lib/keyvault/KeyStoreAcl.h"
#include "lib/keyvault/KeyVault.h"
#include "lib/keyvault/PayloadWriter.h"

#include "VaultSandbox.h"
#include "support/LogCapture.h"
#include "support/WaitFor.h"

#include <gtest/gtest.h>
#include <wincrypt.h>
#include <dpapi.h>
#include <sddl.h>

#include <algorithm>

using namespace keyvault;
using vaulttest::kVectorKey;

namespace {

const wchar_t kMasterKeys[] = L"Software\\Velmora\\Zephral\\KeyVault\\MasterKeys";

std::vector<BYTE> ReadBlob(const std::wstring& name) {
    DWORD size = 4096;
    std::vector<BYTE> blob(size);
    LSTATUS status = ::RegGetValueW(HKEY_LOCAL_MACHINE, kMasterKeysPath, name.c_str(), RRF_RT_REG_BINARY, nullptr,
                                    blob.data(), &size);
    blob.resize(status == ERROR_SUCCESS ? size : 0);
    return blob;
}

CORE::PropertyBag DecipherRequest() {
    CORE::PropertyBag request;
    const BYTE salt[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    request.Set(L"name", L"SECURITYMGRSSO");
    request.SetBinary(L"salt", salt, sizeof(salt));
    request.Set(L"hashAlgorithm", L"SHA1");
    request.Set(L"iterations", L"1500");
    return request;
}

// Cipher text of `text` under SECURITYMGRSSO with the derivation of DecipherRequest().
std::vector<BYTE> Encipher(const std::string& text) {
    Derivation d;
    d.hashAlgorithm = L"SHA1", d.iterations = 1500, d.salt = {1, 2, 3, 4, 5, 6, 7, 8};
    std::vector<BYTE> cipher;
    EXPECT_TRUE(EncipherWithDerivedKey(L"SECURITYMGRSSO", d, reinterpret_cast<const BYTE*>(text.data()), text.size(),
                                       &cipher).ok());
    return cipher;
}

class KeyVaultTest : public testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(ImportMasterKey(L"SECURITYMGRSSO", kVectorKey, sizeof(kVectorKey)).ok()); }
    vaulttest::VaultSandbox registry;
};

TEST_F(KeyVaultTest, MasterKeyIsStoredUnderMachineProtectionAndTiedToItsName) {
    std::vector<BYTE> blob = ReadBlob(L"SECURITYMGRSSO");
    ASSERT_FALSE(blob.empty());
    EXPECT_EQ(std::search(blob.begin(), blob.end(), std::begin(kVectorKey), std::end(kVectorKey)), blob.end())
        << "the key bytes must not be readable in the registry";
    // The documented form: DPAPI with the name-bound entropy, format byte 1, then the key.
    std::wstring entropy = L"Zephral.KeyVault.SECURITYMGRSSO";
    DATA_BLOB in{static_cast<DWORD>(blob.size()), blob.data()}, out{};
    DATA_BLOB extra{static_cast<DWORD>(entropy.size() * sizeof(wchar_t)), reinterpret_cast<BYTE*>(entropy.data())};
    ASSERT_TRUE(::CryptUnprotectData(&in, nullptr, &extra, nullptr, nullptr, CRYPTPROTECT_UI_FORBIDDEN, &out));
    EXPECT_TRUE(out.cbData == 33 && out.pbData[0] == 1 && std::equal(std::begin(kVectorKey), std::end(kVectorKey), out.pbData + 1));
    ::LocalFree(out.pbData);
    // The same blob under another name does not open; the name itself is case-blind.
    registry.SetValue(kMasterKeys, L"OTHER", REG_BINARY, blob.data(), static_cast<DWORD>(blob.size()));
    Status moved = CheckMasterKey(L"OTHER");
    EXPECT_TRUE(moved.result == KV_FAILED && moved.code == KV_ERROR_KEY_STORE && CheckMasterKey(L"securitymgrsso").ok());
}

TEST_F(KeyVaultTest, EnsureMasterKeyCreatesOnceAndNeverReplaces) {
    for (const wchar_t* name : {L"SECURITYMGRSSO", L"FRESH"}) {  // imported, or created by the first call
        const std::vector<BYTE> before = ReadBlob(name);
        ASSERT_TRUE(EnsureMasterKey(name).ok());
        const std::vector<BYTE> created = ReadBlob(name);
        EXPECT_TRUE(EnsureMasterKey(name).ok() && !created.empty() && ReadBlob(name) == created && (before.empty() || before == created));
    }
    // A damaged key is reported, not silently replaced: payloads made with it would be lost.
    const BYTE junk[] = {1, 2, 3};
    registry.SetValue(kMasterKeys, L"FRESH", REG_BINARY, junk, sizeof(junk));
    EXPECT_TRUE(EnsureMasterKey(L"FRESH").code == KV_ERROR_KEY_STORE && ReadBlob(L"FRESH").size() == sizeof(junk));
}

TEST_F(KeyVaultTest, BadRequestsGetClearAnswersAndNoOutput) {
    // A request field set to `value` or removed (null), or the cipher text damaged.
    const struct { const wchar_t *field, *value; void (*damage)(std::vector<BYTE>& cipher); DWORD code; } kCases[] = {
        {L"name", nullptr, nullptr, KV_ERROR_BAD_REQUEST},
        {L"salt", nullptr, nullptr, KV_ERROR_BAD_REQUEST},
        {L"hashAlgorithm", L"MD5", nullptr, KV_ERROR_BAD_REQUEST},
        {L"iterations", L"15e2", nullptr, KV_ERROR_BAD_REQUEST},
        {L"transform", L"", nullptr, KV_ERROR_BAD_REQUEST},  // without an IV
        {L"", nullptr, [](std::vector<BYTE>& c) { c.pop_back(); }, KV_ERROR_BAD_REQUEST},  // a partial block
        {L"", nullptr, [](std::vector<BYTE>& c) { c.back() ^= 0x55; }, KV_ERROR_DECIPHER},
        // Dropping the full padding block leaves a block that ends in 01 02: the last byte claims
        // two bytes of padding and the one before it disagrees. Every padding byte is checked.
        {L"", nullptr, [](std::vector<BYTE>& c) { c = Encipher(std::string(14, 'p') + "\x01\x02"), c.resize(16); },
         KV_ERROR_DECIPHER},
    };
    for (const auto& bad : kCases) {
        SCOPED_TRACE(testing::PrintToString(std::wstring(bad.field)) + (bad.damage ? " damaged" : ""));
        CORE::PropertyBag request = DecipherRequest(), response;
        std::vector<BYTE> cipher = Encipher("secret text");
        if (*bad.field && !bad.value) request.Remove(bad.field);
        if (*bad.field && bad.value && *bad.value) request.Set(bad.field, bad.value);
        if (*bad.field && bad.value && !*bad.value) request.SetBag(bad.field, {});
        if (bad.damage) bad.damage(cipher);
        CORE::SecureBytes plain(3, 0x77);
        EXPECT_EQ(Call(L"decipherWithDerivedKey", request, response, cipher.data(), cipher.size(), plain), KV_FAILED);
        EXPECT_TRUE(response.GetError() == bad.code && !response.GetErrorText(L"").empty() && plain.empty());
    }
    CORE::PropertyBag response;
    CORE::SecureBytes out;
    EXPECT_EQ(Call(L"exportKey", DecipherRequest(), response, nullptr, 0, out), KV_NOT_EXECUTED) << "no such operation";
}

// --- Who can read the master key store.

struct Descriptor {
    explicit Descriptor(const wchar_t* sddl) {
        EXPECT_TRUE(::ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &sd, nullptr));
    }
    ~Descriptor() { ::LocalFree(sd); }
    PSECURITY_DESCRIPTOR sd = nullptr;
};

// What the writer asks for (Wine keeps no descriptor of its own), what the reader counts as open,
// and the reader's report of an open store.
TEST(KeyStoreAcl, TheStoreIsForSystemAndAdministratorsOnlyAndAnOpenOneIsReportedOnce) {
    Descriptor asked(detail::kKeyStoreSddl);
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    EXPECT_TRUE(::GetSecurityDescriptorControl(asked.sd, &control, &revision) && (control & SE_DACL_PROTECTED));
    const struct { const wchar_t* sddl; bool open; } kCases[] = {
        {detail::kKeyStoreSddl, false},
        {L"D:(A;;KA;;;SY)(A;;KA;;;BA)(A;;KR;;;BU)", true},       // inherited from HKLM\Software
        {L"D:(A;;KR;;;WD)", true},                               // everyone
        {L"D:(A;CIIO;GR;;;BU)(A;;KA;;;BA)", false},              // inherit-only: subkeys, not this key
        {L"D:(D;;KA;;;BU)(A;;KA;;;SY)", false},                  // a deny entry grants nothing
        {L"D:(A;;KA;;;S-1-5-21-1-2-3-1001)(A;;KA;;;SY)", true},  // a user
    };
    for (const auto& c : kCases)
        EXPECT_EQ(detail::GrantsOthers(Descriptor(c.sddl).sd), c.open) << testing::PrintToString(std::wstring(c.sddl));
    SECURITY_DESCRIPTOR nullDacl;  // everyone has full access
    ASSERT_TRUE(::InitializeSecurityDescriptor(&nullDacl, SECURITY_DESCRIPTOR_REVISION));
    ASSERT_TRUE(::SetSecurityDescriptorDacl(&nullDacl, TRUE, nullptr, FALSE));
    EXPECT_TRUE(detail::GrantsOthers(&nullDacl));

    testsupport::LogCapture log;
    const wchar_t kLine[] = L"KeyVault: the master key store grants access to others";
    Descriptor open(L"D:(A;;KR;;;BU)(A;;KA;;;SY)");
    for (PSECURITY_DESCRIPTOR sd : {asked.sd, open.sd, open.sd}) detail::ReportOpenKeyStore(sd);
    CORE::FlushLog();
    EXPECT_TRUE(testsupport::WaitFor([&] { return log.Count(kLine, CORE::LOG_ERROR) > 0; }));
    EXPECT_EQ(log.Count(kLine), 1u);
}

// --- The payload writer.

TEST(PayloadWriter, WritesTagsTheGrammarReadsBackAndRefusesTheRest) {
    // Refused (no tag): "#" would read as the key without a name, "a##b" as base name and key name,
    // "a}b" would end the tag early, and the last needs both kinds of quotes.
    const struct { const wchar_t *name, *tag; } kCases[] = {
        {L"SSO", L"{SSO-AES:1}"}, {L"", L"{#-AES:1}"}, {L"pin-key", L"{\"pin-key\"-AES:1}"}, {L"say \"hi\":", L"{'say \"hi\":'-AES:1}"},
        {L"#", L""}, {L"a##b", L""}, {L"a}b", L""}, {L"'\"-", L""}};
    for (const auto& c : kCases) EXPECT_EQ(WriteTag(c.name, L"AES"), c.tag) << c.tag;
    EXPECT_EQ(WriteTag(L"SSO", L"SMSS"), L"{SSO-SMSS:1}");
}

// The layouts behind the Base64 and the master keys the writer creates are proven by the
// decryption tests, which read what it writes.
TEST(PayloadWriter, UsesAFreshSaltEachTimeAndRefusesWhatItCannotWriteFaithfully) {
    vaulttest::VaultSandbox registry;
    EXPECT_NE(BuildProtectedPayload(L"correct horse"), BuildProtectedPayload(L"correct horse"));
    EXPECT_FALSE(BuildProtectedPayload(L"", L"SSO").empty()) << "an empty text under a named key is fine";
    // The key without a name needs a prefix (a bare one reads as text); ASKS is not a scheme this
    // vault writes; SMSS keys have names; the last is not valid UTF-16.
    const struct { std::wstring text, name, scheme; } kRefused[] = {
        {L"", L"", L"AES"}, {L"x", L"SSO", L"ASKS"}, {L"x", L"", L"SMSS"}, {L"x\xD800y", L"SSO", L"AES"}};
    for (const auto& c : kRefused) {
        std::wstring error;
        EXPECT_TRUE(BuildProtectedPayload(c.text, c.name, c.scheme, &error).empty() && !error.empty());
    }
}

}  // namespace
