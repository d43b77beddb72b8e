// Secrets on their way into buffers (CredProtectW through the seam, the CredUI and empty
// exceptions, the fallback of ProtectSecretCopy), the package lookup, and the allocating
// wrappers' failure mapping.
#include "ByteView.h"

#include "logon/AuthPackage.h"
#include "logon/HybridLogon.h"
#include "logon/InteractiveLogon.h"
#include "logon/PasswordProtection.h"

#include "support/FakePlatform.h"
#include "support/LogCapture.h"

#include <gtest/gtest.h>

namespace {

class Protection : public testing::Test {
protected:
    testsupport::FakePlatform os;
    testsupport::LogCapture log;
};

TEST_F(Protection, ProtectsForTheCallerWithTheTerminatorCountedAndNoProtectionTypeAsked) {
    CORE::SecureWString out;
    ASSERT_EQ(ProtectPassword(L"secret", &out), S_OK);
    EXPECT_EQ(out, L"@@TCSIMcwBlAGMAcgBlAHQA");
    EXPECT_EQ(os.protectCalls, 2) << "a size query, then the protection";
    EXPECT_EQ(os.protectAsSelf, (std::vector<BOOL>{FALSE, FALSE}));
    EXPECT_EQ(os.protectTypeRequested, (std::vector<bool>{false, false}));
}

// The caller-buffer builders answer a Win32 code, never success or a size answer; E_FAIL has no
// Win32 facility and becomes 1.
TEST_F(Protection, MapsEveryProtectionFailureAndLeavesNothingBehind) {
    const struct {
        const char* name;
        DWORD error, fillError;
        bool sizeQuerySucceeds;
        HRESULT hr;
        DWORD builderCode;
    } cases[] = {
        {"size query fails", ERROR_NOT_SUPPORTED, 0, false, HRESULT_FROM_WIN32(ERROR_NOT_SUPPORTED), ERROR_NOT_SUPPORTED},
        {"size query succeeds", 0, 0, true, E_FAIL, 1},
        {"protection fails", 0, ERROR_ACCESS_DENIED, false, HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED), ERROR_ACCESS_DENIED},
        {"buffer answer from the protecting call", 0, ERROR_INSUFFICIENT_BUFFER, false,
         HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER), 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        log.Clear();
        os.protectError = c.error;
        os.protectFillError = c.fillError;
        os.protectSizeQuerySucceeds = c.sizeQuerySucceeds;
        CORE::SecureWString out(L"stale");
        EXPECT_EQ(ProtectPassword(L"secret", &out), c.hr);
        EXPECT_TRUE(out.empty());
        CORE::SecureWString viaDecrypt(L"stale");
        EXPECT_EQ(DecryptAndProtectPassword(L"secret", CPUS_LOGON, &viaDecrypt), c.hr);
        EXPECT_TRUE(viaDecrypt.empty());
        DWORD size = 0;
        EXPECT_EQ(BuildInteractiveLogonBuffer(2, L"D", L"U", L"pw", nullptr, CPUS_LOGON, nullptr, &size), c.builderCode);
        EXPECT_TRUE(log.Contains(L"BuildInteractiveLogonBuffer: Password protect failed.", CORE::LOG_ERROR));
        size = 0;
        EXPECT_EQ(BuildHybridLogonBuffer(L"u", L"", L"D", L"U", L"pw", CPUS_LOGON, nullptr, &size), c.builderCode);
    }
}

TEST_F(Protection, CredentialUiAndEmptyPasswordsGoUnprotected) {
    struct Case {
        const wchar_t* payload;
        CREDENTIAL_PROVIDER_USAGE_SCENARIO scenario;
        const wchar_t* expected;
    };
    const Case cases[] = {
        {L"secret", CPUS_CREDUI, L"secret"},
        {L"", CPUS_LOGON, L""},
        {nullptr, CPUS_UNLOCK_WORKSTATION, L""},
        {L"", CPUS_CREDUI, L""},
    };
    for (const auto& c : cases) {
        CORE::SecureWString out;
        EXPECT_EQ(DecryptAndProtectPassword(c.payload, c.scenario, &out), S_OK);
        EXPECT_EQ(out, c.expected);
    }
    EXPECT_EQ(os.protectCalls, 0);
    EXPECT_EQ(DecryptAndProtectPassword(L"x", CPUS_LOGON, nullptr), E_INVALIDARG);
}

