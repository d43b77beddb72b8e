#include "lib/mfw/common/log/LogFiles.h"

#include "lib/mfw/common/config/Config.h"
#include "platform/UniqueResource.h"

#include <sddl.h>
#include <shlobj.h>

#include <algorithm>
#include <cwctype>

namespace CORE::logfiles {
namespace {

const wchar_t kProfileList[] = L"HKLM\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList\\";
const wchar_t kProductFolder[] = L"\\Velmora\\Zephral";
const wchar_t kLogsFolder[] = L"\\logs\\";

std::wstring ConfigValue(const wchar_t* relative, const wchar_t* defaultText) {
    return ReadPolicyValue(GetConfigRoot(L"HKLM") + relative, defaultText);
}

void AppendNumber(std::wstring& out, unsigned value, int width) {
    std::wstring digits = std::to_wstring(value);
    if (static_cast<int>(digits.size()) < width) out.append(static_cast<size_t>(width) - digits.size(), L'0');
    out += digits;
}

std::wstring WithoutExtension(const std::wstring& name) {
    size_t dot = name.rfind(L'.');
    return dot == std::wstring::npos ? name : name.substr(0, dot);
}

bool IsUserModeProgram(const std::wstring& executableName) {
    // A multi-string: names separated by NULs (a plain string holds one name).
    std::wstring list = ConfigValue(L"\\Log\\userModeLogPrograms", L"");
    std::wstring base = WithoutExtension(executableName);
    size_t start = 0;
    while (start < list.size()) {
        size_t end = list.find(L'\0', start);
        if (end == std::wstring::npos) end = list.size();
        std::wstring item = list.substr(start, end - start);
        if (!item.empty() &&
            (_wcsicmp(item.c_str(), executableName.c_str()) == 0 || _wcsicmp(item.c_str(), base.c_str()) == 0))
            return true;
        start = end + 1;
    }
    return false;
}

std::wstring CurrentUserSid() {
    platform::unique_handle token;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, token.put())) return std::wstring();
    DWORD size = 0;
    ::GetTokenInformation(token.get(), TokenUser, nullptr, 0, &size);
    if (size == 0 || size > 4096) return std::wstring();
    std::vector<BYTE> buffer(size);
    if (!::GetTokenInformation(token.get(), TokenUser, buffer.data(), size, &size)) return std::wstring();
    LPWSTR text = nullptr;
    if (!::ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid, &text)) return std::wstring();
    platform::unique_hlocal owned(text);
    return std::wstring(text);
}

std::wstring ShellFolder(int csidl) {
    wchar_t path[MAX_PATH] = {};
    if (FAILED(::SHGetFolderPathW(nullptr, csidl, nullptr, SHGFP_TYPE_CURRENT, path))) return std::wstring();
    return path;
}

// The machine's (or in user mode the user's local) application data folder.
std::wstring DataFolder(bool userMode) {
    bool useRegistry = ParseBool(ConfigValue(L"\\UseRegistryForLoggingPath", L"true"));
    bool fallback = ParseBool(ConfigValue(L"\\fallbackToSHGetSpecialFolderPath", L"true"));
    std::wstring folder;
    if (useRegistry) {
        if (userMode) {
            std::wstring sid = CurrentUserSid();
            if (!sid.empty()) {
                std::wstring profile = ReadRegistryValue(std::wstring(kProfileList) + sid + L"\\ProfileImagePath", L"");
                if (!profile.empty()) folder = profile + L"\\AppData\\Local";
            }
        } else {
            folder = ReadRegistryValue(std::wstring(kProfileList) + L"ProgramData", L"");
        }
    }
    if (folder.empty() && (!useRegistry || fallback))
        folder = ShellFolder(userMode ? CSIDL_LOCAL_APPDATA : CSIDL_COMMON_APPDATA);
    while (!folder.empty() && (folder.back() == L'\\' || folder.back() == L'/')) folder.pop_back();
    return folder;
}

void AppendDate(std::wstring& out, const SYSTEMTIME& t) {
    AppendNumber(out, t.wYear, 4);
    out.push_back(L'-');
    AppendNumber(out, t.wMonth, 2);
    out.push_back(L'-');
    AppendNumber(out, t.wDay, 2);
}

