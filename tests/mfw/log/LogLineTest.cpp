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
std::wstring Stamp(LONG bias) {
    std::wstring text;
    AppendTimeStamp(text, FixedUtc(), bias);
    return text;
}

TEST(LogLine, TimeStampPrintsLocalTimeWithTheOffsetOrZ) {
    const std::pair<LONG, const wchar_t*> cases[] = {
        {0, L"2025-03-01T10:20:30.456Z"},           {-60, L"2025-03-01T11:20:30.456+01:00"},
        {300, L"2025-03-01T05:20:30.456-05:00"},    {-330, L"2025-03-01T15:50:30.456+05:30"},
        {660, L"2025-02-28T23:20:30.456-11:00"},  // crosses the date
    };
    for (const auto& [bias, expected] : cases) EXPECT_EQ(Stamp(bias), expected) << "bias " << bias;
    LONG offset = 0;  // an unknown bias takes the system's conversion, and prints its offset
    LocalTime(FixedUtc(), kBiasUnknown, &offset);
    EXPECT_EQ(Stamp(kBiasUnknown), Stamp(-offset));
}

TEST(LogLine, FullLineHasEveryFieldInOrder) {
    for (const auto& [pid, text] : {std::pair{0x1Au, L"001A"}, {0x12345u, L"12345"}, {0xFFFFFFFFu, L"FFFFFFFF"}})
        EXPECT_EQ(ProcessIdText(pid), text);
    const std::wstring pidText = ProcessIdText(0x1A2B3);
    const LineFields named{FixedUtc(), 2, 0x1A2B3, pidText, 0x12345, L"worker", L"LogonUI", L"hello", L""};
    const LineFields bare{FixedUtc(), 7, 0x1A2B3, pidText, 0x2A, L"", L"LogonUI", L"hello", L"outer; inner"};
    const struct {
        const LineFields& fields;
        bool truncate;
        const wchar_t* expected;
    } cases[] = {
        {named, false, L"2025-03-01T10:20:30.456Z INFO  (1A2B3-12345) <worker> [LogonUI] hello\r\n"},
        {named, true, L"2025-03-01T10:20:30.456Z INFO  (A2B3-2345) <worker> [LogonUI] hello\r\n"},  // low 16 bits
        {bare, false, L"2025-03-01T10:20:30.456Z UNKNOWN (1A2B3-002A) <42> [LogonUI] hello {outer; inner}\r\n"},
    };
    for (const auto& c : cases) {
        std::wstring line;
        AppendLine(line, c.fields, 0, c.truncate);
        EXPECT_EQ(line, c.expected);
    }
}

TEST(LogLine, RedactionMasksTheMakerPrefixInAnyCase) {
    const std::pair<const wchar_t*, const wchar_t*> cases[] = {
        {L"DRV_EnumerateCredentials", L"***_EnumerateCredentials"}, {L"a drv b Drv c dRV", L"a *** b *** c ***"},
        {L"drvdrv", L"******"}, {L"dr v", L"dr v"}, {L"DR", L"DR"},
    };
    for (const auto& [in, out] : cases) {
        std::wstring text = in;
        RedactLegacy(text.data(), text.size());
        EXPECT_EQ(text, out);
    }
}

}  // namespace