TEST_F(Protection, ProtectSecretCopyFallsBackToTheSecretWhenProtectionFails) {
    CORE::SecureWString out;
    ProtectSecretCopy(L"1234", &out);
    EXPECT_EQ(out, L"@@TCSIMMQAyADMANAA=");

    os.protectError = ERROR_ACCESS_DENIED;
    ProtectSecretCopy(L"1234", &out);
    EXPECT_EQ(out, L"1234");
    EXPECT_TRUE(log.Contains(L"ProtectSecretCopy: protection failed 0x80070005", CORE::LOG_WARN));
    EXPECT_FALSE(log.Contains(L"1234")) << "the PIN never reaches a log line";

    ProtectSecretCopy(L"", &out);
    EXPECT_TRUE(out.empty());
}

TEST_F(Protection, LookupAuthPackageAnswersTheIdOrTheStatusAndLeavesTheIdAloneOnFailure) {
    ULONG id = 99;
    EXPECT_EQ(LookupAuthPackage("Kerberos", &id), S_OK);
    EXPECT_EQ(id, 2u);
    EXPECT_EQ(LookupAuthPackage("LUMO_AUTHENTICATION_PACKAGE_V1_0", &id), S_OK);
    EXPECT_EQ(id, 7u);

    id = 99;
    EXPECT_EQ(LookupAuthPackage("NoSuchPackage", &id), static_cast<HRESULT>(0xD00000FEL));
    EXPECT_EQ(id, 99u);
    os.packageLookupStatus = static_cast<NTSTATUS>(0xC0000022L);  // access denied
    EXPECT_EQ(LookupAuthPackage("Negotiate", &id), static_cast<HRESULT>(0xD0000022L));
    EXPECT_EQ(id, 99u);
    EXPECT_EQ(LookupAuthPackage(nullptr, &id), E_INVALIDARG);
    EXPECT_EQ(LookupAuthPackage("NTLM", nullptr), E_INVALIDARG);
    EXPECT_EQ(os.packageLookups, (std::vector<std::string>{"Kerberos", "LUMO_AUTHENTICATION_PACKAGE_V1_0",
                                                          "NoSuchPackage", "Negotiate"}));
}

TEST_F(Protection, PackInteractiveLogonRefusesWhatNoCountedStringCanHold) {
    BYTE* buffer = reinterpret_cast<BYTE*>(1);
    DWORD size = 5;
    const std::wstring tooLong(32768, L'x');
    const std::wstring unterminated(65535, L'x');  // no terminator within 65535 characters
    EXPECT_EQ(PackInteractiveLogon(L"D", tooLong.c_str(), L"pw", CPUS_LOGON, &buffer, &size),
              HRESULT_FROM_WIN32(ERROR_ARITHMETIC_OVERFLOW));
    EXPECT_EQ(buffer, nullptr);
    EXPECT_EQ(size, 0u);
    EXPECT_EQ(PackInteractiveLogon(unterminated.c_str(), L"U", L"pw", CPUS_LOGON, &buffer, &size), E_INVALIDARG);
    EXPECT_EQ(PackInteractiveLogon(L"D", L"U", L"pw", CPUS_CHANGE_PASSWORD, &buffer, &size), E_FAIL);
    EXPECT_EQ(PackInteractiveLogon(L"D", L"U", L"pw", CPUS_LOGON, nullptr, &size), E_INVALIDARG);
    os.protectError = ERROR_ACCESS_DENIED;
    EXPECT_EQ(PackInteractiveLogon(L"D", L"U", L"pw", CPUS_LOGON, &buffer, &size),
              HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED));
    EXPECT_EQ(buffer, nullptr);
}

// What the wrappers hand out on success the provider's serialization test decodes.
TEST_F(Protection, HybridWrappersMapTheBuilderFailure) {
    BYTE* buffer = reinterpret_cast<BYTE*>(1);
    DWORD size = 5;
    EXPECT_EQ(CredFilterBuildHybridLogonBuffer(L"u", L"", L"D", L"", L"pw", CPUS_LOGON, &buffer, &size),
              HRESULT_FROM_WIN32(ERROR_INVALID_FUNCTION));
    EXPECT_EQ(buffer, nullptr);
    EXPECT_EQ(size, 0u);
    EXPECT_EQ(CredFilterBuildHybridCertificateLogonBuffer(L"u", L"", nullptr, nullptr, L"1", 0, nullptr, nullptr, L"",
                                                          L"P", &buffer, &size),
              HRESULT_FROM_WIN32(ERROR_INVALID_FUNCTION));
    EXPECT_EQ(CredFilterBuildHybridLogonBuffer(L"u", L"", L"D", L"U", L"pw", CPUS_LOGON, nullptr, &size), E_INVALIDARG);
    EXPECT_TRUE(log.Contains(L"CredFilterBuildHybridLogonBuffer: Invalid parameters pbHybridLogon=", CORE::LOG_WARN));
}

}  // namespace
