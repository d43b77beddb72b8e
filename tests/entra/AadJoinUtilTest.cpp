// The join state through the seam: what counts as joined, the device id handed out, and the
// join facts logged only when the state changes (the remembered state is process-wide, so the
// cases run in one order).
#include "entra/AadJoinUtil.h"

#include "support/FakePlatform.h"
#include "support/LogCapture.h"

#include <gtest/gtest.h>

namespace {

struct JoinCase {
    const char* name;
    HRESULT result;
    bool present;
    platform::AadJoinInfo info;
    bool joined;
    std::vector<std::wstring> lines;  // the DEBUG lines, in full after the function's name
};

const wchar_t kPrefix[] = L"[EntraAuth] EntraAuth::AadJoinUtil::AadJoinUtil: ";

TEST(AadJoinUtilTest, JoinedOnlyByDeviceJoinAndLogsChanges) {
    const JoinCase cases[] = {
        {"call fails", E_ACCESSDENIED, true, {1, L"id-0", {}, {}}, false, {L"NetGetAadJoinInformation failed, hr=80070005"}},
        {"joined", S_OK, true, {1, L"dev-1", L"user@corp.example", L"joiner@corp.example"}, true,
         {L"Device IS AAD joined", L"Entra Device Id: dev-1", L"Entra Device Owner: user@corp.example"}},
        {"still joined", S_OK, true, {1, L"dev-2", std::nullopt, L"joiner@corp.example"}, true, {}},
        {"only registered", S_OK, true, {2, L"dev-3", L"user@corp.example", {}}, false, {L"Device IS NOT AAD joined"}},
        {"joined without names", S_OK, true, {1, std::nullopt, std::nullopt, std::nullopt}, true,
         {L"Device IS AAD joined", L"Entra Device Id: NULL", L"Entra Device Owner: NULL"}},
        {"no information", S_OK, false, {1, L"id-1", {}, {}}, false, {L"Device IS NOT AAD joined"}},
        {"joined by the device e-mail", S_OK, true, {1, L"dev-5", std::nullopt, L"joiner@corp.example"}, true,
         {L"Device IS AAD joined", L"Entra Device Id: dev-5", L"Entra Device Owner: joiner@corp.example"}},
    };
    for (const JoinCase& c : cases) {
        SCOPED_TRACE(c.name);
        testsupport::FakePlatform fake;
        fake.aadJoinResult = c.result;
        fake.aadJoinPresent = c.present;
        fake.aadJoin = c.info;
        testsupport::LogCapture log;
        EntraAuth::AadJoinUtil join;
        EXPECT_EQ(join.IsJoined(), c.joined);
        EXPECT_EQ(join.GetDeviceId(), c.joined && c.info.deviceId ? *c.info.deviceId : L"");
        EXPECT_EQ(log.Count(kPrefix), c.lines.size()) << testing::PrintToString(log.Dump());
        for (const std::wstring& line : c.lines) EXPECT_EQ(log.Count(kPrefix + line, CORE::LOG_DEBUG), 1u) << line;
    }
}

// Wine's netapi32 has no NetGetAadJoinInformation: the real seam reports the missing export.
TEST(AadJoinUtilTest, RealCallWithoutTheExportMeansNotJoined) {
    testsupport::LogCapture log;
    EntraAuth::AadJoinUtil join;
    EXPECT_FALSE(join.IsJoined());
    EXPECT_EQ(join.GetDeviceId(), L"");
    EXPECT_TRUE(log.Contains(std::wstring(kPrefix) + L"NetGetAadJoinInformation failed, hr=8007007f", CORE::LOG_DEBUG))
        << testing::PrintToString(log.Dump());
}

}  // namespace
