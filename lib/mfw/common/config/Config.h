// Settings in the registry: parsing of full paths ("HKLM\Software\...\Value"), the plain and
// the policy-aware read (group policy key, legacy policy key, plain key), the conversion of
// stored data to text; the text rules of settings come with it.
#pragma once
#include "lib/mfw/common/util/TextRules.h"

#include <windows.h>

#include <string>
#include <vector>

namespace CORE {

// "HKLM" -> "HKLM\Software\Velmora\Zephral".
std::wstring GetConfigRoot(const wchar_t* hive);

// Splits a full key path (no value name: "HKLM\Software\Velmora\Zephral\Log") into its hive
// and key path; '/' counts as '\'. False for an unknown hive or an empty key path.
bool ParseRegistryKeyPath(const std::wstring& path, HKEY* hive, std::wstring* keyPath);

// The value at exactly that path, or the default when the key or value is missing or
// unreadable (the last error then says why; ERROR_PATH_NOT_FOUND for an unparsable path).
std::wstring ReadRegistryValue(const std::wstring& path, const std::wstring& defaultValue, bool wow64Key64 = true);
// The same with the policy lookup: policy key, legacy policy key (when FallbackToLegacyGPO),
// plain key, and for HKCU paths the same key under HKLM.
std::wstring ReadPolicyValue(const std::wstring& path, const std::wstring& defaultValue, bool wow64Key64 = true);

// Reads one value of an open key as text. Returns its registry type, or (DWORD)-1 with the
// last error set (the registry's error, ERROR_INVALID_DATA when the type is not wantedType,
// ERROR_NOT_ENOUGH_MEMORY). wantedType (DWORD)-1 accepts any type.
DWORD ReadRegistryValueTyped(HKEY key, const wchar_t* valueName, DWORD wantedType, std::wstring* text);


// Policy reads of settings under the configuration root of HKLM; `relativePath` begins with
// a backslash ("\Agent\Configuration\AllowSingleSignon").
std::wstring ReadConfigValue(const wchar_t* relativePath, const wchar_t* defaultText);
bool ReadConfigBool(const wchar_t* relativePath, const wchar_t* defaultText);
unsigned long ReadConfigUInt(const wchar_t* relativePath, const wchar_t* defaultText);

}  // namespace CORE