template <typename F>
void ForEachFile(const std::wstring& pattern, F&& f) {
    WIN32_FIND_DATAW data{};
    HANDLE find = ::FindFirstFileW(pattern.c_str(), &data);
    if (find == INVALID_HANDLE_VALUE) return;
    do {
        if (!(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) f(std::wstring(data.cFileName));
    } while (::FindNextFileW(find, &data));
    ::FindClose(find);
}

bool LessNoCase(const std::wstring& a, const std::wstring& b) { return _wcsicmp(a.c_str(), b.c_str()) < 0; }

}  // namespace

bool CreateDirectories(const std::wstring& directory) {
    std::wstring path = directory;
    while (path.size() > 3 && path.back() == L'\\') path.pop_back();
    DWORD attributes = ::GetFileAttributesW(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES) return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    // Creates each component after the root ("C:\" or "\\server\share\").
    size_t start = 0;
    if (path.size() >= 2 && path[0] == L'\\' && path[1] == L'\\') {
        size_t server = path.find(L'\\', 2);
        start = server == std::wstring::npos ? path.size() : path.find(L'\\', server + 1);
        if (start == std::wstring::npos) start = path.size();
    } else {
        start = path.find(L'\\');
        if (start == std::wstring::npos) start = 0;
    }
    for (size_t sep = path.find(L'\\', start + 1);; sep = path.find(L'\\', sep + 1)) {
        std::wstring part = sep == std::wstring::npos ? path : path.substr(0, sep);
        if (!::CreateDirectoryW(part.c_str(), nullptr)) {
            DWORD error = ::GetLastError();
            if (error != ERROR_ALREADY_EXISTS && error != ERROR_ACCESS_DENIED) return false;
        }
        if (sep == std::wstring::npos) break;
    }
    attributes = ::GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool DirectoryPassesTest(const std::wstring& directory) {
    const std::wstring path = directory + kTestFileName;
    const size_t textLength = sizeof(kTestFileText) / sizeof(wchar_t) - 1;
    std::wstring content;
    content.push_back(static_cast<wchar_t>(0xFEFF));
    content.append(kTestFileText, textLength);
    const DWORD bytes = static_cast<DWORD>(content.size() * sizeof(wchar_t));
    bool equal = false;
    {
        platform::unique_hfile file(::CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                                  CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file) return false;
        DWORD written = 0;
        if (::WriteFile(file.get(), content.data(), bytes, &written, nullptr) && written == bytes &&
            ::SetFilePointer(file.get(), 0, nullptr, FILE_BEGIN) == 0) {
            std::wstring back(content.size() + 1, L'\0');
            DWORD read = 0;
            if (::ReadFile(file.get(), back.data(), static_cast<DWORD>(back.size() * sizeof(wchar_t)), &read, nullptr) &&
                read == bytes)
                equal = back.compare(0, content.size(), content) == 0;
        }
    }
    ::DeleteFileW(path.c_str());
    return equal;
}

DirectoryChoice ResolveDirectory(const std::wstring& executableName) {
    DirectoryChoice choice;
    choice.userMode = IsUserModeProgram(executableName);
    std::wstring configured = ConfigValue(L"\\Log\\LogFileDirectory", L"");
    if (!configured.empty()) {
        std::replace(configured.begin(), configured.end(), L'/', L'\\');
        if (configured.back() != L'\\') configured.push_back(L'\\');
        if (choice.userMode) configured += WithoutExtension(executableName) + L"\\";
        if (CreateDirectories(configured) && DirectoryPassesTest(configured)) {
            choice.directory = configured;
            return choice;
        }
        choice.configuredDiscarded = true;
    }
    std::wstring folder = DataFolder(choice.userMode);
    if (folder.empty()) return choice;
    std::wstring directory = folder + kProductFolder + kLogsFolder;
    if (CreateDirectories(directory)) choice.directory = directory;
    return choice;
}

std::wstring DailyFileName(const std::wstring& directory, const std::wstring& base, const SYSTEMTIME& localDate) {
    std::wstring name = directory + base + L"-";
    AppendDate(name, localDate);
    return name + L".txt";
}

std::wstring DebugFileName(const std::wstring& directory, const std::wstring& base, const SYSTEMTIME& t) {
    std::wstring name = directory + base + L"-";
    AppendDate(name, t);
    name.push_back(L'-');
    AppendNumber(name, t.wHour, 2);
    AppendNumber(name, t.wMinute, 2);
    AppendNumber(name, t.wSecond, 2);
    return name + L".txt";
}

bool IsDebugFileName(const std::wstring& fileName, const std::wstring& base) {
    static const wchar_t kShape[] = L"-dddd-dd-dd-dddddd.txt";
    const size_t shapeLength = sizeof(kShape) / sizeof(wchar_t) - 1;
    if (fileName.size() != base.size() + shapeLength) return false;
    if (_wcsnicmp(fileName.c_str(), base.c_str(), base.size()) != 0) return false;
    for (size_t i = 0; i < shapeLength; ++i) {
        wchar_t c = fileName[base.size() + i];
        if (kShape[i] == L'd') {
            if (c < L'0' || c > L'9') return false;
        } else if (std::towlower(c) != kShape[i]) {
            return false;
        }
    }
    return true;
}

std::vector<std::wstring> ListDebugFiles(const std::wstring& directory, const std::wstring& base) {
    std::vector<std::wstring> names;
    // "?" escaped: a run of question marks before "-" would read as a trigraph.
    ForEachFile(directory + base + L"-\?\?\?\?-\?\?-\?\?-\?\?\?\?\?\?.txt", [&](const std::wstring& name) {
        if (IsDebugFileName(name, base)) names.push_back(name);
    });
    std::sort(names.begin(), names.end(), LessNoCase);
    return names;
}

void PruneDebugFiles(const std::wstring& directory, const std::wstring& base, size_t keep,
                     const std::wstring& currentPath) {
    std::vector<std::wstring> names = ListDebugFiles(directory, base);
    size_t excess = names.size() > keep ? names.size() - keep : 0;
    for (size_t i = 0; i < names.size() && excess > 0; ++i) {
        std::wstring path = directory + names[i];
        if (_wcsicmp(path.c_str(), currentPath.c_str()) == 0) continue;
        if (::DeleteFileW(path.c_str())) --excess;
    }
}

size_t DeleteExpiredDailyFiles(const std::wstring& directory, const std::wstring& base, DWORD maxDaysKept,
                               const SYSTEMTIME& today) {
    if (maxDaysKept == 0) return 0;
    FILETIME now{};
    SYSTEMTIME midday = today;
    midday.wHour = 12;
    midday.wMinute = midday.wSecond = midday.wMilliseconds = 0;
    if (!::SystemTimeToFileTime(&midday, &now)) return 0;
    ULONGLONG ticks = (static_cast<ULONGLONG>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
    // Compared in days: a huge setting would overflow the span in ticks and expire this week's files.
    constexpr ULONGLONG kTicksPerDay = 24ULL * 3600ULL * 10000000ULL;
    ticks = maxDaysKept < ticks / kTicksPerDay ? ticks - maxDaysKept * kTicksPerDay : 0;
    FILETIME limitTime{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
    SYSTEMTIME limitDate{};
    if (!::FileTimeToSystemTime(&limitTime, &limitDate)) return 0;
    const std::wstring limitName = DailyFileName(std::wstring(), base, limitDate);
    std::vector<std::wstring> expired;
    ForEachFile(directory + base + L"-*.*", [&](const std::wstring& name) {
        if (LessNoCase(name, limitName)) expired.push_back(name);
    });
    size_t deleted = 0;
    for (const auto& name : expired)
        if (::DeleteFileW((directory + name).c_str())) ++deleted;
    return deleted;
}

ULONGLONG FileSize(const std::wstring& path) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!::GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return 0;
    return (static_cast<ULONGLONG>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

bool LogFile::Open(const std::wstring& path, DWORD* error) {
    Close();
    handle_ = ::CreateFileW(path.c_str(), FILE_APPEND_DATA | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle_ == INVALID_HANDLE_VALUE) {
        if (error) *error = ::GetLastError();
        return false;
    }
    path_ = path;
    return true;
}

void LogFile::Close() noexcept {
    if (handle_ != INVALID_HANDLE_VALUE) ::CloseHandle(handle_);
    handle_ = INVALID_HANDLE_VALUE;
}

ULONGLONG LogFile::QuerySize() noexcept {
    LARGE_INTEGER size{};
    if (handle_ == INVALID_HANDLE_VALUE || !::GetFileSizeEx(handle_, &size)) return 0;
    return static_cast<ULONGLONG>(size.QuadPart);
}

bool LogFile::Append(const void* data, size_t bytes) noexcept {
    const BYTE* p = static_cast<const BYTE*>(data);
    while (bytes > 0) {
        DWORD chunk = bytes > (1u << 30) ? (1u << 30) : static_cast<DWORD>(bytes);
        DWORD written = 0;
        if (!::WriteFile(handle_, p, chunk, &written, nullptr) || written == 0) return false;
        p += written;
        bytes -= written;
    }
    return true;
}

}  // namespace CORE::logfiles
