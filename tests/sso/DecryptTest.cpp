// Payload decryption end to end through the real key vault in a private HKLM: pass-through of
// plain text, round trips with payloads the agent side writes, vectors computed with openssl,
// the rules for the deciphered prefix, and every failure with its log lines.
#include "sso/SecurityManager.h"

#include "DecryptSupport.h"
#include "lib/keyvault/PayloadWriter.h"
#include "sso/CipherScheme.h"
#include "sso/Key.h"
#include "sso/SecurityException.h"

#include <gtest/gtest.h>

namespace {

using secmgrtest::DecryptFixture;

class Decrypt : public DecryptFixture {};

TEST_F(Decrypt, TextNotInTheProtectedFormComesBackUnchanged) {
    const std::wstring kTexts[] = {
        L"",
        L"Pa$$w0rd",
        L" {SSO-AES:1}AAAA",   // not at the start
        L"{SSO-AES:1",         // no closing brace (more forms in KeyTest)
        std::wstring(L"lone \xD800 surrogate"),
    };
    for (const std::wstring& text : kTexts) EXPECT_EQ(DecryptProtectedPayload(text).view(), text);
    EXPECT_EQ(log.Count(L"FAILED"), 0u);
}

TEST_F(Decrypt, PayloadsWrittenByTheAgentSideRoundTrip) {
    const struct {
        const wchar_t* scheme;
        const wchar_t* keyName;
        std::wstring text;
    } kCases[] = {
        {L"AES", L"SSO", L"Pa$$w0rd"},
        {L"AES", L"SSO", L""},
        {L"AES", L"SSO", std::wstring(300, L'x')},
        {L"AES", L"", L"4711"},
        {L"AES", L"pin-key", L"Gr\u00fc\u00dfe \u20ac \U0001F511"},
        {L"SMSS", L"SSO", L"482913"},
        {L"SMSS", L"SSO", L""},
        {L"SMSS", L"other:key", L"\u65e5\u672c\u8a9e"},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(testing::Message() << Narrow(c.scheme) << " " << Narrow(c.keyName));
        std::wstring error;
        std::wstring payload = keyvault::BuildProtectedPayload(c.text, c.keyName, c.scheme, &error);
        ASSERT_FALSE(payload.empty()) << Narrow(error);
        EXPECT_EQ(DecryptProtectedPayload(payload).view(), c.text);
    }
    CORE::FlushLog();
    EXPECT_EQ(log.Count(L"FAILED"), 0u) << Narrow(log.Dump());
    EXPECT_EQ(log.Count(L"Pa$$w0rd") + log.Count(L"482913") + log.Count(L"4711"), 0u) << "secrets never reach the log";
}

// Computed with openssl, independently of this code (see KeyVault.h for the commands):
// master key kVectorKey, PBKDF2-HMAC-SHA1 1500 iterations over salt a1b2c3d4e5f60718, then
// AES-256-CBC with a zero IV and PKCS#7 of "ABAB" 00 "Pa$$w0rd-\u00dcn\u00efc\u00f8d\u00e9".
const wchar_t kAesVector[] = L"{SSO-AES:1}obLD1OX2BxhUap2tzq8DrfWbcqoWilshd+O/5+aRaspTAHO6iV44/A==";
// PBKDF2-HMAC-SHA256 3501 iterations over the IV f0e1d2c3b4a5968778695a4b3c2d1e0f, AES-256-CBC
// with that IV and PKCS#7 of "482913", SMSS layout 01 10 <IV> <cipher text>.
const wchar_t kSmssVector[] = L"{SSO-SMSS:1}ARDw4dLDtKWWh3hpWks8LR4P1AwkEF2lS5PAn7bAqjbCfA==";

TEST_F(Decrypt, VectorsComputedWithOpensslDecrypt) {
    ImportKey(L"SECURITYMGRSSO", secmgrtest::kVectorKey);
    ImportKey(L"SSO", secmgrtest::kVectorKey);
    EXPECT_EQ(DecryptProtectedPayload(kAesVector).view(), L"Pa$$w0rd-\u00dcn\u00efc\u00f8d\u00e9");
    EXPECT_EQ(DecryptProtectedPayload(kSmssVector).view(), L"482913");
    // The same data under version 0, as older agents tag it.
    EXPECT_EQ(DecryptProtectedPayload(L"{SSO-AES:0}obLD1OX2BxhUap2tzq8DrfWbcqoWilshd+O/5+aRaspTAHO6iV44/A==").view(),
              L"Pa$$w0rd-\u00dcn\u00efc\u00f8d\u00e9");
}

struct PrefixCase {
    const char* what;
    const wchar_t* keyName;
    std::string deciphered;  // what the vault hands back
    bool accepted;
    std::string plain;       // DecryptEx's result when accepted
};

const PrefixCase kPrefixCases[] = {
    {"named: after the first zero", L"SSO", std::string("ABAB\0secret", 11), true, "secret"},
    {"named: short prefix", L"SSO", std::string("A\0secret", 8), true, "secret"},
    {"named: no zero, all of it", L"SSO", "secret", true, "secret"},
    {"named: zero last, all of it", L"SSO", std::string("secret\0", 7), true, std::string("secret\0", 7)},
    {"named: second zero belongs to the text", L"SSO", std::string("AB\0se\0t", 7), true, std::string("se\0t", 4)},
    {"unnamed: x y x y", L"", std::string("\x01\x02\x01\x02\0" "1234", 9), true, "1234"},
    {"unnamed: longer prefix", L"", std::string("zzzQRQR\0" "1234", 12), true, "1234"},
    {"unnamed: zero last, all of it", L"", std::string("QRQR\0", 5), true, std::string("QRQR\0", 5)},
    {"unnamed: x y y x", L"", std::string("ABBA\0" "1234", 9), false, ""},
    {"unnamed: three bytes before zero", L"", std::string("BAB\0" "1234", 8), false, ""},
    {"unnamed: no zero", L"", "ABAB1234", false, ""},
};

TEST_F(Decrypt, PrefixRulesForNamedAndUnnamedKeys) {
    for (const PrefixCase& c : kPrefixCases) {
        SCOPED_TRACE(c.what);
        std::wstring payload = keyvault::BuildPayloadFromBytes(reinterpret_cast<const BYTE*>(c.deciphered.data()),
                                                               c.deciphered.size(), c.keyName);
        ASSERT_FALSE(payload.empty());
        SecurityManager manager;
        if (c.accepted) {
            keyvault::SecureBytes plain = manager.DecryptEx(Narrow(payload));
            EXPECT_EQ(std::string(plain.begin(), plain.end()), c.plain);
        } else {
            try {
                (void)manager.DecryptEx(Narrow(payload));
                ADD_FAILURE() << "accepted";
            } catch (const SecurityException& e) {
                EXPECT_STREQ(e.what(), "Bad padding. Wrong key?");
            }
        }
    }
    // The wide result ends at a NUL: a terminator the payload carried is not part of the secret.
    std::string terminated("secret\0", 7);
    EXPECT_EQ(DecryptProtectedPayload(keyvault::BuildPayloadFromBytes(reinterpret_cast<const BYTE*>(terminated.data()),
                                                                      terminated.size()))
                  .view(),
              L"secret");
}

struct FailureCase {
    const char* what;
    std::wstring payload;
    const wchar_t* reason;  // after "SecurityManager::DecryptEx FAILED: "
    const wchar_t* detail;  // another line that must be logged, or null
    int detailLevel;
};

TEST_F(Decrypt, EveryFailureLogsItsReasonAndYieldsAnEmptySecret) {
    ImportKey(L"SECURITYMGRSSO", secmgrtest::kOtherKey);  // not the vector's key
    ImportKey(L"SSO", secmgrtest::kVectorKey);
    const std::string notUtf8("\xff\xfe", 2);
    const std::string badPattern("ABBA\0" "1234", 9);
    const FailureCase kCases[] = {
        {"fewer than 24 bytes", L"{SSO-AES:0}" + Base64(16), L"Cannot decrypt: Cipher scheme decryption failed.",
         L"CipherScheme_AES::decipher(): Cannot decrypt cipher text: data truncated (16)", CORE::LOG_ERROR},
        {"partial block", L"{SSO-AES:0}" + Base64(8 + 20), L"Cannot decrypt: Cipher scheme decryption failed.",
         L"CipherScheme_AES::decipher(): Cannot decrypt cipher text: invalid data length (20)", CORE::LOG_ERROR},
        {"not Base64", L"{SSO-AES:0}QUJD*EVG", L"Cannot decrypt: Cipher scheme decryption failed.",
         L"CipherScheme_AES::decipher(): Cannot decrypt cipher text: invalid Base64 data", CORE::LOG_ERROR},
        {"five components", L"{a-b-c-d-e}QUJD", L"Cannot decrypt: Cannot parse key specification.",
         L"Key::parseTag(): Invalid encryption tag - found 5 components!", CORE::LOG_TRACE},
        {"version not a number", L"{SSO-AES:one}QUJD", L"Cannot decrypt: Cannot parse key specification.", nullptr, 0},
        {"quoted empty scheme", L"{SSO-\"\":1}QUJD", L"Cannot decrypt: Cannot parse key specification.", nullptr, 0},
        {"unknown scheme", L"{SSO-XYZ:1}QUJD", L"Cannot decrypt: Cipher scheme is not available.",
         L"Key::cipherScheme(): Scheme: XYZ", CORE::LOG_TRACE},
        {"ASKS without a session key", L"{SSO-ASKS=3:1}QUJD", L"Cannot decrypt: Key not supplied.", nullptr, 0},
        {"SMSS version 7", L"{SSO-SMSS:1}" + Base64(32, 7), L"Cannot decrypt: Cipher scheme decryption failed.",
         L"CipherScheme_SMSS::decipher(): Cannot decrypt cipher text with SMSS scheme: meta invalid or unknown scheme version (7)",
         CORE::LOG_ERROR},
        {"SMSS version 7 from params", L"{SSO-SMSS:1}" + Base64(32, 7), L"Cannot decrypt: Cipher scheme decryption failed.",
         L"CipherScheme_SMSS::params(): Requested SMSS scheme version out of range (7)", CORE::LOG_ERROR},
        {"SMSS short", L"{SSO-SMSS:1}" + Base64(10, 1), L"Cannot decrypt: Cipher scheme decryption failed.",
         L"CipherScheme_SMSS::decipher(): Cannot decrypt cipher text with SMSS scheme: data truncated (10)",
         CORE::LOG_ERROR},
        {"SMSS IV longer than the data", L"{SSO-SMSS:1}" + Base64Header({1, 200}, 40),
         L"Cannot decrypt: Cipher scheme decryption failed.",
         L"CipherScheme_SMSS::decipher(): Cannot decrypt cipher text with SMSS scheme 1: meta invalid or data truncated (min=218 act=40)",
         CORE::LOG_ERROR},
        {"SMSS IV not 16 bytes", L"{SSO-SMSS:1}" + Base64Header({1, 8}, 8 + 2 + 16),
         L"Cannot decrypt: Cipher scheme decryption failed.",
         L"CipherScheme_SMSS::decipher(): Cannot decipher data with SSO: IV must have 16 bytes", CORE::LOG_ERROR},
        {"AES key missing", L"{Nope-AES:1}" + Base64(24), L"Cannot decrypt: Cipher scheme decryption failed.",
         L"CipherScheme_AES::decipher(): Cannot decipher data with Nope: No such key: Nope", CORE::LOG_ERROR},
        {"SMSS key missing", L"{Missing-SMSS:1}" + Base64Header({1, 16}, 34),
         L"Cannot decrypt: Cipher scheme decryption failed.",
         L"CipherScheme_SMSS::decipher(): Cannot decipher data with Missing: No such key: Missing", CORE::LOG_ERROR},
        {"wrong master key", kAesVector, L"Cannot decrypt: Cipher scheme decryption failed.",
         L"CipherScheme_AES::decipher(): Cannot decipher data with SECURITYMGRSSO: Cannot decipher data: bad padding",
         CORE::LOG_ERROR},
        {"unnamed key, bad pattern",
         keyvault::BuildPayloadFromBytes(reinterpret_cast<const BYTE*>(badPattern.data()), badPattern.size(), L""),
         L"Bad padding. Wrong key?", nullptr, 0},
        {"plain text not UTF-8",
         keyvault::BuildPayloadFromBytes(reinterpret_cast<const BYTE*>(notUtf8.data()), notUtf8.size(), L"SMSS-pin",
                                         L"SMSS"),
         L"Cannot decrypt: Plain text is not valid UTF-8.", nullptr, 0},
    };
    for (const FailureCase& c : kCases) {
        SCOPED_TRACE(c.what);
        log.Clear();
        EXPECT_TRUE(DecryptProtectedPayload(c.payload).empty());
        CORE::FlushLog();
        EXPECT_EQ(log.Count(L"SecurityManager::DecryptEx FAILED: ", CORE::LOG_ERROR), 1u) << Narrow(log.Dump());
        EXPECT_TRUE(log.Contains(std::wstring(L"SecurityManager::DecryptEx FAILED: ") + c.reason, CORE::LOG_ERROR))
            << Narrow(log.Dump());
        if (c.detail) {
            EXPECT_TRUE(log.Contains(c.detail, c.detailLevel)) << Narrow(log.Dump());
        }
    }
}

TEST_F(Decrypt, AsksNeedsTheSessionKeyItsFormNames) {
    auto reason = [](const CORE::PropertyBag& sessionKey) -> std::string {
        try {
            (void)SecurityManager().DecryptEx("{SSO-ASKS=3:1}QUJD", &sessionKey);
        } catch (const SecurityException& e) {
            return e.what();
        }
        return "accepted";
    };
    CORE::PropertyBag sessionKey;
    sessionKey.Set(L"SessionKey", L"k");
    EXPECT_EQ(reason(sessionKey), "Cannot decrypt: Cipher scheme is not available.");
    sessionKey.Set(L"DecryptForEncrypt", L"1");  // now "SessionKeyForDecrypt" is the one needed
    EXPECT_EQ(reason(sessionKey), "Cannot decrypt: Key not supplied.");
}

TEST_F(Decrypt, SchemeVersionsAndUnsupportedOperations) {
    Key key;
    ASSERT_TRUE(key.parseTag("{SSO-SMSS:0"));
    auto smss = key.cipherScheme();
    ASSERT_NE(smss, nullptr);
    EXPECT_EQ(smss->params(0), smss->params(1)) << "version 0 means the latest";
    EXPECT_EQ(smss->params(2), nullptr);
    EXPECT_TRUE(smss->prepareKey(key)) << "creates the key in the vault";
    EXPECT_TRUE(keyvault::CheckMasterKey(L"SSO").ok());
    EXPECT_FALSE(smss->isShared(key));
    EXPECT_FALSE(smss->rmdata(key));
    CORE::FlushLog();
    EXPECT_TRUE(log.Contains(L"CipherScheme_SMSS::params(): Requested SMSS scheme version out of range (2)", CORE::LOG_ERROR));
    EXPECT_TRUE(log.Contains(L"CipherScheme_SMSS::rmdata(): This function is not supported", CORE::LOG_ERROR));
}

}  // namespace
