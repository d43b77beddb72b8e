// Payload decryption end to end through the real key vault in a private HKLM: pass-through of
// plain text, round trips with payloads the agent side writes, vectors computed with openssl,
// the rules for the deciphered prefix, every failure with its log lines and the key vault retry
// rule (mutated payloads: the fuzz driver's payload target).
#include "sso/SecurityManager.h"

#include "lib/keyvault/KeyVault.h"
#include "lib/keyvault/PayloadWriter.h"
#include "lib/mfw/common/bag/PropertyBag.h"
#include "sso/SecurityException.h"
#include "sso/UtilSM.h"

#include "keyvault/VaultSandbox.h"
#include "support/FakePlatform.h"
#include "support/LogCapture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <initializer_list>
#include <tuple>

namespace {

using namespace std::string_literals;
using testsupport::Narrow;

const BYTE kOtherKey[32] = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0x99, 0xaa, 0xbb, 0xcc, 0xdd, 0xee, 0xff, 0x00,
                            0x10, 0x20, 0x30, 0x40, 0x50, 0x60, 0x70, 0x80, 0x90, 0xa0, 0xb0, 0xc0, 0xd0, 0xe0, 0xf0, 0x01};

// Computed with openssl, independently of this code (see KeyVault.h for the commands):
// master key kVectorKey, PBKDF2-HMAC-SHA1 1500 iterations over salt a1b2c3d4e5f60718, then
// AES-256-CBC with a zero IV and PKCS#7 of "ABAB" 00 "Pa$$w0rd-\u00dcn\u00efc\u00f8d\u00e9".
const wchar_t kAesVector[] = L"{SSO-AES:1}obLD1OX2BxhUap2tzq8DrfWbcqoWilshd+O/5+aRaspTAHO6iV44/A==";
const wchar_t kAesSecret[] = L"Pa$$w0rd-\u00dcn\u00efc\u00f8d\u00e9";
// PBKDF2-HMAC-SHA256 3501 iterations over the IV f0e1d2c3b4a5968778695a4b3c2d1e0f, AES-256-CBC
// with that IV and PKCS#7 of "482913", SMSS layout 01 10 <IV> <cipher text>.
const wchar_t kSmssVector[] = L"{SSO-SMSS:1}ARDw4dLDtKWWh3hpWks8LR4P1AwkEF2lS5PAn7bAqjbCfA==";
// The unnamed key's: 11 22 11 22 00 "7391" with salt 0102030405060708.
const wchar_t kUnnamedVector[] = L"{#-AES:1}AQIDBAUGBwi7NtEceEW7Pry4bTZdBY2/";

std::atomic<int> g_sleeps{0};
std::atomic<DWORD> g_sleptMs{0};

class Decrypt : public testing::Test {
protected:
    void SetUp() override {
        g_sleeps = 0;
        g_sleptMs = 0;
        hooks_.sleep = [](DWORD ms) { ++g_sleeps, g_sleptMs += ms; };
        UtilSM::SetHooksForTest(&hooks_);
        for (const wchar_t* name : {L"SECURITYMGRSSO", L"SECURITYMGRSESS", L"SSO"}) ImportKey(name, vaulttest::kVectorKey);
    }
    void TearDown() override { UtilSM::SetHooksForTest(nullptr); }

    static void ImportKey(const wchar_t* name, const BYTE (&key)[32]) {
        ASSERT_TRUE(keyvault::ImportMasterKey(name, key, sizeof(key)).ok());
    }
    // Base64 of `header` followed by zero bytes up to `total` bytes.
    static std::wstring Base64(size_t total, std::initializer_list<BYTE> header = {0}) {
        std::vector<BYTE> bytes(header);
        bytes.resize(total, 0);
        return CORE::Base64Encode(bytes.data(), bytes.size());
    }
    static std::wstring FromBytes(const std::string& bytes, const wchar_t* name = L"SSO", const wchar_t* scheme = L"AES") {
        return keyvault::BuildPayloadFromBytes(reinterpret_cast<const BYTE*>(bytes.data()), bytes.size(), name, scheme);
    }
    std::string LogText() { return Narrow(log.Dump()); }

    vaulttest::VaultSandbox registry;
    testsupport::LogCapture log;
    UtilSM::Hooks hooks_;
};

