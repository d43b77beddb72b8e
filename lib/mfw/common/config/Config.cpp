#include "lib/mfw/common/config/Config.h"

#include "platform/UniqueResource.h"

#include <cstring>
#include <cwchar>
#include <cwctype>
#include <vector>

namespace CORE {
namespace {

const wchar_t kRootKey[] = L"Software\\Velmora\\Zephral";
const size_t kRootKeyLength = sizeof(kRootKey) / sizeof(wchar_t) - 1;
const wchar_t kLegacyPolicyBase[] = L"Software\\Policies\\Dravik, Inc.";

// Former product components whose policies older versions kept under the legacy key.
struct LegacyComponent {
    const wchar_t* component;  // lower case
    const wchar_t* legacyKey;
};
const LegacyComponent kLegacyComponents[] = {
    {L"agent", L"Dravik ZDM\\Agent"},
    {L"authenticate", L"Dravik ZDM\\Authenticate"},
    {L"log", L"Dravik ZDM\\Log"},
    {L"node manager", L"Dravik ZDM\\Node Manager"},
    {L"security", L"Dravik ZDM\\Security"},
};

struct RegistryPath {
    HKEY hive = nullptr;
    std::wstring hiveName;
    std::wstring keyPath;
    std::wstring valueName;
};

bool EqualsNoCase(const std::wstring& a, const wchar_t* b) { return _wcsicmp(a.c_str(), b) == 0; }

HKEY HiveOf(const std::wstring& name) {
    struct Hive {
        const wchar_t* name;
        HKEY key;
    };
    static const Hive hives[] = {{L"HKLM", HKEY_LOCAL_MACHINE}, {L"HKCU", HKEY_CURRENT_USER},
                                 {L"HKCR", HKEY_CLASSES_ROOT},  {L"HKCC", HKEY_CURRENT_CONFIG},
                                 {L"HKU", HKEY_USERS}, {L"HKEY_LOCAL_MACHINE", HKEY_LOCAL_MACHINE},
                                 {L"HKEY_CURRENT_USER", HKEY_CURRENT_USER}};
    for (const auto& hive : hives)
        if (EqualsNoCase(name, hive.name)) return hive.key;
    return nullptr;
}

bool ParsePath(std::wstring path, RegistryPath* out) {
    for (auto& c : path)
        if (c == L'/') c = L'\\';
    size_t firstSep = path.find(L'\\');
    size_t lastSep = path.rfind(L'\\');
    if (firstSep == std::wstring::npos || lastSep == firstSep) return false;
    out->hiveName = path.substr(0, firstSep);
    out->hive = HiveOf(out->hiveName);
    if (!out->hive) return false;
    out->keyPath = path.substr(firstSep + 1, lastSep - firstSep - 1);
    out->valueName = path.substr(lastSep + 1);
    return true;
}

// Reads one value; true when the key and the value exist and could be read.
bool TryRead(HKEY hive, const std::wstring& keyPath, const std::wstring& valueName, bool wow64Key64,
             std::wstring* text) {
    platform::unique_hkey key;
    REGSAM access = KEY_QUERY_VALUE | (wow64Key64 ? KEY_WOW64_64KEY : 0);
    LSTATUS status = ::RegOpenKeyExW(hive, keyPath.c_str(), 0, access, key.put());
    if (status != ERROR_SUCCESS) {
        ::SetLastError(static_cast<DWORD>(status));
        return false;
    }
    return ReadRegistryValueTyped(key.get(), valueName.c_str(), static_cast<DWORD>(-1), text) !=
           static_cast<DWORD>(-1);
}

bool FallbackToLegacyGpo() {
    std::wstring policy;
    if (TryRead(HKEY_LOCAL_MACHINE, L"Software\\Policies\\Velmora\\Zephral", L"FallbackToLegacyGPO", true, &policy) &&
        !policy.empty())
        return ParseBool(policy);
    std::wstring plain = L"true";
    TryRead(HKEY_LOCAL_MACHINE, kRootKey, L"FallbackToLegacyGPO", true, &plain);
    return ParseBool(plain);
}

// The legacy policy key for a key path under the product root, or empty when there is none.
std::wstring LegacyPolicyKey(const std::wstring& keyPath) {
    if (_wcsicmp(keyPath.c_str(), kRootKey) == 0) return std::wstring(kLegacyPolicyBase) + L"\\Dravik ZDM";
    if (keyPath.size() <= kRootKeyLength + 1 || _wcsnicmp(keyPath.c_str(), kRootKey, kRootKeyLength) != 0 ||
        keyPath[kRootKeyLength] != L'\\')
        return std::wstring();
    std::wstring rest = keyPath.substr(kRootKeyLength + 1);
    size_t sep = rest.find(L'\\');
    std::wstring component = rest.substr(0, sep);
    std::wstring tail = sep == std::wstring::npos ? std::wstring() : rest.substr(sep + 1);
    for (auto& c : component) c = static_cast<wchar_t>(std::towlower(c));
    for (const auto& row : kLegacyComponents) {
        if (component == row.component) {
            std::wstring legacy = std::wstring(kLegacyPolicyBase) + L"\\" + row.legacyKey;
            if (!tail.empty()) legacy += L"\\" + tail;
            return legacy;
        }
    }
    return std::wstring();
}

// Expands the environment references of a REG_EXPAND_SZ value in place; left as read when expansion fails.
void ExpandInPlace(std::wstring* text) {
    DWORD needed = ::ExpandEnvironmentStringsW(text->c_str(), nullptr, 0);
    if (needed == 0) return;
    std::wstring expanded(needed, L'\0');
    DWORD written = ::ExpandEnvironmentStringsW(text->c_str(), expanded.data(), needed);
    if (written > 0 && written <= needed) {
        expanded.resize(written - 1);
        *text = std::move(expanded);
    }
}

// The text form of value data; data holds got bytes followed by zeroed padding.
void ValueToText(DWORD type, const BYTE* data, DWORD got, std::wstring* text) {
    switch (type) {
    case REG_DWORD: {
        DWORD value = 0;
        std::memcpy(&value, data, got < sizeof(value) ? got : sizeof(value));
        *text = std::to_wstring(value);
        break;
    }
    case REG_QWORD: {
        ULONGLONG value = 0;
        std::memcpy(&value, data, got < sizeof(value) ? got : sizeof(value));
        *text = std::to_wstring(value);
        break;
    }
    case REG_SZ:
    case REG_EXPAND_SZ: {
        const auto* chars = reinterpret_cast<const wchar_t*>(data);
        text->assign(chars, wcsnlen(chars, got / sizeof(wchar_t)));
        if (type == REG_EXPAND_SZ) ExpandInPlace(text);
        break;
    }
    default:
        text->assign(reinterpret_cast<const wchar_t*>(data), got / sizeof(wchar_t));
        break;
    }
}

}  // namespace

bool ParseRegistryKeyPath(const std::wstring& path, HKEY* hive, std::wstring* keyPath) {
    std::wstring normalized = path;
    for (auto& c : normalized)
        if (c == L'/') c = L'\\';
    size_t sep = normalized.find(L'\\');
    if (sep == std::wstring::npos || sep + 1 >= normalized.size()) return false;
    HKEY parsed = HiveOf(normalized.substr(0, sep));
    if (!parsed) return false;
    *hive = parsed;
    *keyPath = normalized.substr(sep + 1);
    while (!keyPath->empty() && keyPath->back() == L'\\') keyPath->pop_back();
    return !keyPath->empty();
}

std::wstring GetConfigRoot(const wchar_t* hive) { return std::wstring(hive ? hive : L"") + L"\\" + kRootKey; }

DWORD ReadRegistryValueTyped(HKEY key, const wchar_t* valueName, DWORD wantedType, std::wstring* text) {
    const DWORD failed = static_cast<DWORD>(-1);
    if (!text) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return failed;
    }
    for (int attempt = 0; attempt < 4; ++attempt) {
        DWORD type = 0;
        DWORD size = 0;
        LSTATUS status = ::RegQueryValueExW(key, valueName, nullptr, &type, nullptr, &size);
        if (status != ERROR_SUCCESS) {
            ::SetLastError(static_cast<DWORD>(status));
            return failed;
        }
        if (wantedType != failed && type != wantedType) {
            ::SetLastError(ERROR_INVALID_DATA);
            return failed;
        }
        // Room for a terminator whatever the stored data lacks; a size that would wrap is no
        // value this reader can hold.
        if (size > MAXDWORD - 24) {
            ::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return failed;
        }
        const DWORD capacity = size + 24;
        BYTE stackBuffer[1024];
        std::vector<BYTE> heapBuffer;
        BYTE* data = stackBuffer;
        if (capacity > sizeof(stackBuffer)) {
            try {
                heapBuffer.resize(capacity);
            } catch (...) {
                ::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
                return failed;
            }
            data = heapBuffer.data();
        }
        DWORD got = capacity - 24;
        status = ::RegQueryValueExW(key, valueName, nullptr, &type, data, &got);
        if (status == ERROR_MORE_DATA) continue;  // grew between the two queries
        if (status != ERROR_SUCCESS) {
            ::SetLastError(static_cast<DWORD>(status));
            return failed;
        }
        std::memset(data + got, 0, 24);
        ValueToText(type, data, got, text);
        return type;
    }
    ::SetLastError(ERROR_MORE_DATA);
    return failed;
}

