#include "lib/mfw/common/channel/ChannelSettings.h"

#include "lib/mfw/common/config/Config.h"

#include <map>
#include <mutex>

namespace CORE {
namespace {

struct Cached {
    std::wstring value;
    ULONGLONG readAt = 0;
};

std::mutex& Lock() {
    static std::mutex* lock = new std::mutex;
    return *lock;
}
std::map<std::wstring, Cached>& Cache() {
    static auto* cache = new std::map<std::wstring, Cached>;
    return *cache;
}

}  // namespace

std::wstring ChannelSetting(const wchar_t* relativePath, const wchar_t* defaultText) {
    const std::wstring key = std::wstring(relativePath) + L"|" + (defaultText ? defaultText : L"");
    const ULONGLONG now = ::GetTickCount64();
    {
        std::lock_guard<std::mutex> guard(Lock());
        auto it = Cache().find(key);
        if (it != Cache().end() && now - it->second.readAt < kChannelSettingsLifetimeMs) return it->second.value;
    }
    std::wstring value = ReadConfigValue(relativePath, defaultText);
    std::lock_guard<std::mutex> guard(Lock());
    Cache()[key] = Cached{value, now};
    return value;
}

bool ChannelSettingBool(const wchar_t* relativePath, const wchar_t* defaultText) {
    return ParseBool(ChannelSetting(relativePath, defaultText));
}

unsigned long ChannelSettingUInt(const wchar_t* relativePath, const wchar_t* defaultText) {
    return ParseUInt(ChannelSetting(relativePath, defaultText), true);
}

void InvalidateChannelSettings() {
    std::lock_guard<std::mutex> guard(Lock());
    Cache().clear();
}

}  // namespace CORE
