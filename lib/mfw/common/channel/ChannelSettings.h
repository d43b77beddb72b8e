// The channel's settings (node manager, authentication, SSPI), read through the policy-aware
// lookup and kept for a few seconds: every agent request opens its own channel, a logon sends
// several in a row, and each policy-aware read costs several registry opens (milliseconds
// under Wine), which would otherwise dominate the connect.
#pragma once
#include <windows.h>

#include <string>

namespace CORE {

constexpr DWORD kChannelSettingsLifetimeMs = 5000;

// ReadConfigValue of `relativePath`, at most kChannelSettingsLifetimeMs old.
std::wstring ChannelSetting(const wchar_t* relativePath, const wchar_t* defaultText);
bool ChannelSettingBool(const wchar_t* relativePath, const wchar_t* defaultText);
unsigned long ChannelSettingUInt(const wchar_t* relativePath, const wchar_t* defaultText);
// Forgets what was read (tests that change a setting between two connects).
void InvalidateChannelSettings();

}  // namespace CORE
