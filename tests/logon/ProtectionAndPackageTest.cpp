// Secrets on their way into buffers (CredProtectW through the seam, the CredUI and empty
// exceptions, the fallback of ProtectSecretCopy), the package lookup, and the allocating
// wrappers' failure mapping.
#include "logon/AuthPackage.h"
#include "logon/HybridLogon.h"
#include "logon/InteractiveLogon.h"
#include "logon/PasswordProtection.h"

#include "support/FakePlatform.h"
#include "support/LogCapture.h"

#include <gtest/gtest.h>

#include <functional>

namespace {

#define PACK(call) [&](BYTE** b, DWORD* s) -> HRESULT { return call; }

class Protection : public testing::Test {
protected:
    testsupport::FakePlatform os;
    testsupport::LogCapture log;
};

TEST_F(Protection, ProtectsForTheCallerWithTheTerminatorCountedAndNoProtectionTypeAsked) {
    CORE::SecureWString out;
    EXPECT_TRUE(ProtectPassword(L"secret", &out) == S_OK && out == L"@@TCSIMcwBlAGMAcgBlAHQA");
    // A size query, then the protection.
    EXPECT_EQ(std::make_tuple(os.protectCalls.load(), os.protectAsSelf, os.protectTypeRequested),
              std::make_tuple(2, std::vector<BOOL>{FALSE, FALSE}, std::vector<bool>{false, false}));
}

// The caller-buffer builders answer a Win32 code, never success or a size answer; E_FAIL has no
// Win32 facility and becomes 1.
TEST_F(Protection, MapsEveryProtectionFailureAndLeavesNothingBehind) {
    const struct { const char* name; DWORD error, fillError; bool sizeQuerySucceeds; HRESULT hr; DWORD builderCode; } cases[] = {
        {"size query fails", ERROR_NOT_SUPPORTED, 0, false, HRESULT_FROM_WIN32(ERROR_NOT_SUPPORTED), ERROR_NOT_SUPPORTED},
        {"size query succeeds", 0, 0, true, E_FAIL, 1},
        {"protection fails", 0, ERROR_ACCESS_DENIED, false, HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED), ERROR_ACCESS_DENIED},
        {"buffer answer from the protecting call", 0, ERROR_INSUFFICIENT_BUFFER, false,
         HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER), 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        log.Clear();
        os.protectError = c.error, os.protectFillError = c.fillError, os.protectSizeQuerySucceeds = c.sizeQuerySucceeds;
        CORE::SecureWString out(L"stale"), viaDecrypt(L"stale");
        const HRESULT direct = ProtectPassword(L"secret", &out);
        const HRESULT decrypted = DecryptAndProtectPassword(L"secret", CPUS_LOGON, &viaDecrypt);
        EXPECT_TRUE(direct == c.hr && decrypted == c.hr && out.empty() && viaDecrypt.empty());
        DWORD size = 0, hybridSize = 0;
        EXPECT_EQ(BuildInteractiveLogonBuffer(2, L"D", L"U", L"pw", nullptr, CPUS_LOGON, nullptr, &size), c.builderCode);
        EXPECT_EQ(BuildHybridLogonBuffer(L"u", L"", L"D", L"U", L"pw", CPUS_LOGON, nullptr, &hybridSize), c.builderCode);
        EXPECT_TRUE(log.Contains(L"BuildInteractiveLogonBuffer: Password protect failed.", CORE::LOG_ERROR));
    }
}

TEST_F(Protection, CredentialUiAndEmptyPasswordsGoUnprotectedAndACopyFallsBackToTheSecret) {
    const struct { const wchar_t* payload; CREDENTIAL_PROVIDER_USAGE_SCENARIO scenario; } kCases[] = {
        {L"secret", CPUS_CREDUI}, {L"", CPUS_LOGON}, {nullptr, CPUS_UNLOCK_WORKSTATION}};
    for (const auto& c : kCases) {
        CORE::SecureWString out;
        EXPECT_TRUE(DecryptAndProtectPassword(c.payload, c.scenario, &out) == S_OK && out == (c.payload ? c.payload : L""));
    }
    EXPECT_TRUE(os.protectCalls == 0 && DecryptAndProtectPassword(L"x", CPUS_LOGON, nullptr) == E_INVALIDARG);
    // The copy: protected, the secret itself when protection fails, nothing for nothing.
    for (const auto& [error, secret, copy] : {std::tuple{0ul, L"1234", L"@@TCSIMMQAyADMANAA="}, {ERROR_ACCESS_DENIED, L"1234", L"1234"}, {0ul, L"", L""}}) {
        os.protectError = error;
        CORE::SecureWString out(L"stale");
        ProtectSecretCopy(secret, &out);
        EXPECT_EQ(out, copy);
    }
    EXPECT_FALSE(log.Contains(L"1234")) << "the PIN never reaches a log line";
}

