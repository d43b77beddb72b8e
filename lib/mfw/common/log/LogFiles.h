// Where log files live and what they are called: the log directory (configured, default or
// per user), daily and debug file names, the newest reusable debug file, pruning of old
// debug files, the daily clean-up, and the append-only file handle the writer uses.
#pragma once
#include <windows.h>

#include <string>
#include <vector>

namespace CORE::logfiles {

// The text the directory test writes and reads back.
constexpr wchar_t kTestFileName[] = L"TestFile.txt";
constexpr wchar_t kTestFileText[] = L"Hello there, this is a log test";

struct DirectoryChoice {
    std::wstring directory;  // ends with '\'; empty when no directory could be made
    bool userMode = false;
    bool configuredDiscarded = false;  // LogFileDirectory was set but failed the test
};

// Applies the directory rules for the executable (file name with extension, e.g.
// "LogonUI.exe"). Creates the directory and, for a configured one, writes and checks the
// test file. Call with the log guard held.
DirectoryChoice ResolveDirectory(const std::wstring& executableName);

// Creates a directory and every missing parent; true when it exists afterwards.
bool CreateDirectories(const std::wstring& directory);
// Writes the test file, reads it back and deletes it; true when the text came back equal.
bool DirectoryPassesTest(const std::wstring& directory);

// "<dir><base>-YYYY-MM-DD.txt"
std::wstring DailyFileName(const std::wstring& directory, const std::wstring& base, const SYSTEMTIME& localDate);
// "<dir><base>-YYYY-MM-DD-HHMMSS.txt"
std::wstring DebugFileName(const std::wstring& directory, const std::wstring& base, const SYSTEMTIME& localTime);
// True for "<base>-????-??-??-??????.txt" with digits in the places of the marks.
bool IsDebugFileName(const std::wstring& fileName, const std::wstring& base);
// Names (without directory) of the debug files, oldest first.
std::vector<std::wstring> ListDebugFiles(const std::wstring& directory, const std::wstring& base);
// Deletes the oldest debug files until at most `keep` remain; never deletes `current`.
void PruneDebugFiles(const std::wstring& directory, const std::wstring& base, size_t keep,
                     const std::wstring& currentPath);
// Deletes "<base>-*.*" files whose names sort below the daily file of `maxDaysKept` days
// before `today`. Returns the number deleted.
size_t DeleteExpiredDailyFiles(const std::wstring& directory, const std::wstring& base, DWORD maxDaysKept,
                               const SYSTEMTIME& today);
// Full path of the file.
ULONGLONG FileSize(const std::wstring& path);

// A log file opened for appending, shared with other processes.
class LogFile {
public:
    LogFile() = default;
    ~LogFile() { Close(); }
    LogFile(const LogFile&) = delete;
    LogFile& operator=(const LogFile&) = delete;

    // Opens (creating when missing); false with the system error in `error`.
    bool Open(const std::wstring& path, DWORD* error);
    void Close() noexcept;
    bool IsOpen() const noexcept { return handle_ != INVALID_HANDLE_VALUE; }
    const std::wstring& Path() const noexcept { return path_; }
    // Current size as the file system sees it (other processes append too).
    ULONGLONG QuerySize() noexcept;
    bool Append(const void* data, size_t bytes) noexcept;

private:
    HANDLE handle_ = INVALID_HANDLE_VALUE;
    std::wstring path_;
};

}  // namespace CORE::logfiles