std::wstring ReadRegistryValue(const std::wstring& path, const std::wstring& defaultValue, bool wow64Key64) {
    RegistryPath parsed;
    if (!ParsePath(path, &parsed)) {
        ::SetLastError(ERROR_PATH_NOT_FOUND);
        return defaultValue;
    }
    std::wstring text;
    if (TryRead(parsed.hive, parsed.keyPath, parsed.valueName, wow64Key64, &text)) return text;
    return defaultValue;
}

std::wstring ReadPolicyValue(const std::wstring& path, const std::wstring& defaultValue, bool wow64Key64) {
    RegistryPath parsed;
    if (!ParsePath(path, &parsed)) {
        ::SetLastError(ERROR_PATH_NOT_FOUND);
        return defaultValue;
    }
    std::wstring text;
    // 1. Group policy: "Policies" after the first component of the key path.
    size_t sep = parsed.keyPath.find(L'\\');
    std::wstring policyKey = sep == std::wstring::npos
                                 ? parsed.keyPath + L"\\Policies"
                                 : parsed.keyPath.substr(0, sep) + L"\\Policies" + parsed.keyPath.substr(sep);
    if (TryRead(parsed.hive, policyKey, parsed.valueName, wow64Key64, &text)) return text;
    // 2-3. Policies of the former product, always under HKLM. The switch that allows them is read
    // only when there is such a policy: most lookups find none, and each read costs a few calls.
    const std::wstring legacyKey = LegacyPolicyKey(parsed.keyPath);
    if (!legacyKey.empty() && TryRead(HKEY_LOCAL_MACHINE, legacyKey, parsed.valueName, wow64Key64, &text) &&
        FallbackToLegacyGpo())
        return text;
    // 4. The plain key; a per-user setting falls back to the machine's.
    if (TryRead(parsed.hive, parsed.keyPath, parsed.valueName, wow64Key64, &text)) return text;
    if (parsed.hive == HKEY_CURRENT_USER &&
        TryRead(HKEY_LOCAL_MACHINE, parsed.keyPath, parsed.valueName, wow64Key64, &text))
        return text;
    return defaultValue;
}

std::wstring ReadConfigValue(const wchar_t* relativePath, const wchar_t* defaultText) {
    return ReadPolicyValue(GetConfigRoot(L"HKLM") + relativePath, defaultText ? defaultText : L"");
}

bool ReadConfigBool(const wchar_t* relativePath, const wchar_t* defaultText) {
    return ParseBool(ReadConfigValue(relativePath, defaultText));
}

unsigned long ReadConfigUInt(const wchar_t* relativePath, const wchar_t* defaultText) {
    return ParseUInt(ReadConfigValue(relativePath, defaultText), true);
}

}  // namespace CORE
