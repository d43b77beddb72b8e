// The signed request message's refusals. Its bytes are checked by openssl on the host
// (verify-signed-message.sh), for a filled message and for one without broker SID and certificate.
#include "entra/EntraAuthRequest.h"

#include "support/LogCapture.h"

#include <gtest/gtest.h>

#include <stdexcept>

namespace {

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
