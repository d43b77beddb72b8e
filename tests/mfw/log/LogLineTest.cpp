// The text of a log line, built from fixed inputs: time stamps with every kind of offset,
// level names, the id group in both forms, names, context, redaction.
#include "lib/mfw/common/log/LogLine.h"

#include <gtest/gtest.h>

using namespace CORE::logline;

namespace {

// 2025-03-01T10:20:30.456 UTC
ULONGLONG FixedUtc() {
    const SYSTEMTIME t{2025, 3, 0, 1, 10, 20, 30, 456};
    FILETIME ft{};
    ::SystemTimeToFileTime(&t, &ft);
    return (static_cast<ULONGLONG>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
}

TEST(LogLine, TimeStampPrintsLocalTimeWithTheOffsetOrZ) {
    struct Case {
        LONG bias;
        const wchar_t* expected;
    };
    const Case cases[] = {
        {0, L"2025-03-01T10:20:30.456Z"},
        {-60, L"2025-03-01T11:20:30.456+01:00"},
        {300, L"2025-03-01T05:20:30.456-05:00"},
        {-330, L"2025-03-01T15:50:30.456+05:30"},
        {660, L"2025-02-28T23:20:30.456-11:00"},  // crosses the date
    };
    for (const auto& c : cases) {
        std::wstring text;
        AppendTimeStamp(text, FixedUtc(), c.bias);
        EXPECT_EQ(text, c.expected) << "bias " << c.bias;
    }
}

TEST(LogLine, UnknownBiasUsesTheSystemConversionConsistently) {
    std::wstring text;
    AppendTimeStamp(text, FixedUtc(), kBiasUnknown);
    LONG offset = 0;
    LocalTime(FixedUtc(), kBiasUnknown, &offset);
    std::wstring expected;
    AppendTimeStamp(expected, FixedUtc(), -offset);
    EXPECT_EQ(text, expected);
}

TEST(LogLine, ProcessIdIsPaddedToFourAndCutToEight) {
    EXPECT_EQ(ProcessIdText(0x1A), L"001A");
    EXPECT_EQ(ProcessIdText(0x12345), L"12345");
    EXPECT_EQ(ProcessIdText(0xFFFFFFFF), L"FFFFFFFF");
}

TEST(LogLine, FullLineHasEveryFieldInOrder) {
    const std::wstring pidText = ProcessIdText(0x1A2B3);
    LineFields f{FixedUtc(), 2, 0x1A2B3, pidText, 0x12345, L"worker", L"LogonUI", L"hello", L""};
    std::wstring line;
    AppendLine(line, f, 0, false);
    EXPECT_EQ(line, L"2025-03-01T10:20:30.456Z INFO  (1A2B3-12345) <worker> [LogonUI] hello\r\n");

    line.clear();
    AppendLine(line, f, 0, true);  // both ids cut to their low 16 bits
    EXPECT_EQ(line, L"2025-03-01T10:20:30.456Z INFO  (A2B3-2345) <worker> [LogonUI] hello\r\n");

    f.threadName = L"";
    f.threadId = 0x2A;
    f.context = L"outer; inner";
    f.level = 7;
    line.clear();
    AppendLine(line, f, 0, false);
    EXPECT_EQ(line, L"2025-03-01T10:20:30.456Z UNKNOWN (1A2B3-002A) <42> [LogonUI] hello {outer; inner}\r\n");
}

TEST(LogLine, RedactionMasksTheMakerPrefixInAnyCase) {
    struct Case {
        const wchar_t* in;
        const wchar_t* out;
    };
    const Case cases[] = {
        {L"DRV_EnumerateCredentials", L"***_EnumerateCredentials"},
        {L"a drv b Drv c dRV", L"a *** b *** c ***"},
        {L"drvdrv", L"******"},
        {L"dr v", L"dr v"},
        {L"DR", L"DR"},
    };
    for (const auto& c : cases) {
        std::wstring text = c.in;
        RedactLegacy(text.data(), text.size());
        EXPECT_EQ(text, c.out);
    }
}

}  // namespace