TEST_F(Decrypt, PlainTextAndPayloadsOfTheAgentSideAndOpensslComeOutRight) {
    for (const std::wstring text : {L"", L"Pa$$w0rd", L" {SSO-AES:1}AAAA", L"lone \xD800 surrogate"})
        EXPECT_EQ(DecryptProtectedPayload(text).view(), text);
    const struct { const wchar_t *scheme, *keyName; std::wstring text; } kCases[] = {
        {L"AES", L"SSO", L"Pa$$w0rd"}, {L"AES", L"SSO", L""}, {L"AES", L"", L"4711"},
        {L"AES", L"pin-key", std::wstring(300, L'x') + L"Gr\u00fc\u00dfe \u20ac \U0001F511"},
        {L"SMSS", L"SSO", L""}, {L"SMSS", L"other:key", L"482913\u65e5\u672c\u8a9e"},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(Narrow(c.scheme) + " " + Narrow(c.keyName));
        std::wstring error, payload = keyvault::BuildProtectedPayload(c.text, c.keyName, c.scheme, &error);
        ASSERT_FALSE(payload.empty()) << Narrow(error);
        EXPECT_EQ(DecryptProtectedPayload(payload).view(), c.text);
    }
    // The vectors; the AES one under version 0, as older agents tag it; and a payload whose text
    // carries a terminator: the wide result ends at the NUL, which is not part of the secret.
    const std::pair<std::wstring, std::wstring> kVectors[] = {{kAesVector, kAesSecret}, {kSmssVector, L"482913"}, {kUnnamedVector, L"7391"},
        {std::wstring(kAesVector).replace(9, 1, L"0"), kAesSecret}, {FromBytes(std::string("secret\0", 7)), L"secret"}};
    for (const auto& [payload, secret] : kVectors) EXPECT_EQ(DecryptProtectedPayload(payload).view(), secret) << Narrow(payload);
    CORE::FlushLog();
    EXPECT_EQ(log.Count(L"FAILED"), 0u) << LogText();
    EXPECT_EQ(log.Count(L"Pa$$w0rd") + log.Count(L"482913") + log.Count(L"4711"), 0u) << "secrets never reach the log";
}

TEST_F(Decrypt, PrefixRulesForNamedAndUnnamedKeys) {
    const std::string kRefused = "refused: Bad padding. Wrong key?";
    // What the vault hands back, and DecryptEx's result.
    const struct { const wchar_t* keyName; std::string deciphered, plain; } kCases[] = {
        {L"SSO", "ABAB\0secret"s, "secret"},         // after the first zero
        {L"SSO", "secret", "secret"},                // no zero: all of it
        {L"SSO", "secret\0"s, "secret\0"s},          // zero last: all of it
        {L"SSO", "AB\0se\0t"s, "se\0t"s},            // the second zero belongs to the text
        {L"", "\x01\x02\x01\x02\0" "1234"s, "1234"},  // unnamed: x y x y before the zero
        {L"", "zzzQRQR\0" "1234"s, "1234"},          // longer prefix
        {L"", "QRQR\0"s, "QRQR\0"s},                 // zero last: all of it
        {L"", "ABBA\0" "1234"s, kRefused},            // x y y x
        {L"", "ABAC\0" "1234"s, kRefused},            // x y x z
        {L"", "BAB\0" "1234"s, kRefused},             // three bytes before the zero
        {L"", "ABAB1234", kRefused},                 // no zero
    };
    for (const auto& c : kCases) {
        std::string result;
        try {
            const CORE::SecureBytes plain = SecurityManager().DecryptEx(Narrow(FromBytes(c.deciphered, c.keyName)));
            result.assign(plain.begin(), plain.end());
        } catch (const SecurityException& e) { result = std::string("refused: ") + e.what(); }
        EXPECT_EQ(result, c.plain) << testing::PrintToString(c.deciphered);
    }
}

TEST_F(Decrypt, EveryFailureLogsItsReasonAndYieldsAnEmptySecret) {
    ImportKey(L"SECURITYMGRSSO", kOtherKey);  // not the vector's key
    const std::wstring kScheme = L"Cannot decrypt: Cipher scheme decryption failed.",
                       kTag = L"Cannot decrypt: Cannot parse key specification.", kFailed = L"SecurityManager::DecryptEx FAILED: ";
    // reason: after "SecurityManager::DecryptEx FAILED: "; detail: one line of each family of details.
    const struct { std::wstring payload, reason, detail = L""; } kCases[] = {
        {L"{SSO-AES:0}" + Base64(16), kScheme, L"CipherScheme_AES::decipher(): Cannot decrypt cipher text: data truncated (16)"},
        {L"{SSO-AES:0}" + Base64(28), kScheme},  // not whole blocks
        {L"{SSO-AES:0}QUJD*EVG", kScheme},       // not Base64
        {L"{a-b-c-d-e}QUJD", kTag, L"Key::parseTag(): Invalid encryption tag - found 5 components!"},
        {L"{SSO-\"\":1}QUJD", kTag},  // a quoted empty scheme parses, but names none
        {L"{SSO-XYZ:1}QUJD", L"Cannot decrypt: Cipher scheme is not available.", L"Key::cipherScheme(): Scheme: XYZ"},
        {L"{SSO-ASKS=3:1}QUJD", L"Cannot decrypt: Key not supplied."},  // no session key
        {L"{SSO-SMSS:1}" + Base64(32, {7}), kScheme, L"CipherScheme_SMSS::decipher(): Cannot decrypt cipher text with "
         L"SMSS scheme: meta invalid or unknown scheme version (7)"},
        {L"{SSO-SMSS:1}" + Base64(10, {1}), kScheme},      // shorter than its header
        {L"{SSO-SMSS:1}" + Base64(40, {1, 200}), kScheme},  // an IV past the end
        {L"{SSO-SMSS:1}" + Base64(26, {1, 8}), kScheme},    // an IV of 8 bytes
        {L"{Nope-AES:1}" + Base64(24), kScheme, L"Cannot decipher data with Nope: No such key: Nope"},
        {L"{Missing-SMSS:1}" + Base64(34, {1, 16}), kScheme},
        {kAesVector, kScheme, L"with SECURITYMGRSSO: Cannot decipher data: bad padding"},  // wrong key
        {FromBytes("ABBA\0" "1234"s, L""), L"Bad padding. Wrong key?"},  // unnamed key, bad pattern
        {FromBytes("\xff\xfe", L"SMSS-pin", L"SMSS"), L"Cannot decrypt: Plain text is not valid UTF-8."},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(Narrow(c.payload));
        log.Clear();
        EXPECT_TRUE(DecryptProtectedPayload(c.payload).empty());
        CORE::FlushLog();
        EXPECT_TRUE(log.Count(kFailed, CORE::LOG_ERROR) == 1u && log.Contains(kFailed + c.reason, CORE::LOG_ERROR) &&
                    (c.detail.empty() || log.Contains(c.detail))) << LogText();
    }
}

