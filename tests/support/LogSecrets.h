// Log files on disk for tests: a private temporary directory, reading every log file back as
// text, and the check that no secret reached any of them in any encoding.
#pragma once
#include <windows.h>

#include <string>
#include <vector>

namespace testsupport {

// A fresh directory under the temporary folder, removed with its files on destruction.
class TempDirectory {
public:
    TempDirectory();
    ~TempDirectory();
    TempDirectory(const TempDirectory&) = delete;
    TempDirectory& operator=(const TempDirectory&) = delete;
    // Ends with a backslash.
    const std::wstring& Path() const { return path_; }

private:
    std::wstring path_;
};

struct LogFileText {
    std::wstring name;  // file name without directory
    std::wstring text;  // decoded (UTF-16 with or without byte order mark, else UTF-8/ANSI)
    std::vector<BYTE> bytes;
};

// Every file directly in `dir` whose name matches `pattern` ("log-*.txt"), sorted by name.
std::vector<LogFileText> ReadLogFiles(const std::wstring& dir, const std::wstring& pattern = L"*");
// All matching files' text, concatenated.
std::wstring ReadAllLogText(const std::wstring& dir, const std::wstring& pattern = L"*");
// Number of occurrences of `fragment` in `text`.
size_t CountOf(const std::wstring& text, const std::wstring& fragment);

// Flushes the log, then fails the test for every file under `dir` (subfolders included) that
// holds one of the secrets as UTF-16, UTF-8 or ANSI bytes. The failure names the file and the
// secret's index, never the secret itself.
void ExpectNoSecretInLogs(const std::wstring& dir, const std::vector<std::wstring>& secrets);

}  // namespace testsupport
