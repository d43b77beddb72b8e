// Log file names, the newest debug file, pruning, the daily clean-up and the directory rules.
#include "mfw/MfwTestSupport.h"

#include "lib/mfw/common/log/LogFiles.h"
#include "support/LogSecrets.h"

namespace mfwtest {
namespace {

using namespace CORE::logfiles;

SYSTEMTIME Date(WORD year, WORD month, WORD day, WORD hour = 0, WORD minute = 0, WORD second = 0) {
    return SYSTEMTIME{year, month, 0, day, hour, minute, second, 0};
}

class LogFilesTest : public testing::Test {
protected:
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
    void SetLogValue(const wchar_t* name, const std::wstring& value) { registry.SetString(kLogKey, name, value); }
    void SetProgramData(const std::wstring& folder) {
        registry.SetValue(L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList", L"ProgramData", REG_SZ, folder.c_str(),
                          static_cast<DWORD>((folder.size() + 1) * sizeof(wchar_t)));
    }
};

TEST(LogFileNames, CarryTheBaseAndTheDate) {
    EXPECT_EQ(DailyFileName(L"C:\\logs\\", L"log", Date(2025, 3, 1)), L"C:\\logs\\log-2025-03-01.txt");
    EXPECT_EQ(DebugFileName(L"C:\\logs\\", L"debug", Date(2025, 3, 1, 9, 5, 7)), L"C:\\logs\\debug-2025-03-01-090507.txt");
    const std::pair<const wchar_t*, bool> names[] = {{L"debug-2025-03-01-090507.txt", true}, {L"DEBUG-2025-03-01-090507.TXT", true},
                                                     {L"debug-2025-03-01-0905x7.txt", false}, {L"debug-2025-03-01.txt", false},
                                                     {L"other-2025-03-01-090507.txt", false}};
    for (const auto& [name, debug] : names) EXPECT_EQ(IsDebugFileName(name, L"debug"), debug) << Narrow(name);
}

TEST_F(LogFilesTest, PruningDeletesTheOldestDebugFilesButNeverTheCurrentOne) {
    Touch({L"debug-2020-01-01-000000.txt", L"debug-2020-01-02-000000.txt", L"debug-2020-01-03-000000.txt",
           L"debug-2020-01-04-000000.txt", L"debug-notes.txt"});
    PruneDebugFiles(dir.Path(), L"debug", 2, dir.Path() + L"debug-2020-01-01-000000.txt");  // the open one stays
    EXPECT_EQ(Present({L"debug-2020-01-01-000000.txt", L"debug-2020-01-02-000000.txt", L"debug-2020-01-03-000000.txt",
                       L"debug-2020-01-04-000000.txt", L"debug-notes.txt"}),
              "10011");  // the notes are no debug log by their name
    EXPECT_EQ(ListDebugFiles(dir.Path(), L"debug").size(), 2u);
}

TEST_F(LogFilesTest, DailyCleanUpDeletesFilesOlderThanTheKeptDays) {
    const auto names = {L"log-2025-02-20.txt", L"log-2025-02-21.txt", L"log-2000-01-01.bak", L"log-2025-02-22.txt",
                        L"log-2025-03-01.txt", L"log-2999-01-01.txt", L"debug-2020-01-01-000000.txt", L"logbook.txt"};
    Touch(names);
    EXPECT_EQ(DeleteExpiredDailyFiles(dir.Path(), L"log", 7, Date(2025, 3, 1)), 3u);
    EXPECT_EQ(Present(names), "00011111");
    EXPECT_EQ(DeleteExpiredDailyFiles(dir.Path(), L"log", 0, Date(2030, 1, 1)), 0u);  // 0 disables it
}

TEST_F(LogFilesTest, ConfiguredDirectoryIsNormalisedCreatedAndTested) {
    SetLogValue(L"LogFileDirectory", dir.Path() + L"a/b");
    DirectoryChoice choice = ResolveDirectory(L"LogonUI.exe");
    EXPECT_EQ(choice.directory, dir.Path() + L"a\\b\\");
    EXPECT_FALSE(choice.configuredDiscarded);
    EXPECT_EQ(Present({L"a\\b", L"a\\b\\TestFile.txt"}), "10");  // the test file is gone again
}

TEST_F(LogFilesTest, UserModeProgramsGetAFolderOfTheirOwn) {
    const wchar_t list[] = L"other.exe\0logonui.exe\0";
    registry.SetValue(kLogKey, L"userModeLogPrograms", REG_MULTI_SZ, list, sizeof(list));
    SetLogValue(L"LogFileDirectory", dir.Path());
    DirectoryChoice choice = ResolveDirectory(L"LogonUI.exe");
    EXPECT_TRUE(choice.userMode);
    EXPECT_EQ(choice.directory, dir.Path() + L"LogonUI\\");
    EXPECT_FALSE(ResolveDirectory(L"consent.exe").userMode);
}

TEST_F(LogFilesTest, UnusableConfiguredDirectoryFallsBackToProgramData) {
    Touch({L"blocker"});
    SetLogValue(L"LogFileDirectory", dir.Path() + L"blocker\\sub");  // under a file: cannot be made
    SetProgramData(dir.Path() + L"ProgramData");
    DirectoryChoice choice = ResolveDirectory(L"LogonUI.exe");
    EXPECT_TRUE(choice.configuredDiscarded);
    EXPECT_EQ(choice.directory, dir.Path() + L"ProgramData\\Velmora\\Zephral\\logs\\");
    EXPECT_TRUE(Exists(choice.directory));
}

TEST_F(LogFilesTest, WithoutRegistryFoldersTheProgramDataValueIsIgnored) {
    registry.SetString(kRootKey, L"UseRegistryForLoggingPath", L"false");
    SetProgramData(dir.Path() + L"ignored");
    EXPECT_EQ(ResolveDirectory(L"LogonUI.exe").directory.find(L"ignored"), std::wstring::npos);  // the shell's folder
}

}  // namespace
}  // namespace mfwtest
