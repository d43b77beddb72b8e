// The log's pure parts, from fixed inputs: the text of a line (time stamps with every kind of
// offset, level names, the id group in both forms, names, context, redaction), file names,
// the newest debug file, pruning, the daily clean-up and the directory rules.
#include "mfw/MfwTestSupport.h"

#include "lib/mfw/common/log/LogFiles.h"
#include "lib/mfw/common/log/LogLine.h"
#include "support/LogSecrets.h"

namespace mfwtest {
namespace {

using namespace CORE::logfiles;
using namespace CORE::logline;

constexpr ULONGLONG kFixedUtc = 133852980304560000ULL;  // 2025-03-01T10:20:30.456 UTC as a FILETIME
std::wstring Stamp(LONG bias) {
    std::wstring text;
    AppendTimeStamp(text, kFixedUtc, bias);
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
    LocalTime(kFixedUtc, kBiasUnknown, &offset);
    EXPECT_EQ(Stamp(kBiasUnknown), Stamp(-offset));
}

TEST(LogLine, FullLineHasEveryFieldInOrderAndRedactionMasksTheMakerPrefixInAnyCase) {
    for (const auto& [pid, text] : {std::pair{0x1Au, L"001A"}, {0x12345u, L"12345"}, {0xFFFFFFFFu, L"FFFFFFFF"}})
        EXPECT_EQ(ProcessIdText(pid), text);
    const std::wstring pidText = ProcessIdText(0x1A2B3);
    const LineFields named{kFixedUtc, 2, 0x1A2B3, pidText, 0x12345, L"worker", L"LogonUI", L"hello", L""};
    const LineFields bare{kFixedUtc, 7, 0x1A2B3, pidText, 0x2A, L"", L"LogonUI", L"hello", L"outer; inner"};
    const std::tuple<const LineFields*, bool, const wchar_t*> cases[] = {  // fields, truncated ids, line
        {&named, false, L"2025-03-01T10:20:30.456Z INFO  (1A2B3-12345) <worker> [LogonUI] hello\r\n"},
        {&named, true, L"2025-03-01T10:20:30.456Z INFO  (A2B3-2345) <worker> [LogonUI] hello\r\n"},  // low 16 bits
        {&bare, false, L"2025-03-01T10:20:30.456Z UNKNOWN (1A2B3-002A) <42> [LogonUI] hello {outer; inner}\r\n"},
    };
    for (const auto& [fields, truncate, expected] : cases) {
        std::wstring line;
        AppendLine(line, *fields, 0, truncate);
        EXPECT_EQ(line, expected);
    }
    const std::pair<const wchar_t*, const wchar_t*> redactions[] = {
        {L"a drv b Drv c dRV", L"a *** b *** c ***"}, {L"drvdrv", L"******"}, {L"dr v", L"dr v"}, {L"DR", L"DR"}};
    for (const auto& [in, out] : redactions) {
        std::wstring text = in;
        RedactLegacy(text.data(), text.size());
        EXPECT_EQ(text, out);
    }
}

// Dates are SYSTEMTIMEs: year, month, day of the week (unused), day, time.
struct LogFilesTest : testing::Test {
    testsupport::RegistrySandbox registry;
    testsupport::TempDirectory dir;
    void Touch(std::initializer_list<const wchar_t*> names) {
        for (auto name : names) WriteBytes(dir.Path() + name, "xx");
    }
    // "1" for each name that exists, "0" for each that does not.
    std::string Present(std::initializer_list<const wchar_t*> names) {
        std::string out;
        for (auto name : names) out += Exists(dir.Path() + name) ? '1' : '0';
        return out;
    }
};

TEST_F(LogFilesTest, NamesCarryTheBaseAndTheDateAndPruningDeletesTheOldestDebugFilesButNeverTheCurrentOne) {
    const auto names = {L"debug-2020-01-01-000000.txt", L"debug-2020-01-02-000000.txt", L"debug-2020-01-03-000000.txt",
                        L"debug-2020-01-04-000000.txt", L"debug-notes.txt"};
    Touch(names);
    PruneDebugFiles(dir.Path(), L"debug", 2, dir.Path() + L"debug-2020-01-01-000000.txt");  // the open one stays
    EXPECT_EQ(Present(names), "10011");  // the notes are no debug log by their name
    EXPECT_EQ(ListDebugFiles(dir.Path(), L"debug").size(), 2u);
    EXPECT_EQ(DailyFileName(L"C:\\logs\\", L"log", {2025, 3, 0, 1, 0, 0, 0, 0}), L"C:\\logs\\log-2025-03-01.txt");
    EXPECT_EQ(DebugFileName(L"C:\\logs\\", L"debug", {2025, 3, 0, 1, 9, 5, 7, 0}), L"C:\\logs\\debug-2025-03-01-090507.txt");
    const std::pair<const wchar_t*, bool> patterns[] = {{L"debug-2025-03-01-090507.txt", true}, {L"DEBUG-2025-03-01-090507.TXT", true},
                                                        {L"debug-2025-03-01-0905x7.txt", false}, {L"debug-2025-03-01.txt", false},
                                                        {L"other-2025-03-01-090507.txt", false}};
    for (const auto& [name, debug] : patterns) EXPECT_EQ(IsDebugFileName(name, L"debug"), debug) << Narrow(name);
}

TEST_F(LogFilesTest, DailyCleanUpDeletesFilesOlderThanTheKeptDays) {
    const auto names = {L"log-2025-02-20.txt", L"log-2025-02-21.txt", L"log-2000-01-01.bak", L"log-2025-02-22.txt",
                        L"log-2025-03-01.txt", L"log-2999-01-01.txt", L"debug-2020-01-01-000000.txt", L"logbook.txt"};
    Touch(names);
    EXPECT_EQ(DeleteExpiredDailyFiles(dir.Path(), L"log", 7, {2025, 3, 0, 1, 0, 0, 0, 0}), 3u);
    EXPECT_EQ(Present(names), "00011111");
    EXPECT_EQ(DeleteExpiredDailyFiles(dir.Path(), L"log", 0, {2030, 1, 0, 1, 0, 0, 0, 0}), 0u);  // 0 disables it
    EXPECT_EQ(DeleteExpiredDailyFiles(dir.Path(), L"log", 21350399, {2025, 3, 0, 5, 0, 0, 0, 0}), 0u);  // over 2^64 ticks: keeps all
}

TEST_F(LogFilesTest, ConfiguredDirectoryIsNormalisedAndCreatedOrProgramDataTakesItsPlace) {
    Touch({L"blocker"});
    const std::wstring programData = dir.Path() + L"ProgramData";
    registry.SetValue(L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList", L"ProgramData", REG_SZ, programData.c_str(),
                      static_cast<DWORD>((programData.size() + 1) * sizeof(wchar_t)));
    const std::tuple<const wchar_t*, const wchar_t*, bool> cases[] = {
        {L"a/b", L"a\\b\\", false},
        {L"blocker\\sub", L"ProgramData\\Velmora\\Zephral\\logs\\", true},  // under a file: cannot be made
    };
    for (const auto& [configured, expected, discarded] : cases) {
        registry.SetString(kLogKey, L"LogFileDirectory", dir.Path() + configured);
        const DirectoryChoice choice = ResolveDirectory(L"LogonUI.exe");
        EXPECT_EQ(std::make_pair(choice.directory, choice.configuredDiscarded), std::make_pair(dir.Path() + expected, discarded));
        EXPECT_TRUE(Exists(choice.directory)) << Narrow(choice.directory);
    }
    EXPECT_FALSE(Exists(dir.Path() + L"a\\b\\TestFile.txt"));  // the test file is gone again
}

}  // namespace
}  // namespace mfwtest
