// The signed request message: its preconditions and the exact token, decoded here with
// crypt32 (the host-side verifier checks a really signed one with openssl).
#include "entra/EntraAuthRequest.h"

#include "support/LogCapture.h"

#include <gtest/gtest.h>
#include <wincrypt.h>

#include <stdexcept>

namespace {

using EntraAuth::BuildEntraAuthRequestMessage;

std::string Decode(std::string part) {
    for (char& c : part) c = c == '-' ? '+' : c == '_' ? '/' : c;
    while (part.size() % 4) part.push_back('=');
    DWORD size = 0;
    EXPECT_TRUE(::CryptStringToBinaryA(part.c_str(), 0, CRYPT_STRING_BASE64, nullptr, &size, nullptr, nullptr));
    std::string bytes(size, '\0');
    EXPECT_TRUE(::CryptStringToBinaryA(part.c_str(), 0, CRYPT_STRING_BASE64, reinterpret_cast<BYTE*>(bytes.data()),
                                       &size, nullptr, nullptr));
    return bytes;
}

std::vector<std::string> Split(const std::string& token) {
    std::vector<std::string> parts(1);
    for (char c : token) {
        if (c == '.') parts.emplace_back();
        else parts.back().push_back(c);
    }
    return parts;
}

TEST(EntraAuthRequestTest, BuildsTheSignedTokenExactly) {
    struct Case {
        std::string sid, certificate, payload;
    } const cases[] = {
        {"S-1-5-21-1", "MIIB+/==",
         R"({"cmd":"authenticate","ver":"2","req":true,"requestId":"4294967298","deviceId":"dev-)" "\xc3\xa9" R"(\"","deviceNonce":"n0nce",)"
         R"("correlationId":"c-1","brokerSID":"S-1-5-21-1","p2pCertificate":"MIIB+/=="})"},
        {"", "",
         R"({"cmd":"authenticate","ver":"2","req":true,"requestId":"4294967298","deviceId":"dev-)" "\xc3\xa9" R"(\"","deviceNonce":"n0nce",)"
         R"("correlationId":"c-1","brokerSID":""})"},
    };
    for (const Case& c : cases) {
        std::vector<BYTE> signedInput;
        const std::vector<BYTE> signature = {0xFB, 0xEF, 0xFF, 0x01};  // base64 "++//AQ==": both replacements and padding
        std::vector<BYTE> message = BuildEntraAuthRequestMessage(
            0x0000000100000002ull, "dev-\xc3\xa9\"", "n0nce", c.sid, "c-1", c.certificate,
            [&](const std::vector<BYTE>& data) { return signedInput = data, signature; });
        ASSERT_FALSE(message.empty());
        EXPECT_EQ(message.back(), 0);
        const std::string token(message.begin(), message.end() - 1);
        EXPECT_EQ(token.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_."), std::string::npos);
        const std::vector<std::string> parts = Split(token);
        ASSERT_EQ(parts.size(), 3u);
        EXPECT_EQ(Decode(parts[0]), R"({"alg":"RS256","typ":"JWT"})");
        EXPECT_EQ(Decode(parts[1]), c.payload);
        EXPECT_EQ(std::string(signedInput.begin(), signedInput.end()), parts[0] + "." + parts[1]);
        EXPECT_EQ(parts[2], "--__AQ");
    }
}

TEST(EntraAuthRequestTest, RefusesMissingInputsAndFailedSignatures) {
    const auto sign = [](const std::vector<BYTE>&) { return std::vector<BYTE>{1}; };
    struct Case {
        const char *device, *nonce, *correlation;
        EntraAuth::SignatureCallback callback;
        const wchar_t* line;
    } const cases[] = {
        {"d", "n", "c", nullptr, L"computeSignature callback cannot be null"},
        {"", "n", "c", sign, L"deviceId cannot be empty"},
        {"d", "", "c", sign, L"deviceNonce cannot be empty"},
        {"d", "n", "", sign, L"correlationId cannot be empty"},
        {"d", "n", "c", [](const std::vector<BYTE>&) { return std::vector<BYTE>(); }, L"computeSignature returned no signature"},
        {"d", "n", "c", [](const std::vector<BYTE>&) -> std::vector<BYTE> { throw std::runtime_error("x"); }, L"caught failure, hr=8000ffff"},
    };
    for (const Case& c : cases) {
        testsupport::LogCapture log;
        EXPECT_TRUE(BuildEntraAuthRequestMessage(1, c.device, c.nonce, "", c.correlation, "", c.callback).empty());
        EXPECT_TRUE(log.Contains(std::wstring(L"[EntraAuth] EntraAuth::BuildEntraAuthRequestMessage: ") + c.line, CORE::LOG_ERROR))
            << testing::PrintToString(log.Dump());
    }
}

}  // namespace