TEST_F(Protection, LookupAuthPackageAnswersTheIdOrTheStatusAndLeavesTheIdAloneOnFailure) {
    const struct { const char* name; NTSTATUS lookupStatus; HRESULT hr; ULONG id; } kCases[] = {
        {"Kerberos", 0, S_OK, 2},
        {"NoSuchPackage", 0, static_cast<HRESULT>(0xD00000FEL), 99},
        {"Negotiate", static_cast<NTSTATUS>(0xC0000022L), static_cast<HRESULT>(0xD0000022L), 99},  // access denied
        {nullptr, 0, E_INVALIDARG, 99},
    };
    for (const auto& c : kCases) {
        ULONG id = 99;
        os.packageLookupStatus = c.lookupStatus;
        EXPECT_EQ(std::make_pair(LookupAuthPackage(c.name, &id), id), std::make_pair(c.hr, c.id)) << c.name;
    }
    EXPECT_EQ(LookupAuthPackage("NTLM", nullptr), E_INVALIDARG);
    EXPECT_EQ(os.packageLookups, (std::vector<std::string>{"Kerberos", "NoSuchPackage", "Negotiate"}));
}

// Counted strings hold at most 65534 bytes: what would wrap their 16-bit length is refused.
TEST_F(Protection, AllocatingWrappersRefuseWhatNoCountedStringCanHoldAndMapTheBuilderFailure) {
    const std::wstring tooLong(32768, L'x');
    const std::wstring unterminated(65535, L'x');  // no terminator within 65535 characters
    const struct { std::function<HRESULT(BYTE**, DWORD*)> pack; HRESULT hr; DWORD protectError = 0; } kCases[] = {
        {PACK(PackInteractiveLogon(L"D", tooLong.c_str(), L"pw", CPUS_LOGON, b, s)), HRESULT_FROM_WIN32(ERROR_ARITHMETIC_OVERFLOW)},
        {PACK(PackInteractiveLogon(unterminated.c_str(), L"U", L"pw", CPUS_LOGON, b, s)), E_INVALIDARG},
        {PACK(PackInteractiveLogon(L"D", L"U", L"pw", CPUS_CHANGE_PASSWORD, b, s)), E_FAIL},
        {PACK(PackInteractiveLogon(L"D", L"U", L"pw", CPUS_LOGON, b, s)), HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED),
         ERROR_ACCESS_DENIED},  // protection fails
        // Hybrid frames without a user, or a certificate one without its container.
        {PACK(CredFilterBuildHybridLogonBuffer(L"u", L"", L"D", L"", L"pw", CPUS_LOGON, b, s)),
         HRESULT_FROM_WIN32(ERROR_INVALID_FUNCTION)},
        {PACK(CredFilterBuildHybridCertificateLogonBuffer(L"u", L"", nullptr, nullptr, L"1", 0, nullptr, nullptr, L"", L"P", b, s)),
         HRESULT_FROM_WIN32(ERROR_INVALID_FUNCTION)},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(&c - kCases);
        os.protectError = c.protectError;
        BYTE* buffer = reinterpret_cast<BYTE*>(1);
        DWORD size = 5;
        EXPECT_EQ(c.pack(&buffer, &size), c.hr);
        EXPECT_EQ(std::make_pair(buffer, size), std::make_pair(static_cast<BYTE*>(nullptr), DWORD{0}));
    }
    DWORD size = 0;
    EXPECT_TRUE(PackInteractiveLogon(L"D", L"U", L"pw", CPUS_LOGON, nullptr, &size) == E_INVALIDARG &&
                CredFilterBuildHybridLogonBuffer(L"u", L"", L"D", L"U", L"pw", CPUS_LOGON, nullptr, &size) == E_INVALIDARG);
}

}  // namespace
