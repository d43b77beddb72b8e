// The key vault retry rule: against the real vault made "not ready" for N calls, and against a
// scripted gate for the answers the real vault does not give on demand.
#include "DecryptSupport.h"

#include "lib/mfw/common/bag/PropertyBag.h"
#include "support/FakePlatform.h"
#include "sso/SecurityManager.h"

#include <gtest/gtest.h>

namespace {

using secmgrtest::DecryptFixture;
using secmgrtest::g_sleeps;
using secmgrtest::g_sleptMs;

const wchar_t kAesVector[] = L"{SSO-AES:1}obLD1OX2BxhUap2tzq8DrfWbcqoWilshd+O/5+aRaspTAHO6iV44/A==";
const wchar_t kSmssVector[] = L"{SSO-SMSS:1}ARDw4dLDtKWWh3hpWks8LR4P1AwkEF2lS5PAn7bAqjbCfA==";

class Retry : public DecryptFixture {
protected:
    void SetUp() override {
        DecryptFixture::SetUp();
        ImportKey(L"SECURITYMGRSSO", secmgrtest::kVectorKey);
        ImportKey(L"SSO", secmgrtest::kVectorKey);
    }
    testsupport::FakePlatform fake;
};

TEST_F(Retry, AVaultNotReadyIsWaitedForUpToThirtyAttempts) {
    const struct {
        DWORD notReadyCalls;
        const wchar_t* payload;
        const wchar_t* secret;  // empty: the decryption fails
        int pauses;
        DWORD left;             // "not ready" answers the vault still has to give
        const wchar_t* line;
        int level;
    } kCases[] = {
        {3, kAesVector, L"Pa$$w0rd-\u00dcn\u00efc\u00f8d\u00e9", 3, 0,
         L"UtilSM::kvCallWithRetry(): KeyVault call 'decipherWithDerivedKey' succeeded on attempt 4", CORE::LOG_DEBUG},
        {2, kSmssVector, L"482913", 2, 0, L"KeyVault call 'exist' succeeded on attempt 3", CORE::LOG_DEBUG},
        {40, kAesVector, L"", 29, 10,  // no pause after the last attempt
         L"UtilSM::kvCallWithRetry(): KeyVault call 'decipherWithDerivedKey' could not be executed: Key vault not ready",
         CORE::LOG_ERROR},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.notReadyCalls);
        log.Clear();
        g_sleeps = 0;
        g_sleptMs = 0;
        fake.keyVaultNotReadyCalls = static_cast<int>(c.notReadyCalls);
        EXPECT_EQ(DecryptProtectedPayload(c.payload).view(), c.secret);
        EXPECT_EQ(g_sleeps, c.pauses);
        EXPECT_EQ(g_sleptMs, 1000u * c.pauses) << "1000 ms between attempts";
        EXPECT_EQ(fake.keyVaultNotReadyCalls.load(), static_cast<int>(c.left));
        CORE::FlushLog();
        EXPECT_TRUE(log.Contains(c.line, c.level)) << Narrow(log.Dump());
    }
    // A call that could not be executed fails without a reason of its own.
    EXPECT_FALSE(log.Contains(L"Cannot decipher data with"));
    EXPECT_TRUE(log.Contains(L"SecurityManager::DecryptEx FAILED: Cannot decrypt: Cipher scheme decryption failed.",
                             CORE::LOG_ERROR));
}

// --- Scripted gate ---

struct Answer {
    DWORD result;
    DWORD code;
    const wchar_t* text;
};

std::vector<Answer> g_script;
size_t g_calls = 0;
bool g_responseWasDirty = false;

DWORD ScriptedGate(const std::wstring&, const CORE::PropertyBag&, CORE::PropertyBag& response, const BYTE*, size_t,
                   keyvault::SecureBytes& output) {
    if (!response.IsEmpty() || !output.empty()) g_responseWasDirty = true;
    const Answer& answer = g_script[g_calls < g_script.size() ? g_calls : g_script.size() - 1];
    ++g_calls;
    if (answer.result == 0) {
        output.assign(3, 0x41);
    } else {
        output.assign(3, 0x66);  // whatever a failed call left behind must not survive
        if (answer.code)
            response.SetError(answer.code, answer.text);
        else
            response.SetErrorText(answer.text);
    }
    return answer.result;
}

struct ScriptCase {
    const char* what;
    std::vector<Answer> script;
    int result;
    size_t calls;
    const wchar_t* line;
    int level;
};

TEST_F(Retry, OutcomesOfTheRetryRule) {
    const Answer busy{10, 0, L"Busy"}, notReady{1, 30001, L"Key vault not ready"}, noKey{1, 30002, L"No such key"},
        ok{0, 0, L""};
    const ScriptCase kCases[] = {
        {"first time", {ok}, 0, 1, L"KeyVault call 'probe' succeeded", CORE::LOG_TRACE},
        {"after busy", {busy, busy, ok}, 0, 3, L"KeyVault call 'probe' succeeded on attempt 3", CORE::LOG_DEBUG},
        {"error at once", {noKey}, 1, 1, L"KeyVault call 'probe' failed: No such key", CORE::LOG_TRACE},
        {"error later", {notReady, busy, noKey}, 1, 3, L"KeyVault call 'probe' returned 'No such key' on attempt 3",
         CORE::LOG_DEBUG},
        {"error without code", {{1, 0, L"Refused"}}, 1, 1, L"KeyVault call 'probe' failed: Refused", CORE::LOG_TRACE},
        {"not executed", {{2, 0, L"Unknown operation"}}, 2, 1,
         L"KeyVault call 'probe' could not be executed: Unknown operation", CORE::LOG_ERROR},
        {"busy throughout", {busy}, 2, 30, L"KeyVault call 'probe' could not be executed: Busy", CORE::LOG_ERROR},
        {"unknown result", {{7, 0, L"Odd"}}, 2, 1, L"KeyVault call 'probe' could not be executed: Odd", CORE::LOG_ERROR},
    };
    hooks_.gate = &ScriptedGate;
    for (const ScriptCase& c : kCases) {
        SCOPED_TRACE(c.what);
        g_script = c.script;
        g_calls = 0;
        g_sleeps = 0;
        g_responseWasDirty = false;
        log.Clear();
        CORE::PropertyBag request, response;
        keyvault::SecureBytes output;
        EXPECT_EQ(UtilSM::kvCallWithRetry(L"probe", request, response, nullptr, 0, output), c.result);
        EXPECT_EQ(g_calls, c.calls);
        EXPECT_EQ(g_sleeps, static_cast<int>(c.calls) - 1);
        EXPECT_FALSE(g_responseWasDirty) << "each attempt starts with an empty response";
        EXPECT_EQ(output.empty(), c.result != 0);
        CORE::FlushLog();
        EXPECT_TRUE(log.Contains(c.line, c.level)) << Narrow(log.Dump());
    }
}

}  // namespace
