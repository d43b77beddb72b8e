// The signed request message: its refusals, and the token for an empty broker SID and no
// certificate, decoded with crypt32. A fully filled, really signed message is checked by
// openssl (verify-signed-message.sh).
#include "entra/EntraAuthRequest.h"

#include "support/LogCapture.h"

#include <gtest/gtest.h>
#include <wincrypt.h>

#include <stdexcept>

namespace {

std::string Decode(std::string part) {
    for (char& c : part) c = c == '-' ? '+' : c == '_' ? '/' : c;
    while (part.size() % 4) part.push_back('=');
    std::string bytes(part.size(), '\0');
    DWORD size = static_cast<DWORD>(bytes.size());
    EXPECT_TRUE(::CryptStringToBinaryA(part.c_str(), 0, CRYPT_STRING_BASE64, reinterpret_cast<BYTE*>(bytes.data()), &size,
                                       nullptr, nullptr));
    return bytes.substr(0, size);
}

TEST(EntraAuthRequestTest, KeepsAnEmptyBrokerSidAndLeavesOutAnEmptyCertificate) {
    std::vector<BYTE> signedInput;
    const std::vector<BYTE> message = EntraAuth::BuildEntraAuthRequestMessage(
        0x0000000100000002ull, "dev-\xc3\xa9\"", "n0nce", "", "c-1", "", [&](const std::vector<BYTE>& data) {
            signedInput = data;
            return std::vector<BYTE>{0xFB, 0xEF, 0xFF, 0x01};  // Base64 "++//AQ==": both replacements and padding
        });
    ASSERT_FALSE(message.empty());
    EXPECT_EQ(message.back(), 0);
    const std::string token(message.begin(), message.end() - 1);
    const size_t first = token.find('.'), second = token.rfind('.');
    ASSERT_LT(first, second);
    EXPECT_EQ(Decode(token.substr(0, first)), R"({"alg":"RS256","typ":"JWT"})");
    EXPECT_EQ(Decode(token.substr(first + 1, second - first - 1)),
              R"({"cmd":"authenticate","ver":"2","req":true,"requestId":"4294967298","deviceId":"dev-)" "\xc3\xa9"
              R"(\"","deviceNonce":"n0nce","correlationId":"c-1","brokerSID":""})");
    EXPECT_EQ(std::string(signedInput.begin(), signedInput.end()), token.substr(0, second));
    EXPECT_EQ(token.substr(second + 1), "--__AQ");
}

TEST(EntraAuthRequestTest, RefusesMissingInputsAndFailedSignatures) {
    const auto sign = [](const std::vector<BYTE>&) { return std::vector<BYTE>{1}; };
    const auto none = [](const std::vector<BYTE>&) { return std::vector<BYTE>(); };
    const auto fail = [](const std::vector<BYTE>&) -> std::vector<BYTE> { throw std::runtime_error("x"); };
    const struct {
        const char *device, *nonce, *correlation;
        EntraAuth::SignatureCallback callback;
        const wchar_t* line;
    } cases[] = {
        {"d", "n", "c", nullptr, L"computeSignature callback cannot be null"},
        {"", "n", "c", sign, L"deviceId cannot be empty"},
        {"d", "", "c", sign, L"deviceNonce cannot be empty"},
        {"d", "n", "", sign, L"correlationId cannot be empty"},
        {"d", "n", "c", none, L"computeSignature returned no signature"},
        {"d", "n", "c", fail, L"caught failure, hr=8000ffff"},
    };
    for (const auto& c : cases) {
        testsupport::LogCapture log;
        EXPECT_TRUE(EntraAuth::BuildEntraAuthRequestMessage(1, c.device, c.nonce, "", c.correlation, "", c.callback).empty());
        EXPECT_TRUE(log.Contains(std::wstring(L"[EntraAuth] EntraAuth::BuildEntraAuthRequestMessage: ") + c.line, CORE::LOG_ERROR))
            << testing::PrintToString(log.Dump());
    }
}

}  // namespace
