#include "base/LogonMonitor.h"

#include "base/SessionInfo.h"
#include "support/FakePlatform.h"
#include "support/LogCapture.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using testsupport::FakePlatform;
using testsupport::LogCapture;

DWORD U32(const BYTE* at) { return at[0] | (at[1] << 8) | (at[2] << 16) | (DWORD(at[3]) << 24); }

std::wstring Utf16At(const LogonMonitorRecord& record, size_t offset) {
    std::wstring text;
    for (size_t i = offset; i + 1 < offset + 1024 && (record[i] || record[i + 1]); i += 2)
        text.push_back(static_cast<wchar_t>(record[i] | (record[i + 1] << 8)));
    return text;
}

TEST(LogonMonitorRecord, LaysOutTheFieldsAtTheirOffsets) {
    LogonMonitorRecord record;
    record.fill(0xCC);
    BuildLogonMonitorRecord(7, 0x1234, kLogonMonitorEnd, 0x0102030405060708ull, L"Lumo Agent", L"tcfiltr", L"SSO",
                            &record);
    EXPECT_EQ(record.size(), 3092u);
    EXPECT_EQ(std::vector<DWORD>({U32(&record[0]), U32(&record[4]), U32(&record[8]), U32(&record[12]), U32(&record[16])}),
              std::vector<DWORD>({7, 0x1234, 2, 0x05060708, 0x01020304}));
    EXPECT_EQ(Utf16At(record, 20) + L"|" + Utf16At(record, 1044) + L"|" + Utf16At(record, 2068), L"Lumo Agent|tcfiltr|SSO");
    // Everything after a text is zero; a long text keeps 511 characters and its terminator.
    EXPECT_EQ(record[3091], 0);
    BuildLogonMonitorRecord(1, 1, kLogonMonitorNotify, 0, std::wstring(600, L'x').c_str(), L"c", L"e", &record);
    EXPECT_EQ(Utf16At(record, 20), std::wstring(511, L'x'));
    EXPECT_EQ(record[20 + 1022], 0);
    EXPECT_EQ(record[20 + 1023], 0);
    EXPECT_EQ(Utf16At(record, 1044), L"c");
}

class LogonMonitorTest : public ::testing::Test {
protected:
    void SetUp() override { ResetSessionIdCache(); }
    FakePlatform fake;
    LogCapture log;
};

TEST_F(LogonMonitorTest, EachKindIsWrittenWithItsOpcodeAndTheProcessSession) {
    fake.sessionId = 9;
    ::SetLastError(1234);
    LogonMonitorNotify(L"Lumo Agent", L"tcfiltr", L"TCFILTR_ATTACHED");
    LogonMonitorBegin(L"Lumo Agent", L"tcfiltr", L"SSO");
    LogonMonitorEnd(L"Lumo Agent", L"tcfiltr", L"SSO", 4);
    EXPECT_EQ(::GetLastError(), 1234u);
    ASSERT_EQ(fake.etwEvents.size(), 3u);
    const UCHAR opcodes[] = {3, 1, 2};
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(fake.etwEvents[i].descriptor.Id, 16);
        EXPECT_EQ(fake.etwEvents[i].descriptor.Version, 1);
        EXPECT_EQ(fake.etwEvents[i].descriptor.Opcode, opcodes[i]);
        ASSERT_EQ(fake.etwEvents[i].data.size(), 3092u);
        EXPECT_EQ(U32(&fake.etwEvents[i].data[4]), ::GetCurrentProcessId());
        EXPECT_EQ(U32(&fake.etwEvents[i].data[8]), static_cast<DWORD>(i == 0 ? 0 : i));
    }
    EXPECT_EQ(U32(&fake.etwEvents[0].data[0]), 9u);
    EXPECT_EQ(U32(&fake.etwEvents[2].data[0]), 4u);
    EXPECT_EQ(fake.eventRegistrations.load(), 1);
    ShutdownLogonMonitor();
    EXPECT_EQ(fake.eventUnregistrations.load(), 1);
    // Torn down for good: nothing more is written or registered.
    LogonMonitorEnd(L"Lumo Agent", L"tcfiltr", L"SSO");
    EXPECT_EQ(fake.etwEvents.size(), 3u);
    EXPECT_EQ(fake.eventRegistrations.load(), 1);
}

// An empty text and a failed registration fail quietly: nothing is written, one line is logged.
TEST_F(LogonMonitorTest, EmptyTextsAndAFailedRegistrationWriteNothing) {
    fake.eventRegisterResult = ERROR_ACCESS_DENIED;
    LogonMonitorBegin(L"Lumo Agent", L"tcfiltr", L"SSO");
    LogonMonitorNotify(L"Lumo Agent", L"", L"X");
    EXPECT_TRUE(log.Contains(L"dvlm -  Failed Sending X_NOTIFY: 0x80070057", CORE::LOG_INFO));
    EXPECT_TRUE(fake.etwEvents.empty());
    EXPECT_TRUE(log.Contains(L"dvlm - tcfiltr Failed Sending SSO_BEGIN: 0x80004005"));
}

}  // namespace
