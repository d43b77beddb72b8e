#include "LogSecrets.h"

#include "lib/mfw/common/log/SysMessage.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>

namespace testsupport {
namespace {

std::vector<BYTE> ReadBytes(const std::wstring& path) {
    std::vector<BYTE> bytes;
    HANDLE file = ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return bytes;
    LARGE_INTEGER size{};
    if (::GetFileSizeEx(file, &size) && size.QuadPart > 0 && size.QuadPart < (1LL << 31)) {
        bytes.resize(static_cast<size_t>(size.QuadPart));
        DWORD read = 0;
        if (!::ReadFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr)) read = 0;
        bytes.resize(read);
    }
    ::CloseHandle(file);
    return bytes;
}

bool LooksUtf16(const std::vector<BYTE>& bytes) {
    if (bytes.size() >= 2 && bytes[0] == 0xFF && bytes[1] == 0xFE) return true;
    // Without a mark: ASCII text in UTF-16 has a zero in most odd positions.
    size_t zeros = 0, pairs = bytes.size() / 2;
    for (size_t i = 1; i < bytes.size(); i += 2) zeros += bytes[i] == 0;
    return pairs > 0 && zeros * 2 > pairs;
}

std::wstring Decode(const std::vector<BYTE>& bytes) {
    if (LooksUtf16(bytes)) {
        size_t skip = bytes.size() >= 2 && bytes[0] == 0xFF && bytes[1] == 0xFE ? 2 : 0;
        return std::wstring(reinterpret_cast<const wchar_t*>(bytes.data() + skip), (bytes.size() - skip) / 2);
    }
    std::string narrow(bytes.begin(), bytes.end());
    int length = ::MultiByteToWideChar(CP_UTF8, 0, narrow.data(), static_cast<int>(narrow.size()), nullptr, 0);
    std::wstring text(static_cast<size_t>(length > 0 ? length : 0), L'\0');
    if (length > 0) ::MultiByteToWideChar(CP_UTF8, 0, narrow.data(), static_cast<int>(narrow.size()), text.data(), length);
    return text;
}

std::string Encode(const std::wstring& text, UINT codePage) {
    int length = ::WideCharToMultiByte(codePage, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr,
                                       nullptr);
    std::string bytes(static_cast<size_t>(length > 0 ? length : 0), '\0');
    if (length > 0)
        ::WideCharToMultiByte(codePage, 0, text.data(), static_cast<int>(text.size()), bytes.data(), length, nullptr,
                              nullptr);
    return bytes;
}

bool Contains(const std::vector<BYTE>& haystack, const void* needle, size_t length) {
    if (length == 0 || haystack.size() < length) return false;
    auto begin = static_cast<const BYTE*>(needle);
    return std::search(haystack.begin(), haystack.end(), begin, begin + length) != haystack.end();
}

// Walks `dir` (ending with a backslash) depth first: every file, then every folder after its
// contents.
template <class OnFile, class OnFolder>
void Walk(const std::wstring& dir, OnFile onFile, OnFolder onFolder) {
    WIN32_FIND_DATAW data{};
    HANDLE find = ::FindFirstFileW((dir + L"*").c_str(), &data);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            std::wstring name = data.cFileName;
            if (name == L"." || name == L"..") continue;
            if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                Walk(dir + name + L"\\", onFile, onFolder);
            else
                onFile(dir + name);
        } while (::FindNextFileW(find, &data));
        ::FindClose(find);
    }
    onFolder(dir);
}

}  // namespace

TempDirectory::TempDirectory() {
    static std::atomic<int> counter{0};
    wchar_t temp[MAX_PATH] = {};
    ::GetTempPathW(MAX_PATH, temp);
    path_ = std::wstring(temp) + L"tclog-" + std::to_wstring(::GetCurrentProcessId()) + L"-" +
            std::to_wstring(::GetTickCount64()) + L"-" + std::to_wstring(++counter) + L"\\";
    EXPECT_TRUE(::CreateDirectoryW(path_.c_str(), nullptr));
}

TempDirectory::~TempDirectory() {
    Walk(path_, [](const std::wstring& file) { ::DeleteFileW(file.c_str()); },
         [](const std::wstring& folder) { ::RemoveDirectoryW(folder.c_str()); });
}

std::vector<LogFileText> ReadLogFiles(const std::wstring& dir, const std::wstring& pattern) {
    std::vector<LogFileText> files;
    WIN32_FIND_DATAW data{};
    HANDLE find = ::FindFirstFileW((dir + pattern).c_str(), &data);
    if (find == INVALID_HANDLE_VALUE) return files;
    do {
        if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
        LogFileText file;
        file.name = data.cFileName;
        file.bytes = ReadBytes(dir + file.name);
        file.text = Decode(file.bytes);
        files.push_back(std::move(file));
    } while (::FindNextFileW(find, &data));
    ::FindClose(find);
    std::sort(files.begin(), files.end(), [](const LogFileText& a, const LogFileText& b) { return a.name < b.name; });
    return files;
}

std::wstring ReadAllLogText(const std::wstring& dir, const std::wstring& pattern) {
    std::wstring all;
    for (const auto& file : ReadLogFiles(dir, pattern)) all += file.text;
    return all;
}

size_t CountOf(const std::wstring& text, const std::wstring& fragment) {
    if (fragment.empty()) return 0;
    size_t count = 0;
    for (size_t at = text.find(fragment); at != std::wstring::npos; at = text.find(fragment, at + fragment.size()))
        ++count;
    return count;
}

void ExpectNoSecretInLogs(const std::wstring& dir, const std::vector<std::wstring>& secrets) {
    CORE::FlushLog();
    std::wstring root = dir;
    if (!root.empty() && root.back() != L'\\') root.push_back(L'\\');
    std::vector<std::wstring> paths;
    Walk(root, [&](const std::wstring& file) { paths.push_back(file); }, [](const std::wstring&) {});
    for (const auto& path : paths) {
        std::vector<BYTE> bytes = ReadBytes(path);
        for (size_t i = 0; i < secrets.size(); ++i) {
            const std::wstring& secret = secrets[i];
            if (secret.empty()) continue;
            std::string utf8 = Encode(secret, CP_UTF8);
            std::string ansi = Encode(secret, CP_ACP);
            bool found = Contains(bytes, secret.data(), secret.size() * sizeof(wchar_t)) ||
                         Contains(bytes, utf8.data(), utf8.size()) || Contains(bytes, ansi.data(), ansi.size());
            std::string narrowPath = Encode(path, CP_UTF8);
            EXPECT_FALSE(found) << "secret #" << i << " (" << secret.size() << " characters) found in "
                                << narrowPath;
        }
    }
}

}  // namespace testsupport
