// Log files on disk for tests: a private temporary directory, reading every log file back as
// text, and the check that no secret reached any of them in any encoding.
#pragma once
#include "lib/mfw/common/log/SysMessage.h"
#include "platform/UniqueResource.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <string>
#include <vector>

namespace testsupport {
namespace logfiles {

using platform::unique_any;
TC_DEFINE_UNIQUE(unique_hfind, HANDLE, INVALID_HANDLE_VALUE, ::FindClose(value));

inline std::vector<BYTE> ReadBytes(const std::wstring& path) {
    platform::unique_hfile file(::CreateFileW(path.c_str(), GENERIC_READ,
                                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    LARGE_INTEGER size{};
    if (!file || !::GetFileSizeEx(file.get(), &size) || size.QuadPart <= 0 || size.QuadPart >= (1LL << 31)) return {};
    std::vector<BYTE> bytes(static_cast<size_t>(size.QuadPart));
    DWORD read = 0;  // what a failed read leaves: nothing
    bytes.resize(::ReadFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr) ? read : 0);
    return bytes;
}

inline std::wstring Decode(const std::vector<BYTE>& bytes) {
    const bool mark = bytes.size() >= 2 && bytes[0] == 0xFF && bytes[1] == 0xFE;
    // Without a mark: ASCII text in UTF-16 has a zero in most odd positions.
    size_t zeros = 0;
    for (size_t i = 1; i < bytes.size(); i += 2) zeros += bytes[i] == 0;
    if (mark || (bytes.size() >= 2 && zeros * 4 > bytes.size())) {
        const size_t skip = mark ? 2 : 0;
        return std::wstring(reinterpret_cast<const wchar_t*>(bytes.data() + skip), (bytes.size() - skip) / 2);
    }
    const auto* narrow = reinterpret_cast<const char*>(bytes.data());
    const int size = static_cast<int>(bytes.size());
    const int length = ::MultiByteToWideChar(CP_UTF8, 0, narrow, size, nullptr, 0);
    std::wstring text(static_cast<size_t>(std::max(0, length)), L'\0');
    ::MultiByteToWideChar(CP_UTF8, 0, narrow, size, text.data(), length);
    return text;
}

inline std::string Encode(const std::wstring& text, UINT codePage) {
    const int chars = static_cast<int>(text.size());
    const int length = ::WideCharToMultiByte(codePage, 0, text.data(), chars, nullptr, 0, nullptr, nullptr);
    std::string bytes(static_cast<size_t>(std::max(0, length)), '\0');
    ::WideCharToMultiByte(codePage, 0, text.data(), chars, bytes.data(), length, nullptr, nullptr);
    return bytes;
}

inline bool Contains(const std::vector<BYTE>& haystack, const void* needle, size_t length) {
    const auto* begin = static_cast<const BYTE*>(needle);
    return length > 0 && std::search(haystack.begin(), haystack.end(), begin, begin + length) != haystack.end();
}

}  // namespace logfiles

// A fresh directory under the temporary folder, removed with its files on destruction.
class TempDirectory {
public:
    TempDirectory() {
        static std::atomic<int> counter{0};
        path_ = std::filesystem::temp_directory_path().wstring();
        if (path_.back() != L'\\') path_ += L'\\';
        path_ += L"tclog-" + std::to_wstring(::GetCurrentProcessId()) + L"-" + std::to_wstring(::GetTickCount64()) +
                 L"-" + std::to_wstring(++counter) + L"\\";
        EXPECT_TRUE(::CreateDirectoryW(path_.c_str(), nullptr));
    }
    ~TempDirectory() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
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
inline std::vector<LogFileText> ReadLogFiles(const std::wstring& dir, const std::wstring& pattern = L"*") {
    std::vector<LogFileText> files;
    WIN32_FIND_DATAW data{};
    logfiles::unique_hfind find(::FindFirstFileW((dir + pattern).c_str(), &data));
    for (bool more = !!find; more; more = ::FindNextFileW(find.get(), &data)) {
        if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
        std::vector<BYTE> bytes = logfiles::ReadBytes(dir + data.cFileName);
        files.push_back({data.cFileName, logfiles::Decode(bytes), bytes});
    }
    std::sort(files.begin(), files.end(), [](const LogFileText& a, const LogFileText& b) { return a.name < b.name; });
    return files;
}

// All matching files' text, concatenated.
inline std::wstring ReadAllLogText(const std::wstring& dir, const std::wstring& pattern = L"*") {
    std::wstring all;
    for (const auto& file : ReadLogFiles(dir, pattern)) all += file.text;
    return all;
}

// Number of occurrences of `fragment` in `text`.
inline size_t CountOf(const std::wstring& text, const std::wstring& fragment) {
    size_t count = 0;
    for (size_t at = text.find(fragment); !fragment.empty() && at != std::wstring::npos;
         at = text.find(fragment, at + fragment.size()))
        ++count;
    return count;
}

// Flushes the log, then fails the test for every file under `dir` (subfolders included) that
// holds one of the secrets as UTF-16, UTF-8 or ANSI bytes. The failure names the file and the
// secret's index, never the secret itself.
inline void ExpectNoSecretInLogs(const std::wstring& dir, const std::vector<std::wstring>& secrets) {
    CORE::FlushLog();
    std::error_code error;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(dir, error)) {
        if (!entry.is_regular_file()) continue;
        using namespace logfiles;
        const std::vector<BYTE> bytes = ReadBytes(entry.path().wstring());
        for (size_t i = 0; i < secrets.size(); ++i) {
            const std::string utf8 = Encode(secrets[i], CP_UTF8), ansi = Encode(secrets[i], CP_ACP);
            EXPECT_FALSE(Contains(bytes, secrets[i].data(), secrets[i].size() * sizeof(wchar_t)) ||
                         Contains(bytes, utf8.data(), utf8.size()) || Contains(bytes, ansi.data(), ansi.size()))
                << "secret #" << i << " (" << secrets[i].size() << " characters) found in "
                << logfiles::Encode(entry.path().wstring(), CP_UTF8);
        }
    }
}

}  // namespace testsupport
