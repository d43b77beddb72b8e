#include "AadJoinUtil.h"

#include "lib/mfw/common/log/SysMessage.h"
#include "platform/Platform.h"

#include <atomic>

namespace EntraAuth {
namespace {

constexpr DWORD kDeviceJoin = 1;  // DSREG_DEVICE_JOIN
// The state last logged, so a process logs the join facts only when they change.
std::atomic<bool> g_loggedJoined{false};

const wchar_t* OrNull(const std::optional<std::wstring>& text) { return text ? text->c_str() : L"NULL"; }

}  // namespace

AadJoinUtil::AadJoinUtil() {
    bool present = false;
    const HRESULT hr = platform::Get().GetAadJoinInformation(&info_, &present);
    if (FAILED(hr)) {
        CORE::LogMessage(CORE::LOG_DEBUG,
                         L"[EntraAuth] EntraAuth::AadJoinUtil::AadJoinUtil: NetGetAadJoinInformation failed, hr=%x",
                         static_cast<unsigned>(hr));
        info_ = platform::AadJoinInfo{};
        return;
    }
    if (!present) info_ = platform::AadJoinInfo{};
    joined_ = present && info_.joinType == kDeviceJoin;
    if (g_loggedJoined.exchange(joined_) == joined_) return;
    CORE::LogMessage(CORE::LOG_DEBUG, L"[EntraAuth] EntraAuth::AadJoinUtil::AadJoinUtil: Device %ls AAD joined",
                     joined_ ? L"IS" : L"IS NOT");
    if (!joined_) return;
    CORE::LogMessage(CORE::LOG_DEBUG, L"[EntraAuth] EntraAuth::AadJoinUtil::AadJoinUtil: Entra Device Id: %ls",
                     OrNull(info_.deviceId));
    CORE::LogMessage(CORE::LOG_DEBUG, L"[EntraAuth] EntraAuth::AadJoinUtil::AadJoinUtil: Entra Device Owner: %ls",
                     OrNull(info_.userEmail ? info_.userEmail : info_.joinUserEmail));
}

std::wstring AadJoinUtil::GetDeviceId() const {
    return joined_ && info_.deviceId ? *info_.deviceId : std::wstring();
}

}  // namespace EntraAuth