// --- The key vault retry rule: the decryption's own calls through it, then a scripted gate for
// the answers the real vault does not give on demand.

TEST_F(Decrypt, AVaultNotReadyIsWaitedForUpToThirtyAttempts) {
    testsupport::FakePlatform fake;
    const std::tuple<const wchar_t*, const wchar_t*, int> kCases[] = {
        {kAesVector, kAesSecret, 3}, {kSmssVector, L"482913", 2}, {kAesVector, L"", 40}};  // no secret: it fails
    for (const auto& [payload, secret, notReady] : kCases) {
        fake.keyVaultNotReadyCalls = notReady;
        EXPECT_EQ(DecryptProtectedPayload(payload).view(), secret);
        EXPECT_EQ(fake.keyVaultNotReadyCalls.load(), std::max(0, notReady - 30)) << "not-ready answers left";
    }
}

struct Answer { DWORD result, code; const wchar_t* text; };
std::vector<Answer> g_script;
size_t g_calls = 0;
bool g_responseWasDirty = false;

DWORD ScriptedGate(const std::wstring&, const CORE::PropertyBag&, CORE::PropertyBag& response, const BYTE*, size_t,
                   CORE::SecureBytes& output) {
    g_responseWasDirty |= !response.IsEmpty() || !output.empty();
    const Answer& answer = g_script[std::min(g_calls++, g_script.size() - 1)];
    output.assign(3, answer.result ? 0x66 : 0x41);  // whatever a failed call left behind must not survive
    if (answer.result && answer.code) response.SetError(answer.code, answer.text);
    if (answer.result && !answer.code) response.SetErrorText(answer.text);
    return answer.result;
}

TEST_F(Decrypt, OutcomesOfTheRetryRule) {
    const Answer busy{10, 0, L"Busy"}, notReady{1, 30001, L"Key vault not ready"}, noKey{1, 30002, L"No such key"}, ok{0, 0, L""};
    // line: after "KeyVault call 'probe' ", at `level`.
    const struct { std::vector<Answer> script; int result; size_t calls; const wchar_t* line; int level; } kCases[] = {
        {{ok}, 0, 1, L"succeeded", CORE::LOG_TRACE},
        {{busy, notReady, ok}, 0, 3, L"succeeded on attempt 3", CORE::LOG_DEBUG},
        {{noKey}, 1, 1, L"failed: No such key", CORE::LOG_TRACE},
        {{notReady, busy, noKey}, 1, 3, L"returned 'No such key' on attempt 3", CORE::LOG_DEBUG},
        {{{2, 0, L"Unknown operation"}}, 2, 1, L"could not be executed: Unknown operation", CORE::LOG_ERROR},
        {{busy}, 2, 30, L"could not be executed: Busy", CORE::LOG_ERROR},
        {{notReady}, 2, 30, L"could not be executed: Key vault not ready", CORE::LOG_ERROR},
        {{{7, 0, L"Odd"}}, 2, 1, L"could not be executed: Odd", CORE::LOG_ERROR},
    };
    hooks_.gate = &ScriptedGate;
    for (const auto& c : kCases) {
        SCOPED_TRACE(Narrow(c.line));
        g_script = c.script, g_calls = 0, g_sleeps = 0, g_sleptMs = 0, g_responseWasDirty = false;
        log.Clear();
        CORE::PropertyBag request, response;
        CORE::SecureBytes output;
        EXPECT_EQ(UtilSM::kvCallWithRetry(L"probe", request, response, nullptr, 0, output), c.result);
        EXPECT_EQ(std::make_tuple(g_calls, g_sleeps.load(), g_sleptMs.load(), output.empty()),
                  std::make_tuple(c.calls, static_cast<int>(c.calls) - 1, 1000u * (c.calls - 1), c.result != 0))
            << "calls, pauses of 1000 ms, no output";
        EXPECT_FALSE(g_responseWasDirty) << "each attempt starts with an empty response";
        CORE::FlushLog();
        EXPECT_TRUE(log.Contains(L"KeyVault call 'probe' " + std::wstring(c.line), c.level)) << LogText();
    }
}

}  // namespace
