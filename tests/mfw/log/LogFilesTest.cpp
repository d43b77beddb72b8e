// Log file names, the newest debug file, pruning, the daily clean-up and the directory rules.
#include "mfw/MfwTestSupport.h"

#include "lib/mfw/common/log/LogFiles.h"
#include "support/LogSecrets.h"

namespace mfwtest {
namespace {

using namespace CORE::logfiles;
using testsupport::TempDirectory;

SYSTEMTIME Date(WORD year, WORD month, WORD day, WORD hour = 0, WORD minute = 0, WORD second = 0) {
    return SYSTEMTIME{year, month, 0, day, hour, minute, second, 0};
}
const auto Touch = [](const std::wstring& path) { WriteBytes(path, "xx"); };

TEST(LogFiles, NamesCarryTheBaseAndTheDate) {
    EXPECT_EQ(DailyFileName(L"C:\\logs\\", L"log", Date(2025, 3, 1)), L"C:\\logs\\log-2025-03-01.txt");
    EXPECT_EQ(DebugFileName(L"C:\\logs\\", L"debug", Date(2025, 3, 1, 9, 5, 7)),
              L"C:\\logs\\debug-2025-03-01-090507.txt");
    EXPECT_TRUE(IsDebugFileName(L"debug-2025-03-01-090507.txt", L"debug"));
    EXPECT_TRUE(IsDebugFileName(L"DEBUG-2025-03-01-090507.TXT", L"debug"));
    EXPECT_FALSE(IsDebugFileName(L"debug-2025-03-01-0905x7.txt", L"debug"));
    EXPECT_FALSE(IsDebugFileName(L"debug-2025-03-01.txt", L"debug"));
    EXPECT_FALSE(IsDebugFileName(L"other-2025-03-01-090507.txt", L"debug"));
}

TEST(LogFiles, PruningDeletesTheOldestDebugFilesButNeverTheCurrentOne) {
    TempDirectory dir;
    const wchar_t* names[] = {L"debug-2020-01-01-000000.txt", L"debug-2020-01-02-000000.txt",
                              L"debug-2020-01-03-000000.txt", L"debug-2020-01-04-000000.txt"};
    for (auto name : names) Touch(dir.Path() + name);
    Touch(dir.Path() + L"debug-notes.txt");
    PruneDebugFiles(dir.Path(), L"debug", 2, dir.Path() + names[0]);
    EXPECT_TRUE(Exists(dir.Path() + names[0]));  // the open one stays
    EXPECT_FALSE(Exists(dir.Path() + names[1]));
    EXPECT_FALSE(Exists(dir.Path() + names[2]));
    EXPECT_TRUE(Exists(dir.Path() + names[3]));
    EXPECT_TRUE(Exists(dir.Path() + L"debug-notes.txt"));  // not a debug log by its name
    EXPECT_EQ(ListDebugFiles(dir.Path(), L"debug").size(), 2u);
}

TEST(LogFiles, DailyCleanUpDeletesFilesOlderThanTheKeptDays) {
    TempDirectory dir;
    const wchar_t* expired[] = {L"log-2025-02-20.txt", L"log-2025-02-21.txt", L"log-2000-01-01.bak"};
    const wchar_t* kept[] = {L"log-2025-02-22.txt", L"log-2025-03-01.txt", L"log-2999-01-01.txt", L"debug-2020-01-01-000000.txt",
                             L"logbook.txt"};
    for (auto name : expired) Touch(dir.Path() + name);
    for (auto name : kept) Touch(dir.Path() + name);
    EXPECT_EQ(DeleteExpiredDailyFiles(dir.Path(), L"log", 7, Date(2025, 3, 1)), 3u);
    for (auto name : expired) EXPECT_FALSE(Exists(dir.Path() + name));
    for (auto name : kept) EXPECT_TRUE(Exists(dir.Path() + name));
    EXPECT_EQ(DeleteExpiredDailyFiles(dir.Path(), L"log", 0, Date(2030, 1, 1)), 0u);  // 0 disables it
    EXPECT_TRUE(Exists(dir.Path() + L"log-2025-02-22.txt"));
}

class LogDirectoryTest : public testing::Test {
protected:
    testsupport::RegistrySandbox registry;
    TempDirectory dir;
    void SetLogValue(const wchar_t* name, const std::wstring& value) {
        registry.SetString(L"Software\\Velmora\\Zephral\\Log", name, value);
    }
    void SetProgramData(const std::wstring& folder) {
        registry.SetValue(L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList", L"ProgramData", REG_SZ,
                          folder.c_str(), static_cast<DWORD>((folder.size() + 1) * sizeof(wchar_t)));
    }
};

TEST_F(LogDirectoryTest, ConfiguredDirectoryIsNormalisedCreatedAndTested) {
    std::wstring configured = dir.Path() + L"a/b";
    SetLogValue(L"LogFileDirectory", configured);
    DirectoryChoice choice = ResolveDirectory(L"LogonUI.exe");
    EXPECT_EQ(choice.directory, dir.Path() + L"a\\b\\");
    EXPECT_FALSE(choice.configuredDiscarded);
    EXPECT_TRUE(Exists(dir.Path() + L"a\\b"));
    EXPECT_FALSE(Exists(dir.Path() + L"a\\b\\TestFile.txt"));  // the test file is gone again
}

TEST_F(LogDirectoryTest, UserModeProgramsGetAFolderOfTheirOwn) {
    const wchar_t list[] = L"other.exe\0logonui.exe\0";
    registry.SetValue(L"Software\\Velmora\\Zephral\\Log", L"userModeLogPrograms", REG_MULTI_SZ, list, sizeof(list));
    SetLogValue(L"LogFileDirectory", dir.Path());
    DirectoryChoice choice = ResolveDirectory(L"LogonUI.exe");
    EXPECT_TRUE(choice.userMode);
    EXPECT_EQ(choice.directory, dir.Path() + L"LogonUI\\");
    EXPECT_FALSE(ResolveDirectory(L"consent.exe").userMode);
}

TEST_F(LogDirectoryTest, UnusableConfiguredDirectoryFallsBackToProgramData) {
    Touch(dir.Path() + L"blocker");
    SetLogValue(L"LogFileDirectory", dir.Path() + L"blocker\\sub");  // under a file: cannot be made
    SetProgramData(dir.Path() + L"ProgramData");
    DirectoryChoice choice = ResolveDirectory(L"LogonUI.exe");
    EXPECT_TRUE(choice.configuredDiscarded);
    EXPECT_EQ(choice.directory, dir.Path() + L"ProgramData\\Velmora\\Zephral\\logs\\");
    EXPECT_TRUE(Exists(choice.directory));
}

TEST_F(LogDirectoryTest, WithoutRegistryFoldersTheRegistryValueIsIgnored) {
    registry.SetString(L"Software\\Velmora\\Zephral", L"UseRegistryForLoggingPath", L"false");
    SetProgramData(dir.Path() + L"ignored");
    DirectoryChoice choice = ResolveDirectory(L"LogonUI.exe");
    // The shell's folder (which the private HKLM of the test may not have).
    EXPECT_EQ(choice.directory.find(L"ignored"), std::wstring::npos);
    EXPECT_FALSE(choice.configuredDiscarded);
}

}  // namespace
}  // namespace mfwtest
