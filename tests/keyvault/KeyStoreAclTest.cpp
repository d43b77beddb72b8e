// Who can read the master key store: the writer asks for a DACL of SYSTEM and Administrators
// only, the reader reports a store an older writer left open, once per process.
#include "lib/keyvault/KeyStoreAcl.h"
#include "lib/keyvault/KeyVault.h"

#include "VaultSandbox.h"
#include "support/LogCapture.h"
#include "support/WaitFor.h"

#include <gtest/gtest.h>
#include <sddl.h>

#include <vector>

using namespace keyvault;

namespace {

const wchar_t kProtected[] = L"D:P(A;OICI;KA;;;SY)(A;OICI;KA;;;BA)";

struct Descriptor {
    explicit Descriptor(const wchar_t* sddl) {
        EXPECT_TRUE(::ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &sd, nullptr));
    }
    ~Descriptor() { ::LocalFree(sd); }
    PSECURITY_DESCRIPTOR sd = nullptr;
};

// The key's DACL in SDDL form, empty when it cannot be read.
std::wstring DaclOf(HKEY root, const wchar_t* path) {
    HKEY key = nullptr;
    if (::RegOpenKeyExW(root, path, 0, READ_CONTROL | KEY_WOW64_64KEY, &key) != ERROR_SUCCESS) return L"";
    BYTE buffer[1024];
    DWORD size = sizeof(buffer);
    LSTATUS status = ::RegGetKeySecurity(key, DACL_SECURITY_INFORMATION, buffer, &size);
    ::RegCloseKey(key);
    wchar_t* text = nullptr;
    if (status != ERROR_SUCCESS ||
        !::ConvertSecurityDescriptorToStringSecurityDescriptorW(buffer, SDDL_REVISION_1, DACL_SECURITY_INFORMATION,
                                                                &text, nullptr))
        return L"";
    std::wstring dacl = text;
    ::LocalFree(text);
    return dacl;
}

// Wine answers every key with one fixed descriptor; Windows keeps what the creator asked for.
bool RegistryKeepsDescriptors() {
    Descriptor asked(kProtected);
    SECURITY_ATTRIBUTES attributes{sizeof(attributes), asked.sd, FALSE};
    HKEY key = nullptr;
    const wchar_t kProbe[] = L"Software\\TcfiltrKeyStoreAclProbe";
    if (::RegCreateKeyExW(HKEY_CURRENT_USER, kProbe, 0, nullptr, 0, KEY_ALL_ACCESS, &attributes, &key, nullptr) !=
        ERROR_SUCCESS)
        return false;
    ::RegCloseKey(key);
    bool kept = DaclOf(HKEY_CURRENT_USER, kProbe) == kProtected;
    ::RegDeleteTreeW(HKEY_CURRENT_USER, kProbe);
    return kept;
}

}  // namespace

TEST(KeyStoreAcl, WriterProtectsTheStoreForSystemAndAdministratorsOnly) {
    vaulttest::VaultSandbox sandbox;
    ASSERT_TRUE(EnsureMasterKey(L"alpha").ok());
    if (RegistryKeepsDescriptors()) {
        for (const wchar_t* path : {kVaultKeyPath, kMasterKeysPath})
            EXPECT_EQ(DaclOf(HKEY_LOCAL_MACHINE, path), kProtected) << path;
    }
    // What the writer asks for, whether or not this registry keeps it.
    Descriptor asked(detail::kKeyStoreSddl);
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    ASSERT_TRUE(::GetSecurityDescriptorControl(asked.sd, &control, &revision));
    EXPECT_TRUE(control & SE_DACL_PROTECTED);
    EXPECT_FALSE(detail::GrantsOthers(asked.sd));
}

TEST(KeyStoreAcl, OnlySystemAndAdministratorsOnTheKeyItselfCountAsClosed) {
    const struct {
        const wchar_t* sddl;
        bool open;
    } cases[] = {
        {kProtected, false},
        {L"D:(A;;KA;;;SY)(A;;KA;;;BA)(A;;KR;;;BU)", true},        // inherited from HKLM\Software
        {L"D:(A;;KR;;;WD)", true},                                // everyone
        {L"D:(A;CIIO;GR;;;BU)(A;;KA;;;BA)", false},               // inherit-only: subkeys, not this key
        {L"D:(D;;KA;;;BU)(A;;KA;;;SY)", false},                   // a deny entry grants nothing
        {L"D:(A;;KA;;;S-1-5-21-1-2-3-1001)(A;;KA;;;SY)", true},   // a user
    };
    for (const auto& c : cases) {
        Descriptor descriptor(c.sddl);
        EXPECT_EQ(detail::GrantsOthers(descriptor.sd), c.open) << testing::PrintToString(std::wstring(c.sddl));
    }
    SECURITY_DESCRIPTOR nullDacl;  // everyone has full access
    ASSERT_TRUE(::InitializeSecurityDescriptor(&nullDacl, SECURITY_DESCRIPTOR_REVISION));
    ASSERT_TRUE(::SetSecurityDescriptorDacl(&nullDacl, TRUE, nullptr, FALSE));
    EXPECT_TRUE(detail::GrantsOthers(&nullDacl));
}

TEST(KeyStoreAcl, OpenStoreIsReportedOncePerProcess) {
    testsupport::LogCapture log;
    const wchar_t kLine[] = L"KeyVault: the master key store grants access to others";
    Descriptor closed(kProtected), open(L"D:(A;;KR;;;BU)(A;;KA;;;SY)");
    detail::ReportOpenKeyStore(closed.sd);
    detail::ReportOpenKeyStore(open.sd);
    detail::ReportOpenKeyStore(open.sd);
    CORE::FlushLog();
    EXPECT_TRUE(testsupport::WaitFor([&] { return log.Count(kLine, CORE::LOG_ERROR) > 0; }));
    EXPECT_EQ(log.Count(kLine), 1u);
}
